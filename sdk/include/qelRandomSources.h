/* Entropy events (keystrokes, timed user events) and the system entropy
 * sources feeding the random pool. Each passes the API entry guard and
 * answers 0 when it refuses. */
#ifndef QEL_RANDOM_SOURCES_H
#define QEL_RANDOM_SOURCES_H

#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bits credited to the pool for one keystroke with the given key value. */
QEL_API int32_t qelRandomPoolAddKeystroke(int32_t keyValue);
/* Bits credited for one timed user event. */
QEL_API int32_t qelRandomPoolAddTimingEvent(void);
QEL_API int32_t qelRandomPoolAddTimingEvent2(void);
/* 0 when a system source delivered, QELError_Unavailable when none did. */
QEL_MUST_CHECK QEL_API QELStatus qelRandomPoolPollSystemEntropy(void);

#ifdef __cplusplus
}
#endif

#endif
