// CAST5: RFC 2144 known answers (single block and the maintenance test), the
// key wash, and agreement with OpenSSL's CAST5.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "qelAlgorithms.h"
#include "qelCAST5Internal.h"
#include "qelSymmetricCipherInternal.h"

#ifdef QEL_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

namespace {

using Block = std::array<std::uint8_t, 8>;
using Key = std::array<std::uint8_t, 16>;

constexpr Key kRfcKey = {0x01, 0x23, 0x45, 0x67, 0x12, 0x34, 0x56, 0x78,
                         0x23, 0x45, 0x67, 0x89, 0x34, 0x56, 0x78, 0x9A};

TEST(CAST5, RFC2144SingleBlock)
{
    const Block plain = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    const Block cipher = {0x23, 0x8B, 0x4F, 0xE5, 0x84, 0x7E, 0x44, 0xB2};
    QELCAST5Context ctx;
    qelCAST5KeySchedule(&ctx, kRfcKey.data());
    Block out;
    qelCAST5Encrypt(&ctx, plain.data(), out.data());
    EXPECT_EQ(out, cipher);
    qelCAST5Decrypt(&ctx, out.data(), out.data());
    EXPECT_EQ(out, plain);

    // In place in both directions.
    Block buf = plain;
    qelCAST5Encrypt(&ctx, buf.data(), buf.data());
    EXPECT_EQ(buf, cipher);
    qelCAST5Decrypt(&ctx, buf.data(), buf.data());
    EXPECT_EQ(buf, plain);
}

// RFC 2144 B.2: a million rounds of encrypting the halves of a under b and
// of b under a exercise every S-box entry of the key schedule.
TEST(CAST5, RFC2144MaintenanceTest)
{
    Key a = kRfcKey, b = kRfcKey;
    QELCAST5Context ka, kb;
    for (int i = 0; i < 1000000; ++i) {
        qelCAST5KeySchedule(&kb, b.data());
        qelCAST5Encrypt(&kb, a.data(), a.data());
        qelCAST5Encrypt(&kb, a.data() + 8, a.data() + 8);
        qelCAST5KeySchedule(&ka, a.data());
        qelCAST5Encrypt(&ka, b.data(), b.data());
        qelCAST5Encrypt(&ka, b.data() + 8, b.data() + 8);
    }
    const Key expectA = {0xEE, 0xA9, 0xD0, 0xA2, 0x49, 0xFD, 0x3B, 0xA6,
                         0xB3, 0x43, 0x6F, 0xB8, 0x9D, 0x6D, 0xCA, 0x92};
    const Key expectB = {0xB2, 0xC9, 0x5E, 0xB0, 0x0C, 0x31, 0xAD, 0x71,
                         0x80, 0xAC, 0x05, 0xB8, 0xE8, 0x3D, 0x69, 0x6E};
    EXPECT_EQ(a, expectA);
    EXPECT_EQ(b, expectB);
}

struct WashCase {
    std::vector<std::uint8_t> data;
    Block zerosEncrypted;
};

TEST(CAST5, WashKnownAnswers)
{
    const WashCase cases[] = {
        {{}, {0x94, 0xA0, 0xA0, 0xB7, 0xF7, 0x21, 0xD5, 0x97}},
        {{'a', 'b', 'c'}, {0x04, 0x88, 0x95, 0xD7, 0x4C, 0x46, 0x82, 0xA6}},
    };
    for (const auto &c : cases) {
        QELCAST5Context ctx;
        qelCAST5KeySchedule(&ctx, kRfcKey.data());
        qelCAST5Wash(&ctx, c.data.data(), c.data.size());
        Block out, zeros{};
        qelCAST5Encrypt(&ctx, zeros.data(), out.data());
        EXPECT_EQ(out, c.zerosEncrypted) << "data length " << c.data.size();
    }
}

// Replays the wash by hand with the public step, so the block count of the
// padding (one final block for tails up to 5 bytes, two for 6 and 7) is
// checked against the context the wash leaves behind.
TEST(CAST5, WashPaddingBlockCount)
{
    for (std::size_t len = 0; len <= 17; ++len) {
        std::vector<std::uint8_t> data(len);
        for (std::size_t i = 0; i < len; ++i)
            data[i] = static_cast<std::uint8_t>(0xA0 + i);

        QELCAST5Context washed;
        qelCAST5KeySchedule(&washed, kRfcKey.data());
        QELCAST5Context manual = washed;
        qelCAST5Wash(&washed, data.data(), len);

        std::uint8_t work[40] = {};
        for (int k = 0; k < 8; ++k) {
            work[2 * k] = static_cast<std::uint8_t>(manual.k[k] >> 8);
            work[2 * k + 1] = static_cast<std::uint8_t>(manual.k[k]);
        }
        std::vector<std::uint8_t> msg(data);
        msg.push_back(0x80);
        const std::size_t r = len % 8;
        const std::size_t total = (r >= 6) ? (len / 8 + 2) * 8 : (len / 8 + 1) * 8;
        msg.resize(total, 0);
        msg[total - 2] = static_cast<std::uint8_t>(len >> 8);
        msg[total - 1] = static_cast<std::uint8_t>(len);
        EXPECT_EQ(total / 8, len / 8 + (r >= 6 ? 2 : 1)) << len;
        for (std::size_t i = 0; i < total; i += 8)
            qelCAST5WashStep(work, msg.data() + i, &manual);
        qelCAST5KeySchedule(&manual, work);
        EXPECT_EQ(std::memcmp(&manual, &washed, sizeof manual), 0) << "length " << len;
    }
}

TEST(CAST5, WashUsesOnlyLowSixteenBitsOfLength)
{
    // 65536 + 3 bytes and a different wash of 3 bytes must differ (the data
    // differs) but the final block carries the same length bytes 00 03.
    std::vector<std::uint8_t> big(65539, 0x11);
    QELCAST5Context a;
    qelCAST5KeySchedule(&a, kRfcKey.data());
    qelCAST5Wash(&a, big.data(), big.size());
    QELCAST5Context b;
    qelCAST5KeySchedule(&b, kRfcKey.data());
    std::uint8_t work[40] = {};
    for (int k = 0; k < 8; ++k) {
        work[2 * k] = static_cast<std::uint8_t>(b.k[k] >> 8);
        work[2 * k + 1] = static_cast<std::uint8_t>(b.k[k]);
    }
    for (std::size_t i = 0; i + 8 <= big.size(); i += 8)
        qelCAST5WashStep(work, big.data() + i, &b);
    const std::uint8_t last[8] = {0x11, 0x11, 0x11, 0x80, 0, 0, 0x00, 0x03};
    qelCAST5WashStep(work, last, &b);
    qelCAST5KeySchedule(&b, work);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

TEST(CAST5, DescriptorRow)
{
    const QELCipherDescriptor *d = qelCipherDescriptorFind(QELCipherAlgorithm_CAST5);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d, &qelCAST5Descriptor);
    EXPECT_STREQ(d->name, "CAST5");
    EXPECT_EQ(d->algorithm, 3);
    EXPECT_EQ(d->blockSize, 8u);
    EXPECT_EQ(d->keySize, 16u);
    EXPECT_EQ(d->contextSize, 128u);
    EXPECT_EQ(d->contextAlignment, 4u);
    EXPECT_EQ(d->keySchedule, &qelCAST5KeySchedule);
    EXPECT_EQ(d->encrypt, &qelCAST5Encrypt);
    EXPECT_EQ(d->decrypt, &qelCAST5Decrypt);
    EXPECT_EQ(d->wash, &qelCAST5Wash);
    EXPECT_EQ(d->reserved[0], nullptr);
    EXPECT_EQ(d->reserved[1], nullptr);
}

#ifdef QEL_HAVE_OPENSSL
class CAST5OpenSSL : public ::testing::Test {
protected:
    void SetUp() override
    {
        legacy_ = OSSL_PROVIDER_load(nullptr, "legacy");
        if (legacy_ == nullptr)
            GTEST_SKIP() << "OpenSSL legacy provider (CAST5) not available";
        defaultProv_ = OSSL_PROVIDER_load(nullptr, "default");
        cipher_ = EVP_CIPHER_fetch(nullptr, "CAST5-ECB", nullptr);
        if (cipher_ == nullptr)
            GTEST_SKIP() << "OpenSSL has no CAST5-ECB";
    }
    void TearDown() override
    {
        EVP_CIPHER_free(cipher_);
        if (defaultProv_ != nullptr)
            OSSL_PROVIDER_unload(defaultProv_);
        if (legacy_ != nullptr)
            OSSL_PROVIDER_unload(legacy_);
    }

