// The key-ID index: every key, subkey, placeholder and X.509 name entry of a
// database by its eight and its low four ID bytes, and the lookups over it.
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
        return qelKeysService().keyDBFindKeyByID(db, id, placeholders, deleted, out);
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

QELKeyObject *qelKeyDBNextWithID(QELKeyDB *db, const u8 id[8], QELKeyObject *after)
{
    QELKeyObject *last = findLast(db->idIndex, idKey(id));
    if (last == nullptr || after == last)
        return nullptr;
    // The newest key's link closes the chain onto the oldest.
    return after == nullptr ? qelKeyObjKeyInfo(last)->sameID : qelKeyObjKeyInfo(after)->sameID;
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

