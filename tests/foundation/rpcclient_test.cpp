// The service-mode flag is never cleared once set, so this file has a
// process of its own. A fake service on a private socket checks the
// handshake and client-exit packets byte for byte.
#include "qelMemoryInternal.h"
#include "qelRPCClientInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The socket path is reset before the home that holds the sockets goes.
class RPCHome : public qeltest::HomeEnvironment {
public:
    RPCHome() : HomeEnvironment("qelrpc") {}
    void TearDown() override
    {
        qelRPCSetSocketPathForTesting(nullptr);
        HomeEnvironment::TearDown();
    }
};
auto *const g_env = new RPCHome;
const auto *const g_registered = ::testing::AddGlobalTestEnvironment(g_env);

std::vector<unsigned char> readExactly(int fd, std::size_t n)
{
    std::vector<unsigned char> bytes(n);
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, bytes.data() + got, n - got);
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    bytes.resize(got);
    return bytes;
}

template <typename T> void put(std::vector<unsigned char> &out, T value)
{
    unsigned char b[sizeof value];
    std::memcpy(b, &value, sizeof value);
    out.insert(out.end(), b, b + sizeof value);
}

// One client connection: answers the handshake with the given status and
// handle, then answers one further request (the client exit) with 0.
class FakeService {
public:
    FakeService(const std::string &path, std::int32_t handshakeStatus, std::uint64_t handle)
        : path_(path)
    {
        listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        unlink(path.c_str());
        if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listener_, 1) != 0)
            ADD_FAILURE() << "cannot listen on " << path;
        qelRPCSetSocketPathForTesting(path.c_str());
        thread_ = std::thread([this, handshakeStatus, handle] {
            int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            handshake_ = readExactly(fd, 44);
            std::vector<unsigned char> reply;
            put<std::int32_t>(reply, handshakeStatus);
            put<std::uint32_t>(reply, 16);
            put<std::uint64_t>(reply, handle);
            if (write(fd, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
                return;
            exit_ = readExactly(fd, 16);
            if (exit_.size() == 16) {
                reply.clear();
                put<std::int32_t>(reply, 0);
                put<std::uint32_t>(reply, 8);
                if (write(fd, reply.data(), reply.size()) < 0)
                    return;
            }
            close(fd);
        });
    }
    ~FakeService()
    {
        shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        close(listener_);
        unlink(path_.c_str());
    }
    // Valid once the client has closed its end or the thread has ended.
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    std::vector<unsigned char> handshake_, exit_;

private:
    std::string path_;
    int listener_ = -1;
    std::thread thread_;
};

std::vector<unsigned char> expectedHandshake()
{
    std::vector<unsigned char> bytes;
    put<std::uint32_t>(bytes, 0); // call 0
    put<std::uint64_t>(bytes, 0); // no client handle yet
    put<std::uint32_t>(bytes, 44);
    put<std::int32_t>(bytes, 220);
    for (int i = 0; i < 3; ++i)
        put<std::uint64_t>(bytes, 0);
    return bytes;
}

TEST(RPCClient, ModeMustBeOne)
{
    EXPECT_EQ(qelRPCConnect(0), QELError_NotInitialized);
    EXPECT_EQ(qelRPCConnect(2), QELError_NotInitialized);
    EXPECT_EQ(qelRPCEnabled(), 0);
    EXPECT_EQ(qelRPCClientExit(), QELError_NoErr); // never registered: nothing sent
}

TEST(RPCClient, NoServiceFailsStartUp)
{
    qelRPCSetSocketPathForTesting((g_env->dir() + "/nobody").c_str());
    EXPECT_EQ(qelSDKInit(QELSDKInit_NoHousekeeping), QELError_NotInitialized);
    EXPECT_FALSE(qelSDKIsInitialized());
    EXPECT_EQ(qelMemMgrGetGlobal(), nullptr);
    EXPECT_EQ(qelRPCEnabled(), 0);
}

TEST(RPCClient, RefusedHandshakeFailsStartUpCleanly)
{
    {
        FakeService service(g_env->dir() + "/refusing", QELError_BadParams, 99);
        EXPECT_EQ(qelSDKInit(0), QELError_ServiceHandshakeFailed);
        service.join();
        EXPECT_EQ(service.handshake_, expectedHandshake());
        EXPECT_TRUE(service.exit_.empty());
    }
    EXPECT_FALSE(qelSDKIsInitialized());
    EXPECT_FALSE(qelHousekeepingIsRunning());
    EXPECT_EQ(qelMemMgrGetGlobal(), nullptr);
    EXPECT_EQ(qelRPCEnabled(), 0);
}

TEST(RPCClient, HandshakeRegistersAndCleanupEndsTheRegistration)
{
    const std::uint64_t handle = 0x1122334455667788ull;
    FakeService service(g_env->dir() + "/service", QELError_NoErr, handle);
    // Start-up steps after the connection may need service calls that this
    // fake does not answer; either way the registration ends again, through
    // clean-up or through the undoing of a failed start-up.
    if (qelSDKInit(QELSDKInit_NoHousekeeping) == QELError_NoErr) {
        EXPECT_EQ(qelSDKCleanup(), QELError_NoErr);
    }
    EXPECT_FALSE(qelSDKIsInitialized());
    EXPECT_EQ(qelRPCEnabled(), 1); // the mode stays for the process
    EXPECT_EQ(qelRPCClientExit(), QELError_NoErr); // handle cleared: nothing sent
    qelRPCSetSocketPathForTesting(nullptr);

    service.join();
    EXPECT_EQ(service.handshake_, expectedHandshake());
    std::vector<unsigned char> exitRequest;
    put<std::uint32_t>(exitRequest, 45);
    put<std::uint64_t>(exitRequest, handle);
    put<std::uint32_t>(exitRequest, 16);
    EXPECT_EQ(service.exit_, exitRequest);
}

} // namespace
