// SCEP-style enrolment messages. The requester signs with a temporary
// self-signed certificate (a CA has not certified the key yet), so the
// message carries everything needed to check it; the CA's key, when given,
// gets the content enveloped so that only it reads the request.
#include "qelPKIEnrolMessageInternal.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "asn1Enrol.h"
#include "qelClientEncode.h"
#include "qelClientKeyDB.h"
#include "qelHash.h"
#include "qelHelpers.h"
#include "qelKeyMan.h"
#include "qelKeyObjInternal.h"
#include "qelKeyProperty.h"
#include "qelOptionList.h"
#include "qelPKICertificateInternal.h"
#include "qelPKIConvertInternal.h"
#include "qelPKIKeyInfoInternal.h"
#include "qelPKINameInternal.h"
#include "qelPKIPKCS7Internal.h"

using qel::pki::CodecBlock;
using qel::pki::Held;
using qel::pki::packRecord;

namespace {

using u8 = std::uint8_t;

constexpr char kData[] = "1.2.840.113549.1.7.1";
constexpr char kEnvelopedData[] = "1.2.840.113549.1.7.3";
constexpr char kDESCBC[] = "1.3.14.3.2.7";
constexpr std::uint64_t kCertificateMaximum = 4096;
constexpr std::int32_t kFormatCertificate = 10000;
constexpr std::int64_t kTemporaryValidity = 86400;
constexpr std::size_t kUserIDBuffer = 255;

// RFC 8894 id-attributes arc 2.16.840.1.113733.1.9.
constexpr u8 kMessageTypeOID[] = {0x60, 0x86, 0x48, 0x01, 0x86, 0xF8, 0x45, 0x01, 0x09, 0x02};
constexpr u8 kSenderNonceOID[] = {0x60, 0x86, 0x48, 0x01, 0x86, 0xF8, 0x45, 0x01, 0x09, 0x05};
constexpr u8 kTransactionIDOID[] = {0x60, 0x86, 0x48, 0x01, 0x86, 0xF8, 0x45, 0x01, 0x09, 0x07};
constexpr std::size_t kSCEPOIDLength = 10;
constexpr std::size_t kNonceLength = 16;
constexpr u8 kNullParameters[] = {0x05, 0x00};

// What a kind asks for; messageType 0 marks a kind outside the table.
struct Kind {
    int messageType;
    bool typePrintable;
    bool idPrintable;
    bool request;    // the content is a PKCS #10 request (or a form request)
    bool formRequest;
};

Kind kindOf(std::int32_t kind)
{
    const std::int32_t tens = (kind - 10000) / 10, units = (kind - 10000) % 10;
    if (kind < 10000 || kind > 10025 || kind == kQELEnrolKindPassThrough || units > 5)
        return {};
    static constexpr int types[] = {19, 20, 22};
    return {types[tens], units >= 3, units == 3, tens == 0, kind == 10002};
}

struct Algorithms {
    const char *digest;
    const u8 *digestParameters;
    std::uint64_t digestParametersLength;
    const char *signature;
    const u8 *signatureParameters;
    std::uint64_t signatureParametersLength;
};

using OptionsHeld = qel::Owned<QELOptionList, qelOptionListFreePublic>;
using CertificateHeld = Held<ASN1_Certificate, asn1Free_Certificate>;
using AttributesHeld = Held<ASN1_Attributes, asn1Free_Attributes>;

template <typename R>
QELStatus packValue(ASN1Context *codec, R *record, std::uint64_t (*pack)(ASN1Context *, u8 *, std::uint64_t, R *,
                                                                         std::int32_t *),
                    std::uint64_t (*size)(ASN1Context *, R *, std::int32_t), CodecBlock &out)
{
    const std::int32_t s = packRecord(&out.data, &out.length, record, codec, size, pack);
    if (s == 0)
        return 0;
    return s == QELPKIError_OutOfMemory ? QELError_OutOfMemory : QELError_ASN1Error;
}

// A PrintableString or an INTEGER value element.
QELStatus printableValue(ASN1Context *codec, const std::string &text, CodecBlock &out)
{
    ASN1_OctetString value{text.size(), reinterpret_cast<u8 *>(const_cast<char *>(text.data()))};
    return packValue(codec, &value, asn1Pack_PrintableString, asn1Sizeof_OctetString, out);
}

QELStatus integerValue(ASN1Context *codec, const u8 *magnitude, std::uint64_t length, int value, CodecBlock &out)
{
    Held<ASN1_Integer, asn1Free_OctetString> integer(codec, asn1New_OctetString(codec));
    if (integer.get() == nullptr)
        return QELError_OutOfMemory;
    const std::int32_t set = magnitude != nullptr ? asn1SetUnsignedInteger(codec, integer.get(), magnitude, length)
                                                  : asn1SetIntegerValue(codec, integer.get(), value);
    if (set != 0)
        return QELError_ASN1Error;
    return packValue(codec, integer.get(), asn1Pack_Integer, asn1Sizeof_Integer, out);
}

QELStatus addAttribute(ASN1Context *codec, const u8 *oid, const CodecBlock &value, ASN1_Attributes *set)
{
    const std::int32_t s = qelPKIAddAttribute(codec, oid, value.data, value.length, set);
    return s == 0 ? 0 : QELError_OutOfMemory;
}

// The subject of the temporary certificate from the signer's primary user
// ID: the name before an address in angle brackets. The name is escaped,
// so a comma or plus in it stays inside the one common name.
QELStatus nameFromUserID(QELKeyObject *signer, QELPKIContext *toolkit, Held<ASN1_Name, asn1Free_Name> &name)
{
    QELKeyObject *userID = nullptr;
    if (qelKeyGetPrimaryUserID(signer, &userID) != 0 || userID == nullptr)
        return QELError_PKIOperationFailed;
    char buffer[kUserIDBuffer] = {};
    std::size_t length = 0;
    const QELStatus s = qelKeyObjGetDataProperty(userID, QELProperty_UserIDNamePart, buffer, sizeof buffer, &length);
    if (s != 0 && s != QELError_BufferTooSmall)
        return QELError_PKIOperationFailed;
    std::size_t n = length < sizeof buffer ? length : sizeof buffer;
    if (const void *bracket = std::memchr(buffer, '<', n)) {
        n = static_cast<std::size_t>(static_cast<const char *>(bracket) - buffer);
        while (n != 0 && (buffer[n - 1] == ' ' || buffer[n - 1] == '\t'))
            --n;
    }
    std::string text = "cn=";
    qel::pki::escapeDNValue(text, reinterpret_cast<const u8 *>(buffer), n);
    ASN1_Name *raw = nullptr;
    if (qelPKINameNew(&raw, toolkit) != 0)
        return QELError_PKIOperationFailed;
    name.reset(raw);
    return qelPKINameFromText(name.get(), text.c_str(), toolkit) == 0 ? 0 : QELError_PKIOperationFailed;
}

// The caller's PKCS #10 request (inside a form request for kind 10002).
QELStatus requestOf(ASN1Context *codec, const u8 *content, std::uint64_t length, bool form,
                    Held<ASN1_CertificationRequest, asn1Free_CertificationRequest> &request)
{
    std::int32_t err = 0;
    if (form) {
        Held<ASN1_EnrolFormRequest, asn1Free_EnrolFormRequest> wrapper(codec);
        if (asn1Unpack_EnrolFormRequest(codec, wrapper.out(), content, length, &err) != length || err != 0 ||
            wrapper.get() == nullptr)
            return QELError_PKIOperationFailed;
        err = 0;
        const std::uint64_t n = wrapper->request.length;
        if (asn1Unpack_CertificationRequest(codec, request.out(), wrapper->request.data, n, &err) != n || err != 0 ||
            request.get() == nullptr)
            return QELError_PKIOperationFailed;
        return 0;
    }
    if (asn1Unpack_CertificationRequest(codec, request.out(), content, length, &err) != length || err != 0 ||
        request.get() == nullptr)
        return QELError_PKIOperationFailed;
    return 0;
}

struct Builder {
    QELContext *context;
    QELPKISDKToolkit &toolkit;
    QELPKICallbackData &callback;
    ASN1Context *codec;

