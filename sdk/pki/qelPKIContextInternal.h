// The certificate toolkit's context, certificate object, callbacks and
// status codes, and the small memory helpers every toolkit module shares.
// Every toolkit operation takes the context last and allocates through its
// allocator; the codec context inside it drives every ASN.1 call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "asn1.h"
#include "asn1PKIX.h"
#include "qelErrors.h"

extern "C" {

enum QELPKIErrorCode {
    QELPKIError_InvalidArguments = -1,
    QELPKIError_ASN1Parse = -2,
    QELPKIError_OutOfMemory = -3,
    QELPKIError_IssuerMissing = -4,
    QELPKIError_InvalidSignature = -5,
    QELPKIError_InvalidData = -6,
    QELPKIError_Extension = -7,
    QELPKIError_FileIO = -8,
    QELPKIError_UnhandledCritical = -9,
    QELPKIError_NameParse = -10,
    QELPKIError_NotFound = -11,
    QELPKIError_AltSubjectNotCritical = -12,
    QELPKIError_AltIssuerNotCritical = -13,
    QELPKIError_Revoked = -14,
    QELPKIError_NoIssuerCRL = -15,
    QELPKIError_NoPQG = -16,
    QELPKIError_NoSerialNumber = -17,
    QELPKIError_SignFailed = -18,
    QELPKIError_NameNotASCII = -19,
    QELPKIError_CRLExpired = -20,
    QELPKIError_Unknown = -21,
    QELPKIError_ExtensionNotSupported = -22,
    QELPKIError_TooManyComponents = -23,
    QELPKIError_NumericString = -24,
    QELPKIError_PrintableString = -25,
    QELPKIError_StringType = -26,
    QELPKIError_UsagePeriodEmpty = -27,
    QELPKIError_GeneralNameType = -28,
    QELPKIError_GeneralNameCompare = -29,
    QELPKIError_CRLInvalid = -30,
    QELPKIError_CRLNotV2 = -31,
    QELPKIError_CRLNoNextUpdate = -32,
    QELPKIError_CRLNoAuthorityKeyId = -33,
    QELPKIError_CRLNoNumber = -34,
    QELPKIError_CRLMismatch = -35,
    QELPKIError_BadURI = -36,
    QELPKIError_BadIPAddressConstraint = -37,
    QELPKIError_SubtreeTypeMismatch = -38,
    QELPKIError_UnsupportedGeneralName = -39,
    QELPKIError_NameConstraints = -40,
    QELPKIError_PolicyMissing = -41,
    QELPKIError_PolicyMismatch = -42,
    QELPKIError_NotCA = -43,
    QELPKIError_NoKeyCertSign = -44,
    QELPKIError_PathLength = -45,
    QELPKIError_PolicyMappingForbidden = -46,
    QELPKIError_PolicyNoOverlap = -47,
    QELPKIError_SignatureOIDMismatch = -48,
    QELPKIError_V1HasExtensions = -49,
    QELPKIError_V2Invalid = -50,
    QELPKIError_V3NoExtensions = -51,
    QELPKIError_V1HasVersion = -52
};

typedef struct QELPKIContext QELPKIContext;

// A decoded certificate: the signed form keeps the to-be-signed octets as
// received; certificate and owned point at the same decoded record.
typedef struct QELPKICertificate {
    ASN1_Signed *signedForm;
    ASN1_Certificate *certificate;
    ASN1_Certificate *owned;
} QELPKICertificate;

typedef int (*QELPKISignCallback)(uint8_t **signature, uint64_t *signatureLength, const uint8_t *toBeSigned,
                                  uint64_t toBeSignedLength, const uint8_t *algorithmOID, uint64_t algorithmOIDLength,
                                  void *signData, QELPKIContext *context);
typedef int (*QELPKIVerifyCallback)(const uint8_t *signedData, uint64_t signedLength, const uint8_t *algorithmOID,
                                    uint64_t algorithmOIDLength, const uint8_t *keyParameters,
                                    uint64_t keyParametersLength, const uint8_t *signature, uint64_t signatureLength,
                                    const uint8_t *publicKey, uint64_t publicKeyLength, QELPKICertificate *issuer,
                                    void *userData, QELPKIContext *context);
// Called for an extension the context understands; 0 accepts it.
typedef int32_t (*QELPKIExtensionHandlerFn)(ASN1_Extension *extension, void *subject, QELPKIContext *context);

typedef struct QELPKICertificateNode {
    QELPKICertificate *certificate;
    struct QELPKICertificateNode *next;
} QELPKICertificateNode;

typedef struct QELPKIExtensionHandler {
    uint8_t *oid;
    uint64_t oidLength;
    QELPKIExtensionHandlerFn handler;
} QELPKIExtensionHandler;

typedef struct QELPKIExtensionNode {
    QELPKIExtensionHandler *entry;
    struct QELPKIExtensionNode *next;
} QELPKIExtensionNode;

typedef struct QELPKICRLNode {
    ASN1_CertificateList *crl;
    struct QELPKICRLNode *next;
} QELPKICRLNode;

typedef struct QELDNAttribute {
    char *keyword;
    uint8_t *oid;
    uint64_t oidLength;
    int32_t defaultTag;
    struct QELDNAttribute *next;
} QELDNAttribute;

struct QELPKIContext {
    ASN1Allocator *allocator;
    ASN1Context *codec;
    QELPKICertificateNode *certificates;
    QELPKIExtensionNode *understoodExtensions;
    QELPKICRLNode *revocationLists;
    QELDNAttribute *dnAttributes;
    QELPKIVerifyCallback verify;
    QELPKISignCallback sign;
    void *signData;
    void *userData;
};

QEL_MUST_CHECK int32_t qelPKIContextNew(QELPKIContext **context, ASN1Allocator *allocator, QELPKISignCallback sign,
                                        void *signData, QELPKIVerifyCallback verify, void *userData);
int32_t qelPKIContextFree(QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKICertificateDecode(QELPKICertificate **object, const uint8_t *der, uint64_t derLength,
                                               QELPKIContext *context);
void qelPKICertificateFree(QELPKICertificate *object, QELPKIContext *context);
int32_t qelPKIErrorFromASN1(int32_t codecStatus);
// The fixed English message of a toolkit code; null for a code outside -1..-52.
const char *qelPKIErrorMessage(int32_t code);

} // extern "C"

namespace qel::pki {

// Blocks from the context's allocator. alloc() returns zeroed memory.
void *alloc(QELPKIContext *ctx, std::uint64_t size);
void release(QELPKIContext *ctx, void *block);
std::uint8_t *copyBytes(QELPKIContext *ctx, const std::uint8_t *data, std::uint64_t length);
char *copyText(QELPKIContext *ctx, const char *text, std::size_t length);

template <typename T>
T *make(QELPKIContext *ctx)
{
    return static_cast<T *>(alloc(ctx, sizeof(T)));
}

// A codec record released with its module's Free on every exit.
template <typename R, void (*Free)(ASN1Context *, R *)>
class Held {
public:
    Held(ASN1Context *codec, R *record = nullptr) : codec_(codec), record_(record) {}
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held() { reset(); }
    R *get() const { return record_; }
    R *operator->() const { return record_; }
    R **out() { reset(); return &record_; }
    R *release() { R *r = record_; record_ = nullptr; return r; }
    void reset(R *r = nullptr)
    {
        if (record_ != nullptr)
            Free(codec_, record_);
        record_ = r;
    }

private:
    ASN1Context *codec_;
    R *record_;
};

// Two OIDs (or any byte strings) match when length and octets are equal.
inline bool sameBytes(const std::uint8_t *a, std::uint64_t aLength, const std::uint8_t *b, std::uint64_t bLength)
{
    return aLength == bLength && (aLength == 0 || std::memcmp(a, b, aLength) == 0);
}

} // namespace qel::pki
