// Signature checks on keys.
//
// A check hashes the key material in RFC 4880 order (key, then user ID or
// subkey), the signature's hashed part and, for version 4, its trailer, and
// verifies the digest with the signer's key. The result lives in the
// signature's state byte: 0x20 checked, 0x40 valid; 0x10 (revoked by a CRL)
// and the low trust bits are kept across rewrites.
#include "qelKeySigInternal.h"

#include "qelContextInternal.h"
#include "qelEventInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelMemoryInternal.h"
#include "qelOptionListInternal.h"
#include "qelPkAlgInternal.h"
#include "qelSeams.h"
#include "qelSigBuildInternal.h"
#include "qelSigItemInternal.h"
#include "qelSigSpecInternal.h"
#include "qelTimeDateInternal.h"
#include "qelTrustPropInternal.h"
#include "qelWipe.h"

#include <cstring>
#include <vector>
#include <span>

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;

constexpr u8 kKeepMask = 0x9F; // everything but checked and valid

QELStatus storedError(QELKeyObject *object)
{
    QELKeyDB *db = qelKeyObjKeyDB(object);
    QELStatus s = db != nullptr ? qelKeyDBGetLastError(db) : QELError_NoErr;
    return s != QELError_NoErr ? s : QELError_BadPacketFormat;
}

// The body of a key or subkey packet in public form (a secret packet is
// rewritten into a new block that goes with this record).
class KeyBody {
public:
    explicit KeyBody(QELKeyObject *key)
    {
        std::size_t length = 0;
        const u8 *packet = qelKeyObjRawPacket(key, &length);
        if (packet == nullptr) {
            status_ = storedError(key);
            return;
        }
        const int tag = qelPacketTag(packet[0]);
        if (tag == 5 || tag == 7) {
            context_ = qelKeyObjContext(key);
            owned_ = qelKeyObjPublicPacket(key, &length);
            if (owned_ == nullptr) {
                status_ = QELError_OutOfMemory;
                return;
            }
            packet = owned_;
        }
        const std::size_t h = qelPacketHeaderSize(packet, length);
        if (h > length) {
            status_ = QELError_BadPacketFormat;
            return;
        }
        body_ = packet + h;
        length_ = length - h;
    }
    ~KeyBody()
    {
        if (owned_ != nullptr)
            static_cast<void>(qelContextMemFree(context_, owned_)); // our own block
    }
    KeyBody(const KeyBody &) = delete;
    KeyBody &operator=(const KeyBody &) = delete;

    QELStatus status() const { return status_; }
    const u8 *body() const { return body_; }
    std::size_t length() const { return length_; }

private:
    QELContext *context_ = nullptr;
    u8 *owned_ = nullptr;
    const u8 *body_ = nullptr;
    std::size_t length_ = 0;
    QELStatus status_ = QELError_NoErr;
};

// The body of any other object's packet.
const u8 *rawBody(QELKeyObject *object, std::size_t *outLength)
{
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(object, &length);
    *outLength = 0;
    if (packet == nullptr)
        return nullptr;
    const std::size_t h = qelPacketHeaderSize(packet, length);
    if (h > length)
        return nullptr;
    *outLength = length - h;
    return packet + h;
}

// A hash running on the stack over a descriptor, wiped when it goes.
class StackHash {
public:
    explicit StackHash(const QELHashDescriptor *descriptor)
    {
        if (descriptor == nullptr || descriptor->stateSize > sizeof(state_))
            return;
        context_.magic = QELHashContextMagic;
        context_.descriptor = descriptor;
        context_.memoryMgr = nullptr;
        context_.state = state_;
        descriptor->init(state_);
        ok_ = true;
    }
    ~StackHash() { qelSecureWipe(state_, sizeof(state_)); }
    StackHash(const StackHash &) = delete;
    StackHash &operator=(const StackHash &) = delete;

    bool ok() const { return ok_; }
    QELHashContext *get() { return &context_; }
    void update(const u8 *data, std::size_t n)
    {
        if (n != 0)
            context_.descriptor->update(state_, data, n);
    }
    const u8 *final() { return context_.descriptor->final(state_); }

private:
    QELHashContext context_{};
    alignas(16) u8 state_[512];
    bool ok_ = false;
};

bool isKeyType(int type) { return type == QELObjectType_Key || type == QELObjectType_SubKey; }

QELKeyObject *parentObject(QELKeyObject *object)
{
    return qelKeyObjIsKey(object) ? nullptr : static_cast<QELKeyObject *>(qelKeyObjParent(object));
}

