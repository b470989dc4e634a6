// Signature specifications and their subpacket items.
#include "qelSigSpecInternal.h"

#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelKeyGenInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelMemoryInternal.h"
#include "qelSettingsInternal.h"
#include "qelSigItemInternal.h"
#include "qelTimeDateInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t kTypeMask = 0xFF;
constexpr std::uint32_t kFlagMask = QELSigSpecFlag_Unhashed | QELSigSpecFlag_Critical;

std::uint8_t itemType(const QELSigItem *item)
{
    return std::uint8_t(std::uint32_t(item->tag) & kTypeMask);
}

// The subpacket type an item writes: its tag, or for a raw item the type
// octet its data begins with.
std::uint8_t writtenType(const QELSigItem *item)
{
    if (itemType(item) != QELSigSpecTag_Raw)
        return itemType(item);
    return item->length != 0 ? std::uint8_t(qelSigItemBytes(item)[0] & 0x7F) : 0;
}

void removeIf(QELSigSpec *spec, auto &&pred)
{
    QELSigItem **at = &spec->items;
    while (*at != nullptr) {
        if (pred(*at)) {
            QELSigItem *gone = *at;
            *at = gone->next;
            qelSigItemFree(gone);
        } else {
            at = &(*at)->next;
        }
    }
}

QELStatus push(QELSigSpec *spec, std::uint32_t tag, const void *data, std::size_t length)
{
    QELSigItem *item = qelSigItemNew(spec->context, std::int32_t(tag), data, length);
    if (item == nullptr)
        return QELError_OutOfMemory;
    item->next = spec->items;
    spec->items = item;
    spec->changed = 1;
    // Subpackets exist only in version 4 signatures.
    if (spec->version <= 3)
        static_cast<void>(qelSigSpecSetVersion(spec, 4)); // always succeeds
    return QELError_NoErr;
}

QELStatus setSingle(QELSigSpec *spec, std::uint8_t type, std::uint32_t flags, const void *data, std::size_t length)
{
    if (spec == nullptr || (data == nullptr && length != 0))
        return QELError_BadParams;
    // Every earlier value of the type goes, whatever its flags, so that the
    // packet never carries two contradicting copies.
    removeIf(spec, [type](const QELSigItem *item) { return writtenType(item) == type; });
    return push(spec, type | (flags & kFlagMask), data, length);
}

QELStatus addMulti(QELSigSpec *spec, std::uint32_t tag, std::uint32_t flags, const void *data, std::size_t length)
{
    if (spec == nullptr || (data == nullptr && length != 0))
        return QELError_BadParams;
    return push(spec, tag | (flags & kFlagMask), data, length);
}

QELStatus setBE32(QELSigSpec *spec, std::uint8_t type, std::uint32_t flags, std::uint32_t value)
{
    // Held as a host integer, written big-endian by the packet builder.
    return setSingle(spec, type, flags, &value, sizeof value);
}

// The index-th item (newest first) of a type.
const QELSigItem *find(const QELSigSpec *spec, std::uint8_t type, std::uint32_t index = 0)
{
    if (spec == nullptr)
        return nullptr;
    for (const QELSigItem *item = spec->items; item != nullptr; item = item->next) {
        if (itemType(item) == type && index-- == 0)
            return item;
    }
    return nullptr;
}

std::uint32_t presentWord(const QELSigItem *item)
{
    return QELSigSpecPresent | (std::uint32_t(item->tag) & kFlagMask);
}

std::uint32_t getData(const QELSigSpec *spec, std::uint8_t type, std::uint32_t index, const std::uint8_t **outData,
                      std::size_t *outLength)
{
    if (outData != nullptr)
        *outData = nullptr;
    if (outLength != nullptr)
        *outLength = 0;
    const QELSigItem *item = find(spec, type, index);
    if (item == nullptr)
        return 0;
    if (outData != nullptr)
        *outData = qelSigItemBytes(item);
    if (outLength != nullptr)
        *outLength = std::size_t(item->length);
    return presentWord(item);
}

