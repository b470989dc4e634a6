// The decode job behind qelDecode. The chain ends in the Simple Annotation
// Reader, which asks the job (through QELDecodeCallbacks) for replies,
// session keys, signature verdicts, detached data and outputs. Each output
// the job opens sits behind a small counting module the job puts in the
// reader's slot: it bounds how much content a run may write (a
// decompression bomb stops with its own status) and lets one output serve
// every piece of content when the options chose it.
#include "qelDecode.h"

#include "qelAnnotationReaderInternal.h"
#include "qelArmorParserInternal.h"
#include "qelByteFifoInternal.h"
#include "qelContextInternal.h"
#include "qelDecodeJobInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelEventInternal.h"
#include "qelFileOpenInternal.h"
#include "qelHelpers.h"
#include "qelJobIOInternal.h"
#include "qelJobReadInputInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeyObjInternal.h"
#include "qelOptionListInternal.h"
#include "qelPemDecoderInternal.h"
#include "qelSessionKeyItemInternal.h"
#include "qelSettingsInternal.h"
#include "qelSigItemInternal.h"
#include "qelTextFilterModuleInternal.h"
#include "qelVarMemoryModuleInternal.h"
#include "qelWipe.h"

#include "qelEnumeratedSet.h"
#include "qelKeyDB.h"
#include "qelKeyDBChange.h"
#include "qelKeyID.h"
#include "qelKeyIter.h"
#include "qelKeyObj.h"
#include "qelKeyProperty.h"
#include "qelKeySet.h"
#include "qelKeySig.h"
#include "qelMemory.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <vector>

QELDecodeJobSeams &qelDecodeJobSeams()
{
    static QELDecodeJobSeams seams{};
    return seams;
}

std::uint64_t qelDecodeDerElementLength(const std::uint8_t *bytes, std::uint64_t length)
{
    qel::ByteCursor in(bytes, static_cast<std::size_t>(length));
    std::uint8_t tag = 0, first = 0;
    if (!in.u8(tag) || !in.u8(first) || (tag & 0x1F) == 0x1F)
        return 0;
    std::uint64_t body = first;
    if (first & 0x80) {
        const std::uint8_t count = first & 0x7F;
        if (count == 0 || count > 8)
            return 0; // indefinite, or longer than any input
        body = 0;
        for (std::uint8_t i = 0; i < count; ++i) {
            std::uint8_t b = 0;
            if (!in.u8(b))
                return 0;
            body = body << 8 | b;
        }
    }
    const std::uint64_t header = length - in.remaining();
    return body <= in.remaining() ? header + body : 0;
}

namespace {

// In front of the armor parser: the input's own begin and end scopes stay
// out of the parser, which finds a binary packet stream only outside every
// scope.
struct InputGate {
    QELPipeModule head;
    QELPipeModule *downstream;
};

QELPipeModule *gateNext(QELPipeModule *m) { return qelPipeModuleState<InputGate>(m)->downstream; }

std::uint64_t gateWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    return qelPipeWrite(gateNext(m), bytes, length, status);
}
QELStatus gateFlush(QELPipeModule *m) { return qelPipeFlush(gateNext(m)); }
QELStatus gateAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    if (code == QELAnnotation_BeginInput || code == QELAnnotation_EndInput)
        return 0;
    return qelPipeAnnotate(gateNext(m), origin, code, data, length);
}
QELStatus gateExpectBytes(QELPipeModule *m, std::uint64_t count) { return qelPipeExpectBytes(gateNext(m), count); }
QELStatus gateDestroy(QELPipeModule *m)
{
    auto *gate = qelPipeModuleState<InputGate>(m);
    qelPipeDestroy(gate->downstream);
    qelPipeModuleFree(gate);
    return 0;
}
constexpr QELPipeOps kGateOps{gateWrite, gateFlush, gateAnnotate, gateExpectBytes, gateDestroy};

} // namespace

QELPipeModule **qelDecodeChainBuild(QELContext *context, QELPipeModule **head, QELSettings *settings,
                                    const QELFifoDescriptor *fifoKind, const QELDecodeCallbacks *callbacks,
                                    void *callbackData)
{
    if (head == nullptr)
        return nullptr;
    auto *gate = qelPipeModuleNew<InputGate>(context, QELPipeMagic_Copy, "Decode Input Gate", kGateOps);
    if (gate == nullptr)
        return nullptr;
    head = qelPipeModuleLink(head, &gate->head, &gate->downstream);
    QELPipeModule **slot = qelArmorParserCreate(context, head, settings,
                                                fifoKind != nullptr ? fifoKind : qelByteFifoDescriptor(), callbacks,
                                                callbackData);
    if (slot == nullptr)
        return nullptr;
    return qelAnnotationReaderCreate(context, slot, settings, callbacks, callbackData);
}

namespace {

constexpr std::int32_t kAccepted[] = {
    QELOption_InputFile,      QELOption_InputBuffer,    QELOption_OutputFile,       QELOption_OutputBuffer,
    QELOption_OutputAllocatedBuffer, QELOption_AppendOutput, QELOption_DiscardOutput, QELOption_LineEndFlags,
    QELOption_Passphrase,     QELOption_Passkey,        QELOption_CachePassphrase,  QELOption_SessionKey,
    QELOption_DetachedSignature, QELOption_MinKeySize,  QELOption_WarnKeySize,      QELOption_OutputLineEnd,
    QELOption_EventHandler,   QELOption_SendProgress,   QELOption_KeyDB,            QELOption_SendKeysFound,
    QELOption_StopAfterHeader, QELOption_Kind42,        QELOption_Kind62,           QELOption_Kind63,
    QELOption_TargetKeyDB,    QELOption_Kind41,         QELOption_InputFormat,      QELOption_Kind26,
    QELOption_TextMode,       QELOption_DecompressionLimit,
};

struct DecodeJob;

// ---- the counting module in front of each output ---------------------------
struct Tap {
    QELPipeModule head;
    QELPipeModule *downstream; // unused: the output belongs to the job
    DecodeJob *job;
};

QELStatus countOutput(DecodeJob &job, std::uint64_t bytes);
QELPipeModule *currentSink(DecodeJob &job);

std::uint64_t tapWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    DecodeJob &job = *qelPipeModuleState<Tap>(m)->job;
    QELPipeModule *sink = currentSink(job);
    QELStatus s = sink != nullptr ? 0 : QELError_BadParams;
    std::uint64_t taken = 0;
    if (s == 0)
        taken = qelPipeWrite(sink, bytes, length, &s);
    if (s == 0)
        s = countOutput(job, taken);
    if (s != 0 && status != nullptr)
        *status = s;
    return taken;
}

