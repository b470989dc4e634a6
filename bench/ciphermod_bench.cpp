// The Cipher Encryption Module writing tag 18 with its modification
// detection code (CAST5 and AES-128), against the SDK's bare CFB plus SHA-1
// over the same bytes in the same pieces, measured in the same run:
// 64 MiB per iteration in 4096-byte writes into a Dev Null sink. The
// module's figure includes its Add Header Module (partial lengths), as a
// chain always has it. The ratio is taken on CPU time (best of the
// repetitions): both sides run on one thread, and on a shared machine the
// wall clock mostly measures waiting.
#include <benchmark/benchmark.h>

#include "qelAlgorithms.h"
#include "qelCFBInternal.h"
#include "qelCipherModuleInternal.h"
#include "qelContext.h"
#include "qelDevNullModuleInternal.h"
#include "qelFlexFifoInternal.h"
#include "qelHashInternal.h"
#include "qelSDK.h"
#include "qelSymmetricCipherInternal.h"

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kSource = std::size_t{1} << 20;
constexpr std::size_t kTotal = std::size_t{64} << 20;
constexpr std::size_t kPiece = 4096;

QELContext *g_context = nullptr;

class CpuRatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> times; // run name -> best CPU time per iteration

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Aggregate)
                continue;
            const std::string name = r.run_name.function_name + "/" + r.run_name.args;
            const double t = r.GetAdjustedCPUTime();
            auto [it, fresh] = times.emplace(name, t);
            if (!fresh && t < it->second)
                it->second = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};
std::vector<std::uint8_t> g_source;

QELCFBContext *keyedCFB(std::uint8_t algorithm)
{
    const QELCipherDescriptor *d = qelCipherDescriptorFind(algorithm);
    QELCFBContext *cfb = d != nullptr ? qelCFBCreateForDescriptor(qelContextGetMemoryMgr(g_context), d) : nullptr;
    std::uint8_t key[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    if (cfb != nullptr && qelCFBInit(cfb, key, nullptr) != 0) {
        static_cast<void>(qelCFBFree(cfb));
        return nullptr;
    }
    return cfb;
}

void BM_CipherModule(benchmark::State &state)
{
    const auto algorithm = std::uint8_t(state.range(0));
    const std::uint8_t prefix[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
    for (auto _ : state) {
        QELPipeModule *head = nullptr;
        QELCFBContext *cfb = keyedCFB(algorithm);
        QELPipeModule **slot =
            qelCipherEncryptModuleCreate(g_context, &head, 4, qelFlexFifoDescriptor(), cfb, prefix, nullptr, 1);
        if (slot == nullptr || qelDevNullModuleCreate(g_context, slot) == nullptr) {
            state.SkipWithError("chain");
            return;
        }
        QELStatus status = 0;
        for (std::size_t done = 0; done < kTotal && status == 0; done += kPiece)
            status = qelPipeWriteAll(head, g_source.data() + done % kSource, kPiece);
        if (status == 0)
            status = qelPipeExpectBytes(head, 0);
        qelPipeDestroy(head);
        if (status != 0) {
            state.SkipWithError("write");
            return;
        }
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kTotal));
}

void BM_BareCFBSHA1(benchmark::State &state)
{
    const auto algorithm = std::uint8_t(state.range(0));
    std::vector<std::uint8_t> out(kPiece);
    for (auto _ : state) {
        QELCFBContext *cfb = keyedCFB(algorithm);
        QELHashContext *sha1 = nullptr;
        if (cfb == nullptr || qelHashNew(g_context, QELHashAlgorithm_SHA1, &sha1) != 0) {
            state.SkipWithError("setup");
            return;
        }
        for (std::size_t done = 0; done < kTotal; done += kPiece) {
            const std::uint8_t *in = g_source.data() + done % kSource;
            static_cast<void>(qelHashUpdate(sha1, in, kPiece));
            static_cast<void>(qelCFBEncryptInternal(cfb, in, kPiece, out.data()));
            benchmark::DoNotOptimize(out.data());
        }
        std::uint8_t digest[20];
        static_cast<void>(qelHashFinal(sha1, digest));
        benchmark::DoNotOptimize(digest);
        static_cast<void>(qelHashFree(sha1));
        static_cast<void>(qelCFBFree(cfb));
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kTotal));
}

BENCHMARK(BM_CipherModule)->Arg(QELCipherAlgorithm_CAST5)->Arg(QELCipherAlgorithm_AES128)->Unit(benchmark::kMillisecond)->Repetitions(3);
BENCHMARK(BM_BareCFBSHA1)->Arg(QELCipherAlgorithm_CAST5)->Arg(QELCipherAlgorithm_AES128)->Unit(benchmark::kMillisecond)->Repetitions(3);

} // namespace

int main(int argc, char **argv)
{
    if (qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0)
        return 1;
    g_source.resize(kSource);
    std::mt19937 rng(5);
    for (auto &b : g_source)
        b = std::uint8_t(rng());
    benchmark::Initialize(&argc, argv);
    CpuRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Throughput against the peer (peer time / our time): at least 0.8.
    for (const auto &[arg, name] : {std::pair{QELCipherAlgorithm_CAST5, "CAST5"}, std::pair{QELCipherAlgorithm_AES128, "AES-128"}}) {
        auto ours = reporter.times.find("BM_CipherModule/" + std::to_string(arg));
        auto peer = reporter.times.find("BM_BareCFBSHA1/" + std::to_string(arg));
        if (ours == reporter.times.end() || peer == reporter.times.end() || ours->second <= 0)
            continue;
        const double ratio = peer->second / ours->second;
        std::printf("Cipher module (%s, tag 18) vs bare CFB + SHA-1   %6.2fx%s\n", name, ratio,
                    ratio >= 0.8 ? "  (at least 0.8)" : "  (BELOW 0.8)");
    }
    benchmark::Shutdown();
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
