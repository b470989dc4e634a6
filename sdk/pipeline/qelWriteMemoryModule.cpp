// Write memory.
#include "qelWriteMemoryModuleInternal.h"

#include "qelSinkAnswerInternal.h"

#include <algorithm>
#include <cstring>

namespace {

struct WriteMemory {
    QELPipeModule head;
    std::uint8_t enabled;
    std::uint64_t size;
    std::uint64_t position; // offered so far; may pass size
    std::uint8_t *buffer;
};

WriteMemory *self(QELPipeModule *m) { return qelPipeModuleState<WriteMemory>(m); }

std::uint64_t memWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    WriteMemory *w = self(m);
    if (status != nullptr)
        *status = 0;
    if (!w->enabled)
        return length;
    if (w->position < w->size) {
        std::uint64_t k = std::min(w->size - w->position, length);
        if (k != 0) // an empty write may come without bytes
            std::memcpy(w->buffer + w->position, bytes, static_cast<std::size_t>(k));
        if (w->position + k < w->size)
            w->buffer[w->position + k] = 0;
    }
    w->position += length;
    return length;
}

QELStatus memAnnotate(QELPipeModule *m, const void *, std::int32_t code, void *data, std::uint64_t length)
{
    WriteMemory *w = self(m);
    switch (code) {
    case QELAnnotation_QueryTotal:
        return qelSinkAnswer64(data, length, w->size);
    case QELAnnotation_QueryPosition:
        return qelSinkAnswer64(data, length, w->position);
    case QELAnnotation_EnableOutput:
        if (data == nullptr)
            return QELError_BadParams;
        w->enabled = *static_cast<const std::uint8_t *>(data) != 0;
        return 0;
    case QELAnnotation_AppendBytes:
        // The bytes are in the buffer already: only the position moves.
        if (data != w->buffer)
            return QELError_BadParams;
        w->position = std::min(w->position + length, std::max(w->position, w->size));
        return 0;
    default:
        return 0;
    }
}

QELStatus memFlush(QELPipeModule *) { return 0; }
QELStatus memExpectBytes(QELPipeModule *, std::uint64_t) { return 0; }
QELStatus memDestroy(QELPipeModule *m)
{
    qelPipeModuleFree(self(m));
    return 0;
}

constexpr QELPipeOps kWriteMemoryOps{memWrite, memFlush, memAnnotate, memExpectBytes, memDestroy};

} // namespace

QELPipeModule *qelWriteMemoryModuleCreate(QELContext *context, QELPipeModule **out, void *buffer,
                                          std::uint64_t size)
{
    if (out == nullptr)
        return nullptr;
    *out = nullptr;
    if (buffer == nullptr && size != 0)
        return nullptr;
    auto *w = qelPipeModuleNew<WriteMemory>(context, QELPipeMagic_WriteMemory, "Write memory", kWriteMemoryOps);
    if (w == nullptr)
        return nullptr;
    w->enabled = 1;
    w->size = size;
    w->buffer = static_cast<std::uint8_t *>(buffer);
    *out = &w->head;
    return *out;
}
