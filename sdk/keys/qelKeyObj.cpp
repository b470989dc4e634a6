// Key objects: the node tree and its info blocks, the accessors over them,
// cached packets and their parts, fingerprints, the delete mark, the signer
// chains and the navigation from any object to its key, database and signer.
#include "qelKeyObjInternal.h"

#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeySigInternal.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelMemPoolInternal.h"
#include "qelMemory.h"
#include "qelPassCachInternal.h"
#include "qelPkAlgInternal.h"
#include "qelRegexInternal.h"
#include "qelSHA1Internal.h"
#include "qelSeams.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTimeDate.h"
#include "qelWipe.h"
#include "qelTimeDateInternal.h"
#include "qelTokenInternal.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;


// Fetches the info block of a node mirrored from the service. When the fetch
// fails the node still gets a zeroed block (its reference kept in the first
// word), so readers never meet a missing block, and the database's last error
// tells why.
void ensureLoaded(QELKeyObject *o)
{
    if (!(o->flags & QELKeyObjFlag_NotLoaded))
        return;
    QELKeyDB *db = qelKeyObjKeyDB(o);
    u64 ref = reinterpret_cast<std::uintptr_t>(o->info);
    void *block = db ? qelMemPoolAlloc(&db->objectPool, u32(qelKeyObjInfoSize(qelKeyObjTypeOfFlags(o->flags))), 8)
                     : nullptr;
    if (block == nullptr) {
        static thread_local QELKeyInfo scratch; // large enough for every type
        scratch = QELKeyInfo{};
        block = &scratch;
    } else {
        std::memset(block, 0, qelKeyObjInfoSize(qelKeyObjTypeOfFlags(o->flags)));
    }
    std::memcpy(block, &ref, sizeof ref);
    // The node still holds its reference while the service fills the block.
    QELStatus s = qelKeysService().keyObjFetchInfo(o, block, qelKeyObjInfoSize(qelKeyObjTypeOfFlags(o->flags)));
    o->info = block;
    o->flags &= ~QELKeyObjFlag_NotLoaded;
    if (db && s != QELError_NoErr)
        db->lastError = s;
}

} // namespace

// ---- type and state -------------------------------------------------------------------

bool qelKeyObjIsKeyDBRecord(const void *p) { return p != nullptr && *static_cast<const u32 *>(p) == QELKeyDBMagic; }

bool qelKeyObjIsValid(const QELKeyObject *o) { return o != nullptr && o->magic == QELKeyObjectMagic; }
int qelKeyObjType(const QELKeyObject *o) { return qelKeyObjTypeOfFlags(o->flags); }
bool qelKeyObjIsKey(const QELKeyObject *o) { return qelKeyObjIsValid(o) && qelKeyObjType(o) == QELObjectType_Key; }
bool qelKeyObjIsSubKey(const QELKeyObject *o) { return qelKeyObjIsValid(o) && qelKeyObjType(o) == QELObjectType_SubKey; }
bool qelKeyObjIsUserID(const QELKeyObject *o) { return qelKeyObjIsValid(o) && qelKeyObjType(o) == QELObjectType_UserID; }
bool qelKeyObjIsSignature(const QELKeyObject *o) { return qelKeyObjIsValid(o) && qelKeyObjType(o) == QELObjectType_Signature; }
bool qelKeyObjTypeIsSubKey(const QELKeyObject *o) { return qelKeyObjType(o) == QELObjectType_SubKey; }
void *qelKeyObjParent(const QELKeyObject *o) { return o->parent; }
bool qelKeyObjIsDeleted(const QELKeyObject *o) { return o != nullptr && (o->flags & QELKeyObjFlag_Deleted); }
bool qelKeyObjIsPlaceholder(const QELKeyObject *o) { return o != nullptr && (o->flags & QELKeyObjFlag_Placeholder); }
bool qelKeyObjIsX509NameEntry(const QELKeyObject *o) { return o != nullptr && (o->flags & QELKeyObjFlag_X509Name); }

