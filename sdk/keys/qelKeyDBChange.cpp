// Key database changes: removing, copying and adding objects, and the local
// side of the change tracking of databases mirrored from the SDK service.
//
// The service branches go through the key-database dispatchers. The object-ID
// arrays of a mirrored database map through the service client's object-ID
// map, which is not built in yet, so they answer QELError_FeatureNotAvailable;
// the service side keeps no client records in process.
#include "qelKeyDBChangeInternal.h"

#include "qelContextInternal.h"
#include "qelEnumeratedSetInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyIterInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelSeams.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

namespace {

std::atomic<int> g_pendingContexts{0};

bool keyIDLess(QELKeyObject *a, QELKeyObject *b)
{
    QELKeyID x{}, y{};
    qelKeyObjGetKeyID(qelKeyObjTopKey(a), nullptr, &x);
    qelKeyObjGetKeyID(qelKeyObjTopKey(b), nullptr, &y);
    return qelKeyIDCompareInternal(x, y) < 0;
}

std::uint64_t idOf(QELKeyObject *object) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object)); }

// Live signatures on a user ID by its own key that certify it and are not
// revoked.
bool countsAsSelfCertification(QELKeyObject *sig, QELKeyObject *key)
{
    if (!qelKeyObjIsLive(sig) || qelKeyObjType(sig) != QELObjectType_Signature)
        return false;
    const QELSigInfo *si = qelKeyObjSigInfo(sig);
    return si->signer == key && si->type >= 0x10 && si->type <= 0x1F && !qelSigIsRevoked(sig);
}

std::uint32_t liveUserIDCount(QELKeyObject *key)
{
    std::uint32_t n = 0;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next)
        n += qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_UserID;
    return n;
}

} // namespace

// ---- removing --------------------------------------------------------------------------

QELStatus qelKeyDBRemoveObjectLocal(QELKeyDB *db, QELKeyObject *object)
{
    if (!qelKeyDBIsValid(db) || !qelKeyObjIsValid(object) || !qelKeyObjIsLive(object) ||
        qelKeyObjKeyDB(object) != db)
        return QELError_BadParams;
    QELKeyObject *key = qelKeyObjTopKey(object);
    const int type = qelKeyObjType(object);
    if (type == QELObjectType_UserID && liveUserIDCount(key) < 2)
        return QELError_BadParams;
    if (type == QELObjectType_Signature) {
        auto *parent = static_cast<QELKeyObject *>(qelKeyObjParent(object));
        // Only a signature that keeps the user ID certified is guarded: a
        // revoked one or a revocation can go whatever else remains.
        if (qelKeyObjType(parent) == QELObjectType_UserID && countsAsSelfCertification(object, key)) {
            int count = 0;
            for (QELKeyObject *s = parent->firstChild; s != nullptr; s = s->next)
                count += countsAsSelfCertification(s, key);
            if (count < 2)
                return QELError_LastSelfCertification;
        }
    }
    if (QELStatus s = qelKeyObjMarkDeleted(object); s != QELError_NoErr)
        return s;
    qelKeyDBMarkChanged(db, false);
    return QELError_NoErr;
}

QELStatus qelKeyDBRemoveObject(QELKeyDB *db, QELKeyObject *object)
{
    if (!qelKeyDBIsValid(db) || !qelKeyObjIsValid(object) || !qelKeyObjIsLive(object))
        return QELError_BadParams;
    if (qelKeyDBIsRemote(db))
        return qelKeysService().keyDBRemoveObject(db, object);
    return qelKeyDBRemoveObjectLocal(db, object);
}

// ---- copying ---------------------------------------------------------------------------

