// Public-key internals: sizes, encodings and padding shared by the
// public-key algorithms: the subgroup-size rule, numbers in the public-key data formats (MPI, raw,
// DER INTEGER), random numbers, PKCS #1 v1.5 padding, MGF1 and OAEP.
#pragma once

#include "qelPkEncode.h"

#include <cstddef>
#include <cstdint>

struct QELBigNum;
struct QELContext;
struct QELHashContext;
struct QELRandomContext;

// Subgroup / secret-exponent bits for a modulus of b bits, and the same
// rounded up to whole bytes.
std::uint32_t qelSubgroupBits(std::uint32_t modulusBits);
std::uint32_t qelSubgroupBitsRounded(std::uint32_t modulusBits);

// RFC 4880 MPIs. Read: bytes consumed, 0 when the data is too short,
// -11999 when memory fails. Write: bytes written (2 + magnitude).
std::int32_t qelMPIRead(QELBigNum *number, const std::uint8_t *data, std::uint32_t length);
std::int32_t qelMPIWrite(const QELBigNum *number, std::uint8_t *out);
// The bit count an MPI of the number has; for a secure number found without
// a branch on its words (only the count is public).
std::uint32_t qelMPIBitLength(const QELBigNum *number);

// Reads a DER tag and length from *cursor, never past end. Returns the tag
// number (low five bits of the tag byte) and advances the cursor past tag and
// length; -1 (cursor unchanged) when the header is truncated or its length
// form is invalid. *tagByte, when non-null, receives the whole tag byte.
std::int32_t qelDERReadTagLength(const std::uint8_t **cursor, const std::uint8_t *end,
                                 std::uint32_t *length, std::uint8_t *tagByte = nullptr);
// Size of the DER length field for a content length: 1 to 5.
std::uint32_t qelDERLengthSize(std::uint32_t length);

// Numbers in a public-key data format (1 MPI, 3 DER INTEGER, any other
// format fixed-size raw big-endian of `size` bytes).
// Read: bytes consumed; 0 when too short; -11342 bad DER integer; -11999.
std::int32_t qelPkNumberRead(QELBigNum *number, const std::uint8_t *data, std::uint32_t length,
                             std::uint32_t size, std::int32_t format);
// Write: bytes written. DER output is minimal; a number longer than `size`
// bytes writes nothing in the DER and raw formats and returns 0. The output
// needs at most size + 7 bytes (MPI: 2 + size).
std::int32_t qelPkNumberWrite(const QELBigNum *number, std::uint8_t *out, std::uint32_t size,
                              std::int32_t format);
// Checks n consecutive MPIs; the trailing arguments are n pointers
// (std::uint32_t *, each may be null) receiving the offset of each MPI.
// Total length, -11342 malformed MPI, -11349 data too short.
std::int32_t qelMPIParseList(const std::uint8_t *data, std::uint32_t length, std::uint32_t count, ...);

// Random number of `bits` bits with the top pattern laid over the top bits and
// lowOr ORed into the low byte; entropyBits are claimed from the context.
// 0, QELError_OutOfMemory, or the random source's failure.
[[nodiscard]] QELStatus qelBigNumRandom(QELBigNum *number, QELRandomContext *random, std::uint32_t bits,
                             std::uint8_t topPattern, std::uint8_t lowOr, std::uint32_t entropyBits);
// Mixes the number's bytes into the random context.
std::int32_t qelRandomAddBigNum(QELRandomContext *random, const QELBigNum *number);

// PKCS #1 v1.5 block of k bytes, type 1 (signature) or 2 (encryption).
// 0; -11340 when the data leaves fewer than 8 padding bytes; -11999.
[[nodiscard]] QELStatus qelPKCS1Pad(QELBigNum *number, const std::uint8_t *data, std::uint32_t length,
                      std::uint32_t blockType, std::uint32_t k, QELRandomContext *random);
// The data length (which may exceed outSize; only outSize bytes are then
// copied), or -11976 for any bad block.
std::int32_t qelPKCS1Unpad(std::uint8_t *out, std::uint32_t outSize, const QELBigNum *number,
                           std::uint32_t blockType, std::uint32_t k);

// target ^= MGF1(seed) over the hash context (reset afterwards); the scratch
// holds one digest.
void qelMGF1(QELHashContext *hash, std::uint8_t *digestScratch, std::uint8_t *target,
             std::uint32_t targetLength, const std::uint8_t *seed, std::uint32_t seedLength);

// EME-OAEP with independent label and mask hashes. Encode: 0; -11419 unknown
// hash; -11340 message too long (more than k - 2h - 2 bytes); -11999; -12000
// for a bad SDK context.
[[nodiscard]] QELStatus qelOAEPEncode(QELBigNum *number, const std::uint8_t *message, std::uint32_t length,
                        std::uint32_t k, std::int32_t labelHash, std::int32_t maskHash,
                        const std::uint8_t *label, std::uint32_t labelLength, QELContext *context,
                        QELRandomContext *random);
// Decode: the message length (only outSize bytes copied, the rest of out
// zero-filled); -11419; -11976 for any failed check; -11999; -12000.
std::int32_t qelOAEPDecode(std::uint8_t *out, std::uint32_t outSize, const QELBigNum *number,
                           std::uint32_t k, std::int32_t labelHash, std::int32_t maskHash,
                           const std::uint8_t *label, std::uint32_t labelLength, QELContext *context);
