// FIPS mode cannot be left once entered, so this file walks the state
// machine in order: first outside FIPS mode, then through every state.
#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelFileSpecInternal.h"
#include "qelMemoryInternal.h"
#include "qelRPCClientInternal.h"
#include "qelSDKInternal.h"
#include "qelSettingsInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

qeltest::HomeEnvironment *const g_env = qeltest::addHomeEnvironment("qelfips");

int g_cipherRuns = 0;
int g_dsaRuns = 0;
QELStatus g_cipherResult = QELError_NoErr;

QELStatus fakeCipherTest()
{
    ++g_cipherRuns;
    return g_cipherResult;
}

QELStatus fakeDSATest()
{
    ++g_dsaRuns;
    return QELError_NoErr;
}

QELStatus newContext(QELContext **context)
{
    return qelContextNew(QELSDKVersion, context);
}

TEST(FIPS, OutsideFIPSModeNothingIsRefused)
{
    ASSERT_EQ(qelFIPSModeEnabled(), 0);
    EXPECT_EQ(qelFIPSRunSelfTest(QELSelfTest_Cipher), QELError_BadParams);
    EXPECT_EQ(qelFIPSRunSelfTest(QELSelfTest_None), QELError_BadParams);
    EXPECT_EQ(qelFIPSRunAllSelfTests(), QELError_BadParams);
    EXPECT_EQ(qelFIPSSelfTestsStarted(), 0);
    qelFIPSLatchError(QELError_SelfTestFailed);
    EXPECT_EQ(qelFIPSGetError(), QELError_NoErr);
    EXPECT_EQ(qelFIPSRecheck(), QELError_NoErr);
    EXPECT_EQ(qelSelfTestNone(), QELError_NoErr);

    ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    EXPECT_EQ(qelAPIGate("test", __LINE__), QELError_NoErr);
    QELContext *context = nullptr;
    ASSERT_EQ(newContext(&context), QELError_NoErr);
    EXPECT_EQ(qelSettingsGetInt(qelContextGetSettings(context), QELSetting_CipherAlgorithm,
                                nullptr, nullptr),
              1);
    static_cast<void>(qelContextFree(context));
    ASSERT_EQ(qelSDKCleanup(), QELError_NoErr);
}

TEST(FIPS, FileSpecUtilitiesCheckThenForward)
{
    ASSERT_EQ(qelFIPSModeEnabled(), 0);
    ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    QELContext *context = nullptr;
    ASSERT_EQ(newContext(&context), QELError_NoErr);
    const std::string original = g_env->dir() + "/a.txt";
    std::ofstream(original) << "data";

    QELFileSpec *spec = reinterpret_cast<QELFileSpec *>(1);
    EXPECT_EQ(qelNewFileSpecFromFullPath(context, nullptr, &spec), QELError_BadParams);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(qelNewFileSpecFromFullPath(nullptr, original.c_str(), &spec), QELError_BadParams);
    ASSERT_EQ(qelNewFileSpecFromFullPath(context, original.c_str(), &spec), QELError_NoErr);

    char *path = nullptr;
    ASSERT_EQ(qelFileSpecGetFullPath(spec, &path), QELError_NoErr);
    EXPECT_EQ(path, original);
    EXPECT_EQ(qelMemFree(path), QELError_NoErr);

    QELFileSpec *copy = nullptr;
    ASSERT_EQ(qelCopyFileSpec(spec, &copy), QELError_NoErr);
    EXPECT_TRUE(qelFileSpecEqual(spec, copy));
    EXPECT_EQ(qelRenameFile(copy, nullptr), QELError_BadParams);
    ASSERT_EQ(qelRenameFile(copy, "b.txt"), QELError_NoErr);
    EXPECT_FALSE(std::filesystem::exists(original));
    EXPECT_TRUE(std::filesystem::exists(g_env->dir() + "/b.txt"));
    EXPECT_EQ(qelDeleteFile(copy), QELError_NoErr);
    EXPECT_FALSE(std::filesystem::exists(g_env->dir() + "/b.txt"));
    EXPECT_EQ(qelFreeFileSpec(copy), QELError_NoErr);

    // Null and foreign specifications, and missing outs.
    std::uint64_t foreign[8] = {};
    auto *fake = reinterpret_cast<QELFileSpec *>(foreign);
    std::uint32_t creator = 5, type = 6;
    for (QELFileSpec *bad : {static_cast<QELFileSpec *>(nullptr), fake}) {
        path = reinterpret_cast<char *>(1);
        EXPECT_EQ(qelFileSpecGetFullPath(bad, &path), QELError_BadParams);
        EXPECT_EQ(path, nullptr);
        copy = reinterpret_cast<QELFileSpec *>(1);
        EXPECT_EQ(qelCopyFileSpec(bad, &copy), QELError_BadParams);
        EXPECT_EQ(copy, nullptr);
        EXPECT_EQ(qelMacBinaryDecodeFile(bad, &copy, &creator, &type), QELError_BadParams);
        EXPECT_EQ(creator, 0u);
        EXPECT_EQ(type, 0u);
        EXPECT_EQ(qelDeleteFile(bad), QELError_BadParams);
        EXPECT_EQ(qelRenameFile(bad, "x"), QELError_BadParams);
        EXPECT_EQ(qelFreeFileSpec(bad), QELError_BadParams);
    }
    EXPECT_EQ(qelFileSpecGetFullPath(spec, nullptr), QELError_BadParams);
    EXPECT_EQ(qelCopyFileSpec(spec, nullptr), QELError_BadParams);
    EXPECT_EQ(qelMacBinaryDecodeFile(spec, nullptr, nullptr, nullptr), QELError_BadParams);

    EXPECT_EQ(qelFreeFileSpec(spec), QELError_NoErr);
    static_cast<void>(qelContextFree(context));
    ASSERT_EQ(qelSDKCleanup(), QELError_NoErr);
}

