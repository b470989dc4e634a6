// String-to-key specifiers: RFC 4880 simple, salted and iterated-salted
// derivation over any hash descriptor, and the two literal types whose
// passphrase is the key itself.
#include "qelStringToKeyInternal.h"

#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelMemoryInternal.h"
#include "qelRandomContextInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// Private block layout: SDK context, hash descriptor, then the specifier
// bytes (16 + specifier-length bytes in all).
struct S2KPrivate {
    QELContext *context;
    const QELHashDescriptor *hash;
};
constexpr std::size_t kPrivateHeader = 16;
static_assert(sizeof(S2KPrivate) == kPrivateHeader);

std::uint8_t *specifierIn(void *privateBlock)
{
    return static_cast<std::uint8_t *>(privateBlock) + kPrivateHeader;
}

constexpr std::size_t kSaltLength = 8;
constexpr std::uint32_t kMaxCodedOctets = 0x3DFFFFF; // 65011711, coded 255

S2KPrivate *privateOf(const QELStringToKey *s2k)
{
    return static_cast<S2KPrivate *>(s2k->privateBlock);
}

std::uint32_t decodeCount(std::uint8_t c)
{
    return (16u + (c & 15u)) << ((c >> 4) + 6u);
}

std::uint8_t encodeCount(std::uint32_t n)
{
    if (n <= 1024)
        return 0;
    if (n > kMaxCodedOctets)
        return 255;
    std::uint32_t a = n >> 5;
    std::uint32_t e = 0;
    while (a > 63) {
        a >>= 1;
        ++e;
    }
    return static_cast<std::uint8_t>(16 * e + ((a + (a & 1)) >> 1) - 16);
}

void destroyS2K(QELStringToKey *s2k)
{
    if (s2k == nullptr)
        return;
    S2KPrivate *priv = privateOf(s2k);
    QELContext *context = priv != nullptr ? priv->context : nullptr;
    if (priv != nullptr) {
        qelSecureWipe(priv, kPrivateHeader + s2k->specifierLength);
        static_cast<void>(qelContextMemFree(context, priv));
    }
    std::memset(s2k, 0, sizeof *s2k);
    static_cast<void>(qelContextMemFree(context, s2k));
}

// Feeds `total` octets of the endlessly repeated salt-and-passphrase string
// to every state. The string is laid out several periods long in one buffer
// so that long counts go to the hash in large pieces, whatever the
// passphrase length.
void feedRepeated(const QELHashDescriptor *hash, void **states, std::size_t stateCount,
                  const std::uint8_t *salt, const std::uint8_t *passphrase,
                  std::size_t passphraseLength, std::uint64_t total)
{
    const std::size_t period = kSaltLength + passphraseLength;
    std::array<std::uint8_t, 4096> buffer;
    if (period > buffer.size()) {
        // A passphrase this long is its own large piece.
        while (total > 0) {
            const std::size_t saltPart = static_cast<std::size_t>(std::min<std::uint64_t>(total, kSaltLength));
            for (std::size_t i = 0; i < stateCount; ++i)
                hash->update(states[i], salt, saltPart);
            total -= saltPart;
            const std::size_t passPart = static_cast<std::size_t>(std::min<std::uint64_t>(total, passphraseLength));
            if (passPart > 0)
                for (std::size_t i = 0; i < stateCount; ++i)
                    hash->update(states[i], passphrase, passPart);
            total -= passPart;
        }
        return;
    }
    const std::size_t periods = buffer.size() / period;
    const std::size_t chunk = periods * period;
    for (std::size_t p = 0; p < periods; ++p) {
        std::memcpy(buffer.data() + p * period, salt, kSaltLength);
        if (passphraseLength > 0)
            std::memcpy(buffer.data() + p * period + kSaltLength, passphrase, passphraseLength);
    }
    // Every piece starts at a period boundary, so any prefix of the buffer is
    // the continuation of the string.
    while (total > 0) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(total, chunk));
        for (std::size_t i = 0; i < stateCount; ++i)
            hash->update(states[i], buffer.data(), piece);
        total -= piece;
    }
    qelSecureWipe(buffer.data(), chunk);
}

