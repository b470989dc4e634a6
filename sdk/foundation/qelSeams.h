// Stand-ins for operations whose modules have not landed yet (defined in
// qelSeams.cpp). Each block names the module that will fill it; that module
// moves the declarations to its own internal header and deletes the block
// here and in qelSeams.cpp.
#pragma once

#include "qelErrors.h"

struct QELContext;

// Passphrase cache (qelPassCache): nothing to expire or purge yet.
void qelPassCacheExpire(QELContext *context);
[[nodiscard]] QELStatus qelPassCachePurge(QELContext *context);

// Key databases (qelKeyDB): nothing to close or deliver yet.
void qelKeyDBCloseExpired(QELContext *context);
void qelKeyDBNoteRemoteChange();
void qelKeyDBApplyRemoteChanges();
