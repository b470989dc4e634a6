// Trust-signature regular expressions: the input is a pattern, a NUL and a
// text. Compilation either fails cleanly or yields a form whose matching ends
// (the step budget) with 0 or 1; matching the text as user-ID bytes agrees
// with matching its NUL-terminated form.
#include "qelFuzzSupport.h"

#include "qelContextInternal.h"
#include "qelRegexInternal.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();
    const auto *nul = static_cast<const std::uint8_t *>(std::memchr(data, 0, size));
    const std::size_t patternLength = nul != nullptr ? std::size_t(nul - data) : size;
    const std::string pattern(reinterpret_cast<const char *>(data), patternLength);
    const std::uint8_t *text = nul != nullptr ? nul + 1 : data + size;
    const std::size_t textLength = std::size_t(data + size - text);

    QELRegex *regex = nullptr;
    const QELStatus s = qelRegexCompile(context, pattern.c_str(), &regex);
    qelfuzz::check(s == QELError_NoErr || s == QELError_OutOfMemory || s == QELError_BadParams, "status");
    qelfuzz::check((s == QELError_NoErr) == (regex != nullptr), "form without success");
    if (regex == nullptr)
        return 0;
    const int bytes = qelRegexMatchBytes(regex, text, textLength);
    qelfuzz::check(bytes == 0 || bytes == 1, "match result");
    if (std::memchr(text, 0, textLength) == nullptr) {
        const std::string copy(reinterpret_cast<const char *>(text), textLength);
        qelfuzz::check(qelRegexMatch(regex, copy.c_str()) == bytes, "bytes and text disagree");
    } else {
        qelfuzz::check(bytes == 0, "a NUL inside the text matched");
    }
    qelfuzz::check(qelContextMemFree(context, regex) == QELError_NoErr, "free");
    return 0;
}
