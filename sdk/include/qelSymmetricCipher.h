/* The keyed block cipher object over an algorithm (QELCipherAlgorithm_...).
 * Each operation passes the API entry guard after its argument checks and
 * returns QELError_BadParams for a null or foreign object. The CFB and CBC
 * modes take ownership of the cipher they are made with. */
#ifndef QEL_SYMMETRIC_CIPHER_H
#define QEL_SYMMETRIC_CIPHER_H

#include <stddef.h>
#include <stdint.h>

#include "qelAlgorithms.h"
#include "qelContext.h"
#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELSymmetricCipher QELSymmetricCipher;

QEL_MUST_CHECK QEL_API QELStatus qelSymmetricCipherNew(QELContext *context, int32_t algorithm,
                                                       QELSymmetricCipher **outCipher);
QEL_MUST_CHECK QEL_API QELStatus qelSymmetricCipherFree(QELSymmetricCipher *cipher);
QEL_MUST_CHECK QEL_API QELStatus qelSymmetricCipherCopy(const QELSymmetricCipher *cipher,
                                                        QELSymmetricCipher **outCopy);
/* key: the algorithm's key size in bytes. */
QEL_MUST_CHECK QEL_API QELStatus qelSymmetricCipherSetKey(QELSymmetricCipher *cipher, const void *key);
QEL_MUST_CHECK QEL_API QELStatus qelSymmetricCipherClearKey(QELSymmetricCipher *cipher);
/* Folds the data into the key; QELError_FeatureNotAvailable when the
 * algorithm has no wash. */
QEL_MUST_CHECK QEL_API QELStatus qelSymmetricCipherWash(QELSymmetricCipher *cipher, const void *data,
                                                        size_t length);
QEL_MUST_CHECK QEL_API QELStatus qelSymmetricCipherEncryptBlock(QELSymmetricCipher *cipher,
                                                                const void *in, void *out);
QEL_MUST_CHECK QEL_API QELStatus qelSymmetricCipherDecryptBlock(QELSymmetricCipher *cipher,
                                                                const void *in, void *out);
/* Either out-parameter may be null. */
QEL_MUST_CHECK QEL_API QELStatus qelSymmetricCipherGetSizes(const QELSymmetricCipher *cipher,
                                                            size_t *outKeySize, size_t *outBlockSize);

#ifdef __cplusplus
}
#endif

#endif
