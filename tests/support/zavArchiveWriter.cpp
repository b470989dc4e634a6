// Test-only archive writer over independent peers (OpenSSL CAST5 and SHA-1,
// zlib): a reader bug cannot hide behind the same bug in the writer.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "zavArchiveWriter.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <openssl/cast.h>
#include <openssl/sha.h>
#include <stdexcept>
#include <zlib.h>

namespace zavtest {
namespace {

std::uint32_t loadLE32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void storeLE(std::uint64_t v, std::size_t n, std::uint8_t *p)
{
    for (std::size_t i = 0; i < n; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void appendLE(std::string &out, std::uint64_t v, std::size_t n)
{
    std::uint8_t bytes[8];
    storeLE(v, n, bytes);
    out.append(reinterpret_cast<const char *>(bytes), n);
}

// 64-bit CFB encryption of interleaved streams A (bytes 0..7 of each
// 16-byte chunk) and B (bytes 8..15).
void cfbEncryptInterleaved(const CAST_KEY &key, std::uint8_t a[8], std::uint8_t b[8], const std::uint8_t *in,
                           std::uint8_t *out, std::size_t chunks)
{
    for (std::size_t c = 0; c < chunks; ++c) {
        std::uint8_t mask[8];
        CAST_ecb_encrypt(a, mask, &key, CAST_ENCRYPT);
        for (int i = 0; i < 8; ++i)
            out[16 * c + i] = in[16 * c + i] ^ mask[i];
        std::memcpy(a, out + 16 * c, 8);
        CAST_ecb_encrypt(b, mask, &key, CAST_ENCRYPT);
        for (int i = 0; i < 8; ++i)
            out[16 * c + 8 + i] = in[16 * c + 8 + i] ^ mask[i];
        std::memcpy(b, out + 16 * c + 8, 8);
    }
}

}  // namespace

std::string buildEntryStream(const std::vector<ArchiveEntry> &entries)
{
    std::string stream;
    for (const ArchiveEntry &entry : entries) {
        std::uint64_t size = entry.directory ? ~std::uint64_t{0} : entry.content.size();
        if (entry.sizeOverride)
            size = *entry.sizeOverride;
        appendLE(stream, size, 8);
        stream += entry.name;
        stream.push_back('\0');
        if (!entry.directory)
            stream += entry.content;
    }
    return stream;
}

std::string zlibCompress(const std::string &data, int level)
{
    uLongf bound = compressBound(static_cast<uLong>(data.size()));
    std::string out(bound, '\0');
    if (compress2(reinterpret_cast<Bytef *>(out.data()), &bound, reinterpret_cast<const Bytef *>(data.data()),
                  static_cast<uLong>(data.size()), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(bound);
    return out;
}

void deriveArchiveKey(const std::string &passphrase, const std::array<std::uint8_t, 8> &salt,
                      std::uint16_t hashCount, std::uint8_t key[16], std::uint8_t checkValue[8])
{
    SHA_CTX sha;
    SHA1_Init(&sha);
    SHA1_Update(&sha, salt.data(), salt.size());
    std::uint8_t counter = 0;
    for (std::uint32_t i = 0; i < hashCount; ++i) {
        SHA1_Update(&sha, passphrase.data(), passphrase.size());
        SHA1_Update(&sha, &counter, 1);
        ++counter;
    }
    std::uint8_t digest[SHA_DIGEST_LENGTH];
    SHA1_Final(digest, &sha);
    std::memcpy(key, digest, 16);
    CAST_KEY schedule;
    CAST_set_key(&schedule, 16, digest);
    CAST_ecb_encrypt(digest, checkValue, &schedule, CAST_ENCRYPT);
}

void encryptArchiveBlock(const std::uint8_t key[16], const std::array<std::uint8_t, 8> &salt,
                         std::uint32_t blockNumber, const std::uint8_t plaintext[512],
                         std::uint8_t ciphertext[512])
{
    CAST_KEY schedule;
    CAST_set_key(&schedule, 16, key);

    // Undo the fix-up that decryption applies to the last two words.
    std::uint8_t block[512];
    std::memcpy(block, plaintext, 512);
    std::uint32_t x = blockNumber + loadLE32(salt.data());
    std::uint32_t y = blockNumber + loadLE32(salt.data() + 4);
    for (int i = 0; i < 126; ++i) {
        y += loadLE32(block + 4 * i);
        x += y;
    }
    storeLE(loadLE32(block + 504) ^ x, 4, block + 504);
    storeLE(loadLE32(block + 508) ^ y, 4, block + 508);

    std::uint8_t a[8];
    std::uint8_t b[8];
    std::memcpy(a, block + 504, 8);
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<std::uint8_t>(~a[i]);
    cfbEncryptInterleaved(schedule, a, b, block, ciphertext, 16);
    std::memcpy(a, ciphertext + 240, 8);
    std::memcpy(b, ciphertext + 248, 8);
    cfbEncryptInterleaved(schedule, a, b, block + 256, ciphertext + 256, 16);
}

std::string buildArchive(const std::string &payload, const ArchiveOptions &options)
{
    std::uint8_t key[16];
    std::uint8_t check[8];
    deriveArchiveKey(options.passphrase, options.salt, options.hashCount, key, check);

    std::string archive = options.prefix;
    const std::size_t blocks = (payload.size() + 511) / 512;
    std::string region;
    region.reserve(blocks * 512);
    for (std::size_t n = 0; n < blocks; ++n) {
        std::uint8_t plain[512] = {};
        std::size_t take = std::min<std::size_t>(512, payload.size() - 512 * n);
        std::memcpy(plain, payload.data() + 512 * n, take);
        std::uint8_t cipher[512];
        encryptArchiveBlock(key, options.salt, static_cast<std::uint32_t>(n), plain, cipher);
        region.append(reinterpret_cast<const char *>(cipher), 512);
    }
    region.resize(region.size() - std::min(options.truncateRegion, region.size()));
    archive += region;

    archive += "QELSDA";
    appendLE(archive, options.prefix.size(), 4);
    appendLE(archive, options.dataLengthOverride.value_or(payload.size()), 8);
    appendLE(archive, options.reserved, 8);
    archive.append(reinterpret_cast<const char *>(options.salt.data()), 8);
    appendLE(archive, options.hashCount, 2);
    archive.append(reinterpret_cast<const char *>(check), 8);
    return archive;
}

std::string buildArchive(const std::vector<ArchiveEntry> &entries, const ArchiveOptions &options)
{
    return buildArchive(zlibCompress(buildEntryStream(entries)), options);
}

bool writeFileBytes(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string readFileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace zavtest
