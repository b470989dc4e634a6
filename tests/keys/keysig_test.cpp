// Signature checks on keys against GnuPG: every signature of a ring GnuPG made
// (with spoiled, unknown-digest and missing-signer cases) gets the verdict
// `gpg --check-sigs` gave it; validity follows the newest self-signature;
// signatures made here over key material check good in GnuPG.
#include "keys_fixture.h"

#include "qelHash.h"
#include "qelHashInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeySig.h"
#include "qelKeySigInternal.h"
#include "qelPkAlgInternal.h"
#include "qelSigBuildInternal.h"
#include "qelSigItemInternal.h"
#include "qelSigSpecInternal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <tuple>

namespace {

using namespace keystest;
using Bytes = std::vector<std::uint8_t>;

// What GnuPG said about one signature, and where.
struct Verdict {
    std::string owner;    // top-level key ID
    std::string on;       // "key", "uid:<text>" or "sub:<key ID>"
    std::string signer;   // issuer key ID
    std::uint32_t created;
    int hash;
    char mark;            // ! - ? %
};

std::vector<Verdict> gnupgVerdicts()
{
    std::vector<Verdict> out;
    std::string owner, on;
    for (const auto &f : colons("keysig.checks")) {
        if (f.empty())
            continue;
        if (f[0] == "pub") {
            owner = f[4];
            on = "key";
        } else if (f[0] == "uid") {
            on = "uid:" + f[9];
        } else if (f[0] == "sub") {
            on = "sub:" + f[4];
        } else if ((f[0] == "sig" || f[0] == "rev") && f.size() > 15) {
            out.push_back({owner, on, f[4], std::uint32_t(std::stoul(f[5])), std::stoi(f[15]), f[1][0]});
        }
    }
    return out;
}

std::string userIDText(QELKeyObject *uid)
{
    std::size_t n = 0;
    const std::uint8_t *p = qelKeyObjRawPacket(uid, &n);
    const std::size_t h = qelPacketHeaderSize(p, n);
    return std::string(reinterpret_cast<const char *>(p + h), n - h);
}

// Every live signature of the database with its place.
struct Ours {
    Verdict where;
    QELKeyObject *sig;
};

std::vector<Ours> ourSignatures(QELKeyDB *db)
{
    std::vector<Ours> out;
    auto add = [&](QELKeyObject *key, const std::string &on, QELKeyObject *sig) {
        std::size_t n = 0;
        const std::uint8_t *p = qelKeyObjRawPacket(sig, &n);
        QELSigPacketInfo info;
        EXPECT_EQ(qelSigPacketParse(p, n, false, QELSigWant_All, &info), QELError_NoErr);
        out.push_back({{keyIDHex(key), on, hex(info.keyID, 8), info.creation, info.hashAlgorithm, 0}, sig});
    };
    for (QELKeyObject *key : liveKeys(db)) {
        for (QELKeyObject *c = key->firstChild; c; c = c->next) {
            if (!qelKeyObjIsLive(c))
                continue;
            const int t = qelKeyObjType(c);
            if (t == QELObjectType_Signature) {
                add(key, "key", c);
                continue;
            }
            const std::string on = t == QELObjectType_UserID ? "uid:" + userIDText(c) : "sub:" + keyIDHex(c);
            for (QELKeyObject *s : liveChildren(c, QELObjectType_Signature))
                add(key, on, s);
        }
    }
    return out;
}

char ourMark(QELKeyObject *sig, bool signerKnown, bool hashKnown)
{
    const std::uint8_t st = qelKeyObjSigInfo(sig)->state;
    if (st & QELSigState_Checked)
        return (st & QELSigState_Valid) ? '!' : '-';
    // Unchecked: the signer is missing (GnuPG: ?) or the digest is unknown (GnuPG: %).
    if (!signerKnown)
        return '?';
    return hashKnown ? 'u' : '%';
}

class KeySig : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        ring_ = readFile(dataPath("keysig.gpg"));
        ASSERT_FALSE(ring_.empty());
        QELStatus s = 0;
        db_ = openBuffer(ring_, &s);
        ASSERT_NE(db_, nullptr) << s;
    }
    void TearDown() override
    {
        for (QELKeyDB *db : {db_, secret_})
            if (db != nullptr) {
                EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
            }
        ContextTest::TearDown();
    }
    QELKeyObject *openSecret()
    {
        QELStatus s = 0;
        secret_ = openBuffer(readFile(dataPath("keysig-secret.gpg")), &s);
        EXPECT_NE(secret_, nullptr) << s;
        return secret_ != nullptr ? liveKeys(secret_).at(0) : nullptr;
    }
    QELKeyObject *key(const std::string &id)
    {
        for (QELKeyObject *k : liveKeys(db_))
            if (keyIDHex(k) == id)
                return k;
        return nullptr;
    }
    QELKeyObject *keyByUserID(const std::string &email)
    {
        for (QELKeyObject *k : liveKeys(db_))
            for (QELKeyObject *u : liveChildren(k, QELObjectType_UserID))
                if (userIDText(u).find(email) != std::string::npos)
                    return k;
        return nullptr;
    }
    Bytes ring_;
    QELKeyDB *db_ = nullptr;
    QELKeyDB *secret_ = nullptr;
};

