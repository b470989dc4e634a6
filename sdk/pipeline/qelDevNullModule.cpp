// Dev Null: the head only.
#include "qelDevNullModuleInternal.h"

namespace {

struct DevNull {
    QELPipeModule head;
};

std::uint64_t nullWrite(QELPipeModule *, const std::uint8_t *, std::uint64_t length, QELStatus *status)
{
    if (status != nullptr)
        *status = 0;
    return length;
}
QELStatus nullFlush(QELPipeModule *) { return 0; }
QELStatus nullAnnotate(QELPipeModule *, const void *, std::int32_t, void *, std::uint64_t) { return 0; }
QELStatus nullExpectBytes(QELPipeModule *, std::uint64_t) { return 0; }
QELStatus nullDestroy(QELPipeModule *m)
{
    qelPipeModuleFree(qelPipeModuleState<DevNull>(m));
    return 0;
}

constexpr QELPipeOps kDevNullOps{nullWrite, nullFlush, nullAnnotate, nullExpectBytes, nullDestroy};

} // namespace

QELPipeModule *qelDevNullModuleCreate(QELContext *context, QELPipeModule **out)
{
    if (out == nullptr)
        return nullptr;
    *out = nullptr;
    auto *m = qelPipeModuleNew<DevNull>(context, QELPipeMagic_DevNull, "Dev Null", kDevNullOps);
    if (m == nullptr)
        return nullptr;
    *out = &m->head;
    return *out;
}
