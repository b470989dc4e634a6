// A small service call (the random pool's status: no request items, five
// reply words) through the client and the test service, against the bare
// floor of any such exchange: a 64-byte request and a 64-byte reply over a
// Unix-domain socket pair to an echoing thread, in the same run.
#include "bench_ratio.h"

#include "qelRPCClientInternal.h"
#include "qelRandomDispatchInternal.h"
#include "qelSDK.h"
#include "qelTestHooks.h"
#include "qelTestService.h"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace {

bool transfer(int fd, unsigned char *p, std::size_t n, bool sending)
{
    while (n != 0) {
        ssize_t r = sending ? send(fd, p, n, MSG_NOSIGNAL) : read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= std::size_t(r);
    }
    return true;
}

void BM_PingPong64(benchmark::State &state)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("no socket pair");
        return;
    }
    std::thread echo([fd = fds[1]] {
        unsigned char buffer[64];
        while (transfer(fd, buffer, sizeof buffer, false) && transfer(fd, buffer, sizeof buffer, true)) {
        }
    });
    unsigned char buffer[64] = {1};
    for (auto _ : state) {
        if (!transfer(fds[0], buffer, sizeof buffer, true) || !transfer(fds[0], buffer, sizeof buffer, false))
            state.SkipWithError("echo failed");
    }
    shutdown(fds[0], SHUT_RDWR);
    echo.join();
    close(fds[0]);
    close(fds[1]);
}
BENCHMARK(BM_PingPong64)->UseRealTime()->Repetitions(5)->DisplayAggregatesOnly(false);

void BM_ServiceCall(benchmark::State &state)
{
    char dir[] = "/tmp/qelrpcbenchXXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no directory");
        return;
    }
    const std::string path = std::string(dir) + "/service";
    {
        qeltest::TestService service(path);
        qelRPCSetSocketPathForTesting(path.c_str());
        qelRPCResetForTesting();
        if (qelSDKInit(QELSDKInit_NoService | QELSDKInit_NoHousekeeping) != 0 || qelRPCConnect(1) != 0) {
            state.SkipWithError("no service");
        } else {
            for (auto _ : state) {
                std::int32_t entropy = 0;
                std::uint32_t size = 0;
                if (qelRandomPoolGetStatusDispatch(&entropy, &size, nullptr, nullptr, nullptr) != 0 || size == 0)
                    state.SkipWithError("call failed");
            }
        }
        static_cast<void>(qelSDKForceCleanup());
        qelRPCResetForTesting();
        qelRPCSetSocketPathForTesting(nullptr);
    }
    rmdir(dir);
}
BENCHMARK(BM_ServiceCall)->UseRealTime()->Repetitions(5)->DisplayAggregatesOnly(false);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatio(reporter, "BM_ServiceCall/", "BM_PingPong64/",
               "small service call vs 64-byte ping-pong", 2.0);
    benchmark::Shutdown();
    return 0;
}
