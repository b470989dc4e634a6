// Rings are read without loss: a read error fails the open, packets the key
// code cannot use (GnuPG's Ed25519 and Curve25519 keys, a version 5 key,
// packets before the first key) come back byte for byte on commit, keys are
// told apart by their whole public key, expiry counts in seconds, the key
// chosen to encrypt to honours revocation and key flags, and a photo ID of
// several megabytes opens.
#include "keys_fixture.h"

#include "qelFileSpecInternal.h"
#include "qelKeyMan.h"
#include "qelKeyProperty.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySigInternal.h"
#include "qelPkAlg.h"
#include "qelTimeDate.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace keystest;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bool contains(const Bytes &hay, const Bytes &needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// The packets of a ring as they stand in it, headers included.
std::vector<Bytes> packetsOf(const Bytes &ring)
{
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < ring.size();) {
        const std::size_t h = qelPacketHeaderSize(ring.data() + i, ring.size() - i);
        std::uint64_t n = 0;
        const std::uint8_t first = ring[i];
        if ((first & 0xC0) == 0x80) {
            for (std::size_t k = 1; k < h; ++k)
                n = (n << 8) | ring[i + k];
        } else {
            const std::uint8_t o = ring[i + 1];
            n = o < 192 ? o : o == 255 ? (std::uint64_t(ring[i + 2]) << 24) | (ring[i + 3] << 16) | (ring[i + 4] << 8) | ring[i + 5]
                                       : (std::uint64_t(o - 192) << 8) + ring[i + 2] + 192;
        }
        out.emplace_back(ring.begin() + std::ptrdiff_t(i), ring.begin() + std::ptrdiff_t(i + h + n));
        i += h + std::size_t(n);
    }
    return out;
}

std::string run(const std::string &command)
{
    std::string out;
    FILE *p = ::popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

bool haveGnuPG() { return std::system("gpg --version >/dev/null 2>&1") == 0; }

class KeyRingLossless : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        char tmpl[] = "/tmp/qelloslessXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        static_cast<void>(qelKeyDBCloseUnreferencedLocal(ctx));
        for (QELFileSpec *spec : specs)
            static_cast<void>(qelFileSpecFree(spec));
        ContextTest::TearDown();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    QELFileSpec *spec(const std::string &name, const Bytes &content)
    {
        const std::string path = dir + "/" + name;
        FILE *f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f != nullptr) {
            EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
            std::fclose(f);
        }
        QELFileSpec *s = nullptr;
        EXPECT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(ctx), path.c_str(), &s), 0);
        specs.push_back(s);
        return s;
    }
    // Opens the rings writable, marks the database changed, commits and
    // releases it; the rings' bytes afterwards.
    std::pair<Bytes, Bytes> commitUnchanged(const Bytes &pub, const Bytes &sec)
    {
        QELFileSpec *p = spec("pubring.pkr", pub);
        QELFileSpec *s = sec.empty() ? nullptr : spec("secring.skr", sec);
        QELStatus status = 0;
        QELKeyDB *db = qelKeyDBOpenRingFiles(ctx, p, s, QELKeyDBOpen_Writable, &status);
        EXPECT_EQ(status, QELError_NoErr);
        if (db == nullptr)
            return {};
        qelKeyDBMarkChanged(db, false);
        EXPECT_EQ(qelKeyDBCommit(db), QELError_NoErr);
        EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
        return {readFile(dir + "/pubring.pkr"), sec.empty() ? Bytes() : readFile(dir + "/secring.skr")};
    }
    // gpg's listing of the keys (pub, sub, uid and fpr records, no dates of
    // its own trust database) after importing the ring into a new home.
    std::string gpgListing(const Bytes &ring, const std::string &name)
    {
        const std::string home = dir + "/gnupg-" + name;
        fs::create_directory(home);
        ::chmod(home.c_str(), 0700);
        const std::string file = dir + "/" + name + ".gpg";
        FILE *f = std::fopen(file.c_str(), "wb");
        std::fwrite(ring.data(), 1, ring.size(), f);
        std::fclose(f);
        const std::string g = "gpg --homedir " + home + " --batch --pinentry-mode loopback ";
        run(g + "--import " + file + " >/dev/null 2>&1");
        std::string listing = run(g + "--with-colons --fixed-list-mode --list-keys 2>/dev/null");
        run("gpgconf --homedir " + home + " --kill all >/dev/null 2>&1");
        std::string kept;
        std::stringstream ss(listing);
        for (std::string line; std::getline(ss, line);)
            if (line.rfind("pub:", 0) == 0 || line.rfind("sub:", 0) == 0 || line.rfind("uid:", 0) == 0 ||
                line.rfind("fpr:", 0) == 0)
                kept += line + "\n";
        return kept;
    }

    std::string dir;
    std::vector<QELFileSpec *> specs;
};

