// Public-key speed side by side with OpenSSL's EVP interface, single thread:
// RSA-2048 and RSA-4096 signing (CRT, blinded) and verification, DSA-2048/256
// signing and verification, and RSA-2048 key generation (median of 20).
// Ratios (ours / OpenSSL) are printed after the benchmark table.
//
// The program runs itself three times, one configuration each, so that every
// path of the SDK is set against OpenSSL's matching one:
//   (a) the SDK's best path (AVX-512 IFMA where the processor has it)
//       against OpenSSL as it comes;
//   (b) the SDK's MULX/ADX rows, the IFMA kernels turned off, against OpenSSL
//       with AVX-512 and IFMA masked (OPENSSL_ia32cap=:~0x210000);
//   (c) the SDK's portable code (QEL_TEST_PORTABLE_CRYPTO=1, no MULX/ADX)
//       against OpenSSL with BMI2/ADX, AVX2, AVX-512 and IFMA masked
//       (OPENSSL_ia32cap=:~0x290120).
// QEL_BENCH_CONFIG=a, b or c runs one of them only (so does a run with
// QEL_TEST_PORTABLE_CRYPTO or OPENSSL_ia32cap set by hand, as given).
#include "bench_ratio.h"

#include "qelAlgorithms.h"
#include "qelBigNumWordInternal.h"
#include "qelContextInternal.h"
#include "qelCryptoCPU.h"
#include "qelHashInternal.h"
#include "qelPkAlgInternal.h"
#include "qelRandomContextInternal.h"
#include "qelSDKInternal.h"
#include "qelTestKeyMaterial.h"

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using qeltest::Bytes;
using qeltest::material;

QELContext *gContext = nullptr;

QELStatus randomGet(void *, void *buf, std::uint32_t len, std::uint32_t)
{
    return RAND_bytes((unsigned char *)buf, (int)len) == 1 ? QELError_NoErr : QELError_OutOfEntropy;
}
void randomAdd(void *, const void *, std::uint32_t) {}
void randomStir(void *) {}
const QELRandomDescriptor kRandom{"bench", randomAdd, randomGet, randomStir};
QELRandomContext gRandom{nullptr, &kRandom, nullptr, nullptr};

Bytes bnParam(EVP_PKEY *k, const char *name)
{
    BIGNUM *bn = nullptr;
    EVP_PKEY_get_bn_param(k, name, &bn);
    Bytes out(BN_num_bytes(bn));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

struct KeyPair {
    EVP_PKEY *ossl = nullptr;
    QELSecretKeyObject *secret = nullptr;
    QELPublicKeyObject *pub = nullptr;
};

KeyPair &rsaKey(int bits)
{
    static std::map<int, KeyPair> keys;
    KeyPair &k = keys[bits];
    if (k.ossl)
        return k;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits);
    EVP_PKEY_keygen(ctx, &k.ossl);
    EVP_PKEY_CTX_free(ctx);
    Bytes p = bnParam(k.ossl, OSSL_PKEY_PARAM_RSA_FACTOR1), q = bnParam(k.ossl, OSSL_PKEY_PARAM_RSA_FACTOR2);
    BIGNUM *bp = BN_bin2bn(p.data(), (int)p.size(), nullptr), *bq = BN_bin2bn(q.data(), (int)q.size(), nullptr);
    if (BN_cmp(bp, bq) > 0) {
        std::swap(p, q);
        std::swap(bp, bq);
    }
    BN_CTX *bctx = BN_CTX_new();
    BIGNUM *u = BN_mod_inverse(nullptr, bp, bq, bctx);
    Bytes ub(BN_num_bytes(u));
    BN_bn2bin(u, ub.data());
    const Bytes n = bnParam(k.ossl, OSSL_PKEY_PARAM_RSA_N), e = bnParam(k.ossl, OSSL_PKEY_PARAM_RSA_E);
    const Bytes m = material({n, e}, {bnParam(k.ossl, OSSL_PKEY_PARAM_RSA_D), p, q, ub});
    QELStatus status = 0;
    k.secret = qelSecretKeyObjectFromData(gContext, 1, m.data(), m.size(), 0, nullptr, &status);
    k.pub = k.secret->publicObject(k.secret);
    BN_free(u);
    BN_free(bp);
    BN_free(bq);
    BN_CTX_free(bctx);
    return k;
}

