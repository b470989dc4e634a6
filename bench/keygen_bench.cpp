// Key generation with its self-signatures, here against GnuPG:
//  - RSA-2048 (version 4, key flags) against
//    `gpg --quick-gen-key 'x <x@y>' rsa2048 default never`;
//  - DSA-2048 with an ElGamal-2048 subkey against `--quick-gen-key ... dsa2048`
//    followed by `--quick-add-key FPR elg2048`.
// Both sides make fresh groups (no fixed ElGamal prime here) and leave the
// secret keys unprotected, as GnuPG does with an empty passphrase. GnuPG's
// figures include starting gpg (its agent is started once, before timing).
// Generation time varies with where the primes fall (a median of five swung
// from 0.4x to 1.2x between runs here): each figure is the median of fifteen
// runs, and the ratio ours / gpg is printed after the table.
#include "bench_ratio.h"
#include "gpg_timing.h"
#include "qelAlgorithms.h"
#include "qelClientEncode.h"
#include "qelContextInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyGenInternal.h"
#include "qelOptionList.h"
#include "qelOptionListInternal.h"
#include "qelRandomPool.h"
#include "qelRandomPoolInternal.h"
#include "qelSDK.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

QELContext *g_context = nullptr;
BenchGnuPGHome g_home;
int g_serial = 0;

// One key (and, for DSA, its ElGamal subkey) into a fresh database.
bool generateHere(bool dsa)
{
    QELKeyDB *db = nullptr;
    if (qelKeyDBNewInMemoryLocal(g_context, &db) != QELError_NoErr)
        return false;
    qelRandomPoolRaiseEntropy(8192);
    static const char kUserID[] = "x <x@y>";
    QELOptionList *options = qelOptionListBuild(
        g_context, false, qelOptionTargetKeyDB(g_context, db),
        qelOptionKeyGenParams(g_context, dsa ? QELPublicKeyAlgorithm_DSA : QELPublicKeyAlgorithm_RSA, 2048, 0),
        qelOptionUserID(g_context, kUserID, sizeof kUserID - 1), qelOptionKeyFlags(g_context, 0x03),
        qelOptionKeyGenFlag(g_context, 0), qelOptionLastOption(g_context));
    QELKeyObject *key = nullptr;
    bool ok = qelKeyGenerateWithOptions(&key, options) == QELError_NoErr;
    qelOptionListFree(options);
    if (ok && dsa) {
        qelRandomPoolRaiseEntropy(8192);
        options = qelOptionListBuild(g_context, false, qelOptionMasterKey(g_context, key),
                                     qelOptionKeyGenParams(g_context, QELPublicKeyAlgorithm_ElGamal, 2048, 0),
                                     qelOptionKeyFlags(g_context, 0x0C), qelOptionKeyGenFlag(g_context, 0),
                                     qelOptionLastOption(g_context));
        QELKeyObject *sub = nullptr;
        ok = qelSubKeyGenerateWithOptions(&sub, options) == QELError_NoErr;
        qelOptionListFree(options);
    }
    static_cast<void>(qelKeyDBReleaseLocal(db)); // the key was only made to be timed
    return ok;
}

void BM_Ours(benchmark::State &state)
{
    for (auto _ : state)
        if (!generateHere(state.range(0) != 0)) {
            state.SkipWithError("generation failed");
            break;
        }
}

// The fingerprint GnuPG reports for the key it made (status KEY_CREATED).
std::string quickGenKey(const std::string &algorithm)
{
    const std::string command = g_home.gpg() + " --pinentry-mode loopback --passphrase '' --status-fd 1 "
                                "--quick-gen-key 'x" + std::to_string(++g_serial) + " <x@y>' " + algorithm +
                                " default never 2>/dev/null";
    FILE *out = ::popen(command.c_str(), "r");
    if (out == nullptr)
        return {};
    std::string fpr;
    char line[512];
    while (std::fgets(line, sizeof line, out) != nullptr) {
        const std::string s = line;
        const std::string::size_type at = s.find("KEY_CREATED ");
        if (at != std::string::npos)
            fpr = s.substr(s.rfind(' ') + 1, 40);
    }
    return ::pclose(out) == 0 ? fpr : std::string();
}

bool ensureGnuPGHome()
{
    if (!g_home.ready())
        static_cast<void>(g_home.import("/dev/null")); // an empty home: the import finds nothing to take
    if (!g_home.ready())
        return false;
    // The agent starts before anything is timed.
    return std::system((g_home.gpg() + " --list-secret-keys >/dev/null 2>&1 && gpg-connect-agent --homedir " +
                        g_home.path() + " /bye >/dev/null 2>&1")
                           .c_str()) == 0;
}

void BM_GnuPG(benchmark::State &state)
{
    if (!ensureGnuPGHome()) {
        state.SkipWithError("gpg is not installed or its home could not be made");
        return;
    }
    const bool dsa = state.range(0) != 0;
    for (auto _ : state) {
        const std::string fpr = quickGenKey(dsa ? "dsa2048" : "rsa2048");
        bool ok = fpr.size() == 40;
        if (ok && dsa)
            ok = std::system((g_home.gpg() + " --pinentry-mode loopback --passphrase '' --quick-add-key " + fpr +
                              " elg2048 default never >/dev/null 2>&1")
                                 .c_str()) == 0;
        if (!ok) {
            state.SkipWithError("gpg could not generate the key");
            break;
        }
    }
}

constexpr int kRuns = 15;

void setUp(benchmark::internal::Benchmark *b)
{
    b->ArgName("dsa_elg")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(kRuns)
        ->ReportAggregatesOnly(true);
}
BENCHMARK(BM_Ours)->Apply(setUp);
BENCHMARK(BM_GnuPG)->Apply(setUp);

} // namespace

int main(int argc, char **argv)
{
    if (qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0)
        return 1;
    qelRandomPoolSetSeeded(); // the bench does without a user typing
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatio(reporter, "BM_Ours/dsa_elg:0", "BM_GnuPG/dsa_elg:0", "RSA-2048 key, ours / gpg (median of 15)", 0);
    printRatio(reporter, "BM_Ours/dsa_elg:1", "BM_GnuPG/dsa_elg:1",
               "DSA-2048 + ElGamal-2048, ours / gpg (median of 15)", 0);
    benchmark::Shutdown();
    g_home.remove();
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
