// Entropy events and system sources, with injected devices, commands and
// clock.
#include <gtest/gtest.h>

#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "qelRandomPoolInternal.h"
#include "qelRandomSourcesInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"

namespace {

// ---- A clock the tests drive ------------------------------------------------

std::int64_t g_micros = 1'000'000'000;
std::int64_t g_step = 0;

int fakeClock(struct timeval *tv)
{
    g_micros += g_step;
    tv->tv_sec = static_cast<time_t>(g_micros / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(g_micros % 1000000);
    return 0;
}

// ---- A random context that records what it is given ------------------------

std::string g_recorded;
void recordAdd(void *, const void *data, std::uint32_t length)
{
    g_recorded.append(static_cast<const char *>(data), length);
}
QELStatus recordGet(void *, void *, std::uint32_t, std::uint32_t) { return QELError_NoErr; }
void recordStir(void *) {}
const QELRandomDescriptor kRecorder = {"recorder", recordAdd, recordGet, recordStir};

QELRandomContext recorder()
{
    g_recorded.clear();
    return QELRandomContext{nullptr, &kRecorder, nullptr, nullptr};
}

class RandomSourcesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        missing_ = dir_ / "missing";
        qelRandomPoolClearAllForTesting();
        qelRandomSourcesResetForTesting();
        configure(missing_.c_str(), missing_.c_str(), kNoCommands);
    }
    void TearDown() override
    {
        qelRandomSourcesConfigure(nullptr);
        qelRandomSourcesResetForTesting();
        qelRandomPoolClearAllForTesting();
    }
    void configure(const char *urandom, const char *random, const char *const *commands)
    {
        QELRandomSourceConfig c{urandom, random, commands, fakeClock};
        qelRandomSourcesConfigure(&c);
    }
    std::string writeFile(const std::string &name, std::size_t bytes)
    {
        std::string path = dir_ / name;
        std::ofstream f(path, std::ios::binary);
        for (std::size_t i = 0; i < bytes; ++i)
            f.put(static_cast<char>(0xA0 + i % 16));
        return path;
    }
    // Measures the clock granularity once: 10 us steps give granularity 10.
    void settleClock()
    {
        g_step = 10;
        qelRandomPoolSampleTime();
        g_step = 0;
        ASSERT_EQ(qelRandomSourcesGranularity(), 10u);
    }
    std::int32_t keystrokeAfter(std::int64_t gapMicros, std::int32_t value)
    {
        g_micros += gapMicros;
        return qelRandomPoolAddKeystroke(value);
    }

    static constexpr const char *kNoCommands[] = {nullptr};
    qeltest::TempDir dir_{"qelsources"};
    std::string missing_;
};

TEST_F(RandomSourcesTest, FirstThreeKeystrokesEarnNothing)
{
    settleClock();
    const std::int64_t gaps[] = {10000, 50000, 3000, 90000, 2000, 150000, 1000, 300000};
    std::int32_t credits[8];
    for (int i = 0; i < 8; ++i)
        credits[i] = keystrokeAfter(gaps[i], 'a' + i);
    EXPECT_EQ(credits[0], 0);
    EXPECT_EQ(credits[1], 0);
    EXPECT_EQ(credits[2], 0);
    for (int i = 3; i < 8; ++i) {
        EXPECT_GT(credits[i], 0) << i;
        EXPECT_LE(credits[i], 10) << i;
    }
}

TEST_F(RandomSourcesTest, HeldKeyEarnsNothingFromItsThirdRepetition)
{
    settleClock();
    const std::int64_t gaps[] = {10000, 50000, 3000, 90000, 2000, 150000, 1000, 300000};
    for (int i = 0; i < 4; ++i)
        keystrokeAfter(gaps[i], 'a' + i);
    EXPECT_GT(keystrokeAfter(gaps[4], 'k'), 0);   // history a b c d: new key
    EXPECT_GT(keystrokeAfter(gaps[5], 'k'), 0);   // one earlier k: still credited
    EXPECT_EQ(keystrokeAfter(gaps[6], 'k'), 0);   // two earlier: nothing
    EXPECT_EQ(keystrokeAfter(gaps[7], 'k'), 0);
}

