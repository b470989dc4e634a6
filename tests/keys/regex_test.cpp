// Trust-signature regular expressions: syntax, compile errors, matching
// against Python's re on a committed table, and bounded time on patterns that
// backtrack without end.
#include "qelContextInternal.h"
#include "qelRegexInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const auto *const gEnv = qeltest::addHomeEnvironment("qelregex", qeltest::HomeEnvironment::SDK::Up);

class Regex : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override
    {
        for (QELRegex *r : compiled_)
            EXPECT_EQ(qelContextMemFree(context_, r), QELError_NoErr);
        EXPECT_EQ(qelContextFree(context_), QELError_NoErr);
    }
    QELStatus compile(const std::string &text, QELRegex **out)
    {
        QELStatus s = qelRegexCompile(context_, text.c_str(), out);
        if (s == QELError_NoErr)
            compiled_.push_back(*out);
        return s;
    }
    // 1/0 for a compiled pattern, or the compile status.
    int matches(const std::string &pattern, const std::string &text)
    {
        QELRegex *r = nullptr;
        QELStatus s = compile(pattern, &r);
        if (s != QELError_NoErr)
            return s;
        return qelRegexMatch(r, text.c_str());
    }

    QELContext *context_ = nullptr;
    std::vector<QELRegex *> compiled_;
};