// Self-signatures that speak for a key's (or subkey's) validity.
bool speaksFor(QELKeyObject *sig, QELKeyObject *key, QELKeyObject *top)
{
    if (!qelKeyObjIsLive(sig) || qelKeyObjType(sig) != QELObjectType_Signature)
        return false;
    QELSigInfo *si = qelKeyObjSigInfo(sig);
    if (si->signer != top || !qelSigIsChecked(sig) || !qelSigIsValid(sig))
        return false;
    if (key != top)
        return si->type == 0x18;
    return si->type == 0x1F || (si->type >= 0x10 && si->type <= 0x13);
}

} // namespace

// ---- hashing -------------------------------------------------------------------------

QELStatus qelKeySigHashPacketBody(QELHashContext *hash, QELHashedObject kind, const std::uint8_t *body,
                                  std::size_t length, bool version4)
{
    if (!qelHashIsValid(hash) || (body == nullptr && length != 0))
        return QELError_BadParams;
    auto feed = [hash](const std::uint8_t *data, std::size_t n) {
        if (n != 0)
            hash->descriptor->update(hash->state, data, n);
    };
    if (kind == QELHashedObject::Key) {
        if (length > 0xFFFF)
            return QELError_BadPacketFormat;
        const std::uint8_t prefix[3] = {0x99, std::uint8_t(length >> 8), std::uint8_t(length)};
        feed(prefix, sizeof prefix);
    } else if (version4) {
        if (length > 0xFFFFFFFFu)
            return QELError_BadPacketFormat;
        const std::uint8_t prefix[5] = {std::uint8_t(kind == QELHashedObject::UserAttribute ? 0xD1 : 0xB4),
                                        std::uint8_t(length >> 24), std::uint8_t(length >> 16),
                                        std::uint8_t(length >> 8), std::uint8_t(length)};
        feed(prefix, sizeof prefix);
    }
    feed(body, length);
    return QELError_NoErr;
}

QELStatus qelKeySigHashObject(QELHashContext *hash, QELKeyObject *object, bool version4)
{
    if (!qelKeyObjIsValid(object))
        return QELError_BadParams;
    const int type = qelKeyObjType(object);
    if (isKeyType(type)) {
        KeyBody key(object);
        if (key.status() != QELError_NoErr)
            return key.status();
        return qelKeySigHashPacketBody(hash, QELHashedObject::Key, key.body(), key.length(), version4);
    }
    if (type != QELObjectType_UserID)
        return QELError_BadParams;
    std::size_t length = 0;
    const u8 *body = rawBody(object, &length);
    if (body == nullptr)
        return storedError(object);
    return qelKeySigHashPacketBody(hash, qelUserIDIsAttribute(object) ? QELHashedObject::UserAttribute
                                                                      : QELHashedObject::UserID,
                                   body, length, version4);
}

QELStatus qelKeySigHashKeyMaterial(QELHashContext *hash, QELKeyObject *signedObject, bool version4)
{
    QELKeyObject *chain[4];
    int n = 0;
    for (QELKeyObject *o = signedObject; o != nullptr; o = parentObject(o)) {
        if (n == 4 || !qelKeyObjIsValid(o))
            return QELError_BadParams;
        chain[n++] = o;
    }
    while (n > 0)
        if (QELStatus s = qelKeySigHashObject(hash, chain[--n], version4); s != QELError_NoErr)
            return s;
    return QELError_NoErr;
}

// ---- deciding and checking -------------------------------------------------------------

bool qelKeySigNeedsCheck(QELKeyObject *sig, QELKeyDB *extra, bool recheck, bool revocationsOnly,
                         QELKeyObject **outSigner)
{
    if (outSigner != nullptr)
        *outSigner = nullptr;
    QELSigInfo *si = qelKeyObjSigInfo(sig);
    QELKeyObject *signer = si->signer;
    if (signer == nullptr || !qelKeyObjIsLive(signer)) {
        signer = nullptr;
        if (extra != nullptr) {
            QELKeyID id{};
            if (si->signer == nullptr)
                return false;
            qelSigGetSignerKeyID(sig, nullptr, &id);
            QELKeyObject *found = nullptr;
            if (qelKeyDBFindKeyByID(extra, &id, true, true, &found) != QELError_NoErr || found == nullptr)
                return false;
            if (qelKeyObjIsLive(found))
                signer = found;
        }
    }
    if (!recheck && qelSigHasCheckState(sig))
        return false;
    if (revocationsOnly && si->type != 0x20)
        return false;
    if (outSigner != nullptr)
        *outSigner = signer;
    return true;
}