QELKeyDB *qelKeyObjKeyDB(const QELKeyObject *o)
{
    // A tree is at most three levels deep; the bound guards against a
    // corrupted parent chain.
    const void *p = o;
    for (int depth = 0; depth < 8 && p != nullptr; ++depth) {
        if (qelKeyObjIsKeyDBRecord(p))
            return static_cast<QELKeyDB *>(const_cast<void *>(p));
        p = static_cast<const QELKeyObject *>(p)->parent;
    }
    return nullptr;
}

QELContext *qelKeyObjContext(const QELKeyObject *o)
{
    QELKeyDB *db = qelKeyObjKeyDB(o);
    return db ? db->context : nullptr;
}

QELKeyObject *qelKeyObjTopKey(QELKeyObject *o)
{
    for (int depth = 0; depth < 8 && o != nullptr; ++depth) {
        if (qelKeyObjIsKeyDBRecord(o->parent))
            return o;
        o = static_cast<QELKeyObject *>(o->parent);
    }
    return nullptr;
}

// ---- info blocks -----------------------------------------------------------------------

void *qelKeyObjLoadInfo(QELKeyObject *o)
{
    ensureLoaded(o);
    return o->info;
}

void **qelKeyObjPacketSlot(QELKeyObject *o)
{
    auto *info = static_cast<u8 *>(qelKeyObjInfo(o));
    int t = qelKeyObjType(o);
    return reinterpret_cast<void **>(info + ((t == QELObjectType_Key || t == QELObjectType_SubKey) ? 32 : 8));
}

const u8 *qelKeyObjRawPacket(QELKeyObject *o, std::size_t *outLength)
{
    *outLength = 0;
    if (qelKeyObjIsX509NameEntry(o))
        return nullptr;
    auto *raw = static_cast<QELRawPacket *>(*qelKeyObjPacketSlot(o));
    if (raw == nullptr)
        return nullptr;
    *outLength = std::size_t(raw->length);
    return raw->bytes;
}

// ---- keys ------------------------------------------------------------------------------

bool qelKeyObjIsSecret(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->infoFlags & QELKeyInfo_SecretAny) != 0; }
bool qelKeyObjIsV3(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->infoFlags & QELKeyInfo_V3) != 0; }
bool qelKeyObjIsOnToken(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->infoFlags & QELKeyInfo_OnToken) != 0; }
bool qelKeyObjIsRevoked(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->trust & QELKeyTrust_Revoked) != 0; }
bool qelKeyObjIsDisabled(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->trust & QELKeyTrust_Disabled) != 0; }
bool qelKeyObjIsAxiomatic(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->trust & QELKeyTrust_Axiomatic) != 0; }
void qelKeyObjSetDisabled(QELKeyObject *k) { qelKeyObjKeyInfo(k)->trust |= QELKeyTrust_Disabled; }
void qelKeyObjClearDisabled(QELKeyObject *k) { qelKeyObjKeyInfo(k)->trust &= u8(~QELKeyTrust_Disabled); }

void qelKeyObjSetOwnerTrustLevel(QELKeyObject *k, u8 level)
{
    QELKeyInfo *i = qelKeyObjKeyInfo(k);
    level &= QELKeyTrust_LevelMask;
    if (qelKeyObjIsRetired(k) || qelKeyObjOwnerTrustLevel(k) == level)
        return;
    i->trust = u8((i->trust & ~QELKeyTrust_LevelMask) | level);
}

u8 qelKeyObjTrustLevel(QELKeyObject *k)
{
    QELKeyInfo *i = qelKeyObjKeyInfo(k);
    u8 a = i->trust & QELKeyTrust_LevelMask, b = i->trustSigTrust & QELKeyTrust_LevelMask;
    return a > b ? a : b;
}

