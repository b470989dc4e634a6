// The Deflation Module: compresses what it receives as raw deflate (RFC
// 1951, algorithm 1 of RFC 4880) with an 8 KiB window through zlib, straight
// into the chunks of a Byte Fifo that it drains downstream. Also the pieces
// both deflation modules share: zlib's allocator over the context, deflate
// into FIFO space, and draining the FIFO.
#pragma once

#include "qelByteFifoInternal.h"
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

// Returns the downstream slot, or null (null slot, no memory, a level zlib
// refuses).
QELPipeModule **qelDeflateModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t level);
