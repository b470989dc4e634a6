// SHA-1 and SHA-256 compression with the SHA extensions.
//
// Only the functions here are compiled for those instructions; the rest of
// the SDK keeps the baseline flags, and callers ask qelCryptoUseSHA() first.
#include "qelCryptoCPU.h"

#if defined(QEL_CRYPTO_X86)

#include <immintrin.h>

#include "qelSHA1NI.h"
#include "qelWipe.h"

#define QEL_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

namespace {

// ---- SHA-1 ------------------------------------------------------------------

QEL_SHA_TARGET void sha1Blocks(std::uint32_t *h, const std::uint8_t *p, std::size_t count)
{
    const __m128i reverse = qelSHA1NIReverse();
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(h)), 0x1B);
    __m128i e = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
    for (; count > 0; --count, p += 64) {
        qelSHA1BlockNI(abcd, e, _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), reverse),
                       _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16)), reverse),
                       _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32)), reverse),
                       _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48)), reverse));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(h), _mm_shuffle_epi32(abcd, 0x1B));
    h[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e, 3));
}

// ---- SHA-256 ----------------------------------------------------------------
//
// sha256rnds2 wants the state as {A, B, E, F} and {C, D, G, H} (highest lane
// first) and runs two rounds on the two low lanes of W + K.

// Four rounds on message group m (rounds 4g .. 4g+3).
#define QEL_SHA256_FOUR(m, g)                                                          \
    do {                                                                               \
        __m128i wk = _mm_add_epi32(m, _mm_loadu_si128(reinterpret_cast<const __m128i *>(qelSHA256RoundConstants + 4 * (g)))); \
        cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);                                  \
        abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));         \
    } while (0)

// W[t..t+3] = msg2(msg1(W[t-16..], W[t-12..]) + W[t-7..t-4], W[t-4..]).
#define QEL_SHA256_EXPAND(m0, m1, m2, m3)                                              \
    m0 = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(m0, m1), _mm_alignr_epi8(m3, m2, 4)), m3)

QEL_SHA_TARGET void sha256Blocks(std::uint32_t *h, const std::uint8_t *p, std::size_t count)
{
    const __m128i swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h + 4));
    const __m128i badc = _mm_shuffle_epi32(dcba, 0xB1);   // lanes B A D C, low first
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);   // lanes H G F E
    __m128i abef = _mm_alignr_epi8(badc, efgh, 8);        // lanes F E B A
    __m128i cdgh = _mm_blend_epi16(efgh, badc, 0xF0);     // lanes H G D C
    for (; count > 0; --count, p += 64) {
        const __m128i abefIn = abef, cdghIn = cdgh;
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), swap);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16)), swap);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32)), swap);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48)), swap);
        QEL_SHA256_FOUR(m0, 0);
        QEL_SHA256_FOUR(m1, 1);
        QEL_SHA256_FOUR(m2, 2);
        QEL_SHA256_FOUR(m3, 3);
        for (int g = 4; g < 16; g += 4) {
            QEL_SHA256_EXPAND(m0, m1, m2, m3);
            QEL_SHA256_FOUR(m0, g);
            QEL_SHA256_EXPAND(m1, m2, m3, m0);
            QEL_SHA256_FOUR(m1, g + 1);
            QEL_SHA256_EXPAND(m2, m3, m0, m1);
            QEL_SHA256_FOUR(m2, g + 2);
            QEL_SHA256_EXPAND(m3, m0, m1, m2);
            QEL_SHA256_FOUR(m3, g + 3);
        }
        abef = _mm_add_epi32(abef, abefIn);
        cdgh = _mm_add_epi32(cdgh, cdghIn);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);   // lanes A B E F
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);   // lanes G H C D
    _mm_storeu_si128(reinterpret_cast<__m128i *>(h), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(h + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#undef QEL_SHA256_EXPAND
#undef QEL_SHA256_FOUR

// ---- SHA-512 ----------------------------------------------------------------
//
// The message schedule of two blocks runs side by side in 256-bit registers
// (one block per 128-bit half, two words per half) and writes W + K to a
// table; the rounds (scalar, with BMI2's non-destructive rotations) only read
// it. The schedule of the next two blocks is computed in slices between the
// rounds of the current two, so the vector and the integer units work at the
// same time. Pair i holds W[2i] and W[2i+1]:
//   pair i = pair i-8 + sigma0(W[2i-15], W[2i-14]) + (W[2i-7], W[2i-6])
//            + sigma1(pair i-1).

#define QEL_AVX2_TARGET __attribute__((target("avx2,bmi2")))

QEL_AVX2_TARGET inline __m256i rotr64x4(__m256i x, int n)
{
    return _mm256_or_si256(_mm256_srli_epi64(x, n), _mm256_slli_epi64(x, 64 - n));
}

QEL_AVX2_TARGET inline std::uint64_t rotr64(std::uint64_t x, int n)
{
    return (x >> n) | (x << (64 - n));
}

// W + K of pair i into the two blocks' tables.
#define QEL_SHA512_STORE(i, w)                                                         \
    do {                                                                               \
        const __m256i v = _mm256_add_epi64(                                            \
            w, _mm256_broadcastsi128_si256(                                            \
                   _mm_loadu_si128(reinterpret_cast<const __m128i *>(qelSHA512RoundConstants + 2 * (i))))); \
        _mm_store_si128(reinterpret_cast<__m128i *>(next + 2 * (i)), _mm256_castsi256_si128(v)); \
        _mm_store_si128(reinterpret_cast<__m128i *>(next + 80 + 2 * (i)), _mm256_extracti128_si256(v, 1)); \
    } while (0)

// Pairs 0..7 of the blocks at p0 and p1 (which may be the same).
#define QEL_SHA512_LOAD(w, i)                                                          \
    do {                                                                               \
        w = _mm256_shuffle_epi8(                                                       \
            _mm256_inserti128_si256(                                                   \
                _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p0 + 16 * (i)))), \
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(p1 + 16 * (i))), 1),  \
            swap);                                                                     \
        QEL_SHA512_STORE(i, w);                                                        \
    } while (0)

