#include "qelContextInternal.h"
#include "qelFileSpecInternal.h"
#include "qelMemoryInternal.h"
#include "qelOptionListInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <vector>

namespace {

const auto *const g_env = qeltest::addHomeEnvironment("qeloptionlist_test", qeltest::HomeEnvironment::SDK::Up);

QELOptionList *sentinel(std::intptr_t v)
{
    return reinterpret_cast<QELOptionList *>(v);
}
QELOptionList *const kEnd = sentinel(-1);

class OptionListTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &ctx), QELError_NoErr); }
    void TearDown() override { static_cast<void>(qelContextFree(ctx)); }

    QELOptionList *intOption(std::int32_t kind, std::int64_t value)
    {
        return qelOptionNewValue(ctx, kind, &value, 4, nullptr);
    }
    QELOptionList *bytesOption(std::int32_t kind, const char *text)
    {
        return qelOptionNewBytes(ctx, kind, text, std::strlen(text) + 1);
    }
    // A one-item list whose value points at a record of the given size.
    QELOptionList *recordOption(std::int32_t kind, const void *record, std::uint64_t size)
    {
        return qelOptionNewBytes(ctx, kind, record, size);
    }

    QELContext *ctx = nullptr;
};

TEST_F(OptionListTest, SentinelsAreRecognisedAndCarryTheirErrors)
{
    QELOptionList *real = qelOptionListNew(ctx, false);
    ASSERT_TRUE(qelOptionListIsReal(real));
    struct Case {
        QELOptionList *list;
        bool isReal, isValid;
        QELStatus error, sentinelError;
    } cases[] = {
        {sentinel(-1), false, true, 0, QELError_BadParams},
        {sentinel(-2), false, true, QELError_OutOfMemory, QELError_OutOfMemory},
        {sentinel(-3), false, true, QELError_BadParams, QELError_BadParams},
        {sentinel(-4), false, true, 0, QELError_BadParams},
        // A constructor refused by the entry guard: never a list, and a build
        // with it carries the guard's refusal.
        {sentinel(-5), false, true, QELError_SelfTestsNotExecuted,
         QELError_SelfTestsNotExecuted},
        {nullptr, true, false, QELError_BadParams, 0},
        {real, true, true, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(reinterpret_cast<std::intptr_t>(c.list));
        EXPECT_EQ(qelOptionListIsReal(c.list), c.isReal);
        EXPECT_EQ(qelOptionListIsValid(c.list), c.isValid);
        EXPECT_EQ(qelOptionListGetError(c.list), c.error);
        EXPECT_EQ(qelOptionSentinelError(c.list), c.sentinelError);
    }
    std::uint32_t foreign[16] = {0x12345678};
    EXPECT_FALSE(qelOptionListIsValid(reinterpret_cast<QELOptionList *>(foreign)));
    qelOptionListFree(real);

    EXPECT_EQ(qelOptionNull(ctx), sentinel(-4));
    EXPECT_EQ(qelOptionNull(nullptr), sentinel(-3));
    // The end sentinel always closes an argument sequence.
    EXPECT_EQ(qelOptionLastOption(ctx), kEnd);
    EXPECT_EQ(qelOptionLastOption(nullptr), kEnd);
}

TEST_F(OptionListTest, AppendGrowsByFiveAndClearsLookupFlags)
{
    QELOptionList *list = qelOptionListNew(ctx, false);
    ASSERT_TRUE(qelOptionListIsReal(list));
    EXPECT_EQ(list->magic, QELOptionListMagic);
    EXPECT_EQ(list->capacity, 1);
    const std::uint16_t expected[] = {1, 6, 6, 6, 6, 6, 11, 11};
    for (std::int32_t i = 0; i < 8; ++i) {
        QELOptionItem item{};
        item.kind = 8;
        item.flags = 1 | 2 | 4;
        item.value = static_cast<std::uint64_t>(i);
        ASSERT_EQ(qelOptionListAppendItem(list, &item), QELError_NoErr);
        EXPECT_EQ(list->capacity, expected[i]) << i;
        EXPECT_EQ(list->count, i + 1);
        EXPECT_EQ(list->items[i].flags, 1);
    }
    // A recorded error is sticky.
    qelOptionListSetError(list, QELError_BadParams);
    qelOptionListSetError(list, QELError_OutOfMemory);
    QELOptionItem item{};
    item.kind = 9;
    EXPECT_EQ(qelOptionListAppendItem(list, &item), QELError_BadParams);
    EXPECT_EQ(list->count, 8);
    qelOptionListFree(list);
}

TEST_F(OptionListTest, BuildMovesItemsAndConsumesArguments)
{
    QELOptionList *persistent = nullptr;
    ASSERT_EQ(qelOptionListBuildPublic(ctx, &persistent, bytesOption(53, "kept"), kEnd),
              QELError_NoErr);
    ASSERT_TRUE(qelOptionListIsReal(persistent));

    QELOptionList *first = qelOptionListBuild(ctx, false, intOption(8, 1), persistent,
                                              qelOptionNull(ctx), intOption(22, 3), kEnd);
    QELOptionList *second = qelOptionListBuild(ctx, false, persistent, kEnd);
    ASSERT_EQ(qelOptionListGetError(first), QELError_NoErr);
    ASSERT_EQ(qelOptionListGetError(second), QELError_NoErr);
    ASSERT_EQ(first->count, 3);
    EXPECT_EQ(first->items[0].kind, 8);
    EXPECT_EQ(first->items[1].kind, 53);
    EXPECT_EQ(first->items[2].kind, 22);
    // Both builds got their own copy of the persistent list's value.
    ASSERT_EQ(second->count, 1);
    EXPECT_NE(first->items[1].value, second->items[0].value);
    EXPECT_NE(first->items[1].value, persistent->items[0].value);
    EXPECT_STREQ(reinterpret_cast<const char *>(second->items[0].value), "kept");
    ASSERT_EQ(persistent->count, 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(persistent->items[0].value), "kept");
    qelOptionListFree(first);
    qelOptionListFree(second);
    EXPECT_EQ(qelOptionListFreePublic(persistent), QELError_NoErr);
}

TEST_F(OptionListTest, BuildCarriesTheFirstArgumentError)
{
    std::uint32_t foreign[16] = {0x12345678};
    struct Case {
        QELOptionList *bad;
        QELStatus error;
    } cases[] = {
        {sentinel(-2), QELError_OutOfMemory},
        {sentinel(-3), QELError_BadParams},
        {sentinel(-5), QELError_SelfTestsNotExecuted},
        {reinterpret_cast<QELOptionList *>(foreign), QELError_BadParams},
        {nullptr, QELError_BadParams},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.error);
        // The other arguments are freed (the leak checker of the sanitizer
        // build would see them otherwise); the foreign record is left alone.
        QELOptionList *list = qelOptionListBuild(ctx, false, bytesOption(53, "a"), c.bad,
                                                 bytesOption(59, "b"), kEnd);
        EXPECT_EQ(qelOptionListGetError(list), c.error);
        EXPECT_EQ(list->count, 1);
        qelOptionListFree(list);

        QELOptionListHolder holder{ctx, nullptr};
        EXPECT_EQ(qelOptionListBuildIntoPublic(&holder, bytesOption(53, "a"), c.bad, kEnd),
                  c.error);
        EXPECT_EQ(holder.list, nullptr);
    }
    EXPECT_EQ(foreign[0], 0x12345678u);

    QELOptionListHolder holder{ctx, nullptr};
    ASSERT_EQ(qelOptionListBuildInto(&holder, intOption(8, 1), kEnd), QELError_NoErr);
    ASSERT_TRUE(qelOptionListIsReal(holder.list));
    EXPECT_EQ(holder.list->count, 1);
    qelOptionListFreeAndClear(&holder.list);
    EXPECT_EQ(holder.list, nullptr);
    EXPECT_EQ(qelOptionListBuildIntoPublic(nullptr, bytesOption(53, "freed"), kEnd),
              QELError_BadParams);
}

