// What the key layer asks of the SDK service. A process that is the
// service's client mirrors the service's key databases: the operations on a
// mirror, and the token and passphrase-cache operations of such a process,
// are sent to the service, which answers in the mirror's terms (key trees
// installed into the mirror, changed objects fetched again on their next
// use). The service layer fills this table when the SDK starts (qelSDKInit).
// The key layer calls an entry only when the service is connected or the
// database is a mirror, neither of which is possible before then; until
// then every entry answers QELError_NotInitialized.
#pragma once

#include "qelContext.h"
#include "qelErrors.h"
#include "qelLayerSeamsInternal.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELFileSpec;
struct QELKeyDB;
struct QELKeyGenJob;
struct QELKeyID;
struct QELKeyObject;
struct QELKeySet;
struct QELOptionList;
struct QELPassArgs;

struct QELKeysServiceSeams {
    // ---- passphrase cache ----
    QELStatus (*passCacheGetCounts)(QELContext *context, std::int32_t *outOwn, std::int32_t *outNamed,
                                    std::int32_t *outOthers) = qelServiceAbsent;
    QELStatus (*passCachePurge)(QELContext *context) = qelServiceAbsent;

    // ---- tokens ----
    QELStatus (*tokenCount)(QELContext *context, std::int32_t *outCount) = qelServiceAbsent;
    // outInfo is the caller's 96-byte record: its first word goes with the
    // request, and the record is cleared before anything is sent.
    QELStatus (*tokenGetInfo)(QELContext *context, std::int32_t tokenIndex, std::uint8_t *outInfo) =
        qelServiceAbsent;
    QELStatus (*tokenSubmitSecret)(QELContext *context, std::int32_t tokenIndex, const void *secret,
                                   std::size_t length) = qelServiceAbsent;
    QELStatus (*tokenSetSecret)(QELContext *context, std::int32_t tokenIndex, const void *secret,
                                std::size_t length) = qelServiceAbsent;
    QELStatus (*tokenReplaceSecret)(QELContext *context, std::int32_t tokenIndex, const void *oldSecret,
                                    std::size_t oldLength, const void *newSecret, std::size_t newLength) =
        qelServiceAbsent;
    // A string longer than 255 characters does not fit the stored one
    // (QELError_BadParams).
    QELStatus (*tokenSetConfigString)(const char *config) = qelServiceAbsent;
    QELStatus (*tokenCopyKey)(QELContext *context, QELKeyObject *object, std::int32_t tokenIndex,
                              const void *secret, std::size_t length) = qelServiceAbsent;
    QELStatus (*tokenKeyCommand)(QELKeyObject *key, std::int32_t tokenIndex, bool flag, const void *secret,
                                 std::size_t length) = qelServiceAbsent;

    // ---- key management ----
    QELStatus (*keySetOwnerTrust)(QELKeyObject *key, std::int32_t level) = qelServiceAbsent;
    QELStatus (*keySetEnabled)(QELKeyObject *key, std::int32_t enable) = qelServiceAbsent;
    // outPasskey receives the key's locking-bits / 8 bytes.
    QELStatus (*keyPassphraseToPasskey)(QELKeyObject *object, const void *passphrase, std::size_t length,
                                        std::uint8_t *outPasskey) = qelServiceAbsent;
    QELStatus (*keySetAxiomatic)(QELKeyObject *key, bool set, const void *passphrase, std::size_t length,
                                 std::uint8_t isPasskey) = qelServiceAbsent;
    QELStatus (*keyPassphraseIsValid)(QELKeyObject *key, const void *passphrase, std::size_t length,
                                      std::uint8_t isPasskey, bool *outValid) = qelServiceAbsent;
    // The edits that make signatures read the front end's option list as it
    // came; the changed key comes back as a key tree and is installed.
    QELStatus (*sigRevoke)(QELKeyObject *sig, QELOptionList *options) = qelServiceAbsent;
    QELStatus (*keyRevoke)(QELKeyObject *object, QELOptionList *options) = qelServiceAbsent;
    QELStatus (*userIDCertify)(QELKeyObject *userID, QELKeyObject *signer, QELOptionList *options) =
        qelServiceAbsent;
    QELStatus (*userIDSetPrimary)(QELKeyObject *userID, QELOptionList *options) = qelServiceAbsent;
    QELStatus (*keyAddUserID)(QELKeyObject *key, bool attribute, std::uint8_t attributeType, const void *bytes,
                              std::size_t length, QELOptionList *options) = qelServiceAbsent;
    QELStatus (*keyChangePassphrase)(QELKeyObject *object, QELOptionList *options) = qelServiceAbsent;
    QELStatus (*keySetPreferences)(QELKeyObject *key, QELOptionList *options) = qelServiceAbsent;
    QELStatus (*keyAddRevokers)(QELKeyObject *key, QELOptionList *options) = qelServiceAbsent;

