// Dispatchers of the random-number operations that may run in the local SDK
// service. Each tests the service-mode flag: in process it calls the local
// back end; a service-client process would forward the call instead. The
// crypto layer reaches them through its service table
// (qelCryptoServiceSeamsInternal.h).
#pragma once

#include <cstdint>

#include "qelErrors.h"

struct QELContext;
struct QELFileSpec;

// Back end qelRandomPoolGetStatusLocal; every out may be null.
[[nodiscard]] QELStatus qelRandomPoolGetStatusDispatch(std::int32_t *entropy, std::uint32_t *size,
                                         std::uint32_t *minimum, std::uint8_t *enough,
                                         std::uint8_t *statusFlag);
// Back end qelRandomPoolAddEventLocal: bits credited, or a status for a poll.
std::int32_t qelRandomPoolAddEventDispatch(std::uint8_t keystroke, std::int32_t keyValue,
                                           std::uint8_t timedEvent, std::uint8_t poll);
// Back end qelRandomSeedFileSet.
[[nodiscard]] QELStatus qelRandomSeedFileSetDispatch(const QELFileSpec *spec);
// Stirs the context's cryptographic random context.
[[nodiscard]] QELStatus qelRandomStirDispatch(QELContext *context);
// Adds bytes through the context's cryptographic random context.
[[nodiscard]] QELStatus qelRandomAddBytesDispatch(QELContext *context, const void *data,
                                    std::uint32_t length);
// Allocates length bytes from the context's memory manager and fills them
// from its cryptographic random context; the caller wipes and frees the block.
[[nodiscard]] QELStatus qelRandomGetBytesDispatch(QELContext *context, std::uint32_t length,
                                    std::uint32_t bitsClaimed, void **outBlock,
                                    std::uint32_t *outLength);

// Fills the crypto layer's service table with these; run by SDK start-up.
void qelRandomDispatchInstall();
