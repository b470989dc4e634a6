// Key-ring reading and the packet writers of the key code.
#include "qelKeyIOInternal.h"

#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyEditInternal.h"
#include "qelKeyGenParamsInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeySigInternal.h"
#include "qelMemoryInternal.h"
#include "qelPkAlgInternal.h"
#include "qelSeams.h"
#include "qelSigSpecInternal.h"
#include "qelTrustPropInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::int64_t kLargeRing = std::int64_t(1) << 20;
constexpr std::uint32_t kLargeRingChunk = (std::uint32_t(2) << 20) - QELMemBlockHeaderSize;

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// Trust packets restore the computed state of the object before them.
void applyTrust(QELKeyDB *db, QELKeyObject *node, const u8 *body, std::size_t n)
{
    if (n == 0)
        return;
    u8 t = body[0];
    switch (qelKeyObjType(node)) {
    case QELObjectType_UserID: {
        QELSettings *settings = qelContextGetSettings(db->context);
        QELUserIDInfo *ui = qelKeyObjUserIDInfo(node);
        u8 validity = (t & 3) == 3 ? qelTrustCompleteValue(settings)
                      : (t & 3) == 2 ? qelTrustMarginalValue(settings) : 0;
        QELKeyObject *key = qelKeyObjTopKey(node);
        u8 value = qelTrustLevelToValue(settings, key ? qelKeyObjOwnerTrustLevel(key) : 0);
        if (n > 1) validity = body[1];
        if (n > 2) value = body[2];
        ui->nameTrust = t;
        ui->validity = validity;
        ui->ownerTrust = value;
        ui->confidence = validity < 253 ? std::uint16_t(validity * 64) : validity == 255 ? 0xFFFF : 0;
        break;
    }
    case QELObjectType_CRL: qelKeyObjCRLInfo(node)->state = t; break;
    case QELObjectType_Other: qelKeyObjOtherInfo(node)->trust = t; break;
    case QELObjectType_Key: case QELObjectType_SubKey: qelKeyObjKeyInfo(node)->trust = t; break;
    case QELObjectType_Signature: {
        qelKeyObjSigInfo(node)->state = t;
        if ((t & 0x40) == 0 || (t & 0x10) != 0 || !qelSigIsSelfSig(node))
            break;
        // The newest valid self-signature read so far decides the expiry.
        for (QELKeyObject *p = static_cast<QELKeyObject *>(node->parent); qelKeyObjIsValid(p);
             p = static_cast<QELKeyObject *>(p->parent)) {
            int type = qelKeyObjType(p);
            if (type == QELObjectType_Key || type == QELObjectType_SubKey) {
                qelKeySigUpdateValidity(p);
                break;
            }
        }
        break;
    }
    default: break;
    }
}

} // namespace

