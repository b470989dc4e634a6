// The Cipher Encryption and Decryption Modules.
//
// Both transform straight into a ring and pass the ring on, so a write needs
// no allocation; the bytes are wiped from the ring as soon as the downstream
// module has taken them. Decryption with a modification detection code never
// passes on the last 22 bytes of the stream: they stay in the ring for the
// parser's questions (digest size, digest, trailer). Once the downstream
// module has taken all it may, the few bytes left move to the ring's start,
// so that the next chunk (GnuPG's partial bodies are 8 KiB each) is
// transformed in one piece instead of two split at the ring's end: every
// piece costs a trip down the chain and a hash block outside the path that
// decrypts and hashes side by side.
#include "qelCipherModuleInternal.h"

#include "qelAddHeaderModuleInternal.h"
#include "qelAlgorithms.h"
#include "qelCFBInternal.h"
#include "qelHashInternal.h"
#include "qelSHA1Internal.h"
#include "qelSettingsInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kRing = QELCipherRingSize;
constexpr std::size_t kChunk = QELCipherChunkSize;
constexpr std::size_t kMaxBlock = 16;
constexpr std::uint8_t kMdcTag = 0xD3;
constexpr std::uint8_t kMdcLength = 0x14;

struct CipherModule {
    QELPipeModule head;
    std::uint8_t ring[kRing];
    std::size_t writePos;
    std::size_t readPos;
    std::uint64_t pending;  // in the ring, not yet passed on
    std::uint64_t heldBack; // never passed on: 22 when decrypting with MDC
    // Decryption with MDC, in offsets of the encrypted stream (the prefix
    // first): bytes decrypted, and bytes hashed. Every byte that can no
    // longer be one of the held-back last ones is hashed as soon as it is
    // decrypted, before it is passed on; the held-back ones stay in the ring.
    std::uint64_t decryptedTo;
    std::uint64_t hashedTo;
    QELHashContext *mdc;
    QELPipeModule *downstream;
    QELCFBContext *cfb;
    const QELCipherCallback *callback;
    std::uint8_t direction; // 1 encryption, 0 decryption
    std::int32_t depth;
};

CipherModule *self(QELPipeModule *m) { return qelPipeModuleState<CipherModule>(m); }

void setStatus(QELStatus *status, QELStatus value)
{
    if (status != nullptr && value != 0)
        *status = value;
}

void hashBytes(QELHashContext *hash, const std::uint8_t *bytes, std::size_t length)
{
    if (hash != nullptr && length != 0)
        hash->descriptor->update(hash->state, bytes, length);
}

void freeHash(QELHashContext *&hash)
{
    if (hash != nullptr)
        static_cast<void>(qelHashFree(hash)); // our own live hash: wiped and freed
    hash = nullptr;
}

// Passes on what the ring holds beyond the held-back bytes.
QELStatus drain(CipherModule *c)
{
    while (c->pending > c->heldBack) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(c->pending - c->heldBack, kRing - c->readPos));
        std::uint8_t *p = c->ring + c->readPos;
        std::uint64_t taken = 0;
        QELStatus status = qelPipeWriteAll(c->downstream, p, n, &taken);
        qelSecureWipe(p, static_cast<std::size_t>(taken));
        c->pending -= taken;
        c->readPos = (c->readPos + static_cast<std::size_t>(taken)) % kRing;
        if (status != 0)
            return status;
    }
    return 0;
}

// Hashes up to stream offset `to`: the bytes before `start` are the
// held-back ones in the ring behind the write position (across its wrap),
// the others the chunk at `out`, which starts there.
void hashTo(CipherModule *c, std::uint64_t to, std::uint64_t start, const std::uint8_t *out)
{
    while (c->hashedTo < to) {
        const std::uint8_t *p = nullptr;
        std::uint64_t n = 0;
        if (c->hashedTo >= start) {
            p = out + (c->hashedTo - start);
            n = to - c->hashedTo;
        } else {
            const std::size_t pos = (c->writePos + kRing - static_cast<std::size_t>(start - c->hashedTo)) % kRing;
            p = c->ring + pos;
            n = std::min<std::uint64_t>(std::min(to, start) - c->hashedTo, kRing - pos);
        }
        hashBytes(c->mdc, p, static_cast<std::size_t>(n));
        c->hashedTo += n;
    }
}

