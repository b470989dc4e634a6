// The ZLIB Deflation Module and its zlib compressor. Unlike the Deflation
// Module it passes an end of input inside a scope on; only the one at depth
// 0 finishes the stream. Input beyond one block is deflated in parallel
// blocks (qelDeflateModuleBlocks.cpp), which write the zlib wrapping
// themselves; the compressor's own stream takes the rest.
#include "qelZlibDeflateModuleInternal.h"

#include "qelCompressSelectInternal.h"
#include "qelContextInternal.h"
#include "qelDeflateModuleBlocksInternal.h"
#include "qelDeflateModuleInternal.h"
#include "qelWipe.h"

#include <climits>

namespace {

constexpr std::int32_t kCompressorFailed = -2;

// The zlib compressor: its own block, with its stream record in another.
struct ZlibCompressor {
    QELContext *context;
    std::int32_t lastResult;
    std::int32_t errorState; // 0, or kCompressorFailed after a zlib error
    std::int32_t finished;
    z_stream *stream;
};

void compressorFree(ZlibCompressor *c)
{
    if (c == nullptr)
        return;
    QELContext *context = c->context;
    if (c->stream != nullptr) {
        deflateEnd(c->stream);
        qelSecureWipe(c->stream, sizeof *c->stream);
        static_cast<void>(qelContextMemFree(context, c->stream));
    }
    qelSecureWipe(c, sizeof *c);
    static_cast<void>(qelContextMemFree(context, c));
}

ZlibCompressor *compressorNew(QELContext *context, std::int32_t level)
{
    auto *c = static_cast<ZlibCompressor *>(qelContextMemAlloc(context, sizeof(ZlibCompressor), QELMemFlag_Clear));
    if (c == nullptr)
        return nullptr;
    c->context = context;
    auto *z = static_cast<z_stream *>(qelContextMemAlloc(context, sizeof(z_stream), QELMemFlag_Clear));
    if (z == nullptr) {
        compressorFree(c);
        return nullptr;
    }
    z->zalloc = qelZlibContextAlloc;
    z->zfree = qelZlibContextFree;
    z->opaque = context;
    if (deflateInit(z, level >= 1 && level <= 9 ? level : Z_DEFAULT_COMPRESSION) != Z_OK) {
        qelSecureWipe(z, sizeof *z);
        static_cast<void>(qelContextMemFree(context, z));
        compressorFree(c);
        return nullptr;
    }
    c->stream = z;
    return c;
}

QELStatus compressorFailed(ZlibCompressor *c, int result)
{
    c->lastResult = result;
    c->errorState = kCompressorFailed;
    return QELError_OutOfMemory;
}

QELStatus compressorWrite(ZlibCompressor *c, QELFifo *fifo, const std::uint8_t *bytes, std::uint64_t length)
{
    for (std::uint64_t done = 0; done < length;) {
        const std::uint64_t slice = std::min<std::uint64_t>(length - done, UINT_MAX);
        c->stream->next_in = const_cast<Bytef *>(bytes + done);
        c->stream->avail_in = static_cast<uInt>(slice);
        while (c->stream->avail_in != 0) {
            bool full = false;
            const int result = qelDeflateIntoFifo(fifo, c->stream, Z_NO_FLUSH, &full);
            if (result != Z_OK) {
                c->stream->avail_in = 0;
                return compressorFailed(c, result);
            }
        }
        done += slice;
    }
    return 0;
}

QELStatus compressorFlush(ZlibCompressor *c, QELFifo *fifo)
{
    // A finished stream has nothing left to flush out.
    for (bool full = !c->finished; full;) {
        const int result = qelDeflateIntoFifo(fifo, c->stream, Z_SYNC_FLUSH, &full);
        if (result != Z_OK)
            return compressorFailed(c, result);
    }
    return 0;
}

QELStatus compressorFinish(ZlibCompressor *c, QELFifo *fifo)
{
    if (c->finished != 0)
        return 0;
    if (c->errorState != 0)
        return c->errorState;
    int result = Z_OK;
    while (result == Z_OK) {
        bool full = false;
        result = qelDeflateIntoFifo(fifo, c->stream, Z_FINISH, &full);
    }
    if (result != Z_STREAM_END) {
        static_cast<void>(compressorFailed(c, result));
        return c->errorState;
    }
    c->lastResult = result;
    c->finished = 1;
    return 0;
}

struct ZlibDeflateModule {
    QELPipeModule head;
    ZlibCompressor *compressor;
    QELDeflateBlocks *blocks;
    QELFifo *fifo;
    QELPipeModule *downstream;
    std::int32_t depth;
};

ZlibDeflateModule *self(QELPipeModule *module) { return qelPipeModuleState<ZlibDeflateModule>(module); }

QELStatus drain(ZlibDeflateModule *m) { return qelDeflateDrainFifo(qelByteFifoDescriptor(), m->fifo, m->downstream); }

// The compressor's single stream, for input the workers do not take.
QELStatus serialCompress(void *user, const std::uint8_t *bytes, std::size_t length, int flush)
{
    auto *m = static_cast<ZlibDeflateModule *>(user);
    QELStatus status = compressorWrite(m->compressor, m->fifo, bytes, length);
    if (status == 0 && flush == Z_SYNC_FLUSH)
        status = compressorFlush(m->compressor, m->fifo);
    else if (status == 0 && flush == Z_FINISH)
        status = compressorFinish(m->compressor, m->fifo);
    return status;
}

QELStatus emitBlocks(void *user, const std::uint8_t *bytes, std::size_t length)
{
    return qelDeflateEmitToFifo(static_cast<ZlibDeflateModule *>(user)->fifo, bytes, length);
}

std::uint64_t zdWrite(QELPipeModule *module, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    ZlibDeflateModule *m = self(module);
    return qelDeflateModuleWrite(m->blocks, m->fifo, m->downstream, bytes, length, status);
}

QELStatus zdFlush(QELPipeModule *module)
{
    ZlibDeflateModule *m = self(module);
    QELStatus status = qelDeflateBlocksFlush(m->blocks);
    if (status == 0)
        status = drain(m);
    return status != 0 ? status : qelPipeFlush(m->downstream);
}

QELStatus zdAnnotate(QELPipeModule *module, const void *origin, std::int32_t code, void *data, std::uint64_t length)
{
    ZlibDeflateModule *m = self(module);
    return qelCompressionAnnotate(drain(m), m->downstream, &m->depth, origin, code, data, length);
}

QELStatus zdExpectBytes(QELPipeModule *module, std::uint64_t count)
{
    ZlibDeflateModule *m = self(module);
    if (count != 0)
        return 0;
    if (m->depth != 0)
        return qelPipeExpectBytes(m->downstream, 0);
    if (qelDeflateBlocksFinish(m->blocks) < 0)
        return QELError_OutOfMemory;
    const QELStatus drained = drain(m);
    return drained != 0 ? drained : qelPipeExpectBytes(m->downstream, 0);
}

QELStatus zdDestroy(QELPipeModule *module)
{
    ZlibDeflateModule *m = self(module);
    qelPipeDestroy(m->downstream);
    qelDeflateBlocksFree(m->blocks);
    compressorFree(m->compressor);
    qelFifoDestroy(qelByteFifoDescriptor(), m->fifo);
    qelPipeModuleFree(m);
    return 0;
}

constexpr QELPipeOps kZlibDeflateOps{zdWrite, zdFlush, zdAnnotate, zdExpectBytes, zdDestroy};

} // namespace

QELPipeModule **qelZlibDeflateModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t level,
                                           std::int32_t workers)
{
    if (slot == nullptr)
        return nullptr;
    auto *m = qelPipeModuleNew<ZlibDeflateModule>(context, QELPipeMagic_ZlibDeflate, "ZLIB Deflation Module",
                                                  kZlibDeflateOps);
    if (m == nullptr)
        return nullptr;
    m->compressor = compressorNew(context, level);
    m->fifo = qelByteFifoDescriptor()->create(context);
    m->blocks = qelDeflateBlocksNew(context, level >= 1 && level <= 9 ? level : Z_DEFAULT_COMPRESSION, MAX_WBITS,
                                    true, workers, QELDeflateBlocksHooks{serialCompress, emitBlocks, m});
    if (m->compressor == nullptr || m->fifo == nullptr || m->blocks == nullptr) {
        qelDeflateBlocksFree(m->blocks);
        compressorFree(m->compressor);
        qelFifoDestroy(qelByteFifoDescriptor(), m->fifo);
        qelPipeModuleFree(m);
        return nullptr;
    }
    return qelPipeModuleLink(slot, &m->head, &m->downstream);
}
