// Signature and one-pass signature bodies held as chained items.
//
// Body layouts (offsets from the first body byte):
//   one-pass (13 bytes, version 3): type 1, hash 2, public-key algorithm 3,
//       key ID 4..11, last flag 12;
//   version 2/3: h = byte 1, hashed block 2..h+1, key ID h+2..h+9, public-key
//       algorithm h+10, hash h+11, digest prefix h+12..h+13, MPIs from h+14;
//   version 4: version, type, public-key algorithm, hash, H (2), hashed area,
//       U (2), unhashed area, digest prefix at H+U+8, MPIs from H+U+10.
#include "qelSigItemInternal.h"

#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelKeyIDInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelMemoryInternal.h"
#include "qelPkAlgInternal.h"
#include "qelWipe.h"

#include <cstring>

namespace {

constexpr std::size_t kOnePassLength = 13;

std::uint8_t *bytesOf(QELSigItem *item) { return qelSigItemBytes(item); }

// The number of signature MPIs an algorithm's signatures carry; 0 when the
// algorithm is not one this SDK knows (then any count of at least one goes).
int expectedMPIs(std::uint8_t algorithm)
{
    switch (algorithm) {
    case 1:
    case 2:
    case 3:
        return 1; // RSA: m^d
    case 16:
    case 17:
    case 20:
        return 2; // ElGamal and DSA: r, s
    default:
        return 0;
    }
}

// The MPIs must fill the rest of the body exactly, each bit count naming
// the top bit of its first octet.
QELStatus walkMPIs(qel::ByteCursor cur, std::uint8_t algorithm)
{
    int count = 0;
    while (!cur.empty()) {
        std::uint16_t bits = 0;
        if (!cur.be16(bits))
            return QELError_TruncatedPacket;
        const bool topFits = bits == 0 || cur.empty() || (*cur.current() >> ((bits - 1) & 7)) == 1;
        if (!cur.skip((std::size_t(bits) + 7) / 8))
            return QELError_TruncatedPacket;
        if (!topFits)
            return QELError_BadSignatureMPI;
        ++count;
    }
    if (count == 0)
        return QELError_TruncatedPacket;
    int expected = expectedMPIs(algorithm);
    if (expected != 0 && count != expected)
        return QELError_BadSignatureMPI;
    return QELError_NoErr;
}

// A version 4 body: both areas well formed, the digest prefix and the MPIs
// inside the body.
QELStatus validateV4(const std::uint8_t *body, std::size_t length)
{
    qel::ByteCursor cur(body, length);
    std::uint8_t pk = 0;
    std::uint16_t hashedLength = 0, unhashedLength = 0;
    std::span<const std::uint8_t> hashed, unhashed, prefix;
    if (!cur.skip(2) || !cur.u8(pk) || !cur.skip(1) || !cur.be16(hashedLength) ||
        !cur.bytes(hashedLength, hashed))
        return QELError_TruncatedPacket;
    if (!qelSigAreaWalk(hashed, [](std::uint8_t, std::span<const std::uint8_t>) {}))
        return QELError_MalformedSubpacket;
    if (!cur.be16(unhashedLength) || !cur.bytes(unhashedLength, unhashed))
        return QELError_TruncatedPacket;
    if (!qelSigAreaWalk(unhashed, [](std::uint8_t, std::span<const std::uint8_t>) {}))
        return QELError_MalformedSubpacket;
    if (!cur.bytes(2, prefix))
        return QELError_TruncatedPacket;
    return walkMPIs(cur, pk);
}

} // namespace

bool qelSigPacketIsOnePass(const std::uint8_t *body, std::size_t length)
{
    return body != nullptr && length == kOnePassLength && body[0] == 3;
}

QELSigItem *qelSigItemNew(QELContext *context, std::int32_t tag, const void *bytes, std::uint64_t length)
{
    if (length > (std::uint64_t{1} << 32) || (bytes == nullptr && length != 0))
        return nullptr;
    auto *item = static_cast<QELSigItem *>(
        qelMemAlloc(qelContextGetMemoryMgr(context), sizeof(QELSigItem) + std::size_t(length), QELMemFlag_Clear));
    if (item == nullptr)
        return nullptr;
    item->context = context;
    item->next = nullptr;
    item->tag = tag;
    item->length = length;
    if (length != 0)
        std::memcpy(bytesOf(item), bytes, std::size_t(length));
    return item;
}

