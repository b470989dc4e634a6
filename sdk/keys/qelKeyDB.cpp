// Key databases: records and their life, ring files, keep-alive and closing
// by the housekeeping thread, and commit. Commit writes every ring to a new
// file beside it, flushes it to disk and renames it over the old one, so a
// failure at any step leaves the old rings whole (qelKeyRingFiles.cpp).
//
// Counts, holds, keep-alive state and the context's list of databases change
// under qelKeyDBLock(), which the housekeeping pass takes too; it closes only
// databases that nobody references or holds.
#include "qelKeyDBInternal.h"

#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelFileOpenInternal.h"
#include "qelFileSpecInternal.h"
#include "qelHelpers.h"
#include "qelEnumeratedSetInternal.h"
#include "qelKeyDBChangeInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelMemoryInternal.h"
#include "qelKeySigInternal.h"
#include "qelSeams.h"
#include "qelTimeDateInternal.h"
#include "qelTrustPropInternal.h"
#include "qelWipe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kGate = "qelKeyDB";
using u8 = std::uint8_t;
using Lock = std::lock_guard<std::recursive_mutex>;

QELStatus initTrees(QELKeyDB *db)
{
    QELMemoryMgr *poolMgr = qelMemPoolMemoryMgr(&db->objectPool);
    if (poolMgr == nullptr || qelAVLCreate(poolMgr, &db->objectIDMap) != 0)
        return QELError_OutOfMemory;
    return QELError_NoErr;
}

void closeFile(QELFileObject *&file)
{
    if (file != nullptr)
        static_cast<void>(file->close(file)); // nothing to flush on a read object
    file = nullptr;
}

void unlinkFromContext(QELKeyDB *db)
{
    QELContext *context = db->context;
    QELKeyDB *head = qelContextGetKeyDBList(context);
    if (head == db) {
        qelContextSetKeyDBList(context, db->next);
    } else {
        for (QELKeyDB *p = head; p != nullptr; p = p->next)
            if (p->next == db) {
                p->next = db->next;
                break;
            }
    }
    db->next = nullptr;
}

// The rings go: out of the registry, their locks released.
void letRingsGo(QELKeyDB *db)
{
    qelRingRegistryRemove(db->publicRing, db);
    qelRingRegistryRemove(db->secretRing, db);
    db->publicRing = {};
    db->secretRing = {};
    closeFile(db->publicFile);
    closeFile(db->secretFile);
}

// The record itself, once closed and held by nobody.
void freeRecord(QELKeyDB *db)
{
    if (db->rootSet != nullptr)
        qelKeySetReleaseInternal(db->rootSet, true);
    db->rootSet = nullptr;
    db->magic = 0;
    static_cast<void>(qelContextMemFree(db->context, db)); // the record we made
}

// Closes the database (the caller holds the lock): the rings, the keys and
// the pools go; key sets, lists, iterators and operation contexts still made
// on it keep the record and answer QELError_NoKeyDB.
void closeDB(QELKeyDB *db)
{
    letRingsGo(db);
    if (db->publicSpec) static_cast<void>(qelFileSpecFree(db->publicSpec)); // our copy
    if (db->secretSpec) static_cast<void>(qelFileSpecFree(db->secretSpec)); // our copy
    db->publicSpec = db->secretSpec = nullptr;
    qelKeyDBFreeClientRecords(db); // their sets, before the objects go
    qelKeyDBFreeSigRegexes(db);
    qelKeyIDIndexFree(db);
    qelMemPoolFreeAll(&db->objectPool);
    qelMemPoolFreeAll(&db->pool2);
    qelMemPoolFreeAll(&db->trustPool);
    qelMemPoolFreeAll(&db->pool4);
    db->firstKey = db->lastKey = nullptr;
    std::memset(db->copyCache, 0, sizeof db->copyCache);
    db->objectIDMap = nullptr; // lived in the object pool
    unlinkFromContext(db);
    db->closed = 1;
    db->writable = 0;
    if (db->holds <= 0)
        freeRecord(db);
}

bool timeBefore(std::uint32_t a, std::uint32_t b) { return a < b; }

