// Sizes, number encodings and padding of the public-key algorithms.
#include "qelPkEncodeInternal.h"
#include "qelConstantTimeInternal.h"

#include "qelBigNumInternal.h"
#include "qelBigNumWordInternal.h"
#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelMemoryInternal.h"
#include "qelPkAlg.h"
#include "qelRandomContextInternal.h"
#include "qelWipe.h"

#include <cstdarg>
#include <cstring>

namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

constexpr std::uint8_t kDERIntegerTag = 0x02;

// DigestInfo header of MD5 (RFC 8017), for the legacy signature layout.
constexpr std::uint8_t kMD5DigestInfo[18] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                             0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};

// A byte buffer from a memory manager, wiped and released on every exit.
using Buffer = qel::WipedBuffer<std::uint8_t>;

// A hash context freed on every exit.
class Hash {
public:
    Hash() = default;
    Hash(const Hash &) = delete;
    Hash &operator=(const Hash &) = delete;
    ~Hash()
    {
        if (h_)
            static_cast<void>(qelHashFree(h_));
    }
    QELHashContext **out() { return &h_; }
    QELHashContext *get() const { return h_; }

private:
    QELHashContext *h_ = nullptr;
};

// Sets the number to the big-endian bytes; -1 when memory fails.
int importBytes(QELBigNum *number, const std::uint8_t *data, u32 length)
{
    const auto &ops = QELBigNumOps;
    if (ops.qelBigNumSetWord(number, 0) != 0)
        return -1;
    return ops.qelBigNumFromBytesBE(number, data, 0, length);
}

void hashOnce(QELHashContext *hash, const std::uint8_t *data, u32 length, std::uint8_t *out)
{
    const QELHashDescriptor *d = hash->descriptor;
    d->init(hash->state);
    if (length)
        d->update(hash->state, data, length);
    std::memcpy(out, d->final(hash->state), d->digestSize);
    d->init(hash->state);
}

// The buffers and hash contexts of one OAEP block of k bytes: the masked
// data block, the seed, a digest of either hash, and the label and mask
// hashes. ready() tells whether everything could be had.
struct OAEPBlock {
    OAEPBlock(QELMemoryMgr *mgr, const QELHashDescriptor *labelDescriptor,
              const QELHashDescriptor *maskDescriptor, u32 k)
        : h((u32)labelDescriptor->digestSize), dbLength(k - h - 1), db(mgr, dbLength, true),
          seed(mgr, h, false),
          scratch(mgr,
                  labelDescriptor->digestSize > maskDescriptor->digestSize
                      ? labelDescriptor->digestSize
                      : maskDescriptor->digestSize,
                  false)
    {
    }
    bool ready(QELMemoryMgr *mgr, std::int32_t labelHash, std::int32_t maskHash)
    {
        return db && seed && scratch && qelHashCreate(mgr, labelHash, H.out()) == 0 &&
               qelHashCreate(mgr, maskHash, G.out()) == 0;
    }
    // XORs the data block with the mask made from the seed.
    void maskDataBlock() { qelMGF1(G.get(), scratch.get(), db.get(), dbLength, seed.get(), h); }
    // XORs the seed with the mask made from the data block.
    void maskSeed() { qelMGF1(G.get(), scratch.get(), seed.get(), h, db.get(), dbLength); }

    const u32 h;
    const u32 dbLength;
    Buffer db;
    Buffer seed;
    Buffer scratch;
    Hash H; // label hash
    Hash G; // mask generation hash
};


// Constant-time masks: all ones when the condition holds, else zero.
u32 maskIfZero(u32 x) { return 0u - ((x - 1u) >> 31 & ((~x) >> 31)); }
u32 maskIfEqual(u32 a, u32 b) { return maskIfZero(a ^ b); }

