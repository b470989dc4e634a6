// The call table of the service protocol and the one marshaller that sends
// any of its calls: a request is the row's request items in order, a reply
// the row's reply items in order.
#include "qelRPCCallsInternal.h"

#include "qelRPCClientInternal.h"

#include "qelMemoryInternal.h"

#include <array>

namespace {

// Shorthands for the long rows.
constexpr std::string_view kPass = "sbib"; // passphrase, is-passkey, cache time, cache flag

constexpr std::array<QELRPCCallInfo, QELRPCCallCount> kCalls{{
    {0, "Handshake", "ihhh", "h", false},
    {1, "KeyObjRawPacket", "h", "s", false},
    {2, "KeyDBFindKeyByID", "hsbb", "h", false},
    {3, "KeyObjEncrypt", "hsi", "s", false},
    {4, "KeyObjDecrypt", "hsbibsi", "s", true},
    {5, "KeyObjVerify", "hsisi", "i", false},
    {6, "KeyObjSign", "hsbibisi", "s", true},
    {7, "KeyObjUnlock", "hsbib", "b", true},
    {8, "KeyObjOpSizes", "hbbbi", "iii", false},
    {9, "KeyObjLockingInfo", "h", "iiii", false},
    {10, "KeyObjFetchInfo", "h", "s", false},
    {11, "KeyDBOpenFiles", "ifg", "his", false},
    {12, "KeyDBOpenFromBuffer", "s", "hixs", false},
    {13, "KeyDBCommit", "h", "s", false},
    {14, "KeyDBRelease", "h", "", false},
    {15, "KeySetEnabled", "hb", "", false},
    {16, "KeySetAxiomatic", "hbbsbib", "", true},
    {17, "TrustPropagate", "hshi", "s", false},
    {18, "KeySigCheckSetWithProgress", "hshb", "s", false},
    {19, "KeySigCountAndCheckCRLs", "hshb", "is", false},
    {20, "KeySigCheckOne", "hhhbb", "bbb", false},
    // DB, master, algorithm, bits, parameter, creation, expiration, user ID,
    // passphrase, is-passkey, master passphrase, cache time, cache flag,
    // handler and its value, two flags, option 78 (flag, value), option 48
    // (ids, value), revokers (ids, class), three strings, key flags (value,
    // present), key-server preferences (value, present).
    {21, "KeyGenerate", "hhiiiiissbsibhhbbbisbsbsssibib", "sh", true},
    {22, "KeyAddUserID", "hbissbib", "s", true},
    {23, "UserIDCertify", "hhsbibbiibbs", "s", true},
    {24, "UserIDSetPrimary", "hsbib", "s", true},
    {25, "SigRevoke", "hsbib", "s", true},
    {26, "KeyRevoke", "hsbib", "s", true},
    {27, "KeyChangePassphrase", "hhhssbib", "", true},
    {28, "KeyPassphraseIsValid", "hsbib", "b", true},
    {29, "KeySetOwnerTrust", "hi", "", false},
    {30, "KeyPassphraseToPasskey", "hs", "k", true},
    {31, "KeyAddRevokers", "hsbibsi", "s", true},
    {32, "KeySetPreferences", "hsbibssibib", "s", true},
    {33, "KeyDBCopyObject", "hh", "sh", false},
    {34, "KeyDBRemoveObject", "hh", "", false},
    {35, "KeyDBNewInMemory", "", "h", false},
    {36, "KeyDBFetchAllKeys", "h", "is", false},
    {37, "RandomPoolAddEvent", "bibb", "", false},
    {38, "RandomPoolGetStatus", "", "iiibb", false},
    {39, "RandomGetBytes", "ii", "s", false},
    {40, "KeyDBTakeClientChanges", "h", "iss", false},
    {41, "RandomAddBytes", "s", "", false},
    {42, "PassCachePurge", "", "", false},
    {43, "KeyDBAddKeySet", "hhsb", "s", false},
    {44, "RandomSeedFileSet", "f", "", false},
    {45, "ClientExit", "", "", false},
    {46, "Reserved46", "", "", false},
    {47, "RandomStir", "", "", false},
    {48, "KeyDBAddGeneratedKey", "hssssbsbsbib", "sh", true},
    {49, "KeyDBAddGeneratedSubKey", "hsssbib", "sh", true},
    {50, "TokenCount", "", "i", true},
    {51, "TokenGetInfo", "ii", "ibiiiisssii", true},
    {52, "TokenKeyCommand", "hibsbsib", "", true},
    {53, "TokenCopyKey", "hsis", "", true},
    {54, "TokenSetSecret", "is", "", true},
    {55, "TokenSubmitSecret", "is", "", true},
    {56, "TokenPutCertificate", "iisss", "", true},
    {57, "TokenPutData", "iiss", "", true},
    {58, "TokenGetData", "iis", "s", true},
    {59, "TokenSetConfigString", "s", "", true},
    {60, "TokenReplaceSecret", "iss", "", true},
    {61, "KeyDBCloseUnreferenced", "", "", false},
    {62, "KeyDBSetKeepAlive", "hi", "", false},
    {63, "PassCacheGetCounts", "", "iii", false},
}};

constexpr bool tableIsWellFormed()
{
    for (std::uint32_t i = 0; i < kCalls.size(); ++i) {
        const QELRPCCallInfo &c = kCalls[i];
        if (c.number != i || c.request.size() > QELRPCMaxItems || c.reply.size() > QELRPCMaxItems)
            return false;
        for (char k : c.request)
            if (std::string_view("ibhsfg").find(k) == std::string_view::npos)
                return false;
        for (char k : c.reply)
            if (std::string_view("ibhskx").find(k) == std::string_view::npos)
                return false;
    }
    return kCalls[21].request.size() == 30 && kCalls[23].request.size() == 12 && kCalls[32].request.size() == 11 &&
           kCalls[48].request.size() == 12 && kCalls[16].request.substr(3) == kPass;
}
static_assert(tableIsWellFormed());

QELStatus appendItem(QELRPCPacket *packet, char kind, const QELRPCItem &item)
{
    switch (kind) {
    case 'i':
        return qelRPCPacketAppendU32(packet, static_cast<std::uint32_t>(item.value));
    case 'b':
        return qelRPCPacketAppendByte(packet, static_cast<std::uint32_t>(item.value));
    case 'h':
        return qelRPCPacketAppendU64(packet, item.value);
    case 'f':
        return qelRPCPacketAppendFileSpec(packet, item.spec);
    case 'g':
        return item.spec != nullptr ? qelRPCPacketAppendFileSpec(packet, item.spec)
                                    : qelRPCPacketAppendBuffer(packet, nullptr, 0);
    default:
        return qelRPCPacketAppendBuffer(packet, item.data, item.length);
    }
}

QELStatus readItem(QELRPCPacket *reply, char kind, QELRPCItem &item)
{
    switch (kind) {
    case 's':
        return qelRPCReplyReadBuffer(reply, &item.block, &item.length);
    case 'k':
        return qelRPCReplyReadSecureBuffer(reply, &item.block, &item.length);
    case 'h':
        if (qelRPCReplyRemaining(reply) < 8)
            return QELError_ServiceReplyTruncated;
        item.value = qelRPCReplyReadU64(reply);
        return QELError_NoErr;
    default:
        if (qelRPCReplyRemaining(reply) < 4)
            return QELError_ServiceReplyTruncated;
        if (kind == 'b')
            item.value = qelRPCReplyReadBool(reply) ? 1 : 0;
        else
            item.value = qelRPCReplyReadU32(reply);
        return QELError_NoErr;
    }
}

} // namespace

