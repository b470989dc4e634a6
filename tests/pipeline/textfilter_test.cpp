// The text filter: the line-end and trailing-space cases one by one, then
// random text against a byte-at-a-time model in every mode, written in
// random pieces into a downstream that takes little at a time.
#include "qelContextInternal.h"
#include "qelMemory.h"
#include "qelPipeTestModule.h"
#include "qelTestEnv.h"
#include "qelTestTextFilter.h"
#include "qelTextFilterModuleInternal.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

namespace {

const auto *const gEnv = qeltest::addHomeEnvironment("qeltextfilter", qeltest::HomeEnvironment::SDK::Up);

using Ops = std::vector<std::string>;

std::array<std::uint8_t, 256> identity()
{
    std::array<std::uint8_t, 256> m{};
    for (int i = 0; i < 256; ++i)
        m[i] = std::uint8_t(i);
    return m;
}

std::array<std::uint8_t, 256> upper()
{
    auto m = identity();
    for (int c = 'a'; c <= 'z'; ++c)
        m[c] = std::uint8_t(c - 32);
    return m;
}

const auto kIdentity = identity();
const auto kUpper = upper();

class TextFilterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override { EXPECT_EQ(qelContextFree(context_), QELError_NoErr); }

    std::string filter(const std::string &in, const std::uint8_t *map, bool strip, int mode, std::size_t piece,
                       std::uint64_t takeAtMost, pipetest::Record *rec)
    {
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = qelTextFilterModuleCreate(context_, &head, map, strip, mode);
        EXPECT_NE(slot, nullptr);
        rec->takeAtMost = takeAtMost;
        *slot = pipetest::makeRecorder(context_, rec);
        EXPECT_EQ(qelPipeExpectBytes(head, in.size()), 0);
        for (std::size_t at = 0; at < in.size(); at += piece)
            EXPECT_EQ(qelPipeWriteAll(head, reinterpret_cast<const std::uint8_t *>(in.data()) + at,
                                      std::min(piece, in.size() - at)),
                      0);
        EXPECT_EQ(qelPipeExpectBytes(head, 0), 0);
        qelPipeDestroy(head);
        return rec->bytes;
    }
    std::string filter(const std::string &in, bool strip, int mode, const std::uint8_t *map = kIdentity.data())
    {
        pipetest::Record rec;
        return filter(in, map, strip, mode, in.size() + 1, ~std::uint64_t{0}, &rec);
    }

    QELContext *context_ = nullptr;
};

TEST_F(TextFilterTest, LineEndsAndTrailingSpaces)
{
    struct Case {
        std::string in;
        bool strip;
        int mode;
        std::string out;
    } cases[] = {
        {"line  \r\nnext", true, 3, "line\r\nnext"},
        {"line  \r\nnext", true, 1, "line\nnext"},
        {"a\rb", false, 3, "a\r\nb"},
        {"a\r\r\nb", false, 3, "a\r\n\r\nb"},
        {"a\n\rb", false, 1, "a\n\nb"},
        {"a \nb", true, 0, "a\nb"},
        {"in side  x", true, 3, "in side  x"},
        {"end   ", true, 3, "end"},
        {"tab\t\r\n", true, 3, "tab\t\r\n"},
        {"keep\r\n", false, 0, "keep\r\n"},
        {"cr\r\nlf\ncr\r", false, 2, "cr\rlf\rcr\r"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(filter(c.in, c.strip, c.mode), c.out) << c.in;
    EXPECT_EQ(filter("abc \n", true, 0, kUpper.data()), "ABC\n");
}

TEST_F(TextFilterTest, AnnouncementsPassOnlyWhenTheCountCannotChange)
{
    struct Case {
        bool strip;
        int mode;
        Ops framing;
    } cases[] = {{false, 0, {"E5", "E0", "D"}}, {true, 0, {"E0", "D"}}, {false, 3, {"E0", "D"}}};
    for (const Case &c : cases) {
        pipetest::Record rec;
        filter("ab\ncd", kIdentity.data(), c.strip, c.mode, 2, 1, &rec);
        EXPECT_EQ(pipetest::framing(rec.ops), c.framing);
    }
    QELPipeModule *head = nullptr;
    EXPECT_EQ(qelTextFilterModuleCreate(context_, &head, kIdentity.data(), false, 4), nullptr);
    EXPECT_EQ(qelTextFilterModuleCreate(context_, nullptr, kIdentity.data(), false, 0), nullptr);
    ASSERT_NE(qelTextFilterModuleCreate(context_, &head, kIdentity.data(), false, 0), nullptr);
    EXPECT_STREQ(head->name, "Text Filter Module");
    qelPipeDestroy(head);
}

TEST_F(TextFilterTest, MatchesTheModelOnRandomText)
{
    std::mt19937 rng(2024);
    const char alphabet[] = {' ', ' ', ' ', '\r', '\n', 'a', 'b', '\t', 'z', 'q'};
    for (int round = 0; round < 200; ++round) {
        std::string in(rng() % 30000, '\0');
        for (auto &c : in)
            c = rng() % 8 == 0 ? char(rng()) : alphabet[rng() % sizeof alphabet];
        bool strip = rng() % 2;
        int mode = int(rng() % 4);
        const std::uint8_t *map = rng() % 2 ? kIdentity.data() : kUpper.data();
        std::size_t piece = rng() % 3 == 0 ? 1 + rng() % 7 : 1 + rng() % 20000;
        std::uint64_t take = rng() % 2 ? 1 + rng() % 100 : ~std::uint64_t{0};
        pipetest::Record rec;
        ASSERT_EQ(filter(in, map, strip, mode, piece, take, &rec), qeltest::textFilterModel(in, map, strip, mode))
            << "round " << round << " mode " << mode << " strip " << strip << " piece " << piece;
    }
}

TEST_F(TextFilterTest, DownstreamFailureKeepsTheConvertedBytes)
{
    QELPipeModule *head = nullptr;
    QELPipeModule **slot = qelTextFilterModuleCreate(context_, &head, kIdentity.data(), true, 3);
    pipetest::Record rec;
    rec.failWrite = QELError_UserAbort;
    rec.failAfterBytes = 3;
    *slot = pipetest::makeRecorder(context_, &rec);
    std::string in = "abc  \ndef\n";
    QELStatus status = 0;
    std::uint64_t taken = qelPipeWrite(head, reinterpret_cast<const std::uint8_t *>(in.data()), in.size(), &status);
    EXPECT_EQ(status, QELError_UserAbort);
    rec.failWrite = 0;
    ASSERT_EQ(qelPipeWriteAll(head, reinterpret_cast<const std::uint8_t *>(in.data()) + taken, in.size() - taken), 0);
    ASSERT_EQ(qelPipeExpectBytes(head, 0), 0);
    EXPECT_EQ(rec.bytes, "abc\r\ndef\r\n");
    qelPipeDestroy(head);
}

} // namespace
