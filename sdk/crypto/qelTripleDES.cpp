// Triple DES EDE (FIPS 46-3, ANSI X9.52 keying option 1). The key schedule
// only stores the key; the three DES schedules are built for one direction
// on first use and rebuilt when the direction changes.
#include "qelTripleDESInternal.h"

#include <array>
#include <bit>
#include <cstring>

#include "qelAlgorithms.h"
#include "qelBitOps.h"
#include "qelCipherWash.h"
#include "qelSymmetricCipherInternal.h"
#include "qelWipe.h"

namespace {

constexpr std::uint8_t kMarkerNone = 0;
constexpr std::uint8_t kMarkerEncrypt = 17;
constexpr std::uint8_t kMarkerDecrypt = 34;

// FIPS 46-3 tables; bit 1 is the most significant bit of its word.
constexpr std::uint8_t kIP[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,
    60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6,
    64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9, 1,
    59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5,
    63, 55, 47, 39, 31, 23, 15, 7,
};
constexpr std::uint8_t kP[32] = {
    16, 7, 20, 21, 29, 12, 28, 17,
    1, 15, 23, 26, 5, 18, 31, 10,
    2, 8, 24, 14, 32, 27, 3, 9,
    19, 13, 30, 6, 22, 11, 4, 25,
};
constexpr std::uint8_t kPC1[56] = {
    57, 49, 41, 33, 25, 17, 9,
    1, 58, 50, 42, 34, 26, 18,
    10, 2, 59, 51, 43, 35, 27,
    19, 11, 3, 60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15,
    7, 62, 54, 46, 38, 30, 22,
    14, 6, 61, 53, 45, 37, 29,
    21, 13, 5, 28, 20, 12, 4,
};
constexpr std::uint8_t kPC2[48] = {
    14, 17, 11, 24, 1, 5,
    3, 28, 15, 6, 21, 10,
    23, 19, 12, 4, 26, 8,
    16, 7, 27, 20, 13, 2,
    41, 52, 31, 37, 47, 55,
    30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53,
    46, 42, 50, 36, 29, 32,
};
constexpr std::uint8_t kShifts[16] = {
    1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1,
};
constexpr std::uint8_t kSBox[8][64] = {
    {
        14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7,
        0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
        4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0,
        15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13,
    },
    {
        15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10,
        3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
        0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15,
        13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9,
    },
    {
        10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8,
        13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
        13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7,
        1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12,
    },
    {
        7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15,
        13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
        10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4,
        3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14,
    },
    {
        2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9,
        14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
        4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14,
        11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3,
    },
    {
        12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11,
        10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
        9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6,
        4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13,
    },
    {
        4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1,
        13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
        1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2,
        6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12,
    },
    {
        13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7,
        1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
        7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8,
        2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11,
    },
};

using Schedule = std::uint8_t[16][8];

// S-box and P permutation folded together: kSP[i][v] is P applied to the
// output of S-box i for the six input bits v, at that box's output position.
constexpr auto kSP = [] {
    std::array<std::array<std::uint32_t, 64>, 8> sp{};
    for (int i = 0; i < 8; ++i) {
        for (int v = 0; v < 64; ++v) {
            const int row = ((v >> 4) & 2) | (v & 1);
            const int col = (v >> 1) & 15;
            const std::uint32_t s = std::uint32_t(kSBox[i][row * 16 + col]) << (28 - 4 * i);
            std::uint32_t p = 0;
            for (int j = 0; j < 32; ++j)
                if (s & (0x80000000u >> (kP[j] - 1)))
                    p |= 0x80000000u >> j;
            sp[i][v] = p;
        }
    }
    return sp;
}();

// A 64-bit permutation as eight byte-indexed tables of contributions.
constexpr auto makeByteTables(const std::uint8_t (&perm)[64])
{
    std::array<std::array<std::uint64_t, 256>, 8> t{};
    for (int pos = 0; pos < 8; ++pos)
        for (int v = 0; v < 256; ++v) {
            const std::uint64_t in = std::uint64_t(v) << (56 - 8 * pos);
            std::uint64_t out = 0;
            for (int j = 0; j < 64; ++j)
                if (in & (std::uint64_t{1} << (64 - perm[j])))
                    out |= std::uint64_t{1} << (63 - j);
            t[pos][v] = out;
        }
    return t;
}

constexpr auto kInverseIP = [] {
    std::uint8_t inv[64] = {};
    for (int j = 0; j < 64; ++j)
        inv[kIP[j] - 1] = static_cast<std::uint8_t>(j + 1);
    return std::to_array(inv);
}();

constexpr std::uint8_t kFPPerm[64] = {
#define E(i) kInverseIP[i]
    E(0),  E(1),  E(2),  E(3),  E(4),  E(5),  E(6),  E(7),  E(8),  E(9),  E(10), E(11), E(12),
    E(13), E(14), E(15), E(16), E(17), E(18), E(19), E(20), E(21), E(22), E(23), E(24), E(25),
    E(26), E(27), E(28), E(29), E(30), E(31), E(32), E(33), E(34), E(35), E(36), E(37), E(38),
    E(39), E(40), E(41), E(42), E(43), E(44), E(45), E(46), E(47), E(48), E(49), E(50), E(51),
    E(52), E(53), E(54), E(55), E(56), E(57), E(58), E(59), E(60), E(61), E(62), E(63),
#undef E
};

constexpr auto kIPTables = makeByteTables(kIP);
constexpr auto kFPTables = makeByteTables(kFPPerm);

inline std::uint64_t permute(const std::array<std::array<std::uint64_t, 256>, 8> &t, std::uint64_t x)
{
    return t[0][x >> 56] | t[1][(x >> 48) & 0xFF] | t[2][(x >> 40) & 0xFF] | t[3][(x >> 32) & 0xFF] |
           t[4][(x >> 24) & 0xFF] | t[5][(x >> 16) & 0xFF] | t[6][(x >> 8) & 0xFF] | t[7][x & 0xFF];
}

// Sixteen rounds of subkeys for one DES key, in encryption order or reversed.
void desSchedule(const std::uint8_t *key, Schedule &out, bool decrypt)
{
    const std::uint64_t k = qelLoadBE64(key);
    std::uint64_t cd = 0; // 56 bits, bit 1 of C at bit 55
    for (int j = 0; j < 56; ++j)
        if (k & (std::uint64_t{1} << (64 - kPC1[j])))
            cd |= std::uint64_t{1} << (55 - j);
    std::uint32_t c = std::uint32_t(cd >> 28) & 0x0FFFFFFFu;
    std::uint32_t d = std::uint32_t(cd) & 0x0FFFFFFFu;
    for (int r = 0; r < 16; ++r) {
        for (int s = 0; s < kShifts[r]; ++s) {
            c = ((c << 1) | (c >> 27)) & 0x0FFFFFFFu;
            d = ((d << 1) | (d >> 27)) & 0x0FFFFFFFu;
        }
        const std::uint64_t both = (std::uint64_t(c) << 28) | d;
        std::uint64_t sub = 0; // 48 bits
        for (int j = 0; j < 48; ++j)
            if (both & (std::uint64_t{1} << (56 - kPC2[j])))
                sub |= std::uint64_t{1} << (47 - j);
        std::uint8_t *dst = out[decrypt ? 15 - r : r];
        for (int i = 0; i < 8; ++i)
            dst[i] = std::uint8_t((sub >> (42 - 6 * i)) & 0x3F);
    }
}

inline std::uint32_t feistel(std::uint32_t r, const std::uint8_t *k)
{
    // Expansion E: group i is bits 4i .. 4i+5 of R (bit 0 meaning bit 32).
    return kSP[0][(std::rotr(r, 1) >> 26) ^ k[0]] ^ kSP[1][(std::rotl(r, 3) >> 26) ^ k[1]] ^
           kSP[2][(std::rotl(r, 7) >> 26) ^ k[2]] ^ kSP[3][(std::rotl(r, 11) >> 26) ^ k[3]] ^
           kSP[4][(std::rotl(r, 15) >> 26) ^ k[4]] ^ kSP[5][(std::rotl(r, 19) >> 26) ^ k[5]] ^
           kSP[6][(std::rotl(r, 23) >> 26) ^ k[6]] ^ kSP[7][(std::rotl(r, 27) >> 26) ^ k[7]];
}

// Sixteen rounds on (l, r), ending with the halves exchanged as DES's
// pre-output, which is also the next DES's post-IP input.
inline void rounds(std::uint32_t &l, std::uint32_t &r, const Schedule &s)
{
    for (int i = 0; i < 16; i += 2) {
        l ^= feistel(r, s[i]);
        r ^= feistel(l, s[i + 1]);
    }
    const std::uint32_t t = l;
    l = r;
    r = t;
}

void crypt3(const QELTripleDESContext *ctx, const std::uint8_t *in, std::uint8_t *out)
{
    const std::uint64_t x = permute(kIPTables, qelLoadBE64(in));
    std::uint32_t l = std::uint32_t(x >> 32), r = std::uint32_t(x);
    rounds(l, r, ctx->schedule[0]);
    rounds(l, r, ctx->schedule[1]);
    rounds(l, r, ctx->schedule[2]);
    qelStoreBE64(out, permute(kFPTables, (std::uint64_t(l) << 32) | r));
}

void singleDES(const Schedule &s, const std::uint8_t *in, std::uint8_t *out)
{
    const std::uint64_t x = permute(kIPTables, qelLoadBE64(in));
    std::uint32_t l = std::uint32_t(x >> 32), r = std::uint32_t(x);
    rounds(l, r, s);
    qelStoreBE64(out, permute(kFPTables, (std::uint64_t(l) << 32) | r));
}

void buildForm(QELTripleDESContext *ctx, std::uint8_t marker)
{
    const std::uint8_t *k1 = ctx->key, *k2 = ctx->key + 8, *k3 = ctx->key + 16;
    if (marker == kMarkerEncrypt) {
        desSchedule(k1, ctx->schedule[0], false);
        desSchedule(k2, ctx->schedule[1], true);
        desSchedule(k3, ctx->schedule[2], false);
    } else {
        desSchedule(k3, ctx->schedule[0], true);
        desSchedule(k2, ctx->schedule[1], false);
        desSchedule(k1, ctx->schedule[2], true);
    }
    ctx->marker = marker;
}

// Scratch storage of the wash: the single-DES schedules of one EDE.
struct WashScratch {
    Schedule s1, s2, s3;
    std::uint8_t t[8];
};

// EDE(k1, k2, k3)(x) = E_k3(D_k2(E_k1(x))) in single DES.
void ede(WashScratch &w, const std::uint8_t *k1, const std::uint8_t *k2, const std::uint8_t *k3,
         const std::uint8_t *x, std::uint8_t *out)
{
    desSchedule(k1, w.s1, false);
    desSchedule(k2, w.s2, true);
    desSchedule(k3, w.s3, false);
    std::uint8_t t[8];
    singleDES(w.s1, x, t);
    singleDES(w.s2, t, t);
    singleDES(w.s3, t, out);
    qelSecureWipe(t, sizeof t);
}

void washBlock(WashScratch &w, std::uint8_t *key, const std::uint8_t *m)
{
    std::uint8_t *a = key, *b = key + 8, *c = key + 16;
    std::uint8_t t1[8], t2[8], t3[8];
    ede(w, c, b, m, a, t1);
    for (int i = 0; i < 8; ++i)
        a[i] ^= t1[i];
    ede(w, c, m, t1, b, t2);
    for (int i = 0; i < 8; ++i)
        b[i] ^= t2[i];
    ede(w, m, t2, t1, c, t3);
    for (int i = 0; i < 8; ++i)
        c[i] ^= t3[i];
    qelSecureWipe(t1, sizeof t1);
    qelSecureWipe(t2, sizeof t2);
    qelSecureWipe(t3, sizeof t3);
}

} // namespace

