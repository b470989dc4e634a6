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
QELStatus qelCFBCreate(QELSymmetricCipher *cipher, uint16_t count,
                                      QELCFBContext **outCFB);
/* key: the cipher's key size; iv: count x block size bytes. Not both null. */
QELStatus qelCFBInit(QELCFBContext *cfb, const void *key, const void *iv);
QELStatus qelCFBEncrypt(QELCFBContext *cfb, const void *in, size_t length,
                                       void *out);
QELStatus qelCFBDecrypt(QELCFBContext *cfb, const void *in, size_t length,
                                       void *out);
/* RFC 4880 resynchronisation of the current stream. */
QELStatus qelCFBSync(QELCFBContext *cfb);
QELStatus qelCFBFree(QELCFBContext *cfb);
QELStatus qelCFBCopy(const QELCFBContext *cfb, QELCFBContext **outCopy);
/* The cipher of the first stream. */
QELStatus qelCFBGetSymmetricCipher(QELCFBContext *cfb,
                                                  QELSymmetricCipher **outCipher);

/* X9.17 generator support (one stream only). */
QELStatus qelCFBWash(QELCFBContext *cfb, const void *data, size_t length);
/* One generator step with the caller's block; QELError_SelfTestFailed when
 * the FIPS continuous test sees the same output twice in a row. */
QELStatus qelCFBRandomCycle(QELCFBContext *cfb, const void *block);
QELStatus qelCFBRandomTake(QELCFBContext *cfb, size_t count, void *out,
                                          size_t *outTaken);

#ifdef __cplusplus
}
#endif

#endif
