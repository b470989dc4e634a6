// IDEA (8 rounds and the output transformation) with lazy conversion between
// the encryption and decryption subkey forms, and the SDK's key wash.
#pragma once

#include <cstddef>
#include <cstdint>

struct QELCipherDescriptor;

// Context: 52 subkeys of 16 bits, then the marker byte (17 encryption form,
// 34 decryption form): 105 bytes.
inline constexpr std::size_t kQELIDEAContextSize = 105;

void qelIDEAKeySchedule(void *context, const std::uint8_t *key);
void qelIDEAEncrypt(void *context, const std::uint8_t *in, std::uint8_t *out);
void qelIDEADecrypt(void *context, const std::uint8_t *in, std::uint8_t *out);
void qelIDEAWash(void *context, const std::uint8_t *data, std::size_t length);

extern const QELCipherDescriptor qelIDEADescriptor;