void qelTripleDESKeySchedule(void *context, const std::uint8_t *key)
{
    auto *ctx = static_cast<QELTripleDESContext *>(context);
    std::memcpy(ctx->key, key, sizeof ctx->key);
    ctx->marker = kMarkerNone;
}

void qelTripleDESEncrypt(void *context, const std::uint8_t *in, std::uint8_t *out)
{
    auto *ctx = static_cast<QELTripleDESContext *>(context);
    if (ctx->marker != kMarkerEncrypt)
        buildForm(ctx, kMarkerEncrypt);
    crypt3(ctx, in, out);
}

void qelTripleDESDecrypt(void *context, const std::uint8_t *in, std::uint8_t *out)
{
    auto *ctx = static_cast<QELTripleDESContext *>(context);
    if (ctx->marker != kMarkerDecrypt)
        buildForm(ctx, kMarkerDecrypt);
    crypt3(ctx, in, out);
}

void qelTripleDESWash(void *context, const std::uint8_t *data, std::size_t length)
{
    auto *ctx = static_cast<QELTripleDESContext *>(context);
    WashScratch w;
    qelWashMessage(data, length,
                   [&](const std::uint8_t *block) { washBlock(w, ctx->key, block); });

    ctx->marker = kMarkerNone;
    buildForm(ctx, kMarkerEncrypt);
    qelSecureWipe(&w, sizeof w);
}

const QELCipherDescriptor qelTripleDESDescriptor = {
    "3DES", QELCipherAlgorithm_3DES, 8, 24, sizeof(QELTripleDESContext), 4,
    qelTripleDESKeySchedule, qelTripleDESEncrypt, qelTripleDESDecrypt, qelTripleDESWash, {nullptr, nullptr},
};
