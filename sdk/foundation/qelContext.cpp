// SDK contexts and the process-wide list of live contexts.
#include "qelContextInternal.h"

#include "qelFIPSInternal.h"
#include "qelHelpers.h"
#include "qelLayerSeamsInternal.h"
#include "qelMemPoolInternal.h"
#include "qelMemoryInternal.h"
#include "qelSDKInternal.h"
#include "qelSeams.h"
#include "qelSettingsInternal.h"

#include <mutex>

struct QELContext {
    QELContext *next;
    QELMemoryMgr *memoryMgr;
    QELMemoryMgr *poolMemoryMgr;
    QELMemPool pool;
    std::uint32_t magic;
    std::uint32_t sdkVersion;
    void *userValue;
    QELSettings *settings;
    QELRandomContext *poolRandom;
    QELRandomContext *cryptoRandom;
    QELRandomContext *dummyRandom;
    QELKeyDB *keyDBList;
    void *client;
    QELPassCache *passCache;
    std::uint32_t reservedWord;
    std::uint8_t pendingNotify;
};

namespace {

constexpr const char *kGateFile = "qelContext";

// The global list. Recursive, because code running for a context inside
// qelContextForEach may itself walk the list with qelContextNext.
std::recursive_mutex g_listMutex;
QELContext *g_listHead = nullptr;

void unlinkContext(QELContext *context)
{
    std::lock_guard lock(g_listMutex);
    for (QELContext **link = &g_listHead; *link != nullptr; link = &(*link)->next) {
        if (*link == context) {
            *link = context->next;
            break;
        }
    }
    context->next = nullptr;
}

void releaseRandom(QELRandomContext *&random)
{
    if (random == nullptr)
        return;
    if (auto release = qelCryptoSeams().releaseRandom)
        release(random);
    random = nullptr;
}

// Everything a context owns, released in an order in which nothing touches
// what is already gone: the cryptographic generator may still refer to the
// pool and dummy sources it was seeded from, and random contexts and the
// passphrase cache may keep data in the pool or the manager, so they go
// first; the manager last, and only when the context came to own it.
void releaseContents(QELContext *context, bool freeManager)
{
    releaseRandom(context->cryptoRandom);
    releaseRandom(context->poolRandom);
    releaseRandom(context->dummyRandom);
    // The cached passkeys are wiped even while the guard refuses public calls.
    if (context->passCache != nullptr)
        if (auto release = qelKeysSeams().contextRelease)
            release(context);
    if (context->settings != nullptr) {
        qelSettingsFree(context->settings);
        context->settings = nullptr;
    }
    if (context->poolMemoryMgr != nullptr) {
        static_cast<void>(qelMemMgrFree(context->poolMemoryMgr));
        context->poolMemoryMgr = nullptr;
    }
    qelMemPoolFreeAll(&context->pool);
    QELMemoryMgr *mgr = context->memoryMgr;
    context->magic = 0;
    static_cast<void>(qelMemFree(context));
    if (freeManager)
        static_cast<void>(qelMemMgrFree(mgr));
}

// A context owns its manager only once it exists: when creation fails the
// manager stays the caller's, whatever step failed, so that the caller
// always knows whether to release it.
QELStatus createContext(const QELContextParams *params, QELContext **outContext)
{
    if (outContext == nullptr)
        return QELError_BadParams;
    *outContext = nullptr;
    if (params == nullptr || qelMemMgrIsValid(params->memoryMgr) != QELError_NoErr)
        return QELError_BadParams;
    if (!qelSDKIsInitialized())
        return QELError_NotInitialized;
    if (params->sdkVersion != QELSDKVersion)
        return QELError_BadSDKVersion;

    auto *context = static_cast<QELContext *>(
        qelMemAlloc(params->memoryMgr, sizeof(QELContext), QELMemFlag_Clear));
    if (context == nullptr)
        return QELError_OutOfMemory;
    context->magic = QELContextMagic;
    context->memoryMgr = params->memoryMgr;
    context->sdkVersion = params->sdkVersion;

    QELStatus status = qelSettingsCreate(context, &context->settings);
    qelMemPoolInit(context, &context->pool);
    // The first chunk is made now, so that a context that exists can
    // always allocate from its pool.
    if (qelMemPoolAlloc(&context->pool, 8, 8) == nullptr ||
        (context->poolMemoryMgr = qelMemPoolMemoryMgr(&context->pool)) == nullptr) {
        if (status == QELError_NoErr)
            status = QELError_OutOfMemory;
    }
    if (status != QELError_NoErr) {
        releaseContents(context, false);
        return status;
    }

    {
        std::lock_guard lock(g_listMutex);
        context->next = g_listHead;
        g_listHead = context;
    }
    *outContext = context;
    return QELError_NoErr;
}

// A random context of the kind, made by the crypto layer on first use.
QELRandomContext *randomOf(QELContext *context, QELRandomContext *QELContext::*slot, QELRandomKind kind)
{
    if (context->*slot == nullptr)
        if (auto make = qelCryptoSeams().newRandom)
            context->*slot = make(context, kind);
    return context->*slot;
}

} // namespace