// One pair of the schedule. a: pair i-8 (becomes pair i), b: i-7, e: i-4,
// f: i-3, h: i-1; the eight registers take these roles in turn.
#define QEL_SHA512_EXPAND(a, b, e, f, h, i)                                            \
    do {                                                                               \
        const __m256i x15 = _mm256_alignr_epi8(b, a, 8);                               \
        const __m256i x7 = _mm256_alignr_epi8(f, e, 8);                                \
        const __m256i s0 = _mm256_xor_si256(_mm256_xor_si256(rotr64x4(x15, 1), rotr64x4(x15, 8)), \
                                            _mm256_srli_epi64(x15, 7));                \
        const __m256i s1 = _mm256_xor_si256(_mm256_xor_si256(rotr64x4(h, 19), rotr64x4(h, 61)), \
                                            _mm256_srli_epi64(h, 6));                  \
        a = _mm256_add_epi64(_mm256_add_epi64(a, s0), _mm256_add_epi64(x7, s1));        \
        QEL_SHA512_STORE(i, a);                                                        \
    } while (0)
#define QEL_SHA512_X0(i) QEL_SHA512_EXPAND(w0, w1, w4, w5, w7, i)
#define QEL_SHA512_X1(i) QEL_SHA512_EXPAND(w1, w2, w5, w6, w0, i)
#define QEL_SHA512_X2(i) QEL_SHA512_EXPAND(w2, w3, w6, w7, w1, i)
#define QEL_SHA512_X3(i) QEL_SHA512_EXPAND(w3, w4, w7, w0, w2, i)
#define QEL_SHA512_X4(i) QEL_SHA512_EXPAND(w4, w5, w0, w1, w3, i)
#define QEL_SHA512_X5(i) QEL_SHA512_EXPAND(w5, w6, w1, w2, w4, i)
#define QEL_SHA512_X6(i) QEL_SHA512_EXPAND(w6, w7, w2, w3, w5, i)
#define QEL_SHA512_X7(i) QEL_SHA512_EXPAND(w7, w0, w3, w4, w6, i)

