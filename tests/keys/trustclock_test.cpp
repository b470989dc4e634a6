// The clock of trust propagation goes on while the API guard refuses public
// calls: propagation that runs then (a commit, a database closed by the
// housekeeping) must not judge every signature at time 0. Its own
// executable, because it switches FIPS mode on for the process.
#include "keys_fixture.h"

#include "qelFIPS.h"
#include "qelFIPSInternal.h"
#include "qelKeySigInternal.h"
#include "qelTestHooks.h"
#include "qelTrustPropInternal.h"

#include <gtest/gtest.h>

namespace {

using namespace keystest;

QELStatus passingSelfTest() { return QELError_NoErr; }

class TrustClock : public ContextTest {};

TEST_F(TrustClock, PropagationKeepsItsClockWhileTheGuardRefuses)
{
    QELKeyDB *db = openOwned(readFile(dataPath("trustweb.gpg")));
    ASSERT_NE(db, nullptr);
    QELKeyObject *alice = nullptr, *bob = nullptr;
    for (QELKeyObject *k : liveKeys(db)) {
        std::size_t length = 0;
        const std::uint8_t *text = qelUserIDText(liveChildren(k, QELObjectType_UserID).front(), &length);
        const std::string uid(reinterpret_cast<const char *>(text), length);
        if (uid.rfind("Alice ", 0) == 0)
            alice = k;
        if (uid.rfind("Bob ", 0) == 0)
            bob = k;
    }
    ASSERT_NE(alice, nullptr);
    ASSERT_NE(bob, nullptr);
    qelKeyObjSetAxiomatic(alice);
    QELKeySet *root = qelKeyDBRootSet(db);
    ASSERT_EQ(qelKeySigCheckSetWithProgress(root, nullptr, true, nullptr, nullptr, nullptr), QELError_NoErr);
    QELUserIDInfo *bobUID = qelKeyObjUserIDInfo(liveChildren(bob, QELObjectType_UserID).front());
    ASSERT_EQ(qelTrustPropagateLocal(root, nullptr, qelTrustNow(), nullptr), QELError_NoErr);
    ASSERT_EQ(bobUID->validity, 255);

    // FIPS mode with the self-tests not yet run: the guard refuses.
    qelFIPSSetSelfTestForTesting(QELSelfTest_Cipher, passingSelfTest);
    qelFIPSSetSelfTestForTesting(QELSelfTest_DSA, passingSelfTest);
    ASSERT_EQ(qelFIPSEnable(), QELError_NoErr);
    ASSERT_EQ(qelAPIGate("test", __LINE__), QELError_SelfTestsNotExecuted);
    EXPECT_GT(qelTrustNow(), 1700000000u);
    EXPECT_EQ(qelTrustPropagateLocal(root, nullptr, qelTrustNow(), nullptr), QELError_NoErr);
    EXPECT_EQ(bobUID->validity, 255) << "certifications are still current";

    // Let the guard through again so the fixture can clean up.
    EXPECT_EQ(qelFIPSRunAllSelfTests(), QELError_NoErr);
    qelFIPSSetSelfTestForTesting(QELSelfTest_Cipher, nullptr);
    qelFIPSSetSelfTestForTesting(QELSelfTest_DSA, nullptr);
}

} // namespace
