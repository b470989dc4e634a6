#include "qelTestEnv.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <sys/wait.h>
#include <unistd.h>

namespace qeltest {

TempDir::TempDir(const std::string &prefix)
{
    std::string pattern = "/tmp/" + prefix + "_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a temporary directory from " << pattern;
        std::abort();
    }
    path_ = pattern;
    owner_ = ::getpid();
}

TempDir::~TempDir()
{
    if (::getpid() != owner_)
        return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::becomeHome() const
{
    for (const char *name : {"QELPATH", "HOME", "TMP"})
        ::setenv(name, path_.c_str(), 1);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

int runInChild(int (*fn)(), bool unprivileged)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (unprivileged && ::geteuid() == 0) {
            if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
                ::_exit(90);
        }
        ::_exit(fn());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

void HomeEnvironment::SetUp()
{
    home_ = std::make_unique<TempDir>(prefix_);
    home_->becomeHome();
    if (sdk_ == SDK::Up) {
        ASSERT_EQ(qelSDKInit(kSDKTestFlags), QELError_NoErr);
    }
}

void HomeEnvironment::TearDown()
{
    if (sdk_ == SDK::Up)
        static_cast<void>(qelSDKCleanup());
    home_.reset();
}

HomeEnvironment *addHomeEnvironment(const std::string &prefix, HomeEnvironment::SDK sdk)
{
    auto *environment = new HomeEnvironment(prefix, sdk);
    ::testing::AddGlobalTestEnvironment(environment);
    return environment;
}

void SDKHomeTest::SetUp()
{
    HomeTest::SetUp();
    ASSERT_EQ(qelSDKInit(kSDKTestFlags), QELError_NoErr);
    ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr);
}

void SDKHomeTest::TearDown()
{
    if (context_ != nullptr)
        static_cast<void>(qelContextFree(context_));
    context_ = nullptr;
    static_cast<void>(qelSDKCleanup());
}

QELContext *SDKSuite::context = nullptr;
std::unique_ptr<TempDir> SDKSuite::home;

void SDKSuite::SetUpTestSuite()
{
    home = std::make_unique<TempDir>("qelsuite");
    home->becomeHome();
    ASSERT_EQ(qelSDKInit(kSDKTestFlags), QELError_NoErr);
    ASSERT_EQ(qelContextNew(QELSDKVersion, &context), QELError_NoErr);
}

void SDKSuite::TearDownTestSuite()
{
    static_cast<void>(qelContextFree(context));
    context = nullptr;
    static_cast<void>(qelSDKCleanup());
    home.reset();
}

} // namespace qeltest
