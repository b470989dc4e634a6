// Big-number objects and word arithmetic, cross-checked against GMP.
#include "qelBigNumInternal.h"
#include "qelBigNumWordInternal.h"
#include "qelMemoryInternal.h"
#include "qelPkEncodeInternal.h"
#include "qelTestBigNum.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

using qeltest::heapMgr;
using BN = qeltest::BigNum;

// A heap whose countdown-th allocation from now fails; one manager over it
// serves the whole binary.
qeltest::TestHeap g_failing;
QELMemoryMgr *failingMgr()
{
    static QELMemoryMgr *mgr = g_failing.make();
    return mgr;
}

TEST(BigNumObject, SpecifiedEdgeCases)
{
    const auto &ops = QELBigNumOps;
    BN a, b;
    EXPECT_EQ(ops.qelBigNumBitLength(&a), 0u);
    ops.qelBigNumSetWord(&a, 1);
    EXPECT_EQ(ops.qelBigNumBitLength(&a), 1u);
    a.setHex("100000000");
    EXPECT_EQ(ops.qelBigNumBitLength(&a), 33u);

    // 3 - 5 with both subtract entries: magnitude 2, result 1.
    ops.qelBigNumSetWord(&a, 3);
    ops.qelBigNumSetWord(&b, 5);
    EXPECT_EQ(ops.qelBigNumSubtract(&a, &b), 1);
    EXPECT_EQ(a.hex(), "02");
    ops.qelBigNumSetWord(&a, 3);
    EXPECT_EQ(ops.qelBigNumSubtractWord(&a, 5), 1);
    EXPECT_EQ(a.hex(), "02");
    a.setHex("100000000");
    EXPECT_EQ(ops.qelBigNumSubtractWord(&a, 1), 0);
    EXPECT_EQ(ops.qelBigNumBitLength(&a), 32u);
    ops.qelBigNumSetWord(&a, 0);
    EXPECT_EQ(ops.qelBigNumSubtractWord(&a, 7), 1);
    EXPECT_EQ(a.hex(), "07");

    // Byte export and import at positions.
    ops.qelBigNumSetWord(&a, 0x0102);
    std::uint8_t out[4];
    ops.qelBigNumToBytesBE(&a, out, 0, 4);
    EXPECT_EQ(0, std::memcmp(out, "\x00\x00\x01\x02", 4));
    ops.qelBigNumToBytesLE(&a, out, 0, 4);
    EXPECT_EQ(0, std::memcmp(out, "\x02\x01\x00\x00", 4));
    a.setHex("11223344");
    const std::uint8_t ab = 0xAB;
    ASSERT_EQ(ops.qelBigNumFromBytesBE(&a, &ab, 2, 1), 0);
    EXPECT_EQ(a.hex(), "11ab3344");
    // Import far above the value zero-fills the gap.
    ASSERT_EQ(ops.qelBigNumFromBytesLE(&a, &ab, 9, 1), 0);
    EXPECT_EQ(a.hex(), "ab000000000011ab3344");

    // Byte positions near the top of the 32-bit range are refused, not wrapped.
    EXPECT_EQ(ops.qelBigNumFromBytesBE(&a, &ab, 0xFFFFFFF0u, 1), -1);
    EXPECT_EQ(a.hex(), "ab000000000011ab3344");
    ops.qelBigNumToBytesBE(&a, out, 0xFFFFFFFEu, 4);
    EXPECT_EQ(0, std::memcmp(out, "\x00\x00\x00\x00", 4));
    EXPECT_EQ(ops.qelBigNumReserveBits(&a, 0xFFFFFFFFu), -1);

    // Swap exchanges the values.
    ops.qelBigNumSetWord(&b, 9);
    qelBigNumSwap(&a, &b);
    EXPECT_EQ(a.hex(), "09");
    EXPECT_EQ(b.hex(), "ab000000000011ab3344");

    // Exponentiation edge cases.
    BN e, m, r, r2;
    ops.qelBigNumSetWord(&m, 10);
    ops.qelBigNumSetWord(&e, 3);
    EXPECT_EQ(ops.qelBigNumExpMod(&r, &a, &e, &m), -1); // even modulus
    ops.qelBigNumSetWord(&m, 7);
    ops.qelBigNumSetWord(&a, 3);
    ops.qelBigNumSetWord(&e, 0);
    EXPECT_EQ(ops.qelBigNumExpMod(&r, &a, &e, &m), 0);
    EXPECT_EQ(r.hex(), "01");
    ops.qelBigNumSetWord(&e, 1);
    EXPECT_EQ(ops.qelBigNumExpMod(&r, &a, &e, &m), 0);
    EXPECT_EQ(r.hex(), "03");
    ops.qelBigNumSetWord(&m, 0);
    EXPECT_EQ(ops.qelBigNumExpMod(&r, &a, &e, &m), -1);
    EXPECT_EQ(ops.qelBigNumPowerOfTwoMod(&r, &e, &m), -1);

    // Inverse.
    ops.qelBigNumSetWord(&m, 10);
    ops.qelBigNumSetWord(&a, 3);
    EXPECT_EQ(ops.qelBigNumInverseMod(&r, &a, &m), 0);
    EXPECT_EQ(r.hex(), "07");
    for (u32 v : {4u, 0u, 5u, 10u}) {
        ops.qelBigNumSetWord(&a, v);
        EXPECT_EQ(ops.qelBigNumInverseMod(&r, &a, &m), 1) << v;
    }
    ops.qelBigNumSetWord(&m, 0);
    EXPECT_EQ(ops.qelBigNumInverseMod(&r, &a, &m), -1);

    // Word remainders.
    a.setHex("10000000000000000");
    EXPECT_EQ(ops.qelBigNumModWord(&a, 3), 1u);
    a.setHex("123456789abcdef0123456789abcdef0123456789");
    EXPECT_EQ(ops.qelBigNumModWord(&a, 65536), 0x6789u);
    EXPECT_EQ(ops.qelBigNumModWord(&a, 0), 0u);

    // Division by zero is refused; short dividends are the remainder.
    BN q, rem, z;
    EXPECT_EQ(ops.qelBigNumDivide(&q, &rem, &a, &z), -1);
    EXPECT_EQ(ops.qelBigNumMod(&rem, &a, &z), -1);
    ops.qelBigNumSetWord(&b, 5);
    EXPECT_EQ(ops.qelBigNumDivide(&q, &rem, &b, &a), 0);
    EXPECT_EQ(q.hex(), "0");
    EXPECT_EQ(rem.hex(), "05");

    // Shifts beyond the value, strip.
    a.setHex("f00000000000000000");
    ops.qelBigNumShiftRight(&a, 5000);
    EXPECT_EQ(a.hex(), "0");
    a.setHex("f00000000000000000");
    EXPECT_EQ(ops.qelBigNumStripZeroBits(&a), 68u);
    EXPECT_EQ(a.hex(), "0f");
}

