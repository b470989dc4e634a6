// What the foundation needs of the layers built on it. The foundation names
// no higher layer: each layer above fills its own table of functions once,
// when the SDK starts (qelSDKInit, before any context can exist), and the
// foundation calls through the table. Until a table is filled every entry
// reads as null and the foundation does without it, which only happens
// before the first start-up, when there is no context, database or key to
// act on.
#pragma once

#include "qelErrors.h"

#include <atomic>
#include <cstdint>

struct QELContext;
struct QELRandomContext;
struct QELCFBContext;
struct QELKeyObject;
struct QELKeySet;
struct QELKeyDB;

// The three random contexts a context makes on first use.
enum class QELRandomKind : std::uint8_t { Crypto, Pool, Dummy };

// Filled by the crypto layer.
struct QELCryptoSeams {
    // A new random context of the kind for the context, or null.
    QELRandomContext *(*newRandom)(QELContext *context, QELRandomKind kind);
    void (*releaseRandom)(QELRandomContext *random);
    // Whether the global pool holds enough entropy to hand bytes out.
    bool (*randomReady)();
    QELStatus (*randomFill)(QELRandomContext *random, void *buffer, std::uint32_t length);
    std::uint64_t (*randomReserve)(QELRandomContext *random, std::uint32_t wanted);
    // A context goes away: the pool takes an event and the seed file is saved.
    QELStatus (*contextFreed)();
    // Start-up and clean-up of the random seed file.
    QELStatus (*start)();
    void (*stop)();
    QELStatus (*cipherSelfTest)();
    // The cipher a stream file object may carry.
    QELStatus (*cfbCopy)(const QELCFBContext *cfb, QELCFBContext **outCopy);
    QELStatus (*cfbFree)(QELCFBContext *cfb);
};

// Filled by the public-key layer.
struct QELPubKeySeams {
    void (*start)();      // the big-number table
    QELStatus (*stop)();  // every token's state
    QELStatus (*dsaSelfTest)();
};

// Filled by the key layer.
struct QELKeysSeams {
    bool (*isKeyObject)(const QELKeyObject *object);
    bool (*isKey)(const QELKeyObject *object);
    bool (*isKeySet)(const void *set);
    bool (*isKeyDB)(const void *db);
    void (*retainKeySet)(QELKeySet *set);
    void (*releaseKeySet)(QELKeySet *set);
    void (*retainKeyDB)(QELKeyDB *db);
    void (*releaseKeyDB)(QELKeyDB *db);
    // A context is being freed: its databases leave the registries.
    void (*contextGone)(QELContext *context);
    // A context's contents are released: its cached passphrases are wiped.
    void (*contextRelease)(QELContext *context);
    // A token's secret changed: every cached passphrase goes.
    QELStatus (*passCachePurge)(QELContext *context);
    // One housekeeping pass over a context: expired passphrases and
    // databases kept open past their time.
    void (*housekeep)(QELContext *context);
    // The process-wide change notification, and its delivery on API entry.
    void (*noteRemoteChange)();
    void (*applyRemoteChanges)();
};

// Filled by the service layer.
struct QELServiceSeams {
    std::uint8_t (*enabled)();
    QELStatus (*connect)(std::int32_t mode);
    QELStatus (*clientExit)();
    QELStatus (*selfTestNone)();
};

// Each layer installs its table (kept for the life of the process) when the
// SDK starts; installing again replaces it with the same table.
void qelLayerSeamsInstallCrypto(const QELCryptoSeams *seams);
void qelLayerSeamsInstallPubKey(const QELPubKeySeams *seams);
void qelLayerSeamsInstallKeys(const QELKeysSeams *seams);
void qelLayerSeamsInstallService(const QELServiceSeams *seams);

// The installed tables; a table not yet installed reads as all null.
const QELCryptoSeams &qelCryptoSeams();
const QELPubKeySeams &qelPubKeySeams();
const QELKeysSeams &qelKeysSeams();
const QELServiceSeams &qelServiceSeams();

// Whether this process is a client of the SDK service (false until the
// service layer's table is installed).
bool qelServiceConnected();

// ---- where a table is kept ---------------------------------------------------
// One layer's table of what it asks of a layer above, read by any thread
// entering the SDK. Until the layer above installs its table the slot holds
// the table's defaults: all null for the foundation's tables above, while a
// layer above the foundation gives each entry of its tables a default that
// works without the layer above (qelServiceAbsent at the least).
template <typename Table> class QELSeamSlot {
public:
    // Installing null puts the defaults back.
    void install(const Table *table) { slot_.store(table != nullptr ? table : &kDefaults, std::memory_order_release); }
    const Table &get() const { return *slot_.load(std::memory_order_acquire); }

private:
    static constexpr Table kDefaults{};
    std::atomic<const Table *> slot_{&kDefaults};
};

// The default of an entry that only means something through the service,
// which a process without a service connection never reaches: a mirrored
// database, say, exists only after the connection was made.
template <typename... Args> QELStatus qelServiceAbsent(Args...)
{
    return QELError_NotInitialized;
}
