// Changing the passphrase of keys and subkeys made by GnuPG
// (tests/keys/data/make_keyedit_keys.sh): GnuPG must take the re-protected
// ring and open each changed key with the new passphrase only; a refused
// change leaves the ring as it was.
#include "keys_fixture.h"

#include "qelKeyManInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySig.h"
#include "qelPkAlgInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelTestEnv.h"

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <functional>

using namespace keystest;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A GnuPG home holding a ring; its agent keeps no passphrase, so every
// operation has to open the key with the passphrase it is given.
class GnuPGHome {
public:
    explicit GnuPGHome(const Bytes &ring) : home_("qelkeypass")
    {
        qeltest::writeFile(home_ / "ring.gpg", std::string(ring.begin(), ring.end()));
        qeltest::writeFile(home_ / "gpg.conf", "allow-weak-key-signatures\n");
        qeltest::writeFile(home_ / "gpg-agent.conf", "default-cache-ttl 0\nmax-cache-ttl 0\n");
        qeltest::writeFile(home_ / "message.txt", "a message\n");
        imported_ = run("--import " + home_ / "ring.gpg") == 0;
    }
    // The agent stops before its home goes.
    ~GnuPGHome()
    {
        const std::string stop = "gpgconf --homedir " + home_.path() + " --kill all >/dev/null 2>&1";
        static_cast<void>(std::system(stop.c_str())); // nothing to report from a destructor
    }
    GnuPGHome(const GnuPGHome &) = delete;
    GnuPGHome &operator=(const GnuPGHome &) = delete;

    bool imported() const { return imported_; }
    // gpg's exit status.
    int run(const std::string &args) const
    {
        const std::string command = "gpg --homedir " + home_.path() +
                                    " --batch --pinentry-mode loopback --quiet --no-tty --yes " + args +
                                    " >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool signs(const std::string &keyID, const std::string &passphrase) const
    {
        return run("--passphrase '" + passphrase + "' --local-user " + keyID + "! --output " + home_ / "out.sig" +
                   " --sign " + home_ / "message.txt") == 0;
    }
    // Encrypts to the subkey, then decrypts, which only the subkey can.
    bool decrypts(const std::string &subKeyID, const std::string &passphrase) const
    {
        return run("--trust-model always --recipient " + subKeyID + "! --output " + home_ / "message.gpg" +
                   " --encrypt " + home_ / "message.txt") == 0 &&
               run("--passphrase '" + passphrase + "' --output " + home_ / "back.txt" + " --decrypt " +
                   home_ / "message.gpg") == 0;
    }

private:
    qeltest::TempDir home_;
    bool imported_ = false;
};

// How a secret packet protects its material: the usage octet, the cipher and
// the string-to-key type (0 for the simple form a usage octet below 254
// names).
struct Protection {
    int usage = -1, cipher = -1, s2k = -1;
};

Protection protectionOf(QELKeyObject *k)
{
    std::size_t n = 0;
    const std::uint8_t *p = qelKeyObjRawPacket(k, &n);
    const std::size_t h = p != nullptr ? qelPacketHeaderSize(p, n) : 0;
    if (h == 0 || n < h + 6 || p[h] != 4)
        return {};
    const std::uint8_t *body = p + h;
    const std::int32_t publicLength = qelPkAlgPublicDataLength(body[5], body + 6, n - h - 6);
    if (publicLength <= 0 || std::size_t(publicLength) + 6 + 3 > n - h)
        return {};
    const std::uint8_t *secret = body + 6 + publicLength;
    if (secret[0] == 254 || secret[0] == 255)
        return {secret[0], secret[1], secret[2]};
    return {secret[0], secret[0], secret[0] == 0 ? -1 : 0};
}

class KeyPassphrase : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        qelRandomPoolSetSeeded(); // the new protection draws a salt and an IV
        db = openRing();
        ASSERT_NE(db, nullptr);
        alice = keyWithUserID(db, "alice@example.org");
        bob = keyWithUserID(db, "bob@example.org");
        ASSERT_TRUE(alice && bob);
        aliceSub = liveChildren(alice, QELObjectType_SubKey).at(0);
        bobSub = liveChildren(bob, QELObjectType_SubKey).at(0);
    }
    // The fixture ring with its signatures checked, as the key's preferences
    // are read from valid self-signatures only.
    QELKeyDB *openRing()
    {
        QELKeyDB *ring = openOwned(readFile(dataPath("keyedit_secret.gpg")));
        if (ring != nullptr) {
            EXPECT_EQ(qelKeySigCheckKeySet(qelKeyDBRootSet(ring), nullptr, 0, nullptr, nullptr), QELError_NoErr);
        }
        return ring;
    }
    Options change(const char *oldPassphrase, const char *newPassphrase)
    {
        return options(qelOptionPassphrase(ctx, oldPassphrase), qelOptionPassphrase(ctx, newPassphrase));
    }

    QELKeyDB *db = nullptr;
    QELKeyObject *alice = nullptr, *bob = nullptr, *aliceSub = nullptr, *bobSub = nullptr;
};