QELStatus qelKeyRingRead(QELKeyDB *db, QELFileObject *file, bool trusted)
{
    std::int64_t inputEnd = qelPacketInputEnd(file);
    // A large ring fills its objects' pool in chunks that, with the block
    // header, are 2 MiB: the memory manager maps those on huge pages, which
    // spares most of the page faults of filling them.
    if (inputEnd >= kLargeRing && db->objectPool.chunkSize < kLargeRingChunk)
        db->objectPool.chunkSize = kLargeRingChunk;
    // The key-ID index sized once for the keys such a ring can hold (a key
    // or subkey with its binding takes some 256 octets at the least); a
    // ring of more keys still grows it, and so it does when this fails.
    if (inputEnd > 0)
        static_cast<void>(qelKeyIDIndexReserve(db, std::size_t(std::min<std::int64_t>(inputEnd / 256, 1 << 20))));
    const bool fromSecretRing = db->secretFile != nullptr && file == db->secretFile;

    QELContext *context = db->context;
    u8 *buffer = nullptr;
    std::size_t capacity = 0;
    QELStatus status = QELError_NoErr;
    // The current key, the node signatures attach to, and the node a trust
    // packet speaks for. A key block the builders cannot use is kept whole
    // under `kept`, as read.
    QELKeyObject *key = nullptr, *target = nullptr, *last = nullptr, *kept = nullptr;
    for (;;) {
        u64 total = 0, firstChunk = 0;
        int tag = qelPacketReadHeader(file, &total, &firstChunk, nullptr, QELPacketMaxBody, inputEnd);
        if (tag <= 0) {
            status = tag; // 0 at a clean end
            break;
        }
        u8 firstOctet = u8(tag);
        std::size_t h = qelPacketHeaderSizeFor(firstOctet, total);
        if (h == 0) {
            status = QELError_BadPacketFormat;
            break;
        }
        std::size_t need = h + std::size_t(total);
        if (need > capacity) {
            void *grown = buffer;
            if (qelContextMemRealloc(context, &grown, need, 0) != QELError_NoErr) {
                status = QELError_OutOfMemory;
                break;
            }
            buffer = static_cast<u8 *>(grown);
            capacity = need;
        }
        // The header is written again with its first octet: the same octets
        // for the lengths rings hold; partial lengths are joined.
        std::size_t written = qelPacketWriteHeader(buffer, firstOctet, total);
        if (qelPacketReadBody(buffer + written, total, firstChunk, file) != total) {
            status = QELError_EOF;
            break;
        }
        std::size_t length = written + std::size_t(total);
        QELStatus built = QELError_NoErr;
        auto keep = [&](QELKeyObject *parent) {
            return qelKeyDBAddOpaquePacket(db, parent, buffer, length, fromSecretRing, &built);
        };
        // A packet the builders do not take is kept where it stands.
        auto add = [&](QELKeyObject *parent) {
            if (qelKeyObjIsOpaque(parent))
                return keep(parent);
            QELKeyObject *node = qelKeyDBAddPacket(buffer, length, db, parent, trusted, &built);
            return node != nullptr || built != QELError_NoErr ? node : keep(parent);
        };
        const int t = qelPacketTag(firstOctet);
        if (t == 5 || t == 6) {
            if (key != nullptr)
                qelKeyRingFinishKey(key);
            key = qelKeyDBAddPacket(buffer, length, db, nullptr, trusted, &built);
            kept = nullptr;
            if (key != nullptr && qelKeyObjType(key) != QELObjectType_Key)
                key = nullptr;
            if (key == nullptr && built == QELError_NoErr)
                kept = keep(nullptr);
            target = last = key != nullptr ? key : kept;
        } else if (kept != nullptr) {
            last = keep(kept);
        } else if (key == nullptr) {
            // Before the first key: kept at the top level, in its place.
            last = keep(nullptr);
        } else {
            switch (t) {
            case 7: case 13: case 14: case 17:
                last = target = add(key);
                break;
            case 60:
                if (!qelKeyObjIsOpaque(target) && qelKeyObjType(target) != QELObjectType_SubKey)
                    target = key;
                last = add(target);
                break;
            case 12:
                if (qelKeyObjIsOpaque(last))
                    last = keep(qelKeyObjIsKeyDBRecord(last->parent) ? nullptr
                                                                    : static_cast<QELKeyObject *>(last->parent));
                else if (trusted && last != nullptr)
                    applyTrust(db, last, buffer + written, std::size_t(total));
                break;
            default:
                last = add(target);
                break;
            }
        }
        if (built != QELError_NoErr) {
            status = built;
            break;
        }
    }
    if (buffer != nullptr)
        static_cast<void>(qelContextMemFree(context, buffer)); // our own block
    if (key != nullptr)
        qelKeyRingFinishKey(key);
    return status;
}

namespace {
// Does a revocation-key subpacket of the self-signature name the revoker?
bool designates(QELKeyObject *selfSig, QELKeyObject *revoker)
{
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(selfSig, &length);
    QELKeyInfo *ri = qelKeyObjKeyInfo(revoker);
    for (u32 i = 0;; ++i) {
        u32 n = 0;
        const u8 *d = qelSigSubpacketFind(packet, length, 12, i, &n, nullptr, nullptr, nullptr, nullptr);
        if (d == nullptr)
            return false;
        if (n >= 22 && d[1] == ri->algorithm && std::memcmp(d + 14, ri->keyID, 8) == 0)
            return true;
    }
}
} // namespace

