// PKCS #7 signed and enveloped data. Content and digests are found by
// decoding through the codec (BER: constructed and indefinite-length
// content reads as well as DER), never at fixed offsets.
#include "qelPKIPKCS7Internal.h"

#include <cstring>

#include "asn1RuntimeInternal.h"
#include "qelPKICertificateInternal.h"
#include "qelPKIConvertInternal.h"

using namespace qel::pki;

namespace {

constexpr char kData[] = "1.2.840.113549.1.7.1";
constexpr char kSignedData[] = "1.2.840.113549.1.7.2";
constexpr std::uint8_t kContentTypeAttr[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03};
constexpr std::uint8_t kMessageDigestAttr[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};

using SignedDataHeld = Held<ASN1_SignedData, asn1Free_SignedData>;
using OctetsHeld = Held<ASN1_OctetString, asn1Free_OctetString>;

void freeBlock(ASN1Context *codec, void *block)
{
    if (block != nullptr)
        static_cast<void>(codec->allocator->free(codec->allocator, block));
}

// Text from the codec's allocator, freed on every exit.
class CodecText {
public:
    CodecText(ASN1Context *codec, char *text) : codec_(codec), text_(text) {}
    CodecText(const CodecText &) = delete;
    CodecText &operator=(const CodecText &) = delete;
    ~CodecText() { freeBlock(codec_, text_); }
    const char *get() const { return text_; }

private:
    ASN1Context *codec_;
    char *text_;
};

std::uint8_t *copyOut(ASN1Context *codec, const std::uint8_t *data, std::uint64_t n)
{
    auto *block = static_cast<std::uint8_t *>(codec->allocator->alloc(codec->allocator, n != 0 ? n : 1));
    if (block != nullptr && n != 0)
        std::memcpy(block, data, n);
    return block;
}

int32_t setOIDText(ASN1_ObjectIdentifier &target, const char *text, ASN1Context *codec)
{
    OctetsHeld oid(codec, qelPKIOIDFromText(text, codec));
    if (oid.get() == nullptr)
        return QELPKIError_OutOfMemory;
    return asn1SetOctetString(codec, &target, oid->data, oid->length) == 0 ? 0 : QELPKIError_OutOfMemory;
}

int32_t setAlgorithm(ASN1_AlgorithmIdentifier &target, const char *oid, const std::uint8_t *parameters,
                     std::uint64_t parametersLength, ASN1Context *codec)
{
    int32_t status = setOIDText(target.algorithm, oid, codec);
    if (status != 0 || parametersLength == 0 || parameters == nullptr)
        return status;
    target.parameters = asn1New_OctetString(codec);
    if (target.parameters == nullptr ||
        asn1SetOctetString(codec, target.parameters, parameters, parametersLength) != 0)
        return QELPKIError_OutOfMemory;
    return 0;
}

// The content octets of one element as read: an OCTET STRING (primitive or
// constructed, any length form) through the codec; any other element
// after its header, up to its end-of-contents octets when indefinite.
int32_t contentOctets(OctetsHeld &out, const ASN1_Any &element, bool data, ASN1Context *codec)
{
    if (data) {
        std::int32_t err = 0;
        const std::uint64_t used = asn1Unpack_OctetString(codec, out.out(), element.data, element.length, &err);
        if (err != 0 || used != element.length || out.get() == nullptr)
            return err == ASN1Error_OutOfMemory ? QELPKIError_OutOfMemory : QELPKIError_ASN1Parse;
        return 0;
    }
    if (element.length < 2 || (element.data[0] & 0x1F) == 0x1F)
        return QELPKIError_ASN1Parse;
    std::uint64_t n = 0;
    const std::uint64_t header = asn1DecodeLength(element.data + 1, element.length - 1, &n);
    if (header == 0)
        return QELPKIError_ASN1Parse;
    const std::uint64_t start = 1 + header;
    if (n == UINT64_MAX) {
        if (element.length < start + 2)
            return QELPKIError_ASN1Parse;
        n = element.length - start - 2;
    } else if (n != element.length - start) {
        return QELPKIError_ASN1Parse;
    }
    out.reset(asn1New_OctetString(codec));
    if (out.get() == nullptr || asn1SetOctetString(codec, out.get(), element.data + start, n) != 0)
        return QELPKIError_OutOfMemory;
    return 0;
}

template <typename R>
int32_t packInto(ASN1_Any *&target, R *record, ASN1Context *codec,
                 std::uint64_t (*size)(ASN1Context *, R *, int32_t),
                 std::uint64_t (*pack)(ASN1Context *, std::uint8_t *, std::uint64_t, R *, int32_t *))
{
    CodecBlock der(codec);
    const int32_t status = packRecord(&der.data, &der.length, record, codec, size, pack);
    if (status != 0)
        return status;
    target = asn1New_OctetString(codec);
    if (target == nullptr)
        return QELPKIError_OutOfMemory;
    freeBlock(codec, target->data);
    target->length = der.length;
    target->data = der.release();
    return 0;
}

int32_t appendAttribute(ASN1_Attributes *set, const std::uint8_t *oid, std::uint64_t oidLength,
                        const ASN1_Any &value, ASN1Context *codec)
{
    ASN1_ObjectIdentifier type{oidLength, const_cast<std::uint8_t *>(oid)};
    return qelPKIAttributesAddValue(set, &type, &value, codec);
}

} // namespace

