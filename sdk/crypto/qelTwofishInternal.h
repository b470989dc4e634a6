// Twofish with 256-bit keys and full keying, plus the alternative schedule
// that reads each 32-bit key word big-endian (algorithm id 102).
#pragma once

#include <cstddef>
#include <cstdint>

struct QELCipherDescriptor;

// Round subkeys and the four key-dependent S-box/MDS tables. The cipher
// object allocates the descriptor's 8704 bytes; this record uses the start.
struct QELTwofishContext {
    std::uint32_t k[40];
    std::uint32_t s[4][256];
};
static_assert(sizeof(QELTwofishContext) <= 8704);

void qelTwofishKeySchedule(void *context, const std::uint8_t *key);
// The alternative schedule: Twofish under the key with each aligned group of
// four bytes reversed.
void qelTwofishBEKeySchedule(void *context, const std::uint8_t *key);
void qelTwofishEncrypt(void *context, const std::uint8_t *in, std::uint8_t *out);
void qelTwofishDecrypt(void *context, const std::uint8_t *in, std::uint8_t *out);

extern const QELCipherDescriptor qelTwofishDescriptor;
extern const QELCipherDescriptor qelTwofishBEDescriptor;