TEST(BigNumWords, DivisionEdges)
{
    // Top quotient word 1: (2^64 - 1) / (2^64 - 2^32 + 5) over two words.
    u32 r[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};
    u32 v[2] = {5u, 0xFFFFFFFFu};
    u32 q[1] = {0xDEADu};
    EXPECT_EQ(qelWordsDivide(q, r, 2, v, 2), 1u);
    EXPECT_EQ(r[0], 0xFFFFFFFAu);
    EXPECT_EQ(r[1], 0u);
    EXPECT_EQ(q[0], 0xDEADu); // no lower quotient words
    EXPECT_EQ(v[0], 5u);      // divisor restored
    // One-word divisor with its top bit clear, quotient over the number's
    // consumed words.
    u32 n[3] = {7u, 0u, 3u}; // 3 * 2^64 + 7
    u32 d[1] = {10u};
    u32 top = qelWordsDivide(n + 1, n, 3, d, 1);
    EXPECT_EQ(top, 0u);
    // 3 * 2^64 + 7 = 55340232221128654855; / 10 = 5534023222112865485 r 5
    EXPECT_EQ(n[0], 5u);
    EXPECT_EQ(((u64)n[2] << 32) | n[1], 5534023222112865485ull);
}

TEST(BigNumObject, SecureNumbersUseSecureBlocks)
{
    BN s(heapMgr(), true), p;
    s.setHex("123456789abcdef0123456789");
    p.setHex("123456789abcdef0123456789");
    EXPECT_EQ(qelMemBlockInfo(s.n.words) & 2, 2);
    EXPECT_EQ(qelMemBlockInfo(p.n.words) & 2, 0);
    ASSERT_EQ(QELBigNumOps.qelBigNumShiftLeft(&s, 4000), 0); // regrown, still secure
    EXPECT_EQ(qelMemBlockInfo(s.n.words) & 2, 2);
    QELBigNumOps.qelBigNumFree(&s);
    EXPECT_EQ(s.n.words, nullptr);
    EXPECT_EQ(s.n.allocated, 0u);
    EXPECT_EQ(QELBigNumOps.qelBigNumSetWord(&s, 5), 0); // usable again
    EXPECT_EQ(s.n.allocated % 2, 0u);
}

// A secret read from bytes keeps the word count of the bytes (public, as
// their length is), whatever its top words hold: finding the significant
// length would branch on them. Public numbers are trimmed as before, and
// both give the same value and MPI.
TEST(BigNumObject, SecureNumbersFromBytesKeepTheWordCountOfTheBytes)
{
    const std::uint8_t bytes[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78};
    BN s(heapMgr(), true), p;
    for (QELBigNum *n : {&s, &p}) {
        ASSERT_EQ(QELBigNumOps.qelBigNumSetWord(n, 0), 0);
        ASSERT_EQ(QELBigNumOps.qelBigNumFromBytesBE(n, bytes, 0, sizeof bytes), 0);
    }
    EXPECT_EQ(s.n.used, 4u);
    EXPECT_EQ(p.n.used, 1u);
    EXPECT_EQ(QELBigNumOps.qelBigNumCompare(&s, &p), 0);
    EXPECT_EQ(QELBigNumOps.qelBigNumBitLength(&s), 29u);
    std::uint8_t ms[8] = {}, mp[8] = {};
    ASSERT_EQ(qelMPIWrite(&s, ms), 6);
    ASSERT_EQ(qelMPIWrite(&p, mp), 6);
    EXPECT_EQ(std::memcmp(ms, mp, 6), 0);
    EXPECT_EQ(ms[1], 29);
    // The constant-time bit length over every word, at each position.
    for (u32 bit = 0; bit < 128; bit += 7) {
        BN one(heapMgr(), true), plain;
        std::uint8_t b[16] = {};
        b[15 - bit / 8] = (std::uint8_t)(1u << (bit % 8));
        for (QELBigNum *n : {&one, &plain}) {
            ASSERT_EQ(QELBigNumOps.qelBigNumSetWord(n, 0), 0);
            ASSERT_EQ(QELBigNumOps.qelBigNumFromBytesBE(n, b, 0, sizeof b), 0);
        }
        EXPECT_EQ(qelMPIBitLength(&one), bit + 1) << bit;
        EXPECT_EQ(qelMPIBitLength(&plain), bit + 1) << bit;
    }
    BN zero(heapMgr(), true);
    const std::uint8_t zeros[5] = {};
    ASSERT_EQ(QELBigNumOps.qelBigNumFromBytesBE(&zero, zeros, 0, sizeof zeros), 0);
    EXPECT_EQ(qelMPIBitLength(&zero), 0u);
}

