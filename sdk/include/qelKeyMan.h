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

/* Numbered properties of key objects (the QELProperty_... numbers of
   qelKeyProperty.h). Data properties copy into the caller's buffer (a zero
   byte follows when there is room; QELError_BufferTooSmall when the buffer
   is smaller than the data, whose full length is always reported) or come
   in a new block of the object's context, freed with qelContextMemFree. */
typedef struct QELKeyObject QELKeyObject;
QEL_MUST_CHECK QELStatus qelKeyObjGetBoolProperty(QELKeyObject *object, uint32_t property,
                                                  uint8_t *outValue);
QEL_MUST_CHECK QELStatus qelKeyObjGetNumberProperty(QELKeyObject *object, uint32_t property,
                                                    int32_t *outValue);
QEL_MUST_CHECK QELStatus qelKeyObjGetTimeProperty(QELKeyObject *object, uint32_t property,
                                                  uint32_t *outValue);
QEL_MUST_CHECK QELStatus qelKeyObjGetDataProperty(QELKeyObject *object, uint32_t property,
                                                  void *buffer, size_t size, size_t *outLength);
QEL_MUST_CHECK QELStatus qelKeyObjGetDataPropertyAlloc(QELKeyObject *object, uint32_t property,
                                                       void **outBuffer, size_t *outLength);
/* The text of the key's primary user ID, and its validity. */
QEL_MUST_CHECK QELStatus qelKeyGetPrimaryUserIDName(QELKeyObject *key, void *buffer, size_t size,
                                                    size_t *outLength);
QEL_MUST_CHECK QELStatus qelKeyGetValidity(QELKeyObject *key, int32_t *outValidity);

#ifdef __cplusplus
}
#endif

#endif