    // ---- key generation ----
    // The whole generation in the service (a token-held key).
    QELStatus (*keyGenerate)(const QELKeyGenJob &job, QELKeyObject **outObject) = qelServiceAbsent;
    // The service-side writers of a key or subkey generated here: the
    // exported secret material, the flat generation parameters and the
    // passphrase (cached on the service side when a cache time is given);
    // the new object of the installed key tree comes back.
    QELStatus (*keyDBAddGeneratedKey)(QELKeyDB *db, const std::uint8_t *secret, std::size_t secretLength,
                                      const std::uint8_t *flatParams, std::size_t flatLength, const void *userID,
                                      std::size_t userIDLength, QELKeySet *subpacket10Keys,
                                      std::uint8_t subpacket10Class, QELKeySet *revokers, std::uint8_t revokerClass,
                                      const QELPassArgs &pass, QELKeyObject **outKey) = qelServiceAbsent;
    QELStatus (*keyDBAddGeneratedSubKey)(QELKeyObject *master, const std::uint8_t *secret, std::size_t secretLength,
                                         const std::uint8_t *flatParams, std::size_t flatLength,
                                         const QELPassArgs &pass, QELKeyObject **outSubKey) = qelServiceAbsent;

    // ---- key databases ----
    // A new or opened database is a mirror of the service's, built from the
    // key tree of all its keys.
    QELStatus (*keyDBNewInMemory)(QELContext *context, QELKeyDB **outDB) = qelServiceAbsent;
    QELStatus (*keyDBOpenFiles)(QELContext *context, std::uint32_t flags, const QELFileSpec *spec,
                                const QELFileSpec *secondSpec, QELKeyDB **outDB) = qelServiceAbsent;
    QELStatus (*keyDBOpenFromBuffer)(QELContext *context, const void *bytes, std::size_t length,
                                     QELKeyDB **outDB) = qelServiceAbsent;
    QELStatus (*keyDBRelease)(QELKeyDB *db) = qelServiceAbsent;
    QELStatus (*keyDBCommit)(QELKeyDB *db) = qelServiceAbsent;
    QELStatus (*keyDBSetKeepAlive)(QELKeyDB *db, std::uint32_t seconds) = qelServiceAbsent;
    QELStatus (*keyDBCloseUnreferenced)(QELContext *context) = qelServiceAbsent;
    QELStatus (*keyDBFindKeyByID)(QELKeyDB *db, const QELKeyID *id, bool includePlaceholders, bool includeDeleted,
                                  QELKeyObject **outKey) = qelServiceAbsent;
    QELStatus (*keyDBRemoveObject)(QELKeyDB *db, QELKeyObject *object) = qelServiceAbsent;
    QELStatus (*keyDBCopyObject)(QELKeyDB *db, QELKeyObject *object, QELKeyObject **outCopy) = qelServiceAbsent;
    QELStatus (*keyDBAddKeySet)(QELKeySet *set, QELKeyDB *db, QELKeySet **outSet) = qelServiceAbsent;
    QELStatus (*keyDBTakeClientChanges)(QELKeyDB *db, std::uint8_t *outChanged) = qelServiceAbsent;
    QELStatus (*keyDBFetchAllKeys)(QELKeyDB *db) = qelServiceAbsent;