extern "C" {

int32_t qelPKIAttributesAddValue(ASN1_Attributes *set, const ASN1_ObjectIdentifier *oid, const ASN1_Any *value,
                                 ASN1Context *codec)
{
    if (set == nullptr || oid == nullptr || value == nullptr || codec == nullptr)
        return QELPKIError_InvalidArguments;
    Held<ASN1_Attribute, asn1Free_Attribute> attribute(codec, asn1New_Attribute(codec));
    if (attribute.get() == nullptr || asn1SetOctetString(codec, &attribute->type, oid->data, oid->length) != 0)
        return QELPKIError_OutOfMemory;
    OctetsHeld any(codec, asn1New_OctetString(codec));
    if (any.get() == nullptr || asn1SetOctetString(codec, any.get(), value->data, value->length) != 0 ||
        asn1AppendElement(codec, any.get(), &attribute->values) != 0)
        return QELPKIError_OutOfMemory;
    any.release();
    if (asn1AppendElement(codec, attribute.get(), set) != 0)
        return QELPKIError_OutOfMemory;
    attribute.release();
    return 0;
}

int32_t qelPKINameCopyDER(ASN1_Name *out, const ASN1_Name *source, ASN1Context *codec)
{
    if (out == nullptr || source == nullptr || codec == nullptr)
        return QELPKIError_InvalidArguments;
    CodecBlock der(codec);
    if (packRecord(&der.data, &der.length, const_cast<ASN1_Name *>(source), codec, asn1Sizeof_Name,
                   asn1Pack_Name) != 0)
        return QELPKIError_InvalidArguments;
    ASN1_Name *copy = nullptr;
    std::int32_t err = 0;
    if (asn1Unpack_Name(codec, &copy, der.data, der.length, &err) != der.length || err != 0 || copy == nullptr) {
        asn1Free_Name(codec, copy);
        return QELPKIError_InvalidArguments;
    }
    *out = *copy;
    freeBlock(codec, copy);
    return 0;
}

int32_t qelPKIIssuerAndSerialFromCertificate(ASN1_IssuerAndSerialNumber *target, const ASN1_Certificate *certificate,
                                             ASN1Context *codec)
{
    if (target == nullptr || certificate == nullptr || codec == nullptr)
        return QELPKIError_InvalidArguments;
    const ASN1_TBSCertificate &tbs = certificate->tbsCertificate;
    if (qelPKINameCopyDER(&target->issuer, &tbs.issuer, codec) != 0 ||
        asn1SetOctetString(codec, &target->serialNumber, tbs.serialNumber.data, tbs.serialNumber.length) != 0)
        return QELPKIError_InvalidArguments;
    return 0;
}

int32_t qelPKIIssuerAndSerialEqual(ASN1_IssuerAndSerialNumber *a, ASN1_IssuerAndSerialNumber *b, ASN1Context *codec)
{
    if (a == nullptr || b == nullptr || codec == nullptr)
        return 0;
    CodecBlock x(codec), y(codec);
    if (packRecord(&x.data, &x.length, a, codec, asn1Sizeof_IssuerAndSerialNumber, asn1Pack_IssuerAndSerialNumber) !=
            0 ||
        packRecord(&y.data, &y.length, b, codec, asn1Sizeof_IssuerAndSerialNumber, asn1Pack_IssuerAndSerialNumber) !=
            0)
        return 0;
    return sameBytes(x.data, x.length, y.data, y.length) ? 1 : 0;
}

int32_t qelPKISignedDataCreate(uint8_t **out, uint64_t *outLength, const uint8_t *content, uint64_t contentLength,
                               int32_t bare, const char *contentType, const char *digestOID,
                               const uint8_t *digestParameters, uint64_t digestParametersLength,
                               const char *signatureOID, const uint8_t *signatureParameters,
                               uint64_t signatureParametersLength, ASN1_Certificate *signer,
                               const ASN1_Attributes *extraAttributes, const QELPKICertificateListNode *certificates,
                               QELPKIDigestCallback digest, void *digestData, QELPKISignerCallback sign,
                               void *signData, ASN1Context *codec)
{
    if (out == nullptr || outLength == nullptr || contentType == nullptr || digestOID == nullptr ||
        signatureOID == nullptr || signer == nullptr || digest == nullptr || sign == nullptr || codec == nullptr ||
        (content == nullptr && contentLength != 0))
        return QELPKIError_InvalidArguments;
    *out = nullptr;
    *outLength = 0;
    const bool data = std::strcmp(contentType, kData) == 0;
    SignedDataHeld sd(codec, asn1New_SignedData(codec));
    if (sd.get() == nullptr || asn1SetIntegerValue(codec, &sd->version, data ? 1 : 3) != 0)
        return QELPKIError_OutOfMemory;
    Held<ASN1_AlgorithmIdentifier, asn1Free_AlgorithmIdentifier> algorithm(codec, asn1New_AlgorithmIdentifier(codec));
    if (algorithm.get() == nullptr)
        return QELPKIError_OutOfMemory;
    int32_t status = setAlgorithm(*algorithm.get(), digestOID, digestParameters, digestParametersLength, codec);
    if (status != 0)
        return status;
    if (asn1AppendElement(codec, algorithm.get(), &sd->digestAlgorithms) != 0)
        return QELPKIError_OutOfMemory;
    algorithm.release();

    status = setOIDText(sd->contentInfo.contentType, contentType, codec);
    if (status != 0)
        return status;
    const std::uint8_t *toDigest = content;
    std::uint64_t toDigestLength = contentLength;
    OctetsHeld inner(codec);
    if (data) {
        ASN1_OctetString wrapped{contentLength, const_cast<std::uint8_t *>(content)};
        if (packInto(sd->contentInfo.content, &wrapped, codec, asn1Sizeof_OctetString, asn1Pack_OctetString) != 0)
            return QELPKIError_FileIO;
    } else {
        sd->contentInfo.content = asn1New_OctetString(codec);
        if (sd->contentInfo.content == nullptr ||
            asn1SetOctetString(codec, sd->contentInfo.content, content, contentLength) != 0)
            return QELPKIError_OutOfMemory;
        status = contentOctets(inner, *sd->contentInfo.content, false, codec);
        if (status != 0)
            return status;
        toDigest = inner->data;
        toDigestLength = inner->length;
    }

    Held<ASN1_SignerInfo, asn1Free_SignerInfo> info(codec, asn1New_SignerInfo(codec));
    if (info.get() == nullptr || asn1SetIntegerValue(codec, &info->version, 1) != 0)
        return QELPKIError_OutOfMemory;
    status = qelPKIIssuerAndSerialFromCertificate(&info->issuerAndSerialNumber, signer, codec);
    if (status == 0)
        status = setAlgorithm(info->digestAlgorithm, digestOID, digestParameters, digestParametersLength, codec);
    if (status != 0)
        return status;

    CodecBlock signedAttrs(codec);
    const std::uint8_t *toSign = content;
    std::uint64_t toSignLength = contentLength;
    if (extraAttributes != nullptr || !data) {
        ASN1_Attributes *attrs = info->authenticatedAttributes = asn1New_Attributes(codec);
        if (attrs == nullptr)
            return QELPKIError_OutOfMemory;
        CodecBlock typeDER(codec);
        status = packRecord(&typeDER.data, &typeDER.length, &sd->contentInfo.contentType, codec,
                            asn1Sizeof_OctetString, asn1Pack_ObjectIdentifier);
        if (status == 0)
            status = appendAttribute(attrs, kContentTypeAttr, sizeof kContentTypeAttr,
                                     ASN1_Any{typeDER.length, typeDER.data}, codec);
        if (status != 0)
            return status;
        OctetsHeld value(codec, asn1New_OctetString(codec));
        if (value.get() == nullptr)
            return QELPKIError_OutOfMemory;
        const int rc = digest(value.get(), digestOID, toDigest, toDigestLength, digestData, codec);
        if (rc != 0)
            return rc;
        CodecBlock digestDER(codec);
        status = packRecord(&digestDER.data, &digestDER.length, value.get(), codec, asn1Sizeof_OctetString,
                            asn1Pack_OctetString);
        if (status == 0)
            status = appendAttribute(attrs, kMessageDigestAttr, sizeof kMessageDigestAttr,
                                     ASN1_Any{digestDER.length, digestDER.data}, codec);
        if (status != 0)
            return status;
        for (std::int64_t i = 0; extraAttributes != nullptr && i < extraAttributes->count; ++i) {
            ASN1_Attribute *a = extraAttributes->elements[i];
            CodecBlock der(codec);
            status = packRecord(&der.data, &der.length, a, codec, asn1Sizeof_Attribute, asn1Pack_Attribute);
            if (status != 0)
                return QELPKIError_UnhandledCritical;
            ASN1_Attribute *copy = nullptr;
            std::int32_t err = 0;
            if (asn1Unpack_Attribute(codec, &copy, der.data, der.length, &err) != der.length || err != 0 ||
                copy == nullptr) {
                asn1Free_Attribute(codec, copy);
                return QELPKIError_UnhandledCritical;
            }
            if (asn1AppendElement(codec, copy, attrs) != 0) {
                asn1Free_Attribute(codec, copy);
                return QELPKIError_OutOfMemory;
            }
        }
        // RFC 2315 9.3: the digest covers the set with its universal SET tag.
        if (packRecord(&signedAttrs.data, &signedAttrs.length, attrs, codec, asn1Sizeof_Attributes,
                       asn1Pack_Attributes) != 0)
            return QELPKIError_UnhandledCritical;
        toSign = signedAttrs.data;
        toSignLength = signedAttrs.length;
    }
    const int rc = sign(&info->encryptedDigest, digestOID, signatureOID, signer, toSign, toSignLength, signData, codec);
    if (rc != 0)
        return rc;
    status = setAlgorithm(info->digestEncryptionAlgorithm, signatureOID, signatureParameters,
                          signatureParametersLength, codec);
    if (status != 0)
        return status;
    if (asn1AppendElement(codec, info.get(), &sd->signerInfos) != 0)
        return QELPKIError_OutOfMemory;
    info.release();

    if (certificates != nullptr) {
        sd->certificates = asn1New_ExtendedCertificatesAndCertificates(codec);
        if (sd->certificates == nullptr)
            return QELPKIError_OutOfMemory;
    }
    for (const QELPKICertificateListNode *n = certificates; n != nullptr; n = n->next) {
        CodecBlock der(codec);
        status = packRecord(&der.data, &der.length, n->certificate, codec, asn1Sizeof_Certificate,
                            asn1Pack_Certificate);
        if (status != 0)
            return status;
        Held<ASN1_ExtendedCertificateOrCertificate, asn1Free_ExtendedCertificateOrCertificate> choice(codec);
        std::int32_t err = 0;
        if (asn1Unpack_ExtendedCertificateOrCertificate(codec, choice.out(), der.data, der.length, &err) !=
                der.length ||
            err != 0 || choice.get() == nullptr)
            return err == ASN1Error_OutOfMemory ? QELPKIError_OutOfMemory : QELPKIError_ASN1Parse;
        if (asn1AppendElement(codec, choice.get(), sd->certificates) != 0)
            return QELPKIError_OutOfMemory;
        choice.release();
    }

    if (bare != 0)
        return packRecord(out, outLength, sd.get(), codec, asn1Sizeof_SignedData, asn1Pack_SignedData);
    Held<ASN1_ContentInfo, asn1Free_ContentInfo> wrapper(codec, asn1New_ContentInfo(codec));
    if (wrapper.get() == nullptr)
        return QELPKIError_OutOfMemory;
    status = setOIDText(wrapper->contentType, kSignedData, codec);
    if (status == 0)
        status = packInto(wrapper->content, sd.get(), codec, asn1Sizeof_SignedData, asn1Pack_SignedData);
    if (status != 0)
        return status;
    return packRecord(out, outLength, wrapper.get(), codec, asn1Sizeof_ContentInfo, asn1Pack_ContentInfo);
}

int32_t qelPKISignedDataVerify(uint8_t **content, uint64_t *contentLength, ASN1_SignedData *signedData,
                               ASN1_Certificate *signer, QELPKIDigestCallback digest, void *digestData,
                               QELPKIDataVerifyCallback verify, void *verifyData, ASN1Context *codec)
{
    if (content != nullptr)
        *content = nullptr;
    if (contentLength != nullptr)
        *contentLength = 0;
    if (signedData == nullptr || codec == nullptr || (content != nullptr && contentLength == nullptr))
        return QELPKIError_InvalidArguments;
    const ASN1_ContentInfo &ci = signedData->contentInfo;
    CodecText typeText(codec, qelPKIOIDToText(&ci.contentType, codec));
    const bool data = typeText.get() != nullptr && std::strcmp(typeText.get(), kData) == 0;
    OctetsHeld inner(codec);
    if (ci.content != nullptr) {
        const int32_t status = contentOctets(inner, *ci.content, data, codec);
        if (status != 0)
            return status;
    }
    int32_t result = 0;
    if (signer == nullptr) {
        // No certificate to check against: hand back the content, but never
        // as if a signature had been verified.
        result = QELPKIError_NotFound;
    } else {
        if (digest == nullptr || verify == nullptr)
            return QELPKIError_InvalidArguments;
        Held<ASN1_IssuerAndSerialNumber, asn1Free_IssuerAndSerialNumber> wanted(codec,
                                                                                 asn1New_IssuerAndSerialNumber(codec));
        if (wanted.get() == nullptr || qelPKIIssuerAndSerialFromCertificate(wanted.get(), signer, codec) != 0)
            return QELPKIError_InvalidArguments;
        ASN1_SignerInfo *info = nullptr;
        for (std::int64_t i = 0; info == nullptr && i < signedData->signerInfos.count; ++i)
            if (qelPKIIssuerAndSerialEqual(wanted.get(), &signedData->signerInfos.elements[i]->issuerAndSerialNumber,
                                           codec) == 1)
                info = signedData->signerInfos.elements[i];
        if (info == nullptr)
            return QELPKIError_NotFound;
        const std::uint8_t *toVerify = inner.get() != nullptr ? inner->data : nullptr;
        std::uint64_t toVerifyLength = inner.get() != nullptr ? inner->length : 0;
        CodecText digestText(codec, qelPKIOIDToText(&info->digestAlgorithm.algorithm, codec));
        CodecText encryptionText(codec, qelPKIOIDToText(&info->digestEncryptionAlgorithm.algorithm, codec));
        if (digestText.get() == nullptr || encryptionText.get() == nullptr)
            return QELPKIError_InvalidArguments;
        CodecBlock attrsDER(codec);
        if (ASN1_Attributes *attrs = info->authenticatedAttributes) {
            const ASN1_Attribute *md = nullptr;
            for (std::int64_t i = 0; md == nullptr && i < attrs->count; ++i)
                if (sameBytes(attrs->elements[i]->type.data, attrs->elements[i]->type.length, kMessageDigestAttr,
                              sizeof kMessageDigestAttr))
                    md = attrs->elements[i];
            if (md == nullptr)
                return QELPKIError_AltSubjectNotCritical;
            OctetsHeld expected(codec);
            std::int32_t err = 0;
            if (md->values.count < 1 ||
                asn1Unpack_OctetString(codec, expected.out(), md->values.elements[0]->data,
                                       md->values.elements[0]->length, &err) != md->values.elements[0]->length ||
                err != 0 || expected.get() == nullptr)
                return QELPKIError_ASN1Parse;
            OctetsHeld computed(codec, asn1New_OctetString(codec));
            if (computed.get() == nullptr)
                return QELPKIError_OutOfMemory;
            const int rc = digest(computed.get(), digestText.get(), toVerify, toVerifyLength, digestData, codec);
            if (rc != 0)
                return rc;
            if (!sameBytes(computed->data, computed->length, expected->data, expected->length))
                return QELPKIError_AltIssuerNotCritical;
            if (packRecord(&attrsDER.data, &attrsDER.length, attrs, codec, asn1Sizeof_Attributes,
                           asn1Pack_Attributes) != 0)
                return QELPKIError_InvalidArguments;
            toVerify = attrsDER.data;
            toVerifyLength = attrsDER.length;
        }
        result = verify(toVerify, toVerifyLength, digestText.get(), encryptionText.get(), &info->encryptedDigest,
                        signer, verifyData, codec);
    }
    if (content != nullptr && ci.content != nullptr) {
        const ASN1_OctetString &src = data ? *inner.get() : *ci.content;
        *content = copyOut(codec, src.data, src.length);
        if (*content == nullptr)
            return QELPKIError_OutOfMemory;
        *contentLength = src.length;
    }
    return result;
}

int32_t qelPKIEnvelopedDataDecrypt(uint8_t **out, uint64_t *outLength, ASN1_EnvelopedData *enveloped,
                                   ASN1_Certificate *recipient, QELPKIDecryptCallback decrypt, void *callbackData,
                                   ASN1Context *codec)
{
    if (out == nullptr || outLength == nullptr || enveloped == nullptr || decrypt == nullptr || codec == nullptr)
        return QELPKIError_InvalidArguments;
    *out = nullptr;
    *outLength = 0;
    ASN1_RecipientInfo *chosen = nullptr;
    const ASN1_RecipientInfos &infos = enveloped->recipientInfos;
    if (recipient == nullptr) {
        chosen = infos.count > 0 ? infos.elements[0] : nullptr;
    } else {
        Held<ASN1_IssuerAndSerialNumber, asn1Free_IssuerAndSerialNumber> wanted(codec,
                                                                                 asn1New_IssuerAndSerialNumber(codec));
        if (wanted.get() == nullptr || qelPKIIssuerAndSerialFromCertificate(wanted.get(), recipient, codec) != 0)
            return QELPKIError_InvalidArguments;
        for (std::int64_t i = 0; chosen == nullptr && i < infos.count; ++i)
            if (qelPKIIssuerAndSerialEqual(wanted.get(), &infos.elements[i]->issuerAndSerialNumber, codec) == 1)
                chosen = infos.elements[i];
    }
    if (chosen == nullptr)
        return QELPKIError_InvalidArguments;
    ASN1_EncryptedContentInfo &eci = enveloped->encryptedContentInfo;
    CodecText contentAlg(codec, qelPKIOIDToText(&eci.contentEncryptionAlgorithm.algorithm, codec));
    CodecText keyAlg(codec, qelPKIOIDToText(&chosen->keyEncryptionAlgorithm.algorithm, codec));
    if (contentAlg.get() == nullptr || keyAlg.get() == nullptr)
        return QELPKIError_InvalidArguments;
    return decrypt(out, outLength, contentAlg.get(), eci.contentEncryptionAlgorithm.parameters, eci.encryptedContent,
                   keyAlg.get(), &chosen->encryptedKey, recipient, callbackData, codec);
}

} // extern "C"
