// Stand-ins for operations whose modules have not landed yet (defined in
// qelSeams.cpp). Each block names the module that will fill it; that module
// moves the declarations to its own internal header and deletes the block
// here and in qelSeams.cpp.
#pragma once

#include "qelErrors.h"

struct QELContext;

// Service RPC (qelPassCacheDispatch): the passphrase cache's service calls
// answer QELError_FeatureNotAvailable until the service client lands.
QELStatus qelPassCacheGetCountsDispatch(QELContext *context, int32_t *outOwn, int32_t *outNamed,
                                        int32_t *outOthers);
QELStatus qelPassCachePurgeDispatch(QELContext *context);

// Key databases (qelKeyDB): nothing to close or deliver yet.
void qelKeyDBCloseExpired(QELContext *context);
void qelKeyDBNoteRemoteChange();
void qelKeyDBApplyRemoteChanges();
