// Keys at work: which key part serves a role (usable subkeys, key flags),
// the public-key and secret-key operation objects made from a part's stored
// material, and the key operations that run on them here or in the service.
#include "qelKeyObjInternal.h"

#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyEditInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeySigInternal.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelMemPoolInternal.h"
#include "qelMemory.h"
#include "qelPassCachInternal.h"
#include "qelPkAlgInternal.h"
#include "qelRegexInternal.h"
#include "qelSHA1Internal.h"
#include "qelSeams.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTestHooks.h"
#include "qelTimeDate.h"
#include "qelTimeDateInternal.h"
#include "qelTokenInternal.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

namespace {

using qel::ByteCursor;
using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

} // namespace

// ---- usage and subkeys ------------------------------------------------------------------------

namespace {

u32 algorithmUsage(QELKeyObject *key)
{
    return qelPkAlgGetUsage(qelPkAlgFind(qelKeyObjKeyInfo(key)->algorithm));
}

// A binding by the subkey's own key counts only once it has been checked and
// found valid; an unchecked one is checked now.
bool bindingIsGood(QELKeyObject *subKey)
{
    QELKeyObject *key = qelKeyObjTopKey(subKey);
    for (QELKeyObject *c = subKey->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_Signature ||
            qelSigType(c) != 0x18 || qelSigSigner(c) != key || key == nullptr)
            continue;
        if (!qelSigIsChecked(c))
            static_cast<void>(qelKeySigCheckOne(qelKeyObjKeyDB(c), c, nullptr, false, false, nullptr,
                                                nullptr, nullptr)); // the state tells
        if (qelSigIsChecked(c) && qelSigIsValid(c))
            return true;
    }
    return false;
}

std::atomic<QELClockProc> g_keyUseClock{nullptr};

// The time against which expiry decides whether a part may still serve.
u32 keyUseNow()
{
    if (QELClockProc clock = g_keyUseClock.load())
        return clock();
    return qelTimeDateNow();
}

} // namespace

#ifdef QEL_TEST_HOOKS
void qelKeyUseSetClockForTesting(QELClockProc now)
{
    g_keyUseClock.store(now);
}
#endif

bool qelKeyObjIsUsableSubKey(QELKeyObject *subKey, bool checkTime, bool allowRevoked)
{
    if (!qelKeyObjIsSubKey(subKey))
        return false;
    QELKeyInfo *info = qelKeyObjKeyInfo(subKey);
    if (!allowRevoked && qelKeyObjIsRevoked(subKey))
        return false;
    if (checkTime) {
        u64 now = keyUseNow();
        if (qelKeyObjIsExpiredMark(subKey) || qelKeyObjHasExpired(subKey, u32(now)) ||
            now + 86400 < info->creation)
            return false;
    }
    return bindingIsGood(subKey);
}

QELKeyObject *qelKeyObjNewestUsableSubKey(QELKeyObject *key, QELKeySet *set)
{
    if (!qelKeyObjIsKey(key))
        return nullptr;
    QELKeyObject *best = nullptr;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_SubKey)
            continue;
        if (set != nullptr && !qelKeySetHas(c, set))
            continue;
        if (!qelKeyObjIsUsableSubKey(c, true, false))
            continue;
        if (best == nullptr || qelKeyObjCreation(c) >= qelKeyObjCreation(best))
            best = c;
    }
    return best;
}

u32 qelKeyObjUsage(QELKeyObject *key, bool checkTime, bool allowRevoked)
{
    if (!qelKeyObjIsKeyOrSubKey(key))
        return 0;
    u32 usage = algorithmUsage(key);
    if (qelKeyObjType(key) == QELObjectType_SubKey)
        usage &= QELPkUsage_Encrypt;
    bool first = true;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_SubKey ||
            !qelKeyObjIsUsableSubKey(c, checkTime, allowRevoked))
            continue;
        // The key's own encrypt bit stops counting once a subkey serves.
        usage = first ? (usage & QELPkUsage_Sign) | algorithmUsage(c) : usage | algorithmUsage(c);
        first = false;
    }
    return usage;
}