TEST(BigNumWords, WindowThresholdsAndModWord)
{
    const u32 bits[] = {5, 6, 23, 24, 80, 81, 240, 241, 672, 673, 1792, 1793};
    const unsigned want[] = {0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6};
    for (std::size_t i = 0; i < std::size(bits); ++i)
        EXPECT_EQ(qelWordsWindowBits(bits[i]), want[i]) << bits[i];
    EXPECT_EQ(qelWordsMontgomeryConstant(0xFFFFFFFFu), 1u);
    // x * 2^64 reduces back to x, also when x needs the final subtraction.
    const u32 m[2] = {0x12345679u, 0x9u};
    const u32 mp = qelWordsMontgomeryConstant(m[0]);
    EXPECT_EQ(m[0] * mp, 0xFFFFFFFFu);
    for (u32 x1 : {0u, 5u, 8u}) {
        u32 t[4] = {0, 0, 0xFFFFFFFFu, x1};
        qelWordsMontgomeryReduce(t, m, 2, mp);
        EXPECT_EQ(t[2], 0xFFFFFFFFu);
        EXPECT_EQ(t[3], x1);
    }
}

#ifdef QEL_HAVE_GMP

using qeltest::fromBN;
using qeltest::Mpz;
using qeltest::toBN;

::testing::AssertionResult same(const QELBigNum *n, mpz_srcptr want)
{
    Mpz got;
    fromBN(got, n);
    if (mpz_cmp(got, want) == 0 &&
        n->used == (mpz_sgn(want) == 0 ? 0 : (mpz_sizeinbase(want, 2) + 31) / 32))
        return ::testing::AssertionSuccess();
    char *g = mpz_get_str(nullptr, 16, got), *w = mpz_get_str(nullptr, 16, want);
    auto r = ::testing::AssertionFailure() << "got " << g << " (used " << n->used << ") want " << w;
    void (*freefn)(void *, size_t);
    mp_get_memory_functions(nullptr, nullptr, &freefn);
    freefn(g, std::strlen(g) + 1);
    freefn(w, std::strlen(w) + 1);
    return r;
}

// dst = op(a, b) into a separate destination, then with the destination
// holding (and being) each operand in turn: always `want`.
void expectEveryAliasing(std::int32_t (*op)(QELBigNum *, const QELBigNum *, const QELBigNum *), BN &a, BN &b,
                         BN &dst, mpz_srcptr want)
{
    ASSERT_EQ(op(&dst, &a, &b), 0);
    EXPECT_TRUE(same(&dst, want));
    ASSERT_EQ(QELBigNumOps.qelBigNumCopy(&dst, &a), 0);
    ASSERT_EQ(op(&dst, &dst, &b), 0);
    EXPECT_TRUE(same(&dst, want));
    ASSERT_EQ(QELBigNumOps.qelBigNumCopy(&dst, &b), 0);
    ASSERT_EQ(op(&dst, &a, &dst), 0);
    EXPECT_TRUE(same(&dst, want));
}

class Operands {
public:
    Operands() : rng_(12345)
    {
        gmp_randinit_mt(state_);
        gmp_randseed_ui(state_, 4242);
    }
    ~Operands() { gmp_randclear(state_); }
    unsigned bits(unsigned max) { return 1 + (unsigned)(rng_() % max); }
    // Random values of the given size, with long runs of ones and zeros and
    // all-ones words among them.
    void random(mpz_ptr z, unsigned nbits)
    {
        switch (rng_() % 4) {
        case 0:
            mpz_rrandomb(z, state_, nbits);
            break;
        case 1: // all-ones words
            mpz_set_ui(z, 1);
            mpz_mul_2exp(z, z, nbits);
            mpz_sub_ui(z, z, 1);
            break;
        default:
            mpz_urandomb(z, state_, nbits);
            break;
        }
    }
    std::mt19937 &rng() { return rng_; }

private:
    std::mt19937 rng_;
    gmp_randstate_t state_;
};

