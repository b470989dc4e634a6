// Key objects at work: fingerprints and key IDs against GnuPG and an
// independent computation, the subkey chosen for each role against GnuPG's
// choice, subkeys whose binding is unchecked or bad, and the key operations.
#include "keys_fixture.h"

#include "qelKeyObj.h"
#include "qelKeySigInternal.h"
#include "qelPkAlg.h"
#include "qelPkAlgInternal.h"
#include "qelSHA1Internal.h"
#include "qelTestHooks.h"
#include "qelTimeDate.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

using namespace keystest;

namespace {

std::map<std::string, std::string> pairsOf(const std::string &name)
{
    std::map<std::string, std::string> out;
    std::ifstream in(dataPath(name));
    for (std::string a, b; in >> a >> b;)
        out[a] = b;
    return out;
}

std::string firstWord(const std::string &name)
{
    std::ifstream in(dataPath(name));
    std::string w;
    in >> w;
    return w;
}

// Gives every self-signature the state GnuPG reports for these fixtures
// (checked and valid), except on subkeys that GnuPG does not list (a binding
// it refused): those stay as read. Subkeys GnuPG lists as revoked are marked
// so. Expiry then follows from the self-signatures.
void applyPeerState(QELKeyDB *db, const std::string &listing)
{
    std::map<std::string, std::string> subs; // key ID -> validity field
    for (const auto &f : colons(listing))
        if (f.size() > 4 && (f[0] == "sub" || f[0] == "ssb"))
            subs[f[4]] = f[1];
    auto markSelf = [](QELKeyObject *o, QELKeyObject *key) {
        for (QELKeyObject *sig : liveChildren(o, QELObjectType_Signature))
            if (qelSigSigner(sig) == key)
                qelKeyObjSigInfo(sig)->state |= QELSigState_Checked | QELSigState_Valid;
    };
    for (QELKeyObject *key : liveKeys(db)) {
        markSelf(key, key);
        for (QELKeyObject *uid : liveChildren(key, QELObjectType_UserID))
            markSelf(uid, key);
        qelKeySigUpdateValidity(key);
        for (QELKeyObject *sub : liveChildren(key, QELObjectType_SubKey)) {
            auto it = subs.find(keyIDHex(sub));
            if (it == subs.end())
                continue;
            markSelf(sub, key);
            qelKeySigUpdateValidity(sub);
            if (it->second == "r")
                qelKeyObjKeyInfo(sub)->trust |= 0x10;
        }
    }
}

QELKeyObject *keyByFingerprint(QELKeyDB *db, const std::string &fpr)
{
    for (QELKeyObject *k : liveKeys(db)) {
        std::uint8_t out[20];
        if (qelKeyObjFingerprint(k, out) == 20 && hex(out, 20) == fpr)
            return k;
    }
    return nullptr;
}

// The key ID of the part an operation object was made from; "none" when
// there is none.
std::string publicPart(QELKeyObject *o, int role)
{
    QELPublicKeyObject *ops = qelKeyObjPublicOps(o, role);
    if (ops == nullptr)
        return "none";
    std::string id = keyIDHex(ops->owner);
    EXPECT_EQ(hex(ops->keyID, 8), id);
    EXPECT_EQ(ops->destroy(ops), QELError_NoErr);
    return id;
}

std::string secretPart(QELKeyObject *o, int role)
{
    QELSecretKeyObject *ops = qelKeyObjSecretOps(o, role);
    if (ops == nullptr)
        return "none";
    std::string id = keyIDHex(ops->owner);
    EXPECT_EQ(ops->destroy(ops), QELError_NoErr);
    return id;
}

// GnuPG chose its parts when it made the keys, and one subkey among them
// lives three days: the choice is judged at that moment, not today. The
// keys were made last, at the newest creation time the listing shows.
std::uint32_t g_fixtureTime = 0;
std::uint32_t fixtureClock() { return g_fixtureTime; }

struct FixtureClock {
    explicit FixtureClock(const std::string &listing)
    {
        g_fixtureTime = 0;
        for (const auto &f : colons(listing))
            if (f.size() > 5 && (f[0] == "pub" || f[0] == "sub"))
                g_fixtureTime = std::max<std::uint32_t>(g_fixtureTime, std::stoul(f[5]));
        g_fixtureTime += 60;
        qelKeyUseSetClockForTesting(fixtureClock);
    }
    ~FixtureClock() { qelKeyUseSetClockForTesting(nullptr); }
    FixtureClock(const FixtureClock &) = delete;
    FixtureClock &operator=(const FixtureClock &) = delete;
};

class KeyObjOps : public ContextTest {
protected:
    QELKeyDB *open(const std::string &name, const std::string &listing = "keyuse.colons")
    {
        QELStatus s = 0;
        QELKeyDB *db = openOwned(readFile(dataPath(name)), &s);
        EXPECT_EQ(s, QELError_NoErr) << name;
        if (db != nullptr && !listing.empty())
            applyPeerState(db, listing);
        return db;
    }
};

} // namespace

