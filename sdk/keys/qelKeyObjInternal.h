// Key objects inside the SDK: the node record, its flag word, the five info
// blocks (byte for byte as the service sends them), cached raw packets, the
// builders that turn packets into nodes, and the key-ID index.
#pragma once

#include "qelKeyIDInternal.h"
#include "qelKeyObj.h"

#include <cstddef>
#include <cstdint>
#include <span>

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
inline constexpr std::uint32_t QELKeyInfo_SecretAny = QELKeyInfo_OnToken | QELKeyInfo_SecretInRing;

// The key trust byte: state bits over the owner-trust level.
inline constexpr std::uint8_t QELKeyTrust_Axiomatic = 0x80;
inline constexpr std::uint8_t QELKeyTrust_Expired = 0x40;
inline constexpr std::uint8_t QELKeyTrust_Disabled = 0x20;
inline constexpr std::uint8_t QELKeyTrust_Revoked = 0x10;
inline constexpr std::uint8_t QELKeyTrust_LevelMask = 0x07;

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

inline constexpr std::uint32_t QELUserIDFlag_Attribute = 0x80;
// The name-trust byte: name trust in the low two bits, the primary mark and
// the recheck mark above.
inline constexpr std::uint8_t QELNameTrust_Mask = 0x03;
inline constexpr std::uint8_t QELNameTrust_Primary = 0x40;
inline constexpr std::uint8_t QELNameTrust_Recheck = 0x80;

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

inline constexpr std::uint32_t QELCRLFlag_KnownKind = 0x80;
inline constexpr std::uint32_t QELCRLFlag_DistPoint = 0x40;

struct QELOtherInfo {
    std::uint64_t serviceRef;
    QELRawPacket *packet;
    std::uint8_t trust;
    std::uint8_t reserved[7];
};
static_assert(sizeof(QELOtherInfo) == 24);

