// IDEA (Lai and Massey), 128-bit key, 64-bit block.
#include "qelIDEAInternal.h"

#include <cstring>

#include "qelAlgorithms.h"
#include "qelBitOps.h"
#include "qelCipherWash.h"
#include "qelSymmetricCipherInternal.h"
#include "qelWipe.h"

namespace {

constexpr std::uint8_t kMarkerEncrypt = 17;
constexpr std::uint8_t kMarkerDecrypt = 34;
constexpr std::size_t kSubkeys = 52;

// The context is 105 bytes: the subkeys are addressed as 16-bit words at its
// start and the marker is its last byte.
inline std::uint16_t *subkeys(void *context)
{
    return static_cast<std::uint16_t *>(context);
}

inline std::uint8_t &marker(void *context)
{
    return static_cast<std::uint8_t *>(context)[kSubkeys * 2];
}

// Multiplication modulo 65537 with 0 standing for 65536.
inline std::uint16_t mul(std::uint16_t a, std::uint16_t b)
{
    if (a == 0)
        return static_cast<std::uint16_t>(1 - b);
    if (b == 0)
        return static_cast<std::uint16_t>(1 - a);
    const std::uint32_t p = std::uint32_t(a) * b;
    const std::uint32_t lo = p & 0xFFFF, hi = p >> 16;
    return static_cast<std::uint16_t>(lo - hi + (lo < hi ? 1 : 0));
}

// Multiplicative inverse modulo 65537; 0 and 1 are their own inverses.
std::uint16_t inverse(std::uint16_t x)
{
    if (x <= 1)
        return x;
    // x^(65537-2) mod 65537 by square and multiply.
    std::uint64_t result = 1, base = x, e = 65535;
    while (e != 0) {
        if (e & 1)
            result = result * base % 65537;
        base = base * base % 65537;
        e >>= 1;
    }
    return static_cast<std::uint16_t>(result);
}

void expandKey(std::uint16_t *z, const std::uint8_t *key)
{
    for (int i = 0; i < 8; ++i)
        z[i] = qelLoadBE16(key + 2 * i);
    // Each further group of eight is the 128-bit key rotated left by 25 bits
    // against the previous group.
    for (std::size_t i = 8; i < kSubkeys; ++i) {
        const std::size_t base = (i / 8 - 1) * 8; // start of the previous group
        const std::size_t j = i % 8;
        const std::uint16_t a = z[base + (j + 1) % 8];
        const std::uint16_t b = z[base + (j + 2) % 8];
        z[i] = static_cast<std::uint16_t>((a << 9) | (b >> 7));
    }
}

// The standard inversion between encryption and decryption subkeys; applying
// it twice gives the original table back.
void invert(std::uint16_t *z)
{
    std::uint16_t out[kSubkeys];
    const std::uint16_t *p = z;
    std::uint16_t *q = out + kSubkeys;
    std::uint16_t t1 = inverse(*p++);
    std::uint16_t t2 = static_cast<std::uint16_t>(-*p++);
    std::uint16_t t3 = static_cast<std::uint16_t>(-*p++);
    *--q = inverse(*p++);
    *--q = t3;
    *--q = t2;
    *--q = t1;
    for (int round = 1; round < 8; ++round) {
        t1 = *p++;
        *--q = *p++;
        *--q = t1;
        t1 = inverse(*p++);
        t2 = static_cast<std::uint16_t>(-*p++);
        t3 = static_cast<std::uint16_t>(-*p++);
        *--q = inverse(*p++);
        *--q = t2;
        *--q = t3;
        *--q = t1;
    }
    t1 = *p++;
    *--q = *p++;
    *--q = t1;
    t1 = inverse(*p++);
    t2 = static_cast<std::uint16_t>(-*p++);
    t3 = static_cast<std::uint16_t>(-*p++);
    *--q = inverse(*p++);
    *--q = t3;
    *--q = t2;
    *--q = t1;
    std::memcpy(z, out, sizeof out);
    qelSecureWipe(out, sizeof out);
}

void cryptBlock(const std::uint16_t *z, const std::uint8_t *in, std::uint8_t *out)
{
    std::uint16_t x1 = qelLoadBE16(in);
    std::uint16_t x2 = qelLoadBE16(in + 2);
    std::uint16_t x3 = qelLoadBE16(in + 4);
    std::uint16_t x4 = qelLoadBE16(in + 6);
    for (int r = 0; r < 8; ++r, z += 6) {
        x1 = mul(x1, z[0]);
        x2 = static_cast<std::uint16_t>(x2 + z[1]);
        x3 = static_cast<std::uint16_t>(x3 + z[2]);
        x4 = mul(x4, z[3]);
        std::uint16_t t0 = mul(static_cast<std::uint16_t>(x1 ^ x3), z[4]);
        std::uint16_t t1 = mul(static_cast<std::uint16_t>((x2 ^ x4) + t0), z[5]);
        t0 = static_cast<std::uint16_t>(t0 + t1);
        x1 ^= t1;
        x4 ^= t0;
        const std::uint16_t t = static_cast<std::uint16_t>(x2 ^ t0);
        x2 = static_cast<std::uint16_t>(x3 ^ t1);
        x3 = t;
    }
    const std::uint16_t y1 = mul(x1, z[0]);
    const std::uint16_t y2 = static_cast<std::uint16_t>(x3 + z[1]);
    const std::uint16_t y3 = static_cast<std::uint16_t>(x2 + z[2]);
    const std::uint16_t y4 = mul(x4, z[3]);
    qelStoreBE16(out, y1);
    qelStoreBE16(out + 2, y2);
    qelStoreBE16(out + 4, y3);
    qelStoreBE16(out + 6, y4);
}

// One step of the wash: G and H absorb the block M.
void washBlock(std::uint8_t *s, const std::uint8_t *m)
{
    std::uint16_t z[kSubkeys];
    std::uint8_t e1[8], e2[8];
    qelWashTwoKeyStep(s, m, e1, e2,
                      [&z](const std::uint8_t *key, const std::uint8_t *in, std::uint8_t *out) {
                          expandKey(z, key);
                          cryptBlock(z, in, out);
                      });
    qelSecureWipe(z, sizeof z);
    qelSecureWipe(e1, sizeof e1);
    qelSecureWipe(e2, sizeof e2);
}

} // namespace

