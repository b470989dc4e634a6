#include "qelContextInternal.h"
#include "qelMemoryInternal.h"
#include "qelRPCClientInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace {

const auto *const g_env = qeltest::addHomeEnvironment("qelsdk");

bool serviceSocketExists()
{
    struct stat st;
    return stat("/var/.qelsdksock", &st) == 0;
}

int failingThreadCreate(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)
{
    return EAGAIN;
}

// Every test leaves the process as it found it: SDK down, no manager list.
class SDKTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(qelSDKIsInitialized());
        ASSERT_EQ(qelMemMgrGetGlobal(), nullptr);
    }
    void TearDown() override
    {
        qelSDKSetThreadCreateForTesting(nullptr);
        static_cast<void>(qelSDKForceCleanup());
        qelMemMgrFreeAll();
    }
};

TEST_F(SDKTest, ReferenceCountedStartAndCleanup)
{
    ASSERT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_NoErr);
    ASSERT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_NoErr);
    QELMemoryMgr *global = qelMemMgrGetGlobal();
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(qelMemMgrIsValid(global), QELError_NoErr);

    EXPECT_EQ(qelSDKCleanup(), QELError_NoErr);
    EXPECT_TRUE(qelSDKIsInitialized());
    EXPECT_EQ(qelMemMgrGetGlobal(), global);

    EXPECT_EQ(qelSDKCleanup(), QELError_NoErr);
    EXPECT_FALSE(qelSDKIsInitialized());
    EXPECT_FALSE(qelHousekeepingIsRunning());
    // The default manager that start-up made is gone again.
    EXPECT_EQ(qelMemMgrGetGlobal(), nullptr);

    EXPECT_EQ(qelSDKCleanup(), QELError_BadParams);
}

TEST_F(SDKTest, ForceCleanupEndsEveryStartUp)
{
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_NoErr);
    EXPECT_EQ(qelSDKForceCleanup(), QELError_NoErr);
    EXPECT_FALSE(qelSDKIsInitialized());
    EXPECT_EQ(qelSDKForceCleanup(), QELError_BadParams);
}

TEST_F(SDKTest, FlagsSelectThreadAndService)
{
    ASSERT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_NoErr);
    EXPECT_TRUE(qelHousekeepingIsRunning());
    EXPECT_EQ(qelRPCEnabled(), 0);
    ASSERT_EQ(qelSDKCleanup(), QELError_NoErr);
    EXPECT_FALSE(qelHousekeepingIsRunning());

    ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    EXPECT_FALSE(qelHousekeepingIsRunning());
    EXPECT_EQ(qelRPCEnabled(), 0);
    ASSERT_EQ(qelSDKCleanup(), QELError_NoErr);
}

TEST_F(SDKTest, MissingServiceFailsStartUpCleanlyAndRetryWorks)
{
    if (serviceSocketExists())
        GTEST_SKIP() << "a local SDK service is running";
    EXPECT_EQ(qelSDKInit(0), QELError_NotInitialized);
    EXPECT_FALSE(qelSDKIsInitialized());
    EXPECT_FALSE(qelHousekeepingIsRunning());
    EXPECT_EQ(qelMemMgrGetGlobal(), nullptr);
    EXPECT_EQ(qelRPCEnabled(), 0);
    EXPECT_EQ(qelSDKCleanup(), QELError_BadParams);

    ASSERT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_NoErr);
    EXPECT_TRUE(qelHousekeepingIsRunning());
    EXPECT_EQ(qelSDKCleanup(), QELError_NoErr);
}

TEST_F(SDKTest, FailedThreadCreationFailsStartUpCleanly)
{
    qelSDKSetThreadCreateForTesting(failingThreadCreate);
    EXPECT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_Unavailable);
    EXPECT_FALSE(qelSDKIsInitialized());
    EXPECT_FALSE(qelHousekeepingIsRunning());
    EXPECT_EQ(qelMemMgrGetGlobal(), nullptr);

    // Without the thread nothing needs creating.
    ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    ASSERT_EQ(qelSDKCleanup(), QELError_NoErr);

    qelSDKSetThreadCreateForTesting(nullptr);
    ASSERT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_NoErr);
    EXPECT_TRUE(qelHousekeepingIsRunning());
    EXPECT_EQ(qelSDKCleanup(), QELError_NoErr);
}