QELStatus deriveHashed(QELStringToKey *s2k, const void *passphraseIn, std::size_t passphraseLength,
                       void *keyOut, std::size_t keyLength)
{
    if (s2k == nullptr || s2k->privateBlock == nullptr)
        return QELError_BadParams;
    if (keyLength == 0)
        return QELError_NoErr;
    if (keyOut == nullptr || (passphraseIn == nullptr && passphraseLength != 0))
        return QELError_BadParams;

    S2KPrivate *priv = privateOf(s2k);
    const QELHashDescriptor *hash = priv->hash;
    if (hash == nullptr)
        return QELError_BadParams;
    const auto *passphrase = static_cast<const std::uint8_t *>(passphraseIn);
    auto *key = static_cast<std::uint8_t *>(keyOut);
    const std::size_t digestSize = hash->digestSize;
    const std::size_t stateSize = hash->stateSize;
    const std::size_t stateCount = (keyLength - 1) / digestSize + 1;

    void **states = static_cast<void **>(
        qelContextMemAlloc(priv->context, stateCount * sizeof(void *), QELMemFlag_Clear));
    if (states == nullptr)
        return QELError_OutOfMemory;
    auto releaseStates = [&](std::size_t made) {
        for (std::size_t i = 0; i < made; ++i) {
            qelSecureWipe(states[i], stateSize);
            static_cast<void>(qelContextMemFree(priv->context, states[i]));
        }
        static_cast<void>(qelContextMemFree(priv->context, states));
    };
    static constexpr std::uint8_t zero = 0;
    for (std::size_t i = 0; i < stateCount; ++i) {
        states[i] = qelContextMemAlloc(priv->context, stateSize, QELMemFlag_Clear);
        if (states[i] == nullptr) {
            releaseStates(i);
            return QELError_OutOfMemory;
        }
        hash->init(states[i]);
        // State i starts with i zero octets so that the digests differ.
        for (std::size_t z = 0; z < i; ++z)
            hash->update(states[i], &zero, 1);
    }

    const std::uint8_t type = s2k->specifier[0];
    const std::uint8_t *salt = s2k->specifier + 2;
    if (type == QELS2KType_Simple) {
        if (passphraseLength > 0)
            for (std::size_t i = 0; i < stateCount; ++i)
                hash->update(states[i], passphrase, passphraseLength);
    } else if (type == QELS2KType_Salted) {
        for (std::size_t i = 0; i < stateCount; ++i) {
            hash->update(states[i], salt, kSaltLength);
            if (passphraseLength > 0)
                hash->update(states[i], passphrase, passphraseLength);
        }
    } else {
        const std::uint64_t once = std::uint64_t{passphraseLength} + kSaltLength;
        const std::uint64_t total = std::max<std::uint64_t>(decodeCount(s2k->specifier[10]), once);
        feedRepeated(hash, states, stateCount, salt, passphrase, passphraseLength, total);
    }

    std::size_t done = 0;
    for (std::size_t i = 0; i < stateCount; ++i) {
        const void *digest = hash->final(states[i]);
        const std::size_t take = std::min(digestSize, keyLength - done);
        std::memcpy(key + done, digest, take);
        done += take;
    }
    releaseStates(stateCount);
    return QELError_NoErr;
}

QELStatus deriveLiteral(QELStringToKey *s2k, const void *passphrase, std::size_t passphraseLength,
                        void *key, std::size_t keyLength)
{
    if (s2k == nullptr)
        return QELError_BadParams;
    if (keyLength == 0)
        return QELError_NoErr;
    if (passphraseLength != keyLength || passphrase == nullptr || key == nullptr)
        return QELError_BadParams;
    std::memcpy(key, passphrase, keyLength);
    return QELError_NoErr;
}

QELStringToKey *makeTyped(QELContext *context, const QELHashDescriptor *hash, std::uint32_t length,
                          std::uint8_t type, const std::uint8_t *salt)
{
    QELStringToKey *s2k = qelS2KCreate(context, hash, length);
    if (s2k == nullptr)
        return nullptr;
    s2k->specifier[0] = type;
    if (salt != nullptr)
        std::memcpy(s2k->specifier + 2, salt, kSaltLength);
    s2k->deriveKey = (type == QELS2KType_LiteralA || type == QELS2KType_LiteralB) ? deriveLiteral
                                                                                    : deriveHashed;
    return s2k;
}

} // namespace

QELStringToKey *qelS2KCreate(QELContext *context, const QELHashDescriptor *hash,
                             std::uint32_t specifierLength)
{
    auto *s2k = static_cast<QELStringToKey *>(
        qelContextMemAlloc(context, sizeof(QELStringToKey), QELMemFlag_Clear));
    if (s2k == nullptr)
        return nullptr;
    auto *priv = static_cast<S2KPrivate *>(
        qelContextMemAlloc(context, kPrivateHeader + specifierLength, QELMemFlag_Clear));
    if (priv == nullptr) {
        static_cast<void>(qelContextMemFree(context, s2k));
        return nullptr;
    }
    priv->context = context;
    priv->hash = hash;
    s2k->privateBlock = priv;
    s2k->specifier = specifierIn(priv);
    s2k->specifierLength = specifierLength;
    s2k->destroy = destroyS2K;
    if (hash != nullptr && specifierLength > 1)
        s2k->specifier[1] = static_cast<std::uint8_t>(hash->algorithm);
    return s2k;
}

QELStringToKey *qelS2KNewSimple(QELContext *context, const QELHashDescriptor *hash)
{
    if (hash == nullptr)
        return nullptr;
    return makeTyped(context, hash, 2, QELS2KType_Simple, nullptr);
}

QELStringToKey *qelS2KNewSalted(QELContext *context, const QELHashDescriptor *hash,
                                const std::uint8_t salt[8])
{
    if (hash == nullptr || salt == nullptr)
        return nullptr;
    return makeTyped(context, hash, 10, QELS2KType_Salted, salt);
}