namespace {
void setUserIDOwnerTrust(QELKeyObject *key, u8 value)
{
    for (QELKeyObject *c = key->firstChild; c; c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_UserID)
            qelKeyObjUserIDInfo(c)->ownerTrust = value;
}
} // namespace

void qelKeyObjSetAxiomatic(QELKeyObject *k)
{
    QELKeyInfo *i = qelKeyObjKeyInfo(k);
    if (!qelKeyObjIsSecret(k) || qelKeyObjIsRevoked(k))
        return;
    i->trust |= QELKeyTrust_Axiomatic | QELKeyTrust_LevelMask;
    setUserIDOwnerTrust(k, 255);
}

void qelKeyObjClearAxiomatic(QELKeyObject *k)
{
    QELKeyInfo *i = qelKeyObjKeyInfo(k);
    i->trust &= u8(~(QELKeyTrust_Axiomatic | QELKeyTrust_LevelMask));
    setUserIDOwnerTrust(k, 253);
}

u32 qelKeyObjCreation(QELKeyObject *k) { return qelKeyObjKeyInfo(k)->creation; }
u32 qelKeyObjBits(QELKeyObject *k) { return qelKeyObjKeyInfo(k)->bits; }

namespace {
// a + b in 64 bits, kept within the 32-bit time range.
u32 saturatingTime(u64 a, u64 b)
{
    u64 sum = a + b;
    return sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : u32(sum);
}
} // namespace

u32 qelKeyObjExpiration(QELKeyObject *k)
{
    QELKeyInfo *i = qelKeyObjKeyInfo(k);
    if (i->creation == 0 || (i->validityDays == 0 && i->validitySeconds == 0))
        return 0;
    if (i->validitySeconds != 0)
        return saturatingTime(i->creation, i->validitySeconds);
    return saturatingTime(i->creation, u64(i->validityDays) * 86400u);
}

bool qelKeyObjHasExpired(QELKeyObject *k, u32 now)
{
    const u32 e = qelKeyObjExpiration(k);
    return e != 0 && e <= now;
}

void qelKeyObjSetValiditySeconds(QELKeyObject *k, u64 seconds)
{
    QELKeyInfo *i = qelKeyObjKeyInfo(k);
    seconds = seconds > 0xFFFFFFFFu ? 0xFFFFFFFFu : seconds;
    // Less than a day must never read as "never expires".
    const u64 days = (seconds + 86399) / 86400;
    i->validityDays = std::uint16_t(days > 0xFFFF ? 0xFFFF : days);
    i->validitySeconds = u32(seconds);
}

QELStatus qelKeyObjFirstSubKey(QELKeyObject *key, QELKeyObject **out)
{
    if (out == nullptr)
        return QELError_BadParams;
    *out = nullptr;
    if (key == nullptr)
        return QELError_ItemNotFound;
    for (QELKeyObject *c = key->firstChild; c; c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_SubKey) {
            *out = c;
            return QELError_NoErr;
        }
    return QELError_ItemNotFound;
}

// ---- user IDs and signatures ------------------------------------------------------------

bool qelUserIDIsAttribute(QELKeyObject *u) { return (qelKeyObjUserIDInfo(u)->flags & QELUserIDFlag_Attribute) != 0; }
u8 qelSigType(QELKeyObject *s) { return qelKeyObjSigInfo(s)->type; }
u32 qelSigCreation(QELKeyObject *s) { return qelKeyObjSigInfo(s)->creation; }
u32 qelSigExpiration(QELKeyObject *s)
{
    QELSigInfo *i = qelKeyObjSigInfo(s);
    if (i->creation == 0 || i->expiration == 0)
        return 0;
    return saturatingTime(i->creation, i->expiration);
}
bool qelSigIsChecked(QELKeyObject *s) { return (qelKeyObjSigInfo(s)->state & QELSigState_Checked) != 0; }
bool qelSigIsValid(QELKeyObject *s) { return (qelKeyObjSigInfo(s)->state & QELSigState_Valid) != 0; }
QELKeyObject *qelSigSigner(QELKeyObject *s) { return qelKeyObjSigInfo(s)->signer; }
QELKeyObject *qelSigSignerKey(QELKeyObject *s)
{
    QELKeyObject *signer = qelSigSigner(s);
    return qelKeyObjIsLive(signer) && qelKeyObjType(signer) == QELObjectType_Key ? signer : nullptr;
}
bool qelSigIsSelfSig(QELKeyObject *s) { return qelSigSigner(s) != nullptr && qelSigSigner(s) == qelKeyObjTopKey(s); }