void qelKeyRingFinishKey(QELKeyObject *key)
{
    if (!qelKeyObjIsLive(key) || qelKeyObjType(key) != QELObjectType_Key)
        return;
    QELKeyDB *db = qelKeyObjKeyDB(key);
    for (QELKeyObject *rev = key->firstChild; rev; rev = rev->next) {
        if (!qelKeyObjIsLive(rev) || qelKeyObjType(rev) != QELObjectType_Signature)
            continue;
        QELSigInfo *ri = qelKeyObjSigInfo(rev);
        if (ri->type != 0x20 || ri->signer == nullptr || ri->signer == key)
            continue;
        bool designated = false, undecided = false;
        for (QELKeyObject *c = key->firstChild; c && !designated && !undecided; c = c->next) {
            if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_Signature)
                continue;
            QELSigInfo *ci = qelKeyObjSigInfo(c);
            if (ci->type != 0x1F || ci->signer != key || !designates(c, ri->signer))
                continue;
            if (!qelSigIsChecked(c))
                static_cast<void>(qelKeySigCheckOne(db, c, nullptr, false, false, nullptr, nullptr,
                                                    nullptr)); // the state tells
            if (!qelSigIsChecked(c))
                undecided = true; // cannot be checked here: keep the revocation
            else if (qelSigIsValid(c))
                designated = true;
        }
        if (undecided)
            continue;
        if (!designated) {
            static_cast<void>(qelKeyObjMarkDeleted(rev)); // always 0
            continue;
        }
        QELKeyID id{};
        qelKeyObjGetKeyID(ri->signer, nullptr, &id);
        std::lock_guard lock(qelKeyDBLock()); // the housekeeping pass may close a kept database
        for (QELKeyDB *other = qelContextGetKeyDBList(db->context); other; other = other->next) {
            QELKeyObject *found = nullptr;
            if (qelKeyDBFindKeyByID(other, &id, false, false, &found) != QELError_NoErr)
                continue;
            if (!qelSigIsChecked(rev))
                static_cast<void>(qelKeySigCheckOne(db, rev, other == db ? nullptr : other, false, false,
                                                          nullptr, nullptr, nullptr));
            if (qelSigIsCheckedInvalid(rev))
                static_cast<void>(qelKeyObjMarkDeleted(rev)); // always 0
            break;
        }
    }
}

QELKeyObject *qelKeyDBAddPacketBody(QELKeyDB *db, QELKeyObject *parent, u8 first, const u8 *body,
                                    std::size_t length)
{
    std::size_t h = qelPacketHeaderSizeFor(first, length);
    if (h == 0 || h + u64(length) > QELPacketMaxWritten) {
        db->lastError = QELError_PacketTooLarge;
        return nullptr;
    }
    auto *packet = static_cast<u8 *>(qelContextMemAlloc(db->context, h + length, 0));
    if (packet == nullptr) {
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    }
    std::size_t w = qelPacketWriteHeader(packet, first, length);
    if (length)
        std::memcpy(packet + w, body, length);
    QELStatus status = 0;
    QELKeyObject *node = qelKeyDBAddPacket(packet, w + length, db, parent, true, &status);
    static_cast<void>(qelContextMemFree(db->context, packet)); // our own block
    return node;
}

QELKeyObject *qelKeyDBAddSignatureBody(QELKeyDB *db, QELKeyObject *parent, const u8 *body,
                                       std::size_t length)
{
    return qelKeyDBAddPacketBody(db, parent, 0x89, body, length);
}

QELKeyObject *qelKeyDBAddUserIDBody(QELKeyDB *db, QELKeyObject *parent, const u8 *body,
                                    std::size_t length)
{
    return qelKeyDBAddPacketBody(db, parent, 0xB4, body, length);
}

QELKeyObject *qelKeyDBAddCRLBody(QELKeyDB *db, QELKeyObject *parent, const u8 *body,
                                 std::size_t length)
{
    return qelKeyDBAddPacketBody(db, parent, 0xFC, body, length);
}

