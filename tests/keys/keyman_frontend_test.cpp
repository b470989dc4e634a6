// Key-management front ends: the public operations on keys, the option-list
// front ends with their option-kind checks, and the token operations on keys,
// over GnuPG-made keys (tests/keys/data/make_keyedit_keys.sh).
#include "keys_fixture.h"

#include "qelClientEncode.h"
#include "qelKeyMan.h"
#include "qelKeyManInternal.h"
#include "qelKeyProperty.h"
#include "qelKeySet.h"
#include "qelKeySetInternal.h"
#include "qelEnumeratedSet.h"
#include "qelOptionList.h"
#include "qelOptionListInternal.h"
#include "qelKeySig.h"

#include <cstring>
#include <memory>

using namespace keystest;

namespace {


class KeyManFrontEnd : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        db = openOwned(readFile(dataPath("keyedit_secret.gpg")));
        ASSERT_NE(db, nullptr);
        alice = byName("alice");
        bob = byName("bob");
        carol = byName("carol");
        dave = byName("dave");
        ASSERT_TRUE(alice && bob && carol && dave);
        // Expiry and revocation states come from the checked signatures.
        ASSERT_EQ(qelKeySigCheckKeySet(qelKeyDBRootSet(db), nullptr, 0, nullptr, nullptr), QELError_NoErr);
    }
    QELKeyObject *byName(const std::string &name)
    {
        const std::string mail = "<" + name + "@example.org>";
        for (QELKeyObject *k : liveKeys(db))
            for (QELKeyObject *u : liveChildren(k, QELObjectType_UserID)) {
                std::size_t n = 0;
                const std::uint8_t *text = qelUserIDText(u, &n);
                if (text != nullptr && std::string(reinterpret_cast<const char *>(text), n).find(mail) !=
                                           std::string::npos)
                    return k;
            }
        return nullptr;
    }
    template <typename... Items>
    Options options(Items... items)
    {
        return Options(qelOptionListBuild(ctx, false, items..., qelOptionLastOption(ctx)));
    }
    Options pass(const char *text) { return options(qelOptionPassphrase(ctx, text)); }
    std::vector<std::uint8_t> ownerTrustBytes(QELKeyObject *key)
    {
        std::vector<std::uint8_t> out;
        for (QELKeyObject *u : liveChildren(key, QELObjectType_UserID))
            out.push_back(qelKeyObjUserIDInfo(u)->ownerTrust);
        return out;
    }

    QELKeyDB *db = nullptr;
    QELKeyObject *alice = nullptr, *bob = nullptr, *carol = nullptr, *dave = nullptr;
};

