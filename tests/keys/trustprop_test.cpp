// Trust propagation over key databases: the public entry, refresh, trust
// signatures, path search and the validity each user ID ends with. The web
// is made by GnuPG (data/make_trust_web.sh), which also lists its own
// validity of every user ID as an oracle.
#include "keys_fixture.h"

#include "qelEnumeratedSet.h"
#include "qelKeySetInternal.h"
#include "qelKeySig.h"
#include "qelRegexInternal.h"
#include "qelSettingsInternal.h"
#include "qelTestHooks.h"
#include "qelTrustProp.h"
#include "qelTrustPropInternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

namespace {

using namespace keystest;

// The fixture's faked clock started here; every key and signature was made
// within the following hour.
constexpr std::uint32_t kWebTime = 1700000000;
std::uint32_t g_now = 0;
std::uint32_t testClock() { return g_now; }

class TrustPropagation : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        g_now = kWebTime + 3600;
        qelTrustSetClockForTesting(testClock);
    }
    void TearDown() override
    {
        qelTrustSetClockForTesting(nullptr);
        ContextTest::TearDown();
    }

    // Opens the web with Alice axiomatic and the owner trust the fixture
    // script gave GnuPG; every signature checked and trust propagated.
    QELKeyDB *openWeb(bool aliceAxiomatic = true)
    {
        QELKeyDB *db = openOwned(readFile(dataPath("trustweb.gpg")));
        if (db == nullptr)
            return nullptr;
        const QELSettings *settings = qelContextGetSettings(ctx);
        for (QELKeyObject *k : liveKeys(db)) {
            const std::string n = name(k);
            std::uint32_t level = 0; // undefined
            if (n == "Carol" || n == "Dave" || (n.size() == 2 && n[0] == 'M'))
                level = 5;
            else if (n == "I1" || n == "I2" || n == "I3" || n == "I4" || n == "Xena")
                level = 6;
            for (QELKeyObject *u : liveChildren(k, QELObjectType_UserID))
                qelKeyObjUserIDInfo(u)->ownerTrust = qelTrustLevelToValue(settings, level);
            if (n == "Alice" && aliceAxiomatic)
                qelKeyObjSetAxiomatic(k);
        }
        EXPECT_EQ(qelKeySigCheckKeySet(qelKeyDBRootSet(db), nullptr, 1, nullptr, nullptr), QELError_NoErr);
        return db;
    }

    // The name before " <" in the key's first user ID.
    static std::string name(QELKeyObject *key)
    {
        auto uids = liveChildren(key, QELObjectType_UserID);
        if (uids.empty())
            return {};
        std::size_t length = 0;
        const std::uint8_t *text = qelUserIDText(uids.front(), &length);
        std::string s(reinterpret_cast<const char *>(text), length);
        return s.substr(0, s.find(" <"));
    }

    static QELKeyObject *keyNamed(QELKeyDB *db, const std::string &n)
    {
        for (QELKeyObject *k : liveKeys(db))
            if (name(k) == n)
                return k;
        return nullptr;
    }

    static QELUserIDInfo *uidOf(QELKeyDB *db, const std::string &n)
    {
        QELKeyObject *k = keyNamed(db, n);
        return k ? qelKeyObjUserIDInfo(liveChildren(k, QELObjectType_UserID).front()) : nullptr;
    }

    // The trust signature on the key's first user ID.
    static QELKeyObject *trustSigOn(QELKeyDB *db, const std::string &n)
    {
        QELKeyObject *uid = liveChildren(keyNamed(db, n), QELObjectType_UserID).front();
        for (QELKeyObject *s : liveChildren(uid, QELObjectType_Signature))
            if (qelKeyObjSigInfo(s)->trustDepth != 0)
                return s;
        return nullptr;
    }

    void setInt(std::int32_t id, std::int32_t value)
    {
        ASSERT_EQ(qelSettingsSetInt(qelContextGetSettings(ctx), id, value, QELSettingPriority_Job), QELError_NoErr);
    }

    // Propagation again over the whole database at the test clock.
    static void propagate(QELKeyDB *db)
    {
        ASSERT_EQ(qelKeySetPropagateTrust(qelKeyDBRootSet(db), nullptr), QELError_NoErr);
    }
};

