// Extraction speed of the archive reader, side by side with what the same
// work costs through independent peers: OpenSSL's CAST5 in 64-bit CFB over
// the same encrypted region, plus zlib inflating the same stream.
//
//   zavreader_bench                       run the benchmarks, print the ratio
//   zavreader_bench --make-archive P MB   write a generated archive of MB MiB
//                                         to P (for measuring the program's
//                                         peak memory with /usr/bin/time -v)
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <openssl/cast.h>
#include <random>
#include <string>
#include <unistd.h>
#include <zlib.h>

#include "zavArchive.h"
#include "zavExtract.h"

#include "zavArchiveWriter.h"

namespace {

namespace fs = std::filesystem;
using namespace zavtest;

constexpr std::size_t kMiB = 1024 * 1024;

// Half incompressible files, half text-like files that deflate well.
std::vector<ArchiveEntry> mixedEntries(std::size_t totalMiB)
{
    std::mt19937_64 rng(42);
    static const char *const words[] = {"archive ", "reader ", "block ", "cipher ", "stream ", "entry ",
                                        "directory ", "passphrase ", "inflate ", "salt\n", "key ", "data "};
    std::vector<ArchiveEntry> entries = {{"random/", true, ""}, {"text/", true, ""}};
    for (std::size_t i = 0; i < totalMiB; ++i) {
        std::string content;
        content.reserve(kMiB);
        if (i % 2 == 0) {
            while (content.size() < kMiB) {
                std::uint64_t v = rng();
                content.append(reinterpret_cast<const char *>(&v), 8);
            }
            entries.emplace_back("random/file" + std::to_string(i) + ".bin", false, std::move(content));
        } else {
            while (content.size() < kMiB)
                content += words[rng() % std::size(words)];
            content.resize(kMiB);
            entries.emplace_back("text/file" + std::to_string(i) + ".txt", false, std::move(content));
        }
    }
    return entries;
}

struct Fixture {
    std::string directory;
    std::string archivePath;
    std::string outputDirectory;
    std::string payload;          // the zlib stream
    std::string region;           // the encrypted blocks
    std::uint64_t entryBytes = 0;
    ArchiveOptions options;
    ArchiveTrailer trailer{};
    void *key = nullptr;

    Fixture()
    {
        // Memory-backed by default, so that the disk's write-back does not
        // swamp the work being measured; ZAV_BENCH_DIR picks another place.
        std::string base = "/tmp";
        if (const char *chosen = std::getenv("ZAV_BENCH_DIR"))
            base = chosen;
        else if (fs::is_directory("/dev/shm"))
            base = "/dev/shm";
        std::string pattern = base + "/zavreader-bench-XXXXXX";
        directory = ::mkdtemp(pattern.data());
        std::printf("archive and output in %s\n", directory.c_str());
        archivePath = directory + "/bench.zav";
        outputDirectory = directory + "/out/";
        fs::create_directory(outputDirectory);
        const std::string stream = buildEntryStream(mixedEntries(64));
        entryBytes = stream.size();
        payload = zlibCompress(stream, 6);
        const std::string archive = buildArchive(payload, options);
        writeFileBytes(archivePath, archive);
        region = archive.substr(options.prefix.size(), archive.size() - options.prefix.size() - kTrailerSize);
        std::FILE *f = std::fopen(archivePath.c_str(), "rb");
        readArchiveTrailer(f, &trailer);
        std::fclose(f);
        if (!checkPassphrase(options.passphrase.c_str(), &key, trailer))
            std::abort();
    }
    ~Fixture()
    {
        freeKeyContext(key);
        fs::remove_all(directory);
    }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

QELStatus overwriteEverything(void *, ExtractionEvent *event, void *)
{
    if (event->kind == ExtractionEvent_CreateFile) {
        std::strncpy(event->b.buffer, event->a.path, kCreateNameBufferSize - 1);
        event->b.buffer[kCreateNameBufferSize - 1] = '\0';
    }
    return QELError_NoErr;
}

// The argument is the number of decrypt-ahead helpers; 0 lets the reader
// choose, as the program does.
void BM_ZavreaderExtract(benchmark::State &state)
{
    Fixture &f = fixture();
    zavTestSetDecryptHelpers(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        CreatedPath *created = nullptr;
        QELStatus status = extractArchive(f.trailer, f.key, &created, f.archivePath.c_str(),
                                          f.outputDirectory.c_str(), overwriteEverything, nullptr);
        if (status != QELError_NoErr)
            state.SkipWithError("extraction failed");
        while (created != nullptr) {
            CreatedPath *next = created->next;
            std::free(created->path);
            std::free(created);
            created = next;
        }
    }
    zavTestSetDecryptHelpers(0);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.entryBytes));
}

