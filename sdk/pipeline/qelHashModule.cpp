// The Hash Module. Only the bytes the downstream accepted are hashed, so a
// partial write followed by the caller's retry hashes every byte once.
#include "qelHashModuleInternal.h"

#include "qelHashInternal.h"

namespace {

struct HashModule {
    QELPipeModule head;
    QELHashContext *hash; // not owned
    QELPipeModule *downstream;
};

QELPipeModule *downstreamOf(QELPipeModule *module) { return qelPipeModuleState<HashModule>(module)->downstream; }

std::uint64_t hashWrite(QELPipeModule *module, const std::uint8_t *bytes, std::uint64_t length, QELStatus *status)
{
    auto *h = qelPipeModuleState<HashModule>(module);
    if (h->downstream == nullptr) {
        if (status != nullptr)
            *status = QELError_BadParams;
        return 0;
    }
    const std::uint64_t taken = qelPipeWrite(h->downstream, bytes, length, status);
    if (taken != 0) {
        // Straight into the algorithm: this runs for every byte of a message.
        QELHashContext *hash = h->hash;
        hash->descriptor->update(hash->state, bytes, taken);
    }
    return taken;
}

QELStatus hashFlush(QELPipeModule *module)
{
    QELPipeModule *next = downstreamOf(module);
    return next != nullptr ? qelPipeFlush(next) : QELError_BadParams;
}

QELStatus hashAnnotate(QELPipeModule *module, const void *origin, std::int32_t code, void *data,
                       std::uint64_t length)
{
    QELPipeModule *next = downstreamOf(module);
    return next != nullptr ? qelPipeAnnotate(next, origin, code, data, length) : QELError_BadParams;
}

QELStatus hashExpectBytes(QELPipeModule *module, std::uint64_t count)
{
    QELPipeModule *next = downstreamOf(module);
    return next != nullptr ? qelPipeExpectBytes(next, count) : QELError_BadParams;
}

QELStatus hashDestroy(QELPipeModule *module)
{
    auto *h = qelPipeModuleState<HashModule>(module);
    qelPipeDestroy(h->downstream);
    qelPipeModuleFree(h);
    return 0;
}

constexpr QELPipeOps kHashOps{hashWrite, hashFlush, hashAnnotate, hashExpectBytes, hashDestroy};

} // namespace

QELPipeModule **qelHashModuleCreate(QELContext *context, QELPipeModule **slot, QELHashContext *hash)
{
    if (slot == nullptr || !qelHashIsValid(hash))
        return nullptr;
    auto *h = qelPipeModuleNew<HashModule>(context, QELPipeMagic_Hash, "Hash Module", kHashOps);
    if (h == nullptr)
        return nullptr;
    h->hash = hash;
    return qelPipeModuleLink(slot, &h->head, &h->downstream);
}

QELPipeModule **qelHashModuleChainCreate(QELContext *context, QELPipeModule **slot, QELHashList *list,
                                         std::int32_t count)
{
    if (slot == nullptr || count < 0 || count > qelHashListCount(list))
        return nullptr;
    QELPipeModule *former = *slot;
    QELPipeModule **end = slot;
    for (std::int32_t i = 0; i < count; ++i) {
        QELPipeModule **next = qelHashModuleCreate(context, end, qelHashListGet(list, i));
        if (next == nullptr) {
            // Cut the former module off before destroying what was made, so
            // that it survives in the slot.
            *end = nullptr;
            if (end != slot)
                qelPipeDestroy(*slot);
            *slot = former;
            return nullptr;
        }
        end = next;
    }
    return end;
}
