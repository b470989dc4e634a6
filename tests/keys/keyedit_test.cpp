// Key editing over GnuPG-made keys (tests/keys/data/make_keyedit_keys.sh):
// each edit is imported into GnuPG, which must show it and find every
// signature good; an edit whose attach fails leaves the key as it was.
#include "keys_fixture.h"

#include "qelClientEncode.h"
#include "qelEnumeratedSet.h"
#include "qelKeyEditInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeySet.h"
#include "qelKeySig.h"
#include "qelKeySigInternal.h"
#include "qelOptionList.h"
#include "qelOptionListInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelSettingsInternal.h"
#include "qelTestHooks.h"
#include "qelTestEnv.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

using namespace keystest;

namespace {

using Bytes = std::vector<std::uint8_t>;

class KeyEdit : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        qelRandomPoolSetSeeded(); // signing needs a seeded pool
        db = open("keyedit_secret.gpg");
        ASSERT_NE(db, nullptr);
        alice = byMail(db, "alice@example.org");
        bob = byMail(db, "bob@example.org");
        carol = byMail(db, "carol@example.org");
        dave = byMail(db, "dave@example.org");
        ASSERT_TRUE(alice && bob && carol && dave);
    }
    void TearDown() override
    {
        qelKeyEditFailAttachForTesting(0);
        ContextTest::TearDown();
    }
    QELKeyDB *open(const std::string &name, const std::string &more = "")
    {
        Bytes bytes = readFile(dataPath(name));
        if (!more.empty()) {
            const Bytes extra = readFile(dataPath(more));
            bytes.insert(bytes.end(), extra.begin(), extra.end());
        }
        QELKeyDB *opened = openOwned(bytes);
        if (opened != nullptr) {
            EXPECT_EQ(qelKeySigCheckKeySet(qelKeyDBRootSet(opened), nullptr, 0, nullptr, nullptr), QELError_NoErr);
        }
        return opened;
    }
    static std::string text(QELKeyObject *u)
    {
        std::size_t n = 0;
        const std::uint8_t *t = qelUserIDText(u, &n);
        return t != nullptr ? std::string(reinterpret_cast<const char *>(t), n) : std::string();
    }
    static QELKeyObject *uidOf(QELKeyObject *key, const std::string &part)
    {
        for (QELKeyObject *u : liveChildren(key, QELObjectType_UserID))
            if (text(u).find(part) != std::string::npos)
                return u;
        return nullptr;
    }
    static QELKeyObject *byMail(QELKeyDB *in, const std::string &mail)
    {
        for (QELKeyObject *k : liveKeys(in))
            if (uidOf(k, mail) != nullptr)
                return k;
        return nullptr;
    }
    Options pass(const char *p) { return options(qelOptionPassphrase(ctx, p)); }

    // GnuPG's --check-sigs listing after importing the ring in public form.
    std::string gpgListing(QELKeyDB *ring, const std::string &extra = "")
    {
        Bytes bytes = ringBytes(ring, true);
        qeltest::TempDir home("qelkeyedit");
        qeltest::writeFile(home / "ring.gpg", std::string(bytes.begin(), bytes.end()));
        qeltest::writeFile(home / "gpg.conf", "allow-weak-key-signatures\n");
        const std::string gpg = "gpg --homedir " + home.path() + " --batch --pinentry-mode loopback --quiet --no-tty";
        static_cast<void>(std::system((gpg + " --import " + home / "ring.gpg" + " 2>/dev/null").c_str())); // listing below
        static_cast<void>(std::system((gpg + " --with-colons --fixed-list-mode --check-sigs " + extra + " > " +
                                       home / "sigs.txt" + " 2>/dev/null")
                                          .c_str())); // listing below
        static_cast<void>(std::system(("gpgconf --homedir " + home.path() + " --kill all >/dev/null 2>&1").c_str()));
        return qeltest::readFile(home / "sigs.txt");
    }

    QELKeyDB *db = nullptr;
    QELKeyObject *alice = nullptr, *bob = nullptr, *carol = nullptr, *dave = nullptr;
};

