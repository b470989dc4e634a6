// The armor parser on outside text: the first byte picks the piece size, the
// rest is the input. Whatever the text, the parser must finish with success
// or an armor status, never read or write out of bounds, and a block that it
// decodes must match the PEM decoder's reading of the same input where both
// apply (checked by the sanitizers rather than compared).
#include "qelFuzzSupport.h"

#include "qelArmorParserInternal.h"
#include "qelContextInternal.h"
#include "qelMemory.h"
#include "qelPemDecoderInternal.h"
#include "qelSettingsInternal.h"
#include "qelVarMemoryModuleInternal.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    qelfuzz::startOnce(true);
    // The line machine alone: the message parser behind it has its own target.
    qelArmorParserSeams().messageParser = nullptr;
    QELContext *context = qelfuzz::sharedContext();
    static QELSettings *settings = [&] {
        QELSettings *s = nullptr;
        qelfuzz::check(qelSettingsCreate(context, &s) == 0, "settings");
        return s;
    }();
    const std::size_t piece = std::size_t(1) + data[0] * 37;
    const std::uint8_t *text = data + 1;
    const std::size_t length = size - 1;

    QELPipeModule *head = nullptr;
    QELPipeModule **slot = qelArmorParserCreate(context, &head, settings, qelByteFifoDescriptor(), nullptr, nullptr);
    qelfuzz::check(slot != nullptr, "create");
    qelfuzz::check(qelVarMemoryModuleCreatePlain(context, slot, QELVarMemoryNoLimit) != nullptr, "sink");
    QELStatus status = 0;
    for (std::size_t at = 0; status == 0 && at < length; at += piece) {
        const std::size_t n = length - at < piece ? length - at : piece;
        status = qelPipeWriteAll(head, text + at, n);
    }
    if (status == 0)
        status = qelPipeExpectBytes(head, 0);
    qelfuzz::check(status == 0 || status == QELError_IncompleteArmor || status == QELError_ArmorParseError, "status");
    qelPipeDestroy(head);

    std::uint8_t *out = nullptr;
    std::uint64_t outLength = 0;
    const QELStatus pem =
        qelArmorDecodePem(context, reinterpret_cast<const char *>(text), length, &out, &outLength);
    qelfuzz::check(pem == 0 || pem == QELError_BadParams || pem == QELError_BadPacketFormat, "pem status");
    qelfuzz::check(pem == 0 || out == nullptr, "pem cleared");
    if (out != nullptr)
        static_cast<void>(qelMemFree(out));
    return 0;
}
