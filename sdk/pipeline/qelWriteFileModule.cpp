// Write file. Small writes are gathered into one buffer of kGatherSize bytes
// that goes to the file in a single write: a write system call costs far
// more than the bytes it moves, and the pieces a chain delivers are small
// (the stream's own buffer is a few KiB). Like that stream buffer, gathered
// bytes count as taken; a failure to write them out is returned by the next
// write, the flush or the end of input, never lost. After a failed write the
// file takes nothing more.
#include "qelWriteFileModuleInternal.h"

#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelWipe.h"

#include <cstring>

namespace {

constexpr std::size_t kGatherSize = std::size_t{256} << 10;

struct WriteFile {
    QELPipeModule head;
    QELFileObject *file; // null once closed
    std::int32_t close;
    std::int32_t depth;
    std::uint8_t *gather; // kGatherSize bytes, from the first small write on
    std::size_t gathered;
    QELStatus failure;    // writing gathered bytes out failed
};

WriteFile *self(QELPipeModule *m) { return qelPipeModuleState<WriteFile>(m); }

// One write of the file object; a status for a write that failed or wrote
// nothing.
std::uint64_t writeThrough(WriteFile *w, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    const std::uint64_t written = w->file->write(bytes, static_cast<std::size_t>(length), w->file);
    if (w->file->lastError(w->file) != nullptr) {
        w->file->clearError(w->file);
        *status = QELError_FileOpFailed;
    } else if (written == 0) {
        *status = QELError_WriteFailed; // nothing written is never a success
    }
    return written;
}

// Writes the gathered bytes to the file; the first failure is kept.
QELStatus writeGathered(WriteFile *w)
{
    std::size_t done = 0;
    while (w->failure == 0 && done < w->gathered) {
        QELStatus status = 0;
        done += static_cast<std::size_t>(writeThrough(w, w->gather + done, w->gathered - done, &status));
        w->failure = status;
    }
    qelSecureWipe(w->gather, w->gathered);
    w->gathered = 0;
    return w->failure;
}

std::uint64_t fileWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    WriteFile *w = self(m);
    QELStatus st = w->file == nullptr ? QELError_CantOpenFile : w->failure;
    std::uint64_t written = 0;
    if (st == 0 && length != 0) {
        if (w->gather == nullptr && length < kGatherSize)
            w->gather = static_cast<std::uint8_t *>(qelContextMemAlloc(m->context, kGatherSize, 0));
        if (w->gather != nullptr && w->gathered + length > kGatherSize)
            st = writeGathered(w);
        if (st == 0 && w->gather != nullptr && length < kGatherSize) {
            std::memcpy(w->gather + w->gathered, bytes, static_cast<std::size_t>(length));
            w->gathered += static_cast<std::size_t>(length);
            written = length;
        } else if (st == 0) {
            written = writeThrough(w, bytes, length, &st); // large, or no memory to gather in
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
    QELStatus status = writeGathered(w);
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
    const QELStatus status = writeGathered(w);
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
    if (w->gather != nullptr)
        static_cast<void>(qelContextMemFree(m->context, w->gather)); // wiped as it was written out
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
