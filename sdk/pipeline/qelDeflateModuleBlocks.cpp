// Deflating in blocks on worker threads. The writer's thread fills a ring of
// jobs and writes the finished ones out in order; the workers take queued
// jobs in order, each with a raw deflate stream of its own. A job is handed
// over under the lock (Queued) and handed back under it (Done or Failed);
// between the two only its worker touches it.
#include "qelDeflateModuleBlocksInternal.h"

#include "qelContextInternal.h"
#include "qelDeflateModuleInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace {

enum class Mode : std::uint8_t {
    Collect,  // the first block is being gathered; nothing compressed yet
    Parallel, // the workers run
    Serial,   // everything goes through the module's own stream
};

enum class JobState : std::uint8_t { Free, Queued, Done, Failed };

struct Job {
    std::uint8_t *input;       // a window's worth of room for the dictionary, then the block
    std::uint8_t *output;      // outputCapacity bytes
    std::size_t dictionary;    // dictionary bytes just before the block
    std::size_t length;        // block bytes
    std::size_t outputLength;
    uLong adler;               // of the block alone
    int flush;
    JobState state;
};

// Sync-flush markers and the bit padding before them, beyond zlib's bound.
constexpr std::size_t kFlushMargin = 64;

} // namespace

struct QELDeflateBlocks {
    QELContext *context = nullptr;
    QELDeflateBlocksHooks hooks{};
    int level = 0;
    int windowBits = 0;
    bool zlibFormat = false;
    std::int32_t wantedWorkers = 0;
    std::size_t window = 0;
    Mode mode = Mode::Collect;
    bool finished = false;
    QELStatus failure = 0;

    std::uint8_t *collect = nullptr; // QELDeflateBlockSize bytes while collecting
    std::size_t collected = 0;

    // The writer's side of the parallel path.
    Job *jobs = nullptr;
    std::size_t jobCount = 0;
    std::size_t outputCapacity = 0;
    std::uint8_t *history = nullptr; // the last window of input before the filling block
    std::size_t historyLength = 0;
    std::uint64_t emitted = 0;
    uLong adler = 1;
    bool headerSent = false;

    // Shared with the workers, under the lock.
    std::mutex lock;
    std::condition_variable work;
    std::condition_variable done;
    std::uint64_t submitted = 0;
    std::uint64_t started = 0;
    bool stopping = false;

    z_stream streams[QELDeflateMaxWorkers]{};
    std::int32_t streamCount = 0;
    std::thread threads[QELDeflateMaxWorkers];
    std::int32_t workerCount = 0;
};

