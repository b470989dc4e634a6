// SHA-1 (FIPS 180-1) over a flat 92-byte state that needs no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

struct QELSHA1State {
    std::uint8_t block[64];            // pending input; scratch of the compression
    std::uint32_t h[5];                // chaining words; the digest bytes after Final
    std::uint32_t countHigh;           // bytes hashed, high half
    std::uint32_t countLow;            // bytes hashed, low half
};
static_assert(sizeof(QELSHA1State) == 92);

inline constexpr std::size_t kQELSHA1DigestSize = 20;
inline constexpr std::size_t kQELSHA1BlockSize = 64;

void qelSHA1Init(QELSHA1State *state);
// The byte count advances by length modulo 2^32 per call: pass less than 4 GiB.
void qelSHA1Update(QELSHA1State *state, const void *data, std::uint64_t length);
// Pads and finishes; returns the 20-byte digest, which lives inside the state.
// The state must be initialised again before reuse.
const std::uint8_t *qelSHA1Final(QELSHA1State *state);
// One compression with feed-forward on host-order message words. The schedule
// is expanded in place: on return words 0..12 hold W[64]..W[76] and words
// 13..15 hold W[61]..W[63]. The random pool relies on that end state.
void qelSHA1Compress(std::uint32_t *chaining, std::uint32_t *message);
// Counts `blocks` whole blocks hashed into the chaining words by another
// path; the state must be at a block boundary.
void qelSHA1CountBlocks(QELSHA1State *state, std::uint64_t blocks);
// H0..H4 from 20 bytes read as big-endian words; counts and buffer untouched.
void qelSHA1SetChainingValue(QELSHA1State *state, const std::uint8_t *bytes);
