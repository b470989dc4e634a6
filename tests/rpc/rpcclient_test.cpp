// Connecting to the service and SDK start-up in service mode. The
// service-mode flag belongs to the process, so this file has a process of
// its own; each test starts from a reset client.
#include "qelMemoryInternal.h"
#include "qelRPCClientInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"
#include "qelTestService.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using qeltest::Packet;
using qeltest::ServiceAction;
using qeltest::TestService;

auto *const g_env = qeltest::addHomeEnvironment("qelrpcclient");

class RPCClient : public ::testing::Test {
protected:
    void SetUp() override { qelRPCResetForTesting(); }
    void TearDown() override
    {
        if (qelSDKIsInitialized())
            static_cast<void>(qelSDKForceCleanup());
        qelRPCResetForTesting();
        qelRPCSetSocketPathForTesting(nullptr);
    }
    std::string socketPath(const char *name) const { return g_env->dir() + "/" + name; }
};

Packet expectedHandshake()
{
    Packet bytes;
    TestService::put32(bytes, 0);  // call 0
    TestService::put64(bytes, 0);  // no client handle yet
    TestService::put32(bytes, 44); // total length
    TestService::put32(bytes, 220);
    for (int i = 0; i < 3; ++i)
        TestService::put64(bytes, 0);
    return bytes;
}

TEST_F(RPCClient, ModeMustBeOne)
{
    EXPECT_EQ(qelRPCConnect(0), QELError_NotInitialized);
    EXPECT_EQ(qelRPCConnect(2), QELError_NotInitialized);
    EXPECT_EQ(qelRPCEnabled(), 0);
    EXPECT_EQ(qelRPCClientExit(), QELError_NoErr); // never registered: nothing sent
}

TEST_F(RPCClient, StartUpWithoutServiceFails)
{
    qelRPCSetSocketPathForTesting(socketPath("nobody").c_str());
    EXPECT_EQ(qelSDKInit(QELSDKInit_NoHousekeeping), QELError_NotInitialized);
    EXPECT_FALSE(qelSDKIsInitialized());
    EXPECT_EQ(qelMemMgrGetGlobal(), nullptr);
    EXPECT_EQ(qelRPCEnabled(), 0);
}

TEST_F(RPCClient, NoServiceFlagNeverConnects)
{
    TestService service(socketPath("unused"));
    qelRPCSetSocketPathForTesting(service.path().c_str());
    ASSERT_EQ(qelSDKInit(QELSDKInit_NoService | QELSDKInit_NoHousekeeping), QELError_NoErr);
    EXPECT_EQ(qelRPCEnabled(), 0);
    EXPECT_EQ(qelSDKCleanup(), QELError_NoErr);
    EXPECT_TRUE(service.calls().empty());
}

TEST_F(RPCClient, RefusedHandshakeFailsStartUpCleanly)
{
    Packet handshake;
    TestService service(socketPath("refusing"));
    service.setScript([&](std::uint32_t call, const Packet &request) {
        if (call != 0)
            return ServiceAction{};
        handshake = request;
        return ServiceAction{ServiceAction::Kind::Send, TestService::reply(QELError_BadParams)};
    });
    qelRPCSetSocketPathForTesting(service.path().c_str());
    EXPECT_EQ(qelSDKInit(0), QELError_ServiceHandshakeFailed);
    EXPECT_EQ(handshake, expectedHandshake());
    EXPECT_FALSE(qelSDKIsInitialized());
    EXPECT_FALSE(qelHousekeepingIsRunning());
    EXPECT_EQ(qelMemMgrGetGlobal(), nullptr);
    EXPECT_EQ(qelRPCEnabled(), 0);
    EXPECT_EQ(service.calls(), std::vector<std::uint32_t>{0});
}

TEST_F(RPCClient, StartUpInServiceModeAndCleanupEndTheRegistration)
{
    TestService service(TestService::InChild{}, socketPath("service"), {}, 0x1122334455667788ull);
    qelRPCSetSocketPathForTesting(service.path().c_str());
    ASSERT_EQ(qelSDKInit(0), QELError_NoErr);
    EXPECT_EQ(qelRPCEnabled(), 1);
    EXPECT_EQ(qelRPCClientHandle(), 0x1122334455667788ull);
    // The seed file was chosen in the service.
    std::vector<std::uint32_t> calls = service.calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], 0u);
    EXPECT_EQ(calls[1], 44u);
    EXPECT_EQ(qelSDKCleanup(), QELError_NoErr);
    EXPECT_EQ(qelRPCClientHandle(), 0u);
    EXPECT_EQ(service.calls().back(), 45u);
    EXPECT_EQ(qelRPCEnabled(), 1); // the mode stays for the process
    EXPECT_EQ(qelRPCClientExit(), QELError_NoErr); // handle cleared: nothing sent
}

TEST_F(RPCClient, HandshakeAndClientExitAreByteExact)
{
    Packet handshake, exitRequest;
    TestService service(socketPath("exact"), 0x99);
    service.setScript([&](std::uint32_t call, const Packet &request) {
        (call == 0 ? handshake : exitRequest) = request;
        return ServiceAction{};
    });
    qelRPCSetSocketPathForTesting(service.path().c_str());
    // Packets come from the SDK's global memory manager.
    ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    ASSERT_EQ(qelRPCConnect(1), QELError_NoErr);
    EXPECT_EQ(qelRPCClientExit(), QELError_NoErr);
    EXPECT_EQ(handshake, expectedHandshake());
    Packet expected;
    TestService::put32(expected, 45);
    TestService::put64(expected, 0x99);
    TestService::put32(expected, 16);
    EXPECT_EQ(exitRequest, expected);
}

} // namespace