// ---- operation objects -------------------------------------------------------------------------

namespace {

u32 roleBit(int role) { return role == QELKeyRole_Sign ? QELPkUsage_Sign : QELPkUsage_Encrypt; }

// Key flags (subpacket 27, first octet) that allow a role: signing 0x02,
// encrypting communications or storage 0x04 | 0x08.
u8 flagsForRole(int role) { return role == QELKeyRole_Sign ? 0x02 : 0x0C; }

// Whether the key flags of a part allow the role: a key's from its
// self-signatures, a subkey's from its newest binding; a part without key
// flags allows every role its algorithm serves.
bool keyFlagsAllow(QELKeyObject *part, QELKeyObject *key, int role)
{
    u32 length = 0;
    const u8 *flags = nullptr;
    if (part == key) {
        QELStatus ignored = QELError_NoErr;
        flags = qelKeyObjFindSelfSigSubpacket(key, 27, 0, &length, nullptr, nullptr, nullptr, nullptr, &ignored);
    } else if (QELKeyObject *binding = qelUserIDNewestSelfCert(part, key)) {
        std::size_t n = 0;
        const u8 *packet = qelKeyObjRawPacket(binding, &n);
        flags = packet ? qelSigSubpacketFind(packet, n, 27, 0, &length, nullptr, nullptr, nullptr, nullptr) : nullptr;
    }
    return flags == nullptr || length == 0 || (flags[0] & flagsForRole(role)) != 0;
}

// A revocation of the part (0x20 on a key, 0x28 on a subkey) by the key or a
// designated revoker; one not yet checked is checked now.
bool revokedBySignature(QELKeyObject *part)
{
    const u8 wanted = qelKeyObjType(part) == QELObjectType_Key ? 0x20 : 0x28;
    for (QELKeyObject *c = part->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLiveSignature(c) || qelSigType(c) != wanted)
            continue;
        if (!qelSigIsChecked(c))
            static_cast<void>(qelKeySigCheckOne(qelKeyObjKeyDB(c), c, nullptr, false, false, nullptr, nullptr,
                                                nullptr)); // the state tells
        if (qelSigIsEffectiveRevocation(c))
            return true;
    }
    return false;
}

// The part's self-signatures (on a key also those on its user IDs) are
// checked first where they have not been: what they say counts only once
// they are found valid.
void checkSelfSigs(QELKeyObject *part, QELKeyObject *key)
{
    auto check = [key](QELKeyObject *sig) {
        if (qelKeyObjIsLiveSignature(sig) && qelSigSigner(sig) == key && !qelSigIsChecked(sig))
            static_cast<void>(qelKeySigCheckOne(qelKeyObjKeyDB(sig), sig, nullptr, false, false, nullptr, nullptr,
                                                nullptr)); // the state tells
    };
    for (QELKeyObject *c = part->firstChild; c != nullptr; c = c->next) {
        check(c);
        if (part == key && qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_UserID)
            for (QELKeyObject *s = c->firstChild; s != nullptr; s = s->next)
                check(s);
    }
}

// Whether the part may be encrypted to or sign: not revoked (nor its key),
// not expired, and its key flags, when its self-signatures carry them, allow
// the role. A key without key flags keeps the algorithm rule alone.
bool partMayServe(QELKeyObject *part, int role)
{
    QELKeyObject *key = qelKeyObjTopKey(part);
    if (key == nullptr || qelKeyObjIsRevoked(part) || qelKeyObjIsRevoked(key) || revokedBySignature(part) ||
        (part != key && revokedBySignature(key)))
        return false;
    const u32 now = keyUseNow();
    checkSelfSigs(part, key);
    if (qelKeyObjIsExpiredMark(part) || qelKeyObjHasExpired(part, now) || qelKeyObjHasExpired(key, now))
        return false;
    return keyFlagsAllow(part, key, role);
}

