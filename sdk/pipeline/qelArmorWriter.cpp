// The ASCII Armor Write Module. Header, footer and escape text wait in the
// output FIFO; base64 lines are encoded straight into a batch of whole lines
// that goes downstream in one write, so the bulk path never touches a FIFO.
#include "qelArmorWriterInternal.h"

#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelJoinModuleInternal.h"
#include "qelMemory.h"
#include "qelRandomContextInternal.h"
#include "qelSettingsInternal.h"
#include "qelSplitModuleInternal.h"
#include "qelWipe.h"

#include <cctype>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t kLineBytes = 48;
constexpr std::size_t kLineChars = 65; // 64 characters and "\n"
constexpr std::size_t kBatchLines = 64;

} // namespace

struct QELArmorWriter {
    QELPipeModule head;
    QELPipeModule *downstream;
    const QELFifoDescriptor *fifoKind;
    QELFifo *input;
    QELFifo *output;
    QELContext *context;
    std::uint32_t crc;
    std::uint64_t linesPerPart;
    std::uint64_t linesInPart;
    std::uint64_t partNumber;
    std::int64_t totalParts;
    std::uint64_t encoded; // input bytes taken into the encoder
    std::int32_t depth;
    std::uint8_t group[kLineBytes];
    std::uint8_t groupCount;
    char batch[kLineChars * kBatchLines];
    std::size_t batchFill;
    std::size_t batchSent;
    char boundary[49];
    std::uint8_t messageIdWanted;
    std::uint8_t messageIdMade;
    char messageId[33];
    char label[24];
    char *comment;
    char *charset;
    char *versionText;
    std::uint64_t mimeHeaderLength;
    std::uint32_t mimeHeaderLines;
    std::int32_t packetVersion;
    std::int32_t kind;
    std::uint8_t textMode;
    std::uint8_t finished;
    std::uint8_t mimeMode;
    std::uint8_t mimeVersionHeader;
    std::uint8_t headerWritten;
    std::uint8_t footerWritten;
    std::uint8_t anyHeaderWritten;
    std::uint8_t inputState;
    std::uint8_t pemMode;
    std::uint8_t lineState;
    std::uint8_t held; // characters of "From " matched at a line start (kind 10)
};

namespace {

QELArmorWriter *self(QELPipeModule *m) { return qelPipeModuleState<QELArmorWriter>(m); }

char *dupString(QELContext *context, const char *s)
{
    if (s == nullptr)
        return nullptr;
    const std::size_t n = std::strlen(s);
    auto *p = static_cast<char *>(qelMemAlloc(qelContextMemoryMgr(context), n + 1, 0));
    if (p != nullptr)
        std::memcpy(p, s, n + 1);
    return p;
}

void freeString(char *&s)
{
    if (s != nullptr) {
        qelSecureWipe(s, std::strlen(s));
        static_cast<void>(qelMemFree(s));
    }
    s = nullptr;
}

// Sends the batched lines; what the downstream has not taken stays queued.
QELStatus sendLines(QELArmorWriter *w)
{
    while (w->batchSent < w->batchFill) {
        QELStatus status = 0;
        const std::uint64_t taken = qelPipeWrite(w->downstream, reinterpret_cast<std::uint8_t *>(w->batch) + w->batchSent,
                                                 w->batchFill - w->batchSent, &status);
        w->batchSent += taken;
        if (status != 0)
            return status;
        if (taken == 0)
            return QELError_WriteFailed;
    }
    w->batchFill = w->batchSent = 0;
    return 0;
}

QELStatus sendOutput(QELArmorWriter *w)
{
    if (QELStatus s = sendLines(w); s != 0)
        return s;
    for (;;) {
        QELStatus status = 0;
        std::uint64_t available = 0;
        const std::uint8_t *p = w->fifoKind->peek(w->output, &available, &status);
        if (status != 0)
            return status;
        if (p == nullptr)
            return 0;
        const std::uint64_t taken = qelPipeWrite(w->downstream, p, available, &status);
        w->fifoKind->skip(w->output, taken);
        if (status != 0)
            return status;
        if (taken == 0)
            return QELError_WriteFailed;
    }
}

// Queues text behind the lines already encoded.
QELStatus emit(QELArmorWriter *w, const char *text, std::size_t n)
{
    if (QELStatus s = sendLines(w); s != 0)
        return s;
    QELStatus status = 0;
    const std::uint64_t put = w->fifoKind->write(w->output, text, n, &status);
    if (status != 0)
        return status;
    return put == n ? 0 : QELError_OutOfMemory;
}

QELStatus emit(QELArmorWriter *w, const char *text) { return emit(w, text, std::strlen(text)); }

void chooseLabel(QELArmorWriter *w, std::uint8_t first)
{
    if (w->label[0] != 0)
        return;
    const unsigned tag = (first & 0xC0) == 0x80 ? (first >> 2) & 0x0F : first & 0x3F;
    const char *label = tag == 6 ? "PUBLIC KEY BLOCK" : tag == 5 ? "PRIVATE KEY BLOCK" : "MESSAGE";
    std::snprintf(w->label, sizeof w->label, "%s", label);
}

// ", PART nn" and "/tt" as the numbering asks.
QELStatus emitPartSuffix(QELArmorWriter *w)
{
    if (w->totalParts == 0)
        return 0;
    char text[64];
    int n = std::snprintf(text, sizeof text, ", PART %02u", static_cast<unsigned>(w->partNumber));
    if (w->packetVersion < 4 || w->totalParts == static_cast<std::int64_t>(w->partNumber))
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "/%02u",
                           static_cast<unsigned>(w->totalParts));
    return emit(w, text, static_cast<std::size_t>(n));
}

