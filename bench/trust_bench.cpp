// Trust propagation over webs of keys that each carry one user ID, its
// self-certification and ten certifications by other keys chosen at random;
// a third of the keys are complete introducers, a third marginal, one key is
// axiomatic.
//  - Growth: synthetic webs of 100 and 1,000 keys (10,000 certifications)
//    built as packets without real signatures, every signature marked
//    checked and valid (all propagation looks at); the growth from 100 to
//    1,000 keys is printed beside that of the user IDs and of the steps the
//    path search took.
//  - Peer: the same shape of web with real signatures (1,000 RSA-1024 keys,
//    made once by bench/make_trust_ring.py as trust_bench_ring.gpg in the
//    working directory), propagated here against `gpg --check-trustdb` over
//    the same ring and owner trust (trust model pgp, 2 marginals,
//    1 complete, depth 4; the trust database rebuilt from the owner trust
//    before each run, not timed). GnuPG checks the certifications as it
//    walks, so the ratio is printed both for propagation alone (signatures
//    checked before) and for checking every signature and propagating.
#include "gpg_timing.h"
#include "qelContextInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySigInternal.h"
#include "qelSDK.h"
#include "qelTrustPropInternal.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
QELContext *g_context = nullptr;
constexpr std::uint32_t kCreation = 1700000000;
constexpr int kCertsPerKey = 10;

struct Figures {
    double seconds = 0;
    std::uint64_t paths = 0;
    std::uint64_t steps = 0;
};
std::map<int, Figures> g_figures;

void be16(Bytes &b, std::size_t v)
{
    b.push_back(std::uint8_t(v >> 8));
    b.push_back(std::uint8_t(v));
}
void be32(Bytes &b, std::uint32_t v)
{
    be16(b, v >> 16);
    be16(b, v & 0xFFFF);
}

// An old-format packet with a two-octet length.
void packet(Bytes &ring, std::uint8_t tag, const Bytes &body)
{
    ring.push_back(std::uint8_t(0x80 | (tag << 2) | 1));
    be16(ring, body.size());
    ring.insert(ring.end(), body.begin(), body.end());
}

Bytes keyBody(int i)
{
    Bytes b{4};
    be32(b, kCreation);
    b.push_back(1); // RSA
    be16(b, 1024);
    std::mt19937 rng(std::uint32_t(i) * 2654435761u + 1);
    for (int k = 0; k < 128; ++k)
        b.push_back(std::uint8_t(k == 0 ? 0x80 | rng() : k == 127 ? rng() | 1 : rng()));
    be16(b, 17);
    b.insert(b.end(), {0x01, 0x00, 0x01});
    return b;
}

Bytes userID(int i)
{
    const std::string s = "User " + std::to_string(i) + " <user" + std::to_string(i) + "@example.org>";
    return Bytes(s.begin(), s.end());
}

Bytes certification(const std::uint8_t issuer[8], std::uint32_t creation)
{
    Bytes b{4, 0x13, 1, 2};
    be16(b, 6);
    b.insert(b.end(), {5, 2});
    be32(b, creation);
    be16(b, 10);
    b.insert(b.end(), {9, 16});
    b.insert(b.end(), issuer, issuer + 8);
    b.insert(b.end(), {0xAB, 0xCD, 0x00, 0x08, 0xFF});
    return b;
}

// Owner trust as the ring's owner-trust file gives GnuPG: key 0 axiomatic
// (its secret part taken as present), then complete, marginal, undefined.
void setOwnerTrust(QELKeyDB *db)
{
    int index = 0;
    for (QELKeyObject *k = db->firstKey; k; k = k->next, ++index) {
        QELKeyInfo *ki = qelKeyObjKeyInfo(k);
        const std::uint8_t ownerTrust = index == 0 ? 255 : index % 3 == 0 ? 120 : index % 3 == 1 ? 60 : 253;
        if (index == 0) {
            ki->infoFlags |= QELKeyInfo_SecretInRing;
            ki->trust = 0x87;
        }
        for (QELKeyObject *u = k->firstChild; u; u = u->next)
            if (qelKeyObjType(u) == QELObjectType_UserID)
                qelKeyObjUserIDInfo(u)->ownerTrust = ownerTrust;
    }
}

