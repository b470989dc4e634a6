// Signatures made over key material with a key object's own (pass-phrase
// protected) secret: self-certifications of a new user ID and a user
// attribute, certifications of another key, a subkey binding. Each is good
// here and `sig!` in GnuPG after an import of the written ring.
#include "keys_fixture.h"

#include "qelHash.h"
#include "qelKeyIOInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySigInternal.h"
#include "qelSigBuildInternal.h"
#include "qelSigItemInternal.h"
#include "qelSigSpecInternal.h"

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <tuple>

namespace {

using namespace keystest;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kMadeAt = 1700005000;

std::map<std::string, std::string> fixtureFacts()
{
    std::map<std::string, std::string> facts;
    std::ifstream in(dataPath("sigmake.txt"));
    for (std::string line; std::getline(in, line);) {
        const auto space = line.find(' ');
        if (space != std::string::npos)
            facts[line.substr(0, space)] = line.substr(space + 1);
    }
    return facts;
}

class SigMake : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        facts_ = fixtureFacts();
        secret_ = openOwned(readFile(dataPath("sigmake-secret.gpg")));
        public_ = openOwned(readFile(dataPath("sigmake-public.gpg")));
        ASSERT_NE(secret_, nullptr);
        ASSERT_NE(public_, nullptr);
        alice_ = keyOrSubKeyByID(secret_, facts_["alice"]);
        dave_ = keyOrSubKeyByID(secret_, facts_["dave"]);
        bob_ = keyOrSubKeyByID(public_, facts_["bob"]);
        ASSERT_NE(alice_, nullptr);
        ASSERT_NE(dave_, nullptr);
        ASSERT_NE(bob_, nullptr);
    }
    // A specification by `signer` with the fixture's pass phrase (or the one given).
    QELSigSpec *spec(QELKeyObject *signer, std::uint8_t type, std::uint32_t created,
                     const std::string *pass = nullptr)
    {
        QELSigSpec *s = qelSigSpecNew(qelContextGetSettings(ctx), signer, type);
        EXPECT_NE(s, nullptr);
        if (s == nullptr)
            return nullptr;
        const std::string &p = pass != nullptr ? *pass : facts_["pass"];
        EXPECT_EQ(qelSigSpecSetPassphrase(s, p.data(), p.size(), 0), QELError_NoErr);
        EXPECT_EQ(qelSigSpecSetCreation(s, created), QELError_NoErr);
        return s;
    }
    std::map<std::string, std::string> facts_;
    QELKeyDB *secret_ = nullptr;
    QELKeyDB *public_ = nullptr;
    QELKeyObject *alice_ = nullptr;
    QELKeyObject *dave_ = nullptr;
    QELKeyObject *bob_ = nullptr;
};