// The key part an operation object of this role is made from; null with the
// status when the role cannot be served.
QELKeyObject *choosePart(QELKeyObject *object, int role, bool secret, QELStatus *outStatus)
{
    *outStatus = QELError_NoErr;
    // A key kept as read (an algorithm or version this code does not know)
    // is listed but serves nothing.
    if (qelKeyObjIsOpaque(object) || qelKeyObjIsOpaque(qelKeyObjTopKey(object))) {
        *outStatus = QELError_UnsupportedAlgorithm;
        return nullptr;
    }
    if (role == QELKeyRole_Own)
        return object;
    if (role != QELKeyRole_Sign && role != QELKeyRole_Encrypt) {
        *outStatus = QELError_AlgorithmCannotDoThis;
        return nullptr;
    }
    bool isKey = qelKeyObjType(object) == QELObjectType_Key;
    QELKeyObject *part = object;
    // Only a subkey that can serve the role counts: a newer signing subkey
    // must not hide the encryption subkey.
    QELKeyObject *sub = isKey ? qelKeyObjNewestUsableSubKeyFor(object, nullptr, role) : nullptr;
    if (!isKey || sub != nullptr) {
        bool ownCan = (algorithmUsage(object) & roleBit(role)) != 0;
        if (secret) {
            if (!ownCan && role == QELKeyRole_Encrypt && isKey)
                part = sub;
            else if (!ownCan && role == QELKeyRole_Sign && !isKey)
                part = qelKeyObjTopKey(object);
        } else {
            if (role == QELKeyRole_Encrypt && isKey)
                part = sub;
            else if (role == QELKeyRole_Sign && !isKey && !ownCan)
                part = qelKeyObjTopKey(object);
        }
    }
    if (part == nullptr || !(algorithmUsage(part) & roleBit(role))) {
        *outStatus = QELError_AlgorithmCannotDoThis;
        return nullptr;
    }
    // Encrypting to a key asks what the key says of itself; decrypting and
    // verifying old messages, and certifying, do not.
    if (!secret && role == QELKeyRole_Encrypt && !partMayServe(part, role)) {
        *outStatus = QELError_AlgorithmCannotDoThis;
        return nullptr;
    }
    // Without its back-signature anyone could bind someone else's signing
    // key as a subkey and claim its signatures.
    if (role == QELKeyRole_Sign && qelKeyObjType(part) == QELObjectType_SubKey && !qelKeySigSubKeyMaySign(part)) {
        *outStatus = QELError_KeyUnusableForSignature;
        return nullptr;
    }
    return part;
}

// Algorithm octet and material of a part's stored packet.
bool storedMaterial(QELKeyObject *part, u8 *outAlgorithm, std::span<const u8> *outMaterial)
{
    std::span<const u8> body = qelKeyObjPacketBody(part);
    if (body.empty())
        return false;
    ByteCursor c(body);
    u8 version = 0, algorithm = 0;
    if (!c.u8(version) || !c.skip(qelKeyPacketAlgorithmOffset(version) - 1) || !c.u8(algorithm))
        return false;
    *outAlgorithm = algorithm;
    *outMaterial = body.subspan(body.size() - c.remaining());
    return true;
}

