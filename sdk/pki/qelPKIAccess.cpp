// Certificate accessors and the name, byte-string and time comparisons that
// issuer search, duplicate detection and CRL selection rely on.
#include "qelPKIAccessInternal.h"

#include <cctype>
#include <string>

#include "qelPKIConvertInternal.h"
#include "qelPKINameInternal.h"

namespace {

using namespace qel::pki;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

int32_t copyOut(uint8_t **data, uint64_t *length, const std::uint8_t *from, std::uint64_t n, QELPKIContext *context)
{
    *data = copyBytes(context, from, n);
    if (*data == nullptr)
        return QELPKIError_OutOfMemory;
    *length = n;
    return 0;
}

// A PrintableString value decoded, trimmed and with inner white-space runs
// collapsed; false when it is not a valid PrintableString.
bool normalisedPrintable(const ASN1_Any &value, std::string &out, QELPKIContext *context)
{
    ASN1_OctetString *s = nullptr;
    std::int32_t err = 0;
    const std::uint64_t used = asn1Unpack_PrintableString(context->codec, &s, value.data, value.length, &err);
    const bool ok = err == 0 && s != nullptr && used == value.length;
    if (ok) {
        std::string text(reinterpret_cast<const char *>(s->data), static_cast<std::size_t>(s->length));
        text = text.c_str(); // up to the first NUL, as a C text
        qelPKITrimTrailingSpace(text.data());
        text.resize(std::strlen(text.c_str()));
        std::size_t lead = 0;
        while (lead < text.size() && isSpace(text[lead]))
            ++lead;
        text.erase(0, lead);
        qelPKICollapseWhitespace(text.data());
        text.resize(std::strlen(text.c_str()));
        out = std::move(text);
    }
    asn1Free_OctetString(context->codec, s);
    return ok;
}

bool avaMatches(const ASN1_AttributeTypeAndValue &x, const ASN1_AttributeTypeAndValue &y, QELPKIContext *context)
{
    if (!sameBytes(x.type.data, x.type.length, y.type.data, y.type.length))
        return false;
    if (x.value.length > 0 && y.value.length > 0 && x.value.data[0] == 0x13 && y.value.data[0] == 0x13) {
        try {
            std::string a, b;
            if (!normalisedPrintable(x.value, a, context) || !normalisedPrintable(y.value, b, context) ||
                a.size() != b.size())
                return false;
            for (std::size_t i = 0; i < a.size(); ++i)
                if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
                    return false;
            return true;
        } catch (const std::bad_alloc &) {
            return false;
        }
    }
    return sameBytes(x.value.data, x.value.length, y.value.data, y.value.length);
}

} // namespace

