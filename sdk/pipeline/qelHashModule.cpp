// The Hash Module. Only the bytes the downstream accepted are hashed, so a
// partial write followed by the caller's retry hashes every byte once.
//
// A threaded Hash Module passes every write on at once, as the plain one
// does, and hands a copy of the bytes taken to a worker thread of its own
// that runs the hash behind the data path. A long message then costs the
// slower of the two (the hash, or everything in front of it) instead of
// their sum. The bytes go through one ring in order, so the hash sees
// exactly what the plain module would have fed it; qelHashModuleChainSettle
// waits until the worker has caught up, and destroying the module waits for
// it too, so the hash is whole whenever anyone can look at it.
#include "qelHashModuleInternal.h"

#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelIOWorkerInternal.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

// Short messages are hashed on the caller's thread: a thread costs more
// than the hash of a few hundred kilobytes.
constexpr std::uint64_t kThreadAfter = 256u << 10;
constexpr std::size_t kRingSize = 512u << 10;
// The worker frees ring space in pieces of this size, so the writer does not
// wait for a whole ring to be hashed.
constexpr std::size_t kHashPiece = 64u << 10;

void hashUpdate(QELHashContext *hash, const std::uint8_t *bytes, std::uint64_t n)
{
    hash->descriptor->update(hash->state, bytes, n);
}

// The worker and the ring it hashes from. `produced` and `consumed` count
// ring bytes since the start; the writer fills [produced, consumed + size)
// and the worker hashes [consumed, produced), both outside the lock, which
// guards only the two counts and the stop flag.
class HashWorker {
public:
    HashWorker(QELContext *context, QELHashContext *hash)
        : hash_(hash), ring_(qelContextMemoryMgr(context), kRingSize, false)
    {
    }
    HashWorker(const HashWorker &) = delete;
    HashWorker &operator=(const HashWorker &) = delete;
    ~HashWorker()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        more_.notify_one();
        if (thread_.joinable())
            thread_.join();
    }

    // False when the thread cannot be started; the caller hashes inline.
    bool start()
    {
        if (!ring_)
            return false;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error &) {
            return false;
        }
        return true;
    }

    void feed(const std::uint8_t *bytes, std::uint64_t n)
    {
        while (n != 0) {
            std::uint64_t at = 0, space = 0;
            {
                std::unique_lock<std::mutex> guard(lock_);
                waitForWorker(guard, [this] { return produced_ - consumed_ < kRingSize; });
                at = produced_;
                space = kRingSize - (produced_ - consumed_);
            }
            const std::size_t offset = static_cast<std::size_t>(at % kRingSize);
            const std::size_t piece =
                static_cast<std::size_t>(std::min<std::uint64_t>({n, space, kRingSize - offset}));
            std::memcpy(ring_.get() + offset, bytes, piece);
            bool wake = false;
            {
                std::lock_guard<std::mutex> guard(lock_);
                produced_ += piece;
                // An idle worker is woken for a whole piece, not for every write.
                wake = workerIdle_ && produced_ - consumed_ >= kHashPiece;
            }
            if (wake)
                more_.notify_one();
            bytes += piece;
            n -= piece;
        }
    }

    // Returns once every byte fed has been hashed.
    void settle()
    {
        std::unique_lock<std::mutex> guard(lock_);
        if (consumed_ != produced_) {
            catchUp_ = true;
            more_.notify_one();
        }
        waitForWorker(guard, [this] { return consumed_ == produced_; });
    }

private:
    // Each side wakes the other only when it waits: while both keep busy no
    // system call is made.
    template <typename Ready>
    void waitForWorker(std::unique_lock<std::mutex> &guard, Ready ready)
    {
        writerWaiting_ = true;
        room_.wait(guard, ready);
        writerWaiting_ = false;
    }

    void run()
    {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            if (produced_ == consumed_) {
                if (stop_)
                    return; // stopped with nothing left
                catchUp_ = false;
                workerIdle_ = true;
                more_.wait(guard, [this] {
                    return stop_ || produced_ - consumed_ >= kHashPiece || (catchUp_ && produced_ != consumed_);
                });
                workerIdle_ = false;
                continue;
            }
            const std::uint64_t at = consumed_;
            const std::size_t offset = static_cast<std::size_t>(at % kRingSize);
            const std::size_t piece = static_cast<std::size_t>(
                std::min<std::uint64_t>({produced_ - at, kRingSize - offset, kHashPiece}));
            guard.unlock();
            hashUpdate(hash_, ring_.get() + offset, piece);
            guard.lock();
            consumed_ += piece;
            if (writerWaiting_)
                room_.notify_one();
        }
    }

    QELHashContext *hash_;
    qel::WipedBuffer<std::uint8_t> ring_;
    std::mutex lock_;
    std::condition_variable more_; // the worker waits for bytes or the stop
    std::condition_variable room_; // the writer waits for room, settle for the end
    std::uint64_t produced_ = 0;
    std::uint64_t consumed_ = 0;
    bool stop_ = false;
    bool workerIdle_ = false;    // waiting for bytes
    bool catchUp_ = false;       // settle waits: hash what there is
    bool writerWaiting_ = false; // waiting for room or for the worker to catch up
    std::thread thread_;
};

