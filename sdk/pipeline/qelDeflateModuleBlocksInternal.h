// Deflating in blocks on worker threads, for both deflation modules.
//
// Input is cut into blocks of QELDeflateBlockSize bytes. Each block is
// deflated on a worker by a raw deflate stream primed with the window's worth
// of input before it (deflateSetDictionary), and ended with a sync flush, the
// last one with Z_FINISH. A sync flush ends on a byte boundary without ending
// the stream, so the blocks' outputs written in order are one valid deflate
// stream, and the dictionary lets a block refer back across the cut just as a
// single stream would. For the zlib format the engine writes the two-byte
// header itself and, as the trailer, the Adler-32 of the input combined from
// the blocks' own.
//
// Memory stays bounded: a fixed ring of jobs, and a writer that waits for the
// oldest job when the ring is full. Input of one block or less never starts a
// thread: it goes through the module's own single stream, byte for byte as it
// always did; so does all of the input where no thread or no memory for the
// ring can be had, or where a flush came before the first block was full.
#pragma once

#include "qelPipeModuleInternal.h"

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t QELDeflateBlockSize = std::size_t{128} << 10;
// The most workers one stream starts; the automatic choice is one fewer
// than the processors, within this.
inline constexpr std::int32_t QELDeflateMaxWorkers = 4;
inline constexpr std::int32_t QELDeflateAutomaticWorkers = -1;

// What the engine asks of its module. `serial` compresses through the
// module's own single stream (flush Z_NO_FLUSH, Z_SYNC_FLUSH or Z_FINISH);
// `emit` takes the parallel path's compressed bytes, in stream order.
struct QELDeflateBlocksHooks {
    QELStatus (*serial)(void *user, const std::uint8_t *bytes, std::size_t length, int flush);
    QELStatus (*emit)(void *user, const std::uint8_t *bytes, std::size_t length);
    void *user;
};

struct QELDeflateBlocks;

// `windowBits` 8 to 15 (the raw window the module's stream uses), `zlibFormat`
// the RFC 1950 wrapping; `workers` at most this many threads (0: never any,
// QELDeflateAutomaticWorkers: by the processor count). Null when memory
// fails; nothing large is allocated before the input needs it.
QELDeflateBlocks *qelDeflateBlocksNew(QELContext *context, int level, int windowBits, bool zlibFormat,
                                      std::int32_t workers, const QELDeflateBlocksHooks &hooks);
// Stops and joins the workers, wipes and frees everything.
void qelDeflateBlocksFree(QELDeflateBlocks *blocks);
// Takes all the bytes; compressed output leaves through the hooks as blocks
// finish, in order. The first failure (a worker's, or a hook's) is kept and
// returned by every later call.
[[nodiscard]] QELStatus qelDeflateBlocksWrite(QELDeflateBlocks *blocks, const std::uint8_t *bytes,
                                              std::uint64_t length);
// Everything taken so far leaves, compressed, on a byte boundary.
[[nodiscard]] QELStatus qelDeflateBlocksFlush(QELDeflateBlocks *blocks);
// Ends the stream (the zlib trailer included); a second call does nothing.
[[nodiscard]] QELStatus qelDeflateBlocksFinish(QELDeflateBlocks *blocks);
// The number of worker threads running (0 before the first block is full).
std::int32_t qelDeflateBlocksWorkers(const QELDeflateBlocks *blocks);
