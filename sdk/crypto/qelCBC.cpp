// CBC mode over whole blocks.
#include "qelCBCInternal.h"

#include <cstring>

#include "qelCipherBulk.h"
#include "qelFIPSInternal.h"
#include "qelMemoryInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelWipe.h"

namespace {

constexpr const char *kSourceName = "qelCBC";

bool isValid(const QELCBCContext *cbc)
{
    return cbc != nullptr && cbc->magic == kQELCBCMagic &&
           (cbc->currentIV == cbc->ivA || cbc->currentIV == cbc->ivB);
}

inline std::size_t blockSize(const QELCBCContext *cbc)
{
    return cbc->cipher->descriptor->blockSize;
}

// Every call on an existing object: one of ours, then the API gate.
QELStatus enter(const QELCBCContext *cbc)
{
    if (!isValid(cbc))
        return QELError_BadParams;
    return qelAPIGate(kSourceName, __LINE__);
}

QELStatus checkData(const QELCBCContext *cbc, const void *in, std::size_t length, const void *out)
{
    if (in == nullptr || out == nullptr || length == 0)
        return QELError_BadParams;
    return enter(cbc);
}

// A keyed object and a whole number of blocks; gives the block size.
QELStatus checkWhole(const QELCBCContext *cbc, std::size_t length, std::size_t &b)
{
    if (!cbc->initialised)
        return QELError_NotInitialized;
    b = blockSize(cbc);
    return length % b == 0 ? QELError_NoErr : QELError_BadParams;
}

// All blocks at once through the cipher's several-block function, when it
// has one. The chaining buffers end as the block-by-block loop leaves them:
// they are taken in turn, so the current one holds the last ciphertext block
// and the other the one before (or the old value after a single block).
bool decryptBlocks(QELCBCContext *cbc, std::size_t b, const std::uint8_t *in, std::size_t length, std::uint8_t *out)
{
    const std::size_t blocks = length / b;
    QELSymmetricCipher *cipher = cbc->cipher;
    if (blocks == 0 || !cipher->keyed || cipher->descriptor->decrypt == nullptr)
        return false;
    const QELCipherBulk *bulk = qelCipherBulkFind(cipher->descriptor);
    if (bulk == nullptr || bulk->cbcDecrypt == nullptr)
        return false;
    std::uint8_t *other = (cbc->currentIV == cbc->ivA) ? cbc->ivB : cbc->ivA;
    std::uint8_t last[2][20];
    if (blocks >= 2)
        std::memcpy(last[0], in + length - 2 * b, b);
    std::memcpy(last[1], in + length - b, b);
    bulk->cbcDecrypt(cipher->context, cbc->currentIV, in, out, blocks);
    std::uint8_t *const lastHolder = (blocks % 2 == 0) ? cbc->currentIV : other;
    std::uint8_t *const beforeHolder = (lastHolder == other) ? cbc->currentIV : other;
    if (blocks >= 2)
        std::memcpy(beforeHolder, last[0], b);
    std::memcpy(lastHolder, last[1], b);
    cbc->currentIV = lastHolder;
    return true;
}

} // namespace

QELStatus qelCBCCreate(QELSymmetricCipher *cipher, QELCBCContext **outCBC)
{
    if (outCBC == nullptr)
        return QELError_BadParams;
    *outCBC = nullptr;
    if (!qelSymmetricCipherIsValid(cipher))
        return QELError_BadParams;
    if (QELStatus gate = qelAPIGate(kSourceName, __LINE__); gate != QELError_NoErr)
        return gate;
    QELMemoryMgr *mgr = qelSymmetricCipherGetMemoryMgr(cipher);
    auto *cbc = static_cast<QELCBCContext *>(qelMemAlloc(mgr, sizeof(QELCBCContext), QELMemFlag_Clear));
    if (cbc == nullptr) {
        static_cast<void>(qelSymmetricCipherFree(cipher));
        return QELError_OutOfMemory;
    }
    cbc->magic = kQELCBCMagic;
    cbc->memoryMgr = mgr;
    cbc->cipher = cipher;
    cbc->initialised = 0;
    cbc->currentIV = cbc->ivA;
    *outCBC = cbc;
    return QELError_NoErr;
}

QELStatus qelCBCInit(QELCBCContext *cbc, const void *key, const void *iv)
{
    if (key == nullptr && iv == nullptr)
        return QELError_BadParams;
    if (QELStatus status = enter(cbc); status != QELError_NoErr)
        return status;
    if (key != nullptr) {
        if (QELStatus status = qelSymmetricCipherSetKey(cbc->cipher, key); status != QELError_NoErr)
            return status;
    }
    std::memset(cbc->ivA, 0, sizeof cbc->ivA);
    std::memset(cbc->ivB, 0, sizeof cbc->ivB);
    cbc->currentIV = cbc->ivA;
    if (iv != nullptr)
        std::memcpy(cbc->ivA, iv, blockSize(cbc));
    cbc->initialised = 1;
    return QELError_NoErr;
}