// One round over the W + K table. Maj reuses the a ^ b of the round before
// as its b ^ c.
#define QEL_SHA512_ROUND(a, b, c, d, e, f, g, h, t)                                    \
    do {                                                                               \
        const std::uint64_t t1 = h + (rotr64(e, 14) ^ rotr64(e, 18) ^ rotr64(e, 41)) + \
                                 (g ^ (e & (f ^ g))) + wk[t];                          \
        const std::uint64_t ab = a ^ b;                                                \
        const std::uint64_t t2 = (rotr64(a, 28) ^ rotr64(a, 34) ^ rotr64(a, 39)) + (b ^ (ab & bc)); \
        bc = ab;                                                                       \
        d += t1;                                                                       \
        h = t1 + t2;                                                                   \
    } while (0)
// Eight rounds with a slice of schedule work after each four, so that the
// schedule's long dependency chain never fills the processor's window.
#define QEL_SHA512_EIGHT(t, X, Y)                                                      \
    QEL_SHA512_ROUND(a, b, c, d, e, f, g, h, (t));                                     \
    QEL_SHA512_ROUND(h, a, b, c, d, e, f, g, (t) + 1);                                 \
    QEL_SHA512_ROUND(g, h, a, b, c, d, e, f, (t) + 2);                                 \
    QEL_SHA512_ROUND(f, g, h, a, b, c, d, e, (t) + 3);                                 \
    X;                                                                                 \
    QEL_SHA512_ROUND(e, f, g, h, a, b, c, d, (t) + 4);                                 \
    QEL_SHA512_ROUND(d, e, f, g, h, a, b, c, (t) + 5);                                 \
    QEL_SHA512_ROUND(c, d, e, f, g, h, a, b, (t) + 6);                                 \
    QEL_SHA512_ROUND(b, c, d, e, f, g, h, a, (t) + 7);                                 \
    Y

// The rounds of one block, computing pairs i .. i+15 of the next blocks'
// schedule on the way when kSchedule.
template <bool kSchedule>
[[gnu::always_inline]] QEL_AVX2_TARGET inline void sha512Block(std::uint64_t *state, const std::uint64_t *wk,
                                                                std::uint64_t *next, int i, __m256i &w0,
                                                                __m256i &w1, __m256i &w2, __m256i &w3, __m256i &w4,
                                                                __m256i &w5, __m256i &w6, __m256i &w7)
{
    std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    std::uint64_t bc = b ^ c;
#define QEL_SHA512_IF(x) if constexpr (kSchedule) { x; }
    QEL_SHA512_EIGHT(0, QEL_SHA512_IF(QEL_SHA512_X0(i)), QEL_SHA512_IF(QEL_SHA512_X1(i + 1)));
    QEL_SHA512_EIGHT(8, QEL_SHA512_IF(QEL_SHA512_X2(i + 2)), QEL_SHA512_IF(QEL_SHA512_X3(i + 3)));
    QEL_SHA512_EIGHT(16, QEL_SHA512_IF(QEL_SHA512_X4(i + 4)), QEL_SHA512_IF(QEL_SHA512_X5(i + 5)));
    QEL_SHA512_EIGHT(24, QEL_SHA512_IF(QEL_SHA512_X6(i + 6)), QEL_SHA512_IF(QEL_SHA512_X7(i + 7)));
    QEL_SHA512_EIGHT(32, QEL_SHA512_IF(QEL_SHA512_X0(i + 8)), QEL_SHA512_IF(QEL_SHA512_X1(i + 9)));
    QEL_SHA512_EIGHT(40, QEL_SHA512_IF(QEL_SHA512_X2(i + 10)), QEL_SHA512_IF(QEL_SHA512_X3(i + 11)));
    QEL_SHA512_EIGHT(48, QEL_SHA512_IF(QEL_SHA512_X4(i + 12)), QEL_SHA512_IF(QEL_SHA512_X5(i + 13)));
    QEL_SHA512_EIGHT(56, QEL_SHA512_IF(QEL_SHA512_X6(i + 14)), QEL_SHA512_IF(QEL_SHA512_X7(i + 15)));
    QEL_SHA512_EIGHT(64, , );
    QEL_SHA512_EIGHT(72, , );
#undef QEL_SHA512_IF
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
}

