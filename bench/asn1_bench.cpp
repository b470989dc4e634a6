// ASN.1 codec speed, side by side with OpenSSL in the same run:
//   - decode and re-encode 1,000 certificates (the corpus certificates in
//     turn) with the codec and with d2i_X509/i2d_X509 on the same bytes;
//   - decode and encode revocation lists of 10,000 and 100,000 entries
//     (made here by encoding records), to show that the time grows linearly.
// The ratio table (ours / OpenSSL) is printed after the Google Benchmark runs.
#include <benchmark/benchmark.h>

#include <openssl/x509.h>

#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "asn1PKIXInternal.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

ASN1Context gCtx{0, &asn1DefaultAllocator};

Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The tests' corpus: bench/../tests/asn1/data/.
std::string dataDir()
{
    return std::string(QEL_BENCH_DIR) + "/../tests/asn1/data/";
}

const std::vector<Bytes> &certificates()
{
    static const std::vector<Bytes> certs = [] {
        std::vector<Bytes> v;
        for (const char *name : {"cert_rsa_v3_ca.der", "cert_rsa_v1.der", "cert_dsa_v3_gentime.der",
                                 "cert_rsa_utf8.der", "cert_rsa_bmp.der", "cert_rsa_bigext.der"}) {
            Bytes b = readFile(dataDir() + name);
            if (!b.empty())
                v.push_back(std::move(b));
        }
        return v;
    }();
    return certs;
}

constexpr int kCertificates = 1000;

std::map<std::string, double> &perIteration()
{
    static std::map<std::string, double> m;
    return m;
}

void record(benchmark::State &state, const std::string &key, double seconds)
{
    perIteration()[key] = seconds / static_cast<double>(state.iterations());
}

// Thread CPU time: the machine may be shared, and both sides are measured
// the same way.
double now()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_CodecCertificates(benchmark::State &state)
{
    const auto &certs = certificates();
    Bytes out(1 << 16);
    double start = now();
    for (auto _ : state) {
        for (int i = 0; i < kCertificates; ++i) {
            const Bytes &der = certs[static_cast<std::size_t>(i) % certs.size()];
            ASN1_Certificate *cert = nullptr;
            std::int32_t err = 0;
            asn1Unpack_Certificate(&gCtx, &cert, der.data(), der.size(), &err);
            const std::uint64_t n = asn1Pack_Certificate(&gCtx, out.data(), out.size(), cert, &err);
            if (err != 0 || n != der.size()) {
                state.SkipWithError("round trip failed");
                return;
            }
            benchmark::DoNotOptimize(out.data());
            asn1Free_Certificate(&gCtx, cert);
        }
    }
    record(state, "certs.codec", now() - start);
}
BENCHMARK(BM_CodecCertificates)->Unit(benchmark::kMillisecond);

void BM_OpenSSLCertificates(benchmark::State &state)
{
    const auto &certs = certificates();
    Bytes out(1 << 16);
    double start = now();
    for (auto _ : state) {
        for (int i = 0; i < kCertificates; ++i) {
            const Bytes &der = certs[static_cast<std::size_t>(i) % certs.size()];
            const unsigned char *p = der.data();
            X509 *x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
            unsigned char *q = out.data();
            const int n = i2d_X509(x, &q);
            if (x == nullptr || n != static_cast<int>(der.size())) {
                state.SkipWithError("OpenSSL round trip failed");
                return;
            }
            benchmark::DoNotOptimize(out.data());
            X509_free(x);
        }
    }
    record(state, "certs.openssl", now() - start);
}
BENCHMARK(BM_OpenSSLCertificates)->Unit(benchmark::kMillisecond);