TEST(BigNumGMP, AddSubtractMultiplyDivide)
{
    const auto &ops = QELBigNumOps;
    Operands gen;
    for (int iter = 0; iter < 400; ++iter) {
        Mpz a, b, w, w2;
        unsigned maxBits = iter < 300 ? 300 : 4200;
        gen.random(a, gen.bits(maxBits));
        gen.random(b, gen.bits(maxBits));
        if (iter % 17 == 0)
            mpz_set_ui(b, 0);
        if (iter % 19 == 0)
            mpz_set_ui(a, 1);
        if (iter % 23 == 0)
            mpz_set_ui(a, 0);
        BN A, B, D, Q, R;
        toBN(&A, a);
        toBN(&B, b);
        SCOPED_TRACE(iter);

        // add (plain and aliased)
        mpz_add(w, a, b);
        ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
        ASSERT_EQ(ops.qelBigNumAdd(&D, &B), 0);
        EXPECT_TRUE(same(&D, w));
        ASSERT_EQ(ops.qelBigNumAdd(&D, &D), 0);
        mpz_mul_2exp(w, w, 1);
        EXPECT_TRUE(same(&D, w));

        // subtract: sign in the result
        mpz_sub(w, a, b);
        ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
        int rc = ops.qelBigNumSubtract(&D, &B);
        EXPECT_EQ(rc, mpz_sgn(w.z) < 0 ? 1 : 0);
        mpz_abs(w, w);
        EXPECT_TRUE(same(&D, w));
        EXPECT_EQ(ops.qelBigNumCompare(&A, &B), mpz_cmp(a, b) < 0 ? -1 : (mpz_cmp(a, b) > 0 ? 1 : 0));

        // multiply, square, aliasing
        mpz_mul(w, a, b);
        expectEveryAliasing(ops.qelBigNumMultiply, A, B, D, w);
        if (HasFatalFailure())
            return;
        mpz_mul(w, a, a);
        ASSERT_EQ(ops.qelBigNumSquare(&D, &A), 0);
        EXPECT_TRUE(same(&D, w));
        ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
        ASSERT_EQ(ops.qelBigNumSquare(&D, &D), 0);
        EXPECT_TRUE(same(&D, w));
        ASSERT_EQ(ops.qelBigNumMultiply(&D, &A, &A), 0);
        EXPECT_TRUE(same(&D, w));
        u32 word = (u32)gen.rng()();
        mpz_mul_ui(w, a, word);
        ASSERT_EQ(ops.qelBigNumMultiplyWord(&D, &A, word), 0);
        EXPECT_TRUE(same(&D, w));
        ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
        ASSERT_EQ(ops.qelBigNumMultiplyWord(&D, &D, word), 0);
        EXPECT_TRUE(same(&D, w));

        // word operations
        mpz_add_ui(w, a, word);
        ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
        ASSERT_EQ(ops.qelBigNumAddWord(&D, word), 0);
        EXPECT_TRUE(same(&D, w));
        mpz_sub_ui(w, a, word);
        ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
        EXPECT_EQ(ops.qelBigNumSubtractWord(&D, word), mpz_sgn(w.z) < 0 ? 1 : 0);
        mpz_abs(w, w);
        Mpz got;
        fromBN(got, &D);
        EXPECT_EQ(mpz_cmp(got, w), 0);
        int cw = mpz_cmp_ui(a.z, word);
        EXPECT_EQ(ops.qelBigNumCompareWord(&A, word), cw < 0 ? -1 : (cw > 0 ? 1 : 0));
        for (u32 d : {word | 1u, 3u, 65535u, 65536u, 65537u, 0xFFFFFFFFu})
            EXPECT_EQ(ops.qelBigNumModWord(&A, d), mpz_fdiv_ui(a, d)) << d;

        // divide and mod, with the remainder aliasing the dividend
        if (mpz_sgn(b.z) != 0) {
            mpz_fdiv_qr(w, w2, a, b);
            ASSERT_EQ(ops.qelBigNumDivide(&Q, &R, &A, &B), 0);
            EXPECT_TRUE(same(&Q, w));
            EXPECT_TRUE(same(&R, w2));
            ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
            ASSERT_EQ(ops.qelBigNumDivide(&Q, &D, &D, &B), 0);
            EXPECT_TRUE(same(&Q, w));
            EXPECT_TRUE(same(&D, w2));
            ASSERT_EQ(ops.qelBigNumMod(&R, &A, &B), 0);
            EXPECT_TRUE(same(&R, w2));
            ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
            ASSERT_EQ(ops.qelBigNumMod(&D, &D, &B), 0);
            EXPECT_TRUE(same(&D, w2));
        }

        // shifts and strip
        u32 sh = gen.rng()() % 200;
        mpz_mul_2exp(w, a, sh);
        ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
        ASSERT_EQ(ops.qelBigNumShiftLeft(&D, sh), 0);
        EXPECT_TRUE(same(&D, w));
        mpz_fdiv_q_2exp(w, a, sh);
        ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
        ops.qelBigNumShiftRight(&D, sh);
        EXPECT_TRUE(same(&D, w));
        if (mpz_sgn(a.z) != 0) {
            u32 tz = (u32)mpz_scan1(a, 0);
            mpz_fdiv_q_2exp(w, a, tz);
            ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
            EXPECT_EQ(ops.qelBigNumStripZeroBits(&D), tz);
            EXPECT_TRUE(same(&D, w));
        }

        // gcd in every aliasing
        mpz_gcd(w, a, b);
        expectEveryAliasing(ops.qelBigNumGCD, A, B, D, w);
        if (HasFatalFailure())
            return;

        // inverse, with the destination aliasing a
        if (mpz_cmp_ui(b.z, 1) > 0) {
            int exists = mpz_invert(w, a, b);
            ASSERT_EQ(ops.qelBigNumInverseMod(&D, &A, &B), exists ? 0 : 1);
            if (exists) {
                EXPECT_TRUE(same(&D, w));
            }
            ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
            ASSERT_EQ(ops.qelBigNumInverseMod(&D, &D, &B), exists ? 0 : 1);
            if (exists) {
                EXPECT_TRUE(same(&D, w));
            }
        }
    }
}

