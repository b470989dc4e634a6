// The toolkit's readers of whole outside objects. The first octet picks
// one: a certificate set (each decoded, stored, and every stored one walked
// up its chain with a verify callback that accepts everything, so cycles
// and long chains must end), a revocation list (decoded, encoded again to
// the same size, checked and kept under a stored issuer), a PKCS #10
// request (decoded, encoded, its attributes looked up), a ContentInfo of
// signed data (content located through the codec, also indefinite-length,
// digest and signature checked by accepting callbacks) or of enveloped data
// (opened by a callback that checks what it is handed).
#include "qelFuzzSupport.h"

#include <cstring>

#include "asn1PKCS7.h"
#include "qelPKICRLInternal.h"
#include "qelPKIChainInternal.h"
#include "qelPKIPKCS7Internal.h"
#include "qelPKIRequestInternal.h"

namespace {

int acceptAll(const uint8_t *, uint64_t, const uint8_t *, uint64_t, const uint8_t *, uint64_t, const uint8_t *,
              uint64_t, const uint8_t *, uint64_t, QELPKICertificate *, void *, QELPKIContext *)
{
    return 0;
}

int digestOf(ASN1_OctetString *out, const char *oid, const uint8_t *data, uint64_t n, void *, ASN1Context *codec)
{
    qelfuzz::check(oid != nullptr && (n == 0 || data != nullptr), "digest callback handed nothing");
    // A fixed "digest": the first octets of the data, so a match is possible.
    return asn1SetOctetString(codec, out, data, n < 20 ? n : 20) == 0 ? 0 : -3;
}

int verifyAny(const uint8_t *data, uint64_t n, const char *d, const char *e, ASN1_OctetString *sig,
              ASN1_Certificate *signer, void *, ASN1Context *)
{
    qelfuzz::check((n == 0 || data != nullptr) && d != nullptr && e != nullptr && sig != nullptr &&
                       signer != nullptr,
                   "verify callback handed nothing");
    return 0;
}

int decryptAny(uint8_t **out, uint64_t *outLength, const char *c, ASN1_Any *, ASN1_OctetString *, const char *k,
               ASN1_OctetString *key, ASN1_Certificate *, void *, ASN1Context *)
{
    qelfuzz::check(out != nullptr && outLength != nullptr && c != nullptr && k != nullptr && key != nullptr,
                   "decrypt callback handed nothing");
    return 1;
}

void certificates(const uint8_t *data, size_t size, QELPKIContext *ctx)
{
    // Elements one after another, each preceded by a two-octet length.
    while (size >= 2) {
        const size_t n = (static_cast<size_t>(data[0]) << 8 | data[1]) % (size - 1);
        static_cast<void>(qelPKICertificateImport(data + 2, n, ctx));
        data += 2 + n;
        size -= 2 + n;
    }
    for (QELPKICertificateNode *node = ctx->certificates; node != nullptr; node = node->next) {
        const int32_t rc = qelPKICertificateVerifyChain(node->certificate, QELPKIVerify_NoValidity, ctx);
        qelfuzz::check(rc <= 0, "chain status out of range");
    }
}

void revocationList(const uint8_t *data, size_t size, QELPKIContext *ctx)
{
    ASN1_CertificateList *crl = nullptr;
    if (qelPKICRLDecode(&crl, data, size, ctx) != 0)
        return;
    uint8_t *der = nullptr;
    uint64_t n = 0;
    if (qelPKICRLEncode(&der, &n, crl, ctx) == 0)
        ctx->allocator->free(ctx->allocator, der);
    ASN1_Extensions *ext = nullptr;
    static_cast<void>(qelPKICRLGetExtensions(&ext, crl));
    qelPKICRLFree(crl, ctx);
    static_cast<void>(qelPKIImportCRL(data, size, ctx, QELPKIVerify_RequireFreshCRL));
}

void request(const uint8_t *data, size_t size, QELPKIContext *ctx)
{
    ASN1_CertificationRequest *req = nullptr;
    if (qelPKIRequestDecode(&req, data, size, ctx) != 0)
        return;
    uint8_t *der = nullptr;
    uint64_t n = 0;
    if (qelPKIRequestEncode(&der, &n, req, ctx) == 0)
        ctx->allocator->free(ctx->allocator, der);
    static const uint8_t signingTime[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};
    if (qelPKIRequestGetAttribute(&der, &n, req, signingTime, sizeof signingTime, ctx) == 0)
        ctx->allocator->free(ctx->allocator, der);
    static_cast<void>(qelPKIRequestVerify(req, ctx));
    qelPKIRequestFree(req, ctx);
}

void pkcs7(const uint8_t *data, size_t size, bool signedData, QELPKIContext *ctx)
{
    ASN1Context *codec = ctx->codec;
    ASN1_ContentInfo *ci = nullptr;
    int32_t err = 0;
    asn1Unpack_ContentInfo(codec, &ci, data, size, &err);
    if (ci == nullptr)
        return;
    if (err == 0 && ci->content != nullptr && signedData) {
        ASN1_SignedData *sd = nullptr;
        asn1Unpack_SignedData(codec, &sd, ci->content->data, ci->content->length, &err);
        if (sd != nullptr && err == 0) {
            ASN1_Certificate *signer = nullptr;
            if (sd->certificates != nullptr && sd->certificates->count > 0 &&
                sd->certificates->elements[0]->identifier == 0x30)
                signer = static_cast<ASN1_Certificate *>(sd->certificates->elements[0]->alternative);
            uint8_t *content = nullptr;
            uint64_t n = 0;
            static_cast<void>(qelPKISignedDataVerify(&content, &n, sd, signer, digestOf, nullptr, verifyAny, nullptr,
                                                     codec));
            if (content != nullptr)
                codec->allocator->free(codec->allocator, content);
        }
        asn1Free_SignedData(codec, sd);
    } else if (err == 0 && ci->content != nullptr) {
        ASN1_EnvelopedData *env = nullptr;
        asn1Unpack_EnvelopedData(codec, &env, ci->content->data, ci->content->length, &err);
        if (env != nullptr && err == 0) {
            uint8_t *plain = nullptr;
            uint64_t n = 0;
            static_cast<void>(qelPKIEnvelopedDataDecrypt(&plain, &n, env, nullptr, decryptAny, nullptr, codec));
        }
        asn1Free_EnvelopedData(codec, env);
    }
    asn1Free_ContentInfo(codec, ci);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    QELPKIContext *ctx = nullptr;
    qelfuzz::check(qelPKIContextNew(&ctx, nullptr, nullptr, nullptr, acceptAll, nullptr) == 0, "no context");
    switch (data[0] % 5) {
    case 0:
        certificates(data + 1, size - 1, ctx);
        break;
    case 1:
        revocationList(data + 1, size - 1, ctx);
        break;
    case 2:
        request(data + 1, size - 1, ctx);
        break;
    default:
        pkcs7(data + 1, size - 1, data[0] % 5 == 3, ctx);
        break;
    }
    qelPKIContextFree(ctx);
    return 0;
}
