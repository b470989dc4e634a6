// Stand-ins for operations whose real modules have not landed yet. Each block
// names the module that will replace it; that module deletes its block here
// and in qelSeams.h when it arrives.
#include "qelSeams.h"

// ---- qelPassCacheDispatch ----
QELStatus qelPassCacheGetCountsDispatch(QELContext *, int32_t *, int32_t *, int32_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelPassCachePurgeDispatch(QELContext *) { return QELError_FeatureNotAvailable; }

// ---- qelKeyDB ----
void qelKeyDBCloseExpired(QELContext *) {}
void qelKeyDBNoteRemoteChange() {}
void qelKeyDBApplyRemoteChanges() {}
