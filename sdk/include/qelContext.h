/* The SDK context: the handle that nearly every SDK call takes. It owns the
 * memory manager it was made with, a memory pool, the settings, the random
 * contexts and the passphrase cache. */
#ifndef QEL_CONTEXT_H
#define QEL_CONTEXT_H

#include <stdint.h>

#include "qelErrors.h"
#include "qelMemory.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELContext QELContext;
typedef struct QELEvent QELEvent;
/* Called with each event of a job, check or generation; a non-zero answer
   stops it. */
typedef int32_t (*QELEventHandler)(QELContext *context, QELEvent *event, void *userValue);

/* The SDK version a caller asks for. */
#define QELSDKVersion 0x01000000u

typedef struct QELContextParams {
    uint32_t sdkVersion;      /* must be QELSDKVersion */
    QELMemoryMgr *memoryMgr;  /* owned by the context once it is made */
} QELContextParams;

/* Makes a default memory manager and a context over it. */
QEL_MUST_CHECK QEL_API QELStatus qelContextNew(uint32_t sdkVersion, QELContext **outContext);
/* A context over the caller's manager, which the new context owns; when
 * creation fails the manager stays the caller's. */
QEL_MUST_CHECK QEL_API QELStatus qelContextNewCustom(const QELContextParams *params,
                                                     QELContext **outContext);
/* Releases the context and its manager; returns the random-seed-file save
 * status. */
QEL_MUST_CHECK QEL_API QELStatus qelContextFree(QELContext *context);
/* Null for a bad context or when the API entry guard refuses. */
QEL_API QELMemoryMgr *qelContextGetMemoryMgr(QELContext *context);
QEL_API QELMemoryMgr *qelContextGetPoolMemoryMgr(QELContext *context);
QEL_MUST_CHECK QEL_API QELStatus qelContextSetUserValue(QELContext *context, void *value);
QEL_MUST_CHECK QEL_API QELStatus qelContextGetUserValue(QELContext *context, void **outValue);
/* QELError_OutOfEntropy when the context has no cryptographic generator or
 * the pool lacks its minimum entropy. */
QEL_MUST_CHECK QEL_API QELStatus qelContextGetRandomBytes(QELContext *context, void *buffer,
                                                          uint32_t length);
/* Random bytes the cryptographic generator can deliver now (0 when none), or
 * a refusal of the API entry guard. */
QEL_API int64_t qelContextReserveRandomBytes(QELContext *context, uint32_t count);

#ifdef __cplusplus
}
#endif

#endif
