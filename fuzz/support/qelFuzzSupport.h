// Helpers shared by the fuzz targets: a private home with the SDK up, fresh
// scratch directories, and a failure that libFuzzer reports with the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

struct QELContext;

namespace qelfuzz {

// Once per process: HOME, QELPATH and TMP point at a private directory and,
// when asked, the SDK is started without service or housekeeping thread.
void startOnce(bool startSDK);
// The private directory of startOnce.
const std::string &home();
// One SDK context for the whole process, made after startOnce(true).
struct QELContext *sharedContext();

// A fresh empty directory under home(), removed with all it holds when the
// object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Every path below dir (relative, directories with a trailing '/').
std::set<std::string> listTree(const std::string &dir);
// A whole file's bytes (empty when it cannot be read).
std::string readFile(const std::string &path);
bool writeFile(const std::string &path, const std::uint8_t *data, std::size_t size);

// Aborts with the message, so that libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const char *what);
inline void check(bool condition, const char *what)
{
    if (!condition)
        fail(what);
}

// Takes the input apart from the front, as FuzzedDataProvider does.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::size_t remaining() const { return size_; }
    std::uint8_t u8();
    std::uint32_t u32();
    // Up to n bytes (fewer at the end).
    std::vector<std::uint8_t> bytes(std::size_t n);
    std::vector<std::uint8_t> rest() { return bytes(size_); }

private:
    const std::uint8_t *data_;
    std::size_t size_;
};

} // namespace qelfuzz
