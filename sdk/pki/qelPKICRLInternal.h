// Revocation lists: building, signing, encoding and decoding them, keeping
// the newest verified list of each issuer in the context, and answering
// whether a certificate is revoked.
#pragma once

#include <cstdint>

#include "asn1PKIX.h"
#include "qelPKIContextInternal.h"

extern "C" {

QEL_MUST_CHECK int32_t qelPKICRLCreate(ASN1_CertificateList **out, const uint8_t *signatureOID,
                                       uint64_t signatureOIDLength, const uint8_t *parameters,
                                       uint64_t parametersLength, const ASN1_Name *issuer, int64_t nextUpdate,
                                       const ASN1_Extensions *extensions, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICRLAddEntry(ASN1_CertificateList *crl, const uint8_t *serial, uint64_t serialLength,
                                         int64_t revocationTime, const ASN1_Extensions *extensions,
                                         QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICRLSetUpdateTimes(ASN1_CertificateList *crl, int32_t days, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICRLSign(ASN1_CertificateList *crl, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICRLEncodeTBS(uint8_t **buffer, uint64_t *length, ASN1_CertificateList *crl,
                                          QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICRLEncode(uint8_t **buffer, uint64_t *length, ASN1_CertificateList *crl,
                                       QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICRLDecode(ASN1_CertificateList **out, const uint8_t *der, uint64_t length,
                                       QELPKIContext *context);
void qelPKICRLFree(ASN1_CertificateList *crl, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICRLGetExtensions(ASN1_Extensions **extensions, const ASN1_CertificateList *crl);
QEL_MUST_CHECK int32_t qelPKICRLGetEntryExtensions(ASN1_Extensions **extensions, const ASN1_CertificateList *crl,
                                                   const ASN1_Integer *serial);
QEL_MUST_CHECK int32_t qelPKICheckRevocation(QELPKIContext *context, const QELPKICertificate *object,
                                             int32_t flags);
QEL_MUST_CHECK int32_t qelPKIAddCRL(ASN1_CertificateList *crl, QELPKIContext *context, int32_t flags);
QEL_MUST_CHECK int32_t qelPKIRemoveCRL(const ASN1_Name *issuer, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIImportCRL(const uint8_t *der, uint64_t length, QELPKIContext *context, int32_t flags);

} // extern "C"
