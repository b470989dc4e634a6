// Big-number speed side by side with OpenSSL and GMP: modular exponentiation
// at 1024 to 4096 bits, and the search for a 1024-bit prime (median of 20
// runs). Ratios (ours / theirs) are printed after the benchmark table.
#include "qelBigNumInternal.h"
#include "qelBigNumWordInternal.h"
#include "qelMemoryInternal.h"
#include "qelPrimeInternal.h"
#include "qelPkEncodeInternal.h"
#include "qelRandomContextInternal.h"

#include "bench_ratio.h"

#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/rand.h>
#ifdef QEL_HAVE_GMP
#include <gmp.h>
#endif

#include <cstdio>
#include <map>
#include <string>
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

// Random bytes for the operands and the prime-search start values.
QELStatus randomGet(void *, void *buf, std::uint32_t len, std::uint32_t)
{
    return RAND_bytes((unsigned char *)buf, (int)len) == 1 ? QELError_NoErr : QELError_OutOfEntropy;
}
void randomAdd(void *, const void *, std::uint32_t) {}
void randomStir(void *) {}
const QELRandomDescriptor kRandom{"bench", randomAdd, randomGet, randomStir};
QELRandomContext gRandom{nullptr, &kRandom, nullptr, nullptr};

struct Operands {
    std::vector<unsigned char> m, g, e;
    explicit Operands(int bits)
    {
        m.resize(bits / 8);
        g.resize(bits / 8);
        e.resize(bits / 8);
        RAND_bytes(m.data(), (int)m.size());
        RAND_bytes(g.data(), (int)g.size());
        RAND_bytes(e.data(), (int)e.size());
        m[0] |= 0x80;
        m.back() |= 1;
        g[0] &= 0x7F; // below the modulus
        e[0] |= 0x80;
    }
};

const Operands &operands(int bits)
{
    static std::map<int, Operands> cache;
    auto it = cache.find(bits);
    if (it == cache.end())
        it = cache.emplace(bits, Operands(bits)).first;
    return it->second;
}

void loadQel(QELBigNum *n, const std::vector<unsigned char> &b)
{
    qelBigNumBegin(n, heapMgr(), 0);
    QELBigNumOps.qelBigNumFromBytesBE(n, b.data(), 0, (std::uint32_t)b.size());
}

void BM_ExpMod_qel(benchmark::State &state)
{
    const Operands &o = operands((int)state.range(0));
    QELBigNum m, g, e, r;
    loadQel(&m, o.m);
    loadQel(&g, o.g);
    loadQel(&e, o.e);
    qelBigNumBegin(&r, heapMgr(), 0);
    for (auto _ : state) {
        if (QELBigNumOps.qelBigNumExpMod(&r, &g, &e, &m) != 0)
            state.SkipWithError("exponentiation failed");
        benchmark::DoNotOptimize(r.words);
    }
    for (QELBigNum *n : {&m, &g, &e, &r})
        QELBigNumOps.qelBigNumFree(n);
}

// OpenSSL's numbers for the operands of a size.
struct OpenSSLOperands {
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *m, *g, *e, *r = BN_new();
    explicit OpenSSLOperands(const Operands &o)
        : m(BN_bin2bn(o.m.data(), (int)o.m.size(), nullptr)), g(BN_bin2bn(o.g.data(), (int)o.g.size(), nullptr)),
          e(BN_bin2bn(o.e.data(), (int)o.e.size(), nullptr))
    {
    }
    ~OpenSSLOperands()
    {
        for (BIGNUM *n : {m, g, e, r})
            BN_free(n);
        BN_CTX_free(ctx);
    }
    OpenSSLOperands(const OpenSSLOperands &) = delete;
    OpenSSLOperands &operator=(const OpenSSLOperands &) = delete;
};

void BM_ExpMod_openssl(benchmark::State &state)
{
    OpenSSLOperands x(operands((int)state.range(0)));
    for (auto _ : state) {
        if (BN_mod_exp_mont(x.r, x.g, x.e, x.m, x.ctx, nullptr) != 1)
            state.SkipWithError("BN_mod_exp_mont failed");
        benchmark::DoNotOptimize(x.r);
    }
}

