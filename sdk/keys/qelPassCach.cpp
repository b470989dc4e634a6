// The passphrase cache: passkeys per context and key, scoped to a service
// client's name or record, expiring a fixed time after their last use. All
// of its state, and the watcher registry, is guarded by the SDK API mutex.
#include "qelPassCachInternal.h"

#include "qelAVLTreeInternal.h"
#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelHelpers.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelMemoryInternal.h"
#include "qelPkAlgInternal.h"
#include "qelSDKInternal.h"
#include "qelSeams.h"
#include "qelTestHooks.h"
#include "qelWipe.h"

#include <atomic>
#include <cstring>
#include <ctime>

namespace {

constexpr const char *kGateFile = "qelPassCach";

std::atomic<QELClockProc> g_clock{nullptr};

// Watchers visited after entries come or go; guarded by the API mutex.
QELAVLTree *g_watchers = nullptr;

// The API mutex for one scope; it is not recursive, so nothing below a
// holder takes it again.
struct APILock {
    APILock() { qelSDKAPIMutexLock(); }
    ~APILock() { qelSDKAPIMutexUnlock(); }
    APILock(const APILock &) = delete;
    APILock &operator=(const APILock &) = delete;
};

const char *clientName(void *client)
{
    return client != nullptr ? static_cast<const QELServiceClientHead *>(client)->name : nullptr;
}

bool sameKey(const QELPassCacheKeyRef &a, const QELPassCacheKeyRef &b)
{
    return a.algorithm == b.algorithm && std::memcmp(a.keyID, b.keyID, sizeof a.keyID) == 0;
}

// Both absent, or both present and equal as strings.
bool sameName(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr)
        return a == b;
    return std::strcmp(a, b) == 0;
}

QELTime expiryFrom(QELTime now, std::uint32_t period)
{
    const std::uint64_t t = std::uint64_t{now} + period;
    return t > UINT32_MAX ? UINT32_MAX : static_cast<QELTime>(t);
}

void notifyWatchers()
{
    if (g_watchers != nullptr)
        static_cast<void>(qelAVLWalk(g_watchers, qelPassCacheWatcherNotify, nullptr)); // every visit answers 0
}

// Frees every entry of a list; the number freed.
std::int32_t freeList(QELContext *context, QELPassCacheEntry *&head)
{
    std::int32_t freed = 0;
    while (head != nullptr) {
        QELPassCacheEntry *next = head->next;
        qelPassCacheEntryFree(context, head);
        head = next;
        ++freed;
    }
    return freed;
}

// Unlinks and frees the entries that expired before now.
std::int32_t expireList(QELContext *context, QELPassCacheEntry *&head, QELTime now)
{
    std::int32_t dropped = 0;
    for (QELPassCacheEntry **link = &head; *link != nullptr;) {
        QELPassCacheEntry *entry = *link;
        if (entry->expiry < now) {
            *link = entry->next;
            qelPassCacheEntryFree(context, entry);
            ++dropped;
        } else {
            link = &entry->next;
        }
    }
    return dropped;
}

// Turns a passphrase into the key's passkey and stores that. The key's
// failures are not reported: the key stays as it is and nothing is cached.
QELStatus storePassphraseLocked(QELSecretKeyObject *key, const void *passphrase, std::size_t length,
                                std::uint32_t period, std::uint8_t selector)
{
    std::uint64_t passkeyLength = 0;
    if (key->protectionCipher(key, nullptr, &passkeyLength) != QELError_NoErr || passkeyLength == 0 ||
        passkeyLength > 64)
        return QELError_NoErr;
    qel::WipedBuffer<std::uint8_t> passkey(qelContextMemoryMgr(key->context),
                                           static_cast<std::size_t>(passkeyLength));
    if (!passkey)
        return QELError_NoErr;
    if (key->deriveProtectionKey(key, qelContextGetSettings(key->context), passphrase, length,
                                 passkey.get()) != QELError_NoErr)
        return QELError_NoErr;
    return qelPassCacheAdd(key->context, passkey.get(), passkeyLength, period, selector,
                           qelPassCacheKeyRefOf(key));
}

