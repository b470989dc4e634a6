/* Public-key and private-key contexts: raw encryption, decryption, signing
 * and verification with a key of a key database, without building messages.
 * A private-key context unlocks its key once and keeps the passphrase for
 * its operations. */
#ifndef QEL_PUBLIC_KEY_H
#define QEL_PUBLIC_KEY_H

#include <stddef.h>
#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeyObject QELKeyObject;
typedef struct QELHashContext QELHashContext;
typedef struct QELOptionList QELOptionList;
typedef struct QELPublicKeyContext QELPublicKeyContext;
typedef struct QELPrivateKeyContext QELPrivateKeyContext;

/* format: a QELPkFormat (1 to 5, or 101 to 105 with blinding). Output
 * buffers must hold the maximum size the sizes operation reports. */
QEL_MUST_CHECK QEL_API QELStatus qelPublicKeyContextNew(QELKeyObject *key, uint32_t format,
                                                        QELPublicKeyContext **outContext);
QEL_MUST_CHECK QEL_API QELStatus qelPublicKeyContextFree(QELPublicKeyContext *context);
QEL_MUST_CHECK QEL_API QELStatus qelPublicKeyEncrypt(QELPublicKeyContext *context, const void *data,
                                                     uint64_t length, void *output, uint64_t *outLength);
/* Consumes the hash context once it has been accepted. */
QEL_MUST_CHECK QEL_API QELStatus qelPublicKeyVerifyHash(QELPublicKeyContext *context, QELHashContext *hash,
                                                        const void *signature, uint64_t signatureLength);
QEL_MUST_CHECK QEL_API QELStatus qelPublicKeyVerify(QELPublicKeyContext *context, const void *digest,
                                                    uint64_t digestLength, const void *signature,
                                                    uint64_t signatureLength);
QEL_MUST_CHECK QEL_API QELStatus qelPublicKeyContextGetSizes(QELPublicKeyContext *context,
                                                             uint64_t *outMaxPlaintext,
                                                             uint64_t *outMaxCiphertext,
                                                             uint64_t *outMaxSignature);

/* Options (lists ended with qelOptionLastOption): QELOption_Passphrase or
 * QELOption_Passkey, QELOption_CachePassphrase. */
QEL_MUST_CHECK QEL_API QELStatus qelPrivateKeyContextNew(QELKeyObject *key, uint32_t format,
                                                         QELPrivateKeyContext **outContext,
                                                         QELOptionList *first, ...);
QEL_MUST_CHECK QEL_API QELStatus qelPrivateKeyContextFree(QELPrivateKeyContext *context);
QEL_MUST_CHECK QEL_API QELStatus qelPrivateKeyDecrypt(QELPrivateKeyContext *context, const void *data,
                                                      uint64_t length, void *output, uint64_t *outLength);
/* Consumes the hash context once it has been accepted. */
QEL_MUST_CHECK QEL_API QELStatus qelPrivateKeySignHash(QELPrivateKeyContext *context, QELHashContext *hash,
                                                       void *signature, uint64_t *outLength);
QEL_MUST_CHECK QEL_API QELStatus qelPrivateKeySign(QELPrivateKeyContext *context, const void *digest,
                                                   uint64_t digestLength, void *signature,
                                                   uint64_t *outLength);
QEL_MUST_CHECK QEL_API QELStatus qelPrivateKeyContextGetSizes(QELPrivateKeyContext *context,
                                                              uint64_t *outMaxPlaintext,
                                                              uint64_t *outMaxCiphertext,
                                                              uint64_t *outMaxSignature);

#ifdef __cplusplus
}
#endif

#endif
