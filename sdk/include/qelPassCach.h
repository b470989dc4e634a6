/* The passphrase cache of a context: passkeys that unlocked secret keys,
 * remembered for a limited time so that later operations need not ask for
 * the passphrase again. */
#ifndef QEL_PASS_CACH_H
#define QEL_PASS_CACH_H

#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELContext QELContext;

/* The cached entries the context sees: its own (scoped to its current
 * service client), those under its client's name, and the others. Each out
 * may be null. */
QEL_MUST_CHECK QEL_API QELStatus qelPassCacheGetCounts(QELContext *context, int32_t *outOwn,
                                                       int32_t *outNamed, int32_t *outOthers);
/* Forgets every cached passkey of the context. */
QEL_MUST_CHECK QEL_API QELStatus qelPassCachePurge(QELContext *context);

#ifdef __cplusplus
}
#endif

#endif
