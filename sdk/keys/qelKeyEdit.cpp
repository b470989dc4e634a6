// Key editing back ends. They run in the caller's process (or on the
// service's side for a service request) and change keys in place; the front
// ends in qelKeyMan.cpp check the arguments and propagate trust afterwards.
#include "qelKeyEditInternal.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyGenInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyProperty.h"
#include "qelKeyManInternal.h"
#include "qelPassCachInternal.h"
#include "qelPkAlgInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeySetInternal.h"
#include "qelRandomPool.h"
#include "qelSettingsInternal.h"
#include "qelSigSpecInternal.h"
#include "qelTestHooks.h"
#include "qelTimeDate.h"
#include "qelTrustPropInternal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;

void releaseSecret(QELSecretKeyObject *ops)
{
    if (ops != nullptr)
        static_cast<void>(ops->destroy(ops)); // nothing to report on release
}
using SecretOps = std::unique_ptr<QELSecretKeyObject, decltype(&releaseSecret)>;

SecretOps secretOps(QELKeyObject *object, int role)
{
    return SecretOps(qelKeyObjSecretOps(object, role), &releaseSecret);
}

QELStatus tryUnlock(QELSecretKeyObject *ops, const QELPassArgs &pass)
{
    return qelPassCacheUnlockKey(ops, pass.passphrase, pass.length, pass.isPasskey, pass.cacheTime,
                                 pass.cacheForAll);
}

void setLiveUserIDOwnerTrust(QELKeyObject *key, u8 value)
{
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_UserID)
            qelKeyObjUserIDInfo(c)->ownerTrust = value;
}

void markChanged(QELKeyObject *object, bool refreshLists)
{
    if (QELKeyDB *db = qelKeyObjKeyDB(object))
        qelKeyDBMarkChanged(db, refreshLists);
}

} // namespace

QELStatus qelKeyObjSecretOpsError(QELKeyObject *object)
{
    QELKeyDB *db = qelKeyObjKeyDB(object);
    const QELStatus s = db != nullptr ? qelKeyDBGetLastError(db) : QELError_NoErr;
    return s != QELError_NoErr ? s : QELError_NoSecretKey;
}

QELStatus qelKeyPassphraseToPasskeyLocal(QELKeyObject *key, const void *passphrase, std::size_t length,
                                         u8 *outPasskey)
{
    if (!qelKeyObjIsValid(key) || outPasskey == nullptr)
        return QELError_BadParams;
    SecretOps ops = secretOps(key, QELKeyRole_Own);
    if (!ops)
        return qelKeyObjSecretOpsError(key);
    QELContext *context = qelKeyObjContext(key);
    return ops->deriveProtectionKey(ops.get(), qelContextGetSettings(context), passphrase, length, outPasskey);
}

QELStatus qelKeyPassphraseIsValidLocal(QELKeyObject *key, const QELPassArgs &pass, bool *outValid)
{
    if (outValid != nullptr)
        *outValid = false;
    if (!qelKeyObjIsKey(key) || outValid == nullptr)
        return QELError_BadParams;
    {
        SecretOps ops = secretOps(key, QELKeyRole_Own);
        if (!ops)
            return QELError_NoErr;
        *outValid = tryUnlock(ops.get(), pass) == QELError_NoErr;
    }
    if (*outValid && pass.cacheTime != 0) {
        // Each subkey tries the same secret so that the cache holds it for
        // them too; a subkey it does not open is no error.
        for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
            if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_SubKey)
                continue;
            SecretOps sub = secretOps(c, QELKeyRole_Own);
            if (sub)
                static_cast<void>(tryUnlock(sub.get(), pass)); // a courtesy for the cache
        }
    }
    return QELError_NoErr;
}

QELStatus qelKeySetOwnerTrustLocal(QELKeyObject *key, u32 level)
{
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    const QELSettings *settings = qelContextGetSettings(qelKeyObjContext(key));
    const std::uint16_t value = qelTrustByteToValue(qelTrustLevelToValue(settings, level));
    setLiveUserIDOwnerTrust(key, qelTrustValueToByte(value));
    qelKeyObjSetOwnerTrustLevel(key, u8(level)); // keeps an expired or revoked key's level
    markChanged(key, true);
    return QELError_NoErr;
}

QELStatus qelKeyEnableLocal(QELKeyObject *key)
{
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    if (qelKeyObjIsDisabled(key)) {
        qelKeyObjClearDisabled(key);
        markChanged(key, false);
    }
    return QELError_NoErr;
}

