// Stand-ins for operations whose modules have not landed yet (defined in
// qelSeams.cpp). Each block names the module that will fill it; that module
// moves the declarations to its own internal header and deletes the block
// here and in qelSeams.cpp.
#pragma once

#include "qelErrors.h"
#include "qelKeySig.h"

#include <cstddef>
#include <cstdint>

struct QELContext;

// Service RPC (qelPassCacheDispatch): the passphrase cache's service calls
// answer QELError_FeatureNotAvailable until the service client lands.
[[nodiscard]] QELStatus qelPassCacheGetCountsDispatch(QELContext *context, int32_t *outOwn, int32_t *outNamed,
                                        int32_t *outOthers);
[[nodiscard]] QELStatus qelPassCachePurgeDispatch(QELContext *context);

// Service RPC (qelTokenDispatch): the token operations' service calls
// answer QELError_FeatureNotAvailable until the service client lands; the
// configuration string has no token layer to configure in process.
[[nodiscard]] QELStatus qelTokenCountDispatch(QELContext *context, int32_t *outCount);
[[nodiscard]] QELStatus qelTokenGetInfoDispatch(QELContext *context, int32_t tokenIndex, uint8_t *outInfo);
[[nodiscard]] QELStatus qelTokenSubmitSecretDispatch(QELContext *context, int32_t tokenIndex, const void *secret,
                                       size_t length);
[[nodiscard]] QELStatus qelTokenSetSecretDispatch(QELContext *context, int32_t tokenIndex, const void *secret,
                                    size_t length);
[[nodiscard]] QELStatus qelTokenReplaceSecretDispatch(QELContext *context, int32_t tokenIndex, const void *oldSecret,
                                        size_t oldLength, const void *newSecret, size_t newLength);
[[nodiscard]] QELStatus qelTokenSetConfigStringDispatch(const char *config);


struct QELKeyDB;
struct QELKeySet;
struct QELKeyObject;
struct QELSettings;


// Service RPC (qelKeyManDispatch): the key-management operations of a
// database mirrored from the service answer QELError_FeatureNotAvailable
// until the service client lands.
struct QELOptionList;
[[nodiscard]] QELStatus qelKeySetOwnerTrustDispatch(QELKeyObject *key, std::int32_t level);
[[nodiscard]] QELStatus qelKeySetEnabledDispatch(QELKeyObject *key, std::int32_t enable);
[[nodiscard]] QELStatus qelKeyPassphraseToPasskeyDispatch(QELKeyObject *object, const void *passphrase,
                                                          std::size_t length, std::uint8_t *outPasskey);
[[nodiscard]] QELStatus qelKeySetAxiomaticDispatch(QELKeyObject *key, bool set, const void *passphrase,
                                                   std::size_t length, std::uint8_t isPasskey);
[[nodiscard]] QELStatus qelKeyPassphraseIsValidDispatch(QELKeyObject *key, const void *passphrase,
                                                        std::size_t length, std::uint8_t isPasskey, bool *outValid);
[[nodiscard]] QELStatus qelTokenCopyKeyDispatch(QELContext *context, QELKeyObject *object, std::int32_t tokenIndex,
                                                const void *secret, std::size_t length);
[[nodiscard]] QELStatus qelTokenKeyCommandDispatch(QELKeyObject *key, std::int32_t tokenIndex, bool flag,
                                                   const void *secret, std::size_t length);
