// Stand-ins for operations whose real modules have not landed yet. Each block
// names the module that will replace it; that module deletes its block here
// when it arrives.
#include "qelErrors.h"
#include "qelSeams.h"

// ---- fndcore: stand-ins called by SDK start-up/clean-up, the housekeeping
// pass and the FIPS self-test driver (qelSDK, qelFIPS). ----
struct QELContext;
// Passphrase cache and key databases (future qelPassCach, qelKeyDB): there
// is nothing to expire, close or deliver yet.
void qelPassCacheExpire(QELContext *) {}
void qelKeyDBCloseExpired(QELContext *) {}
void qelKeyDBNoteRemoteChange() {}
void qelKeyDBApplyRemoteChanges() {}
// Passphrase cache purge (future qelPassCach): no cache exists yet.
QELStatus qelPassCachePurge(QELContext *) { return QELError_NoErr; }
// ---- end fndcore ----
