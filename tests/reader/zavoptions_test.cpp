// Command-line parser: the order in which plain arguments and options come
// out, long and short options, values, and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qelMemoryInternal.h"
#include "qelTestMemory.h"
#include "zavOptions.h"

namespace {

constexpr LongOption kTable[] = {
    {"version", 1}, {"overwrite", 2}, {"pass", 3}, {"passphrase", 3}, {"no-gui", 4}, {"hidden", 0},
};

class OptionParserTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelMemMgrNewDefault(0, &mgr_), QELError_NoErr); }
    void TearDown() override
    {
        if (parser_ != nullptr) {
            EXPECT_EQ(freeOptionParser(parser_), QELError_NoErr);
        }
        static_cast<void>(qelMemMgrFree(mgr_));
    }
    void make(std::vector<std::string> args)
    {
        args.insert(args.begin(), "zavreader");
        args_ = std::move(args);
        std::vector<const char *> argv;
        for (const std::string &a : args_)
            argv.push_back(a.c_str());
        ASSERT_EQ(createOptionParser(mgr_, static_cast<std::uint32_t>(argv.size()), argv.data(), kTable,
                                     std::size(kTable), &parser_),
                  QELError_NoErr);
    }
    // The sequence main sees: "A:<arg>" for plain arguments, "O:<id>" for
    // options, "E" at the end, "X:<status>" for anything else.
    std::vector<std::string> walk()
    {
        std::vector<std::string> seen;
        for (int guard = 0; guard < 50; ++guard) {
            char buffer[4097] = {};
            std::uint64_t length = 0;
            QELStatus s = getNextArgument(parser_, buffer, 4096, &length);
            if (s == QELError_NoErr) {
                EXPECT_EQ(length, std::string(buffer).size());
                seen.push_back("A:" + std::string(buffer));
            } else if (s == QELError_ItemNotFound) {
                std::int32_t id = 0;
                QELStatus o = getNextOption(parser_, &id);
                if (o != QELError_NoErr) {
                    seen.push_back("X:" + std::to_string(o));
                    return seen;
                }
                seen.push_back("O:" + std::to_string(id));
            } else if (s == QELError_EndOfIteration) {
                seen.push_back("E");
                return seen;
            } else {
                seen.push_back("X:" + std::to_string(s));
                return seen;
            }
        }
        ADD_FAILURE() << "parser did not end";
        return seen;
    }

    QELMemoryMgr *mgr_ = nullptr;
    OptionParser *parser_ = nullptr;
    std::vector<std::string> args_;
};

TEST_F(OptionParserTest, SequencesOfArgumentsAndOptions)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{"a", "--overwrite", "b"}, {"A:a", "O:2", "A:b", "E"}},
        {{"--passphrase", "value"}, {"O:3", "A:value", "E"}},
        {{"--pass", "v", "arch", "out"}, {"O:3", "A:v", "A:arch", "A:out", "E"}},
        {{"-"}, {"A:-", "E"}},
        {{"-ab"}, {"O:97", "O:98", "E"}},
        {{"-a-b"}, {"O:97", "O:98", "E"}},
        {{"--versions"}, {"X:-11978"}},
        {{"--version=1"}, {"X:-11978"}},
        {{"--foo", "--version"}, {"O:1", "E"}},
        {{"--foo", "bar"}, {"O:97", "A:bar", "E"}},
        {{"--foo"}, {"X:-11978"}},
        {{"--hidden", "--no-gui"}, {"O:4", "E"}},
        {{"", "x"}, {"A:x", "E"}},
        {{"a", "", "b"}, {"A:a", "A:", "A:b", "E"}},
        {{}, {"E"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        if (parser_ != nullptr) {
            freeOptionParser(parser_);
            parser_ = nullptr;
        }
        make(c.args);
        EXPECT_EQ(walk(), c.expected);
    }
}

TEST_F(OptionParserTest, OptionValueThatLooksLikeAnOptionIsRefused)
{
    make({"--passphrase", "-x"});
    std::int32_t id = 0;
    ASSERT_EQ(getNextArgument(parser_, nullptr, 0, nullptr), QELError_ItemNotFound);
    ASSERT_EQ(getNextOption(parser_, &id), QELError_NoErr);
    EXPECT_EQ(id, 3);
    char buffer[16];
    EXPECT_EQ(getNextArgument(parser_, buffer, sizeof buffer, nullptr), QELError_ItemNotFound);
}