template <typename T>
std::uint32_t getValue(const QELSigSpec *spec, std::uint8_t type, T *out)
{
    if (out != nullptr)
        *out = T{};
    const QELSigItem *item = find(spec, type);
    if (item == nullptr)
        return 0;
    if (out != nullptr && item->length >= sizeof(T))
        std::memcpy(out, qelSigItemBytes(item), sizeof(T));
    return presentWord(item);
}

void freeOne(QELSigSpec *spec)
{
    qelSigItemFreeList(spec->items);
    spec->items = nullptr;
    if (spec->passphrase != nullptr) {
        qelSecureWipe(spec->passphrase, std::size_t(spec->passphraseLength));
        static_cast<void>(qelMemFree(spec->passphrase)); // our own secure block
    }
    QELContext *context = spec->context;
    qelSecureWipe(spec, sizeof *spec);
    static_cast<void>(qelContextMemFree(context, spec)); // our own block
}

} // namespace

std::uint8_t qelSigSpecDefaultHash(std::int32_t configured, bool oldKey, std::uint8_t algorithm, std::uint32_t bits,
                                   bool legacy)
{
    if (oldKey)
        return std::uint8_t(configured);
    if (algorithm == 17 && bits > 1024) {
        if (bits < 2048)
            return 11; // SHA-224
        if (bits > 3072)
            return 9;  // SHA-384
        return 8;      // SHA-256
    }
    // SHA-1 certifications are open to chosen-prefix collisions; a 160-bit
    // DSA subgroup takes the leftmost bits of the SHA-256 digest.
    return legacy ? 2 : 8;
}

bool qelSigSpecWeakOnKeys(std::uint8_t hash) { return hash == 1 || hash == 2 || hash == 3; }

QELStatus qelSigSpecUpgrade(QELSigSpec *spec)
{
    if (spec == nullptr)
        return QELError_BadParams;
    QELKeyObject *signer = spec->signer;
    if (!qelKeyObjIsValid(signer) || qelKeyObjIsV3(signer) || qelKeyWantsLegacyForms(qelContextGetSettings(spec->context)))
        return QELError_NoErr;
    if (qelSigSpecWeakOnKeys(spec->hashAlgorithm)) {
        const QELStatus s = qelSigSpecSetHashAlgorithm(
            spec, qelSigSpecDefaultHash(0, false, qelKeyObjKeyInfo(signer)->algorithm, qelKeyObjBits(signer), false));
        if (s != QELError_NoErr)
            return s;
    }
    return spec->version < 4 ? qelSigSpecSetVersion(spec, 4) : QELError_NoErr;
}

QELSigSpec *qelSigSpecNewFor(QELSettings *settings, QELKeyObject *signer, std::uint8_t type, bool oldKey,
                             std::uint8_t algorithm, std::uint32_t bits)
{
    QELContext *context = qelSettingsGetContext(settings);
    if (settings == nullptr || context == nullptr)
        return nullptr;
    const std::int32_t offsetHours = qelSettingsGetInt(settings, QELSetting_TimeOffsetHours, nullptr, nullptr);
    const std::int32_t configuredHash = qelSettingsGetInt(settings, QELSetting_HashAlgorithm, nullptr, nullptr);
    const bool legacy = qelKeyWantsLegacyForms(settings);
    // A version 4 key signs as version 4 unless the caller asks for the old forms.
    const std::int32_t version =
        oldKey || legacy ? qelSettingsGetInt(settings, QELSetting_PacketVersion, nullptr, nullptr) : 4;

    auto *spec = static_cast<QELSigSpec *>(qelContextMemAlloc(context, sizeof(QELSigSpec), QELMemFlag_Clear));
    if (spec == nullptr)
        return nullptr;
    spec->context = context;
    spec->signer = signer;
    if (qelSigSpecSetHashAlgorithm(spec, qelSigSpecDefaultHash(configuredHash, oldKey, algorithm, bits, legacy)) !=
        QELError_NoErr) {
        freeOne(spec);
        return nullptr;
    }
    spec->type = type;
    static_cast<void>(qelSigSpecSetCreation(spec, qelTimeDateNowPlusHours(offsetHours))); // always 0
    static_cast<void>(qelSigSpecSetVersion(spec, std::uint32_t(version)));               // always 0
    return spec;
}

