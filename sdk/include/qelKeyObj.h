/* Key objects: the keys, subkeys, user IDs, signatures, revocation lists and
   other packets of a key database, and the lookup of keys by key ID. */
#ifndef QEL_KEYOBJ_H
#define QEL_KEYOBJ_H

#include <stddef.h>
#include <stdint.h>

#include "qelErrors.h"
#include "qelKeyID.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeyObject QELKeyObject;
typedef struct QELKeyDB QELKeyDB;

/* Object types. */
#define QELObjectType_Key 1
#define QELObjectType_SubKey 2
#define QELObjectType_UserID 3
#define QELObjectType_Signature 4
#define QELObjectType_CRL 5
#define QELObjectType_Other 6

/* A real key (not a placeholder, not deleted) with this key ID;
   QELError_ItemNotFound when there is none. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyDBFindKey(QELKeyDB *db, const QELKeyID *id, QELKeyObject **outKey);

/* The key that made a signature: the signer object when it is a live key,
   otherwise the key with the signer's key ID in db (which may be null);
   QELError_ItemNotFound when there is none, QELError_DeadKeyObject for a
   deleted signature. */
QEL_MUST_CHECK QEL_API QELStatus qelSigGetSigner(QELKeyObject *sig, QELKeyDB *db, QELKeyObject **outKey);

/* The index-th designated revoker named by the key's self-signatures: the
   revoker's key when the database holds it (else null) and its key ID;
   QELError_ItemNotFound when there is no such entry. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyGetRevoker(QELKeyObject *key, uint32_t index, QELKeyObject **outKey,
                                                  QELKeyID *outID);
/* The number of designated-revoker entries (0 when there are none). */
QEL_MUST_CHECK QEL_API QELStatus qelKeyCountRevokers(QELKeyObject *key, uint32_t *outCount);

#ifdef __cplusplus
}
#endif

#endif
