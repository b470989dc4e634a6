// The two selection functions between the compression modules.
#include "qelCompressSelectInternal.h"

#include "qelAddHeaderModuleInternal.h"
#include "qelDeflateModuleInternal.h"
#include "qelInflateModuleInternal.h"
#include "qelZlibDeflateModuleInternal.h"
#include "qelZlibInflateModuleInternal.h"

QELPipeModule **qelCompressModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                        const QELFifoDescriptor *fifoKind, std::int32_t algorithm,
                                        std::int32_t level)
{
    if (slot == nullptr)
        return nullptr;
    // The compressor is made with an empty downstream slot of its own, where
    // the packet writer goes.
    QELPipeModule *compressor = nullptr;
    QELPipeModule **writerSlot = nullptr;
    if (algorithm == QELCompressAlgorithm_Deflate)
        writerSlot = qelDeflateModuleCreate(context, &compressor, level);
    else if (algorithm == QELCompressAlgorithm_Zlib)
        writerSlot = qelZlibDeflateModuleCreate(context, &compressor, level);
    if (writerSlot == nullptr)
        return nullptr;
    const std::uint8_t prefix = static_cast<std::uint8_t>(algorithm);
    QELPipeModule **next = qelAddHeaderModuleCreate(context, writerSlot, version, fifoKind, QELPacketTag_Compressed,
                                                    QELLengthType_Indeterminate, &prefix, 1);
    if (next == nullptr) {
        qelPipeDestroy(compressor);
        return nullptr;
    }
    *next = *slot;
    *slot = compressor;
    return next;
}

QELPipeModule **qelDecompressModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t algorithm,
                                          QELStatus *status)
{
    if (slot == nullptr)
        return nullptr;
    QELPipeModule **next = nullptr;
    if (algorithm == QELCompressAlgorithm_Deflate) {
        next = qelInflateModuleCreate(context, slot);
    } else if (algorithm == QELCompressAlgorithm_Zlib) {
        next = qelZlibInflateModuleCreate(context, slot);
    } else {
        *status = QELError_BadPacketFormat;
        return nullptr;
    }
    if (next == nullptr)
        *status = QELError_OutOfMemory;
    return next;
}
