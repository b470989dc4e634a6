// Detached signature verification and the per-signature check.
#include "qelSigVerifyInternal.h"

#include "qelAnnotationReaderInternal.h"
#include "qelContextInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelHash.h"
#include "qelHashInternal.h"
#include "qelHashModuleInternal.h"
#include "qelSettingsInternal.h"
#include "qelSigItemInternal.h"
#include "qelTextFilterModuleInternal.h"
#include "qelWipe.h"

#include <array>
#include <cstddef>

namespace {

void report(const QELDecodeCallbacks *callbacks, void *data, QELStatus status, std::int32_t event)
{
    if (callbacks->report != nullptr)
        callbacks->report(data, status, event, 0, nullptr);
}

// The digest of one signature over the hashed data seen so far.
QELStatus finishFor(const QELSigItem *signature, QELHashContext *hash, std::uint8_t *digest, std::uint64_t room)
{
    std::size_t hashedLength = 0;
    const std::uint8_t *hashed = qelSigPacketHashedData(signature, &hashedLength);
    if (hashed == nullptr)
        return QELError_BadPacketFormat;
    const QELHashDescriptor *descriptor = qelHashGetDescriptor(hash);
    if (descriptor == nullptr || descriptor->digestSize > room)
        return QELError_UnknownHashAlgorithm;
    QELHashContext *copy = qelHashDuplicate(hash);
    if (copy == nullptr)
        return QELError_OutOfMemory;
    QELStatus status = qelHashUpdate(copy, hashed, hashedLength);
    if (status == 0 && qelSigPacketVersion(signature) == 4) {
        const std::uint8_t trailer[6] = {0x04, 0xFF, static_cast<std::uint8_t>(hashedLength >> 24),
                                         static_cast<std::uint8_t>(hashedLength >> 16),
                                         static_cast<std::uint8_t>(hashedLength >> 8),
                                         static_cast<std::uint8_t>(hashedLength)};
        status = qelHashUpdate(copy, trailer, sizeof trailer);
    }
    if (status == 0)
        status = qelHashFinal(copy, digest);
    static_cast<void>(qelHashFree(copy));
    return status;
}

QELStatus hashDetached(QELContext *context, QELSettings *settings, const QELSigItem *signatures,
                       const QELDecodeCallbacks *callbacks, void *data, QELHashList **outList)
{
    QELPipeModule *chain = nullptr;
    QELHashList *list = nullptr;
    QELStatus status = qelSigVerifyBuildHashes(context, &chain, settings, &list, signatures, callbacks, data);
    if (status == 0)
        status = callbacks->detachedData(data, chain);
    qelPipeDestroy(chain);
    if (status != 0) {
        if (list != nullptr)
            qelHashListFree(list);
        return status;
    }
    *outList = list;
    return 0;
}


} // namespace

QELStatus qelHashChainBuild(QELContext *context, QELPipeModule **slot, QELHashList **outList,
                            const std::uint8_t *ids, std::int32_t count, const std::uint8_t *charTable)
{
    *outList = nullptr;
    std::array<std::uint8_t, 256> usable{};
    std::int32_t n = 0;
    for (std::int32_t i = 0; i < count && n < 256; ++i)
        if (qelHashDescriptorFind(ids[i]) != nullptr)
            usable[static_cast<std::size_t>(n++)] = ids[i];
    if (n == 0)
        return 0;
    QELHashList *list = nullptr;
    QELStatus status = qelHashListCreate(qelContextMemoryMgr(context), usable.data(), &list, n);
    if (status != 0)
        return status;
    QELPipeModule *before = *slot;
    QELPipeModule **tail = qelHashModuleChainCreate(context, slot, list, qelHashListCount(list));
    if (tail == nullptr) {
        qelHashListFree(list);
        return QELError_OutOfMemory;
    }
    if (charTable != nullptr && qelTextFilterModuleCreate(context, slot, charTable, false, QELLineEnd_CRLF) == nullptr) {
        // take the hash modules back out, leaving what the slot held
        *tail = nullptr;
        qelPipeDestroy(*slot);
        *slot = before;
        qelHashListFree(list);
        return QELError_OutOfMemory;
    }
    *outList = list;
    return 0;
}

