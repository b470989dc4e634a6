// The message pipeline's hot paths against memcpy and the SDK's own AES-CFB,
// measured in the same run:
//  - 1 GiB pumped in 4096-byte pieces through Copy -> Split -> Join -> Dev Null
//    against memcpy of the same bytes in 4096-byte pieces;
//  - a memory FIFO written and read back (1 GiB in random piece sizes, in
//    rounds of 64 MiB) against memcpy of every byte in and out in the same
//    pieces through a buffer the peer, like the FIFO, takes fresh from the
//    heap for each round (both then pay for getting the memory they hold);
//  - the encrypted File Fifo the same way against AES-128-CFB encryption of
//    the same bytes;
//  - the peak memory of a 1 GiB pump from a file source through a chain with
//    a partial-length Literal Module (no definite-length writer), above the
//    process's memory before it.
#include <benchmark/benchmark.h>

#include "bench_memory.h"
#include "bench_ratio.h"
#include "qelAlgorithms.h"
#include "qelByteFifoInternal.h"
#include "qelCFB.h"
#include "qelContext.h"
#include "qelContextInternal.h"
#include "qelCopyModuleInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelFileFifoInternal.h"
#include "qelFileReadModuleInternal.h"
#include "qelJoinModuleInternal.h"
#include "qelAddHeaderModuleInternal.h"
#include "qelSDK.h"
#include "qelSplitModuleInternal.h"
#include "qelSymmetricCipher.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
constexpr std::size_t kSource = std::size_t{1} << 20; // cycled source buffer
constexpr std::size_t kRound = std::size_t{64} << 20; // FIFO rounds

QELContext *g_context = nullptr;
std::vector<std::uint8_t> g_source;

void fillSource()
{
    g_source.resize(kSource);
    std::mt19937 rng(7);
    for (auto &b : g_source)
        b = std::uint8_t(rng());
}

// Random piece sizes from 1 to 16384 bytes, fixed for every run.
const std::vector<std::size_t> &pieces()
{
    static const std::vector<std::size_t> sizes = [] {
        std::vector<std::size_t> v(4096);
        std::mt19937 rng(11);
        for (auto &s : v)
            s = 1 + rng() % 16384;
        return v;
    }();
    return sizes;
}

void BM_ChainCopySplitJoinDevNull(benchmark::State &state)
{
    for (auto _ : state) {
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = qelJoinModuleInsert(
            g_context, qelSplitModuleCreate(g_context, qelCopyModuleCreate(g_context, &head)), qelByteFifoDescriptor());
        QELPipeModule *sink = nullptr;
        if (slot == nullptr || qelDevNullModuleCreate(g_context, &sink) == nullptr) {
            state.SkipWithError("chain");
            return;
        }
        *slot = sink;
        QELStatus s = qelPipeExpectBytes(head, kGiB);
        for (std::uint64_t done = 0; s == 0 && done < kGiB; done += 4096)
            s = qelPipeWriteAll(head, g_source.data() + done % kSource, 4096);
        if (s == 0)
            s = qelPipeExpectBytes(head, 0);
        benchmark::DoNotOptimize(s);
        qelPipeDestroy(head);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kGiB));
}
BENCHMARK(BM_ChainCopySplitJoinDevNull)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

void BM_Memcpy4096(benchmark::State &state)
{
    std::vector<std::uint8_t> dst(kSource);
    for (auto _ : state) {
        for (std::uint64_t done = 0; done < kGiB; done += 4096)
            std::memcpy(dst.data() + done % kSource, g_source.data() + done % kSource, 4096);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kGiB));
}
BENCHMARK(BM_Memcpy4096)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

// Writes a round in random pieces, then reads it back in random pieces.
void fifoRounds(benchmark::State &state, const QELFifoDescriptor *kind)
{
    std::vector<std::uint8_t> out(16384);
    for (auto _ : state) {
        QELFifo *fifo = kind->create(g_context);
        if (fifo == nullptr) {
            state.SkipWithError("fifo");
            return;
        }
        std::size_t p = 0;
        QELStatus status = 0;
        for (std::uint64_t total = 0; total < kGiB && status == 0; total += kRound) {
            for (std::size_t done = 0; done < kRound && status == 0;) {
                std::size_t n = std::min(pieces()[p++ % pieces().size()], kRound - done);
                kind->write(fifo, g_source.data() + (done % kSource) / 2, n, &status);
                done += n;
            }
            for (std::size_t done = 0; done < kRound && status == 0;) {
                std::size_t n = std::min(pieces()[p++ % pieces().size()], kRound - done);
                done += kind->read(fifo, out.data(), n, &status);
            }
        }
        benchmark::DoNotOptimize(out.data());
        if (status != 0)
            state.SkipWithError("fifo failed");
        kind->destroy(fifo);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kGiB));
}

void BM_MemoryFifo(benchmark::State &state) { fifoRounds(state, qelByteFifoDescriptor()); }
BENCHMARK(BM_MemoryFifo)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