QELKeyObject *qelKeyDBAddUserAttribute(QELKeyDB *db, QELKeyObject *parent, u8 type, const u8 *data,
                                       std::size_t length)
{
    if (u64(length) + 6 > QELPacketMaxWritten) {
        db->lastError = QELError_PacketTooLarge;
        return nullptr;
    }
    auto *body = static_cast<u8 *>(qelContextMemAlloc(db->context, length + 6, 0));
    if (body == nullptr) {
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    }
    u32 n = u32(length + 1);
    body[0] = 0xFF;
    body[1] = u8(n >> 24);
    body[2] = u8(n >> 16);
    body[3] = u8(n >> 8);
    body[4] = u8(n);
    body[5] = type;
    if (length)
        std::memcpy(body + 6, data, length);
    QELKeyObject *node = qelKeyDBAddPacketBody(db, parent, 0xD1, body, length + 6);
    static_cast<void>(qelContextMemFree(db->context, body)); // our own block
    return node;
}

QELKeyObject *qelKeyAddUserIDPacket(QELKeyObject *key, const u8 *text, std::size_t length)
{
    if (!qelKeyObjIsKey(key) || (text == nullptr && length != 0))
        return nullptr;
    return qelKeyDBAddUserIDBody(qelKeyObjKeyDB(key), key, text, length);
}

QELKeyObject *qelKeyAddUserAttributePacket(QELKeyObject *key, u8 type, const u8 *data, std::size_t length)
{
    if (!qelKeyObjIsKey(key) || (data == nullptr && length != 0))
        return nullptr;
    return qelKeyDBAddUserAttribute(qelKeyObjKeyDB(key), key, type, data, length);
}

u32 qelSigVersionFor(u32 version, u8 type, bool onKey, u8 signerAlgorithm, u8 hashAlgorithm, u8 holderAlgorithm)
{
    if (version > 3 || (type == 0x20 && onKey))
        return version;
    // Version 3 stays only for RSA over RSA with MD5, SHA-1 or RIPEMD-160.
    return signerAlgorithm > 1 || hashAlgorithm > 3 || holderAlgorithm > 1 ? 4 : version;
}

QELStatus qelKeyObjAddSignature(QELKeyObject *node, QELSigSpec *spec)
{
    if (!qelKeyObjIsValid(node) || spec == nullptr || !qelKeyObjIsValid(qelSigSpecSignerKey(spec)))
        return QELError_BadParams;
    QELKeyDB *db = qelKeyObjKeyDB(node);
    QELKeyObject *holder = qelKeyObjTopKey(node);
    if (db == nullptr || holder == nullptr)
        return QELError_BadParams;
    const u32 version = qelSigVersionFor(qelSigSpecVersion(spec), qelSigSpecType(spec), qelKeyObjIsKey(node),
                                         qelKeyObjKeyInfo(qelSigSpecSignerKey(spec))->algorithm,
                                         qelSigSpecHashAlgorithm(spec), qelKeyObjKeyInfo(holder)->algorithm);
    if (version != qelSigSpecVersion(spec))
        static_cast<void>(qelSigSpecSetVersion(spec, version)); // cannot fail on a valid specification

    u8 *body = nullptr;
    const std::int64_t n = qelKeySigSignKeyMaterial(node, spec, &body);
    if (n < 0)
        return QELStatus(n);
    if (n == 0 || body == nullptr)
        return QELError_OutOfMemory;
    db->lastError = QELError_NoErr;
    QELKeyObject *sig = qelKeyDBAddSignatureBody(db, node, body, std::size_t(n));
    static_cast<void>(qelContextMemFree(qelSigSpecContext(spec), body)); // the builder's block, ours now
    if (sig == nullptr)
        return db->lastError != QELError_NoErr ? db->lastError : QELError_OutOfMemory;
    // Made here with the signer's own secret: checked and good, at the level
    // a signature of our own making gets.
    constexpr u8 kOwnLevel = 0x06;
    qelKeyObjSigInfo(sig)->state = QELSigState_Checked | QELSigState_Valid | kOwnLevel;
    return QELError_NoErr;
}