void BM_ZavreaderDecryptRegion(benchmark::State &state)
{
    Fixture &f = fixture();
    std::uint8_t plain[kArchiveBlockSize];
    for (auto _ : state) {
        const auto *c = reinterpret_cast<const std::uint8_t *>(f.region.data());
        for (std::size_t n = 0; n * kArchiveBlockSize < f.region.size(); ++n) {
            decryptArchiveBlock(f.trailer, f.key, static_cast<std::uint32_t>(n), c + n * kArchiveBlockSize, plain);
            benchmark::DoNotOptimize(plain);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.region.size()));
}

void BM_OpenSSLCast5Cfb64Decrypt(benchmark::State &state)
{
    Fixture &f = fixture();
    std::uint8_t rawKey[16];
    std::uint8_t check[8];
    deriveArchiveKey(f.options.passphrase, f.options.salt, f.options.hashCount, rawKey, check);
    CAST_KEY schedule;
    CAST_set_key(&schedule, 16, rawKey);
    std::string out(f.region.size(), '\0');
    for (auto _ : state) {
        std::uint8_t iv[8] = {};
        int num = 0;
        CAST_cfb64_encrypt(reinterpret_cast<const unsigned char *>(f.region.data()),
                           reinterpret_cast<unsigned char *>(out.data()), static_cast<long>(f.region.size()),
                           &schedule, iv, &num, CAST_DECRYPT);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.region.size()));
}

void BM_ZlibInflate(benchmark::State &state)
{
    Fixture &f = fixture();
    std::vector<std::uint8_t> sink(128 * 1024);
    for (auto _ : state) {
        z_stream z{};
        inflateInit(&z);
        z.next_in = reinterpret_cast<Bytef *>(f.payload.data());
        z.avail_in = static_cast<uInt>(f.payload.size());
        int r;
        do {
            z.next_out = sink.data();
            z.avail_out = static_cast<uInt>(sink.size());
            r = inflate(&z, Z_NO_FLUSH);
            benchmark::DoNotOptimize(sink.data());
        } while (r == Z_OK);
        inflateEnd(&z);
        if (r != Z_STREAM_END)
            state.SkipWithError("inflate failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.entryBytes));
}

BENCHMARK(BM_ZavreaderExtract)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ZavreaderDecryptRegion)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_OpenSSLCast5Cfb64Decrypt)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Keeps the mean real time of every benchmark for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.iterations > 0 && !run.error_occurred)
                seconds[run.benchmark_name()] = run.real_accumulated_time / static_cast<double>(run.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

int makeArchive(const char *path, const char *mib)
{
    const std::size_t size = std::strtoull(mib, nullptr, 10);
    ArchiveOptions options;
    const std::string archive = buildArchive(mixedEntries(size), options);
    if (!writeFileBytes(path, archive))
        return 1;
    std::printf("wrote %s (%zu bytes, passphrase \"%s\")\n", path, archive.size(), options.passphrase.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--make-archive") == 0)
        return makeArchive(argv[2], argv[3]);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto &s = reporter.seconds;
    const double ours = s["BM_ZavreaderExtract/0/min_time:2.000"];
    const double peers = s["BM_OpenSSLCast5Cfb64Decrypt/min_time:1.000"] + s["BM_ZlibInflate/min_time:1.000"];
    if (ours > 0 && peers > 0)
        std::printf("\nzavreader extraction / (OpenSSL CAST5-CFB64 decrypt + zlib inflate) = %.2fx "
                    "(%.1f ms vs %.1f ms)\n",
                    ours / peers, ours * 1e3, peers * 1e3);
    benchmark::Shutdown();
    return 0;
}