extern "C" {

int32_t qelPKICertificateGetSignature(uint8_t **data, uint64_t *length, int32_t *unusedBits,
                                      const QELPKICertificate *object, QELPKIContext *context)
{
    if (data == nullptr || length == nullptr || unusedBits == nullptr || object == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *data = nullptr, *length = 0, *unusedBits = 0;
    const ASN1_BitString &s = object->signedForm->signatureValue;
    const int32_t status = copyOut(data, length, s.data, s.length, context);
    if (status == 0)
        *unusedBits = s.unusedBits;
    return status;
}

int32_t qelPKICertificateGetSignatureAlgorithm(uint8_t **data, uint64_t *length, const QELPKICertificate *object,
                                               QELPKIContext *context)
{
    if (data == nullptr || length == nullptr || object == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *data = nullptr, *length = 0;
    const ASN1_ObjectIdentifier &oid = object->signedForm->signatureAlgorithm.algorithm;
    return copyOut(data, length, oid.data, oid.length, context);
}

int32_t qelPKICertificateGetPublicKey(uint8_t **data, uint64_t *length, int32_t *unusedBits,
                                      const QELPKICertificate *object, QELPKIContext *context)
{
    if (data == nullptr || length == nullptr || unusedBits == nullptr || object == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *data = nullptr, *length = 0, *unusedBits = 0;
    const ASN1_BitString &k = object->certificate->tbsCertificate.subjectPublicKeyInfo.subjectPublicKey;
    const int32_t status = copyOut(data, length, k.data, k.length, context);
    if (status == 0)
        *unusedBits = k.unusedBits;
    return status;
}

int32_t qelPKICertificateGetKeyParameters(uint8_t **data, uint64_t *length, const QELPKICertificate *object,
                                          QELPKIContext *context)
{
    if (data == nullptr || length == nullptr || object == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *data = nullptr, *length = 0;
    const ASN1_Any *p = object->certificate->tbsCertificate.subjectPublicKeyInfo.algorithm.parameters;
    if (p == nullptr)
        return 0;
    return copyOut(data, length, p->data, p->length, context);
}

int32_t qelPKICertificateGetSerialNumber(uint8_t **data, uint64_t *length, const QELPKICertificate *object,
                                         QELPKIContext *context)
{
    if (data == nullptr || length == nullptr || object == nullptr)
        return QELPKIError_InvalidArguments;
    *data = nullptr, *length = 0;
    if (context == nullptr)
        return QELPKIError_InvalidArguments;
    const ASN1_Integer &s = object->certificate->tbsCertificate.serialNumber;
    return copyOut(data, length, s.data, s.length, context);
}

int32_t qelPKICertificateGetVersion(int32_t *version, const QELPKICertificate *object, QELPKIContext *context)
{
    if (version == nullptr || object == nullptr)
        return QELPKIError_InvalidArguments;
    *version = 0;
    ASN1_Integer *v = object->certificate->tbsCertificate.version;
    if (v == nullptr)
        return 0;
    std::int32_t err = 0;
    const std::uint64_t value = asn1GetIntegerValue(context != nullptr ? context->codec : nullptr, v, &err);
    if (err == 0 && value <= 2)
        *version = static_cast<int32_t>(value);
    return 0;
}

int32_t qelPKINameCompare(const ASN1_Name *a, const ASN1_Name *b, QELPKIContext *context)
{
    if (a == nullptr || b == nullptr)
        return -1;
    const auto *x = static_cast<const ASN1_RDNSequence *>(a->alternative);
    const auto *y = static_cast<const ASN1_RDNSequence *>(b->alternative);
    const std::int64_t nx = x != nullptr ? x->count : 0, ny = y != nullptr ? y->count : 0;
    if (nx != ny)
        return 0;
    for (std::int64_t r = 0; r < nx; ++r) {
        const ASN1_RelativeDistinguishedName *rx = x->elements[r], *ry = y->elements[r];
        if (rx == nullptr || ry == nullptr || rx->count != ry->count)
            return 0;
        for (std::int64_t i = 0; i < rx->count; ++i) {
            bool found = false;
            for (std::int64_t j = 0; j < ry->count && !found; ++j)
                found = context != nullptr && avaMatches(*rx->elements[i], *ry->elements[j], context);
            if (!found)
                return 0;
        }
    }
    return 1;
}

int32_t qelPKIByteStringEqual(const ASN1_OctetString *a, const ASN1_OctetString *b)
{
    if (a == nullptr || b == nullptr)
        return -1;
    return sameBytes(a->data, a->length, b->data, b->length) ? 1 : 0;
}

int32_t qelPKISerialNumberEqual(const ASN1_OctetString *a, const ASN1_OctetString *b)
{
    return qelPKIByteStringEqual(a, b);
}

int32_t qelPKITimeCompare(const ASN1_Time *a, const ASN1_Time *b, QELPKIContext *)
{
    const int64_t x = qelPKITimeToSeconds(a), y = qelPKITimeToSeconds(b);
    return x > y ? 1 : x == y ? 0 : -1;
}

void qelPKICollapseWhitespace(char *text)
{
    if (text == nullptr)
        return;
    std::size_t out = 0;
    for (std::size_t i = 0; text[i] != 0; ++i)
        if (!(isSpace(text[i]) && out > 0 && isSpace(text[i - 1])))
            text[out++] = text[i];
    text[out] = 0;
}

} // extern "C"
