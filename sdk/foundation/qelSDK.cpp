// SDK start-up and clean-up, the housekeeping thread and the process-wide
// key-database change hook.
#include "qelSDKInternal.h"

#include "qelContextInternal.h"
#include "qelLayerSeamsInternal.h"
#include "qelMemoryInternal.h"
#include "qelMacBinaryInternal.h"
#include "qelSeams.h"
#include "qelTestHooks.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// Start-up and clean-up run on one thread, but the guard reads the count
// from any thread.
std::atomic<std::uint32_t> g_refCount{0};
// Set when this start-up cycle made and registered the default manager
// itself; the last clean-up then frees that manager again, and never one
// that the application registered.
bool g_madeDefaultMgr = false;

std::mutex g_apiMutex;

std::mutex g_changeHookMutex;
QELKeyDBChangeCallback g_changeCallback = nullptr;
void *g_changeUserValue = nullptr;

std::atomic<QELSDKThreadCreateProc> g_threadCreate{nullptr};

// The housekeeping thread waits on a condition variable instead of a plain
// sleep so that stopping it is prompt and it can be joined before the state
// it walks goes away.
struct Housekeeper {
    std::mutex mutex;
    std::condition_variable wake;
    bool run = false;     // guarded by mutex
    bool running = false; // a thread exists that has not been joined
    pthread_t thread{};
};
// Never destroyed: a process that exits without the last clean-up still
// has the thread waiting on it while static objects are torn down.
Housekeeper &g_housekeeper = *new Housekeeper;

void housekeepingVisit(QELContext *context, void *)
{
    if (auto housekeep = qelKeysSeams().housekeep)
        housekeep(context);
}

void *housekeepingThread(void *)
{
    std::unique_lock lock(g_housekeeper.mutex);
    while (g_housekeeper.run) {
        g_housekeeper.wake.wait_for(lock, std::chrono::seconds(1),
                                    [] { return !g_housekeeper.run; });
        if (!g_housekeeper.run)
            break;
        lock.unlock();
        // The context list stays locked for the whole pass, so no context
        // is freed under it.
        qelContextForEach(housekeepingVisit, nullptr);
        lock.lock();
    }
    return nullptr;
}

} // namespace

QELStatus qelHousekeepingStart()
{
    std::lock_guard lock(g_housekeeper.mutex);
    if (g_housekeeper.running)
        return QELError_NoErr;
    g_housekeeper.run = true;
    QELSDKThreadCreateProc create = g_threadCreate.load();
    if (create == nullptr)
        create = pthread_create;
    if (create(&g_housekeeper.thread, nullptr, housekeepingThread, nullptr) != 0) {
        g_housekeeper.run = false;
        return QELError_Unavailable;
    }
    g_housekeeper.running = true;
    return QELError_NoErr;
}

void qelHousekeepingStop()
{
    pthread_t thread;
    {
        std::lock_guard lock(g_housekeeper.mutex);
        if (!g_housekeeper.running)
            return;
        g_housekeeper.run = false;
        thread = g_housekeeper.thread;
        // Asked from inside a pass: the thread ends on its own when the
        // pass returns; it cannot wait for itself.
        if (pthread_equal(thread, pthread_self())) {
            pthread_detach(thread);
            g_housekeeper.running = false;
            return;
        }
    }
    g_housekeeper.wake.notify_all();
    pthread_join(thread, nullptr);
    std::lock_guard lock(g_housekeeper.mutex);
    g_housekeeper.running = false;
}

bool qelHousekeepingIsRunning()
{
    std::lock_guard lock(g_housekeeper.mutex);
    return g_housekeeper.running;
}

#ifdef QEL_TEST_HOOKS
void qelSDKSetThreadCreateForTesting(QELSDKThreadCreateProc proc)
{
    g_threadCreate.store(proc);
}
#endif