template <typename Ops>
Ops *makeOps(QELKeyObject *object, int role, bool secret)
{
    QELKeyDB *db = qelKeyObjIsKeyOrSubKey(object) ? qelKeyObjKeyDB(object) : nullptr;
    if (db == nullptr)
        return nullptr;
    QELStatus status = QELError_NoErr;
    QELKeyObject *part = choosePart(object, role, secret, &status);
    u8 algorithm = 0;
    std::span<const u8> material;
    if (part != nullptr && !storedMaterial(part, &algorithm, &material))
        status = QELError_OutOfMemory;
    if (status != QELError_NoErr) {
        qelKeyDBSetLastError(db, status);
        return nullptr;
    }
    QELKeyInfo *info = qelKeyObjKeyInfo(part);
    Ops *ops = nullptr;
    if constexpr (std::is_same_v<Ops, QELSecretKeyObject>) {
        QELTokenDevice *token = nullptr;
        if (qelKeyObjIsTokenOnly(part))
            token = static_cast<QELTokenDevice *>(qelTokenFindByKeyID(info->keyID));
        ops = qelSecretKeyObjectFromData(db->context, algorithm, material.data(), material.size(),
                                         (info->infoFlags & QELKeyInfo_V3) ? 1 : 0, token, &status);
    } else {
        ops = qelPublicKeyObjectFromData(db->context, algorithm, material.data(), material.size(),
                                         &status);
    }
    if (ops == nullptr) {
        qelKeyDBSetLastError(db, status < 0 ? status : QELError_OutOfMemory);
        return nullptr;
    }
    ops->setKeyID(ops, info->keyID);
    ops->owner = part;
    return ops;
}

template <typename Ops>
void releaseOps(Ops *ops)
{
    if (ops != nullptr)
        static_cast<void>(ops->destroy(ops)); // nothing to report on release
}

template <typename Ops>
using OwnedOps = std::unique_ptr<Ops, decltype(&releaseOps<Ops>)>;

template <typename Ops>
OwnedOps<Ops> ownOps(Ops *ops)
{
    return OwnedOps<Ops>(ops, &releaseOps<Ops>);
}

} // namespace

bool qelKeyObjMayServe(QELKeyObject *part, int role)
{
    return qelKeyObjIsKeyOrSubKey(part) && !qelKeyObjIsOpaque(qelKeyObjTopKey(part)) && partMayServe(part, role);
}

bool qelKeyObjCanServe(QELKeyObject *object, int role)
{
    if (!qelKeyObjIsKeyOrSubKey(object) || (role != QELKeyRole_Sign && role != QELKeyRole_Encrypt))
        return false;
    QELStatus status = QELError_NoErr;
    QELKeyObject *part = choosePart(object, role, role == QELKeyRole_Sign, &status);
    return part != nullptr && (role == QELKeyRole_Encrypt || partMayServe(part, role));
}

QELSecretKeyObject *qelKeyObjSecretOps(QELKeyObject *object, int role)
{
    return makeOps<QELSecretKeyObject>(object, role, true);
}

QELPublicKeyObject *qelKeyObjPublicOps(QELKeyObject *object, int role)
{
    return makeOps<QELPublicKeyObject>(object, role, false);
}

// ---- the key operations --------------------------------------------------------------------------

