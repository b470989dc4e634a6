// X.509 v3 extension codecs: a toolkit record per known extension, encoders
// that append an ASN1_Extension to a list, decoders that read one back, the
// table that binds the 21 known extensions to their OIDs, the list
// operations, and the per-context list of extensions understood as critical.
#pragma once

#include <cstdint>

#include "asn1PKIX.h"
#include "qelPKIContextInternal.h"

extern "C" {

typedef int32_t (*QELPKIExtensionEncoder)(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                          QELPKIContext *context);
typedef int32_t (*QELPKIExtensionDecoder)(void **result, ASN1_Extension *extension, QELPKIContext *context);

typedef struct QELX509ExtensionCodec {
    QELPKIExtensionEncoder encode;
    QELPKIExtensionDecoder decode;
    const uint8_t *oid;
    uint64_t oidLength;
} QELX509ExtensionCodec;

// The 21 known extensions in their fixed order, ended by a row of zeros.
extern const QELX509ExtensionCodec qelX509ExtensionCodecs[22];

// Bit i (value 1 << i) is bit i of the KeyUsage BIT STRING.
typedef struct QELPKIKeyUsage {
    uint32_t bits;
} QELPKIKeyUsage;

typedef struct QELPKIBasicConstraints {
    int32_t cA;
    int32_t pathLenConstraint; // -1 when absent
} QELPKIBasicConstraints;

typedef struct QELPKIExtKeyUsage {
    int32_t count;
    int32_t *purposes; // 1 serverAuth ... 5 timeStamping, 0 for any other purpose read
} QELPKIExtKeyUsage;

typedef struct QELPKIPrivateKeyUsagePeriod {
    int64_t notBefore; // seconds since 1970, 0 when absent
    int64_t notAfter;
} QELPKIPrivateKeyUsagePeriod;

typedef struct QELPKIPolicyConstraints {
    int32_t requireExplicitPolicy; // -1 when absent
    int32_t inhibitPolicyMapping;
} QELPKIPolicyConstraints;

QEL_MUST_CHECK int32_t qelPKIExtensionEncode(ASN1_Extensions *extensions, const uint8_t *oid, uint64_t oidLength,
                                             int32_t critical, const void *value, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIExtensionDecode(void **result, int32_t *critical, const uint8_t *oid,
                                             uint64_t oidLength, ASN1_Extensions *extensions,
                                             QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIExtensionFind(ASN1_Extension **extension, ASN1_Extensions *extensions,
                                           const uint8_t *oid, uint64_t oidLength);

QEL_MUST_CHECK int32_t qelPKIExtensionAppend(ASN1_Extensions *extensions, const uint8_t *oid, uint64_t oidLength,
                                             int32_t critical, const uint8_t *der, uint64_t derLength,
                                             QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIExtensionsNew(ASN1_Extensions **extensions, QELPKIContext *context);
void qelPKIExtensionsFree(ASN1_Extensions *extensions, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIExtensionsCopy(ASN1_Extensions **copy, const ASN1_Extensions *source,
                                            QELPKIContext *context);

QEL_MUST_CHECK int32_t qelPKIExtensionRegister(const uint8_t *oid, uint64_t oidLength,
                                               QELPKIExtensionHandlerFn handler, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIExtensionsCheck(ASN1_Extensions *extensions, void *subject, QELPKIContext *context);
void qelPKIExtensionRegistryFree(QELPKIExtensionNode **head, ASN1Allocator *allocator);

#define QEL_PKI_EXTENSION_CODEC(name)                                                                               \
    QEL_MUST_CHECK int32_t qelPKIEncode##name(ASN1_Extensions *extensions, const void *value, int32_t critical,     \
                                              QELPKIContext *context);                                             \
    QEL_MUST_CHECK int32_t qelPKIDecode##name(void **result, ASN1_Extension *extension, QELPKIContext *context);
QEL_PKI_EXTENSION_CODEC(KeyUsage)
QEL_PKI_EXTENSION_CODEC(BasicConstraints)
QEL_PKI_EXTENSION_CODEC(CRLNumber)
QEL_PKI_EXTENSION_CODEC(DeltaCRLIndicator)
QEL_PKI_EXTENSION_CODEC(SubjectKeyIdentifier)
QEL_PKI_EXTENSION_CODEC(PrivateKeyUsagePeriod)
QEL_PKI_EXTENSION_CODEC(PolicyConstraints)
QEL_PKI_EXTENSION_CODEC(ExtKeyUsage)
QEL_PKI_EXTENSION_CODEC(CRLReasonCode)
QEL_PKI_EXTENSION_CODEC(HoldInstructionCode)
QEL_PKI_EXTENSION_CODEC(InvalidityDate)
QEL_PKI_EXTENSION_CODEC(AuthorityKeyIdentifier)
QEL_PKI_EXTENSION_CODEC(NameConstraints)
QEL_PKI_EXTENSION_CODEC(CRLDistributionPoints)
QEL_PKI_EXTENSION_CODEC(AuthorityInfoAccess)
QEL_PKI_EXTENSION_CODEC(IssuingDistributionPoint)
QEL_PKI_EXTENSION_CODEC(CertificatePolicies)
QEL_PKI_EXTENSION_CODEC(PolicyMappings)
QEL_PKI_EXTENSION_CODEC(SubjectDirectoryAttributes)
#undef QEL_PKI_EXTENSION_CODEC
QEL_MUST_CHECK int32_t qelPKIEncodeSubjectAltName(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                                  QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIEncodeIssuerAltName(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                                 QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIDecodeAltName(void **result, ASN1_Extension *extension, QELPKIContext *context);

QEL_MUST_CHECK int32_t qelPKIEncodeIntegerExtension(ASN1_Extensions *extensions, const int32_t *value,
                                                    int32_t critical, QELPKIContext *context, const uint8_t *oid);
QEL_MUST_CHECK int32_t qelPKIDecodeIntegerExtension(void **result, ASN1_Extension *extension,
                                                    QELPKIContext *context);

} // extern "C"

namespace qel::pki {

// The writing helpers the extension encoders share.
// Packs a PKIX record into a block of its exact size and appends it.
template <typename R>
int32_t packAndAppend(ASN1_Extensions *extensions, const std::uint8_t *oid, std::uint64_t oidLength,
                      int32_t critical, R *record,
                      std::uint64_t (*size)(ASN1Context *, R *, int32_t),
                      std::uint64_t (*pack)(ASN1Context *, std::uint8_t *, std::uint64_t, R *, int32_t *),
                      QELPKIContext *context, int32_t packFailure = 0)
{
    const std::uint64_t n = size(context->codec, record, 1);
    if (n == 0)
        return packFailure != 0 ? packFailure : QELPKIError_Unknown;
    auto *block = static_cast<std::uint8_t *>(alloc(context, n));
    if (block == nullptr)
        return QELPKIError_OutOfMemory;
    std::int32_t err = 0;
    const std::uint64_t written = pack(context->codec, block, n, record, &err);
    int32_t status = 0;
    if (err != 0 || written != n)
        status = packFailure != 0 ? packFailure : qelPKIErrorFromASN1(err != 0 ? err : -1);
    else
        status = qelPKIExtensionAppend(extensions, oid, oidLength, critical, block, n, context);
    release(context, block);
    return status;
}

// Decodes an extension's value as one whole PKIX record; 0 or the
// translated codec status (-2 for a value that is absent or not consumed).
template <typename R, void (*Free)(ASN1Context *, R *)>
int32_t unpackValue(Held<R, Free> &out, const ASN1_Extension *extension,
                    std::uint64_t (*unpack)(ASN1Context *, R **, const std::uint8_t *, std::uint64_t, std::int32_t *),
                    QELPKIContext *context)
{
    std::int32_t err = 0;
    const std::uint64_t used =
        unpack(context->codec, out.out(), extension->extnValue.data, extension->extnValue.length, &err);
    if (err != 0)
        return qelPKIErrorFromASN1(err);
    if (used != extension->extnValue.length || out.get() == nullptr)
        return QELPKIError_ASN1Parse;
    return 0;
}

// A named-bit BIT STRING in DER's minimal form: trailing zero bits dropped,
// no value at all as 03 01 00. Bit i of word is bit i of the string.
int32_t setNamedBits(ASN1Context *codec, ASN1_BitString *record, std::uint32_t word);
// The named bits of a BIT STRING (bits from 32 on ignored).
std::uint32_t namedBits(const ASN1_BitString &record);

} // namespace qel::pki
