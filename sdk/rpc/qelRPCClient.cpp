// The client end of the local SDK service connection: connecting, the
// handshake that registers this client, the exchange of one request for one
// reply, and ending the registration.
//
// The stream is the only channel to the service, so the exchange guards it:
// every transfer rides out short reads and writes and interrupts, writes
// never raise SIGPIPE, and a reply that cannot be trusted (a header short or
// out of bounds, a service that goes away or falls silent, bytes beyond the
// reply) closes the connection rather than leaving the next call reading
// the middle of an old reply. The client never ends the process.
#include "qelRPCClientInternal.h"

#include "qelHelpers.h"
#include "qelMemoryInternal.h"
#include "qelTestHooks.h"
#include "qelWipe.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char kServicePath[] = "/var/.qelsdksock";
constexpr std::uint32_t kCallHandshake = 0;
constexpr std::uint32_t kCallClientExit = 45;
constexpr std::int32_t kProtocolNumber = 220;

std::atomic<std::uint8_t> g_serviceMode{0};
std::atomic<std::uint64_t> g_clientHandle{0};
// The socket and every request/reply exchange on it.
std::mutex g_serviceLock;
int g_socket = -1;
std::string g_socketPath = kServicePath; // guarded by g_serviceLock
// How long a reply may keep the client waiting, in milliseconds (-1: as
// long as it takes; key generation in the service can take minutes).
std::atomic<int> g_replyTimeout{-1};
std::atomic<int> g_failReplyAlloc{0};
thread_local bool t_serving = false;

enum class Transfer { Done, Lost, TimedOut };

Transfer waitReadable(int fd)
{
    const int timeout = g_replyTimeout.load();
    if (timeout < 0)
        return Transfer::Done;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, timeout);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return Transfer::Lost;
        return r == 0 ? Transfer::TimedOut : Transfer::Done;
    }
}