    QELStatus envelope(QELKeyObject *recipientKey, const u8 *content, std::uint64_t length, CodecBlock &out)
    {
        ASN1_Certificate *raw = nullptr;
        const QELStatus s = qelPKIGetKeyCertificate(context, recipientKey, codec, &raw);
        if (s != 0)
            return s;
        CertificateHeld certificate(codec, raw);
        QELPKIRecipient recipient{certificate.get(), recipientKey, nullptr, nullptr, 0};
        QELPKIRecipientNode node{&recipient, nullptr};
        if (qelPKIBuildEnvelopedData(&out.data, &out.length, content, length, 0, kData, kDESCBC, &node,
                                     qelPKISDKEncryptContent, &callback, codec) != 0)
            return QELError_PKIEnvelopeFailed;
        return 0;
    }

    // The temporary certificate: issuer and subject the same Name, valid
    // for a day from now, signed by the signer key.
    QELStatus temporaryCertificate(QELKeyObject *signer, const Kind &kind, const u8 *content, std::uint64_t length,
                                   const QELPublicKeyInfo &info, CertificateHeld &out)
    {
        Held<ASN1_CertificationRequest, asn1Free_CertificationRequest> request(codec);
        Held<ASN1_Name, asn1Free_Name> ownName(codec);
        const ASN1_Name *subject = nullptr;
        QELStatus s;
        if (kind.request) {
            s = requestOf(codec, content, length, kind.formRequest, request);
            subject = request.get() != nullptr ? &request->certificationRequestInfo.subject : nullptr;
        } else {
            s = nameFromUserID(signer, toolkit.get(), ownName);
            subject = ownName.get();
        }
        if (s != 0)
            return s;
        u8 serial[8];
        if ((s = qelContextGetRandomBytes(qelKeyObjContext(signer), serial, sizeof serial)) != 0)
            return s;
        serial[0] &= 0x7F;
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        QELPKICertificate *made = nullptr;
        if (qelPKICertificateCreate(&made, 0, serial, sizeof serial, info.signatureAlgorithm,
                                    info.signatureAlgorithmLength, info.signatureParameters,
                                    info.signatureParametersLength, subject, now, now + kTemporaryValidity, subject,
                                    nullptr, info.algorithm, info.algorithmLength, info.publicKey,
                                    info.publicKeyLength, info.parameters, info.parametersLength,
                                    toolkit.get()) != 0)
            return QELError_PKIOperationFailed;
        CodecBlock der(codec);
        const std::int32_t encoded = qelPKICertificateEncode(&der.data, &der.length, made, toolkit.get());
        qelPKICertificateFree(made, toolkit.get());
        std::int32_t err = 0;
        if (encoded != 0 || asn1Unpack_Certificate(codec, out.out(), der.data, der.length, &err) != der.length ||
            err != 0 || out.get() == nullptr)
            return QELError_PKIOperationFailed;
        return 0;
    }

