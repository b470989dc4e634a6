#include "qelContextInternal.h"
#include "qelMemPoolInternal.h"
#include "qelMemoryInternal.h"
#include "qelRandomContextInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelSDKInternal.h"
#include "qelSettingsInternal.h"
#include "qelTestEnv.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const auto *const g_env = qeltest::addHomeEnvironment("qelcontext");

class ContextTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    }
    void TearDown() override { static_cast<void>(qelSDKForceCleanup()); }
};

// The same with one context, made before each test and freed after it.
class OneContextTest : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        ASSERT_EQ(qelContextNew(QELSDKVersion, &context), QELError_NoErr);
    }
    void TearDown() override
    {
        static_cast<void>(qelContextFree(context));
        ContextTest::TearDown();
    }

    QELContext *context = nullptr;
};

TEST(ContextBeforeStartUp, RefusedWithNotInitialized)
{
    ASSERT_FALSE(qelSDKIsInitialized());
    QELContext *context = reinterpret_cast<QELContext *>(1);
    EXPECT_EQ(qelContextNew(QELSDKVersion, &context), QELError_NotInitialized);
    EXPECT_EQ(context, nullptr);
}

TEST_F(ContextTest, RejectsBadArguments)
{
    QELContext *context = reinterpret_cast<QELContext *>(1);
    EXPECT_EQ(qelContextNew(0x02000000, &context), QELError_BadSDKVersion);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(qelContextNew(QELSDKVersion, nullptr), QELError_BadParams);
    EXPECT_EQ(qelContextNewCustom(nullptr, &context), QELError_BadParams);
    QELContextParams noManager{QELSDKVersion, nullptr};
    EXPECT_EQ(qelContextNewCustom(&noManager, &context), QELError_BadParams);
    EXPECT_EQ(context, nullptr);

    // Null and foreign handles.
    std::uint64_t foreign[32] = {};
    auto *fake = reinterpret_cast<QELContext *>(foreign);
    void *value = &value;
    for (QELContext *bad : {static_cast<QELContext *>(nullptr), fake}) {
        EXPECT_FALSE(qelContextIsValid(bad));
        EXPECT_EQ(qelContextFree(bad), QELError_BadParams);
        EXPECT_EQ(qelContextGetMemoryMgr(bad), nullptr);
        EXPECT_EQ(qelContextSetUserValue(bad, nullptr), QELError_BadParams);
        EXPECT_EQ(qelContextGetUserValue(bad, &value), QELError_BadParams);
        EXPECT_EQ(value, nullptr);
        EXPECT_EQ(qelContextMemFree(bad, nullptr), QELError_BadParams);
        EXPECT_EQ(qelContextMemAlloc(bad, 8, 0), nullptr);
        EXPECT_EQ(qelContextGetSettings(bad), nullptr);
    }
}

TEST_F(ContextTest, ListIsNewestFirstAndSurvivesRemovalFromTheMiddle)
{
    QELContext *c[3] = {};
    for (auto &context : c)
        ASSERT_EQ(qelContextNew(QELSDKVersion, &context), QELError_NoErr);
    EXPECT_EQ(qelContextNext(nullptr), c[2]);
    EXPECT_EQ(qelContextNext(c[2]), c[1]);
    EXPECT_EQ(qelContextNext(c[1]), c[0]);
    EXPECT_EQ(qelContextNext(c[0]), nullptr);

    static_cast<void>(qelContextFree(c[1]));
    EXPECT_EQ(qelContextNext(nullptr), c[2]);
    EXPECT_EQ(qelContextNext(c[2]), c[0]);
    EXPECT_EQ(qelContextNext(c[0]), nullptr);
    static_cast<void>(qelContextFree(c[2]));
    EXPECT_EQ(qelContextNext(nullptr), c[0]);
    static_cast<void>(qelContextFree(c[0]));
    EXPECT_EQ(qelContextNext(nullptr), nullptr);
}

TEST_F(OneContextTest, FieldsAndMemoryHelpers)
{
    EXPECT_EQ(qelMemMgrIsValid(qelContextGetMemoryMgr(context)), QELError_NoErr);
    EXPECT_NE(qelContextGetSettings(context), nullptr);
    EXPECT_EQ(qelSettingsGetContext(qelContextGetSettings(context)), context);
    EXPECT_EQ(qelContextGetReservedWord(context), 0u);
    EXPECT_EQ(qelContextGetPendingNotify(context), 0);
    EXPECT_EQ(qelContextGetKeyDBList(context), nullptr);
    EXPECT_EQ(qelContextGetPassCache(context), nullptr);

    int marker = 0;
    void *value = nullptr;
    EXPECT_EQ(qelContextGetUserValue(context, nullptr), QELError_BadParams);
    EXPECT_EQ(qelContextGetUserValue(context, &value), QELError_NoErr);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(qelContextSetUserValue(context, &marker), QELError_NoErr);
    EXPECT_EQ(qelContextGetUserValue(context, &value), QELError_NoErr);
    EXPECT_EQ(value, &marker);

    const char text[] = "copy me";
    auto *copy = static_cast<char *>(qelContextMemAllocCopy(context, sizeof text, 0, text));
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, text);
    EXPECT_EQ(qelMemBlockInfo(copy), 1);
    void *grown = copy;
    EXPECT_EQ(qelContextMemRealloc(context, &grown, 4096, QELMemFlag_Clear), QELError_NoErr);
    EXPECT_STREQ(static_cast<char *>(grown), text);
    EXPECT_EQ(static_cast<unsigned char *>(grown)[4095], 0);
    EXPECT_EQ(qelContextMemFree(context, grown), QELError_NoErr);

    auto *zeroed = static_cast<unsigned char *>(qelContextMemAlloc(context, 64, QELMemFlag_Clear));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(zeroed, zeroed + 64), std::vector<unsigned char>(64, 0));
    EXPECT_EQ(qelContextMemFree(context, zeroed), QELError_NoErr);

    void *none = &none;
    EXPECT_EQ(qelContextGetRandomBytes(context, nullptr, 8), QELError_BadParams);
}

