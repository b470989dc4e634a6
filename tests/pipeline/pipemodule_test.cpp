// The module framework: the buffer pump's source protocol, chain building
// through downstream slots, destruction order, the scope rule and the Copy
// Module.
#include "qelContextInternal.h"
#include "qelCopyModuleInternal.h"
#include "qelPipeModuleInternal.h"
#include "qelPipeTestModule.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const auto *const gEnv = qeltest::addHomeEnvironment("qelpipemodule", qeltest::HomeEnvironment::SDK::Up);

using Ops = std::vector<std::string>;

class PipeModuleTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override { EXPECT_EQ(qelContextFree(context_), QELError_NoErr); }
    QELContext *context_ = nullptr;
};

std::string pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = char(i * 131 + (i >> 8));
    return s;
}

TEST_F(PipeModuleTest, EmptyBufferGetsTheWholeProtocol)
{
    pipetest::Record rec;
    QELPipeModule *head = pipetest::makeRecorder(context_, &rec);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(qelPipePumpBuffer(head, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(rec.ops, (Ops{"E0", "A1500", "E0", "E0", "A1501", "E0"}));
    qelPipeDestroy(head);
}

struct ProgressLog {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    QELStatus answer = 0;
};

QELStatus logProgress(void *user, std::uint64_t done, std::uint64_t total)
{
    auto *log = static_cast<ProgressLog *>(user);
    log->calls.emplace_back(done, total);
    return log->answer;
}

TEST_F(PipeModuleTest, PumpWritesPiecesOf4096AndReportsProgress)
{
    pipetest::Record rec;
    QELPipeModule *head = pipetest::makeRecorder(context_, &rec);
    std::string data = pattern(10000);
    ProgressLog log;
    EXPECT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), logProgress, &log), 0);
    EXPECT_EQ(rec.ops, (Ops{"E10000", "A1500", "E10000", "W4096", "W4096", "W1808", "E0", "A1501", "E0"}));
    EXPECT_EQ(rec.bytes, data);
    EXPECT_EQ(log.calls, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{4096, 10000}, {8192, 10000},
                                                                                 {10000, 10000}}));
    qelPipeDestroy(head);
}

TEST_F(PipeModuleTest, PartialTakesAreOfferedAgain)
{
    pipetest::Record rec;
    rec.takeAtMost = 1000;
    QELPipeModule *head = pipetest::makeRecorder(context_, &rec);
    std::string data = pattern(5000);
    EXPECT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
    EXPECT_EQ(rec.bytes, data);
    qelPipeDestroy(head);
}

TEST_F(PipeModuleTest, ProgressAnswerStopsThePump)
{
    pipetest::Record rec;
    QELPipeModule *head = pipetest::makeRecorder(context_, &rec);
    std::string data = pattern(10000);
    ProgressLog log;
    log.answer = QELError_UserAbort;
    EXPECT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), logProgress, &log), QELError_UserAbort);
    EXPECT_EQ(rec.ops, (Ops{"E10000", "A1500", "E10000", "W4096"}));
    qelPipeDestroy(head);
}

// A downstream that takes nothing and reports nothing would make a source
// offer the same bytes for ever; the pump reports it instead.
TEST_F(PipeModuleTest, StalledDownstreamIsAnError)
{
    pipetest::Record rec;
    rec.stall = true;
    QELPipeModule *head = pipetest::makeRecorder(context_, &rec);
    std::string data = pattern(100);
    EXPECT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), QELError_WriteFailed);
    std::uint64_t taken = 7;
    EXPECT_EQ(qelPipeWriteAll(head, reinterpret_cast<const std::uint8_t *>(data.data()), data.size(), &taken),
              QELError_WriteFailed);
    EXPECT_EQ(taken, 0u);
    qelPipeDestroy(head);
}

TEST_F(PipeModuleTest, WriteFailureEndsThePump)
{
    pipetest::Record rec;
    rec.failWrite = QELError_WriteFailed - 1;
    rec.failAfterBytes = 5000;
    QELPipeModule *head = pipetest::makeRecorder(context_, &rec);
    std::string data = pattern(10000);
    EXPECT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), QELError_WriteFailed - 1);
    EXPECT_EQ(rec.bytes, data.substr(0, 5000));
    EXPECT_EQ(pipetest::framing(rec.ops), (Ops{"E10000", "A1500", "E10000"}));
    qelPipeDestroy(head);
}

TEST_F(PipeModuleTest, CopyModulesChainAndDestroyDownstreamFirst)
{
    EXPECT_EQ(qelCopyModuleCreate(context_, nullptr), nullptr);

    QELPipeModule *head = nullptr;
    QELPipeModule **slot = qelCopyModuleCreate(context_, &head);
    ASSERT_NE(slot, nullptr);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->magic, QELPipeMagic_Copy);
    EXPECT_STREQ(head->name, "Copy Module");
    EXPECT_EQ(head->context, context_);
    QELPipeModule *first = head;
    slot = qelCopyModuleCreate(context_, slot);
    ASSERT_NE(slot, nullptr);
    pipetest::Record rec;
    int counter = 0;
    rec.destroyCounter = &counter;
    *slot = pipetest::makeRecorder(context_, &rec);
    EXPECT_EQ(head, first);

    // A module given a slot that holds a module is inserted in front of it.
    QELPipeModule **innerSlot = qelCopyModuleCreate(context_, slot);
    ASSERT_NE(innerSlot, nullptr);
    EXPECT_EQ((*slot)->magic, QELPipeMagic_Copy);
    EXPECT_EQ((*innerSlot)->magic, 0x7E57AB1Eu);

    std::string data = pattern(9000);
    EXPECT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
    EXPECT_EQ(rec.bytes, data);
    EXPECT_EQ(qelPipeFlush(head), 0);
    std::uint64_t dummy = 0;
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_QueryPosition, &dummy, sizeof dummy), 0);
    EXPECT_EQ(pipetest::framing(rec.ops), (Ops{"E9000", "A1500", "E9000", "E0", "A1501", "E0", "F", "A41"}));
    qelPipeDestroy(head);
    EXPECT_EQ(rec.ops.back(), "D");
    EXPECT_EQ(rec.destroyOrder, 0);
}

TEST_F(PipeModuleTest, CopyWithoutDownstreamRefuses)
{
    QELPipeModule *head = nullptr;
    ASSERT_NE(qelCopyModuleCreate(context_, &head), nullptr);
    QELStatus status = 0;
    const std::uint8_t b = 1;
    EXPECT_EQ(qelPipeWrite(head, &b, 1, &status), 0u);
    EXPECT_EQ(status, QELError_BadParams);
    EXPECT_EQ(qelPipeExpectBytes(head, 0), QELError_BadParams);
    qelPipeDestroy(head);
}

TEST(PipeScopeRule, BeginAndEndCodes)
{
    struct Case {
        std::int32_t code;
        int step;
    };
    constexpr Case cases[] = {{QELAnnotation_BeginInput, 1},     {QELAnnotation_EndInput, -1},
                              {QELAnnotation_BeginLiteral, 1},   {QELAnnotation_EndLiteral, -1},
                              {QELAnnotation_LiteralFormat, 0},  {QELAnnotation_QueryPosition, 0},
                              {QELAnnotation_HeaderComplete, 0}, {QELAnnotation_ReplyDiscard, 0},
                              {QELAnnotation_BeginArmorPart, 1}, {QELAnnotation_SignaturePacket, 0}};
    for (const Case &c : cases)
        EXPECT_EQ(qelAnnotationScopeStep(c.code), c.step) << std::hex << c.code;
}

} // namespace
