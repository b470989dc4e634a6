// Shared helpers of the cipher test suites: OpenSSL as a peer, plus the
// test-wide hex, memory-manager and private-home helpers they all use.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qelAlgorithms.h"
#include "qelTestEnv.h"
#include "qelTestHex.h"
#include "qelTestMemory.h"

#ifdef QEL_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

namespace qeltest {

// Every byte of each vector from the generator.
template <typename Rng, typename... Vectors> void fillRandom(Rng &rng, Vectors &...vectors)
{
    for (auto *v : {&vectors...})
        for (auto &x : *v)
            x = static_cast<std::uint8_t>(rng());
}

// The ciphers OpenSSL offers too, under OpenSSL's name before the mode
// ("AES-128" for "AES-128-CBC").
struct PeerCipher {
    std::int32_t id;
    const char *stem;
    std::string in(const char *mode) const { return std::string(stem) + "-" + mode; }
};
inline constexpr PeerCipher kPeerCiphers[] = {
    {QELCipherAlgorithm_AES128, "AES-128"}, {QELCipherAlgorithm_AES192, "AES-192"},
    {QELCipherAlgorithm_AES256, "AES-256"}, {QELCipherAlgorithm_3DES, "DES-EDE3"},
    {QELCipherAlgorithm_CAST5, "CAST5"},    {QELCipherAlgorithm_Blowfish, "BF"},
    {QELCipherAlgorithm_IDEA, "IDEA"},
};

#ifdef QEL_HAVE_OPENSSL
// OpenSSL in one call: cipher name as EVP knows it, no padding. Returns false
// when the cipher is unavailable (legacy algorithms need the legacy provider).
inline bool peerCrypt(const char *name, const Bytes &key, const Bytes &iv, const Bytes &in, bool encrypt, Bytes &out,
                      int rc2Bits = 0)
{
    static OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER *defaults = OSSL_PROVIDER_load(nullptr, "default");
    (void)legacy;
    (void)defaults;
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
    if (cipher == nullptr)
        return false;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    bool ok = EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size())) == 1;
    if (ok && rc2Bits != 0)
        ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_RC2_KEY_BITS, rc2Bits, nullptr) == 1;
    ok = ok && EVP_CipherInit_ex2(ctx, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), -1, nullptr) == 1;
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    out.assign(in.size() + 32, 0);
    int n = 0, m = 0;
    ok = ok && EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())) == 1 &&
         EVP_CipherFinal_ex(ctx, out.data() + n, &m) == 1;
    out.resize(ok ? static_cast<std::size_t>(n + m) : 0);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    return ok;
}
#endif

} // namespace qeltest