TEST_F(KeyManFrontEnd, PassphraseTestAndPasskey)
{
    EXPECT_EQ(qelKeyPassphraseIsValidWithOptions(alice, pass("alice-pass").get()), 1);
    EXPECT_EQ(qelKeyPassphraseIsValidWithOptions(alice, pass("bob-pass").get()), 0);
    EXPECT_EQ(qelKeyPassphraseIsValidWithOptions(bob, pass("bob-pass").get()), 1);
    // Any error reads as "not accepted": a kind the test does not take, a
    // subkey in place of a key.
    EXPECT_EQ(qelKeyPassphraseIsValidWithOptions(
                  alice, options(qelOptionPassphrase(ctx, "alice-pass"), qelOptionCreationTime(ctx, 5)).get()),
              0);
    QELKeyObject *sub = liveChildren(alice, QELObjectType_SubKey).at(0);
    EXPECT_EQ(qelKeyPassphraseIsValidWithOptions(sub, pass("alice-pass").get()), 0);

    // The passkey derived from the passphrase opens the key as a passkey.
    std::uint8_t passkey[32] = {};
    ASSERT_EQ(qelKeyPassphraseToPasskeyWithOptions(alice, passkey, pass("alice-pass").get()), QELError_NoErr);
    std::uint32_t cipher = 0, bits = 0;
    std::uint8_t needs = 0, token = 0;
    ASSERT_EQ(qelKeyObjLockingInfoLocal(alice, &needs, &token, &cipher, &bits), QELError_NoErr);
    ASSERT_TRUE(needs);
    ASSERT_GT(bits, 0u);
    EXPECT_EQ(qelKeyPassphraseIsValidWithOptions(
                  alice, options(qelOptionPasskeyBuffer(ctx, passkey, bits / 8)).get()),
              1);
    std::uint8_t wrong[32] = {};
    ASSERT_EQ(qelKeyPassphraseToPasskeyWithOptions(alice, wrong, pass("alice-pas").get()), QELError_NoErr);
    EXPECT_NE(std::memcmp(wrong, passkey, bits / 8), 0);
    // The passphrase is mandatory here; a subkey goes to its own front end.
    EXPECT_EQ(qelKeyPassphraseToPasskeyWithOptions(alice, passkey, options().get()), QELError_OptionNotFound);
    EXPECT_EQ(qelKeyPassphraseToPasskeyWithOptions(sub, passkey, pass("alice-pass").get()), QELError_BadParams);
    std::uint8_t subPasskey[32] = {};
    EXPECT_EQ(qelSubKeyPassphraseToPasskeyWithOptions(sub, subPasskey, pass("alice-pass").get()), QELError_NoErr);
}

TEST_F(KeyManFrontEnd, OwnerTrustLevels)
{
    // Level 5 with the default settings: owner-trust byte 60 on every user ID.
    ASSERT_EQ(qelKeySetOwnerTrust(bob, 5), QELError_NoErr);
    EXPECT_EQ(qelKeyObjTrustLevel(bob), 5);
    for (std::uint8_t b : ownerTrustBytes(bob))
        EXPECT_EQ(b, 60);
    EXPECT_TRUE(qelKeyDBIsChanged(db));
    for (std::int32_t level : {0, 7, -1, 8})
        EXPECT_EQ(qelKeySetOwnerTrust(bob, level), QELError_BadParams) << level;
    EXPECT_EQ(qelKeyObjTrustLevel(bob), 5);
    // Dave expired: his usability error.
    EXPECT_EQ(qelKeySetOwnerTrust(dave, 3), QELError_KeyExpired);
    // An axiomatic key keeps level 7.
    ASSERT_EQ(qelKeySetAxiomaticWithOptions(alice, true, pass("alice-pass").get()), QELError_NoErr);
    EXPECT_EQ(qelKeySetOwnerTrust(alice, 3), QELError_BadParams);
    EXPECT_EQ(qelKeySetOwnerTrust(nullptr, 3), QELError_BadParams);
}

