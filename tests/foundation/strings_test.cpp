#include "qelUtilitiesInternal.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

TEST(Strings, LengthsAcceptNull)
{
    EXPECT_EQ(qelStrLen(nullptr), 0u);
    EXPECT_EQ(qelStrLen(""), 0u);
    EXPECT_EQ(qelStrLength("abc"), 3u);
    EXPECT_EQ(qelStrSize(nullptr), 0u);
    EXPECT_EQ(qelStrSize(""), 1u);
    EXPECT_EQ(qelStrSize("abc"), 4u);
    EXPECT_EQ(qelCharsetIsMultiByte(), 0);
    EXPECT_FALSE(qelCharIsLeadByte('\x81'));
}

TEST(Strings, Stepping)
{
    const char s[] = "ab";
    EXPECT_EQ(qelStrNextChar(s), s + 1);
    EXPECT_EQ(qelStrNextChar(s + 2), s + 2); // stays at the NUL
    EXPECT_EQ(qelStrAdvanceChars(s, 5), s + 2);
    EXPECT_EQ(qelStrPrevChar(s, s + 2), s + 1);
    EXPECT_EQ(qelStrPrevChar(s, s), s);
}

TEST(Strings, BoundedCopy)
{
    struct Case {
        const char *src;
        int n;
        std::string expected; // the 6 destination bytes afterwards
    };
    const std::vector<Case> cases = {
        {"abc", 3, std::string("abc###", 6)},
        {"abc", 4, std::string("abc\0##", 6)},
        {"abc", 0, std::string("######", 6)},
        {"abc", -2, std::string("######", 6)},
        {"", 4, std::string("\0#####", 6)},
    };
    for (const Case &c : cases) {
        char buf[6];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(qelStrCopyN(c.src, buf, c.n), buf);
        EXPECT_EQ(std::string(buf, 6), c.expected) << c.src << " " << c.n;
    }
    char buf[8] = "ab";
    EXPECT_EQ(qelStrAppendN("cdef", buf, 10), buf);
    EXPECT_STREQ(buf, "abcdef");
}

TEST(Strings, BoundedComparison)
{
    struct Case {
        const char *a, *b;
        int n;
        int expected;
    };
    const Case cases[] = {
        {"ab", "ac", 1, 0},
        {"ab", "ac", 2, -1},
        {"a", "ab", 5, -98},
        {"abc", "abc", 10, 0},
        {"x", "y", 0, 0},
        {"xa", "xb", -1, 0}, // negative bound: first bytes only
        {"a", "b", -1, -1},
        {"\xC3", "a", 1, -61 - 97}, // signed bytes
    };
    for (const Case &c : cases)
        EXPECT_EQ(qelStrCompareN(c.a, c.b, c.n), c.expected) << c.a << " " << c.b << " " << c.n;
}

TEST(Strings, CaseInsensitive)
{
    EXPECT_EQ(qelStrCompareNoCaseN("HeLLo", "hello", 5), 0);
    EXPECT_EQ(qelStrCompareNoCaseN("ABC", "abd", 3), 'c' - 'd');
    EXPECT_EQ(qelStrCompareNoCaseN("ABC", "abd", 2), 0);
    EXPECT_EQ(qelStrCompareNoCaseN("a", "b", 0), 0);
    EXPECT_EQ(qelStrCompareNoCaseN("a", "b", -3), 0);
    EXPECT_EQ(qelStrCompareNoCaseNBytes("Ab", "aB", 2), 0);
    EXPECT_EQ(qelStrCompareNoCase("Zeta", "zetA"), 0);
    EXPECT_EQ(qelStrCompareNoCase("a", "AB"), -'b');

    const char hay[] = "Hello World";
    EXPECT_EQ(qelStrFindNoCase(hay, "WORLD"), hay + 6);
    EXPECT_EQ(qelStrFindNoCase(hay, "hello"), hay);
    EXPECT_EQ(qelStrFindNoCase(hay, ""), nullptr);
    EXPECT_EQ(qelStrFindNoCase("", "a"), nullptr);
    EXPECT_EQ(qelStrFindNoCase(hay, "worlds"), nullptr);

    char s[] = "MiXeD 123";
    EXPECT_EQ(qelStrToLower(s), s + 9);
    EXPECT_STREQ(s, "mixed 123");
    EXPECT_EQ(qelStrToUpper(s), s + 9);
    EXPECT_STREQ(s, "MIXED 123");
}

