// Key objects from packets: one entry point dispatches a packet by its tag
// to the builder of its kind, which merges instead of duplicating; the
// merging of derived state into a copy, and the rebuild of a client
// database's nodes from the service's key tree.
#include "qelKeyObjInternal.h"

#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeySigInternal.h"
#include "qelMemPoolInternal.h"
#include "qelMemory.h"
#include "qelPassCachInternal.h"
#include "qelPkAlgInternal.h"
#include "qelRegexInternal.h"
#include "qelSHA1Internal.h"
#include "qelSeams.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTimeDate.h"
#include "qelTimeDateInternal.h"
#include "qelTokenInternal.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

} // namespace

// ---- nodes from packets -------------------------------------------------------------------------

QELKeyObject *qelKeyObjAlloc(QELKeyDB *db, std::size_t infoSize)
{
    QELMemPool mark = db->objectPool;
    auto *node = static_cast<QELKeyObject *>(qelMemPoolAlloc(&db->objectPool, sizeof(QELKeyObject), 8));
    void *info = node ? qelMemPoolAlloc(&db->objectPool, u32(infoSize), 8) : nullptr;
    if (info == nullptr) {
        qelMemPoolRelease(&db->objectPool, &mark);
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    }
    std::memset(node, 0, sizeof *node);
    std::memset(info, 0, infoSize);
    node->magic = QELKeyObjectMagic;
    node->info = info;
    return node;
}

void qelKeyObjLinkChild(QELKeyObject *node, QELKeyObject *parent)
{
    int t = qelKeyObjType(node);
    QELKeyObject **slot = &parent->firstChild;
    while (*slot != nullptr) {
        int ct = qelKeyObjType(*slot);
        if (ct == QELObjectType_Signature) {
            slot = &(*slot)->next;
            continue;
        }
        if (t == QELObjectType_Signature)
            break;
        if (t == QELObjectType_UserID && ct != QELObjectType_UserID)
            break;
        slot = &(*slot)->next;
    }
    node->next = *slot;
    *slot = node;
    node->parent = parent;
}

namespace {

} // namespace

void qelKeyDBAppendKey(QELKeyDB *db, QELKeyObject *key)
{
    key->next = nullptr;
    key->parent = db;
    if (db->firstKey == nullptr) {
        db->firstKey = key;
    } else {
        QELKeyObject *last = db->lastKey;
        if (last == nullptr)
            for (last = db->firstKey; last->next; last = last->next) {
            }
        last->next = key;
    }
    db->lastKey = key;
}

void qelKeyDBUnlinkKey(QELKeyDB *db, QELKeyObject *key)
{
    QELKeyObject *prev = nullptr;
    for (QELKeyObject **slot = &db->firstKey; *slot; prev = *slot, slot = &(*slot)->next)
        if (*slot == key) {
            *slot = key->next;
            if (db->lastKey == key)
                db->lastKey = prev;
            key->next = nullptr;
            return;
        }
}

