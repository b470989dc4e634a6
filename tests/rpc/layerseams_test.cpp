// The crypto and key layers reach the service through tables that the
// service layer fills at start-up. A program that never starts the SDK must
// still find the pool and the token configuration in process, and an entry
// that only means something through the service must answer with a status
// instead of calling through a null pointer.
#include <gtest/gtest.h>

#include <string>

#include "qelCryptoServiceSeamsInternal.h"
#include "qelKeyMan.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelRPCDispatchInternal.h"
#include "qelRandomDispatchInternal.h"
#include "qelRandomPool.h"
#include "qelTestEnv.h"

namespace {

auto *const g_env = qeltest::addHomeEnvironment("qellayerseams");

TEST(LayerSeams, BeforeStartUpThePoolAndTheTokenConfigurationRunInProcess)
{
    EXPECT_GT(qelRandomPoolGetSize(), 0u);
    EXPECT_EQ(qelTokenSetConfigString("slot=1"), QELError_NoErr);
    EXPECT_EQ(qelTokenSetConfigString(std::string(256, 'x').c_str()), QELError_BadParams);
    EXPECT_EQ(qelTokenSetConfigString(nullptr), QELError_NoErr);

    const QELKeysServiceSeams &keys = qelKeysService();
    EXPECT_EQ(keys.keyDBCommit(nullptr), QELError_NotInitialized);
    EXPECT_EQ(keys.tokenSetConfigString("slot=1"), QELError_NotInitialized);
    const QELCryptoServiceSeams &crypto = qelCryptoService();
    void *block = nullptr;
    std::uint32_t length = 0;
    EXPECT_EQ(crypto.getBytes(nullptr, 16, 0, &block, &length), QELError_NotInitialized);
    EXPECT_EQ(block, nullptr);
}

TEST(LayerSeams, StartUpInstallsTheDispatchers)
{
    ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    EXPECT_EQ(qelKeysService().keyDBCommit, &qelKeyDBCommitDispatch);
    EXPECT_EQ(qelKeysService().tokenSetConfigString, &qelTokenSetConfigStringDispatch);
    EXPECT_EQ(qelCryptoService().poolGetStatus, &qelRandomPoolGetStatusDispatch);
    EXPECT_EQ(qelCryptoService().getBytes, &qelRandomGetBytesDispatch);
    // Not connected: the dispatchers take the in-process branch.
    EXPECT_GT(qelRandomPoolGetSize(), 0u);
    EXPECT_EQ(qelTokenSetConfigString("slot=1"), QELError_NoErr);
    EXPECT_EQ(qelTokenSetConfigString(nullptr), QELError_NoErr);
    static_cast<void>(qelSDKCleanup());
}

} // namespace
