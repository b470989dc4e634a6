// The Split module. A piece is offered to output 0 until it took all of it,
// then to output 1. When an output fails, the split keeps the bytes it still
// owes (from the output that failed on) so that a resumed stream neither
// loses nor repeats a byte.
#include "qelSplitModuleInternal.h"

#include "qelWipe.h"

#include <algorithm>
#include <cstring>

namespace {

struct Split {
    QELPipeModule head;
    std::uint8_t held[QELSplitPiece];
    std::uint32_t start; // held[start, end) is owed to output `current`
    std::uint32_t end;   // held[0, end) to the outputs after it
    std::int32_t current;
    std::int32_t count;
    QELPipeModule *outputs[2];
    std::int32_t depth;
};

Split *self(QELPipeModule *m) { return qelPipeModuleState<Split>(m); }

// Writes bytes to one output until taken; *taken receives the count.
QELStatus writeTo(QELPipeModule *out, const std::uint8_t *bytes, std::uint64_t n, std::uint64_t *taken)
{
    if (out == nullptr) {
        *taken = 0;
        return QELError_BadParams;
    }
    return qelPipeWriteAll(out, bytes, n, taken);
}

// Delivers the held bytes to the outputs still owed them.
QELStatus deliver(Split *s)
{
    while (s->current < s->count) {
        std::uint64_t taken = 0;
        QELStatus status = writeTo(s->outputs[s->current], s->held + s->start, s->end - s->start, &taken);
        s->start += static_cast<std::uint32_t>(taken);
        if (status != 0)
            return status;
        ++s->current;
        s->start = 0;
    }
    qelSecureWipe(s->held, s->end);
    s->start = s->end = 0;
    return 0;
}

std::uint64_t splitWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    Split *s = self(m);
    QELStatus st = deliver(s);
    std::uint64_t done = 0;
    while (st == 0 && done < length) {
        const std::uint8_t *piece = bytes + done;
        std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(QELSplitPiece, length - done));
        for (std::int32_t i = 0; i < s->count; ++i) {
            std::uint64_t taken = 0;
            st = writeTo(s->outputs[i], piece, n, &taken);
            if (st == 0)
                continue;
            if (i == 0) {
                // Output 0 took a first part: that part is owed to the
                // outputs after it and counts as taken.
                std::memcpy(s->held, piece, static_cast<std::size_t>(taken));
                s->start = 0;
                s->end = static_cast<std::uint32_t>(taken);
                s->current = taken != 0 ? 1 : s->count;
                done += taken;
            } else {
                std::memcpy(s->held, piece, n);
                s->start = static_cast<std::uint32_t>(taken);
                s->end = n;
                s->current = i;
                done += n;
            }
            break;
        }
        if (st == 0)
            done += n;
    }
    if (st != 0 && status != nullptr)
        *status = st;
    return done;
}

QELStatus splitAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    Split *s = self(m);
    if (QELStatus st = deliver(s); st != 0)
        return st;
    if (s->outputs[0] == nullptr)
        return QELError_BadParams;
    QELStatus st = qelPipeAnnotate(s->outputs[0], origin, code, data, length);
    if (st == 0)
        s->depth += qelAnnotationScopeStep(code);
    return st;
}

QELStatus splitExpectBytes(QELPipeModule *m, std::uint64_t n)
{
    Split *s = self(m);
    if (QELStatus st = deliver(s); st != 0)
        return st;
    if (s->outputs[0] == nullptr)
        return QELError_BadParams;
    if (QELStatus st = qelPipeExpectBytes(s->outputs[0], n); st != 0)
        return st;
    if (s->count == 2 && s->depth == 0)
        return s->outputs[1] != nullptr ? qelPipeExpectBytes(s->outputs[1], n) : QELError_BadParams;
    return 0;
}

QELStatus splitFlush(QELPipeModule *m)
{
    Split *s = self(m);
    if (QELStatus st = deliver(s); st != 0)
        return st;
    for (std::int32_t i = 0; i < s->count; ++i) {
        if (s->outputs[i] == nullptr)
            return QELError_BadParams;
        if (QELStatus st = qelPipeFlush(s->outputs[i]); st != 0)
            return st;
    }
    return 0;
}

QELStatus splitDestroy(QELPipeModule *m)
{
    Split *s = self(m);
    qelPipeDestroy(s->outputs[0]);
    qelPipeDestroy(s->outputs[1]);
    qelPipeModuleFree(s);
    return 0;
}

constexpr QELPipeOps kSplitOps{splitWrite, splitFlush, splitAnnotate, splitExpectBytes, splitDestroy};

} // namespace

QELPipeModule **qelSplitModuleCreate(QELContext *context, QELPipeModule **slot)
{
    if (slot == nullptr)
        return nullptr;
    auto *s = qelPipeModuleNew<Split>(context, QELPipeMagic_Split, "Split module", kSplitOps);
    if (s == nullptr)
        return nullptr;
    s->count = 1;
    s->current = 1;
    return qelPipeModuleLink(slot, &s->head, &s->outputs[0]);
}

QELPipeModule **qelSplitAddOutput(QELPipeModule *split)
{
    if (split == nullptr || split->magic != QELPipeMagic_Split)
        return nullptr;
    Split *s = self(split);
    if (s->count == 2 || s->current != s->count)
        return nullptr;
    s->count = 2;
    s->current = 2;
    return &s->outputs[1];
}
