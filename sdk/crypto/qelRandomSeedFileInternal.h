// The random seed file: raw random bytes that carry the pool's state from
// one run to the next. Selected (and loaded) at SDK start-up, rewritten with
// fresh pool output at selection and whenever a context is freed, closed at
// SDK clean-up.
#pragma once

#include "qelErrors.h"

#include <cstdint>

struct QELFileSpec;
struct QELIO;
struct QELRandomContext;

constexpr const char *QELRandomSeedFileName = "randseed.rnd";
constexpr std::uint32_t QELRandomSeedFileChunk = 512;

// Selects "$QELPATH/randseed.rnd", else "$HOME/.qel/randseed.rnd", else
// "./randseed.rnd", unless a seed file is current already.
[[nodiscard]] QELStatus qelRandomSeedFileOpenDefault();
// In a service-client process through the service, else qelRandomSeedFileSet.
[[nodiscard]] QELStatus qelRandomSeedFileSelect(const QELFileSpec *spec);
// Makes the spec (copied) the current seed file and loads it into the pool.
[[nodiscard]] QELStatus qelRandomSeedFileSet(const QELFileSpec *spec);
// Mixes the current file into the pool and writes fresh bytes over its start;
// creates it (owner-only) when missing.
[[nodiscard]] QELStatus qelRandomSeedFileSave();
// Forgets the current file, ends the pool lock's life, clears the seeded flag.
void qelRandomSeedFileClose();

// Adds the object's whole contents through the random context, leaving its
// position as it was.
[[nodiscard]] QELStatus qelRandomFeedFromIO(QELIO *io, QELRandomContext *random);
// Writes fresh random bytes (at least minimum, else between 24 and 512) at the
// object's position; a null random context means the global pool.
[[nodiscard]] QELStatus qelRandomWriteToIO(QELIO *io, QELRandomContext *random, std::uint32_t minimum,
                             std::uint32_t *outWritten);
