// Fixtures of the suites whose output OpenSSL (or Python's cryptography)
// judges: a context, skipped where those peers are missing, and the same
// with the test key database open; and the first key of a database.
#pragma once

#include "../keys/keys_fixture.h"
#include "pki_test_util.h"
#include "qelKeyIter.h"
#include "qelRandomPoolInternal.h"

namespace pkitest {

// The first key of a database; null, the failure reported, when there is
// none.
inline QELKeyObject *firstKey(QELKeyDB *db)
{
    QELKeyIter *iter = nullptr;
    EXPECT_EQ(qelKeyIterNewOnDB(db, &iter), QELError_NoErr);
    if (iter == nullptr)
        return nullptr;
    QELKeyObject *key = nullptr;
    EXPECT_EQ(qelKeyIterNext(iter, 1, &key), QELError_NoErr);
    EXPECT_EQ(qelKeyIterFree(iter), QELError_NoErr);
    return key;
}

class PeerContextTest : public keystest::ContextTest {
protected:
    void SetUp() override
    {
        keystest::ContextTest::SetUp();
        if (!havePeers())
            GTEST_SKIP() << "no OpenSSL or Python cryptography";
    }
};

// Keys make signatures here: the random pool counts as seeded.
class PeerKeyDBTest : public PeerContextTest {
protected:
    void SetUp() override
    {
        PeerContextTest::SetUp();
        if (!goOn())
            return;
        qelRandomPoolSetSeeded();
        db = openOwned(keystest::readFile(keystest::dataPath("secret.gpg")));
        ASSERT_NE(db, nullptr);
    }
    // Whether a subclass's SetUp may go on after this one's.
    bool goOn() const { return !IsSkipped() && !HasFatalFailure(); }

    QELKeyDB *db = nullptr;
};

} // namespace pkitest
