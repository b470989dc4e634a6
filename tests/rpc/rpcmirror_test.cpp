// A database the service holds, mirrored here: the key operations of its
// objects go through their dispatchers to the service (a child process with
// its own SDK), and what comes back is brought into the mirror.
#include "qelClientEncode.h"
#include "qelContextInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyGenInternal.h"
#include "qelRandomPool.h"
#include "qelKeyIDInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySet.h"
#include "qelKeySig.h"
#include "qelEvent.h"
#include "qelOptionListInternal.h"
#include "qelPkAlg.h"
#include "qelRPCCallsInternal.h"
#include "qelRPCClientInternal.h"
#include "qelRPCDispatchInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"
#include "qelTestService.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using qeltest::TestService;

auto *const g_env = qeltest::addHomeEnvironment("qelrpcmirror");

std::vector<std::uint8_t> ring()
{
    std::ifstream in(std::string(QEL_SOURCE_DIR) + "/tests/keys/data/keyedit_secret.gpg", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class RPCMirror : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        qelRPCResetForTesting();
        service = new TestService(TestService::InChild{}, g_env->dir() + "/mirror");
        ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
        qelRPCSetSocketPathForTesting(service->path().c_str());
        ASSERT_EQ(qelRPCConnect(1), QELError_NoErr);
        ASSERT_EQ(qelContextNew(QELSDKVersion, &context), QELError_NoErr);
        const std::array<QELRPCItem, 4> poll{qelRPCValue(0), qelRPCValue(0), qelRPCValue(0), qelRPCValue(1)};
        for (int i = 0; i < 4; ++i)
            static_cast<void>(qelRPCInvoke(context, QELRPCCall_RandomPoolAddEvent, poll, {}));
        // The same ring read here, to compare with.
        const std::vector<std::uint8_t> bytes = ring();
        QELStatus s = QELError_NoErr;
        local = qelKeyDBReadBuffer(context, bytes.data(), bytes.size(), &s);
        ASSERT_NE(local, nullptr);
    }
    static void TearDownTestSuite()
    {
        static_cast<void>(qelKeyDBReleaseLocal(local));
        static_cast<void>(qelContextFree(context));
        static_cast<void>(qelSDKForceCleanup());
        delete service;
        qelRPCResetForTesting();
        qelRPCSetSocketPathForTesting(nullptr);
    }
    void SetUp() override
    {
        // The service opens the ring; the mirror is built from its key tree.
        const std::vector<std::uint8_t> bytes = ring();
        const std::array<QELRPCItem, 1> in{qelRPCBytes(bytes.data(), bytes.size())};
        std::array<QELRPCItem, 4> out{};
        ASSERT_EQ(qelRPCInvoke(context, QELRPCCall_KeyDBOpenFromBuffer, in, out), QELError_NoErr);
        ASSERT_EQ(qelKeyDBNewInMemoryLocal(context, &mirror), QELError_NoErr);
        mirror->serviceRef = out[0].value;
        std::vector<std::uint64_t> words(out[3].length / 8);
        std::memcpy(words.data(), out[3].block, words.size() * 8);
        ASSERT_EQ(qelKeyDBMergeKeyTree(mirror, nullptr, words.data(), words.size(), std::uint32_t(out[1].value), true,
                                       false),
                  QELError_NoErr);
        qelRPCItemsRelease(out);
    }
    void TearDown() override
    {
        if (mirror != nullptr) {
            EXPECT_EQ(qelKeyDBRelease(mirror), QELError_NoErr);
        }
    }
    static QELKeyObject *key(QELKeyDB *db, int n)
    {
        QELKeyObject *k = db->firstKey;
        while (n-- > 0 && k != nullptr)
            k = k->next;
        return k;
    }
    static int children(QELKeyObject *o)
    {
        int n = 0;
        for (QELKeyObject *c = o->firstChild; c != nullptr; c = c->next)
            n += qelKeyObjIsLive(c) ? 1 : 0;
        return n;
    }

    static TestService *service;
    static QELContext *context;
    static QELKeyDB *local;
    QELKeyDB *mirror = nullptr;
};
TestService *RPCMirror::service = nullptr;
QELContext *RPCMirror::context = nullptr;
QELKeyDB *RPCMirror::local = nullptr;

