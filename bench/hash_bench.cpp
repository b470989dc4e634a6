// Hash throughput on 16 KiB buffers side by side with OpenSSL, and the random
// pool's output rate.
//
// OpenSSL picks its code path from the CPU flags once, when it loads, so its
// restricted paths are measured in child runs of this program started with
// OPENSSL_ia32cap set:
//   openssl  no mask: its default (hardware) paths, the headline ratio
//   generic  no SHA extensions, no AVX/AVX2/AVX-512 (SSSE3 allowed)
//   scalar   generic without SSSE3 as well (plain integer code)
// Our code is measured in this process. The ratio table (ours / OpenSSL) is
// printed after the Google Benchmark runs.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench_peer.h"
#include "qelAlgorithms.h"
#include "qelCryptoCPU.h"
#include "qelHashInternal.h"
#include "qelRandomContextInternal.h"
#include "qelRandomPoolInternal.h"

namespace {

constexpr std::size_t kBuffer = 16 * 1024;

struct Algo {
    const char *label;
    std::int32_t id;
    const char *openssl;
};
const Algo kAlgos[] = {
    {"SHA-1", QELHashAlgorithm_SHA1, "SHA1"},
    {"SHA-256", QELHashAlgorithm_SHA256, "SHA256"},
    {"SHA-384", QELHashAlgorithm_SHA384, "SHA384"},
    {"SHA-512", QELHashAlgorithm_SHA512, "SHA512"},
    {"MD5", QELHashAlgorithm_MD5, "MD5"},
    {"RIPEMD-160", QELHashAlgorithm_RIPEMD160, "RIPEMD160"},
};

std::vector<std::uint8_t> &buffer()
{
    static std::vector<std::uint8_t> b = [] {
        std::vector<std::uint8_t> v(kBuffer);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = static_cast<std::uint8_t>(i * 131 + 7);
        return v;
    }();
    return b;
}

template <class F>
double measure(F &&fn)
{
    return benchMeasure(fn, kBuffer);
}

double oursMBps(std::int32_t id)
{
    const QELHashDescriptor *d = qelHashDescriptorFind(id);
    std::vector<std::uint8_t> state(d->stateSize);
    auto &b = buffer();
    return measure([&] {
        d->init(state.data());
        d->update(state.data(), b.data(), b.size());
        benchmark::DoNotOptimize(d->final(state.data()));
    });
}

double opensslMBps(const char *name)
{
    EVP_MD *md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr)
        return 0;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    auto &b = buffer();
    double r = measure([&] {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, b.data(), b.size());
        EVP_DigestFinal_ex(ctx, out, &n);
        benchmark::DoNotOptimize(out[0]);
    });
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    return r;
}

// ---- Google Benchmark cases -----------------------------------------------

void BM_Ours(benchmark::State &state, std::int32_t id)
{
    const QELHashDescriptor *d = qelHashDescriptorFind(id);
    std::vector<std::uint8_t> st(d->stateSize);
    auto &b = buffer();
    for (auto _ : state) {
        d->init(st.data());
        d->update(st.data(), b.data(), b.size());
        benchmark::DoNotOptimize(d->final(st.data()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBuffer);
}

void BM_OpenSSL(benchmark::State &state, const char *name)
{
    EVP_MD *md = EVP_MD_fetch(nullptr, name, nullptr);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    auto &b = buffer();
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, b.data(), b.size());
        EVP_DigestFinal_ex(ctx, out, &n);
        benchmark::DoNotOptimize(out[0]);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBuffer);
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
}

void BM_RandomPoolDraw(benchmark::State &state)
{
    QELRandomContext pool;
    qelRandomContextInitGlobal(&pool);
    std::vector<std::uint8_t> out(kBuffer);
    for (auto _ : state) {
        pool.descriptor->get(pool.state, out.data(), static_cast<std::uint32_t>(out.size()), 0);
        benchmark::DoNotOptimize(out[0]);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBuffer);
}

void registerAll()
{
    for (const auto &a : kAlgos) {
        benchmark::RegisterBenchmark((std::string("qel/") + a.label).c_str(), BM_Ours, a.id);
        benchmark::RegisterBenchmark((std::string("openssl/") + a.label).c_str(), BM_OpenSSL,
                                     a.openssl);
    }
    benchmark::RegisterBenchmark("qel/RandomPoolDraw", BM_RandomPoolDraw);
}

// ---- OpenSSL under a CPU mask, in a child run -------------------------------

