// The context's certificate store, the issuer search, the check of one
// certificate and the verification of a chain up to a self-issued root.
#pragma once

#include <cstdint>

#include "asn1PKIX.h"
#include "qelPKIContextInternal.h"

extern "C" {

// Verification flags: 1 needs the issuer's CRL, 2 skips the validity window,
// 4 needs that CRL's nextUpdate in the future.
enum {
    QELPKIVerify_RequireCRL = 1,
    QELPKIVerify_NoValidity = 2,
    QELPKIVerify_RequireFreshCRL = 4
};

// The longest chain verified, root included; a longer one (or a cycle of
// certificates issuing each other) fails with -4.
enum { QELPKIMaxChainLength = 32 };

QEL_MUST_CHECK int32_t qelPKICertificateStoreAdd(QELPKICertificate *object, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateImport(const uint8_t *der, uint64_t derLength, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIFindCertificateBySubject(QELPKICertificate **object, const ASN1_Name *name,
                                                      QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIFindIssuer(QELPKICertificate **issuer, QELPKICertificate *object,
                                        QELPKIContext *context);
int32_t qelPKICertificateIsSelfIssued(const QELPKICertificate *object, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateCheck(QELPKICertificate *object, int32_t flags, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateVerifyChain(QELPKICertificate *object, int32_t flags,
                                                    QELPKIContext *context);

} // extern "C"