void qelKeySigUpdateValidity(QELKeyObject *key)
{
    if (!qelKeyObjIsLive(key) || !isKeyType(qelKeyObjType(key)) || qelKeyObjIsV3(key))
        return;
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(key, &length);
    const std::size_t h = packet != nullptr ? qelPacketHeaderSize(packet, length) : 0;
    if (packet == nullptr || h >= length || packet[h] < 4)
        return; // version 2 and 3 keys carry their validity in the packet
    QELKeyObject *top = qelKeyObjTopKey(key);
    QELKeyObject *newest = nullptr;
    auto consider = [&](QELKeyObject *sig) {
        if (!speaksFor(sig, key, top))
            return;
        if (newest == nullptr || qelKeyObjSigInfo(sig)->creation >= qelKeyObjSigInfo(newest)->creation)
            newest = sig;
    };
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
        consider(c);
        if (key == top && qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_UserID)
            for (QELKeyObject *s = c->firstChild; s != nullptr; s = s->next)
                consider(s);
    }
    if (newest == nullptr)
        return;
    const u8 *sigPacket = qelKeyObjRawPacket(newest, &length);
    u32 n = 0;
    const u8 *d = qelSigSubpacketFind(sigPacket, length, 9, 0, &n, nullptr, nullptr, nullptr, nullptr);
    std::uint64_t seconds = 0;
    if (d != nullptr && n >= 4)
        seconds = (u32(d[0]) << 24) | (u32(d[1]) << 16) | (u32(d[2]) << 8) | d[3];
    qelKeyObjSetValiditySeconds(key, seconds);
}

namespace {

// The verification of one RFC 4880 signature whose signer is at hand. Writes
// the new state; returns a status only for failures that must stop a check.
QELStatus checkRFC4880(QELKeyObject *sig, QELKeyObject *signer, u8 &state, QELSigPublicCache *cache)
{
    QELKeyObject *signedObject = static_cast<QELKeyObject *>(qelKeyObjParent(sig));
    std::size_t length = 0;
    const u8 *body = rawBody(sig, &length);
    if (body == nullptr)
        return storedError(sig);
    // Nothing reads from a body that does not hold together.
    if (qelSigPacketValidate(body, length, nullptr) != QELError_NoErr || qelSigPacketIsOnePass(body, length)) {
        state |= QELSigState_Checked;
        return QELError_NoErr;
    }
    QELSigBodyLayout layout;
    if (qelSigPacketLayout(body, length, &layout) != QELError_NoErr) {
        state |= QELSigState_Checked;
        return QELError_NoErr;
    }
    StackHash hash(qelHashDescriptorFind(layout.hashAlgorithm));
    if (!hash.ok())
        return QELError_NoErr; // a digest this SDK does not know: left unchecked
    const bool v4 = body[0] > 3;
    if (QELStatus s = qelKeySigHashKeyMaterial(hash.get(), signedObject, v4); s != QELError_NoErr)
        return s;
    state |= QELSigState_Checked;
    std::size_t hashedLength = 0;
    const u8 *hashed = nullptr;
    if (v4) {
        hashed = body;
        hashedLength = 6 + ((std::size_t(body[4]) << 8) | body[5]);
    } else {
        hashed = body + 2;
        hashedLength = body[1];
    }
    if (!qelKeyObjIsKey(signedObject) && hashedLength != 5 && !v4)
        return QELError_NoErr; // an old-style block that cannot be hashed as such
    hash.update(hashed, hashedLength);
    if (v4) {
        const u8 trailer[6] = {4, 0xFF, u8(hashedLength >> 24), u8(hashedLength >> 16), u8(hashedLength >> 8),
                               u8(hashedLength)};
        hash.update(trailer, sizeof trailer);
    }
    const u8 *digest = hash.final();
    // The algorithm the signature names must be the signer's.
    if (qelKeyIDNormaliseAlgorithm(layout.publicKeyAlgorithm) !=
        qelKeyIDNormaliseAlgorithm(qelKeyObjKeyInfo(signer)->algorithm))
        return QELError_NoErr;
    std::int32_t r = qelSigPacketVerify(body, length, signer, digest, cache);
    if (r == 1) {
        state |= QELSigState_Valid;
    } else if (r == QELError_OutOfMemory) {
        return r;
    }
    return QELError_NoErr;
}

} // namespace