TEST_F(OptionParserTest, BufferLimitsAndSizeQueries)
{
    make({std::string(4095, 'a'), std::string(4096, 'b')});
    char buffer[4097] = {};
    std::uint64_t length = 0;
    // A null buffer asks for the length without taking the argument.
    EXPECT_EQ(getNextArgument(parser_, nullptr, 4096, &length), QELError_NoErr);
    EXPECT_EQ(length, 4095u);
    EXPECT_EQ(getNextArgument(parser_, buffer, 4096, &length), QELError_NoErr);
    EXPECT_EQ(std::string(buffer), std::string(4095, 'a'));
    EXPECT_EQ(getNextArgument(parser_, buffer, 4096, &length), QELError_BufferTooSmall);
    EXPECT_EQ(length, 4096u);
}

TEST_F(OptionParserTest, RemainderOfTheArgumentUnderTheCursor)
{
    make({"-abc", "next"});
    std::int32_t id = 0;
    ASSERT_EQ(getNextOption(parser_, &id), QELError_NoErr);
    EXPECT_EQ(id, 'a');
    char buffer[8];
    std::uint64_t length = 0;
    EXPECT_EQ(getOptionRemainder(parser_, buffer, 2, &length), QELError_BufferTooSmall);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(getOptionRemainder(parser_, buffer, sizeof buffer, &length), QELError_NoErr);
    EXPECT_STREQ(buffer, "bc");
    EXPECT_EQ(walk(), (std::vector<std::string>{"A:next", "E"}));
}

TEST_F(OptionParserTest, BadParameters)
{
    const char *argv[] = {"zavreader", nullptr};
    OptionParser *parser = nullptr;
    EXPECT_EQ(createOptionParser(nullptr, 1, argv, kTable, std::size(kTable), &parser), QELError_BadParams);
    EXPECT_EQ(createOptionParser(mgr_, 2, argv, kTable, std::size(kTable), &parser), QELError_BadParams);
    const LongOption badTable[] = {{nullptr, 1}};
    EXPECT_EQ(createOptionParser(mgr_, 1, argv, badTable, 1, &parser), QELError_BadParams);
    EXPECT_EQ(parser, nullptr);
    EXPECT_EQ(freeOptionParser(nullptr), QELError_BadParams);
    EXPECT_EQ(getNextArgument(nullptr, nullptr, 0, nullptr), QELError_BadParams);
    std::int32_t id;
    EXPECT_EQ(getNextOption(nullptr, &id), QELError_BadParams);
    EXPECT_EQ(getOptionRemainder(nullptr, nullptr, 0, nullptr), QELError_BadParams);
    // No table: every long option is unknown.
    ASSERT_EQ(createOptionParser(mgr_, 1, argv, nullptr, 0, &parser), QELError_NoErr);
    EXPECT_EQ(getNextOption(parser, nullptr), QELError_BadParams);
    EXPECT_EQ(freeOptionParser(parser), QELError_NoErr);
}

// The parser's copy of the command line holds any passphrase given there:
// no block goes back to the manager with it still inside.
TEST(OptionParserSecrets, ArgumentCopiesAreWipedWhenTheParserGoes)
{
    const std::string secret = "correct horse battery staple";
    qeltest::TestHeap heap;
    int blocksWithSecret = 0;
    int blocksFreed = 0;
    heap.onFree = [&](const std::uint8_t *payload, std::size_t length, bool) {
        ++blocksFreed;
        if (std::search(payload, payload + length, secret.begin(), secret.end()) != payload + length)
            ++blocksWithSecret;
    };
    QELMemoryMgr *mgr = heap.make();
    ASSERT_NE(mgr, nullptr);
    const char *argv[] = {"zavreader", "--passphrase", secret.c_str(), "archive.sda"};
    OptionParser *parser = nullptr;
    ASSERT_EQ(createOptionParser(mgr, 4, argv, kTable, std::size(kTable), &parser), QELError_NoErr);
    char buffer[64] = {};
    std::uint64_t length = 0;
    EXPECT_EQ(getNextArgument(parser, buffer, sizeof buffer, &length), QELError_ItemNotFound);
    std::int32_t id = 0;
    EXPECT_EQ(getNextOption(parser, &id), QELError_NoErr);
    EXPECT_EQ(id, 3);
    ASSERT_EQ(getNextArgument(parser, buffer, sizeof buffer, &length), QELError_NoErr);
    EXPECT_EQ(std::string(buffer), secret);
    EXPECT_EQ(freeOptionParser(parser), QELError_NoErr);
    EXPECT_GT(blocksFreed, 4);
    EXPECT_EQ(blocksWithSecret, 0);
    heap.onFree = nullptr;
    static_cast<void>(qelMemMgrFree(mgr));
}

}  // namespace
