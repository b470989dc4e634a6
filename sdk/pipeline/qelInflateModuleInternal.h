// The Inflation Module: decodes raw deflate (algorithm 1 of RFC 4880) with
// the SDK's own decoder and writes the output downstream as it comes. Also
// the module logic both inflation modules share, over any decoder that is
// fed bytes, shows its output in place and tells whether its stream ended.
#pragma once

#include "qelCompressSelectInternal.h"
#include "qelPipeModuleInternal.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

// Returns the downstream slot, or null (null slot, no memory).
QELPipeModule **qelInflateModuleCreate(QELContext *context, QELPipeModule **slot);

// ---- shared by the inflation modules ---------------------------------------
// A decoder as the inflation modules drive it. write takes what it can
// before its output is full and reports its own error (negative) in
// *status; peek shows the output not yet taken; consume marks n bytes of it
// taken; finish is 0 once the stream has ended properly.
struct QELInflateDecoderOps {
    std::size_t (*write)(void *decoder, const std::uint8_t *bytes, std::size_t length, std::int32_t *status);
    const std::uint8_t *(*peek)(void *decoder, std::size_t *length);
    void (*consume)(void *decoder, std::size_t n);
    std::int32_t (*finish)(void *decoder);
    void (*free)(void *decoder);
};

// The block of an inflation module.
struct QELInflateModule {
    QELPipeModule head;
    void *decoder;
    QELPipeModule *downstream;
    std::int32_t depth;
};

// Module operations over the decoder of kind `ops`.
template <const QELInflateDecoderOps &Ops>
struct QELInflateModuleOps {
    static QELInflateModule *self(QELPipeModule *module) { return qelPipeModuleState<QELInflateModule>(module); }

    // Writes the decoder's output downstream until none is left or a
    // non-zero status (a stalled downstream included) stops it.
    static QELStatus drain(QELInflateModule *m)
    {
        for (;;) {
            std::size_t available = 0;
            const std::uint8_t *p = Ops.peek(m->decoder, &available);
            if (p == nullptr)
                return 0;
            QELStatus status = 0;
            const std::uint64_t taken = qelPipeWrite(m->downstream, p, available, &status);
            Ops.consume(m->decoder, static_cast<std::size_t>(taken));
            status = qelPipeStallStatus(status, taken, available);
            if (status != 0)
                return status;
        }
    }

    static std::uint64_t write(QELPipeModule *module, const std::uint8_t *bytes, std::uint64_t length,
                               QELStatus *status)
    {
        QELInflateModule *m = self(module);
        QELStatus result = drain(m);
        std::uint64_t taken = 0;
        while (result == 0 && taken < length) {
            std::int32_t decoderStatus = 0;
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(length - taken, INT32_MAX));
            taken += Ops.write(m->decoder, bytes + taken, piece, &decoderStatus);
            result = decoderStatus != 0 ? QELError_DecompressionFailed : drain(m);
        }
        if (status != nullptr)
            *status = result;
        return taken;
    }

    static QELStatus flush(QELPipeModule *module)
    {
        QELInflateModule *m = self(module);
        const QELStatus drained = drain(m);
        return drained != 0 ? drained : qelPipeFlush(m->downstream);
    }

    static QELStatus annotate(QELPipeModule *module, const void *origin, std::int32_t code, void *data,
                              std::uint64_t length)
    {
        QELInflateModule *m = self(module);
        return qelCompressionAnnotate(drain(m), m->downstream, &m->depth, origin, code, data, length);
    }

    // The end of input at depth 0 requires the compressed stream to have
    // ended: a stream cut short, or one in error, is a failure.
    static QELStatus expectBytes(QELPipeModule *module, std::uint64_t count)
    {
        QELInflateModule *m = self(module);
        if (count == 0 && m->depth == 0) {
            if (Ops.finish(m->decoder) != 0)
                return QELError_DecompressionFailed;
            const QELStatus drained = drain(m);
            if (drained != 0)
                return drained;
        }
        return qelPipeExpectBytes(m->downstream, count);
    }

    static QELStatus destroy(QELPipeModule *module)
    {
        QELInflateModule *m = self(module);
        qelPipeDestroy(m->downstream);
        Ops.free(m->decoder);
        qelPipeModuleFree(m);
        return 0;
    }

    static constexpr QELPipeOps kOps{write, flush, annotate, expectBytes, destroy};

    // Makes the module over a decoder already made (freed here on failure).
    static QELPipeModule **create(QELContext *context, QELPipeModule **slot, std::uint32_t magic, const char *name,
                                  void *decoder)
    {
        if (decoder == nullptr)
            return nullptr;
        auto *m = qelPipeModuleNew<QELInflateModule>(context, magic, name, kOps);
        if (m == nullptr) {
            Ops.free(decoder);
            return nullptr;
        }
        m->decoder = decoder;
        return qelPipeModuleLink(slot, &m->head, &m->downstream);
    }
};
