// Public-key and secret-key objects (RSA, ElGamal, DSA and token-held keys)
// and the dispatch by RFC 4880 public-key algorithm id. Internal: the key
// database, key generation, the operation contexts and the self-test build
// on these; applications reach them only through those layers.
#pragma once

#include "qelPkAlg.h"

#include "qelBigNumInternal.h"
#include "qelErrors.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

struct QELBigNum;
struct QELContext;
struct QELHashDescriptor;
struct QELKeyObject;
struct QELMemoryMgr;
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

// ---- the shared frame of the RSA, ElGamal and DSA objects --------------------

// Public values, in the algorithm's order (RSA n, e; ElGamal p, g, y;
// DSA p, q, g, y).
struct QELPkKeyOps;
struct QELPkPublicRecord {
    const QELPkKeyOps *ops;
    QELBigNum value[4];
    std::uint8_t count;
};

// The secret record of RSA, ElGamal and DSA alike: the public values, then
// the secret values (RSA d, p, q, u; ElGamal x; DSA x), and the stored
// material they are decoded from.
struct QELPkSecretRecord {
    QELContext *context;
    const QELPkKeyOps *ops;
    QELBigNum value[6];
    std::uint8_t publicCount;
    std::uint8_t secretCount;
    std::uint8_t *material;          // owned; wiped over its capacity when freed
    std::size_t capacity;
    std::size_t length;
    std::uint32_t locked;            // 1: the secret values are empty
    std::uint8_t oldFormat;          // RSA keys of packet version 2 or 3
    // What the algorithm derives from the secret values once they are
    // loaded (RSA: d mod p-1, d mod q-1, R^2 mod p, q and n for the
    // Montgomery domains), secure, and wiped with the secret values.
    QELBigNum derived[7];
    // RSA's kept operation block (secure, of its own: a use count, n's word
    // count, the blinding pair r^e R and r^-1 R mod n in Montgomery form,
    // R^2 mod n for the IFMA radix, and the operation's scratch, zero while
    // kept), taken by one operation at a time through std::atomic_ref; null
    // when none is kept.
    std::uint32_t *blinding;
};
// Wipes and frees the kept blinding pair, if any.
void qelPkDropBlinding(QELPkSecretRecord *record);
using QELRSASecretData = QELPkSecretRecord;
using QELElGamalSecretData = QELPkSecretRecord;
using QELDSASecretData = QELPkSecretRecord;

// What an algorithm adds to the shared frame.
struct QELPkKeyOps {
    std::uint8_t publicCount;
    std::uint8_t secretCount;
    // Status of a secret constructor whose first unlock fails.
    QELStatus constructorFailure;
    // Public values of key material into begun numbers: 0 or a status.
    QELStatus (*parsePublic)(const std::uint8_t *material, std::size_t length, QELBigNum *values);
    // The public values of stored material: octets they take, or a status.
    std::int32_t (*readStoredPublic)(const std::uint8_t *material, std::size_t length,
                                     QELBigNum *values);
    // Checks the public values decoded on unlock: 0 or a status.
    QELStatus (*checkPublic)(const QELBigNum *values);
    // Checks a candidate set of secret values: 1 good, 0 the attempt fails,
    // QELError_BadKeyParameters when the values contradict the public ones.
    std::int32_t (*checkSecret)(QELSecretKeyObject *self, const QELBigNum *publicValues,
                                const QELBigNum *secretValues, bool hashIntegrity);
    // Accepts a checksum stored in the clear under protection (legacy RSA).
    bool clearChecksumToo;
    // A limit checked when an object is made from stored material.
    std::uint32_t maxModulusBits;

    std::int32_t (*publicMaxEncryptedSize)(QELPublicKeyObject *, std::int32_t);
    std::int32_t (*publicMaxPlaintextSize)(QELPublicKeyObject *);
    std::int32_t (*publicMaxSignatureSize)(QELPublicKeyObject *, std::int32_t);
    decltype(QELPublicKeyObject::encrypt) encrypt;
    decltype(QELPublicKeyObject::verify) verify;
    std::int32_t (*secretMaxEncryptedSize)(QELSecretKeyObject *, std::int32_t);
    std::int32_t (*secretMaxPlaintextSize)(QELSecretKeyObject *);
    std::int32_t (*secretMaxSignatureSize)(QELSecretKeyObject *, std::int32_t);
    decltype(QELSecretKeyObject::decrypt) decrypt;
    decltype(QELSecretKeyObject::sign) sign;
    // Derives what a public object keeps beside its values (into the free
    // value slots after them) once, when the object is made; null for none.
    QELStatus (*preparePublic)(QELBigNum *values);
    // Fills the record's derived values from freshly loaded secret values,
    // in constant time; null for none. 0 or a status.
    QELStatus (*prepareSecret)(QELPkSecretRecord *record);
};

extern const QELPkKeyOps qelRSAKeyOps;
extern const QELPkKeyOps qelElGamalKeyOps;
extern const QELPkKeyOps qelDSAKeyOps;

inline QELPkPublicRecord *qelPkPublicRecord(QELPublicKeyObject *o)
{
    return static_cast<QELPkPublicRecord *>(o->publicData);
}
inline QELPkSecretRecord *qelPkSecretRecord(QELSecretKeyObject *o)
{
    return static_cast<QELPkSecretRecord *>(o->secretData);
}

// A public-key object over copies of the values; null with *outStatus set.
QELPublicKeyObject *qelPkPublicObjectNew(QELContext *context, std::uint8_t algorithm,
                                         const QELPkKeyOps &ops, const QELBigNum *values,
                                         QELStatus *outStatus);
