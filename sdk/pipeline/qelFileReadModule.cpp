// The File Read Module: a source, not a module. It announces the file's size
// when the file knows it, writes the file downstream in blocks of up to
// QELFileReadModuleBufferSize (1 MiB: a read system call costs far more
// than the bytes it moves, so few large ones) and checks at the end that the
// file had the size it announced. A file that announces a smaller size gets
// a buffer of about that size, so that many small files cost no large
// allocations. Once a read has filled the whole buffer and more of the file
// is to come, the next read goes ahead on an I/O worker into a second buffer
// while the chain takes the first; without a thread the reads stay in place
// and no second buffer is made. The buffers are overwritten by each read,
// never cleared beforehand, and what the reads wrote into them is wiped when
// the source is destroyed.
#include "qelFileReadModuleInternal.h"

#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelIOWorkerInternal.h"
#include "qelMemory.h"
#include "qelWipe.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// The read-ahead: the inline buffer and `spare` take turns; the worker fills
// `reading` while the chain takes the other.
struct QELFileReadAhead {
    QELIOWorker *worker; // null: no thread to be had, reads stay in place
    std::uint8_t *spare; // the source's capacity in bytes
    void *spareBlock;    // the allocation holding it
    std::size_t capacity;
    std::uint8_t *reading; // the buffer the worker fills; null when no read is out
    QELFileObject *file;
    std::size_t got;
    QELStatus error;
};

namespace {

// The kernel copies a read into the buffer fastest when the buffer starts on
// a cache line.
constexpr std::size_t kBufferAlign = 64;
constexpr std::size_t kSmallestBuffer = 4096;

// A buffer of `size` bytes on a cache line, uncleared; null without memory.
std::uint8_t *newBuffer(QELMemoryMgr *mgr, std::size_t size, void **outBlock)
{
    *outBlock = qelMemAlloc(mgr, size + kBufferAlign - 1, 0);
    if (*outBlock == nullptr)
        return nullptr;
    const auto at = reinterpret_cast<std::uintptr_t>(*outBlock);
    return reinterpret_cast<std::uint8_t *>((at + kBufferAlign - 1) & ~std::uintptr_t{kBufferAlign - 1});
}

// The buffer a file of `size` bytes (below 0: unknown) needs: the whole
// file in one read when it is small. A file that turns out longer is still
// read whole, in more reads.
std::size_t capacityFor(std::int64_t size)
{
    if (size < 0 || static_cast<std::uint64_t>(size) >= QELFileReadModuleBufferSize)
        return QELFileReadModuleBufferSize;
    const auto rounded = (static_cast<std::size_t>(size) + kSmallestBuffer - 1) & ~(kSmallestBuffer - 1);
    return std::max(rounded, kSmallestBuffer);
}

bool isSource(const QELFileReadModule *s) { return s != nullptr && s->magic == QELFileReadModuleMagic; }

// Reads into the free rest of the buffer; 0 at the end of the file or on a
// read error, which is recorded. The file is read until a read gives nothing
// (not up to its announced size), so that a file that grew is noticed too.
std::uint64_t fill(QELFileReadModule *s)
{
    std::uint8_t *end = s->current + s->pending;
    std::size_t room = static_cast<std::size_t>(s->buffer + s->capacity - end);
    if (room == 0)
        return 0;
    std::size_t n = s->file->read(end, room, s->file);
    if (s->file->lastError(s->file) != nullptr) {
        s->file->clearError(s->file);
        s->readError = QELError_ReadFailed;
    }
    n = std::min(n, room); // a file object that claims more wrote no more
    s->pending += n;
    s->touched = std::max(s->touched, static_cast<std::size_t>(end - s->buffer) + n);
    return n;
}

void readTask(void *argument)
{
    auto *a = static_cast<QELFileReadAhead *>(argument);
    a->got = std::min(a->file->read(a->reading, a->capacity, a->file), a->capacity);
    if (a->file->lastError(a->file) != nullptr) {
        a->file->clearError(a->file);
        a->error = QELError_ReadFailed;
    }
}

// After a read that filled the buffer, with more of the file to come: the
// next read goes out into the other buffer.
void readAhead(QELFileReadModule *s)
{
    if (s->pending != s->capacity || s->readError != 0 ||
        (s->announceState != -1 && s->remaining <= static_cast<std::int64_t>(s->pending)))
        return;
    if (s->ahead == nullptr) {
        s->ahead = static_cast<QELFileReadAhead *>(qelMemAlloc(s->memoryMgr, sizeof(QELFileReadAhead), QELMemFlag_Clear));
        if (s->ahead == nullptr)
            return;
        s->ahead->file = s->file;
        s->ahead->capacity = s->capacity;
        // The thread first: on one processor there is none, and no second
        // buffer is needed either.
        s->ahead->worker = qelIOWorkerNew(s->memoryMgr);
        if (s->ahead->worker != nullptr &&
            (s->ahead->spare = newBuffer(s->memoryMgr, s->capacity, &s->ahead->spareBlock)) == nullptr) {
            qelIOWorkerFree(s->ahead->worker);
            s->ahead->worker = nullptr;
        }
    }
    QELFileReadAhead *a = s->ahead;
    if (a->worker == nullptr)
        return;
    a->reading = s->current == s->buffer ? a->spare : s->buffer;
    a->got = 0;
    qelIOWorkerPost(a->worker, readTask, a);
}

// The read that went ahead becomes the pending bytes.
std::uint64_t takeAhead(QELFileReadModule *s)
{
    QELFileReadAhead *a = s->ahead;
    qelIOWorkerWait(a->worker);
    s->current = a->reading;
    s->pending = a->got;
    if (a->error != 0)
        s->readError = a->error;
    a->reading = nullptr;
    return a->got;
}

bool readingAhead(const QELFileReadModule *s) { return s->ahead != nullptr && s->ahead->reading != nullptr; }

void stopReadAhead(QELFileReadModule *s)
{
    QELFileReadAhead *a = s->ahead;
    if (a == nullptr)
        return;
    qelIOWorkerFree(a->worker); // after the read in hand
    if (a->spare != nullptr) {
        qelSecureWipe(a->spare, a->capacity); // the worker only ever filled it whole
        static_cast<void>(qelMemFree(a->spareBlock));
    }
    qelSecureWipe(a, sizeof *a);
    static_cast<void>(qelMemFree(a));
    s->ahead = nullptr;
}

} // namespace

