// Random contexts: the common interface behind every source of random bytes
// (the dummy source, the global pool, the X9.17 generators and the front end
// to the service's generator), and the operations that draw from any of them.
#pragma once

#include <cstdint>

#include "qelErrors.h"

struct QELContext;
struct QELRandomContext;

// Static description of one random source. The state argument is the
// owning context's state pointer (null for the two pools).
struct QELRandomDescriptor {
    const char *name;
    void (*add)(void *state, const void *data, std::uint32_t length);
    // Fills the buffer; bits is the entropy the caller takes away. A source
    // that cannot deliver wipes the buffer and says why (never predictable
    // bytes passed off as random).
    QELStatus (*get)(void *state, void *buffer, std::uint32_t length, std::uint32_t bits);
    void (*stir)(void *state);
};

// One source of random bytes over a descriptor.
struct QELRandomContext {
    QELContext *context;                    // SDK context, or null
    const QELRandomDescriptor *descriptor;
    void *state;                            // descriptor's private state
    void (*destroy)(QELRandomContext *random);  // null when nothing to release
};

// Draws length bytes, claiming 8 bits of entropy per byte: 0, or the
// source's failure (QELError_BadParams without a source), the buffer then
// wiped.
[[nodiscard]] QELStatus qelRandomGetBytes(QELRandomContext *random, void *buffer, std::uint32_t length);

// A uniform integer in 0 .. n-1 (0 when n < 2) into *value. The bits are
// claimed by the first, discarded draw. 0 or the source's failure.
[[nodiscard]] QELStatus qelRandomRange(QELRandomContext *random, std::uint32_t n, std::uint32_t bits,
                                       std::uint32_t *value);

// The context's cryptographic generator: the service front end in service
// mode, else an X9.17 generator (triple DES in FIPS mode, CAST5 otherwise)
// seeded from the context's global-pool random context. Null on failure.
QELRandomContext *qelRandomContextCreateDefault(QELContext *context);

// An X9.17 generator over the cipher of the given id, keyed and seeded from
// the seed source, which must outlive it. Null on failure.
QELRandomContext *qelRandomX917Create(QELContext *context, std::int32_t cipherAlgorithm,
                                      QELRandomContext *seedSource);

// The same generator seeded from the context's dummy (all-zero) source.
QELRandomContext *qelRandomX917CreateZeroSeed(QELContext *context);

// A front end that forwards to the context's generator in the service.
QELRandomContext *qelRandomFrontEndCreate(QELContext *context);

// Bytes that can be handed out with full entropy: for a front end, fetches
// up to the wanted count into its reserve and returns the reserve's size;
// for any other context, the global pool's estimate in bytes.
std::uint64_t qelRandomFrontEndReserve(QELRandomContext *random, std::uint32_t wanted);

// Descriptor operations and destroy hooks of the two generators.
void qelRandomX917Add(void *state, const void *data, std::uint32_t length);
QELStatus qelRandomX917Get(void *state, void *buffer, std::uint32_t length, std::uint32_t bits);
void qelRandomX917Stir(void *state);
void qelRandomX917Destroy(QELRandomContext *random);

void qelRandomFrontEndAdd(void *state, const void *data, std::uint32_t length);
QELStatus qelRandomFrontEndGet(void *state, void *buffer, std::uint32_t length, std::uint32_t bits);
void qelRandomFrontEndStir(void *state);
void qelRandomFrontEndDestroy(QELRandomContext *random);

const QELRandomDescriptor *qelRandomX917Descriptor();
const QELRandomDescriptor *qelRandomFrontEndDescriptor();
