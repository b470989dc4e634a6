// Signature checks on keys: hashing key material in RFC 4880 order, checking
// the signatures a key database holds on its keys, subkeys and user IDs, and
// making new signatures over key material.
#pragma once

#include "qelErrors.h"
#include "qelKeySig.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELHashContext;
struct QELKeyDB;
struct QELKeyObject;
struct QELKeySet;
struct QELSigSigner;
struct QELSecretKeyObject;
class QELSigPublicCache;
struct QELSigSpec;

// What a packet body is when it is hashed for a signature.
enum class QELHashedObject : std::uint8_t {
    Key,           // key or subkey, public form: 0x99 and a 2-octet length
    UserID,        // version 4: 0xB4 and a 4-octet length
    UserAttribute, // version 4: 0xD1 and a 4-octet length
};

// Feeds one object's packet body with its prefix. User IDs get no prefix for
// version 2 and 3 signatures. A key body longer than 65535 octets cannot be
// described by the prefix: QELError_BadPacketFormat.
[[nodiscard]] QELStatus qelKeySigHashPacketBody(QELHashContext *hash, QELHashedObject kind, const std::uint8_t *body,
                                                std::size_t length, bool version4);

// One key, subkey or user ID (a key with a secret part in its public form).
[[nodiscard]] QELStatus qelKeySigHashObject(QELHashContext *hash, QELKeyObject *object, bool version4);
// The objects from the top-level key down to the signed object: key; key and
// user ID; key and subkey.
[[nodiscard]] QELStatus qelKeySigHashKeyMaterial(QELHashContext *hash, QELKeyObject *signedObject, bool version4);

// Whether a signature is to be checked; the signer (null when it is not at
// hand) goes to outSigner when given.
bool qelKeySigNeedsCheck(QELKeyObject *sig, QELKeyDB *extra, bool recheck, bool revocationsOnly,
                         QELKeyObject **outSigner);

// Checks one signature and records the result in its state. The three
// outputs may be null; a run of checks may keep signers' public-key objects
// in a cache.
[[nodiscard]] QELStatus qelKeySigCheckOne(QELKeyDB *db, QELKeyObject *sig, QELKeyDB *extra, bool recheck,
                                          bool revocationsOnly, std::uint8_t *outFound, std::uint8_t *outChanged,
                                          std::uint8_t *outValid, QELSigPublicCache *cache = nullptr);

// Called after every signature a set check found a signer for; a non-zero
// answer stops the check and is returned.
using QELKeySigProgressFn = std::int32_t (*)(void *progressContext, QELKeyObject *sig, bool valid);

struct QELKeySigProgress {
    QELContext *context;
    QELEventHandler handler;
    void *userData;
    std::uint64_t done;
    std::uint64_t total;
};
std::int32_t qelKeySigProgress(void *progressContext, QELKeyObject *sig, bool valid);

[[nodiscard]] QELStatus qelKeySigCheckSet(QELKeySet *set, QELKeyDB *extra, bool recheck, bool revocationsOnly,
                                          bool throughService, QELKeySigProgressFn progress, void *progressContext,
                                          QELKeySet *changed);
[[nodiscard]] QELStatus qelKeySigCheckSetWithProgress(QELKeySet *set, QELKeyDB *extra, bool recheck,
                                                      QELEventHandler handler, void *userData, QELKeySet *changed);
std::uint32_t qelKeySigCountToCheck(QELKeySet *set, QELKeyDB *extra, bool recheck, bool revocationsOnly);
[[nodiscard]] QELStatus qelKeySigCheckCRLs(QELKeySet *set, bool recheck, QELKeyDB *match, QELKeySet *changed);
[[nodiscard]] QELStatus qelKeySigCountAndCheckCRLs(QELKeySet *set, QELKeyDB *extra, bool recheck,
                                                   std::uint32_t *outCount, QELKeySet *changed);

// Re-derives a version 4 key's (or subkey's) validity from its newest valid
// self-signature: whole days, rounded up, saturating; none when that
// signature carries no key expiration.
void qelKeySigUpdateValidity(QELKeyObject *key);

// True when a subkey binding carries, hashed or not, an embedded
// primary-key binding (0x19) that the subkey made over its key and itself
// and that verifies: the subkey's own consent to sign for the key.
bool qelKeySigHasBackSig(QELKeyObject *binding);
// A subkey signs (and is trusted to have signed) for its key only with a
// checked, valid binding by the key that carries a valid back-signature.
bool qelKeySigSubKeyMaySign(QELKeyObject *subKey);
// Signs, with the new subkey's own (unlocked) object, the primary-key binding
// over its key and itself, and embeds it in the binding being made.
[[nodiscard]] QELStatus qelKeySigAddBackSig(QELKeyObject *subKey, QELSecretKeyObject *secretKey,
                                            QELSigSpec *binding);

// Signs the key material above and including `object` (key; user ID; subkey)
// with the specification's hash, version and subpackets. Returns the body
// length (a block of the specification's context, freed by the caller) or a
// negative status.
[[nodiscard]] std::int64_t qelKeySigSignKeyMaterial(QELKeyObject *object, const QELSigSpec *spec,
                                                    const QELSigSigner &signer, std::uint8_t **outBody);
// The same, signed by the specification's signer key with its passphrase.
[[nodiscard]] std::int64_t qelKeySigSignKeyMaterial(QELKeyObject *object, const QELSigSpec *spec,
                                                    std::uint8_t **outBody);
[[nodiscard]] std::int64_t qelKeyObjMakeSignature(QELKeyObject *object, const QELSigSpec *spec,
                                                  std::uint8_t **outBody);

// True when the object's packet body (public form for a key) differs from the
// given bytes.
bool qelKeyObjPacketDiffers(QELKeyObject *object, const std::uint8_t *bytes, std::size_t length);
