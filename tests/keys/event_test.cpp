// Job events: the record as a handler sees it, every builder's kind and
// payload, replies handed back, a null handler, and the output-name rewrite.
#include "qelContextInternal.h"
#include "qelEventInternal.h"
#include "qelOptionListInternal.h"
#include "qelPipeModuleInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

const auto *const gEnv = qeltest::addHomeEnvironment("qelevent", qeltest::HomeEnvironment::SDK::Up);

struct Seen {
    std::int32_t kind = -1;
    QELEvent copy{};
    QELContext *context = nullptr;
    std::string name;
    bool nameNull = false;
    QELOptionList *answer = nullptr; // left in the reply when set
    std::int32_t status = 0;
    int calls = 0;
};

std::int32_t handler(QELContext *context, QELEvent *event, void *user)
{
    auto *seen = static_cast<Seen *>(user);
    ++seen->calls;
    seen->kind = event->kind;
    seen->copy = *event;
    seen->context = event->reply->context;
    EXPECT_EQ(event->reply->options, nullptr);
    EXPECT_EQ(event->reserved[0], 0u);
    EXPECT_EQ(event->reserved[1], 0u);
    EXPECT_EQ(context, event->reply->context);
    if (event->kind == QELEvent_Output) {
        seen->nameNull = event->data.output.name == nullptr;
        if (!seen->nameNull)
            seen->name = event->data.output.name;
    }
    event->reply->options = seen->answer;
    return seen->status;
}

class EventTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override { EXPECT_EQ(qelContextFree(context_), QELError_NoErr); }
    QELContext *context_ = nullptr;
};

TEST_F(EventTest, RecordLayout)
{
    EXPECT_EQ(sizeof(QELEvent), 96u);
    EXPECT_EQ(offsetof(QELEvent, reply), 16u);
    EXPECT_EQ(offsetof(QELEvent, kind), 24u);
    EXPECT_EQ(offsetof(QELEvent, data), 32u);
    EXPECT_EQ(sizeof(QELEventSignature), 64u);
}

TEST_F(EventTest, EveryBuilderSendsItsKindAndPayload)
{
    QELOptionList *reply = nullptr;
    Seen s;
    int dummy = 0;
    std::uint8_t key[3] = {9, 1, 2};
    QELEventSignature sig{};
    sig.signerKeyID[0] = 7;
    sig.verified = 1;
    sig.creationTime = 99;
    struct Case {
        std::int32_t kind;
        std::function<std::int32_t()> send;
        std::function<void(const QELEvent &)> check;
    } cases[] = {
        {QELEvent_Progress, [&] { return qelEventSendProgress(context_, &reply, handler, &s, 4096, 10000); },
         [](const QELEvent &e) {
             EXPECT_EQ(e.data.progress.done, 4096u);
             EXPECT_EQ(e.data.progress.total, 10000u);
         }},
        {QELEvent_Initial, [&] { return qelEventSendInitial(context_, &reply, handler, &s); }, nullptr},
        {QELEvent_Final, [&] { return qelEventSendFinal(context_, &reply, handler, &s); }, nullptr},
        {QELEvent_Error, [&] { return qelEventSendError(context_, &reply, handler, &s, -11416, &dummy); },
         [&](const QELEvent &e) {
             EXPECT_EQ(e.data.error.status, -11416);
             EXPECT_EQ(e.data.error.object, &dummy);
         }},
        {QELEvent_Warning, [&] { return qelEventSendWarning(context_, &reply, handler, &s, -11494, &dummy); },
         [&](const QELEvent &e) { EXPECT_EQ(e.data.error.status, -11494); }},
        {QELEvent_Entropy, [&] { return qelEventSendEntropy(context_, &reply, handler, &s, 160); },
         [](const QELEvent &e) { EXPECT_EQ(e.data.number.value, 160); }},
        {QELEvent_Passphrase, [&] { return qelEventSendPassphrase(context_, &reply, handler, &s, true, nullptr); },
         [](const QELEvent &e) { EXPECT_EQ(e.data.passphrase.conventional, 1); }},
        {QELEvent_Analyze, [&] { return qelEventSendAnalyze(context_, &reply, handler, &s, 3); },
         [](const QELEvent &e) { EXPECT_EQ(e.data.number.value, 3); }},
        {QELEvent_Recipients,
         [&] { return qelEventSendRecipients(context_, &reply, handler, &s, nullptr, 2, 5, nullptr); },
         [](const QELEvent &e) {
             EXPECT_EQ(e.data.recipients.conventionalCount, 2);
             EXPECT_EQ(e.data.recipients.publicKeyCount, 5);
         }},
        {QELEvent_KeysFound, [&] { return qelEventSendKeysFound(context_, &reply, handler, &s, nullptr); }, nullptr},
        {QELEvent_Signature, [&] { return qelEventSendSignature(context_, &reply, handler, &s, sig); },
         [](const QELEvent &e) {
             EXPECT_EQ(e.data.signature.signerKeyID[0], 7);
             EXPECT_EQ(e.data.signature.verified, 1);
             EXPECT_EQ(e.data.signature.creationTime, 99u);
         }},
        {QELEvent_BeginSection, [&] { return qelEventSendBeginSection(context_, &reply, handler, &s, 2, 1234); },
         [](const QELEvent &e) {
             EXPECT_EQ(e.data.section.section, 2);
             EXPECT_EQ(e.data.section.value, 1234u);
         }},
        {QELEvent_EndSection, [&] { return qelEventSendEndSection(context_, &reply, handler, &s, 2); },
         [](const QELEvent &e) { EXPECT_EQ(e.data.number.value, 2); }},
        {QELEvent_DetachedSignature, [&] { return qelEventSendDetachedSignature(context_, &reply, handler, &s); },
         nullptr},
        {QELEvent_KeyGen, [&] { return qelEventSendKeyGen(context_, &reply, handler, &s, 42); },
         [](const QELEvent &e) { EXPECT_EQ(e.data.number.value, 42); }},
        {QELEvent_Decryption, [&] { return qelEventSendDecryption(context_, &reply, handler, &s, 9, key, 3); },
         [&](const QELEvent &e) {
             EXPECT_EQ(e.data.sessionKey.algorithm, 9);
             EXPECT_EQ(e.data.sessionKey.sessionKey, key);
             EXPECT_EQ(e.data.sessionKey.length, 3u);
         }},
        {QELEvent_Encryption, [&] { return qelEventSendEncryption(context_, &reply, handler, &s, 7, key, 3); },
         [](const QELEvent &e) { EXPECT_EQ(e.data.sessionKey.algorithm, 7); }},
        {QELEvent_Kind18, [&] { return qelEventSendKind18(context_, handler, &s, 5, 6); },
         [](const QELEvent &e) {
             EXPECT_EQ(e.data.values.value, 5u);
             EXPECT_EQ(e.data.values.number, 6);
         }},
        {QELEvent_Kind19, [&] { return qelEventSendKind19(context_, &reply, handler, &s, 8); },
         [](const QELEvent &e) { EXPECT_EQ(e.data.values.value, 8u); }},
        {QELEvent_Kind20, [&] { return qelEventSendKind20(context_, handler, &s, 1, 2, 3); },
         [](const QELEvent &e) { EXPECT_EQ(e.data.values.value2, 3u); }},
    };
    for (const Case &c : cases) {
        s = Seen{};
        s.status = -11475;
        EXPECT_EQ(c.send(), -11475) << c.kind;
        EXPECT_EQ(s.calls, 1);
        EXPECT_EQ(s.kind, c.kind);
        EXPECT_EQ(s.context, context_);
        if (c.check)
            c.check(s.copy);
        EXPECT_EQ(reply, nullptr); // the handler left no answer
    }
}