TEST_F(KeySig, EveryVerdictAgreesWithGnuPG)
{
    int calls = 0;
    auto handler = [](QELContext *, QELEvent *, void *user) -> std::int32_t {
        ++*static_cast<int *>(user);
        return 0;
    };
    ASSERT_EQ(qelKeySigCheckKeySet(qelKeyDBRootSet(db_), nullptr, 1, handler, &calls), QELError_NoErr);

    const std::vector<Verdict> theirs = gnupgVerdicts();
    std::vector<Ours> ours = ourSignatures(db_);
    ASSERT_GE(theirs.size(), 22u);
    EXPECT_EQ(ours.size(), theirs.size());
    std::map<char, int> seen;
    int found = 0;
    for (const Verdict &v : theirs) {
        auto it = std::find_if(ours.begin(), ours.end(), [&](const Ours &o) {
            return o.where.owner == v.owner && o.where.on == v.on && o.where.signer == v.signer &&
                   o.where.created == v.created && o.where.hash == v.hash;
        });
        ASSERT_NE(it, ours.end()) << v.owner << " " << v.on << " " << v.signer << " " << v.created;
        const bool signerKnown = key(v.signer) != nullptr;
        const bool hashKnown = qelHashDescriptorFind(v.hash) != nullptr;
        EXPECT_EQ(ourMark(it->sig, signerKnown, hashKnown), v.mark)
            << v.owner << " " << v.on << " by " << v.signer << " at " << v.created;
        ++seen[v.mark];
        found += signerKnown;
        ours.erase(it);
    }
    // The fixture holds every kind of verdict.
    EXPECT_GE(seen['!'], 17);
    EXPECT_EQ(seen['-'], 2);
    EXPECT_EQ(seen['?'], 1);
    EXPECT_EQ(seen['%'], 1);
    // One progress event per signature whose signer was at hand.
    EXPECT_EQ(calls, found);
}

TEST_F(KeySig, SecondRunChecksNothingUnlessAskedAndHandlerStops)
{
    QELKeySet *root = qelKeyDBRootSet(db_);
    EXPECT_EQ(qelKeySigCountToCheck(root, nullptr, false, false), 21u);
    ASSERT_EQ(qelKeySigCheckSetWithProgress(root, nullptr, false, nullptr, nullptr, nullptr), QELError_NoErr);
    // Only the signature with a digest nobody knows stays to be checked.
    EXPECT_EQ(qelKeySigCountToCheck(root, nullptr, false, false), 1u);
    const std::uint32_t all = qelKeySigCountToCheck(root, nullptr, true, false);
    EXPECT_EQ(all, 21u);

    // A handler that says stop on its first event ends the check there.
    int calls = 0;
    auto stop = [](QELContext *, QELEvent *, void *user) -> std::int32_t {
        ++*static_cast<int *>(user);
        return -77;
    };
    EXPECT_EQ(qelKeySigCheckKeySet(root, nullptr, 1, stop, &calls), -77);
    EXPECT_EQ(calls, 1);

    // Revocations only: the revocation of Alice's old user ID is the one
    // certification-revocation; key revocations (0x20) are none here.
    EXPECT_EQ(qelKeySigCountToCheck(root, nullptr, true, true), 0u);
    EXPECT_EQ(qelKeySigCheckKeySet(nullptr, nullptr, 0, nullptr, nullptr), QELError_BadParams);
}

