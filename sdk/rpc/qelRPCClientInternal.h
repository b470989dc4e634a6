// The client end of the local SDK service: the process-wide connection, the
// packet record in which one request is built or one reply is read, and the
// exchange of one request for one reply.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELFileSpec;

// ---- connection ---------------------------------------------------------------------
// 1 after a successful qelRPCConnect, else 0 (a thread that serves service
// requests in tests sees 0).
std::uint8_t qelRPCEnabled();
// Connects to the local SDK service over its Unix-domain socket and
// registers this client; mode must be 1. QELError_NotInitialized when no
// service answers, QELError_ServiceHandshakeFailed when the handshake fails.
[[nodiscard]] QELStatus qelRPCConnect(std::int32_t mode);
// Closes the socket; the service-mode flag and the client handle stay.
void qelRPCDisconnect();
[[nodiscard]] QELStatus qelRPCHandshake();
// Ends the client's registration when one exists; 0 when there is none.
[[nodiscard]] QELStatus qelRPCClientExit();
// The handle the service gave this client (0 while unregistered).
std::uint64_t qelRPCClientHandle();
// Self-test kind 3: does nothing.
[[nodiscard]] QELStatus qelSelfTestNone();

// ---- packets ----------------------------------------------------------------------------
// A request being built (capacity = bytes allocated, length = bytes written)
// or a reply being read (capacity = bytes received, length = read offset).
struct QELRPCPacket {
    std::int32_t capacity;
    std::int32_t length;
    std::uint8_t *data;
    std::uint8_t secure; // a request in secure memory, wiped when released
};

inline constexpr std::size_t QELRPCRequestHeaderSize = 16;
inline constexpr std::size_t QELRPCReplyHeaderSize = 8;
// No reply or request of the protocol comes near this; a header announcing
// more is refused instead of allocated.
inline constexpr std::uint32_t QELRPCMaxPacketSize = 64u << 20;

[[nodiscard]] QELStatus qelRPCPacketNew(QELRPCPacket *packet, std::uint32_t call, std::uint64_t clientHandle);
[[nodiscard]] QELStatus qelRPCPacketNewSecure(QELRPCPacket *packet, std::uint32_t call, std::uint64_t clientHandle);
// Room for n more bytes; sizes are computed in 64 bits and a request never
// grows past QELRPCMaxPacketSize (QELError_OutOfMemory).
[[nodiscard]] QELStatus qelRPCPacketReserve(QELRPCPacket *packet, std::uint64_t n);
[[nodiscard]] QELStatus qelRPCPacketAppendU32(QELRPCPacket *packet, std::uint32_t value);
[[nodiscard]] QELStatus qelRPCPacketAppendInt(QELRPCPacket *packet, std::int32_t value);
[[nodiscard]] QELStatus qelRPCPacketAppendByte(QELRPCPacket *packet, std::uint32_t value);
[[nodiscard]] QELStatus qelRPCPacketAppendU64(QELRPCPacket *packet, std::uint64_t value);
[[nodiscard]] QELStatus qelRPCPacketAppendObject(QELRPCPacket *packet, std::uint64_t handle);
// A null pointer goes as an empty string whatever the length.
[[nodiscard]] QELStatus qelRPCPacketAppendBuffer(QELRPCPacket *packet, const void *data, std::uint64_t length);
[[nodiscard]] QELStatus qelRPCPacketAppendFileSpec(QELRPCPacket *packet, const QELFileSpec *spec);
// Releases the packet's bytes (wiped first for a secure request).
void qelRPCPacketRelease(QELRPCPacket *packet);

// Sends the request and reads the reply under the service lock; returns the
// reply's status or a local failure. The request is released on every path;
// the caller releases the reply (qelRPCPacketRelease) whatever the result.
// A connection whose stream can no longer be trusted (a broken or short
// transfer, a malformed header, a reply out of step, no answer in time) is
// closed and every later exchange fails with QELError_NotInitialized.
[[nodiscard]] QELStatus qelRPCSendPacket(QELRPCPacket *request, QELRPCPacket *reply);

// The 8-byte reply header: status and total length; a length under 8 or
// over QELRPCMaxPacketSize is QELError_BadPacketFormat.
[[nodiscard]] QELStatus qelRPCReplyHeaderCheck(const std::uint8_t *header, std::int32_t *outStatus,
                                               std::uint32_t *outLength);

// ---- reading a reply ----------------------------------------------------------------------
// Fixed-size readers answer 0 / false for a null record or past the end; the
// marshaller checks the room first (qelRPCReplyRemaining).
std::uint32_t qelRPCReplyReadU32(QELRPCPacket *reply);
std::int32_t qelRPCReplyReadInt(QELRPCPacket *reply);
bool qelRPCReplyReadBool(QELRPCPacket *reply);
std::uint64_t qelRPCReplyReadU64(QELRPCPacket *reply);
std::uint64_t qelRPCReplyReadPointer(QELRPCPacket *reply);
std::size_t qelRPCReplyRemaining(const QELRPCPacket *reply);
// Byte strings: in place, copied into an ordinary block, or copied into a
// secure block (ordinary when no secure memory is left). A length word of
// 2^31 or more is refused like one past the end, and marks the connection
// dead: such a service is not speaking the protocol.
[[nodiscard]] QELStatus qelRPCReplyPeekBuffer(QELRPCPacket *reply, const std::uint8_t **outData,
                                              std::uint64_t *outLength);
[[nodiscard]] QELStatus qelRPCReplyReadBuffer(QELRPCPacket *reply, void **outBlock, std::uint64_t *outLength);
[[nodiscard]] QELStatus qelRPCReplyReadSecureBuffer(QELRPCPacket *reply, void **outBlock,
                                                    std::uint64_t *outLength);

// Closes a connection found out of step (used by the readers).
void qelRPCMarkDead();