bool qelKeyObjSamePacket(QELKeyObject *node, const u8 *packet, std::size_t length)
{
    std::size_t storedLength = 0;
    const u8 *stored = qelKeyObjRawPacket(node, &storedLength);
    if (stored == nullptr || length == 0 || qelPacketTag(stored[0]) != qelPacketTag(packet[0]))
        return false;
    auto a = qelPacketBody(stored, storedLength), b = qelPacketBody(packet, length);
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

QELKeyObject *qelKeyObjFindChildPacket(QELKeyObject *parent, const u8 *packet, std::size_t length)
{
    for (QELKeyObject *c = parent->firstChild; c; c = c->next)
        if (qelKeyObjSamePacket(c, packet, length))
            return c;
    return nullptr;
}

bool qelKeyPacketSamePublic(const u8 *pub, std::size_t pubLength, const u8 *sec,
                            std::size_t secLength, bool *outVersion2)
{
    *outVersion2 = false;
    std::size_t publicEnd = qelKeyPacketPublicLength(sec, secLength);
    if (publicEnd == 0)
        return false;
    std::size_t sh = qelPacketHeaderSize(sec, secLength);
    auto pb = qelPacketBody(pub, pubLength);
    std::size_t secPublic = publicEnd - sh;
    if (pb.size() != secPublic || pb.empty())
        return false;
    const u8 *sb = sec + sh;
    if (std::memcmp(pb.data() + 1, sb + 1, secPublic - 1) != 0)
        return false;
    if (pb[0] == sb[0])
        return true;
    if (pb[0] == 2 && sb[0] == 3) {
        *outVersion2 = true;
        return true;
    }
    return false;
}

QELStatus qelKeySigX509IDs(QELKeyDB *db, const u8 *packet, std::size_t length,
                           bool *outHasDistPoint, u8 outIssuer[8], u8 outSubject[8])
{
    *outHasDistPoint = false;
    u32 len = 0;
    const u8 *data = qelSigPrivateSubpacketFind(packet, length, 1, 0, &len, nullptr, nullptr,
                                                nullptr, nullptr);
    if (data == nullptr || len < 3)
        return QELError_BadParams;
    QELX509CertNames names{};
    QELStatus s = qelX509DecodeCertNames(db->context, data + 3, len - 3, &names);
    if (s != QELError_NoErr)
        return s;
    u8 digest[20];
    qelKeyFingerprintV4(names.issuer, names.issuerLength, digest);
    std::memcpy(outIssuer, digest + 12, 8);
    qelKeyFingerprintV4(names.subject, names.subjectLength, digest);
    std::memcpy(outSubject, digest + 12, 8);
    *outHasDistPoint = names.hasDistPoint != 0;
    return QELError_NoErr;
}

namespace {

bool storePacket(QELKeyDB *db, QELKeyObject *node, const u8 *packet, std::size_t length)
{
    QELRawPacket *raw = qelKeyDBNewRawPacket(db, packet, length);
    if (raw == nullptr)
        return false;
    *qelKeyObjPacketSlot(node) = raw;
    return true;
}

// A new placeholder key for a key ID, appended and indexed.
QELKeyObject *newPlaceholder(QELKeyDB *db, u8 algorithm, const u8 id[8], u32 extraFlags)
{
    QELKeyObject *k = qelKeyObjAlloc(db, sizeof(QELKeyInfo));
    if (k == nullptr)
        return nullptr;
    k->flags = QELKeyObjFlag_Key | QELKeyObjFlag_Placeholder | extraFlags;
    QELKeyInfo *ki = qelKeyObjKeyInfo(k);
    ki->algorithm = algorithm;
    std::memcpy(ki->keyID, id, 8);
    qelKeyDBAppendKey(db, k);
    if (qelKeyIDTreeInsert(k, db) != QELError_NoErr) {
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    }
    return k;
}

QELKeyObject *lookupForBuild(QELKeyDB *db, u8 algorithm, const u8 id[8])
{
    QELKeyID kid{};
    static_cast<void>(qelKeyIDFromBytes(id, algorithm, 8, &kid)); // length 8 is valid
    QELKeyObject *found = nullptr;
    return qelKeyDBFindKeyByIDLocal(db, &kid, true, true, &found) == QELError_NoErr ? found : nullptr;
}

} // namespace

QELKeyObject *qelKeyDBAddSignaturePacket(int, const u8 *packet, std::size_t length, QELKeyDB *db,
                                         QELKeyObject *parent, QELStatus *outStatus)
{
    if (parent == nullptr)
        return nullptr;
    if (QELKeyObject *same = qelKeyObjFindChildPacket(parent, packet, length)) {
        if (qelKeyObjIsDeleted(same)) {
            same->flags &= ~QELKeyObjFlag_Deleted;
            qelKeyObjUnlinkChild(same);
            qelKeyObjLinkChild(same, parent);
            QELSigInfo *si = qelKeyObjSigInfo(same);
            bool onChain = false;
            if (si->signer != nullptr)
                for (QELKeyObject *s = qelKeyObjKeyInfo(si->signer)->firstSig; s && !onChain;
                     s = qelKeyObjSigInfo(s)->nextBySigner)
                    onChain = s == same;
            if (!onChain)
                qelKeyObjPushSigner(same);
        }
        return same;
    }
    QELSigPacketInfo p;
    // A signature whose MPI bit count does not fit its top octet is kept (as
    // checked and not valid) so that a commit writes it back unchanged.
    const QELStatus parsed = qelSigPacketParse(packet, length, false, QELSigWant_All, &p);
    if (parsed != QELError_NoErr && parsed != QELError_SigPacketBadMPI)
        return nullptr;
    u8 issuer[8];
    std::memcpy(issuer, p.keyID, 8);
    u8 subject[8] = {};
    bool haveSubject = false, distPoint = false;
    u8 algorithm = qelKeyIDNormaliseAlgorithm(p.algorithm);
    if (p.isX509) {
        algorithm = 128;
        u8 certIssuer[8];
        if (qelKeySigX509IDs(db, packet, length, &distPoint, certIssuer, subject) == QELError_NoErr) {
            std::memcpy(issuer, certIssuer, 8);
            haveSubject = true;
        }
    }
    QELMemPool mark = db->objectPool;
    auto fail = [&]() -> QELKeyObject * {
        *outStatus = QELError_OutOfMemory;
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    };
    // Most signatures are self-signatures: try the key above first.
    QELKeyObject *signer = nullptr;
    QELKeyObject *top = qelKeyObjTopKey(parent);
    if (top != nullptr && qelKeyObjIsLive(top) && !p.isX509) {
        QELKeyInfo *ti = qelKeyObjKeyInfo(top);
        if (std::memcmp(ti->keyID, issuer, 8) == 0 && qelKeyIDNormaliseAlgorithm(ti->algorithm) == algorithm)
            signer = top;
    }
    if (signer == nullptr)
        signer = lookupForBuild(db, algorithm, issuer);
    if (signer == nullptr) {
        signer = newPlaceholder(db, algorithm, issuer, p.isX509 ? QELKeyObjFlag_X509Name : 0);
        if (signer == nullptr)
            return fail();
    } else if (qelKeyObjIsDeleted(signer)) {
        signer->flags = (signer->flags & ~QELKeyObjFlag_Deleted) | QELKeyObjFlag_Placeholder;
    }
    QELKeyObject *sig = qelKeyObjAlloc(db, sizeof(QELSigInfo));
    if (sig == nullptr)
        return fail();
    sig->flags = QELKeyObjFlag_Signature;
    QELSigInfo *si = qelKeyObjSigInfo(sig);
    si->signer = signer;
    si->flags = (p.hashedLength != 5 ? QELSigInfo_NotV3Block : 0) |
                (p.exportable ? QELSigInfo_Exportable : 0) | (p.revocable ? QELSigInfo_Revocable : 0) |
                (p.hasRegExp ? QELSigInfo_RegExp : 0) | (p.isX509 ? QELSigInfo_X509 : 0) |
                (distPoint ? QELSigInfo_DistPoint : 0) | (p.primaryUserID ? QELSigInfo_Primary : 0);
    si->creation = p.creation;
    si->expiration = p.expiration;
    si->type = p.type;
    si->version = p.version;
    si->hashAlgorithm = p.hashAlgorithm;
    si->trustDepth = p.trustLevel;
    si->trustAmount = p.trustAmount;
    // An RSA signature under a one-octet old header is kept under a
    // two-octet one, as the ring writers of old versions did.
    bool widen = p.algorithm == 1 && (packet[0] & 0xC3) == 0x80;
    bool stored;
    if (widen) {
        auto body = qelPacketBody(packet, length);
        u8 tmp[256 + 3] = {0x89, 0, u8(body.size())};
        std::memcpy(tmp + 3, body.data(), body.size());
        stored = storePacket(db, sig, tmp, 3 + body.size());
    } else {
        stored = storePacket(db, sig, packet, length);
    }
    if (!stored) {
        qelMemPoolRelease(&db->objectPool, &mark);
        return fail();
    }
    qelKeyObjLinkChild(sig, parent);
    qelKeyObjPushSigner(sig);
    if (parsed == QELError_SigPacketBadMPI)
        si->state = QELSigState_Checked;

    if (p.isX509 && haveSubject) {
        top = qelKeyObjTopKey(sig);
        QELKeyObject *subjectKey = lookupForBuild(db, 128, subject);
        if (subjectKey == nullptr) {
            subjectKey = newPlaceholder(db, 128, subject, QELKeyObjFlag_X509Name);
            if (subjectKey == nullptr)
                return fail();
            qelKeyObjKeyInfo(subjectKey)->packet = sig;
        } else if (qelKeyObjIsX509NameEntry(subjectKey) && top != nullptr && subjectKey != top) {
            QELKeyInfo *pi = qelKeyObjKeyInfo(subjectKey);
            pi->packet = sig;
            if (pi->firstSig != nullptr) {
                QELKeyObject *last = nullptr;
                for (QELKeyObject *s = pi->firstSig; s; s = qelKeyObjSigInfo(s)->nextBySigner) {
                    qelKeyObjSigInfo(s)->signer = top;
                    last = s;
                }
                QELKeyInfo *ti = qelKeyObjKeyInfo(top);
                qelKeyObjSigInfo(last)->nextBySigner = ti->firstSig;
                ti->firstSig = pi->firstSig;
                pi->firstSig = nullptr;
            }
        }
    }
    return sig;
}

namespace {

// The public part of a key packet: the whole body of a public packet, the
// body up to the end of the public numbers of a secret one.
std::span<const u8> publicPart(const u8 *packet, std::size_t length)
{
    const int tag = qelPacketTag(packet[0]);
    std::span<const u8> body = qelPacketBody(packet, length);
    if (tag != 5 && tag != 7)
        return body;
    const std::size_t end = qelKeyPacketPublicLength(packet, length);
    const std::size_t h = qelPacketHeaderSize(packet, length);
    return end > h ? body.first(end - h) : std::span<const u8>();
}

// The same key: the same packet, or the same public key in a public and a
// secret packet (a public version 2 and a secret version 3 included).
bool sameKey(QELKeyObject *node, const u8 *packet, std::size_t length)
{
    if (qelKeyObjSamePacket(node, packet, length))
        return true;
    std::size_t storedLength = 0;
    const u8 *stored = qelKeyObjRawPacket(node, &storedLength);
    if (stored == nullptr)
        return false;
    const auto a = publicPart(stored, storedLength), b = publicPart(packet, length);
    if (a.empty() || b.empty() || a.size() != b.size())
        return false;
    // Everything after the version octet agrees, and the versions do, or
    // are 2 and 3, which name the same key.
    const bool versions = a[0] == b[0] || (std::min(a[0], b[0]) == 2 && std::max(a[0], b[0]) == 3);
    return versions && std::memcmp(a.data() + 1, b.data() + 1, a.size() - 1) == 0;
}

// The node a key packet belongs to. Keys are told apart by their whole
// public key, not by the eight ID octets alone: a key whose ID equals
// another key's subkey ID, or a version 3 key forged to another's ID, gets a
// node of its own. A placeholder with the ID (a signer known only by ID)
// takes the first key packet that comes; a subkey matches only under its
// own key.
QELKeyObject *matchKeyNode(QELKeyDB *db, u8 algorithm, const u8 id[8], const u8 *packet, std::size_t length,
                           bool subkey, QELKeyObject *parent)
{
    QELKeyObject *placeholder = nullptr;
    for (QELKeyObject *k = qelKeyDBNextWithID(db, id, nullptr); k != nullptr; k = qelKeyDBNextWithID(db, id, k)) {
        if (qelKeyObjIsX509NameEntry(k))
            continue;
        if (qelKeyObjIsPlaceholder(k)) {
            if (placeholder == nullptr && qelKeyIDNormaliseAlgorithm(qelKeyObjKeyInfo(k)->algorithm) == algorithm)
                placeholder = k;
            continue;
        }
        const bool isKey = qelKeyObjType(k) == QELObjectType_Key;
        if (isKey == subkey || (subkey && k->parent != parent))
            continue;
        if (sameKey(k, packet, length))
            return k;
    }
    return placeholder;
}

void fillKey(QELKeyObject *node, const QELKeyPacketInfo &p, bool secret)
{
    QELKeyInfo *ki = qelKeyObjKeyInfo(node);
    ki->digestByte = p.materialDigest[0];
    ki->creation = p.creation;
    ki->validityDays = p.validityDays;
    ki->validitySeconds = 0;
    ki->bits = p.bits;
    ki->trust = 0;
    ki->infoFlags = (ki->infoFlags & ~(QELKeyInfo_V3 | QELKeyInfo_SecretInRing)) |
                    (p.oldFormat ? QELKeyInfo_V3 : 0) | (secret ? QELKeyInfo_SecretInRing : 0);
}

} // namespace

QELKeyObject *qelKeyDBAddKeyPacket(int tag, const u8 *packet, std::size_t length, QELKeyDB *db,
                                   QELKeyObject *parent, bool versionMarking, QELStatus *outStatus)
{
    bool secret = tag == 5 || tag == 7;
    bool subkey = tag == 7 || tag == 14;
    if (subkey && parent == nullptr)
        return nullptr;
    QELKeyPacketInfo p;
    if (qelKeyPacketParse(db->context, packet, length, &p, secret) != QELError_NoErr)
        return nullptr;
    u8 alg = qelKeyIDNormaliseAlgorithm(p.algorithm);
    QELMemPool mark = db->objectPool;
    auto fail = [&]() -> QELKeyObject * {
        qelMemPoolRelease(&db->objectPool, &mark);
        *outStatus = QELError_OutOfMemory;
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    };
    QELKeyObject *node = matchKeyNode(db, alg, p.keyID, packet, length, subkey, parent);
    auto fill = [&](QELKeyObject *n) -> QELKeyObject * {
        QELRawPacket *raw = qelKeyDBNewRawPacket(db, packet, length);
        if (raw == nullptr)
            return fail();
        fillKey(n, p, secret);
        qelKeyObjKeyInfo(n)->packet = raw;
        return n;
    };
    if (node == nullptr) {
        node = qelKeyObjAlloc(db, sizeof(QELKeyInfo));
        if (node == nullptr)
            return fail();
        node->flags = subkey ? QELKeyObjFlag_SubKey : QELKeyObjFlag_Key;
        QELKeyInfo *ki = qelKeyObjKeyInfo(node);
        ki->algorithm = p.algorithm;
        std::memcpy(ki->keyID, p.keyID, 8);
        if (fill(node) == nullptr)
            return nullptr;
        if (subkey)
            qelKeyObjLinkChild(node, parent);
        else
            qelKeyDBAppendKey(db, node);
        if (qelKeyIDTreeInsert(node, db) != QELError_NoErr)
            return fail();
        return node;
    }
    QELKeyInfo *ki = qelKeyObjKeyInfo(node);
    if (qelKeyObjIsPlaceholder(node)) {
        if (qelKeyObjIsX509NameEntry(node))
            return nullptr; // a name entry never becomes a key
        if (fill(node) == nullptr)
            return nullptr;
        if (subkey && qelKeyObjType(node) == QELObjectType_Key) {
            qelKeyDBUnlinkKey(db, node);
            node->flags = (node->flags & ~QELKeyObjFlag_Key) | QELKeyObjFlag_SubKey;
            qelKeyObjLinkChild(node, parent);
        }
        node->flags &= ~QELKeyObjFlag_Placeholder;
        if (ki->algorithm == 1 && p.algorithm == 3)
            ki->algorithm = 3;
        return node;
    }
    bool nodeIsKey = qelKeyObjType(node) == QELObjectType_Key;
    if (nodeIsKey == subkey || qelKeyObjSamePacket(node, packet, length)) {
        node->flags &= ~QELKeyObjFlag_Deleted;
        return node;
    }
    if (qelKeyObjIsDeleted(node)) {
        node->flags &= ~QELKeyObjFlag_Deleted;
        return fill(node);
    }
    std::size_t storedLength = 0;
    const u8 *stored = qelKeyObjRawPacket(node, &storedLength);
    if (stored == nullptr)
        return node;
    int storedTag = qelPacketTag(stored[0]);
    if (storedTag == tag)
        return node;
    bool storedSecret = storedTag == 5 || storedTag == 7;
    bool v2 = false;
    if (secret && !storedSecret) {
        if (!qelKeyPacketSamePublic(stored, storedLength, packet, length, &v2))
            return node;
        QELRawPacket *raw = qelKeyDBNewRawPacket(db, packet, length);
        if (raw == nullptr)
            return fail();
        if (versionMarking && v2)
            ki->infoFlags |= QELKeyInfo_PublicV2;
        ki->packet = raw;
        ki->infoFlags |= QELKeyInfo_SecretInRing;
        return node;
    }
    if (!secret && storedSecret && qelKeyPacketSamePublic(packet, length, stored, storedLength, &v2) &&
        versionMarking && v2)
        ki->infoFlags |= QELKeyInfo_PublicV2;
    return node;
}

namespace {

// User IDs, CRLs and other packets under a key: an equal child is revived
// and returned, else a new node is linked in children order.
QELKeyObject *addChildPacket(int tag, const u8 *packet, std::size_t length, QELKeyDB *db,
                             QELKeyObject *parent, QELStatus *outStatus)
{
    if (parent == nullptr || qelKeyObjType(parent) != QELObjectType_Key)
        return nullptr;
    bool userID = tag == 13 || tag == 17;
    if (QELKeyObject *same = qelKeyObjFindChildPacket(parent, packet, length)) {
        if (qelKeyObjIsDeleted(same)) {
            same->flags &= ~QELKeyObjFlag_Deleted;
            if (userID) {
                qelKeyObjUnlinkChild(same);
                qelKeyObjLinkChild(same, parent);
            }
        }
        return same;
    }
    QELMemPool mark = db->objectPool;
    int type = userID ? QELObjectType_UserID : tag == 60 ? QELObjectType_CRL : QELObjectType_Other;
    QELKeyObject *node = qelKeyObjAlloc(db, qelKeyObjInfoSize(type));
    if (node == nullptr || !storePacket(db, node, packet, length)) {
        qelMemPoolRelease(&db->objectPool, &mark);
        *outStatus = QELError_OutOfMemory;
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    }
    // The type bits decide where the node links, so they come first.
    node->flags = userID ? QELKeyObjFlag_UserID : tag == 60 ? QELKeyObjFlag_CRL : 0;
    qelKeyObjLinkChild(node, parent);
    if (userID) {
        QELUserIDInfo *ui = qelKeyObjUserIDInfo(node);
        ui->validity = 253;
        ui->ownerTrust = 253;
        if (tag == 17)
            ui->flags |= QELUserIDFlag_Attribute;
    } else if (tag == 60) {
        QELCRLInfo *ci = qelKeyObjCRLInfo(node);
        u8 version = 0, type60 = 0;
        u32 thisUpdate = 0, nextUpdate = 0;
        if (qelCRLPacketParse(db->context, packet, length, &version, &type60, &thisUpdate,
                              &nextUpdate, nullptr, nullptr) != QELError_NoErr)
            thisUpdate = nextUpdate = 0;
        ci->version = version;
        ci->thisUpdate = thisUpdate;
        ci->nextUpdate = nextUpdate;
        ci->flags = (type60 == 1 || type60 == 2 ? QELCRLFlag_KnownKind : 0) | (type60 == 2 ? QELCRLFlag_DistPoint : 0);
    }
    return node;
}

} // namespace

QELKeyObject *qelKeyDBAddUserIDPacket(int tag, const u8 *packet, std::size_t length, QELKeyDB *db,
                                      QELKeyObject *parent, QELStatus *outStatus)
{
    return addChildPacket(tag, packet, length, db, parent, outStatus);
}

QELKeyObject *qelKeyDBAddCRLPacket(int tag, const u8 *packet, std::size_t length, QELKeyDB *db,
                                   QELKeyObject *parent, QELStatus *outStatus)
{
    return addChildPacket(tag, packet, length, db, parent, outStatus);
}

QELKeyObject *qelKeyDBAddOtherPacket(int tag, const u8 *packet, std::size_t length, QELKeyDB *db,
                                     QELKeyObject *parent, QELStatus *outStatus)
{
    return addChildPacket(tag, packet, length, db, parent, outStatus);
}

namespace {

// What can be read of a key packet the parser refuses: the algorithm and
// creation time, and for a version 4 public packet its key ID.
void describeOpaqueKey(QELKeyObject *node, const u8 *packet, std::size_t length)
{
    QELKeyInfo *ki = qelKeyObjKeyInfo(node);
    std::span<const u8> body = qelPacketBody(packet, length);
    const int tag = qelPacketTag(packet[0]);
    if (tag == 5 || tag == 7)
        ki->infoFlags |= QELKeyInfo_SecretInRing;
    if (body.size() < 6)
        return;
    ki->creation = (u32(body[1]) << 24) | (u32(body[2]) << 16) | (u32(body[3]) << 8) | body[4];
    const std::size_t at = body[0] == 2 || body[0] == 3 ? 7 : 5; // versions 4 and 5 alike
    if (at < body.size())
        ki->algorithm = body[at];
    if (body[0] == 4 && (tag == 6 || tag == 14)) {
        u8 fpr[20];
        qelKeyFingerprintV4(body.data(), body.size(), fpr);
        std::memcpy(ki->keyID, fpr + 12, 8);
    }
}

// A listed key kept from the secret ring whose packet holds this public key
// packet's body at its start.
QELKeyObject *secretTwin(QELKeyDB *db, const u8 *packet, std::size_t length)
{
    const std::span<const u8> pub = qelPacketBody(packet, length);
    for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next) {
        if (!qelKeyObjIsOpaque(k) || !qelKeyObjIsFromSecretRing(k) || !qelKeyObjIsLive(k))
            continue;
        const std::span<const u8> sec = qelKeyObjPacketBody(k);
        if (!pub.empty() && sec.size() > pub.size() && std::memcmp(sec.data(), pub.data(), pub.size()) == 0)
            return k;
    }
    return nullptr;
}

} // namespace