namespace {

// One embedded signature: a version 4 primary-key binding (0x19) by the
// subkey over its key and itself.
bool backSigIsValid(QELKeyObject *subKey, std::span<const u8> body)
{
    if (qelSigPacketValidate(body.data(), body.size(), nullptr) != QELError_NoErr ||
        qelSigPacketIsOnePass(body.data(), body.size()) || body.size() < 6 || body[0] != 4 || body[1] != 0x19)
        return false;
    QELSigBodyLayout layout;
    if (qelSigPacketLayout(body.data(), body.size(), &layout) != QELError_NoErr ||
        qelKeyIDNormaliseAlgorithm(layout.publicKeyAlgorithm) !=
            qelKeyIDNormaliseAlgorithm(qelKeyObjKeyInfo(subKey)->algorithm))
        return false;
    StackHash hash(qelHashDescriptorFind(layout.hashAlgorithm));
    if (!hash.ok() || qelKeySigHashKeyMaterial(hash.get(), subKey, true) != QELError_NoErr)
        return false;
    const std::size_t hashedLength = 6 + ((std::size_t(body[4]) << 8) | body[5]);
    hash.update(body.data(), hashedLength);
    const u8 trailer[6] = {4, 0xFF, u8(hashedLength >> 24), u8(hashedLength >> 16), u8(hashedLength >> 8),
                           u8(hashedLength)};
    hash.update(trailer, sizeof trailer);
    return qelSigPacketVerify(body.data(), body.size(), subKey, hash.final()) == 1;
}

} // namespace

bool qelKeySigHasBackSig(QELKeyObject *binding)
{
    QELKeyObject *subKey = qelKeyObjIsLive(binding) ? static_cast<QELKeyObject *>(qelKeyObjParent(binding)) : nullptr;
    if (subKey == nullptr || qelKeyObjType(subKey) != QELObjectType_SubKey)
        return false;
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(binding, &length);
    QELSigView view;
    if (packet == nullptr || !qelSigViewOf(packet, length, &view) || view.version < 4)
        return false;
    for (std::span<const u8> area : {view.hashedArea, view.unhashedArea}) {
        qel::ByteCursor cursor(area);
        QELSubpacket sp;
        while (!cursor.empty() && qelSubpacketNext(cursor, sp))
            if (sp.type == QELSubpacket_EmbeddedSignature && backSigIsValid(subKey, sp.data))
                return true;
    }
    return false;
}

bool qelKeySigSubKeyMaySign(QELKeyObject *subKey)
{
    if (!qelKeyObjIsSubKey(subKey))
        return false;
    QELKeyObject *key = qelKeyObjTopKey(subKey);
    for (QELKeyObject *c = subKey->firstChild; c != nullptr; c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_Signature && qelSigType(c) == 0x18 &&
            qelSigSigner(c) == key && key != nullptr && qelSigIsChecked(c) && qelSigIsValid(c) &&
            qelKeySigHasBackSig(c))
            return true;
    return false;
}

QELStatus qelKeySigCheckOne(QELKeyDB *db, QELKeyObject *sig, QELKeyDB *extra, bool recheck, bool revocationsOnly,
                            std::uint8_t *outFound, std::uint8_t *outChanged, std::uint8_t *outValid,
                            QELSigPublicCache *cache)
{
    u8 found = 0, changed = 0, valid = 0;
    auto report = [&](QELStatus s) {
        if (outFound != nullptr) *outFound = found;
        if (outChanged != nullptr) *outChanged = changed;
        if (outValid != nullptr) *outValid = valid;
        return s;
    };
    if (!qelKeyObjIsLive(sig) || qelKeyObjType(sig) != QELObjectType_Signature)
        return report(QELError_BadParams);
    (void)db;
    QELKeyObject *signer = nullptr;
    if (!qelKeySigNeedsCheck(sig, extra, recheck, revocationsOnly, &signer))
        return report(QELError_NoErr);
    QELSigInfo *si = qelKeyObjSigInfo(sig);
    const u8 before = si->state;
    u8 state = before & kKeepMask;
    QELStatus status = QELError_NoErr;
    if (signer != nullptr) {
        found = 1;
        QELKeyObject *signedObject = static_cast<QELKeyObject *>(qelKeyObjParent(sig));
        if (qelKeyObjType(signedObject) == QELObjectType_UserID)
            qelUserIDClearRecheck(signedObject);
        if (qelKeyObjSigIsX509(sig)) {
            bool good = false;
            status = qelX509CheckKeySignature(sig, signer, &good);
            if (status == QELError_NoErr)
                state |= QELSigState_Checked | (good ? QELSigState_Valid : 0);
            else
                state = before;
            if (status != QELError_OutOfMemory)
                status = QELError_NoErr; // an unknown digest or an unusable key: left unchecked
        } else {
            status = checkRFC4880(sig, signer, state, cache);
            if (status != QELError_NoErr && !(state & QELSigState_Checked))
                state = before & kKeepMask;
        }
    }
    valid = (state & QELSigState_Valid) ? 1 : 0;
    if (state != before) {
        si->state = state;
        changed = 1;
    }
    QELKeyObject *top = qelKeyObjTopKey(sig);
    if (valid && signer == top && top != nullptr && !qelKeyObjSigIsX509(sig)) {
        QELKeyObject *signedObject = static_cast<QELKeyObject *>(qelKeyObjParent(sig));
        QELKeyObject *signedKey = (si->type == 0x18 && qelKeyObjType(signedObject) == QELObjectType_SubKey)
                                      ? signedObject
                                      : top;
        qelKeySigUpdateValidity(signedKey);
        // The primary user ID is chosen again.
        if (changed && qelSigMarksPrimary(sig) && qelKeyObjType(signedObject) == QELObjectType_UserID)
            qelKeyObjClearPrimaryMarks(top, -1);
    }
    return report(status);
}