QELStatus qelSigVerifyBuildHashes(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                  QELHashList **outList, const QELSigItem *signatures,
                                  const QELDecodeCallbacks *callbacks, void *callbackData)
{
    std::array<std::uint8_t, 256> ids{};
    const std::int32_t count = qelSigListHashAlgorithms(signatures, ids.data());
    if (qelDevNullModuleCreate(context, slot) == nullptr) {
        report(callbacks, callbackData, QELError_OutOfMemory, QELDecodeEvent_NoSink);
        return QELError_OutOfMemory;
    }
    const std::uint8_t *table = nullptr;
    if (signatures != nullptr && qelSigItemType(signatures) != 0)
        table = static_cast<const std::uint8_t *>(qelSettingsGetPointer(settings, QELSetting_CharsetEncodeTable, nullptr));
    QELStatus status = qelHashChainBuild(context, slot, outList, ids.data(), count, table);
    if (status == 0 && *outList == nullptr) {
        report(callbacks, callbackData, 0, QELDecodeEvent_DetachedNoHash);
        status = QELError_ClearSignedHashMissing;
    }
    if (status != 0) {
        qelPipeDestroy(*slot);
        *slot = nullptr;
    }
    return status;
}

QELStatus qelSigVerifyCheckAll(const QELSigItem *signatures, QELHashList *list, const QELDecodeCallbacks *callbacks,
                               void *callbackData)
{
    for (const QELSigItem *item = signatures; item != nullptr; item = qelSigListNext(item)) {
        const QELHashDescriptor *descriptor = qelSigPacketHashDescriptor(item);
        QELHashContext *hash = descriptor != nullptr ? qelHashListFind(list, descriptor) : nullptr;
        if (hash == nullptr) {
            report(callbacks, callbackData, QELError_UnknownHashAlgorithm, QELDecodeEvent_DetachedHashMissing);
            continue;
        }
        std::array<std::uint8_t, 64> digest{};
        QELStatus status = finishFor(item, hash, digest.data(), digest.size());
        if (status == 0)
            status = callbacks->signatureResult(callbackData, item, digest.data());
        qelSecureWipe(digest.data(), digest.size());
        if (status != 0)
            return status;
    }
    return 0;
}

QELStatus qelSigVerifyDetached(const QELSigItem *signatures, QELSettings *settings,
                               const QELDecodeCallbacks *callbacks, void *callbackData, QELContext *context)
{
    if (signatures == nullptr) {
        report(callbacks, callbackData, QELError_BadParams, QELDecodeEvent_DetachedNoList);
        return 0;
    }
    report(callbacks, callbackData, 0, QELDecodeEvent_DetachedBegins);
    QELHashList *list = nullptr;
    QELStatus status = hashDetached(context, settings, signatures, callbacks, callbackData, &list);
    if (status != 0)
        return status;
    status = qelSigVerifyCheckAll(signatures, list, callbacks, callbackData);
    qelHashListFree(list);
    return status;
}

