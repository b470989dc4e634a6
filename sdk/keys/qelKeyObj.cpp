// Key objects: nodes, info blocks, cached packets, the builders that turn
// packets into nodes (merging instead of duplicating), the key-ID index,
// the delete mark and the rebuild of nodes from the service's key tree.
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
#include "qelMemPoolInternal.h"
#include "qelMemory.h"
#include "qelPassCachInternal.h"
#include "qelPkAlgInternal.h"
#include "qelRPCClientInternal.h"
#include "qelRegexInternal.h"
#include "qelSHA1Internal.h"
#include "qelRPCDispatchInternal.h"
#include "qelSeams.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTimeDate.h"
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

std::size_t infoSizeOfType(int type)
{
    switch (type) {
    case QELObjectType_Key: case QELObjectType_SubKey: return sizeof(QELKeyInfo);
    case QELObjectType_UserID: return sizeof(QELUserIDInfo);
    case QELObjectType_Signature: return sizeof(QELSigInfo);
    case QELObjectType_CRL: return sizeof(QELCRLInfo);
    default: return sizeof(QELOtherInfo);
    }
}

int typeOfFlags(u32 flags)
{
    if (flags & QELKeyObjFlag_Key) return QELObjectType_Key;
    if (flags & QELKeyObjFlag_SubKey) return QELObjectType_SubKey;
    if (flags & QELKeyObjFlag_UserID) return QELObjectType_UserID;
    if (flags & QELKeyObjFlag_Signature) return QELObjectType_Signature;
    if (flags & QELKeyObjFlag_CRL) return QELObjectType_CRL;
    return QELObjectType_Other;
}

bool isDB(const void *p) { return p != nullptr && *static_cast<const u32 *>(p) == QELKeyDBMagic; }

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
    void *block = db ? qelMemPoolAlloc(&db->objectPool, u32(infoSizeOfType(typeOfFlags(o->flags))), 8)
                     : nullptr;
    if (block == nullptr) {
        static thread_local QELKeyInfo scratch; // large enough for every type
        scratch = QELKeyInfo{};
        block = &scratch;
    } else {
        std::memset(block, 0, infoSizeOfType(typeOfFlags(o->flags)));
    }
    std::memcpy(block, &ref, sizeof ref);
    // The node still holds its reference while the service fills the block.
    QELStatus s = qelKeyObjFetchInfoDispatch(o, block, infoSizeOfType(typeOfFlags(o->flags)));
    o->info = block;
    o->flags &= ~QELKeyObjFlag_NotLoaded;
    if (db && s != QELError_NoErr)
        db->lastError = s;
}

u64 idKey(const u8 bytes[8])
{
    u64 v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | bytes[i];
    return v;
}

u64 shortIDKey(const u8 bytes[4])
{
    return (u64(bytes[0]) << 24) | (u64(bytes[1]) << 16) | (u64(bytes[2]) << 8) | bytes[3];
}

} // namespace

// ---- type and state -------------------------------------------------------------------

bool qelKeyObjIsValid(const QELKeyObject *o) { return o != nullptr && o->magic == QELKeyObjectMagic; }
int qelKeyObjType(const QELKeyObject *o) { return typeOfFlags(o->flags); }
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
        if (isDB(p))
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
        if (isDB(o->parent))
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

bool qelKeyObjIsSecret(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->infoFlags & 0x18) != 0; }
bool qelKeyObjIsV3(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->infoFlags & QELKeyInfo_V3) != 0; }
bool qelKeyObjIsOnToken(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->infoFlags & QELKeyInfo_OnToken) != 0; }
bool qelKeyObjIsRevoked(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->trust & 0x10) != 0; }
bool qelKeyObjIsDisabled(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->trust & 0x20) != 0; }
bool qelKeyObjIsAxiomatic(QELKeyObject *k) { return (qelKeyObjKeyInfo(k)->trust & 0x80) != 0; }
void qelKeyObjSetDisabled(QELKeyObject *k) { qelKeyObjKeyInfo(k)->trust |= 0x20; }
void qelKeyObjClearDisabled(QELKeyObject *k) { qelKeyObjKeyInfo(k)->trust &= u8(~0x20); }

void qelKeyObjSetOwnerTrustLevel(QELKeyObject *k, u8 level)
{
    QELKeyInfo *i = qelKeyObjKeyInfo(k);
    if ((i->trust & 0x50) || (i->trust & 7) == (level & 7))
        return;
    i->trust = u8((i->trust & ~7u) | (level & 7));
}

u8 qelKeyObjTrustLevel(QELKeyObject *k)
{
    QELKeyInfo *i = qelKeyObjKeyInfo(k);
    u8 a = i->trust & 7, b = i->trustSigTrust & 7;
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
    if (!qelKeyObjIsSecret(k) || (i->trust & 0x10))
        return;
    i->trust |= 0x87;
    setUserIDOwnerTrust(k, 255);
}

void qelKeyObjClearAxiomatic(QELKeyObject *k)
{
    QELKeyInfo *i = qelKeyObjKeyInfo(k);
    i->trust &= 0x78;
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
    if (i->creation == 0 || i->validityDays == 0)
        return 0;
    return saturatingTime(i->creation, u64(i->validityDays) * 86400u);
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

bool qelUserIDIsAttribute(QELKeyObject *u) { return (qelKeyObjUserIDInfo(u)->flags & 0x80) != 0; }
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
    if (!(i->flags & QELSigInfo_Revocable))
        return false;
    if (i->state & QELSigState_RevokedByCRL)
        return true;
    auto *parent = static_cast<QELKeyObject *>(s->parent);
    for (QELKeyObject *c = parent->firstChild; c; c = c->next) {
        if (c == s || !qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_Signature)
            continue;
        QELSigInfo *o = qelKeyObjSigInfo(c);
        if (o->signer == i->signer && (o->state & QELSigState_Valid) && o->type == 0x30 &&
            o->creation > i->creation)
            return true;
    }
    return false;
}