TEST_F(KeyPassphrase, GnuPGOpensChangedKeysWithTheNewPassphraseOnly)
{
    // Alice is RSA, Bob DSA with an ElGamal subkey: both version 4, so both
    // are protected anew iterated and salted.
    ASSERT_EQ(qelKeyChangePassphraseWithOptions(alice, change("alice-pass", "alice-new").get()), QELError_NoErr);
    ASSERT_EQ(qelSubKeyChangePassphraseWithOptions(aliceSub, change("alice-pass", "alice-sub-new").get()),
              QELError_NoErr);
    ASSERT_EQ(qelKeyChangePassphraseWithOptions(bob, change("bob-pass", "bob-new").get()), QELError_NoErr);
    ASSERT_EQ(qelSubKeyChangePassphraseWithOptions(bobSub, change("bob-pass", "bob-sub-new").get()), QELError_NoErr);
    EXPECT_EQ(protectionOf(alice).s2k, 3);
    EXPECT_EQ(protectionOf(bob).s2k, 3);

    // The new passphrases open the keys here too.
    for (auto [k, p] : {std::pair{alice, "alice-new"}, {aliceSub, "alice-sub-new"}, {bob, "bob-new"},
                        {bobSub, "bob-sub-new"}}) {
        QELSecretKeyObject *ops = qelKeyObjSecretOps(k, QELKeyRole_Own);
        ASSERT_NE(ops, nullptr);
        EXPECT_EQ(ops->unlock(ops, p, std::strlen(p), 0), 1) << p;
        EXPECT_EQ(ops->destroy(ops), QELError_NoErr);
    }

    GnuPGHome gpg(ringBytes(db));
    ASSERT_TRUE(gpg.imported());
    struct Use {
        const char *what;
        std::function<bool(const std::string &)> opens;
        const char *oldPassphrase, *newPassphrase;
    } uses[] = {
        {"Alice signs", [&](const std::string &p) { return gpg.signs(keyIDHex(alice), p); }, "alice-pass",
         "alice-new"},
        {"Alice's subkey decrypts", [&](const std::string &p) { return gpg.decrypts(keyIDHex(aliceSub), p); },
         "alice-pass", "alice-sub-new"},
        {"Bob signs", [&](const std::string &p) { return gpg.signs(keyIDHex(bob), p); }, "bob-pass", "bob-new"},
        {"Bob's subkey decrypts", [&](const std::string &p) { return gpg.decrypts(keyIDHex(bobSub), p); },
         "bob-pass", "bob-sub-new"},
    };
    for (const Use &u : uses) {
        EXPECT_FALSE(u.opens(u.oldPassphrase)) << u.what << " with the old passphrase";
        EXPECT_TRUE(u.opens(u.newPassphrase)) << u.what << " with the new passphrase";
    }
}