// Decrypts a chunk into the ring at its write position and hashes what may
// be hashed. Whole 64-byte units from a hash block boundary go through the
// path that decrypts and hashes side by side, where the processor has one.
QELStatus decryptHashing(CipherModule *c, const std::uint8_t *in, std::size_t k, std::uint8_t *out)
{
    const std::uint64_t start = c->decryptedTo, end = start + k;
    const std::uint64_t safe = std::max(c->hashedTo, end >= c->heldBack ? end - c->heldBack : 0);
    std::size_t done = 0;
    const std::size_t head = static_cast<std::size_t>((kQELSHA1BlockSize - start % kQELSHA1BlockSize) % kQELSHA1BlockSize);
    if (head + kQELSHA1BlockSize < k && c->mdc->descriptor->algorithm == QELHashAlgorithm_SHA1) {
        // The last unit is hashed with the others only when the bytes after
        // it cover the held-back ones.
        const std::size_t units = (k - head) / kQELSHA1BlockSize;
        const std::size_t hashUnits = (k - head) % kQELSHA1BlockSize >= c->heldBack ? units : units - 1;
        if (hashUnits != 0) {
            if (head != 0)
                if (QELStatus s = qelCFBDecryptInternal(c->cfb, in, head, out); s != 0)
                    return s;
            done = head;
            hashTo(c, start + head, start, out);
            if (qelCFBDecryptWithSHA1(c->cfb, in + head, units, out + head, static_cast<QELSHA1State *>(c->mdc->state),
                                      hashUnits)) {
                done += units * kQELSHA1BlockSize;
                c->hashedTo += hashUnits * kQELSHA1BlockSize;
            }
        }
    }
    if (done < k)
        if (QELStatus s = qelCFBDecryptInternal(c->cfb, in + done, k - done, out + done); s != 0)
            return s;
    hashTo(c, safe, start, out);
    c->decryptedTo = end;
    return 0;
}

// Encrypts a chunk into the ring at its write position, hashing its
// plaintext for the MDC. Whole 64-byte units from a hash block boundary go
// through the path that encrypts and hashes side by side, where the
// processor has one.
QELStatus encryptHashing(CipherModule *c, const std::uint8_t *in, std::size_t k, std::uint8_t *out)
{
    std::size_t done = 0;
    if (c->mdc != nullptr && c->mdc->descriptor->algorithm == QELHashAlgorithm_SHA1) {
        auto *sha1 = static_cast<QELSHA1State *>(c->mdc->state);
        const std::size_t head = (kQELSHA1BlockSize - sha1->countLow % kQELSHA1BlockSize) % kQELSHA1BlockSize;
        if (head + kQELSHA1BlockSize <= k) {
            hashBytes(c->mdc, in, head);
            if (QELStatus s = qelCFBEncryptInternal(c->cfb, in, head, out); s != 0)
                return s;
            done = head;
            const std::size_t units = (k - head) / kQELSHA1BlockSize;
            if (qelCFBEncryptWithSHA1(c->cfb, in + head, units, out + head, sha1))
                done += units * kQELSHA1BlockSize;
        }
    }
    hashBytes(c->mdc, in + done, k - done);
    return qelCFBEncryptInternal(c->cfb, in + done, k - done, out + done);
}

