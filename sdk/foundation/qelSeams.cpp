// Stand-ins for operations whose real modules have not landed yet. Each block
// names the module that will replace it; that module deletes its block here
// and in qelSeams.h when it arrives.
#include "qelSeams.h"

#include "qelRPCClientInternal.h"

// ---- qelPassCacheDispatch ----
QELStatus qelPassCacheGetCountsDispatch(QELContext *, int32_t *, int32_t *, int32_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelPassCachePurgeDispatch(QELContext *) { return QELError_FeatureNotAvailable; }

// ---- qelTokenDispatch ----
QELStatus qelTokenCountDispatch(QELContext *, int32_t *) { return QELError_FeatureNotAvailable; }
QELStatus qelTokenGetInfoDispatch(QELContext *, int32_t, uint8_t *) { return QELError_FeatureNotAvailable; }
QELStatus qelTokenSubmitSecretDispatch(QELContext *, int32_t, const void *, size_t)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelTokenSetSecretDispatch(QELContext *, int32_t, const void *, size_t)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelTokenReplaceSecretDispatch(QELContext *, int32_t, const void *, size_t, const void *, size_t)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelTokenSetConfigStringDispatch(const char *config)
{
    return qelRPCEnabled() ? QELError_FeatureNotAvailable : (config == nullptr ? QELError_BadParams : QELError_NoErr);
}

// ---- qelKeyDB ----
void qelKeyDBCloseExpired(QELContext *) {}
void qelKeyDBNoteRemoteChange() {}
void qelKeyDBApplyRemoteChanges() {}
