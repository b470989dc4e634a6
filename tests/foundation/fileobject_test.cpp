#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class FileObjectTest : public qeltest::SDKHomeTest {
protected:
    FileObjectTest() : SDKHomeTest("qelfileobject_test") {}
    void SetUp() override
    {
        SDKHomeTest::SetUp();
        file_ = dir() + "/f";
    }
    std::string onDisk() { return qeltest::readFile(file_); }
    std::string file_;
};

TEST_F(FileObjectTest, StreamReadSeekAndErrors)
{
    std::ofstream(file_) << "0123456789";
    QELFileObject *f = qelFileObjOpenRead(context_, std::fopen(file_.c_str(), "rb"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getSize(f), 10);
    char buf[16] = {};
    EXPECT_EQ(f->read(buf, 10, f), 10u);
    EXPECT_TRUE(f->atEnd(f));
    // Plain end of file is no error.
    EXPECT_EQ(f->read(buf, 1, f), 0u);
    EXPECT_EQ(f->lastError(f), nullptr);

    EXPECT_EQ(f->seek(f, 0, QELFileSeek_End), 0);
    EXPECT_EQ(f->seek(f, 1, QELFileSeek_End), QELError_FileOpFailed);
    EXPECT_EQ(f->seek(f, -1, QELFileSeek_Start), QELError_FileOpFailed);
    EXPECT_EQ(f->seek(f, -4, QELFileSeek_Current), 0);
    EXPECT_EQ(f->tell(f), 6);
    EXPECT_EQ(f->read(buf, 4, f), 4u);
    EXPECT_EQ(std::string(buf, 4), "6789");

    EXPECT_EQ(f->write("x", 1, f), 0u);
    ASSERT_NE(f->lastError(f), nullptr);
    EXPECT_EQ(f->lastError(f)->status, QELError_FileLocked);
    EXPECT_EQ(f->lastError(f)->owner, f);
    f->clearError(f);
    EXPECT_EQ(f->lastError(f), nullptr);
    EXPECT_EQ(f->flush(f), QELError_FileLocked);
    EXPECT_EQ(f->switchToRead(f), QELError_FileLocked);
    EXPECT_EQ(f->copyCipher(f), nullptr);
    EXPECT_EQ(f->close(f), 0);
    EXPECT_EQ(qelFileObjNew(context_, nullptr, QELFileMode_Read), nullptr);
}

TEST_F(FileObjectTest, WrittenStreamSwitchesToReading)
{
    QELFileObject *f = qelFileObjOpenWrite(context_, std::fopen(file_.c_str(), "w+b"));
    ASSERT_NE(f, nullptr);
    char buf[16] = {};
    EXPECT_EQ(f->read(buf, 1, f), 0u);
    ASSERT_NE(f->lastError(f), nullptr);
    EXPECT_EQ(f->lastError(f)->status, QELError_IllegalFileOp);
    f->clearError(f);
    EXPECT_EQ(f->seek(f, 0, QELFileSeek_Start), QELError_IllegalFileOp);

    EXPECT_EQ(f->write("hello world", 11, f), 11u);
    EXPECT_EQ(f->tell(f), 11);
    EXPECT_TRUE(f->atEnd(f));
    ASSERT_EQ(f->switchToRead(f), 0);
    // Written data is flushed and reading continues at the object's position.
    EXPECT_EQ(onDisk(), "hello world");
    EXPECT_EQ(f->read(buf, 1, f), 0u);
    ASSERT_EQ(f->seek(f, 6, QELFileSeek_Start), 0);
    EXPECT_EQ(f->read(buf, 5, f), 5u);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(f->write("x", 1, f), 0u);
    EXPECT_EQ(f->close(f), 0);
    EXPECT_EQ(onDisk(), "hello world");
}

QELStatus countingCloseProc(std::FILE *stream, void *user)
{
    ++*static_cast<int *>(user);
    return std::fclose(stream) == 0 ? 0 : QELError_FileOpFailed;
}

TEST_F(FileObjectTest, CloseModes)
{
    // Kept open: the caller still owns the stream after close.
    std::FILE *stream = std::fopen(file_.c_str(), "wb");
    QELFileObject *f = qelFileObjOpenWriteKeep(context_, stream);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->write("abc", 3, f), 3u);
    EXPECT_EQ(f->close(f), 0);
    EXPECT_GE(std::fputs("def", stream), 0);
    EXPECT_EQ(std::fclose(stream), 0);

    int calls = 0;
    f = qelFileObjOpenWithCloseProc(context_, std::fopen(file_.c_str(), "ab"), countingCloseProc,
                                    &calls);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->write("!", 1, f), 1u);
    EXPECT_EQ(f->switchToRead(f), QELError_FileLocked); // not a stream it closes itself
    EXPECT_EQ(f->close(f), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(onDisk(), "abcdef!");
}