TEST_F(OptionListTest, AListIsNeverMergedIntoItselfNorFreedTwice)
{
    QELOptionList *target = qelOptionListBuild(ctx, false, intOption(8, 1), kEnd);
    EXPECT_EQ(qelOptionListAppendPublic(target, target, kEnd), QELError_BadParams);
    EXPECT_EQ(target->count, 1);
    qelOptionListFree(target);

    QELOptionList *twice = intOption(9, 1);
    QELOptionList *list = qelOptionListBuild(ctx, false, twice, twice, kEnd);
    EXPECT_EQ(qelOptionListGetError(list), QELError_BadParams);
    EXPECT_EQ(list->count, 1);
    qelOptionListFree(list);

    QELOptionList *once = intOption(9, 1);
    EXPECT_EQ(qelOptionListFreeVarArgs(once, once, sentinel(-4), kEnd), QELError_NoErr);

    // Sentinels are never targets.
    EXPECT_EQ(qelOptionListAppendPublic(kEnd, bytesOption(53, "x"), kEnd), QELError_BadParams);
    EXPECT_EQ(qelOptionListAppendPublic(sentinel(-2), bytesOption(53, "x"), kEnd),
              QELError_OutOfMemory);
}

TEST_F(OptionListTest, ASentinelIsNeverStoredAsANestedList)
{
    QELOptionList *withSentinel =
        qelOptionNewSingle(ctx, 17, 1, nullptr, 0, sentinel(-3), nullptr);
    ASSERT_TRUE(qelOptionListIsReal(withSentinel));
    EXPECT_EQ(qelOptionListGetError(withSentinel), QELError_BadParams);
    EXPECT_EQ(withSentinel->items[0].nested, nullptr);
    qelOptionListFree(withSentinel);

    QELOptionList *inner = qelOptionListBuild(ctx, false, bytesOption(18, "secret"), kEnd);
    QELOptionList *outer = qelOptionNewSingle(ctx, 20, 1, nullptr, 0, inner, nullptr);
    ASSERT_EQ(qelOptionListGetError(outer), QELError_NoErr);
    ASSERT_EQ(outer->items[0].nested, inner);
    QELOptionList *copy = nullptr;
    ASSERT_EQ(qelOptionListCopyPublic(outer, &copy), QELError_NoErr);
    ASSERT_NE(copy->items[0].nested, nullptr);
    EXPECT_NE(copy->items[0].nested, inner);
    EXPECT_STREQ(reinterpret_cast<const char *>(copy->items[0].nested->items[0].value),
                 "secret");
    qelOptionListFree(outer);
    qelOptionListFree(copy);

    QELOptionList *out = nullptr;
    EXPECT_EQ(qelOptionListCopyPublic(sentinel(-1), &out), QELError_BadParams);
    EXPECT_EQ(qelOptionListCopyPublic(sentinel(-4), &out), QELError_BadParams);
    EXPECT_EQ(out, nullptr);
}