TEST_F(SigMake, SignaturesOverKeyMaterialAreGoodHereAndInGnuPG)
{
    const std::string uidText = "Alice Second <alice2@maker.example>";
    QELKeyObject *newUID =
        qelKeyAddUserIDPacket(alice_, reinterpret_cast<const std::uint8_t *>(uidText.data()), uidText.size());
    ASSERT_NE(newUID, nullptr);
    // An image attribute: 16-octet header (version 1, JPEG) and a tiny JPEG.
    Bytes image = {0x10, 0x00, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                   0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0, 0xFF, 0xD9};
    QELKeyObject *attribute = qelKeyAddUserAttributePacket(alice_, 1, image.data(), image.size());
    ASSERT_NE(attribute, nullptr);
    EXPECT_TRUE(qelUserIDIsAttribute(attribute));
    QELKeyObject *aliceSub = liveChildren(alice_, QELObjectType_SubKey).at(0);
    QELKeyObject *bobUID = liveChildren(bob_, QELObjectType_UserID).at(0);

    struct Case {
        const char *what;
        QELKeyObject *signer;
        QELKeyObject *target;
        std::uint8_t type;
        std::uint32_t version; // expected after the raise rule
        std::uint8_t hash;     // expected
    };
    const Case cases[] = {
        // Version 4 keys sign keys as version 4 over SHA-256 by default.
        {"self-certification of a new user ID", alice_, newUID, 0x13, 4, 8},
        {"self-certification of a user attribute", alice_, attribute, 0x13, 4, 8},
        {"subkey binding", alice_, aliceSub, 0x18, 4, 8},
        {"RSA certification of an RSA key", alice_, bobUID, 0x10, 4, 8},
        {"DSA-2048 certification (version 4, SHA-256)", dave_, bobUID, 0x12, 4, 8},
    };
    std::uint32_t created = kMadeAt;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QELSigSpec *s = spec(c.signer, c.type, ++created);
        ASSERT_NE(s, nullptr);
        if (c.type == 0x18) {
            const std::uint8_t flags = 0x0C;
            EXPECT_EQ(qelSigSpecSetKeyFlags(s, 0, &flags, 1), QELError_NoErr);
            EXPECT_EQ(qelSigSpecSetKeyExpiration(s, 0, 400 * 86400), QELError_NoErr);
        } else if (c.type == 0x13) {
            EXPECT_EQ(qelSigSpecSetPrimaryUserID(s, 0, 0), QELError_NoErr);
        }
        const std::size_t before = liveChildren(c.target, QELObjectType_Signature).size();
        ASSERT_EQ(qelKeyObjAddSignature(c.target, s), QELError_NoErr);
        EXPECT_EQ(qelSigSpecVersion(s), c.version);
        EXPECT_EQ(qelSigSpecHashAlgorithm(s), c.hash);
        qelSigSpecFreeList(s);
        std::vector<QELKeyObject *> sigs = liveChildren(c.target, QELObjectType_Signature);
        ASSERT_EQ(sigs.size(), before + 1);
        QELKeyObject *sig = sigs.back();
        EXPECT_EQ(qelKeyObjSigInfo(sig)->state, 0x66);
        EXPECT_EQ(qelSigCreation(sig), created);
        // Our own check agrees with the state it was given.
        QELKeyDB *signerDB = qelKeyObjKeyDB(c.signer);
        std::uint8_t found = 0, changed = 0, valid = 0;
        ASSERT_EQ(qelKeySigCheckOne(qelKeyObjKeyDB(c.target), sig, signerDB, true, false, &found, &changed, &valid),
                  QELError_NoErr);
        EXPECT_EQ(found, 1);
        EXPECT_EQ(valid, 1);
    }

    // GnuPG imports the written rings and finds every signature made here good.
    Bytes ring = ringBytes(secret_, true);
    const Bytes others = ringBytes(public_);
    ring.insert(ring.end(), others.begin(), others.end());
    qeltest::TempDir home("qelsigmake");
    qeltest::writeFile(home / "ring.gpg", std::string(ring.begin(), ring.end()));
    qeltest::writeFile(home / "gpg.conf", "allow-weak-key-signatures\n");
    const std::string gpg = "gpg --homedir " + home.path() + " --batch --pinentry-mode loopback --quiet --no-tty";
    static_cast<void>(std::system((gpg + " --import " + home / "ring.gpg" + " 2>/dev/null").c_str())); // listing below
    static_cast<void>(std::system(
        (gpg + " --with-colons --check-sigs > " + home / "sigs.txt" + " 2>/dev/null").c_str())); // listing below
    static_cast<void>(std::system(("gpgconf --homedir " + home.path() + " --kill all >/dev/null 2>&1").c_str()));
    const std::string listing = qeltest::readFile(home / "sigs.txt");
    int good = 0;
    std::stringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("sig:", 0) != 0)
            continue;
        for (std::uint32_t t = kMadeAt + 1; t <= created; ++t)
            if (line.find(":" + std::to_string(t) + ":") != std::string::npos) {
                EXPECT_EQ(line.rfind("sig:!:", 0), 0u) << line;
                ++good;
            }
    }
    EXPECT_EQ(good, int(std::size(cases))) << listing;
    EXPECT_NE(listing.find("uat:"), std::string::npos) << listing;
    EXPECT_NE(listing.find("alice2@maker.example"), std::string::npos) << listing;
}

TEST_F(SigMake, FailuresAddNothing)
{
    QELKeyObject *bobUID = liveChildren(bob_, QELObjectType_UserID).at(0);
    const std::size_t before = liveChildren(bobUID, QELObjectType_Signature).size();
    const std::string wrong = "not the pass phrase";
    QELSigSpec *s = spec(alice_, 0x10, kMadeAt, &wrong);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(qelKeyObjAddSignature(bobUID, s), QELError_BadPassphrase);
    // A key without a secret part cannot sign.
    ASSERT_EQ(qelSigSpecSetSignerKey(s, bob_), QELError_NoErr);
    EXPECT_LT(qelKeyObjAddSignature(bobUID, s), 0);
    qelSigSpecFreeList(s);
    EXPECT_EQ(liveChildren(bobUID, QELObjectType_Signature).size(), before);

    EXPECT_EQ(qelKeyObjAddSignature(nullptr, nullptr), QELError_BadParams);
    EXPECT_EQ(qelSigSpecNew(qelContextGetSettings(ctx), nullptr, 0x10), nullptr);
    EXPECT_EQ(qelSigSpecNew(nullptr, alice_, 0x10), nullptr);
    EXPECT_EQ(qelKeyAddUserIDPacket(bobUID, nullptr, 0), nullptr);
}

