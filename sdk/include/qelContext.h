// The SDK context: the handle that nearly every SDK call takes. It owns the
// memory manager it was made with, a memory pool with a manager over it, the
// settings record, three lazily made random contexts and the passphrase
// cache; all live contexts are chained in one process-wide list.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELMemoryMgr;
struct QELMemPool;
struct QELSettings;
struct QELRandomContext;
struct QELKeyDB;
struct QELPassCache;

constexpr std::uint32_t QELContextMagic = 0x436E7478; // "Cntx"
constexpr std::uint32_t QELSDKVersion = 0x01000000;

struct QELContextParams {
    std::uint32_t sdkVersion; // must be QELSDKVersion
    QELMemoryMgr *memoryMgr;  // owned by the context once it is made
};

// Public operations (each passes the API entry guard).
// Makes a default memory manager and a context over it.
QELStatus qelContextNew(std::uint32_t sdkVersion, QELContext **outContext);
// A context over the caller's manager, which the new context owns; when
// creation fails the manager stays the caller's.
QELStatus qelContextNewCustom(const QELContextParams *params, QELContext **outContext);
// Releases the context and its manager; returns the random-seed-file save
// status.
QELStatus qelContextFree(QELContext *context);
QELMemoryMgr *qelContextGetMemoryMgr(QELContext *context);
QELMemoryMgr *qelContextGetPoolMemoryMgr(QELContext *context);
QELStatus qelContextSetUserValue(QELContext *context, void *value);
QELStatus qelContextGetUserValue(QELContext *context, void **outValue);
// QELError_OutOfEntropy when the context has no cryptographic generator or
// the pool lacks its minimum entropy.
QELStatus qelContextGetRandomBytes(QELContext *context, void *buffer, std::uint32_t length);
// Random bytes the cryptographic generator can deliver now (0 when none), or
// a refusal of the API entry guard.
std::int64_t qelContextReserveRandomBytes(QELContext *context, std::uint32_t count);

// Internal operations (no guard).
QELStatus qelContextCreate(const QELContextParams *params, QELContext **outContext);
bool qelContextIsValid(const QELContext *context);
// The context after the given one in the global list; null gives the head.
QELContext *qelContextNext(QELContext *context);
// Runs fn for every live context, newest first, with the global list locked:
// a context cannot be freed while fn runs for it. fn must not free contexts.
void qelContextForEach(void (*fn)(QELContext *context, void *arg), void *arg);

// Flags bit 0 (QELMemFlag_Clear) asks for zero-filled memory.
void *qelContextMemAlloc(QELContext *context, std::size_t size, std::uint32_t flags);
QELStatus qelContextMemRealloc(QELContext *context, void **inOutBlock, std::size_t newSize,
                               std::uint32_t flags);
QELStatus qelContextMemFree(QELContext *context, void *block);
// A copy of size bytes of source in a new block of the context's manager.
void *qelContextMemAllocCopy(QELContext *context, std::size_t size, std::uint32_t flags,
                             const void *source);
void *qelContextPoolMemAlloc(QELContext *context, std::size_t size, std::uint32_t flags);
QELStatus qelContextPoolMemRealloc(QELContext *context, void **inOutBlock, std::size_t newSize,
                                   std::uint32_t flags);
QELMemPool *qelContextGetMemoryPool(QELContext *context);
// Releases the embedded pool back to a mark taken earlier.
void qelContextReleasePool(QELContext *context, const QELMemPool *mark);

QELSettings *qelContextGetSettings(QELContext *context);
QELKeyDB *qelContextGetKeyDBList(QELContext *context);
void qelContextSetKeyDBList(QELContext *context, QELKeyDB *head);
void *qelContextGetClient(QELContext *context);
void qelContextSetClient(QELContext *context, void *client);
QELPassCache *qelContextGetPassCache(QELContext *context);
void qelContextSetPassCache(QELContext *context, QELPassCache *cache);
std::uint8_t qelContextGetPendingNotify(QELContext *context);
void qelContextSetPendingNotify(QELContext *context, std::uint8_t pending);
std::uint32_t qelContextGetReservedWord(QELContext *context);

// Random contexts, made on first use; null when one cannot be made (the next
// call tries again).
QELRandomContext *qelContextGetRandomContext(QELContext *context);
QELRandomContext *qelContextGetPoolRandomContext(QELContext *context);
QELRandomContext *qelContextGetDummyRandomContext(QELContext *context);