// The edits that make signatures take the front end's option list as it came.
[[nodiscard]] QELStatus qelSigRevokeDispatch(QELKeyObject *sig, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyRevokeDispatch(QELKeyObject *object, QELOptionList *options);
[[nodiscard]] QELStatus qelUserIDCertifyDispatch(QELKeyObject *userID, QELKeyObject *signer, QELOptionList *options);
[[nodiscard]] QELStatus qelUserIDSetPrimaryDispatch(QELKeyObject *userID, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyAddUserIDDispatch(QELKeyObject *key, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyChangePassphraseDispatch(QELKeyObject *object, QELOptionList *options);
[[nodiscard]] QELStatus qelKeySetPreferencesDispatch(QELKeyObject *key, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyAddRevokersDispatch(QELKeyObject *key, QELOptionList *options);

// Service RPC (qelKeyGenDispatch): generation in the service and the
// service-side writers of a generated key or subkey answer
// QELError_FeatureNotAvailable until the service client lands. The writers
// take the exported secret material, the flat generation parameters and the
// passphrase (cached on the service side when a cache time is given) and
// hand back the new object of the installed key tree.
struct QELKeyGenDispatchPass {
    const void *passphrase;
    std::size_t length;
    std::uint8_t isPasskey;
    std::uint32_t cacheTime;
    std::uint8_t cacheForAll;
};
[[nodiscard]] QELStatus qelKeyGenerateDispatch(QELKeyDB *db, QELKeyObject *master, QELOptionList *options,
                                               QELKeyObject **outObject);
[[nodiscard]] QELStatus qelKeyDBAddGeneratedKeyDispatch(QELKeyDB *db, const std::uint8_t *secret,
                                                        std::size_t secretLength, const std::uint8_t *flatParams,
                                                        std::size_t flatLength, const void *userID,
                                                        std::size_t userIDLength, QELKeySet *subpacket10Keys,
                                                        std::uint8_t subpacket10Class, QELKeySet *revokers,
                                                        std::uint8_t revokerClass, const QELKeyGenDispatchPass &pass,
                                                        QELKeyObject **outKey);
[[nodiscard]] QELStatus qelKeyDBAddGeneratedSubKeyDispatch(QELKeyObject *master, const std::uint8_t *secret,
                                                           std::size_t secretLength, const std::uint8_t *flatParams,
                                                           std::size_t flatLength, const QELKeyGenDispatchPass &pass,
                                                           QELKeyObject **outSubKey);

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

// Service RPC (qelKeyDBDispatch): the key-database operations on a database
// mirrored from the service (and, in service mode, the ones that make or
// tend databases) answer QELError_FeatureNotAvailable until the service
// client lands. Each clears its out-parameters first.
struct QELKeyID;
[[nodiscard]] QELStatus qelKeyDBNewInMemoryDispatch(QELContext *context, QELKeyDB **outDB);
struct QELFileSpec;
[[nodiscard]] QELStatus qelKeyDBOpenFilesDispatch(QELContext *context, std::uint32_t flags, const QELFileSpec *spec,
                                                  const QELFileSpec *secondSpec, QELKeyDB **outDB);
[[nodiscard]] QELStatus qelKeyDBOpenFromBufferDispatch(QELContext *context, const void *bytes, std::size_t length,
                                                       QELKeyDB **outDB);
[[nodiscard]] QELStatus qelKeyDBReleaseDispatch(QELKeyDB *db);
[[nodiscard]] QELStatus qelKeyDBCommitDispatch(QELKeyDB *db);
[[nodiscard]] QELStatus qelKeyDBSetKeepAliveDispatch(QELKeyDB *db, std::uint32_t seconds);
[[nodiscard]] QELStatus qelKeyDBCloseUnreferencedDispatch(QELContext *context);
[[nodiscard]] QELStatus qelKeyDBFindKeyByIDDispatch(QELKeyDB *db, const QELKeyID *id, bool includePlaceholders,
                                                    bool includeDeleted, QELKeyObject **outKey);
[[nodiscard]] QELStatus qelKeyDBRemoveObjectDispatch(QELKeyDB *db, QELKeyObject *object);
[[nodiscard]] QELStatus qelKeyDBCopyObjectDispatch(QELKeyDB *db, QELKeyObject *object, QELKeyObject **outCopy);
[[nodiscard]] QELStatus qelKeyDBAddKeySetDispatch(QELKeySet *set, QELKeyDB *db, QELKeySet **outSet);
[[nodiscard]] QELStatus qelKeyDBTakeClientChangesDispatch(QELKeyDB *db, std::uint8_t *outChanged);
[[nodiscard]] QELStatus qelKeyDBFetchAllKeysDispatch(QELKeyDB *db);

// Service RPC (qelKeyObjDispatch): the objects of a database mirrored from
// the service load their info blocks and run their key operations there;
// until the service client lands each answers QELError_FeatureNotAvailable.
// The info fetch leaves the block as it was; the locking query leaves its
// outs as they were; the others clear their out-parameters.
[[nodiscard]] QELStatus qelKeyObjFetchInfoDispatch(QELKeyObject *object, void *block, std::size_t size);
[[nodiscard]] QELStatus qelKeyObjLockingInfoDispatch(QELKeyObject *key, std::uint8_t *outNeedsPassphrase,
                                                     std::uint8_t *outTokenProtected, std::uint32_t *outCipher,
                                                     std::uint32_t *outKeyBits);
[[nodiscard]] QELStatus qelKeyObjUnlockDispatch(QELKeyObject *key, const void *passphrase, std::size_t length,
                                                std::uint8_t isPasskey, std::uint32_t cachePeriod,
                                                std::uint8_t selector);
[[nodiscard]] QELStatus qelKeyObjDecryptDispatch(QELKeyObject *key, const void *passphrase, std::size_t length,
                                                 std::uint8_t isPasskey, std::uint32_t cachePeriod,
                                                 std::uint8_t selector, const std::uint8_t *in, std::size_t inLength,
                                                 std::int32_t format, std::uint8_t **outBuffer,
                                                 std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjSignDispatch(QELKeyObject *key, const void *passphrase, std::size_t length,
                                              std::uint8_t isPasskey, std::uint32_t cachePeriod,
                                              std::uint8_t selector, std::int32_t hashAlgorithm,
                                              const std::uint8_t *hash, std::size_t hashLength, std::int32_t format,
                                              std::uint8_t **outBuffer, std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjVerifyDispatch(QELKeyObject *key, const std::uint8_t *signature,
                                                std::size_t signatureLength, std::int32_t hashAlgorithm,
                                                const std::uint8_t *hash, std::size_t hashLength,
                                                std::int32_t format);
[[nodiscard]] QELStatus qelKeyObjEncryptDispatch(QELKeyObject *key, const std::uint8_t *in, std::size_t length,
                                                 std::int32_t format, std::uint8_t **outBuffer,
                                                 std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjOpSizesDispatch(QELKeyObject *key, std::int32_t *outEncrypted,
                                                 std::int32_t *outPlaintext, std::int32_t *outSignature,
                                                 std::int32_t format);

// Service RPC (qelKeySigDispatch): the signatures of a database mirrored
// from the service are checked there, with progress through the handler;
// QELError_FeatureNotAvailable until the service client lands.
[[nodiscard]] QELStatus qelKeySigCheckSetWithProgressDispatch(QELKeySet *set, QELKeyDB *second, bool recheck,
                                                              QELEventHandler handler, void *userValue);

// Service RPC (qelTrustPropDispatch): trust over a database mirrored from
// the service is propagated there; QELError_FeatureNotAvailable until the
// service client lands.
[[nodiscard]] QELStatus qelTrustPropagateDispatch(QELKeySet *set, QELKeyDB *second, std::uint32_t now);

// Key import and export (qelKeyIO): reading keys through the decode job and
// writing them through the encode job, and issuing X.509 certificates and
// CRLs through the PKI toolkit. Until those land each answers
// QELError_FeatureNotAvailable with its out-parameter cleared. The option
// list is lent for the call: the caller made it and frees it afterwards,
// whatever the result, so no path frees it twice or not at all.
[[nodiscard]] QELStatus qelKeyIOExportKeys(QELContext *context, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyIOImportKeys(QELContext *context, QELKeyDB **outDB, QELOptionList *options);
// issuer: a key, or the signature object holding the issuer's certificate;
// subject: the key to certify, or null for a request in the job input.
[[nodiscard]] QELStatus qelKeyIOCertify(QELKeyObject *issuer, QELKeyObject *subject, QELKeyObject **outSig,
                                        QELOptionList *options);
[[nodiscard]] QELStatus qelKeyIOCreateCRL(QELKeyObject *issuer, QELKeySet *revoked, QELOptionList *options);
