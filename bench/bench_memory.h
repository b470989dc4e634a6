// Resident-memory figures of the benchmark process itself, from /proc.
#pragma once

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:"); -1 when absent.
inline long benchStatusKB(const char *field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

// Starts the peak ("VmHWM:") again from the present resident size.
inline void benchResetPeak()
{
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";
}
