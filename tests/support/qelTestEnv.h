// Private homes for tests: a temporary directory that QELPATH, HOME and TMP
// point at (so the seed file and temporary files never touch the user's),
// with the SDK started around a test, a suite or the whole binary.
#pragma once

#include "qelContextInternal.h"
#include "qelSDKInternal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

namespace qeltest {

// Start-up for unit tests: no service connection, no housekeeping thread.
constexpr std::uint32_t kSDKTestFlags = QELSDKInit_NoService | QELSDKInit_NoHousekeeping;

// A fresh directory under /tmp, removed with all it holds when the object
// goes in the process that made it (a forked child that exits leaves it).
class TempDir {
public:
    explicit TempDir(const std::string &prefix = "qeltest");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    // Points QELPATH, HOME and TMP here.
    void becomeHome() const;

private:
    std::string path_;
    int owner_ = 0; // the process that made it
};

// A whole file's bytes (empty when it cannot be read), and a file made of bytes.
std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &bytes);

// Runs fn in a forked child (as nobody when `unprivileged` and the tests run
// as root, so that permission checks really apply); the child's exit
// status, 90 when it could not drop root's rights, 99 when it did not exit.
int runInChild(int (*fn)(), bool unprivileged = false);

// The whole binary runs in a private home, with the SDK up from before the
// first test to after the last when asked.
class HomeEnvironment : public ::testing::Environment {
public:
    enum class SDK { Down, Up };
    explicit HomeEnvironment(const std::string &prefix, SDK sdk = SDK::Down)
        : prefix_(prefix), sdk_(sdk)
    {
    }
    void SetUp() override;
    void TearDown() override;
    const std::string &dir() const { return home_->path(); }

private:
    std::string prefix_;
    SDK sdk_;
    std::unique_ptr<TempDir> home_;
};

// Registers a HomeEnvironment (gtest owns it) and returns it.
HomeEnvironment *addHomeEnvironment(const std::string &prefix,
                                    HomeEnvironment::SDK sdk = HomeEnvironment::SDK::Down);

// Each test in a private home of its own; the SDK is left down.
class HomeTest : public ::testing::Test {
protected:
    explicit HomeTest(const std::string &prefix = "qeltest") : home_(prefix) {}
    void SetUp() override { home_.becomeHome(); }
    const std::string &dir() const { return home_.path(); }

private:
    TempDir home_;
};

// Each test in a private home with the SDK started and one context.
class SDKHomeTest : public HomeTest {
protected:
    using HomeTest::HomeTest;
    void SetUp() override;
    void TearDown() override;

    QELContext *context_ = nullptr;
};

// A whole suite in one private home with the SDK started and one context.
class SDKSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    static const std::string &dir() { return home->path(); }

    static QELContext *context;

private:
    static std::unique_ptr<TempDir> home;
};

} // namespace qeltest
