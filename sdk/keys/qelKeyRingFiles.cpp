// Ring files of key databases: the one lock, the registry of open rings,
// open-file-description locks, ring identities, and the replacement of a
// pair of rings with its recovery.
//
// A commit writes "<ring>.qelnew" for each ring, then: keeps the old secret
// ring as "<secret>.qelold", renames the new secret ring over the old one,
// renames the new public ring over the old one and removes the ".qelold".
// A crash leaves one of these states, which the next open settles:
// - ".qelold" present with the new public ring still beside its ring: the
//   public ring is the old one, so the old secret ring is put back;
// - ".qelold" present without it: both new rings are in place, so the old
//   secret ring is dropped;
// - no ".qelold": the rings were never touched; a leftover ".qelnew" is
//   replaced by the next commit.
#include "qelKeyRingFilesInternal.h"

#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelFileSpecInternal.h"
#include "qelMemoryInternal.h"
#include "qelTestHooks.h"
#include "qelWipe.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Counts down to a rename that fails (or, negative, fails every rename);
// only tests set it.
int g_failRingRename = 0;
// Counts down to a rename after which the process ends as if it crashed;
// only tests set it.
int g_crashAfterRingRename = 0;

} // namespace

#ifdef QEL_TEST_HOOKS
void qelKeyDBFailRingRenameForTesting(int n)
{
    g_failRingRename = n;
}

void qelKeyDBCrashAfterRingRenameForTesting(int n)
{
    g_crashAfterRingRename = n;
}
#endif

namespace {

using u8 = std::uint8_t;

struct RegistryEntry {
    QELKeyDB *db;
    QELContext *context;
};
using Registry = std::map<std::pair<std::uint64_t, std::uint64_t>, RegistryEntry>;

// Never destroyed: a process may end without the last clean-up while the
// housekeeping thread still waits to take the lock.
std::recursive_mutex &g_lock = *new std::recursive_mutex;
Registry &g_registry = *new Registry;

constexpr std::size_t kWriteBuffer = QELMemMappedMin - QELMemBlockHeaderSize;

int renameRing(const char *from, const char *to)
{
    if (g_failRingRename < 0 || (g_failRingRename != 0 && --g_failRingRename == 0)) {
        errno = EIO;
        return -1;
    }
    const int r = std::rename(from, to);
    if (r == 0 && g_crashAfterRingRename != 0 && --g_crashAfterRingRename == 0)
        ::_exit(86);
    return r;
}

bool noHardLinks(int err)
{
    return err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK || err == ENOTSUP;
}

bool removeIfThere(const std::string &path)
{
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

// Makes renames in the directory of `path` durable.
QELStatus syncDirectoryOf(const char *path)
{
    std::string dir(path);
    const std::size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return QELError_WriteFailed;
    // A file system that cannot sync a directory says EINVAL: nothing to do.
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return synced ? QELError_NoErr : QELError_WriteFailed;
}

struct PathCopy {
    char *path = nullptr;
    ~PathCopy()
    {
        if (path != nullptr)
            static_cast<void>(qelMemFree(path)); // our copy
    }
};

QELRingIdentity identityOf(const struct stat &st)
{
    return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), std::int64_t(st.st_size),
            std::int64_t(st.st_mtim.tv_sec), std::int64_t(st.st_mtim.tv_nsec), 1};
}

// True when the path still names the file with this identity, unchanged.
bool stillTheSame(const char *path, const QELRingIdentity &was)
{
    struct stat st {};
    if (!was.known || ::stat(path, &st) != 0)
        return false;
    const QELRingIdentity now = identityOf(st);
    return qelRingSameFile(now, was) && now.size == was.size && now.mtimeSeconds == was.mtimeSeconds &&
           now.mtimeNanoseconds == was.mtimeNanoseconds;
}

} // namespace

std::recursive_mutex &qelKeyDBLock()
{
    return g_lock;
}

QELStatus qelRingIdentityOf(std::FILE *stream, QELRingIdentity *out)
{
    *out = {};
    struct stat st {};
    if (stream == nullptr || ::fstat(::fileno(stream), &st) != 0)
        return QELError_FileOpFailed;
    *out = identityOf(st);
    return QELError_NoErr;
}

