// The message parser. Raw bytes of the packet being looked at (header,
// length octets, the leading body bytes) are kept in the FIFO for as long as
// a pass-through may still need them; the leading body bytes are also kept
// contiguous in the header buffer for the tag handlers. Bodies stream.
//
// A failure (of the parser or of its downstream) is kept: the chain is in an
// unknown state after it, so every later call answers the same status.
#include "qelMessageParserInternal.h"

#include "qelArmorParserInternal.h"

#include "qelCFB.h"
#include "qelCFBInternal.h"
#include "qelCipherModuleInternal.h"
#include "qelCompressSelectInternal.h"
#include "qelContextInternal.h"
#include "qelFileHeaderModuleInternal.h"
#include "qelHash.h"
#include "qelHashInternal.h"
#include "qelHashModuleInternal.h"
#include "qelHelpers.h"
#include "qelSymmetricCipherInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>

namespace {

constexpr std::uint32_t kBufferSize = 1100;
constexpr std::uint64_t kHeaderSlice = 512;
constexpr std::int32_t kTwofish = 10;
constexpr std::int32_t kTwofishAltSchedule = 102;

enum class Mode : std::uint8_t { Header, Handler, Process, PassThrough, Discard, SignedLiteral, OnePassData, KeyMaterial };
enum class Handler : std::uint8_t {
    Literal, Marker, Compressed, Encrypted, SessionKey, Unexpected, Signature, Closing, KeyMaterial, Other
};

struct Parser {
    QELPipeModule head;
    std::uint8_t buffer[kBufferSize]; // leading body bytes
    std::uint32_t bufferEnd;
    std::uint32_t cursor;
    const QELFifoDescriptor *fifoKind;
    QELFifo *fifo; // raw bytes that a pass-through may still need
    // length state of the packet being read
    std::uint32_t remaining;
    std::uint32_t lengthOctets;
    std::uint32_t lengthValue;
    std::uint8_t lengthForm; // 0 old format, 2 two-octet, 5 five-octet
    std::uint8_t newLengthDue;
    std::uint8_t partialChunk;
    std::uint8_t indeterminate;
    std::uint8_t unbounded;
    QELPipeModule *downstream;
    QELPipeModule *firstInserted;
    QELPipeModule **insertionSlot;
    QELHashList *hashList;
    QELPipeModule *hashChain; // its Hash Modules while they are in the chain
    QELSettings *settings;
    std::int32_t step;
    std::int32_t openScope;
    std::uint8_t literalFormat;
    std::int32_t onePassCount;
    std::int32_t nestedOnePass;
    std::uint8_t detached;
    std::uint32_t sessionKeyCount; // session-key packets announced before the encrypted data
    std::uint64_t sessionKeyBytes; // and their body bytes
    std::uint8_t endOfInput;
    std::uint8_t replyPending;
    std::uint8_t bodyBuffered;
    std::uint8_t mdcExpected;
    std::uint8_t decryptInserted;
    std::uint8_t fromSignedLiteral;
    std::uint8_t bodyFlowing; // the chosen body handler has started
    const QELDecodeCallbacks *callbacks;
    void *callbackData;
    std::int32_t nesting;
    std::int32_t tag; // -1 for input that is not a packet
    std::uint8_t headerByte;
    Mode mode;
    Handler handler;
    QELStatus failed;
    // the write being handled
    const std::uint8_t *in;
    std::uint64_t inLength;
    std::uint64_t inPos;
};

Parser *self(QELPipeModule *m) { return qelPipeModuleState<Parser>(m); }

bool isPacketByte(std::uint8_t b) { return (b & 0x80) != 0; }
std::int32_t tagOf(std::uint8_t b) { return (b & 0x40) != 0 ? (b & 0x3F) : ((b >> 2) & 0x0F); }

// ---- lengths ---------------------------------------------------------------
void resetLength(Parser *p)
{
    p->remaining = 0;
    p->lengthOctets = 0;
    p->lengthValue = 0;
    p->lengthForm = 0;
    p->newLengthDue = 0;
    p->partialChunk = 0;
    p->indeterminate = 0;
    p->unbounded = 0;
}

// Sets up the length state for a packet header byte.
void startLength(Parser *p, std::uint8_t header)
{
    resetLength(p);
    if ((header & 0x40) != 0) {
        p->newLengthDue = 1;
        return;
    }
    switch (header & 3) {
    case 0: p->lengthOctets = 1; break;
    case 1: p->lengthOctets = 2; break;
    case 2: p->lengthOctets = 4; break;
    default:
        p->indeterminate = 1;
        p->unbounded = 1;
        p->remaining = 0xFFFFFFFFu;
        break;
    }
}

bool lengthDue(const Parser *p) { return p->newLengthDue != 0 || p->lengthOctets != 0; }

void feedLengthOctet(Parser *p, std::uint8_t c)
{
    if (p->newLengthDue) {
        p->newLengthDue = 0;
        p->partialChunk = 0;
        if (c < 192) {
            p->remaining = c;
        } else if (c < 224) {
            p->lengthForm = 2;
            p->lengthValue = static_cast<std::uint32_t>(c - 192);
            p->lengthOctets = 1;
        } else if (c == 255) {
            p->lengthForm = 5;
            p->lengthValue = 0;
            p->lengthOctets = 4;
        } else {
            p->remaining = 1u << (c & 0x1F);
            p->partialChunk = 1;
        }
        return;
    }
    p->lengthValue = (p->lengthValue << 8) | c;
    if (--p->lengthOctets == 0) {
        p->remaining = p->lengthForm == 2 ? p->lengthValue + 192 : p->lengthValue;
        p->lengthForm = 0;
    }
}

// Body bytes were consumed from the current chunk.
void consumeBody(Parser *p, std::uint64_t n)
{
    if (p->unbounded)
        return;
    p->remaining -= static_cast<std::uint32_t>(n);
    if (p->remaining == 0 && p->partialChunk) {
        p->partialChunk = 0;
        p->newLengthDue = 1;
    }
}

// No body byte is left: the chunk is used up and no further length follows.
bool bodyEnded(const Parser *p)
{
    if (p->unbounded)
        return p->endOfInput && p->inPos == p->inLength;
    return p->remaining == 0 && !lengthDue(p);
}

// Body bytes that may be taken from the input now.
std::uint64_t bodyAvailable(const Parser *p)
{
    const std::uint64_t left = p->inLength - p->inPos;
    return p->unbounded ? left : std::min<std::uint64_t>(left, p->remaining);
}

// ---- downstream helpers ----------------------------------------------------
QELStatus send(Parser *p, std::int32_t code, const void *data = nullptr, std::uint64_t length = 0)
{
    if (p->downstream == nullptr)
        return QELError_BadParams;
    return qelPipeAnnotate(p->downstream, &p->head, code, const_cast<void *>(data), length);
}

QELStatus keepRaw(Parser *p, const std::uint8_t *bytes, std::uint64_t n)
{
    QELStatus status = 0;
    if (p->fifoKind->write(p->fifo, bytes, n, &status) != n && status == 0)
        status = QELError_OutOfMemory;
    return status;
}

void emptyBuffers(Parser *p)
{
    p->fifoKind->clear(p->fifo);
    qelSecureWipe(p->buffer, p->bufferEnd);
    p->bufferEnd = 0;
    p->cursor = 0;
}

QELStatus writeRawFifo(Parser *p, QELPipeModule *to)
{
    for (;;) {
        QELStatus status = 0;
        std::uint64_t available = 0;
        const std::uint8_t *bytes = p->fifoKind->peek(p->fifo, &available, &status);
        if (status != 0)
            return status;
        if (available == 0)
            return 0;
        std::uint64_t taken = 0;
        status = qelPipeWriteAll(to, bytes, available, &taken);
        p->fifoKind->skip(p->fifo, taken);
        if (status != 0)
            return status;
    }
}

// ---- gathering -------------------------------------------------------------
enum class Gather : std::uint8_t { Ready, Wait, Failed };

// Copies body bytes into the buffer until `want` bytes follow the cursor, the
// body ends, the buffer is full or the input runs out (Wait unless the input
// has ended).
Gather gather(Parser *p, std::uint32_t want, QELStatus *status)
{
    want = std::min<std::uint32_t>(want, kBufferSize - p->cursor);
    while (p->bufferEnd - p->cursor < want) {
        if (!p->unbounded && p->remaining == 0) {
            if (!lengthDue(p))
                return Gather::Ready;
            if (p->inPos == p->inLength)
                return p->endOfInput ? Gather::Ready : Gather::Wait;
            const std::uint8_t c = p->in[p->inPos++];
            if ((*status = keepRaw(p, &c, 1)) != 0)
                return Gather::Failed;
            feedLengthOctet(p, c);
            continue;
        }
        const std::uint64_t n = std::min<std::uint64_t>(bodyAvailable(p), want - (p->bufferEnd - p->cursor));
        if (n == 0)
            return p->endOfInput ? Gather::Ready : Gather::Wait;
        std::memcpy(p->buffer + p->bufferEnd, p->in + p->inPos, n);
        if ((*status = keepRaw(p, p->in + p->inPos, n)) != 0)
            return Gather::Failed;
        p->bufferEnd += static_cast<std::uint32_t>(n);
        p->inPos += n;
        consumeBody(p, n);
    }
    return Gather::Ready;
}

std::uint32_t buffered(const Parser *p) { return p->bufferEnd - p->cursor; }
bool bufferFull(const Parser *p) { return p->bufferEnd == kBufferSize; }

// ---- scopes, replies and the end of a packet -------------------------------
QELStatus openScopeIfClosed(Parser *p, std::int32_t begin, const void *data = nullptr, std::uint64_t length = 0)
{
    if (p->openScope != 0)
        return 0;
    p->openScope = begin + 1;
    return send(p, begin, data, length);
}

QELStatus applyReply(Parser *p, std::int32_t code, const std::uint8_t *data, std::uint64_t length);

// HeaderComplete, then the handler's default reply when none came.
QELStatus headerComplete(Parser *p, std::int32_t defaultReply)
{
    p->replyPending = 1;
    QELStatus status = send(p, QELAnnotation_HeaderComplete);
    if (status == 0 && p->replyPending)
        status = applyReply(p, defaultReply, nullptr, 0);
    return status;
}

QELStatus checkMdc(Parser *p)
{
    std::uint64_t size = 0;
    QELStatus status = send(p, QELAnnotation_MdcSize, &size, sizeof size);
    if (status != 0)
        return status;
    if (size == 0 || size > 64)
        return QELError_MDCMismatch;
    std::array<std::uint8_t, 66> trailer{};
    std::array<std::uint8_t, 64> digest{};
    status = send(p, QELAnnotation_MdcTrailer, trailer.data(), size + 2);
    if (status == 0)
        status = send(p, QELAnnotation_MdcHash, digest.data(), size);
    if (status == 0) {
        std::uint8_t diff = static_cast<std::uint8_t>((trailer[0] ^ 0xD3) | (trailer[1] ^ 0x14));
        for (std::uint64_t i = 0; i < size; ++i)
            diff |= static_cast<std::uint8_t>(trailer[i + 2] ^ digest[i]);
        if (diff != 0)
            status = QELError_MDCMismatch;
    }
    qelSecureWipe(trailer.data(), trailer.size());
    qelSecureWipe(digest.data(), digest.size());
    return status;
}

void removeInserted(Parser *p)
{
    QELPipeModule *saved = *p->insertionSlot;
    *p->insertionSlot = nullptr;
    qelPipeDestroy(p->downstream);
    p->downstream = saved;
    p->insertionSlot = nullptr;
    p->firstInserted = nullptr;
    p->decryptInserted = 0;
    p->hashChain = nullptr;
}

QELStatus endPacket(Parser *p)
{
    if (p->endOfInput && p->onePassCount > 0 && p->unbounded &&
        (p->mode == Mode::SignedLiteral || p->mode == Mode::OnePassData)) {
        // The signed data ran to the end of the input and took the closing
        // signature with it: the message is cut, not complete.
        const QELStatus status = send(p, QELAnnotation_EndInScope);
        return status != 0 ? status : QELError_TruncatedInput;
    }
    emptyBuffers(p);
    p->bodyBuffered = 0;
    QELStatus status = 0;
    // Only a decryption module can answer the integrity questions; plaintext
    // it delivered is not good until the check passed, so a mismatch stops
    // the message before its content is closed as complete.
    if (p->openScope == QELAnnotation_EndEncrypted && p->mdcExpected && p->decryptInserted)
        status = checkMdc(p);
    if (status == 0 && p->insertionSlot != nullptr) {
        status = qelPipeExpectBytes(p->downstream, 0);
        if (status == 0)
            removeInserted(p);
    }
    if (status != 0)
        return status;
    if (p->onePassCount == 0 && p->openScope != 0) {
        const std::int32_t end = p->openScope;
        p->openScope = 0;
        status = send(p, end);
        if (p->hashList != nullptr) {
            qelHashListFree(p->hashList);
            p->hashList = nullptr;
        }
    }
    p->mdcExpected = 0;
    p->fromSignedLiteral = 0;
    p->bodyFlowing = 0;
    resetLength(p);
    p->mode = Mode::Header;
    return status;
}

// ---- session key -----------------------------------------------------------
QELStatus openCipher(Parser *p, QELPipeModule **slot, QELPipeModule ***next, const std::uint8_t *key,
                     std::uint64_t length)
{
    if (key == nullptr || length == 0)
        return QELError_SessionKeyUnusable;
    std::int32_t algorithm = key[0];
    const QELCipherDescriptor *descriptor = qelCipherDescriptorFind(algorithm);
    if (descriptor == nullptr)
        return QELError_UnknownCipherAlgorithm;
    if (length != descriptor->keySize + 1)
        return QELError_SessionKeyUnusable;
    const std::size_t block = descriptor->blockSize;
    const std::size_t need = block + 2 + (p->mdcExpected ? 1 : 0);
    if (buffered(p) < need || (p->mdcExpected && p->buffer[p->cursor] != 1))
        return QELError_SessionKeyDecryptFailed;
    const std::uint8_t *encrypted = p->buffer + p->cursor + (p->mdcExpected ? 1 : 0);
    QELMemoryMgr *mgr = qelContextMemoryMgr(p->head.context);
    std::array<std::uint8_t, 18> prefix{};
    static constexpr std::uint8_t kZeroIV[16] = {};
    QELCFBContext *cfb = nullptr;
    bool good = false;
    for (int attempt = 0; attempt < 2 && !good; ++attempt) {
        if (attempt == 1) {
            if (algorithm != kTwofish)
                break;
            descriptor = qelCipherDescriptorFind(kTwofishAltSchedule);
            if (descriptor == nullptr)
                break;
        }
        cfb = qelCFBCreateForDescriptor(mgr, descriptor);
        if (cfb == nullptr)
            return QELError_OutOfMemory;
        QELStatus status = qelCFBInit(cfb, key + 1, kZeroIV);
        if (status == 0)
            status = qelCFBDecryptInternal(cfb, encrypted, block + 2, prefix.data());
        if (status != 0) {
            static_cast<void>(qelCFBFree(cfb));
            qelSecureWipe(prefix.data(), prefix.size());
            return status;
        }
        good = prefix[block] == prefix[block - 2] && prefix[block + 1] == prefix[block - 1];
        if (!good) {
            static_cast<void>(qelCFBFree(cfb));
            cfb = nullptr;
        }
    }
    if (!good) {
        qelSecureWipe(prefix.data(), prefix.size());
        return QELError_SessionKeyDecryptFailed;
    }
    p->cursor += static_cast<std::uint32_t>(need);
    if (buffered(p) != 0)
        p->bodyBuffered = 1;
    if (!p->mdcExpected) {
        QELStatus status = qelCFBSync(cfb);
        if (status != 0) {
            static_cast<void>(qelCFBFree(cfb));
            return status;
        }
    }
    // the module owns the CFB object from here on, also when it fails
    *next = qelCipherDecryptModuleCreate(p->head.context, slot, cfb, p->settings, p->mdcExpected, prefix.data());
    qelSecureWipe(prefix.data(), prefix.size());
    if (*next == nullptr)
        return QELError_OutOfMemory;
    p->decryptInserted = 1;
    return 0;
}

// ---- replies ---------------------------------------------------------------
QELStatus insertFileHeader(Parser *p, QELPipeModule ***slot)
{
    QELPipeModule **next = qelFileHeaderModuleCreate(p->head.context, *slot);
    if (next == nullptr)
        return QELError_OutOfMemory;
    *slot = next;
    return 0;
}

QELStatus applyReply(Parser *p, std::int32_t code, const std::uint8_t *data, std::uint64_t length)
{
    QELPipeModule *saved = p->downstream;
    p->downstream = nullptr;
    QELPipeModule **slot = &p->downstream;
    QELStatus status = 0;
    std::int32_t scope = p->openScope;
    bool passThrough = false;
    bool opened = false; // Process or Recurse in a scope that may get a nested parser
    QELPipeModule *hashChain = nullptr;
    p->firstInserted = nullptr;
    const bool process = code == QELAnnotation_ReplyProcess || code == QELAnnotation_ReplyRecurse;
    if (code == QELAnnotation_ReplyDiscard) {
        p->mode = Mode::Discard;
    } else if (code == QELAnnotation_ReplyPassThrough ||
               (process && scope == QELAnnotation_EndNonPacket)) {
        passThrough = true;
    } else if (process) {
        switch (scope) {
        case QELAnnotation_EndCompressed: {
            QELPipeModule **next = qelDecompressModuleCreate(p->head.context, slot, p->buffer[p->cursor], &status);
            if (next == nullptr && status == 0)
                status = QELError_OutOfMemory;
            if (status == 0) {
                slot = next;
                p->cursor += 1;
            }
            opened = true;
            break;
        }
        case QELAnnotation_EndEncrypted: {
            QELPipeModule **next = nullptr;
            status = openCipher(p, slot, &next, data, length);
            if (status == 0)
                slot = next;
            opened = true;
            break;
        }
        case QELAnnotation_EndSignature: {
            if (length == 0 || length > 255 || data == nullptr) {
                status = QELError_UnknownHashAlgorithm;
                break;
            }
            QELHashList *list = nullptr;
            status = qelHashListCreate(qelContextMemoryMgr(p->head.context), data, &list,
                                       static_cast<std::int32_t>(length));
            if (status != 0)
                break;
            // The signed data is hashed on worker threads beside the rest.
            QELPipeModule **first = slot;
            QELPipeModule **next =
                qelHashModuleChainCreateThreaded(p->head.context, slot, list, qelHashListCount(list));
            if (next == nullptr) {
                qelHashListFree(list);
                status = QELError_OutOfMemory;
                break;
            }
            if (p->hashList != nullptr)
                qelHashListFree(p->hashList);
            p->hashList = list;
            hashChain = next != first ? *first : nullptr;
            slot = next;
            opened = true;
            break;
        }
        case QELAnnotation_EndLiteral:
            if (p->literalFormat == 'r') {
                if (code == QELAnnotation_ReplyProcess) {
                    p->literalFormat = 't';
                    std::uint8_t t = 't';
                    status = qelPipeAnnotate(saved, &p->head, QELAnnotation_LiteralFormat, &t, 1);
                } else {
                    auto create = qelMessageParserSeams().armorParseModule;
                    QELPipeModule **next = create != nullptr
                                               ? create(p->head.context, slot, p->settings, qelByteFifoDescriptor(),
                                                        p->callbacks, p->callbackData, p->nesting + 1, &status)
                                               : nullptr;
                    if (next == nullptr) {
                        if (status == 0)
                            status = create != nullptr ? QELError_OutOfMemory : QELError_FeatureNotAvailable;
                    } else {
                        p->firstInserted = p->downstream;
                        slot = next;
                    }
                }
            }
            break;
        case QELAnnotation_EndOtherPacket:
        case QELAnnotation_EndKeyMaterial:
            break;
        default:
            status = QELError_BadParams;
            break;
        }
    } else {
        status = QELError_BadParams;
    }
    if (status == 0 && passThrough && scope != QELAnnotation_EndKeyMaterial)
        status = insertFileHeader(p, &slot);
    if (status == 0 && opened) {
        if (code == QELAnnotation_ReplyRecurse) {
            QELPipeModule *before = *slot;
            QELPipeModule **next = qelMessageParserCreateNested(p->head.context, slot, p->settings, p->callbacks,
                                                                p->callbackData, p->nesting + 1, &status);
            if (next == nullptr && status == 0)
                status = QELError_OutOfMemory;
            if (status == 0) {
                p->firstInserted = *slot;
                slot = next;
            } else {
                *slot = before;
            }
        } else {
            QELPipeModule **at = slot;
            status = insertFileHeader(p, &slot);
            if (status == 0)
                p->firstInserted = *at;
        }
    }
    if (status != 0) {
        *slot = nullptr;
        qelPipeDestroy(p->downstream);
        p->downstream = saved;
        p->firstInserted = nullptr;
        p->insertionSlot = nullptr;
        p->decryptInserted = 0;
        return status;
    }
    if (code != QELAnnotation_ReplyDiscard) {
        if (scope == QELAnnotation_EndSignature && p->fromSignedLiteral)
            p->mode = Mode::SignedLiteral;
        else if (scope == QELAnnotation_EndSignature && p->onePassCount > 0)
            p->mode = Mode::OnePassData;
        else if (scope == QELAnnotation_EndKeyMaterial)
            p->mode = Mode::KeyMaterial;
        else if (passThrough)
            p->mode = Mode::PassThrough;
        else
            p->mode = Mode::Process;
        if (p->mode == Mode::Process) {
            if (!p->bodyBuffered)
                emptyBuffers(p);
        }
        if (scope == QELAnnotation_EndSignature) {
            // the signed data runs on behind this packet
            emptyBuffers(p);
            resetLength(p);
        }
    }
    p->bodyFlowing = 0;
    *slot = saved;
    p->insertionSlot = slot == &p->downstream ? nullptr : slot;
    if (hashChain != nullptr)
        p->hashChain = hashChain;
    p->replyPending = 0;
    return 0;
}

// ---- tag handlers ----------------------------------------------------------
enum class Step : std::uint8_t { Done, Wait };

// Sends the scope-opening annotations once, even when a later step waits.
#define QEL_PARSER_ONCE(n, expr)                                                                                \
    if (p->step < (n)) {                                                                                        \
        if (QELStatus s_ = (expr); s_ != 0)                                                                     \
            return s_;                                                                                          \
        p->step = (n);                                                                                          \
    }

QELStatus truncated(Parser *p)
{
    QELStatus status = send(p, QELAnnotation_PacketTruncated);
    if (status == 0)
        p->mode = Mode::Discard;
    return status;
}

QELStatus literalHandler(Parser *p, Step *wait)
{
    QELStatus status = 0;
    Gather g = gather(p, 2, &status);
    if (g != Gather::Ready)
        return *wait = Step::Wait, status;
    if (buffered(p) < 2)
        return truncated(p);
    if (p->handler == Handler::Marker && p->buffer[p->cursor] == 0x50) {
        p->mode = Mode::Discard;
        return 0;
    }
    const std::uint32_t nameLength = p->buffer[p->cursor + 1];
    if ((g = gather(p, nameLength + 6, &status)) != Gather::Ready)
        return *wait = Step::Wait, status;
    if (buffered(p) < nameLength + 6)
        return truncated(p);
    qel::ByteCursor fields(p->buffer + p->cursor, buffered(p));
    std::uint8_t format = 0, length = 0;
    static_cast<void>(fields.u8(format) && fields.u8(length));
    const std::uint8_t *name = fields.current();
    const std::uint8_t *date = name + nameLength;
    if (format == 't') {
        if ((g = gather(p, nameLength + 21, &status)) != Gather::Ready)
            return *wait = Step::Wait, status;
    }
    QEL_PARSER_ONCE(1, (p->literalFormat = format, openScopeIfClosed(p, QELAnnotation_BeginLiteral)));
    QEL_PARSER_ONCE(2, send(p, QELAnnotation_LiteralFileName, name, nameLength));
    QEL_PARSER_ONCE(3, send(p, QELAnnotation_LiteralDate, date, 4));
    if (p->step < 4) {
        if (format == 't') {
            static constexpr char kArmorStart[] = "-----BEGIN QEL ";
            if (buffered(p) >= nameLength + 21 &&
                std::memcmp(p->buffer + p->cursor + nameLength + 6, kArmorStart, 15) == 0)
                p->literalFormat = 'r';
            p->cursor += nameLength + 6;
            p->bodyBuffered = 1;
        } else {
            p->cursor += nameLength + 6;
        }
    }
    std::uint8_t shown = p->literalFormat;
    QEL_PARSER_ONCE(4, send(p, QELAnnotation_LiteralFormat, &shown, 1));
    status = headerComplete(p, QELAnnotation_ReplyProcess);
    return status;
}

QELStatus compressedHandler(Parser *p, Step *wait)
{
    QELStatus status = 0;
    if (gather(p, 1, &status) != Gather::Ready)
        return *wait = Step::Wait, status;
    if (buffered(p) < 1)
        return truncated(p);
    QEL_PARSER_ONCE(1, openScopeIfClosed(p, QELAnnotation_BeginCompressed, p->buffer + p->cursor, 1));
    return headerComplete(p, QELAnnotation_ReplyRecurse);
}

QELStatus encryptedHandler(Parser *p, Step *wait)
{
    QELStatus status = 0;
    if (gather(p, 19, &status) != Gather::Ready)
        return *wait = Step::Wait, status;
    if (buffered(p) < 19 && bodyEnded(p))
        return truncated(p);
    p->sessionKeyCount = 0;
    p->sessionKeyBytes = 0;
    if (p->step < 2 && p->openScope != QELAnnotation_EndEncrypted) {
        QEL_PARSER_ONCE(1, openScopeIfClosed(p, QELAnnotation_BeginEncrypted));
        QEL_PARSER_ONCE(2, send(p, QELAnnotation_SymmetricKeyESK));
    }
    p->step = 2;
    return headerComplete(p, QELAnnotation_ReplyPassThrough);
}

QELStatus sessionKeyHandler(Parser *p, Step *wait)
{
    QEL_PARSER_ONCE(1, openScopeIfClosed(p, QELAnnotation_BeginEncrypted));
    QELStatus status = 0;
    if (gather(p, kBufferSize, &status) != Gather::Ready)
        return *wait = Step::Wait, status;
    if (!bodyEnded(p)) {
        QEL_PARSER_ONCE(2, send(p, QELAnnotation_UnparsedSessionKey, p->buffer + p->cursor, buffered(p)));
        p->mode = Mode::Discard;
        return 0;
    }
    // The reader keeps every session-key packet whole until the encrypted
    // data comes, so a run of them is bounded in number and in bytes.
    QEL_PARSER_ONCE(2, ++p->sessionKeyCount > QELMessageParserMaxSessionKeys ||
                               (p->sessionKeyBytes += buffered(p)) > QELMessageParserMaxSessionKeyBytes
                           ? QELError_BadPacketFormat
                           : 0);
    const std::int32_t code = p->tag == 1 ? QELAnnotation_PublicKeyESK : QELAnnotation_SymmetricKeyESK;
    QEL_PARSER_ONCE(3, send(p, code, p->buffer + p->cursor, buffered(p)));
    // The raw packet stays in the FIFO in case the message is passed through.
    qelSecureWipe(p->buffer, p->bufferEnd);
    p->bufferEnd = p->cursor = 0;
    resetLength(p);
    p->mode = Mode::Header;
    return 0;
}

QELStatus keyMaterialStart(Parser *p)
{
    if (p->openScope != 0 && p->openScope != QELAnnotation_EndKeyMaterial)
        return QELError_UnexpectedPacket;
    if (p->openScope == QELAnnotation_EndKeyMaterial) {
        p->mode = Mode::KeyMaterial;
        return 0;
    }
    QEL_PARSER_ONCE(20, openScopeIfClosed(p, QELAnnotation_BeginKeyMaterial));
    return headerComplete(p, QELAnnotation_ReplyProcess);
}

// The tag of the packet that starts at the next input byte, -1 when the next
// byte is not a packet header, -2 at the end of input, -3 when the input has
// not arrived yet.
std::int32_t nextTag(const Parser *p)
{
    if (p->inPos < p->inLength)
        return isPacketByte(p->in[p->inPos]) ? tagOf(p->in[p->inPos]) : -1;
    return p->endOfInput ? -2 : -3;
}

QELStatus signatureHandler(Parser *p, Step *wait)
{
    QELStatus status = 0;
    if (p->step < 1) {
        if (gather(p, kBufferSize, &status) != Gather::Ready)
            return *wait = Step::Wait, status;
        if (!bodyEnded(p)) {
            if (!bufferFull(p))
                return *wait = Step::Wait, 0;
            QEL_PARSER_ONCE(1, openScopeIfClosed(p, QELAnnotation_BeginSignature));
            if ((status = send(p, QELAnnotation_UnparsedBytes, p->buffer + p->cursor, buffered(p))) != 0)
                return status;
            p->mode = Mode::Discard;
            return 0;
        }
    }
    const std::int32_t next = nextTag(p);
    if (next == -3)
        return *wait = Step::Wait, 0;
    const std::uint8_t *body = p->buffer + p->cursor;
    const std::uint32_t length = buffered(p);
    if (p->step < 1) {
        std::uint8_t algorithm = 0;
        if ((status = qelSigPacketValidate(body, length, &algorithm)) < 0)
            return status;
        const std::int32_t type = qelSigPacketType(body, length);
        if (type < 0)
            return type;
        if ((type & 0xF0) != 0 || p->openScope == QELAnnotation_EndKeyMaterial) {
            if (p->tag == 4 && p->onePassCount > 0)
                --p->onePassCount;
            p->handler = Handler::KeyMaterial;
            p->step = 0;
            return keyMaterialStart(p);
        }
    }
    const bool detachedForm = p->detached || next < 0;
    const bool signedLiteral = next == 10 || next == 11;
    QEL_PARSER_ONCE(1, openScopeIfClosed(p, QELAnnotation_BeginSignature));
    if (detachedForm) {
        p->detached = 1;
        QEL_PARSER_ONCE(2, send(p, QELAnnotation_DetachedSignature));
        QEL_PARSER_ONCE(3, send(p, QELAnnotation_SignaturePacket, body, length));
        return headerComplete(p, QELAnnotation_ReplyDiscard);
    }
    QEL_PARSER_ONCE(3, send(p, QELAnnotation_SignaturePacket, body, length));
    if (signedLiteral) {
        p->fromSignedLiteral = 1;
        return headerComplete(p, QELAnnotation_ReplyRecurse);
    }
    if (p->onePassCount > 0 && p->tag == 4) {
        if (qelSigPacketIsOnePass(body, length) && body[length - 1] == 0)
            return endPacket(p); // another one-pass packet follows
        if (next == 2) {         // signature straight after: the data is elsewhere
            p->detached = 1;
            QEL_PARSER_ONCE(4, send(p, QELAnnotation_DetachedSignature));
            return endPacket(p);
        }
    }
    return headerComplete(p, QELAnnotation_ReplyRecurse);
}

QELStatus closingHandler(Parser *p, Step *wait)
{
    QELStatus status = 0;
    if (gather(p, kBufferSize, &status) != Gather::Ready)
        return *wait = Step::Wait, status;
    if (!bodyEnded(p)) {
        if (!bufferFull(p))
            return *wait = Step::Wait, 0;
        QEL_PARSER_ONCE(1, send(p, QELAnnotation_UnparsedBytes, p->buffer + p->cursor, buffered(p)));
        --p->onePassCount;
        p->mode = Mode::Discard;
        return 0;
    }
    QEL_PARSER_ONCE(1, send(p, QELAnnotation_ClosingSignaturePacket, p->buffer + p->cursor, buffered(p)));
    --p->onePassCount;
    if (p->detached && p->onePassCount == 0)
        return headerComplete(p, QELAnnotation_ReplyDiscard);
    return endPacket(p);
}

QELStatus otherHandler(Parser *p, Step *wait)
{
    QELStatus status = 0;
    if (gather(p, 256, &status) != Gather::Ready)
        return *wait = Step::Wait, status;
    const std::int32_t begin = p->tag < 0 ? QELAnnotation_BeginNonPacket : QELAnnotation_BeginOtherPacket;
    QEL_PARSER_ONCE(1, openScopeIfClosed(p, begin, p->buffer + p->cursor, buffered(p)));
    return headerComplete(p, QELAnnotation_ReplyDiscard);
}

QELStatus runHandler(Parser *p, Step *wait)
{
    switch (p->handler) {
    case Handler::Literal:
    case Handler::Marker: return literalHandler(p, wait);
    case Handler::Compressed: return compressedHandler(p, wait);
    case Handler::Encrypted: return encryptedHandler(p, wait);
    case Handler::SessionKey: return sessionKeyHandler(p, wait);
    case Handler::Unexpected:
        QEL_PARSER_ONCE(1, send(p, QELAnnotation_UnexpectedPacket));
        return headerComplete(p, QELAnnotation_ReplyDiscard);
    case Handler::Signature: return signatureHandler(p, wait);
    case Handler::Closing: return closingHandler(p, wait);
    case Handler::KeyMaterial: return keyMaterialStart(p);
    case Handler::Other: return otherHandler(p, wait);
    }
    return QELError_BadParams;
}

bool isKeyTag(std::int32_t tag)
{
    switch (tag) {
    case 5: case 6: case 7: case 12: case 13: case 14: case 16: case 17: case 60: return true;
    default: return false;
    }
}

// Reads a header byte and picks the handler.
QELStatus startPacket(Parser *p)
{
    if (p->openScope == QELAnnotation_EndEncrypted && p->sessionKeyCount > 0) {
        // The session-key packets before the encrypted data stay raw in the
        // FIFO: a message passed through opens elsewhere only with them.
        qelSecureWipe(p->buffer, p->bufferEnd);
        p->bufferEnd = 0;
        p->cursor = 0;
    } else {
        emptyBuffers(p);
    }
    p->bodyBuffered = 0;
    p->step = 0;
    const std::uint8_t b = p->in[p->inPos];
    p->headerByte = b;
    if (!isPacketByte(b)) {
        resetLength(p);
        p->unbounded = 1;
        p->remaining = 0xFFFFFFFFu;
        p->tag = -1;
        p->handler = Handler::Other;
        p->mode = Mode::Handler;
        return 0;
    }
    ++p->inPos;
    QELStatus status = keepRaw(p, &b, 1);
    if (status != 0)
        return status;
    startLength(p, b);
    const std::int32_t tag = tagOf(b);
    p->tag = tag;
    p->mode = Mode::Handler;
    if (p->openScope == QELAnnotation_EndEncrypted) {
        if (tag == 1 || tag == 3)
            p->handler = Handler::SessionKey;
        else if (tag == 9 || tag == 18) {
            p->handler = Handler::Encrypted;
            p->mdcExpected = tag == 18;
        } else
            p->handler = Handler::Unexpected;
        return 0;
    }
    switch (tag) {
    case 1: case 3: p->handler = Handler::SessionKey; break;
    case 2: p->handler = p->onePassCount != 0 ? Handler::Closing : Handler::Signature; break;
    case 4:
        ++p->onePassCount;
        p->nestedOnePass = 0;
        p->detached = 0;
        p->handler = Handler::Signature;
        break;
    case 8: p->handler = Handler::Compressed; break;
    case 9: p->handler = Handler::Encrypted; break;
    case 10: p->handler = Handler::Marker; break;
    case 11: p->handler = Handler::Literal; break;
    case 18:
        p->handler = Handler::Encrypted;
        p->mdcExpected = 1;
        break;
    default:
        if (isKeyTag(tag) || p->openScope == QELAnnotation_EndKeyMaterial)
            p->handler = Handler::KeyMaterial;
        else
            p->handler = Handler::Other;
        break;
    }
    return 0;
}

// ---- body handlers ---------------------------------------------------------
// Writes to `to`; a stalled or failed write leaves the rest for later.
QELStatus deliver(Parser *p, QELPipeModule *to, std::uint64_t n, bool *stalled)
{
    QELStatus status = 0;
    const std::uint64_t taken = qelPipeWrite(to, p->in + p->inPos, n, &status);
    p->inPos += taken;
    consumeBody(p, taken);
    if (status == 0 && taken == 0)
        *stalled = true;
    return status;
}

// The body loop shared by the body handlers: `body` receives body bytes,
// `octets` the raw length octets between chunks (null: dropped). Returns
// Wait when input runs out before the body ends.
QELStatus bodyLoop(Parser *p, QELPipeModule *body, QELPipeModule *octets, Step *wait)
{
    for (;;) {
        if (!p->unbounded && p->remaining == 0) {
            if (!lengthDue(p))
                return 0;
            if (p->inPos == p->inLength)
                return *wait = Step::Wait, 0;
            const std::uint8_t c = p->in[p->inPos];
            if (octets != nullptr) {
                QELStatus status = 0;
                if (qelPipeWrite(octets, &c, 1, &status) == 0)
                    return status != 0 ? status : (*wait = Step::Wait, 0);
            }
            ++p->inPos;
            feedLengthOctet(p, c);
            continue;
        }
        const std::uint64_t n = bodyAvailable(p);
        if (n == 0) {
            if (p->unbounded && p->endOfInput)
                return 0;
            return *wait = Step::Wait, 0;
        }
        if (body == nullptr) {
            p->inPos += n;
            consumeBody(p, n);
            continue;
        }
        bool stalled = false;
        QELStatus status = deliver(p, body, n, &stalled);
        if (status != 0)
            return status;
        if (stalled)
            return *wait = Step::Wait, 0;
    }
}

QELStatus runBody(Parser *p, Step *wait)
{
    QELStatus status = 0;
    switch (p->mode) {
    case Mode::Discard:
        emptyBuffers(p);
        status = bodyLoop(p, nullptr, nullptr, wait);
        break;
    case Mode::Process:
        if (!p->bodyFlowing) {
            // An empty write first, so a reader opens its output even for an
            // empty body.
            if (p->downstream != nullptr)
                static_cast<void>(qelPipeWrite(p->downstream, nullptr, 0, &status));
            if (status == 0 && p->bodyBuffered) {
                status = qelPipeWriteAll(p->downstream, p->buffer + p->cursor, buffered(p));
                p->bodyBuffered = 0;
            }
            if (status != 0)
                return status;
            emptyBuffers(p);
            p->bodyFlowing = 1;
        }
        status = bodyLoop(p, p->downstream, nullptr, wait);
        break;
    case Mode::PassThrough:
    case Mode::KeyMaterial:
        if (!p->bodyFlowing) {
            if ((status = writeRawFifo(p, p->downstream)) != 0)
                return status;
            emptyBuffers(p);
            p->bodyFlowing = 1;
        }
        status = bodyLoop(p, p->downstream, p->downstream, wait);
        if (status == 0 && *wait == Step::Done && p->mode == Mode::KeyMaterial) {
            const std::int32_t next = nextTag(p);
            if (next == -3)
                return *wait = Step::Wait, 0;
            if (next == 2 || (next >= 0 && isKeyTag(next))) {
                // the key-material scope goes on with the next packet
                emptyBuffers(p);
                resetLength(p);
                p->bodyFlowing = 0;
                p->mode = Mode::Header;
                return 0;
            }
        }
        break;
    default:
        return QELError_BadParams;
    }
    if (status == 0 && *wait == Step::Done)
        status = endPacket(p);
    return status;
}

// Signed data that is a literal packet: its header goes straight to the
// module behind the hashes, its body through the hashes, so that the
// signature covers exactly the literal's content.
QELStatus runSignedLiteral(Parser *p, Step *wait)
{
    QELPipeModule *direct = p->firstInserted != nullptr ? p->firstInserted : *p->insertionSlot;
    QELStatus status = 0;
    if (p->step < 100) {
        if (p->inPos == p->inLength)
            return *wait = Step::Wait, 0;
        emptyBuffers(p);
        const std::uint8_t b = p->in[p->inPos++];
        if ((status = keepRaw(p, &b, 1)) != 0)
            return status;
        startLength(p, b);
        p->step = 100;
    }
    if (p->step < 101) {
        Gather g = gather(p, 2, &status);
        if (g != Gather::Ready)
            return *wait = Step::Wait, status;
        std::uint32_t want = 2;
        if (buffered(p) >= 2 && p->buffer[p->cursor] != 0x50)
            want = p->buffer[p->cursor + 1] + 6u;
        if ((g = gather(p, want, &status)) != Gather::Ready)
            return *wait = Step::Wait, status;
        // The header and its fields go on raw, the body bytes gathered with
        // them through the hashes.
        std::uint64_t raw = p->fifoKind->size(p->fifo);
        const std::uint32_t fields = std::min(want, buffered(p));
        const std::uint64_t headerRaw = raw - buffered(p) + fields;
        std::array<std::uint8_t, kBufferSize + 16> rawBytes{};
        QELStatus readStatus = 0;
        const std::uint64_t got = p->fifoKind->read(p->fifo, rawBytes.data(), std::min<std::uint64_t>(raw, rawBytes.size()), &readStatus);
        if (readStatus != 0)
            return readStatus;
        status = qelPipeWriteAll(direct, rawBytes.data(), std::min(got, headerRaw));
        if (status == 0 && got > headerRaw)
            status = qelPipeWriteAll(p->downstream, rawBytes.data() + headerRaw, got - headerRaw);
        qelSecureWipe(rawBytes.data(), rawBytes.size());
        if (status != 0)
            return status;
        emptyBuffers(p);
        p->step = 101;
    }
    status = bodyLoop(p, p->downstream, direct, wait);
    if (status == 0 && *wait == Step::Done)
        status = endPacket(p);
    return status;
}

// Signed data that is not a literal: every packet goes through the hashes
// raw, up to the signature packet that closes the outermost one-pass packet.
QELStatus runOnePassData(Parser *p, Step *wait)
{
    for (;;) {
        if (p->step < 200) {
            if (p->inPos == p->inLength) {
                if (p->endOfInput)
                    return endPacket(p);
                return *wait = Step::Wait, 0;
            }
            const std::uint8_t b = p->in[p->inPos];
            if (!isPacketByte(b)) {
                // not a packet: the rest is data to the end of the input
                resetLength(p);
                p->unbounded = 1;
                p->step = 200;
                continue;
            }
            const std::int32_t tag = tagOf(b);
            // Old and new headers alike: GnuPG writes one-pass packets old-style.
            if (tag == 2) {
                if (p->nestedOnePass == 0)
                    return endPacket(p);
                --p->nestedOnePass;
            } else if (tag == 4) {
                ++p->nestedOnePass;
            }
            QELStatus status = 0;
            if (qelPipeWrite(p->downstream, &b, 1, &status) == 0)
                return status != 0 ? status : (*wait = Step::Wait, 0);
            ++p->inPos;
            startLength(p, b);
            p->step = 200;
        }
        QELStatus status = bodyLoop(p, p->downstream, p->downstream, wait);
        if (status != 0 || *wait == Step::Wait)
            return status;
        if (p->unbounded)
            return endPacket(p);
        p->step = 0;
    }
}

QELStatus runOnce(Parser *p, Step *wait)
{
    switch (p->mode) {
    case Mode::Header:
        if (p->inPos == p->inLength)
            return *wait = Step::Wait, 0;
        return startPacket(p);
    case Mode::Handler: return runHandler(p, wait);
    case Mode::SignedLiteral: return runSignedLiteral(p, wait);
    case Mode::OnePassData: return runOnePassData(p, wait);
    default: return runBody(p, wait);
    }
}

// Runs the handlers over the input until it is used up or a handler waits.
QELStatus run(Parser *p, const std::uint8_t *bytes, std::uint64_t length, std::uint64_t *consumed)
{
    if (p->failed != 0)
        return p->failed;
    p->in = bytes;
    p->inLength = length;
    p->inPos = 0;
    QELStatus status = 0;
    for (;;) {
        if (p->mode == Mode::Header && p->inPos >= kHeaderSlice)
            break;
        Step wait = Step::Done;
        const Mode before = p->mode;
        const std::uint64_t posBefore = p->inPos;
        const std::int32_t stepBefore = p->step;
        status = runOnce(p, &wait);
        if (status != 0 || wait == Step::Wait)
            break;
        // A step that neither consumed input nor moved on cannot make
        // progress by being run again.
        if (p->mode == before && p->inPos == posBefore && p->step == stepBefore)
            break;
    }
    *consumed = p->inPos;
    p->in = nullptr;
    p->inLength = p->inPos = 0;
    if (status != 0)
        p->failed = status;
    return status;
}

// ---- module operations -----------------------------------------------------
std::uint64_t parserWrite(QELPipeModule *m, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    std::uint64_t consumed = 0;
    const QELStatus s = run(self(m), bytes, length, &consumed);
    if (status != nullptr)
        *status = s;
    return consumed;
}

QELStatus drain(Parser *p)
{
    std::uint64_t consumed = 0;
    return run(p, nullptr, 0, &consumed);
}

QELStatus parserFlush(QELPipeModule *m)
{
    Parser *p = self(m);
    QELStatus status = drain(p);
    if (status == 0 && p->downstream != nullptr)
        status = qelPipeFlush(p->downstream);
    return status;
}

QELStatus signatureDigest(Parser *p, const void *origin, const std::uint8_t *data, std::uint64_t length)
{
    // version, hash id, then the hashed part; the length is checked before
    // any field is read
    if (data == nullptr || length < 2 || length - 2 > 0xFFFFFFFFu || p->hashList == nullptr)
        return QELError_UnknownHashAlgorithm;
    const QELHashDescriptor *descriptor = qelHashDescriptorFind(data[1]);
    QELHashContext *hash = descriptor != nullptr ? qelHashListFind(p->hashList, descriptor) : nullptr;
    if (hash == nullptr)
        return QELError_UnknownHashAlgorithm;
    // Hash Modules still in the chain finish what they were fed first.
    qelHashModuleChainSettle(p->hashChain);
    QELHashContext *copy = qelHashDuplicate(hash);
    if (copy == nullptr)
        return QELError_OutOfMemory;
    const std::uint64_t hashed = length - 2;
    QELStatus status = qelHashUpdate(copy, data + 2, hashed);
    if (status == 0 && data[0] == 4) {
        const std::uint8_t trailer[6] = {0x04, 0xFF, static_cast<std::uint8_t>(hashed >> 24),
                                         static_cast<std::uint8_t>(hashed >> 16),
                                         static_cast<std::uint8_t>(hashed >> 8), static_cast<std::uint8_t>(hashed)};
        status = qelHashUpdate(copy, trailer, sizeof trailer);
    }
    std::array<std::uint8_t, 64> digest{};
    if (status == 0 && descriptor->digestSize > digest.size())
        status = QELError_UnknownHashAlgorithm;
    if (status == 0)
        status = qelHashFinal(copy, digest.data());
    static_cast<void>(qelHashFree(copy));
    if (status == 0)
        status = p->downstream != nullptr
                     ? qelPipeAnnotate(p->downstream, origin, QELAnnotation_SignatureDigest, digest.data(),
                                       descriptor->digestSize)
                     : QELError_BadParams;
    qelSecureWipe(digest.data(), digest.size());
    return status;
}

QELStatus parserAnnotate(QELPipeModule *m, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    Parser *p = self(m);
    if (code >= QELAnnotation_ReplyDiscard && code <= QELAnnotation_ReplyRecurse && p->replyPending) {
        const QELStatus status = applyReply(p, code, static_cast<const std::uint8_t *>(data), length);
        if (status != 0 && status != QELError_SessionKeyDecryptFailed) // a wrong key may be followed by the right one
            p->failed = status;
        return status;
    }
    if (code == QELAnnotation_HashForSignature)
        return signatureDigest(p, origin, static_cast<const std::uint8_t *>(data), length);
    if (code == QELAnnotation_TextLine)
        p->detached = 1;
    QELStatus status = drain(p);
    if (status != 0)
        return status;
    return p->downstream != nullptr ? qelPipeAnnotate(p->downstream, origin, code, data, length) : QELError_BadParams;
}

QELStatus parserExpectBytes(QELPipeModule *m, std::uint64_t count)
{
    Parser *p = self(m);
    if (p->failed != 0)
        return p->failed;
    if (count != 0)
        return 0;
    p->endOfInput = 1;
    QELStatus status = drain(p);
    if (status != 0)
        return status;
    if (p->mode != Mode::Header) {
        // The input ended inside a packet: what was delivered of it is not
        // the whole content, so nothing is closed as complete.
        const bool cut = !p->unbounded && (p->remaining != 0 || lengthDue(p));
        if (cut) {
            status = send(p, p->openScope != 0 ? QELAnnotation_EndInScope : QELAnnotation_EndInPacket);
            p->failed = status != 0 ? status : QELError_TruncatedInput;
            return p->failed;
        }
        status = endPacket(p);
    }
    if (status == 0 && p->onePassCount != 0) {
        status = send(p, QELAnnotation_EndInScope);
        if (status == 0)
            status = QELError_TruncatedInput;
    }
    if (status == 0 && p->openScope == 0 && p->downstream != nullptr)
        status = qelPipeExpectBytes(p->downstream, 0);
    if (status != 0)
        p->failed = status;
    return status;
}

QELStatus parserDestroy(QELPipeModule *m)
{
    Parser *p = self(m);
    // Between replies the chain is whole (inserted modules lead on to the
    // previous downstream), so destroying the downstream destroys each
    // module once; a nested parser may have moved the insertion slot's
    // contents, so the slot is not trusted here.
    qelPipeDestroy(p->downstream);
    qelFifoDestroy(p->fifoKind, p->fifo);
    if (p->hashList != nullptr)
        qelHashListFree(p->hashList);
    qelPipeModuleFree(p);
    return 0;
}

constexpr QELPipeOps kParserOps{parserWrite, parserFlush, parserAnnotate, parserExpectBytes, parserDestroy};

} // namespace

