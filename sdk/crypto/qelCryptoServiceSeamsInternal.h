// What the crypto layer asks of the SDK service. In a process that is the
// service's client the global pool, the seed file and a context's
// cryptographic generator live in the service; the service layer fills this
// table when the SDK starts (qelSDKInit) with calls that go to the service
// when connected and run in process otherwise. Before that the pool's two
// entries run in process, as they do in a process without a connection,
// and the generator's and the seed file's, which only a connected process
// uses, answer QELError_NotInitialized.
#pragma once

#include "qelErrors.h"
#include "qelLayerSeamsInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelRandomSourcesInternal.h"

#include <cstdint>

struct QELContext;
struct QELFileSpec;

struct QELCryptoServiceSeams {
    // The global pool's state; every out may be null.
    QELStatus (*poolGetStatus)(std::int32_t *entropy, std::uint32_t *size, std::uint32_t *minimum,
                               std::uint8_t *enough, std::uint8_t *statusFlag) = qelRandomPoolGetStatusLocal;
    // An event for the global pool: bits credited, or a status for a poll.
    std::int32_t (*poolAddEvent)(std::uint8_t keystroke, std::int32_t keyValue, std::uint8_t timedEvent,
                                 std::uint8_t poll) = qelRandomPoolAddEventLocal;
    // The service's seed file.
    QELStatus (*seedFileSet)(const QELFileSpec *spec) = qelServiceAbsent;
    // The context's generator in the service: stirred, given bytes, asked
    // for length bytes in a new block of the context's memory manager (the
    // caller wipes and frees it).
    QELStatus (*stir)(QELContext *context) = qelServiceAbsent;
    QELStatus (*addBytes)(QELContext *context, const void *data, std::uint32_t length) = qelServiceAbsent;
    QELStatus (*getBytes)(QELContext *context, std::uint32_t length, std::uint32_t bitsClaimed, void **outBlock,
                          std::uint32_t *outLength) = qelServiceAbsent;
};

// The service layer installs its table at start-up; null puts the defaults back.
void qelCryptoServiceSeamsInstall(const QELCryptoServiceSeams *seams);
const QELCryptoServiceSeams &qelCryptoService();