TEST_F(KeyManFrontEnd, AxiomaticAndEnabledStates)
{
    // A wrong passphrase changes nothing.
    EXPECT_EQ(qelKeySetAxiomaticWithOptions(alice, true, pass("wrong").get()), QELError_BadPassphrase);
    EXPECT_FALSE(qelKeyObjIsAxiomatic(alice));
    ASSERT_EQ(qelKeySetEnabled(alice, 0), QELError_NoErr);
    // Setting enables the key, gives level 7 and owner trust 255.
    ASSERT_EQ(qelKeySetAxiomaticWithOptions(alice, true, pass("alice-pass").get()), QELError_NoErr);
    EXPECT_TRUE(qelKeyObjIsAxiomatic(alice));
    EXPECT_FALSE(qelKeyObjIsDisabled(alice));
    EXPECT_EQ(qelKeyObjTrustLevel(alice), 7);
    for (std::uint8_t b : ownerTrustBytes(alice))
        EXPECT_EQ(b, 255);
    // Again: nothing to do. An axiomatic key cannot be disabled.
    EXPECT_EQ(qelKeySetAxiomaticWithOptions(alice, true, options().get()), QELError_NoErr);
    EXPECT_EQ(qelKeySetEnabled(alice, 0), QELError_BadParams);
    // Clearing: level 0 and 253.
    ASSERT_EQ(qelKeySetAxiomaticWithOptions(alice, false, options().get()), QELError_NoErr);
    EXPECT_FALSE(qelKeyObjIsAxiomatic(alice));
    EXPECT_EQ(qelKeyObjTrustLevel(alice), 0);
    for (std::uint8_t b : ownerTrustBytes(alice))
        EXPECT_EQ(b, 253);
    EXPECT_EQ(qelKeySetAxiomaticWithOptions(alice, false, options().get()), QELError_BadParams);
    // Enable and disable flip the bit.
    ASSERT_EQ(qelKeySetEnabled(bob, 0), QELError_NoErr);
    EXPECT_TRUE(qelKeyObjIsDisabled(bob));
    ASSERT_EQ(qelKeySetEnabled(bob, 1), QELError_NoErr);
    EXPECT_FALSE(qelKeyObjIsDisabled(bob));
    EXPECT_EQ(qelKeySetEnabled(dave, 1), QELError_KeyExpired);
    // A key without its secret part cannot become axiomatic.
    QELKeyDB *pub = openOwned(readFile(dataPath("keyedit_carol_public.gpg")));
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(qelKeySetAxiomaticWithOptions(liveKeys(pub).at(0), true, options().get()), QELError_BadParams);
}

TEST_F(KeyManFrontEnd, PickForUsage)
{
    QELKeyObject *out = nullptr;
    QELKeyObject *aliceSub = liveChildren(alice, QELObjectType_SubKey).at(0);
    QELKeyObject *bobSub = liveChildren(bob, QELObjectType_SubKey).at(0);
    struct Case {
        QELKeyObject *key;
        std::uint32_t usage;
        QELStatus status;
        QELKeyObject *expected;
    } cases[] = {
        {alice, 0xC, QELError_NoErr, aliceSub},
        {alice, 0x1, QELError_NoErr, alice},
        {alice, 0x2, QELError_NoErr, alice},
        {alice, 0xF, QELError_AlgorithmCannotDoThis, nullptr}, // has an encryption subkey
        {bob, 0x4, QELError_NoErr, bobSub},
        {bob, 0x3, QELError_NoErr, bob},
        {carol, 0xF, QELError_NoErr, carol}, // RSA alone does both
        {carol, 0x8, QELError_NoErr, carol},
        {alice, 0x0, QELError_BadParams, nullptr},
        {alice, 0x30, QELError_BadParams, nullptr},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(qelKeyPickForUsage(c.key, c.usage, &out), c.status) << c.usage;
        EXPECT_EQ(out, c.expected) << c.usage;
    }
    EXPECT_EQ(qelKeyPickForUsage(aliceSub, 0x4, &out), QELError_BadParams);
}

TEST_F(KeyManFrontEnd, ObjectOperations)
{
    void *value = reinterpret_cast<void *>(0x1234);
    QELKeyObject *uid = liveChildren(alice, QELObjectType_UserID).at(0);
    ASSERT_EQ(qelKeyObjSetUserValue(uid, value), QELError_NoErr);
    void *got = nullptr;
    ASSERT_EQ(qelKeyObjGetUserValue(uid, &got), QELError_NoErr);
    EXPECT_EQ(got, value);
    EXPECT_EQ(qelKeyObjGetUserValue(nullptr, &got), QELError_BadParams);

    QELKeyObject *primary = nullptr;
    ASSERT_EQ(qelKeyGetPrimaryUserID(bob, &primary), QELError_NoErr);
    EXPECT_EQ(primary, liveChildren(bob, QELObjectType_UserID).at(0));
    EXPECT_EQ(qelKeyGetPrimaryUserIDOfKind(bob, 1, &primary), QELError_ItemNotFound); // no photo
    EXPECT_EQ(primary, nullptr);

    // Carol names no additional keys.
    std::uint32_t count = 7;
    ASSERT_EQ(qelKeyCountSubpacket10Keys(carol, &count), QELError_NoErr);
    EXPECT_EQ(count, 0u);
    QELKeyObject *k = nullptr;
    QELKeyID id{};
    std::uint8_t cls = 0;
    EXPECT_EQ(qelKeyGetSubpacket10Key(carol, 0, &k, &id, &cls), QELError_ItemNotFound);

    // Removing Dave: gone from the database; a second removal finds it dead.
    ASSERT_EQ(qelKeyObjRemove(dave), QELError_NoErr);
    EXPECT_TRUE(qelKeyObjIsDeleted(dave));
    EXPECT_EQ(byName("dave"), nullptr);
    EXPECT_EQ(qelKeyObjRemove(dave), QELError_DeadKeyObject);
    EXPECT_TRUE(qelKeyDBIsChanged(db));
}