QELStatus qelKeyDBCopyObjectLocal(QELKeyDB *db, QELKeyObject *object, QELKeyObject **outCopy)
{
    if (outCopy != nullptr)
        *outCopy = nullptr;
    if (!qelKeyDBIsValid(db) || !qelKeyObjIsValid(object))
        return QELError_BadParams;
    QELKeyObject *chain[3];
    int depth = 0;
    for (QELKeyObject *o = object;; o = static_cast<QELKeyObject *>(qelKeyObjParent(o))) {
        if (depth == 3 || !qelKeyObjIsValid(o))
            return QELError_BadParams;
        chain[depth++] = o;
        if (qelKeyObjIsKey(o))
            break;
    }
    std::reverse(chain, chain + depth);
    QELKeyObject *copy = nullptr;
    for (int level = 0; level < depth; ++level) {
        QELKeyObject *source = chain[level];
        QELKeyObject **cache = db->copyCache + 2 * level;
        if (level < 2 && cache[0] == source && cache[1] != nullptr && qelKeyObjIsLive(cache[1])) {
            copy = cache[1];
            continue;
        }
        std::size_t length = 0;
        const std::uint8_t *packet = qelKeyObjRawPacket(source, &length);
        if (packet == nullptr) {
            QELKeyDB *from = qelKeyObjKeyDB(source);
            return from != nullptr && from->lastError != 0 ? from->lastError : QELError_BadPacketFormat;
        }
        QELStatus status = QELError_NoErr;
        QELKeyObject *added = qelKeyDBAddPacket(packet, length, db, copy, true, &status);
        if (added == nullptr)
            return status != QELError_NoErr ? status
                   : db->lastError != QELError_NoErr ? db->lastError
                                                     : QELError_BadPacketFormat;
        qelKeyObjMergeState(source, added);
        if (level < 2) {
            cache[0] = source;
            cache[1] = added;
        }
        copy = added;
    }
    qelKeyDBMarkChanged(db, false);
    if (outCopy != nullptr)
        *outCopy = copy;
    return QELError_NoErr;
}

QELStatus qelKeyDBCopyObject(QELKeyDB *db, QELKeyObject *object, QELKeyObject **outCopy)
{
    if (outCopy != nullptr)
        *outCopy = nullptr;
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    if (qelKeyDBIsRemote(db))
        return qelKeysService().keyDBCopyObject(db, object, outCopy);
    return qelKeyDBCopyObjectLocal(db, object, outCopy);
}

// ---- adding sets and objects ----------------------------------------------------------------

QELStatus qelKeyDBAddKeySetLocal(QELKeySet *set, QELKeyDB *db, QELKeySet **outSet)
{
    if (outSet != nullptr)
        *outSet = nullptr;
    if (!qelKeySetIsValid(set) || !qelKeyDBIsValid(db))
        return QELError_BadParams;
    if (qelKeyDBIsRemote(db)) // a mirrored destination takes the set through the service
        return qelKeysService().keyDBAddKeySet(set, db, outSet);
    std::fill(std::begin(db->copyCache), std::end(db->copyCache), nullptr);
    bool hadKeys = false;
    for (QELKeyObject *k = db->firstKey; k != nullptr && !hadKeys; k = k->next)
        hadKeys = qelKeyObjIsLive(k) && qelKeyObjType(k) == QELObjectType_Key;
    QELKeySet *collected = nullptr;
    if (outSet != nullptr && hadKeys)
        if (QELStatus s = qelEnumeratedSetNewEmpty(db, &collected); s != QELError_NoErr)
            return s;
    QELKeyIter *iter = nullptr;
    QELStatus status = qelKeyIterNewOnSet(set, &iter);
    while (status == QELError_NoErr) {
        QELKeyObject *object = nullptr;
        status = qelKeyIterNextObject(iter, &object);
        if (status != QELError_NoErr || object == nullptr)
            break;
        QELKeyObject *copy = nullptr;
        status = qelKeyDBCopyObjectLocal(db, object, &copy);
        if (status == QELError_NoErr && collected != nullptr) {
            QELKeySet *one = nullptr;
            status = qelEnumeratedSetFromObject(copy, &one);
            if (status == QELError_NoErr) {
                status = qelKeySetAddSet(one, collected);
                qelKeySetReleaseInternal(one, false);
            }
        }
    }
    if (status == QELError_EndOfIteration)
        status = QELError_NoErr;
    if (iter != nullptr)
        static_cast<void>(qelKeyIterFree(iter)); // our own iterator
    qelKeyDBMarkChanged(db, true);
    if (status != QELError_NoErr) {
        if (collected != nullptr)
            qelKeySetReleaseInternal(collected, false);
        return status;
    }
    if (outSet == nullptr)
        return QELError_NoErr;
    if (collected != nullptr) {
        *outSet = collected;
        return QELError_NoErr;
    }
    *outSet = qelKeyDBNewRootSet(db);
    return *outSet != nullptr ? QELError_NoErr : QELError_OutOfMemory;
}

QELStatus qelKeyDBAddKeySet(QELKeySet *set, QELKeyDB *db, QELKeySet **outSet)
{
    if (!qelKeySetIsValid(set) || !qelKeyDBIsValid(db)) {
        if (outSet != nullptr)
            *outSet = nullptr;
        return QELError_BadParams;
    }
    QEL_ENTER(outSet);
    return qelKeyDBAddKeySetLocal(set, db, outSet);
}

