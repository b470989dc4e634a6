// GetCRL requests and degenerate SignedData. Every set handed in is decoded
// through the codec and must be consumed whole; nothing is copied through
// unchecked.
#include "qelPKIPKCS7ExportInternal.h"

#include <ctime>

#include "asn1Enrol.h"
#include "asn1PKCS7.h"
#include "qelHelpers.h"
#include "qelMemory.h"
#include "qelPKICertificateInternal.h"
#include "qelPKIConvertInternal.h"
#include "qelPKIEnrolMessageInternal.h"
#include "qelPKIPKCS7Internal.h"
#include "qelPKISDKInternal.h"

using qel::pki::CodecBlock;
using qel::pki::Held;
using qel::pki::packRecord;

namespace {

constexpr char kData[] = "1.2.840.113549.1.7.1";
constexpr char kSignedData[] = "1.2.840.113549.1.7.2";
constexpr std::size_t kGeneralizedTimeLength = 15;

template <typename R>
R *decodeWhole(ASN1Context *codec, const std::uint8_t *der, std::uint64_t length,
               std::uint64_t (*unpack)(ASN1Context *, R **, const std::uint8_t *, std::uint64_t, std::int32_t *),
               void (*release)(ASN1Context *, R *), std::int32_t &err)
{
    R *record = nullptr;
    err = 0;
    const std::uint64_t used = unpack(codec, &record, der, length, &err);
    if (err != 0 || used != length || record == nullptr) {
        if (record != nullptr)
            release(codec, record);
        if (err == 0)
            err = ASN1Error_General;
        return nullptr;
    }
    return record;
}

// The outputs cleared, then the work over a toolkit of the context's
// memory manager.
template <typename Fn>
QELStatus withToolkit(QELContext *context, std::uint8_t **out, std::uint64_t *outLength, bool argumentsGood, Fn &&fn)
{
    if (out == nullptr || outLength == nullptr)
        return QELError_BadParams;
    *out = nullptr;
    *outLength = 0;
    if (context == nullptr || !argumentsGood)
        return QELError_BadParams;
    return qel::noThrow([&]() -> QELStatus {
        QELPKISDKToolkit toolkit(context);
        if (toolkit.get() == nullptr)
            return QELError_PKIContextFailed;
        return fn(toolkit.codec());
    });
}

QELStatus setOID(ASN1Context *codec, ASN1_ObjectIdentifier &target, const char *text)
{
    Held<ASN1_ObjectIdentifier, asn1Free_OctetString> oid(codec, qelPKIOIDFromText(text, codec));
    if (oid.get() == nullptr || asn1SetOctetString(codec, &target, oid->data, oid->length) != 0)
        return QELError_OutOfMemory;
    return 0;
}

} // namespace

QELStatus qelPKIGetCRLForCertificate(ASN1Context *codec, const ASN1_Certificate *certificate,
                                     const std::uint8_t *extra, std::uint64_t extraLength, std::int32_t format,
                                     std::int64_t seconds, std::uint8_t **out, std::uint64_t *outLength)
{
    if (out == nullptr || outLength == nullptr)
        return QELError_BadParams;
    *out = nullptr;
    *outLength = 0;
    if (codec == nullptr || certificate == nullptr || (extra == nullptr && extraLength != 0))
        return QELError_BadParams;
    Held<ASN1_GetCRL, asn1Free_GetCRL> request(codec, asn1New_GetCRL(codec));
    if (request.get() == nullptr)
        return QELError_OutOfMemory;
    if (qelPKINameCopyDER(&request->issuerName, &certificate->tbsCertificate.subject, codec) != 0)
        return QELError_PKIOperationFailed;
    // A four-digit year or nothing: GeneralizedTime has no room for more.
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[kGeneralizedTimeLength + 1] = {};
    if (static_cast<std::int64_t>(t) != seconds || gmtime_r(&t, &parts) == nullptr || parts.tm_year + 1900 < 0 ||
        parts.tm_year + 1900 > 9999 || std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &parts) != kGeneralizedTimeLength)
        return QELError_PKIOperationFailed;
    request->time = asn1New_OctetString(codec);
    if (request->time == nullptr ||
        asn1SetOctetString(codec, request->time, reinterpret_cast<const std::uint8_t *>(text), kGeneralizedTimeLength) != 0)
        return QELError_PKIOperationFailed;
    if (format == kQELGetCRLWithName) {
        std::int32_t err = 0;
        Held<ASN1_GeneralNames, asn1Free_GeneralNames> names(
            codec, decodeWhole(codec, extra, extraLength, asn1Unpack_GeneralNames, asn1Free_GeneralNames, err));
        if (names.get() == nullptr || names->count == 0)
            return QELError_PKIOperationFailed;
        request->cRLName = names->elements[names->count - 1];
        names->elements[names->count - 1] = nullptr;
        --names->count;
    }
    const std::int32_t packed =
        packRecord(out, outLength, request.get(), codec, asn1Sizeof_GetCRL, asn1Pack_GetCRL);
    if (packed == 0)
        return 0;
    return packed == QELPKIError_OutOfMemory ? QELError_OutOfMemory : QELError_ASN1Error;
}

