// The cipher descriptor list, the preferred-cipher rule and the keyed
// symmetric cipher object.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "cipher_test_util.h"
#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelSettingsInternal.h"
#include "qelSymmetricCipherInternal.h"

namespace {

using qeltest::Bytes;

const auto *const gEnv = qeltest::addHomeEnvironment("qelcipher", qeltest::HomeEnvironment::SDK::Up);

struct Row {
    const char *name;
    std::int32_t id;
    std::size_t block, key, context, alignment;
    bool encrypt, wash;
};

constexpr Row kRows[] = {
    {"IDEA", 1, 8, 16, 105, 2, true, true},
    {"Twofish256", 10, 16, 32, 8704, 4, true, false},
    {"BadTwofish256", 102, 16, 32, 8704, 4, true, false},
    {"3DES", 2, 8, 24, 409, 4, true, true},
    {"CAST5", 3, 8, 16, 128, 4, true, true},
    {"AES128", 7, 16, 16, 181, 4, true, false},
    {"AES192", 8, 16, 24, 213, 4, true, false},
    {"AES256", 9, 16, 32, 245, 4, true, false},
    {"Blowfish", 4, 8, 16, 4240, 4, true, false},
    {"RC2_40", 100, 8, 5, 128, 4, false, false},
    {"RC2_128", 101, 8, 16, 128, 4, true, false},
};

TEST(CipherDescriptors, ListMatchesTheTable)
{
    EXPECT_EQ(qelCipherDescriptorCount(), std::size(kRows));
    for (const Row &r : kRows) {
        const QELCipherDescriptor *d = qelCipherDescriptorFind(r.id);
        ASSERT_NE(d, nullptr) << r.name;
        EXPECT_STREQ(d->name, r.name);
        EXPECT_EQ(d->algorithm, r.id);
        EXPECT_EQ(d->blockSize, r.block) << r.name;
        EXPECT_EQ(d->keySize, r.key) << r.name;
        EXPECT_EQ(d->contextSize, r.context) << r.name;
        EXPECT_EQ(d->contextAlignment, r.alignment) << r.name;
        EXPECT_NE(d->keySchedule, nullptr) << r.name;
        EXPECT_EQ(d->encrypt != nullptr, r.encrypt) << r.name;
        EXPECT_NE(d->decrypt, nullptr) << r.name;
        EXPECT_EQ(d->wash != nullptr, r.wash) << r.name;
        EXPECT_EQ(d->reserved[0], nullptr);
        EXPECT_EQ(d->reserved[1], nullptr);
    }
    for (std::int32_t id : {0, 5, 6, 11, 103, -1})
        EXPECT_EQ(qelCipherDescriptorFind(id), nullptr) << id;
}

TEST(CipherDescriptors, SharedOperations)
{
    auto d = [](std::int32_t id) { return qelCipherDescriptorFind(id); };
    EXPECT_EQ(d(7)->encrypt, d(9)->encrypt);
    EXPECT_EQ(d(7)->decrypt, d(8)->decrypt);
    EXPECT_NE(d(7)->keySchedule, d(9)->keySchedule);
    EXPECT_EQ(d(10)->encrypt, d(102)->encrypt);
    EXPECT_NE(d(10)->keySchedule, d(102)->keySchedule);
    EXPECT_EQ(d(100)->decrypt, d(101)->decrypt);
}

class ContextTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override { static_cast<void>(qelContextFree(context_)); }
    QELContext *context_ = nullptr;
};

using PreferredCipher = ContextTest;

