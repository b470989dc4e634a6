// Stand-ins for operations whose real modules have not landed yet. Each block
// names the module that will replace it; that module deletes its block here
// and in qelSeams.h when it arrives.
#include "qelSeams.h"

// ---- qelPassCache ----
void qelPassCacheExpire(QELContext *) {}
QELStatus qelPassCachePurge(QELContext *) { return QELError_NoErr; }

// ---- qelKeyDB ----
void qelKeyDBCloseExpired(QELContext *) {}
void qelKeyDBNoteRemoteChange() {}
void qelKeyDBApplyRemoteChanges() {}