void makeMessageId(QELArmorWriter *w)
{
    w->messageIdMade = 1;
    w->messageId[0] = 0;
    const QELHashDescriptor *sha1 = qelHashDescriptorFind(QELHashAlgorithm_SHA1);
    if (sha1 == nullptr)
        return;
    qel::WipedBuffer<std::uint8_t> state;
    if (!state.reset(qelContextMemoryMgr(w->context), sha1->stateSize))
        return;
    sha1->init(state.get());
    sha1->update(state.get(), w->group, w->groupCount);
    std::uint8_t id[24] = {};
    std::memcpy(id, sha1->final(state.get()), 20);
    w->messageId[qelBase64Encode(id, sizeof id, w->messageId)] = 0;
}

constexpr char kMimeEncryptedHeader[] =
    "Content-Type: multipart/encrypted; boundary=\"=--\";\n protocol=\"application/qel-encrypted\"\n\n";
constexpr char kMimeEncryptedParts[] = "--=--\nContent-Type: application/qel-encrypted\n\nVersion: 1\n\n--=--\n"
                                       "Content-Type: application/octet-stream\n\n";

QELStatus writeHeader(QELArmorWriter *w)
{
    QELStatus s = 0;
    if (w->label[0] == 0)
        std::snprintf(w->label, sizeof w->label, "%s", "MESSAGE"); // no input: nothing to choose from
    if (w->mimeMode == 2 && !w->anyHeaderWritten) {
        if (w->mimeVersionHeader)
            s = emit(w, "Mime-Version: 1.0\n");
        if (s == 0)
            s = emit(w, kMimeEncryptedHeader);
        if (s == 0)
            s = emit(w, kMimeEncryptedParts);
        w->mimeHeaderLength = (w->mimeVersionHeader ? 18 : 0) + sizeof kMimeEncryptedHeader - 1;
        w->mimeHeaderLines = (w->mimeVersionHeader ? 1 : 0) + 3;
    }
    if (w->pemMode) {
        if (s == 0)
            s = emit(w, "-----BEGIN ");
        if (s == 0)
            s = emit(w, w->label);
        if (s == 0)
            s = emit(w, "-----\n");
    } else {
        if (s == 0)
            s = emit(w, "-----BEGIN QEL ");
        if (s == 0)
            s = emit(w, w->label);
        if (s == 0)
            s = emitPartSuffix(w);
        if (s == 0)
            s = emit(w, "-----\nVersion: ");
        if (s == 0)
            s = emit(w, w->versionText != nullptr ? w->versionText : QELArmorDefaultVersionText);
        if (s == 0 && w->messageIdWanted && w->totalParts != 0) {
            if (!w->messageIdMade)
                makeMessageId(w);
            s = emit(w, "\nMessageID: ");
            if (s == 0)
                s = emit(w, w->messageId);
        }
        if (s == 0 && w->comment != nullptr && w->comment[0] != 0) {
            s = emit(w, "\nComment: ");
            if (s == 0)
                s = emit(w, w->comment);
        }
        if (s == 0 && w->charset != nullptr) {
            s = emit(w, "\nCharset: ");
            if (s == 0)
                s = emit(w, w->charset);
        }
        if (s == 0)
            s = emit(w, "\n\n");
    }
    if (s == 0)
        w->headerWritten = w->anyHeaderWritten = 1;
    return s;
}

