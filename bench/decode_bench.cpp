// Reading GnuPG's messages here (message parser, annotation reader, a Dev
// Null output) against gpg itself on the same files, in the same run:
//  - a 64 MiB `gpg --symmetric --cipher-algo AES128 -z 0` message, both
//    handed the session key, against `gpg --decrypt` to /dev/null; limit 0.5x.
//    Once as gpg wrote it, and once more as a copy written in 1 MiB pieces
//    (as a download or `cp` writes a file): the kernel caches a file written
//    8 KiB at a time in small pages, and reading 64 MiB of those costs both
//    sides several milliseconds more in the kernel than reading the copy;
//  - a 64 MiB one-pass signed message (`gpg --sign -z 0`, RSA, SHA-256)
//    against `gpg --verify`; limit 0.5x. Ours hashes the literal and checks
//    the digest's two leading octets against the signature; the one RSA
//    check (tens of microseconds) is the decode job's;
//  - the peak resident size while decrypting the 64 MiB message and a 1 GiB
//    one (limit 16 MiB each).
// Beside the real-time ratios, the ratios of the processor time each side
// spent (ours, and gpg's as the shell's child), best run against best run:
// on a shared machine a one-core run waits for its core, and the waiting
// goes into real time but not into processor time.
// Ours reads the files through the SDK's File Read Module, as the reader
// program does (1 MiB reads into one buffer per file; on one processor no
// read-ahead thread), so the times and the peak are those of a real decode
// (run under `taskset -c` for the one-core figures).
#include "bench_memory.h"
#include "bench_ratio.h"
#include "gpg_timing.h"

#include "qelAnnotationReaderInternal.h"
#include "qelContextInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelFileReadModuleInternal.h"
#include "qelMessageParserInternal.h"
#include "qelSDK.h"
#include "qelSettingsInternal.h"
#include "qelSigItemInternal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

QELContext *g_context = nullptr;
std::string g_dir;        // the files, and the GnuPG home of the symmetric messages
std::string g_signHome;   // the signer's GnuPG home, apart, so that decryption sees no key
std::string g_file;       // 64 MiB, symmetric, as gpg wrote it
std::string g_copiedFile; // the same, copied in 1 MiB pieces
std::string g_signedFile; // 64 MiB, one-pass signed
std::string g_bigFile;    // 1 GiB, symmetric
std::string g_key;        // "ALG:HEX" of the file being read
std::uint64_t g_plainBytes = 64u << 20;
int g_goodDigests = 0;    // signatures whose digest matched their leading octets

// Processor time, user and system, in milliseconds: RUSAGE_SELF for ours,
// RUSAGE_CHILDREN for gpg's (waited-for children and theirs).
double processorMs(int who)
{
    rusage use{};
    static_cast<void>(::getrusage(who, &use));
    return (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1e3 + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e3;
}

// The best processor time per benchmark name.
std::map<std::string, double> g_bestProcessorMs;

void noteProcessorMs(const std::string &name, double ms)
{
    auto [it, fresh] = g_bestProcessorMs.emplace(name, ms);
    if (!fresh && ms < it->second)
        it->second = ms;
}

void printProcessorRatio(const std::string &ours, const std::string &theirs, const char *label)
{
    auto a = g_bestProcessorMs.find(ours), b = g_bestProcessorMs.find(theirs);
    if (a != g_bestProcessorMs.end() && b != g_bestProcessorMs.end() && b->second > 0)
        std::printf("%-44s %6.2fx  (%.1f ms / %.1f ms)\n", label, a->second / b->second, a->second, b->second);
}

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
QELStatus signatureResult(void *, const QELSigItem *signature, const std::uint8_t *digest)
{
    QELSigBodyLayout layout{};
    if (digest != nullptr &&
        qelSigPacketLayout(qelSigItemBytes(signature), static_cast<std::size_t>(signature->length), &layout) == 0 &&
        std::memcmp(qelSigItemBytes(signature) + layout.prefixOffset, digest, 2) == 0)
        ++g_goodDigests;
    return 0;
}
QELStatus decrypt(void *, QELSigItem *, QELStatus (*send)(void *, const std::uint8_t *, std::uint64_t), void *context)
{
    const auto colon = g_key.find(':');
    std::vector<std::uint8_t> key{static_cast<std::uint8_t>(std::stoi(g_key.substr(0, colon)))};
    for (std::size_t i = colon + 1; i + 1 < g_key.size(); i += 2)
        key.push_back(static_cast<std::uint8_t>(std::stoi(g_key.substr(i, 2), nullptr, 16)));
    return send(context, key.data(), key.size());
}
const QELDecodeCallbacks kCallbacks{report, reply, openOutput, detachedData, signatureResult, decrypt, nullptr};

QELStatus oursDecode(const std::string &file)
{
    QELSettings *settings = nullptr;
    if (qelSettingsCreate(g_context, &settings) != 0)
        return QELError_OutOfMemory;
    QELPipeModule *head = nullptr;
    QELStatus status = 0;
    if (qelAnnotationReaderCreate(g_context, &head, settings, &kCallbacks, nullptr) == nullptr ||
        qelMessageParserCreate(g_context, &head, settings, &kCallbacks, nullptr) == nullptr)
        status = QELError_OutOfMemory;
    std::FILE *stream = status == 0 ? std::fopen(file.c_str(), "rb") : nullptr;
    QELFileReadModule *source = stream != nullptr ? qelFileReadModuleCreateFromStream(g_context, stream, true) : nullptr;
    if (stream != nullptr && source == nullptr)
        std::fclose(stream); // still ours when no source was made
    if (status == 0 && source == nullptr)
        status = QELError_FileOpFailed;
    if (status == 0)
        status = qelFileReadPump(source, head);
    if (source != nullptr && qelFileReadDestroy(source) != 0 && status == 0)
        status = QELError_FileOpFailed;
    qelPipeDestroy(head);
    qelSettingsFree(settings);
    return status;
}

void oursDecrypting(benchmark::State &state, const std::string &file, const char *name)
{
    for (auto _ : state) {
        const double start = processorMs(RUSAGE_SELF);
        if (oursDecode(file) != 0)
            state.SkipWithError("decode failed");
        noteProcessorMs(name, processorMs(RUSAGE_SELF) - start);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_plainBytes));
}

