// A chunked bump allocator with marks. Chunks come from a context's memory
// manager, are 256 KiB unless one request needs more, and are wiped when
// released. A mark is a plain copy of the pool record.
#pragma once

#include "qelErrors.h"

#include <cstdint>

struct QELContext;
struct QELMemoryMgr;

using QELMemPoolOutOfMemoryProc = QELStatus (*)(void *userValue);

constexpr std::uint32_t QELMemPoolChunkSize = 0x40000;

struct QELMemPool {
    QELContext *context;
    void *chunks;          // newest chunk first
    unsigned char *cursor; // next free byte in the newest chunk
    std::uint32_t bytesLeft;
    std::uint32_t chunkSize;
    std::uint32_t total;   // sum of the sizes of all chunks held (saturates)
    QELMemPoolOutOfMemoryProc outOfMemory;
    void *outOfMemoryUserValue;
};

void qelMemPoolInit(QELContext *context, QELMemPool *pool);
void qelMemPoolSetOutOfMemoryCallback(QELMemPool *pool, QELMemPoolOutOfMemoryProc callback,
                                      void *userValue);
// alignment: a power of two (0 counts as 1), counted from the chunk's start.
// Null when no chunk can be had, for a bad alignment, or for a size whose
// chunk would not fit 32 bits.
void *qelMemPoolAlloc(QELMemPool *pool, std::uint32_t size, std::uint32_t alignment);
// Frees (after wiping) every chunk made since the mark and restores the mark.
// When the mark's newest chunk is no longer held (marks released out of
// order, or everything freed since), every chunk is freed and the pool is
// left empty instead.
void qelMemPoolRelease(QELMemPool *pool, const QELMemPool *mark);
void qelMemPoolFreeAll(QELMemPool *pool);
// A manager whose blocks come from the pool; its record lives in the pool.
QELMemoryMgr *qelMemPoolMemoryMgr(QELMemPool *pool);
