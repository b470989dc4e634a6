// Dispatchers of the random-number operations. In a service-client process
// the pool, the seed file and the context's generator live in the service;
// a process started without a service connection (the archive reader)
// always takes the in-process branch.
#include "qelRandomDispatchInternal.h"

#include "qelContextInternal.h"
#include "qelCryptoServiceSeamsInternal.h"
#include "qelRPCCallsInternal.h"
#include "qelWipe.h"

#include <array>

namespace {

template <std::size_t N> struct Reply {
    std::array<QELRPCItem, N> items{};
    ~Reply() { qelRPCItemsRelease(items); }
};

} // namespace

QELStatus qelRandomPoolGetStatusDispatch(std::int32_t *entropy, std::uint32_t *size, std::uint32_t *minimum,
                                         std::uint8_t *enough, std::uint8_t *statusFlag)
{
    Reply<5> out;
    QELStatus s = qelRPCInvoke(nullptr, QELRPCCall_RandomPoolGetStatus, {}, out.items);
    if (s != QELError_NoErr)
        return s;
    if (entropy != nullptr)
        *entropy = std::int32_t(out.items[0].value);
    if (size != nullptr)
        *size = std::uint32_t(out.items[1].value);
    if (minimum != nullptr)
        *minimum = std::uint32_t(out.items[2].value);
    if (enough != nullptr)
        *enough = std::uint8_t(out.items[3].value);
    if (statusFlag != nullptr)
        *statusFlag = std::uint8_t(out.items[4].value);
    return QELError_NoErr;
}

std::int32_t qelRandomPoolAddEventDispatch(std::uint8_t keystroke, std::int32_t keyValue, std::uint8_t timedEvent,
                                           std::uint8_t poll)
{
    const std::array<QELRPCItem, 4> in{qelRPCValue(keystroke), qelRPCValue(std::uint32_t(keyValue)),
                                       qelRPCValue(timedEvent), qelRPCValue(poll)};
    return qelRPCInvoke(nullptr, QELRPCCall_RandomPoolAddEvent, in, {});
}

QELStatus qelRandomSeedFileSetDispatch(const QELFileSpec *spec)
{
    if (spec == nullptr)
        return QELError_BadParams;
    std::array<QELRPCItem, 1> in{};
    in[0].spec = spec;
    return qelRPCInvoke(nullptr, QELRPCCall_RandomSeedFileSet, in, {});
}

QELStatus qelRandomStirDispatch(QELContext *context)
{
    if (context == nullptr)
        return QELError_BadParams;
    return qelRPCInvoke(context, QELRPCCall_RandomStir, {}, {});
}

QELStatus qelRandomAddBytesDispatch(QELContext *context, const void *data, std::uint32_t length)
{
    if (context == nullptr || (data == nullptr && length != 0))
        return QELError_BadParams;
    const std::array<QELRPCItem, 1> in{qelRPCBytes(data, length)};
    return qelRPCInvoke(context, QELRPCCall_RandomAddBytes, in, {});
}

QELStatus qelRandomGetBytesDispatch(QELContext *context, std::uint32_t length, std::uint32_t bitsClaimed,
                                    void **outBlock, std::uint32_t *outLength)
{
    if (outBlock != nullptr)
        *outBlock = nullptr;
    if (outLength != nullptr)
        *outLength = 0;
    if (context == nullptr || outBlock == nullptr || outLength == nullptr)
        return QELError_BadParams;
    const std::array<QELRPCItem, 2> in{qelRPCValue(length), qelRPCValue(bitsClaimed)};
    Reply<1> out;
    QELStatus s = qelRPCInvoke(context, QELRPCCall_RandomGetBytes, in, out.items);
    if (s != QELError_NoErr)
        return s;
    // A service that sends fewer bytes than asked for gives none.
    if (out.items[0].length != length)
        return QELError_ServiceReplyTruncated;
    *outBlock = out.items[0].block;
    *outLength = length;
    out.items[0].block = nullptr;
    return QELError_NoErr;
}

void qelRandomDispatchInstall()
{
    static constexpr QELCryptoServiceSeams kSeams{
        .poolGetStatus = qelRandomPoolGetStatusDispatch,
        .poolAddEvent = qelRandomPoolAddEventDispatch,
        .seedFileSet = qelRandomSeedFileSetDispatch,
        .stir = qelRandomStirDispatch,
        .addBytes = qelRandomAddBytesDispatch,
        .getBytes = qelRandomGetBytesDispatch,
    };
    qelCryptoServiceSeamsInstall(&kSeams);
}
