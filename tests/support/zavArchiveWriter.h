// Test-only archive writer: the inverse of the reader's block transform,
// built on OpenSSL's CAST5 and SHA-1 and on zlib, so that every test makes
// exactly the archive that shows its case.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zavtest {

struct ArchiveEntry {
    ArchiveEntry(std::string entryName, bool isDirectory, std::string entryContent,
                 std::optional<std::uint64_t> size = std::nullopt)
        : name(std::move(entryName)), directory(isDirectory), content(std::move(entryContent)),
          sizeOverride(size)
    {
    }
    std::string name;          // stored as given (backslashes included)
    bool directory = false;
    std::string content;       // files only
    // Size field override, e.g. to claim more content than follows.
    std::optional<std::uint64_t> sizeOverride;
};

struct ArchiveOptions {
    std::string passphrase = "test passphrase";
    std::array<std::uint8_t, 8> salt{0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    std::uint16_t hashCount = 7;
    std::string prefix = "#!/bin/sh\necho 'self-decrypting stub'\nexit 1\n";
    std::uint64_t reserved = 0;
    // Trailer's data length when it should not be the payload's length.
    std::optional<std::uint64_t> dataLengthOverride;
    // Drop this many bytes from the end of the encrypted region.
    std::size_t truncateRegion = 0;
};

// Size, NUL-terminated name and content of each entry, back to back.
std::string buildEntryStream(const std::vector<ArchiveEntry> &entries);
// One RFC 1950 stream.
std::string zlibCompress(const std::string &data, int level = 6);

// Key (16 bytes) and check value (8 bytes) derived from the passphrase.
void deriveArchiveKey(const std::string &passphrase, const std::array<std::uint8_t, 8> &salt,
                      std::uint16_t hashCount, std::uint8_t key[16], std::uint8_t checkValue[8]);

// Encrypts one 512-byte block so that the reader's block decryption with
// the same key, salt and number gives the plaintext back.
void encryptArchiveBlock(const std::uint8_t key[16], const std::array<std::uint8_t, 8> &salt,
                         std::uint32_t blockNumber, const std::uint8_t plaintext[512],
                         std::uint8_t ciphertext[512]);

// Stub prefix, encrypted region of the payload, 44-byte trailer.
std::string buildArchive(const std::string &payload, const ArchiveOptions &options = {});
// The usual composition: entries -> entry stream -> zlib -> archive.
std::string buildArchive(const std::vector<ArchiveEntry> &entries, const ArchiveOptions &options = {});

bool writeFileBytes(const std::string &path, const std::string &bytes);
std::string readFileBytes(const std::string &path);

}  // namespace zavtest
