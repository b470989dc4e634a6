// Signature checks on keys: opening a ring of 250 RSA-2048 keys with 5,000
// signatures (self-certifications, bindings, certifications by other keys) and
// checking every one, against `gpg --check-sigs --no-sig-cache` on the same
// keys imported into a temporary GnuPG home (import not timed). The ring is
// made once by bench/make_keysig_ring.py (python3 with `cryptography`) as
// keysig_bench_ring.gpg in the working directory and reused on later runs.
#include "qelContextInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySigInternal.h"
#include "qelSDK.h"

#include "gpg_timing.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const std::string kRing = "keysig_bench_ring.gpg";
QELContext *g_context = nullptr;
BenchGnuPGHome g_home;
std::vector<std::uint8_t> g_bytes;
double g_ours = 0, g_oursCheck = 0, g_gpg = 0, g_oursCPU = 0, g_gpgCPU = 0;
int g_valid = 0, g_total = 0;

bool ensureRing()
{
    if (!g_bytes.empty())
        return true;
    if (!benchEnsureRing(kRing, "make_keysig_ring.py"))
        return false;
    std::ifstream in(kRing, std::ios::binary);
    g_bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !g_bytes.empty();
}

// Opens the ring from memory and checks every signature again; returns the
// number found valid. checkSeconds receives the time of the check alone.
int openAndCheck(double *checkSeconds)
{
    QELStatus status = 0;
    QELKeyDB *db = qelKeyDBReadBuffer(g_context, g_bytes.data(), g_bytes.size(), &status);
    if (db == nullptr)
        return -1;
    const double start = benchNow();
    if (qelKeySigCheckSetWithProgress(qelKeyDBRootSet(db), nullptr, true, nullptr, nullptr, nullptr) != 0)
        return -1;
    if (checkSeconds != nullptr)
        *checkSeconds = benchNow() - start;
    int valid = 0, total = 0;
    for (QELKeyObject *k = db->firstKey; k; k = k->next)
        for (QELKeyObject *c = k->firstChild; c; c = c->next)
            for (QELKeyObject *s = c->firstChild; s; s = s->next)
                if (qelKeyObjType(s) == QELObjectType_Signature) {
                    ++total;
                    valid += (qelKeyObjSigInfo(s)->state & QELSigState_Valid) != 0;
                }
    g_total = total;
    static_cast<void>(qelKeyDBRelease(db)); // read from memory: nothing to commit
    return valid;
}

void BM_OpenAndCheckEverySignature(benchmark::State &state)
{
    if (!ensureRing()) {
        state.SkipWithError("cannot make the ring (python3 with cryptography missing?)");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(openAndCheck(nullptr));
    const double start = benchNow();
    const double cpu = benchCpuSeconds(RUSAGE_SELF);
    g_valid = openAndCheck(&g_oursCheck);
    g_oursCPU = benchCpuSeconds(RUSAGE_SELF) - cpu;
    g_ours = benchNow() - start;
}
BENCHMARK(BM_OpenAndCheckEverySignature)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_GnuPGCheckSigs(benchmark::State &state)
{
    if (!ensureRing() || !g_home.import(kRing)) {
        state.SkipWithError("gpg is not installed or the import failed");
        return;
    }
    const std::string command = g_home.gpg() + " --no-sig-cache --check-sigs >/dev/null 2>&1";
    for (auto _ : state)
        benchmark::DoNotOptimize(std::system(command.c_str()));
    benchTimeCommand(command, &g_gpg, &g_gpgCPU);
}
BENCHMARK(BM_GnuPGCheckSigs)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv)
{
    if (qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0)
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::printf("signatures: %d, found valid: %d\n", g_total, g_valid);
    if (g_gpg > 0 && g_ours > 0) {
        std::printf("open + check every signature: %.3f s (check alone %.3f s); gpg --check-sigs: %.3f s; "
                    "ratio %.3f (at most 1.0, goal 0.3)\n",
                    g_ours, g_oursCheck, g_gpg, g_ours / g_gpg);
        if (g_gpgCPU > 0)
            std::printf("processor time: ours %.3f s, gpg %.3f s; ratio %.3f\n", g_oursCPU, g_gpgCPU,
                        g_oursCPU / g_gpgCPU);
    }
    benchmark::Shutdown();
    g_home.remove();
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