    QELStatus attributes(const Kind &kind, const u8 *transactionID, std::uint64_t transactionIDLength,
                         ASN1_Certificate *certificate, ASN1_Attributes *set)
    {
        CodecBlock value(codec);
        QELStatus s = kind.typePrintable ? printableValue(codec, std::to_string(kind.messageType), value)
                                         : integerValue(codec, nullptr, 0, kind.messageType, value);
        if (s != 0 || (s = addAttribute(codec, kMessageTypeOID, value, set)) != 0)
            return s;
        value.reset();
        u8 nonce[kNonceLength];
        if ((s = qelContextGetRandomBytes(context, nonce, sizeof nonce)) != 0)
            return s;
        ASN1_OctetString nonceRecord{sizeof nonce, nonce};
        if ((s = packValue(codec, &nonceRecord, asn1Pack_OctetString, asn1Sizeof_OctetString, value)) != 0 ||
            (s = addAttribute(codec, kSenderNonceOID, value, set)) != 0)
            return s;
        value.reset();
        u8 digest[16];
        if (transactionID == nullptr || transactionIDLength == 0) {
            CodecBlock spki(codec);
            if ((s = packValue(codec, &certificate->tbsCertificate.subjectPublicKeyInfo,
                               asn1Pack_SubjectPublicKeyInfo, asn1Sizeof_SubjectPublicKeyInfo, spki)) != 0)
                return s;
            QELHashContext *raw = nullptr;
            if ((s = qelHashNew(context, QELHashAlgorithm_MD5, &raw)) != 0)
                return s;
            qel::Owned<QELHashContext, qelHashFree> hash(raw);
            if ((s = qelHashUpdate(hash.get(), spki.data, spki.length)) != 0 ||
                (s = qelHashFinal(hash.get(), digest)) != 0)
                return s;
            transactionID = digest;
            transactionIDLength = sizeof digest;
        }
        if (kind.idPrintable) {
            std::string hex;
            static constexpr char kDigits[] = "0123456789ABCDEF";
            for (std::uint64_t i = 0; i < transactionIDLength; ++i) {
                hex += kDigits[transactionID[i] >> 4];
                hex += kDigits[transactionID[i] & 0x0F];
            }
            s = printableValue(codec, hex, value);
        } else {
            s = integerValue(codec, transactionID, transactionIDLength, 0, value);
        }
        if (s != 0)
            return s;
        return addAttribute(codec, kTransactionIDOID, value, set);
    }
};

QELStatus signingAlgorithms(QELKeyObject *signer, Algorithms &out)
{
    std::int32_t algorithm = 0;
    const QELStatus s = qelKeyObjGetNumberProperty(signer, QELProperty_Algorithm, &algorithm);
    if (s != 0)
        return s;
    if (algorithm == 1 || algorithm == 2 || algorithm == 3) {
        out = {"1.2.840.113549.2.5", kNullParameters, sizeof kNullParameters, "1.2.840.113549.1.1.1",
               kNullParameters, sizeof kNullParameters};
        return 0;
    }
    if (algorithm == 17) {
        out = {"1.3.14.3.2.26", nullptr, 0, "1.2.840.10040.4.1", nullptr, 0};
        return 0;
    }
    return QELError_UnsupportedAlgorithm;
}

QELStatus build(QELContext *context, const u8 *content, std::uint64_t contentLength, const u8 *transactionID,
                std::uint64_t transactionIDLength, QELKeyObject *recipient, QELKeyObject *signer,
                QELOptionList *options, const Kind &kind, CodecBlock &output, QELPKISDKToolkit &toolkit)
{
    QELPKICallbackData callback{options, context, signer};
    ASN1Context *codec = toolkit.codec();
    Builder builder{context, toolkit, callback, codec};
    CodecBlock enveloped(codec);
    const u8 *signedContent = content;
    std::uint64_t signedLength = contentLength;
    if (recipient != nullptr) {
        const QELStatus s = builder.envelope(recipient, content, contentLength, enveloped);
        if (s != 0)
            return s;
        signedContent = enveloped.data;
        signedLength = enveloped.length;
    }
    if (signer == nullptr) {
        output.data = enveloped.data;
        output.length = enveloped.length;
        enveloped.release();
        return 0;
    }
    Algorithms algorithms{};
    QELStatus s = signingAlgorithms(signer, algorithms);
    if (s != 0)
        return s;
    QELPublicKeyInfo info{};
    s = qelKeyPublicKeyInfo(signer, codec, &info);
    CertificateHeld certificate(codec);
    if (s == 0)
        s = builder.temporaryCertificate(signer, kind, content, contentLength, info, certificate);
    qelPublicKeyInfoFree(&info);
    if (s != 0)
        return s == QELError_OutOfMemory ? s : QELError_PKIOperationFailed;
    QELPKICertificateListNode list{certificate.get(), nullptr};
    AttributesHeld attributes(codec, asn1New_Attributes(codec));
    if (attributes.get() == nullptr)
        return QELError_OutOfMemory;
    if ((s = builder.attributes(kind, transactionID, transactionIDLength, certificate.get(), attributes.get())) != 0)
        return s;
    if (qelPKISignedDataCreate(&output.data, &output.length, signedContent, signedLength, 0, kData, algorithms.digest,
                               algorithms.digestParameters, algorithms.digestParametersLength, algorithms.signature,
                               algorithms.signatureParameters, algorithms.signatureParametersLength,
                               certificate.get(), attributes.get(), &list, qelPKISDKDigest, &callback,
                               qelPKISDKSignData, &callback, codec) != 0) {
        output.reset();
        return QELError_SignedDataFailed;
    }
    return 0;
}

} // namespace

