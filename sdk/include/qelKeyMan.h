/* Key management: the public operations on keys, and the operations on
 * hardware tokens that hold keys. No token is present in this system: they
 * report empty results. */
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

QEL_MUST_CHECK QEL_API QELStatus qelCountTokens(QELContext *context, int32_t *outCount);
QEL_MUST_CHECK QEL_API QELStatus qelGetTokenInfo(QELContext *context, int32_t tokenIndex,
                                                 QELTokenInfo *outInfo);
/* Presents, sets or replaces a token's secret (such as its PIN). */
QEL_MUST_CHECK QEL_API QELStatus qelSubmitTokenSecret(QELContext *context, int32_t tokenIndex,
                                                      const void *secret, size_t length);
QEL_MUST_CHECK QEL_API QELStatus qelSetTokenSecret(QELContext *context, int32_t tokenIndex,
                                                   const void *secret, size_t length);
QEL_MUST_CHECK QEL_API QELStatus qelReplaceTokenSecret(QELContext *context, int32_t tokenIndex,
                                                       const void *oldSecret, size_t oldLength,
                                                       const void *newSecret, size_t newLength);
/* Configures the token layer. */
QEL_MUST_CHECK QEL_API QELStatus qelTokenSetConfigString(const char *config);

/* Numbered properties of key objects (the QELProperty_... numbers of
   qelKeyProperty.h). Data properties copy into the caller's buffer (a zero
   byte follows when there is room; QELError_BufferTooSmall when the buffer
   is smaller than the data, whose full length is always reported) or come
   in a new block of the object's context, freed with qelContextMemFree. */
typedef struct QELKeyObject QELKeyObject;
QEL_MUST_CHECK QEL_API QELStatus qelKeyObjGetBoolProperty(QELKeyObject *object, uint32_t property,
                                                          uint8_t *outValue);
QEL_MUST_CHECK QEL_API QELStatus qelKeyObjGetNumberProperty(QELKeyObject *object, uint32_t property,
                                                            int32_t *outValue);
QEL_MUST_CHECK QEL_API QELStatus qelKeyObjGetTimeProperty(QELKeyObject *object, uint32_t property,
                                                          uint32_t *outValue);
QEL_MUST_CHECK QEL_API QELStatus qelKeyObjGetDataProperty(QELKeyObject *object, uint32_t property,
                                                          void *buffer, size_t size, size_t *outLength);
QEL_MUST_CHECK QEL_API QELStatus qelKeyObjGetDataPropertyAlloc(QELKeyObject *object, uint32_t property,
                                                               void **outBuffer, size_t *outLength);
/* The text of the key's primary user ID, and its validity. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyGetPrimaryUserIDName(QELKeyObject *key, void *buffer, size_t size,
                                                            size_t *outLength);
QEL_MUST_CHECK QEL_API QELStatus qelKeyGetValidity(QELKeyObject *key, int32_t *outValidity);

/* ---- key management ---- */
typedef struct QELKeyDB QELKeyDB;
typedef struct QELKeyID QELKeyID;

/* The value an application keeps with any key-database object. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyObjGetUserValue(QELKeyObject *object, void **outValue);
QEL_MUST_CHECK QEL_API QELStatus qelKeyObjSetUserValue(QELKeyObject *object, void *value);
/* The key's primary user ID of a kind (0 plain user IDs, else the type of
   a user attribute); QELError_ItemNotFound when it has none that is live. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyGetPrimaryUserIDOfKind(QELKeyObject *key, int32_t kind,
                                                              QELKeyObject **outUserID);
QEL_MUST_CHECK QEL_API QELStatus qelKeyGetPrimaryUserID(QELKeyObject *key, QELKeyObject **outUserID);
/* The key or subkey that serves a usage: 0x3 signing or certifying, 0xC
   encrypting; QELError_AlgorithmCannotDoThis when none does. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyPickForUsage(QELKeyObject *key, uint32_t usage, QELKeyObject **outObject);
/* Removes the object from its key database and propagates trust. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyObjRemove(QELKeyObject *object);
/* Owner trust level 1 to 6 (7 belongs to axiomatic keys only). */
QEL_MUST_CHECK QEL_API QELStatus qelKeySetOwnerTrust(QELKeyObject *key, int32_t level);
QEL_MUST_CHECK QEL_API QELStatus qelKeySetEnabled(QELKeyObject *key, int32_t enable);
/* The key's distinct CRL distribution points as an issuer: one block of
   their DER encodings one after another and an array of their lengths,
   both freed with qelMemFree. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyGetCRLDistributionPoints(QELKeyObject *key, uint32_t *outCount,
                                                                uint8_t **outBuffer, uint64_t **outLengths);
/* Additional-recipient keys named by the key's self-signatures: the key
   (null when the database lacks it), its key ID and the class byte;
   QELError_ItemNotFound past the end. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyGetSubpacket10Key(QELKeyObject *key, uint32_t index, QELKeyObject **outKey,
                                                         QELKeyID *outID, uint8_t *outClass);
QEL_MUST_CHECK QEL_API QELStatus qelKeyCountSubpacket10Keys(QELKeyObject *key, uint32_t *outCount);
/* The certificate of the issuer of an X.509 signature among its signer's
   certificates (second database optional). */
QEL_MUST_CHECK QEL_API QELStatus qelKeyFindIssuerCertificate(QELKeyObject *sig, QELKeyDB *second,
                                                             QELKeyObject **outSig);
/* Copies a key or subkey onto a token (index -1: the token holding it). */
QEL_MUST_CHECK QEL_API QELStatus qelKeyCopyToToken(QELKeyObject *object, int32_t tokenIndex, const void *secret,
                                                   size_t length);

#ifdef __cplusplus
}
#endif

#endif
