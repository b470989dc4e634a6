// Blowfish with a 16-byte key; the setup is deferred to the first block
// operation and redone whenever the direction changes.
#pragma once

#include <cstddef>
#include <cstdint>

struct QELCipherDescriptor;

struct QELBlowfishContext {
    std::uint32_t direction;           // 0 not set up, 1 encryption, 2 decryption
    std::size_t keyLength;             // always 16
    std::uint8_t key[56];
    std::uint32_t p[18];               // reversed while set up for decryption
    std::uint32_t s[4][256];
};
static_assert(sizeof(QELBlowfishContext) == 4240);

void qelBlowfishKeySchedule(void *context, const std::uint8_t *key);
void qelBlowfishEncrypt(void *context, const std::uint8_t *in, std::uint8_t *out);
void qelBlowfishDecrypt(void *context, const std::uint8_t *in, std::uint8_t *out);

extern const QELCipherDescriptor qelBlowfishDescriptor;
