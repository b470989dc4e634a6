// Byte FIFOs against a std::deque model on random sequences of writes,
// peeks, skips, reads and clears, for every class; the chunk and spill
// boundaries; and the File Fifo's promises: nothing readable on disk, no file
// left behind on any path, counts and failures kept apart.
#include "qelByteFifoInternal.h"
#include "qelContextInternal.h"
#include "qelFileFifoInternal.h"
#include "qelFlexFifoInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

const auto *const gEnv = qeltest::addHomeEnvironment("qelfifo", qeltest::HomeEnvironment::SDK::Up);

namespace fs = std::filesystem;

class FifoTest : public ::testing::TestWithParam<const QELFifoDescriptor *(*)()> {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override { EXPECT_EQ(qelContextFree(context_), QELError_NoErr); }
    QELContext *context_ = nullptr;
};

// Temporary files named by the FIFO's template in the test's TMP directory.
int tempFilesLeft()
{
    int n = 0;
    for (const auto &e : fs::directory_iterator(std::getenv("TMP")))
        if (e.path().filename().string().rfind("ptmp", 0) == 0)
            ++n;
    return n;
}

// The bytes of every open, unlinked temporary file of this process.
std::vector<std::string> openTempFileContents()
{
    std::vector<std::string> out;
    for (const auto &e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        fs::path target = fs::read_symlink(e.path(), ec);
        if (ec || target.string().find("/ptmp") == std::string::npos)
            continue;
        std::ifstream in(e.path(), std::ios::binary);
        out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

TEST_P(FifoTest, MatchesADequeOnRandomOperations)
{
    const QELFifoDescriptor *kind = GetParam()();
    std::mt19937_64 rng(0xF1F0 + std::hash<std::string>{}(kind->name));
    QELFifo *fifo = kind->create(context_);
    ASSERT_NE(fifo, nullptr);
    std::deque<std::uint8_t> model;
    std::vector<std::uint8_t> buf;
    std::uint8_t next = 0;
    std::uint64_t lastPeek = 0;
    for (int step = 0; step < 3000; ++step) {
        int op = int(rng() % 100);
        QELStatus status = 0;
        if (op < 35) {
            // Mostly small writes, sometimes one that crosses chunks or the spill.
            std::size_t n = rng() % 8 == 0 ? rng() % 70000 : rng() % 3000;
            buf.resize(n);
            for (auto &b : buf)
                b = next++;
            ASSERT_EQ(kind->write(fifo, buf.data(), n, &status), n);
            ASSERT_EQ(status, 0);
            model.insert(model.end(), buf.begin(), buf.end());
            lastPeek = 0;
        } else if (op < 60) {
            std::uint64_t available = 0;
            const std::uint8_t *p = kind->peek(fifo, &available, &status);
            ASSERT_EQ(status, 0);
            if (model.empty()) {
                ASSERT_EQ(p, nullptr);
                ASSERT_EQ(available, 0u);
            } else {
                ASSERT_NE(p, nullptr);
                ASSERT_GT(available, 0u);
                ASSERT_LE(available, model.size());
                ASSERT_TRUE(std::equal(p, p + available, model.begin()));
            }
            lastPeek = available;
        } else if (op < 75) {
            if (lastPeek == 0)
                continue;
            std::uint64_t n = rng() % 4 == 0 ? lastPeek : rng() % (lastPeek + 1);
            kind->skip(fifo, n);
            model.erase(model.begin(), model.begin() + std::ptrdiff_t(n));
            lastPeek = 0;
        } else if (op < 97) {
            std::size_t n = rng() % 4 == 0 ? rng() % 80000 : rng() % 5000;
            buf.assign(n, 0);
            std::uint64_t got = kind->read(fifo, buf.data(), n, &status);
            ASSERT_EQ(status, 0);
            ASSERT_EQ(got, std::min<std::uint64_t>(n, model.size()));
            ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + std::ptrdiff_t(got), model.begin()));
            model.erase(model.begin(), model.begin() + std::ptrdiff_t(got));
            lastPeek = 0;
        } else {
            kind->clear(fifo);
            model.clear();
            lastPeek = 0;
        }
        ASSERT_EQ(kind->size(fifo), model.size()) << "step " << step;
    }
    // Drain what is left and check it once more.
    std::vector<std::uint8_t> rest(model.size() + 10);
    QELStatus status = 0;
    ASSERT_EQ(kind->read(fifo, rest.data(), rest.size(), &status), model.size());
    EXPECT_TRUE(std::equal(model.begin(), model.end(), rest.begin()));
    EXPECT_EQ(kind->size(fifo), 0u);
    kind->destroy(fifo);
    EXPECT_EQ(tempFilesLeft(), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryClass, FifoTest,
                         ::testing::Values(qelByteFifoDescriptor, qelSecureByteFifoDescriptor, qelFileFifoDescriptor,
                                           qelFlexFifoDescriptor),
                         [](const auto &info) {
                             std::string name;
                             for (char ch : std::string(info.param()->name))
                                 if (std::isalnum(static_cast<unsigned char>(ch)))
                                     name += ch;
                             return name;
                         });

TEST_F(FifoTest, ClassNames)
{
    EXPECT_STREQ(qelByteFifoDescriptor()->name, "Byte Fifo");
    EXPECT_STREQ(qelSecureByteFifoDescriptor()->name, "Secure Byte Fifo");
    EXPECT_STREQ(qelFileFifoDescriptor()->name, "File Fifo");
    EXPECT_STREQ(qelFlexFifoDescriptor()->name, "Flex Byte/File Fifo");
}

TEST_F(FifoTest, MemoryChunkBoundary)
{
    const QELFifoDescriptor *kind = qelByteFifoDescriptor();
    QELFifo *fifo = kind->create(context_);
    std::vector<std::uint8_t> data(QELByteFifoChunkData + 1, 7);
    ASSERT_EQ(kind->write(fifo, data.data(), QELByteFifoChunkData, nullptr), QELByteFifoChunkData);
    std::uint64_t available = 0;
    ASSERT_NE(kind->peek(fifo, &available, nullptr), nullptr);
    EXPECT_EQ(available, QELByteFifoChunkData);
    ASSERT_EQ(kind->write(fifo, data.data(), 1, nullptr), 1u);
    EXPECT_EQ(kind->size(fifo), 8185u);
    ASSERT_NE(kind->peek(fifo, &available, nullptr), nullptr);
    EXPECT_EQ(available, QELByteFifoChunkData); // the rest of the first chunk
    kind->skip(fifo, available);
    ASSERT_NE(kind->peek(fifo, &available, nullptr), nullptr);
    EXPECT_EQ(available, 1u);
    kind->skip(fifo, 1);
    EXPECT_EQ(kind->peek(fifo, &available, nullptr), nullptr);
    EXPECT_EQ(kind->size(fifo), 0u);
    ASSERT_EQ(kind->write(fifo, data.data(), 3, nullptr), 3u);
    EXPECT_EQ(kind->size(fifo), 3u);
    kind->destroy(fifo);
}

TEST_F(FifoTest, FlexSpillsPastTheThresholdAndKeepsItsContents)
{
    const QELFifoDescriptor *kind = qelFlexFifoDescriptor();
    QELFifo *fifo = kind->create(context_);
    std::string data(QELFlexFifoThreshold + 100 + QELFileFifoTransfer, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + 3);
    ASSERT_EQ(kind->write(fifo, data.data(), QELFlexFifoThreshold, nullptr), QELFlexFifoThreshold);
    EXPECT_TRUE(openTempFileContents().empty()); // still in memory
    QELStatus status = 0;
    ASSERT_EQ(kind->write(fifo, data.data() + QELFlexFifoThreshold, 100, &status), 100u);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(kind->size(fifo), QELFlexFifoThreshold + 100);
    EXPECT_EQ(openTempFileContents().size(), 1u); // spilled: one temporary file, unlinked
    // Once more than the File Fifo's tail is written, the file holds the
    // bytes, and no plaintext.
    const std::size_t rest = data.size() - QELFlexFifoThreshold - 100;
    ASSERT_EQ(kind->write(fifo, data.data() + QELFlexFifoThreshold + 100, rest, &status), rest);
    EXPECT_EQ(kind->size(fifo), data.size());
    auto files = openTempFileContents();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GE(files[0].size(), QELFileFifoTransfer);
    EXPECT_EQ(files[0].find(data.substr(1000, 32)), std::string::npos);
    EXPECT_EQ(tempFilesLeft(), 0);
    std::string back(data.size(), '\0');
    ASSERT_EQ(kind->read(fifo, back.data(), back.size(), &status), data.size());
    EXPECT_EQ(back, data);
    // Cleared, it is a memory FIFO again.
    kind->clear(fifo);
    EXPECT_TRUE(openTempFileContents().empty());
    ASSERT_EQ(kind->write(fifo, "abc", 3, nullptr), 3u);
    EXPECT_EQ(kind->size(fifo), 3u);
    kind->destroy(fifo);
}

TEST_F(FifoTest, FileFifoReusesItsFileAndStaysInStepAfterClear)
{
    const QELFifoDescriptor *kind = qelFileFifoDescriptor();
    QELFifo *fifo = kind->create(context_);
    ASSERT_NE(fifo, nullptr);
    EXPECT_EQ(tempFilesLeft(), 0); // unlinked at once
    std::string a(2 * QELFileFifoTransfer + 20000, 'a'), b = "next bytes", c = "after clear";
    for (std::size_t i = 0; i < a.size(); ++i)
        a[i] = char(i * 13 + i / 251);
    std::string back(a.size(), '\0');
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(kind->write(fifo, a.data(), a.size(), nullptr), a.size());
        // Only whole transfers reach the file; the second round overwrites
        // the first from offset 0 instead of growing the file.
        EXPECT_EQ(openTempFileContents().at(0).size(), 2 * QELFileFifoTransfer);
        ASSERT_EQ(kind->read(fifo, back.data(), back.size(), nullptr), a.size());
        EXPECT_EQ(back, a);
    }
    ASSERT_EQ(kind->write(fifo, b.data(), b.size(), nullptr), b.size());
    std::uint64_t available = 0;
    const std::uint8_t *p = kind->peek(fifo, &available, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(p), available), b);
    // Clear with bytes unread, then write again: read back unchanged.
    ASSERT_EQ(kind->write(fifo, a.data(), 5000, nullptr), 5000u);
    kind->clear(fifo);
    EXPECT_EQ(kind->size(fifo), 0u);
    ASSERT_EQ(kind->write(fifo, c.data(), c.size(), nullptr), c.size());
    back.assign(c.size(), '\0');
    ASSERT_EQ(kind->read(fifo, back.data(), back.size(), nullptr), c.size());
    EXPECT_EQ(back, c);
    kind->destroy(fifo);
    EXPECT_TRUE(openTempFileContents().empty());
    EXPECT_EQ(tempFilesLeft(), 0);
}