QELSigSpec *qelSigSpecNew(QELSettings *settings, QELKeyObject *signer, std::uint8_t type)
{
    if (settings == nullptr || !qelKeyObjIsValid(signer) ||
        (!qelKeyObjIsKey(signer) && !qelKeyObjIsSubKey(signer)))
        return nullptr;
    return qelSigSpecNewFor(settings, signer, type, qelKeyObjIsV3(signer), qelKeyObjKeyInfo(signer)->algorithm,
                            qelKeyObjBits(signer));
}

QELSigSpec *qelSigSpecFromSig(QELKeyObject *sig, QELStatus *outStatus)
{
    QELStatus local = QELError_NoErr;
    QELStatus &status = outStatus != nullptr ? *outStatus : local;
    status = QELError_NoErr;
    std::size_t length = 0;
    const std::uint8_t *packet = qelKeyObjIsSignature(sig) ? qelKeyObjRawPacket(sig, &length) : nullptr;
    QELSigInfo *info = packet != nullptr ? qelKeyObjSigInfo(sig) : nullptr;
    if (info == nullptr) {
        status = QELError_BadParams;
        return nullptr;
    }
    QELSigSpec *spec = qelSigSpecNew(qelContextGetSettings(qelKeyObjContext(sig)), info->signer, info->type);
    if (spec == nullptr) {
        status = info->signer == nullptr ? QELError_BadParams : QELError_OutOfMemory;
        return nullptr;
    }
    status = qelSigSpecSetHashAlgorithm(spec, info->hashAlgorithm);
    if (status == QELError_NoErr) {
        static_cast<void>(qelSigSpecSetVersion(spec, info->version));    // always 0
        static_cast<void>(qelSigSpecSetCreation(spec, info->creation)); // always 0
        if (info->version == 4)
            status = qelSigSpecFromSubpackets(spec, packet, length);
    }
    if (status != QELError_NoErr) {
        qelSigSpecFreeList(spec);
        return nullptr;
    }
    return spec;
}

QELSigSpec *qelSigSpecCopy(const QELSigSpec *spec)
{
    if (spec == nullptr)
        return nullptr;
    auto *copy = static_cast<QELSigSpec *>(qelContextMemAlloc(spec->context, sizeof(QELSigSpec), QELMemFlag_Clear));
    if (copy == nullptr)
        return nullptr;
    *copy = *spec;
    copy->next = nullptr;
    copy->passphrase = nullptr;
    copy->passphraseLength = 0;
    copy->items = nullptr;
    if (spec->passphrase != nullptr &&
        qelSigSpecSetPassphrase(copy, spec->passphrase, spec->passphraseLength, spec->isPasskey) != QELError_NoErr) {
        freeOne(copy);
        return nullptr;
    }
    QELSigItem **tail = &copy->items;
    for (const QELSigItem *item = spec->items; item != nullptr; item = item->next) {
        QELSigItem *dup = qelSigItemNew(spec->context, item->tag, qelSigItemBytes(item), item->length);
        if (dup == nullptr) {
            freeOne(copy);
            return nullptr;
        }
        *tail = dup;
        tail = &dup->next;
    }
    return copy;
}

void qelSigSpecFreeList(QELSigSpec *spec)
{
    while (spec != nullptr) {
        QELSigSpec *next = spec->next;
        freeOne(spec);
        spec = next;
    }
}

QELStatus qelSigSpecPush(QELSigSpec **head, QELSigSpec *spec)
{
    if (head == nullptr || spec == nullptr)
        return QELError_BadParams;
    spec->next = *head;
    *head = spec;
    return QELError_NoErr;
}

QELSigSpec *qelSigSpecNext(const QELSigSpec *spec) { return spec != nullptr ? spec->next : nullptr; }