namespace {

// Objects of a database mirrored from the service run their operations there.
bool isRemote(QELKeyObject *o)
{
    QELKeyDB *db = qelKeyObjIsValid(o) ? qelKeyObjKeyDB(o) : nullptr;
    return db != nullptr && qelKeyDBIsRemote(db);
}

// The descriptor an id names; for 0 or an unknown id a blank one whose
// digest is the given value itself.
const QELHashDescriptor *hashFor(std::int32_t algorithm, std::size_t length,
                                 QELHashDescriptor &blank)
{
    const QELHashDescriptor *d = algorithm != 0 ? qelHashDescriptorFind(algorithm) : nullptr;
    if (d != nullptr)
        return d;
    blank = QELHashDescriptor{};
    blank.digestSize = length;
    return &blank;
}

// Offers the secret to another part of the key so that the cache holds it for
// that part too; whether it unlocks does not matter.
void offerSecret(QELKeyObject *object, int role, const u8 *usedKeyID, const void *passphrase,
                 std::size_t length, u8 isPasskey, u32 period, u8 selector)
{
    QELKeyDB *db = qelKeyObjKeyDB(object);
    QELStatus saved = db ? qelKeyDBGetLastError(db) : QELError_NoErr;
    auto other = ownOps(qelKeyObjSecretOps(object, role));
    if (other && std::memcmp(other->keyID, usedKeyID, 8) != 0)
        static_cast<void>(qelPassCacheUnlockKey(other.get(), passphrase, length, isPasskey, period,
                                                selector)); // a courtesy: its answer is ignored
    if (db)
        qelKeyDBSetLastError(db, saved);
}

void clearOutput(u8 **outBuffer, std::size_t *outLength)
{
    if (outBuffer) *outBuffer = nullptr;
    if (outLength) *outLength = 0;
}

// The opening both secret operations share: outputs cleared, the role's
// secret part taken (`unusable` when there is none) and unlocked through the
// passphrase cache, and, with a cache period, the secret offered to the key's
// other role so that the cache holds it for that part too. Null with the
// status in *outStatus.
OwnedOps<QELSecretKeyObject> openSecretRole(QELKeyObject *key, int role, QELStatus unusable,
                                            const void *passphrase, std::size_t length, u8 isPasskey,
                                            u32 cachePeriod, u8 selector, u8 **outBuffer,
                                            std::size_t *outLength, QELStatus *outStatus)
{
    clearOutput(outBuffer, outLength);
    auto none = ownOps<QELSecretKeyObject>(nullptr);
    if (outBuffer == nullptr || outLength == nullptr) {
        *outStatus = QELError_BadParams;
        return none;
    }
    auto ops = ownOps(qelKeyObjSecretOps(key, role));
    if (!ops) {
        *outStatus = unusable;
        return none;
    }
    *outStatus = qelPassCacheUnlockKey(ops.get(), passphrase, length, isPasskey, cachePeriod, selector);
    if (*outStatus != QELError_NoErr)
        return none;
    if (cachePeriod == 0)
        return ops;
    // Decrypting with a subkey offers the secret to the key's signing part;
    // signing with a version 4 key offers it to the key's encryption part.
    if (role == QELKeyRole_Encrypt && qelKeyObjType(ops->owner) == QELObjectType_SubKey)
        offerSecret(qelKeyObjTopKey(ops->owner), QELKeyRole_Sign, ops->keyID, passphrase, length, isPasskey,
                    cachePeriod, selector);
    else if (role == QELKeyRole_Sign && qelKeyObjKeyVersion(key) > 3)
        offerSecret(key, QELKeyRole_Encrypt, ops->keyID, passphrase, length, isPasskey, cachePeriod, selector);
    return ops;
}

void freeOutput(QELContext *context, u8 *block)
{
    if (block != nullptr)
        static_cast<void>(qelContextMemFree(context, block)); // a block of this context
}

} // namespace

QELStatus qelKeyObjLockingInfoLocal(QELKeyObject *key, u8 *outNeedsPassphrase, u8 *outTokenProtected,
                                    u32 *outCipher, u32 *outKeyBits)
{
    if (outNeedsPassphrase) *outNeedsPassphrase = 0;
    if (outTokenProtected) *outTokenProtected = 0;
    if (outCipher) *outCipher = 0;
    if (outKeyBits) *outKeyBits = 0;
    auto ops = ownOps(qelKeyObjSecretOps(key, QELKeyRole_Own));
    if (!ops)
        return QELError_UnknownProperty;
    u8 locked = ops->isLocked(ops.get()) ? 1 : 0;
    if (outNeedsPassphrase) *outNeedsPassphrase = locked;
    if (locked) {
        u32 cipher = 0;
        u64 keySize = 0;
        QELStatus s = ops->protectionCipher(ops.get(), &cipher, &keySize);
        if (s < 0)
            return s;
        if (outCipher) *outCipher = cipher;
        if (outKeyBits) *outKeyBits = u32(keySize * 8);
        u32 s2k = 0;
        if (ops->protectionS2KType(ops.get(), &s2k) >= 0 && s2k == 5 && outTokenProtected)
            *outTokenProtected = 1;
        return QELError_NoErr;
    }
    // The cipher a new protection would use: the first preferred one that
    // exists, else the context's choice.
    const QELCipherDescriptor *d = nullptr;
    u32 length = 0;
    QELStatus s = QELError_NoErr;
    const u8 *prefs = qelKeyObjFindSelfSigSubpacket(key, 11, 0, &length, nullptr, nullptr, nullptr,
                                                    nullptr, &s);
    for (u32 i = 0; prefs != nullptr && i < length && d == nullptr; ++i)
        d = qelCipherDescriptorFind(prefs[i]);
    if (d == nullptr)
        d = qelPreferredCipherDescriptorOrCAST5(qelContextGetSettings(qelKeyObjContext(key)));
    if (d != nullptr) {
        if (outCipher) *outCipher = u32(d->algorithm);
        if (outKeyBits) *outKeyBits = u32(d->keySize * 8);
    }
    return QELError_NoErr;
}

