// Memory internals: the manager and block-header records, the process-wide
// manager list, plain length-prefixed heap blocks and the copy helpers.
#pragma once

#include "qelMemory.h"

#include <cstddef>
#include <cstdint>

constexpr std::uint32_t QELMemoryMgrMagic = 0x4D4D6772;    // "MMgr"
constexpr std::uint32_t QELMemBlockMagic = 0x42554746;     // "BUGF"
constexpr std::size_t QELMemBlockHeaderSize = 32;
// Blocks of the heap manager from this size on are mapped directly and
// offered huge pages (not in the address-sanitizer build).
constexpr std::size_t QELMemMappedMin = std::size_t(2) << 20;
// The header's size field has 30 bits.
constexpr std::size_t QELMemMaxBlockSize = (std::size_t{1} << 30) - 1;

static_assert(sizeof(QELMemoryMgrCallbacks) == 128);

struct QELMemoryMgr {
    std::uint32_t magic;
    void *userValue;
    std::uint8_t isDefault; // made by qelMemMgrNewDefault
    QELMemAllocProc alloc;
    QELMemReallocProc realloc;
    QELMemFreeProc free;
    QELMemSecureAllocProc secureAlloc;
    QELMemSecureFreeProc secureFree;
};
static_assert(sizeof(QELMemoryMgr) == 64);

struct QELMemBlockHeader {
    QELMemoryMgr *owner;
    std::uint32_t sizeWord; // (size << 2) | 2 pages locked | 1 secure
    std::uint32_t magic;    // "BUGF"
    std::uint8_t reserved[16];
};
static_assert(sizeof(QELMemBlockHeader) == QELMemBlockHeaderSize);

// True for a valid manager made by qelMemMgrNewDefault.
bool qelMemMgrIsDefault(const QELMemoryMgr *mgr);

// The process-wide list of registered managers.
[[nodiscard]] QELStatus qelMemMgrRegister(QELMemoryMgr *mgr);
QELMemoryMgr *qelMemMgrGetGlobal();
void qelMemMgrFreeAll();
// Frees only the registered managers made by qelMemMgrNewDefault (those that
// SDK start-up made), leaving the application's registered managers in the
// list; when the global manager goes, the most recently registered remaining
// one takes its place. Destroys the list's lock when the list becomes empty.
void qelMemMgrFreeDefaults();

// 0 when ptr is not a guarded block; else 1, plus 2 when secure, plus 4 when
// its pages are locked. Sizes above QELMemMaxBlockSize are refused by the
// allocators.
int qelMemBlockInfo(const void *ptr);

// Copies (the areas may overlap) and pattern fills.
void qelMemCopy(const void *source, void *destination, std::size_t length);
void qelMemFillPattern(const void *pattern, std::size_t patternLength, void *destination,
                       std::size_t destinationLength);

// Plain heap blocks with an 8-byte length in front of the caller's bytes.
void *qelMemPlainAlloc(std::size_t length);
void *qelMemPlainAllocNonEmpty(std::size_t length);
void qelMemPlainFree(void *ptr);
[[nodiscard]] QELStatus qelMemPlainRealloc(void **inOutPtr, std::size_t newLength);
void *qelMemPlainResize(void *ptr, std::size_t newLength);