QELContext *qelSigSpecContext(const QELSigSpec *spec) { return spec != nullptr ? spec->context : nullptr; }
QELKeyObject *qelSigSpecSignerKey(const QELSigSpec *spec) { return spec != nullptr ? spec->signer : nullptr; }
std::uint32_t qelSigSpecVersion(const QELSigSpec *spec) { return spec != nullptr ? spec->version : 0; }
std::uint8_t qelSigSpecHashAlgorithm(const QELSigSpec *spec) { return spec != nullptr ? spec->hashAlgorithm : 0; }
std::uint8_t qelSigSpecType(const QELSigSpec *spec) { return spec != nullptr ? spec->type : 0; }

const QELHashDescriptor *qelSigSpecHashDescriptor(const QELSigSpec *spec)
{
    return spec != nullptr ? qelHashDescriptorFind(spec->hashAlgorithm) : nullptr;
}

const std::uint8_t *qelSigSpecPassphrase(const QELSigSpec *spec, std::uint64_t *outLength, std::uint8_t *outIsPasskey)
{
    if (outLength != nullptr)
        *outLength = spec != nullptr ? spec->passphraseLength : 0;
    if (outIsPasskey != nullptr)
        *outIsPasskey = spec != nullptr ? spec->isPasskey : 0;
    return spec != nullptr ? spec->passphrase : nullptr;
}

const std::uint8_t *qelSigSpecHashedBlock(const QELSigSpec *spec, std::uint32_t *outLength)
{
    if (outLength != nullptr)
        *outLength = 5;
    // type and the four creation octets are adjacent in the record
    static_assert(offsetof(QELSigSpec, creation) == offsetof(QELSigSpec, type) + 1);
    return spec != nullptr ? &spec->type : nullptr;
}

std::uint32_t qelSigSpecCreationTime(const QELSigSpec *spec)
{
    if (spec == nullptr)
        return 0;
    return (std::uint32_t(spec->creation[0]) << 24) | (std::uint32_t(spec->creation[1]) << 16) |
           (std::uint32_t(spec->creation[2]) << 8) | spec->creation[3];
}

QELStatus qelSigSpecSetSignerKey(QELSigSpec *spec, QELKeyObject *signer)
{
    if (spec == nullptr)
        return QELError_BadParams;
    spec->signer = signer;
    return QELError_NoErr;
}

QELStatus qelSigSpecSetType(QELSigSpec *spec, std::uint8_t type)
{
    if (spec == nullptr)
        return QELError_BadParams;
    spec->type = type;
    return QELError_NoErr;
}

QELStatus qelSigSpecSetCreation(QELSigSpec *spec, std::uint32_t time)
{
    if (spec == nullptr)
        return QELError_BadParams;
    spec->creation[0] = std::uint8_t(time >> 24);
    spec->creation[1] = std::uint8_t(time >> 16);
    spec->creation[2] = std::uint8_t(time >> 8);
    spec->creation[3] = std::uint8_t(time);
    return QELError_NoErr;
}

QELStatus qelSigSpecSetCreationTime(QELSigSpec *spec, std::uint32_t time) { return qelSigSpecSetCreation(spec, time); }

QELStatus qelSigSpecSetHashAlgorithm(QELSigSpec *spec, std::int32_t algorithm)
{
    if (spec == nullptr)
        return QELError_BadParams;
    if (qelHashDescriptorFind(algorithm) == nullptr)
        return QELError_UnknownHashAlgorithm;
    spec->hashAlgorithm = std::uint8_t(algorithm);
    return QELError_NoErr;
}

QELStatus qelSigSpecSetVersion(QELSigSpec *spec, std::uint32_t version)
{
    if (spec == nullptr)
        return QELError_BadParams;
    spec->version = version;
    if (version > 3 && spec->hashAlgorithm == 1)
        spec->hashAlgorithm = 2; // version 4 signatures are never made with MD5
    return QELError_NoErr;
}

