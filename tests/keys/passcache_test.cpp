#include "qelContextInternal.h"
#include "qelPassCachInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

std::atomic<std::uint32_t> g_now{1'000'000};
std::uint32_t testClock() { return g_now.load(); }

QELPassCacheKeyRef keyRef(std::uint8_t n)
{
    return {17, {1, 2, 3, 4, 5, 6, 7, n}};
}

std::string dataOf(const QELPassCacheEntry *e)
{
    return e ? std::string(reinterpret_cast<const char *>(e->data), e->length) : "<none>";
}

struct Counts {
    std::int32_t own = -1, named = -1, others = -1;
    bool operator==(const Counts &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Counts &c)
{
    return os << c.own << "/" << c.named << "/" << c.others;
}

class PassCacheTest : public qeltest::SDKHomeTest {
protected:
    PassCacheTest() : SDKHomeTest("qelpasscache") {}
    void SetUp() override
    {
        SDKHomeTest::SetUp();
        g_now = 1'000'000;
        qelPassCacheSetClockForTesting(testClock);
    }
    void TearDown() override
    {
        qelPassCacheSetClockForTesting(nullptr);
        SDKHomeTest::TearDown();
    }

    QELStatus add(const std::string &data, std::uint32_t period, std::uint8_t selector,
                  std::uint8_t key)
    {
        qelSDKAPIMutexLock();
        const QELStatus status =
            qelPassCacheAdd(context_, data.data(), data.size(), period, selector, keyRef(key));
        qelSDKAPIMutexUnlock();
        return status;
    }
    std::string find(std::uint8_t key)
    {
        qelSDKAPIMutexLock();
        const std::string s = dataOf(qelPassCacheFind(context_, keyRef(key)));
        qelSDKAPIMutexUnlock();
        return s;
    }
    Counts counts()
    {
        Counts c;
        EXPECT_EQ(qelPassCacheGetCounts(context_, &c.own, &c.named, &c.others), QELError_NoErr);
        return c;
    }
};

TEST_F(PassCacheTest, StoringTwiceKeepsOneEntryWithTheNewData)
{
    EXPECT_EQ(counts(), (Counts{0, 0, 0})) << "no cache yet";
    EXPECT_FALSE(qelPassCacheHasEntries(context_));
    ASSERT_EQ(add("first", 60, 0, 1), QELError_NoErr);
    ASSERT_EQ(add("second", 60, 0, 1), QELError_NoErr);
    ASSERT_EQ(add("other key", 60, 0, 2), QELError_NoErr);
    EXPECT_EQ(find(1), "second");
    EXPECT_EQ(find(2), "other key");
    EXPECT_EQ(find(3), "<none>");
    EXPECT_EQ(qelContextGetPassCache(context_)->count, 2);
    EXPECT_EQ(counts(), (Counts{2, 0, 0}));
    EXPECT_TRUE(qelPassCacheHasEntries(context_));
}

TEST_F(PassCacheTest, EntriesExpireAPeriodAfterTheirLastStore)
{
    ASSERT_EQ(add("pk", 60, 0, 1), QELError_NoErr);
    g_now += 60;
    qelPassCacheExpire(context_);
    EXPECT_EQ(find(1), "pk") << "an entry expiring exactly now survives";
    g_now += 1;
    EXPECT_EQ(find(1), "<none>") << "a lookup never hands out an expired entry";
    EXPECT_TRUE(qelPassCacheHasEntries(context_));
    qelPassCacheExpire(context_);
    EXPECT_FALSE(qelPassCacheHasEntries(context_));
    EXPECT_EQ(qelContextGetPassCache(context_)->count, 0);

    // A re-store restarts the period.
    ASSERT_EQ(add("pk", 60, 0, 1), QELError_NoErr);
    g_now += 50;
    ASSERT_EQ(add("pk", 60, 0, 1), QELError_NoErr);
    g_now += 50;
    qelPassCacheExpire(context_);
    EXPECT_EQ(find(1), "pk");
}

TEST_F(PassCacheTest, PeriodsBeyondTheEndOfTimeNeverExpire)
{
    g_now = 0xFFFFFF00u;
    ASSERT_EQ(add("pk", 0x1000, 0, 1), QELError_NoErr);
    EXPECT_EQ(qelContextGetPassCache(context_)->handleList->expiry, 0xFFFFFFFFu);
    g_now = 0xFFFFFFFFu;
    qelPassCacheExpire(context_);
    EXPECT_EQ(find(1), "pk");
}

TEST_F(PassCacheTest, ClientsAndNamesScopeTheEntries)
{
    QELServiceClientHead alice{nullptr, "alice"}, alice2{nullptr, "alice"}, bob{nullptr, "bob"};
    qelContextSetClient(context_, &alice);
    ASSERT_EQ(add("alice handle", 60, 0, 1), QELError_NoErr);
    ASSERT_EQ(add("alice name", 60, 1, 2), QELError_NoErr);
    qelContextSetClient(context_, &bob);
    ASSERT_EQ(add("bob handle", 60, 0, 3), QELError_NoErr);
    ASSERT_EQ(add("bob name", 60, 1, 4), QELError_NoErr);
    EXPECT_EQ(counts(), (Counts{1, 1, 1}));
    EXPECT_EQ(find(1), "<none>") << "another client's handle entry";
    EXPECT_EQ(find(2), "<none>") << "another client's name";
    EXPECT_EQ(find(3), "bob handle");
    EXPECT_EQ(find(4), "bob name");

    // A second record under the same name shares the name entries only.
    qelContextSetClient(context_, &alice2);
    EXPECT_EQ(counts(), (Counts{0, 1, 2}));
    EXPECT_EQ(find(2), "alice name");
    EXPECT_EQ(find(1), "<none>");
    // Without a client every name entry is visible.
    qelContextSetClient(context_, nullptr);
    EXPECT_EQ(counts(), (Counts{0, 2, 2}));
    EXPECT_EQ(find(4), "bob name");
}

TEST_F(PassCacheTest, PurgeFreesEverythingAndTheNextStoreStartsAgain)
{
    ASSERT_EQ(add("a", 60, 0, 1), QELError_NoErr);
    ASSERT_EQ(add("b", 60, 1, 2), QELError_NoErr);
    EXPECT_EQ(qelPassCachePurge(context_), QELError_NoErr);
    EXPECT_EQ(qelContextGetPassCache(context_), nullptr);
    EXPECT_EQ(counts(), (Counts{0, 0, 0}));
    EXPECT_EQ(find(1), "<none>");
    ASSERT_EQ(add("c", 60, 0, 1), QELError_NoErr);
    EXPECT_EQ(find(1), "c");
    EXPECT_EQ(qelContextGetPassCache(context_)->count, 1);
}

TEST_F(PassCacheTest, PublicOperationsCheckTheirContext)
{
    std::int32_t own = 5;
    EXPECT_EQ(qelPassCacheGetCounts(nullptr, &own, nullptr, nullptr), QELError_BadParams);
    EXPECT_EQ(qelPassCachePurge(nullptr), QELError_BadParams);
    EXPECT_EQ(qelPassCacheGetCounts(context_, nullptr, nullptr, nullptr), QELError_NoErr);
}

TEST_F(PassCacheTest, WatchersRegisterOnceAndGoWithTheRegistry)
{
    qelPassCacheWatcherAdd(nullptr, 7);
    qelPassCacheWatcherAdd(nullptr, 7);
    qelPassCacheWatcherAdd(nullptr, 9);
    ASSERT_EQ(add("a", 60, 0, 1), QELError_NoErr); // visits both
    qelPassCacheWatcherRemove(9);
    qelPassCacheWatcherRemove(11);
    qelPassCacheWatcherRemove(0); // frees the registry
    qelPassCacheWatcherRemove(7); // nothing left to remove from
    EXPECT_EQ(qelPassCachePurge(context_), QELError_NoErr);
}

// A store that cannot get memory reports it and keeps the earlier data.
TEST(PassCacheMemory, FailedStoresKeepTheEarlierData)
{
    qeltest::TempDir home("qelpasscachemem");
    home.becomeHome();
    ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    qeltest::TestHeap heap;
    QELContextParams cp{QELSDKVersion, heap.make()};
    QELContext *context = nullptr;
    ASSERT_EQ(qelContextNewCustom(&cp, &context), QELError_NoErr);
    const QELPassCacheKeyRef key = keyRef(1);
    qelSDKAPIMutexLock();
    heap.refuse = true;
    EXPECT_EQ(qelPassCacheAdd(context, "x", 1, 60, 0, key), QELError_OutOfMemory) << "no cache";
    heap.refuse = false;
    ASSERT_EQ(qelPassCacheAdd(context, "old", 3, 60, 0, key), QELError_NoErr);
    const long live = heap.live;
    heap.refuse = true;
    EXPECT_EQ(qelPassCacheAdd(context, "new", 3, 60, 0, key), QELError_OutOfMemory);
    EXPECT_EQ(qelPassCacheAdd(context, "other", 5, 60, 0, keyRef(2)), QELError_OutOfMemory);
    heap.refuse = false;
    EXPECT_EQ(heap.live, live);
    EXPECT_EQ(dataOf(qelPassCacheFind(context, key)), "old");
    EXPECT_EQ(qelContextGetPassCache(context)->count, 1);
    qelSDKAPIMutexUnlock();
    qelContextFree(context); // wipes and frees the cache
    qelSDKForceCleanup();
}

// The housekeeping thread drops expired entries on its own.
TEST(PassCacheHousekeeping, TheThreadExpiresEntries)
{
    qeltest::TempDir home("qelpasscachehk");
    home.becomeHome();
    g_now = 2'000'000;
    qelPassCacheSetClockForTesting(testClock);
    ASSERT_EQ(qelSDKInit(QELSDKInit_NoService), QELError_NoErr);
    ASSERT_TRUE(qelHousekeepingIsRunning());
    QELContext *context = nullptr;
    ASSERT_EQ(qelContextNew(QELSDKVersion, &context), QELError_NoErr);
    qelSDKAPIMutexLock();
    ASSERT_EQ(qelPassCacheAdd(context, "pk", 2, 30, 0, keyRef(1)), QELError_NoErr);
    ASSERT_EQ(qelPassCacheAdd(context, "pk", 2, 3000, 0, keyRef(2)), QELError_NoErr);
    qelSDKAPIMutexUnlock();
    g_now += 31;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto count = [context] {
        qelSDKAPIMutexLock();
        const std::int32_t n = qelContextGetPassCache(context)->count;
        qelSDKAPIMutexUnlock();
        return n;
    };
    while (count() != 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    qelSDKAPIMutexLock();
    EXPECT_EQ(qelContextGetPassCache(context)->count, 1);
    EXPECT_EQ(dataOf(qelPassCacheFind(context, keyRef(1))), "<none>");
    EXPECT_EQ(dataOf(qelPassCacheFind(context, keyRef(2))), "pk");
    qelSDKAPIMutexUnlock();
    qelContextFree(context);
    qelSDKForceCleanup();
    qelPassCacheSetClockForTesting(nullptr);
}

} // namespace
