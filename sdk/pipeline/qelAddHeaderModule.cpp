// The Add Header Module.
//
// Definite mode (version 3 or lower): the body collects in the FIFO until the
// first announcement outside every scope fixes the length (total = held +
// announced); then the header and the held bytes go out and further bytes
// stream through while `expected` counts down. Length type 3 streams at once
// with no length.
//
// Partial mode (above 3): bytes fill a 4096-byte piece behind two bytes of
// room; a full piece gets the partial length 0xEC in front and waits until
// more bytes arrive, so that at the end of input the last piece can carry a
// regular length instead.
#include "qelAddHeaderModuleInternal.h"

#include "qelWipe.h"

#include <algorithm>
#include <cstring>

namespace {

struct AddHeader {
    QELPipeModule head;
    const QELFifoDescriptor *fifoKind;
    QELFifo *fifo; // definite mode only
    QELPipeModule *downstream;
    std::uint8_t header[6];
    std::uint32_t headerNext;
    std::int32_t headerLeft;
    std::int32_t decided; // definite: the length is fixed; partial: a full piece waits
    std::int32_t announced;
    std::int64_t expected;
    std::int32_t version;
    std::int32_t lengthType;
    std::uint8_t tag;
    std::uint8_t piece[QELAddHeaderPiece + 2];
    std::uint32_t fillPoint;
    std::uint32_t pieceStart;
    std::int32_t pieceCount;
    std::int32_t resumeCount; // bytes of an interrupted final piece still to write
    std::int32_t finished;    // partial mode: the final piece went out
    std::int32_t depth;
};

AddHeader *self(QELPipeModule *m) { return qelPipeModuleState<AddHeader>(m); }
bool partialMode(const AddHeader *a) { return a->version > 3; }
bool newFormat(const AddHeader *a) { return a->version > 3 || a->tag > 15; }

void setStatus(QELStatus *status, QELStatus value)
{
    if (status != nullptr && value != 0)
        *status = value;
}

// Writes bytes downstream until taken, advancing *offset and reducing *left.
template <typename Offset, typename Left>
QELStatus writeOut(AddHeader *a, const std::uint8_t *base, Offset *offset, Left *left)
{
    std::uint64_t taken = 0;
    QELStatus status = qelPipeWriteAll(a->downstream, base + *offset, static_cast<std::uint64_t>(*left), &taken);
    *offset += static_cast<Offset>(taken);
    *left -= static_cast<Left>(taken);
    return status;
}

QELStatus writeHeader(AddHeader *a)
{
    if (a->headerLeft == 0)
        return 0;
    return writeOut(a, a->header, &a->headerNext, &a->headerLeft);
}

// Header first, then what the FIFO holds.
QELStatus writeHeld(AddHeader *a)
{
    if (QELStatus status = writeHeader(a); status != 0)
        return status;
    if (a->fifo == nullptr)
        return 0;
    for (;;) {
        QELStatus status = 0;
        std::uint64_t available = 0;
        const std::uint8_t *p = a->fifoKind->peek(a->fifo, &available, &status);
        if (status != 0)
            return status;
        if (p == nullptr)
            return 0;
        std::uint64_t taken = 0;
        status = qelPipeWriteAll(a->downstream, p, available, &taken);
        a->fifoKind->skip(a->fifo, taken);
        if (status != 0)
            return status;
    }
}

std::uint64_t heldBytes(const AddHeader *a) { return a->fifo != nullptr ? a->fifoKind->size(a->fifo) : 0; }

// Fixes the definite length field for a body of `total` bytes.
QELStatus fixLength(AddHeader *a, std::uint64_t total)
{
    if (total > 0xFFFFFFFFu)
        return QELError_PacketTooLarge; // a 32-bit length cannot say it
    std::uint8_t *h = a->header;
    int n = 1;
    if (newFormat(a)) {
        h[0] = static_cast<std::uint8_t>(0xC0 | a->tag);
        if (total < 192) {
            h[n++] = static_cast<std::uint8_t>(total);
        } else if (total < 8384) {
            h[n++] = static_cast<std::uint8_t>(((total - 192) >> 8) + 192);
            h[n++] = static_cast<std::uint8_t>((total - 192) & 0xFF);
        } else {
            h[n++] = 0xFF;
            for (int shift = 24; shift >= 0; shift -= 8)
                h[n++] = static_cast<std::uint8_t>(total >> shift);
        }
    } else {
        std::int32_t type = a->lengthType;
        if (total > 0xFFFF)
            type = QELLengthType_FourBytes;
        else if (total > 0xFF)
            type = std::max(type, QELLengthType_TwoBytes);
        h[0] = static_cast<std::uint8_t>(0x80 | (a->tag << 2) | type);
        int octets = type == QELLengthType_OneByte ? 1 : type == QELLengthType_TwoBytes ? 2 : 4;
        for (int i = octets - 1; i >= 0; --i)
            h[n++] = static_cast<std::uint8_t>(total >> (8 * i));
    }
    a->headerNext = 0;
    a->headerLeft = n;
    a->decided = 1;
    return 0;
}

// ---- definite mode ---------------------------------------------------------

std::uint64_t definiteWrite(AddHeader *a, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    if (!a->decided)
        return a->fifoKind->write(a->fifo, bytes, length, status);
    if (QELStatus s = writeHeld(a); s != 0) {
        setStatus(status, s);
        return 0;
    }
    if (a->announced && length > static_cast<std::uint64_t>(a->expected)) {
        setStatus(status, QELError_TruncatedInput); // more than the length written in the header
        return 0;
    }
    std::uint64_t taken = qelPipeWrite(a->downstream, bytes, length, status);
    if (a->announced)
        a->expected -= static_cast<std::int64_t>(taken);
    return taken;
}

QELStatus definiteExpectBytes(AddHeader *a, std::uint64_t n)
{
    std::uint64_t held = heldBytes(a);
    if (!a->decided)
        if (QELStatus s = fixLength(a, held + n); s != 0)
            return s;
    if (!a->announced) {
        a->expected = static_cast<std::int64_t>(n);
        a->announced = 1;
    } else if (static_cast<std::int64_t>(n) != a->expected) {
        return QELError_TruncatedInput;
    }
    std::uint64_t owed = n + static_cast<std::uint64_t>(a->headerLeft) + held;
    if (owed != 0)
        if (QELStatus s = qelPipeExpectBytes(a->downstream, owed); s != 0)
            return s;
    if (QELStatus s = writeHeld(a); s != 0)
        return s;
    return n == 0 ? qelPipeExpectBytes(a->downstream, 0) : 0;
}

// ---- partial mode ----------------------------------------------------------

void startPiece(AddHeader *a)
{
    qelSecureWipe(a->piece, sizeof a->piece);
    a->pieceStart = 2;
    a->fillPoint = 2;
    a->pieceCount = 0;
    a->decided = 0;
}

std::uint64_t partialWrite(AddHeader *a, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    if (QELStatus s = writeHeader(a); s != 0) {
        setStatus(status, s);
        return 0;
    }
    std::uint64_t done = 0;
    while (done < length) {
        if (a->decided) {
            if (QELStatus s = writeOut(a, a->piece, &a->pieceStart, &a->pieceCount); s != 0) {
                setStatus(status, s);
                return done;
            }
            startPiece(a);
        }
        std::uint64_t k = std::min<std::uint64_t>(QELAddHeaderPiece - a->pieceCount, length - done);
        std::memcpy(a->piece + a->fillPoint, bytes + done, static_cast<std::size_t>(k));
        a->fillPoint += static_cast<std::uint32_t>(k);
        a->pieceCount += static_cast<std::int32_t>(k);
        done += k;
        if (a->pieceCount == static_cast<std::int32_t>(QELAddHeaderPiece)) {
            a->piece[1] = 0xEC; // a partial body length of 2^12
            a->pieceStart = 1;
            a->pieceCount += 1;
            a->decided = 1;
        }
    }
    return done;
}

QELStatus partialExpectBytes(AddHeader *a, std::uint64_t n)
{
    if (n != 0)
        return 0;
    if (a->resumeCount == 0 && !a->finished) {
        if (a->headerLeft != 0 && a->pieceCount == 0 && !a->decided) {
            a->finished = 1; // no body and no tag byte written: no packet at all
        } else {
            if (QELStatus s = writeHeader(a); s != 0)
                return s;
            if (a->decided) { // the waiting full piece becomes the last one
                a->pieceStart = 2;
                a->pieceCount -= 1;
                a->decided = 0;
            }
            // A regular length in front of what is held (0 when the last
            // full piece went out already: the packet needs its end).
            std::uint32_t count = static_cast<std::uint32_t>(a->pieceCount);
            if (count <= 191) {
                a->piece[--a->pieceStart] = static_cast<std::uint8_t>(count);
            } else {
                a->piece[--a->pieceStart] = static_cast<std::uint8_t>((count - 192) & 0xFF);
                a->piece[--a->pieceStart] = static_cast<std::uint8_t>(((count - 192) >> 8) + 192);
            }
            a->resumeCount = static_cast<std::int32_t>(a->fillPoint - a->pieceStart);
        }
    }
    if (a->resumeCount != 0) {
        if (QELStatus s = writeOut(a, a->piece, &a->pieceStart, &a->resumeCount); s != 0)
            return s;
        startPiece(a);
        a->finished = 1;
    }
    return qelPipeExpectBytes(a->downstream, 0);
}

// ---- the operations --------------------------------------------------------

std::uint64_t addWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    AddHeader *a = self(m);
    if (a->downstream == nullptr) {
        setStatus(status, QELError_BadParams);
        return 0;
    }
    return partialMode(a) ? partialWrite(a, bytes, length, status) : definiteWrite(a, bytes, length, status);
}

