// Prime test, sieves, prime searches and the fixed groups, against known
// primes, Carmichael numbers and GMP.
#include "qelBigNumInternal.h"
#include "qelMemoryInternal.h"
#include "qelPrimeInternal.h"
#include "qelTestBigNum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using u32 = std::uint32_t;

using BN = qeltest::BigNum;

struct Progress {
    std::string seen;
    int abortOn = 0; // abort with -5 at this '*' (1-based), 0 never
    int stars = 0;
    static std::int32_t cb(void *user, std::int32_t ch)
    {
        auto *self = static_cast<Progress *>(user);
        self->seen += (char)ch;
        if (ch == '*' && ++self->stars == self->abortOn)
            return -5;
        return 0;
    }
};

std::int32_t testHex(const std::string &hex, Progress *progress = nullptr)
{
    BN n(hex), s1, s2;
    return qelPrimeTest(&n, &s1, &s2, progress ? Progress::cb : nullptr, progress);
}

TEST(Sieve, SmallPrimeTableAndPatterns)
{
    std::uint8_t table[4096];
    qelSmallPrimeTable(table);
    EXPECT_EQ(table[0], 0x6E);
    int count = 0;
    for (auto b : table)
        count += __builtin_popcount(b);
    EXPECT_EQ(count, 6541);

    // Odd step from an even start keeps only odd candidates.
    std::uint8_t sieve[QELSieveBytes];
    BN start("10000000000000000000000000000000000000000000000000000");
    qelSieveBuild(sieve, sizeof sieve, &start, 1, 0);
    for (auto b : sieve)
        EXPECT_EQ(b & 0x55, 0);

    // ClearMultiples and NextBit.
    std::memset(sieve, 0xFF, sizeof sieve);
    qelSieveClearMultiples(sieve, sizeof sieve, 5, 7);
    for (u32 i = 0; i < 8 * QELSieveBytes; ++i)
        EXPECT_EQ((sieve[i / 8] >> (i % 8)) & 1, (i >= 5 && (i - 5) % 7 == 0) ? 0 : 1) << i;
    std::memset(sieve, 0, sizeof sieve);
    sieve[0] = 1;
    sieve[100] = 0x40;
    EXPECT_EQ(qelSieveNextBit(sieve, sizeof sieve, 0), 806u);
    EXPECT_EQ(qelSieveNextBit(sieve, sizeof sieve, 806), 0u);
    EXPECT_EQ(qelSieveNextBit(sieve, sizeof sieve, 0xFFFFFFFFu), 0u);
}

TEST(PrimeTest, KnownPrimesAndComposites)
{
    // 2^127 - 1 (= 7 mod 8), 2^521 - 1, a 512-bit prime = 3 mod 8, and a
    // prime = 1 mod 8 (2^255 - 19 = 5 mod 8; 2^89 - 1 = 7 mod 8).
    const std::string m127 = "7fffffffffffffffffffffffffffffff";
    EXPECT_EQ(testHex(m127), 0);
    std::string m521 = "1" + std::string(130, 'f');
    EXPECT_EQ(testHex(m521), 0);
    const std::string c25519 = "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed";
    EXPECT_EQ(testHex(c25519), 0);
    // 2^64 - 59 (= 5 mod 8), 2^61 - 1 (= 7 mod 8), 3 * 2^66 + 1 style:
    // 0xFFFFFFFFFFFFFFC5 is prime.
    EXPECT_EQ(testHex("ffffffffffffffc5"), 0);
    // p = 2^192 - 2^64 - 1 (P-192, = 7 mod 8), P-256 prime (= 7 mod 8)
    EXPECT_EQ(testHex("fffffffffffffffffffffffffffffffeffffffffffffffff"), 0);
    // A prime = 1 mod 8: 2^224 - 2^96 + 1 (P-224).
    EXPECT_EQ(testHex("ffffffffffffffffffffffffffffffff000000000000000000000001"), 0);

    // Carmichael numbers are found composite.
    for (const char *c : {"231", "451", "6c1", "9a1", "b05", "19c9", "22cf", "a051", "f519", "f9e5"})
        EXPECT_GT(testHex(c), 0) << c;
    // A 508-bit Carmichael number (6k+1)(12k+1)(18k+1).
    EXPECT_GT(testHex("c174147fae98a2f7a8333c4c5e0d9d77dc0fb55d59202ba0b1c8b305e995f9f33682ae0eb199563"
                      "d4328af703add0fe575d8f4a813aa75a79b813a72b870849"),
              0);
    // Strong pseudoprimes to base 2: 2047 = 23 * 89 (= 7 mod 8), 3277, 4033.
    for (const char *c : {"7ff", "ccd", "fc1", "1249", "2081"})
        EXPECT_GT(testHex(c), 0) << c;
    // An even number is refused.
    EXPECT_EQ(testHex("1000000000000000000000000000000000000000002"), -1);
}

