// The Signature module.
//
// Signer entries are newest first, so walking them from the head at the end
// of input writes the signature packets in the reverse order of the one-pass
// packets, as nesting requires. Signers with the same hash algorithm share
// one running hash and one Hash Module.
//
// The one-pass switch: the one-pass packets sit in the Join's head input
// (which goes first). On the first write, or at the end of an input that had
// no bytes, a further appendage is opened behind the data appendage for the
// signature packets, the head input is ended (its packets leave and the data
// appendage becomes due) and closed, and the new appendage becomes the
// signature output. Each step records its progress, so that a failure can be
// resumed by the next call.
#include "qelSignatureModuleInternal.h"

#include "qelContextInternal.h"
#include "qelCopyModuleInternal.h"
#include "qelHashInternal.h"
#include "qelHashModuleInternal.h"
#include "qelJoinModuleInternal.h"
#include "qelMemory.h"
#include "qelSigBuildInternal.h"
#include "qelSigSpecInternal.h"
#include "qelWipe.h"

#include <cstring>

namespace {

constexpr std::uint8_t kOnePassTag = 0xC4;      // new format, tag 4
constexpr std::uint8_t kOnePassBodyLength = 13;
constexpr std::uint8_t kSignatureNew = 0xC2;    // new format, tag 2
constexpr std::uint8_t kSignatureOld2 = 0x89;   // old format, tag 2, two-octet length
constexpr std::uint8_t kSignatureOld4 = 0x8A;   // old format, tag 2, four-octet length
constexpr std::size_t kFirstBuffer = 100;

struct SignerEntry {
    SignerEntry *next;
    QELSigSpec *spec;
    QELHashContext *hash; // owned by the module, possibly shared with other entries
};

enum SwitchState : std::uint8_t { NotStarted = 0, AppendageOpened = 1, HeadEnded = 2, Switched = 3 };

struct SignatureModule {
    QELPipeModule head;
    QELPipeModule *dataPath;
    QELPipeModule *signatureOutput;
    QELPipeModule *lastAppendage;
    QELPipeModule *nextOutput;
    QELPipeModule **joinSlot;
    SignerEntry *signers;
    SignerEntry *nextSigner;
    std::int32_t packetVersion;
    std::uint8_t *buffer;
    std::uint32_t capacity;
    std::uint8_t *pending;
    std::uint32_t pendingCount;
    std::int32_t depth;
    std::uint8_t switchState;
};

SignatureModule *self(QELPipeModule *m) { return qelPipeModuleState<SignatureModule>(m); }

void setStatus(QELStatus *status, QELStatus value)
{
    if (status != nullptr)
        *status = value;
}

void putBE32(std::uint8_t *out, std::uint32_t v)
{
    out[0] = std::uint8_t(v >> 24);
    out[1] = std::uint8_t(v >> 16);
    out[2] = std::uint8_t(v >> 8);
    out[3] = std::uint8_t(v);
}

void wipeAndFree(QELContext *context, void *block, std::size_t size)
{
    if (block == nullptr)
        return;
    qelSecureWipe(block, size);
    static_cast<void>(qelContextMemFree(context, block)); // a block of this context
}

void freeBuffer(SignatureModule *s)
{
    wipeAndFree(s->head.context, s->buffer, s->capacity);
    s->buffer = nullptr;
    s->capacity = 0;
    s->pending = nullptr;
    s->pendingCount = 0;
}

bool hashSharedEarlier(const SignerEntry *list, const SignerEntry *entry)
{
    for (const SignerEntry *e = list; e != entry; e = e->next)
        if (e->hash == entry->hash)
            return true;
    return false;
}

// Frees every entry and each running hash once.
void freeSigners(SignatureModule *s)
{
    for (SignerEntry *e = s->signers; e != nullptr; e = e->next)
        if (e->hash != nullptr && !hashSharedEarlier(s->signers, e))
            static_cast<void>(qelHashFree(e->hash)); // ours, valid
    for (SignerEntry *e = s->signers; e != nullptr;) {
        SignerEntry *next = e->next;
        wipeAndFree(s->head.context, e, sizeof *e);
        e = next;
    }
    s->signers = nullptr;
    s->nextSigner = nullptr;
}

bool oneFormPending(const SignatureModule *s)
{
    return s->packetVersion >= 4 && s->lastAppendage != s->signatureOutput && s->switchState != Switched;
}

QELStatus runOnePassSwitch(SignatureModule *s)
{
    if (s->switchState == NotStarted) {
        s->nextOutput = qelJoinAppendageCreate(s->lastAppendage);
        if (s->nextOutput == nullptr)
            return QELError_OutOfMemory;
        s->switchState = AppendageOpened;
    }
    if (s->switchState == AppendageOpened) {
        if (QELStatus st = qelPipeExpectBytes(s->signatureOutput, 0); st != 0)
            return st;
        s->switchState = HeadEnded;
    }
    // Closing a Join input only marks it finished; the join goes when all are.
    qelPipeDestroy(s->signatureOutput);
    s->signatureOutput = s->nextOutput;
    s->nextOutput = nullptr;
    s->switchState = Switched;
    return 0;
}

std::uint64_t sigWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    SignatureModule *s = self(m);
    if (oneFormPending(s))
        if (QELStatus st = runOnePassSwitch(s); st != 0) {
            setStatus(status, st);
            return 0;
        }
    return qelPipeWrite(s->dataPath, bytes, length, status);
}