QELStatus qelPKIGetKeyCertificate(QELContext *context, QELKeyObject *key, ASN1Context *codec, ASN1_Certificate **out)
{
    if (out == nullptr)
        return QELError_BadParams;
    *out = nullptr;
    if (context == nullptr || key == nullptr || codec == nullptr)
        return QELError_BadParams;
    void *buffer = nullptr;
    std::uint64_t size = 0;
    const QELStatus s = qelExportKeys(context, qelOptionKeyObject71(context, key),
                                      qelOptionInt66(context, kFormatCertificate),
                                      qelOptionOutputAllocatedBuffer(context, &buffer, kCertificateMaximum, &size),
                                      qelOptionLastOption(context));
    qel::Owned<void, qelMemFree> held(buffer);
    if (s != 0)
        return s;
    if (buffer == nullptr)
        return QELError_PKIDecryptFailed;
    std::int32_t err = 0;
    ASN1_Certificate *certificate = nullptr;
    const std::uint64_t used =
        asn1Unpack_Certificate(codec, &certificate, static_cast<const u8 *>(buffer), size, &err);
    if (err != 0 || used != size || certificate == nullptr) {
        if (certificate != nullptr)
            asn1Free_Certificate(codec, certificate);
        return QELError_PKIDecryptFailed;
    }
    *out = certificate;
    return 0;
}

