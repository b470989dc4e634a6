// The Deflation Module. The stream is finished once, by the end of input at
// scope depth 0: the source protocol also ends the input inside its own
// scope, and that one must not end the compressed stream early. Input beyond
// one block is deflated in parallel blocks (qelDeflateModuleBlocks.cpp); the
// module's own stream takes the rest.
#include "qelDeflateModuleInternal.h"

#include "qelCompressSelectInternal.h"
#include "qelContextInternal.h"
#include "qelDeflateModuleBlocksInternal.h"

#include <algorithm>
#include <climits>

namespace {

// An 8 KiB window, which the oldest readers of algorithm 1 expect.
constexpr int kWindowBits = 13;

struct DeflateModule {
    QELPipeModule head;
    QELFifo *fifo;
    QELPipeModule *downstream;
    z_stream stream;
    QELDeflateBlocks *blocks;
    std::int32_t finished;
    std::int32_t depth;
};

DeflateModule *self(QELPipeModule *module) { return qelPipeModuleState<DeflateModule>(module); }

QELStatus drain(DeflateModule *m) { return qelDeflateDrainFifo(qelByteFifoDescriptor(), m->fifo, m->downstream); }

// The module's own single stream, for input the workers do not take.
QELStatus serialDeflate(void *user, const std::uint8_t *bytes, std::size_t length, int flush)
{
    auto *m = static_cast<DeflateModule *>(user);
    // zlib counts its input in 32 bits: long offers go in slices.
    for (std::size_t done = 0; done < length;) {
        const std::size_t slice = std::min<std::size_t>(length - done, UINT_MAX);
        m->stream.next_in = const_cast<Bytef *>(bytes + done);
        m->stream.avail_in = static_cast<uInt>(slice);
        while (m->stream.avail_in != 0) {
            bool full = false;
            if (qelDeflateIntoFifo(m->fifo, &m->stream, Z_NO_FLUSH, &full) != Z_OK) {
                m->stream.avail_in = 0;
                return QELError_OutOfMemory;
            }
        }
        done += slice;
    }
    if (flush == Z_SYNC_FLUSH) {
        for (bool full = true; full;)
            if (qelDeflateIntoFifo(m->fifo, &m->stream, Z_SYNC_FLUSH, &full) != Z_OK)
                return QELError_OutOfMemory;
    } else if (flush == Z_FINISH) {
        int result = Z_OK;
        while (result == Z_OK) {
            bool full = false;
            result = qelDeflateIntoFifo(m->fifo, &m->stream, Z_FINISH, &full);
        }
        if (result != Z_STREAM_END)
            return QELError_OutOfMemory;
    }
    return 0;
}

QELStatus emitBlocks(void *user, const std::uint8_t *bytes, std::size_t length)
{
    return qelDeflateEmitToFifo(static_cast<DeflateModule *>(user)->fifo, bytes, length);
}

std::uint64_t deflateWrite(QELPipeModule *module, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    DeflateModule *m = self(module);
    return qelDeflateModuleWrite(m->blocks, m->fifo, m->downstream, bytes, length, status);
}

QELStatus deflateFlush(QELPipeModule *module)
{
    DeflateModule *m = self(module);
    // A finished stream has nothing left to flush out.
    if (!m->finished && qelDeflateBlocksFlush(m->blocks) != 0)
        return QELError_OutOfMemory;
    const QELStatus drained = drain(m);
    return drained != 0 ? drained : qelPipeFlush(m->downstream);
}

QELStatus deflateAnnotate(QELPipeModule *module, const void *origin, std::int32_t code, void *data,
                          std::uint64_t length)
{
    DeflateModule *m = self(module);
    return qelCompressionAnnotate(drain(m), m->downstream, &m->depth, origin, code, data, length);
}

QELStatus deflateExpectBytes(QELPipeModule *module, std::uint64_t count)
{
    DeflateModule *m = self(module);
    if (count != 0 || m->depth != 0)
        return 0;
    if (m->finished == 0) {
        if (qelDeflateBlocksFinish(m->blocks) != 0)
            return QELError_OutOfMemory;
        m->finished = 1;
    }
    const QELStatus drained = drain(m);
    return drained != 0 ? drained : qelPipeExpectBytes(m->downstream, 0);
}

QELStatus deflateDestroy(QELPipeModule *module)
{
    DeflateModule *m = self(module);
    qelPipeDestroy(m->downstream);
    qelDeflateBlocksFree(m->blocks);
    deflateEnd(&m->stream);
    qelFifoDestroy(qelByteFifoDescriptor(), m->fifo);
    qelPipeModuleFree(m);
    return 0;
}

constexpr QELPipeOps kDeflateOps{deflateWrite, deflateFlush, deflateAnnotate, deflateExpectBytes, deflateDestroy};

} // namespace

