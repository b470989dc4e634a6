#include "qelContextInternal.h"
#include "qelPassCachInternal.h"
#include "qelPkAlgInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
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
    EXPECT_EQ(qelPassCacheWatcherAdd(nullptr, 7), QELError_NoErr);
    EXPECT_EQ(qelPassCacheWatcherAdd(nullptr, 7), QELError_NoErr);
    EXPECT_EQ(qelPassCacheWatcherAdd(nullptr, 9), QELError_NoErr);
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
    static_cast<void>(qelContextFree(context)); // wipes and frees the cache
    static_cast<void>(qelSDKForceCleanup());
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
    static_cast<void>(qelContextFree(context));
    static_cast<void>(qelSDKForceCleanup());
    qelPassCacheSetClockForTesting(nullptr);
}

// ---- unlocking real keys through the cache --------------------------------------

#include "qelDSASelfTestKey.inc"

class PassCacheUnlockTest : public PassCacheTest {
protected:
    void SetUp() override
    {
        PassCacheTest::SetUp();
        QELStatus status = -1;
        key_ = qelSecretKeyObjectFromData(context_, 17, kSelfTestSecretKey, sizeof kSelfTestSecretKey, 0,
                                          nullptr, &status);
        ASSERT_NE(key_, nullptr) << status;
        const std::uint8_t id[8] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};
        key_->setKeyID(key_, id);
        ASSERT_EQ(key_->isLocked(key_), 1u);
    }
    void TearDown() override
    {
        if (key_ != nullptr) {
            EXPECT_EQ(key_->destroy(key_), QELError_NoErr);
        }
        PassCacheTest::TearDown();
    }
    void relock() { ASSERT_EQ(key_->lock(key_), QELError_NoErr); }
    QELStatus unlock(const char *secret, std::uint32_t period, std::uint8_t isPasskey = 0)
    {
        return qelPassCacheUnlockKey(key_, secret, secret ? std::strlen(secret) : 0, isPasskey, period, 0);
    }
    std::string passkey()
    {
        std::uint64_t size = 0;
        EXPECT_EQ(key_->protectionCipher(key_, nullptr, &size), QELError_NoErr);
        std::string out(size, '\0');
        EXPECT_EQ(key_->deriveProtectionKey(key_, qelContextGetSettings(context_), kSelfTestPassphrase, 20,
                                            reinterpret_cast<std::uint8_t *>(out.data())),
                  QELError_NoErr);
        return out;
    }
    std::string cached()
    {
        qelSDKAPIMutexLock();
        const std::string s = dataOf(qelPassCacheFind(context_, qelPassCacheKeyRefOf(key_)));
        qelSDKAPIMutexUnlock();
        return s;
    }

    QELSecretKeyObject *key_ = nullptr;
};

TEST_F(PassCacheUnlockTest, ACachedPasskeyUnlocksUntilItExpiresUnused)
{
    ASSERT_EQ(unlock(kSelfTestPassphrase, 60), QELError_NoErr);
    EXPECT_EQ(key_->isLocked(key_), 0u);
    EXPECT_EQ(cached(), passkey()) << "the cache holds the passkey, not the passphrase";

    relock();
    g_now += 50;
    ASSERT_EQ(unlock(nullptr, 0), QELError_NoErr);
    EXPECT_EQ(key_->isLocked(key_), 0u);
    // That use moved the expiry to 60 seconds after it.
    relock();
    g_now += 50;
    qelPassCacheExpire(context_);
    ASSERT_EQ(unlock(nullptr, 0), QELError_NoErr);

    relock();
    g_now += 61;
    qelPassCacheExpire(context_);
    EXPECT_FALSE(qelPassCacheHasEntries(context_));
    EXPECT_EQ(unlock(nullptr, 0), QELError_BadPassphrase);
    EXPECT_EQ(key_->isLocked(key_), 1u);
}

TEST_F(PassCacheUnlockTest, RefusalsAndPeriodZeroCacheNothing)
{
    EXPECT_EQ(unlock("wrong passphrase", 60), QELError_BadPassphrase);
    EXPECT_EQ(unlock(nullptr, 60), QELError_BadPassphrase) << "nothing cached";
    ASSERT_EQ(unlock(kSelfTestPassphrase, 0), QELError_NoErr);
    EXPECT_EQ(key_->isLocked(key_), 0u);
    EXPECT_EQ(counts(), (Counts{0, 0, 0}));
    // A key that is not locked: no secret is fine, a secret is refused.
    EXPECT_EQ(unlock(nullptr, 60), QELError_NoErr);
    EXPECT_EQ(unlock(kSelfTestPassphrase, 60), QELError_BadPassphrase);
    // A zero length counts as no secret.
    relock();
    EXPECT_EQ(qelPassCacheUnlockKey(key_, kSelfTestPassphrase, 0, 0, 60, 0), QELError_BadPassphrase);
}

TEST_F(PassCacheUnlockTest, StoresForAKeyTakePassphrasesAndPasskeys)
{
    EXPECT_EQ(qelPassCacheAddForKey(key_, nullptr, 5, 0, 60, 0), QELError_NoErr);
    EXPECT_EQ(qelPassCacheAddForKey(key_, kSelfTestPassphrase, 0, 0, 60, 0), QELError_NoErr);
    EXPECT_FALSE(qelPassCacheHasEntries(context_));

    ASSERT_EQ(qelPassCacheAddForKey(key_, kSelfTestPassphrase, 20, 0, 60, 1), QELError_NoErr);
    EXPECT_EQ(cached(), passkey());
    EXPECT_EQ(counts(), (Counts{0, 1, 0}));
    ASSERT_EQ(unlock(nullptr, 0), QELError_NoErr);

    ASSERT_EQ(qelPassCachePurge(context_), QELError_NoErr);
    relock();
    const std::string pk = passkey();
    ASSERT_EQ(qelPassCacheAddForKey(key_, pk.data(), pk.size(), 1, 60, 0), QELError_NoErr);
    EXPECT_EQ(cached(), pk);
    ASSERT_EQ(unlock(nullptr, 0), QELError_NoErr);
    // An unlock by passkey caches the passkey unchanged.
    ASSERT_EQ(qelPassCachePurge(context_), QELError_NoErr);
    relock();
    ASSERT_EQ(qelPassCacheUnlockKey(key_, pk.data(), pk.size(), 1, 60, 0), QELError_NoErr);
    EXPECT_EQ(cached(), pk);
}

} // namespace
