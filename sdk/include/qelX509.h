/* Certificate lists: checks that the first certificate of a peer's list
   chains, by signatures and names, to a certificate of a trusted list. */
#ifndef QEL_X509_H
#define QEL_X509_H

#include <stdint.h>

#include "qelContext.h"
#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Both lists: a 24-bit big-endian total length of the entries, then each
   entry as a 24-bit big-endian length and a DER certificate. 0 when the first
   certificate of certificateList chains to a certificate of trustedList;
   QELError_CertificateNotFound when an issuer is in neither list (or the
   issuers only lead round in a circle), QELError_BadCertificateSignature for a
   link whose signature fails, QELError_CertificateMismatch when a self-issued
   certificate is reached before a trusted issuer, QELError_BadDER for an
   entry that runs past its list. */
QEL_MUST_CHECK QEL_API QELStatus qelX509VerifyCertificateList(QELContext *context, const uint8_t *certificateList,
                                                              const uint8_t *trustedList);

/* The DER Name of distinguished-name text in which values may be quoted
   ("Doe, John"): each quoted character that separates or escapes in the
   text is taken as part of the value. *outDER is a new block of the
   context's memory manager. Both outs are required and cleared first. */
QEL_MUST_CHECK QEL_API QELStatus qelX509NameTextToDER(QELContext *context, const char *text, uint8_t **outDER,
                                                      uint64_t *outLength);

#ifdef __cplusplus
}
#endif

#endif
