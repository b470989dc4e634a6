// Key databases: records and their life, ring files, keep-alive and closing
// by the housekeeping thread, and commit. Commit writes every ring to a new
// file beside it, flushes it to disk and renames it over the old one, so a
// failure at any step leaves the old rings whole.
#include "qelKeyDBInternal.h"

#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelFileOpenInternal.h"
#include "qelFileSpecInternal.h"
#include "qelHelpers.h"
#include "qelEnumeratedSetInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySetInternal.h"
#include "qelMemoryInternal.h"
#include "qelRPCClientInternal.h"
#include "qelKeySigInternal.h"
#include "qelRPCDispatchInternal.h"
#include "qelSeams.h"
#include "qelTestHooks.h"
#include "qelTimeDateInternal.h"
#include "qelTrustPropInternal.h"
#include "qelWipe.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Counts down to a rename that fails; only tests set it.
int g_failRingRename = 0;
} // namespace

#ifdef QEL_TEST_HOOKS
void qelKeyDBFailRingRenameForTesting(int n)
{
    g_failRingRename = n;
}
#endif

namespace {

constexpr const char *kGate = "qelKeyDB";
using u8 = std::uint8_t;

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

void destroy(QELKeyDB *db)
{
    closeFile(db->publicFile);
    closeFile(db->secretFile);
    if (db->publicSpec) static_cast<void>(qelFileSpecFree(db->publicSpec)); // our copy
    if (db->secretSpec) static_cast<void>(qelFileSpecFree(db->secretSpec)); // our copy
    while (db->sets != nullptr)
        qelKeySetReleaseInternal(db->sets, true);
    db->rootSet = nullptr;
    qelKeyDBFreeSigRegexes(db);
    qelKeyIDIndexFree(db);
    qelMemPoolFreeAll(&db->objectPool);
    qelMemPoolFreeAll(&db->pool2);
    qelMemPoolFreeAll(&db->trustPool);
    qelMemPoolFreeAll(&db->pool4);
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
    db->magic = 0;
    static_cast<void>(qelContextMemFree(context, db)); // the record we made
}

bool timeBefore(std::uint32_t a, std::uint32_t b) { return a < b; }

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
        destroy(db);
        status = QELError_OutOfMemory;
        return nullptr;
    }
    status = qelKeyRingRead(db, db->publicFile, false);
    if (status != 0) {
        destroy(db);
        return nullptr;
    }
    return db;
}