QELStatus qelKeyDBAddObject(QELKeyObject *object, QELKeyDB *db, QELKeyObject **outKey)
{
    QEL_ENTER(outKey);
    if (!qelKeyObjIsValid(object) || !qelKeyObjIsLive(object) || !qelKeyDBIsValid(db))
        return QELError_BadParams;
    QELKeySet *one = nullptr;
    if (QELStatus s = qelEnumeratedSetFromObject(object, &one); s != QELError_NoErr)
        return s;
    QELKeySet *result = nullptr;
    QELStatus s = qelKeyDBAddKeySetLocal(one, db, outKey != nullptr ? &result : nullptr);
    qelKeySetReleaseInternal(one, false);
    if (s != QELError_NoErr)
        return s;
    if (result != nullptr) {
        for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next)
            if (qelKeyObjIsLive(k) && qelKeyObjType(k) == QELObjectType_Key && qelKeySetHas(k, result)) {
                *outKey = k;
                break;
            }
        qelKeySetReleaseInternal(result, false);
    }
    return QELError_NoErr;
}

bool qelKeySetWholeKeys(QELKeySet *set)
{
    if (set == nullptr)
        return true;
    if (!qelKeySetIsValid(set))
        return false;
    for (QELKeyObject *k = set->db->firstKey; k != nullptr; k = k->next) {
        if (!qelKeyObjIsLive(k) || qelKeyObjType(k) != QELObjectType_Key || !qelKeySetHas(k, set))
            continue;
        for (QELKeyObject *c = k->firstChild; c != nullptr; c = c->next) {
            if (!qelKeyObjIsLive(c))
                continue;
            if (!qelKeySetHas(c, set))
                return false;
            for (QELKeyObject *g = c->firstChild; g != nullptr; g = g->next)
                if (qelKeyObjIsLive(g) && !qelKeySetHas(g, set))
                    return false;
        }
    }
    return true;
}

// ---- object IDs ------------------------------------------------------------------------------

QELStatus qelKeySetToObjectIDs(QELKeySet *set, std::uint64_t **outArray, std::size_t *outBytes)
{
    if (outArray != nullptr)
        *outArray = nullptr;
    if (outBytes != nullptr)
        *outBytes = 0;
    if (outArray == nullptr || outBytes == nullptr)
        return QELError_BadParams;
    if (set == nullptr)
        return QELError_NoErr;
    if (!qelKeySetIsValid(set))
        return QELError_BadParams;
    QELKeyDB *db = set->db;
    if (qelKeyDBIsRemote(db))
        return QELError_FeatureNotAvailable;
    std::vector<QELKeyObject *> keys;
    try {
        for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next)
            if (qelKeyObjIsLive(k) && qelKeyObjType(k) == QELObjectType_Key && qelKeySetHas(k, set))
                keys.push_back(k);
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    }
    std::stable_sort(keys.begin(), keys.end(), keyIDLess);
    if (keys.empty())
        return QELError_NoErr;
    auto *array = static_cast<std::uint64_t *>(qelContextMemAlloc(db->context, keys.size() * 8, 0));
    if (array == nullptr)
        return QELError_OutOfMemory;
    for (std::size_t i = 0; i < keys.size(); ++i)
        array[i] = idOf(keys[i]);
    *outArray = array;
    *outBytes = keys.size() * 8;
    return QELError_NoErr;
}

QELStatus qelKeySetToObjectIDsAndRelease(QELKeySet *set, std::uint64_t **outArray, std::size_t *outBytes)
{
    QELStatus s = qelKeySetToObjectIDs(set, outArray, outBytes);
    if (qelKeySetIsValid(set))
        qelKeySetReleaseInternal(set, false);
    return s;
}

