#include "qelMemoryInternal.h"

#include "qelLocksInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <sys/mman.h>

// Released blocks of the locked pool are off limits to the address sanitizer.
#if defined(__SANITIZE_ADDRESS__)
#define QEL_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_POOL_ASAN 1
#endif
#endif
#ifdef QEL_POOL_ASAN
#include <sanitizer/asan_interface.h>
#define QEL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define QEL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define QEL_POISON(p, n) ((void)(p), (void)(n))
#define QEL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

constexpr std::uint32_t sizeWordSecure = 1;
constexpr std::uint32_t sizeWordLocked = 2;

bool validMgr(const QELMemoryMgr *mgr)
{
    return mgr != nullptr && mgr->magic == QELMemoryMgrMagic;
}

QELMemBlockHeader *headerOf(const void *ptr)
{
    return reinterpret_cast<QELMemBlockHeader *>(
        const_cast<unsigned char *>(static_cast<const unsigned char *>(ptr)) -
        QELMemBlockHeaderSize);
}

// The magic is checked before the owner is followed, so a foreign pointer
// with random bytes in front of it is not dereferenced any further.
bool validBlock(const QELMemBlockHeader *h)
{
    return h->magic == QELMemBlockMagic && validMgr(h->owner);
}

unsigned char *callerBytes(void *header)
{
    return static_cast<unsigned char *>(header) + QELMemBlockHeaderSize;
}

std::uint32_t makeSizeWord(std::size_t size, bool secure, bool locked)
{
    return (static_cast<std::uint32_t>(size) << 2) | (secure ? sizeWordSecure : 0) |
           (locked ? sizeWordLocked : 0);
}

void writeHeader(void *block, QELMemoryMgr *mgr, std::uint32_t sizeWord)
{
    auto *h = static_cast<QELMemBlockHeader *>(block);
    h->owner = mgr;
    h->sizeWord = sizeWord;
    h->magic = QELMemBlockMagic;
}

// ---- the heap manager's callbacks ----
//
// Blocks of 2 MiB and more (the chunks of large pools) are mapped directly,
// aligned to 2 MiB and offered huge pages: a 2 MiB chunk then costs one page
// fault instead of 512, which is most of the cost of filling it. The block's
// size, which every free and resize passes along, tells which way it came.

#ifdef QEL_POOL_ASAN
constexpr std::size_t kMappedMin = SIZE_MAX; // the sanitizer watches heap blocks only
#else
constexpr std::size_t kMappedMin = QELMemMappedMin;
#endif
constexpr std::size_t kPageBytes = 4096;
constexpr std::size_t kHugePage = std::size_t(2) << 20;

std::size_t mappedLength(std::size_t size) { return (size + kPageBytes - 1) & ~(kPageBytes - 1); }

// A fresh mapping of length bytes aligned to align (a power of two);
// null when the system has no memory.
void *mapAligned(std::size_t length, std::size_t align)
{
    void *raw = mmap(nullptr, length + align, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + align - 1) & ~(std::uintptr_t)(align - 1);
    // Give back the parts outside the aligned range.
    if (aligned > start)
        munmap(raw, aligned - start);
    const std::uintptr_t end = start + length + align;
    if (end > aligned + length)
        munmap(reinterpret_cast<void *>(aligned + length), end - (aligned + length));
    return reinterpret_cast<void *>(aligned);
}

void *mappedAlloc(std::size_t size)
{
    const std::size_t length = mappedLength(size);
    if (length < size || length > SIZE_MAX / 2)
        return nullptr;
    void *p = mapAligned(length, kHugePage);
#ifdef MADV_HUGEPAGE
    if (p != nullptr)
        static_cast<void>(madvise(p, length, MADV_HUGEPAGE)); // only advice
#endif
    return p;
}

void *heapAlloc(QELMemoryMgr *, void *, std::size_t size, std::uint32_t)
{
    return size >= kMappedMin ? mappedAlloc(size) : std::malloc(size);
}

QELStatus heapFree(QELMemoryMgr *, void *, void *ptr, std::size_t size)
{
    if (size >= kMappedMin)
        munmap(ptr, mappedLength(size));
    else
        std::free(ptr);
    return QELError_NoErr;
}

