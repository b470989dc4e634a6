#include "qelLocksInternal.h"
#include "qelTestHooks.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include <csignal>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

// ---- mutexes, thread-specific values, threads ------------------------------

int qelMutexInit(QELMutex *mutex, const QELMutexAttr *attributes)
{
    return pthread_mutex_init(mutex, attributes);
}
int qelMutexLock(QELMutex *mutex) { return pthread_mutex_lock(mutex); }
int qelMutexTryLock(QELMutex *mutex) { return pthread_mutex_trylock(mutex); }
int qelMutexUnlock(QELMutex *mutex) { return pthread_mutex_unlock(mutex); }
int qelMutexDestroy(QELMutex *mutex) { return pthread_mutex_destroy(mutex); }

int qelThreadKeyCreate(QELThreadKey *outKey, QELThreadKeyDestructor destructor)
{
    return pthread_key_create(outKey, destructor);
}
int qelThreadKeyDelete(QELThreadKey key) { return pthread_key_delete(key); }
int qelThreadSetSpecific(QELThreadKey key, const void *value)
{
    return pthread_setspecific(key, value);
}
int qelThreadGetSpecific(QELThreadKey key, void **outValue)
{
    void *v = pthread_getspecific(key);
    if (outValue != nullptr)
        *outValue = v;
    return v != nullptr ? 0 : -1;
}

int qelThreadCreate(QELThread *outThread, const QELThreadAttr *attributes,
                    QELThreadStartProc start, void *argument)
{
    return pthread_create(outThread, attributes, start, argument);
}
int qelThreadJoin(QELThread thread, void **outResult) { return pthread_join(thread, outResult); }
void qelThreadExit() { pthread_exit(nullptr); }
int qelThreadKill(QELThread thread, int signalNumber) { return pthread_kill(thread, signalNumber); }
int qelThreadAttrInit(QELThreadAttr *attributes) { return pthread_attr_init(attributes); }
int qelThreadAttrDestroy(QELThreadAttr *attributes) { return pthread_attr_destroy(attributes); }
int qelThreadAttrSetDetachState(QELThreadAttr *attributes, int detachState)
{
    return pthread_attr_setdetachstate(attributes, detachState);
}
int qelThreadAttrGetDetachState(const QELThreadAttr *attributes, int *outDetachState)
{
    return pthread_attr_getdetachstate(attributes, outDetachState);
}
void qelThreadNoOp() {}

// ---- System V semaphores ---------------------------------------------------

