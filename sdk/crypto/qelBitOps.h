// Inline loads and stores of 16-, 32- and 64-bit words in either byte order,
// for the hash and cipher cores (rotations are std::rotl and std::rotr).
//
// The byte-order functions of qelByteOrder.h are out of line; these are for
// the inner loops, where the compiler has to see a load as one (byte-swapped)
// memory access.
#pragma once

#include <cstddef>
#include <cstdint>

inline std::uint16_t qelLoadBE16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint16_t qelLoadLE16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t qelLoadBE32(const std::uint8_t *p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
           (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

inline std::uint32_t qelLoadLE32(const std::uint8_t *p)
{
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

inline std::uint64_t qelLoadBE64(const std::uint8_t *p)
{
    return (std::uint64_t{qelLoadBE32(p)} << 32) | qelLoadBE32(p + 4);
}

inline void qelStoreBE16(std::uint8_t *p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

inline void qelStoreLE16(std::uint8_t *p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void qelStoreBE32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

inline void qelStoreLE32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void qelStoreBE64(std::uint8_t *p, std::uint64_t v)
{
    qelStoreBE32(p, static_cast<std::uint32_t>(v >> 32));
    qelStoreBE32(p + 4, static_cast<std::uint32_t>(v));
}

// Rewrites each word of an array in place as its big- or little-endian byte
// image: the digest of a flat hash state is its chaining words turned into
// bytes where they lie.
template <class Word, std::size_t N>
inline void qelWordsToBytesBE(Word (&words)[N])
{
    for (auto &w : words) {
        auto *bytes = reinterpret_cast<std::uint8_t *>(&w);
        if constexpr (sizeof(Word) == 8)
            qelStoreBE64(bytes, w);
        else
            qelStoreBE32(bytes, w);
    }
}

template <std::size_t N>
inline void qelWordsToBytesLE(std::uint32_t (&words)[N])
{
    for (auto &w : words)
        qelStoreLE32(reinterpret_cast<std::uint8_t *>(&w), w);
}
