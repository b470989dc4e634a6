// Ring files of key databases: the one lock of the key databases, the
// process-wide registry of open rings, their open-file-description locks,
// the identity a commit checks before it replaces a ring, and the
// replacement of a pair of rings with its recovery after a crash.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

struct QELContext;
struct QELFileObject;
struct QELFileSpec;
struct QELKeyDB;

// The one lock of the key databases: every context's list of databases,
// their reference counts, holds, keep-alive state and the ring registry
// change under it, and the housekeeping pass takes it too. Recursive, since
// work done under it (a commit, a ring read) makes and frees key sets.
std::recursive_mutex &qelKeyDBLock();

// What a ring file was when its database last read or wrote it.
struct QELRingIdentity {
    std::uint64_t device;
    std::uint64_t inode;
    std::int64_t size;
    std::int64_t mtimeSeconds;
    std::int64_t mtimeNanoseconds;
    std::uint8_t known;
};

// The identity of the file behind an open stream.
[[nodiscard]] QELStatus qelRingIdentityOf(std::FILE *stream, QELRingIdentity *out);
// True when the two name the same file (device and inode).
bool qelRingSameFile(const QELRingIdentity &a, const QELRingIdentity &b);
// A whole-file open-file-description lock (shared, or exclusive when
// `exclusive`): closing another descriptor of the file never drops it, and a
// second description of the same file in this process conflicts with it.
// QELError_FileLocked when another holder has the file.
[[nodiscard]] QELStatus qelRingLock(std::FILE *stream, bool exclusive);

// The registry of open rings, keyed by device and inode, across contexts
// (the caller holds qelKeyDBLock()).
QELKeyDB *qelRingRegistryFind(const QELRingIdentity &id, QELContext **outContext);
[[nodiscard]] QELStatus qelRingRegistryAdd(const QELRingIdentity &id, QELKeyDB *db, QELContext *context);
void qelRingRegistryRemove(const QELRingIdentity &id, const QELKeyDB *db);

// Brings a pair of rings left by a commit that stopped between its renames
// back to a consistent pair: the old pair while the new public ring had not
// replaced the old one yet, the new pair after. QELError_FileLocked while a
// commit of another process is still running.
[[nodiscard]] QELStatus qelRingRecover(const QELFileSpec *publicSpec, const QELFileSpec *secretSpec);

// One ring being rewritten: "<ring>.qelnew" beside it, created exclusively,
// locked from the start (so the ring stays locked across the rename that
// makes it the ring), with the ring's mode.
class QELNewRing {
public:
    QELNewRing() = default;
    QELNewRing(const QELNewRing &) = delete;
    QELNewRing &operator=(const QELNewRing &) = delete;
    ~QELNewRing();

    [[nodiscard]] QELStatus open(QELContext *context, const QELFileSpec *spec);
    [[nodiscard]] QELStatus write(const std::uint8_t *bytes, std::size_t length);
    // Writes out what is buffered and flushes the file to disk.
    [[nodiscard]] QELStatus finish();
    // Hands the stream (open, locked, now the ring) to the caller.
    std::FILE *takeStream();
    const char *path() const { return path_; }

private:
    friend QELStatus qelRingReplace(QELNewRing *secret, QELNewRing &pub, const QELRingIdentity *secretWas,
                                    const QELRingIdentity &pubWas);
    [[nodiscard]] QELStatus writeOut(const std::uint8_t *bytes, std::size_t length);
    [[nodiscard]] QELStatus drain();

    QELContext *context_ = nullptr;
    char *path_ = nullptr;      // the ring's path (guarded block)
    std::string newPath_;       // removed by the destructor unless it became the ring
    std::FILE *stream_ = nullptr;
    QELFileObject *file_ = nullptr;
    // Packets gather here and go out in a few large writes; wiped before
    // release.
    std::uint8_t *buffer_ = nullptr;
    std::size_t used_ = 0;
    std::size_t highWater_ = 0;
};

// Replaces the rings by the new files: refuses with QELError_FileLocked when
// a ring is no longer the file the database read (replaced, or written by
// someone else), keeps the old secret ring as "<secret>.qelold" (a hard link,
// or a rename where the file system has none) until the public ring is
// replaced too, and puts it back when that fails. The renames are made
// durable before the old secret ring goes.
[[nodiscard]] QELStatus qelRingReplace(QELNewRing *secret, QELNewRing &pub, const QELRingIdentity *secretWas,
                                       const QELRingIdentity &pubWas);
