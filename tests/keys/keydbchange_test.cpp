// Key database changes: the removal rules, copying objects with their
// ancestors, adding sets and objects (twice changes nothing), object-ID
// arrays, and the local side of change notifications. The fixture ring is
// the GnuPG-made one of the signature-check tests.
#include "keys_fixture.h"

#include "qelEnumeratedSetInternal.h"
#include "qelKeyDBChangeInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySetInternal.h"

namespace {

using namespace keystest;

std::string userIDText(QELKeyObject *uid)
{
    std::size_t n = 0;
    const std::uint8_t *p = qelKeyObjRawPacket(uid, &n);
    const std::size_t h = qelPacketHeaderSize(p, n);
    return std::string(reinterpret_cast<const char *>(p + h), n - h);
}

// Live objects of a database: keys, children and grandchildren.
int liveObjects(QELKeyDB *db)
{
    int n = 0;
    for (QELKeyObject *k : liveKeys(db)) {
        ++n;
        for (QELKeyObject *c = k->firstChild; c; c = c->next) {
            if (!qelKeyObjIsLive(c))
                continue;
            ++n;
            for (QELKeyObject *g = c->firstChild; g; g = g->next)
                n += qelKeyObjIsLive(g);
        }
    }
    return n;
}

class KeyDBChange : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        QELStatus s = 0;
        source_ = openBuffer(readFile(dataPath("keysig.gpg")), &s);
        ASSERT_NE(source_, nullptr) << s;
        ASSERT_EQ(qelKeyDBNewInMemoryLocal(ctx, &target_), QELError_NoErr);
    }
    void TearDown() override
    {
        for (QELKeyDB *db : {source_, target_})
            if (db != nullptr) {
                EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
            }
        ContextTest::TearDown();
    }
    QELKeyObject *keyWith(QELKeyDB *db, const std::string &email)
    {
        for (QELKeyObject *k : liveKeys(db))
            for (QELKeyObject *u : liveChildren(k, QELObjectType_UserID))
                if (userIDText(u).find(email) != std::string::npos)
                    return k;
        return nullptr;
    }
    QELKeyObject *userID(QELKeyObject *key, const std::string &text)
    {
        for (QELKeyObject *u : liveChildren(key, QELObjectType_UserID))
            if (userIDText(u).find(text) != std::string::npos)
                return u;
        return nullptr;
    }
    QELKeyDB *source_ = nullptr;
    QELKeyDB *target_ = nullptr;
};

