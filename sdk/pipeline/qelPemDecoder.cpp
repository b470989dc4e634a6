#include "qelPemDecoderInternal.h"

#include "qelArmorCodecInternal.h"
#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelMemory.h"
#include "qelWipe.h"

#include <cstring>

namespace {

bool isSpace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

bool startsWith(const qel::ByteCursor &cur, const char *prefix, std::size_t minRemaining)
{
    const std::size_t n = std::strlen(prefix);
    return cur.remaining() > minRemaining && std::memcmp(cur.current(), prefix, n) == 0;
}

} // namespace

QELStatus qelArmorDecodePem(QELContext *context, const char *text, std::uint64_t length, std::uint8_t **output,
                            std::uint64_t *outputLength)
{
    if (output != nullptr)
        *output = nullptr;
    if (outputLength != nullptr)
        *outputLength = 0;
    if (output == nullptr || outputLength == nullptr || (text == nullptr && length != 0))
        return QELError_BadParams;
    QELMemoryMgr *mgr = qelContextMemoryMgr(context);
    void *block = qelMemAlloc(mgr, 1, 0);
    if (block == nullptr)
        return QELError_OutOfMemory;
    qelBase64InitDecodeTable();
    std::uint64_t capacity = 0;
    std::uint64_t used = 0;
    auto fail = [&](QELStatus status) {
        qelSecureWipe(block, used);
        static_cast<void>(qelMemFree(block));
        return status;
    };

    qel::ByteCursor cur(text, static_cast<std::size_t>(length));
    std::uint8_t c = 0;
    while (cur.peekU8(c) && isSpace(c))
        static_cast<void>(cur.skip(1));
    if (startsWith(cur, "-----BEGIN ", 10)) {
        while (cur.u8(c) && c != '\n' && c != '\r') {
        }
    }
    while (cur.peekU8(c)) {
        if (isSpace(c)) {
            static_cast<void>(cur.skip(1));
            continue;
        }
        if (startsWith(cur, "-----END ", 8))
            break;
        std::size_t run = 0;
        const std::uint8_t *start = cur.current();
        while (run < cur.remaining() && !isSpace(start[run]))
            ++run;
        if (run % 4 != 0)
            return fail(QELError_BadParams);
        const std::uint64_t grown = used + run / 4 * 3;
        if (grown > capacity) {
            if (QELStatus s = qelMemRealloc(mgr, &block, static_cast<std::size_t>(grown), 0); s != 0)
                return fail(s);
            capacity = grown;
        }
        const std::int64_t n =
            qelBase64DecodeRun(reinterpret_cast<const char *>(start), static_cast<std::uint8_t *>(block) + used, run);
        if (n < 0)
            return fail(QELError_BadPacketFormat); // never a bare -1: callers test QELError_ codes
        used += static_cast<std::uint64_t>(n);
        static_cast<void>(cur.skip(run));
    }
    *output = static_cast<std::uint8_t *>(block);
    *outputLength = used;
    return 0;
}
