// CFB mode with full-block feedback over interleaved streams, and the X9.17
// generator step.
#include "qelCFBInternal.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "qelCipherBulk.h"
#include "qelFIPSInternal.h"
#include "qelMemoryInternal.h"
#include "qelSHA1Internal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelWipe.h"

namespace {

constexpr const char *kSourceName = "qelCFB";

constexpr std::size_t kStreamOffset =
    (sizeof(QELCFBContext) + alignof(QELCFBStream) - 1) / alignof(QELCFBStream) * alignof(QELCFBStream);

constexpr std::size_t objectSize(std::size_t count)
{
    return kStreamOffset + count * sizeof(QELCFBStream);
}

// The continuous test of the X9.17 step compares every output block with the
// one before it, process-wide. Generators may run on several threads, so the
// comparison and the update happen under one lock.
std::mutex gLastOutputLock;
std::uint8_t gLastOutput[20];

bool isValid(const QELCFBContext *cfb)
{
    return cfb != nullptr && cfb->magic == kQELCFBMagic;
}

const QELCFBStream *streamsOf(const QELCFBContext *cfb)
{
    return reinterpret_cast<const QELCFBStream *>(reinterpret_cast<const std::uint8_t *>(cfb) + kStreamOffset);
}

inline std::size_t blockSize(const QELCFBStream &s)
{
    return s.cipher->descriptor->blockSize;
}

// Frees the object, its first `made` stream ciphers, and nothing else.
void destroy(QELCFBContext *cfb, std::size_t made)
{
    QELCFBStream *streams = qelCFBStreams(cfb);
    for (std::size_t i = 0; i < made; ++i)
        if (streams[i].cipher != nullptr)
            static_cast<void>(qelSymmetricCipherFree(streams[i].cipher));
    const std::size_t size = objectSize(cfb->count);
    qelSecureWipe(cfb, size);
    static_cast<void>(qelMemFree(cfb));
}

// Creation without the entry guard; the cipher has been accepted.
QELStatus create(QELSymmetricCipher *cipher, std::uint16_t count, QELCFBContext **out)
{
    QELMemoryMgr *mgr = qelSymmetricCipherGetMemoryMgr(cipher);
    auto *cfb = static_cast<QELCFBContext *>(qelMemAlloc(mgr, objectSize(count), QELMemFlag_Clear));
    if (cfb == nullptr) {
        static_cast<void>(qelSymmetricCipherFree(cipher));
        return QELError_OutOfMemory;
    }
    cfb->magic = kQELCFBMagic;
    cfb->memoryMgr = mgr;
    cfb->count = count;
    cfb->initialised = 0;
    QELCFBStream *streams = qelCFBStreams(cfb);
    streams[0].cipher = cipher;
    for (std::uint16_t i = 1; i < count; ++i) {
        QELStatus status = qelSymmetricCipherCopy(cipher, &streams[i].cipher);
        if (status != QELError_NoErr) {
            destroy(cfb, i);
            return status;
        }
    }
    *out = cfb;
    return QELError_NoErr;
}

inline void xorInto(std::uint8_t *dst, const std::uint8_t *src, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        dst[i] ^= src[i];
}

// Encrypts the register in place, keeping the register before it.
inline QELStatus nextKeystream(QELCFBStream *s, std::size_t b)
{
    std::memcpy(s->previous, s->reg, b);
    QELStatus status = qelSymmetricCipherEncryptBlockInternal(s->cipher, s->reg, s->reg);
    if (status == QELError_NoErr)
        s->pending = b;
    return status;
}

// Whole blocks from a block boundary through the cipher's several-block
// function, when it has one for this direction. Leaves the stream as the
// block-by-block loop would: the register holds the last ciphertext block
// and `previous` the register that block's keystream came from. Answers the
// number of bytes done (0: the loop does them).
template <bool Encrypt>
std::size_t bulkCrypt(QELCFBStream *s, std::size_t b, const std::uint8_t *in, std::size_t length, std::uint8_t *out)
{
    const std::size_t blocks = length / b;
    QELSymmetricCipher *cipher = s->cipher;
    if (blocks == 0 || !cipher->keyed || cipher->descriptor->encrypt == nullptr)
        return 0;
    const QELCipherBulk *bulk = qelCipherBulkFind(cipher->descriptor);
    const QELCipherBulkProc proc = bulk == nullptr ? nullptr : Encrypt ? bulk->cfbEncrypt : bulk->cfbDecrypt;
    if (proc == nullptr)
        return 0;
    const std::size_t bytes = blocks * b;
    std::uint8_t last[2][20];
    if constexpr (!Encrypt) {
        // The ciphertext is the input, which the output may overwrite.
        if (blocks >= 2)
            std::memcpy(last[0], in + bytes - 2 * b, b);
        std::memcpy(last[1], in + bytes - b, b);
    }
    proc(cipher->context, s->reg, in, out, blocks);
    if constexpr (Encrypt) {
        if (blocks >= 2)
            std::memcpy(last[0], out + bytes - 2 * b, b);
        std::memcpy(last[1], out + bytes - b, b);
    }
    std::memcpy(s->previous, blocks >= 2 ? last[0] : s->reg, b);
    std::memcpy(s->reg, last[1], b);
    s->pending = 0;
    return bytes;
}

template <bool Encrypt>
QELStatus streamCrypt(QELCFBStream *s, const std::uint8_t *in, std::size_t length, std::uint8_t *out)
{
    const std::size_t b = blockSize(*s);
    while (length > 0) {
        if (s->pending == 0) {
            if (const std::size_t done = bulkCrypt<Encrypt>(s, b, in, length, out); done != 0) {
                in += done;
                out += done;
                length -= done;
                continue;
            }
            if (QELStatus status = nextKeystream(s, b); status != QELError_NoErr)
                return status;
        }
        std::uint8_t *reg = s->reg + (b - s->pending);
        const std::size_t take = std::min(s->pending, length);
        if (take == b) {
            // A whole block: the same steps, eight bytes at a time.
            for (std::size_t i = 0; i < b; i += 8) {
                std::uint64_t x, k;
                std::memcpy(&x, in + i, 8);
                std::memcpy(&k, reg + i, 8);
                const std::uint64_t y = x ^ k;
                std::memcpy(out + i, &y, 8);
                std::memcpy(reg + i, Encrypt ? &y : &x, 8);
            }
            s->pending = 0;
            in += b;
            out += b;
            length -= b;
            continue;
        }
        for (std::size_t i = 0; i < take; ++i) {
            const std::uint8_t x = in[i];
            const std::uint8_t y = static_cast<std::uint8_t>(x ^ reg[i]);
            out[i] = y;
            reg[i] = Encrypt ? y : x; // the register collects the ciphertext
        }
        s->pending -= take;
        in += take;
        out += take;
        length -= take;
    }
    return QELError_NoErr;
}

QELStatus process(bool encrypt, QELCFBContext *cfb, const void *in, std::size_t length, void *out)
{
    if (!cfb->initialised)
        return QELError_NotInitialized;
    const auto *src = static_cast<const std::uint8_t *>(in);
    auto *dst = static_cast<std::uint8_t *>(out);
    if (cfb->count > 1)
        return qelCFBInterleaved(encrypt, cfb, src, length, dst);
    QELCFBStream *s = qelCFBStreams(cfb);
    return encrypt ? qelCFBStreamEncrypt(s, src, length, dst) : qelCFBStreamDecrypt(s, src, length, dst);
}

// Every call on an existing object: one of ours, then the API gate.
QELStatus enter(const QELCFBContext *cfb)
{
    if (!isValid(cfb))
        return QELError_BadParams;
    return qelAPIGate(kSourceName, __LINE__);
}

QELStatus checkData(const QELCFBContext *cfb, const void *in, std::size_t length, const void *out)
{
    if (in == nullptr || out == nullptr || length == 0)
        return QELError_BadParams;
    return enter(cfb);
}

} // namespace

