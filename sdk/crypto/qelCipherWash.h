// Steps shared by the block ciphers' wash operations (folding a message into
// the key with the cipher itself).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qelWipe.h"

// Runs step(block) over the message in 8-byte blocks, then over its padding:
// 0x80, zeros and the message length as a big-endian 16-bit count in the last
// two bytes. When the tail leaves no room for the count, the padded tail goes
// out as it is and the count follows in a block of its own.
template <class Step>
inline void qelWashMessage(const std::uint8_t *data, std::size_t length, Step &&step)
{
    const std::size_t whole = length / 8;
    for (std::size_t i = 0; i < whole; ++i)
        step(data + 8 * i);

    std::uint8_t last[8] = {};
    const std::size_t r = length % 8;
    if (r != 0)
        std::memcpy(last, data + 8 * whole, r);
    last[r] = 0x80;
    if (r >= 6) {
        step(static_cast<const std::uint8_t *>(last));
        std::memset(last, 0, sizeof last);
    }
    last[6] = static_cast<std::uint8_t>(length >> 8);
    last[7] = static_cast<std::uint8_t>(length);
    step(static_cast<const std::uint8_t *>(last));
    qelSecureWipe(last, sizeof last);
}

// One absorbing step for a cipher with 8-byte blocks and 16-byte keys over a
// 16-byte chaining value G || H:
//   x = E[H || M](G),  y = E[M || x](H),  G ^= x,  H ^= y.
// encrypt(key, in, out) encrypts one block under a fresh key; x and y are the
// caller's storage for the two cipher outputs.
template <class Encrypt>
inline void qelWashTwoKeyStep(std::uint8_t *gh, const std::uint8_t *m, std::uint8_t *x,
                              std::uint8_t *y, Encrypt &&encrypt)
{
    std::uint8_t *g = gh, *h = gh + 8;
    std::uint8_t key[16];
    std::memcpy(key, h, 8);
    std::memcpy(key + 8, m, 8);
    encrypt(static_cast<const std::uint8_t *>(key), static_cast<const std::uint8_t *>(g), x);
    std::memcpy(key, m, 8);
    std::memcpy(key + 8, x, 8);
    encrypt(static_cast<const std::uint8_t *>(key), static_cast<const std::uint8_t *>(h), y);
    for (int i = 0; i < 8; ++i) {
        g[i] ^= x[i];
        h[i] ^= y[i];
    }
    qelSecureWipe(key, sizeof key);
}