TEST_F(FifoTest, FileFifoWithoutATemporaryDirectoryIsNotMade)
{
    std::string saved = std::getenv("TMP");
    setenv("TMP", (saved + "/missing").c_str(), 1);
    EXPECT_EQ(qelFileFifoDescriptor()->create(context_), nullptr);
    QELFifo *flex = qelFlexFifoDescriptor()->create(context_);
    ASSERT_NE(flex, nullptr);
    std::string data(QELFlexFifoThreshold + 1, 'x');
    QELStatus status = 0;
    // The spill fails: the memory keeps what it took, the failure is a status.
    EXPECT_EQ(qelFlexFifoDescriptor()->write(flex, data.data(), data.size(), &status), 0u);
    EXPECT_EQ(status, QELError_OutOfMemory);
    setenv("TMP", saved.c_str(), 1);
    qelFlexFifoDescriptor()->destroy(flex);
    EXPECT_EQ(tempFilesLeft(), 0);
}

// A full disk: the write reports how much it took and the failure apart
// (never a negative count), later operations keep reporting it, and the file
// still disappears.
TEST_F(FifoTest, FileFifoFullDiskIsAStatusNotACount)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const QELFifoDescriptor *kind = qelFileFifoDescriptor();
    QELFifo *fifo = kind->create(context_);
    ASSERT_NE(fifo, nullptr);
    rlimit small = saved;
    small.rlim_cur = 3 * QELFileFifoBlock;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string data(10 * QELFileFifoBlock, 'd');
    QELStatus status = 0;
    std::uint64_t taken = kind->write(fifo, data.data(), data.size(), &status);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(status, QELError_WriteFailed);
    EXPECT_LT(taken, data.size());
    EXPECT_EQ(taken % QELFileFifoBlock, 0u);
    status = 0;
    EXPECT_EQ(kind->write(fifo, "x", 1, &status), 0u);
    EXPECT_EQ(status, QELError_WriteFailed);
    kind->destroy(fifo);
    EXPECT_TRUE(openTempFileContents().empty());
    EXPECT_EQ(tempFilesLeft(), 0);
}