QELCFBStream *qelCFBStreams(QELCFBContext *cfb)
{
    return reinterpret_cast<QELCFBStream *>(reinterpret_cast<std::uint8_t *>(cfb) + kStreamOffset);
}

namespace {

// The one stream of an object that the CFB-with-SHA-1 kernels may run on:
// keyed, 16-byte blocks, at a block boundary, with the hash at one too.
QELCFBStream *sha1PathStream(QELCFBContext *cfb, std::size_t units, const QELSHA1State *sha1)
{
    if (!cfb->initialised || cfb->count != 1 || units == 0 || (sha1->countLow & 63u) != 0)
        return nullptr;
    QELCFBStream *s = qelCFBStreams(cfb);
    const QELSymmetricCipher *cipher = s->cipher;
    if (s->pending != 0 || !cipher->keyed || cipher->descriptor->blockSize != 16)
        return nullptr;
    return s;
}

} // namespace

bool qelCFBDecryptWithSHA1(QELCFBContext *cfb, const std::uint8_t *in, std::size_t units, std::uint8_t *out,
                           QELSHA1State *sha1, std::size_t hashUnits)
{
    QELCFBStream *s = sha1PathStream(cfb, units, sha1);
    if (s == nullptr || hashUnits > units)
        return false;
    QELSymmetricCipher *cipher = s->cipher;
    const QELCipherBulkSHA1Proc proc = qelCipherBulkFindCFBDecryptSHA1(cipher->descriptor);
    if (proc == nullptr)
        return false;
    // The stream afterwards as the block loop leaves it: the register holds
    // the last ciphertext block, `previous` the one before.
    const std::size_t bytes = units * 64;
    std::uint8_t last[2][16];
    std::memcpy(last[0], in + bytes - 32, 16);
    std::memcpy(last[1], in + bytes - 16, 16);
    proc(cipher->context, s->reg, in, out, units, sha1->h, hashUnits);
    std::memcpy(s->previous, last[0], 16);
    std::memcpy(s->reg, last[1], 16);
    qelSHA1CountBlocks(sha1, hashUnits);
    return true;
}