QELStatus heapRealloc(QELMemoryMgr *mgr, void *user, void **inOutPtr, std::size_t newSize, std::uint32_t flags,
                      std::size_t oldSize)
{
    if (newSize < kMappedMin && oldSize < kMappedMin) {
        void *p = std::realloc(*inOutPtr, newSize);
        if (p == nullptr)
            return QELError_OutOfMemory;
        *inOutPtr = p;
        return QELError_NoErr;
    }
    void *fresh = heapAlloc(mgr, user, newSize, flags);
    if (fresh == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(fresh, *inOutPtr, std::min(oldSize, newSize));
    static_cast<void>(heapFree(mgr, user, *inOutPtr, oldSize)); // always succeeds
    *inOutPtr = fresh;
    return QELError_NoErr;
}

// ---- locked blocks of the heap manager ----
//
// Secure blocks up to kLockedClassMax bytes are carved from locked regions:
// each region is mapped and pinned once and never given back, and a block's
// memory returns to a free list of its size class when released (its bytes
// were wiped by qelMemFree before). Pinning every block on its own took two
// system calls per secure number, which cost more than the arithmetic on it.
// Larger blocks keep the plain way: a heap block pinned for its lifetime.

constexpr std::size_t kLockedClassMin = 64;            // smallest class, bytes
constexpr std::size_t kLockedClassCount = 8;           // 64 .. 8192
constexpr std::size_t kLockedClassMax = kLockedClassMin << (kLockedClassCount - 1);
constexpr std::size_t kLockedRegionBytes = 64 * 1024;

struct LockedFree {
    LockedFree *next;
};

struct LockedPool {
    std::mutex lock;
    LockedFree *free[kLockedClassCount] = {};
    // What is left of the newest region, carved from the front.
    unsigned char *carve = nullptr;
    std::size_t carveLeft = 0;
};

LockedPool &lockedPool()
{
    static LockedPool *pool = new LockedPool; // lives as long as the process
    return *pool;
}

std::size_t lockedClassOf(std::size_t size)
{
    std::size_t c = 0;
    while ((kLockedClassMin << c) < size)
        ++c;
    return c;
}

// Regions are aligned to their size, so a block finds its region's header:
// its first octet tells whether the region's pages are pinned.
constexpr std::size_t kRegionHeader = 64;

bool regionLocked(const void *block)
{
    const auto addr = reinterpret_cast<std::uintptr_t>(block) & ~(std::uintptr_t)(kLockedRegionBytes - 1);
    return *reinterpret_cast<const bool *>(addr);
}

// Maps a new region aligned to its size; false when the system has no memory.
bool lockedNewRegion(LockedPool &pool)
{
    auto *region = static_cast<unsigned char *>(mapAligned(kLockedRegionBytes, kLockedRegionBytes));
    if (region == nullptr)
        return false;
    // Secrets kept here stay out of core dumps too.
    static_cast<void>(madvise(region, kLockedRegionBytes, MADV_DONTDUMP));
    const bool locked = mlock(region, kLockedRegionBytes) == 0;
    *reinterpret_cast<bool *>(region) = locked;
    pool.carve = region + kRegionHeader;
    pool.carveLeft = kLockedRegionBytes - kRegionHeader;
    return true;
}

void *lockedAlloc(std::size_t size, std::uint8_t *outLocked)
{
    const std::size_t c = lockedClassOf(size);
    const std::size_t bytes = kLockedClassMin << c;
    LockedPool &pool = lockedPool();
    void *p = nullptr;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        if (LockedFree *f = pool.free[c]) {
            QEL_UNPOISON(f, sizeof(LockedFree));
            pool.free[c] = f->next;
            p = f;
        } else {
            if (pool.carveLeft < bytes) {
                // The rest of the old region goes to the free lists.
                while (pool.carveLeft >= kLockedClassMin) {
                    std::size_t k = kLockedClassCount - 1;
                    while ((kLockedClassMin << k) > pool.carveLeft)
                        --k;
                    auto *f = reinterpret_cast<LockedFree *>(pool.carve);
                    f->next = pool.free[k];
                    pool.free[k] = f;
                    QEL_POISON(f, kLockedClassMin << k);
                    pool.carve += kLockedClassMin << k;
                    pool.carveLeft -= kLockedClassMin << k;
                }
                if (!lockedNewRegion(pool))
                    return nullptr;
            }
            p = pool.carve;
            pool.carve += bytes;
            pool.carveLeft -= bytes;
        }
    }
    QEL_UNPOISON(p, size);
    *outLocked = regionLocked(p) ? 1 : 0;
    return p;
}

