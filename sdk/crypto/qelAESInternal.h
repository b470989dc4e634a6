// AES (FIPS 197) with 128-, 192- and 256-bit keys. One schedule serves one
// direction at a time and is converted lazily (equivalent inverse cipher).
#pragma once

#include <cstddef>
#include <cstdint>

struct QELCipherDescriptor;

// Context layout: signed 32-bit Nr, the Nr + 1 round keys of 16 bytes, then
// the direction marker byte (17 encrypt, 34 decrypt): 181, 213 or 245 bytes.
inline constexpr std::size_t qelAESContextSize(int rounds)
{
    return 4 + 16 * static_cast<std::size_t>(rounds + 1) + 1;
}

void qelAES128KeySchedule(void *context, const std::uint8_t *key);
void qelAES192KeySchedule(void *context, const std::uint8_t *key);
void qelAES256KeySchedule(void *context, const std::uint8_t *key);
void qelAESEncrypt(void *context, const std::uint8_t *in, std::uint8_t *out);
void qelAESDecrypt(void *context, const std::uint8_t *in, std::uint8_t *out);

extern const QELCipherDescriptor qelAES128Descriptor;
extern const QELCipherDescriptor qelAES192Descriptor;
extern const QELCipherDescriptor qelAES256Descriptor;
