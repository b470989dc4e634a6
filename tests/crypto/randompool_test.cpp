// The process-wide random pool: known-answer output, the entropy bookkeeping,
// lazy stirring and the lock's life across SDK start-up and clean-up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "qelRandomPoolInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"

namespace {

std::string toHex(const std::uint8_t *p, std::size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0)
            s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

QELRandomPoolCounters counters()
{
    QELRandomPoolCounters c{};
    qelRandomPoolGetCounters(&c);
    return c;
}

class RandomPoolTest : public ::testing::Test {
protected:
    void SetUp() override { qelRandomPoolClearAllForTesting(); }
    void TearDown() override { qelRandomPoolClearAllForTesting(); }
};

TEST_F(RandomPoolTest, KnownAnswerFromFreshPool)
{
    qelRandomPoolAdd(nullptr, "abc", 3);
    std::uint8_t out[20];
    qelRandomPoolGet(nullptr, out, 20, 0);
    EXPECT_EQ(toHex(out, 20), "7B FE DD 76 D3 21 1B A5 85 E3 2E CC B0 CC 03 22 6A F3 31 53");
    qelRandomPoolGet(nullptr, out, 20, 0);
    EXPECT_EQ(toHex(out, 20), "41 C5 D1 73 12 0F 8A 7F 1F 30 2E EC A6 F8 6E 57 6A 39 E2 62");
}

TEST_F(RandomPoolTest, SplitRequestsReturnTheSameBytes)
{
    std::uint8_t whole[20], part[20];
    qelRandomPoolAdd(nullptr, "xyz", 3);
    qelRandomPoolGet(nullptr, whole, 20, 0);

    qelRandomPoolClearAllForTesting();
    qelRandomPoolAdd(nullptr, "xyz", 3);
    qelRandomPoolGet(nullptr, part, 10, 0);
    qelRandomPoolGet(nullptr, part + 10, 10, 0);
    EXPECT_EQ(toHex(whole, 20), toHex(part, 20));
}

TEST_F(RandomPoolTest, FreshPoolProducesOutputButNoEntropy)
{
    std::uint8_t out[40] = {};
    qelRandomPoolGet(nullptr, out, sizeof out, 0);
    EXPECT_NE(toHex(out, 20), toHex(out + 20, 20));
    EXPECT_EQ(qelRandomPoolGetEntropy(), 0);
    EXPECT_FALSE(qelRandomPoolHasMinimumEntropy());
    qelRandomPoolSetSeeded();
    EXPECT_TRUE(qelRandomPoolHasMinimumEntropy());
}

TEST_F(RandomPoolTest, MixingSixtyFourBytesStirsTheWholePoolOnce)
{
    std::uint8_t data[64];
    std::memset(data, 0x5a, sizeof data);
    qelRandomPoolAdd(nullptr, data, 63);
    EXPECT_EQ(counters().compressions, 0u);   // lazy: nothing compressed yet
    qelRandomPoolAdd(nullptr, data, 1);
    QELRandomPoolCounters c = counters();
    EXPECT_EQ(c.compressions, 64u);
    EXPECT_EQ(c.poolPosition, 0u);             // once round 320 words, 5 at a time
    EXPECT_EQ(c.inputPosition, 0u);
    EXPECT_EQ(c.stirCredit, 0u);
    EXPECT_EQ(c.entropy, 0u);
}

TEST_F(RandomPoolTest, PendingEntropyStirsEarlyAndMovesToTheEstimate)
{
    qelRandomPoolCreditBits(100);
    EXPECT_EQ(counters().pending, 100u);
    qelRandomPoolAdd(nullptr, "k", 1);
    QELRandomPoolCounters c = counters();
    EXPECT_EQ(c.compressions, 1u);
    EXPECT_EQ(c.poolPosition, 5u);
    EXPECT_EQ(c.pending, 0u);
    EXPECT_TRUE(c.entropy == 100u || c.entropy == 101u) << c.entropy;
    EXPECT_EQ(c.creditedTotal, c.entropy);
    EXPECT_EQ(qelRandomPoolGetEntropy(), static_cast<std::int32_t>(c.entropy));
}

TEST_F(RandomPoolTest, PendingIsCappedAndCapClearsFraction)
{
    qelRandomPoolLock();
    EXPECT_EQ(qelRandomPoolCreditEvent(7), 0u);   // leaves a fraction behind
    qelRandomPoolUnlock();
    EXPECT_NE(counters().pendingFraction, 0u);
    qelRandomPoolCreditBits(600);
    QELRandomPoolCounters c = counters();
    EXPECT_EQ(c.pending, 512u);
    EXPECT_EQ(c.pendingFraction, 0u);
}

TEST_F(RandomPoolTest, EstimateNeverExceedsPoolSize)
{
    std::uint8_t byte = 1;
    for (int i = 0; i < 30; ++i) {
        qelRandomPoolCreditBits(512);
        qelRandomPoolAdd(nullptr, &byte, 1);
    }
    QELRandomPoolCounters c = counters();
    EXPECT_EQ(c.entropy, 10240u);
    EXPECT_EQ(c.entropyFraction, 0u);
    EXPECT_EQ(c.creditedTotal, 10240u);
    EXPECT_TRUE(qelRandomPoolHasMinimumEntropy());
}

TEST_F(RandomPoolTest, WithdrawalsReduceTheEstimate)
{
    qelRandomPoolRaiseEntropy(300);
    EXPECT_EQ(qelRandomPoolGetEntropy(), 300);
    qelRandomPoolRaiseEntropy(100);                 // never lowers
    EXPECT_EQ(qelRandomPoolGetEntropy(), 300);
    qelRandomPoolGet(nullptr, nullptr, 0, 64);      // zero bytes, 64 bits claimed
    EXPECT_EQ(qelRandomPoolGetEntropy(), 236);
    std::uint8_t out[8];
    qelRandomPoolGet(nullptr, out, sizeof out, 1000);
    EXPECT_EQ(qelRandomPoolGetEntropy(), 0);
    // Raising does not count as credit for the enough-entropy test.
    qelRandomPoolRaiseEntropy(5000);
    EXPECT_FALSE(qelRandomPoolHasMinimumEntropy());
}

TEST_F(RandomPoolTest, EnoughEntropyNeedsMoreThan191CreditedBits)
{
    std::uint8_t byte = 0;
    qelRandomPoolCreditBits(191);
    qelRandomPoolAdd(nullptr, &byte, 1);
    ASSERT_EQ(counters().creditedTotal, 191u);
    EXPECT_FALSE(qelRandomPoolHasMinimumEntropy());
    // Withdrawals do not reduce the credited total.
    qelRandomPoolGet(nullptr, nullptr, 0, 191);
    qelRandomPoolCreditBits(64);
    qelRandomPoolAdd(nullptr, &byte, 1);
    EXPECT_TRUE(qelRandomPoolHasMinimumEntropy());
}

TEST_F(RandomPoolTest, StatusReport)
{
    qelRandomPoolRaiseEntropy(77);
    std::int32_t entropy = -1;
    std::uint32_t size = 0, minimum = 0;
    std::uint8_t enough = 9, flag = 9;
    EXPECT_EQ(qelRandomPoolGetStatusLocal(&entropy, &size, &minimum, &enough, &flag), 0);
    EXPECT_EQ(entropy, 77);
    EXPECT_EQ(size, 10240u);
    EXPECT_EQ(minimum, 192u);
    EXPECT_EQ(enough, 0);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(qelRandomPoolGetStatusLocal(nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(qelRandomPoolGetSize(), 10240u);
    EXPECT_EQ(qelRandomPoolGetMinimumEntropy(), 192u);
    EXPECT_EQ(qelRandomPoolGetStatusFlag(), 0);
}

TEST_F(RandomPoolTest, ResetKeepsPoolContents)
{
    qelRandomPoolAdd(nullptr, "abc", 3);
    qelRandomPoolCreditBits(50);
    qelRandomPoolReset();
    QELRandomPoolCounters c = counters();
    EXPECT_EQ(c.pending, 0u);
    EXPECT_EQ(c.inputPosition, 0u);
    EXPECT_EQ(c.outputUsed, 20u);
    // The input buffer still holds "abc", so the output differs from a pool
    // that never saw it.
    std::uint8_t a[20], b[20];
    qelRandomPoolGet(nullptr, a, 20, 0);
    qelRandomPoolClearAllForTesting();
    qelRandomPoolGet(nullptr, b, 20, 0);
    EXPECT_NE(toHex(a, 20), toHex(b, 20));
}

TEST_F(RandomPoolTest, StirChangesTheOutput)
{
    std::uint8_t a[20], b[20];
    qelRandomPoolClearAllForTesting();
    qelRandomPoolGet(nullptr, a, 20, 0);
    qelRandomPoolClearAllForTesting();
    qelRandomPoolStir(nullptr);
    qelRandomPoolGet(nullptr, b, 20, 0);
    EXPECT_NE(toHex(a, 20), toHex(b, 20));
}

TEST(RandomDescriptors, GlobalAndDummy)
{
    const QELRandomDescriptor *g = qelRandomPoolGlobalDescriptor();
    const QELRandomDescriptor *d = qelRandomPoolDummyDescriptor();
    EXPECT_STREQ(g->name, "Global true random-number pool");
    EXPECT_STREQ(d->name, "Dummy random-number pool");
    QELRandomContext ctx;
    std::memset(&ctx, 0xff, sizeof ctx);
    qelRandomContextInitGlobal(&ctx);
    EXPECT_EQ(ctx.context, nullptr);
    EXPECT_EQ(ctx.descriptor, g);
    EXPECT_EQ(ctx.state, nullptr);
    EXPECT_EQ(ctx.destroy, nullptr);
    std::uint8_t out[16];
    std::memset(out, 0xAA, sizeof out);
    d->add(nullptr, "x", 1);
    d->stir(nullptr);
    d->get(nullptr, out, sizeof out, 128);
    for (std::uint8_t b : out)
        EXPECT_EQ(b, 0);
}

TEST(RandomEntropyAmounts, CombineArithmetic)
{
    struct Case {
        std::uint32_t whole, f1, addWhole, f2;
        std::uint32_t expectWhole, expectFraction;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0, 0},
        {5, 0, 3, 0x40000000u, 8, 0x40000000u},                    // no carry
        {0, 0x80000000u, 0, 0x80000000u, 1, 0x20000000u},          // one carry: s >> 1
        {0, 0xC0000000u, 0, 0xC0000000u, 1, 0x88000000u},          // both carries
        {10, 0xFFFFFFFFu, 2, 0x00000001u, 13, 0},                   // one carry at the edge
    };
    for (const auto &c : cases) {
        std::uint32_t whole = c.whole, fraction = c.f1;
        qelRandomEntropyCombine(whole, fraction, c.addWhole, c.f2);
        EXPECT_EQ(whole, c.expectWhole) << c.f1 << "+" << c.f2;
        EXPECT_EQ(fraction, c.expectFraction) << c.f1 << "+" << c.f2;
    }
}

TEST_F(RandomPoolTest, CreditEventTable)
{
    struct Case {
        std::uint32_t timing;
        std::uint32_t credit;
    };
    // Each case starts from a zero pending fraction.
    const Case cases[] = {
        {0, 0}, {3, 0}, {4, 0}, {7, 0}, {8, 1}, {100, 4}, {1000, 7},
        {4095, 9}, {4096, 10}, {0xFFFFFFFFu, 10},
    };
    for (const auto &c : cases) {
        qelRandomPoolClearAllForTesting();
        qelRandomPoolLock();
        EXPECT_EQ(qelRandomPoolCreditEvent(c.timing), c.credit) << c.timing;
        qelRandomPoolUnlock();
        EXPECT_EQ(counters().pending, c.credit) << c.timing;
    }
    // Fractions accumulate: two events of 7 earn one whole bit on the second.
    qelRandomPoolClearAllForTesting();
    qelRandomPoolLock();
    EXPECT_EQ(qelRandomPoolCreditEvent(7), 0u);
    EXPECT_EQ(qelRandomPoolCreditEvent(7), 1u);
    qelRandomPoolUnlock();
}

TEST(RandomPoolLock, UsableAcrossStartUpAndCleanUpAndThreads)
{
    const qeltest::TempDir home("qelpool");
    home.becomeHome();

    std::uint8_t out[32];
    qelRandomPoolAdd(nullptr, "before", 6);           // before start-up
    qelRandomPoolGet(nullptr, out, sizeof out, 0);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), 0);
        qelRandomPoolReset();                          // must not re-make the lock
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                std::uint8_t buf[64];
                for (int i = 0; i < 200; ++i) {
                    qelRandomPoolAdd(nullptr, &t, sizeof t);
                    qelRandomPoolGet(nullptr, buf, sizeof buf, 8);
                    if (i % 50 == 0)
                        qelRandomPoolStir(nullptr);
                    (void)qelRandomPoolHasMinimumEntropy();
                }
            });
        }
        for (auto &th : threads)
            th.join();
        EXPECT_EQ(qelSDKCleanup(), 0);
    }
    qelRandomPoolAdd(nullptr, "after", 5);            // after clean-up
    qelRandomPoolGet(nullptr, out, sizeof out, 0);
    EXPECT_EQ(qelRandomPoolDestroyLock(), 0);
    qelRandomPoolGet(nullptr, out, sizeof out, 0);    // still usable
}

} // namespace