QELStatus tapFlush(QELPipeModule *m)
{
    QELPipeModule *sink = currentSink(*qelPipeModuleState<Tap>(m)->job);
    return sink != nullptr ? qelPipeFlush(sink) : 0;
}

QELStatus tapAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    QELPipeModule *sink = currentSink(*qelPipeModuleState<Tap>(m)->job);
    return sink != nullptr ? qelPipeAnnotate(sink, origin, code, data, length) : 0;
}

// The end of one piece of content is not the end of the output: the job
// finishes its outputs itself.
QELStatus tapExpectBytes(QELPipeModule *, std::uint64_t) { return 0; }

QELStatus tapDestroy(QELPipeModule *m)
{
    qelPipeModuleFree(qelPipeModuleState<Tap>(m));
    return 0;
}

constexpr QELPipeOps kTapOps{tapWrite, tapFlush, tapAnnotate, tapExpectBytes, tapDestroy};

// ---- the job ------------------------------------------------------------------

struct KeySetRelease {
    void operator()(QELKeySet *set) const
    {
        if (set != nullptr)
            (void)qelKeySetRelease(set);
    }
};
using OwnedSet = std::unique_ptr<QELKeySet, KeySetRelease>;

struct DecodeJob {
    QELContext *context = nullptr;
    QELOptionList *options = nullptr;
    QELOptionList *reply = nullptr; // the last event's answer
    QELDecodeCallbacks callbacks{};
    QELSettings *settings = nullptr;
    QELPipeModule *head = nullptr;
    QELEventHandler handler = nullptr;
    void *userValue = nullptr;
    bool progress = false;
    QELJobInput input;
    bool detachedTaken = false;

    // Output.
    bool outputGiven = false;
    bool append = false;
    std::int32_t lineEnd = QELLineEnd_LF;
    QELPipeModule *sink = nullptr;     // the current output chain, the job's
    std::unique_ptr<QELJobOutput> output;
    QELPipeModule *diverted = nullptr; // key material or discarded text, instead of `sink`
    bool keyMaterial = false;

    // Bounds.
    std::uint64_t inputDone = 0;
    std::uint64_t written = 0;
    std::uint64_t limit = 0;
    bool limitSet = false; // else the default rule

    // Keys and secrets.
    QELKeyDB *searchDB = nullptr;
    QELKeyDB *offeredDB = nullptr;     // from the answer to a Signature event
    QELKeyDB *importDB = nullptr;      // option 33
    bool reportKeys = false;
    QELJobPassphrase passphrase;
    bool skipped = false;              // encrypted data no key opened

    // Analysis.
    std::int32_t state = 1;
    bool endPending = false;
    std::int32_t kind = 0;
    std::int32_t sections = 0;
    std::int32_t depth = 0;
    std::int32_t sectionDepth = 0;
    std::uint64_t value = 0;
    std::uint8_t format = 0;
    bool stopAfterFirst = false;
    bool decodePlainText = false;
    std::int32_t textMode = -1; // -1: the literal's own format

    // Text lines (options 41, 62, 63): the armor parser's own lines of the
    // blocks it echoes, kept until an output opens and then written into it
    // in place of the content parsed from them.
    QELFifo *textLines = nullptr;
    bool textSeen = false;
    bool parseArmoredLiteral = false;

    ~DecodeJob()
    {
        if (head != nullptr)
            qelPipeDestroy(head);
        if (diverted != nullptr)
            qelPipeDestroy(diverted);
        if (sink != nullptr)
            qelPipeDestroy(sink);
        qelOptionListFreeAndClear(&reply);
        if (settings != nullptr)
            qelSettingsFree(settings);
        if (textLines != nullptr)
            qelFifoDestroy(qelByteFifoDescriptor(), textLines);
    }
};

QELPipeModule *currentSink(DecodeJob &job) { return job.diverted != nullptr ? job.diverted : job.sink; }

QELStatus countOutput(DecodeJob &job, std::uint64_t bytes)
{
    if (job.diverted != nullptr)
        return 0;
    job.written += bytes;
    if (job.limitSet)
        return job.written > job.limit ? QELError_DecompressionLimit : 0;
    const bool bomb = job.written > QELDecodeDefaultOutputFloor &&
                      job.written / QELDecodeDefaultOutputRatio > job.inputDone;
    return bomb ? QELError_DecompressionLimit : 0;
}

// Every event's answer is kept until the next event, then freed.
template <typename Send>
std::int32_t event(DecodeJob &job, Send &&send)
{
    qelOptionListFreeAndClear(&job.reply);
    return send(&job.reply);
}

// Asks the handler for a passphrase (for the locked keys, or for
// conventional encryption) and takes it from the answer.
QELStatus askPassphrase(DecodeJob &job, bool conventional, QELKeySet *locked)
{
    const QELStatus s = event(job, [&](QELEventReplyOut r) {
        return qelEventSendPassphrase(job.context, r, job.handler, job.userValue, conventional, locked);
    });
    return s != 0 ? s : qelJobGetPassphrase(job.context, job.reply, job.passphrase);
}

QELStatus progressProc(void *data, std::uint64_t done, std::uint64_t total)
{
    auto &job = *static_cast<DecodeJob *>(data);
    job.inputDone = done;
    if (!job.progress)
        return 0;
    return event(job, [&](QELEventReplyOut r) {
        return qelEventSendProgress(job.context, r, job.handler, job.userValue, done, total);
    });
}

// ---- outputs ------------------------------------------------------------------

// Ends the current output: on success its last bytes are written and a
// memory output is checked or handed over; a file this run made is deleted
// on failure. Returns the job's status.
QELStatus finishOutput(DecodeJob &job, QELStatus status)
{
    if (job.sink == nullptr)
        return status;
    if (status == 0)
        status = qelPipeExpectBytes(job.sink, 0);
    if (status == 0)
        status = qelJobFinishMemoryOutput(job.sink, *job.output);
    qelPipeDestroy(job.sink);
    job.sink = nullptr;
    status = qelJobCommitOutput(*job.output, status);
    job.output.reset();
    return status;
}

QELStatus endDiversion(DecodeJob &job)
{
    if (job.diverted != nullptr)
        qelPipeDestroy(job.diverted);
    job.diverted = nullptr;
    job.keyMaterial = false;
    return 0;
}