QELFileReadModule *qelFileReadModuleCreate(QELContext *context, QELFileObject *file, std::int32_t close)
{
    QELMemoryMgr *mgr = qelContextMemoryMgr(context);
    if (file == nullptr || mgr == nullptr)
        return nullptr;
    auto *s = static_cast<QELFileReadModule *>(qelMemAlloc(mgr, sizeof(QELFileReadModule), QELMemFlag_Clear));
    if (s == nullptr)
        return nullptr;
    s->magic = QELFileReadModuleMagic;
    s->memoryMgr = mgr;
    s->name = "File Read Module";
    s->file = file;
    s->close = close;
    std::int64_t size = file->getSize(file);
    s->capacity = capacityFor(size);
    if ((s->buffer = newBuffer(mgr, s->capacity, &s->bufferBlock)) == nullptr) {
        qelSecureWipe(s, sizeof *s);
        static_cast<void>(qelMemFree(s));
        return nullptr;
    }
    s->current = s->buffer;
    if (size < 0) {
        s->announceState = -1;
    } else {
        s->total = static_cast<std::uint64_t>(size);
        s->remaining = size;
    }
    return s;
}

QELFileReadModule *qelFileReadModuleCreateFromStream(QELContext *context, std::FILE *stream, bool close)
{
    if (stream == nullptr)
        return nullptr;
    QELFileObject *file =
        qelFileObjNew(context, stream, QELFileMode_Read | (close ? QELFileMode_CloseStream : 0));
    if (file == nullptr)
        return nullptr;
    QELFileReadModule *s = qelFileReadModuleCreate(context, file, 1); // the object is ours
    if (s == nullptr) {
        static_cast<void>(file->close(file)); // the stream itself only when `close` gave it away
        return nullptr;
    }
    return s;
}

