// Per-client change records of a database the service holds: what one
// client changes reaches every other client of the database once, through
// call 40, and never the client that made the change.
#include "qelContextInternal.h"
#include "qelKeyDBChangeInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"
#include "qelPassCachInternal.h"
#include "qelRPCCallsInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using u64 = std::uint64_t;

u64 h(const void *o) { return u64(reinterpret_cast<std::uintptr_t>(o)); }

class ClientChanges : public qeltest::SDKSuite {
protected:
    QELServiceClientHead alice{nullptr, "alice"};
    QELServiceClientHead bob{nullptr, "bob"};
    QELKeyDB *db = nullptr;

    void SetUp() override
    {
        std::ifstream in(std::string(QEL_SOURCE_DIR) + "/tests/keys/data/keyedit_secret.gpg", std::ios::binary);
        const std::vector<char> ring{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        // Alice opens the ring through the service's branch; Bob comes to it.
        serve(&alice);
        const std::array<QELRPCItem, 1> request{qelRPCBytes(ring.data(), ring.size())};
        std::array<QELRPCItem, 4> reply{};
        ASSERT_EQ(qelRPCInvoke(context, QELRPCCall_KeyDBOpenFromBuffer, request, reply), QELError_NoErr);
        db = reinterpret_cast<QELKeyDB *>(std::uintptr_t(reply[0].value));
        qelRPCItemsRelease(reply);
        ASSERT_EQ(qelKeyDBAddClientRecord(db, &bob), QELError_NoErr);
        ASSERT_EQ(qelKeyDBAddClientRecord(db, &bob), QELError_NoErr); // once is enough
    }
    void TearDown() override
    {
        serve(nullptr);
        static_cast<void>(qelKeyDBReleaseLocal(db));
    }

    void serve(QELServiceClientHead *client) { qelContextSetClient(context, client); }

    struct Taken {
        u64 count = 0;
        std::vector<u64> tree;
        std::vector<u64> refetch;
    };
    Taken take()
    {
        const std::array<QELRPCItem, 1> request{qelRPCValue(h(db))};
        std::array<QELRPCItem, 3> reply{};
        Taken t;
        EXPECT_EQ(qelRPCInvoke(context, QELRPCCall_KeyDBTakeClientChanges, request, reply), QELError_NoErr);
        t.count = reply[0].value;
        t.tree.resize(reply[1].length / 8);
        if (!t.tree.empty())
            std::memcpy(t.tree.data(), reply[1].block, t.tree.size() * 8);
        t.refetch.resize(reply[2].length / 8);
        if (!t.refetch.empty())
            std::memcpy(t.refetch.data(), reply[2].block, t.refetch.size() * 8);
        qelRPCItemsRelease(reply);
        return t;
    }

    QELKeyObject *key(int n)
    {
        QELKeyObject *k = db->firstKey;
        while (n-- > 0)
            k = k->next;
        return k;
    }
    static QELKeyObject *subKeyOf(QELKeyObject *k)
    {
        for (QELKeyObject *c = k->firstChild; c != nullptr; c = c->next)
            if (qelKeyObjType(c) == QELObjectType_SubKey && qelKeyObjIsLive(c))
                return c;
        return nullptr;
    }
};

TEST_F(ClientChanges, NothingPendingGivesEmptyArrays)
{
    for (QELServiceClientHead *client : {&alice, &bob}) {
        serve(client);
        const Taken t = take();
        EXPECT_EQ(t.count, 0u);
        EXPECT_TRUE(t.tree.empty());
        EXPECT_TRUE(t.refetch.empty());
    }
}

TEST_F(ClientChanges, ARemovalReachesTheOtherClientOnce)
{
    QELKeyObject *k = nullptr;
    QELKeyObject *sub = nullptr;
    for (int n = 0; key(n) != nullptr && sub == nullptr; ++n)
        if ((sub = subKeyOf(key(n))) != nullptr)
            k = key(n);
    ASSERT_NE(sub, nullptr) << "the ring has a key with a subkey";

    serve(&alice);
    const std::array<QELRPCItem, 2> request{qelRPCValue(h(db)), qelRPCValue(h(sub))};
    ASSERT_EQ(qelRPCInvoke(context, QELRPCCall_KeyDBRemoveObject, request, {}), QELError_NoErr);
    EXPECT_EQ(take().count, 0u) << "the client that removed it has nothing to fetch";

    serve(&bob);
    const Taken t = take();
    ASSERT_EQ(t.count, 1u);
    ASSERT_GE(t.tree.size(), 3u);
    EXPECT_EQ(t.tree[0], h(k)) << "the changed key's tree, without the removed subkey";
    for (std::size_t i = 0; i < t.tree.size(); ++i)
        EXPECT_NE(t.tree[i], h(sub));
    EXPECT_TRUE(t.refetch.empty());
    EXPECT_EQ(take().count, 0u) << "taken once, the changes are gone";
}

TEST_F(ClientChanges, NotedInformationChangesAreRefetchedByOthers)
{
    serve(&bob);
    ASSERT_EQ(qelKeyDBNoteChangeForOtherClients(nullptr, key(1), nullptr, nullptr), QELError_NoErr);
    serve(&alice);
    const Taken t = take();
    EXPECT_EQ(t.count, 0u);
    EXPECT_TRUE(t.tree.empty());
    EXPECT_EQ(t.refetch, std::vector<u64>{h(key(1))});
    serve(&bob);
    EXPECT_TRUE(take().refetch.empty()) << "the client that made the change is not told";
}

TEST_F(ClientChanges, AClientWithoutARecordTakesNothing)
{
    QELServiceClientHead carol{nullptr, "carol"};
    serve(&alice);
    ASSERT_EQ(qelKeyDBNoteChangeForOtherClients(nullptr, nullptr, nullptr, key(0)), QELError_NoErr);
    serve(&carol);
    EXPECT_EQ(take().count, 0u);
    serve(&bob);
    EXPECT_EQ(take().count, 1u);
}

} // namespace
