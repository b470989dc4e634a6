/* Key databases: containers of keys, in memory, read from a key ring in a
   buffer, or backed by a public and an optional secret key-ring file.
   Reference counted; a changed file-backed database is written back to its
   rings by commit and by its last release. */
#ifndef QEL_KEYDB_H
#define QEL_KEYDB_H

#include <stddef.h>
#include <stdint.h>

#include "qelErrors.h"
#include "qelFileSpec.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELContext QELContext;
typedef struct QELKeyDB QELKeyDB;
typedef struct QELKeySet QELKeySet;
typedef struct QELKeyFilter QELKeyFilter;

/* Open flags of ring files. */
#define QELKeyDBOpen_Writable 1
#define QELKeyDBOpen_Create 2
#define QELKeyDBOpen_ReadOnly 4

QEL_MUST_CHECK QEL_API QELStatus qelKeyDBNewInMemory(QELContext *context, QELKeyDB **outDB);
/* Opens the database of a public key ring and, when a second spec is given,
   its secret ring (QELKeyDBOpen_ flags). Opening the same files again while
   the database is open (or kept alive) returns that database with one more
   reference. A ring written before a key's revocation was checked, or before
   some key or signature expired, gets its signatures checked or its trust
   propagated again. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBOpenFiles(QELContext *context, uint32_t flags,
                                                   const QELFileSpec *spec,
                                                   const QELFileSpec *secondSpec, QELKeyDB **outDB);
/* A read-only database of the key ring in the buffer (binary packets; the
   bytes are copied, trust packets are ignored). */
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBOpenFromBuffer(QELContext *context, const void *bytes,
                                                        size_t length, QELKeyDB **outDB);
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBAddRef(QELKeyDB *db);
/* Drops a reference; a changed writable database is committed first, and the
   status of that commit is returned (the reference is dropped all the same). */
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBRelease(QELKeyDB *db);
QEL_API QELKeySet *qelKeyDBGetRootSet(QELKeyDB *db);
QEL_API uint8_t qelKeyDBIsWritable(QELKeyDB *db);
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBCountKeys(QELKeyDB *db, uint32_t *outCount);
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBSetKeepAlive(QELKeyDB *db, uint32_t seconds);
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBNewFilteredSet(QELKeyDB *db, QELKeyFilter *filter,
                                                        QELKeySet **outSet);
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBCommit(QELKeyDB *db);
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBCloseUnreferenced(QELContext *context);

#ifdef __cplusplus
}
#endif

#endif
