// Hash throughput on 16 KiB buffers side by side with OpenSSL, and the random
// pool's output rate.
//
// OpenSSL picks its code path from the CPU flags once, when it loads, so its
// restricted paths are measured in child runs of this program started with
// OPENSSL_ia32cap set:
//   generic  no SHA extensions, no AVX/AVX2/AVX-512 (SSSE3 allowed)
//   scalar   generic without SSSE3 as well (plain integer code)
//   fastest  no mask
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

#include "qelAlgorithms.h"
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

double threadSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs fn repeatedly for about the given CPU time and returns MB/s (10^6
// bytes). Thread CPU time keeps the figures steady on a loaded machine; the
// best of five slices is kept.
template <class F>
double measure(F &&fn, double seconds = 0.5)
{
    fn();   // warm up
    double best = 0;
    for (int slice = 0; slice < 5; ++slice) {
        std::size_t rounds = 0;
        double start = threadSeconds();
        double elapsed = 0;
        do {
            for (int i = 0; i < 8; ++i)
                fn();
            rounds += 8;
            elapsed = threadSeconds() - start;
        } while (elapsed < seconds / 5);
        best = std::max(best, static_cast<double>(rounds) * kBuffer / elapsed / 1e6);
    }
    return best;
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

const char *const kMaskGeneric = "~0x1000080000000000:~0x20010020";
const char *const kMaskScalar = "~0x10000A0000000000:~0x20010020";

std::map<std::string, double> childOpenSSL(const char *mask)
{
    std::map<std::string, double> result;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return result;
    self[n] = '\0';
    std::string command;
    if (mask != nullptr)
        command = std::string("OPENSSL_ia32cap='") + mask + "' ";
    else
        command = "env -u OPENSSL_ia32cap ";
    command += std::string("'") + self + "' --openssl-only";
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return result;
    char name[64];
    double v = 0;
    while (std::fscanf(p, "%63s %lf", name, &v) == 2)
        result[name] = v;
    pclose(p);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--openssl-only") == 0) {
        for (const auto &a : kAlgos)
            std::printf("%s %.1f\n", a.openssl, opensslMBps(a.openssl));
        return 0;
    }

    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto generic = childOpenSSL(kMaskGeneric);
    auto scalar = childOpenSSL(kMaskScalar);
    auto fastest = childOpenSSL(nullptr);

    std::printf("\nHash throughput, 16 KiB buffers, MB/s (ratio = ours / OpenSSL)\n");
    std::printf("%-11s %9s %9s %9s %9s %8s %8s %8s\n", "algorithm", "ours", "generic",
                "scalar", "fastest", "r.gen", "r.scal", "r.fast");
    for (const auto &a : kAlgos) {
        double ours = oursMBps(a.id);
        double g = generic[a.openssl], s = scalar[a.openssl], f = fastest[a.openssl];
        auto ratio = [&](double o) { return o > 0 ? ours / o : 0.0; };
        std::printf("%-11s %9.1f %9.1f %9.1f %9.1f %8.2f %8.2f %8.2f\n", a.label, ours, g, s, f,
                    ratio(g), ratio(s), ratio(f));
    }
    QELRandomContext pool;
    qelRandomContextInitGlobal(&pool);
    std::vector<std::uint8_t> out(kBuffer);
    double poolRate = measure([&] {
        pool.descriptor->get(pool.state, out.data(), static_cast<std::uint32_t>(out.size()), 0);
    });
    double getBytesRate = measure([&] {
        qelRandomGetBytes(&pool, out.data(), static_cast<std::uint32_t>(out.size()));
    });
    std::printf("\nRandom pool, 16 KiB requests on the global pool:\n");
    std::printf("  pool draw (descriptor get)  %.2f MB/s\n", poolRate);
    std::printf("  qelRandomGetBytes           %.2f MB/s\n", getBytesRate);
    return 0;
}