static_assert(std::is_same_v<decltype(QELMessageParserSeams::armorParseModule), decltype(&qelArmorParserCreateNested)>);

QELMessageParserSeams &qelMessageParserSeams()
{
    static QELMessageParserSeams seams{qelArmorParserCreateNested};
    return seams;
}

QELPipeModule **qelMessageParserCreateNested(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                             const QELDecodeCallbacks *callbacks, void *callbackData,
                                             std::int32_t depth, QELStatus *status)
{
    if (slot == nullptr || settings == nullptr)
        return nullptr;
    if (depth > QELMessageParserMaxNesting) {
        if (status != nullptr)
            *status = QELError_BadPacketFormat;
        return nullptr;
    }
    auto *p = qelPipeModuleNew<Parser>(context, QELPipeMagic_MessageParser, "QEL Message Parser", kParserOps);
    if (p == nullptr)
        return nullptr;
    p->fifoKind = qelByteFifoDescriptor();
    p->fifo = p->fifoKind->create(context);
    if (p->fifo == nullptr) {
        qelPipeModuleFree(p);
        return nullptr;
    }
    p->settings = settings;
    p->callbacks = callbacks;
    p->callbackData = callbackData;
    p->nesting = depth;
    p->mode = Mode::Header;
    return qelPipeModuleLink(slot, &p->head, &p->downstream);
}

QELPipeModule **qelMessageParserCreate(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                       const QELDecodeCallbacks *callbacks, void *callbackData)
{
    return qelMessageParserCreateNested(context, slot, settings, callbacks, callbackData, 0, nullptr);
}
