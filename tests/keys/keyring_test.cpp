// Key rings made by GnuPG, read here: keys, subkeys, user IDs, signatures,
// key IDs, fingerprints and creation times agree with GnuPG's listings.
#include "keys_fixture.h"

#include "qelFileObjectInternal.h"
#include "qelFileSpecInternal.h"
#include "qelKeySigInternal.h"
#include "qelTestEnv.h"
#include "qelKeyIOInternal.h"
#include "qelKeyPacketInternal.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

using namespace keystest;

namespace {

class KeyRingTest : public ContextTest {};

std::string userIDText(QELKeyObject *u)
{
    std::size_t n = 0;
    const std::uint8_t *p = qelKeyObjRawPacket(u, &n);
    std::size_t h = qelPacketHeaderSize(p, n);
    return std::string(reinterpret_cast<const char *>(p + h), n - h);
}

std::string fingerprintOf(QELKeyObject *k)
{
    std::size_t n = 0;
    std::uint8_t *pub = qelKeyObjPublicPacket(k, &n);
    EXPECT_NE(pub, nullptr);
    std::size_t h = qelPacketHeaderSize(pub, n);
    std::uint8_t fpr[20];
    qelKeyFingerprintV4(pub + h, n - h, fpr);
    static_cast<void>(qelContextMemFree(qelKeyObjContext(k), pub));
    return hex(fpr, 20);
}

// Compares one ring with its gpg listing: pub/sec and sub/ssb records with
// their fingerprints, uid and uat records.
void expectMatchesListing(QELKeyDB *db, const std::string &listing, bool secret)
{
    auto records = colons(listing);
    std::vector<QELKeyObject *> keys = liveKeys(db);
    std::size_t keyIndex = 0;
    QELKeyObject *key = nullptr;
    QELKeyObject *last = nullptr;
    std::vector<QELKeyObject *> subs;
    std::size_t subIndex = 0;
    std::multiset<std::string> expectedUIDs, actualUIDs;
    std::size_t expectedAttributes = 0, actualAttributes = 0;
    auto collect = [&](QELKeyObject *k) {
        for (QELKeyObject *u : liveChildren(k, QELObjectType_UserID)) {
            if (qelUserIDIsAttribute(u))
                ++actualAttributes;
            else
                actualUIDs.insert(userIDText(u));
        }
    };
    for (const auto &r : records) {
        if (r.empty())
            continue;
        const std::string &type = r[0];
        if (type == (secret ? "sec" : "pub")) {
            ASSERT_LT(keyIndex, keys.size());
            key = last = keys[keyIndex++];
            collect(key);
            subs = liveChildren(key, QELObjectType_SubKey);
            subIndex = 0;
            EXPECT_EQ(keyIDHex(key), r[4]);
            EXPECT_EQ(std::to_string(qelKeyObjCreation(key)), r[5]);
            EXPECT_EQ(std::to_string(qelKeyObjKeyInfo(key)->algorithm), r[3]);
            EXPECT_EQ(std::to_string(qelKeyObjBits(key)), r[2]);
            EXPECT_EQ(qelKeyObjIsSecret(key), secret);
        } else if (type == (secret ? "ssb" : "sub")) {
            ASSERT_LT(subIndex, subs.size());
            last = subs[subIndex++];
            EXPECT_EQ(keyIDHex(last), r[4]);
            EXPECT_EQ(std::to_string(qelKeyObjCreation(last)), r[5]);
            EXPECT_EQ(std::to_string(qelKeyObjKeyInfo(last)->algorithm), r[3]);
            EXPECT_EQ(qelKeyObjTopKey(last), key);
        } else if (type == "fpr") {
            ASSERT_NE(last, nullptr);
            EXPECT_EQ(fingerprintOf(last), r[9]);
        } else if (type == "uid") {
            expectedUIDs.insert(r[9]);
        } else if (type == "uat") {
            ++expectedAttributes;
        }
    }
    EXPECT_EQ(keyIndex, keys.size());
    EXPECT_EQ(actualUIDs, expectedUIDs);
    EXPECT_EQ(actualAttributes, expectedAttributes);
}

std::size_t countLines(const std::string &file, const std::string &prefix)
{
    std::ifstream in(dataPath(file));
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.rfind(prefix, 0) == 0;
    return n;
}

std::size_t countSignatures(QELKeyDB *db)
{
    std::size_t n = 0;
    for (QELKeyObject *k : liveKeys(db))
        for (QELKeyObject *c = k->firstChild; c; c = c->next) {
            if (!qelKeyObjIsLive(c))
                continue;
            n += qelKeyObjType(c) == QELObjectType_Signature;
            for (QELKeyObject *g = c->firstChild; g; g = g->next)
                n += qelKeyObjIsLive(g) && qelKeyObjType(g) == QELObjectType_Signature;
        }
    return n;
}

TEST_F(KeyRingTest, PublicRingAgreesWithGnuPG)
{
    QELStatus s = -1;
    QELKeyDB *db = openBuffer(readFile(dataPath("public.gpg")), &s);
    ASSERT_EQ(s, 0);
    ASSERT_NE(db, nullptr);
    expectMatchesListing(db, "public.colons", false);
    EXPECT_EQ(countSignatures(db), countLines("public.packets", ":signature packet:"));
    std::uint32_t count = 0;
    ASSERT_EQ(qelKeyDBCountKeys(db, &count), 0);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

TEST_F(KeyRingTest, SecretRingAgreesWithGnuPG)
{
    QELStatus s = -1;
    QELKeyDB *db = openBuffer(readFile(dataPath("secret.gpg")), &s);
    ASSERT_EQ(s, 0);
    expectMatchesListing(db, "secret.colons", true);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

TEST_F(KeyRingTest, SignaturesNameTheirSignersAndPlaceholdersStandForUnknownOnes)
{
    QELKeyDB *db = openBuffer(readFile(dataPath("public.gpg")));
    ASSERT_NE(db, nullptr);
    std::map<std::string, QELKeyObject *> byID;
    for (QELKeyObject *k : liveKeys(db))
        byID[keyIDHex(k)] = k;
    std::size_t signed_ = 0;
    for (QELKeyObject *k : liveKeys(db))
        for (QELKeyObject *u : liveChildren(k, QELObjectType_UserID))
            for (QELKeyObject *sig : liveChildren(u, QELObjectType_Signature)) {
                QELKeyObject *signer = qelSigSigner(sig);
                ASSERT_NE(signer, nullptr);
                EXPECT_FALSE(qelKeyObjIsPlaceholder(signer)); // every signer is in the ring
                signed_ += signer != k;
            }
    EXPECT_EQ(signed_, 3u); // the three certifications by other keys
    // Reading the same ring again adds nothing.
    std::vector<std::uint8_t> bytes = readFile(dataPath("public.gpg"));
    QELFileObject *file = qelFileObjOpenMemory(ctx, bytes.data(), bytes.size());
    std::size_t before = countSignatures(db);
    ASSERT_EQ(qelKeyRingRead(db, file, false), 0);
    static_cast<void>(file->close(file));
    EXPECT_EQ(countSignatures(db), before);
    EXPECT_EQ(liveKeys(db).size(), 4u);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

TEST_F(KeyRingTest, FindsKeysByEightAndFourByteIDs)
{
    QELKeyDB *db = openBuffer(readFile(dataPath("secret.gpg")));
    ASSERT_NE(db, nullptr);
    for (QELKeyObject *k : liveKeys(db)) {
        std::vector<QELKeyObject *> objects = liveChildren(k, QELObjectType_SubKey);
        objects.push_back(k);
        for (QELKeyObject *o : objects) {
            QELKeyID full{}, shortID{};
            ASSERT_EQ(qelKeyIDFromKey(o, &full), 0);
            qelKeyObjGetShortKeyID(o, nullptr, &shortID);
            QELKeyObject *found = nullptr;
            EXPECT_EQ(qelKeyDBFindKeyByIDLocal(db, &full, false, false, &found), 0);
            EXPECT_EQ(found, o);
            EXPECT_EQ(qelKeyDBFindKeyByIDLocal(db, &shortID, false, false, &found), 0);
            EXPECT_EQ(found, o);
        }
        QELKeyID any{};
        ASSERT_EQ(qelKeyIDFromData(qelKeyObjKeyInfo(k)->keyID, 8, 255, &any), 0);
        QELKeyObject *found = nullptr;
        EXPECT_EQ(qelKeyDBFindKey(db, &any, &found), 0);
        EXPECT_EQ(found, k);
        QELKeyID wrongAlgorithm = any;
        wrongAlgorithm.algorithm = 99;
        EXPECT_EQ(qelKeyDBFindKey(db, &wrongAlgorithm, &found), QELError_ItemNotFound);
        EXPECT_EQ(found, nullptr);
    }
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

// Thousands of keys (the index grows many times): IDs sharing their low
// four bytes, and keys sharing all eight, are found in arrival order.
TEST_F(KeyRingTest, IndexOfManyKeysKeepsArrivalOrder)
{
    QELKeyDB *db = nullptr;
    ASSERT_EQ(qelKeyDBNewInMemoryLocal(ctx, &db), 0);
    std::vector<QELKeyObject *> keys;
    for (std::uint32_t i = 0; i < 6000; ++i) {
        QELKeyObject *k = qelKeyObjAlloc(db, sizeof(QELKeyInfo));
        ASSERT_NE(k, nullptr);
        k->flags = QELKeyObjFlag_Key;
        QELKeyInfo *ki = qelKeyObjKeyInfo(k);
        ki->algorithm = 1;
        // Keys 2j and 2j+1 share the low four bytes; every 1000th repeats
        // the eight bytes of the key before it.
        const std::uint32_t high = i % 1000 == 999 ? i - 1 : i, low = i / 2 * 2654435761u;
        for (int b = 0; b < 4; ++b) {
            ki->keyID[b] = std::uint8_t(high >> (24 - 8 * b));
            ki->keyID[4 + b] = std::uint8_t((i % 1000 == 999 ? (i - 1) / 2 * 2654435761u : low) >> (24 - 8 * b));
        }
        qelKeyDBAppendKey(db, k);
        ASSERT_EQ(qelKeyIDTreeInsert(k, db), 0);
        keys.push_back(k);
    }
    for (std::uint32_t i = 0; i < keys.size(); ++i) {
        QELKeyID full{}, shortID{};
        qelKeyObjGetKeyID(keys[i], nullptr, &full);
        qelKeyObjGetShortKeyID(keys[i], nullptr, &shortID);
        QELKeyObject *found = nullptr;
        ASSERT_EQ(qelKeyDBFindKeyByIDLocal(db, &full, false, false, &found), 0);
        EXPECT_EQ(found, keys[i % 1000 == 999 ? i - 1 : i]) << i;
        ASSERT_EQ(qelKeyDBFindKeyByIDLocal(db, &shortID, false, false, &found), 0);
        EXPECT_EQ(found, keys[(i % 1000 == 999 ? i - 1 : i) / 2 * 2]) << i;
    }
    QELKeyID absent{};
    std::uint8_t none[8] = {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4};
    ASSERT_EQ(qelKeyIDFromData(none, 8, 1, &absent), 0);
    QELKeyObject *found = nullptr;
    EXPECT_EQ(qelKeyDBFindKeyByIDLocal(db, &absent, true, true, &found), QELError_ItemNotFound);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

// Whoever makes a ring chooses the IDs of its old keys: a ring of keys that
// all share one ID must still load in linear time (each key joins its chain
// in one step) and keep arrival order along the chain.
TEST_F(KeyRingTest, KeysSharingOneIDJoinTheirChainInArrivalOrder)
{
    QELKeyDB *db = nullptr;
    ASSERT_EQ(qelKeyDBNewInMemoryLocal(ctx, &db), 0);
    constexpr int kKeys = 100000; // quadratic joining would take minutes here
    std::vector<QELKeyObject *> keys;
    for (int i = 0; i < kKeys; ++i) {
        QELKeyObject *k = qelKeyObjAlloc(db, sizeof(QELKeyInfo));
        ASSERT_NE(k, nullptr);
        k->flags = QELKeyObjFlag_Key;
        QELKeyInfo *ki = qelKeyObjKeyInfo(k);
        ki->algorithm = 1;
        for (int b = 0; b < 8; ++b)
            ki->keyID[b] = std::uint8_t(0xA0 + b);
        qelKeyDBAppendKey(db, k);
        ASSERT_EQ(qelKeyIDTreeInsert(k, db), 0);
        keys.push_back(k);
    }
    QELKeyID full{}, shortID{};
    qelKeyObjGetKeyID(keys.back(), nullptr, &full);
    qelKeyObjGetShortKeyID(keys.back(), nullptr, &shortID);
    QELKeyObject *found = nullptr;
    ASSERT_EQ(qelKeyDBFindKeyByIDLocal(db, &full, false, false, &found), 0);
    EXPECT_EQ(found, keys.front());
    ASSERT_EQ(qelKeyDBFindKeyByIDLocal(db, &shortID, false, false, &found), 0);
    EXPECT_EQ(found, keys.front());
    // Each chain runs through every key in arrival order and closes on the first.
    for (QELKeyObject *QELKeyInfo::*link : {&QELKeyInfo::sameID, &QELKeyInfo::sameShortID})
        for (std::size_t i = 0; i < keys.size(); ++i)
            ASSERT_EQ(qelKeyObjKeyInfo(keys[i])->*link, keys[(i + 1) % keys.size()]) << i;
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

TEST_F(KeyRingTest, PublicAndSecretRingsMergeIntoOneKeyEach)
{
    QELKeyDB *db = openBuffer(readFile(dataPath("secret.gpg")));
    ASSERT_NE(db, nullptr);
    std::vector<std::uint8_t> pub = readFile(dataPath("public.gpg"));
    QELFileObject *file = qelFileObjOpenMemory(ctx, pub.data(), pub.size());
    ASSERT_EQ(qelKeyRingRead(db, file, false), 0);
    static_cast<void>(file->close(file));
    EXPECT_EQ(liveKeys(db).size(), 4u);
    for (QELKeyObject *k : liveKeys(db))
        EXPECT_TRUE(qelKeyObjIsSecret(k));
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

TEST_F(KeyRingTest, RevokedKeyAndUserIDCarryTheirRevocations)
{
    QELKeyDB *db = openBuffer(readFile(dataPath("public.gpg")));
    ASSERT_NE(db, nullptr);
    std::vector<QELKeyObject *> keys = liveKeys(db);
    ASSERT_EQ(keys.size(), 4u);
    auto hasSig = [](QELKeyObject *o, std::uint8_t type) {
        for (QELKeyObject *s : liveChildren(o, QELObjectType_Signature))
            if (qelSigType(s) == type)
                return true;
        return false;
    };
    EXPECT_TRUE(hasSig(keys[0], 0x20));   // the revoked key
    EXPECT_TRUE(hasSig(keys[2], 0x1F));   // the designated revoker
    bool revokedUID = false;
    for (QELKeyObject *u : liveChildren(keys[2], QELObjectType_UserID))
        revokedUID = revokedUID || hasSig(u, 0x30);
    EXPECT_TRUE(revokedUID);
    // The expired subkey expires a day after its creation.
    bool expired = false;
    for (QELKeyObject *s : liveChildren(keys[2], QELObjectType_SubKey)) {
        for (QELKeyObject *b : liveChildren(s, QELObjectType_Signature)) {
            std::size_t n = 0;
            const std::uint8_t *p = qelKeyObjRawPacket(b, &n);
            std::uint32_t len = 0;
            const std::uint8_t *d = qelSigSubpacketFind(p, n, 9, 0, &len, nullptr, nullptr, nullptr, nullptr);
            expired = expired || (d != nullptr && len == 4 && d[2] == 0x51 && d[3] == 0x80);
        }
    }
    EXPECT_TRUE(expired); // 86400 seconds
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

// A signature whose first MPI's bit count does not fit its top octet is
// kept: it reads as checked and not valid, and a commit writes the ring back
// unchanged instead of losing the packet (GnuPG keeps it too, as "sig-").
TEST_F(KeyRingTest, SignatureWithABadBitCountIsKeptAndWrittenBack)
{
    std::vector<std::uint8_t> ring = readFile(dataPath("sigmake-public.gpg"));
    ASSERT_FALSE(ring.empty());
    // Bob's self-signature, found in the ring by its body. GnuPG gave it a
    // one-octet length, which the reader widens to two octets for an RSA
    // signature: the ring starts out in that form here.
    std::size_t sigAt = 0;
    {
        QELKeyDB *plain = openOwned(ring);
        ASSERT_NE(plain, nullptr);
        QELKeyObject *uid = liveChildren(liveKeys(plain).at(0), QELObjectType_UserID).at(0);
        std::size_t n = 0;
        const std::uint8_t *p = qelKeyObjRawPacket(liveChildren(uid, QELObjectType_Signature).at(0), &n);
        const std::size_t h = qelPacketHeaderSize(p, n);
        auto it = std::search(ring.begin(), ring.end(), p + h, p + n);
        ASSERT_NE(it, ring.end());
        sigAt = std::size_t(it - ring.begin());
        if (ring[sigAt - 2] == 0x88) {
            ring[sigAt - 2] = 0x89;
            ring.insert(ring.begin() + std::ptrdiff_t(sigAt - 1), 0);
            ++sigAt;
        }
        ASSERT_TRUE(std::equal(p, p + n, ring.begin() + std::ptrdiff_t(sigAt - h)));
    }
    std::uint8_t *b = ring.data() + sigAt;
    ASSERT_EQ(b[0], 4);
    ASSERT_EQ(b[2], 1);
    const std::size_t hashed = (std::size_t(b[4]) << 8) | b[5];
    const std::size_t unhashed = (std::size_t(b[6 + hashed]) << 8) | b[7 + hashed];
    std::uint8_t *mpi = b + 10 + hashed + unhashed;
    std::uint16_t bits = std::uint16_t((mpi[0] << 8) | mpi[1]);
    // One bit fewer in the same number of octets: the top octet no longer fits.
    ASSERT_NE(bits % 8, 1);
    --bits;
    mpi[0] = std::uint8_t(bits >> 8);
    mpi[1] = std::uint8_t(bits);

    qeltest::TempDir dir("qelbadmpi");
    const std::string path = dir / "pubring.pkr";
    qeltest::writeFile(path, std::string(ring.begin(), ring.end()));
    QELFileSpec *spec = nullptr;
    ASSERT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(ctx), path.c_str(), &spec), QELError_NoErr);
    QELStatus s = 0;
    QELKeyDB *db = qelKeyDBOpenRingFiles(ctx, spec, nullptr, QELKeyDBOpen_Writable, &s);
    ASSERT_NE(db, nullptr) << s;
    std::vector<QELKeyObject *> keys = liveKeys(db);
    ASSERT_EQ(keys.size(), 1u);
    QELKeyObject *uid = liveChildren(keys[0], QELObjectType_UserID).at(0);
    std::vector<QELKeyObject *> sigs = liveChildren(uid, QELObjectType_Signature);
    ASSERT_EQ(sigs.size(), 1u);
    EXPECT_EQ(qelKeyObjSigInfo(sigs[0])->state & 0x60, QELSigState_Checked);
    std::uint8_t found = 0, changed = 0, valid = 9;
    ASSERT_EQ(qelKeySigCheckOne(db, sigs[0], nullptr, true, false, &found, &changed, &valid), QELError_NoErr);
    EXPECT_EQ(valid, 0);
    qelKeyDBMarkChanged(db, false);
    ASSERT_EQ(qelKeyDBCommit(db), QELError_NoErr);
    // The commit adds trust packets; every other packet is written back as read.
    const std::string written = qeltest::readFile(path);
    std::string withoutTrust;
    for (std::size_t at = 0; at < written.size();) {
        const auto *p = reinterpret_cast<const std::uint8_t *>(written.data()) + at;
        const std::size_t h = qelPacketHeaderSize(p, written.size() - at);
        ASSERT_TRUE(h == 2 || h == 3) << at; // old-format one- or two-octet lengths
        const std::size_t body = h == 2 ? p[1] : (std::size_t(p[1]) << 8) | p[2];
        ASSERT_LE(at + h + body, written.size());
        if (qelPacketTag(p[0]) != 12)
            withoutTrust.append(written, at, h + body);
        at += h + body;
    }
    EXPECT_EQ(withoutTrust, std::string(ring.begin(), ring.end()));
    EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
    static_cast<void>(qelKeyDBCloseUnreferencedLocal(ctx));
    static_cast<void>(qelFileSpecFree(spec)); // test cleanup
}

} // namespace
