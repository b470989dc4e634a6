// Key lists: a sorted array of the live member keys of a set, in one of ten
// orders, sorted again whenever the database changes.
#include "qelKeyListInternal.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyIterInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySetInternal.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kGate = "qelKeyList";

bool validOrder(std::int32_t order) { return order >= 1 && order <= 10; }

int lowerOf(unsigned char c) { return std::tolower(c); }
bool isAlnum(unsigned char c) { return std::isalnum(c) != 0; }

int compareNamesInternal(const char *a, const char *b)
{
    auto p = reinterpret_cast<const unsigned char *>(a);
    auto q = reinterpret_cast<const unsigned char *>(b);
    for (;;) {
        while (*p != 0 && lowerOf(*p) == lowerOf(*q)) {
            ++p;
            ++q;
        }
        if (*p != 0)
            while (*p != 0 && !isAlnum(*p))
                ++p;
        while (*q != 0 && !isAlnum(*q))
            ++q;
        if (*p == 0)
            return -lowerOf(*q);
        int d = lowerOf(*p) - lowerOf(*q);
        if (d != 0)
            return d;
        ++p;
        ++q;
    }
}

// The primary user ID of a key: the first live user ID marked primary, else
// the first live user ID; its text in a 256-byte buffer (first 255 bytes).
QELKeyObject *primaryUserID(QELKeyObject *key)
{
    QELKeyObject *first = nullptr;
    for (QELKeyObject *c = key->firstChild; c; c = c->next) {
        if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_UserID || qelUserIDIsAttribute(c))
            continue;
        if (qelKeyObjUserIDInfo(c)->nameTrust & 0x40)
            return c;
        if (first == nullptr)
            first = c;
    }
    return first;
}

void nameOf(QELKeyObject *key, char out[256])
{
    out[0] = 0;
    QELKeyObject *u = primaryUserID(key);
    if (u == nullptr)
        return;
    std::size_t length = 0;
    const std::uint8_t *packet = qelKeyObjRawPacket(u, &length);
    if (packet == nullptr)
        return;
    std::size_t h = qelPacketHeaderSize(packet, length);
    if (h > length)
        h = length;
    std::size_t n = length - h < 255 ? length - h : 255;
    std::memcpy(out, packet + h, n);
    out[n] = 0;
}

int cmpU(std::uint64_t a, std::uint64_t b) { return a < b ? -1 : a > b ? 1 : 0; }

int compareIDs(QELKeyObject *a, QELKeyObject *b, bool shortForm)
{
    QELKeyID x{}, y{};
    if (shortForm) {
        qelKeyObjGetShortKeyID(a, nullptr, &x);
        qelKeyObjGetShortKeyID(b, nullptr, &y);
    } else {
        qelKeyObjGetKeyID(a, nullptr, &x);
        qelKeyObjGetKeyID(b, nullptr, &y);
    }
    return qelKeyIDCompareInternal(x, y);
}

std::uint32_t encryptBits(QELKeyObject *key)
{
    QELKeyObject *sub = nullptr;
    if (qelKeyObjFirstSubKey(key, &sub) == QELError_NoErr)
        return qelKeyObjBits(sub);
    return qelKeyObjBits(key);
}

int forward(QELKeyObject *a, QELKeyObject *b, std::int32_t order)
{
    int r = 0;
    switch (order) {
    case 2: {
        char na[256], nb[256];
        nameOf(a, na);
        nameOf(b, nb);
        r = compareNamesInternal(na, nb);
        break;
    }
    case 3: return compareIDs(a, b, false);
    case 4: {
        QELKeyObject *ua = primaryUserID(a), *ub = primaryUserID(b);
        r = cmpU(ua ? qelKeyObjUserIDInfo(ua)->validity : 0, ub ? qelKeyObjUserIDInfo(ub)->validity : 0);
        break;
    }
    case 5: r = cmpU(qelKeyObjKeyInfo(a)->trust & 7, qelKeyObjKeyInfo(b)->trust & 7); break;
    case 6: r = cmpU(encryptBits(a), encryptBits(b)); break;
    case 7: r = cmpU(qelKeyObjBits(a), qelKeyObjBits(b)); break;
    case 8: r = cmpU(qelKeyObjCreation(a), qelKeyObjCreation(b)); break;
    case 9: {
        std::uint32_t ea = qelKeyObjExpiration(a), eb = qelKeyObjExpiration(b);
        if (ea == eb)
            return compareIDs(a, b, false);
        if (ea == 0) return 1;
        if (eb == 0) return -1;
        return ea < eb ? -1 : 1;
    }
    case 10: return compareIDs(a, b, true);
    default: return 0;
    }
    return r != 0 ? r : compareIDs(a, b, true);
}

thread_local std::int32_t gSortOrder = 1;
thread_local bool gSortReverse = false;

int sortCompare(const void *x, const void *y)
{
    auto a = *static_cast<QELKeyObject *const *>(x);
    auto b = *static_cast<QELKeyObject *const *>(y);
    int r = forward(a, b, gSortOrder);
    return gSortReverse ? -r : r;
}

void sortList(QELKeyList *list)
{
    if (list->order == 1 || list->count < 2)
        return;
    gSortOrder = list->order;
    gSortReverse = list->reverse != 0;
    std::qsort(list->keys, list->count, sizeof(QELKeyObject *), sortCompare);
}

