// Key objects inside the SDK: the node record, its flag word, the five info
// blocks (byte for byte as the service sends them), cached raw packets, the
// builders that turn packets into nodes, and the key-ID index.
#pragma once

#include "qelKeyIDInternal.h"
#include "qelKeyObj.h"

#include <cstddef>
#include <cstdint>

struct QELContext;

inline constexpr std::uint32_t QELKeyObjectMagic = 0x4B4F424A; // "KOBJ"

// Flag word.
inline constexpr std::uint32_t QELKeyObjFlag_Key = 0x01;
inline constexpr std::uint32_t QELKeyObjFlag_SubKey = 0x02;
inline constexpr std::uint32_t QELKeyObjFlag_UserID = 0x04;
inline constexpr std::uint32_t QELKeyObjFlag_Signature = 0x08;
inline constexpr std::uint32_t QELKeyObjFlag_CRL = 0x10;
inline constexpr std::uint32_t QELKeyObjFlag_TypeMask = 0x1F;
inline constexpr std::uint32_t QELKeyObjFlag_NotLoaded = 0x10000000;
inline constexpr std::uint32_t QELKeyObjFlag_X509Name = 0x20000000;
inline constexpr std::uint32_t QELKeyObjFlag_Placeholder = 0x40000000;
inline constexpr std::uint32_t QELKeyObjFlag_Deleted = 0x80000000;

struct QELKeyObject {
    std::uint32_t magic;
    QELKeyObject *next;       // next sibling; next top-level key for a key
    QELKeyObject *firstChild;
    void *parent;             // parent node; the QELKeyDB for a top-level key
    void *userValue;
    void *info;               // info block, or the service reference (bit 28)
    std::uint32_t flags;
};

struct QELRawPacket {
    std::uint8_t *bytes;
    std::uint64_t length;
    std::uint32_t refCount;
};

struct QELKeyInfo {
    std::uint64_t serviceRef;        // 0
    std::uint8_t algorithm;          // 8
    std::uint8_t reserved9;
    std::uint16_t bits;              // 10
    std::uint8_t keyID[8];           // 12
    std::uint32_t creation;          // 20
    std::uint16_t validityDays;      // 24
    std::uint8_t reserved26[6];
    void *packet;                    // 32: QELRawPacket, or for an X.509 name entry the signature
    std::uint32_t reserved40;
    std::uint32_t infoFlags;         // 44
    std::uint8_t digestByte;         // 48
    std::uint8_t reserved49[7];
    QELKeyObject *trustWork;         // 56
    std::uint64_t reserved64;
    QELKeyObject *firstSig;          // 72: signatures made by this key
    // Key-ID index links: next key with the same low four ID bytes, and next
    // key with the same eight ID bytes, in arrival order; the newest links
    // back to the oldest (see qelKeyIDTreeInsert).
    QELKeyObject *sameShortID;       // 80
    QELKeyObject *sameID;            // 88
    std::uint8_t trustSigTrust;      // 96
    std::uint8_t trust;              // 97
    std::uint8_t reserved98[6];
    void *regex;                     // 104
    std::int32_t tokenSlot;          // 112
    std::uint32_t reserved116;
};
static_assert(sizeof(QELKeyInfo) == 120);
static_assert(offsetof(QELKeyInfo, keyID) == 12 && offsetof(QELKeyInfo, packet) == 32 &&
              offsetof(QELKeyInfo, infoFlags) == 44 && offsetof(QELKeyInfo, firstSig) == 72 &&
              offsetof(QELKeyInfo, trust) == 97 && offsetof(QELKeyInfo, tokenSlot) == 112);

inline constexpr std::uint32_t QELKeyInfo_SecretChecked = 0x04;
inline constexpr std::uint32_t QELKeyInfo_OnToken = 0x08;
inline constexpr std::uint32_t QELKeyInfo_SecretInRing = 0x10;
inline constexpr std::uint32_t QELKeyInfo_PublicV2 = 0x20;
inline constexpr std::uint32_t QELKeyInfo_V3 = 0x40;
inline constexpr std::uint32_t QELKeyInfo_OnPath = 0x80;

