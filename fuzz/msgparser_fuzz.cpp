// The message parser and annotation reader on outside bytes (behind the
// armor parser when the message is text): the first byte picks the piece
// size and the replies the job gives, the rest is the message. Every status
// is acceptable; crashes, leaks, hangs and sanitizer reports are not.
#include "qelFuzzSupport.h"

#include "qelAnnotationReaderInternal.h"
#include "qelArmorParserInternal.h"
#include "qelContextInternal.h"
#include "qelMessageParserInternal.h"
#include "qelSettingsInternal.h"
#include "qelVarMemoryModuleInternal.h"

#include <cstdint>

namespace {

struct Job {
    QELContext *context;
    std::uint8_t choice;
};
void report(void *, QELStatus, std::int32_t, std::int32_t, const void *) {}
std::int32_t reply(void *data, std::int32_t scope, std::int32_t depth)
{
    const auto *job = static_cast<Job *>(data);
    return 0x102 + ((job->choice >> 4) + scope + depth) % 4;
}
QELStatus openOutput(void *data, QELPipeModule **slot, std::int32_t, const char *)
{
    qelPipeDestroy(*slot);
    *slot = nullptr;
    return qelVarMemoryModuleCreatePlain(static_cast<Job *>(data)->context, slot, 1u << 20) != nullptr ? 0 : QELError_OutOfMemory;
}
QELStatus detachedData(void *, QELPipeModule *chain)
{
    static const std::uint8_t kText[] = "signed text\n";
    QELStatus s = qelPipeWriteAll(chain, kText, sizeof kText - 1);
    return s != 0 ? s : qelPipeExpectBytes(chain, 0);
}
QELStatus signatureResult(void *, const QELSigItem *, const std::uint8_t *) { return 0; }
QELStatus decrypt(void *data, QELSigItem *, QELStatus (*send)(void *, const std::uint8_t *, std::uint64_t), void *context)
{
    // a wrong AES-128 key: the quick check refuses it
    std::uint8_t key[17] = {7};
    key[1] = static_cast<Job *>(data)->choice;
    return send(context, key, sizeof key);
}

const QELDecodeCallbacks kCallbacks{report, reply, openOutput, detachedData, signatureResult, decrypt, nullptr};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();
    QELSettings *settings = nullptr;
    qelfuzz::check(qelSettingsCreate(context, &settings) == 0, "settings");
    Job job{context, data[0]};
    const std::size_t piece = std::size_t(1) + (data[0] & 15) * 331;
    QELPipeModule *head = nullptr;
    qelfuzz::check(qelAnnotationReaderCreate(context, &head, settings, &kCallbacks, &job) != nullptr, "reader");
    // A message that starts with a byte no packet header has is text: the
    // armor parser reads it first and puts a message parser behind each
    // armored, clear-signed or MIME message it finds.
    if (size > 1 && data[1] < 0x80)
        qelfuzz::check(qelArmorParserCreate(context, &head, settings, qelByteFifoDescriptor(), &kCallbacks, &job) !=
                           nullptr,
                       "armor parser");
    else
        qelfuzz::check(qelMessageParserCreate(context, &head, settings, &kCallbacks, &job) != nullptr, "parser");
    QELStatus status = 0;
    for (std::size_t at = 1; status == 0 && at < size;) {
        const std::size_t n = size - at < piece ? size - at : piece;
        std::uint64_t taken = 0;
        status = qelPipeWriteAll(head, data + at, n, &taken);
        at += taken;
    }
    if (status == 0)
        static_cast<void>(qelPipeExpectBytes(head, 0));
    qelPipeDestroy(head);
    qelSettingsFree(settings);
    return 0;
}
