/* Trust and validity: how far the keys of a key database can be believed.
 * Propagation refreshes the expiry and revocation state of every key,
 * applies trust signatures, searches certification paths from the axiomatic
 * keys and turns them into a validity for every user ID. */
#ifndef QEL_TRUST_PROP_H
#define QEL_TRUST_PROP_H

#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeySet QELKeySet;
typedef struct QELKeyDB QELKeyDB;

/* Propagates trust over the keys of the set at the current time. Axiomatic
 * keys of the second database (may be null) also start paths, and a user ID
 * keeps a greater validity that the same user ID has there. */
QEL_MUST_CHECK QEL_API QELStatus qelKeySetPropagateTrust(QELKeySet *set, QELKeyDB *second);

#ifdef __cplusplus
}
#endif

#endif
