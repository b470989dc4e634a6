// The dispatchers of the key-database, key-object, key-management, key
// generation, passphrase-cache and token operations. Each tests the
// service-mode flag: through the service it sends its call (Parts of the
// database and its objects named by their service references) and brings
// the reply back into the database's mirror (key trees installed, changed
// objects fetched again); in process it runs the call's in-process branch,
// which produces the same outputs. The key layer reaches them through its
// service table, whose entries say what each does
// (qelKeysServiceSeamsInternal.h); tests call them directly. The
// random-number dispatchers are in qelRandomDispatchInternal.h.
#pragma once

// The table's header declares the types the dispatchers take.
#include "qelKeysServiceSeamsInternal.h"

// ---- passphrase cache --------------------------------------------------------------------
[[nodiscard]] QELStatus qelPassCacheGetCountsDispatch(QELContext *context, std::int32_t *outOwn,
                                                      std::int32_t *outNamed, std::int32_t *outOthers);
[[nodiscard]] QELStatus qelPassCachePurgeDispatch(QELContext *context);

// ---- tokens --------------------------------------------------------------------------------
[[nodiscard]] QELStatus qelTokenCountDispatch(QELContext *context, std::int32_t *outCount);
[[nodiscard]] QELStatus qelTokenGetInfoDispatch(QELContext *context, std::int32_t tokenIndex, std::uint8_t *outInfo);
[[nodiscard]] QELStatus qelTokenSubmitSecretDispatch(QELContext *context, std::int32_t tokenIndex, const void *secret,
                                                     std::size_t length);
[[nodiscard]] QELStatus qelTokenSetSecretDispatch(QELContext *context, std::int32_t tokenIndex, const void *secret,
                                                  std::size_t length);
[[nodiscard]] QELStatus qelTokenReplaceSecretDispatch(QELContext *context, std::int32_t tokenIndex,
                                                      const void *oldSecret, std::size_t oldLength,
                                                      const void *newSecret, std::size_t newLength);
[[nodiscard]] QELStatus qelTokenSetConfigStringDispatch(const char *config);
[[nodiscard]] QELStatus qelTokenCopyKeyDispatch(QELContext *context, QELKeyObject *object, std::int32_t tokenIndex,
                                                const void *secret, std::size_t length);
[[nodiscard]] QELStatus qelTokenKeyCommandDispatch(QELKeyObject *key, std::int32_t tokenIndex, bool flag,
                                                   const void *secret, std::size_t length);
// The token's data: the token reference is two 32-bit values.
[[nodiscard]] QELStatus qelTokenPutCertificateDispatch(QELContext *context, const std::int32_t *reference,
                                                       const void *first, std::size_t firstLength,
                                                       const void *second, std::size_t secondLength,
                                                       const void *third, std::size_t thirdLength);
[[nodiscard]] QELStatus qelTokenPutDataDispatch(QELContext *context, const std::int32_t *reference,
                                                const void *first, std::size_t firstLength, const void *second,
                                                std::size_t secondLength);
[[nodiscard]] QELStatus qelTokenGetDataDispatch(QELContext *context, const std::int32_t *reference,
                                                const void *secret, std::size_t secretLength, void **outData,
                                                std::size_t *outLength);

// ---- key management ------------------------------------------------------------------------
[[nodiscard]] QELStatus qelKeySetOwnerTrustDispatch(QELKeyObject *key, std::int32_t level);
[[nodiscard]] QELStatus qelKeySetEnabledDispatch(QELKeyObject *key, std::int32_t enable);
[[nodiscard]] QELStatus qelKeyPassphraseToPasskeyDispatch(QELKeyObject *object, const void *passphrase,
                                                          std::size_t length, std::uint8_t *outPasskey);
[[nodiscard]] QELStatus qelKeySetAxiomaticDispatch(QELKeyObject *key, bool set, const void *passphrase,
                                                   std::size_t length, std::uint8_t isPasskey);
[[nodiscard]] QELStatus qelKeyPassphraseIsValidDispatch(QELKeyObject *key, const void *passphrase,
                                                        std::size_t length, std::uint8_t isPasskey, bool *outValid);
[[nodiscard]] QELStatus qelSigRevokeDispatch(QELKeyObject *sig, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyRevokeDispatch(QELKeyObject *object, QELOptionList *options);
[[nodiscard]] QELStatus qelUserIDCertifyDispatch(QELKeyObject *userID, QELKeyObject *signer, QELOptionList *options);
[[nodiscard]] QELStatus qelUserIDSetPrimaryDispatch(QELKeyObject *userID, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyAddUserIDDispatch(QELKeyObject *key, bool attribute, std::uint8_t attributeType,
                                                const void *bytes, std::size_t length, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyChangePassphraseDispatch(QELKeyObject *object, QELOptionList *options);
[[nodiscard]] QELStatus qelKeySetPreferencesDispatch(QELKeyObject *key, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyAddRevokersDispatch(QELKeyObject *key, QELOptionList *options);

// ---- key generation --------------------------------------------------------------------------
[[nodiscard]] QELStatus qelKeyGenerateDispatch(const QELKeyGenJob &job, QELKeyObject **outObject);
[[nodiscard]] QELStatus qelKeyDBAddGeneratedKeyDispatch(QELKeyDB *db, const std::uint8_t *secret,
                                                        std::size_t secretLength, const std::uint8_t *flatParams,
                                                        std::size_t flatLength, const void *userID,
                                                        std::size_t userIDLength, QELKeySet *subpacket10Keys,
                                                        std::uint8_t subpacket10Class, QELKeySet *revokers,
                                                        std::uint8_t revokerClass, const QELPassArgs &pass,
                                                        QELKeyObject **outKey);
[[nodiscard]] QELStatus qelKeyDBAddGeneratedSubKeyDispatch(QELKeyObject *master, const std::uint8_t *secret,
                                                           std::size_t secretLength, const std::uint8_t *flatParams,
                                                           std::size_t flatLength, const QELPassArgs &pass,
                                                           QELKeyObject **outSubKey);

// ---- key databases ---------------------------------------------------------------------------
[[nodiscard]] QELStatus qelKeyDBNewInMemoryDispatch(QELContext *context, QELKeyDB **outDB);
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

// ---- key objects -------------------------------------------------------------------------------
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

// ---- signatures and trust ----------------------------------------------------------------------
[[nodiscard]] QELStatus qelKeySigCheckSetWithProgressDispatch(QELKeySet *set, QELKeyDB *second, bool recheck,
                                                              QELEventHandler handler, void *userValue);
[[nodiscard]] QELStatus qelKeySigCheckOneDispatch(QELKeyDB *db, QELKeyObject *sig, QELKeyDB *second, bool recheck,
                                                  bool revocationsOnly, std::uint8_t *outFound,
                                                  std::uint8_t *outChanged, std::uint8_t *outValid);
[[nodiscard]] QELStatus qelTrustPropagateDispatch(QELKeySet *set, QELKeyDB *second, std::uint32_t now);

// Fills the key layer's service table with these; run by SDK start-up.
void qelKeyDispatchInstall();
