// Unaligned integer access in either byte order. The flag is non-zero for
// little-endian (least significant byte first), zero for big-endian.
#pragma once

#include <cstdint>

std::uint16_t qelReadUInt16(int littleEndian, const void *bytes);
std::uint32_t qelReadUInt32(int littleEndian, const void *bytes);
std::uint64_t qelReadUInt64(int littleEndian, const void *bytes);
void qelWriteUInt16(std::uint16_t value, int littleEndian, void *out);
void qelWriteUInt32(std::uint32_t value, int littleEndian, void *out);
void qelWriteUInt64(std::uint64_t value, int littleEndian, void *out);

std::uint16_t qelReadUInt16LE(const void *bytes);
std::uint32_t qelReadUInt32LE(const void *bytes);
std::uint64_t qelReadUInt64LE(const void *bytes);
void qelWriteUInt16LE(std::uint16_t value, void *out);
void qelWriteUInt32LE(std::uint32_t value, void *out);
void qelWriteUInt64LE(std::uint64_t value, void *out);
