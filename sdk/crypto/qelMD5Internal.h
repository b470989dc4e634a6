// MD5 (RFC 1321) over a flat 88-byte state.
#pragma once

#include <cstdint>

struct QELMD5State {
    std::uint8_t block[64];
    std::uint32_t h[4];             // chaining words; the digest bytes after Final
    std::uint32_t countHigh;        // bytes hashed, high half
    std::uint32_t countLow;         // bytes hashed, low half
};
static_assert(sizeof(QELMD5State) == 88);

void qelMD5Init(void *state);
void qelMD5Update(void *state, const void *data, std::uint64_t length);
// Pads and finishes; the 16-byte digest lives inside the state.
const std::uint8_t *qelMD5Final(void *state);
