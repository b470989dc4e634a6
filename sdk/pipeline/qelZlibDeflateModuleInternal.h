// The ZLIB Deflation Module: compresses what it receives as one zlib stream
// (RFC 1950, algorithm 2 of RFC 4880) through a zlib compressor of its own,
// into a Byte Fifo that it drains downstream.
#pragma once

#include "qelDeflateModuleBlocksInternal.h"
#include "qelPipeModuleInternal.h"

// The level is used when it is 1 to 9, zlib's default otherwise. `workers`
// limits the threads that deflate blocks in parallel
// (QELDeflateAutomaticWorkers by the processor count, 0 none). Returns the
// downstream slot, or null.
QELPipeModule **qelZlibDeflateModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t level,
                                           std::int32_t workers = QELDeflateAutomaticWorkers);
