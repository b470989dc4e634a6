// Verifying a four-certificate RSA-2048 chain (root, two intermediates,
// leaf) with the toolkit against libcrypto's X509_verify_cert in the same
// process. The toolkit checks signatures through its callback, here over
// libcrypto, so the ratio measures the walk, the searches and the time and
// revocation checks around the same signature arithmetic. The toolkit also
// checks the root's own signature; the second OpenSSL run does as well.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "../tests/pki/pki_libcrypto_callbacks.h"
#include "asn1PKIX.h"
#include "bench_ratio.h"
#include "qelPKICertificateInternal.h"
#include "qelPKIChainInternal.h"
#include "qelPKIExtensionInternal.h"
#include "qelPKINameInternal.h"

namespace {

const std::vector<std::uint8_t> kSha256RSA{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
const std::vector<std::uint8_t> kNull{0x05, 0x00};

struct Chain {
    std::vector<EVP_PKEY *> keys;
    std::vector<std::vector<std::uint8_t>> der; // root first
};

// SubjectPublicKeyInfo pieces of a key.
void spkiOf(EVP_PKEY *key, ASN1Context *codec, ASN1_SubjectPublicKeyInfo **spki)
{
    unsigned char *der = nullptr;
    const int n = i2d_PUBKEY(key, &der);
    std::int32_t err = 0;
    asn1Unpack_SubjectPublicKeyInfo(codec, spki, der, static_cast<std::uint64_t>(n), &err);
    OPENSSL_free(der);
}

const Chain &chain()
{
    static const Chain c = [] {
        Chain out;
        QELPKIContext *ctx = nullptr;
        if (qelPKIContextNew(&ctx, nullptr, pkicb::sign, nullptr, nullptr, nullptr) != 0)
            std::abort();
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        for (int level = 0; level < 4; ++level) {
            out.keys.push_back(EVP_RSA_gen(2048));
            ctx->signData = out.keys[level == 0 ? 0 : level - 1];
            ASN1_Name *subject = nullptr, *issuer = nullptr;
            const std::string s = "CN=Bench Level " + std::to_string(level) + ",O=Qel Bench";
            const std::string i = "CN=Bench Level " + std::to_string(level == 0 ? 0 : level - 1) + ",O=Qel Bench";
            if (qelPKINameNew(&subject, ctx) != 0 || qelPKINameFromText(subject, s.c_str(), ctx) != 0 ||
                qelPKINameNew(&issuer, ctx) != 0 || qelPKINameFromText(issuer, i.c_str(), ctx) != 0)
                std::abort();
            ASN1_Extensions *ext = nullptr;
            const std::uint8_t bcOID[] = {0x55, 0x1D, 0x13}, bc[] = {0x30, 0x03, 0x01, 0x01, 0xFF};
            if (level < 3 && (qelPKIExtensionsNew(&ext, ctx) != 0 ||
                              qelPKIExtensionAppend(ext, bcOID, 3, 1, bc, sizeof bc, ctx) != 0))
                std::abort();
            ASN1_SubjectPublicKeyInfo *spki = nullptr;
            spkiOf(out.keys[level], ctx->codec, &spki);
            const std::uint8_t serial = static_cast<std::uint8_t>(level + 1);
            QELPKICertificate *cert = nullptr;
            if (qelPKICertificateCreate(&cert, 2, &serial, 1, kSha256RSA.data(), kSha256RSA.size(), kNull.data(), 2,
                                        issuer, now - 3600, now + 86400 * 30, subject, ext,
                                        spki->algorithm.algorithm.data, spki->algorithm.algorithm.length,
                                        spki->subjectPublicKey.data, spki->subjectPublicKey.length, kNull.data(), 2,
                                        ctx) != 0)
                std::abort();
            std::uint8_t *der = nullptr;
            std::uint64_t n = 0;
            if (qelPKICertificateEncode(&der, &n, cert, ctx) != 0)
                std::abort();
            out.der.emplace_back(der, der + n);
            qel::pki::release(ctx, der);
            qelPKICertificateFree(cert, ctx);
            asn1Free_SubjectPublicKeyInfo(ctx->codec, spki);
            qelPKIExtensionsFree(ext, ctx);
            static_cast<void>(qelPKINameFree(subject, ctx));
            static_cast<void>(qelPKINameFree(issuer, ctx));
        }
        qelPKIContextFree(ctx);
        return out;
    }();
    return c;
}

// Keys parsed once per issuer certificate, as a caller holding a store
// would keep them (libcrypto's own verification keeps its X509 objects'
// keys decoded too).
struct KeyCache {
    std::vector<std::pair<const QELPKICertificate *, EVP_PKEY *>> keys;
    ~KeyCache()
    {
        for (auto &k : keys)
            EVP_PKEY_free(k.second);
    }
};

int cachedVerify(const std::uint8_t *data, std::uint64_t length, const std::uint8_t *oid, std::uint64_t oidLength,
                 const std::uint8_t *params, std::uint64_t paramsLength, const std::uint8_t *signature,
                 std::uint64_t signatureLength, const std::uint8_t *key, std::uint64_t keyLength,
                 QELPKICertificate *issuer, void *userData, QELPKIContext *)
{
    const pkicb::SigAlg *alg = pkicb::sigAlg(oid, oidLength);
    if (alg == nullptr)
        return -1;
    auto *cache = static_cast<KeyCache *>(userData);
    EVP_PKEY *pkey = nullptr;
    for (auto &k : cache->keys)
        if (k.first == issuer)
            pkey = k.second;
    if (pkey == nullptr) {
        pkey = pkicb::keyFrom(*alg, params, paramsLength, key, keyLength);
        if (pkey == nullptr)
            return -1;
        cache->keys.emplace_back(issuer, pkey);
    }
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    const int ok = EVP_DigestVerifyInit(md, nullptr, alg->md(), nullptr, pkey) == 1 &&
                   EVP_DigestVerify(md, signature, signatureLength, data, length) == 1;
    EVP_MD_CTX_free(md);
    return ok ? 0 : -5;
}

void BM_ToolkitVerifyChain(benchmark::State &state)
{
    QELPKIContext *ctx = nullptr;
    KeyCache cache;
    if (qelPKIContextNew(&ctx, nullptr, nullptr, nullptr, cachedVerify, &cache) != 0)
        std::abort();
    for (const auto &d : chain().der)
        if (qelPKICertificateImport(d.data(), d.size(), ctx) != 0)
            std::abort();
    QELPKICertificate *leaf = ctx->certificates->certificate; // the newest: the leaf
    for (auto _ : state) {
        if (qelPKICertificateVerifyChain(leaf, 0, ctx) != 0)
            state.SkipWithError("chain refused");
    }
    qelPKIContextFree(ctx);
}
BENCHMARK(BM_ToolkitVerifyChain)->Unit(benchmark::kMicrosecond)->Repetitions(3);

void opensslVerify(benchmark::State &state, unsigned long flags)
{
    std::vector<X509 *> certs;
    for (const auto &d : chain().der) {
        const unsigned char *p = d.data();
        certs.push_back(d2i_X509(nullptr, &p, static_cast<long>(d.size())));
    }
    X509_STORE *store = X509_STORE_new();
    X509_STORE_add_cert(store, certs[0]);
    STACK_OF(X509) *untrusted = sk_X509_new_null();
    sk_X509_push(untrusted, certs[1]);
    sk_X509_push(untrusted, certs[2]);
    for (auto _ : state) {
        X509_STORE_CTX *sc = X509_STORE_CTX_new();
        X509_STORE_CTX_init(sc, store, certs[3], untrusted);
        X509_STORE_CTX_set_flags(sc, flags);
        if (X509_verify_cert(sc) != 1)
            state.SkipWithError("OpenSSL refused the chain");
        X509_STORE_CTX_free(sc);
    }
    sk_X509_free(untrusted);
    X509_STORE_free(store);
    for (X509 *x : certs)
        X509_free(x);
}

void BM_OpenSSLVerifyCert(benchmark::State &state)
{
    opensslVerify(state, 0);
}
BENCHMARK(BM_OpenSSLVerifyCert)->Unit(benchmark::kMicrosecond)->Repetitions(3);

void BM_OpenSSLVerifyCertRootSignature(benchmark::State &state)
{
    opensslVerify(state, X509_V_FLAG_CHECK_SS_SIGNATURE);
}
BENCHMARK(BM_OpenSSLVerifyCertRootSignature)->Unit(benchmark::kMicrosecond)->Repetitions(3);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    static_cast<void>(chain());
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    printRatio(rep, "BM_ToolkitVerifyChain/", "BM_OpenSSLVerifyCert/",
               "4-cert RSA-2048 chain vs X509_verify_cert", 1.5);
    printRatio(rep, "BM_ToolkitVerifyChain/", "BM_OpenSSLVerifyCertRootSignature/",
               "same, OpenSSL also checking the root", 0);
    benchmark::Shutdown();
    return 0;
}