// Moves the bytes still in the ring (no more than the held-back ones) to its
// start, wiping them where they were.
void rewind(CipherModule *c)
{
    if (c->readPos == 0 || c->pending > QELMdcPacketSize)
        return;
    const std::size_t n = static_cast<std::size_t>(c->pending);
    std::uint8_t held[QELMdcPacketSize];
    const std::size_t first = std::min(n, kRing - c->readPos);
    std::memcpy(held, c->ring + c->readPos, first);
    std::memcpy(held + first, c->ring, n - first);
    qelSecureWipe(c->ring + c->readPos, first);
    qelSecureWipe(c->ring, n - first);
    std::memcpy(c->ring, held, n);
    qelSecureWipe(held, n);
    c->readPos = 0;
    c->writePos = n % kRing;
}

std::uint64_t cipherWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    CipherModule *c = self(m);
    if (c->downstream == nullptr || (bytes == nullptr && length != 0)) {
        setStatus(status, QELError_BadParams);
        return 0;
    }
    // Drains before every chunk and once more after the last, so that what
    // the write took is passed on before it returns.
    std::uint64_t done = 0;
    for (;;) {
        if (QELStatus s = drain(c); s != 0) {
            setStatus(status, s);
            return done;
        }
        if (done == length)
            break;
        rewind(c);
        // The free space behind the write position, up to the ring's end or
        // the read position, less room for the held-back bytes.
        std::size_t contiguous = c->writePos >= c->readPos && c->pending < kRing ? kRing - c->writePos
                                                                                 : c->readPos - c->writePos;
        std::uint64_t room = kRing - c->heldBack - c->pending;
        std::size_t chunk =
            static_cast<std::size_t>(std::min({room, length - done, std::uint64_t{contiguous}, std::uint64_t{kChunk}}));
        if (chunk == 0)
            break;
        if (c->callback != nullptr && c->callback->proc != nullptr &&
            c->callback->proc(chunk, c->callback->userValue) < 0) {
            setStatus(status, QELError_UserAbort);
            return done;
        }
        std::uint8_t *out = c->ring + c->writePos;
        QELStatus s = 0;
        if (c->direction == 1) {
            s = encryptHashing(c, bytes + done, chunk, out);
        } else if (c->mdc != nullptr) {
            s = decryptHashing(c, bytes + done, chunk, out);
        } else {
            s = qelCFBDecryptInternal(c->cfb, bytes + done, chunk, out);
        }
        if (s != 0) {
            qelSecureWipe(out, chunk);
            setStatus(status, s);
            return done;
        }
        c->pending += chunk;
        c->writePos = (c->writePos + chunk) % kRing;
        done += chunk;
    }
    return done;
}

QELStatus cipherFlush(QELPipeModule *m)
{
    CipherModule *c = self(m);
    if (c->downstream == nullptr)
        return QELError_BadParams;
    if (QELStatus s = drain(c); s != 0)
        return s;
    return qelPipeFlush(c->downstream);
}

// Appends the modification detection packet to the encrypted stream: its two
// octets are hashed, the hash is finished and freed (so nothing after it is
// hashed, and a repeated end of input appends nothing) and the packet goes
// through the module's own write to be encrypted as the end of the stream.
QELStatus appendMdc(CipherModule *c)
{
    std::uint8_t packet[QELMdcPacketSize];
    packet[0] = kMdcTag;
    packet[1] = kMdcLength;
    hashBytes(c->mdc, packet, 2);
    std::memcpy(packet + 2, qelHashFinalPointer(c->mdc), QELMdcDigestSize);
    freeHash(c->mdc);
    QELStatus status = qelPipeWriteAll(&c->head, packet, sizeof packet);
    qelSecureWipe(packet, sizeof packet);
    return status;
}