QELStatus storeLocked(QELSecretKeyObject *key, const void *secret, std::size_t length,
                      std::uint8_t isPasskey, std::uint32_t period, std::uint8_t selector)
{
    if (isPasskey)
        return qelPassCacheAdd(key->context, secret, length, period, selector, qelPassCacheKeyRefOf(key));
    return storePassphraseLocked(key, secret, length, period, selector);
}

// The unlock answer as a status: 1 unlocked, 0 refused.
QELStatus unlockStatus(std::int32_t answer)
{
    if (answer == 1)
        return QELError_NoErr;
    return answer == 0 ? QELError_BadPassphrase : answer;
}

QELStatus purgeLocked(QELContext *context)
{
    QELPassCache *cache = qelContextGetPassCache(context);
    if (cache == nullptr)
        return QELError_NoErr;
    std::int32_t freed = freeList(context, cache->nameList);
    freed += freeList(context, cache->handleList);
    std::memset(cache, 0, sizeof *cache);
    static_cast<void>(qelContextMemFree(context, cache)); // our block
    qelContextSetPassCache(context, nullptr);
    if (freed != 0)
        notifyWatchers();
    return QELError_NoErr;
}

} // namespace

#ifdef QEL_TEST_HOOKS
void qelPassCacheSetClockForTesting(QELClockProc now)
{
    g_clock.store(now);
}
#endif

QELTime qelPassCacheNow()
{
    if (QELClockProc clock = g_clock.load())
        return clock();
    // Not through the guarded time call: expiry must go on while the guard
    // refuses public calls, or cached passkeys would outlive their period.
    const std::time_t t = std::time(nullptr);
    return t <= 0 ? 0 : t >= std::time_t{UINT32_MAX} ? UINT32_MAX : static_cast<QELTime>(t);
}

QELStatus qelPassCacheGetCounts(QELContext *context, std::int32_t *outOwn, std::int32_t *outNamed,
                                std::int32_t *outOthers)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QELStatus status = qelAPIGate(kGateFile, __LINE__);
    if (status != QELError_NoErr)
        return status;
    if (qelServiceConnected()) {
        std::int32_t own = 0, named = 0, others = 0;
        status = qelKeysService().passCacheGetCounts(context, &own, &named, &others);
        if (status == QELError_NoErr) {
            if (outOwn != nullptr)
                *outOwn = own;
            if (outNamed != nullptr)
                *outNamed = named;
            if (outOthers != nullptr)
                *outOthers = others;
        }
        return status;
    }
    return qelPassCacheGetCountsLocal(context, outOwn, outNamed, outOthers);
}

QELStatus qelPassCachePurge(QELContext *context)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QELStatus status = qelAPIGate(kGateFile, __LINE__);
    if (status != QELError_NoErr)
        return status;
    if (qelServiceConnected())
        return qelKeysService().passCachePurge(context);
    return qelPassCachePurgeLocal(context);
}

QELStatus qelPassCacheGetCountsLocal(QELContext *context, std::int32_t *outOwn,
                                     std::int32_t *outNamed, std::int32_t *outOthers)
{
    std::int32_t own = 0, named = 0, others = 0;
    {
        APILock lock;
        QELPassCache *cache = qelContextGetPassCache(context);
        void *client = qelContextGetClient(context);
        const char *name = clientName(client);
        if (cache != nullptr) {
            for (QELPassCacheEntry *e = cache->nameList; e != nullptr; e = e->next)
                if (name == nullptr || sameName(e->clientName, name))
                    ++named;
            for (QELPassCacheEntry *e = cache->handleList; e != nullptr; e = e->next)
                ++(e->client == client ? own : others);
        }
    }
    if (outOwn != nullptr)
        *outOwn = own;
    if (outNamed != nullptr)
        *outNamed = named;
    if (outOthers != nullptr)
        *outOthers = others;
    return QELError_NoErr;
}

QELStatus qelPassCachePurgeLocal(QELContext *context)
{
    APILock lock;
    return purgeLocked(context);
}