TEST_F(SigMake, NewSpecificationAndOnePassBodyFollowTheSigner)
{
    struct Row {
        QELKeyObject *signer;
        std::uint8_t hash;
    };
    for (const Row &r : {Row{alice_, 8}, Row{dave_, 8}}) {
        QELSigSpec *s = qelSigSpecNew(qelContextGetSettings(ctx), r.signer, 0x00);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(qelSigSpecHashAlgorithm(s), r.hash);
        EXPECT_EQ(qelSigSpecSignerKey(s), r.signer);
        std::uint8_t one[13] = {};
        ASSERT_EQ(qelSigSpecMakeOnePass(one, s, 1), 13);
        EXPECT_EQ(one[0], 3);
        EXPECT_EQ(one[2], r.hash);
        EXPECT_EQ(one[3], qelKeyObjKeyInfo(r.signer)->algorithm);
        EXPECT_EQ(hex(one + 4, 8), keyIDHex(r.signer));
        EXPECT_EQ(one[12], 1);
        qelSigSpecFreeList(s);
    }
}

// The subpackets of a version 4 body as (area, type with critical bit, data),
// sorted: the order of writing is the builder's own.
using SubpacketSet = std::vector<std::tuple<int, int, Bytes>>;
SubpacketSet subpacketsOf(const std::uint8_t *body, std::size_t n)
{
    SubpacketSet out;
    if (n < 6 || body[0] != 4)
        return out;
    const std::size_t hashed = (std::size_t(body[4]) << 8) | body[5];
    if (n < 8 + hashed)
        return out;
    const std::size_t unhashed = (std::size_t(body[6 + hashed]) << 8) | body[7 + hashed];
    if (n < 8 + hashed + unhashed)
        return out;
    int area = 0;
    auto add = [&](std::uint8_t type, std::span<const std::uint8_t> data) {
        out.emplace_back(area, type, Bytes(data.begin(), data.end()));
    };
    EXPECT_TRUE(qelSigAreaWalk({body + 6, hashed}, add));
    area = 1;
    EXPECT_TRUE(qelSigAreaWalk({body + 8 + hashed, unhashed}, add));
    std::sort(out.begin(), out.end());
    return out;
}

// Every signature GnuPG made in the fixture ring comes out of a
// specification copied from it with the same subpackets, in the same areas,
// with the same critical bits; a signature whose digest nobody knows is
// refused with that reason.
TEST_F(SigMake, SignaturesSurviveARoundTripThroughASpecification)
{
    QELKeyDB *db = openOwned(readFile(dataPath("keysig.gpg")));
    ASSERT_NE(db, nullptr);
    int copied = 0, unknownHash = 0;
    auto visit = [&](QELKeyObject *sig) {
        std::size_t n = 0;
        const std::uint8_t *p = qelKeyObjRawPacket(sig, &n);
        const std::size_t h = qelPacketHeaderSize(p, n);
        const std::uint8_t *body = p + h;
        QELStatus s = 1;
        QELSigSpec *spec = qelSigSpecFromSig(sig, &s);
        if (spec == nullptr) {
            EXPECT_EQ(s, QELError_UnknownHashAlgorithm);
            unknownHash += s == QELError_UnknownHashAlgorithm;
            return;
        }
        ASSERT_EQ(s, QELError_NoErr);
        EXPECT_EQ(qelSigSpecType(spec), qelSigType(sig));
        EXPECT_EQ(qelSigSpecVersion(spec), body[0]);
        EXPECT_EQ(qelSigSpecCreationTime(spec), qelSigCreation(sig));
        QELSigSigner signer;
        signer.algorithm = body[0] == 4 ? body[2] : body[15];
        std::memcpy(signer.keyID, qelKeyObjKeyInfo(qelKeyObjSigInfo(sig)->signer)->keyID, 8);
        signer.sign = [](const QELSigSpec *, std::uint8_t, const std::uint8_t *, std::size_t, Bytes &m) {
            m = {0x00, 0x01, 0x01};
            return QELStatus(QELError_NoErr);
        };
        QELHashContext *hash = nullptr;
        ASSERT_EQ(qelHashNew(ctx, qelSigSpecHashAlgorithm(spec), &hash), QELError_NoErr);
        std::uint8_t *built = nullptr;
        const std::int64_t m = qelSigSpecMakePacketWith(spec, hash, signer, &built);
        ASSERT_GT(m, 0);
        EXPECT_EQ(built[body[0] == 4 ? 3 : 16], body[body[0] == 4 ? 3 : 16]); // hash algorithm
        EXPECT_EQ(subpacketsOf(built, std::size_t(m)), subpacketsOf(body, n - h));
        EXPECT_EQ(qelContextMemFree(ctx, built), QELError_NoErr);
        EXPECT_EQ(qelHashFree(hash), QELError_NoErr);
        qelSigSpecFreeList(spec);
        ++copied;
    };
    for (QELKeyObject *k : liveKeys(db))
        for (QELKeyObject *c = k->firstChild; c; c = c->next) {
            if (qelKeyObjType(c) == QELObjectType_Signature)
                visit(c);
            else
                for (QELKeyObject *s : liveChildren(c, QELObjectType_Signature))
                    visit(s);
        }
    EXPECT_GE(copied, 20);
    EXPECT_EQ(unknownHash, 1);
}

