// Protection of stored secret-key material: the protection header, and the
// secret MPIs and checksum read and written through its CFB stream.
#include "qelKeyProtectionInternal.h"

#include "qelAlgorithms.h"
#include "qelBigNumInternal.h"
#include "qelCFBInternal.h"
#include "qelConstantTimeInternal.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelPkEncodeInternal.h"
#include "qelStringToKeyInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelWipe.h"

#include <cstring>

namespace {

using u32 = std::uint32_t;

constexpr std::size_t kMaxKeyBytes = 32;
constexpr std::size_t kChunk = 64;

void destroyS2K(QELStringToKey *s2k)
{
    if (s2k != nullptr && s2k->destroy != nullptr)
        s2k->destroy(s2k);
}
using OwnedS2K = std::unique_ptr<QELStringToKey, decltype(&destroyS2K)>;

// CFB in place; the stream was made and keyed here, so it cannot refuse.
void cfbEncrypt(QELCFBContext *cfb, std::uint8_t *data, std::size_t length)
{
    if (length)
        static_cast<void>(qelCFBEncryptInternal(cfb, data, length, data));
}
void cfbDecrypt(QELCFBContext *cfb, const std::uint8_t *in, std::size_t length, std::uint8_t *out)
{
    if (length)
        static_cast<void>(qelCFBDecryptInternal(cfb, in, length, out));
}
void cfbSync(QELCFBContext *cfb) { static_cast<void>(qelCFBSync(cfb)); }

void sum(std::uint32_t *checksum, const std::uint8_t *data, std::size_t length)
{
    if (checksum == nullptr)
        return;
    std::uint32_t s = *checksum;
    for (std::size_t i = 0; i < length; ++i)
        s += data[i];
    *checksum = s;
}

void feed(QELHashContext *hash, const std::uint8_t *data, std::size_t length)
{
    if (hash != nullptr && length)
        hash->descriptor->update(hash->state, data, length);
}

} // namespace

std::int32_t qelKeyProtectionOpen(const std::uint8_t *header, std::size_t length, const void *passphrase,
                                  std::size_t passphraseLength, std::uint8_t rawKey,
                                  std::uint8_t twofishAlternative, QELContext *context, QELCFBContext **outCFB)
{
    if (outCFB == nullptr)
        return QELError_BadParams;
    *outCFB = nullptr;
    qel::ByteCursor in(header, length);
    std::uint8_t usage = 0;
    if (!in.u8(usage))
        return QELError_BadAlgorithmData;
    if (usage == 0)
        return 1;

    std::int32_t cipherId = usage;
    QELStringToKey *parsed = nullptr;
    if (usage == 254 || usage == 255) {
        std::uint8_t id = 0;
        if (!in.u8(id))
            return QELError_BadAlgorithmData;
        cipherId = id;
        const QELStatus n = qelS2KParse(&parsed, context, in.current(), in.remaining());
        if (n < 0)
            return n == QELError_BadParams ? QELError_BadAlgorithmData : n;
        if (!in.skip((std::size_t)n)) {
            destroyS2K(parsed);
            return QELError_BadAlgorithmData;
        }
    } else {
        parsed = qelS2KNewSimpleMD5(context);
        if (parsed == nullptr)
            return QELError_OutOfMemory;
    }
    OwnedS2K s2k(parsed, destroyS2K);

    if (cipherId == QELCipherAlgorithm_Twofish && twofishAlternative)
        cipherId = QELCipherAlgorithm_TwofishBE;
    const QELCipherDescriptor *cipher = qelCipherDescriptorFind(cipherId);
    if (cipher == nullptr)
        return QELError_UnknownCipherAlgorithm;
    const std::size_t headerLength = in.offset();
    std::span<const std::uint8_t> iv;
    if (!in.bytes(cipher->blockSize, iv))
        return QELError_BadAlgorithmData;
    if (cipher->keySize > kMaxKeyBytes)
        return QELError_UnknownCipherAlgorithm;

    // A raw key is the cipher's key itself: any other length cannot be it.
    if (rawKey && (passphrase == nullptr || passphraseLength != cipher->keySize))
        return QELError_BadPassphrase;

    std::uint8_t key[kMaxKeyBytes];
    if (rawKey) {
        std::memcpy(key, passphrase, cipher->keySize);
    } else if (s2k->deriveKey(s2k.get(), passphrase, passphraseLength, key, cipher->keySize) != 0) {
        qelSecureWipe(key, sizeof key);
        // The literal specifiers take only a key of the right length.
        return QELError_BadPassphrase;
    }
    QELCFBContext *cfb = qelCFBCreateForDescriptor(qelContextGetMemoryMgr(context), cipher);
    if (cfb == nullptr) {
        qelSecureWipe(key, sizeof key);
        return QELError_OutOfMemory;
    }
    const QELStatus init = qelCFBInit(cfb, key, iv.data());
    qelSecureWipe(key, sizeof key);
    if (init != QELError_NoErr) {
        static_cast<void>(qelCFBFree(cfb));   // the init status is the one to report
        return init;
    }
    *outCFB = cfb;
    return (std::int32_t)(headerLength + cipher->blockSize);
}