// A secret in a secure number at a public word count `extra` words above its
// significant length (the zero words a key's stored length may bring).
void toSecret(BN &secret, mpz_srcptr z, u32 extra)
{
    const std::size_t words = (mpz_sizeinbase(z, 2) + 31) / 32 + extra;
    std::vector<std::uint8_t> bytes(4 * words);
    std::size_t count = 0;
    mpz_export(bytes.data() + bytes.size() - (mpz_sizeinbase(z, 256)), &count, 1, 1, 0, 0, z);
    ASSERT_EQ(QELBigNumOps.qelBigNumSetWord(&secret, 0), 0);
    ASSERT_EQ(QELBigNumOps.qelBigNumFromBytesBE(&secret, bytes.data(), 0, (u32)bytes.size()), 0);
    ASSERT_EQ(secret.n.used, (u32)words);
}

// The entries that take secrets keep to the public word counts: a copy has
// the source's count, a remainder the divisor's (secret or public, odd or
// even divisor, the result aliasing the dividend or not), a subtracted word
// leaves the count as it was; values as GMP has them.
TEST(BigNumGMP, SecretNumbersKeepTheirWordCounts)
{
    const auto &ops = QELBigNumOps;
    Operands gen;
    const unsigned sizes[] = {1, 31, 32, 33, 64, 160, 511, 1024, 1025, 2048};
    for (unsigned abits : sizes)
        for (int r = 0; r < 8; ++r) {
            SCOPED_TRACE(testing::Message() << "bits " << abits << " round " << r);
            Mpz a, b, w;
            gen.random(a, abits);
            gen.random(b, gen.bits(abits + 64));
            if (r % 2 == 0)
                mpz_setbit(b, 0);   // odd and even divisors alike
            if (mpz_sgn(b.z) == 0)
                mpz_set_ui(b, 2);
            if (r == 7)
                mpz_set_ui(a, 0);
            const u32 extra = r % 3;
            BN A(heapMgr(), true), B(heapMgr(), true), PublicB, R(heapMgr(), true), D(heapMgr(), true);
            toSecret(A, a, extra);
            toSecret(B, b, 2 - extra);
            toBN(&PublicB, b);

            ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
            EXPECT_EQ(D.n.used, A.n.used);
            EXPECT_EQ(ops.qelBigNumCompare(&D, &A), 0);
            EXPECT_EQ(ops.qelBigNumBitLength(&A), mpz_sgn(a.z) ? (u32)mpz_sizeinbase(a, 2) : 0u);

            mpz_fdiv_r(w, a, b);
            for (QELBigNum *divisor : {&B.n, &PublicB.n}) {
                const u32 count = divisor == &B.n ? B.n.used : PublicB.n.used;
                ASSERT_EQ(ops.qelBigNumMod(&R, &A, divisor), 0);
                EXPECT_EQ(R.n.used, count);
                ops.qelBigNumTrim(&R);
                EXPECT_TRUE(same(&R, w));
                ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
                ASSERT_EQ(ops.qelBigNumMod(&D, &D, divisor), 0);
                EXPECT_EQ(D.n.used, count);
                ops.qelBigNumTrim(&D);
                EXPECT_TRUE(same(&D, w));
            }

            const u32 word = (u32)gen.rng()();
            mpz_sub_ui(w, a, word);
            ASSERT_EQ(ops.qelBigNumCopy(&D, &A), 0);
            EXPECT_EQ(ops.qelBigNumSubtractWord(&D, word), mpz_sgn(w.z) < 0 ? 1 : 0);
            EXPECT_EQ(D.n.used, A.n.used ? A.n.used : 1u);
            mpz_abs(w, w);
            ops.qelBigNumTrim(&D);
            EXPECT_TRUE(same(&D, w));
        }
    // A zero divisor is refused, secret or not; one leaves nothing.
    BN Zero(heapMgr(), true), A(heapMgr(), true), R(heapMgr(), true), One, SecretOne(heapMgr(), true);
    const std::uint8_t zeros[8] = {};
    ASSERT_EQ(ops.qelBigNumFromBytesBE(&Zero, zeros, 0, sizeof zeros), 0);
    ASSERT_EQ(ops.qelBigNumSetWord(&A, 12345), 0);
    EXPECT_EQ(ops.qelBigNumMod(&R, &A, &Zero), -1);
    ASSERT_EQ(ops.qelBigNumSetWord(&One, 1), 0);
    ASSERT_EQ(ops.qelBigNumSetWord(&SecretOne, 1), 0);
    for (QELBigNum *divisor : {&One.n, &SecretOne.n}) {
        ASSERT_EQ(ops.qelBigNumMod(&R, &A, divisor), 0);
        EXPECT_EQ(ops.qelBigNumCompareWord(&R, 0), 0);
    }
}

