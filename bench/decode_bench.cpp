// Reading a 64 MiB `gpg --symmetric --cipher-algo AES128 -z 0` message here
// (message parser, cipher decryption, annotation reader, a Dev Null output)
// against `gpg --decrypt` of the same file to /dev/null, both handed the
// session key, in the same run; limit 0.5x. Ours reads the file in 1 MiB
// pieces, so its peak resident size shows the chain's own memory.
#include "bench_ratio.h"
#include "gpg_timing.h"

#include "qelAnnotationReaderInternal.h"
#include "qelContextInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelMessageParserInternal.h"
#include "qelSDK.h"
#include "qelSettingsInternal.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

QELContext *g_context = nullptr;
std::string g_dir;
std::string g_file;
std::string g_key; // "ALG:HEX"
std::uint64_t g_plainBytes = 0;

void report(void *, QELStatus, std::int32_t, std::int32_t, const void *) {}
std::int32_t reply(void *, std::int32_t scope, std::int32_t)
{
    return scope == QELAnnotation_BeginLiteral ? QELAnnotation_ReplyProcess : QELAnnotation_ReplyRecurse;
}
QELStatus openOutput(void *, QELPipeModule **slot, std::int32_t, const char *)
{
    qelPipeDestroy(*slot);
    *slot = nullptr;
    return qelDevNullModuleCreate(g_context, slot) != nullptr ? 0 : QELError_OutOfMemory;
}
QELStatus detachedData(void *, QELPipeModule *) { return QELError_BadParams; }
QELStatus signatureResult(void *, const QELSigItem *, const std::uint8_t *) { return 0; }
QELStatus decrypt(void *, QELSigItem *, QELStatus (*send)(void *, const std::uint8_t *, std::uint64_t), void *context)
{
    const auto colon = g_key.find(':');
    std::vector<std::uint8_t> key{static_cast<std::uint8_t>(std::stoi(g_key.substr(0, colon)))};
    for (std::size_t i = colon + 1; i + 1 < g_key.size(); i += 2)
        key.push_back(static_cast<std::uint8_t>(std::stoi(g_key.substr(i, 2), nullptr, 16)));
    return send(context, key.data(), key.size());
}
const QELDecodeCallbacks kCallbacks{report, reply, openOutput, detachedData, signatureResult, decrypt, nullptr};

QELStatus oursDecode()
{
    QELSettings *settings = nullptr;
    if (qelSettingsCreate(g_context, &settings) != 0)
        return QELError_OutOfMemory;
    QELPipeModule *head = nullptr;
    QELStatus status = 0;
    if (qelAnnotationReaderCreate(g_context, &head, settings, &kCallbacks, nullptr) == nullptr ||
        qelMessageParserCreate(g_context, &head, settings, &kCallbacks, nullptr) == nullptr)
        status = QELError_OutOfMemory;
    FILE *f = std::fopen(g_file.c_str(), "rb");
    static std::vector<std::uint8_t> piece(1 << 20);
    while (status == 0 && f != nullptr) {
        const std::size_t n = std::fread(piece.data(), 1, piece.size(), f);
        if (n == 0)
            break;
        status = qelPipeWriteAll(head, piece.data(), n);
    }
    if (f != nullptr)
        std::fclose(f);
    if (status == 0)
        status = qelPipeExpectBytes(head, 0);
    qelPipeDestroy(head);
    qelSettingsFree(settings);
    return status;
}

void BM_Ours(benchmark::State &state)
{
    for (auto _ : state)
        if (oursDecode() != 0)
            state.SkipWithError("decode failed");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_plainBytes));
}

void BM_GnuPG(benchmark::State &state)
{
    const std::string command = "GNUPGHOME='" + g_dir + "' gpg --batch --quiet --no-auto-check-trustdb "
                                "--override-session-key " + g_key + " --decrypt -o /dev/null '" + g_file + "' 2>/dev/null";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("gpg failed");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_plainBytes));
}

bool makeMessage()
{
    char dir[] = "/tmp/qeldecodebenchXXXXXX";
    if (::mkdtemp(dir) == nullptr)
        return false;
    g_dir = dir;
    g_file = g_dir + "/m.gpg";
    g_plainBytes = 64u << 20;
    const std::string g = "GNUPGHOME='" + g_dir + "' gpg --batch --yes --pinentry-mode loopback --passphrase pw ";
    const std::string make = "head -c " + std::to_string(g_plainBytes) + " /dev/urandom > '" + g_dir + "/p' && " + g +
                             "--symmetric --cipher-algo AES128 -z 0 -o '" + g_file + "' '" + g_dir + "/p' 2>/dev/null && rm '" +
                             g_dir + "/p'";
    if (std::system(make.c_str()) != 0)
        return false;
    const std::string show = g + "--decrypt --show-session-key -o /dev/null '" + g_file +
                             "' 2>&1 | sed -n 's/.*session key: .\\([0-9]*:[0-9A-F]*\\).*/\\1/p'";
    FILE *p = ::popen(show.c_str(), "r");
    if (p == nullptr)
        return false;
    char line[256] = {};
    if (std::fgets(line, sizeof line, p) != nullptr)
        g_key = line;
    ::pclose(p);
    while (!g_key.empty() && (g_key.back() == '\n' || g_key.back() == '\r'))
        g_key.pop_back();
    return !g_key.empty();
}

} // namespace

int main(int argc, char **argv)
{
    if (!benchHaveGnuPG() || !makeMessage()) {
        std::fprintf(stderr, "gpg could not make the message\n");
        return 1;
    }
    if (qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0) {
        std::fprintf(stderr, "SDK start-up failed\n");
        return 1;
    }
    if (oursDecode() != 0) {
        std::fprintf(stderr, "our decode failed\n");
        return 1;
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    benchmark::RegisterBenchmark("qel/decode", BM_Ours)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
    benchmark::RegisterBenchmark("gpg/decode", BM_GnuPG)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\nDecrypting a 64 MiB AES-128 message, time ours / gpg --decrypt (limit 0.5)\n");
    printRatio(reporter, "qel/decode/", "gpg/decode/", "parse + decrypt", 0.5);
    std::printf("peak resident size of ours after one decode: %.1f MiB (limit 16)\n", peakMiB);
    std::system(("rm -rf '" + g_dir + "'").c_str());
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
