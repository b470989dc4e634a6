/* What this SDK offers: its symmetric and public-key algorithms with their
 * names and capabilities, feature flag words and a banner text. */
#ifndef QEL_FEATURES_H
#define QEL_FEATURES_H

#include <stddef.h>
#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One symmetric algorithm (360 octets). */
typedef struct QELSymmetricCipherInfo {
    char shortName[32];
    char longName[292];
    uint32_t algorithm;
    uint8_t reserved[32];
} QELSymmetricCipherInfo;

/* One public-key algorithm (368 octets). */
typedef struct QELPkAlgInfo {
    char shortName[32];
    char longName[292];
    uint32_t algorithm;
    uint8_t canEncrypt;
    uint8_t canDecrypt;
    uint8_t canSign;
    uint8_t canVerify;
    uint8_t available;
    uint8_t reserved[35];
} QELPkAlgInfo;

/* The banner needs a buffer of at least this many octets. */
#define QEL_FEATURES_BANNER_SIZE 55

QEL_MUST_CHECK QEL_API QELStatus qelSymmetricCipherCount(uint32_t *outCount);
/* index 0 to count - 1. */
QEL_MUST_CHECK QEL_API QELStatus qelSymmetricCipherGetInfo(uint32_t index, QELSymmetricCipherInfo *outInfo);
/* selector 1 or 2. */
QEL_MUST_CHECK QEL_API QELStatus qelFeatureFlags(uint32_t selector, uint32_t *outFlags);
QEL_MUST_CHECK QEL_API QELStatus qelPkAlgCount(uint32_t *outCount);
QEL_MUST_CHECK QEL_API QELStatus qelPkAlgGetInfo(uint32_t index, QELPkAlgInfo *outInfo);
QEL_MUST_CHECK QEL_API QELStatus qelFeaturesBanner(char *buffer);

#ifdef __cplusplus
}
#endif

#endif
