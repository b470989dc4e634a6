// RIPEMD-160 (ISO/IEC 10118-3).
//
// Both lines run interleaved and fully unrolled; whole blocks are compressed
// straight from the caller's buffer.
#include "qelRIPEMD160Internal.h"

#include <bit>

#include "qelBitOps.h"
#include "qelHashBlock.h"

namespace {

#define QEL_RMD_F1(x, y, z) ((x) ^ (y) ^ (z))
#define QEL_RMD_F2(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define QEL_RMD_F3(x, y, z) (((x) | ~(y)) ^ (z))
#define QEL_RMD_F4(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define QEL_RMD_F5(x, y, z) ((x) ^ ((y) | ~(z)))
// One step; the caller rotates the variable names instead of moving values.
#define QEL_RMD_STEP(F, a, b, c, d, e, x, k, s)                                        \
    do {                                                                               \
        a = std::rotl(a + F(b, c, d) + (x) + (k), s) + e;                              \
        c = std::rotl(c, 10);                                                          \
    } while (0)

void rmd160Blocks(std::uint32_t *h, const std::uint8_t *p, std::size_t blocks)
{
    while (blocks-- > 0) {
        std::uint32_t X[16];
        for (int i = 0; i < 16; ++i)
            X[i] = qelLoadLE32(p + 4 * i);
        std::uint32_t aa = h[0], ab = h[1], ac = h[2], ad = h[3], ae = h[4];
        std::uint32_t pa = h[0], pb = h[1], pc = h[2], pd = h[3], pe = h[4];
        QEL_RMD_STEP(QEL_RMD_F1, aa, ab, ac, ad, ae, X[0], 0x00000000u, 11);
        QEL_RMD_STEP(QEL_RMD_F5, pa, pb, pc, pd, pe, X[5], 0x50a28be6u, 8);
        QEL_RMD_STEP(QEL_RMD_F1, ae, aa, ab, ac, ad, X[1], 0x00000000u, 14);
        QEL_RMD_STEP(QEL_RMD_F5, pe, pa, pb, pc, pd, X[14], 0x50a28be6u, 9);
        QEL_RMD_STEP(QEL_RMD_F1, ad, ae, aa, ab, ac, X[2], 0x00000000u, 15);
        QEL_RMD_STEP(QEL_RMD_F5, pd, pe, pa, pb, pc, X[7], 0x50a28be6u, 9);
        QEL_RMD_STEP(QEL_RMD_F1, ac, ad, ae, aa, ab, X[3], 0x00000000u, 12);
        QEL_RMD_STEP(QEL_RMD_F5, pc, pd, pe, pa, pb, X[0], 0x50a28be6u, 11);
        QEL_RMD_STEP(QEL_RMD_F1, ab, ac, ad, ae, aa, X[4], 0x00000000u, 5);
        QEL_RMD_STEP(QEL_RMD_F5, pb, pc, pd, pe, pa, X[9], 0x50a28be6u, 13);
        QEL_RMD_STEP(QEL_RMD_F1, aa, ab, ac, ad, ae, X[5], 0x00000000u, 8);
        QEL_RMD_STEP(QEL_RMD_F5, pa, pb, pc, pd, pe, X[2], 0x50a28be6u, 15);
        QEL_RMD_STEP(QEL_RMD_F1, ae, aa, ab, ac, ad, X[6], 0x00000000u, 7);
        QEL_RMD_STEP(QEL_RMD_F5, pe, pa, pb, pc, pd, X[11], 0x50a28be6u, 15);
        QEL_RMD_STEP(QEL_RMD_F1, ad, ae, aa, ab, ac, X[7], 0x00000000u, 9);
        QEL_RMD_STEP(QEL_RMD_F5, pd, pe, pa, pb, pc, X[4], 0x50a28be6u, 5);
        QEL_RMD_STEP(QEL_RMD_F1, ac, ad, ae, aa, ab, X[8], 0x00000000u, 11);
        QEL_RMD_STEP(QEL_RMD_F5, pc, pd, pe, pa, pb, X[13], 0x50a28be6u, 7);
        QEL_RMD_STEP(QEL_RMD_F1, ab, ac, ad, ae, aa, X[9], 0x00000000u, 13);
        QEL_RMD_STEP(QEL_RMD_F5, pb, pc, pd, pe, pa, X[6], 0x50a28be6u, 7);
        QEL_RMD_STEP(QEL_RMD_F1, aa, ab, ac, ad, ae, X[10], 0x00000000u, 14);
        QEL_RMD_STEP(QEL_RMD_F5, pa, pb, pc, pd, pe, X[15], 0x50a28be6u, 8);
        QEL_RMD_STEP(QEL_RMD_F1, ae, aa, ab, ac, ad, X[11], 0x00000000u, 15);
        QEL_RMD_STEP(QEL_RMD_F5, pe, pa, pb, pc, pd, X[8], 0x50a28be6u, 11);
        QEL_RMD_STEP(QEL_RMD_F1, ad, ae, aa, ab, ac, X[12], 0x00000000u, 6);
        QEL_RMD_STEP(QEL_RMD_F5, pd, pe, pa, pb, pc, X[1], 0x50a28be6u, 14);
        QEL_RMD_STEP(QEL_RMD_F1, ac, ad, ae, aa, ab, X[13], 0x00000000u, 7);
        QEL_RMD_STEP(QEL_RMD_F5, pc, pd, pe, pa, pb, X[10], 0x50a28be6u, 14);
        QEL_RMD_STEP(QEL_RMD_F1, ab, ac, ad, ae, aa, X[14], 0x00000000u, 9);
        QEL_RMD_STEP(QEL_RMD_F5, pb, pc, pd, pe, pa, X[3], 0x50a28be6u, 12);
        QEL_RMD_STEP(QEL_RMD_F1, aa, ab, ac, ad, ae, X[15], 0x00000000u, 8);
        QEL_RMD_STEP(QEL_RMD_F5, pa, pb, pc, pd, pe, X[12], 0x50a28be6u, 6);
        QEL_RMD_STEP(QEL_RMD_F2, ae, aa, ab, ac, ad, X[7], 0x5a827999u, 7);
        QEL_RMD_STEP(QEL_RMD_F4, pe, pa, pb, pc, pd, X[6], 0x5c4dd124u, 9);
        QEL_RMD_STEP(QEL_RMD_F2, ad, ae, aa, ab, ac, X[4], 0x5a827999u, 6);
        QEL_RMD_STEP(QEL_RMD_F4, pd, pe, pa, pb, pc, X[11], 0x5c4dd124u, 13);
        QEL_RMD_STEP(QEL_RMD_F2, ac, ad, ae, aa, ab, X[13], 0x5a827999u, 8);
        QEL_RMD_STEP(QEL_RMD_F4, pc, pd, pe, pa, pb, X[3], 0x5c4dd124u, 15);
        QEL_RMD_STEP(QEL_RMD_F2, ab, ac, ad, ae, aa, X[1], 0x5a827999u, 13);
        QEL_RMD_STEP(QEL_RMD_F4, pb, pc, pd, pe, pa, X[7], 0x5c4dd124u, 7);
        QEL_RMD_STEP(QEL_RMD_F2, aa, ab, ac, ad, ae, X[10], 0x5a827999u, 11);
        QEL_RMD_STEP(QEL_RMD_F4, pa, pb, pc, pd, pe, X[0], 0x5c4dd124u, 12);
        QEL_RMD_STEP(QEL_RMD_F2, ae, aa, ab, ac, ad, X[6], 0x5a827999u, 9);
        QEL_RMD_STEP(QEL_RMD_F4, pe, pa, pb, pc, pd, X[13], 0x5c4dd124u, 8);
        QEL_RMD_STEP(QEL_RMD_F2, ad, ae, aa, ab, ac, X[15], 0x5a827999u, 7);
        QEL_RMD_STEP(QEL_RMD_F4, pd, pe, pa, pb, pc, X[5], 0x5c4dd124u, 9);
        QEL_RMD_STEP(QEL_RMD_F2, ac, ad, ae, aa, ab, X[3], 0x5a827999u, 15);
        QEL_RMD_STEP(QEL_RMD_F4, pc, pd, pe, pa, pb, X[10], 0x5c4dd124u, 11);
        QEL_RMD_STEP(QEL_RMD_F2, ab, ac, ad, ae, aa, X[12], 0x5a827999u, 7);
        QEL_RMD_STEP(QEL_RMD_F4, pb, pc, pd, pe, pa, X[14], 0x5c4dd124u, 7);
        QEL_RMD_STEP(QEL_RMD_F2, aa, ab, ac, ad, ae, X[0], 0x5a827999u, 12);
        QEL_RMD_STEP(QEL_RMD_F4, pa, pb, pc, pd, pe, X[15], 0x5c4dd124u, 7);
        QEL_RMD_STEP(QEL_RMD_F2, ae, aa, ab, ac, ad, X[9], 0x5a827999u, 15);
        QEL_RMD_STEP(QEL_RMD_F4, pe, pa, pb, pc, pd, X[8], 0x5c4dd124u, 12);
        QEL_RMD_STEP(QEL_RMD_F2, ad, ae, aa, ab, ac, X[5], 0x5a827999u, 9);
        QEL_RMD_STEP(QEL_RMD_F4, pd, pe, pa, pb, pc, X[12], 0x5c4dd124u, 7);
        QEL_RMD_STEP(QEL_RMD_F2, ac, ad, ae, aa, ab, X[2], 0x5a827999u, 11);
        QEL_RMD_STEP(QEL_RMD_F4, pc, pd, pe, pa, pb, X[4], 0x5c4dd124u, 6);
        QEL_RMD_STEP(QEL_RMD_F2, ab, ac, ad, ae, aa, X[14], 0x5a827999u, 7);
        QEL_RMD_STEP(QEL_RMD_F4, pb, pc, pd, pe, pa, X[9], 0x5c4dd124u, 15);
        QEL_RMD_STEP(QEL_RMD_F2, aa, ab, ac, ad, ae, X[11], 0x5a827999u, 13);
        QEL_RMD_STEP(QEL_RMD_F4, pa, pb, pc, pd, pe, X[1], 0x5c4dd124u, 13);
        QEL_RMD_STEP(QEL_RMD_F2, ae, aa, ab, ac, ad, X[8], 0x5a827999u, 12);
        QEL_RMD_STEP(QEL_RMD_F4, pe, pa, pb, pc, pd, X[2], 0x5c4dd124u, 11);
        QEL_RMD_STEP(QEL_RMD_F3, ad, ae, aa, ab, ac, X[3], 0x6ed9eba1u, 11);
        QEL_RMD_STEP(QEL_RMD_F3, pd, pe, pa, pb, pc, X[15], 0x6d703ef3u, 9);
        QEL_RMD_STEP(QEL_RMD_F3, ac, ad, ae, aa, ab, X[10], 0x6ed9eba1u, 13);
        QEL_RMD_STEP(QEL_RMD_F3, pc, pd, pe, pa, pb, X[5], 0x6d703ef3u, 7);
        QEL_RMD_STEP(QEL_RMD_F3, ab, ac, ad, ae, aa, X[14], 0x6ed9eba1u, 6);
        QEL_RMD_STEP(QEL_RMD_F3, pb, pc, pd, pe, pa, X[1], 0x6d703ef3u, 15);
        QEL_RMD_STEP(QEL_RMD_F3, aa, ab, ac, ad, ae, X[4], 0x6ed9eba1u, 7);
        QEL_RMD_STEP(QEL_RMD_F3, pa, pb, pc, pd, pe, X[3], 0x6d703ef3u, 11);
        QEL_RMD_STEP(QEL_RMD_F3, ae, aa, ab, ac, ad, X[9], 0x6ed9eba1u, 14);
        QEL_RMD_STEP(QEL_RMD_F3, pe, pa, pb, pc, pd, X[7], 0x6d703ef3u, 8);
        QEL_RMD_STEP(QEL_RMD_F3, ad, ae, aa, ab, ac, X[15], 0x6ed9eba1u, 9);
        QEL_RMD_STEP(QEL_RMD_F3, pd, pe, pa, pb, pc, X[14], 0x6d703ef3u, 6);
        QEL_RMD_STEP(QEL_RMD_F3, ac, ad, ae, aa, ab, X[8], 0x6ed9eba1u, 13);
        QEL_RMD_STEP(QEL_RMD_F3, pc, pd, pe, pa, pb, X[6], 0x6d703ef3u, 6);
        QEL_RMD_STEP(QEL_RMD_F3, ab, ac, ad, ae, aa, X[1], 0x6ed9eba1u, 15);
        QEL_RMD_STEP(QEL_RMD_F3, pb, pc, pd, pe, pa, X[9], 0x6d703ef3u, 14);
        QEL_RMD_STEP(QEL_RMD_F3, aa, ab, ac, ad, ae, X[2], 0x6ed9eba1u, 14);
        QEL_RMD_STEP(QEL_RMD_F3, pa, pb, pc, pd, pe, X[11], 0x6d703ef3u, 12);
        QEL_RMD_STEP(QEL_RMD_F3, ae, aa, ab, ac, ad, X[7], 0x6ed9eba1u, 8);
        QEL_RMD_STEP(QEL_RMD_F3, pe, pa, pb, pc, pd, X[8], 0x6d703ef3u, 13);
        QEL_RMD_STEP(QEL_RMD_F3, ad, ae, aa, ab, ac, X[0], 0x6ed9eba1u, 13);
        QEL_RMD_STEP(QEL_RMD_F3, pd, pe, pa, pb, pc, X[12], 0x6d703ef3u, 5);
        QEL_RMD_STEP(QEL_RMD_F3, ac, ad, ae, aa, ab, X[6], 0x6ed9eba1u, 6);
        QEL_RMD_STEP(QEL_RMD_F3, pc, pd, pe, pa, pb, X[2], 0x6d703ef3u, 14);
        QEL_RMD_STEP(QEL_RMD_F3, ab, ac, ad, ae, aa, X[13], 0x6ed9eba1u, 5);
        QEL_RMD_STEP(QEL_RMD_F3, pb, pc, pd, pe, pa, X[10], 0x6d703ef3u, 13);
        QEL_RMD_STEP(QEL_RMD_F3, aa, ab, ac, ad, ae, X[11], 0x6ed9eba1u, 12);
        QEL_RMD_STEP(QEL_RMD_F3, pa, pb, pc, pd, pe, X[0], 0x6d703ef3u, 13);
        QEL_RMD_STEP(QEL_RMD_F3, ae, aa, ab, ac, ad, X[5], 0x6ed9eba1u, 7);
        QEL_RMD_STEP(QEL_RMD_F3, pe, pa, pb, pc, pd, X[4], 0x6d703ef3u, 7);
        QEL_RMD_STEP(QEL_RMD_F3, ad, ae, aa, ab, ac, X[12], 0x6ed9eba1u, 5);
        QEL_RMD_STEP(QEL_RMD_F3, pd, pe, pa, pb, pc, X[13], 0x6d703ef3u, 5);
        QEL_RMD_STEP(QEL_RMD_F4, ac, ad, ae, aa, ab, X[1], 0x8f1bbcdcu, 11);
        QEL_RMD_STEP(QEL_RMD_F2, pc, pd, pe, pa, pb, X[8], 0x7a6d76e9u, 15);
        QEL_RMD_STEP(QEL_RMD_F4, ab, ac, ad, ae, aa, X[9], 0x8f1bbcdcu, 12);
        QEL_RMD_STEP(QEL_RMD_F2, pb, pc, pd, pe, pa, X[6], 0x7a6d76e9u, 5);
        QEL_RMD_STEP(QEL_RMD_F4, aa, ab, ac, ad, ae, X[11], 0x8f1bbcdcu, 14);
        QEL_RMD_STEP(QEL_RMD_F2, pa, pb, pc, pd, pe, X[4], 0x7a6d76e9u, 8);
        QEL_RMD_STEP(QEL_RMD_F4, ae, aa, ab, ac, ad, X[10], 0x8f1bbcdcu, 15);
        QEL_RMD_STEP(QEL_RMD_F2, pe, pa, pb, pc, pd, X[1], 0x7a6d76e9u, 11);
        QEL_RMD_STEP(QEL_RMD_F4, ad, ae, aa, ab, ac, X[0], 0x8f1bbcdcu, 14);
        QEL_RMD_STEP(QEL_RMD_F2, pd, pe, pa, pb, pc, X[3], 0x7a6d76e9u, 14);
        QEL_RMD_STEP(QEL_RMD_F4, ac, ad, ae, aa, ab, X[8], 0x8f1bbcdcu, 15);
        QEL_RMD_STEP(QEL_RMD_F2, pc, pd, pe, pa, pb, X[11], 0x7a6d76e9u, 14);
        QEL_RMD_STEP(QEL_RMD_F4, ab, ac, ad, ae, aa, X[12], 0x8f1bbcdcu, 9);
        QEL_RMD_STEP(QEL_RMD_F2, pb, pc, pd, pe, pa, X[15], 0x7a6d76e9u, 6);
        QEL_RMD_STEP(QEL_RMD_F4, aa, ab, ac, ad, ae, X[4], 0x8f1bbcdcu, 8);
        QEL_RMD_STEP(QEL_RMD_F2, pa, pb, pc, pd, pe, X[0], 0x7a6d76e9u, 14);
        QEL_RMD_STEP(QEL_RMD_F4, ae, aa, ab, ac, ad, X[13], 0x8f1bbcdcu, 9);
        QEL_RMD_STEP(QEL_RMD_F2, pe, pa, pb, pc, pd, X[5], 0x7a6d76e9u, 6);
        QEL_RMD_STEP(QEL_RMD_F4, ad, ae, aa, ab, ac, X[3], 0x8f1bbcdcu, 14);
        QEL_RMD_STEP(QEL_RMD_F2, pd, pe, pa, pb, pc, X[12], 0x7a6d76e9u, 9);
        QEL_RMD_STEP(QEL_RMD_F4, ac, ad, ae, aa, ab, X[7], 0x8f1bbcdcu, 5);
        QEL_RMD_STEP(QEL_RMD_F2, pc, pd, pe, pa, pb, X[2], 0x7a6d76e9u, 12);
        QEL_RMD_STEP(QEL_RMD_F4, ab, ac, ad, ae, aa, X[15], 0x8f1bbcdcu, 6);
        QEL_RMD_STEP(QEL_RMD_F2, pb, pc, pd, pe, pa, X[13], 0x7a6d76e9u, 9);
        QEL_RMD_STEP(QEL_RMD_F4, aa, ab, ac, ad, ae, X[14], 0x8f1bbcdcu, 8);
        QEL_RMD_STEP(QEL_RMD_F2, pa, pb, pc, pd, pe, X[9], 0x7a6d76e9u, 12);
        QEL_RMD_STEP(QEL_RMD_F4, ae, aa, ab, ac, ad, X[5], 0x8f1bbcdcu, 6);
        QEL_RMD_STEP(QEL_RMD_F2, pe, pa, pb, pc, pd, X[7], 0x7a6d76e9u, 5);
        QEL_RMD_STEP(QEL_RMD_F4, ad, ae, aa, ab, ac, X[6], 0x8f1bbcdcu, 5);
        QEL_RMD_STEP(QEL_RMD_F2, pd, pe, pa, pb, pc, X[10], 0x7a6d76e9u, 15);
        QEL_RMD_STEP(QEL_RMD_F4, ac, ad, ae, aa, ab, X[2], 0x8f1bbcdcu, 12);
        QEL_RMD_STEP(QEL_RMD_F2, pc, pd, pe, pa, pb, X[14], 0x7a6d76e9u, 8);
        QEL_RMD_STEP(QEL_RMD_F5, ab, ac, ad, ae, aa, X[4], 0xa953fd4eu, 9);
        QEL_RMD_STEP(QEL_RMD_F1, pb, pc, pd, pe, pa, X[12], 0x00000000u, 8);
        QEL_RMD_STEP(QEL_RMD_F5, aa, ab, ac, ad, ae, X[0], 0xa953fd4eu, 15);
        QEL_RMD_STEP(QEL_RMD_F1, pa, pb, pc, pd, pe, X[15], 0x00000000u, 5);
        QEL_RMD_STEP(QEL_RMD_F5, ae, aa, ab, ac, ad, X[5], 0xa953fd4eu, 5);
        QEL_RMD_STEP(QEL_RMD_F1, pe, pa, pb, pc, pd, X[10], 0x00000000u, 12);
        QEL_RMD_STEP(QEL_RMD_F5, ad, ae, aa, ab, ac, X[9], 0xa953fd4eu, 11);
        QEL_RMD_STEP(QEL_RMD_F1, pd, pe, pa, pb, pc, X[4], 0x00000000u, 9);
        QEL_RMD_STEP(QEL_RMD_F5, ac, ad, ae, aa, ab, X[7], 0xa953fd4eu, 6);
        QEL_RMD_STEP(QEL_RMD_F1, pc, pd, pe, pa, pb, X[1], 0x00000000u, 12);
        QEL_RMD_STEP(QEL_RMD_F5, ab, ac, ad, ae, aa, X[12], 0xa953fd4eu, 8);
        QEL_RMD_STEP(QEL_RMD_F1, pb, pc, pd, pe, pa, X[5], 0x00000000u, 5);
        QEL_RMD_STEP(QEL_RMD_F5, aa, ab, ac, ad, ae, X[2], 0xa953fd4eu, 13);
        QEL_RMD_STEP(QEL_RMD_F1, pa, pb, pc, pd, pe, X[8], 0x00000000u, 14);
        QEL_RMD_STEP(QEL_RMD_F5, ae, aa, ab, ac, ad, X[10], 0xa953fd4eu, 12);
        QEL_RMD_STEP(QEL_RMD_F1, pe, pa, pb, pc, pd, X[7], 0x00000000u, 6);
        QEL_RMD_STEP(QEL_RMD_F5, ad, ae, aa, ab, ac, X[14], 0xa953fd4eu, 5);
        QEL_RMD_STEP(QEL_RMD_F1, pd, pe, pa, pb, pc, X[6], 0x00000000u, 8);
        QEL_RMD_STEP(QEL_RMD_F5, ac, ad, ae, aa, ab, X[1], 0xa953fd4eu, 12);
        QEL_RMD_STEP(QEL_RMD_F1, pc, pd, pe, pa, pb, X[2], 0x00000000u, 13);
        QEL_RMD_STEP(QEL_RMD_F5, ab, ac, ad, ae, aa, X[3], 0xa953fd4eu, 13);
        QEL_RMD_STEP(QEL_RMD_F1, pb, pc, pd, pe, pa, X[13], 0x00000000u, 6);
        QEL_RMD_STEP(QEL_RMD_F5, aa, ab, ac, ad, ae, X[8], 0xa953fd4eu, 14);
        QEL_RMD_STEP(QEL_RMD_F1, pa, pb, pc, pd, pe, X[14], 0x00000000u, 5);
        QEL_RMD_STEP(QEL_RMD_F5, ae, aa, ab, ac, ad, X[11], 0xa953fd4eu, 11);
        QEL_RMD_STEP(QEL_RMD_F1, pe, pa, pb, pc, pd, X[0], 0x00000000u, 15);
        QEL_RMD_STEP(QEL_RMD_F5, ad, ae, aa, ab, ac, X[6], 0xa953fd4eu, 8);
        QEL_RMD_STEP(QEL_RMD_F1, pd, pe, pa, pb, pc, X[3], 0x00000000u, 13);
        QEL_RMD_STEP(QEL_RMD_F5, ac, ad, ae, aa, ab, X[15], 0xa953fd4eu, 5);
        QEL_RMD_STEP(QEL_RMD_F1, pc, pd, pe, pa, pb, X[9], 0x00000000u, 11);
        QEL_RMD_STEP(QEL_RMD_F5, ab, ac, ad, ae, aa, X[13], 0xa953fd4eu, 6);
        QEL_RMD_STEP(QEL_RMD_F1, pb, pc, pd, pe, pa, X[11], 0x00000000u, 11);
        // After 80 steps the names have come round to their starting places.
        std::uint32_t t = h[1] + ac + pd;
        h[1] = h[2] + ad + pe;
        h[2] = h[3] + ae + pa;
        h[3] = h[4] + aa + pb;
        h[4] = h[0] + ab + pc;
        h[0] = t;
        p += 64;
    }
}

} // namespace

void qelRIPEMD160Init(void *state)
{
    auto *s = static_cast<QELRIPEMD160State *>(state);
    s->h[0] = 0x67452301;
    s->h[1] = 0xefcdab89;
    s->h[2] = 0x98badcfe;
    s->h[3] = 0x10325476;
    s->h[4] = 0xc3d2e1f0;
    s->countHigh = 0;
    s->countLow = 0;
}

void qelRIPEMD160Update(void *state, const void *data, std::uint64_t length)
{
    qelHashUpdate64<QELRIPEMD160State, rmd160Blocks>(static_cast<QELRIPEMD160State *>(state), data, length);
}

const std::uint8_t *qelRIPEMD160Final(void *state)
{
    return qelHashFinal64<false, QELRIPEMD160State, rmd160Blocks>(static_cast<QELRIPEMD160State *>(state));
}
