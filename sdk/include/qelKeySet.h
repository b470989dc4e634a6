/* Key sets: reference-counted subsets of the objects of one key database,
   decided by behaviours (root, union, enumerated, filtered). */
#ifndef QEL_KEYSET_H
#define QEL_KEYSET_H

#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeySet QELKeySet;
typedef struct QELKeyDB QELKeyDB;
typedef struct QELKeyObject QELKeyObject;

QEL_MUST_CHECK QEL_API QELStatus qelKeyDBNewKeySet(QELKeyDB *db, QELKeySet **outSet);
QEL_MUST_CHECK QEL_API QELStatus qelKeySetAddRef(QELKeySet *set);
QEL_MUST_CHECK QEL_API QELStatus qelKeySetRelease(QELKeySet *set);
/* Live top-level keys of the database that are members. */
QEL_MUST_CHECK QEL_API QELStatus qelKeySetCount(QELKeySet *set, uint32_t *outCount);
QEL_API uint8_t qelKeySetIsMember(QELKeyObject *object, QELKeySet *set);
/* target := target united with source (note the order: source first). */
QEL_MUST_CHECK QEL_API QELStatus qelKeySetAddSet(QELKeySet *source, QELKeySet *target);
/* set := set united with the object's enumerated set (object first). */
QEL_MUST_CHECK QEL_API QELStatus qelKeySetAddObject(QELKeyObject *object, QELKeySet *set);
QEL_MUST_CHECK QEL_API QELStatus qelKeySetRemoveFromDB(QELKeySet *set);

#ifdef __cplusplus
}
#endif

#endif