TEST_F(KeySig, ValidityComesFromTheNewestValidSelfSignature)
{
    ASSERT_EQ(qelKeySigCheckKeySet(qelKeyDBRootSet(db_), nullptr, 1, nullptr, nullptr), QELError_NoErr);
    QELKeyObject *alice = keyByUserID("alice@example.org");
    ASSERT_NE(alice, nullptr);
    // GnuPG's expiry: creation + the seconds of the newest self-signature.
    std::uint32_t gpgExpiry = 0;
    for (const auto &f : colons("keysig.colons"))
        if (f.size() > 6 && f[0] == "pub" && f[4] == keyIDHex(alice))
            gpgExpiry = std::uint32_t(std::stoul(f[6]));
    ASSERT_NE(gpgExpiry, 0u);
    // Rounded up to whole days: never earlier, less than a day later.
    const std::uint32_t ours = qelKeyObjExpiration(alice);
    EXPECT_GE(ours, gpgExpiry);
    EXPECT_LT(ours, gpgExpiry + 86400u);
    EXPECT_NE((gpgExpiry - qelKeyObjCreation(alice)) % 86400, 0u); // the case needs rounding

    // Without an expiry on the newest self-signature the key never expires;
    // a self-signature under a day still expires.
    const std::uint16_t before = qelKeyObjKeyInfo(alice)->validityDays;
    EXPECT_GT(before, 365);
    QELKeyObject *bob = keyByUserID("bob@example.org");
    ASSERT_NE(bob, nullptr);
    qelKeyObjKeyInfo(bob)->validityDays = 77;
    qelKeySigUpdateValidity(bob);
    EXPECT_EQ(qelKeyObjKeyInfo(bob)->validityDays, 0);
}

// Turns a secret-key packet's material into a signer for the builder.
struct SecretSigner {
    QELSecretKeyObject *secret = nullptr;
    QELSigSigner signer;
    ~SecretSigner()
    {
        if (secret != nullptr)
            static_cast<void>(secret->destroy(secret)); // test cleanup
    }
};

void makeSigner(QELContext *ctx, QELKeyObject *key, SecretSigner &out)
{
    std::size_t n = 0;
    const std::uint8_t *p = qelKeyObjRawPacket(key, &n);
    std::size_t m = 0;
    const std::uint8_t *material = qelKeyPacketMaterial(p, n, &m);
    ASSERT_NE(material, nullptr);
    QELStatus st = 0;
    out.secret = qelSecretKeyObjectFromData(ctx, material[-1], material, m, 0, nullptr, &st);
    ASSERT_NE(out.secret, nullptr) << st;
    if (out.secret->isLocked(out.secret)) {
        ASSERT_EQ(out.secret->unlock(out.secret, "", 0, 0), 1);
    }
    out.signer.algorithm = material[-1];
    std::memcpy(out.signer.keyID, qelKeyObjKeyInfo(key)->keyID, 8);
    QELSecretKeyObject *secret = out.secret;
    QELContext *context = ctx;
    out.signer.sign = [secret, context](const QELSigSpec *, std::uint8_t hashAlgorithm, const std::uint8_t *d,
                                        std::size_t len, Bytes &material) {
        const std::int32_t max = secret->maxSignatureSize(secret, QELPkFormat_RFC4880);
        if (max <= 0)
            return QELStatus(max);
        material.resize(std::size_t(max));
        std::size_t outLen = material.size();
        QELStatus s = secret->sign(secret, qelHashDescriptorFind(hashAlgorithm), d, len, material.data(), &outLen,
                                   qelContextGetRandomContext(context), QELPkFormat_RFC4880);
        material.resize(outLen);
        return s;
    };
}