TEST(Strings, ClassesMatchTheCLocaleForEveryByte)
{
    // Bytes above 0x7F are valid input and belong to no class in the C locale.
    for (int v = 0; v < 256; ++v) {
        const char c = static_cast<char>(v);
        const unsigned char u = static_cast<unsigned char>(v);
        EXPECT_EQ(qelCharIsUpper(c), std::isupper(u) ? 1 : 0) << v;
        EXPECT_EQ(qelCharIsLower(c), std::islower(u) ? 1 : 0) << v;
        EXPECT_EQ(qelCharIsAlpha(c), std::isalpha(u) ? 1 : 0) << v;
        EXPECT_EQ(qelCharIsDigit(c), std::isdigit(u) ? 1 : 0) << v;
        EXPECT_EQ(qelCharIsSpace(c), std::isspace(u) ? 1 : 0) << v;
        EXPECT_EQ(qelCharIsBlank(c), std::isblank(u) ? 1 : 0) << v;
        EXPECT_EQ(qelCharIsPrint(c), std::isprint(u) ? 1 : 0) << v;
        EXPECT_EQ(qelCharIsPunct(c), std::ispunct(u) ? 1 : 0) << v;
        EXPECT_EQ(qelCharIsASCII(c), v < 0x80 ? 1 : 0) << v;
        EXPECT_EQ(static_cast<unsigned char>(qelCharToLower(c)), std::tolower(u)) << v;
        EXPECT_EQ(static_cast<unsigned char>(qelCharToUpper(c)), std::toupper(u)) << v;
    }
}

TEST(Strings, FileExtension)
{
    struct Case {
        const char *name;
        const char *ext; // null: none
        std::size_t startOffset;
    };
    const Case cases[] = {
        {"archive.tar.gz", "gz", 11},
        {"photo.jpeg", nullptr, 10},
        {".profile", nullptr, 8},
        {"name.", "", 4},
        {"name", nullptr, 4},
        {"a.txt", "txt", 1},
    };
    for (const Case &c : cases) {
        const char *ext = qelStrFileExtension(c.name);
        if (c.ext == nullptr)
            EXPECT_EQ(ext, nullptr) << c.name;
        else {
            ASSERT_NE(ext, nullptr) << c.name;
            EXPECT_STREQ(ext, c.ext);
        }
        EXPECT_EQ(qelStrExtensionStart(c.name), c.name + c.startOffset) << c.name;
    }
}

TEST(Strings, MakeNumberedName)
{
    struct Case {
        const char *name;
        const char *sep;
        std::uint32_t number;
        std::uint32_t size;
        QELStatus status;
        const char *expected;
    };
    const Case cases[] = {
        {"report.txt", "", 12, 13, 0, "report12.txt"},
        {"verylongname.txt", "", 12, 13, 0, "verylo12.txt"},
        {"report.txt", "", 12, 12, QELError_BadParams, nullptr},
        {"report.txt", "-", 1, 64, 0, "report-1.txt"},
        {"noext", "_", 4294967295u, 64, 0, "noext_4294967295"},
        // Stem and separator used up, then the extension is cut.
        {"a.txt", "--", 4294967295u, 13, 0, "4294967295.t"},
        {"a.txt", "--", 4294967295u, 14, 0, "4294967295.tx"},
    };
    for (const Case &c : cases) {
        char out[64];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(qelStrMakeNumberedName(c.name, c.sep, c.number, c.size, out), c.status) << c.name;
        if (c.expected != nullptr) {
            EXPECT_STREQ(out, c.expected) << c.name << " " << c.size;
            EXPECT_LT(std::strlen(out), c.size);
        }
    }
    char same[32] = "report.txt";
    EXPECT_EQ(qelStrMakeNumberedName(same, "", 1, 32, same), QELError_BadParams);
}

