// Key editing back ends. They run in the caller's process (or on the
// service's side for a service request) and change keys in place; the front
// ends in qelKeyMan.cpp check the arguments and propagate trust afterwards.
#include "qelKeyEditInternal.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyManInternal.h"
#include "qelPassCachInternal.h"
#include "qelPkAlgInternal.h"
#include "qelTrustPropInternal.h"

#include <memory>

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

// The stored reason why a key object could not be made.
QELStatus storedError(QELKeyObject *object)
{
    QELKeyDB *db = qelKeyObjKeyDB(object);
    const QELStatus s = db != nullptr ? qelKeyDBGetLastError(db) : QELError_NoErr;
    return s != QELError_NoErr ? s : QELError_NoSecretKey;
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

QELStatus qelKeyPassphraseToPasskeyLocal(QELKeyObject *key, const void *passphrase, std::size_t length,
                                         u8 *outPasskey)
{
    if (!qelKeyObjIsValid(key) || outPasskey == nullptr)
        return QELError_BadParams;
    SecretOps ops = secretOps(key, QELKeyRole_Own);
    if (!ops)
        return storedError(key);
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
            return storedError(key);
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