QELStatus sigFlush(QELPipeModule *m)
{
    SignatureModule *s = self(m);
    if (QELStatus st = qelPipeFlush(s->dataPath); st != 0)
        return st;
    return qelPipeFlush(s->signatureOutput);
}

QELStatus sigAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    SignatureModule *s = self(m);
    QELStatus st = qelPipeAnnotate(s->dataPath, origin, code, data, length);
    if (st == 0)
        s->depth += qelAnnotationScopeStep(code);
    return st;
}

// Writes what is left of the packet in the buffer; the state survives a
// failure so that a repeated end of input resumes here.
QELStatus writePending(SignatureModule *s)
{
    while (s->pendingCount != 0) {
        QELStatus st = 0;
        const std::uint64_t taken = qelPipeWrite(s->signatureOutput, s->pending, s->pendingCount, &st);
        s->pending += taken;
        s->pendingCount -= std::uint32_t(taken);
        if (st != 0)
            return st;
        if (taken == 0)
            return QELError_WriteFailed; // a stalled output would spin for ever
    }
    return 0;
}

// Builds the next signer's packet into the buffer, behind room for the
// longest header, and puts its header in front.
QELStatus buildPacket(SignatureModule *s, SignerEntry *e)
{
    std::uint8_t *body = nullptr;
    const std::int64_t n = qelSigSpecMakePacket(e->spec, e->hash, &body);
    if (n < 0)
        return QELStatus(n);
    QELContext *bodyContext = qelSigSpecContext(e->spec);
    const std::size_t need = std::size_t(n) + QELSignaturePacketMaxHeader;
    if (need > s->capacity) {
        freeBuffer(s);
        s->buffer = static_cast<std::uint8_t *>(qelContextMemAlloc(s->head.context, need, QELMemFlag_Clear));
        if (s->buffer == nullptr) {
            wipeAndFree(bodyContext, body, std::size_t(n));
            return QELError_OutOfMemory;
        }
        s->capacity = std::uint32_t(need);
    }
    std::uint8_t *at = s->buffer + QELSignaturePacketMaxHeader;
    std::memcpy(at, body, std::size_t(n));
    wipeAndFree(bodyContext, body, std::size_t(n));
    std::uint8_t header[QELSignaturePacketMaxHeader];
    const std::size_t h = qelSignaturePacketHeader(header, s->packetVersion, std::uint64_t(n));
    s->pending = at - h;
    std::memcpy(s->pending, header, h);
    s->pendingCount = std::uint32_t(h + std::size_t(n));
    return 0;
}

QELStatus sigExpectBytes(QELPipeModule *m, std::uint64_t count)
{
    SignatureModule *s = self(m);
    const bool endOfInput = count == 0 && s->depth == 0;
    // An input without a single byte never ran the switch in a write; the
    // signatures must still come behind the data, not in front of it.
    if (endOfInput && oneFormPending(s))
        if (QELStatus st = runOnePassSwitch(s); st != 0)
            return st;
    if (QELStatus st = qelPipeExpectBytes(s->dataPath, count); st != 0 || !endOfInput)
        return st;

    if (s->nextSigner != nullptr && s->buffer == nullptr) {
        s->buffer = static_cast<std::uint8_t *>(qelContextMemAlloc(s->head.context, kFirstBuffer, QELMemFlag_Clear));
        if (s->buffer == nullptr)
            return QELError_OutOfMemory;
        s->capacity = kFirstBuffer;
    }
    while (s->nextSigner != nullptr || s->pendingCount != 0) {
        if (s->pendingCount == 0) {
            if (QELStatus st = buildPacket(s, s->nextSigner); st != 0)
                return st;
            s->nextSigner = s->nextSigner->next;
        }
        if (QELStatus st = writePending(s); st != 0)
            return st;
    }
    freeSigners(s);
    freeBuffer(s);
    return qelPipeExpectBytes(s->signatureOutput, 0);
}

QELStatus sigDestroy(QELPipeModule *m)
{
    SignatureModule *s = self(m);
    qelPipeDestroy(s->dataPath);
    qelPipeDestroy(s->signatureOutput);
    // An appendage opened by an unfinished switch is a Join input too: the
    // join is freed only once every input is closed.
    qelPipeDestroy(s->nextOutput);
    freeSigners(s);
    freeBuffer(s);
    qelPipeModuleFree(s);
    return 0;
}

constexpr QELPipeOps kSignatureOps{sigWrite, sigFlush, sigAnnotate, sigExpectBytes, sigDestroy};