const char *const kMaskScalar = "~0x12000A0200000000:~0x20020010020";

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--peer-only") == 0) {
        for (const auto &a : kAlgos)
            std::printf("%s %.1f\n", a.openssl, opensslMBps(a.openssl));
        return 0;
    }

    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto fastest = benchPeerChild(nullptr);
    auto generic = benchPeerChild(kBenchGenericMask);
    auto scalar = benchPeerChild(kMaskScalar);

    std::printf("\nHash throughput, 16 KiB buffers, MB/s. Headline: ours / OpenSSL with its default\n"
                "(hardware) paths; then against OpenSSL masked to generic code and to plain scalar code\n");
    std::printf("%-11s %9s %9s %9s %9s %8s %8s %8s\n", "algorithm", "ours", "openssl", "generic",
                "scalar", "RATIO", "r.gen", "r.scal");
    for (const auto &a : kAlgos) {
        double ours = oursMBps(a.id);
        double f = fastest[a.openssl], g = generic[a.openssl], s = scalar[a.openssl];
        auto ratio = [&](double o) { return o > 0 ? ours / o : 0.0; };
        std::printf("%-11s %9.1f %9.1f %9.1f %9.1f %8.2f %8.2f %8.2f\n", a.label, ours, f, g, s, ratio(f),
                    ratio(g), ratio(s));
    }
#if defined(QEL_CRYPTO_X86)
    // SHA-512's processor kernels one by one (the table above has the one
    // this processor gets), on the same buffer's whole blocks.
    std::printf("\nSHA-512 kernels on %zu whole blocks, MB/s, ratio to OpenSSL's default path\n", kBuffer / 128);
    struct Kernel {
        const char *label;
        bool offered;
        void (*blocks)(std::uint64_t *, const std::uint8_t *, std::size_t);
    };
    const Kernel kernels[] = {{"AVX-512", qelCryptoUseAVX512(), qelSHA512BlocksAVX512},
                              {"AVX2", qelCryptoUseAVX2(), qelSHA512BlocksAVX2}};
    for (const Kernel &k : kernels) {
        if (!k.offered)
            continue;
        std::uint64_t h[8] = {};
        const double rate = measure([&] {
            k.blocks(h, buffer().data(), kBuffer / 128);
            benchmark::DoNotOptimize(h[0]);
        });
        const double peer = fastest["SHA512"];
        std::printf("  %-8s %9.1f %8.2f\n", k.label, rate, peer > 0 ? rate / peer : 0.0);
    }
#endif

    // Short messages: one call of init, update and final each; this process
    // runs OpenSSL on its default paths.
    std::printf("\nSHA-512 short messages, ns per message (ours, OpenSSL default), ratio\n");
    {
        const QELHashDescriptor *d = qelHashDescriptorFind(QELHashAlgorithm_SHA512);
        std::vector<std::uint8_t> state(d->stateSize);
        EVP_MD *md = EVP_MD_fetch(nullptr, "SHA512", nullptr);
        EVP_MD_CTX *ctx = EVP_MD_CTX_new();
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        for (std::size_t length : {64, 200, 500, 1000, 4000}) {
            const std::uint8_t *m = buffer().data();
            const double ours = benchMeasure([&] {
                d->init(state.data());
                d->update(state.data(), m, length);
                benchmark::DoNotOptimize(d->final(state.data()));
            }, length);
            const double peer = benchMeasure([&] {
                EVP_DigestInit_ex(ctx, md, nullptr);
                EVP_DigestUpdate(ctx, m, length);
                EVP_DigestFinal_ex(ctx, digest, &n);
                benchmark::DoNotOptimize(digest[0]);
            }, length);
            std::printf("  %5zu bytes %8.0f %8.0f %8.2f\n", length, 1e3 * static_cast<double>(length) / ours,
                        1e3 * static_cast<double>(length) / peer, ours / peer);
        }
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
    }

    QELRandomContext pool;
    qelRandomContextInitGlobal(&pool);
    std::vector<std::uint8_t> out(kBuffer);
    double poolRate = measure([&] {
        pool.descriptor->get(pool.state, out.data(), static_cast<std::uint32_t>(out.size()), 0);
    });
    double getBytesRate = measure([&] {
        if (qelRandomGetBytes(&pool, out.data(), static_cast<std::uint32_t>(out.size())) != QELError_NoErr)
            std::abort();   // the global pool always delivers
    });
    std::printf("\nRandom pool, 16 KiB requests on the global pool:\n");
    std::printf("  pool draw (descriptor get)  %.2f MB/s\n", poolRate);
    std::printf("  qelRandomGetBytes           %.2f MB/s\n", getBytesRate);
    return 0;
}
