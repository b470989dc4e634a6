// The Hash Module against the bare hash over the same bytes, measured in the
// same run: 256 MiB pumped in 4096-byte pieces (the buffer pump's piece)
// through Hash Module -> Dev Null, against the same hash fed the same pieces
// directly, for SHA-256 and SHA-1. The goal: at least 0.9x the bare hash's
// throughput.
#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "qelAlgorithms.h"
#include "qelContext.h"
#include "qelDevNullModuleInternal.h"
#include "qelHashInternal.h"
#include "qelHashModuleInternal.h"
#include "qelSDK.h"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kTotal = std::uint64_t{256} << 20;
constexpr std::size_t kSource = std::size_t{1} << 20; // cycled source buffer
constexpr std::size_t kPiece = 4096;

QELContext *g_context = nullptr;
std::vector<std::uint8_t> g_source;

void fillSource()
{
    g_source.resize(kSource);
    std::mt19937 rng(7);
    for (auto &b : g_source)
        b = std::uint8_t(rng());
}

QELHashContext *newHash(std::int32_t algorithm)
{
    QELHashContext *hash = nullptr;
    return qelHashCreate(qelContextGetMemoryMgr(g_context), algorithm, &hash) == 0 ? hash : nullptr;
}

void BM_HashModule(benchmark::State &state)
{
    QELHashContext *hash = newHash(std::int32_t(state.range(0)));
    if (hash == nullptr) {
        state.SkipWithError("hash");
        return;
    }
    for (auto _ : state) {
        hash->descriptor->init(hash->state);
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = qelHashModuleCreate(g_context, &head, hash);
        if (slot == nullptr || qelDevNullModuleCreate(g_context, slot) == nullptr) {
            state.SkipWithError("chain");
            return;
        }
        QELStatus s = 0;
        for (std::uint64_t done = 0; s == 0 && done < kTotal; done += kPiece)
            s = qelPipeWriteAll(head, g_source.data() + done % kSource, kPiece);
        benchmark::DoNotOptimize(qelHashFinalPointer(hash));
        benchmark::DoNotOptimize(s);
        qelPipeDestroy(head);
    }
    static_cast<void>(qelHashFree(hash));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_HashModule)->Arg(QELHashAlgorithm_SHA256)->Arg(QELHashAlgorithm_SHA1)
    ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

void BM_BareHash(benchmark::State &state)
{
    QELHashContext *hash = newHash(std::int32_t(state.range(0)));
    if (hash == nullptr) {
        state.SkipWithError("hash");
        return;
    }
    for (auto _ : state) {
        hash->descriptor->init(hash->state);
        for (std::uint64_t done = 0; done < kTotal; done += kPiece)
            hash->descriptor->update(hash->state, g_source.data() + done % kSource, kPiece);
        benchmark::DoNotOptimize(qelHashFinalPointer(hash));
    }
    static_cast<void>(qelHashFree(hash));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_BareHash)->Arg(QELHashAlgorithm_SHA256)->Arg(QELHashAlgorithm_SHA1)
    ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

} // namespace

int main(int argc, char **argv)
{
    if (qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0)
        return 1;
    fillSource();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Throughput ratios (bare time / module time): at least 0.9 each.
    auto speed = [&](const std::string &ours, const std::string &peer, const char *label) {
        auto a = reporter.times.find(ours), b = reporter.times.find(peer);
        if (a == reporter.times.end() || b == reporter.times.end() || a->second <= 0)
            return;
        const double ratio = b->second / a->second;
        std::printf("%-48s %6.2fx%s\n", label, ratio, ratio >= 0.9 ? "  (at least 0.9)" : "  (BELOW 0.9)");
    };
    const std::string sha256 = std::to_string(QELHashAlgorithm_SHA256);
    const std::string sha1 = std::to_string(QELHashAlgorithm_SHA1);
    speed("BM_HashModule/" + sha256, "BM_BareHash/" + sha256, "Hash Module vs bare SHA-256 (4096 pieces)");
    speed("BM_HashModule/" + sha1, "BM_BareHash/" + sha1, "Hash Module vs bare SHA-1 (4096 pieces)");
    benchmark::Shutdown();
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
