// A whole FIPS-mode self-test run with the real cipher and DSA tests, and
// what FIPS mode changes for secret keys. FIPS mode stays on for the rest of
// the process, so this binary holds nothing else.
#include "pktest_util.h"

#include "qelFIPSInternal.h"
#include "qelFeaturesInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

namespace {

using namespace pktest;

#include "qelDSASelfTestKey.inc"

TEST(FIPSSelfTest, FullRunPassesAndUnprotectedKeysStayLocked)
{
    qeltest::TempDir home("qelfips");
    home.becomeHome();
    ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    ASSERT_EQ(qelFIPSEnable(), QELError_NoErr);
    EXPECT_EQ(qelFIPSRunAllSelfTests(), QELError_NoErr);
    EXPECT_EQ(qelDSASelfTest(), QELError_NoErr);
    EXPECT_EQ(qelAPIGate("test", __LINE__), QELError_NoErr);

    QELContext *context = nullptr;
    ASSERT_EQ(qelContextNew(QELSDKVersion, &context), QELError_NoErr);
    // The built-in key, unprotected: locked in FIPS mode until a passphrase
    // is given, and no passphrase unlocks unprotected material.
    SecretKey key = secretFrom(context, 17, Bytes(kSelfTestSecretKey, kSelfTestSecretKey + sizeof kSelfTestSecretKey));
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->unlock(key.get(), kSelfTestPassphrase, 20, 0), 1);
    TestRandom random;
    ASSERT_EQ(key->changeProtection(key.get(), nullptr, &random, nullptr, 0, 0, nullptr, 0, 0), 0);
    SecretKey open = secretFrom(context, 17, exportSecret(key.get()));
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->isLocked(open.get()), 1u);
    EXPECT_EQ(open->unlock(open.get(), nullptr, 0, 0), 0);
    EXPECT_EQ(open->unlock(open.get(), "x", 1, 0), 0);
    key.reset();
    open.reset();
    EXPECT_EQ(qelContextFree(context), QELError_NoErr);
    EXPECT_EQ(qelSDKCleanup(), QELError_NoErr);
}

} // namespace
