// SHA-224, SHA-256, SHA-384 and SHA-512 (FIPS 180-4).
//
// Whole blocks are compressed straight from the caller's buffer; only a
// partial block is copied into the state. The rounds are unrolled over
// register variables with a sixteen-word rolling message schedule. The sigma
// functions are nested rotations (fewer register copies), and Maj reuses the
// a ^ b of the previous round as its b ^ c.
#include "qelSHA2Internal.h"

#include <bit>
#include <cstring>

#include "qelBitOps.h"
#include "qelCryptoCPU.h"
#include "qelHashBlock.h"

extern constexpr std::uint32_t qelSHA256RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

namespace {

constexpr const std::uint32_t *kK256 = qelSHA256RoundConstants;

} // namespace

extern constexpr std::uint64_t qelSHA512RoundConstants[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

namespace {

constexpr const std::uint64_t *kK512 = qelSHA512RoundConstants;

constexpr std::uint32_t kInit224[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                       0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};
constexpr std::uint32_t kInit256[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr std::uint64_t kInit384[8] = {0xcbbb9d5dc1059ed8, 0x629a292a367cd507,
                                       0x9159015a3070dd17, 0x152fecd8f70e5939,
                                       0x67332667ffc00b31, 0x8eb44a8768581511,
                                       0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
constexpr std::uint64_t kInit512[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b,
                                       0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
                                       0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                       0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

// ---- Compression, for either word width ----------------------------------

struct SHA256Shape {
    using Word = std::uint32_t;
    static constexpr int kRounds = 64;
    static constexpr const Word *kK = kK256;
    // Rotation amounts of the nested Sigma forms and of the schedule's sigmas.
    static constexpr int kSum1[3] = {14, 5, 6}, kSum0[3] = {9, 11, 2};
    static constexpr int kSig0[3] = {7, 18, 3}, kSig1[3] = {17, 19, 10};
    static Word load(const std::uint8_t *p) { return qelLoadBE32(p); }
};

struct SHA512Shape {
    using Word = std::uint64_t;
    static constexpr int kRounds = 80;
    static constexpr const Word *kK = kK512;
    static constexpr int kSum1[3] = {23, 4, 14}, kSum0[3] = {5, 6, 28};
    static constexpr int kSig0[3] = {1, 8, 7}, kSig1[3] = {19, 61, 6};
    static Word load(const std::uint8_t *p) { return qelLoadBE64(p); }
};

// rotr(x ^ rotr(x ^ rotr(x, r0), r1), r2): the three-rotation Sigma with
// fewer register copies.
template <class Word>
[[gnu::always_inline]] inline Word nestedSum(Word x, const int (&r)[3])
{
    return std::rotr(x ^ std::rotr(x ^ std::rotr(x, r[0]), r[1]), r[2]);
}

template <class Word>
[[gnu::always_inline]] inline Word scheduleSigma(Word x, const int (&r)[3])
{
    return std::rotr(x, r[0]) ^ std::rotr(x, r[1]) ^ (x >> r[2]);
}

// Maj reuses the a ^ b of the previous round as its b ^ c.
#define QEL_SHA2_ROUND(a, b, c, d, e, f, g, h, i, w)                                   \
    do {                                                                               \
        Word t1 = h + nestedSum(e, S::kSum1) + (g ^ (e & (f ^ g))) +                   \
                  S::kK[r + (i)] + w;                                                  \
        Word ab = a ^ b;                                                               \
        Word t2 = nestedSum(a, S::kSum0) + (b ^ (ab & bc));                            \
        bc = ab;                                                                       \
        d += t1;                                                                       \
        h = t1 + t2;                                                                   \
    } while (0)

// Round r + i uses schedule slot i (r is a multiple of 16).
#define QEL_SHA2_LOAD(i) (W[i] = S::load(p + sizeof(Word) * (i)))
#define QEL_SHA2_EXPAND(i)                                                             \
    (W[(i) & 15] += scheduleSigma(W[((i) - 2) & 15], S::kSig1) + W[((i) - 7) & 15] +   \
                    scheduleSigma(W[((i) - 15) & 15], S::kSig0))

#define QEL_SHA2_SIXTEEN(WORD)                                                         \
    QEL_SHA2_ROUND(a, b, c, d, e, f, g, h, 0, WORD(0));                                \
    QEL_SHA2_ROUND(h, a, b, c, d, e, f, g, 1, WORD(1));                                \
    QEL_SHA2_ROUND(g, h, a, b, c, d, e, f, 2, WORD(2));                                \
    QEL_SHA2_ROUND(f, g, h, a, b, c, d, e, 3, WORD(3));                                \
    QEL_SHA2_ROUND(e, f, g, h, a, b, c, d, 4, WORD(4));                                \
    QEL_SHA2_ROUND(d, e, f, g, h, a, b, c, 5, WORD(5));                                \
    QEL_SHA2_ROUND(c, d, e, f, g, h, a, b, 6, WORD(6));                                \
    QEL_SHA2_ROUND(b, c, d, e, f, g, h, a, 7, WORD(7));                                \
    QEL_SHA2_ROUND(a, b, c, d, e, f, g, h, 8, WORD(8));                                \
    QEL_SHA2_ROUND(h, a, b, c, d, e, f, g, 9, WORD(9));                                \
    QEL_SHA2_ROUND(g, h, a, b, c, d, e, f, 10, WORD(10));                              \
    QEL_SHA2_ROUND(f, g, h, a, b, c, d, e, 11, WORD(11));                              \
    QEL_SHA2_ROUND(e, f, g, h, a, b, c, d, 12, WORD(12));                              \
    QEL_SHA2_ROUND(d, e, f, g, h, a, b, c, 13, WORD(13));                              \
    QEL_SHA2_ROUND(c, d, e, f, g, h, a, b, 14, WORD(14));                              \
    QEL_SHA2_ROUND(b, c, d, e, f, g, h, a, 15, WORD(15))

// Whole blocks straight from p; the rounds run over register variables with
// a sixteen-word rolling schedule.
template <class S>
void sha2Blocks(typename S::Word *state, const std::uint8_t *p, std::size_t blocks)
{
    using Word = typename S::Word;
    Word W[16];
    while (blocks-- > 0) {
        Word a = state[0], b = state[1], c = state[2], d = state[3];
        Word e = state[4], f = state[5], g = state[6], h = state[7];
        Word bc = b ^ c;
        int r = 0;
        QEL_SHA2_SIXTEEN(QEL_SHA2_LOAD);
        for (r = 16; r < S::kRounds; r += 16) {
            QEL_SHA2_SIXTEEN(QEL_SHA2_EXPAND);
        }
        state[0] += a; state[1] += b; state[2] += c; state[3] += d;
        state[4] += e; state[5] += f; state[6] += g; state[7] += h;
        p += 16 * sizeof(Word);
    }
}

#undef QEL_SHA2_SIXTEEN
#undef QEL_SHA2_EXPAND
#undef QEL_SHA2_LOAD
#undef QEL_SHA2_ROUND

void sha256Blocks(std::uint32_t *state, const std::uint8_t *p, std::size_t blocks)
{
#if defined(QEL_CRYPTO_X86)
    if (qelCryptoUseSHA()) {
        qelSHA256BlocksSHANI(state, p, blocks);
        return;
    }
#endif
    sha2Blocks<SHA256Shape>(state, p, blocks);
}

void sha512Blocks(std::uint64_t *state, const std::uint8_t *p, std::size_t blocks)
{
#if defined(QEL_CRYPTO_X86)
    // The vector code sets up several blocks' schedule before its first
    // round: up to three blocks (a short message, a final block) are done
    // as soon by the plain rounds.
    if (blocks >= 4) {
        if (qelCryptoUseAVX512()) {
            qelSHA512BlocksAVX512(state, p, blocks);
            return;
        }
        if (qelCryptoUseAVX2()) {
            qelSHA512BlocksAVX2(state, p, blocks);
            return;
        }
    }
#endif
    sha2Blocks<SHA512Shape>(state, p, blocks);
}

template <class State, class Word>
void startState(State *s, const Word (&initial)[8])
{
    static_assert(sizeof s->h == sizeof initial);
    std::memcpy(s->h, initial, sizeof s->h);
    s->countHigh = 0;
    s->countLow = 0;
}

} // namespace

void qelSHA224Init(void *state)
{
    startState(static_cast<QELSHA256State *>(state), kInit224);
}

void qelSHA256Init(void *state)
{
    startState(static_cast<QELSHA256State *>(state), kInit256);
}

void qelSHA256Update(void *state, const void *data, std::uint64_t length)
{
    qelHashUpdate64<QELSHA256State, sha256Blocks>(static_cast<QELSHA256State *>(state), data, length);
}

const std::uint8_t *qelSHA224Final(void *state)
{
    auto *s = static_cast<QELSHA256State *>(state);
    const std::uint8_t *digest = qelHashFinal64<true, QELSHA256State, sha256Blocks>(s);
    s->h[7] = 0;  // not part of a SHA-224 digest
    return digest;
}

const std::uint8_t *qelSHA256Final(void *state)
{
    return qelHashFinal64<true, QELSHA256State, sha256Blocks>(static_cast<QELSHA256State *>(state));
}

void qelSHA384Init(void *state)
{
    startState(static_cast<QELSHA512State *>(state), kInit384);
}

void qelSHA512Init(void *state)
{
    startState(static_cast<QELSHA512State *>(state), kInit512);
}

void qelSHA512Update(void *state, const void *data, std::uint64_t length)
{
    auto *s = static_cast<QELSHA512State *>(state);
    const std::size_t used = static_cast<std::size_t>(s->countLow & 127);
    // A 128-bit count: the carry goes into the high half.
    const std::uint64_t low = s->countLow + length;
    if (low < s->countLow)
        ++s->countHigh;
    s->countLow = low;
    qelHashBlockFeed<128>(s->block, used, static_cast<const std::uint8_t *>(data), length,
                          [s](const std::uint8_t *p, std::size_t n) { sha512Blocks(s->h, p, n); });
}

const std::uint8_t *qelSHA512Final(void *state)
{
    auto *s = static_cast<QELSHA512State *>(state);
    const std::uint64_t bitsHigh = (s->countHigh << 3) | (s->countLow >> 61);
    const std::uint64_t bitsLow = s->countLow << 3;
    qelHashBlockPad<128, 16>(
        s->block, static_cast<std::size_t>(s->countLow & 127),
        [s](const std::uint8_t *p, std::size_t n) { sha512Blocks(s->h, p, n); },
        [bitsHigh, bitsLow](std::uint8_t *tail) {
            qelStoreBE64(tail, bitsHigh);
            qelStoreBE64(tail + 8, bitsLow);
        });
    qelWordsToBytesBE(s->h);
    return reinterpret_cast<const std::uint8_t *>(s->h);
}
