// Triple DES (EDE, three independent keys) with lazily built schedules and
// the SDK's key wash.
#pragma once

#include <cstddef>
#include <cstdint>

struct QELCipherDescriptor;

// Context: three DES schedules (16 rounds x 8 six-bit subkey groups), the 24
// key bytes and the direction marker (0 none yet, 17 encrypt, 34 decrypt).
struct QELTripleDESContext {
    std::uint8_t schedule[3][16][8];
    std::uint8_t key[24];
    std::uint8_t marker;
};
static_assert(sizeof(QELTripleDESContext) == 409);

void qelTripleDESKeySchedule(void *context, const std::uint8_t *key);
void qelTripleDESEncrypt(void *context, const std::uint8_t *in, std::uint8_t *out);
void qelTripleDESDecrypt(void *context, const std::uint8_t *in, std::uint8_t *out);
void qelTripleDESWash(void *context, const std::uint8_t *data, std::size_t length);

extern const QELCipherDescriptor qelTripleDESDescriptor;