QELStatus qelKeyDisableLocal(QELKeyObject *key)
{
    if (!qelKeyObjIsKey(key) || qelKeyObjIsAxiomatic(key))
        return QELError_BadParams;
    if (!qelKeyObjIsDisabled(key)) {
        qelKeyObjSetDisabled(key);
        markChanged(key, false);
    }
    return QELError_NoErr;
}

QELStatus qelKeySetAxiomaticLocal(QELKeyObject *key, bool set, bool checkPassphrase, const QELPassArgs &pass)
{
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    if (!set) {
        if (!qelKeyObjIsAxiomatic(key))
            return QELError_BadParams;
        qelKeyObjClearAxiomatic(key);
        markChanged(key, false);
        return QELError_NoErr;
    }
    if (!qelKeyObjIsSecret(key))
        return QELError_BadParams;
    if (qelKeyObjIsAxiomatic(key))
        return QELError_NoErr;
    if (checkPassphrase) {
        SecretOps ops = secretOps(key, QELKeyRole_Sign);
        if (!ops)
            return qelKeyObjSecretOpsError(key);
        const QELStatus s = tryUnlock(ops.get(), pass);
        if (s != QELError_NoErr)
            return s;
    }
    QELStatus s = qelKeyEnableLocal(key);
    if (s != QELError_NoErr)
        return s;
    qelKeyObjSetAxiomatic(key); // leaves a revoked key as it is
    markChanged(key, false);
    return QELError_NoErr;
}

QELStatus qelSecretOpsOpen(QELSecretKeyObject *ops, const void *passphrase, std::size_t length, u8 isPasskey)
{
    if (!ops->isLocked(ops))
        return QELError_NoErr;
    if (passphrase == nullptr || length == 0)
        return QELError_BadPassphrase;
    const std::int32_t answer = ops->unlock(ops, passphrase, length, isPasskey);
    return answer == 1 ? QELError_NoErr : answer == 0 ? QELError_BadPassphrase : answer;
}

// ---- passphrase change -------------------------------------------------------------

QELStatus qelKeyChangePassphraseLocal(QELKeyDB *db, QELKeyObject *object, QELKeyObject *key,
                                      const void *oldPassphrase, std::size_t oldLength, const void *newPassphrase,
                                      std::size_t newLength, u8 newIsPasskey, u32 cacheTime, u8 cacheForAll)
{
    if (!qelKeyDBIsValid(db) || !(qelKeyObjIsKey(object) || qelKeyObjIsSubKey(object)) ||
        qelKeyObjKeyDB(object) != db || (key != nullptr && !qelKeyObjIsKey(key)) ||
        (oldPassphrase == nullptr && oldLength != 0) || (newPassphrase == nullptr && newLength != 0))
        return QELError_BadParams;
    if (!qelKeyObjIsSecret(object))
        return QELError_NoSecretKey;
    SecretOps ops = secretOps(object, QELKeyRole_Own);
    if (!ops)
        return qelKeyObjSecretOpsError(object);
    if (const QELStatus opened = qelSecretOpsOpen(ops.get(), oldPassphrase, oldLength, 0);
        opened != QELError_NoErr)
        return opened;
    // The cipher the key asks its correspondents for; a subkey follows its
    // primary key's wishes.
    std::uint32_t length = 0;
    u8 hashed = 0;
    const u8 *preferred = qelKeyObjFindSelfSigSubpacket(key != nullptr ? key : object, QELSubpacket_PrefSymmetric,
                                                        0, &length, nullptr, &hashed, nullptr, nullptr, nullptr);
    const u32 cipher = preferred != nullptr && hashed ? qelFirstKnownCipher(preferred, length) : 0;
    // The object re-protects itself first and the stored packet is replaced
    // only from a finished object, so a failure leaves the key as it was.
    QELContext *context = db->context;
    QELStatus s = qelKeyProtect(context, ops.get(), qelContextGetRandomContext(context), cipher, oldPassphrase,
                                oldLength, newPassphrase, newLength, newIsPasskey);
    if (s == QELError_NoErr)
        s = qelKeyObjRebuildSecretPacket(object, ops.get());
    if (s != QELError_NoErr)
        return s;
    // As with unlocking, a cache time of 0 asks for nothing to be kept; a
    // cache that cannot keep the secret does not undo the change.
    if (cacheTime != 0)
        static_cast<void>(qelPassCacheAddForKey(ops.get(), newPassphrase, newLength, newIsPasskey, cacheTime,
                                                cacheForAll)); // the key is re-protected either way
    qelKeyDBMarkChanged(db, false);
    return QELError_NoErr;
}