TEST_F(TrustPropagation, PublicEntryChecksItsHandles)
{
    QELKeyDB *db = openOwned(readFile(dataPath("keyuse.gpg")));
    ASSERT_NE(db, nullptr);
    QELKeySet *root = qelKeyDBRootSet(db);
    EXPECT_EQ(qelKeySetPropagateTrust(nullptr, nullptr), QELError_BadParams);
    EXPECT_EQ(qelKeySetPropagateTrust(reinterpret_cast<QELKeySet *>(db), nullptr), QELError_BadParams);
    EXPECT_EQ(qelKeySetPropagateTrust(root, reinterpret_cast<QELKeyDB *>(root)), QELError_BadParams);
    EXPECT_EQ(qelKeySetPropagateTrust(root, nullptr), QELError_NoErr);
    // The set's own database as the second one counts as none.
    EXPECT_EQ(qelKeySetPropagateTrust(root, db), QELError_NoErr);
}

// GnuPG's validity letter for every user ID of the web.
std::map<std::string, char> gnupgValidity()
{
    std::map<std::string, char> out;
    for (const auto &f : colons("trustweb.colons"))
        if (f.size() > 9 && f[0] == "uid")
            out[f[9].substr(0, f[9].find(" <"))] = f[1].empty() ? '-' : f[1][0];
    return out;
}

TEST_F(TrustPropagation, WebValidityAgreesWithTheScaleAndWithGnuPG)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    // Validity byte and name trust with the default settings (threshold 120,
    // marginals 2, completes 1, depth 4), and GnuPG's letter for the same
    // user ID under the same settings.
    struct Row {
        const char *name;
        std::uint8_t validity;
        std::uint8_t nameTrust;
        char gnupg;
        const char *why;
    } const rows[] = {
        {"Alice", 255, 3, 'u', "axiomatic"},
        {"Bob", 255, 3, 'f', "certified by the axiomatic key"},
        {"Carol", 255, 3, 'f', "certified by the axiomatic key"},
        {"Eve", 120, 3, 'f', "two marginal introducers: 2 x 3840"},
        {"Frank", 60, 2, 'm', "one marginal introducer: 3840"},
        {"Gina", 0, 1, '-', "no path: level 2"},
        {"I1", 255, 3, 'f', "direct"},
        {"I2", 120, 3, 'f', "one complete introducer: 0.999"},
        {"I3", 107, 3, 'f', "two in a row: 0.999^2"},
        {"I4", 100, 3, 'f', "three in a row: 0.999^3"},
        {"I5", 0, 1, '-', "four introducers exceed the certification depth"},
        {"Trent", 255, 3, 'f', "trust signature by the axiomatic key"},
        {"Ivan", 120, 3, 'f', "certified by Trent, trusted through Alice's trust signature"},
        {"Ivy", 107, 3, 'f', "Ivan's trust came down from Trent's trust signature"},
        {"Nia", 120, 3, 'f', "certified (locally) by Trent"},
        // GnuPG honours a local signature by any key of its own ring.
        {"Nick", 0, 1, 'f', "Trent's local trust signature is not his own to give"},
        {"Rex", 255, 3, 'f', "direct"},
        {"Jo", 120, 3, 'f', "Rex's restriction covers example.com"},
        {"Ko", 0, 1, '-', "Rex's restriction does not cover other.net"},
        {"Xena", 255, 3, 'f', "direct"},
        {"Yuri", 120, 3, 'f', "Xena is not yet expired"},
        {"Zed", 252, 3, 'f', "many marginal paths: the scale's top"},
        {"M1", 255, 3, 'f', "direct, and through the other marginal introducers"},
        {"Rita", 0, 1, 'r', "a revoked key has no valid user ID"},
        {"Sam", 0, 1, '-', "a revoked introducer lends no trust"},
        {"Cy1", 0, 1, '-', "a ring of certifications far from any axiomatic key"},
    };
    const auto oracle = gnupgValidity();
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.name) + ": " + r.why);
        QELUserIDInfo *u = uidOf(db, r.name);
        ASSERT_NE(u, nullptr);
        EXPECT_EQ(u->validity, r.validity);
        EXPECT_EQ(u->nameTrust & 3, r.nameTrust);
        EXPECT_EQ(oracle.at(r.name), r.gnupg);
    }
    // A revoked key is marked so, at level 2, no longer axiomatic.
    EXPECT_EQ(qelKeyObjKeyInfo(keyNamed(db, "Rita"))->trust, 0x12);
    // Confidence follows validity (x 64), certainty for 255.
    EXPECT_EQ(uidOf(db, "Frank")->confidence, 60 * 64);
    EXPECT_EQ(uidOf(db, "Bob")->confidence, 0xFFFF);
    // The signer's owner-trust level goes into the low bits of its
    // signatures' state: Alice's certification of Bob says 7.
    QELKeyObject *bobUID = liveChildren(keyNamed(db, "Bob"), QELObjectType_UserID).front();
    for (QELKeyObject *s : liveChildren(bobUID, QELObjectType_Signature)) {
        if (qelSigSigner(s) == keyNamed(db, "Alice")) {
            EXPECT_EQ(qelKeyObjSigInfo(s)->state & 7, 7);
        }
    }
}