QELStatus cipherExpectBytes(QELPipeModule *m, std::uint64_t count)
{
    CipherModule *c = self(m);
    if (c->downstream == nullptr)
        return QELError_BadParams;
    if (QELStatus s = drain(c); s != 0)
        return s;
    if (c->depth != 0)
        return 0;
    if (count > 0) {
        // What the downstream module will really receive: the bytes still in
        // the ring and those announced, with the detection packet that
        // encryption appends, less the bytes decryption holds back.
        std::uint64_t owed = c->pending + count;
        if (c->direction == 1 && c->mdc != nullptr)
            owed += QELMdcPacketSize;
        if (owed <= c->heldBack)
            return 0; // nothing of it reaches the downstream module
        return qelPipeExpectBytes(c->downstream, owed - c->heldBack);
    }
    if (c->direction == 1 && c->mdc != nullptr)
        if (QELStatus s = appendMdc(c); s != 0)
            return s;
    return qelPipeExpectBytes(c->downstream, 0);
}

// Copies up to `length` of the held-back bytes from the read position across
// the ring's wrap; never more than the ring holds.
std::size_t copyHeld(const CipherModule *c, std::uint8_t *out, std::size_t length)
{
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>({c->pending, c->heldBack, length}));
    std::size_t first = std::min(n, kRing - c->readPos);
    std::memcpy(out, c->ring + c->readPos, first);
    std::memcpy(out + first, c->ring, n - first);
    return n;
}

QELStatus answerMdcHash(CipherModule *c, void *data, std::uint64_t length)
{
    auto *out = static_cast<std::uint8_t *>(data);
    if (length != 0)
        std::memset(out, 0, static_cast<std::size_t>(length));
    if (c->mdc == nullptr || c->pending < 2 || length == 0)
        return 0;
    QELHashContext *copy = qelHashDuplicate(c->mdc);
    if (copy == nullptr)
        return QELError_OutOfMemory;
    std::uint8_t tagAndLength[2];
    static_cast<void>(copyHeld(c, tagAndLength, 2));
    hashBytes(copy, tagAndLength, 2);
    std::memcpy(out, qelHashFinalPointer(copy),
                static_cast<std::size_t>(std::min<std::uint64_t>(length, QELMdcDigestSize)));
    freeHash(copy);
    return 0;
}

QELStatus cipherAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    CipherModule *c = self(m);
    switch (code) {
    case QELAnnotation_MdcSize: {
        if (data == nullptr || length < sizeof(std::uint64_t))
            return QELError_BadParams;
        std::uint64_t size = c->mdc == nullptr ? 0 : std::max<std::uint64_t>(QELMdcDigestSize, c->heldBack - 2);
        std::memcpy(data, &size, sizeof size);
        return 0;
    }
    case QELAnnotation_MdcHash:
        if (data == nullptr && length != 0)
            return QELError_BadParams;
        return answerMdcHash(c, data, length);
    case QELAnnotation_MdcTrailer:
        if (data == nullptr && length != 0)
            return QELError_BadParams;
        if (length != 0) {
            std::memset(data, 0, static_cast<std::size_t>(length));
            static_cast<void>(copyHeld(c, static_cast<std::uint8_t *>(data), static_cast<std::size_t>(length)));
        }
        return 0;
    default:
        break;
    }
    if (c->downstream == nullptr)
        return QELError_BadParams;
    QELStatus status = qelPipeAnnotate(c->downstream, origin, code, data, length);
    if (status == 0)
        c->depth += qelAnnotationScopeStep(code);
    return status;
}

QELStatus cipherDestroy(QELPipeModule *m)
{
    CipherModule *c = self(m);
    freeHash(c->mdc);
    qelPipeDestroy(c->downstream);
    if (c->cfb != nullptr)
        static_cast<void>(qelCFBFree(c->cfb)); // our own live object
    qelPipeModuleFree(c); // wipes the ring with the rest of the block
    return 0;
}

constexpr QELPipeOps kCipherOps{cipherWrite, cipherFlush, cipherAnnotate, cipherExpectBytes, cipherDestroy};

CipherModule *makeModule(QELContext *context, std::uint8_t direction, QELSettings *settings, const char *name)
{
    auto *c = qelPipeModuleNew<CipherModule>(context, QELPipeMagic_Cipher, name, kCipherOps);
    if (c == nullptr)
        return nullptr;
    c->direction = direction;
    if (settings != nullptr)
        c->callback = static_cast<const QELCipherCallback *>(
            qelSettingsGetPointer(settings, QELSetting_CipherCallback, nullptr));
    return c;
}

