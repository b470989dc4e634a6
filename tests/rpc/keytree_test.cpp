// Key-tree arrays: the words written for keys, children and grandchildren,
// the filter, and the array installed again as a mirror of the database.
#include "qelContextInternal.h"
#include "qelEnumeratedSet.h"
#include "qelEnumeratedSetInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySet.h"
#include "qelKeySetInternal.h"
#include "qelKeyTreeFlattenInternal.h"
#include "qelMemoryInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using u64 = std::uint64_t;

class KeyTree : public qeltest::SDKSuite {
protected:
    static void SetUpTestSuite()
    {
        SDKSuite::SetUpTestSuite();
        std::ifstream in(std::string(QEL_SOURCE_DIR) + "/tests/keys/data/keyedit_secret.gpg", std::ios::binary);
        const std::vector<char> ring{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        QELStatus s = QELError_NoErr;
        db = qelKeyDBReadBuffer(context, ring.data(), ring.size(), &s);
        ASSERT_NE(db, nullptr) << s;
    }
    static void TearDownTestSuite()
    {
        static_cast<void>(qelKeyDBReleaseLocal(db));
        SDKSuite::TearDownTestSuite();
    }

    static u64 h(const void *o) { return u64(reinterpret_cast<std::uintptr_t>(o)); }
    static QELKeyObject *key(int n)
    {
        QELKeyObject *k = db->firstKey;
        while (n-- > 0)
            k = k->next;
        return k;
    }
    static QELKeyObject *child(QELKeyObject *parent, int type, int n)
    {
        for (QELKeyObject *c = parent->firstChild; c != nullptr; c = c->next)
            if (qelKeyObjType(c) == type && n-- == 0)
                return c;
        return nullptr;
    }
    static std::vector<u64> flatten(QELKeyObject *first, std::uint32_t count, QELKeySet *filter)
    {
        std::uint64_t *block = nullptr;
        std::uint64_t size = 7;
        EXPECT_EQ(qelKeyTreeFlatten(context, first, count, filter, &block, &size), QELError_NoErr);
        std::vector<u64> words(block, block + size / 8);
        EXPECT_EQ(size % 8, 0u);
        static_cast<void>(qelMemFree(block));
        return words;
    }
    // A set of exactly these objects.
    static QELKeySet *setOf(std::initializer_list<QELKeyObject *> objects)
    {
        QELKeySet *set = nullptr;
        EXPECT_EQ(qelEnumeratedSetNewEmpty(db, &set), QELError_NoErr);
        for (QELKeyObject *o : objects) {
            QELKeySet *one = nullptr;
            EXPECT_EQ(qelEnumeratedSetFromSingle(o, &one), QELError_NoErr);
            EXPECT_EQ(qelKeySetAddSet(one, set), QELError_NoErr);
            qelKeySetReleaseInternal(one, false);
        }
        return set;
    }

    static QELKeyDB *db;
};
QELKeyDB *KeyTree::db = nullptr;

TEST_F(KeyTree, AnEntryWithoutChildrenIsThreeWords)
{
    QELKeyObject *sig = child(key(0), QELObjectType_UserID, 0)->firstChild;
    ASSERT_NE(sig, nullptr);
    EXPECT_EQ(flatten(sig, 1, nullptr), (std::vector<u64>{h(sig), sig->flags, 0}));
}

TEST_F(KeyTree, AUserIDWithTwoCertificationsCountsThem)
{
    QELKeyObject *uid = child(key(0), QELObjectType_UserID, 1);
    ASSERT_NE(uid, nullptr);
    QELKeyObject *s1 = uid->firstChild;
    ASSERT_NE(s1, nullptr);
    QELKeyObject *s2 = s1->next;
    ASSERT_NE(s2, nullptr);
    ASSERT_EQ(s2->next, nullptr);
    EXPECT_EQ(flatten(uid, 1, nullptr), (std::vector<u64>{h(uid), uid->flags, 2, h(s1), s1->flags, h(s2), s2->flags}));
}

TEST_F(KeyTree, ASignatureOnTheKeyHasNoCount)
{
    QELKeyObject *carol = key(2);
    QELKeyObject *direct = carol->firstChild;
    ASSERT_EQ(qelKeyObjType(direct), QELObjectType_Signature);
    QELKeyObject *uid = direct->next;
    ASSERT_NE(uid, nullptr);
    const std::vector<u64> words = flatten(carol, 1, nullptr);
    ASSERT_GE(words.size(), 8u);
    EXPECT_EQ(words[3], h(direct));
    EXPECT_EQ(words[4], direct->flags);
    EXPECT_EQ(words[5], h(uid)); // the next child, not a count
}

TEST_F(KeyTree, TheFilterDecidesForEveryObject)
{
    QELKeyObject *bob = key(1);
    QELKeySet *filter = setOf({bob});
    std::uint32_t count = 0;
    std::vector<u64> expected;
    for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next, ++count) {
        if (!qelKeySetHas(k, filter))
            continue;
        std::vector<QELKeyObject *> kids;
        for (QELKeyObject *c = k->firstChild; c != nullptr; c = c->next)
            if (qelKeySetHas(c, filter))
                kids.push_back(c);
        expected.insert(expected.end(), {h(k), k->flags, kids.size()});
        for (QELKeyObject *c : kids) {
            expected.insert(expected.end(), {h(c), c->flags});
            if (qelKeyObjType(c) == QELObjectType_Signature)
                continue;
            std::vector<QELKeyObject *> grand;
            for (QELKeyObject *g = c->firstChild; g != nullptr; g = g->next)
                if (qelKeySetHas(g, filter))
                    grand.push_back(g);
            expected.push_back(grand.size());
            for (QELKeyObject *g : grand)
                expected.insert(expected.end(), {h(g), g->flags});
        }
    }
    const std::vector<u64> words = flatten(db->firstKey, count, filter);
    EXPECT_EQ(words, expected);
    ASSERT_FALSE(words.empty());
    EXPECT_EQ(words[0], h(bob)); // Alice, before him, is not in the set
    qelKeySetReleaseInternal(filter, false);
}