QELStatus qelCertExportGetCRL(QELContext *context, QELKeyObject *key, const std::uint8_t *extra,
                              std::uint64_t extraLength, std::int32_t format, std::int64_t seconds,
                              std::uint8_t **out, std::uint64_t *outLength)
{
    return withToolkit(context, out, outLength, key != nullptr, [&](ASN1Context *codec) -> QELStatus {
        ASN1_Certificate *raw = nullptr;
        const QELStatus s = qelPKIGetKeyCertificate(context, key, codec, &raw);
        if (s != 0)
            return s;
        Held<ASN1_Certificate, asn1Free_Certificate> certificate(codec, raw);
        return qelPKIGetCRLForCertificate(codec, certificate.get(), extra, extraLength, format, seconds, out,
                                          outLength);
    });
}

QELStatus qelCertExportPKCS7(QELContext *context, const std::uint8_t *certificates, std::uint64_t certificatesLength,
                             const std::uint8_t *crls, std::uint64_t crlsLength, std::uint8_t **out,
                             std::uint64_t *outLength)
{
    const bool good = (certificates != nullptr || certificatesLength == 0) && (crls != nullptr || crlsLength == 0);
    return withToolkit(context, out, outLength, good, [&](ASN1Context *codec) -> QELStatus {
        Held<ASN1_SignedData, asn1Free_SignedData> sd(codec, asn1New_SignedData(codec));
        if (sd.get() == nullptr || asn1SetIntegerValue(codec, &sd->version, 1) != 0 ||
            setOID(codec, sd->contentInfo.contentType, kData) != 0)
            return QELError_OutOfMemory;
        std::int32_t err = 0;
        if (certificatesLength != 0) {
            sd->certificates = decodeWhole(codec, certificates, certificatesLength,
                                           asn1Unpack_ExtendedCertificatesAndCertificates,
                                           asn1Free_ExtendedCertificatesAndCertificates, err);
            if (sd->certificates == nullptr)
                return err == ASN1Error_OutOfMemory ? QELError_OutOfMemory : QELError_PKIDecodeFailed;
        }
        if (crlsLength != 0) {
            sd->crls = decodeWhole(codec, crls, crlsLength, asn1Unpack_CertificateRevocationLists,
                                   asn1Free_CertificateRevocationLists, err);
            if (sd->crls == nullptr)
                return err == ASN1Error_OutOfMemory ? QELError_OutOfMemory : QELError_PKIDecodeFailed;
        }
        Held<ASN1_ContentInfo, asn1Free_ContentInfo> info(codec, asn1New_ContentInfo(codec));
        if (info.get() == nullptr || setOID(codec, info->contentType, kSignedData) != 0 ||
            (info->content = asn1New_OctetString(codec)) == nullptr)
            return QELError_OutOfMemory;
        if (packRecord(&info->content->data, &info->content->length, sd.get(), codec, asn1Sizeof_SignedData,
                       asn1Pack_SignedData) != 0 ||
            packRecord(out, outLength, info.get(), codec, asn1Sizeof_ContentInfo, asn1Pack_ContentInfo) != 0)
            return QELError_ASN1Error;
        return 0;
    });
}
