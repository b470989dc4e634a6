// Revocation lists. Times are written as RFC 5280 asks (UTCTime up to 2049,
// GeneralizedTime from 2050) and all time arithmetic is 64-bit.
#include "qelPKICRLInternal.h"

#include <ctime>

#include "qelPKIAccessInternal.h"
#include "qelPKICertificateInternal.h"
#include "qelPKIChainInternal.h"
#include "qelPKIConvertInternal.h"
#include "qelPKIExtensionInternal.h"
#include "qelPKINameInternal.h"

using namespace qel::pki;

namespace {

using CRLHeld = Held<ASN1_CertificateList, asn1Free_CertificateList>;

std::int64_t now()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

int32_t setVersion2(ASN1_TBSCertList &tbs, ASN1Context *codec)
{
    if (tbs.version != nullptr)
        return 0;
    tbs.version = asn1New_OctetString(codec);
    if (tbs.version == nullptr || asn1SetIntegerValue(codec, tbs.version, 1) != 0)
        return QELPKIError_OutOfMemory;
    return 0;
}

// The nextUpdate check: -1 when absent, 0 when it does not parse.
bool fresh(const ASN1_CertificateList *crl)
{
    const ASN1_Time *next = crl->tbsCertList.nextUpdate;
    const std::int64_t seconds = next != nullptr ? qelPKITimeToSeconds(next) : -1;
    return seconds > now();
}

QELPKICRLNode **findHeld(const ASN1_Name *issuer, QELPKIContext *context)
{
    QELPKICRLNode **link = &context->revocationLists;
    while (*link != nullptr && qelPKINameCompare(&(*link)->crl->tbsCertList.issuer, issuer, context) != 1)
        link = &(*link)->next;
    return link;
}

} // namespace

