// One SHA-1 compression with the SHA extensions, for every kernel that
// hashes: the plain block loop and the paths that hash beside another
// computation. Include only from files whose callers ask qelCryptoUseSHA().
#pragma once

#include "qelCryptoCPU.h"

#if defined(QEL_CRYPTO_X86)

#include <immintrin.h>

#define QEL_SHA1NI_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// The message's byte order to the words the instructions take.
QEL_SHA1NI_TARGET inline __m128i qelSHA1NIReverse()
{
    return _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

// ABCD lives in one register with A in the highest lane; E travels in the
// highest lane of a second one. sha1rnds4 runs four rounds, sha1nexte adds
// the rotated A of four rounds back to the next four message words, and
// sha1msg1/sha1msg2 expand the schedule four words at a time:
//   W[t..t+3] = msg2(msg1(W[t-16..], W[t-12..]) ^ W[t-8..], W[t-4..]).
#define QEL_SHA1_EXPAND(m0, m1, m2, m3)                                                \
    m0 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m0, m1), m2), m3)

// Four rounds with message group m; e0/e1 alternate as the saved ABCD.
#define QEL_SHA1_FOUR(m, func, eIn, eOut)                                               \
    eIn = _mm_sha1nexte_epu32(eIn, m);                                                 \
    eOut = abcd;                                                                       \
    abcd = _mm_sha1rnds4_epu32(abcd, eIn, func)

// One block whose sixteen words m0..m3 are already in the instructions'
// order; abcd and e are updated with the feed-forward.
[[gnu::always_inline]] QEL_SHA1NI_TARGET inline void qelSHA1BlockNI(__m128i &abcdInOut, __m128i &e, __m128i m0,
                                                                     __m128i m1, __m128i m2, __m128i m3)
{
    __m128i abcd = abcdInOut;
    const __m128i abcdIn = abcd, eIn = e;
    __m128i e0 = _mm_add_epi32(e, m0), e1;
    // Rounds 0..3 take E itself; every later group adds rotl(A, 30).
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
    QEL_SHA1_FOUR(m1, 0, e1, e0);
    QEL_SHA1_FOUR(m2, 0, e0, e1);
    QEL_SHA1_FOUR(m3, 0, e1, e0);
    QEL_SHA1_EXPAND(m0, m1, m2, m3);
    QEL_SHA1_FOUR(m0, 0, e0, e1);   // rounds 16..19
    QEL_SHA1_EXPAND(m1, m2, m3, m0);
    QEL_SHA1_FOUR(m1, 1, e1, e0);
    QEL_SHA1_EXPAND(m2, m3, m0, m1);
    QEL_SHA1_FOUR(m2, 1, e0, e1);
    QEL_SHA1_EXPAND(m3, m0, m1, m2);
    QEL_SHA1_FOUR(m3, 1, e1, e0);
    QEL_SHA1_EXPAND(m0, m1, m2, m3);
    QEL_SHA1_FOUR(m0, 1, e0, e1);
    QEL_SHA1_EXPAND(m1, m2, m3, m0);
    QEL_SHA1_FOUR(m1, 1, e1, e0);   // rounds 36..39
    QEL_SHA1_EXPAND(m2, m3, m0, m1);
    QEL_SHA1_FOUR(m2, 2, e0, e1);
    QEL_SHA1_EXPAND(m3, m0, m1, m2);
    QEL_SHA1_FOUR(m3, 2, e1, e0);
    QEL_SHA1_EXPAND(m0, m1, m2, m3);
    QEL_SHA1_FOUR(m0, 2, e0, e1);
    QEL_SHA1_EXPAND(m1, m2, m3, m0);
    QEL_SHA1_FOUR(m1, 2, e1, e0);
    QEL_SHA1_EXPAND(m2, m3, m0, m1);
    QEL_SHA1_FOUR(m2, 2, e0, e1);   // rounds 56..59
    QEL_SHA1_EXPAND(m3, m0, m1, m2);
    QEL_SHA1_FOUR(m3, 3, e1, e0);
    QEL_SHA1_EXPAND(m0, m1, m2, m3);
    QEL_SHA1_FOUR(m0, 3, e0, e1);
    QEL_SHA1_EXPAND(m1, m2, m3, m0);
    QEL_SHA1_FOUR(m1, 3, e1, e0);
    QEL_SHA1_EXPAND(m2, m3, m0, m1);
    QEL_SHA1_FOUR(m2, 3, e0, e1);
    QEL_SHA1_EXPAND(m3, m0, m1, m2);
    QEL_SHA1_FOUR(m3, 3, e1, e0);   // rounds 76..79
    // The new E is the old one plus rotl(A of round 76, 30).
    e = _mm_sha1nexte_epu32(e0, eIn);
    abcdInOut = _mm_add_epi32(abcd, abcdIn);
}

#undef QEL_SHA1_FOUR
#undef QEL_SHA1_EXPAND

#endif
