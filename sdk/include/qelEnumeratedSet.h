/* Enumerated key sets (explicit members, down to single subkeys, user IDs and
   signatures) and filtered key sets (the members of another set that match a
   key filter). */
#ifndef QEL_ENUMERATEDSET_H
#define QEL_ENUMERATEDSET_H

#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeySet QELKeySet;
typedef struct QELKeyDB QELKeyDB;
typedef struct QELKeyObject QELKeyObject;
typedef struct QELKeyFilter QELKeyFilter;

QEL_MUST_CHECK QEL_API QELStatus qelEnumeratedSetNewEmpty(QELKeyDB *db, QELKeySet **outSet);
/* The object with its ancestors; at or under a user ID also every subkey of
   the key, at or under a subkey every user ID. */
QEL_MUST_CHECK QEL_API QELStatus qelEnumeratedSetFromObject(QELKeyObject *object, QELKeySet **outSet);
QEL_MUST_CHECK QEL_API QELStatus qelFilteredSetNew(QELKeySet *set, QELKeyFilter *filter, QELKeySet **outSet);

#ifdef __cplusplus
}
#endif

#endif