    std::vector<std::uint8_t> peer(const Key &key, const std::vector<std::uint8_t> &in, bool enc)
    {
        EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
        EXPECT_EQ(EVP_CipherInit_ex2(ctx, cipher_, nullptr, nullptr, enc ? 1 : 0, nullptr), 1);
        EXPECT_EQ(EVP_CIPHER_CTX_set_key_length(ctx, 16), 1);
        EXPECT_EQ(EVP_CipherInit_ex2(ctx, nullptr, key.data(), nullptr, -1, nullptr), 1);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        std::vector<std::uint8_t> out(in.size() + 8);
        int n = 0, m = 0;
        EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())), 1);
        EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + n, &m), 1);
        out.resize(static_cast<std::size_t>(n + m));
        EVP_CIPHER_CTX_free(ctx);
        return out;
    }

    OSSL_PROVIDER *legacy_ = nullptr;
    OSSL_PROVIDER *defaultProv_ = nullptr;
    EVP_CIPHER *cipher_ = nullptr;
};

TEST_F(CAST5OpenSSL, RandomKeysAndBlocks)
{
    std::mt19937 rng(2144);
    for (int round = 0; round < 64; ++round) {
        Key key;
        for (auto &b : key)
            b = static_cast<std::uint8_t>(rng());
        std::vector<std::uint8_t> plain(8 * 16);
        for (auto &b : plain)
            b = static_cast<std::uint8_t>(rng());

        QELCAST5Context ctx;
        qelCAST5KeySchedule(&ctx, key.data());
        std::vector<std::uint8_t> ours(plain.size()), back(plain.size());
        for (std::size_t i = 0; i < plain.size(); i += 8) {
            qelCAST5Encrypt(&ctx, plain.data() + i, ours.data() + i);
            qelCAST5Decrypt(&ctx, ours.data() + i, back.data() + i);
        }
        EXPECT_EQ(ours, peer(key, plain, true));
        EXPECT_EQ(back, plain);
        EXPECT_EQ(peer(key, ours, false), plain);
    }
}
#endif

} // namespace
