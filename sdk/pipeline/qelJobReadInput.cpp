// A job input read whole: a file is pumped into a memory sink without a
// bound, whose buffer is then taken over.
#include "qelJobReadInputInternal.h"

#include "qelVarMemoryModuleInternal.h"
#include "qelWipe.h"

#include <cstddef>

QELStatus qelJobReadInput(QELContext *context, QELJobInput &input, const std::uint8_t **outBytes,
                          std::uint64_t *outLength, std::uint8_t **outOwned)
{
    *outBytes = nullptr;
    *outLength = 0;
    *outOwned = nullptr;
    if (input.reader == nullptr) {
        *outBytes = static_cast<const std::uint8_t *>(input.buffer);
        *outLength = input.length;
        return 0;
    }
    QELPipeModule *sink = nullptr;
    if (qelVarMemoryModuleCreatePlain(context, &sink, UINT64_MAX) == nullptr)
        return QELError_OutOfMemory;
    std::uint64_t position = 0;
    void *buffer = nullptr;
    QELStatus s = qelJobPumpInput(input, sink, nullptr, nullptr);
    if (s == 0)
        s = qelPipeAnnotate(sink, nullptr, QELAnnotation_QueryPosition, &position, sizeof position);
    if (s == 0)
        s = qelPipeAnnotate(sink, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer);
    qelPipeDestroy(sink);
    if (s != 0)
        return s;
    *outOwned = static_cast<std::uint8_t *>(buffer);
    *outBytes = *outOwned;
    *outLength = position;
    return 0;
}

void qelJobFreeInput(std::uint8_t *owned, std::uint64_t length)
{
    if (owned == nullptr)
        return;
    qelSecureWipe(owned, static_cast<std::size_t>(length));
    (void)qelMemFree(owned);
}