// ---- sets ------------------------------------------------------------------------------

namespace {

// Visits, in database order, every live signature on the set's live keys:
// direct signatures, then those on each subkey and user ID in the set.
template <typename Fn>
QELStatus forEachSignature(QELKeySet *set, Fn &&fn)
{
    QELKeyDB *db = qelKeySetKeyDB(set);
    for (QELKeyObject *key = db->firstKey; key != nullptr; key = key->next) {
        if (!qelKeyObjIsLive(key) || qelKeyObjType(key) != QELObjectType_Key || !qelKeySetHas(key, set))
            continue;
        for (QELKeyObject *child = key->firstChild; child != nullptr; child = child->next) {
            if (!qelKeyObjIsLive(child) || !qelKeySetHas(child, set))
                continue;
            if (qelKeyObjType(child) == QELObjectType_Signature) {
                if (QELStatus s = fn(key, child); s != QELError_NoErr)
                    return s;
                continue;
            }
            for (QELKeyObject *sig = child->firstChild; sig != nullptr; sig = sig->next) {
                if (!qelKeyObjIsLive(sig) || qelKeyObjType(sig) != QELObjectType_Signature ||
                    !qelKeySetHas(sig, set))
                    continue;
                if (QELStatus s = fn(key, sig); s != QELError_NoErr)
                    return s;
            }
        }
    }
    return QELError_NoErr;
}

} // namespace

QELStatus qelKeySigCheckSet(QELKeySet *set, QELKeyDB *extra, bool recheck, bool revocationsOnly, bool throughService,
                            QELKeySigProgressFn progress, void *progressContext, QELKeySet *changed)
{
    if (!qelKeySetIsValid(set))
        return QELError_BadParams;
    if (!throughService) {
        if (QELStatus s = qelKeySigCheckCRLs(set, recheck, nullptr, changed); s != QELError_NoErr)
            return s;
        if (extra != nullptr)
            if (QELStatus s = qelKeySigCheckCRLs(qelKeyDBRootSet(extra), recheck, qelKeySetKeyDB(set), changed);
                s != QELError_NoErr)
                return s;
    }
    QELKeyDB *db = qelKeySetKeyDB(set);
    QELSigPublicCache signers;
    return forEachSignature(set, [&](QELKeyObject *key, QELKeyObject *sig) -> QELStatus {
        u8 found = 0, wasChanged = 0, valid = 0;
        // A mirrored database's signatures are checked where the database
        // lives; the service's branch runs this same check in process.
        QELStatus s = throughService ? qelKeysService().keySigCheckOne(db, sig, extra, recheck, revocationsOnly,
                                                                       &found, &wasChanged, &valid)
                                     : qelKeySigCheckOne(db, sig, extra, recheck, revocationsOnly, &found,
                                                         &wasChanged, &valid, &signers);
        if (s != QELError_NoErr)
            return s;
        if (wasChanged && changed != nullptr)
            if (QELStatus a = qelKeySetAddObject(key, changed); a != QELError_NoErr)
                return a;
        if (found && progress != nullptr)
            if (std::int32_t r = progress(progressContext, sig, valid != 0); r != 0)
                return r;
        return QELError_NoErr;
    });
}

