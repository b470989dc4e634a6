// The modes over the SDK's block ciphers against OpenSSL's, 16 KiB buffers.
//
// Headline: our speed relative to OpenSSL with its default code paths
// (AES-NI and the rest, where the processor has them). Second column: the
// same against OpenSSL masked to its generic code, measured in a child run
// (see bench_peer.h). CFB encryption is serial by nature; CFB and CBC
// decryption run several blocks at once.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_peer.h"
#include "cipher_bench_util.h"
#include "qelAlgorithms.h"
#include "qelCBCInternal.h"
#include "qelCFBInternal.h"
#include "qelMemoryInternal.h"
#include "qelSymmetricCipherInternal.h"

namespace {

constexpr std::size_t kBufferSize = 16 * 1024;

enum class Mode { CFBEncrypt, CFBDecrypt, CBCDecrypt };

struct Case {
    const char *label;   // also the name the child reports under
    std::int32_t id;
    const char *peer;
    Mode mode;
};

const Case kCases[] = {
    {"AES128-CFB-enc", QELCipherAlgorithm_AES128, "AES-128-CFB", Mode::CFBEncrypt},
    {"AES128-CFB-dec", QELCipherAlgorithm_AES128, "AES-128-CFB", Mode::CFBDecrypt},
    {"AES128-CBC-dec", QELCipherAlgorithm_AES128, "AES-128-CBC", Mode::CBCDecrypt},
    {"AES256-CFB-enc", QELCipherAlgorithm_AES256, "AES-256-CFB", Mode::CFBEncrypt},
    {"AES256-CFB-dec", QELCipherAlgorithm_AES256, "AES-256-CFB", Mode::CFBDecrypt},
    {"AES256-CBC-dec", QELCipherAlgorithm_AES256, "AES-256-CBC", Mode::CBCDecrypt},
    {"CAST5-CFB-enc", QELCipherAlgorithm_CAST5, "CAST5-CFB", Mode::CFBEncrypt},
    {"CAST5-CFB-dec", QELCipherAlgorithm_CAST5, "CAST5-CFB", Mode::CFBDecrypt},
    {"3DES-CFB-enc", QELCipherAlgorithm_3DES, "DES-EDE3-CFB", Mode::CFBEncrypt},
    {"Blowfish-CFB-enc", QELCipherAlgorithm_Blowfish, "BF-CFB", Mode::CFBEncrypt},
};

// One keyed object of ours for a case; run() handles one buffer in place.
class Ours {
public:
    explicit Ours(const Case &c) : mode_(c.mode)
    {
        if (qelMemMgrNewHeap(&mgr_) != QELError_NoErr)
            return;
        QELSymmetricCipher *cipher = nullptr;
        if (qelSymmetricCipherCreate(mgr_, c.id, &cipher) != QELError_NoErr)
            return;
        std::vector<std::uint8_t> key(cipher->descriptor->keySize, 0x42), iv(cipher->descriptor->blockSize, 0x24);
        if (mode_ == Mode::CBCDecrypt) {
            if (qelCBCCreate(cipher, &cbc_) == QELError_NoErr)
                ok_ = qelCBCInit(cbc_, key.data(), iv.data()) == QELError_NoErr;
        } else if (qelCFBCreate(cipher, 1, &cfb_) == QELError_NoErr) {
            ok_ = qelCFBInit(cfb_, key.data(), iv.data()) == QELError_NoErr;
        }
    }
    ~Ours()
    {
        if (cfb_ != nullptr)
            (void)qelCFBFree(cfb_);   // a benchmark: nothing to do on failure
        if (cbc_ != nullptr)
            (void)qelCBCFree(cbc_);
        (void)qelMemMgrFree(mgr_);
    }
    bool ok() const { return ok_; }
    void run(std::vector<std::uint8_t> &buf)
    {
        QELStatus s = QELError_NoErr;
        switch (mode_) {
        case Mode::CFBEncrypt: s = qelCFBEncrypt(cfb_, buf.data(), buf.size(), buf.data()); break;
        case Mode::CFBDecrypt: s = qelCFBDecrypt(cfb_, buf.data(), buf.size(), buf.data()); break;
        case Mode::CBCDecrypt: s = qelCBCDecrypt(cbc_, buf.data(), buf.size(), buf.data()); break;
        }
        benchmark::DoNotOptimize(s);
    }

private:
    Mode mode_;
    QELMemoryMgr *mgr_ = nullptr;
    QELCFBContext *cfb_ = nullptr;
    QELCBCContext *cbc_ = nullptr;
    bool ok_ = false;
};

// OpenSSL's context for a case; null when it does not offer the cipher.
EVP_CIPHER_CTX *peerContext(const Case &c)
{
    benchLoadOpenSSLProviders();
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, c.peer, nullptr);
    if (cipher == nullptr)
        return nullptr;
    std::vector<std::uint8_t> key(static_cast<std::size_t>(EVP_CIPHER_get_key_length(cipher)), 0x42);
    std::vector<std::uint8_t> iv(static_cast<std::size_t>(EVP_CIPHER_get_iv_length(cipher)), 0x24);
    const int encrypt = c.mode == Mode::CFBEncrypt ? 1 : 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, encrypt, nullptr);
    if (c.id == QELCipherAlgorithm_Blowfish || c.id == QELCipherAlgorithm_CAST5)
        EVP_CIPHER_CTX_set_key_length(ctx, 16);
    EVP_CipherInit_ex2(ctx, nullptr, key.data(), iv.data(), encrypt, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CIPHER_free(cipher);
    return ctx;
}

