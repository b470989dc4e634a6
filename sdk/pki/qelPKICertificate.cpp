// Certificates made from their parts and signed through the context's sign
// callback. The result is decoded again from its own DER, so the object
// holds exactly the octets that were signed.
#include "qelPKICertificateInternal.h"

#include "qelPKIConvertInternal.h"
#include "qelPKIExtensionInternal.h"
#include "qelPKINameInternal.h"

using namespace qel::pki;

namespace {

using CertHeld = Held<ASN1_Certificate, asn1Free_Certificate>;

// Moves a freshly copied name into an embedded name member.
int32_t copyNameInto(ASN1_Name &target, const ASN1_Name *source, QELPKIContext *context)
{
    ASN1_Name *copy = nullptr;
    const int32_t status = qelPKINameCopy(&copy, source, context);
    if (status != 0)
        return status;
    if (copy == nullptr)
        return QELPKIError_OutOfMemory;
    target = *copy;
    release(context, copy);
    return 0;
}

int32_t setKeyInfo(ASN1_SubjectPublicKeyInfo &info, const uint8_t *keyOID, uint64_t keyOIDLength,
                   const uint8_t *publicKey, uint64_t publicKeyLength, const uint8_t *keyParameters,
                   uint64_t keyParametersLength, QELPKIContext *context)
{
    int32_t status =
        qelPKISetAlgorithmIdentifier(&info.algorithm, keyOID, keyOIDLength, keyParameters, keyParametersLength, context);
    if (status == 0 && asn1SetBitString(context->codec, &info.subjectPublicKey, publicKey, publicKeyLength, 0) != 0)
        status = QELPKIError_OutOfMemory;
    return status;
}

} // namespace

