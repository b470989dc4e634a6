/* Hash contexts: one running hash of an algorithm (QELHashAlgorithm_...).
 * Each operation passes the API entry guard, returns QELError_BadParams for
 * an invalid hash or a null required pointer and clears its out-parameters
 * first. */
#ifndef QEL_HASH_H
#define QEL_HASH_H

#include <stdint.h>

#include "qelAlgorithms.h"
#include "qelContext.h"
#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELHashContext QELHashContext;

QEL_MUST_CHECK QEL_API QELStatus qelHashNew(QELContext *context, int32_t algorithm,
                                            QELHashContext **outHash);
QEL_MUST_CHECK QEL_API QELStatus qelHashUpdate(QELHashContext *hash, const void *data, uint64_t length);
/* out must hold the digest size; the hash must be reset before it is fed again. */
QEL_MUST_CHECK QEL_API QELStatus qelHashFinal(QELHashContext *hash, void *out);
QEL_MUST_CHECK QEL_API QELStatus qelHashReset(QELHashContext *hash);
QEL_MUST_CHECK QEL_API QELStatus qelHashCopy(const QELHashContext *hash, QELHashContext **outCopy);
QEL_MUST_CHECK QEL_API QELStatus qelHashFree(QELHashContext *hash);
/* The digest size in bytes. */
QEL_MUST_CHECK QEL_API QELStatus qelHashGetSize(const QELHashContext *hash, uint64_t *outSize);

#ifdef __cplusplus
}
#endif

#endif