QELStatus addExpectBytes(QELPipeModule *m, std::uint64_t n)
{
    AddHeader *a = self(m);
    if (a->depth != 0)
        return 0;
    if (a->downstream == nullptr)
        return QELError_BadParams;
    return partialMode(a) ? partialExpectBytes(a, n) : definiteExpectBytes(a, n);
}

QELStatus addFlush(QELPipeModule *m)
{
    AddHeader *a = self(m);
    if (a->downstream == nullptr)
        return QELError_BadParams;
    if (partialMode(a)) {
        // An unfinished piece stays held: writing it now would need a
        // partial length that is not a power of two.
        if (QELStatus s = writeHeader(a); s != 0)
            return s;
        if (a->decided && a->resumeCount == 0) {
            if (QELStatus s = writeOut(a, a->piece, &a->pieceStart, &a->pieceCount); s != 0)
                return s;
            startPiece(a);
        }
    } else {
        if (!a->decided)
            return QELError_BadParams;
        if (QELStatus s = writeHeld(a); s != 0)
            return s;
    }
    return qelPipeFlush(a->downstream);
}

QELStatus addAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    AddHeader *a = self(m);
    if (a->downstream == nullptr)
        return QELError_BadParams;
    QELStatus status = qelPipeAnnotate(a->downstream, origin, code, data, length);
    if (status == 0)
        a->depth += qelAnnotationScopeStep(code);
    return status;
}

