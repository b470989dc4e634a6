#include "qelFIPSInternal.h"
#include "qelFileSpecInternal.h"
#include "qelMacBinaryInternal.h"
#include "qelMemoryInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Start-up loads the type table.
qeltest::HomeEnvironment *const g_env =
    qeltest::addHomeEnvironment("qelmacbinary_test", qeltest::HomeEnvironment::SDK::Up);

// A four-character code, first character most significant.
constexpr std::uint32_t code(const char *c)
{
    return (std::uint32_t(std::uint8_t(c[0])) << 24) | (std::uint32_t(std::uint8_t(c[1])) << 16) |
           (std::uint32_t(std::uint8_t(c[2])) << 8) | std::uint32_t(std::uint8_t(c[3]));
}

using Bytes = std::vector<std::uint8_t>;

// CRC of the header as an independent peer computes it: Python's
// binascii.crc_hqx (CRC-16/XMODEM).
std::uint16_t peerCrc(const Bytes &bytes)
{
    std::string hex;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof(two), "%02x", b);
        hex += two;
    }
    std::string command = "/usr/bin/python3 -c 'import binascii,sys; "
                          "print(binascii.crc_hqx(bytes.fromhex(sys.argv[1]), 0))' " +
                          hex;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return 0;
    unsigned value = 0;
    if (std::fscanf(pipe, "%u", &value) != 1)
        value = 0x10000;
    pclose(pipe);
    EXPECT_LT(value, 0x10000u) << "python3 did not answer";
    return static_cast<std::uint16_t>(value);
}

void putBE32(Bytes &b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

struct Header {
    std::string macName = "Notes";
    std::uint32_t type = code("TEXT");
    std::uint32_t creator = code("ttxt");
    std::uint32_t dataLength = 0; // 0: the data's own length
    std::uint8_t versionWritten = 0x81;
    std::uint8_t versionNeeded = 0x81;
    std::uint8_t nameLength = 0;  // 0: the name's own length
    bool breakCrc = false;
};

Bytes macBinary(const Header &h, const std::string &data, const std::string &resource = "")
{
    Bytes b(128, 0);
    b[1] = h.nameLength != 0 ? h.nameLength : static_cast<std::uint8_t>(h.macName.size());
    std::memcpy(&b[2], h.macName.data(), std::min<std::size_t>(h.macName.size(), 63));
    putBE32(b, 65, h.type);
    putBE32(b, 69, h.creator);
    putBE32(b, 83, h.dataLength != 0 ? h.dataLength : static_cast<std::uint32_t>(data.size()));
    putBE32(b, 87, static_cast<std::uint32_t>(resource.size()));
    putBE32(b, 91, 0xB0000000);
    putBE32(b, 95, 0xB0000001);
    b[122] = h.versionWritten;
    b[123] = h.versionNeeded;
    std::uint16_t crc = peerCrc(Bytes(b.begin(), b.begin() + 124));
    if (h.breakCrc)
        crc ^= 1;
    b[124] = static_cast<std::uint8_t>(crc >> 8);
    b[125] = static_cast<std::uint8_t>(crc);
    b.insert(b.end(), data.begin(), data.end());
    b.resize((b.size() + 127) / 128 * 128, 0);
    b.insert(b.end(), resource.begin(), resource.end());
    return b;
}

std::string readFile(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path &p, const Bytes &bytes)
{
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::set<std::string> listDir(const fs::path &dir)
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

class MacBinaryDecodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::path(g_env->dir()) /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir_);
    }

    // Decodes dir/name; the decoded file's name goes to outName.
    QELStatus decode(const std::string &name, std::string *outName,
                     std::uint32_t *outCreator = nullptr, std::uint32_t *outType = nullptr,
                     bool publicEntry = false)
    {
        QELFileSpec *spec = nullptr;
        EXPECT_EQ(qelFileSpecNewFromPath(qelMemMgrGetGlobal(), (dir_ / name).c_str(), &spec),
                  QELError_NoErr);
        QELFileSpec *decoded = nullptr;
        QELStatus status = publicEntry
                               ? qelMacBinaryDecodeFile(spec, &decoded, outCreator, outType)
                               : qelMacBinaryDecode(spec, &decoded, outCreator, outType);
        if (outName != nullptr)
            outName->clear();
        if (decoded != nullptr) {
            char buffer[256];
            EXPECT_EQ(qelFileSpecGetName(decoded, sizeof(buffer), buffer), QELError_NoErr);
            if (outName != nullptr)
                *outName = buffer;
            static_cast<void>(qelFileSpecFree(decoded));
        }
        static_cast<void>(qelFileSpecFree(spec));
        return status;
    }

    fs::path dir_;
};

