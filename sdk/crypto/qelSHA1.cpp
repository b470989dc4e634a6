// SHA-1 (FIPS 180-1) over a flat state record.
//
// One set of unrolled rounds serves both entry points. The hash path loads
// each whole block straight from the caller's bytes into a local sixteen-word
// rolling schedule; qelSHA1Compress runs the same rounds over the caller's
// words, which it must leave holding the expanded schedule.
#include "qelSHA1Internal.h"

#include <bit>
#include <cstring>

#include "qelBitOps.h"
#include "qelCryptoCPU.h"
#include "qelHashBlock.h"
#include "qelWipe.h"

namespace {

// Each round adds the message word, the constant and the round function into
// e before rotl(a, 5), which comes from the round just finished: the
// additions not depending on it run ahead. Majority is the sum of two
// disjoint bit sets, so its halves are added separately too.
#define QEL_SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define QEL_SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define QEL_SHA1_ROUND(a, b, c, d, e, F, k, w)                                         \
    do {                                                                               \
        e += (w) + (k);                                                                \
        e += F(b, c, d);                                                               \
        e += std::rotl(a, 5);                                                          \
        b = std::rotl(b, 30);                                                          \
    } while (0)
#define QEL_SHA1_ROUND_MAJ(a, b, c, d, e, k, w)                                        \
    do {                                                                               \
        e += (w) + (k);                                                                \
        e += (b) & (c);                                                                \
        e += (d) & ((b) ^ (c));                                                        \
        e += std::rotl(a, 5);                                                          \
        b = std::rotl(b, 30);                                                          \
    } while (0)

// W[t] for t >= 16, kept in slot t mod 16. W[77..79] are used but not stored,
// which leaves slots 13..15 holding W[61..63].
#define QEL_SHA1_W(t) std::rotl(m[((t) + 13) & 15] ^ m[((t) + 8) & 15] ^ m[((t) + 2) & 15] ^ m[(t) & 15], 1)
#define QEL_SHA1_STORE(t) (m[(t) & 15] = QEL_SHA1_W(t))

#define QEL_SHA1_FIVE(F, k, W, t)                                                      \
    F(a, b, c, d, e, k, W((t) + 0));                                                   \
    F(e, a, b, c, d, k, W((t) + 1));                                                   \
    F(d, e, a, b, c, k, W((t) + 2));                                                   \
    F(c, d, e, a, b, k, W((t) + 3));                                                   \
    F(b, c, d, e, a, k, W((t) + 4))

#define QEL_SHA1_R1(a, b, c, d, e, k, w) QEL_SHA1_ROUND(a, b, c, d, e, QEL_SHA1_CH, k, w)
#define QEL_SHA1_R2(a, b, c, d, e, k, w) QEL_SHA1_ROUND(a, b, c, d, e, QEL_SHA1_PARITY, k, w)
#define QEL_SHA1_R3(a, b, c, d, e, k, w) QEL_SHA1_ROUND_MAJ(a, b, c, d, e, k, w)
#define QEL_SHA1_M(t) m[t]

constexpr std::uint32_t kK1 = 0x5A827999u, kK2 = 0x6ED9EBA1u, kK3 = 0x8F1BBCDCu,
                        kK4 = 0xCA62C1D6u;

// Eighty rounds with feed-forward; m holds W[0..15] and is expanded in place.
[[gnu::always_inline]] inline void sha1Rounds(std::uint32_t *chaining, std::uint32_t *m)
{
    std::uint32_t a = chaining[0], b = chaining[1], c = chaining[2], d = chaining[3],
                  e = chaining[4];
    QEL_SHA1_FIVE(QEL_SHA1_R1, kK1, QEL_SHA1_M, 0);
    QEL_SHA1_FIVE(QEL_SHA1_R1, kK1, QEL_SHA1_M, 5);
    QEL_SHA1_FIVE(QEL_SHA1_R1, kK1, QEL_SHA1_M, 10);
    QEL_SHA1_R1(a, b, c, d, e, kK1, m[15]);
    QEL_SHA1_R1(e, a, b, c, d, kK1, QEL_SHA1_STORE(16));
    QEL_SHA1_R1(d, e, a, b, c, kK1, QEL_SHA1_STORE(17));
    QEL_SHA1_R1(c, d, e, a, b, kK1, QEL_SHA1_STORE(18));
    QEL_SHA1_R1(b, c, d, e, a, kK1, QEL_SHA1_STORE(19));
    QEL_SHA1_FIVE(QEL_SHA1_R2, kK2, QEL_SHA1_STORE, 20);
    QEL_SHA1_FIVE(QEL_SHA1_R2, kK2, QEL_SHA1_STORE, 25);
    QEL_SHA1_FIVE(QEL_SHA1_R2, kK2, QEL_SHA1_STORE, 30);
    QEL_SHA1_FIVE(QEL_SHA1_R2, kK2, QEL_SHA1_STORE, 35);
    QEL_SHA1_FIVE(QEL_SHA1_R3, kK3, QEL_SHA1_STORE, 40);
    QEL_SHA1_FIVE(QEL_SHA1_R3, kK3, QEL_SHA1_STORE, 45);
    QEL_SHA1_FIVE(QEL_SHA1_R3, kK3, QEL_SHA1_STORE, 50);
    QEL_SHA1_FIVE(QEL_SHA1_R3, kK3, QEL_SHA1_STORE, 55);
    QEL_SHA1_FIVE(QEL_SHA1_R2, kK4, QEL_SHA1_STORE, 60);
    QEL_SHA1_FIVE(QEL_SHA1_R2, kK4, QEL_SHA1_STORE, 65);
    QEL_SHA1_FIVE(QEL_SHA1_R2, kK4, QEL_SHA1_STORE, 70);
    QEL_SHA1_R2(a, b, c, d, e, kK4, QEL_SHA1_STORE(75));
    QEL_SHA1_R2(e, a, b, c, d, kK4, QEL_SHA1_STORE(76));
    QEL_SHA1_R2(d, e, a, b, c, kK4, QEL_SHA1_W(77));
    QEL_SHA1_R2(c, d, e, a, b, kK4, QEL_SHA1_W(78));
    QEL_SHA1_R2(b, c, d, e, a, kK4, QEL_SHA1_W(79));
    chaining[0] += a;
    chaining[1] += b;
    chaining[2] += c;
    chaining[3] += d;
    chaining[4] += e;
}

#undef QEL_SHA1_M
#undef QEL_SHA1_R3
#undef QEL_SHA1_R2
#undef QEL_SHA1_R1
#undef QEL_SHA1_FIVE
#undef QEL_SHA1_STORE
#undef QEL_SHA1_W
#undef QEL_SHA1_ROUND_MAJ
#undef QEL_SHA1_ROUND

// Whole blocks read big-endian from p; the schedule lives on this frame only.
void sha1Blocks(std::uint32_t *chaining, const std::uint8_t *p, std::size_t count)
{
    std::uint32_t w[16];
    for (; count > 0; --count, p += 64) {
        for (int i = 0; i < 16; ++i)
            w[i] = qelLoadBE32(p + 4 * i);
        sha1Rounds(chaining, w);
    }
    qelSecureWipe(w, sizeof w);
}

#undef QEL_SHA1_PARITY
#undef QEL_SHA1_CH

// The SHA extensions where the processor has them, else the rounds above.
void hashBlocks(std::uint32_t *chaining, const std::uint8_t *p, std::size_t count)
{
#if defined(QEL_CRYPTO_X86)
    if (qelCryptoUseSHA()) {
        qelSHA1BlocksSHANI(chaining, p, count);
        return;
    }
#endif
    sha1Blocks(chaining, p, count);
}

} // namespace

