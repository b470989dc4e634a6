// PKCS #10 certification requests (RFC 2986) and their attribute sets,
// signed and checked through the context's callbacks.
#pragma once

#include <cstdint>

#include "asn1PKIX.h"
#include "qelPKIContextInternal.h"

extern "C" {

QEL_MUST_CHECK int32_t qelPKIRequestCreate(ASN1_CertificationRequest **out, int32_t version,
                                           const uint8_t *signatureOID, uint64_t signatureOIDLength,
                                           const uint8_t *signatureParameters, uint64_t signatureParametersLength,
                                           const ASN1_Name *subject, const uint8_t *keyOID, uint64_t keyOIDLength,
                                           const uint8_t *publicKey, uint64_t publicKeyLength,
                                           const uint8_t *keyParameters, uint64_t keyParametersLength,
                                           const ASN1_Attributes *attributes, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIRequestEncode(uint8_t **buffer, uint64_t *length, ASN1_CertificationRequest *request,
                                           QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIRequestDecode(ASN1_CertificationRequest **out, const uint8_t *der, uint64_t length,
                                           QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIRequestVerify(ASN1_CertificationRequest *request, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIRequestGetAttribute(uint8_t **octets, uint64_t *length,
                                                 const ASN1_CertificationRequest *request, const uint8_t *oid,
                                                 uint64_t oidLength, QELPKIContext *context);
void qelPKIRequestFree(ASN1_CertificationRequest *request, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIAttributesNew(ASN1_Attributes **out, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIAttributesAdd(ASN1_Attributes *set, const uint8_t *oid, uint64_t oidLength,
                                           const uint8_t *value, uint64_t valueLength, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIAttributesAddSigningTime(ASN1_Attributes *set, QELPKIContext *context);
void qelPKIAttributesFree(ASN1_Attributes *set, QELPKIContext *context);

} // extern "C"