// One signer: its running hash (shared by algorithm) with a Hash Module at
// the front of the data path, its one-pass packet, its entry at the head.
QELStatus addSigner(SignatureModule *s, QELSigSpec *spec, std::uint8_t nested, bool onePass)
{
    const QELHashDescriptor *descriptor = qelSigSpecHashDescriptor(spec);
    if (descriptor == nullptr)
        return QELError_UnknownHashAlgorithm;
    QELContext *context = s->head.context;
    auto *entry = static_cast<SignerEntry *>(qelContextMemAlloc(context, sizeof(SignerEntry), QELMemFlag_Clear));
    if (entry == nullptr)
        return QELError_OutOfMemory;
    entry->spec = spec;
    for (SignerEntry *e = s->signers; e != nullptr && entry->hash == nullptr; e = e->next)
        if (e->hash->descriptor == descriptor)
            entry->hash = e->hash;
    if (entry->hash == nullptr) {
        entry->hash = qelHashCreateForDescriptor(qelContextGetMemoryMgr(context), descriptor);
        if (entry->hash == nullptr || qelHashModuleCreate(context, &s->dataPath, entry->hash) == nullptr) {
            if (entry->hash != nullptr)
                static_cast<void>(qelHashFree(entry->hash)); // ours, valid
            wipeAndFree(context, entry, sizeof *entry);
            return QELError_OutOfMemory;
        }
    }
    // From here on the entry is listed, so its hash (now feeding a Hash
    // Module) is freed with the module whatever happens next.
    entry->next = s->signers;
    s->signers = entry;
    s->nextSigner = entry;
    if (onePass) {
        std::uint8_t packet[2 + kOnePassBodyLength] = {kOnePassTag, kOnePassBodyLength};
        if (qelSigSpecMakeOnePass(packet + 2, spec, nested) != kOnePassBodyLength)
            return QELError_BadParams;
        // The Join's downstream may not exist yet: the packet waits in the
        // head input, which leaves the join before any data.
        QELStatus st = 0;
        const std::uint64_t held = qelJoinModuleHold(s->signatureOutput, packet, sizeof packet, &st);
        if (st != 0)
            return st;
        if (held != sizeof packet)
            return QELError_WriteFailed;
    }
    return 0;
}

} // namespace

std::size_t qelSignaturePacketHeader(std::uint8_t *out, std::int32_t packetVersion, std::uint64_t length)
{
    if (packetVersion <= 3) {
        if (length <= 0xFFFF) {
            out[0] = kSignatureOld2;
            out[1] = std::uint8_t(length >> 8);
            out[2] = std::uint8_t(length);
            return 3;
        }
        out[0] = kSignatureOld4;
        putBE32(out + 1, std::uint32_t(length));
        return 5;
    }
    out[0] = kSignatureNew;
    if (length <= 191) {
        out[1] = std::uint8_t(length);
        return 2;
    }
    if (length <= 8383) {
        out[1] = std::uint8_t(192 + ((length - 192) >> 8));
        out[2] = std::uint8_t((length - 192) & 0xFF);
        return 3;
    }
    out[1] = 0xFF;
    putBE32(out + 2, std::uint32_t(length));
    return 6;
}

QELPipeModule **qelSignatureModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t packetVersion,
                                         const QELFifoDescriptor *fifoKind)
{
    if (slot == nullptr || fifoKind == nullptr)
        return nullptr;
    auto *s = qelPipeModuleNew<SignatureModule>(context, QELPipeMagic_Signature, "Signature", kSignatureOps);
    if (s == nullptr)
        return nullptr;
    s->joinSlot = qelJoinModuleInsert(context, &s->signatureOutput, fifoKind);
    if (s->joinSlot == nullptr) {
        qelPipeModuleFree(s);
        return nullptr;
    }
    s->packetVersion = packetVersion;
    s->lastAppendage = s->signatureOutput;
    s->dataPath = *slot;
    QELPipeModule **copySlot = qelCopyModuleCreate(context, &s->dataPath);
    if (copySlot == nullptr) {
        qelPipeDestroy(s->signatureOutput);
        qelPipeModuleFree(s);
        return nullptr;
    }
    *slot = &s->head;
    return copySlot;
}

QELPipeModule **qelSignatureModuleAddSigners(QELPipeModule *module, QELSigSpec *specs, std::uint8_t detached)
{
    if (module == nullptr || module->magic != QELPipeMagic_Signature || specs == nullptr)
        return nullptr;
    SignatureModule *s = self(module);
    const bool onePass = detached == 0 && s->packetVersion > 3;
    for (QELSigSpec *spec = specs; spec != nullptr; spec = qelSigSpecNext(spec)) {
        const std::uint8_t nested = qelSigSpecNext(spec) == nullptr ? 1 : 0;
        if (addSigner(s, spec, nested, onePass) != 0)
            return nullptr;
        if (s->packetVersion <= 3)
            break;
    }
    return s->joinSlot;
}

QELPipeModule **qelSignatureModuleJoinData(QELPipeModule *module, QELPipeModule **slot)
{
    if (module == nullptr || module->magic != QELPipeMagic_Signature || slot == nullptr || *slot != nullptr)
        return nullptr;
    SignatureModule *s = self(module);
    QELPipeModule *appendage = qelJoinAppendageCreate(s->lastAppendage);
    if (appendage == nullptr)
        return nullptr;
    *slot = appendage;
    s->lastAppendage = appendage;
    return s->joinSlot;
}