bool qelCFBEncryptWithSHA1(QELCFBContext *cfb, const std::uint8_t *in, std::size_t units, std::uint8_t *out,
                           QELSHA1State *sha1)
{
    QELCFBStream *s = sha1PathStream(cfb, units, sha1);
    if (s == nullptr)
        return false;
    QELSymmetricCipher *cipher = s->cipher;
    const QELCipherBulkEncryptSHA1Proc proc = qelCipherBulkFindCFBEncryptSHA1(cipher->descriptor);
    if (proc == nullptr)
        return false;
    proc(cipher->context, s->reg, in, out, units, sha1->h);
    // The stream afterwards as the block loop leaves it: the register holds
    // the last ciphertext block, `previous` the one before.
    const std::size_t bytes = units * 64;
    std::memcpy(s->previous, out + bytes - 32, 16);
    std::memcpy(s->reg, out + bytes - 16, 16);
    qelSHA1CountBlocks(sha1, units);
    return true;
}

QELStatus qelCFBStreamEncrypt(QELCFBStream *stream, const std::uint8_t *in, std::size_t length, std::uint8_t *out)
{
    return streamCrypt<true>(stream, in, length, out);
}

QELStatus qelCFBStreamDecrypt(QELCFBStream *stream, const std::uint8_t *in, std::size_t length, std::uint8_t *out)
{
    return streamCrypt<false>(stream, in, length, out);
}

QELStatus qelCFBInterleaved(bool encrypt, QELCFBContext *cfb, const std::uint8_t *in, std::size_t length,
                            std::uint8_t *out)
{
    QELCFBStream *streams = qelCFBStreams(cfb);
    const std::size_t b = blockSize(streams[0]);
    while (length > 0) {
        QELCFBStream *s = &streams[cfb->current];
        const std::size_t take = std::min(b - cfb->blockBytes, length);
        QELStatus status = encrypt ? qelCFBStreamEncrypt(s, in, take, out) : qelCFBStreamDecrypt(s, in, take, out);
        if (status != QELError_NoErr)
            return status;
        in += take;
        out += take;
        length -= take;
        cfb->blockBytes += take;
        if (cfb->blockBytes == b) {
            cfb->blockBytes = 0;
            cfb->current = static_cast<std::uint16_t>((cfb->current + 1) % cfb->count);
        }
    }
    return QELError_NoErr;
}

QELStatus qelCFBCreate(QELSymmetricCipher *cipher, std::uint16_t count, QELCFBContext **outCFB)
{
    if (outCFB == nullptr)
        return QELError_BadParams;
    *outCFB = nullptr;
    // The object holds at most 56 streams; a larger count is refused like a
    // zero one, leaving the cipher with the caller.
    if (!qelSymmetricCipherIsValid(cipher) || count == 0 || count > kQELCFBMaxStreams)
        return QELError_BadParams;
    if (QELStatus gate = qelAPIGate(kSourceName, __LINE__); gate != QELError_NoErr)
        return gate;
    return create(cipher, count, outCFB);
}

QELCFBContext *qelCFBCreateForDescriptor(QELMemoryMgr *mgr, const QELCipherDescriptor *descriptor)
{
    if (descriptor == nullptr)
        return nullptr;
    QELSymmetricCipher *cipher = nullptr;
    if (qelSymmetricCipherCreate(mgr, descriptor->algorithm, &cipher) != QELError_NoErr)
        return nullptr;
    QELCFBContext *cfb = nullptr;
    if (create(cipher, 1, &cfb) != QELError_NoErr)
        return nullptr; // create has freed the cipher
    return cfb;
}