TEST_F(PreferredCipher, SettingCountsOnlyAbovePriority14)
{
    QELSettings *settings = qelContextGetSettings(context_);
    EXPECT_STREQ(qelPreferredCipherDescriptorOrIDEA(settings)->name, "IDEA");
    EXPECT_STREQ(qelPreferredCipherDescriptorOrCAST5(settings)->name, "CAST5");

    ASSERT_EQ(qelSettingsSetInt(settings, QELSetting_CipherAlgorithm, 9, 14), QELError_NoErr);
    EXPECT_STREQ(qelPreferredCipherDescriptorOrIDEA(settings)->name, "IDEA");
    EXPECT_STREQ(qelPreferredCipherDescriptorOrCAST5(settings)->name, "CAST5");

    ASSERT_EQ(qelSettingsSetInt(settings, QELSetting_CipherAlgorithm, 9, 25), QELError_NoErr);
    EXPECT_STREQ(qelPreferredCipherDescriptorOrIDEA(settings)->name, "AES256");
    EXPECT_STREQ(qelPreferredCipherDescriptorOrCAST5(settings)->name, "AES256");

    // An id without a descriptor falls back.
    ASSERT_EQ(qelSettingsSetInt(settings, QELSetting_CipherAlgorithm, 6, 25), QELError_NoErr);
    EXPECT_STREQ(qelPreferredCipherDescriptorOrIDEA(settings)->name, "IDEA");
    EXPECT_STREQ(qelPreferredCipherDescriptorOrCAST5(settings)->name, "CAST5");

    EXPECT_STREQ(qelPreferredCipherDescriptorOrCAST5(nullptr)->name, "CAST5");
}

