// The random seed file.
#include "qelRandomSeedFileInternal.h"

#include "qelCryptoServiceSeamsInternal.h"
#include "qelFileOpenInternal.h"
#include "qelFileSpecInternal.h"
#include "qelIOInternal.h"
#include "qelMemoryInternal.h"
#include "qelRandomContextInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelRandomSourcesInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// The current seed file; contexts may be freed on several threads, so the
// spec is only touched under this lock. Recursive because selecting a new
// file saves the old one first.
std::recursive_mutex gSeedMutex;
QELFileSpec *gCurrent = nullptr;

using Chunk = std::array<std::uint8_t, QELRandomSeedFileChunk>;

struct WipedChunk {
    Chunk bytes{};
    ~WipedChunk() { qelSecureWipe(bytes.data(), bytes.size()); }
};

bool sameExport(const QELFileSpec *a, const QELFileSpec *b)
{
    std::uint8_t *ea = nullptr;
    std::uint8_t *eb = nullptr;
    std::uint32_t la = 0;
    std::uint32_t lb = 0;
    bool same = qelFileSpecExport(a, &ea, &la) == 0 && qelFileSpecExport(b, &eb, &lb) == 0 &&
                la == lb && std::memcmp(ea, eb, la) == 0;
    if (ea != nullptr)
        static_cast<void>(qelMemFree(ea));
    if (eb != nullptr)
        static_cast<void>(qelMemFree(eb));
    return same;
}

void addToPool(const void *data, std::uint32_t length)
{
    QELRandomContext global{};
    qelRandomContextInitGlobal(&global);
    global.descriptor->add(global.state, data, length);
}

} // namespace

