// Trailer, passphrase check and block decryption.
#include "zavArchive.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>

#include "qelAlgorithms.h"
#include "qelCipherBulk.h"
#include "qelHelpers.h"
#include "qelSHA1Internal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelWipe.h"
#include "zavReader.h"
#include "zavTerminal.h"

namespace {

const QELCipherDescriptor *cast5Descriptor()
{
    static const QELCipherDescriptor *const descriptor = qelCipherDescriptorFind(QELCipherAlgorithm_CAST5);
    return descriptor;
}

inline std::uint32_t loadLE32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void storeLE32(std::uint32_t v, std::uint8_t *p)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace

std::uint32_t trailerSaltLow(const ArchiveTrailer &trailer)
{
    return loadLE32(trailer.salt);
}

std::uint32_t trailerSaltHigh(const ArchiveTrailer &trailer)
{
    return loadLE32(trailer.salt + 4);
}

void readArchiveTrailer(std::FILE *archive, ArchiveTrailer *trailer)
{
    std::memset(trailer, 0, sizeof *trailer);
    // A file shorter than the trailer: the seek fails and the fields come
    // from wherever the stream stands; the magic check then refuses it.
    // Bytes a short read leaves out stay zero, and so do the fields they
    // would have filled.
    fseeko(archive, -static_cast<off_t>(kTrailerSize), SEEK_END);
    std::uint8_t bytes[kTrailerSize] = {};
    static_cast<void>(std::fread(bytes, 1, sizeof bytes, archive));

    qel::ByteCursor in(bytes, sizeof bytes);
    ArchiveTrailer t{};
    const bool whole = in.copy(t.magic) && in.le32(t.dataOffset) && in.le64(t.dataLength) &&
                       in.le64(t.reserved) && in.copy(t.salt) && in.le16(t.hashCount) &&
                       in.copy(t.checkValue);
    if (whole)
        *trailer = t;
}

bool trailerHasMagic(const ArchiveTrailer &trailer)
{
    return std::memcmp(trailer.magic, kTrailerMagic, sizeof kTrailerMagic) == 0;
}

void freeKeyContext(void *keyContext)
{
    if (keyContext == nullptr)
        return;
    qelSecureWipe(keyContext, kKeyContextSize);
    std::free(keyContext);
}

bool checkPassphrase(const char *passphrase, void **outKeyContext, const ArchiveTrailer &trailer)
{
    *outKeyContext = nullptr;
    const QELCipherDescriptor *cast5 = cast5Descriptor();
    if (cast5 == nullptr || cast5->contextSize > kKeyContextSize)
        return false;

    QELSHA1State sha;
    std::memset(&sha, 0, sizeof sha);
    qelSHA1Init(&sha);
    qelSHA1Update(&sha, trailer.salt, sizeof trailer.salt);
    const std::size_t length = passphrase == nullptr ? 0 : std::strlen(passphrase);
    std::uint8_t counter = 0;
    for (std::uint32_t i = 0; i < trailer.hashCount; ++i) {
        qelSHA1Update(&sha, passphrase, length);
        qelSHA1Update(&sha, &counter, 1);
        ++counter;
    }
    std::uint8_t digest[kQELSHA1DigestSize];
    std::memcpy(digest, qelSHA1Final(&sha), sizeof digest);
    qelSecureWipe(&sha, sizeof sha);

    void *key = std::calloc(1, kKeyContextSize);
    if (key == nullptr) {
        qelSecureWipe(digest, sizeof digest);
        return false;
    }
    cast5->keySchedule(key, digest);
    std::uint8_t block[8];
    std::memcpy(block, digest, sizeof block);
    cast5->encrypt(key, block, block);
    qelSecureWipe(digest, sizeof digest);
    const bool accepted = std::memcmp(block, trailer.checkValue, sizeof block) == 0;
    qelSecureWipe(block, sizeof block);
    if (!accepted) {
        freeKeyContext(key);
        return false;
    }
    *outKeyContext = key;
    return true;
}

QELStatus promptForPassphrase(const ArchiveTrailer &trailer, void **outKeyContext,
                              const char *givenPassphrase, ReaderSettings *settings)
{
    *outKeyContext = nullptr;
    if (givenPassphrase != nullptr)
        return checkPassphrase(givenPassphrase, outKeyContext, trailer) ? QELError_NoErr
                                                                         : QELError_BadPassphrase;

    static constexpr char kFirstPrompt[] = "\nArchive is QEL secured.  Enter the passphrase: ";
    static constexpr char kRetryPrompt[] = "\nBad passphrase.  Re-enter the passphrase: ";
    char buffer[4097] = {};
    QELStatus status = QELError_BadPassphrase;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        if (attempt == 1) {
            printOutput(kFirstPrompt);
        }
        if (readTerminalLine(buffer, 4096, nullptr) == -1) {
            printErrorLine(settings, "Error reading keyboard input.");
            status = QELError_ReadFailed;
            break;
        }
        if (checkPassphrase(buffer, outKeyContext, trailer)) {
            printOutput("\n");
            status = QELError_NoErr;
            break;
        }
        if (attempt < 3) {
            printOutput(kRetryPrompt);
        } else {
            printOutput("\n");
        }
    }
    qelSecureWipe(buffer, sizeof buffer);
    return status;
}

