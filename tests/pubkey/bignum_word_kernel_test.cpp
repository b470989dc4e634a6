// The Montgomery kernels behind the exponentiations, on every path the
// processor offers (portable columns, MULX columns and rows, the AVX-512
// IFMA pair), cross-checked against GMP on random operands and on the edges
// where carries run the whole length: all-ones limbs, moduli with the top
// bit set or just above a power of two, bases of m - 1, 0 and 1, exponents
// of all ones. Sizes cover the unrolled kernels (4, 16 and 32 limbs) and
// the general loops around them. The IFMA path covers its pair and its
// single-number kernel for public exponents.
#include "qelBigNumWordInternal.h"
#include "qelCryptoCPU.h"
#include "qelTestBigNum.h"
#include "qelTestHooks.h"

#include <gtest/gtest.h>

#if defined(QEL_HAVE_GMP)
#include <gmp.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using u32 = std::uint32_t;
using Words = std::vector<u32>;

using qeltest::Mpz;

Words toWords(const mpz_t v, std::size_t n)
{
    Words w(n + 1, 0);
    std::size_t count = 0;
    mpz_export(w.data(), &count, -1, sizeof(u32), 0, 0, v);
    w.resize(n);
    return w;
}

void fromWords(mpz_t v, const u32 *w, std::size_t n)
{
    mpz_import(v, n, -1, sizeof(u32), 0, 0, w);
}

// A path of the kernels, chosen through the test switches; runs the body
// only where the processor has it, and restores the switches after.
struct Path {
    const char *name;
    bool portable;
    bool pairKernel;
    bool available() const
    {
        if (portable)
            return true;
        qelTestForcePortableCrypto(false);
        const bool have = pairKernel ? qelCryptoUseIFMA() : qelCryptoUseMULX();
        return have;
    }
};

const Path kPaths[] = {
    {"portable", true, false},
    {"MULX/ADX", false, false},
    {"AVX-512 IFMA", false, true},
};

class KernelPaths : public testing::Test {
protected:
    void TearDown() override
    {
        qelTestForcePortableCrypto(startedPortable_);
        qelTestBigNumPairKernelOff(false);
    }
    // Runs body(path) for every path this processor has.
    void forEachPath(const std::function<void(const Path &)> &body)
    {
        for (const Path &p : kPaths) {
            if (!p.available())
                continue;
            qelTestForcePortableCrypto(p.portable);
            qelTestBigNumPairKernelOff(!p.pairKernel);
            SCOPED_TRACE(p.name);
            body(p);
        }
        qelTestForcePortableCrypto(startedPortable_);
        qelTestBigNumPairKernelOff(false);
    }
    const bool startedPortable_ = qelTestPortableCryptoForced();
};

// The moduli of a size: random with the top bit set, all ones, just above
// a power of two (2^(bits-1) + 1), and random with the top limb all ones.
enum class ModulusKind { Random, AllOnes, PowerOfTwoPlusOne, TopLimbOnes };

void makeModulus(mpz_t m, ModulusKind kind, unsigned bits, gmp_randstate_t rs)
{
    switch (kind) {
    case ModulusKind::Random:
        mpz_urandomb(m, rs, bits);
        mpz_setbit(m, bits - 1);
        break;
    case ModulusKind::AllOnes:
        mpz_set_ui(m, 0);
        mpz_setbit(m, bits);
        mpz_sub_ui(m, m, 1);
        break;
    case ModulusKind::PowerOfTwoPlusOne:
        mpz_set_ui(m, 1);
        mpz_setbit(m, bits - 1);
        break;
    case ModulusKind::TopLimbOnes:
        mpz_urandomb(m, rs, bits - 64);
        for (unsigned b = bits - 64; b < bits; ++b)
            mpz_setbit(m, b);
        break;
    }
    mpz_setbit(m, 0);
}

// Bases: random below m, m - 1, 0, 1, and a value of all ones limbs over
// the modulus's length reduced (the top of the range).
void makeBase(mpz_t g, const mpz_t m, int kind, gmp_randstate_t rs)
{
    switch (kind % 5) {
    case 0: mpz_urandomm(g, rs, m); break;
    case 1: mpz_sub_ui(g, m, 1); break;
    case 2: mpz_set_ui(g, 0); break;
    case 3: mpz_set_ui(g, 1); break;
    default:
        mpz_set_ui(g, 0);
        mpz_setbit(g, (unsigned)mpz_sizeinbase(m, 2));
        mpz_sub_ui(g, g, 1);
        mpz_mod(g, g, m);
        break;
    }
}

// Word counts: the unrolled kernels (8, 32, 64 words) and the loops
// around them (odd word counts too).
const unsigned kWordCounts[] = {2, 5, 8, 9, 17, 32, 33, 48, 64};

