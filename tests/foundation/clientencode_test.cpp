// Option constructors: kinds, stored values, argument checks, sentinels and
// the references that options on key sets and databases hold.
#include "qelClientEncodeInternal.h"
#include "qelContextInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeySetInternal.h"
#include "qelSDK.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const auto *const g_env =
    qeltest::addHomeEnvironment("qelclientencode_test", qeltest::HomeEnvironment::SDK::Up);

class ClientEncodeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &ctx), QELError_NoErr); }
    void TearDown() override { static_cast<void>(qelContextFree(ctx)); }

    // The single item of a constructor's list; frees the list.
    QELOptionItem only(QELOptionList *list, bool keep = false)
    {
        QELOptionItem item{};
        EXPECT_TRUE(qelOptionListIsReal(list));
        if (!qelOptionListIsReal(list))
            return item;
        EXPECT_EQ(qelOptionListGetItem(list, 0, false, &item), 0);
        if (!keep)
            qelOptionListFree(list);
        return item;
    }
    static std::intptr_t sentinel(QELOptionList *list) { return reinterpret_cast<std::intptr_t>(list); }

    QELContext *ctx = nullptr;
};

TEST_F(ClientEncodeTest, RangeChecksGiveTheBadParametersSentinel)
{
    struct Case { const char *what; QELOptionList *list; bool ok; };
    char uid[256];
    std::memset(uid, 'u', sizeof uid);
    const Case cases[] = {
        {"hash 0", qelOptionHashAlgorithm(ctx, 0), false},
        {"hash 1", qelOptionHashAlgorithm(ctx, 1), true},
        {"hash 3", qelOptionHashAlgorithm(ctx, 3), true},
        {"hash 4", qelOptionHashAlgorithm(ctx, 4), false},
        {"line end 0", qelOptionOutputLineEnd(ctx, 0), false},
        {"line end 3", qelOptionOutputLineEnd(ctx, 3), true},
        {"line end 4", qelOptionOutputLineEnd(ctx, 4), false},
        {"line flags 3", qelOptionLineEndFlags(ctx, 3), false},
        {"line flags 7", qelOptionLineEndFlags(ctx, 7), false},
        {"line flags 4", qelOptionLineEndFlags(ctx, 4), true},
        {"DSA 511 bits", qelOptionKeyGenParams(ctx, 17, 511, 0), false},
        {"DSA 512 bits", qelOptionKeyGenParams(ctx, 17, 512, 0), true},
        {"alg 18 162 bits", qelOptionKeyGenParams(ctx, 18, 162, 0), false},
        {"alg 18 163 bits", qelOptionKeyGenParams(ctx, 18, 163, 0), true},
        {"user ID 0", qelOptionUserID(ctx, uid, 0), false},
        {"user ID 255", qelOptionUserID(ctx, uid, 255), true},
        {"user ID 256", qelOptionUserID(ctx, uid, 256), false},
        {"trust level 0", qelOptionTrustSignature(ctx, 1, 0), false},
        {"trust level 7", qelOptionTrustSignature(ctx, 1, 7), true},
        {"no context", qelOptionTextMode(nullptr, 1), false},
        {"null handler", qelOptionEventHandler(ctx, nullptr, nullptr), false},
        {"null input", qelOptionInputBuffer(ctx, nullptr, 4), false},
        {"null key set", qelOptionExportKeySet(ctx, nullptr), false},
    };
    for (const Case &c : cases) {
        if (c.ok) {
            EXPECT_TRUE(qelOptionListIsReal(c.list)) << c.what;
            qelOptionListFree(c.list);
        } else {
            EXPECT_EQ(sentinel(c.list), QELOptionSentinel_BadParams) << c.what;
        }
    }
}