u8 *qelKeyObjPublicPacket(QELKeyObject *key, std::size_t *outLength)
{
    *outLength = 0;
    QELContext *context = qelKeyObjContext(key);
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(key, &length);
    if (packet == nullptr || context == nullptr)
        return nullptr;
    int tag = qelPacketTag(packet[0]);
    if (tag != 5 && tag != 7) {
        auto *copy = static_cast<u8 *>(qelContextMemAllocCopy(context, length, 0, packet));
        if (copy != nullptr)
            *outLength = length;
        return copy;
    }
    std::size_t end = qelKeyPacketPublicLength(packet, length);
    std::size_t h = qelPacketHeaderSize(packet, length);
    if (end <= h)
        return nullptr;
    std::size_t body = end - h;
    u8 first = tag == 5 ? 0x99 : 0xB9;
    std::size_t nh = qelPacketHeaderSizeFor(first, body);
    auto *out = static_cast<u8 *>(qelContextMemAlloc(context, nh + body, 0));
    if (out == nullptr)
        return nullptr;
    std::size_t w = qelPacketWriteHeader(out, first, body);
    std::memcpy(out + w, packet + h, body);
    if (qelKeyObjKeyInfo(key)->infoFlags & QELKeyInfo_PublicV2)
        out[w] = 2;
    *outLength = w + body;
    return out;
}

// ---- generated key packets ---------------------------------------------------------------------

namespace {

// A context block for a packet that may hold secret material: wiped before
// it goes back.
struct PacketBuffer {
    QELContext *context;
    u8 *bytes = nullptr;
    std::size_t length = 0;
    PacketBuffer(QELContext *c, std::size_t n)
        : context(c), bytes(static_cast<u8 *>(qelContextMemAlloc(c, n, 0))), length(n)
    {
    }
    PacketBuffer(const PacketBuffer &) = delete;
    PacketBuffer &operator=(const PacketBuffer &) = delete;
    ~PacketBuffer()
    {
        if (bytes == nullptr)
            return;
        qelSecureWipe(bytes, length);
        static_cast<void>(qelContextMemFree(context, bytes)); // our own block
    }
};

// Header size for a body behind that first octet, or 0 when the whole packet
// would pass the cap.
std::size_t cappedHeaderSize(u8 first, std::size_t body)
{
    const std::size_t h = qelPacketHeaderSizeFor(first, body);
    return h == 0 || h + u64(body) > QELPacketMaxWritten ? 0 : h;
}

} // namespace

QELKeyObject *qelKeyDBAddGeneratedKeyPacket(QELKeyDB *db, QELKeyObject *parent, bool secret,
                                            QELPublicKeyObject *publicKey, QELSecretKeyObject *secretKey,
                                            const QELKeyGenParams *params, u8 algorithm)
{
    if (db == nullptr)
        return nullptr;
    if (params == nullptr || (secret ? secretKey == nullptr : publicKey == nullptr)) {
        db->lastError = QELError_BadParams;
        return nullptr;
    }
    const std::size_t offset = qelKeyGenParamsMaterialOffset(params);
    const std::size_t material = secret ? secretKey->secretDataLength(secretKey) : publicKey->exportedSize(publicKey);
    const u8 first = secret ? (parent ? 0x9D : 0x95) : (parent ? 0xB9 : 0x99);
    const std::size_t body = offset + material;
    const std::size_t h = cappedHeaderSize(first, body);
    if (h == 0) {
        db->lastError = QELError_PacketTooLarge;
        return nullptr;
    }
    PacketBuffer packet(db->context, h + body);
    if (packet.bytes == nullptr) {
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    }
    const std::size_t w = qelPacketWriteHeader(packet.bytes, first, body);
    qelKeyGenParamsWritePrefix(packet.bytes + w, params, algorithm);
    if (secret)
        secretKey->exportSecretData(secretKey, packet.bytes + w + offset);
    else
        publicKey->exportPublic(publicKey, packet.bytes + w + offset);
    QELStatus status = QELError_NoErr;
    QELKeyObject *node = qelKeyDBAddPacket(packet.bytes, w + body, db, parent, true, &status);
    if (node == nullptr && status != QELError_NoErr)
        db->lastError = status;
    return node;
}