// ---- clear-signed text ---------------------------------------------------------
namespace {

// One canonical form of the text being hashed: line ends become CR LF and,
// when `strip` is set, spaces and tabs at the end of a line are dropped (they
// wait in `pending` until the next byte shows whether the line goes on).
struct Canonical {
    QELHashList *list;
    QELFifo *pending;
    std::uint8_t lastWasCR;
    std::uint8_t strip;
};

struct VerifierBlock {
    QELPipeModule head; // the signature head
    QELPipeModule textHead;
    const QELFifoDescriptor *fifoKind;
    QELFifo *waiting; // text that came before the hashes
    Canonical forms[2]; // 0: line ends only, 1: RFC 4880 section 7.1
    QELSigItem *signatures;
    QELSettings *settings;
    const QELDecodeCallbacks *callbacks;
    void *callbackData;
    const std::uint8_t *table;
    std::int32_t hashCount;
    std::int32_t depth;
    std::int32_t plainDepth;
    std::uint8_t inPlainText;
    std::uint8_t textDone;
    std::uint8_t signatureDone;
    std::uint8_t textDestroyed;
    std::uint8_t signatureDestroyed;
    std::uint8_t text;
};

VerifierBlock *block(QELPipeModule *m) { return static_cast<VerifierBlock *>(m->state); }

void feedList(QELHashList *list, const std::uint8_t *bytes, std::uint64_t n)
{
    for (std::int32_t i = 0; i < qelHashListCount(list); ++i)
        static_cast<void>(qelHashUpdate(qelHashListGet(list, i), bytes, n));
}

QELStatus feedPending(VerifierBlock *v, Canonical &c)
{
    for (;;) {
        QELStatus status = 0;
        std::uint64_t available = 0;
        const std::uint8_t *bytes = v->fifoKind->peek(c.pending, &available, &status);
        if (status != 0 || available == 0)
            return status;
        feedList(c.list, bytes, available);
        v->fifoKind->skip(c.pending, available);
    }
}

QELStatus canonicalFeed(VerifierBlock *v, Canonical &c, const std::uint8_t *bytes, std::uint64_t n)
{
    static constexpr std::uint8_t kCRLF[2] = {'\r', '\n'};
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint8_t b = bytes[i];
        if (b == '\r' || b == '\n') {
            const bool second = b == '\n' && c.lastWasCR;
            c.lastWasCR = b == '\r';
            if (second)
                continue;
            v->fifoKind->clear(c.pending); // trailing white space of the line
            feedList(c.list, kCRLF, 2);
            continue;
        }
        c.lastWasCR = 0;
        if (v->text && v->table != nullptr)
            b = v->table[b];
        if (c.strip && (b == ' ' || b == '\t')) {
            QELStatus status = 0;
            if (v->fifoKind->write(c.pending, &b, 1, &status) != 1)
                return status != 0 ? status : QELError_OutOfMemory;
            continue;
        }
        if (c.strip) {
            if (QELStatus status = feedPending(v, c); status != 0)
                return status;
        }
        feedList(c.list, &b, 1);
    }
    return 0;
}

QELStatus hashText(VerifierBlock *v, const std::uint8_t *bytes, std::uint64_t n)
{
    for (Canonical &c : v->forms)
        if (QELStatus status = canonicalFeed(v, c, bytes, n); status != 0)
            return status;
    return 0;
}

QELStatus buildForms(VerifierBlock *v, const std::uint8_t *ids, std::int32_t count)
{
    QELMemoryMgr *mgr = qelContextMemoryMgr(v->head.context);
    std::array<std::uint8_t, 256> usable{};
    std::int32_t n = 0;
    for (std::int32_t i = 0; i < count && n < 256; ++i)
        if (qelHashDescriptorFind(ids[i]) != nullptr)
            usable[static_cast<std::size_t>(n++)] = ids[i];
    if (n == 0) {
        report(v->callbacks, v->callbackData, 0, QELDecodeEvent_DetachedNoHash);
        return QELError_ClearSignedHashMissing;
    }
    for (Canonical &c : v->forms) {
        if (QELStatus status = qelHashListCreate(mgr, usable.data(), &c.list, n); status != 0)
            return status;
    }
    v->hashCount = n;
    // the text that waited goes through the hashes now
    for (;;) {
        QELStatus status = 0;
        std::uint64_t available = 0;
        const std::uint8_t *bytes = v->fifoKind->peek(v->waiting, &available, &status);
        if (status != 0)
            return status;
        if (available == 0)
            return 0;
        if ((status = hashText(v, bytes, available)) != 0)
            return status;
        v->fifoKind->skip(v->waiting, available);
    }
}

bool prefixMatches(const QELSigItem *signature, const std::uint8_t *digest)
{
    QELSigBodyLayout layout{};
    if (qelSigPacketLayout(qelSigItemBytes(signature), signature->length, &layout) != 0)
        return false;
    const std::uint8_t *prefix = qelSigItemBytes(signature) + layout.prefixOffset;
    return prefix[0] == digest[0] && prefix[1] == digest[1];
}