bool qelRingSameFile(const QELRingIdentity &a, const QELRingIdentity &b)
{
    return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

QELStatus qelRingLock(std::FILE *stream, bool exclusive)
{
    struct flock lock {};
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(::fileno(stream), F_OFD_SETLK, &lock) == 0)
        return QELError_NoErr;
    return errno == EAGAIN || errno == EACCES ? QELError_FileLocked : QELError_FileOpFailed;
}

QELKeyDB *qelRingRegistryFind(const QELRingIdentity &id, QELContext **outContext)
{
    *outContext = nullptr;
    auto it = g_registry.find({id.device, id.inode});
    if (!id.known || it == g_registry.end())
        return nullptr;
    *outContext = it->second.context;
    return it->second.db;
}

QELStatus qelRingRegistryAdd(const QELRingIdentity &id, QELKeyDB *db, QELContext *context)
{
    try {
        g_registry[{id.device, id.inode}] = {db, context};
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    }
    return QELError_NoErr;
}

void qelRingRegistryRemove(const QELRingIdentity &id, const QELKeyDB *db)
{
    auto it = g_registry.find({id.device, id.inode});
    if (id.known && it != g_registry.end() && it->second.db == db)
        g_registry.erase(it);
}

QELStatus qelRingRecover(const QELFileSpec *publicSpec, const QELFileSpec *secretSpec)
{
    if (secretSpec == nullptr)
        return QELError_NoErr; // one ring is replaced in one rename
    PathCopy pub, sec;
    if (QELStatus s = qelFileSpecGetPath(publicSpec, &pub.path); s != QELError_NoErr)
        return s;
    if (QELStatus s = qelFileSpecGetPath(secretSpec, &sec.path); s != QELError_NoErr)
        return s;
    try {
        const std::string backup = std::string(sec.path) + ".qelold";
        struct stat st {};
        if (::lstat(backup.c_str(), &st) != 0)
            return errno == ENOENT ? QELError_NoErr : QELError_FileOpFailed;
        const std::string newPub = std::string(pub.path) + ".qelnew";
        std::FILE *pending = std::fopen(newPub.c_str(), "r+be");
        if (pending == nullptr && errno != ENOENT)
            return QELError_FileOpFailed;
        struct Closer {
            std::FILE *f;
            ~Closer()
            {
                if (f != nullptr)
                    std::fclose(f);
            }
        } closer{pending};
        // A commit that is still running holds its new rings locked.
        if (pending != nullptr && qelRingLock(pending, true) != QELError_NoErr)
            return QELError_FileLocked;
        if (pending != nullptr) {
            // Stopped before the public ring was replaced: the old pair.
            if (std::rename(backup.c_str(), sec.path) != 0 || !removeIfThere(backup) ||
                !removeIfThere(std::string(sec.path) + ".qelnew") || !removeIfThere(newPub))
                return QELError_FileOpFailed;
        } else if (!removeIfThere(backup)) {
            // Stopped after: the new pair is complete.
            return QELError_FileOpFailed;
        }
        return syncDirectoryOf(sec.path);
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    }
}

// ---- new rings ----------------------------------------------------------------------------

QELNewRing::~QELNewRing()
{
    // The file object leaves its stream open (it was made to keep it for the
    // final sync), so the stream is closed here unless it was handed over.
    if (file_ != nullptr)
        static_cast<void>(file_->close(file_)); // data already synced, or abandoned
    if (stream_ != nullptr)
        std::fclose(stream_);
    if (buffer_ != nullptr) {
        qelSecureWipe(buffer_, highWater_);
        static_cast<void>(qelContextMemFree(context_, buffer_)); // our own block
    }
    if (!newPath_.empty())
        ::unlink(newPath_.c_str());
    if (path_ != nullptr)
        static_cast<void>(qelMemFree(path_)); // our copy
}

