/* Signature checks on keys: verifies the certifications, bindings and
   revocations a key database holds and records each result in the
   signature's state. */
#ifndef QEL_KEYSIG_H
#define QEL_KEYSIG_H

#include <stdint.h>

#include "qelContext.h"
#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeySet QELKeySet;
typedef struct QELKeyDB QELKeyDB;

/* Checks the signatures of the set's keys (only those not yet checked unless
   recheck is non-zero). Signers are looked up in the set's database and, when
   given, in a second database. The handler (may be null) receives a progress
   event after each signature whose signer was found. */
QEL_MUST_CHECK QEL_API QELStatus qelKeySigCheckKeySet(QELKeySet *set, QELKeyDB *second, uint8_t recheck,
                                                      QELEventHandler handler, void *userValue);

#ifdef __cplusplus
}
#endif

#endif
