// Public-key and secret-key objects (RSA, ElGamal, DSA and token-held keys)
// and the dispatch by RFC 4880 public-key algorithm id. Internal: the key
// database, key generation, the operation contexts and the self-test build
// on these; applications reach them only through those layers.
#pragma once

#include "qelErrors.h"
#include "qelPkAlg.h"

#include <cstddef>
#include <cstdint>

struct QELBigNum;
struct QELContext;
struct QELHashDescriptor;
struct QELKeyObject;
struct QELRandomContext;
struct QELSettings;
struct QELTokenDevice;

// Usage bits of a table row.
enum : std::uint32_t {
    QELPkUsage_Sign = 1,
    QELPkUsage_Encrypt = 2,
};

// One row of the algorithm table.
struct QELPkAlgEntry {
    std::uint8_t algorithm;
    std::uint32_t usage;
};

// Progress of a key generation: one character at a time; a negative result
// aborts the generation and is returned as its status.
using QELPkProgressProc = std::int32_t (*)(void *userData, std::int32_t ch);

struct QELPublicKeyObject;
struct QELSecretKeyObject;

// The public half of a key: a record of values and ten operations.
// Sizes answer a negative status where the algorithm lacks the operation.
struct QELPublicKeyObject {
    QELContext *context;
    void *reserved;                  // always null
    std::uint8_t algorithm;          // 1, 2, 3, 16 or 17
    std::uint8_t keyID[8];
    QELKeyObject *owner;             // the key database's object, or null
    void *publicData;                // the algorithm's public record

    QELStatus (*destroy)(QELPublicKeyObject *self);
    std::int32_t (*maxEncryptedSize)(QELPublicKeyObject *self, std::int32_t format);
    std::int32_t (*maxPlaintextSize)(QELPublicKeyObject *self);
    std::int32_t (*maxSignatureSize)(QELPublicKeyObject *self, std::int32_t format);
    // out holds at least maxEncryptedSize(format) octets.
    QELStatus (*encrypt)(QELPublicKeyObject *self, const std::uint8_t *in, std::size_t length,
                         std::uint8_t *out, std::size_t *outLength, QELRandomContext *random,
                         std::int32_t format);
    // 1 valid, 0 not valid, a negative status when the signature cannot be
    // read. hash may be null (no DigestInfo); the digest is digestLength octets.
    std::int32_t (*verify)(QELPublicKeyObject *self, const std::uint8_t *signature,
                           std::size_t length, const QELHashDescriptor *hash,
                           const std::uint8_t *digest, std::size_t digestLength,
                           std::int32_t format);
    std::size_t (*exportedSize)(QELPublicKeyObject *self);
    // Writes exportedSize() octets: the public values as MPIs.
    void (*exportPublic)(QELPublicKeyObject *self, std::uint8_t *out);
    // Copies of the public values, one begun number per value.
    QELStatus (*getParameters)(QELPublicKeyObject *self, QELBigNum *const *values);
    void (*setKeyID)(QELPublicKeyObject *self, const std::uint8_t keyID[8]);
};

// The secret half: the stored (usually protected) key material and, while
// unlocked, the secret values decoded from it.
struct QELSecretKeyObject {
    QELContext *context;
    std::uint8_t algorithm;
    std::uint8_t keyID[8];
    QELKeyObject *owner;             // the key database's object, or null
    void *secretData;                // the algorithm's secret record
    std::uint8_t token;              // 1 for a token-held key

