/* The process-wide random pool: queries of its size and entropy estimate.
 * Those that pass the API entry guard answer 0 when it refuses. */
#ifndef QEL_RANDOM_POOL_H
#define QEL_RANDOM_POOL_H

#include <stdbool.h>
#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The entropy estimate in bits. */
QEL_API int32_t qelRandomPoolGetEntropy(void);
/* The pool's size in bits (10240). */
QEL_API uint32_t qelRandomPoolGetSize(void);
/* The entropy the pool must hold before it hands out key material (192). */
QEL_API uint32_t qelRandomPoolGetMinimumEntropy(void);
QEL_API bool qelRandomPoolHasMinimumEntropy(void);
QEL_API uint8_t qelRandomPoolGetStatusFlag(void);
/* Raises the estimate to at least the given bits. */
QEL_API void qelRandomPoolRaiseEntropy(uint32_t bits);

#ifdef __cplusplus
}
#endif

#endif