QELStatus openSink(DecodeJob &job, QELOptionList *choice, bool text, bool secure)
{
    job.output = std::make_unique<QELJobOutput>();
    QELPipeModule **slot = &job.sink;
    if (text) {
        const auto *table = static_cast<const std::uint8_t *>(
            qelSettingsGetPointer(job.settings, QELSetting_CharsetDecodeTable, nullptr));
        if (table != nullptr && (slot = qelTextFilterModuleCreate(job.context, slot, table, false, job.lineEnd)) ==
                                    nullptr)
            return QELError_OutOfMemory;
    }
    std::int32_t flags = 0;
    QELStatus s = qelJobIntOption(choice, QELOption_LineEndFlags, 0, &flags);
    if (s != 0)
        return s;
    job.output->extraOpenFlags = qelJobLineEndOpenFlags(flags);
    // Created outputs are private to their owner, text or not.
    return qelJobOpenOutput(job.context, choice, slot, job.append, QELFileClass_EncodeOutput, secure, *job.output);
}

QELStatus putTap(DecodeJob &job, QELPipeModule **slot)
{
    qelPipeDestroy(*slot);
    *slot = nullptr;
    auto *tap = qelPipeModuleNew<Tap>(job.context, QELPipeMagic_Copy, "Decode Output Tap", kTapOps);
    if (tap == nullptr)
        return QELError_OutOfMemory;
    tap->job = &job;
    (void)qelPipeModuleLink(slot, &tap->head, &tap->downstream);
    return 0;
}

// A text line goes straight into the output while the content is diverted
// from it, else it waits for the next output.
QELStatus keepTextLine(DecodeJob &job, const void *line, std::uint64_t length)
{
    if (job.textLines == nullptr || line == nullptr || length == 0)
        return 0; // the parsers' own word that a signature is detached
    job.textSeen = true;
    if (job.diverted != nullptr && job.sink != nullptr) {
        std::uint64_t taken = 0;
        return qelPipeWriteAll(job.sink, static_cast<const std::uint8_t *>(line), length, &taken);
    }
    QELStatus s = 0;
    const std::uint64_t kept = qelByteFifoDescriptor()->write(job.textLines, line, length, &s);
    return s != 0 ? s : kept < length ? QELError_OutOfMemory : 0;
}

// The text lines kept so far, into the output.
QELStatus writeTextLines(DecodeJob &job)
{
    if (job.textLines == nullptr || job.sink == nullptr)
        return 0;
    const QELFifoDescriptor *fifo = qelByteFifoDescriptor();
    for (;;) {
        std::uint64_t available = 0;
        QELStatus s = 0;
        const std::uint8_t *bytes = fifo->peek(job.textLines, &available, &s);
        if (s != 0)
            return s;
        if (bytes == nullptr || available == 0)
            return 0;
        std::uint64_t taken = 0;
        if ((s = qelPipeWriteAll(job.sink, bytes, available, &taken)) != 0)
            return s;
        fifo->skip(job.textLines, available);
    }
}

// Once text lines were seen, the output gets them instead of the content
// parsed from them: the lines kept so far go in, and the content is
// diverted (key material into memory for its import, all else dropped).
QELStatus divertAfterTextLines(DecodeJob &job, std::int32_t type, QELPipeModule **slot)
{
    if (!job.textSeen)
        return putTap(job, slot);
    QELStatus s = writeTextLines(job);
    if (s != 0)
        return s;
    const bool keys = type == QELAnnotation_BeginKeyMaterial;
    if ((keys ? qelVarMemoryModuleCreatePlain(job.context, &job.diverted, QELDecodeKeyMaterialLimit)
              : qelDevNullModuleCreate(job.context, &job.diverted)) == nullptr)
        return QELError_OutOfMemory;
    job.keyMaterial = keys;
    return putTap(job, slot);
}

QELStatus openOutput(void *data, QELPipeModule **slot, std::int32_t type, const char *name)
{
    auto &job = *static_cast<DecodeJob *>(data);
    if (job.textMode >= 0 && (type == 'b' || type == 't'))
        type = job.textMode != 0 ? 't' : 'b';
    QELStatus s = endDiversion(job);
    if (s != 0)
        return s;
    if (type == QELAnnotation_BeginKeyMaterial && !job.textSeen) {
        // Key material waits in memory for its import, within a bound.
        if (qelVarMemoryModuleCreatePlain(job.context, &job.diverted, QELDecodeKeyMaterialLimit) == nullptr)
            return QELError_OutOfMemory;
        job.keyMaterial = true;
        return putTap(job, slot);
    }
    if (type == QELAnnotation_BeginPlainText && !job.decodePlainText) {
        if (qelDevNullModuleCreate(job.context, &job.diverted) == nullptr)
            return QELError_OutOfMemory;
        return putTap(job, slot);
    }
    const bool text = type == 't' || type == QELAnnotation_BeginPlainText;
    if (job.outputGiven) {
        if (job.sink == nullptr && (s = openSink(job, job.options, text, false)) != 0)
            return s;
        return divertAfterTextLines(job, type, slot);
    }
    if ((s = finishOutput(job, 0)) != 0)
        return s;
    bool forYourEyesOnly = false;
    if (name != nullptr && std::strcmp(name, "_CONSOLE") == 0) {
        name = nullptr;
        forYourEyesOnly = true;
    } else if (name != nullptr && name[0] == 0) {
        name = nullptr;
    }
    s = event(job, [&](QELEventReplyOut r) {
        return qelEventSendOutput(job.context, r, job.handler, job.userValue, type, name, forYourEyesOnly);
    });
    if (s != 0)
        return s;
    QELJobOutputKind chosen{};
    if ((s = qelJobOutputChoice(job.reply, &chosen)) != 0)
        return s;
    if (chosen == QELJobOutputKind::None)
        return QELError_BadParams;
    if ((s = openSink(job, job.reply, text, forYourEyesOnly)) != 0)
        return s;
    return divertAfterTextLines(job, type, slot);
}

