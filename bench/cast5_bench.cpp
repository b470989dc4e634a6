// CAST5 single-block encryption against OpenSSL's CAST5 (ECB over the same
// buffer), run side by side; prints our speed relative to OpenSSL's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include "qelAlgorithms.h"
#include "qelCAST5.h"
#include "qelSymmetricCipher.h"

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
    static OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER *defaults = OSSL_PROVIDER_load(nullptr, "default");
    (void)defaults;
    EVP_CIPHER *cipher = legacy != nullptr ? EVP_CIPHER_fetch(nullptr, "CAST5-ECB", nullptr) : nullptr;
    if (cipher == nullptr) {
        state.SkipWithError("OpenSSL legacy provider (CAST5) not available");
        return;
    }
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex2(ctx, cipher, kKey, nullptr, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::vector<std::uint8_t> buf(kBufferSize, 0x5A);
    int n = 0;
    for (auto _ : state) {
        EVP_EncryptUpdate(ctx, buf.data(), &n, buf.data(), static_cast<int>(buf.size()));
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
}
BENCHMARK(BM_OpenSSL_CAST5_Encrypt);

// Remembers each benchmark's time per iteration for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration)
                times_[run.run_name.function_name] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void printRatio(const char *label, const std::string &ours, const std::string &peer) const
    {
        auto a = times_.find(ours), b = times_.find(peer);
        if (a == times_.end() || b == times_.end() || a->second <= 0) {
            std::printf("%s: ratio unavailable\n", label);
            return;
        }
        std::printf("%s: speed ratio qel/OpenSSL = %.2f (>= 1.0 means at least as fast)\n", label,
                    b->second / a->second);
    }

private:
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("CAST5 block encryption", "BM_QEL_CAST5_Encrypt", "BM_OpenSSL_CAST5_Encrypt");
    benchmark::Shutdown();
    return 0;
}
