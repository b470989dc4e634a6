#include "qelIOInternal.h"
#include "qelMemoryInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class IOTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelMemMgrNewHeap(&mgr_), 0); }
    void TearDown() override { static_cast<void>(qelMemMgrFree(mgr_)); }

    QELIO *memory()
    {
        QELIO *io = nullptr;
        EXPECT_EQ(qelMemoryIONew(mgr_, &io), 0);
        return io;
    }
    static std::string contents(QELIO *io)
    {
        std::int64_t size = 0;
        EXPECT_EQ(qelIOGetSize(io, &size), 0);
        std::string out(static_cast<std::size_t>(size), '\0');
        EXPECT_EQ(qelIOSetPos(io, 0), 0);
        if (size > 0) {
            EXPECT_EQ(qelIORead(io, static_cast<std::uint32_t>(size), out.data(), nullptr), 0);
        }
        return out;
    }
    static std::uint32_t capacity(QELIO *io) { return reinterpret_cast<QELMemoryIO *>(io)->capacity; }

    QELMemoryMgr *mgr_ = nullptr;
};

TEST_F(IOTest, GrowableMemoryGrowsByHalfOrToTheEnd)
{
    QELIO *io = memory();
    EXPECT_EQ(capacity(io), 512u);
    std::vector<std::uint8_t> bytes(2000, 0x5A);
    ASSERT_EQ(qelIOWrite(io, 513, bytes.data()), 0);
    EXPECT_EQ(capacity(io), 768u);
    EXPECT_EQ(qelIOFree(io), 0);

    io = memory();
    ASSERT_EQ(qelIOWrite(io, 2000, bytes.data()), 0);
    EXPECT_EQ(capacity(io), 2000u);
    std::int64_t pos = 0;
    EXPECT_EQ(qelIOGetPos(io, &pos), 0);
    EXPECT_EQ(pos, 2000);
    EXPECT_EQ(contents(io), std::string(2000, 'Z'));
    EXPECT_EQ(qelIOFree(io), 0);
}

// Read, write and seek cases against a memory object over a caller's
// 10-byte buffer "0123456789".
TEST_F(IOTest, FixedMemoryTable)
{
    struct Case {
        const char *name;
        std::int64_t seekTo;
        bool write;
        std::uint32_t count;
        QELStatus status;
        std::uint32_t reported;   // bytes read
        std::int64_t posAfter;
        const char *bufferAfter;
    };
    const Case cases[] = {
        {"read all", 0, false, 10, 0, 10, 10, "0123456789"},
        {"read past end", 0, false, 20, QELError_EOF, 10, 0, "0123456789"},
        {"read at end", 10, false, 1, QELError_EOF, 0, 10, "0123456789"},
        {"read beyond end", 50, false, 1, QELError_EOF, 0, 50, "0123456789"},
        {"overwrite middle", 3, true, 2, 0, 0, 5, "012ab56789"},
        {"write to the end", 8, true, 2, 0, 0, 10, "01234567ab"},
        {"write past capacity", 0, true, 11, QELError_MemoryIOFull, 0, 0, "0123456789"},
        {"write after end", 10, true, 1, QELError_MemoryIOFull, 0, 10, "0123456789"},
    };
    for (const Case &c : cases) {
        char buffer[11] = "0123456789";
        QELIO *io = nullptr;
        ASSERT_EQ(qelMemoryIONewOverBuffer(mgr_, buffer, 10, &io), 0);
        ASSERT_EQ(qelIOSetPos(io, c.seekTo), 0) << c.name;
        std::uint32_t got = 77;
        char data[32] = "abcdefghijklmnopqrstuvwxyz";
        if (c.write) {
            EXPECT_EQ(qelIOWrite(io, c.count, data), c.status) << c.name;
        } else {
            char out[32] = {};
            EXPECT_EQ(qelIORead(io, c.count, out, &got), c.status) << c.name;
            EXPECT_EQ(got, c.reported) << c.name;
            EXPECT_EQ(std::memcmp(out, buffer + std::min<std::int64_t>(c.seekTo, 10), got), 0);
        }
        std::int64_t pos = -1;
        EXPECT_EQ(qelIOGetPos(io, &pos), 0);
        EXPECT_EQ(pos, c.posAfter) << c.name;
        EXPECT_STREQ(buffer, c.bufferAfter) << c.name;
        std::int64_t size = 0;
        EXPECT_EQ(qelIOGetSize(io, &size), 0);
        EXPECT_EQ(size, 10);
        EXPECT_EQ(qelIOFree(io), 0);
    }
}

