// A key of the key database in the pieces a PKCS #10 request or an
// enrolment certificate takes: the subjectPublicKeyInfo's algorithm,
// parameters and key octets, and the algorithm the requester signs with.
#pragma once

#include <cstdint>

#include "asn1.h"
#include "qelErrors.h"

struct QELKeyObject;

struct QELPublicKeyInfo {
    const std::uint8_t *algorithm;          // OID content octets, a constant
    std::uint64_t algorithmLength;
    std::uint8_t *publicKey;                // RSAPublicKey DER, or the DSA INTEGER y
    std::uint64_t publicKeyLength;
    std::uint8_t *parameters;               // NULL (RSA), Dss-Parms (DSA)
    std::uint64_t parametersLength;
    const std::uint8_t *signatureAlgorithm; // a constant
    std::uint64_t signatureAlgorithmLength;
    std::uint8_t *signatureParameters;      // NULL (RSA), none (DSA)
    std::uint64_t signatureParametersLength;
};

// Fills the record (blocks of the key's memory manager). After a failure
// past the algorithm check the OIDs are still set; the caller frees the
// record with qelPublicKeyInfoFree in every case.
[[nodiscard]] QELStatus qelKeyPublicKeyInfo(QELKeyObject *key, ASN1Context *codec, QELPublicKeyInfo *info);
void qelPublicKeyInfoFree(QELPublicKeyInfo *info);