QELStringToKey *qelS2KNewIteratedCoded(QELContext *context, const QELHashDescriptor *hash,
                                       const std::uint8_t salt[8], std::uint8_t codedCount)
{
    if (hash == nullptr || salt == nullptr)
        return nullptr;
    QELStringToKey *s2k = makeTyped(context, hash, 11, QELS2KType_IteratedSalted, salt);
    if (s2k != nullptr)
        s2k->specifier[10] = codedCount;
    return s2k;
}

QELStringToKey *qelS2KNewIterated(QELContext *context, const QELHashDescriptor *hash,
                                  const std::uint8_t salt[8], std::uint32_t octetCount)
{
    return qelS2KNewIteratedCoded(context, hash, salt, encodeCount(octetCount));
}

QELStringToKey *qelS2KNewLiteralA(QELContext *context)
{
    return makeTyped(context, nullptr, 1, QELS2KType_LiteralA, nullptr);
}

QELStringToKey *qelS2KNewLiteralB(QELContext *context)
{
    return makeTyped(context, nullptr, 1, QELS2KType_LiteralB, nullptr);
}

QELStringToKey *qelS2KNew(QELContext *context, QELRandomContext *random, std::uint8_t type)
{
    switch (type) {
    case QELS2KType_Simple:
        return qelS2KNewSimple(context, qelHashDescriptorFind(QELHashAlgorithm_SHA1));
    case QELS2KType_LiteralA:
        return qelS2KNewLiteralA(context);
    case QELS2KType_LiteralB:
        return qelS2KNewLiteralB(context);
    case QELS2KType_Salted:
    case QELS2KType_IteratedSalted:
        break;
    default:
        return nullptr;
    }
    if (random == nullptr)
        return nullptr;
    std::uint8_t salt[kSaltLength] = {};
    if (qelRandomGetBytes(random, salt, sizeof salt) != QELError_NoErr)
        return nullptr;   // a salt the source could not make is no salt
    const QELHashDescriptor *sha1 = qelHashDescriptorFind(QELHashAlgorithm_SHA1);
    QELStringToKey *s2k = type == QELS2KType_Salted ? qelS2KNewSalted(context, sha1, salt)
                                                    : qelS2KNewIterated(context, sha1, salt, 0x8000);
    qelSecureWipe(salt, sizeof salt);
    return s2k;
}

QELStringToKey *qelS2KNewIteratedSHA1(QELContext *context, QELRandomContext *random)
{
    return qelS2KNew(context, random, QELS2KType_IteratedSalted);
}

QELStringToKey *qelS2KNewSimpleMD5(QELContext *context)
{
    return qelS2KNewSimple(context, qelHashDescriptorFind(QELHashAlgorithm_MD5));
}

bool qelS2KIsSimpleMD5(const QELStringToKey *s2k)
{
    return s2k != nullptr && s2k->specifier != nullptr && s2k->specifierLength == 2 &&
           s2k->specifier[0] == QELS2KType_Simple && s2k->specifier[1] == QELHashAlgorithm_MD5;
}

QELStatus qelS2KParse(QELStringToKey **outS2K, QELContext *context, const void *bytesIn,
                      std::size_t length)
{
    if (outS2K != nullptr)
        *outS2K = nullptr;
    if (length == 0 || bytesIn == nullptr)
        return QELError_BadParams;
    const auto *bytes = static_cast<const std::uint8_t *>(bytesIn);
    const std::uint8_t type = bytes[0];
    if (type > QELS2KType_LiteralB || type == 2)
        return QELError_UnknownS2KType;

    std::uint32_t needed = 1;
    switch (type) {
    case QELS2KType_Simple: needed = 2; break;
    case QELS2KType_Salted: needed = 10; break;
    case QELS2KType_IteratedSalted: needed = 11; break;
    default: break;
    }
    if (length < needed)
        return QELError_BadParams;

    const QELHashDescriptor *hash = nullptr;
    if (needed > 1) {
        hash = qelHashDescriptorFind(bytes[1]);
        if (hash == nullptr)
            return QELError_UnknownHashAlgorithm;
    }
    if (outS2K != nullptr) {
        QELStringToKey *s2k = nullptr;
        switch (type) {
        case QELS2KType_Simple: s2k = qelS2KNewSimple(context, hash); break;
        case QELS2KType_Salted: s2k = qelS2KNewSalted(context, hash, bytes + 2); break;
        case QELS2KType_IteratedSalted:
            s2k = qelS2KNewIteratedCoded(context, hash, bytes + 2, bytes[10]);
            break;
        case QELS2KType_LiteralA: s2k = qelS2KNewLiteralA(context); break;
        default: s2k = qelS2KNewLiteralB(context); break;
        }
        if (s2k == nullptr)
            return QELError_OutOfMemory;
        *outS2K = s2k;
    }
    return static_cast<QELStatus>(needed);
}