TEST_F(IOTest, ArgumentChecks)
{
    QELIO *io = memory();
    char b = 'x';
    EXPECT_EQ(qelIOWrite(io, 0, nullptr), QELError_BadParams);
    EXPECT_EQ(qelIOWrite(io, 0, &b), 0);
    EXPECT_EQ(qelIORead(io, 1, nullptr, nullptr), QELError_BadParams);
    EXPECT_EQ(qelIOSetPos(io, -1), QELError_BadParams);
    EXPECT_EQ(qelIOGetPos(io, nullptr), QELError_BadParams);
    EXPECT_EQ(qelIOFree(io), 0);

    QELIO fake{};
    std::int64_t value = 5;
    EXPECT_EQ(qelIOFree(nullptr), QELError_BadParams);
    EXPECT_EQ(qelIOFree(&fake), QELError_BadParams);
    EXPECT_EQ(qelIOGetSize(&fake, &value), QELError_BadParams);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(qelMemoryIONewOverBuffer(mgr_, nullptr, 4, &io), QELError_BadParams);
    EXPECT_EQ(io, nullptr);
    EXPECT_EQ(qelProxyIONew(&fake, 0, &io), QELError_BadParams);

    // The base class has no data operations.
    ASSERT_EQ(qelIONew(mgr_, qelIOBaseClass(), sizeof(QELIO), nullptr, &io), 0);
    EXPECT_EQ(qelIOWrite(io, 1, &b), QELError_IllegalFileOp);
    EXPECT_EQ(qelIORead(io, 1, &b, nullptr), QELError_IllegalFileOp);
    EXPECT_EQ(qelIOGetSize(io, &value), QELError_IllegalFileOp);
    EXPECT_EQ(qelIOFree(io), 0);
}

// A memory object keeps 32-bit positions: a write whose end does not fit is
// refused, not wrapped onto the start of the buffer.
TEST_F(IOTest, MemoryRefusesWritesPastThe32BitRange)
{
    QELIO *io = memory();
    const char data[8] = "abcdefg";
    ASSERT_EQ(qelIOWrite(io, 4, data), 0);
    ASSERT_EQ(qelIOSetPos(io, 0xFFFFFFFFll - 2), 0);
    EXPECT_EQ(qelIOWrite(io, 8, data), QELError_MemoryIOFull);
    ASSERT_EQ(qelIOSetPos(io, 0x100000000ll), 0);
    EXPECT_EQ(qelIOWrite(io, 1, data), QELError_MemoryIOFull);
    EXPECT_EQ(contents(io), "abcd");
    EXPECT_EQ(qelIOFree(io), 0);
}

TEST_F(IOTest, WriteAfterSeekPastTheEndZeroFillsTheGap)
{
    for (std::int64_t gapEnd : {300, 5000}) {
        QELIO *io = memory();
        ASSERT_EQ(qelIOWrite(io, 3, "abc"), 0);
        ASSERT_EQ(qelIOSetPos(io, gapEnd), 0);
        ASSERT_EQ(qelIOWrite(io, 1, "z"), 0);
        std::string expected = "abc" + std::string(static_cast<std::size_t>(gapEnd - 3), '\0') + "z";
        EXPECT_EQ(contents(io), expected);
        EXPECT_EQ(qelIOFree(io), 0);
    }
}

TEST_F(IOTest, CopyMovesEverythingInChunks)
{
    QELIO *src = memory();
    QELIO *dst = memory();
    std::string data;
    for (int i = 0; i < 100000; ++i)
        data.push_back(static_cast<char>(i * 7));
    ASSERT_EQ(qelIOWrite(src, static_cast<std::uint32_t>(data.size()), data.data()), 0);
    ASSERT_EQ(qelIOSetPos(src, 0), 0);
    ASSERT_EQ(qelIOCopy(src, data.size(), dst), 0);
    EXPECT_EQ(contents(dst), data);
    ASSERT_EQ(qelIOSetPos(src, 99990), 0);
    EXPECT_EQ(qelIOCopy(src, 20, dst), QELError_EOF);
    EXPECT_EQ(qelIOFree(src), 0);
    EXPECT_EQ(qelIOFree(dst), 0);
}

TEST_F(IOTest, ProxyForwardsAndOwnsItsInnerObject)
{
    QELIO *inner = memory();
    QELIO *proxy = nullptr;
    ASSERT_EQ(qelProxyIONew(inner, 1, &proxy), 0);
    ASSERT_EQ(qelIOWrite(proxy, 5, "hello"), 0);
    std::int64_t size = 0;
    EXPECT_EQ(qelIOGetSize(proxy, &size), 0);
    EXPECT_EQ(size, 5);
    ASSERT_EQ(qelIOSetPos(proxy, 1), 0);
    char out[4] = {};
    EXPECT_EQ(qelIORead(proxy, 4, out, nullptr), 0);
    EXPECT_EQ(std::string(out, 4), "ello");
    EXPECT_EQ(qelIOFree(proxy), 0); // frees the inner object too (leak checks)
}

