// Key editing: the in-process back ends of the key-management operations
// that change keys (passphrases, owner trust, the disabled and axiomatic
// states, revocations, certifications, user IDs, preferences and revokers).
// Trust propagation after a change is the caller's task.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELKeyDB;
struct QELKeyObject;
struct QELKeySet;
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

[[nodiscard]] QELStatus qelKeyPassphraseToPasskeyLocal(QELKeyObject *key, const void *passphrase,
                                                       std::size_t length, std::uint8_t *outPasskey);
[[nodiscard]] QELStatus qelKeyPassphraseIsValidLocal(QELKeyObject *key, const QELPassArgs &pass,
                                                     bool *outValid);
[[nodiscard]] QELStatus qelKeySetOwnerTrustLocal(QELKeyObject *key, std::uint32_t level);
[[nodiscard]] QELStatus qelKeyEnableLocal(QELKeyObject *key);
[[nodiscard]] QELStatus qelKeyDisableLocal(QELKeyObject *key);
[[nodiscard]] QELStatus qelKeySetAxiomaticLocal(QELKeyObject *key, bool set, bool checkPassphrase,
                                                const QELPassArgs &pass);