KeyPair &dsaKey()
{
    static KeyPair k;
    if (k.ossl)
        return k;
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    EVP_PKEY *params = nullptr;
    EVP_PKEY_paramgen_init(pctx);
    EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx, 2048);
    EVP_PKEY_CTX_set_dsa_paramgen_q_bits(pctx, 256);
    EVP_PKEY_paramgen(pctx, &params);
    EVP_PKEY_CTX *kctx = EVP_PKEY_CTX_new(params, nullptr);
    EVP_PKEY_keygen_init(kctx);
    EVP_PKEY_keygen(kctx, &k.ossl);
    EVP_PKEY_CTX_free(kctx);
    EVP_PKEY_free(params);
    EVP_PKEY_CTX_free(pctx);
    const Bytes m = material({bnParam(k.ossl, OSSL_PKEY_PARAM_FFC_P), bnParam(k.ossl, OSSL_PKEY_PARAM_FFC_Q),
                              bnParam(k.ossl, OSSL_PKEY_PARAM_FFC_G), bnParam(k.ossl, OSSL_PKEY_PARAM_PUB_KEY)},
                             {bnParam(k.ossl, OSSL_PKEY_PARAM_PRIV_KEY)});
    QELStatus status = 0;
    k.secret = qelSecretKeyObjectFromData(gContext, 17, m.data(), m.size(), 0, nullptr, &status);
    k.pub = k.secret->publicObject(k.secret);
    return k;
}

const Bytes kDigest(32, 0x5A);

// ---- ours

void BM_RSASign_qel(benchmark::State &state)
{
    KeyPair &k = rsaKey((int)state.range(0));
    const QELHashDescriptor *sha256 = qelHashDescriptorFind(QELHashAlgorithm_SHA256);
    Bytes sig(600);
    for (auto _ : state) {
        std::size_t len = 0;
        if (k.secret->sign(k.secret, sha256, kDigest.data(), 32, sig.data(), &len, &gRandom, QELPkFormat_Raw) != 0)
            state.SkipWithError("sign failed");
        benchmark::DoNotOptimize(len);
    }
}

void BM_RSAVerify_qel(benchmark::State &state)
{
    KeyPair &k = rsaKey((int)state.range(0));
    const QELHashDescriptor *sha256 = qelHashDescriptorFind(QELHashAlgorithm_SHA256);
    Bytes sig(600);
    std::size_t len = 0;
    k.secret->sign(k.secret, sha256, kDigest.data(), 32, sig.data(), &len, &gRandom, QELPkFormat_Raw);
    for (auto _ : state) {
        if (k.pub->verify(k.pub, sig.data(), len, sha256, kDigest.data(), 32, QELPkFormat_Raw) != 1)
            state.SkipWithError("verify failed");
    }
}

void BM_DSASign_qel(benchmark::State &state)
{
    KeyPair &k = dsaKey();
    Bytes sig(100);
    for (auto _ : state) {
        std::size_t len = 0;
        if (k.secret->sign(k.secret, nullptr, kDigest.data(), 32, sig.data(), &len, &gRandom, QELPkFormat_Raw) != 0)
            state.SkipWithError("sign failed");
    }
}

void BM_DSAVerify_qel(benchmark::State &state)
{
    KeyPair &k = dsaKey();
    Bytes sig(100);
    std::size_t len = 0;
    k.secret->sign(k.secret, nullptr, kDigest.data(), 32, sig.data(), &len, &gRandom, QELPkFormat_Raw);
    for (auto _ : state) {
        if (k.pub->verify(k.pub, sig.data(), len, nullptr, kDigest.data(), 32, QELPkFormat_Raw) != 1)
            state.SkipWithError("verify failed");
    }
}

void BM_RSAKeyGen2048_qel(benchmark::State &state)
{
    for (auto _ : state) {
        QELStatus status = 0;
        QELSecretKeyObject *key = qelPkAlgGenerateKey(gContext, qelPkAlgFind(1), 2048, 0, 0, 0, &gRandom, nullptr,
                                                      nullptr, nullptr, nullptr, 0, 1, &status);
        if (key == nullptr)
            state.SkipWithError("generation failed");
        else
            static_cast<void>(key->destroy(key));
    }
}

