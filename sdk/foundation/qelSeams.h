// Stand-ins for operations whose modules have not landed yet (defined in
// qelSeams.cpp). Each block names the module that will fill it; that module
// moves the declarations to its own internal header and deletes the block
// here and in qelSeams.cpp.
#pragma once

#include "qelErrors.h"
#include "qelContext.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELKeyObject;

// ---- qelX509Keys: certificates and revocation lists inside key packets ----
// The times a key packet's CRL carries (seconds since 1970; nextUpdate 0 when
// the CRL has none).
struct QELX509CRLTimes {
    std::uint32_t thisUpdate;
    std::uint32_t nextUpdate;
};
QELStatus qelX509DecodeCRLTimes(QELContext *context, const std::uint8_t *der, std::size_t length,
                                QELX509CRLTimes *outTimes);
// The issuer and subject names (DER) of a certificate and whether it names a
// CRL distribution point; the spans point into the certificate.
struct QELX509CertNames {
    const std::uint8_t *issuer;
    std::size_t issuerLength;
    const std::uint8_t *subject;
    std::size_t subjectLength;
    std::uint8_t hasDistPoint;
};
QELStatus qelX509DecodeCertNames(QELContext *context, const std::uint8_t *der, std::size_t length,
                                 QELX509CertNames *outNames);
// Items of a certificate for the key properties, each written into the
// buffer (or only measured when it is null; *inOutLength gives the room and
// receives the length): the DER IssuerAndSerialNumber, the issuer or subject
// name as DER or as text, a subjectAltName entry (selector 0 dNSName, 1
// iPAddress; length 0 when there is none), and a key's DER
// SubjectPublicKeyInfo.
QELStatus qelX509GetIssuerAndSerial(const std::uint8_t *der, std::size_t length, std::uint8_t *buffer,
                                    std::size_t *inOutLength);
QELStatus qelX509GetNameDER(const std::uint8_t *der, std::size_t length, bool issuer, std::uint8_t *buffer,
                            std::size_t *inOutLength);
QELStatus qelX509GetNameText(const std::uint8_t *der, std::size_t length, bool issuer, std::uint8_t *buffer,
                             std::size_t *inOutLength);
QELStatus qelX509GetSubjectAltName(const std::uint8_t *der, std::size_t length, int selector,
                                   std::uint8_t *buffer, std::size_t *inOutLength);
QELStatus qelX509KeyToSubjectPublicKeyInfo(QELContext *context, QELKeyObject *key, std::uint8_t *buffer,
                                           std::size_t *inOutLength);
// The full name of a certificate's first CRL distribution point (DER), as
// the items above.
QELStatus qelX509GetCRLDistributionPoint(QELContext *context, const std::uint8_t *der, std::size_t length,
                                         std::uint8_t *buffer, std::size_t *inOutLength);

// ---- qelEvent: job events (the message pipeline) ----
// True for the codes that say a key or its algorithm cannot do an operation.
bool qelErrorIsKeyUnusable(QELStatus status);
// Sends a progress event (count done of total) to the handler; 0 for a null
// handler. A reply option list the handler leaves is freed.
std::int32_t qelEventSendProgress(QELContext *context, QELEventHandler handler, void *userValue,
                                  std::uint64_t done, std::uint64_t total);
// Sends a key-generation event (kind 17) carrying the generator's progress
// value, as qelEventSendProgress does.
std::int32_t qelEventSendKeyGen(QELContext *context, QELEventHandler handler, void *userValue,
                                std::int32_t progress);