TEST(PrimeTest, ProgressProtocol)
{
    // 2^127 - 1 is 7 mod 8: six main trials (bases 3..17) plus the final report.
    Progress p;
    EXPECT_EQ(testHex("7fffffffffffffffffffffffffffffff", &p), 0);
    EXPECT_EQ(p.seen, "*******");
    // Composite = 7 mod 8 whose Euler test fails: no trial is reported.
    Progress q;
    EXPECT_EQ(testHex("ffffffffffffffffffffffffffffffff", &q), 1); // 2^128 - 1 = 7 mod 8
    EXPECT_EQ(q.seen, "");
    // Abort on the first '*'.
    Progress a;
    a.abortOn = 1;
    EXPECT_EQ(testHex("7fffffffffffffffffffffffffffffff", &a), -5);
    BN start("fffffffffffffffffffffffffffffff000000000000000000000000000000000001");
    Progress b;
    b.abortOn = 1;
    EXPECT_EQ(qelPrimeSearchConstrained(&start, nullptr, Progress::cb, &b, 0u), -5);
    BN start2("fffffffffffffffffffffffffffffff000000000000000000000000000000000001"), two("2");
    Progress c;
    c.abortOn = 1;
    EXPECT_EQ(qelPrimeSearch(&start2, &two, Progress::cb, &c), -5);
}