void qelSigItemFree(QELSigItem *item)
{
    if (item == nullptr)
        return;
    qelSecureWipe(item, sizeof(QELSigItem) + std::size_t(item->length));
    static_cast<void>(qelMemFree(item)); // a block of our own making
}

void qelSigItemFreeList(QELSigItem *first)
{
    while (first != nullptr) {
        QELSigItem *next = first->next;
        qelSigItemFree(first);
        first = next;
    }
}

void qelSigListFree(QELSigItem *first) { qelSigItemFreeList(first); }

QELSigItem *qelSigListNext(const QELSigItem *item) { return item != nullptr ? item->next : nullptr; }

QELStatus qelSigPacketValidate(const std::uint8_t *body, std::size_t length, std::uint8_t *outAlgorithm)
{
    if (outAlgorithm != nullptr)
        *outAlgorithm = 0;
    if (body == nullptr || length == 0)
        return QELError_TruncatedPacket;
    if (qelSigPacketIsOnePass(body, length)) {
        if (outAlgorithm != nullptr)
            *outAlgorithm = body[3];
        if (qelHashDescriptorFind(body[2]) == nullptr)
            return QELError_UnknownHashAlgorithm;
        return QELError_NoErr;
    }
    if (body[0] == 4)
        return validateV4(body, length);
    if (body[0] != 2 && body[0] != 3)
        return QELError_UnknownPacketVersion;
    if (length <= 1)
        return QELError_TruncatedPacket;
    const std::size_t h = body[1];
    if (length < h + 11)
        return QELError_TruncatedPacket;
    if (outAlgorithm != nullptr)
        *outAlgorithm = body[h + 10];
    if (length < h + 16)
        return QELError_TruncatedPacket;
    if (body[h + 10] == 1) {
        const std::size_t bits = (std::size_t(body[h + 14]) << 8) | body[h + 15];
        if (length != h + 16 + (bits + 7) / 8)
            return QELError_TruncatedPacket;
        if (bits != 0 && (body[h + 16] >> ((bits - 1) & 7)) != 1)
            return QELError_BadSignatureMPI;
    }
    return QELError_NoErr;
}

std::int32_t qelSigPacketType(const std::uint8_t *body, std::size_t length)
{
    QELStatus s = qelSigPacketValidate(body, length, nullptr);
    if (s != QELError_NoErr)
        return s;
    if (qelSigPacketIsOnePass(body, length) || body[0] == 4)
        return body[1];
    return body[1] != 0 ? std::int32_t(body[2]) : std::int32_t(QELError_MalformedSubpacket);
}

std::int32_t qelSigItemType(const QELSigItem *item)
{
    if (item == nullptr)
        return QELError_BadParams;
    return qelSigPacketType(qelSigItemBytes(item), std::size_t(item->length));
}

std::uint8_t qelSigPacketVersion(const QELSigItem *item)
{
    return (item != nullptr && item->length != 0) ? qelSigItemBytes(item)[0] : 0;
}

QELStatus qelSigPacketLayout(const std::uint8_t *body, std::size_t length, QELSigBodyLayout *out)
{
    *out = {};
    qel::ByteCursor cur(body, length);
    std::uint8_t version = 0;
    if (!cur.u8(version))
        return QELError_TruncatedPacket;
    if (version == 4) {
        std::uint16_t h = 0, u = 0;
        if (!cur.skip(1) || !cur.u8(out->publicKeyAlgorithm) || !cur.u8(out->hashAlgorithm) ||
            !cur.be16(h) || !cur.skip(h) || !cur.be16(u) || !cur.skip(u))
            return QELError_TruncatedPacket;
        out->prefixOffset = cur.offset();
    } else {
        std::uint8_t h = 0;
        if (!cur.u8(h) || !cur.skip(std::size_t(h) + 8) || !cur.u8(out->publicKeyAlgorithm) ||
            !cur.u8(out->hashAlgorithm))
            return QELError_TruncatedPacket;
        out->prefixOffset = cur.offset();
    }
    if (!cur.skip(2))
        return QELError_TruncatedPacket;
    out->mpiOffset = cur.offset();
    return QELError_NoErr;
}