    // ---- key objects ----
    // Fills a mirrored node's info block; the block's first word holds the
    // node's service reference and keeps it.
    QELStatus (*keyObjFetchInfo)(QELKeyObject *object, void *block, std::size_t size) = qelServiceAbsent;
    QELStatus (*keyObjLockingInfo)(QELKeyObject *key, std::uint8_t *outNeedsPassphrase,
                                   std::uint8_t *outTokenProtected, std::uint32_t *outCipher,
                                   std::uint32_t *outKeyBits) = qelServiceAbsent;
    // QELError_NoErr when the key was unlocked, else QELError_BadPassphrase
    // or the failing step's status.
    QELStatus (*keyObjUnlock)(QELKeyObject *key, const void *passphrase, std::size_t length, std::uint8_t isPasskey,
                              std::uint32_t cachePeriod, std::uint8_t selector) = qelServiceAbsent;
    QELStatus (*keyObjDecrypt)(QELKeyObject *key, const void *passphrase, std::size_t length,
                               std::uint8_t isPasskey, std::uint32_t cachePeriod, std::uint8_t selector,
                               const std::uint8_t *in, std::size_t inLength, std::int32_t format,
                               std::uint8_t **outBuffer, std::size_t *outLength) = qelServiceAbsent;
    QELStatus (*keyObjSign)(QELKeyObject *key, const void *passphrase, std::size_t length, std::uint8_t isPasskey,
                            std::uint32_t cachePeriod, std::uint8_t selector, std::int32_t hashAlgorithm,
                            const std::uint8_t *hash, std::size_t hashLength, std::int32_t format,
                            std::uint8_t **outBuffer, std::size_t *outLength) = qelServiceAbsent;
    // The verification status: 1 valid, 0 not, or a negative status.
    QELStatus (*keyObjVerify)(QELKeyObject *key, const std::uint8_t *signature, std::size_t signatureLength,
                              std::int32_t hashAlgorithm, const std::uint8_t *hash, std::size_t hashLength,
                              std::int32_t format) = qelServiceAbsent;
    QELStatus (*keyObjEncrypt)(QELKeyObject *key, const std::uint8_t *in, std::size_t length, std::int32_t format,
                               std::uint8_t **outBuffer, std::size_t *outLength) = qelServiceAbsent;
    QELStatus (*keyObjOpSizes)(QELKeyObject *key, std::int32_t *outEncrypted, std::int32_t *outPlaintext,
                               std::int32_t *outSignature, std::int32_t format) = qelServiceAbsent;

    // ---- signatures and trust ----
    // With a handler the signatures are checked one by one through the
    // service, so that the handler hears of each.
    QELStatus (*keySigCheckSetWithProgress)(QELKeySet *set, QELKeyDB *second, bool recheck, QELEventHandler handler,
                                            void *userValue) = qelServiceAbsent;
    // One signature checked where its database lives.
    QELStatus (*keySigCheckOne)(QELKeyDB *db, QELKeyObject *sig, QELKeyDB *second, bool recheck,
                                bool revocationsOnly, std::uint8_t *outFound, std::uint8_t *outChanged,
                                std::uint8_t *outValid) = qelServiceAbsent;
    QELStatus (*trustPropagate)(QELKeySet *set, QELKeyDB *second, std::uint32_t now) = qelServiceAbsent;
};

// The service layer installs its table at start-up; null puts the defaults back.
void qelKeysServiceSeamsInstall(const QELKeysServiceSeams *seams);
const QELKeysServiceSeams &qelKeysService();
