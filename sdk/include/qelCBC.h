/* Cipher block chaining over whole blocks; callers handle any padding. Each
 * operation passes the API entry guard after its argument checks and returns
 * QELError_BadParams for a null or foreign object. */
#ifndef QEL_CBC_H
#define QEL_CBC_H

#include <stddef.h>

#include "qelErrors.h"
#include "qelSymmetricCipher.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELCBCContext QELCBCContext;

/* Takes ownership of the cipher once its arguments are accepted. */
QEL_MUST_CHECK QEL_API QELStatus qelCBCCreate(QELSymmetricCipher *cipher, QELCBCContext **outCBC);
/* key: the cipher's key size; iv: one block. Not both null. */
QEL_MUST_CHECK QEL_API QELStatus qelCBCInit(QELCBCContext *cbc, const void *key, const void *iv);
/* length: whole blocks. */
QEL_MUST_CHECK QEL_API QELStatus qelCBCEncrypt(QELCBCContext *cbc, const void *in, size_t length,
                                               void *out);
QEL_MUST_CHECK QEL_API QELStatus qelCBCDecrypt(QELCBCContext *cbc, const void *in, size_t length,
                                               void *out);
QEL_MUST_CHECK QEL_API QELStatus qelCBCFree(QELCBCContext *cbc);
QEL_MUST_CHECK QEL_API QELStatus qelCBCCopy(const QELCBCContext *cbc, QELCBCContext **outCopy);
/* The cipher the object owns. */
QEL_MUST_CHECK QEL_API QELStatus qelCBCGetSymmetricCipher(QELCBCContext *cbc,
                                                          QELSymmetricCipher **outCipher);

#ifdef __cplusplus
}
#endif

#endif
