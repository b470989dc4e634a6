/* Key IDs: 8 or 4 bytes of an RFC 4880 key ID with a public-key algorithm,
   passed by value. Algorithm 255 matches any algorithm when compared, and a
   4-byte ID matches the low half of an 8-byte one. */
#ifndef QEL_KEYID_H
#define QEL_KEYID_H

#include <stddef.h>
#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeyID {
    uint8_t valid;      /* 1 for a made ID */
    uint8_t length;     /* 4 or 8 */
    uint8_t algorithm;  /* 255: any */
    uint8_t reserved;
    uint8_t bytes[8];   /* the first `length` bytes are used */
    uint8_t reserved2[24];
} QELKeyID;

#define QELKeyIDFormat_Short 1
#define QELKeyIDFormat_Full 2
/* Room a caller gives qelKeyIDFormat. */
#define QELKeyIDTextSize 128

struct QELKeyObject;

QEL_MUST_CHECK QEL_API QELStatus qelKeyIDFromData(const void *bytes, uint32_t length, uint32_t algorithm,
                                                  QELKeyID *outID);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIDFromText(const char *text, uint32_t algorithm, QELKeyID *outID);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIDFromKey(const struct QELKeyObject *key, QELKeyID *outID);
QEL_MUST_CHECK QEL_API QELStatus qelKeyIDGetAlgorithm(QELKeyID id, uint32_t *outAlgorithm);
/* -1, 0 or 1; 0 when either ID is invalid. */
QEL_API int32_t qelKeyIDCompare(QELKeyID a, QELKeyID b);
/* "0x" and upper-case hex digits into a buffer of QELKeyIDTextSize bytes. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyIDFormat(QELKeyID id, int32_t format, char *outText);

#ifdef __cplusplus
}
#endif

#endif
