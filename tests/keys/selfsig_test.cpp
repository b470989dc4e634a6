// What keys say about themselves in self-signatures: the order in which a
// value is searched, primary user IDs, designated revokers and the current
// revocation lists under a key.
#include "keys_fixture.h"

#include "qelKeyObj.h"
#include "qelKeySigInternal.h"
#include "qelMemory.h"

#include <cstring>

using namespace keystest;

namespace {

void markSelfSigsValid(QELKeyDB *db)
{
    for (QELKeyObject *k : liveKeys(db))
        for (QELKeyObject *u : liveChildren(k, QELObjectType_UserID))
            for (QELKeyObject *s : liveChildren(u, QELObjectType_Signature))
                if (qelSigSigner(s) == k)
                    qelKeyObjSigInfo(s)->state |= QELSigState_Checked | QELSigState_Valid;
    for (QELKeyObject *k : liveKeys(db))
        for (QELKeyObject *s : liveChildren(k, QELObjectType_Signature))
            if (qelSigSigner(s) == k)
                qelKeyObjSigInfo(s)->state |= QELSigState_Checked | QELSigState_Valid;
}

std::uint32_t be32(const std::uint8_t *d)
{
    return (std::uint32_t(d[0]) << 24) | (std::uint32_t(d[1]) << 16) | (std::uint32_t(d[2]) << 8) | d[3];
}

} // namespace

using SelfSig = ContextTest;