bool qelSigIsSuperseded(QELKeyObject *s)
{
    QELSigInfo *i = qelKeyObjSigInfo(s);
    if (!(i->flags & QELSigInfo_Revocable) || !qelKeyObjIsLive(i->signer) ||
        qelKeyObjType(i->signer) != QELObjectType_Key)
        return false;
    auto *parent = static_cast<QELKeyObject *>(s->parent);
    if (isDB(parent))
        return false;
    for (QELKeyObject *c = parent->firstChild; c; c = c->next) {
        if (c == s || !qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_Signature)
            continue;
        QELSigInfo *o = qelKeyObjSigInfo(c);
        if (o->signer == i->signer && (o->state & QELSigState_Valid) &&
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

namespace {
bool canSign(QELKeyObject *o)
{
    int t = qelKeyObjType(o);
    return t == QELObjectType_Key || t == QELObjectType_SubKey;
}

void pushSigner(QELKeyObject *sig)
{
    QELSigInfo *si = qelKeyObjSigInfo(sig);
    if (si->signer == nullptr)
        return;
    QELKeyInfo *ki = qelKeyObjKeyInfo(si->signer);
    si->nextBySigner = ki->firstSig;
    ki->firstSig = sig;
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
                pushSigner(c);
                continue;
            }
            for (QELKeyObject *g = c->firstChild; g; g = g->next)
                if (qelKeyObjIsLive(g) && qelKeyObjType(g) == QELObjectType_Signature)
                    pushSigner(g);
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

// ---- the key-ID index ----------------------------------------------------------------------

// Each table is one block from the context's manager: slots of (ID value,
// first key), linear probing, at most half full, doubled when it fills.
struct QELKeyIDIndex {
    std::uint32_t bits;  // 2^bits slots
    std::uint32_t count; // slots in use
    struct Slot {
        u64 id;
        // The newest key with this ID, null for a free slot. Its link closes
        // the chain onto the oldest, so a key joins in one step whatever
        // the ring's maker did with its IDs, and walks still start oldest.
        QELKeyObject *last;
    } slots[1];
};

namespace {

std::size_t indexBytes(std::uint32_t bits)
{
    return offsetof(QELKeyIDIndex, slots) + (std::size_t(1) << bits) * sizeof(QELKeyIDIndex::Slot);
}

std::size_t slotOf(u64 id, std::uint32_t bits)
{
    return std::size_t((id * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

// The slot holding id, or the free slot where it belongs.
QELKeyIDIndex::Slot *probe(QELKeyIDIndex *ix, u64 id)
{
    const std::size_t mask = (std::size_t(1) << ix->bits) - 1;
    for (std::size_t i = slotOf(id, ix->bits);; i = (i + 1) & mask) {
        QELKeyIDIndex::Slot *slot = &ix->slots[i];
        if (slot->last == nullptr || slot->id == id)
            return slot;
    }
}

// Room for `more` further IDs, growing (or making) the table when needed.
QELStatus reserveSlots(QELContext *context, QELKeyIDIndex *&ix, std::size_t more)
{
    const std::size_t want = 2 * ((ix != nullptr ? ix->count : 0) + more);
    if (ix != nullptr && want <= (std::size_t(1) << ix->bits))
        return QELError_NoErr;
    std::uint32_t bits = ix == nullptr ? 10 : ix->bits + 1;
    while ((std::size_t(1) << bits) < want && bits < 40)
        ++bits;
    // A table of a megabyte or more goes up to the size the memory manager
    // serves with huge pages: filling it then costs one page fault.
    if (indexBytes(bits) >= (std::size_t(1) << 20) && indexBytes(bits) < QELMemMappedMin)
        ++bits;
    auto *grown = static_cast<QELKeyIDIndex *>(qelContextMemAlloc(context, indexBytes(bits), QELMemFlag_Clear));
    if (grown == nullptr)
        return QELError_OutOfMemory;
    grown->bits = bits;
    grown->count = 0;
    if (ix != nullptr) {
        for (std::size_t i = 0, n = std::size_t(1) << ix->bits; i < n; ++i)
            if (ix->slots[i].last != nullptr) {
                *probe(grown, ix->slots[i].id) = ix->slots[i];
                ++grown->count;
            }
        static_cast<void>(qelContextMemFree(context, ix)); // our own block
    }
    ix = grown;
    return QELError_NoErr;
}

// The newest key with the ID; its link leads to the oldest.
QELKeyObject *findLast(const QELKeyIDIndex *ix, u64 id)
{
    return ix == nullptr ? nullptr : probe(const_cast<QELKeyIDIndex *>(ix), id)->last;
}

} // namespace

QELStatus qelKeyIDTreeInsert(QELKeyObject *key, QELKeyDB *db)
{
    QELKeyInfo *ki = qelKeyObjKeyInfo(key);
    ki->sameID = ki->sameShortID = nullptr;
    struct Index { QELKeyIDIndex *QELKeyDB::*table; u64 id; QELKeyObject *QELKeyInfo::*link; };
    const Index indexes[2] = {{&QELKeyDB::idIndex, idKey(ki->keyID), &QELKeyInfo::sameID},
                              {&QELKeyDB::shortIDIndex, shortIDKey(ki->keyID + 4), &QELKeyInfo::sameShortID}};
    for (const Index &ix : indexes) {
        if (db->*ix.table != nullptr) {
            QELKeyIDIndex::Slot *slot = probe(db->*ix.table, ix.id);
            if (slot->last != nullptr) {
                QELKeyObject *&oldestLink = qelKeyObjKeyInfo(slot->last)->*ix.link;
                ki->*ix.link = oldestLink;
                oldestLink = key;
                slot->last = key;
                continue;
            }
        }
        if (reserveSlots(db->context, db->*ix.table, 1) != QELError_NoErr)
            return QELError_OutOfMemory;
        QELKeyIDIndex::Slot *slot = probe(db->*ix.table, ix.id);
        slot->id = ix.id;
        slot->last = key;
        ki->*ix.link = key; // a chain of one closes on itself
        ++(db->*ix.table)->count;
    }
    return QELError_NoErr;
}

QELStatus qelKeyIDIndexReserve(QELKeyDB *db, std::size_t keys)
{
    for (QELKeyIDIndex **ix : {&db->idIndex, &db->shortIDIndex})
        if (reserveSlots(db->context, *ix, keys) != QELError_NoErr)
            return QELError_OutOfMemory;
    return QELError_NoErr;
}

void qelKeyIDIndexFree(QELKeyDB *db)
{
    for (QELKeyIDIndex **ix : {&db->idIndex, &db->shortIDIndex}) {
        if (*ix != nullptr)
            static_cast<void>(qelContextMemFree(db->context, *ix)); // our own block
        *ix = nullptr;
    }
}

namespace {
// Applies the lookup flags to the first node whose ID matched.
QELStatus resolveMatch(QELKeyObject *node, bool placeholders, bool deleted, bool followNames,
                       QELKeyObject **out)
{
    if (!deleted && qelKeyObjIsDeleted(node))
        return QELError_ItemNotFound;
    if (!placeholders && qelKeyObjIsPlaceholder(node))
        return QELError_ItemNotFound;
    if (followNames && placeholders && qelKeyObjIsX509NameEntry(node)) {
        auto *sig = static_cast<QELKeyObject *>(qelKeyObjKeyInfo(node)->packet);
        if (sig != nullptr) {
            QELKeyObject *top = qelKeyObjTopKey(sig);
            if (top != nullptr) {
                *out = top;
                return QELError_NoErr;
            }
        }
    }
    *out = node;
    return QELError_NoErr;
}

QELKeyID idOfNode(QELKeyObject *k)
{
    QELKeyID id{};
    qelKeyObjGetKeyID(k, nullptr, &id);
    return id;
}
} // namespace

QELStatus qelKeyDBFindKeyByIDLocal(QELKeyDB *db, const QELKeyID *id, bool placeholders,
                                   bool deleted, QELKeyObject **out)
{
    if (out != nullptr)
        *out = nullptr;
    if (!qelKeyDBIsValid(db) || id == nullptr || out == nullptr)
        return QELError_BadParams;
    if (!qelKeyIDIsValid(id))
        return QELError_ItemNotFound;
    bool full = id->length == 8;
    const u64 key = full ? idKey(id->bytes) : shortIDKey(id->bytes);
    QELKeyObject *last = findLast(full ? db->idIndex : db->shortIDIndex, key);
    auto next = [full](QELKeyObject *k) {
        return full ? qelKeyObjKeyInfo(k)->sameID : qelKeyObjKeyInfo(k)->sameShortID;
    };
    for (QELKeyObject *k = last != nullptr ? next(last) : nullptr; k != nullptr; k = k == last ? nullptr : next(k)) {
        if (qelKeyIDCompareInternal(idOfNode(k), *id) != 0)
            continue;
        QELStatus s = resolveMatch(k, placeholders, deleted, full, out);
        // An eight-byte match decides; a four-byte match that the flags
        // exclude lets the search go on with the next key.
        if (full || s == QELError_NoErr)
            return s;
    }
    return QELError_ItemNotFound;
}

QELStatus qelKeyDBFindKeyByID(QELKeyDB *db, const QELKeyID *id, bool placeholders, bool deleted,
                              QELKeyObject **out)
{
    if (qelKeyDBIsValid(db) && db->serviceRef != 0)
        return qelKeyDBFindKeyByIDDispatch(db, id, placeholders, deleted, out);
    return qelKeyDBFindKeyByIDLocal(db, id, placeholders, deleted, out);
}

QELStatus qelKeyDBFindKey(QELKeyDB *db, const QELKeyID *id, QELKeyObject **outKey)
{
    QEL_ENTER(outKey);
    if (!qelKeyDBIsValid(db) || id == nullptr || outKey == nullptr)
        return QELError_BadParams;
    QELStatus s = qelKeyDBFindKeyByID(db, id, true, false, outKey);
    if (s == QELError_NoErr && qelKeyObjIsPlaceholder(*outKey)) {
        *outKey = nullptr;
        return QELError_ItemNotFound;
    }
    return s;
}

QELKeyObject *qelKeyDBFindKeyByRawID(QELKeyDB *db, u8 algorithm, const u8 idBytes[8])
{
    QELKeyID id{};
    if (qelKeyIDFromBytes(idBytes, qelKeyIDNormaliseAlgorithm(algorithm), 8, &id) != 0)
        return nullptr;
    QELKeyObject *k = nullptr;
    return qelKeyDBFindKeyByID(db, &id, true, false, &k) == QELError_NoErr ? k : nullptr;
}

QELKeyObject *qelKeyDBFindKeyLinear(QELKeyDB *db, u8 algorithm, const u8 idBytes[8])
{
    u8 asked = qelKeyIDNormaliseAlgorithm(algorithm);
    for (QELKeyObject *k = db->firstKey; k; k = k->next) {
        if (!qelKeyObjIsLive(k))
            continue;
        QELKeyInfo *i = qelKeyObjKeyInfo(k);
        if (std::memcmp(i->keyID, idBytes, 8) != 0)
            continue;
        bool rsaAsked = algorithm >= 1 && algorithm <= 3;
        if (asked == i->algorithm || (rsaAsked && (i->algorithm == 2 || i->algorithm == 3)))
            return k;
    }
    return nullptr;
}

// ---- nodes from packets -------------------------------------------------------------------------

QELKeyObject *qelKeyObjAlloc(QELKeyDB *db, std::size_t infoSize)
{
    QELMemPool mark = db->objectPool;
    auto *node = static_cast<QELKeyObject *>(qelMemPoolAlloc(&db->objectPool, sizeof(QELKeyObject), 8));
    void *info = node ? qelMemPoolAlloc(&db->objectPool, u32(infoSize), 8) : nullptr;
    if (info == nullptr) {
        qelMemPoolRelease(&db->objectPool, &mark);
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    }
    std::memset(node, 0, sizeof *node);
    std::memset(info, 0, infoSize);
    node->magic = QELKeyObjectMagic;
    node->info = info;
    return node;
}

void qelKeyObjLinkChild(QELKeyObject *node, QELKeyObject *parent)
{
    int t = qelKeyObjType(node);
    QELKeyObject **slot = &parent->firstChild;
    while (*slot != nullptr) {
        int ct = qelKeyObjType(*slot);
        if (ct == QELObjectType_Signature) {
            slot = &(*slot)->next;
            continue;
        }
        if (t == QELObjectType_Signature)
            break;
        if (t == QELObjectType_UserID && ct != QELObjectType_UserID)
            break;
        slot = &(*slot)->next;
    }
    node->next = *slot;
    *slot = node;
    node->parent = parent;
}

namespace {
void unlinkChild(QELKeyObject *node)
{
    auto *parent = static_cast<QELKeyObject *>(node->parent);
    for (QELKeyObject **slot = &parent->firstChild; *slot; slot = &(*slot)->next)
        if (*slot == node) {
            *slot = node->next;
            node->next = nullptr;
            return;
        }
}

std::span<const u8> bodyOf(const u8 *packet, std::size_t length)
{
    std::size_t h = qelPacketHeaderSize(packet, length);
    return h <= length ? std::span<const u8>(packet + h, length - h) : std::span<const u8>();
}
} // namespace

void qelKeyDBAppendKey(QELKeyDB *db, QELKeyObject *key)
{
    key->next = nullptr;
    key->parent = db;
    if (db->firstKey == nullptr) {
        db->firstKey = key;
    } else {
        QELKeyObject *last = db->lastKey;
        if (last == nullptr)
            for (last = db->firstKey; last->next; last = last->next) {
            }
        last->next = key;
    }
    db->lastKey = key;
}

void qelKeyDBUnlinkKey(QELKeyDB *db, QELKeyObject *key)
{
    QELKeyObject *prev = nullptr;
    for (QELKeyObject **slot = &db->firstKey; *slot; prev = *slot, slot = &(*slot)->next)
        if (*slot == key) {
            *slot = key->next;
            if (db->lastKey == key)
                db->lastKey = prev;
            key->next = nullptr;
            return;
        }
}

bool qelKeyObjSamePacket(QELKeyObject *node, const u8 *packet, std::size_t length)
{
    std::size_t storedLength = 0;
    const u8 *stored = qelKeyObjRawPacket(node, &storedLength);
    if (stored == nullptr || length == 0 || qelPacketTag(stored[0]) != qelPacketTag(packet[0]))
        return false;
    auto a = bodyOf(stored, storedLength), b = bodyOf(packet, length);
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

QELKeyObject *qelKeyObjFindChildPacket(QELKeyObject *parent, const u8 *packet, std::size_t length)
{
    for (QELKeyObject *c = parent->firstChild; c; c = c->next)
        if (qelKeyObjSamePacket(c, packet, length))
            return c;
    return nullptr;
}

bool qelKeyPacketSamePublic(const u8 *pub, std::size_t pubLength, const u8 *sec,
                            std::size_t secLength, bool *outVersion2)
{
    *outVersion2 = false;
    std::size_t publicEnd = qelKeyPacketPublicLength(sec, secLength);
    if (publicEnd == 0)
        return false;
    std::size_t sh = qelPacketHeaderSize(sec, secLength);
    auto pb = bodyOf(pub, pubLength);
    std::size_t secPublic = publicEnd - sh;
    if (pb.size() != secPublic || pb.empty())
        return false;
    const u8 *sb = sec + sh;
    if (std::memcmp(pb.data() + 1, sb + 1, secPublic - 1) != 0)
        return false;
    if (pb[0] == sb[0])
        return true;
    if (pb[0] == 2 && sb[0] == 3) {
        *outVersion2 = true;
        return true;
    }
    return false;
}

QELStatus qelKeySigX509IDs(QELKeyDB *db, const u8 *packet, std::size_t length,
                           bool *outHasDistPoint, u8 outIssuer[8], u8 outSubject[8])
{
    *outHasDistPoint = false;
    u32 len = 0;
    const u8 *data = qelSigPrivateSubpacketFind(packet, length, 1, 0, &len, nullptr, nullptr,
                                                nullptr, nullptr);
    if (data == nullptr || len < 3)
        return QELError_BadParams;
    QELX509CertNames names{};
    QELStatus s = qelX509DecodeCertNames(db->context, data + 3, len - 3, &names);
    if (s != QELError_NoErr)
        return s;
    u8 digest[20];
    qelKeyFingerprintV4(names.issuer, names.issuerLength, digest);
    std::memcpy(outIssuer, digest + 12, 8);
    qelKeyFingerprintV4(names.subject, names.subjectLength, digest);
    std::memcpy(outSubject, digest + 12, 8);
    *outHasDistPoint = names.hasDistPoint != 0;
    return QELError_NoErr;
}

namespace {

bool storePacket(QELKeyDB *db, QELKeyObject *node, const u8 *packet, std::size_t length)
{
    QELRawPacket *raw = qelKeyDBNewRawPacket(db, packet, length);
    if (raw == nullptr)
        return false;
    *qelKeyObjPacketSlot(node) = raw;
    return true;
}

// A new placeholder key for a key ID, appended and indexed.
QELKeyObject *newPlaceholder(QELKeyDB *db, u8 algorithm, const u8 id[8], u32 extraFlags)
{
    QELKeyObject *k = qelKeyObjAlloc(db, sizeof(QELKeyInfo));
    if (k == nullptr)
        return nullptr;
    k->flags = QELKeyObjFlag_Key | QELKeyObjFlag_Placeholder | extraFlags;
    QELKeyInfo *ki = qelKeyObjKeyInfo(k);
    ki->algorithm = algorithm;
    std::memcpy(ki->keyID, id, 8);
    qelKeyDBAppendKey(db, k);
    if (qelKeyIDTreeInsert(k, db) != QELError_NoErr) {
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    }
    return k;
}

QELKeyObject *lookupForBuild(QELKeyDB *db, u8 algorithm, const u8 id[8])
{
    QELKeyID kid{};
    static_cast<void>(qelKeyIDFromBytes(id, algorithm, 8, &kid)); // length 8 is valid
    QELKeyObject *found = nullptr;
    return qelKeyDBFindKeyByIDLocal(db, &kid, true, true, &found) == QELError_NoErr ? found : nullptr;
}

QELKeyObject *addSignature(const u8 *packet, std::size_t length, QELKeyDB *db,
                           QELKeyObject *parent, QELStatus *outStatus)
{
    if (parent == nullptr)
        return nullptr;
    if (QELKeyObject *same = qelKeyObjFindChildPacket(parent, packet, length)) {
        if (qelKeyObjIsDeleted(same)) {
            same->flags &= ~QELKeyObjFlag_Deleted;
            unlinkChild(same);
            qelKeyObjLinkChild(same, parent);
            QELSigInfo *si = qelKeyObjSigInfo(same);
            bool onChain = false;
            if (si->signer != nullptr)
                for (QELKeyObject *s = qelKeyObjKeyInfo(si->signer)->firstSig; s && !onChain;
                     s = qelKeyObjSigInfo(s)->nextBySigner)
                    onChain = s == same;
            if (!onChain)
                pushSigner(same);
        }
        return same;
    }
    QELSigPacketInfo p;
    // A signature whose MPI bit count does not fit its top octet is kept (as
    // checked and not valid) so that a commit writes it back unchanged.
    const QELStatus parsed = qelSigPacketParse(packet, length, false, QELSigWant_All, &p);
    if (parsed != QELError_NoErr && parsed != QELError_SigPacketBadMPI)
        return nullptr;
    u8 issuer[8];
    std::memcpy(issuer, p.keyID, 8);
    u8 subject[8] = {};
    bool haveSubject = false, distPoint = false;
    u8 algorithm = qelKeyIDNormaliseAlgorithm(p.algorithm);
    if (p.isX509) {
        algorithm = 128;
        u8 certIssuer[8];
        if (qelKeySigX509IDs(db, packet, length, &distPoint, certIssuer, subject) == QELError_NoErr) {
            std::memcpy(issuer, certIssuer, 8);
            haveSubject = true;
        }
    }
    QELMemPool mark = db->objectPool;
    auto fail = [&]() -> QELKeyObject * {
        *outStatus = QELError_OutOfMemory;
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    };
    // Most signatures are self-signatures: try the key above first.
    QELKeyObject *signer = nullptr;
    QELKeyObject *top = qelKeyObjTopKey(parent);
    if (top != nullptr && qelKeyObjIsLive(top) && !p.isX509) {
        QELKeyInfo *ti = qelKeyObjKeyInfo(top);
        if (std::memcmp(ti->keyID, issuer, 8) == 0 && qelKeyIDNormaliseAlgorithm(ti->algorithm) == algorithm)
            signer = top;
    }
    if (signer == nullptr)
        signer = lookupForBuild(db, algorithm, issuer);
    if (signer == nullptr) {
        signer = newPlaceholder(db, algorithm, issuer, p.isX509 ? QELKeyObjFlag_X509Name : 0);
        if (signer == nullptr)
            return fail();
    } else if (qelKeyObjIsDeleted(signer)) {
        signer->flags = (signer->flags & ~QELKeyObjFlag_Deleted) | QELKeyObjFlag_Placeholder;
    }
    QELKeyObject *sig = qelKeyObjAlloc(db, sizeof(QELSigInfo));
    if (sig == nullptr)
        return fail();
    sig->flags = QELKeyObjFlag_Signature;
    QELSigInfo *si = qelKeyObjSigInfo(sig);
    si->signer = signer;
    si->flags = (p.hashedLength != 5 ? QELSigInfo_NotV3Block : 0) |
                (p.exportable ? QELSigInfo_Exportable : 0) | (p.revocable ? QELSigInfo_Revocable : 0) |
                (p.hasRegExp ? QELSigInfo_RegExp : 0) | (p.isX509 ? QELSigInfo_X509 : 0) |
                (distPoint ? QELSigInfo_DistPoint : 0) | (p.primaryUserID ? QELSigInfo_Primary : 0);
    si->creation = p.creation;
    si->expiration = p.expiration;
    si->type = p.type;
    si->version = p.version;
    si->hashAlgorithm = p.hashAlgorithm;
    si->trustDepth = p.trustLevel;
    si->trustAmount = p.trustAmount;
    // An RSA signature under a one-octet old header is kept under a
    // two-octet one, as the ring writers of old versions did.
    bool widen = p.algorithm == 1 && (packet[0] & 0xC3) == 0x80;
    bool stored;
    if (widen) {
        auto body = bodyOf(packet, length);
        u8 tmp[256 + 3] = {0x89, 0, u8(body.size())};
        std::memcpy(tmp + 3, body.data(), body.size());
        stored = storePacket(db, sig, tmp, 3 + body.size());
    } else {
        stored = storePacket(db, sig, packet, length);
    }
    if (!stored) {
        qelMemPoolRelease(&db->objectPool, &mark);
        return fail();
    }
    qelKeyObjLinkChild(sig, parent);
    pushSigner(sig);
    if (parsed == QELError_SigPacketBadMPI)
        si->state = QELSigState_Checked;

    if (p.isX509 && haveSubject) {
        top = qelKeyObjTopKey(sig);
        QELKeyObject *subjectKey = lookupForBuild(db, 128, subject);
        if (subjectKey == nullptr) {
            subjectKey = newPlaceholder(db, 128, subject, QELKeyObjFlag_X509Name);
            if (subjectKey == nullptr)
                return fail();
            qelKeyObjKeyInfo(subjectKey)->packet = sig;
        } else if (qelKeyObjIsX509NameEntry(subjectKey) && top != nullptr && subjectKey != top) {
            QELKeyInfo *pi = qelKeyObjKeyInfo(subjectKey);
            pi->packet = sig;
            if (pi->firstSig != nullptr) {
                QELKeyObject *last = nullptr;
                for (QELKeyObject *s = pi->firstSig; s; s = qelKeyObjSigInfo(s)->nextBySigner) {
                    qelKeyObjSigInfo(s)->signer = top;
                    last = s;
                }
                QELKeyInfo *ti = qelKeyObjKeyInfo(top);
                qelKeyObjSigInfo(last)->nextBySigner = ti->firstSig;
                ti->firstSig = pi->firstSig;
                pi->firstSig = nullptr;
            }
        }
    }
    return sig;
}

void fillKey(QELKeyObject *node, const QELKeyPacketInfo &p, bool secret)
{
    QELKeyInfo *ki = qelKeyObjKeyInfo(node);
    ki->digestByte = p.materialDigest[0];
    ki->creation = p.creation;
    ki->validityDays = p.validityDays;
    ki->bits = p.bits;
    ki->trust = 0;
    ki->infoFlags = (ki->infoFlags & ~(QELKeyInfo_V3 | QELKeyInfo_SecretInRing)) |
                    (p.oldFormat ? QELKeyInfo_V3 : 0) | (secret ? QELKeyInfo_SecretInRing : 0);
}

QELKeyObject *addKey(int tag, const u8 *packet, std::size_t length, QELKeyDB *db,
                     QELKeyObject *parent, bool versionMarking, QELStatus *outStatus)
{
    bool secret = tag == 5 || tag == 7;
    bool subkey = tag == 7 || tag == 14;
    if (subkey && parent == nullptr)
        return nullptr;
    QELKeyPacketInfo p;
    if (qelKeyPacketParse(db->context, packet, length, &p, secret) != QELError_NoErr)
        return nullptr;
    u8 alg = qelKeyIDNormaliseAlgorithm(p.algorithm);
    QELMemPool mark = db->objectPool;
    auto fail = [&]() -> QELKeyObject * {
        qelMemPoolRelease(&db->objectPool, &mark);
        *outStatus = QELError_OutOfMemory;
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    };
    QELKeyObject *node = lookupForBuild(db, alg, p.keyID);
    auto fill = [&](QELKeyObject *n) -> QELKeyObject * {
        QELRawPacket *raw = qelKeyDBNewRawPacket(db, packet, length);
        if (raw == nullptr)
            return fail();
        fillKey(n, p, secret);
        qelKeyObjKeyInfo(n)->packet = raw;
        return n;
    };
    if (node == nullptr) {
        node = qelKeyObjAlloc(db, sizeof(QELKeyInfo));
        if (node == nullptr)
            return fail();
        node->flags = subkey ? QELKeyObjFlag_SubKey : QELKeyObjFlag_Key;
        QELKeyInfo *ki = qelKeyObjKeyInfo(node);
        ki->algorithm = p.algorithm;
        std::memcpy(ki->keyID, p.keyID, 8);
        if (fill(node) == nullptr)
            return nullptr;
        if (subkey)
            qelKeyObjLinkChild(node, parent);
        else
            qelKeyDBAppendKey(db, node);
        if (qelKeyIDTreeInsert(node, db) != QELError_NoErr)
            return fail();
        return node;
    }
    QELKeyInfo *ki = qelKeyObjKeyInfo(node);
    if (qelKeyObjIsPlaceholder(node)) {
        if (qelKeyObjIsX509NameEntry(node))
            return nullptr; // a name entry never becomes a key
        if (fill(node) == nullptr)
            return nullptr;
        if (subkey && qelKeyObjType(node) == QELObjectType_Key) {
            qelKeyDBUnlinkKey(db, node);
            node->flags = (node->flags & ~QELKeyObjFlag_Key) | QELKeyObjFlag_SubKey;
            qelKeyObjLinkChild(node, parent);
        }
        node->flags &= ~QELKeyObjFlag_Placeholder;
        if (ki->algorithm == 1 && p.algorithm == 3)
            ki->algorithm = 3;
        return node;
    }
    bool nodeIsKey = qelKeyObjType(node) == QELObjectType_Key;
    if (nodeIsKey == subkey || qelKeyObjSamePacket(node, packet, length)) {
        node->flags &= ~QELKeyObjFlag_Deleted;
        return node;
    }
    if (qelKeyObjIsDeleted(node)) {
        node->flags &= ~QELKeyObjFlag_Deleted;
        return fill(node);
    }
    std::size_t storedLength = 0;
    const u8 *stored = qelKeyObjRawPacket(node, &storedLength);
    if (stored == nullptr)
        return node;
    int storedTag = qelPacketTag(stored[0]);
    if (storedTag == tag)
        return node;
    bool storedSecret = storedTag == 5 || storedTag == 7;
    bool v2 = false;
    if (secret && !storedSecret) {
        if (!qelKeyPacketSamePublic(stored, storedLength, packet, length, &v2))
            return node;
        QELRawPacket *raw = qelKeyDBNewRawPacket(db, packet, length);
        if (raw == nullptr)
            return fail();
        if (versionMarking && v2)
            ki->infoFlags |= QELKeyInfo_PublicV2;
        ki->packet = raw;
        ki->infoFlags |= QELKeyInfo_SecretInRing;
        return node;
    }
    if (!secret && storedSecret && qelKeyPacketSamePublic(packet, length, stored, storedLength, &v2) &&
        versionMarking && v2)
        ki->infoFlags |= QELKeyInfo_PublicV2;
    return node;
}

QELKeyObject *addChild(int tag, const u8 *packet, std::size_t length, QELKeyDB *db,
                       QELKeyObject *parent, QELStatus *outStatus)
{
    if (parent == nullptr || qelKeyObjType(parent) != QELObjectType_Key)
        return nullptr;
    bool userID = tag == 13 || tag == 17;
    if (QELKeyObject *same = qelKeyObjFindChildPacket(parent, packet, length)) {
        if (qelKeyObjIsDeleted(same)) {
            same->flags &= ~QELKeyObjFlag_Deleted;
            if (userID) {
                unlinkChild(same);
                qelKeyObjLinkChild(same, parent);
            }
        }
        return same;
    }
    QELMemPool mark = db->objectPool;
    int type = userID ? QELObjectType_UserID : tag == 60 ? QELObjectType_CRL : QELObjectType_Other;
    QELKeyObject *node = qelKeyObjAlloc(db, infoSizeOfType(type));
    if (node == nullptr || !storePacket(db, node, packet, length)) {
        qelMemPoolRelease(&db->objectPool, &mark);
        *outStatus = QELError_OutOfMemory;
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    }
    // The type bits decide where the node links, so they come first.
    node->flags = userID ? QELKeyObjFlag_UserID : tag == 60 ? QELKeyObjFlag_CRL : 0;
    qelKeyObjLinkChild(node, parent);
    if (userID) {
        QELUserIDInfo *ui = qelKeyObjUserIDInfo(node);
        ui->validity = 253;
        ui->ownerTrust = 253;
        if (tag == 17)
            ui->flags |= 0x80;
    } else if (tag == 60) {
        QELCRLInfo *ci = qelKeyObjCRLInfo(node);
        u8 version = 0, type60 = 0;
        u32 thisUpdate = 0, nextUpdate = 0;
        if (qelCRLPacketParse(db->context, packet, length, &version, &type60, &thisUpdate,
                              &nextUpdate, nullptr, nullptr) != QELError_NoErr)
            thisUpdate = nextUpdate = 0;
        ci->version = version;
        ci->thisUpdate = thisUpdate;
        ci->nextUpdate = nextUpdate;
        ci->flags = (type60 == 1 || type60 == 2 ? 0x80 : 0) | (type60 == 2 ? 0x40 : 0);
    }
    return node;
}

} // namespace

QELKeyObject *qelKeyDBAddPacket(const u8 *packet, std::size_t length, QELKeyDB *db,
                                QELKeyObject *parent, bool versionMarking, QELStatus *outStatus)
{
    QELStatus ignored = 0;
    if (outStatus == nullptr)
        outStatus = &ignored;
    if (packet == nullptr || length == 0 || qelPacketHeaderSize(packet, length) > length)
        return nullptr;
    int tag = qelPacketTag(packet[0]);
    switch (tag) {
    case 2: return addSignature(packet, length, db, parent, outStatus);
    case 5: case 6: case 7: case 14: return addKey(tag, packet, length, db, parent, versionMarking, outStatus);
    case -1: return nullptr;
    default: return addChild(tag, packet, length, db, parent, outStatus);
    }
}

void qelKeyObjMergeState(QELKeyObject *source, QELKeyObject *target)
{
    auto larger = [](u8 a, u8 b) { return a > b ? a : b; };
    switch (qelKeyObjType(target)) {
    case QELObjectType_UserID: {
        QELUserIDInfo *s = qelKeyObjUserIDInfo(source), *t = qelKeyObjUserIDInfo(target);
        u8 low = larger(s->nameTrust & 3, t->nameTrust & 3);
        t->nameTrust = u8(((s->nameTrust | t->nameTrust) & 0xC0) | low);
        auto mergeUndefined = [](u8 src, u8 tgt) -> u8 {
            if (tgt == 253) return src;
            if (src == 253) return tgt;
            return src > tgt ? src : tgt;
        };
        t->validity = mergeUndefined(s->validity, t->validity);
        t->ownerTrust = mergeUndefined(s->ownerTrust, t->ownerTrust);
        t->confidence = s->confidence > t->confidence ? s->confidence : t->confidence;
        break;
    }
    case QELObjectType_CRL:
        qelKeyObjCRLInfo(target)->state = larger(qelKeyObjCRLInfo(source)->state, qelKeyObjCRLInfo(target)->state);
        break;
    case QELObjectType_Other:
        qelKeyObjOtherInfo(target)->trust = larger(qelKeyObjOtherInfo(source)->trust, qelKeyObjOtherInfo(target)->trust);
        break;
    case QELObjectType_Signature: {
        QELSigInfo *s = qelKeyObjSigInfo(source), *t = qelKeyObjSigInfo(target);
        QELKeyObject *top = qelKeyObjTopKey(target);
        if ((s->state & QELSigState_Valid) && !(t->state & QELSigState_Valid) &&
            (t->flags & QELSigInfo_Primary) && top != nullptr && t->signer == top)
            for (QELKeyObject *c = top->firstChild; c; c = c->next)
                if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_UserID)
                    qelKeyObjUserIDInfo(c)->nameTrust &= u8(~0x40);
        t->state = larger(s->state, t->state);
        break;
    }
    default: {
        QELKeyInfo *s = qelKeyObjKeyInfo(source), *t = qelKeyObjKeyInfo(target);
        t->trust = larger(s->trust, t->trust);
        t->validityDays = s->validityDays > t->validityDays ? s->validityDays : t->validityDays;
        if (s->infoFlags & QELKeyInfo_OnToken) {
            t->infoFlags |= QELKeyInfo_OnToken;
            t->tokenSlot = s->tokenSlot;
        }
        break;
    }
    }
}

// ---- rebuild from the service's key tree ----------------------------------------------------------

namespace {

struct TreeReader {
    const std::uint64_t *words;
    std::size_t count;
    std::size_t pos = 0;
    bool next(std::uint64_t &out)
    {
        if (pos >= count)
            return false;
        out = words[pos++];
        return true;
    }
};

constexpr int kMaxTreeDepth = 3; // key, child, grandchild

QELStatus mergeEntries(QELKeyDB *db, QELKeyObject *parent, TreeReader &r, std::uint64_t entries,
                       bool allNew, bool refresh, int depth)
{
    if (depth >= kMaxTreeDepth)
        return QELError_BadPacketFormat;
    QELKeyObject *previous = nullptr;
    for (std::uint64_t e = 0; e < entries; ++e) {
        std::uint64_t ref = 0, flagWord = 0;
        if (!r.next(ref) || !r.next(flagWord))
            return QELError_BadPacketFormat;
        u32 flags = u32(flagWord);
        QELKeyObject *node = nullptr;
        void *found = nullptr;
        if (!allNew && qelAVLFind(db->objectIDMap, std::int64_t(ref), &found) == QELError_NoErr)
            node = static_cast<QELKeyObject *>(found);
        if (node != nullptr) {
            // A node met again under itself would make a cycle.
            for (auto *a = parent; a != nullptr; a = isDB(a->parent) ? nullptr : static_cast<QELKeyObject *>(a->parent))
                if (a == node)
                    return QELError_BadPacketFormat;
            if (node == previous)
                return QELError_BadPacketFormat;
            if (parent != nullptr) {
                if (isDB(node->parent))
                    qelKeyDBUnlinkKey(db, node);
                else
                    unlinkChild(node);
                QELKeyObject **slot = previous ? &previous->next : &parent->firstChild;
                node->next = *slot;
                *slot = node;
                node->parent = parent;
            }
            node->flags = (node->flags & 0x1FFFFFC0u) | (flags & 0xE000003Fu);
            int t = qelKeyObjType(node);
            if (t == QELObjectType_Key || t == QELObjectType_SubKey)
                qelKeyObjMarkNotLoaded(node, refresh);
        } else {
            node = qelKeyObjAlloc(db, infoSizeOfType(typeOfFlags(flags)));
            if (node == nullptr)
                return QELError_OutOfMemory;
            node->flags = flags | QELKeyObjFlag_NotLoaded;
            node->info = reinterpret_cast<void *>(static_cast<std::uintptr_t>(ref));
            if (typeOfFlags(flags) == QELObjectType_Key && parent == nullptr)
                qelKeyDBAppendKey(db, node);
            else if (parent != nullptr)
                qelKeyObjLinkChild(node, parent);
            else
                return QELError_BadPacketFormat;
            QELStatus s = qelAVLInsert(db->objectIDMap, std::int64_t(ref), node);
            if (s != QELError_NoErr)
                return s == QELError_ItemAlreadyExists ? QELError_BadPacketFormat : QELError_OutOfMemory;
        }
        previous = node;
        if (typeOfFlags(flags) != QELObjectType_Signature) {
            std::uint64_t children = 0;
            if (!r.next(children) || children > (r.count - r.pos) / 2)
                return QELError_BadPacketFormat;
            QELStatus s = mergeEntries(db, node, r, children, allNew, refresh, depth + 1);
            if (s != QELError_NoErr)
                return s;
        }
    }
    return QELError_NoErr;
}

} // namespace

QELStatus qelKeyDBMergeKeyTree(QELKeyDB *db, QELKeyObject *parent, const std::uint64_t *array,
                               std::size_t words, std::uint32_t count, bool allNew, bool refresh)
{
    if (!qelKeyDBIsValid(db) || (array == nullptr && words != 0))
        return QELError_BadParams;
    if (db->objectIDMap == nullptr)
        return QELError_BadParams;
    TreeReader r{array, words};
    int depth = parent == nullptr ? 0 : qelKeyObjType(parent) == QELObjectType_Key ? 1 : 2;
    QELStatus s = mergeEntries(db, parent, r, count, allNew, refresh, depth);
    qelKeyDBMarkChanged(db, true);
    return s;
}

// ---- packets and their parts -------------------------------------------------------------

namespace {

using qel::ByteCursor;

// The body of an object's cached packet; empty without one.
std::span<const u8> packetBody(QELKeyObject *o)
{
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(o, &length);
    if (packet == nullptr)
        return {};
    return bodyOf(packet, length);
}

bool isKeyOrSubKey(const QELKeyObject *o)
{
    return qelKeyObjIsValid(o) &&
           (qelKeyObjType(o) == QELObjectType_Key || qelKeyObjType(o) == QELObjectType_SubKey);
}

// Offset of the algorithm octet in a key body: after version and creation,
// and the validity days of versions 2 and 3.
std::size_t algorithmOffset(u8 version) { return version == 4 ? 5 : 7; }

} // namespace

u8 qelKeyObjKeyVersion(QELKeyObject *key)
{
    std::span<const u8> body = packetBody(key);
    return body.empty() ? 0 : body[0];
}

const u8 *qelKeyObjKeyMaterial(QELKeyObject *key, std::size_t *outLength)
{
    *outLength = 0;
    std::span<const u8> body = packetBody(key);
    if (body.empty())
        return nullptr;
    std::size_t at = algorithmOffset(body[0]) + 1;
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
    std::span<const u8> body = bodyOf(packet, length);
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
    if (!qelKeyObjIsSignature(sig) || !(qelKeyObjSigInfo(sig)->flags & QELSigInfo_X509))
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
        if (isKeyOrSubKey(key))
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
    PublicForm form(key);
    if (form.bytes() == nullptr)
        return QELError_OutOfMemory;
    std::span<const u8> body = bodyOf(form.bytes(), form.length());
    qelKeyFingerprintV4(body.data(), body.size(), out);
    return 20;
}

QELStatus qelKeyObjFingerprintV3(QELKeyObject *key, u8 out[16])
{
    std::memset(out, 0, 16);
    std::size_t length = 0;
    const u8 *packet = isKeyOrSubKey(key) ? qelKeyObjRawPacket(key, &length) : nullptr;
    if (packet == nullptr)
        return QELError_OutOfMemory;
    return qelKeyFingerprintV3(qelKeyObjContext(key), packet, length, out);
}

QELStatus qelKeyObjMaterialFingerprint(QELKeyObject *key, u8 out[20])
{
    std::memset(out, 0, 20);
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

// ---- usage and subkeys ------------------------------------------------------------------------

namespace {

u32 algorithmUsage(QELKeyObject *key)
{
    return qelPkAlgGetUsage(qelPkAlgFind(qelKeyObjKeyInfo(key)->algorithm));
}

// A binding by the subkey's own key counts only once it has been checked and
// found valid; an unchecked one is checked now.
bool bindingIsGood(QELKeyObject *subKey)
{
    QELKeyObject *key = qelKeyObjTopKey(subKey);
    for (QELKeyObject *c = subKey->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_Signature ||
            qelSigType(c) != 0x18 || qelSigSigner(c) != key || key == nullptr)
            continue;
        if (!qelSigIsChecked(c))
            static_cast<void>(qelKeySigCheckOne(qelKeyObjKeyDB(c), c, nullptr, false, false, nullptr,
                                                nullptr, nullptr)); // the state tells
        if (qelSigIsChecked(c) && qelSigIsValid(c))
            return true;
    }
    return false;
}

} // namespace

bool qelKeyObjIsUsableSubKey(QELKeyObject *subKey, bool checkTime, bool allowRevoked)
{
    if (!qelKeyObjIsSubKey(subKey))
        return false;
    QELKeyInfo *info = qelKeyObjKeyInfo(subKey);
    if (!allowRevoked && (info->trust & 0x10))
        return false;
    if (checkTime) {
        u64 now = qelTimeDateNow();
        u32 expiration = qelKeyObjExpiration(subKey);
        if ((info->trust & 0x40) || (expiration != 0 && expiration < now) ||
            now + 86400 < info->creation)
            return false;
    }
    return bindingIsGood(subKey);
}

QELKeyObject *qelKeyObjNewestUsableSubKey(QELKeyObject *key, QELKeySet *set)
{
    if (!qelKeyObjIsKey(key))
        return nullptr;
    QELKeyObject *best = nullptr;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_SubKey)
            continue;
        if (set != nullptr && !qelKeySetHas(c, set))
            continue;
        if (!qelKeyObjIsUsableSubKey(c, true, false))
            continue;
        if (best == nullptr || qelKeyObjCreation(c) >= qelKeyObjCreation(best))
            best = c;
    }
    return best;
}

u32 qelKeyObjUsage(QELKeyObject *key, bool checkTime, bool allowRevoked)
{
    if (!isKeyOrSubKey(key))
        return 0;
    u32 usage = algorithmUsage(key);
    if (qelKeyObjType(key) == QELObjectType_SubKey)
        usage &= QELPkUsage_Encrypt;
    bool first = true;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_SubKey ||
            !qelKeyObjIsUsableSubKey(c, checkTime, allowRevoked))
            continue;
        // The key's own encrypt bit stops counting once a subkey serves.
        usage = first ? (usage & QELPkUsage_Sign) | algorithmUsage(c) : usage | algorithmUsage(c);
        first = false;
    }
    return usage;
}

// ---- operation objects -------------------------------------------------------------------------

namespace {

u32 roleBit(int role) { return role == QELKeyRole_Sign ? QELPkUsage_Sign : QELPkUsage_Encrypt; }

// The key part an operation object of this role is made from; null with the
// status when the role cannot be served.
QELKeyObject *choosePart(QELKeyObject *object, int role, bool secret, QELStatus *outStatus)
{
    *outStatus = QELError_NoErr;
    if (role == QELKeyRole_Own)
        return object;
    if (role != QELKeyRole_Sign && role != QELKeyRole_Encrypt) {
        *outStatus = QELError_AlgorithmCannotDoThis;
        return nullptr;
    }
    bool isKey = qelKeyObjType(object) == QELObjectType_Key;
    QELKeyObject *part = object;
    // Only a subkey that can serve the role counts: a newer signing subkey
    // must not hide the encryption subkey.
    QELKeyObject *sub = isKey ? qelKeyObjNewestUsableSubKeyFor(object, nullptr, role) : nullptr;
    if (!isKey || sub != nullptr) {
        bool ownCan = (algorithmUsage(object) & roleBit(role)) != 0;
        if (secret) {
            if (!ownCan && role == QELKeyRole_Encrypt && isKey)
                part = sub;
            else if (!ownCan && role == QELKeyRole_Sign && !isKey)
                part = qelKeyObjTopKey(object);
        } else {
            if (role == QELKeyRole_Encrypt && isKey)
                part = sub;
            else if (role == QELKeyRole_Sign && !isKey && !ownCan)
                part = qelKeyObjTopKey(object);
        }
    }
    if (part == nullptr || !(algorithmUsage(part) & roleBit(role))) {
        *outStatus = QELError_AlgorithmCannotDoThis;
        return nullptr;
    }
    return part;
}

// Algorithm octet and material of a part's stored packet.
bool storedMaterial(QELKeyObject *part, u8 *outAlgorithm, std::span<const u8> *outMaterial)
{
    std::span<const u8> body = packetBody(part);
    if (body.empty())
        return false;
    ByteCursor c(body);
    u8 version = 0, algorithm = 0;
    if (!c.u8(version) || !c.skip(algorithmOffset(version) - 1) || !c.u8(algorithm))
        return false;
    *outAlgorithm = algorithm;
    *outMaterial = body.subspan(body.size() - c.remaining());
    return true;
}

template <typename Ops>
Ops *makeOps(QELKeyObject *object, int role, bool secret)
{
    QELKeyDB *db = isKeyOrSubKey(object) ? qelKeyObjKeyDB(object) : nullptr;
    if (db == nullptr)
        return nullptr;
    QELStatus status = QELError_NoErr;
    QELKeyObject *part = choosePart(object, role, secret, &status);
    u8 algorithm = 0;
    std::span<const u8> material;
    if (part != nullptr && !storedMaterial(part, &algorithm, &material))
        status = QELError_OutOfMemory;
    if (status != QELError_NoErr) {
        qelKeyDBSetLastError(db, status);
        return nullptr;
    }
    QELKeyInfo *info = qelKeyObjKeyInfo(part);
    Ops *ops = nullptr;
    if constexpr (std::is_same_v<Ops, QELSecretKeyObject>) {
        QELTokenDevice *token = nullptr;
        if ((info->infoFlags & 0x18) == QELKeyInfo_OnToken)
            token = static_cast<QELTokenDevice *>(qelTokenFindByKeyID(info->keyID));
        ops = qelSecretKeyObjectFromData(db->context, algorithm, material.data(), material.size(),
                                         (info->infoFlags & QELKeyInfo_V3) ? 1 : 0, token, &status);
    } else {
        ops = qelPublicKeyObjectFromData(db->context, algorithm, material.data(), material.size(),
                                         &status);
    }
    if (ops == nullptr) {
        qelKeyDBSetLastError(db, status < 0 ? status : QELError_OutOfMemory);
        return nullptr;
    }
    ops->setKeyID(ops, info->keyID);
    ops->owner = part;
    return ops;
}

template <typename Ops>
void releaseOps(Ops *ops)
{
    if (ops != nullptr)
        static_cast<void>(ops->destroy(ops)); // nothing to report on release
}

template <typename Ops>
using OwnedOps = std::unique_ptr<Ops, decltype(&releaseOps<Ops>)>;

template <typename Ops>
OwnedOps<Ops> ownOps(Ops *ops)
{
    return OwnedOps<Ops>(ops, &releaseOps<Ops>);
}

} // namespace

QELSecretKeyObject *qelKeyObjSecretOps(QELKeyObject *object, int role)
{
    return makeOps<QELSecretKeyObject>(object, role, true);
}

QELPublicKeyObject *qelKeyObjPublicOps(QELKeyObject *object, int role)
{
    return makeOps<QELPublicKeyObject>(object, role, false);
}

// ---- the key operations --------------------------------------------------------------------------

namespace {

// Objects of a database mirrored from the service run their operations there.
bool isRemote(QELKeyObject *o)
{
    QELKeyDB *db = qelKeyObjIsValid(o) ? qelKeyObjKeyDB(o) : nullptr;
    return db != nullptr && qelKeyDBIsRemote(db);
}

// The descriptor an id names; for 0 or an unknown id a blank one whose
// digest is the given value itself.
const QELHashDescriptor *hashFor(std::int32_t algorithm, std::size_t length,
                                 QELHashDescriptor &blank)
{
    const QELHashDescriptor *d = algorithm != 0 ? qelHashDescriptorFind(algorithm) : nullptr;
    if (d != nullptr)
        return d;
    blank = QELHashDescriptor{};
    blank.digestSize = length;
    return &blank;
}

// Offers the secret to another part of the key so that the cache holds it for
// that part too; whether it unlocks does not matter.
void offerSecret(QELKeyObject *object, int role, const u8 *usedKeyID, const void *passphrase,
                 std::size_t length, u8 isPasskey, u32 period, u8 selector)
{
    QELKeyDB *db = qelKeyObjKeyDB(object);
    QELStatus saved = db ? qelKeyDBGetLastError(db) : QELError_NoErr;
    auto other = ownOps(qelKeyObjSecretOps(object, role));
    if (other && std::memcmp(other->keyID, usedKeyID, 8) != 0)
        static_cast<void>(qelPassCacheUnlockKey(other.get(), passphrase, length, isPasskey, period,
                                                selector)); // a courtesy: its answer is ignored
    if (db)
        qelKeyDBSetLastError(db, saved);
}

void clearOutput(u8 **outBuffer, std::size_t *outLength)
{
    if (outBuffer) *outBuffer = nullptr;
    if (outLength) *outLength = 0;
}

// The opening both secret operations share: outputs cleared, the role's
// secret part taken (`unusable` when there is none) and unlocked through the
// passphrase cache, and, with a cache period, the secret offered to the key's
// other role so that the cache holds it for that part too. Null with the
// status in *outStatus.
OwnedOps<QELSecretKeyObject> openSecretRole(QELKeyObject *key, int role, QELStatus unusable,
                                            const void *passphrase, std::size_t length, u8 isPasskey,
                                            u32 cachePeriod, u8 selector, u8 **outBuffer,
                                            std::size_t *outLength, QELStatus *outStatus)
{
    clearOutput(outBuffer, outLength);
    auto none = ownOps<QELSecretKeyObject>(nullptr);
    if (outBuffer == nullptr || outLength == nullptr) {
        *outStatus = QELError_BadParams;
        return none;
    }
    auto ops = ownOps(qelKeyObjSecretOps(key, role));
    if (!ops) {
        *outStatus = unusable;
        return none;
    }
    *outStatus = qelPassCacheUnlockKey(ops.get(), passphrase, length, isPasskey, cachePeriod, selector);
    if (*outStatus != QELError_NoErr)
        return none;
    if (cachePeriod == 0)
        return ops;
    // Decrypting with a subkey offers the secret to the key's signing part;
    // signing with a version 4 key offers it to the key's encryption part.
    if (role == QELKeyRole_Encrypt && qelKeyObjType(ops->owner) == QELObjectType_SubKey)
        offerSecret(qelKeyObjTopKey(ops->owner), QELKeyRole_Sign, ops->keyID, passphrase, length, isPasskey,
                    cachePeriod, selector);
    else if (role == QELKeyRole_Sign && qelKeyObjKeyVersion(key) > 3)
        offerSecret(key, QELKeyRole_Encrypt, ops->keyID, passphrase, length, isPasskey, cachePeriod, selector);
    return ops;
}

void freeOutput(QELContext *context, u8 *block)
{
    if (block != nullptr)
        static_cast<void>(qelContextMemFree(context, block)); // a block of this context
}

} // namespace

QELStatus qelKeyObjLockingInfoLocal(QELKeyObject *key, u8 *outNeedsPassphrase, u8 *outTokenProtected,
                                    u32 *outCipher, u32 *outKeyBits)
{
    if (outNeedsPassphrase) *outNeedsPassphrase = 0;
    if (outTokenProtected) *outTokenProtected = 0;
    if (outCipher) *outCipher = 0;
    if (outKeyBits) *outKeyBits = 0;
    auto ops = ownOps(qelKeyObjSecretOps(key, QELKeyRole_Own));
    if (!ops)
        return QELError_UnknownProperty;
    u8 locked = ops->isLocked(ops.get()) ? 1 : 0;
    if (outNeedsPassphrase) *outNeedsPassphrase = locked;
    if (locked) {
        u32 cipher = 0;
        u64 keySize = 0;
        QELStatus s = ops->protectionCipher(ops.get(), &cipher, &keySize);
        if (s < 0)
            return s;
        if (outCipher) *outCipher = cipher;
        if (outKeyBits) *outKeyBits = u32(keySize * 8);
        u32 s2k = 0;
        if (ops->protectionS2KType(ops.get(), &s2k) >= 0 && s2k == 5 && outTokenProtected)
            *outTokenProtected = 1;
        return QELError_NoErr;
    }
    // The cipher a new protection would use: the first preferred one that
    // exists, else the context's choice.
    const QELCipherDescriptor *d = nullptr;
    u32 length = 0;
    QELStatus s = QELError_NoErr;
    const u8 *prefs = qelKeyObjFindSelfSigSubpacket(key, 11, 0, &length, nullptr, nullptr, nullptr,
                                                    nullptr, &s);
    for (u32 i = 0; prefs != nullptr && i < length && d == nullptr; ++i)
        d = qelCipherDescriptorFind(prefs[i]);
    if (d == nullptr)
        d = qelPreferredCipherDescriptorOrCAST5(qelContextGetSettings(qelKeyObjContext(key)));
    if (d != nullptr) {
        if (outCipher) *outCipher = u32(d->algorithm);
        if (outKeyBits) *outKeyBits = u32(d->keySize * 8);
    }
    return QELError_NoErr;
}

QELStatus qelKeyObjLockingInfo(QELKeyObject *key, u8 *outNeedsPassphrase, u8 *outTokenProtected,
                               u32 *outCipher, u32 *outKeyBits)
{
    if (isRemote(key))
        return qelKeyObjLockingInfoDispatch(key, outNeedsPassphrase, outTokenProtected, outCipher, outKeyBits);
    return qelKeyObjLockingInfoLocal(key, outNeedsPassphrase, outTokenProtected, outCipher, outKeyBits);
}

bool qelKeyObjUnlockLocal(QELKeyObject *key, const void *passphrase, std::size_t length, u8 isPasskey,
                          u32 cachePeriod, u8 selector)
{
    auto ops = ownOps(qelKeyObjSecretOps(key, QELKeyRole_Own));
    return ops && qelPassCacheUnlockKey(ops.get(), passphrase, length, isPasskey, cachePeriod,
                                        selector) == QELError_NoErr;
}

bool qelKeyObjUnlock(QELKeyObject *key, const void *passphrase, std::size_t length, u8 isPasskey,
                     u32 cachePeriod, u8 selector)
{
    if (isRemote(key))
        return qelKeyObjUnlockDispatch(key, passphrase, length, isPasskey, cachePeriod, selector) ==
               QELError_NoErr;
    return qelKeyObjUnlockLocal(key, passphrase, length, isPasskey, cachePeriod, selector);
}

QELStatus qelKeyObjDecryptLocal(QELKeyObject *key, const void *passphrase, std::size_t length,
                                u8 isPasskey, u32 cachePeriod, u8 selector, const u8 *in,
                                std::size_t inLength, std::int32_t format, u8 **outBuffer,
                                std::size_t *outLength)
{
    QELStatus s = QELError_NoErr;
    auto ops = openSecretRole(key, QELKeyRole_Encrypt, QELError_KeyUnusableForEncryption, passphrase, length,
                              isPasskey, cachePeriod, selector, outBuffer, outLength, &s);
    if (!ops)
        return s;
    std::int32_t size = ops->maxPlaintextSize(ops.get());
    if (size < 0)
        return size;
    QELContext *context = qelKeyObjContext(key);
    // RFC 4880 output carries the algorithm octet and checksum beside the key.
    auto *out = static_cast<u8 *>(qelContextMemAlloc(context, std::size_t(size) + 2, 1));
    if (out == nullptr)
        return QELError_OutOfMemory;
    std::size_t produced = 0;
    s = ops->decrypt(ops.get(), in, inLength, out, &produced, passphrase, length, format);
    if (s < 0) {
        freeOutput(context, out);
        return s;
    }
    *outBuffer = out;
    *outLength = produced;
    return QELError_NoErr;
}

QELStatus qelKeyObjDecrypt(QELKeyObject *key, const void *passphrase, std::size_t length, u8 isPasskey,
                           u32 cachePeriod, u8 selector, const u8 *in, std::size_t inLength,
                           std::int32_t format, u8 **outBuffer, std::size_t *outLength)
{
    if (isRemote(key))
        return qelKeyObjDecryptDispatch(key, passphrase, length, isPasskey, cachePeriod, selector, in, inLength,
                                        format, outBuffer, outLength);
    return qelKeyObjDecryptLocal(key, passphrase, length, isPasskey, cachePeriod, selector, in,
                                 inLength, format, outBuffer, outLength);
}

QELStatus qelKeyObjSignLocal(QELKeyObject *key, const void *passphrase, std::size_t length,
                             u8 isPasskey, u32 cachePeriod, u8 selector, std::int32_t hashAlgorithm,
                             const u8 *hash, std::size_t hashLength, std::int32_t format,
                             u8 **outBuffer, std::size_t *outLength)
{
    QELStatus s = QELError_NoErr;
    auto ops = openSecretRole(key, QELKeyRole_Sign, QELError_KeyUnusableForSignature, passphrase, length,
                              isPasskey, cachePeriod, selector, outBuffer, outLength, &s);
    if (!ops)
        return s;
    std::int32_t size = ops->maxSignatureSize(ops.get(), format);
    if (size < 0)
        return size;
    QELContext *context = qelKeyObjContext(key);
    auto *out = static_cast<u8 *>(qelContextMemAlloc(context, std::size_t(size), 0));
    if (out == nullptr)
        return QELError_OutOfMemory;
    QELHashDescriptor blank;
    std::size_t produced = 0;
    s = ops->sign(ops.get(), hashFor(hashAlgorithm, hashLength, blank), hash, hashLength, out,
                  &produced, qelContextGetRandomContext(context), format);
    if (s < 0) {
        freeOutput(context, out);
        return s;
    }
    *outBuffer = out;
    *outLength = produced;
    return QELError_NoErr;
}

QELStatus qelKeyObjSign(QELKeyObject *key, const void *passphrase, std::size_t length, u8 isPasskey,
                        u32 cachePeriod, u8 selector, std::int32_t hashAlgorithm, const u8 *hash,
                        std::size_t hashLength, std::int32_t format, u8 **outBuffer,
                        std::size_t *outLength)
{
    if (isRemote(key))
        return qelKeyObjSignDispatch(key, passphrase, length, isPasskey, cachePeriod, selector, hashAlgorithm,
                                     hash, hashLength, format, outBuffer, outLength);
    return qelKeyObjSignLocal(key, passphrase, length, isPasskey, cachePeriod, selector, hashAlgorithm,
                              hash, hashLength, format, outBuffer, outLength);
}

QELStatus qelKeyObjOpSizesLocal(QELKeyObject *key, std::int32_t *outEncrypted,
                                std::int32_t *outPlaintext, std::int32_t *outSignature,
                                std::int32_t format)
{
    if (outEncrypted) *outEncrypted = 0;
    if (outPlaintext) *outPlaintext = 0;
    if (outSignature) *outSignature = 0;
    QELKeyDB *db = isKeyOrSubKey(key) ? qelKeyObjKeyDB(key) : nullptr;
    if (db == nullptr)
        return QELError_BadParams;
    QELStatus saved = qelKeyDBGetLastError(db);
    auto keep = [](std::int32_t *out, std::int32_t value) {
        if (out != nullptr && value > 0)
            *out = value;
    };
    if (auto enc = ownOps(qelKeyObjPublicOps(key, QELKeyRole_Encrypt))) {
        keep(outEncrypted, enc->maxEncryptedSize(enc.get(), format));
        keep(outPlaintext, enc->maxPlaintextSize(enc.get()));
    }
    if (auto ver = ownOps(qelKeyObjPublicOps(key, QELKeyRole_Sign)))
        keep(outSignature, ver->maxSignatureSize(ver.get(), format));
    // A missing part is an answer here, not a failure to remember.
    qelKeyDBSetLastError(db, saved);
    return QELError_NoErr;
}

QELStatus qelKeyObjOpSizes(QELKeyObject *key, std::int32_t *outEncrypted, std::int32_t *outPlaintext,
                           std::int32_t *outSignature, std::int32_t format)
{
    if (isRemote(key))
        return qelKeyObjOpSizesDispatch(key, outEncrypted, outPlaintext, outSignature, format);
    return qelKeyObjOpSizesLocal(key, outEncrypted, outPlaintext, outSignature, format);
}

QELStatus qelKeyObjVerifyLocal(QELKeyObject *key, const u8 *signature, std::size_t signatureLength,
                               std::int32_t hashAlgorithm, const u8 *hash, std::size_t hashLength,
                               std::int32_t format)
{
    auto ops = ownOps(qelKeyObjPublicOps(key, QELKeyRole_Sign));
    if (!ops)
        return QELError_KeyUnusableForSignature;
    QELHashDescriptor blank;
    return ops->verify(ops.get(), signature, signatureLength, hashFor(hashAlgorithm, hashLength, blank),
                       hash, hashLength, format);
}

QELStatus qelKeyObjVerify(QELKeyObject *key, const u8 *signature, std::size_t signatureLength,
                          std::int32_t hashAlgorithm, const u8 *hash, std::size_t hashLength,
                          std::int32_t format)
{
    if (isRemote(key))
        return qelKeyObjVerifyDispatch(key, signature, signatureLength, hashAlgorithm, hash, hashLength, format);
    return qelKeyObjVerifyLocal(key, signature, signatureLength, hashAlgorithm, hash, hashLength,
                                format);
}

QELStatus qelKeyObjEncryptLocal(QELKeyObject *key, const u8 *in, std::size_t length,
                                std::int32_t format, u8 **outBuffer, std::size_t *outLength)
{
    clearOutput(outBuffer, outLength);
    if (outBuffer == nullptr || outLength == nullptr)
        return QELError_BadParams;
    auto ops = ownOps(qelKeyObjPublicOps(key, QELKeyRole_Encrypt));
    if (!ops)
        return QELError_KeyUnusableForEncryption;
    std::int32_t size = ops->maxEncryptedSize(ops.get(), format);
    if (size < 0)
        return size;
    QELContext *context = qelKeyObjContext(key);
    auto *out = static_cast<u8 *>(qelContextMemAlloc(context, std::size_t(size), 0));
    if (out == nullptr)
        return QELError_OutOfMemory;
    std::size_t produced = 0;
    QELStatus s = ops->encrypt(ops.get(), in, length, out, &produced,
                               qelContextGetRandomContext(context), format);
    if (s < 0) {
        freeOutput(context, out);
        return s;
    }
    *outBuffer = out;
    *outLength = produced;
    return QELError_NoErr;
}

QELStatus qelKeyObjEncrypt(QELKeyObject *key, const u8 *in, std::size_t length, std::int32_t format,
                           u8 **outBuffer, std::size_t *outLength)
{
    if (isRemote(key))
        return qelKeyObjEncryptDispatch(key, in, length, format, outBuffer, outLength);
    return qelKeyObjEncryptLocal(key, in, length, format, outBuffer, outLength);
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
    if (qelKeyObjIsLive(signer) && isKeyOrSubKey(signer) && !qelKeyObjIsX509NameEntry(signer)) {
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

// ---- values from self-signatures --------------------------------------------------------------

namespace {

bool isLiveSignature(QELKeyObject *o)
{
    return qelKeyObjIsLive(o) && qelKeyObjType(o) == QELObjectType_Signature;
}

bool isRevocable(QELKeyObject *sig) { return (qelKeyObjSigInfo(sig)->flags & QELSigInfo_Revocable) != 0; }

// One search over self-signatures: the running count, the first find, and
// whether to stop at it.
struct SelfSigSearch {
    u32 type;
    u32 index;
    bool counting;
    u32 count = 0;
    const u8 *found = nullptr;
    u32 *outLength = nullptr;
    u8 *outCritical = nullptr;
    u8 *outFound = nullptr;
    u32 *outCreation = nullptr;
    QELStatus *outStatus = nullptr;

    bool done() const { return found != nullptr && !counting; }
    void search(QELKeyObject *sig)
    {
        if (sig == nullptr || done())
            return;
        QELKeyObject *holder = nullptr;
        bool before = found != nullptr;
        const u8 *d = qelSigNthSubpacket(sig, type, index, before ? nullptr : outLength,
                                         before ? nullptr : outCritical, before ? nullptr : outFound,
                                         before ? nullptr : outCreation, &count, &holder,
                                         before ? nullptr : outStatus);
        if (!before && d != nullptr)
            found = d;
    }
};

} // namespace

bool qelSigIsSelfCertBy(QELKeyObject *sig, QELKeyObject *key)
{
    return key != nullptr && isLiveSignature(sig) && (qelSigType(sig) & 0xF0) == 0x10 &&
           qelSigSigner(sig) == key;
}

QELKeyObject *qelUserIDNewestSelfCert(QELKeyObject *object, QELKeyObject *key)
{
    QELKeyObject *best = nullptr;
    for (QELKeyObject *c = object ? object->firstChild : nullptr; c != nullptr; c = c->next) {
        if (!qelSigIsSelfCertBy(c, key) || !qelSigIsValid(c) || qelSigIsRevoked(c))
            continue;
        if (best == nullptr || qelSigCreation(c) > qelSigCreation(best))
            best = c;
    }
    return best;
}

const u8 *qelSigNthSubpacket(QELKeyObject *sig, u32 type, u32 index, u32 *outLength, u8 *outCritical,
                             u8 *outFound, u32 *outCreation, u32 *runningCount,
                             QELKeyObject **outHolder, QELStatus *outStatus)
{
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(sig, &length);
    if (packet == nullptr) {
        if (outStatus) {
            QELKeyDB *db = qelKeyObjKeyDB(sig);
            *outStatus = db ? qelKeyDBGetLastError(db) : QELError_BadParams;
        }
        return nullptr;
    }
    u32 here = 0;
    static_cast<void>(qelSigSubpacketFind(packet, length, type, 0, nullptr, nullptr, nullptr, nullptr,
                                          &here)); // counting only
    const u8 *result = nullptr;
    u32 c = *runningCount;
    if (c <= index && index - c < here) {
        u32 creation = 0;
        result = qelSigSubpacketFind(packet, length, type, index - c, outLength, outCritical, outFound,
                                     &creation, nullptr);
        if (outCreation) *outCreation = creation;
        if (outHolder) *outHolder = sig;
    }
    *runningCount = c + here;
    return result;
}

const u8 *qelKeyObjFindSelfSigSubpacket(QELKeyObject *object, u32 type, u32 index, u32 *outLength,
                                        u8 *outCritical, u8 *outFound, u32 *outCreation,
                                        u32 *outCount, QELStatus *outStatus)
{
    if (outLength) *outLength = 0;
    if (outCritical) *outCritical = 0;
    if (outFound) *outFound = 0;
    if (outCreation) *outCreation = 0;
    if (outCount) *outCount = 0;
    if (outStatus) *outStatus = QELError_NoErr;
    if (!qelKeyObjIsValid(object))
        return nullptr;
    QELKeyObject *key = qelKeyObjTopKey(object);
    if (key == nullptr)
        return nullptr;
    SelfSigSearch s{type, index, outCount != nullptr};
    s.outLength = outLength;
    s.outCritical = outCritical;
    s.outFound = outFound;
    s.outCreation = outCreation;
    s.outStatus = outStatus;
    auto fixed = [&](QELKeyObject *sig) {
        if (qelSigIsSelfCertBy(sig, key) && qelSigIsValid(sig) && !isRevocable(sig))
            s.search(sig);
    };
    auto newest = [&](QELKeyObject *o) {
        QELKeyObject *sig = qelUserIDNewestSelfCert(o, key);
        if (sig != nullptr && isRevocable(sig))
            s.search(sig);
    };
    // Non-revocable self-signatures first, in child order.
    for (QELKeyObject *c = object->firstChild; c != nullptr && !s.done(); c = c->next) {
        if (!qelKeyObjIsLive(c))
            continue;
        if (qelKeyObjType(c) == QELObjectType_Signature) {
            fixed(c);
            continue;
        }
        for (QELKeyObject *g = c->firstChild; g != nullptr && !s.done(); g = g->next)
            if (isLiveSignature(g))
                fixed(g);
    }
    // Then the newest revocable ones: the subkey's or the primary user ID's,
    // every other user ID's, and the key's direct one.
    QELKeyObject *first = qelKeyObjType(object) == QELObjectType_SubKey
                              ? object
                              : qelKeyObjPrimaryUserID(key, 0);
    newest(first);
    for (QELKeyObject *u = key->firstChild; u != nullptr && !s.done(); u = u->next)
        if (u != first && qelKeyObjIsLive(u) && qelKeyObjType(u) == QELObjectType_UserID)
            newest(u);
    if (!s.done())
        newest(key);
    if (outCount)
        *outCount = s.count;
    return s.found;
}

QELRegex *qelSigRegex(QELKeyObject *sig)
{
    if (!qelKeyObjIsSignature(sig))
        return nullptr;
    QELSigInfo *si = qelKeyObjSigInfo(sig);
    if (si->regex != nullptr)
        return static_cast<QELRegex *>(si->regex);
    if (!(si->flags & QELSigInfo_RegExp))
        return nullptr;
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(sig, &length);
    u32 dataLength = 0;
    const u8 *data = packet != nullptr
                         ? qelSigSubpacketFind(packet, length, 6, 0, &dataLength, nullptr, nullptr, nullptr, nullptr)
                         : nullptr;
    if (data == nullptr)
        return nullptr;
    // The expression is stored with its terminating zero. A zero inside it
    // would cut the expression short and widen or narrow the restriction at
    // random: such an expression counts as one that does not compile.
    if (dataLength != 0 && data[dataLength - 1] == 0)
        --dataLength;
    if (std::memchr(data, 0, dataLength) != nullptr)
        return nullptr;
    QELContext *context = qelKeyObjContext(sig);
    auto *text = static_cast<char *>(qelContextMemAlloc(context, dataLength + std::size_t{1}, 0));
    if (text == nullptr)
        return nullptr;
    std::memcpy(text, data, dataLength);
    text[dataLength] = 0;
    QELRegex *regex = nullptr;
    QELStatus s = qelRegexCompile(context, text, &regex);
    static_cast<void>(qelContextMemFree(context, text)); // our own copy
    if (s != QELError_NoErr)
        return nullptr;
    si->regex = regex;
    return regex;
}

void qelKeyDBFreeSigRegexes(QELKeyDB *db)
{
    // Deleted objects keep their info blocks, so every signature is visited.
    auto release = [db](QELKeyObject *o) {
        if (qelKeyObjType(o) != QELObjectType_Signature || (o->flags & QELKeyObjFlag_NotLoaded))
            return;
        auto *si = static_cast<QELSigInfo *>(o->info);
        if (si->regex != nullptr)
            static_cast<void>(qelContextMemFree(db->context, si->regex)); // cached by qelSigRegex
        si->regex = nullptr;
    };
    for (QELKeyObject *k = db->firstKey; k; k = k->next)
        for (QELKeyObject *c = k->firstChild; c; c = c->next) {
            release(c);
            for (QELKeyObject *g = c->firstChild; g; g = g->next)
                release(g);
        }
}

// ---- primary user IDs ------------------------------------------------------------------------------

namespace {

constexpr u8 kPrimaryMark = 0x40;

int selectorOf(QELKeyObject *userID)
{
    if (!qelUserIDIsAttribute(userID))
        return 0;
    u8 type = 0;
    return qelUserIDAttribute(userID, 0, &type, nullptr, nullptr) != nullptr ? type : 0x100;
}

bool isUserIDOfKind(QELKeyObject *o, int selector)
{
    return qelKeyObjIsLive(o) && qelKeyObjType(o) == QELObjectType_UserID &&
           (selector == -1 || selectorOf(o) == selector);
}

} // namespace

QELKeyObject *qelKeyObjPrimaryUserID(QELKeyObject *key, int selector)
{
    if (!qelKeyObjIsKey(key))
        return nullptr;
    QELKeyObject *first = nullptr, *flagged = nullptr, *flaggedCert = nullptr;
    for (QELKeyObject *u = key->firstChild; u != nullptr; u = u->next) {
        if (!isUserIDOfKind(u, selector))
            continue;
        if (qelKeyObjUserIDInfo(u)->nameTrust & kPrimaryMark)
            return u;
        if (first == nullptr)
            first = u;
        QELKeyObject *cert = qelUserIDNewestSelfCert(u, key);
        if (cert == nullptr || !(qelKeyObjSigInfo(cert)->flags & QELSigInfo_Primary))
            continue;
        if (flagged == nullptr ||
            (qelSigCreation(cert) > qelSigCreation(flaggedCert) && isRevocable(flaggedCert))) {
            flagged = u;
            flaggedCert = cert;
        }
    }
    return flagged ? flagged : first;
}

void qelKeyObjClearPrimaryMarks(QELKeyObject *key, int selector)
{
    if (!qelKeyObjIsKey(key))
        return;
    for (QELKeyObject *u = key->firstChild; u != nullptr; u = u->next)
        if (isUserIDOfKind(u, selector))
            qelKeyObjUserIDInfo(u)->nameTrust &= u8(~kPrimaryMark);
}

void qelUserIDSetPrimaryMark(QELKeyObject *userID)
{
    if (!qelKeyObjIsUserID(userID))
        return;
    qelKeyObjClearPrimaryMarks(qelKeyObjTopKey(userID), selectorOf(userID));
    qelKeyObjUserIDInfo(userID)->nameTrust |= kPrimaryMark;
}

void qelKeyMoveUserIDFirst(QELKeyObject *userID, QELKeyObject *key)
{
    if (!qelKeyObjIsUserID(userID) || !qelKeyObjIsKey(key) || userID->parent != key)
        return;
    // The first place after the key's direct signatures.
    QELKeyObject **slot = &key->firstChild;
    while (*slot != nullptr && qelKeyObjType(*slot) == QELObjectType_Signature)
        slot = &(*slot)->next;
    if (*slot == userID)
        return;
    QELKeyObject **at = &key->firstChild;
    while (*at != nullptr && *at != userID)
        at = &(*at)->next;
    if (*at == nullptr)
        return;
    *at = userID->next;
    // Unlinking may have moved the slot's target when the user ID sat before it.
    slot = &key->firstChild;
    while (*slot != nullptr && qelKeyObjType(*slot) == QELObjectType_Signature)
        slot = &(*slot)->next;
    userID->next = *slot;
    *slot = userID;
}

// ---- subkeys by role ------------------------------------------------------------------------------

QELKeyObject *qelKeyObjNewestUsableSubKeyFor(QELKeyObject *key, QELKeySet *set, int role)
{
    if (!qelKeyObjIsKey(key) || (role != QELKeyRole_Sign && role != QELKeyRole_Encrypt))
        return nullptr;
    const u32 flagsForRole = role == QELKeyRole_Sign ? 0x02 : 0x0C;
    QELKeyObject *best = nullptr;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_SubKey ||
            (set != nullptr && !qelKeySetHas(c, set)) || !(algorithmUsage(c) & roleBit(role)) ||
            !qelKeyObjIsUsableSubKey(c, true, false))
            continue;
        QELKeyObject *binding = qelUserIDNewestSelfCert(c, key);
        std::size_t length = 0;
        const u8 *packet = binding ? qelKeyObjRawPacket(binding, &length) : nullptr;
        u32 flagsLength = 0;
        const u8 *flags = packet ? qelSigSubpacketFind(packet, length, 27, 0, &flagsLength, nullptr,
                                                       nullptr, nullptr, nullptr)
                                 : nullptr;
        if (flags != nullptr && flagsLength >= 1 && !(flags[0] & flagsForRole))
            continue;
        if (best == nullptr || qelKeyObjCreation(c) >= qelKeyObjCreation(best))
            best = c;
    }
    return best;
}

// ---- designated revokers --------------------------------------------------------------------------

namespace {

QELKeyObject *nthRevocationEntry(QELKeyObject *key, u32 type, u32 index, u8 *outAlgorithm,
                                 QELKeyID *outID, u8 *outClass, u32 *outCount, QELStatus *outStatus)
{
    if (outAlgorithm) *outAlgorithm = 0;
    if (outID) *outID = QELKeyID{};
    if (outClass) *outClass = 0;
    if (outCount) *outCount = 0;
    if (outStatus) *outStatus = QELError_NoErr;
    QELStatus status = QELError_NoErr;
    u32 length = 0, count = 0;
    const u8 *d = qelKeyObjIsValid(key)
                      ? qelKeyObjFindSelfSigSubpacket(key, type, index, &length, nullptr, nullptr,
                                                      nullptr, &count, &status)
                      : nullptr;
    if (outCount) *outCount = count;
    if (d == nullptr || length < 22) {
        if (outStatus) *outStatus = status != QELError_NoErr ? status : QELError_ItemNotFound;
        return nullptr;
    }
    u8 algorithm = qelKeyIDNormaliseAlgorithm(d[1]);
    if (outClass) *outClass = d[0];
    if (outAlgorithm) *outAlgorithm = algorithm;
    if (outID)
        static_cast<void>(qelKeyIDFromBytes(d + 14, algorithm, 8, outID)); // length 8 is valid
    QELKeyDB *db = qelKeyObjKeyDB(key);
    QELKeyObject *found = db ? qelKeyDBFindKeyByRawID(db, algorithm, d + 14) : nullptr;
    if (found == nullptr || qelKeyObjIsPlaceholder(found))
        return nullptr;
    u8 fpr[20];
    if (qelKeyObjFingerprint(found, fpr) != 20 || std::memcmp(fpr, d + 2, 20) != 0)
        return nullptr;
    return found;
}

} // namespace

QELKeyObject *qelKeyObjNthRevoker(QELKeyObject *key, u32 index, u8 *outAlgorithm, QELKeyID *outID,
                                  u8 *outClass, u32 *outCount, QELStatus *outStatus)
{
    return nthRevocationEntry(key, 12, index, outAlgorithm, outID, outClass, outCount, outStatus);
}

QELKeyObject *qelKeyObjNthSubpacket10Key(QELKeyObject *key, u32 index, u8 *outAlgorithm,
                                         QELKeyID *outID, u8 *outClass, u32 *outCount,
                                         QELStatus *outStatus)
{
    return nthRevocationEntry(key, 10, index, outAlgorithm, outID, outClass, outCount, outStatus);
}

bool qelKeyIsDesignatedRevoker(QELKeyObject *key, QELKeyObject *candidate)
{
    if (!qelKeyObjIsValid(key) || !qelKeyObjIsValid(candidate))
        return false;
    bool placeholder = qelKeyObjIsPlaceholder(candidate);
    u32 count = 1;
    for (u32 i = 0; i < count; ++i) {
        u8 algorithm = 0, cls = 0;
        QELKeyID id{};
        QELStatus status = QELError_NoErr;
        QELKeyObject *entry = qelKeyObjNthRevoker(key, i, &algorithm, &id, &cls, &count, &status);
        if (status != QELError_NoErr)
            return false;
        if (!(cls & 0x80))
            continue;
        if (placeholder) {
            QELKeyInfo *ci = qelKeyObjKeyInfo(candidate);
            if (qelKeyIDNormaliseAlgorithm(ci->algorithm) == algorithm &&
                std::memcmp(ci->keyID, qelKeyIDAtBytes(&id), 8) == 0)
                return true;
        } else if (entry == candidate) {
            return true;
        }
    }
    return false;
}

bool qelSigIsEffectiveRevocation(QELKeyObject *sig)
{
    if (!isLiveSignature(sig))
        return false;
    auto *parent = static_cast<QELKeyObject *>(sig->parent);
    if (!isKeyOrSubKey(parent))
        return false;
    QELKeyObject *key = qelKeyObjTopKey(sig);
    bool onKey = parent == key;
    if (qelSigType(sig) != (onKey ? 0x20 : 0x28))
        return false;
    bool checked = qelSigIsChecked(sig);
    if (checked && !qelSigIsValid(sig))
        return false;
    if (!checked && !(onKey && qelKeyObjIsRevoked(key)))
        return false;
    QELKeyObject *signer = qelSigSigner(sig);
    return signer != nullptr && (signer == key || qelKeyIsDesignatedRevoker(key, signer));
}

bool qelKeyObjRevokedByRevoker(QELKeyObject *object, QELKeyObject **outRevoker, u8 *outAlgorithm,
                               QELKeyID *outID, QELStatus *outStatus)
{
    if (outRevoker) *outRevoker = nullptr;
    if (outAlgorithm) *outAlgorithm = 0;
    if (outID) *outID = QELKeyID{};
    if (outStatus) *outStatus = QELError_NoErr;
    if (!isKeyOrSubKey(object))
        return false;
    QELKeyObject *key = qelKeyObjTopKey(object);
    u8 wanted = object == key ? 0x20 : 0x28;
    for (QELKeyObject *c = object->firstChild; c != nullptr; c = c->next) {
        if (!isLiveSignature(c) || qelSigType(c) != wanted)
            continue;
        QELKeyObject *signer = qelSigSigner(c);
        if (signer == nullptr || signer == key || !qelKeyIsDesignatedRevoker(key, signer))
            continue;
        if (outRevoker && !qelKeyObjIsPlaceholder(signer))
            *outRevoker = signer;
        qelKeyObjGetKeyID(signer, outAlgorithm, outID);
        return true;
    }
    return false;
}

QELStatus qelKeyGetRevoker(QELKeyObject *key, std::uint32_t index, QELKeyObject **outKey,
                           QELKeyID *outID)
{
    QEL_ENTER(outKey, outID);
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    QELStatus status = QELError_NoErr;
    QELKeyObject *revoker = qelKeyObjNthRevoker(key, index, nullptr, outID, nullptr, nullptr, &status);
    if (outKey) *outKey = revoker;
    return status;
}

QELStatus qelKeyCountRevokers(QELKeyObject *key, std::uint32_t *outCount)
{
    QEL_ENTER(outCount);
    if (!qelKeyObjIsKey(key) || outCount == nullptr)
        return QELError_BadParams;
    QELStatus status = QELError_NoErr;
    static_cast<void>(qelKeyObjNthRevoker(key, 0, nullptr, nullptr, nullptr, outCount, &status));
    return status == QELError_ItemNotFound ? QELError_NoErr : status;
}

// ---- revocation lists under a key -------------------------------------------------------------------

const u8 *qelCRLDistPoint(QELKeyObject *crl, std::size_t *outLength)
{
    *outLength = 0;
    std::size_t length = 0;
    const u8 *packet = qelKeyObjIsValid(crl) && qelKeyObjType(crl) == QELObjectType_CRL
                           ? qelKeyObjRawPacket(crl, &length)
                           : nullptr;
    return packet ? qelCRLPacketDistPoint(packet, length, outLength) : nullptr;
}

namespace {

bool isLiveValidCRL(QELKeyObject *o)
{
    return qelKeyObjIsLive(o) && qelKeyObjType(o) == QELObjectType_CRL &&
           (qelKeyObjCRLInfo(o)->state & QELSigState_Valid);
}

} // namespace

bool qelCRLIsCurrent(QELKeyObject *crl, u32 time)
{
    if (!qelKeyObjIsValid(crl) || qelKeyObjType(crl) != QELObjectType_CRL)
        return false;
    QELCRLInfo *info = qelKeyObjCRLInfo(crl);
    if (time != 0 && info->nextUpdate < time)
        return false;
    std::size_t pointLength = 0;
    const u8 *point = qelCRLDistPoint(crl, &pointLength);
    auto *parent = static_cast<QELKeyObject *>(crl->parent);
    if (!qelKeyObjIsValid(parent))
        return true;
    for (QELKeyObject *s = parent->firstChild; s != nullptr; s = s->next) {
        if (s == crl || !isLiveValidCRL(s) || qelKeyObjCRLInfo(s)->thisUpdate <= info->thisUpdate)
            continue;
        std::size_t otherLength = 0;
        const u8 *other = qelCRLDistPoint(s, &otherLength);
        if ((point == nullptr) != (other == nullptr))
            continue;
        if (point == nullptr ||
            (otherLength == pointLength && std::memcmp(point, other, pointLength) == 0))
            return false;
    }
    return true;
}

QELKeyObject *qelKeyObjNthCurrentCRL(QELKeyObject *key, u32 index, u32 *outCount)
{
    if (outCount) *outCount = 0;
    if (!qelKeyObjIsValid(key))
        return nullptr;
    QELKeyObject *found = nullptr;
    u32 n = 0;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
        if (!isLiveValidCRL(c) || !qelCRLIsCurrent(c, 0))
            continue;
        if (n++ == index)
            found = c;
    }
    if (outCount) *outCount = n;
    return found;
}

QELKeyObject *qelKeyObjEarliestCRL(QELKeyObject *key, bool byNextUpdate)
{
    QELKeyObject *best = nullptr;
    auto when = [byNextUpdate](QELKeyObject *c) {
        QELCRLInfo *i = qelKeyObjCRLInfo(c);
        return byNextUpdate ? i->nextUpdate : i->thisUpdate;
    };
    for (QELKeyObject *c = qelKeyObjIsValid(key) ? key->firstChild : nullptr; c != nullptr; c = c->next)
        if (isLiveValidCRL(c) && qelCRLIsCurrent(c, 0) && (best == nullptr || when(c) < when(best)))
            best = c;
    return best;
}

namespace {

// Distinct DER items gathered into one block and a length array.
class PointCollector {
public:
    explicit PointCollector(QELMemoryMgr *mgr) : mgr_(mgr) {}
    ~PointCollector()
    {
        if (data_ != nullptr)
            static_cast<void>(qelMemFree(data_)); // dropped: the caller did not take it
        if (lengths_ != nullptr)
            static_cast<void>(qelMemFree(lengths_)); // likewise
    }
    PointCollector(const PointCollector &) = delete;
    PointCollector &operator=(const PointCollector &) = delete;
    QELStatus add(const u8 *item, std::size_t length)
    {
        std::size_t at = 0;
        for (u32 i = 0; i < count_; ++i) {
            if (lengths_[i] == length && std::memcmp(data_ + at, item, length) == 0)
                return QELError_NoErr;
            at += std::size_t(lengths_[i]);
        }
        void *data = data_, *lengths = lengths_;
        QELStatus s = qelMemRealloc(mgr_, &data, size_ + length, 0);
        if (s != QELError_NoErr)
            return s;
        data_ = static_cast<u8 *>(data);
        s = qelMemRealloc(mgr_, &lengths, (count_ + 1) * sizeof(u64), 0);
        if (s != QELError_NoErr)
            return s;
        lengths_ = static_cast<u64 *>(lengths);
        std::memcpy(data_ + size_, item, length);
        lengths_[count_++] = length;
        size_ += length;
        return QELError_NoErr;
    }
    void release(u32 *outCount, u8 **outData, u64 **outLengths)
    {
        *outCount = count_;
        *outData = data_;
        *outLengths = lengths_;
        data_ = nullptr;
        lengths_ = nullptr;
    }

private:
    QELMemoryMgr *mgr_;
    u8 *data_ = nullptr;
    u64 *lengths_ = nullptr;
    std::size_t size_ = 0;
    u32 count_ = 0;
};

} // namespace

QELStatus qelKeyCollectCRLDistributionPoints(QELMemoryMgr *mgr, QELKeyObject *key, u32 *outCount, u8 **outData,
                                             u64 **outLengths)
{
    if (outCount) *outCount = 0;
    if (outData) *outData = nullptr;
    if (outLengths) *outLengths = nullptr;
    if (!qelKeyObjIsKey(key) || outCount == nullptr || outData == nullptr || outLengths == nullptr)
        return QELError_BadParams;
    PointCollector points(mgr);
    u32 total = 0;
    static_cast<void>(qelKeyObjNthCurrentCRL(key, 0, &total)); // counting only
    for (u32 i = 0; i < total; ++i) {
        std::size_t length = 0;
        const u8 *point = qelCRLDistPoint(qelKeyObjNthCurrentCRL(key, i, nullptr), &length);
        if (point != nullptr && length != 0) {
            QELStatus s = points.add(point, length);
            if (s != QELError_NoErr)
                return s;
        }
    }
    QELContext *context = qelKeyObjContext(key);
    for (QELKeyObject *sig = qelKeyObjKeyInfo(key)->firstSig; sig != nullptr;
         sig = qelKeyObjSigInfo(sig)->nextBySigner) {
        const u32 wanted = QELSigInfo_X509 | QELSigInfo_DistPoint;
        if (!isLiveSignature(sig) || (qelKeyObjSigInfo(sig)->flags & wanted) != wanted)
            continue;
        std::size_t derLength = 0;
        const u8 *der = qelKeyObjSigX509Data(sig, &derLength);
        std::size_t length = 0;
        // A certificate that cannot be read names no point.
        if (der == nullptr || qelX509GetCRLDistributionPoint(context, der, derLength, nullptr, &length) < 0 ||
            length == 0)
            continue;
        QELMemoryMgr *scratchMgr = qelContextMemoryMgr(context);
        qel::WipedBuffer<u8> point;
        if (!point.reset(scratchMgr, length))
            return QELError_OutOfMemory;
        if (qelX509GetCRLDistributionPoint(context, der, derLength, point.get(), &length) < 0)
            continue;
        QELStatus s = points.add(point.get(), length);
        if (s != QELError_NoErr)
            return s;
    }
    points.release(outCount, outData, outLengths);
    return QELError_NoErr;
}