QELStatus qelSigSpecSetPassphrase(QELSigSpec *spec, const void *passphrase, std::uint64_t length, std::uint8_t isPasskey)
{
    if (spec == nullptr || (passphrase == nullptr && length != 0) || length > (std::uint64_t{1} << 30))
        return QELError_BadParams;
    if (spec->passphrase != nullptr) {
        qelSecureWipe(spec->passphrase, std::size_t(spec->passphraseLength));
        static_cast<void>(qelMemFree(spec->passphrase)); // our own secure block
    }
    spec->passphrase = nullptr;
    spec->passphraseLength = 0;
    spec->isPasskey = 0;
    if (length != 0) {
        auto *copy = static_cast<std::uint8_t *>(
            qelMemAllocSecure(qelContextGetMemoryMgr(spec->context), std::size_t(length), 0));
        if (copy == nullptr)
            return QELError_OutOfMemory;
        std::memcpy(copy, passphrase, std::size_t(length));
        spec->passphrase = copy;
    }
    spec->passphraseLength = length;
    spec->isPasskey = isPasskey;
    return QELError_NoErr;
}

QELStatus qelSigSpecSetSigExpiration(QELSigSpec *spec, std::uint32_t flags, std::uint32_t seconds)
{
    return setBE32(spec, QELSubpacket_SigExpiration, flags, seconds);
}
QELStatus qelSigSpecSetExportable(QELSigSpec *spec, std::uint32_t flags, std::uint8_t value)
{
    return setSingle(spec, QELSubpacket_Exportable, flags, &value, 1);
}
QELStatus qelSigSpecSetTrust(QELSigSpec *spec, std::uint32_t flags, std::uint8_t depth, std::uint8_t amount)
{
    const std::uint8_t data[2] = {depth, amount};
    return setSingle(spec, QELSubpacket_Trust, flags, data, 2);
}
QELStatus qelSigSpecSetRegExp(QELSigSpec *spec, std::uint32_t flags, const char *text)
{
    if (text == nullptr)
        return QELError_BadParams;
    return setSingle(spec, QELSubpacket_RegExp, flags, text, std::strlen(text) + 1);
}
QELStatus qelSigSpecSetRevocable(QELSigSpec *spec, std::uint32_t flags, std::uint8_t value)
{
    return setSingle(spec, QELSubpacket_Revocable, flags, &value, 1);
}
QELStatus qelSigSpecSetKeyExpiration(QELSigSpec *spec, std::uint32_t flags, std::uint32_t seconds)
{
    return setBE32(spec, QELSubpacket_KeyExpiration, flags, seconds);
}
QELStatus qelSigSpecSetPrefSymmetric(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length)
{
    return setSingle(spec, QELSubpacket_PrefSymmetric, flags, data, length);
}
QELStatus qelSigSpecSetPrefCompression(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length)
{
    return setSingle(spec, QELSubpacket_PrefCompression, flags, data, length);
}
QELStatus qelSigSpecSetKeyServerPrefs(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length)
{
    return setSingle(spec, QELSubpacket_KeyServerPrefs, flags, data, length);
}
QELStatus qelSigSpecSetPrefKeyServer(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length)
{
    return setSingle(spec, QELSubpacket_PrefKeyServer, flags, data, length);
}
QELStatus qelSigSpecSetPrimaryUserID(QELSigSpec *spec, std::uint32_t flags, std::uint8_t value)
{
    return setSingle(spec, QELSubpacket_PrimaryUserID, flags, &value, 1);
}
QELStatus qelSigSpecSetKeyFlags(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length)
{
    return setSingle(spec, QELSubpacket_KeyFlags, flags, data, length);
}
QELStatus qelSigSpecAddAdditionalKey(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length)
{
    return addMulti(spec, QELSubpacket_AdditionalKey, flags, data, length);
}
QELStatus qelSigSpecAddRevocationKey(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length)
{
    return addMulti(spec, QELSubpacket_RevocationKey, flags, data, length);
}
QELStatus qelSigSpecAddRawSubpacket(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length)
{
    if (length == 0)
        return QELError_BadParams; // no room for the type octet
    return addMulti(spec, QELSigSpecTag_Raw, flags, data, length);
}