struct QELUserIDInfo {
    std::uint64_t serviceRef;        // 0
    QELRawPacket *packet;            // 8
    std::uint8_t validity;           // 16
    std::uint8_t reserved17[7];
    std::uint32_t flags;             // 24: 0x80 user attribute
    std::uint8_t nameTrust;          // 28
    std::uint8_t ownerTrust;         // 29
    std::uint16_t confidence;        // 30
};
static_assert(sizeof(QELUserIDInfo) == 32 && offsetof(QELUserIDInfo, nameTrust) == 28);

struct QELSigInfo {
    std::uint64_t serviceRef;        // 0
    QELRawPacket *packet;            // 8
    std::uint8_t type;               // 16
    std::uint8_t hashAlgorithm;      // 17
    std::uint8_t trustDepth;         // 18
    std::uint8_t trustAmount;        // 19
    std::uint32_t creation;          // 20
    std::uint32_t expiration;        // 24
    std::uint32_t reserved28;
    std::uint32_t flags;             // 32
    std::uint8_t state;              // 36
    std::uint8_t version;            // 37
    std::uint8_t reserved38[2];
    QELKeyObject *signer;            // 40
    std::uint64_t reserved48;
    QELKeyObject *nextBySigner;      // 56
    void *regex;                     // 64
};
static_assert(sizeof(QELSigInfo) == 72 && offsetof(QELSigInfo, signer) == 40 &&
              offsetof(QELSigInfo, nextBySigner) == 56);

inline constexpr std::uint32_t QELSigInfo_Exportable = 0x80;
inline constexpr std::uint32_t QELSigInfo_RegExp = 0x40;
inline constexpr std::uint32_t QELSigInfo_Revocable = 0x20;
inline constexpr std::uint32_t QELSigInfo_X509 = 0x10;
inline constexpr std::uint32_t QELSigInfo_Primary = 0x08;
inline constexpr std::uint32_t QELSigInfo_DistPoint = 0x04;
inline constexpr std::uint32_t QELSigInfo_NotV3Block = 0x02;
inline constexpr std::uint8_t QELSigState_Valid = 0x40;
inline constexpr std::uint8_t QELSigState_Checked = 0x20;
inline constexpr std::uint8_t QELSigState_RevokedByCRL = 0x10;

struct QELCRLInfo {
    std::uint64_t serviceRef;        // 0
    QELRawPacket *packet;            // 8
    std::uint32_t flags;             // 16
    std::uint8_t version;            // 20
    std::uint8_t state;              // 21
    std::uint8_t reserved22[2];
    std::uint32_t thisUpdate;        // 24
    std::uint32_t nextUpdate;        // 28
};
static_assert(sizeof(QELCRLInfo) == 32);

struct QELOtherInfo {
    std::uint64_t serviceRef;
    QELRawPacket *packet;
    std::uint8_t trust;
    std::uint8_t reserved[7];
};
static_assert(sizeof(QELOtherInfo) == 24);

// ---- type and state ----------------------------------------------------------------
bool qelKeyObjIsValid(const QELKeyObject *object);
int qelKeyObjType(const QELKeyObject *object);
bool qelKeyObjIsKey(const QELKeyObject *object);
bool qelKeyObjIsSubKey(const QELKeyObject *object);
bool qelKeyObjIsUserID(const QELKeyObject *object);
bool qelKeyObjIsSignature(const QELKeyObject *object);
bool qelKeyObjTypeIsSubKey(const QELKeyObject *object);
void *qelKeyObjParent(const QELKeyObject *object);
bool qelKeyObjIsDeleted(const QELKeyObject *object);
bool qelKeyObjIsPlaceholder(const QELKeyObject *object);
bool qelKeyObjIsX509NameEntry(const QELKeyObject *object);
// Walks over whole databases ask this of every node: kept inline.
inline bool qelKeyObjIsLive(const QELKeyObject *object)
{
    return object != nullptr && !(object->flags & (QELKeyObjFlag_Deleted | QELKeyObjFlag_Placeholder));
}
QELKeyDB *qelKeyObjKeyDB(const QELKeyObject *object);
QELContext *qelKeyObjContext(const QELKeyObject *object);
// The top-level key above an object (the object itself for a key).
QELKeyObject *qelKeyObjTopKey(QELKeyObject *object);

