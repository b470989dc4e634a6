// HMAC (RFC 2104). One hash context serves first as the inner and then as
// the outer hash; the key (or the digest of a key longer than the block)
// lives in a secure block and the pads are rebuilt from it when needed.
#include "qelHMAC.h"

#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelHashInternal.h"
#include "qelMemoryInternal.h"
#include "qelWipe.h"

#include <array>
#include <cstring>

namespace {

constexpr std::uint32_t kHMACMagic = 0xEBBADBBAu;
constexpr const char *kSourceName = "qelHMAC";
// The largest block of any hash (SHA-384/512).
constexpr std::size_t kMaxBlock = 128;

} // namespace

struct QELHMACContext {
    std::uint32_t magic;
    QELMemoryMgr *memoryMgr;
    QELHashContext *hash;
    std::uint8_t *key;          // secure block
    std::uint64_t keyLength;    // at most the hash's block size
};

namespace {

bool isValid(const QELHMACContext *hmac)
{
    return hmac != nullptr && hmac->magic == kHMACMagic && hmac->hash != nullptr;
}

// Feeds the key padded to the block size and XORed with the pad byte.
QELStatus feedPad(QELHMACContext *hmac, std::uint8_t padByte)
{
    std::uint64_t blockSize = 0;
    QELStatus status = qelHashGetBlockSize(hmac->hash, &blockSize);
    if (status != QELError_NoErr)
        return status;
    if (blockSize > kMaxBlock || hmac->keyLength > blockSize)
        return QELError_BadParams;
    std::array<std::uint8_t, kMaxBlock> pad{};
    if (hmac->keyLength > 0)
        std::memcpy(pad.data(), hmac->key, static_cast<std::size_t>(hmac->keyLength));
    for (std::size_t i = 0; i < blockSize; ++i)
        pad[i] ^= padByte;
    status = qelHashUpdate(hmac->hash, pad.data(), blockSize);
    qelSecureWipe(pad.data(), pad.size());
    return status;
}

void release(QELHMACContext *hmac)
{
    if (hmac->key != nullptr)
        static_cast<void>(qelMemFree(hmac->key)); // secure: wiped on release
    if (hmac->hash != nullptr)
        static_cast<void>(qelHashFree(hmac->hash));
    std::memset(hmac, 0, sizeof *hmac);
    static_cast<void>(qelMemFree(hmac));
}

// Every call on an existing object: one of ours, then the API gate.
QELStatus enter(const QELHMACContext *hmac)
{
    if (!isValid(hmac))
        return QELError_BadParams;
    return qelAPIGate(kSourceName, __LINE__);
}

} // namespace

QELStatus qelHMACNew(QELContext *context, std::int32_t hashAlgorithm, const void *key,
                     std::size_t keyLength, QELHMACContext **outHMAC)
{
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
    if (outHMAC == nullptr)
        return QELError_BadParams;
    *outHMAC = nullptr;
    QELStatus status = qelAPIGate(kSourceName, __LINE__);
    if (status != QELError_NoErr)
        return status;
    status = qelMemMgrIsValid(mgr);
    if (status != QELError_NoErr)
        return status;
    if (key == nullptr && keyLength != 0)
        return QELError_BadParams;

    auto *hmac = static_cast<QELHMACContext *>(qelMemAlloc(mgr, sizeof(QELHMACContext), QELMemFlag_Clear));
    if (hmac == nullptr)
        return QELError_OutOfMemory;
    hmac->magic = kHMACMagic;
    hmac->memoryMgr = mgr;
    status = qelHashNew(context, hashAlgorithm, &hmac->hash);
    if (status != QELError_NoErr) {
        release(hmac);
        return status;
    }

    std::uint64_t blockSize = 0;
    std::uint64_t digestSize = 0;
    status = qelHashGetBlockSize(hmac->hash, &blockSize);
    if (status == QELError_NoErr)
        status = qelHashGetSize(hmac->hash, &digestSize);
    if (status == QELError_NoErr) {
        if (keyLength <= blockSize) {
            hmac->key = static_cast<std::uint8_t *>(qelMemAllocSecure(mgr, keyLength, 0));
            if (hmac->key == nullptr)
                status = QELError_OutOfMemory;
            else {
                if (keyLength > 0)
                    std::memcpy(hmac->key, key, keyLength);
                hmac->keyLength = keyLength;
            }
        } else {
            hmac->key = static_cast<std::uint8_t *>(qelMemAllocSecure(mgr, digestSize, 0));
            if (hmac->key == nullptr)
                status = QELError_OutOfMemory;
            else {
                status = qelHashUpdate(hmac->hash, key, keyLength);
                if (status == QELError_NoErr)
                    status = qelHashFinal(hmac->hash, hmac->key);
                hmac->keyLength = digestSize;
            }
        }
    }
    if (status == QELError_NoErr)
        status = qelHMACReset(hmac);
    if (status != QELError_NoErr) {
        release(hmac);
        return status;
    }
    *outHMAC = hmac;
    return QELError_NoErr;
}

QELStatus qelHMACUpdate(QELHMACContext *hmac, const void *data, std::size_t length)
{
    QELStatus status = enter(hmac);
    if (status != QELError_NoErr)
        return status;
    if (length == 0)
        return QELError_NoErr;
    if (data == nullptr)
        return QELError_BadParams;
    return qelHashUpdate(hmac->hash, data, length);
}

QELStatus qelHMACFinal(QELHMACContext *hmac, void *out)
{
    if (out == nullptr)
        return QELError_BadParams;
    QELStatus status = enter(hmac);
    if (status != QELError_NoErr)
        return status;
    std::uint64_t digestSize = 0;
    status = qelHashGetSize(hmac->hash, &digestSize);
    if (status == QELError_NoErr)
        status = qelHashFinal(hmac->hash, out);
    if (status == QELError_NoErr)
        status = qelHashReset(hmac->hash);
    if (status == QELError_NoErr)
        status = feedPad(hmac, 0x5C);
    if (status == QELError_NoErr)
        status = qelHashUpdate(hmac->hash, out, digestSize);
    if (status == QELError_NoErr)
        status = qelHashFinal(hmac->hash, out);
    return status;
}

QELStatus qelHMACReset(QELHMACContext *hmac)
{
    QELStatus status = enter(hmac);
    if (status != QELError_NoErr)
        return status;
    status = qelHashReset(hmac->hash);
    if (status != QELError_NoErr)
        return status;
    return feedPad(hmac, 0x36);
}

QELStatus qelHMACFree(QELHMACContext *hmac)
{
    QELStatus status = enter(hmac);
    if (status != QELError_NoErr)
        return status;
    release(hmac);
    return QELError_NoErr;
}