bool qelSigIsRevoked(QELKeyObject *s)
{
    QELSigInfo *i = qelKeyObjSigInfo(s);
    if (!qelSigIsRevocable(s))
        return false;
    if (qelSigIsRevokedByCRL(s))
        return true;
    auto *parent = static_cast<QELKeyObject *>(s->parent);
    for (QELKeyObject *c = parent->firstChild; c; c = c->next) {
        if (c == s || !qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_Signature)
            continue;
        QELSigInfo *o = qelKeyObjSigInfo(c);
        if (o->signer == i->signer && qelSigIsValid(c) && o->type == 0x30 && o->creation > i->creation)
            return true;
    }
    return false;
}

bool qelSigIsSuperseded(QELKeyObject *s)
{
    QELSigInfo *i = qelKeyObjSigInfo(s);
    if (!qelSigIsRevocable(s) || !qelKeyObjIsLive(i->signer) ||
        qelKeyObjType(i->signer) != QELObjectType_Key)
        return false;
    auto *parent = static_cast<QELKeyObject *>(s->parent);
    if (qelKeyObjIsKeyDBRecord(parent))
        return false;
    for (QELKeyObject *c = parent->firstChild; c; c = c->next) {
        if (c == s || !qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_Signature)
            continue;
        QELSigInfo *o = qelKeyObjSigInfo(c);
        if (o->signer == i->signer && qelSigIsValid(c) &&
            (o->type & 0xF0) == (i->type & 0xF0) && o->creation > i->creation)
            return true;
    }
    return false;
}

// A CRL is current while its next update lies ahead (or it names none).
bool qelCRLIsCurrent(QELKeyObject *crl)
{
    QELCRLInfo *i = qelKeyObjCRLInfo(crl);
    return i->nextUpdate == 0 || i->nextUpdate > qelTimeDateNow();
}

// ---- object-wide -----------------------------------------------------------------------------

void qelKeyObjClearTrust(QELKeyObject *o)
{
    switch (qelKeyObjType(o)) {
    case QELObjectType_Key: case QELObjectType_SubKey: {
        QELKeyInfo *i = qelKeyObjKeyInfo(o);
        i->trust = 0;
        i->trustSigTrust = 0;
        break;
    }
    case QELObjectType_UserID: {
        QELUserIDInfo *i = qelKeyObjUserIDInfo(o);
        i->validity = i->nameTrust = i->ownerTrust = 0;
        i->confidence = 0;
        break;
    }
    case QELObjectType_Signature: qelKeyObjSigInfo(o)->state = 0; break;
    case QELObjectType_CRL: qelKeyObjCRLInfo(o)->state = 0; break;
    default: qelKeyObjOtherInfo(o)->trust = 0; break;
    }
}

namespace {
void markOneDeleted(QELKeyObject *o, bool remote)
{
    o->flags |= QELKeyObjFlag_Deleted;
    o->userValue = nullptr;
    if (remote)
        qelKeyObjMarkNotLoaded(o, false);
    else
        qelKeyObjClearTrust(o);
}
} // namespace

