// Toolkit context: its lists, the certificate object, the status codes and
// their messages, and the translation of codec statuses.
#include "qelPKIContextInternal.h"

#include <array>
#include <string_view>

#include "asn1PKIXInternal.h"
#include "asn1RuntimeInternal.h"
#include "qelPKIExtensionInternal.h"
#include "qelPKINameInternal.h"

namespace qel::pki {

void *alloc(QELPKIContext *ctx, std::uint64_t size)
{
    if (ctx == nullptr || size == 0)
        return nullptr;
    void *p = ctx->allocator->alloc(ctx->allocator, size);
    if (p != nullptr)
        std::memset(p, 0, size);
    return p;
}

void release(QELPKIContext *ctx, void *block)
{
    if (ctx != nullptr && block != nullptr)
        static_cast<void>(ctx->allocator->free(ctx->allocator, block));
}

std::uint8_t *copyBytes(QELPKIContext *ctx, const std::uint8_t *data, std::uint64_t length)
{
    auto *p = static_cast<std::uint8_t *>(alloc(ctx, length ? length : 1));
    if (p != nullptr && length != 0)
        std::memcpy(p, data, length);
    return p;
}

char *copyText(QELPKIContext *ctx, const char *text, std::size_t length)
{
    auto *p = static_cast<char *>(alloc(ctx, length + 1));
    if (p != nullptr && length != 0)
        std::memcpy(p, text, length);
    return p;
}

} // namespace qel::pki

namespace {

using namespace qel::pki;

constexpr std::array<std::string_view, 52> kMessages = {
    "invalid arguments",
    "ASN.1 parse error",
    "out of memory",
    "issuer certificate is missing",
    "invalid signature",
    "invalid/expired data",
    "error while processing extension",
    "error reading/writing to a file",
    "unhandled critical extension",
    "error parsing distinguished name",
    "certificate not found",
    "alt-subject not critical, and no subject",
    "alt-issuer not critical, and no issuer",
    "certificate revoked",
    "issuer CRL is not present",
    "unable to find PQG values for key",
    "unable to find valid serial number in certificate",
    "unable to sign data",
    "processed Name data is not ascii",
    "CRL's nextDate has expired",
    "unknown error, contact vendor",
    "extension OID supplied not supported",
    "provided string name has too many components",
    "numeric string has disallowed chars",
    "printable string has disallowed chars",
    "provided string type is not allowed",
    "one of notBefore or notAfter must be defined in privateKeyUsagePeriod",
    "general name contains unsupported data type",
    "can not compare general names due to unsupported type",
    "CRL is invalid",
    "CRL is not version 2",
    "CRL is missing the required nextUpdate field",
    "CRL is missing the AuthorityKeyIdentifier extension",
    "CRL is missing the CRLNumber extension",
    "CRL does not match Certificate",
    "GeneralName contains an inavalid URI value",
    "GeneralName contains a malformed iPAddress constraint",
    "GeneralName type does not match GeneralSubtree base",
    "GeneralName contains an unsupported type",
    "name constraints on certificate were not satisfied",
    "certificate is missing required policy extension",
    "certicicate policy does not match acceptable use",
    "certificate is not a CA certificate",
    "CA certificate does not have the keyCertSign bit set",
    "certificate path length constraint exceeded",
    "policy mapping not allowed by prior constraint",
    "initial policy and acceptable policy do not overlap",
    "inner and outer signature OIDs in cert do not match ",
    "v1 cert has extension or unique ID",
    "v2 cert has extension or no unique ID",
    "v3 cert has no extension",
    "v1 cert has version field present",
};

struct Translation {
    std::int32_t low, high, code;
};
// Searched in order; a codec status in [low, high] gives code.
constexpr Translation kTranslation[] = {
    {0, 0, 0},
    {-3, -1, QELPKIError_ASN1Parse},
    {-5, -5, QELPKIError_ASN1Parse},
    {-8, -6, QELPKIError_InvalidArguments},
    {-16, -9, QELPKIError_ASN1Parse},
    {-17, -17, QELPKIError_OutOfMemory},
    {-19, -18, QELPKIError_ASN1Parse},
    {-50, -50, QELPKIError_ASN1Parse},
    {-20, -20, QELPKIError_Unknown},
    {-70, -70, QELPKIError_Unknown},
    {-60, -60, QELPKIError_NumericString},
    {-61, -61, QELPKIError_PrintableString},
};

constexpr std::uint8_t kBasicConstraints[] = {0x55, 0x1D, 0x13};
constexpr std::uint8_t kNameConstraints[] = {0x55, 0x1D, 0x1E};

} // namespace