TEST(FixedGroups, LookupSizes)
{
    const std::uint8_t *p = nullptr, *q = nullptr;
    std::uint64_t pl = 0;
    u32 ql = 0;
    EXPECT_EQ(qelFixedDSAPrime(2048, &p, &pl, &q, &ql), 1);
    EXPECT_EQ(pl, 256u);
    EXPECT_EQ(ql, 29u);
    EXPECT_EQ(qelFixedDSAPrime(1024, &p, &pl, &q, &ql), 0);
    EXPECT_EQ(qelFixedDSAPrime(2049, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(qelFixedElGamalPrime(3072, &p, &pl, &q, &ql), 1);
    EXPECT_EQ(pl, 384u);
    EXPECT_EQ(ql, 1u);
    EXPECT_EQ(q[0], 2);
    EXPECT_EQ(qelFixedElGamalPrime(4096, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(qelFixedElGamalPrime(8192, nullptr, nullptr, nullptr, nullptr), 0);
}

#ifdef QEL_HAVE_GMP

using qeltest::fromBN;
using qeltest::Mpz;
using qeltest::toBN;

TEST(FixedGroups, ValuesArePrimeGroups)
{
    const u32 qbits[] = {198, 225, 270, 305};
    const u32 sizes[] = {1536, 2048, 3072, 4096};
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t *p, *q;
        std::uint64_t pl;
        u32 ql;
        ASSERT_EQ(qelFixedDSAPrime(sizes[i], &p, &pl, &q, &ql), 1);
        Mpz P, Q, R;
        mpz_import(P, pl, 1, 1, 0, 0, p);
        mpz_import(Q, ql, 1, 1, 0, 0, q);
        EXPECT_EQ(mpz_sizeinbase(P, 2), sizes[i]);
        EXPECT_EQ(mpz_sizeinbase(Q, 2), qbits[i]);
        EXPECT_GT(mpz_probab_prime_p(P, 5), 0);
        EXPECT_GT(mpz_probab_prime_p(Q, 10), 0);
        mpz_sub_ui(R, P, 1);
        EXPECT_TRUE(mpz_divisible_p(R, Q));

        ASSERT_EQ(qelFixedElGamalPrime(sizes[i], &p, &pl, &q, &ql), 1);
        mpz_import(P, pl, 1, 1, 0, 0, p);
        EXPECT_EQ(mpz_sizeinbase(P, 2), sizes[i]);
        EXPECT_GT(mpz_probab_prime_p(P, 3), 0);
        mpz_sub_ui(R, P, 1);
        mpz_fdiv_q_2exp(R, R, 1);
        EXPECT_GT(mpz_probab_prime_p(R, 3), 0) << "not a safe prime: " << sizes[i];
        EXPECT_EQ(ql, 1u);
        EXPECT_EQ(q[0], 2);
    }
}

TEST(PrimeGMP, TestAgreesWithGMP)
{
    gmp_randstate_t st;
    gmp_randinit_mt(st);
    gmp_randseed_ui(st, 99);
    int primes = 0;
    for (int i = 0; i < 600; ++i) {
        Mpz n;
        mpz_urandomb(n, st, 20 + i % 300);
        mpz_setbit(n, 5);
        mpz_setbit(n, 0);
        if (i % 3 == 0)
            mpz_nextprime(n, n);
        BN N, s1, s2;
        toBN(&N, n);
        std::int32_t rc = qelPrimeTest(&N, &s1, &s2, nullptr, nullptr);
        bool gmpPrime = mpz_probab_prime_p(n, 25) > 0;
        primes += gmpPrime;
        EXPECT_EQ(rc == 0, gmpPrime) << mpz_get_ui(n);
        EXPECT_GE(rc, 0);
    }
    EXPECT_GT(primes, 150);
    gmp_randclear(st);
}

TEST(PrimeGMP, SearchesFindTheNextPrime)
{
    gmp_randstate_t st;
    gmp_randinit_mt(st);
    gmp_randseed_ui(st, 7);
    for (u32 bits : {64u, 256u, 512u}) {
        Mpz start, want, tmp;
        mpz_urandomb(start, st, bits);
        mpz_setbit(start, bits - 1);
        mpz_setbit(start, 0);
        mpz_sub_ui(tmp, start, 1);
        mpz_nextprime(want, tmp);

        BN p, step, got;
        toBN(&p, start);
        EXPECT_GT(qelPrimeSearchConstrained(&p, nullptr, nullptr, nullptr, 0u), 0);
        Mpz r;
        fromBN(r, &p.n);
        EXPECT_EQ(mpz_cmp(r, want), 0) << bits;

        // Plain search with step 2.
        toBN(&p, start);
        QELBigNumOps.qelBigNumSetWord(&step, 2);
        EXPECT_GT(qelPrimeSearch(&p, &step, nullptr, nullptr), 0);
        fromBN(r, &p.n);
        EXPECT_EQ(mpz_cmp(r, want), 0) << bits;

        // Big step: a prime of the form start + k * step2 with step2 even.
        Mpz step2;
        do {
            mpz_urandomb(step2, st, 100);
            mpz_mul_2exp(step2, step2, 1);
            mpz_gcd(tmp, step2, start);
        } while (mpz_cmp_ui(tmp.z, 1) != 0);
        toBN(&p, start);
        toBN(&step, step2);
        EXPECT_GT(qelPrimeSearch(&p, &step, nullptr, nullptr), 0);
        fromBN(r, &p.n);
        EXPECT_GT(mpz_probab_prime_p(r, 25), 0);
        mpz_sub(tmp, r, start);
        EXPECT_TRUE(mpz_divisible_p(tmp, step2));
        // No smaller candidate of the progression is prime.
        for (mpz_set(tmp, start); mpz_cmp(tmp, r) < 0; mpz_add(tmp, tmp, step2))
            EXPECT_EQ(mpz_probab_prime_p(tmp, 10), 0);
    }

    // A progression whose members share a factor holds no prime: refused
    // instead of searched forever.
    {
        BN p("f0000000000000000000000000000000000000000000000000000000000000f"), step("1e");
        EXPECT_EQ(qelPrimeSearch(&p, &step, nullptr, nullptr), -1);
        QELBigNumOps.qelBigNumSetWord(&step, 0);
        EXPECT_EQ(qelPrimeSearch(&p, &step, nullptr, nullptr), -1);
    }

    // Constrained by (3): the prime minus one is never divisible by 3; with a
    // random pick among survivors the result is still prime.
    for (int i = 0; i < 20; ++i) {
        Mpz start, r;
        mpz_urandomb(start, st, 128);
        mpz_setbit(start, 127);
        BN p;
        toBN(&p, start);
        auto pick = [](void *, u32 count) -> u32 { return (count * 7919u + 13u) % count; };
        EXPECT_GT(qelPrimeSearchConstrained(&p, i % 2 ? +pick : nullptr, nullptr, nullptr, 3u, 65537u, 0u), 0);
        fromBN(r, &p.n);
        EXPECT_GT(mpz_probab_prime_p(r, 25), 0);
        EXPECT_NE(mpz_fdiv_ui(r, 3), 1u);
        EXPECT_NE(mpz_fdiv_ui(r, 65537), 1u);
    }
    gmp_randclear(st);
}

TEST(PrimeGMP, SieveSurvivorsHaveNoSmallFactor)
{
    Mpz start, c;
    mpz_set_str(start, "123456789abcdef123456789abcdef123456789abcdef", 16);
    BN s;
    toBN(&s, start);
    std::uint8_t sieve[QELSieveBytes];
    qelSieveBuild(sieve, sizeof sieve, &s, 2, 0);
    // start is odd: every candidate odd. Check a few hundred positions.
    for (u32 i = 0; i < 300; ++i) {
        mpz_set(c, start);
        mpz_add_ui(c, c, 2 * i);
        bool hasSmall = false;
        for (unsigned long f = 3; f < 65536 && !hasSmall; f += 2)
            if (mpz_divisible_ui_p(c, f))
                hasSmall = true;
        EXPECT_EQ((sieve[i / 8] >> (i % 8)) & 1, hasSmall ? 0 : 1) << i;
    }
}

#endif // QEL_HAVE_GMP

} // namespace