// ---- making signatures ---------------------------------------------------------------

#ifdef QEL_TEST_HOOKS
namespace {
int g_failAttachAt = 0;
} // namespace
void qelKeyEditFailAttachForTesting(int n) { g_failAttachAt = n; }
#endif

namespace {

QELStatus injectedAttachFailure()
{
#ifdef QEL_TEST_HOOKS
    if (g_failAttachAt > 0 && --g_failAttachAt == 0)
        return QELError_OutOfMemory;
#endif
    return QELError_NoErr;
}

// A time moved by the configured offset, kept within the 32-bit range: a
// time pushed past either end would otherwise wrap round to the other.
u32 withTimeOffset(QELContext *context, QELTime t)
{
    const std::int64_t hours =
        qelSettingsGetInt(qelContextGetSettings(context), QELSetting_TimeOffsetHours, nullptr, nullptr);
    return u32(std::clamp<std::int64_t>(std::int64_t(t) + hours * 3600, 0, UINT32_MAX));
}

u32 offsetNow(QELContext *context) { return withTimeOffset(context, qelTimeDateNow()); }

// Signatures one edit has attached so far. An edit that fails part-way
// takes them back, so the key is left as it was before the edit.
class EditSigs {
public:
    ~EditSigs()
    {
        if (!kept_)
            for (QELKeyObject *sig : made_)
                static_cast<void>(qelKeyObjMarkDeleted(sig)); // taking back our own signature
    }
    void keep() { kept_ = true; }
    void add(QELKeyObject *sig) { made_.push_back(sig); }

private:
    std::vector<QELKeyObject *> made_;
    bool kept_ = false;
};

void freeSpec(QELSigSpec *spec) { qelSigSpecFreeList(spec); }
using OwnedSpec = std::unique_ptr<QELSigSpec, decltype(&freeSpec)>;
OwnedSpec ownSpec(QELSigSpec *spec) { return OwnedSpec(spec, &freeSpec); }

// Builds, signs and attaches; the new signature goes to the edit's record.
QELStatus attachTo(QELSigSpec *spec, QELKeyObject *target, EditSigs *edit)
{
    QELStatus s = injectedAttachFailure();
    if (s != QELError_NoErr)
        return s;
    // An identical signature taken back earlier is revived rather than
    // added again: what counts is what is live now and was not before.
    std::vector<QELKeyObject *> before;
    for (QELKeyObject *c = target->firstChild; c != nullptr; c = c->next)
        if (qelKeyObjIsLive(c))
            before.push_back(c);
    s = qelKeyObjAddSignature(target, spec);
    if (s != QELError_NoErr)
        return s;
    if (edit != nullptr)
        for (QELKeyObject *c = target->firstChild; c != nullptr; c = c->next)
            if (qelKeyObjIsLive(c) && std::find(before.begin(), before.end(), c) == before.end())
                edit->add(c);
    return QELError_NoErr;
}

// Subpackets a version 3 signature cannot carry: a specification that has
// one is made as version 4, so that nothing asked for is silently dropped.
bool needsVersion4(const QELSigSpec *spec)
{
    std::uint32_t seconds = 0;
    u8 value = 0, depth = 0, amount = 0;
    const char *text = nullptr;
    const std::uint8_t *data = nullptr;
    std::size_t length = 0;
    return qelSigSpecSigExpiration(spec, &seconds) != 0 || qelSigSpecExportable(spec, &value) != 0 ||
           qelSigSpecTrust(spec, &depth, &amount) != 0 || qelSigSpecRegExp(spec, &text) != 0 ||
           qelSigSpecRevocable(spec, &value) != 0 || qelSigSpecRevocationKey(spec, 0, &data, &length) != 0 ||
           qelSigSpecPrimaryUserID(spec, &value) != 0 || qelSigSpecPrefSymmetric(spec, &data, &length) != 0 ||
           qelSigSpecKeyFlags(spec, &data, &length) != 0;
}

QELStatus applyTo(QELSigSpec *spec, QELKeyObject *target, EditSigs *edit)
{
    QELKeyObject *signer = qelSigSpecSignerKey(spec);
    QELKeyObject *holder = qelKeyObjTopKey(target);
    const u8 type = qelSigSpecType(spec);
    QELStatus s = QELError_NoErr;
    if (type == 0x10 && qelKeyObjKeyInfo(signer)->algorithm > 1 && signer == holder) {
        s = qelSigSpecSetVersion(spec, 4);
        for (u32 sub : {u32(QELSubpacket_PrefSymmetric), u32(QELSubpacket_PrefCompression)}) {
            std::uint32_t length = 0;
            u8 critical = 0, found = 0;
            QELStatus ss = QELError_NoErr;
            const u8 *data = qelKeyObjFindSelfSigSubpacket(holder, sub, 0, &length, &critical, &found, nullptr,
                                                           nullptr, &ss);
            if (s == QELError_NoErr && data != nullptr && found)
                s = sub == QELSubpacket_PrefSymmetric ? qelSigSpecSetPrefSymmetric(spec, 0, data, length)
                                                      : qelSigSpecSetPrefCompression(spec, 0, data, length);
        }
        const u32 expiration = qelKeyObjExpiration(holder);
        if (s == QELError_NoErr && expiration != 0)
            s = qelSigSpecSetKeyExpiration(spec, 0, expiration - qelKeyObjCreation(holder));
    } else if (qelKeyObjIsKey(target) && type == 0x20) {
        s = qelSigSpecSetVersion(spec, 3);
    }
    if (s == QELError_NoErr && qelSigSpecVersion(spec) < 4 && needsVersion4(spec))
        s = qelSigSpecSetVersion(spec, 4);
    if (s == QELError_NoErr)
        s = attachTo(spec, target, edit);
    if (s == QELError_NoErr)
        qelKeyDBMarkChanged(qelKeyObjKeyDB(target), true);
    return s;
}

} // namespace

