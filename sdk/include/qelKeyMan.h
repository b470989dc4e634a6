/* Key management: the operations on hardware tokens that hold keys. No
 * token is present in this system: they report empty results. */
#ifndef QEL_KEY_MAN_H
#define QEL_KEY_MAN_H

#include <stddef.h>
#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELContext QELContext;

/* The information record of one token. */
typedef struct QELTokenInfo {
    uint8_t data[96];
} QELTokenInfo;

QEL_MUST_CHECK QELStatus qelCountTokens(QELContext *context, int32_t *outCount);
QEL_MUST_CHECK QELStatus qelGetTokenInfo(QELContext *context, int32_t tokenIndex,
                                         QELTokenInfo *outInfo);
/* Presents, sets or replaces a token's secret (such as its PIN). */
QEL_MUST_CHECK QELStatus qelSubmitTokenSecret(QELContext *context, int32_t tokenIndex,
                                              const void *secret, size_t length);
QEL_MUST_CHECK QELStatus qelSetTokenSecret(QELContext *context, int32_t tokenIndex,
                                           const void *secret, size_t length);
QEL_MUST_CHECK QELStatus qelReplaceTokenSecret(QELContext *context, int32_t tokenIndex,
                                               const void *oldSecret, size_t oldLength,
                                               const void *newSecret, size_t newLength);
/* Configures the token layer. */
QEL_MUST_CHECK QELStatus qelTokenSetConfigString(const char *config);

#ifdef __cplusplus
}
#endif

#endif