QELStatus qelKeyObjMarkDeleted(QELKeyObject *o)
{
    QELKeyDB *db = qelKeyObjKeyDB(o);
    bool remote = db != nullptr && db->serviceRef != 0;
    // Collect first: the mark makes the descendants non-live.
    for (QELKeyObject *c = o->firstChild; c; c = c->next) {
        if (!qelKeyObjIsLive(c))
            continue;
        for (QELKeyObject *g = c->firstChild; g; g = g->next)
            if (qelKeyObjIsLive(g))
                markOneDeleted(g, remote);
        markOneDeleted(c, remote);
    }
    markOneDeleted(o, remote);
    // A key kept as read goes with the unlisted public copy read beside it:
    // its whole body begins the secret packet's body.
    if (db != nullptr && qelKeyObjIsOpaque(o) && qelKeyObjIsFromSecretRing(o) && qelKeyObjIsKeyDBRecord(o->parent)) {
        const std::span<const u8> sec = qelKeyObjPacketBody(o);
        for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next) {
            if (k == o || !qelKeyObjIsOpaque(k) || qelKeyObjIsFromSecretRing(k) || qelKeyObjIsDeleted(k))
                continue;
            const std::span<const u8> pub = qelKeyObjPacketBody(k);
            if (!pub.empty() && sec.size() > pub.size() && std::memcmp(sec.data(), pub.data(), pub.size()) == 0)
                k->flags |= QELKeyObjFlag_Deleted;
        }
    }
    return QELError_NoErr;
}

void qelKeyObjMarkNotLoaded(QELKeyObject *o, bool recursive)
{
    if (!(o->flags & QELKeyObjFlag_NotLoaded)) {
        u64 ref = 0;
        std::memcpy(&ref, o->info, sizeof ref);
        o->flags |= QELKeyObjFlag_NotLoaded;
        o->info = reinterpret_cast<void *>(static_cast<std::uintptr_t>(ref));
    }
    if (recursive && qelKeyObjType(o) != QELObjectType_Signature)
        for (QELKeyObject *c = o->firstChild; c; c = c->next)
            qelKeyObjMarkNotLoaded(c, true);
}

void qelKeyObjPushSigner(QELKeyObject *sig)
{
    QELSigInfo *si = qelKeyObjSigInfo(sig);
    if (si->signer == nullptr)
        return;
    QELKeyInfo *ki = qelKeyObjKeyInfo(si->signer);
    si->nextBySigner = ki->firstSig;
    ki->firstSig = sig;
}

void qelKeyObjUnlinkChild(QELKeyObject *node)
{
    auto *parent = static_cast<QELKeyObject *>(node->parent);
    for (QELKeyObject **slot = &parent->firstChild; *slot; slot = &(*slot)->next)
        if (*slot == node) {
            *slot = node->next;
            node->next = nullptr;
            return;
        }
}

namespace {
bool canSign(QELKeyObject *o)
{
    int t = qelKeyObjType(o);
    return t == QELObjectType_Key || t == QELObjectType_SubKey;
}

void clearChains(QELKeyObject *o)
{
    if (canSign(o) && !(o->flags & QELKeyObjFlag_NotLoaded))
        qelKeyObjKeyInfo(o)->firstSig = nullptr;
}
} // namespace

void qelKeyDBRebuildSignerChains(QELKeyDB *db)
{
    // Every key object that can sign is in the key-ID index: walk it through
    // the top-level list (placeholders and name entries are on it too) and
    // the subkeys below.
    for (QELKeyObject *k = db->firstKey; k; k = k->next) {
        clearChains(k);
        for (QELKeyObject *c = k->firstChild; c; c = c->next)
            clearChains(c);
    }
    for (QELKeyObject *k = db->firstKey; k; k = k->next) {
        if (!qelKeyObjIsLive(k))
            continue;
        for (QELKeyObject *c = k->firstChild; c; c = c->next) {
            if (!qelKeyObjIsLive(c))
                continue;
            if (qelKeyObjType(c) == QELObjectType_Signature) {
                qelKeyObjPushSigner(c);
                continue;
            }
            for (QELKeyObject *g = c->firstChild; g; g = g->next)
                if (qelKeyObjIsLive(g) && qelKeyObjType(g) == QELObjectType_Signature)
                    qelKeyObjPushSigner(g);
        }
    }
}