QELStatus addDestroy(QELPipeModule *m)
{
    AddHeader *a = self(m);
    qelPipeDestroy(a->downstream);
    if (a->fifo != nullptr)
        qelFifoDestroy(a->fifoKind, a->fifo);
    qelPipeModuleFree(a);
    return 0;
}

constexpr QELPipeOps kAddHeaderOps{addWrite, addFlush, addAnnotate, addExpectBytes, addDestroy};

AddHeader *makeAddHeader(QELContext *context, std::int32_t version, const QELFifoDescriptor *fifoKind,
                         std::uint8_t tag, std::int32_t lengthType, const void *prefix, std::size_t prefixLength)
{
    if (tag > 63 || lengthType < 0 || lengthType > QELLengthType_Indeterminate ||
        prefixLength > QELAddHeaderMaxPrefix || (prefix == nullptr && prefixLength != 0))
        return nullptr;
    bool partial = version > 3;
    if (!partial && (fifoKind == nullptr || (tag > 15 && lengthType == QELLengthType_Indeterminate)))
        return nullptr; // a new-format header has no indeterminate length
    auto *a = qelPipeModuleNew<AddHeader>(context, QELPipeMagic_AddHeader, "Add Header Module", kAddHeaderOps);
    if (a == nullptr)
        return nullptr;
    a->version = version;
    a->tag = tag;
    a->lengthType = lengthType;
    a->fifoKind = fifoKind;
    a->headerLeft = 1;
    if (partial) {
        a->header[0] = static_cast<std::uint8_t>(0xC0 | tag);
        startPiece(a);
        std::memcpy(a->piece + a->fillPoint, prefix, prefixLength);
        a->fillPoint += static_cast<std::uint32_t>(prefixLength);
        a->pieceCount = static_cast<std::int32_t>(prefixLength);
        if (prefixLength == QELAddHeaderPiece) {
            a->piece[1] = 0xEC;
            a->pieceStart = 1;
            a->pieceCount += 1;
            a->decided = 1;
        }
        return a;
    }
    a->header[0] = static_cast<std::uint8_t>(0x80 | (tag << 2) | lengthType);
    a->fifo = fifoKind->create(context);
    QELStatus status = 0;
    if (a->fifo == nullptr ||
        (prefixLength != 0 && fifoKind->write(a->fifo, prefix, prefixLength, &status) != prefixLength)) {
        addDestroy(&a->head);
        return nullptr;
    }
    if (lengthType == QELLengthType_Indeterminate)
        a->decided = 1;
    return a;
}

} // namespace