void cfbDecryptInterleaved(void *keyContext, std::uint8_t registerA[8], std::uint8_t registerB[8],
                           const std::uint8_t *ciphertext, std::uint8_t *plaintext,
                           std::size_t chunkCount)
{
    // Each chunk's masks are the encryption of the chunk before it (the
    // registers for the first), all ciphertext already at hand: a group of
    // chunks goes through the cipher in one several-block call.
    constexpr std::size_t kGroup = 16;
    std::uint8_t feedback[16 * kGroup];
    std::uint8_t mask[16 * kGroup];
    std::memcpy(feedback, registerA, 8);
    std::memcpy(feedback + 8, registerB, 8);
    while (chunkCount > 0) {
        const std::size_t n = std::min(chunkCount, kGroup);
        const std::size_t bytes = 16 * n;
        std::memcpy(feedback + 16, ciphertext, bytes - 16);
        // Decrypting in place overwrites the next feedback: keep it first.
        std::memcpy(registerA, ciphertext + bytes - 16, 8);
        std::memcpy(registerB, ciphertext + bytes - 8, 8);
        qelCAST5EncryptBlocks(keyContext, feedback, mask, 2 * n);
        for (std::size_t i = 0; i < bytes; ++i)
            plaintext[i] = static_cast<std::uint8_t>(ciphertext[i] ^ mask[i]);
        std::memcpy(feedback, registerA, 8);
        std::memcpy(feedback + 8, registerB, 8);
        ciphertext += bytes;
        plaintext += bytes;
        chunkCount -= n;
    }
    // The keystream, and the registers a caller may seed with plaintext.
    qelSecureWipe(mask, sizeof mask);
    qelSecureWipe(feedback, sizeof feedback);
}

void decryptArchiveBlock(const ArchiveTrailer &trailer, void *keyContext, std::uint32_t blockNumber,
                         const std::uint8_t *ciphertext, std::uint8_t *plaintext)
{
    constexpr std::size_t kHalf = kArchiveBlockSize / 2;
    std::uint8_t registerA[8];
    std::uint8_t registerB[8];

    // The second half chains from the last ciphertext chunk of the first.
    std::memcpy(registerA, ciphertext + kHalf - 16, 8);
    std::memcpy(registerB, ciphertext + kHalf - 8, 8);
    cfbDecryptInterleaved(keyContext, registerA, registerB, ciphertext + kHalf, plaintext + kHalf, kHalf / 16);

    // The first half starts from the block's last plaintext bytes, taken
    // before the fix-up below changes them.
    std::memcpy(registerA, plaintext + kArchiveBlockSize - 8, 8);
    for (int i = 0; i < 8; ++i)
        registerB[i] = static_cast<std::uint8_t>(~registerA[i]);
    cfbDecryptInterleaved(keyContext, registerA, registerB, ciphertext, plaintext, kHalf / 16);

    std::uint32_t x = blockNumber + trailerSaltLow(trailer);
    std::uint32_t y = blockNumber + trailerSaltHigh(trailer);
    for (std::size_t i = 0; i < 126; ++i) {
        y += loadLE32(plaintext + 4 * i);
        x += y;
    }
    storeLE32(loadLE32(plaintext + 4 * 126) ^ x, plaintext + 4 * 126);
    storeLE32(loadLE32(plaintext + 4 * 127) ^ y, plaintext + 4 * 127);
    qelSecureWipe(registerA, sizeof registerA);
    qelSecureWipe(registerB, sizeof registerB);
}