QELRawPacket *qelKeyDBNewRawPacket(QELKeyDB *db, const u8 *bytes, std::size_t length)
{
    QELMemPool mark = db->objectPool;
    if (length > 0xFFFFFFFFu) {
        db->lastError = QELError_PacketTooLarge;
        return nullptr;
    }
    auto *raw = static_cast<QELRawPacket *>(qelMemPoolAlloc(&db->objectPool, sizeof(QELRawPacket), 8));
    auto *copy = raw ? static_cast<u8 *>(qelMemPoolAlloc(&db->objectPool, u32(length ? length : 1), 1))
                     : nullptr;
    if (copy == nullptr) {
        qelMemPoolRelease(&db->objectPool, &mark);
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    }
    if (length)
        std::memcpy(copy, bytes, length);
    raw->bytes = copy;
    raw->length = length;
    raw->refCount = 1;
    return raw;
}

QELStatus qelKeyObjReplacePacket(QELKeyObject *o, const u8 *bytes, std::size_t length)
{
    QELKeyDB *db = qelKeyObjKeyDB(o);
    auto *raw = static_cast<QELRawPacket *>(*qelKeyObjPacketSlot(o));
    if (raw == nullptr)
        return db ? db->lastError : QELError_BadParams;
    QELMemPool mark = db->objectPool;
    auto *copy = static_cast<u8 *>(qelMemPoolAlloc(&db->objectPool, u32(length ? length : 1), 1));
    if (copy == nullptr) {
        qelMemPoolRelease(&db->objectPool, &mark);
        db->lastError = QELError_OutOfMemory;
        return QELError_OutOfMemory;
    }
    std::memcpy(copy, bytes, length);
    // The pool keeps the old bytes until the database goes: a secret packet
    // (its old protection, or none) must not linger there that long.
    if (raw->bytes != nullptr)
        qelSecureWipe(raw->bytes, std::size_t(raw->length));
    raw->bytes = copy;
    raw->length = length;
    return QELError_NoErr;
}

bool qelKeyObjExpiresWithin(QELKeyObject *o, u32 from, u32 until)
{
    u32 e = 0;
    int t = qelKeyObjType(o);
    if (t == QELObjectType_Key || t == QELObjectType_SubKey)
        e = qelKeyObjExpiration(o);
    else if (t == QELObjectType_Signature)
        e = qelSigExpiration(o);
    return e != 0 && from <= e && e < until;
}

// ---- packets and their parts -------------------------------------------------------------

std::span<const u8> qelKeyObjPacketBody(QELKeyObject *o)
{
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(o, &length);
    if (packet == nullptr)
        return {};
    return qelPacketBody(packet, length);
}

u8 qelKeyObjKeyVersion(QELKeyObject *key)
{
    std::span<const u8> body = qelKeyObjPacketBody(key);
    return body.empty() ? 0 : body[0];
}

const u8 *qelKeyObjKeyMaterial(QELKeyObject *key, std::size_t *outLength)
{
    *outLength = 0;
    std::span<const u8> body = qelKeyObjPacketBody(key);
    if (body.empty())
        return nullptr;
    std::size_t at = qelKeyPacketAlgorithmOffset(body[0]) + 1;
    if (body.size() < at)
        return nullptr;
    *outLength = body.size() - at;
    return body.data() + at;
}

const u8 *qelUserIDText(QELKeyObject *userID, std::size_t *outLength)
{
    if (outLength)
        *outLength = 0;
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(userID, &length);
    if (packet == nullptr)
        return nullptr;
    std::span<const u8> body = qelPacketBody(packet, length);
    if (outLength)
        *outLength = body.size();
    return body.data();
}

