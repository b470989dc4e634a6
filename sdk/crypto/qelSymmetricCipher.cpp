// The cipher descriptor list and the keyed symmetric cipher object.
#include "qelSymmetricCipherInternal.h"

#include <array>
#include <cstring>

#include "qelAESInternal.h"
#include "qelAlgorithms.h"
#include "qelBlowfishInternal.h"
#include "qelCAST5Internal.h"
#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelIDEAInternal.h"
#include "qelMemoryInternal.h"
#include "qelRC2Internal.h"
#include "qelSettingsInternal.h"
#include "qelTripleDESInternal.h"
#include "qelTwofishInternal.h"
#include "qelWipe.h"

namespace {

constexpr const char *kSourceName = "qelSymmetricCipher";

// The list order is the search order of qelCipherDescriptorFind.
constexpr std::array kDescriptors = {
    &qelIDEADescriptor,
    &qelTwofishDescriptor,
    &qelTwofishBEDescriptor,
    &qelTripleDESDescriptor,
    &qelCAST5Descriptor,
    &qelAES128Descriptor,
    &qelAES192Descriptor,
    &qelAES256Descriptor,
    &qelBlowfishDescriptor,
    &qelRC2_40Descriptor,
    &qelRC2_128Descriptor,
};

const QELCipherDescriptor *preferred(QELSettings *settings, std::int32_t fallback)
{
    std::int32_t id = fallback;
    if (qelFIPSModeEnabled()) {
        id = QELCipherAlgorithm_3DES;
    } else {
        std::int32_t priority = 0;
        QELStatus status = QELError_BadParams;
        const std::int32_t value = qelSettingsGetInt(settings, QELSetting_CipherAlgorithm, &priority, &status);
        // Only a value stored above the defaults' priority band counts as a choice.
        if (status == QELError_NoErr && priority > 14)
            id = value;
    }
    const QELCipherDescriptor *d = qelCipherDescriptorFind(id);
    return d != nullptr ? d : qelCipherDescriptorFind(fallback);
}

// Every call on an existing object: one of ours, then the API gate.
QELStatus enter(const QELSymmetricCipher *cipher)
{
    if (!qelSymmetricCipherIsValid(cipher))
        return QELError_BadParams;
    return qelAPIGate(kSourceName, __LINE__);
}

QELStatus runBlock(const QELSymmetricCipher *cipher, QELCipherBlockProc proc, const void *in, void *out)
{
    if (!cipher->keyed)
        return QELError_NotInitialized;
    if (proc == nullptr)
        return QELError_FeatureNotAvailable;
    proc(cipher->context, static_cast<const std::uint8_t *>(in), static_cast<std::uint8_t *>(out));
    return QELError_NoErr;
}

} // namespace

const QELCipherDescriptor *qelCipherDescriptorFind(std::int32_t algorithm)
{
    for (const QELCipherDescriptor *d : kDescriptors)
        if (d->algorithm == algorithm)
            return d;
    return nullptr;
}

std::size_t qelCipherDescriptorCount()
{
    return kDescriptors.size();
}

const QELCipherDescriptor *qelPreferredCipherDescriptorOrIDEA(QELSettings *settings)
{
    return preferred(settings, QELCipherAlgorithm_IDEA);
}

const QELCipherDescriptor *qelPreferredCipherDescriptorOrCAST5(QELSettings *settings)
{
    return preferred(settings, QELCipherAlgorithm_CAST5);
}

bool qelSymmetricCipherIsValid(const void *cipher)
{
    if (cipher == nullptr)
        return false;
    std::uint32_t magic;
    std::memcpy(&magic, cipher, sizeof magic);
    return magic == kQELSymmetricCipherMagic;
}

QELStatus qelSymmetricCipherCreate(QELMemoryMgr *mgr, std::int32_t algorithm, QELSymmetricCipher **outCipher)
{
    if (outCipher == nullptr)
        return QELError_BadParams;
    *outCipher = nullptr;
    const QELCipherDescriptor *d = qelCipherDescriptorFind(algorithm);
    if (d == nullptr)
        return QELError_BadParams;

    auto *cipher = static_cast<QELSymmetricCipher *>(qelMemAlloc(mgr, sizeof(QELSymmetricCipher), QELMemFlag_Clear));
    if (cipher == nullptr)
        return QELError_OutOfMemory;
    void *context = qelMemAlloc(mgr, d->contextSize, QELMemFlag_Clear);
    if (context == nullptr) {
        static_cast<void>(qelMemFree(cipher));
        return QELError_OutOfMemory;
    }
    cipher->magic = kQELSymmetricCipherMagic;
    cipher->memoryMgr = mgr;
    cipher->descriptor = d;
    cipher->context = context;
    cipher->keyed = 0;
    *outCipher = cipher;
    return QELError_NoErr;
}

QELStatus qelSymmetricCipherNew(QELContext *context, std::int32_t algorithm, QELSymmetricCipher **outCipher)
{
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
    if (outCipher == nullptr)
        return QELError_BadParams;
    *outCipher = nullptr;
    if (QELStatus gate = qelAPIGate(kSourceName, __LINE__); gate != QELError_NoErr)
        return gate;
    if (QELStatus status = qelMemMgrIsValid(mgr); status != QELError_NoErr)
        return status;
    return qelSymmetricCipherCreate(mgr, algorithm, outCipher);
}

