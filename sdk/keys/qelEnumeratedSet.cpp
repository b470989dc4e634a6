// Enumerated key sets: explicit members in groups per key, with a key index
// sorted by key ID so that a key's membership is a binary search.
#include "qelEnumeratedSetInternal.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySetInternal.h"

#include <algorithm>
#include <vector>

namespace {

struct Entry {
    QELKeyObject *object;
    std::int32_t count; // -1: whole
};

struct EnumData {
    Entry *entries;
    std::uint32_t *keyIndex; // entry positions of the key entries, in key-ID order
    std::uint32_t keyCount;
    std::uint32_t entryCount;
};

// A decoded group of one key.
struct Sub {
    QELKeyObject *child;
    bool whole;
    std::vector<QELKeyObject *> grand;
};
struct Group {
    QELKeyObject *key;
    bool whole;
    std::vector<Sub> subs;
};

QELKeyID idOf(QELKeyObject *key)
{
    QELKeyID id{};
    qelKeyObjGetKeyID(key, nullptr, &id);
    return id;
}

bool idLess(QELKeyObject *a, QELKeyObject *b)
{
    return qelKeyIDCompareInternal(idOf(a), idOf(b)) < 0;
}

EnumData *dataOf(const QELKeySet *set) { return static_cast<EnumData *>(set->priv); }

// The key entry of a key, or null.
const Entry *findKeyEntry(const EnumData *d, QELKeyObject *key, std::uint32_t *outPos)
{
    QELKeyID id = idOf(key);
    std::uint32_t lo = 0, hi = d->keyCount;
    while (lo < hi) {
        std::uint32_t mid = lo + (hi - lo) / 2;
        int c = qelKeyIDCompareInternal(idOf(d->entries[d->keyIndex[mid]].object), id);
        if (c < 0) {
            lo = mid + 1;
        } else if (c > 0) {
            hi = mid;
        } else {
            // Equal IDs lie side by side: look both ways.
            for (std::uint32_t i = mid + 1; i-- > 0;) {
                if (qelKeyIDCompareInternal(idOf(d->entries[d->keyIndex[i]].object), id) != 0)
                    break;
                if (d->entries[d->keyIndex[i]].object == key) {
                    *outPos = d->keyIndex[i];
                    return &d->entries[*outPos];
                }
            }
            for (std::uint32_t i = mid + 1; i < d->keyCount; ++i) {
                if (qelKeyIDCompareInternal(idOf(d->entries[d->keyIndex[i]].object), id) != 0)
                    break;
                if (d->entries[d->keyIndex[i]].object == key) {
                    *outPos = d->keyIndex[i];
                    return &d->entries[*outPos];
                }
            }
            return nullptr;
        }
    }
    return nullptr;
}

bool enumIsMember(QELKeySet *set, QELKeyObject *o)
{
    const EnumData *d = dataOf(set);
    if (d == nullptr || qelKeyObjKeyDB(o) != set->db)
        return false;
    QELKeyObject *key = qelKeyObjTopKey(o);
    if (key == nullptr)
        return false;
    std::uint32_t pos = 0;
    const Entry *ke = findKeyEntry(d, key, &pos);
    if (ke == nullptr)
        return false;
    if (o == key || ke->count < 0)
        return true;
    std::uint32_t i = pos + 1;
    for (std::int32_t g = 0; g < ke->count && i < d->entryCount; ++g) {
        const Entry &sub = d->entries[i++];
        if (sub.object == o)
            return true;
        if (sub.count < 0) {
            if (sub.object == o->parent)
                return true;
            continue;
        }
        for (std::int32_t k = 0; k < sub.count && i < d->entryCount; ++k, ++i)
            if (d->entries[i].object == o)
                return true;
    }
    return false;
}

bool enumIsEmpty(QELKeySet *set) { return dataOf(set) == nullptr || dataOf(set)->keyCount == 0; }

void freeData(QELContext *context, EnumData *d)
{
    if (d == nullptr)
        return;
    if (d->entries) static_cast<void>(qelContextMemFree(context, d->entries)); // ours
    if (d->keyIndex) static_cast<void>(qelContextMemFree(context, d->keyIndex)); // ours
    static_cast<void>(qelContextMemFree(context, d)); // ours
}

void enumDestroy(QELKeySet *set, bool)
{
    freeData(set->db->context, dataOf(set));
    set->priv = nullptr;
}

std::vector<Group> decode(const EnumData *d)
{
    std::vector<Group> groups;
    if (d == nullptr)
        return groups;
    for (std::uint32_t k = 0; k < d->keyCount; ++k) {
        std::uint32_t i = d->keyIndex[k];
        const Entry &ke = d->entries[i++];
        Group g{ke.object, ke.count < 0, {}};
        for (std::int32_t s = 0; !g.whole && s < ke.count && i < d->entryCount; ++s) {
            const Entry &se = d->entries[i++];
            Sub sub{se.object, se.count < 0, {}};
            for (std::int32_t m = 0; !sub.whole && m < se.count && i < d->entryCount; ++m)
                sub.grand.push_back(d->entries[i++].object);
            g.subs.push_back(std::move(sub));
        }
        groups.push_back(std::move(g));
    }
    return groups;
}

QELStatus unite(QELKeySet *a, QELKeySet *b, QELKeySet **out);
constexpr QELKeySetOps kEnumOps = {enumIsMember, enumIsEmpty, unite, enumDestroy};

// Makes a set from groups already in key-ID order.
QELStatus encode(QELKeyDB *db, const std::vector<Group> &groups, QELKeySet **outSet)
{
    *outSet = nullptr;
    std::size_t entries = 0;
    for (const Group &g : groups) {
        ++entries;
        if (!g.whole)
            for (const Sub &s : g.subs)
                entries += 1 + (s.whole ? 0 : s.grand.size());
    }
    QELContext *context = db->context;
    auto *d = static_cast<EnumData *>(qelContextMemAlloc(context, sizeof(EnumData), QELMemFlag_Clear));
    if (d == nullptr)
        return QELError_OutOfMemory;
    d->entries = static_cast<Entry *>(qelContextMemAlloc(context, (entries ? entries : 1) * sizeof(Entry), 0));
    d->keyIndex = static_cast<std::uint32_t *>(
        qelContextMemAlloc(context, (groups.empty() ? 1 : groups.size()) * sizeof(std::uint32_t), 0));
    QELKeySet *set = nullptr;
    if (d->entries == nullptr || d->keyIndex == nullptr || qelKeySetNewInternal(db, &set) != 0) {
        freeData(context, d);
        return QELError_OutOfMemory;
    }
    std::uint32_t n = 0;
    for (const Group &g : groups) {
        d->keyIndex[d->keyCount++] = n;
        d->entries[n++] = {g.key, g.whole ? -1 : std::int32_t(g.subs.size())};
        if (g.whole)
            continue;
        for (const Sub &s : g.subs) {
            d->entries[n++] = {s.child, s.whole ? -1 : std::int32_t(s.grand.size())};
            if (!s.whole)
                for (QELKeyObject *o : s.grand)
                    d->entries[n++] = {o, 0};
        }
    }
    d->entryCount = n;
    set->priv = d;
    set->ops = kEnumOps;
    *outSet = set;
    return QELError_NoErr;
}

Group mergeGroups(const Group &a, const Group &b)
{
    if (a.whole)
        return a;
    if (b.whole)
        return b;
    Group out{a.key, false, {}};
    for (const Sub &sa : a.subs) {
        Sub merged = sa;
        for (const Sub &sb : b.subs) {
            if (sb.child != sa.child)
                continue;
            if (sb.whole) {
                merged.whole = true;
                merged.grand.clear();
            } else if (!merged.whole) {
                for (QELKeyObject *o : sb.grand)
                    if (std::find(merged.grand.begin(), merged.grand.end(), o) == merged.grand.end())
                        merged.grand.push_back(o);
            }
        }
        out.subs.push_back(std::move(merged));
    }
    for (const Sub &sb : b.subs) {
        bool present = false;
        for (const Sub &sa : a.subs)
            present = present || sa.child == sb.child;
        if (!present)
            out.subs.push_back(sb);
    }
    return out;
}

QELStatus unite(QELKeySet *a, QELKeySet *b, QELKeySet **out)
{
    *out = nullptr;
    try {
        std::vector<Group> ga = decode(dataOf(a)), gb = decode(dataOf(b)), result;
        std::size_t i = 0, j = 0;
        while (i < ga.size() || j < gb.size()) {
            if (i == ga.size()) {
                result.push_back(gb[j++]);
            } else if (j == gb.size()) {
                result.push_back(ga[i++]);
            } else if (ga[i].key == gb[j].key) {
                result.push_back(mergeGroups(ga[i++], gb[j++]));
            } else if (!idLess(gb[j].key, ga[i].key)) {
                result.push_back(ga[i++]);
            } else {
                result.push_back(gb[j++]);
            }
        }
        return encode(a->db, result, out);
    } catch (...) {
        return QELError_OutOfMemory;
    }
}

} // namespace

