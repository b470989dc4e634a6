// Numbered properties of key objects as a table over the GnuPG-made keys:
// algorithm, size, creation, expiry, fingerprint, key ID, preferences, key
// flags and revocation against GnuPG's listings, and the conventions of the
// getters (buffers, ranges, object kinds).
#include "keys_fixture.h"

#include "qelKeyMan.h"
#include "qelKeyManInternal.h"
#include "qelKeyProperty.h"
#include "qelKeySetInternal.h"
#include "qelKeySigInternal.h"
#include "qelTestHooks.h"

#include <cstring>
#include <map>

using namespace keystest;

namespace {

class KeyProperty : public ContextTest {
protected:
    // A ring with every signature checked by our own checks.
    QELKeyDB *openChecked(const std::string &name)
    {
        QELKeyDB *db = openOwned(readFile(dataPath(name)));
        EXPECT_NE(db, nullptr) << name;
        if (db != nullptr) {
            EXPECT_EQ(qelKeySigCheckSet(qelKeyDBRootSet(db), nullptr, false, false, false, nullptr, nullptr,
                                        nullptr),
                      QELError_NoErr);
        }
        return db;
    }
    static bool boolean(QELKeyObject *o, std::uint32_t n)
    {
        std::uint8_t v = 9;
        EXPECT_EQ(qelKeyObjGetBoolProperty(o, n, &v), QELError_NoErr) << n;
        return v != 0;
    }
    static std::int32_t number(QELKeyObject *o, std::uint32_t n, QELStatus expected = QELError_NoErr)
    {
        std::int32_t v = -99;
        EXPECT_EQ(qelKeyObjGetNumberProperty(o, n, &v), expected) << n;
        return v;
    }
    static std::uint32_t time(QELKeyObject *o, std::uint32_t n)
    {
        std::uint32_t v = 99;
        EXPECT_EQ(qelKeyObjGetTimeProperty(o, n, &v), QELError_NoErr) << n;
        return v;
    }
    static std::vector<std::uint8_t> data(QELKeyObject *o, std::uint32_t n, QELStatus expected = QELError_NoErr)
    {
        std::uint8_t buffer[512];
        std::size_t length = 0;
        EXPECT_EQ(qelKeyObjGetDataProperty(o, n, buffer, sizeof buffer, &length), expected) << n;
        return expected == QELError_NoErr ? std::vector<std::uint8_t>(buffer, buffer + length)
                                          : std::vector<std::uint8_t>();
    }
};

// GnuPG's capability letters as key-flag bits.
std::int32_t flagsOf(const std::string &caps)
{
    std::int32_t f = 0;
    for (char c : caps) {
        if (c == 'c') f |= 0x01;
        if (c == 's') f |= 0x02;
        if (c == 'e') f |= 0x0C;
        if (c == 'a') f |= 0x20;
    }
    return f;
}

// The first key packet of a ring (old-format header) and a user ID after it.
std::vector<std::uint8_t> keyWithUserID(const std::vector<std::uint8_t> &ring, const std::string &text)
{
    std::size_t header = (ring[0] & 3) == 0 ? 2 : 3;
    std::size_t body = header == 2 ? ring[1] : (std::size_t(ring[1]) << 8) | ring[2];
    std::vector<std::uint8_t> bytes(ring.begin(), ring.begin() + header + body);
    bytes.push_back(0xB4);
    bytes.push_back(std::uint8_t(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

} // namespace

TEST_F(KeyProperty, KeysAndSubkeysAgreeWithGnuPGListings)
{
    int keys = 0, subkeys = 0, revoked = 0, expiring = 0;
    for (const char *ring : {"keyuse.gpg", "public.gpg"}) {
        QELKeyDB *db = openChecked(ring);
        ASSERT_NE(db, nullptr);
        std::string listing = std::string(ring) == "public.gpg" ? "public.colons" : "keyuse.colons";
        QELKeyObject *current = nullptr;
        for (const auto &f : colons(listing)) {
            if (f.size() > 11 && (f[0] == "pub" || f[0] == "sub")) {
                current = keyOrSubKeyByID(db, f[4]);
                ASSERT_NE(current, nullptr) << f[4];
                bool sub = f[0] == "sub";
                (sub ? subkeys : keys)++;
                std::int32_t algorithm = std::stoi(f[3]);
                std::int32_t bits = std::stoi(f[2]);
                std::uint32_t created = std::stoul(f[5]);
                EXPECT_EQ(number(current, sub ? 600 : 200), algorithm) << f[4];
                EXPECT_EQ(number(current, sub ? 601 : 201), bits) << f[4];
                EXPECT_EQ(time(current, sub ? 700 : 300), created) << f[4];
                // The exact second GnuPG lists.
                std::uint32_t expected = 0;
                if (!f[6].empty()) {
                    expected = std::stoul(f[6]);
                    ++expiring;
                }
                EXPECT_EQ(time(current, sub ? 701 : 301), expected) << f[4];
                EXPECT_EQ(number(current, sub ? 605 : 206), flagsOf(f[11])) << f[4] << " " << f[11];
                EXPECT_EQ(number(current, sub ? 604 : 208), 4);
                // The revocation signature; the revoked bit of the trust byte
                // is the trust computation's to set.
                bool gpgRevoked = f[1] == "r";
                revoked += gpgRevoked;
                EXPECT_EQ(boolean(current, sub ? 505 : 107), gpgRevoked) << f[4];
                // GnuPG's key ID.
                auto id = data(current, sub ? 801 : 402);
                ASSERT_EQ(id.size(), sizeof(QELKeyID));
                EXPECT_EQ(hex(reinterpret_cast<QELKeyID *>(id.data())->bytes, 8), f[4]);
                EXPECT_TRUE(boolean(current, sub ? 502 : 104));
                EXPECT_FALSE(boolean(current, sub ? 508 : 118));
            }
            if (f.size() > 9 && f[0] == "fpr" && qelKeyObjType(current) == QELObjectType_Key) {
                auto fpr = data(current, QELProperty_Fingerprint);
                EXPECT_EQ(hex(fpr.data(), fpr.size()), f[9]);
            }
        }
    }
    EXPECT_EQ(keys, 11);
    EXPECT_EQ(subkeys, 9);
    EXPECT_GE(revoked, 2);
    EXPECT_GE(expiring, 4);
}

TEST_F(KeyProperty, PreferencesAndKeyServerData)
{
    QELKeyDB *db = openChecked("keyuse.gpg");
    ASSERT_NE(db, nullptr);
    // GnuPG 2.2's default cipher preferences, one 32-bit number each.
    const std::int32_t expected[] = {9, 8, 7, 2};
    for (QELKeyObject *k : liveKeys(db)) {
        auto prefs = data(k, QELProperty_PreferredCiphers);
        ASSERT_EQ(prefs.size(), sizeof expected) << keyIDHex(k);
        EXPECT_EQ(std::memcmp(prefs.data(), expected, sizeof expected), 0);
        // GnuPG writes "no-modify" (0x80) as its key-server preference.
        EXPECT_EQ(number(k, QELProperty_KeyServerPrefs), 0x80);
        data(k, QELProperty_PreferredKeyServer, QELError_UnknownProperty);
        EXPECT_EQ(number(k, QELProperty_SigHashAlgorithm), 2);
        EXPECT_EQ(data(k, QELProperty_KeyMaterial).size() + 0u > 100u, true);
    }
}

TEST_F(KeyProperty, CapabilitiesFollowSizeUsageAndSecretMaterial)
{
    QELKeyDB *db = openChecked("keyuse_secret.gpg");
    ASSERT_NE(db, nullptr);
    QELKeyDB *pub = openChecked("keyuse.gpg");
    ASSERT_NE(pub, nullptr);
    QELKeyObject *two = keyOrSubKeyByID(db, "A339E8FA7AA93E51");        // RSA with encryption subkeys
    QELKeyObject *dsa = keyOrSubKeyByID(db, "BA7F6E56EDDBA748");        // DSA alone
    QELKeyObject *twoPublic = keyOrSubKeyByID(pub, "A339E8FA7AA93E51");
    ASSERT_TRUE(two && dsa && twoPublic);
    struct Row {
        QELKeyObject *key;
        bool canEncrypt, canDecrypt, canSign, canVerify, secret;
    } rows[] = {
        {two, true, true, true, true, true},
        {twoPublic, true, false, false, true, false},
        {dsa, false, false, true, true, true},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(boolean(r.key, QELProperty_CanEncrypt), r.canEncrypt) << keyIDHex(r.key);
        EXPECT_EQ(boolean(r.key, QELProperty_CanDecrypt), r.canDecrypt) << keyIDHex(r.key);
        EXPECT_EQ(boolean(r.key, QELProperty_CanSign), r.canSign) << keyIDHex(r.key);
        EXPECT_EQ(boolean(r.key, QELProperty_CanVerify), r.canVerify) << keyIDHex(r.key);
        EXPECT_EQ(boolean(r.key, QELProperty_IsSecret), r.secret) << keyIDHex(r.key);
        EXPECT_EQ(boolean(r.key, QELProperty_CanRevoke), r.secret) << keyIDHex(r.key);
        EXPECT_FALSE(boolean(r.key, QELProperty_NeedsPassphrase));
    }
    EXPECT_EQ(number(two, QELProperty_LockingAlgorithm), 9);
    EXPECT_EQ(number(two, QELProperty_LockingBits), 256);
    number(twoPublic, QELProperty_LockingAlgorithm, QELError_UnknownProperty);
    // An RSA key of 4096 bits is usable; one of 4097 bits is not.
    QELKeyInfo *info = qelKeyObjKeyInfo(two);
    info->bits = 4096;
    EXPECT_TRUE(boolean(two, QELProperty_CanEncrypt));
    info->bits = 4097;
    for (std::uint32_t n : {108u, 109u, 110u, 111u})
        EXPECT_FALSE(boolean(two, n)) << n;
    info->bits = 1024;
    EXPECT_EQ(qelKeyCheckUsable(two), QELError_NoErr);
    info->trust |= 0x10;
    EXPECT_EQ(qelKeyCheckUsable(two), QELError_KeyRevoked);
    EXPECT_TRUE(boolean(liveChildren(two, QELObjectType_SubKey).front(), QELProperty_SubKeyIsRevoked));
    info->trust &= ~0x10;
}

TEST_F(KeyProperty, UserIDsAndSignatures)
{
    QELKeyDB *db = openChecked("public.gpg");
    ASSERT_NE(db, nullptr);
    int named = 0, attributes = 0, signatures = 0;
    for (QELKeyObject *k : liveKeys(db))
        for (QELKeyObject *u : liveChildren(k, QELObjectType_UserID)) {
            std::size_t n = 0;
            const std::uint8_t *t = qelUserIDText(u, &n);
            std::string text(reinterpret_cast<const char *>(t), n);
            if (boolean(u, QELProperty_IsAttribute)) {
                ++attributes;
                EXPECT_EQ(number(u, QELProperty_AttributeType), 1);   // an image
                data(u, QELProperty_UserIDName, QELError_UnknownProperty);
                EXPECT_GT(data(u, QELProperty_AttributeData).size(), 16u);
                continue;
            }
            ++named;
            auto name = data(u, QELProperty_UserIDNamePart);
            auto email = data(u, QELProperty_UserIDEmail);
            std::size_t lt = text.find(" <");
            ASSERT_NE(lt, std::string::npos);
            EXPECT_EQ(std::string(name.begin(), name.end()), text.substr(0, lt));
            EXPECT_EQ(std::string(email.begin(), email.end()), text.substr(lt + 2, text.size() - lt - 3));
            EXPECT_EQ(number(u, QELProperty_AttributeType), 0);
            data(u, QELProperty_AttributeData, QELError_UnknownProperty);
            for (QELKeyObject *s : liveChildren(u, QELObjectType_Signature)) {
                ++signatures;
                EXPECT_TRUE(boolean(s, QELProperty_SigAlwaysTrue));
                EXPECT_TRUE(boolean(s, QELProperty_SigIsChecked));
                EXPECT_EQ(number(s, QELProperty_SigAlgorithm) == 17 || number(s, QELProperty_SigAlgorithm) == 1, true);
                EXPECT_EQ(time(s, QELProperty_SigCreation), qelSigCreation(s));
                auto signer = data(s, QELProperty_SigSignerKeyID);
                ASSERT_EQ(signer.size(), sizeof(QELKeyID));
                data(s, QELProperty_X509Certificate, QELError_UnknownProperty);
                data(s, QELProperty_SigRegex, QELError_UnknownProperty);
            }
        }
    EXPECT_GE(named, 6);
    EXPECT_EQ(attributes, 1);
    EXPECT_GE(signatures, 8);
}

TEST_F(KeyProperty, NameAndAddressOfAUserIDWithTwoSpaces)
{
    // A key packet followed by a user ID "Ann Example  <ann@example.org>".
    std::vector<std::uint8_t> ring = readFile(dataPath("keyuse.gpg"));
    const std::string text = "Ann Example  <ann@example.org>";
    std::vector<std::uint8_t> bytes = keyWithUserID(ring, text);
    QELKeyDB *db = openOwned(bytes);
    ASSERT_NE(db, nullptr);
    QELKeyObject *uid = liveChildren(liveKeys(db).front(), QELObjectType_UserID).front();
    auto name = data(uid, QELProperty_UserIDNamePart);
    auto email = data(uid, QELProperty_UserIDEmail);
    EXPECT_EQ(std::string(name.begin(), name.end()), "Ann Example");
    EXPECT_EQ(std::string(email.begin(), email.end()), "ann@example.org");
    char buffer[64];
    std::size_t length = 0;
    ASSERT_EQ(qelKeyGetPrimaryUserIDName(liveKeys(db).front(), buffer, sizeof buffer, &length), QELError_NoErr);
    EXPECT_EQ(std::string(buffer), text);
    std::int32_t validity = -1;
    EXPECT_EQ(qelKeyGetValidity(liveKeys(db).front(), &validity), QELError_NoErr);
    EXPECT_EQ(validity, 0);
}

TEST_F(KeyProperty, GetterConventions)
{
    QELKeyDB *db = openChecked("keyuse.gpg");
    ASSERT_NE(db, nullptr);
    QELKeyObject *key = liveKeys(db).front();
    QELKeyObject *sub = liveChildren(key, QELObjectType_SubKey).front();
    QELKeyObject *uid = liveChildren(key, QELObjectType_UserID).front();
    QELKeyObject *sig = liveChildren(uid, QELObjectType_Signature).front();
    // Object type by kind.
    EXPECT_EQ(number(key, QELProperty_ObjectType), 1);
    EXPECT_EQ(number(sub, QELProperty_ObjectType), 2);
    EXPECT_EQ(number(uid, QELProperty_ObjectType), 4);
    EXPECT_EQ(number(sig, QELProperty_ObjectType), 8);
    // A 10-byte buffer for a 20-byte fingerprint.
    std::uint8_t full[20], small[12];
    std::memset(small, 0xEE, sizeof small);
    std::size_t length = 0;
    ASSERT_EQ(qelKeyObjGetDataProperty(key, QELProperty_Fingerprint, full, sizeof full, &length), QELError_NoErr);
    EXPECT_EQ(qelKeyObjGetDataProperty(key, QELProperty_Fingerprint, small, 10, &length), QELError_BufferTooSmall);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(std::memcmp(small, full, 10), 0);
    EXPECT_EQ(small[10], 0xEE);
    EXPECT_EQ(qelKeyObjGetDataProperty(key, QELProperty_Fingerprint, nullptr, 0, &length), QELError_BufferTooSmall);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(qelKeyObjGetDataProperty(key, QELProperty_SPKIHash, nullptr, 0, &length), QELError_NoErr);
    EXPECT_EQ(length, 16u);
    void *block = nullptr;
    ASSERT_EQ(qelKeyObjGetDataPropertyAlloc(key, QELProperty_Fingerprint, &block, &length), QELError_NoErr);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(std::memcmp(block, full, 20), 0);
    EXPECT_EQ(static_cast<std::uint8_t *>(block)[20], 0);
    EXPECT_EQ(qelContextMemFree(ctx, block), QELError_NoErr);
    // Ranges and kinds.
    std::uint32_t t = 5;
    EXPECT_EQ(qelKeyObjGetTimeProperty(uid, 1000, &t), QELError_BadParams);
    EXPECT_EQ(t, 0u);
    number(key, 999 + 1, QELError_BadParams);           // the user-ID range on a key
    number(key, 211, QELError_UnknownProperty);
    number(key, 21, QELError_UnknownProperty);
    number(key, QELProperty_SubKeyAlgorithm, QELError_BadParams);
    EXPECT_EQ(number(sub, QELProperty_SubKeyAlgorithm), 1);
    std::uint8_t b = 7;
    EXPECT_EQ(qelKeyObjGetBoolProperty(key, 20, &b), QELError_UnknownProperty);
    EXPECT_EQ(qelKeyObjGetBoolProperty(nullptr, 104, &b), QELError_BadParams);
    data(key, QELProperty_RevokerShortID, QELError_BadParams);
    std::uint32_t when = 0;
    EXPECT_EQ(qelKeyObjGetTimeProperty(key, QELProperty_CRLThisUpdate, &when), QELError_UnknownProperty);
    // Deleted user IDs and signatures are dead; a deleted key still answers.
    EXPECT_EQ(qelKeyObjMarkDeleted(sig), QELError_NoErr);
    EXPECT_EQ(qelKeyObjGetBoolProperty(sig, QELProperty_SigIsValid, &b), QELError_DeadKeyObject);
}

namespace {

std::uint32_t g_itemLength = 0;

QELStatus fakeItem(std::uint32_t property, const std::uint8_t *, std::size_t, std::uint8_t *buffer,
                   std::size_t *inOutLength)
{
    std::size_t n = property == 1605 ? 0 : g_itemLength;
    if (buffer != nullptr) {
        if (*inOutLength < n)
            return QELError_BufferTooSmall;
        std::memset(buffer, 'A' + int(property % 26), n);
    }
    *inOutLength = n;
    return QELError_NoErr;
}

} // namespace

// A certificate item never comes back cut short without saying so.
TEST_F(KeyProperty, CertificateItemsReportTooSmallBuffers)
{
    // A user-ID certification carrying a certificate in subpacket 100.
    std::vector<std::uint8_t> ring = readFile(dataPath("keyuse.gpg"));
    const std::string text = "Cert Holder <cert@example.org>";
    std::vector<std::uint8_t> bytes = keyWithUserID(ring, text);
    std::vector<std::uint8_t> hashed = {5, 2, 0x5F, 0, 0, 0,               // creation
                                        9, 100, 1, 1, 0, 0x30, 3, 2, 1, 5}; // subpacket 100: 1, 1, format, DER
    std::vector<std::uint8_t> unhashed = {9, 16};
    QELKeyObject *probe = liveKeys(openOwned(ring)).front();
    unhashed.insert(unhashed.end(), qelKeyObjKeyInfo(probe)->keyID, qelKeyObjKeyInfo(probe)->keyID + 8);
    std::vector<std::uint8_t> body = {4, 0x10, 1, 2, 0, std::uint8_t(hashed.size())};
    body.insert(body.end(), hashed.begin(), hashed.end());
    body.push_back(0);
    body.push_back(std::uint8_t(unhashed.size()));
    body.insert(body.end(), unhashed.begin(), unhashed.end());
    body.insert(body.end(), {0xAB, 0xCD, 0, 8, 0x80});
    bytes.push_back(0x88);
    bytes.push_back(std::uint8_t(body.size()));
    bytes.insert(bytes.end(), body.begin(), body.end());
    QELKeyDB *db = openOwned(bytes);
    ASSERT_NE(db, nullptr);
    QELKeyObject *uid = liveChildren(liveKeys(db).front(), QELObjectType_UserID).front();
    auto sigs = liveChildren(uid, QELObjectType_Signature);
    ASSERT_EQ(sigs.size(), 1u);
    QELKeyObject *sig = sigs[0];
    qelKeyObjSigInfo(sig)->flags |= QELSigInfo_X509;
    auto der = data(sig, QELProperty_X509Certificate);
    EXPECT_EQ(der, (std::vector<std::uint8_t>{0x30, 3, 2, 1, 5}));
    qelKeyPropertySetX509ForTesting(&fakeItem);
    g_itemLength = 30;
    for (std::uint32_t n = 1602; n <= 1607; ++n) {
        if (n == 1605) {
            data(sig, n, QELError_BadParams);   // no such entry
            continue;
        }
        std::uint8_t buffer[40];
        std::size_t length = 0;
        EXPECT_EQ(qelKeyObjGetDataProperty(sig, n, nullptr, 0, &length), QELError_NoErr) << n;
        EXPECT_EQ(length, 30u);
        EXPECT_EQ(qelKeyObjGetDataProperty(sig, n, buffer, 10, &length), QELError_BufferTooSmall) << n;
        EXPECT_EQ(length, 30u);
        ASSERT_EQ(qelKeyObjGetDataProperty(sig, n, buffer, sizeof buffer, &length), QELError_NoErr) << n;
        EXPECT_EQ(buffer[29], 'A' + int(n % 26));
        EXPECT_EQ(buffer[30], 0);
        void *block = nullptr;
        ASSERT_EQ(qelKeyObjGetDataPropertyAlloc(sig, n, &block, &length), QELError_NoErr) << n;
        EXPECT_EQ(length, 30u);
        EXPECT_EQ(qelContextMemFree(ctx, block), QELError_NoErr);
    }
    qelKeyPropertySetX509ForTesting(nullptr);
    // The carried octets are no certificate: the toolkit cannot decode them.
    data(sig, 1603, QELError_CodecFailed);
}
