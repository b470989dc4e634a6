// Protection of stored secret-key material (RFC 4880 section 5.5.3): the
// header that keys a CFB decryptor or encryptor from a passphrase, and the
// secret MPIs and their checksum read and written through it.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELBigNum;
struct QELCFBContext;
struct QELContext;
struct QELHashContext;

// Parses the protection header at the start of the secret part and keys a
// one-stream CFB object. Returns the offset of the first encrypted octet
// (header and IV), or 1 for unprotected material (no CFB object), or a
// negative status: -11349 short header, -11418 unknown cipher, -11999,
// a string-to-key parse error, or QELError_BadPassphrase when a raw key
// (rawKey set) is not exactly the cipher's key length.
std::int32_t qelKeyProtectionOpen(const std::uint8_t *header, std::size_t length,
                                  const void *passphrase, std::size_t passphraseLength,
                                  std::uint8_t rawKey, std::uint8_t twofishAlternative,
                                  QELContext *context, QELCFBContext **outCFB);

// The 16-bit checksum, big-endian; encrypted in place with a CFB object
// unless the material uses version-3 protection (checksum in the clear).
void qelKeyChecksumWrite(std::uint16_t value, std::uint8_t *out, QELCFBContext *cfb,
                         std::uint8_t version3);
std::uint16_t qelKeyChecksumRead(const std::uint8_t *in, QELCFBContext *cfb, std::uint8_t version3);

// Writes the MPI (2 + magnitude octets) into out, adds its plain octets to
// *checksum and encrypts it through the CFB object when one is given.
std::uint32_t qelKeyMPIWrite(const QELBigNum *number, std::uint8_t *out, QELCFBContext *cfb,
                             std::uint32_t *checksum, std::uint8_t version3);
// Reads one MPI from at most `length` octets, decrypting through the CFB
// object when given, adding its plain octets to *checksum and feeding them to
// the hash. Octets consumed; 0 when the data is too short; -11999.
std::int32_t qelKeyMPIRead(QELBigNum *number, const std::uint8_t *in, std::size_t length,
                           QELCFBContext *cfb, std::uint32_t *checksum, QELHashContext *hash,
                           std::uint8_t version3);