struct LineEndCase {
    std::uint32_t mode;
    std::vector<std::string> writes;
    std::string expected;
};

TEST_F(IOTest, LineEndConverterTable)
{
    const LineEndCase cases[] = {
        {QELLineEnd_LF, {"a\r\nb\rc\n"}, "a\nb\nc\n"},
        {QELLineEnd_CRLF, {"a\nb"}, "a\r\nb"},
        {QELLineEnd_CR, {"a\r", "\nb"}, "a\rb"},
        {QELLineEnd_CRLF, {"x\r", "\n"}, "x\r\n"},
        {QELLineEnd_LF, {"\n\n\r\r"}, "\n\n\n\n"},
        {QELLineEnd_CR, {"plain"}, "plain"},
    };
    for (const LineEndCase &c : cases) {
        QELIO *inner = memory();
        QELIO *conv = nullptr;
        ASSERT_EQ(qelLineEndIONew(inner, 0, c.mode, &conv), 0);
        for (const std::string &w : c.writes)
            ASSERT_EQ(qelIOWrite(conv, static_cast<std::uint32_t>(w.size()), w.data()), 0);
        // The object's position counts output bytes.
        EXPECT_EQ(conv->pos, static_cast<std::int64_t>(c.expected.size()));
        EXPECT_EQ(qelIOFlush(conv), 0);
        EXPECT_EQ(contents(inner), c.expected) << c.writes[0];
        EXPECT_EQ(qelIOFree(conv), 0);
        EXPECT_EQ(qelIOFree(inner), 0);
    }
}

TEST_F(IOTest, LineEndConverterLargeWritesAndDestroy)
{
    std::string input;
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        input += "line\n";
        expected += "line\r\n";
    }
    QELIO *inner = memory();
    QELIO *conv = nullptr;
    ASSERT_EQ(qelLineEndIONew(inner, 1, QELLineEnd_CRLF, &conv), 0);
    ASSERT_EQ(qelIOWrite(conv, static_cast<std::uint32_t>(input.size()), input.data()), 0);
    // Output goes to the inner object in 4096-byte batches.
    std::int64_t innerSize = 0;
    ASSERT_EQ(qelIOGetSize(inner, &innerSize), 0);
    EXPECT_EQ(innerSize % 4096, 0);
    EXPECT_GT(innerSize, 0);
    ASSERT_EQ(qelIOFlush(conv), 0);
    EXPECT_EQ(contents(inner), expected);

    char out[3] = {1, 2, 3};
    std::uint32_t got = 9;
    EXPECT_EQ(qelIORead(conv, 3, out, &got), QELError_IllegalFileOp);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(out[0] | out[1] | out[2], 0);
    QELIO *bad = nullptr;
    EXPECT_EQ(qelLineEndIONew(inner, 0, 3, &bad), QELError_BadParams);
    EXPECT_EQ(bad, nullptr);
    EXPECT_EQ(qelIOFree(conv), 0); // frees the owned inner object
}

TEST_F(IOTest, LineEndConverterFlushesBeforeSeeking)
{
    QELIO *inner = memory();
    QELIO *conv = nullptr;
    ASSERT_EQ(qelLineEndIONew(inner, 0, QELLineEnd_LF, &conv), 0);
    ASSERT_EQ(qelIOWrite(conv, 3, "abc"), 0);
    ASSERT_EQ(qelIOSetPos(conv, 1), 0);
    ASSERT_EQ(qelIOWrite(conv, 1, "Z"), 0);
    EXPECT_EQ(qelIOFree(conv), 0); // destroy writes out what is buffered
    EXPECT_EQ(contents(inner), "aZc");
    EXPECT_EQ(qelIOFree(inner), 0);
}

class StdioIOTest : public IOTest {
protected:
    void SetUp() override
    {
        IOTest::SetUp();
        file_ = tmp_ / "f";
        std::ofstream(file_) << "0123456789";
    }
    std::string onDisk() { return qeltest::readFile(file_); }
    qeltest::TempDir tmp_{"qelio_test"};
    std::string file_;
};