// ---- info blocks (a node mirrored from the service is fetched first) ----------------
// Fetches a mirrored node's block first; every other node has its block.
void *qelKeyObjLoadInfo(QELKeyObject *object);
inline void *qelKeyObjInfo(QELKeyObject *object)
{
    return object->flags & QELKeyObjFlag_NotLoaded ? qelKeyObjLoadInfo(object) : object->info;
}
inline QELKeyInfo *qelKeyObjKeyInfo(QELKeyObject *object) { return static_cast<QELKeyInfo *>(qelKeyObjInfo(object)); }
inline QELUserIDInfo *qelKeyObjUserIDInfo(QELKeyObject *object)
{
    return static_cast<QELUserIDInfo *>(qelKeyObjInfo(object));
}
inline QELSigInfo *qelKeyObjSigInfo(QELKeyObject *object) { return static_cast<QELSigInfo *>(qelKeyObjInfo(object)); }
inline QELCRLInfo *qelKeyObjCRLInfo(QELKeyObject *object) { return static_cast<QELCRLInfo *>(qelKeyObjInfo(object)); }
inline QELOtherInfo *qelKeyObjOtherInfo(QELKeyObject *object)
{
    return static_cast<QELOtherInfo *>(qelKeyObjInfo(object));
}
// Where the object's cached-packet pointer lives.
void **qelKeyObjPacketSlot(QELKeyObject *object);
const std::uint8_t *qelKeyObjRawPacket(QELKeyObject *object, std::size_t *outLength);

// ---- keys -----------------------------------------------------------------------------
bool qelKeyObjIsSecret(QELKeyObject *key);
bool qelKeyObjIsV3(QELKeyObject *key);
bool qelKeyObjIsOnToken(QELKeyObject *key);
bool qelKeyObjIsRevoked(QELKeyObject *key);
bool qelKeyObjIsDisabled(QELKeyObject *key);
bool qelKeyObjIsAxiomatic(QELKeyObject *key);
void qelKeyObjSetDisabled(QELKeyObject *key);
void qelKeyObjClearDisabled(QELKeyObject *key);
void qelKeyObjSetOwnerTrustLevel(QELKeyObject *key, std::uint8_t level);
std::uint8_t qelKeyObjTrustLevel(QELKeyObject *key);
void qelKeyObjSetAxiomatic(QELKeyObject *key);
void qelKeyObjClearAxiomatic(QELKeyObject *key);
std::uint32_t qelKeyObjCreation(QELKeyObject *key);
std::uint32_t qelKeyObjBits(QELKeyObject *key);
// creation + days x 86400, saturating at the largest time; 0 when either is 0.
std::uint32_t qelKeyObjExpiration(QELKeyObject *key);
QELStatus qelKeyObjFirstSubKey(QELKeyObject *key, QELKeyObject **outSubKey);

// ---- user IDs and signatures --------------------------------------------------------------
bool qelUserIDIsAttribute(QELKeyObject *userID);
std::uint8_t qelSigType(QELKeyObject *sig);
std::uint32_t qelSigCreation(QELKeyObject *sig);
std::uint32_t qelSigExpiration(QELKeyObject *sig);
bool qelSigIsChecked(QELKeyObject *sig);
bool qelSigIsValid(QELKeyObject *sig);
QELKeyObject *qelSigSigner(QELKeyObject *sig);
QELKeyObject *qelSigSignerKey(QELKeyObject *sig);
bool qelSigIsSelfSig(QELKeyObject *sig);
bool qelSigIsRevoked(QELKeyObject *sig);
bool qelSigIsSuperseded(QELKeyObject *sig);
bool qelCRLIsCurrent(QELKeyObject *crl);