QEL_AVX2_TARGET void sha512Blocks(std::uint64_t *state, const std::uint8_t *p, std::size_t count)
{
    if (count == 0)
        return;
    // [set][block]: W + K; the second block's table follows the first's.
    alignas(16) std::uint64_t tables[2][2][80];
    const __m256i swap = _mm256_broadcastsi128_si256(
        _mm_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7));
    __m256i w0, w1, w2, w3, w4, w5, w6, w7;
    int current = 0;
    {
        // The first one or two blocks' schedule in one go.
        const std::uint8_t *p0 = p, *p1 = count >= 2 ? p + 128 : p;
        std::uint64_t *next = tables[0][0];
        QEL_SHA512_LOAD(w0, 0); QEL_SHA512_LOAD(w1, 1); QEL_SHA512_LOAD(w2, 2); QEL_SHA512_LOAD(w3, 3);
        QEL_SHA512_LOAD(w4, 4); QEL_SHA512_LOAD(w5, 5); QEL_SHA512_LOAD(w6, 6); QEL_SHA512_LOAD(w7, 7);
        for (int i = 8; i < 40; i += 8) {
            QEL_SHA512_X0(i); QEL_SHA512_X1(i + 1); QEL_SHA512_X2(i + 2); QEL_SHA512_X3(i + 3);
            QEL_SHA512_X4(i + 4); QEL_SHA512_X5(i + 5); QEL_SHA512_X6(i + 6); QEL_SHA512_X7(i + 7);
        }
    }
    while (count > 0) {
        const std::size_t here = count >= 2 ? 2 : 1;
        const std::uint8_t *p0 = p + 128 * here;
        const std::size_t left = count - here;
        std::uint64_t *next = tables[current ^ 1][0];
        if (left >= 2) {
            // The next two blocks' schedule rides along with these rounds.
            const std::uint8_t *p1 = p0 + 128;
            QEL_SHA512_LOAD(w0, 0); QEL_SHA512_LOAD(w1, 1); QEL_SHA512_LOAD(w2, 2); QEL_SHA512_LOAD(w3, 3);
            QEL_SHA512_LOAD(w4, 4); QEL_SHA512_LOAD(w5, 5); QEL_SHA512_LOAD(w6, 6); QEL_SHA512_LOAD(w7, 7);
            sha512Block<true>(state, tables[current][0], next, 8, w0, w1, w2, w3, w4, w5, w6, w7);
            sha512Block<true>(state, tables[current][1], next, 24, w0, w1, w2, w3, w4, w5, w6, w7);
        } else {
            for (std::size_t b = 0; b < here; ++b)
                sha512Block<false>(state, tables[current][b], next, 0, w0, w1, w2, w3, w4, w5, w6, w7);
            if (left == 1) {
                // A last single block: its schedule on its own.
                const std::uint8_t *p1 = p0;
                QEL_SHA512_LOAD(w0, 0); QEL_SHA512_LOAD(w1, 1); QEL_SHA512_LOAD(w2, 2); QEL_SHA512_LOAD(w3, 3);
                QEL_SHA512_LOAD(w4, 4); QEL_SHA512_LOAD(w5, 5); QEL_SHA512_LOAD(w6, 6); QEL_SHA512_LOAD(w7, 7);
                for (int i = 8; i < 40; i += 8) {
                    QEL_SHA512_X0(i); QEL_SHA512_X1(i + 1); QEL_SHA512_X2(i + 2); QEL_SHA512_X3(i + 3);
                    QEL_SHA512_X4(i + 4); QEL_SHA512_X5(i + 5); QEL_SHA512_X6(i + 6); QEL_SHA512_X7(i + 7);
                }
            }
        }
        current ^= 1;
        p = p0;
        count = left;
    }
    qelSecureWipe(tables, sizeof tables);
}

#undef QEL_SHA512_EIGHT
#undef QEL_SHA512_ROUND
#undef QEL_SHA512_X7
#undef QEL_SHA512_X6
#undef QEL_SHA512_X5
#undef QEL_SHA512_X4
#undef QEL_SHA512_X3
#undef QEL_SHA512_X2
#undef QEL_SHA512_X1
#undef QEL_SHA512_X0
#undef QEL_SHA512_EXPAND
#undef QEL_SHA512_LOAD
#undef QEL_SHA512_STORE

