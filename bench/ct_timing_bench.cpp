// Statistical timing check of the secret-exponent path (in the manner of
// dudect): exponentiations with two classes of exponents of the same length,
// one of few set bits and one of all bits set, are timed in random order,
// and Welch's t statistic between the classes is printed. |t| above 4.5
// says the time tells the classes apart. The public path (entry 23, sliding
// window) runs too, as the control that the check can see a difference.
// A measurement, not a test: the machine's noise decides its power.
#include "qelBigNumInternal.h"
#include "qelMemory.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

QELMemoryMgr *heapMgr()
{
    static QELMemoryMgr *mgr = [] {
        QELMemoryMgr *m = nullptr;
        static_cast<void>(qelMemMgrNewHeap(&m));
        return m;
    }();
    return mgr;
}

struct Numbers {
    QELBigNum m, g, e[2], r;
    explicit Numbers(int bits)
    {
        std::mt19937_64 rng(42);
        std::vector<unsigned char> mb(bits / 8), gb(bits / 8), low(bits / 8, 0), high(bits / 8, 0xFF);
        for (auto &c : mb)
            c = (unsigned char)rng();
        for (auto &c : gb)
            c = (unsigned char)rng();
        mb[0] |= 0x80;
        mb.back() |= 1;
        gb[0] &= 0x7F;
        low[0] = 0x80;   // 2^(bits-1) + 1: two bits set
        low.back() = 1;
        for (QELBigNum *n : {&m, &g, &e[0], &e[1], &r})
            qelBigNumBegin(n, heapMgr(), 0);
        QELBigNumOps.qelBigNumFromBytesBE(&m, mb.data(), 0, (std::uint32_t)mb.size());
        QELBigNumOps.qelBigNumFromBytesBE(&g, gb.data(), 0, (std::uint32_t)gb.size());
        QELBigNumOps.qelBigNumFromBytesBE(&e[0], low.data(), 0, (std::uint32_t)low.size());
        QELBigNumOps.qelBigNumFromBytesBE(&e[1], high.data(), 0, (std::uint32_t)high.size());
    }
    ~Numbers()
    {
        for (QELBigNum *n : {&m, &g, &e[0], &e[1], &r})
            QELBigNumOps.qelBigNumFree(n);
    }
};

// Welch's t between two samples, each cropped at its 90th percentile (the
// slow tail on a shared machine is waiting, not work).
double welch(std::vector<double> a, std::vector<double> b)
{
    auto crop = [](std::vector<double> &v) {
        std::sort(v.begin(), v.end());
        v.resize(v.size() * 9 / 10);
    };
    crop(a);
    crop(b);
    auto stats = [](const std::vector<double> &v, double &mean, double &var) {
        mean = 0;
        for (double x : v)
            mean += x;
        mean /= (double)v.size();
        var = 0;
        for (double x : v)
            var += (x - mean) * (x - mean);
        var /= (double)(v.size() - 1);
    };
    double ma, va, mb, vb;
    stats(a, ma, va);
    stats(b, mb, vb);
    return (ma - mb) / std::sqrt(va / (double)a.size() + vb / (double)b.size());
}

double gSecretT = 0, gPublicT = 0;

void measure(benchmark::State &state, bool secret)
{
    const int bits = (int)state.range(0);
    Numbers n(bits);
    std::mt19937 coin(7);
    std::vector<double> samples[2];
    for (auto _ : state) {
        for (int i = 0; i < 400; ++i) {
            const int cls = (int)(coin() & 1);
            const auto start = std::chrono::steady_clock::now();
            const int rc = secret ? QELBigNumOps.qelBigNumExpModSecret(&n.r, &n.g, &n.e[cls], &n.m, (std::uint32_t)bits)
                                  : QELBigNumOps.qelBigNumExpMod(&n.r, &n.g, &n.e[cls], &n.m);
            const auto stop = std::chrono::steady_clock::now();
            if (rc != 0)
                state.SkipWithError("exponentiation failed");
            samples[cls].push_back(std::chrono::duration<double, std::micro>(stop - start).count());
        }
    }
    const double t = welch(samples[0], samples[1]);
    (secret ? gSecretT : gPublicT) = t;
    state.counters["t"] = t;
}

void BM_SecretExponentClasses(benchmark::State &state) { measure(state, true); }
void BM_PublicExponentClasses(benchmark::State &state) { measure(state, false); }

BENCHMARK(BM_SecretExponentClasses)->Arg(1024)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PublicExponentClasses)->Arg(1024)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    qelBigNumInit();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::printf("\nWelch's t between exponents of few and of all bits set (|t| > 4.5: the time tells them apart):\n");
    std::printf("%-44s %8.2f%s\n", "secret-exponent path (fixed windows)", gSecretT,
                std::fabs(gSecretT) <= 4.5 ? "  (no difference seen)" : "  (DIFFERENCE SEEN)");
    std::printf("%-44s %8.2f%s\n", "public-exponent path (control)", gPublicT,
                std::fabs(gPublicT) > 4.5 ? "  (difference seen, as expected)" : "  (control saw nothing)");
    benchmark::Shutdown();
    return 0;
}
