// Key iterators: walks over the keys of a list or a set and, below each key,
// its children and grandchildren, counting only live members.
#include "qelKeyIterInternal.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyListInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySetInternal.h"

namespace {

constexpr const char *kGate = "qelKeyIter";

bool validIter(const QELKeyIter *it) { return it != nullptr && it->magic == QELKeyIterMagic; }

QELKeySet *setOf(const QELKeyIter *it) { return it->overList ? (it->list ? it->list->set : nullptr) : it->set; }

bool member(const QELKeyIter *it, QELKeyObject *o)
{
    if (!qelKeyObjIsLive(o))
        return false;
    if (it->overList && qelKeyObjType(o) == QELObjectType_Key && o->parent == setOf(it)->db)
        return true;
    QELKeySet *set = setOf(it);
    return set != nullptr && set->ops.isMember(set, o);
}

QELKeyObject *parentNode(QELKeyObject *o) { return static_cast<QELKeyObject *>(o->parent); }

QELStatus end(QELKeyObject **out)
{
    if (out) *out = nullptr;
    return QELError_EndOfIteration;
}

// Within the current level: forward by n members.
QELStatus stepForward(QELKeyIter *it, std::int64_t n)
{
    if (it->pastEnd || it->current == nullptr)
        return QELError_EndOfIteration;
    if (n == 0 && !member(it, it->current))
        n = 1;
    QELKeyObject *o = it->current;
    std::int64_t passed = 0;
    while (passed < n) {
        if (o->next == nullptr) {
            it->current = o;
            it->pastEnd = 1;
            return QELError_EndOfIteration;
        }
        o = o->next;
        if (it->depth > 0 || qelKeyObjType(o) == QELObjectType_Key)
            if (member(it, o))
                ++passed;
    }
    it->current = o;
    it->pastEnd = 0;
    return QELError_NoErr;
}

QELKeyObject *firstSibling(QELKeyIter *it)
{
    return it->depth == 0 ? setOf(it)->db->firstKey : parentNode(it->current)->firstChild;
}

// Within the current level: backward by n members.
QELStatus stepBackward(QELKeyIter *it, std::int64_t n)
{
    if (it->current == nullptr)
        return QELError_EndOfIteration;
    it->pastEnd = 0;
    if (!member(it, it->current) && stepForward(it, 0) != QELError_NoErr) {
        it->pastEnd = 0;
    }
    std::int64_t before = 0;
    QELKeyObject *first = nullptr;
    for (QELKeyObject *o = firstSibling(it); o && o != it->current; o = o->next)
        if ((it->depth > 0 || qelKeyObjType(o) == QELObjectType_Key) && member(it, o)) {
            if (first == nullptr)
                first = o;
            ++before;
        }
    it->pastEnd = 0;
    if (before < n) {
        if (first != nullptr)
            it->current = first;
        return QELError_EndOfIteration;
    }
    std::int64_t target = before - n, i = 0;
    for (QELKeyObject *o = firstSibling(it); o; o = o->next)
        if ((it->depth > 0 || qelKeyObjType(o) == QELObjectType_Key) && member(it, o)) {
            if (i++ == target) {
                it->current = o;
                return QELError_NoErr;
            }
        }
    return QELError_EndOfIteration;
}

void climbToKey(QELKeyIter *it)
{
    while (it->depth > 0) {
        it->current = parentNode(it->current);
        --it->depth;
    }
    it->pastEnd = 0;
}

QELStatus moveKeys(QELKeyIter *it, std::int32_t count)
{
    if (count == 0)
        return QELError_NoErr;
    if (it->overList) {
        QELKeyList *list = it->list;
        if (list == nullptr)
            return QELError_BadParams;
        std::int64_t pos = it->position + count;
        it->depth = 0;
        if (pos >= 0 && pos < std::int64_t(list->count)) {
            it->position = pos;
            it->current = list->keys[pos];
            it->pastEnd = 0;
            return QELError_NoErr;
        }
        if (list->count == 0) {
            it->current = nullptr;
            it->depth = -1;
            return QELError_EndOfIteration;
        }
        it->position = list->count - 1;
        it->current = list->keys[list->count - 1];
        it->pastEnd = 1;
        return QELError_EndOfIteration;
    }
    QELKeySet *set = setOf(it);
    std::int64_t rest = count;
    if (it->current == nullptr) {
        if (count < 0)
            return QELError_EndOfIteration;
        QELKeyObject *first = set->db->firstKey;
        while (first != nullptr && qelKeyObjType(first) != QELObjectType_Key)
            first = first->next;
        if (first == nullptr)
            return QELError_EndOfIteration;
        it->current = first;
        it->depth = 0;
        it->pastEnd = 0;
        --rest;
    } else {
        climbToKey(it);
    }
    QELStatus s = rest >= 0 ? stepForward(it, rest) : stepBackward(it, -rest);
    if (s == QELError_NoErr)
        it->position += count;
    return s;
}

QELStatus descend(QELKeyIter *it)
{
    QELKeyObject *c = it->current->firstChild;
    if (c == nullptr)
        return QELError_EndOfIteration;
    it->current = c;
    ++it->depth;
    it->pastEnd = 0;
    if (member(it, c))
        return QELError_NoErr;
    QELStatus s = stepForward(it, 0);
    if (s != QELError_NoErr) {
        it->current = parentNode(c);
        --it->depth;
        it->pastEnd = 0;
    }
    return s;
}

int typeOfLevel(std::int32_t level)
{
    switch (level) {
    case QELKeyIterLevel_SubKey: return QELObjectType_SubKey;
    case QELKeyIterLevel_UserID: return QELObjectType_UserID;
    case QELKeyIterLevel_Signature: return QELObjectType_Signature;
    default: return QELObjectType_Key;
    }
}

bool knownLevel(std::int32_t level)
{
    return level == 1 || level == 2 || level == 4 || level == 8 || level == -1;
}

QELStatus nextChild(QELKeyIter *it, int want)
{
    if (it->current == nullptr) {
        QELStatus s = moveKeys(it, 1);
        if (s != 0)
            return s;
    }
    QELStatus s;
    if (it->depth == 2) {
        it->current = parentNode(it->current);
        it->depth = 1;
        it->pastEnd = 0;
        s = stepForward(it, 1);
    } else if (it->depth == 0) {
        s = descend(it);
        if (s != 0)
            return s;
    } else {
        s = stepForward(it, 1);
    }
    while (s == 0 && qelKeyObjType(it->current) != want)
        s = stepForward(it, 1);
    if (s != 0) {
        climbToKey(it);
        return QELError_EndOfIteration;
    }
    return QELError_NoErr;
}

bool skippableSig(QELKeyObject *o)
{
    return qelKeyObjType(o) != QELObjectType_Signature || qelKeyObjSigInfo(o)->type == 0x30;
}

QELStatus nextSignature(QELKeyIter *it)
{
    if (it->current == nullptr) {
        QELStatus s = moveKeys(it, 1);
        if (s != 0)
            return s;
    }
    QELStatus s = QELError_NoErr;
    if (it->depth == 0 && (s = descend(it)) != 0)
        return s;
    if (it->depth == 1) {
        if ((s = descend(it)) != 0)
            return s;
    } else {
        s = stepForward(it, 1);
    }
    while (s == 0 && skippableSig(it->current))
        s = stepForward(it, 1);
    return s;
}

QELStatus allocIter(QELContext *context, QELKeyIter **out)
{
    *out = static_cast<QELKeyIter *>(qelContextMemAlloc(context, sizeof(QELKeyIter), QELMemFlag_Clear));
    if (*out == nullptr)
        return QELError_OutOfMemory;
    (*out)->magic = QELKeyIterMagic;
    (*out)->position = -1;
    (*out)->depth = -1;
    return QELError_NoErr;
}

// QELError_BadParams for a bad handle, QELError_NoKeyDB when the database
// has been closed, the failure of a list's re-sort.
QELStatus check(QELKeyIter *it)
{
    if (!validIter(it) || setOf(it) == nullptr)
        return QELError_BadParams;
    if (!qelKeyDBIsOpen(setOf(it)->db))
        return QELError_NoKeyDB;
    return it->overList ? qelKeyListCheck(it->list) : QELError_NoErr;
}

void linkToList(QELKeyIter *it)
{
    it->next = it->list->iters;
    if (it->list->iters)
        it->list->iters->prev = it;
    it->list->iters = it;
}

} // namespace