// Key material that ended: imported into option 33's database, or announced.
QELStatus importKeyMaterial(DecodeJob &job)
{
    if (!job.keyMaterial || job.diverted == nullptr)
        return 0;
    std::uint64_t position = 0;
    void *buffer = nullptr;
    QELStatus s = qelPipeAnnotate(job.diverted, nullptr, QELAnnotation_QueryPosition, &position, sizeof position);
    if (s == 0)
        s = qelPipeAnnotate(job.diverted, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer);
    (void)endDiversion(job);
    if (s != 0)
        return s;
    QELKeyDB *found = nullptr;
    s = qelKeyDBOpenFromBuffer(job.context, buffer, static_cast<std::size_t>(position), &found);
    // The block may hold secret keys.
    qelSecureWipe(buffer, static_cast<std::size_t>(std::min(position, QELDecodeKeyMaterialLimit)));
    (void)qelMemFree(buffer);
    if (s != 0)
        return s;
    if (job.importDB != nullptr)
        s = qelKeyDBAddKeySet(qelKeyDBGetRootSet(found), job.importDB, nullptr);
    else if (job.reportKeys)
        s = event(job, [&](QELEventReplyOut r) {
            return qelEventSendKeysFound(job.context, r, job.handler, job.userValue, qelKeyDBGetRootSet(found));
        });
    const QELStatus released = qelKeyDBRelease(found);
    return s != 0 ? s : released;
}

// ---- the reader's questions -------------------------------------------------------

void report(void *, QELStatus, std::int32_t, std::int32_t, const void *) {}

std::int32_t reply(void *data, std::int32_t scope, std::int32_t)
{
    auto &job = *static_cast<DecodeJob *>(data);
    if (job.state == 2) {
        job.state = 3;
        QELStatus s = event(job, [&](QELEventReplyOut r) {
            return qelEventSendBeginSection(job.context, r, job.handler, job.userValue, job.sections, job.value);
        });
        if (s != 0)
            return s;
        s = event(job, [&](QELEventReplyOut r) {
            return qelEventSendAnalyze(job.context, r, job.handler, job.userValue, job.kind);
        });
        if (s == QELError_JobEventStop)
            return QELAnnotation_ReplyDiscard;
        if (s != 0)
            return s;
    }
    // A literal's bytes are its content, whatever they look like; armored
    // literal text ('r') is parsed further only when the caller asked for it.
    if (scope == QELAnnotation_BeginLiteral &&
        !(job.format == 'r' && job.textLines != nullptr && job.parseArmoredLiteral))
        return QELAnnotation_ReplyProcess;
    return QELAnnotation_ReplyRecurse;
}

QELStatus endSection(DecodeJob &job)
{
    if (!job.endPending)
        return 0;
    job.endPending = false;
    QELStatus s = 0;
    if (!job.outputGiven && (s = finishOutput(job, 0)) != 0)
        return s;
    const std::int32_t section = job.sections++;
    job.state = 1;
    job.textSeen = false;
    s = event(job, [&](QELEventReplyOut r) {
        return qelEventSendEndSection(job.context, r, job.handler, job.userValue, section);
    });
    if (s != 0)
        return s;
    return job.stopAfterFirst ? QELError_StopAfterHeader : 0;
}

QELStatus observe(void *data, const void *, std::int32_t code, const void *pointer, std::uint64_t length)
{
    auto &job = *static_cast<DecodeJob *>(data);
    // Digests of a closed signature scope still belong to its section.
    if (code != QELAnnotation_SignatureDigest)
        if (QELStatus ended = endSection(job); ended != 0)
            return ended;
    job.depth += qelAnnotationScopeStep(code);
    switch (code) {
    case QELAnnotation_EndInPacket:
    case QELAnnotation_PacketTruncated:
    case QELAnnotation_EndInScope:
    case QELAnnotation_UnparsedBytes:
    case QELAnnotation_UnparsedSessionKey:
        return QELError_BadPacketFormat;
    case QELAnnotation_ArmorBadLine:
    case QELAnnotation_ArmorLineTooLong:
    case QELAnnotation_ArmorOtherError:
    case QELAnnotation_ArmorBadChecksumLine:
    case QELAnnotation_ArmorChecksumMismatch:
        return QELError_IncompleteArmor;
    case QELAnnotation_LiteralFormat:
        if (length >= 1)
            job.format = *static_cast<const std::uint8_t *>(pointer);
        return 0;
    case QELAnnotation_TextLine:
        return keepTextLine(job, pointer, length);
    default:
        break;
    }
    auto keepValue = [&] {
        job.value = 0;
        if (pointer != nullptr && length >= sizeof job.value)
            std::memcpy(&job.value, pointer, sizeof job.value);
    };
    if (job.state == 1) {
        std::int32_t kind = -1;
        bool replyNow = false;
        switch (code) {
        case QELAnnotation_BeginEncrypted: kind = QELDecodeKind_Encrypted; break;
        case QELAnnotation_BeginCompressed:
        case QELAnnotation_SignaturePacket:
        case QELAnnotation_ClosingSignaturePacket: kind = QELDecodeKind_Signed; break;
        case QELAnnotation_BeginClearSigned:
            kind = QELDecodeKind_Signed;
            keepValue();
            replyNow = true;
            break;
        case QELAnnotation_DetachedSignature: kind = QELDecodeKind_Detached; break;
        case QELAnnotation_BeginKeyMaterial: kind = QELDecodeKind_KeyMaterial; break;
        case QELAnnotation_BeginPlainText:
            if (job.decodePlainText) {
                kind = QELDecodeKind_PlainText;
                keepValue();
                replyNow = true;
            }
            break;
        case QELAnnotation_BeginArmoredMessage: keepValue(); break;
        default: break;
        }
        if (kind >= 0) {
            job.kind = kind;
            job.state = 2;
            job.sectionDepth = job.depth;
            if (replyNow) {
                const std::int32_t r = reply(data, code, job.depth);
                if (r != QELAnnotation_ReplyRecurse && r != QELAnnotation_ReplyDiscard &&
                    r != QELAnnotation_ReplyProcess)
                    return r;
            }
        }
        return 0;
    }
    if (job.state != 3)
        return 0;
    QELStatus s = 0;
    if (code == QELAnnotation_EndKeyMaterial && (s = importKeyMaterial(job)) != 0)
        return s;
    // The section ends once the reader has dealt with the annotation that
    // closed it (the signatures of a closing scope are checked after this
    // call), so at the next annotation or at the end of the input.
    if (job.depth < job.sectionDepth)
        job.endPending = true;
    return 0;
}

// ---- session keys ---------------------------------------------------------------

struct KeyBlock {
    std::uint8_t *bytes = nullptr;
    std::size_t length = 0;
    KeyBlock() = default;
    KeyBlock(const KeyBlock &) = delete;
    KeyBlock &operator=(const KeyBlock &) = delete;
    ~KeyBlock() { reset(); }
    void reset()
    {
        if (bytes != nullptr) {
            qelSecureWipe(bytes, length);
            (void)qelMemFree(bytes);
        }
        bytes = nullptr;
        length = 0;
    }
};