QELKeyObject *qelKeyDBAddOpaquePacket(QELKeyDB *db, QELKeyObject *parent, const u8 *packet, std::size_t length,
                                      bool fromSecretRing, QELStatus *outStatus)
{
    const u32 origin = QELKeyObjFlag_Opaque | (fromSecretRing ? QELKeyObjFlag_FromSecretRing : 0);
    const int tag = qelPacketTag(packet[0]);
    const bool key = parent == nullptr && (tag == 5 || tag == 6);
    auto revive = [](QELKeyObject *same) {
        same->flags &= ~QELKeyObjFlag_Deleted;
        return same;
    };
    // Within a kept key block every packet stays, trust packets too, and so
    // does every kept block of a ring (a key block twice in a ring comes
    // back twice); an equal packet under a known parent is the same packet
    // read again.
    if (parent != nullptr && !qelKeyObjIsOpaque(parent) && tag != 12)
        for (QELKeyObject *c = parent->firstChild; c; c = c->next)
            if ((c->flags & origin) == origin && qelKeyObjSamePacket(c, packet, length))
                return revive(c);
    QELMemPool mark = db->objectPool;
    QELKeyObject *node = qelKeyObjAlloc(db, parent == nullptr ? sizeof(QELKeyInfo) : sizeof(QELOtherInfo));
    // At the top level only key-shaped nodes may stand; one that is no key
    // is kept out of every walk as a placeholder is. The type comes first:
    // it says where the packet is stored.
    if (node != nullptr)
        node->flags = parent != nullptr ? origin : QELKeyObjFlag_Key | origin | (key ? 0 : QELKeyObjFlag_Placeholder);
    if (node == nullptr || !storePacket(db, node, packet, length)) {
        qelMemPoolRelease(&db->objectPool, &mark);
        *outStatus = QELError_OutOfMemory;
        db->lastError = QELError_OutOfMemory;
        return nullptr;
    }
    if (parent != nullptr) {
        qelKeyObjLinkChild(node, parent);
        return node;
    }
    if (key) {
        describeOpaqueKey(node, packet, length);
        // The public copy of a kept secret key is listed once: the secret
        // packet's body begins with the public packet's whole body, whatever
        // the algorithm. The copy stays, unlisted, to be written back.
        // A key whose ID is known is found by it (signatures it made name
        // it as their signer, and serve nothing either).
        static constexpr u8 kUnknownID[8] = {};
        QELKeyObject *listed = node;
        // Only a database over a secret ring can hold a twin.
        if (QELKeyObject *twin = fromSecretRing || db->secretFile == nullptr ? nullptr : secretTwin(db, packet, length)) {
            node->flags |= QELKeyObjFlag_Placeholder;
            std::memcpy(qelKeyObjKeyInfo(twin)->keyID, qelKeyObjKeyInfo(node)->keyID, 8);
            listed = twin;
        }
        qelKeyDBAppendKey(db, node);
        if (std::memcmp(qelKeyObjKeyInfo(listed)->keyID, kUnknownID, 8) != 0 &&
            qelKeyIDTreeInsert(listed, db) != QELError_NoErr) {
            *outStatus = QELError_OutOfMemory;
            db->lastError = QELError_OutOfMemory;
            return nullptr;
        }
        return node;
    }
    qelKeyDBAppendKey(db, node);
    return node;
}

