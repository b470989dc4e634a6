// Certification requests. A request whose attributes cannot be copied for
// want of memory is an error, never a request signed without them.
#include "qelPKIRequestInternal.h"

#include <ctime>

#include "qelPKICertificateInternal.h"
#include "qelPKIConvertInternal.h"
#include "qelPKINameInternal.h"

using namespace qel::pki;

namespace {

constexpr std::uint8_t kSigningTime[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};

using RequestHeld = Held<ASN1_CertificationRequest, asn1Free_CertificationRequest>;
using AttributeHeld = Held<ASN1_Attribute, asn1Free_Attribute>;

// A new attribute of one type and one value (a complete element).
int32_t appendAttribute(ASN1_Attributes *set, const std::uint8_t *oid, std::uint64_t oidLength,
                        const std::uint8_t *value, std::uint64_t valueLength, ASN1Context *codec)
{
    AttributeHeld attribute(codec, asn1New_Attribute(codec));
    if (attribute.get() == nullptr || asn1SetOctetString(codec, &attribute->type, oid, oidLength) != 0)
        return QELPKIError_OutOfMemory;
    ASN1_Any *any = asn1New_OctetString(codec);
    if (any == nullptr)
        return QELPKIError_OutOfMemory;
    if (asn1SetOctetString(codec, any, value, valueLength) != 0 ||
        asn1AppendElement(codec, any, &attribute->values) != 0) {
        asn1Free_OctetString(codec, any);
        return QELPKIError_OutOfMemory;
    }
    if (asn1AppendElement(codec, attribute.get(), set) != 0)
        return QELPKIError_OutOfMemory;
    attribute.release();
    return 0;
}

} // namespace