using SendProc = QELStatus (*)(void *, const std::uint8_t *, std::uint64_t);

QELStatus announceKey(DecodeJob &job, const std::uint8_t *key, std::uint64_t length)
{
    return event(job, [&](QELEventReplyOut r) {
        return qelEventSendDecryption(job.context, r, job.handler, job.userValue, key[0], key, length);
    });
}

// The secret keys that may hold an item's session key: the one its key ID
// names, or every secret key for a hidden recipient.
std::vector<QELKeyObject *> candidates(DecodeJob &job, const QELKeyID &id)
{
    std::vector<QELKeyObject *> keys;
    if (job.searchDB == nullptr)
        return keys;
    bool hidden = true;
    for (std::uint8_t b : id.bytes)
        hidden = hidden && b == 0;
    if (!hidden) {
        QELKeyObject *key = nullptr;
        if (qelKeyDBFindKey(job.searchDB, &id, &key) == 0 && key != nullptr)
            keys.push_back(key);
        return keys;
    }
    QELKeyIter *iter = nullptr;
    if (qelKeyIterNewOnDB(job.searchDB, &iter) != 0)
        return keys;
    QELKeyObject *object = nullptr;
    while (qelKeyIterNext(iter, QELKeyIterLevel_Any, &object) == 0 && object != nullptr)
        if (qelKeyObjIsKeyOrSubKey(object) && qelKeyObjIsSecret(object))
            keys.push_back(object);
    (void)qelKeyIterFree(iter);
    return keys;
}

// One pass over the items with the job's current passphrase: 0 when a key
// was sent, 1 when none worked, or a failure.
QELStatus attempt(DecodeJob &job, QELSigItem *items, SendProc send, void *sendContext, QELKeySet *locked)
{
    const QELJobPassphrase &p = job.passphrase;
    for (QELSigItem *item = items; item != nullptr; item = qelSessionKeyItemNext(item)) {
        KeyBlock block;
        // A passkey, and option 21's session key (its algorithm byte and key
        // bytes, as the Decryption event reports them), open any item as
        // they are.
        const bool asIs = p.passkey || p.other;
        if (qelSessionKeyItemKind(item) == 0 || asIs) {
            if (p.bytes == nullptr)
                continue;
            block.length = qelSessionKeyItemKeyLength(item);
            block.bytes = static_cast<std::uint8_t *>(
                qelMemAllocSecure(qelContextMemoryMgr(job.context), block.length != 0 ? block.length : 1, 0));
            if (block.bytes == nullptr)
                return QELError_OutOfMemory;
            std::int32_t made = 0;
            if (asIs) {
                made = static_cast<std::int32_t>(std::min<std::uint64_t>(p.length, block.length));
                std::memcpy(block.bytes, p.bytes, static_cast<std::size_t>(made));
            } else {
                made = qelSessionKeyFromPassphrase(item, job.settings, p.bytes, static_cast<std::size_t>(p.length),
                                                   block.bytes);
                if (made == QELError_BadPassphrase)
                    continue;
                if (made < 0)
                    return made;
            }
            if (made > 0 && send(sendContext, block.bytes, static_cast<std::uint64_t>(made)) == 0)
                return announceKey(job, block.bytes, static_cast<std::uint64_t>(made));
            continue;
        }
        QELKeyID id{};
        if (qelSessionKeyItemKeyID(item, &id) != 0)
            continue;
        for (QELKeyObject *key : candidates(job, id)) {
            if (!qelKeyObjIsSecret(key))
                continue;
            std::uint8_t *made = nullptr;
            const std::int32_t n = qelSessionKeyFromSecretKey(
                item, key, p.bytes, static_cast<std::size_t>(p.length), static_cast<std::uint32_t>(p.cacheTime),
                p.cache ? 1 : 0, &made);
            KeyBlock taken;
            taken.bytes = made;
            taken.length = n > 0 ? static_cast<std::size_t>(n) : 0;
            if (n <= 0) {
                if (locked != nullptr && (n == QELError_BadPassphrase || qelErrorIsKeyUnusable(n)))
                    (void)qelKeySetAddObject(key, locked);
                continue;
            }
            if (send(sendContext, made, static_cast<std::uint64_t>(n)) != 0)
                return QELError_SessionKeyRejected;
            return announceKey(job, made, static_cast<std::uint64_t>(n));
        }
    }
    return 1;
}

QELStatus decrypt(void *data, QELSigItem *items, SendProc send, void *sendContext)
{
    auto &job = *static_cast<DecodeJob *>(data);
    std::vector<QELKeyID> ids;
    std::int32_t conventional = 0;
    OwnedSet recipients;
    if (job.searchDB != nullptr) {
        QELKeySet *set = nullptr;
        QELStatus s = qelEnumeratedSetNewEmpty(job.searchDB, &set);
        if (s != 0)
            return s;
        recipients.reset(set);
    }
    for (QELSigItem *item = items; item != nullptr; item = qelSessionKeyItemNext(item)) {
        if (qelSessionKeyItemKind(item) == 0) {
            ++conventional;
            continue;
        }
        QELKeyID id{};
        if (qelSessionKeyItemKeyID(item, &id) != 0)
            continue;
        ids.push_back(id);
        QELKeyObject *key = nullptr;
        if (recipients && qelKeyDBFindKey(job.searchDB, &id, &key) == 0 && key != nullptr)
            (void)qelKeySetAddObject(key, recipients.get());
    }
    QELStatus s = event(job, [&](QELEventReplyOut r) {
        return qelEventSendRecipients(job.context, r, job.handler, job.userValue, recipients.get(), conventional,
                                      static_cast<std::int32_t>(ids.size()), ids.empty() ? nullptr : ids.data());
    });
    if (s != 0)
        return s;
    OwnedSet locked;
    if (job.searchDB != nullptr) {
        QELKeySet *set = nullptr;
        if ((s = qelEnumeratedSetNewEmpty(job.searchDB, &set)) != 0)
            return s;
        locked.reset(set);
    }
    for (bool first = true;; first = false) {
        s = attempt(job, items, send, sendContext, first ? locked.get() : nullptr);
        if (s <= 0)
            return s;
        if (job.handler == nullptr) {
            job.skipped = true;
            return QELAnnotation_ReplyDiscard;
        }
        if ((s = askPassphrase(job, conventional > 0, locked.get())) != 0)
            return s;
        if (job.passphrase.bytes == nullptr)
            return QELAnnotation_ReplyDiscard;
    }
}

// ---- signatures ------------------------------------------------------------------

