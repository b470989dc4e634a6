// Filtered key sets: the members of another set that match a key filter,
// computed on every question.
#include "qelEnumeratedSetInternal.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyFilterInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySetInternal.h"
#include "qelSeams.h"

namespace {

struct FilterData {
    QELKeySet *inner;
    QELKeyFilter *filter;
};

FilterData *dataOf(QELKeySet *set) { return static_cast<FilterData *>(set->priv); }

bool filteredIsMember(QELKeySet *set, QELKeyObject *o)
{
    FilterData *d = dataOf(set);
    // Each question about a key starts a new pass: a cached result only ever
    // answers for the descendants of the key asked about last.
    if (qelKeyObjType(o) == QELObjectType_Key)
        qelKeyFilterClearCache(d->filter);
    return d->inner->ops.isMember(d->inner, o) && qelKeyFilterMatch(d->filter, o);
}

bool filteredIsEmpty(QELKeySet *set)
{
    FilterData *d = dataOf(set);
    if (d->inner->ops.isEmpty(d->inner))
        return true;
    qelKeyFilterClearCache(d->filter);
    for (QELKeyObject *k = set->db->firstKey; k; k = k->next)
        if (qelKeyObjType(k) == QELObjectType_Key && qelKeySetHas(k, set))
            return false;
    return true;
}

void filteredDestroy(QELKeySet *set, bool forced)
{
    FilterData *d = dataOf(set);
    if (d == nullptr)
        return;
    if (!forced)
        qelKeySetReleaseInternal(d->inner, false);
    static_cast<void>(qelKeyFilterRelease(d->filter)); // the set's own reference
    static_cast<void>(qelContextMemFree(set->db->context, d)); // ours
    set->priv = nullptr;
}

constexpr QELKeySetOps kFilteredOps = {filteredIsMember, filteredIsEmpty, nullptr, filteredDestroy};

} // namespace

QELStatus qelFilteredSetNew(QELKeySet *set, QELKeyFilter *filter, QELKeySet **outSet)
{
    QEL_ENTER(outSet);
    if (outSet == nullptr || !qelKeySetIsValid(set) || !qelKeyFilterIsValid(filter))
        return QELError_BadParams;
    if (!qelKeyDBIsOpen(set->db))
        return QELError_NoKeyDB;
    QELContext *context = set->db->context;
    auto *d = static_cast<FilterData *>(qelContextMemAlloc(context, sizeof(FilterData), QELMemFlag_Clear));
    QELKeySet *made = nullptr;
    if (d == nullptr || qelKeySetNewInternal(set->db, &made) != 0) {
        if (d) static_cast<void>(qelContextMemFree(context, d)); // ours
        return QELError_OutOfMemory;
    }
    d->inner = set;
    d->filter = filter;
    qelKeySetAddRefInternal(set);
    static_cast<void>(qelKeyFilterAddRef(filter)); // a valid filter, checked above
    made->priv = d;
    made->ops = kFilteredOps;
    *outSet = made;
    return QELError_NoErr;
}