QELStatus writeFooter(QELArmorWriter *w)
{
    QELStatus s = 0;
    if (w->pemMode) {
        s = emit(w, "-----END ");
        if (s == 0)
            s = emit(w, w->label);
        if (s == 0)
            s = emit(w, "-----\n");
    } else {
        const std::uint8_t crc[3] = {static_cast<std::uint8_t>(w->crc >> 16), static_cast<std::uint8_t>(w->crc >> 8),
                                     static_cast<std::uint8_t>(w->crc)};
        char text[6] = {'='};
        qelBase64Encode(crc, 3, text + 1);
        s = emit(w, text, 5);
        if (s == 0)
            s = emit(w, "\n-----END QEL ");
        if (s == 0)
            s = emit(w, w->label);
        if (s == 0)
            s = emitPartSuffix(w);
        if (s == 0)
            s = emit(w, "-----\n");
        if (s == 0 && w->mimeMode != 0) {
            s = emit(w, "\n--");
            if (s == 0)
                s = emit(w, w->mimeMode == 2 ? "=--" : w->boundary);
            if (s == 0)
                s = emit(w, "--\n");
        }
    }
    if (s == 0) {
        w->footerWritten = 1;
        w->crc = QELArmorCrc24Init;
    }
    return s;
}

// Encodes `lines` whole lines from bytes into the batch (sending the batch
// whenever it fills).
QELStatus encodeLines(QELArmorWriter *w, const std::uint8_t *bytes, std::size_t lines)
{
    if (w->fifoKind->size(w->output) != 0)
        if (QELStatus s = sendOutput(w); s != 0)
            return s;
    while (lines != 0) {
        if (w->batchFill + kLineChars > sizeof w->batch)
            if (QELStatus s = sendLines(w); s != 0)
                return s;
        std::size_t room = (sizeof w->batch - w->batchFill) / kLineChars;
        const std::size_t n = room < lines ? room : lines;
        w->crc = qelArmorCrc24(w->crc, bytes, n * kLineBytes);
        char *out = w->batch + w->batchFill;
        for (std::size_t i = 0; i < n; ++i) {
            qelBase64Encode(bytes, kLineBytes, out);
            out[64] = '\n';
            out += kLineChars;
            bytes += kLineBytes;
        }
        w->batchFill += n * kLineChars;
        w->linesInPart += n;
        lines -= n;
    }
    return 0;
}

// The group as the part's last, possibly short, line.
QELStatus encodeGroup(QELArmorWriter *w)
{
    if (w->groupCount == kLineBytes) {
        w->groupCount = 0;
        return encodeLines(w, w->group, 1);
    }
    if (w->groupCount == 0)
        return 0;
    if (w->fifoKind->size(w->output) != 0)
        if (QELStatus s = sendOutput(w); s != 0)
            return s;
    if (w->batchFill + kLineChars > sizeof w->batch)
        if (QELStatus s = sendLines(w); s != 0)
            return s;
    w->crc = qelArmorCrc24(w->crc, w->group, w->groupCount);
    const std::size_t n = qelBase64Encode(w->group, w->groupCount, w->batch + w->batchFill);
    w->batch[w->batchFill + n] = '\n';
    w->batchFill += n + 1;
    w->linesInPart += 1;
    w->groupCount = 0;
    return 0;
}

QELStatus beginPart(QELArmorWriter *w)
{
    if (w->packetVersion >= 4 && w->totalParts == 0 && w->inputState == 0)
        w->totalParts = -1;
    QELStatus s = 0;
    if (w->partNumber > 0) {
        if (!w->footerWritten)
            s = writeFooter(w);
        if (s == 0)
            s = sendOutput(w);
        if (s == 0)
            s = qelPipeExpectBytes(w->downstream, 0);
        if (s == 0)
            s = qelPipeAnnotate(w->downstream, w, QELAnnotation_EndArmorPart, nullptr, 0);
        if (s != 0)
            return s;
    } else if (QELStatus t = sendLines(w); t != 0) {
        return t;
    }
    std::uint64_t number = w->partNumber + 1;
    s = qelPipeAnnotate(w->downstream, w, QELAnnotation_BeginArmorPart, &number, sizeof number);
    if (s != 0)
        return s;
    w->partNumber = number;
    w->headerWritten = w->footerWritten = 0;
    w->linesInPart = 0;
    return writeHeader(w);
}

bool partFull(const QELArmorWriter *w)
{
    return w->linesPerPart > 0 && (w->partNumber == 0 || w->linesInPart >= w->linesPerPart);
}

