// The Simple Annotation Reader. Scope stack and signature lists have fixed
// sizes; a message nested deeper is refused rather than overflowing them.
#include "qelAnnotationReaderInternal.h"

#include "qelMemoryInternal.h"
#include "qelSessionKeyItemInternal.h"
#include "qelSigItemInternal.h"
#include "qelSigVerifyInternal.h"
#include "qelWipe.h"

#include <array>
#include <cstring>

namespace {

constexpr std::int32_t kMaxScopes = QELAnnotationReaderMaxScopes;

struct Reader {
    QELPipeModule head;
    std::int32_t scopes[kMaxScopes];
    std::int32_t depth;
    std::int32_t outputDepth;
    std::int32_t outputType;
    std::uint8_t fileName[257];
    std::uint8_t hasFileName;
    QELPipeModule *downstream;
    const QELDecodeCallbacks *callbacks;
    QELSettings *settings;
    void *callbackData;
    QELSigItem *lists[kMaxScopes + 1]; // 0: session keys; d + 1: the scope at index d
    std::uint8_t detached[kMaxScopes];
    QELSigItem *currentSignature;
    std::uint8_t outputClosed;
    std::uint8_t closePending; // content ended inside encrypted data not yet checked
};

Reader *self(QELPipeModule *m) { return qelPipeModuleState<Reader>(m); }

void report(Reader *r, QELStatus status, std::int32_t event, std::int32_t count = 0, const void *pointer = nullptr)
{
    if (r->callbacks->report != nullptr)
        r->callbacks->report(r->callbackData, status, event, count, pointer);
}

void closeOutputState(Reader *r)
{
    r->hasFileName = 0;
    std::memset(r->fileName, 0, sizeof r->fileName);
    r->outputType = -1;
    r->outputClosed = 1;
    r->closePending = 0;
}

QELStatus ensureOutput(Reader *r)
{
    if (r->closePending) {
        // a second piece of content in the same encrypted data
        QELStatus status = r->downstream != nullptr ? qelPipeExpectBytes(r->downstream, 0) : 0;
        if (status != 0)
            return status;
        r->closePending = 0;
        r->outputClosed = 1;
    }
    if (!r->outputClosed)
        return 0;
    QELStatus status = r->callbacks->openOutput(r->callbackData, &r->downstream, r->outputType,
                                                r->hasFileName ? reinterpret_cast<const char *>(r->fileName)
                                                               : nullptr);
    if (status != 0)
        return status;
    if (r->downstream == nullptr)
        return QELError_BadParams;
    r->outputDepth = r->depth;
    r->outputClosed = 0;
    return 0;
}

std::uint64_t readerWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    Reader *r = self(m);
    QELStatus s = ensureOutput(r);
    if (s != 0) {
        if (status != nullptr)
            *status = s;
        return 0;
    }
    return qelPipeWrite(r->downstream, bytes, length, status);
}

QELStatus readerFlush(QELPipeModule *m)
{
    Reader *r = self(m);
    return r->downstream != nullptr ? qelPipeFlush(r->downstream) : 0;
}

QELStatus closeOutput(Reader *r)
{
    if (r->downstream != nullptr && !r->outputClosed) {
        QELStatus status = qelPipeExpectBytes(r->downstream, 0);
        if (status != 0)
            return status;
    }
    closeOutputState(r);
    return 0;
}

QELStatus readerExpectBytes(QELPipeModule *m, std::uint64_t count)
{
    Reader *r = self(m);
    if (count != 0 || r->downstream == nullptr)
        return 0;
    QELStatus status = qelPipeExpectBytes(r->downstream, 0);
    if (status != 0)
        return status;
    closeOutputState(r);
    return 0;
}

struct SendContext {
    Reader *reader;
    QELPipeModule *origin;
    std::int32_t reply;
};

QELStatus sendKey(void *context, const std::uint8_t *key, std::uint64_t length)
{
    auto *c = static_cast<SendContext *>(context);
    return qelPipeAnnotate(c->origin, &c->reader->head, c->reply, const_cast<std::uint8_t *>(key), length);
}

QELStatus sendReply(Reader *r, QELPipeModule *origin, std::int32_t reply, void *data = nullptr,
                    std::uint64_t length = 0)
{
    if (origin == nullptr)
        return QELError_BadParams;
    return qelPipeAnnotate(origin, &r->head, reply, data, length);
}