struct HashModule {
    QELPipeModule head;
    QELHashContext *hash; // not owned
    QELPipeModule *downstream;
    HashWorker *worker;   // owned; null while (or when only) hashing inline
    std::uint64_t hashed; // inline, before the worker started
    std::uint8_t threaded;
};

// Hashes bytes the downstream took: inline at first, then on the worker
// once the message is long enough to pay for a thread.
void hashTaken(QELContext *context, HashModule *h, const std::uint8_t *bytes, std::uint64_t n)
{
    if (h->worker == nullptr && h->threaded && h->hashed + n > kThreadAfter) {
        h->threaded = 0; // one try: inline from here on unless the worker starts
        std::unique_ptr<HashWorker> worker;
        try {
            if (qelSecondProcessor()) // a worker pays only on another processor
                worker = std::make_unique<HashWorker>(context, h->hash);
        } catch (const std::bad_alloc &) {
            worker.reset();
        }
        if (worker != nullptr && worker->start())
            h->worker = worker.release();
    }
    if (h->worker != nullptr) {
        h->worker->feed(bytes, n);
        return;
    }
    h->hashed += n;
    hashUpdate(h->hash, bytes, n);
}

QELPipeModule *downstreamOf(QELPipeModule *module) { return qelPipeModuleState<HashModule>(module)->downstream; }

std::uint64_t hashWrite(QELPipeModule *module, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    auto *h = qelPipeModuleState<HashModule>(module);
    if (h->downstream == nullptr) {
        if (status != nullptr)
            *status = QELError_BadParams;
        return 0;
    }
    const std::uint64_t taken = qelPipeWrite(h->downstream, bytes, length, status);
    if (taken != 0)
        hashTaken(module->context, h, bytes, taken);
    return taken;
}

QELStatus hashFlush(QELPipeModule *module)
{
    QELPipeModule *next = downstreamOf(module);
    return next != nullptr ? qelPipeFlush(next) : QELError_BadParams;
}

QELStatus hashAnnotate(QELPipeModule *module, const void *origin, std::int32_t code, void *data,
                       std::uint64_t length)
{
    QELPipeModule *next = downstreamOf(module);
    return next != nullptr ? qelPipeAnnotate(next, origin, code, data, length) : QELError_BadParams;
}

QELStatus hashExpectBytes(QELPipeModule *module, std::uint64_t count)
{
    QELPipeModule *next = downstreamOf(module);
    return next != nullptr ? qelPipeExpectBytes(next, count) : QELError_BadParams;
}

QELStatus hashDestroy(QELPipeModule *module)
{
    auto *h = qelPipeModuleState<HashModule>(module);
    qelPipeDestroy(h->downstream);
    // Joins the worker after it hashed what it holds: the hash is whole.
    std::unique_ptr<HashWorker>{h->worker}.reset();
    h->worker = nullptr;
    qelPipeModuleFree(h);
    return 0;
}

constexpr QELPipeOps kHashOps{hashWrite, hashFlush, hashAnnotate, hashExpectBytes, hashDestroy};

} // namespace

namespace {

QELPipeModule **createModule(QELContext *context, QELPipeModule **slot, QELHashContext *hash, bool threaded)
{
    if (slot == nullptr || !qelHashIsValid(hash))
        return nullptr;
    auto *h = qelPipeModuleNew<HashModule>(context, QELPipeMagic_Hash, "Hash Module", kHashOps);
    if (h == nullptr)
        return nullptr;
    h->hash = hash;
    h->threaded = threaded ? 1 : 0;
    return qelPipeModuleLink(slot, &h->head, &h->downstream);
}

QELPipeModule **createChain(QELContext *context, QELPipeModule **slot, QELHashList *list, std::int32_t count,
                            bool threaded)
{
    if (slot == nullptr || count < 0 || count > qelHashListCount(list))
        return nullptr;
    QELPipeModule *former = *slot;
    QELPipeModule **end = slot;
    for (std::int32_t i = 0; i < count; ++i) {
        QELPipeModule **next = createModule(context, end, qelHashListGet(list, i), threaded);
        if (next == nullptr) {
            // Cut the former module off before destroying what was made, so
            // that it survives in the slot.
            *end = nullptr;
            if (end != slot)
                qelPipeDestroy(*slot);
            *slot = former;
            return nullptr;
        }
        end = next;
    }
    return end;
}

} // namespace

QELPipeModule **qelHashModuleCreate(QELContext *context, QELPipeModule **slot, QELHashContext *hash)
{
    return createModule(context, slot, hash, false);
}

QELPipeModule **qelHashModuleChainCreate(QELContext *context, QELPipeModule **slot, QELHashList *list,
                                         std::int32_t count)
{
    return createChain(context, slot, list, count, false);
}

QELPipeModule **qelHashModuleChainCreateThreaded(QELContext *context, QELPipeModule **slot, QELHashList *list,
                                                 std::int32_t count)
{
    return createChain(context, slot, list, count, true);
}

void qelHashModuleChainSettle(QELPipeModule *first)
{
    for (QELPipeModule *m = first; m != nullptr && m->magic == QELPipeMagic_Hash;) {
        auto *h = qelPipeModuleState<HashModule>(m);
        if (h->worker != nullptr)
            h->worker->settle();
        m = h->downstream;
    }
}
