// The message parser: cuts an RFC 4880 packet stream into scopes and detail
// annotations, waits for a reader's reply on each scope and opens what it is
// told to open (decryption, decompression, signature hashes, a nested parser).
#pragma once

#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

#include <cstdint>

struct QELDecodeCallbacks;
struct QELHashList;
struct QELSettings;

// Parsers nest (a compressed packet holds a message, which may hold another
// compressed packet); a message nested deeper than this is refused with
// QELError_BadPacketFormat instead of growing the chain without bound.
inline constexpr std::int32_t QELMessageParserMaxNesting = 32;
// Session-key packets in front of encrypted data are kept whole by the
// reader until the data comes; more of them than this, or more body bytes
// than this, is refused with QELError_BadPacketFormat.
inline constexpr std::uint32_t QELMessageParserMaxSessionKeys = 256;
inline constexpr std::uint64_t QELMessageParserMaxSessionKeyBytes = 256 * 1024;

// Returns the parser's downstream slot, or null (null slot or settings, no
// memory).
QELPipeModule **qelMessageParserCreate(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                       const QELDecodeCallbacks *callbacks, void *callbackData);
// The same for a parser that reads content opened by another parser `depth`
// levels up; a depth above QELMessageParserMaxNesting stores
// QELError_BadPacketFormat in *status and returns null.
QELPipeModule **qelMessageParserCreateNested(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                             const QELDecodeCallbacks *callbacks, void *callbackData,
                                             std::int32_t depth, QELStatus *status);

// ---- the armor parser, reached through an entry ------------------------------
// The armor parser makes message parsers and the message parser makes armor
// parsers; each reaches the other through an entry of the same shape as its
// own nested constructor (the context, slot, settings, [FIFO class,]
// callbacks, data, then the nesting depth and a status out-parameter), filled
// with the real constructor. A test may empty it: the parser then refuses the
// reply that needs it (the chain stays as it was).
struct QELMessageParserSeams {
    // qelArmorParserCreateNested, for literals that hold an armored message;
    // called at one level below the parser, so that armor inside literals
    // inside armor stays bounded by QELMessageParserMaxNesting too.
    QELPipeModule **(*armorParseModule)(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                        const QELFifoDescriptor *fifoKind, const QELDecodeCallbacks *callbacks,
                                        void *callbackData, std::int32_t nesting, QELStatus *status);
};
QELMessageParserSeams &qelMessageParserSeams();
