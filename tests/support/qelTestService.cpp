#include "qelTestService.h"

#include "qelHelpers.h"
#include "qelRPCCallsInternal.h"
#include "qelRPCClientInternal.h"
#include "qelTestHooks.h"
#include "qelContext.h"
#include "qelSDK.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <csignal>
#include <new>

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <unistd.h>

namespace qeltest {

namespace {

bool readAll(int fd, std::uint8_t *data, std::size_t length)
{
    while (length != 0) {
        ssize_t n = read(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= std::size_t(n);
    }
    return true;
}

bool writeAll(int fd, const Packet &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

// The request's items by the call table; byte strings point into the request.
bool decode(const Packet &request, const QELRPCCallInfo &info, std::array<QELRPCItem, QELRPCMaxItems> &items)
{
    qel::ByteCursor c(request.data(), request.size());
    if (!c.skip(QELRPCRequestHeaderSize))
        return false;
    for (std::size_t i = 0; i < info.request.size(); ++i) {
        QELRPCItem &item = items[i];
        const char kind = info.request[i];
        if (kind == 'h') {
            if (!c.le64(item.value))
                return false;
            continue;
        }
        std::uint32_t word;
        if (!c.le32(word))
            return false;
        if (kind == 'i' || kind == 'b') {
            item.value = kind == 'b' ? (word & 0xFF) : word;
            continue;
        }
        std::span<const std::uint8_t> bytes;
        if (!c.bytes(word, bytes) || !c.skip(std::min<std::size_t>((4 - word % 4) % 4, c.remaining())))
            return false;
        item.data = word != 0 ? bytes.data() : nullptr;
        item.length = word;
    }
    return true;
}

} // namespace

void TestService::put32(Packet &out, std::uint32_t value)
{
    std::uint8_t b[4];
    std::memcpy(b, &value, 4);
    out.insert(out.end(), b, b + 4);
}

void TestService::put64(Packet &out, std::uint64_t value)
{
    std::uint8_t b[8];
    std::memcpy(b, &value, 8);
    out.insert(out.end(), b, b + 8);
}

void TestService::putString(Packet &out, const void *data, std::uint32_t length)
{
    put32(out, length);
    const auto *p = static_cast<const std::uint8_t *>(data);
    if (length != 0)
        out.insert(out.end(), p, p + length);
    out.resize(out.size() + (4 - length % 4) % 4, 0);
}

Packet TestService::reply(std::int32_t status, const Packet &items)
{
    Packet out;
    put32(out, std::uint32_t(status));
    put32(out, std::uint32_t(8 + items.size()));
    out.insert(out.end(), items.begin(), items.end());
    return out;
}

Packet serveInProcess(QELContext *context, const Packet &request)
{
    std::uint32_t call = 0;
    std::memcpy(&call, request.data(), 4);
    const QELRPCCallInfo *info = qelRPCCallFind(call);
    std::array<QELRPCItem, QELRPCMaxItems> in{}, out{};
    if (info == nullptr || !decode(request, *info, in))
        return TestService::reply(-12000);
    qelRPCSetServingThreadForTesting(true);
    const QELStatus status = qelRPCRunLocal(context, call, std::span(in.data(), info->request.size()),
                                            std::span(out.data(), info->reply.size()));
    qelRPCSetServingThreadForTesting(false);
    Packet items;
    const bool withItems = status == 0 && !(call == QELRPCCall_KeyDBAddKeySet && (in[3].value & 0xFF) == 0);
    for (std::size_t i = 0; withItems && i < info->reply.size(); ++i) {
        const char kind = info->reply[i];
        if (kind == 'h')
            TestService::put64(items, out[i].value);
        else if (kind == 's' || kind == 'k')
            TestService::putString(items, out[i].block, std::uint32_t(out[i].length));
        else
            TestService::put32(items, std::uint32_t(out[i].value));
    }
    qelRPCItemsRelease(std::span(out.data(), info->reply.size()));
    return TestService::reply(status, items);
}

TestService::TestService(std::string path, std::uint64_t clientHandle) : path_(std::move(path)), handle_(clientHandle)
{
    listenOn();
    if (listener_ >= 0)
        acceptor_ = std::thread([this] { acceptLoop(); });
}

TestService::TestService(InChild, std::string path, Script script, std::uint64_t clientHandle)
    : path_(std::move(path)), handle_(clientHandle), script_(std::move(script))
{
    void *shared = mmap(nullptr, sizeof(SharedLog), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        return;
    log_ = new (shared) SharedLog{};
    listenOn();
    if (listener_ < 0)
        return;
    child_ = fork();
    if (child_ != 0)
        return;
    // The child: an SDK of its own, then one connection after another.
    if (qelSDKInit(QELSDKInit_NoService | QELSDKInit_NoHousekeeping) != QELError_NoErr)
        _exit(3);
    QELContext *context = nullptr;
    if (qelContextNew(QELSDKVersion, &context) == QELError_NoErr)
        context_.store(context);
    for (;;) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            _exit(0);
        }
        serve(fd);
        close(fd);
    }
}

void TestService::listenOn()
{
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    unlink(path_.c_str());
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0) {
        if (listener_ >= 0)
            close(listener_);
        listener_ = -1;
    }
}

void TestService::record(std::uint32_t call)
{
    if (log_ != nullptr) {
        const std::uint32_t n = log_->count.load();
        if (n < sizeof log_->calls / sizeof log_->calls[0]) {
            log_->calls[n] = call;
            log_->count.store(n + 1);
        }
        return;
    }
    std::lock_guard lock(lock_);
    calls_.push_back(call);
}

TestService::~TestService()
{
    if (child_ > 0) {
        kill(child_, SIGKILL);
        int status = 0;
        waitpid(child_, &status, 0);
    }
    stopping_.store(true);
    if (listener_ >= 0)
        shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable())
        acceptor_.join();
    {
        std::lock_guard lock(lock_);
        for (int fd : connections_)
            shutdown(fd, SHUT_RDWR);
    }
    for (std::thread &t : workers_)
        t.join();
    for (int fd : connections_)
        close(fd);
    if (listener_ >= 0)
        close(listener_);
    unlink(path_.c_str());
    if (log_ != nullptr)
        munmap(log_, sizeof(SharedLog));
}