void lockedFree(void *ptr, std::size_t size)
{
    const std::size_t c = lockedClassOf(size);
    LockedPool &pool = lockedPool();
    std::lock_guard<std::mutex> guard(pool.lock);
    auto *f = static_cast<LockedFree *>(ptr);
    f->next = pool.free[c];
    pool.free[c] = f;
    QEL_POISON(f, kLockedClassMin << c);
}

void *heapSecureAlloc(QELMemoryMgr *, void *, std::size_t size, std::uint32_t,
                      std::uint8_t *outLocked)
{
    *outLocked = 0;
    if (size <= kLockedClassMax)
        return lockedAlloc(size, outLocked);
    void *p = std::malloc(size);
    // mlock only pins the pages; it does not read the (not yet written) bytes.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
    if (p != nullptr && mlock(p, size) == 0)
        *outLocked = 1;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    return p;
}

QELStatus heapSecureFree(QELMemoryMgr *, void *, void *ptr, std::size_t size, std::uint8_t locked)
{
    if (size <= kLockedClassMax) {
        lockedFree(ptr, size);
        return QELError_NoErr;
    }
    if (locked)
        munlock(ptr, size);
    std::free(ptr);
    return QELError_NoErr;
}

// ---- the manager list ----

struct MgrNode {
    MgrNode *next;
    QELMemoryMgr *mgr;
};
static_assert(sizeof(MgrNode) == 16);

// Serialises the list's lifecycle (making and destroying its reader/writer
// lock) between registration and the two freeing operations.
std::mutex listLifecycle;
std::atomic<MgrNode *> listHead{nullptr};
QELMemoryMgr *globalMgr = nullptr;
QELRWLock listLock;

} // namespace

// ---- managers ----

QELStatus qelMemMgrNew(const QELMemoryMgrCallbacks *callbacks, QELMemoryMgr **outMgr)
{
    if (outMgr == nullptr)
        return QELError_BadParams;
    *outMgr = nullptr;
    if (callbacks == nullptr || callbacks->blockSize < sizeof(QELMemoryMgrCallbacks) ||
        callbacks->alloc == nullptr || callbacks->realloc == nullptr ||
        callbacks->free == nullptr || callbacks->secureAlloc == nullptr ||
        callbacks->secureFree == nullptr || callbacks->reserved != nullptr)
        return QELError_BadParams;
    for (std::uint8_t b : callbacks->reserved2)
        if (b != 0)
            return QELError_BadParams;

    void *record = callbacks->alloc(nullptr, callbacks->userValue, sizeof(QELMemoryMgr), 0);
    if (record == nullptr)
        return QELError_OutOfMemory;
    std::memset(record, 0, sizeof(QELMemoryMgr));
    auto *mgr = static_cast<QELMemoryMgr *>(record);
    mgr->magic = QELMemoryMgrMagic;
    mgr->userValue = callbacks->userValue;
    mgr->alloc = callbacks->alloc;
    mgr->realloc = callbacks->realloc;
    mgr->free = callbacks->free;
    mgr->secureAlloc = callbacks->secureAlloc;
    mgr->secureFree = callbacks->secureFree;
    *outMgr = mgr;
    return QELError_NoErr;
}

QELStatus qelMemMgrNewHeap(QELMemoryMgr **outMgr)
{
    QELMemoryMgrCallbacks cb{};
    cb.blockSize = sizeof(QELMemoryMgrCallbacks);
    cb.alloc = heapAlloc;
    cb.realloc = heapRealloc;
    cb.free = heapFree;
    cb.secureAlloc = heapSecureAlloc;
    cb.secureFree = heapSecureFree;
    return qelMemMgrNew(&cb, outMgr);
}

QELStatus qelMemMgrNewDefault(std::uint32_t flags, QELMemoryMgr **outMgr)
{
    if (outMgr == nullptr)
        return QELError_BadParams;
    *outMgr = nullptr;
    if (flags != 0)
        return QELError_BadParams;
    const QELStatus status = qelMemMgrNewHeap(outMgr);
    if (status == QELError_NoErr)
        (*outMgr)->isDefault = 1;
    return status;
}

QELStatus qelMemMgrIsValid(const QELMemoryMgr *mgr)
{
    return validMgr(mgr) ? QELError_NoErr : QELError_BadParams;
}