namespace {

std::uint8_t *allocate(QELContext *context, std::size_t size)
{
    return static_cast<std::uint8_t *>(qelContextMemAlloc(context, size, 0));
}

void release(QELContext *context, std::uint8_t *block, std::size_t size)
{
    if (block == nullptr)
        return;
    qelSecureWipe(block, size); // plaintext
    static_cast<void>(qelContextMemFree(context, block));
}

std::int32_t workersWanted(std::int32_t wanted)
{
    if (wanted == QELDeflateAutomaticWorkers) {
        const unsigned processors = std::thread::hardware_concurrency();
        wanted = processors <= 1 ? 0 : static_cast<std::int32_t>(processors - 1);
    }
    return std::clamp<std::int32_t>(wanted, 0, QELDeflateMaxWorkers);
}

bool deflateJob(const QELDeflateBlocks *b, z_stream *z, Job &job)
{
    std::uint8_t *block = job.input + b->window;
    if (deflateReset(z) != Z_OK)
        return false;
    if (job.dictionary != 0 && deflateSetDictionary(z, block - job.dictionary, static_cast<uInt>(job.dictionary)) != Z_OK)
        return false;
    z->next_in = block;
    z->avail_in = static_cast<uInt>(job.length);
    z->next_out = job.output;
    z->avail_out = static_cast<uInt>(b->outputCapacity);
    const int result = deflate(z, job.flush);
    job.outputLength = b->outputCapacity - z->avail_out;
    const bool whole = job.flush == Z_FINISH ? result == Z_STREAM_END
                                             : result == Z_OK && z->avail_in == 0 && z->avail_out != 0;
    z->next_in = nullptr;
    z->next_out = nullptr;
    if (b->zlibFormat)
        job.adler = adler32(adler32(0, nullptr, 0), block, static_cast<uInt>(job.length));
    return whole;
}

void workerMain(QELDeflateBlocks *b, std::int32_t index)
{
    z_stream *z = &b->streams[index];
    std::unique_lock<std::mutex> held(b->lock);
    for (;;) {
        b->work.wait(held, [b] { return b->stopping || b->started < b->submitted; });
        if (b->stopping)
            return;
        Job &job = b->jobs[b->started++ % b->jobCount];
        held.unlock();
        const bool whole = deflateJob(b, z, job);
        held.lock();
        job.state = whole ? JobState::Done : JobState::Failed;
        b->done.notify_one(); // only the writer waits
    }
}

// Stops and joins the workers and frees what the parallel path holds.
void stopParallel(QELDeflateBlocks *b)
{
    {
        std::lock_guard<std::mutex> held(b->lock);
        b->stopping = true;
    }
    b->work.notify_all();
    for (std::int32_t i = 0; i < b->workerCount; ++i)
        b->threads[i].join();
    b->workerCount = 0;
    for (std::int32_t i = 0; i < b->streamCount; ++i)
        deflateEnd(&b->streams[i]);
    b->streamCount = 0;
    if (b->jobs != nullptr) {
        for (std::size_t i = 0; i < b->jobCount; ++i) {
            release(b->context, b->jobs[i].input, b->window + QELDeflateBlockSize);
            release(b->context, b->jobs[i].output, b->outputCapacity);
        }
        release(b->context, reinterpret_cast<std::uint8_t *>(b->jobs), sizeof(Job) * b->jobCount);
        b->jobs = nullptr;
    }
    release(b->context, b->history, b->window);
    b->history = nullptr;
}

// Streams, buffers, then threads; false (and nothing held) when any of them
// cannot be had.
bool startParallel(QELDeflateBlocks *b)
{
    const std::int32_t wanted = workersWanted(b->wantedWorkers);
    if (wanted == 0)
        return false;
    for (; b->streamCount < wanted; ++b->streamCount) {
        z_stream *z = &b->streams[b->streamCount];
        z->zalloc = qelZlibContextAlloc;
        z->zfree = qelZlibContextFree;
        z->opaque = b->context;
        if (deflateInit2(z, b->level, Z_DEFLATED, -b->windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            break;
    }
    b->jobCount = 2 * static_cast<std::size_t>(b->streamCount) + 1;
    b->outputCapacity = b->streamCount == 0 ? 0 : deflateBound(&b->streams[0], QELDeflateBlockSize) + kFlushMargin;
    b->jobs = b->streamCount == 0 ? nullptr
                                  : reinterpret_cast<Job *>(qelContextMemAlloc(b->context, sizeof(Job) * b->jobCount,
                                                                               QELMemFlag_Clear));
    b->history = b->jobs == nullptr ? nullptr : allocate(b->context, b->window);
    bool ready = b->history != nullptr;
    for (std::size_t i = 0; ready && i < b->jobCount; ++i) {
        b->jobs[i].input = allocate(b->context, b->window + QELDeflateBlockSize);
        b->jobs[i].output = allocate(b->context, b->outputCapacity);
        ready = b->jobs[i].input != nullptr && b->jobs[i].output != nullptr;
    }
    for (; ready && b->workerCount < b->streamCount; ++b->workerCount) {
        try {
            b->threads[b->workerCount] = std::thread(workerMain, b, b->workerCount);
        } catch (...) { // no thread to be had: those already running will do
            break;
        }
    }
    if (!ready || b->workerCount == 0) {
        stopParallel(b);
        b->stopping = false;
        return false;
    }
    b->mode = Mode::Parallel;
    return true;
}

QELStatus keep(QELDeflateBlocks *b, QELStatus status)
{
    if (status != 0 && b->failure == 0)
        b->failure = status;
    return status;
}

QELStatus emitJob(QELDeflateBlocks *b, const Job &job)
{
    QELStatus status = 0;
    if (b->zlibFormat) {
        if (!b->headerSent) {
            // As zlib writes it: method and window, then the level class and
            // the check bits that make the pair a multiple of 31.
            const int levelClass = b->level < 0 ? 2 : b->level < 2 ? 0 : b->level < 6 ? 1 : b->level == 6 ? 2 : 3;
            unsigned header = ((Z_DEFLATED + ((b->windowBits - 8) << 4)) << 8) | (levelClass << 6);
            header += 31 - header % 31;
            const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(header >> 8), static_cast<std::uint8_t>(header)};
            status = b->hooks.emit(b->hooks.user, bytes, sizeof bytes);
            b->headerSent = true;
        }
        b->adler = adler32_combine(b->adler, job.adler, static_cast<z_off_t>(job.length));
    }
    if (status == 0)
        status = b->hooks.emit(b->hooks.user, job.output, job.outputLength);
    if (status == 0 && b->zlibFormat && job.flush == Z_FINISH) {
        const std::uint8_t trailer[4] = {static_cast<std::uint8_t>(b->adler >> 24), static_cast<std::uint8_t>(b->adler >> 16),
                                         static_cast<std::uint8_t>(b->adler >> 8), static_cast<std::uint8_t>(b->adler)};
        status = b->hooks.emit(b->hooks.user, trailer, sizeof trailer);
    }
    return status;
}

// Writes out finished jobs in order: waits for those submitted before
// `waitBefore`, then takes whatever else is already done.
QELStatus emitJobs(QELDeflateBlocks *b, std::uint64_t waitBefore)
{
    while (b->emitted != b->submitted) {
        Job &job = b->jobs[b->emitted % b->jobCount];
        {
            std::unique_lock<std::mutex> held(b->lock);
            if (b->emitted < waitBefore)
                b->done.wait(held, [&job] { return job.state == JobState::Done || job.state == JobState::Failed; });
            else if (job.state == JobState::Queued)
                return 0;
        }
        const QELStatus status = job.state == JobState::Failed ? QELError_OutOfMemory : emitJob(b, job);
        job.length = 0;
        job.outputLength = 0;
        job.state = JobState::Free;
        ++b->emitted;
        if (status != 0)
            return keep(b, status);
    }
    return 0;
}

// The job being filled, once the ring has room for it.
Job *fillingJob(QELDeflateBlocks *b, QELStatus *status)
{
    *status = 0;
    if (b->submitted - b->emitted == b->jobCount)
        *status = emitJobs(b, b->emitted + 1);
    return *status == 0 ? &b->jobs[b->submitted % b->jobCount] : nullptr;
}

void submit(QELDeflateBlocks *b, Job &job, int flush)
{
    std::uint8_t *block = job.input + b->window;
    job.flush = flush;
    job.dictionary = b->historyLength;
    std::memcpy(block - b->historyLength, b->history, b->historyLength);
    // The next block's dictionary: the last window of input up to this
    // block's end.
    if (job.length >= b->window) {
        std::memcpy(b->history, block + job.length - b->window, b->window);
        b->historyLength = b->window;
    } else {
        const std::size_t kept = std::min(b->historyLength, b->window - job.length);
        std::memmove(b->history, b->history + b->historyLength - kept, kept);
        std::memcpy(b->history + kept, block, job.length);
        b->historyLength = kept + job.length;
    }
    {
        std::lock_guard<std::mutex> held(b->lock);
        job.state = JobState::Queued;
        ++b->submitted;
    }
    b->work.notify_one();
}

QELStatus parallelWrite(QELDeflateBlocks *b, const std::uint8_t *bytes, std::uint64_t length)
{
    while (length != 0) {
        QELStatus status = 0;
        Job *job = fillingJob(b, &status);
        if (job == nullptr)
            return status;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(QELDeflateBlockSize - job->length, length));
        std::memcpy(job->input + b->window + job->length, bytes, take);
        job->length += take;
        bytes += take;
        length -= take;
        if (job->length == QELDeflateBlockSize) {
            submit(b, *job, Z_SYNC_FLUSH);
            if ((status = emitJobs(b, 0)) != 0)
                return status;
        }
    }
    return 0;
}

// Hands what was collected to the module's own stream, for good.
QELStatus goSerial(QELDeflateBlocks *b, int flush)
{
    b->mode = Mode::Serial;
    const QELStatus status = b->hooks.serial(b->hooks.user, b->collect, b->collected, flush);
    release(b->context, b->collect, QELDeflateBlockSize);
    b->collect = nullptr;
    b->collected = 0;
    return keep(b, status);
}

// Goes serial for good, what was collected first and then these bytes.
QELStatus serialFrom(QELDeflateBlocks *b, const std::uint8_t *bytes, std::uint64_t length)
{
    const QELStatus status = goSerial(b, Z_NO_FLUSH);
    return status != 0 ? status : keep(b, b->hooks.serial(b->hooks.user, bytes, length, Z_NO_FLUSH));
}

// Ends what was taken so far: on a byte boundary with Z_SYNC_FLUSH (nothing
// to do when nothing is pending), the whole stream with Z_FINISH.
QELStatus endWith(QELDeflateBlocks *b, int flush)
{
    if (b->failure != 0 || b->finished)
        return b->failure;
    const bool finish = flush == Z_FINISH;
    b->finished = finish;
    switch (b->mode) {
    case Mode::Collect:
        return finish || b->collected != 0 ? goSerial(b, flush) : 0;
    case Mode::Serial:
        return keep(b, b->hooks.serial(b->hooks.user, nullptr, 0, flush));
    case Mode::Parallel:
        break;
    }
    QELStatus status = 0;
    Job *job = fillingJob(b, &status);
    if (job == nullptr)
        return status;
    if (finish || job->length != 0)
        submit(b, *job, flush);
    return emitJobs(b, b->submitted);
}

} // namespace