QELStatus headerComplete(Reader *r, QELPipeModule *origin)
{
    if (r->depth <= 0)
        return QELError_BadParams;
    const std::int32_t index = r->depth - 1;
    const std::int32_t top = r->scopes[index];
    const std::int32_t reply = r->callbacks->reply(r->callbackData, top, index);
    if (reply < 0)
        return reply;
    if (reply < QELAnnotation_ReplyDiscard || reply > QELAnnotation_ReplyRecurse) {
        const std::int32_t record[2] = {1, reply};
        report(r, QELError_DecodeEventStop, QELDecodeEvent_NotAReply, 1, record);
        return 0;
    }
    if (reply == QELAnnotation_ReplyDiscard || reply == QELAnnotation_ReplyPassThrough)
        return sendReply(r, origin, reply);
    QELStatus status = 0;
    if (top == QELAnnotation_BeginEncrypted) {
        SendContext context{r, origin, reply};
        status = r->callbacks->decrypt(r->callbackData, r->lists[0], sendKey, &context);
        qelSessionKeyListFree(r->lists[0]);
        r->lists[0] = nullptr;
        if (status == QELAnnotation_ReplyDiscard || status == QELAnnotation_ReplyPassThrough)
            status = sendReply(r, origin, status);
        if (status != 0)
            report(r, status, QELDecodeEvent_DecryptFailed);
        return status;
    }
    if (top == QELAnnotation_BeginSignature && r->detached[index]) {
        status = qelSigVerifyDetached(r->lists[index + 1], r->settings, r->callbacks, r->callbackData,
                                      r->head.context);
        qelSigListFree(r->lists[index + 1]);
        r->lists[index + 1] = nullptr;
        if (status != 0)
            report(r, status, QELDecodeEvent_DetachedFailed);
        return status;
    }
    if (top == QELAnnotation_BeginSignature) {
        std::array<std::uint8_t, 256> ids{};
        const std::int32_t count = qelSigListHashAlgorithms(r->lists[index + 1], ids.data());
        status = sendReply(r, origin, reply, ids.data(), static_cast<std::uint64_t>(count));
        if (status != 0)
            report(r, status, QELDecodeEvent_SignatureReplyFailed);
        return status;
    }
    status = sendReply(r, origin, reply);
    if (status != 0)
        report(r, status, QELDecodeEvent_ReplyFailed);
    return status;
}

// Asks the parser that closed a signature scope for each signature's digest.
QELStatus checkSignatures(Reader *r, QELPipeModule *origin, std::int32_t index)
{
    QELSigItem *list = r->lists[index + 1];
    r->lists[index + 1] = nullptr;
    QELStatus result = 0;
    for (QELSigItem *item = list; item != nullptr && result == 0; item = qelSigListNext(item)) {
        std::size_t hashedLength = 0;
        const std::uint8_t *hashed = qelSigPacketHashedData(item, &hashedLength);
        if (hashed == nullptr)
            continue; // a one-pass header: its signature packet carries the check
        std::uint8_t *block = static_cast<std::uint8_t *>(qelMemPlainAlloc(hashedLength + 2));
        if (block == nullptr) {
            result = QELError_OutOfMemory;
            break;
        }
        block[0] = qelSigPacketVersion(item);
        block[1] = qelSigPacketHashAlgorithm(qelSigItemBytes(item), item->length);
        std::memcpy(block + 2, hashed, hashedLength);
        r->currentSignature = item;
        const QELStatus status =
            origin != nullptr ? qelPipeAnnotate(origin, &r->head, QELAnnotation_HashForSignature, block,
                                                hashedLength + 2)
                              : QELError_BadParams;
        qelSecureWipe(block, hashedLength + 2);
        qelMemPlainFree(block);
        if (status != 0) {
            report(r, status, QELDecodeEvent_HashForSignatureFailed);
            // No digest means the signature could not be checked: a failed
            // check, never one that silently did not happen.
            if (r->callbacks->signatureResult != nullptr)
                result = r->callbacks->signatureResult(r->callbackData, item, nullptr);
        }
    }
    r->currentSignature = nullptr;
    qelSigListFree(list);
    return result;
}