// The commit that closing a database needs first (none when it cannot be
// written or is unchanged).
QELStatus commitBeforeClose(QELKeyDB *db)
{
    return db->writable && db->serviceRef == 0 ? qelKeyDBFlush(db) : QELError_NoErr;
}

} // namespace

// ---- records --------------------------------------------------------------------------

QELStatus qelKeyDBInit(QELContext *context, QELKeyDB *db)
{
    db->magic = QELKeyDBMagic;
    db->context = context;
    db->refCount = 1;
    qelMemPoolInit(context, &db->objectPool);
    qelMemPoolInit(context, &db->pool2);
    qelMemPoolInit(context, &db->trustPool);
    qelMemPoolInit(context, &db->pool4);
    QELStatus s = initTrees(db);
    if (s != 0) {
        qelMemPoolFreeAll(&db->objectPool);
        return s;
    }
    db->rootSet = qelKeyDBNewRootSet(db);
    if (db->rootSet == nullptr) {
        qelMemPoolFreeAll(&db->objectPool);
        return QELError_Unavailable;
    }
    // The root set belongs to the record: it holds nothing.
    db->holds = 0;
    Lock lock(qelKeyDBLock());
    db->next = qelContextGetKeyDBList(context);
    qelContextSetKeyDBList(context, db);
    return QELError_NoErr;
}

namespace {
QELKeyDB *newRecord(QELContext *context, QELStatus *outStatus)
{
    auto *db = static_cast<QELKeyDB *>(qelContextMemAlloc(context, sizeof(QELKeyDB), QELMemFlag_Clear));
    if (db == nullptr) {
        *outStatus = QELError_OutOfMemory;
        return nullptr;
    }
    QELStatus s = qelKeyDBInit(context, db);
    if (s != 0) {
        static_cast<void>(qelContextMemFree(context, db)); // never linked
        *outStatus = s;
        return nullptr;
    }
    *outStatus = QELError_NoErr;
    return db;
}

// A database that failed while it was being made: nobody has seen it.
void discard(QELKeyDB *db)
{
    Lock lock(qelKeyDBLock());
    closeDB(db);
}
} // namespace

QELStatus qelKeyDBNewInMemoryLocal(QELContext *context, QELKeyDB **outDB)
{
    if (outDB == nullptr)
        return QELError_BadParams;
    QELStatus s = 0;
    *outDB = newRecord(context, &s);
    return s;
}

QELKeyDB *qelKeyDBReadBuffer(QELContext *context, const void *bytes, std::size_t length,
                             QELStatus *outStatus)
{
    QELStatus local = 0;
    QELStatus &status = outStatus ? *outStatus : local;
    if (!qelContextIsValid(context) || (bytes == nullptr && length != 0)) {
        status = QELError_BadParams;
        return nullptr;
    }
    QELKeyDB *db = newRecord(context, &status);
    if (db == nullptr)
        return nullptr;
    db->publicFile = qelFileObjOpenMemory(context, bytes, length);
    if (db->publicFile == nullptr) {
        discard(db);
        status = QELError_OutOfMemory;
        return nullptr;
    }
    status = qelKeyRingRead(db, db->publicFile, false);
    if (status != 0) {
        discard(db);
        return nullptr;
    }
    return db;
}

