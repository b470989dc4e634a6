// Thin wrappers over the platform's thread facilities, System V semaphores,
// and the recursive reader/writer lock built from them.
#pragma once

#include "qelErrors.h"

#include <pthread.h>
#include <cstdint>

using QELMutex = pthread_mutex_t;
using QELMutexAttr = pthread_mutexattr_t;
using QELThreadKey = pthread_key_t;
using QELThread = pthread_t;
using QELThreadAttr = pthread_attr_t;
using QELThreadStartProc = void *(*)(void *);
using QELThreadKeyDestructor = void (*)(void *);

// Each returns what the platform call returns (0 or an errno value).
int qelMutexInit(QELMutex *mutex, const QELMutexAttr *attributes);
int qelMutexLock(QELMutex *mutex);
int qelMutexTryLock(QELMutex *mutex);
int qelMutexUnlock(QELMutex *mutex);
int qelMutexDestroy(QELMutex *mutex);

int qelThreadKeyCreate(QELThreadKey *outKey, QELThreadKeyDestructor destructor);
int qelThreadKeyDelete(QELThreadKey key);
int qelThreadSetSpecific(QELThreadKey key, const void *value);
// 0 when the value is non-null, -1 when it is null (never set).
int qelThreadGetSpecific(QELThreadKey key, void **outValue);

int qelThreadCreate(QELThread *outThread, const QELThreadAttr *attributes,
                    QELThreadStartProc start, void *argument);
int qelThreadJoin(QELThread thread, void **outResult);
[[noreturn]] void qelThreadExit();
int qelThreadKill(QELThread thread, int signalNumber);
int qelThreadAttrInit(QELThreadAttr *attributes);
int qelThreadAttrDestroy(QELThreadAttr *attributes);
int qelThreadAttrSetDetachState(QELThreadAttr *attributes, int detachState);
int qelThreadAttrGetDetachState(const QELThreadAttr *attributes, int *outDetachState);
void qelThreadNoOp();

// System V semaphores: a private set of one semaphore starting at 0.
// Each returns 0, or -1 with errno set. Waits are retried on EINTR.
struct QELSemaphoreParams {
    std::uint32_t count; // number of semaphores; 1
    std::uint32_t flags;
};

int qelSemaphoreCreate(int *outId, const QELSemaphoreParams *params);
int qelSemaphoreRemove(int id);
int qelSemaphoreWait(int id);
int qelSemaphoreTryWait(int id);
int qelSemaphorePost(int id);

// Recursive reader/writer lock. The thread that releases the lock does the
// bookkeeping of the waiters it admits, so a woken thread never re-examines
// the counters. Where System V semaphores cannot be had, the waits run on
// condition variables over the same mutex with the same hand-off order.
struct QELRWLock {
    QELThreadKey writeCountKey;
    QELThreadKey readCountKey;
    QELMutex mutex;
    int readerSemaphore;
    int writerSemaphore;
    std::uint16_t activeReaders;
    std::uint16_t waitingReaders;
    std::uint16_t writerActive;
    std::uint16_t waitingWriters;
    // Stand-in for the semaphores (used only when semget fails).
    std::uint8_t usesStandIn;
    pthread_cond_t readerCondition;
    pthread_cond_t writerCondition;
    std::uint32_t readerPosts;
    std::uint32_t writerPosts;
};

// 0, or QELError_OutOfMemory when the mutex or the thread keys cannot be made
// (nothing is left allocated then).
[[nodiscard]] QELStatus qelRWLockInit(QELRWLock *lock);
void qelRWLockDestroy(QELRWLock *lock);
// 0, QELError_BadParams for a null lock, or QELError_Unavailable when the
// semaphore wait fails for a reason other than an interruption.
[[nodiscard]] QELStatus qelRWLockReadLock(QELRWLock *lock);
[[nodiscard]] QELStatus qelRWLockReadUnlock(QELRWLock *lock);
[[nodiscard]] QELStatus qelRWLockWriteLock(QELRWLock *lock);
[[nodiscard]] QELStatus qelRWLockWriteUnlock(QELRWLock *lock);
bool qelRWLockHoldsWrite(QELRWLock *lock);
bool qelRWLockHoldsRead(QELRWLock *lock);