const u8 *qelUserIDAttribute(QELKeyObject *userID, u32 index, u8 *outType, u32 *outLength,
                             QELStatus *outStatus)
{
    if (outType) *outType = 0;
    if (outLength) *outLength = 0;
    if (outStatus) *outStatus = QELError_NoErr;
    if (!qelKeyObjIsUserID(userID) || !qelUserIDIsAttribute(userID)) {
        if (outStatus) *outStatus = QELError_BadParams;
        return nullptr;
    }
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(userID, &length);
    u8 type = 0;
    u32 dataLength = 0;
    const u8 *data = packet ? qelUserAttributeGet(packet, length, index, &type, &dataLength) : nullptr;
    if (data == nullptr) {
        if (outStatus) *outStatus = QELError_ItemNotFound;
        return nullptr;
    }
    if (outType) *outType = type;
    if (outLength) *outLength = dataLength;
    return data;
}

u32 qelUserIDAttributeCount(QELKeyObject *userID)
{
    if (!qelKeyObjIsUserID(userID) || !qelUserIDIsAttribute(userID))
        return 0;
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(userID, &length);
    return packet ? qelUserAttributeCount(packet, length) : 0;
}

const u8 *qelKeyObjSigX509Data(QELKeyObject *sig, std::size_t *outLength)
{
    *outLength = 0;
    if (!qelKeyObjIsSignature(sig) || !qelKeyObjSigIsX509(sig))
        return nullptr;
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(sig, &length);
    u32 dataLength = 0;
    const u8 *data = packet ? qelSigPrivateSubpacketFind(packet, length, 1, 0, &dataLength, nullptr,
                                                         nullptr, nullptr, nullptr)
                            : nullptr;
    if (data == nullptr || dataLength <= 3)
        return nullptr;
    *outLength = dataLength - 3;
    return data + 3;
}

// ---- fingerprints --------------------------------------------------------------------------

namespace {

// The key's packet in public form, freed with the context on every exit.
class PublicForm {
public:
    explicit PublicForm(QELKeyObject *key) : context_(qelKeyObjContext(key))
    {
        if (qelKeyObjIsKeyOrSubKey(key))
            bytes_ = qelKeyObjPublicPacket(key, &length_);
    }
    ~PublicForm()
    {
        if (bytes_ != nullptr)
            static_cast<void>(qelContextMemFree(context_, bytes_)); // a block of this context
    }
    PublicForm(const PublicForm &) = delete;
    PublicForm &operator=(const PublicForm &) = delete;
    const u8 *bytes() const { return bytes_; }
    std::size_t length() const { return length_; }
    QELContext *context() const { return context_; }

private:
    QELContext *context_;
    u8 *bytes_ = nullptr;
    std::size_t length_ = 0;
};

} // namespace

QELStatus qelKeyObjFingerprint(QELKeyObject *key, u8 out[20])
{
    std::memset(out, 0, 20);
    // A key kept as read has a version 4 fingerprint only as a version 4
    // public packet; what its secret packet holds is not known here.
    if (qelKeyObjIsOpaque(key)) {
        std::span<const u8> body = qelKeyObjPacketBody(key);
        std::size_t length = 0;
        const u8 *packet = qelKeyObjRawPacket(key, &length);
        const int tag = packet != nullptr ? qelPacketTag(packet[0]) : -1;
        if (body.empty() || body[0] != 4 || (tag != 6 && tag != 14))
            return QELError_UnsupportedAlgorithm;
        qelKeyFingerprintV4(body.data(), body.size(), out);
        return 20;
    }
    PublicForm form(key);
    if (form.bytes() == nullptr)
        return QELError_OutOfMemory;
    std::span<const u8> body = qelPacketBody(form.bytes(), form.length());
    qelKeyFingerprintV4(body.data(), body.size(), out);
    return 20;
}