// The web of n keys, read and prepared; released by the caller.
QELKeyDB *makeWeb(int n)
{
    Bytes ring;
    for (int i = 0; i < n; ++i) {
        packet(ring, 6, keyBody(i));
        packet(ring, 13, userID(i));
    }
    QELStatus s = 0;
    QELKeyDB *bare = qelKeyDBReadBuffer(g_context, ring.data(), ring.size(), &s);
    if (bare == nullptr)
        return nullptr;
    std::vector<std::array<std::uint8_t, 8>> ids;
    for (QELKeyObject *k = bare->firstKey; k; k = k->next) {
        std::array<std::uint8_t, 8> id{};
        std::memcpy(id.data(), qelKeyObjKeyInfo(k)->keyID, 8);
        ids.push_back(id);
    }
    static_cast<void>(qelKeyDBReleaseLocal(bare)); // read only for the key IDs

    std::mt19937 rng(12345);
    ring.clear();
    for (int i = 0; i < n; ++i) {
        packet(ring, 6, keyBody(i));
        packet(ring, 13, userID(i));
        packet(ring, 2, certification(ids[std::size_t(i)].data(), kCreation + 1));
        std::vector<int> signers;
        while (int(signers.size()) < std::min(kCertsPerKey, n - 1)) {
            int j = int(rng() % std::uint32_t(n));
            if (j != i && std::find(signers.begin(), signers.end(), j) == signers.end())
                signers.push_back(j);
        }
        for (int j : signers)
            packet(ring, 2, certification(ids[std::size_t(j)].data(), kCreation + 2));
    }
    QELKeyDB *db = qelKeyDBReadBuffer(g_context, ring.data(), ring.size(), &s);
    if (db == nullptr)
        return nullptr;
    setOwnerTrust(db);
    // The synthetic certifications carry no real signatures: taken as checked.
    for (QELKeyObject *k = db->firstKey; k; k = k->next)
        for (QELKeyObject *u = k->firstChild; u; u = u->next)
            if (qelKeyObjType(u) == QELObjectType_UserID)
                for (QELKeyObject *sig = u->firstChild; sig; sig = sig->next)
                    qelKeyObjSigInfo(sig)->state = QELSigState_Checked | QELSigState_Valid;
    return db;
}

void BM_Propagate(benchmark::State &state)
{
    const int n = int(state.range(0));
    QELKeyDB *db = makeWeb(n);
    if (db == nullptr) {
        state.SkipWithError("the web could not be built");
        return;
    }
    std::uint64_t certs = 0, valid = 0;
    for (auto _ : state) {
        static_cast<void>(qelTrustPropagateLocal(qelKeyDBRootSet(db), nullptr, kCreation + 3600, nullptr));
    }
    for (QELKeyObject *k = db->firstKey; k; k = k->next)
        for (QELKeyObject *u = k->firstChild; u; u = u->next)
            if (qelKeyObjType(u) == QELObjectType_UserID) {
                valid += qelKeyObjUserIDInfo(u)->validity != 0;
                for (QELKeyObject *sig = u->firstChild; sig; sig = sig->next)
                    certs += qelSigSigner(sig) != k;
            }
    const QELTrustSearchFigures f = qelTrustLastSearchFigures();
    state.counters["certifications"] = double(certs);
    state.counters["valid_uids"] = double(valid);
    state.counters["paths"] = double(f.pathsFound);
    state.counters["records"] = double(f.recordsAllocated);
    state.counters["steps"] = double(f.steps);
    state.counters["cut_short"] = double(f.cutShort);
    g_figures[n].paths = f.pathsFound;
    g_figures[n].steps = f.steps;
    static_cast<void>(qelKeyDBReleaseLocal(db));
}
BENCHMARK(BM_Propagate)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Repetitions(5);

// ---- the web with real signatures, against GnuPG ------------------------------

const std::string kRing = "trust_bench_ring.gpg";
Bytes g_ring;
BenchGnuPGHome g_home;
double g_oursPropagate = 0, g_oursCheckAndPropagate = 0, g_gpg = 0;
int g_oursFull = 0, g_oursMarginal = 0;

bool ensureRing()
{
    if (!g_ring.empty())
        return true;
    // The ring and its owner-trust file are made together; one without the
    // other is made again.
    if (!std::filesystem::exists(kRing + ".ownertrust"))
        std::filesystem::remove(kRing);
    if (!benchEnsureRing(kRing, "make_trust_ring.py"))
        return false;
    std::ifstream in(kRing, std::ios::binary);
    g_ring.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !g_ring.empty();
}

void BM_PropagateSignedWeb(benchmark::State &state)
{
    if (!ensureRing()) {
        state.SkipWithError("cannot make the ring (python3 with cryptography missing?)");
        return;
    }
    QELStatus status = 0;
    QELKeyDB *db = qelKeyDBReadBuffer(g_context, g_ring.data(), g_ring.size(), &status);
    if (db == nullptr) {
        state.SkipWithError("the ring could not be read");
        return;
    }
    setOwnerTrust(db);
    QELKeySet *root = qelKeyDBRootSet(db);
    const bool recheck = state.range(0) != 0;
    if (!recheck && qelKeySigCheckSetWithProgress(root, nullptr, true, nullptr, nullptr, nullptr) != 0) {
        state.SkipWithError("the signature check failed");
        return;
    }
    for (auto _ : state) {
        const double start = benchNow();
        if (recheck && qelKeySigCheckSetWithProgress(root, nullptr, true, nullptr, nullptr, nullptr) != 0) {
            state.SkipWithError("the signature check failed");
            break;
        }
        static_cast<void>(qelTrustPropagateLocal(root, nullptr, kCreation + 3600, nullptr));
        benchKeepBest(recheck ? g_oursCheckAndPropagate : g_oursPropagate, benchNow() - start);
    }
    g_oursFull = g_oursMarginal = 0;
    for (QELKeyObject *k = db->firstKey; k; k = k->next)
        for (QELKeyObject *u = k->firstChild; u; u = u->next)
            if (qelKeyObjType(u) == QELObjectType_UserID) {
                const int nameTrust = qelKeyObjUserIDInfo(u)->nameTrust & 3;
                g_oursFull += nameTrust == 3;
                g_oursMarginal += nameTrust == 2;
            }
    static_cast<void>(qelKeyDBReleaseLocal(db));
}
BENCHMARK(BM_PropagateSignedWeb)->ArgName("recheck")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);

