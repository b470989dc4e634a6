// The feature tables, and the DSA power-up self-test with its built-in key:
// the public key verifies with OpenSSL, the protected part unlocks with the
// pass phrase and with nothing else, and a FIPS self-test run passes.
#include "pktest_util.h"

#include "qelAlgorithms.h"
#include "qelFIPSInternal.h"
#include "qelFeatures.h"
#include "qelFeaturesInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#ifdef QEL_HAVE_OPENSSL
#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#endif

namespace {

using namespace pktest;

// The built-in key, read back from the data the self-test uses.
#include "qelDSASelfTestKey.inc"

class FeaturesTest : public qeltest::SDKSuite {};

TEST_F(FeaturesTest, CipherRowsAndRefusals)
{
    std::uint32_t count = 0;
    ASSERT_EQ(qelSymmetricCipherCount(&count), QELError_NoErr);
    EXPECT_EQ(count, 8u);
    const char *names[] = {"IDEA", "3DES", "CAST5", "Twofish", "AES128", "AES192", "AES256", "Blowfish"};
    const std::uint32_t ids[] = {1, 2, 3, 10, 7, 8, 9, 4};
    for (std::uint32_t i = 0; i < 8; ++i) {
        QELSymmetricCipherInfo info;
        ASSERT_EQ(qelSymmetricCipherGetInfo(i, &info), QELError_NoErr);
        EXPECT_STREQ(info.shortName, names[i]);
        EXPECT_STREQ(info.longName, names[i]);
        EXPECT_EQ(info.algorithm, ids[i]);
    }
    QELSymmetricCipherInfo info;
    std::memset(&info, 0x77, sizeof info);
    EXPECT_EQ(qelSymmetricCipherGetInfo(8, &info), QELError_BadParams);
    const QELSymmetricCipherInfo zero{};
    EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
    EXPECT_EQ(qelSymmetricCipherCount(nullptr), QELError_BadParams);
}

TEST_F(FeaturesTest, PublicKeyRowsFlagsAndBanner)
{
    std::uint32_t count = 0;
    ASSERT_EQ(qelPkAlgCount(&count), QELError_NoErr);
    EXPECT_EQ(count, 3u);
    struct Row {
        const char *shortName, *longName;
        std::uint32_t id;
        std::uint8_t flags[5];
    };
    const Row rows[] = {{"RSA", "RSA (QEL)", 1, {1, 1, 1, 1, 1}},
                        {"ElGamal", "ElGamal", 16, {1, 1, 0, 0, 1}},
                        {"DSA", "Digital Signature Standard", 17, {0, 0, 1, 1, 1}}};
    for (std::uint32_t i = 0; i < 3; ++i) {
        QELPkAlgInfo info;
        ASSERT_EQ(qelPkAlgGetInfo(i, &info), QELError_NoErr);
        EXPECT_STREQ(info.shortName, rows[i].shortName);
        EXPECT_STREQ(info.longName, rows[i].longName);
        EXPECT_EQ(info.algorithm, rows[i].id);
        const std::uint8_t flags[5] = {info.canEncrypt, info.canDecrypt, info.canSign, info.canVerify, info.available};
        EXPECT_EQ(std::memcmp(flags, rows[i].flags, 5), 0) << i;
    }
    QELPkAlgInfo info;
    EXPECT_EQ(qelPkAlgGetInfo(3, &info), QELError_BadParams);

    std::uint32_t flags = 99;
    EXPECT_EQ(qelFeatureFlags(1, &flags), QELError_NoErr);
    EXPECT_EQ(flags, 0xFu);
    EXPECT_EQ(qelFeatureFlags(2, &flags), QELError_NoErr);
    EXPECT_EQ(flags, 0u);
    flags = 99;
    EXPECT_EQ(qelFeatureFlags(3, &flags), QELError_ItemNotFound);
    EXPECT_EQ(flags, 0u);

    char banner[QEL_FEATURES_BANNER_SIZE];
    ASSERT_EQ(qelFeaturesBanner(banner), QELError_NoErr);
    EXPECT_EQ(std::string(banner).rfind("QELsdk 2.5", 0), 0u);
    EXPECT_LT(std::strlen(banner), sizeof banner);
    EXPECT_EQ(qelFeaturesBanner(nullptr), QELError_BadParams);
    EXPECT_EQ(qelGetSDKAPIVersion(), 0x01000000u);
    EXPECT_EQ(qelGetSDKVersion(), 0x02050000u);
}

TEST_F(FeaturesTest, BuiltInKeyUnlocksOnlyWithItsPassPhrase)
{
    ASSERT_EQ(sizeof kSelfTestPublicKey, 412u);
    ASSERT_EQ(sizeof kSelfTestSecretKey, 457u);
    ASSERT_EQ(std::strlen(kSelfTestPassphrase), 20u);
    EXPECT_EQ(std::memcmp(kSelfTestPublicKey, kSelfTestSecretKey, 412), 0);
    // Usage 255, CAST5, iterated and salted SHA-1.
    EXPECT_EQ(kSelfTestSecretKey[412], 255);
    EXPECT_EQ(kSelfTestSecretKey[413], QELCipherAlgorithm_CAST5);
    EXPECT_EQ(kSelfTestSecretKey[414], 3);
    EXPECT_EQ(kSelfTestSecretKey[415], QELHashAlgorithm_SHA1);

    const Bytes material(kSelfTestSecretKey, kSelfTestSecretKey + sizeof kSelfTestSecretKey);
    SecretKey key = secretFrom(context, 17, material);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->isLocked(key.get()), 1u);
    std::string wrong = kSelfTestPassphrase;
    wrong[19] ^= 1;
    EXPECT_EQ(key->unlock(key.get(), wrong.data(), wrong.size(), 0), 0);
    EXPECT_EQ(key->unlock(key.get(), kSelfTestPassphrase, 20, 0), 1);
    EXPECT_EQ(key->isLocked(key.get()), 0u);
}

