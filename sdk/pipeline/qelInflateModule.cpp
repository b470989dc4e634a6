// The Inflation Module over the SDK's raw-deflate decoder.
#include "qelInflateModuleInternal.h"

#include "qelInflaterInternal.h"

namespace {

QELInflater *inflater(void *decoder) { return static_cast<QELInflater *>(decoder); }

constexpr QELInflateDecoderOps kInflaterOps{
    [](void *d, const std::uint8_t *bytes, std::size_t length, std::int32_t *status) {
        return qelInflaterWrite(inflater(d), bytes, length, status);
    },
    [](void *d, std::size_t *length) { return qelInflaterPeek(inflater(d), length); },
    [](void *d, std::size_t n) { qelInflaterConsume(inflater(d), n); },
    [](void *d) { return qelInflaterFinish(inflater(d)); },
    [](void *d) { qelInflaterFree(inflater(d)); },
};

} // namespace

QELPipeModule **qelInflateModuleCreate(QELContext *context, QELPipeModule **slot)
{
    if (slot == nullptr)
        return nullptr;
    return QELInflateModuleOps<kInflaterOps>::create(context, slot, QELPipeMagic_Inflate, "Inflation Module",
                                                      qelInflaterNew(context));
}