TEST_F(KeyManFrontEnd, TokenOperationsWithoutTokens)
{
    // The database lives in this process: no service reference names it.
    EXPECT_EQ(qelKeyCopyToToken(alice, -1, "1234", 4), QELError_KeyObjectInvalid);
    EXPECT_EQ(qelKeyCopyToToken(liveChildren(alice, QELObjectType_SubKey).at(0), 0, "1234", 4),
              QELError_KeyObjectInvalid);
    EXPECT_EQ(qelKeyCopyToToken(liveChildren(alice, QELObjectType_UserID).at(0), 0, nullptr, 0),
              QELError_BadParams);
    // A known key on no token; an unknown key ID.
    std::uint8_t algorithm = 0;
    QELKeyID id{};
    qelKeyObjGetKeyID(alice, &algorithm, &id);
    EXPECT_EQ(qelTokenCopyKeyLocal(ctx, db, &id, -1, nullptr, 0), QELError_TokenNotAvailable);
    EXPECT_EQ(qelTokenCopyKeyLocal(ctx, db, &id, 3, nullptr, 0), QELError_TokenNotAvailable);
    QELKeyID unknown = id;
    unknown.bytes[7] ^= 0xFF;
    EXPECT_EQ(qelTokenCopyKeyLocal(ctx, db, &unknown, 0, nullptr, 0), -11494);
    EXPECT_EQ(qelTokenCopyKeyLocal(ctx, nullptr, &id, 0, nullptr, 0), QELError_KeyObjectInvalid);

    // The key command: the token layer cannot do it.
    EXPECT_EQ(qelTokenKeyCommandLocal(alice, 0, true, nullptr, 0, 0, nullptr, 0), QELError_AlgorithmCannotDoThis);
    EXPECT_EQ(qelTokenKeyCommandLocal(liveChildren(alice, QELObjectType_SubKey).at(0), 0, true, nullptr, 0, 0,
                                      nullptr, 0),
              QELError_BadParams);
    QELKeySet *set = nullptr;
    ASSERT_EQ(qelEnumeratedSetFromObject(alice, &set), QELError_NoErr);
    EXPECT_EQ(qelTokenKeyCommandWithOptions(set, options(qelOptionPassphrase(ctx, "1234"), qelOptionKind79(ctx, 1),
                                                         qelOptionKind55(ctx, 1))
                                                     .get()),
              QELError_AlgorithmCannotDoThis);
    // The second secret must not be a passkey; other kinds are refused.
    EXPECT_EQ(qelTokenKeyCommandWithOptions(
                  set, options(qelOptionPassphrase(ctx, "1234"), qelOptionPasskeyBuffer(ctx, "ab", 2)).get()),
              QELError_BadParams);
    EXPECT_EQ(qelTokenKeyCommandWithOptions(set, options(qelOptionCreationTime(ctx, 1)).get()), QELError_BadParams);
    EXPECT_EQ(qelKeySetRelease(set), QELError_NoErr);
}

} // namespace