bool usableBlockSize(std::size_t blockSize) { return blockSize >= 2 && blockSize <= kMaxBlock; }

} // namespace

QELPipeModule **qelCipherEncryptModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                             const QELFifoDescriptor *fifoKind, QELCFBContext *cfb,
                                             const std::uint8_t *random, QELSettings *settings, std::uint8_t mdc)
{
    if (slot == nullptr || cfb == nullptr || random == nullptr)
        return nullptr;
    const std::size_t blockSize = qelCFBGetBlockSize(cfb);
    if (!usableBlockSize(blockSize))
        return nullptr;
    CipherModule *c = makeModule(context, 1, settings, "Cipher Encryption Module");
    if (c == nullptr)
        return nullptr;

    // The body prefix: the version octet of tag 18, then a block of random
    // bytes with its last two repeated, encrypted.
    std::uint8_t prefix[1 + kMaxBlock + 2];
    prefix[0] = 1;
    std::memcpy(prefix + 1, random, blockSize);
    prefix[1 + blockSize] = random[blockSize - 2];
    prefix[2 + blockSize] = random[blockSize - 1];
    const std::size_t checked = blockSize + 2;

    QELStatus status = 0;
    if (mdc != 0) {
        status = qelHashNew(context, QELHashAlgorithm_SHA1, &c->mdc);
        if (status == 0)
            hashBytes(c->mdc, prefix + 1, checked);
    }
    if (status == 0)
        status = qelCFBEncryptInternal(cfb, prefix + 1, checked, prefix + 1);
    if (status == 0 && mdc == 0)
        status = qelCFBSync(cfb);

    QELPipeModule *header = nullptr;
    QELPipeModule **headerDownstream = nullptr;
    if (status == 0)
        headerDownstream =
            mdc != 0 ? qelAddHeaderModuleCreate(context, &header, version, fifoKind, QELPacketTag_EncryptedMdc,
                                                QELLengthType_OneByte, prefix, checked + 1)
                     : qelAddHeaderModuleCreate(context, &header, version, fifoKind, QELPacketTag_Encrypted,
                                                QELLengthType_OneByte, prefix + 1, checked);
    qelSecureWipe(prefix, sizeof prefix);
    if (headerDownstream == nullptr) {
        freeHash(c->mdc);
        qelPipeModuleFree(c);
        return nullptr;
    }
    c->cfb = cfb;
    *headerDownstream = *slot;
    c->downstream = header;
    *slot = &c->head;
    return headerDownstream;
}

QELPipeModule **qelCipherDecryptModuleCreate(QELContext *context, QELPipeModule **slot, QELCFBContext *cfb,
                                             QELSettings *settings, std::uint8_t mdc, const std::uint8_t *prefix)
{
    const std::size_t blockSize = cfb != nullptr ? qelCFBGetBlockSize(cfb) : 0;
    CipherModule *c = nullptr;
    if (slot != nullptr && usableBlockSize(blockSize) && (prefix != nullptr || mdc == 0))
        c = makeModule(context, 0, settings, "Cipher Decryption Module");
    if (c != nullptr && mdc != 0) {
        c->heldBack = QELMdcPacketSize;
        if (qelHashNew(context, QELHashAlgorithm_SHA1, &c->mdc) == 0) {
            hashBytes(c->mdc, prefix, blockSize + 2);
            c->decryptedTo = c->hashedTo = blockSize + 2;
        } else {
            qelPipeModuleFree(c);
            c = nullptr;
        }
    }
    if (c == nullptr) {
        if (cfb != nullptr)
            static_cast<void>(qelCFBFree(cfb)); // ours to release, also on failure
        return nullptr;
    }
    c->cfb = cfb;
    return qelPipeModuleLink(slot, &c->head, &c->downstream);
}