namespace {

struct OpenedRing {
    std::FILE *stream = nullptr;
    bool writable = false;
    QELRingIdentity id{};
    ~OpenedRing()
    {
        if (stream != nullptr)
            std::fclose(stream);
    }
};

// Opens one ring (unlocked: the registry is asked first) with its fallbacks.
QELStatus openRing(const QELFileSpec *spec, int kind, std::uint32_t flags, OpenedRing &out)
{
    bool readOnly = (flags & QELKeyDBOpen_ReadOnly) && !(flags & QELKeyDBOpen_Writable);
    std::uint16_t mode = std::uint16_t(readOnly ? QELOpen_Read : QELOpen_Read | QELOpen_Write);
    QELStatus s = qelFileSpecOpenFile(spec, mode, kind, &out.stream);
    if (s == QELError_FileNotFound && (flags & QELKeyDBOpen_Create)) {
        s = qelFileSpecCreateExclusive(spec, kind);
        if (s != 0)
            return s;
        s = qelFileSpecOpenFile(spec, mode, kind, &out.stream);
    }
    if (s == QELError_FilePermissions && !(flags & QELKeyDBOpen_Writable) && !readOnly) {
        mode = QELOpen_Read;
        s = qelFileSpecOpenFile(spec, mode, kind, &out.stream);
    }
    if (s != 0)
        return s;
    out.writable = (mode & QELOpen_Write) != 0;
    return qelRingIdentityOf(out.stream, &out.id);
}

// The open database of these rings, if any: one of this context over the
// same pair is shared; one of another context, or over only one of them,
// refuses the open, so that no ring is ever locked twice.
QELStatus findOpen(QELContext *context, const OpenedRing &pub, const OpenedRing *sec, QELKeyDB **outDB)
{
    *outDB = nullptr;
    QELKeyDB *owner = nullptr;
    for (const OpenedRing *r : {&pub, sec}) {
        if (r == nullptr)
            continue;
        QELContext *ownerContext = nullptr;
        QELKeyDB *db = qelRingRegistryFind(r->id, &ownerContext);
        if (db == nullptr)
            continue;
        if (ownerContext != context || (owner != nullptr && owner != db))
            return QELError_FileLocked;
        owner = db;
    }
    if (owner == nullptr)
        return QELError_NoErr;
    const bool samePair = qelRingSameFile(owner->publicRing, pub.id) &&
                          (sec != nullptr ? qelRingSameFile(owner->secretRing, sec->id)
                                          : owner->secretSpec == nullptr);
    if (!samePair)
        return QELError_FileLocked;
    *outDB = owner;
    return QELError_NoErr;
}

} // namespace

QELKeyDB *qelKeyDBOpenRingFiles(QELContext *context, const QELFileSpec *publicSpec,
                                const QELFileSpec *secretSpec, std::uint32_t flags,
                                QELStatus *outStatus)
{
    QELStatus local = 0;
    QELStatus &status = outStatus ? *outStatus : local;
    if (!qelContextIsValid(context) || !qelFileSpecIsValid(publicSpec) ||
        (secretSpec != nullptr && !qelFileSpecIsValid(secretSpec))) {
        status = QELError_BadParams;
        return nullptr;
    }
    Lock lock(qelKeyDBLock());
    // A commit that stopped between its renames is settled before anything
    // reads the rings.
    if ((status = qelRingRecover(publicSpec, secretSpec)) != QELError_NoErr)
        return nullptr;
    OpenedRing pub, sec;
    if (secretSpec != nullptr && (status = openRing(secretSpec, QELFileClass_SecretRing, flags, sec)) != 0)
        return nullptr;
    if ((status = openRing(publicSpec, QELFileClass_PublicRing, flags, pub)) != 0)
        return nullptr;
    QELKeyDB *shared = nullptr;
    if ((status = findOpen(context, pub, secretSpec ? &sec : nullptr, &shared)) != QELError_NoErr)
        return nullptr;
    if (shared != nullptr) {
        ++shared->refCount;
        if (shared->refCount < 1)
            shared->refCount = 1;
        if (flags & QELKeyDBOpen_Writable)
            shared->writable = 1;
        return shared;
    }
    for (OpenedRing *r : {&sec, &pub})
        if (r->stream != nullptr && (status = qelRingLock(r->stream, r->writable)) != QELError_NoErr)
            return nullptr;

    QELKeyDB *db = newRecord(context, &status);
    if (db == nullptr)
        return nullptr;
    auto fail = [&](QELStatus s) -> QELKeyDB * {
        discard(db);
        status = s;
        return nullptr;
    };
    if (qelFileSpecCopy(publicSpec, &db->publicSpec) != 0 ||
        (secretSpec != nullptr && qelFileSpecCopy(secretSpec, &db->secretSpec) != 0))
        return fail(QELError_OutOfMemory);
    db->openFlags = flags;
    struct Ring { OpenedRing *opened; QELFileObject **file; QELRingIdentity *id; };
    const Ring rings[2] = {{&sec, &db->secretFile, &db->secretRing}, {&pub, &db->publicFile, &db->publicRing}};
    for (const Ring &r : rings) {
        if (r.opened->stream == nullptr)
            continue;
        *r.file = qelFileObjOpenRead(context, r.opened->stream);
        if (*r.file == nullptr)
            return fail(QELError_OutOfMemory);
        r.opened->stream = nullptr; // the file object owns it now
        *r.id = r.opened->id;
        if (QELStatus s = qelRingRegistryAdd(*r.id, db, context); s != QELError_NoErr)
            return fail(s);
    }
    for (const Ring &r : rings) {
        if (*r.file == nullptr)
            continue;
        QELStatus s = qelKeyRingRead(db, *r.file, true);
        if (s != 0)
            return fail(s);
    }
    QELStatus s = qelKeyDBApplyTrustSigs(db);
    if (s != 0)
        return fail(s);
    if (flags & QELKeyDBOpen_Writable)
        db->writable = 1;
    status = QELError_NoErr;
    return db;
}

