// SHA-1 (FIPS 180-1) over a flat state record.
#include "qelSHA1.h"

#include <bit>
#include <cstring>

#include "qelWipe.h"

namespace {

inline std::uint32_t loadBE32(const std::uint8_t *p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

inline void storeBE32(std::uint32_t v, std::uint8_t *p)
{
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

// Converts the 64 buffered bytes to big-endian words in place and compresses.
void compressBuffer(QELSHA1State *state)
{
    std::uint32_t words[16];
    for (int i = 0; i < 16; ++i)
        words[i] = loadBE32(state->block + 4 * i);
    qelSHA1Compress(state->h, words);
    // The buffer doubles as the scratch of the compression: it is left
    // holding the expanded schedule, as a direct qelSHA1Compress would.
    std::memcpy(state->block, words, sizeof words);
    qelSecureWipe(words, sizeof words);
}

} // namespace

void qelSHA1Compress(std::uint32_t *chaining, std::uint32_t *m)
{
    std::uint32_t a = chaining[0], b = chaining[1], c = chaining[2], d = chaining[3], e = chaining[4];

#define F1(b, c, d) ((((c) ^ (d)) & (b)) ^ (d)) + 0x5A827999u
#define F2(b, c, d) ((b) ^ (c) ^ (d)) + 0x6ED9EBA1u
#define F3(b, c, d) (((b) & (c)) | (((b) | (c)) & (d))) + 0x8F1BBCDCu
#define F4(b, c, d) ((b) ^ (c) ^ (d)) + 0xCA62C1D6u
#define EXPAND(t) std::rotl(m[((t) + 13) & 15] ^ m[((t) + 8) & 15] ^ m[((t) + 2) & 15] ^ m[(t) & 15], 1)
// W[16..76] are written over word t mod 16; W[77..79] are only used.
#define STORE(t) (m[(t) & 15] = EXPAND(t))
#define TEMP(t) EXPAND(t)
#define ROUND(a, b, c, d, e, f, w)                                                                      \
    do {                                                                                               \
        e += std::rotl(a, 5) + (f(b, c, d)) + (w);                                                     \
        b = std::rotl(b, 30);                                                                          \
    } while (0)

    ROUND(a, b, c, d, e, F1, m[0]);
    ROUND(e, a, b, c, d, F1, m[1]);
    ROUND(d, e, a, b, c, F1, m[2]);
    ROUND(c, d, e, a, b, F1, m[3]);
    ROUND(b, c, d, e, a, F1, m[4]);
    ROUND(a, b, c, d, e, F1, m[5]);
    ROUND(e, a, b, c, d, F1, m[6]);
    ROUND(d, e, a, b, c, F1, m[7]);
    ROUND(c, d, e, a, b, F1, m[8]);
    ROUND(b, c, d, e, a, F1, m[9]);
    ROUND(a, b, c, d, e, F1, m[10]);
    ROUND(e, a, b, c, d, F1, m[11]);
    ROUND(d, e, a, b, c, F1, m[12]);
    ROUND(c, d, e, a, b, F1, m[13]);
    ROUND(b, c, d, e, a, F1, m[14]);
    ROUND(a, b, c, d, e, F1, m[15]);
    ROUND(e, a, b, c, d, F1, STORE(16));
    ROUND(d, e, a, b, c, F1, STORE(17));
    ROUND(c, d, e, a, b, F1, STORE(18));
    ROUND(b, c, d, e, a, F1, STORE(19));
    ROUND(a, b, c, d, e, F2, STORE(20));
    ROUND(e, a, b, c, d, F2, STORE(21));
    ROUND(d, e, a, b, c, F2, STORE(22));
    ROUND(c, d, e, a, b, F2, STORE(23));
    ROUND(b, c, d, e, a, F2, STORE(24));
    ROUND(a, b, c, d, e, F2, STORE(25));
    ROUND(e, a, b, c, d, F2, STORE(26));
    ROUND(d, e, a, b, c, F2, STORE(27));
    ROUND(c, d, e, a, b, F2, STORE(28));
    ROUND(b, c, d, e, a, F2, STORE(29));
    ROUND(a, b, c, d, e, F2, STORE(30));
    ROUND(e, a, b, c, d, F2, STORE(31));
    ROUND(d, e, a, b, c, F2, STORE(32));
    ROUND(c, d, e, a, b, F2, STORE(33));
    ROUND(b, c, d, e, a, F2, STORE(34));
    ROUND(a, b, c, d, e, F2, STORE(35));
    ROUND(e, a, b, c, d, F2, STORE(36));
    ROUND(d, e, a, b, c, F2, STORE(37));
    ROUND(c, d, e, a, b, F2, STORE(38));
    ROUND(b, c, d, e, a, F2, STORE(39));
    ROUND(a, b, c, d, e, F3, STORE(40));
    ROUND(e, a, b, c, d, F3, STORE(41));
    ROUND(d, e, a, b, c, F3, STORE(42));
    ROUND(c, d, e, a, b, F3, STORE(43));
    ROUND(b, c, d, e, a, F3, STORE(44));
    ROUND(a, b, c, d, e, F3, STORE(45));
    ROUND(e, a, b, c, d, F3, STORE(46));
    ROUND(d, e, a, b, c, F3, STORE(47));
    ROUND(c, d, e, a, b, F3, STORE(48));
    ROUND(b, c, d, e, a, F3, STORE(49));
    ROUND(a, b, c, d, e, F3, STORE(50));
    ROUND(e, a, b, c, d, F3, STORE(51));
    ROUND(d, e, a, b, c, F3, STORE(52));
    ROUND(c, d, e, a, b, F3, STORE(53));
    ROUND(b, c, d, e, a, F3, STORE(54));
    ROUND(a, b, c, d, e, F3, STORE(55));
    ROUND(e, a, b, c, d, F3, STORE(56));
    ROUND(d, e, a, b, c, F3, STORE(57));
    ROUND(c, d, e, a, b, F3, STORE(58));
    ROUND(b, c, d, e, a, F3, STORE(59));
    ROUND(a, b, c, d, e, F4, STORE(60));
    ROUND(e, a, b, c, d, F4, STORE(61));
    ROUND(d, e, a, b, c, F4, STORE(62));
    ROUND(c, d, e, a, b, F4, STORE(63));
    ROUND(b, c, d, e, a, F4, STORE(64));
    ROUND(a, b, c, d, e, F4, STORE(65));
    ROUND(e, a, b, c, d, F4, STORE(66));
    ROUND(d, e, a, b, c, F4, STORE(67));
    ROUND(c, d, e, a, b, F4, STORE(68));
    ROUND(b, c, d, e, a, F4, STORE(69));
    ROUND(a, b, c, d, e, F4, STORE(70));
    ROUND(e, a, b, c, d, F4, STORE(71));
    ROUND(d, e, a, b, c, F4, STORE(72));
    ROUND(c, d, e, a, b, F4, STORE(73));
    ROUND(b, c, d, e, a, F4, STORE(74));
    ROUND(a, b, c, d, e, F4, STORE(75));
    ROUND(e, a, b, c, d, F4, STORE(76));
    ROUND(d, e, a, b, c, F4, TEMP(77));
    ROUND(c, d, e, a, b, F4, TEMP(78));
    ROUND(b, c, d, e, a, F4, TEMP(79));

#undef ROUND
#undef TEMP
#undef STORE
#undef EXPAND
#undef F4
#undef F3
#undef F2
#undef F1

    chaining[0] += a;
    chaining[1] += b;
    chaining[2] += c;
    chaining[3] += d;
    chaining[4] += e;
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
    const auto *p = static_cast<const std::uint8_t *>(data);
    std::size_t used = state->countLow & 63u;
    const std::uint32_t before = state->countLow;
    state->countLow = before + static_cast<std::uint32_t>(length);
    if (state->countLow < before)
        ++state->countHigh;

    while (length > 0) {
        std::size_t take = 64 - used;
        if (take > length)
            take = static_cast<std::size_t>(length);
        std::memcpy(state->block + used, p, take);
        used += take;
        p += take;
        length -= take;
        if (used == 64) {
            compressBuffer(state);
            used = 0;
        }
    }
}

const std::uint8_t *qelSHA1Final(QELSHA1State *state)
{
    std::size_t used = state->countLow & 63u;
    state->block[used++] = 0x80;
    if (used > 56) {
        std::memset(state->block + used, 0, 64 - used);
        compressBuffer(state);
        used = 0;
    }
    std::memset(state->block + used, 0, 56 - used);
    storeBE32((state->countHigh << 3) | (state->countLow >> 29), state->block + 56);
    storeBE32(state->countLow << 3, state->block + 60);
    compressBuffer(state);

    auto *digest = reinterpret_cast<std::uint8_t *>(state->h);
    std::uint32_t h[5];
    std::memcpy(h, state->h, sizeof h);
    for (int i = 0; i < 5; ++i)
        storeBE32(h[i], digest + 4 * i);
    return digest;
}

void qelSHA1SetChainingValue(QELSHA1State *state, const std::uint8_t *bytes)
{
    for (int i = 0; i < 5; ++i)
        state->h[i] = loadBE32(bytes + 4 * i);
}
