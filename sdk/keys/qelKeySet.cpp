// Key sets: the record, reference counting, root and union behaviours,
// in-place union and removal of members from the database.
#include "qelKeySetInternal.h"

#include "qelContextInternal.h"
#include "qelEnumeratedSetInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyIterInternal.h"
#include "qelKeyListInternal.h"
#include "qelKeyObjInternal.h"

namespace {

constexpr const char *kGate = "qelKeySet";

bool rootIsMember(QELKeySet *set, QELKeyObject *o) { return qelKeyObjKeyDB(o) == set->db; }
bool rootIsEmpty(QELKeySet *set)
{
    for (QELKeyObject *k = set->db->firstKey; k; k = k->next)
        if (qelKeyObjIsLive(k) && qelKeyObjType(k) == QELObjectType_Key)
            return false;
    return true;
}
QELStatus rootUnite(QELKeySet *set, QELKeySet *, QELKeySet **out)
{
    qelKeySetAddRefInternal(set);
    *out = set;
    return QELError_NoErr;
}
void rootDestroy(QELKeySet *, bool) {}

struct UnionData {
    QELKeySet *a;
    QELKeySet *b;
};
bool unionIsMember(QELKeySet *set, QELKeyObject *o)
{
    auto *u = static_cast<UnionData *>(set->priv);
    return u->a->ops.isMember(u->a, o) || u->b->ops.isMember(u->b, o);
}
bool unionIsEmpty(QELKeySet *set)
{
    auto *u = static_cast<UnionData *>(set->priv);
    return u->a->ops.isEmpty(u->a) && u->b->ops.isEmpty(u->b);
}
void unionDestroy(QELKeySet *set, bool forced)
{
    auto *u = static_cast<UnionData *>(set->priv);
    if (u == nullptr)
        return;
    QELContext *context = qelKeySetContext(set);
    // A forced release frees every set of the database anyway.
    if (!forced) {
        qelKeySetReleaseInternal(u->a, false);
        qelKeySetReleaseInternal(u->b, false);
    }
    static_cast<void>(qelContextMemFree(context, u)); // our record
    set->priv = nullptr;
}

constexpr QELKeySetOps kRootOps = {rootIsMember, rootIsEmpty, rootUnite, rootDestroy};
constexpr QELKeySetOps kUnionOps = {unionIsMember, unionIsEmpty, nullptr, unionDestroy};

} // namespace

QELStatus qelKeySetNewInternal(QELKeyDB *db, QELKeySet **outSet)
{
    *outSet = nullptr;
    auto *set = static_cast<QELKeySet *>(qelContextMemAlloc(db->context, sizeof(QELKeySet), QELMemFlag_Clear));
    if (set == nullptr)
        return QELError_OutOfMemory;
    set->magic = QELKeySetMagic;
    set->refCount = 1;
    set->db = db;
    qelKeyDBHold(db);
    set->next = db->sets;
    if (db->sets != nullptr)
        db->sets->prev = set;
    db->sets = set;
    *outSet = set;
    return QELError_NoErr;
}

QELKeySet *qelKeyDBNewRootSet(QELKeyDB *db)
{
    QELKeySet *set = nullptr;
    if (qelKeySetNewInternal(db, &set) != QELError_NoErr)
        return nullptr;
    set->ops = kRootOps;
    return set;
}

QELStatus qelKeySetNewUnion(QELKeySet *a, QELKeySet *b, QELKeySet **outSet)
{
    *outSet = nullptr;
    auto *u = static_cast<UnionData *>(qelContextMemAlloc(a->db->context, sizeof(UnionData), QELMemFlag_Clear));
    if (u == nullptr)
        return QELError_OutOfMemory;
    QELKeySet *set = nullptr;
    if (qelKeySetNewInternal(a->db, &set) != QELError_NoErr) {
        static_cast<void>(qelContextMemFree(a->db->context, u)); // our record
        return QELError_OutOfMemory;
    }
    u->a = a;
    u->b = b;
    qelKeySetAddRefInternal(a);
    qelKeySetAddRefInternal(b);
    set->priv = u;
    set->ops = kUnionOps;
    *outSet = set;
    return QELError_NoErr;
}