void TestService::setScript(Script script)
{
    std::lock_guard lock(lock_);
    script_ = std::move(script);
}

std::vector<std::uint32_t> TestService::calls()
{
    if (log_ != nullptr)
        return std::vector<std::uint32_t>(log_->calls, log_->calls + log_->count.load());
    std::lock_guard lock(lock_);
    return calls_;
}

void TestService::acceptLoop()
{
    for (;;) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        std::lock_guard lock(lock_);
        if (stopping_.load()) {
            close(fd);
            return;
        }
        connections_.push_back(fd);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void TestService::serve(int fd)
{
    for (;;) {
        // One read usually brings a whole small request.
        Packet request(4096);
        std::size_t got = 0;
        while (got < QELRPCRequestHeaderSize) {
            ssize_t n = read(fd, request.data() + got, request.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += std::size_t(n);
        }
        if (got < QELRPCRequestHeaderSize)
            break;
        std::uint32_t call, total;
        std::memcpy(&call, request.data(), 4);
        std::memcpy(&total, request.data() + 12, 4);
        if (total < QELRPCRequestHeaderSize || total > QELRPCMaxPacketSize || got > total)
            break;
        request.resize(total);
        if (!readAll(fd, request.data() + got, total - got))
            break;
        record(call);
        Script script;
        if (log_ != nullptr) {
            script = script_;
        } else {
            std::lock_guard lock(lock_);
            script = script_;
        }
        ServiceAction action;
        if (script)
            action = script(call, request);
        if (action.kind == ServiceAction::Kind::Silent)
            continue;
        if (action.kind == ServiceAction::Kind::Send || action.kind == ServiceAction::Kind::SendClose) {
            if (!writeAll(fd, action.bytes) || action.kind == ServiceAction::Kind::SendClose)
                break;
            continue;
        }
        if (call == QELRPCCall_Handshake) {
            Packet items;
            put64(items, handle_);
            if (!writeAll(fd, reply(0, items)))
                break;
            continue;
        }
        const Packet answer = call == QELRPCCall_ClientExit ? reply(0) : serveInProcess(context_.load(), request);
        if (!writeAll(fd, answer))
            break;
    }
    shutdown(fd, SHUT_RDWR);
}

} // namespace qeltest
