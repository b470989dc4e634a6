// Key database speed and memory on a ring of 10,000 keys: opening it and
// finding every key by its 8-byte and 4-byte key IDs against GnuPG's
// --list-packets of the same ring, and a commit after one change against
// copying the ring file with fsync. The ring is made once by
// bench/make_keydb_ring.py (python3) as keydb_bench_ring.gpg in the working
// directory and reused on later runs.
#include "qelContextInternal.h"
#include "qelFileSpecInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"
#include "qelSDK.h"

#include "gpg_timing.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kRing = "keydb_bench_ring.gpg";
const std::string kWorkRing = "keydb_bench_work.gpg";
QELContext *g_context = nullptr;
double g_openLookup = 0, g_gpg = 0, g_commit = 0, g_copy = 0;
// Processor time too: on a busy machine wall time mostly measures waiting.
double g_openLookupCPU = 0, g_gpgCPU = 0;

constexpr int kBestOf = 5;

bool ensureRing() { return benchEnsureRing(kRing, "make_keydb_ring.py"); }

QELFileSpec *specFor(const std::string &path)
{
    QELFileSpec *spec = nullptr;
    if (qelFileSpecNewFromPath(qelContextGetMemoryMgr(g_context), path.c_str(), &spec) != 0)
        return nullptr;
    return spec;
}

// Opens the ring and finds every key by both ID forms; false on a miss.
bool openAndLookUp(const std::string &path)
{
    QELFileSpec *spec = specFor(path);
    QELStatus status = 0;
    QELKeyDB *db = qelKeyDBOpenRingFiles(g_context, spec, nullptr, 0, &status);
    bool ok = db != nullptr;
    for (QELKeyObject *k = ok ? db->firstKey : nullptr; k && ok; k = k->next) {
        QELKeyID full{}, shortID{};
        qelKeyObjGetKeyID(k, nullptr, &full);
        qelKeyObjGetShortKeyID(k, nullptr, &shortID);
        QELKeyObject *a = nullptr, *b = nullptr;
        ok = qelKeyDBFindKeyByIDLocal(db, &full, false, false, &a) == 0 && a == k &&
             qelKeyDBFindKeyByIDLocal(db, &shortID, false, false, &b) == 0 && b != nullptr;
    }
    if (db != nullptr)
        static_cast<void>(qelKeyDBRelease(db)); // read-only: nothing to commit
    static_cast<void>(qelFileSpecFree(spec));
    return ok;
}

void BM_OpenAndLookUpEveryKey(benchmark::State &state)
{
    if (!ensureRing()) {
        state.SkipWithError("cannot make the ring (python3 missing?)");
        return;
    }
    for (auto _ : state)
        if (!openAndLookUp(kRing))
            state.SkipWithError("a key was not found");
    // Best of several: on a shared machine the slower runs measure waiting.
    for (int run = 0; run < kBestOf; ++run) {
        const double start = benchNow();
        const double cpu = benchCpuSeconds(RUSAGE_SELF);
        openAndLookUp(kRing);
        benchKeepBest(g_openLookupCPU, benchCpuSeconds(RUSAGE_SELF) - cpu);
        benchKeepBest(g_openLookup, benchNow() - start);
    }
}
BENCHMARK(BM_OpenAndLookUpEveryKey)->Unit(benchmark::kMillisecond);

void BM_GnuPGListPackets(benchmark::State &state)
{
    if (!ensureRing() || !benchHaveGnuPG()) {
        state.SkipWithError("gpg is not installed");
        return;
    }
    std::string command = "gpg --list-packets " + kRing + " >/dev/null 2>&1";
    for (auto _ : state)
        benchmark::DoNotOptimize(std::system(command.c_str()));
    for (int run = 0; run < kBestOf; ++run) {
        double wall = 0, cpu = 0;
        benchTimeCommand(command, &wall, &cpu);
        benchKeepBest(g_gpgCPU, cpu);
        benchKeepBest(g_gpg, wall);
    }
}
BENCHMARK(BM_GnuPGListPackets)->Unit(benchmark::kMillisecond);

void BM_CommitAfterOneChange(benchmark::State &state)
{
    if (!ensureRing())
        return;
    std::filesystem::copy_file(kRing, kWorkRing, std::filesystem::copy_options::overwrite_existing);
    QELFileSpec *spec = specFor(kWorkRing);
    QELStatus status = 0;
    QELKeyDB *db = qelKeyDBOpenRingFiles(g_context, spec, nullptr, QELKeyDBOpen_Writable, &status);
    if (db == nullptr) {
        state.SkipWithError("cannot open the ring for writing");
        return;
    }
    QELKeyObject *key = db->firstKey;
    for (auto _ : state) {
        key->flags ^= QELKeyObjFlag_Deleted; // one key comes and goes
        qelKeyDBMarkChanged(db, false);
        auto start = std::chrono::steady_clock::now();
        if (qelKeyDBCommit(db) != 0)
            state.SkipWithError("commit failed");
        benchKeepBest(g_commit, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    key->flags &= ~QELKeyObjFlag_Deleted;
    static_cast<void>(qelKeyDBRelease(db));
    static_cast<void>(qelFileSpecFree(spec));
    std::filesystem::remove(kWorkRing);
}
BENCHMARK(BM_CommitAfterOneChange)->Unit(benchmark::kMillisecond);

// The floor for any safe rewrite: copy the file, fsync it, rename it.
void BM_CopyRingWithFsync(benchmark::State &state)
{
    if (!ensureRing())
        return;
    std::ifstream in(kRing, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        int fd = ::open("keydb_bench_copy.tmp", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        bool ok = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) &&
                  ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        ok = ok && std::rename("keydb_bench_copy.tmp", "keydb_bench_copy.gpg") == 0;
        if (!ok)
            state.SkipWithError("copy failed");
        benchKeepBest(g_copy, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::filesystem::remove("keydb_bench_copy.gpg");
}
BENCHMARK(BM_CopyRingWithFsync)->Unit(benchmark::kMillisecond);

long statusKB(const char *field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

// Peak memory of one open with lookups, above what the process held before.
double peakMemoryRatio()
{
    {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";
    }
    long before = statusKB("VmRSS:");
    openAndLookUp(kRing);
    long peak = statusKB("VmHWM:");
    double ringKB = double(std::filesystem::file_size(kRing)) / 1024;
    return before < 0 || peak < 0 ? -1 : double(peak - before) / ringKB;
}

} // namespace

int main(int argc, char **argv)
{
    if (qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0)
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3)
        std::printf("load average %.2f %.2f %.2f; times below are the best of several runs\n", load[0], load[1],
                    load[2]);
    if (g_gpg > 0)
        std::printf("open + look up every key: %.3f s; gpg --list-packets: %.3f s; ratio %.3f "
                    "(at most 0.5, goal 0.1)\n",
                    g_openLookup, g_gpg, g_openLookup / g_gpg);
    if (g_gpgCPU > 0)
        std::printf("processor time: ours %.3f s, gpg %.3f s; ratio %.3f\n", g_openLookupCPU, g_gpgCPU,
                    g_openLookupCPU / g_gpgCPU);
    if (g_copy > 0)
        std::printf("commit after one change: %.4f s; copy with fsync: %.4f s; ratio %.2f (at most 2)\n",
                    g_commit, g_copy, g_commit / g_copy);
    if (ensureRing())
        std::printf("peak memory of an open: %.2f x the ring's size (at most 4)\n", peakMemoryRatio());
    benchmark::Shutdown();
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