QELPipeModule **qelAddHeaderModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                         const QELFifoDescriptor *fifoKind, std::uint8_t tag, std::int32_t lengthType,
                                         const void *prefix, std::size_t prefixLength)
{
    if (slot == nullptr)
        return nullptr;
    AddHeader *a = makeAddHeader(context, version, fifoKind, tag, lengthType, prefix, prefixLength);
    if (a == nullptr)
        return nullptr;
    return qelPipeModuleLink(slot, &a->head, &a->downstream);
}

QELPipeModule **qelLiteralModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                       const QELFifoDescriptor *fifoKind, std::uint8_t format, const void *fileName,
                                       std::size_t fileNameLength, std::uint32_t date)
{
    if (slot == nullptr || (fileName == nullptr && fileNameLength != 0))
        return nullptr;
    std::size_t n = std::min(fileNameLength, QELLiteralMaxName); // the length field is one byte
    std::uint8_t prefix[QELLiteralMaxName + 6];
    prefix[0] = format;
    prefix[1] = static_cast<std::uint8_t>(n);
    if (n != 0)
        std::memcpy(prefix + 2, fileName, n);
    for (int i = 0; i < 4; ++i)
        prefix[2 + n + i] = static_cast<std::uint8_t>(date >> (24 - 8 * i));
    AddHeader *a = makeAddHeader(context, version, fifoKind, QELPacketTag_Literal, QELLengthType_OneByte, prefix, n + 6);
    qelSecureWipe(prefix, sizeof prefix);
    if (a == nullptr)
        return nullptr;
    a->head.name = "Literal Module";
    return qelPipeModuleLink(slot, &a->head, &a->downstream);
}
