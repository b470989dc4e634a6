/* Key iterators over key lists, key sets and databases. Levels: 1 key,
   2 subkey, 4 user ID, 8 signature, -1 every object depth first. */
#ifndef QEL_KEYITER_H
#define QEL_KEYITER_H

#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeyIter QELKeyIter;
typedef struct QELKeyList QELKeyList;
typedef struct QELKeySet QELKeySet;
typedef struct QELKeyDB QELKeyDB;
typedef struct QELKeyObject QELKeyObject;

#define QELKeyIterLevel_Key 1
#define QELKeyIterLevel_SubKey 2
#define QELKeyIterLevel_UserID 4
#define QELKeyIterLevel_Signature 8
#define QELKeyIterLevel_Any (-1)

QEL_MUST_CHECK QEL_API QELStatus qelKeyIterNewOnList(QELKeyList *list, QELKeyIter **outIter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIterNewOnSet(QELKeySet *set, QELKeyIter **outIter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIterNewOnDB(QELKeyDB *db, QELKeyIter **outIter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIterCopy(QELKeyIter *iter, QELKeyIter **outIter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIterFree(QELKeyIter *iter);
QEL_API int32_t qelKeyIterIndex(QELKeyIter *iter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIterMove(QELKeyIter *iter, int32_t count, QELKeyObject **outKey);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIterNext(QELKeyIter *iter, int32_t level, QELKeyObject **outObject);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIterPrev(QELKeyIter *iter, int32_t level, QELKeyObject **outObject);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIterCurrent(QELKeyIter *iter, int32_t level, QELKeyObject **outObject);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIterRewind(QELKeyIter *iter, int32_t level);
/* Position of the key, or -1 when the iteration does not hold it. */
QEL_API int32_t qelKeyIterSeek(QELKeyIter *iter, QELKeyObject *key);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFirstSubKey(QELKeyObject *key, QELKeyObject **outSubKey);

#ifdef __cplusplus
}
#endif

#endif