TEST_F(KernelPaths, SecretAndPublicExponentiationMatchGMP)
{
    gmp_randstate_t rs;
    gmp_randinit_mt(rs);
    gmp_randseed_ui(rs, 22);
    forEachPath([&](const Path &path) {
        for (unsigned n32 : kWordCounts) {
            const unsigned bits = 32 * n32;
            for (int mk = 0; mk < 4; ++mk) {
                SCOPED_TRACE(testing::Message() << "words " << n32 << " modulus kind " << mk);
                Mpz m, g, e, want, got;
                makeModulus(m.z, (ModulusKind)mk, bits, rs);
                const Words mw = toWords(m.z, n32);
                Words r2(n32);
                ASSERT_EQ(qelWordsMontgomeryR2(r2.data(), mw.data(), n32, qeltest::heapMgr(), false), 0);
                Words r2ct(n32);
                ASSERT_EQ(qelWordsCTMontgomeryR2(r2ct.data(), mw.data(), n32, qeltest::heapMgr(), true), 0);
                EXPECT_EQ(r2, r2ct);
                for (int bk = 0; bk < 5; ++bk) {
                    makeBase(g.z, m.z, bk, rs);
                    // Exponents: all ones over the bound, or random.
                    const unsigned expBits = bk % 2 ? bits : bits / 2 + 3;
                    if (bk == 4) {
                        mpz_set_ui(e.z, 0);
                        mpz_setbit(e.z, expBits);
                        mpz_sub_ui(e.z, e.z, 1);
                    } else {
                        mpz_urandomb(e.z, rs, expBits);
                    }
                    const unsigned expWords = (expBits + 31) / 32;
                    const Words gw = toWords(g.z, n32), ew = toWords(e.z, expWords);
                    mpz_powm(want.z, g.z, e.z, m.z);

                    Words out(n32);
                    ASSERT_EQ(qelWordsExpModSecret(out.data(), gw.data(), n32, ew.data(), expWords, expBits, mw.data(),
                                                   n32, r2.data(), qeltest::heapMgr(), true),
                              0);
                    fromWords(got.z, out.data(), n32);
                    EXPECT_EQ(mpz_cmp(got.z, want.z), 0) << "secret exponent, base kind " << bk;

                    ASSERT_EQ(qelWordsExpMod(out.data(), gw.data(), n32, ew.data(), expWords, mw.data(), n32,
                                             qeltest::heapMgr(), false),
                              0);
                    fromWords(got.z, out.data(), n32);
                    EXPECT_EQ(mpz_cmp(got.z, want.z), 0) << "public exponent, base kind " << bk;

                    // The public exponent with constant-time products, and on
                    // the IFMA path its single-number kernel.
                    ASSERT_EQ(qelWordsExpModPublicExponent(out.data(), gw.data(), n32, ew.data(), expWords, mw.data(),
                                                           n32, r2.data(), qeltest::heapMgr(), true),
                              0);
                    fromWords(got.z, out.data(), n32);
                    EXPECT_EQ(mpz_cmp(got.z, want.z), 0) << "public exponent, secret base, base kind " << bk;
                    const u32 mBits = (u32)mpz_sizeinbase(m.z, 2);
                    if (path.pairKernel && qelWordsPublicExpModIFMAFits(mBits)) {
                        Mpz wide;
                        mpz_set_ui(wide.z, 0);
                        mpz_setbit(wide.z, qelWordsPairedExpModRadixBits(mBits));
                        mpz_mod(wide.z, wide.z, m.z);
                        const Words ww = toWords(wide.z, n32);
                        ASSERT_EQ(qelWordsPublicExpModIFMA(out.data(), gw.data(), n32, ew.data(), expWords, mw.data(),
                                                           n32, ww.data()),
                                  0);
                        fromWords(got.z, out.data(), n32);
                        EXPECT_EQ(mpz_cmp(got.z, want.z), 0) << "IFMA public exponent, base kind " << bk;
                    }

                    // A product of two values at the top of the range.
                    Mpz h, prod;
                    makeBase(h.z, m.z, bk + 1, rs);
                    const Words hw = toWords(h.z, n32);
                    ASSERT_EQ(qelWordsCTModMul(out.data(), gw.data(), n32, hw.data(), n32, mw.data(), n32, r2.data(),
                                               qeltest::heapMgr(), true),
                              0);
                    mpz_mul(prod.z, g.z, h.z);
                    mpz_mod(prod.z, prod.z, m.z);
                    fromWords(got.z, out.data(), n32);
                    EXPECT_EQ(mpz_cmp(got.z, prod.z), 0) << "product, base kind " << bk;
                    // The Montgomery product: out R = g h mod m.
                    ASSERT_EQ(qelWordsCTMontMul(out.data(), gw.data(), n32, hw.data(), n32, mw.data(), n32, r2.data(),
                                                qeltest::heapMgr(), true),
                              0);
                    fromWords(got.z, out.data(), n32);
                    mpz_mul_2exp(got.z, got.z, 64 * ((n32 + 1) / 2));
                    mpz_mod(got.z, got.z, m.z);
                    EXPECT_EQ(mpz_cmp(got.z, prod.z), 0) << "Montgomery product, base kind " << bk;
                }
            }
        }
    });
    gmp_randclear(rs);
}