TEST_F(KeyObjOps, FingerprintsAndKeyIDsAgreeWithGnuPG)
{
    for (const char *ring : {"keyuse.gpg", "keyuse_secret.gpg", "public.gpg", "secret.gpg"}) {
        QELKeyDB *db = open(ring, "");
        ASSERT_NE(db, nullptr);
        std::string listing = std::string(ring).rfind("keyuse", 0) == 0 ? "keyuse.colons" : "public.colons";
        // Every fpr record follows the pub/sub record it belongs to.
        std::string lastID;
        int checked = 0;
        for (const auto &f : colons(listing)) {
            if (f.size() > 4 && (f[0] == "pub" || f[0] == "sub"))
                lastID = f[4];
            if (f.size() > 9 && f[0] == "fpr") {
                QELKeyObject *k = keyOrSubKeyByID(db, lastID);
                ASSERT_NE(k, nullptr) << ring << " " << lastID;
                std::uint8_t out[20];
                ASSERT_EQ(qelKeyObjFingerprint(k, out), 20);
                EXPECT_EQ(hex(out, 20), f[9]) << ring;
                EXPECT_EQ(f[9].substr(24), lastID);
                ++checked;
            }
        }
        EXPECT_GE(checked, 7) << ring;
    }
}

TEST_F(KeyObjOps, MaterialFingerprintsMatchAnIndependentComputation)
{
    QELKeyDB *db = open("keyuse.gpg", "");
    ASSERT_NE(db, nullptr);
    QELKeyDB *sdb = open("keyuse_secret.gpg", "");
    ASSERT_NE(sdb, nullptr);
    auto expected = pairsOf("keyuse_material.txt");
    ASSERT_EQ(expected.size(), 13u);
    for (const auto &[id, fpr] : expected) {
        for (QELKeyDB *d : {db, sdb}) {
            QELKeyObject *k = keyOrSubKeyByID(d, id);
            ASSERT_NE(k, nullptr) << id;
            std::uint8_t out[20];
            ASSERT_EQ(qelKeyObjMaterialFingerprint(k, out), 20);
            EXPECT_EQ(hex(out, 20), fpr) << id;
            if (qelKeyObjType(k) == QELObjectType_Key) {
                EXPECT_EQ(qelKeyDBFindKeyByFingerprint(d, out), k) << id;
            }
        }
    }
    std::uint8_t unknown[20] = {};
    EXPECT_EQ(qelKeyDBFindKeyByFingerprint(db, unknown), nullptr);
}

TEST_F(KeyObjOps, VersionThreeFingerprintIsMD5OverModulusAndExponent)
{
    QELKeyDB *db = open("keyuse_v3.gpg", "");
    ASSERT_NE(db, nullptr);
    auto keys = liveKeys(db);
    ASSERT_EQ(keys.size(), 1u);
    auto expected = pairsOf("keyuse_v3.txt");
    ASSERT_EQ(expected.size(), 1u);
    std::uint8_t out[16];
    ASSERT_EQ(qelKeyObjFingerprintV3(keys[0], out), 16);
    EXPECT_EQ(hex(out, 16), expected.begin()->first);
    EXPECT_EQ(keyIDHex(keys[0]), expected.begin()->second);
    EXPECT_EQ(qelKeyObjKeyVersion(keys[0]), 3);
}

