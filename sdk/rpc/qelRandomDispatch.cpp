// Dispatchers of the random-number operations. A process started without a
// service connection (the archive reader) always takes the in-process branch;
// the service-side calls are not part of this build and answer
// QELError_FeatureNotAvailable.
#include "qelRandomDispatchInternal.h"

#include "qelContextInternal.h"
#include "qelMemoryInternal.h"
#include "qelRPCClientInternal.h"
#include "qelRandomContextInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelRandomSourcesInternal.h"
#include "qelRandomSeedFileInternal.h"

namespace {

// The context's cryptographic random context, or null.
QELRandomContext *cryptoRandom(QELContext *context)
{
    if (context == nullptr)
        return nullptr;
    QELRandomContext *random = qelContextGetRandomContext(context);
    if (random == nullptr || random->descriptor == nullptr)
        return nullptr;
    return random;
}

} // namespace

QELStatus qelRandomPoolGetStatusDispatch(std::int32_t *entropy, std::uint32_t *size,
                                         std::uint32_t *minimum, std::uint8_t *enough,
                                         std::uint8_t *statusFlag)
{
    if (qelRPCEnabled() != 0)
        return QELError_FeatureNotAvailable;
    return qelRandomPoolGetStatusLocal(entropy, size, minimum, enough, statusFlag);
}

std::int32_t qelRandomPoolAddEventDispatch(std::uint8_t keystroke, std::int32_t keyValue,
                                           std::uint8_t timedEvent, std::uint8_t poll)
{
    if (qelRPCEnabled() != 0)
        return QELError_FeatureNotAvailable;
    return qelRandomPoolAddEventLocal(keystroke, keyValue, timedEvent, poll);
}

QELStatus qelRandomSeedFileSetDispatch(const QELFileSpec *spec)
{
    if (qelRPCEnabled() != 0)
        return QELError_FeatureNotAvailable;
    return qelRandomSeedFileSet(spec);
}

QELStatus qelRandomStirDispatch(QELContext *context)
{
    if (qelRPCEnabled() != 0)
        return QELError_FeatureNotAvailable;
    if (context == nullptr)
        return QELError_BadParams;
    QELRandomContext *random = cryptoRandom(context);
    if (random == nullptr)
        return QELError_Unavailable;
    random->descriptor->stir(random->state);
    return 0;
}

QELStatus qelRandomAddBytesDispatch(QELContext *context, const void *data, std::uint32_t length)
{
    if (qelRPCEnabled() != 0)
        return QELError_FeatureNotAvailable;
    if (context == nullptr || (data == nullptr && length != 0))
        return QELError_BadParams;
    QELRandomContext *random = cryptoRandom(context);
    if (random == nullptr)
        return QELError_Unavailable;
    if (length != 0)
        random->descriptor->add(random->state, data, length);
    return 0;
}

QELStatus qelRandomGetBytesDispatch(QELContext *context, std::uint32_t length,
                                    std::uint32_t bitsClaimed, void **outBlock,
                                    std::uint32_t *outLength)
{
    if (outBlock != nullptr)
        *outBlock = nullptr;
    if (outLength != nullptr)
        *outLength = 0;
    if (qelRPCEnabled() != 0)
        return QELError_FeatureNotAvailable;
    if (context == nullptr || outBlock == nullptr || outLength == nullptr)
        return QELError_BadParams;
    QELRandomContext *random = cryptoRandom(context);
    if (random == nullptr)
        return QELError_Unavailable;
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
    if (mgr == nullptr)
        return QELError_BadParams;
    void *block = qelMemAlloc(mgr, length, 0);
    if (block == nullptr)
        return QELError_OutOfMemory;
    random->descriptor->get(random->state, block, length, bitsClaimed);
    *outBlock = block;
    *outLength = length;
    return 0;
}
