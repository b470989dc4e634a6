#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelKeyGenInternal.h"
#include "qelKeyGenParamsInternal.h"
#include "qelSettingsInternal.h"
#include "qelTestHooks.h"
#include "qelOptionListInternal.h"
#include "qelPkAlgInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <functional>
#include <vector>

namespace {

class KeyGenOptionsTest : public qeltest::SDKSuite {
protected:
    void TearDown() override { reset(); }
    void reset()
    {
        qelOptionListFree(list_);
        list_ = nullptr;
    }

public:

    // Options whose values point at records kept by the fixture.
    KeyGenOptionsTest &params(std::uint32_t algorithm, std::uint32_t bits, std::uint32_t third = 0)
    {
        std::array<std::uint32_t, 3> &r = records_.emplace_back(std::array<std::uint32_t, 3>{algorithm, bits, third});
        return add(QELOption_KeyGenParams, reinterpret_cast<std::uintptr_t>(r.data()), sizeof r);
    }
    KeyGenOptionsTest &add(std::int32_t kind, std::uint64_t value, std::uint64_t size = 0)
    {
        if (list_ == nullptr)
            list_ = qelOptionListNew(context, false);
        const QELOptionItem item{kind, QELOptionFlag_Constructed, value, size, nullptr, nullptr};
        EXPECT_EQ(qelOptionListAppendItem(list_, &item), QELError_NoErr);
        return *this;
    }
    std::int32_t needed()
    {
        if (list_ == nullptr)
            list_ = qelOptionListNew(context, false);
        return qelKeyGenEntropyNeededWithOptions(context, list_);
    }

    QELOptionList *list_ = nullptr;
    std::deque<std::array<std::uint32_t, 3>> records_;
};

TEST_F(KeyGenOptionsTest, EstimateFollowsTheOptions)
{
    const std::int32_t oldFast =
        static_cast<std::int32_t>(qelPkAlgKeyGenEntropyNeeded(qelPkAlgFind(1), 1024, 1, 1, nullptr));
    EXPECT_LT(oldFast, 1024 + 128);
    struct Case {
        const char *what;
        std::function<void(KeyGenOptionsTest &)> build;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"key flags make a version-4 RSA key", [](auto &t) { t.params(1, 2048).add(QELOption_KeyFlags, 3); },
         2048 + 128},
        {"old-format RSA, fast generation", [](auto &t) { t.params(1, 1024).add(QELOption_KeyGenFlag, 1); },
         oldFast},
        {"old-format RSA, slow generation", [](auto &t) { t.params(1, 1024).add(QELOption_KeyGenFlag, 0); },
         1024 + 128},
        {"DSA of at most 1024 bits", [](auto &t) { t.params(17, 1024); }, 672},
        {"no entropy check", [](auto &t) { t.params(17, 1024).add(QELOption_NoEntropyCheck, 1); }, 0},
        {"unknown algorithm", [](auto &t) { t.params(99, 1024); }, -1},
        {"no parameters", [](auto &t) { t.add(QELOption_KeyFlags, 1); }, -1},
        {"a kind of another operation", [](auto &t) { t.params(17, 1024).add(QELOption_UserID, 0); },
         QELError_BadParams},
    };
    for (const Case &c : cases) {
        c.build(*this);
        EXPECT_EQ(needed(), c.expected) << c.what;
        reset();
    }
}

} // namespace

// ---- key pairs -----------------------------------------------------------------

namespace {

class KeyPairTest : public qeltest::SDKHomeTest {
protected:
    KeyPairTest() : SDKHomeTest("qelkeypair") {}
    void TearDown() override
    {
        if (key_ != nullptr)
            static_cast<void>(key_->destroy(key_));
        qelKeyGenParamsFree(params_);
        SDKHomeTest::TearDown();
    }
    QELKeyGenRequest request(std::uint8_t algorithm, std::uint32_t bits, bool primary = true)
    {
        QELKeyGenRequest r{};
        r.context = context_;
        r.algorithm = algorithm;
        r.bits = bits;
        r.primaryKey = primary;
        return r;
    }
    QELStatus make(const QELKeyGenRequest &r) { return qelKeyGenMakeKeyPair(r, &key_, &params_); }

