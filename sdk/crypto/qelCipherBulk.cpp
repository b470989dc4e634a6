// Which ciphers offer several-block functions, decided per call.
#include "qelCipherBulk.h"

#include "qelAlgorithms.h"
#include "qelCryptoCPU.h"
#include "qelSymmetricCipherInternal.h"

const QELCipherBulk *qelCipherBulkFind(const QELCipherDescriptor *descriptor)
{
    switch (descriptor->algorithm) {
    case QELCipherAlgorithm_AES128:
    case QELCipherAlgorithm_AES192:
    case QELCipherAlgorithm_AES256:
        return qelCryptoUseAES() ? &qelAESBulk : nullptr;
    case QELCipherAlgorithm_CAST5:
        return &qelCAST5Bulk;
    default:
        return nullptr;
    }
}

QELCipherBulkSHA1Proc qelCipherBulkFindCFBDecryptSHA1(const QELCipherDescriptor *descriptor)
{
#if defined(QEL_CRYPTO_X86)
    switch (descriptor->algorithm) {
    case QELCipherAlgorithm_AES128:
    case QELCipherAlgorithm_AES192:
    case QELCipherAlgorithm_AES256:
        return qelCryptoUseAES() && qelCryptoUseSHA() ? qelAESCFBDecryptSHA1Units : nullptr;
    default:
        return nullptr;
    }
#else
    static_cast<void>(descriptor);
    return nullptr;
#endif
}
