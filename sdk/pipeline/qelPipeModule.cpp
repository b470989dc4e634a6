// The module framework: module blocks, the write-until-taken helper and the
// buffer pump.
#include "qelPipeModuleInternal.h"

#include "qelContextInternal.h"
#include "qelMemory.h"
#include "qelWipe.h"

#include <algorithm>

void *qelPipeModuleAllocBlock(QELContext *context, std::size_t size, std::uint32_t magic, const char *name,
                              const QELPipeOps &ops)
{
    auto *module = static_cast<QELPipeModule *>(qelContextMemAlloc(context, size, QELMemFlag_Clear));
    if (module == nullptr)
        return nullptr;
    module->magic = magic;
    module->write = ops.write;
    module->flush = ops.flush;
    module->annotate = ops.annotate;
    module->expectBytes = ops.expectBytes;
    module->destroy = ops.destroy;
    module->name = name;
    module->context = context;
    module->state = module;
    return module;
}

void qelPipeModuleFreeBlock(QELPipeModule *module, std::size_t size)
{
    if (module == nullptr)
        return;
    QELContext *context = module->context;
    qelSecureWipe(module, size);
    static_cast<void>(qelContextMemFree(context, module)); // our own block
}

QELStatus qelPipeWriteAll(QELPipeModule *module, const std::uint8_t *bytes, std::uint64_t length,
                          std::uint64_t *taken)
{
    std::uint64_t done = 0;
    QELStatus status = module == nullptr && length != 0 ? QELError_BadParams : 0;
    while (status == 0 && done < length) {
        status = 0;
        std::uint64_t n = qelPipeWrite(module, bytes + done, length - done, &status);
        done += std::min(n, length - done);
        if (status != 0)
            break;
        if (n == 0) {
            status = QELError_WriteFailed;
            break;
        }
    }
    if (taken != nullptr)
        *taken = done;
    return status;
}

QELStatus qelPipePumpBuffer(QELPipeModule *head, const void *bytes, std::uint64_t length,
                            QELPipeProgressProc progress, void *userValue)
{
    if (head == nullptr || (bytes == nullptr && length != 0))
        return QELError_BadParams;
    QELStatus status = qelPipeExpectBytes(head, length);
    if (status == 0)
        status = qelPipeAnnotate(head, nullptr, QELAnnotation_BeginInput, nullptr, 0);
    if (status == 0)
        status = qelPipeExpectBytes(head, length);
    const auto *p = static_cast<const std::uint8_t *>(bytes);
    std::uint64_t done = 0;
    while (status == 0 && done < length) {
        std::uint64_t piece = std::min(QELPipePumpPiece, length - done);
        std::uint64_t n = qelPipeWrite(head, p + done, piece, &status);
        if (status != 0)
            return status;
        if (n == 0)
            return QELError_WriteFailed; // a stalled chain would be offered the same bytes for ever
        done += std::min(n, piece);
        if (progress != nullptr)
            status = progress(userValue, done, length);
    }
    if (status != 0)
        return status;
    status = qelPipeExpectBytes(head, 0);
    if (status == 0)
        status = qelPipeAnnotate(head, nullptr, QELAnnotation_EndInput, nullptr, 0);
    if (status == 0)
        status = qelPipeExpectBytes(head, 0);
    return status;
}

bool qelErrorIsKeyUnusable(QELStatus status)
{
    return (status >= QELError_KeyPacketTrailingData && status <= QELError_BadKeyParameters) ||
           status == QELError_FeatureNotAvailable || status == QELError_KeyUnusableForSignature;
}
