// OpenSSL's side of the cipher benchmarks and the closing ratio lines.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/provider.h>

// Loads OpenSSL's default and legacy providers once; true when the legacy one
// (CAST5, Blowfish) is there.
inline bool benchLoadOpenSSLProviders()
{
    static OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER *defaults = OSSL_PROVIDER_load(nullptr, "default");
    (void)defaults;
    return legacy != nullptr;
}

// Encrypts one buffer in place per iteration with a keyed OpenSSL context.
inline void benchOpenSSLEncrypt(benchmark::State &state, EVP_CIPHER_CTX *ctx, std::size_t size)
{
    std::vector<std::uint8_t> buf(size, 0x5A);
    int n = 0;
    for (auto _ : state) {
        EVP_EncryptUpdate(ctx, buf.data(), &n, buf.data(), static_cast<int>(buf.size()));
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
}

// Remembers each benchmark's CPU time per iteration, by name, for the ratios
// printed after the runs.
class BenchRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration)
                times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    // Speed of ours relative to the peer's (peer time / our time); negative
    // when either run is missing.
    double ratio(const std::string &ours, const std::string &peer) const
    {
        auto a = times_.find(ours), b = times_.find(peer);
        if (a == times_.end() || b == times_.end() || a->second <= 0)
            return -1;
        return b->second / a->second;
    }

private:
    std::map<std::string, double> times_;
};
