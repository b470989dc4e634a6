#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelMemoryInternal.h"
#include "qelSDKInternal.h"
#include "qelSettingsInternal.h"
#include "qelTestEnv.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

const auto *const g_env = qeltest::addHomeEnvironment("qelsettings");

const QELCharsetInfo *charsetNamed(const char *name)
{
    for (const QELCharsetInfo *c = qelCharsetTable(); c->name != nullptr; ++c)
        if (std::strcmp(c->name, name) == 0)
            return c;
    return nullptr;
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
        ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr);
        settings_ = qelContextGetSettings(context_);
        ASSERT_NE(settings_, nullptr);
    }
    void TearDown() override
    {
        static_cast<void>(qelContextFree(context_));
        static_cast<void>(qelSDKForceCleanup());
    }

    // The settings hand out the charset's two 256-byte tables.
    void expectCharsetTables(const QELCharsetInfo *charset)
    {
        std::uint64_t size = 0;
        EXPECT_EQ(qelSettingsGetPointer(settings_, QELSetting_CharsetEncodeTable, &size),
                  charset->encodeTable);
        EXPECT_EQ(size, 256u);
        EXPECT_EQ(qelSettingsGetPointer(settings_, QELSetting_CharsetDecodeTable, &size),
                  charset->decodeTable);
        EXPECT_EQ(size, 256u);
    }

    QELContext *context_ = nullptr;
    QELSettings *settings_ = nullptr;
};

TEST_F(SettingsTest, FreshRecordHoldsTheDefaults)
{
    const struct {
        std::int32_t id;
        std::int32_t value;
    } cases[] = {
        {QELSetting_ArmorOutput, 0},      {QELSetting_ArmorLinesPerPart, 0},
        {QELSetting_CertDepth, 4},        {QELSetting_CipherAlgorithm, 1},
        {QELSetting_ClearSign, 1},        {QELSetting_CompletesNeeded, 1},
        {QELSetting_Compress, 1},         {QELSetting_CompressAlgorithm, 1},
        {QELSetting_CompressLevel, 5},    {1009, 0},
        {QELSetting_HashAlgorithm, 1},    {QELSetting_MarginalsNeeded, 2},
        {QELSetting_TrustThreshold, 120}, {QELSetting_PacketVersion, 3},
        {QELSetting_MimeVersionHeader, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        std::int32_t priority = -1;
        QELStatus status = -1;
        EXPECT_EQ(qelSettingsGetInt(settings_, c.id, &priority, &status), c.value);
        EXPECT_EQ(status, QELError_NoErr);
        EXPECT_EQ(priority, 0);
    }
    std::int32_t priority = -1;
    EXPECT_STREQ(qelSettingsGetString(settings_, QELSetting_Charset, &priority), "noconv");
    EXPECT_EQ(priority, 0);
    EXPECT_STREQ(qelSettingsGetString(settings_, 2007, nullptr), "");
    EXPECT_NE(qelSettingsGetString(settings_, 2013, nullptr), nullptr);
    EXPECT_EQ(qelSettingsGetString(settings_, QELSetting_CommentString, nullptr), nullptr);

    const QELCharsetInfo *noconv = charsetNamed("noconv");
    ASSERT_NE(noconv, nullptr);
    expectCharsetTables(noconv);
    std::uint64_t size = 0;
    EXPECT_EQ(qelSettingsGetPointer(settings_, 3004, &size), nullptr);
    EXPECT_EQ(size, 0u);
}

// Each row is one store in sequence on the same integer slot, with what it
// must answer and what the slot must hold afterwards.
TEST_F(SettingsTest, IntegerPrioritiesAsATable)
{
    const struct {
        std::int32_t value, priority;
        QELStatus status;
        std::int32_t heldValue, heldPriority;
    } steps[] = {
        {9, 25, QELError_NoErr, 9, 25},           // above the default's 0
        {7, 0, QELError_SettingPriority, 9, 25},  // lower: refused, nothing changes
        {7, 24, QELError_SettingPriority, 9, 25}, // still lower
        {8, 25, QELError_NoErr, 8, 25},           // equal: overwrites
        {3, 30, QELError_NoErr, 3, 30},           // higher: overwrites and raises
        {4, -1, QELError_SettingPriority, 3, 30},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.value * 100 + s.priority);
        EXPECT_EQ(qelSettingsSetInt(settings_, QELSetting_CipherAlgorithm, s.value, s.priority),
                  s.status);
        std::int32_t priority = -1;
        EXPECT_EQ(qelSettingsGetInt(settings_, QELSetting_CipherAlgorithm, &priority, nullptr),
                  s.heldValue);
        EXPECT_EQ(priority, s.heldPriority);
    }
}

