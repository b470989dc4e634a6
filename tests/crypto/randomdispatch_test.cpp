// The random-number dispatchers in a process without a service connection.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "qelContextInternal.h"
#include "qelFileSpecInternal.h"
#include "qelMemoryInternal.h"
#include "qelRPCClientInternal.h"
#include "qelRandomContextInternal.h"
#include "qelRandomDispatchInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"

namespace {

class RandomDispatchTest : public qeltest::SDKHomeTest {
protected:
    RandomDispatchTest() : SDKHomeTest("qeldispatch") {}
    void SetUp() override
    {
        SDKHomeTest::SetUp();
        ASSERT_EQ(qelRPCEnabled(), 0);
    }
};

TEST_F(RandomDispatchTest, StatusMatchesTheLocalPool)
{
    qelRandomPoolRaiseEntropy(123);
    std::int32_t e1 = 0, e2 = 0;
    std::uint32_t s1 = 0, s2 = 0, m1 = 0, m2 = 0;
    std::uint8_t n1 = 7, n2 = 8, f1 = 7, f2 = 8;
    EXPECT_EQ(qelRandomPoolGetStatusDispatch(&e1, &s1, &m1, &n1, &f1), 0);
    EXPECT_EQ(qelRandomPoolGetStatusLocal(&e2, &s2, &m2, &n2, &f2), 0);
    EXPECT_EQ(e1, e2);
    EXPECT_GE(e1, 123);
    EXPECT_EQ(s1, s2);
    EXPECT_EQ(m1, m2);
    EXPECT_EQ(n1, n2);
    EXPECT_EQ(f1, f2);
    EXPECT_EQ(qelRandomPoolGetEntropy(), e1);
}

TEST_F(RandomDispatchTest, EventsReachTheLocalBackEnd)
{
    EXPECT_EQ(qelRandomPoolAddEventDispatch(0, 0, 0, 0), 0);
    EXPECT_GE(qelRandomPoolAddEventDispatch(1, 'z', 0, 0), 0);
    EXPECT_EQ(qelRandomPoolAddEventDispatch(0, 0, 0, 1), 0);   // this host has /dev/urandom
    EXPECT_TRUE(qelRandomPoolIsSeeded());
}

TEST_F(RandomDispatchTest, SeedFileSelectionReachesTheSeedFile)
{
    std::string path = dir() + "/other.rnd";
    QELFileSpec *spec = nullptr;
    ASSERT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(context_), path.c_str(), &spec), 0);
    EXPECT_EQ(qelRandomSeedFileSetDispatch(spec), 0);
    static_cast<void>(qelFileSpecFree(spec));
}

TEST_F(RandomDispatchTest, ArgumentErrorsClearOuts)
{
    void *block = reinterpret_cast<void *>(0x1);
    std::uint32_t length = 99;
    EXPECT_EQ(qelRandomGetBytesDispatch(nullptr, 16, 0, &block, &length), QELError_BadParams);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(qelRandomGetBytesDispatch(context_, 16, 0, nullptr, &length), QELError_BadParams);
    EXPECT_EQ(qelRandomStirDispatch(nullptr), QELError_BadParams);
    EXPECT_EQ(qelRandomAddBytesDispatch(nullptr, "x", 1), QELError_BadParams);
    EXPECT_EQ(qelRandomAddBytesDispatch(context_, nullptr, 1), QELError_BadParams);
}

TEST_F(RandomDispatchTest, ContextRandomOperations)
{
    if (qelContextGetRandomContext(context_) == nullptr) {
        // No generator can be made in this build yet: the dispatchers say so.
        void *block = nullptr;
        std::uint32_t length = 0;
        EXPECT_EQ(qelRandomStirDispatch(context_), QELError_Unavailable);
        EXPECT_EQ(qelRandomAddBytesDispatch(context_, "x", 1), QELError_Unavailable);
        EXPECT_EQ(qelRandomGetBytesDispatch(context_, 16, 0, &block, &length),
                  QELError_Unavailable);
        EXPECT_EQ(block, nullptr);
        return;
    }
    EXPECT_EQ(qelRandomStirDispatch(context_), 0);
    EXPECT_EQ(qelRandomAddBytesDispatch(context_, "entropy", 7), 0);
    void *a = nullptr, *b = nullptr;
    std::uint32_t la = 0, lb = 0;
    ASSERT_EQ(qelRandomGetBytesDispatch(context_, 48, 0, &a, &la), 0);
    ASSERT_EQ(qelRandomGetBytesDispatch(context_, 48, 0, &b, &lb), 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(la, 48u);
    EXPECT_EQ(lb, 48u);
    EXPECT_NE(std::memcmp(a, b, 48), 0);
    EXPECT_NE(qelMemBlockInfo(a), 0);   // a block of the context's manager
    std::memset(a, 0, 48);
    std::memset(b, 0, 48);
    static_cast<void>(qelMemFree(a));
    static_cast<void>(qelMemFree(b));
}

} // namespace