QELStatus qelSymmetricCipherFree(QELSymmetricCipher *cipher)
{
    if (QELStatus status = enter(cipher); status != QELError_NoErr)
        return status;
    qelSecureWipe(cipher->context, cipher->descriptor->contextSize);
    static_cast<void>(qelMemFree(cipher->context));
    std::memset(cipher, 0, sizeof *cipher);
    static_cast<void>(qelMemFree(cipher));
    return QELError_NoErr;
}

QELStatus qelSymmetricCipherCopy(const QELSymmetricCipher *cipher, QELSymmetricCipher **outCopy)
{
    if (outCopy == nullptr)
        return QELError_BadParams;
    *outCopy = nullptr;
    if (QELStatus status = enter(cipher); status != QELError_NoErr)
        return status;

    QELMemoryMgr *mgr = cipher->memoryMgr;
    const QELCipherDescriptor *d = cipher->descriptor;
    auto *copy = static_cast<QELSymmetricCipher *>(qelMemAlloc(mgr, sizeof(QELSymmetricCipher), QELMemFlag_Clear));
    if (copy == nullptr)
        return QELError_OutOfMemory;
    void *context = qelMemAlloc(mgr, d->contextSize, 0);
    if (context == nullptr) {
        static_cast<void>(qelMemFree(copy));
        return QELError_OutOfMemory;
    }
    std::memcpy(context, cipher->context, d->contextSize);
    copy->magic = kQELSymmetricCipherMagic;
    copy->memoryMgr = mgr;
    copy->descriptor = d;
    copy->context = context;
    copy->keyed = cipher->keyed;
    *outCopy = copy;
    return QELError_NoErr;
}

QELStatus qelSymmetricCipherSetKey(QELSymmetricCipher *cipher, const void *key)
{
    if (key == nullptr)
        return QELError_BadParams;
    if (QELStatus status = enter(cipher); status != QELError_NoErr)
        return status;
    cipher->descriptor->keySchedule(cipher->context, static_cast<const std::uint8_t *>(key));
    cipher->keyed = 1;
    return QELError_NoErr;
}

QELStatus qelSymmetricCipherClearKey(QELSymmetricCipher *cipher)
{
    if (QELStatus status = enter(cipher); status != QELError_NoErr)
        return status;
    qelSecureWipe(cipher->context, cipher->descriptor->contextSize);
    cipher->keyed = 0;
    return QELError_NoErr;
}

QELStatus qelSymmetricCipherWash(QELSymmetricCipher *cipher, const void *data, std::size_t length)
{
    if (data == nullptr)
        return QELError_BadParams;
    if (QELStatus status = enter(cipher); status != QELError_NoErr)
        return status;
    if (cipher->descriptor->wash == nullptr)
        return QELError_FeatureNotAvailable;
    cipher->descriptor->wash(cipher->context, static_cast<const std::uint8_t *>(data), length);
    cipher->keyed = 1;
    return QELError_NoErr;
}

QELStatus qelSymmetricCipherEncryptBlockInternal(QELSymmetricCipher *cipher, const void *in, void *out)
{
    return runBlock(cipher, cipher->descriptor->encrypt, in, out);
}

QELStatus qelSymmetricCipherDecryptBlockInternal(QELSymmetricCipher *cipher, const void *in, void *out)
{
    return runBlock(cipher, cipher->descriptor->decrypt, in, out);
}

QELStatus qelSymmetricCipherEncryptBlock(QELSymmetricCipher *cipher, const void *in, void *out)
{
    if (in == nullptr || out == nullptr)
        return QELError_BadParams;
    if (QELStatus status = enter(cipher); status != QELError_NoErr)
        return status;
    return qelSymmetricCipherEncryptBlockInternal(cipher, in, out);
}

QELStatus qelSymmetricCipherDecryptBlock(QELSymmetricCipher *cipher, const void *in, void *out)
{
    if (in == nullptr || out == nullptr)
        return QELError_BadParams;
    if (QELStatus status = enter(cipher); status != QELError_NoErr)
        return status;
    return qelSymmetricCipherDecryptBlockInternal(cipher, in, out);
}

QELStatus qelSymmetricCipherGetSizes(const QELSymmetricCipher *cipher, std::size_t *outKeySize,
                                     std::size_t *outBlockSize)
{
    if (outKeySize != nullptr)
        *outKeySize = 0;
    if (outBlockSize != nullptr)
        *outBlockSize = 0;
    if (outKeySize == nullptr && outBlockSize == nullptr)
        return QELError_BadParams;
    if (QELStatus status = enter(cipher); status != QELError_NoErr)
        return status;
    if (outKeySize != nullptr)
        *outKeySize = cipher->descriptor->keySize;
    if (outBlockSize != nullptr)
        *outBlockSize = cipher->descriptor->blockSize;
    return QELError_NoErr;
}

QELMemoryMgr *qelSymmetricCipherGetMemoryMgr(const QELSymmetricCipher *cipher)
{
    return cipher->memoryMgr;
}