QELStatus qelKeyObjLockingInfo(QELKeyObject *key, u8 *outNeedsPassphrase, u8 *outTokenProtected,
                               u32 *outCipher, u32 *outKeyBits)
{
    if (isRemote(key))
        return qelKeysService().keyObjLockingInfo(key, outNeedsPassphrase, outTokenProtected, outCipher,
                                                  outKeyBits);
    return qelKeyObjLockingInfoLocal(key, outNeedsPassphrase, outTokenProtected, outCipher, outKeyBits);
}

QELStatus qelKeyObjUnlockLocal(QELKeyObject *key, const void *passphrase, std::size_t length, u8 isPasskey,
                               u32 cachePeriod, u8 selector)
{
    auto ops = ownOps(qelKeyObjSecretOps(key, QELKeyRole_Own));
    if (!ops)
        return qelKeyObjSecretOpsError(key);
    return qelPassCacheUnlockKey(ops.get(), passphrase, length, isPasskey, cachePeriod, selector);
}

QELStatus qelKeyObjUnlock(QELKeyObject *key, const void *passphrase, std::size_t length, u8 isPasskey,
                          u32 cachePeriod, u8 selector)
{
    if (isRemote(key))
        return qelKeysService().keyObjUnlock(key, passphrase, length, isPasskey, cachePeriod, selector);
    return qelKeyObjUnlockLocal(key, passphrase, length, isPasskey, cachePeriod, selector);
}

QELStatus qelKeyObjDecryptLocal(QELKeyObject *key, const void *passphrase, std::size_t length,
                                u8 isPasskey, u32 cachePeriod, u8 selector, const u8 *in,
                                std::size_t inLength, std::int32_t format, u8 **outBuffer,
                                std::size_t *outLength)
{
    QELStatus s = QELError_NoErr;
    auto ops = openSecretRole(key, QELKeyRole_Encrypt, QELError_KeyUnusableForEncryption, passphrase, length,
                              isPasskey, cachePeriod, selector, outBuffer, outLength, &s);
    if (!ops)
        return s;
    std::int32_t size = ops->maxPlaintextSize(ops.get());
    if (size < 0)
        return size;
    QELContext *context = qelKeyObjContext(key);
    // RFC 4880 output carries the algorithm octet and checksum beside the key.
    auto *out = static_cast<u8 *>(qelContextMemAlloc(context, std::size_t(size) + 2, 1));
    if (out == nullptr)
        return QELError_OutOfMemory;
    std::size_t produced = 0;
    s = ops->decrypt(ops.get(), in, inLength, out, &produced, passphrase, length, format);
    if (s < 0) {
        freeOutput(context, out);
        return s;
    }
    *outBuffer = out;
    *outLength = produced;
    return QELError_NoErr;
}

QELStatus qelKeyObjDecrypt(QELKeyObject *key, const void *passphrase, std::size_t length, u8 isPasskey,
                           u32 cachePeriod, u8 selector, const u8 *in, std::size_t inLength,
                           std::int32_t format, u8 **outBuffer, std::size_t *outLength)
{
    if (isRemote(key))
        return qelKeysService().keyObjDecrypt(key, passphrase, length, isPasskey, cachePeriod, selector, in,
                                              inLength, format, outBuffer, outLength);
    return qelKeyObjDecryptLocal(key, passphrase, length, isPasskey, cachePeriod, selector, in,
                                 inLength, format, outBuffer, outLength);
}

