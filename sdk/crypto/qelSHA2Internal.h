// SHA-224, SHA-256, SHA-384 and SHA-512 (FIPS 180-4) over flat states.
#pragma once

#include <cstdint>

struct QELSHA256State {
    std::uint8_t block[128];        // pending input in the first 64 bytes; the rest unused
    std::uint32_t h[8];             // chaining words; the digest bytes after Final
    std::uint32_t countHigh;
    std::uint32_t countLow;
};
static_assert(sizeof(QELSHA256State) == 168);

struct QELSHA512State {
    std::uint8_t block[256];
    std::uint64_t h[8];
    std::uint64_t countHigh;        // 128-bit byte count
    std::uint64_t countLow;
};
static_assert(sizeof(QELSHA512State) == 336);

void qelSHA224Init(void *state);
void qelSHA256Init(void *state);
// SHA-224 shares update with SHA-256.
void qelSHA256Update(void *state, const void *data, std::uint64_t length);
const std::uint8_t *qelSHA224Final(void *state);
const std::uint8_t *qelSHA256Final(void *state);

void qelSHA384Init(void *state);
void qelSHA512Init(void *state);
// SHA-384 shares update and final with SHA-512 (its digest is the first 48 bytes).
void qelSHA512Update(void *state, const void *data, std::uint64_t length);
const std::uint8_t *qelSHA512Final(void *state);