QELStatus qelKeyObjRebuildSecretPacket(QELKeyObject *key, QELSecretKeyObject *secretKey)
{
    if (!qelKeyObjIsValid(key) || secretKey == nullptr)
        return QELError_BadParams;
    const int type = qelKeyObjType(key);
    if (type != QELObjectType_Key && type != QELObjectType_SubKey)
        return QELError_BadParams;
    if (qelKeyObjIsOnToken(key))
        return QELError_NoErr;
    QELKeyDB *db = qelKeyObjKeyDB(key);
    std::size_t length = 0;
    const u8 *old = qelKeyObjRawPacket(key, &length);
    if (db == nullptr || old == nullptr)
        return QELError_BadParams;
    // Only a secret packet takes secret material; a public one would come out
    // as a packet no reader could parse.
    const int tag = qelPacketTag(old[0]);
    const std::size_t oldHeader = qelPacketHeaderSize(old, length);
    if ((tag != 5 && tag != 7) || oldHeader == 0 || oldHeader >= length)
        return QELError_BadParams;
    const std::size_t fields = old[oldHeader] == 4 ? 6 : 8;
    if (length - oldHeader < fields)
        return QELError_BadParams;

    const std::size_t body = fields + secretKey->secretDataLength(secretKey);
    const std::size_t h = cappedHeaderSize(old[0], body);
    if (h == 0)
        return QELError_PacketTooLarge;
    PacketBuffer packet(db->context, h + body);
    if (packet.bytes == nullptr)
        return QELError_OutOfMemory;
    const std::size_t w = qelPacketWriteHeader(packet.bytes, old[0], body);
    std::memcpy(packet.bytes + w, old + oldHeader, fields);
    secretKey->exportSecretData(secretKey, packet.bytes + w + fields);
    return qelKeyObjReplacePacket(key, packet.bytes, w + body);
}

// ---- generated keys with their self-signatures -------------------------------------------------

