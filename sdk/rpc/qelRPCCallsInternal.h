// The calls of the service protocol as one table (call number, request
// items, reply items, whether the request carries secrets), one marshaller
// that sends any call of the table and reads its reply, the in-process
// branch of every call, and the choice between them.
//
// Item codes of the table:
//   i  a 32-bit integer (4 bytes)
//   b  a byte or boolean: sent as its low eight bits in 4 bytes; read back
//      as true exactly when the word is 1
//   h  a 64-bit value or handle (8 bytes)
//   s  a byte string (length word, bytes, padding to 4)
//   f  a file specification, sent as the byte string of its exported form
//   g  the same or none: an empty string stands for an absent one
//   k  a byte string read into secure memory (replies)
//   x  a 4-byte reply item that the client reads and drops
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

struct QELContext;
struct QELFileSpec;

enum QELRPCCall : std::uint32_t {
    QELRPCCall_Handshake = 0,
    QELRPCCall_KeyObjRawPacket = 1,
    QELRPCCall_KeyDBFindKeyByID = 2,
    QELRPCCall_KeyObjEncrypt = 3,
    QELRPCCall_KeyObjDecrypt = 4,
    QELRPCCall_KeyObjVerify = 5,
    QELRPCCall_KeyObjSign = 6,
    QELRPCCall_KeyObjUnlock = 7,
    QELRPCCall_KeyObjOpSizes = 8,
    QELRPCCall_KeyObjLockingInfo = 9,
    QELRPCCall_KeyObjFetchInfo = 10,
    QELRPCCall_KeyDBOpenFiles = 11,
    QELRPCCall_KeyDBOpenFromBuffer = 12,
    QELRPCCall_KeyDBCommit = 13,
    QELRPCCall_KeyDBRelease = 14,
    QELRPCCall_KeySetEnabled = 15,
    QELRPCCall_KeySetAxiomatic = 16,
    QELRPCCall_TrustPropagate = 17,
    QELRPCCall_KeySigCheckSetWithProgress = 18,
    QELRPCCall_KeySigCountAndCheckCRLs = 19,
    QELRPCCall_KeySigCheckOne = 20,
    QELRPCCall_KeyGenerate = 21,
    QELRPCCall_KeyAddUserID = 22,
    QELRPCCall_UserIDCertify = 23,
    QELRPCCall_UserIDSetPrimary = 24,
    QELRPCCall_SigRevoke = 25,
    QELRPCCall_KeyRevoke = 26,
    QELRPCCall_KeyChangePassphrase = 27,
    QELRPCCall_KeyPassphraseIsValid = 28,
    QELRPCCall_KeySetOwnerTrust = 29,
    QELRPCCall_KeyPassphraseToPasskey = 30,
    QELRPCCall_KeyAddRevokers = 31,
    QELRPCCall_KeySetPreferences = 32,
    QELRPCCall_KeyDBCopyObject = 33,
    QELRPCCall_KeyDBRemoveObject = 34,
    QELRPCCall_KeyDBNewInMemory = 35,
    QELRPCCall_KeyDBFetchAllKeys = 36,
    QELRPCCall_RandomPoolAddEvent = 37,
    QELRPCCall_RandomPoolGetStatus = 38,
    QELRPCCall_RandomGetBytes = 39,
    QELRPCCall_KeyDBTakeClientChanges = 40,
    QELRPCCall_RandomAddBytes = 41,
    QELRPCCall_PassCachePurge = 42,
    QELRPCCall_KeyDBAddKeySet = 43,
    QELRPCCall_RandomSeedFileSet = 44,
    QELRPCCall_ClientExit = 45,
    QELRPCCall_Reserved46 = 46,
    QELRPCCall_RandomStir = 47,
    QELRPCCall_KeyDBAddGeneratedKey = 48,
    QELRPCCall_KeyDBAddGeneratedSubKey = 49,
    QELRPCCall_TokenCount = 50,
    QELRPCCall_TokenGetInfo = 51,
    QELRPCCall_TokenKeyCommand = 52,
    QELRPCCall_TokenCopyKey = 53,
    QELRPCCall_TokenSetSecret = 54,
    QELRPCCall_TokenSubmitSecret = 55,
    QELRPCCall_TokenPutCertificate = 56,
    QELRPCCall_TokenPutData = 57,
    QELRPCCall_TokenGetData = 58,
    QELRPCCall_TokenSetConfigString = 59,
    QELRPCCall_TokenReplaceSecret = 60,
    QELRPCCall_KeyDBCloseUnreferenced = 61,
    QELRPCCall_KeyDBSetKeepAlive = 62,
    QELRPCCall_PassCacheGetCounts = 63,
};
inline constexpr std::uint32_t QELRPCCallCount = 64;
inline constexpr std::size_t QELRPCMaxItems = 30;

struct QELRPCCallInfo {
    std::uint32_t number;
    std::string_view name;
    std::string_view request;
    std::string_view reply;
    bool secure;
};

// The table row of a call; null outside 0-63.
const QELRPCCallInfo *qelRPCCallFind(std::uint32_t call);

// One item of a call. Integers, flags and handles travel in `value`; a
// request byte string in data/length (or, for a file specification, `spec`;
// the service side gets its exported bytes in data/length); a reply byte
// string in a new block (`block`, `length`) that its receiver frees with
// qelMemFree (qelRPCItemsRelease).
struct QELRPCItem {
    std::uint64_t value = 0;
    const void *data = nullptr;
    std::uint64_t length = 0;
    void *block = nullptr;
    const QELFileSpec *spec = nullptr;
};
void qelRPCItemsRelease(std::span<QELRPCItem> items);

// Sends a call of the table to the service and reads its reply into `out`
// (whose size is the row's reply count). The reply's status (or the local
// failure) is the result; outputs are written only when it is 0, except for
// the items read before a failing reader. Call 37's result is the reply's
// first word; call 43 reads its reply only when its last request item is
// set. A reply shorter than its items is QELError_ServiceReplyTruncated.
[[nodiscard]] QELStatus qelRPCCall(std::uint32_t call, std::span<const QELRPCItem> in, std::span<QELRPCItem> out);

// Reads a received reply's items (the read offset behind the header) into
// `out` by the call's row; what the marshaller does after the exchange.
struct QELRPCPacket;
[[nodiscard]] QELStatus qelRPCReadReply(std::uint32_t call, QELRPCPacket *reply, std::span<QELRPCItem> out);

// The in-process branch of a call: the same inputs, the same outputs in the
// same form (handles are object addresses, byte strings blocks of the
// context or of the global manager). This is also the body a service runs
// for each request it receives.
[[nodiscard]] QELStatus qelRPCRunLocal(QELContext *context, std::uint32_t call, std::span<const QELRPCItem> in,
                                       std::span<QELRPCItem> out);

// The dispatch of every call: through the service in service mode, else in
// process.
[[nodiscard]] QELStatus qelRPCInvoke(QELContext *context, std::uint32_t call, std::span<const QELRPCItem> in,
                                     std::span<QELRPCItem> out);

// Helpers of the dispatchers.
inline std::uint64_t qelRPCHandleOf(const void *object)
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
}
template <typename T> T *qelRPCObjectOf(std::uint64_t handle)
{
    return reinterpret_cast<T *>(static_cast<std::uintptr_t>(handle));
}
inline QELRPCItem qelRPCValue(std::uint64_t value)
{
    QELRPCItem item;
    item.value = value;
    return item;
}
inline QELRPCItem qelRPCBytes(const void *data, std::uint64_t length)
{
    QELRPCItem item;
    item.data = data;
    item.length = data != nullptr ? length : 0;
    return item;
}
