// Keys generated through the option-list front ends: GnuPG imports them
// with the same key IDs, user IDs, preferences, expiry and revoker, finds
// every self-signature good and unlocks the secret keys with their
// passphrases; the front ends' refusals leave the database as it was.
#include "keys_fixture.h"

#include "qelAlgorithms.h"
#include "qelClientEncode.h"
#include "qelEnumeratedSet.h"
#include "qelKeyGenInternal.h"
#include "qelKeyMan.h"
#include "qelKeyManInternal.h"
#include "qelKeyOpsInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySigInternal.h"
#include "qelSigSpecInternal.h"
#include "qelKeySet.h"
#include "qelOptionList.h"
#include "qelOptionListInternal.h"
#include "qelPkAlgInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelSettingsInternal.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>

using namespace keystest;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kCreation = 1'600'000'000;

class KeyGenFrontEnd : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        qelRandomPoolSetSeeded();
        ASSERT_EQ(qelKeyDBNewInMemoryLocal(ctx, &db), QELError_NoErr);
    }
    void TearDown() override
    {
        if (db != nullptr) {
            EXPECT_EQ(qelKeyDBReleaseLocal(db), QELError_NoErr);
        }
        ContextTest::TearDown();
    }
    template <typename... Items>
    Options options(Items... items)
    {
        return Options(qelOptionListBuild(ctx, false, items..., qelOptionLastOption(ctx)));
    }
    // Generation draws on the pool's entropy estimate; each one here finds
    // enough, as after the user's keystrokes.
    static void entropy() { qelRandomPoolRaiseEntropy(4096); }
    // A key into db: algorithm and size, user ID, passphrase, then any more
    // options.
    template <typename... More>
    QELStatus key(QELKeyObject **out, std::int32_t algorithm, std::uint32_t bits, const char *userID,
                  const char *passphrase, More... more)
    {
        Options o = options(qelOptionTargetKeyDB(ctx, db), qelOptionKeyGenParams(ctx, algorithm, bits, 0),
                            qelOptionUserID(ctx, userID, std::uint32_t(std::strlen(userID))),
                            qelOptionPassphrase(ctx, passphrase), qelOptionKeyGenFlag(ctx, 1), more...);
        entropy();
        return qelKeyGenerateWithOptions(out, o.get());
    }

    QELKeyDB *db = nullptr;
};

// ---- GnuPG reads what was generated ---------------------------------------------------------

class GnuPGHome {
public:
    // Without weak signatures allowed, GnuPG holds keys to its default policy.
    explicit GnuPGHome(bool allowWeak = true) : home_("qelkeygen")
    {
        qeltest::writeFile(home_ / "gpg.conf", allowWeak ? "allow-weak-key-signatures\n" : "");
    }
    ~GnuPGHome() { run("gpgconf --homedir " + home_.path() + " --kill all >/dev/null 2>&1"); }
    GnuPGHome(const GnuPGHome &) = delete;
    GnuPGHome &operator=(const GnuPGHome &) = delete;