QELStatus qelSigSpecForSigner(QELContext *context, QELKeyObject *signer, u8 type, const QELPassArgs &pass,
                              QELSigSpec **outSpec)
{
    if (outSpec != nullptr)
        *outSpec = nullptr;
    if (outSpec == nullptr || !qelContextIsValid(context))
        return QELError_BadParams;
    if (!qelRandomPoolHasMinimumEntropy())
        return QELError_OutOfEntropy;
    if (!qelKeyObjIsKey(signer) || !qelKeyObjIsSecret(signer))
        return QELError_NoSecretKey;
    {
        SecretOps ops = secretOps(signer, QELKeyRole_Sign);
        if (!ops)
            return QELError_NoSecretKey;
    }
    if (!qelKeyObjUnlock(signer, pass.passphrase, pass.length, pass.isPasskey, pass.cacheTime, pass.cacheForAll))
        return QELError_BadPassphrase;
    QELSigSpec *spec = qelSigSpecNew(qelContextGetSettings(context), signer, type);
    if (spec == nullptr)
        return QELError_OutOfMemory;
    if (pass.passphrase != nullptr && pass.length != 0 &&
        qelSigSpecSetPassphrase(spec, pass.passphrase, pass.length, pass.isPasskey) != QELError_NoErr) {
        qelSigSpecFreeList(spec);
        return QELError_OutOfMemory;
    }
    *outSpec = spec;
    return QELError_NoErr;
}

QELStatus qelSigSpecSetLocalOnly(QELSigSpec *spec, bool exportable)
{
    if (spec == nullptr)
        return QELError_BadParams;
    return exportable ? QELError_NoErr : qelSigSpecSetExportable(spec, 0, 0);
}

QELStatus qelSigSpecApply(QELSigSpec *spec, QELKeyObject *target)
{
    if (spec == nullptr || !qelKeyObjIsValid(target) || !qelKeyObjIsValid(qelSigSpecSignerKey(spec))) {
        qelSigSpecFreeList(spec);
        return QELError_BadParams;
    }
    const QELStatus s = applyTo(spec, target, nullptr);
    qelSigSpecFreeList(spec);
    return s;
}

// ---- revocations ---------------------------------------------------------------------

namespace {

// Whether the object already stands revoked, by the given property; a
// deleted object cannot be revoked, and a property that cannot be read ends
// the revocation with its status.
QELStatus revokedAlready(QELKeyObject *object, u32 property, bool &revoked)
{
    revoked = false;
    if (qelKeyObjIsDeleted(object))
        return QELError_DeadKeyObject;
    u8 value = 0;
    const QELStatus s = qelKeyObjBoolPropertyLocal(object, property, &value);
    revoked = s == QELError_NoErr && value != 0;
    return s;
}

} // namespace