void qelKeySetAddRefInternal(QELKeySet *set)
{
    if (set != set->db->rootSet)
        ++set->refCount;
}

void qelKeySetReleaseInternal(QELKeySet *set, bool forced)
{
    if (set != set->db->rootSet)
        --set->refCount;
    if (set->refCount >= 1 && !forced)
        return;
    // Lists and iterators hold references, so none is left on a set freed
    // without force; a forced release detaches whatever remains.
    qelKeyListDetachAll(set);
    if (set->ops.destroy != nullptr)
        set->ops.destroy(set, forced);
    set->magic = 0;
    QELKeyDB *db = set->db;
    if (set->prev != nullptr)
        set->prev->next = set->next;
    else
        db->sets = set->next;
    if (set->next != nullptr)
        set->next->prev = set->prev;
    const bool root = db->rootSet == set;
    if (root)
        db->rootSet = nullptr;
    static_cast<void>(qelContextMemFree(db->context, set)); // our record
    if (!root)
        qelKeyDBUnhold(db); // may free a closed database's record
}

bool qelKeySetHas(QELKeyObject *o, QELKeySet *set)
{
    return qelKeyObjIsLive(o) && set->ops.isMember(set, o);
}

bool qelKeySetIsEmpty(QELKeySet *set) { return set->ops.isEmpty(set); }

QELKeyObject *qelKeySetFirstKey(QELKeySet *set)
{
    for (QELKeyObject *k = set->db->firstKey; k; k = k->next)
        if (qelKeyObjType(k) == QELObjectType_Key && qelKeySetHas(k, set))
            return k;
    return nullptr;
}

bool qelKeySetIsValid(const void *set)
{
    return set != nullptr && *static_cast<const std::uint32_t *>(set) == QELKeySetMagic;
}

QELStatus qelKeySetCheck(const QELKeySet *set)
{
    if (!qelKeySetIsValid(set))
        return QELError_BadParams;
    return qelKeyDBIsOpen(set->db) ? QELError_NoErr : QELError_NoKeyDB;
}

QELKeyDB *qelKeySetKeyDB(const QELKeySet *set) { return qelKeySetIsValid(set) ? set->db : nullptr; }
QELContext *qelKeySetContext(const QELKeySet *set) { return qelKeySetIsValid(set) ? set->db->context : nullptr; }

std::uint32_t qelKeySetCountInternal(QELKeySet *set)
{
    std::uint32_t n = 0;
    for (QELKeyObject *k = set->db->firstKey; k; k = k->next)
        if (qelKeyObjType(k) == QELObjectType_Key && qelKeySetHas(k, set))
            ++n;
    return n;
}

void qelKeySetResortLists(QELKeyDB *db)
{
    for (QELKeySet *set = db->sets; set; set = set->next)
        qelKeyListResortAll(set);
}

// ---- public operations ------------------------------------------------------------------

QELStatus qelKeyDBNewKeySet(QELKeyDB *db, QELKeySet **outSet)
{
    QEL_ENTER(outSet);
    if (!qelKeyDBIsOpen(db) || outSet == nullptr)
        return QELError_BadParams;
    *outSet = qelKeyDBNewRootSet(db);
    return *outSet != nullptr ? QELError_NoErr : QELError_OutOfMemory;
}

QELStatus qelKeySetAddRef(QELKeySet *set)
{
    QEL_ENTER();
    if (!qelKeySetIsValid(set))
        return QELError_BadParams;
    qelKeySetAddRefInternal(set);
    return QELError_NoErr;
}

QELStatus qelKeySetRelease(QELKeySet *set)
{
    QEL_ENTER();
    if (!qelKeySetIsValid(set))
        return QELError_BadParams;
    qelKeySetReleaseInternal(set, false);
    return QELError_NoErr;
}

QELStatus qelKeySetCount(QELKeySet *set, std::uint32_t *outCount)
{
    QEL_ENTER(outCount);
    if (outCount == nullptr)
        return QELError_BadParams;
    if (QELStatus s = qelKeySetCheck(set); s != QELError_NoErr)
        return s;
    *outCount = qelKeySetCountInternal(set);
    return QELError_NoErr;
}

