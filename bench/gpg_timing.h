// What the key benchmarks share when they time themselves against GnuPG:
// processor and wall clocks, best-of-several figures, the ring made once by a
// Python script beside this file, and a temporary GnuPG home holding it.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>

// User plus system time of RUSAGE_SELF or RUSAGE_CHILDREN.
inline double benchCpuSeconds(int who)
{
    rusage u{};
    ::getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline double benchNow()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// On a shared machine the slower runs measure waiting: keep the best.
inline void benchKeepBest(double &best, double value)
{
    if (best <= 0 || value < best)
        best = value;
}

// Makes `ring` in the working directory with `python3 bench/SCRIPT RING`
// unless it is there already; false when it cannot be made.
inline bool benchEnsureRing(const std::string &ring, const std::string &script)
{
    if (std::filesystem::exists(ring))
        return true;
#ifdef QEL_BENCH_DIR
    const std::string dir = QEL_BENCH_DIR;
#else
    const std::string here = __FILE__;
    const std::string dir = here.substr(0, here.rfind('/'));
#endif
    const std::string command = "python3 '" + dir + "/" + script + "' " + ring;
    return std::system(command.c_str()) == 0;
}

inline bool benchHaveGnuPG() { return std::system("gpg --version >/dev/null 2>&1") == 0; }

// Runs a shell command once; its wall time and the processor time of its
// children go to the outputs.
inline void benchTimeCommand(const std::string &command, double *wall, double *cpu)
{
    const double start = benchNow();
    const double before = benchCpuSeconds(RUSAGE_CHILDREN);
    static_cast<void>(std::system(command.c_str())); // timed, not judged
    *cpu = benchCpuSeconds(RUSAGE_CHILDREN) - before;
    *wall = benchNow() - start;
}

// A temporary GnuPG home (optionally with a gpg.conf) into which a ring is
// imported once; the agent is stopped and the directory removed at the end.
class BenchGnuPGHome {
public:
    BenchGnuPGHome() = default;
    BenchGnuPGHome(const BenchGnuPGHome &) = delete;
    BenchGnuPGHome &operator=(const BenchGnuPGHome &) = delete;
    ~BenchGnuPGHome() { remove(); }

    // False when gpg is missing or the import fails.
    bool import(const std::string &ring, const std::string &conf = "")
    {
        if (!path_.empty())
            return true;
        if (!benchHaveGnuPG())
            return false;
        char dir[] = "/tmp/qelgpgbenchXXXXXX";
        if (::mkdtemp(dir) == nullptr)
            return false;
        path_ = dir;
        if (!conf.empty()) {
            FILE *f = std::fopen((path_ + "/gpg.conf").c_str(), "w");
            if (f != nullptr) {
                std::fputs(conf.c_str(), f);
                std::fclose(f);
            }
        }
        const std::string command = gpg() + " --quiet --import " +
                                    std::filesystem::absolute(ring).string() + " >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    }
    // "gpg --homedir HOME --batch"
    std::string gpg() const { return "gpg --homedir " + path_ + " --batch"; }
    bool ready() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    void remove()
    {
        if (path_.empty())
            return;
        const std::string command = "gpgconf --homedir " + path_ + " --kill all >/dev/null 2>&1";
        static_cast<void>(std::system(command.c_str())); // best effort
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        path_.clear();
    }

private:
    std::string path_;
};
