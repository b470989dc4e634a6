// A key of the key database as a small certification authority: it issues
// X.509 certificates (for a key, or from a PKCS #10 request whose own
// signature verifies) and CRLs over the key-side codec, signs them with its
// secret key and imports them into the database at once. Times are 64-bit
// throughout, so a validity that runs past 2038 or 2106 is written as it is
// and never wraps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "asn1Key.h"
#include "qelErrors.h"
#include "qelKeyIOExportInternal.h"
#include "qelPKICertificateInternal.h"

struct QELContext;
struct QELKeyObject;
struct QELKeySet;

// A certificate for a key (self-signed when issuer is that key or its
// subkey) or for the DER PKCS #10 request (subject null; issuer the CA's
// signature object), imported into the subject's (or the CA's) database;
// *outSig is the signature object that carries it.
[[nodiscard]] QELStatus qelX509CreateCertificate(QELKeyObject *issuer, QELKeyObject *subject,
                                                 const std::uint8_t *request, std::size_t requestLength,
                                                 const QELX509IssueArgs *args, QELKeyObject **outSig);
// A CRL over the certificates of the set that the CA (its signature
// object) issued, added to the CA's database.
[[nodiscard]] QELStatus qelX509CreateCRL(QELKeyObject *issuer, QELKeySet *revoked, const QELX509IssueArgs *args);

// Fills and signs an empty certificate record: serial number, version,
// algorithms, issuer, validity and extensions; the subject Name and the
// SubjectPublicKeyInfo are already in it. startTime 0 means now; days 0
// means 365 days.
[[nodiscard]] QELStatus qelX509SignNewCertificate(QELContext *context, ASN1Context *codec, QELKeyObject *caObject,
                                                  std::int64_t startTime, std::int32_t days,
                                                  const QELX509IssueArgs *args, ASN1Key_Certificate *certificate);

// Checks a DER PKCS #10 request's signature with the key the request
// carries: 0, QELError_BadCertificateSignature, or why it could not be
// checked.
[[nodiscard]] QELStatus qelX509VerifyRequest(QELContext *context, const std::uint8_t *der, std::size_t length);

extern "C" {

// The toolkit's verify callback over the SDK: the signature over the signed
// octets is checked with the key of the issuer's certificate; userData is
// a QELPKICallbackData whose SDK context does the hashing. 0 or -1.
int qelPKISDKVerifyWithCertificate(const uint8_t *signedData, uint64_t signedLength, const uint8_t *algorithmOID,
                                   uint64_t algorithmOIDLength, const uint8_t *keyParameters,
                                   uint64_t keyParametersLength, const uint8_t *signature, uint64_t signatureLength,
                                   const uint8_t *publicKey, uint64_t publicKeyLength, QELPKICertificate *issuer,
                                   void *userData, QELPKIContext *context);

} // extern "C"