QELStatus qelCBCEncrypt(QELCBCContext *cbc, const void *in, std::size_t length, void *out)
{
    if (QELStatus status = checkData(cbc, in, length, out); status != QELError_NoErr)
        return status;
    return qelCBCEncryptInternal(cbc, in, length, out);
}

QELStatus qelCBCDecrypt(QELCBCContext *cbc, const void *in, std::size_t length, void *out)
{
    if (QELStatus status = checkData(cbc, in, length, out); status != QELError_NoErr)
        return status;
    return qelCBCDecryptInternal(cbc, in, length, out);
}

QELStatus qelCBCEncryptInternal(QELCBCContext *cbc, const void *in, std::size_t length, void *out)
{
    std::size_t b = 0;
    if (QELStatus status = checkWhole(cbc, length, b); status != QELError_NoErr)
        return status;
    const auto *src = static_cast<const std::uint8_t *>(in);
    auto *dst = static_cast<std::uint8_t *>(out);
    std::uint8_t *iv = cbc->currentIV;
    for (std::size_t pos = 0; pos < length; pos += b) {
        for (std::size_t i = 0; i < b; ++i)
            iv[i] ^= src[pos + i];
        if (QELStatus status = qelSymmetricCipherEncryptBlockInternal(cbc->cipher, iv, iv); status != QELError_NoErr)
            return status;
        std::memcpy(dst + pos, iv, b);
    }
    return QELError_NoErr;
}

QELStatus qelCBCDecryptInternal(QELCBCContext *cbc, const void *in, std::size_t length, void *out)
{
    std::size_t b = 0;
    if (QELStatus status = checkWhole(cbc, length, b); status != QELError_NoErr)
        return status;
    const auto *src = static_cast<const std::uint8_t *>(in);
    auto *dst = static_cast<std::uint8_t *>(out);
    if (decryptBlocks(cbc, b, src, length, dst))
        return QELError_NoErr;
    for (std::size_t pos = 0; pos < length; pos += b) {
        // The ciphertext is saved before the output is written, so the
        // output may be the input buffer.
        std::uint8_t *saved = (cbc->currentIV == cbc->ivA) ? cbc->ivB : cbc->ivA;
        std::memcpy(saved, src + pos, b);
        if (QELStatus status = qelSymmetricCipherDecryptBlockInternal(cbc->cipher, saved, dst + pos);
            status != QELError_NoErr)
            return status;
        for (std::size_t i = 0; i < b; ++i)
            dst[pos + i] ^= cbc->currentIV[i];
        cbc->currentIV = saved;
    }
    return QELError_NoErr;
}

QELStatus qelCBCFree(QELCBCContext *cbc)
{
    if (QELStatus status = enter(cbc); status != QELError_NoErr)
        return status;
    static_cast<void>(qelSymmetricCipherFree(cbc->cipher));
    qelSecureWipe(cbc, sizeof *cbc);
    static_cast<void>(qelMemFree(cbc));
    return QELError_NoErr;
}

QELStatus qelCBCCopy(const QELCBCContext *cbc, QELCBCContext **outCopy)
{
    if (outCopy == nullptr)
        return QELError_BadParams;
    *outCopy = nullptr;
    if (QELStatus status = enter(cbc); status != QELError_NoErr)
        return status;
    auto *copy = static_cast<QELCBCContext *>(qelMemAlloc(cbc->memoryMgr, sizeof(QELCBCContext), QELMemFlag_Clear));
    if (copy == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(copy, cbc, sizeof *copy);
    copy->currentIV = (cbc->currentIV == cbc->ivA) ? copy->ivA : copy->ivB;
    copy->cipher = nullptr;
    if (QELStatus status = qelSymmetricCipherCopy(cbc->cipher, &copy->cipher); status != QELError_NoErr) {
        qelSecureWipe(copy, sizeof *copy);
        static_cast<void>(qelMemFree(copy));
        return status;
    }
    *outCopy = copy;
    return QELError_NoErr;
}

QELStatus qelCBCGetSymmetricCipher(QELCBCContext *cbc, QELSymmetricCipher **outCipher)
{
    if (outCipher == nullptr)
        return QELError_BadParams;
    *outCipher = nullptr;
    if (QELStatus status = enter(cbc); status != QELError_NoErr)
        return status;
    *outCipher = cbc->cipher;
    return QELError_NoErr;
}

std::size_t qelCBCGetBlockSize(const QELCBCContext *cbc)
{
    return blockSize(cbc);
}

std::size_t qelCBCGetKeySize(const QELCBCContext *cbc)
{
    return cbc->cipher->descriptor->keySize;
}
