#include "qelMemPoolInternal.h"

#include "qelContextInternal.h"
#include "qelMemoryInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <cstring>

namespace {

struct ChunkHeader {
    void *next;
    std::uint32_t size;
};
constexpr std::uint32_t chunkHeaderSize = 16;
static_assert(sizeof(ChunkHeader) == chunkHeaderSize);

ChunkHeader *headerOf(void *chunk) { return static_cast<ChunkHeader *>(chunk); }

void releaseChunk(QELMemPool *pool, void *chunk)
{
    qelSecureWipe(chunk, headerOf(chunk)->size);
    static_cast<void>(qelContextMemFree(pool->context, chunk));
}

// Frees every chunk and leaves the pool with nothing to hand out.
void freeEverything(QELMemPool *pool)
{
    while (pool->chunks != nullptr) {
        void *chunk = pool->chunks;
        pool->chunks = headerOf(chunk)->next;
        releaseChunk(pool, chunk);
    }
    pool->cursor = nullptr;
    pool->bytesLeft = 0;
    pool->total = 0;
}

// ---- the pool manager's callbacks ----

void *poolAlloc(QELMemoryMgr *, void *pool, std::size_t size, std::uint32_t)
{
    if (size > UINT32_MAX)
        return nullptr;
    return qelMemPoolAlloc(static_cast<QELMemPool *>(pool), static_cast<std::uint32_t>(size), 32);
}

void *poolSecureAlloc(QELMemoryMgr *mgr, void *pool, std::size_t size, std::uint32_t flags,
                      std::uint8_t *outLocked)
{
    *outLocked = 0;
    return poolAlloc(mgr, pool, size, flags);
}

QELStatus poolRealloc(QELMemoryMgr *mgr, void *pool, void **inOutPtr, std::size_t newSize,
                      std::uint32_t flags, std::size_t oldSize)
{
    if (newSize <= oldSize)
        return QELError_NoErr;
    void *fresh = poolAlloc(mgr, pool, newSize, flags);
    if (fresh == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(fresh, *inOutPtr, oldSize);
    *inOutPtr = fresh;
    return QELError_NoErr;
}

QELStatus poolFree(QELMemoryMgr *, void *, void *, std::size_t) { return QELError_NoErr; }

QELStatus poolSecureFree(QELMemoryMgr *, void *, void *, std::size_t, std::uint8_t)
{
    return QELError_NoErr;
}

} // namespace

void qelMemPoolInit(QELContext *context, QELMemPool *pool)
{
    if (pool == nullptr)
        return;
    *pool = QELMemPool{};
    pool->context = context;
    pool->chunkSize = QELMemPoolChunkSize;
}

void qelMemPoolSetOutOfMemoryCallback(QELMemPool *pool, QELMemPoolOutOfMemoryProc callback,
                                      void *userValue)
{
    if (pool == nullptr)
        return;
    pool->outOfMemory = callback;
    pool->outOfMemoryUserValue = userValue;
}

void *qelMemPoolAlloc(QELMemPool *pool, std::uint32_t size, std::uint32_t alignment)
{
    if (pool == nullptr)
        return nullptr;
    if (alignment == 0)
        alignment = 1;
    if ((alignment & (alignment - 1)) != 0)
        return nullptr;

    // Serve from the newest chunk; without one there is no cursor to trust,
    // not even for a zero-byte request.
    if (pool->chunks != nullptr && pool->cursor != nullptr) {
        const std::uint64_t fill =
            static_cast<std::uint64_t>(pool->cursor - static_cast<unsigned char *>(pool->chunks));
        const std::uint64_t padding = (alignment - fill % alignment) % alignment;
        if (padding + size <= pool->bytesLeft) {
            unsigned char *p = pool->cursor + padding;
            pool->cursor = p + size;
            pool->bytesLeft -= static_cast<std::uint32_t>(padding + size);
            return p;
        }
    }

    // A new chunk; the rest of the current one is abandoned.
    const std::uint64_t offset = ((static_cast<std::uint64_t>(alignment) - 1) & ~std::uint64_t{0xF}) + 16;
    const std::uint64_t need = static_cast<std::uint64_t>(size) + offset;
    if (need > UINT32_MAX)
        return nullptr;
    std::uint64_t c = std::max<std::uint32_t>(pool->chunkSize, chunkHeaderSize);
    while (c < need)
        c *= 2;
    if (c > UINT32_MAX)
        c = need; // doubling would leave 32 bits: ask for exactly the need

    void *chunk = nullptr;
    for (;;) {
        chunk = qelContextMemAlloc(pool->context, static_cast<std::size_t>(c), 0);
        if (chunk != nullptr)
            break;
        if (pool->outOfMemory != nullptr && pool->outOfMemory(pool->outOfMemoryUserValue) != 0)
            continue;
        if (c == need)
            return nullptr;
        c = std::max(c / 2, need);
    }

    auto *start = static_cast<unsigned char *>(chunk);
    ChunkHeader *h = headerOf(chunk);
    h->next = pool->chunks;
    h->size = static_cast<std::uint32_t>(c);
    pool->chunks = chunk;
    const std::uint64_t total = static_cast<std::uint64_t>(pool->total) + c;
    pool->total = total > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(total);
    pool->bytesLeft = static_cast<std::uint32_t>(c - need);
    pool->cursor = start + need;
    return start + offset;
}

void qelMemPoolRelease(QELMemPool *pool, const QELMemPool *mark)
{
    if (pool == nullptr || mark == nullptr)
        return;
    // The mark's newest chunk must still be held, with the extent the mark
    // describes (a freed chunk's address may have been handed out again).
    bool held = mark->chunks == nullptr;
    for (void *c = pool->chunks; c != nullptr && !held; c = headerOf(c)->next)
        held = c == mark->chunks && mark->cursor != nullptr &&
               mark->cursor + mark->bytesLeft == static_cast<unsigned char *>(c) + headerOf(c)->size;
    if (!held) {
        // Restoring the mark would leave its cursor in freed memory.
        freeEverything(pool);
        return;
    }
    while (pool->chunks != mark->chunks) {
        void *chunk = pool->chunks;
        pool->chunks = headerOf(chunk)->next;
        releaseChunk(pool, chunk);
    }
    *pool = *mark;
}

void qelMemPoolFreeAll(QELMemPool *pool)
{
    if (pool == nullptr)
        return;
    freeEverything(pool);
}

QELMemoryMgr *qelMemPoolMemoryMgr(QELMemPool *pool)
{
    if (pool == nullptr)
        return nullptr;
    QELMemoryMgrCallbacks cb{};
    cb.blockSize = sizeof(QELMemoryMgrCallbacks);
    cb.alloc = poolAlloc;
    cb.realloc = poolRealloc;
    cb.free = poolFree;
    cb.secureAlloc = poolSecureAlloc;
    cb.secureFree = poolSecureFree;
    cb.userValue = pool;
    QELMemoryMgr *mgr = nullptr;
    return qelMemMgrNew(&cb, &mgr) == QELError_NoErr ? mgr : nullptr;
}