TEST_F(KeyEdit, GnuPGCertificationsCheckValidHere)
{
    QELKeyObject *uid = uidOf(alice, "<alice@example.org>");
    ASSERT_NE(uid, nullptr);
    int byBob = 0;
    for (QELKeyObject *sig : liveChildren(uid, QELObjectType_Signature)) {
        EXPECT_TRUE(qelSigIsChecked(sig));
        EXPECT_TRUE(qelSigIsValid(sig)) << qelKeyObjSigInfo(sig)->state;
        byBob += keyIDHex(bob) == [&] {
            QELKeyID id{};
            EXPECT_EQ(qelSigGetSignerID(sig, &id), QELError_NoErr);
            return hex(id.bytes, 8);
        }();
    }
    EXPECT_EQ(byBob, 1);
}

TEST_F(KeyEdit, EditsShowInGnuPGWithGoodSignatures)
{
    QELKeyObject *aliceSub = liveChildren(alice, QELObjectType_SubKey).at(0);
    QELKeyObject *aliceMain = uidOf(alice, "<alice@example.org>");
    QELKeyObject *aliceWork = uidOf(alice, "alice@work.example");
    ASSERT_TRUE(aliceMain && aliceWork);
    QELKeyObject *bobCert = nullptr;
    for (QELKeyObject *sig : liveChildren(aliceMain, QELObjectType_Signature))
        if (qelSigType(sig) == 0x10)
            bobCert = sig;
    ASSERT_NE(bobCert, nullptr);

    ASSERT_EQ(qelSubKeyRevokeWithOptions(aliceSub, pass("alice-pass").get()), QELError_NoErr);
    ASSERT_EQ(qelSigRevokeWithOptions(bobCert, pass("bob-pass").get()), QELError_NoErr);
    ASSERT_EQ(qelUserIDCertifyWithOptions(aliceWork, bob,
                                          options(qelOptionPassphrase(ctx, "bob-pass"), qelOptionExportable(ctx, 1),
                                                  qelOptionValidityDays(ctx, 100))
                                              .get()),
              QELError_NoErr);
    ASSERT_EQ(qelKeyAddUserIDWithOptions(alice, "Alice Third <alice3@example.org>", pass("alice-pass").get()),
              QELError_NoErr);
    ASSERT_EQ(qelUserIDSetPrimaryWithOptions(aliceMain, pass("alice-pass").get()), QELError_NoErr);
    const std::uint32_t ciphers[] = {9, 8, 7};
    ASSERT_EQ(qelKeySetPreferencesWithOptions(
                  bob, options(qelOptionPassphrase(ctx, "bob-pass"), qelOptionPreferredCiphers(ctx, ciphers, 3)).get()),
              QELError_NoErr);
    QELKeySet *bobSet = nullptr;
    ASSERT_EQ(qelEnumeratedSetFromObject(bob, &bobSet), QELError_NoErr);
    ASSERT_EQ(qelKeyAddRevokersWithOptions(
                  alice, options(qelOptionPassphrase(ctx, "alice-pass"), qelOptionRevocationKeys(ctx, bobSet)).get()),
              QELError_NoErr);
    EXPECT_EQ(qelKeySetRelease(bobSet), QELError_NoErr);
    // Dave has expired: his revocation is made all the same.
    ASSERT_EQ(qelKeyRevokeWithOptions(dave, pass("dave-pass").get()), QELError_NoErr);
    // Revoking what is revoked makes nothing.
    const Bytes before = ringBytes(db);
    EXPECT_EQ(qelKeyRevokeWithOptions(dave, pass("dave-pass").get()), QELError_NoErr);
    EXPECT_EQ(ringBytes(db), before);

    std::uint8_t fpr[20] = {};
    ASSERT_EQ(qelKeyObjFingerprint(bob, fpr), 20);
    const std::string bobFpr = hex(fpr, 20);
    const std::string listing = gpgListing(db);
    const auto recs = colonRecords(listing);
    std::string key, sub, uid;
    bool aliceSubRevoked = false, daveRevoked = false, workCertified = false, certRevoked = false;
    bool third = false, revoker = false, firstUIDOfAliceIsMain = false;
    int aliceUIDs = 0;
    for (const auto &f : recs) {
        if (f.empty())
            continue;
        const std::string &t = f[0];
        if (t == "pub") {
            key = f.at(4);
            sub.clear();
            uid.clear();
            daveRevoked |= key == keyIDHex(dave) && f.at(1) == "r";
        } else if (t == "sub") {
            sub = f.at(4);
            aliceSubRevoked |= sub == keyIDHex(aliceSub) && f.at(1) == "r";
        } else if (t == "uid") {
            uid = f.at(9);
            if (key == keyIDHex(alice) && aliceUIDs++ == 0)
                firstUIDOfAliceIsMain = uid == "Alice <alice@example.org>";
            third |= uid == "Alice Third <alice3@example.org>";
        } else if (t == "rvk") {
            revoker |= key == keyIDHex(alice) && f.at(9) == bobFpr && f.at(10) == "80";
        } else if (t == "sig" || t == "rev") {
            EXPECT_EQ(f.at(1), "!") << "key " << key << " uid " << uid << ": " << listing;
            if (t == "sig" && uid == "Alice Work <alice@work.example>" && f.at(4) == keyIDHex(bob))
                workCertified = f.at(10) == "10x" && !f.at(6).empty();
            if (t == "rev" && uid == "Alice <alice@example.org>" && f.at(4) == keyIDHex(bob))
                certRevoked = f.at(10) == "30x";
        }
    }
    EXPECT_TRUE(aliceSubRevoked) << listing;
    EXPECT_TRUE(daveRevoked) << listing;
    EXPECT_TRUE(workCertified) << listing;
    EXPECT_TRUE(certRevoked) << listing;
    EXPECT_TRUE(third) << listing;
    EXPECT_TRUE(revoker) << listing;
    EXPECT_TRUE(firstUIDOfAliceIsMain) << listing;

    // GnuPG reads the new preferences from Bob's self-signature.
    Bytes bytes = ringBytes(db, true);
    qeltest::TempDir home("qelkeyeditpref");
    qeltest::writeFile(home / "ring.gpg", std::string(bytes.begin(), bytes.end()));
    const std::string gpg = "gpg --homedir " + home.path() + " --batch --quiet --no-tty";
    static_cast<void>(std::system((gpg + " --import " + home / "ring.gpg" + " 2>/dev/null").c_str())); // listing below
    static_cast<void>(std::system(("echo quit | " + gpg + " --with-colons --command-fd 0 --edit-key " + keyIDHex(bob) +
                                   " > " + home / "edit.txt" + " 2>/dev/null")
                                      .c_str())); // listing below
    static_cast<void>(std::system(("gpgconf --homedir " + home.path() + " --kill all >/dev/null 2>&1").c_str()));
    const std::string edit = qeltest::readFile(home / "edit.txt");
    EXPECT_NE(edit.find(":S9 S8 S7"), std::string::npos) << edit;
}