QELStatus readerAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    Reader *r = self(m);
    auto *from = static_cast<QELPipeModule *>(const_cast<void *>(origin));
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    std::int32_t closedIndex = -1;
    std::int32_t closedScope = 0;
    const int scopeStep = qelAnnotationScopeStep(code);
    if (scopeStep > 0) {
        if (r->depth >= kMaxScopes)
            return QELError_BadPacketFormat;
        r->scopes[r->depth] = code;
        r->detached[r->depth] = 0;
        ++r->depth;
    } else if (scopeStep < 0) {
        if (r->depth > 0 && r->scopes[r->depth - 1] + 1 == code) {
            --r->depth;
            closedIndex = r->depth;
            closedScope = r->scopes[r->depth];
            r->detached[r->depth] = 0;
        } else {
            report(r, QELError_DecodeEventRefused, QELDecodeEvent_ScopeMismatch);
        }
    }
    if (scopeStep != 0 && r->depth > 0 &&
        !(code == QELAnnotation_BeginArmoredMessage && r->outputType == 't'))
        r->outputType = r->scopes[r->depth - 1];
    if (r->callbacks->observe != nullptr) {
        QELStatus status = r->callbacks->observe(r->callbackData, origin, code, data, length);
        if (status != 0)
            return status;
    }
    QELStatus status = 0;
    switch (code) {
    case QELAnnotation_HeaderComplete:
        status = headerComplete(r, from);
        break;
    case QELAnnotation_LiteralFormat:
        if (length >= 1)
            r->outputType = bytes[0];
        break;
    case QELAnnotation_LiteralFileName:
        if (length <= 256) {
            std::memset(r->fileName, 0, sizeof r->fileName);
            if (length != 0)
                std::memcpy(r->fileName, bytes, length);
            r->hasFileName = 1;
        }
        break;
    case QELAnnotation_SymmetricKeyESK:
    case QELAnnotation_PublicKeyESK:
        if (QELStatus s = qelSessionKeyItemAdd(r->head.context, &r->lists[0], code, bytes, length); s != 0)
            report(r, s, QELDecodeEvent_SessionKeyRefused);
        break;
    case QELAnnotation_SignaturePacket:
    case QELAnnotation_ClosingSignaturePacket:
        if (r->depth > 0) {
            if (QELStatus s = qelSigListAddPacket(r->head.context, &r->lists[r->depth], code, bytes, length); s != 0)
                report(r, s, QELDecodeEvent_SignatureRefused);
        }
        break;
    case QELAnnotation_DetachedSignature:
        if (r->depth > 0)
            r->detached[r->depth - 1] = 1;
        break;
    case QELAnnotation_EndSignature:
        if (closedScope == QELAnnotation_BeginSignature)
            status = checkSignatures(r, from, closedIndex);
        break;
    case QELAnnotation_SignatureDigest:
        if (r->currentSignature != nullptr && r->callbacks->signatureResult != nullptr)
            status = r->callbacks->signatureResult(r->callbackData, r->currentSignature, bytes);
        break;
    case QELAnnotation_BeginClearSigned:
    case QELAnnotation_EndClearSigned:
        r->outputType = 't';
        break;
    default:
        break;
    }
    if (closedIndex >= 0) {
        qelSigListFree(r->lists[closedIndex + 1]);
        r->lists[closedIndex + 1] = nullptr;
    }
    if (status == 0 && closedIndex >= 0 && r->depth < r->outputDepth && !r->outputClosed) {
        // Content inside encrypted data is complete only once the data's
        // integrity check passed, which the parser reports by closing the
        // encrypted scope; until then the output stays open.
        bool insideEncrypted = false;
        for (std::int32_t i = 0; i < r->depth; ++i)
            insideEncrypted = insideEncrypted || r->scopes[i] == QELAnnotation_BeginEncrypted;
        if (insideEncrypted)
            r->closePending = 1;
        else
            status = closeOutput(r);
    }
    if (status == 0 && closedScope == QELAnnotation_BeginEncrypted && r->closePending)
        status = closeOutput(r);
    return status;
}

QELStatus readerDestroy(QELPipeModule *m)
{
    Reader *r = self(m);
    qelSessionKeyListFree(r->lists[0]);
    r->lists[0] = nullptr;
    for (std::int32_t i = 1; i <= kMaxScopes; ++i) {
        qelSigListFree(r->lists[i]);
        r->lists[i] = nullptr;
    }
    qelPipeDestroy(r->downstream);
    qelPipeModuleFree(r);
    return 0;
}

constexpr QELPipeOps kReaderOps{readerWrite, readerFlush, readerAnnotate, readerExpectBytes, readerDestroy};

} // namespace

QELPipeModule **qelAnnotationReaderCreate(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                          const QELDecodeCallbacks *callbacks, void *callbackData)
{
    if (slot == nullptr || settings == nullptr || callbacks == nullptr)
        return nullptr;
    *slot = nullptr;
    auto *r = qelPipeModuleNew<Reader>(context, QELPipeMagic_AnnotationReader, "Simple Annotation Reader", kReaderOps);
    if (r == nullptr)
        return nullptr;
    r->callbacks = callbacks;
    r->settings = settings;
    r->callbackData = callbackData;
    r->outputType = -1;
    r->outputClosed = 1;
    return qelPipeModuleLink(slot, &r->head, &r->downstream);
}