const std::uint8_t *qelSigPacketHashedData(const QELSigItem *item, std::size_t *outLength)
{
    *outLength = 0;
    if (item == nullptr || item->length < 2)
        return nullptr;
    const std::uint8_t *body = qelSigItemBytes(item);
    const std::size_t length = std::size_t(item->length);
    if (qelSigPacketIsOnePass(body, length))
        return nullptr;
    if (body[0] == 4) {
        if (length < 6)
            return nullptr;
        const std::size_t h = (std::size_t(body[4]) << 8) | body[5];
        if (h + 6 > length)
            return nullptr;
        *outLength = h + 6;
        return body;
    }
    const std::size_t h = body[1];
    if (h + 2 > length)
        return nullptr;
    *outLength = h;
    return body + 2;
}

std::uint8_t qelSigPacketHashAlgorithm(const std::uint8_t *body, std::size_t length)
{
    if (body == nullptr || length < 4)
        return 0;
    if (qelSigPacketIsOnePass(body, length))
        return body[2];
    if (body[0] == 4)
        return body[3];
    const std::size_t h = body[1];
    return h + 11 < length ? body[h + 11] : 0;
}

const QELHashDescriptor *qelSigPacketHashDescriptor(const QELSigItem *item)
{
    if (item == nullptr)
        return nullptr;
    return qelHashDescriptorFind(qelSigPacketHashAlgorithm(qelSigItemBytes(item), std::size_t(item->length)));
}

std::uint8_t qelSigItemPublicKeyAlgorithm(const QELSigItem *item)
{
    if (item == nullptr || item->length < 4)
        return 0;
    const std::uint8_t *body = qelSigItemBytes(item);
    const std::size_t length = std::size_t(item->length);
    if (qelSigPacketIsOnePass(body, length))
        return body[3];
    if (body[0] == 4)
        return body[2];
    const std::size_t h = body[1];
    return h + 10 < length ? body[h + 10] : 0;
}

std::int32_t qelSigListCountHashAlgorithms(const QELSigItem *first)
{
    std::uint8_t ids[256];
    return qelSigListHashAlgorithms(first, ids);
}

std::int32_t qelSigListHashAlgorithms(const QELSigItem *first, std::uint8_t *out)
{
    bool seen[256] = {};
    std::int32_t count = 0;
    for (const QELSigItem *item = first; item != nullptr; item = item->next) {
        std::uint8_t id = qelSigPacketHashAlgorithm(qelSigItemBytes(item), std::size_t(item->length));
        if (seen[id])
            continue;
        seen[id] = true;
        out[count++] = id;
    }
    return count;
}

std::uint8_t qelSigPacketOnePassLast(const std::uint8_t *body, std::size_t length)
{
    return qelSigPacketIsOnePass(body, length) ? body[12] : 1;
}

namespace {

// The fields by which a signature is paired with its one-pass header.
struct PairingFields {
    std::uint8_t type = 0;
    std::uint8_t hash = 0;
    std::uint8_t publicKey = 0;
    std::uint8_t keyID[8] = {};
};

// Fields of a validated signature body (not a one-pass one).
QELStatus pairingFields(const std::uint8_t *body, std::size_t length, PairingFields &out)
{
    if (body[0] == 3) {
        if (body[1] != 5)
            return QELError_BadSignatureType;
        out.type = body[2];
        std::memcpy(out.keyID, body + 7, 8);
        out.publicKey = body[15];
        out.hash = body[16];
        return QELError_NoErr;
    }
    if (body[0] == 2) {
        const std::size_t h = body[1];
        if (h == 0)
            return QELError_MalformedSubpacket;
        out.type = body[2];
        std::memcpy(out.keyID, body + h + 2, 8);
        out.publicKey = body[h + 10];
        out.hash = body[h + 11];
        return QELError_NoErr;
    }
    // Version 4: the issuer subpacket, hashed area first.
    out.type = body[1];
    out.publicKey = body[2];
    out.hash = body[3];
    bool found = false;
    auto take = [&](std::uint8_t type, std::span<const std::uint8_t> data) {
        if (!found && (type & 0x7F) == 16 && data.size() == 8) {
            std::memcpy(out.keyID, data.data(), 8);
            found = true;
        }
    };
    qel::ByteCursor cur(body, length);
    std::uint16_t h = 0, u = 0;
    std::span<const std::uint8_t> hashed, unhashed;
    if (!cur.skip(4) || !cur.be16(h) || !cur.bytes(h, hashed) || !cur.be16(u) || !cur.bytes(u, unhashed) ||
        !qelSigAreaWalk(hashed, take) || !qelSigAreaWalk(unhashed, take))
        return QELError_MalformedSubpacket;
    return found ? QELError_NoErr : QELError_BadSignatureType;
}

} // namespace

