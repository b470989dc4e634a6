// Opening key databases for callers. A ring file may have been written
// before a key was revoked by a revocation nobody checked yet, or before
// some key or signature expired: the database then gets its signatures
// checked or its trust propagated again, so that validities read from the
// ring's trust packets are not taken as current when they are stale.
#include "qelKeyDBOpenInternal.h"

#include "qelContextInternal.h"
#include "qelFileSpecInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySigInternal.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelSeams.h"
#include "qelTimeDateInternal.h"
#include "qelTrustPropInternal.h"

namespace {

using u32 = std::uint32_t;

constexpr std::uint8_t kKeyRevocation = 0x20;

// A live, unrevoked key carrying a live key revocation that was never checked.
bool hasUncheckedRevocation(QELKeyDB *db)
{
    for (QELKeyObject *key = db->firstKey; key != nullptr; key = key->next) {
        if (!qelKeyObjIsLive(key) || qelKeyObjIsRevoked(key))
            continue;
        for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next)
            if (qelKeyObjIsLive(c) && qelKeyObjIsSignature(c) && qelSigType(c) == kKeyRevocation &&
                !qelSigIsChecked(c))
                return true;
    }
    return false;
}

bool expiresWithin(QELKeyObject *object, u32 from, u32 until)
{
    return qelKeyObjIsLive(object) && qelKeyObjExpiresWithin(object, from, until);
}

// Some live key, subkey or signature (keys, their children and
// grandchildren) expired between the ring's last write and now.
bool somethingExpiredSince(QELKeyDB *db, u32 since, u32 now)
{
    for (QELKeyObject *key = db->firstKey; key != nullptr; key = key->next) {
        if (!qelKeyObjIsLive(key))
            continue;
        if (expiresWithin(key, since, now))
            return true;
        for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
            if (expiresWithin(c, since, now))
                return true;
            if (!qelKeyObjIsLive(c))
                continue;
            for (QELKeyObject *g = c->firstChild; g != nullptr; g = g->next)
                if (expiresWithin(g, since, now))
                    return true;
        }
    }
    return false;
}

u32 modificationTime(const QELFileSpec *spec)
{
    QELFileInfo info{};
    if (qelFileSpecGetInfo(spec, &info) != QELError_NoErr)
        return 0;
    return qelTimeDateFromPlatform(info.modTime);
}

QELStatus bringUpToDate(QELKeyDB *db, u32 fileTime)
{
    QELKeySet *root = qelKeyDBRootSet(db);
    const u32 now = qelTrustNow();
    if (hasUncheckedRevocation(db)) {
        QELStatus s = qelKeySigCheckSetWithProgress(root, nullptr, false, nullptr, nullptr, nullptr);
        if (s != QELError_NoErr)
            return s;
        return qelTrustPropagateLocal(root, nullptr, now, nullptr);
    }
    if (somethingExpiredSince(db, fileTime, now))
        return qelTrustPropagateLocal(root, nullptr, now, nullptr);
    return QELError_NoErr;
}

} // namespace

QELStatus qelKeyDBOpenFilesLocal(QELContext *context, std::uint32_t flags, const QELFileSpec *spec,
                                 const QELFileSpec *secondSpec, QELKeyDB **outDB)
{
    if (outDB == nullptr)
        return QELError_BadParams;
    *outDB = nullptr;
    const u32 fileTime = modificationTime(spec);
    QELStatus s = QELError_NoErr;
    QELKeyDB *db = qelKeyDBOpenRingFiles(context, spec, secondSpec, flags, &s);
    if (db == nullptr)
        return s != QELError_NoErr ? s : QELError_OutOfMemory;
    s = bringUpToDate(db, fileTime);
    if (s != QELError_NoErr) {
        static_cast<void>(qelKeyDBReleaseLocal(db)); // the failure is what the caller hears of
        return s;
    }
    *outDB = db;
    return QELError_NoErr;
}

QELStatus qelKeyDBOpenFromBufferLocal(QELContext *context, const void *bytes, std::size_t length,
                                      QELKeyDB **outDB)
{
    if (outDB == nullptr)
        return QELError_BadParams;
    *outDB = nullptr;
    QELStatus s = QELError_NoErr;
    QELKeyDB *db = qelKeyDBReadBuffer(context, bytes, length, &s);
    if (db == nullptr)
        return s != QELError_NoErr ? s : QELError_OutOfMemory;
    *outDB = db;
    return QELError_NoErr;
}

QELStatus qelKeyDBOpenFiles(QELContext *context, std::uint32_t flags, const QELFileSpec *spec,
                            const QELFileSpec *secondSpec, QELKeyDB **outDB)
{
    if (outDB == nullptr)
        return QELError_BadParams;
    *outDB = nullptr;
    if (!qelContextIsValid(context) || !qelFileSpecIsValid(spec) ||
        (secondSpec != nullptr && !qelFileSpecIsValid(secondSpec)))
        return QELError_BadParams;
    QEL_ENTER();
    try {
        if (qelServiceConnected())
            return qelKeysService().keyDBOpenFiles(context, flags, spec, secondSpec, outDB);
        return qelKeyDBOpenFilesLocal(context, flags, spec, secondSpec, outDB);
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    }
}

QELStatus qelKeyDBOpenFromBuffer(QELContext *context, const void *bytes, std::size_t length, QELKeyDB **outDB)
{
    if (outDB == nullptr)
        return QELError_BadParams;
    *outDB = nullptr;
    if (!qelContextIsValid(context) || (bytes == nullptr && length != 0))
        return QELError_BadParams;
    QEL_ENTER();
    try {
        if (qelServiceConnected())
            return qelKeysService().keyDBOpenFromBuffer(context, bytes, length, outDB);
        return qelKeyDBOpenFromBufferLocal(context, bytes, length, outDB);
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    }
}