TEST_F(SettingsTest, StringPrioritiesAsATable)
{
    const struct {
        const char *value;
        std::int32_t priority;
        QELStatus status;
        const char *held;
    } steps[] = {
        {"first", 10, QELError_NoErr, "first"},
        {"lower", 5, QELError_SettingPriority, "first"},
        {"equal", 10, QELError_NoErr, "equal"},
        {nullptr, 3, QELError_SettingPriority, "equal"},
        {nullptr, 10, QELError_NoErr, nullptr}, // unsets, keeps the priority
        {"again", 9, QELError_SettingPriority, nullptr},
        {"again", 12, QELError_NoErr, "again"},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.value != nullptr ? s.value : "(null)");
        EXPECT_EQ(qelSettingsSetString(settings_, QELSetting_CommentString, s.value, s.priority),
                  s.status);
        EXPECT_STREQ(qelSettingsGetString(settings_, QELSetting_CommentString, nullptr), s.held);
    }
    // Storing a slot's own string back into it.
    const char *own = qelSettingsGetString(settings_, QELSetting_CommentString, nullptr);
    EXPECT_EQ(qelSettingsSetString(settings_, QELSetting_CommentString, own, 12), QELError_NoErr);
    EXPECT_STREQ(qelSettingsGetString(settings_, QELSetting_CommentString, nullptr), "again");
}

TEST_F(SettingsTest, IdsOutsideTheirRangesAreRefused)
{
    for (std::int32_t id : {999, 1042, 2000, 3000, -1}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(qelSettingsSetInt(settings_, id, 1, 99), QELError_BadParams);
        QELStatus status = 0;
        std::int32_t priority = 77;
        EXPECT_EQ(qelSettingsGetInt(settings_, id, &priority, &status), 0);
        EXPECT_EQ(status, QELError_BadParams);
        EXPECT_EQ(priority, 77);
    }
    for (std::int32_t id : {1999, 2019, 1000, 3001}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(qelSettingsSetString(settings_, id, "x", 99), QELError_BadParams);
        EXPECT_EQ(qelSettingsGetString(settings_, id, nullptr), nullptr);
    }
    int data = 0;
    for (std::int32_t id : {2999, 3000, 3001, 3007}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(qelSettingsSetPointer(settings_, id, &data, 4), QELError_BadParams);
    }
    for (std::int32_t id : {2999, 3007, 1000}) {
        std::uint64_t size = 5;
        EXPECT_EQ(qelSettingsGetPointer(settings_, id, &size), nullptr);
        EXPECT_EQ(size, 0u);
    }
    EXPECT_EQ(qelSettingsSetPointer(settings_, 3004, &data, 4), QELError_NoErr);
    std::uint64_t size = 0;
    EXPECT_EQ(qelSettingsGetPointer(settings_, 3004, &size), &data);
    EXPECT_EQ(size, 4u);

    EXPECT_EQ(qelSettingsSetInt(nullptr, QELSetting_CertDepth, 1, 0), QELError_BadParams);
    EXPECT_EQ(qelSettingsSetString(nullptr, QELSetting_CommentString, "x", 0), QELError_BadParams);
    EXPECT_EQ(qelSettingsGetString(nullptr, QELSetting_Charset, nullptr), nullptr);
}

TEST_F(SettingsTest, CharsetSelectsItsTables)
{
    const QELCharsetInfo *cp850 = charsetNamed("cp850");
    const QELCharsetInfo *noconv = charsetNamed("noconv");
    ASSERT_NE(cp850, nullptr);
    ASSERT_NE(noconv, nullptr);

    EXPECT_EQ(qelSettingsSetString(settings_, QELSetting_Charset, "CP850", 0), QELError_NoErr);
    EXPECT_STREQ(qelSettingsGetString(settings_, QELSetting_Charset, nullptr), "CP850");
    expectCharsetTables(cp850);

    // Unknown names and lower priorities change nothing.
    EXPECT_EQ(qelSettingsSetString(settings_, QELSetting_Charset, "latin9", 0),
              QELError_UnknownCharset);
    EXPECT_EQ(qelSettingsSetString(settings_, QELSetting_Charset, "cp85", 0),
              QELError_UnknownCharset);
    ASSERT_EQ(qelSettingsSetString(settings_, QELSetting_Charset, "ascii", 20), QELError_NoErr);
    EXPECT_EQ(qelSettingsSetString(settings_, QELSetting_Charset, "noconv", 5),
              QELError_SettingPriority);
    EXPECT_STREQ(qelSettingsGetString(settings_, QELSetting_Charset, nullptr), "ascii");
    EXPECT_EQ(qelSettingsGetPointer(settings_, QELSetting_CharsetEncodeTable, nullptr),
              charsetNamed("ascii")->encodeTable);
}

