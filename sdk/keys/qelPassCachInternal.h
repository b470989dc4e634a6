// Passphrase cache internals: the cache record and its entries, the stores
// and lookups that key unlocking and key management run, the housekeeping
// expiry and the registry of watchers.
#pragma once

#include "qelPassCach.h"

#include "qelTimeDate.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELSecretKeyObject;

// Which key an entry belongs to: the key's algorithm and 8-byte key ID.
struct QELPassCacheKeyRef {
    std::uint8_t algorithm;
    std::uint8_t keyID[8];
};

// The leading fields of a service-client record: the cache reads its name.
struct QELServiceClientHead {
    void *reserved;
    const char *name;
};

struct QELPassCacheEntry {
    QELPassCacheEntry *next;
    void *client;             // the context's client when the entry was made
    std::uint8_t listKind;    // 1 name list, 0 handle list
    QELPassCacheKeyRef key;
    std::uint32_t period;     // seconds
    QELTime expiry;           // now + period, saturating
    std::uint8_t *data;       // secure block
    std::uint64_t length;
    char *clientName;         // name list only
};

struct QELPassCache {
    QELContext *context;
    std::int32_t count;       // entries added minus entries expired
    QELPassCacheEntry *nameList;
    QELPassCacheEntry *handleList;
};

[[nodiscard]] QELStatus qelPassCacheGetCountsLocal(QELContext *context, std::int32_t *outOwn,
                                                   std::int32_t *outNamed, std::int32_t *outOthers);
[[nodiscard]] QELStatus qelPassCachePurgeLocal(QELContext *context);
// Drops expired entries; the housekeeping thread runs it once a second.
void qelPassCacheExpire(QELContext *context);
bool qelPassCacheHasEntries(QELContext *context);
[[nodiscard]] QELStatus qelPassCacheCreate(QELContext *context);
// Adds or refreshes the entry of a key. The caller holds the API mutex.
[[nodiscard]] QELStatus qelPassCacheAdd(QELContext *context, const void *data, std::uint64_t length,
                                        std::uint32_t period, std::uint8_t selector,
                                        const QELPassCacheKeyRef &key);
// The live entry for a key as the context's current client sees it (name
// list first, then handle list), or null. The caller holds the API mutex.
QELPassCacheEntry *qelPassCacheFind(QELContext *context, const QELPassCacheKeyRef &key);
// The cache's clock: the test clock when one is installed.
QELTime qelPassCacheNow();
void qelPassCacheEntryFree(QELContext *context, QELPassCacheEntry *entry);

// The cache's identity of a secret key (RSA ids 2 and 3 count as 1).
QELPassCacheKeyRef qelPassCacheKeyRefOf(const QELSecretKeyObject *key);
// Remembers the passkey of a key: a passkey is stored as given, a passphrase
// is first turned into the key's passkey (when that fails nothing is stored
// and the result is 0). A null secret or length 0 stores nothing. Takes the
// API mutex.
[[nodiscard]] QELStatus qelPassCacheAddForKey(QELSecretKeyObject *key, const void *secret,
                                              std::uint64_t length, std::uint8_t isPasskey,
                                              std::uint32_t period, std::uint8_t selector);
// Unlocks the key with the secret given, caching it for period seconds when
// that is not 0, or without one from the cache. 0 when unlocked (or when no
// secret was given for a key that is not locked), QELError_BadPassphrase, or
// the key object's failure status. Takes the API mutex.
[[nodiscard]] QELStatus qelPassCacheUnlockKey(QELSecretKeyObject *key, const void *secret,
                                              std::uint64_t length, std::uint8_t isPasskey,
                                              std::uint32_t period, std::uint8_t selector);

// 0, or QELError_OutOfMemory when the registry cannot take the watcher; a
// watcher already registered stays as it is (0).
[[nodiscard]] QELStatus qelPassCacheWatcherAdd(void *ignored, std::int64_t key);
// Key 0 also frees the whole registry.
void qelPassCacheWatcherRemove(std::int64_t key);
std::int32_t qelPassCacheWatcherNotify(void *watcher, std::int64_t key, void *value);