std::uint32_t qelKeySigCountToCheck(QELKeySet *set, QELKeyDB *extra, bool recheck, bool revocationsOnly)
{
    if (!qelKeySetIsValid(set))
        return 0;
    std::uint32_t count = 0;
    static_cast<void>(forEachSignature(set, [&](QELKeyObject *, QELKeyObject *sig) -> QELStatus {
        QELKeyObject *signer = nullptr;
        if (qelKeySigNeedsCheck(sig, extra, recheck, revocationsOnly, &signer) && signer != nullptr)
            ++count;
        return QELError_NoErr;
    })); // the visitor never fails
    return count;
}

std::int32_t qelKeySigProgress(void *progressContext, QELKeyObject *, bool)
{
    auto *p = static_cast<QELKeySigProgress *>(progressContext);
    if (p == nullptr || p->handler == nullptr)
        return 0;
    ++p->done;
    QELOptionList *reply = nullptr;
    std::int32_t status = qelEventSendProgress(p->context, &reply, p->handler, p->userData, p->done, p->total);
    qelOptionListFreeAndClear(&reply); // a check takes no answer
    return status;
}

QELStatus qelKeySigCheckSetWithProgress(QELKeySet *set, QELKeyDB *extra, bool recheck, QELEventHandler handler,
                                        void *userData, QELKeySet *changed)
{
    if (!qelKeySetIsValid(set))
        return QELError_BadParams;
    QELKeySigProgress progress{qelKeySetContext(set), handler, userData, 0, 0};
    if (handler != nullptr)
        progress.total = qelKeySigCountToCheck(set, extra, recheck, false);
    return qelKeySigCheckSet(set, extra, recheck, false, false, qelKeySigProgress, &progress, changed);
}

namespace {

// Marks the certificates a valid CRL of key lists: the X.509 signatures made
// by key (or by its counterpart in the database to match).
QELStatus markRevoked(QELKeyObject *key, QELKeyObject *crl, QELKeyDB *match, QELKeySet *changed)
{
    std::size_t packetLength = 0;
    const u8 *packet = qelKeyObjRawPacket(crl, &packetLength);
    std::size_t derLength = 0;
    const u8 *der = packet != nullptr ? qelCRLPacketDER(packet, packetLength, &derLength) : nullptr;
    if (der == nullptr)
        return QELError_NoErr;
    QELKeyObject *signer = key;
    if (match != nullptr) {
        u8 fp[20];
        signer = qelKeyObjMaterialFingerprint(key, fp) == 20 ? qelKeyDBFindKeyByFingerprint(match, fp) : nullptr;
        if (signer == nullptr)
            return QELError_NoErr;
    }
    std::uint32_t marked = 0;
    for (QELKeyObject *sig = qelKeyObjKeyInfo(signer)->firstSig; sig != nullptr;
         sig = qelKeyObjSigInfo(sig)->nextBySigner) {
        std::size_t certLength = 0;
        const u8 *cert = qelKeyObjIsLive(sig) ? qelKeyObjSigX509Data(sig, &certLength) : nullptr;
        if (cert == nullptr)
            continue;
        bool listed = false;
        std::uint32_t entries = 0;
        if (QELStatus s = qelX509CRLListsCertificate(qelKeyObjContext(crl), der, derLength, cert, certLength, &listed,
                                                     &entries);
            s != QELError_NoErr)
            return s;
        if (!listed)
            continue;
        QELSigInfo *si = qelKeyObjSigInfo(sig);
        if (!(si->state & QELSigState_RevokedByCRL)) {
            si->state |= QELSigState_RevokedByCRL;
            if (changed != nullptr)
                if (QELStatus a = qelKeySetAddObject(qelKeyObjTopKey(sig), changed); a != QELError_NoErr)
                    return a;
        }
        if (++marked >= entries)
            break;
    }
    return QELError_NoErr;
}

} // namespace

