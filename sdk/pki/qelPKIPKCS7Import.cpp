// The one door for X.509 and PKCS #7 input: a bare certificate, a bare
// revocation list, or a ContentInfo with signed and enveloped layers in
// any nesting (an enrolment reply). Every layer is decoded through the
// codec over the caller's memory manager; nothing is read at fixed offsets.
#include "qelPKIPKCS7ImportInternal.h"

#include <cstring>
#include <vector>

#include "asn1Enrol.h"
#include "qelHelpers.h"
#include "qelEnumeratedSet.h"
#include "qelKeyDB.h"
#include "qelKeyFilter.h"
#include "qelKeyIter.h"
#include "qelKeySet.h"
#include "qelOptionList.h"
#include "qelPKICertificateInternal.h"
#include "qelPKIEnrolMessageInternal.h"
#include "qelPKISDKInternal.h"

using qel::pki::CodecBlock;
using qel::pki::Held;

namespace {

constexpr std::uint8_t kPKCS7Prefix[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07};
// Layers are unwrapped at most this deep: each costs a decode, and a
// reply nests two or three.
constexpr int kMaxLayers = 16;

using OctetsHeld = Held<ASN1_OctetString, asn1Free_OctetString>;
using CertSetHeld = Held<ASN1_ExtendedCertificatesAndCertificates, asn1Free_ExtendedCertificatesAndCertificates>;
using CRLSetHeld = Held<ASN1_CertificateRevocationLists, asn1Free_CertificateRevocationLists>;

template <typename R>
R *decodeWhole(ASN1Context *codec, const std::uint8_t *der, std::uint64_t length,
               std::uint64_t (*unpack)(ASN1Context *, R **, const std::uint8_t *, std::uint64_t, std::int32_t *),
               void (*release)(ASN1Context *, R *))
{
    R *record = nullptr;
    std::int32_t err = 0;
    const std::uint64_t used = unpack(codec, &record, der, length, &err);
    if (err != 0 || used != length || record == nullptr) {
        if (record != nullptr)
            release(codec, record);
        return nullptr;
    }
    return record;
}

// The transactionID attribute (RFC 8894) names the key a reply is for.
constexpr std::uint8_t kTransactionIDOID[] = {0x60, 0x86, 0x48, 0x01, 0x86, 0xF8, 0x45, 0x01, 0x09, 0x07};
constexpr std::uint8_t kPrintableStringTag = 0x13;

// The first key an iterator meets (level 1); the iterator is freed.
QELKeyObject *firstOf(QELKeyIter *iter)
{
    qel::Owned<QELKeyIter, qelKeyIterFree> held(iter);
    QELKeyObject *key = nullptr;
    if (qelKeyIterNext(iter, 1, &key) != 0)
        key = nullptr;
    return key;
}

// The first key of the database, for opening enveloped layers.
QELKeyObject *firstKey(QELKeyDB *db)
{
    QELKeyIter *iter = nullptr;
    return db != nullptr && qelKeyIterNewOnDB(db, &iter) == 0 ? firstOf(iter) : nullptr;
}

// The first key of the database's keys whose data property equals the
// octets; null when none does.
QELKeyObject *firstKeyWith(QELContext *context, QELKeyDB *db, std::uint32_t property, const std::uint8_t *data,
                           std::uint64_t length)
{
    QELKeyFilter *filter = nullptr;
    if (db == nullptr || length == 0 ||
        qelKeyFilterNewDataProperty(context, static_cast<std::int32_t>(property), data, length,
                                    QELMatchCriterion_Equal, &filter) != 0)
        return nullptr;
    qel::Owned<QELKeyFilter, qelKeyFilterRelease> filterHeld(filter);
    QELKeySet *set = nullptr;
    if (qelFilteredSetNew(qelKeyDBGetRootSet(db), filter, &set) != 0)
        return nullptr;
    qel::Owned<QELKeySet, qelKeySetRelease> setHeld(set);
    QELKeyIter *iter = nullptr;
    return qelKeyIterNewOnSet(set, &iter) == 0 ? firstOf(iter) : nullptr;
}

int hexDigit(std::uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The key ID a transactionID value carries: the octets its hexadecimal
// digits spell (PrintableString), or the INTEGER's magnitude. The sign
// octet an unsigned value needs when its top bit is set is not part of the
// ID, so a digest written as an INTEGER finds its key either way.
bool transactionKeyID(ASN1Context *codec, const ASN1_Any &value, std::vector<std::uint8_t> &id)
{
    id.clear();
    OctetsHeld decoded(codec);
    std::int32_t err = 0;
    if (value.length != 0 && value.data[0] == kPrintableStringTag) {
        if (asn1Unpack_PrintableString(codec, decoded.out(), value.data, value.length, &err) != value.length ||
            err != 0 || decoded.get() == nullptr || decoded->length % 2 != 0)
            return false;
        for (std::uint64_t i = 0; i < decoded->length; i += 2) {
            const int high = hexDigit(decoded->data[i]), low = hexDigit(decoded->data[i + 1]);
            if (high < 0 || low < 0)
                return false;
            id.push_back(static_cast<std::uint8_t>(high << 4 | low));
        }
        return !id.empty();
    }
    if (asn1Unpack_Integer(codec, decoded.out(), value.data, value.length, &err) != value.length || err != 0 ||
        decoded.get() == nullptr || decoded->length == 0)
        return false;
    std::uint64_t skip = decoded->length > 1 && decoded->data[0] == 0 && (decoded->data[1] & 0x80) != 0 ? 1 : 0;
    id.assign(decoded->data + skip, decoded->data + decoded->length);
    return true;
}

struct Import {
    QELContext *context;
    ASN1Context *codec;
    QELKeyDB *db;
    QELOptionList *options;
    QELPKCS7ImportResult *result;
    CertSetHeld *certificates;
    CRLSetHeld *crls;
    bool keyChosen = false;
    // The current content: an element or octets, owned here.
    CodecBlock content;
    int contentClass = -1;

    explicit Import(ASN1Context *c) : codec(c), content(c) {}

    void setContent(const std::uint8_t *data, std::uint64_t length)
    {
        content.reset();
        content.data = static_cast<std::uint8_t *>(codec->allocator->alloc(codec->allocator, length != 0 ? length : 1));
        if (content.data != nullptr && length != 0)
            std::memcpy(content.data, data, length);
        content.length = content.data != nullptr ? length : 0;
    }

    QELStatus takeContentInfo(const ASN1_ContentInfo &info)
    {
        contentClass = qelPKIContentInfoClass(&info);
        content.reset();
        if (info.content == nullptr)
            return 0;
        setContent(info.content->data, info.content->length);
        return content.data != nullptr ? 0 : QELError_OutOfMemory;
    }

    QELStatus signedLayer()
    {
        Held<ASN1_SignedData, asn1Free_SignedData> sd(codec,
                                                      qelPKIDecodeSignedData(content.data, content.length, codec));
        if (sd.get() == nullptr)
            return QELError_PKIDecodeFailed;
        if (sd->signerInfos.count > 0) {
            result->isSigned = 1;
            ASN1_SignerInfo *first = sd->signerInfos.elements[0];
            if (!keyChosen) {
                result->decryptionKey = transactionKey(first);
                keyChosen = true;
            }
            checkSigner(sd.get(), first);
        }
        if (qelPKIMoveSignedDataCertificates(codec, sd.get(), certificates->get()) != 0 ||
            qelPKIMoveSignedDataCRLs(codec, sd.get(), crls->get()) != 0)
            return QELError_OutOfMemory;
        // The inner content: the data OCTET STRING's octets, or the whole
        // inner element for another type.
        std::uint8_t *inner = nullptr;
        std::uint64_t innerLength = 0;
        const std::int32_t verified =
            qelPKISignedDataVerify(&inner, &innerLength, sd.get(), nullptr, nullptr, nullptr, nullptr, nullptr, codec);
        contentClass = qelPKIContentTypeClass(&sd->contentInfo.contentType);
        content.reset();
        if (inner != nullptr) {
            content.data = inner;
            content.length = innerLength;
        } else if (verified != QELPKIError_NotFound && verified != 0 && sd->contentInfo.content != nullptr) {
            return QELError_PKIDecodeFailed;
        }
        return 0;
    }

    // The key the first transactionID attribute names by its key hash, or
    // else the first key of the database.
    QELKeyObject *transactionKey(const ASN1_SignerInfo *info)
    {
        if (db == nullptr)
            return nullptr;
        const ASN1_Attributes *attrs = info != nullptr ? info->authenticatedAttributes : nullptr;
        for (std::int64_t i = 0; attrs != nullptr && i < attrs->count; ++i) {
            const ASN1_Attribute *a = attrs->elements[i];
            if (a == nullptr ||
                !qel::pki::sameBytes(a->type.data, a->type.length, kTransactionIDOID, sizeof kTransactionIDOID))
                continue;
            std::vector<std::uint8_t> id;
            QELKeyObject *key = nullptr;
            if (a->values.count > 0 && a->values.elements[0] != nullptr &&
                transactionKeyID(codec, *a->values.elements[0], id))
                key = firstKeyWith(context, db, QELProperty_PublicKeyInfoDigest, id.data(), id.size());
            if (key != nullptr)
                return key;
            break;
        }
        return firstKey(db);
    }

    // The key of the database whose certificate names the first signer,
    // and whether that signer's signature holds. Failures only leave the
    // flags clear.
    void checkSigner(ASN1_SignedData *sd, ASN1_SignerInfo *info)
    {
        if (db == nullptr || result->signerKey != nullptr)
            return;
        CodecBlock der(codec);
        if (qel::pki::packRecord(&der.data, &der.length, &info->issuerAndSerialNumber, codec,
                                 asn1Sizeof_IssuerAndSerialNumber, asn1Pack_IssuerAndSerialNumber) != 0)
            return;
        QELKeyObject *key = firstKeyWith(context, db, QELProperty_X509IssuerSerial, der.data, der.length);
        if (key == nullptr)
            return;
        result->signerKey = key;
        ASN1_Certificate *raw = nullptr;
        if (qelPKIGetKeyCertificate(context, key, codec, &raw) != 0)
            return;
        Held<ASN1_Certificate, asn1Free_Certificate> certificate(codec, raw);
        result->signerFound = 1;
        QELPKICallbackData data{nullptr, context, key};
        if (qelPKISignedDataVerify(nullptr, nullptr, sd, certificate.get(), qelPKISDKDigest, &data,
                                   qelPKISDKVerifyData, &data, codec) == 0)
            result->signatureValid = 1;
    }

    QELStatus envelopedLayer()
    {
        Held<ASN1_EnvelopedData, asn1Free_EnvelopedData> ed(
            codec, qelPKIDecodeEnvelopedData(content.data, content.length, codec));
        if (ed.get() == nullptr)
            return QELError_PKIDecodeFailed;
        if (!keyChosen) {
            result->decryptionKey = firstKey(db);
            keyChosen = true;
        }
        QELPKICallbackData data{options, context, result->decryptionKey};
        std::uint8_t *plain = nullptr;
        std::uint64_t plainLength = 0;
        if (result->decryptionKey == nullptr ||
            qelPKIEnvelopedDataDecrypt(&plain, &plainLength, ed.get(), nullptr, qelPKISDKDecryptContent, &data,
                                       codec) != 0)
            return QELError_PKIEnvelopeNotOpened;
        contentClass = qelPKIContentTypeClass(&ed->encryptedContentInfo.contentType);
        content.reset();
        content.data = plain;
        content.length = plainLength;
        return 0;
    }

    // Certificates and CRLs of a final data content: an enrolment reply's
    // ContentInfo, or a plain ContentInfo, that is signedData.
    QELStatus finalData()
    {
        if (content.data == nullptr || content.length == 0)
            return 0;
        Held<ASN1_ContentInfo, asn1Free_ContentInfo> info(codec);
        if (ASN1_EnrolReply *reply = decodeWhole(codec, content.data, content.length, asn1Unpack_EnrolReply,
                                                 asn1Free_EnrolReply)) {
            info.reset(reply->contentInfo);
            reply->contentInfo = nullptr;
            asn1Free_EnrolReply(codec, reply);
        }
        if (info.get() == nullptr)
            info.reset(qelPKIDecodeContentInfo(content.data, content.length, codec));
        if (info.get() == nullptr || qelPKIContentInfoClass(info.get()) != QELPKIContent_SignedData ||
            info->content == nullptr)
            return 0;
        Held<ASN1_SignedData, asn1Free_SignedData> sd(
            codec, qelPKIDecodeSignedData(info->content->data, info->content->length, codec));
        if (sd.get() == nullptr)
            return 0;
        if (qelPKIMoveSignedDataCertificates(codec, sd.get(), certificates->get()) != 0 ||
            qelPKIMoveSignedDataCRLs(codec, sd.get(), crls->get()) != 0)
            return QELError_OutOfMemory;
        return 0;
    }

    QELStatus run(const std::uint8_t *der, std::uint64_t length)
    {
        if (ASN1_Certificate *certificate =
                decodeWhole(codec, der, length, asn1Unpack_Certificate, asn1Free_Certificate)) {
            auto *element = asn1New_ExtendedCertificateOrCertificate(codec);
            if (element == nullptr) {
                asn1Free_Certificate(codec, certificate);
                return QELError_OutOfMemory;
            }
            element->identifier = 0x10;
            element->alternative = certificate;
            if (asn1AppendElement(codec, element, certificates->get()) != 0) {
                asn1Free_ExtendedCertificateOrCertificate(codec, element);
                return QELError_OutOfMemory;
            }
            return 0;
        }
        if (ASN1_CertificateList *crl =
                decodeWhole(codec, der, length, asn1Unpack_CertificateList, asn1Free_CertificateList)) {
            if (asn1AppendElement(codec, crl, crls->get()) != 0) {
                asn1Free_CertificateList(codec, crl);
                return QELError_OutOfMemory;
            }
            return 0;
        }
        Held<ASN1_ContentInfo, asn1Free_ContentInfo> info(codec, qelPKIDecodeContentInfo(der, length, codec));
        if (info.get() == nullptr)
            return QELError_PKIDecodeFailed;
        QELStatus s = takeContentInfo(*info.get());
        if (s != 0)
            return s;
        if (content.data == nullptr)
            return QELError_PKIDecodeFailed;
        for (int layer = 0; contentClass == QELPKIContent_SignedData || contentClass == QELPKIContent_EnvelopedData;
             ++layer) {
            if (layer == kMaxLayers || content.data == nullptr)
                return QELError_PKIDecodeFailed;
            s = contentClass == QELPKIContent_SignedData ? signedLayer() : envelopedLayer();
            if (s != 0)
                return s;
            if (contentClass == QELPKIContent_Data && content.length != 0 && content.data[0] == 0x30) {
                Held<ASN1_ContentInfo, asn1Free_ContentInfo> nested(
                    codec, qelPKIDecodeContentInfo(content.data, content.length, codec));
                if (nested.get() != nullptr && (s = takeContentInfo(*nested.get())) != 0)
                    return s;
            }
        }
        if (contentClass != QELPKIContent_Data)
            return QELError_PKIDecodeFailed;
        return finalData();
    }
};

template <typename R>
QELStatus encodeSet(ASN1Context *codec, R *set, std::uint64_t (*size)(ASN1Context *, R *, std::int32_t),
                    std::uint64_t (*pack)(ASN1Context *, std::uint8_t *, std::uint64_t, R *, std::int32_t *),
                    std::uint8_t **out, std::uint64_t *outLength)
{
    if (set->count == 0)
        return 0;
    return qel::pki::packRecord(out, outLength, set, codec, size, pack) == 0 ? 0 : QELError_ASN1Error;
}

} // namespace

extern "C" {

int32_t qelPKIContentTypeClass(const ASN1_ObjectIdentifier *oid)
{
    if (oid == nullptr || oid->length != sizeof kPKCS7Prefix + 1 ||
        std::memcmp(oid->data, kPKCS7Prefix, sizeof kPKCS7Prefix) != 0)
        return -1;
    switch (oid->data[sizeof kPKCS7Prefix]) {
    case 1:
        return QELPKIContent_Data;
    case 2:
        return QELPKIContent_SignedData;
    case 3:
        return QELPKIContent_EnvelopedData;
    case 6:
        return QELPKIContent_EncryptedData;
    default:
        return -1;
    }
}

int32_t qelPKIContentInfoClass(const ASN1_ContentInfo *info)
{
    return info != nullptr ? qelPKIContentTypeClass(&info->contentType) : -1;
}

ASN1_ContentInfo *qelPKIDecodeContentInfo(const uint8_t *der, uint64_t length, ASN1Context *codec)
{
    return decodeWhole(codec, der, length, asn1Unpack_ContentInfo, asn1Free_ContentInfo);
}
ASN1_SignedData *qelPKIDecodeSignedData(const uint8_t *der, uint64_t length, ASN1Context *codec)
{
    return decodeWhole(codec, der, length, asn1Unpack_SignedData, asn1Free_SignedData);
}
ASN1_EnvelopedData *qelPKIDecodeEnvelopedData(const uint8_t *der, uint64_t length, ASN1Context *codec)
{
    return decodeWhole(codec, der, length, asn1Unpack_EnvelopedData, asn1Free_EnvelopedData);
}

} // extern "C"

QELStatus qelCertImportPKCS7(QELContext *context, const std::uint8_t *der, std::uint64_t length, QELKeyDB *db,
                             QELOptionList *options, QELPKCS7ImportResult *result)
{
    using OptionsHeld = qel::Owned<QELOptionList, qelOptionListFreePublic>;
    OptionsHeld optionsHeld(options);
    if (result == nullptr)
        return QELError_BadParams;
    *result = QELPKCS7ImportResult{};
    if (context == nullptr || der == nullptr || length == 0)
        return QELError_BadParams;
    return qel::noThrow([&]() -> QELStatus {
        QELX509Codec codecHolder(qelContextGetMemoryMgr(context));
        ASN1Context *codec = codecHolder.get();
        CertSetHeld certificates(codec, asn1New_ExtendedCertificatesAndCertificates(codec));
        CRLSetHeld crls(codec, asn1New_CertificateRevocationLists(codec));
        if (certificates.get() == nullptr || crls.get() == nullptr)
            return QELError_OutOfMemory;
        Import import(codec);
        import.context = context;
        import.db = db;
        import.options = options;
        import.result = result;
        import.certificates = &certificates;
        import.crls = &crls;
        QELStatus s = import.run(der, length);
        if (s == 0)
            s = encodeSet(codec, certificates.get(), asn1Sizeof_ExtendedCertificatesAndCertificates,
                          asn1Pack_ExtendedCertificatesAndCertificates, &result->certificates,
                          &result->certificatesLength);
        if (s == 0)
            s = encodeSet(codec, crls.get(), asn1Sizeof_CertificateRevocationLists,
                          asn1Pack_CertificateRevocationLists, &result->crls, &result->crlsLength);
        if (s != 0) {
            for (std::uint8_t *block : {result->certificates, result->crls})
                if (block != nullptr)
                    static_cast<void>(qelMemFree(block));
            *result = QELPKCS7ImportResult{};
        }
        return s;
    });
}
