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

// Seams filled by the modules the parser puts into a message's chain. An
// empty entry leaves a plain pass-through in its place, so the armor layer
// can be used (and tested) before those modules exist.
struct QELArmorParserSeams {
    // Message parser: qelMessageParserCreate.
    QELPipeModule **(*messageParser)(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                     const QELDecodeCallbacks *callbacks, void *callbackData);
};
QELArmorParserSeams &qelArmorParserSeams();

QELPipeModule **qelArmorParserCreate(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                     const QELFifoDescriptor *fifoKind, const QELDecodeCallbacks *callbacks,
                                     void *callbackData);

// True when a line of input starts an unarmored RFC 4880 packet stream.
bool qelIsBinaryPacket(const std::uint8_t *bytes, std::uint64_t length);

// Most distinct "Hash:" algorithms a clear-signed header keeps.
inline constexpr std::size_t QELArmorMaxHashIds = 255;