// A revocation list of n entries, each with a reason code extension.
Bytes makeCrl(long entries)
{
    ASN1_CertificateList *crl = asn1New_CertificateList(&gCtx);
    ASN1_TBSCertList &tbs = crl->tbsCertList;
    const std::uint8_t sha256Rsa[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
    static_cast<void>(asn1SetOctetString(&gCtx, &tbs.signature.algorithm, sha256Rsa, sizeof sha256Rsa));
    static_cast<void>(asn1SetOctetString(&gCtx, &crl->signatureAlgorithm.algorithm, sha256Rsa, sizeof sha256Rsa));
    auto *rdns = asn1New_RDNSequence(&gCtx);
    tbs.issuer.identifier = 0x30;
    tbs.issuer.alternative = rdns;
    auto *thisUpdate = asn1New_OctetString(&gCtx);
    static_cast<void>(asn1SetOctetStringFromCString(&gCtx, thisUpdate, "250101000000Z"));
    tbs.thisUpdate.identifier = 0x17;
    tbs.thisUpdate.alternative = thisUpdate;
    tbs.revokedCertificates = asn1New_RevokedCertificates(&gCtx);
    const std::uint8_t reason[] = {0x0A, 0x01, 0x01};
    const std::uint8_t reasonOid[] = {0x55, 0x1D, 0x15};
    for (long i = 0; i < entries; ++i) {
        ASN1_RevokedCertificate *entry = asn1New_RevokedCertificate(&gCtx);
        static_cast<void>(asn1SetIntegerValue(&gCtx, &entry->userCertificate, static_cast<std::int32_t>(i + 1000)));
        auto *date = asn1New_OctetString(&gCtx);
        static_cast<void>(asn1SetOctetStringFromCString(&gCtx, date, "240601120000Z"));
        entry->revocationDate.identifier = 0x17;
        entry->revocationDate.alternative = date;
        entry->crlEntryExtensions = asn1New_Extensions(&gCtx);
        ASN1_Extension *ext = asn1New_Extension(&gCtx);
        static_cast<void>(asn1SetOctetString(&gCtx, &ext->extnID, reasonOid, sizeof reasonOid));
        static_cast<void>(asn1SetOctetString(&gCtx, &ext->extnValue, reason, sizeof reason));
        static_cast<void>(asn1AppendElement(&gCtx, ext, entry->crlEntryExtensions));
        static_cast<void>(asn1AppendElement(&gCtx, entry, tbs.revokedCertificates));
    }
    const std::uint8_t sig[64] = {1};
    static_cast<void>(asn1SetBitString(&gCtx, &crl->signatureValue, sig, sizeof sig, 0));
    Bytes out(asn1Sizeof_CertificateList(&gCtx, crl, 1));
    std::int32_t err = 0;
    asn1Pack_CertificateList(&gCtx, out.data(), out.size(), crl, &err);
    asn1Free_CertificateList(&gCtx, crl);
    return err == 0 ? out : Bytes{};
}

void BM_CodecCrl(benchmark::State &state)
{
    const Bytes der = makeCrl(state.range(0));
    Bytes out(der.size());
    double start = now();
    for (auto _ : state) {
        ASN1_CertificateList *crl = nullptr;
        std::int32_t err = 0;
        asn1Unpack_CertificateList(&gCtx, &crl, der.data(), der.size(), &err);
        const std::uint64_t n = asn1Pack_CertificateList(&gCtx, out.data(), out.size(), crl, &err);
        if (err != 0 || n != der.size()) {
            state.SkipWithError("CRL round trip failed");
            return;
        }
        asn1Free_CertificateList(&gCtx, crl);
    }
    record(state, "crl.codec." + std::to_string(state.range(0)), now() - start);
}
BENCHMARK(BM_CodecCrl)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_OpenSSLCrl(benchmark::State &state)
{
    const Bytes der = makeCrl(state.range(0));
    Bytes out(der.size());
    double start = now();
    for (auto _ : state) {
        const unsigned char *p = der.data();
        X509_CRL *crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size()));
        unsigned char *q = out.data();
        if (crl == nullptr || i2d_X509_CRL(crl, &q) != static_cast<int>(der.size())) {
            state.SkipWithError("OpenSSL CRL round trip failed");
            return;
        }
        X509_CRL_free(crl);
    }
    record(state, "crl.openssl." + std::to_string(state.range(0)), now() - start);
}
BENCHMARK(BM_OpenSSLCrl)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void printRatios()
{
    auto &m = perIteration();
    auto ratio = [&](const std::string &ours, const std::string &peer) {
        if (m.count(ours) == 0 || m.count(peer) == 0 || m[peer] <= 0)
            return;
        std::printf("%-34s %10.3f ms  OpenSSL %10.3f ms  ratio %.2f\n", ours.c_str(), m[ours] * 1e3, m[peer] * 1e3,
                    m[ours] / m[peer]);
    };
    std::printf("\nASN.1 codec / OpenSSL (decode + encode, CPU time per run)\n");
    ratio("certs.codec", "certs.openssl");
    ratio("crl.codec.10000", "crl.openssl.10000");
    ratio("crl.codec.100000", "crl.openssl.100000");
    if (m.count("crl.codec.10000") && m.count("crl.codec.100000"))
        std::printf("CRL time 100,000 / 10,000 entries: %.2f (10 means linear)\n",
                    m["crl.codec.100000"] / m["crl.codec.10000"]);
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    printRatios();
    benchmark::Shutdown();
    return 0;
}