TEST_F(TrustPropagation, CertificationDepthAndThresholdsComeFromTheSettings)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    setInt(QELSetting_CertDepth, 5);
    propagate(db);
    EXPECT_GT(uidOf(db, "I5")->validity, 0) << "four introducers are within depth 5";
    setInt(QELSetting_CertDepth, 2);
    propagate(db);
    EXPECT_EQ(uidOf(db, "I2")->validity, 120);
    EXPECT_EQ(uidOf(db, "I3")->validity, 0) << "two introducers exceed depth 2";
    setInt(QELSetting_CertDepth, 4);
    // Three marginals needed: one marginal introducer is worth 40.
    setInt(QELSetting_MarginalsNeeded, 3);
    for (QELKeyObject *k : liveKeys(db))
        if (name(k) == "Carol" || name(k) == "Dave")
            for (QELKeyObject *u : liveChildren(k, QELObjectType_UserID))
                qelKeyObjUserIDInfo(u)->ownerTrust = qelTrustLevelToValue(qelContextGetSettings(ctx), 5);
    propagate(db);
    EXPECT_EQ(uidOf(db, "Frank")->validity, 40);
    EXPECT_EQ(uidOf(db, "Eve")->validity, 80);
}

TEST_F(TrustPropagation, WithoutAnAxiomaticKeyNothingIsValid)
{
    QELKeyDB *db = openWeb(false);
    ASSERT_NE(db, nullptr);
    for (const char *n : {"Alice", "Bob", "Eve", "Jo"})
        EXPECT_EQ(uidOf(db, n)->validity, 0) << n;
    // An axiomatic mark on a key without a secret part is dropped.
    QELKeyObject *bob = keyNamed(db, "Bob");
    qelKeyObjKeyInfo(bob)->trust |= 0x87;
    propagate(db);
    EXPECT_EQ(qelKeyObjKeyInfo(bob)->trust, 0x02);
    EXPECT_EQ(uidOf(db, "Bob")->validity, 0);
}