QELStatus qelKeyIterNextObject(QELKeyIter *it, QELKeyObject **out)
{
    if (out) *out = nullptr;
    if (it->current == nullptr) {
        QELStatus s = moveKeys(it, 1);
        if (s == 0 && out) *out = it->current;
        return s;
    }
    if (!it->pastEnd && qelKeyObjType(it->current) != QELObjectType_Signature && it->depth < 2 &&
        descend(it) == QELError_NoErr) {
        if (out) *out = it->current;
        return QELError_NoErr;
    }
    for (;;) {
        if (it->depth <= 0) {
            QELStatus s = moveKeys(it, 1);
            if (s == 0 && out) *out = it->current;
            return s;
        }
        if (stepForward(it, 1) == QELError_NoErr) {
            if (out) *out = it->current;
            return QELError_NoErr;
        }
        it->current = parentNode(it->current);
        --it->depth;
        it->pastEnd = 0;
    }
}

QELContext *qelKeyIterContext(const QELKeyIter *it)
{
    if (!validIter(it))
        return nullptr;
    QELKeySet *set = setOf(it);
    return set ? set->db->context : nullptr;
}

// ---- public operations ----------------------------------------------------------------

QELStatus qelKeyIterNewOnList(QELKeyList *list, QELKeyIter **outIter)
{
    QEL_ENTER(outIter);
    if (outIter == nullptr || !qelKeyListIsValid(list) || list->set == nullptr)
        return QELError_BadParams;
    if (QELStatus s = qelKeyListCheck(list); s != QELError_NoErr)
        return s;
    QELKeyIter *it = nullptr;
    QELStatus s = allocIter(list->set->db->context, &it);
    if (s != 0)
        return s;
    it->overList = 1;
    it->list = list;
    ++list->refCount;
    qelKeyDBHold(list->set->db);
    linkToList(it);
    *outIter = it;
    return QELError_NoErr;
}

