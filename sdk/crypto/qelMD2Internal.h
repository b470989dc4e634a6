// MD2 (RFC 1319, with the published correction of the checksum step) over
// a flat 84-byte state.
#pragma once

#include <cstdint>

struct QELMD2State {
    std::uint8_t checksum[16];
    std::uint8_t work[48];          // bytes 16..31 double as the input buffer
    std::uint32_t count;            // bytes hashed modulo 2^32 (only its low 4 bits matter)
    std::uint8_t reserved[16];
};
static_assert(sizeof(QELMD2State) == 84);

void qelMD2Init(void *state);
void qelMD2Update(void *state, const void *data, std::uint64_t length);
// The digest is the first 16 bytes of the work block.
const std::uint8_t *qelMD2Final(void *state);