void qelIDEAKeySchedule(void *context, const std::uint8_t *key)
{
    expandKey(subkeys(context), key);
    marker(context) = kMarkerEncrypt;
}

void qelIDEAEncrypt(void *context, const std::uint8_t *in, std::uint8_t *out)
{
    if (marker(context) == kMarkerDecrypt) {
        invert(subkeys(context));
        marker(context) = kMarkerEncrypt;
    }
    cryptBlock(subkeys(context), in, out);
}

void qelIDEADecrypt(void *context, const std::uint8_t *in, std::uint8_t *out)
{
    if (marker(context) != kMarkerDecrypt) {
        invert(subkeys(context));
        marker(context) = kMarkerDecrypt;
    }
    cryptBlock(subkeys(context), in, out);
}

void qelIDEAWash(void *context, const std::uint8_t *data, std::size_t length)
{
    const std::uint16_t *z = subkeys(context);
    std::uint8_t s[16];
    for (int i = 0; i < 8; ++i) {
        s[2 * i] = std::uint8_t(z[i] >> 8);
        s[2 * i + 1] = std::uint8_t(z[i]);
    }
    qelWashMessage(data, length, [&s](const std::uint8_t *block) { washBlock(s, block); });
    qelIDEAKeySchedule(context, s);
    qelSecureWipe(s, sizeof s);
}

const QELCipherDescriptor qelIDEADescriptor = {
    "IDEA", QELCipherAlgorithm_IDEA, 8, 16, kQELIDEAContextSize, 2,
    qelIDEAKeySchedule, qelIDEAEncrypt, qelIDEADecrypt, qelIDEAWash, {nullptr, nullptr},
};