TEST_F(KeyObjOps, EncryptionPartIsTheOneGnuPGChooses)
{
    QELKeyDB *db = open("keyuse.gpg");
    ASSERT_NE(db, nullptr);
    const FixtureClock clock("keyuse.colons");
    auto choices = pairsOf("keyuse_choice.txt");
    ASSERT_EQ(choices.size(), 7u);
    int subkeysChosen = 0;
    for (const auto &[fpr, chosen] : choices) {
        QELKeyObject *key = keyByFingerprint(db, fpr);
        ASSERT_NE(key, nullptr) << fpr;
        // Key flags count as GnuPG counts them: an RSA key flagged for
        // signing only is not encrypted to.
        std::string ours = publicPart(key, QELKeyRole_Encrypt);
        EXPECT_EQ(ours, chosen) << fpr;
        EXPECT_EQ(qelKeyObjCanServe(key, QELKeyRole_Encrypt), chosen != "none") << fpr;
        if (chosen == "none") {
            EXPECT_EQ(qelKeyDBGetLastError(db), QELError_AlgorithmCannotDoThis);
        } else if (chosen != keyIDHex(key)) {
            ++subkeysChosen;
        }
    }
    EXPECT_EQ(subkeysChosen, 4);
}

// A subkey appended with a damaged binding is newer than every other: it must
// never be chosen, whether its binding is still unchecked or checked and bad.
TEST_F(KeyObjOps, AppendedSubkeyWithBadBindingIsNeverChosen)
{
    QELKeyDB *db = open("keyuse_appended.gpg");
    ASSERT_NE(db, nullptr);
    auto keys = liveKeys(db);
    ASSERT_EQ(keys.size(), 1u);
    QELKeyObject *key = keys[0];
    auto subs = liveChildren(key, QELObjectType_SubKey);
    ASSERT_EQ(subs.size(), 3u);
    QELKeyObject *appended = subs.back();
    std::string gpgChoice = firstWord("keyuse_appended.txt");
    ASSERT_NE(keyIDHex(appended), gpgChoice);
    for (QELKeyObject *s : subs)
        if (s != appended) {
            ASSERT_GT(qelKeyObjCreation(appended), qelKeyObjCreation(s));
        }
    auto bindings = liveChildren(appended, QELObjectType_Signature);
    ASSERT_EQ(bindings.size(), 1u);
    for (std::uint8_t state : {std::uint8_t(0), std::uint8_t(QELSigState_Checked)}) {
        qelKeyObjSigInfo(bindings[0])->state = state;
        EXPECT_FALSE(qelKeyObjIsUsableSubKey(appended, false, true));
        EXPECT_EQ(keyIDHex(qelKeyObjNewestUsableSubKey(key, nullptr)), gpgChoice);
        EXPECT_EQ(publicPart(key, QELKeyRole_Encrypt), gpgChoice);
    }
    // Read afresh, nothing checked: choosing checks the bindings on demand.
    QELKeyDB *fresh = open("keyuse_appended.gpg", "");
    ASSERT_NE(fresh, nullptr);
    QELKeyObject *freshKey = liveKeys(fresh).front();
    QELKeyObject *freshAppended = liveChildren(freshKey, QELObjectType_SubKey).back();
    QELKeyObject *freshBinding = liveChildren(freshAppended, QELObjectType_Signature).front();
    ASSERT_FALSE(qelSigIsChecked(freshBinding));
    // Its binding names the donor as issuer and so never counts; claim the
    // key as issuer instead, as a forger would, so that it must be checked.
    ASSERT_NE(qelSigSigner(freshBinding), freshKey);
    qelKeyObjSigInfo(freshBinding)->signer = freshKey;
    EXPECT_EQ(publicPart(freshKey, QELKeyRole_Encrypt), gpgChoice);
    EXPECT_TRUE(qelSigIsChecked(freshBinding));
    EXPECT_FALSE(qelSigIsValid(freshBinding));
    QELKeyObject *chosen = keyOrSubKeyByID(fresh, gpgChoice);
    ASSERT_NE(chosen, nullptr);
    QELKeyObject *goodBinding = liveChildren(chosen, QELObjectType_Signature).front();
    EXPECT_TRUE(qelSigIsChecked(goodBinding) && qelSigIsValid(goodBinding));
}