TEST_F(TrustPropagation, AxiomaticKeysOfASecondDatabaseStartPaths)
{
    QELKeyDB *mine = openWeb();
    QELKeyDB *db = openWeb(false);
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(qelKeySetPropagateTrust(qelKeyDBRootSet(db), mine), QELError_NoErr);
    // Signatures by Alice here count through Alice there, and a user ID
    // keeps the greater validity its twin has there.
    EXPECT_EQ(uidOf(db, "Bob")->validity, 255);
    EXPECT_EQ(uidOf(db, "Frank")->validity, 60);
    EXPECT_EQ(uidOf(db, "Alice")->validity, 255);
}

TEST_F(TrustPropagation, ExpiryFollowsTheTrustClock)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    QELKeyObject *xena = keyNamed(db, "Xena");
    ASSERT_NE(xena, nullptr);
    const std::uint32_t created = qelKeyObjCreation(xena);
    ASSERT_EQ(qelKeyObjKeyInfo(xena)->validityDays, 1);
    struct {
        std::uint32_t at;
        bool expired;
        std::uint8_t yuri;
    } const rows[] = {{created + 86399, false, 120}, {created + 86400, true, 0}, {created + 86400 * 2, true, 0}};
    for (const auto &r : rows) {
        g_now = r.at;
        propagate(db);
        EXPECT_EQ((qelKeyObjKeyInfo(xena)->trust & 0x40) != 0, r.expired) << r.at - created;
        EXPECT_EQ(uidOf(db, "Yuri")->validity, r.yuri) << r.at - created;
        // An expired key keeps its own certification: only its word is gone.
        EXPECT_EQ(uidOf(db, "Xena")->validity, 255);
    }
    // Expiry is recomputed, not remembered: back before the end it is valid.
    g_now = created + 100;
    propagate(db);
    EXPECT_EQ(qelKeyObjKeyInfo(xena)->trust & 0x40, 0);
}

TEST_F(TrustPropagation, TrustSignaturesHandTrustDown)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    // The pass a database runs when it is opened leaves the trust and the
    // restriction in place until the next propagation.
    ASSERT_EQ(qelKeyDBApplyTrustSigs(db), QELError_NoErr);
    struct {
        const char *name;
        std::uint8_t trust;
        bool restricted;
    } const rows[] = {{"Trent", 120, false}, {"Ivan", 120, false}, {"Nia", 0, false},
                      {"Rex", 120, true},    {"Jo", 0, false},     {"Bob", 0, false}};
    for (const auto &r : rows) {
        QELKeyInfo *ki = qelKeyObjKeyInfo(keyNamed(db, r.name));
        EXPECT_EQ(ki->trustSigTrust, r.trust) << r.name;
        EXPECT_EQ(ki->regex != nullptr, r.restricted) << r.name;
    }
    // A pass with room for one application hands trust to one key at most.
    qelTrustSetTrustSigBudgetForTesting(1);
    ASSERT_EQ(qelKeyDBApplyTrustSigs(db), QELError_NoErr);
    qelTrustSetTrustSigBudgetForTesting(0);
    int trusted = 0;
    for (QELKeyObject *k : liveKeys(db))
        trusted += qelKeyObjKeyInfo(k)->trustSigTrust != 0;
    EXPECT_EQ(trusted, 1);
    ASSERT_EQ(qelKeyDBApplyTrustSigs(db), QELError_NoErr);
    // Rex's restriction is the compiled expression cached in Alice's trust
    // signature; it is compiled once.
    QELKeyObject *tsig = trustSigOn(db, "Rex");
    ASSERT_NE(tsig, nullptr);
    QELRegex *regex = qelSigRegex(tsig);
    ASSERT_NE(regex, nullptr);
    EXPECT_EQ(qelSigRegex(tsig), regex);
    EXPECT_EQ(qelKeyObjKeyInfo(keyNamed(db, "Rex"))->regex, regex);
    // A propagation drops every restriction at its end.
    propagate(db);
    EXPECT_EQ(qelKeyObjKeyInfo(keyNamed(db, "Rex"))->regex, nullptr);
    // A signature without an expression has none.
    QELKeyObject *bobUID = liveChildren(keyNamed(db, "Bob"), QELObjectType_UserID).front();
    EXPECT_EQ(qelSigRegex(liveChildren(bobUID, QELObjectType_Signature).front()), nullptr);
}

