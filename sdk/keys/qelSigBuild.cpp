// Signature packet bodies from specifications.
//
// A version 4 body starts each area with one fixed subpacket (creation time in
// the hashed area, issuer in the unhashed one) and then writes the
// specification's items of that area in a fixed order of kinds.
#include "qelSigBuildInternal.h"

#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelKeyObjInternal.h"
#include "qelPkAlg.h"
#include "qelSigItemInternal.h"
#include "qelSigSpecInternal.h"
#include "qelWipe.h"

#include <array>
#include <cstring>

namespace {

using Bytes = std::vector<std::uint8_t>;

// The order in which the kinds are written; multi-valued kinds write every
// item, newest first.
struct KindOrder {
    std::uint8_t type;
    bool multi;
};
constexpr std::array<KindOrder, 15> kOrder = {{
    {QELSubpacket_SigExpiration, false},
    {QELSubpacket_Exportable, false},
    {QELSubpacket_Trust, false},
    {QELSubpacket_RegExp, false},
    {QELSubpacket_Revocable, false},
    {QELSubpacket_KeyExpiration, false},
    {QELSubpacket_AdditionalKey, true},
    {QELSubpacket_PrefSymmetric, false},
    {QELSubpacket_PrefCompression, false},
    {QELSubpacket_RevocationKey, true},
    {QELSubpacket_PrimaryUserID, false},
    {QELSubpacket_KeyServerPrefs, false},
    {QELSubpacket_PrefKeyServer, false},
    {QELSubpacket_KeyFlags, false},
    {QELSigSpecTag_Raw, true},
}};

// The largest data a one-octet subpacket length can describe (the length
// counts the type octet too, and stops at 191).
constexpr std::size_t kMaxShortData = 190;
constexpr std::size_t kMaxArea = 0xFFFF;

void putBE32(Bytes &out, std::uint32_t v)
{
    out.push_back(std::uint8_t(v >> 24));
    out.push_back(std::uint8_t(v >> 16));
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v));
}

std::uint8_t tagType(const QELSigItem *item) { return std::uint8_t(std::uint32_t(item->tag) & 0xFF); }
bool isUnhashed(const QELSigItem *item) { return (std::uint32_t(item->tag) & QELSigSpecFlag_Unhashed) != 0; }
bool isCritical(const QELSigItem *item) { return (std::uint32_t(item->tag) & QELSigSpecFlag_Critical) != 0; }

QELStatus writeItem(Bytes &out, const QELSigItem *item)
{
    const std::uint8_t *data = qelSigItemBytes(item);
    const std::size_t length = std::size_t(item->length);
    const std::uint8_t type = tagType(item);
    if (type == QELSigSpecTag_Raw) {
        if (length == 0 || length > 0xFFFFFFFFu)
            return QELError_PacketTooLarge;
        if (length < 192) {
            out.push_back(std::uint8_t(length));
        } else if (length <= 8383) {
            out.push_back(std::uint8_t(((length - 192) >> 8) + 192));
            out.push_back(std::uint8_t((length - 192) & 0xFF));
        } else {
            out.push_back(0xFF);
            putBE32(out, std::uint32_t(length));
        }
        out.push_back(std::uint8_t(data[0] | (isCritical(item) ? 0x80 : 0)));
        out.insert(out.end(), data + 1, data + length);
        return QELError_NoErr;
    }
    const bool time32 = type == QELSubpacket_SigExpiration || type == QELSubpacket_KeyExpiration;
    const std::size_t dataLength = time32 ? 4 : length;
    if (dataLength > kMaxShortData)
        return QELError_PacketTooLarge;
    out.push_back(std::uint8_t(dataLength + 1));
    out.push_back(std::uint8_t(type | (isCritical(item) ? 0x80 : 0)));
    if (time32) {
        std::uint32_t seconds = 0;
        if (length >= sizeof seconds)
            std::memcpy(&seconds, data, sizeof seconds);
        putBE32(out, seconds);
    } else {
        out.insert(out.end(), data, data + length);
    }
    return QELError_NoErr;
}

