/* SDK start-up and clean-up. Every process that uses the SDK brackets its
 * work between qelSDKInit and qelSDKCleanup; start-up is reference counted. */
#ifndef QEL_SDK_H
#define QEL_SDK_H

#include <stdbool.h>
#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Flags of qelSDKInit. */
#define QELSDKInit_NoService 2u      /* do not connect to the local SDK service */
#define QELSDKInit_NoHousekeeping 4u /* do not start the housekeeping thread */

/* The first call builds the process-wide state; later calls only count.
 * A failed first call undoes what it did and leaves the count at 0. */
QEL_MUST_CHECK QEL_API QELStatus qelSDKInit(uint32_t flags);
/* Counts down; the last call tears the state down. QELError_BadParams when
 * the SDK is not started. */
QEL_MUST_CHECK QEL_API QELStatus qelSDKCleanup(void);
/* Shuts the SDK down in one call whatever the count. */
QEL_MUST_CHECK QEL_API QELStatus qelSDKForceCleanup(void);
QEL_API bool qelSDKIsInitialized(void);

/* Called on every key-database change notification with the three values
 * given to the notification, unchanged. */
typedef QELStatus (*QELKeyDBChangeCallback)(void *userValue, uint32_t a, uint32_t b, uint32_t c);
/* Registers the callback (null: none), replacing any earlier one; 0. */
QEL_MUST_CHECK QEL_API QELStatus qelSetKeyDBChangeCallback(QELKeyDBChangeCallback callback,
                                                           void *userValue);

#ifdef __cplusplus
}
#endif

#endif