TEST(BigNumGMP, Exponentiation)
{
    const auto &ops = QELBigNumOps;
    Operands gen;
    const unsigned sizes[] = {2, 3, 17, 31, 32, 33, 64, 65, 127, 160, 255, 512, 521, 768, 900, 1024, 2048, 4096, 4127};
    int iter = 0;
    for (unsigned mbits : sizes) {
        int rounds = mbits >= 2048 ? 2 : 6;
        for (int r = 0; r < rounds; ++r, ++iter) {
            SCOPED_TRACE(testing::Message() << "bits " << mbits << " round " << r);
            Mpz m, g, g2, e, e2, w;
            gen.random(m, mbits);
            mpz_setbit(m, mbits - 1);
            mpz_setbit(m, 0);
            if (mpz_cmp_ui(m.z, 1) == 0)
                mpz_set_ui(m, 3);
            switch (r % 6) {
            case 0: gen.random(g, mbits + 40); break;       // base above the modulus
            case 1: mpz_sub_ui(g, m, 1); break;              // m - 1
            case 2: mpz_set_ui(g, 2); break;                 // power-of-two path
            case 3: mpz_set_ui(g, r % 2); break;             // 0 or 1
            default: gen.random(g, mbits); break;
            }
            gen.random(e, gen.bits(mbits + 20));
            gen.random(g2, mbits);
            gen.random(e2, gen.bits(mbits));
            BN M, G, G2, E, E2, R;
            toBN(&M, m);
            toBN(&G, g);
            toBN(&G2, g2);
            toBN(&E, e);
            toBN(&E2, e2);

            mpz_powm(w, g, e, m);
            ASSERT_EQ(ops.qelBigNumExpMod(&R, &G, &E, &M), 0);
            EXPECT_TRUE(same(&R, w));
            ASSERT_EQ(ops.qelBigNumCopy(&R, &G), 0); // result aliasing the base
            ASSERT_EQ(ops.qelBigNumExpMod(&R, &R, &E, &M), 0);
            EXPECT_TRUE(same(&R, w));

            // The constant-time path for secret exponents: the bound on the
            // exponent's size (exact, or wider), a public modulus and a
            // secret (secure) one, whose set-up is made without division.
            {
                const std::uint32_t eBits = (std::uint32_t)(mpz_sgn(e.z) ? mpz_sizeinbase(e, 2) : 1);
                BN SecretM(heapMgr(), true), SecretE(heapMgr(), true);
                ASSERT_EQ(ops.qelBigNumCopy(&SecretM, &M), 0);
                ASSERT_EQ(ops.qelBigNumCopy(&SecretE, &E), 0);
                // The result keeps the modulus's word count.
                ASSERT_EQ(ops.qelBigNumExpModSecret(&R, &G, &E, &M, eBits + (r % 2) * 37), 0);
                EXPECT_EQ(R.n.used, M.n.used);
                ops.qelBigNumTrim(&R);
                EXPECT_TRUE(same(&R, w));
                ASSERT_EQ(ops.qelBigNumCopy(&R, &G), 0);
                ASSERT_EQ(ops.qelBigNumExpModSecret(&R, &R, &SecretE, &SecretM, eBits), 0);
                ops.qelBigNumTrim(&R);
                EXPECT_TRUE(same(&R, w));
                EXPECT_EQ(ops.qelBigNumExpModSecret(&R, &G, &E, &M, 0), -1);
            }

            // The Montgomery set-up kept beside a modulus: R^2 mod m with
            // R = 2^(64 ceil(words / 2)), and exponentiations through it
            // (bases below and above the modulus alike).
            BN Mont;
            ASSERT_EQ(qelBigNumMontgomeryR2(&Mont, &M), 0);
            Mpz r2;
            mpz_set_ui(r2, 1);
            mpz_mul_2exp(r2, r2, 128 * ((mpz_sizeinbase(m, 2) + 63) / 64));
            mpz_mod(r2, r2, m);
            EXPECT_TRUE(same(&Mont, r2));
            mpz_powm(w, g, e, m);
            ASSERT_EQ(qelBigNumExpModR2(&R, &G, &E, &M, &Mont), 0);
            EXPECT_TRUE(same(&R, w));
            ASSERT_EQ(ops.qelBigNumCopy(&R, &G), 0);
            ASSERT_EQ(qelBigNumExpModR2(&R, &R, &E, &M, &Mont), 0);
            EXPECT_TRUE(same(&R, w));

            Mpz two;
            mpz_set_ui(two, 2);
            mpz_powm(w, two, e, m);
            ASSERT_EQ(ops.qelBigNumPowerOfTwoMod(&R, &E, &M), 0);
            EXPECT_TRUE(same(&R, w));

            Mpz t;
            mpz_powm(w, g, e, m);
            mpz_powm(t, g2, e2, m);
            mpz_mul(w, w, t);
            mpz_mod(w, w, m);
            ASSERT_EQ(ops.qelBigNumDoubleExpMod(&R, &G, &E, &G2, &E2, &M), 0);
            EXPECT_TRUE(same(&R, w));
            ASSERT_EQ(ops.qelBigNumCopy(&R, &G2), 0);
            ASSERT_EQ(ops.qelBigNumDoubleExpMod(&R, &G, &E, &R, &E2, &M), 0);
            EXPECT_TRUE(same(&R, w));
        }
    }

    // Exponents 0 and 1, both exponents 1, and a huge exponent of 2.
    Mpz m, g, g2, w;
    gen.random(m, 1024);
    mpz_setbit(m, 1023);
    mpz_setbit(m, 0);
    gen.random(g, 1100);
    gen.random(g2, 1024);
    BN M, G, G2, E, E2, R, R2;
    toBN(&M, m);
    toBN(&G, g);
    toBN(&G2, g2);
    ops.qelBigNumSetWord(&E, 1);
    ops.qelBigNumSetWord(&E2, 1);
    mpz_mul(w, g, g2);
    mpz_mod(w, w, m);
    ASSERT_EQ(ops.qelBigNumDoubleExpMod(&R, &G, &E, &G2, &E2, &M), 0);
    EXPECT_TRUE(same(&R, w));
    mpz_mod(w, g, m);
    ASSERT_EQ(ops.qelBigNumExpMod(&R, &G, &E, &M), 0);
    EXPECT_TRUE(same(&R, w));
    ops.qelBigNumSetWord(&E, 1);
    ASSERT_EQ(ops.qelBigNumShiftLeft(&E, 100), 0); // 2^100
    ops.qelBigNumSetWord(&G, 3);
    ops.qelBigNumSetWord(&E2, 0);
    ASSERT_EQ(ops.qelBigNumExpMod(&R, &G, &E, &M), 0);
    ASSERT_EQ(ops.qelBigNumDoubleExpMod(&R2, &G, &E, &G2, &E2, &M), 0);
    EXPECT_EQ(ops.qelBigNumCompare(&R, &R2), 0);
    // Modulus 1: everything is 0.
    ops.qelBigNumSetWord(&M, 1);
    ASSERT_EQ(ops.qelBigNumExpMod(&R, &G, &E2, &M), 0);
    EXPECT_EQ(R.hex(), "0");
}

