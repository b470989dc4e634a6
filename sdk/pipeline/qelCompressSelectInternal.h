// Choosing the compression module for an RFC 4880 compressed-data packet
// (tag 8) from its algorithm id: 1 raw deflate, 2 zlib stream.
#pragma once

#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

inline constexpr std::uint8_t QELPacketTag_Compressed = 8;
inline constexpr std::int32_t QELCompressAlgorithm_Deflate = 1;
inline constexpr std::int32_t QELCompressAlgorithm_Zlib = 2;

// The compressor of the algorithm followed by an Add Header Module that
// frames its output as a compressed-data packet (indeterminate old-format
// length for version 3 and lower, partial lengths above) whose body starts
// with the algorithm byte. Returns the slot after the packet writer, or null
// (unknown algorithm, null slot, a module that could not be made).
QELPipeModule **qelCompressModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                        const QELFifoDescriptor *fifoKind, std::int32_t algorithm,
                                        std::int32_t level);
// The decompressor of the algorithm, inserted at slot. An unknown algorithm
// stores QELError_BadPacketFormat in *status, a module that could not be made
// QELError_OutOfMemory; a null slot returns null and leaves *status alone.
QELPipeModule **qelDecompressModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t algorithm,
                                          QELStatus *status);