// A file that loses bytes under the FIFO (here truncated behind its back):
// the read reports the failure as a status beside what it could return, and
// every later operation keeps reporting it.
TEST_F(FifoTest, FileFifoReadErrorIsLatched)
{
    const QELFifoDescriptor *kind = qelFileFifoDescriptor();
    QELFifo *fifo = kind->create(context_);
    ASSERT_NE(fifo, nullptr);
    std::string data(3 * QELFileFifoTransfer, 'r');
    ASSERT_EQ(kind->write(fifo, data.data(), data.size(), nullptr), data.size());
    int truncated = 0;
    for (const auto &e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec).string().find("/ptmp") == std::string::npos || ec)
            continue;
        int fd = ::open(e.path().c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, 0), 0);
        ::close(fd);
        ++truncated;
    }
    ASSERT_EQ(truncated, 1);
    std::string back(data.size(), '\0');
    QELStatus status = 0;
    EXPECT_LT(kind->read(fifo, back.data(), back.size(), &status), data.size());
    EXPECT_EQ(status, QELError_ReadFailed);
    status = 0;
    EXPECT_EQ(kind->write(fifo, "x", 1, &status), 0u);
    EXPECT_EQ(status, QELError_ReadFailed);
    status = 0;
    std::uint64_t available = 1;
    EXPECT_EQ(kind->peek(fifo, &available, &status), nullptr);
    EXPECT_EQ(available, 0u);
    EXPECT_EQ(status, QELError_ReadFailed);
    kind->destroy(fifo);
    EXPECT_EQ(tempFilesLeft(), 0);
}

} // namespace