QELStatus qelKeyObjSignLocal(QELKeyObject *key, const void *passphrase, std::size_t length,
                             u8 isPasskey, u32 cachePeriod, u8 selector, std::int32_t hashAlgorithm,
                             const u8 *hash, std::size_t hashLength, std::int32_t format,
                             u8 **outBuffer, std::size_t *outLength)
{
    QELStatus s = QELError_NoErr;
    auto ops = openSecretRole(key, QELKeyRole_Sign, QELError_KeyUnusableForSignature, passphrase, length,
                              isPasskey, cachePeriod, selector, outBuffer, outLength, &s);
    if (!ops)
        return s;
    std::int32_t size = ops->maxSignatureSize(ops.get(), format);
    if (size < 0)
        return size;
    QELContext *context = qelKeyObjContext(key);
    auto *out = static_cast<u8 *>(qelContextMemAlloc(context, std::size_t(size), 0));
    if (out == nullptr)
        return QELError_OutOfMemory;
    QELHashDescriptor blank;
    std::size_t produced = 0;
    s = ops->sign(ops.get(), hashFor(hashAlgorithm, hashLength, blank), hash, hashLength, out,
                  &produced, qelContextGetRandomContext(context), format);
    if (s < 0) {
        freeOutput(context, out);
        return s;
    }
    *outBuffer = out;
    *outLength = produced;
    return QELError_NoErr;
}

QELStatus qelKeyObjSign(QELKeyObject *key, const void *passphrase, std::size_t length, u8 isPasskey,
                        u32 cachePeriod, u8 selector, std::int32_t hashAlgorithm, const u8 *hash,
                        std::size_t hashLength, std::int32_t format, u8 **outBuffer,
                        std::size_t *outLength)
{
    if (isRemote(key))
        return qelKeysService().keyObjSign(key, passphrase, length, isPasskey, cachePeriod, selector,
                                           hashAlgorithm, hash, hashLength, format, outBuffer, outLength);
    return qelKeyObjSignLocal(key, passphrase, length, isPasskey, cachePeriod, selector, hashAlgorithm,
                              hash, hashLength, format, outBuffer, outLength);
}

QELStatus qelKeyObjOpSizesLocal(QELKeyObject *key, std::int32_t *outEncrypted,
                                std::int32_t *outPlaintext, std::int32_t *outSignature,
                                std::int32_t format)
{
    if (outEncrypted) *outEncrypted = 0;
    if (outPlaintext) *outPlaintext = 0;
    if (outSignature) *outSignature = 0;
    QELKeyDB *db = qelKeyObjIsKeyOrSubKey(key) ? qelKeyObjKeyDB(key) : nullptr;
    if (db == nullptr)
        return QELError_BadParams;
    QELStatus saved = qelKeyDBGetLastError(db);
    auto keep = [](std::int32_t *out, std::int32_t value) {
        if (out != nullptr && value > 0)
            *out = value;
    };
    if (auto enc = ownOps(qelKeyObjPublicOps(key, QELKeyRole_Encrypt))) {
        keep(outEncrypted, enc->maxEncryptedSize(enc.get(), format));
        keep(outPlaintext, enc->maxPlaintextSize(enc.get()));
    }
    if (auto ver = ownOps(qelKeyObjPublicOps(key, QELKeyRole_Sign)))
        keep(outSignature, ver->maxSignatureSize(ver.get(), format));
    // A missing part is an answer here, not a failure to remember.
    qelKeyDBSetLastError(db, saved);
    return QELError_NoErr;
}