TEST_F(RandomSourcesTest, KeystrokesMixTheirValues)
{
    // Same clock readings each run: only the key value differs.
    const std::int64_t start = g_micros;
    auto run = [&](std::int32_t key, std::uint8_t *out) {
        qelRandomPoolClearAllForTesting();
        qelRandomSourcesResetForTesting();
        g_micros = start;
        settleClock();
        keystrokeAfter(1000, key);
        qelRandomPoolGet(nullptr, out, 20, 0);
    };
    std::uint8_t x1[20], x2[20], y[20];
    run('x', x1);
    run('x', x2);
    run('y', y);
    EXPECT_EQ(std::memcmp(x1, x2, 20), 0);
    EXPECT_NE(std::memcmp(x1, y, 20), 0);
}

TEST_F(RandomSourcesTest, FirstTwoTimedEventsEarnNothing)
{
    settleClock();
    const std::int64_t gaps[] = {10000, 50000, 3000, 90000, 2000};
    std::int32_t credits[5];
    for (int i = 0; i < 5; ++i) {
        g_micros += gaps[i];
        credits[i] = qelRandomPoolAddTimingEvent();
    }
    EXPECT_EQ(credits[0], 0);
    EXPECT_EQ(credits[1], 0);
    EXPECT_GT(credits[2], 0);
    EXPECT_GT(qelRandomPoolAddTimingEvent2() + 1, 0);   // credits 0..10
}

TEST_F(RandomSourcesTest, FlatClockGivesGranularityOne)
{
    g_step = 0;
    QELRandomContext ctx = recorder();
    qelRandomAddTimingSample(&ctx);
    EXPECT_EQ(qelRandomSourcesGranularity(), 1u);
    EXPECT_EQ(g_recorded.size(), sizeof(struct timeval));
}

TEST_F(RandomSourcesTest, TimingSampleCountsInGranularityUnits)
{
    settleClock();
    QELRandomContext ctx = recorder();
    qelRandomAddTimingSample(&ctx);
    g_micros += 12345;
    EXPECT_EQ(qelRandomAddTimingSample(&ctx), 1234u);
    EXPECT_EQ(g_recorded.size(), 2 * sizeof(struct timeval));
}

TEST_F(RandomSourcesTest, CompareU32SortsAscending)
{
    std::uint32_t a = 5, b = 7, c = 0xFFFFFFFFu;
    EXPECT_EQ(qelRandomCompareU32(&a, &b), -1);
    EXPECT_EQ(qelRandomCompareU32(&b, &a), 1);
    EXPECT_EQ(qelRandomCompareU32(&a, &a), 0);
    EXPECT_EQ(qelRandomCompareU32(&c, &a), 1);   // unsigned, not signed
}

TEST_F(RandomSourcesTest, DevicePollCreditsAndSeeds)
{
    std::string urandom = writeFile("urandom", 300);
    configure(urandom.c_str(), missing_.c_str(), kNoCommands);
    EXPECT_FALSE(qelRandomPoolIsSeeded());
    EXPECT_EQ(qelRandomPoolPollSystemEntropy(), 0);
    EXPECT_TRUE(qelRandomPoolIsSeeded());
    // 256 bytes read: 2048 bits, capped to 512 pending, then stirred in.
    QELRandomPoolCounters c{};
    qelRandomPoolGetCounters(&c);
    EXPECT_EQ(c.entropy, 512u);
    EXPECT_TRUE(qelRandomPoolHasMinimumEntropy());
}

TEST_F(RandomSourcesTest, SecondDeviceIsTriedWhenTheFirstIsMissing)
{
    std::string random = writeFile("random", 40);
    configure(missing_.c_str(), random.c_str(), kNoCommands);
    QELRandomContext ctx = recorder();
    EXPECT_EQ(qelRandomGatherSystemEntropy(&ctx, 0), 1);
    EXPECT_EQ(g_recorded.size(), 40u);
}

TEST_F(RandomSourcesTest, ShortDeviceReadAddsOnlyTheBytesRead)
{
    std::string urandom = writeFile("short", 10);
    configure(urandom.c_str(), missing_.c_str(), kNoCommands);
    QELRandomContext ctx = recorder();
    EXPECT_EQ(qelRandomGatherSystemEntropy(&ctx, 1), 1);
    ASSERT_EQ(g_recorded.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i)
        EXPECT_EQ(static_cast<std::uint8_t>(g_recorded[i]), 0xA0 + i);
    QELRandomPoolCounters c{};
    qelRandomPoolGetCounters(&c);
    EXPECT_EQ(c.pending, 80u);   // 8 bits per byte read, nothing for the rest
}