// The 1024-bit kernels (the RSA-2048 halves), which keep their running sums
// in registers with carries between the halves of each group of rows, on
// many operands: values just below the modulus, whose products carry the
// whole length, and random ones, over every kind of modulus; the square of
// an operand too (by an exponent of 2).
TEST_F(KernelPaths, ThousandTwentyFourBitProductsMatchGMPOnManyOperands)
{
    gmp_randstate_t rs;
    gmp_randinit_mt(rs);
    gmp_randseed_ui(rs, 1024);
    const unsigned n32 = 32, bits = 1024;
    forEachPath([&](const Path &) {
        for (int round = 0; round < 400; ++round) {
            SCOPED_TRACE(testing::Message() << "round " << round);
            Mpz m, g, h, prod, got, small;
            makeModulus(m.z, (ModulusKind)(round % 4), bits, rs);
            // Even rounds: m - (a number below 2^64); odd ones random.
            for (mpz_t *v : {&g.z, &h.z}) {
                if (round % 2 == 0) {
                    mpz_urandomb(small.z, rs, 64);
                    mpz_add_ui(small.z, small.z, 1);
                    mpz_sub(*v, m.z, small.z);
                } else {
                    mpz_urandomm(*v, rs, m.z);
                }
            }
            const Words mw = toWords(m.z, n32), gw = toWords(g.z, n32), hw = toWords(h.z, n32);
            Words r2(n32), out(n32);
            ASSERT_EQ(qelWordsMontgomeryR2(r2.data(), mw.data(), n32, qeltest::heapMgr(), false), 0);
            // out R = g h mod m, R = 2^1024.
            ASSERT_EQ(qelWordsCTMontMul(out.data(), gw.data(), n32, hw.data(), n32, mw.data(), n32, r2.data(),
                                        qeltest::heapMgr(), true),
                      0);
            mpz_mul(prod.z, g.z, h.z);
            mpz_mod(prod.z, prod.z, m.z);
            fromWords(got.z, out.data(), n32);
            mpz_mul_2exp(got.z, got.z, bits);
            mpz_mod(got.z, got.z, m.z);
            ASSERT_EQ(mpz_cmp(got.z, prod.z), 0) << "Montgomery product";
            const u32 two = 2;
            ASSERT_EQ(qelWordsExpModSecret(out.data(), gw.data(), n32, &two, 1, 2, mw.data(), n32, r2.data(),
                                           qeltest::heapMgr(), true),
                      0);
            mpz_mul(prod.z, g.z, g.z);
            mpz_mod(prod.z, prod.z, m.z);
            fromWords(got.z, out.data(), n32);
            ASSERT_EQ(mpz_cmp(got.z, prod.z), 0) << "square";
        }
    });
    gmp_randclear(rs);
}

// The RSA-CRT pair: the IFMA kernel where it runs, the two single
// exponentiations elsewhere, over moduli with the top bit set.
TEST_F(KernelPaths, ExponentiationPairsMatchGMP)
{
    gmp_randstate_t rs;
    gmp_randinit_mt(rs);
    gmp_randseed_ui(rs, 2022);
    forEachPath([&](const Path &) {
        for (unsigned n32 : {8u, 16u, 32u, 48u, 64u}) {
            for (int round = 0; round < 4; ++round) {
                SCOPED_TRACE(testing::Message() << "words " << n32 << " round " << round);
                Mpz m1, m2, g1, g2, e1, e2, w1, w2, got;
                makeModulus(m1.z, (ModulusKind)round, 32 * n32, rs);
                makeModulus(m2.z, ModulusKind::Random, 32 * n32, rs);
                makeBase(g1.z, m1.z, round, rs);
                makeBase(g2.z, m2.z, round + 1, rs);
                mpz_urandomb(e1.z, rs, 32 * n32);
                if (round == 3) {
                    mpz_set_ui(e2.z, 0);
                    mpz_setbit(e2.z, 32 * n32);
                    mpz_sub_ui(e2.z, e2.z, 1);
                } else {
                    mpz_urandomb(e2.z, rs, 32 * n32);
                }
                const Words mw1 = toWords(m1.z, n32), mw2 = toWords(m2.z, n32);
                const Words gw1 = toWords(g1.z, n32), gw2 = toWords(g2.z, n32);
                const Words ew1 = toWords(e1.z, n32), ew2 = toWords(e2.z, n32);
                Words r1(n32), r2(n32);
                ASSERT_EQ(qelWordsExpModPair(r1.data(), gw1.data(), n32, ew1.data(), n32, mw1.data(), n32, r2.data(),
                                             gw2.data(), n32, ew2.data(), n32, mw2.data(), n32, qeltest::heapMgr(),
                                             true),
                          0);
                mpz_powm(w1.z, g1.z, e1.z, m1.z);
                mpz_powm(w2.z, g2.z, e2.z, m2.z);
                fromWords(got.z, r1.data(), n32);
                EXPECT_EQ(mpz_cmp(got.z, w1.z), 0);
                fromWords(got.z, r2.data(), n32);
                EXPECT_EQ(mpz_cmp(got.z, w2.z), 0);
            }
        }
    });
    gmp_randclear(rs);
}

} // namespace

#else
TEST(KernelPaths, NeedGMP)
{
    GTEST_SKIP() << "GMP is not available";
}
#endif
