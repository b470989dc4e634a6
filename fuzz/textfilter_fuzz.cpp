// The text filter on outside text: the first byte picks the options and the
// piece size, the rest is the text. The module's output must equal a
// byte-at-a-time model of the conversion, whatever the pieces.
#include "qelFuzzSupport.h"

#include "qelContextInternal.h"
#include "qelMemory.h"
#include "qelTestTextFilter.h"
#include "qelTextFilterModuleInternal.h"
#include "qelVarMemoryModuleInternal.h"

#include <array>
#include <string>

namespace {

std::array<std::uint8_t, 256> makeMap(bool upper)
{
    std::array<std::uint8_t, 256> m{};
    for (int i = 0; i < 256; ++i)
        m[i] = std::uint8_t(upper && i >= 'a' && i <= 'z' ? i - 32 : i);
    return m;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const auto kIdentity = makeMap(false);
    static const auto kUpper = makeMap(true);
    if (size == 0)
        return 0;
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();
    const std::uint8_t options = data[0];
    const int mode = options & 3;
    const bool strip = (options & 4) != 0;
    const std::uint8_t *map = (options & 8) ? kUpper.data() : kIdentity.data();
    const std::size_t piece = std::size_t(1) + (options >> 4) * 613;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    QELPipeModule *head = nullptr;
    QELPipeModule **slot = qelTextFilterModuleCreate(context, &head, map, strip, mode);
    qelfuzz::check(slot != nullptr, "create");
    qelfuzz::check(qelVarMemoryModuleCreatePlain(context, slot, QELVarMemoryNoLimit) != nullptr, "sink");
    QELPipeModule *sink = *slot;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        std::size_t n = text.size() - at < piece ? text.size() - at : piece;
        qelfuzz::check(qelPipeWriteAll(head, reinterpret_cast<const std::uint8_t *>(text.data()) + at, n) == 0, "write");
    }
    qelfuzz::check(qelPipeExpectBytes(head, 0) == 0, "end");
    std::uint64_t total = 0;
    void *buffer = nullptr;
    qelfuzz::check(qelPipeAnnotate(sink, nullptr, QELAnnotation_QueryTotal, &total, 8) == 0, "total");
    qelfuzz::check(qelPipeAnnotate(sink, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer) == 0, "take");
    const std::string out(static_cast<const char *>(buffer), total);
    qelfuzz::check(out == qeltest::textFilterModel(text, map, strip, mode), "model");
    static_cast<void>(qelMemFree(buffer));
    qelPipeDestroy(head);
    return 0;
}