TEST_F(KeyTree, NothingToWriteIsAnEmptyBlock)
{
    std::uint64_t *block = nullptr;
    std::uint64_t size = 99;
    ASSERT_EQ(qelKeyTreeFlatten(context, key(0), 0, nullptr, &block, &size), QELError_NoErr);
    EXPECT_EQ(size, 0u);
    ASSERT_NE(block, nullptr);
    static_cast<void>(qelMemFree(block));
}

TEST_F(KeyTree, WithoutFilterEveryKeyAndDescendantIsWritten)
{
    std::uint32_t count = 0;
    std::size_t expected = 0;
    for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next, ++count) {
        expected += 3;
        for (QELKeyObject *c = k->firstChild; c != nullptr; c = c->next) {
            expected += qelKeyObjType(c) == QELObjectType_Signature ? 2 : 3;
            if (qelKeyObjType(c) != QELObjectType_Signature)
                for (QELKeyObject *g = c->firstChild; g != nullptr; g = g->next)
                    expected += 2;
        }
    }
    const std::vector<u64> words = flatten(db->firstKey, count, nullptr);
    EXPECT_EQ(words.size(), expected);
    EXPECT_EQ(words[0], h(db->firstKey));
}

TEST_F(KeyTree, TheArrayRebuildsTheDatabaseAsAMirror)
{
    std::uint32_t count = 0;
    for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next)
        ++count;
    const std::vector<u64> words = flatten(db->firstKey, count, nullptr);
    QELKeyDB *mirror = nullptr;
    ASSERT_EQ(qelKeyDBNewInMemoryLocal(context, &mirror), QELError_NoErr);
    mirror->serviceRef = h(db);
    ASSERT_EQ(qelKeyDBMergeKeyTree(mirror, nullptr, words.data(), words.size(), count, true, false), QELError_NoErr);
    // Node for node the same shape and types, each holding the original's
    // reference until its block is fetched.
    QELKeyObject *a = db->firstKey, *b = mirror->firstKey;
    for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
        EXPECT_EQ(qelKeyObjType(a), qelKeyObjType(b));
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b->info), h(a));
        QELKeyObject *ca = a->firstChild, *cb = b->firstChild;
        for (; ca != nullptr && cb != nullptr; ca = ca->next, cb = cb->next)
            EXPECT_EQ(qelKeyObjType(ca), qelKeyObjType(cb));
        EXPECT_EQ(ca, nullptr);
        EXPECT_EQ(cb, nullptr);
    }
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b, nullptr);
    mirror->serviceRef = 0;
    static_cast<void>(qelKeyDBReleaseLocal(mirror));
}

} // namespace