TEST(MacBinaryTable, ExtensionsFollowTheFirstMatchingEntry)
{
    struct Case {
        std::uint32_t creator, type;
        const char *extension;
        QELStatus status;
    } cases[] = {
        {code("ttxt"), code("TEXT"), "txt", QELError_NoErr},
        {code("CWIE"), code("TEXT"), "h", QELError_NoErr},
        {code("SIT!"), code("BINA"), "zip", QELError_NoErr},
        {code("MSPJ"), code("MPX "), "mpp", QELError_NoErr},
        {code("TAR "), code("TARF"), "tar", QELError_NoErr},
        {code("GKON"), code("STAD"), "PAC", QELError_NoErr},
        {code("MSWD"), code("ABCD"), "doc", QELError_NoErr},  // creator line with wildcard type
        {code("AnVw"), code("WXYZ"), "gl", QELError_NoErr},
        {code("XYZW"), code("TEXT"), "txt", QELError_NoErr},  // wildcard creator
        {code("XYZW"), code("EPSF"), "eps", QELError_NoErr},
        {code("XYZW"), code("ABCD"), "bin", QELError_MacBinaryHeaderError},
        {code("MSPJ"), code("MPP\0"), "bin", QELError_MacBinaryHeaderError},
    };
    for (const Case &c : cases) {
        char extension[4] = {'x', 'x', 'x', 'x'};
        EXPECT_EQ(qelMacBinaryExtensionForCodes(c.creator, c.type, extension), c.status)
            << c.extension;
        EXPECT_STREQ(extension, c.extension);
    }
    EXPECT_EQ(qelMacBinaryExtensionForCodes(code("ttxt"), code("TEXT"), nullptr),
              QELError_BadParams);

    qelMacBinaryTableFree();
    char extension[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(qelMacBinaryExtensionForCodes(code("ttxt"), code("TEXT"), extension),
              QELError_BadParams);
    EXPECT_EQ(extension[0], '\0');
    ASSERT_EQ(qelMacBinaryTableLoad(), QELError_NoErr);
    EXPECT_EQ(qelMacBinaryExtensionForCodes(code("ttxt"), code("TEXT"), extension), 0);
}

TEST(MacBinaryTable, ParseCodeStaysInsideItsLine)
{
    struct Case {
        const char *text;
        std::size_t length; // of the table text handed over
        bool valid;
        std::uint32_t code;
        std::size_t advance;
    } cases[] = {
        {"TEXT\tx", 6, true, code("TEXT"), 4},
        {"0x54455854\tx", 12, true, code("TEXT"), 10},
        {"0X54455854\tx", 12, true, code("0X54"), 4},
        {"0x4142434\tab", 12, true, 0x41424304, 10},   // a lone final digit
        {"0x41\tTEXT\tab", 12, true, 0x41000000, 10}, // short hex: the next field follows
        {"0x4142\tT", 8, true, 0x41420000, 8},         // never past the end of the line
        {"0x41424\n", 8, false, 0, 0},                // seven characters before the line end
        {"0x41424344", 6, false, 0, 0},               // the text ends early
        {"ABC\nDEF", 7, false, 0, 0},
        {"ABCD", 3, false, 0, 0},
        {"PDF \tx", 6, true, code("PDF "), 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::uint32_t value = 1;
        bool valid = true;
        const char *next = qelMacBinaryParseCode(c.text, c.text + c.length, &value, &valid);
        EXPECT_EQ(valid, c.valid);
        EXPECT_EQ(value, c.code);
        EXPECT_EQ(static_cast<std::size_t>(next - c.text), c.advance);
    }
}

TEST(MacBinaryTable, LoadingCustomText)
{
    const std::string text = "# comment line that is long\r\n"
                             "\n"
                             "0x74747874\t0x54455854\thx1\r\n" // ttxt TEXT given in hex
                             "ABCD\tEFGH\tlong\n"                // four letters: rejected
                             "ABCD\tEFG\tx\n"                    // ten characters: skipped
                             "ABCD\tEFGH\tok \n"
                             "WXYZ\tEFGH\tok\tcomment\n"
                             "0x123\tEFGH\tno\n"                 // short hex: the type is lost
                             "LAST\tLINE\tend";
    ASSERT_EQ(qelMacBinaryTableLoadText(text.data(), text.size()), QELError_NoErr);
    struct Case {
        const char *creator;
        const char *type;
        const char *extension;
    } cases[] = {
        {"ttxt", "TEXT", "hx1"}, {"ABCD", "EFGH", "ok"}, {"ABCD", "EFG ", "bin"},
        {"WXYZ", "EFGH", "ok"},  {"LAST", "LINE", "end"},
    };
    for (const Case &c : cases) {
        char extension[4];
        static_cast<void>(qelMacBinaryExtensionForCodes(code(c.creator), code(c.type), extension));
        EXPECT_STREQ(extension, c.extension) << c.creator;
    }
    ASSERT_EQ(qelMacBinaryTableLoad(), QELError_NoErr);
}

TEST(MacBinaryTable, TextNames)
{
    struct Case {
        std::uint32_t type;
        const char *extension;
        bool text;
    } cases[] = {
        {code("TEXT"), "txt", true},   {code("TEXT"), "TXT", true}, {code("TEXT"), "Cpp", true},
        {code("TEXT"), "me", true},    {code("TEXT"), "prn", true}, {code("TEXT"), "bin", false},
        {code("TEXT"), "", false},     {code("BINA"), "txt", false},
        {code("TEXT"), nullptr, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(qelMacBinaryIsTextName(code("XYZW"), c.type, c.extension), c.text)
            << (c.extension ? c.extension : "null");
}

TEST_F(MacBinaryDecodeTest, TextFileGetsLfLineEndsAndTheTableExtension)
{
    writeFile(dir_ / "notes.bin", macBinary(Header{}, "a\rb\r", "resource fork"));
    std::string name;
    std::uint32_t creator = 0, type = 0;
    ASSERT_EQ(decode("notes.bin", &name, &creator, &type), QELError_NoErr);
    EXPECT_EQ(name, "notes.txt");
    EXPECT_EQ(creator, code("ttxt"));
    EXPECT_EQ(type, code("TEXT"));
    EXPECT_EQ(readFile(dir_ / "notes.txt"), "a\nb\n");
    EXPECT_EQ(listDir(dir_), std::set<std::string>{"notes.txt"});
    EXPECT_EQ(fs::status(dir_ / "notes.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(MacBinaryDecodeTest, NamesChosenFromTheTable)
{
    const std::string binary("PK\x03\x04\r\n\r\0tail", 12);
    struct Case {
        const char *input;
        std::uint32_t creator, type;
        std::string data;
        const char *output;
        std::string expected;
    } cases[] = {
        {"readme.txt", code("XYZW"), code("TEXT"), "x\r\ny", "readme.txt", "x\ny"},
        {"x", code("SIT!"), code("BINA"), binary, "x.zip", binary},
        {"file.dat", code("XYZW"), code("ABCD"), binary, "file.dat", binary},
        {"paper.old", code("MSWD"), code("W8BN"), binary, "paper.doc", binary},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        Header h;
        h.creator = c.creator;
        h.type = c.type;
        writeFile(dir_ / c.input, macBinary(h, c.data));
        std::string name;
        ASSERT_EQ(decode(c.input, &name, nullptr, nullptr, true), QELError_NoErr);
        EXPECT_EQ(name, c.output);
        EXPECT_EQ(readFile(dir_ / c.output), c.expected);
        EXPECT_EQ(listDir(dir_), std::set<std::string>{c.output});
    }
}

TEST_F(MacBinaryDecodeTest, ExistingFilesAreNeverReplaced)
{
    std::ofstream(dir_ / "temp1.tmp") << "first temp";
    std::ofstream(dir_ / "notes.txt") << "older notes";
    writeFile(dir_ / "notes.bin", macBinary(Header{}, "new\r"));
    std::string name;
    ASSERT_EQ(decode("notes.bin", &name), QELError_NoErr);
    EXPECT_EQ(name, "notes1.txt");
    EXPECT_EQ(readFile(dir_ / "notes1.txt"), "new\n");
    EXPECT_EQ(readFile(dir_ / "notes.txt"), "older notes");
    EXPECT_EQ(readFile(dir_ / "temp1.tmp"), "first temp");
    EXPECT_EQ(listDir(dir_), (std::set<std::string>{"notes.txt", "notes1.txt", "temp1.tmp"}));
}

TEST_F(MacBinaryDecodeTest, HostileHeadersAreRefusedAndNothingIsLost)
{
    struct Case {
        const char *what;
        Header header;
        std::size_t truncateTo; // 0: keep the whole file
        QELStatus status;
    } cases[] = {
        {"reader version 0x82", [] { Header h; h.versionNeeded = 0x82; return h; }(), 0,
         QELError_MacBinaryCRCError},
        {"writer version 0x80", [] { Header h; h.versionWritten = 0x80; return h; }(), 0,
         QELError_MacBinaryCRCError},
        {"bad CRC", [] { Header h; h.breakCrc = true; return h; }(), 0,
         QELError_MacBinaryCRCError},
        {"name length 64", [] { Header h; h.nameLength = 64; return h; }(), 0,
         QELError_MacBinaryCRCError},
        {"empty data fork", [] { Header h; h.dataLength = 0; return h; }(), 0, 0},
        {"data longer than the file", [] { Header h; h.dataLength = 1000; return h; }(), 0,
         QELError_EOF},
        {"absurd data length", [] { Header h; h.dataLength = 0xFFFFFFFF; return h; }(), 0,
         QELError_EOF},
        {"truncated data", Header{}, 130, QELError_EOF},
        {"truncated header", Header{}, 100, QELError_EOF},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        std::string data = c.status == 0 ? "" : "some text\r";
        Bytes file = macBinary(c.header, data);
        if (c.status == 0) {
            // A zero data fork length in an otherwise valid header.
            file = macBinary(c.header, "");
        }
        if (c.truncateTo != 0)
            file.resize(c.truncateTo);
        writeFile(dir_ / "in.bin", file);
        std::string name = "unchanged";
        std::uint32_t creator = 1;
        QELStatus expected = c.status == 0 ? QELError_MacBinaryHeaderError : c.status;
        EXPECT_EQ(decode("in.bin", &name, &creator), expected);
        EXPECT_EQ(name, "");
        EXPECT_EQ(listDir(dir_), std::set<std::string>{"in.bin"});
        std::string kept = readFile(dir_ / "in.bin");
        EXPECT_EQ(kept, std::string(file.begin(), file.end()));
    }

    EXPECT_EQ(decode("missing.bin", nullptr), QELError_FileNotFound);
    QELFileSpec *decoded = nullptr;
    EXPECT_EQ(qelMacBinaryDecode(nullptr, &decoded, nullptr, nullptr), QELError_BadParams);
    EXPECT_EQ(decoded, nullptr);
}

// The MacBinary file sits in a sticky directory that anyone may write to
// but that is not the caller's: the decoded copy can be made, the original
// cannot be removed. The decode must fail and leave only the original.
std::string g_stickyFile;

int decodeWhereTheOriginalCannotGo()
{
    QELFileSpec *spec = nullptr;
    if (qelFileSpecNewFromPath(qelMemMgrGetGlobal(), g_stickyFile.c_str(), &spec) != QELError_NoErr)
        return 2;
    QELFileSpec *decoded = nullptr;
    const QELStatus status = qelMacBinaryDecode(spec, &decoded, nullptr, nullptr);
    static_cast<void>(qelFileSpecFree(spec)); // the child exits next
    if (status == QELError_NoErr || decoded != nullptr)
        return 3;
    return listDir(fs::path(g_stickyFile).parent_path()) == std::set<std::string>{"in.bin"} ? 0 : 4;
}

TEST(MacBinaryDecodeSticky, OriginalThatCannotBeRemovedFailsTheDecode)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand the directory to another user";
    char pattern[] = "/tmp/qelmbsticky.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    fs::permissions(dir, fs::perms::all | fs::perms::sticky_bit);
    g_stickyFile = (dir / "in.bin").string();
    writeFile(g_stickyFile, macBinary(Header{}, "line\r"));
    fs::permissions(g_stickyFile, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                       fs::perms::others_read);
    const int result = qeltest::runInChild(decodeWhereTheOriginalCannotGo, true);
    fs::remove_all(dir);
    if (result == 90)
        GTEST_SKIP() << "could not drop root's rights";
    EXPECT_EQ(result, 0);
}

}  // namespace