void qelPassCacheExpire(QELContext *context)
{
    APILock lock;
    QELPassCache *cache = qelContextGetPassCache(context);
    if (cache == nullptr)
        return;
    const QELTime now = qelPassCacheNow();
    std::int32_t dropped = expireList(context, cache->nameList, now);
    dropped += expireList(context, cache->handleList, now);
    cache->count -= dropped;
    if (dropped != 0)
        notifyWatchers();
}

bool qelPassCacheHasEntries(QELContext *context)
{
    APILock lock;
    const QELPassCache *cache = qelContextGetPassCache(context);
    return cache != nullptr && (cache->nameList != nullptr || cache->handleList != nullptr);
}

QELStatus qelPassCacheCreate(QELContext *context)
{
    auto *cache = static_cast<QELPassCache *>(
        qelContextMemAlloc(context, sizeof(QELPassCache), QELMemFlag_Clear));
    if (cache == nullptr)
        return QELError_OutOfMemory;
    cache->context = context;
    qelContextSetPassCache(context, cache);
    return QELError_NoErr;
}

QELStatus qelPassCacheAdd(QELContext *context, const void *data, std::uint64_t length,
                          std::uint32_t period, std::uint8_t selector, const QELPassCacheKeyRef &key)
{
    if (qelContextGetPassCache(context) == nullptr && qelPassCacheCreate(context) != QELError_NoErr)
        return QELError_OutOfMemory;
    QELPassCache *cache = qelContextGetPassCache(context);
    void *client = qelContextGetClient(context);
    const bool byName = selector != 0;
    const char *name = byName ? clientName(client) : nullptr;
    QELPassCacheEntry *&head = byName ? cache->nameList : cache->handleList;

    QELPassCacheEntry *entry = head;
    while (entry != nullptr &&
           !(entry->client == client && (!byName || sameName(entry->clientName, name)) &&
             sameKey(entry->key, key)))
        entry = entry->next;

    const bool made = entry == nullptr;
    if (made) {
        entry = static_cast<QELPassCacheEntry *>(
            qelContextMemAlloc(context, sizeof(QELPassCacheEntry), QELMemFlag_Clear));
        if (entry == nullptr)
            return QELError_OutOfMemory;
        entry->client = client;
        entry->listKind = byName ? 1 : 0;
        entry->key = key;
        if (name != nullptr) {
            entry->clientName = static_cast<char *>(
                qelContextMemAllocCopy(context, std::strlen(name) + 1, 0, name));
            if (entry->clientName == nullptr) {
                qelPassCacheEntryFree(context, entry);
                return QELError_OutOfMemory;
            }
        }
    }

    // The new copy first, so that a failure leaves the old data in place.
    std::uint8_t *copy = nullptr;
    if (length <= SIZE_MAX / 2)
        copy = static_cast<std::uint8_t *>(
            qelMemAllocSecure(qelContextMemoryMgr(context), static_cast<std::size_t>(length ? length : 1), 0));
    if (copy == nullptr) {
        if (made)
            qelPassCacheEntryFree(context, entry);
        return QELError_OutOfMemory;
    }
    if (length != 0)
        std::memcpy(copy, data, static_cast<std::size_t>(length));
    if (entry->data != nullptr) {
        qelSecureWipe(entry->data, static_cast<std::size_t>(entry->length));
        static_cast<void>(qelMemFree(entry->data)); // our block
    }
    entry->data = copy;
    entry->length = length;
    entry->period = period;
    entry->expiry = expiryFrom(qelPassCacheNow(), period);

    if (made) {
        entry->next = head;
        head = entry;
        ++cache->count;
        notifyWatchers();
    }
    return QELError_NoErr;
}

QELPassCacheEntry *qelPassCacheFind(QELContext *context, const QELPassCacheKeyRef &key)
{
    QELPassCache *cache = qelContextGetPassCache(context);
    if (cache == nullptr)
        return nullptr;
    const QELTime now = qelPassCacheNow();
    void *client = qelContextGetClient(context);
    const char *name = clientName(client);
    for (QELPassCacheEntry *e = cache->nameList; e != nullptr; e = e->next)
        if (sameKey(e->key, key) && (name == nullptr || sameName(e->clientName, name)) &&
            now <= e->expiry)
            return e;
    for (QELPassCacheEntry *e = cache->handleList; e != nullptr; e = e->next)
        if (e->client == client && sameKey(e->key, key) && now <= e->expiry)
            return e;
    return nullptr;
}