// PKCS #1 v1.5 type 2 of a decrypted block: every octet is examined and the
// failure is decided once, so a caller's timing cannot serve as a padding
// oracle. Accepts 00 02 PS 00 data, and the legacy 00 01 <19 octets> 00
// <non-zero> .. 02 layout.
std::int32_t unpadType2(const std::uint8_t *b, u32 k, std::uint8_t *out, u32 outSize)
{
    u32 sep = 0, found = 0;
    for (u32 i = 2; i < k; ++i) {
        const u32 zero = maskIfZero(b[i]);
        sep |= i & zero & ~found;
        found |= zero;
    }
    const u32 lead = maskIfZero(b[0]);
    const u32 standard = lead & maskIfEqual(b[1], 2) & found;
    u32 legacy = 0;
    if (k >= 22) {
        legacy = lead & maskIfEqual(b[1], 1) & maskIfEqual(b[k - 1], 2) & maskIfZero(b[20]);
        for (u32 i = 21; i + 1 < k; ++i)
            legacy &= ~maskIfZero(b[i]);
    }
    // The verdict and the length are what the caller learns anyway.
    legacy = qelCTDeclassifyValue(legacy);
    if (qelCTDeclassifyValue(standard | legacy) == 0)
        return QELError_CorruptData;
    sep = qelCTDeclassifyValue(sep);
    const std::uint8_t *data = legacy ? b + 1 : b + sep + 1;
    const u32 length = legacy ? 19 : k - sep - 1;
    // A length query passes no output buffer at all.
    const u32 n = length < outSize ? length : outSize;
    if (n != 0)
        std::memcpy(out, data, n);
    return (std::int32_t)length;
}

} // namespace

std::uint32_t qelSubgroupBits(u32 b)
{
    if (b > 3840)
        return (b * 8) / 256 + 177;
    return 297 - (149760 - b * ((13824 - b) / 256)) / 768;
}

std::uint32_t qelSubgroupBitsRounded(u32 b) { return (qelSubgroupBits(b) + 7) & ~u32{7}; }

QELStatus qelPublicKeySubgroupBits(u32 modulusBits, u32 *outBits)
{
    if (outBits == nullptr)
        return QELError_BadParams;
    *outBits = 0;
    QELStatus gate = qelAPIGate("qelPkEncode", __LINE__);
    if (gate != 0)
        return gate;
    *outBits = qelSubgroupBits(modulusBits);
    return QELError_NoErr;
}

// Every length these encoders report must stay a positive 32-bit result:
// inputs that could make one of 2^31 or more are refused instead of coming
// back as a negative "error".
constexpr u64 kMaxEncodedLength = 0x7FFFFFFF;

std::int32_t qelMPIRead(QELBigNum *number, const std::uint8_t *data, u32 length)
{
    qel::ByteCursor in(data, length);
    std::uint16_t bits = 0;
    std::span<const std::uint8_t> magnitude;
    if (!in.be16(bits) || !in.bytes((bits + 7u) / 8, magnitude))
        return 0;
    if (importBytes(number, magnitude.data(), static_cast<u32>(magnitude.size())) != 0)
        return QELError_OutOfMemory;
    return static_cast<std::int32_t>(in.offset());
}

std::uint32_t qelMPIBitLength(const QELBigNum *number)
{
    // A secure number's length is found without a branch on its words; the
    // MPI's header publishes it.
    return qelCTDeclassifyValue(QELBigNumOps.qelBigNumBitLength(number));
}

std::int32_t qelMPIWrite(const QELBigNum *number, std::uint8_t *out)
{
    const u32 bits = qelMPIBitLength(number);
    const u32 bytes = (bits + 7) / 8;
    // The two-byte bit count cannot describe a longer number.
    if (bits > 0xFFFF)
        return QELError_DataTooLarge;
    out[0] = (std::uint8_t)(bits >> 8);
    out[1] = (std::uint8_t)bits;
    QELBigNumOps.qelBigNumToBytesBE(number, out + 2, 0, bytes);
    return (std::int32_t)(2 + bytes);
}

namespace {

// A DER tag byte and definite length (at most four length octets; the
// indefinite form is not DER) from the cursor, which moves past them only
// when both are whole.
bool readDERHeader(qel::ByteCursor &in, std::uint8_t &tag, u32 &length)
{
    qel::ByteCursor header = in;
    std::uint8_t first = 0, form = 0;
    if (!header.u8(first) || !header.u8(form))
        return false;
    std::uint64_t len = form;
    if (form & 0x80) {
        const u32 n = form & 0x7F;
        if (n == 0 || n > 4 || !header.beN(len, n))
            return false;
    }
    tag = first;
    length = static_cast<u32>(len);
    in = header;
    return true;
}

} // namespace