// ---- OpenSSL

void osslSignLoop(benchmark::State &state, EVP_PKEY *key, bool rsa)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_sign_init(ctx);
    if (rsa) {
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    }
    Bytes sig(600);
    for (auto _ : state) {
        std::size_t len = sig.size();
        if (EVP_PKEY_sign(ctx, sig.data(), &len, kDigest.data(), kDigest.size()) != 1)
            state.SkipWithError("sign failed");
    }
    EVP_PKEY_CTX_free(ctx);
}

void osslVerifyLoop(benchmark::State &state, EVP_PKEY *key, bool rsa)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_sign_init(ctx);
    if (rsa) {
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    }
    Bytes sig(600);
    std::size_t len = sig.size();
    EVP_PKEY_sign(ctx, sig.data(), &len, kDigest.data(), kDigest.size());
    EVP_PKEY_CTX_free(ctx);
    ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_verify_init(ctx);
    if (rsa) {
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    }
    for (auto _ : state) {
        if (EVP_PKEY_verify(ctx, sig.data(), len, kDigest.data(), kDigest.size()) != 1)
            state.SkipWithError("verify failed");
    }
    EVP_PKEY_CTX_free(ctx);
}

void BM_RSASign_openssl(benchmark::State &state) { osslSignLoop(state, rsaKey((int)state.range(0)).ossl, true); }
void BM_RSAVerify_openssl(benchmark::State &state) { osslVerifyLoop(state, rsaKey((int)state.range(0)).ossl, true); }
void BM_DSASign_openssl(benchmark::State &state) { osslSignLoop(state, dsaKey().ossl, false); }
void BM_DSAVerify_openssl(benchmark::State &state) { osslVerifyLoop(state, dsaKey().ossl, false); }

void BM_RSAKeyGen2048_openssl(benchmark::State &state)
{
    for (auto _ : state) {
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        EVP_PKEY *key = nullptr;
        EVP_PKEY_keygen_init(ctx);
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 2048);
        if (EVP_PKEY_keygen(ctx, &key) != 1)
            state.SkipWithError("generation failed");
        EVP_PKEY_free(key);
        EVP_PKEY_CTX_free(ctx);
    }
}

BENCHMARK(BM_RSASign_qel)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RSASign_openssl)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RSAVerify_qel)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RSAVerify_openssl)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DSASign_qel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DSASign_openssl)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DSAVerify_qel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DSAVerify_openssl)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RSAKeyGen2048_qel)->Iterations(1)->Repetitions(20)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RSAKeyGen2048_openssl)
    ->Iterations(1)
    ->Repetitions(20)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

struct Configuration {
    const char *name;
    const char *title;
    const char *portable;     // QEL_TEST_PORTABLE_CRYPTO, or null
    const char *opensslMask;  // OPENSSL_ia32cap, or null
};

const Configuration kConfigurations[] = {
    {"a", "(a) SDK best path vs OpenSSL default", nullptr, nullptr},
    {"b", "(b) SDK MULX/ADX (IFMA off) vs OpenSSL without AVX-512/IFMA", nullptr, ":~0x210000"},
    {"c", "(c) SDK portable vs OpenSSL without BMI2/ADX, AVX2, AVX-512, IFMA", "1", ":~0x290120"},
};