void fill(QELKeyList *list)
{
    std::uint32_t n = 0;
    for (QELKeyObject *k = list->set->db->firstKey; k && n < list->count; k = k->next)
        if (qelKeyObjType(k) == QELObjectType_Key && qelKeySetHas(k, list->set))
            list->keys[n++] = k;
    list->count = n;
}

} // namespace

QELStatus qelKeyListResort(QELKeyList *list)
{
    if (list->set == nullptr)
        return QELError_BadParams;
    std::uint32_t n = qelKeySetCountInternal(list->set);
    void *keys = list->keys;
    QELStatus s = qelContextMemRealloc(list->set->db->context, &keys, (n ? n : 1) * sizeof(QELKeyObject *), 0);
    if (s != 0)
        return s;
    list->keys = static_cast<QELKeyObject **>(keys);
    list->count = n;
    fill(list);
    sortList(list);
    return QELError_NoErr;
}

void qelKeyListResortAll(QELKeySet *set)
{
    // A failed resize keeps the old contents; the list answers the failure
    // until a later re-sort succeeds.
    for (QELKeyList *l = set->lists; l; l = l->next)
        l->resortStatus = qelKeyListResort(l);
}

QELStatus qelKeyListCheck(QELKeyList *list)
{
    if (!qelKeyListIsValid(list) || list->set == nullptr)
        return QELError_BadParams;
    if (!qelKeyDBIsOpen(list->set->db))
        return QELError_NoKeyDB;
    if (list->resortStatus != QELError_NoErr)
        list->resortStatus = qelKeyListResort(list);
    return list->resortStatus;
}

void qelKeyListDetachAll(QELKeySet *set)
{
    for (QELKeyList *l = set->lists; l; l = l->next)
        l->set = nullptr;
    set->lists = nullptr;
}

bool qelKeyListIsValid(const void *list)
{
    return list != nullptr && *static_cast<const std::uint32_t *>(list) == QELKeyListMagic;
}

QELContext *qelKeyListContext(const QELKeyList *list)
{
    return qelKeyListIsValid(list) && list->set ? list->set->db->context : nullptr;
}

QELStatus qelKeyListNew(QELKeySet *set, std::int32_t order, std::uint8_t reverse, QELKeyList **outList)
{
    QEL_ENTER(outList);
    if (outList == nullptr || !qelKeySetIsValid(set) || !validOrder(order))
        return QELError_BadParams;
    if (!qelKeyDBIsOpen(set->db))
        return QELError_NoKeyDB;
    QELContext *context = set->db->context;
    auto *list = static_cast<QELKeyList *>(qelContextMemAlloc(context, sizeof(QELKeyList), QELMemFlag_Clear));
    if (list == nullptr)
        return QELError_OutOfMemory;
    list->count = qelKeySetCountInternal(set);
    list->keys = static_cast<QELKeyObject **>(
        qelContextMemAlloc(context, (list->count ? list->count : 1) * sizeof(QELKeyObject *), 0));
    if (list->keys == nullptr) {
        static_cast<void>(qelContextMemFree(context, list)); // ours
        return QELError_OutOfMemory;
    }
    list->magic = QELKeyListMagic;
    list->refCount = 1;
    list->set = set;
    list->order = order;
    list->reverse = reverse != 0;
    list->next = set->lists;
    if (set->lists)
        set->lists->prev = list;
    set->lists = list;
    qelKeySetAddRefInternal(set);
    qelKeyDBHold(set->db);
    fill(list);
    sortList(list);
    *outList = list;
    return QELError_NoErr;
}

QELStatus qelKeyListAddRef(QELKeyList *list)
{
    QEL_ENTER();
    if (!qelKeyListIsValid(list))
        return QELError_BadParams;
    ++list->refCount;
    return QELError_NoErr;
}

QELStatus qelKeyListReleaseInternal(QELKeyList *list)
{
    if (!qelKeyListIsValid(list))
        return QELError_BadParams;
    if (--list->refCount > 0)
        return QELError_NoErr;
    list->magic = ~QELKeyListMagic;
    QELKeySet *set = list->set;
    QELContext *context = set ? set->db->context : nullptr;
    if (set != nullptr) {
        if (list->prev) list->prev->next = list->next;
        else set->lists = list->next;
        if (list->next) list->next->prev = list->prev;
    }
    for (QELKeyIter *it = list->iters; it; it = it->next)
        it->list = nullptr;
    if (context != nullptr) {
        QELKeyDB *db = set->db;
        static_cast<void>(qelContextMemFree(context, list->keys)); // ours
        qelKeySetReleaseInternal(set, false);
        static_cast<void>(qelContextMemFree(context, list)); // ours
        qelKeyDBUnhold(db); // may free a closed database's record
    } else {
        // The set went with its database; the blocks are guarded ones.
        static_cast<void>(qelMemFree(list->keys));
        static_cast<void>(qelMemFree(list));
    }
    return QELError_NoErr;
}

QELStatus qelKeyListRelease(QELKeyList *list)
{
    QEL_ENTER();
    return qelKeyListReleaseInternal(list);
}

std::int32_t qelKeyListCompareKeys(QELKeyObject *a, QELKeyObject *b, std::int32_t order)
{
    if (qelAPIGate(kGate, __LINE__) != 0 || !qelKeyObjIsKey(a) || !qelKeyObjIsKey(b) ||
        !validOrder(order))
        return 0;
    return forward(a, b, order);
}

std::int32_t qelKeyListCompareNames(const char *a, const char *b)
{
    if (qelAPIGate(kGate, __LINE__) != 0 || a == nullptr || b == nullptr)
        return 0;
    return compareNamesInternal(a, b);
}