TEST_F(TrustPropagation, ARestrictionGoesWithTheTrustItCameWith)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    // As a database is opened: Rex's trust and restriction are in place.
    ASSERT_EQ(qelKeyDBApplyTrustSigs(db), QELError_NoErr);
    ASSERT_NE(qelKeyObjKeyInfo(keyNamed(db, "Rex"))->regex, nullptr);
    // Alice's signature on Rex counts as a plain certification only, and the
    // owner gives Rex a marginal word of his own: it covers every name Rex
    // certified.
    QELKeyObject *tsig = trustSigOn(db, "Rex");
    ASSERT_NE(tsig, nullptr);
    qelKeyObjSigInfo(tsig)->trustDepth = 0;
    for (QELKeyObject *u : liveChildren(keyNamed(db, "Rex"), QELObjectType_UserID))
        qelKeyObjUserIDInfo(u)->ownerTrust = qelTrustLevelToValue(qelContextGetSettings(ctx), 5);
    propagate(db);
    EXPECT_EQ(qelKeyObjKeyInfo(keyNamed(db, "Rex"))->trustSigTrust, 0);
    EXPECT_EQ(uidOf(db, "Ko")->validity, 60) << "no restriction left over from the trust signature";
    EXPECT_EQ(uidOf(db, "Jo")->validity, 60);
}

TEST_F(TrustPropagation, AnExpressionHoldingAZeroByteCountsForNothing)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    QELKeyObject *tsig = trustSigOn(db, "Rex");
    ASSERT_NE(tsig, nullptr);
    // "<[^>]+[@.]example\.com>$" becomes "<[^>]+[@.]example" and a zero:
    // cut at the zero it would cover every address at example.anything.
    std::size_t length = 0;
    const std::uint8_t *raw = qelKeyObjRawPacket(tsig, &length);
    std::vector<std::uint8_t> packet(raw, raw + length);
    const std::string expression = "<[^>]+[@.]example\\.com>$";
    auto at = std::search(packet.begin(), packet.end(), expression.begin(), expression.end());
    ASSERT_NE(at, packet.end());
    at[17] = 0;
    QELSigInfo *si = qelKeyObjSigInfo(tsig);
    if (si->regex != nullptr) {
        static_cast<void>(qelContextMemFree(ctx, si->regex)); // the expression compiled from the old bytes
        si->regex = nullptr;
    }
    ASSERT_EQ(qelKeyObjReplacePacket(tsig, packet.data(), packet.size()), QELError_NoErr);
    EXPECT_EQ(qelSigRegex(tsig), nullptr);
    // The trust signature is ignored: Rex lends nothing, to Jo or to Ko.
    propagate(db);
    EXPECT_EQ(qelKeyObjKeyInfo(keyNamed(db, "Rex"))->trustSigTrust, 0);
    EXPECT_EQ(uidOf(db, "Jo")->validity, 0);
    EXPECT_EQ(uidOf(db, "Rex")->validity, 255) << "as a certification it still counts";
}

