// The Ascii Armor Parser Module: the line machine that classifies input, and
// the message assembly that orders what it decodes.
#include "qelArmorParserInternal.h"

#include "qelContextInternal.h"
#include "qelCopyModuleInternal.h"
#include "qelHashInternal.h"
#include "qelMemory.h"
#include "qelMessageParserInternal.h"
#include "qelSigVerifyInternal.h"
#include "qelSplitModuleInternal.h"
#include "qelTextFilterModuleInternal.h"
#include "qelWipe.h"

#include <array>
#include <cstring>
#include <type_traits>

namespace {

constexpr std::size_t kLineMax = 255;
constexpr std::uint64_t kEventPayloadMax = 4096;

enum ParserState : std::int32_t {
    StateMain = 0,
    StateHeaders,
    StateBody,
    StateSkipToEnd,
    StateClearHeaders,
    StateClearText,
    StateBinary,
    StateMimeHeader,
    StateSkipToBoundary,
    StateSkipToSignature,
    StateSkipToClosingBoundary,
};

struct ArmorMessage;

struct ArmorPart {
    std::uint32_t number;
    std::uint8_t state; // 0 open, 1 complete
    QELFifo *held;      // bytes not yet due (caller's FIFO class)
    // Clear-signed text: the Split that sends the text on and into the
    // verifier, and the message parser that reads the signature block into
    // the verifier's other head.
    QELPipeModule *textChain;
    QELPipeModule *signatureParser;
    ArmorMessage *message;
    ArmorPart *next;
};

struct ArmorMessage {
    char *messageId; // null without one
    std::uint32_t total;
    std::uint32_t number;
    std::uint32_t lastPart; // highest part number made so far
    std::uint8_t begun;
    std::uint64_t beginOffset;
    QELPipeModule *chain;     // head of the message's chain
    QELPipeModule **endSlot;  // the Copy Module's downstream, cut when freed
    ArmorPart *parts;
    ArmorMessage *next;
};

struct ArmorParser {
    QELPipeModule head;
    QELPipeModule *downstream;
    const QELFifoDescriptor *fifoKind;
    QELContext *context;
    QELSettings *settings;
    const QELDecodeCallbacks *callbacks;
    void *callbackData;
    std::int32_t nesting; // message-parser depth of the literal this armor came in
    std::int32_t state;
    std::int32_t pendingEnd;
    std::int32_t pendingDepth;
    std::int32_t depth;
    ArmorPart *current;
    std::uint8_t discardBody; // a body whose part cannot be taken any more
    std::uint8_t clearSignature; // the block is a clear-signed message's signature
    std::uint32_t partNumber;
    std::uint32_t totalParts;
    char messageId[256];
    std::uint8_t line[kLineMax + 1];
    std::size_t lineLength;
    std::uint8_t crPending;   // the line ended in CR; an LF may still follow
    std::uint8_t continuing;  // the previous piece filled the line without an end
    std::uint8_t lineEndKind; // 1 LF, 2 CR, 3 CR LF
    std::uint8_t owedEnd;     // clear-signed text: line end of the previous line
    std::uint64_t inputOffset;
    std::uint64_t lineOffset;
    std::uint64_t blockOffset;
    char quote[256];
    std::size_t quoteLength;
    char carry[84];
    std::size_t carryLength;
    std::uint32_t crc;
    std::uint8_t hashIds[QELArmorMaxHashIds];
    std::size_t hashCount;
    std::uint8_t clearSignedAsText;
    std::uint8_t keyBlocksAsText;
    std::uint8_t echo; // every line of the block also goes on as a TextLine annotation
    // A line whose output a module refused is read again on the next call;
    // the bytes of it that were delivered before are not delivered twice.
    std::uint64_t lineSent; // bytes of the current line delivered so far
    std::uint64_t lineSkip; // of those, still to pass over in this attempt
    std::uint8_t lineFailed; // the current line's output was refused
    std::uint8_t retryLine;  // the collected line is to be read again
    std::uint8_t retryFull;
    std::uint8_t lineEchoed; // the current line went on as a TextLine already
    ArmorMessage *stalled;   // a message whose parts a module refused, to advance again
    std::uint8_t mime; // a multipart/signed message is being read
    char boundary[258]; // "--" and the boundary, later with "--" appended
    std::size_t boundaryLength;
    ArmorMessage *messages;
    std::uint32_t messageCount;
    std::uint8_t deferred;
    QELFifo *dataLog;
    QELFifo *eventLog;
    std::uint64_t recorded;
    std::uint64_t replayData;
    std::uint8_t eventLoaded;
    std::uint8_t eventType;
    std::uint32_t eventLength;
    std::uint8_t eventPayload[kEventPayloadMax];
};

ArmorParser *self(QELPipeModule *m) { return qelPipeModuleState<ArmorParser>(m); }

constexpr std::array<std::uint8_t, 256> kIdentityMap = [] {
    std::array<std::uint8_t, 256> map{};
    for (std::size_t i = 0; i < map.size(); ++i)
        map[i] = static_cast<std::uint8_t>(i);
    return map;
}();

template <typename T>
T *allocZeroed(QELContext *context)
{
    void *p = qelMemAlloc(qelContextMemoryMgr(context), sizeof(T), 0);
    if (p != nullptr)
        std::memset(p, 0, sizeof(T));
    return static_cast<T *>(p);
}

template <typename T>
void freeWiped(T *p)
{
    qelSecureWipe(p, sizeof(T));
    static_cast<void>(qelMemFree(p));
}

bool isSpace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool isAlpha(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

std::size_t trimmedLength(const std::uint8_t *s, std::size_t n)
{
    while (n > 0 && isSpace(s[n - 1]))
        --n;
    return n;
}

bool startsWith(const std::uint8_t *s, std::size_t n, const char *prefix)
{
    const std::size_t k = std::strlen(prefix);
    return n >= k && std::memcmp(s, prefix, k) == 0;
}

QELStatus fifoPut(const QELFifoDescriptor *kind, QELFifo *fifo, const void *bytes, std::uint64_t n)
{
    QELStatus status = 0;
    const std::uint64_t put = kind->write(fifo, bytes, n, &status);
    if (status != 0)
        return status;
    return put == n ? 0 : QELError_OutOfMemory;
}

// ---- output paths ----------------------------------------------------------

QELStatus recordEvent(ArmorParser *p, std::uint8_t type, const std::uint8_t *payload, std::uint64_t length)
{
    if (length > kEventPayloadMax)
        return QELError_BadParams;
    std::uint8_t head[13];
    std::memcpy(head, &p->recorded, 8);
    head[8] = type;
    const auto len32 = static_cast<std::uint32_t>(length);
    std::memcpy(head + 9, &len32, 4);
    if (QELStatus s = fifoPut(p->fifoKind, p->eventLog, head, sizeof head); s != 0)
        return s;
    if (QELStatus s = fifoPut(p->fifoKind, p->eventLog, payload, length); s != 0)
        return s;
    p->recorded = 0;
    return 0;
}

// Passes over the bytes of the current line that an earlier attempt at it
// delivered; false when nothing is left to deliver.
bool skipDelivered(ArmorParser *p, const std::uint8_t *&bytes, std::uint64_t &n)
{
    const std::uint64_t skip = p->lineSkip < n ? p->lineSkip : n;
    p->lineSkip -= skip;
    p->lineSent += skip;
    bytes += skip;
    n -= skip;
    return n != 0;
}

// Output of the current line to a module, or into a FIFO.
QELStatus emitTo(ArmorParser *p, QELPipeModule *to, const std::uint8_t *bytes, std::uint64_t n)
{
    if (!skipDelivered(p, bytes, n))
        return 0;
    std::uint64_t taken = 0;
    const QELStatus status = qelPipeWriteAll(to, bytes, n, &taken);
    p->lineSent += taken;
    p->lineFailed = status != 0 ? 1 : 0;
    return status;
}

QELStatus putTo(ArmorParser *p, QELFifo *fifo, const std::uint8_t *bytes, std::uint64_t n, std::uint64_t *counted)
{
    if (!skipDelivered(p, bytes, n))
        return 0;
    if (QELStatus s = fifoPut(p->fifoKind, fifo, bytes, n); s != 0)
        return s;
    p->lineSent += n;
    if (counted != nullptr)
        *counted += n;
    return 0;
}

QELStatus sendData(ArmorParser *p, const std::uint8_t *bytes, std::uint64_t n)
{
    if (n == 0)
        return 0;
    if (p->deferred)
        return putTo(p, p->dataLog, bytes, n, &p->recorded);
    return emitTo(p, p->downstream, bytes, n);
}

QELStatus sendAnnotation(ArmorParser *p, std::int32_t code, const void *data, std::uint64_t length)
{
    if (!p->deferred)
        return qelPipeAnnotate(p->downstream, p, code, const_cast<void *>(data), length);
    if (length > kEventPayloadMax - 20)
        return QELError_BadParams;
    std::uint8_t payload[kEventPayloadMax];
    const std::uint64_t origin = 0;
    std::memcpy(payload, &origin, 8);
    std::memcpy(payload + 8, &code, 4);
    std::memcpy(payload + 12, &length, 8);
    if (length != 0)
        std::memcpy(payload + 20, data, length);
    return recordEvent(p, 2, payload, 20 + length);
}

QELStatus sendPendingEnd(ArmorParser *p)
{
    if (p->pendingEnd == 0)
        return 0;
    const std::int32_t code = p->pendingEnd;
    p->pendingEnd = 0;
    return sendAnnotation(p, code, nullptr, 0);
}

QELStatus openScope(ArmorParser *p, std::int32_t beginCode, std::uint64_t offset)
{
    if (QELStatus s = sendAnnotation(p, beginCode, &offset, sizeof offset); s != 0)
        return s;
    p->pendingEnd = beginCode + 1;
    p->pendingDepth = p->depth;
    return 0;
}

// ---- message assembly ------------------------------------------------------

void freePart(ArmorMessage *m, ArmorPart *part, const QELFifoDescriptor *kind)
{
    for (ArmorPart **link = &m->parts; *link != nullptr; link = &(*link)->next)
        if (*link == part) {
            *link = part->next;
            break;
        }
    if (part->textChain != nullptr && m->endSlot != nullptr) {
        // the text chain ends in the message's Copy Module: the shared
        // downstream behind it survives
        *m->endSlot = nullptr;
        m->endSlot = nullptr;
    }
    qelPipeDestroy(part->signatureParser);
    qelPipeDestroy(part->textChain);
    qelFifoDestroy(kind, part->held);
    freeWiped(part);
}

void freeMessage(ArmorParser *p, ArmorMessage *m)
{
    if (p->current != nullptr && p->current->message == m)
        p->current = nullptr;
    if (m->endSlot != nullptr)
        *m->endSlot = nullptr; // the shared downstream survives the chain
    qelPipeDestroy(m->chain);
    while (m->parts != nullptr)
        freePart(m, m->parts, p->fifoKind);
    if (m->messageId != nullptr) {
        qelSecureWipe(m->messageId, std::strlen(m->messageId));
        static_cast<void>(qelMemFree(m->messageId));
    }
    for (ArmorMessage **link = &p->messages; *link != nullptr; link = &(*link)->next)
        if (*link == m) {
            *link = m->next;
            break;
        }
    if (p->stalled == m)
        p->stalled = nullptr;
    if (m->begun)
        p->deferred = 0;
    freeWiped(m);
}

QELPipeModule *chainHead(ArmorMessage *m) { return m->chain; }

// Null when the message cannot be made; *status says why (no memory, or a
// message parser refused at its nesting depth).
ArmorMessage *messageFind(ArmorParser *p, const char *id, std::uint32_t total, QELStatus *status,
                          bool packets = true)
{
    *status = 0;
    ArmorMessage *last = nullptr;
    for (ArmorMessage *m = p->messages; m != nullptr; last = m, m = m->next) {
        if (id[0] != 0) {
            // The whole ID must match: one ID is never a prefix of another.
            if (m->messageId != nullptr && std::strcmp(m->messageId, id) == 0) {
                if (total != 0 && m->total == 0)
                    m->total = total;
                return m;
            }
        } else if (m->messageId == nullptr && total != 1 && (m->total == total || m->total == 0)) {
            // Numbered parts of version 4 carry their total only on the last
            // part, so a message whose total is still unknown takes it then.
            if (m->total == 0)
                m->total = total;
            return m;
        }
    }
    *status = QELError_OutOfMemory;
    auto *m = allocZeroed<ArmorMessage>(p->context);
    if (m == nullptr)
        return nullptr;
    if (id[0] != 0) {
        const std::size_t n = std::strlen(id);
        m->messageId = static_cast<char *>(qelMemAlloc(qelContextMemoryMgr(p->context), n + 1, 0));
        if (m->messageId == nullptr) {
            freeWiped(m);
            return nullptr;
        }
        std::memcpy(m->messageId, id, n + 1);
    }
    m->endSlot = qelCopyModuleCreate(p->context, &m->chain);
    bool ok = m->endSlot != nullptr;
    if (ok) {
        *m->endSlot = p->downstream;
        if (auto make = qelArmorParserSeams().messageParser; packets && make != nullptr) {
            QELStatus made = 0;
            ok = make(p->context, &m->chain, p->settings, p->callbacks, p->callbackData, p->nesting, &made) != nullptr;
            if (made != 0)
                *status = made;
        }
    }
    m->total = total;
    m->number = ++p->messageCount;
    if (last != nullptr)
        last->next = m;
    else
        p->messages = m;
    if (!ok) {
        freeMessage(p, m);
        return nullptr;
    }
    *status = 0;
    return m;
}

ArmorPart *partFind(ArmorParser *p, ArmorMessage *m, std::uint32_t number)
{
    p->crc = QELArmorCrc24Init;
    ArmorPart *last = nullptr;
    for (ArmorPart *part = m->parts; part != nullptr; last = part, part = part->next)
        if (part->number == number)
            return part;
    if (number <= m->lastPart)
        return nullptr; // that part has been read and passed on already
    for (std::uint32_t n = m->lastPart + 1; n <= number; ++n) {
        auto *part = allocZeroed<ArmorPart>(p->context);
        if (part == nullptr)
            return nullptr;
        part->held = p->fifoKind->create(p->context);
        if (part->held == nullptr) {
            freeWiped(part);
            return nullptr;
        }
        part->number = n;
        part->message = m;
        if (last != nullptr)
            last->next = part;
        else
            m->parts = part;
        last = part;
        m->lastPart = n;
    }
    return last;
}

QELStatus drainHeld(ArmorParser *p, ArmorPart *part)
{
    for (;;) {
        QELStatus status = 0;
        std::uint64_t available = 0;
        const std::uint8_t *bytes = p->fifoKind->peek(part->held, &available, &status);
        if (status != 0)
            return status;
        if (bytes == nullptr)
            return 0;
        std::uint64_t taken = 0;
        status = qelPipeWriteAll(chainHead(part->message), bytes, available, &taken);
        p->fifoKind->skip(part->held, taken);
        if (status != 0)
            return status;
    }
}

QELStatus partWrite(ArmorParser *p, ArmorPart *part, const std::uint8_t *bytes, std::uint64_t n)
{
    if (part == nullptr || part->state != 0 || n == 0)
        return 0;
    ArmorMessage *m = part->message;
    if (part->signatureParser != nullptr)
        return emitTo(p, part->signatureParser, bytes, n);
    if (m->begun && m->parts == part && p->fifoKind->size(part->held) == 0)
        return emitTo(p, chainHead(m), bytes, n);
    return putTo(p, part->held, bytes, n, nullptr);
}

// End of input to the modules of a message's last part.
QELStatus partClose(ArmorPart *part)
{
    if (part->signatureParser == nullptr && part->textChain == nullptr)
        return qelPipeExpectBytes(chainHead(part->message), 0);
    QELStatus status = 0;
    if (part->signatureParser != nullptr)
        status = qelPipeExpectBytes(part->signatureParser, 0);
    if (part->textChain != nullptr)
        if (QELStatus s = qelPipeExpectBytes(part->textChain, 0); status == 0)
            status = s;
    return status;
}

QELStatus messageAdvanceOnce(ArmorParser *p, ArmorMessage *m);

// Passes on every part that is due; ends the message once its last part is.
// When a module refuses, the message is advanced again on the next call.
QELStatus messageAdvance(ArmorParser *p, ArmorMessage *m)
{
    const QELStatus status = messageAdvanceOnce(p, m);
    if (status != 0)
        p->stalled = m;
    return status;
}

QELStatus messageAdvanceOnce(ArmorParser *p, ArmorMessage *m)
{
    while (m->parts != nullptr) {
        ArmorPart *part = m->parts;
        if (QELStatus s = drainHeld(p, part); s != 0)
            return s;
        if (part->state == 0)
            return 0;
        if (part->next != nullptr) {
            if (p->current == part)
                p->current = nullptr;
            freePart(m, part, p->fifoKind);
            continue;
        }
        if (m->total == 0 || part->number != m->total)
            return 0;
        if (QELStatus s = partClose(part); s != 0)
            return s;
        freeMessage(p, m);
        return qelPipeAnnotate(p->downstream, p, QELAnnotation_EndArmoredMessage, nullptr, 0);
    }
    return 0;
}

QELStatus messageBegin(ArmorParser *p, ArmorMessage *m)
{
    if (p->deferred) {
        std::uint8_t payload[8];
        std::memcpy(payload, &m, sizeof m);
        return recordEvent(p, 1, payload, sizeof payload);
    }
    if (QELStatus s = qelPipeAnnotate(p->downstream, p, QELAnnotation_BeginArmoredMessage, &m->beginOffset, 8); s != 0)
        return s;
    p->deferred = 1;
    m->begun = 1;
    return messageAdvance(p, m);
}

bool messageHeld(const ArmorParser *p, const ArmorMessage *m)
{
    for (const ArmorMessage *i = p->messages; i != nullptr; i = i->next)
        if (i == m)
            return true;
    return false;
}

QELStatus replay(ArmorParser *p)
{
    while (!p->deferred) {
        while (p->replayData > 0) {
            // what the downstream does not take stays logged for the next call
            QELStatus status = 0;
            std::uint64_t available = 0;
            const std::uint8_t *bytes = p->fifoKind->peek(p->dataLog, &available, &status);
            if (status != 0)
                return status;
            if (bytes == nullptr || available == 0)
                return QELError_ArmorParseError;
            std::uint64_t taken = 0;
            status = qelPipeWriteAll(p->downstream, bytes, available < p->replayData ? available : p->replayData,
                                     &taken);
            p->fifoKind->skip(p->dataLog, taken);
            p->replayData -= taken;
            if (status != 0)
                return status;
        }
        if (p->eventLoaded) {
            p->eventLoaded = 0;
            if (p->eventType == 1) {
                ArmorMessage *m = nullptr;
                std::memcpy(&m, p->eventPayload, sizeof m);
                if (messageHeld(p, m))
                    if (QELStatus s = messageBegin(p, m); s != 0)
                        return s;
            } else {
                std::int32_t code = 0;
                std::uint64_t length = 0;
                std::memcpy(&code, p->eventPayload + 8, 4);
                std::memcpy(&length, p->eventPayload + 12, 8);
                if (QELStatus s = sendAnnotation(p, code, length ? p->eventPayload + 20 : nullptr, length); s != 0)
                    return s;
            }
            continue;
        }
        if (p->fifoKind->size(p->eventLog) == 0) {
            p->replayData = p->fifoKind->size(p->dataLog);
            if (p->replayData == 0)
                return 0;
            continue;
        }
        std::uint8_t head[13];
        QELStatus status = 0;
        if (p->fifoKind->read(p->eventLog, head, sizeof head, &status) != sizeof head || status != 0)
            return status != 0 ? status : QELError_ArmorParseError;
        std::memcpy(&p->replayData, head, 8);
        p->eventType = head[8];
        std::memcpy(&p->eventLength, head + 9, 4);
        if (p->eventLength > kEventPayloadMax ||
            p->fifoKind->read(p->eventLog, p->eventPayload, p->eventLength, &status) != p->eventLength || status != 0)
            return status != 0 ? status : QELError_ArmorParseError;
        p->eventLoaded = 1;
    }
    return 0;
}

// ---- the line machine ------------------------------------------------------

void clearBlock(ArmorParser *p)
{
    p->current = nullptr;
    p->discardBody = 0;
    p->clearSignature = 0;
    p->partNumber = p->totalParts = 0;
    std::memset(p->messageId, 0, sizeof p->messageId);
    p->quoteLength = 0;
    p->carryLength = 0;
    p->hashCount = 0;
    p->owedEnd = 0;
    p->echo = 0;
    p->state = StateMain;
}

// A line of an echoed block; while a message is open, the lines of its own
// blocks go on at once, any other is logged with the rest.
QELStatus echoLine(ArmorParser *p, const std::uint8_t *s, std::size_t n)
{
    if (p->deferred && p->current != nullptr && p->current->message->begun)
        return qelPipeAnnotate(p->downstream, p, QELAnnotation_TextLine, const_cast<std::uint8_t *>(s), n);
    return sendAnnotation(p, QELAnnotation_TextLine, s, n);
}

QELStatus endPart(ArmorParser *p)
{
    ArmorPart *part = p->current;
    const bool keepScope = p->clearSignature;
    clearBlock(p);
    p->mime = 0;
    p->boundaryLength = 0;
    if (part != nullptr) {
        part->state = 1;
        if (part->message->begun)
            if (QELStatus s = messageAdvance(p, part->message); s != 0)
                return s;
    }
    // The scope that held the part closes after it, so scopes stay nested.
    if (keepScope || p->pendingEnd == QELAnnotation_EndBinaryInput)
        return sendPendingEnd(p);
    return 0;
}

QELStatus endPartWith(ArmorParser *p, std::int32_t code, const std::uint8_t *data, std::uint64_t n)
{
    if (QELStatus s = sendAnnotation(p, code, data, n); s != 0)
        return s;
    return endPart(p);
}

const std::uint8_t *withoutQuote(const ArmorParser *p, const std::uint8_t *s, std::size_t &n)
{
    if (p->quoteLength != 0 && n >= p->quoteLength && std::memcmp(s, p->quote, p->quoteLength) == 0) {
        n -= p->quoteLength;
        return s + p->quoteLength;
    }
    return s;
}

// Column of "-----BEGIN QEL " in the line, or -1.
long findBegin(const std::uint8_t *s, std::size_t n)
{
    static constexpr char kBegin[] = "-----BEGIN QEL ";
    if (n <= 15)
        return -1;
    std::size_t i = 0;
    while (i + 15 <= n) {
        const std::uint8_t c = s[i];
        if (c == '<') {
            while (i < n && s[i] != '>')
                ++i;
            ++i;
            continue;
        }
        if (isAlpha(c) || isDigit(c))
            return -1;
        if (c == '-' && std::memcmp(s + i, kBegin, 15) == 0)
            return static_cast<long>(i);
        ++i;
    }
    return -1;
}

bool isBase64Line(const std::uint8_t *s, std::size_t n)
{
    if (n == 0)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (s[i] != '=' && qelBase64Value(s[i]) == 0xFF)
            return false;
    return true;
}

QELStatus checkChecksum(ArmorParser *p, const std::uint8_t *s, std::size_t n)
{
    if (n != 5 || s[0] != '=') {
        return endPartWith(p, QELAnnotation_ArmorBadChecksumLine, s, n);
    }
    for (std::size_t i = 1; i < 5; ++i)
        if (qelBase64Value(s[i]) == 0xFF)
            return endPartWith(p, QELAnnotation_ArmorBadChecksumLine, s, n);
    std::uint8_t crc[3];
    qelBase64DecodeQuad(reinterpret_cast<const char *>(s + 1), crc);
    const std::uint32_t value = (std::uint32_t{crc[0]} << 16) | (std::uint32_t{crc[1]} << 8) | crc[2];
    if (value != p->crc)
        return endPartWith(p, QELAnnotation_ArmorChecksumMismatch, s, n);
    p->state = StateSkipToEnd;
    return 0;
}

QELStatus bodyLine(ArmorParser *p, const std::uint8_t *raw, std::size_t rawLength)
{
    std::size_t n = rawLength;
    const std::uint8_t *s = withoutQuote(p, raw, n);
    if (n > 0 && s[0] == '=') {
        if (p->carryLength != 0)
            return endPartWith(p, QELAnnotation_ArmorBadLine, reinterpret_cast<std::uint8_t *>(p->carry),
                               p->carryLength);
        return checkChecksum(p, s, trimmedLength(s, n));
    }
    n = trimmedLength(s, n);
    if (n > 80)
        return endPartWith(p, QELAnnotation_ArmorLineTooLong, raw, rawLength);
    char text[84 + 84];
    std::memcpy(text, p->carry, p->carryLength);
    std::memcpy(text + p->carryLength, s, n);
    std::size_t total = p->carryLength + n;
    const std::uint8_t *crcText = nullptr;
    if (total > 8 && text[total - 5] == '=') {
        crcText = reinterpret_cast<const std::uint8_t *>(text + total - 5);
        total -= 5;
    }
    const std::size_t whole = crcText != nullptr ? total : total / 4 * 4;
    // The carry and the CRC move on only once the decoded bytes are taken,
    // so that a line whose bytes were refused can be read again.
    const auto keepCarry = [&] {
        p->carryLength = total - whole;
        std::memmove(p->carry, text + whole, p->carryLength);
    };
    if (whole != 0) {
        std::uint8_t decoded[64];
        const std::int64_t got = qelBase64DecodeRun(text, decoded, whole);
        if (got <= 0 || got > 60) {
            keepCarry();
            return endPartWith(p, QELAnnotation_ArmorBadLine, raw, rawLength);
        }
        if (!p->discardBody)
            if (QELStatus s2 = partWrite(p, p->current, decoded, static_cast<std::uint64_t>(got)); s2 != 0)
                return s2;
        p->crc = qelArmorCrc24(p->crc, decoded, static_cast<std::size_t>(got));
        keepCarry();
    } else {
        keepCarry();
        if (crcText == nullptr && p->carryLength == 0)
            return endPartWith(p, QELAnnotation_ArmorBadLine, raw, rawLength);
    }
    if (crcText != nullptr) {
        std::uint8_t checksum[5];
        std::memcpy(checksum, crcText, 5);
        return checkChecksum(p, checksum, 5);
    }
    return 0;
}

QELStatus bodyStart(ArmorParser *p, const std::uint8_t *line, std::size_t n)
{
    if (p->clearSignature && p->current != nullptr && p->current->signatureParser != nullptr) {
        // the signature of clear-signed text joins the message its text made
        ArmorMessage *m = p->current->message;
        p->crc = QELArmorCrc24Init;
        p->state = StateBody;
        m->beginOffset = p->blockOffset;
        if (QELStatus s = messageBegin(p, m); s != 0)
            return s;
        return bodyLine(p, line, n);
    }
    QELStatus made = 0;
    ArmorMessage *m = messageFind(p, p->messageId, p->totalParts, &made);
    if (m == nullptr)
        return made;
    ArmorPart *part = partFind(p, m, p->partNumber);
    p->current = part;
    p->discardBody = part == nullptr ? 1 : 0;
    p->state = StateBody;
    if (p->partNumber == 1 && part != nullptr) {
        m->beginOffset = p->blockOffset;
        if (QELStatus s = messageBegin(p, m); s != 0)
            return s;
    } else {
        std::uint8_t info[8 + 256];
        std::memcpy(info, &p->partNumber, 4);
        std::memcpy(info + 4, &p->totalParts, 4);
        const std::size_t idLength = std::strlen(p->messageId);
        std::memcpy(info + 8, p->messageId, idLength);
        if (QELStatus s = sendAnnotation(p, QELAnnotation_ArmorPartInfo, info, 8 + idLength); s != 0)
            return s;
    }
    return bodyLine(p, line, n);
}

QELStatus headerLine(ArmorParser *p, const std::uint8_t *raw, std::size_t rawLength)
{
    std::size_t n = rawLength;
    const std::uint8_t *s = withoutQuote(p, raw, n);
    n = trimmedLength(s, n);
    if (n == 0)
        return 0;
    if (isBase64Line(s, n))
        return bodyStart(p, raw, rawLength);
    if (isAlpha(s[0])) {
        std::size_t i = 1;
        while (i < n && i < 64 && (isAlpha(s[i]) || isDigit(s[i]) || s[i] == '-'))
            ++i;
        if (i < n && i < 64 && s[i] == ':' && i + 1 < n && s[i + 1] == ' ') {
            if (i == 9 && std::memcmp(s, "MessageID", 9) == 0) {
                std::size_t len = n - (i + 2);
                if (len > 255)
                    len = 255;
                std::memcpy(p->messageId, s + i + 2, len);
                p->messageId[len] = 0;
            }
            return 0;
        }
    }
    return sendAnnotation(p, QELAnnotation_ArmorBadHeader, raw, rawLength);
}

// Parses the rest of a BEGIN line after "-----BEGIN QEL ": the label, then
// "-----" or ", PART n[/t]-----". False when the line does not end that way.
bool parseBeginSuffix(ArmorParser *p, const std::uint8_t *s, std::size_t n)
{
    std::size_t i = 0;
    while (i < n && (isAlpha(s[i]) || isDigit(s[i]) || s[i] == ' '))
        ++i;
    std::uint32_t part = 1, total = 1;
    if (startsWith(s + i, n - i, ", PART ")) {
        i += 7;
        std::uint32_t value = 0;
        std::size_t digits = 0;
        while (i < n && isDigit(s[i]) && digits < 4)
            value = value * 10 + (s[i++] - '0'), ++digits;
        if (digits == 0 || value > 999)
            return false;
        part = value;
        total = 0;
        if (i < n && s[i] == '/') {
            ++i;
            value = 0;
            digits = 0;
            while (i < n && isDigit(s[i]) && digits < 4)
                value = value * 10 + (s[i++] - '0'), ++digits;
            if (digits == 0 || value < 1 || value > 999)
                return false;
            total = value;
        }
        // Part 0 names no part, and a part beyond the total could never be
        // completed: neither is an armor block.
        if (part == 0 || (total != 0 && part > total))
            return false;
    }
    if (n - i != 5 || std::memcmp(s + i, "-----", 5) != 0)
        return false;
    p->partNumber = part;
    p->totalParts = total;
    return true;
}

QELStatus plainText(ArmorParser *p, const std::uint8_t *s, std::size_t n)
{
    if (p->pendingEnd == 0)
        if (QELStatus st = openScope(p, QELAnnotation_BeginPlainText, p->lineOffset); st != 0)
            return st;
    return sendData(p, s, n);
}

void addHashNames(ArmorParser *p, const std::uint8_t *s, std::size_t n)
{
    std::size_t i = 0;
    while (i < n) {
        std::size_t start = i;
        while (i < n && s[i] != ',')
            ++i;
        const std::size_t len = i - start;
        if (const QELHashDescriptor *d = len ? qelHashDescriptorFindByName(reinterpret_cast<const char *>(s + start), len)
                                             : nullptr;
            d != nullptr) {
            bool known = false;
            for (std::size_t k = 0; k < p->hashCount; ++k)
                known = known || p->hashIds[k] == static_cast<std::uint8_t>(d->algorithm);
            // Repeated headers merge; the list never grows past its capacity.
            if (!known && p->hashCount < QELArmorMaxHashIds)
                p->hashIds[p->hashCount++] = static_cast<std::uint8_t>(d->algorithm);
        }
        if (i < n)
            ++i;
        if (i < n && s[i] == ' ')
            ++i;
    }
}

QELStatus beginLine(ArmorParser *p, const std::uint8_t *s, std::size_t n, long column);

// The chain of a clear-signed message: the text goes through a Split to the
// downstream and, canonicalised, into the verifier's text head; the
// signature block goes through a message parser of its own into the
// verifier's signature head. Without a message parser (or a job to hear the
// verdict) the text is plain data and the signature an ordinary message.
QELStatus startClearText(ArmorParser *p, bool mime)
{
    const auto make = qelArmorParserSeams().messageParser;
    if (make == nullptr || p->callbacks == nullptr)
        return 0;
    QELStatus status = 0;
    ArmorMessage *m = messageFind(p, "", 1, &status, false);
    if (m == nullptr)
        return status;
    ArmorPart *part = partFind(p, m, 1);
    if (part == nullptr)
        return QELError_OutOfMemory;
    p->current = part;
    part->textChain = m->chain; // the Copy Module to the downstream
    m->chain = nullptr;
    if (qelSplitModuleCreate(p->context, &part->textChain) == nullptr)
        return QELError_OutOfMemory;
    QELPipeModule **toVerifier = qelSplitAddOutput(part->textChain);
    if (toVerifier == nullptr ||
        qelSigVerifyReaderCreate(p->context, toVerifier, &part->signatureParser, p->settings, p->fifoKind,
                                 p->hashCount != 0 ? p->hashIds : nullptr, static_cast<std::int32_t>(p->hashCount),
                                 true, p->callbacks, p->callbackData) == nullptr)
        return QELError_OutOfMemory;
    if (qelTextFilterModuleCreate(p->context, toVerifier, kIdentityMap.data(), true,
                                  mime ? QELLineEnd_CRLF : QELLineEnd_Keep) == nullptr)
        return QELError_OutOfMemory;
    if (make(p->context, &part->signatureParser, p->settings, p->callbacks, p->callbackData, p->nesting, &status) ==
        nullptr)
        return status != 0 ? status : QELError_OutOfMemory;
    // no data: the signature that follows signs text outside its stream
    return qelPipeAnnotate(part->signatureParser, nullptr, QELAnnotation_TextLine, nullptr, 0);
}

QELStatus sendText(ArmorParser *p, const std::uint8_t *bytes, std::uint64_t n)
{
    if (p->current != nullptr && p->current->textChain != nullptr)
        return n == 0 ? 0 : emitTo(p, p->current->textChain, bytes, n);
    return sendData(p, bytes, n);
}

QELStatus clearHeaderLine(ArmorParser *p, const std::uint8_t *s, std::size_t rawLength)
{
    const std::size_t n = trimmedLength(s, rawLength);
    if (n == 0) {
        p->state = StateClearText;
        p->owedEnd = 0;
        if (QELStatus st = openScope(p, QELAnnotation_BeginClearSigned, p->blockOffset); st != 0)
            return st;
        return startClearText(p, false);
    }
    if (startsWith(s, n, "Hash: ")) {
        addHashNames(p, s + 6, n - 6);
        return 0;
    }
    clearBlock(p);
    return plainText(p, s, rawLength);
}

// Line ends by kind: 1 LF, 2 CR, 3 CR LF.
constexpr std::uint8_t kLineEnds[4][2] = {{0, 0}, {'\n', 0}, {'\r', 0}, {'\r', '\n'}};
constexpr std::size_t kLineEndLength[4] = {0, 1, 1, 2};

std::uint8_t lineEndOf(const std::uint8_t *s, std::size_t n)
{
    std::uint8_t kind = 0;
    if (n > 0 && s[n - 1] == '\n')
        --n, kind = 1;
    if (n > 0 && s[n - 1] == '\r')
        kind = static_cast<std::uint8_t>(kind | 2);
    return kind;
}

// The line end the previous line owes, then the line without its own, which
// it owes in turn (so the text never ends with the line end before the
// signature or the boundary).
QELStatus clearTextOut(ArmorParser *p, const std::uint8_t *s, std::size_t rawLength)
{
    const std::uint8_t kind = lineEndOf(s, rawLength);
    if (QELStatus st = sendText(p, kLineEnds[p->owedEnd], kLineEndLength[p->owedEnd]); st != 0)
        return st;
    if (QELStatus st = sendText(p, s, rawLength - kLineEndLength[kind]); st != 0)
        return st;
    p->owedEnd = kind;
    return 0;
}

QELStatus clearTextLine(ArmorParser *p, const std::uint8_t *s, std::size_t rawLength)
{
    const std::size_t n = trimmedLength(s, rawLength);
    if (p->mime) {
        // the boundary ends the signed part, and the line end before it is
        // the boundary's own
        if (!p->continuing && n == p->boundaryLength && std::memcmp(s, p->boundary, n) == 0) {
            p->owedEnd = 0;
            p->state = StateSkipToSignature;
        } else {
            return clearTextOut(p, s, rawLength);
        }
        return 0;
    }
    if (n == 29 && std::memcmp(s, "-----BEGIN QEL SIGNATURE-----", 29) == 0) {
        p->owedEnd = 0;
        p->clearSignature = 1;
        return beginLine(p, s, rawLength, 0);
    }
    if (!p->continuing && startsWith(s, rawLength, "- ")) {
        s += 2;
        rawLength -= 2;
    }
    return clearTextOut(p, s, rawLength);
}

QELStatus beginLine(ArmorParser *p, const std::uint8_t *s, std::size_t rawLength, long column)
{
    const std::size_t n = trimmedLength(s, rawLength);
    const std::uint8_t *label = s + column + 15;
    const std::size_t labelLength = n - static_cast<std::size_t>(column) - 15;
    const bool clearSignature = p->clearSignature;
    if (column == 0 && startsWith(label, labelLength, "SIGNED MESSAGE")) {
        if (labelLength != 19 || std::memcmp(label + 14, "-----", 5) != 0)
            return plainText(p, s, rawLength);
        if (p->clearSignedAsText)
            if (QELStatus st = echoLine(p, s, rawLength); st != 0)
                return st;
        if (QELStatus st = sendPendingEnd(p); st != 0)
            return st;
        clearBlock(p);
        p->echo = p->clearSignedAsText;
        p->blockOffset = p->lineOffset;
        p->state = StateClearHeaders;
        return 0;
    }
    if (!parseBeginSuffix(p, label, labelLength)) {
        p->partNumber = p->totalParts = 0;
        return plainText(p, s, rawLength);
    }
    if (!clearSignature)
        if (QELStatus st = sendPendingEnd(p); st != 0)
            return st;
    const std::uint32_t part = p->partNumber, total = p->totalParts;
    ArmorPart *clearPart = clearSignature ? p->current : nullptr;
    const std::uint8_t echo = clearSignature ? p->echo : 0;
    clearBlock(p);
    p->current = clearPart;
    p->echo = echo;
    if (p->keyBlocksAsText && !clearSignature &&
        (startsWith(label, labelLength, "PUBLIC KEY") || startsWith(label, labelLength, "PRIVATE KEY"))) {
        p->echo = 1;
        if (QELStatus st = echoLine(p, s, rawLength); st != 0)
            return st;
    }
    p->partNumber = part;
    p->totalParts = total;
    p->clearSignature = clearSignature ? 1 : 0;
    p->quoteLength = static_cast<std::size_t>(column);
    std::memcpy(p->quote, s, p->quoteLength);
    p->blockOffset = p->lineOffset;
    p->state = StateHeaders;
    return 0;
}

QELStatus startBinary(ArmorParser *p, const std::uint8_t *s, std::size_t n)
{
    if (QELStatus st = openScope(p, QELAnnotation_BeginBinaryInput, p->lineOffset); st != 0)
        return st;
    QELStatus made = 0;
    ArmorMessage *m = messageFind(p, "", 1, &made);
    if (m == nullptr)
        return made;
    ArmorPart *part = partFind(p, m, 1);
    if (part == nullptr)
        return QELError_OutOfMemory;
    p->current = part;
    p->state = StateBinary;
    m->beginOffset = p->lineOffset;
    if (QELStatus st = messageBegin(p, m); st != 0)
        return st;
    return partWrite(p, part, s, n);
}

bool equalsNoCase(const std::uint8_t *s, const char *text, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t c = s[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<std::uint8_t>(c - 'A' + 'a');
        if (c != static_cast<std::uint8_t>(text[i]))
            return false;
    }
    return true;
}

const std::uint8_t *findText(const std::uint8_t *s, std::size_t n, const char *text)
{
    const std::size_t k = std::strlen(text);
    for (std::size_t i = 0; i + k <= n; ++i)
        if (std::memcmp(s + i, text, k) == 0)
            return s + i;
    return nullptr;
}

// The protocol and boundary parameters of a multipart/signed content type.
void mimeParameters(ArmorParser *p, const std::uint8_t *s, std::size_t n)
{
    if (findText(s, n, "protocol=\"application/qel-signature\"") != nullptr)
        p->mime = 1;
    const std::uint8_t *at = findText(s, n, "boundary=");
    if (at == nullptr)
        return;
    at += 9;
    const std::uint8_t *end = s + n;
    const std::uint8_t *stop = nullptr;
    if (at < end && *at == '"') {
        ++at;
        stop = static_cast<const std::uint8_t *>(std::memchr(at, '"', static_cast<std::size_t>(end - at)));
    } else {
        stop = static_cast<const std::uint8_t *>(std::memchr(at, ';', static_cast<std::size_t>(end - at)));
    }
    if (stop == nullptr || stop - at > 251 || stop == at)
        return; // no end, or longer than a boundary may be
    p->boundary[0] = p->boundary[1] = '-';
    std::memcpy(p->boundary + 2, at, static_cast<std::size_t>(stop - at));
    p->boundaryLength = 2 + static_cast<std::size_t>(stop - at);
}

// The header lines of a multipart/signed message pass on as plain text; once
// its protocol and boundary are known, so does everything up to the first
// boundary, after which the signed part is read like clear-signed text.
QELStatus mimeHeaderLine(ArmorParser *p, const std::uint8_t *s, std::size_t n, bool first)
{
    if (!first && !p->continuing && (n == 0 || (s[0] != ' ' && s[0] != '\t'))) {
        // the header ended before naming both: an ordinary line
        p->mime = 0;
        p->boundaryLength = 0;
        p->state = StateMain;
        return plainText(p, s, n);
    }
    if (!p->continuing)
        mimeParameters(p, s, trimmedLength(s, n));
    p->state = p->mime && p->boundaryLength != 0 ? StateSkipToBoundary : StateMimeHeader;
    return plainText(p, s, n);
}

QELStatus skipToBoundary(ArmorParser *p, const std::uint8_t *s, std::size_t n)
{
    if (p->continuing || n < p->boundaryLength || std::memcmp(s, p->boundary, p->boundaryLength) != 0)
        return plainText(p, s, n);
    if (QELStatus st = sendPendingEnd(p); st != 0)
        return st;
    p->blockOffset = p->lineOffset;
    p->state = StateClearText;
    p->owedEnd = 0;
    if (QELStatus st = openScope(p, QELAnnotation_BeginClearSigned, p->blockOffset); st != 0)
        return st;
    return startClearText(p, true);
}

QELStatus mainLine(ArmorParser *p, const std::uint8_t *s, std::size_t n)
{
    if (QELStatus st = replay(p); st != 0) {
        p->lineFailed = 1; // nothing of the line went out yet
        return st;
    }
    if (p->continuing)
        return plainText(p, s, n);
    const std::size_t trimmed = trimmedLength(s, n);
    const long column = findBegin(s, trimmed);
    if (column > 0) {
        const std::uint8_t *at = s + column;
        const std::size_t rest = trimmed - static_cast<std::size_t>(column);
        if (startsWith(at, rest, "-----BEGIN QEL SIGNATURE-----") ||
            startsWith(at, rest, "-----BEGIN QEL SIGNED MESSAGE-----"))
            return plainText(p, s, n);
    }
    if (column >= 0)
        return beginLine(p, s, n, column);
    if (p->pendingEnd == 0 && p->depth == 0 && qelIsBinaryPacket(s, n))
        return startBinary(p, s, n);
    if (n > 31 && equalsNoCase(s, "content-type: multipart/signed;", 31)) {
        p->mime = 0;
        p->boundaryLength = 0;
        p->state = StateMimeHeader;
        return mimeHeaderLine(p, s, n, true);
    }
    return plainText(p, s, n);
}

QELStatus processLine(ArmorParser *p, const std::uint8_t *s, std::size_t n)
{
    if (p->echo && !p->lineEchoed && p->state != StateMain) {
        if (QELStatus st = echoLine(p, s, n); st != 0)
            return st;
        p->lineEchoed = 1;
    }
    switch (p->state) {
    case StateHeaders:
        return headerLine(p, s, n);
    case StateBody:
        return bodyLine(p, s, n);
    case StateSkipToEnd: {
        std::size_t k = n;
        const std::uint8_t *t = withoutQuote(p, s, k);
        k = trimmedLength(t, k);
        if (k >= 13 && startsWith(t, k, "-----END QEL ")) {
            // A version 4 writer learns the total of an exact multiple of
            // the part size only after the last header: its END line has it.
            if (p->current != nullptr && p->current->message->total == 0 && parseBeginSuffix(p, t + 13, k - 13) &&
                p->totalParts != 0 && p->totalParts == p->current->number)
                p->current->message->total = p->totalParts;
            if (p->mime && p->boundaryLength + 2 <= sizeof p->boundary) {
                // the signature part of a multipart/signed message ends at
                // the closing boundary
                std::memcpy(p->boundary + p->boundaryLength, "--", 2);
                p->boundaryLength += 2;
                p->state = StateSkipToClosingBoundary;
                return 0;
            }
            return endPart(p);
        }
        return 0;
    }
    case StateClearHeaders:
        return clearHeaderLine(p, s, n);
    case StateClearText:
        return clearTextLine(p, s, n);
    case StateMimeHeader:
        return mimeHeaderLine(p, s, n, false);
    case StateSkipToBoundary:
        return skipToBoundary(p, s, n);
    case StateSkipToSignature: {
        const std::size_t k = trimmedLength(s, n);
        if (startsWith(s, k, "-----BEGIN QEL SIGNATURE-----") || startsWith(s, k, "-----BEGIN QEL MESSAGE-----")) {
            p->clearSignature = 1;
            return beginLine(p, s, n, 0);
        }
        return 0;
    }
    case StateSkipToClosingBoundary:
        if (!p->continuing && n >= p->boundaryLength && std::memcmp(s, p->boundary, p->boundaryLength) == 0) {
            p->mime = 0;
            p->boundaryLength = 0;
            return endPart(p);
        }
        return 0;
    default:
        return mainLine(p, s, n);
    }
}

// One attempt at a line. When a module refuses the line's output, the line
// is read again on the next call, passing over what was delivered.
QELStatus runLine(ArmorParser *p, const std::uint8_t *s, std::size_t n)
{
    p->lineSkip = p->lineSent;
    p->lineSent = 0;
    p->lineFailed = 0;
    const QELStatus status = processLine(p, s, n);
    if (status == 0 || !p->lineFailed) {
        p->lineSent = 0;
        p->lineEchoed = 0;
    }
    return status;
}

// Runs the collected line through the machine and starts the next one.
QELStatus finishLine(ArmorParser *p, bool full)
{
    const std::size_t n = p->lineLength;
    p->crPending = 0;
    QELStatus s = 0;
    if (p->state == StateBinary) {
        // the rest of the line that began binary input, refused before
        p->lineSkip = p->lineSent = 0;
        p->lineFailed = 0;
        s = partWrite(p, p->current, p->line, n);
    } else {
        s = runLine(p, p->line, n);
    }
    if (s != 0 && p->lineFailed) {
        if (p->state == StateBinary) {
            // binary input took what it took; the rest waits in the line
            std::memmove(p->line, p->line + p->lineSent, n - p->lineSent);
            p->lineLength = n - static_cast<std::size_t>(p->lineSent);
            p->lineSent = 0;
        }
        p->retryLine = 1;
        p->retryFull = full ? 1 : 0;
        return s;
    }
    p->lineLength = 0;
    p->continuing = full ? 1 : 0;
    p->lineOffset = p->inputOffset;
    return s;
}

QELStatus retryLine(ArmorParser *p)
{
    if (ArmorMessage *m = p->stalled; m != nullptr) {
        p->stalled = nullptr;
        if (QELStatus s = messageAdvance(p, m); s != 0)
            return s;
    }
    if (!p->retryLine)
        return 0;
    p->retryLine = 0;
    return finishLine(p, p->retryFull != 0);
}

std::uint64_t parserWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    ArmorParser *p = self(m);
    QELStatus local = 0;
    if (status == nullptr)
        status = &local;
    if (p->downstream == nullptr) {
        *status = QELError_BadParams;
        return 0;
    }
    if (QELStatus s = retryLine(p); s != 0) {
        *status = s;
        return 0;
    }
    std::uint64_t i = 0;
    while (i < length) {
        if (p->state == StateBinary) {
            p->lineSkip = p->lineSent = 0;
            const QELStatus s = partWrite(p, p->current, bytes + i, length - i);
            const std::uint64_t taken = s == 0 ? length - i : p->lineSent;
            p->lineSent = 0;
            p->inputOffset += taken;
            if (s != 0) {
                *status = s;
                return i + taken;
            }
            return length;
        }
        if (p->lineLength == 0 && !p->crPending) {
            // A whole line in the input is read where it stands.
            const std::uint8_t *s = bytes + i;
            const std::uint64_t left = length - i;
            const std::size_t limit = left < kLineMax ? static_cast<std::size_t>(left) : kLineMax;
            std::size_t k = 0;
            while (k < limit && s[k] != '\n' && s[k] != '\r')
                ++k;
            if (k < limit && (s[k] == '\n' || k + 1 < left)) {
                const std::size_t end = s[k] == '\r' && s[k + 1] == '\n' ? k + 2 : k + 1;
                p->lineOffset = p->inputOffset;
                const QELStatus st = runLine(p, s, end);
                if (st != 0 && p->lineFailed) {
                    // the line is offered again; binary input keeps what it took
                    const std::uint64_t taken = p->state == StateBinary ? p->lineSent : 0;
                    if (p->state == StateBinary)
                        p->lineSent = 0;
                    p->inputOffset += taken;
                    *status = st;
                    return i + taken;
                }
                p->inputOffset += end;
                i += end;
                p->continuing = 0;
                p->lineOffset = p->inputOffset;
                if (st != 0) {
                    *status = st;
                    return i;
                }
                continue;
            }
        }
        if (p->crPending) {
            if (bytes[i] == '\n') {
                p->line[p->lineLength++] = '\n';
                ++i;
                ++p->inputOffset;
            }
            if (QELStatus s = finishLine(p, false); s != 0) {
                *status = s;
                return i;
            }
            continue;
        }
        const std::uint8_t c = bytes[i++];
        if (p->lineLength == 0)
            p->lineOffset = p->inputOffset;
        ++p->inputOffset;
        p->line[p->lineLength++] = c;
        QELStatus s = 0;
        if (c == '\r')
            p->crPending = 1;
        else if (c == '\n')
            s = finishLine(p, false);
        else if (p->lineLength == kLineMax)
            s = finishLine(p, true);
        if (s != 0) {
            *status = s;
            return i;
        }
    }
    return length;
}

QELStatus parserExpectBytes(QELPipeModule *m, std::uint64_t count)
{
    ArmorParser *p = self(m);
    if (p->downstream == nullptr)
        return QELError_BadParams;
    if (count > 0)
        return 0;
    if (QELStatus s = retryLine(p); s != 0)
        return s;
    if (p->lineLength > 0)
        if (QELStatus s = finishLine(p, false); s != 0)
            return s;
    if (p->current != nullptr || p->state != StateMain)
        if (QELStatus s = endPart(p); s != 0)
            return s;
    if (p->depth != 0)
        return 0;
    if (QELStatus s = replay(p); s != 0)
        return s;
    if (QELStatus s = sendPendingEnd(p); s != 0)
        return s;
    if (p->messages != nullptr)
        return QELError_IncompleteArmor;
    return qelPipeExpectBytes(p->downstream, 0);
}

QELStatus parserFlush(QELPipeModule *m)
{
    ArmorParser *p = self(m);
    if (p->downstream == nullptr)
        return QELError_BadParams;
    if (QELStatus s = retryLine(p); s != 0)
        return s;
    if (QELStatus s = replay(p); s != 0)
        return s;
    return qelPipeFlush(p->downstream);
}

ArmorMessage *heldMessage(ArmorParser *p, std::uint32_t number)
{
    for (ArmorMessage *m = p->messages; m != nullptr; m = m->next)
        if (m->number == number)
            return m;
    return nullptr;
}

QELStatus parserAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    ArmorParser *p = self(m);
    std::uint32_t args[2] = {};
    if (data != nullptr)
        std::memcpy(args, data, length < sizeof args ? static_cast<std::size_t>(length) : sizeof args);
    switch (code) {
    case QELAnnotation_QueryArmorMessageCount:
        return static_cast<QELStatus>(p->messageCount);
    case QELAnnotation_QueryArmorMessagesHeld: {
        QELStatus n = 0;
        for (ArmorMessage *i = p->messages; i != nullptr; i = i->next)
            ++n;
        return n;
    }
    case QELAnnotation_QueryArmorOpenMessage:
        for (ArmorMessage *i = p->messages; i != nullptr; i = i->next)
            if (i->begun)
                return static_cast<QELStatus>(i->number);
        return 0;
    case QELAnnotation_QueryArmorPartTotal: {
        if (length < 4)
            return 0;
        const ArmorMessage *msg = heldMessage(p, args[0]);
        return msg != nullptr ? static_cast<QELStatus>(msg->total) : 0;
    }
    case QELAnnotation_QueryArmorPartState: {
        if (length < 8)
            return 0;
        const ArmorMessage *msg = heldMessage(p, args[0]);
        if (msg == nullptr)
            return 0;
        if (msg->parts == nullptr || args[1] < msg->parts->number)
            return args[1] <= msg->lastPart ? 1 : 2;
        for (const ArmorPart *part = msg->parts; part != nullptr; part = part->next)
            if (part->number == args[1])
                return part->state != 0 ? 1 : 2;
        return 2;
    }
    case QELAnnotation_ArmorClearSignedAsText:
    case QELAnnotation_ArmorKeyBlocksAsText:
        if (data != nullptr && length > 0)
            (code == QELAnnotation_ArmorClearSignedAsText ? p->clearSignedAsText : p->keyBlocksAsText) =
                *static_cast<std::uint8_t *>(data);
        break;
    default:
        break;
    }
    if (p->downstream == nullptr)
        return QELError_BadParams;
    if ((code & 0xFF) == 1 && p->pendingEnd != 0 && p->depth == p->pendingDepth + 1)
        if (QELStatus s = sendPendingEnd(p); s != 0)
            return s;
    QELStatus s = p->deferred ? sendAnnotation(p, code, data, length)
                              : qelPipeAnnotate(p->downstream, origin, code, data, length);
    if (s == 0)
        p->depth += qelAnnotationScopeStep(code);
    return s;
}

