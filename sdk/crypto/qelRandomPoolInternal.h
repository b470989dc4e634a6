// Random-pool internals: the pool's descriptors and operations, its lock,
// the entropy bookkeeping and the in-process back end of the status query.
#pragma once

#include <cstdint>

#include "qelRandomPool.h"
#include "qelErrors.h"

// QELRandomDescriptor / QELRandomContext, the random-source interface the
// pool implements, are declared with the random contexts.
#include "qelRandomContextInternal.h"

constexpr std::uint32_t kQELRandomPoolBits = 10240;
constexpr std::uint32_t kQELRandomPoolMinimumEntropy = 192;

const QELRandomDescriptor *qelRandomPoolGlobalDescriptor();
const QELRandomDescriptor *qelRandomPoolDummyDescriptor();
// Fills a caller's record for short-lived access to the global pool.
void qelRandomContextInitGlobal(QELRandomContext *context);

// The pool's status in process (what the service answers its clients); every
// out may be null.
[[nodiscard]] QELStatus qelRandomPoolGetStatusLocal(std::int32_t *entropy, std::uint32_t *size,
                                      std::uint32_t *minimum, std::uint8_t *enough,
                                      std::uint8_t *statusFlag);

// Descriptor operations of the two pools (state is ignored).
void qelRandomPoolAdd(void *state, const void *data, std::uint32_t length);
void qelRandomPoolGet(void *state, void *buffer, std::uint32_t length, std::uint32_t bitsClaimed);
void qelRandomPoolStir(void *state);
void qelRandomDummyAdd(void *state, const void *data, std::uint32_t length);
void qelRandomDummyGet(void *state, void *buffer, std::uint32_t length, std::uint32_t bitsClaimed);
void qelRandomDummyStir(void *state);

// Internal pool operations. Mix and Refill expect the caller to hold the pool
// lock (qelRandomPoolLock / qelRandomPoolUnlock); the others take it themselves.
void qelRandomPoolMix(void *state, const void *data, std::uint32_t length);
void qelRandomPoolRefill();
void qelRandomPoolCreditBits(std::uint32_t bits);
void qelRandomPoolReset();
[[nodiscard]] QELStatus qelRandomPoolDestroyLock();
bool qelRandomPoolIsSeeded();
void qelRandomPoolSetSeeded();
void qelRandomPoolClearSeeded();

// The pool lock. It is usable for the whole life of the process (before SDK
// start-up and after clean-up too) and is recursive for the holding thread.
void qelRandomPoolLock();
void qelRandomPoolUnlock();

// Entropy amounts: whole bits plus a fraction word standing for
// log2(1 + f / 2^32). Combines (addWhole, addFraction) into (whole, fraction).
void qelRandomEntropyCombine(std::uint32_t &whole, std::uint32_t &fraction,
                             std::uint32_t addWhole, std::uint32_t addFraction);

// A snapshot of the pool's bookkeeping, for tests and diagnostics.
struct QELRandomPoolCounters {
    std::uint32_t entropy;
    std::uint32_t entropyFraction;
    std::uint32_t creditedTotal;
    std::uint32_t pending;
    std::uint32_t pendingFraction;
    std::uint32_t poolPosition;
    std::uint32_t inputPosition;
    std::uint32_t outputUsed;
    std::uint32_t stirCredit;
    std::uint64_t compressions;   // SHA-1 compressions run since process start
};
void qelRandomPoolGetCounters(QELRandomPoolCounters *out);

// The entropy events and system sources (keystrokes, timed events, polls)
// feed this pool; their entry points are declared here too.
#include "qelRandomSourcesInternal.h"
