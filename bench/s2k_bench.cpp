// Iterated and salted string-to-key over SHA-1 against raw SHA-1 hashing of
// the same number of octets. The derivation should run at close to the
// hash's own speed; the ratio is printed after the runs.
#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelSDKInternal.h"
#include "qelSHA1Internal.h"
#include "qelStringToKeyInternal.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

QELContext *g_context = nullptr;
// Coded count 0xC0: 16 << 18 octets (4 MiB) per derivation.
constexpr std::uint8_t kCodedCount = 0xC0;
constexpr std::size_t kOctets = std::size_t{16} << 18;

void BM_IteratedS2K_SHA1(benchmark::State &state)
{
    const std::uint8_t salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::string passphrase(static_cast<std::size_t>(state.range(0)), 'p');
    QELStringToKey *s2k = qelS2KNewIteratedCoded(
        g_context, qelHashDescriptorFind(QELHashAlgorithm_SHA1), salt, kCodedCount);
    if (s2k == nullptr) {
        state.SkipWithError("cannot make the specifier");
        return;
    }
    std::uint8_t key[16];
    for (auto _ : state) {
        s2k->deriveKey(s2k, passphrase.data(), passphrase.size(), key, sizeof key);
        benchmark::DoNotOptimize(key);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kOctets);
    s2k->destroy(s2k);
}
BENCHMARK(BM_IteratedS2K_SHA1)->Arg(8)->Arg(13)->Arg(64)->Unit(benchmark::kMillisecond);

void BM_RawSHA1(benchmark::State &state)
{
    std::vector<std::uint8_t> data(kOctets, 0x5A);
    QELSHA1State sha;
    for (auto _ : state) {
        qelSHA1Init(&sha);
        qelSHA1Update(&sha, data.data(), data.size());
        benchmark::DoNotOptimize(qelSHA1Final(&sha));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kOctets);
}
BENCHMARK(BM_RawSHA1)->Unit(benchmark::kMillisecond);

// Keeps the throughput of every run so the ratio can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end() && run.iterations > 0)
                speeds[run.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> speeds;
};

} // namespace

int main(int argc, char **argv)
{
    const std::string dir = "/tmp/qels2kbench";
    std::system(("mkdir -p " + dir).c_str());
    setenv("QELPATH", dir.c_str(), 1);
    setenv("HOME", dir.c_str(), 1);
    if (qelSDKInit(QELSDKInit_NoService | QELSDKInit_NoHousekeeping) != 0 ||
        qelContextNew(QELSDKVersion, &g_context) != 0) {
        std::fprintf(stderr, "SDK start-up failed\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const auto raw = reporter.speeds.find("BM_RawSHA1");
    if (raw != reporter.speeds.end() && raw->second > 0) {
        for (const auto &[name, speed] : reporter.speeds)
            if (name.rfind("BM_IteratedS2K_SHA1", 0) == 0)
                std::printf("ratio %s / raw SHA-1 = %.3f (required >= 0.8)\n", name.c_str(),
                            speed / raw->second);
    }
    benchmark::Shutdown();
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    std::system(("rm -rf " + dir).c_str());
    return 0;
}
