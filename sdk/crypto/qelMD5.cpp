// MD5 (RFC 1321).
//
// Whole blocks are compressed straight from the caller's buffer; the 64
// steps are unrolled with the message words read little-endian by shifts.
#include "qelMD5Internal.h"

#include <bit>

#include "qelBitOps.h"
#include "qelHashBlock.h"

namespace {

#define QEL_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define QEL_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define QEL_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define QEL_MD5_STEP(F, a, b, c, d, x, t, s)                                           \
    do {                                                                               \
        a += (x) + (t);                                                                \
        a += F(b, c, d);                                                               \
        a = std::rotl(a, s) + b;                                                       \
    } while (0)
// G split into two additions of disjoint bit sets: shorter dependency chain.
#define QEL_MD5_STEPG(F, a, b, c, d, x, t, s)                                          \
    do {                                                                               \
        a += (x) + (t);                                                                \
        a += (~(d) & (c));                                                             \
        a += ((d) & (b));                                                              \
        a = std::rotl(a, s) + b;                                                       \
    } while (0)

void md5Blocks(std::uint32_t *h, const std::uint8_t *p, std::size_t blocks)
{
    while (blocks-- > 0) {
        std::uint32_t X[16];
        for (int i = 0; i < 16; ++i)
            X[i] = qelLoadLE32(p + 4 * i);
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];

        QEL_MD5_STEP(QEL_MD5_F, a, b, c, d, X[0], 0xd76aa478, 7);
        QEL_MD5_STEP(QEL_MD5_F, d, a, b, c, X[1], 0xe8c7b756, 12);
        QEL_MD5_STEP(QEL_MD5_F, c, d, a, b, X[2], 0x242070db, 17);
        QEL_MD5_STEP(QEL_MD5_F, b, c, d, a, X[3], 0xc1bdceee, 22);
        QEL_MD5_STEP(QEL_MD5_F, a, b, c, d, X[4], 0xf57c0faf, 7);
        QEL_MD5_STEP(QEL_MD5_F, d, a, b, c, X[5], 0x4787c62a, 12);
        QEL_MD5_STEP(QEL_MD5_F, c, d, a, b, X[6], 0xa8304613, 17);
        QEL_MD5_STEP(QEL_MD5_F, b, c, d, a, X[7], 0xfd469501, 22);
        QEL_MD5_STEP(QEL_MD5_F, a, b, c, d, X[8], 0x698098d8, 7);
        QEL_MD5_STEP(QEL_MD5_F, d, a, b, c, X[9], 0x8b44f7af, 12);
        QEL_MD5_STEP(QEL_MD5_F, c, d, a, b, X[10], 0xffff5bb1, 17);
        QEL_MD5_STEP(QEL_MD5_F, b, c, d, a, X[11], 0x895cd7be, 22);
        QEL_MD5_STEP(QEL_MD5_F, a, b, c, d, X[12], 0x6b901122, 7);
        QEL_MD5_STEP(QEL_MD5_F, d, a, b, c, X[13], 0xfd987193, 12);
        QEL_MD5_STEP(QEL_MD5_F, c, d, a, b, X[14], 0xa679438e, 17);
        QEL_MD5_STEP(QEL_MD5_F, b, c, d, a, X[15], 0x49b40821, 22);

        QEL_MD5_STEPG(G, a, b, c, d, X[1], 0xf61e2562, 5);
        QEL_MD5_STEPG(G, d, a, b, c, X[6], 0xc040b340, 9);
        QEL_MD5_STEPG(G, c, d, a, b, X[11], 0x265e5a51, 14);
        QEL_MD5_STEPG(G, b, c, d, a, X[0], 0xe9b6c7aa, 20);
        QEL_MD5_STEPG(G, a, b, c, d, X[5], 0xd62f105d, 5);
        QEL_MD5_STEPG(G, d, a, b, c, X[10], 0x02441453, 9);
        QEL_MD5_STEPG(G, c, d, a, b, X[15], 0xd8a1e681, 14);
        QEL_MD5_STEPG(G, b, c, d, a, X[4], 0xe7d3fbc8, 20);
        QEL_MD5_STEPG(G, a, b, c, d, X[9], 0x21e1cde6, 5);
        QEL_MD5_STEPG(G, d, a, b, c, X[14], 0xc33707d6, 9);
        QEL_MD5_STEPG(G, c, d, a, b, X[3], 0xf4d50d87, 14);
        QEL_MD5_STEPG(G, b, c, d, a, X[8], 0x455a14ed, 20);
        QEL_MD5_STEPG(G, a, b, c, d, X[13], 0xa9e3e905, 5);
        QEL_MD5_STEPG(G, d, a, b, c, X[2], 0xfcefa3f8, 9);
        QEL_MD5_STEPG(G, c, d, a, b, X[7], 0x676f02d9, 14);
        QEL_MD5_STEPG(G, b, c, d, a, X[12], 0x8d2a4c8a, 20);

        QEL_MD5_STEP(QEL_MD5_H, a, b, c, d, X[5], 0xfffa3942, 4);
        QEL_MD5_STEP(QEL_MD5_H, d, a, b, c, X[8], 0x8771f681, 11);
        QEL_MD5_STEP(QEL_MD5_H, c, d, a, b, X[11], 0x6d9d6122, 16);
        QEL_MD5_STEP(QEL_MD5_H, b, c, d, a, X[14], 0xfde5380c, 23);
        QEL_MD5_STEP(QEL_MD5_H, a, b, c, d, X[1], 0xa4beea44, 4);
        QEL_MD5_STEP(QEL_MD5_H, d, a, b, c, X[4], 0x4bdecfa9, 11);
        QEL_MD5_STEP(QEL_MD5_H, c, d, a, b, X[7], 0xf6bb4b60, 16);
        QEL_MD5_STEP(QEL_MD5_H, b, c, d, a, X[10], 0xbebfbc70, 23);
        QEL_MD5_STEP(QEL_MD5_H, a, b, c, d, X[13], 0x289b7ec6, 4);
        QEL_MD5_STEP(QEL_MD5_H, d, a, b, c, X[0], 0xeaa127fa, 11);
        QEL_MD5_STEP(QEL_MD5_H, c, d, a, b, X[3], 0xd4ef3085, 16);
        QEL_MD5_STEP(QEL_MD5_H, b, c, d, a, X[6], 0x04881d05, 23);
        QEL_MD5_STEP(QEL_MD5_H, a, b, c, d, X[9], 0xd9d4d039, 4);
        QEL_MD5_STEP(QEL_MD5_H, d, a, b, c, X[12], 0xe6db99e5, 11);
        QEL_MD5_STEP(QEL_MD5_H, c, d, a, b, X[15], 0x1fa27cf8, 16);
        QEL_MD5_STEP(QEL_MD5_H, b, c, d, a, X[2], 0xc4ac5665, 23);

        QEL_MD5_STEP(QEL_MD5_I, a, b, c, d, X[0], 0xf4292244, 6);
        QEL_MD5_STEP(QEL_MD5_I, d, a, b, c, X[7], 0x432aff97, 10);
        QEL_MD5_STEP(QEL_MD5_I, c, d, a, b, X[14], 0xab9423a7, 15);
        QEL_MD5_STEP(QEL_MD5_I, b, c, d, a, X[5], 0xfc93a039, 21);
        QEL_MD5_STEP(QEL_MD5_I, a, b, c, d, X[12], 0x655b59c3, 6);
        QEL_MD5_STEP(QEL_MD5_I, d, a, b, c, X[3], 0x8f0ccc92, 10);
        QEL_MD5_STEP(QEL_MD5_I, c, d, a, b, X[10], 0xffeff47d, 15);
        QEL_MD5_STEP(QEL_MD5_I, b, c, d, a, X[1], 0x85845dd1, 21);
        QEL_MD5_STEP(QEL_MD5_I, a, b, c, d, X[8], 0x6fa87e4f, 6);
        QEL_MD5_STEP(QEL_MD5_I, d, a, b, c, X[15], 0xfe2ce6e0, 10);
        QEL_MD5_STEP(QEL_MD5_I, c, d, a, b, X[6], 0xa3014314, 15);
        QEL_MD5_STEP(QEL_MD5_I, b, c, d, a, X[13], 0x4e0811a1, 21);
        QEL_MD5_STEP(QEL_MD5_I, a, b, c, d, X[4], 0xf7537e82, 6);
        QEL_MD5_STEP(QEL_MD5_I, d, a, b, c, X[11], 0xbd3af235, 10);
        QEL_MD5_STEP(QEL_MD5_I, c, d, a, b, X[2], 0x2ad7d2bb, 15);
        QEL_MD5_STEP(QEL_MD5_I, b, c, d, a, X[9], 0xeb86d391, 21);

        h[0] += a; h[1] += b; h[2] += c; h[3] += d;
        p += 64;
    }
}

} // namespace

void qelMD5Init(void *state)
{
    auto *s = static_cast<QELMD5State *>(state);
    s->h[0] = 0x67452301;
    s->h[1] = 0xefcdab89;
    s->h[2] = 0x98badcfe;
    s->h[3] = 0x10325476;
    s->countHigh = 0;
    s->countLow = 0;
}

void qelMD5Update(void *state, const void *data, std::uint64_t length)
{
    qelHashUpdate64<QELMD5State, md5Blocks>(static_cast<QELMD5State *>(state), data, length);
}

const std::uint8_t *qelMD5Final(void *state)
{
    return qelHashFinal64<false, QELMD5State, md5Blocks>(static_cast<QELMD5State *>(state));
}