TEST_F(FileObjectTest, MemoryObject)
{
    QELFileObject *f = qelFileObjOpenMemory(context_, "0123456789", 10);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getSize(f), 0);
    char buf[16] = {};
    EXPECT_EQ(f->read(buf, 10, f), 10u);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(f->lastError(f), nullptr);
    EXPECT_EQ(f->read(buf, 1, f), 0u);
    ASSERT_NE(f->lastError(f), nullptr);
    EXPECT_EQ(f->lastError(f)->status, QELError_EOF);
    EXPECT_EQ(f->lastError(f)->platformError, 0);
    f->clearError(f);

    EXPECT_EQ(f->seek(f, -3, QELFileSeek_End), 0);
    EXPECT_EQ(f->write("abcde", 5, f), 5u);
    EXPECT_EQ(f->tell(f), 12);
    EXPECT_TRUE(f->atEnd(f));
    ASSERT_EQ(f->switchToRead(f), 0);
    EXPECT_EQ(f->read(buf, 12, f), 12u);
    EXPECT_EQ(std::string(buf, 12), "0123456abcde");

    // A write that cannot be stored reports that nothing was written.
    ASSERT_EQ(f->seek(f, 0xFFFFFFFFll - 1, QELFileSeek_Start), 0);
    EXPECT_EQ(f->write("abc", 3, f), 0u);
    ASSERT_NE(f->lastError(f), nullptr);
    EXPECT_EQ(f->lastError(f)->status, QELError_MemoryIOFull);
    EXPECT_EQ(f->seek(f, -100, QELFileSeek_Start), QELError_BadParams);
    EXPECT_EQ(f->copyCipher(f), nullptr);
    EXPECT_EQ(f->close(f), 0);
}

TEST(CharsetTest, Lookup)
{
    const std::uint8_t *decode = nullptr;
    const std::uint8_t *encode = nullptr;
    ASSERT_EQ(qelCharsetLookup("CP850", 5, &decode, &encode), 0);
    EXPECT_EQ(encode[0x82], 0xE9);
    EXPECT_EQ(decode[0xE9], 0x82);
    EXPECT_EQ(qelCharsetLookup("cp85", 4, &decode, &encode), QELError_UnknownCharset);
    EXPECT_EQ(decode, nullptr);
    EXPECT_EQ(qelCharsetLookup("cp850", 0, &decode, &encode), QELError_UnknownCharset);
    EXPECT_EQ(qelCharsetLookup("cp850x", 5, &decode, &encode), 0);
    EXPECT_EQ(qelCharsetLookup(nullptr, 5, &decode, &encode), QELError_BadParams);
    EXPECT_EQ(qelCharsetLookup("ascii", 5, nullptr, &encode), QELError_BadParams);
    for (const char *name : {"noconv", "ASCII", "Ebcdic"})
        EXPECT_EQ(qelCharsetLookup(name, std::strlen(name), &decode, &encode), 0) << name;
}

const std::uint8_t *encodeTable(const char *name)
{
    const std::uint8_t *decode = nullptr;
    const std::uint8_t *encode = nullptr;
    EXPECT_EQ(qelCharsetLookup(name, std::strlen(name), &decode, &encode), 0);
    return encode;
}

const std::uint8_t *decodeTable(const char *name)
{
    const std::uint8_t *decode = nullptr;
    const std::uint8_t *encode = nullptr;
    EXPECT_EQ(qelCharsetLookup(name, std::strlen(name), &decode, &encode), 0);
    return decode;
}

TEST(CharsetTest, PermutationsRoundTrip)
{
    for (const char *name : {"noconv", "cp850", "ebcdic"}) {
        std::array<std::uint8_t, 256> bytes{};
        for (int i = 0; i < 256; ++i)
            bytes[i] = static_cast<std::uint8_t>(i);
        qelCharsetTranslate(bytes.data(), bytes.size(), bytes.data(), encodeTable(name));
        std::array<bool, 256> seen{};
        for (std::uint8_t b : bytes)
            seen[b] = true;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256) << name;
        qelCharsetTranslate(bytes.data(), bytes.size(), bytes.data(), decodeTable(name));
        for (int i = 0; i < 256; ++i)
            EXPECT_EQ(bytes[i], i) << name;
    }
}