bool qelKeySetIsEnumerated(const QELKeySet *set) { return set->ops.isMember == enumIsMember; }

QELStatus qelEnumeratedSetFromKeys(QELKeyDB *db, QELKeyObject *const *keys, std::uint32_t count,
                                   QELKeySet **outSet)
{
    if (outSet == nullptr)
        return QELError_BadParams;
    *outSet = nullptr;
    if (!qelKeyDBIsValid(db) || (keys == nullptr && count != 0))
        return QELError_BadParams;
    try {
        std::vector<Group> groups;
        groups.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (!qelKeyObjIsValid(keys[i]) || qelKeyObjType(keys[i]) != QELObjectType_Key)
                return QELError_BadParams;
            groups.push_back({keys[i], true, {}});
        }
        // Any input order: the index must be in key-ID order.
        std::stable_sort(groups.begin(), groups.end(),
                         [](const Group &x, const Group &y) { return idLess(x.key, y.key); });
        return encode(db, groups, outSet);
    } catch (...) {
        return QELError_OutOfMemory;
    }
}

QELStatus qelEnumeratedSetFromSingle(QELKeyObject *o, QELKeySet **outSet)
{
    *outSet = nullptr;
    QELKeyObject *key = qelKeyObjTopKey(o);
    if (key == nullptr)
        return QELError_BadParams;
    try {
        Group g{key, o == key, {}};
        if (o != key) {
            auto *parent = static_cast<QELKeyObject *>(o->parent);
            if (parent == key)
                g.subs.push_back({o, true, {}});
            else
                g.subs.push_back({parent, false, {o}});
        }
        return encode(qelKeyObjKeyDB(o), {g}, outSet);
    } catch (...) {
        return QELError_OutOfMemory;
    }
}

