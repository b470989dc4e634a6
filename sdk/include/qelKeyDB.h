/* Key databases: containers of keys, in memory, read from a key ring in a
   buffer, or backed by a public and an optional secret key-ring file.
   Reference counted; a changed file-backed database is written back to its
   rings by commit and by its last release. */
#ifndef QEL_KEYDB_H
#define QEL_KEYDB_H

#include <stddef.h>
#include <stdint.h>

#include "qelErrors.h"

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

QEL_MUST_CHECK QELStatus qelKeyDBNewInMemory(QELContext *context, QELKeyDB **outDB);
QEL_MUST_CHECK QELStatus qelKeyDBAddRef(QELKeyDB *db);
/* Drops a reference; a changed writable database is committed first, and the
   status of that commit is returned (the reference is dropped all the same). */
QEL_MUST_CHECK QELStatus qelKeyDBRelease(QELKeyDB *db);
QELKeySet *qelKeyDBGetRootSet(QELKeyDB *db);
uint8_t qelKeyDBIsWritable(QELKeyDB *db);
QEL_MUST_CHECK QELStatus qelKeyDBCountKeys(QELKeyDB *db, uint32_t *outCount);
QEL_MUST_CHECK QELStatus qelKeyDBSetKeepAlive(QELKeyDB *db, uint32_t seconds);
QEL_MUST_CHECK QELStatus qelKeyDBNewFilteredSet(QELKeyDB *db, QELKeyFilter *filter,
                                                QELKeySet **outSet);
QEL_MUST_CHECK QELStatus qelKeyDBCommit(QELKeyDB *db);
QEL_MUST_CHECK QELStatus qelKeyDBCloseUnreferenced(QELContext *context);

#ifdef __cplusplus
}
#endif

#endif
