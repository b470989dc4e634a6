// Key export through the encode job, the key-creation attribute, and the
// front ends of X.509 issuing. The option list of every call is lent: the
// caller made it and frees it afterwards whatever the result, so no path
// frees a list twice or not at all.
#pragma once

#include "qelCertAttributeInternal.h"

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELFileObject;
struct QELKeyObject;
struct QELKeySet;
struct QELOptionList;
struct QELSecretKeyObject;

// Writes the keys of the set as RFC 4880 packets in database order: deleted
// nodes, placeholders and non-members are skipped at every level; without
// `extended`, user attributes and CRL packets too. Signatures that are not
// exportable, or superseded by a newer one of their signer, are left out,
// and so are those a secret block carries none of (on the key and its user
// IDs when secret keys are written, under subkeys when secret subkeys are).
// A secret packet not asked for goes out in its public form. A short write
// is QELError_WriteFailed.
[[nodiscard]] QELStatus qelKeySetWritePackets(QELKeySet *set, QELFileObject *file, bool secretKeys,
                                              bool secretSubKeys, bool extended, bool keyPackets);

// Exports a set as the options ask (the RFC 4880 route, and the X.509 routes
// through the toolkit). With secret keys the public block (with its
// signatures) comes first and the secret block is appended behind it, so
// that readers which need the public key before the secret one find it.
[[nodiscard]] QELStatus qelKeySetExport(QELKeySet *set, QELOptionList *options);
// qelExportKeys: exactly one of QELOption_ExportKeySet and QELOption_ExportKey.
[[nodiscard]] QELStatus qelKeyIOExportKeys(QELContext *context, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyIOExportKeySet(QELKeySet *set, QELOptionList *options);

// issuer: a key, or the signature object holding the issuer's certificate;
// subject: the key to certify, or null for a request in the job input.
[[nodiscard]] QELStatus qelKeyIOCertify(QELKeyObject *issuer, QELKeyObject *subject, QELKeyObject **outSig,
                                        QELOptionList *options);
[[nodiscard]] QELStatus qelKeyIOCreateCRL(QELKeyObject *issuer, QELKeySet *revoked, QELOptionList *options);

// One element of QELOption_Kind69 is a QELCertAttribute.
// Room the key-creation attribute needs.
inline constexpr std::size_t QELKeyCreationAttributeSize = 33;

// The key's creation time as an attribute written into buffer (at least
// QELKeyCreationAttributeSize octets): the DER SEQUENCE of the OBJECT
// IDENTIFIER 1.3.6.1.4.1.7408.8.1.1 and an OCTET STRING holding the time, or
// the NUL-terminated text "QELKeyCreation=0x" and eight hex digits.
void qelKeyCreationAttribute(QELCertAttribute *outRecord, std::uint8_t *buffer, QELKeyObject *key, bool der);
void qelKeyCreationAttributeAt(QELCertAttribute *outRecord, std::uint8_t *buffer, std::uint32_t creation,
                               bool der);

// ---- what issuing is given (the PKI toolkit issues, qelKeyIOSeams) ----
// A CRL over the revoked certificates of the set, signed by the issuer with
// the secret given; a certificate for a key (or the request in `request`)
// made by the issuer and imported as the signature object that carries it.
struct QELX509IssueArgs {
    std::int64_t creation;       // 0: now
    std::int32_t validityDays;
    const void *secret;
    std::uint64_t secretLength;
    bool secretIsPasskey;
    const QELCertAttribute *attributes;
    std::size_t attributeCount;
};
