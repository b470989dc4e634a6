// Requests and replies of the service protocol: building a request item by
// item in a growing block, and reading a reply's items. Items are host-order
// words, each a multiple of four bytes long; byte strings carry a 32-bit
// length and are padded to four.
#include "qelRPCClientInternal.h"

#include "qelFileSpecInternal.h"
#include "qelHelpers.h"
#include "qelMemoryInternal.h"
#include "qelWipe.h"

#include <cstring>

namespace {

constexpr std::int32_t kFirstCapacity = 128;
constexpr std::uint64_t kGrowthStep = 8192;

std::uint64_t padded(std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; }

QELStatus startPacket(QELRPCPacket *packet, std::uint32_t call, std::uint64_t handle, bool secure)
{
    if (packet == nullptr)
        return QELError_BadParams;
    *packet = QELRPCPacket{};
    QELMemoryMgr *mgr = qelMemMgrGetGlobal();
    void *block = mgr == nullptr ? nullptr
                  : secure       ? qelMemAllocSecure(mgr, kFirstCapacity, 0)
                                 : qelMemAlloc(mgr, kFirstCapacity, 0);
    if (block == nullptr)
        return QELError_OutOfMemory;
    packet->data = static_cast<std::uint8_t *>(block);
    packet->capacity = kFirstCapacity;
    packet->secure = secure ? 1 : 0;
    QELStatus s = qelRPCPacketAppendU32(packet, call);
    if (s == QELError_NoErr)
        s = qelRPCPacketAppendU64(packet, handle);
    if (s == QELError_NoErr)
        s = qelRPCPacketAppendU32(packet, 0); // total length, stored by the exchange
    return s;
}

QELStatus appendRaw(QELRPCPacket *packet, const void *bytes, std::size_t n)
{
    if (packet == nullptr)
        return QELError_BadParams;
    if (QELStatus s = qelRPCPacketReserve(packet, n); s != QELError_NoErr)
        return s;
    std::memcpy(packet->data + packet->length, bytes, n);
    packet->length += static_cast<std::int32_t>(n);
    return QELError_NoErr;
}

// The reply's bytes not yet read, as a cursor; empty for a broken record.
qel::ByteCursor unread(const QELRPCPacket *reply)
{
    if (reply == nullptr || reply->data == nullptr || reply->length < 0 || reply->length > reply->capacity)
        return {};
    return qel::ByteCursor(reply->data + reply->length, std::size_t(reply->capacity - reply->length));
}

template <typename T> T readFixed(QELRPCPacket *reply)
{
    qel::ByteCursor c = unread(reply);
    std::span<const std::uint8_t> bytes;
    if (!c.bytes(sizeof(T), bytes))
        return T{};
    T value;
    std::memcpy(&value, bytes.data(), sizeof value);
    reply->length += static_cast<std::int32_t>(sizeof(T));
    return value;
}

// The next byte string in place; `truncated` is the reader's own code.
QELStatus nextString(QELRPCPacket *reply, const std::uint8_t **outData, std::uint64_t *outLength,
                     QELStatus truncated)
{
    if (reply == nullptr || outData == nullptr || outLength == nullptr)
        return QELError_BadParams;
    *outData = nullptr;
    *outLength = 0;
    qel::ByteCursor c = unread(reply);
    std::uint32_t word;
    if (!c.le32(word))
        return truncated;
    if (word >= 0x80000000u) {
        // Not a length any service of this protocol sends.
        qelRPCMarkDead();
        return truncated;
    }
    reply->length += 4;
    if (word == 0)
        return QELError_NoErr;
    std::span<const std::uint8_t> bytes;
    if (!c.bytes(word, bytes))
        return truncated;
    // The padding of the last string may be missing; the offset stops at
    // the bytes received.
    const std::uint64_t end = std::uint64_t(reply->length) + padded(word);
    reply->length = static_cast<std::int32_t>(end < std::uint64_t(reply->capacity) ? end : reply->capacity);
    *outData = bytes.data();
    *outLength = word;
    return QELError_NoErr;
}

QELStatus copyString(QELRPCPacket *reply, void **outBlock, std::uint64_t *outLength, QELStatus truncated,
                     bool secure)
{
    if (outBlock == nullptr || outLength == nullptr)
        return QELError_BadParams;
    *outBlock = nullptr;
    const std::uint8_t *data = nullptr;
    std::uint64_t length = 0;
    QELStatus s = nextString(reply, &data, &length, truncated);
    *outLength = length;
    if (s != QELError_NoErr || length == 0)
        return s;
    QELMemoryMgr *mgr = qelMemMgrGetGlobal();
    void *block = nullptr;
    if (mgr != nullptr && secure) {
        block = qelMemAllocSecure(mgr, length, 0);
        if (block == nullptr)
            block = qelMemAlloc(mgr, length, 0);
    } else if (mgr != nullptr) {
        block = qelMemAlloc(mgr, length, 0);
    }
    if (block == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(block, data, length);
    *outBlock = block;
    return QELError_NoErr;
}

} // namespace

QELStatus qelRPCPacketNew(QELRPCPacket *packet, std::uint32_t call, std::uint64_t clientHandle)
{
    return startPacket(packet, call, clientHandle, false);
}

QELStatus qelRPCPacketNewSecure(QELRPCPacket *packet, std::uint32_t call, std::uint64_t clientHandle)
{
    return startPacket(packet, call, clientHandle, true);
}

QELStatus qelRPCPacketReserve(QELRPCPacket *packet, std::uint64_t n)
{
    if (packet == nullptr || packet->data == nullptr || packet->length < 0)
        return QELError_BadParams;
    if (n > QELRPCMaxPacketSize)
        return QELError_OutOfMemory;
    const std::uint64_t needed = std::uint64_t(packet->length) + n;
    if (needed <= std::uint64_t(packet->capacity))
        return QELError_NoErr;
    const std::uint64_t capacity = (needed + kGrowthStep) / kGrowthStep * kGrowthStep;
    if (capacity > QELRPCMaxPacketSize)
        return QELError_OutOfMemory;
    void *block = packet->data;
    QELMemoryMgr *mgr = qelMemMgrGetGlobal();
    if (QELStatus s = qelMemRealloc(mgr, &block, capacity, 0); s != QELError_NoErr)
        return QELError_OutOfMemory;
    packet->data = static_cast<std::uint8_t *>(block);
    packet->capacity = static_cast<std::int32_t>(capacity);
    return QELError_NoErr;
}

QELStatus qelRPCPacketAppendU32(QELRPCPacket *packet, std::uint32_t value) { return appendRaw(packet, &value, 4); }
QELStatus qelRPCPacketAppendInt(QELRPCPacket *packet, std::int32_t value) { return appendRaw(packet, &value, 4); }
QELStatus qelRPCPacketAppendByte(QELRPCPacket *packet, std::uint32_t value)
{
    return qelRPCPacketAppendU32(packet, value & 0xFF);
}
QELStatus qelRPCPacketAppendU64(QELRPCPacket *packet, std::uint64_t value) { return appendRaw(packet, &value, 8); }
QELStatus qelRPCPacketAppendObject(QELRPCPacket *packet, std::uint64_t handle)
{
    return qelRPCPacketAppendU64(packet, handle);
}

QELStatus qelRPCPacketAppendBuffer(QELRPCPacket *packet, const void *data, std::uint64_t length)
{
    if (data == nullptr)
        length = 0;
    if (length >= QELRPCMaxPacketSize)
        return QELError_OutOfMemory;
    const std::uint64_t room = padded(length);
    if (QELStatus s = qelRPCPacketReserve(packet, room + 8); s != QELError_NoErr)
        return s;
    const auto word = static_cast<std::uint32_t>(length);
    std::memcpy(packet->data + packet->length, &word, 4);
    packet->length += 4;
    if (length != 0) {
        std::memcpy(packet->data + packet->length, data, length);
        std::memset(packet->data + packet->length + length, 0, room - length);
        packet->length += static_cast<std::int32_t>(room);
    }
    return QELError_NoErr;
}

QELStatus qelRPCPacketAppendFileSpec(QELRPCPacket *packet, const QELFileSpec *spec)
{
    if (packet == nullptr || spec == nullptr)
        return QELError_BadParams;
    std::uint8_t *bytes = nullptr;
    std::uint32_t length = 0;
    QELStatus s = qelFileSpecExport(spec, &bytes, &length);
    if (s == QELError_NoErr)
        s = qelRPCPacketAppendBuffer(packet, bytes, length);
    if (bytes != nullptr)
        static_cast<void>(qelMemFree(bytes));
    return s;
}

void qelRPCPacketRelease(QELRPCPacket *packet)
{
    if (packet == nullptr)
        return;
    if (packet->data != nullptr) {
        if (packet->secure)
            qelSecureWipe(packet->data, std::size_t(packet->capacity));
        static_cast<void>(qelMemFree(packet->data));
    }
    *packet = QELRPCPacket{};
}

std::uint32_t qelRPCReplyReadU32(QELRPCPacket *reply) { return readFixed<std::uint32_t>(reply); }
std::int32_t qelRPCReplyReadInt(QELRPCPacket *reply) { return readFixed<std::int32_t>(reply); }
bool qelRPCReplyReadBool(QELRPCPacket *reply) { return readFixed<std::uint32_t>(reply) == 1; }
std::uint64_t qelRPCReplyReadU64(QELRPCPacket *reply) { return readFixed<std::uint64_t>(reply); }
std::uint64_t qelRPCReplyReadPointer(QELRPCPacket *reply) { return readFixed<std::uint64_t>(reply); }
std::size_t qelRPCReplyRemaining(const QELRPCPacket *reply) { return unread(reply).remaining(); }

QELStatus qelRPCReplyPeekBuffer(QELRPCPacket *reply, const std::uint8_t **outData, std::uint64_t *outLength)
{
    return nextString(reply, outData, outLength, QELError_ServiceReplyTruncated);
}

QELStatus qelRPCReplyReadBuffer(QELRPCPacket *reply, void **outBlock, std::uint64_t *outLength)
{
    return copyString(reply, outBlock, outLength, QELError_ServiceReplyFieldTruncated, false);
}

QELStatus qelRPCReplyReadSecureBuffer(QELRPCPacket *reply, void **outBlock, std::uint64_t *outLength)
{
    return copyString(reply, outBlock, outLength, QELError_ServiceReplyDataTruncated, true);
}