QELKeyObject *qelKeyDBAddPacket(const u8 *packet, std::size_t length, QELKeyDB *db,
                                QELKeyObject *parent, bool versionMarking, QELStatus *outStatus)
{
    QELStatus ignored = 0;
    if (outStatus == nullptr)
        outStatus = &ignored;
    if (packet == nullptr || length == 0 || qelPacketHeaderSize(packet, length) > length)
        return nullptr;
    int tag = qelPacketTag(packet[0]);
    switch (tag) {
    case 2: return qelKeyDBAddSignaturePacket(tag, packet, length, db, parent, outStatus);
    case 5: case 6: case 7: case 14:
        return qelKeyDBAddKeyPacket(tag, packet, length, db, parent, versionMarking, outStatus);
    case 13: case 17: return qelKeyDBAddUserIDPacket(tag, packet, length, db, parent, outStatus);
    case 60: return qelKeyDBAddCRLPacket(tag, packet, length, db, parent, outStatus);
    case -1: return nullptr;
    default: return qelKeyDBAddOtherPacket(tag, packet, length, db, parent, outStatus);
    }
}

void qelKeyObjMergeState(QELKeyObject *source, QELKeyObject *target)
{
    auto larger = [](u8 a, u8 b) { return a > b ? a : b; };
    switch (qelKeyObjType(target)) {
    case QELObjectType_UserID: {
        QELUserIDInfo *s = qelKeyObjUserIDInfo(source), *t = qelKeyObjUserIDInfo(target);
        u8 low = larger(s->nameTrust & QELNameTrust_Mask, t->nameTrust & QELNameTrust_Mask);
        t->nameTrust = u8(((s->nameTrust | t->nameTrust) & (QELNameTrust_Primary | QELNameTrust_Recheck)) | low);
        auto mergeUndefined = [](u8 src, u8 tgt) -> u8 {
            if (tgt == 253) return src;
            if (src == 253) return tgt;
            return src > tgt ? src : tgt;
        };
        t->validity = mergeUndefined(s->validity, t->validity);
        t->ownerTrust = mergeUndefined(s->ownerTrust, t->ownerTrust);
        t->confidence = s->confidence > t->confidence ? s->confidence : t->confidence;
        break;
    }
    case QELObjectType_CRL:
        qelKeyObjCRLInfo(target)->state = larger(qelKeyObjCRLInfo(source)->state, qelKeyObjCRLInfo(target)->state);
        break;
    case QELObjectType_Other:
        qelKeyObjOtherInfo(target)->trust = larger(qelKeyObjOtherInfo(source)->trust, qelKeyObjOtherInfo(target)->trust);
        break;
    case QELObjectType_Signature: {
        QELSigInfo *s = qelKeyObjSigInfo(source), *t = qelKeyObjSigInfo(target);
        QELKeyObject *top = qelKeyObjTopKey(target);
        if (qelSigIsValid(source) && !qelSigIsValid(target) && qelSigMarksPrimary(target) && top != nullptr &&
            t->signer == top)
            for (QELKeyObject *c = top->firstChild; c; c = c->next)
                if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_UserID)
                    qelKeyObjUserIDInfo(c)->nameTrust &= u8(~QELNameTrust_Primary);
        t->state = larger(s->state, t->state);
        break;
    }
    default: {
        QELKeyInfo *s = qelKeyObjKeyInfo(source), *t = qelKeyObjKeyInfo(target);
        t->trust = larger(s->trust, t->trust);
        if (s->validityDays > t->validityDays ||
            (s->validityDays == t->validityDays && s->validitySeconds > t->validitySeconds)) {
            t->validityDays = s->validityDays;
            t->validitySeconds = s->validitySeconds;
        }
        if (s->infoFlags & QELKeyInfo_OnToken) {
            t->infoFlags |= QELKeyInfo_OnToken;
            t->tokenSlot = s->tokenSlot;
        }
        break;
    }
    }
}