QELStatus qelKeyDBSetKeepAliveLocal(QELKeyDB *db, std::uint32_t seconds)
{
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    Lock lock(qelKeyDBLock());
    db->keepAlive = 1;
    std::uint64_t deadline = std::uint64_t(qelTimeDateNow()) + seconds;
    db->keepAliveDeadline = deadline > 0xFFFFFFFFu ? 0xFFFFFFFFu : std::uint32_t(deadline);
    return QELError_NoErr;
}

// A release whose commit fails keeps the database open with its edits and
// answers the failure, so that the caller can commit again; the release
// after that closes it whatever its commit says.
QELStatus qelKeyDBReleaseLocal(QELKeyDB *db)
{
    if (!qelKeyDBIsValid(db) || db->closed)
        return QELError_BadParams;
    // The caller's reference keeps the housekeeping pass away meanwhile.
    const QELStatus commit = commitBeforeClose(db);
    Lock lock(qelKeyDBLock());
    if (db->refCount > 1 || (db->keepAlive && timeBefore(qelTimeDateNow(), db->keepAliveDeadline))) {
        --db->refCount;
        return commit;
    }
    if (commit != QELError_NoErr && !db->releaseFailed) {
        db->releaseFailed = 1;
        return commit;
    }
    closeDB(db);
    return commit;
}

void qelKeyDBReleaseQuietly(QELKeyDB *db)
{
    if (!qelKeyDBIsValid(db) || db->closed)
        return;
    const QELStatus commit = commitBeforeClose(db);
    Lock lock(qelKeyDBLock());
    if (commit != QELError_NoErr) {
        // Nobody to tell: the database stays with its edits, unreferenced,
        // and the housekeeping pass (or a close of unreferenced databases)
        // commits it later.
        db->lastError = commit;
        --db->refCount;
        return;
    }
    if (db->refCount > 1 || (db->keepAlive && timeBefore(qelTimeDateNow(), db->keepAliveDeadline)))
        --db->refCount;
    else
        closeDB(db);
}

QELStatus qelKeyDBFlush(QELKeyDB *db)
{
    if (db->serviceRef != 0)
        return qelKeysService().keyDBCommit(db);
    return qelKeyDBCommitLocal(db, nullptr);
}

// ---- commit ------------------------------------------------------------------------------

