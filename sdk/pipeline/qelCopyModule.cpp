// The Copy Module: its only state is its downstream module. The downstream
// slot it hands out is written by later constructors, so the operations read
// that slot rather than a copy of it.
#include "qelCopyModuleInternal.h"

namespace {

struct CopyModule {
    QELPipeModule head;
    QELPipeModule *downstream;
};

QELPipeModule *downstreamOf(QELPipeModule *module)
{
    return qelPipeModuleState<CopyModule>(module)->downstream;
}

std::uint64_t copyWrite(QELPipeModule *module, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    QELPipeModule *next = downstreamOf(module);
    if (next == nullptr) {
        if (status != nullptr)
            *status = QELError_BadParams;
        return 0;
    }
    return qelPipeWrite(next, bytes, length, status);
}

QELStatus copyFlush(QELPipeModule *module)
{
    QELPipeModule *next = downstreamOf(module);
    return next != nullptr ? qelPipeFlush(next) : QELError_BadParams;
}

QELStatus copyAnnotate(QELPipeModule *module, const void *origin, std::int32_t code, void *data,
                       std::uint64_t length)
{
    QELPipeModule *next = downstreamOf(module);
    return next != nullptr ? qelPipeAnnotate(next, origin, code, data, length) : QELError_BadParams;
}

QELStatus copyExpectBytes(QELPipeModule *module, std::uint64_t count)
{
    QELPipeModule *next = downstreamOf(module);
    return next != nullptr ? qelPipeExpectBytes(next, count) : QELError_BadParams;
}

QELStatus copyDestroy(QELPipeModule *module)
{
    auto *copy = qelPipeModuleState<CopyModule>(module);
    qelPipeDestroy(copy->downstream);
    qelPipeModuleFree(copy);
    return 0;
}

constexpr QELPipeOps kCopyOps{copyWrite, copyFlush, copyAnnotate, copyExpectBytes, copyDestroy};

} // namespace

QELPipeModule **qelCopyModuleCreate(QELContext *context, QELPipeModule **slot)
{
    if (slot == nullptr)
        return nullptr;
    auto *copy = qelPipeModuleNew<CopyModule>(context, QELPipeMagic_Copy, "Copy Module", kCopyOps);
    if (copy == nullptr)
        return nullptr;
    return qelPipeModuleLink(slot, &copy->head, &copy->downstream);
}
