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

// ---- stand-in for a module that has not landed yet -------------------------
// The entry names the module that fills it; once that module is on main the
// parser calls its constructor directly and the entry goes. An empty entry
// makes the parser refuse the reply that needs it (the chain stays as it was).
struct QELMessageParserSeams {
    // ASCII armor parser, for literals that hold an armored message. The
    // parsers it makes for the messages it finds are made with
    // qelMessageParserCreateNested at `nesting`, so that armor inside
    // literals inside armor stays bounded too.
    QELPipeModule **(*armorParseModule)(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                        const QELFifoDescriptor *fifoKind, const QELDecodeCallbacks *callbacks,
                                        void *callbackData, std::int32_t nesting);
};
QELMessageParserSeams &qelMessageParserSeams();
