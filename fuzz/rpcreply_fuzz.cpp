// Replies of the local SDK service as the client reads them: the first byte
// picks the call, the rest is the reply (header and items). A header out of
// bounds is refused; the items are read by the call's row, and whatever the
// bytes, no reader goes past them and a string read is either whole or
// absent.
#include "qelFuzzSupport.h"

#include "qelMemoryInternal.h"
#include "qelRPCCallsInternal.h"
#include "qelRPCClientInternal.h"

#include <array>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    if (size < 1 + QELRPCReplyHeaderSize)
        return 0;
    const std::uint32_t call = data[0] % QELRPCCallCount;
    ++data;
    --size;
    std::int32_t status = 0;
    std::uint32_t length = 0;
    if (qelRPCReplyHeaderCheck(data, &status, &length) != QELError_NoErr) {
        qelfuzz::check(length == 0, "a refused header gave a length");
        return 0;
    }
    qelfuzz::check(length >= QELRPCReplyHeaderSize && length <= QELRPCMaxPacketSize, "header bounds");
    // The exchange reads exactly the announced length; a fuzz input may hold
    // fewer bytes, which the reply then is.
    const std::size_t received = std::min<std::size_t>(length, size);
    QELRPCPacket reply{};
    reply.data = static_cast<std::uint8_t *>(qelMemAlloc(qelMemMgrGetGlobal(), received, 0));
    qelfuzz::check(reply.data != nullptr, "no memory");
    std::memcpy(reply.data, data, received);
    reply.capacity = std::int32_t(received);
    reply.length = std::int32_t(QELRPCReplyHeaderSize);

    const QELRPCCallInfo *info = qelRPCCallFind(call);
    std::array<QELRPCItem, QELRPCMaxItems> out{};
    const std::span<QELRPCItem> items(out.data(), info->reply.size());
    const QELStatus s = qelRPCReadReply(call, &reply, items);
    qelfuzz::check(reply.length >= 0 && reply.length <= reply.capacity, "read past the reply");
    for (std::size_t i = 0; i < items.size(); ++i) {
        const char kind = info->reply[i];
        if (kind != 's' && kind != 'k')
            continue;
        qelfuzz::check((items[i].block != nullptr) == (items[i].length != 0) || s != QELError_NoErr,
                       "a string read half");
        if (items[i].block != nullptr) {
            // Every byte of a string the reader kept is readable.
            volatile std::uint8_t sink = 0;
            for (std::uint64_t j = 0; j < items[i].length; ++j)
                sink = sink ^ static_cast<const std::uint8_t *>(items[i].block)[j];
        }
    }
    qelRPCItemsRelease(items);
    qelRPCPacketRelease(&reply);
    return 0;
}
