// The Flex FIFO: a Byte Fifo that spills into a File Fifo.
#include "qelFlexFifoInternal.h"

#include "qelContextInternal.h"
#include "qelFileFifoInternal.h"
#include "qelMemory.h"
#include "qelWipe.h"

#include <algorithm>

namespace {

struct FlexFifo {
    QELContext *context;
    QELFifo *memory;  // null after the spill
    QELFifo *file;    // null before it
    std::uint8_t spilled;
    std::uint64_t held; // bytes in the memory FIFO
    std::uint64_t threshold;
};

FlexFifo *self(QELFifo *fifo) { return reinterpret_cast<FlexFifo *>(fifo); }
const QELFifoDescriptor *memoryKind() { return qelByteFifoDescriptor(); }
const QELFifoDescriptor *fileKind() { return qelFileFifoDescriptor(); }

QELFifo *flexCreate(QELContext *context)
{
    auto *f = static_cast<FlexFifo *>(qelContextMemAlloc(context, sizeof(FlexFifo), QELMemFlag_Clear));
    if (f == nullptr)
        return nullptr;
    f->context = context;
    f->threshold = QELFlexFifoThreshold;
    f->memory = memoryKind()->create(context);
    if (f->memory == nullptr) {
        static_cast<void>(qelContextMemFree(context, f));
        return nullptr;
    }
    return reinterpret_cast<QELFifo *>(f);
}

// Moves everything held in memory into a new File Fifo, in order.
QELStatus spill(FlexFifo *f)
{
    QELFifo *file = fileKind()->create(f->context);
    if (file == nullptr)
        return QELError_OutOfMemory;
    QELStatus status = 0;
    for (;;) {
        std::uint64_t available = 0;
        const std::uint8_t *p = memoryKind()->peek(f->memory, &available, nullptr);
        if (p == nullptr)
            break;
        std::uint64_t k = fileKind()->write(file, p, available, &status);
        if (status != 0 || k != available) {
            // The memory FIFO keeps whatever the file did not take in full;
            // the file copy is dropped, so nothing is held twice.
            fileKind()->destroy(file);
            return status != 0 ? status : QELError_WriteFailed;
        }
        memoryKind()->skip(f->memory, available);
    }
    memoryKind()->destroy(f->memory);
    f->memory = nullptr;
    f->file = file;
    f->spilled = 1;
    f->held = 0;
    return 0;
}

std::uint64_t flexWrite(QELFifo *fifo, const void *bytes, std::uint64_t n, QELStatus *status)
{
    FlexFifo *f = self(fifo);
    if (f->spilled)
        return fileKind()->write(f->file, bytes, n, status);
    std::uint64_t taken = 0;
    if (f->held + n <= f->threshold) {
        taken = memoryKind()->write(f->memory, bytes, n, status);
        f->held += taken;
        if (taken == n)
            return taken;
    }
    if (QELStatus s = spill(f); s != 0) {
        if (status != nullptr)
            *status = s;
        return taken;
    }
    return taken + fileKind()->write(f->file, static_cast<const std::uint8_t *>(bytes) + taken, n - taken, status);
}

std::uint64_t flexRead(QELFifo *fifo, void *buffer, std::uint64_t n, QELStatus *status)
{
    FlexFifo *f = self(fifo);
    if (f->spilled)
        return fileKind()->read(f->file, buffer, n, status);
    std::uint64_t k = memoryKind()->read(f->memory, buffer, n, status);
    f->held -= k;
    return k;
}

const std::uint8_t *flexPeek(QELFifo *fifo, std::uint64_t *available, QELStatus *status)
{
    FlexFifo *f = self(fifo);
    return f->spilled ? fileKind()->peek(f->file, available, status)
                      : memoryKind()->peek(f->memory, available, status);
}

void flexSkip(QELFifo *fifo, std::uint64_t n)
{
    FlexFifo *f = self(fifo);
    if (f->spilled) {
        fileKind()->skip(f->file, n);
        return;
    }
    n = std::min(n, f->held);
    memoryKind()->skip(f->memory, n);
    f->held -= n;
}

void flexClear(QELFifo *fifo)
{
    FlexFifo *f = self(fifo);
    if (!f->spilled) {
        memoryKind()->clear(f->memory);
        f->held = 0;
        return;
    }
    // Back to the state after creation: memory again, no file.
    QELFifo *memory = memoryKind()->create(f->context);
    if (memory == nullptr) {
        fileKind()->clear(f->file); // stay on the (now empty) file
        return;
    }
    fileKind()->destroy(f->file);
    f->file = nullptr;
    f->memory = memory;
    f->spilled = 0;
    f->held = 0;
}

void flexDestroy(QELFifo *fifo)
{
    if (fifo == nullptr)
        return;
    FlexFifo *f = self(fifo);
    qelFifoDestroy(memoryKind(), f->memory);
    qelFifoDestroy(fileKind(), f->file);
    QELContext *context = f->context;
    qelSecureWipe(f, sizeof *f);
    static_cast<void>(qelContextMemFree(context, f));
}

std::uint64_t flexSize(QELFifo *fifo)
{
    FlexFifo *f = self(fifo);
    return f->spilled ? fileKind()->size(f->file) : memoryKind()->size(f->memory);
}

constexpr QELFifoDescriptor kFlexFifo{"Flex Byte/File Fifo", flexCreate, flexRead,    flexWrite, flexPeek,
                                      flexSkip,              flexClear,  flexDestroy, flexSize};

} // namespace

const QELFifoDescriptor *qelFlexFifoDescriptor() { return &kFlexFifo; }
