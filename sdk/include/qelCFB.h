/* Cipher feedback mode with full-block feedback (RFC 4880), over one or
 * several interleaved streams, plus the ANSI X9.17 generator step on a
 * one-stream object. Each operation passes the API entry guard after its
 * argument checks and returns QELError_BadParams for a null or foreign
 * object. */
#ifndef QEL_CFB_H
#define QEL_CFB_H

#include <stddef.h>
#include <stdint.h>

#include "qelErrors.h"
#include "qelSymmetricCipher.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELCFBContext QELCFBContext;

/* Takes ownership of the cipher, except when it answers QELError_BadParams
 * for its arguments or the API entry guard refuses. count: 1 to 56
 * interleaved streams. */
QEL_MUST_CHECK QEL_API QELStatus qelCFBCreate(QELSymmetricCipher *cipher, uint16_t count,
                                              QELCFBContext **outCFB);
/* key: the cipher's key size; iv: count x block size bytes. Not both null. */
QEL_MUST_CHECK QEL_API QELStatus qelCFBInit(QELCFBContext *cfb, const void *key, const void *iv);
QEL_MUST_CHECK QEL_API QELStatus qelCFBEncrypt(QELCFBContext *cfb, const void *in, size_t length,
                                               void *out);
QEL_MUST_CHECK QEL_API QELStatus qelCFBDecrypt(QELCFBContext *cfb, const void *in, size_t length,
                                               void *out);
/* RFC 4880 resynchronisation of the current stream. */
QEL_MUST_CHECK QEL_API QELStatus qelCFBSync(QELCFBContext *cfb);
QEL_MUST_CHECK QEL_API QELStatus qelCFBFree(QELCFBContext *cfb);
QEL_MUST_CHECK QEL_API QELStatus qelCFBCopy(const QELCFBContext *cfb, QELCFBContext **outCopy);
/* The cipher of the first stream. */
QEL_MUST_CHECK QEL_API QELStatus qelCFBGetSymmetricCipher(QELCFBContext *cfb,
                                                          QELSymmetricCipher **outCipher);

/* X9.17 generator support (one stream only). */
QEL_MUST_CHECK QEL_API QELStatus qelCFBWash(QELCFBContext *cfb, const void *data, size_t length);
/* One generator step with the caller's block; QELError_SelfTestFailed when
 * the FIPS continuous test sees the same output twice in a row. */
QEL_MUST_CHECK QEL_API QELStatus qelCFBRandomCycle(QELCFBContext *cfb, const void *block);
QEL_MUST_CHECK QEL_API QELStatus qelCFBRandomTake(QELCFBContext *cfb, size_t count, void *out,
                                                  size_t *outTaken);

#ifdef __cplusplus
}
#endif

#endif