TEST_F(KeyPassphrase, RefusedChangesLeaveTheRingAsItWas)
{
    const Bytes before = ringBytes(db);
    struct Refusal {
        const char *what;
        std::function<QELStatus()> call;
        QELStatus expected;
    } refusals[] = {
        {"wrong old passphrase", [&] { return qelKeyChangePassphraseWithOptions(alice, change("wrong", "x").get()); },
         QELError_BadPassphrase},
        {"wrong old passphrase of a subkey",
         [&] { return qelSubKeyChangePassphraseWithOptions(bobSub, change("wrong", "x").get()); },
         QELError_BadPassphrase},
        {"no old passphrase for a locked subkey",
         [&] { return qelSubKeyChangePassphraseWithOptions(bobSub, options().get()); }, QELError_BadPassphrase},
        {"the new passphrase alone",
         [&] { return qelKeyChangePassphraseWithOptions(alice, options(qelOptionPassphrase(ctx, "x")).get()); },
         QELError_OptionNotFound},
        {"three secrets",
         [&] {
             return qelKeyChangePassphraseWithOptions(
                 alice, options(qelOptionPassphrase(ctx, "alice-pass"), qelOptionPassphrase(ctx, "x"),
                                qelOptionPassphrase(ctx, "y"))
                            .get());
         },
         QELError_BadParams},
        {"an option kind not taken",
         [&] {
             return qelKeyChangePassphraseWithOptions(
                 alice, options(qelOptionPassphrase(ctx, "alice-pass"), qelOptionPassphrase(ctx, "x"),
                                qelOptionCreationTime(ctx, 1000))
                            .get());
         },
         QELError_BadParams},
        {"a subkey to the key form",
         [&] { return qelKeyChangePassphraseWithOptions(aliceSub, change("alice-pass", "x").get()); },
         QELError_BadParams},
        {"a key to the subkey form",
         [&] { return qelSubKeyChangePassphraseWithOptions(alice, change("alice-pass", "x").get()); },
         QELError_BadParams},
    };
    for (const Refusal &r : refusals) {
        EXPECT_EQ(r.call(), r.expected) << r.what;
        EXPECT_EQ(ringBytes(db), before) << r.what;
    }

    // A key whose secret part is missing.
    QELKeyDB *publicRing = openOwned(readFile(dataPath("keyedit_carol_public.gpg")));
    ASSERT_NE(publicRing, nullptr);
    EXPECT_EQ(qelKeyChangePassphraseWithOptions(liveKeys(publicRing).at(0), change("carol-pass", "x").get()),
              QELError_NoSecretKey);
}

TEST_F(KeyPassphrase, NewProtectionUsesTheFirstPreferredCipherThisBuildHas)
{
    const std::vector<std::uint8_t> passkey(32, 0x5A); // an AES-256 key
    struct Case {
        std::vector<std::uint32_t> preferred;
        int cipher;
    } cases[] = {
        {{9, 3}, 9},
        {{3, 9}, 3},
        {{11, 7}, 7}, // Camellia, which this build lacks, is passed over
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cipher);
        QELKeyDB *ring = openRing();
        ASSERT_NE(ring, nullptr);
        QELKeyObject *b = keyWithUserID(ring, "bob@example.org");
        QELKeyObject *sub = liveChildren(b, QELObjectType_SubKey).at(0);
        ASSERT_EQ(qelKeySetPreferencesWithOptions(
                      b, options(qelOptionPassphrase(ctx, "bob-pass"),
                                 qelOptionPreferredCiphers(ctx, c.preferred.data(), std::uint32_t(c.preferred.size())))
                             .get()),
                  QELError_NoErr);
        ASSERT_EQ(qelKeyChangePassphraseWithOptions(b, change("bob-pass", "bob-new").get()), QELError_NoErr);
        const Protection key = protectionOf(b);
        EXPECT_GE(key.usage, 254);
        EXPECT_EQ(key.cipher, c.cipher);
        EXPECT_EQ(key.s2k, 3);
        // A subkey follows its primary key's preferences.
        ASSERT_EQ(qelSubKeyChangePassphraseWithOptions(sub, change("bob-pass", "bob-sub-new").get()), QELError_NoErr);
        EXPECT_EQ(protectionOf(sub).cipher, c.cipher);
    }

    // A passkey as the new secret protects with string-to-key type 5, and
    // the key then opens with that passkey and the cache keeps it.
    ASSERT_EQ(qelSubKeyChangePassphraseWithOptions(
                  bobSub, options(qelOptionPassphrase(ctx, "bob-pass"),
                                  qelOptionPasskeyBuffer(ctx, passkey.data(), passkey.size()),
                                  qelOptionCachePassphrase(ctx, 600, 0))
                              .get()),
              QELError_NoErr);
    EXPECT_EQ(protectionOf(bobSub).s2k, 5);
    EXPECT_EQ(protectionOf(bobSub).cipher, 9); // GnuPG's first preference, so the passkey's size
    QELSecretKeyObject *ops = qelKeyObjSecretOps(bobSub, QELKeyRole_Own);
    ASSERT_NE(ops, nullptr);
    EXPECT_EQ(ops->unlock(ops, passkey.data(), passkey.size(), 1), 1);
    EXPECT_EQ(ops->destroy(ops), QELError_NoErr);
    EXPECT_EQ(qelKeyObjUnlock(bobSub, nullptr, 0, 0, 0, 0), QELError_NoErr) << "opened from the cache";
}

} // namespace
