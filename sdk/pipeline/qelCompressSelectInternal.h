// Choosing the compression module for an RFC 4880 compressed-data packet
// (tag 8) from its algorithm id (1 raw deflate, 2 zlib stream), and the
// annotation step all four compression modules share.
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

// An annotation through a compression module: once the output it holds has
// been written downstream (`drained`, returned when not 0), the annotation
// is forwarded and, when the downstream accepts it, counted into the scope
// depth.
[[nodiscard]] inline QELStatus qelCompressionAnnotate(QELStatus drained, QELPipeModule *downstream,
                                                      std::int32_t *depth, const void *origin, std::int32_t code,
                                                      void *data, std::uint64_t length)
{
    if (drained != 0)
        return drained;
    const QELStatus status = qelPipeAnnotate(downstream, origin, code, data, length);
    if (status == 0)
        *depth += qelAnnotationScopeStep(code);
    return status;
}