#ifdef QEL_HAVE_OPENSSL
// The public key and a self-test signature verify with OpenSSL.
TEST_F(FeaturesTest, BuiltInKeyVerifiesWithOpenSSL)
{
    const Bytes pubMaterial(kSelfTestPublicKey, kSelfTestPublicKey + sizeof kSelfTestPublicKey);
    PublicKey pub = publicFrom(context, 17, pubMaterial);
    ASSERT_NE(pub, nullptr);
    qeltest::BigNum p, q, g, y;
    QELBigNum *values[] = {&p, &q, &g, &y};
    ASSERT_EQ(pub->getParameters(pub.get(), values), QELError_NoErr);
    EXPECT_EQ(QELBigNumOps.qelBigNumBitLength(&p), 1024u);
    EXPECT_EQ(QELBigNumOps.qelBigNumBitLength(&q), 160u);

    auto bn = [](qeltest::BigNum &v) {
        const std::string h = v.hex();
        return bnFrom(qeltest::fromHex(h.size() % 2 ? "0" + h : h));
    };
    BIGNUM *bp = bn(p), *bq = bn(q), *bg = bn(g), *by = bn(y);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, bp);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_Q, bq);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, bg);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, by);
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    EVP_PKEY *pkey = nullptr;
    ASSERT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
    ASSERT_EQ(EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params), 1);
    EVP_PKEY_CTX *check = EVP_PKEY_CTX_new(pkey, nullptr);
    EXPECT_EQ(EVP_PKEY_param_check(check), 1);
    EXPECT_EQ(EVP_PKEY_public_check(check), 1);

    // Sign with the unlocked secret part; OpenSSL verifies the DER form.
    const Bytes material(kSelfTestSecretKey, kSelfTestSecretKey + sizeof kSelfTestSecretKey);
    SecretKey key = secretFrom(context, 17, material);
    ASSERT_EQ(key->unlock(key.get(), kSelfTestPassphrase, 20, 0), 1);
    const Bytes digest(20, 0xA5);
    TestRandom random;
    std::uint8_t sig[64];
    std::size_t len = 0;
    ASSERT_EQ(key->sign(key.get(), nullptr, digest.data(), digest.size(), sig, &len, &random, QELPkFormat_DER), 0);
    EVP_PKEY_CTX *vctx = EVP_PKEY_CTX_new(pkey, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(vctx), 1);
    EXPECT_EQ(EVP_PKEY_verify(vctx, sig, len, digest.data(), digest.size()), 1);
    EVP_PKEY_CTX_free(vctx);
    EVP_PKEY_CTX_free(check);
    EVP_PKEY_free(pkey);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    for (BIGNUM *b : {bp, bq, bg, by})
        BN_free(b);
}
#endif

TEST_F(FeaturesTest, SelfTestPassesAndIsReproducible)
{
    EXPECT_EQ(qelDSASelfTest(), QELError_NoErr);
    EXPECT_EQ(qelDSASelfTest(), QELError_NoErr);
}

// Makes the built-in key once: a 1024-bit DSA key from this SDK's own
// generator, its secret part protected with CAST5 under an iterated and
// salted SHA-1 specifier. Run by hand with --gtest_also_run_disabled_tests
// and paste the output into sdk/pubkey/qelDSASelfTestKey.inc.
TEST_F(FeaturesTest, DISABLED_MakeSelfTestKey)
{
    const char passphrase[] = "Tq7#vLp2!mZx9@Rk4$Wd";
    ASSERT_EQ(std::strlen(passphrase), 20u);
    QELRandomContext *random = qelContextGetRandomContext(context);
    ASSERT_NE(random, nullptr);
    for (;;) {
        QELStatus status = -1;
        SecretKey key(qelPkAlgGenerateKey(context, qelPkAlgFind(17), 1024, 0, 0, 0, random, nullptr, nullptr, nullptr,
                                          nullptr, 0, 1, &status),
                      destroySecret);
        ASSERT_NE(key, nullptr);
        ASSERT_EQ(key->changeProtection(key.get(), nullptr, random, nullptr, 0, 0, passphrase, 20, 3), 0);
        const Bytes secret = exportSecret(key.get());
        PublicKey pub(key->publicObject(key.get()), destroyPublic);
        const Bytes pubBytes = exportPublic(pub.get());
        // Full-size g, y and x give the fixed sizes of the data.
        if (pubBytes.size() != 412 || secret.size() != 457)
            continue;
        auto print = [](const char *name, const Bytes &b) {
            std::printf("constexpr std::uint8_t %s[%zu] = {", name, b.size());
            for (std::size_t i = 0; i < b.size(); ++i)
                std::printf("%s0x%02x,", i % 12 ? " " : "\n    ", b[i]);
            std::printf("\n};\n");
        };
        print("kSelfTestPublicKey", pubBytes);
        print("kSelfTestSecretKey", secret);
        std::printf("constexpr char kSelfTestPassphrase[21] = \"%s\";\n", passphrase);
        break;
    }
}

} // namespace