// Of two self-signatures the newest revocable one speaks, unless an older one
// cannot be revoked: that one is found first.
TEST_F(SelfSig, NonRevocableSelfSignaturesAreSearchedFirst)
{
    QELKeyDB *db = openOwned(readFile(dataPath("keyuse_resigned.gpg")));
    ASSERT_NE(db, nullptr);
    markSelfSigsValid(db);
    QELKeyObject *key = keyWithUserID(db, "Thirty Then Never");
    ASSERT_NE(key, nullptr);
    auto sigs = liveChildren(liveChildren(key, QELObjectType_UserID).front(), QELObjectType_Signature);
    ASSERT_EQ(sigs.size(), 2u);
    QELKeyObject *older = qelSigCreation(sigs[0]) < qelSigCreation(sigs[1]) ? sigs[0] : sigs[1];
    QELKeyObject *newer = older == sigs[0] ? sigs[1] : sigs[0];
    std::uint32_t length = 0, count = 0, creation = 0;
    QELStatus status = 1;
    // Both revocable: the newest (no expiry) is the only one searched.
    EXPECT_EQ(qelKeyObjFindSelfSigSubpacket(key, 9, 0, &length, nullptr, nullptr, nullptr, &count, &status),
              nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(status, QELError_NoErr);
    ASSERT_NE(qelKeyObjFindSelfSigSubpacket(key, 11, 0, &length, nullptr, nullptr, &creation, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(creation, qelSigCreation(newer));
    qelKeyObjSigInfo(older)->flags &= ~QELSigInfo_Revocable;
    const std::uint8_t *d =
        qelKeyObjFindSelfSigSubpacket(key, 9, 0, &length, nullptr, nullptr, &creation, &count, nullptr);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(be32(d), 30u * 86400);
    EXPECT_EQ(creation, qelSigCreation(older));
    EXPECT_EQ(count, 1u);
    // Preferences: the older, non-revocable one first, then the newest; the
    // count runs over both.
    EXPECT_NE(qelKeyObjFindSelfSigSubpacket(key, 11, 1, &length, nullptr, nullptr, &creation, &count, nullptr),
              nullptr);
    EXPECT_EQ(creation, qelSigCreation(newer));
    EXPECT_EQ(count, 2u);
}

TEST_F(SelfSig, PrimaryUserIDMarkThenFlagThenFirst)
{
    QELKeyDB *db = openOwned(readFile(dataPath("public.gpg")));
    ASSERT_NE(db, nullptr);
    markSelfSigsValid(db);
    QELKeyObject *key = keyWithUserID(db, "main@example.org");
    ASSERT_NE(key, nullptr);
    std::vector<QELKeyObject *> plain;
    for (QELKeyObject *u : liveChildren(key, QELObjectType_UserID))
        if (!qelUserIDIsAttribute(u))
            plain.push_back(u);
    ASSERT_GE(plain.size(), 2u);
    for (QELKeyObject *u : plain)
        qelKeyObjUserIDInfo(u)->nameTrust &= ~0x40;
    // GnuPG flags the first user ID primary in its self-certification.
    EXPECT_EQ(qelKeyObjPrimaryUserID(key, 0), plain[0]);
    // A mark on the second wins over the first one's flag.
    qelUserIDSetPrimaryMark(plain[1]);
    EXPECT_EQ(qelKeyObjPrimaryUserID(key, 0), plain[1]);
    EXPECT_FALSE(qelKeyObjUserIDInfo(plain[0])->nameTrust & 0x40);
    // Attributes are their own kind.
    QELKeyObject *photo = nullptr;
    for (QELKeyObject *u : liveChildren(key, QELObjectType_UserID))
        if (qelUserIDIsAttribute(u))
            photo = u;
    ASSERT_NE(photo, nullptr);
    EXPECT_EQ(qelKeyObjPrimaryUserID(key, 1), photo);
    EXPECT_EQ(qelKeyObjPrimaryUserID(key, 0), plain[1]);
    qelKeyObjClearPrimaryMarks(key, -1);
    // Moving a user ID first puts it right after the key's direct signatures.
    qelKeyMoveUserIDFirst(plain[1], key);
    QELKeyObject *c = key->firstChild;
    while (c && qelKeyObjType(c) == QELObjectType_Signature)
        c = c->next;
    EXPECT_EQ(c, plain[1]);
    EXPECT_EQ(liveChildren(key, QELObjectType_UserID).size(), plain.size() + 1);
}

TEST_F(SelfSig, DesignatedRevokerAgreesWithGnuPG)
{
    QELKeyDB *db = openOwned(readFile(dataPath("public.gpg")));
    ASSERT_NE(db, nullptr);
    markSelfSigsValid(db);
    QELKeyObject *key = keyWithUserID(db, "main@example.org");
    QELKeyObject *revoker = keyWithUserID(db, "revoker@example.org");
    QELKeyObject *plain = keyWithUserID(db, "plain@example.org");
    ASSERT_TRUE(key && revoker && plain);
    std::uint32_t count = 9;
    ASSERT_EQ(qelKeyCountRevokers(key, &count), QELError_NoErr);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(qelKeyCountRevokers(plain, &count), QELError_NoErr);
    EXPECT_EQ(count, 0u);
    QELKeyObject *found = nullptr;
    QELKeyID id{};
    ASSERT_EQ(qelKeyGetRevoker(key, 0, &found, &id), QELError_NoErr);
    EXPECT_EQ(found, revoker);
    // GnuPG's listing names the revoker by fingerprint ("rvk" record).
    std::string rvk;
    for (const auto &f : colons("public.colons"))
        if (f.size() > 9 && f[0] == "rvk")
            rvk = f[9];
    ASSERT_EQ(rvk.size(), 40u);
    EXPECT_EQ(hex(id.bytes, 8), rvk.substr(24));
    std::uint8_t fpr[20];
    ASSERT_EQ(qelKeyObjFingerprint(revoker, fpr), 20);
    EXPECT_EQ(hex(fpr, 20), rvk);
    EXPECT_EQ(qelKeyGetRevoker(key, 1, &found, &id), QELError_ItemNotFound);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(qelKeyGetRevoker(liveChildren(key, QELObjectType_UserID).front(), 0, &found, &id),
              QELError_BadParams);
    EXPECT_TRUE(qelKeyIsDesignatedRevoker(key, revoker));
    EXPECT_FALSE(qelKeyIsDesignatedRevoker(key, plain));
    EXPECT_FALSE(qelKeyObjRevokedByRevoker(key, nullptr, nullptr, nullptr, nullptr));
}

// Revocation lists of one distribution point supersede each other by their
// this-update time; lists of the other kind do not.
TEST_F(SelfSig, NewerListOfTheSameDistributionPointSupersedes)
{
    std::vector<std::uint8_t> ring = readFile(dataPath("keyuse.gpg"));
    // Take the second key (it has no subkey, so the lists go under the key)
    // and append four lists.
    std::size_t secondKey = 0, thirdKey = 0;
    {
        std::size_t i = 0;
        int keys = 0;
        while (i < ring.size()) {
            std::uint8_t h = ring[i];
            std::size_t hl = 0, n = 0;
            int tag = 0;
            if (h & 0x40) {
                tag = h & 0x3F;
                std::uint8_t l = ring[i + 1];
                if (l < 192) { n = l; hl = 2; }
                else if (l < 224) { n = ((l - 192) << 8) + ring[i + 2] + 192; hl = 3; }
                else { n = be32(&ring[i + 2]); hl = 6; }
            } else {
                tag = (h >> 2) & 15;
                hl = 1 + (1 << (h & 3));
                n = 0;
                for (std::size_t k = 1; k < hl; ++k) n = (n << 8) | ring[i + k];
            }
            if (tag == 6 && ++keys == 2)
                secondKey = i;
            if (tag == 6 && keys == 3)
                break;
            i += hl + n;
        }
        thirdKey = i;
    }
    ASSERT_LT(secondKey, thirdKey);
    std::vector<std::uint8_t> bytes(ring.begin() + secondKey, ring.begin() + thirdKey);
    auto addCRL = [&](std::uint8_t type, const std::string &point) {
        std::vector<std::uint8_t> body = {4, type};
        if (type == 2) {
            std::uint32_t l = std::uint32_t(point.size());
            body.insert(body.end(), {std::uint8_t(l >> 24), std::uint8_t(l >> 16), std::uint8_t(l >> 8), std::uint8_t(l)});
            body.insert(body.end(), point.begin(), point.end());
        }
        // A distinct list each time: identical packets would be one object.
        body.insert(body.end(), {0x30, 0x01, std::uint8_t(bytes.size())});
        bytes.push_back(0xC0 | 60);
        bytes.push_back(std::uint8_t(body.size()));
        bytes.insert(bytes.end(), body.begin(), body.end());
    };
    addCRL(2, "http://a");
    addCRL(2, "http://a");
    addCRL(2, "http://b");
    addCRL(1, "");
    QELKeyDB *db = openOwned(bytes);
    ASSERT_NE(db, nullptr);
    QELKeyObject *key = liveKeys(db).front();
    auto crls = liveChildren(key, QELObjectType_CRL);
    ASSERT_EQ(crls.size(), 4u);
    const std::uint32_t times[4][2] = {{1000, 5000}, {2000, 4000}, {500, 9000}, {3000, 0}};
    for (int i = 0; i < 4; ++i) {
        QELCRLInfo *info = qelKeyObjCRLInfo(crls[i]);
        info->state = QELSigState_Checked | QELSigState_Valid;
        info->thisUpdate = times[i][0];
        info->nextUpdate = times[i][1];
    }
    std::size_t n = 0;
    ASSERT_NE(qelCRLDistPoint(crls[0], &n), nullptr);
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(qelCRLDistPoint(crls[3], &n), nullptr);
    EXPECT_FALSE(qelCRLIsCurrent(crls[0], 0));  // the second list of "a" is newer
    EXPECT_TRUE(qelCRLIsCurrent(crls[1], 0));
    EXPECT_TRUE(qelCRLIsCurrent(crls[2], 0));   // "b" has no rival
    EXPECT_TRUE(qelCRLIsCurrent(crls[3], 0));   // the other kind is no rival
    EXPECT_FALSE(qelCRLIsCurrent(crls[1], 4500)); // past its next update
    EXPECT_FALSE(qelCRLIsCurrent(crls[3], 10));   // no next update counts as earlier
    std::uint32_t count = 0;
    EXPECT_EQ(qelKeyObjNthCurrentCRL(key, 0, &count), crls[1]);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(qelKeyObjNthCurrentCRL(key, 3, &count), nullptr);
    EXPECT_EQ(qelKeyObjEarliestCRL(key, false), crls[2]);
    EXPECT_EQ(qelKeyObjEarliestCRL(key, true), crls[3]);
    // Distribution points of the current lists, each once: "a" twice when
    // neither of its lists is newer.
    auto collect = [&](std::vector<std::string> &out) {
        std::uint32_t n = 0;
        std::uint8_t *items = nullptr;
        std::uint64_t *lengths = nullptr;
        ASSERT_EQ(qelKeyCollectCRLDistributionPoints(qelContextMemoryMgr(ctx), key, &n, &items, &lengths),
                  QELError_NoErr);
        std::size_t at = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            out.emplace_back(reinterpret_cast<char *>(items) + at, std::size_t(lengths[i]));
            at += std::size_t(lengths[i]);
        }
        for (void *block : {static_cast<void *>(items), static_cast<void *>(lengths)}) {
            if (block != nullptr) {
                EXPECT_EQ(qelMemFree(block), QELError_NoErr);
            }
        }
    };
    std::vector<std::string> points;
    collect(points);
    EXPECT_EQ(points, (std::vector<std::string>{"http://a", "http://b"}));
    qelKeyObjCRLInfo(crls[0])->thisUpdate = 2000;
    ASSERT_TRUE(qelCRLIsCurrent(crls[0], 0) && qelCRLIsCurrent(crls[1], 0));
    points.clear();
    collect(points);
    EXPECT_EQ(points, (std::vector<std::string>{"http://a", "http://b"}));
    qelKeyObjCRLInfo(crls[0])->thisUpdate = 1000;
    // An invalid newer list supersedes nothing.
    qelKeyObjCRLInfo(crls[1])->state = QELSigState_Checked;
    EXPECT_TRUE(qelCRLIsCurrent(crls[0], 0));
}
