// What the foundation asks of the key layer: the key objects, sets and
// databases that options hold, what a context's databases and passphrase
// cache need when the context goes, the housekeeping pass, and the delivery
// of key-database change notifications. And where the key layer keeps what
// it asks of the service.
#include "qelKeysSeamsInternal.h"

#include "qelKeyDBChangeInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelLayerSeamsInternal.h"
#include "qelPassCachInternal.h"

namespace {

void housekeep(QELContext *context)
{
    qelPassCacheExpire(context);
    qelKeyDBCloseExpired(context);
}

constexpr QELKeysSeams kSeams{
    .isKeyObject = qelKeyObjIsValid,
    .isKey = qelKeyObjIsKey,
    .isKeySet = qelKeySetIsValid,
    .isKeyDB = qelKeyDBIsValid,
    .retainKeySet = qelKeySetAddRefInternal,
    .releaseKeySet = [](QELKeySet *set) { qelKeySetReleaseInternal(set, false); },
    .retainKeyDB = qelKeyDBAddRefInternal,
    .releaseKeyDB = qelKeyDBReleaseQuietly,
    .contextGone = qelKeyDBContextGone,
    // Directly, not through the guarded purge: the cached passkeys are wiped
    // even while the guard refuses public calls. The purge always gives 0.
    .contextRelease = [](QELContext *context) { static_cast<void>(qelPassCachePurgeLocal(context)); },
    .passCachePurge = qelPassCachePurge,
    .housekeep = housekeep,
    .noteRemoteChange = qelKeyDBNoteRemoteChange,
    .applyRemoteChanges = qelKeyDBApplyRemoteChanges,
};

} // namespace

void qelKeysSeamsInstall() { qelLayerSeamsInstallKeys(&kSeams); }

namespace {
QELSeamSlot<QELKeysServiceSeams> g_service;
} // namespace

void qelKeysServiceSeamsInstall(const QELKeysServiceSeams *seams) { g_service.install(seams); }
const QELKeysServiceSeams &qelKeysService() { return g_service.get(); }