// ---- object-wide ---------------------------------------------------------------------------
void qelKeyObjClearTrust(QELKeyObject *object);
QELStatus qelKeyObjMarkDeleted(QELKeyObject *object);
void qelKeyObjMarkNotLoaded(QELKeyObject *object, bool recursive);
void qelKeyDBRebuildSignerChains(QELKeyDB *db);
QELRawPacket *qelKeyDBNewRawPacket(QELKeyDB *db, const std::uint8_t *bytes, std::size_t length);
QELStatus qelKeyObjReplacePacket(QELKeyObject *object, const std::uint8_t *bytes,
                                 std::size_t length);
bool qelKeyObjExpiresWithin(QELKeyObject *object, std::uint32_t from, std::uint32_t until);

// ---- the key-ID index ------------------------------------------------------------------------
// Keys, subkeys, placeholders and X.509 name entries, indexed by their eight
// and their low four ID bytes in two hash tables; keys with equal bytes
// chain in arrival order. Nothing is ever removed; the tables go with the
// database (qelKeyIDIndexFree).
QELStatus qelKeyIDTreeInsert(QELKeyObject *key, QELKeyDB *db);
// Room for that many more keys at once (a reader that knows roughly how
// many are coming); QELError_OutOfMemory leaves the tables as they were.
QELStatus qelKeyIDIndexReserve(QELKeyDB *db, std::size_t keys);
void qelKeyIDIndexFree(QELKeyDB *db);
QELStatus qelKeyDBFindKeyByIDLocal(QELKeyDB *db, const QELKeyID *id, bool includePlaceholders,
                                   bool includeDeleted, QELKeyObject **outKey);
QELStatus qelKeyDBFindKeyByID(QELKeyDB *db, const QELKeyID *id, bool includePlaceholders,
                              bool includeDeleted, QELKeyObject **outKey);
QELKeyObject *qelKeyDBFindKeyByRawID(QELKeyDB *db, std::uint8_t algorithm,
                                     const std::uint8_t idBytes[8]);
QELKeyObject *qelKeyDBFindKeyLinear(QELKeyDB *db, std::uint8_t algorithm,
                                    const std::uint8_t idBytes[8]);

// ---- nodes from packets ----------------------------------------------------------------------
QELKeyObject *qelKeyObjAlloc(QELKeyDB *db, std::size_t infoSize);
void qelKeyObjLinkChild(QELKeyObject *node, QELKeyObject *parent);
bool qelKeyObjSamePacket(QELKeyObject *node, const std::uint8_t *packet, std::size_t length);
QELKeyObject *qelKeyObjFindChildPacket(QELKeyObject *parent, const std::uint8_t *packet,
                                       std::size_t length);
// The node for a packet (header included) under parent (null for a key);
// the status is written only when memory runs out.
QELKeyObject *qelKeyDBAddPacket(const std::uint8_t *packet, std::size_t length, QELKeyDB *db,
                                QELKeyObject *parent, bool versionMarking, QELStatus *outStatus);
bool qelKeyPacketSamePublic(const std::uint8_t *publicPacket, std::size_t publicLength,
                            const std::uint8_t *secretPacket, std::size_t secretLength,
                            bool *outVersion2);
QELStatus qelKeySigX509IDs(QELKeyDB *db, const std::uint8_t *packet, std::size_t length,
                           bool *outHasDistPoint, std::uint8_t outIssuer[8],
                           std::uint8_t outSubject[8]);
void qelKeyObjMergeState(QELKeyObject *source, QELKeyObject *target);
// Rebuilds nodes from the service's flattened key tree; the array holds
// `words` 64-bit words (its byte length / 8) and is never read past them.
QELStatus qelKeyDBMergeKeyTree(QELKeyDB *db, QELKeyObject *parent, const std::uint64_t *array,
                               std::size_t words, std::uint32_t count, bool allNew,
                               bool refresh);
// Appends a key to the database's top-level list / unlinks it again.
void qelKeyDBAppendKey(QELKeyDB *db, QELKeyObject *key);
void qelKeyDBUnlinkKey(QELKeyDB *db, QELKeyObject *key);

// ---- packets and their parts -------------------------------------------------------------
struct QELPublicKeyObject;
struct QELSecretKeyObject;
struct QELKeySet;