QELStatus qelRandomSeedFileOpenDefault()
{
    std::lock_guard lock(gSeedMutex);
    if (gCurrent != nullptr)
        return 0;
    std::string path;
    if (const char *dir = std::getenv("QELPATH"); dir != nullptr)
        path = std::string(dir) + "/" + QELRandomSeedFileName;
    else if (const char *home = std::getenv("HOME"); home != nullptr)
        path = std::string(home) + "/.qel/" + QELRandomSeedFileName;
    else
        path = std::string(".") + "/" + QELRandomSeedFileName;
    QELMemoryMgr *mgr = qelMemMgrGetGlobal();
    auto *block = static_cast<char *>(qelMemAlloc(mgr, path.size() + 1, 0));
    if (block == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(block, path.c_str(), path.size() + 1);
    QELFileSpec *spec = nullptr;
    QELStatus status = qelFileSpecNewFromPath(mgr, block, &spec);
    static_cast<void>(qelMemFree(block));
    if (status != 0)
        return status;
    status = qelRandomSeedFileSelect(spec);
    static_cast<void>(qelFileSpecFree(spec));
    return status;
}

QELStatus qelRandomSeedFileSelect(const QELFileSpec *spec)
{
    if (qelServiceConnected())
        return qelCryptoService().seedFileSet(spec);
    return qelRandomSeedFileSet(spec);
}

QELStatus qelRandomSeedFileSet(const QELFileSpec *spec)
{
    if (!qelFileSpecIsValid(spec))
        return QELError_BadParams;
    std::lock_guard lock(gSeedMutex);
    if (gCurrent != nullptr && sameExport(gCurrent, spec))
        return 0;
    // Saving the outgoing file is best effort; the new file is what the caller asked for.
    if (gCurrent != nullptr && qelRandomPoolIsSeeded())
        static_cast<void>(qelRandomSeedFileSave());
    if (gCurrent != nullptr)
        static_cast<void>(qelFileSpecFree(gCurrent));
    gCurrent = nullptr;

    std::uint8_t *exported = nullptr;
    std::uint32_t length = 0;
    QELStatus status = qelFileSpecExport(spec, &exported, &length);
    if (status != 0)
        return status;
    status = qelFileSpecImport(qelMemMgrGetGlobal(), exported, length, &gCurrent);
    static_cast<void>(qelMemFree(exported));
    if (status != 0)
        return status;

    if (!qelRandomPoolIsSeeded())
        qelRandomPoolReset();

    QELIO *io = nullptr;
    if (qelFileSpecOpenIO(gCurrent, 1, &io) != 0)
        return 0;
    WipedChunk chunk;
    std::uint64_t loaded = 0;
    for (;;) {
        std::uint32_t got = 0;
        status = qelIORead(io, QELRandomSeedFileChunk, chunk.bytes.data(), &got);
        if (status != 0 && status != QELError_EOF)
            break;
        if (got != 0) {
            // Each piece goes in twice, through two short-lived contexts.
            addToPool(chunk.bytes.data(), got);
            addToPool(chunk.bytes.data(), got);
        }
        loaded += got;
        if (status != 0)
            break;
    }
    std::uint32_t written = 0;
    if (qelIOSetPos(io, 0) == 0) {
        QELRandomContext global{};
        qelRandomContextInitGlobal(&global);
        auto minimum = static_cast<std::uint32_t>(std::min<std::uint64_t>(loaded, UINT32_MAX));
        // Refreshing a file just loaded is best effort; the load already succeeded.
        static_cast<void>(qelRandomWriteToIO(io, &global, minimum, &written));
    }
    static_cast<void>(qelIOFree(io));
    if (loaded > 23 && written > 23)
        qelRandomPoolSetSeeded();
    return 0;
}

// Unlike selection, saving reports a failed write or close: the caller (a
// context being freed) should learn that the pool state was not kept.
QELStatus qelRandomSeedFileSave()
{
    std::lock_guard lock(gSeedMutex);
    if (gCurrent == nullptr)
        return 0;
    QELIO *io = nullptr;
    QELStatus status = qelFileSpecOpenIO(gCurrent, 1, &io);
    if (status == QELError_FileNotFound) {
        status = qelFileSpecCreateExclusive(gCurrent, QELFileClass_RandomSeed);
        if (status != 0)
            return status;
        status = qelFileSpecOpenIO(gCurrent, 1, &io);
    }
    if (status != 0)
        return status;
    QELRandomContext global{};
    qelRandomContextInitGlobal(&global);
    // Mixing the old contents in is best effort; the write below is what counts.
    static_cast<void>(qelRandomFeedFromIO(io, &global));
    QELStatus writeStatus = qelRandomWriteToIO(io, &global, 0, nullptr);
    QELStatus closeStatus = qelIOFree(io);
    return writeStatus != 0 ? writeStatus : closeStatus;
}

void qelRandomSeedFileClose()
{
    std::lock_guard lock(gSeedMutex);
    if (gCurrent != nullptr)
        static_cast<void>(qelFileSpecFree(gCurrent));
    gCurrent = nullptr;
    // The seed file is forgotten whatever the lock's end reports.
    static_cast<void>(qelRandomPoolDestroyLock());
    qelRandomPoolClearSeeded();
}

QELStatus qelRandomFeedFromIO(QELIO *io, QELRandomContext *random)
{
    if (!qelIOIsValid(io) || random == nullptr || random->descriptor == nullptr)
        return QELError_BadParams;
    std::int64_t saved = 0;
    QELStatus status = qelIOGetPos(io, &saved);
    if (status == 0)
        status = qelIOSetPos(io, 0);
    if (status != 0) {
        // Restoring the position after a failure; the first failure is returned.
        static_cast<void>(qelIOSetPos(io, saved));
        return status;
    }
    WipedChunk chunk;
    for (;;) {
        std::uint32_t got = 0;
        status = qelIORead(io, QELRandomSeedFileChunk, chunk.bytes.data(), &got);
        if (status != 0 && status != QELError_EOF)
            break;
        if (got != 0)
            random->descriptor->add(random->state, chunk.bytes.data(), got);
        if (status != 0) {
            status = 0;
            break;
        }
    }
    QELStatus restore = qelIOSetPos(io, saved);
    return status != 0 ? status : restore;
}

QELStatus qelRandomWriteToIO(QELIO *io, QELRandomContext *random, std::uint32_t minimum,
                             std::uint32_t *outWritten)
{
    if (outWritten != nullptr)
        *outWritten = 0;
    if (!qelIOIsValid(io))
        return QELError_BadParams;
    QELRandomContext global{};
    qelRandomContextInitGlobal(&global);
    if (random == nullptr)
        random = &global;
    if (random->descriptor == nullptr)
        return QELError_BadParams;
    std::uint32_t count = (qelRandomPoolGetSize() + 7) / 8;
    count = std::clamp<std::uint32_t>(count, 24, QELRandomSeedFileChunk);
    count = std::max(count, minimum);
    qelRandomAddTimingSample(&global);
    random->descriptor->stir(random->state);
    WipedChunk chunk;
    std::uint32_t written = 0;
    QELStatus status = 0;
    while (written < count) {
        std::uint32_t piece = std::min(count - written, QELRandomSeedFileChunk);
        // What qelRandomGetBytes does: the context's get, claiming 8 bits a byte.
        status = random->descriptor->get(random->state, chunk.bytes.data(), piece, 8 * piece);
        if (status != 0)
            break;
        status = qelIOWrite(io, piece, chunk.bytes.data());
        if (status != 0)
            break;
        written += piece;
    }
    if (outWritten != nullptr)
        *outWritten = written;
    return status;
}
