// Certificate accessors (copies of the signature, key, serial number and
// version) and the comparisons of names, byte strings and times.
#pragma once

#include <cstdint>

#include "asn1PKIX.h"
#include "qelPKIContextInternal.h"

extern "C" {

QEL_MUST_CHECK int32_t qelPKICertificateGetSignature(uint8_t **data, uint64_t *length, int32_t *unusedBits,
                                                     const QELPKICertificate *object, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateGetSignatureAlgorithm(uint8_t **data, uint64_t *length,
                                                              const QELPKICertificate *object,
                                                              QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateGetPublicKey(uint8_t **data, uint64_t *length, int32_t *unusedBits,
                                                     const QELPKICertificate *object, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateGetKeyParameters(uint8_t **data, uint64_t *length,
                                                         const QELPKICertificate *object, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateGetSerialNumber(uint8_t **data, uint64_t *length,
                                                        const QELPKICertificate *object, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateGetVersion(int32_t *version, const QELPKICertificate *object,
                                                   QELPKIContext *context);

// 1 equal, 0 not, -1 for a null name.
int32_t qelPKINameCompare(const ASN1_Name *a, const ASN1_Name *b, QELPKIContext *context);
int32_t qelPKIByteStringEqual(const ASN1_OctetString *a, const ASN1_OctetString *b);
int32_t qelPKISerialNumberEqual(const ASN1_OctetString *a, const ASN1_OctetString *b);
// 1 when a is later, 0 for the same second, -1 when a is earlier.
int32_t qelPKITimeCompare(const ASN1_Time *a, const ASN1_Time *b, QELPKIContext *context);
void qelPKICollapseWhitespace(char *text);

} // extern "C"