void qelKeyChecksumWrite(std::uint16_t value, std::uint8_t *out, QELCFBContext *cfb, std::uint8_t version3)
{
    out[0] = (std::uint8_t)(value >> 8);
    out[1] = (std::uint8_t)value;
    if (cfb != nullptr && !version3)
        cfbEncrypt(cfb, out, 2);
}

std::uint16_t qelKeyChecksumRead(const std::uint8_t *in, QELCFBContext *cfb, std::uint8_t version3)
{
    std::uint8_t b[2] = {in[0], in[1]};
    if (cfb != nullptr && !version3) {
        cfbDecrypt(cfb, in, 2, b);
        qelCTClassify(b, 2);
    }
    return (std::uint16_t)((b[0] << 8) | b[1]);
}

std::uint32_t qelKeyMPIWrite(const QELBigNum *number, std::uint8_t *out, QELCFBContext *cfb,
                             std::uint32_t *checksum, std::uint8_t version3)
{
    const u32 n = (u32)qelMPIWrite(number, out);
    sum(checksum, out, n);
    if (cfb != nullptr) {
        if (version3) {
            cfbSync(cfb);
            cfbEncrypt(cfb, out + 2, n - 2);
        } else {
            cfbEncrypt(cfb, out, n);
        }
    }
    return n;
}

std::int32_t qelKeyMPIRead(QELBigNum *number, const std::uint8_t *in, std::size_t length, QELCFBContext *cfb,
                           std::uint32_t *checksum, QELHashContext *hash, std::uint8_t version3)
{
    const u32 avail = length > 0xFFFFFFFFu ? 0xFFFFFFFFu : (u32)length;
    if (cfb == nullptr) {
        const std::int32_t n = qelMPIRead(number, in, avail);
        if (n > 0) {
            sum(checksum, in, (std::size_t)n);
            feed(hash, in, (std::size_t)n);
        }
        return n;
    }
    if (in == nullptr || avail <= 1)
        return 0;
    std::uint8_t head[2];
    if (version3) {
        cfbSync(cfb);
        head[0] = in[0];
        head[1] = in[1];
    } else {
        cfbDecrypt(cfb, in, 2, head);
        // The bit count is the number's public length (the packet's length
        // shows it): the word count follows it, never the value.
        qelCTClassify(head, 2);
        qelCTDeclassify(head, 2);
    }
    const u32 bits = (u32(head[0]) << 8) | head[1];
    const u32 m = (bits + 7) / 8;
    if (avail - 2 < m)
        return 0;
    sum(checksum, head, 2);
    feed(hash, head, 2);

    const auto &ops = QELBigNumOps;
    if (ops.qelBigNumSetWord(number, 0) != 0)
        return QELError_OutOfMemory;
    std::uint8_t scratch[kChunk];
    std::int32_t result = (std::int32_t)(m + 2);
    // Most significant chunk first, each imported at its big-endian position.
    for (u32 done = 0; done < m;) {
        const u32 n = m - done < kChunk ? m - done : (u32)kChunk;
        cfbDecrypt(cfb, in + 2 + done, n, scratch);
        qelCTClassify(scratch, n);
        sum(checksum, scratch, n);
        feed(hash, scratch, n);
        if (ops.qelBigNumFromBytesBE(number, scratch, m - done - n, n) != 0) {
            result = QELError_OutOfMemory;
            break;
        }
        done += n;
    }
    qelSecureWipe(scratch, sizeof scratch);
    return result;
}