extern "C" {

int32_t qelPKIRequestCreate(ASN1_CertificationRequest **out, int32_t version, const uint8_t *signatureOID,
                            uint64_t signatureOIDLength, const uint8_t *signatureParameters,
                            uint64_t signatureParametersLength, const ASN1_Name *subject, const uint8_t *keyOID,
                            uint64_t keyOIDLength, const uint8_t *publicKey, uint64_t publicKeyLength,
                            const uint8_t *keyParameters, uint64_t keyParametersLength,
                            const ASN1_Attributes *attributes, QELPKIContext *context)
{
    if (out != nullptr)
        *out = nullptr;
    if (out == nullptr || context == nullptr || context->sign == nullptr || subject == nullptr)
        return QELPKIError_InvalidArguments;
    ASN1Context *codec = context->codec;
    ASN1_CertificationRequest *request = asn1New_CertificationRequest(codec);
    if (request == nullptr)
        return QELPKIError_OutOfMemory;
    // From here on the partly filled request goes to the caller also on failure.
    *out = request;
    if (static_cast<uint32_t>(version) > 2)
        return QELPKIError_InvalidArguments;
    ASN1_CertificationRequestInfo &info = request->certificationRequestInfo;
    if (asn1SetIntegerValue(codec, &info.version, version) != 0)
        return QELPKIError_OutOfMemory;
    ASN1_Name *name = nullptr;
    int32_t status = qelPKINameCopy(&name, subject, context);
    if (status != 0)
        return status;
    if (name == nullptr)
        return QELPKIError_OutOfMemory;
    info.subject = *name;
    release(context, name);
    status = qelPKISetAlgorithmIdentifier(&info.subjectPKInfo.algorithm, keyOID, keyOIDLength, keyParameters,
                                          keyParametersLength, context);
    if (status != 0)
        return status;
    if (asn1SetBitString(codec, &info.subjectPKInfo.subjectPublicKey, publicKey, publicKeyLength, 0) != 0)
        return QELPKIError_OutOfMemory;
    for (std::int64_t i = 0; attributes != nullptr && i < attributes->count; ++i) {
        const ASN1_Attribute *a = attributes->elements[i];
        if (a == nullptr || a->values.count < 1 || a->values.elements[0] == nullptr)
            continue;
        status = appendAttribute(&info.attributes, a->type.data, a->type.length, a->values.elements[0]->data,
                                 a->values.elements[0]->length, codec);
        if (status != 0)
            return status;
    }
    CodecBlock der(codec);
    status = packRecord(&der.data, &der.length, &info, codec, asn1Sizeof_CertificationRequestInfo,
                        asn1Pack_CertificationRequestInfo);
    if (status != 0)
        return status;
    CodecBlock signature(codec);
    if (context->sign(&signature.data, &signature.length, der.data, der.length, signatureOID, signatureOIDLength,
                      context->signData, context) != 0)
        return QELPKIError_SignFailed;
    status = qelPKISetAlgorithmIdentifier(&request->signatureAlgorithm, signatureOID, signatureOIDLength,
                                          signatureParameters, signatureParametersLength, context);
    if (status != 0)
        return status;
    if (asn1SetBitString(codec, &request->signature, signature.data, signature.length, 0) != 0)
        return QELPKIError_OutOfMemory;
    return 0;
}

int32_t qelPKIRequestEncode(uint8_t **buffer, uint64_t *length, ASN1_CertificationRequest *request,
                            QELPKIContext *context)
{
    if (buffer == nullptr || length == nullptr || request == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    return packRecord(buffer, length, request, context->codec, asn1Sizeof_CertificationRequest,
                      asn1Pack_CertificationRequest);
}

int32_t qelPKIRequestDecode(ASN1_CertificationRequest **out, const uint8_t *der, uint64_t length,
                            QELPKIContext *context)
{
    if (out == nullptr || der == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *out = nullptr;
    RequestHeld request(context->codec);
    std::int32_t err = 0;
    const std::uint64_t used = asn1Unpack_CertificationRequest(context->codec, request.out(), der, length, &err);
    if (err != 0)
        return qelPKIErrorFromASN1(err);
    if (used != length || request.get() == nullptr)
        return QELPKIError_ASN1Parse;
    *out = request.release();
    return 0;
}

int32_t qelPKIRequestVerify(ASN1_CertificationRequest *request, QELPKIContext *context)
{
    if (request == nullptr || context == nullptr || context->verify == nullptr)
        return QELPKIError_InvalidArguments;
    ASN1_CertificationRequestInfo &info = request->certificationRequestInfo;
    CodecBlock der(context->codec);
    const int32_t status = packRecord(&der.data, &der.length, &info, context->codec,
                                      asn1Sizeof_CertificationRequestInfo, asn1Pack_CertificationRequestInfo);
    if (status != 0)
        return status;
    const ASN1_Any *parameters = info.subjectPKInfo.algorithm.parameters;
    if (context->verify(der.data, der.length, request->signatureAlgorithm.algorithm.data,
                        request->signatureAlgorithm.algorithm.length,
                        parameters != nullptr ? parameters->data : nullptr,
                        parameters != nullptr ? parameters->length : 0, request->signature.data,
                        request->signature.length, info.subjectPKInfo.subjectPublicKey.data,
                        info.subjectPKInfo.subjectPublicKey.length, nullptr, context->userData, context) != 0)
        return QELPKIError_InvalidSignature;
    return 0;
}

int32_t qelPKIRequestGetAttribute(uint8_t **octets, uint64_t *length, const ASN1_CertificationRequest *request,
                                  const uint8_t *oid, uint64_t oidLength, QELPKIContext *context)
{
    if (octets == nullptr || length == nullptr || oid == nullptr || request == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *octets = nullptr;
    *length = 0;
    const ASN1_Attributes &set = request->certificationRequestInfo.attributes;
    for (std::int64_t i = 0; i < set.count; ++i) {
        const ASN1_Attribute *a = set.elements[i];
        if (a == nullptr || !sameBytes(a->type.data, a->type.length, oid, oidLength))
            continue;
        if (a->values.count < 1 || a->values.elements[0] == nullptr)
            return QELPKIError_NotFound;
        const ASN1_Any *value = a->values.elements[0];
        *octets = copyBytes(context, value->data, value->length);
        if (*octets == nullptr && value->length != 0)
            return QELPKIError_OutOfMemory;
        *length = value->length;
        return 0;
    }
    return QELPKIError_NotFound;
}

void qelPKIRequestFree(ASN1_CertificationRequest *request, QELPKIContext *context)
{
    if (request != nullptr && context != nullptr)
        asn1Free_CertificationRequest(context->codec, request);
}

int32_t qelPKIAttributesNew(ASN1_Attributes **out, QELPKIContext *context)
{
    if (out == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *out = asn1New_Attributes(context->codec);
    return *out != nullptr ? 0 : QELPKIError_OutOfMemory;
}

int32_t qelPKIAttributesAdd(ASN1_Attributes *set, const uint8_t *oid, uint64_t oidLength, const uint8_t *value,
                            uint64_t valueLength, QELPKIContext *context)
{
    if (set == nullptr || oid == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    return appendAttribute(set, oid, oidLength, value, valueLength, context->codec);
}

int32_t qelPKIAttributesAddSigningTime(ASN1_Attributes *set, QELPKIContext *context)
{
    if (set == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    ASN1_OctetString *raw = nullptr;
    int32_t status = qelPKIUTCTimeFromSeconds(&raw, static_cast<std::int64_t>(std::time(nullptr)), context);
    if (status != 0)
        return status;
    Held<ASN1_OctetString, asn1Free_OctetString> text(context->codec, raw);
    CodecBlock der(context->codec);
    status = packRecord(&der.data, &der.length, text.get(), context->codec, asn1Sizeof_OctetString,
                        asn1Pack_UTCTime);
    if (status != 0)
        return status;
    return appendAttribute(set, kSigningTime, sizeof kSigningTime, der.data, der.length, context->codec);
}

void qelPKIAttributesFree(ASN1_Attributes *set, QELPKIContext *context)
{
    if (set != nullptr && context != nullptr)
        asn1Free_Attributes(context->codec, set);
}

} // extern "C"
