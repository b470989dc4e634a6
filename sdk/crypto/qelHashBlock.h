// Block buffering shared by the Merkle-Damgard hashes (MD5, RIPEMD-160,
// SHA-1, SHA-2).
//
// Each hash keeps its own byte count (their widths and overflow rules differ)
// and supplies a function compressing whole blocks straight from a pointer,
// `blocks(const std::uint8_t *p, std::size_t count)`. Only a partial block is
// ever copied into the state's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qelBitOps.h"

// Feeds length bytes to a state whose buffer holds `used` pending bytes
// (used < kBlock). The caller has already advanced its byte count.
template <std::size_t kBlock, class Blocks>
inline void qelHashBlockFeed(std::uint8_t *buffer, std::size_t used, const std::uint8_t *in,
                             std::uint64_t length, Blocks &&blocks)
{
    if (length == 0)
        return;
    if (used != 0) {
        const std::size_t take = kBlock - used;
        if (length < take) {
            std::memcpy(buffer + used, in, static_cast<std::size_t>(length));
            return;
        }
        std::memcpy(buffer + used, in, take);
        blocks(buffer, 1);
        in += take;
        length -= take;
    }
    const std::uint64_t whole = length / kBlock;
    if (whole != 0) {
        blocks(in, static_cast<std::size_t>(whole));
        in += whole * kBlock;
        length -= whole * kBlock;
    }
    if (length != 0)
        std::memcpy(buffer, in, static_cast<std::size_t>(length));
}

// Appends the 0x80 byte and zeros after the `used` pending bytes, lets
// putLength(tail) write the kLengthBytes length field at the end of the last
// block, and compresses the one or two final blocks.
template <std::size_t kBlock, std::size_t kLengthBytes, class Blocks, class PutLength>
inline void qelHashBlockPad(std::uint8_t *buffer, std::size_t used, Blocks &&blocks,
                            PutLength &&putLength)
{
    buffer[used++] = 0x80;
    if (used > kBlock - kLengthBytes) {
        std::memset(buffer + used, 0, kBlock - used);
        blocks(buffer, 1);
        used = 0;
    }
    std::memset(buffer + used, 0, kBlock - kLengthBytes - used);
    putLength(buffer + kBlock - kLengthBytes);
    blocks(buffer, 1);
}

// A 64-bit byte count kept as two 32-bit halves; the full length of each call
// is added.
inline void qelHashCountAdd(std::uint32_t &high, std::uint32_t &low, std::uint64_t length)
{
    const std::uint64_t count = ((std::uint64_t{high} << 32) | low) + length;
    low = static_cast<std::uint32_t>(count);
    high = static_cast<std::uint32_t>(count >> 32);
}

// The count in bits, modulo 2^64, as the padding's length field wants it.
inline std::uint64_t qelHashCountBits(std::uint32_t high, std::uint32_t low)
{
    return ((std::uint64_t{high} << 32) | low) << 3;
}

// Compresses count whole 64-byte blocks from p into the chaining words h.
using QELHashBlocks32 = void (*)(std::uint32_t *h, const std::uint8_t *p, std::size_t count);

// Update and final for a 64-byte-block state with block[], h[] and a 64-bit
// byte count in countHigh/countLow (MD5, RIPEMD-160, SHA-224/256).
template <class State, QELHashBlocks32 kBlocks>
inline void qelHashUpdate64(State *s, const void *data, std::uint64_t length)
{
    const std::size_t used = s->countLow & 63;
    qelHashCountAdd(s->countHigh, s->countLow, length);
    qelHashBlockFeed<64>(s->block, used, static_cast<const std::uint8_t *>(data), length,
                         [s](const std::uint8_t *p, std::size_t n) { kBlocks(s->h, p, n); });
}

// Pads with the bit count in the hash's byte order and leaves the digest
// bytes, in that order, where the chaining words were.
template <bool kBigEndian, class State, QELHashBlocks32 kBlocks>
inline const std::uint8_t *qelHashFinal64(State *s)
{
    const std::uint64_t bits = qelHashCountBits(s->countHigh, s->countLow);
    qelHashBlockPad<64, 8>(
        s->block, s->countLow & 63,
        [s](const std::uint8_t *p, std::size_t n) { kBlocks(s->h, p, n); },
        [bits](std::uint8_t *tail) {
            if constexpr (kBigEndian) {
                qelStoreBE64(tail, bits);
            } else {
                qelStoreLE32(tail, static_cast<std::uint32_t>(bits));
                qelStoreLE32(tail + 4, static_cast<std::uint32_t>(bits >> 32));
            }
        });
    if constexpr (kBigEndian)
        qelWordsToBytesBE(s->h);
    else
        qelWordsToBytesLE(s->h);
    return reinterpret_cast<const std::uint8_t *>(s->h);
}