TEST_F(TrustPropagation, RegularExpressionsMatchTheWholeUserID)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    QELKeyObject *rex = keyNamed(db, "Rex");
    QELKeyObject *joUID = liveChildren(keyNamed(db, "Jo"), QELObjectType_UserID).front();
    QELKeyObject *rexSig = nullptr;
    for (QELKeyObject *s : liveChildren(joUID, QELObjectType_Signature))
        if (qelSigSigner(s) == rex)
            rexSig = s;
    ASSERT_NE(rexSig, nullptr);
    struct {
        std::string text;
        bool allowed;
        std::uint8_t validity;
    } const rows[] = {
        {"Jo <jo@example.com>", true, 120},
        {"Jo <jo@mail.example.com>", true, 120},
        {"Jo <jo@example.com.evil.net>", false, 0},
        {"Jo <jo@badexample.com>", false, 0},
        // Read as a C string the text would end after the first address
        // and match; the whole user ID is what Rex's word must cover.
        {std::string("Jo <jo@example.com>\0<jo@other.net>", 35), false, 0},
        {std::string("Jo <jo@example.com>\0", 20), false, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        std::vector<std::uint8_t> packet{0xB4, static_cast<std::uint8_t>(r.text.size())};
        packet.insert(packet.end(), r.text.begin(), r.text.end());
        ASSERT_EQ(qelKeyObjReplacePacket(joUID, packet.data(), packet.size()), QELError_NoErr);
        // The signatures stay as checked: only the restriction decides.
        ASSERT_EQ(qelKeyDBApplyTrustSigs(db), QELError_NoErr);
        EXPECT_EQ(qelTrustRegexAllows(rexSig, rex), r.allowed);
        propagate(db);
        EXPECT_EQ(qelKeyObjUserIDInfo(joUID)->validity, r.validity);
    }
    // Without a restriction every user ID is allowed, and a restricted key
    // covers nothing but user IDs.
    EXPECT_TRUE(qelTrustRegexAllows(rexSig, keyNamed(db, "Bob")));
    ASSERT_EQ(qelKeyDBApplyTrustSigs(db), QELError_NoErr);
    QELKeyObject *direct = nullptr;
    for (QELKeyObject *c = keyNamed(db, "Bob")->firstChild; c; c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_Signature)
            direct = c;
    if (direct != nullptr) {
        EXPECT_FALSE(qelTrustRegexAllows(direct, rex));
    }
}

TEST_F(TrustPropagation, DenseWebStaysWithinItsPathCap)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    const QELTrustSearchFigures figures = qelTrustLastSearchFigures();
    // Zed alone has 8 + 8*7 + 8*7*6 paths through the mesh of marginal
    // introducers; the search holds at most a few dozen at a time.
    EXPECT_GE(figures.pathsFound, 400u);
    EXPECT_LE(figures.recordsAllocated, (QELTrustPruneAt + 1) * 4 + 4);
    EXPECT_EQ(uidOf(db, "Zed")->validity, 252);
}

TEST_F(TrustPropagation, SearchesBeyondTheirBudgetKeepWhatTheyFound)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(qelTrustLastSearchFigures().cutShort, 0u);
    // Enough for a user ID with a few signatures, not for Zed's 400 paths
    // through the mesh.
    qelTrustSetSearchBudgetForTesting(300);
    propagate(db);
    qelTrustSetSearchBudgetForTesting(0);
    const QELTrustSearchFigures figures = qelTrustLastSearchFigures();
    EXPECT_GT(figures.cutShort, 0u);
    EXPECT_LT(figures.pathsFound, 400u);
    EXPECT_EQ(uidOf(db, "Bob")->validity, 255);
    EXPECT_EQ(uidOf(db, "Frank")->validity, 60);
    // Zed keeps the paths met before the budget ran out: fewer, never more.
    EXPECT_GT(uidOf(db, "Zed")->validity, 0);
    EXPECT_LE(uidOf(db, "Zed")->validity, 252);
    propagate(db);
    EXPECT_EQ(qelTrustLastSearchFigures().cutShort, 0u);
    EXPECT_EQ(uidOf(db, "Zed")->validity, 252);
}

