// Write file. Small writes are gathered into a buffer of kGatherSize bytes
// that goes to the file in a single write: a write system call costs far
// more than the bytes it moves, and the pieces a chain delivers are small
// (the stream's own buffer is a few KiB). Once a buffer has filled, the
// writes go to an I/O worker thread, one buffer behind, while the other
// buffer gathers. Like that stream buffer, gathered bytes count as taken; a
// failure to write them out is returned by the next write, the flush or the
// end of input, never lost. After a failed write the file takes nothing
// more. Without a thread the full buffer is written in place.
#include "qelWriteFileModuleInternal.h"

#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelIOWorkerInternal.h"
#include "qelWipe.h"

#include <cstring>

namespace {

constexpr std::size_t kGatherSize = std::size_t{256} << 10;

// One buffer's way to the file, on the worker or in place.
struct Behind {
    QELFileObject *file;
    const std::uint8_t *bytes;
    std::size_t length;
    QELStatus status;
};

struct WriteFile {
    QELPipeModule head;
    QELFileObject *file; // null once closed
    std::int32_t close;
    std::int32_t depth;
    std::uint8_t *gather[2]; // kGatherSize bytes each, from the first small write on
    std::uint32_t current;   // the buffer gathering
    std::size_t gathered;
    QELStatus failure;       // a write failed
    QELIOWorker *worker;
    std::int32_t workerTried;
    Behind behind;           // the buffer in the worker's hands
};

WriteFile *self(QELPipeModule *m) { return qelPipeModuleState<WriteFile>(m); }

// One write of the file object; a status for a write that failed or wrote
// nothing.
std::uint64_t writeThrough(QELFileObject *file, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    const std::uint64_t written = file->write(bytes, static_cast<std::size_t>(length), file);
    if (file->lastError(file) != nullptr) {
        file->clearError(file);
        *status = QELError_FileOpFailed;
    } else if (written == 0) {
        *status = QELError_WriteFailed; // nothing written is never a success
    }
    return written;
}

void writeBehind(void *argument)
{
    auto *b = static_cast<Behind *>(argument);
    for (std::size_t done = 0; b->status == 0 && done < b->length;)
        done += static_cast<std::size_t>(writeThrough(b->file, b->bytes + done, b->length - done, &b->status));
}

// Waits until the worker has written what it holds; its failure is kept.
QELStatus settle(WriteFile *w)
{
    if (w->worker != nullptr && w->behind.bytes != nullptr) {
        qelIOWorkerWait(w->worker);
        if (w->failure == 0)
            w->failure = w->behind.status;
        qelSecureWipe(const_cast<std::uint8_t *>(w->behind.bytes), w->behind.length);
        w->behind = Behind{};
    }
    return w->failure;
}

// Sends the gathered bytes on their way: to the worker, when one can be
// had and `behind` allows, else written here and now.
QELStatus writeGathered(WriteFile *w, bool behind)
{
    if (settle(w) != 0 || w->gathered == 0)
        return w->failure;
    if (behind && w->worker == nullptr && w->workerTried == 0) {
        w->workerTried = 1;
        w->worker = qelIOWorkerNew(qelContextMemoryMgr(w->head.context));
    }
    w->behind = Behind{w->file, w->gather[w->current], w->gathered, 0};
    if (behind && w->worker != nullptr) {
        qelIOWorkerPost(w->worker, writeBehind, &w->behind);
        w->current ^= 1;
    } else {
        writeBehind(&w->behind);
        w->failure = w->behind.status;
        qelSecureWipe(w->gather[w->current], w->gathered);
        w->behind = Behind{};
    }
    w->gathered = 0;
    return w->failure;
}

std::uint8_t *gatherBuffer(WriteFile *w)
{
    std::uint8_t *&buffer = w->gather[w->current];
    if (buffer == nullptr)
        buffer = static_cast<std::uint8_t *>(qelContextMemAlloc(w->head.context, kGatherSize, 0));
    return buffer;
}

std::uint64_t fileWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    WriteFile *w = self(m);
    QELStatus st = w->file == nullptr ? QELError_CantOpenFile : w->failure;
    std::uint64_t written = 0;
    if (st == 0 && length != 0) {
        if (w->gathered + length > kGatherSize)
            st = writeGathered(w, true);
        if (st == 0 && length < kGatherSize && gatherBuffer(w) != nullptr) {
            std::memcpy(w->gather[w->current] + w->gathered, bytes, static_cast<std::size_t>(length));
            w->gathered += static_cast<std::size_t>(length);
            written = length;
        } else if (st == 0 && (st = settle(w)) == 0) {
            // Large, or no memory to gather in: straight to the file, in order.
            written = writeThrough(w->file, bytes, length, &st);
            w->failure = st;
        }
    }
    if (st != 0 && status != nullptr)
        *status = st;
    return written;
}

// Writes out what is gathered and flushes the file and, with the close flag,
// closes it; a failure of any is the result. Once closed, the file is
// forgotten, so a repeated end of input does nothing.
QELStatus finish(WriteFile *w)
{
    if (w->file == nullptr)
        return 0;
    QELStatus status = writeGathered(w, false);
    const QELStatus flushed = w->file->flush(w->file);
    if (status == 0)
        status = flushed;
    if (w->close) {
        QELStatus closed = w->file->close(w->file); // frees the object, failed or not
        w->file = nullptr;
        if (status == 0)
            status = closed;
    }
    return status;
}

QELStatus fileFlush(QELPipeModule *m)
{
    WriteFile *w = self(m);
    if (w->file == nullptr)
        return 0;
    const QELStatus status = writeGathered(w, false);
    return status != 0 ? status : w->file->flush(w->file);
}

QELStatus fileAnnotate(QELPipeModule *m, const void *, std::int32_t code, void *, std::uint64_t)
{
    self(m)->depth += qelAnnotationScopeStep(code);
    return 0;
}

QELStatus fileExpectBytes(QELPipeModule *m, std::uint64_t n)
{
    WriteFile *w = self(m);
    if (n != 0 || w->depth != 0)
        return 0;
    return finish(w);
}

QELStatus fileDestroy(QELPipeModule *m)
{
    WriteFile *w = self(m);
    static_cast<void>(finish(w)); // a chain torn down after a failure; the end of input reported it
    static_cast<void>(settle(w));
    qelIOWorkerFree(w->worker);
    for (std::uint8_t *buffer : w->gather)
        if (buffer != nullptr)
            static_cast<void>(qelContextMemFree(m->context, buffer)); // wiped as they were written out
    qelPipeModuleFree(w);
    return 0;
}

constexpr QELPipeOps kWriteFileOps{fileWrite, fileFlush, fileAnnotate, fileExpectBytes, fileDestroy};

} // namespace

QELPipeModule *qelWriteFileModuleCreate(QELContext *context, QELPipeModule **out, QELFileObject *file, bool close)
{
    if (out == nullptr)
        return nullptr;
    *out = nullptr;
    auto *w = qelPipeModuleNew<WriteFile>(context, QELPipeMagic_WriteFile, "Write file", kWriteFileOps);
    if (w == nullptr)
        return nullptr;
    w->file = file;
    w->close = close ? 1 : 0;
    *out = &w->head;
    return *out;
}