    QELSecretKeyObject *key_ = nullptr;
    QELKeyGenParams *params_ = nullptr;
};

TEST_F(KeyPairTest, ProtectsWithTheFirstPreferredCipherThisBuildHas)
{
    const std::uint32_t ciphers[] = {200, QELCipherAlgorithm_AES256, QELCipherAlgorithm_CAST5};
    const std::uint32_t zip[] = {2, 1};
    QELKeyGenRequest r = request(QELPublicKeyAlgorithm_RSA, 1024);
    r.passphrase = "correct horse";
    r.passphraseLength = 13;
    r.keyFlagsPresent = true;
    r.keyFlags = 0x03;
    r.preferredCiphers = ciphers;
    r.preferredCiphersBytes = sizeof ciphers;
    r.preferredCompression = zip;
    r.preferredCompressionBytes = sizeof zip;
    r.validityDays = 30;
    ASSERT_EQ(make(r), QELError_NoErr);
    ASSERT_NE(key_, nullptr);
    ASSERT_NE(params_, nullptr);

    std::uint32_t cipher = 0, s2k = 99;
    ASSERT_EQ(key_->protectionCipher(key_, &cipher, nullptr), QELError_NoErr);
    EXPECT_EQ(cipher, QELCipherAlgorithm_AES256);
    ASSERT_EQ(key_->protectionS2KType(key_, &s2k), QELError_NoErr);
    EXPECT_EQ(s2k, 3u) << "a version 4 RSA key is protected iterated and salted";
    ASSERT_EQ(key_->lock(key_), QELError_NoErr);
    EXPECT_EQ(key_->unlock(key_, "wrong", 5, 0), 0);
    EXPECT_EQ(key_->unlock(key_, "correct horse", 13, 0), 1);

    EXPECT_EQ(qelKeyGenParamsVersion(params_), 4);
    EXPECT_EQ(qelKeyGenParamsAlgorithm(params_), QELPublicKeyAlgorithm_RSA);
    EXPECT_EQ(qelKeyGenParamsValidityDays(params_), 30);
    std::uint8_t present = 0;
    EXPECT_EQ(qelKeyGenParamsKeyFlags(params_, &present), 0x03u);
    EXPECT_EQ(present, 1);
    std::uint64_t length = 0;
    const std::uint8_t *sym = qelKeyGenParamsPrefSymmetric(params_, &length);
    ASSERT_EQ(length, 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(sym, sym + 3), (std::vector<std::uint8_t>{200, 9, 3}));
    const std::uint8_t *compression = qelKeyGenParamsPrefCompression(params_, &length);
    ASSERT_EQ(length, 2u);
    EXPECT_EQ(compression[0], 2);
}

TEST_F(KeyPairTest, TheLegacyProtectionOnlyWhenAskedFor)
{
    // A version 4 RSA key without preferences of its own: iterated and
    // salted under CAST5, the first cipher of the default preferences; with
    // version 3 asked for, the simple form under the configured cipher.
    for (const bool legacy : {false, true}) {
        SCOPED_TRACE(legacy);
        if (key_ != nullptr)
            static_cast<void>(key_->destroy(key_));
        qelKeyGenParamsFree(params_);
        key_ = nullptr;
        params_ = nullptr;
        if (legacy) {
            ASSERT_EQ(qelSettingsSetInt(qelContextGetSettings(context_), QELSetting_PacketVersion, 3,
                                        QELSettingPriority_Job),
                      QELError_NoErr);
        }
        QELKeyGenRequest r = request(QELPublicKeyAlgorithm_RSA, 1024);
        r.passphrase = "pass";
        r.passphraseLength = 4;
        r.keyFlagsPresent = true;
        r.keyFlags = 0x03;
        ASSERT_EQ(make(r), QELError_NoErr);
        std::uint32_t cipher = 0, s2k = 99;
        ASSERT_EQ(key_->protectionS2KType(key_, &s2k), QELError_NoErr);
        EXPECT_EQ(s2k, legacy ? 0u : 3u);
        ASSERT_EQ(key_->protectionCipher(key_, &cipher, nullptr), QELError_NoErr);
        if (!legacy) {
            EXPECT_EQ(cipher, QELCipherAlgorithm_CAST5);
        }
    }
}

TEST_F(KeyPairTest, SubkeysTakeTheMastersPreferencesAndAnIteratedSpecifier)
{
    const std::uint8_t masterPrefs[] = {250, QELCipherAlgorithm_Twofish};
    QELKeyGenRequest r = request(QELPublicKeyAlgorithm_ElGamal, 1024, false);
    r.passphrase = "pw";
    r.passphraseLength = 2;
    r.masterPreferredCiphers = masterPrefs;
    r.masterPreferredCiphersLength = sizeof masterPrefs;
    r.fastGeneration = 1;
    ASSERT_EQ(make(r), QELError_NoErr);
    std::uint32_t cipher = 0, s2k = 0;
    ASSERT_EQ(key_->protectionCipher(key_, &cipher, nullptr), QELError_NoErr);
    EXPECT_EQ(cipher, QELCipherAlgorithm_Twofish);
    ASSERT_EQ(key_->protectionS2KType(key_, &s2k), QELError_NoErr);
    EXPECT_EQ(s2k, 3u);
    std::uint64_t length = 9;
    EXPECT_EQ(qelKeyGenParamsPrefSymmetric(params_, &length), nullptr) << "a subkey carries no preferences";
    EXPECT_EQ(qelKeyGenParamsVersion(params_), 4);
}

TEST_F(KeyPairTest, OldFormatRSAAndTheTimeOffset)
{
    ASSERT_EQ(qelSettingsSetInt(qelContextGetSettings(context_), QELSetting_TimeOffsetHours, 2,
                                QELSettingPriority_Job),
              QELError_NoErr);
    QELKeyGenRequest r = request(QELPublicKeyAlgorithm_RSA, 1024);
    r.creationGiven = true;
    r.creation = 1'500'000'000;
    ASSERT_EQ(make(r), QELError_NoErr);
    EXPECT_EQ(qelKeyGenParamsVersion(params_), 3) << "RSA without key flags";
    EXPECT_EQ(qelKeyGenParamsCreation(params_), 1'500'000'000u + 7200);
    EXPECT_EQ(key_->isLocked(key_), 0u) << "no passphrase: unprotected";
}

TEST_F(KeyPairTest, RefusalsHandOutNothing)
{
    auto abort = [](void *, std::int32_t) -> std::int32_t { return -4242; };
    QELKeyGenRequest aborted = request(QELPublicKeyAlgorithm_RSA, 1024);
    aborted.progress = abort;
    QELKeyGenRequest huge = request(QELPublicKeyAlgorithm_RSA, 4097);
    huge.keyFlagsPresent = true;
    struct {
        const char *what;
        QELKeyGenRequest request;
        QELStatus expected;
    } const cases[] = {
        {"DSA cannot encrypt for a subkey", request(QELPublicKeyAlgorithm_DSA, 1024, false), QELError_BadParams},
        {"ElGamal cannot sign for a key", request(QELPublicKeyAlgorithm_ElGamal, 1024), QELError_BadParams},
        {"unknown algorithm", request(99, 1024), QELError_BadParams},
        {"the caller's abort stays its own", aborted, -4242},
        {"a size the key objects do not load", huge, QELError_KeyCheckFailed},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(make(c.request), c.expected) << c.what;
        EXPECT_EQ(key_, nullptr) << c.what;
        EXPECT_EQ(params_, nullptr) << c.what;
    }
}

TEST_F(KeyPairTest, TooLittleEntropyIsRefusedBeforeGeneration)
{
    qelRandomPoolClearAllForTesting();
    QELKeyGenRequest r = request(QELPublicKeyAlgorithm_DSA, 1024);
    r.entropyCheck = true;
    r.progress = [](void *, std::int32_t) -> std::int32_t {
        ADD_FAILURE() << "generation must not start";
        return -1;
    };
    EXPECT_EQ(make(r), QELError_OutOfEntropy);
    EXPECT_EQ(key_, nullptr);
}

} // namespace