TEST_F(OptionListTest, CheckTypes)
{
    QELOptionList *empty = qelOptionListNew(ctx, false);
    QELOptionList *two = qelOptionListBuild(ctx, false, intOption(8, 1), intOption(22, 3), kEnd);
    const std::int32_t both[] = {22, 8, 40};
    const std::int32_t one[] = {8};
    struct Case {
        QELOptionList *list;
        const std::int32_t *kinds;
        std::uint32_t count;
        QELStatus expected;
    } cases[] = {
        {empty, nullptr, 0, QELError_NoErr},
        {empty, one, 1, QELError_NoErr},
        {two, both, 3, QELError_NoErr},
        {two, one, 1, QELError_BadParams},
        {two, both, 0, QELError_BadParams},
        {sentinel(-1), both, 3, QELError_BadParams},
        {nullptr, both, 3, QELError_BadParams},
    };
    for (const Case &c : cases)
        EXPECT_EQ(qelOptionListCheckTypes(c.list, c.kinds, c.count), c.expected);
    qelOptionListFree(empty);
    qelOptionListFree(two);
}

TEST_F(OptionListTest, LookupsFindMarkAndRefuseRepeats)
{
    QELOptionList *list = qelOptionListBuild(ctx, false, intOption(22, 7), intOption(8, 1),
                                             intOption(22, 9), kEnd);
    ASSERT_EQ(qelOptionListGetError(list), QELError_NoErr);
    QELOptionItem item{};
    std::uint32_t count = 0;
    EXPECT_EQ(qelOptionListFindNth(list, 22, 1, false, &item, &count), QELError_NoErr);
    EXPECT_EQ(item.value, 9u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(qelOptionListFindNth(list, 22, 2, false, &item, &count), QELError_OptionNotFound);
    EXPECT_EQ(item.kind, 0);
    EXPECT_EQ(count, 2u);

    EXPECT_EQ(qelOptionListFindOne(list, 22, &item), QELError_RedundantOptions);
    std::int32_t value = -1;
    EXPECT_EQ(qelOptionListGetValues(list, 22, false, "%d", &value), QELError_RedundantOptions);
    EXPECT_EQ(value, -1);

    EXPECT_EQ(qelOptionListFindOneOptional(list, 22, 1, &item), QELError_NoErr);
    EXPECT_EQ(item.value, 9u);
    EXPECT_EQ(list->items[2].flags & QELOptionFlag_Taken, QELOptionFlag_Taken);
    EXPECT_EQ(qelOptionListFindOneOptional(list, 22, 2, &item), QELError_NoErr);
    EXPECT_EQ(item.kind, 0);

    EXPECT_EQ(qelOptionListFindOne(list, 8, &item), QELError_NoErr);
    EXPECT_EQ(item.kind, 8);
    EXPECT_EQ(list->items[1].flags & QELOptionFlag_Taken, QELOptionFlag_Taken);
    EXPECT_EQ(qelOptionListFindOne(list, 40, &item), QELError_NoErr);
    EXPECT_EQ(item.kind, 0);
    EXPECT_EQ(qelOptionListFindOne(nullptr, 8, &item), QELError_NoErr);
    EXPECT_EQ(qelOptionListFindOne(sentinel(-1), 8, &item), QELError_BadParams);

    EXPECT_EQ(qelOptionListGetItem(list, 2, false, &item), QELError_NoErr);
    EXPECT_EQ(item.value, 9u);
    EXPECT_EQ(qelOptionListGetItem(list, 3, false, &item), QELError_OptionNotFound);
    qelOptionListFree(list);
}

TEST_F(OptionListTest, FormatReadersOnPresentItems)
{
    struct Record27 {
        std::int32_t flag;
        std::uint64_t *length;
        char *boundary;
    };
    std::uint64_t length = 0;
    char boundary[8] = {};
    Record27 r27{1, &length, boundary};
    const std::int32_t r45[3] = {17, 1024, 5};
    const std::int32_t r74[2] = {600, 0x101};

    QELOptionList *list = qelOptionListBuild(
        ctx, false, intOption(22, -2), intOption(64, 0xFFFFFFF0), bytesOption(53, "comment"),
        recordOption(27, &r27, sizeof(r27)), recordOption(45, r45, sizeof(r45)),
        recordOption(74, r74, sizeof(r74)), kEnd);
    ASSERT_EQ(qelOptionListGetError(list), QELError_NoErr);

    std::int32_t d = 0;
    std::uint8_t present = 0;
    EXPECT_EQ(qelOptionListGetValues(list, 22, true, "%b%d", &present, &d), QELError_NoErr);
    EXPECT_EQ(present, 1);
    EXPECT_EQ(d, -2);
    std::uint32_t t = 0;
    EXPECT_EQ(qelOptionListGetValues(list, 64, true, "%T", &t), QELError_NoErr);
    EXPECT_EQ(t, 0xFFFFFFF0u);

    std::uint64_t p = 0;
    std::uint64_t size = 0;
    EXPECT_EQ(qelOptionListGetValues(list, 53, true, "%b%p", &present, &p), QELError_NoErr);
    EXPECT_STREQ(reinterpret_cast<const char *>(p), "comment");
    EXPECT_EQ(qelOptionListGetValues(list, 53, true, "%p%l", &p, &size), QELError_NoErr);
    EXPECT_EQ(size, 8u); // with the NUL
    EXPECT_EQ(qelOptionListGetValues(list, 53, true, "%l", &size), QELError_BadParams);
    EXPECT_EQ(qelOptionListGetValues(list, 53, true, "%x", &size), QELError_BadParams);

    std::uint64_t p1 = 0;
    std::uint64_t p2 = 0;
    d = 0;
    EXPECT_EQ(qelOptionListGetValues(list, 27, true, "%d%p%p", &d, &p1, &p2), QELError_NoErr);
    EXPECT_EQ(d, 1);
    EXPECT_EQ(p1, reinterpret_cast<std::uint64_t>(&length));
    EXPECT_EQ(p2, reinterpret_cast<std::uint64_t>(boundary));

    std::int32_t a = 0, b = 0, c = 0;
    EXPECT_EQ(qelOptionListGetValues(list, 45, true, "%d%d%d", &a, &b, &c), QELError_NoErr);
    EXPECT_EQ(a, 17);
    EXPECT_EQ(b, 1024);
    EXPECT_EQ(c, 5);
    // A record is never read past the size the option gave for it.
    std::uint64_t beyond = 0;
    EXPECT_EQ(qelOptionListGetValues(list, 45, true, "%d%d%p", &a, &b, &beyond),
              QELError_BadParams);

    std::uint8_t flag = 0;
    EXPECT_EQ(qelOptionListGetValues(list, 74, true, "%d%b", &a, &flag), QELError_NoErr);
    EXPECT_EQ(a, 600);
    EXPECT_EQ(flag, 1);
    qelOptionListFree(list);
}

TEST_F(OptionListTest, FormatReadersOnAbsentItemsZeroTheOutputs)
{
    QELOptionList *list = qelOptionListBuild(ctx, false, intOption(8, 1), kEnd);
    struct Case {
        const char *format;
        bool required;
        QELStatus expected;
    } cases[] = {
        {"%b%d", false, QELError_NoErr},
        {"%b%d", true, QELError_OptionNotFound},
        {"%d%b%p", false, QELError_NoErr},
        {"%l", false, QELError_NoErr},
        {"%T%t", true, QELError_OptionNotFound},
        {"%q", false, QELError_BadParams},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format);
        std::uint64_t outs[3];
        std::memset(outs, 0xAA, sizeof(outs));
        EXPECT_EQ(qelOptionListGetValues(list, 30, c.required, c.format, &outs[0], &outs[1],
                                         &outs[2]),
                  c.expected);
        // Each pair zeroes only its own width.
        const std::size_t pairs = std::strlen(c.format) / 2;
        for (std::size_t i = 0; i < pairs && c.expected != QELError_BadParams; ++i) {
            const char letter = c.format[2 * i + 1];
            const std::size_t width = letter == 'b' ? 1 : (letter == 'd' || letter == 't' ||
                                                           letter == 'T')
                                                              ? 4
                                                              : 8;
            std::uint8_t expected[8];
            std::memset(expected, 0xAA, 8);
            std::memset(expected, 0, width);
            EXPECT_EQ(std::memcmp(&outs[i], expected, 8), 0) << i;
        }
    }
    qelOptionListFree(list);
}