// ---- read errors -------------------------------------------------------------------------

TEST_F(KeyRingLossless, AStrayFirstOctetFailsTheOpenAndLeavesTheRingAlone)
{
    const Bytes ring = readFile(dataPath("public.gpg"));
    ASSERT_FALSE(ring.empty());
    for (const Bytes &bad : {concat({{0x00}, ring}), concat({{0x3F}, ring}), Bytes{0xC6, 0xC5}}) {
        QELStatus status = 0;
        EXPECT_EQ(openBuffer(bad, &status), nullptr);
        EXPECT_LT(status, 0);
    }
    // Over a ring file: the open fails and the file is not touched.
    const Bytes bad = concat({{0x00}, ring});
    QELFileSpec *p = spec("pubring.pkr", bad);
    QELStatus status = 0;
    EXPECT_EQ(qelKeyDBOpenRingFiles(ctx, p, nullptr, QELKeyDBOpen_Writable, &status), nullptr);
    EXPECT_EQ(status, QELError_BadPacketFormat);
    EXPECT_EQ(readFile(dir + "/pubring.pkr"), bad);
}

TEST_F(KeyRingLossless, PacketsBeforeTheFirstKeyComeBackInTheirPlace)
{
    const Bytes marker = {0xA8, 0x03, 'P', 'G', 'P'}; // tag 10
    const Bytes ring = readFile(dataPath("public.gpg"));
    const Bytes withMarker = concat({marker, ring});
    QELKeyDB *db = openOwned(withMarker);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(liveKeys(db).size(), 4u) << "the marker is no key";
    const auto [pub, sec] = commitUnchanged(withMarker, {});
    ASSERT_GE(pub.size(), marker.size());
    EXPECT_TRUE(std::equal(marker.begin(), marker.end(), pub.begin()));
}

// ---- keys of algorithms and versions this code does not know --------------------------

