// Issuer search and chain verification over the context's certificate
// store. Signatures are checked by the caller's callback; the walk up the
// chain is a bounded loop that refuses to revisit a certificate.
#include "qelPKIChainInternal.h"

#include <ctime>

#include "qelPKIAccessInternal.h"
#include "qelPKICRLInternal.h"
#include "qelPKIConvertInternal.h"
#include "qelPKIExtensionInternal.h"

using namespace qel::pki;

namespace {

const ASN1_TBSCertificate &tbsOf(const QELPKICertificate *object)
{
    return object->certificate->tbsCertificate;
}

bool usable(const QELPKICertificate *object)
{
    return object != nullptr && object->certificate != nullptr && object->signedForm != nullptr;
}

} // namespace

extern "C" {

int32_t qelPKICertificateStoreAdd(QELPKICertificate *object, QELPKIContext *context)
{
    if (!usable(object) || context == nullptr)
        return QELPKIError_InvalidArguments;
    for (const QELPKICertificateNode *n = context->certificates; n != nullptr; n = n->next) {
        if (qelPKISerialNumberEqual(&tbsOf(n->certificate).serialNumber, &tbsOf(object).serialNumber) != 0 &&
            qelPKINameCompare(&tbsOf(n->certificate).issuer, &tbsOf(object).issuer, context) == 1)
            return 0;
    }
    auto *node = make<QELPKICertificateNode>(context);
    if (node == nullptr)
        return QELPKIError_OutOfMemory;
    node->certificate = object;
    node->next = context->certificates;
    context->certificates = node;
    return 0;
}

int32_t qelPKICertificateImport(const uint8_t *der, uint64_t derLength, QELPKIContext *context)
{
    if (context == nullptr)
        return QELPKIError_InvalidArguments;
    QELPKICertificate *object = nullptr;
    int32_t status = qelPKICertificateDecode(&object, der, derLength, context);
    if (status != 0)
        return status;
    const QELPKICertificateNode *head = context->certificates;
    status = qelPKICertificateStoreAdd(object, context);
    if (status != 0 || context->certificates == head)
        qelPKICertificateFree(object, context);
    return status;
}

int32_t qelPKIFindCertificateBySubject(QELPKICertificate **object, const ASN1_Name *name, QELPKIContext *context)
{
    if (object == nullptr || name == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *object = nullptr;
    for (QELPKICertificateNode *n = context->certificates; n != nullptr; n = n->next) {
        if (qelPKINameCompare(&tbsOf(n->certificate).subject, name, context) != 0) {
            *object = n->certificate;
            return 0;
        }
    }
    return QELPKIError_NotFound;
}

int32_t qelPKICertificateIsSelfIssued(const QELPKICertificate *object, QELPKIContext *context)
{
    if (!usable(object))
        return -1;
    return qelPKINameCompare(&tbsOf(object).subject, &tbsOf(object).issuer, context) == 1 ? 1 : 0;
}

int32_t qelPKIFindIssuer(QELPKICertificate **issuer, QELPKICertificate *object, QELPKIContext *context)
{
    if (issuer == nullptr || !usable(object) || context == nullptr)
        return QELPKIError_InvalidArguments;
    *issuer = nullptr;
    if (qelPKICertificateIsSelfIssued(object, context) == 1) {
        *issuer = object;
        return 0;
    }
    return qelPKIFindCertificateBySubject(issuer, &tbsOf(object).issuer, context) == 0 ? 0
                                                                                       : QELPKIError_IssuerMissing;
}

int32_t qelPKICertificateCheck(QELPKICertificate *object, int32_t flags, QELPKIContext *context)
{
    if (context == nullptr || !usable(object) || context->verify == nullptr)
        return QELPKIError_InvalidArguments;
    QELPKICertificate *issuer = nullptr;
    int32_t status = qelPKIFindIssuer(&issuer, object, context);
    if (status != 0)
        return status;
    const ASN1_Signed &signedForm = *object->signedForm;
    const ASN1_SubjectPublicKeyInfo &key = tbsOf(issuer).subjectPublicKeyInfo;
    const ASN1_Any *parameters = key.algorithm.parameters;
    if (context->verify(signedForm.toBeSigned.data, signedForm.toBeSigned.length,
                        signedForm.signatureAlgorithm.algorithm.data, signedForm.signatureAlgorithm.algorithm.length,
                        parameters != nullptr ? parameters->data : nullptr,
                        parameters != nullptr ? parameters->length : 0, signedForm.signatureValue.data,
                        signedForm.signatureValue.length, key.subjectPublicKey.data, key.subjectPublicKey.length,
                        issuer, context->userData, context) != 0)
        return QELPKIError_InvalidSignature;
    const std::int64_t notBefore = qelPKITimeToSeconds(&tbsOf(object).validity.notBefore);
    const std::int64_t notAfter = qelPKITimeToSeconds(&tbsOf(object).validity.notAfter);
    if ((flags & QELPKIVerify_NoValidity) == 0) {
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        if (now < notBefore || now > notAfter)
            return QELPKIError_InvalidData;
    }
    return qelPKICheckRevocation(context, object, flags);
}

int32_t qelPKICertificateVerifyChain(QELPKICertificate *object, int32_t flags, QELPKIContext *context)
{
    if (context == nullptr || !usable(object) || context->verify == nullptr)
        return QELPKIError_InvalidArguments;
    // The certificates checked so far: an issuer met again means a cycle.
    const QELPKICertificate *seen[QELPKIMaxChainLength];
    int depth = 0;
    QELPKICertificate *current = object;
    for (;;) {
        for (int i = 0; i < depth; ++i)
            if (seen[i] == current)
                return QELPKIError_IssuerMissing;
        if (depth == QELPKIMaxChainLength)
            return QELPKIError_IssuerMissing;
        seen[depth++] = current;
        QELPKICertificate *issuer = nullptr;
        int32_t status = qelPKIFindIssuer(&issuer, current, context);
        if (status != 0)
            return status;
        status = qelPKICertificateCheck(current, flags, context);
        if (status != 0)
            return status;
        status = qelPKIExtensionsCheck(tbsOf(current).extensions, current, context);
        if (status != 0)
            return status;
        if (issuer == current)
            return 0;
        current = issuer;
    }
}

} // extern "C"