QELStatus qelSigRevokeLocal(QELContext *context, QELKeyObject *sig, const QELPassArgs &pass)
{
    if (!qelKeyObjIsSignature(sig))
        return QELError_BadParams;
    bool revoked = false;
    QELStatus s = revokedAlready(sig, QELProperty_SigIsRevokedChecked, revoked);
    if (s != QELError_NoErr || revoked)
        return s;
    QELKeyObject *userID = qelKeyObjUserID(sig);
    if (userID == nullptr)
        return QELError_BadParams;
    QELKeyObject *signer = nullptr;
    if (qelSigFindSigner(sig, nullptr, &signer) != QELError_NoErr || signer == nullptr)
        return QELError_NoSecretKey;
    QELSigSpec *raw = nullptr;
    s = qelSigSpecForSigner(context, signer, 0x30, pass, &raw);
    if (s != QELError_NoErr)
        return s;
    OwnedSpec spec = ownSpec(raw);
    s = qelSigSpecSetLocalOnly(spec.get(), qelSigIsExportable(sig));
    if (s != QELError_NoErr)
        return s;
    return applyTo(spec.get(), userID, nullptr);
}

namespace {

// Tries the key's own secret part, or without one its designated revokers
// (class bit 0x80, present with a secret part) in order, until one makes
// the revocation. QELError_BadPassphrase when every attempt was refused for its
// passphrase, QELError_NoSecretKey when there was no signer to try.
QELStatus revokeWithSigners(QELKeyObject *key, QELKeyObject *target, u8 type, const QELPassArgs &pass)
{
    QELContext *context = qelKeyObjContext(key);
    bool refused = false;
    auto attempt = [&](QELKeyObject *signer) {
        QELSigSpec *raw = nullptr;
        QELStatus s = qelSigSpecForSigner(context, signer, type, pass, &raw);
        if (s != QELError_NoErr)
            return s;
        OwnedSpec spec = ownSpec(raw);
        return applyTo(spec.get(), target, nullptr);
    };
    if (qelKeyObjIsSecret(key))
        return attempt(key); // the revokers stand in only for a missing secret
    for (u32 i = 0;; ++i) {
        u8 cls = 0;
        QELStatus status = QELError_NoErr;
        QELKeyObject *revoker = qelKeyObjNthRevoker(key, i, nullptr, nullptr, &cls, nullptr, &status);
        if (status != QELError_NoErr)
            break;
        if (!(cls & 0x80) || revoker == nullptr || !qelKeyObjIsLive(revoker) || !qelKeyObjIsSecret(revoker))
            continue;
        const QELStatus s = attempt(revoker);
        if (s != QELError_BadPassphrase)
            return s;
        refused = true;
    }
    return refused ? QELError_BadPassphrase : QELError_NoSecretKey;
}

} // namespace

QELStatus qelKeyRevokeLocal(QELKeyObject *key, const QELPassArgs &pass)
{
    if (qelKeyObjIsSubKey(key))
        return qelSubKeyRevokeLocal(key, pass);
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    // An expired key is revoked all the same: a new self-signature could
    // revive it.
    if (qelKeyCheckUsable(key) == QELError_KeyRevoked)
        return QELError_NoErr;
    return revokeWithSigners(key, key, 0x20, pass);
}

QELStatus qelSubKeyRevokeLocal(QELKeyObject *subKey, const QELPassArgs &pass)
{
    if (!qelKeyObjIsSubKey(subKey))
        return QELError_BadParams;
    bool revoked = false;
    QELStatus s = revokedAlready(subKey, QELProperty_SubKeyIsRevoked, revoked);
    if (s != QELError_NoErr || revoked)
        return s;
    QELKeyObject *key = qelKeyObjTopKey(subKey);
    if (key == nullptr)
        return QELError_BadParams;
    return revokeWithSigners(key, subKey, 0x28, pass);
}

// ---- certification -------------------------------------------------------------------

