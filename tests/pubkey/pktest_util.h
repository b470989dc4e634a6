// Key material and key objects for the public-key tests: MPIs from bytes,
// unprotected stored material, owning holders, and OpenSSL numbers.
#pragma once

#include "qelBigNumInternal.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelPkAlgInternal.h"
#include "qelRandomContextInternal.h"
#include "qelTestBigNum.h"
#include "qelTestHex.h"
#include "qelTestKeyMaterial.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#ifdef QEL_HAVE_OPENSSL
#include <openssl/bn.h>
#endif

namespace pktest {

using qeltest::Bytes;

using qeltest::material;
using qeltest::mpi;

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline void destroySecret(QELSecretKeyObject *k)
{
    if (k) {
        EXPECT_EQ(k->destroy(k), QELError_NoErr);
    }
}
inline void destroyPublic(QELPublicKeyObject *k)
{
    if (k) {
        EXPECT_EQ(k->destroy(k), QELError_NoErr);
    }
}
using SecretKey = std::unique_ptr<QELSecretKeyObject, decltype(&destroySecret)>;
using PublicKey = std::unique_ptr<QELPublicKeyObject, decltype(&destroyPublic)>;

inline SecretKey secretFrom(QELContext *context, std::uint8_t alg, const Bytes &m, QELStatus *status = nullptr,
                            std::uint8_t oldFormat = 0)
{
    QELStatus s = 0;
    SecretKey key(qelSecretKeyObjectFromData(context, alg, m.data(), m.size(), oldFormat, nullptr, &s), destroySecret);
    if (status)
        *status = s;
    return key;
}

inline PublicKey publicFrom(QELContext *context, std::uint8_t alg, const Bytes &m, QELStatus *status = nullptr)
{
    QELStatus s = 0;
    PublicKey key(qelPublicKeyObjectFromData(context, alg, m.data(), m.size(), &s), destroyPublic);
    if (status)
        *status = s;
    return key;
}

inline Bytes exportSecret(QELSecretKeyObject *k)
{
    Bytes out(k->secretDataLength(k));
    k->exportSecretData(k, out.data());
    return out;
}

inline Bytes exportPublic(QELPublicKeyObject *k)
{
    Bytes out(k->exportedSize(k));
    k->exportPublic(k, out.data());
    return out;
}

// A deterministic random source for reproducible tests.
struct TestRandom {
    QELRandomDescriptor descriptor{"test", add, get, nullptr};
    QELRandomContext context{nullptr, &descriptor, this, nullptr};
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    // Octets it still delivers: a request beyond them fails, as a source
    // that has run dry does.
    std::uint64_t budget = ~std::uint64_t{0};
    static void add(void *s, const void *data, std::uint32_t length)
    {
        auto *self = static_cast<TestRandom *>(s);
        const auto *p = static_cast<const std::uint8_t *>(data);
        for (std::uint32_t i = 0; i < length; ++i)
            self->state = (self->state ^ p[i]) * 0x100000001B3ull;
    }
    static QELStatus get(void *s, void *buffer, std::uint32_t length, std::uint32_t)
    {
        auto *self = static_cast<TestRandom *>(s);
        auto *p = static_cast<std::uint8_t *>(buffer);
        if (length > self->budget) {
            std::memset(buffer, 0, length);
            return QELError_OutOfEntropy;
        }
        self->budget -= length;
        for (std::uint32_t i = 0; i < length; ++i) {
            self->state ^= self->state << 13;
            self->state ^= self->state >> 7;
            self->state ^= self->state << 17;
            p[i] = std::uint8_t(self->state >> 24);
        }
        return QELError_NoErr;
    }
    QELRandomContext *operator&() { return &context; }
};

#ifdef QEL_HAVE_OPENSSL
inline Bytes bnBytes(const BIGNUM *bn)
{
    Bytes out(BN_num_bytes(bn));
    BN_bn2bin(bn, out.data());
    return out;
}
inline BIGNUM *bnFrom(const Bytes &b) { return BN_bin2bn(b.data(), int(b.size()), nullptr); }
#endif

} // namespace pktest