QELStatus qelCFBInit(QELCFBContext *cfb, const void *key, const void *iv)
{
    if (key == nullptr && iv == nullptr)
        return QELError_BadParams;
    if (QELStatus status = enter(cfb); status != QELError_NoErr)
        return status;
    QELCFBStream *streams = qelCFBStreams(cfb);
    const auto *ivBytes = static_cast<const std::uint8_t *>(iv);
    for (std::uint16_t i = 0; i < cfb->count; ++i) {
        QELCFBStream &s = streams[i];
        const std::size_t b = blockSize(s);
        if (key != nullptr) {
            if (QELStatus status = qelSymmetricCipherSetKey(s.cipher, key); status != QELError_NoErr)
                return status;
        }
        std::memset(s.previous, 0, sizeof s.previous);
        std::memset(s.reg, 0, sizeof s.reg);
        if (ivBytes != nullptr)
            std::memcpy(s.reg, ivBytes + i * b, b);
        s.pending = 0;
    }
    cfb->current = 0;
    cfb->blockBytes = 0;
    cfb->initialised = 1;
    return QELError_NoErr;
}

QELStatus qelCFBEncrypt(QELCFBContext *cfb, const void *in, std::size_t length, void *out)
{
    if (QELStatus status = checkData(cfb, in, length, out); status != QELError_NoErr)
        return status;
    return qelCFBEncryptInternal(cfb, in, length, out);
}

QELStatus qelCFBDecrypt(QELCFBContext *cfb, const void *in, std::size_t length, void *out)
{
    if (QELStatus status = checkData(cfb, in, length, out); status != QELError_NoErr)
        return status;
    return qelCFBDecryptInternal(cfb, in, length, out);
}

QELStatus qelCFBEncryptInternal(QELCFBContext *cfb, const void *in, std::size_t length, void *out)
{
    return process(true, cfb, in, length, out);
}

QELStatus qelCFBDecryptInternal(QELCFBContext *cfb, const void *in, std::size_t length, void *out)
{
    return process(false, cfb, in, length, out);
}

QELStatus qelCFBSync(QELCFBContext *cfb)
{
    if (QELStatus status = enter(cfb); status != QELError_NoErr)
        return status;
    QELCFBStream &s = qelCFBStreams(cfb)[cfb->current];
    const std::size_t p = s.pending;
    if (p == 0)
        return QELError_NoErr;
    const std::size_t b = blockSize(s);
    // The last b ciphertext bytes: the tail of the previous block, then the
    // part of this block already processed.
    std::uint8_t last[20];
    std::memcpy(last, s.previous + (b - p), p);
    std::memcpy(last + p, s.reg, b - p);
    std::memcpy(s.reg, last, b);
    s.pending = 0;
    return QELError_NoErr;
}

void qelCFBWipe(QELCFBContext *cfb)
{
    if (cfb == nullptr)
        return;
    QELCFBStream *streams = qelCFBStreams(cfb);
    for (std::uint16_t i = 0; i < cfb->count; ++i) {
        // Our own streams' ciphers: clearing a valid cipher cannot fail.
        static_cast<void>(qelSymmetricCipherClearKey(streams[i].cipher));
        qelSecureWipe(streams[i].previous, sizeof streams[i].previous);
        qelSecureWipe(streams[i].reg, sizeof streams[i].reg);
        streams[i].pending = 0;
    }
    cfb->current = 0;
    cfb->blockBytes = 0;
    cfb->initialised = 0;
}

void qelCFBClearLastOutput()
{
    std::lock_guard<std::mutex> lock(gLastOutputLock);
    qelSecureWipe(gLastOutput, sizeof gLastOutput);
}

QELStatus qelCFBFree(QELCFBContext *cfb)
{
    if (QELStatus status = enter(cfb); status != QELError_NoErr)
        return status;
    destroy(cfb, cfb->count);
    return QELError_NoErr;
}