QELDeflateBlocks *qelDeflateBlocksNew(QELContext *context, int level, int windowBits, bool zlibFormat,
                                      std::int32_t workers, const QELDeflateBlocksHooks &hooks)
{
    void *memory = qelContextMemAlloc(context, sizeof(QELDeflateBlocks), 0);
    if (memory == nullptr)
        return nullptr;
    QELDeflateBlocks *b = std::construct_at(static_cast<QELDeflateBlocks *>(memory));
    b->context = context;
    b->hooks = hooks;
    b->level = level;
    b->windowBits = windowBits;
    b->zlibFormat = zlibFormat;
    b->wantedWorkers = workers;
    b->window = std::size_t{1} << windowBits;
    return b;
}

void qelDeflateBlocksFree(QELDeflateBlocks *b)
{
    if (b == nullptr)
        return;
    QELContext *context = b->context;
    stopParallel(b);
    release(context, b->collect, QELDeflateBlockSize);
    std::destroy_at(b);
    static_cast<void>(qelContextMemFree(context, b));
}

QELStatus qelDeflateBlocksWrite(QELDeflateBlocks *b, const std::uint8_t *bytes, std::uint64_t length)
{
    if (b->failure != 0)
        return b->failure;
    if (length == 0)
        return 0;
    if (b->finished && b->mode == Mode::Parallel)
        return keep(b, QELError_OutOfMemory); // as zlib refuses input after its end
    if (b->mode == Mode::Collect) {
        if (b->collect == nullptr && (b->collect = allocate(b->context, QELDeflateBlockSize)) == nullptr) {
            return serialFrom(b, bytes, length);
        }
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(QELDeflateBlockSize - b->collected, length));
        std::memcpy(b->collect + b->collected, bytes, take);
        b->collected += take;
        bytes += take;
        length -= take;
        if (length == 0)
            return 0;
        // More than a block: worth the workers, when they can be had.
        if (!startParallel(b)) {
            return serialFrom(b, bytes, length);
        }
        Job &first = b->jobs[0];
        std::memcpy(first.input + b->window, b->collect, b->collected);
        first.length = b->collected;
        release(b->context, b->collect, QELDeflateBlockSize);
        b->collect = nullptr;
        b->collected = 0;
        submit(b, first, Z_SYNC_FLUSH);
    }
    if (b->mode == Mode::Serial)
        return keep(b, b->hooks.serial(b->hooks.user, bytes, length, Z_NO_FLUSH));
    return parallelWrite(b, bytes, length);
}

QELStatus qelDeflateBlocksFlush(QELDeflateBlocks *b) { return endWith(b, Z_SYNC_FLUSH); }

QELStatus qelDeflateBlocksFinish(QELDeflateBlocks *b) { return endWith(b, Z_FINISH); }

std::int32_t qelDeflateBlocksWorkers(const QELDeflateBlocks *b) { return b->workerCount; }
