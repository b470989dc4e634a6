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

#if defined(QEL_CRYPTO_X86)
namespace {

// The kernels that run CFB and SHA-1 side by side exist for AES only, where
// the processor has both the AES and the SHA extensions (and the test switch
// allows them).
bool aesWithSHA1(const QELCipherDescriptor *descriptor)
{
    switch (descriptor->algorithm) {
    case QELCipherAlgorithm_AES128:
    case QELCipherAlgorithm_AES192:
    case QELCipherAlgorithm_AES256:
        return qelCryptoUseAES() && qelCryptoUseSHA();
    default:
        return false;
    }
}

} // namespace

QELCipherBulkSHA1Proc qelCipherBulkFindCFBDecryptSHA1(const QELCipherDescriptor *descriptor)
{
    return aesWithSHA1(descriptor) ? qelAESCFBDecryptSHA1Units : nullptr;
}

QELCipherBulkEncryptSHA1Proc qelCipherBulkFindCFBEncryptSHA1(const QELCipherDescriptor *descriptor)
{
    return aesWithSHA1(descriptor) ? qelAESCFBEncryptSHA1Units : nullptr;
}
#else
QELCipherBulkSHA1Proc qelCipherBulkFindCFBDecryptSHA1(const QELCipherDescriptor *) { return nullptr; }

QELCipherBulkEncryptSHA1Proc qelCipherBulkFindCFBEncryptSHA1(const QELCipherDescriptor *) { return nullptr; }
#endif
