// The decode job on outside bytes: the first byte picks what the event
// handler answers and whether the input is read as certificates; the rest
// is the input. Every status is acceptable; crashes, leaks, hangs and
// sanitizer reports are not.
#include "qelFuzzSupport.h"

#include "qelClientEncode.h"
#include "qelDecode.h"
#include "qelDecodeJobInternal.h"
#include "qelEvent.h"

#include <cstdint>

namespace {

struct Answers {
    std::uint8_t choice;
    int passphrases; // Passphrase events answered so far
    std::uint8_t buffer[4096];
    std::uint64_t used;
};

std::int32_t handler(QELContext *ctx, QELEvent *event, void *user)
{
    auto &a = *static_cast<Answers *>(user);
    switch (event->kind) {
    case QELEvent_Output:
        event->reply->options = (a.choice & 1) != 0
                                    ? qelOptionDiscardOutput(ctx, 1)
                                    : qelOptionOutputBuffer(ctx, a.buffer, sizeof a.buffer, &a.used);
        return 0;
    case QELEvent_Passphrase:
        // A wrong passphrase twice, then none: the job gives up.
        if (a.passphrases++ < 2)
            event->reply->options = qelOptionPassphrase(ctx, "wrong");
        return 0;
    case QELEvent_Analyze:
        return (a.choice & 2) != 0 && event->data.number.value == 1 ? QELError_JobEventStop : 0;
    default:
        return 0;
    }
}

QELStatus countingImport(QELContext *, const std::uint8_t *, std::uint64_t, std::int32_t, QELKeyDB *,
                         QELOptionList *passphrase, QELCertImportResult *)
{
    static_cast<void>(qelOptionListFreePublic(passphrase));
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();
    Answers answers{data[0], 0, {}, 0};
    if ((data[0] & 4) != 0) {
        const QELDecodeJobSeams installed = qelDecodeJobSeams();
        qelDecodeJobSeams().certImport = countingImport;
        static_cast<void>(qelDecode(context, qelOptionInputBuffer(context, data + 1, size - 1),
                                    qelOptionInputFormat(context, 10000 + (data[0] >> 4) % 12),
                                    qelOptionDiscardOutput(context, 1), qelOptionLastOption(context)));
        qelDecodeJobSeams() = installed;
        return 0;
    }
    static_cast<void>(qelDecode(context, qelOptionInputBuffer(context, data + 1, size - 1),
                                qelOptionPassphrase(context, "pw"), qelOptionEventHandler(context, handler, &answers),
                                qelOptionDecompressionLimit(context, 1u << 22), qelOptionLastOption(context)));
    return 0;
}