QELStatus qelKeyIterNewOnSet(QELKeySet *set, QELKeyIter **outIter)
{
    QEL_ENTER(outIter);
    if (outIter == nullptr)
        return QELError_BadParams;
    if (QELStatus s = qelKeySetCheck(set); s != QELError_NoErr)
        return s;
    QELKeyIter *it = nullptr;
    QELStatus s = allocIter(set->db->context, &it);
    if (s != 0)
        return s;
    it->set = set;
    qelKeySetAddRefInternal(set);
    qelKeyDBHold(set->db);
    *outIter = it;
    return QELError_NoErr;
}

QELStatus qelKeyIterNewOnDB(QELKeyDB *db, QELKeyIter **outIter)
{
    QEL_ENTER(outIter);
    if (outIter == nullptr || !qelKeyDBIsOpen(db))
        return QELError_BadParams;
    return qelKeyIterNewOnSet(db->rootSet, outIter);
}

QELStatus qelKeyIterCopy(QELKeyIter *iter, QELKeyIter **outIter)
{
    QEL_ENTER(outIter);
    if (outIter == nullptr)
        return QELError_BadParams;
    if (QELStatus s = check(iter); s != QELError_NoErr)
        return s;
    QELKeyIter *it = nullptr;
    QELStatus s = allocIter(setOf(iter)->db->context, &it);
    if (s != 0)
        return s;
    it->overList = iter->overList;
    it->list = iter->list;
    it->set = iter->set;
    it->position = iter->position;
    it->current = iter->current;
    it->depth = iter->depth;
    it->pastEnd = iter->pastEnd;
    if (it->overList) {
        ++it->list->refCount;
        linkToList(it);
    } else {
        qelKeySetAddRefInternal(it->set);
    }
    qelKeyDBHold(setOf(it)->db);
    *outIter = it;
    return QELError_NoErr;
}