std::string unhex(const std::string &h)
{
    std::string out;
    if (h == "-")
        return out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(char(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

TEST_F(Regex, AgreesWithPythonOnTheTable)
{
    std::ifstream in(std::string(QEL_SOURCE_DIR) + "/tests/keys/data/keyuse_regex_cases.txt");
    ASSERT_TRUE(in.good());
    std::string line;
    int rows = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string p, t;
        int expected = -1;
        fields >> p >> t >> expected;
        ASSERT_NE(expected, -1) << line;
        std::string pattern = unhex(p), text = unhex(t);
        EXPECT_EQ(matches(pattern, text), expected) << "pattern '" << pattern << "' text '" << text << "'";
        ++rows;
    }
    EXPECT_GT(rows, 1000);
}

TEST_F(Regex, SyntaxErrorsAreOutOfMemoryAndLeaveNoForm)
{
    const char *bad[] = {
        "a**", "*a", "(*)", "a(", "a)", "(a?)*", "()+", "[z-a]", "[abc", "a\\", "a|*", "(|+)",
        "a+?", "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "[", "[^",
    };
    for (const char *text : bad) {
        QELRegex *r = reinterpret_cast<QELRegex *>(this); // must be cleared
        EXPECT_EQ(qelRegexCompile(context_, text, &r), QELError_OutOfMemory) << text;
        EXPECT_EQ(r, nullptr) << text;
    }
    const char *good[] = {"()", "(|)", "a|", "(a)(b)(c)(d)(e)(f)(g)(h)(i)", "[]]", "[a-]", "(a?)?", "\\."};
    for (const char *text : good) {
        QELRegex *r = nullptr;
        EXPECT_EQ(compile(text, &r), QELError_NoErr) << text;
    }
}

TEST_F(Regex, SemanticsPythonCannotShow)
{
    // The quantifier after a run applies to its last character alone.
    EXPECT_EQ(matches("ab*$", "abbb"), 1);
    EXPECT_EQ(matches("^ab*$", "abab"), 0);
    // A set's "]" first and "-" last are members.
    EXPECT_EQ(matches("[]x]", "]"), 1);
    EXPECT_EQ(matches("[x-]", "-"), 1);
    // A brace is an ordinary character here.
    EXPECT_EQ(matches("a{2}", "a{2}"), 1);
    EXPECT_EQ(matches("a{2}", "aa"), 0);
    // Bytes above 0x7F compare unsigned in ranges.
    EXPECT_EQ(matches("[\x80-\xff]", "\xfe"), 1);
    EXPECT_EQ(matches("[\x80-\xff]", "~"), 0);
}

TEST_F(Regex, CompiledShortcuts)
{
    QELRegex *r = nullptr;
    ASSERT_EQ(compile("abc", &r), QELError_NoErr);
    EXPECT_EQ(r->firstChar, 'a');
    ASSERT_EQ(compile("^x", &r), QELError_NoErr);
    EXPECT_EQ(r->anchored, 1);
    ASSERT_EQ(compile("a*hello.wor", &r), QELError_NoErr);
    ASSERT_NE(r->required, nullptr);
    EXPECT_EQ(std::string(r->required, std::size_t(r->requiredLength)), "hello");
    EXPECT_EQ(qelRegexMatch(r, "say hello wor"), 1);
    EXPECT_EQ(qelRegexMatch(r, "say hallo wor"), 0);
    ASSERT_EQ(compile("a+hello", &r), QELError_NoErr); // "+" does not count
    EXPECT_EQ(r->required, nullptr);
    ASSERT_EQ(compile("a|b", &r), QELError_NoErr);     // two alternatives: none
    EXPECT_EQ(r->firstChar, 0);
    // Groups record their spans.
    ASSERT_EQ(compile("<(.*)@(.*)>", &r), QELError_NoErr);
    const char *text = "Al <al@ex.org>";
    ASSERT_EQ(qelRegexMatch(r, text), 1);
    EXPECT_EQ(std::string(r->matchStart[1], r->matchEnd[1]), "al");
    EXPECT_EQ(std::string(r->matchStart[2], r->matchEnd[2]), "ex.org");
    EXPECT_EQ(std::string(r->matchStart[0], r->matchEnd[0]), "<al@ex.org>");
}

TEST_F(Regex, BadArguments)
{
    QELRegex *r = nullptr;
    EXPECT_EQ(qelRegexCompile(nullptr, "a", &r), QELError_BadParams);
    EXPECT_EQ(qelRegexCompile(context_, nullptr, &r), QELError_BadParams);
    EXPECT_EQ(qelRegexCompile(context_, "a", nullptr), QELError_BadParams);
    ASSERT_EQ(compile("a", &r), QELError_NoErr);
    EXPECT_EQ(qelRegexMatch(r, nullptr), QELError_BadParams);
    EXPECT_EQ(qelRegexMatch(nullptr, "a"), QELError_BadParams);
    std::vector<std::uint8_t> foreign(sizeof(QELRegex) + 8, 0);
    EXPECT_EQ(qelRegexMatch(reinterpret_cast<QELRegex *>(foreign.data()), "a"), QELError_BadParams);
    // A program over the 32766-byte limit.
    std::string big(40000, 'x');
    EXPECT_EQ(qelRegexCompile(context_, big.c_str(), &r), QELError_BadParams);
    EXPECT_EQ(r, nullptr);
}

TEST_F(Regex, UserIDBytesMatchOnACopyAndNulNeverMatches)
{
    QELRegex *r = nullptr;
    ASSERT_EQ(compile("example\\.com>$", &r), QELError_NoErr);
    const std::string uid = "Alice <alice@example.com>";
    EXPECT_EQ(qelRegexMatchBytes(r, reinterpret_cast<const std::uint8_t *>(uid.data()), uid.size()), 1);
    // Not NUL-terminated: the bytes after the given length are never read.
    std::string padded = uid + "trailing";
    EXPECT_EQ(qelRegexMatchBytes(r, reinterpret_cast<const std::uint8_t *>(padded.data()), uid.size()), 1);
    // An embedded NUL would make "<alice@example.com>" visible as a prefix.
    std::string sneaky = std::string("x@example.com>") + '\0' + "<mallory@evil.org>";
    EXPECT_EQ(qelRegexMatchBytes(r, reinterpret_cast<const std::uint8_t *>(sneaky.data()), sneaky.size()), 0);
    EXPECT_EQ(r->matchStart[0], nullptr); // no pointer into the freed copy
    ASSERT_EQ(compile("", &r), QELError_NoErr);
    EXPECT_EQ(qelRegexMatchBytes(r, nullptr, 0), 1);
    std::string longID(3000, 'u');
    EXPECT_EQ(qelRegexMatchBytes(r, reinterpret_cast<const std::uint8_t *>(longID.data()), longID.size()), 1);
}

TEST_F(Regex, PathologicalPatternsEndAsNoMatchQuickly)
{
    struct Case {
        const char *pattern;
        std::string text;
    };
    const Case cases[] = {
        {"(a|a)*c", std::string(40, 'a') + "bc"}, // "c" is present, so the search runs
        {"(a|aa)+$", std::string(60, 'a') + "b"},
        {"(.*.*.*.*.*)*x", std::string(200, 'y')}, // rejected at compile: ".*" may be empty
        {"((a|b)(a|b))*c", std::string(5000, 'a')},
    };
    for (const Case &c : cases) {
        QELRegex *r = nullptr;
        QELStatus s = compile(c.pattern, &r);
        if (s != QELError_NoErr) {
            EXPECT_EQ(s, QELError_OutOfMemory) << c.pattern;
            continue;
        }
        // Without the step budget the first two run for years.
        EXPECT_EQ(qelRegexMatch(r, c.text.c_str()), 0) << c.pattern;
    }
}

} // namespace