TEST_F(TrustPropagation, KeysOfOneNameCertifyingInARingEndTheirSearch)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    // Cy1, Cy2 and Cy3 certify one another in a ring. Give them one name and
    // an owner trust that lends nothing (254 reads as 0): each then leads
    // the search on to the same name on the next key, round the ring.
    const std::string same = "Same <same@example.org>";
    std::vector<std::uint8_t> packet{0xB4, static_cast<std::uint8_t>(same.size())};
    packet.insert(packet.end(), same.begin(), same.end());
    for (const char *n : {"Cy1", "Cy2", "Cy3"}) {
        QELKeyObject *u = liveChildren(keyNamed(db, n), QELObjectType_UserID).front();
        ASSERT_EQ(qelKeyObjReplacePacket(u, packet.data(), packet.size()), QELError_NoErr);
        qelKeyObjUserIDInfo(u)->ownerTrust = 254;
    }
    propagate(db);
    for (QELKeyObject *k : liveKeys(db)) {
        auto uids = liveChildren(k, QELObjectType_UserID);
        ASSERT_FALSE(uids.empty());
        EXPECT_EQ(qelKeyObjKeyInfo(k)->infoFlags & QELKeyInfo_OnPath, 0u) << "no mark survives";
        std::size_t length = 0;
        const std::uint8_t *text = qelUserIDText(uids.front(), &length);
        if (std::string(reinterpret_cast<const char *>(text), length) == same) {
            EXPECT_EQ(qelKeyObjUserIDInfo(uids.front())->validity, 0);
        }
    }
}

TEST_F(TrustPropagation, KeysWhoseValidityChangesAreCollected)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    QELKeySet *changed = nullptr;
    ASSERT_EQ(qelEnumeratedSetNewEmpty(db, &changed), QELError_NoErr);
    ASSERT_EQ(qelTrustPropagateLocal(qelKeyDBRootSet(db), nullptr, g_now, changed), QELError_NoErr);
    std::uint32_t count = 99;
    ASSERT_EQ(qelKeySetCount(changed, &count), QELError_NoErr);
    EXPECT_EQ(count, 0u) << "a second propagation changes nothing";
    // Carol's word is withdrawn: Eve drops to one marginal introducer and
    // Frank to none.
    for (QELKeyObject *u : liveChildren(keyNamed(db, "Carol"), QELObjectType_UserID))
        qelKeyObjUserIDInfo(u)->ownerTrust = 0;
    ASSERT_EQ(qelTrustPropagateLocal(qelKeyDBRootSet(db), nullptr, g_now, changed), QELError_NoErr);
    EXPECT_EQ(uidOf(db, "Eve")->validity, 60);
    EXPECT_EQ(uidOf(db, "Frank")->validity, 0);
    EXPECT_TRUE(qelKeySetHas(keyNamed(db, "Eve"), changed));
    EXPECT_TRUE(qelKeySetHas(keyNamed(db, "Frank"), changed));
    EXPECT_FALSE(qelKeySetHas(keyNamed(db, "Bob"), changed));
    EXPECT_TRUE(qelKeyDBIsChanged(db));
    qelKeySetReleaseInternal(changed, false);
}

TEST_F(TrustPropagation, SignerRunsChooseTheNewestValidSignaturePerObject)
{
    QELKeyDB *db = openWeb();
    ASSERT_NE(db, nullptr);
    // M1 certified seven other keys and Zed: one run per certified user ID.
    QELKeyObject *m1 = keyNamed(db, "M1");
    QELKeyObject *cursor = qelKeyObjKeyInfo(m1)->firstSig;
    std::vector<QELKeyObject *> objects;
    while (cursor != nullptr) {
        QELKeyObject *chosen = qelTrustNextSignerRun(&cursor);
        ASSERT_NE(chosen, nullptr);
        objects.push_back(static_cast<QELKeyObject *>(qelKeyObjParent(chosen)));
        if (cursor != nullptr) {
            EXPECT_NE(qelKeyObjParent(cursor), objects.back());
        }
    }
    // Its own user ID (self-signature) plus 7 + 1 certified ones.
    EXPECT_EQ(objects.size(), 9u);
    EXPECT_EQ(qelTrustNextSignerRun(&cursor), nullptr);
}

} // namespace