// Runs this program once per configuration, with the same arguments;
// returns the first failing child's status.
int runEachConfiguration(char **argv)
{
    int result = 0;
    for (const Configuration &c : kConfigurations) {
        std::vector<std::string> env;
        for (char **e = environ; *e != nullptr; ++e)
            if (std::strncmp(*e, "QEL_BENCH_CONFIG=", 17) != 0 && std::strncmp(*e, "OPENSSL_ia32cap=", 16) != 0 &&
                std::strncmp(*e, "QEL_TEST_PORTABLE_CRYPTO=", 25) != 0)
                env.emplace_back(*e);
        env.push_back(std::string("QEL_BENCH_CONFIG=") + c.name);
        if (c.portable != nullptr)
            env.push_back(std::string("QEL_TEST_PORTABLE_CRYPTO=") + c.portable);
        if (c.opensslMask != nullptr)
            env.push_back(std::string("OPENSSL_ia32cap=") + c.opensslMask);
        std::vector<char *> envp;
        for (std::string &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::printf("\n==== %s\n", c.title);
        std::fflush(stdout);
        pid_t pid = 0;
        int status = 0;
        if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0 ||
            waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "configuration %s failed\n", c.name);
            result = result != 0 ? result : 1;
        }
    }
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    const char *config = std::getenv("QEL_BENCH_CONFIG");
    if (config == nullptr && std::getenv("OPENSSL_ia32cap") == nullptr &&
        std::getenv("QEL_TEST_PORTABLE_CRYPTO") == nullptr)
        return runEachConfiguration(argv);
    if (config != nullptr && std::strcmp(config, "b") == 0)
        qelTestBigNumPairKernelOff(true);
    // A private home for the seed file.
    char home[] = "/tmp/qelbenchXXXXXX";
    if (mkdtemp(home) != nullptr) {
        setenv("QELPATH", home, 1);
        setenv("HOME", home, 1);
    }
    if (qelSDKInit(QELSDKInit_NoService | QELSDKInit_NoHousekeeping) != 0 ||
        qelContextNew(QELSDKVersion, &gContext) != 0) {
        std::fprintf(stderr, "SDK start-up failed\n");
        return 1;
    }
    // Unless told otherwise: five repetitions of each, ours and OpenSSL's
    // interleaved, the best one counting.
    std::vector<char *> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5", interleave = "--benchmark_enable_random_interleaving=true";
    bool given = false;
    for (int i = 1; i < argc; ++i)
        given = given || std::string(argv[i]).rfind("--benchmark_repetitions", 0) == 0;
    if (!given) {
        args.push_back(repetitions.data());
        args.push_back(interleave.data());
    }
    int count = (int)args.size();
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3)
        std::printf("\nload average %.2f %.2f %.2f", load[0], load[1], load[2]);
    // The SDK's path (QEL_TEST_PORTABLE_CRYPTO=1 forces the portable one), and
    // OpenSSL's features as masked by OPENSSL_ia32cap (for a like-for-like
    // reading of the portable path, mask MULX/ADX/AVX-512 there too).
    const char *cap = std::getenv("OPENSSL_ia32cap");
    std::printf("\nSDK big-number path: %s; OPENSSL_ia32cap: %s",
                qelWordsPairedExpModFits(2048) ? "AVX-512 IFMA (RSA private halves, RSA verification to 2048 "
                                                 "bits), MULX/ADX elsewhere"
                : qelCryptoUseMULX()           ? "MULX/ADX"
                                               : "portable",
                cap != nullptr ? cap : "(unset)");
    std::printf("\nRatios (ours / OpenSSL, best of the repetitions, lower is better):\n");
    for (const char *bits : {"2048", "4096"}) {
        const std::string b = bits;
        // The targets: RSA-2048 and DSA-2048 at most OpenSSL's time.
        const bool target = b == "2048";
        printRatio(reporter, "BM_RSASign_qel/" + b, "BM_RSASign_openssl/" + b,
                   ("RSA-" + b + " sign (CRT, blinded)").c_str(), target ? 1.0 : 2.0);
        printRatio(reporter, "BM_RSAVerify_qel/" + b, "BM_RSAVerify_openssl/" + b, ("RSA-" + b + " verify").c_str(),
                   target ? 1.0 : 1.5);
    }
    printRatio(reporter, "BM_DSASign_qel/", "BM_DSASign_openssl/", "DSA-2048/256 sign", 1.0);
    printRatio(reporter, "BM_DSAVerify_qel/", "BM_DSAVerify_openssl/", "DSA-2048/256 verify", 1.5);
    printRatio(reporter, "BM_RSAKeyGen2048_qel/", "BM_RSAKeyGen2048_openssl/", "RSA-2048 key generation (median)",
               1.5);
    benchmark::Shutdown();
    return 0;
}