namespace {

QELStatus writeObject(QELKeyObject *o, bool hasSecret, QELNewRing *secret, QELNewRing &pub)
{
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(o, &length);
    if (packet == nullptr)
        return QELError_NoErr;
    // A packet kept as read goes back as read, to the ring it came from.
    if (qelKeyObjIsOpaque(o)) {
        QELNewRing *ring = qelKeyObjIsFromSecretRing(o) ? secret : &pub;
        return ring != nullptr ? ring->write(packet, length) : QELError_NoErr;
    }
    bool toSecret = hasSecret && secret != nullptr;
    if (toSecret) {
        QELStatus s = secret->write(packet, length);
        if (s != 0)
            return s;
    }
    int type = qelKeyObjType(o);
    u8 *publicForm = nullptr;
    if ((type == QELObjectType_Key || type == QELObjectType_SubKey) && qelKeyObjIsSecret(o)) {
        std::size_t publicLength = 0;
        publicForm = qelKeyObjPublicPacket(o, &publicLength);
        if (publicForm == nullptr)
            return QELError_OutOfMemory;
        packet = publicForm;
        length = publicLength;
    }
    QELStatus s = pub.write(packet, length);
    if (publicForm != nullptr)
        static_cast<void>(qelContextMemFree(qelKeyObjContext(o), publicForm)); // our block
    if (s != 0)
        return s;
    u8 trust[5] = {0xB0, 1, 0, 0, 0};
    switch (type) {
    case QELObjectType_Key: case QELObjectType_SubKey: trust[2] = qelKeyObjKeyInfo(o)->trust; break;
    case QELObjectType_UserID: {
        QELUserIDInfo *ui = qelKeyObjUserIDInfo(o);
        trust[1] = 3;
        trust[2] = ui->nameTrust;
        trust[3] = ui->validity;
        trust[4] = ui->ownerTrust;
        break;
    }
    case QELObjectType_Signature: {
        QELSigInfo *si = qelKeyObjSigInfo(o);
        auto *parent = static_cast<QELKeyObject *>(o->parent);
        int pt = qelKeyObjType(parent);
        if (si->type == 0x20 && (pt == QELObjectType_Key || pt == QELObjectType_SubKey) &&
            si->signer == parent)
            return QELError_NoErr; // a self-made key revocation carries no trust packet
        trust[2] = si->state;
        break;
    }
    case QELObjectType_CRL: trust[2] = qelKeyObjCRLInfo(o)->state; break;
    default: trust[2] = qelKeyObjOtherInfo(o)->trust; break;
    }
    std::size_t n = std::size_t(2) + trust[1];
    if (toSecret && (s = secret->write(trust, n)) != 0)
        return s;
    return pub.write(trust, n);
}

// A signature superseded by a newer one of its signer stays: it is the
// user's packet (GnuPG keeps and lists it), and dropping it would lose it.
bool skipOnCommit(QELKeyObject *o)
{
    return qelKeyObjType(o) == QELObjectType_CRL && !qelCRLIsCurrent(o);
}

QELStatus writeRings(QELKeyDB *db, QELNewRing *secret, QELNewRing &pub)
{
    for (QELKeyObject *k = db->firstKey; k; k = k->next) {
        const bool kept = qelKeyObjIsOpaque(k) && !qelKeyObjIsDeleted(k);
        if (!(qelKeyObjIsLive(k) || kept) || qelKeyObjType(k) != QELObjectType_Key)
            continue;
        bool hasSecret = qelKeyObjIsSecret(k);
        QELStatus s = writeObject(k, hasSecret, secret, pub);
        for (QELKeyObject *c = k->firstChild; s == 0 && c; c = c->next) {
            if (!qelKeyObjIsLive(c) || skipOnCommit(c))
                continue;
            s = writeObject(c, hasSecret, secret, pub);
            for (QELKeyObject *g = c->firstChild; s == 0 && g; g = g->next)
                if (qelKeyObjIsLive(g) && !skipOnCommit(g))
                    s = writeObject(g, hasSecret, secret, pub);
        }
        if (s != 0)
            return s;
    }
    return QELError_NoErr;
}


} // namespace