std::uint8_t qelKeySetIsMember(QELKeyObject *object, QELKeySet *set)
{
    if (qelAPIGate(kGate, __LINE__) != 0 || !qelKeyObjIsValid(object) || qelKeySetCheck(set) != QELError_NoErr)
        return 0;
    return qelKeySetHas(object, set);
}

QELStatus qelKeySetAddSet(QELKeySet *source, QELKeySet *target)
{
    if (!qelKeySetIsValid(source) || !qelKeySetIsValid(target))
        return QELError_BadParams;
    QEL_ENTER();
    if (!qelKeyDBIsOpen(source->db) || !qelKeyDBIsOpen(target->db))
        return QELError_NoKeyDB;
    if (source->db != target->db)
        return QELError_KeyDBMismatch;
    QELKeyDB *db = target->db;
    if (target == db->rootSet)
        return QELError_NoErr;
    if (target->refCount != 1)
        return QELError_BadParams;
    // Move the target's contents into a fresh set T', unite T' with the
    // source, then give the result's contents back to the target.
    QELKeySet *moved = nullptr;
    if (qelKeySetNewInternal(db, &moved) != QELError_NoErr)
        return QELError_OutOfMemory;
    moved->priv = target->priv;
    moved->flag = target->flag;
    moved->ops = target->ops;
    QELStatus s;
    QELKeySet *result = nullptr;
    if (moved->ops.unite != nullptr && moved->ops.unite == source->ops.unite)
        s = moved->ops.unite(source, moved, &result);
    else
        s = qelKeySetNewUnion(source, moved, &result);
    if (s != QELError_NoErr) {
        moved->priv = nullptr;
        moved->ops.destroy = nullptr;
        qelKeySetReleaseInternal(moved, false);
        return s;
    }
    target->priv = nullptr; // now owned by T'
    qelKeySetReleaseInternal(moved, false);
    target->priv = result->priv;
    target->flag = result->flag;
    target->ops = result->ops;
    result->priv = nullptr;
    result->ops.destroy = nullptr;
    qelKeySetReleaseInternal(result, false);
    qelKeyListResortAll(target);
    return QELError_NoErr;
}

QELStatus qelKeySetAddObject(QELKeyObject *object, QELKeySet *set)
{
    if (!qelKeyObjIsValid(object) || !qelKeySetIsValid(set))
        return QELError_BadParams;
    if (!qelKeyDBIsOpen(set->db))
        return QELError_NoKeyDB;
    if (qelKeyObjKeyDB(object) != set->db)
        return QELError_KeyDBMismatch;
    QEL_ENTER();
    if (set == set->db->rootSet)
        return QELError_NoErr;
    QELKeySet *single = nullptr;
    QELStatus s = qelEnumeratedSetFromObject(object, &single);
    if (s != QELError_NoErr)
        return s;
    s = qelKeySetAddSet(single, set);
    qelKeySetReleaseInternal(single, false);
    return s;
}

QELStatus qelKeySetRemoveFromDB(QELKeySet *set)
{
    QEL_ENTER();
    if (QELStatus s = qelKeySetCheck(set); s != QELError_NoErr)
        return s;
    // Collect the members first: removing a key takes its children out of
    // every set, so the walk must not depend on membership while it runs.
    QELKeyDB *db = set->db;
    QELStatus s = QELError_NoErr;
    for (QELKeyObject *k = db->firstKey; k && s == 0; k = k->next) {
        if (qelKeyObjType(k) != QELObjectType_Key)
            continue;
        if (qelKeySetHas(k, set)) {
            s = qelKeyObjMarkDeleted(k);
            continue;
        }
        for (QELKeyObject *c = k->firstChild; c && s == 0; c = c->next) {
            if (qelKeySetHas(c, set)) {
                s = qelKeyObjMarkDeleted(c);
                continue;
            }
            for (QELKeyObject *g = c->firstChild; g && s == 0; g = g->next)
                if (qelKeySetHas(g, set))
                    s = qelKeyObjMarkDeleted(g);
        }
    }
    qelKeyDBMarkChanged(db, true);
    return s;
}