// Inverses modulo odd numbers of many sizes (the binary gcd path), with
// values sharing a factor with the modulus among them; each agrees with GMP.
TEST(BigNumGMP, InversesModuloOddNumbers)
{
    const auto &ops = QELBigNumOps;
    Operands gen;
    for (int i = 0; i < 400; ++i) {
        const unsigned mbits = i < 40 ? 33 + i : gen.bits(4200);
        SCOPED_TRACE(testing::Message() << "case " << i << " bits " << mbits);
        Mpz m, a, w, g;
        gen.random(m, mbits);
        mpz_setbit(m, 0);
        if (mpz_cmp_ui(m.z, 1) <= 0)
            mpz_set_ui(m, 3);
        switch (i % 5) {
        case 0: mpz_sub_ui(a, m, 1); break;
        case 1: mpz_set_ui(a, 1 + i % 3); break;
        case 2: // a multiple of a factor of m
            mpz_set_ui(g, 3);
            mpz_mul(m, m, g);
            gen.random(a, mbits);
            mpz_mul(a, a, g);
            mpz_mod(a, a, m);
            break;
        default: gen.random(a, mbits); mpz_mod(a, a, m); break;
        }
        if (mpz_sgn(a.z) == 0)
            mpz_set_ui(a, 1);
        BN M, A, D;
        toBN(&M, m);
        toBN(&A, a);
        const int exists = mpz_invert(w, a, m);
        ASSERT_EQ(ops.qelBigNumInverseMod(&D, &A, &M), exists ? 0 : 1);
        if (exists) {
            EXPECT_TRUE(same(&D, w));
        }
    }
}

// Pairs of exponentiations as the RSA halves use them: moduli of one size
// (the paired kernel where the processor has it) and of different sizes,
// bases above the modulus, exponents of different lengths and zero, moduli
// with top bits near each limb boundary; each result agrees with GMP.
TEST(BigNumGMP, ExponentiationPairs)
{
    Operands gen;
    const unsigned sizes[] = {33, 200, 255, 256, 257, 300, 412, 413, 512, 517, 520, 1000, 1024, 1036, 1037, 1038,
                              1039, 1040, 1536, 2046, 2048, 2080, 2448, 2449, 3000, 4096};
    for (unsigned mbits : sizes) {
        for (int r = 0; r < 4; ++r) {
            SCOPED_TRACE(testing::Message() << "bits " << mbits << " round " << r);
            Mpz m1, m2, g1, g2, e1, e2, w1, w2;
            for (mpz_ptr m : {m1.z, m2.z}) {
                gen.random(m, mbits);
                mpz_setbit(m, mbits - 1);
                mpz_setbit(m, 0);
            }
            if (r == 3) { // second modulus one word shorter: one after the other
                gen.random(m2, mbits > 40 ? mbits - 33 : 5);
                mpz_setbit(m2, 0);
                mpz_setbit(m2, 2);
            }
            gen.random(g1, r == 0 ? mbits + 70 : mbits);
            if (r == 1)
                mpz_sub_ui(g2, m2, 1);
            else
                gen.random(g2, mbits);
            gen.random(e1, gen.bits(mbits));
            if (r == 2)
                mpz_set_ui(e2, 0);
            else
                gen.random(e2, gen.bits(mbits / 2 + 1));
            mpz_powm(w1, g1, e1, m1);
            mpz_powm(w2, g2, e2, m2);
            BN M1, M2, G1, G2, E1, E2, R1, R2;
            toBN(&M1, m1);
            toBN(&M2, m2);
            toBN(&G1, g1);
            toBN(&G2, g2);
            toBN(&E1, e1);
            toBN(&E2, e2);
            ASSERT_EQ(qelBigNumExpModPair(&R1, &G1, &E1, &M1, &R2, &G2, &E2, &M2), 0);
            EXPECT_TRUE(same(&R1, w1));
            EXPECT_TRUE(same(&R2, w2));
            // Each result may be its own base.
            ASSERT_EQ(qelBigNumExpModPair(&G1, &G1, &E1, &M1, &G2, &G2, &E2, &M2), 0);
            EXPECT_TRUE(same(&G1, w1));
            EXPECT_TRUE(same(&G2, w2));
            // A result that is another operand, or an even modulus, is refused.
            EXPECT_EQ(qelBigNumExpModPair(&R1, &G1, &E1, &M1, &R1, &G2, &E2, &M2), -1);
            EXPECT_EQ(qelBigNumExpModPair(&R1, &G1, &E1, &M1, &R2, &R1, &E2, &M2), -1);
            BN even;
            ASSERT_EQ(QELBigNumOps.qelBigNumSetWord(&even, 10), 0);
            EXPECT_EQ(qelBigNumExpModPair(&R1, &G1, &E1, &M1, &R2, &G2, &E2, &even), -1);
        }
    }
}