QELStatus qelKeySetBuildFromObjectIDs(QELKeyDB *db, const std::uint64_t *array, std::size_t bytes,
                                      QELKeySet **outSet)
{
    if (outSet != nullptr)
        *outSet = nullptr;
    if (!qelKeyDBIsValid(db) || outSet == nullptr || (array == nullptr && bytes != 0))
        return QELError_BadParams;
    if (qelKeyDBIsRemote(db))
        return QELError_FeatureNotAvailable;
    // Local IDs are the objects themselves; only those this database holds
    // are taken.
    std::vector<QELKeyObject *> keys, others;
    try {
        std::unordered_set<std::uint64_t> wanted(array, array + bytes / 8);
        auto take = [&](QELKeyObject *o) {
            if (qelKeyObjIsLive(o) && wanted.erase(idOf(o)) != 0)
                (qelKeyObjType(o) == QELObjectType_Key ? keys : others).push_back(o);
        };
        for (QELKeyObject *k = db->firstKey; k != nullptr && !wanted.empty(); k = k->next) {
            take(k);
            for (QELKeyObject *c = k->firstChild; c != nullptr; c = c->next) {
                take(c);
                for (QELKeyObject *g = c->firstChild; g != nullptr; g = g->next)
                    take(g);
            }
        }
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    }
    QELKeySet *set = nullptr;
    QELStatus s = keys.empty() ? qelEnumeratedSetNewEmpty(db, &set)
                               : qelEnumeratedSetFromKeys(db, keys.data(), std::uint32_t(keys.size()), &set);
    std::stable_sort(others.begin(), others.end(), keyIDLess);
    for (std::size_t i = 0; s == QELError_NoErr && i < others.size(); ++i) {
        QELKeySet *one = nullptr;
        s = qelEnumeratedSetFromSingle(others[i], &one);
        if (s == QELError_NoErr) {
            s = qelKeySetAddSet(one, set);
            qelKeySetReleaseInternal(one, false);
        }
    }
    if (s != QELError_NoErr) {
        if (set != nullptr)
            qelKeySetReleaseInternal(set, false);
        return s;
    }
    *outSet = set;
    return QELError_NoErr;
}

QELStatus qelKeySetFromObjectIDs(QELKeyDB *db, std::uint64_t *array, std::size_t bytes, QELKeySet **outSet)
{
    QELStatus s = qelKeySetBuildFromObjectIDs(db, array, bytes, outSet);
    if (array != nullptr && qelKeyDBIsValid(db))
        static_cast<void>(qelContextMemFree(db->context, array)); // the caller handed it over
    return s;
}

void qelKeySetMarkNotLoadedAndRelease(QELKeySet *set)
{
    if (!qelKeySetIsValid(set))
        return;
    for (QELKeyObject *k = set->db->firstKey; k != nullptr; k = k->next)
        if (qelKeyObjType(k) == QELObjectType_Key && qelKeySetHas(k, set))
            qelKeyObjMarkNotLoaded(k, true);
    qelKeySetReleaseInternal(set, false);
}

// ---- change tracking ---------------------------------------------------------------------------

QELStatus qelKeyDBRefresh(QELKeyDB *db, std::uint8_t *outChanged)
{
    QEL_ENTER(outChanged);
    if (!qelKeyDBIsValid(db) || !qelKeyDBIsRemote(db))
        return QELError_BadParams; // only a mirrored database has changes to take
    return qelKeysService().keyDBTakeClientChanges(db, outChanged);
}

QELStatus qelKeyDBRefetchAll(QELKeyDB *db)
{
    if (!qelKeyDBIsValid(db) || !qelKeyDBIsRemote(db))
        return QELError_BadParams;
    return qelKeysService().keyDBFetchAllKeys(db);
}

void qelKeyDBNoteRemoteChange()
{
    qelContextForEach(
        [](QELContext *context, void *) {
            if (qelContextGetPendingNotify(context) == 0) {
                qelContextSetPendingNotify(context, 1);
                g_pendingContexts.fetch_add(1);
            }
        },
        nullptr);
}

void qelKeyDBApplyRemoteChanges()
{
    if (g_pendingContexts.load() <= 0)
        return;
    // Every context with a pending notification is visited (one whose byte
    // is clear does not end the walk, or later ones would wait forever).
    qelContextForEach(
        [](QELContext *context, void *) {
            if (qelContextGetPendingNotify(context) == 0)
                return;
            g_pendingContexts.fetch_sub(1);
            qelContextSetPendingNotify(context, 0);
            // Each database would take its client's changes from the service;
            // without a service client there is nothing to take.
        },
        nullptr);
}

// ---- per-client change records (service side) ------------------------------------------------

struct QELClientChanges {
    QELClientChanges *next;
    void *client;
    QELKeySet *changedKeys; // keys whose trees the client fetches again
    QELKeySet *refetch;     // objects whose information it fetches again
};

