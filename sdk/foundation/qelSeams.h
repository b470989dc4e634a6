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

struct QELKeyDB;
struct QELKeySet;
struct QELKeyObject;
struct QELSettings;
struct QELOptionList;

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
// The check of a signature that carries an X.509 certificate: the signer's
// key must have signed the certificate, and the certificate must regenerate
// the signed key, the user ID and the signature packet octet for octet.
// 0 with *outValid set when checked; a failure status when it could not be
// checked (the signature's state then stays as it was).
QELStatus qelX509CheckKeySignature(QELKeyObject *sig, QELKeyObject *signer, bool *outValid);
// A signed X.509 object (a CRL) checked with a key's verification
// operations: 0, QELError_BadCertificateSignature, or why it could not be
// checked (the key's unusability or the database's stored error).
QELStatus qelX509VerifyWithKey(QELKeyObject *key, const std::uint8_t *der, std::size_t length);
// Whether a CRL lists the serial number of a certificate, and how many
// entries the CRL has.
QELStatus qelX509CRLListsCertificate(QELContext *context, const std::uint8_t *crl, std::size_t crlLength,
                                     const std::uint8_t *cert, std::size_t certLength, bool *outListed,
                                     std::uint32_t *outEntries);
// The full name of a certificate's first CRL distribution point (DER), as
// the items above.
QELStatus qelX509GetCRLDistributionPoint(QELContext *context, const std::uint8_t *der, std::size_t length,
                                         std::uint8_t *buffer, std::size_t *inOutLength);