TEST_F(EventTest, ReplyIsHandedBackAndANullHandlerSendsNothing)
{
    Seen s;
    s.answer = qelOptionListNew(context_, false);
    ASSERT_NE(s.answer, nullptr);
    QELOptionList *answer = s.answer;
    QELOptionList *reply = reinterpret_cast<QELOptionList *>(&s); // cleared first
    EXPECT_EQ(qelEventSendInitial(context_, &reply, handler, &s), 0);
    EXPECT_EQ(reply, answer);
    qelOptionListFreeAndClear(&reply);
    reply = reinterpret_cast<QELOptionList *>(&s);
    EXPECT_EQ(qelEventSendProgress(context_, &reply, nullptr, &s, 1, 2), 0);
    EXPECT_EQ(reply, nullptr);
}

TEST_F(EventTest, OutputNameIsRewrittenToBeSafe)
{
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {{"a/b:c<d>e", "a_b_c<d_e"},
                 {"tab\there\nnl", "tab_here_nl"},
                 {"q\"s*t?u\\v|w", "q_s_t_u_v_w"},
                 {"plain.txt", "plain.txt"},
                 {"", ""}};
    for (const Case &c : cases) {
        Seen s;
        QELOptionList *reply = nullptr;
        EXPECT_EQ(qelEventSendOutput(context_, &reply, handler, &s, 'b', c.in, false), 0);
        EXPECT_EQ(s.name, c.out);
        EXPECT_EQ(s.copy.data.output.type, 'b');
    }
    Seen s;
    QELOptionList *reply = nullptr;
    EXPECT_EQ(qelEventSendOutput(context_, &reply, handler, &s, 't', nullptr, true), 0);
    EXPECT_TRUE(s.nameNull);
    EXPECT_EQ(s.copy.data.output.forYourEyesOnly, 1);
}

TEST(PipeStatuses, KeyUnusable)
{
    for (QELStatus s : {-11350, -11343, -11336, -11975, -11492})
        EXPECT_TRUE(qelErrorIsKeyUnusable(s)) << s;
    for (QELStatus s : {0, -11351, -11335, -11493, -12000})
        EXPECT_FALSE(qelErrorIsKeyUnusable(s)) << s;
}

} // namespace