QELStatus parserDestroy(QELPipeModule *m)
{
    ArmorParser *p = self(m);
    while (p->messages != nullptr)
        freeMessage(p, p->messages);
    qelPipeDestroy(p->downstream);
    qelFifoDestroy(p->fifoKind, p->dataLog);
    qelFifoDestroy(p->fifoKind, p->eventLog);
    qelPipeModuleFree(p);
    return 0;
}

constexpr QELPipeOps kParserOps{parserWrite, parserFlush, parserAnnotate, parserExpectBytes, parserDestroy};

} // namespace

static_assert(std::is_same_v<decltype(QELArmorParserSeams::messageParser), decltype(&qelMessageParserCreateNested)>);

QELArmorParserSeams &qelArmorParserSeams()
{
    static QELArmorParserSeams seams{qelMessageParserCreateNested};
    return seams;
}

bool qelIsBinaryPacket(const std::uint8_t *bytes, std::uint64_t length)
{
    if (length == 0 || bytes[0] < 0x80)
        return false;
    static constexpr std::uint8_t kMarker[5] = {0xA8, 0x03, 'P', 'G', 'P'};
    if (length > 4 && std::memcmp(bytes, kMarker, 5) == 0)
        return true;
    const std::uint8_t b = bytes[0];
    const unsigned tag = (b & 0xC0) == 0x80 ? (b >> 2) & 0x0F : b & 0x3F;
    switch (tag) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 8: case 9: case 11: case 18:
        return true;
    default:
        return false;
    }
}