bool qelMemMgrIsDefault(const QELMemoryMgr *mgr)
{
    return validMgr(mgr) && mgr->isDefault != 0;
}

QELStatus qelMemMgrGetUserValue(const QELMemoryMgr *mgr, void **outValue)
{
    if (outValue == nullptr)
        return QELError_BadParams;
    *outValue = nullptr;
    if (!validMgr(mgr) || mgr->isDefault)
        return QELError_BadParams;
    *outValue = mgr->userValue;
    return QELError_NoErr;
}

QELStatus qelMemMgrSetUserValue(QELMemoryMgr *mgr, void *value)
{
    if (!validMgr(mgr) || mgr->isDefault)
        return QELError_BadParams;
    mgr->userValue = value;
    return QELError_NoErr;
}

QELStatus qelMemMgrFree(QELMemoryMgr *mgr)
{
    if (!validMgr(mgr))
        return QELError_BadParams;
    const QELMemFreeProc freeProc = mgr->free;
    void *const userValue = mgr->userValue;
    // A record that outlives this call (a pool manager's) must not pass as valid.
    mgr->magic = 0;
    return freeProc(nullptr, userValue, mgr, sizeof(QELMemoryMgr));
}

// ---- the manager list ----

QELStatus qelMemMgrRegister(QELMemoryMgr *mgr)
{
    if (!validMgr(mgr))
        return QELError_BadParams;
    std::lock_guard<std::mutex> lifecycle(listLifecycle);
    if (listHead.load() == nullptr) {
        const QELStatus status = qelRWLockInit(&listLock);
        if (status != QELError_NoErr)
            return status;
    }
    // The list lock fails only when its semaphores are gone; the list is then used unguarded.
    static_cast<void>(qelRWLockWriteLock(&listLock));
    bool present = false;
    for (MgrNode *n = listHead.load(); n != nullptr; n = n->next)
        if (n->mgr == mgr)
            present = true;
    if (!present) {
        auto *node = static_cast<MgrNode *>(qelMemAlloc(mgr, sizeof(MgrNode), 0));
        if (node == nullptr) {
            const bool empty = listHead.load() == nullptr;
            static_cast<void>(qelRWLockWriteUnlock(&listLock));
            if (empty)
                qelRWLockDestroy(&listLock);
            return QELError_OutOfMemory;
        }
        node->next = listHead.load();
        node->mgr = mgr;
        listHead.store(node);
    }
    globalMgr = mgr;
    static_cast<void>(qelRWLockWriteUnlock(&listLock));
    return QELError_NoErr;
}

QELMemoryMgr *qelMemMgrGetGlobal()
{
    if (listHead.load() == nullptr)
        return nullptr;
    // The list lock fails only when its semaphores are gone; the list is then used unguarded.
    static_cast<void>(qelRWLockReadLock(&listLock));
    QELMemoryMgr *mgr = globalMgr;
    static_cast<void>(qelRWLockReadUnlock(&listLock));
    return mgr;
}

namespace {

// Frees the registered managers that keep() rejects; called under the
// lifecycle mutex.
template <typename Keep> void freeRegistered(Keep keep)
{
    if (listHead.load() == nullptr)
        return;
    // The list lock fails only when its semaphores are gone; the list is then used unguarded.
    static_cast<void>(qelRWLockWriteLock(&listLock));
    MgrNode *kept = nullptr;
    MgrNode **tail = &kept;
    bool globalFreed = false;
    for (MgrNode *n = listHead.load(); n != nullptr;) {
        MgrNode *const next = n->next;
        QELMemoryMgr *const mgr = n->mgr;
        if (keep(mgr)) {
            *tail = n;
            tail = &n->next;
        } else {
            if (mgr == globalMgr)
                globalFreed = true;
            static_cast<void>(qelMemFree(n));
            static_cast<void>(qelMemMgrFree(mgr));
        }
        n = next;
    }
    *tail = nullptr;
    listHead.store(kept);
    if (globalFreed || kept == nullptr)
        globalMgr = kept != nullptr ? kept->mgr : nullptr;
    static_cast<void>(qelRWLockWriteUnlock(&listLock));
    if (kept == nullptr)
        qelRWLockDestroy(&listLock);
}

} // namespace

void qelMemMgrFreeAll()
{
    std::lock_guard<std::mutex> lifecycle(listLifecycle);
    freeRegistered([](const QELMemoryMgr *) { return false; });
}

