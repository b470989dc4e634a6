// HMAC against the published test cases of RFC 2202 (MD5, SHA-1), RFC 2286
// (RIPEMD-160) and RFC 4231 (SHA-224/256/384/512), cross-checked against
// OpenSSL around the block-size boundary, plus the object's error handling.
#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelHMAC.h"
#include "qelHashInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHex.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#if defined(QEL_HAVE_OPENSSL)
#include <openssl/evp.h>
#include <openssl/hmac.h>
#endif

namespace {

using qeltest::Bytes;
using qeltest::fromHex;

Bytes text(const char *s)
{
    return Bytes(s, s + std::char_traits<char>::length(s));
}

Bytes repeat(std::uint8_t b, std::size_t n)
{
    return Bytes(n, b);
}

Bytes counting(std::uint8_t from, std::uint8_t to)
{
    Bytes out;
    for (unsigned v = from; v <= to; ++v)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

class HMACTest : public qeltest::SDKSuite {
protected:
    static Bytes mac(std::int32_t algorithm, const Bytes &key, const Bytes &data)
    {
        QELHMACContext *hmac = nullptr;
        EXPECT_EQ(qelHMACNew(context, algorithm, key.data(), key.size(), &hmac), 0);
        if (hmac == nullptr)
            return {};
        EXPECT_EQ(qelHMACUpdate(hmac, data.data(), data.size()), 0);
        Bytes out(qelHashDescriptorFind(algorithm)->digestSize);
        EXPECT_EQ(qelHMACFinal(hmac, out.data()), 0);
        EXPECT_EQ(qelHMACFree(hmac), 0);
        return out;
    }

    static bool available(std::int32_t algorithm)
    {
        return qelHashDescriptorFind(algorithm) != nullptr;
    }

};

struct Vector {
    const char *source;
    std::int32_t algorithm;
    Bytes key;
    Bytes data;
    const char *expected; // may be a truncated prefix (RFC "truncation" cases)
};

const Bytes kLarge1 = text("Test Using Larger Than Block-Size Key - Hash Key First");
const Bytes kLarge2 = text("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data");
const Bytes kLarge3 = text("This is a test using a larger than block-size key and a larger than "
                           "block-size data. The key needs to be hashed before being used by the "
                           "HMAC algorithm.");
const Bytes kJefeData = text("what do ya want for nothing?");

std::vector<Vector> rfcVectors()
{
    std::vector<Vector> v = {
        // RFC 2202, HMAC-MD5
        {"RFC 2202 MD5 1", QELHashAlgorithm_MD5, repeat(0x0b, 16), text("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d"},
        {"RFC 2202 MD5 2", QELHashAlgorithm_MD5, text("Jefe"), kJefeData, "750c783e6ab0b503eaa86e310a5db738"},
        {"RFC 2202 MD5 3", QELHashAlgorithm_MD5, repeat(0xaa, 16), repeat(0xdd, 50), "56be34521d144c88dbb8c733f0e8b3f6"},
        {"RFC 2202 MD5 4", QELHashAlgorithm_MD5, counting(1, 25), repeat(0xcd, 50), "697eaf0aca3a3aea3a75164746ffaa79"},
        {"RFC 2202 MD5 5", QELHashAlgorithm_MD5, repeat(0x0c, 16), text("Test With Truncation"), "56461ef2342edc00f9bab995"},
        {"RFC 2202 MD5 6", QELHashAlgorithm_MD5, repeat(0xaa, 80), kLarge1, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {"RFC 2202 MD5 7", QELHashAlgorithm_MD5, repeat(0xaa, 80), kLarge2, "6f630fad67cda0ee1fb1f562db3aa53e"},
        // RFC 2202, HMAC-SHA-1
        {"RFC 2202 SHA1 1", QELHashAlgorithm_SHA1, repeat(0x0b, 20), text("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"RFC 2202 SHA1 2", QELHashAlgorithm_SHA1, text("Jefe"), kJefeData, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {"RFC 2202 SHA1 3", QELHashAlgorithm_SHA1, repeat(0xaa, 20), repeat(0xdd, 50), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {"RFC 2202 SHA1 4", QELHashAlgorithm_SHA1, counting(1, 25), repeat(0xcd, 50), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {"RFC 2202 SHA1 5", QELHashAlgorithm_SHA1, repeat(0x0c, 20), text("Test With Truncation"), "4c1a03424b55e07fe7f27be1"},
        {"RFC 2202 SHA1 6", QELHashAlgorithm_SHA1, repeat(0xaa, 80), kLarge1, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {"RFC 2202 SHA1 7", QELHashAlgorithm_SHA1, repeat(0xaa, 80), kLarge2, "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        // RFC 2286, HMAC-RIPEMD-160
        {"RFC 2286 1", QELHashAlgorithm_RIPEMD160, repeat(0x0b, 20), text("Hi There"), "24cb4bd67d20fc1a5d2ed7732dcc39377f0a5668"},
        {"RFC 2286 2", QELHashAlgorithm_RIPEMD160, text("Jefe"), kJefeData, "dda6c0213a485a9e24f4742064a7f033b43c4069"},
        {"RFC 2286 3", QELHashAlgorithm_RIPEMD160, repeat(0xaa, 20), repeat(0xdd, 50), "b0b105360de759960ab4f35298e116e295d8e7c1"},
        {"RFC 2286 4", QELHashAlgorithm_RIPEMD160, counting(1, 25), repeat(0xcd, 50), "d5ca862f4d21d5e610e18b4cf1beb97a4365ecf4"},
        {"RFC 2286 5", QELHashAlgorithm_RIPEMD160, repeat(0x0c, 20), text("Test With Truncation"), "7619693978f91d90539ae786"},
        {"RFC 2286 6", QELHashAlgorithm_RIPEMD160, repeat(0xaa, 80), kLarge1, "6466ca07ac5eac29e1bd523e5ada7605b791fd8b"},
        {"RFC 2286 7", QELHashAlgorithm_RIPEMD160, repeat(0xaa, 80), kLarge2, "69ea60798d71616cce5fd0871e23754cd75d5a0a"},
    };

    // RFC 4231: the same seven inputs for each SHA-2 hash; case 5 is
    // truncated to 128 bits.
    const std::vector<std::pair<Bytes, Bytes>> inputs = {
        {repeat(0x0b, 20), text("Hi There")},
        {text("Jefe"), kJefeData},
        {repeat(0xaa, 20), repeat(0xdd, 50)},
        {counting(1, 25), repeat(0xcd, 50)},
        {repeat(0x0c, 20), text("Test With Truncation")},
        {repeat(0xaa, 131), kLarge1},
        {repeat(0xaa, 131), kLarge3},
    };
    struct Row {
        std::int32_t algorithm;
        const char *name;
        const char *expected[7];
    };
    static const Row rows[] = {
        {QELHashAlgorithm_SHA224, "RFC 4231 SHA224",
         {"896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22",
          "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44",
          "7fb3cb3588c6c1f6ffa9694d7d6ad2649365b0c1f65d69d1ec8333ea",
          "6c11506874013cac6a2abc1bb382627cec6a90d86efc012de7afec5a",
          "0e2aea68a90c8d37c988bcdb9fca6fa8",
          "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e",
          "3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1"}},
        {QELHashAlgorithm_SHA256, "RFC 4231 SHA256",
         {"b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
          "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
          "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
          "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
          "a3b6167473100ee06e0c796c2955552b",
          "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
          "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"}},
        {QELHashAlgorithm_SHA384, "RFC 4231 SHA384",
         {"afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6",
          "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649",
          "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b2a5ab39dc13814b94e3ab6e101a34f27",
          "3e8a69b7783c25851933ab6290af6ca77a9981480850009cc5577c6e1f573b4e6801dd23c4a7d679ccf8a386c674cffb",
          "3abf34c3503b2a23a46efc619baef897",
          "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952",
          "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6110c46523e"}},
        {QELHashAlgorithm_SHA512, "RFC 4231 SHA512",
         {"87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854",
          "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737",
          "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39bf3e848279a722c806b485a47e67c807b946a337bee8942674278859e13292fb",
          "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3dba91ca5c11aa25eb4d679275cc5788063a5f19741120c4f2de2adebeb10a298dd",
          "415fad6271580a531d4179bc891d87a6",
          "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598",
          "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944b6022cac3c4982b10d5eeb55c3e4de15134676fb6de0446065c97440fa8c6a58"}},
    };
    for (const Row &row : rows)
        for (std::size_t i = 0; i < inputs.size(); ++i)
            v.push_back({row.name, row.algorithm, inputs[i].first, inputs[i].second, row.expected[i]});
    return v;
}

} // namespace

TEST_F(HMACTest, PublishedTestCases)
{
    int skipped = 0;
    for (const Vector &vec : rfcVectors()) {
        if (!available(vec.algorithm)) {
            ++skipped;
            continue;
        }
        const Bytes expected = fromHex(vec.expected);
        Bytes got = mac(vec.algorithm, vec.key, vec.data);
        ASSERT_GE(got.size(), expected.size()) << vec.source;
        got.resize(expected.size());
        EXPECT_EQ(got, expected) << vec.source << " key length " << vec.key.size();
    }
    if (skipped > 0)
        GTEST_SKIP() << skipped << " cases skipped: hash not available";
}

#if defined(QEL_HAVE_OPENSSL)
// Keys just below, at and above the block size, and an empty key, against
// OpenSSL, with the message fed in uneven pieces.
TEST_F(HMACTest, MatchesOpenSSLAroundTheBlockSize)
{
    Bytes message(300);
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (std::int32_t algorithm :
         {QELHashAlgorithm_MD5, QELHashAlgorithm_SHA1, QELHashAlgorithm_SHA224, QELHashAlgorithm_SHA256,
          QELHashAlgorithm_SHA384, QELHashAlgorithm_SHA512, QELHashAlgorithm_RIPEMD160}) {
        const char *name = qeltest::peerHashName(algorithm);
        const QELHashDescriptor *d = qelHashDescriptorFind(algorithm);
        const EVP_MD *md = EVP_get_digestbyname(name);
        if (d == nullptr || md == nullptr)
            continue;
        const std::size_t b = d->blockSize;
        for (std::size_t keyLength : {std::size_t{0}, std::size_t{1}, b - 1, b, b + 1, 2 * b + 5}) {
            Bytes key(keyLength);
            for (std::size_t i = 0; i < keyLength; ++i)
                key[i] = static_cast<std::uint8_t>(0xA5 ^ i);
            unsigned char expected[EVP_MAX_MD_SIZE];
            unsigned int expectedLength = 0;
            ASSERT_NE(HMAC(md, key.data(), static_cast<int>(key.size()), message.data(), message.size(),
                           expected, &expectedLength),
                      nullptr);

            QELHMACContext *hmac = nullptr;
            ASSERT_EQ(qelHMACNew(context, algorithm, key.data(), key.size(), &hmac), 0);
            std::size_t fed = 0;
            for (std::size_t piece : {1u, 63u, 64u, 65u, 107u}) {
                ASSERT_EQ(qelHMACUpdate(hmac, message.data() + fed, piece), 0);
                fed += piece;
            }
            Bytes got(d->digestSize);
            ASSERT_EQ(qelHMACFinal(hmac, got.data()), 0);
            EXPECT_EQ(got, Bytes(expected, expected + expectedLength))
                << name << " key length " << keyLength;
            ASSERT_EQ(qelHMACFree(hmac), 0);
        }
    }
}
#endif

TEST_F(HMACTest, ResetStartsAnewWithTheSameKey)
{
    if (!available(QELHashAlgorithm_SHA1))
        GTEST_SKIP() << "SHA-1 not available";
    const Bytes key = text("Jefe");
    QELHMACContext *hmac = nullptr;
    ASSERT_EQ(qelHMACNew(context, QELHashAlgorithm_SHA1, key.data(), key.size(), &hmac), 0);
    Bytes first(20), second(20);
    ASSERT_EQ(qelHMACUpdate(hmac, kJefeData.data(), kJefeData.size()), 0);
    ASSERT_EQ(qelHMACFinal(hmac, first.data()), 0);
    ASSERT_EQ(qelHMACReset(hmac), 0);
    ASSERT_EQ(qelHMACUpdate(hmac, kJefeData.data(), 0), 0); // length 0 changes nothing
    ASSERT_EQ(qelHMACUpdate(hmac, kJefeData.data(), kJefeData.size()), 0);
    ASSERT_EQ(qelHMACFinal(hmac, second.data()), 0);
    EXPECT_EQ(first, fromHex("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"));
    EXPECT_EQ(second, first);
    EXPECT_EQ(qelHMACFree(hmac), 0);
}

TEST_F(HMACTest, RejectsBadArguments)
{
    QELHMACContext *hmac = reinterpret_cast<QELHMACContext *>(0x1);
    const std::uint8_t key[4] = {1, 2, 3, 4};
    EXPECT_EQ(qelHMACNew(context, QELHashAlgorithm_SHA1, key, sizeof key, nullptr), QELError_BadParams);
    EXPECT_EQ(qelHMACNew(context, 4 /* no such hash */, key, sizeof key, &hmac), QELError_BadParams);
    EXPECT_EQ(hmac, nullptr);
    hmac = reinterpret_cast<QELHMACContext *>(0x1);
    EXPECT_EQ(qelHMACNew(nullptr, QELHashAlgorithm_SHA1, key, sizeof key, &hmac), QELError_BadParams);
    EXPECT_EQ(hmac, nullptr);
    EXPECT_EQ(qelHMACNew(context, QELHashAlgorithm_SHA1, nullptr, 5, &hmac), QELError_BadParams);
    EXPECT_EQ(hmac, nullptr);

    std::uint8_t out[64] = {};
    EXPECT_EQ(qelHMACUpdate(nullptr, key, 1), QELError_BadParams);
    EXPECT_EQ(qelHMACFinal(nullptr, out), QELError_BadParams);
    EXPECT_EQ(qelHMACReset(nullptr), QELError_BadParams);
    EXPECT_EQ(qelHMACFree(nullptr), QELError_BadParams);
    // A foreign record (a hash context) is refused by its magic.
    alignas(8) std::uint32_t foreign[16] = {0xABBADABAu};
    auto *fake = reinterpret_cast<QELHMACContext *>(foreign);
    EXPECT_EQ(qelHMACUpdate(fake, key, 1), QELError_BadParams);
    EXPECT_EQ(qelHMACFree(fake), QELError_BadParams);

    if (!available(QELHashAlgorithm_SHA1))
        return;
    ASSERT_EQ(qelHMACNew(context, QELHashAlgorithm_SHA1, key, sizeof key, &hmac), 0);
    EXPECT_EQ(qelHMACUpdate(hmac, nullptr, 3), QELError_BadParams);
    EXPECT_EQ(qelHMACFinal(hmac, nullptr), QELError_BadParams);
    EXPECT_EQ(qelHMACFree(hmac), 0);
}
