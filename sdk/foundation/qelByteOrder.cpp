#include "qelByteOrderInternal.h"

#include <cstddef>

namespace {

// Byte by byte, so neither the address's alignment nor the host's own order
// matters.
template <typename T>
T readBytes(int littleEndian, const void *bytes)
{
    const auto *p = static_cast<const unsigned char *>(bytes);
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        const std::size_t at = littleEndian ? sizeof(T) - 1 - i : i;
        v = static_cast<T>((v << 8) | p[at]);
    }
    return v;
}

template <typename T>
void writeBytes(T value, int littleEndian, void *out)
{
    auto *p = static_cast<unsigned char *>(out);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        const std::size_t at = littleEndian ? i : sizeof(T) - 1 - i;
        p[at] = static_cast<unsigned char>(value >> (8 * i));
    }
}

} // namespace

std::uint16_t qelReadUInt16(int le, const void *b) { return readBytes<std::uint16_t>(le, b); }
std::uint32_t qelReadUInt32(int le, const void *b) { return readBytes<std::uint32_t>(le, b); }
std::uint64_t qelReadUInt64(int le, const void *b) { return readBytes<std::uint64_t>(le, b); }
void qelWriteUInt16(std::uint16_t v, int le, void *o) { writeBytes(v, le, o); }
void qelWriteUInt32(std::uint32_t v, int le, void *o) { writeBytes(v, le, o); }
void qelWriteUInt64(std::uint64_t v, int le, void *o) { writeBytes(v, le, o); }

std::uint16_t qelReadUInt16LE(const void *b) { return qelReadUInt16(1, b); }
std::uint32_t qelReadUInt32LE(const void *b) { return qelReadUInt32(1, b); }
std::uint64_t qelReadUInt64LE(const void *b) { return qelReadUInt64(1, b); }
void qelWriteUInt16LE(std::uint16_t v, void *o) { qelWriteUInt16(v, 1, o); }
void qelWriteUInt32LE(std::uint32_t v, void *o) { qelWriteUInt32(v, 1, o); }
void qelWriteUInt64LE(std::uint64_t v, void *o) { qelWriteUInt64(v, 1, o); }