const QELRPCCallInfo *qelRPCCallFind(std::uint32_t call)
{
    return call < kCalls.size() ? &kCalls[call] : nullptr;
}

void qelRPCItemsRelease(std::span<QELRPCItem> items)
{
    for (QELRPCItem &item : items) {
        if (item.block != nullptr)
            static_cast<void>(qelMemFree(item.block));
        item.block = nullptr;
    }
}

QELStatus qelRPCCall(std::uint32_t call, std::span<const QELRPCItem> in, std::span<QELRPCItem> out)
{
    const QELRPCCallInfo *info = qelRPCCallFind(call);
    if (info == nullptr || in.size() != info->request.size() || out.size() != info->reply.size())
        return QELError_BadParams;
    QELRPCPacket request{};
    QELStatus status = info->secure ? qelRPCPacketNewSecure(&request, call, qelRPCClientHandle())
                                    : qelRPCPacketNew(&request, call, qelRPCClientHandle());
    for (std::size_t i = 0; status == QELError_NoErr && i < in.size(); ++i)
        status = appendItem(&request, info->request[i], in[i]);
    if (status != QELError_NoErr) {
        qelRPCPacketRelease(&request);
        return status;
    }
    QELRPCPacket reply{};
    status = qelRPCSendPacket(&request, &reply);
    if (status == QELError_NoErr && !(call == QELRPCCall_KeyDBAddKeySet && (in[3].value & 0xFF) == 0))
        status = qelRPCReadReply(call, &reply, out);
    qelRPCPacketRelease(&reply);
    return status;
}

QELStatus qelRPCReadReply(std::uint32_t call, QELRPCPacket *reply, std::span<QELRPCItem> out)
{
    const QELRPCCallInfo *info = qelRPCCallFind(call);
    if (info == nullptr || out.size() != info->reply.size())
        return QELError_BadParams;
    for (std::size_t i = 0; i < out.size(); ++i) {
        QELRPCItem item;
        QELStatus status = readItem(reply, info->reply[i], item);
        if (status != QELError_NoErr)
            return status;
        out[i] = item;
    }
    return QELError_NoErr;
}

QELStatus qelRPCInvoke(QELContext *context, std::uint32_t call, std::span<const QELRPCItem> in,
                       std::span<QELRPCItem> out)
{
    if (qelRPCEnabled() != 0)
        return qelRPCCall(call, in, out);
    return qelRPCRunLocal(context, call, in, out);
}