QELStatus qelKeySigCheckCRLs(QELKeySet *set, bool recheck, QELKeyDB *match, QELKeySet *changed)
{
    if (!qelKeySetIsValid(set))
        return QELError_BadParams;
    QELKeyDB *db = qelKeySetKeyDB(set);
    for (QELKeyObject *key = db->firstKey; key != nullptr; key = key->next) {
        if (!qelKeyObjIsLive(key) || qelKeyObjType(key) != QELObjectType_Key || !qelKeySetHas(key, set))
            continue;
        for (QELKeyObject *crl = key->firstChild; crl != nullptr; crl = crl->next) {
            if (!qelKeyObjIsLive(crl) || qelKeyObjType(crl) != QELObjectType_CRL)
                continue;
            QELCRLInfo *ci = qelKeyObjCRLInfo(crl);
            if (recheck || !(ci->state & (QELSigState_Checked | QELSigState_Valid))) {
                std::size_t packetLength = 0;
                const u8 *packet = qelKeyObjRawPacket(crl, &packetLength);
                std::size_t derLength = 0;
                const u8 *der = packet != nullptr ? qelCRLPacketDER(packet, packetLength, &derLength) : nullptr;
                const QELStatus v = der != nullptr ? qelX509VerifyWithKey(key, der, derLength) : QELError_BadParams;
                const u8 before = ci->state;
                if (v == QELError_NoErr)
                    ci->state = QELSigState_Checked | QELSigState_Valid;
                else if (v == QELError_BadCertificateSignature)
                    ci->state = QELSigState_Checked;
                if (ci->state != before && match != nullptr && changed != nullptr)
                    if (QELStatus a = qelKeySetAddObject(key, changed); a != QELError_NoErr)
                        return a;
            }
            if (ci->state & QELSigState_Valid)
                if (QELStatus s = markRevoked(key, crl, match, changed); s != QELError_NoErr)
                    return s;
        }
    }
    return QELError_NoErr;
}

QELStatus qelKeySigCountAndCheckCRLs(QELKeySet *set, QELKeyDB *extra, bool recheck, std::uint32_t *outCount,
                                     QELKeySet *changed)
{
    if (outCount != nullptr)
        *outCount = 0;
    if (!qelKeySetIsValid(set) || outCount == nullptr)
        return QELError_BadParams;
    *outCount = qelKeySigCountToCheck(set, extra, recheck, false);
    if (QELStatus s = qelKeySigCheckCRLs(set, recheck, nullptr, changed); s != QELError_NoErr)
        return s;
    if (extra != nullptr)
        return qelKeySigCheckCRLs(qelKeyDBRootSet(extra), recheck, qelKeySetKeyDB(set), changed);
    return QELError_NoErr;
}

QELStatus qelKeySigCheckKeySet(QELKeySet *set, QELKeyDB *second, std::uint8_t recheck, QELEventHandler handler,
                               void *userValue)
{
    if (!qelKeySetIsValid(set) || (second != nullptr && !qelKeyDBIsValid(second)))
        return QELError_BadParams;
    QEL_ENTER();
    if (second == qelKeySetKeyDB(set))
        second = nullptr;
    if (qelKeyDBIsRemote(qelKeySetKeyDB(set))) {
        QELStatus s = qelKeysService().keySigCheckSetWithProgress(set, second, recheck != 0, handler, userValue);
        if (s != QELError_NoErr)
            return s;
        return qelKeysService().trustPropagate(set, second, qelTrustNow());
    }
    QELStatus s = qelKeySigCheckSetWithProgress(set, second, recheck != 0, handler, userValue, nullptr);
    if (s != QELError_NoErr)
        return s;
    return qelTrustPropagateLocal(set, second, qelTrustNow(), nullptr);
}

// ---- making signatures ---------------------------------------------------------------------

namespace {

// Hashes the key material above and including the object with the
// specification's hash, then lets `build` make the packet over that hash.
template <typename Build>
std::int64_t signKeyMaterial(QELKeyObject *object, const QELSigSpec *spec, std::uint8_t **outBody, Build &&build)
{
    if (outBody != nullptr)
        *outBody = nullptr;
    if (!qelKeyObjIsValid(object) || spec == nullptr || outBody == nullptr)
        return QELError_BadParams;
    const QELHashDescriptor *descriptor = qelSigSpecHashDescriptor(spec);
    if (descriptor == nullptr)
        return QELError_UnknownHashAlgorithm;
    // The builder copies the running hash, so it lives in the context's memory.
    QELHashContext *hash =
        qelHashCreateForDescriptor(qelContextGetMemoryMgr(qelSigSpecContext(spec)), descriptor);
    if (hash == nullptr)
        return QELError_OutOfMemory;
    std::int64_t result = qelKeySigHashKeyMaterial(hash, object, qelSigSpecVersion(spec) > 3);
    if (result == QELError_NoErr)
        result = build(hash);
    qelHashWipeState(hash);
    static_cast<void>(qelMemFree(hash)); // our own block
    return result;
}

} // namespace

