// The Deflation Module: compresses what it receives as raw deflate (RFC
// 1951, algorithm 1 of RFC 4880) with an 8 KiB window through zlib, straight
// into the chunks of a Byte Fifo that it drains downstream. Also the pieces
// both deflation modules share: zlib's allocator over the context, deflate
// into FIFO space, and draining the FIFO.
#pragma once

#include "qelByteFifoInternal.h"
#include "qelDeflateModuleBlocksInternal.h"
#include "qelPipeModuleInternal.h"

#include <zlib.h>

// zlib's memory from the context (opaque is the context), without zero fill.
void *qelZlibContextAlloc(void *opaque, unsigned items, unsigned size);
void qelZlibContextFree(void *opaque, void *block);

// One deflate call with the FIFO's write space as zlib's output buffer; the
// FIFO advances by what zlib wrote. *outFull is set when zlib used all the
// space it was given. With no space to be had zlib gets none and fails.
int qelDeflateIntoFifo(QELFifo *fifo, z_stream *stream, int flush, bool *outFull);
// Writes what the FIFO holds downstream, skipping what was taken; the first
// non-zero status (a stalled downstream included) stops it and is returned.
[[nodiscard]] QELStatus qelDeflateDrainFifo(const QELFifoDescriptor *kind, QELFifo *fifo, QELPipeModule *downstream);

// Appends compressed bytes to the FIFO; a failure to take them all is the
// result.
[[nodiscard]] QELStatus qelDeflateEmitToFifo(QELFifo *fifo, const std::uint8_t *bytes, std::size_t length);
// The write of both deflation modules: the blocks take all the bytes, then
// what the FIFO holds is drained downstream. Answers the length taken (0
// when the blocks failed) and sets *status when given.
std::uint64_t qelDeflateModuleWrite(QELDeflateBlocks *blocks, QELFifo *fifo, QELPipeModule *downstream,
                                    const std::uint8_t *bytes, std::uint64_t length, QELStatus *status);

// Returns the downstream slot, or null (null slot, no memory, a level zlib
// refuses). `workers` limits the threads that deflate blocks in parallel
// (QELDeflateAutomaticWorkers by the processor count, 0 none).
QELPipeModule **qelDeflateModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t level,
                                       std::int32_t workers = QELDeflateAutomaticWorkers);