QELStatus qelUserIDCertifyLocal(QELKeyObject *userID, QELKeyObject *signer, const QELPassArgs &pass,
                                bool exportable, u32 creation, u32 expiration, u8 trustDepth, u8 trustLevel,
                                const char *regex)
{
    if (!qelKeyObjIsUserID(userID) || !qelKeyObjIsKey(signer))
        return QELError_BadParams;
    if (!qelKeyObjIsLive(userID))
        return QELError_DeadKeyObject;
    QELKeyObject *key = qelKeyObjTopKey(userID);
    QELStatus s = qelKeyCheckUsable(key);
    if (s == QELError_NoErr)
        s = qelKeyCheckUsable(signer);
    if (s != QELError_NoErr)
        return s;
    u8 algorithm = 0;
    QELKeyID signerID{};
    qelKeyObjGetKeyID(signer, &algorithm, &signerID);
    for (QELKeyObject *c = userID->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_Signature || qelSigType(c) == 0x30)
            continue;
        QELKeyID id{};
        if (qelSigGetSignerID(c, &id) == QELError_NoErr && std::memcmp(id.bytes, signerID.bytes, 8) == 0)
            return QELError_DuplicateSignature;
    }
    QELContext *context = qelKeyObjContext(userID);
    QELSigSpec *raw = nullptr;
    s = qelSigSpecForSigner(context, signer, 0x10, pass, &raw);
    if (s != QELError_NoErr)
        return s;
    OwnedSpec spec = ownSpec(raw);
    s = qelSigSpecSetLocalOnly(spec.get(), exportable);
    if (s == QELError_NoErr && creation != 0)
        s = qelSigSpecSetCreationTime(spec.get(), withTimeOffset(context, creation));
    if (s == QELError_NoErr && expiration != 0)
        s = qelSigSpecSetSigExpiration(spec.get(), 0, expiration);
    if (s == QELError_NoErr && regex != nullptr)
        s = qelSigSpecSetRegExp(spec.get(), 0, regex);
    if (s == QELError_NoErr && trustDepth != 0) {
        const u8 amount = trustLevel == 0 ? 0 : qelTrustLevelToValue(qelContextGetSettings(context), trustLevel);
        s = qelSigSpecSetTrust(spec.get(), 0, trustDepth, amount);
    }
    if (s != QELError_NoErr)
        return s;
    return applyTo(spec.get(), userID, nullptr);
}

// ---- primary user ID -------------------------------------------------------------------

namespace {

int kindOf(QELKeyObject *userID)
{
    if (!qelUserIDIsAttribute(userID))
        return 0;
    u8 type = 0;
    u32 length = 0;
    QELStatus s = QELError_NoErr;
    static_cast<void>(qelUserIDAttribute(userID, 0, &type, &length, &s)); // type 0 when unreadable
    return type;
}

std::vector<QELKeyObject *> liveUserIDs(QELKeyObject *key)
{
    std::vector<QELKeyObject *> out;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_UserID)
            out.push_back(c);
    return out;
}

// A new self-certification copied from an old one (or a fresh one without
// it), with the creation time and the passphrase of this edit.
QELStatus selfCertFor(QELKeyObject *key, QELKeyObject *old, u32 creation, const QELPassArgs &pass, OwnedSpec &out)
{
    QELStatus s = QELError_NoErr;
    QELSigSpec *raw = nullptr;
    if (old != nullptr) {
        raw = qelSigSpecFromSig(old, &s);
        if (raw == nullptr)
            return s != QELError_NoErr ? s : QELError_OutOfMemory;
        if (pass.passphrase != nullptr && pass.length != 0)
            s = qelSigSpecSetPassphrase(raw, pass.passphrase, pass.length, pass.isPasskey);
    } else {
        s = qelSigSpecForSigner(qelKeyObjContext(key), key, 0x10, pass, &raw);
    }
    out = ownSpec(raw);
    if (s == QELError_NoErr)
        s = qelSigSpecSetCreationTime(raw, creation);
    return s;
}

} // namespace

QELStatus qelUserIDSetPrimaryLocal(QELKeyObject *userID, const QELPassArgs &pass)
{
    if (!qelKeyObjIsUserID(userID))
        return QELError_BadParams;
    if (!qelKeyObjIsLive(userID))
        return QELError_DeadKeyObject;
    QELKeyObject *key = qelKeyObjTopKey(userID);
    if (key == nullptr)
        return QELError_BadParams;
    if (!qelKeyObjIsSecret(key)) {
        QELStatus s = qelKeyCheckUsable(key);
        if (s != QELError_NoErr)
            return s;
        const bool already = qelKeyObjPrimaryUserID(key, kindOf(userID)) == userID;
        qelKeyMoveUserIDFirst(userID, key);
        if (already)
            return QELError_NoErr;
        qelUserIDSetPrimaryMark(userID);
        qelKeyDBMarkChanged(qelKeyObjKeyDB(key), false);
        return QELError_NoErr;
    }
    if (!qelKeyObjUnlock(key, pass.passphrase, pass.length, pass.isPasskey, pass.cacheTime, pass.cacheForAll))
        return QELError_BadPassphrase;
    const u32 creation = offsetNow(qelKeyObjContext(key));
    // Every new self-certification is attached before any old one is
    // retired; the first failure takes back what this edit made.
    EditSigs edit;
    std::vector<QELKeyObject *> superseded;
    for (QELKeyObject *v : liveUserIDs(key)) {
        QELKeyObject *old = qelUserIDNewestSelfCert(v, key);
        if (v != userID && (old == nullptr || !qelSigMarksPrimary(old)))
            continue;
        OwnedSpec spec = ownSpec(nullptr);
        QELStatus s = selfCertFor(key, old, creation, pass, spec);
        if (s == QELError_NoErr)
            s = qelSigSpecSetPrimaryUserID(spec.get(), 0, v == userID ? 1 : 0);
        if (s == QELError_NoErr)
            s = applyTo(spec.get(), v, &edit);
        if (s != QELError_NoErr)
            return s;
        if (old != nullptr)
            superseded.push_back(old);
    }
    edit.keep();
    for (QELKeyObject *old : superseded) {
        const QELStatus s = qelKeyObjMarkDeleted(old);
        if (s != QELError_NoErr)
            return s;
    }
    qelKeyMoveUserIDFirst(userID, key);
    qelKeyDBMarkChanged(qelKeyObjKeyDB(key), true);
    return QELError_NoErr;
}