QELStatus failingCopyHandler(QELContext *, std::int32_t event, std::int32_t, std::uint64_t,
                             std::uint64_t, std::uint64_t *, std::uint64_t *)
{
    if (event == QELOptionEvent_Free)
        return QELError_NoErr;
    if (event == QELOptionEvent_Copy)
        return QELError_OutOfMemory;
    return QELError_UnknownRequest;
}

TEST_F(OptionListTest, CopiesAreIndependentAndFailuresAreCarried)
{
    QELFileSpec *spec = nullptr;
    ASSERT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(ctx), "/tmp/some/file.txt", &spec),
              QELError_NoErr);
    const char secret[] = "pass phrase";
    QELOptionList *list = qelOptionListBuild(
        ctx, false, qelOptionNewFileSpec(ctx, 1, spec), qelOptionNewSecureBytes(ctx, 18, secret, 11),
        kEnd);
    ASSERT_EQ(qelOptionListGetError(list), QELError_NoErr);
    auto *ownSpec = reinterpret_cast<QELFileSpec *>(list->items[0].value);
    EXPECT_NE(ownSpec, spec);
    EXPECT_TRUE(qelFileSpecEqual(ownSpec, spec));
    auto *ownSecret = reinterpret_cast<void *>(list->items[1].value);
    EXPECT_EQ(qelMemBlockInfo(ownSecret) & 2, 2); // a secure block

    QELOptionList *copy = qelOptionListCopy(list);
    ASSERT_EQ(qelOptionListGetError(copy), QELError_NoErr);
    ASSERT_EQ(copy->count, 2);
    EXPECT_NE(copy->items[0].value, list->items[0].value);
    EXPECT_TRUE(qelFileSpecEqual(reinterpret_cast<QELFileSpec *>(copy->items[0].value), spec));
    EXPECT_NE(copy->items[1].value, list->items[1].value);
    EXPECT_EQ(qelMemBlockInfo(reinterpret_cast<void *>(copy->items[1].value)) & 2, 2);
    EXPECT_EQ(std::memcmp(reinterpret_cast<void *>(copy->items[1].value), secret, 11), 0);
    qelOptionListFree(list);
    qelOptionListFree(copy);
    static_cast<void>(qelFileSpecFree(spec));

    std::uint64_t value = 5;
    QELOptionList *failing = qelOptionListBuild(
        ctx, false, intOption(8, 1), qelOptionNewValue(ctx, 31, &value, 8, failingCopyHandler),
        kEnd);
    QELOptionList *partial = qelOptionListCopy(failing);
    EXPECT_EQ(qelOptionListGetError(partial), QELError_OutOfMemory);
    EXPECT_EQ(partial->count, 1);
    qelOptionListFree(partial);
    // A persistent argument whose copy fails makes the build fail.
    failing->flags |= QELOptionListFlag_Persistent;
    QELOptionList *built = qelOptionListBuild(ctx, false, failing, kEnd);
    EXPECT_EQ(qelOptionListGetError(built), QELError_OutOfMemory);
    qelOptionListFree(built);
    qelOptionListFree(failing);

    std::uint64_t out = 0, outSize = 0;
    EXPECT_EQ(qelOptionCopyBytesHandler(ctx, 3, 1, 0, 0, &out, &outSize), QELError_UnknownRequest);
    EXPECT_EQ(qelOptionCopySecureHandler(ctx, 0, 1, 0, 0, &out, &outSize),
              QELError_UnknownRequest);
}

