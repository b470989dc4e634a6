// Raw-deflate decoding speed: the SDK's own decoder against zlib's inflate on
// the same stream, in the same run. The corpus is 64 MiB of text, structured
// binary and incompressible (already compressed) data in 1 MiB stretches,
// compressed the way the Deflation Module writes (level 5, 8 KiB window) and
// with zlib's defaults (level 6, 32 KiB window). Both decoders write the
// whole output into one buffer; ours goes through its window as the
// Inflation Module drives it.
#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "qelContext.h"
#include "qelSDK.h"
#include "qelTestDeflate.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kCorpus = 64 * kMiB;

const Bytes &corpus()
{
    static const Bytes data = [] {
        Bytes out;
        out.reserve(kCorpus);
        for (std::uint32_t i = 0; out.size() < kCorpus; ++i) {
            Bytes part = i % 3 == 0   ? qeltest::textBytes(kMiB, i)
                         : i % 3 == 1 ? qeltest::structuredBytes(kMiB, i)
                                      : qeltest::randomBytes(kMiB, i);
            out.insert(out.end(), part.begin(), part.end());
        }
        out.resize(kCorpus);
        return out;
    }();
    return data;
}

struct Stream {
    const char *label;
    int level;
    int windowBits;
};
constexpr Stream kStreams[] = {{"module-l5-w13", 5, -13}, {"zlib-l6-w15", 6, -15}};

const Bytes &compressed(int which)
{
    static Bytes streams[2];
    if (streams[which].empty())
        streams[which] = qeltest::zlibDeflateRaw(corpus(), kStreams[which].level, kStreams[which].windowBits);
    return streams[which];
}

Bytes &outputBuffer()
{
    static Bytes out(kCorpus);
    return out;
}

QELContext *benchContext()
{
    static QELContext *context = [] {
        QELContext *c = nullptr;
        if (qelSDKInit(2) != 0 || qelContextNew(QELSDKVersion, &c) != 0)
            return static_cast<QELContext *>(nullptr);
        return c;
    }();
    return context;
}

// Decodes the stream with the SDK's decoder; returns the output size, or 0.
std::size_t oursDecode(const Bytes &stream, Bytes &out)
{
    QELInflater *d = qelInflaterNew(benchContext());
    if (d == nullptr)
        return 0;
    std::size_t produced = 0;
    std::size_t off = 0;
    std::int32_t status = 0;
    auto drain = [&] {
        std::size_t n = 0;
        while (const std::uint8_t *p = qelInflaterPeek(d, &n)) {
            if (produced + n > out.size())
                return false;
            std::memcpy(out.data() + produced, p, n);
            produced += n;
            qelInflaterConsume(d, n);
        }
        return true;
    };
    while (off < stream.size() && status == 0) {
        off += qelInflaterWrite(d, stream.data() + off, stream.size() - off, &status);
        if (!drain())
            status = -1;
    }
    if (status == 0)
        status = qelInflaterFinish(d);
    qelInflaterFree(d);
    return status == 0 ? produced : 0;
}

std::size_t zlibDecode(const Bytes &stream, Bytes &out)
{
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        return 0;
    z.next_in = const_cast<Bytef *>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    const std::size_t produced = z.total_out;
    inflateEnd(&z);
    return rc == Z_STREAM_END ? produced : 0;
}

template <std::size_t (*Decode)(const Bytes &, Bytes &)>
void BM_Decode(benchmark::State &state)
{
    const Bytes &stream = compressed(static_cast<int>(state.range(0)));
    Bytes &out = outputBuffer();
    for (auto _ : state) {
        const std::size_t n = Decode(stream, out);
        if (n != kCorpus || std::memcmp(out.data(), corpus().data(), 4096) != 0) {
            state.SkipWithError("wrong output");
            return;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCorpus));
}

} // namespace

int main(int argc, char **argv)
{
    if (benchContext() == nullptr) {
        std::fprintf(stderr, "SDK start-up failed\n");
        return 1;
    }
    // Ours must reproduce the corpus exactly before it is timed.
    for (int i = 0; i < 2; ++i) {
        Bytes &out = outputBuffer();
        if (oursDecode(compressed(i), out) != kCorpus || out != corpus()) {
            std::fprintf(stderr, "decoder output differs from the corpus (%s)\n", kStreams[i].label);
            return 1;
        }
        std::printf("%s: %zu bytes compressed (%.1f%%)\n", kStreams[i].label, compressed(i).size(),
                    100.0 * static_cast<double>(compressed(i).size()) / kCorpus);
    }
    for (int i = 0; i < 2; ++i) {
        const std::string label = kStreams[i].label;
        benchmark::RegisterBenchmark(("qel/" + label).c_str(), BM_Decode<oursDecode>)
            ->Arg(i)->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(3);
        benchmark::RegisterBenchmark(("zlib/" + label).c_str(), BM_Decode<zlibDecode>)
            ->Arg(i)->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(3);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nRaw-deflate decoding of a 64 MiB mixed corpus, time ours / zlib inflate (limit 1.0, goal 0.7)\n");
    for (int i = 0; i < 2; ++i) {
        const std::string label = kStreams[i].label;
        printRatio(reporter, "qel/" + label + "/" + std::to_string(i), "zlib/" + label + "/" + std::to_string(i),
                   label.c_str(), 1.0);
    }
    return 0;
}
