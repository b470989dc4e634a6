// PKCS #7 going out: the GetCRL request a key export writes for a key's
// certificate, and certificates and revocation lists as a degenerate
// SignedData (no content, no signers), the form every X.509 reader takes.
#pragma once

#include <cstdint>

#include "asn1PKIX.h"
#include "qelContext.h"
#include "qelErrors.h"

struct QELKeyObject;

// Formats from 11020 on; with this one the extra octets are general names
// whose last becomes the cRLName.
inline constexpr std::int32_t kQELGetCRLWithName = 11023;

// DER GetCRL {issuer: the key's certificate's subject, time} in a new block
// of the context's memory manager (qelMemFree); null and 0 after a failure.
[[nodiscard]] QELStatus qelCertExportGetCRL(QELContext *context, QELKeyObject *key, const std::uint8_t *extra,
                                            std::uint64_t extraLength, std::int32_t format, std::int64_t seconds,
                                            std::uint8_t **out, std::uint64_t *outLength);
// The same for a decoded certificate; the block is the codec allocator's.
[[nodiscard]] QELStatus qelPKIGetCRLForCertificate(ASN1Context *codec, const ASN1_Certificate *certificate,
                                                   const std::uint8_t *extra, std::uint64_t extraLength,
                                                   std::int32_t format, std::int64_t seconds, std::uint8_t **out,
                                                   std::uint64_t *outLength);
// A ContentInfo of type signedData holding the certificates (a DER SET OF
// Certificate) and revocation lists (a DER SET OF CertificateList), either
// null or empty when there are none, in a new block of the context's
// memory manager. QELError_PKIDecodeFailed when a set does not decode,
// QELError_ASN1Error when the result does not encode.
[[nodiscard]] QELStatus qelCertExportPKCS7(QELContext *context, const std::uint8_t *certificates,
                                           std::uint64_t certificatesLength, const std::uint8_t *crls,
                                           std::uint64_t crlsLength, std::uint8_t **out, std::uint64_t *outLength);