void BM_Ours(benchmark::State &state) { oursDecrypting(state, g_file, "qel/decode"); }
void BM_OursCopied(benchmark::State &state) { oursDecrypting(state, g_copiedFile, "qel/decode-copy"); }

void BM_OursVerify(benchmark::State &state)
{
    for (auto _ : state) {
        g_goodDigests = 0;
        const double start = processorMs(RUSAGE_SELF);
        if (oursDecode(g_signedFile) != 0 || g_goodDigests != 1)
            state.SkipWithError("verify failed");
        noteProcessorMs("qel/verify", processorMs(RUSAGE_SELF) - start);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_plainBytes));
}

std::string gpgCommand(const std::string &home)
{
    return "GNUPGHOME='" + home + "' gpg --batch --quiet --no-auto-check-trustdb ";
}

void runGnuPG(benchmark::State &state, const std::string &command, const char *name)
{
    for (auto _ : state) {
        const double start = processorMs(RUSAGE_CHILDREN);
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("gpg failed");
        noteProcessorMs(name, processorMs(RUSAGE_CHILDREN) - start);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_plainBytes));
}

void gnupgDecrypting(benchmark::State &state, const std::string &file, const char *name)
{
    runGnuPG(state,
             gpgCommand(g_dir) + "--override-session-key " + g_key + " --decrypt -o /dev/null '" + file + "' 2>/dev/null",
             name);
}

void BM_GnuPG(benchmark::State &state) { gnupgDecrypting(state, g_file, "gpg/decode"); }
void BM_GnuPGCopied(benchmark::State &state) { gnupgDecrypting(state, g_copiedFile, "gpg/decode-copy"); }

void BM_GnuPGVerify(benchmark::State &state)
{
    runGnuPG(state, gpgCommand(g_signHome) + "--verify '" + g_signedFile + "' 2>/dev/null", "gpg/verify");
}

bool run(const std::string &command) { return std::system(command.c_str()) == 0; }

std::string gpgLoopback(const std::string &home = g_dir)
{
    return "GNUPGHOME='" + home + "' gpg --batch --yes --pinentry-mode loopback ";
}

// The session key ("ALG:HEX") of a symmetric message, as gpg shows it.
std::string sessionKey(const std::string &file)
{
    const std::string show = gpgLoopback() + "--passphrase pw --decrypt --show-session-key -o /dev/null '" + file +
                             "' 2>&1 | sed -n 's/.*session key: .\\([0-9]*:[0-9A-F]*\\).*/\\1/p'";
    std::string key;
    FILE *p = ::popen(show.c_str(), "r");
    if (p == nullptr)
        return key;
    char line[256] = {};
    if (std::fgets(line, sizeof line, p) != nullptr)
        key = line;
    ::pclose(p);
    while (!key.empty() && (key.back() == '\n' || key.back() == '\r'))
        key.pop_back();
    return key;
}

// A symmetric AES-128 message of `bytes` random bytes, never kept as a file.
bool makeSymmetric(const std::string &file, std::uint64_t bytes)
{
    return run("head -c " + std::to_string(bytes) + " /dev/urandom | " + gpgLoopback() +
               "--passphrase pw --symmetric --cipher-algo AES128 -z 0 -o '" + file + "' 2>/dev/null");
}

