// Flat key-generation parameters as the service receives them. A flat form
// is accepted only when it is exactly what flattening the rebuilt record
// gives back; anything else is refused with a status and no record.
#include "qelFuzzSupport.h"

#include "qelContextInternal.h"
#include "qelKeyGenParamsInternal.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    static QELContext *context = [] {
        QELContext *c = nullptr;
        qelfuzz::check(qelContextNew(QELSDKVersion, &c) == QELError_NoErr, "no context");
        return c;
    }();

    QELStatus status = 1;
    QELKeyGenParams *params = qelKeyGenParamsUnflatten(context, data, size, &status);
    if (params == nullptr) {
        qelfuzz::check(status != QELError_NoErr, "a refusal reported success");
        return 0;
    }
    qelfuzz::check(status == QELError_NoErr, "a record came with a failure status");
    std::uint8_t *flat = nullptr;
    std::uint64_t length = 0;
    qelfuzz::check(qelKeyGenParamsFlatten(params, &flat, &length) == QELError_NoErr, "flatten failed");
    qelfuzz::check(length == size && std::memcmp(flat, data, size) == 0,
                   "the accepted flat form does not flatten back to itself");
    QELKeyGenParams *copy = qelKeyGenParamsCopy(params);
    qelfuzz::check(copy != nullptr, "copy failed");
    qelKeyGenParamsFree(copy);
    static_cast<void>(qelContextMemFree(context, flat)); // our block
    qelKeyGenParamsFree(params);
    return 0;
}