QELStatus qelKeyIterFree(QELKeyIter *iter)
{
    QEL_ENTER();
    if (!validIter(iter))
        return QELError_BadParams;
    QELContext *context = qelKeyIterContext(iter);
    QELKeyDB *held = setOf(iter) != nullptr ? setOf(iter)->db : nullptr;
    if (iter->overList) {
        if (iter->list != nullptr) {
            if (iter->prev) iter->prev->next = iter->next;
            else iter->list->iters = iter->next;
            if (iter->next) iter->next->prev = iter->prev;
            static_cast<void>(qelKeyListReleaseInternal(iter->list)); // valid list
        }
    } else if (iter->set != nullptr) {
        qelKeySetReleaseInternal(iter->set, false);
    }
    iter->magic = ~QELKeyIterMagic;
    if (context != nullptr)
        static_cast<void>(qelContextMemFree(context, iter)); // ours
    else
        static_cast<void>(qelMemFree(iter)); // a guarded block of a context now gone
    if (held != nullptr)
        qelKeyDBUnhold(held); // may free a closed database's record
    return QELError_NoErr;
}

std::int32_t qelKeyIterIndex(QELKeyIter *iter)
{
    if (qelAPIGate(kGate, __LINE__) != 0 || check(iter) != QELError_NoErr)
        return 0;
    return std::int32_t(iter->position);
}

QELStatus qelKeyIterMove(QELKeyIter *iter, std::int32_t count, QELKeyObject **outKey)
{
    QEL_ENTER(outKey);
    if (!validIter(iter) || outKey == nullptr || setOf(iter) == nullptr)
        return QELError_BadParams;
    if (QELStatus c = check(iter); c != QELError_NoErr)
        return c;
    QELStatus s = moveKeys(iter, count);
    if (s != 0)
        return end(outKey);
    *outKey = iter->current;
    return QELError_NoErr;
}

QELStatus qelKeyIterNext(QELKeyIter *iter, std::int32_t level, QELKeyObject **outObject)
{
    QEL_ENTER(outObject);
    if (!validIter(iter) || outObject == nullptr || !knownLevel(level) || setOf(iter) == nullptr)
        return QELError_BadParams;
    if (QELStatus c = check(iter); c != QELError_NoErr)
        return c;
    QELStatus s;
    switch (level) {
    case QELKeyIterLevel_Key: s = moveKeys(iter, 1); break;
    case QELKeyIterLevel_SubKey: case QELKeyIterLevel_UserID: s = nextChild(iter, typeOfLevel(level)); break;
    case QELKeyIterLevel_Signature: s = nextSignature(iter); break;
    default: s = qelKeyIterNextObject(iter, nullptr); break;
    }
    if (s != 0)
        return end(outObject);
    *outObject = iter->current;
    return QELError_NoErr;
}

QELStatus qelKeyIterPrev(QELKeyIter *iter, std::int32_t level, QELKeyObject **outObject)
{
    QEL_ENTER(outObject);
    if (!validIter(iter) || outObject == nullptr || !knownLevel(level) || level == -1 ||
        setOf(iter) == nullptr)
        return QELError_BadParams;
    if (QELStatus c = check(iter); c != QELError_NoErr)
        return c;
    if (level == QELKeyIterLevel_Key) {
        if (moveKeys(iter, -1) != 0)
            return end(outObject);
        *outObject = iter->current;
        return QELError_NoErr;
    }
    int want = typeOfLevel(level);
    std::int8_t levelDepth = level == QELKeyIterLevel_Signature ? 2 : 1;
    if (iter->current == nullptr || iter->depth < levelDepth)
        return end(outObject);
    while (iter->depth > levelDepth) {
        iter->current = parentNode(iter->current);
        --iter->depth;
    }
    do {
        if (stepBackward(iter, 1) != 0)
            return end(outObject);
    } while (qelKeyObjType(iter->current) != want);
    *outObject = iter->current;
    return QELError_NoErr;
}

