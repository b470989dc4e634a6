#include "qelFuzzSupport.h"

#include "qelContextInternal.h"
#include "qelSDKInternal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;

namespace qelfuzz {

namespace {

std::string g_home;

void removeHome()
{
    std::error_code ignored; // best effort when the process ends
    fs::remove_all(g_home, ignored);
}

} // namespace

void startOnce(bool startSDK)
{
    static bool started = false;
    if (started)
        return;
    started = true;
    char pattern[] = "/tmp/qelfuzz.XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        fail("cannot make the private home");
    g_home = pattern;
    std::atexit(removeHome);
    for (const char *name : {"HOME", "QELPATH", "TMP", "TMPDIR"})
        ::setenv(name, g_home.c_str(), 1);
    if (startSDK && qelSDKInit(QELSDKInit_NoService | QELSDKInit_NoHousekeeping) != QELError_NoErr)
        fail("SDK start-up failed");
}

const std::string &home()
{
    return g_home;
}

ScratchDir::ScratchDir()
{
    std::string pattern = (g_home.empty() ? std::string("/tmp") : g_home) + "/run.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        fail("cannot make a scratch directory");
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored; // a leftover is removed with the home at exit
    // Entries may have been left without search or write rights.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

std::set<std::string> listTree(const std::string &dir)
{
    std::set<std::string> paths;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(dir, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::string rel = fs::relative(it->path(), dir).string();
        if (it->is_directory(error) && !it->is_symlink(error))
            rel += '/';
        paths.insert(rel);
    }
    return paths;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool writeFile(const std::string &path, const std::uint8_t *data, std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

void fail(const char *what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

std::uint8_t Input::u8()
{
    if (size_ == 0)
        return 0;
    --size_;
    return *data_++;
}

std::uint32_t Input::u32()
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | u8();
    return v;
}

std::vector<std::uint8_t> Input::bytes(std::size_t n)
{
    n = n < size_ ? n : size_;
    std::vector<std::uint8_t> out(data_, data_ + n);
    data_ += n;
    size_ -= n;
    return out;
}

QELContext *sharedContext()
{
    static QELContext *context = [] {
        QELContext *c = nullptr;
        check(qelContextNew(QELSDKVersion, &c) == QELError_NoErr, "no SDK context");
        return c;
    }();
    return context;
}

} // namespace qelfuzz
