// The decode job (qelDecode on a file, to a discarded output) against
// `gpg --decrypt` of the same file to /dev/null, in the same run, on 64 MiB
// of mixed data (half random, half text): a passphrase message with AES-128
// and no compression, and one compressed, encrypted and signed (RSA) whose
// signature both check; limit 0.5x each. Then the peak resident size of a
// decode of a 1 GiB message (limit 16 MiB), measured in a child process so
// that nothing else this program did counts.
#include "bench_ratio.h"
#include "gpg_timing.h"

#include "qelClientEncode.h"
#include "qelContextInternal.h"
#include "qelDecode.h"
#include "qelEvent.h"
#include "qelFileSpecInternal.h"
#include "qelKeyDB.h"
#include "qelSDK.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

QELContext *g_context = nullptr;
QELKeyDB *g_keys = nullptr;
std::string g_dir;
std::uint64_t g_plainBytes = 64u << 20;
int g_goodSignatures = 0;

std::string gpg() { return "GNUPGHOME='" + g_dir + "' gpg --batch --yes --quiet --pinentry-mode loopback --passphrase pw "; }

std::int32_t handler(QELContext *, QELEvent *event, void *)
{
    if (event->kind == QELEvent_Signature && event->data.signature.checked && event->data.signature.verified)
        ++g_goodSignatures;
    return 0;
}

QELStatus oursDecode(const std::string &file)
{
    QELFileSpec *spec = nullptr;
    QELStatus s = qelFileSpecNewFromPath(qelContextGetMemoryMgr(g_context), file.c_str(), &spec);
    if (s != 0)
        return s;
    s = qelDecode(g_context, qelOptionInputFile(g_context, spec), qelOptionPassphrase(g_context, "pw"),
                  qelOptionTargetKeyDB(g_context, g_keys), qelOptionEventHandler(g_context, handler, nullptr),
                  qelOptionDiscardOutput(g_context, 1), qelOptionLastOption(g_context));
    (void)qelFileSpecFree(spec);
    return s;
}

void BM_Ours(benchmark::State &state, std::string file)
{
    for (auto _ : state)
        if (oursDecode(g_dir + "/" + file) != 0)
            state.SkipWithError("decode failed");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_plainBytes));
}

void BM_GnuPG(benchmark::State &state, std::string file)
{
    const std::string command = gpg() + "--trust-model always --decrypt -o /dev/null '" + g_dir + "/" + file +
                                "' 2>/dev/null";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("gpg failed");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_plainBytes));
}

bool makeMessages()
{
    char dir[] = "/tmp/qeljobbenchXXXXXX";
    if (::mkdtemp(dir) == nullptr)
        return false;
    g_dir = dir;
    const std::string keys = std::string(QEL_BENCH_DIR) + "/../tests/keys/data/secret.gpg";
    const std::string half = std::to_string(g_plainBytes / 2);
    const std::string p = "'" + g_dir + "/p'";
    const std::string make =
        gpg() + "--import '" + keys + "' 2>/dev/null && head -c " + half + " /dev/urandom > " + p +
        " && (yes 'The quick brown fox jumps over the lazy dog, 0123456789.' | head -c " + half + ") >> " + p +
        " && " + gpg() + "--symmetric --cipher-algo AES128 -z 0 -o '" + g_dir + "/enc.gpg' " + p +
        " && " + gpg() + "--trust-model always --symmetric --sign -u plain@example.org --cipher-algo AES128 "
        "--compress-algo zlib -o '" + g_dir + "/sign.gpg' " + p + " 2>/dev/null && rm " + p;
    if (std::system(make.c_str()) != 0)
        return false;
    std::ifstream in(keys, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return qelKeyDBOpenFromBuffer(g_context, bytes.data(), bytes.size(), &g_keys) == 0;
}

// Peak resident size (MiB) of a child that decodes a 1 GiB message.
double bigPeakMiB()
{
    const std::string big = g_dir + "/big.gpg";
    if (std::system(("head -c 1073741824 /dev/zero | tr '\\0' 'a' | " + gpg() +
                     "--symmetric --cipher-algo AES128 --compress-algo zip -o '" + big + "' 2>/dev/null")
                        .c_str()) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(oursDecode(big) == 0 ? 0 : 1);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    std::remove(big.c_str());
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0) {
        std::fprintf(stderr, "SDK start-up failed\n");
        return 1;
    }
    if (!benchHaveGnuPG() || !makeMessages()) {
        std::fprintf(stderr, "gpg could not make the messages\n");
        return 1;
    }
    g_goodSignatures = 0;
    if (oursDecode(g_dir + "/enc.gpg") != 0 || oursDecode(g_dir + "/sign.gpg") != 0 || g_goodSignatures != 1) {
        std::fprintf(stderr, "our decode failed\n");
        return 1;
    }
    for (const char *file : {"enc.gpg", "sign.gpg"}) {
        benchmark::RegisterBenchmark((std::string("qel/") + file).c_str(), BM_Ours, std::string(file))
            ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
        benchmark::RegisterBenchmark((std::string("gpg/") + file).c_str(), BM_GnuPG, std::string(file))
            ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\nDecoding 64 MiB of mixed data, time ours / gpg --decrypt (limit 0.5)\n");
    printRatio(reporter, "qel/enc.gpg/", "gpg/enc.gpg/", "AES-128, no compression", 0.5);
    printRatio(reporter, "qel/sign.gpg/", "gpg/sign.gpg/", "zlib + AES-128 + RSA signature", 0.5);
    std::printf("peak resident size decoding a 1 GiB message: %.1f MiB (limit 16)\n", bigPeakMiB());
    std::system(("rm -rf '" + g_dir + "'").c_str());
    (void)qelKeyDBRelease(g_keys);
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