// Takes input into the encoder; returns the bytes taken (all of them unless
// a failure is reported).
std::uint64_t encodeInput(QELArmorWriter *w, const std::uint8_t *bytes, std::uint64_t n, QELStatus *status)
{
    std::uint64_t done = 0;
    while (done < n) {
        // Bulk: whole lines straight from the input.
        if (w->groupCount == 0 && w->headerWritten && n - done >= kLineBytes && !partFull(w)) {
            std::uint64_t lines = (n - done) / kLineBytes;
            if (w->linesPerPart > 0 && lines > w->linesPerPart - w->linesInPart)
                lines = w->linesPerPart - w->linesInPart;
            if (QELStatus s = encodeLines(w, bytes + done, lines); s != 0) {
                *status = s;
                return done;
            }
            w->encoded += lines * kLineBytes;
            done += lines * kLineBytes;
            continue;
        }
        std::uint64_t k = kLineBytes - w->groupCount;
        if (k > n - done)
            k = n - done;
        std::memcpy(w->group + w->groupCount, bytes + done, k);
        w->groupCount = static_cast<std::uint8_t>(w->groupCount + k);
        w->encoded += k;
        done += k;
        chooseLabel(w, w->group[0]);
        QELStatus s = 0;
        if (partFull(w))
            s = beginPart(w);
        if (s == 0 && w->groupCount == kLineBytes) {
            if (!w->headerWritten)
                s = writeHeader(w);
            if (s == 0)
                s = encodeGroup(w);
        }
        if (s != 0) {
            *status = s;
            return done;
        }
    }
    return done;
}

// Moves held input into the encoder, as far as the numbering allows.
QELStatus drainInput(QELArmorWriter *w)
{
    for (;;) {
        const std::uint64_t size = w->fifoKind->size(w->input);
        if (size == 0)
            return 0;
        if (w->packetVersion >= 4 && w->linesPerPart > 0 && w->inputState != 2) {
            const std::uint64_t need =
                (partFull(w) ? w->linesPerPart : w->linesPerPart - w->linesInPart) * kLineBytes;
            if (size < need)
                return 0;
        }
        QELStatus status = 0;
        std::uint64_t available = 0;
        const std::uint8_t *p = w->fifoKind->peek(w->input, &available, &status);
        if (status != 0)
            return status;
        if (p == nullptr)
            return 0;
        // One part's worth at a time, so the stop rule is checked again.
        if (w->linesPerPart > 0 && w->packetVersion >= 4) {
            const std::uint64_t part = w->linesPerPart * kLineBytes;
            if (available > part)
                available = part;
        }
        const std::uint64_t taken = encodeInput(w, p, available, &status);
        w->fifoKind->skip(w->input, taken);
        if (status != 0)
            return status;
    }
}

QELStatus hold(QELArmorWriter *w, const std::uint8_t *bytes, std::uint64_t n)
{
    QELStatus status = 0;
    const std::uint64_t put = w->fifoKind->write(w->input, bytes, n, &status);
    if (status != 0)
        return status;
    return put == n ? 0 : QELError_OutOfMemory;
}

// Clear-signed text: dash escaping of lines that begin with "-" or "From ".
std::uint64_t writeClearText(QELArmorWriter *w, const std::uint8_t *bytes, std::uint64_t n, QELStatus *status)
{
    static constexpr char kFrom[] = "From ";
    std::uint64_t i = 0;
    auto fail = [&](QELStatus s) {
        *status = s;
        return i;
    };
    while (i < n) {
        if (w->lineState == 2) {
            w->lineState = 0;
            if (bytes[i] == '\n') {
                std::uint64_t taken = 0;
                if (QELStatus s = qelPipeWriteAll(w->downstream, bytes + i, 1, &taken); s != 0)
                    return fail(s);
                ++i;
                continue;
            }
        }
        if (w->lineState == 0) {
            if (w->held == 0 && bytes[i] == '-') {
                if (QELStatus s = emit(w, "- "); s != 0)
                    return fail(s);
            } else {
                while (i < n && w->held < 5 && bytes[i] == static_cast<std::uint8_t>(kFrom[w->held])) {
                    ++w->held;
                    ++i;
                }
                if (w->held < 5 && i == n)
                    return i; // the match ran out of input: keep it held
                QELStatus s = w->held == 5 ? emit(w, "- ") : 0;
                if (s == 0 && w->held != 0)
                    s = emit(w, kFrom, w->held);
                w->held = 0;
                if (s != 0)
                    return fail(s);
            }
            w->lineState = 1;
        }
        if (QELStatus s = sendOutput(w); s != 0)
            return fail(s);
        std::uint64_t end = i;
        while (end < n && bytes[end] != '\r' && bytes[end] != '\n')
            ++end;
        if (end < n) {
            w->lineState = bytes[end] == '\r' ? 2 : 0;
            ++end;
        }
        std::uint64_t taken = 0;
        if (QELStatus s = qelPipeWriteAll(w->downstream, bytes + i, end - i, &taken); s != 0) {
            i += taken;
            return fail(s);
        }
        i = end;
    }
    return i;
}