Transfer readAll(int fd, std::uint8_t *data, std::size_t length)
{
    while (length != 0) {
        if (Transfer w = waitReadable(fd); w != Transfer::Done)
            return w;
        ssize_t n = read(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Transfer::Lost;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return Transfer::Done;
}

bool writeAll(int fd, const std::uint8_t *data, std::size_t length)
{
    while (length != 0) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads and drops n bytes, keeping the stream in step when the reply could
// not be kept.
Transfer drain(int fd, std::uint64_t n)
{
    std::uint8_t scratch[4096];
    while (n != 0) {
        std::size_t chunk = n < sizeof scratch ? std::size_t(n) : sizeof scratch;
        if (Transfer t = readAll(fd, scratch, chunk); t != Transfer::Done)
            return t;
        n -= chunk;
    }
    return Transfer::Done;
}

// With the lock held.
void closeLocked()
{
    if (g_socket >= 0)
        close(g_socket);
    g_socket = -1;
}

QELStatus transferFailure(Transfer t)
{
    return t == Transfer::TimedOut ? QELError_Unavailable : QELError_ReadFailed;
}

// Bytes waiting on the socket before a request is sent mean the service is
// not answering one reply per request. (A service that has gone shows at
// the write.)
bool streamQuiet(int fd)
{
    std::uint8_t byte;
    for (;;) {
        ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        return n <= 0;
    }
}

std::uint8_t *allocReply(std::size_t size)
{
    if (int n = g_failReplyAlloc.load(); n > 0) {
        g_failReplyAlloc.store(n - 1);
        if (n == 1)
            return nullptr;
    }
    QELMemoryMgr *mgr = qelMemMgrGetGlobal();
    return mgr != nullptr ? static_cast<std::uint8_t *>(qelMemAlloc(mgr, size, 0)) : nullptr;
}

// The exchange itself, under the lock; the request stays the caller's.
QELStatus exchangeLocked(QELRPCPacket *request, QELRPCPacket *reply)
{
    if (g_socket < 0)
        return QELError_NotInitialized;
    const int fd = g_socket;
    if (!streamQuiet(fd)) {
        closeLocked();
        return QELError_BadPacketFormat;
    }
    const auto total = static_cast<std::uint32_t>(request->length);
    std::memcpy(request->data + 12, &total, 4);
    if (!writeAll(fd, request->data, total)) {
        closeLocked();
        return QELError_WriteFailed;
    }
    // One read usually brings the whole of a small reply. A service that
    // sends more than the reply it announces is out of step.
    std::uint8_t first[256];
    std::size_t got = 0;
    while (got < QELRPCReplyHeaderSize) {
        if (Transfer w = waitReadable(fd); w != Transfer::Done) {
            closeLocked();
            return transferFailure(w);
        }
        ssize_t n = read(fd, first + got, sizeof first - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            closeLocked();
            return QELError_ReadFailed;
        }
        got += static_cast<std::size_t>(n);
    }
    std::int32_t status;
    std::uint32_t length;
    if (qelRPCReplyHeaderCheck(first, &status, &length) != QELError_NoErr || got > length) {
        closeLocked();
        return QELError_BadPacketFormat;
    }
    std::uint8_t *block = allocReply(length);
    if (block == nullptr) {
        if (drain(fd, length - got) != Transfer::Done)
            closeLocked();
        return QELError_OutOfMemory;
    }
    std::memcpy(block, first, got);
    if (Transfer t = readAll(fd, block + got, length - got); t != Transfer::Done) {
        static_cast<void>(qelMemFree(block));
        closeLocked();
        return transferFailure(t);
    }
    reply->data = block;
    reply->capacity = static_cast<std::int32_t>(length);
    reply->length = static_cast<std::int32_t>(QELRPCReplyHeaderSize);
    reply->secure = 0;
    return status;
}

} // namespace

QELStatus qelRPCReplyHeaderCheck(const std::uint8_t *header, std::int32_t *outStatus, std::uint32_t *outLength)
{
    qel::ByteCursor c(header, QELRPCReplyHeaderSize);
    std::uint32_t status = 0, length = 0;
    if (!c.le32(status) || !c.le32(length) || length < QELRPCReplyHeaderSize || length > QELRPCMaxPacketSize)
        return QELError_BadPacketFormat;
    *outStatus = static_cast<std::int32_t>(status);
    *outLength = length;
    return QELError_NoErr;
}

QELStatus qelRPCSendPacket(QELRPCPacket *request, QELRPCPacket *reply)
{
    if (reply != nullptr)
        *reply = QELRPCPacket{};
    if (request == nullptr || reply == nullptr || request->data == nullptr ||
        request->length < std::int32_t(QELRPCRequestHeaderSize)) {
        qelRPCPacketRelease(request);
        return QELError_BadParams;
    }
    QELStatus status;
    {
        std::lock_guard lock(g_serviceLock);
        status = exchangeLocked(request, reply);
    }
    qelRPCPacketRelease(request);
    return status;
}

void qelRPCMarkDead()
{
    std::lock_guard lock(g_serviceLock);
    closeLocked();
}

std::uint8_t qelRPCEnabled()
{
    return t_serving ? 0 : g_serviceMode.load(std::memory_order_acquire);
}

std::uint64_t qelRPCClientHandle()
{
    return g_clientHandle.load();
}

QELStatus qelRPCHandshake()
{
    QELRPCPacket request{};
    QELStatus status = qelRPCPacketNew(&request, kCallHandshake, 0);
    if (status == QELError_NoErr)
        status = qelRPCPacketAppendInt(&request, kProtocolNumber);
    for (int i = 0; i < 3 && status == QELError_NoErr; ++i)
        status = qelRPCPacketAppendU64(&request, 0);
    if (status != QELError_NoErr) {
        qelRPCPacketRelease(&request);
        return status;
    }
    QELRPCPacket reply{};
    status = qelRPCSendPacket(&request, &reply);
    if (status == QELError_NoErr) {
        if (qelRPCReplyRemaining(&reply) < 8)
            status = QELError_ServiceReplyTruncated;
        else
            g_clientHandle.store(qelRPCReplyReadU64(&reply));
    }
    qelRPCPacketRelease(&reply);
    return status;
}

QELStatus qelRPCConnect(std::int32_t mode)
{
    if (mode != 1)
        return QELError_NotInitialized;
    {
        std::lock_guard lock(g_serviceLock);
        closeLocked();
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
        int r;
        do
            r = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        while (r != 0 && errno == EINTR);
        if (r != 0) {
            close(fd);
            return QELError_NotInitialized;
        }
        g_socket = fd;
    }
    if (qelRPCHandshake() != QELError_NoErr) {
        // A half-registered connection is of no use; the next start-up
        // connects afresh.
        qelRPCMarkDead();
        return QELError_ServiceHandshakeFailed;
    }
    g_serviceMode.store(1, std::memory_order_release);
    return QELError_NoErr;
}

void qelRPCDisconnect()
{
    qelRPCMarkDead();
}

QELStatus qelRPCClientExit()
{
    const std::uint64_t handle = g_clientHandle.load();
    if (handle == 0)
        return QELError_NoErr;
    QELRPCPacket request{};
    QELStatus status = qelRPCPacketNew(&request, kCallClientExit, handle);
    if (status != QELError_NoErr)
        return status;
    QELRPCPacket reply{};
    status = qelRPCSendPacket(&request, &reply);
    qelRPCPacketRelease(&reply);
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
void qelRPCSetReplyTimeoutForTesting(int milliseconds)
{
    g_replyTimeout.store(milliseconds);
}
void qelRPCFailReplyAllocForTesting(int n)
{
    g_failReplyAlloc.store(n);
}
void qelRPCSetServingThreadForTesting(bool serving)
{
    t_serving = serving;
}
void qelRPCResetForTesting()
{
    std::lock_guard lock(g_serviceLock);
    closeLocked();
    g_serviceMode.store(0);
    g_clientHandle.store(0);
}
#endif
