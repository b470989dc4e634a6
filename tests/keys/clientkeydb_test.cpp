// The public key operations that take option lists: what each accepts, that
// the lists given are consumed on every path once the guard lets the call
// through (counted on the context's own heap), that persistent lists stay
// usable, and that each reaches its operation.
#include "keys_fixture.h"

#include "qelClientKeyDB.h"
#include "qelKeyIOExportInternal.h"
#include "qelFIPS.h"
#include "qelKeyDB.h"
#include "qelKeyMan.h"
#include "qelKeyProperty.h"
#include "qelRandomPoolInternal.h"
#include "qelTestMemory.h"

#include <cstring>
#include <functional>
#include <string>

using namespace keystest;

namespace {

class ClientKeyDB : public ::testing::Test {
public:
    void SetUp() override
    {
        QELContextParams params{QELSDKVersion, heap.make()};
        ASSERT_EQ(qelContextNewCustom(&params, &ctx), QELError_NoErr);
        qelRandomPoolSetSeeded(); // signing needs a seeded pool
        const auto ring = readFile(dataPath("keyedit_secret.gpg"));
        ASSERT_FALSE(ring.empty());
        ASSERT_EQ(qelKeyDBOpenFromBuffer(ctx, ring.data(), ring.size(), &db), QELError_NoErr);
        alice = keyWithUserID(db, "<alice@example.org>");
        bob = keyWithUserID(db, "<bob@example.org>");
        ASSERT_NE(alice, nullptr);
        ASSERT_NE(bob, nullptr);
    }
    void TearDown() override
    {
        if (db != nullptr) {
            EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
        }
        static_cast<void>(qelContextFree(ctx));
    }
    QELOptionList *passphrase(const char *text) { return qelOptionPassphrase(ctx, text); }
    QELOptionList *end() { return qelOptionLastOption(ctx); }
    QELKeyObject *subKeyOf(QELKeyObject *key) { return liveChildren(key, QELObjectType_SubKey).at(0); }