QELStatus qelCFBCopy(const QELCFBContext *cfb, QELCFBContext **outCopy)
{
    if (outCopy == nullptr)
        return QELError_BadParams;
    *outCopy = nullptr;
    if (QELStatus status = enter(cfb); status != QELError_NoErr)
        return status;
    const std::size_t size = objectSize(cfb->count);
    auto *copy = static_cast<QELCFBContext *>(qelMemAlloc(cfb->memoryMgr, size, QELMemFlag_Clear));
    if (copy == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(copy, cfb, size);
    const QELCFBStream *from = streamsOf(cfb);
    QELCFBStream *to = qelCFBStreams(copy);
    for (std::uint16_t i = 0; i < cfb->count; ++i)
        to[i].cipher = nullptr;
    for (std::uint16_t i = 0; i < cfb->count; ++i) {
        QELStatus status = qelSymmetricCipherCopy(from[i].cipher, &to[i].cipher);
        if (status != QELError_NoErr) {
            destroy(copy, i);
            return status;
        }
    }
    *outCopy = copy;
    return QELError_NoErr;
}

std::size_t qelCFBGetBlockSize(const QELCFBContext *cfb)
{
    return streamsOf(cfb)[0].cipher->descriptor->blockSize;
}

std::size_t qelCFBGetKeySize(const QELCFBContext *cfb)
{
    return streamsOf(cfb)[0].cipher->descriptor->keySize;
}

QELStatus qelCFBGetSymmetricCipher(QELCFBContext *cfb, QELSymmetricCipher **outCipher)
{
    if (outCipher == nullptr)
        return QELError_BadParams;
    *outCipher = nullptr;
    if (QELStatus status = enter(cfb); status != QELError_NoErr)
        return status;
    *outCipher = qelCFBStreams(cfb)[0].cipher;
    return QELError_NoErr;
}

QELStatus qelCFBWash(QELCFBContext *cfb, const void *data, std::size_t length)
{
    if (!isValid(cfb) || data == nullptr || cfb->count != 1)
        return QELError_BadParams;
    if (QELStatus gate = qelAPIGate(kSourceName, __LINE__); gate != QELError_NoErr)
        return gate;
    QELCFBStream &s = qelCFBStreams(cfb)[0];
    const std::size_t b = blockSize(s);
    if (QELStatus status = qelSymmetricCipherWash(s.cipher, data, length); status != QELError_NoErr)
        return status;
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    std::size_t j = 0;
    for (std::size_t i = 0; i < length; ++i) {
        s.reg[j++] ^= bytes[i];
        if (j == b) {
            if (QELStatus status = qelSymmetricCipherEncryptBlockInternal(s.cipher, s.reg, s.reg);
                status != QELError_NoErr)
                return status;
            j = 0;
        }
    }
    for (; j < b; ++j)
        s.reg[j] ^= static_cast<std::uint8_t>(length);
    if (QELStatus status = qelSymmetricCipherEncryptBlockInternal(s.cipher, s.reg, s.reg); status != QELError_NoErr)
        return status;
    s.pending = 0;
    return QELError_NoErr;
}

QELStatus qelCFBRandomCycle(QELCFBContext *cfb, const void *block)
{
    if (!isValid(cfb) || block == nullptr || cfb->count != 1)
        return QELError_BadParams;
    if (QELStatus gate = qelAPIGate(kSourceName, __LINE__); gate != QELError_NoErr)
        return gate;
    QELCFBStream &s = qelCFBStreams(cfb)[0];
    const std::size_t b = blockSize(s);
    const auto *t = static_cast<const std::uint8_t *>(block);

    xorInto(s.reg, t, b);
    if (QELStatus status = qelSymmetricCipherEncryptBlockInternal(s.cipher, s.reg, s.previous);
        status != QELError_NoErr)
        return status;

    QELStatus result = QELError_NoErr;
    if (qelFIPSModeEnabled()) {
        std::lock_guard<std::mutex> lock(gLastOutputLock);
        if (std::memcmp(s.previous, gLastOutput, b) == 0) {
            qelFIPSLatchError(QELError_SelfTestFailed);
            result = QELError_SelfTestFailed;
        } else {
            std::memcpy(gLastOutput, s.previous, b);
        }
    }

    std::uint8_t next[20];
    std::memcpy(next, t, b);
    xorInto(next, s.previous, b);
    QELStatus status = qelSymmetricCipherEncryptBlockInternal(s.cipher, next, s.reg);
    qelSecureWipe(next, sizeof next);
    if (status != QELError_NoErr)
        return status;
    s.pending = b;
    return result;
}

QELStatus qelCFBRandomTake(QELCFBContext *cfb, std::size_t count, void *out, std::size_t *outTaken)
{
    if (outTaken == nullptr)
        return QELError_BadParams;
    *outTaken = 0;
    if (!isValid(cfb) || out == nullptr || cfb->count != 1)
        return QELError_BadParams;
    if (QELStatus gate = qelAPIGate(kSourceName, __LINE__); gate != QELError_NoErr)
        return gate;
    QELCFBStream &s = qelCFBStreams(cfb)[0];
    const std::size_t b = blockSize(s);
    const std::size_t take = std::min(count, s.pending);
    std::memcpy(out, s.previous + (b - s.pending), take);
    s.pending -= take;
    *outTaken = take;
    return QELError_NoErr;
}
