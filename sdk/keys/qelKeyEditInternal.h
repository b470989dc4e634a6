// Key editing: the in-process back ends of the key-management operations
// that change keys (passphrases, owner trust, the disabled and axiomatic
// states, revocations, certifications, user IDs, preferences and revokers).
// Trust propagation after a change is the caller's task.
#pragma once

#include "qelErrors.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

struct QELContext;
struct QELKeyDB;
struct QELKeyObject;
struct QELKeySet;
struct QELSecretKeyObject;
struct QELSigSpec;

// What every back end that needs a secret key takes, passed unchanged to key
// unlocking and so to the passphrase cache.
struct QELPassArgs {
    const void *passphrase = nullptr;
    std::size_t length = 0;
    std::uint8_t isPasskey = 0;
    std::uint32_t cacheTime = 0;
    std::uint8_t cacheForAll = 0;
};

// Why no secret-key object could be made for the object: the database's
// stored error, else QELError_NoSecretKey.
[[nodiscard]] QELStatus qelKeyObjSecretOpsError(QELKeyObject *object);

// Opens a secret-key object that is locked: without a passphrase, or with
// one it refuses, QELError_BadPassphrase; malformed material its own status.
// An unlocked object needs nothing.
[[nodiscard]] QELStatus qelSecretOpsOpen(QELSecretKeyObject *ops, const void *passphrase, std::size_t length,
                                         std::uint8_t isPasskey);

[[nodiscard]] QELStatus qelKeyPassphraseToPasskeyLocal(QELKeyObject *key, const void *passphrase,
                                                       std::size_t length, std::uint8_t *outPasskey);
[[nodiscard]] QELStatus qelKeyPassphraseIsValidLocal(QELKeyObject *key, const QELPassArgs &pass,
                                                     bool *outValid);
[[nodiscard]] QELStatus qelKeySetOwnerTrustLocal(QELKeyObject *key, std::uint32_t level);
[[nodiscard]] QELStatus qelKeyEnableLocal(QELKeyObject *key);
[[nodiscard]] QELStatus qelKeyDisableLocal(QELKeyObject *key);
[[nodiscard]] QELStatus qelKeySetAxiomaticLocal(QELKeyObject *key, bool set, bool checkPassphrase,
                                                const QELPassArgs &pass);
// Re-protects a key or subkey (its key given for a subkey, so that the
// key's preferred cipher is used) under a new passphrase or passkey. A
// locked object needs the old passphrase: none, or one it refuses, is
// QELError_BadPassphrase. The key's packet is replaced only once the new
// protection is complete.
[[nodiscard]] QELStatus qelKeyChangePassphraseLocal(QELKeyDB *db, QELKeyObject *object, QELKeyObject *key,
                                                    const void *oldPassphrase, std::size_t oldLength,
                                                    const void *newPassphrase, std::size_t newLength,
                                                    std::uint8_t newIsPasskey, std::uint32_t cacheTime,
                                                    std::uint8_t cacheForAll);

// ---- edits that make signatures -------------------------------------------------------
// Every new signature takes one path: a specification for the signer
// (enough entropy, a signer with a secret part that can sign, unlocked with
// the passphrase arguments), completed with subpackets, then signed and
// attached under its target.
[[nodiscard]] QELStatus qelSigSpecForSigner(QELContext *context, QELKeyObject *signer, std::uint8_t type,
                                            const QELPassArgs &pass, QELSigSpec **outSpec);
// A non-exportable signature carries subpacket 4 with value 0.
[[nodiscard]] QELStatus qelSigSpecSetLocalOnly(QELSigSpec *spec, bool exportable);
// Signs and attaches under the target, then frees the specification.
[[nodiscard]] QELStatus qelSigSpecApply(QELSigSpec *spec, QELKeyObject *target);

// Revoking an already revoked key, subkey or certification makes nothing
// and succeeds; an expired key or subkey is revoked all the same.
[[nodiscard]] QELStatus qelSigRevokeLocal(QELContext *context, QELKeyObject *sig, const QELPassArgs &pass);
[[nodiscard]] QELStatus qelKeyRevokeLocal(QELKeyObject *key, const QELPassArgs &pass);
[[nodiscard]] QELStatus qelSubKeyRevokeLocal(QELKeyObject *subKey, const QELPassArgs &pass);
// Creation time and expiration seconds 0 mean none; regex may be null.
[[nodiscard]] QELStatus qelUserIDCertifyLocal(QELKeyObject *userID, QELKeyObject *signer, const QELPassArgs &pass,
                                              bool exportable, std::uint32_t creation, std::uint32_t expiration,
                                              std::uint8_t trustDepth, std::uint8_t trustLevel, const char *regex);
// The edits below that replace self-signatures attach every new signature
// before they retire an old one; when an attach fails they take back what
// they made and report that first failure, so the key stays as it was.
[[nodiscard]] QELStatus qelUserIDSetPrimaryLocal(QELKeyObject *userID, const QELPassArgs &pass);
[[nodiscard]] QELStatus qelKeyAddUserIDLocal(QELKeyObject *key, bool attribute, std::uint8_t attributeType,
                                             const void *bytes, std::size_t length, const QELPassArgs &pass);
// Preferred algorithms come as 32-bit ids (their byte length given) and are
// written one octet each.
[[nodiscard]] QELStatus qelKeySetPreferencesLocal(QELKeyObject *key, const QELPassArgs &pass,
                                                  const std::uint32_t *algorithms, std::size_t algorithmBytes,
                                                  const void *keyServer, std::size_t keyServerLength,
                                                  std::uint32_t keyFlags, bool keyFlagsPresent,
                                                  std::uint32_t keyServerPrefs, bool keyServerPrefsPresent);
[[nodiscard]] QELStatus qelKeyAddRevokersLocal(QELKeyObject *key, const QELPassArgs &pass, QELKeySet *revokers,
                                               std::uint8_t keyClass);

// The four octets of a flags subpacket value (key flags, key server
// preferences), lowest-order first.
inline std::array<std::uint8_t, 4> qelFlagOctets(std::uint32_t v)
{
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

// Seconds in a number of days, saturating at 32 bits: the largest day counts
// would otherwise wrap to a short lifetime.
inline std::uint32_t qelDaysToSeconds(std::uint32_t days)
{
    const std::uint64_t seconds = std::uint64_t(days) * 86400;
    return seconds > 0xFFFFFFFFu ? 0xFFFFFFFFu : std::uint32_t(seconds);
}

// Visits each live top-level key of the set in database order until a visit
// fails; that failure is the result.
[[nodiscard]] QELStatus qelKeySetForEachKey(QELKeySet *set, const std::function<QELStatus(QELKeyObject *)> &visit);
// Adds the 22 octets that name a key to a revocation-key (12, revoker set)
// or additional-key (10) subpacket: the class, the key's algorithm and its
// version 4 fingerprint. QELError_BadParams for a key without one.
[[nodiscard]] QELStatus qelSigSpecAddKeyEntry(QELSigSpec *spec, QELKeyObject *key, std::uint8_t keyClass,
                                              bool revoker);
