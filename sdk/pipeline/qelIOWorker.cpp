// The I/O worker: one thread, one task slot, a mutex and a condition
// variable for both directions.
#include "qelIOWorkerInternal.h"

#include "qelMemory.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

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

QELIOWorker *qelIOWorkerNew(QELMemoryMgr *memoryMgr)
{
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
