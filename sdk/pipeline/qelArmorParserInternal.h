// The Ascii Armor Parser Module: reads arbitrary text line by line, finds
// armored blocks (also quoted ones), clear-signed messages and unarmored
// binary packet streams, decodes armor bodies with their CRC-24, puts the
// parts of each message back together in part order and hands every message
// to a message parser chain of its own. Plain text passes through between
// scope annotations; while one message is open, every other output is logged
// (in FIFOs of the caller's class) and replayed after it.
#pragma once
#include "qelArmorCodecInternal.h"
#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

struct QELSettings;
struct QELDecodeCallbacks;

// The message parser behind each message, reached through an entry of the
// shape of qelMessageParserCreateNested and filled with it. A test may empty
// it to see the decoded bytes themselves: a Copy Module then stands alone.
struct QELArmorParserSeams {
    QELPipeModule **(*messageParser)(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                     const QELDecodeCallbacks *callbacks, void *callbackData, std::int32_t depth,
                                     QELStatus *status);
};
QELArmorParserSeams &qelArmorParserSeams();

// Returns the parser's downstream slot, or null (null slot, settings or FIFO
// class, no memory).
QELPipeModule **qelArmorParserCreate(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                     const QELFifoDescriptor *fifoKind, const QELDecodeCallbacks *callbacks,
                                     void *callbackData);
// The same for an armor parser that reads the content of a literal `nesting`
// message-parser levels down; its message parsers are made at that depth. A
// nesting above QELMessageParserMaxNesting stores QELError_BadPacketFormat in
// *status and returns null.
QELPipeModule **qelArmorParserCreateNested(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                           const QELFifoDescriptor *fifoKind, const QELDecodeCallbacks *callbacks,
                                           void *callbackData, std::int32_t nesting, QELStatus *status);

// True when a line of input starts an unarmored RFC 4880 packet stream.
bool qelIsBinaryPacket(const std::uint8_t *bytes, std::uint64_t length);

// Most distinct "Hash:" algorithms a clear-signed header keeps.
inline constexpr std::size_t QELArmorMaxHashIds = 255;