// The window table shrinks when its entries cannot all be allocated; any other
// failed allocation makes the operation report -1 without damage.
TEST(BigNumGMP, AllocationFailures)
{
    const auto &ops = QELBigNumOps;
    Operands gen;
    Mpz m, g, e, w, g2, e2;
    gen.random(m, 1024);
    mpz_setbit(m, 1023);
    mpz_setbit(m, 0);
    gen.random(g, 1024);
    gen.random(e, 1024); // window parameter 5: 31 allocated entries
    mpz_setbit(e, 1023);
    gen.random(g2, 1024);
    gen.random(e2, 900);
    QELMemoryMgr *mgr = failingMgr();
    BN M(mgr), G(mgr), E(mgr), G2(mgr), E2(mgr), R(mgr);
    toBN(&M, m);
    toBN(&G, g);
    toBN(&E, e);
    toBN(&G2, g2);
    toBN(&E2, e2);
    ASSERT_EQ(ops.qelBigNumReserveBits(&R, 2048), 0);

    mpz_powm(w, g, e, m);
    g_failing.countdown = 0;
    g_failing.allocations = 0;
    ASSERT_EQ(ops.qelBigNumExpMod(&R, &G, &E, &M), 0);
    const long total = g_failing.allocations;
    int tableFallbacks = 0;
    for (long k = 1; k <= total; ++k) {
        g_failing.countdown = k;
        int rc = ops.qelBigNumExpMod(&R, &G, &E, &M);
        if (rc == 0) {
            ++tableFallbacks;
            EXPECT_TRUE(same(&R, w)) << "failure at allocation " << k;
        }
    }
    g_failing.countdown = 0;
    EXPECT_GE(tableFallbacks, 20); // every table entry failure degrades gracefully

    Mpz t;
    mpz_powm(t, g2, e2, m);
    mpz_mul(w, w, t);
    mpz_mod(w, w, m);
    g_failing.allocations = 0;
    ASSERT_EQ(ops.qelBigNumDoubleExpMod(&R, &G, &E, &G2, &E2, &M), 0);
    const long total2 = g_failing.allocations;
    for (long k = 1; k <= total2; ++k) {
        g_failing.countdown = k;
        if (ops.qelBigNumDoubleExpMod(&R, &G, &E, &G2, &E2, &M) == 0) {
            EXPECT_TRUE(same(&R, w)) << "failure at allocation " << k;
        }
    }

    // Every allocation of the other operations may fail: then the result is
    // -1 and the operands are unchanged; an operation that needed fewer
    // allocations than the one refused gives GMP's answer.
    Mpz product, quotient, remainder, gcd, inverse, powerOfTwo, two;
    mpz_mul(product, g, e);
    mpz_tdiv_qr(quotient, remainder, e, g2);
    mpz_gcd(gcd, g, e);
    const bool invertible = mpz_invert(inverse, g, m) != 0;
    mpz_set_ui(two, 2);
    mpz_powm(powerOfTwo, two, e, m);
    struct Case {
        const char *name;
        std::function<int(QELBigNum *, QELBigNum *)> run; // result, second result
        mpz_srcptr expected;
        mpz_srcptr expected2;               // or null
        int success;
    };
    const Case cases[] = {
        {"Multiply", [&](QELBigNum *d, QELBigNum *) { return ops.qelBigNumMultiply(d, &G, &E); }, product, nullptr, 0},
        {"Divide", [&](QELBigNum *q, QELBigNum *r) { return ops.qelBigNumDivide(q, r, &E, &G2); }, quotient, remainder, 0},
        {"GCD", [&](QELBigNum *d, QELBigNum *) { return ops.qelBigNumGCD(d, &G, &E); }, gcd, nullptr, 0},
        {"InverseMod", [&](QELBigNum *d, QELBigNum *) { return ops.qelBigNumInverseMod(d, &G, &M); }, inverse, nullptr,
         invertible ? 0 : 1},
        {"PowerOfTwoMod", [&](QELBigNum *d, QELBigNum *) { return ops.qelBigNumPowerOfTwoMod(d, &E, &M); }, powerOfTwo,
         nullptr, 0},
    };
    const std::string operandsBefore = G.hex() + E.hex() + G2.hex() + M.hex();
    for (const Case &c : cases) {
        int refusals = 0;
        for (long k = 1; k <= 6; ++k) {
            SCOPED_TRACE(std::string(c.name) + ", allocation " + std::to_string(k) + " refused");
            BN D(mgr), Q(mgr);
            g_failing.countdown = k;
            const int rc = c.run(&D, &Q);
            g_failing.countdown = 0;
            if (rc == -1) {
                ++refusals;
                EXPECT_EQ(G.hex() + E.hex() + G2.hex() + M.hex(), operandsBefore);
            } else {
                ASSERT_EQ(rc, c.success);
                if (rc == 0) {
                    EXPECT_TRUE(same(&D, c.expected));
                    if (c.expected2 != nullptr) {
                        EXPECT_TRUE(same(&Q, c.expected2));
                    }
                }
            }
        }
        EXPECT_GT(refusals, 0) << c.name << " never met a refused allocation";
    }
    // A failed growth keeps the old value.
    BN D(mgr);
    ops.qelBigNumSetWord(&D, 77);
    g_failing.countdown = 1;
    EXPECT_EQ(ops.qelBigNumShiftLeft(&D, 4096), -1);
    g_failing.countdown = 0;
    EXPECT_EQ(D.hex(), "4d");
}

#endif // QEL_HAVE_GMP

} // namespace