QELStatus qelSigListAddPacket(QELContext *context, QELSigItem **head, std::int32_t annotation,
                              const std::uint8_t *body, std::size_t length)
{
    if (head == nullptr)
        return QELError_BadParams;
    if (annotation == QELAnnotation_SignaturePacket) {
        std::uint8_t algorithm = 0;
        QELStatus s = qelSigPacketValidate(body, length, &algorithm);
        if (s != QELError_NoErr)
            return s;
        QELSigItem *item = qelSigItemNew(context, algorithm, body, length);
        if (item == nullptr)
            return QELError_OutOfMemory;
        QELSigItem **tail = head;
        while (*tail != nullptr)
            tail = &(*tail)->next;
        *tail = item;
        return QELError_NoErr;
    }
    if (annotation != QELAnnotation_SignedPacketBody)
        return QELError_BadSignatureType;

    if (qelSigPacketIsOnePass(body, length))
        return QELError_BadSignatureType;
    std::uint8_t algorithm = 0;
    QELStatus s = qelSigPacketValidate(body, length, &algorithm);
    if (s != QELError_NoErr)
        return s;
    PairingFields f;
    s = pairingFields(body, length, f);
    if (s != QELError_NoErr)
        return s;
    for (QELSigItem **at = head; *at != nullptr; at = &(*at)->next) {
        QELSigItem *onePass = *at;
        const std::uint8_t *p = qelSigItemBytes(onePass);
        if (!qelSigPacketIsOnePass(p, std::size_t(onePass->length)))
            continue;
        if (p[1] != f.type || p[2] != f.hash || p[3] != f.publicKey || std::memcmp(p + 4, f.keyID, 8) != 0)
            continue;
        QELSigItem *item = qelSigItemNew(context, f.publicKey, body, length);
        if (item == nullptr)
            return QELError_OutOfMemory;
        item->next = onePass->next;
        *at = item;
        qelSigItemFree(onePass);
        return QELError_NoErr;
    }
    return QELError_BadSignatureType;
}

std::int32_t qelSigPacketVerifyWithPublic(const std::uint8_t *body, std::size_t length, QELPublicKeyObject *key,
                                          const std::uint8_t *digest)
{
    if (body == nullptr || key == nullptr || digest == nullptr)
        return QELError_BadParams;
    QELSigBodyLayout layout;
    if (QELStatus s = qelSigPacketLayout(body, length, &layout); s != QELError_NoErr)
        return s;
    if (body[layout.prefixOffset] != digest[0] || body[layout.prefixOffset + 1] != digest[1])
        return 0;
    const QELHashDescriptor *hash = qelHashDescriptorFind(layout.hashAlgorithm);
    if (hash == nullptr)
        return QELError_UnknownHashAlgorithm;
    return key->verify(key, body + layout.mpiOffset, length - layout.mpiOffset, hash, digest,
                       std::size_t(hash->digestSize), 1);
}

namespace {

// The public-key operation object of a key's own material (a secret packet's
// public numbers).
QELPublicKeyObject *publicOf(QELKeyObject *key, QELStatus *outStatus)
{
    std::size_t length = 0;
    const std::uint8_t *packet = qelKeyObjRawPacket(key, &length);
    const std::size_t end = packet != nullptr ? qelKeyPacketPublicLength(packet, length) : 0;
    std::size_t materialLength = 0;
    const std::uint8_t *material = packet != nullptr ? qelKeyPacketMaterial(packet, length, &materialLength) : nullptr;
    if (material == nullptr || end == 0 || end > length || packet + end <= material) {
        *outStatus = QELError_BadAlgorithmData;
        return nullptr;
    }
    QELPublicKeyObject *pub = qelPublicKeyObjectFromData(qelKeyObjContext(key), material[-1], material,
                                                         std::size_t(packet + end - material), outStatus);
    if (pub != nullptr)
        std::memcpy(pub->keyID, qelKeyObjKeyInfo(key)->keyID, 8);
    return pub;
}

} // namespace

