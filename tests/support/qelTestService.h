// A local SDK service for the tests and the benchmarks: it listens on a
// socket path the test chooses, answers the handshake and the client exit,
// and serves every other request with the call's in-process branch (its
// threads see no service connection, as a service process would) unless a
// script answers it first with bytes of its own.
#pragma once

#include <atomic>
#include <functional>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct QELContext;

namespace qeltest {

using Packet = std::vector<std::uint8_t>;

// What the service does with one request.
struct ServiceAction {
    enum class Kind {
        Serve,      // the call's in-process branch answers
        Send,       // `bytes` are written as they are, then the next request is read
        SendClose,  // `bytes` are written, then the connection is closed
        Silent,     // nothing is written; the connection stays open
    };
    Kind kind = Kind::Serve;
    Packet bytes;
};

class TestService {
public:
    // A script sees every request, the handshake included (its call number
    // and all its bytes).
    using Script = std::function<ServiceAction(std::uint32_t call, const Packet &request)>;

    explicit TestService(std::string path, std::uint64_t clientHandle = 0x5eed0001);
    // A service in a child process of its own, as the real one is: an SDK
    // process without a service connection (started there with the test
    // flags) that serves one connection after another with its own state.
    // The script, when given, is the child's from the start.
    struct InChild {};
    TestService(InChild, std::string path, Script script = {}, std::uint64_t clientHandle = 0x5eed0001);
    ~TestService();
    TestService(const TestService &) = delete;
    TestService &operator=(const TestService &) = delete;

    const std::string &path() const { return path_; }
    std::uint64_t clientHandle() const { return handle_; }
    void setScript(Script script);
    // The context the in-process branches get (the service's own); null
    // leaves each call to the context of the database it names.
    void setContext(QELContext *context) { context_.store(context); }
    // Call numbers received, in order (the handshake included).
    std::vector<std::uint32_t> calls();

    // Reply packets of the protocol, for scripts.
    static Packet reply(std::int32_t status, const Packet &items = {});
    static void put32(Packet &out, std::uint32_t value);
    static void put64(Packet &out, std::uint64_t value);
    static void putString(Packet &out, const void *data, std::uint32_t length);

private:
    void listenOn();
    void acceptLoop();
    void serve(int fd);
    void record(std::uint32_t call);

    // In a child: its pid and the call log it shares with the parent.
    int child_ = 0;
    struct SharedLog {
        std::atomic<std::uint32_t> count;
        std::uint32_t calls[4096];
    };
    SharedLog *log_ = nullptr;

    std::string path_;
    std::uint64_t handle_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<QELContext *> context_{nullptr};
    std::mutex lock_;
    Script script_;
    std::vector<std::uint32_t> calls_;
    std::vector<int> connections_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// Serves one decoded request in process (what TestService does for Serve):
// the reply packet for these request bytes.
Packet serveInProcess(QELContext *context, const Packet &request);

} // namespace qeltest
