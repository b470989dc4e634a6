// The Join Module. The first input owns the downstream module; the join is
// freed when its last input is destroyed.
#include "qelJoinModuleInternal.h"

namespace {

struct JoinInput {
    QELPipeModule head;
    const QELFifoDescriptor *fifoKind;
    QELFifo *fifo;
    QELPipeModule *downstream; // first input only
    JoinInput *next;
    JoinInput *first;
    std::uint64_t expected;
    std::int32_t announced;
    std::int32_t active;
    std::int32_t ended;
    std::int32_t destroyed;
};

JoinInput *self(QELPipeModule *m) { return qelPipeModuleState<JoinInput>(m); }
QELPipeModule *downstreamOf(const JoinInput *in) { return in->first->downstream; }

void setStatus(QELStatus *status, QELStatus value)
{
    if (status != nullptr)
        *status = value;
}

// Writes what the input holds downstream; an input that has ended and is
// empty hands over to the next input.
QELStatus drain(JoinInput *in)
{
    QELPipeModule *down = downstreamOf(in);
    if (down == nullptr)
        return QELError_BadParams;
    while (in != nullptr && in->active) {
        for (;;) {
            QELStatus status = 0;
            std::uint64_t available = 0;
            const std::uint8_t *p = in->fifoKind->peek(in->fifo, &available, &status);
            if (status != 0)
                return status;
            if (p == nullptr)
                break;
            std::uint64_t taken = qelPipeWrite(down, p, available, &status);
            in->fifoKind->skip(in->fifo, taken);
            if (in->announced)
                in->expected -= taken;
            if (status != 0)
                return status;
            if (taken == 0)
                return QELError_WriteFailed; // stalled downstream
        }
        if (!in->ended || in->next == nullptr)
            break;
        in = in->next;
        in->active = 1;
    }
    return 0;
}

std::uint64_t joinWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    JoinInput *in = self(m);
    if (!in->active)
        return in->fifoKind->write(in->fifo, bytes, length, status);
    if (QELStatus s = drain(in); s != 0) {
        setStatus(status, s);
        return 0;
    }
    std::uint64_t taken = qelPipeWrite(downstreamOf(in), bytes, length, status);
    if (in->announced)
        in->expected -= taken;
    return taken;
}

bool everyInput(const JoinInput *in, std::int32_t JoinInput::*flag)
{
    for (const JoinInput *i = in->first; i != nullptr; i = i->next)
        if (!(i->*flag))
            return false;
    return true;
}

QELStatus joinExpectBytes(QELPipeModule *m, std::uint64_t n)
{
    JoinInput *in = self(m);
    QELPipeModule *down = downstreamOf(in);
    if (down == nullptr)
        return QELError_BadParams;
    std::uint64_t held = in->fifoKind->size(in->fifo);
    if (!in->announced) {
        in->expected = n + held;
        in->announced = 1;
    } else if (n != in->expected - held) {
        return QELError_TruncatedInput;
    }
    if (n == 0)
        in->ended = 1;
    bool allEnded = everyInput(in, &JoinInput::ended);
    if (everyInput(in, &JoinInput::announced)) {
        std::uint64_t sum = 0;
        for (const JoinInput *i = in->first; i != nullptr; i = i->next)
            sum += i->expected;
        // A sum of 0 would announce the end of input; that is only sent once
        // every input has ended, below.
        if (sum != 0)
            if (QELStatus s = qelPipeExpectBytes(down, sum); s != 0)
                return s;
    }
    if (in->active)
        if (QELStatus s = drain(in); s != 0)
            return s;
    if (allEnded) {
        for (const JoinInput *i = in->first; i != nullptr; i = i->next)
            if (i->fifoKind->size(i->fifo) != 0)
                return 0; // an input not yet due still holds bytes
        return qelPipeExpectBytes(down, 0);
    }
    return 0;
}

QELStatus joinAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    switch (code) {
    case QELAnnotation_BeginInput:
    case QELAnnotation_EndInput:
    case QELAnnotation_BeginBinaryInput:
    case QELAnnotation_EndBinaryInput:
        return 0;
    default:
        break;
    }
    QELPipeModule *down = downstreamOf(self(m));
    return down != nullptr ? qelPipeAnnotate(down, origin, code, data, length) : QELError_BadParams;
}

QELStatus joinFlush(QELPipeModule *m)
{
    JoinInput *in = self(m);
    QELPipeModule *down = downstreamOf(in);
    if (down == nullptr)
        return QELError_BadParams;
    if (in->active)
        if (QELStatus s = drain(in); s != 0)
            return s;
    return qelPipeFlush(down);
}

QELStatus joinDestroy(QELPipeModule *m)
{
    JoinInput *in = self(m);
    in->destroyed = 1;
    if (!everyInput(in, &JoinInput::destroyed))
        return 0;
    JoinInput *first = in->first;
    qelPipeDestroy(first->downstream);
    for (JoinInput *i = first; i != nullptr;) {
        JoinInput *next = i->next;
        qelFifoDestroy(i->fifoKind, i->fifo);
        qelPipeModuleFree(i);
        i = next;
    }
    return 0;
}

constexpr QELPipeOps kJoinOps{joinWrite, joinFlush, joinAnnotate, joinExpectBytes, joinDestroy};

JoinInput *makeInput(QELContext *context, bool active, const QELFifoDescriptor *fifoKind, const char *name)
{
    if (fifoKind == nullptr)
        return nullptr;
    auto *in = qelPipeModuleNew<JoinInput>(context, QELPipeMagic_Join, name, kJoinOps);
    if (in == nullptr)
        return nullptr;
    in->fifoKind = fifoKind;
    in->fifo = fifoKind->create(context);
    if (in->fifo == nullptr) {
        qelPipeModuleFree(in);
        return nullptr;
    }
    in->first = in;
    in->active = active ? 1 : 0;
    return in;
}

} // namespace

QELPipeModule *qelJoinModuleCreate(QELContext *context, bool active, const QELFifoDescriptor *fifoKind)
{
    JoinInput *in = makeInput(context, active, fifoKind, "Join Module");
    return in != nullptr ? &in->head : nullptr;
}

QELPipeModule **qelJoinModuleInsert(QELContext *context, QELPipeModule **slot, const QELFifoDescriptor *fifoKind)
{
    if (slot == nullptr)
        return nullptr;
    JoinInput *in = makeInput(context, true, fifoKind, "Join Module");
    if (in == nullptr)
        return nullptr;
    return qelPipeModuleLink(slot, &in->head, &in->downstream);
}

QELPipeModule *qelJoinAppendageCreate(QELPipeModule *input)
{
    if (input == nullptr || input->magic != QELPipeMagic_Join)
        return nullptr;
    JoinInput *before = self(input);
    JoinInput *in = makeInput(input->context, false, before->fifoKind, "Join Module Appendage");
    if (in == nullptr)
        return nullptr;
    in->first = before->first;
    in->next = before->next;
    before->next = in;
    // Due at once when the input before it has already ended and drained.
    if (before->active && before->ended && before->fifoKind->size(before->fifo) == 0)
        in->active = 1;
    return &in->head;
}