std::int64_t qelKeySigSignKeyMaterial(QELKeyObject *object, const QELSigSpec *spec, const QELSigSigner &signer,
                                      std::uint8_t **outBody)
{
    return signKeyMaterial(object, spec, outBody, [&](const QELHashContext *hash) {
        return qelSigSpecMakePacketWith(spec, hash, signer, outBody);
    });
}

std::int64_t qelKeySigSignKeyMaterial(QELKeyObject *object, const QELSigSpec *spec, std::uint8_t **outBody)
{
    return signKeyMaterial(object, spec, outBody,
                           [&](const QELHashContext *hash) { return qelSigSpecMakePacket(spec, hash, outBody); });
}

namespace {
using BackSpec = qel::Owned<QELSigSpec, +[](QELSigSpec *p) { qelSigSpecFreeList(p); }>;
} // namespace

QELStatus qelKeySigAddBackSig(QELKeyObject *subKey, QELSecretKeyObject *secretKey, QELSigSpec *binding)
{
    if (!qelKeyObjIsSubKey(subKey) || secretKey == nullptr || binding == nullptr)
        return QELError_BadParams;
    QELContext *context = qelKeyObjContext(subKey);
    BackSpec back(qelSigSpecNewFor(qelContextGetSettings(context), subKey, 0x19, false, secretKey->algorithm,
                               qelKeyObjBits(subKey)));
    if (back == nullptr)
        return QELError_OutOfMemory;
    // Only a version 4 signature can be embedded, whatever the settings ask.
    if (QELStatus s = qelSigSpecSetVersion(back.get(), 4); s != QELError_NoErr)
        return s;
    QELSigSigner signer;
    signer.algorithm = secretKey->algorithm;
    std::memcpy(signer.keyID, qelKeyObjKeyInfo(subKey)->keyID, sizeof signer.keyID);
    // The new subkey signs with the object it was made as: it stands
    // unlocked, and its stored packet may be protected by another passphrase.
    signer.sign = [secretKey, context](const QELSigSpec *, std::uint8_t hashAlgorithm, const std::uint8_t *digest,
                                       std::size_t digestLength, std::vector<std::uint8_t> &outMaterial) {
        const std::int32_t size = secretKey->maxSignatureSize(secretKey, QELPkFormat_RFC4880);
        if (size < 0)
            return QELStatus(size);
        outMaterial.assign(std::size_t(size), 0);
        std::size_t produced = 0;
        const QELStatus s = secretKey->sign(secretKey, qelHashDescriptorFind(hashAlgorithm), digest, digestLength,
                                            outMaterial.data(), &produced, qelContextGetRandomContext(context),
                                            QELPkFormat_RFC4880);
        outMaterial.resize(s == QELError_NoErr ? produced : 0);
        return s;
    };
    std::uint8_t *body = nullptr;
    const std::int64_t length = qelKeySigSignKeyMaterial(subKey, back.get(), signer, &body);
    if (length < 0)
        return QELStatus(length);
    QELStatus s = QELError_NoErr;
    try {
        std::vector<std::uint8_t> item(std::size_t(length) + 1);
        item[0] = QELSubpacket_EmbeddedSignature;
        std::memcpy(item.data() + 1, body, std::size_t(length));
        s = qelSigSpecAddRawSubpacket(binding, 0, item.data(), item.size());
    } catch (...) {
        s = QELError_OutOfMemory;
    }
    static_cast<void>(qelContextMemFree(context, body)); // the builder's block
    return s;
}

std::int64_t qelKeyObjMakeSignature(QELKeyObject *object, const QELSigSpec *spec, std::uint8_t **outBody)
{
    return qelKeySigSignKeyMaterial(object, spec, outBody);
}

bool qelKeyObjPacketDiffers(QELKeyObject *object, const std::uint8_t *bytes, std::size_t length)
{
    if (!qelKeyObjIsValid(object))
        return true;
    const u8 *body = nullptr;
    std::size_t have = 0;
    if (isKeyType(qelKeyObjType(object))) {
        KeyBody key(object);
        if (key.status() != QELError_NoErr)
            return true;
        return key.length() != length || (length != 0 && std::memcmp(key.body(), bytes, length) != 0);
    }
    body = rawBody(object, &have);
    if (body == nullptr)
        return true;
    return have != length || (length != 0 && std::memcmp(body, bytes, length) != 0);
}