// The signer in a database; a subkey only when it is usable.
QELKeyObject *findSigner(QELKeyDB *db, const QELKeyID &id)
{
    QELKeyObject *key = nullptr;
    if (db == nullptr || qelKeyDBFindKey(db, &id, &key) != 0 || key == nullptr)
        return nullptr;
    if (qelKeyObjTopKey(key) != key && qelKeyCheckUsable(key) != 0)
        return nullptr;
    return key;
}

// The signer's standing for a Signature event: its validity and flags, and
// whether it is good enough against the job's minimum validity.
void signerStanding(QELKeyObject *key, std::int32_t minimum, QELEventSignature &verdict)
{
    QELKeyObject *top = qelKeyObjTopKey(key);
    std::uint8_t revoked = 0, disabled = 0, expired = 0;
    if (qelKeyObjNumberPropertyLocal(top, QELProperty_Validity, &verdict.validity) != 0)
        verdict.validity = 0;
    (void)qelKeyObjBoolPropertyLocal(top, QELProperty_IsRevoked, &revoked);
    (void)qelKeyObjBoolPropertyLocal(top, QELProperty_IsDisabled, &disabled);
    (void)qelKeyObjBoolPropertyLocal(top, QELProperty_IsExpired, &expired);
    verdict.key = key;
    verdict.keyRevoked = revoked;
    verdict.keyDisabled = disabled;
    verdict.keyExpired = expired;
    verdict.keyValidEnough = !revoked && !disabled && !expired && verdict.validity >= minimum;
}

QELStatus signatureResult(void *data, const QELSigItem *item, const std::uint8_t *digest)
{
    auto &job = *static_cast<DecodeJob *>(data);
    if (job.handler == nullptr)
        return 0;
    QELKeyID id{};
    QELStatus s = qelSigItemSignerKeyID(item, &id);
    if (s != 0)
        return s;
    std::int32_t minimum = 0;
    if ((s = qelJobIntOption(job.options, QELOption_MinKeySize, 0, &minimum)) != 0)
        return s;
    QELKeyDB *tried = nullptr;
    QELKeyDB *db = job.searchDB;
    for (;;) {
        QELEventSignature verdict{};
        static_assert(sizeof verdict.signerKeyID == sizeof id);
        std::memcpy(verdict.signerKeyID, &id, sizeof id);
        verdict.creationTime = qelSigItemCreationTime(item);
        QELKeyObject *key = findSigner(db, id);
        if (key == nullptr && db != job.offeredDB)
            key = findSigner(job.offeredDB, id);
        if (key != nullptr) {
            signerStanding(key, minimum, verdict);
            // No digest: the signed data could not be hashed, which is a
            // failed check, never a good one.
            const std::int32_t checked = digest != nullptr ? qelSigItemVerify(item, key, digest) : 0;
            if (checked == 1 || checked == 0) {
                verdict.checked = 1;
                verdict.verified = checked == 1 ? 1 : 0;
            } else if (checked != QELError_KeyUnusableForSignature) {
                return checked;
            }
            return event(job, [&](QELEventReplyOut r) {
                return qelEventSendSignature(job.context, r, job.handler, job.userValue, verdict);
            });
        }
        s = event(job, [&](QELEventReplyOut r) {
            return qelEventSendSignature(job.context, r, job.handler, job.userValue, verdict);
        });
        if (s != 0)
            return s;
        void *offered = nullptr;
        if ((s = qelOptionListGetValues(job.reply, QELOption_TargetKeyDB, false, "%p", &offered)) != 0)
            return s;
        if (offered == nullptr || offered == tried || offered == job.searchDB)
            return 0;
        tried = static_cast<QELKeyDB *>(offered);
        job.offeredDB = tried;
        db = tried;
    }
}

// ---- detached data ---------------------------------------------------------------

QELStatus detachedProgress(void *data, std::uint64_t done, std::uint64_t total)
{
    // The answer of the DetachedSignature event names the data being
    // pumped, so it stays; this event's answer is not wanted (a null reply
    // has it freed at once).
    auto &job = *static_cast<DecodeJob *>(data);
    return qelEventSendProgress(job.context, nullptr, job.handler, job.userValue, done, total);
}

QELStatus detachedData(void *data, QELPipeModule *chain)
{
    auto &job = *static_cast<DecodeJob *>(data);
    QELOptionItem item{};
    QELStatus s = 0;
    if (!job.detachedTaken) {
        job.detachedTaken = true;
        if ((s = qelOptionListFindOneOptional(job.options, QELOption_DetachedSignature, 0, &item)) != 0)
            return s;
    }
    if (item.kind == 0) {
        if (job.handler == nullptr)
            return QELError_NoDetachedData;
        s = event(job, [&](QELEventReplyOut r) {
            return qelEventSendDetachedSignature(job.context, r, job.handler, job.userValue);
        });
        if (s != 0)
            return s;
        if ((s = qelOptionListFindOneOptional(job.reply, QELOption_DetachedSignature, 0, &item)) != 0)
            return s;
        if (item.kind == 0)
            return QELError_NoDetachedData;
    }
    if (item.nested == nullptr)
        return QELError_NoDetachedData;
    QELJobInput input;
    if ((s = qelJobOpenInput(job.context, item.nested, false, true, false, input)) != 0)
        return s;
    // A file of detached data reports its progress like the input does
    // (its bytes are not the input's, so the output bound is left alone).
    const bool report = input.reader != nullptr && job.progress;
    s = qelJobPumpInput(input, chain, report ? detachedProgress : nullptr, &job);
    qelOptionListFreeAndClear(&job.reply);
    return s;
}

// ---- the run --------------------------------------------------------------------

// What one certificate element carried, its blocks freed with it.
struct CertElement {
    QELCertImportResult r;
    CertElement() = default;
    CertElement(const CertElement &) = delete;
    CertElement &operator=(const CertElement &) = delete;
    ~CertElement() { clear(); }
    void clear()
    {
        for (std::uint8_t *block : {r.certificates, r.crls})
            if (block != nullptr)
                (void)qelMemFree(block);
        r = QELCertImportResult{};
    }
};