bool qelContextIsValid(const QELContext *context)
{
    return context != nullptr && context->magic == QELContextMagic;
}

QELStatus qelContextCreate(const QELContextParams *params, QELContext **outContext)
{
    return createContext(params, outContext);
}

QELStatus qelContextNew(std::uint32_t sdkVersion, QELContext **outContext)
{
    if (outContext == nullptr)
        return QELError_BadParams;
    *outContext = nullptr;
    QEL_ENTER();
    QELContextParams params{sdkVersion, nullptr};
    QELStatus status = qelMemMgrNewDefault(0, &params.memoryMgr);
    if (status != QELError_NoErr)
        return status;
    status = createContext(&params, outContext);
    if (status != QELError_NoErr)
        static_cast<void>(qelMemMgrFree(params.memoryMgr));
    return status;
}

QELStatus qelContextNewCustom(const QELContextParams *params, QELContext **outContext)
{
    if (outContext == nullptr)
        return QELError_BadParams;
    *outContext = nullptr;
    QEL_ENTER();
    if (params == nullptr)
        return QELError_BadParams;
    return qelContextCreate(params, outContext);
}

QELStatus qelContextFree(QELContext *context)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QEL_ENTER();
    unlinkContext(context);
    // Databases left open stay as they are, but their rings leave the
    // process-wide registry and their locks: nothing may find them once the
    // context's memory is gone.
    if (auto gone = qelKeysSeams().contextGone)
        gone(context);

    auto freed = qelCryptoSeams().contextFreed;
    QELStatus status = freed != nullptr ? freed() : QELError_NoErr;

    releaseContents(context, true);
    return status;
}

QELContext *qelContextNext(QELContext *context)
{
    std::lock_guard lock(g_listMutex);
    return context == nullptr ? g_listHead : context->next;
}

void qelContextForEach(void (*fn)(QELContext *context, void *arg), void *arg)
{
    if (fn == nullptr)
        return;
    std::lock_guard lock(g_listMutex);
    for (QELContext *context = g_listHead; context != nullptr; context = context->next)
        fn(context, arg);
}

QELMemoryMgr *qelContextGetMemoryMgr(QELContext *context)
{
    if (!qelContextIsValid(context) || qelAPIGate(kGateFile, __LINE__) != QELError_NoErr)
        return nullptr;
    return context->memoryMgr;
}

QELMemoryMgr *qelContextMemoryMgr(QELContext *context)
{
    return qelContextIsValid(context) ? context->memoryMgr : nullptr;
}

QELMemoryMgr *qelContextGetPoolMemoryMgr(QELContext *context)
{
    if (!qelContextIsValid(context) || qelAPIGate(kGateFile, __LINE__) != QELError_NoErr)
        return nullptr;
    return context->poolMemoryMgr;
}

QELStatus qelContextSetUserValue(QELContext *context, void *value)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QEL_ENTER();
    context->userValue = value;
    return QELError_NoErr;
}

QELStatus qelContextGetUserValue(QELContext *context, void **outValue)
{
    if (outValue == nullptr)
        return QELError_BadParams;
    *outValue = nullptr;
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QEL_ENTER();
    *outValue = context->userValue;
    return QELError_NoErr;
}