extern "C" {

int32_t qelPKIAddAttribute(ASN1Context *codec, const uint8_t *oid, const uint8_t *value, uint64_t valueLength,
                           ASN1_Attributes *set)
{
    if (codec == nullptr || oid == nullptr || value == nullptr || set == nullptr)
        return QELPKIError_InvalidArguments;
    const ASN1_ObjectIdentifier type{kSCEPOIDLength, const_cast<uint8_t *>(oid)};
    const ASN1_Any element{valueLength, const_cast<uint8_t *>(value)};
    return qelPKIAttributesAddValue(set, &type, &element, codec);
}

int32_t qelPKIBuildEnvelopedData(uint8_t **out, uint64_t *outLength, const uint8_t *content, uint64_t contentLength,
                                 int32_t bare, const char *contentType, const char *contentEncryptionOID,
                                 QELPKIRecipientNode *recipients, QELPKIEncryptCallback encrypt, void *callbackData,
                                 ASN1Context *codec)
{
    if (out == nullptr || outLength == nullptr)
        return QELPKIError_InvalidArguments;
    *out = nullptr;
    *outLength = 0;
    if (contentType == nullptr || contentEncryptionOID == nullptr || encrypt == nullptr || codec == nullptr ||
        (content == nullptr && contentLength != 0))
        return QELPKIError_InvalidArguments;
    Held<ASN1_EnvelopedData, asn1Free_EnvelopedData> ed(codec, asn1New_EnvelopedData(codec));
    if (ed.get() == nullptr || asn1SetIntegerValue(codec, &ed->version, 0) != 0)
        return QELPKIError_OutOfMemory;
    ASN1_EncryptedContentInfo &eci = ed->encryptedContentInfo;
    eci.encryptedContent = asn1New_OctetString(codec);
    Held<ASN1_Any, asn1Free_OctetString> parameters(codec, asn1New_OctetString(codec));
    if (eci.encryptedContent == nullptr || parameters.get() == nullptr)
        return QELPKIError_OutOfMemory;
    const int rc = encrypt(eci.encryptedContent, parameters.get(), contentEncryptionOID, content, contentLength,
                           recipients, callbackData, codec);
    // The recipients' blocks are the callback's; they are taken over here
    // on every path, so none is left behind.
    struct Taken {
        ASN1Context *codec;
        QELPKIRecipientNode *list;
        ~Taken()
        {
            for (QELPKIRecipientNode *n = list; n != nullptr; n = n->next) {
                if (n->recipient == nullptr)
                    continue;
                for (void *block : {static_cast<void *>(n->recipient->encryptedKey),
                                    static_cast<void *>(n->recipient->keyEncryptionAlgorithm)})
                    if (block != nullptr)
                        static_cast<void>(codec->allocator->free(codec->allocator, block));
                n->recipient->encryptedKey = nullptr;
                n->recipient->encryptedKeyLength = 0;
                n->recipient->keyEncryptionAlgorithm = nullptr;
            }
        }
    } taken{codec, recipients};
    if (rc != 0)
        return rc;
    if (parameters->length != 0)
        eci.contentEncryptionAlgorithm.parameters = parameters.release();
    for (QELPKIRecipientNode *n = recipients; n != nullptr; n = n->next) {
        QELPKIRecipient *r = n->recipient;
        if (r == nullptr || r->certificate == nullptr || r->keyEncryptionAlgorithm == nullptr)
            return QELPKIError_InvalidArguments;
        Held<ASN1_RecipientInfo, asn1Free_RecipientInfo> info(codec, asn1New_RecipientInfo(codec));
        if (info.get() == nullptr || asn1SetIntegerValue(codec, &info->version, 0) != 0)
            return QELPKIError_OutOfMemory;
        if (qelPKIIssuerAndSerialFromCertificate(&info->issuerAndSerialNumber, r->certificate, codec) != 0)
            return QELPKIError_InvalidArguments;
        Held<ASN1_ObjectIdentifier, asn1Free_OctetString> oid(codec,
                                                               qelPKIOIDFromText(r->keyEncryptionAlgorithm, codec));
        if (oid.get() == nullptr ||
            asn1SetOctetString(codec, &info->keyEncryptionAlgorithm.algorithm, oid->data, oid->length) != 0 ||
            asn1SetOctetString(codec, &info->encryptedKey, r->encryptedKey, r->encryptedKeyLength) != 0 ||
            asn1AppendElement(codec, info.get(), &ed->recipientInfos) != 0)
            return QELPKIError_OutOfMemory;
        info.release();
    }
    Held<ASN1_ObjectIdentifier, asn1Free_OctetString> typeOID(codec, qelPKIOIDFromText(contentType, codec));
    Held<ASN1_ObjectIdentifier, asn1Free_OctetString> cipherOID(codec, qelPKIOIDFromText(contentEncryptionOID, codec));
    if (typeOID.get() == nullptr || cipherOID.get() == nullptr ||
        asn1SetOctetString(codec, &eci.contentType, typeOID->data, typeOID->length) != 0 ||
        asn1SetOctetString(codec, &eci.contentEncryptionAlgorithm.algorithm, cipherOID->data, cipherOID->length) != 0)
        return QELPKIError_OutOfMemory;
    CodecBlock der(codec);
    std::int32_t s = packRecord(&der.data, &der.length, ed.get(), codec, asn1Sizeof_EnvelopedData,
                                asn1Pack_EnvelopedData);
    if (s != 0)
        return s;
    if (bare != 0) {
        *outLength = der.length;
        *out = der.release();
        return 0;
    }
    Held<ASN1_ContentInfo, asn1Free_ContentInfo> wrapper(codec, asn1New_ContentInfo(codec));
    Held<ASN1_ObjectIdentifier, asn1Free_OctetString> envelopedOID(codec, qelPKIOIDFromText(kEnvelopedData, codec));
    if (wrapper.get() == nullptr || envelopedOID.get() == nullptr ||
        asn1SetOctetString(codec, &wrapper->contentType, envelopedOID->data, envelopedOID->length) != 0 ||
        (wrapper->content = asn1New_OctetString(codec)) == nullptr)
        return QELPKIError_OutOfMemory;
    wrapper->content->length = der.length;
    wrapper->content->data = der.release();
    return packRecord(out, outLength, wrapper.get(), codec, asn1Sizeof_ContentInfo, asn1Pack_ContentInfo);
}

} // extern "C"

