// SHA-224, SHA-256, SHA-384 and SHA-512 (FIPS 180-4).
//
// Whole blocks are compressed straight from the caller's buffer; only a
// partial block is copied into the state. The rounds are unrolled over
// register variables with a sixteen-word rolling message schedule. The sigma
// functions are nested rotations (fewer register copies), and Maj reuses the
// a ^ b of the previous round as its b ^ c.
#include "qelSHA2.h"

#include <cstring>

namespace {

constexpr std::uint32_t kK256[64] = {
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

constexpr std::uint64_t kK512[80] = {
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

inline std::uint32_t rotr32(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline std::uint64_t rotr64(std::uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

inline std::uint32_t load32be(const std::uint8_t *p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
           (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

inline std::uint64_t load64be(const std::uint8_t *p)
{
    return (std::uint64_t{load32be(p)} << 32) | load32be(p + 4);
}

inline void store32be(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

inline void store64be(std::uint8_t *p, std::uint64_t v)
{
    store32be(p, static_cast<std::uint32_t>(v >> 32));
    store32be(p + 4, static_cast<std::uint32_t>(v));
}

// ---- SHA-256 ----------------------------------------------------------------

#define QEL_S256_ROUND(a, b, c, d, e, f, g, h, k, w)                                   \
    do {                                                                               \
        std::uint32_t t1 = h + rotr32(e ^ rotr32(e ^ rotr32(e, 14), 5), 6) +           \
                           (g ^ (e & (f ^ g))) + k + w;                                \
        std::uint32_t ab = a ^ b;                                                      \
        std::uint32_t t2 = rotr32(a ^ rotr32(a ^ rotr32(a, 9), 11), 2) + (b ^ (ab & bc)); \
        bc = ab;                                                                       \
        d += t1;                                                                       \
        h = t1 + t2;                                                                   \
    } while (0)

#define QEL_S256_EXPAND(i)                                                             \
    (W[(i) & 15] += (rotr32(W[((i) - 2) & 15], 17) ^ rotr32(W[((i) - 2) & 15], 19) ^   \
                     (W[((i) - 2) & 15] >> 10)) +                                      \
                    W[((i) - 7) & 15] +                                                \
                    (rotr32(W[((i) - 15) & 15], 7) ^ rotr32(W[((i) - 15) & 15], 18) ^  \
                     (W[((i) - 15) & 15] >> 3)))

#define QEL_S256_EIGHT(i, WORD)                                                        \
    QEL_S256_ROUND(a, b, c, d, e, f, g, h, kK256[(i) + 0], WORD((i) + 0));             \
    QEL_S256_ROUND(h, a, b, c, d, e, f, g, kK256[(i) + 1], WORD((i) + 1));             \
    QEL_S256_ROUND(g, h, a, b, c, d, e, f, kK256[(i) + 2], WORD((i) + 2));             \
    QEL_S256_ROUND(f, g, h, a, b, c, d, e, kK256[(i) + 3], WORD((i) + 3));             \
    QEL_S256_ROUND(e, f, g, h, a, b, c, d, kK256[(i) + 4], WORD((i) + 4));             \
    QEL_S256_ROUND(d, e, f, g, h, a, b, c, kK256[(i) + 5], WORD((i) + 5));             \
    QEL_S256_ROUND(c, d, e, f, g, h, a, b, kK256[(i) + 6], WORD((i) + 6));             \
    QEL_S256_ROUND(b, c, d, e, f, g, h, a, kK256[(i) + 7], WORD((i) + 7))

void sha256Blocks(std::uint32_t *state, const std::uint8_t *p, std::size_t blocks)
{
    std::uint32_t W[16];
    while (blocks-- > 0) {
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        std::uint32_t bc = b ^ c;
#define QEL_S256_LOAD(i) (W[i] = load32be(p + 4 * (i)))
        QEL_S256_EIGHT(0, QEL_S256_LOAD);
        QEL_S256_EIGHT(8, QEL_S256_LOAD);
#undef QEL_S256_LOAD
        for (int r = 16; r < 64; r += 16) {
#define QEL_S256_KW(i) QEL_S256_EXPAND(i)
            // Round r + i uses schedule slot i (r is a multiple of 16).
            QEL_S256_ROUND(a, b, c, d, e, f, g, h, kK256[r + 0], QEL_S256_KW(0));
            QEL_S256_ROUND(h, a, b, c, d, e, f, g, kK256[r + 1], QEL_S256_KW(1));
            QEL_S256_ROUND(g, h, a, b, c, d, e, f, kK256[r + 2], QEL_S256_KW(2));
            QEL_S256_ROUND(f, g, h, a, b, c, d, e, kK256[r + 3], QEL_S256_KW(3));
            QEL_S256_ROUND(e, f, g, h, a, b, c, d, kK256[r + 4], QEL_S256_KW(4));
            QEL_S256_ROUND(d, e, f, g, h, a, b, c, kK256[r + 5], QEL_S256_KW(5));
            QEL_S256_ROUND(c, d, e, f, g, h, a, b, kK256[r + 6], QEL_S256_KW(6));
            QEL_S256_ROUND(b, c, d, e, f, g, h, a, kK256[r + 7], QEL_S256_KW(7));
            QEL_S256_ROUND(a, b, c, d, e, f, g, h, kK256[r + 8], QEL_S256_KW(8));
            QEL_S256_ROUND(h, a, b, c, d, e, f, g, kK256[r + 9], QEL_S256_KW(9));
            QEL_S256_ROUND(g, h, a, b, c, d, e, f, kK256[r + 10], QEL_S256_KW(10));
            QEL_S256_ROUND(f, g, h, a, b, c, d, e, kK256[r + 11], QEL_S256_KW(11));
            QEL_S256_ROUND(e, f, g, h, a, b, c, d, kK256[r + 12], QEL_S256_KW(12));
            QEL_S256_ROUND(d, e, f, g, h, a, b, c, kK256[r + 13], QEL_S256_KW(13));
            QEL_S256_ROUND(c, d, e, f, g, h, a, b, kK256[r + 14], QEL_S256_KW(14));
            QEL_S256_ROUND(b, c, d, e, f, g, h, a, kK256[r + 15], QEL_S256_KW(15));
#undef QEL_S256_KW
        }
        state[0] += a; state[1] += b; state[2] += c; state[3] += d;
        state[4] += e; state[5] += f; state[6] += g; state[7] += h;
        p += 64;
    }
}

// ---- SHA-512 ----------------------------------------------------------------

#define QEL_S512_ROUND(a, b, c, d, e, f, g, h, k, w)                                   \
    do {                                                                               \
        std::uint64_t t1 = h + rotr64(e ^ rotr64(e ^ rotr64(e, 23), 4), 14) +          \
                           (g ^ (e & (f ^ g))) + k + w;                                \
        std::uint64_t ab = a ^ b;                                                      \
        std::uint64_t t2 = rotr64(a ^ rotr64(a ^ rotr64(a, 5), 6), 28) + (b ^ (ab & bc)); \
        bc = ab;                                                                       \
        d += t1;                                                                       \
        h = t1 + t2;                                                                   \
    } while (0)

#define QEL_S512_EXPAND(i)                                                             \
    (W[(i) & 15] += (rotr64(W[((i) - 2) & 15], 19) ^ rotr64(W[((i) - 2) & 15], 61) ^   \
                     (W[((i) - 2) & 15] >> 6)) +                                       \
                    W[((i) - 7) & 15] +                                                \
                    (rotr64(W[((i) - 15) & 15], 1) ^ rotr64(W[((i) - 15) & 15], 8) ^   \
                     (W[((i) - 15) & 15] >> 7)))

#define QEL_S512_SIXTEEN(r, WORD)                                                      \
    QEL_S512_ROUND(a, b, c, d, e, f, g, h, kK512[(r) + 0], WORD(0));                   \
    QEL_S512_ROUND(h, a, b, c, d, e, f, g, kK512[(r) + 1], WORD(1));                   \
    QEL_S512_ROUND(g, h, a, b, c, d, e, f, kK512[(r) + 2], WORD(2));                   \
    QEL_S512_ROUND(f, g, h, a, b, c, d, e, kK512[(r) + 3], WORD(3));                   \
    QEL_S512_ROUND(e, f, g, h, a, b, c, d, kK512[(r) + 4], WORD(4));                   \
    QEL_S512_ROUND(d, e, f, g, h, a, b, c, kK512[(r) + 5], WORD(5));                   \
    QEL_S512_ROUND(c, d, e, f, g, h, a, b, kK512[(r) + 6], WORD(6));                   \
    QEL_S512_ROUND(b, c, d, e, f, g, h, a, kK512[(r) + 7], WORD(7));                   \
    QEL_S512_ROUND(a, b, c, d, e, f, g, h, kK512[(r) + 8], WORD(8));                   \
    QEL_S512_ROUND(h, a, b, c, d, e, f, g, kK512[(r) + 9], WORD(9));                   \
    QEL_S512_ROUND(g, h, a, b, c, d, e, f, kK512[(r) + 10], WORD(10));                 \
    QEL_S512_ROUND(f, g, h, a, b, c, d, e, kK512[(r) + 11], WORD(11));                 \
    QEL_S512_ROUND(e, f, g, h, a, b, c, d, kK512[(r) + 12], WORD(12));                 \
    QEL_S512_ROUND(d, e, f, g, h, a, b, c, kK512[(r) + 13], WORD(13));                 \
    QEL_S512_ROUND(c, d, e, f, g, h, a, b, kK512[(r) + 14], WORD(14));                 \
    QEL_S512_ROUND(b, c, d, e, f, g, h, a, kK512[(r) + 15], WORD(15))

void sha512Blocks(std::uint64_t *state, const std::uint8_t *p, std::size_t blocks)
{
    std::uint64_t W[16];
    while (blocks-- > 0) {
        std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
        std::uint64_t bc = b ^ c;
#define QEL_S512_LOAD(i) (W[i] = load64be(p + 8 * (i)))
        QEL_S512_SIXTEEN(0, QEL_S512_LOAD);
#undef QEL_S512_LOAD
        for (int r = 16; r < 80; r += 16) {
            QEL_S512_SIXTEEN(r, QEL_S512_EXPAND);
        }
        state[0] += a; state[1] += b; state[2] += c; state[3] += d;
        state[4] += e; state[5] += f; state[6] += g; state[7] += h;
        p += 128;
    }
}

// Generic buffering shared by both widths. The count is kept as two halves;
// the full 64-bit length of each call is added.
void sha256Feed(QELSHA256State *s, const std::uint8_t *in, std::uint64_t length)
{
    std::uint32_t used = s->countLow & 63;
    std::uint64_t count = (std::uint64_t{s->countHigh} << 32 | s->countLow) + length;
    s->countLow = static_cast<std::uint32_t>(count);
    s->countHigh = static_cast<std::uint32_t>(count >> 32);
    if (used != 0) {
        std::uint64_t take = 64 - used;
        if (length < take) {
            std::memcpy(s->block + used, in, length);
            return;
        }
        std::memcpy(s->block + used, in, take);
        sha256Blocks(s->h, s->block, 1);
        in += take;
        length -= take;
    }
    std::uint64_t blocks = length / 64;
    if (blocks != 0) {
        sha256Blocks(s->h, in, blocks);
        in += blocks * 64;
        length -= blocks * 64;
    }
    if (length != 0)
        std::memcpy(s->block, in, length);
}

void sha512Feed(QELSHA512State *s, const std::uint8_t *in, std::uint64_t length)
{
    std::uint32_t used = static_cast<std::uint32_t>(s->countLow & 127);
    std::uint64_t low = s->countLow + length;
    if (low < s->countLow)
        ++s->countHigh;
    s->countLow = low;
    if (used != 0) {
        std::uint64_t take = 128 - used;
        if (length < take) {
            std::memcpy(s->block + used, in, length);
            return;
        }
        std::memcpy(s->block + used, in, take);
        sha512Blocks(s->h, s->block, 1);
        in += take;
        length -= take;
    }
    std::uint64_t blocks = length / 128;
    if (blocks != 0) {
        sha512Blocks(s->h, in, blocks);
        in += blocks * 128;
        length -= blocks * 128;
    }
    if (length != 0)
        std::memcpy(s->block, in, length);
}

void sha256Finish(QELSHA256State *s)
{
    std::uint32_t used = s->countLow & 63;
    std::uint64_t bits = (std::uint64_t{s->countHigh} << 32 | s->countLow) << 3;
    // The 128-byte buffer holds both padding blocks when the length spills over.
    std::size_t total = used < 56 ? 64 : 128;
    s->block[used] = 0x80;
    std::memset(s->block + used + 1, 0, total - used - 1 - 8);
    store64be(s->block + total - 8, bits);
    sha256Blocks(s->h, s->block, total / 64);
    for (int i = 0; i < 8; ++i)
        store32be(reinterpret_cast<std::uint8_t *>(&s->h[i]), s->h[i]);
}

} // namespace

void qelSHA224Init(void *state)
{
    auto *s = static_cast<QELSHA256State *>(state);
    std::memcpy(s->h, kInit224, sizeof s->h);
    s->countHigh = 0;
    s->countLow = 0;
}

void qelSHA256Init(void *state)
{
    auto *s = static_cast<QELSHA256State *>(state);
    std::memcpy(s->h, kInit256, sizeof s->h);
    s->countHigh = 0;
    s->countLow = 0;
}

void qelSHA256Update(void *state, const void *data, std::uint64_t length)
{
    if (length == 0)
        return;
    sha256Feed(static_cast<QELSHA256State *>(state), static_cast<const std::uint8_t *>(data),
               length);
}

const std::uint8_t *qelSHA224Final(void *state)
{
    auto *s = static_cast<QELSHA256State *>(state);
    sha256Finish(s);
    s->h[7] = 0;  // not part of a SHA-224 digest
    return reinterpret_cast<const std::uint8_t *>(s->h);
}

const std::uint8_t *qelSHA256Final(void *state)
{
    auto *s = static_cast<QELSHA256State *>(state);
    sha256Finish(s);
    return reinterpret_cast<const std::uint8_t *>(s->h);
}

void qelSHA384Init(void *state)
{
    auto *s = static_cast<QELSHA512State *>(state);
    std::memcpy(s->h, kInit384, sizeof s->h);
    s->countHigh = 0;
    s->countLow = 0;
}

void qelSHA512Init(void *state)
{
    auto *s = static_cast<QELSHA512State *>(state);
    std::memcpy(s->h, kInit512, sizeof s->h);
    s->countHigh = 0;
    s->countLow = 0;
}

void qelSHA512Update(void *state, const void *data, std::uint64_t length)
{
    if (length == 0)
        return;
    sha512Feed(static_cast<QELSHA512State *>(state), static_cast<const std::uint8_t *>(data),
               length);
}

const std::uint8_t *qelSHA512Final(void *state)
{
    auto *s = static_cast<QELSHA512State *>(state);
    std::uint32_t used = static_cast<std::uint32_t>(s->countLow & 127);
    std::uint64_t bitsHigh = (s->countHigh << 3) | (s->countLow >> 61);
    std::uint64_t bitsLow = s->countLow << 3;
    std::size_t total = used < 112 ? 128 : 256;
    s->block[used] = 0x80;
    std::memset(s->block + used + 1, 0, total - used - 1 - 16);
    store64be(s->block + total - 16, bitsHigh);
    store64be(s->block + total - 8, bitsLow);
    sha512Blocks(s->h, s->block, total / 128);
    for (int i = 0; i < 8; ++i)
        store64be(reinterpret_cast<std::uint8_t *>(&s->h[i]), s->h[i]);
    return reinterpret_cast<const std::uint8_t *>(s->h);
}
