/* Sizes shared by the public-key algorithms. */
#ifndef QEL_PK_ENCODE_H
#define QEL_PK_ENCODE_H

#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The subgroup (secret-exponent) bits for a modulus of the given bits. */
QEL_MUST_CHECK QEL_API QELStatus qelPublicKeySubgroupBits(uint32_t modulusBits, uint32_t *outBits);

#ifdef __cplusplus
}
#endif

#endif