TEST_F(KeyRingLossless, GnuPGEd25519AndVersionFiveKeysRoundTripByteForByte)
{
    const Bytes pub = readFile(dataPath("unusable.gpg"));
    const Bytes sec = readFile(dataPath("unusable_secret.gpg"));
    ASSERT_FALSE(pub.empty());
    ASSERT_FALSE(sec.empty());
    // Listed, but serving nothing.
    QELKeyDB *db = openOwned(pub);
    ASSERT_NE(db, nullptr);
    auto keys = liveKeys(db);
    ASSERT_EQ(keys.size(), 2u);
    const auto listing = colons("unusable.colons");
    std::string edID;
    for (const auto &r : listing)
        if (!r.empty() && r[0] == "pub")
            edID = r[4];
    EXPECT_EQ(keyIDHex(keys[0]), edID);
    EXPECT_EQ(qelKeyObjKeyInfo(keys[0])->algorithm, 22);
    EXPECT_EQ(qelKeyObjKeyInfo(keys[1])->algorithm, 1) << "an RSA key, but of version 5";
    QELKeyID id{};
    qelKeyObjGetKeyID(keys[0], nullptr, &id);
    QELKeyObject *found = nullptr;
    EXPECT_EQ(qelKeyDBFindKey(db, &id, &found), QELError_NoErr);
    EXPECT_EQ(found, keys[0]);
    for (QELKeyObject *k : keys) {
        EXPECT_TRUE(qelKeyObjIsOpaque(k));
        EXPECT_FALSE(qelKeyObjCanServe(k, QELKeyRole_Encrypt));
        EXPECT_FALSE(qelKeyObjCanServe(k, QELKeyRole_Sign));
        EXPECT_EQ(qelKeyObjPublicOps(k, QELKeyRole_Encrypt), nullptr);
        EXPECT_EQ(qelKeyObjSecretOps(k, QELKeyRole_Sign), nullptr);
        std::uint8_t *out = nullptr;
        std::size_t n = 0;
        EXPECT_EQ(qelKeyObjEncrypt(k, reinterpret_cast<const std::uint8_t *>("x"), 1, QELPkFormat_RFC4880, &out, &n),
                  QELError_KeyUnusableForEncryption);
    }
    // Opened over both rings and committed: both come back as they were.
    const auto [pubAfter, secAfter] = commitUnchanged(pub, sec);
    EXPECT_EQ(pubAfter, pub);
    EXPECT_EQ(secAfter, sec);
    // Deleted, such a key leaves both rings, its public copy too.
    {
        QELStatus status = 0;
        QELKeyDB *files = qelKeyDBOpenRingFiles(ctx, specs[0], specs[1], QELKeyDBOpen_Writable, &status);
        ASSERT_NE(files, nullptr);
        auto listed = liveKeys(files);
        ASSERT_EQ(listed.size(), 2u) << "the Ed25519 key once, the version 5 key";
        EXPECT_TRUE(qelKeyObjIsSecret(listed[0]));
        ASSERT_EQ(qelKeyObjMarkDeleted(listed[0]), QELError_NoErr);
        qelKeyDBMarkChanged(files, false);
        EXPECT_EQ(qelKeyDBCommit(files), QELError_NoErr);
        EXPECT_EQ(qelKeyDBRelease(files), QELError_NoErr);
        const auto v5 = packetsOf(pub);
        EXPECT_EQ(readFile(dir + "/pubring.pkr"), concat({v5[v5.size() - 2], v5.back()}));
        EXPECT_TRUE(readFile(dir + "/secring.skr").empty());
    }
    if (!haveGnuPG())
        GTEST_SKIP() << "gpg is not installed";
    EXPECT_EQ(gpgListing(pubAfter, "after"), gpgListing(pub, "before"));
}

TEST_F(KeyRingLossless, UnusableKeysAmongUsableOnesKeepEveryPacket)
{
    const Bytes known = readFile(dataPath("public.gpg"));
    const Bytes unusable = readFile(dataPath("unusable.gpg"));
    const Bytes mixed = concat({known, unusable});
    const auto [after, unused] = commitUnchanged(mixed, {});
    // The unusable keys' packets, in their order, byte for byte.
    EXPECT_TRUE(contains(after, unusable));
    // Every packet of the usable keys too (a short RSA signature may come
    // back under a two-octet length: its body is what counts).
    for (const Bytes &packet : packetsOf(known)) {
        const std::size_t h = qelPacketHeaderSize(packet.data(), packet.size());
        if (qelPacketTag(packet[0]) != 12) {
            EXPECT_TRUE(contains(after, Bytes(packet.begin() + std::ptrdiff_t(h), packet.end())))
                << "tag " << qelPacketTag(packet[0]) << " of " << packet.size();
        }
    }
    if (!haveGnuPG())
        GTEST_SKIP() << "gpg is not installed";
    EXPECT_EQ(gpgListing(after, "after"), gpgListing(mixed, "before"));
}

// ---- key identity ----------------------------------------------------------------------

// The primary key of the second key is the first key's subkey: the same
// material, so the same key ID. It is a key of its own with its user ID.
TEST_F(KeyRingLossless, APrimaryEqualToAnotherKeysSubkeyIsAKeyOfItsOwn)
{
    const Bytes ring = readFile(dataPath("public.gpg"));
    const auto packets = packetsOf(ring);
    Bytes subkey;
    for (const Bytes &p : packets)
        if (qelPacketTag(p[0]) == 14 && subkey.empty())
            subkey = p;
    ASSERT_FALSE(subkey.empty());
    Bytes asPrimary = subkey;
    asPrimary[0] = std::uint8_t((asPrimary[0] & 0x03) | 0x98); // old format, tag 6, same length type
    const std::string name = "Twin <twin@example.org>";
    Bytes uid = {0xB4, std::uint8_t(name.size())};
    uid.insert(uid.end(), name.begin(), name.end());
    QELKeyDB *db = openOwned(concat({ring, asPrimary, uid}));
    ASSERT_NE(db, nullptr);
    auto keys = liveKeys(db);
    ASSERT_EQ(keys.size(), 5u);
    QELKeyObject *twin = keys.back();
    EXPECT_EQ(liveChildren(twin, QELObjectType_UserID).size(), 1u);
    QELKeyObject *sub = nullptr;
    for (QELKeyObject *k : keys)
        for (QELKeyObject *s : liveChildren(k, QELObjectType_SubKey))
            if (keyIDHex(s) == keyIDHex(twin))
                sub = s;
    ASSERT_NE(sub, nullptr);
    EXPECT_NE(sub, twin);
    EXPECT_EQ(liveChildren(sub, QELObjectType_UserID).size(), 0u);
    EXPECT_EQ(qelKeyObjType(sub), QELObjectType_SubKey);
}