namespace {

int semaphoreOp(int id, short delta, short flags)
{
    sembuf op{};
    op.sem_num = 0;
    op.sem_op = delta;
    op.sem_flg = flags;
    for (;;) {
        if (semop(id, &op, 1) == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

// System V semaphores outlive the process. Sets still held when the process
// exits through exit() (a program that stops without SDK clean-up) are
// removed then; a forked child leaves its parent's sets alone.
struct SemaphoreRegistry {
    std::mutex mutex;
    std::vector<std::pair<int, pid_t>> sets;
};

void removeLeftoverSemaphores();

SemaphoreRegistry &semaphoreRegistry()
{
    static SemaphoreRegistry registry;
    // Registered after the registry exists, so it runs before its destructor.
    static const bool hooked = std::atexit(removeLeftoverSemaphores) == 0;
    (void)hooked;
    return registry;
}

void removeLeftoverSemaphores()
{
    SemaphoreRegistry &r = semaphoreRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    const pid_t self = getpid();
    for (const auto &[id, owner] : r.sets)
        if (owner == self)
            semctl(id, 0, IPC_RMID);
    r.sets.clear();
}

void track(int id)
{
    SemaphoreRegistry &r = semaphoreRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.sets.emplace_back(id, getpid());
}

void untrack(int id)
{
    SemaphoreRegistry &r = semaphoreRegistry();
    std::lock_guard<std::mutex> guard(r.mutex);
    std::erase_if(r.sets, [id](const auto &entry) { return entry.first == id; });
}

} // namespace

int qelSemaphoreCreate(int *outId, const QELSemaphoreParams *params)
{
    if (outId == nullptr)
        return -1;
    *outId = -1;
    const int count = (params != nullptr && params->count != 0) ? static_cast<int>(params->count) : 1;
    const int id = semget(IPC_PRIVATE, count, IPC_CREAT | 0600);
    if (id < 0)
        return -1;
    // A fresh Linux set starts at 0, but say so rather than rely on it.
    for (int i = 0; i < count; ++i) {
        if (semctl(id, i, SETVAL, 0) != 0) {
            semctl(id, 0, IPC_RMID);
            return -1;
        }
    }
    try {
        track(id);
    } catch (...) {
        semctl(id, 0, IPC_RMID);
        return -1;
    }
    *outId = id;
    return 0;
}

int qelSemaphoreRemove(int id)
{
    untrack(id);
    return semctl(id, 0, IPC_RMID) == 0 ? 0 : -1;
}
int qelSemaphoreWait(int id) { return semaphoreOp(id, -1, 0); }
int qelSemaphoreTryWait(int id) { return semaphoreOp(id, -1, IPC_NOWAIT); }
int qelSemaphorePost(int id) { return semaphoreOp(id, 1, 0); }

// ---- reader/writer lock ----------------------------------------------------

namespace {

std::atomic<bool> forceStandIn{false};

std::uintptr_t count(QELThreadKey key)
{
    return reinterpret_cast<std::uintptr_t>(pthread_getspecific(key));
}

void setCount(QELThreadKey key, std::uintptr_t n)
{
    pthread_setspecific(key, reinterpret_cast<const void *>(n));
}

// Called with the mutex held; wakes one waiter of the given kind.
QELStatus post(QELRWLock *lock, bool reader)
{
    if (lock->usesStandIn) {
        if (reader) {
            ++lock->readerPosts;
            pthread_cond_signal(&lock->readerCondition);
        } else {
            ++lock->writerPosts;
            pthread_cond_signal(&lock->writerCondition);
        }
        return QELError_NoErr;
    }
    return qelSemaphorePost(reader ? lock->readerSemaphore : lock->writerSemaphore) == 0
               ? QELError_NoErr
               : QELError_Unavailable;
}

// Called with the mutex held, after this thread has counted itself as a
// waiter; returns with the mutex released and the lock handed over.
QELStatus waitAndUnlock(QELRWLock *lock, bool reader)
{
    if (lock->usesStandIn) {
        pthread_cond_t *cond = reader ? &lock->readerCondition : &lock->writerCondition;
        std::uint32_t *posts = reader ? &lock->readerPosts : &lock->writerPosts;
        while (*posts == 0)
            pthread_cond_wait(cond, &lock->mutex);
        --*posts;
        pthread_mutex_unlock(&lock->mutex);
        return QELError_NoErr;
    }
    pthread_mutex_unlock(&lock->mutex);
    if (qelSemaphoreWait(reader ? lock->readerSemaphore : lock->writerSemaphore) != 0)
        return QELError_Unavailable;
    // The waker posted while holding the mutex: passing through it orders
    // everything the previous holder did before this thread's critical
    // section, for the memory model and for race checkers that do not
    // understand System V semaphores.
    pthread_mutex_lock(&lock->mutex);
    pthread_mutex_unlock(&lock->mutex);
    return QELError_NoErr;
}

} // namespace

#ifdef QEL_TEST_HOOKS
void qelRWLockForceStandIn(bool force) { forceStandIn.store(force); }
#endif

QELStatus qelRWLockInit(QELRWLock *lock)
{
    if (lock == nullptr)
        return QELError_BadParams;
    *lock = QELRWLock{};
    lock->readerSemaphore = -1;
    lock->writerSemaphore = -1;
    if (pthread_mutex_init(&lock->mutex, nullptr) != 0)
        return QELError_OutOfMemory;

    const QELSemaphoreParams params{1, 0};
    bool semaphores = !forceStandIn.load();
    if (semaphores && qelSemaphoreCreate(&lock->readerSemaphore, &params) != 0)
        semaphores = false;
    if (semaphores && qelSemaphoreCreate(&lock->writerSemaphore, &params) != 0) {
        qelSemaphoreRemove(lock->readerSemaphore);
        lock->readerSemaphore = -1;
        semaphores = false;
    }
    if (!semaphores) {
        lock->usesStandIn = 1;
        const bool condOk = pthread_cond_init(&lock->readerCondition, nullptr) == 0;
        if (!condOk || pthread_cond_init(&lock->writerCondition, nullptr) != 0) {
            if (condOk)
                pthread_cond_destroy(&lock->readerCondition);
            pthread_mutex_destroy(&lock->mutex);
            return QELError_OutOfMemory;
        }
    }

    const auto releaseWaits = [lock] {
        pthread_mutex_destroy(&lock->mutex);
        if (lock->usesStandIn) {
            pthread_cond_destroy(&lock->readerCondition);
            pthread_cond_destroy(&lock->writerCondition);
        } else {
            qelSemaphoreRemove(lock->readerSemaphore);
            qelSemaphoreRemove(lock->writerSemaphore);
        }
        lock->readerSemaphore = -1;
        lock->writerSemaphore = -1;
    };
    if (pthread_key_create(&lock->readCountKey, nullptr) != 0) {
        releaseWaits();
        return QELError_OutOfMemory;
    }
    if (pthread_key_create(&lock->writeCountKey, nullptr) != 0) {
        pthread_key_delete(lock->readCountKey);
        releaseWaits();
        return QELError_OutOfMemory;
    }
    return QELError_NoErr;
}

void qelRWLockDestroy(QELRWLock *lock)
{
    if (lock == nullptr)
        return;
    pthread_mutex_destroy(&lock->mutex);
    if (lock->usesStandIn) {
        pthread_cond_destroy(&lock->readerCondition);
        pthread_cond_destroy(&lock->writerCondition);
    } else {
        if (lock->readerSemaphore >= 0)
            qelSemaphoreRemove(lock->readerSemaphore);
        if (lock->writerSemaphore >= 0)
            qelSemaphoreRemove(lock->writerSemaphore);
    }
    lock->readerSemaphore = -1;
    lock->writerSemaphore = -1;
    pthread_key_delete(lock->readCountKey);
    pthread_key_delete(lock->writeCountKey);
}

QELStatus qelRWLockReadLock(QELRWLock *lock)
{
    if (lock == nullptr)
        return QELError_BadParams;
    const std::uintptr_t n = count(lock->readCountKey);
    if (n != 0) {
        setCount(lock->readCountKey, n + 1);
        return QELError_NoErr;
    }
    pthread_mutex_lock(&lock->mutex);
    if (lock->writerActive != 0 || lock->waitingWriters != 0) {
        ++lock->waitingReaders;
        const QELStatus status = waitAndUnlock(lock, true);
        if (status != QELError_NoErr)
            return status;
    } else {
        ++lock->activeReaders;
        pthread_mutex_unlock(&lock->mutex);
    }
    setCount(lock->readCountKey, 1);
    return QELError_NoErr;
}

QELStatus qelRWLockReadUnlock(QELRWLock *lock)
{
    if (lock == nullptr)
        return QELError_BadParams;
    const std::uintptr_t n = count(lock->readCountKey);
    if (n == 0)
        return QELError_NoErr;
    setCount(lock->readCountKey, n - 1);
    if (n - 1 != 0)
        return QELError_NoErr;
    QELStatus status = QELError_NoErr;
    pthread_mutex_lock(&lock->mutex);
    --lock->activeReaders;
    if (lock->activeReaders == 0 && lock->waitingWriters != 0) {
        --lock->waitingWriters;
        lock->writerActive = 1;
        status = post(lock, false);
    }
    pthread_mutex_unlock(&lock->mutex);
    return status;
}

QELStatus qelRWLockWriteLock(QELRWLock *lock)
{
    if (lock == nullptr)
        return QELError_BadParams;
    const std::uintptr_t n = count(lock->writeCountKey);
    if (n != 0) {
        setCount(lock->writeCountKey, n + 1);
        return QELError_NoErr;
    }
    // A reader asking to write gives its read lock up completely; waiting
    // for the write lock while still counted as a reader would deadlock.
    if (count(lock->readCountKey) != 0) {
        setCount(lock->readCountKey, 1);
        const QELStatus status = qelRWLockReadUnlock(lock);
        if (status != QELError_NoErr)
            return status;
    }
    pthread_mutex_lock(&lock->mutex);
    if (lock->activeReaders != 0 || lock->writerActive != 0) {
        ++lock->waitingWriters;
        const QELStatus status = waitAndUnlock(lock, false);
        if (status != QELError_NoErr)
            return status;
    } else {
        lock->writerActive = 1;
        pthread_mutex_unlock(&lock->mutex);
    }
    setCount(lock->writeCountKey, 1);
    return QELError_NoErr;
}

QELStatus qelRWLockWriteUnlock(QELRWLock *lock)
{
    if (lock == nullptr)
        return QELError_BadParams;
    const std::uintptr_t n = count(lock->writeCountKey);
    if (n == 0)
        return QELError_NoErr;
    setCount(lock->writeCountKey, n - 1);
    if (n - 1 != 0)
        return QELError_NoErr;
    QELStatus status = QELError_NoErr;
    pthread_mutex_lock(&lock->mutex);
    lock->writerActive = 0;
    if (lock->waitingReaders != 0) {
        while (lock->waitingReaders != 0) {
            ++lock->activeReaders;
            --lock->waitingReaders;
            const QELStatus s = post(lock, true);
            if (s != QELError_NoErr)
                status = s;
        }
    } else if (lock->waitingWriters != 0) {
        --lock->waitingWriters;
        lock->writerActive = 1;
        status = post(lock, false);
    }
    pthread_mutex_unlock(&lock->mutex);
    return status;
}

bool qelRWLockHoldsWrite(QELRWLock *lock)
{
    return lock != nullptr && count(lock->writeCountKey) != 0;
}

bool qelRWLockHoldsRead(QELRWLock *lock)
{
    return lock != nullptr && count(lock->readCountKey) != 0;
}