// The import, asking for a passphrase while an enveloped layer's key wants
// one. A handler that answers without a passphrase ends the asking with the
// refusal: retrying with none would ask for ever.
QELStatus importWithPassphrase(DecodeJob &job, const std::uint8_t *der, std::uint64_t length, std::int32_t format,
                               CertElement &element)
{
    const auto import = qelDecodeJobSeams().certImport;
    for (;;) {
        element.clear();
        QELOptionList *secret = nullptr;
        const QELJobPassphrase &p = job.passphrase;
        // Option 21's session key opens OpenPGP data only.
        if (p.bytes != nullptr && !p.other && (secret = qelJobPassphraseOption(job.context, p)) == nullptr)
            return QELError_OutOfMemory;
        QELStatus s = import(job.context, der, length, format, job.searchDB, secret, &element.r);
        if (s != QELError_BadPassphrase || job.handler == nullptr)
            return s;
        OwnedSet locked;
        if (element.r.locked != nullptr) {
            QELKeySet *set = nullptr;
            if ((s = qelEnumeratedSetFromObject(element.r.locked, &set)) != 0)
                return s;
            locked.reset(set);
        }
        if ((s = askPassphrase(job, false, locked.get())) != 0)
            return s;
        if (job.passphrase.bytes == nullptr)
            return QELError_BadPassphrase;
    }
}

// The keys of a new database join option 33's; the new one is released.
QELStatus mergeInto(DecodeJob &job, QELKeyDB *found, bool checkSignatures)
{
    QELKeySet *added = nullptr;
    QELStatus s = qelKeyDBAddKeySet(qelKeyDBGetRootSet(found), job.importDB, checkSignatures ? &added : nullptr);
    // The CRLs now in the database mark what they revoke.
    if (s == 0 && added != nullptr)
        s = qelKeySigCheckKeySet(added, nullptr, 1, nullptr, nullptr);
    if (added != nullptr)
        (void)qelKeySetRelease(added);
    const QELStatus released = qelKeyDBRelease(found);
    return s != 0 ? s : released;
}

// One element: imported, its signature reported, its certificates and CRLs
// added to option 33's database, and its CRLs (else its certificates)
// written to the output.
QELStatus importCertElement(DecodeJob &job, const std::uint8_t *der, std::uint64_t length, std::int32_t format,
                            std::int32_t minimum)
{
    const QELDecodeJobSeams &seams = qelDecodeJobSeams();
    CertElement element;
    QELStatus s = importWithPassphrase(job, der, length, format, element);
    if (s != 0)
        return s;
    const QELCertImportResult &r = element.r;
    if (r.isSigned) {
        QELEventSignature verdict{};
        if (r.signerKey != nullptr) {
            QELKeyID id{};
            if ((s = qelKeyIDFromKey(r.signerKey, &id)) != 0)
                return s;
            static_assert(sizeof verdict.signerKeyID == sizeof id);
            std::memcpy(verdict.signerKeyID, &id, sizeof id);
            signerStanding(r.signerKey, minimum, verdict);
            verdict.checked = r.checked;
            verdict.verified = r.verified;
        }
        s = event(job, [&](QELEventReplyOut reply) {
            return qelEventSendSignature(job.context, reply, job.handler, job.userValue, verdict);
        });
        if (s != 0)
            return s;
    }
    if (r.certificates != nullptr) {
        QELKeyDB *found = nullptr;
        if ((s = seams.importCertificates(job.context, r.certificates, r.certificatesLength, job.importDB,
                                          &found)) != 0)
            return s;
        if (found != nullptr && (s = mergeInto(job, found, false)) != 0)
            return s;
    }
    if (r.crls != nullptr) {
        QELKeyDB *found = nullptr;
        if ((s = seams.importCRLs(job.context, r.crls, r.crlsLength, job.importDB, &found)) != 0)
            return s;
        if (found != nullptr && (s = mergeInto(job, found, true)) != 0)
            return s;
    }
    const std::uint8_t *out = r.crls != nullptr ? r.crls : r.certificates;
    const std::uint64_t outLength = r.crls != nullptr ? r.crlsLength : r.certificatesLength;
    if (out == nullptr)
        return 0;
    // Every element of the input goes to the one output the options chose.
    if (job.sink == nullptr && (s = openSink(job, job.options, false, false)) != 0)
        return s;
    return qelPipeWriteAll(job.sink, out, outLength);
}

// X.509 and PKCS #7 input, one DER element after another, each handed to the
// certificate import.
QELStatus runCertificates(DecodeJob &job, std::int32_t format)
{
    if (job.importDB == nullptr)
        return QELError_BadParams;
    QELStatus s = event(job, [&](QELEventReplyOut r) {
        return qelEventSendBeginSection(job.context, r, job.handler, job.userValue, 0, 0);
    });
    if (s == 0)
        s = event(job, [&](QELEventReplyOut r) {
            return qelEventSendAnalyze(job.context, r, job.handler, job.userValue, QELDecodeKind_Certificate);
        });
    if (s != 0)
        return s;
    const std::uint8_t *bytes = nullptr;
    std::uint64_t length = 0;
    std::uint8_t *owned = nullptr, *decoded = nullptr;
    std::uint64_t ownedLength = 0, decodedLength = 0;
    struct Free {
        std::uint8_t *&a, *&b;
        std::uint64_t &aLength, &bLength;
        ~Free()
        {
            qelJobFreeInput(a, aLength);
            qelJobFreeInput(b, bLength);
        }
    } release{owned, decoded, ownedLength, decodedLength};
    if ((s = qelJobReadInput(job.context, job.input, &bytes, &length, &owned)) != 0)
        return s;
    ownedLength = length;
    if (format >= 10006) {
        if ((s = qelArmorDecodePem(job.context, reinterpret_cast<const char *>(bytes), length, &decoded,
                                   &decodedLength)) != 0)
            return s;
        bytes = decoded;
        length = decodedLength;
    }
    const QELDecodeJobSeams &seams = qelDecodeJobSeams();
    if (seams.certImport == nullptr || seams.importCertificates == nullptr || seams.importCRLs == nullptr)
        return QELError_FeatureNotAvailable;
    std::int32_t minimum = 0;
    if ((s = qelJobIntOption(job.options, QELOption_MinKeySize, 0, &minimum)) != 0)
        return s;
    // Each element must be whole and take some input, so the loop ends.
    while (length != 0) {
        const std::uint64_t element = qelDecodeDerElementLength(bytes, length);
        if (element == 0)
            return QELError_BadPacketFormat;
        if ((s = importCertElement(job, bytes, element, format, minimum)) != 0)
            return s;
        bytes += element;
        length -= element;
        if (format > 10005)
            break;
    }
    return event(job, [&](QELEventReplyOut r) {
        return qelEventSendEndSection(job.context, r, job.handler, job.userValue, job.sections++);
    });
}