std::int32_t qelDERReadTagLength(const std::uint8_t **cursor, const std::uint8_t *end, u32 *length,
                                 std::uint8_t *tagByte)
{
    const std::uint8_t *p = *cursor;
    if (p == nullptr || end < p)
        return -1;
    qel::ByteCursor in(p, static_cast<std::size_t>(end - p));
    std::uint8_t tag = 0;
    u32 len = 0;
    if (!readDERHeader(in, tag, len))
        return -1;
    *cursor = in.current();
    *length = len;
    if (tagByte)
        *tagByte = tag;
    return tag & 0x1F;
}

std::uint32_t qelDERLengthSize(u32 length)
{
    if (length < 128)
        return 1;
    if (length < 256)
        return 2;
    if (length < 65536)
        return 3;
    if (length < (1u << 24))
        return 4;
    return 5;
}

std::int32_t qelPkNumberRead(QELBigNum *number, const std::uint8_t *data, u32 length, u32 size,
                             std::int32_t format)
{
    if (format == QELPkFormat_RFC4880)
        return qelMPIRead(number, data, length);
    if (format == QELPkFormat_DER) {
        if (data == nullptr || length > kMaxEncodedLength)
            return QELError_BadKeyEncoding;
        qel::ByteCursor in(data, length);
        u32 content = 0;
        std::uint8_t tag = 0;
        std::span<const std::uint8_t> value;
        if (!readDERHeader(in, tag, content) || tag != kDERIntegerTag || !in.bytes(content, value))
            return QELError_BadKeyEncoding;
        if (importBytes(number, value.data(), content) != 0)
            return QELError_OutOfMemory;
        return static_cast<std::int32_t>(in.offset());
    }
    if (size > kMaxEncodedLength)
        return QELError_BadParams;
    qel::ByteCursor in(data, length);
    std::span<const std::uint8_t> value;
    if (data == nullptr || !in.bytes(size, value))
        return 0;
    if (importBytes(number, value.data(), size) != 0)
        return QELError_OutOfMemory;
    return (std::int32_t)size;
}

std::int32_t qelPkNumberWrite(const QELBigNum *number, std::uint8_t *out, u32 size, std::int32_t format)
{
    if (format == QELPkFormat_RFC4880)
        return qelMPIWrite(number, out);
    // DER adds at most seven bytes to the size.
    if (size > kMaxEncodedLength - 7)
        return QELError_BadParams;
    const u32 bits = QELBigNumOps.qelBigNumBitLength(number);
    const u32 bytes = (bits + 7) / 8;
    if (bytes > size)
        return 0;
    if (format == QELPkFormat_DER) {
        // Minimal content: the magnitude's bytes, with one zero byte in front
        // when its top bit is set (so the INTEGER stays positive); 0 is 02 01 00.
        const u32 c = bytes + ((bits % 8 == 0) ? 1 : 0);
        const u32 n = qelDERLengthSize(c);
        std::uint8_t *p = out;
        *p++ = kDERIntegerTag;
        if (c < 128) {
            *p++ = (std::uint8_t)c;
        } else {
            *p++ = (std::uint8_t)(0x80 | (n - 1));
            for (u32 i = n - 1; i-- > 0;)
                *p++ = (std::uint8_t)(c >> (8 * i));
        }
        QELBigNumOps.qelBigNumToBytesBE(number, p, 0, c);
        return (std::int32_t)(1 + n + c);
    }
    QELBigNumOps.qelBigNumToBytesBE(number, out, 0, size);
    return (std::int32_t)size;
}

std::int32_t qelMPIParseList(const std::uint8_t *data, u32 length, u32 count, ...)
{
    if (data == nullptr || (u64)length < 2 * (u64)count || length > kMaxEncodedLength)
        return QELError_BadAlgorithmData;
    va_list ap;
    va_start(ap, count);
    qel::ByteCursor in(data, length);
    std::int32_t result = 0;
    for (u32 i = 0; i < count; ++i) {
        u32 *offset = va_arg(ap, u32 *);
        const u32 at = static_cast<u32>(in.offset());
        std::uint16_t bits = 0;
        std::span<const std::uint8_t> magnitude;
        // This MPI and the headers of the ones after it must fit.
        if (!in.be16(bits) || !in.bytes((bits + 7u) / 8, magnitude) ||
            in.remaining() < 2 * (u64)(count - 1 - i)) {
            result = QELError_BadAlgorithmData;
            break;
        }
        if (bits == 0 || (magnitude[0] >> ((bits - 1) % 8)) != 1) {
            result = QELError_BadKeyEncoding;
            break;
        }
        if (offset)
            *offset = at;
    }
    va_end(ap);
    return result < 0 ? result : (std::int32_t)in.offset();
}

