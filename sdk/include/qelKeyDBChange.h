/* Changes to what a key database holds: adding the objects of a key set or
   one object (with its ancestors) from another database, and taking the
   changes a service-held database has seen. */
#ifndef QEL_KEYDBCHANGE_H
#define QEL_KEYDBCHANGE_H

#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeySet QELKeySet;
typedef struct QELKeyDB QELKeyDB;
typedef struct QELKeyObject QELKeyObject;

/* Copies every object of the set (with its ancestors) into the database.
   outSet (may be null) receives the new and changed objects, or every key
   when the database held none before. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBAddKeySet(QELKeySet *set, QELKeyDB *db, QELKeySet **outSet);
/* Adds one object as its enumerated set; outKey (may be null) receives the
   first key of the database in the result. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBAddObject(QELKeyObject *object, QELKeyDB *db, QELKeyObject **outKey);
/* A database mirrored from the SDK service takes the changes made there;
   outChanged is 1 when something changed. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBRefresh(QELKeyDB *db, uint8_t *outChanged);

#ifdef __cplusplus
}
#endif

#endif