void qelSHA1Compress(std::uint32_t *chaining, std::uint32_t *m)
{
    sha1Rounds(chaining, m);
}

void qelSHA1Init(QELSHA1State *state)
{
    state->h[0] = 0x67452301u;
    state->h[1] = 0xEFCDAB89u;
    state->h[2] = 0x98BADCFEu;
    state->h[3] = 0x10325476u;
    state->h[4] = 0xC3D2E1F0u;
    state->countHigh = 0;
    state->countLow = 0;
}

void qelSHA1Update(QELSHA1State *state, const void *data, std::uint64_t length)
{
    const std::size_t used = state->countLow & 63u;
    const std::uint32_t before = state->countLow;
    state->countLow = before + static_cast<std::uint32_t>(length);
    if (state->countLow < before)
        ++state->countHigh;
    qelHashBlockFeed<64>(state->block, used, static_cast<const std::uint8_t *>(data), length,
                         [state](const std::uint8_t *p, std::size_t n) { hashBlocks(state->h, p, n); });
}

void qelSHA1CountBlocks(QELSHA1State *state, std::uint64_t blocks)
{
    const std::uint64_t count = ((std::uint64_t{state->countHigh} << 32) | state->countLow) + 64 * blocks;
    state->countHigh = static_cast<std::uint32_t>(count >> 32);
    state->countLow = static_cast<std::uint32_t>(count);
}

const std::uint8_t *qelSHA1Final(QELSHA1State *state)
{
    qelHashBlockPad<64, 8>(
        state->block, state->countLow & 63u,
        [state](const std::uint8_t *p, std::size_t n) { hashBlocks(state->h, p, n); },
        [state](std::uint8_t *tail) {
            qelStoreBE32(tail, (state->countHigh << 3) | (state->countLow >> 29));
            qelStoreBE32(tail + 4, state->countLow << 3);
        });
    qelWordsToBytesBE(state->h);
    return reinterpret_cast<const std::uint8_t *>(state->h);
}

void qelSHA1SetChainingValue(QELSHA1State *state, const std::uint8_t *bytes)
{
    for (int i = 0; i < 5; ++i)
        state->h[i] = qelLoadBE32(bytes + 4 * i);
}