// ---- SHA-512 with AVX-512 ----------------------------------------------------
//
// The schedule of four blocks runs side by side in 512-bit registers (one
// block per 128-bit lane, two words per lane), with single-instruction
// rotations and three-way XORs, and writes W + K to a table laid out pair by
// pair: pair i of block b sits at words 8i + 2b and 8i + 2b + 1. The rounds
// of a block carry the schedule of the next four blocks along, a pair every
// eight rounds, so the vector units work while the integer units run the
// rounds. One copy of the round code serves every block of a batch: as the
// rounds of a whole block do not fit the processor's decoded-instruction
// cache twice over, a loop over blocks keeps it from running off the decoders
// (which cost a third of the speed, depending on where the linker put the
// code).

#define QEL_AVX512_TARGET __attribute__((target("avx512f,avx512bw,bmi,bmi2")))

// The zero-masked forms with every lane selected are the plain instructions;
// the plain intrinsics start from an "undefined" register that g++ 12 warns
// about.
template <int kBits>
QEL_AVX512_TARGET inline __m512i rotr64x8(__m512i x)
{
    return _mm512_maskz_ror_epi64(0xFF, x, kBits);
}

template <unsigned kBits>
QEL_AVX512_TARGET inline __m512i shr64x8(__m512i x)
{
    return _mm512_maskz_srli_epi64(0xFF, x, kBits);
}

// Two words, repeated in all four lanes.
QEL_AVX512_TARGET inline __m512i broadcastPair(__m128i pair)
{
    return _mm512_maskz_broadcast_i32x4(0xFFFF, pair);
}

// W + K of pair i of the four blocks into the table.
#define QEL_SHA512Z_STORE(i, w)                                                        \
    _mm512_store_si512(next + 8 * (i),                                                 \
                       _mm512_add_epi64(w, broadcastPair(_mm_loadu_si128(     \
                                               reinterpret_cast<const __m128i *>(qelSHA512RoundConstants + 2 * (i))))))

// Pair i of the blocks at q[0..3] (which may repeat).
#define QEL_SHA512Z_LOAD(w, i)                                                         \
    do {                                                                               \
        __m512i v = _mm512_zextsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i *>(q[0] + 16 * (i)))); \
        v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i *>(q[1] + 16 * (i))), 1); \
        v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i *>(q[2] + 16 * (i))), 2); \
        v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i *>(q[3] + 16 * (i))), 3); \
        w = _mm512_shuffle_epi8(v, swap);                                              \
        QEL_SHA512Z_STORE(i, w);                                                       \
    } while (0)

// One pair, as QEL_SHA512_EXPAND: a: pair i-8 (becomes pair i), b: i-7,
// e: i-4, f: i-3, h: i-1.
#define QEL_SHA512Z_EXPAND(a, b, e, f, h, i)                                           \
    do {                                                                               \
        const __m512i x15 = _mm512_alignr_epi8(b, a, 8);                               \
        const __m512i x7 = _mm512_alignr_epi8(f, e, 8);                                \
        const __m512i s0 = _mm512_ternarylogic_epi64(rotr64x8<1>(x15), rotr64x8<8>(x15), \
                                                     shr64x8<7>(x15), 0x96); \
        const __m512i s1 = _mm512_ternarylogic_epi64(rotr64x8<19>(h), rotr64x8<61>(h), \
                                                     shr64x8<6>(h), 0x96);   \
        a = _mm512_add_epi64(_mm512_add_epi64(a, s0), _mm512_add_epi64(x7, s1));        \
        QEL_SHA512Z_STORE(i, a);                                                       \
    } while (0)