TEST_F(OneContextTest, FreshContextHoldsOnePoolChunk)
{
    QELMemPool *pool = qelContextGetMemoryPool(context);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->context, context);
    EXPECT_EQ(pool->total, 0x40000u);
    EXPECT_NE(pool->chunks, nullptr);

    // Pool-manager blocks are guarded blocks inside that chunk; a release
    // to a mark frees the chunks made after it.
    const QELMemPool mark = *pool;
    void *small = qelContextPoolMemAlloc(context, 100, QELMemFlag_Clear);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(qelMemBlockInfo(small), 1);
    EXPECT_EQ(pool->total, 0x40000u);
    ASSERT_NE(qelContextPoolMemAlloc(context, 0x50000, 0), nullptr);
    EXPECT_GT(pool->total, 0x40000u);
    qelContextReleasePool(context, &mark);
    EXPECT_EQ(pool->total, 0x40000u);
    EXPECT_EQ(pool->chunks, mark.chunks);
    EXPECT_EQ(qelMemMgrIsValid(qelContextGetPoolMemoryMgr(context)), QELError_NoErr);
}

TEST_F(OneContextTest, PoolAndDummyRandomContextsAreMadeOnce)
{
    QELRandomContext *pool = qelContextGetPoolRandomContext(context);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->context, context);
    EXPECT_EQ(pool->descriptor, qelRandomPoolGlobalDescriptor());
    EXPECT_EQ(pool->state, nullptr);
    EXPECT_EQ(qelContextGetPoolRandomContext(context), pool);

    QELRandomContext *dummy = qelContextGetDummyRandomContext(context);
    ASSERT_NE(dummy, nullptr);
    EXPECT_EQ(dummy->descriptor, qelRandomPoolDummyDescriptor());
    EXPECT_EQ(qelContextGetDummyRandomContext(context), dummy);
    EXPECT_NE(dummy, pool);
    EXPECT_EQ(qelContextGetPoolRandomContext(nullptr), nullptr);
    // Both go with the context (the sanitizer build checks for leaks).
}

TEST_F(OneContextTest, RandomBytesComeFromTheContextsGenerator)
{
    QELRandomContext *generator = qelContextGetRandomContext(context);
    ASSERT_NE(generator, nullptr);
    EXPECT_EQ(qelContextGetRandomContext(context), generator);

    std::vector<unsigned char> first(32, 0), second(32, 0);
    QELStatus status = qelContextGetRandomBytes(context, first.data(), 32);
    if (status == QELError_NoErr) {
        ASSERT_EQ(qelContextGetRandomBytes(context, second.data(), 32), QELError_NoErr);
        EXPECT_NE(first, second);
        EXPECT_NE(first, std::vector<unsigned char>(32, 0));
    } else {
        // Too little entropy: the buffer is left alone.
        EXPECT_EQ(status, QELError_OutOfEntropy);
        EXPECT_EQ(first, std::vector<unsigned char>(32, 0));
    }
    EXPECT_GE(qelContextReserveRandomBytes(context, 16), 0);
    EXPECT_EQ(qelContextReserveRandomBytes(nullptr, 16), 0);
}

// Every allocation that creating a context makes is refused in turn (the
// record, the settings, their strings, the pool's first chunk and the pool's
// manager): each failure reports out of memory, leaves the out-parameter
// null and releases everything but the caller's manager.
TEST_F(ContextTest, EveryAllocationFailureIsCleanOutOfMemory)
{
    int failures = 0;
    bool succeeded = false;
    for (int allowed = 1; allowed < 64 && !succeeded; ++allowed) {
        SCOPED_TRACE(allowed);
        qeltest::TestHeap budget;
        budget.allowed = allowed;
        QELContextParams params{QELSDKVersion, budget.make()};
        ASSERT_NE(params.memoryMgr, nullptr);
        QELContext *context = reinterpret_cast<QELContext *>(1);
        QELStatus status = qelContextNewCustom(&params, &context);
        if (status == QELError_NoErr) {
            succeeded = true;
            ASSERT_NE(context, nullptr);
            static_cast<void>(qelContextFree(context));
        } else {
            ++failures;
            EXPECT_EQ(status, QELError_OutOfMemory);
            EXPECT_EQ(context, nullptr);
            EXPECT_EQ(qelContextNext(nullptr), nullptr);
            // The manager is still the caller's, and the only block left.
            EXPECT_EQ(budget.live, 1);
            EXPECT_EQ(qelMemMgrFree(params.memoryMgr), QELError_NoErr);
        }
        EXPECT_EQ(budget.live, 0);
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GE(failures, 3);
}

} // namespace