extern "C" {

int32_t qelPKITimeSet(ASN1_Time *time, int64_t seconds, QELPKIContext *context)
{
    if (time == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    ASN1_OctetString *value = nullptr;
    uint8_t identifier = 0x17;
    int32_t status = qelPKIUTCTimeFromSeconds(&value, seconds, context);
    if (status == QELPKIError_InvalidArguments) {
        identifier = 0x18;
        status = qelPKIGeneralizedTimeFromSeconds(&value, seconds, context);
    }
    if (status != 0)
        return status;
    if (time->alternative != nullptr)
        asn1Free_OctetString(context->codec, static_cast<ASN1_OctetString *>(time->alternative));
    time->identifier = identifier;
    time->alternative = value;
    return 0;
}

int32_t qelPKISetAlgorithmIdentifier(ASN1_AlgorithmIdentifier *identifier, const uint8_t *oid, uint64_t oidLength,
                                     const uint8_t *parameters, uint64_t parametersLength, QELPKIContext *context)
{
    if (identifier == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    if (asn1SetOctetString(context->codec, &identifier->algorithm, oid, oidLength) != 0)
        return QELPKIError_OutOfMemory;
    if (identifier->parameters != nullptr) {
        asn1Free_OctetString(context->codec, identifier->parameters);
        identifier->parameters = nullptr;
    }
    if (parameters == nullptr || parametersLength == 0)
        return 0;
    identifier->parameters = asn1New_OctetString(context->codec);
    if (identifier->parameters == nullptr ||
        asn1SetOctetString(context->codec, identifier->parameters, parameters, parametersLength) != 0)
        return QELPKIError_OutOfMemory;
    return 0;
}

int32_t qelPKICertificateCreate(QELPKICertificate **out, int32_t version, const uint8_t *serial,
                                uint64_t serialLength, const uint8_t *signatureOID, uint64_t signatureOIDLength,
                                const uint8_t *signatureParameters, uint64_t signatureParametersLength,
                                const ASN1_Name *issuer, int64_t notBefore, int64_t notAfter,
                                const ASN1_Name *subject, const ASN1_Extensions *extensions, const uint8_t *keyOID,
                                uint64_t keyOIDLength, const uint8_t *publicKey, uint64_t publicKeyLength,
                                const uint8_t *keyParameters, uint64_t keyParametersLength, QELPKIContext *context)
{
    if (context == nullptr)
        return QELPKIError_InvalidArguments;
    CertHeld cert(context->codec, asn1New_Certificate(context->codec));
    if (cert.get() == nullptr)
        return QELPKIError_OutOfMemory;
    if (out == nullptr || context->sign == nullptr || subject == nullptr || issuer == nullptr ||
        static_cast<uint32_t>(version) > 2)
        return QELPKIError_InvalidArguments;
    *out = nullptr;
    ASN1Context *codec = context->codec;
    ASN1_TBSCertificate &tbs = cert->tbsCertificate;
    if (version != 0) {
        tbs.version = asn1New_OctetString(codec);
        if (tbs.version == nullptr || asn1SetIntegerValue(codec, tbs.version, version) != 0)
            return QELPKIError_OutOfMemory;
    }
    if (asn1SetOctetString(codec, &tbs.serialNumber, serial, serialLength) != 0)
        return QELPKIError_OutOfMemory;
    int32_t status = qelPKISetAlgorithmIdentifier(&tbs.signature, signatureOID, signatureOIDLength,
                                                  signatureParameters, signatureParametersLength, context);
    if (status == 0)
        status = copyNameInto(tbs.issuer, issuer, context);
    if (status == 0)
        status = copyNameInto(tbs.subject, subject, context);
    // From 2050 on the validity is GeneralizedTime, as RFC 5280 asks.
    if (status == 0)
        status = qelPKITimeSet(&tbs.validity.notBefore, notBefore, context);
    if (status == 0)
        status = qelPKITimeSet(&tbs.validity.notAfter, notAfter, context);
    if (status != 0)
        return status;
    if (extensions != nullptr) {
        if (version < 2)
            return QELPKIError_Extension;
        status = qelPKIExtensionsCopy(&tbs.extensions, extensions, context);
        if (status != 0)
            return status;
    }
    status = setKeyInfo(tbs.subjectPublicKeyInfo, keyOID, keyOIDLength, publicKey, publicKeyLength, keyParameters,
                        keyParametersLength, context);
    if (status != 0)
        return status;

    CodecBlock tbsDER(codec);
    status = packRecord(&tbsDER.data, &tbsDER.length, &tbs, codec, asn1Sizeof_TBSCertificate,
                        asn1Pack_TBSCertificate);
    if (status != 0)
        return status;
    uint8_t *signature = nullptr;
    uint64_t signatureLength = 0;
    const int rc = context->sign(&signature, &signatureLength, tbsDER.data, tbsDER.length, signatureOID,
                                 signatureOIDLength, context->signData, context);
    CodecBlock sigBlock(codec);
    sigBlock.data = signature;
    if (rc != 0)
        return QELPKIError_SignFailed;
    status = qelPKISetAlgorithmIdentifier(&cert->signatureAlgorithm, signatureOID, signatureOIDLength,
                                          signatureParameters, signatureParametersLength, context);
    if (status != 0)
        return status;
    if (asn1SetBitString(codec, &cert->signatureValue, signature, signatureLength, 0) != 0)
        return QELPKIError_OutOfMemory;
    CodecBlock certDER(codec);
    status = packRecord(&certDER.data, &certDER.length, cert.get(), codec, asn1Sizeof_Certificate,
                        asn1Pack_Certificate);
    if (status != 0)
        return status;
    return qelPKICertificateDecode(out, certDER.data, certDER.length, context);
}

int32_t qelPKICertificateEncode(uint8_t **buffer, uint64_t *length, const QELPKICertificate *object,
                                QELPKIContext *context)
{
    if (buffer == nullptr || length == nullptr || object == nullptr || object->certificate == nullptr ||
        context == nullptr)
        return QELPKIError_InvalidArguments;
    return packRecord(buffer, length, object->certificate, context->codec, asn1Sizeof_Certificate,
                      asn1Pack_Certificate);
}

int32_t qelPKICertificateGetExtensions(ASN1_Extensions **extensions, const QELPKICertificate *object)
{
    if (extensions == nullptr || object == nullptr || object->certificate == nullptr)
        return QELPKIError_InvalidArguments;
    *extensions = object->certificate->tbsCertificate.extensions;
    return 0;
}

} // extern "C"