    QELStatus (*destroy)(QELSecretKeyObject *self);
    // Null when memory runs out.
    QELPublicKeyObject *(*publicObject)(QELSecretKeyObject *self);
    std::uint32_t (*isLocked)(QELSecretKeyObject *self);
    QELStatus (*protectionCipher)(QELSecretKeyObject *self, std::uint32_t *outCipher,
                                  std::uint64_t *outKeySize);
    QELStatus (*protectionS2KType)(QELSecretKeyObject *self, std::uint32_t *outType);
    // key receives the cipher's key size in octets (at most 32).
    QELStatus (*deriveProtectionKey)(QELSecretKeyObject *self, QELSettings *settings,
                                     const void *passphrase, std::size_t length,
                                     std::uint8_t *key);
    // 1 unlocked, 0 the passphrase does not unlock, a negative status for
    // malformed material.
    std::int32_t (*unlock)(QELSecretKeyObject *self, const void *passphrase, std::size_t length,
                           std::uint8_t passkey);
    QELStatus (*lock)(QELSecretKeyObject *self);
    std::int32_t (*maxEncryptedSize)(QELSecretKeyObject *self, std::int32_t format);
    std::int32_t (*maxPlaintextSize)(QELSecretKeyObject *self);
    std::int32_t (*maxSignatureSize)(QELSecretKeyObject *self, std::int32_t format);
    // out holds at least maxPlaintextSize() octets (format 1: two more).
    QELStatus (*decrypt)(QELSecretKeyObject *self, const std::uint8_t *in, std::size_t length,
                         std::uint8_t *out, std::size_t *outLength, const void *passphrase,
                         std::size_t passphraseLength, std::int32_t format);
    // hash may be null (no DigestInfo); out holds maxSignatureSize(format).
    QELStatus (*sign)(QELSecretKeyObject *self, const QELHashDescriptor *hash,
                      const std::uint8_t *digest, std::size_t digestLength, std::uint8_t *out,
                      std::size_t *outLength, QELRandomContext *random, std::int32_t format);
    QELStatus (*changeProtection)(QELSecretKeyObject *self, QELSettings *settings,
                                  QELRandomContext *random, const void *oldPassphrase,
                                  std::size_t oldLength, std::uint8_t oldPasskey,
                                  const void *newPassphrase, std::size_t newLength,
                                  std::uint32_t s2kType);
    std::size_t (*secretDataLength)(QELSecretKeyObject *self);
    void (*exportSecretData)(QELSecretKeyObject *self, std::uint8_t *out);
    // One begun number per secret value (RSA d, p, q, u; ElGamal and DSA x).
    QELStatus (*getSecretParameters)(QELSecretKeyObject *self, QELBigNum *const *values);
    void (*setKeyID)(QELSecretKeyObject *self, const std::uint8_t keyID[8]);
};

// ---- dispatch ---------------------------------------------------------------

// The table row of an algorithm id, or null.
const QELPkAlgEntry *qelPkAlgFind(std::uint8_t algorithm);
// The row's usage bits; 0 for null.
std::uint32_t qelPkAlgGetUsage(const QELPkAlgEntry *entry);
// Bits of true randomness a generation of such a key draws.
std::uint32_t qelPkAlgKeyGenEntropyNeeded(const QELPkAlgEntry *entry, std::uint32_t bits,
                                          std::uint8_t fastGeneration, std::uint8_t oldFormatRSA,
                                          QELTokenDevice *token);
// Octets of the public MPIs at the start of key material (RSA 2, ElGamal 3,
// DSA 4); a negative status for malformed or short MPIs; 0 for other ids.
std::int32_t qelPkAlgPublicDataLength(std::uint8_t algorithm, const std::uint8_t *material,
                                      std::size_t length);
// A new unlocked secret-key object, or null with *outStatus set.
QELSecretKeyObject *qelPkAlgGenerateKey(QELContext *context, const QELPkAlgEntry *entry,
                                        std::uint32_t bits, std::uint32_t subgroupBits,
                                        std::uint8_t fastGeneration, std::uint8_t oldFormatRSA,
                                        QELRandomContext *random, QELPkProgressProc progress,
                                        void *progressData, QELTokenDevice *token, const void *passphrase,
                                        std::size_t passphraseLength, std::uint8_t primaryKey,
                                        QELStatus *outStatus);
// Objects from stored key material; null with *outStatus set on failure.
QELSecretKeyObject *qelSecretKeyObjectFromData(QELContext *context, std::uint8_t algorithm,
                                               const std::uint8_t *material, std::size_t length,
                                               std::uint8_t oldFormat, QELTokenDevice *token,
                                               QELStatus *outStatus);
QELPublicKeyObject *qelPublicKeyObjectFromData(QELContext *context, std::uint8_t algorithm,
                                               const std::uint8_t *material, std::size_t length,
                                               QELStatus *outStatus);
