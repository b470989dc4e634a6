/* Key lists: sorted snapshots of the top-level keys of a key set, sorted again
   whenever the database changes; and key iterators over lists and sets. */
#ifndef QEL_KEYLIST_H
#define QEL_KEYLIST_H

#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeyList QELKeyList;
typedef struct QELKeySet QELKeySet;
typedef struct QELKeyObject QELKeyObject;

/* Orders (1 keeps the database's order). */
#define QELKeyListOrder_Database 1
#define QELKeyListOrder_Name 2
#define QELKeyListOrder_KeyID 3
#define QELKeyListOrder_Validity 4
#define QELKeyListOrder_OwnerTrust 5
#define QELKeyListOrder_EncryptKeySize 6
#define QELKeyListOrder_KeySize 7
#define QELKeyListOrder_Creation 8
#define QELKeyListOrder_Expiration 9
#define QELKeyListOrder_ShortKeyID 10

QEL_MUST_CHECK QEL_API QELStatus qelKeyListNew(QELKeySet *set, int32_t order, uint8_t reverse,
                                               QELKeyList **outList);
QEL_MUST_CHECK QEL_API QELStatus qelKeyListAddRef(QELKeyList *list);
QEL_MUST_CHECK QEL_API QELStatus qelKeyListRelease(QELKeyList *list);
QEL_API int32_t qelKeyListCompareKeys(QELKeyObject *a, QELKeyObject *b, int32_t order);
QEL_API int32_t qelKeyListCompareNames(const char *a, const char *b);

#ifdef __cplusplus
}
#endif

#endif