#define QEL_SHA512Z_X0(i) QEL_SHA512Z_EXPAND(w0, w1, w4, w5, w7, i)
#define QEL_SHA512Z_X1(i) QEL_SHA512Z_EXPAND(w1, w2, w5, w6, w0, i)
#define QEL_SHA512Z_X2(i) QEL_SHA512Z_EXPAND(w2, w3, w6, w7, w1, i)
#define QEL_SHA512Z_X3(i) QEL_SHA512Z_EXPAND(w3, w4, w7, w0, w2, i)
#define QEL_SHA512Z_X4(i) QEL_SHA512Z_EXPAND(w4, w5, w0, w1, w3, i)
#define QEL_SHA512Z_X5(i) QEL_SHA512Z_EXPAND(w5, w6, w1, w2, w4, i)
#define QEL_SHA512Z_X6(i) QEL_SHA512Z_EXPAND(w6, w7, w2, w3, w5, i)
#define QEL_SHA512Z_X7(i) QEL_SHA512Z_EXPAND(w7, w0, w3, w4, w6, i)

// One round. Ch is (e & f) + (~e & g) (the two never share a bit), an ANDN
// and an AND side by side; Maj reuses the a ^ b of the round before as its
// b ^ c.
#define QEL_SHA512Z_ROUND(a, b, c, d, e, f, g, h, t)                                   \
    do {                                                                               \
        h += wk[((t) >> 1) * 8 + ((t) & 1)];                                           \
        h += (e & f) + (~e & g);                                                       \
        h += rotr64(e, 14) ^ rotr64(e, 18) ^ rotr64(e, 41);                            \
        const std::uint64_t ab = a ^ b;                                                \
        d += h;                                                                        \
        h += (rotr64(a, 28) ^ rotr64(a, 34) ^ rotr64(a, 39)) + (b ^ (ab & bc));        \
        bc = ab;                                                                       \
    } while (0)
#define QEL_SHA512Z_EIGHT(t)                                                           \
    QEL_SHA512Z_ROUND(a, b, c, d, e, f, g, h, (t));                                    \
    QEL_SHA512Z_ROUND(h, a, b, c, d, e, f, g, (t) + 1);                                \
    QEL_SHA512Z_ROUND(g, h, a, b, c, d, e, f, (t) + 2);                                \
    QEL_SHA512Z_ROUND(f, g, h, a, b, c, d, e, (t) + 3);                                \
    QEL_SHA512Z_ROUND(e, f, g, h, a, b, c, d, (t) + 4);                                \
    QEL_SHA512Z_ROUND(d, e, f, g, h, a, b, c, (t) + 5);                                \
    QEL_SHA512Z_ROUND(c, d, e, f, g, h, a, b, (t) + 6);                                \
    QEL_SHA512Z_ROUND(b, c, d, e, f, g, h, a, (t) + 7)

// The four block pointers of the batch at p with n (1..4) blocks; missing
// ones repeat the last.
inline void batchBlocks(const std::uint8_t *p, std::size_t n, const std::uint8_t *(&q)[4])
{
    for (std::size_t k = 0; k < 4; ++k)
        q[k] = p + 128 * (k < n ? k : n - 1);
}