// Options 41, 62 and 63: the armor parser echoes the lines of clear-signed
// messages (41, 62) or key blocks (63), and the job keeps them.
QELStatus askForTextLines(DecodeJob &job)
{
    std::int32_t armoredLiteral = 0, clearSigned = 0, keyBlocks = 0;
    QELStatus s = 0;
    if ((s = qelJobIntOption(job.options, QELOption_Kind41, 0, &armoredLiteral)) != 0 ||
        (s = qelJobIntOption(job.options, QELOption_Kind62, 0, &clearSigned)) != 0 ||
        (s = qelJobIntOption(job.options, QELOption_Kind63, 0, &keyBlocks)) != 0)
        return s;
    if (armoredLiteral == 0 && clearSigned == 0 && keyBlocks == 0)
        return 0;
    job.parseArmoredLiteral = armoredLiteral != 0;
    if ((job.textLines = qelByteFifoDescriptor()->create(job.context)) == nullptr)
        return QELError_OutOfMemory;
    std::uint8_t on = 1;
    if ((armoredLiteral != 0 || clearSigned != 0) &&
        (s = qelPipeAnnotate(job.head, nullptr, QELAnnotation_ArmorClearSignedAsText, &on, 1)) != 0)
        return s;
    if (keyBlocks != 0)
        s = qelPipeAnnotate(job.head, nullptr, QELAnnotation_ArmorKeyBlocksAsText, &on, 1);
    return s;
}

QELStatus body(DecodeJob &job)
{
    void *pointer = nullptr;
    QELStatus s = qelOptionListGetValues(job.options, QELOption_TargetKeyDB, false, "%p", &pointer);
    if (s != 0)
        return s;
    job.searchDB = static_cast<QELKeyDB *>(pointer);
    if ((s = qelOptionListGetValues(job.options, QELOption_KeyDB, false, "%p", &pointer)) != 0)
        return s;
    job.importDB = static_cast<QELKeyDB *>(pointer);
    if ((s = qelJobGetPassphrase(job.context, job.options, job.passphrase)) != 0)
        return s;
    std::int32_t flag = 0;
    if ((s = qelJobIntOption(job.options, QELOption_SendKeysFound, 0, &flag)) != 0)
        return s;
    job.reportKeys = flag != 0;
    if ((s = qelJobIntOption(job.options, QELOption_StopAfterHeader, 0, &flag)) != 0)
        return s;
    job.stopAfterFirst = flag != 0;
    if ((s = qelJobIntOption(job.options, QELOption_Kind42, 0, &flag)) != 0)
        return s;
    job.decodePlainText = flag != 0;
    if ((s = qelJobIntOption(job.options, QELOption_TextMode, -1, &job.textMode)) != 0 ||
        (s = qelJobIntOption(job.options, QELOption_OutputLineEnd, QELLineEnd_LF, &job.lineEnd)) != 0 ||
        (s = qelJobIntOption(job.options, QELOption_AppendOutput, 0, &flag)) != 0)
        return s;
    job.append = flag != 0;
    QELOptionItem item{};
    if ((s = qelOptionListFindOneOptional(job.options, QELOption_DecompressionLimit, 0, &item)) != 0)
        return s;
    job.limitSet = item.kind != 0;
    job.limit = item.value;
    std::int32_t format = 0;
    if ((s = qelJobIntOption(job.options, QELOption_InputFormat, 0, &format)) != 0)
        return s;
    if ((s = qelJobOpenInput(job.context, job.options, false, false, false, job.input)) != 0)
        return s;
    if (format >= 10000)
        return runCertificates(job, format);

    QELJobOutputKind chosen{};
    if ((s = qelJobOutputChoice(job.options, &chosen)) != 0)
        return s;
    job.outputGiven = chosen != QELJobOutputKind::None;
    if (!job.outputGiven && job.handler == nullptr)
        return QELError_BadParams;
    if (qelDecodeChainBuild(job.context, &job.head, job.settings, nullptr, &job.callbacks, &job) == nullptr)
        return QELError_OutOfMemory;
    if ((s = askForTextLines(job)) != 0)
        return s;
    if ((s = qelJobPumpInput(job.input, job.head, progressProc, &job)) != 0 || (s = endSection(job)) != 0)
        return s;
    return job.skipped && job.handler == nullptr ? QELError_NothingDecrypted : 0;
}

QELStatus runJob(DecodeJob &job)
{
    QELStatus s = qelOptionListCheckTypes(job.options, kAccepted, std::size(kAccepted));
    if (s != 0)
        return s;
    if ((s = qelSettingsCopy(qelContextGetSettings(job.context), &job.settings)) != 0)
        return s;
    job.callbacks = {report, reply, openOutput, detachedData, signatureResult, decrypt, observe};
    if ((s = qelJobGetEventHandler(job.options, &job.handler, &job.userValue, &job.progress)) != 0)
        return s;
    s = event(job, [&](QELEventReplyOut r) {
        return qelEventSendInitial(job.context, r, job.handler, job.userValue);
    });
    if (s == 0)
        s = body(job);
    // The chain goes first: the reader's slot holds only a tap, and the
    // outputs are the job's to finish.
    if (job.head != nullptr) {
        qelPipeDestroy(job.head);
        job.head = nullptr;
    }
    (void)endDiversion(job);
    if (s == QELError_StopAfterHeader)
        s = 0;
    // Lines echoed after the last content (a signature's closing lines)
    // still belong to the output.
    if (s == 0)
        s = writeTextLines(job);
    s = finishOutput(job, s);
    job.passphrase.wipe();
    if (s != 0)
        (void)event(job, [&](QELEventReplyOut r) {
            return qelEventSendError(job.context, r, job.handler, job.userValue, s, nullptr);
        });
    const QELStatus final = event(job, [&](QELEventReplyOut r) {
        return qelEventSendFinal(job.context, r, job.handler, job.userValue);
    });
    return s != 0 ? s : final;
}

} // namespace

QELStatus qelDecode(QELContext *context, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_MERGE_OPTIONS(merged, context, first);
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    if (merged.error != QELError_NoErr)
        return merged.error;
    QELOptionList *options = merged.list.get();
    return qel::noThrow([&]() -> QELStatus {
        DecodeJob job;
        job.context = context;
        job.options = options;
        return runJob(job);
    });
}

QELOptionList *qelOptionDecompressionLimit(QELContext *context, std::uint64_t maxBytes)
{
    if (!qelContextIsValid(context))
        return nullptr;
    return qelOptionNewValue(context, QELOption_DecompressionLimit, &maxBytes, sizeof maxBytes, nullptr);
}