std::uint64_t armorWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    QELArmorWriter *w = self(m);
    QELStatus local = 0;
    if (status == nullptr)
        status = &local;
    if (w->downstream == nullptr) {
        *status = QELError_BadParams;
        return 0;
    }
    if (w->kind == QELArmorKind_MimeSignedText)
        return qelPipeWrite(w->downstream, bytes, length, status);
    if (w->kind == QELArmorKind_ClearSignedText)
        return writeClearText(w, bytes, length, status);
    if (w->finished) {
        *status = QELError_BadParams;
        return 0;
    }
    if (w->packetVersion <= 3 && w->linesPerPart > 0) {
        if (w->inputState == 0) {
            if (QELStatus s = hold(w, bytes, length); s != 0) {
                *status = s;
                return 0;
            }
            return length;
        }
        if (QELStatus s = drainInput(w); s != 0) {
            *status = s;
            return 0;
        }
        return encodeInput(w, bytes, length, status);
    }
    if (w->linesPerPart == 0 && w->fifoKind->size(w->input) == 0)
        return encodeInput(w, bytes, length, status);
    if (QELStatus s = hold(w, bytes, length); s != 0) {
        *status = s;
        return 0;
    }
    if (QELStatus s = drainInput(w); s != 0)
        *status = s;
    return length;
}

QELStatus armorFlush(QELPipeModule *m)
{
    QELArmorWriter *w = self(m);
    return w->downstream != nullptr ? sendLines(w) : QELError_BadParams;
}

QELStatus armorExpectBytes(QELPipeModule *m, std::uint64_t count)
{
    QELArmorWriter *w = self(m);
    if (w->downstream == nullptr)
        return QELError_BadParams;
    if (w->depth != 0)
        return 0;
    if (w->inputState == 0 && w->linesPerPart > 0) {
        const std::uint64_t total = w->encoded + w->fifoKind->size(w->input) + count;
        const std::uint64_t part = kLineBytes * w->linesPerPart;
        w->totalParts = total < part ? 0 : static_cast<std::int64_t>((total + part - 1) / part);
    }
    if (w->inputState < 1)
        w->inputState = 1;
    if (count > 0)
        return 0;
    w->inputState = 2;
    QELStatus s = 0;
    if (w->kind == QELArmorKind_ClearSignedText) {
        if (w->held != 0)
            s = emit(w, "From ", w->held);
        w->held = 0;
        if (s == 0 && w->lineState == 2) {
            s = emit(w, "\n");
            w->lineState = 0;
        }
    }
    if (s == 0)
        s = drainInput(w);
    if (s == 0 && !w->textMode && !w->finished && !w->headerWritten)
        s = writeHeader(w);
    if (s == 0 && !w->textMode && !w->finished)
        s = encodeGroup(w);
    if (s == 0)
        s = sendOutput(w);
    if (s == 0 && !w->textMode && !w->finished) {
        s = writeFooter(w);
        if (s == 0) {
            w->finished = w->textMode = 1;
            s = sendOutput(w);
        }
    }
    if (s != 0)
        return s;
    return qelPipeExpectBytes(w->downstream, 0);
}