TEST_F(KeyEdit, DesignatedRevokerRevokesAKeyWithoutItsSecret)
{
    QELKeyDB *ring = open("keyedit_carol_public.gpg", "keyedit_bob_secret.gpg");
    ASSERT_NE(ring, nullptr);
    QELKeyObject *c = byMail(ring, "carol@example.org");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(qelKeyRevokeWithOptions(c, pass("wrong").get()), QELError_BadPassphrase);
    ASSERT_EQ(qelKeyRevokeWithOptions(c, pass("bob-pass").get()), QELError_NoErr);
    const std::string listing = gpgListing(ring);
    bool revoked = false;
    for (const auto &f : colonRecords(listing))
        if (!f.empty() && f[0] == "pub" && f.at(4) == keyIDHex(c))
            revoked = f.at(1) == "r";
    EXPECT_TRUE(revoked) << listing;
    // A subkey with no signer at all: the key without its secret and no
    // revoker named.
    QELKeyDB *alone = open("keyedit_carol_public.gpg");
    QELKeyObject *carolAlone = liveKeys(alone).at(0);
    EXPECT_EQ(qelKeyRevokeWithOptions(carolAlone, pass("carol-pass").get()), QELError_NoSecretKey);
}

TEST_F(KeyEdit, SubkeyRevocationWithoutSignerIsAnError)
{
    // Bob's ring without Bob's secret: Alice's public key would need one.
    QELKeyDB *ring = open("keyedit_carol_public.gpg", "keyedit_bob_secret.gpg");
    QELKeyObject *b = byMail(ring, "bob@example.org");
    ASSERT_NE(b, nullptr);
    QELKeyObject *bSub = liveChildren(b, QELObjectType_SubKey).at(0);
    EXPECT_EQ(qelSubKeyRevokeWithOptions(bSub, pass("wrong").get()), QELError_BadPassphrase);
    // Every secret part dropped from view: Carol has no subkey, so use the
    // secret ring read as public only through a key without secret.
    QELKeyInfo *info = qelKeyObjKeyInfo(b);
    const std::uint32_t saved = info->infoFlags;
    info->infoFlags &= ~std::uint32_t(0x18);
    EXPECT_EQ(qelSubKeyRevokeWithOptions(bSub, pass("bob-pass").get()), QELError_NoSecretKey);
    info->infoFlags = saved;
}