// A copy of a file written in 1 MiB pieces.
bool copyInPieces(const std::string &from, const std::string &to)
{
    FILE *in = std::fopen(from.c_str(), "rb");
    FILE *out = std::fopen(to.c_str(), "wb");
    bool ok = in != nullptr && out != nullptr;
    std::vector<char> piece(1 << 20);
    while (ok) {
        const std::size_t n = std::fread(piece.data(), 1, piece.size(), in);
        if (n == 0)
            break;
        ok = std::fwrite(piece.data(), 1, n, out) == n;
    }
    ok = ok && std::ferror(in) == 0;
    if (in != nullptr)
        std::fclose(in);
    if (out != nullptr)
        ok = std::fclose(out) == 0 && ok;
    return ok;
}

bool makeMessages()
{
    char dir[] = "/tmp/qeldecodebenchXXXXXX";
    if (::mkdtemp(dir) == nullptr)
        return false;
    g_dir = dir;
    g_file = g_dir + "/m.gpg";
    g_copiedFile = g_dir + "/copy.gpg";
    g_signedFile = g_dir + "/s.gpg";
    g_bigFile = g_dir + "/big.gpg";
    g_signHome = g_dir + "/signer";
    if (::mkdir(g_signHome.c_str(), 0700) != 0)
        return false;
    if (!makeSymmetric(g_file, g_plainBytes) || (g_key = sessionKey(g_file)).empty() ||
        !copyInPieces(g_file, g_copiedFile))
        return false;
    return run(gpgLoopback(g_signHome) + "--passphrase '' --quick-gen-key 'Bench <bench@example.org>' rsa2048 sign never "
                               "2>/dev/null") &&
           run("head -c " + std::to_string(g_plainBytes) + " /dev/urandom | " + gpgLoopback(g_signHome) +
               "--passphrase '' --sign --digest-algo SHA256 -z 0 -o '" + g_signedFile + "' 2>/dev/null");
}

// The peak resident size, in MiB, while reading a file; -1 when it fails.
double peakWhileDecoding(const std::string &file)
{
    benchResetPeak();
    if (oursDecode(file) != 0)
        return -1;
    return static_cast<double>(benchStatusKB("VmHWM:")) / 1024.0;
}

} // namespace

int main(int argc, char **argv)
{
    if (!benchHaveGnuPG() || !makeMessages()) {
        std::fprintf(stderr, "gpg could not make the messages\n");
        return 1;
    }
    if (qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0) {
        std::fprintf(stderr, "SDK start-up failed\n");
        return 1;
    }
    // The peaks first, before the benchmark library holds anything.
    const double peakMiB = peakWhileDecoding(g_file);
    const std::string key = g_key;
    double bigPeakMiB = -1;
    if (makeSymmetric(g_bigFile, std::uint64_t{1} << 30) && !(g_key = sessionKey(g_bigFile)).empty())
        bigPeakMiB = peakWhileDecoding(g_bigFile);
    g_key = key;
    std::system(("rm -f '" + g_bigFile + "'").c_str());
    if (peakMiB < 0 || bigPeakMiB < 0) {
        std::fprintf(stderr, "our decode failed\n");
        return 1;
    }
    benchmark::RegisterBenchmark("qel/decode", BM_Ours)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(10)->UseRealTime();
    benchmark::RegisterBenchmark("gpg/decode", BM_GnuPG)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(10)->UseRealTime();
    benchmark::RegisterBenchmark("qel/decode-copy", BM_OursCopied)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(10)->UseRealTime();
    benchmark::RegisterBenchmark("gpg/decode-copy", BM_GnuPGCopied)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(10)->UseRealTime();
    benchmark::RegisterBenchmark("qel/verify", BM_OursVerify)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(10)->UseRealTime();
    benchmark::RegisterBenchmark("gpg/verify", BM_GnuPGVerify)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(10)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\nReading 64 MiB messages, time ours / gpg (limit 0.5)\n");
    printRatio(reporter, "qel/decode/", "gpg/decode/", "AES-128 decrypt vs gpg --decrypt", 0.5);
    printRatio(reporter, "qel/decode-copy/", "gpg/decode-copy/", "the same, on a copy written in 1 MiB pieces", 0.5);
    printRatio(reporter, "qel/verify/", "gpg/verify/", "one-pass SHA-256 verify vs gpg --verify", 0.5);
    std::printf("\nProcessor time, ours / gpg (best runs)\n");
    printProcessorRatio("qel/decode", "gpg/decode", "AES-128 decrypt vs gpg --decrypt");
    printProcessorRatio("qel/decode-copy", "gpg/decode-copy", "the same, on the copy");
    printProcessorRatio("qel/verify", "gpg/verify", "one-pass SHA-256 verify vs gpg --verify");
    std::printf("peak resident size while decrypting 64 MiB: %.1f MiB (limit 16)\n", peakMiB);
    std::printf("peak resident size while decrypting 1 GiB:  %.1f MiB (limit 16)\n", bigPeakMiB);
    std::system(("GNUPGHOME='" + g_signHome + "' gpgconf --kill all >/dev/null 2>&1; GNUPGHOME='" + g_dir +
                 "' gpgconf --kill all >/dev/null 2>&1; rm -rf '" + g_dir + "'").c_str());
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
