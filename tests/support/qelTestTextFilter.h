// A plain model of the text filter's conversion, one byte at a time, for the
// tests and the fuzz target to compare the module with.
#pragma once

#include <cstdint>
#include <string>

namespace qeltest {

inline std::string textFilterModel(const std::string &in, const std::uint8_t *map, bool strip, int lineEndMode)
{
    std::string out;
    std::size_t spaces = 0;
    bool afterCR = false;
    for (unsigned char b : in) {
        if (b == '\r' || b == '\n') {
            spaces = 0;
            if (lineEndMode == 0) {
                out += char(map[b]);
                continue;
            }
            if (b == '\n' && afterCR) {
                afterCR = false;
                continue;
            }
            if (lineEndMode != 1)
                out += '\r';
            if (lineEndMode != 2)
                out += '\n';
            afterCR = b == '\r';
            continue;
        }
        afterCR = false;
        if (b == ' ' && strip) {
            ++spaces;
            continue;
        }
        out.append(spaces, char(map[0x20]));
        spaces = 0;
        out += char(map[b]);
    }
    return out;
}

} // namespace qeltest