TEST_F(SDKTest, CleanupLeavesApplicationManagersAlone)
{
    // Registered before start-up: start-up registers none of its own.
    QELMemoryMgr *before = nullptr;
    ASSERT_EQ(qelMemMgrNewHeap(&before), QELError_NoErr);
    ASSERT_EQ(qelMemMgrRegister(before), QELError_NoErr);
    ASSERT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_NoErr);
    EXPECT_EQ(qelMemMgrGetGlobal(), before);
    ASSERT_EQ(qelSDKCleanup(), QELError_NoErr);
    EXPECT_EQ(qelMemMgrIsValid(before), QELError_NoErr);
    EXPECT_EQ(qelMemMgrGetGlobal(), before);
    qelMemMgrFreeAll();

    // Registered while the SDK runs on the manager start-up made: only that
    // one goes at clean-up, the application's stays usable.
    ASSERT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_NoErr);
    QELMemoryMgr *made = qelMemMgrGetGlobal();
    ASSERT_NE(made, nullptr);
    QELMemoryMgr *during = nullptr;
    ASSERT_EQ(qelMemMgrNewHeap(&during), QELError_NoErr);
    ASSERT_EQ(qelMemMgrRegister(during), QELError_NoErr);
    ASSERT_EQ(qelSDKCleanup(), QELError_NoErr);
    EXPECT_EQ(qelMemMgrIsValid(during), QELError_NoErr);
    EXPECT_EQ(qelMemMgrGetGlobal(), during);
    void *block = qelMemAlloc(during, 16, 0);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(qelMemFree(block), QELError_NoErr);

    // A later start-up finds the application's manager and makes none.
    ASSERT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_NoErr);
    EXPECT_EQ(qelMemMgrGetGlobal(), during);
    ASSERT_EQ(qelSDKCleanup(), QELError_NoErr);
    EXPECT_EQ(qelMemMgrIsValid(during), QELError_NoErr);
}

struct ChangeRecord {
    int calls = 0;
    std::uint32_t a = 0, b = 0, c = 0;
};

QELStatus recordChange(void *user, std::uint32_t a, std::uint32_t b, std::uint32_t c)
{
    auto *r = static_cast<ChangeRecord *>(user);
    ++r->calls;
    r->a = a;
    r->b = b;
    r->c = c;
    return QELError_ItemNotFound;
}

TEST_F(SDKTest, KeyDBChangeHookForwardsToTheCallback)
{
    EXPECT_EQ(qelNotifyKeyDBChange(1, 2, 3), QELError_NoErr);
    ChangeRecord record;
    ASSERT_EQ(qelSetKeyDBChangeCallback(recordChange, &record), QELError_NoErr);
    EXPECT_EQ(qelNotifyKeyDBChange(7, 8, 9), QELError_ItemNotFound);
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.a, 7u);
    EXPECT_EQ(record.b, 8u);
    EXPECT_EQ(record.c, 9u);
    ASSERT_EQ(qelSetKeyDBChangeCallback(nullptr, nullptr), QELError_NoErr);
    EXPECT_EQ(qelNotifyKeyDBChange(1, 2, 3), QELError_NoErr);
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(qelUnsupportedEntry(), QELError_AlgorithmCannotDoThis);
}

// Contexts come and go on this thread while the housekeeping thread walks
// the list; run under ThreadSanitizer this checks the list's locking and
// that clean-up joins the thread before the state it walks goes away.
TEST_F(SDKTest, HousekeepingPassesRaceFreeWithContextChurn)
{
    ASSERT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_NoErr);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1100);
    int made = 0;
    while (std::chrono::steady_clock::now() < until) {
        QELContext *a = nullptr, *b = nullptr;
        ASSERT_EQ(qelContextNew(QELSDKVersion, &a), QELError_NoErr);
        ASSERT_EQ(qelContextNew(QELSDKVersion, &b), QELError_NoErr);
        static_cast<void>(qelContextFree(a));
        static_cast<void>(qelContextFree(b));
        made += 2;
    }
    EXPECT_GT(made, 0);
    QELContext *left = nullptr;
    ASSERT_EQ(qelContextNew(QELSDKVersion, &left), QELError_NoErr);
    EXPECT_EQ(qelSDKCleanup(), QELError_NoErr);
    EXPECT_FALSE(qelHousekeepingIsRunning());
    // A context the application still holds outlives clean-up untouched.
    EXPECT_TRUE(qelContextIsValid(left));
    ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    static_cast<void>(qelContextFree(left));
    ASSERT_EQ(qelSDKCleanup(), QELError_NoErr);
}

} // namespace