TEST_F(ClientEncodeTest, ValuesAreStoredAsTheirKindsSay)
{
    QELOptionItem flag = only(qelOptionArmorOutput(ctx, 0x100));
    EXPECT_EQ(flag.kind, QELOption_ArmorOutput);
    EXPECT_EQ(flag.value, 0u);
    EXPECT_EQ(flag.size, 4u);
    EXPECT_EQ(only(qelOptionTextMode(ctx, 2)).value, 2u);
    EXPECT_EQ(only(qelOptionInt66(ctx, 255)).kind, QELOption_ExportFormat);

    QELOptionList *comment = qelOptionCommentString(ctx, "hello");
    QELOptionItem c = only(comment, true);
    EXPECT_EQ(c.size, 6u); // with the NUL
    EXPECT_STREQ(reinterpret_cast<const char *>(static_cast<std::uintptr_t>(c.value)), "hello");
    qelOptionListFree(comment);

    QELOptionItem pass = only(qelOptionPassphrase(ctx, "secret"));
    EXPECT_EQ(pass.kind, QELOption_Passphrase);
    EXPECT_EQ(pass.size, 6u); // without the NUL

    std::uint64_t headerLength = 7;
    char boundary[8] = "x";
    QELOptionList *mime = qelOptionMimeEncoding(ctx, 0, &headerLength, boundary);
    QELOptionItem m = only(mime, true);
    void *first = nullptr, *second = nullptr, *third = nullptr;
    ASSERT_EQ(qelOptionGetRecord3(&m, &first, &second, &third), 0);
    EXPECT_EQ(second, nullptr); // flag clear: no pointers stored
    EXPECT_EQ(third, nullptr);
    qelOptionListFree(mime);

    std::uint64_t used = 99;
    char buffer[16];
    QELOptionList *out = qelOptionOutputBuffer(ctx, buffer, sizeof buffer, &used);
    EXPECT_EQ(used, 0u);
    QELOptionItem o = only(out, true);
    ASSERT_EQ(qelOptionGetRecord3(&o, &first, &second, &third), 0);
    EXPECT_EQ(first, buffer);
    EXPECT_EQ(third, &used);
    qelOptionListFree(out);
}

TEST_F(ClientEncodeTest, KeySetAndDatabaseOptionsHoldReferences)
{
    QELKeyDB *db = nullptr;
    ASSERT_EQ(qelKeyDBNewInMemoryLocal(ctx, &db), 0);
    QELKeySet *set = nullptr;
    ASSERT_EQ(qelKeyDBNewKeySet(db, &set), 0);
    QELOptionList *list = qelOptionExportKeySet(ctx, set);
    EXPECT_EQ(set->refCount, 2);
    QELOptionList *copy = nullptr;
    ASSERT_EQ(qelOptionListCopyPublic(list, &copy), 0);
    EXPECT_EQ(set->refCount, 3);
    EXPECT_EQ(qelOptionListFreePublic(copy), 0);
    qelOptionListFree(list);
    EXPECT_EQ(set->refCount, 1);

    QELOptionList *revokers = qelOptionRevocationKeys(ctx, set);
    EXPECT_EQ(set->refCount, 2);
    qelOptionListFree(revokers);
    EXPECT_EQ(set->refCount, 1);

    QELOptionList *target = qelOptionTargetKeyDB(ctx, db);
    EXPECT_EQ(db->refCount, 2);
    qelOptionListFree(target);
    EXPECT_EQ(db->refCount, 1);
    EXPECT_EQ(qelKeySetRelease(set), 0);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

TEST_F(ClientEncodeTest, NestedOptionsTakeOverTheirLists)
{
    QELOptionList *nested = qelOptionConventionalEncrypt(ctx, qelOptionPassphrase(ctx, "pw"),
                                                         qelOptionCipherAlgorithm(ctx, 3),
                                                         qelOptionLastOption(ctx));
    QELOptionItem item = only(nested, true);
    EXPECT_EQ(item.kind, QELOption_ConventionalEncrypt);
    ASSERT_NE(item.nested, nullptr);
    QELOptionItem inner{};
    EXPECT_EQ(qelOptionListFindOne(item.nested, QELOption_CipherAlgorithm, &inner), 0);
    EXPECT_EQ(inner.value, 3u);
    qelOptionListFree(nested);
    // A bad key frees the argument lists and gives the sentinel.
    QELOptionList *bad = qelOptionSignWithKey(ctx, nullptr, qelOptionTextMode(ctx, 1),
                                              qelOptionLastOption(ctx));
    EXPECT_EQ(sentinel(bad), QELOptionSentinel_BadParams);
}

} // namespace
