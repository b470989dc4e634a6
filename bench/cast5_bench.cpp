// CAST5 single-block encryption against OpenSSL's CAST5 (ECB over the same
// buffer), run side by side; prints our speed relative to OpenSSL's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "cipher_bench_util.h"
#include "qelAlgorithms.h"
#include "qelCAST5Internal.h"
#include "qelSymmetricCipherInternal.h"

namespace {

constexpr std::size_t kBufferSize = 4096;
const std::uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x12, 0x34, 0x56, 0x78,
                               0x23, 0x45, 0x67, 0x89, 0x34, 0x56, 0x78, 0x9A};

void BM_QEL_CAST5_Encrypt(benchmark::State &state)
{
    const QELCipherDescriptor *d = qelCipherDescriptorFind(QELCipherAlgorithm_CAST5);
    QELCAST5Context ctx;
    d->keySchedule(&ctx, kKey);
    std::vector<std::uint8_t> buf(kBufferSize, 0x5A);
    for (auto _ : state) {
        for (std::size_t i = 0; i < buf.size(); i += 8)
            d->encrypt(&ctx, buf.data() + i, buf.data() + i);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
}
BENCHMARK(BM_QEL_CAST5_Encrypt);

void BM_OpenSSL_CAST5_Encrypt(benchmark::State &state)
{
    EVP_CIPHER *cipher =
        benchLoadOpenSSLProviders() ? EVP_CIPHER_fetch(nullptr, "CAST5-ECB", nullptr) : nullptr;
    if (cipher == nullptr) {
        state.SkipWithError("OpenSSL legacy provider (CAST5) not available");
        return;
    }
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex2(ctx, cipher, kKey, nullptr, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    benchOpenSSLEncrypt(state, ctx, kBufferSize);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
}
BENCHMARK(BM_OpenSSL_CAST5_Encrypt);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    BenchRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double r = reporter.ratio("BM_QEL_CAST5_Encrypt", "BM_OpenSSL_CAST5_Encrypt");
    if (r < 0)
        std::printf("CAST5 block encryption: ratio unavailable\n");
    else
        std::printf("CAST5 block encryption: speed ratio qel/OpenSSL = %.2f (>= 1.0 means at least as fast)\n", r);
    benchmark::Shutdown();
    return 0;
}
