// The encode job (qelEncode, file in, file out) on 64 MiB of mixed data
// (half random, half text), against GnuPG with the same algorithms, in the
// same run; limit 0.5x each:
//   compress (zip) + AES-128 + an RSA-2048 signature (SHA-256) against
//   `gpg --sign --symmetric`, and AES-128 alone against `gpg --symmetric -z 0`.
// Both sides use an iterated string-to-key of 32768 bytes. Before the timed
// runs one encode of a 1 GiB file (QEL_BENCH_BIG_MIB to change its size)
// gives the job's peak resident size (limit 16 MiB).
#include "bench_ratio.h"
#include "gpg_timing.h"

#include "qelAlgorithms.h"
#include "qelClientEncode.h"
#include "qelContext.h"
#include "qelEncode.h"
#include "qelFileSpecInternal.h"
#include "qelKeyDB.h"
#include "qelKeySet.h"
#include "qelKeyIter.h"
#include "qelMemory.h"
#include "qelRandomSourcesInternal.h"
#include "qelSDK.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <utility>
#include <vector>

namespace {

QELContext *g_context = nullptr;
QELKeyDB *g_ring = nullptr;
QELKeyObject *g_signer = nullptr;
std::string g_dir;
std::uint64_t g_plainBytes = 64u << 20;

std::string path(const std::string &name) { return g_dir + "/" + name; }

QELFileSpec *spec(const std::string &name)
{
    QELFileSpec *s = nullptr;
    return qelFileSpecNewFromPath(qelContextGetMemoryMgr(g_context), path(name).c_str(), &s) == 0 ? s : nullptr;
}

// One run of the job from file `in` to file `out`.
QELStatus oursEncode(const std::string &in, const std::string &out, bool sign)
{
    QELFileSpec *input = spec(in);
    QELFileSpec *output = spec(out);
    const QELStatus status =
        qelEncode(g_context, qelOptionInputFile(g_context, input), qelOptionOutputFile(g_context, output),
                  qelOptionConventionalEncrypt(g_context, qelOptionPassphrase(g_context, "pw"),
                                               qelOptionLastOption(g_context)),
                  qelOptionCipherAlgorithm(g_context, QELCipherAlgorithm_AES128), qelOptionCompress(g_context, sign),
                  sign ? qelOptionSignWithKey(g_context, g_signer, qelOptionLastOption(g_context))
                       : qelOptionNull(g_context),
                  qelOptionLastOption(g_context));
    static_cast<void>(qelFileSpecFree(input));
    static_cast<void>(qelFileSpecFree(output));
    return status;
}

std::string gpg() { return "GNUPGHOME='" + g_dir + "/home' gpg --batch --yes --quiet --pinentry-mode loopback "; }

void BM_OursSigned(benchmark::State &state)
{
    for (auto _ : state)
        if (oursEncode("plain", "ours.gpg", true) != 0)
            state.SkipWithError("encode failed");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_plainBytes));
}

void BM_OursSymmetric(benchmark::State &state)
{
    for (auto _ : state)
        if (oursEncode("plain", "ours.gpg", false) != 0)
            state.SkipWithError("encode failed");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_plainBytes));
}

void runGnuPG(benchmark::State &state, const std::string &args)
{
    const std::string command = gpg() + "--passphrase pw --s2k-count 32768 --cipher-algo AES128 " + args + " -o '" +
                                path("gpg.gpg") + "' '" + path("plain") + "' 2>/dev/null";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("gpg failed");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_plainBytes));
}

void BM_GnuPGSigned(benchmark::State &state)
{
    runGnuPG(state, "--compress-algo zip --digest-algo SHA256 -u bench@example.org --sign --symmetric");
}

void BM_GnuPGSymmetric(benchmark::State &state) { runGnuPG(state, "-z 0 --symmetric"); }