TEST_F(KeyObjOps, SubkeyUsabilityByTimeRevocationAndBinding)
{
    QELKeyDB *db = open("keyuse.gpg");
    ASSERT_NE(db, nullptr);
    QELKeyObject *sub = keyOrSubKeyByID(db, "985BD734B9C12A29");
    ASSERT_NE(sub, nullptr);
    QELKeyInfo *info = qelKeyObjKeyInfo(sub);
    const std::uint32_t created = info->creation, now = qelTimeDateNow();
    EXPECT_TRUE(qelKeyObjIsUsableSubKey(sub, true, false));
    info->creation = now + 2 * 86400;
    EXPECT_FALSE(qelKeyObjIsUsableSubKey(sub, true, false));
    EXPECT_TRUE(qelKeyObjIsUsableSubKey(sub, false, false));
    info->creation = now + 12 * 3600;
    EXPECT_TRUE(qelKeyObjIsUsableSubKey(sub, true, false));
    info->creation = created;
    info->trust |= 0x40;
    EXPECT_FALSE(qelKeyObjIsUsableSubKey(sub, true, false));
    info->trust &= ~0x40;
    info->trust |= 0x10;
    EXPECT_FALSE(qelKeyObjIsUsableSubKey(sub, false, false));
    EXPECT_TRUE(qelKeyObjIsUsableSubKey(sub, false, true));
    info->trust &= ~0x10;
    // Expired by its validity days.
    info->creation = now - 10 * 86400;
    info->validityDays = 3;
    EXPECT_FALSE(qelKeyObjIsUsableSubKey(sub, true, false));
    info->validityDays = 0;
    info->creation = created;
    auto bindings = liveChildren(sub, QELObjectType_Signature);
    ASSERT_EQ(bindings.size(), 1u);
    qelKeyObjSigInfo(bindings[0])->state = QELSigState_Checked;
    EXPECT_FALSE(qelKeyObjIsUsableSubKey(sub, false, true));
    // The older encryption subkey serves instead.
    EXPECT_EQ(publicPart(qelKeyObjTopKey(sub), QELKeyRole_Encrypt), "E7116C39FAF061FA");
}