namespace {

using OwnedSpec = qel::Owned<QELSigSpec, +[](QELSigSpec *spec) {
    qelSigSpecFreeList(spec);
    return QELError_NoErr;
}>;

using PublicKey = qel::Owned<QELPublicKeyObject, +[](QELPublicKeyObject *k) { return k->destroy(k); }>;

// The key or subkey packet of a new key: the secret packet, or for a key
// the token holds the public packet, the node then marked as held there.
// The secret-key object learns the key ID it now has.
QELKeyObject *addGeneratedPacket(QELKeyDB *db, QELKeyObject *parent, QELSecretKeyObject *secretKey,
                                 const QELKeyGenParams *params)
{
    QELKeyObject *node = nullptr;
    if (secretKey->token) {
        PublicKey pk(secretKey->publicObject(secretKey));
        if (pk == nullptr) {
            db->lastError = QELError_OutOfMemory;
            return nullptr;
        }
        node = qelKeyDBAddGeneratedKeyPacket(db, parent, false, pk.get(), secretKey, params, secretKey->algorithm);
        if (node != nullptr)
            qelKeyObjKeyInfo(node)->infoFlags |= QELKeyInfo_OnToken;
    } else {
        node = qelKeyDBAddGeneratedKeyPacket(db, parent, true, nullptr, secretKey, params, secretKey->algorithm);
    }
    if (node != nullptr)
        secretKey->setKeyID(secretKey, qelKeyObjKeyInfo(node)->keyID);
    return node;
}

QELStatus storedOr(QELKeyDB *db, QELStatus fallback)
{
    return db->lastError != QELError_NoErr ? db->lastError : fallback;
}

// A new specification by the signer with the new key's passphrase.
QELStatus specFor(QELKeyObject *signer, u8 type, const QELPassArgs &pass, OwnedSpec &out)
{
    QELSigSpec *raw = nullptr;
    const QELStatus s = qelSigSpecForSigner(qelKeyObjContext(signer), signer, type, pass, &raw);
    out.reset(raw);
    return s;
}

// The version 4 self-certification subpackets of a new key, all hashed:
// preferences (defaults CAST5, IDEA, triple DES and ZIP, ZLIB), key server,
// flags, primary user ID, expiration and the additional keys.
QELStatus addSelfCertItems(QELSigSpec *spec, QELKeyObject *key, const QELKeyGenParams *params,
                           QELKeySet *additional, u8 additionalClass)
{
    static constexpr u8 kDefaultCiphers[] = {3, 1, 2};
    static constexpr u8 kDefaultCompression[] = {2, 1};
    std::uint64_t n = 0;
    const u8 *ciphers = qelKeyGenParamsPrefSymmetric(params, &n);
    QELStatus s = ciphers != nullptr ? qelSigSpecSetPrefSymmetric(spec, 0, ciphers, std::size_t(n))
                                     : qelSigSpecSetPrefSymmetric(spec, 0, kDefaultCiphers, sizeof kDefaultCiphers);
    const u8 *compression = qelKeyGenParamsPrefCompression(params, &n);
    if (s == QELError_NoErr)
        s = compression != nullptr
                ? qelSigSpecSetPrefCompression(spec, 0, compression, std::size_t(n))
                : qelSigSpecSetPrefCompression(spec, 0, kDefaultCompression, sizeof kDefaultCompression);
    const u8 *server = qelKeyGenParamsKeyServer(params, &n);
    if (s == QELError_NoErr && server != nullptr)
        s = qelSigSpecSetPrefKeyServer(spec, 0, server, std::size_t(n));
    u8 present = 0;
    const auto flags = qelFlagOctets(qelKeyGenParamsKeyFlags(params, &present));
    if (s == QELError_NoErr && present)
        s = qelSigSpecSetKeyFlags(spec, 0, flags.data(), flags.size());
    const auto serverPrefs = qelFlagOctets(qelKeyGenParamsKeyServerPrefs(params, &present));
    if (s == QELError_NoErr && present)
        s = qelSigSpecSetKeyServerPrefs(spec, 0, serverPrefs.data(), serverPrefs.size());
    if (s == QELError_NoErr)
        s = qelSigSpecSetVersion(spec, 4);
    if (s == QELError_NoErr)
        s = qelSigSpecSetPrimaryUserID(spec, 0, 1);
    const u32 days = qelKeyGenParamsValidityDays(params);
    if (s == QELError_NoErr && days != 0) {
        s = qelSigSpecSetKeyExpiration(spec, 0, qelDaysToSeconds(days));
        qelKeyObjSetValiditySeconds(key, qelDaysToSeconds(days));
    }
    if (s == QELError_NoErr && qelKeySetIsValid(additional) && !qelKeySetIsEmpty(additional))
        s = qelKeySetForEachKey(additional, [&](QELKeyObject *k) {
            return qelSigSpecAddKeyEntry(spec, k, additionalClass, false);
        });
    return s;
}

// One direct-key signature naming every revoker, itself not revocable.
QELStatus addRevokerSig(QELKeyObject *key, QELKeySet *revokers, u8 revokerClass, const QELPassArgs &pass)
{
    OwnedSpec spec;
    QELStatus s = specFor(key, 0x1F, pass, spec);
    if (s == QELError_NoErr)
        s = qelKeySetForEachKey(revokers, [&](QELKeyObject *r) {
            return qelSigSpecAddKeyEntry(spec.get(), r, revokerClass, true);
        });
    if (s == QELError_NoErr)
        s = qelSigSpecSetRevocable(spec.get(), 0, 0);
    if (s == QELError_NoErr)
        s = qelKeyObjAddSignature(key, spec.get());
    return s;
}

// A new key or subkey the writer could not finish is taken back whole.
QELKeyObject *finish(QELKeyDB *db, QELKeyObject *node, QELStatus status, QELStatus *outStatus)
{
    if (outStatus != nullptr)
        *outStatus = status;
    if (status != QELError_NoErr) {
        static_cast<void>(qelKeyObjMarkDeleted(node)); // our own new object
        return nullptr;
    }
    qelKeyObjSetAxiomatic(node);
    qelKeyDBMarkChanged(db, true);
    return node;
}

} // namespace

