// The client end of the local SDK service connection: connecting, the
// handshake that registers this client, and ending the registration.
#include "qelRPCClientInternal.h"
#include "qelTestHooks.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char kServicePath[] = "/var/.qelsdksock";
constexpr std::uint32_t kCallHandshake = 0;
constexpr std::uint32_t kCallClientExit = 45;
constexpr std::int32_t kProtocolNumber = 220;
constexpr std::size_t kReplyHeaderSize = 8;
// A reply larger than this is not a reply to the two calls made here.
constexpr std::uint32_t kMaxReplySize = 1u << 20;

std::atomic<std::uint8_t> g_serviceMode{0};
std::atomic<std::uint64_t> g_clientHandle{0};
// The socket and every request/reply exchange on it.
std::mutex g_serviceLock;
int g_socket = -1;
std::string g_socketPath = kServicePath; // guarded by g_serviceLock

void appendBytes(std::vector<unsigned char> &packet, const void *data, std::size_t length)
{
    const auto *p = static_cast<const unsigned char *>(data);
    packet.insert(packet.end(), p, p + length);
}

std::vector<unsigned char> newRequest(std::uint32_t call, std::uint64_t handle)
{
    std::vector<unsigned char> packet;
    packet.reserve(64);
    const std::uint32_t zero = 0;
    appendBytes(packet, &call, 4);
    appendBytes(packet, &handle, 8);
    appendBytes(packet, &zero, 4); // total length, stored by the exchange
    return packet;
}

// Repeats a partial transfer until all bytes went, riding out interrupts;
// false when the peer is gone or the transfer fails.
template <typename Byte, typename Transfer>
bool transferAll(Byte *data, std::size_t length, Transfer transfer)
{
    while (length != 0) {
        ssize_t n = transfer(data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const unsigned char *data, std::size_t length)
{
    return transferAll(data, length, [fd](const unsigned char *p, std::size_t n) {
        return send(fd, p, n, MSG_NOSIGNAL);
    });
}

bool readAll(int fd, unsigned char *data, std::size_t length)
{
    return transferAll(data, length,
                       [fd](unsigned char *p, std::size_t n) { return read(fd, p, n); });
}

// Sends one request and reads its reply body (the items behind the reply
// header). Returns the reply's status, or failure when the exchange itself
// broke down.
QELStatus exchange(std::vector<unsigned char> request, std::vector<unsigned char> &body,
                   QELStatus failure)
{
    std::lock_guard lock(g_serviceLock);
    if (g_socket < 0)
        return failure;
    const auto total = static_cast<std::uint32_t>(request.size());
    std::memcpy(request.data() + 12, &total, 4);
    if (!writeAll(g_socket, request.data(), request.size()))
        return failure;
    unsigned char header[kReplyHeaderSize];
    if (!readAll(g_socket, header, sizeof header))
        return failure;
    std::int32_t status;
    std::uint32_t length;
    std::memcpy(&status, header, 4);
    std::memcpy(&length, header + 4, 4);
    if (length < kReplyHeaderSize || length > kMaxReplySize)
        return failure;
    body.resize(length - kReplyHeaderSize);
    if (!readAll(g_socket, body.data(), body.size()))
        return failure;
    return status;
}

QELStatus handshake()
{
    auto request = newRequest(kCallHandshake, 0);
    const std::uint64_t zero = 0;
    appendBytes(request, &kProtocolNumber, 4);
    for (int i = 0; i < 3; ++i)
        appendBytes(request, &zero, 8);
    std::vector<unsigned char> body;
    QELStatus status = exchange(std::move(request), body, QELError_ServiceHandshakeFailed);
    if (status != QELError_NoErr || body.size() < 8)
        return QELError_ServiceHandshakeFailed;
    std::uint64_t handle;
    std::memcpy(&handle, body.data(), 8);
    g_clientHandle.store(handle);
    return QELError_NoErr;
}

} // namespace

std::uint8_t qelRPCEnabled()
{
    return g_serviceMode.load(std::memory_order_acquire);
}

QELStatus qelRPCConnect(std::int32_t mode)
{
    if (mode != 1)
        return QELError_NotInitialized;
    {
        std::lock_guard lock(g_serviceLock);
        if (g_socket < 0) {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0)
                return QELError_NotInitialized;
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            static_assert(sizeof kServicePath <= sizeof address.sun_path);
            if (g_socketPath.size() >= sizeof address.sun_path) {
                close(fd);
                return QELError_NotInitialized;
            }
            std::memcpy(address.sun_path, g_socketPath.c_str(), g_socketPath.size() + 1);
            if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
                close(fd);
                return QELError_NotInitialized;
            }
            g_socket = fd;
        }
    }
    if (handshake() != QELError_NoErr) {
        // A half-registered connection is of no use; the next start-up
        // connects afresh.
        std::lock_guard lock(g_serviceLock);
        if (g_socket >= 0 && g_serviceMode.load() == 0) {
            close(g_socket);
            g_socket = -1;
        }
        return QELError_ServiceHandshakeFailed;
    }
    g_serviceMode.store(1, std::memory_order_release);
    return QELError_NoErr;
}

QELStatus qelRPCClientExit()
{
    const std::uint64_t handle = g_clientHandle.load();
    if (handle == 0)
        return QELError_NoErr;
    std::vector<unsigned char> body;
    QELStatus status =
        exchange(newRequest(kCallClientExit, handle), body, QELError_NotInitialized);
    if (status == QELError_NoErr)
        g_clientHandle.store(0);
    return status;
}

QELStatus qelSelfTestNone()
{
    return QELError_NoErr;
}

#ifdef QEL_TEST_HOOKS
void qelRPCSetSocketPathForTesting(const char *path)
{
    std::lock_guard lock(g_serviceLock);
    g_socketPath = path != nullptr ? path : kServicePath;
}
#endif