// ---- new user IDs ----------------------------------------------------------------------

QELStatus qelKeyAddUserIDLocal(QELKeyObject *key, bool attribute, u8 attributeType, const void *bytes,
                               std::size_t length, const QELPassArgs &pass)
{
    if (!qelKeyObjIsKey(key) || (bytes == nullptr && length != 0))
        return QELError_BadParams;
    QELStatus s = qelKeyCheckUsable(key);
    if (s != QELError_NoErr)
        return s;
    if (!qelKeyObjIsSecret(key))
        return QELError_NoSecretKey;
    const auto *data = static_cast<const u8 *>(bytes);
    for (QELKeyObject *u : liveUserIDs(key)) {
        if (qelUserIDIsAttribute(u) != attribute)
            continue;
        const u8 *have = nullptr;
        std::size_t haveLength = 0;
        if (attribute) {
            u8 type = 0;
            u32 n = 0;
            QELStatus as = QELError_NoErr;
            have = qelUserIDAttribute(u, 0, &type, &n, &as);
            if (type != attributeType)
                continue;
            haveLength = n;
        } else {
            have = qelUserIDText(u, &haveLength);
        }
        if (have != nullptr && haveLength == length && (length == 0 || std::memcmp(have, data, length) == 0))
            return QELError_DuplicateUserID;
    }
    bool valid = false;
    s = qelKeyPassphraseIsValidLocal(key, pass, &valid);
    if (s != QELError_NoErr)
        return s;
    if (!valid)
        return QELError_BadPassphrase;
    QELKeyObject *added = attribute ? qelKeyAddUserAttributePacket(key, attributeType, data, length)
                                    : qelKeyAddUserIDPacket(key, data, length);
    if (added == nullptr)
        return qelKeyObjSecretOpsError(key);
    QELSigSpec *raw = nullptr;
    s = qelSigSpecForSigner(qelKeyObjContext(key), key, 0x10, pass, &raw);
    if (s == QELError_NoErr) {
        OwnedSpec spec = ownSpec(raw);
        s = applyTo(spec.get(), added, nullptr);
    }
    if (s != QELError_NoErr) {
        // A user ID nobody certified is no edit: take it back.
        static_cast<void>(qelKeyObjMarkDeleted(added)); // our own new object
        return s;
    }
    return QELError_NoErr;
}

// ---- preferences -----------------------------------------------------------------------

