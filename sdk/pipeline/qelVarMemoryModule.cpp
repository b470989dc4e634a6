// The variable-sized memory sink. When its FIFO cannot take the bytes
// (memory exhausted) it says so with QELError_OutOfMemory rather than let a
// source offer the same bytes again.
#include "qelVarMemoryModuleInternal.h"

#include "qelByteFifoInternal.h"
#include "qelContextInternal.h"
#include "qelMemory.h"
#include "qelSinkAnswerInternal.h"

#include <algorithm>
#include <cstring>

namespace {

struct VarMemory {
    QELPipeModule head;
    std::uint8_t enabled;
    std::uint64_t limit;
    std::uint64_t position; // offered so far
    std::uint64_t stored;   // kept
    const QELFifoDescriptor *fifoKind;
    QELFifo *fifo;
    std::uint8_t secure;
};

VarMemory *self(QELPipeModule *m) { return qelPipeModuleState<VarMemory>(m); }

std::uint64_t varWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    VarMemory *v = self(m);
    if (!v->enabled)
        return length;
    if (v->position < v->limit) {
        std::uint64_t k = std::min(v->limit - v->position, length);
        std::uint64_t taken = v->fifoKind->write(v->fifo, bytes, k, status);
        v->stored += taken;
        if (taken < k) {
            v->position += taken;
            if (status != nullptr)
                *status = QELError_OutOfMemory;
            return taken;
        }
    }
    v->position += length;
    return length;
}

// A new buffer with every byte stored and a 0 byte behind them.
QELStatus takeBuffer(VarMemory *v, void *data, std::uint64_t length)
{
    if (data == nullptr || length < sizeof(void *))
        return QELError_BadParams;
    void *result = nullptr;
    std::memcpy(data, &result, sizeof result);
    QELMemoryMgr *mgr = qelContextMemoryMgr(v->head.context);
    std::size_t size = static_cast<std::size_t>(v->stored) + 1;
    result = v->secure ? qelMemAllocSecure(mgr, size, QELMemFlag_Clear) : qelMemAlloc(mgr, size, QELMemFlag_Clear);
    if (result == nullptr)
        return QELError_OutOfMemory;
    auto *dst = static_cast<std::uint8_t *>(result);
    std::uint64_t at = 0;
    for (;;) {
        std::uint64_t available = 0;
        const std::uint8_t *p = v->fifoKind->peek(v->fifo, &available, nullptr);
        if (p == nullptr || at + available > v->stored)
            break;
        std::memcpy(dst + at, p, static_cast<std::size_t>(available));
        v->fifoKind->skip(v->fifo, available);
        at += available;
    }
    dst[v->stored] = 0;
    std::memcpy(data, &result, sizeof result);
    return 0;
}

QELStatus varAnnotate(QELPipeModule *m, const void *, std::int32_t code, void *data, std::uint64_t length)
{
    VarMemory *v = self(m);
    switch (code) {
    case QELAnnotation_QueryTotal:
        return qelSinkAnswer64(data, length, v->stored);
    case QELAnnotation_QueryPosition:
        return qelSinkAnswer64(data, length, v->position);
    case QELAnnotation_QueryLimit:
        return qelSinkAnswer64(data, length, v->limit);
    case QELAnnotation_EnableOutput:
        if (data == nullptr)
            return QELError_BadParams;
        v->enabled = *static_cast<const std::uint8_t *>(data) != 0;
        return 0;
    case QELAnnotation_TakeBuffer:
        return takeBuffer(v, data, length);
    case QELAnnotation_AppendBytes: {
        if (data == nullptr && length != 0)
            return QELError_BadParams;
        QELStatus status = 0;
        std::uint64_t taken = v->fifoKind->write(v->fifo, data, length, &status);
        v->stored += taken;
        v->position += taken;
        return status != 0 ? status : (taken < length ? QELError_OutOfMemory : 0);
    }
    default:
        return 0;
    }
}

QELStatus varFlush(QELPipeModule *) { return 0; }
QELStatus varExpectBytes(QELPipeModule *, std::uint64_t) { return 0; }
QELStatus varDestroy(QELPipeModule *m)
{
    VarMemory *v = self(m);
    qelFifoDestroy(v->fifoKind, v->fifo);
    qelPipeModuleFree(v);
    return 0;
}

constexpr QELPipeOps kVarMemoryOps{varWrite, varFlush, varAnnotate, varExpectBytes, varDestroy};

} // namespace

QELPipeModule *qelVarMemoryModuleCreate(QELContext *context, QELPipeModule **out, std::uint64_t limit, bool secure)
{
    if (out == nullptr)
        return nullptr;
    *out = nullptr;
    auto *v = qelPipeModuleNew<VarMemory>(context, QELPipeMagic_VarMemory,
                                          secure ? "Securely write variable-sized memory"
                                                 : "Write variable-sized memory",
                                          kVarMemoryOps);
    if (v == nullptr)
        return nullptr;
    v->enabled = 1;
    v->limit = limit;
    v->secure = secure ? 1 : 0;
    v->fifoKind = secure ? qelSecureByteFifoDescriptor() : qelByteFifoDescriptor();
    v->fifo = v->fifoKind->create(context);
    if (v->fifo == nullptr) {
        qelPipeModuleFree(v);
        return nullptr;
    }
    *out = &v->head;
    return *out;
}

QELPipeModule *qelVarMemoryModuleCreateSecure(QELContext *context, QELPipeModule **out, std::uint64_t limit)
{
    return qelVarMemoryModuleCreate(context, out, limit, true);
}

QELPipeModule *qelVarMemoryModuleCreatePlain(QELContext *context, QELPipeModule **out, std::uint64_t limit)
{
    return qelVarMemoryModuleCreate(context, out, limit, false);
}