void BM_MemcpyInAndOut(benchmark::State &state)
{
    std::vector<std::uint8_t> out(16384);
    for (auto _ : state) {
        std::size_t p = 0;
        for (std::uint64_t total = 0; total < kGiB; total += kRound) {
            std::unique_ptr<std::uint8_t[]> staging(new std::uint8_t[kRound]);
            for (std::size_t done = 0; done < kRound;) {
                std::size_t n = std::min(pieces()[p++ % pieces().size()], kRound - done);
                std::memcpy(staging.get() + done, g_source.data() + (done % kSource) / 2, n);
                done += n;
            }
            for (std::size_t done = 0; done < kRound;) {
                std::size_t n = std::min(pieces()[p++ % pieces().size()], kRound - done);
                std::memcpy(out.data(), staging.get() + done, n);
                done += n;
            }
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kGiB));
}
BENCHMARK(BM_MemcpyInAndOut)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

void BM_FileFifo(benchmark::State &state) { fifoRounds(state, qelFileFifoDescriptor()); }
BENCHMARK(BM_FileFifo)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(2);

void BM_AES128CFB(benchmark::State &state)
{
    QELSymmetricCipher *cipher = nullptr;
    QELCFBContext *cfb = nullptr;
    std::vector<std::uint8_t> key(16, 0x42), iv(16, 0x24), buf(8192);
    if (qelSymmetricCipherNew(g_context, QELCipherAlgorithm_AES128, &cipher) != 0 ||
        qelCFBCreate(cipher, 1, &cfb) != 0 || qelCFBInit(cfb, key.data(), iv.data()) != 0) {
        state.SkipWithError("AES-CFB");
        return;
    }
    for (auto _ : state) {
        for (std::uint64_t done = 0; done < kGiB; done += buf.size()) {
            QELStatus s = qelCFBEncrypt(cfb, g_source.data() + done % kSource, buf.size(), buf.data());
            benchmark::DoNotOptimize(s);
        }
        benchmark::ClobberMemory();
    }
    static_cast<void>(qelCFBFree(cfb));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kGiB));
}
BENCHMARK(BM_AES128CFB)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(2);

// A stream of 1 GiB generated on the fly, so the source holds nothing.
struct Generated {
    std::uint64_t left = kGiB;
};

ssize_t generatedRead(void *cookie, char *buf, std::size_t size)
{
    auto *g = static_cast<Generated *>(cookie);
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, g->left));
    std::size_t at = static_cast<std::size_t>((kGiB - g->left) % kSource);
    n = std::min(n, kSource - at);
    std::memcpy(buf, g_source.data() + at, n);
    g->left -= n;
    return static_cast<ssize_t>(n);
}

// Peak resident memory of a 1 GiB pump, in KiB above the start; -1 on failure.
long pumpPeakKB()
{
    benchResetPeak();
    long before = benchStatusKB("VmRSS:");
    Generated g;
    cookie_io_functions_t io{generatedRead, nullptr, nullptr, nullptr};
    std::FILE *stream = fopencookie(&g, "rb", io);
    QELFileReadModule *reader = qelFileReadModuleCreateFromStream(g_context, stream, true);
    QELPipeModule *head = nullptr;
    QELPipeModule **slot = qelLiteralModuleCreate(
        g_context,
        qelJoinModuleInsert(g_context, qelSplitModuleCreate(g_context, qelCopyModuleCreate(g_context, &head)),
                            qelByteFifoDescriptor()),
        4, qelByteFifoDescriptor(), 'b', "big", 3, 0);
    QELPipeModule *sink = nullptr;
    long result = -1;
    if (reader != nullptr && slot != nullptr && qelDevNullModuleCreate(g_context, &sink) != nullptr) {
        *slot = sink;
        if (qelFileReadPump(reader, head) == 0 && qelPipeExpectBytes(head, 0) == 0 && g.left == 0)
            result = benchStatusKB("VmHWM:") - before;
    }
    qelPipeDestroy(head);
    if (reader != nullptr)
        static_cast<void>(qelFileReadDestroy(reader));
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    if (qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0)
        return 1;
    fillSource();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Ratios of throughput (peer time / our time): at least 0.5 each.
    auto speed = [&](const char *ours, const char *peer, const char *label) {
        auto a = reporter.times.find(std::string(ours) + "/"), b = reporter.times.find(std::string(peer) + "/");
        for (const auto &[name, t] : reporter.times) {
            if (name.rfind(ours, 0) == 0 && a == reporter.times.end())
                a = reporter.times.find(name);
            if (name.rfind(peer, 0) == 0 && b == reporter.times.end())
                b = reporter.times.find(name);
        }
        if (a == reporter.times.end() || b == reporter.times.end() || a->second <= 0)
            return;
        double ratio = b->second / a->second;
        std::printf("%-52s %6.2fx%s\n", label, ratio, ratio >= 0.5 ? "  (at least 0.5)" : "  (BELOW 0.5)");
    };
    speed("BM_ChainCopySplitJoinDevNull", "BM_Memcpy4096", "Copy->Split->Join->Dev Null vs memcpy (4096 pieces)");
    speed("BM_MemoryFifo", "BM_MemcpyInAndOut", "Byte Fifo write+read vs memcpy in and out");
    speed("BM_FileFifo", "BM_AES128CFB", "File Fifo write+read vs the SDK's AES-128-CFB");
    long peak = pumpPeakKB();
    std::printf("peak memory of a 1 GiB pump above the start: %ld KiB%s\n", peak,
                peak >= 0 && peak < 8 * 1024 ? "  (under 8 MiB)" : "  (NOT under 8 MiB)");
    benchmark::Shutdown();
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
