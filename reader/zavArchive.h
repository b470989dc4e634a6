// The archive's trailer, the passphrase check that yields the CAST5 key,
// and the per-block decryption of the data region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "qelErrors.h"

struct ReaderSettings;

inline constexpr std::size_t kTrailerSize = 44;
inline constexpr std::size_t kArchiveBlockSize = 512;
inline constexpr std::size_t kKeyContextSize = 128;
inline constexpr char kTrailerMagic[6] = {'Q', 'E', 'L', 'S', 'D', 'A'};

// The last 44 bytes of an archive, little-endian on disk.
struct ArchiveTrailer {
    std::uint8_t magic[6];
    std::uint32_t dataOffset;     // file offset of the first encrypted block
    std::uint64_t dataLength;     // plaintext bytes in the data region
    std::uint64_t reserved;
    std::uint8_t salt[8];
    std::uint16_t hashCount;      // passphrase repetitions in the key hash
    std::uint8_t checkValue[8];
};

std::uint32_t trailerSaltLow(const ArchiveTrailer &trailer);
std::uint32_t trailerSaltHigh(const ArchiveTrailer &trailer);

// Seeks to 44 bytes before the end and reads the seven fields one by one
// into the zeroed record. Fields that cannot be read stay zero; the magic
// check decides whether the file is an archive at all.
void readArchiveTrailer(std::FILE *archive, ArchiveTrailer *trailer);
bool trailerHasMagic(const ArchiveTrailer &trailer);

// Key context: a 128-byte CAST5 key schedule on the platform heap. Freed
// with freeKeyContext, which wipes it first.
void freeKeyContext(void *keyContext);

// True when the passphrase derives the key whose encryption of the digest
// prefix is the trailer's check value; *outKeyContext then owns that key.
bool checkPassphrase(const char *passphrase, void **outKeyContext, const ArchiveTrailer &trailer);

// 0, QELError_BadPassphrase, or QELError_ReadFailed (message already
// printed) when the terminal could not be read.
QELStatus promptForPassphrase(const ArchiveTrailer &trailer, void **outKeyContext,
                              const char *givenPassphrase, ReaderSettings *settings);

// Two 64-bit CFB streams interleaved in 16-byte chunks: bytes 0..7 of each
// chunk belong to stream A, bytes 8..15 to stream B.
void cfbDecryptInterleaved(void *keyContext, std::uint8_t registerA[8], std::uint8_t registerB[8],
                           const std::uint8_t *ciphertext, std::uint8_t *plaintext,
                           std::size_t chunkCount);

// Decrypts one 512-byte block on its own, from the key, the salt and the
// block number.
void decryptArchiveBlock(const ArchiveTrailer &trailer, void *keyContext, std::uint32_t blockNumber,
                         const std::uint8_t *ciphertext, std::uint8_t *plaintext);
