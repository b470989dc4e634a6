// RC2 (RFC 2268): "RC2_40" (5-byte key, 40 effective bits, decryption only)
// and "RC2_128" (16-byte key, 1024 effective bits).
#pragma once

#include <cstddef>
#include <cstdint>

struct QELCipherDescriptor;

// Context: the 64 expanded 16-bit key words (128 bytes).
struct QELRC2Context {
    std::uint16_t k[64];
};
static_assert(sizeof(QELRC2Context) == 128);

// The RFC 2268 key expansion for any key length (1..128 bytes) and effective
// key bits (1..1024).
void qelRC2ExpandKey(void *context, const std::uint8_t *key, std::size_t keyLength, unsigned effectiveBits);

void qelRC2KeySchedule40(void *context, const std::uint8_t *key);
void qelRC2KeySchedule128(void *context, const std::uint8_t *key);
void qelRC2Encrypt(void *context, const std::uint8_t *in, std::uint8_t *out);
void qelRC2Decrypt(void *context, const std::uint8_t *in, std::uint8_t *out);

extern const QELCipherDescriptor qelRC2_40Descriptor;
extern const QELCipherDescriptor qelRC2_128Descriptor;
