// The triple-DES known-answer self-test: its verdict, its memory discipline
// and its stored answers checked against OpenSSL.
#include <gtest/gtest.h>

#include <cstring>

#include "../crypto/cipher_test_util.h"
#include "qelAlgorithms.h"
#include "qelCBCInternal.h"
#include "qelCFBInternal.h"
#include "qelCipherKATInternal.h"
#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelMemoryInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTestHooks.h"

namespace {

using qeltest::Bytes;

const auto *const gEnv = qeltest::addHomeEnvironment("qelcipher", qeltest::HomeEnvironment::SDK::Up);

TEST(CipherKAT, PassesAndLeavesNoAllocation)
{
    EXPECT_EQ(qelCipherSelfTest(), QELError_NoErr);

    qeltest::TestHeap counter;
    QELMemoryMgr *mgr = counter.make();
    EXPECT_EQ(qelCipherSelfTestWithMemoryMgr(mgr), QELError_NoErr);
    EXPECT_EQ(counter.live, 0); // the manager went with the context
    EXPECT_GT(counter.allocations, 3);
}

TEST(CipherKAT, EveryAllocationFailureIsReportedAndCleanedUp)
{
    qeltest::TestHeap probe;
    ASSERT_EQ(qelCipherSelfTestWithMemoryMgr(probe.make()), QELError_NoErr);
    const long total = probe.allocations;
    // Allocation 1 is the manager record itself.
    for (long failAt = 2; failAt <= total; ++failAt) {
        qeltest::TestHeap counter;
        QELMemoryMgr *mgr = counter.make();
        counter.failAt = failAt;
        EXPECT_EQ(qelCipherSelfTestWithMemoryMgr(mgr), QELError_SelfTestFailed) << "fail at " << failAt;
        EXPECT_EQ(counter.live, 0) << "fail at " << failAt;
    }
}

// The run's context owns (and frees) its manager, so the test must not hand
// it the process-wide one.
TEST(CipherKAT, GlobalManagerSurvives)
{
    QELMemoryMgr *global = qelMemMgrGetGlobal();
    ASSERT_NE(global, nullptr);
    ASSERT_EQ(qelCipherSelfTest(), QELError_NoErr);
    ASSERT_EQ(qelCipherSelfTest(), QELError_NoErr);
    EXPECT_EQ(qelMemMgrGetGlobal(), global);
    ASSERT_EQ(qelMemMgrIsValid(global), QELError_NoErr);
    void *p = qelMemAlloc(global, 64, QELMemFlag_Clear);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(qelMemFree(p), QELError_NoErr);
}

TEST(CipherKAT, RunsAsSelfTestKindOne)
{
    EXPECT_EXIT(
        {
            static_cast<void>(qelFIPSEnable());
            qelFIPSSetSelfTestForTesting(QELSelfTest_DSA, [] { return QELStatus{QELError_NoErr}; });
            const bool ok = qelFIPSRunAllSelfTests() == QELError_NoErr &&
                            qelFIPSRunSelfTest(QELSelfTest_Cipher) == QELError_NoErr && qelFIPSGetError() == 0;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

#ifdef QEL_HAVE_OPENSSL
// The self-test compares our triple DES, CBC and CFB with stored answers;
// here the same computations are compared with OpenSSL, so the stored answers
// are the standard ones.
TEST(CipherKAT, StoredAnswersAreOpenSSLs)
{
    Bytes key(24), iv(8), data(64);
    for (int i = 0; i < 24; ++i)
        key[i] = static_cast<std::uint8_t>(3 * i);
    for (int i = 0; i < 8; ++i)
        iv[i] = static_cast<std::uint8_t>(1 + 5 * i);
    for (int i = 0; i < 64; ++i)
        data[i] = static_cast<std::uint8_t>(i);

    QELContext *context = nullptr;
    ASSERT_EQ(qelContextNew(QELSDKVersion, &context), QELError_NoErr);
    QELSymmetricCipher *ecb = nullptr, *forCBC = nullptr, *forCFB = nullptr;
    ASSERT_EQ(qelSymmetricCipherNew(context, QELCipherAlgorithm_3DES, &ecb), QELError_NoErr);
    ASSERT_EQ(qelSymmetricCipherNew(context, QELCipherAlgorithm_3DES, &forCBC), QELError_NoErr);
    ASSERT_EQ(qelSymmetricCipherNew(context, QELCipherAlgorithm_3DES, &forCFB), QELError_NoErr);
    ASSERT_EQ(qelSymmetricCipherSetKey(ecb, key.data()), QELError_NoErr);
    QELCBCContext *cbc = nullptr;
    QELCFBContext *cfb = nullptr;
    ASSERT_EQ(qelCBCCreate(forCBC, &cbc), QELError_NoErr);
    ASSERT_EQ(qelCFBCreate(forCFB, 1, &cfb), QELError_NoErr);
    ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
    ASSERT_EQ(qelCFBInit(cfb, key.data(), iv.data()), QELError_NoErr);

    Bytes e(64), c(64), f(64);
    for (int i = 0; i < 64; i += 8) {
        ASSERT_EQ(qelSymmetricCipherEncryptBlock(ecb, data.data() + i, e.data() + i), QELError_NoErr);
        ASSERT_EQ(qelCBCEncrypt(cbc, data.data() + i, 8, c.data() + i), QELError_NoErr);
        ASSERT_EQ(qelCFBEncrypt(cfb, data.data() + i, 8, f.data() + i), QELError_NoErr);
    }
    Bytes pe, pc, pf;
    ASSERT_TRUE(qeltest::peerCrypt("DES-EDE3-ECB", key, {}, data, true, pe));
    ASSERT_TRUE(qeltest::peerCrypt("DES-EDE3-CBC", key, iv, data, true, pc));
    ASSERT_TRUE(qeltest::peerCrypt("DES-EDE3-CFB", key, iv, data, true, pf));
    EXPECT_EQ(e, pe);
    EXPECT_EQ(c, pc);
    EXPECT_EQ(f, pf);
    EXPECT_EQ(qelCipherSelfTest(), QELError_NoErr);

    static_cast<void>(qelCBCFree(cbc));
    static_cast<void>(qelCFBFree(cfb));
    static_cast<void>(qelSymmetricCipherFree(ecb));
    static_cast<void>(qelContextFree(context));
}
#endif

} // namespace