QELPipeModule **qelArmorParserCreate(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                     const QELFifoDescriptor *fifoKind, const QELDecodeCallbacks *callbacks,
                                     void *callbackData)
{
    return qelArmorParserCreateNested(context, slot, settings, fifoKind, callbacks, callbackData, 0, nullptr);
}

QELPipeModule **qelArmorParserCreateNested(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                           const QELFifoDescriptor *fifoKind, const QELDecodeCallbacks *callbacks,
                                           void *callbackData, std::int32_t nesting, QELStatus *status)
{
    if (slot == nullptr || settings == nullptr || fifoKind == nullptr)
        return nullptr;
    if (nesting > QELMessageParserMaxNesting) {
        if (status != nullptr)
            *status = QELError_BadPacketFormat;
        return nullptr;
    }
    auto *p = qelPipeModuleNew<ArmorParser>(context, QELPipeMagic_ArmorParse, "Ascii Armor Parser Module", kParserOps);
    if (p == nullptr)
        return nullptr;
    qelBase64InitDecodeTable();
    p->fifoKind = fifoKind;
    p->context = context;
    p->settings = settings;
    p->callbacks = callbacks;
    p->callbackData = callbackData;
    p->nesting = nesting;
    p->crc = QELArmorCrc24Init;
    p->dataLog = fifoKind->create(context);
    p->eventLog = fifoKind->create(context);
    if (p->dataLog == nullptr || p->eventLog == nullptr) {
        parserDestroy(&p->head);
        return nullptr;
    }
    return qelPipeModuleLink(slot, &p->head, &p->downstream);
}