TEST_F(KeyEdit, FailedAttachLeavesTheKeyAsItWas)
{
    QELKeySet *bobSet = nullptr;
    ASSERT_EQ(qelEnumeratedSetFromObject(bob, &bobSet), QELError_NoErr);
    const std::uint32_t ciphers[] = {9, 3};
    struct Case {
        const char *what;
        std::function<QELStatus()> edit;
        int attaches; // how many signatures the edit makes
    } cases[] = {
        {"revoke subkey",
         [&] { return qelSubKeyRevokeWithOptions(liveChildren(bob, QELObjectType_SubKey).at(0), pass("bob-pass").get()); },
         1},
        {"certify",
         [&] { return qelUserIDCertifyWithOptions(uidOf(carol, "carol"), bob, pass("bob-pass").get()); }, 1},
        {"add user ID", [&] { return qelKeyAddUserIDWithOptions(bob, "Bob Two <bob2@example.org>", pass("bob-pass").get()); }, 1},
        {"primary user ID",
         [&] { return qelUserIDSetPrimaryWithOptions(uidOf(alice, "alice@work.example"), pass("alice-pass").get()); },
         1},
        {"preferences",
         [&] {
             return qelKeySetPreferencesWithOptions(
                 alice, options(qelOptionPassphrase(ctx, "alice-pass"), qelOptionPreferredCiphers(ctx, ciphers, 2)).get());
         },
         4},
        {"designated revoker",
         [&] {
             return qelKeyAddRevokersWithOptions(
                 carol, options(qelOptionPassphrase(ctx, "carol-pass"), qelOptionRevocationKeys(ctx, bobSet)).get());
         },
         1},
        {"revoke key", [&] { return qelKeyRevokeWithOptions(carol, pass("carol-pass").get()); }, 1},
    };
    for (const Case &c : cases) {
        for (int n = 1; n <= c.attaches; ++n) {
            SCOPED_TRACE(std::string(c.what) + " failing at attach " + std::to_string(n));
            const Bytes before = ringBytes(db);
            qelKeyEditFailAttachForTesting(n);
            EXPECT_EQ(c.edit(), QELError_OutOfMemory);
            qelKeyEditFailAttachForTesting(0);
            EXPECT_EQ(ringBytes(db), before);
        }
    }
    // Without a failure every edit goes through.
    for (const Case &c : cases)
        EXPECT_EQ(c.edit(), QELError_NoErr) << c.what;
    // Alice's work address now carries a primary mark, so moving the mark
    // back signs twice: the new primary first, then the old one without its
    // mark. A failure at either leaves the old primary in place.
    QELKeyObject *home = uidOf(alice, "<alice@example.org>"), *work = uidOf(alice, "alice@work.example");
    QELKeyObject *primary = nullptr;
    ASSERT_EQ(qelKeyGetPrimaryUserID(alice, &primary), QELError_NoErr);
    ASSERT_EQ(primary, work);
    for (int n = 1; n <= 2; ++n) {
        SCOPED_TRACE("moving the primary mark back, failing at attach " + std::to_string(n));
        const Bytes before = ringBytes(db);
        qelKeyEditFailAttachForTesting(n);
        EXPECT_EQ(qelUserIDSetPrimaryWithOptions(home, pass("alice-pass").get()), QELError_OutOfMemory);
        qelKeyEditFailAttachForTesting(0);
        EXPECT_EQ(ringBytes(db), before);
        ASSERT_EQ(qelKeyGetPrimaryUserID(alice, &primary), QELError_NoErr);
        EXPECT_EQ(primary, work);
    }
    EXPECT_EQ(qelUserIDSetPrimaryWithOptions(home, pass("alice-pass").get()), QELError_NoErr);
    ASSERT_EQ(qelKeyGetPrimaryUserID(alice, &primary), QELError_NoErr);
    EXPECT_EQ(primary, home);
    EXPECT_EQ(qelKeySetRelease(bobSet), QELError_NoErr);
}

