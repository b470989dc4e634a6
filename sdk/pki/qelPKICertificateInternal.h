// Making and signing certificates, writing them back to DER, and the small
// helpers every builder of signed records shares: AlgorithmIdentifier
// filling, RFC 5280 time choice, and two-pass DER encoding into one block.
#pragma once

#include <cstdint>

#include "asn1PKIX.h"
#include "qelPKIContextInternal.h"

extern "C" {

QEL_MUST_CHECK int32_t qelPKISetAlgorithmIdentifier(ASN1_AlgorithmIdentifier *identifier, const uint8_t *oid,
                                                    uint64_t oidLength, const uint8_t *parameters,
                                                    uint64_t parametersLength, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateCreate(QELPKICertificate **out, int32_t version, const uint8_t *serial,
                                               uint64_t serialLength, const uint8_t *signatureOID,
                                               uint64_t signatureOIDLength, const uint8_t *signatureParameters,
                                               uint64_t signatureParametersLength, const ASN1_Name *issuer,
                                               int64_t notBefore, int64_t notAfter, const ASN1_Name *subject,
                                               const ASN1_Extensions *extensions, const uint8_t *keyOID,
                                               uint64_t keyOIDLength, const uint8_t *publicKey,
                                               uint64_t publicKeyLength, const uint8_t *keyParameters,
                                               uint64_t keyParametersLength, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateEncode(uint8_t **buffer, uint64_t *length, const QELPKICertificate *object,
                                               QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateGetExtensions(ASN1_Extensions **extensions, const QELPKICertificate *object);

// Sets a Time choice to the seconds, as UTCTime for 1950-2049 and as
// GeneralizedTime outside that range (RFC 5280 4.1.2.5); the old value is
// released. 0, -1 (a time no four-digit year holds) or -3.
QEL_MUST_CHECK int32_t qelPKITimeSet(ASN1_Time *time, int64_t seconds, QELPKIContext *context);

} // extern "C"

namespace qel::pki {

// Two-pass DER of a record into one block from the codec's allocator: 0,
// -3, or the translated codec status. On failure *out is null, *length 0.
template <typename R>
int32_t packRecord(std::uint8_t **out, std::uint64_t *length, R *record, ASN1Context *codec,
                   std::uint64_t (*size)(ASN1Context *, R *, int32_t),
                   std::uint64_t (*pack)(ASN1Context *, std::uint8_t *, std::uint64_t, R *, int32_t *))
{
    *out = nullptr;
    *length = 0;
    const std::uint64_t n = size(codec, record, 1);
    if (n == 0)
        return QELPKIError_ASN1Parse;
    auto *block = static_cast<std::uint8_t *>(codec->allocator->alloc(codec->allocator, n));
    if (block == nullptr)
        return QELPKIError_OutOfMemory;
    std::int32_t err = 0;
    const std::uint64_t written = pack(codec, block, n, record, &err);
    if (err != 0 || written != n) {
        static_cast<void>(codec->allocator->free(codec->allocator, block));
        return err != 0 ? qelPKIErrorFromASN1(err) : QELPKIError_ASN1Parse;
    }
    *out = block;
    *length = n;
    return 0;
}

// Frees a block of the codec's allocator on every exit.
class CodecBlock {
public:
    explicit CodecBlock(ASN1Context *codec) : codec_(codec) {}
    CodecBlock(const CodecBlock &) = delete;
    CodecBlock &operator=(const CodecBlock &) = delete;
    ~CodecBlock() { reset(); }
    void reset()
    {
        if (data != nullptr)
            static_cast<void>(codec_->allocator->free(codec_->allocator, data));
        data = nullptr;
        length = 0;
    }
    std::uint8_t *release()
    {
        std::uint8_t *d = data;
        data = nullptr;
        length = 0;
        return d;
    }
    std::uint8_t *data = nullptr;
    std::uint64_t length = 0;

private:
    ASN1Context *codec_;
};

} // namespace qel::pki