QELStatus qelKeyDBCommitLocal(QELKeyDB *db, QELKeySet *changed)
{
    if (!qelKeyDBIsValid(db) || db->closed)
        return QELError_BadParams;
    if (!db->writable || db->publicSpec == nullptr)
        return QELError_KeyDBNotWritable;
    if (!db->changed)
        return QELError_NoErr;
    QELStatus s = qelKeySigCheckSetWithProgress(db->rootSet, nullptr, false, nullptr, nullptr, changed);
    if (s == 0)
        s = qelTrustPropagateLocal(db->rootSet, nullptr, qelTrustNow(), changed);
    if (s != 0)
        return s;

    // Write both rings completely before either replaces its old file.
    QELNewRing secret, pub;
    QELNewRing *secretRing = db->secretSpec != nullptr ? &secret : nullptr;
    if (secretRing != nullptr && (s = secret.open(db->context, db->secretSpec)) != 0)
        return s;
    if ((s = pub.open(db->context, db->publicSpec)) != 0)
        return s;
    if ((s = writeRings(db, secretRing, pub)) != 0)
        return s;
    if (secretRing != nullptr && (s = secret.finish()) != 0)
        return s;
    if ((s = pub.finish()) != 0)
        return s;
    Lock lock(qelKeyDBLock());
    const QELStatus replaced = qelRingReplace(secretRing, pub, &db->secretRing, db->publicRing);
    if (replaced != QELError_NoErr && replaced != QELError_WriteFailed)
        return replaced;

    // The new files are the rings now, locked since they were made: hold
    // them instead of the old ones.
    letRingsGo(db);
    struct Ring { QELNewRing *made; QELFileObject **file; QELRingIdentity *id; };
    const Ring rings[2] = {{secretRing, &db->secretFile, &db->secretRing}, {&pub, &db->publicFile, &db->publicRing}};
    for (const Ring &r : rings) {
        if (r.made == nullptr)
            continue;
        std::FILE *stream = r.made->takeStream();
        if ((s = qelRingIdentityOf(stream, r.id)) != QELError_NoErr ||
            (s = qelRingRegistryAdd(*r.id, db, db->context)) != QELError_NoErr ||
            (*r.file = qelFileObjOpenRead(db->context, stream)) == nullptr) {
            if (*r.file == nullptr && stream != nullptr)
                std::fclose(stream);
            // The rings on disk are complete; without their lock the
            // database must not write them again.
            letRingsGo(db);
            db->writable = 0;
            return s != QELError_NoErr ? s : QELError_OutOfMemory;
        }
    }
    // Written but not yet durable: the next commit writes them again.
    if (replaced != QELError_NoErr)
        return replaced;
    db->changed = 0;
    db->releaseFailed = 0;
    return QELError_NoErr;
}

// ---- closing -------------------------------------------------------------------------------

namespace {

// Closes the unreferenced databases of the context that `due` picks; one
// whose commit fails stays open with its edits (its status is kept as the
// database's last error and returned) and is tried again on the next pass.
template <typename Due>
QELStatus closeUnreferenced(QELContext *context, Due due)
{
    Lock lock(qelKeyDBLock());
    QELStatus first = QELError_NoErr;
    QELKeyDB *db = qelContextGetKeyDBList(context);
    while (db != nullptr) {
        QELKeyDB *next = db->next;
        if (db->refCount <= 0 && db->holds <= 0 && due(db)) {
            const QELStatus s = commitBeforeClose(db);
            if (s == QELError_NoErr) {
                closeDB(db);
            } else {
                db->lastError = s;
                if (first == QELError_NoErr)
                    first = s;
            }
        }
        db = next;
    }
    return first;
}

} // namespace

QELStatus qelKeyDBCloseUnreferencedLocal(QELContext *context)
{
    return closeUnreferenced(context, [](QELKeyDB *db) {
        db->keepAlive = 0;
        return true;
    });
}

void qelKeyDBCloseExpired(QELContext *context)
{
    const std::uint32_t now = qelTimeDateNow();
    // A failed commit stays with the database (its last error) and is tried
    // again on the next pass.
    static_cast<void>(closeUnreferenced(context, [now](QELKeyDB *db) {
        return !db->keepAlive || !timeBefore(now, db->keepAliveDeadline);
    }));
}

void qelKeyDBContextGone(QELContext *context)
{
    Lock lock(qelKeyDBLock());
    for (QELKeyDB *db = qelContextGetKeyDBList(context); db != nullptr; db = db->next)
        letRingsGo(db);
}

void qelKeyDBMarkChanged(QELKeyDB *db, bool refreshLists)
{
    db->changed = 1;
    if (refreshLists)
        qelKeySetResortLists(db);
}

void qelKeyDBAddRefInternal(QELKeyDB *db)
{
    Lock lock(qelKeyDBLock());
    ++db->refCount;
}

void qelKeyDBHold(QELKeyDB *db)
{
    if (db == nullptr)
        return;
    Lock lock(qelKeyDBLock());
    ++db->holds;
}

void qelKeyDBUnhold(QELKeyDB *db)
{
    if (db == nullptr)
        return;
    Lock lock(qelKeyDBLock());
    if (--db->holds <= 0 && db->closed)
        freeRecord(db);
}

bool qelKeyDBIsOpen(const QELKeyDB *db) { return qelKeyDBIsValid(db) && !db->closed; }