extern "C" {

int32_t qelPKICRLCreate(ASN1_CertificateList **out, const uint8_t *signatureOID, uint64_t signatureOIDLength,
                        const uint8_t *parameters, uint64_t parametersLength, const ASN1_Name *issuer,
                        int64_t nextUpdate, const ASN1_Extensions *extensions, QELPKIContext *context)
{
    if (out == nullptr || issuer == nullptr || nextUpdate < 0 || context == nullptr)
        return QELPKIError_InvalidArguments;
    CRLHeld crl(context->codec, asn1New_CertificateList(context->codec));
    if (crl.get() == nullptr)
        return QELPKIError_OutOfMemory;
    ASN1_TBSCertList &tbs = crl->tbsCertList;
    int32_t status = extensions != nullptr ? setVersion2(tbs, context->codec) : 0;
    if (status == 0)
        status = qelPKISetAlgorithmIdentifier(&tbs.signature, signatureOID, signatureOIDLength, parameters,
                                              parametersLength, context);
    if (status == 0)
        status = qelPKISetAlgorithmIdentifier(&crl->signatureAlgorithm, signatureOID, signatureOIDLength, parameters,
                                              parametersLength, context);
    if (status != 0)
        return status;
    ASN1_Name *name = nullptr;
    status = qelPKINameCopy(&name, issuer, context);
    if (status != 0)
        return status;
    if (name == nullptr)
        return QELPKIError_OutOfMemory;
    tbs.issuer = *name;
    release(context, name);
    const std::int64_t t = now();
    status = qelPKITimeSet(&tbs.thisUpdate, t, context);
    if (status != 0)
        return status;
    if (nextUpdate != 0) {
        if (nextUpdate <= t)
            return QELPKIError_InvalidData;
        tbs.nextUpdate = asn1New_Time(context->codec);
        if (tbs.nextUpdate == nullptr)
            return QELPKIError_OutOfMemory;
        status = qelPKITimeSet(tbs.nextUpdate, nextUpdate, context);
        if (status != 0)
            return status;
    }
    if (extensions != nullptr) {
        status = qelPKIExtensionsCopy(&tbs.crlExtensions, extensions, context);
        if (status != 0)
            return status;
    }
    *out = crl.release();
    return 0;
}

int32_t qelPKICRLAddEntry(ASN1_CertificateList *crl, const uint8_t *serial, uint64_t serialLength,
                          int64_t revocationTime, const ASN1_Extensions *extensions, QELPKIContext *context)
{
    if (crl == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    ASN1Context *codec = context->codec;
    ASN1_TBSCertList &tbs = crl->tbsCertList;
    if (tbs.revokedCertificates == nullptr) {
        tbs.revokedCertificates = asn1New_RevokedCertificates(codec);
        if (tbs.revokedCertificates == nullptr)
            return QELPKIError_OutOfMemory;
    }
    Held<ASN1_RevokedCertificate, asn1Free_RevokedCertificate> entry(codec, asn1New_RevokedCertificate(codec));
    if (entry.get() == nullptr || asn1SetOctetString(codec, &entry->userCertificate, serial, serialLength) != 0)
        return QELPKIError_OutOfMemory;
    int32_t status = qelPKITimeSet(&entry->revocationDate, revocationTime, context);
    if (status != 0)
        return status;
    if (extensions != nullptr) {
        status = setVersion2(tbs, codec);
        if (status == 0)
            status = qelPKIExtensionsCopy(&entry->crlEntryExtensions, extensions, context);
        if (status != 0)
            return status;
    }
    if (asn1AppendElement(codec, entry.get(), tbs.revokedCertificates) != 0)
        return QELPKIError_OutOfMemory;
    entry.release();
    return 0;
}

int32_t qelPKICRLSetUpdateTimes(ASN1_CertificateList *crl, int32_t days, QELPKIContext *context)
{
    if (crl == nullptr || context == nullptr || days < 0)
        return QELPKIError_InvalidArguments;
    ASN1_TBSCertList &tbs = crl->tbsCertList;
    const std::int64_t t = now();
    int32_t status = qelPKITimeSet(&tbs.thisUpdate, t, context);
    if (status != 0)
        return status;
    if (days == 0) {
        asn1Free_Time(context->codec, tbs.nextUpdate);
        tbs.nextUpdate = nullptr;
        return 0;
    }
    if (tbs.nextUpdate == nullptr) {
        tbs.nextUpdate = asn1New_Time(context->codec);
        if (tbs.nextUpdate == nullptr)
            return QELPKIError_OutOfMemory;
    }
    // 64-bit: days * 86400 past 2038 must not wrap.
    return qelPKITimeSet(tbs.nextUpdate, t + std::int64_t{days} * 86400, context);
}

int32_t qelPKICRLEncodeTBS(uint8_t **buffer, uint64_t *length, ASN1_CertificateList *crl, QELPKIContext *context)
{
    if (buffer == nullptr || length == nullptr || crl == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    return packRecord(buffer, length, &crl->tbsCertList, context->codec, asn1Sizeof_TBSCertList,
                      asn1Pack_TBSCertList);
}

int32_t qelPKICRLEncode(uint8_t **buffer, uint64_t *length, ASN1_CertificateList *crl, QELPKIContext *context)
{
    if (buffer == nullptr || length == nullptr || crl == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    return packRecord(buffer, length, crl, context->codec, asn1Sizeof_CertificateList, asn1Pack_CertificateList);
}

int32_t qelPKICRLSign(ASN1_CertificateList *crl, QELPKIContext *context)
{
    if (crl == nullptr || context == nullptr || context->sign == nullptr)
        return QELPKIError_InvalidArguments;
    CodecBlock tbs(context->codec);
    int32_t status = qelPKICRLEncodeTBS(&tbs.data, &tbs.length, crl, context);
    if (status != 0)
        return status;
    uint8_t *signature = nullptr;
    uint64_t signatureLength = 0;
    const ASN1_ObjectIdentifier &oid = crl->signatureAlgorithm.algorithm;
    if (context->sign(&signature, &signatureLength, tbs.data, tbs.length, oid.data, oid.length, context->signData,
                      context) != 0) {
        release(context, signature);
        return QELPKIError_SignFailed;
    }
    // The list keeps the callback's block as its signature octets.
    release(context, crl->signatureValue.data);
    crl->signatureValue.data = signature;
    crl->signatureValue.length = signatureLength;
    crl->signatureValue.unusedBits = 0;
    return 0;
}

int32_t qelPKICRLDecode(ASN1_CertificateList **out, const uint8_t *der, uint64_t length, QELPKIContext *context)
{
    if (out == nullptr || der == nullptr || length == 0 || context == nullptr)
        return QELPKIError_InvalidArguments;
    *out = nullptr;
    CRLHeld crl(context->codec);
    std::int32_t err = 0;
    const std::uint64_t used = asn1Unpack_CertificateList(context->codec, crl.out(), der, length, &err);
    if (err != 0)
        return qelPKIErrorFromASN1(err);
    if (used != length || crl.get() == nullptr)
        return QELPKIError_ASN1Parse;
    *out = crl.release();
    return 0;
}

void qelPKICRLFree(ASN1_CertificateList *crl, QELPKIContext *context)
{
    if (crl != nullptr && context != nullptr)
        asn1Free_CertificateList(context->codec, crl);
}

int32_t qelPKICRLGetExtensions(ASN1_Extensions **extensions, const ASN1_CertificateList *crl)
{
    if (extensions == nullptr || crl == nullptr)
        return QELPKIError_InvalidArguments;
    *extensions = crl->tbsCertList.crlExtensions;
    return 0;
}

int32_t qelPKICRLGetEntryExtensions(ASN1_Extensions **extensions, const ASN1_CertificateList *crl,
                                    const ASN1_Integer *serial)
{
    if (extensions == nullptr || crl == nullptr || serial == nullptr)
        return QELPKIError_InvalidArguments;
    *extensions = nullptr;
    const ASN1_RevokedCertificates *list = crl->tbsCertList.revokedCertificates;
    for (std::int64_t i = 0; list != nullptr && i < list->count; ++i) {
        if (qelPKISerialNumberEqual(&list->elements[i]->userCertificate, serial) != 0) {
            *extensions = list->elements[i]->crlEntryExtensions;
            break;
        }
    }
    return 0;
}

int32_t qelPKICheckRevocation(QELPKIContext *context, const QELPKICertificate *object, int32_t flags)
{
    if (context == nullptr || object == nullptr || object->certificate == nullptr)
        return QELPKIError_InvalidArguments;
    const ASN1_TBSCertificate &tbs = object->certificate->tbsCertificate;
    const QELPKICRLNode *node = *findHeld(&tbs.issuer, context);
    if (node == nullptr)
        return (flags & QELPKIVerify_RequireCRL) != 0 ? QELPKIError_NoIssuerCRL : 0;
    if ((flags & QELPKIVerify_RequireFreshCRL) != 0 && !fresh(node->crl))
        return QELPKIError_CRLExpired;
    const ASN1_RevokedCertificates *list = node->crl->tbsCertList.revokedCertificates;
    for (std::int64_t i = 0; list != nullptr && i < list->count; ++i)
        if (qelPKISerialNumberEqual(&list->elements[i]->userCertificate, &tbs.serialNumber) != 0)
            return QELPKIError_Revoked;
    return 0;
}

int32_t qelPKIAddCRL(ASN1_CertificateList *crl, QELPKIContext *context, int32_t flags)
{
    if (crl == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    if ((flags & QELPKIVerify_RequireFreshCRL) != 0 && !fresh(crl))
        return QELPKIError_CRLExpired;
    if (context->verify == nullptr)
        return QELPKIError_InvalidArguments;
    QELPKICertificate *issuer = nullptr;
    if (qelPKIFindCertificateBySubject(&issuer, &crl->tbsCertList.issuer, context) != 0)
        return QELPKIError_NotFound;
    CodecBlock tbs(context->codec);
    int32_t status = qelPKICRLEncodeTBS(&tbs.data, &tbs.length, crl, context);
    if (status != 0)
        return status;
    const ASN1_SubjectPublicKeyInfo &key = issuer->certificate->tbsCertificate.subjectPublicKeyInfo;
    const ASN1_Any *parameters = key.algorithm.parameters;
    if (context->verify(tbs.data, tbs.length, crl->signatureAlgorithm.algorithm.data,
                        crl->signatureAlgorithm.algorithm.length, parameters != nullptr ? parameters->data : nullptr,
                        parameters != nullptr ? parameters->length : 0, crl->signatureValue.data,
                        crl->signatureValue.length, key.subjectPublicKey.data, key.subjectPublicKey.length, issuer,
                        context->userData, context) != 0)
        return QELPKIError_InvalidSignature;
    status = qelPKIExtensionsCheck(crl->tbsCertList.crlExtensions, crl, context);
    const ASN1_RevokedCertificates *list = crl->tbsCertList.revokedCertificates;
    for (std::int64_t i = 0; status == 0 && list != nullptr && i < list->count; ++i)
        status = qelPKIExtensionsCheck(list->elements[i]->crlEntryExtensions, list->elements[i], context);
    if (status != 0)
        return status;
    QELPKICRLNode **link = findHeld(&crl->tbsCertList.issuer, context);
    if (*link != nullptr) {
        if (qelPKITimeCompare(&crl->tbsCertList.thisUpdate, &(*link)->crl->tbsCertList.thisUpdate, context) == 1) {
            asn1Free_CertificateList(context->codec, (*link)->crl);
            (*link)->crl = crl;
        }
        return 0;
    }
    auto *node = make<QELPKICRLNode>(context);
    if (node == nullptr)
        return QELPKIError_OutOfMemory;
    node->crl = crl;
    node->next = context->revocationLists;
    context->revocationLists = node;
    return 0;
}

int32_t qelPKIRemoveCRL(const ASN1_Name *issuer, QELPKIContext *context)
{
    if (issuer == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    QELPKICRLNode **link = findHeld(issuer, context);
    QELPKICRLNode *node = *link;
    if (node == nullptr)
        return QELPKIError_NotFound;
    *link = node->next;
    asn1Free_CertificateList(context->codec, node->crl);
    release(context, node);
    return 0;
}

int32_t qelPKIImportCRL(const uint8_t *der, uint64_t length, QELPKIContext *context, int32_t flags)
{
    if (der == nullptr || length == 0 || context == nullptr)
        return QELPKIError_InvalidArguments;
    ASN1_CertificateList *crl = nullptr;
    int32_t status = qelPKICRLDecode(&crl, der, length, context);
    if (status != 0)
        return status;
    status = qelPKIAddCRL(crl, context, flags);
    bool kept = false;
    for (const QELPKICRLNode *n = context->revocationLists; n != nullptr; n = n->next)
        kept = kept || n->crl == crl;
    if (status != 0 || !kept)
        asn1Free_CertificateList(context->codec, crl);
    return status;
}

} // extern "C"