TEST_F(KeyObjOps, PartsChosenByRole)
{
    QELKeyDB *db = open("keyuse_secret.gpg");
    ASSERT_NE(db, nullptr);
    QELKeyDB *main = open("secret.gpg", "secret.colons");
    ASSERT_NE(main, nullptr);
    QELKeyObject *rsaElg = keyOrSubKeyByID(db, "3A05F145996E6A6A");
    QELKeyObject *elgSub = keyOrSubKeyByID(db, "BCD75D8149671B06");
    QELKeyObject *dsaAlone = keyOrSubKeyByID(db, "BA7F6E56EDDBA748");
    ASSERT_TRUE(rsaElg && elgSub && dsaAlone);
    QELKeyObject *dsa = nullptr, *dsaElg = nullptr;
    for (QELKeyObject *k : liveKeys(main))
        if (qelKeyObjKeyInfo(k)->algorithm == 17)
            for (QELKeyObject *s : liveChildren(k, QELObjectType_SubKey))
                if (qelKeyObjKeyInfo(s)->algorithm == 16)
                    dsa = k, dsaElg = s;
    ASSERT_TRUE(dsa && dsaElg);
    struct Case {
        QELKeyObject *object;
        int role;
        QELKeyObject *publicPart, *secretPart;
    } cases[] = {
        {rsaElg, QELKeyRole_Encrypt, elgSub, rsaElg},  // RSA encrypts itself, in secret
        {elgSub, QELKeyRole_Encrypt, elgSub, elgSub},
        {rsaElg, QELKeyRole_Sign, rsaElg, rsaElg},
        {elgSub, QELKeyRole_Sign, rsaElg, rsaElg},     // ElGamal cannot sign: the key does
        {dsa, QELKeyRole_Encrypt, dsaElg, dsaElg},
        {dsa, QELKeyRole_Sign, dsa, dsa},
        {elgSub, QELKeyRole_Own, elgSub, elgSub},
        {dsaAlone, QELKeyRole_Encrypt, nullptr, nullptr},
        {rsaElg, QELKeyRole_Refused, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        auto name = [](QELKeyObject *o) { return o ? keyIDHex(o) : std::string("none"); };
        EXPECT_EQ(publicPart(c.object, c.role), name(c.publicPart)) << name(c.object) << " " << c.role;
        EXPECT_EQ(secretPart(c.object, c.role), name(c.secretPart)) << name(c.object) << " " << c.role;
        if (c.publicPart == nullptr) {
            EXPECT_EQ(qelKeyDBGetLastError(qelKeyObjKeyDB(c.object)), QELError_AlgorithmCannotDoThis);
        }
    }
}

TEST_F(KeyObjOps, EncryptDecryptSignVerifyRoundTrips)
{
    QELKeyDB *db = open("keyuse_secret.gpg");
    ASSERT_NE(db, nullptr);
    const std::uint8_t message[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::uint8_t digest[20];
    QELSHA1State sha;
    qelSHA1Init(&sha);
    qelSHA1Update(&sha, message, sizeof message);
    std::memcpy(digest, qelSHA1Final(&sha), 20);
    for (const char *id : {"A339E8FA7AA93E51", "3A05F145996E6A6A", "BA7F6E56EDDBA748"}) {
        QELKeyObject *key = keyOrSubKeyByID(db, id);
        ASSERT_NE(key, nullptr);
        std::uint8_t *enc = nullptr, *dec = nullptr, *sig = nullptr;
        std::size_t encLength = 0, decLength = 0, sigLength = 0;
        std::int32_t sizes[3] = {-1, -1, -1};
        ASSERT_EQ(qelKeyObjOpSizes(key, &sizes[0], &sizes[1], &sizes[2], QELPkFormat_Raw), 0);
        EXPECT_GT(sizes[2], 0) << id;
        QELStatus s = qelKeyObjEncrypt(key, message, sizeof message, QELPkFormat_Raw, &enc, &encLength);
        if (std::string(id) == "BA7F6E56EDDBA748") {
            EXPECT_EQ(s, QELError_KeyUnusableForEncryption);
            EXPECT_EQ(enc, nullptr);
            EXPECT_EQ(sizes[0], 0);
            EXPECT_EQ(sizes[1], 0);
            EXPECT_EQ(qelKeyObjDecrypt(key, nullptr, 0, 0, 0, 0, message, sizeof message,
                                       QELPkFormat_Raw, &dec, &decLength),
                      QELError_KeyUnusableForEncryption);
        } else {
            ASSERT_EQ(s, QELError_NoErr) << id;
            EXPECT_GT(sizes[0], 0);
            EXPECT_LE(encLength, std::size_t(sizes[0]));
            // Decryption goes to the part the message was encrypted to, as a
            // reader finds it by the key ID in the message.
            QELKeyObject *recipient = keyOrSubKeyByID(db, publicPart(key, QELKeyRole_Encrypt));
            ASSERT_NE(recipient, nullptr);
            ASSERT_EQ(qelKeyObjDecrypt(recipient, nullptr, 0, 0, 0, 0, enc, encLength, QELPkFormat_Raw,
                                       &dec, &decLength),
                      QELError_NoErr) << id;
            ASSERT_EQ(decLength, sizeof message);
            EXPECT_EQ(std::memcmp(dec, message, sizeof message), 0);
        }
        // Hash id 2 signs a SHA-1 DigestInfo; hash id 0 signs the given bytes.
        for (std::int32_t hashID : {2, 0}) {
            ASSERT_EQ(qelKeyObjSign(key, nullptr, 0, 0, 0, 0, hashID, digest, sizeof digest,
                                    QELPkFormat_Raw, &sig, &sigLength),
                      QELError_NoErr) << id;
            EXPECT_LE(sigLength, std::size_t(sizes[2]));
            EXPECT_EQ(qelKeyObjVerify(key, sig, sigLength, hashID, digest, sizeof digest, QELPkFormat_Raw), 1);
            std::uint8_t other[20];
            std::memcpy(other, digest, 20);
            other[7] ^= 1;
            EXPECT_EQ(qelKeyObjVerify(key, sig, sigLength, hashID, other, sizeof other, QELPkFormat_Raw), 0);
            EXPECT_EQ(qelContextMemFree(ctx, sig), QELError_NoErr);
        }
        for (std::uint8_t *block : {enc, dec}) {
            if (block != nullptr) {
                EXPECT_EQ(qelContextMemFree(ctx, block), QELError_NoErr);
            }
        }
    }
}

TEST_F(KeyObjOps, LockingInfoOfAnUnprotectedKeyNamesItsPreferredCipher)
{
    QELKeyDB *db = open("keyuse_secret.gpg");
    ASSERT_NE(db, nullptr);
    QELKeyObject *key = keyOrSubKeyByID(db, "A339E8FA7AA93E51");
    ASSERT_NE(key, nullptr);
    std::uint8_t needs = 9, token = 9;
    std::uint32_t cipher = 0, bits = 0;
    ASSERT_EQ(qelKeyObjLockingInfo(key, &needs, &token, &cipher, &bits), QELError_NoErr);
    EXPECT_EQ(needs, 0);
    EXPECT_EQ(token, 0);
    // GnuPG 2.2 prefers AES-256 first.
    EXPECT_EQ(cipher, 9u);
    EXPECT_EQ(bits, 256u);
    QELKeyDB *pub = open("keyuse.gpg");
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(qelKeyObjLockingInfo(keyOrSubKeyByID(pub, "A339E8FA7AA93E51"), &needs, &token, &cipher, &bits),
              QELError_UnknownProperty);
    EXPECT_EQ(cipher, 0u);
    EXPECT_EQ(qelKeyObjUnlock(key, nullptr, 0, 0, 0, 0), QELError_NoErr);
    EXPECT_NE(qelKeyObjUnlock(keyOrSubKeyByID(pub, "A339E8FA7AA93E51"), nullptr, 0, 0, 0, 0), QELError_NoErr);
}

TEST_F(KeyObjOps, SignersAndNavigation)
{
    QELKeyDB *db = open("public.gpg", "public.colons");
    ASSERT_NE(db, nullptr);
    int certifications = 0;
    for (QELKeyObject *key : liveKeys(db))
        for (QELKeyObject *uid : liveChildren(key, QELObjectType_UserID))
            for (QELKeyObject *sig : liveChildren(uid, QELObjectType_Signature)) {
                EXPECT_EQ(qelKeyObjUserID(sig), uid);
                EXPECT_EQ(qelKeyObjUserID(uid), uid);
                QELKeyID id{};
                ASSERT_EQ(qelSigGetSignerID(sig, &id), QELError_NoErr);
                QELKeyObject *signer = reinterpret_cast<QELKeyObject *>(1);
                ASSERT_EQ(qelSigGetSigner(sig, db, &signer), QELError_NoErr);
                ASSERT_NE(signer, nullptr);
                std::uint8_t alg = 0;
                QELKeyID signerID{};
                qelKeyObjGetKeyID(signer, &alg, &signerID);
                EXPECT_TRUE(qelKeyIDEqual(id, signerID));
                if (signer != key)
                    ++certifications;
            }
    EXPECT_GE(certifications, 3);
    QELKeyObject *key = liveKeys(db).front();
    QELKeyObject *sig = liveChildren(liveChildren(key, QELObjectType_UserID).front(),
                                     QELObjectType_Signature).front();
    QELKeyObject *out = key;
    EXPECT_EQ(qelSigGetSigner(key, db, &out), QELError_BadParams);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(qelSigGetSigner(sig, reinterpret_cast<QELKeyDB *>(key), &out), QELError_BadParams);
    EXPECT_EQ(qelKeyObjUserID(key), nullptr);
    EXPECT_EQ(qelKeyObjMarkDeleted(sig), QELError_NoErr);
    EXPECT_EQ(qelSigGetSigner(sig, db, &out), QELError_DeadKeyObject);
    EXPECT_EQ(qelKeyOpUnavailable(), QELError_FeatureNotAvailable);
}

// A newer signing subkey must not hide the encryption subkey: the DSA key's
// RSA subkey is flagged for signing only.
TEST_F(KeyObjOps, NewerSigningSubkeyDoesNotHideTheEncryptionSubkey)
{
    QELKeyDB *db = open("public.gpg", "public.colons");
    ASSERT_NE(db, nullptr);
    for (QELKeyObject *key : liveKeys(db)) {
        if (qelKeyObjKeyInfo(key)->algorithm != 17)
            continue;
        QELKeyObject *elg = nullptr, *rsaSign = nullptr;
        for (QELKeyObject *s : liveChildren(key, QELObjectType_SubKey))
            (qelKeyObjKeyInfo(s)->algorithm == 16 ? elg : rsaSign) = s;
        ASSERT_TRUE(elg && rsaSign);
        // GnuPG made it expired; revive it so that it is the newest usable one.
        EXPECT_FALSE(qelKeyObjIsUsableSubKey(rsaSign, true, false));
        qelKeyObjSetValiditySeconds(rsaSign, 0);
        ASSERT_TRUE(qelKeyObjIsUsableSubKey(rsaSign, true, false));
        ASSERT_EQ(qelKeyObjNewestUsableSubKey(key, nullptr), rsaSign);
        EXPECT_EQ(qelKeyObjNewestUsableSubKeyFor(key, nullptr, QELKeyRole_Encrypt), elg);
        EXPECT_EQ(publicPart(key, QELKeyRole_Encrypt), keyIDHex(elg));
        return;
    }
    FAIL() << "no DSA key in the ring";
}

// Expiry comes from the newest valid self-signature, in whole days rounded
// up; GnuPG's listing gives the exact second.
TEST_F(KeyObjOps, ExpiryFollowsTheNewestSelfSignatureInWholeDays)
{
    QELKeyDB *db = open("keyuse.gpg");
    ASSERT_NE(db, nullptr);
    int withExpiry = 0;
    for (const auto &f : colons("keyuse.colons")) {
        if (f.size() < 7 || (f[0] != "pub" && f[0] != "sub"))
            continue;
        QELKeyObject *k = keyOrSubKeyByID(db, f[4]);
        ASSERT_NE(k, nullptr);
        std::uint32_t created = std::stoul(f[5]);
        ASSERT_EQ(qelKeyObjCreation(k), created);
        // The second GnuPG lists, exactly.
        std::uint32_t expected = 0;
        if (!f[6].empty()) {
            expected = std::stoul(f[6]);
            ++withExpiry;
        }
        EXPECT_EQ(qelKeyObjExpiration(k), expected) << f[4];
    }
    EXPECT_EQ(withExpiry, 3);
    // Twelve hours is one day, not "never"; "never" after 30 days is never.
    QELKeyObject *half = keyOrSubKeyByID(db, "C1B52F94A5483609");
    QELKeyObject *never = keyOrSubKeyByID(db, "5A5923C192C33C5D");
    ASSERT_TRUE(half && never);
    EXPECT_EQ(qelKeyObjKeyInfo(half)->validityDays, 1);
    EXPECT_EQ(qelKeyObjKeyInfo(never)->validityDays, 0);
    // Two self-signatures ten days apart, in either order in the ring: the
    // newest decides, as in GnuPG's listing; with only the older one valid,
    // the older one does.
    QELKeyDB *resigned = open("keyuse_resigned.gpg", "");
    ASSERT_NE(resigned, nullptr);
    struct Case { std::string id; std::uint16_t olderDays; } cases[] = {
        {"B5A30C5560E3D720", 30}, {"FFE288FEA2CA4BF7", 0}};
    for (const Case &c : cases) {
        QELKeyObject *key = keyOrSubKeyByID(resigned, c.id);
        ASSERT_NE(key, nullptr);
        auto sigs = liveChildren(liveChildren(key, QELObjectType_UserID).front(), QELObjectType_Signature);
        ASSERT_EQ(sigs.size(), 2u);
        QELKeyObject *older = qelSigCreation(sigs[0]) < qelSigCreation(sigs[1]) ? sigs[0] : sigs[1];
        QELKeyObject *newer = older == sigs[0] ? sigs[1] : sigs[0];
        qelKeyObjSigInfo(older)->state = QELSigState_Checked | QELSigState_Valid;
        qelKeyObjSigInfo(newer)->state = QELSigState_Checked;
        qelKeySigUpdateValidity(key);
        EXPECT_EQ(qelKeyObjKeyInfo(key)->validityDays, c.olderDays) << c.id;
        qelKeyObjSigInfo(newer)->state = QELSigState_Checked | QELSigState_Valid;
        qelKeySigUpdateValidity(key);
        std::uint32_t expected = 0;
        for (const auto &f : colons("keyuse_resigned.colons")) {
            if (f.size() > 6 && f[0] == "pub" && f[4] == c.id && !f[6].empty())
                expected = std::stoul(f[6]);
        }
        EXPECT_EQ(qelKeyObjExpiration(key), expected) << c.id;
    }
    // The expiration time saturates instead of wrapping.
    QELKeyInfo *info = qelKeyObjKeyInfo(half);
    info->creation = 0xFFFF0000u;
    qelKeyObjSetValiditySeconds(half, 2 * 86400);
    EXPECT_EQ(qelKeyObjExpiration(half), 0xFFFFFFFFu);
}