QELStatus writeArea(Bytes &out, const QELSigSpec *spec, bool unhashed)
{
    for (const KindOrder &kind : kOrder) {
        for (const QELSigItem *item = spec->items; item != nullptr; item = item->next) {
            if (tagType(item) != kind.type || isUnhashed(item) != unhashed)
                continue;
            if (QELStatus s = writeItem(out, item); s != QELError_NoErr)
                return s;
            if (!kind.multi)
                break; // the current item only
        }
    }
    return out.size() > kMaxArea ? QELError_PacketTooLarge : QELError_NoErr;
}

// A private copy of the caller's hash, freed on every exit.
struct HashCopy {
    explicit HashCopy(const QELHashContext *hash) : h(qelHashDuplicate(hash)) {}
    ~HashCopy()
    {
        if (h != nullptr)
            static_cast<void>(qelHashFree(h)); // a valid copy of our own
    }
    void feed(const std::uint8_t *data, std::size_t length) { h->descriptor->update(h->state, data, length); }
    QELHashContext *h;
};

} // namespace

std::size_t qelSigSpecPacketSize(const QELSigSpec *spec)
{
    if (spec == nullptr || spec->version <= 3)
        return 19;
    std::size_t size = 26;
    for (const QELSigItem *item = spec->items; item != nullptr; item = item->next) {
        const std::size_t length = std::size_t(item->length);
        switch (tagType(item)) {
        case QELSubpacket_SigExpiration:
        case QELSubpacket_KeyExpiration:
            size += 6;
            break;
        case QELSubpacket_Exportable:
        case QELSubpacket_Revocable:
        case QELSubpacket_PrimaryUserID:
            size += 3;
            break;
        case QELSubpacket_Trust:
            size += 4;
            break;
        case QELSubpacket_RegExp:
            size += length + 2; // the stored text already holds its NUL
            break;
        case QELSigSpecTag_Raw:
            size += length + 5;
            break;
        default:
            size += length + 2;
            break;
        }
    }
    return size;
}

std::int64_t qelSigSpecMakePacketWith(const QELSigSpec *spec, const QELHashContext *hash,
                                      const QELSigSigner &signer, std::uint8_t **outBody)
{
    if (outBody == nullptr)
        return QELError_BadParams;
    *outBody = nullptr;
    if (spec == nullptr || !qelHashIsValid(hash) || !signer.sign)
        return QELError_BadParams;

    try {
        HashCopy copy(hash);
        if (copy.h == nullptr)
            return QELError_OutOfMemory;
        const QELHashDescriptor *descriptor = copy.h->descriptor;
        const std::uint8_t hashAlgorithm = std::uint8_t(descriptor->algorithm);

        Bytes body;
        body.reserve(qelSigSpecPacketSize(spec) + 1024);
        if (spec->version <= 3) {
            const std::uint8_t block[5] = {spec->type, spec->creation[0], spec->creation[1], spec->creation[2],
                                           spec->creation[3]};
            copy.feed(block, sizeof block);
            body = {3, 5};
            body.insert(body.end(), block, block + 5);
            body.insert(body.end(), signer.keyID, signer.keyID + 8);
            body.push_back(signer.algorithm);
            body.push_back(hashAlgorithm);
        } else {
            body = {4, spec->type, signer.algorithm, hashAlgorithm, 0, 0};
            Bytes hashed = {5, QELSubpacket_Creation, spec->creation[0], spec->creation[1], spec->creation[2],
                            spec->creation[3]};
            if (QELStatus s = writeArea(hashed, spec, false); s != QELError_NoErr)
                return s;
            body[4] = std::uint8_t(hashed.size() >> 8);
            body[5] = std::uint8_t(hashed.size());
            body.insert(body.end(), hashed.begin(), hashed.end());
            const std::uint32_t hashedCount = std::uint32_t(body.size());
            copy.feed(body.data(), body.size());
            const std::uint8_t trailer[6] = {4, 0xFF, std::uint8_t(hashedCount >> 24), std::uint8_t(hashedCount >> 16),
                                             std::uint8_t(hashedCount >> 8), std::uint8_t(hashedCount)};
            copy.feed(trailer, sizeof trailer);

            Bytes unhashed = {9, QELSubpacket_Issuer};
            unhashed.insert(unhashed.end(), signer.keyID, signer.keyID + 8);
            if (QELStatus s = writeArea(unhashed, spec, true); s != QELError_NoErr)
                return s;
            body.push_back(std::uint8_t(unhashed.size() >> 8));
            body.push_back(std::uint8_t(unhashed.size()));
            body.insert(body.end(), unhashed.begin(), unhashed.end());
        }

        std::uint8_t digest[64] = {};
        const std::size_t digestLength = std::size_t(descriptor->digestSize);
        std::memcpy(digest, qelHashFinalPointer(copy.h), digestLength);
        body.push_back(digest[0]);
        body.push_back(digest[1]);

        Bytes material;
        QELStatus s = signer.sign(spec, hashAlgorithm, digest, digestLength, material);
        qelSecureWipe(digest, sizeof digest);
        if (s != QELError_NoErr)
            return s < 0 ? s : QELError_BadSignature;
        body.insert(body.end(), material.begin(), material.end());

        auto *out = static_cast<std::uint8_t *>(qelContextMemAlloc(spec->context, body.size(), 0));
        if (out == nullptr)
            return QELError_OutOfMemory;
        std::memcpy(out, body.data(), body.size());
        *outBody = out;
        return std::int64_t(body.size());
    } catch (...) {
        return QELError_OutOfMemory;
    }
}