QELStatus finalCheck(VerifierBlock *v)
{
    if (!v->textDone || !v->signatureDone || v->signatures == nullptr || v->hashCount == 0)
        return 0;
    QELStatus result = 0;
    for (const QELSigItem *item = v->signatures; item != nullptr && result == 0; item = qelSigListNext(item)) {
        const QELHashDescriptor *descriptor = qelSigPacketHashDescriptor(item);
        QELHashContext *plain = descriptor != nullptr ? qelHashListFind(v->forms[0].list, descriptor) : nullptr;
        QELHashContext *stripped = descriptor != nullptr ? qelHashListFind(v->forms[1].list, descriptor) : nullptr;
        if (plain == nullptr || stripped == nullptr) {
            report(v->callbacks, v->callbackData, QELError_UnknownHashAlgorithm, QELDecodeEvent_DetachedHashMissing);
            continue;
        }
        std::array<std::uint8_t, 64> digest{};
        result = finishFor(item, plain, digest.data(), digest.size());
        if (result == 0 && qelSigItemType(item) == 1 && !prefixMatches(item, digest.data())) {
            std::array<std::uint8_t, 64> second{};
            result = finishFor(item, stripped, second.data(), second.size());
            if (result == 0 && prefixMatches(item, second.data()))
                digest = second;
            qelSecureWipe(second.data(), second.size());
        }
        if (result == 0)
            result = v->callbacks->signatureResult(v->callbackData, item, digest.data());
        qelSecureWipe(digest.data(), digest.size());
    }
    qelSigListFree(v->signatures);
    v->signatures = nullptr;
    for (Canonical &c : v->forms) {
        if (c.list != nullptr)
            qelHashListFree(c.list);
        c.list = nullptr;
    }
    v->hashCount = 0;
    return result;
}

void freeIfDone(VerifierBlock *v)
{
    if (!v->textDestroyed || !v->signatureDestroyed)
        return;
    qelSigListFree(v->signatures);
    for (Canonical &c : v->forms) {
        if (c.list != nullptr)
            qelHashListFree(c.list);
        qelFifoDestroy(v->fifoKind, c.pending);
    }
    qelFifoDestroy(v->fifoKind, v->waiting);
    qelPipeModuleFree(v);
}

// -- text head
std::uint64_t textWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t n, QELStatus *status)
{
    VerifierBlock *v = block(m);
    QELStatus s = 0;
    if (n == 0)
        return 0;
    if (v->hashCount != 0) {
        s = hashText(v, bytes, n);
    } else if (v->fifoKind->write(v->waiting, bytes, n, &s) != n && s == 0) {
        s = QELError_OutOfMemory;
    }
    if (s != 0) {
        if (status != nullptr)
            *status = s;
        return 0;
    }
    return n;
}
QELStatus textFlush(QELPipeModule *) { return 0; }
QELStatus textAnnotate(QELPipeModule *, const void *, std::int32_t, void *, std::uint64_t) { return 0; }
QELStatus textExpect(QELPipeModule *m, std::uint64_t n)
{
    VerifierBlock *v = block(m);
    if (n != 0)
        return 0;
    v->textDone = 1;
    return finalCheck(v);
}
QELStatus textDestroy(QELPipeModule *m)
{
    VerifierBlock *v = block(m);
    v->textDestroyed = 1;
    freeIfDone(v);
    return 0;
}

