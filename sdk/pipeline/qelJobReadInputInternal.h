// A job input read whole into one buffer, for the jobs' certificate and PKI
// message paths, whose toolkit operations take their input in one piece.
#pragma once

#include "qelJobIOInternal.h"

#include <cstdint>

struct QELContext;

// A buffer input is lent as it is (*outOwned null); a file is read into a
// new block of the context's memory manager, handed over in *outOwned
// (freed with qelMemFree). The outs are cleared on failure.
[[nodiscard]] QELStatus qelJobReadInput(QELContext *context, QELJobInput &input, const std::uint8_t **outBytes,
                                        std::uint64_t *outLength, std::uint8_t **outOwned);

// Wipes and frees what qelJobReadInput handed over in *outOwned (null is
// nothing): a certificate file can carry private keys.
void qelJobFreeInput(std::uint8_t *owned, std::uint64_t length);