extern "C" {

int32_t qelPKIErrorFromASN1(int32_t codecStatus)
{
    for (const Translation &t : kTranslation)
        if (codecStatus >= t.low && codecStatus <= t.high)
            return t.code;
    return QELPKIError_Unknown;
}

const char *qelPKIErrorMessage(int32_t code)
{
    if (code > -1 || code < -static_cast<int32_t>(kMessages.size()))
        return nullptr;
    return kMessages[static_cast<std::size_t>(-code - 1)].data();
}

int32_t qelPKIContextNew(QELPKIContext **context, ASN1Allocator *allocator, QELPKISignCallback sign, void *signData,
                         QELPKIVerifyCallback verify, void *userData)
{
    if (context == nullptr)
        return QELPKIError_InvalidArguments;
    *context = nullptr;
    if (allocator == nullptr)
        allocator = &asn1DefaultAllocator;
    if (allocator->alloc == nullptr || allocator->realloc == nullptr || allocator->free == nullptr)
        return QELPKIError_InvalidArguments;
    auto *ctx = static_cast<QELPKIContext *>(allocator->alloc(allocator, sizeof(QELPKIContext)));
    if (ctx == nullptr)
        return QELPKIError_OutOfMemory;
    std::memset(ctx, 0, sizeof *ctx);
    ctx->allocator = allocator;
    ctx->sign = sign;
    ctx->signData = signData;
    ctx->verify = verify;
    ctx->userData = userData;
    ctx->codec = make<ASN1Context>(ctx);
    if (ctx->codec == nullptr) {
        static_cast<void>(qelPKIContextFree(ctx));
        return QELPKIError_OutOfMemory;
    }
    ctx->codec->allocator = allocator;
    int32_t status = qelPKIDNAttributesLoad(&ctx->dnAttributes, allocator);
    if (status == 0)
        status = qelPKIExtensionRegister(kBasicConstraints, sizeof kBasicConstraints, nullptr, ctx);
    if (status == 0)
        status = qelPKIExtensionRegister(kNameConstraints, sizeof kNameConstraints, nullptr, ctx);
    if (status != 0) {
        static_cast<void>(qelPKIContextFree(ctx));
        return status;
    }
    *context = ctx;
    return 0;
}

int32_t qelPKIContextFree(QELPKIContext *context)
{
    if (context == nullptr)
        return 0;
    while (QELPKICertificateNode *node = context->certificates) {
        context->certificates = node->next;
        qelPKICertificateFree(node->certificate, context);
        release(context, node);
    }
    while (QELPKICRLNode *node = context->revocationLists) {
        context->revocationLists = node->next;
        if (context->codec != nullptr)
            asn1Free_CertificateList(context->codec, node->crl);
        release(context, node);
    }
    qelPKIExtensionRegistryFree(&context->understoodExtensions, context->allocator);
    qelPKIDNAttributesFree(context->dnAttributes, context->allocator);
    context->dnAttributes = nullptr;
    release(context, context->codec);
    ASN1Allocator *allocator = context->allocator;
    static_cast<void>(allocator->free(allocator, context));
    return 0;
}

int32_t qelPKICertificateDecode(QELPKICertificate **object, const uint8_t *der, uint64_t derLength,
                                QELPKIContext *context)
{
    if (object == nullptr || derLength == 0 || der == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *object = nullptr;
    auto *cert = make<QELPKICertificate>(context);
    if (cert == nullptr)
        return QELPKIError_OutOfMemory;
    std::int32_t err = 0;
    if (asn1Unpack_Certificate(context->codec, &cert->owned, der, derLength, &err) != derLength || err != 0) {
        qelPKICertificateFree(cert, context);
        return QELPKIError_ASN1Parse;
    }
    err = 0;
    if (asn1Unpack_Signed(context->codec, &cert->signedForm, der, derLength, &err) != derLength || err != 0) {
        qelPKICertificateFree(cert, context);
        return QELPKIError_ASN1Parse;
    }
    cert->certificate = cert->owned;
    *object = cert;
    return 0;
}

void qelPKICertificateFree(QELPKICertificate *object, QELPKIContext *context)
{
    if (object == nullptr || context == nullptr)
        return;
    asn1Free_Signed(context->codec, object->signedForm);
    asn1Free_Certificate(context->codec, object->owned);
    release(context, object);
}

} // extern "C"