    // gpg's exit status for the arguments; its standard output in *out.
    int gpg(const std::string &args, std::string *out = nullptr)
    {
        const std::string file = home_ / "out.txt";
        const int rc = run("gpg --homedir " + home_.path() + " --batch --pinentry-mode loopback --no-tty " + args +
                           " > " + file + " 2>" + home_ / "err.txt");
        if (out != nullptr)
            *out = qeltest::readFile(file);
        return rc;
    }
    std::string put(const std::string &name, const Bytes &bytes)
    {
        qeltest::writeFile(home_ / name, std::string(bytes.begin(), bytes.end()));
        return home_ / name;
    }
    std::string errors() const { return qeltest::readFile(home_ / "err.txt"); }

private:
    static int run(const std::string &command)
    {
        const int rc = std::system(command.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    qeltest::TempDir home_;
};

std::string fingerprint(QELKeyObject *k)
{
    std::uint8_t fpr[20] = {};
    EXPECT_EQ(qelKeyObjFingerprint(k, fpr), 20);
    return hex(fpr, 20);
}

TEST_F(KeyGenFrontEnd, GnuPGImportsTheKeysAndUnlocksThemWithTheirPassphrases)
{
    // Made an hour ago, so that the expiry GnuPG checks lies ahead.
    const std::uint32_t created = std::uint32_t(std::time(nullptr)) - 3600;
    // DSA with an ElGamal subkey, default preferences, no expiry.
    QELKeyObject *dsa = nullptr, *elg = nullptr, *rsa = nullptr;
    ASSERT_EQ(key(&dsa, QELPublicKeyAlgorithm_DSA, 1024, "Dora DSA <dora@example.org>", "dora-pass",
                  qelOptionCreationTime(ctx, created)),
              QELError_NoErr);
    entropy();
    ASSERT_EQ(qelSubKeyGenerateWithOptions(
                  &elg, options(qelOptionMasterKey(ctx, dsa), qelOptionKeyGenParams(ctx, 16, 1024, 0),
                                qelOptionPassphrase(ctx, "dora-pass"), qelOptionKeyGenFlag(ctx, 1),
                                qelOptionValidityDays(ctx, 400), qelOptionCreationTime(ctx, created))
                            .get()),
              QELError_NoErr);
    ASSERT_NE(elg, nullptr);
    EXPECT_EQ(elg->parent, dsa);

    // RSA with key flags (so version 4), its own preferences, expiry and
    // the DSA key as designated revoker.
    QELKeySet *revoker = nullptr;
    ASSERT_EQ(qelEnumeratedSetFromObject(dsa, &revoker), QELError_NoErr);
    const std::uint32_t ciphers[] = {9, 7, 3};
    const std::uint32_t zips[] = {1};
    const QELStatus made = key(&rsa, QELPublicKeyAlgorithm_RSA, 1024, "Rita RSA <rita@example.org>", "rita-pass",
                               qelOptionKeyFlags(ctx, 0x03), qelOptionValidityDays(ctx, 30),
                               qelOptionCreationTime(ctx, created), qelOptionPreferredCiphers(ctx, ciphers, 3),
                               qelOptionPreferredCompression(ctx, zips, 1), qelOptionRevocationKeys(ctx, revoker),
                               qelOptionSubpacket10Keys(ctx, revoker, 0x80));
    EXPECT_EQ(qelKeySetRelease(revoker), QELError_NoErr);
    ASSERT_EQ(made, QELError_NoErr);
    // The additional key GnuPG does not show: read back here.
    std::uint32_t additional = 0;
    ASSERT_EQ(qelKeyCountSubpacket10Keys(rsa, &additional), QELError_NoErr);
    EXPECT_EQ(additional, 1u);
    QELKeyObject *named = nullptr;
    QELKeyID namedID{};
    std::uint8_t namedClass = 0;
    ASSERT_EQ(qelKeyGetSubpacket10Key(rsa, 0, &named, &namedID, &namedClass), QELError_NoErr);
    EXPECT_EQ(named, dsa);
    EXPECT_EQ(namedClass, 0x80);
    EXPECT_FALSE(qelKeyObjIsV3(rsa));
    EXPECT_TRUE(qelKeyObjIsAxiomatic(rsa));
    EXPECT_TRUE(qelKeyObjIsAxiomatic(dsa));

    GnuPGHome gpg;
    ASSERT_EQ(gpg.gpg("--import " + gpg.put("pub.gpg", ringBytes(db, true))), 0) << gpg.errors();
    ASSERT_EQ(gpg.gpg("--import " + gpg.put("sec.gpg", ringBytes(db))), 0) << gpg.errors();
    std::string listing;
    ASSERT_EQ(gpg.gpg("--with-colons --fixed-list-mode --check-sigs", &listing), 0) << gpg.errors();

    // What GnuPG must list: per key ID, fingerprint, expiry and user ID.
    struct Want {
        std::string fpr, expires, uid;
    };
    std::map<std::string, Want> want = {
        {keyIDHex(dsa), {fingerprint(dsa), "", "Dora DSA <dora@example.org>"}},
        {keyIDHex(elg), {fingerprint(elg), std::to_string(created + 400u * 86400), ""}},
        {keyIDHex(rsa), {fingerprint(rsa), std::to_string(created + 30u * 86400), "Rita RSA <rita@example.org>"}},
    };
    std::map<std::string, std::string> seenFpr, seenUID, seenExpiry;
    std::string current, last, revokerOfRSA;
    int selfSigs = 0;
    for (const auto &f : colonRecords(listing)) {
        if (f.empty())
            continue;
        const std::string &t = f[0];
        if (t == "pub" || t == "sub") {
            current = last = f.at(4);
            seenExpiry[current] = f.at(6);
            EXPECT_EQ(f.at(5), std::to_string(created)) << listing;
        } else if (t == "fpr") {
            seenFpr[last] = f.at(9);
        } else if (t == "uid") {
            seenUID[current] = f.at(9);
        } else if (t == "rvk") {
            revokerOfRSA = current == keyIDHex(rsa) ? f.at(9) + ":" + f.at(10) : revokerOfRSA;
        } else if (t == "sig") {
            EXPECT_EQ(f.at(1), "!") << listing;
            ++selfSigs;
        }
    }
    for (const auto &[id, w] : want) {
        EXPECT_EQ(seenFpr[id], w.fpr) << id << "\n" << listing;
        EXPECT_EQ(seenExpiry[id], w.expires) << id << "\n" << listing;
        if (!w.uid.empty()) {
            EXPECT_EQ(seenUID[id], w.uid) << listing;
        }
    }
    EXPECT_EQ(selfSigs, 4) << "two self-certifications, a binding and the revoker designation\n" << listing;
    EXPECT_EQ(revokerOfRSA, fingerprint(dsa) + ":80") << listing;

    // The preferences of the self-certifications.
    const std::map<std::string, std::string> prefs = {{keyIDHex(dsa), ":S3 S1 S2 Z2 Z1"},
                                                      {keyIDHex(rsa), ":S9 S7 S3 Z1"}};
    for (const auto &[id, expected] : prefs) {
        std::string edit;
        EXPECT_EQ(gpg.gpg("--with-colons --command-fd 0 --edit-key " + id + " quit", &edit), 0) << gpg.errors();
        EXPECT_NE(edit.find(expected), std::string::npos) << edit;
    }

    // Each secret key signs with its passphrase and with no other.
    const std::string message = gpg.put("message.txt", Bytes{'h', 'i', '\n'});
    for (const auto &[id, pass] : {std::pair{keyIDHex(dsa), "dora-pass"}, std::pair{keyIDHex(rsa), "rita-pass"}}) {
        EXPECT_NE(gpg.gpg("--yes --passphrase wrong -u " + id + " -o " + message + ".sig --sign " + message), 0) << id;
        EXPECT_EQ(gpg.gpg("--yes --passphrase " + std::string(pass) + " -u " + id + " -o " + message + ".sig --sign " +
                          message),
                  0)
            << id << ": " << gpg.errors();
    }
    // The ElGamal subkey decrypts with the master's passphrase.
    const std::string secret = message + ".gpg";
    ASSERT_EQ(gpg.gpg("--yes --trust-model always -r " + keyIDHex(elg) + "! -o " + secret + " --encrypt " + message),
              0)
        << gpg.errors();
    std::string plain;
    EXPECT_EQ(gpg.gpg("--passphrase dora-pass --decrypt " + secret, &plain), 0) << gpg.errors();
    EXPECT_EQ(plain, "hi\n");
}

// ---- safe defaults and back-signatures --------------------------------------------------------

struct PublicRelease {
    void operator()(QELPublicKeyObject *k) const { static_cast<void>(k->destroy(k)); }
};
using OwnedPublic = std::unique_ptr<QELPublicKeyObject, PublicRelease>;

// Every key-signature line of a --check-sigs listing is good ("sig!"), and
// there are as many as expected.
void expectAllGood(const std::string &listing, int count)
{
    int seen = 0;
    for (const auto &f : colonRecords(listing))
        if (!f.empty() && f[0] == "sig") {
            EXPECT_EQ(f.at(1), "!") << listing;
            ++seen;
        }
    EXPECT_EQ(seen, count) << listing;
}

TEST_F(KeyGenFrontEnd, GnuPGTakesNewKeysUnderItsDefaultPolicyAndSignsWithTheirSigningSubkeys)
{
    const std::uint32_t created = std::uint32_t(std::time(nullptr)) - 3600;
    QELKeyObject *rsa = nullptr, *signer = nullptr, *other = nullptr;
    ASSERT_EQ(key(&rsa, QELPublicKeyAlgorithm_RSA, 1024, "Sam Signer <sam@example.org>", "sam-pass",
                  qelOptionKeyFlags(ctx, 0x03), qelOptionCreationTime(ctx, created)),
              QELError_NoErr);
    entropy();
    ASSERT_EQ(qelSubKeyGenerateWithOptions(
                  &signer, options(qelOptionMasterKey(ctx, rsa), qelOptionKeyGenParams(ctx, 1, 1024, 0),
                                   qelOptionPassphrase(ctx, "sam-pass"), qelOptionKeyGenFlag(ctx, 1),
                                   qelOptionKeyFlags(ctx, 0x02), qelOptionCreationTime(ctx, created))
                               .get()),
              QELError_NoErr);
    ASSERT_EQ(key(&other, QELPublicKeyAlgorithm_DSA, 1024, "Olga Other <olga@example.org>", "olga-pass",
                  qelOptionCreationTime(ctx, created)),
              QELError_NoErr);
    // Sam certifies Olga: version 4 over SHA-256 by default.
    QELKeyObject *olgaUID = liveChildren(other, QELObjectType_UserID).at(0);
    ASSERT_EQ(qelUserIDCertifyWithOptions(olgaUID, rsa,
                                          options(qelOptionPassphrase(ctx, "sam-pass"), qelOptionExportable(ctx, 1)).get()),
              QELError_NoErr);
    // Here the subkey's binding carries a back-signature, so it verifies.
    EXPECT_TRUE(qelKeySigSubKeyMaySign(signer));
    OwnedPublic ver(qelKeyObjPublicOps(signer, QELKeyRole_Sign));
    EXPECT_NE(ver.get(), nullptr);

    GnuPGHome gpg(false);
    ASSERT_EQ(gpg.gpg("--import " + gpg.put("pub.gpg", ringBytes(db, true))), 0) << gpg.errors();
    ASSERT_EQ(gpg.gpg("--import " + gpg.put("sec.gpg", ringBytes(db))), 0) << gpg.errors();
    std::string listing;
    ASSERT_EQ(gpg.gpg("--with-colons --fixed-list-mode --check-sigs", &listing), 0) << gpg.errors();
    // Two self-certifications, the binding and the certification of Olga.
    expectAllGood(listing, 4);
    for (const auto &f : colonRecords(listing)) {
        if (!f.empty() && f[0] == "sig") {
            EXPECT_EQ(f.at(15), "8") << "SHA-256\n" << listing;
        }
    }

    // Every secret key is protected iterated and salted, none by the simple form.
    std::string packets;
    ASSERT_EQ(gpg.gpg("--list-packets " + gpg.put("sec2.gpg", ringBytes(db)), &packets), 0) << gpg.errors();
    std::size_t iterated = 0;
    for (std::size_t at = packets.find("iter+salt S2K"); at != std::string::npos;
         at = packets.find("iter+salt S2K", at + 1))
        ++iterated;
    EXPECT_EQ(iterated, 3u) << "two keys and a subkey\n" << packets;
    EXPECT_EQ(packets.find("simple S2K"), std::string::npos) << packets;

    // GnuPG signs with the subkey itself and verifies what it made.
    const std::string message = gpg.put("message.txt", Bytes{'h', 'i', '\n'});
    ASSERT_EQ(gpg.gpg("--yes --passphrase sam-pass -u " + keyIDHex(signer) + "! -o " + message + ".sig --sign " +
                      message),
              0)
        << gpg.errors();
    std::string verified;
    EXPECT_EQ(gpg.gpg("--status-fd 1 --verify " + message + ".sig", &verified), 0) << gpg.errors();
    EXPECT_NE(verified.find("VALIDSIG"), std::string::npos) << verified;
    EXPECT_NE(verified.find(fingerprint(signer)), std::string::npos) << verified;
}

TEST_F(KeyGenFrontEnd, ASigningSubkeyWithoutBackSignatureDoesNotVerify)
{
    QELKeyObject *rsa = nullptr, *signer = nullptr;
    ASSERT_EQ(key(&rsa, QELPublicKeyAlgorithm_RSA, 1024, "Bea Binder <bea@example.org>", "bea-pass",
                  qelOptionKeyFlags(ctx, 0x03)),
              QELError_NoErr);
    entropy();
    ASSERT_EQ(qelSubKeyGenerateWithOptions(
                  &signer, options(qelOptionMasterKey(ctx, rsa), qelOptionKeyGenParams(ctx, 1, 1024, 0),
                                   qelOptionPassphrase(ctx, "bea-pass"), qelOptionKeyGenFlag(ctx, 1),
                                   qelOptionKeyFlags(ctx, 0x02))
                               .get()),
              QELError_NoErr);
    std::vector<QELKeyObject *> bindings = liveChildren(signer, QELObjectType_Signature);
    ASSERT_EQ(bindings.size(), 1u);
    EXPECT_TRUE(qelKeySigHasBackSig(bindings[0]));

    // The master binds the subkey again as a signing key, with no
    // back-signature, and the old binding goes.
    QELSigSpec *raw = nullptr;
    QELPassArgs pass{};
    pass.passphrase = "bea-pass";
    pass.length = 8;
    ASSERT_EQ(qelSigSpecForSigner(ctx, rsa, 0x18, pass, &raw), QELError_NoErr);
    const std::uint8_t flags = 0x02;
    EXPECT_EQ(qelSigSpecSetKeyFlags(raw, 0, &flags, 1), QELError_NoErr);
    const QELStatus added = qelKeyObjAddSignature(signer, raw);
    qelSigSpecFreeList(raw);
    ASSERT_EQ(added, QELError_NoErr);
    ASSERT_EQ(qelKeyObjMarkDeleted(bindings[0]), QELError_NoErr);
    bindings = liveChildren(signer, QELObjectType_Signature);
    ASSERT_EQ(bindings.size(), 1u);
    std::uint8_t found = 0, changed = 0, valid = 0;
    ASSERT_EQ(qelKeySigCheckOne(db, bindings[0], nullptr, true, false, &found, &changed, &valid), QELError_NoErr);
    EXPECT_EQ(valid, 1) << "the binding itself is good";
    EXPECT_FALSE(qelKeySigHasBackSig(bindings[0]));
    EXPECT_FALSE(qelKeySigSubKeyMaySign(signer));
    // Verification with the subkey is refused, and the key does not choose
    // it to sign.
    OwnedPublic ver(qelKeyObjPublicOps(signer, QELKeyRole_Sign));
    EXPECT_EQ(ver.get(), nullptr);
    EXPECT_EQ(qelKeyDBGetLastError(db), QELError_KeyUnusableForSignature);
    EXPECT_EQ(qelKeyObjNewestUsableSubKeyFor(rsa, nullptr, QELKeyRole_Sign), nullptr);
}

TEST_F(KeyGenFrontEnd, UnlockReportsMalformedMaterialAsSuch)
{
    QELKeyObject *dsa = nullptr;
    ASSERT_EQ(key(&dsa, QELPublicKeyAlgorithm_DSA, 1024, "Mal Formed <mal@example.org>", "mal-pass"),
              QELError_NoErr);
    EXPECT_EQ(qelKeyObjUnlock(dsa, "wrong", 5, 0, 0, 0), QELError_BadPassphrase);
    // The protection names a cipher no one knows: after the version, time,
    // algorithm and the four public numbers come the usage octet and the
    // cipher.
    std::size_t length = 0;
    const std::uint8_t *packet = qelKeyObjRawPacket(dsa, &length);
    ASSERT_NE(packet, nullptr);
    Bytes bad(packet, packet + length);
    std::size_t at = qelPacketHeaderSize(packet, length) + 6;
    for (int i = 0; i < 4; ++i)
        at += 2 + (((std::size_t(bad.at(at)) << 8) | bad.at(at + 1)) + 7) / 8;
    ASSERT_TRUE(bad.at(at) == 0xFE || bad.at(at) == 0xFF) << "a string-to-key specifier follows";
    bad.at(at + 1) = 99;
    ASSERT_EQ(qelKeyObjReplacePacket(dsa, bad.data(), bad.size()), QELError_NoErr);
    const QELStatus s = qelKeyObjUnlock(dsa, "mal-pass", 8, 0, 0, 0);
    EXPECT_NE(s, QELError_NoErr);
    EXPECT_NE(s, QELError_BadPassphrase) << "malformed material is not a wrong passphrase";
}

// ---- what the front ends refuse ---------------------------------------------------------------

TEST_F(KeyGenFrontEnd, RefusalsAndEdgeCases)
{
    ASSERT_EQ(qelSettingsSetInt(qelContextGetSettings(ctx), QELSetting_TimeOffsetHours, 2, QELSettingPriority_Job),
              QELError_NoErr);
    QELKeyObject *master = nullptr;
    ASSERT_EQ(key(&master, QELPublicKeyAlgorithm_RSA, 1024, "Master <m@example.org>", "m-pass",
                  qelOptionCreationTime(ctx, kCreation)),
              QELError_NoErr);
    EXPECT_TRUE(qelKeyObjIsV3(master)) << "RSA without key flags";
    EXPECT_EQ(qelKeyObjCreation(master), kCreation + 7200) << "the time offset is added";
    // A master that expired long ago, and one that is revoked.
    QELKeyObject *expired = nullptr, *revoked = nullptr;
    ASSERT_EQ(key(&expired, QELPublicKeyAlgorithm_DSA, 1024, "Expired", "e-pass", qelOptionValidityDays(ctx, 1),
                  qelOptionCreationTime(ctx, kCreation)),
              QELError_NoErr);
    ASSERT_EQ(key(&revoked, QELPublicKeyAlgorithm_DSA, 1024, "Revoked", "r-pass"), QELError_NoErr);
    ASSERT_EQ(qelKeyRevokeWithOptions(revoked, options(qelOptionPassphrase(ctx, "r-pass")).get()), QELError_NoErr);

    auto subKey = [&](QELKeyObject *m, std::int32_t algorithm, auto... more) {
        QELKeyObject *out = reinterpret_cast<QELKeyObject *>(1);
        entropy();
        const QELStatus s = qelSubKeyGenerateWithOptions(
            &out, options(qelOptionMasterKey(ctx, m), qelOptionKeyGenParams(ctx, algorithm, 1024, 0),
                          qelOptionKeyGenFlag(ctx, 1), more...)
                      .get());
        EXPECT_EQ(out, nullptr);
        return s;
    };
    // The database seen as the service's mirror for one call.
    auto asServiceClient = [&](const std::function<QELStatus()> &call) {
        db->serviceRef = 1;
        const QELStatus s = call();
        db->serviceRef = 0;
        return s;
    };
    static std::int32_t events = 0;
    QELOptionEventProc abortAtFirst = [](QELContext *, QELEvent *event, void *) -> std::int32_t {
        ++events;
        EXPECT_EQ(*reinterpret_cast<std::int32_t *>(reinterpret_cast<std::uint8_t *>(event) + 24), 17);
        return -4242;
    };
    const std::uint32_t userIDLength = 1;
    struct Case {
        const char *what;
        std::function<QELStatus()> call;
        QELStatus expected;
    } const cases[] = {
        {"ElGamal cannot sign for a key",
         [&] {
             QELKeyObject *k = nullptr;
             return key(&k, QELPublicKeyAlgorithm_ElGamal, 1024, "E", "p");
         },
         QELError_BadParams},
        {"DSA cannot encrypt for a subkey",
         [&] { return subKey(master, QELPublicKeyAlgorithm_DSA, qelOptionPassphrase(ctx, "m-pass")); },
         QELError_BadParams},
        {"locked master, no passphrase", [&] { return subKey(master, QELPublicKeyAlgorithm_ElGamal); },
         QELError_BadPassphrase},
        {"locked master, wrong passphrase",
         [&] { return subKey(master, QELPublicKeyAlgorithm_ElGamal, qelOptionPassphrase(ctx, "wrong")); },
         QELError_BadPassphrase},
        {"expired master",
         [&] { return subKey(expired, QELPublicKeyAlgorithm_ElGamal, qelOptionPassphrase(ctx, "e-pass")); },
         QELError_KeyExpired},
        {"revoked master",
         [&] { return subKey(revoked, QELPublicKeyAlgorithm_ElGamal, qelOptionPassphrase(ctx, "r-pass")); },
         QELError_KeyRevoked},
        {"a kind the subkey front end does not take",
         [&] { return subKey(master, QELPublicKeyAlgorithm_ElGamal, qelOptionUserID(ctx, "x", userIDLength)); },
         QELError_BadParams},
        {"no user ID for a key",
         [&] {
             QELKeyObject *k = nullptr;
             return qelKeyGenerateWithOptions(
                 &k, options(qelOptionTargetKeyDB(ctx, db), qelOptionKeyGenParams(ctx, 17, 1024, 0)).get());
         },
         QELError_OptionNotFound},
        {"no parameters for a subkey",
         [&] {
             QELKeyObject *k = nullptr;
             return qelSubKeyGenerateWithOptions(&k, options(qelOptionMasterKey(ctx, master)).get());
         },
         QELError_OptionNotFound},
        {"null out-parameter",
         [&] { return qelKeyGenerateWithOptions(nullptr, options(qelOptionTargetKeyDB(ctx, db)).get()); },
         QELError_BadParams},
        {"a service client hands a token's generation to the service",
         [&] {
             QELKeyObject *k = nullptr;
             return asServiceClient([&] {
                 return key(&k, QELPublicKeyAlgorithm_DSA, 1024, "Token", "p", qelOptionTokenNumber(ctx, 0));
             });
         },
         QELError_NotInitialized}, // no service connection to hand it to
        {"a service client's new subkey is written by the service",
         [&] {
             return asServiceClient([&] {
                 return subKey(master, QELPublicKeyAlgorithm_ElGamal, qelOptionPassphrase(ctx, "m-pass"));
             });
         },
         QELError_NotInitialized},
        {"the progress handler's abort stays its own",
         [&] {
             QELKeyObject *k = nullptr;
             return key(&k, QELPublicKeyAlgorithm_RSA, 1024, "Aborted", "p", qelOptionKeyFlags(ctx, 3),
                        qelOptionEventHandler(ctx, abortAtFirst, nullptr));
         },
         -4242},
    };
    const Bytes before = ringBytes(db);
    for (const Case &c : cases) {
        EXPECT_EQ(c.call(), c.expected) << c.what;
        EXPECT_EQ(ringBytes(db), before) << c.what << ": nothing may be added";
    }
    EXPECT_EQ(events, 1) << "the generator stops at the handler's first refusal";

    // With the passphrase the subkey is made, protected like its master.
    QELKeyObject *sub = nullptr;
    entropy();
    ASSERT_EQ(qelSubKeyGenerateWithOptions(&sub, options(qelOptionMasterKey(ctx, master),
                                                         qelOptionKeyGenParams(ctx, 16, 1024, 0),
                                                         qelOptionKeyGenFlag(ctx, 1), qelOptionPassphrase(ctx, "m-pass"))
                                                     .get()),
              QELError_NoErr);
    EXPECT_FALSE(qelKeyObjIsV3(sub));
    EXPECT_EQ(qelKeyObjUnlock(sub, nullptr, 0, 0, 0, 0), QELError_BadPassphrase) << "nothing cached";
    EXPECT_EQ(qelKeyObjUnlock(sub, "m-pass", 6, 0, 0, 0), QELError_NoErr);

    // With cache options the new key's passphrase goes to the cache.
    QELKeyObject *cached = nullptr;
    ASSERT_EQ(key(&cached, QELPublicKeyAlgorithm_DSA, 1024, "Cached", "c-pass", qelOptionCachePassphrase(ctx, 600, 0)),
              QELError_NoErr);
    EXPECT_EQ(qelKeyObjUnlock(cached, nullptr, 0, 0, 0, 0), QELError_NoErr);
}

} // namespace