QELSigPublicCache::~QELSigPublicCache()
{
    for (Entry &e : entries_)
        if (e.key != nullptr)
            static_cast<void>(e.key->destroy(e.key)); // releasing our own object
}

QELPublicKeyObject *QELSigPublicCache::get(QELKeyObject *signer, QELStatus *outStatus)
{
    *outStatus = QELError_NoErr;
    for (const Entry &e : entries_)
        if (e.signer == signer && e.key != nullptr)
            return e.key;
    QELPublicKeyObject *key = publicOf(signer, outStatus);
    if (key == nullptr)
        return nullptr;
    Entry &slot = entries_[next_];
    next_ = (next_ + 1) % kSize;
    if (slot.key != nullptr)
        static_cast<void>(slot.key->destroy(slot.key)); // the oldest makes room
    slot = {signer, key};
    return key;
}

std::int32_t qelSigPacketVerify(const std::uint8_t *body, std::size_t length, QELKeyObject *signer,
                                const std::uint8_t *digest, QELSigPublicCache *cache)
{
    if (body == nullptr || digest == nullptr || !qelKeyObjIsValid(signer) ||
        (qelKeyObjType(signer) != QELObjectType_Key && qelKeyObjType(signer) != QELObjectType_SubKey))
        return QELError_BadParams;
    QELSigBodyLayout layout;
    if (QELStatus s = qelSigPacketLayout(body, length, &layout); s != QELError_NoErr)
        return s;
    if (body[layout.prefixOffset] != digest[0] || body[layout.prefixOffset + 1] != digest[1])
        return 0;
    if (!(qelPkAlgGetUsage(qelPkAlgFind(qelKeyObjKeyInfo(signer)->algorithm)) & QELPkUsage_Sign))
        return QELError_KeyUnusableForSignature;
    QELStatus status = QELError_NoErr;
    QELPublicKeyObject *pub = cache != nullptr ? cache->get(signer, &status) : publicOf(signer, &status);
    if (pub == nullptr)
        return status != QELError_NoErr ? status : QELError_OutOfMemory;
    const std::int32_t r = qelSigPacketVerifyWithPublic(body, length, pub, digest);
    if (cache == nullptr)
        static_cast<void>(pub->destroy(pub)); // releasing our own object
    return r;
}

std::int32_t qelSigItemVerify(const QELSigItem *item, QELKeyObject *signer, const std::uint8_t *digest)
{
    if (item == nullptr)
        return QELError_BadParams;
    return qelSigPacketVerify(qelSigItemBytes(item), std::size_t(item->length), signer, digest);
}

std::uint32_t qelSigItemCreationTime(const QELSigItem *item)
{
    if (item == nullptr)
        return 0;
    const std::uint8_t *body = qelSigItemBytes(item);
    const std::size_t length = std::size_t(item->length);
    if (qelSigPacketValidate(body, length, nullptr) != QELError_NoErr || qelSigPacketIsOnePass(body, length))
        return 0;
    if (body[0] != 4) {
        const std::size_t h = body[1];
        return h > 4 ? (std::uint32_t(body[3]) << 24) | (std::uint32_t(body[4]) << 16) |
                           (std::uint32_t(body[5]) << 8) | body[6]
                     : 0;
    }
    QELSigPacketInfo info;
    if (qelSigPacketParse(body, length, true, QELSigWant_Creation, &info) != QELError_NoErr)
        return 0;
    return info.creation;
}

QELStatus qelSigItemSignerKeyID(const QELSigItem *item, QELKeyID *outID)
{
    if (outID != nullptr)
        *outID = QELKeyID{};
    if (item == nullptr || outID == nullptr)
        return QELError_BadParams;
    const std::uint8_t *body = qelSigItemBytes(item);
    const std::size_t length = std::size_t(item->length);
    if (QELStatus s = qelSigPacketValidate(body, length, nullptr); s != QELError_NoErr)
        return s;
    if (qelSigPacketIsOnePass(body, length))
        return qelKeyIDFromBytes(body + 4, 255, 8, outID);
    if (body[0] != 4)
        return qelKeyIDFromBytes(body + std::size_t(body[1]) + 2, 255, 8, outID);
    QELSigPacketInfo info;
    if (QELStatus s = qelSigPacketParse(body, length, true, QELSigWant_KeyID, &info); s != QELError_NoErr)
        return s;
    return qelKeyIDFromBytes(info.keyID, 255, 8, outID);
}