// One half of an RSA-2048 private operation: a secret 1024-bit exponent,
// fixed windows, against OpenSSL's constant-time exponentiation.
void BM_ExpModSecret1024_qel(benchmark::State &state)
{
    const Operands &o = operands(1024);
    std::vector<std::uint32_t> m(32), g(32), e(32), r(32), r2(32);
    qelWordsFromBytesBE(m.data(), o.m.data(), 0, 128);
    qelWordsFromBytesBE(g.data(), o.g.data(), 0, 128);
    qelWordsFromBytesBE(e.data(), o.e.data(), 0, 128);
    std::vector<std::uint64_t> workspace(qelWordsCTWorkspaceLimbs(32));
    if (qelWordsMontgomeryR2(r2.data(), m.data(), 32, heapMgr(), false) != 0)
        state.SkipWithError("R^2 failed");
    for (auto _ : state) {
        if (qelWordsExpModSecret(r.data(), g.data(), 32, e.data(), 32, 1024, m.data(), 32, r2.data(), heapMgr(), true,
                                 workspace.data()) != 0)
            state.SkipWithError("exponentiation failed");
        benchmark::DoNotOptimize(r.data());
    }
}

void BM_ExpModSecret1024_openssl(benchmark::State &state)
{
    OpenSSLOperands x(operands(1024));
    BN_MONT_CTX *mont = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mont, x.m, x.ctx);
    for (auto _ : state) {
        if (BN_mod_exp_mont_consttime(x.r, x.g, x.e, x.m, x.ctx, mont) != 1)
            state.SkipWithError("BN_mod_exp_mont_consttime failed");
        benchmark::DoNotOptimize(x.r);
    }
    BN_MONT_CTX_free(mont);
}

#ifdef QEL_HAVE_GMP
void BM_ExpMod_gmp(benchmark::State &state)
{
    const Operands &o = operands((int)state.range(0));
    mpz_t m, g, e, r;
    mpz_inits(m, g, e, r, nullptr);
    mpz_import(m, o.m.size(), 1, 1, 0, 0, o.m.data());
    mpz_import(g, o.g.size(), 1, 1, 0, 0, o.g.data());
    mpz_import(e, o.e.size(), 1, 1, 0, 0, o.e.data());
    for (auto _ : state) {
        mpz_powm(r, g, e, m);
        benchmark::DoNotOptimize(r);
    }
    mpz_clears(m, g, e, r, nullptr);
}
#endif

// A 1024-bit prime as RSA key generation looks for one: random start with
// the top two bits set, odd, p - 1 not divisible by 65537.
void BM_PrimeSearch1024_qel(benchmark::State &state)
{
    QELBigNum p;
    qelBigNumBegin(&p, heapMgr(), 1);
    for (auto _ : state) {
        if (qelBigNumRandom(&p, &gRandom, 1024, 0xC0, 1, 0) != 0 ||
            qelPrimeSearchConstrained(&p, nullptr, nullptr, nullptr, 65537u, 0u) <= 0)
            state.SkipWithError("prime search failed");
    }
    QELBigNumOps.qelBigNumFree(&p);
}

void BM_PrimeSearch1024_openssl(benchmark::State &state)
{
    BIGNUM *p = BN_new();
    for (auto _ : state) {
        if (BN_generate_prime_ex(p, 1024, 0, nullptr, nullptr, nullptr) != 1)
            state.SkipWithError("BN_generate_prime_ex failed");
    }
    BN_free(p);
}

BENCHMARK(BM_ExpMod_qel)->Arg(1024)->Arg(2048)->Arg(3072)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpMod_openssl)->Arg(1024)->Arg(2048)->Arg(3072)->Arg(4096)->Unit(benchmark::kMillisecond);
#ifdef QEL_HAVE_GMP
BENCHMARK(BM_ExpMod_gmp)->Arg(1024)->Arg(2048)->Arg(3072)->Arg(4096)->Unit(benchmark::kMillisecond);
#endif
BENCHMARK(BM_ExpModSecret1024_qel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExpModSecret1024_openssl)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrimeSearch1024_qel)
    ->Iterations(1)
    ->Repetitions(20)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrimeSearch1024_openssl)
    ->Iterations(1)
    ->Repetitions(20)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    qelBigNumInit();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nRatios (ours / theirs, lower is better):\n");
    for (const char *bits : {"1024", "2048", "3072", "4096"}) {
        std::string b = bits;
        printRatio(reporter, "BM_ExpMod_qel/" + b, "BM_ExpMod_openssl/" + b,
                   ("exp mod " + b + " vs OpenSSL BN_mod_exp_mont").c_str(), b == "2048" ? 2.5 : 0);
        printRatio(reporter, "BM_ExpMod_qel/" + b, "BM_ExpMod_gmp/" + b, ("exp mod " + b + " vs GMP mpz_powm").c_str(),
                   0);
    }
    printRatio(reporter, "BM_ExpModSecret1024_qel/", "BM_ExpModSecret1024_openssl/",
               "secret exp mod 1024 vs BN_mod_exp_mont_consttime", 0);
    printRatio(reporter, "BM_PrimeSearch1024_qel/", "BM_PrimeSearch1024_openssl/",
               "1024-bit prime search vs BN_generate_prime_ex (median)", 2.0);
    benchmark::Shutdown();
    return 0;
}