QELStatus qelKeySetPreferencesLocal(QELKeyObject *key, const QELPassArgs &pass, const std::uint32_t *algorithms,
                                    std::size_t algorithmBytes, const void *keyServer, std::size_t keyServerLength,
                                    u32 keyFlags, bool keyFlagsPresent, u32 keyServerPrefs,
                                    bool keyServerPrefsPresent)
{
    if (!qelKeyObjIsKey(key) || (algorithms == nullptr && algorithmBytes != 0) ||
        (keyServer == nullptr && keyServerLength != 0))
        return QELError_BadParams;
    const u32 creation = offsetNow(qelKeyObjContext(key));
    std::vector<u8> preferred;
    for (std::size_t i = 0; i < algorithmBytes / 4; ++i)
        preferred.push_back(u8(algorithms[i]));
    if (!qelKeyObjUnlock(key, pass.passphrase, pass.length, pass.isPasskey, pass.cacheTime, pass.cacheForAll))
        return QELError_BadPassphrase;
    // The new self-certifications first, each one second after the
    // revocation of the one it replaces; the revocations only once every
    // new one stands.
    EditSigs edit;
    std::vector<std::pair<QELKeyObject *, QELKeyObject *>> retire; // user ID, old self-certification
    for (QELKeyObject *v : liveUserIDs(key)) {
        QELKeyObject *old = qelUserIDNewestSelfCert(v, key);
        OwnedSpec spec = ownSpec(nullptr);
        QELStatus s = selfCertFor(key, old, creation + 1, pass, spec);
        if (s == QELError_NoErr)
            s = qelSigSpecSetPrefSymmetric(spec.get(), 0, preferred.data(), preferred.size());
        if (s == QELError_NoErr)
            s = qelSigSpecSetPrefKeyServer(spec.get(), 0, keyServer, keyServerLength);
        if (s == QELError_NoErr && keyFlagsPresent) {
            const auto bytes = qelFlagOctets(keyFlags);
            s = qelSigSpecSetKeyFlags(spec.get(), 0, bytes.data(), bytes.size());
        }
        if (s == QELError_NoErr && keyServerPrefsPresent) {
            const auto bytes = qelFlagOctets(keyServerPrefs);
            s = qelSigSpecSetKeyServerPrefs(spec.get(), 0, bytes.data(), bytes.size());
        }
        if (s == QELError_NoErr)
            s = applyTo(spec.get(), v, &edit);
        if (s != QELError_NoErr)
            return s;
        if (old != nullptr)
            retire.emplace_back(v, old);
    }
    for (const auto &[v, old] : retire) {
        QELSigSpec *raw = nullptr;
        QELStatus s = qelSigSpecForSigner(qelKeyObjContext(key), key, 0x30, pass, &raw);
        OwnedSpec spec = ownSpec(raw);
        if (s == QELError_NoErr)
            s = qelSigSpecSetCreationTime(raw, creation);
        if (s == QELError_NoErr)
            s = applyTo(raw, v, &edit);
        if (s != QELError_NoErr)
            return s;
    }
    edit.keep();
    return QELError_NoErr;
}

// ---- designated revokers ---------------------------------------------------------------

QELStatus qelKeySetForEachKey(QELKeySet *set, const std::function<QELStatus(QELKeyObject *)> &visit)
{
    if (!qelKeySetIsValid(set))
        return QELError_BadParams;
    QELKeyDB *db = qelKeySetKeyDB(set);
    if (db == nullptr)
        return QELError_BadParams;
    for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next) {
        if (!qelKeyObjIsLive(k) || qelKeyObjType(k) != QELObjectType_Key || !qelKeySetHas(k, set))
            continue;
        const QELStatus s = visit(k);
        if (s != QELError_NoErr)
            return s;
    }
    return QELError_NoErr;
}

QELStatus qelSigSpecAddKeyEntry(QELSigSpec *spec, QELKeyObject *key, u8 keyClass, bool revoker)
{
    std::array<u8, 22> entry{};
    entry[0] = keyClass;
    QELKeyID id{};
    qelKeyObjGetKeyID(key, &entry[1], &id);
    if (qelKeyObjFingerprint(key, entry.data() + 2) != 20)
        return QELError_BadParams; // a version 3 key has no 20-octet fingerprint to name
    return revoker ? qelSigSpecAddRevocationKey(spec, 0, entry.data(), entry.size())
                   : qelSigSpecAddAdditionalKey(spec, 0, entry.data(), entry.size());
}

QELStatus qelKeyAddRevokersLocal(QELKeyObject *key, const QELPassArgs &pass, QELKeySet *revokers, u8 keyClass)
{
    if (!qelKeyObjIsKey(key) || !qelKeySetIsValid(revokers))
        return QELError_BadParams;
    EditSigs edit;
    const QELStatus s = qelKeySetForEachKey(revokers, [&](QELKeyObject *r) {
        QELSigSpec *raw = nullptr;
        QELStatus made = qelSigSpecForSigner(qelKeyObjContext(key), key, 0x1F, pass, &raw);
        if (made != QELError_NoErr)
            return made;
        OwnedSpec spec = ownSpec(raw);
        made = qelSigSpecAddKeyEntry(raw, r, keyClass, true);
        if (made == QELError_NoErr)
            made = qelSigSpecSetRevocable(raw, 0, 0);
        if (made == QELError_NoErr)
            made = applyTo(raw, key, &edit);
        return made;
    });
    if (s != QELError_NoErr)
        return s;
    edit.keep();
    return QELError_NoErr;
}