// The code points that Python's codec gives for each byte value.
std::array<int, 256> pythonCodec(const char *codec)
{
    std::string cmd = std::string("/usr/bin/python3 -c \"import sys; print(' '.join(str(ord(c)) "
                                  "for c in bytes(range(256)).decode('") +
                      codec + "')))\"";
    std::array<int, 256> out{};
    std::FILE *p = ::popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    std::string text;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0)
        text.append(buf, n);
    ::pclose(p);
    std::istringstream in(text);
    for (int &v : out)
        in >> v;
    return out;
}

TEST(CharsetTest, Cp850AgreesWithPython)
{
    if (::access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/python3";
    std::array<int, 256> py = pythonCodec("cp850");
    ASSERT_EQ(py[0x82], 0xE9);
    const std::uint8_t *enc = encodeTable("cp850");
    // Bytes whose characters Latin-1 has map to them, except for the few
    // that this table assigns differently on purpose.
    const std::array<int, 6> different = {0xE6, 0xEE, 0xF7, 0xFA, 0xE7, 0xE8};
    for (int b = 0; b < 256; ++b) {
        if (py[b] > 0xFF || std::find(different.begin(), different.end(), b) != different.end())
            continue;
        EXPECT_EQ(enc[b], py[b]) << "byte " << b;
    }
    struct Row {
        int from;
        int to;
    };
    for (Row r : {Row{0x81, 0xFC}, Row{0xE1, 0xDF}, Row{0xFF, 0xA0}, Row{0xB0, 0x9B},
                  Row{0xB3, 0x81}, Row{0xC4, 0x8E}, Row{0xE6, 0x91}, Row{0xEE, 0x8C},
                  Row{0xF7, 0x94}, Row{0xFA, 0x9C}, Row{0xC1, 0xB5}, Row{0xBB, 0xAF},
                  Row{0xBC, 0xB8}, Row{0xC0, 0xB7}, Row{0xE7, 0xDE}, Row{0xE8, 0xFE}})
        EXPECT_EQ(enc[r.from], r.to) << "byte " << r.from;
    // The characters Latin-1 lacks all sit in 0x80..0x9F.
    for (int b = 0x80; b < 0x100; ++b) {
        if (py[b] > 0xFF && b != 0xC1 && b != 0xBB && b != 0xBC && b != 0xC0) {
            EXPECT_TRUE(enc[b] >= 0x80 && enc[b] < 0xA0) << "byte " << b;
        }
    }
}

TEST(CharsetTest, EbcdicAgreesWithPythonCp500)
{
    if (::access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/python3";
    std::array<int, 256> py = pythonCodec("cp500");
    const std::uint8_t *enc = encodeTable("ebcdic");
    for (int b = 0; b < 256; ++b) {
        if (b == 0x6A || b == 0xBB)
            continue; // "|" sits at 0x6A here
        EXPECT_EQ(enc[b], py[b]) << "byte " << b;
    }
    const std::pair<int, int> rows[] = {{0x40, ' '}, {0xC1, 'A'}, {0x81, 'a'}, {0xF0, '0'},
                                        {0x4B, '.'}, {0x4A, '['}, {0x5A, ']'}, {0x5F, '^'},
                                        {0x6A, '|'}, {0x25, '\n'}, {0x05, '\t'}, {0x15, 0x85}};
    for (auto [from, to] : rows)
        EXPECT_EQ(enc[from], to) << "byte " << from;
}

TEST(CharsetTest, Latin1ToAscii)
{
    const std::uint8_t *dec = decodeTable("ascii");
    const std::uint8_t *enc = encodeTable("ascii");
    for (int b = 0; b < 0x80; ++b) {
        EXPECT_EQ(dec[b], b);
        EXPECT_EQ(enc[b], b);
    }
    EXPECT_EQ(dec[0x80], 0);
    for (int b = 0x81; b < 0xA0; ++b)
        EXPECT_EQ(dec[b], '?');
    for (int b = 0xC0; b <= 0xC5; ++b)
        EXPECT_EQ(dec[b], 'A');
    const std::pair<int, char> rows[] = {{0xE9, 'e'}, {0xD1, 'N'}, {0xDF, 's'}, {0xA0, ' '},
                                         {0xA9, 'C'}, {0xAB, '<'}, {0xB0, 'o'}, {0xD7, 'x'},
                                         {0xF7, '/'}};
    for (auto [from, to] : rows)
        EXPECT_EQ(dec[from], to) << "byte " << from;
    for (int b = 0xA0; b < 0x100; ++b)
        EXPECT_LT(dec[b], 0x80);

    const char text[] = "Caf\xE9 \xC0 la cr\xE8me";
    char out[sizeof(text)];
    qelCharsetTranslate(text, sizeof(text), out, dec);
    EXPECT_STREQ(out, "Cafe A la creme");
}

} // namespace
