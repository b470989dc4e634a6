// A test over the GnuPG-made ring of the key tests, opened in memory, with
// its primary keys in ring order (Alice RSA, Bob DSA, Carol RSA, ...; the
// passphrases are "<name>-pass"), and the random pool seeded.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "../keys/keys_fixture.h"
#include "qelKeyIter.h"
#include "qelKeyObjInternal.h"
#include "qelRandomPoolInternal.h"

namespace pkitest {

class RingTest : public keystest::ContextTest {
protected:
    void SetUp() override
    {
        keystest::ContextTest::SetUp();
        qelRandomPoolSetSeeded();
        ring = openOwned(keystest::readFile(keystest::dataPath("keyedit_secret.gpg")));
        ASSERT_NE(ring, nullptr);
        QELKeyIter *iter = nullptr;
        ASSERT_EQ(qelKeyIterNewOnDB(ring, &iter), QELError_NoErr);
        QELKeyObject *object = nullptr;
        while (qelKeyIterNext(iter, -1, &object) == QELError_NoErr)
            if (qelKeyObjType(object) == QELObjectType_Key)
                keys.push_back(object);
        ASSERT_EQ(qelKeyIterFree(iter), QELError_NoErr);
        ASSERT_GE(keys.size(), 3u);
    }
    QELKeyDB *ring = nullptr;
    std::vector<QELKeyObject *> keys;
};

} // namespace pkitest