std::int32_t qelSigSpecMakeOnePassWith(std::uint8_t *out, const QELSigSpec *spec, const QELSigSigner &signer,
                                       std::uint8_t nested)
{
    out[0] = 3;
    out[1] = spec->type;
    out[2] = spec->hashAlgorithm;
    out[3] = signer.algorithm;
    std::memcpy(out + 4, signer.keyID, 8);
    out[12] = nested;
    return 13;
}

QELSigSigner qelSigSignerForKey(QELKeyObject *key)
{
    QELSigSigner signer;
    QELKeyInfo *info = qelKeyObjIsValid(key) ? qelKeyObjKeyInfo(key) : nullptr;
    if (info == nullptr)
        return signer; // no signing operation: the builder refuses it
    signer.algorithm = info->algorithm;
    std::memcpy(signer.keyID, info->keyID, sizeof signer.keyID);
    signer.sign = [key](const QELSigSpec *spec, std::uint8_t hashAlgorithm, const std::uint8_t *digest,
                        std::size_t digestLength, Bytes &outMaterial) -> QELStatus {
        // Data is signed only with a key that may sign: not revoked or
        // expired, its key flags allowing it. Signatures on keys certify and
        // are made as before.
        if (spec->type < 0x10 && !qelKeyObjMayServe(key, QELKeyRole_Sign))
            return QELError_KeyUnusableForSignature;
        std::uint64_t passLength = 0;
        std::uint8_t isPasskey = 0;
        const std::uint8_t *pass = qelSigSpecPassphrase(spec, &passLength, &isPasskey);
        std::uint8_t *material = nullptr;
        std::size_t length = 0;
        QELStatus s = qelKeyObjSign(key, pass, std::size_t(passLength), isPasskey, 0, 0, hashAlgorithm, digest,
                                    digestLength, QELPkFormat_RFC4880, &material, &length);
        if (s != QELError_NoErr)
            return s;
        try {
            outMaterial.assign(material, material + length);
        } catch (...) {
            s = QELError_OutOfMemory;
        }
        static_cast<void>(qelContextMemFree(qelKeyObjContext(key), material)); // the key operation's block
        return s;
    };
    return signer;
}

std::int64_t qelSigSpecMakePacket(const QELSigSpec *spec, const QELHashContext *hash, std::uint8_t **outBody)
{
    if (outBody != nullptr)
        *outBody = nullptr;
    if (spec == nullptr || !qelKeyObjIsValid(spec->signer))
        return QELError_BadParams;
    return qelSigSpecMakePacketWith(spec, hash, qelSigSignerForKey(spec->signer), outBody);
}

std::int32_t qelSigSpecMakeOnePass(std::uint8_t *out, const QELSigSpec *spec, std::uint8_t nested)
{
    if (out == nullptr || spec == nullptr)
        return QELError_BadParams;
    return qelSigSpecMakeOnePassWith(out, spec, qelSigSignerForKey(spec->signer), nested);
}