QELStatus qelSDKStart(std::uint32_t flags)
{
    if (g_refCount.load() != 0) {
        g_refCount.fetch_add(1);
        return QELError_NoErr;
    }

    // What this call has done so far, undone in reverse on failure so that
    // a retry starts from a clean process.
    bool madeMgr = false;
    bool startedHousekeeping = false;
    bool connected = false;
    bool loadedMacBinary = false;
    QELStatus status = QELError_NoErr;

    auto undo = [&] {
        if (loadedMacBinary)
            qelMacBinaryTableFree();
        // Undoing a failed start-up: the first failure is what is returned.
        if (connected)
            static_cast<void>(qelServiceSeams().clientExit());
        if (startedHousekeeping)
            qelHousekeepingStop();
        if (madeMgr)
            qelMemMgrFreeDefaults();
        return status;
    };

    if (qelMemMgrGetGlobal() == nullptr) {
        QELMemoryMgr *mgr = nullptr;
        status = qelMemMgrNewDefault(0, &mgr);
        if (status != QELError_NoErr)
            return undo();
        status = qelMemMgrRegister(mgr);
        if (status != QELError_NoErr) {
            static_cast<void>(qelMemMgrFree(mgr));
            return undo();
        }
        madeMgr = true;
    }

    if ((flags & QELSDKInit_NoHousekeeping) == 0) {
        status = qelHousekeepingStart();
        if (status != QELError_NoErr)
            return undo();
        startedHousekeeping = true;
    }

    if ((flags & QELSDKInit_NoService) == 0) {
        auto connect = qelServiceSeams().connect;
        status = connect != nullptr ? connect(1) : QELError_NotInitialized;
        if (status != QELError_NoErr)
            return undo();
        connected = true;
    }

    status = qelMacBinaryTableLoad();
    if (status != QELError_NoErr)
        return undo();
    loadedMacBinary = true;

    if (auto start = qelPubKeySeams().start)
        start();

    if (auto start = qelCryptoSeams().start) {
        status = start();
        if (status != QELError_NoErr)
            return undo();
    }

    g_madeDefaultMgr = madeMgr;
    g_refCount.store(1);
    return QELError_NoErr;
}

QELStatus qelSDKCleanup()
{
    std::uint32_t count = g_refCount.load();
    if (count == 0)
        return QELError_BadParams;
    g_refCount.store(count - 1);
    if (count - 1 != 0)
        return QELError_NoErr;

    // The housekeeping thread goes first: no pass may run over state that
    // the following steps release.
    qelHousekeepingStop();
    // Clean-up reports none of its steps' statuses.
    if (auto stop = qelPubKeySeams().stop)
        static_cast<void>(stop());
    qelMacBinaryTableFree();
    if (auto exit = qelServiceSeams().clientExit)
        static_cast<void>(exit());
    if (auto stop = qelCryptoSeams().stop)
        stop();
    if (g_madeDefaultMgr) {
        qelMemMgrFreeDefaults();
        g_madeDefaultMgr = false;
    }
    return QELError_NoErr;
}

QELStatus qelSDKForceCleanup()
{
    if (g_refCount.load() != 0)
        g_refCount.store(1);
    return qelSDKCleanup();
}

bool qelSDKIsInitialized()
{
    return g_refCount.load() != 0;
}

void qelSDKAPIMutexLock()
{
    g_apiMutex.lock();
}

void qelSDKAPIMutexUnlock()
{
    g_apiMutex.unlock();
}

QELStatus qelSetKeyDBChangeCallback(QELKeyDBChangeCallback callback, void *userValue)
{
    std::lock_guard lock(g_changeHookMutex);
    g_changeCallback = callback;
    g_changeUserValue = userValue;
    return QELError_NoErr;
}

QELStatus qelNotifyKeyDBChange(std::uint32_t a, std::uint32_t b, std::uint32_t c)
{
    if (auto note = qelKeysSeams().noteRemoteChange)
        note();
    QELKeyDBChangeCallback callback;
    void *userValue;
    {
        std::lock_guard lock(g_changeHookMutex);
        callback = g_changeCallback;
        userValue = g_changeUserValue;
    }
    return callback != nullptr ? callback(userValue, a, b, c) : QELError_NoErr;
}

QELStatus qelUnsupportedEntry()
{
    return QELError_AlgorithmCannotDoThis;
}
