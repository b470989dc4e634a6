// The ZLIB Inflation Module and its zlib decompressor. The decompressor gives
// zlib no more input per step than its window can take, so no step holds
// more than a window of output. The window is as large as zlib's own history
// (32 KiB): zlib then decodes long runs with its fast loop and copies its
// history once per window instead of once per kilobyte, and the modules
// behind it (parser, signature hashes) get pieces large enough for their
// many-block paths.
#include "qelZlibInflateModuleInternal.h"

#include "qelContextInternal.h"
#include "qelInflateModuleInternal.h"
#include "qelWipe.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr std::size_t kWindowBlock = 32768;
constexpr std::size_t kWindowUsed = kWindowBlock;
constexpr std::int32_t kCorrupt = -2;       // zlib refused the stream
constexpr std::int32_t kNotFinished = -3;
constexpr std::int32_t kAfterEnd = -4;      // bytes after the end of the stream

struct ZlibDecompressor {
    QELContext *context;
    std::int32_t lastResult;   // of the last inflate call, Z_OK before the first
    std::int32_t errorState;   // 0, kCorrupt or kAfterEnd
    z_stream *stream;
    std::uint8_t *window;
    std::uint8_t *readPos;
};

// zlib's own memory for this stream comes from the platform heap.
void *zlibCalloc(void *, unsigned items, unsigned size) { return std::calloc(items, size); }
void zlibFree(void *, void *block) { std::free(block); }

void freeBlock(QELContext *context, void *block, std::size_t size)
{
    if (block == nullptr)
        return;
    qelSecureWipe(block, size);
    static_cast<void>(qelContextMemFree(context, block)); // a block we allocated
}

void decompressorFree(void *decoder)
{
    auto *z = static_cast<ZlibDecompressor *>(decoder);
    if (z == nullptr)
        return;
    QELContext *context = z->context;
    if (z->stream != nullptr && z->window != nullptr)
        inflateEnd(z->stream);   // initialised only once both exist
    freeBlock(context, z->stream, sizeof(z_stream));
    freeBlock(context, z->window, kWindowBlock);
    freeBlock(context, z, sizeof *z);
}

ZlibDecompressor *decompressorNew(QELContext *context)
{
    auto *z = static_cast<ZlibDecompressor *>(qelContextMemAlloc(context, sizeof(ZlibDecompressor), QELMemFlag_Clear));
    if (z == nullptr)
        return nullptr;
    z->context = context;
    z->stream = static_cast<z_stream *>(qelContextMemAlloc(context, sizeof(z_stream), QELMemFlag_Clear));
    auto *window = static_cast<std::uint8_t *>(qelContextMemAlloc(context, kWindowBlock, QELMemFlag_Clear));
    if (z->stream == nullptr || window == nullptr) {
        freeBlock(context, window, kWindowBlock);
        decompressorFree(z);
        return nullptr;
    }
    z->stream->zalloc = zlibCalloc;
    z->stream->zfree = zlibFree;
    if (inflateInit(z->stream) != Z_OK) {
        freeBlock(context, window, kWindowBlock);
        decompressorFree(z);
        return nullptr;
    }
    z->window = window;
    z->readPos = window;
    z->stream->next_out = window;
    z->stream->avail_out = kWindowUsed;
    return z;
}

std::size_t decompressorWrite(void *decoder, const std::uint8_t *bytes, std::size_t length, std::int32_t *status)
{
    auto *z = static_cast<ZlibDecompressor *>(decoder);
    *status = 0;
    if (length == 0)
        return 0;
    if (z->lastResult == Z_STREAM_END)
        z->errorState = kAfterEnd;
    if (z->errorState != 0 || z->stream->avail_out == 0) {
        *status = z->errorState != 0 ? z->errorState : kCorrupt;
        return 0;
    }
    z_stream *s = z->stream;
    const std::size_t offered = std::min<std::size_t>(length, s->avail_out);
    s->next_in = const_cast<Bytef *>(bytes);
    s->avail_in = static_cast<uInt>(offered);
    while (s->avail_in != 0 && s->avail_out != 0 && z->lastResult != Z_STREAM_END) {
        z->lastResult = inflate(s, Z_NO_FLUSH);
        if (z->lastResult != Z_OK && z->lastResult != Z_STREAM_END) {
            z->errorState = kCorrupt;
            *status = kCorrupt;
            break;
        }
    }
    const std::size_t taken = offered - s->avail_in;
    s->next_in = nullptr;
    s->avail_in = 0;
    return taken;
}

const std::uint8_t *decompressorPeek(void *decoder, std::size_t *length)
{
    auto *z = static_cast<ZlibDecompressor *>(decoder);
    *length = static_cast<std::size_t>(z->stream->next_out - z->readPos);
    return *length != 0 ? z->readPos : nullptr;
}

void decompressorConsume(void *decoder, std::size_t n)
{
    auto *z = static_cast<ZlibDecompressor *>(decoder);
    z->readPos += std::min(n, static_cast<std::size_t>(z->stream->next_out - z->readPos));
    if (z->readPos == z->stream->next_out) {
        z->readPos = z->window;
        z->stream->next_out = z->window;
        z->stream->avail_out = kWindowUsed;
    }
}

std::int32_t decompressorFinish(void *decoder)
{
    auto *z = static_cast<ZlibDecompressor *>(decoder);
    if (z->lastResult == Z_STREAM_END && z->errorState == 0)
        return 0;
    return z->errorState != 0 ? z->errorState : kNotFinished;
}

constexpr QELInflateDecoderOps kZlibOps{decompressorWrite, decompressorPeek, decompressorConsume, decompressorFinish,
                                        decompressorFree};

} // namespace

QELPipeModule **qelZlibInflateModuleCreate(QELContext *context, QELPipeModule **slot)
{
    if (slot == nullptr)
        return nullptr;
    return QELInflateModuleOps<kZlibOps>::create(context, slot, QELPipeMagic_ZlibInflate, "ZLIB Inflation Module",
                                                  decompressorNew(context));
}