TEST_F(OptionListTest, PassphrasesAreFoundInOrder)
{
    QELOptionList *list = qelOptionListBuild(
        ctx, false, intOption(8, 1), qelOptionNewSecureBytes(ctx, 18, "first", 5),
        qelOptionNewSecureBytes(ctx, 19, "key-bytes", 9), qelOptionNewSecureBytes(ctx, 18, "x", 1),
        kEnd);
    const void *v1 = nullptr, *v2 = nullptr;
    std::uint64_t s1 = 0, s2 = 0;
    std::uint8_t k1 = 9, k2 = 9;
    EXPECT_EQ(qelOptionListGetPassphrases(list, &v1, &s1, &k1, &v2, &s2, &k2), 2);
    EXPECT_EQ(s1, 5u);
    EXPECT_EQ(std::memcmp(v1, "first", 5), 0);
    EXPECT_EQ(k1, 0);
    EXPECT_EQ(s2, 9u);
    EXPECT_EQ(k2, 1);
    EXPECT_NE(list->items[0].flags & QELOptionFlag_Taken, 0);
    EXPECT_NE(list->items[2].flags & QELOptionFlag_Taken, 0);
    EXPECT_EQ(list->items[3].flags & QELOptionFlag_Taken, 0);
    EXPECT_EQ(qelOptionListGetPassphrases(sentinel(-1), &v1, &s1, &k1, &v2, &s2, &k2), 0);
    EXPECT_EQ(v1, nullptr);
    EXPECT_EQ(s2, 0u);
    qelOptionListFree(list);
}