void *qelZlibContextAlloc(void *opaque, unsigned items, unsigned size)
{
    if (size != 0 && items > SIZE_MAX / size)
        return nullptr;
    return qelContextMemAlloc(static_cast<QELContext *>(opaque), std::size_t{items} * size, 0);
}

void qelZlibContextFree(void *opaque, void *block)
{
    if (block != nullptr)
        static_cast<void>(qelContextMemFree(static_cast<QELContext *>(opaque), block)); // a block zlib had from us
}

int qelDeflateIntoFifo(QELFifo *fifo, z_stream *stream, int flush, bool *outFull)
{
    std::uint64_t space = 0;
    std::uint8_t *out = qelByteFifoWriteSpace(fifo, &space);
    stream->next_out = out;
    stream->avail_out = static_cast<uInt>(space);
    if (out == nullptr) {
        *outFull = true;
        return Z_MEM_ERROR;
    }
    const int result = deflate(stream, flush);
    qelByteFifoAdvance(fifo, space - stream->avail_out);
    *outFull = stream->avail_out == 0;
    stream->next_out = nullptr;
    stream->avail_out = 0;
    return result;
}

QELStatus qelDeflateDrainFifo(const QELFifoDescriptor *kind, QELFifo *fifo, QELPipeModule *downstream)
{
    for (;;) {
        std::uint64_t available = 0;
        QELStatus status = 0;
        const std::uint8_t *p = kind->peek(fifo, &available, &status);
        if (p == nullptr)
            return status;
        const std::uint64_t taken = qelPipeWrite(downstream, p, available, &status);
        kind->skip(fifo, taken);
        status = qelPipeStallStatus(status, taken, available);
        if (status != 0)
            return status;
    }
}

QELStatus qelDeflateEmitToFifo(QELFifo *fifo, const std::uint8_t *bytes, std::size_t length)
{
    QELStatus status = 0;
    const std::uint64_t written = qelByteFifoDescriptor()->write(fifo, bytes, length, &status);
    return written == length ? 0 : status != 0 ? status : QELError_OutOfMemory;
}

std::uint64_t qelDeflateModuleWrite(QELDeflateBlocks *blocks, QELFifo *fifo, QELPipeModule *downstream,
                                    const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    QELStatus result = qelDeflateBlocksWrite(blocks, bytes, length);
    const std::uint64_t taken = result == 0 ? length : 0;
    if (result == 0)
        result = qelDeflateDrainFifo(qelByteFifoDescriptor(), fifo, downstream);
    if (status != nullptr)
        *status = result;
    return taken;
}

QELPipeModule **qelDeflateModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t level,
                                       std::int32_t workers)
{
    if (slot == nullptr)
        return nullptr;
    auto *m = qelPipeModuleNew<DeflateModule>(context, QELPipeMagic_Deflate, "Deflation Module", kDeflateOps);
    if (m == nullptr)
        return nullptr;
    m->fifo = qelByteFifoDescriptor()->create(context);
    m->stream.zalloc = qelZlibContextAlloc;
    m->stream.zfree = qelZlibContextFree;
    m->stream.opaque = context;
    if (m->fifo == nullptr ||
        deflateInit2(&m->stream, level, Z_DEFLATED, -kWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        qelFifoDestroy(qelByteFifoDescriptor(), m->fifo);
        qelPipeModuleFree(m);
        return nullptr;
    }
    m->blocks = qelDeflateBlocksNew(context, level, kWindowBits, false, workers,
                                    QELDeflateBlocksHooks{serialDeflate, emitBlocks, m});
    if (m->blocks == nullptr) {
        deflateEnd(&m->stream);
        qelFifoDestroy(qelByteFifoDescriptor(), m->fifo);
        qelPipeModuleFree(m);
        return nullptr;
    }
    return qelPipeModuleLink(slot, &m->head, &m->downstream);
}
