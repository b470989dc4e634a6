// Trust propagation over a synthetic web: 100 and 1,000 keys, each with one
// user ID, its self-certification and ten certifications by other keys
// chosen at random (10,000 certifications for 1,000 keys). A third of the
// keys are complete introducers, a third marginal, one key is axiomatic.
// The signatures are not real: the web is built as packets, read, and every
// signature marked checked and valid, which is all propagation looks at.
// There is no peer figure (GnuPG would need real signatures to build its
// trust database); the growth from 100 to 1,000 keys is printed instead,
// beside the growth of the user IDs and of the steps the path search took.
#include "qelContextInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"
#include "qelSDK.h"
#include "qelTrustPropInternal.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
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
    int index = 0;
    for (QELKeyObject *k = db->firstKey; k; k = k->next, ++index) {
        QELKeyInfo *ki = qelKeyObjKeyInfo(k);
        const std::uint8_t ownerTrust = index == 0 ? 255 : index % 3 == 0 ? 120 : index % 3 == 1 ? 60 : 253;
        if (index == 0) {
            ki->infoFlags |= QELKeyInfo_SecretInRing;
            ki->trust = 0x87;
        }
        for (QELKeyObject *u = k->firstChild; u; u = u->next) {
            if (qelKeyObjType(u) != QELObjectType_UserID)
                continue;
            qelKeyObjUserIDInfo(u)->ownerTrust = ownerTrust;
            for (QELKeyObject *sig = u->firstChild; sig; sig = sig->next)
                qelKeyObjSigInfo(sig)->state = QELSigState_Checked | QELSigState_Valid;
        }
    }
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
    g_figures[n].paths = f.pathsFound;
    g_figures[n].steps = f.steps;
    static_cast<void>(qelKeyDBReleaseLocal(db));
}
BENCHMARK(BM_Propagate)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Keeps the best time of each size's repetitions.
class GrowthReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Aggregate || r.iterations == 0)
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
    benchmark::Shutdown();
    static_cast<void>(qelContextFree(g_context));
    static_cast<void>(qelSDKCleanup());
    return 0;
}