bool ensureGnuPGHome()
{
    return ensureRing() &&
           g_home.import(kRing, "trust-model pgp\nmarginals-needed 2\ncompletes-needed 1\nmax-cert-depth 4\n");
}

void BM_GnuPGCheckTrustDB(benchmark::State &state)
{
    if (!ensureGnuPGHome()) {
        state.SkipWithError("gpg is not installed or the import failed");
        return;
    }
    const std::string reset = "rm -f " + g_home.path() + "/trustdb.gpg && " + g_home.gpg() +
                              " --import-ownertrust " + std::filesystem::absolute(kRing).string() +
                              ".ownertrust >/dev/null 2>&1";
    const std::string check = g_home.gpg() + " --check-trustdb >/dev/null 2>&1";
    for (auto _ : state) {
        state.PauseTiming();
        const bool ready = std::system(reset.c_str()) == 0;
        state.ResumeTiming();
        if (!ready) {
            state.SkipWithError("the owner trust could not be imported");
            break;
        }
        const double start = benchNow();
        if (std::system(check.c_str()) != 0) {
            state.SkipWithError("gpg --check-trustdb failed");
            break;
        }
        benchKeepBest(g_gpg, benchNow() - start);
    }
}
BENCHMARK(BM_GnuPGCheckTrustDB)->Unit(benchmark::kMillisecond)->Iterations(5);

// Keeps the best time of each size's repetitions.
class GrowthReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Aggregate || r.iterations == 0 || r.run_name.function_name != "BM_Propagate")
                continue;
            const int n = std::stoi(r.run_name.args);
            const double t = r.GetAdjustedRealTime() / 1e3; // milliseconds -> seconds
            Figures &f = g_figures[n];
            if (f.seconds <= 0 || t < f.seconds)
                f.seconds = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (qelSDKInit(6) != 0 || qelContextNew(QELSDKVersion, &g_context) != 0)
        return 1;
    benchmark::Initialize(&argc, argv);
    GrowthReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const Figures small = g_figures[100], large = g_figures[1000];
    if (small.seconds > 0 && large.seconds > 0) {
        std::printf("propagation: 100 keys %.2f ms, 1,000 keys / 10,000 certifications %.2f ms\n",
                    small.seconds * 1e3, large.seconds * 1e3);
        const double growth = large.seconds / small.seconds;
        const double stepGrowth = double(large.steps) / double(small.steps ? small.steps : 1);
        std::printf("growth from 100 to 1,000 keys: time %.1fx; user IDs 10.0x; paths met %.1fx (%llu -> %llu)\n",
                    growth, double(large.paths) / double(small.paths ? small.paths : 1),
                    static_cast<unsigned long long>(small.paths), static_cast<unsigned long long>(large.paths));
        // What a search may walk per user ID is bounded by the certification
        // depth, not by the size of the web; a small web cuts more walks
        // short (keys already on the path), so the steps per user ID approach
        // that bound from below as the web grows.
        std::printf("search steps (user IDs searched): %llu -> %llu, %.1fx; per user ID %.0f -> %.0f; "
                    "time per step %.0f ns -> %.0f ns (%.2fx)\n",
                    static_cast<unsigned long long>(small.steps), static_cast<unsigned long long>(large.steps),
                    stepGrowth, double(small.steps) / 100.0, double(large.steps) / 1000.0,
                    small.seconds * 1e9 / double(small.steps ? small.steps : 1),
                    large.seconds * 1e9 / double(large.steps ? large.steps : 1), growth / stepGrowth);
    }
    if (g_gpg > 0 && g_oursPropagate > 0) {
        std::printf("signed web of 1,000 keys: propagation %.1f ms; check every signature and propagate %.1f ms; "
                    "gpg --check-trustdb %.1f ms\n",
                    g_oursPropagate * 1e3, g_oursCheckAndPropagate * 1e3, g_gpg * 1e3);
        std::printf("ratio to gpg --check-trustdb: propagation %.2fx, check and propagation %.2fx\n",
                    g_oursPropagate / g_gpg, g_oursCheckAndPropagate / g_gpg);
        std::printf("user IDs of full / marginal validity here: %d / %d (the models differ; see gpg's listing)\n",
                    g_oursFull, g_oursMarginal);
    }
    benchmark::Shutdown();
    g_home.remove();
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
