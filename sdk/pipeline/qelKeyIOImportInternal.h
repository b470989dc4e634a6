// Key import: RFC 4880 key material, armored or binary, into a new in-memory
// key database, and the X.509 forms through the PKI toolkit. The option list
// is lent for the call (the caller frees it).
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELKeyDB;
struct QELKeyObject;
struct QELKeySet;
struct QELOptionList;
struct QELSecretKeyObject;
struct QELX509IssueArgs;

// The result is a database of its own: an import that fails at any point
// (a damaged second key, a bad armor checksum) yields no database and leaves
// every other database as it was.
[[nodiscard]] QELStatus qelKeyIOImportKeys(QELContext *context, QELKeyDB **outDB, QELOptionList *options);

// ---- the PKI toolkit's side --------------------------------------------------
// The key import and export reach the certificate toolkit, a layer above
// them, through this table; the toolkit fills it at SDK start-up. A slot
// left empty answers QELError_FeatureNotAvailable. Blocks handed out come
// from the context's memory manager (secret ones from its secure heap) and
// are freed with qelMemFree.
struct QELKeyIOSeams {
    // A PKCS #8 private key as a key of a new in-memory database; its
    // certificate is looked for in keyDB (or every open database when null).
    QELStatus (*importPrivateKeyInfo)(const std::uint8_t *der, std::size_t length, QELContext *context,
                                      QELKeyDB *keyDB, QELKeyDB **outDB);
    // A DER SET OF certificates as key rings in a new database.
    QELStatus (*importCertificateSet)(const std::uint8_t *der, std::size_t length, QELContext *context,
                                      QELKeyDB *keyDB, QELKeyDB **outDB);
    // A DER SET OF CRLs whose issuers are found (in keyDB, or every open
    // database when null) and whose signatures verify; null when none was.
    QELStatus (*importCRLs)(const std::uint8_t *der, std::size_t length, QELContext *context, QELKeyDB *keyDB,
                            QELKeyDB **outDB);
    // The certificates and CRLs of X.509 or PKCS #7 DER, each as the DER of
    // one SET OF (null when there are none); options (lent) unlock the key
    // of an enveloped layer.
    QELStatus (*certificatesOf)(QELContext *context, const std::uint8_t *der, std::size_t length, QELKeyDB *keyDB,
                                QELOptionList *options, std::uint8_t **outCertificates,
                                std::uint64_t *outCertificatesLength, std::uint8_t **outCRLs,
                                std::uint64_t *outCRLsLength);
    // A PKCS #12 file: the key as PrivateKeyInfo DER (secure) and the
    // certificates as one SET OF.
    QELStatus (*pkcs12Import)(QELContext *context, const std::uint8_t *pfx, std::uint64_t length,
                              const char *password, std::uint64_t passwordLength, std::uint8_t **outKey,
                              std::uint64_t *outKeyLength, std::uint8_t **outCertificates,
                              std::uint64_t *outCertificatesLength);
    QELStatus (*pkcs12Export)(QELContext *context, const std::uint8_t *key, std::uint64_t keyLength,
                              const char *password, std::uint64_t passwordLength, const std::uint8_t *certificates,
                              std::uint64_t certificatesLength, const char *friendlyName,
                              std::uint64_t friendlyNameLength, std::int32_t iterations, std::uint8_t **out,
                              std::uint64_t *outLength);
    // The DER PKCS #8 PrivateKeyInfo of an unlocked RSA secret key (secure).
    QELStatus (*exportRSAPrivateKey)(QELSecretKeyObject *key, std::uint8_t **outBlock, std::size_t *outLength);
    // The DER SET OF certificates from an X.509 signature up its issuers.
    QELStatus (*certificateChain)(QELContext *context, QELKeyObject *sig, std::uint8_t **outBlock,
                                  std::size_t *outLength);
    QELStatus (*createCRL)(QELKeyObject *issuer, QELKeySet *revoked, const QELX509IssueArgs *args);
    QELStatus (*createCertificate)(QELKeyObject *issuer, QELKeyObject *subject, const std::uint8_t *request,
                                   std::size_t requestLength, const QELX509IssueArgs *args, QELKeyObject **outSig);
};
void qelKeyIOSeamsInstall(const QELKeyIOSeams *seams);
const QELKeyIOSeams &qelKeyIOSeams();