TEST_F(KeyDBChange, RemovalKeepsAUserIDAndASelfCertification)
{
    QELKeyObject *bob = keyWith(source_, "bob@");
    QELKeyObject *alice = keyWith(source_, "alice@example.org");
    ASSERT_NE(bob, nullptr);
    ASSERT_NE(alice, nullptr);
    // Bob's only user ID and its only self-certification stay.
    QELKeyObject *bobUID = liveChildren(bob, QELObjectType_UserID).at(0);
    EXPECT_EQ(qelKeyDBRemoveObject(source_, bobUID), QELError_BadParams);
    QELKeyObject *bobSelf = liveChildren(bobUID, QELObjectType_Signature).at(0);
    EXPECT_EQ(qelKeyDBRemoveObject(source_, bobSelf), QELError_LastSelfCertification);
    EXPECT_TRUE(qelKeyObjIsLive(bobSelf));
    EXPECT_FALSE(qelKeyDBIsChanged(source_));

    // Alice has three user IDs: two can go, the last cannot.
    ASSERT_EQ(liveChildren(alice, QELObjectType_UserID).size(), 3u);
    std::vector<QELKeyObject *> uids = {userID(alice, "work"), userID(alice, "old"),
                                        userID(alice, "<alice@example.org>")};
    const int before = liveObjects(source_);
    const int underFirst = 1 + int(liveChildren(uids[0], QELObjectType_Signature).size());
    EXPECT_EQ(qelKeyDBRemoveObject(source_, uids[0]), QELError_NoErr);
    EXPECT_EQ(liveObjects(source_), before - underFirst); // its signatures went with it
    EXPECT_TRUE(qelKeyDBIsChanged(source_));
    EXPECT_EQ(qelKeyDBRemoveObject(source_, uids[1]), QELError_NoErr);
    EXPECT_EQ(qelKeyDBRemoveObject(source_, uids[2]), QELError_BadParams);
    EXPECT_EQ(qelKeyDBRemoveObject(source_, uids[0]), QELError_BadParams); // no longer live

    // One of several self-certifications can go; a certification by another
    // key can always go.
    std::vector<QELKeyObject *> sigs = liveChildren(uids[2], QELObjectType_Signature);
    QELKeyObject *self = nullptr, *other = nullptr;
    for (QELKeyObject *s : sigs)
        (qelKeyObjSigInfo(s)->signer == alice ? self : other) = s;
    ASSERT_NE(self, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(qelKeyDBRemoveObject(source_, other), QELError_NoErr);
    EXPECT_EQ(qelKeyDBRemoveObject(source_, self), QELError_NoErr);
}

TEST_F(KeyDBChange, AddingSetsCopiesObjectsOnceAndReportsThem)
{
    QELKeySet *all = nullptr;
    // Into an empty database: the result holds every key.
    ASSERT_EQ(qelKeyDBAddKeySet(qelKeyDBRootSet(source_), target_, &all), QELError_NoErr);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(liveObjects(target_), liveObjects(source_));
    EXPECT_EQ(qelKeySetCountInternal(all), 3u);
    for (QELKeyObject *k : liveKeys(target_))
        EXPECT_TRUE(qelKeySetHas(k, all));
    qelKeySetReleaseInternal(all, false);
    // Signers resolve inside the new database.
    QELKeyObject *alice = keyWith(target_, "alice@example.org");
    QELKeyObject *bob = keyWith(target_, "bob@");
    ASSERT_NE(alice, nullptr);
    ASSERT_NE(bob, nullptr);
    for (QELKeyObject *s : liveChildren(userID(alice, "<alice@example.org>"), QELObjectType_Signature)) {
        QELKeyObject *signer = qelKeyObjSigInfo(s)->signer;
        ASSERT_NE(signer, nullptr);
        EXPECT_EQ(qelKeyObjKeyDB(signer), target_);
    }

    // The same again changes nothing; the result holds what was "added".
    const int count = liveObjects(target_);
    QELKeySet *again = nullptr;
    ASSERT_EQ(qelKeyDBAddKeySet(qelKeyDBRootSet(source_), target_, &again), QELError_NoErr);
    EXPECT_EQ(liveObjects(target_), count);
    ASSERT_NE(again, nullptr);
    qelKeySetReleaseInternal(again, false);

    // One signature whose key and user ID are there already: only the
    // signature is new.
    QELKeyObject *srcAlice = keyWith(source_, "alice@example.org");
    QELKeyObject *srcUID = userID(srcAlice, "<alice@example.org>");
    QELKeyObject *srcSig = liveChildren(srcUID, QELObjectType_Signature).back();
    QELKeyObject *tgtUID = userID(alice, "<alice@example.org>");
    QELKeyObject *tgtSig = liveChildren(tgtUID, QELObjectType_Signature).back();
    ASSERT_EQ(qelKeyDBRemoveObjectLocal(target_, tgtSig), QELError_NoErr);
    EXPECT_EQ(liveObjects(target_), count - 1);
    QELKeyObject *key = nullptr;
    ASSERT_EQ(qelKeyDBAddObject(srcSig, target_, &key), QELError_NoErr);
    EXPECT_EQ(key, alice);
    EXPECT_EQ(liveObjects(target_), count);
    EXPECT_TRUE(qelKeyObjIsLive(tgtSig)); // the deleted copy revived, not duplicated

    // A single copy returns the copy of the object itself.
    QELKeyObject *copy = nullptr;
    ASSERT_EQ(qelKeyDBCopyObject(target_, srcUID, &copy), QELError_NoErr);
    EXPECT_EQ(copy, tgtUID);

    EXPECT_EQ(qelKeyDBAddKeySet(nullptr, target_, &again), QELError_BadParams);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(qelKeyDBAddObject(srcSig, nullptr, &key), QELError_BadParams);
    EXPECT_EQ(key, nullptr);
}

TEST_F(KeyDBChange, ObjectIDsAreSortedAndComeBack)
{
    std::uint64_t *ids = nullptr;
    std::size_t bytes = 0;
    ASSERT_EQ(qelKeySetToObjectIDs(qelKeyDBRootSet(source_), &ids, &bytes), QELError_NoErr);
    ASSERT_EQ(bytes, 3u * 8);
    for (std::size_t i = 1; i < bytes / 8; ++i) {
        QELKeyID a{}, b{};
        qelKeyObjGetKeyID(reinterpret_cast<QELKeyObject *>(ids[i - 1]), nullptr, &a);
        qelKeyObjGetKeyID(reinterpret_cast<QELKeyObject *>(ids[i]), nullptr, &b);
        EXPECT_LT(qelKeyIDCompareInternal(a, b), 0);
    }
    // Back to a set: whole keys; an ID the database does not hold is passed over.
    std::vector<std::uint64_t> some(ids, ids + 2);
    some.push_back(0x1234);
    QELKeySet *set = nullptr;
    ASSERT_EQ(qelKeySetBuildFromObjectIDs(source_, some.data(), some.size() * 8, &set), QELError_NoErr);
    EXPECT_EQ(qelKeySetCountInternal(set), 2u);
    EXPECT_TRUE(qelKeySetWholeKeys(set));
    EXPECT_TRUE(qelKeySetHas(reinterpret_cast<QELKeyObject *>(ids[0]), set));
    qelKeySetReleaseInternal(set, false);
    ASSERT_EQ(qelKeySetFromObjectIDs(source_, ids, bytes, &set), QELError_NoErr); // frees ids
    EXPECT_EQ(qelKeySetCountInternal(set), 3u);
    qelKeySetReleaseInternal(set, false);

    // A set of one user ID is not whole keys.
    QELKeySet *one = nullptr;
    QELKeyObject *alice = keyWith(source_, "alice@example.org");
    ASSERT_EQ(qelEnumeratedSetFromSingle(userID(alice, "work"), &one), QELError_NoErr);
    EXPECT_FALSE(qelKeySetWholeKeys(one));
    EXPECT_TRUE(qelKeySetWholeKeys(nullptr));
    qelKeySetReleaseInternal(one, false);

    ASSERT_EQ(qelKeySetToObjectIDs(nullptr, &ids, &bytes), QELError_NoErr);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(bytes, 0u);
}

TEST_F(KeyDBChange, NotificationsReachEveryPendingContext)
{
    QELContext *second = nullptr;
    ASSERT_EQ(qelContextNew(QELSDKVersion, &second), QELError_NoErr);
    qelKeyDBNoteRemoteChange();
    qelKeyDBNoteRemoteChange(); // a second notice before delivery counts once
    EXPECT_EQ(qelContextGetPendingNotify(ctx), 1);
    EXPECT_EQ(qelContextGetPendingNotify(second), 1);
    // The newest context was already served: the older one is still reached.
    qelContextSetPendingNotify(second, 0);
    qelKeyDBApplyRemoteChanges();
    EXPECT_EQ(qelContextGetPendingNotify(ctx), 0);
    EXPECT_EQ(qelContextFree(second), QELError_NoErr);

    std::uint8_t changed = 7;
    EXPECT_EQ(qelKeyDBRefresh(source_, &changed), QELError_BadParams); // not a mirrored database
    EXPECT_EQ(changed, 0);
}

} // namespace