// A self-certification made again from a copy of GnuPG's: the copy keeps
// every subpacket but the creation time, and the new one is good.
TEST_F(SigMake, SelfCertificationMadeAgainFromItsCopy)
{
    QELKeyObject *uid = liveChildren(alice_, QELObjectType_UserID).at(0);
    QELKeyObject *old = liveChildren(uid, QELObjectType_Signature).at(0);
    QELStatus s = 1;
    QELSigSpec *spec = qelSigSpecFromSig(old, &s);
    ASSERT_NE(spec, nullptr) << s;
    const std::string &pass = facts_["pass"];
    ASSERT_EQ(qelSigSpecSetPassphrase(spec, pass.data(), pass.size(), 0), QELError_NoErr);
    ASSERT_EQ(qelSigSpecSetCreation(spec, kMadeAt), QELError_NoErr);
    ASSERT_EQ(qelKeyObjAddSignature(uid, spec), QELError_NoErr);
    qelSigSpecFreeList(spec);
    QELKeyObject *made = liveChildren(uid, QELObjectType_Signature).back();
    ASSERT_NE(made, old);
    std::uint8_t found = 0, changed = 0, valid = 0;
    ASSERT_EQ(qelKeySigCheckOne(secret_, made, nullptr, true, false, &found, &changed, &valid), QELError_NoErr);
    EXPECT_EQ(valid, 1);
    auto withoutCreation = [](QELKeyObject *sig) {
        std::size_t n = 0;
        const std::uint8_t *p = qelKeyObjRawPacket(sig, &n);
        const std::size_t h = qelPacketHeaderSize(p, n);
        SubpacketSet set = subpacketsOf(p + h, n - h);
        std::erase_if(set, [](const auto &t) { return std::get<1>(t) == 2; });
        return set;
    };
    EXPECT_EQ(withoutCreation(made), withoutCreation(old));
}

// Version 3 stays only for RSA (1) over RSA with hash ids up to 3; a key
// revocation on a key keeps whatever version it was given.
TEST(SigMakeVersion, RaiseRule)
{
    struct Row {
        std::uint32_t version;
        std::uint8_t type;
        bool onKey;
        std::uint8_t signer, hash, holder;
        std::uint32_t expected;
    };
    const Row rows[] = {
        {3, 0x10, false, 1, 1, 1, 3},  {3, 0x10, false, 1, 2, 1, 3},  {3, 0x10, false, 1, 3, 1, 3},
        {3, 0x10, false, 1, 8, 1, 4},  {3, 0x10, false, 17, 2, 1, 4}, {3, 0x10, false, 1, 2, 17, 4},
        {3, 0x10, false, 2, 2, 1, 4},  {2, 0x13, false, 1, 2, 1, 2},  {2, 0x13, false, 1, 8, 1, 4},
        {3, 0x20, true, 17, 8, 17, 3}, {3, 0x20, false, 17, 8, 17, 4}, {3, 0x28, false, 17, 2, 1, 4},
        {4, 0x10, false, 1, 1, 1, 4},  {4, 0x20, true, 1, 1, 1, 4},
    };
    for (const Row &r : rows)
        EXPECT_EQ(qelSigVersionFor(r.version, r.type, r.onKey, r.signer, r.hash, r.holder), r.expected)
            << r.version << " type " << int(r.type) << " signer " << int(r.signer) << " hash " << int(r.hash)
            << " holder " << int(r.holder);
}

} // namespace
