// Side-by-side throughput against OpenSSL under its default code paths and
// under a CPU mask.
//
// OpenSSL reads its CPU capability mask (OPENSSL_ia32cap) once, when it
// loads, so a masked peer is measured in a child run of the same program:
// benchPeerChild() starts it with the mask and reads back "name MB/s" lines
// that the child prints from its --peer-only mode.
#pragma once

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <unistd.h>

// OpenSSL without its hardware paths: no AES-NI, PCLMULQDQ, AVX, AVX2,
// AVX-512, SHA extensions or VAES (SSSE3 stays).
inline const char *const kBenchGenericMask = "~0x1200080200000000:~0x20020010020";

inline double benchThreadSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs fn (which handles `bytes` bytes) for about the given CPU time and
// returns MB/s (10^6 bytes). Thread CPU time keeps the figures steady on a
// loaded machine; the best of five slices is kept.
template <class F>
double benchMeasure(F &&fn, std::size_t bytes, double seconds = 0.5)
{
    fn();   // warm up
    double best = 0;
    for (int slice = 0; slice < 5; ++slice) {
        std::size_t rounds = 0;
        const double start = benchThreadSeconds();
        double elapsed = 0;
        do {
            for (int i = 0; i < 8; ++i)
                fn();
            rounds += 8;
            elapsed = benchThreadSeconds() - start;
        } while (elapsed < seconds / 5);
        best = std::max(best, static_cast<double>(rounds) * static_cast<double>(bytes) / elapsed / 1e6);
    }
    return best;
}

// Starts this program again with `--peer-only` under the given mask (null:
// none) and collects the MB/s it prints per name.
inline std::map<std::string, double> benchPeerChild(const char *mask)
{
    std::map<std::string, double> result;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return result;
    self[n] = '\0';
    std::string command = mask != nullptr ? std::string("OPENSSL_ia32cap='") + mask + "' " : "env -u OPENSSL_ia32cap ";
    command += std::string("'") + self + "' --peer-only";
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return result;
    char name[96];
    double v = 0;
    while (std::fscanf(p, "%95s %lf", name, &v) == 2)
        result[name] = v;
    pclose(p);
    return result;
}