QELStatus qelPKIBuildEnrolMessage(QELContext *context, const std::uint8_t *content, std::uint64_t contentLength,
                                  const std::uint8_t *transactionID, std::uint64_t transactionIDLength,
                                  QELKeyObject *recipient, QELKeyObject *signer, QELOptionList *options,
                                  std::int32_t kind, std::uint8_t **out, std::uint64_t *outLength)
{
    OptionsHeld optionsHeld(options);
    if (out == nullptr || outLength == nullptr)
        return QELError_BadParams;
    *out = nullptr;
    *outLength = 0;
    if (context == nullptr || (content == nullptr && contentLength != 0))
        return QELError_BadParams;
    return qel::noThrow([&]() -> QELStatus {
        if (kind == kQELEnrolKindPassThrough) {
            auto *copy = static_cast<std::uint8_t *>(
                qelMemAlloc(qelContextGetMemoryMgr(context), contentLength != 0 ? contentLength : 1, 0));
            if (copy == nullptr)
                return QELError_OutOfMemory;
            if (contentLength != 0)
                std::memcpy(copy, content, contentLength);
            *out = copy;
            *outLength = contentLength;
            return 0;
        }
        const Kind k = kindOf(kind);
        if (k.messageType == 0)
            return QELError_UnknownPKIMessageKind;
        QELPKICallbackData signData{options, context, signer};
        QELPKISDKToolkit toolkit(context, qelPKISDKSign, &signData);
        if (toolkit.get() == nullptr)
            return QELError_PKIOperationFailed;
        CodecBlock output(toolkit.codec());
        const QELStatus s = build(context, content, contentLength, transactionID, transactionIDLength, recipient,
                                  signer, options, k, output, toolkit);
        if (s != 0)
            return s;
        *outLength = output.length;
        *out = output.release();
        return 0;
    });
}
