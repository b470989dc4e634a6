// Opening key databases for callers: from key-ring files, with the signature
// checks and trust propagation a ring written some time ago needs, and from
// a key ring held in memory.
#pragma once

#include "qelKeyDB.h"

#include <cstddef>
#include <cstdint>

struct QELFileSpec;

// The in-process back ends of qelKeyDBOpenFiles and qelKeyDBOpenFromBuffer:
// the result is null on every failure.
[[nodiscard]] QELStatus qelKeyDBOpenFilesLocal(QELContext *context, std::uint32_t flags,
                                               const QELFileSpec *spec, const QELFileSpec *secondSpec,
                                               QELKeyDB **outDB);
[[nodiscard]] QELStatus qelKeyDBOpenFromBufferLocal(QELContext *context, const void *bytes,
                                                    std::size_t length, QELKeyDB **outDB);