namespace {

QELClientChanges *recordsOf(QELKeyDB *db) { return static_cast<QELClientChanges *>(db->changeRecords); }

QELClientChanges *recordOf(QELKeyDB *db, void *client)
{
    for (QELClientChanges *r = recordsOf(db); r != nullptr; r = r->next)
        if (r->client == client)
            return r;
    return nullptr;
}

// Two fresh pending sets; on failure the record keeps its old ones.
QELStatus freshSets(QELKeyDB *db, QELClientChanges *r)
{
    QELKeySet *changed = nullptr, *refetch = nullptr;
    QELStatus s = qelEnumeratedSetNewEmpty(db, &changed);
    if (s == QELError_NoErr)
        s = qelEnumeratedSetNewEmpty(db, &refetch);
    if (s != QELError_NoErr) {
        if (changed != nullptr)
            qelKeySetReleaseInternal(changed, false);
        return s;
    }
    if (r->changedKeys != nullptr)
        qelKeySetReleaseInternal(r->changedKeys, false);
    if (r->refetch != nullptr)
        qelKeySetReleaseInternal(r->refetch, false);
    r->changedKeys = changed;
    r->refetch = refetch;
    return QELError_NoErr;
}

// The database a note is about: the refetch set's, else the changed set's,
// else the refetch object's, else the changed key's.
QELKeyDB *noteDB(QELKeySet *refetchSet, QELKeyObject *refetchObject, QELKeySet *changedSet,
                 QELKeyObject *changedKey)
{
    if (qelKeySetIsValid(refetchSet))
        return refetchSet->db;
    if (qelKeySetIsValid(changedSet))
        return changedSet->db;
    if (qelKeyObjIsValid(refetchObject))
        return qelKeyObjKeyDB(refetchObject);
    if (qelKeyObjIsValid(changedKey))
        return qelKeyObjKeyDB(changedKey);
    return nullptr;
}

} // namespace

QELStatus qelKeyDBAddClientRecord(QELKeyDB *db, void *client)
{
    if (!qelKeyDBIsValid(db) || client == nullptr)
        return QELError_BadParams;
    if (recordOf(db, client) != nullptr)
        return QELError_NoErr;
    auto *r = static_cast<QELClientChanges *>(
        qelContextMemAlloc(db->context, sizeof(QELClientChanges), QELMemFlag_Clear));
    if (r == nullptr)
        return QELError_OutOfMemory;
    r->client = client;
    if (QELStatus s = freshSets(db, r); s != QELError_NoErr) {
        static_cast<void>(qelContextMemFree(db->context, r)); // never linked
        return s;
    }
    r->next = recordsOf(db);
    db->changeRecords = r;
    return QELError_NoErr;
}

void qelKeyDBFreeClientRecords(QELKeyDB *db)
{
    QELClientChanges *r = recordsOf(db);
    db->changeRecords = nullptr;
    while (r != nullptr) {
        QELClientChanges *next = r->next;
        qelKeySetReleaseInternal(r->changedKeys, true);
        qelKeySetReleaseInternal(r->refetch, true);
        static_cast<void>(qelContextMemFree(db->context, r)); // the record we made
        r = next;
    }
}

QELStatus qelKeyDBTakeClientChanges(QELKeyDB *db, QELKeySet *changedKeys, QELKeySet *refetch)
{
    if (!qelKeyDBIsValid(db) || !qelKeySetIsValid(changedKeys) || !qelKeySetIsValid(refetch))
        return QELError_BadParams;
    QELClientChanges *r = recordOf(db, qelContextGetClient(db->context));
    if (r == nullptr)
        return QELError_NoErr;
    // The pending sets are handed over only when both could be taken and new
    // ones made: a failure leaves the changes pending for the next take.
    QELStatus s = qelKeySetAddSet(r->changedKeys, changedKeys);
    if (s == QELError_NoErr)
        s = qelKeySetAddSet(r->refetch, refetch);
    if (s == QELError_NoErr)
        s = freshSets(db, r);
    return s;
}

QELStatus qelKeyDBNoteChangeForOtherClients(QELKeySet *refetchSet, QELKeyObject *refetchObject,
                                            QELKeySet *changedSet, QELKeyObject *changedKey)
{
    QELKeyDB *db = noteDB(refetchSet, refetchObject, changedSet, changedKey);
    if (db == nullptr)
        return QELError_NoErr;
    void *served = qelContextGetClient(db->context);
    for (QELClientChanges *r = recordsOf(db); r != nullptr; r = r->next) {
        if (r->client == served)
            continue;
        QELStatus s = QELError_NoErr;
        if (qelKeySetIsValid(refetchSet))
            s = qelKeySetAddSet(refetchSet, r->refetch);
        if (s == QELError_NoErr && qelKeyObjIsValid(refetchObject))
            s = qelKeySetAddObject(refetchObject, r->refetch);
        if (s == QELError_NoErr && qelKeySetIsValid(changedSet))
            s = qelKeySetAddSet(changedSet, r->changedKeys);
        if (s == QELError_NoErr && qelKeyObjIsValid(changedKey))
            s = qelKeySetAddObject(changedKey, r->changedKeys);
        if (s != QELError_NoErr)
            return s;
    }
    return QELError_NoErr;
}