TEST_F(RPCMirror, NodesFetchTheirBlocksAndPacketsFromTheService)
{
    for (int k = 0; k < 4; ++k) {
        QELKeyObject *m = key(mirror, k), *l = key(local, k);
        ASSERT_NE(m, nullptr);
        EXPECT_TRUE(m->flags & QELKeyObjFlag_NotLoaded);
        QELKeyID a{}, b{};
        std::uint8_t algA = 0, algB = 0;
        qelKeyObjGetKeyID(m, &algA, &a);
        qelKeyObjGetKeyID(l, &algB, &b);
        EXPECT_EQ(algA, algB);
        EXPECT_EQ(std::memcmp(a.bytes, b.bytes, 8), 0);
        std::size_t na = 0, nb = 0;
        const std::uint8_t *pa = qelKeyObjRawPacket(m, &na);
        const std::uint8_t *pb = qelKeyObjRawPacket(l, &nb);
        ASSERT_NE(pa, nullptr);
        EXPECT_EQ(std::vector<std::uint8_t>(pa, pa + na), std::vector<std::uint8_t>(pb, pb + nb));
        EXPECT_NE(qelKeyObjKeyInfo(m)->firstSig, qelKeyObjKeyInfo(l)->firstSig); // no pointer of the service's kept
    }
}

TEST_F(RPCMirror, FindingAKeyAnswersTheMirrorsNode)
{
    QELKeyID id{};
    qelKeyObjGetKeyID(key(local, 1), nullptr, &id);
    QELKeyObject *found = nullptr;
    ASSERT_EQ(qelKeyDBFindKeyByIDDispatch(mirror, &id, false, false, &found), QELError_NoErr);
    EXPECT_EQ(found, key(mirror, 1));
}

TEST_F(RPCMirror, SigningAndVerifyingRunInTheService)
{
    static const std::uint8_t digest[20] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    QELKeyObject *alice = key(mirror, 0);
    std::uint8_t *sig = nullptr;
    std::size_t sigLength = 0;
    ASSERT_EQ(qelKeyObjSign(alice, "alice-pass", 10, 0, 0, 0, 2, digest, sizeof digest, QELPkFormat_RFC4880, &sig,
                            &sigLength),
              QELError_NoErr);
    EXPECT_EQ(qelKeyObjVerify(alice, sig, sigLength, 2, digest, sizeof digest, QELPkFormat_RFC4880), 1);
    // The same signature made here (RSA signing is deterministic).
    std::uint8_t *here = nullptr;
    std::size_t hereLength = 0;
    ASSERT_EQ(qelKeyObjSign(key(local, 0), "alice-pass", 10, 0, 0, 0, 2, digest, sizeof digest, QELPkFormat_RFC4880,
                            &here, &hereLength),
              QELError_NoErr);
    EXPECT_EQ(std::vector<std::uint8_t>(sig, sig + sigLength), std::vector<std::uint8_t>(here, here + hereLength));
    static_cast<void>(qelContextMemFree(context, sig));
    static_cast<void>(qelContextMemFree(context, here));
    EXPECT_FALSE(qelKeyObjUnlock(alice, "wrong", 5, 0, 0, 0));
    EXPECT_TRUE(qelKeyObjUnlock(alice, "alice-pass", 10, 0, 0, 0));
}

TEST_F(RPCMirror, ACertificationComesBackAsAKeyTree)
{
    QELKeyObject *carol = key(mirror, 2);
    QELKeyObject *uid = nullptr;
    for (QELKeyObject *c = carol->firstChild; c != nullptr; c = c->next)
        if (qelKeyObjType(c) == QELObjectType_UserID)
            uid = c;
    ASSERT_NE(uid, nullptr);
    const int before = children(uid);
    QELOptionList *options = qelOptionPassphrase(context, "alice-pass");
    ASSERT_EQ(qelUserIDCertifyWithOptions(uid, key(mirror, 0), options), QELError_NoErr);
    qelOptionListFree(options);
    EXPECT_EQ(children(uid), before + 1);
    // The new signature is a node of the mirror whose packet the service has.
    QELKeyObject *last = uid->firstChild;
    while (last->next != nullptr)
        last = last->next;
    EXPECT_EQ(qelKeyObjType(last), QELObjectType_Signature);
    std::size_t n = 0;
    EXPECT_NE(qelKeyObjRawPacket(last, &n), nullptr);
    EXPECT_GT(n, 0u);
}

TEST_F(RPCMirror, RemovingAnObjectFollowsTheService)
{
    QELKeyObject *uid = key(mirror, 0)->firstChild;
    ASSERT_EQ(qelKeyObjType(uid), QELObjectType_UserID);
    ASSERT_EQ(qelKeyDBRemoveObjectDispatch(mirror, uid), QELError_NoErr);
    EXPECT_FALSE(qelKeyObjIsLive(uid));
    // The service has removed it too: fetching all keys again shows it gone.
    ASSERT_EQ(qelKeyDBFetchAllKeysDispatch(mirror), QELError_NoErr);
    EXPECT_TRUE(qelKeyObjIsDeleted(uid));
}

