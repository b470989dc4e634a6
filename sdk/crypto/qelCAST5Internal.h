// CAST-128 (RFC 2144) with a 16-byte key, and the SDK's key wash.
#pragma once

#include <cstddef>
#include <cstdint>

struct QELCipherDescriptor;

// Key context: sixteen rounds of {Km, Kr}, 128 bytes.
struct QELCAST5Context {
    std::uint32_t k[32];
};
static_assert(sizeof(QELCAST5Context) == 128);

inline constexpr std::size_t kQELCAST5BlockSize = 8;
inline constexpr std::size_t kQELCAST5KeySize = 16;

void qelCAST5KeySchedule(void *context, const std::uint8_t *key);
void qelCAST5Encrypt(void *context, const std::uint8_t *in, std::uint8_t *out);
void qelCAST5Decrypt(void *context, const std::uint8_t *in, std::uint8_t *out);
void qelCAST5Wash(void *context, const std::uint8_t *data, std::size_t length);
// One compression step of the wash over a 40-byte work area (H at 0..15, the
// block at 16..23, X at 24..31) and one 8-byte data block.
void qelCAST5WashStep(std::uint8_t *work, const std::uint8_t *block, void *context);

// The "CAST5" row of the cipher descriptor list.
extern const QELCipherDescriptor qelCAST5Descriptor;