QELStatus armorAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    QELArmorWriter *w = self(m);
    switch (code) {
    case QELAnnotation_QueryMimeHeaderLength:
        if (data != nullptr && length >= sizeof w->mimeHeaderLength)
            std::memcpy(data, &w->mimeHeaderLength, sizeof w->mimeHeaderLength);
        return 0;
    case QELAnnotation_QueryMimeHeaderLines:
        if (data != nullptr && length >= sizeof w->mimeHeaderLines)
            std::memcpy(data, &w->mimeHeaderLines, sizeof w->mimeHeaderLines);
        return 0;
    case QELAnnotation_QueryMimeBoundary: {
        // Only into the caller's buffer, never beyond the length it gave.
        const char *text = w->mimeMode == 2 ? "=--" : w->boundary;
        std::uint64_t n = std::strlen(text) + 1;
        if (n > length)
            n = length;
        if (data != nullptr && n > 0)
            std::memcpy(data, text, n);
        return 0;
    }
    case QELAnnotation_PemCertificate:
    case QELAnnotation_PemCertificateRequest:
    case QELAnnotation_PemPrivateKey:
        w->pemMode = 1;
        std::snprintf(w->label, sizeof w->label, "%s",
                      code == QELAnnotation_PemCertificate          ? "CERTIFICATE"
                      : code == QELAnnotation_PemCertificateRequest ? "CERTIFICATE REQUEST"
                                                                    : "PRIVATE KEY");
        return 0;
    default:
        break;
    }
    if (w->downstream != nullptr) {
        if (QELStatus s = sendLines(w); s != 0)
            return s;
        if (QELStatus s = qelPipeAnnotate(w->downstream, origin, code, data, length); s != 0)
            return s;
    }
    w->depth += qelAnnotationScopeStep(code);
    return 0;
}

QELStatus armorDestroy(QELPipeModule *m)
{
    QELArmorWriter *w = self(m);
    qelPipeDestroy(w->downstream);
    qelFifoDestroy(w->fifoKind, w->input);
    qelFifoDestroy(w->fifoKind, w->output);
    freeString(w->comment);
    freeString(w->charset);
    freeString(w->versionText);
    qelPipeModuleFree(w);
    return 0;
}

constexpr QELPipeOps kArmorOps{armorWrite, armorFlush, armorAnnotate, armorExpectBytes, armorDestroy};

QELStatus writeClearSignedHeader(QELArmorWriter *w, const std::uint8_t *hashIds, std::uint32_t idCount)
{
    QELStatus s = emit(w, "-----BEGIN QEL SIGNED MESSAGE-----");
    if (s == 0 && hashIds != nullptr && idCount > 0 && !(idCount == 1 && hashIds[0] == QELHashAlgorithm_MD5)) {
        bool first = true;
        s = emit(w, "\nHash: ");
        for (std::uint32_t i = 0; s == 0 && i < idCount; ++i) {
            const QELHashDescriptor *d = qelHashDescriptorFind(hashIds[i]);
            if (d == nullptr)
                continue;
            if (!first)
                s = emit(w, ", ");
            if (s == 0)
                s = emit(w, d->name);
            first = false;
        }
    }
    if (s == 0)
        s = emit(w, "\n\n");
    w->headerWritten = 1;
    return s;
}

} // namespace

QELPipeModule **qelArmorWriterCreate(QELContext *context, QELPipeModule **slot, QELArmorWriter **outWriter,
                                     const QELSettings *settings, std::int32_t packetVersion,
                                     const QELFifoDescriptor *fifoKind, QELRandomContext *random,
                                     std::uint64_t linesPerPart, std::int32_t kind, const std::uint8_t *hashIds,
                                     std::uint32_t idCount)
{
    if (slot == nullptr || fifoKind == nullptr)
        return nullptr;
    auto *w = qelPipeModuleNew<QELArmorWriter>(context, QELPipeMagic_ArmorWrite, "ASCII Armor Write Module", kArmorOps);
    if (w == nullptr)
        return nullptr;
    w->fifoKind = fifoKind;
    w->context = context;
    w->input = fifoKind->create(context);
    w->output = fifoKind->create(context);
    bool ok = w->input != nullptr && w->output != nullptr;
    w->crc = QELArmorCrc24Init;
    w->linesPerPart = linesPerPart;
    w->packetVersion = packetVersion;
    if (settings != nullptr) {
        const char *comment = qelSettingsGetString(settings, QELSetting_CommentString, nullptr);
        const char *version = qelSettingsGetString(settings, QELSetting_VersionString, nullptr);
        w->comment = dupString(context, comment);
        w->versionText = dupString(context, version);
        ok = ok && (comment == nullptr || w->comment != nullptr) && (version == nullptr || w->versionText != nullptr);
    }
    w->messageIdWanted = random != nullptr ? 1 : 0;
    switch (kind) {
    case QELArmorKind_ClearSignedText:
    case QELArmorKind_MimeSignedText:
    case QELArmorKind_Signature:
    case QELArmorKind_Message:
    case QELArmorKind_MimeEncrypted:
    case QELArmorKind_MimeSignature:
        w->kind = kind;
        break;
    default:
        w->kind = QELArmorKind_Auto;
        break;
    }
    if (w->kind == QELArmorKind_Signature)
        std::snprintf(w->label, sizeof w->label, "%s", "SIGNATURE");
    if (w->kind == QELArmorKind_Message || w->kind == QELArmorKind_MimeSignature)
        std::snprintf(w->label, sizeof w->label, "%s", "MESSAGE");
    if (w->kind == QELArmorKind_ClearSignedText || w->kind == QELArmorKind_MimeSignedText)
        w->textMode = 1;
    if (w->kind == QELArmorKind_MimeSignedText || w->kind == QELArmorKind_MimeSignature)
        w->mimeMode = 1;
    if (w->kind == QELArmorKind_MimeEncrypted)
        w->mimeMode = 2;
    if (w->kind == QELArmorKind_ClearSignedText || w->kind == QELArmorKind_MimeSignedText ||
        w->kind == QELArmorKind_MimeEncrypted || w->kind == QELArmorKind_MimeSignature)
        w->linesPerPart = 0;
    if (settings != nullptr)
        w->mimeVersionHeader = qelSettingsGetInt(settings, QELSetting_MimeVersionHeader, nullptr, nullptr) != 0;
    if (ok && w->kind == QELArmorKind_ClearSignedText)
        ok = writeClearSignedHeader(w, hashIds, idCount) == 0;
    if (!ok) {
        armorDestroy(&w->head);
        return nullptr;
    }
    if (outWriter != nullptr)
        *outWriter = w;
    return qelPipeModuleLink(slot, &w->head, &w->downstream);
}