// A version 3 key forged to another's key ID (the low 64 bits of its
// modulus) never takes the packets of the real one, nor gives it its own.
TEST_F(KeyRingLossless, AForgedVersionThreeKeyIDFoldsNothingIntoTheRealKey)
{
    const Bytes real = readFile(dataPath("keyuse_v3.gpg"));
    const auto packets = packetsOf(real);
    ASSERT_EQ(packets.size(), 2u);
    Bytes forged = packets[0];
    forged[forged.size() / 2] ^= 0x5A; // inside n, far from its low 64 bits
    const std::string name = "Forger <forger@example.org>";
    Bytes uid = {0xB4, std::uint8_t(name.size())};
    uid.insert(uid.end(), name.begin(), name.end());
    QELKeyDB *db = openOwned(concat({real, forged, uid}));
    ASSERT_NE(db, nullptr);
    auto keys = liveKeys(db);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keyIDHex(keys[0]), keyIDHex(keys[1]));
    for (QELKeyObject *k : keys) {
        auto uids = liveChildren(k, QELObjectType_UserID);
        ASSERT_EQ(uids.size(), 1u);
        std::size_t n = 0;
        const std::uint8_t *text = qelUserIDText(uids[0], &n);
        const bool isForger = std::string(reinterpret_cast<const char *>(text), n) == name;
        EXPECT_EQ(isForger, k == keys[1]);
    }
}

// ---- expiry ----------------------------------------------------------------------------

TEST_F(KeyRingLossless, AnExpiryTwelveHoursAfterCreationIsExactToTheSecond)
{
    QELKeyDB *db = openOwned(readFile(dataPath("keyuse.gpg")));
    ASSERT_NE(db, nullptr);
    QELKeyObject *half = keyWithUserID(db, "half@example.org");
    ASSERT_NE(half, nullptr);
    // The newest valid self-signature gives the expiry once checked.
    for (QELKeyObject *u : liveChildren(half, QELObjectType_UserID)) {
        for (QELKeyObject *s : liveChildren(u, QELObjectType_Signature)) {
            ASSERT_EQ(qelKeySigCheckOne(db, s, nullptr, true, false, nullptr, nullptr, nullptr), QELError_NoErr);
        }
    }
    const std::uint32_t created = qelKeyObjCreation(half);
    std::uint32_t listed = 0;
    for (const auto &r : colons("keyuse.colons"))
        if (r.size() > 6 && r[0] == "pub" && r[4] == keyIDHex(half))
            listed = std::uint32_t(std::stoul(r[6]));
    EXPECT_EQ(listed, created + 43200) << "GnuPG's listing";
    EXPECT_EQ(qelKeyObjExpiration(half), created + 43200);
    EXPECT_FALSE(qelKeyObjHasExpired(half, created + 43199));
    EXPECT_TRUE(qelKeyObjHasExpired(half, created + 43200));
    EXPECT_EQ(qelKeyObjKeyInfo(half)->validityDays, 1) << "less than a day is not never";
}

// ---- the key chosen to encrypt to ---------------------------------------------------------