QELStatus qelBigNumRandom(QELBigNum *number, QELRandomContext *random, u32 bits, std::uint8_t top, std::uint8_t lowOr,
                          u32 entropy)
{
    const auto &ops = QELBigNumOps;
    if (random == nullptr || random->descriptor == nullptr)
        return QELError_BadParams;
    if (ops.qelBigNumSetWord(number, 0) != 0)
        return QELError_OutOfMemory;
    const u32 total = (u32)(((u64)bits + 7) / 8);
    if (total == 0)
        return 0;
    Buffer buf(number->memoryMgr, total, true);
    if (!buf)
        return QELError_OutOfMemory;
    std::uint8_t *b = buf.get();
    // Most significant chunk first; all chunks but the first hold 64 bytes.
    u32 pos = 0;
    u32 chunk = ((total - 1) % 64) + 1;
    while (pos < total) {
        const u32 claim = 8 * chunk < entropy ? 8 * chunk : entropy;
        if (const QELStatus status = random->descriptor->get(random->state, b + pos, chunk, claim); status != 0)
            return status;
        entropy -= claim;
        pos += chunk;
        chunk = 64;
    }
    const u32 unused = (8 - bits % 8) % 8;
    b[0] = (std::uint8_t)((b[0] & (0xFF >> unused)) | (top >> unused));
    if (unused != 0 && total > 1)
        b[1] |= (std::uint8_t)(top << (8 - unused));
    b[total - 1] |= lowOr;
    return ops.qelBigNumFromBytesBE(number, b, 0, total) == 0 ? QELError_NoErr : QELError_OutOfMemory;
}

std::int32_t qelRandomAddBigNum(QELRandomContext *random, const QELBigNum *number)
{
    if (random == nullptr)
        return QELError_BadParams;
    const u32 bytes = (QELBigNumOps.qelBigNumBitLength(number) + 7) / 8;
    std::uint8_t chunk[32];
    for (u32 pos = 0; pos < bytes; pos += 32) {
        const u32 n = bytes - pos < 32 ? bytes - pos : 32;
        QELBigNumOps.qelBigNumToBytesLE(number, chunk, pos, n);
        random->descriptor->add(random->state, chunk, n);
    }
    qelSecureWipe(chunk, sizeof chunk);
    return 0;
}

QELStatus qelPKCS1Pad(QELBigNum *number, const std::uint8_t *data, u32 length, u32 blockType, u32 k,
                      QELRandomContext *random)
{
    if ((blockType != 1 && blockType != 2) || (length != 0 && data == nullptr) ||
        (blockType == 2 && random == nullptr))
        return QELError_BadParams;
    // At least eight padding bytes (RFC 8017): the data may be k - 11 bytes.
    if ((u64)length + 11 > k)
        return QELError_DataTooLarge;
    Buffer buf(number->memoryMgr, k, true);
    if (!buf)
        return QELError_OutOfMemory;
    std::uint8_t *b = buf.get();
    const u32 padEnd = k - length - 1; // separator position
    b[0] = 0;
    b[1] = (std::uint8_t)blockType;
    if (blockType == 1) {
        std::memset(b + 2, 0xFF, padEnd - 2);
    } else {
        // A zero octet is drawn again; a source that keeps giving zeros
        // cannot deliver, and the padding fails instead of waiting forever.
        constexpr u32 kRedraws = 64;
        for (u32 pos = 2; pos < padEnd; pos += 64) {
            const u32 n = padEnd - pos < 64 ? padEnd - pos : 64;
            if (const QELStatus status = qelRandomGetBytes(random, b + pos, n); status != 0)
                return status;
            for (u32 i = pos; i < pos + n; ++i)
                for (u32 tries = 0; b[i] == 0; ++tries) {
                    if (tries == kRedraws)
                        return QELError_OutOfEntropy;
                    if (const QELStatus status = qelRandomGetBytes(random, b + i, 1); status != 0)
                        return status;
                }
        }
    }
    b[padEnd] = 0;
    if (length)
        std::memcpy(b + padEnd + 1, data, length);
    if (importBytes(number, b, k) != 0)
        return QELError_OutOfMemory;
    return QELError_NoErr;
}