// ---- rebuild from the service's key tree ----------------------------------------------------------

namespace {

struct TreeReader {
    const std::uint64_t *words;
    std::size_t count;
    std::size_t pos = 0;
    bool next(std::uint64_t &out)
    {
        if (pos >= count)
            return false;
        out = words[pos++];
        return true;
    }
};

constexpr int kMaxTreeDepth = 3; // key, child, grandchild

QELStatus mergeEntries(QELKeyDB *db, QELKeyObject *parent, TreeReader &r, std::uint64_t entries,
                       bool allNew, bool refresh, int depth)
{
    if (depth >= kMaxTreeDepth)
        return QELError_BadPacketFormat;
    QELKeyObject *previous = nullptr;
    for (std::uint64_t e = 0; e < entries; ++e) {
        std::uint64_t ref = 0, flagWord = 0;
        if (!r.next(ref) || !r.next(flagWord))
            return QELError_BadPacketFormat;
        u32 flags = u32(flagWord);
        QELKeyObject *node = nullptr;
        void *found = nullptr;
        if (!allNew && qelAVLFind(db->objectIDMap, std::int64_t(ref), &found) == QELError_NoErr)
            node = static_cast<QELKeyObject *>(found);
        if (node != nullptr) {
            // A node met again under itself would make a cycle.
            for (auto *a = parent; a != nullptr; a = qelKeyObjIsKeyDBRecord(a->parent) ? nullptr : static_cast<QELKeyObject *>(a->parent))
                if (a == node)
                    return QELError_BadPacketFormat;
            if (node == previous)
                return QELError_BadPacketFormat;
            if (parent != nullptr) {
                if (qelKeyObjIsKeyDBRecord(node->parent))
                    qelKeyDBUnlinkKey(db, node);
                else
                    qelKeyObjUnlinkChild(node);
                QELKeyObject **slot = previous ? &previous->next : &parent->firstChild;
                node->next = *slot;
                *slot = node;
                node->parent = parent;
            }
            node->flags = (node->flags & 0x1FFFFFC0u) | (flags & 0xE000003Fu);
            int t = qelKeyObjType(node);
            if (t == QELObjectType_Key || t == QELObjectType_SubKey)
                qelKeyObjMarkNotLoaded(node, refresh);
        } else {
            node = qelKeyObjAlloc(db, qelKeyObjInfoSize(qelKeyObjTypeOfFlags(flags)));
            if (node == nullptr)
                return QELError_OutOfMemory;
            node->flags = flags | QELKeyObjFlag_NotLoaded;
            node->info = reinterpret_cast<void *>(static_cast<std::uintptr_t>(ref));
            if (qelKeyObjTypeOfFlags(flags) == QELObjectType_Key && parent == nullptr)
                qelKeyDBAppendKey(db, node);
            else if (parent != nullptr)
                qelKeyObjLinkChild(node, parent);
            else
                return QELError_BadPacketFormat;
            QELStatus s = qelAVLInsert(db->objectIDMap, std::int64_t(ref), node);
            if (s != QELError_NoErr)
                return s == QELError_ItemAlreadyExists ? QELError_BadPacketFormat : QELError_OutOfMemory;
        }
        previous = node;
        if (qelKeyObjTypeOfFlags(flags) != QELObjectType_Signature) {
            std::uint64_t children = 0;
            if (!r.next(children) || children > (r.count - r.pos) / 2)
                return QELError_BadPacketFormat;
            QELStatus s = mergeEntries(db, node, r, children, allNew, refresh, depth + 1);
            if (s != QELError_NoErr)
                return s;
        }
    }
    return QELError_NoErr;
}

} // namespace

QELStatus qelKeyDBMergeKeyTree(QELKeyDB *db, QELKeyObject *parent, const std::uint64_t *array,
                               std::size_t words, std::uint32_t count, bool allNew, bool refresh)
{
    if (!qelKeyDBIsValid(db) || (array == nullptr && words != 0))
        return QELError_BadParams;
    if (db->objectIDMap == nullptr)
        return QELError_BadParams;
    TreeReader r{array, words};
    int depth = parent == nullptr ? 0 : qelKeyObjType(parent) == QELObjectType_Key ? 1 : 2;
    QELStatus s = mergeEntries(db, parent, r, count, allNew, refresh, depth);
    qelKeyDBMarkChanged(db, true);
    return s;
}

