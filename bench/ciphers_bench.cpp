// CFB encryption with the SDK's block ciphers against OpenSSL's CFB in the
// same run; prints our speed relative to OpenSSL's for each cipher. AES-NI is
// masked on OpenSSL's side so both run table-driven AES.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "cipher_bench_util.h"
#include "qelCFBInternal.h"
#include "qelMemoryInternal.h"
#include "qelSymmetricCipherInternal.h"

namespace {

constexpr std::size_t kBufferSize = 4096;

struct Case {
    const char *label;
    std::int32_t id;
    const char *peer;
};

const Case kCases[] = {
    {"AES128", 7, "AES-128-CFB"}, {"AES256", 9, "AES-256-CFB"},   {"3DES", 2, "DES-EDE3-CFB"},
    {"Blowfish", 4, "BF-CFB"},    {"CAST5", 3, "CAST5-CFB"},
};

void qelCFBBench(benchmark::State &state, const Case &c)
{
    QELMemoryMgr *mgr = nullptr;
    static_cast<void>(qelMemMgrNewHeap(&mgr));
    QELSymmetricCipher *cipher = nullptr;
    QELCFBContext *cfb = nullptr;
    if (qelSymmetricCipherCreate(mgr, c.id, &cipher) != QELError_NoErr || qelCFBCreate(cipher, 1, &cfb) != QELError_NoErr) {
        state.SkipWithError("cannot make the CFB object");
        return;
    }
    std::vector<std::uint8_t> key(cipher->descriptor->keySize, 0x42), iv(cipher->descriptor->blockSize, 0x24);
    static_cast<void>(qelCFBInit(cfb, key.data(), iv.data()));
    std::vector<std::uint8_t> buf(kBufferSize, 0x5A);
    for (auto _ : state) {
        static_cast<void>(qelCFBEncrypt(cfb, buf.data(), buf.size(), buf.data()));
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
    static_cast<void>(qelCFBFree(cfb));
    static_cast<void>(qelMemMgrFree(mgr));
}

void openSSLCFBBench(benchmark::State &state, const Case &c)
{
    benchLoadOpenSSLProviders();
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, c.peer, nullptr);
    if (cipher == nullptr) {
        state.SkipWithError("OpenSSL does not offer this cipher (legacy provider?)");
        return;
    }
    std::vector<std::uint8_t> key(static_cast<std::size_t>(EVP_CIPHER_get_key_length(cipher)), 0x42);
    std::vector<std::uint8_t> iv(static_cast<std::size_t>(EVP_CIPHER_get_iv_length(cipher)), 0x24);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, 1, nullptr);
    if (c.id == 4 || c.id == 3)
        EVP_CIPHER_CTX_set_key_length(ctx, 16);
    EVP_CipherInit_ex2(ctx, nullptr, key.data(), iv.data(), 1, nullptr);
    benchOpenSSLEncrypt(state, ctx, kBufferSize);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
}

void printRatios(const BenchRatioReporter &reporter)
{
    std::printf("\nCFB encryption, speed ratio qel/OpenSSL (goal >= 0.8):\n");
    for (const Case &c : kCases) {
        const double r = reporter.ratio(std::string("qel_CFB/") + c.label,
                                        std::string("OpenSSL_CFB/") + c.label);
        if (r < 0)
            std::printf("  %-9s unavailable\n", c.label);
        else
            std::printf("  %-9s %.2f\n", c.label, r);
    }
}

} // namespace

int main(int argc, char **argv)
{
    // OpenSSL reads its CPU capability mask when the library is loaded, so
    // the mask that turns off AES-NI (and the AVX paths) has to be in the
    // environment before the process starts: set it and start again.
    if (std::getenv("OPENSSL_ia32cap") == nullptr) {
        setenv("OPENSSL_ia32cap", "~0x200000200000000", 1);
        execv("/proc/self/exe", argv);
        std::perror("execv"); // fall through and run unmasked
    }
    for (const Case &c : kCases) {
        benchmark::RegisterBenchmark((std::string("qel_CFB/") + c.label).c_str(), qelCFBBench, c);
        benchmark::RegisterBenchmark((std::string("OpenSSL_CFB/") + c.label).c_str(), openSSLCFBBench, c);
    }
    benchmark::Initialize(&argc, argv);
    BenchRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