QELStatus QELNewRing::open(QELContext *context, const QELFileSpec *spec)
{
    context_ = context;
    if (QELStatus s = qelFileSpecGetPath(spec, &path_); s != QELError_NoErr)
        return s;
    try {
        const std::string name = std::string(path_) + ".qelnew";
        int fd = -1;
        // We hold the ring's lock, so a file of this name is a leftover of a
        // commit that never finished.
        for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
            fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0 && (errno != EEXIST || ::unlink(name.c_str()) != 0))
                break;
        }
        if (fd < 0)
            return errno == EACCES || errno == EROFS || errno == EPERM ? QELError_FilePermissions
                                                                       : QELError_CantOpenFile;
        newPath_ = name;
        struct stat st {};
        if (::stat(path_, &st) == 0) {
            // Keep the ring's mode (and owner, where we may).
            if (::fchmod(fd, st.st_mode & 07777) != 0) {
                ::close(fd);
                return QELError_FileOpFailed;
            }
            if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
                // Only the owner is kept where the platform allows it.
            }
        }
        stream_ = ::fdopen(fd, "w+b");
        if (stream_ == nullptr) {
            ::close(fd);
            return QELError_OutOfMemory;
        }
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    }
    if (QELStatus s = qelRingLock(stream_, true); s != QELError_NoErr)
        return s;
    file_ = qelFileObjOpenWriteKeep(context, stream_);
    if (file_ == nullptr)
        return QELError_OutOfMemory;
    // Without the buffer every packet goes to the stream on its own.
    buffer_ = static_cast<u8 *>(qelContextMemAlloc(context, kWriteBuffer, 0));
    return QELError_NoErr;
}

QELStatus QELNewRing::writeOut(const u8 *bytes, std::size_t length)
{
    return length == 0 || file_->write(bytes, length, file_) == length ? QELError_NoErr : QELError_WriteFailed;
}

QELStatus QELNewRing::drain()
{
    const QELStatus s = writeOut(buffer_, used_);
    used_ = 0;
    return s;
}

QELStatus QELNewRing::write(const u8 *bytes, std::size_t length)
{
    if (buffer_ == nullptr)
        return writeOut(bytes, length);
    if (length > kWriteBuffer - used_) {
        if (const QELStatus s = drain(); s != 0)
            return s;
        if (length > kWriteBuffer)
            return writeOut(bytes, length);
    }
    std::memcpy(buffer_ + used_, bytes, length);
    used_ += length;
    highWater_ = used_ > highWater_ ? used_ : highWater_;
    return QELError_NoErr;
}

QELStatus QELNewRing::finish()
{
    if (buffer_ != nullptr && drain() != 0)
        return QELError_WriteFailed;
    if (file_->flush(file_) != 0 || std::fflush(stream_) != 0 || ::fsync(::fileno(stream_)) != 0)
        return QELError_WriteFailed;
    return QELError_NoErr;
}

std::FILE *QELNewRing::takeStream()
{
    if (file_ != nullptr)
        static_cast<void>(file_->close(file_)); // keeps the stream; the data is synced
    file_ = nullptr;
    std::FILE *stream = stream_;
    stream_ = nullptr;
    if (stream != nullptr)
        std::rewind(stream);
    return stream;
}

QELStatus qelRingReplace(QELNewRing *secret, QELNewRing &pub, const QELRingIdentity *secretWas,
                         const QELRingIdentity &pubWas)
{
    if (!stillTheSame(pub.path_, pubWas) || (secret != nullptr && !stillTheSame(secret->path_, *secretWas)))
        return QELError_FileLocked;
    if (secret == nullptr) {
        if (renameRing(pub.newPath_.c_str(), pub.path_) != 0)
            return QELError_FileOpFailed;
        pub.newPath_.clear();
        return syncDirectoryOf(pub.path_);
    }
    try {
        const std::string backup = std::string(secret->path_) + ".qelold";
        if (!removeIfThere(backup))
            return QELError_FileOpFailed;
        bool moved = false;
        if (::link(secret->path_, backup.c_str()) != 0) {
            if (!noHardLinks(errno) || std::rename(secret->path_, backup.c_str()) != 0)
                return QELError_FileOpFailed;
            moved = true;
        }
        if (renameRing(secret->newPath_.c_str(), secret->path_) != 0) {
            // Were the old ring not back, the next open would put it back.
            if (moved ? std::rename(backup.c_str(), secret->path_) != 0 : !removeIfThere(backup))
                pub.newPath_.clear();
            return QELError_FileOpFailed;
        }
        secret->newPath_.clear();
        if (renameRing(pub.newPath_.c_str(), pub.path_) != 0) {
            if (std::rename(backup.c_str(), secret->path_) != 0)
                pub.newPath_.clear(); // the next open puts the old secret ring back
            return QELError_FileOpFailed;
        }
        pub.newPath_.clear();
        QELStatus s = syncDirectoryOf(pub.path_);
        const QELStatus secretDir = syncDirectoryOf(secret->path_);
        if (s == QELError_NoErr)
            s = secretDir;
        // A backup left behind is dropped by the next open: the public ring
        // is the new one.
        static_cast<void>(removeIfThere(backup));
        return s;
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    }
}