TEST(FIPS, GuardFollowsTheSelfTestStates)
{
    qelFIPSSetSelfTestForTesting(QELSelfTest_Cipher, fakeCipherTest);
    qelFIPSSetSelfTestForTesting(QELSelfTest_DSA, fakeDSATest);
    ASSERT_EQ(qelFIPSEnable(), QELError_NoErr);
    EXPECT_EQ(qelFIPSModeEnabled(), 1);

    // Before start-up the guard lets calls through.
    EXPECT_EQ(qelAPIGate("test", __LINE__), QELError_NoErr);

    // Started, tests not run: every guarded call is refused.
    ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    EXPECT_EQ(qelAPIGate("test", __LINE__), QELError_SelfTestsNotExecuted);
    QELContext *context = reinterpret_cast<QELContext *>(1);
    EXPECT_EQ(newContext(&context), QELError_SelfTestsNotExecuted);
    EXPECT_EQ(context, nullptr);
    QELFileSpec *spec = reinterpret_cast<QELFileSpec *>(1);
    EXPECT_EQ(qelNewFileSpecFromFullPath(nullptr, "/tmp", &spec), QELError_SelfTestsNotExecuted);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(qelFIPSRunSelfTest(QELSelfTest_None), QELError_SelfTestsNotExecuted);
    EXPECT_EQ(qelFIPSGetError(), QELError_NoErr);

    // The run passes: calls go through, and new contexts default to triple DES.
    EXPECT_EQ(qelFIPSRunAllSelfTests(), QELError_NoErr);
    EXPECT_EQ(qelFIPSSelfTestsStarted(), 1);
    EXPECT_EQ(g_cipherRuns, 1);
    EXPECT_EQ(g_dsaRuns, 1);
    EXPECT_EQ(qelAPIGate("test", __LINE__), QELError_NoErr);
    ASSERT_EQ(newContext(&context), QELError_NoErr);
    EXPECT_EQ(qelSettingsGetInt(qelContextGetSettings(context), QELSetting_CipherAlgorithm,
                                nullptr, nullptr),
              2);

    // An unknown kind is latched like a failure, and everything is refused.
    EXPECT_EQ(qelFIPSRunSelfTest(7), QELError_BadParams);
    EXPECT_EQ(qelFIPSGetError(), QELError_BadParams);
    EXPECT_EQ(qelAPIGate("test", __LINE__), QELError_BadParams);
    EXPECT_EQ(qelContextSetUserValue(context, nullptr), QELError_BadParams);
    EXPECT_EQ(qelContextGetMemoryMgr(context), nullptr);
    EXPECT_EQ(qelFIPSRunSelfTest(QELSelfTest_Cipher), QELError_BadParams);
    EXPECT_EQ(g_cipherRuns, 1);
    // The first failure stays latched.
    qelFIPSLatchError(QELError_SelfTestFailed);
    EXPECT_EQ(qelFIPSGetError(), QELError_BadParams);

    // A recheck clears it and runs the tests again.
    EXPECT_EQ(qelFIPSRecheck(), QELError_NoErr);
    EXPECT_EQ(g_cipherRuns, 2);
    EXPECT_EQ(g_dsaRuns, 2);
    EXPECT_EQ(qelAPIGate("test", __LINE__), QELError_NoErr);
    EXPECT_EQ(qelFIPSRecheck(), QELError_NoErr); // nothing latched: nothing re-run
    EXPECT_EQ(g_cipherRuns, 2);

    // A failing cipher test stops the run before the DSA test, and is
    // answered by the guard from then on.
    g_cipherResult = QELError_SelfTestFailed;
    EXPECT_EQ(qelFIPSRunAllSelfTests(), QELError_SelfTestFailed);
    EXPECT_EQ(g_cipherRuns, 3);
    EXPECT_EQ(g_dsaRuns, 2);
    EXPECT_EQ(qelFIPSRunAllSelfTests(), QELError_SelfTestFailed);
    EXPECT_EQ(g_cipherRuns, 3);
    EXPECT_EQ(qelContextFree(context), QELError_SelfTestFailed);
    // Still failing on a recheck: the new failure is latched again.
    EXPECT_EQ(qelFIPSRecheck(), QELError_SelfTestFailed);
    EXPECT_EQ(g_cipherRuns, 4);

    g_cipherResult = QELError_NoErr;
    EXPECT_EQ(qelFIPSRecheck(), QELError_NoErr);
    EXPECT_EQ(qelContextFree(context), QELError_NoErr);
    ASSERT_EQ(qelSDKCleanup(), QELError_NoErr);
    qelFIPSSetSelfTestForTesting(QELSelfTest_Cipher, nullptr);
    qelFIPSSetSelfTestForTesting(QELSelfTest_DSA, nullptr);
}

} // namespace