// The inputs, and an RSA-2048 signing key without a passphrase, in GnuPG's
// home and in our key database.
bool prepare()
{
    char dir[] = "/tmp/qelencodebenchXXXXXX";
    if (::mkdtemp(dir) == nullptr)
        return false;
    g_dir = dir;
    const std::string half = std::to_string(g_plainBytes / 2);
    const std::string make =
        "mkdir -m 700 '" + path("home") + "' && head -c " + half + " /dev/urandom > '" + path("plain") +
        "' && yes 'The quick brown fox jumps over the lazy dog, 0123456789.' | head -c " + half + " >> '" +
        path("plain") + "' && " + gpg() + "--passphrase '' --quick-gen-key bench@example.org rsa2048 sign never && " +
        gpg() + "--export-secret-keys bench@example.org > '" + path("key.gpg") + "'";
    if (std::system(make.c_str()) != 0)
        return false;
    std::FILE *f = std::fopen(path("key.gpg").c_str(), "rb");
    if (f == nullptr)
        return false;
    std::vector<unsigned char> ring(1 << 16);
    ring.resize(std::fread(ring.data(), 1, ring.size(), f));
    std::fclose(f);
    if (qelKeyDBOpenFromBuffer(g_context, ring.data(), ring.size(), &g_ring) != 0)
        return false;
    QELKeyIter *iter = nullptr;
    if (qelKeyIterNewOnDB(g_ring, &iter) != 0)
        return false;
    const bool found = qelKeyIterNext(iter, 1, &g_signer) == 0 && g_signer != nullptr;
    static_cast<void>(qelKeyIterFree(iter));
    return found;
}

} // namespace

int main(int argc, char **argv)
{
    if (!benchHaveGnuPG() || qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0) {
        std::fprintf(stderr, "gpg or the SDK is not available\n");
        return 1;
    }
    // The job draws key material only from a pool that holds its minimum.
    static_cast<void>(qelRandomPoolAddEventLocal(0, 0, 0, 1));
    if (!prepare()) {
        std::fprintf(stderr, "the inputs or the key could not be made\n");
        return 1;
    }
    // QEL_BENCH_PROFILE=N: only our two encodes, N times each, timed here
    // (for a profiler, without GnuPG's runs in the way); QEL_BENCH_PROFILE_ONLY
    // "sign" or "symmetric" keeps one of them.
    if (const char *profile = std::getenv("QEL_BENCH_PROFILE"); profile != nullptr) {
        const char *only = std::getenv("QEL_BENCH_PROFILE_ONLY");
        for (const bool sign : {true, false}) {
            if (only != nullptr && std::string(only) != (sign ? "sign" : "symmetric"))
                continue;
            for (long i = std::strtol(profile, nullptr, 10); i > 0; --i) {
                const double start = benchNow();
                const QELStatus status = oursEncode("plain", "ours.gpg", sign);
                std::printf("%s %.1f ms (status %d)\n", sign ? "sign+symmetric" : "symmetric",
                            (benchNow() - start) * 1e3, static_cast<int>(status));
            }
        }
        return 0;
    }
    // Peak resident size of one encrypt-only run over a large file, first,
    // before the timed runs touch anything else.
    const char *big = std::getenv("QEL_BENCH_BIG_MIB");
    const std::uint64_t bigMiB = big != nullptr ? std::strtoull(big, nullptr, 10) : 1024;
    if (std::system(("head -c " + std::to_string(bigMiB << 20) + " /dev/zero > '" + path("big") + "'").c_str()) != 0 ||
        oursEncode("big", "big.gpg", false) != 0) {
        std::fprintf(stderr, "the large encode failed\n");
        return 1;
    }
    std::remove(path("big").c_str());
    std::remove(path("big.gpg").c_str());
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;

    using Run = void (*)(benchmark::State &);
    const std::pair<const char *, Run> runs[] = {{"qel/sign+symmetric", BM_OursSigned},
                                                 {"gpg/sign+symmetric", BM_GnuPGSigned},
                                                 {"qel/symmetric", BM_OursSymmetric},
                                                 {"gpg/symmetric", BM_GnuPGSymmetric}};
    for (const auto &[name, fn] : runs)
        benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\nEncoding 64 MiB of mixed data, time ours / gpg (limit 0.5)\n");
    printRatio(reporter, "qel/sign+symmetric/", "gpg/sign+symmetric/", "zip + AES-128 + RSA-2048 signature", 0.5);
    printRatio(reporter, "qel/symmetric/", "gpg/symmetric/", "AES-128 only", 0.5);
    std::printf("peak resident size of ours after encrypting %llu MiB: %.1f MiB (limit 16)\n",
                static_cast<unsigned long long>(bigMiB), peakMiB);
    std::system(("gpgconf --homedir '" + path("home") + "' --kill all >/dev/null 2>&1; rm -rf '" + g_dir + "'").c_str());
    static_cast<void>(qelKeyDBRelease(g_ring));
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