// FIPS mode never ends in a process, so it is tried in a child.
TEST_F(PreferredCipher, FIPSModeChoosesTripleDES)
{
    QELSettings *settings = qelContextGetSettings(context_);
    ASSERT_EQ(qelSettingsSetInt(settings, QELSetting_CipherAlgorithm, 9, 25), QELError_NoErr);
    EXPECT_EXIT(
        {
            static_cast<void>(qelFIPSEnable());
            const bool ok = std::strcmp(qelPreferredCipherDescriptorOrIDEA(settings)->name, "3DES") == 0 &&
                            std::strcmp(qelPreferredCipherDescriptorOrCAST5(settings)->name, "3DES") == 0;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

using CipherObject = ContextTest;

const std::uint8_t kCast5Key[16] = {0x01, 0x23, 0x45, 0x67, 0x12, 0x34, 0x56, 0x78,
                                    0x23, 0x45, 0x67, 0x89, 0x34, 0x56, 0x78, 0x9A};
const std::uint8_t kCast5Plain[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
const std::uint8_t kCast5Cipher[8] = {0x23, 0x8B, 0x4F, 0xE5, 0x84, 0x7E, 0x44, 0xB2};

TEST_F(CipherObject, KeyedLifecycle)
{
    QELSymmetricCipher *c = nullptr;
    ASSERT_EQ(qelSymmetricCipherNew(context_, QELCipherAlgorithm_CAST5, &c), QELError_NoErr);
    ASSERT_TRUE(qelSymmetricCipherIsValid(c));
    std::uint8_t out[8];
    EXPECT_EQ(qelSymmetricCipherEncryptBlock(c, kCast5Plain, out), QELError_NotInitialized);
    EXPECT_EQ(qelSymmetricCipherDecryptBlock(c, kCast5Plain, out), QELError_NotInitialized);

    ASSERT_EQ(qelSymmetricCipherSetKey(c, kCast5Key), QELError_NoErr);
    ASSERT_EQ(qelSymmetricCipherEncryptBlock(c, kCast5Plain, out), QELError_NoErr);
    EXPECT_EQ(std::memcmp(out, kCast5Cipher, 8), 0);
    ASSERT_EQ(qelSymmetricCipherDecryptBlock(c, out, out), QELError_NoErr);
    EXPECT_EQ(std::memcmp(out, kCast5Plain, 8), 0);

    ASSERT_EQ(qelSymmetricCipherClearKey(c), QELError_NoErr);
    EXPECT_EQ(qelSymmetricCipherEncryptBlock(c, kCast5Plain, out), QELError_NotInitialized);
    const std::vector<std::uint8_t> zeros(c->descriptor->contextSize, 0);
    EXPECT_EQ(std::memcmp(c->context, zeros.data(), zeros.size()), 0);

    // Washing keys an unkeyed cipher.
    ASSERT_EQ(qelSymmetricCipherWash(c, "seed", 4), QELError_NoErr);
    EXPECT_EQ(c->keyed, 1);
    EXPECT_EQ(qelSymmetricCipherEncryptBlock(c, kCast5Plain, out), QELError_NoErr);
    EXPECT_EQ(qelSymmetricCipherFree(c), QELError_NoErr);
}

TEST_F(CipherObject, CopyIsIndependent)
{
    QELSymmetricCipher *c = nullptr, *copy = nullptr;
    ASSERT_EQ(qelSymmetricCipherNew(context_, QELCipherAlgorithm_CAST5, &c), QELError_NoErr);
    ASSERT_EQ(qelSymmetricCipherSetKey(c, kCast5Key), QELError_NoErr);
    ASSERT_EQ(qelSymmetricCipherCopy(c, &copy), QELError_NoErr);
    EXPECT_NE(copy->context, c->context);
    ASSERT_EQ(qelSymmetricCipherFree(c), QELError_NoErr);
    std::uint8_t out[8];
    ASSERT_EQ(qelSymmetricCipherEncryptBlock(copy, kCast5Plain, out), QELError_NoErr);
    EXPECT_EQ(std::memcmp(out, kCast5Cipher, 8), 0);
    EXPECT_EQ(qelSymmetricCipherFree(copy), QELError_NoErr);
}

TEST_F(CipherObject, GetSizes)
{
    QELSymmetricCipher *c = nullptr;
    ASSERT_EQ(qelSymmetricCipherNew(context_, QELCipherAlgorithm_AES128, &c), QELError_NoErr);
    std::size_t block = 99, key = 99;
    EXPECT_EQ(qelSymmetricCipherGetSizes(c, nullptr, &block), QELError_NoErr);
    EXPECT_EQ(block, 16u);
    EXPECT_EQ(qelSymmetricCipherGetSizes(c, &key, nullptr), QELError_NoErr);
    EXPECT_EQ(key, 16u);
    EXPECT_EQ(qelSymmetricCipherGetSizes(c, nullptr, nullptr), QELError_BadParams);
    block = key = 99;
    EXPECT_EQ(qelSymmetricCipherGetSizes(nullptr, &key, &block), QELError_BadParams);
    EXPECT_EQ(block, 0u);
    EXPECT_EQ(key, 0u);
    static_cast<void>(qelSymmetricCipherFree(c));
}

TEST_F(CipherObject, BadArgumentsAreRefused)
{
    QELSymmetricCipher *c = reinterpret_cast<QELSymmetricCipher *>(0x1);
    EXPECT_EQ(qelSymmetricCipherNew(context_, 5, &c), QELError_BadParams);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(qelSymmetricCipherNew(nullptr, 3, &c), QELError_BadParams);
    EXPECT_EQ(qelSymmetricCipherNew(context_, 3, nullptr), QELError_BadParams);

    ASSERT_EQ(qelSymmetricCipherNew(context_, QELCipherAlgorithm_CAST5, &c), QELError_NoErr);
    std::uint8_t block[8] = {};
    EXPECT_EQ(qelSymmetricCipherSetKey(c, nullptr), QELError_BadParams);
    EXPECT_EQ(qelSymmetricCipherWash(c, nullptr, 0), QELError_BadParams);
    EXPECT_EQ(qelSymmetricCipherEncryptBlock(c, nullptr, block), QELError_BadParams);
    EXPECT_EQ(qelSymmetricCipherDecryptBlock(c, block, nullptr), QELError_BadParams);
    EXPECT_EQ(qelSymmetricCipherCopy(c, nullptr), QELError_BadParams);

    // A foreign record (wrong magic) is refused everywhere.
    std::uint32_t foreign[16] = {0x12345678u};
    auto *f = reinterpret_cast<QELSymmetricCipher *>(foreign);
    QELSymmetricCipher *copy = c;
    EXPECT_FALSE(qelSymmetricCipherIsValid(f));
    EXPECT_FALSE(qelSymmetricCipherIsValid(nullptr));
    EXPECT_EQ(qelSymmetricCipherCopy(f, &copy), QELError_BadParams);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(qelSymmetricCipherSetKey(f, kCast5Key), QELError_BadParams);
    EXPECT_EQ(qelSymmetricCipherClearKey(f), QELError_BadParams);
    EXPECT_EQ(qelSymmetricCipherEncryptBlock(f, block, block), QELError_BadParams);
    EXPECT_EQ(qelSymmetricCipherFree(f), QELError_BadParams);
    EXPECT_EQ(qelSymmetricCipherFree(nullptr), QELError_BadParams);
    static_cast<void>(qelSymmetricCipherFree(c));
}

// Missing descriptor slots answer a status instead of being called.
TEST_F(CipherObject, MissingOperationsAnswerFeatureNotAvailable)
{
    QELSymmetricCipher *rc2 = nullptr, *aes = nullptr;
    ASSERT_EQ(qelSymmetricCipherNew(context_, QELCipherAlgorithm_RC2_40, &rc2), QELError_NoErr);
    const std::uint8_t key[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(qelSymmetricCipherSetKey(rc2, key), QELError_NoErr);
    std::uint8_t block[16] = {};
    EXPECT_EQ(qelSymmetricCipherEncryptBlock(rc2, block, block), QELError_FeatureNotAvailable);
    EXPECT_EQ(qelSymmetricCipherDecryptBlock(rc2, block, block), QELError_NoErr);

    ASSERT_EQ(qelSymmetricCipherNew(context_, QELCipherAlgorithm_AES128, &aes), QELError_NoErr);
    EXPECT_EQ(qelSymmetricCipherWash(aes, "x", 1), QELError_FeatureNotAvailable);
    EXPECT_EQ(aes->keyed, 0);
    static_cast<void>(qelSymmetricCipherFree(rc2));
    static_cast<void>(qelSymmetricCipherFree(aes));
}

TEST(CipherObjectMemory, AllocationFailuresLeaveNothingBehind)
{
    qeltest::TestHeap counter;
    QELMemoryMgr *mgr = counter.make();
    ASSERT_NE(mgr, nullptr);
    const long base = counter.live; // the manager record itself
    for (long failAt : {1, 2}) {
        counter.allocations = 0;
        counter.failAt = failAt;
        QELSymmetricCipher *c = reinterpret_cast<QELSymmetricCipher *>(0x1);
        EXPECT_EQ(qelSymmetricCipherCreate(mgr, QELCipherAlgorithm_Blowfish, &c), QELError_OutOfMemory);
        EXPECT_EQ(c, nullptr);
        EXPECT_EQ(counter.live, base) << "fail at " << failAt;
    }
    counter.failAt = 0;
    QELSymmetricCipher *c = nullptr;
    ASSERT_EQ(qelSymmetricCipherCreate(mgr, QELCipherAlgorithm_Blowfish, &c), QELError_NoErr);
    for (long failAt : {1, 2}) {
        counter.allocations = 0;
        counter.failAt = failAt;
        QELSymmetricCipher *copy = reinterpret_cast<QELSymmetricCipher *>(0x1);
        EXPECT_EQ(qelSymmetricCipherCopy(c, &copy), QELError_OutOfMemory);
        EXPECT_EQ(copy, nullptr);
        EXPECT_EQ(counter.live, base + 2);
    }
    counter.failAt = 0;
    QELSymmetricCipher *unknown = reinterpret_cast<QELSymmetricCipher *>(0x1);
    EXPECT_EQ(qelSymmetricCipherCreate(mgr, 5, &unknown), QELError_BadParams);
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(counter.live, base + 2);
    EXPECT_EQ(qelSymmetricCipherFree(c), QELError_NoErr);
    EXPECT_EQ(counter.live, base);
    static_cast<void>(qelMemMgrFree(mgr));
    EXPECT_EQ(counter.live, 0);
}

} // namespace