void qelFileReadSetProgress(QELFileReadModule *source, QELFileReadProgressProc progress, void *userValue)
{
    if (!isSource(source))
        return;
    source->progress = progress;
    source->progressUser = userValue;
}

QELStatus qelFileReadPump(QELFileReadModule *s, QELPipeModule *head)
{
    if (!isSource(s) || head == nullptr)
        return QELError_BadParams;
    QELStatus status = 0;
    if (s->announceState == 0 && (status = qelPipeExpectBytes(head, static_cast<std::uint64_t>(s->remaining))) != 0)
        return status;
    if (s->beginState == 0) {
        if ((status = qelPipeAnnotate(head, s, QELAnnotation_BeginInput, nullptr, 0)) != 0)
            return status;
        s->beginState = 1;
    }
    if (s->announceState == 0) {
        if ((status = qelPipeExpectBytes(head, static_cast<std::uint64_t>(s->remaining))) != 0)
            return status;
        s->announceState = 1;
    }
    for (;;) {
        if (s->readError != 0)
            return s->readError; // latched: the file cannot go on
        if (s->pending == 0) {
            std::uint64_t got = 0;
            if (readingAhead(s)) {
                got = takeAhead(s);
            } else {
                s->current = s->buffer;
                got = fill(s);
            }
            if (got == 0) {
                if (s->readError != 0)
                    return s->readError;
                break; // the end of the file
            }
            readAhead(s);
        }
        std::uint64_t taken = qelPipeWrite(head, s->current, s->pending, &status);
        if (taken > s->pending)
            taken = s->pending;
        s->current += taken;
        s->pending -= taken;
        s->remaining -= static_cast<std::int64_t>(taken);
        if (status != 0)
            return status;
        if (taken == 0)
            return QELError_WriteFailed; // a stalled chain would be offered the same bytes for ever
        if (s->progress != nullptr &&
            (status = s->progress(s->progressUser, s->total - static_cast<std::uint64_t>(s->remaining), s->total)) != 0)
            return status;
    }
    if (s->announceState == 1 && s->remaining != 0)
        return QELError_TruncatedInput; // the file ended before or after the size it announced
    if ((status = qelPipeExpectBytes(head, 0)) != 0)
        return status;
    if (s->beginState <= 1) {
        if ((status = qelPipeAnnotate(head, s, QELAnnotation_EndInput, nullptr, 0)) != 0)
            return status;
        s->beginState = 2;
    }
    return 0;
}

const std::uint8_t *qelFileReadPeek(QELFileReadModule *s, std::uint64_t *outLength)
{
    if (outLength != nullptr)
        *outLength = 0;
    if (!isSource(s))
        return nullptr;
    if (s->ahead != nullptr && s->ahead->worker != nullptr) {
        // Reading ahead: the pending bytes are all there is to see.
        if (outLength != nullptr)
            *outLength = s->pending;
        return s->current;
    }
    if (s->current != s->buffer) {
        std::memmove(s->buffer, s->current, static_cast<std::size_t>(s->pending));
        s->current = s->buffer;
    }
    if (s->readError == 0)
        while (fill(s) != 0) {
        }
    if (outLength != nullptr)
        *outLength = s->pending;
    return s->current;
}

QELStatus qelFileReadDestroy(QELFileReadModule *s)
{
    if (!isSource(s))
        return QELError_BadParams;
    QELStatus status = 0;
    stopReadAhead(s);
    if (s->close && s->file != nullptr)
        status = s->file->close(s->file);
    qelSecureWipe(s->buffer, s->touched);
    static_cast<void>(qelMemFree(s->bufferBlock));
    qelSecureWipe(s, sizeof *s);
    static_cast<void>(qelMemFree(s));
    return status;
}