std::int32_t qelPKCS1Unpad(std::uint8_t *out, u32 outSize, const QELBigNum *number, u32 blockType, u32 k)
{
    if ((blockType != 1 && blockType != 2) || k < 3 || (outSize != 0 && out == nullptr))
        return QELError_CorruptData;
    // A value wider than the block cannot be a block of it; a non-zero first
    // octet is judged with the rest of the block. A decrypted value (type 2)
    // is below the modulus: its length is not looked at, as it is secret.
    if (blockType == 1 && QELBigNumOps.qelBigNumBitLength(number) > 8 * (u64)k)
        return QELError_CorruptData;
    Buffer buf(number->memoryMgr, k, true);
    if (!buf)
        return QELError_OutOfMemory;
    std::uint8_t *b = buf.get();
    QELBigNumOps.qelBigNumToBytesBE(number, b, 0, k);

    // A length query passes no output at all.
    auto copyOut = [&](const std::uint8_t *src, u32 n) {
        if (n != 0 && outSize != 0)
            std::memcpy(out, src, n < outSize ? n : outSize);
    };

    u32 sep;
    if (blockType == 1) {
        if (b[0] != 0 || b[1] != 1)
            return QELError_CorruptData;
        // Legacy layout: a bare MD5 digest in bytes 2..17, then 00 FF..FF 01.
        if (k >= 20 && b[k - 1] == 1 && b[18] == 0) {
            bool allFF = true;
            for (u32 i = 19; i + 1 < k; ++i)
                allFF = allFF && b[i] == 0xFF;
            if (allFF) {
                std::uint8_t info[34];
                std::memcpy(info, kMD5DigestInfo, 18);
                std::memcpy(info + 18, b + 2, 16);
                copyOut(info, 34);
                qelSecureWipe(info, sizeof info);
                return 34;
            }
        }
        sep = 2;
        while (sep < k && b[sep] == 0xFF)
            ++sep;
        if (sep == k || b[sep] != 0)
            return QELError_CorruptData;
    } else {
        // Decryption: the verdict must not show in the time taken.
        return unpadType2(b, k, out, outSize);
    }
    const u32 dataLength = k - sep - 1;
    copyOut(b + sep + 1, dataLength);
    return (std::int32_t)dataLength;
}

void qelMGF1(QELHashContext *hash, std::uint8_t *digestScratch, std::uint8_t *target, u32 targetLength,
             const std::uint8_t *seed, u32 seedLength)
{
    const QELHashDescriptor *d = hash->descriptor;
    const u32 h = (u32)d->digestSize;
    d->init(hash->state);
    for (u32 counter = 0, pos = 0; pos < targetLength; ++counter) {
        const std::uint8_t c[4] = {(std::uint8_t)(counter >> 24), (std::uint8_t)(counter >> 16),
                                   (std::uint8_t)(counter >> 8), (std::uint8_t)counter};
        d->update(hash->state, seed, seedLength);
        d->update(hash->state, c, 4);
        std::memcpy(digestScratch, d->final(hash->state), h);
        const u32 n = targetLength - pos < h ? targetLength - pos : h;
        for (u32 i = 0; i < n; ++i)
            target[pos + i] ^= digestScratch[i];
        pos += n;
        d->init(hash->state);
    }
}