TEST_F(StdioIOTest, ReadWriteSeekOverAStream)
{
    QELIO *io = nullptr;
    ASSERT_EQ(qelStdioIONew(mgr_, std::fopen(file_.c_str(), "r+b"), 1, &io), 0);
    std::int64_t size = 0;
    ASSERT_EQ(qelIOGetSize(io, &size), 0);
    EXPECT_EQ(size, 10);

    char out[16] = {};
    ASSERT_EQ(qelIORead(io, 4, out, nullptr), 0);
    EXPECT_EQ(std::string(out, 4), "0123");
    // Switching from reading to writing and back without a seek in between.
    ASSERT_EQ(qelIOWrite(io, 2, "ab"), 0);
    std::uint32_t got = 0;
    EXPECT_EQ(qelIORead(io, 10, out, &got), QELError_EOF);
    EXPECT_EQ(std::string(out, got), "6789");

    std::int64_t pos = 0;
    EXPECT_EQ(qelIOSetPos(io, 11), QELError_FileOpFailed);
    EXPECT_EQ(qelIOGetPos(io, &pos), 0);
    EXPECT_EQ(pos, 6); // a refused seek leaves the position alone
    ASSERT_EQ(qelIOSetPos(io, 10), 0);
    ASSERT_EQ(qelIOWrite(io, 3, "XYZ"), 0);
    ASSERT_EQ(qelIOGetSize(io, &size), 0);
    EXPECT_EQ(size, 13);
    EXPECT_EQ(qelIOFlush(io), 0);
    EXPECT_EQ(qelIOFree(io), 0); // closes the stream
    EXPECT_EQ(onDisk(), "0123ab6789XYZ");
}

// Read, write and seek cases against a stdio object over the 10-byte file
// "0123456789" opened for update.
TEST_F(StdioIOTest, StdioTable)
{
    struct Case {
        const char *name;
        std::int64_t seekTo;
        QELStatus seekStatus;
        bool write;
        std::uint32_t count;
        QELStatus status;
        std::uint32_t reported;
        std::int64_t posAfter;
        std::int64_t sizeAfter;
        const char *fileAfter;
    };
    const Case cases[] = {
        {"read all", 0, 0, false, 10, 0, 10, 10, 10, "0123456789"},
        {"short read", 7, 0, false, 5, QELError_EOF, 3, 7, 10, "0123456789"},
        {"read at end", 10, 0, false, 1, QELError_EOF, 0, 10, 10, "0123456789"},
        {"seek past end", 11, QELError_FileOpFailed, false, 2, 0, 2, 2, 10, "0123456789"},
        {"overwrite", 4, 0, true, 2, 0, 0, 6, 10, "0123ab6789"},
        {"extend", 8, 0, true, 4, 0, 0, 12, 12, "01234567abcd"},
        {"append at end", 10, 0, true, 1, 0, 0, 11, 11, "0123456789a"},
    };
    for (const Case &c : cases) {
        std::ofstream(file_, std::ios::trunc) << "0123456789";
        QELIO *io = nullptr;
        ASSERT_EQ(qelStdioIONew(mgr_, std::fopen(file_.c_str(), "r+b"), 1, &io), 0);
        EXPECT_EQ(qelIOSetPos(io, c.seekTo), c.seekStatus) << c.name;
        char out[16] = {};
        std::uint32_t got = 99;
        if (c.write) {
            EXPECT_EQ(qelIOWrite(io, c.count, "abcdefgh"), c.status) << c.name;
        } else {
            EXPECT_EQ(qelIORead(io, c.count, out, &got), c.status) << c.name;
            EXPECT_EQ(got, c.reported) << c.name;
        }
        std::int64_t pos = -1;
        std::int64_t size = -1;
        EXPECT_EQ(qelIOGetPos(io, &pos), 0);
        EXPECT_EQ(qelIOGetSize(io, &size), 0);
        EXPECT_EQ(pos, c.posAfter) << c.name;
        EXPECT_EQ(size, c.sizeAfter) << c.name;
        EXPECT_EQ(qelIOAtEnd(io), pos >= size) << c.name;
        EXPECT_EQ(qelIOFree(io), 0);
        EXPECT_EQ(onDisk(), c.fileAfter) << c.name;
    }
}

TEST_F(StdioIOTest, WriteToAReadOnlyStreamFails)
{
    QELIO *io = nullptr;
    ASSERT_EQ(qelStdioIONew(mgr_, std::fopen(file_.c_str(), "rb"), 1, &io), 0);
    EXPECT_EQ(qelIOWrite(io, 1, "q"), QELError_WriteFailed);
    EXPECT_EQ(qelIOFree(io), 0);
    EXPECT_EQ(onDisk(), "0123456789");
    EXPECT_EQ(qelStdioIONew(mgr_, nullptr, 1, &io), QELError_BadParams);
    EXPECT_EQ(io, nullptr);
}

} // namespace
