// The Add Header Module and the Literal Module: put an RFC 4880 packet
// header in front of the body they receive. Version 3 or lower writes an
// old-format packet with a definite length, holding the body in a FIFO until
// its length is announced (a body of 4 GiB or more cannot be framed that way
// and is refused); a higher version writes a new-format packet with partial
// body lengths of 4096 bytes.
#pragma once

#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

inline constexpr std::uint8_t QELPacketTag_Literal = 11;
inline constexpr std::size_t QELAddHeaderPiece = 4096;
inline constexpr std::size_t QELAddHeaderMaxPrefix = QELAddHeaderPiece;
inline constexpr std::size_t QELLiteralMaxName = 255;

// Length types of an old-format header (a lower bound: a longer field is
// used when the body needs one).
inline constexpr std::int32_t QELLengthType_OneByte = 0;
inline constexpr std::int32_t QELLengthType_TwoBytes = 1;
inline constexpr std::int32_t QELLengthType_FourBytes = 2;
inline constexpr std::int32_t QELLengthType_Indeterminate = 3;

// `prefix` is the start of the body, known when the module is made (at most
// 4096 bytes). Returns the downstream slot, or null.
QELPipeModule **qelAddHeaderModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                         const QELFifoDescriptor *fifoKind, std::uint8_t tag, std::int32_t lengthType,
                                         const void *prefix, std::size_t prefixLength);
// A literal data packet: format 'b' or 't', the file name (cut to 255
// bytes) and the date. Returns the downstream slot, or null.
QELPipeModule **qelLiteralModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                       const QELFifoDescriptor *fifoKind, std::uint8_t format, const void *fileName,
                                       std::size_t fileNameLength, std::uint32_t date);
