/* Memory managers and guarded blocks. Every SDK allocation goes through a
 * manager: five allocation callbacks and a user value. A caller may make its
 * own manager and hand it to a context (qelContextNewCustom). */
#ifndef QEL_MEMORY_H
#define QEL_MEMORY_H

#include <stddef.h>
#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELMemoryMgr QELMemoryMgr;

/* Sizes handed to callbacks include the 32-byte block header.
 * Flags bit 0 (QELMemFlag_Clear) asks for zero-filled memory. */
typedef void *(*QELMemAllocProc)(QELMemoryMgr *mgr, void *userValue, size_t size, uint32_t flags);
typedef QELStatus (*QELMemReallocProc)(QELMemoryMgr *mgr, void *userValue, void **inOutPtr,
                                       size_t newSize, uint32_t flags, size_t oldSize);
typedef QELStatus (*QELMemFreeProc)(QELMemoryMgr *mgr, void *userValue, void *ptr, size_t size);
typedef void *(*QELMemSecureAllocProc)(QELMemoryMgr *mgr, void *userValue, size_t size,
                                       uint32_t flags, uint8_t *outLocked);
typedef QELStatus (*QELMemSecureFreeProc)(QELMemoryMgr *mgr, void *userValue, void *ptr,
                                          size_t size, uint8_t locked);

#define QELMemFlag_Clear 1u

/* The block a caller fills to make a manager (128 bytes). */
typedef struct QELMemoryMgrCallbacks {
    uint32_t blockSize; /* at least 128 */
    QELMemAllocProc alloc;
    QELMemReallocProc realloc;
    QELMemFreeProc free;
    QELMemSecureAllocProc secureAlloc;
    void *reserved;     /* must be null */
    QELMemSecureFreeProc secureFree;
    void *userValue;
    uint8_t reserved2[64]; /* must be zero */
} QELMemoryMgrCallbacks;

QEL_MUST_CHECK QEL_API QELStatus qelMemMgrNew(const QELMemoryMgrCallbacks *callbacks,
                                              QELMemoryMgr **outMgr);
/* A manager over the platform heap; secure blocks are locked into memory
 * where the platform allows. */
QEL_MUST_CHECK QEL_API QELStatus qelMemMgrNewHeap(QELMemoryMgr **outMgr);
/* The same marked as a default manager; flags must be 0. */
QEL_MUST_CHECK QEL_API QELStatus qelMemMgrNewDefault(uint32_t flags, QELMemoryMgr **outMgr);
/* 0 for a manager of ours, else QELError_BadParams. */
QEL_MUST_CHECK QEL_API QELStatus qelMemMgrIsValid(const QELMemoryMgr *mgr);
QEL_MUST_CHECK QEL_API QELStatus qelMemMgrGetUserValue(const QELMemoryMgr *mgr, void **outValue);
QEL_MUST_CHECK QEL_API QELStatus qelMemMgrSetUserValue(QELMemoryMgr *mgr, void *value);
QEL_MUST_CHECK QEL_API QELStatus qelMemMgrFree(QELMemoryMgr *mgr);

/* Guarded blocks; null when the manager refuses. */
QEL_API void *qelMemAlloc(QELMemoryMgr *mgr, size_t size, uint32_t flags);
/* A block that is wiped before it is released. */
QEL_API void *qelMemAllocSecure(QELMemoryMgr *mgr, size_t size, uint32_t flags);
QEL_MUST_CHECK QEL_API QELStatus qelMemRealloc(QELMemoryMgr *mgr, void **inOutPtr, size_t newSize,
                                               uint32_t flags);
/* Frees a guarded block (also those the SDK hands out, such as paths). */
QEL_MUST_CHECK QEL_API QELStatus qelMemFree(void *ptr);

#ifdef __cplusplus
}
#endif

#endif
