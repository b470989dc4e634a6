// Shared helpers of the cipher test suites: hex, a counting and failing
// memory manager, the SDK started for a test binary, and OpenSSL as a peer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qelMemory.h"
#include "qelSDK.h"

#ifdef QEL_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

namespace qeltest {

using Bytes = std::vector<std::uint8_t>;

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

// A heap manager that counts live blocks and can be told to fail the n-th
// allocation from now on (1-based; 0 never fails).
struct CountingMgr {
    long live = 0;
    long allocations = 0;
    long failAt = 0;

    static void *alloc(QELMemoryMgr *, void *user, std::size_t size, std::uint32_t)
    {
        auto *self = static_cast<CountingMgr *>(user);
        ++self->allocations;
        if (self->failAt != 0 && self->allocations >= self->failAt)
            return nullptr;
        void *p = std::malloc(size);
        if (p != nullptr)
            ++self->live;
        return p;
    }
    static QELStatus realloc(QELMemoryMgr *, void *, void **p, std::size_t n, std::uint32_t, std::size_t)
    {
        void *q = std::realloc(*p, n);
        if (q == nullptr)
            return QELError_OutOfMemory;
        *p = q;
        return QELError_NoErr;
    }
    static QELStatus release(QELMemoryMgr *, void *user, void *p, std::size_t)
    {
        --static_cast<CountingMgr *>(user)->live;
        std::free(p);
        return QELError_NoErr;
    }
    static void *secureAlloc(QELMemoryMgr *m, void *user, std::size_t size, std::uint32_t flags, std::uint8_t *locked)
    {
        *locked = 0;
        return alloc(m, user, size, flags);
    }
    static QELStatus secureFree(QELMemoryMgr *m, void *user, void *p, std::size_t size, std::uint8_t)
    {
        return release(m, user, p, size);
    }

    QELMemoryMgr *make()
    {
        QELMemoryMgrCallbacks cb{};
        cb.blockSize = sizeof cb;
        cb.alloc = alloc;
        cb.realloc = realloc;
        cb.free = release;
        cb.secureAlloc = secureAlloc;
        cb.secureFree = secureFree;
        cb.userValue = this;
        QELMemoryMgr *mgr = nullptr;
        EXPECT_EQ(qelMemMgrNew(&cb, &mgr), QELError_NoErr);
        return mgr;
    }
};

// Starts the SDK (no service, no housekeeping thread) for contexts; the seed
// file lives in a temporary directory.
class SDKEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qelciphertestXXXXXX";
        const char *dir = mkdtemp(tmpl);
        ASSERT_NE(dir, nullptr);
        dir_ = dir;
        setenv("QELPATH", dir_.c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
        ASSERT_EQ(qelSDKInit(QELSDKInit_NoService | QELSDKInit_NoHousekeeping), QELError_NoErr);
    }
    void TearDown() override
    {
        qelSDKCleanup();
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }

private:
    std::string dir_;
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