void qelMemMgrFreeDefaults()
{
    std::lock_guard<std::mutex> lifecycle(listLifecycle);
    freeRegistered([](const QELMemoryMgr *mgr) { return mgr->isDefault == 0; });
}

// ---- guarded blocks ----

void *qelMemAlloc(QELMemoryMgr *mgr, std::size_t size, std::uint32_t flags)
{
    if (!validMgr(mgr) || size > QELMemMaxBlockSize)
        return nullptr;
    void *p = mgr->alloc(mgr, mgr->userValue, size + QELMemBlockHeaderSize, flags);
    if (p == nullptr)
        return nullptr;
    if (flags & QELMemFlag_Clear)
        std::memset(p, 0, size + QELMemBlockHeaderSize);
    writeHeader(p, mgr, makeSizeWord(size, false, false));
    return callerBytes(p);
}

void *qelMemAllocSecure(QELMemoryMgr *mgr, std::size_t size, std::uint32_t flags)
{
    if (!validMgr(mgr) || size > QELMemMaxBlockSize)
        return nullptr;
    std::uint8_t locked = 0;
    void *p = mgr->secureAlloc(mgr, mgr->userValue, size + QELMemBlockHeaderSize, flags, &locked);
    if (p == nullptr)
        return nullptr;
    if (flags & QELMemFlag_Clear)
        std::memset(p, 0, size + QELMemBlockHeaderSize);
    writeHeader(p, mgr, makeSizeWord(size, true, locked != 0));
    return callerBytes(p);
}

QELStatus qelMemFree(void *ptr)
{
    if (ptr == nullptr)
        return QELError_BadParams;
    QELMemBlockHeader *h = headerOf(ptr);
    if (!validBlock(h))
        return QELError_BadParams;
    QELMemoryMgr *mgr = h->owner;
    const std::uint32_t word = h->sizeWord;
    const std::size_t size = word >> 2;
    if (!(word & sizeWordSecure))
        return mgr->free(mgr, mgr->userValue, h, size + QELMemBlockHeaderSize);
    qelSecureWipe(ptr, size);
    return mgr->secureFree(mgr, mgr->userValue, h, size + QELMemBlockHeaderSize,
                           (word & sizeWordLocked) ? 1 : 0);
}

QELStatus qelMemRealloc(QELMemoryMgr *mgr, void **inOutPtr, std::size_t newSize,
                        std::uint32_t flags)
{
    if (inOutPtr == nullptr || !validMgr(mgr))
        return QELError_BadParams;
    if (newSize > QELMemMaxBlockSize)
        return QELError_OutOfMemory;
    if (*inOutPtr == nullptr) {
        void *p = qelMemAlloc(mgr, newSize, flags);
        if (p == nullptr)
            return QELError_OutOfMemory;
        *inOutPtr = p;
        return QELError_NoErr;
    }

    QELMemBlockHeader *h = headerOf(*inOutPtr);
    // Resizing through a manager that does not own the block would hand its
    // memory to the wrong allocator.
    if (!validBlock(h) || h->owner != mgr)
        return QELError_BadParams;
    const std::uint32_t word = h->sizeWord;
    const std::size_t oldSize = word >> 2;
    const bool secure = (word & sizeWordSecure) != 0;
    bool locked = (word & sizeWordLocked) != 0;
    void *block = h;

    if (!secure) {
        const QELStatus status = mgr->realloc(mgr, mgr->userValue, &block,
                                              newSize + QELMemBlockHeaderSize, flags,
                                              oldSize + QELMemBlockHeaderSize);
        if (status != QELError_NoErr)
            return status;
    } else {
        std::uint8_t newLocked = 0;
        void *fresh = mgr->secureAlloc(mgr, mgr->userValue, newSize + QELMemBlockHeaderSize,
                                       flags, &newLocked);
        if (fresh == nullptr)
            return QELError_OutOfMemory;
        std::memcpy(fresh, block, std::min(oldSize, newSize) + QELMemBlockHeaderSize);
        qelSecureWipe(callerBytes(block), oldSize);
        mgr->secureFree(mgr, mgr->userValue, block, oldSize + QELMemBlockHeaderSize,
                        locked ? 1 : 0);
        block = fresh;
        locked = newLocked != 0;
    }

    writeHeader(block, mgr, makeSizeWord(newSize, secure, locked));
    unsigned char *bytes = callerBytes(block);
    if (newSize > oldSize && (flags & QELMemFlag_Clear))
        std::memset(bytes + oldSize, 0, newSize - oldSize);
    *inOutPtr = bytes;
    return QELError_NoErr;
}