TEST_F(SettingsTest, CopyIsDeepAndIndependent)
{
    ASSERT_EQ(qelSettingsSetString(settings_, QELSetting_CommentString, "original", 25),
              QELError_NoErr);
    ASSERT_EQ(qelSettingsSetInt(settings_, QELSetting_CompressLevel, 9, 25), QELError_NoErr);
    int data = 0;
    ASSERT_EQ(qelSettingsSetPointer(settings_, 3005, &data, 4), QELError_NoErr);

    QELSettings *copy = reinterpret_cast<QELSettings *>(1);
    EXPECT_EQ(qelSettingsCopy(nullptr, &copy), QELError_BadParams);
    EXPECT_EQ(copy, nullptr);
    ASSERT_EQ(qelSettingsCopy(settings_, &copy), QELError_NoErr);
    EXPECT_EQ(qelSettingsGetContext(copy), context_);
    std::int32_t priority = 0;
    EXPECT_EQ(qelSettingsGetInt(copy, QELSetting_CompressLevel, &priority, nullptr), 9);
    EXPECT_EQ(priority, 25);
    const char *text = qelSettingsGetString(copy, QELSetting_CommentString, &priority);
    EXPECT_STREQ(text, "original");
    EXPECT_EQ(priority, 25);
    EXPECT_NE(text, qelSettingsGetString(settings_, QELSetting_CommentString, nullptr));
    EXPECT_EQ(qelSettingsGetPointer(copy, 3005, nullptr), &data);
    EXPECT_STREQ(qelSettingsGetString(copy, QELSetting_Charset, nullptr), "noconv");

    ASSERT_EQ(qelSettingsSetString(copy, QELSetting_CommentString, "changed", 25), QELError_NoErr);
    ASSERT_EQ(qelSettingsSetInt(copy, QELSetting_CompressLevel, 1, 25), QELError_NoErr);
    EXPECT_STREQ(qelSettingsGetString(settings_, QELSetting_CommentString, nullptr), "original");
    EXPECT_EQ(qelSettingsGetInt(settings_, QELSetting_CompressLevel, nullptr, nullptr), 9);
    qelSettingsFree(copy);
}

TEST_F(SettingsTest, FailedStringCopiesReportOutOfMemory)
{
    qeltest::TestHeap sw;
    QELContextParams params{QELSDKVersion, sw.make()};
    ASSERT_NE(params.memoryMgr, nullptr);
    QELContext *context = nullptr;
    ASSERT_EQ(qelContextNewCustom(&params, &context), QELError_NoErr);
    QELSettings *settings = qelContextGetSettings(context);
    ASSERT_EQ(qelSettingsSetString(settings, QELSetting_CommentString, "kept", 1), QELError_NoErr);

    sw.refuse = true;
    EXPECT_EQ(qelSettingsSetString(settings, QELSetting_CommentString, "longer text", 2),
              QELError_OutOfMemory);
    std::int32_t priority = 0;
    EXPECT_STREQ(qelSettingsGetString(settings, QELSetting_CommentString, &priority), "kept");
    EXPECT_EQ(priority, 1);
    EXPECT_EQ(qelSettingsSetString(settings, QELSetting_Charset, "ascii", 0), QELError_OutOfMemory);
    EXPECT_STREQ(qelSettingsGetString(settings, QELSetting_Charset, nullptr), "noconv");
    EXPECT_EQ(qelSettingsGetPointer(settings, QELSetting_CharsetEncodeTable, nullptr),
              charsetNamed("noconv")->encodeTable);
    QELSettings *copy = reinterpret_cast<QELSettings *>(1);
    EXPECT_EQ(qelSettingsCopy(settings, &copy), QELError_OutOfMemory);
    EXPECT_EQ(copy, nullptr);
    sw.refuse = false;
    static_cast<void>(qelContextFree(context));
}

} // namespace
