// The Text Filter Module. Input is converted into a fixed buffer and the
// buffer is sent downstream before more input is converted, so no memory is
// allocated after creation.
//
// The filter changes the byte count when it rewrites line ends or drops
// spaces, so an announced length is passed on only when it can do neither.
#include "qelTextFilterModuleInternal.h"

#include "qelWipe.h"

#include <array>

namespace {

constexpr std::uint8_t CR = 0x0D;
constexpr std::uint8_t LF = 0x0A;
constexpr std::uint8_t Space = 0x20;

struct TextFilter {
    QELPipeModule head;
    std::uint8_t buffer[QELTextFilterBuffer];
    std::uint32_t readPosition;
    std::uint64_t pending;
    QELPipeModule *downstream;
    const std::uint8_t *charMap;
    std::int32_t lineEndMode;
    std::int32_t stripTrailingSpaces;
    std::uint64_t heldSpaces;
    std::int32_t afterCR;
};

TextFilter *self(QELPipeModule *m) { return qelPipeModuleState<TextFilter>(m); }

QELStatus sendPending(TextFilter *t)
{
    if (t->pending == 0)
        return 0;
    std::uint64_t taken = 0;
    QELStatus status = qelPipeWriteAll(t->downstream, t->buffer + t->readPosition, t->pending, &taken);
    qelSecureWipe(t->buffer + t->readPosition, static_cast<std::size_t>(taken));
    t->readPosition += static_cast<std::uint32_t>(taken);
    t->pending -= taken;
    if (t->pending == 0)
        t->readPosition = 0;
    return status;
}

// Converts input into the empty buffer; returns the input bytes consumed.
std::uint64_t convert(TextFilter *t, const std::uint8_t *in, std::uint64_t length)
{
    std::uint8_t *out = t->buffer;
    const std::uint8_t *const end = t->buffer + sizeof t->buffer;
    const std::uint8_t *map = t->charMap;
    std::uint64_t i = 0;
    for (; i < length; ++i) {
        std::uint8_t b = in[i];
        if (b == CR || b == LF) {
            if (t->lineEndMode == QELLineEnd_Keep) {
                if (out == end)
                    break;
                t->heldSpaces = 0;
                *out++ = map[b];
                continue;
            }
            if (b == LF && t->afterCR) { // the LF of a CR LF pair
                t->afterCR = 0;
                continue;
            }
            std::size_t need = t->lineEndMode == QELLineEnd_CRLF ? 2 : 1;
            if (std::size_t(end - out) < need)
                break; // waits until the buffer has been sent
            t->heldSpaces = 0;
            if (t->lineEndMode != QELLineEnd_LF)
                *out++ = CR;
            if (t->lineEndMode != QELLineEnd_CR)
                *out++ = LF;
            t->afterCR = b == CR;
            continue;
        }
        t->afterCR = 0;
        if (b == Space && t->stripTrailingSpaces) {
            ++t->heldSpaces;
            continue;
        }
        while (t->heldSpaces != 0 && out != end) {
            *out++ = map[Space];
            --t->heldSpaces;
        }
        if (out == end)
            break;
        *out++ = map[b];
    }
    t->readPosition = 0;
    t->pending = static_cast<std::uint64_t>(out - t->buffer);
    return i;
}

std::uint64_t textWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    TextFilter *t = self(m);
    std::uint64_t consumed = 0;
    for (;;) {
        if (QELStatus s = sendPending(t); s != 0) {
            if (status != nullptr)
                *status = s;
            return consumed;
        }
        if (consumed == length)
            return consumed;
        std::uint64_t k = convert(t, bytes + consumed, length - consumed);
        consumed += k;
        if (k == 0 && t->pending == 0)
            return consumed; // cannot happen with an empty buffer; never spin
    }
}

QELStatus textFlush(QELPipeModule *m)
{
    TextFilter *t = self(m);
    if (QELStatus s = sendPending(t); s != 0)
        return s;
    return qelPipeFlush(t->downstream);
}

QELStatus textAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    TextFilter *t = self(m);
    if (QELStatus s = sendPending(t); s != 0)
        return s;
    return qelPipeAnnotate(t->downstream, origin, code, data, length);
}

QELStatus textExpectBytes(QELPipeModule *m, std::uint64_t count)
{
    TextFilter *t = self(m);
    if (QELStatus s = sendPending(t); s != 0)
        return s;
    if (count == 0) {
        t->heldSpaces = 0; // trailing spaces at the very end are dropped
        return qelPipeExpectBytes(t->downstream, 0);
    }
    if (t->lineEndMode != QELLineEnd_Keep || t->stripTrailingSpaces)
        return 0;
    return qelPipeExpectBytes(t->downstream, count);
}

QELStatus textDestroy(QELPipeModule *m)
{
    TextFilter *t = self(m);
    qelPipeDestroy(t->downstream);
    qelPipeModuleFree(t);
    return 0;
}

constexpr QELPipeOps kTextFilterOps{textWrite, textFlush, textAnnotate, textExpectBytes, textDestroy};

} // namespace

const std::uint8_t *qelTextFilterIdentityMap()
{
    static constexpr auto kIdentity = [] {
        std::array<std::uint8_t, 256> map{};
        for (std::size_t i = 0; i < map.size(); ++i)
            map[i] = static_cast<std::uint8_t>(i);
        return map;
    }();
    return kIdentity.data();
}

QELPipeModule **qelTextFilterModuleCreate(QELContext *context, QELPipeModule **slot, const std::uint8_t *charMap,
                                          bool stripTrailingSpaces, std::int32_t lineEndMode)
{
    if (slot == nullptr || charMap == nullptr || lineEndMode < QELLineEnd_Keep || lineEndMode > QELLineEnd_CRLF)
        return nullptr;
    auto *t = qelPipeModuleNew<TextFilter>(context, QELPipeMagic_TextFilter, "Text Filter Module", kTextFilterOps);
    if (t == nullptr)
        return nullptr;
    t->charMap = charMap;
    t->stripTrailingSpaces = stripTrailingSpaces ? 1 : 0;
    t->lineEndMode = lineEndMode;
    return qelPipeModuleLink(slot, &t->head, &t->downstream);
}