    qeltest::TestHeap heap;
    QELContext *ctx = nullptr;
    QELKeyDB *db = nullptr;
    QELKeyObject *alice = nullptr;
    QELKeyObject *bob = nullptr;
};

// Each call gets two fresh non-persistent lists; none may be left behind.
TEST_F(ClientKeyDB, RefusedFixedArgumentsConsumeTheLists)
{
    QELKeyObject *uid = liveChildren(alice, QELObjectType_UserID).at(0);
    QELKeyObject *sig = liveChildren(uid, QELObjectType_Signature).at(0);
    QELKeyObject *passkeyOut = nullptr;
    std::uint8_t passkey[32];
    const std::string tooLong(255, 'x');
    QELKeyDB *imported = nullptr;
    QELKeyObject *made = nullptr;
    struct Case {
        const char *what;
        std::function<QELStatus(QELOptionList *, QELOptionList *)> call;
    } cases[] = {
        {"primary user ID on a key", [&](auto a, auto b) { return qelUserIDSetPrimary(alice, a, b, end()); }},
        {"certify with a user ID as signer", [&](auto a, auto b) { return qelUserIDCertify(uid, uid, a, b, end()); }},
        {"revoke a key as a signature", [&](auto a, auto b) { return qelSigRevoke(alice, a, b, end()); }},
        {"revoke a user ID as a key", [&](auto a, auto b) { return qelKeyRevoke(uid, a, b, end()); }},
        {"user ID on a subkey",
         [&](auto a, auto b) { return qelKeyAddUserID(subKeyOf(alice), "x", a, b, end()); }},
        {"user ID of 255 characters",
         [&](auto a, auto b) { return qelKeyAddUserID(alice, tooLong.c_str(), a, b, end()); }},
        {"null user ID", [&](auto a, auto b) { return qelKeyAddUserID(alice, nullptr, a, b, end()); }},
        {"attribute without data",
         [&](auto a, auto b) { return qelKeyAddUserAttribute(alice, 1, nullptr, 4, a, b, end()); }},
        {"attribute type past an octet",
         [&](auto a, auto b) { return qelKeyAddUserAttribute(alice, 257, "data", 4, a, b, end()); }},
        {"change passphrase of a signature",
         [&](auto a, auto b) { return qelKeyChangePassphrase(sig, a, b, end()); }},
        {"axiomatic subkey", [&](auto a, auto b) { return qelKeySetAxiomatic(subKeyOf(alice), 1, a, b, end()); }},
        {"passkey without a buffer",
         [&](auto a, auto b) { return qelKeyPassphraseToPasskey(alice, nullptr, a, b, end()); }},
        {"passkey of a user ID", [&](auto a, auto b) { return qelKeyPassphraseToPasskey(uid, passkey, a, b, end()); }},
        {"revokers on a subkey", [&](auto a, auto b) { return qelKeyAddRevokers(subKeyOf(alice), a, b, end()); }},
        {"reserved operation on a subkey",
         [&](auto a, auto b) { return qelKeyReservedOperation(subKeyOf(alice), a, b, end()); }},
        {"preferences of a subkey",
         [&](auto a, auto b) { return qelKeySetPreferences(subKeyOf(alice), a, b, end()); }},
        {"generate without an out pointer", [&](auto a, auto b) { return qelKeyGenerate(ctx, nullptr, a, b, end()); }},
        {"generate without a context", [&](auto a, auto b) { return qelKeyGenerate(nullptr, &made, a, b, end()); }},
        {"subkey without an out pointer",
         [&](auto a, auto b) { return qelSubKeyGenerate(ctx, nullptr, a, b, end()); }},
        {"export without a context", [&](auto a, auto b) { return qelExportKeys(nullptr, a, b, end()); }},
        {"import without an out pointer", [&](auto a, auto b) { return qelImportKeys(ctx, nullptr, a, b, end()); }},
        {"import without a context", [&](auto a, auto b) { return qelImportKeys(nullptr, &imported, a, b, end()); }},
        {"self-signed certificate of a user ID",
         [&](auto a, auto b) { return qelCreateSelfSignedX509Certificate(uid, &passkeyOut, a, b, end()); }},
        {"certificate issued by a key",
         [&](auto a, auto b) { return qelCreateX509Certificate(alice, bob, &passkeyOut, a, b, end()); }},
        {"certificate from a request issued by a key",
         [&](auto a, auto b) { return qelCreateX509CertificateFromRequest(alice, &passkeyOut, a, b, end()); }},
        {"CRL without a set", [&](auto a, auto b) { return qelCreateX509CRL(sig, nullptr, a, b, end()); }},
    };
    for (const Case &c : cases) {
        const long before = heap.live;
        QELOptionList *a = passphrase("alice-pass");
        QELOptionList *b = qelOptionValidityDays(ctx, 3);
        EXPECT_GT(heap.live, before) << c.what;
        EXPECT_EQ(c.call(a, b), QELError_BadParams) << c.what;
        EXPECT_EQ(heap.live, before) << c.what << ": lists left behind";
    }
    EXPECT_EQ(imported, nullptr);

    // The two answers that are not statuses.
    const long before = heap.live;
    EXPECT_EQ(qelKeyPassphraseIsValid(uid, passphrase("alice-pass"), end()), 0);
    EXPECT_EQ(qelKeyGenEntropyNeeded(nullptr, passphrase("alice-pass"), end()), -1);
    EXPECT_EQ(heap.live, before);
}

TEST_F(ClientKeyDB, OperationsRunOnTheMergedListAndFreeIt)
{
    // Without a passphrase the passphrase cache is asked, which the context
    // makes on first use and keeps; so is the random context, which the
    // encode job under the export makes on first use.
    EXPECT_EQ(qelKeyPassphraseIsValid(alice, end()), 0);
    EXPECT_EQ(qelExportKeys(ctx, qelOptionExportKeySet(ctx, qelKeyDBGetRootSet(db)), qelOptionDiscardOutput(ctx, 1),
                            end()),
              QELError_NoErr);
    const long before = heap.live;
    // No lists: the operation runs with an empty list.
    EXPECT_EQ(qelKeySetPreferences(alice, end()), QELError_NoErr);
    EXPECT_EQ(qelKeyReservedOperation(alice, passphrase("alice-pass"), end()), QELError_FeatureNotAvailable);
    EXPECT_EQ(qelKeyPassphraseIsValid(alice, passphrase("alice-pass"), end()), 1);
    EXPECT_EQ(qelKeyPassphraseIsValid(alice, passphrase("wrong"), end()), 0);
    // The operation's own refusal of an option kind comes back unchanged.
    EXPECT_EQ(qelKeyRevoke(alice, qelOptionCreationTime(ctx, 1000), end()), QELError_BadParams);
    EXPECT_EQ(heap.live, before);

    // Key and subkey forms: a passkey from each.
    std::uint8_t keyPasskey[32] = {0}, subKeyPasskey[32] = {0}, none[32] = {0};
    EXPECT_EQ(qelKeyPassphraseToPasskey(alice, keyPasskey, passphrase("alice-pass"), end()), QELError_NoErr);
    EXPECT_EQ(qelKeyPassphraseToPasskey(subKeyOf(alice), subKeyPasskey, passphrase("alice-pass"), end()),
              QELError_NoErr);
    EXPECT_NE(std::memcmp(keyPasskey, none, sizeof none), 0);
    EXPECT_NE(std::memcmp(subKeyPasskey, none, sizeof none), 0);

    // Import and export run their jobs on the merged list; the PKI toolkit
    // cannot issue certificates yet. Out-parameters are cleared first and
    // every list is freed either way.
    QELKeyDB *imported = reinterpret_cast<QELKeyDB *>(&heap);
    QELKeyObject *cert = reinterpret_cast<QELKeyObject *>(&heap);
    EXPECT_EQ(qelImportKeys(ctx, &imported, qelOptionInputBuffer(ctx, "x", 1), qelOptionTextMode(ctx, 1), end()),
              QELError_BadParams);
    EXPECT_EQ(imported, nullptr);
    ASSERT_EQ(qelImportKeys(ctx, &imported, qelOptionInputBuffer(ctx, "x", 1), end()), QELError_NoErr);
    ASSERT_NE(imported, nullptr);
    std::uint32_t count = 1;
    EXPECT_EQ(qelKeyDBCountKeys(imported, &count), QELError_NoErr);
    EXPECT_EQ(count, 0u) << "text without key blocks holds no keys";
    EXPECT_EQ(qelKeyDBRelease(imported), QELError_NoErr);
    EXPECT_EQ(qelExportKeys(ctx, qelOptionExportKeySet(ctx, qelKeyDBGetRootSet(db)), qelOptionDiscardOutput(ctx, 1),
                            end()),
              QELError_NoErr);
    static constexpr std::uint8_t kNote[] = {'n', 'o', 't', 'e'};
    const QELCertAttribute note{QELCertAttr_Description, sizeof kNote, kNote, 0};
    qelRandomPoolSetSeeded();
    EXPECT_EQ(qelCreateSelfSignedX509Certificate(alice, &cert, passphrase("alice-pass"), qelOptionKind69(ctx, &note, 1),
                                                 end()),
              QELError_NoErr);
    EXPECT_NE(cert, nullptr);
    // Without the attribute records a certificate request is incomplete.
    cert = reinterpret_cast<QELKeyObject *>(&heap);
    EXPECT_EQ(qelCreateSelfSignedX509Certificate(alice, &cert, passphrase("alice-pass"), end()), QELError_BadParams);
    EXPECT_EQ(cert, nullptr);
    EXPECT_EQ(heap.live, before);
}

TEST_F(ClientKeyDB, UserIDOf254CharactersIsAccepted)
{
    const std::string longest(254, 'u');
    EXPECT_EQ(qelKeyAddUserID(alice, longest.c_str(), passphrase("alice-pass"), end()), QELError_NoErr);
    bool found = false;
    for (QELKeyObject *u : liveChildren(alice, QELObjectType_UserID)) {
        std::size_t n = 0;
        const std::uint8_t *t = qelUserIDText(u, &n);
        found = found || (t != nullptr && std::string(reinterpret_cast<const char *>(t), n) == longest);
    }
    EXPECT_TRUE(found);
}

TEST_F(ClientKeyDB, RevokeTakesTheSubkeyFormForASubkey)
{
    QELKeyObject *sub = subKeyOf(alice);
    ASSERT_EQ(qelKeyRevoke(sub, passphrase("alice-pass"), end()), QELError_NoErr);
    std::uint8_t revoked = 0;
    ASSERT_EQ(qelKeyObjGetBoolProperty(sub, QELProperty_SubKeyIsRevoked, &revoked), QELError_NoErr);
    EXPECT_EQ(revoked, 1);
    ASSERT_EQ(qelKeyObjGetBoolProperty(alice, QELProperty_IsRevoked, &revoked), QELError_NoErr);
    EXPECT_EQ(revoked, 0);
}

TEST_F(ClientKeyDB, AListErrorIsTheResultWithoutTheOperation)
{
    const long before = heap.live;
    // A constructor that had no context gives a list that carries an error:
    // even the right passphrase beside it is not tried.
    EXPECT_EQ(qelKeyPassphraseIsValid(alice, passphrase("alice-pass"), qelOptionPassphrase(nullptr, "x"), end()), 0);
    EXPECT_EQ(qelKeyGenEntropyNeeded(ctx, qelOptionPassphrase(nullptr, "x"), end()), -1);
    EXPECT_EQ(qelKeySetPreferences(alice, qelOptionKeyFlags(ctx, 3), qelOptionPassphrase(nullptr, "x"), end()),
              QELError_BadParams);
    std::uint8_t flags = 0;
    // Nothing was changed by the refused preference edit.
    EXPECT_EQ(qelKeyObjGetBoolProperty(alice, QELProperty_IsRevoked, &flags), QELError_NoErr);
    // An option that could not be made for want of memory is the result;
    // nothing runs.
    heap.countdown = 1;
    EXPECT_EQ(qelKeyAddUserID(alice, "Alice Third", passphrase("alice-pass"), end()), QELError_OutOfMemory);
    heap.countdown = 0;
    EXPECT_EQ(heap.live, before);
}

TEST_F(ClientKeyDB, PersistentListsStayWithTheCaller)
{
    QELOptionList *kept = nullptr;
    ASSERT_EQ(qelOptionListNewPublic(ctx, &kept), QELError_NoErr);
    ASSERT_EQ(qelOptionListAppendPublic(kept, passphrase("alice-pass"), end()), QELError_NoErr);
    EXPECT_EQ(qelKeyPassphraseIsValid(alice, kept, end()), 1);
    // Refused fixed arguments free only the lists that are not persistent.
    EXPECT_EQ(qelKeyAddRevokers(subKeyOf(alice), kept, end()), QELError_BadParams);
    EXPECT_EQ(qelKeyPassphraseIsValid(alice, kept, end()), 1);
    EXPECT_EQ(qelOptionListFreePublic(kept), QELError_NoErr);
}

ClientKeyDB *g_test = nullptr;

// A refusal by the API guard returns at once: the lists stay the caller's.
// FIPS mode, which makes the guard refuse until the self-tests have run,
// cannot be left again, so this runs in a child process.
TEST_F(ClientKeyDB, AGuardRefusalLeavesTheListsWithTheCaller)
{
    g_test = this;
    EXPECT_EQ(qeltest::runInChild(+[]() -> int {
                  ClientKeyDB &t = *g_test;
                  QELOptionList *list = t.passphrase("alice-pass");
                  const long live = t.heap.live;
                  if (qelFIPSEnable() != QELError_NoErr)
                      return 1;
                  if (qelKeySetPreferences(t.alice, list, t.end()) != QELError_SelfTestsNotExecuted)
                      return 2;
                  if (qelKeyPassphraseIsValid(t.alice, list, t.end()) != 0)
                      return 3;
                  if (qelKeyGenEntropyNeeded(t.ctx, list, t.end()) != QELError_SelfTestsNotExecuted)
                      return 4;
                  if (t.heap.live != live || !qelOptionListIsReal(list))
                      return 5;
                  qelOptionListFree(list);
                  return t.heap.live < live ? 0 : 6;
              }),
              0);
}

} // namespace