QELStatus qelContextGetRandomBytes(QELContext *context, void *buffer, std::uint32_t length)
{
    if (!qelContextIsValid(context) || buffer == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    QELRandomContext *random = qelContextGetRandomContext(context);
    const QELCryptoSeams &crypto = qelCryptoSeams();
    if (random == nullptr || crypto.randomReady == nullptr || !crypto.randomReady())
        return QELError_OutOfEntropy;
    return crypto.randomFill(random, buffer, length);
}

std::int64_t qelContextReserveRandomBytes(QELContext *context, std::uint32_t count)
{
    if (!qelContextIsValid(context))
        return 0;
    QEL_ENTER();
    QELRandomContext *random = qelContextGetRandomContext(context);
    const QELCryptoSeams &crypto = qelCryptoSeams();
    if (random == nullptr || crypto.randomReady == nullptr || !crypto.randomReady())
        return 0;
    return static_cast<std::int64_t>(crypto.randomReserve(random, count));
}

void *qelContextMemAlloc(QELContext *context, std::size_t size, std::uint32_t flags)
{
    if (!qelContextIsValid(context))
        return nullptr;
    return qelMemAlloc(context->memoryMgr, size, flags);
}

QELStatus qelContextMemRealloc(QELContext *context, void **inOutBlock, std::size_t newSize,
                               std::uint32_t flags)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    return qelMemRealloc(context->memoryMgr, inOutBlock, newSize, flags);
}

QELStatus qelContextMemFree(QELContext *context, void *block)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    return qelMemFree(block);
}

void *qelContextMemAllocCopy(QELContext *context, std::size_t size, std::uint32_t,
                             const void *source)
{
    if (!qelContextIsValid(context) || (source == nullptr && size != 0))
        return nullptr;
    void *block = qelMemAlloc(context->memoryMgr, size, 0);
    if (block != nullptr && size != 0)
        qelMemCopy(source, block, size);
    return block;
}

void *qelContextPoolMemAlloc(QELContext *context, std::size_t size, std::uint32_t flags)
{
    if (!qelContextIsValid(context))
        return nullptr;
    return qelMemAlloc(context->poolMemoryMgr, size, flags);
}

QELStatus qelContextPoolMemRealloc(QELContext *context, void **inOutBlock, std::size_t newSize,
                                   std::uint32_t flags)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    return qelMemRealloc(context->poolMemoryMgr, inOutBlock, newSize, flags);
}

QELMemPool *qelContextGetMemoryPool(QELContext *context)
{
    return qelContextIsValid(context) ? &context->pool : nullptr;
}

void qelContextReleasePool(QELContext *context, const QELMemPool *mark)
{
    if (qelContextIsValid(context) && mark != nullptr)
        qelMemPoolRelease(&context->pool, mark);
}

QELSettings *qelContextGetSettings(QELContext *context)
{
    return qelContextIsValid(context) ? context->settings : nullptr;
}

QELKeyDB *qelContextGetKeyDBList(QELContext *context)
{
    return qelContextIsValid(context) ? context->keyDBList : nullptr;
}

void qelContextSetKeyDBList(QELContext *context, QELKeyDB *head)
{
    if (qelContextIsValid(context))
        context->keyDBList = head;
}

void *qelContextGetClient(QELContext *context)
{
    return qelContextIsValid(context) ? context->client : nullptr;
}

void qelContextSetClient(QELContext *context, void *client)
{
    if (qelContextIsValid(context))
        context->client = client;
}

QELPassCache *qelContextGetPassCache(QELContext *context)
{
    return qelContextIsValid(context) ? context->passCache : nullptr;
}

void qelContextSetPassCache(QELContext *context, QELPassCache *cache)
{
    if (qelContextIsValid(context))
        context->passCache = cache;
}

std::uint8_t qelContextGetPendingNotify(QELContext *context)
{
    return qelContextIsValid(context) ? context->pendingNotify : 0;
}

void qelContextSetPendingNotify(QELContext *context, std::uint8_t pending)
{
    if (qelContextIsValid(context))
        context->pendingNotify = pending;
}

std::uint32_t qelContextGetReservedWord(QELContext *context)
{
    return qelContextIsValid(context) ? context->reservedWord : 0;
}

QELRandomContext *qelContextGetRandomContext(QELContext *context)
{
    return qelContextIsValid(context) ? randomOf(context, &QELContext::cryptoRandom, QELRandomKind::Crypto) : nullptr;
}

QELRandomContext *qelContextGetPoolRandomContext(QELContext *context)
{
    return qelContextIsValid(context) ? randomOf(context, &QELContext::poolRandom, QELRandomKind::Pool) : nullptr;
}

QELRandomContext *qelContextGetDummyRandomContext(QELContext *context)
{
    return qelContextIsValid(context) ? randomOf(context, &QELContext::dummyRandom, QELRandomKind::Dummy) : nullptr;
}