// -- signature head
std::uint64_t sigWrite(QELPipeModule *m, const std::uint8_t *, std::uint64_t n, QELStatus *status)
{
    if (block(m)->inPlainText || n == 0)
        return n;
    if (status != nullptr)
        *status = QELError_BadParams;
    return 0;
}
QELStatus sigFlush(QELPipeModule *) { return 0; }
QELStatus sigAnnotate(QELPipeModule *m, const void *, std::int32_t code, void *data, std::uint64_t length)
{
    VerifierBlock *v = block(m);
    switch (code) {
    case QELAnnotation_BeginSignature:
    case QELAnnotation_BeginArmoredMessage:
    case QELAnnotation_BeginBinaryInput:
    case QELAnnotation_BeginInput:
        ++v->depth;
        return 0;
    case QELAnnotation_EndSignature:
    case QELAnnotation_EndArmoredMessage:
    case QELAnnotation_EndBinaryInput:
    case QELAnnotation_EndInput:
        --v->depth;
        return 0;
    case QELAnnotation_HeaderComplete:
    case QELAnnotation_DetachedSignature:
    case QELAnnotation_TextLine: // the armor parser's word that the signature is detached, passed on
        return 0;
    case QELAnnotation_BeginPlainText:
        if (!v->inPlainText) {
            v->inPlainText = 1;
            v->plainDepth = v->depth + 1;
        }
        ++v->depth;
        return 0;
    case QELAnnotation_EndPlainText:
        if (v->plainDepth == v->depth)
            v->inPlainText = 0;
        --v->depth;
        return 0;
    case QELAnnotation_SignaturePacket: {
        QELStatus status = qelSigListAddPacket(m->context, &v->signatures, code,
                                               static_cast<const std::uint8_t *>(data), length);
        if (status != 0)
            report(v->callbacks, v->callbackData, status, QELDecodeEvent_SignatureRefused);
        return status;
    }
    default:
        v->depth += qelAnnotationScopeStep(code);
        return QELError_BadParams;
    }
}
QELStatus sigExpect(QELPipeModule *m, std::uint64_t n)
{
    VerifierBlock *v = block(m);
    if (n != 0 || v->signatures == nullptr)
        return 0;
    if (v->hashCount == 0) {
        std::array<std::uint8_t, 256> ids{};
        const std::int32_t count = qelSigListHashAlgorithms(v->signatures, ids.data());
        if (QELStatus status = buildForms(v, ids.data(), count); status != 0)
            return status;
    }
    v->signatureDone = 1;
    return finalCheck(v);
}
QELStatus sigDestroy(QELPipeModule *m)
{
    VerifierBlock *v = block(m);
    v->signatureDestroyed = 1;
    freeIfDone(v);
    return 0;
}

constexpr QELPipeOps kSignatureHeadOps{sigWrite, sigFlush, sigAnnotate, sigExpect, sigDestroy};

} // namespace

QELSigVerifier *qelSigVerifyReaderCreate(QELContext *context, QELPipeModule **textSlot, QELPipeModule **signatureSlot,
                                         QELSettings *settings, const QELFifoDescriptor *fifoKind,
                                         const std::uint8_t *hashIds, std::int32_t hashCount, bool text,
                                         const QELDecodeCallbacks *callbacks, void *callbackData)
{
    if (textSlot == nullptr || signatureSlot == nullptr || fifoKind == nullptr || callbacks == nullptr)
        return nullptr;
    auto *v = qelPipeModuleNew<VerifierBlock>(context, QELPipeMagic_SigVerifySigHead,
                                              "Signature Verification Annotation Reader (sighead)", kSignatureHeadOps);
    if (v == nullptr)
        return nullptr;
    v->textHead = QELPipeModule{QELPipeMagic_SigVerifyTextHead, textWrite, textFlush, textAnnotate, textExpect,
                                textDestroy, "Signature Verification Annotation Reader (texthead)", context, v};
    v->fifoKind = fifoKind;
    v->settings = settings;
    v->callbacks = callbacks;
    v->callbackData = callbackData;
    v->text = text ? 1 : 0;
    v->table = settings != nullptr
                   ? static_cast<const std::uint8_t *>(qelSettingsGetPointer(settings, QELSetting_CharsetEncodeTable, nullptr))
                   : nullptr;
    v->forms[1].strip = 1;
    v->waiting = fifoKind->create(context);
    v->forms[0].pending = fifoKind->create(context);
    v->forms[1].pending = fifoKind->create(context);
    bool ok = v->waiting != nullptr && v->forms[0].pending != nullptr && v->forms[1].pending != nullptr;
    if (ok && hashIds != nullptr && hashCount > 0)
        ok = buildForms(v, hashIds, hashCount) == 0;
    if (!ok) {
        v->textDestroyed = v->signatureDestroyed = 1;
        freeIfDone(v);
        return nullptr;
    }
    *textSlot = &v->textHead;
    *signatureSlot = &v->head;
    return reinterpret_cast<QELSigVerifier *>(v);
}