void qelPassCacheEntryFree(QELContext *context, QELPassCacheEntry *entry)
{
    if (entry == nullptr)
        return;
    if (entry->data != nullptr) {
        qelSecureWipe(entry->data, static_cast<std::size_t>(entry->length));
        static_cast<void>(qelMemFree(entry->data)); // our block
    }
    if (entry->clientName != nullptr)
        static_cast<void>(qelContextMemFree(context, entry->clientName)); // our block
    std::memset(entry, 0, sizeof *entry);
    static_cast<void>(qelContextMemFree(context, entry)); // our block
}

QELStatus qelPassCacheWatcherAdd(void *, std::int64_t key)
{
    APILock lock;
    if (g_watchers == nullptr && qelAVLCreate(qelMemMgrGetGlobal(), &g_watchers) != QELError_NoErr) {
        g_watchers = nullptr;
        return QELError_OutOfMemory;
    }
    const QELStatus s = qelAVLInsert(g_watchers, key, reinterpret_cast<void *>(std::intptr_t{1}));
    // Already registered watchers stay as they are.
    return s == QELError_ItemAlreadyExists ? QELError_NoErr : s;
}

void qelPassCacheWatcherRemove(std::int64_t key)
{
    APILock lock;
    if (g_watchers == nullptr)
        return;
    static_cast<void>(qelAVLRemove(g_watchers, key, nullptr)); // an absent key is no error here
    if (key == 0) {
        static_cast<void>(qelAVLFree(g_watchers)); // the tree is ours
        g_watchers = nullptr;
    }
}

std::int32_t qelPassCacheWatcherNotify(void *, std::int64_t, void *)
{
    return 0;
}

QELPassCacheKeyRef qelPassCacheKeyRefOf(const QELSecretKeyObject *key)
{
    QELPassCacheKeyRef ref{};
    ref.algorithm = (key->algorithm == 2 || key->algorithm == 3) ? 1 : key->algorithm;
    std::memcpy(ref.keyID, key->keyID, sizeof ref.keyID);
    return ref;
}

QELStatus qelPassCacheAddForKey(QELSecretKeyObject *key, const void *secret, std::uint64_t length,
                                std::uint8_t isPasskey, std::uint32_t period, std::uint8_t selector)
{
    if (key == nullptr)
        return QELError_BadParams;
    APILock lock;
    if (secret == nullptr || length == 0)
        return QELError_NoErr;
    if (length > SIZE_MAX / 2)
        return QELError_BadParams;
    return storeLocked(key, secret, static_cast<std::size_t>(length), isPasskey, period, selector);
}

QELStatus qelPassCacheUnlockKey(QELSecretKeyObject *key, const void *secret, std::uint64_t length,
                                std::uint8_t isPasskey, std::uint32_t period, std::uint8_t selector)
{
    if (key == nullptr)
        return QELError_BadParams;
    APILock lock;
    if (length == 0 || length > SIZE_MAX / 2)
        secret = nullptr;
    if (key->isLocked(key) == 0)
        return secret == nullptr ? QELError_NoErr : QELError_BadPassphrase;

    if (secret != nullptr) {
        const std::int32_t answer =
            key->unlock(key, secret, static_cast<std::size_t>(length), isPasskey ? 1 : 0);
        if (answer != 1)
            return unlockStatus(answer);
        if (period == 0)
            return QELError_NoErr;
        return storeLocked(key, secret, static_cast<std::size_t>(length), isPasskey, period, selector);
    }

    QELContext *context = key->context;
    if (qelContextGetPassCache(context) == nullptr && qelPassCacheCreate(context) != QELError_NoErr)
        return unlockStatus(key->unlock(key, "", 0, 1));
    QELPassCacheEntry *entry = qelPassCacheFind(context, qelPassCacheKeyRefOf(key));
    if (entry == nullptr)
        return QELError_BadPassphrase;
    entry->expiry = expiryFrom(qelPassCacheNow(), entry->period);
    return unlockStatus(key->unlock(key, entry->data, static_cast<std::size_t>(entry->length), 1));
}