QELPipeModule **qelArmorWriterCreateByType(QELContext *context, QELPipeModule **slot, const QELSettings *settings,
                                           const QELFifoDescriptor *fifoKind, QELRandomContext *random,
                                           std::int32_t packetVersion, std::int32_t type)
{
    if (settings == nullptr)
        return nullptr;
    const auto lines =
        static_cast<std::uint64_t>(std::max(0, qelSettingsGetInt(settings, QELSetting_ArmorLinesPerPart, nullptr, nullptr)));
    std::int32_t kind = 0;
    switch (type) {
    case 0:
        if (qelSettingsGetInt(settings, QELSetting_MimeOutput, nullptr, nullptr) != 0) {
            kind = QELArmorKind_MimeEncrypted;
            random = nullptr;
        }
        break;
    case 1:
        kind = QELArmorKind_Signature;
        break;
    case 2:
        kind = QELArmorKind_Message;
        break;
    default:
        return nullptr;
    }
    return qelArmorWriterCreate(context, slot, nullptr, settings, packetVersion, fifoKind, random, lines, kind,
                                nullptr, 0);
}

QELPipeModule **qelArmorClearSignedCreate(QELPipeModule **textSlot, QELPipeModule **signatureSlot,
                                          const QELSettings *settings, const QELFifoDescriptor *fifoKind,
                                          std::int32_t packetVersion, const std::uint8_t *hashIds,
                                          std::uint32_t idCount)
{
    if (textSlot == nullptr || signatureSlot == nullptr || settings == nullptr)
        return nullptr;
    QELContext *context = qelSettingsGetContext(settings);
    QELPipeModule *text = nullptr;
    QELPipeModule **joinSlot = qelArmorWriterCreate(context, &text, nullptr, settings, packetVersion, fifoKind,
                                                    nullptr, 0, QELArmorKind_ClearSignedText, hashIds, idCount);
    if (joinSlot == nullptr)
        return nullptr;
    QELPipeModule **out = qelJoinModuleInsert(context, joinSlot, fifoKind);
    QELPipeModule *sig = nullptr;
    QELArmorWriter *sigWriter = nullptr;
    QELPipeModule **sigDown = out == nullptr ? nullptr
                                             : qelArmorWriterCreate(context, &sig, &sigWriter, settings, packetVersion,
                                                                    fifoKind, nullptr, 0, QELArmorKind_Signature,
                                                                    nullptr, 0);
    QELPipeModule *appendage = sigDown == nullptr ? nullptr : qelJoinAppendageCreate(*joinSlot);
    bool ok = appendage != nullptr;
    if (ok) {
        *sigDown = appendage;
        const char *charset = qelSettingsGetString(settings, QELSetting_Charset, nullptr);
        if (charset != nullptr && std::strcmp(charset, "noconv") != 0) {
            sigWriter->charset = dupString(context, charset);
            ok = sigWriter->charset != nullptr;
        }
        QELStatus held = 0;
        ok = ok && qelJoinModuleHold(appendage, reinterpret_cast<const std::uint8_t *>("\n"), 1, &held) == 1 &&
             held == 0;
    }
    if (!ok) {
        qelPipeDestroy(sig);
        qelPipeDestroy(text);
        return nullptr;
    }
    *textSlot = text;
    *signatureSlot = sig;
    return out;
}

