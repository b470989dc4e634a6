// Base64 and the RFC 4880 armor checksum, shared by the armor writer, the
// armor parser and the PEM block decoder.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t QELArmorCrc24Init = 0xB704CE;
inline constexpr std::uint32_t QELArmorCrc24Poly = 0x1864CFB;

// The CRC-24 `crc` updated with the bytes (24 bits kept).
std::uint32_t qelArmorCrc24(std::uint32_t crc, const std::uint8_t *bytes, std::size_t count);

// Standard base64 with "=" padding; writes 4 * ceil(count / 3) characters
// and returns that number.
std::size_t qelBase64Encode(const std::uint8_t *bytes, std::size_t count, char *output);

// Makes sure the process-wide decode table exists (it is a constant table,
// so this only documents the dependency for callers).
void qelBase64InitDecodeTable();

// The value of a base64 character, 0xFF for any other byte.
std::uint8_t qelBase64Value(std::uint8_t c);

// Decodes the leading characters of `quad` that are in the alphabet; returns
// how many of the four were (0 to 4) and writes the 1, 2 or 3 bytes they give.
int qelBase64DecodeQuad(const char *quad, std::uint8_t *output);

// Decodes a run of base64 text: whole groups of four, the last of which may
// end in one or two "=" (each also written as "=3D"). Returns the bytes
// decoded, or -1 for anything else.
std::int64_t qelBase64DecodeRun(const char *chars, std::uint8_t *output, std::size_t count);
