// The I/O worker: one thread, one task slot, a mutex and a condition
// variable for both directions. None is made for a thread that may run on
// one processor only: a worker there cannot overlap anything with the
// chain's work, it only adds two thread switches per task, so the caller
// does its tasks in place (large reads and writes, one after the other).
#include "qelIOWorkerInternal.h"

#include "qelMemory.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

struct QELIOWorker {
    std::mutex lock;
    std::condition_variable changed;
    QELIOTask task = nullptr; // in hand while set
    void *argument = nullptr;
    bool stopping = false;
    std::thread thread;
};

namespace {

void workerMain(QELIOWorker *w)
{
    std::unique_lock<std::mutex> held(w->lock);
    for (;;) {
        w->changed.wait(held, [w] { return w->stopping || w->task != nullptr; });
        if (w->task == nullptr)
            return; // stopping, with nothing in hand
        const QELIOTask task = w->task;
        void *argument = w->argument;
        held.unlock();
        task(argument);
        held.lock();
        w->task = nullptr;
        w->changed.notify_all();
    }
}

} // namespace

bool qelSecondProcessor()
{
#if defined(__linux__)
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        return CPU_COUNT(&allowed) > 1;
#endif
    return std::thread::hardware_concurrency() > 1;
}

QELIOWorker *qelIOWorkerNew(QELMemoryMgr *memoryMgr)
{
    if (!qelSecondProcessor())
        return nullptr;
    void *memory = qelMemAlloc(memoryMgr, sizeof(QELIOWorker), 0);
    if (memory == nullptr)
        return nullptr;
    QELIOWorker *w = std::construct_at(static_cast<QELIOWorker *>(memory));
    try {
        w->thread = std::thread(workerMain, w);
    } catch (...) { // no thread to be had
        std::destroy_at(w);
        static_cast<void>(qelMemFree(memory));
        return nullptr;
    }
    return w;
}

void qelIOWorkerFree(QELIOWorker *w)
{
    if (w == nullptr)
        return;
    {
        std::lock_guard<std::mutex> held(w->lock);
        w->stopping = true;
    }
    w->changed.notify_all();
    w->thread.join();
    std::destroy_at(w);
    static_cast<void>(qelMemFree(w));
}

void qelIOWorkerPost(QELIOWorker *w, QELIOTask task, void *argument)
{
    {
        std::lock_guard<std::mutex> held(w->lock);
        w->task = task;
        w->argument = argument;
    }
    w->changed.notify_all();
}

void qelIOWorkerWait(QELIOWorker *w)
{
    std::unique_lock<std::mutex> held(w->lock);
    w->changed.wait(held, [w] { return w->task == nullptr; });
}