// A secret-key object over stored material, unlocked at once when the
// material is not protected; null with *outStatus set.
QELSecretKeyObject *qelPkSecretObjectFromMaterial(QELContext *context, std::uint8_t algorithm,
                                                  const QELPkKeyOps &ops,
                                                  const std::uint8_t *material, std::size_t length,
                                                  std::uint8_t oldFormat, QELStatus *outStatus);
// A new unlocked object that takes over the numbers (public then secret
// values, begun; they are emptied) and writes its unprotected material.
QELSecretKeyObject *qelPkSecretObjectFromValues(QELContext *context, std::uint8_t algorithm,
                                                const QELPkKeyOps &ops, QELBigNum *values,
                                                std::uint8_t oldFormat, QELRandomContext *random,
                                                QELStatus *outStatus);
// A locked object is unlocked with the passphrase (no passkey): 0 when it
// is unlocked now, QELError_KeyLocked when the passphrase does not do it, or
// the unlock's negative status.
[[nodiscard]] QELStatus qelPkUnlockForUse(QELSecretKeyObject *self, const void *passphrase, std::size_t length);

// Octet length of a value of n bits.
inline std::uint32_t qelPkOctets(std::uint32_t bits) { return (bits + 7) / 8; }

// The generators of the three algorithms (see qelPkAlgGenerateKey).
QELSecretKeyObject *qelRSAGenerateKey(QELContext *context, std::uint32_t bits, std::uint8_t oldFormat,
                                      QELRandomContext *random, QELPkProgressProc progress,
                                      void *progressData, QELStatus *outStatus);
QELSecretKeyObject *qelElGamalGenerateKey(QELContext *context, std::uint32_t bits,
                                          std::uint8_t fastGeneration, QELRandomContext *random,
                                          QELPkProgressProc progress, void *progressData,
                                          QELStatus *outStatus);
QELSecretKeyObject *qelDSAGenerateKey(QELContext *context, std::uint32_t bits,
                                      QELRandomContext *random, QELPkProgressProc progress,
                                      void *progressData, QELStatus *outStatus);

// N numbers begun together and released (wiped) together on every exit.
template <std::size_t N>
class QELPkNumbers {
public:
    QELPkNumbers(QELMemoryMgr *mgr, bool secure)
    {
        for (QELBigNum &n : v_)
            qelBigNumBegin(&n, mgr, secure ? 1 : 0);
    }
    ~QELPkNumbers()
    {
        for (QELBigNum &n : v_)
            QELBigNumOps.qelBigNumFree(&n);
    }
    QELPkNumbers(const QELPkNumbers &) = delete;
    QELPkNumbers &operator=(const QELPkNumbers &) = delete;
    QELBigNum *operator[](std::size_t i) { return &v_[i]; }
    QELBigNum *data() { return v_; }

private:
    QELBigNum v_[N];
};

// ---- helpers the algorithms share

// The first `count` MPIs of key material into begun numbers, walked with
// the MPI checks. Octets they take, or a status.
std::int32_t qelPkReadMPIs(const std::uint8_t *material, std::size_t length, std::uint32_t count,
                           QELBigNum *values);
// 2 <= v <= p - 1.
bool qelPkInGroupRange(const QELBigNum *v, const QELBigNum *p);
// For a secret v and a public bound: 0 < v < bound, and a == b, each
// decided without a branch on the values (only the verdict is public).
bool qelPkCTInRange(const QELBigNum *v, const QELBigNum *bound);
bool qelPkCTEqual(const QELBigNum *a, const QELBigNum *b);
// Sum modulo 65536 of a session key's octets after its algorithm octet.
std::uint16_t qelPkSessionKeyChecksum(const std::uint8_t *key, std::size_t length);
// A decrypted session key of `length` octets (at least 3) ends in its
// checksum: compared without a branch on the octets; the two checksum
// octets are zeroed, and on a mismatch the whole key is wiped.
bool qelPkCheckSessionKeyChecksum(std::uint8_t *key, std::size_t length);
// Two values in a format: RFC 4880 two MPIs, DER a SEQUENCE of two INTEGERs,
// any other format two fixed-size values of `size` octets.
std::int32_t qelPkPairMaxSize(std::uint32_t size, std::int32_t format);
std::int32_t qelPkWritePair(const QELBigNum *a, const QELBigNum *b, std::uint8_t *out, std::uint32_t size,
                            std::int32_t format);
// Reads the pair and requires it to use up the input: octets read, or
// `shortStatus` when a value is missing or octets are left over, or
// QELError_BadKeyEncoding for a malformed DER frame, or the reader's status.
std::int32_t qelPkReadPair(QELBigNum *a, QELBigNum *b, const std::uint8_t *in, std::size_t length,
                           std::uint32_t size, std::int32_t format, QELStatus shortStatus);

// Releases a random context made for one operation (through its destroy
// hook when it has one).
void qelPkDestroyRandom(QELRandomContext *random);

// The caller's progress callback as the prime searches of a generation see
// it: their user data is the QELPkProgress.
struct QELPkProgress {
    QELPkProgressProc proc;
    void *data;
    std::int32_t operator()(std::int32_t ch) const { return proc ? proc(data, ch) : 0; }
};
std::int32_t qelPkProgressForward(void *progress, std::int32_t ch);
// The status of a failed prime search: the caller's abort as it was given,
// otherwise a memory failure.
inline QELStatus qelPkSearchFailure(std::int32_t result) { return result < -1 ? result : QELError_OutOfMemory; }