QELStatus qelKeyObjOpSizes(QELKeyObject *key, std::int32_t *outEncrypted, std::int32_t *outPlaintext,
                           std::int32_t *outSignature, std::int32_t format)
{
    if (isRemote(key))
        return qelKeysService().keyObjOpSizes(key, outEncrypted, outPlaintext, outSignature, format);
    return qelKeyObjOpSizesLocal(key, outEncrypted, outPlaintext, outSignature, format);
}

QELStatus qelKeyObjVerifyLocal(QELKeyObject *key, const u8 *signature, std::size_t signatureLength,
                               std::int32_t hashAlgorithm, const u8 *hash, std::size_t hashLength,
                               std::int32_t format)
{
    auto ops = ownOps(qelKeyObjPublicOps(key, QELKeyRole_Sign));
    if (!ops)
        return QELError_KeyUnusableForSignature;
    QELHashDescriptor blank;
    return ops->verify(ops.get(), signature, signatureLength, hashFor(hashAlgorithm, hashLength, blank),
                       hash, hashLength, format);
}

QELStatus qelKeyObjVerify(QELKeyObject *key, const u8 *signature, std::size_t signatureLength,
                          std::int32_t hashAlgorithm, const u8 *hash, std::size_t hashLength,
                          std::int32_t format)
{
    if (isRemote(key))
        return qelKeysService().keyObjVerify(key, signature, signatureLength, hashAlgorithm, hash, hashLength,
                                             format);
    return qelKeyObjVerifyLocal(key, signature, signatureLength, hashAlgorithm, hash, hashLength,
                                format);
}

QELStatus qelKeyObjEncryptLocal(QELKeyObject *key, const u8 *in, std::size_t length,
                                std::int32_t format, u8 **outBuffer, std::size_t *outLength)
{
    clearOutput(outBuffer, outLength);
    if (outBuffer == nullptr || outLength == nullptr)
        return QELError_BadParams;
    auto ops = ownOps(qelKeyObjPublicOps(key, QELKeyRole_Encrypt));
    if (!ops)
        return QELError_KeyUnusableForEncryption;
    std::int32_t size = ops->maxEncryptedSize(ops.get(), format);
    if (size < 0)
        return size;
    QELContext *context = qelKeyObjContext(key);
    auto *out = static_cast<u8 *>(qelContextMemAlloc(context, std::size_t(size), 0));
    if (out == nullptr)
        return QELError_OutOfMemory;
    std::size_t produced = 0;
    QELStatus s = ops->encrypt(ops.get(), in, length, out, &produced,
                               qelContextGetRandomContext(context), format);
    if (s < 0) {
        freeOutput(context, out);
        return s;
    }
    *outBuffer = out;
    *outLength = produced;
    return QELError_NoErr;
}

QELStatus qelKeyObjEncrypt(QELKeyObject *key, const u8 *in, std::size_t length, std::int32_t format,
                           u8 **outBuffer, std::size_t *outLength)
{
    if (isRemote(key))
        return qelKeysService().keyObjEncrypt(key, in, length, format, outBuffer, outLength);
    return qelKeyObjEncryptLocal(key, in, length, format, outBuffer, outLength);
}

// ---- subkeys by role ------------------------------------------------------------------------------

QELKeyObject *qelKeyObjNewestUsableSubKeyFor(QELKeyObject *key, QELKeySet *set, int role)
{
    if (!qelKeyObjIsKey(key) || (role != QELKeyRole_Sign && role != QELKeyRole_Encrypt))
        return nullptr;
    QELKeyObject *best = nullptr;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_SubKey ||
            (set != nullptr && !qelKeySetHas(c, set)) || !(algorithmUsage(c) & roleBit(role)) ||
            !qelKeyObjIsUsableSubKey(c, true, false) ||
            (role == QELKeyRole_Sign && !qelKeySigSubKeyMaySign(c)))
            continue;
        if (!keyFlagsAllow(c, key, role))
            continue;
        if (best == nullptr || qelKeyObjCreation(c) >= qelKeyObjCreation(best))
            best = c;
    }
    return best;
}

