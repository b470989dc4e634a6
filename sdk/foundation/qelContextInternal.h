// Context internals: creation without the guard, the global list of live
// contexts, allocation through the context's managers and the accessors of
// the parts a context owns.
#pragma once

#include "qelContext.h"

#include <cstddef>
#include <cstdint>

struct QELMemPool;
struct QELSettings;
struct QELRandomContext;
struct QELKeyDB;
struct QELPassCache;

constexpr std::uint32_t QELContextMagic = 0x436E7478; // "Cntx"

[[nodiscard]] QELStatus qelContextCreate(const QELContextParams *params, QELContext **outContext);
bool qelContextIsValid(const QELContext *context);
// The context after the given one in the global list; null gives the head.
QELContext *qelContextNext(QELContext *context);
// Runs fn for every live context, newest first, with the global list locked:
// a context cannot be freed while fn runs for it. fn must not free contexts.
void qelContextForEach(void (*fn)(QELContext *context, void *arg), void *arg);

// Flags bit 0 (QELMemFlag_Clear) asks for zero-filled memory.
void *qelContextMemAlloc(QELContext *context, std::size_t size, std::uint32_t flags);
[[nodiscard]] QELStatus qelContextMemRealloc(QELContext *context, void **inOutBlock,
                                             std::size_t newSize, std::uint32_t flags);
[[nodiscard]] QELStatus qelContextMemFree(QELContext *context, void *block);
// A copy of size bytes of source in a new block of the context's manager.
void *qelContextMemAllocCopy(QELContext *context, std::size_t size, std::uint32_t flags,
                             const void *source);
void *qelContextPoolMemAlloc(QELContext *context, std::size_t size, std::uint32_t flags);
[[nodiscard]] QELStatus qelContextPoolMemRealloc(QELContext *context, void **inOutBlock,
                                                 std::size_t newSize, std::uint32_t flags);
QELMemPool *qelContextGetMemoryPool(QELContext *context);
// Releases the embedded pool back to a mark taken earlier.
void qelContextReleasePool(QELContext *context, const QELMemPool *mark);

// The context's memory manager, without the API entry guard (null for a bad
// context).
QELMemoryMgr *qelContextMemoryMgr(QELContext *context);
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