// Aligned, so that the round loop sits the same way in the cache lines
// wherever the linker puts it.
QEL_AVX512_TARGET __attribute__((aligned(64))) void sha512BlocksZ(std::uint64_t *state, const std::uint8_t *p,
                                                                  std::size_t count)
{
    if (count == 0)
        return;
    // Two batch tables: W + K of the four blocks being hashed, and of the
    // next four.
    alignas(64) std::uint64_t tables[2][80 * 4];
    const __m512i swap = broadcastPair(_mm_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7));
    __m512i w0, w1, w2, w3, w4, w5, w6, w7;
    const std::uint8_t *q[4];
    int current = 0;
    {
        // The first batch's schedule in one go.
        batchBlocks(p, count < 4 ? count : 4, q);
        std::uint64_t *next = tables[0];
        QEL_SHA512Z_LOAD(w0, 0); QEL_SHA512Z_LOAD(w1, 1); QEL_SHA512Z_LOAD(w2, 2); QEL_SHA512Z_LOAD(w3, 3);
        QEL_SHA512Z_LOAD(w4, 4); QEL_SHA512Z_LOAD(w5, 5); QEL_SHA512Z_LOAD(w6, 6); QEL_SHA512Z_LOAD(w7, 7);
        for (int i = 8; i < 40; i += 8) {
            QEL_SHA512Z_X0(i); QEL_SHA512Z_X1(i + 1); QEL_SHA512Z_X2(i + 2); QEL_SHA512Z_X3(i + 3);
            QEL_SHA512Z_X4(i + 4); QEL_SHA512Z_X5(i + 5); QEL_SHA512Z_X6(i + 6); QEL_SHA512Z_X7(i + 7);
        }
    }
    std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    while (count > 0) {
        const std::size_t here = count < 4 ? count : 4;
        const std::size_t left = count - here;
        std::uint64_t *next = tables[current ^ 1];
        // The next batch's schedule rides along. After the last batch it is
        // this batch's again, computed and left unused: one copy of the
        // round code does for every block.
        batchBlocks(left > 0 ? p + 128 * here : p, left > 0 ? (left < 4 ? left : 4) : here, q);
        QEL_SHA512Z_LOAD(w0, 0); QEL_SHA512Z_LOAD(w1, 1); QEL_SHA512Z_LOAD(w2, 2); QEL_SHA512Z_LOAD(w3, 3);
        QEL_SHA512Z_LOAD(w4, 4); QEL_SHA512Z_LOAD(w5, 5); QEL_SHA512Z_LOAD(w6, 6); QEL_SHA512Z_LOAD(w7, 7);
        for (std::size_t block = 0; block < here; ++block) {
            const std::uint64_t *wk = tables[current] + 2 * block;
            const int i = 8 + 8 * static_cast<int>(block);
            std::uint64_t bc = b ^ c;
            QEL_SHA512Z_EIGHT(0);
            QEL_SHA512Z_X0(i);
            QEL_SHA512Z_EIGHT(8);
            QEL_SHA512Z_X1(i + 1);
            QEL_SHA512Z_EIGHT(16);
            QEL_SHA512Z_X2(i + 2);
            QEL_SHA512Z_EIGHT(24);
            QEL_SHA512Z_X3(i + 3);
            QEL_SHA512Z_EIGHT(32);
            QEL_SHA512Z_X4(i + 4);
            QEL_SHA512Z_EIGHT(40);
            QEL_SHA512Z_X5(i + 5);
            QEL_SHA512Z_EIGHT(48);
            QEL_SHA512Z_X6(i + 6);
            QEL_SHA512Z_EIGHT(56);
            QEL_SHA512Z_X7(i + 7);
            QEL_SHA512Z_EIGHT(64);
            QEL_SHA512Z_EIGHT(72);
            a = state[0] += a; b = state[1] += b; c = state[2] += c; d = state[3] += d;
            e = state[4] += e; f = state[5] += f; g = state[6] += g; h = state[7] += h;
        }
        current ^= 1;
        p += 128 * here;
        count = left;
    }
    qelSecureWipe(tables, sizeof tables);
}

#undef QEL_SHA512Z_EIGHT
#undef QEL_SHA512Z_ROUND
#undef QEL_SHA512Z_X7
#undef QEL_SHA512Z_X6
#undef QEL_SHA512Z_X5
#undef QEL_SHA512Z_X4
#undef QEL_SHA512Z_X3
#undef QEL_SHA512Z_X2
#undef QEL_SHA512Z_X1
#undef QEL_SHA512Z_X0
#undef QEL_SHA512Z_EXPAND
#undef QEL_SHA512Z_LOAD
#undef QEL_SHA512Z_STORE

} // namespace

void qelSHA512BlocksAVX2(std::uint64_t *state, const std::uint8_t *p, std::size_t count)
{
    sha512Blocks(state, p, count);
}

void qelSHA512BlocksAVX512(std::uint64_t *state, const std::uint8_t *p, std::size_t count)
{
    sha512BlocksZ(state, p, count);
}

void qelSHA1BlocksSHANI(std::uint32_t *chaining, const std::uint8_t *p, std::size_t count)
{
    sha1Blocks(chaining, p, count);
}

void qelSHA256BlocksSHANI(std::uint32_t *state, const std::uint8_t *p, std::size_t count)
{
    sha256Blocks(state, p, count);
}

#endif