TEST_F(KeyRingLossless, ASignOnlyKeyAndARevokedKeyAreNotEncryptedTo)
{
    QELKeyDB *db = openOwned(readFile(dataPath("chooser.gpg")));
    ASSERT_NE(db, nullptr);
    auto keys = liveKeys(db);
    ASSERT_EQ(keys.size(), 2u);
    QELKeyObject *revoked = keyWithUserID(db, "revenc@example.org");
    QELKeyObject *signOnly = keyWithUserID(db, "signonly@example.org");
    ASSERT_TRUE(revoked && signOnly);
    for (QELKeyObject *k : {revoked, signOnly}) {
        EXPECT_EQ(qelKeyObjKeyInfo(k)->algorithm, 1);
        std::uint8_t *out = nullptr;
        std::size_t n = 0;
        const std::uint8_t data[] = {1, 2, 3};
        EXPECT_EQ(qelKeyObjEncrypt(k, data, sizeof data, QELPkFormat_RFC4880, &out, &n),
                  QELError_KeyUnusableForEncryption);
        EXPECT_EQ(out, nullptr);
        if (out != nullptr) {
            EXPECT_EQ(qelContextMemFree(ctx, out), QELError_NoErr);
        }
        EXPECT_FALSE(qelKeyObjCanServe(k, QELKeyRole_Encrypt));
        std::uint8_t canEncrypt = 1;
        EXPECT_EQ(qelKeyObjGetBoolProperty(k, QELProperty_CanEncrypt, &canEncrypt), QELError_NoErr);
        EXPECT_EQ(canEncrypt, 0);
    }
    // The sign-only key still signs; the revoked one does not.
    EXPECT_TRUE(qelKeyObjCanServe(signOnly, QELKeyRole_Sign));
    EXPECT_FALSE(qelKeyObjCanServe(revoked, QELKeyRole_Sign));
}

// ---- large packets -----------------------------------------------------------------------

TEST_F(KeyRingLossless, APhotoIDOfSeveralMegabytesOpensAndIsWrittenBack)
{
    const Bytes ring = readFile(dataPath("public.gpg"));
    const auto packets = packetsOf(ring);
    // The first key with its user ID, then a user attribute holding one
    // image subpacket of 3 MiB (five-octet lengths throughout).
    const std::size_t image = std::size_t(3) << 20;
    Bytes attribute = {0xD1, 0xFF};
    const std::uint32_t body = std::uint32_t(image + 6 + 16);
    for (int s = 24; s >= 0; s -= 8)
        attribute.push_back(std::uint8_t(body >> s));
    const std::uint32_t sub = std::uint32_t(image + 16 + 1);
    attribute.push_back(0xFF);
    for (int s = 24; s >= 0; s -= 8)
        attribute.push_back(std::uint8_t(sub >> s));
    attribute.push_back(1); // image
    const Bytes jpegHeader = {0x10, 0x00, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    attribute.insert(attribute.end(), jpegHeader.begin(), jpegHeader.end());
    for (std::size_t i = 0; i < image; ++i)
        attribute.push_back(std::uint8_t(i * 131));
    Bytes first;
    for (const Bytes &p : packets) {
        if (qelPacketTag(p[0]) == 6 && !first.empty())
            break;
        first.insert(first.end(), p.begin(), p.end());
    }
    const Bytes withPhoto = concat({first, attribute});
    QELKeyDB *db = openOwned(withPhoto);
    ASSERT_NE(db, nullptr);
    auto keys = liveKeys(db);
    ASSERT_EQ(keys.size(), 1u);
    QELKeyObject *photo = nullptr;
    for (QELKeyObject *u : liveChildren(keys[0], QELObjectType_UserID))
        if (qelUserIDIsAttribute(u))
            photo = u;
    ASSERT_NE(photo, nullptr);
    EXPECT_EQ(qelUserIDAttributeCount(photo), 1u);
    std::uint8_t type = 0;
    std::uint32_t length = 0;
    EXPECT_NE(qelUserIDAttribute(photo, 0, &type, &length, nullptr), nullptr);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(length, image + 16);
    const auto [after, unused] = commitUnchanged(withPhoto, {});
    EXPECT_TRUE(contains(after, attribute));
    // Past the cap a packet is refused before anything is read for it.
    const Bytes huge = {0xD1, 0xFF, 0x01, 0x00, 0x00, 0x01};
    QELStatus status = 0;
    EXPECT_EQ(openBuffer(concat({first, huge}), &status), nullptr);
    EXPECT_EQ(status, QELError_PacketTooLarge);
}

} // namespace
