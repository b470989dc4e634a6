#include "qelContextInternal.h"
#include "qelFileSpecInternal.h"
#include "qelIOInternal.h"
#include "qelMemoryInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelRandomSeedFileInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class SeedFileTest : public qeltest::HomeTest {
protected:
    SeedFileTest() : HomeTest("qelseedfile_test") {}
    void SetUp() override
    {
        HomeTest::SetUp();
        seed_ = dir() + "/randseed.rnd";
    }
    void TearDown() override
    {
        while (qelSDKIsInitialized())
            static_cast<void>(qelSDKCleanup());
    }
    static void start() { ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), 0); }
    // A context freed saves the seed file; returns the save status.
    static QELStatus contextRoundTrip()
    {
        QELContext *ctx = nullptr;
        EXPECT_EQ(qelContextNew(QELSDKVersion, &ctx), 0);
        return qelContextFree(ctx);
    }
    static std::string read(const std::string &path) { return qeltest::readFile(path); }
    static void write(const std::string &path, const std::string &bytes) { qeltest::writeFile(path, bytes); }

    std::string seed_;
};

TEST_F(SeedFileTest, WrittenAtContextFreeAndReadAtNextStartUp)
{
    start();
    EXPECT_FALSE(fs::exists(seed_)); // missing at start-up: nothing loaded
    EXPECT_FALSE(qelRandomPoolIsSeeded());
    ASSERT_EQ(contextRoundTrip(), 0);
    ASSERT_TRUE(fs::exists(seed_));
    EXPECT_EQ(fs::file_size(seed_), 512u);
    EXPECT_EQ(fs::status(seed_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    std::string first = read(seed_);
    EXPECT_NE(first, std::string(512, '\0'));
    ASSERT_EQ(qelSDKCleanup(), 0);

    start();
    // Loaded (and so seeding the pool), then overwritten with fresh bytes.
    EXPECT_TRUE(qelRandomPoolIsSeeded());
    std::string second = read(seed_);
    EXPECT_EQ(second.size(), 512u);
    EXPECT_NE(second, first);
    ASSERT_EQ(contextRoundTrip(), 0);
    EXPECT_NE(read(seed_), second);
    ASSERT_EQ(qelSDKCleanup(), 0);
    EXPECT_FALSE(qelRandomPoolIsSeeded());
}

TEST_F(SeedFileTest, LoadedFilesOfSeveralSizes)
{
    struct Case {
        std::size_t size;
        bool seeds;
        std::size_t sizeAfter;
    };
    for (const Case &c : {Case{20, false, 512}, Case{512, true, 512}, Case{2000, true, 2000}}) {
        const std::string original(c.size, '\xAB');
        write(seed_, original);
        start();
        EXPECT_EQ(qelRandomPoolIsSeeded(), c.seeds) << c.size;
        std::string loaded = read(seed_);
        ASSERT_EQ(loaded.size(), c.sizeAfter) << c.size;
        // Every byte loaded is rewritten: no 16-byte stretch of the old
        // pattern is left.
        EXPECT_EQ(loaded.find(std::string(16, '\xAB')), std::string::npos) << c.size;

        if (c.size == 2000) {
            // Saving replaces only the first 512 bytes of a longer file.
            ASSERT_EQ(contextRoundTrip(), 0);
            std::string saved = read(seed_);
            ASSERT_EQ(saved.size(), 2000u);
            EXPECT_NE(saved.substr(0, 512), loaded.substr(0, 512));
            EXPECT_EQ(saved.substr(512), loaded.substr(512));
        }
        ASSERT_EQ(qelSDKCleanup(), 0);
        fs::remove(seed_);
    }
}

TEST_F(SeedFileTest, LocationFromTheEnvironment)
{
    // A trailing slash in QELPATH still gets its own "/".
    ::setenv("QELPATH", (dir() + "/").c_str(), 1);
    start();
    ASSERT_EQ(contextRoundTrip(), 0);
    EXPECT_TRUE(fs::exists(seed_));
    ASSERT_EQ(qelSDKCleanup(), 0);

    // Without QELPATH: $HOME/.qel/, which is not created.
    ::unsetenv("QELPATH");
    start();
    EXPECT_EQ(contextRoundTrip(), QELError_CantOpenFile);
    ASSERT_EQ(qelSDKCleanup(), 0);
    fs::create_directory(dir() + "/.qel");
    start();
    ASSERT_EQ(contextRoundTrip(), 0);
    EXPECT_EQ(fs::file_size(dir() + "/.qel/randseed.rnd"), 512u);
    ASSERT_EQ(qelSDKCleanup(), 0);

    // Neither: the current directory.
    ::unsetenv("HOME");
    fs::path old = fs::current_path();
    fs::create_directory(dir() + "/cwd");
    fs::current_path(dir() + "/cwd");
    start();
    QELStatus status = contextRoundTrip();
    ASSERT_EQ(qelSDKCleanup(), 0);
    fs::current_path(old);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(fs::file_size(dir() + "/cwd/randseed.rnd"), 512u);
    ::setenv("HOME", dir().c_str(), 1);
    ::setenv("QELPATH", dir().c_str(), 1);
}

TEST_F(SeedFileTest, SelectingAnotherFileSavesAndLoads)
{
    start();
    QELFileSpec *other = nullptr;
    ASSERT_EQ(qelFileSpecNewFromPath(qelMemMgrGetGlobal(), (dir() + "/other.rnd").c_str(), &other),
              0);
    write(dir() + "/other.rnd", std::string(100, 'x'));
    ASSERT_EQ(qelRandomSeedFileSelect(other), 0);
    EXPECT_TRUE(qelRandomPoolIsSeeded());
    EXPECT_EQ(fs::file_size(dir() + "/other.rnd"), 512u);
    // Selecting the same file again changes nothing.
    std::string before = read(dir() + "/other.rnd");
    ASSERT_EQ(qelRandomSeedFileSelect(other), 0);
    EXPECT_EQ(read(dir() + "/other.rnd"), before);
    EXPECT_EQ(qelFileSpecFree(other), 0);
    EXPECT_EQ(qelRandomSeedFileSelect(nullptr), QELError_BadParams);
    ASSERT_EQ(qelSDKCleanup(), 0);
}

TEST_F(SeedFileTest, WriteAndFeedThroughIOObjects)
{
    start();
    QELMemoryMgr *mgr = qelMemMgrGetGlobal();
    QELIO *io = nullptr;
    ASSERT_EQ(qelMemoryIONew(mgr, &io), 0);
    std::uint32_t written = 0;
    ASSERT_EQ(qelRandomWriteToIO(io, nullptr, 0, &written), 0);
    EXPECT_EQ(written, 512u);
    ASSERT_EQ(qelRandomWriteToIO(io, nullptr, 700, &written), 0);
    EXPECT_EQ(written, 700u);
    std::int64_t size = 0;
    ASSERT_EQ(qelIOGetSize(io, &size), 0);
    EXPECT_EQ(size, 1212);

    ASSERT_EQ(qelIOSetPos(io, 100), 0);
    QELRandomContext global{};
    qelRandomContextInitGlobal(&global);
    EXPECT_EQ(qelRandomFeedFromIO(io, &global), 0);
    std::int64_t pos = 0;
    ASSERT_EQ(qelIOGetPos(io, &pos), 0);
    EXPECT_EQ(pos, 100);
    EXPECT_EQ(qelIOFree(io), 0);

    // A write error stops the writing.
    char small[100];
    ASSERT_EQ(qelMemoryIONewOverBuffer(mgr, small, sizeof(small), &io), 0);
    EXPECT_EQ(qelRandomWriteToIO(io, nullptr, 0, &written), QELError_MemoryIOFull);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(qelIOFree(io), 0);
    EXPECT_EQ(qelRandomWriteToIO(nullptr, nullptr, 0, &written), QELError_BadParams);
    ASSERT_EQ(qelSDKCleanup(), 0);
}

} // namespace