void peerRun(EVP_CIPHER_CTX *ctx, std::vector<std::uint8_t> &buf)
{
    int n = 0;
    EVP_CipherUpdate(ctx, buf.data(), &n, buf.data(), static_cast<int>(buf.size()));
    benchmark::DoNotOptimize(buf.data());
}

double oursMBps(const Case &c)
{
    Ours ours(c);
    if (!ours.ok())
        return 0;
    std::vector<std::uint8_t> buf(kBufferSize, 0x5A);
    return benchMeasure([&] { ours.run(buf); }, buf.size());
}

double peerMBps(const Case &c)
{
    EVP_CIPHER_CTX *ctx = peerContext(c);
    if (ctx == nullptr)
        return 0;
    std::vector<std::uint8_t> buf(kBufferSize, 0x5A);
    const double r = benchMeasure([&] { peerRun(ctx, buf); }, buf.size());
    EVP_CIPHER_CTX_free(ctx);
    return r;
}

void BM_Ours(benchmark::State &state, const Case &c)
{
    Ours ours(c);
    if (!ours.ok()) {
        state.SkipWithError("cannot make our object");
        return;
    }
    std::vector<std::uint8_t> buf(kBufferSize, 0x5A);
    for (auto _ : state) {
        ours.run(buf);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
}

void BM_OpenSSL(benchmark::State &state, const Case &c)
{
    EVP_CIPHER_CTX *ctx = peerContext(c);
    if (ctx == nullptr) {
        state.SkipWithError("OpenSSL does not offer this cipher (legacy provider?)");
        return;
    }
    std::vector<std::uint8_t> buf(kBufferSize, 0x5A);
    for (auto _ : state) {
        peerRun(ctx, buf);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buf.size()));
    EVP_CIPHER_CTX_free(ctx);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--peer-only") == 0) {
        for (const Case &c : kCases)
            std::printf("%s %.1f\n", c.label, peerMBps(c));
        return 0;
    }
    for (const Case &c : kCases) {
        benchmark::RegisterBenchmark((std::string("qel/") + c.label).c_str(), BM_Ours, c);
        benchmark::RegisterBenchmark((std::string("openssl/") + c.label).c_str(), BM_OpenSSL, c);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto fastest = benchPeerChild(nullptr);
    auto generic = benchPeerChild(kBenchGenericMask);
    std::printf("\nModes, 16 KiB buffers, MB/s. Headline: ours / OpenSSL with its default (hardware)\n"
                "paths; then against OpenSSL masked to its generic code\n");
    std::printf("%-17s %9s %9s %9s %8s %8s\n", "case", "ours", "openssl", "generic", "RATIO", "r.gen");
    for (const Case &c : kCases) {
        const double ours = oursMBps(c), f = fastest[c.label], g = generic[c.label];
        auto ratio = [&](double peer) { return peer > 0 ? ours / peer : 0.0; };
        std::printf("%-17s %9.1f %9.1f %9.1f %8.2f %8.2f\n", c.label, ours, f, g, ratio(f), ratio(g));
    }
    return 0;
}