QELStatus qelKeyObjFingerprintV3(QELKeyObject *key, u8 out[16])
{
    std::memset(out, 0, 16);
    std::size_t length = 0;
    const u8 *packet = qelKeyObjIsKeyOrSubKey(key) ? qelKeyObjRawPacket(key, &length) : nullptr;
    if (packet == nullptr)
        return QELError_OutOfMemory;
    return qelKeyFingerprintV3(qelKeyObjContext(key), packet, length, out);
}

QELStatus qelKeyObjMaterialFingerprint(QELKeyObject *key, u8 out[20])
{
    std::memset(out, 0, 20);
    if (qelKeyObjIsOpaque(key))
        return QELError_UnsupportedAlgorithm; // its material is not read here
    PublicForm form(key);
    if (form.bytes() == nullptr)
        return QELError_OutOfMemory;
    QELKeyPacketInfo info;
    QELStatus s = qelKeyPacketParse(form.context(), form.bytes(), form.length(), &info, false);
    if (s < 0)
        return s;
    std::memcpy(out, info.materialDigest, 20);
    qelSecureWipe(&info, sizeof info);
    return 20;
}

QELKeyObject *qelKeyDBFindKeyByFingerprint(QELKeyDB *db, const u8 fingerprint[20])
{
    if (!qelKeyDBIsValid(db) || fingerprint == nullptr)
        return nullptr;
    for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next) {
        if (!qelKeyObjIsLive(k) || qelKeyObjType(k) != QELObjectType_Key ||
            qelKeyObjKeyInfo(k)->digestByte != fingerprint[0])
            continue;
        u8 fpr[20];
        if (qelKeyObjMaterialFingerprint(k, fpr) == 20 && std::memcmp(fpr, fingerprint, 20) == 0)
            return k;
    }
    return nullptr;
}

// ---- signers and navigation ------------------------------------------------------------------------

QELStatus qelSigGetSignerID(QELKeyObject *sig, QELKeyID *outID)
{
    if (outID != nullptr)
        *outID = QELKeyID{};
    if (outID == nullptr || !qelKeyObjIsSignature(sig))
        return QELError_BadParams;
    if (qelKeyObjIsDeleted(sig))
        return QELError_DeadKeyObject;
    qelSigGetSignerKeyID(sig, nullptr, outID);
    return QELError_NoErr;
}

QELStatus qelSigFindSigner(QELKeyObject *sig, QELKeyDB *db, QELKeyObject **outKey)
{
    *outKey = nullptr;
    QELKeyObject *signer = qelSigSigner(sig);
    if (qelKeyObjIsLive(signer) && qelKeyObjIsKeyOrSubKey(signer) && !qelKeyObjIsX509NameEntry(signer)) {
        *outKey = signer;
        return QELError_NoErr;
    }
    if (db == nullptr)
        return QELError_ItemNotFound;
    QELKeyID id{};
    QELStatus s = qelSigGetSignerID(sig, &id);
    if (s != QELError_NoErr)
        return s;
    return qelKeyDBFindKey(db, &id, outKey);
}

QELStatus qelSigGetSigner(QELKeyObject *sig, QELKeyDB *db, QELKeyObject **outKey)
{
    QEL_ENTER(outKey);
    if (outKey == nullptr || !qelKeyObjIsSignature(sig) || (db != nullptr && !qelKeyDBIsValid(db)))
        return QELError_BadParams;
    if (qelKeyObjIsDeleted(sig))
        return QELError_DeadKeyObject;
    return qelSigFindSigner(sig, db, outKey);
}

QELKeyObject *qelKeyObjUserID(QELKeyObject *object)
{
    if (qelKeyObjIsUserID(object))
        return object;
    if (qelKeyObjIsSignature(object)) {
        auto *parent = static_cast<QELKeyObject *>(object->parent);
        if (qelKeyObjIsUserID(parent))
            return parent;
    }
    return nullptr;
}

QELStatus qelKeyOpUnavailable() { return QELError_FeatureNotAvailable; }

