// Importing a PKCS #12 file that OpenSSL 3 writes by default (PBES2 with
// PBKDF2-HMAC-SHA-256 and AES-256-CBC, a SHA-256 MAC, 2048 iterations
// everywhere) against PKCS12_parse on the same octets in the same process.
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "qelContext.h"
#include "qelMemory.h"
#include "qelPKCS12Internal.h"
#include "qelSDK.h"

namespace {

constexpr char kPassword[] = "bench password";

const std::vector<unsigned char> &file()
{
    static const std::vector<unsigned char> bytes = [] {
        char tmpl[] = "/tmp/pkcs12benchXXXXXX";
        const std::string dir = mkdtemp(tmpl);
        const std::string cmd = "cd " + dir +
                                " && openssl req -x509 -newkey rsa:2048 -nodes -keyout k.pem -out c.pem -days 2 "
                                "-subj /CN=Bench >/dev/null 2>&1 && openssl pkcs12 -export -iter 2048 -inkey k.pem "
                                "-in c.pem -passout 'pass:" +
                                std::string(kPassword) + "' -out f.p12 >/dev/null 2>&1";
        std::vector<unsigned char> out;
        if (std::system(cmd.c_str()) == 0) {
            std::ifstream in(dir + "/f.p12", std::ios::binary);
            out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        std::filesystem::remove_all(dir);
        return out;
    }();
    return bytes;
}

void BM_OurImport(benchmark::State &state)
{
    QELContext *ctx = nullptr;
    if (qelSDKInit(6) != QELError_NoErr || qelContextNew(QELSDKVersion, &ctx) != QELError_NoErr || file().empty()) {
        state.SkipWithError("no context or no file");
        return;
    }
    for (auto _ : state) {
        std::uint8_t *key = nullptr, *certs = nullptr;
        std::uint64_t keyLength = 0, certsLength = 0;
        if (qelPKCS12Import(ctx, file().data(), file().size(), kPassword, sizeof kPassword - 1, &key, &keyLength,
                            &certs, &certsLength) != QELError_NoErr || key == nullptr) {
            state.SkipWithError("import failed");
            break;
        }
        static_cast<void>(qelMemFree(key));
        static_cast<void>(qelMemFree(certs));
    }
    static_cast<void>(qelContextFree(ctx));
    static_cast<void>(qelSDKCleanup());
}
BENCHMARK(BM_OurImport)->Unit(benchmark::kMillisecond)->Repetitions(3);

void BM_OpenSSLParse(benchmark::State &state)
{
    if (file().empty()) {
        state.SkipWithError("no file");
        return;
    }
    for (auto _ : state) {
        const unsigned char *p = file().data();
        PKCS12 *p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(file().size()));
        EVP_PKEY *key = nullptr;
        X509 *cert = nullptr;
        STACK_OF(X509) *ca = nullptr;
        if (p12 == nullptr || PKCS12_parse(p12, kPassword, &key, &cert, &ca) != 1 || key == nullptr) {
            state.SkipWithError("PKCS12_parse failed");
            PKCS12_free(p12);
            break;
        }
        EVP_PKEY_free(key);
        X509_free(cert);
        sk_X509_pop_free(ca, X509_free);
        PKCS12_free(p12);
    }
}
BENCHMARK(BM_OpenSSLParse)->Unit(benchmark::kMillisecond)->Repetitions(3);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    static_cast<void>(file());
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    printRatio(rep, "BM_OurImport/", "BM_OpenSSLParse/", "PKCS #12 import, 2048 iterations, vs PKCS12_parse", 1.2);
    benchmark::Shutdown();
    return 0;
}