TEST_F(KeySig, SignaturesMadeHereCheckGoodHereAndInGnuPG)
{
    QELKeyObject *aliceSecret = openSecret();
    ASSERT_NE(aliceSecret, nullptr);
    QELKeyObject *alice = keyByUserID("alice@example.org");
    QELKeyObject *bob = keyByUserID("bob@example.org");
    ASSERT_NE(alice, nullptr);
    ASSERT_NE(bob, nullptr);
    ASSERT_EQ(keyIDHex(aliceSecret), keyIDHex(alice));
    SecretSigner signer;
    makeSigner(ctx, aliceSecret, signer);
    ASSERT_FALSE(HasFatalFailure());

    auto sign = [&](QELKeyObject *object, std::uint8_t type, std::int32_t hash, std::uint32_t version) {
        QELSigSpec *spec = qelSigSpecNewFor(qelContextGetSettings(ctx), nullptr, type, version < 4, 1, 1024);
        EXPECT_NE(spec, nullptr);
        if (version == 4) {
            const std::uint8_t flags = type == 0x18 ? 0x02 : 0x01;
            EXPECT_EQ(qelSigSpecSetKeyFlags(spec, 0, &flags, 1), QELError_NoErr);
        }
        EXPECT_EQ(qelSigSpecSetHashAlgorithm(spec, hash), QELError_NoErr);
        EXPECT_EQ(qelSigSpecSetCreation(spec, 1700005000), QELError_NoErr);
        EXPECT_EQ(qelSigSpecVersion(spec), version);
        std::uint8_t *body = nullptr;
        const std::int64_t n = qelKeySigSignKeyMaterial(object, spec, signer.signer, &body);
        EXPECT_GT(n, 0);
        QELKeyObject *sig = n > 0 ? qelKeyDBAddSignatureBody(db_, object, body, std::size_t(n)) : nullptr;
        if (body != nullptr) {
            EXPECT_EQ(qelContextMemFree(ctx, body), QELError_NoErr);
        }
        qelSigSpecFreeList(spec);
        return sig;
    };
    QELKeyObject *bobUID = liveChildren(bob, QELObjectType_UserID).at(0);
    std::vector<QELKeyObject *> subkeys = liveChildren(alice, QELObjectType_SubKey);
    ASSERT_EQ(subkeys.size(), 2u);
    // The subkey whose binding is garbage is never usable (its binding is
    // checked on demand); with a good binding made here it is.
    EXPECT_FALSE(qelKeyObjIsUsableSubKey(subkeys[1], false, false));
    EXPECT_TRUE(qelKeyObjIsUsableSubKey(subkeys[0], false, false));
    QELKeyObject *made[] = {
        sign(bobUID, 0x10, 8, 4),       // certification, SHA-256
        sign(subkeys[1], 0x18, 2, 4),   // a new binding for the spoiled subkey, SHA-1
        sign(bobUID, 0x12, 2, 3),       // version 3 certification: no user-ID prefix, no trailer
    };
    for (QELKeyObject *sig : made) {
        ASSERT_NE(sig, nullptr);
        std::uint8_t found = 0, changed = 0, valid = 0;
        ASSERT_EQ(qelKeySigCheckOne(db_, sig, nullptr, true, false, &found, &changed, &valid), QELError_NoErr);
        EXPECT_EQ(found, 1);
        EXPECT_EQ(valid, 1);
        EXPECT_EQ(qelKeyObjSigInfo(sig)->state & 0x60, 0x60);
    }
    EXPECT_TRUE(qelKeyObjIsUsableSubKey(subkeys[1], false, false));
    // The same bytes hashed for another user ID do not verify.
    QELKeyObject *aliceUID = liveChildren(alice, QELObjectType_UserID).at(0);
    std::size_t n = 0;
    const std::uint8_t *p = qelKeyObjRawPacket(made[0], &n);
    const std::size_t h = qelPacketHeaderSize(p, n);
    QELKeyObject *moved = qelKeyDBAddSignatureBody(db_, aliceUID, p + h, n - h);
    ASSERT_NE(moved, nullptr);
    std::uint8_t found = 0, changed = 0, valid = 9;
    ASSERT_EQ(qelKeySigCheckOne(db_, moved, nullptr, true, false, &found, &changed, &valid), QELError_NoErr);
    EXPECT_EQ(valid, 0);
    EXPECT_EQ(qelKeyObjSigInfo(moved)->state & 0x60, 0x20);
    ASSERT_EQ(qelKeyObjMarkDeleted(moved), QELError_NoErr);

    // GnuPG agrees: each signature made here is good there.
    qeltest::TempDir home("qelkeysig");
    const Bytes ring = ringBytes(db_);
    qeltest::writeFile(home / "ring.gpg", std::string(ring.begin(), ring.end()));
    qeltest::writeFile(home / "gpg.conf", "allow-weak-key-signatures\n");
    const std::string gpg = "gpg --homedir " + home.path() +
                            " --batch --quiet --no-tty --no-default-keyring --keyring " + home / "ring.gpg" +
                            " --with-colons --check-sigs > " + home / "sigs.txt" + " 2>/dev/null";
    static_cast<void>(std::system(gpg.c_str())); // listing checked below
    const std::string listing = qeltest::readFile(home / "sigs.txt");
    int good = 0;
    std::stringstream in(listing);
    for (std::string line; std::getline(in, line);)
        if (line.find(":1700005000:") != std::string::npos) {
            EXPECT_EQ(line.rfind("sig:!:", 0), 0u) << line;
            ++good;
        }
    EXPECT_EQ(good, 3) << listing;
    // With a good binding the spoiled subkey is no longer invalid in GnuPG.
    EXPECT_EQ(listing.find("sub:i:"), std::string::npos) << listing;
}

