// PKCS #12 (RFC 7292) files in and out of the key database: a PKCS #8 key
// and its certificates behind a password. Export writes the forms every
// reader takes (a pbeWithSHAAnd3-KeyTripleDES-CBC shrouded key, plain
// certificate bags, an HMAC-SHA-1 MAC); import reads those and what current
// OpenSSL writes (PBES2 with PBKDF2 and AES-CBC, SHA-2 MACs).
#pragma once

#include <cstddef>
#include <cstdint>

#include "asn1.h"
#include "asn1PKIX.h"
#include "qelContext.h"
#include "qelErrors.h"
#include "qelMemory.h"

struct ASN1_SafeBag;

// Iteration counts above this (from a caller or from a file) are refused:
// every count is run in full, so an unbounded one is a denial of service.
inline constexpr std::int64_t kQELPKCS12MaxIterations = 1000000;

// A password in both forms a file may need: the UTF-8 octets (PBES2 keys)
// and the BMP form of RFC 7292 appendix B.1 (PKCS #12 derivation), each in
// secure memory.
struct QELPKCS12Password {
    const std::uint8_t *text;
    std::size_t textLength;
    const std::uint8_t *bmp;
    std::size_t bmpLength;
};

// PFX DER of one key (PKCS #8 PrivateKeyInfo DER) with a SET OF certificates
// (or null) and a friendly name, in a new block of the context's memory
// manager (the caller frees it with qelMemFree).
[[nodiscard]] QELStatus qelPKCS12Export(QELContext *context, const std::uint8_t *key, std::uint64_t keyLength,
                                        const char *password, std::uint64_t passwordLength,
                                        const std::uint8_t *certificates, std::uint64_t certificatesLength,
                                        const char *friendlyName, std::uint64_t friendlyNameLength,
                                        std::int32_t macIterations, std::int32_t keyIterations, std::int32_t reserved,
                                        std::uint8_t **out, std::uint64_t *outLength);
// The key as PrivateKeyInfo DER (a secure block) and the certificates as the
// DER of one SET OF certificates, each a block of the context's memory
// manager or null when the file holds none. A key the file holds but that
// cannot be read fails the import with that status: success always means
// every key bag was read.
[[nodiscard]] QELStatus qelPKCS12Import(QELContext *context, const std::uint8_t *pfx, std::uint64_t pfxLength,
                                        const char *password, std::uint64_t passwordLength, std::uint8_t **key,
                                        std::uint64_t *keyLength, std::uint8_t **certificates,
                                        std::uint64_t *certificatesLength);

// One password-encrypted blob under a PKCS #12 PBE or a PBES2 algorithm; the
// plaintext in a new secure block of the context's memory manager.
[[nodiscard]] QELStatus qelPKCS12Decrypt(QELContext *context, const QELPKCS12Password *password,
                                         const std::uint8_t *ciphertext, std::uint64_t ciphertextLength,
                                         const ASN1_AlgorithmIdentifier *algorithm, ASN1Context *codec,
                                         std::uint8_t **plaintext, std::uint64_t *plaintextLength);
// RFC 7292 appendix B.2 with SHA-1, SHA-2 or MD5 (hash ids of the SDK): n
// octets (at least; *outLength tells) into a new secure block of the memory
// manager.
[[nodiscard]] QELStatus qelPKCS12DeriveKey(QELMemoryMgr *mgr, std::int32_t hashId, std::uint8_t id,
                                           std::int64_t iterations, const std::uint8_t *salt, std::size_t saltLength,
                                           const std::uint8_t *password, std::size_t passwordLength, std::size_t n,
                                           std::uint8_t **out, std::size_t *outLength);
// PBKDF2 (RFC 8018 5.2) with HMAC over an SDK hash: n octets into out.
[[nodiscard]] QELStatus qelPKCS12PBKDF2(QELMemoryMgr *mgr, std::int32_t hashId, const std::uint8_t *password,
                                        std::size_t passwordLength, const std::uint8_t *salt, std::size_t saltLength,
                                        std::int64_t iterations, std::uint8_t *out, std::size_t n);
// UTF-8 text to the BMP form (big-endian UTF-16 with a zero unit) in a new
// secure block; text that is not UTF-8 takes one unit per octet.
[[nodiscard]] QELStatus qelPKCS12PasswordToBMP(QELMemoryMgr *mgr, const std::uint8_t *text, std::size_t textLength,
                                               std::uint8_t **out, std::size_t *outLength);
// Whole copies of the input (the last cut short) to a multiple of block
// octets, in a new secure block; a null output for an empty input.
[[nodiscard]] QELStatus qelPKCS12Replicate(QELMemoryMgr *mgr, const std::uint8_t *data, std::size_t length,
                                           std::size_t block, std::uint8_t **out, std::size_t *outLength);
// The bag attributes: friendlyName (BMPString) and localKeyId.
[[nodiscard]] QELStatus qelPKCS12SetBagAttributes(ASN1Context *codec, ASN1_SafeBag *bag, const std::uint8_t *name,
                                                  std::size_t nameLength, const std::uint8_t *localKeyId,
                                                  std::size_t localKeyIdLength);
