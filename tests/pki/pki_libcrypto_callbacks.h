// Toolkit sign and verify callbacks over libcrypto, shared by the toolkit
// tests and the chain benchmark: the toolkit never computes a signature
// itself, so the peer's does it here.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qelPKIContextInternal.h"

namespace pkicb {

using Bytes = std::vector<std::uint8_t>;

struct SigAlg {
    std::vector<std::uint8_t> oid;
    const EVP_MD *(*md)();
    bool dsa;
};

inline const SigAlg *sigAlg(const std::uint8_t *oid, std::uint64_t n)
{
    static const SigAlg table[] = {
        {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}, EVP_sha256, false},
        {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05}, EVP_sha1, false},
        {{0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x03}, EVP_sha1, true},
        {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x03, 0x02}, EVP_sha256, true},
    };
    for (const SigAlg &a : table)
        if (a.oid.size() == n && std::memcmp(a.oid.data(), oid, n) == 0)
            return &a;
    return nullptr;
}

inline void putLength(Bytes &out, std::size_t n)
{
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
        return;
    }
    Bytes tmp;
    for (; n != 0; n >>= 8)
        tmp.insert(tmp.begin(), static_cast<std::uint8_t>(n));
    out.push_back(static_cast<std::uint8_t>(0x80 | tmp.size()));
    out.insert(out.end(), tmp.begin(), tmp.end());
}

inline Bytes tlv(std::uint8_t tag, const Bytes &content)
{
    Bytes out{tag};
    putLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// The issuer key as libcrypto's key, from its bits and parameters; the key
// type follows from the signature algorithm.
inline EVP_PKEY *keyFrom(const SigAlg &alg, const std::uint8_t *params, std::uint64_t paramsLength,
                         const std::uint8_t *key, std::uint64_t keyLength)
{
    static const Bytes rsa{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
    static const Bytes dsa{0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x01};
    Bytes algorithm = alg.dsa ? dsa : rsa;
    if (alg.dsa && params != nullptr)
        algorithm.insert(algorithm.end(), params, params + paramsLength);
    Bytes bits{0x00};
    bits.insert(bits.end(), key, key + keyLength);
    Bytes body = tlv(0x30, algorithm);
    const Bytes b = tlv(0x03, bits);
    body.insert(body.end(), b.begin(), b.end());
    const Bytes spki = tlv(0x30, body);
    const unsigned char *p = spki.data();
    return d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size()));
}

// Sign data: the EVP_PKEY*. The signature comes from the context's allocator.
inline int sign(std::uint8_t **signature, std::uint64_t *signatureLength, const std::uint8_t *tbs,
                std::uint64_t tbsLength, const std::uint8_t *oid, std::uint64_t oidLength, void *signData,
                QELPKIContext *context)
{
    const SigAlg *alg = sigAlg(oid, oidLength);
    if (alg == nullptr)
        return -1;
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    std::size_t n = 0;
    int ok = EVP_DigestSignInit(md, nullptr, alg->md(), nullptr, static_cast<EVP_PKEY *>(signData)) == 1 &&
             EVP_DigestSign(md, nullptr, &n, tbs, tbsLength) == 1;
    auto *out = ok ? static_cast<std::uint8_t *>(context->allocator->alloc(context->allocator, n)) : nullptr;
    ok = out != nullptr && EVP_DigestSign(md, out, &n, tbs, tbsLength) == 1;
    EVP_MD_CTX_free(md);
    if (!ok) {
        if (out != nullptr)
            context->allocator->free(context->allocator, out);
        return -1;
    }
    *signature = out;
    *signatureLength = n;
    return 0;
}

// User data: an int counting the calls, or null.
inline int verify(const std::uint8_t *data, std::uint64_t length, const std::uint8_t *oid, std::uint64_t oidLength,
                  const std::uint8_t *params, std::uint64_t paramsLength, const std::uint8_t *signature,
                  std::uint64_t signatureLength, const std::uint8_t *key, std::uint64_t keyLength,
                  QELPKICertificate *, void *userData, QELPKIContext *)
{
    if (userData != nullptr)
        ++*static_cast<int *>(userData);
    const SigAlg *alg = sigAlg(oid, oidLength);
    if (alg == nullptr)
        return -1;
    EVP_PKEY *pkey = keyFrom(*alg, params, paramsLength, key, keyLength);
    if (pkey == nullptr)
        return -1;
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    const int ok = EVP_DigestVerifyInit(md, nullptr, alg->md(), nullptr, pkey) == 1 &&
                   EVP_DigestVerify(md, signature, signatureLength, data, length) == 1;
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(pkey);
    return ok ? 0 : -5;
}

} // namespace pkicb
