// Hex text for test vectors, and OpenSSL's digests as the peer to compare with.
#pragma once

#include "qelAlgorithms.h"

#include <cstdint>
#include <string>
#include <vector>

#ifdef QEL_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace qeltest {

using Bytes = std::vector<std::uint8_t>;

// Pairs of hex digits to bytes; a trailing odd digit is ignored.
inline Bytes fromHex(const std::string &hex)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const std::uint8_t *p, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline std::string toHex(const Bytes &b)
{
    return toHex(b.data(), b.size());
}

// OpenSSL's name for one of our hash algorithms; null for those it lacks.
inline const char *peerHashName(std::int32_t algorithm)
{
    switch (algorithm) {
    case QELHashAlgorithm_MD5: return "MD5";
    case QELHashAlgorithm_SHA1: return "SHA1";
    case QELHashAlgorithm_RIPEMD160: return "RIPEMD160";
    case QELHashAlgorithm_SHA224: return "SHA224";
    case QELHashAlgorithm_SHA256: return "SHA256";
    case QELHashAlgorithm_SHA384: return "SHA384";
    case QELHashAlgorithm_SHA512: return "SHA512";
    default: return nullptr;
    }
}

#ifdef QEL_HAVE_OPENSSL
// OpenSSL's digest of the bytes under its name for the hash ("SHA256"),
// with the given number of zero bytes hashed first; empty when OpenSSL
// does not offer the hash.
inline Bytes peerDigest(const char *name, const void *data, std::size_t length,
                        std::size_t zeroPrefix = 0)
{
    EVP_MD *md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr)
        return {};
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const Bytes zeros(zeroPrefix, 0);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    const bool ok = EVP_DigestInit_ex(ctx, md, nullptr) == 1 &&
                    EVP_DigestUpdate(ctx, zeros.data(), zeros.size()) == 1 &&
                    EVP_DigestUpdate(ctx, data, length) == 1 && EVP_DigestFinal_ex(ctx, out, &n) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    return ok ? Bytes(out, out + n) : Bytes{};
}
#endif

} // namespace qeltest