// Hostile bodies in a key database: each is checked and invalid (never
// read past its end, never valid), and a set check goes on past it.
TEST_F(KeySig, HostileSignatureBodiesAreInvalid)
{
    QELKeyObject *bob = keyByUserID("bob@example.org");
    ASSERT_NE(bob, nullptr);
    QELKeyObject *uid = liveChildren(bob, QELObjectType_UserID).at(0);
    QELKeyObject *self = liveChildren(uid, QELObjectType_Signature).at(0);
    std::size_t n = 0;
    const std::uint8_t *p = qelKeyObjRawPacket(self, &n);
    const std::size_t h = qelPacketHeaderSize(p, n);
    const Bytes good(p + h, p + n);
    const std::size_t hashed = (std::size_t(good[4]) << 8) | good[5];

    auto withLength = [](Bytes b, std::size_t at, std::size_t value) {
        b[at] = std::uint8_t(value >> 8);
        b[at + 1] = std::uint8_t(value);
        return b;
    };
    const struct {
        const char *name;
        Bytes body;
    } rows[] = {
        {"hashed area past the body", withLength(good, 4, good.size())},
        {"unhashed area past the body", withLength(good, 6 + hashed, good.size())},
        {"MPI past the body", withLength(good, good.size() - 130, 2048)},
        {"truncated v4", Bytes(good.begin(), good.end() - 40)},
        {"v4 without MPI", Bytes(good.begin(), good.end() - 130)},
        {"truncated v3", Bytes{3, 5, 0x10, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 0xAB}},
        {"v3 MPI short of its bits", Bytes{3, 5, 0x10, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 0xAB, 0xCD, 0x04,
                                           0x00, 0x80}},
        {"unknown version", Bytes{9, 1, 2, 3}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        Bytes packet{0x89, std::uint8_t(r.body.size() >> 8), std::uint8_t(r.body.size())};
        packet.insert(packet.end(), r.body.begin(), r.body.end());
        ASSERT_EQ(qelKeyObjReplacePacket(self, packet.data(), packet.size()), QELError_NoErr);
        qelKeyObjSigInfo(self)->state = 0;
        ASSERT_EQ(qelKeySigCheckSetWithProgress(qelKeyDBRootSet(db_), nullptr, true, nullptr, nullptr, nullptr),
                  QELError_NoErr);
        EXPECT_EQ(qelKeyObjSigInfo(self)->state & 0x60, 0x20);
    }
    // The good body is good again.
    Bytes packet{0x89, std::uint8_t(good.size() >> 8), std::uint8_t(good.size())};
    packet.insert(packet.end(), good.begin(), good.end());
    ASSERT_EQ(qelKeyObjReplacePacket(self, packet.data(), packet.size()), QELError_NoErr);
    std::uint8_t found = 0, changed = 0, valid = 0;
    ASSERT_EQ(qelKeySigCheckOne(db_, self, nullptr, true, false, &found, &changed, &valid), QELError_NoErr);
    EXPECT_EQ(valid, 1);
    EXPECT_EQ(changed, 1);
}

TEST_F(KeySig, KeyMaterialIsHashedInRFC4880Order)
{
    QELKeyObject *alice = keyByUserID("alice@example.org");
    ASSERT_NE(alice, nullptr);
    QELKeyObject *uid = liveChildren(alice, QELObjectType_UserID).at(0);
    QELKeyObject *sub = liveChildren(alice, QELObjectType_SubKey).at(0);
    auto body = [](QELKeyObject *o) {
        std::size_t n = 0;
        const std::uint8_t *p = qelKeyObjRawPacket(o, &n);
        const std::size_t h = qelPacketHeaderSize(p, n);
        return Bytes(p + h, p + n);
    };
    auto digest = [&](QELKeyObject *o, bool v4) {
        QELHashContext *hc = nullptr;
        EXPECT_EQ(qelHashNew(ctx, 2, &hc), QELError_NoErr);
        EXPECT_EQ(qelKeySigHashKeyMaterial(hc, o, v4), QELError_NoErr);
        Bytes d(20);
        EXPECT_EQ(qelHashFinal(hc, d.data()), QELError_NoErr);
        EXPECT_EQ(qelHashFree(hc), QELError_NoErr);
        return d;
    };
    auto sha1 = [&](const Bytes &data) {
        QELHashContext *hc = nullptr;
        EXPECT_EQ(qelHashNew(ctx, 2, &hc), QELError_NoErr);
        EXPECT_EQ(qelHashUpdate(hc, data.data(), data.size()), QELError_NoErr);
        Bytes d(20);
        EXPECT_EQ(qelHashFinal(hc, d.data()), QELError_NoErr);
        EXPECT_EQ(qelHashFree(hc), QELError_NoErr);
        return d;
    };
    const Bytes k = body(alice), u = body(uid), s = body(sub);
    Bytes keyPart{0x99, std::uint8_t(k.size() >> 8), std::uint8_t(k.size())};
    keyPart.insert(keyPart.end(), k.begin(), k.end());
    Bytes v4uid = keyPart, v3uid = keyPart, binding = keyPart;
    const Bytes uidPrefix{0xB4, 0, 0, std::uint8_t(u.size() >> 8), std::uint8_t(u.size())};
    v4uid.insert(v4uid.end(), uidPrefix.begin(), uidPrefix.end());
    v4uid.insert(v4uid.end(), u.begin(), u.end());
    v3uid.insert(v3uid.end(), u.begin(), u.end());
    binding.insert(binding.end(), {0x99, std::uint8_t(s.size() >> 8), std::uint8_t(s.size())});
    binding.insert(binding.end(), s.begin(), s.end());
    EXPECT_EQ(digest(alice, true), sha1(keyPart));
    EXPECT_EQ(digest(uid, true), sha1(v4uid));
    EXPECT_EQ(digest(uid, false), sha1(v3uid));
    EXPECT_EQ(digest(sub, true), sha1(binding));

    // A key with a secret part is hashed in its public form.
    QELKeyObject *secret = openSecret();
    ASSERT_NE(secret, nullptr);
    EXPECT_EQ(digest(secret, true), sha1(keyPart));
    EXPECT_FALSE(qelKeyObjPacketDiffers(secret, k.data(), k.size()));
    EXPECT_TRUE(qelKeyObjPacketDiffers(alice, k.data(), k.size() - 1));
    EXPECT_FALSE(qelKeyObjPacketDiffers(uid, u.data(), u.size()));
}

} // namespace