namespace {

QELStatus openRing(const QELFileSpec *spec, int kind, std::uint32_t flags, std::FILE **out)
{
    bool readOnly = (flags & QELKeyDBOpen_ReadOnly) && !(flags & QELKeyDBOpen_Writable);
    std::uint16_t mode = std::uint16_t((readOnly ? QELOpen_Read : QELOpen_Read | QELOpen_Write) | QELOpen_Lock);
    QELStatus s = qelFileSpecOpenFile(spec, mode, kind, out);
    if (s == QELError_FileNotFound && (flags & QELKeyDBOpen_Create)) {
        s = qelFileSpecCreateExclusive(spec, kind);
        if (s != 0)
            return s;
        s = qelFileSpecOpenFile(spec, mode, kind, out);
    }
    if (s == QELError_FilePermissions && !(flags & QELKeyDBOpen_Writable) && !readOnly)
        s = qelFileSpecOpenFile(spec, QELOpen_Read | QELOpen_Lock, kind, out);
    return s;
}

bool sameSpec(const QELFileSpec *a, const QELFileSpec *b)
{
    if (a == nullptr || b == nullptr)
        return a == b;
    return qelFileSpecEqual(a, b);
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
    for (QELKeyDB *db = qelContextGetKeyDBList(context); db; db = db->next) {
        if (db->serviceRef != 0 || db->publicSpec == nullptr)
            continue;
        if (sameSpec(db->publicSpec, publicSpec) && sameSpec(db->secretSpec, secretSpec)) {
            ++db->refCount;
            if (db->refCount < 1)
                db->refCount = 1;
            if (flags & QELKeyDBOpen_Writable)
                db->writable = 1;
            status = QELError_NoErr;
            return db;
        }
    }
    QELKeyDB *db = newRecord(context, &status);
    if (db == nullptr)
        return nullptr;
    auto fail = [&](QELStatus s) -> QELKeyDB * {
        destroy(db);
        status = s;
        return nullptr;
    };
    if (qelFileSpecCopy(publicSpec, &db->publicSpec) != 0 ||
        (secretSpec != nullptr && qelFileSpecCopy(secretSpec, &db->secretSpec) != 0))
        return fail(QELError_OutOfMemory);
    db->openFlags = flags;
    struct Ring { const QELFileSpec *spec; int kind; QELFileObject **file; };
    const Ring rings[2] = {{secretSpec, QELFileClass_SecretRing, &db->secretFile},
                           {publicSpec, QELFileClass_PublicRing, &db->publicFile}};
    for (const Ring &r : rings) {
        if (r.spec == nullptr)
            continue;
        std::FILE *stream = nullptr;
        QELStatus s = openRing(r.spec, r.kind, flags, &stream);
        if (s != 0)
            return fail(s);
        *r.file = qelFileObjOpenRead(context, stream);
        if (*r.file == nullptr) {
            std::fclose(stream);
            return fail(QELError_OutOfMemory);
        }
    }
    for (const Ring &r : rings) {
        if (r.spec == nullptr)
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
    db->keepAlive = 1;
    std::uint64_t deadline = std::uint64_t(qelTimeDateNow()) + seconds;
    db->keepAliveDeadline = deadline > 0xFFFFFFFFu ? 0xFFFFFFFFu : std::uint32_t(deadline);
    return QELError_NoErr;
}

QELStatus qelKeyDBReleaseLocal(QELKeyDB *db)
{
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    QELStatus commit = QELError_NoErr;
    if (db->writable && db->serviceRef == 0)
        commit = qelKeyDBFlush(db);
    if (db->refCount > 1 || (db->keepAlive && timeBefore(qelTimeDateNow(), db->keepAliveDeadline))) {
        --db->refCount;
        return commit;
    }
    destroy(db);
    return commit;
}

QELStatus qelKeyDBFlush(QELKeyDB *db)
{
    if (db->serviceRef != 0)
        return qelKeyDBCommitDispatch(db);
    return qelKeyDBCommitLocal(db, nullptr);
}

// ---- commit ------------------------------------------------------------------------------

namespace {

constexpr std::size_t kWriteBuffer = QELMemMappedMin - QELMemBlockHeaderSize;

// One ring being rewritten: a new file beside the old one.
struct NewRing {
    QELContext *context = nullptr;
    char *path = nullptr;       // the ring's path (guarded block)
    std::string tempPath;
    std::FILE *stream = nullptr;
    QELFileObject *file = nullptr;
    // Packets gather here and go out in a few large writes instead of a
    // stream call per packet and a system call per few kilobytes. The block
    // is sized for the memory manager's huge pages; wiped before release.
    u8 *buffer = nullptr;
    std::size_t used = 0;
    std::size_t highWater = 0;

    ~NewRing()
    {
        // The file object leaves its stream open (it was made to keep it for
        // the final sync), so the stream is closed here in every case.
        if (file != nullptr)
            static_cast<void>(file->close(file)); // data already synced, or abandoned
        if (stream != nullptr)
            std::fclose(stream);
        if (buffer != nullptr) {
            qelSecureWipe(buffer, highWater);
            static_cast<void>(qelContextMemFree(context, buffer)); // our own block
        }
        if (!tempPath.empty())
            ::unlink(tempPath.c_str());
        if (path != nullptr)
            static_cast<void>(qelMemFree(path)); // our copy
    }

    QELStatus open(QELContext *ctx, const QELFileSpec *spec)
    {
        context = ctx;
        QELStatus s = qelFileSpecGetPath(spec, &path);
        if (s != 0)
            return s;
        std::string tmpl = std::string(path) + ".XXXXXX";
        int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd < 0)
            return errno == EACCES || errno == EROFS || errno == EPERM ? QELError_FilePermissions
                                                                       : QELError_CantOpenFile;
        tempPath = tmpl;
        struct stat st {};
        if (::stat(path, &st) == 0) {
            // Keep the ring's mode (and owner, where we may).
            if (::fchmod(fd, st.st_mode & 07777) != 0) {
                ::close(fd);
                return QELError_FileOpFailed;
            }
            if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
                // Only the owner is kept where the platform allows it.
            }
        }
        stream = ::fdopen(fd, "wb");
        if (stream == nullptr) {
            ::close(fd);
            return QELError_OutOfMemory;
        }
        file = qelFileObjOpenWriteKeep(ctx, stream);
        if (file == nullptr)
            return QELError_OutOfMemory;
        // Without the buffer every packet goes to the stream on its own.
        buffer = static_cast<u8 *>(qelContextMemAlloc(ctx, kWriteBuffer, 0));
        return QELError_NoErr;
    }

    QELStatus writeOut(const u8 *bytes, std::size_t length)
    {
        return length == 0 || file->write(bytes, length, file) == length ? QELError_NoErr : QELError_WriteFailed;
    }

    QELStatus drain()
    {
        const QELStatus s = writeOut(buffer, used);
        used = 0;
        return s;
    }

    QELStatus write(const u8 *bytes, std::size_t length)
    {
        if (buffer == nullptr)
            return writeOut(bytes, length);
        if (length > kWriteBuffer - used) {
            if (const QELStatus s = drain(); s != 0)
                return s;
            if (length > kWriteBuffer)
                return writeOut(bytes, length);
        }
        std::memcpy(buffer + used, bytes, length);
        used += length;
        highWater = used > highWater ? used : highWater;
        return QELError_NoErr;
    }

    // Flushes the stream and the file to disk.
    QELStatus finish()
    {
        if (buffer != nullptr && drain() != 0)
            return QELError_WriteFailed;
        if (file->flush(file) != 0 || std::fflush(stream) != 0 || ::fsync(::fileno(stream)) != 0)
            return QELError_WriteFailed;
        return QELError_NoErr;
    }
};

QELStatus writeObject(QELKeyObject *o, bool hasSecret, NewRing *secret, NewRing &pub)
{
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(o, &length);
    if (packet == nullptr)
        return QELError_NoErr;
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

bool skipOnCommit(QELKeyObject *o)
{
    int t = qelKeyObjType(o);
    if (t == QELObjectType_CRL && !qelCRLIsCurrent(o))
        return true;
    return t == QELObjectType_Signature && qelSigIsSuperseded(o);
}

QELStatus writeRings(QELKeyDB *db, NewRing *secret, NewRing &pub)
{
    for (QELKeyObject *k = db->firstKey; k; k = k->next) {
        if (!qelKeyObjIsLive(k) || qelKeyObjType(k) != QELObjectType_Key)
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

// Makes a rename durable: the directory entry reaches the disk too.
void syncDirectoryOf(const char *path)
{
    std::string dir(path);
    std::size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        static_cast<void>(::fsync(fd)); // durability of the entry; the data is synced
        ::close(fd);
    }
}

int renameRing(const char *from, const char *to)
{
    if (g_failRingRename != 0 && --g_failRingRename == 0) {
        errno = EIO;
        return -1;
    }
    return std::rename(from, to);
}

} // namespace

QELStatus qelKeyDBCommitLocal(QELKeyDB *db, QELKeySet *changed)
{
    if (!qelKeyDBIsValid(db))
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
    NewRing secret, pub;
    NewRing *secretRing = db->secretSpec != nullptr ? &secret : nullptr;
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

    // Replace the secret ring first, keeping its old file under a second
    // name until the public ring is replaced too, so that a failed second
    // rename can put it back.
    std::string backup;
    if (secretRing != nullptr) {
        backup = std::string(secret.path) + ".qelold";
        ::unlink(backup.c_str());
        if (::link(secret.path, backup.c_str()) != 0)
            return QELError_FileOpFailed;
        if (renameRing(secret.tempPath.c_str(), secret.path) != 0) {
            ::unlink(backup.c_str());
            return QELError_FileOpFailed;
        }
        secret.tempPath.clear();
    }
    if (renameRing(pub.tempPath.c_str(), pub.path) != 0) {
        if (secretRing != nullptr) {
            if (std::rename(backup.c_str(), secret.path) != 0)
                ::unlink(backup.c_str());
        }
        return QELError_FileOpFailed;
    }
    pub.tempPath.clear();
    if (!backup.empty())
        ::unlink(backup.c_str());
    syncDirectoryOf(pub.path);
    if (secretRing != nullptr)
        syncDirectoryOf(secret.path);

    // The new files are the rings now: hold them open and locked instead of
    // the old ones.
    db->changed = 0;
    closeFile(db->secretFile);
    closeFile(db->publicFile);
    struct Ring { QELFileSpec *spec; int kind; QELFileObject **file; };
    const Ring rings[2] = {{db->secretSpec, QELFileClass_SecretRing, &db->secretFile},
                           {db->publicSpec, QELFileClass_PublicRing, &db->publicFile}};
    for (const Ring &r : rings) {
        if (r.spec == nullptr)
            continue;
        std::FILE *stream = nullptr;
        s = qelFileSpecOpenFile(r.spec, QELOpen_Read | QELOpen_Write | QELOpen_Lock, r.kind, &stream);
        if (s == 0 && (*r.file = qelFileObjOpenRead(db->context, stream)) == nullptr) {
            std::fclose(stream);
            s = QELError_OutOfMemory;
        }
        if (s != 0) {
            // The rings on disk are complete; without their lock the
            // database must not write them again.
            db->writable = 0;
            return s;
        }
    }
    return QELError_NoErr;
}

// ---- closing -------------------------------------------------------------------------------

QELStatus qelKeyDBCloseUnreferencedLocal(QELContext *context)
{
    QELKeyDB *db = qelContextGetKeyDBList(context);
    while (db != nullptr) {
        QELKeyDB *next = db->next;
        if (db->refCount <= 0) {
            db->keepAlive = 0;
            db->refCount = 1;
            static_cast<void>(qelKeyDBReleaseLocal(db)); // a commit failure cannot stop the close
        }
        db = next;
    }
    return QELError_NoErr;
}

void qelKeyDBCloseExpired(QELContext *context)
{
    QELKeyDB *db = qelContextGetKeyDBList(context);
    std::uint32_t now = qelTimeDateNow();
    while (db != nullptr) {
        QELKeyDB *next = db->next;
        if (db->refCount <= 0 && (!db->keepAlive || !timeBefore(now, db->keepAliveDeadline))) {
            db->keepAlive = 0;
            db->refCount = 1;
            static_cast<void>(qelKeyDBReleaseLocal(db)); // nobody is left to tell
        }
        db = next;
    }
}

void qelKeyDBMarkChanged(QELKeyDB *db, bool refreshLists)
{
    db->changed = 1;
    if (refreshLists)
        qelKeySetResortLists(db);
}

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
    if (qelRPCEnabled())
        return qelKeyDBNewInMemoryDispatch(context, outDB);
    return qelKeyDBNewInMemoryLocal(context, outDB);
}

QELStatus qelKeyDBAddRef(QELKeyDB *db)
{
    QEL_ENTER();
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    ++db->refCount;
    return QELError_NoErr;
}

QELStatus qelKeyDBRelease(QELKeyDB *db)
{
    QEL_ENTER();
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    if (db->serviceRef != 0)
        return qelKeyDBReleaseDispatch(db);
    return qelKeyDBReleaseLocal(db);
}

QELKeySet *qelKeyDBGetRootSet(QELKeyDB *db)
{
    if (qelAPIGate(kGate, __LINE__) != 0 || !qelKeyDBIsValid(db))
        return nullptr;
    return db->rootSet;
}

std::uint8_t qelKeyDBIsWritable(QELKeyDB *db)
{
    if (qelAPIGate(kGate, __LINE__) != 0 || !qelKeyDBIsValid(db))
        return 0;
    return db->writable;
}

QELStatus qelKeyDBCountKeys(QELKeyDB *db, std::uint32_t *outCount)
{
    QEL_ENTER(outCount);
    if (!qelKeyDBIsValid(db) || outCount == nullptr)
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
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    if (qelRPCEnabled())
        return qelKeyDBSetKeepAliveDispatch(db, seconds);
    return qelKeyDBSetKeepAliveLocal(db, seconds);
}

QELStatus qelKeyDBCommit(QELKeyDB *db)
{
    QEL_ENTER();
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    return qelKeyDBFlush(db);
}

QELStatus qelKeyDBCloseUnreferenced(QELContext *context)
{
    QEL_ENTER();
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    if (qelRPCEnabled())
        return qelKeyDBCloseUnreferencedDispatch(context);
    return qelKeyDBCloseUnreferencedLocal(context);
}

QELStatus qelKeyDBNewFilteredSet(QELKeyDB *db, QELKeyFilter *filter, QELKeySet **outSet)
{
    QEL_ENTER(outSet);
    if (!qelKeyDBIsValid(db) || outSet == nullptr)
        return QELError_BadParams;
    return qelFilteredSetNew(db->rootSet, filter, outSet);
}