QELStatus qelOAEPEncode(QELBigNum *number, const std::uint8_t *message, u32 length, u32 k,
                        std::int32_t labelHash, std::int32_t maskHash, const std::uint8_t *label,
                        u32 labelLength, QELContext *context, QELRandomContext *random)
{
    const QELHashDescriptor *hd = qelHashDescriptorFind(labelHash);
    const QELHashDescriptor *gd = qelHashDescriptorFind(maskHash);
    if (hd == nullptr || gd == nullptr)
        return QELError_UnknownHashAlgorithm;
    if ((length != 0 && message == nullptr) || (labelLength != 0 && label == nullptr) || random == nullptr)
        return QELError_BadParams;
    const u32 h = (u32)hd->digestSize;
    if ((u64)length + 2 * (u64)h + 2 > k)
        return QELError_DataTooLarge;
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
    if (mgr == nullptr)
        return QELError_BadParams;

    OAEPBlock block(mgr, hd, gd, k);
    if (!block.ready(mgr, labelHash, maskHash))
        return QELError_OutOfMemory;
    const u32 dbLength = block.dbLength;

    std::uint8_t *DB = block.db.get();
    hashOnce(block.H.get(), label, labelLength, DB);
    std::memset(DB + h, 0, dbLength - h);
    DB[dbLength - length - 1] = 0x01;
    if (length)
        std::memcpy(DB + dbLength - length, message, length);
    if (const QELStatus status = qelRandomGetBytes(random, block.seed.get(), h); status != 0)
        return status;
    block.maskDataBlock();
    block.maskSeed();

    const auto &ops = QELBigNumOps;
    if (importBytes(number, DB, dbLength) != 0 || ops.qelBigNumFromBytesBE(number, block.seed.get(), dbLength, h) != 0)
        return QELError_OutOfMemory;
    return QELError_NoErr;
}

std::int32_t qelOAEPDecode(std::uint8_t *out, u32 outSize, const QELBigNum *number, u32 k,
                           std::int32_t labelHash, std::int32_t maskHash, const std::uint8_t *label,
                           u32 labelLength, QELContext *context)
{
    const QELHashDescriptor *hd = qelHashDescriptorFind(labelHash);
    const QELHashDescriptor *gd = qelHashDescriptorFind(maskHash);
    if (hd == nullptr || gd == nullptr)
        return QELError_UnknownHashAlgorithm;
    if ((outSize != 0 && out == nullptr) || (labelLength != 0 && label == nullptr))
        return QELError_BadParams;
    const u32 h = (u32)hd->digestSize;
    // The block must hold the zero byte, the seed, the label hash and 0x01.
    if ((u64)k < 2 * (u64)h + 2)
        return QELError_CorruptData;
    // A value of more words than the block cannot come from this key's
    // modulus (the word count is public; the value's length is not looked
    // at: an octet above the block shows in the check of the top octet).
    if (number->words != nullptr && (u64)number->used * 4 > (u64)k + 3)
        return QELError_CorruptData;
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
    if (mgr == nullptr)
        return QELError_BadParams;

    OAEPBlock block(mgr, hd, gd, k);
    if (!block.ready(mgr, labelHash, maskHash))
        return QELError_OutOfMemory;
    const u32 dbLength = block.dbLength;
    std::uint8_t *DB = block.db.get();
    QELBigNumOps.qelBigNumToBytesBE(number, block.seed.get(), dbLength, h);
    QELBigNumOps.qelBigNumToBytesBE(number, DB, 0, dbLength);
    block.maskSeed();
    block.maskDataBlock();

    // Every check runs over the whole block and the verdict is taken once.
    hashOnce(block.H.get(), label, labelLength, block.scratch.get());
    std::uint8_t top = 0;
    QELBigNumOps.qelBigNumToBytesBE(number, &top, k - 1, 1);
    u32 bad = top;
    // Octets above the block (up to the public word count) must be zero.
    for (u32 pos = k; number->words != nullptr && pos < 4 * number->used; ++pos) {
        std::uint8_t above = 0;
        QELBigNumOps.qelBigNumToBytesBE(number, &above, pos, 1);
        bad |= above;
    }
    for (u32 j = 0; j < h; ++j)
        bad |= DB[j] ^ block.scratch.get()[j];
    u32 i = 0, found = 0, marker = 0;
    for (u32 j = h; j < dbLength; ++j) {
        const u32 first = ~maskIfZero(DB[j]) & ~found;
        i |= j & first;
        marker |= maskIfEqual(DB[j], 1) & first;
        found |= first;
    }
    // The verdict and the length are what the caller learns anyway.
    if (qelCTDeclassifyValue(maskIfZero(bad) & found & marker) == 0)
        return QELError_CorruptData;
    i = qelCTDeclassifyValue(i);
    const u32 msgLength = dbLength - i - 1;
    const u32 n = msgLength < outSize ? msgLength : outSize;
    if (n)
        std::memcpy(out, DB + i + 1, n);
    if (outSize > n)
        std::memset(out + n, 0, outSize - n);
    return (std::int32_t)msgLength;
}
