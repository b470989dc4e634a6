// Key sets, enumerated sets, key lists and iterators over the GnuPG fixture.
#include "keys_fixture.h"

#include "qelEnumeratedSetInternal.h"
#include "qelKeyIter.h"
#include "qelKeyListInternal.h"
#include "qelKeySetInternal.h"

#include <algorithm>

using namespace keystest;

namespace {

class KeySetTest : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        db = openBuffer(readFile(dataPath("public.gpg")));
        ASSERT_NE(db, nullptr);
        keys = liveKeys(db);
        ASSERT_EQ(keys.size(), 4u);
        main = keys[2];
    }
    void TearDown() override
    {
        EXPECT_EQ(qelKeyDBRelease(db), 0);
        ContextTest::TearDown();
    }
    bool in(QELKeyObject *o, QELKeySet *s) { return qelKeySetIsMember(o, s) != 0; }

    QELKeyDB *db = nullptr;
    std::vector<QELKeyObject *> keys;
    QELKeyObject *main = nullptr; // DSA key with user IDs, an attribute and subkeys
};

TEST_F(KeySetTest, EnumeratedSetsFromObjectsHoldTheirCompanions)
{
    std::vector<QELKeyObject *> uids = liveChildren(main, QELObjectType_UserID);
    std::vector<QELKeyObject *> subs = liveChildren(main, QELObjectType_SubKey);
    ASSERT_GE(uids.size(), 2u);
    ASSERT_EQ(subs.size(), 2u);
    QELKeySet *fromUID = nullptr, *fromSub = nullptr, *fromSig = nullptr;
    ASSERT_EQ(qelEnumeratedSetFromObject(uids[0], &fromUID), 0);
    EXPECT_TRUE(in(main, fromUID));
    EXPECT_TRUE(in(uids[0], fromUID));
    EXPECT_FALSE(in(uids[1], fromUID));
    EXPECT_FALSE(in(subs[0], fromUID));
    for (QELKeyObject *s : liveChildren(uids[0], QELObjectType_Signature))
        EXPECT_TRUE(in(s, fromUID));

    ASSERT_EQ(qelEnumeratedSetFromObject(subs[0], &fromSub), 0);
    EXPECT_TRUE(in(subs[0], fromSub));
    EXPECT_FALSE(in(subs[1], fromSub));
    for (QELKeyObject *u : uids)
        EXPECT_TRUE(in(u, fromSub));

    std::vector<QELKeyObject *> sigs = liveChildren(uids[0], QELObjectType_Signature);
    ASSERT_FALSE(sigs.empty());
    ASSERT_EQ(qelEnumeratedSetFromObject(sigs[0], &fromSig), 0);
    EXPECT_TRUE(in(sigs[0], fromSig));
    EXPECT_TRUE(in(uids[0], fromSig));
    for (QELKeyObject *s : subs)
        EXPECT_TRUE(in(s, fromSig));
    if (sigs.size() > 1) {
        EXPECT_FALSE(in(sigs[1], fromSig));
    }
    EXPECT_FALSE(in(keys[0], fromSig));

    // Union in place: the target gains the source's members.
    ASSERT_EQ(qelKeySetAddSet(fromUID, fromSub), 0);
    EXPECT_TRUE(in(uids[0], fromSub));
    EXPECT_TRUE(in(subs[0], fromSub));
    std::uint32_t count = 0;
    ASSERT_EQ(qelKeySetCount(fromSub, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(qelKeySetRelease(fromUID), 0);
    EXPECT_EQ(qelKeySetRelease(fromSub), 0);
    EXPECT_EQ(qelKeySetRelease(fromSig), 0);
}

TEST_F(KeySetTest, SetsFromKeysInAnyOrderFindEveryKey)
{
    std::vector<QELKeyObject *> shuffled = {keys[3], keys[0], keys[2], keys[1]};
    do {
        QELKeySet *set = nullptr;
        ASSERT_EQ(qelEnumeratedSetFromKeys(db, shuffled.data(), 3, &set), 0);
        for (std::size_t i = 0; i < 4; ++i)
            EXPECT_EQ(in(shuffled[i], set), i < 3);
        qelKeySetReleaseInternal(set, false);
    } while (std::next_permutation(shuffled.begin(), shuffled.end()));
}

TEST_F(KeySetTest, RootSetAndUnionRules)
{
    QELKeySet *root = qelKeyDBGetRootSet(db);
    ASSERT_NE(root, nullptr);
    QELKeySet *one = nullptr, *two = nullptr;
    ASSERT_EQ(qelEnumeratedSetFromObject(keys[0], &one), 0);
    EXPECT_EQ(qelKeySetAddSet(one, root), 0);
    EXPECT_EQ(qelKeySetRelease(root), 0); // the root set is not counted
    EXPECT_TRUE(in(keys[1], root));
    ASSERT_EQ(qelKeySetAddRef(one), 0);
    ASSERT_EQ(qelEnumeratedSetFromObject(keys[1], &two), 0);
    EXPECT_EQ(qelKeySetAddSet(two, one), QELError_BadParams); // held twice
    EXPECT_FALSE(in(keys[1], one));
    EXPECT_EQ(qelKeySetRelease(one), 0);
    EXPECT_EQ(qelKeySetAddObject(keys[1], one), 0);
    EXPECT_TRUE(in(keys[1], one));
    EXPECT_TRUE(in(keys[0], one));
    // A deleted key is no member of any set.
    ASSERT_EQ(qelKeyObjMarkDeleted(keys[1]), 0);
    EXPECT_FALSE(in(keys[1], one));
    EXPECT_FALSE(in(keys[1], root));
    EXPECT_EQ(qelKeySetRelease(one), 0);
    EXPECT_EQ(qelKeySetRelease(two), 0);
}

TEST_F(KeySetTest, ListsSortAndFollowChanges)
{
    QELKeySet *root = qelKeyDBGetRootSet(db);
    QELKeyList *byDB = nullptr, *newest = nullptr, *byName = nullptr;
    ASSERT_EQ(qelKeyListNew(root, QELKeyListOrder_Database, 0, &byDB), 0);
    ASSERT_EQ(byDB->count, 4u);
    EXPECT_TRUE(std::equal(keys.begin(), keys.end(), byDB->keys));
    ASSERT_EQ(qelKeyListNew(root, QELKeyListOrder_Creation, 1, &newest), 0);
    for (std::uint32_t i = 1; i < newest->count; ++i)
        EXPECT_GE(qelKeyObjCreation(newest->keys[i - 1]), qelKeyObjCreation(newest->keys[i]));
    ASSERT_EQ(qelKeyListNew(root, QELKeyListOrder_Name, 0, &byName), 0);
    EXPECT_EQ(byName->keys[0], main); // "Main Dsa" sorts first
    QELKeyList *bad = nullptr;
    EXPECT_EQ(qelKeyListNew(root, 0, 0, &bad), QELError_BadParams);
    EXPECT_EQ(qelKeyListNew(root, 11, 0, &bad), QELError_BadParams);
    ASSERT_EQ(qelKeyObjMarkDeleted(keys[0]), 0);
    qelKeyDBMarkChanged(db, true);
    EXPECT_EQ(byDB->count, 3u);
    EXPECT_EQ(byName->count, 3u);
    EXPECT_EQ(qelKeyListRelease(byDB), 0);
    EXPECT_EQ(qelKeyListRelease(newest), 0);
    EXPECT_EQ(qelKeyListRelease(byName), 0);
}

TEST(KeyListNamesTest, NamesCompareCaselessAndSkipPunctuation)
{
    struct Case { const char *a, *b; int sign; };
    const Case cases[] = {
        {"Main Dsa", "main-dsa", 0},
        {"abc", "abcd", -1},
        {"abcd", "abc", 1},
        {"b", "a", 1},
        {"\xC3\xA9t\xC3\xA9", "ete", 1}, // bytes above 127 compare as unsigned
        {"", "", 0},
    };
    for (const Case &c : cases) {
        int r = qelKeyListCompareNames(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " / " << c.b;
    }
}

TEST_F(KeySetTest, IteratorsWalkKeysSubkeysUserIDsAndSignatures)
{
    QELKeyIter *it = nullptr;
    ASSERT_EQ(qelKeyIterNewOnDB(db, &it), 0);
    QELKeyObject *o = nullptr;
    for (QELKeyObject *k : keys) {
        ASSERT_EQ(qelKeyIterNext(it, QELKeyIterLevel_Key, &o), 0);
        EXPECT_EQ(o, k);
    }
    EXPECT_EQ(qelKeyIterNext(it, QELKeyIterLevel_Key, &o), QELError_EndOfIteration);
    EXPECT_EQ(o, nullptr);
    EXPECT_EQ(qelKeyIterSeek(it, main), 2);
    std::vector<QELKeyObject *> subs = liveChildren(main, QELObjectType_SubKey);
    for (QELKeyObject *s : subs) {
        ASSERT_EQ(qelKeyIterNext(it, QELKeyIterLevel_SubKey, &o), 0);
        EXPECT_EQ(o, s);
    }
    EXPECT_EQ(qelKeyIterNext(it, QELKeyIterLevel_SubKey, &o), QELError_EndOfIteration);
    ASSERT_EQ(qelKeyIterNext(it, QELKeyIterLevel_SubKey, &o), 0);
    EXPECT_EQ(o, subs[0]); // starts over

    // User IDs forward and back; signatures skip certification revocations.
    ASSERT_EQ(qelKeyIterRewind(it, QELKeyIterLevel_UserID), 0);
    std::vector<QELKeyObject *> uids = liveChildren(main, QELObjectType_UserID);
    for (QELKeyObject *u : uids) {
        ASSERT_EQ(qelKeyIterNext(it, QELKeyIterLevel_UserID, &o), 0);
        EXPECT_EQ(o, u);
    }
    ASSERT_EQ(qelKeyIterPrev(it, QELKeyIterLevel_UserID, &o), 0);
    EXPECT_EQ(o, uids[uids.size() - 2]);
    for (QELKeyObject *u : uids) {
        ASSERT_EQ(qelKeyIterSeek(it, main), 2);
        do {
            ASSERT_EQ(qelKeyIterNext(it, QELKeyIterLevel_UserID, &o), 0);
        } while (o != u);
        while (qelKeyIterNext(it, QELKeyIterLevel_Signature, &o) == 0)
            EXPECT_NE(qelSigType(o), 0x30);
    }

    // Depth first over everything visits every live object once.
    QELKeyIter *all = nullptr;
    ASSERT_EQ(qelKeyIterNewOnDB(db, &all), 0);
    std::size_t visited = 0, expected = 0;
    while (qelKeyIterNext(all, QELKeyIterLevel_Any, &o) == 0)
        ++visited;
    for (QELKeyObject *k : keys)
        for (QELKeyObject *c = k->firstChild; ++expected, c; c = c->next) {
            if (!qelKeyObjIsLive(c)) { --expected; continue; }
            for (QELKeyObject *g = c->firstChild; g; g = g->next)
                expected += qelKeyObjIsLive(g);
        }
    EXPECT_EQ(visited, expected);
    QELKeyIter *copy = nullptr;
    ASSERT_EQ(qelKeyIterCopy(it, &copy), 0);
    EXPECT_EQ(qelKeyIterFree(copy), 0);
    EXPECT_EQ(qelKeyIterFree(all), 0);
    EXPECT_EQ(qelKeyIterFree(it), 0);
}

TEST_F(KeySetTest, ListIteratorsMoveByPositionAndStopAtTheEnd)
{
    QELKeyList *list = nullptr;
    ASSERT_EQ(qelKeyListNew(qelKeyDBGetRootSet(db), QELKeyListOrder_KeyID, 0, &list), 0);
    QELKeyIter *it = nullptr;
    ASSERT_EQ(qelKeyIterNewOnList(list, &it), 0);
    QELKeyObject *o = nullptr;
    EXPECT_EQ(qelKeyIterMove(it, 0, &o), 0);
    ASSERT_EQ(qelKeyIterMove(it, 2, &o), 0);
    EXPECT_EQ(o, list->keys[1]);
    EXPECT_EQ(qelKeyIterIndex(it), 1);
    EXPECT_EQ(qelKeyIterMove(it, 10, &o), QELError_EndOfIteration);
    QELKeyObject *cur = nullptr;
    EXPECT_EQ(qelKeyIterCurrent(it, QELKeyIterLevel_Key, &cur), QELError_EndOfIteration);
    EXPECT_EQ(qelKeyIterFree(it), 0);
    EXPECT_EQ(qelKeyListRelease(list), 0);
}

} // namespace