TEST_F(OptionListTest, PublicOperationsCheckTheirArguments)
{
    QELOptionList *list = nullptr;
    EXPECT_EQ(qelOptionListNewPublic(ctx, nullptr), QELError_BadParams);
    EXPECT_EQ(qelOptionListNewPublic(nullptr, &list), QELError_BadParams);
    EXPECT_EQ(list, nullptr);
    ASSERT_EQ(qelOptionListNewPublic(ctx, &list), QELError_NoErr);
    EXPECT_EQ(list->flags & QELOptionListFlag_Persistent, QELOptionListFlag_Persistent);
    // Persistent lists survive a plain dispose and argument frees.
    qelOptionListDispose(list, false);
    EXPECT_EQ(qelOptionListFreeVarArgs(list, kEnd), QELError_NoErr);
    EXPECT_EQ(list->magic, QELOptionListMagic);
    EXPECT_EQ(qelOptionListFreePublic(list), QELError_NoErr);

    EXPECT_EQ(qelOptionListFreePublic(sentinel(-2)), QELError_NoErr);
    EXPECT_EQ(qelOptionListFreePublic(nullptr), QELError_BadParams);
    EXPECT_EQ(qelOptionListBuildPublic(nullptr, &list, bytesOption(53, "freed"), kEnd),
              QELError_BadParams);
    EXPECT_EQ(list, nullptr);
    std::uint32_t foreign[16] = {1};
    EXPECT_EQ(qelOptionListFreeVarArgs(reinterpret_cast<QELOptionList *>(foreign),
                                       bytesOption(53, "freed"), kEnd),
              QELError_BadParams);

    char *dup = qelContextStrDup(ctx, "text");
    ASSERT_NE(dup, nullptr);
    EXPECT_STREQ(dup, "text");
    static_cast<void>(qelContextMemFree(ctx, dup));
}