TEST_F(RandomSourcesTest, EmptyDeviceDoesNotDeliver)
{
    std::string empty = writeFile("empty", 0);
    configure(empty.c_str(), empty.c_str(), kNoCommands);
    QELRandomContext ctx = recorder();
    EXPECT_EQ(qelRandomGatherSystemEntropy(&ctx, 0), 0);
    EXPECT_EQ(qelRandomPoolPollSystemEntropy(), QELError_Unavailable);
    EXPECT_FALSE(qelRandomPoolIsSeeded());
}

TEST_F(RandomSourcesTest, CommandsCountOnlyWhenTheyRanCleanlyWithOutput)
{
    std::string marker = dir_ / "ran";
    std::string touch = "/bin/sh -c 'echo run > " + marker + "'";
    const char *missingCmd[] = {"/nonexistent/entropy-tool 2>&1", nullptr};
    const char *failingCmd[] = {"/bin/sh -c 'echo partial; exit 3' 2>&1", nullptr};
    const char *silentCmd[] = {"/bin/true", nullptr};
    const char *goodCmd[] = {"/bin/sh -c 'echo missing' 2>&1; exit 9", "/bin/echo hello", nullptr};
    const char *touchCmd[] = {touch.c_str(), nullptr};

    struct Case {
        const char *const *commands;
        int delivered;
    };
    const Case cases[] = {{missingCmd, 0}, {failingCmd, 0}, {silentCmd, 0}, {goodCmd, 1}};
    for (const auto &c : cases) {
        configure(missing_.c_str(), missing_.c_str(), c.commands);
        QELRandomContext ctx = recorder();
        EXPECT_EQ(qelRandomGatherSystemEntropy(&ctx, 1), c.delivered) << c.commands[0];
    }
    // The good case really mixed the output in.
    configure(missing_.c_str(), missing_.c_str(), goodCmd);
    QELRandomContext ctx = recorder();
    ASSERT_EQ(qelRandomGatherSystemEntropy(&ctx, 1), 1);
    EXPECT_NE(g_recorded.find("hello"), std::string::npos);

    // A poll fed only by commands succeeds but earns no credit, so it does
    // not vouch for the pool.
    EXPECT_EQ(qelRandomPoolPollSystemEntropy(), 0);
    EXPECT_FALSE(qelRandomPoolIsSeeded());
    configure(missing_.c_str(), missing_.c_str(), failingCmd);
    EXPECT_EQ(qelRandomPoolPollSystemEntropy(), QELError_Unavailable);
    EXPECT_FALSE(qelRandomPoolIsSeeded());

    // Without the credit flag only the devices are tried.
    configure(missing_.c_str(), missing_.c_str(), touchCmd);
    ctx = recorder();
    EXPECT_EQ(qelRandomGatherSystemEntropy(&ctx, 0), 0);
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_EQ(qelRandomGatherSystemEntropy(&ctx, 1), 0);   // ran, but printed nothing
    EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST_F(RandomSourcesTest, EventDispatchPicksTheFirstFlag)
{
    settleClock();
    EXPECT_EQ(qelRandomPoolAddEventLocal(0, 0, 0, 0), 0);
    // Poll flag alone with nothing available: the status comes back.
    EXPECT_EQ(qelRandomPoolAddEventLocal(0, 0, 0, 1), QELError_Unavailable);
    // Keystroke wins over poll: a credit (here 0, skipped), not a status.
    EXPECT_EQ(qelRandomPoolAddEventLocal(1, 'q', 1, 1), 0);
}

TEST_F(RandomSourcesTest, RealSystemDevicesDeliver)
{
    qelRandomSourcesConfigure(nullptr);
    QELRandomContext ctx = recorder();
    EXPECT_EQ(qelRandomGatherSystemEntropy(&ctx, 0), 1);
    EXPECT_EQ(g_recorded.size(), 256u);
}

} // namespace