QELStatus qelKeyIterCurrent(QELKeyIter *iter, std::int32_t level, QELKeyObject **outObject)
{
    QEL_ENTER(outObject);
    if (!validIter(iter) || outObject == nullptr || !knownLevel(level) || level == -1)
        return QELError_BadParams;
    if (QELStatus c = check(iter); c != QELError_NoErr)
        return c;
    QELKeyObject *o = iter->current;
    if (o == nullptr)
        return end(outObject);
    QELKeyObject *result = nullptr;
    if (level == QELKeyIterLevel_Key) {
        result = iter->depth == 0 ? (iter->pastEnd ? nullptr : o) : qelKeyObjTopKey(o);
    } else if (level == QELKeyIterLevel_Signature) {
        result = iter->depth == 2 && !iter->pastEnd ? o : nullptr;
    } else {
        result = iter->depth == 1 ? (iter->pastEnd ? nullptr : o) : iter->depth == 2 ? parentNode(o) : nullptr;
    }
    if (result == nullptr || qelKeyObjType(result) != typeOfLevel(level))
        return end(outObject);
    *outObject = result;
    return QELError_NoErr;
}

QELStatus qelKeyIterRewind(QELKeyIter *iter, std::int32_t level)
{
    QEL_ENTER();
    if (QELStatus c = check(iter); c != QELError_NoErr)
        return c;
    switch (level) {
    case QELKeyIterLevel_Key:
        iter->position = -1;
        iter->current = nullptr;
        iter->depth = -1;
        iter->pastEnd = 0;
        return QELError_NoErr;
    case QELKeyIterLevel_SubKey: case QELKeyIterLevel_UserID:
        if (iter->depth >= 1)
            climbToKey(iter);
        return QELError_NoErr;
    case QELKeyIterLevel_Signature:
        if (iter->depth == 2) {
            iter->current = parentNode(iter->current);
            iter->depth = 1;
            iter->pastEnd = 0;
        }
        return QELError_NoErr;
    default:
        return QELError_BadParams;
    }
}

std::int32_t qelKeyIterSeek(QELKeyIter *iter, QELKeyObject *key)
{
    if (qelAPIGate(kGate, __LINE__) != 0 || check(iter) != QELError_NoErr || !qelKeyObjIsKey(key))
        return -1;
    iter->position = -1;
    iter->current = nullptr;
    iter->depth = -1;
    iter->pastEnd = 0;
    if (iter->overList) {
        for (std::uint32_t i = 0; i < iter->list->count; ++i)
            if (iter->list->keys[i] == key) {
                iter->position = i;
                iter->current = key;
                iter->depth = 0;
                return std::int32_t(i);
            }
        return -1;
    }
    while (moveKeys(iter, 1) == QELError_NoErr)
        if (iter->current == key)
            return std::int32_t(iter->position);
    iter->position = -1;
    iter->current = nullptr;
    iter->depth = -1;
    iter->pastEnd = 0;
    return -1;
}

QELStatus qelKeyFirstSubKey(QELKeyObject *key, QELKeyObject **outSubKey)
{
    QEL_ENTER(outSubKey);
    if (outSubKey == nullptr)
        return QELError_BadParams;
    if (key == nullptr)
        return QELError_ItemNotFound;
    if (!qelKeyObjIsValid(key))
        return QELError_BadParams;
    return qelKeyObjFirstSubKey(key, outSubKey);
}