TEST(Strings, ParseNumberedNameRoundTrips)
{
    struct Case {
        const char *base, *sep, *candidate;
        std::uint32_t size;
        int numbered;
        std::int32_t number;
    };
    const Case cases[] = {
        {"report.txt", "", "report12.txt", 64, 1, 12},
        {"report.txt", "-", "report-3.txt", 64, 1, 3},
        {"report.txt", "", "report.txt", 64, 0, -1},
        {"report.txt", "", "other12.txt", 64, 0, -1},
        {"report.txt", "", "report12.doc", 64, 0, -1},
        {"report.txt", "", "report12.", 64, 0, -1},
        {"report.txt", "-", "report_3.txt", 64, 0, -1},
        {"noext", "", "noext7", 64, 1, 7},
        {"report.txt", "", "report99999999999.txt", 64, 1, 999999999},
        // Cut to fit: the stem may be shorter than the base's.
        {"verylongname.txt", "", "verylo12.txt", 13, 1, 12},
    };
    for (const Case &c : cases) {
        std::uint8_t numbered = 9;
        std::int32_t number = 9;
        EXPECT_EQ(qelStrParseNumberedName(c.base, c.sep, c.candidate, c.size, &numbered, &number), 0);
        EXPECT_EQ(numbered, c.numbered) << c.candidate;
        EXPECT_EQ(number, c.number) << c.candidate;
    }
}

TEST(Hex, Digits)
{
    for (int v = 0; v < 256; ++v)
        EXPECT_EQ(qelIsHexDigit(static_cast<char>(v)), std::isxdigit(v) ? 1 : 0) << v;
    EXPECT_EQ(qelHexDigitValue('7'), 7);
    EXPECT_EQ(qelHexDigitValue('a'), 10);
    EXPECT_EQ(qelHexDigitValue('F'), 15);
}

TEST(Hex, TextToBytes)
{
    struct Case {
        const char *text;
        std::uint32_t max;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"0xABc", 4, {0xAB, 0x0C}},
        {"12zz", 4, {0x12}},
        {"0X0102030405", 3, {1, 2, 3}},
        {"abc", 0, {}},
        {"zz", 4, {}},
        {"", 4, {}},
    };
    for (const Case &c : cases) {
        std::uint8_t out[8] = {};
        const std::uint32_t n = qelHexToBytes(c.text, c.max, out);
        EXPECT_EQ(std::vector<std::uint8_t>(out, out + n), c.bytes) << c.text;
    }
    EXPECT_EQ(qelHexToUInt32("abc"), 0xAB0Cu);
    EXPECT_EQ(qelHexToUInt32("0xDEADBEEF77"), 0xDEADBEEFu);
    EXPECT_EQ(qelHexToUInt32("q"), 0u);
}

TEST(Hex, BytesToText)
{
    const std::uint8_t b[] = {0x01, 0xFE};
    char out[16];
    qelBytesToHex(b, 2, 1, out);
    EXPECT_STREQ(out, "0x01FE");
    qelBytesToHex(b, 2, 0, out);
    EXPECT_STREQ(out, "01FE");
    qelBytesToHex(b, 0, 0, out);
    EXPECT_STREQ(out, "");
    qelUInt32ToHex(0x00A1B2C3, 0, out);
    EXPECT_STREQ(out, "00A1B2C3");
    qelUInt32ToHex(0xFFFFFFFF, 1, out);
    EXPECT_STREQ(out, "0xFFFFFFFF");
}