// The progress a handler hears: events, and the last count and total.
struct Heard {
    int events = 0;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
};

std::int32_t listen(QELContext *, QELEvent *event, void *user)
{
    auto *heard = static_cast<Heard *>(user);
    if (event->kind == QELEvent_Progress) {
        ++heard->events;
        heard->done = event->data.progress.done;
        heard->total = event->data.progress.total;
    }
    return 0;
}

TEST_F(RPCMirror, ACheckThroughTheServiceReportsProgressHere)
{
    Heard here, there;
    for (auto [db, heard] : {std::pair{local, &here}, std::pair{mirror, &there}}) {
        QELKeySet *set = nullptr;
        ASSERT_EQ(qelKeyDBNewKeySet(db, &set), QELError_NoErr);
        EXPECT_EQ(qelKeySigCheckKeySet(set, nullptr, 1, listen, heard), QELError_NoErr);
        EXPECT_EQ(qelKeySetRelease(set), QELError_NoErr);
    }
    ASSERT_GT(here.events, 0);
    EXPECT_EQ(there.events, here.events) << "one event per signature checked, as in process";
    EXPECT_EQ(there.total, here.total);
    EXPECT_EQ(there.done, there.total);
}

TEST_F(RPCMirror, OpeningARingInServiceModeGivesAMirror)
{
    const std::vector<std::uint8_t> bytes = ring();
    QELKeyDB *db = nullptr;
    ASSERT_EQ(qelKeyDBOpenFromBuffer(context, bytes.data(), bytes.size(), &db), QELError_NoErr);
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(qelKeyDBIsRemote(db));
    std::uint32_t count = 0;
    ASSERT_EQ(qelKeyDBCountKeys(db, &count), QELError_NoErr);
    EXPECT_EQ(count, 4u);
    QELKeyID a{}, b{};
    qelKeyObjGetKeyID(key(db, 3), nullptr, &a);
    qelKeyObjGetKeyID(key(local, 3), nullptr, &b);
    EXPECT_EQ(std::memcmp(a.bytes, b.bytes, 8), 0);
    EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
}

TEST_F(RPCMirror, KeysGeneratedHereAreWrittenByTheService)
{
    using Options = std::unique_ptr<QELOptionList, decltype(&qelOptionListFree)>;
    // The pool (and its estimate) is the service's: the check is turned off.
    Options key(qelOptionListBuild(context, false, qelOptionTargetKeyDB(context, mirror),
                                   qelOptionKeyGenParams(context, 1, 1024, 0),
                                   qelOptionUserID(context, "Gen <gen@example.org>", 21),
                                   qelOptionPassphrase(context, "gen-pass"), qelOptionKeyGenFlag(context, 1),
                                   qelOptionNoEntropyCheck(context, 1), qelOptionLastOption(context)),
                &qelOptionListFree);
    QELKeyObject *made = nullptr;
    ASSERT_EQ(qelKeyGenerateWithOptions(&made, key.get()), QELError_NoErr);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(qelKeyObjKeyDB(made), mirror);
    EXPECT_EQ(qelKeyObjType(made), QELObjectType_Key);
    ASSERT_NE(made->firstChild, nullptr);
    EXPECT_EQ(qelKeyObjType(made->firstChild), QELObjectType_UserID);
    std::size_t n = 0;
    const std::uint8_t *packet = qelKeyObjRawPacket(made->firstChild, &n);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(packet) + n - 21, 21), "Gen <gen@example.org>");

    Options sub(qelOptionListBuild(context, false, qelOptionMasterKey(context, made),
                                   qelOptionKeyGenParams(context, 1, 1024, 0), qelOptionPassphrase(context, "gen-pass"),
                                   qelOptionKeyGenFlag(context, 1), qelOptionNoEntropyCheck(context, 1),
                                   qelOptionLastOption(context)),
                &qelOptionListFree);
    QELKeyObject *subKey = nullptr;
    ASSERT_EQ(qelSubKeyGenerateWithOptions(&subKey, sub.get()), QELError_NoErr);
    ASSERT_NE(subKey, nullptr);
    EXPECT_EQ(subKey->parent, made);
    EXPECT_EQ(qelKeyObjType(subKey), QELObjectType_SubKey);
    EXPECT_EQ(qelKeyObjBits(subKey), 1024u);
}

} // namespace