QELKeyObject *qelKeyDBAddGeneratedKey(QELKeyDB *db, QELSecretKeyObject *secretKey, const QELKeyGenParams *params,
                                      const void *userID, std::size_t userIDLength, QELKeySet *additional,
                                      u8 additionalClass, QELKeySet *revokers, u8 revokerClass,
                                      const QELPassArgs &pass, QELStatus *outStatus)
{
    qel::clearOut(outStatus);
    if (db == nullptr || secretKey == nullptr || params == nullptr || (userID == nullptr && userIDLength != 0)) {
        if (outStatus != nullptr)
            *outStatus = QELError_BadParams;
        return nullptr;
    }
    db->lastError = QELError_NoErr;
    QELKeyObject *key = addGeneratedPacket(db, nullptr, secretKey, params);
    if (key == nullptr) {
        if (outStatus != nullptr)
            *outStatus = storedOr(db, QELError_OutOfMemory);
        return nullptr;
    }
    QELKeyObject *uid = qelKeyAddUserIDPacket(key, static_cast<const u8 *>(userID), userIDLength);
    if (uid == nullptr)
        return finish(db, key, QELError_OutOfMemory, outStatus);
    const QELPkAlgEntry *entry = qelPkAlgFind(secretKey->algorithm);
    if (entry == nullptr || (qelPkAlgGetUsage(entry) & QELPkUsage_Sign) == 0)
        return finish(db, key, QELError_NoErr, outStatus);

    OwnedSpec spec;
    QELStatus s = specFor(key, 0x10, pass, spec);
    if (s == QELError_NoErr && qelKeyGenParamsVersion(params) >= 4)
        s = addSelfCertItems(spec.get(), key, params, additional, additionalClass);
    if (s == QELError_NoErr)
        s = qelKeyObjAddSignature(uid, spec.get());
    if (s == QELError_NoErr && qelKeyGenParamsVersion(params) >= 4 && qelKeySetIsValid(revokers) &&
        !qelKeySetIsEmpty(revokers))
        s = addRevokerSig(key, revokers, revokerClass, pass);
    return finish(db, key, s, outStatus);
}

QELKeyObject *qelKeyDBAddGeneratedSubKey(QELKeyObject *key, QELSecretKeyObject *secretKey, QELKeyGenParams *params,
                                         const QELPassArgs &pass, QELStatus *outStatus)
{
    qel::clearOut(outStatus);
    QELKeyDB *db = qelKeyObjIsKey(key) ? qelKeyObjKeyDB(key) : nullptr;
    if (db == nullptr || secretKey == nullptr || params == nullptr) {
        if (outStatus != nullptr)
            *outStatus = QELError_BadParams;
        return nullptr;
    }
    static_cast<void>(qelKeyGenParamsSetVersion(params, 4)); // 4 is always a version it takes
    db->lastError = QELError_NoErr;
    QELKeyObject *sub = addGeneratedPacket(db, key, secretKey, params);
    if (sub == nullptr) {
        if (outStatus != nullptr)
            *outStatus = storedOr(db, QELError_OutOfMemory);
        return nullptr;
    }
    OwnedSpec spec;
    QELStatus s = specFor(key, 0x18, pass, spec);
    const u32 days = qelKeyGenParamsValidityDays(params);
    if (s == QELError_NoErr && days != 0) {
        s = qelSigSpecSetKeyExpiration(spec.get(), 0, qelDaysToSeconds(days));
        qelKeyObjSetValiditySeconds(sub, qelDaysToSeconds(days));
    }
    u8 present = 0;
    const auto flags = qelFlagOctets(qelKeyGenParamsKeyFlags(params, &present));
    if (s == QELError_NoErr && present)
        s = qelSigSpecSetKeyFlags(spec.get(), 0, flags.data(), flags.size());
    // A subkey that may sign consents to it in its binding.
    const bool maySign = (qelPkAlgGetUsage(qelPkAlgFind(secretKey->algorithm)) & QELPkUsage_Sign) != 0 &&
                         (!present || (flags[0] & 0x02) != 0);
    // A key rebuilt from its stored (protected) material stands locked, as a
    // service does with a key generated by its client; the binding's
    // passphrase is the one the caller gave, and usually the subkey's too.
    if (s == QELError_NoErr && maySign && secretKey->isLocked(secretKey) && pass.passphrase != nullptr &&
        pass.length != 0) {
        const std::int32_t unlocked = secretKey->unlock(secretKey, pass.passphrase, pass.length, pass.isPasskey);
        if (unlocked < 0)
            s = unlocked;
    }
    if (s == QELError_NoErr && maySign)
        s = qelKeySigAddBackSig(sub, secretKey, spec.get());
    if (s == QELError_NoErr)
        s = qelKeyObjAddSignature(sub, spec.get());
    return finish(db, sub, s, outStatus);
}