int qelMemBlockInfo(const void *ptr)
{
    if (ptr == nullptr)
        return 0;
    const QELMemBlockHeader *h = headerOf(ptr);
    if (!validBlock(h))
        return 0;
    int info = 1;
    if (h->sizeWord & sizeWordSecure)
        info |= 2;
    if (h->sizeWord & sizeWordLocked)
        info |= 4;
    return info;
}

// ---- copies ----

void qelMemCopy(const void *source, void *destination, std::size_t length)
{
    if (length == 0 || source == nullptr || destination == nullptr)
        return;
    std::memmove(destination, source, length);
}

void qelMemFillPattern(const void *pattern, std::size_t patternLength, void *destination,
                       std::size_t destinationLength)
{
    if (pattern == nullptr || patternLength == 0 || destination == nullptr ||
        destinationLength == 0)
        return;
    auto *out = static_cast<unsigned char *>(destination);
    std::size_t filled = std::min(patternLength, destinationLength);
    std::memmove(out, pattern, filled);
    while (filled < destinationLength) {
        const std::size_t chunk = std::min(filled, destinationLength - filled);
        std::memcpy(out + filled, out, chunk);
        filled += chunk;
    }
}

// ---- plain blocks ----

namespace {

constexpr std::size_t plainPrefix = 8;

unsigned char *plainBlockOf(void *ptr) { return static_cast<unsigned char *>(ptr) - plainPrefix; }

std::uint64_t plainLength(void *ptr)
{
    std::uint64_t n;
    std::memcpy(&n, plainBlockOf(ptr), sizeof n);
    return n;
}

} // namespace

void *qelMemPlainAlloc(std::size_t length)
{
    if (length > SIZE_MAX - plainPrefix)
        return nullptr;
    auto *block = static_cast<unsigned char *>(std::malloc(length + plainPrefix));
    if (block == nullptr)
        return nullptr;
    const std::uint64_t n = length;
    std::memcpy(block, &n, sizeof n);
    return block + plainPrefix;
}

void *qelMemPlainAllocNonEmpty(std::size_t length)
{
    return length == 0 ? nullptr : qelMemPlainAlloc(length);
}

void qelMemPlainFree(void *ptr)
{
    if (ptr != nullptr)
        std::free(plainBlockOf(ptr));
}

QELStatus qelMemPlainRealloc(void **inOutPtr, std::size_t newLength)
{
    if (inOutPtr == nullptr)
        return QELError_BadParams;
    if (newLength > SIZE_MAX - plainPrefix)
        return QELError_OutOfMemory;
    if (*inOutPtr == nullptr) {
        void *p = qelMemPlainAlloc(newLength);
        if (p == nullptr)
            return QELError_OutOfMemory;
        *inOutPtr = p;
        return QELError_NoErr;
    }
    const std::uint64_t oldLength = plainLength(*inOutPtr);
    if (oldLength == newLength)
        return QELError_NoErr;
    unsigned char *block = plainBlockOf(*inOutPtr);
    unsigned char *result = nullptr;
    if (newLength < oldLength)
        result = static_cast<unsigned char *>(std::realloc(block, newLength + plainPrefix));
    if (result == nullptr) {
        result = static_cast<unsigned char *>(std::malloc(newLength + plainPrefix));
        if (result == nullptr)
            return QELError_OutOfMemory;
        std::memcpy(result, block,
                    plainPrefix + std::min<std::size_t>(static_cast<std::size_t>(oldLength),
                                                        newLength));
        std::free(block);
    }
    const std::uint64_t n = newLength;
    std::memcpy(result, &n, sizeof n);
    *inOutPtr = result + plainPrefix;
    return QELError_NoErr;
}

void *qelMemPlainResize(void *ptr, std::size_t newLength)
{
    if (ptr == nullptr)
        return qelMemPlainAllocNonEmpty(newLength);
    if (newLength == 0) {
        qelMemPlainFree(ptr);
        return nullptr;
    }
    return qelMemPlainRealloc(&ptr, newLength) == QELError_NoErr ? ptr : nullptr;
}