// The first body octet of a key packet (2, 3 or 4); 0 without a packet.
std::uint8_t qelKeyObjKeyVersion(QELKeyObject *key);
// The key material after the algorithm octet (secret parts included for a
// secret packet); null without a packet or for a body too short.
const std::uint8_t *qelKeyObjKeyMaterial(QELKeyObject *key, std::size_t *outLength);
const std::uint8_t *qelUserIDText(QELKeyObject *userID, std::size_t *outLength);
// The data of the index-th attribute subpacket; for a plain user ID status
// QELError_BadParams and null.
const std::uint8_t *qelUserIDAttribute(QELKeyObject *userID, std::uint32_t index,
                                       std::uint8_t *outType, std::uint32_t *outLength,
                                       QELStatus *outStatus);
std::uint32_t qelUserIDAttributeCount(QELKeyObject *userID);
// The DER certificate a signature carries; null when it carries none.
const std::uint8_t *qelKeyObjSigX509Data(QELKeyObject *sig, std::size_t *outLength);

// ---- fingerprints --------------------------------------------------------------------------
// Each answers the digest length (20, 16, 20) or a negative status.
QELStatus qelKeyObjFingerprint(QELKeyObject *key, std::uint8_t out[20]);
QELStatus qelKeyObjFingerprintV3(QELKeyObject *key, std::uint8_t out[16]);
QELStatus qelKeyObjMaterialFingerprint(QELKeyObject *key, std::uint8_t out[20]);
QELKeyObject *qelKeyDBFindKeyByFingerprint(QELKeyDB *db, const std::uint8_t fingerprint[20]);

// ---- usage and operation objects ---------------------------------------------------------------
enum QELKeyRole : int {
    QELKeyRole_Own = 0,
    QELKeyRole_Sign = 1,
    QELKeyRole_Encrypt = 2,
    QELKeyRole_Refused = 3,
};
// A subkey is usable only with a binding signature by its own key that has
// been checked and found valid; an unchecked binding is checked first.
bool qelKeyObjIsUsableSubKey(QELKeyObject *subKey, bool checkTime, bool allowRevoked);
QELKeyObject *qelKeyObjNewestUsableSubKey(QELKeyObject *key, QELKeySet *set);
std::uint32_t qelKeyObjUsage(QELKeyObject *key, bool checkTime, bool allowRevoked);
// Null with the reason in the database's last error. Released through their
// destroy operation.
QELSecretKeyObject *qelKeyObjSecretOps(QELKeyObject *object, int role);
QELPublicKeyObject *qelKeyObjPublicOps(QELKeyObject *object, int role);

// ---- the key operations (front end and in-process end) ---------------------------------------
// Output blocks come from the context (qelContextMemAlloc) and are freed
// with qelContextMemFree.
[[nodiscard]] QELStatus qelKeyObjLockingInfo(QELKeyObject *key, std::uint8_t *outNeedsPassphrase,
                                             std::uint8_t *outTokenProtected,
                                             std::uint32_t *outCipher, std::uint32_t *outKeyBits);
[[nodiscard]] QELStatus qelKeyObjLockingInfoLocal(QELKeyObject *key, std::uint8_t *outNeedsPassphrase,
                                                  std::uint8_t *outTokenProtected,
                                                  std::uint32_t *outCipher,
                                                  std::uint32_t *outKeyBits);
bool qelKeyObjUnlock(QELKeyObject *key, const void *passphrase, std::size_t length,
                     std::uint8_t isPasskey, std::uint32_t cachePeriod, std::uint8_t selector);
bool qelKeyObjUnlockLocal(QELKeyObject *key, const void *passphrase, std::size_t length,
                          std::uint8_t isPasskey, std::uint32_t cachePeriod, std::uint8_t selector);