QELPipeModule **qelArmorMimeSignedCreate(QELPipeModule **headSlot, QELPipeModule **signatureSlot,
                                         const QELSettings *settings, const QELFifoDescriptor *fifoKind,
                                         QELRandomContext *random, std::int32_t packetVersion,
                                         const std::uint8_t *hashIds, std::uint32_t idCount)
{
    if (headSlot == nullptr || signatureSlot == nullptr || settings == nullptr || random == nullptr)
        return nullptr;
    QELContext *context = qelSettingsGetContext(settings);
    QELPipeModule *text = nullptr;
    QELArmorWriter *textWriter = nullptr;
    QELPipeModule **down = qelArmorWriterCreate(context, &text, &textWriter, settings, packetVersion, fifoKind,
                                                nullptr, 0, QELArmorKind_MimeSignedText, nullptr, 0);
    if (down == nullptr)
        return nullptr;
    QELPipeModule **splitOut = qelSplitModuleCreate(context, down);
    QELPipeModule **second = splitOut == nullptr ? nullptr : qelSplitAddOutput(*down);
    QELPipeModule **out = second == nullptr ? nullptr : qelJoinModuleInsert(context, splitOut, fifoKind);
    QELPipeModule *sig = nullptr;
    QELArmorWriter *sigWriter = nullptr;
    QELPipeModule **sigDown = out == nullptr ? nullptr
                                             : qelArmorWriterCreate(context, &sig, &sigWriter, settings, packetVersion,
                                                                    fifoKind, random, 0, QELArmorKind_MimeSignature,
                                                                    nullptr, 0);
    std::uint8_t bits[6];
    QELPipeModule *appendage = sigDown == nullptr || qelRandomGetBytes(random, bits, sizeof bits) != 0
                                   ? nullptr
                                   : qelJoinAppendageCreate(*splitOut);
    if (appendage == nullptr) {
        qelPipeDestroy(sig);
        qelPipeDestroy(text);
        return nullptr;
    }
    *sigDown = appendage;
    for (int i = 0; i < 48; ++i)
        sigWriter->boundary[i] = (bits[i / 8] >> (i & 7)) & 1 ? '-' : '=';
    sigWriter->boundary[48] = 0;
    std::memcpy(textWriter->boundary, sigWriter->boundary, sizeof textWriter->boundary);
    std::string header;
    if (textWriter->mimeVersionHeader)
        header += "Mime-Version: 1.0\n";
    header += "Content-Type: multipart/signed;\n boundary=\"";
    header += sigWriter->boundary;
    header += "\";\n protocol=\"application/qel-signature\"; ";
    auto micalg = [&](const char *name) {
        header += "micalg=qel-";
        for (const char *c = name; *c; ++c)
            header += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    };
    bool any = false;
    for (std::uint32_t i = 0; hashIds != nullptr && i < idCount; ++i) {
        if (const QELHashDescriptor *d = qelHashDescriptorFind(hashIds[i]); d != nullptr) {
            if (any)
                header += ";";
            micalg(d->name);
            any = true;
        }
    }
    if (!any) {
        const QELHashDescriptor *md5 = qelHashDescriptorFind(QELHashAlgorithm_MD5);
        micalg(md5 != nullptr ? md5->name : "MD5");
    }
    header += "\n\n";
    textWriter->mimeHeaderLength = header.size();
    textWriter->mimeHeaderLines = textWriter->mimeVersionHeader ? 5 : 4;
    header += "--";
    header += sigWriter->boundary;
    header += "\n";
    const std::string sigHeader =
        std::string("\n--") + sigWriter->boundary + "\nContent-Type: application/qel-signature\n\n";
    QELStatus s1 = 0, s2 = 0;
    const bool held =
        qelJoinModuleHold(*splitOut, reinterpret_cast<const std::uint8_t *>(header.data()), header.size(), &s1) ==
            header.size() &&
        s1 == 0 &&
        qelJoinModuleHold(appendage, reinterpret_cast<const std::uint8_t *>(sigHeader.data()), sigHeader.size(),
                         &s2) == sigHeader.size() &&
        s2 == 0;
    if (!held) {
        qelPipeDestroy(sig);
        qelPipeDestroy(text);
        return nullptr;
    }
    // The signing chain the caller built hashes the text beside the Join.
    *second = *headSlot;
    *headSlot = text;
    *signatureSlot = sig;
    return out;
}