std::uint32_t qelSigSpecSigExpiration(const QELSigSpec *spec, std::uint32_t *outSeconds)
{
    return getValue(spec, QELSubpacket_SigExpiration, outSeconds);
}
std::uint32_t qelSigSpecExportable(const QELSigSpec *spec, std::uint8_t *outValue)
{
    return getValue(spec, QELSubpacket_Exportable, outValue);
}
std::uint32_t qelSigSpecTrust(const QELSigSpec *spec, std::uint8_t *outDepth, std::uint8_t *outAmount)
{
    const std::uint8_t *data = nullptr;
    std::size_t length = 0;
    std::uint32_t word = getData(spec, QELSubpacket_Trust, 0, &data, &length);
    if (outDepth != nullptr)
        *outDepth = length == 2 ? data[0] : 0;
    if (outAmount != nullptr)
        *outAmount = length == 2 ? data[1] : 0;
    return word;
}
std::uint32_t qelSigSpecRegExp(const QELSigSpec *spec, const char **outText)
{
    const std::uint8_t *data = nullptr;
    std::uint32_t word = getData(spec, QELSubpacket_RegExp, 0, &data, nullptr);
    if (outText != nullptr)
        *outText = reinterpret_cast<const char *>(data);
    return word;
}
std::uint32_t qelSigSpecRevocable(const QELSigSpec *spec, std::uint8_t *outValue)
{
    return getValue(spec, QELSubpacket_Revocable, outValue);
}
std::uint32_t qelSigSpecKeyExpiration(const QELSigSpec *spec, std::uint32_t *outSeconds)
{
    return getValue(spec, QELSubpacket_KeyExpiration, outSeconds);
}
std::uint32_t qelSigSpecPrefSymmetric(const QELSigSpec *spec, const std::uint8_t **outData, std::size_t *outLength)
{
    return getData(spec, QELSubpacket_PrefSymmetric, 0, outData, outLength);
}
std::uint32_t qelSigSpecPrefCompression(const QELSigSpec *spec, const std::uint8_t **outData, std::size_t *outLength)
{
    return getData(spec, QELSubpacket_PrefCompression, 0, outData, outLength);
}
std::uint32_t qelSigSpecKeyServerPrefs(const QELSigSpec *spec, const std::uint8_t **outData, std::size_t *outLength)
{
    return getData(spec, QELSubpacket_KeyServerPrefs, 0, outData, outLength);
}
std::uint32_t qelSigSpecPrefKeyServer(const QELSigSpec *spec, const std::uint8_t **outData, std::size_t *outLength)
{
    return getData(spec, QELSubpacket_PrefKeyServer, 0, outData, outLength);
}
std::uint32_t qelSigSpecPrimaryUserID(const QELSigSpec *spec, std::uint8_t *outValue)
{
    return getValue(spec, QELSubpacket_PrimaryUserID, outValue);
}
std::uint32_t qelSigSpecKeyFlags(const QELSigSpec *spec, const std::uint8_t **outData, std::size_t *outLength)
{
    return getData(spec, QELSubpacket_KeyFlags, 0, outData, outLength);
}
std::uint32_t qelSigSpecAdditionalKey(const QELSigSpec *spec, std::uint32_t index, const std::uint8_t **outData,
                                      std::size_t *outLength)
{
    return getData(spec, QELSubpacket_AdditionalKey, index, outData, outLength);
}
std::uint32_t qelSigSpecRevocationKey(const QELSigSpec *spec, std::uint32_t index, const std::uint8_t **outData,
                                      std::size_t *outLength)
{
    return getData(spec, QELSubpacket_RevocationKey, index, outData, outLength);
}
std::uint32_t qelSigSpecRawSubpacket(const QELSigSpec *spec, std::uint32_t index, const std::uint8_t **outData,
                                     std::size_t *outLength)
{
    return getData(spec, QELSigSpecTag_Raw, index, outData, outLength);
}

void qelSigSpecRemoveItems(QELSigSpec *spec, std::uint32_t tag)
{
    static_cast<void>(qelSigSpecRemove(spec, tag)); // the caller does not ask
}

std::uint32_t qelSigSpecRemove(QELSigSpec *spec, std::uint32_t tag)
{
    if (spec == nullptr)
        return 0;
    bool any = false;
    removeIf(spec, [&](const QELSigItem *item) {
        bool hit = std::uint32_t(item->tag) == tag;
        any = any || hit;
        return hit;
    });
    return any ? QELSigSpecPresent : 0;
}
