// Trust propagation over key databases: the public entry, refresh, trust
// signatures, path search and the validity each user ID ends with.
#include "keys_fixture.h"

#include "qelKeySetInternal.h"
#include "qelKeySig.h"
#include "qelTestHooks.h"
#include "qelTrustProp.h"
#include "qelTrustPropInternal.h"

#include <gtest/gtest.h>

namespace {

using namespace keystest;

class TrustPropagation : public ContextTest {};

TEST_F(TrustPropagation, PublicEntryChecksItsHandles)
{
    QELKeyDB *db = openOwned(readFile(dataPath("keyuse.gpg")));
    ASSERT_NE(db, nullptr);
    QELKeySet *root = qelKeyDBRootSet(db);
    EXPECT_EQ(qelKeySetPropagateTrust(nullptr, nullptr), QELError_BadParams);
    EXPECT_EQ(qelKeySetPropagateTrust(reinterpret_cast<QELKeySet *>(db), nullptr), QELError_BadParams);
    EXPECT_EQ(qelKeySetPropagateTrust(root, reinterpret_cast<QELKeyDB *>(root)), QELError_BadParams);
    EXPECT_EQ(qelKeySetPropagateTrust(root, nullptr), QELError_NoErr);
    // The set's own database as the second one counts as none.
    EXPECT_EQ(qelKeySetPropagateTrust(root, db), QELError_NoErr);
}

} // namespace