QELKeyDB *qelKeyDBNext(QELKeyDB *db) { return db ? db->next : nullptr; }
bool qelKeyDBIsValid(const void *db) { return db != nullptr && *static_cast<const std::uint32_t *>(db) == QELKeyDBMagic; }
QELKeySet *qelKeyDBRootSet(QELKeyDB *db) { return qelKeyDBIsValid(db) ? db->rootSet : nullptr; }
bool qelKeyDBIsRemote(const QELKeyDB *db) { return db->serviceRef != 0; }
bool qelKeyDBIsChanged(const QELKeyDB *db) { return db->changed != 0; }
bool qelKeyDBHasPublicRing(const QELKeyDB *db) { return db->publicFile != nullptr; }
QELStatus qelKeyDBGetLastError(const QELKeyDB *db) { return db->lastError; }
void qelKeyDBSetLastError(QELKeyDB *db, QELStatus status) { db->lastError = status; }
QELContext *qelKeyDBContext(const QELKeyDB *db) { return qelKeyDBIsValid(db) ? db->context : nullptr; }

// ---- public operations ----------------------------------------------------------------------
QELStatus qelKeyDBNewInMemory(QELContext *context, QELKeyDB **outDB)
{
    QEL_ENTER(outDB);
    if (outDB == nullptr || !qelContextIsValid(context))
        return QELError_BadParams;
    if (qelServiceConnected())
        return qelKeysService().keyDBNewInMemory(context, outDB);
    return qelKeyDBNewInMemoryLocal(context, outDB);
}

QELStatus qelKeyDBAddRef(QELKeyDB *db)
{
    QEL_ENTER();
    if (!qelKeyDBIsOpen(db))
        return QELError_BadParams;
    qelKeyDBAddRefInternal(db);
    return QELError_NoErr;
}

QELStatus qelKeyDBRelease(QELKeyDB *db)
{
    QEL_ENTER();
    if (!qelKeyDBIsOpen(db))
        return QELError_BadParams;
    if (db->serviceRef != 0)
        return qelKeysService().keyDBRelease(db);
    return qelKeyDBReleaseLocal(db);
}

QELKeySet *qelKeyDBGetRootSet(QELKeyDB *db)
{
    if (qelAPIGate(kGate, __LINE__) != 0 || !qelKeyDBIsOpen(db))
        return nullptr;
    return db->rootSet;
}

std::uint8_t qelKeyDBIsWritable(QELKeyDB *db)
{
    if (qelAPIGate(kGate, __LINE__) != 0 || !qelKeyDBIsOpen(db))
        return 0;
    return db->writable;
}

QELStatus qelKeyDBCountKeys(QELKeyDB *db, std::uint32_t *outCount)
{
    QEL_ENTER(outCount);
    if (!qelKeyDBIsOpen(db) || outCount == nullptr)
        return QELError_BadParams;
    std::uint32_t n = 0;
    for (QELKeyObject *k = db->firstKey; k; k = k->next)
        if (qelKeyObjIsLive(k) && qelKeyObjType(k) == QELObjectType_Key)
            ++n;
    *outCount = n;
    return QELError_NoErr;
}

QELStatus qelKeyDBSetKeepAlive(QELKeyDB *db, std::uint32_t seconds)
{
    QEL_ENTER();
    if (!qelKeyDBIsOpen(db))
        return QELError_BadParams;
    if (qelServiceConnected())
        return qelKeysService().keyDBSetKeepAlive(db, seconds);
    return qelKeyDBSetKeepAliveLocal(db, seconds);
}

QELStatus qelKeyDBCommit(QELKeyDB *db)
{
    QEL_ENTER();
    if (!qelKeyDBIsOpen(db))
        return QELError_BadParams;
    return qelKeyDBFlush(db);
}

QELStatus qelKeyDBCloseUnreferenced(QELContext *context)
{
    QEL_ENTER();
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    if (qelServiceConnected())
        return qelKeysService().keyDBCloseUnreferenced(context);
    return qelKeyDBCloseUnreferencedLocal(context);
}

QELStatus qelKeyDBNewFilteredSet(QELKeyDB *db, QELKeyFilter *filter, QELKeySet **outSet)
{
    QEL_ENTER(outSet);
    if (!qelKeyDBIsOpen(db) || outSet == nullptr)
        return QELError_BadParams;
    return qelFilteredSetNew(db->rootSet, filter, outSet);
}
