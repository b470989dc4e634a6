// RIPEMD-160 (ISO/IEC 10118-3) over a flat 92-byte state.
#pragma once

#include <cstdint>

struct QELRIPEMD160State {
    std::uint8_t block[64];
    std::uint32_t h[5];             // chaining words; the digest bytes after Final
    std::uint32_t countHigh;
    std::uint32_t countLow;
};
static_assert(sizeof(QELRIPEMD160State) == 92);

void qelRIPEMD160Init(void *state);
void qelRIPEMD160Update(void *state, const void *data, std::uint64_t length);
const std::uint8_t *qelRIPEMD160Final(void *state);