QELStatus qelEnumeratedSetNewEmpty(QELKeyDB *db, QELKeySet **outSet)
{
    QEL_ENTER(outSet);
    if (outSet == nullptr || !qelKeyDBIsOpen(db))
        return QELError_BadParams;
    try {
        return encode(db, {}, outSet);
    } catch (...) {
        return QELError_OutOfMemory;
    }
}

QELStatus qelEnumeratedSetFromObject(QELKeyObject *object, QELKeySet **outSet)
{
    QEL_ENTER(outSet);
    if (outSet == nullptr || !qelKeyObjIsValid(object) || qelKeyObjKeyDB(object) == nullptr)
        return QELError_BadParams;
    QELKeySet *result = nullptr;
    QELStatus s = qelEnumeratedSetFromSingle(object, &result);
    if (s != 0)
        return s;
    // Walk up to where the set's companions are decided.
    QELKeyObject *at = object;
    for (;;) {
        int t = qelKeyObjType(at);
        if (t == QELObjectType_Key || t == QELObjectType_SubKey)
            break;
        if (t == QELObjectType_UserID && at != object)
            break;
        at = static_cast<QELKeyObject *>(at->parent);
    }
    int endType = qelKeyObjType(at);
    if (endType == QELObjectType_UserID || endType == QELObjectType_SubKey) {
        int want = endType == QELObjectType_UserID ? QELObjectType_SubKey : QELObjectType_UserID;
        QELKeyObject *key = qelKeyObjTopKey(at);
        for (QELKeyObject *c = key->firstChild; c && s == 0; c = c->next) {
            if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != want)
                continue;
            QELKeySet *one = nullptr;
            s = qelEnumeratedSetFromSingle(c, &one);
            if (s == 0) {
                s = qelKeySetAddSet(one, result);
                qelKeySetReleaseInternal(one, false);
            }
        }
    }
    if (s != 0) {
        qelKeySetReleaseInternal(result, false);
        return s;
    }
    *outSet = result;
    return QELError_NoErr;
}