[[nodiscard]] QELStatus qelKeyObjDecrypt(QELKeyObject *key, const void *passphrase, std::size_t length,
                                         std::uint8_t isPasskey, std::uint32_t cachePeriod,
                                         std::uint8_t selector, const std::uint8_t *in,
                                         std::size_t inLength, std::int32_t format,
                                         std::uint8_t **outBuffer, std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjDecryptLocal(QELKeyObject *key, const void *passphrase,
                                              std::size_t length, std::uint8_t isPasskey,
                                              std::uint32_t cachePeriod, std::uint8_t selector,
                                              const std::uint8_t *in, std::size_t inLength,
                                              std::int32_t format, std::uint8_t **outBuffer,
                                              std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjSign(QELKeyObject *key, const void *passphrase, std::size_t length,
                                      std::uint8_t isPasskey, std::uint32_t cachePeriod,
                                      std::uint8_t selector, std::int32_t hashAlgorithm,
                                      const std::uint8_t *hash, std::size_t hashLength,
                                      std::int32_t format, std::uint8_t **outBuffer,
                                      std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjSignLocal(QELKeyObject *key, const void *passphrase, std::size_t length,
                                           std::uint8_t isPasskey, std::uint32_t cachePeriod,
                                           std::uint8_t selector, std::int32_t hashAlgorithm,
                                           const std::uint8_t *hash, std::size_t hashLength,
                                           std::int32_t format, std::uint8_t **outBuffer,
                                           std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjOpSizes(QELKeyObject *key, std::int32_t *outEncrypted,
                                         std::int32_t *outPlaintext, std::int32_t *outSignature,
                                         std::int32_t format);
[[nodiscard]] QELStatus qelKeyObjOpSizesLocal(QELKeyObject *key, std::int32_t *outEncrypted,
                                              std::int32_t *outPlaintext,
                                              std::int32_t *outSignature, std::int32_t format);
// 1 valid, 0 not valid, or a negative status.
[[nodiscard]] QELStatus qelKeyObjVerify(QELKeyObject *key, const std::uint8_t *signature,
                                        std::size_t signatureLength, std::int32_t hashAlgorithm,
                                        const std::uint8_t *hash, std::size_t hashLength,
                                        std::int32_t format);
[[nodiscard]] QELStatus qelKeyObjVerifyLocal(QELKeyObject *key, const std::uint8_t *signature,
                                             std::size_t signatureLength, std::int32_t hashAlgorithm,
                                             const std::uint8_t *hash, std::size_t hashLength,
                                             std::int32_t format);
[[nodiscard]] QELStatus qelKeyObjEncrypt(QELKeyObject *key, const std::uint8_t *in, std::size_t length,
                                         std::int32_t format, std::uint8_t **outBuffer,
                                         std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjEncryptLocal(QELKeyObject *key, const std::uint8_t *in,
                                              std::size_t length, std::int32_t format,
                                              std::uint8_t **outBuffer, std::size_t *outLength);

// ---- signers and navigation --------------------------------------------------------------------
[[nodiscard]] QELStatus qelSigGetSignerID(QELKeyObject *sig, QELKeyID *outID);
[[nodiscard]] QELStatus qelSigFindSigner(QELKeyObject *sig, QELKeyDB *db, QELKeyObject **outKey);
// The object itself for a user ID, its parent for a signature on one, else null.
QELKeyObject *qelKeyObjUserID(QELKeyObject *object);
[[nodiscard]] QELStatus qelKeyOpUnavailable();

// ---- values from self-signatures -------------------------------------------------------------
// A live certification (type 0x10..0x1F) made by the key.
bool qelSigIsSelfCertBy(QELKeyObject *sig, QELKeyObject *key);
// The newest live, valid, unrevoked certification of a user ID or subkey
// made by the key; the first met wins ties.
QELKeyObject *qelUserIDNewestSelfCert(QELKeyObject *object, QELKeyObject *key);
// Searches one signature's hashed area, advancing the running count.
const std::uint8_t *qelSigNthSubpacket(QELKeyObject *sig, std::uint32_t type, std::uint32_t index,
                                       std::uint32_t *outLength, std::uint8_t *outCritical,
                                       std::uint8_t *outFound, std::uint32_t *outCreation,
                                       std::uint32_t *runningCount, QELKeyObject **outHolder,
                                       QELStatus *outStatus);
// The index-th subpacket of a type among the self-signatures of a key,
// subkey or user ID, non-revocable signatures first; with outCount the
// search runs to the end and counts them all.
const std::uint8_t *qelKeyObjFindSelfSigSubpacket(QELKeyObject *object, std::uint32_t type,
                                                  std::uint32_t index, std::uint32_t *outLength,
                                                  std::uint8_t *outCritical, std::uint8_t *outFound,
                                                  std::uint32_t *outCreation,
                                                  std::uint32_t *outCount, QELStatus *outStatus);

struct QELRegex;
// The compiled regular expression of a signature (hashed subpacket 6),
// compiled on first use and kept in the signature info; null when the
// signature has none or it does not compile.
QELRegex *qelSigRegex(QELKeyObject *sig);
// Frees the expressions qelSigRegex kept; run when the database goes.
void qelKeyDBFreeSigRegexes(QELKeyDB *db);

// ---- primary user IDs ----------------------------------------------------------------------------
// Selector: 0 plain user IDs; n attributes whose first subpacket has type n;
// -1 every user ID (clearing marks only).
QELKeyObject *qelKeyObjPrimaryUserID(QELKeyObject *key, int selector);
void qelKeyObjClearPrimaryMarks(QELKeyObject *key, int selector);
void qelUserIDSetPrimaryMark(QELKeyObject *userID);
void qelKeyMoveUserIDFirst(QELKeyObject *userID, QELKeyObject *key);

// ---- subkeys by role ----------------------------------------------------------------------------
// The newest usable subkey whose algorithm serves the role and whose
// binding's key flags, when it has them, allow it.
QELKeyObject *qelKeyObjNewestUsableSubKeyFor(QELKeyObject *key, QELKeySet *set, int role);

// ---- designated revokers -----------------------------------------------------------------------
// The index-th revocation-key entry (subpacket 12) of the key's
// self-signatures: the revoker when the database holds it under the entry's
// fingerprint, else null; the outs describe the entry. QELError_ItemNotFound
// in the status when there is no such entry.
QELKeyObject *qelKeyObjNthRevoker(QELKeyObject *key, std::uint32_t index, std::uint8_t *outAlgorithm,
                                  QELKeyID *outID, std::uint8_t *outClass, std::uint32_t *outCount,
                                  QELStatus *outStatus);
// The same over subpacket 10.
QELKeyObject *qelKeyObjNthSubpacket10Key(QELKeyObject *key, std::uint32_t index,
                                         std::uint8_t *outAlgorithm, QELKeyID *outID,
                                         std::uint8_t *outClass, std::uint32_t *outCount,
                                         QELStatus *outStatus);
bool qelKeyIsDesignatedRevoker(QELKeyObject *key, QELKeyObject *candidate);
bool qelSigIsEffectiveRevocation(QELKeyObject *sig);
bool qelKeyObjRevokedByRevoker(QELKeyObject *object, QELKeyObject **outRevoker,
                               std::uint8_t *outAlgorithm, QELKeyID *outID, QELStatus *outStatus);

// ---- revocation lists under a key ----------------------------------------------------------------
const std::uint8_t *qelCRLDistPoint(QELKeyObject *crl, std::size_t *outLength);
// Valid, not past its next update at `time` (when not 0), and not superseded
// by a newer valid sibling of the same distribution point.
bool qelCRLIsCurrent(QELKeyObject *crl, std::uint32_t time);
QELKeyObject *qelKeyObjNthCurrentCRL(QELKeyObject *key, std::uint32_t index, std::uint32_t *outCount);
QELKeyObject *qelKeyObjEarliestCRL(QELKeyObject *key, bool byNextUpdate);
struct QELMemoryMgr;
// The distinct CRL distribution points that belong to the key as an issuer:
// its current valid lists' points, then those named by certificates it
// signed. One block of concatenated DER items and an array of their lengths,
// both from the manager (freed with qelMemFree); on failure nothing is kept.
[[nodiscard]] QELStatus qelKeyCollectCRLDistributionPoints(QELMemoryMgr *mgr, QELKeyObject *key,
                                                           std::uint32_t *outCount, std::uint8_t **outData,
                                                           std::uint64_t **outLengths);
