/* HMAC (RFC 2104) over any hash algorithm the SDK knows. Each operation
 * passes the API entry guard and returns QELError_BadParams for an invalid
 * object or a null required pointer. */
#ifndef QEL_HMAC_H
#define QEL_HMAC_H

#include <stddef.h>
#include <stdint.h>

#include "qelContext.h"
#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELHMACContext QELHMACContext;

/* Makes a started HMAC keyed with the key (a key longer than the hash's
 * block is hashed first). The out-parameter is null after any failure. */
QEL_MUST_CHECK QEL_API QELStatus qelHMACNew(QELContext *context, int32_t hashAlgorithm, const void *key,
                                            size_t keyLength, QELHMACContext **outHMAC);
/* Feeds message bytes; length 0 does nothing. */
QEL_MUST_CHECK QEL_API QELStatus qelHMACUpdate(QELHMACContext *hmac, const void *data, size_t length);
/* Writes the HMAC value (the hash's digest size) to out. The object must be
 * reset before it authenticates another message. */
QEL_MUST_CHECK QEL_API QELStatus qelHMACFinal(QELHMACContext *hmac, void *out);
/* Starts a new message with the same key. */
QEL_MUST_CHECK QEL_API QELStatus qelHMACReset(QELHMACContext *hmac);
/* Wipes the key, frees the hash and the object. */
QEL_MUST_CHECK QEL_API QELStatus qelHMACFree(QELHMACContext *hmac);

#ifdef __cplusplus
}
#endif

#endif