// ---- type and state ----------------------------------------------------------------
// The type a flag word gives: the first of bits 0-4 that is set decides.
inline int qelKeyObjTypeOfFlags(std::uint32_t flags)
{
    if (flags & QELKeyObjFlag_Key) return QELObjectType_Key;
    if (flags & QELKeyObjFlag_SubKey) return QELObjectType_SubKey;
    if (flags & QELKeyObjFlag_UserID) return QELObjectType_UserID;
    if (flags & QELKeyObjFlag_Signature) return QELObjectType_Signature;
    if (flags & QELKeyObjFlag_CRL) return QELObjectType_CRL;
    return QELObjectType_Other;
}
// The size of the info block of a type.
inline std::size_t qelKeyObjInfoSize(int type)
{
    switch (type) {
    case QELObjectType_Key: case QELObjectType_SubKey: return sizeof(QELKeyInfo);
    case QELObjectType_UserID: return sizeof(QELUserIDInfo);
    case QELObjectType_Signature: return sizeof(QELSigInfo);
    case QELObjectType_CRL: return sizeof(QELCRLInfo);
    default: return sizeof(QELOtherInfo);
    }
}
// Whether a pointer (a node's parent) is a key database record.
bool qelKeyObjIsKeyDBRecord(const void *p);
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
inline bool qelKeyObjIsKeyOrSubKey(const QELKeyObject *object)
{
    return qelKeyObjIsValid(object) &&
           (qelKeyObjType(object) == QELObjectType_Key || qelKeyObjType(object) == QELObjectType_SubKey);
}
inline bool qelKeyObjIsLiveSignature(const QELKeyObject *object)
{
    return qelKeyObjIsLive(object) && qelKeyObjType(object) == QELObjectType_Signature;
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
// The body of the object's cached packet (after its header); empty without one.
std::span<const std::uint8_t> qelKeyObjPacketBody(QELKeyObject *object);

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

// ---- named bits of the info blocks ---------------------------------------------------------
// Readers of the trust, state and flag bits, so that no caller spells a mask.
inline bool qelKeyObjIsExpiredMark(QELKeyObject *key) { return (qelKeyObjKeyInfo(key)->trust & QELKeyTrust_Expired) != 0; }
// Revoked or expired: the states in which the owner trust is kept as it is.
inline bool qelKeyObjIsRetired(QELKeyObject *key)
{
    return (qelKeyObjKeyInfo(key)->trust & (QELKeyTrust_Expired | QELKeyTrust_Revoked)) != 0;
}
inline std::uint8_t qelKeyObjOwnerTrustLevel(QELKeyObject *key) { return qelKeyObjKeyInfo(key)->trust & QELKeyTrust_LevelMask; }
inline bool qelKeyObjSecretChecked(QELKeyObject *key) { return (qelKeyObjKeyInfo(key)->infoFlags & QELKeyInfo_SecretChecked) != 0; }
inline void qelKeyObjSetSecretChecked(QELKeyObject *key) { qelKeyObjKeyInfo(key)->infoFlags |= QELKeyInfo_SecretChecked; }
inline void qelKeyObjClearSecretChecked(QELKeyObject *key) { qelKeyObjKeyInfo(key)->infoFlags &= ~QELKeyInfo_SecretChecked; }
// The secret is on a token and not in the ring.
inline bool qelKeyObjIsTokenOnly(QELKeyObject *key)
{
    return (qelKeyObjKeyInfo(key)->infoFlags & QELKeyInfo_SecretAny) == QELKeyInfo_OnToken;
}
inline std::uint8_t qelUserIDNameTrust(QELKeyObject *userID) { return qelKeyObjUserIDInfo(userID)->nameTrust & QELNameTrust_Mask; }
inline bool qelUserIDIsPrimaryMarked(QELKeyObject *userID) { return (qelKeyObjUserIDInfo(userID)->nameTrust & QELNameTrust_Primary) != 0; }
inline bool qelUserIDOwnerTrustUndefined(QELKeyObject *userID) { return qelKeyObjUserIDInfo(userID)->ownerTrust == 253; }
inline void qelUserIDSetRecheck(QELKeyObject *userID) { qelKeyObjUserIDInfo(userID)->nameTrust |= QELNameTrust_Recheck; }
inline void qelUserIDClearRecheck(QELKeyObject *userID) { qelKeyObjUserIDInfo(userID)->nameTrust &= std::uint8_t(~QELNameTrust_Recheck); }
inline bool qelUserIDNeedsRecheck(QELKeyObject *userID) { return (qelKeyObjUserIDInfo(userID)->nameTrust & QELNameTrust_Recheck) != 0; }
inline std::uint8_t qelSigTrustDepth(QELKeyObject *sig) { return qelKeyObjSigInfo(sig)->trustDepth; }
inline std::uint8_t qelSigTrustAmount(QELKeyObject *sig) { return qelKeyObjSigInfo(sig)->trustAmount; }
inline bool qelSigIsExportable(QELKeyObject *sig) { return (qelKeyObjSigInfo(sig)->flags & QELSigInfo_Exportable) != 0; }
inline bool qelSigIsRevocable(QELKeyObject *sig) { return (qelKeyObjSigInfo(sig)->flags & QELSigInfo_Revocable) != 0; }
inline bool qelSigHasRegExp(QELKeyObject *sig) { return (qelKeyObjSigInfo(sig)->flags & QELSigInfo_RegExp) != 0; }
inline bool qelKeyObjSigIsX509(QELKeyObject *sig) { return (qelKeyObjSigInfo(sig)->flags & QELSigInfo_X509) != 0; }
inline bool qelSigMarksPrimary(QELKeyObject *sig) { return (qelKeyObjSigInfo(sig)->flags & QELSigInfo_Primary) != 0; }
inline bool qelSigNamesDistPoint(QELKeyObject *sig) { return (qelKeyObjSigInfo(sig)->flags & QELSigInfo_DistPoint) != 0; }
inline bool qelSigIsRevokedByCRL(QELKeyObject *sig) { return (qelKeyObjSigInfo(sig)->state & QELSigState_RevokedByCRL) != 0; }
// Checked and found not valid.
inline bool qelSigIsCheckedInvalid(QELKeyObject *sig)
{
    const std::uint8_t state = qelKeyObjSigInfo(sig)->state;
    return (state & QELSigState_Checked) != 0 && (state & QELSigState_Valid) == 0;
}
// Any check result or CRL mark: nothing is left to check without a recheck.
inline bool qelSigHasCheckState(QELKeyObject *sig)
{
    return (qelKeyObjSigInfo(sig)->state & (QELSigState_RevokedByCRL | QELSigState_Checked | QELSigState_Valid)) != 0;
}
inline std::uint32_t qelCRLThisUpdate(QELKeyObject *crl) { return qelKeyObjCRLInfo(crl)->thisUpdate; }
inline std::uint32_t qelCRLNextUpdate(QELKeyObject *crl) { return qelKeyObjCRLInfo(crl)->nextUpdate; }
inline bool qelCRLIsChecked(QELKeyObject *crl) { return (qelKeyObjCRLInfo(crl)->state & QELSigState_Checked) != 0; }
inline bool qelCRLIsValid(QELKeyObject *crl) { return (qelKeyObjCRLInfo(crl)->state & QELSigState_Valid) != 0; }
// A live CRL child of the key that is valid.
bool qelKeyObjHasValidCRL(QELKeyObject *key);
bool qelCRLIsCurrent(QELKeyObject *crl);

// ---- object-wide ---------------------------------------------------------------------------
void qelKeyObjClearTrust(QELKeyObject *object);
QELStatus qelKeyObjMarkDeleted(QELKeyObject *object);
void qelKeyObjMarkNotLoaded(QELKeyObject *object, bool recursive);
void qelKeyDBRebuildSignerChains(QELKeyDB *db);
// Takes a node out of its parent's children / puts a signature at the head
// of its signer's chain.
void qelKeyObjUnlinkChild(QELKeyObject *node);
void qelKeyObjPushSigner(QELKeyObject *sig);
QELRawPacket *qelKeyDBNewRawPacket(QELKeyDB *db, const std::uint8_t *bytes, std::size_t length);
QELStatus qelKeyObjReplacePacket(QELKeyObject *object, const std::uint8_t *bytes,
                                 std::size_t length);
bool qelKeyObjExpiresWithin(QELKeyObject *object, std::uint32_t from, std::uint32_t until);

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

// ---- signers and navigation --------------------------------------------------------------------
[[nodiscard]] QELStatus qelSigGetSignerID(QELKeyObject *sig, QELKeyID *outID);
[[nodiscard]] QELStatus qelSigFindSigner(QELKeyObject *sig, QELKeyDB *db, QELKeyObject **outKey);
// The object itself for a user ID, its parent for a signature on one, else null.
QELKeyObject *qelKeyObjUserID(QELKeyObject *object);
[[nodiscard]] QELStatus qelKeyOpUnavailable();

// The key-object code is split by concern; the rest of the key layer sees
// it through this one header.
#include "qelKeyBuildInternal.h"
#include "qelKeyIDIndexInternal.h"
#include "qelKeyOpsInternal.h"
#include "qelKeySelfSigInternal.h"