TEST_F(KeyEdit, CertificationTimeNearTheEndStaysAtTheEnd)
{
    // A given creation time moved forward by the offset past the last
    // representable second stops there instead of wrapping round to 1970.
    ASSERT_EQ(qelSettingsSetInt(qelContextGetSettings(ctx), QELSetting_TimeOffsetHours, 2, QELSettingPriority_Job),
              QELError_NoErr);
    QELKeyObject *carolUID = uidOf(carol, "carol");
    ASSERT_NE(carolUID, nullptr);
    ASSERT_EQ(qelUserIDCertifyWithOptions(
                  carolUID, bob,
                  options(qelOptionPassphrase(ctx, "bob-pass"), qelOptionCreationTime(ctx, 0xFFFFF000u)).get()),
              QELError_NoErr);
    QELKeyObject *made = liveChildren(carolUID, QELObjectType_Signature).back();
    EXPECT_EQ(qelKeyObjSigInfo(made)->creation, 0xFFFFFFFFu);
}

TEST_F(KeyEdit, OptionKindsAndEditRules)
{
    QELKeyObject *carolUID = uidOf(carol, "carol");
    // Kinds a front end does not take are refused before anything changes.
    const Bytes before = ringBytes(db);
    struct Refusal {
        const char *what;
        std::function<QELStatus()> call;
    } refusals[] = {
        {"creation time to a key revocation",
         [&] { return qelKeyRevokeWithOptions(carol, options(qelOptionCreationTime(ctx, 1000)).get()); }},
        {"creation time to a signature revocation",
         [&] {
             return qelSigRevokeWithOptions(liveChildren(carolUID, QELObjectType_Signature).at(0),
                                            options(qelOptionCreationTime(ctx, 1000)).get());
         }},
        {"validity days to a user ID",
         [&] { return qelKeyAddUserIDWithOptions(carol, "x", options(qelOptionValidityDays(ctx, 3)).get()); }},
        {"exportable to a primary user ID",
         [&] { return qelUserIDSetPrimaryWithOptions(carolUID, options(qelOptionExportable(ctx, 1)).get()); }},
        {"key flags to a certification",
         [&] { return qelUserIDCertifyWithOptions(carolUID, bob, options(qelOptionKeyFlags(ctx, 3)).get()); }},
        {"regular expression to preferences",
         [&] { return qelKeySetPreferencesWithOptions(carol, options(qelOptionRegularExpression(ctx, "x")).get()); }},
        {"a subkey to the key revocation",
         [&] { return qelKeyRevokeWithOptions(liveChildren(bob, QELObjectType_SubKey).at(0), options().get()); }},
        {"trust depth past an octet",
         [&] {
             return qelUserIDCertifyWithOptions(
                 carolUID, bob, options(qelOptionPassphrase(ctx, "bob-pass"), qelOptionTrustSignature(ctx, 256, 5)).get());
         }},
        {"negative trust depth",
         [&] {
             return qelUserIDCertifyWithOptions(
                 carolUID, bob, options(qelOptionPassphrase(ctx, "bob-pass"), qelOptionTrustSignature(ctx, -1, 5)).get());
         }},
    };
    for (const Refusal &r : refusals)
        EXPECT_EQ(r.call(), QELError_BadParams) << r.what;
    // Mandatory revokers; no preference given changes nothing.
    EXPECT_EQ(qelKeyAddRevokersWithOptions(carol, pass("carol-pass").get()), QELError_OptionNotFound);
    EXPECT_EQ(qelKeySetPreferencesWithOptions(carol, pass("carol-pass").get()), QELError_NoErr);
    EXPECT_EQ(ringBytes(db), before);

    // Without QELOption_Exportable the certification is local-only, and a
    // second one by the same signer is a duplicate, also after revoking.
    ASSERT_EQ(qelUserIDCertifyWithOptions(carolUID, bob,
                                          options(qelOptionPassphrase(ctx, "bob-pass"), qelOptionTrustSignature(ctx, 1, 5),
                                                  qelOptionRegularExpression(ctx, "<[^>]+[@.]example\\.org>$"))
                                              .get()),
              QELError_NoErr);
    QELKeyObject *made = liveChildren(carolUID, QELObjectType_Signature).back();
    EXPECT_EQ(qelKeyObjSigInfo(made)->flags & QELSigInfo_Exportable, 0u);
    EXPECT_EQ(qelKeyObjSigInfo(made)->trustDepth, 1);
    EXPECT_EQ(qelKeyObjSigInfo(made)->trustAmount, 60);
    EXPECT_NE(qelKeyObjSigInfo(made)->flags & QELSigInfo_RegExp, 0u);
    EXPECT_EQ(qelUserIDCertifyWithOptions(carolUID, bob, pass("bob-pass").get()), QELError_DuplicateSignature);
    ASSERT_EQ(qelSigRevokeWithOptions(made, pass("bob-pass").get()), QELError_NoErr);
    EXPECT_EQ(qelUserIDCertifyWithOptions(carolUID, bob, pass("bob-pass").get()), QELError_DuplicateSignature);
    // A bad regular expression is refused.
    EXPECT_EQ(qelUserIDCertifyWithOptions(uidOf(dave, "dave"), bob,
                                          options(qelOptionPassphrase(ctx, "bob-pass"), qelOptionRegularExpression(ctx, "(")).get()),
              QELError_BadParams);
    // Certifying an expired key's user ID: its usability error.
    EXPECT_EQ(qelUserIDCertifyWithOptions(uidOf(dave, "dave"), bob, pass("bob-pass").get()), QELError_KeyExpired);

    // The same user ID text twice; a wrong passphrase adds nothing.
    EXPECT_EQ(qelKeyAddUserIDWithOptions(carol, "Carol <carol@example.org>", pass("carol-pass").get()),
              QELError_DuplicateUserID);
    EXPECT_EQ(qelKeyAddUserIDWithOptions(carol, "Carol New", pass("wrong").get()), QELError_BadPassphrase);
    EXPECT_EQ(uidOf(carol, "Carol New"), nullptr);
    ASSERT_EQ(qelKeyAddUserIDWithOptions(carol, "Carol New", pass("carol-pass").get()), QELError_NoErr);
    EXPECT_EQ(text(uidOf(carol, "Carol New")), "Carol New"); // without the NUL
    // User attributes: same bytes of another type are no duplicate.
    const std::uint8_t photo[] = {1, 2, 3, 4};
    ASSERT_EQ(qelKeyAddUserAttributeWithOptions(carol, 1, photo, 4, pass("carol-pass").get()), QELError_NoErr);
    EXPECT_EQ(qelKeyAddUserAttributeWithOptions(carol, 1, photo, 4, pass("carol-pass").get()), QELError_DuplicateUserID);
    EXPECT_EQ(qelKeyAddUserAttributeWithOptions(carol, 2, photo, 4, pass("carol-pass").get()), QELError_NoErr);
}

} // namespace