// A manager whose blocks each sit in their own large reservation, so that
// growing a block never copies it; and that can be told to fail.
struct ReserveState {
    bool fail = false;
};
constexpr std::size_t kReservation = std::size_t{8} << 20;

void *reserveAlloc(QELMemoryMgr *, void *user, std::size_t size, std::uint32_t)
{
    if (static_cast<ReserveState *>(user)->fail || size > kReservation)
        return nullptr;
    void *p = mmap(nullptr, kReservation, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}
QELStatus reserveRealloc(QELMemoryMgr *, void *user, void **ptr, std::size_t size, std::uint32_t,
                         std::size_t)
{
    if (static_cast<ReserveState *>(user)->fail || size > kReservation)
        return QELError_OutOfMemory;
    (void)ptr; // grows in place
    return QELError_NoErr;
}
QELStatus reserveFree(QELMemoryMgr *, void *, void *ptr, std::size_t)
{
    munmap(ptr, kReservation);
    return QELError_NoErr;
}

class ReservedContextTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QELMemoryMgrCallbacks cb =
            qeltest::plainCallbacks<reserveAlloc, reserveRealloc, reserveFree>(&state);
        QELMemoryMgr *mgr = nullptr;
        ASSERT_EQ(qelMemMgrNew(&cb, &mgr), QELError_NoErr);
        QELContextParams params{QELSDKVersion, mgr};
        ASSERT_EQ(qelContextNewCustom(&params, &ctx), QELError_NoErr);
    }
    void TearDown() override
    {
        state.fail = false;
        static_cast<void>(qelContextFree(ctx));
    }
    ReserveState state;
    QELContext *ctx = nullptr;
};

TEST_F(ReservedContextTest, AppendStopsAtTheSixteenBitCount)
{
    QELOptionList *list = qelOptionListNew(ctx, false);
    ASSERT_TRUE(qelOptionListIsReal(list));
    QELOptionItem item{};
    item.kind = 8;
    for (std::uint32_t i = 0; i < 65535; ++i) {
        item.value = i;
        ASSERT_EQ(qelOptionListAppendItem(list, &item), QELError_NoErr) << i;
    }
    EXPECT_EQ(list->count, 65535);
    EXPECT_EQ(list->capacity, 65535);
    item.value = 65535;
    EXPECT_EQ(qelOptionListAppendItem(list, &item), QELError_OutOfMemory);
    EXPECT_EQ(list->count, 65535);
    EXPECT_EQ(list->items[0].value, 0u);
    EXPECT_EQ(list->items[65534].value, 65534u);
    EXPECT_EQ(qelOptionListGetError(list), QELError_OutOfMemory);
    qelOptionListFree(list);
}

TEST_F(ReservedContextTest, AllocationFailuresBecomeSentinelsAndListErrors)
{
    QELOptionList *list = qelOptionListNew(ctx, false);
    state.fail = true;
    EXPECT_EQ(qelOptionListNew(ctx, false), sentinel(-2));
    EXPECT_EQ(qelOptionNewBytes(ctx, 53, "x", 2), sentinel(-2));
    QELOptionList *built = qelOptionListBuild(ctx, false, kEnd);
    EXPECT_EQ(built, sentinel(-2));
    // Growing past the first slot fails and is recorded.
    QELOptionItem item{};
    item.kind = 8;
    EXPECT_EQ(qelOptionListAppendItem(list, &item), QELError_NoErr);
    EXPECT_EQ(qelOptionListAppendItem(list, &item), QELError_OutOfMemory);
    EXPECT_EQ(qelOptionListGetError(list), QELError_OutOfMemory);
    state.fail = false;
    qelOptionListFree(list);
}

} // namespace
