// Extension codecs of the scalar extensions, the codec table, the list
// operations and the understood-extension list.
//
// Named-bit BIT STRINGs are written in DER's minimal form. The CRL reason is
// written as the ENUMERATED that RFC 5280 defines; an INTEGER is still read.
// Hold instructions are read under both arcs in use.
#include "qelPKIExtensionInternal.h"

#include <vector>

#include "asn1PKIXInternal.h"
#include "qelPKIConvertInternal.h"
#include "qelPKIGeneralNameInternal.h"
#include "qelPKINameInternal.h"
#include "qelPKIPolicyInternal.h"

namespace {

using namespace qel::pki;

constexpr std::uint8_t kKeyUsage[] = {0x55, 0x1D, 0x0F};
constexpr std::uint8_t kBasicConstraints[] = {0x55, 0x1D, 0x13};
constexpr std::uint8_t kSubjectAltName[] = {0x55, 0x1D, 0x11};
constexpr std::uint8_t kIssuerAltName[] = {0x55, 0x1D, 0x12};
constexpr std::uint8_t kCRLNumber[] = {0x55, 0x1D, 0x14};
constexpr std::uint8_t kDeltaCRLIndicator[] = {0x55, 0x1D, 0x1B};
constexpr std::uint8_t kAuthorityKeyIdentifier[] = {0x55, 0x1D, 0x23};
constexpr std::uint8_t kSubjectKeyIdentifier[] = {0x55, 0x1D, 0x0E};
constexpr std::uint8_t kPrivateKeyUsagePeriod[] = {0x55, 0x1D, 0x10};
constexpr std::uint8_t kCertificatePolicies[] = {0x55, 0x1D, 0x20};
constexpr std::uint8_t kPolicyMappings[] = {0x55, 0x1D, 0x21};
constexpr std::uint8_t kSubjectDirectoryAttributes[] = {0x55, 0x1D, 0x09};
constexpr std::uint8_t kNameConstraints[] = {0x55, 0x1D, 0x1E};
constexpr std::uint8_t kPolicyConstraints[] = {0x55, 0x1D, 0x24};
constexpr std::uint8_t kExtKeyUsage[] = {0x55, 0x1D, 0x25};
constexpr std::uint8_t kCRLDistributionPoints[] = {0x55, 0x1D, 0x1F};
constexpr std::uint8_t kAuthorityInfoAccess[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x01, 0x01};
constexpr std::uint8_t kIssuingDistributionPoint[] = {0x55, 0x1D, 0x1C};
constexpr std::uint8_t kCRLReasonCode[] = {0x55, 0x1D, 0x15};
constexpr std::uint8_t kHoldInstructionCode[] = {0x55, 0x1D, 0x17};
constexpr std::uint8_t kInvalidityDate[] = {0x55, 0x1D, 0x18};

struct CodeOID {
    int32_t code;
    std::uint8_t oid[8];
    std::uint64_t oidLength;
};

constexpr CodeOID kKeyPurposes[] = {
    {1, {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x01}, 8},
    {2, {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x02}, 8},
    {3, {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03}, 8},
    {4, {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x04}, 8},
    {5, {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x08}, 8},
};

// Written under 2.2.840.10040.2 as the ASN.1 module of RFC 5280 spells it;
// read under that arc and under 1.2.840.10040.2, which issuers use.
constexpr CodeOID kHoldInstructions[] = {
    {0, {0x52, 0x86, 0x48, 0xCE, 0x38, 0x02, 0x01}, 7},
    {1, {0x52, 0x86, 0x48, 0xCE, 0x38, 0x02, 0x02}, 7},
    {2, {0x52, 0x86, 0x48, 0xCE, 0x38, 0x02, 0x03}, 7},
};
constexpr std::uint8_t kHoldArcAlternative = 0x2A;

using ExtensionHeld = Held<ASN1_Extension, asn1Free_Extension>;

// One primitive element: identifier, DER length, content.
std::vector<std::uint8_t> element(std::uint8_t tag, const std::uint8_t *content, std::uint64_t n)
{
    std::vector<std::uint8_t> out(1 + asn1LengthOfLength(n) + n);
    out[0] = tag;
    const std::uint64_t h = 1 + asn1EncodeLength(out.data() + 1, n);
    if (n != 0)
        std::memcpy(out.data() + h, content, n);
    return out;
}

// Shortest two's-complement content octets of a 32-bit value.
std::vector<std::uint8_t> integerContent(int32_t value)
{
    std::vector<std::uint8_t> c;
    const auto u = static_cast<std::uint32_t>(value);
    for (int shift = 24; shift >= 0; shift -= 8)
        c.push_back(static_cast<std::uint8_t>(u >> shift));
    while (c.size() > 1 && ((c[0] == 0x00 && (c[1] & 0x80) == 0) || (c[0] == 0xFF && (c[1] & 0x80) != 0)))
        c.erase(c.begin());
    return c;
}

// A non-negative value of at most four content octets (a leading zero octet
// before a high bit allowed); false otherwise.
bool smallUnsigned(const std::uint8_t *p, std::uint64_t n, std::uint32_t &value)
{
    if (p == nullptr || n == 0 || (p[0] & 0x80) != 0)
        return false;
    if (n == 5 && p[0] == 0) {
        ++p;
        --n;
    }
    if (n > 4)
        return false;
    value = 0;
    for (std::uint64_t i = 0; i < n; ++i)
        value = (value << 8) | p[i];
    return true;
}

int32_t appendBytes(ASN1_Extensions *extensions, const std::uint8_t *oid, std::uint64_t oidLength, int32_t critical,
                    const std::vector<std::uint8_t> &der, QELPKIContext *context)
{
    return qelPKIExtensionAppend(extensions, oid, oidLength, critical, der.data(), der.size(), context);
}

// -1 is the extension's default.
int32_t criticalOr(int32_t critical, int32_t byDefault) { return critical == -1 ? byDefault : critical != 0; }

// The value of an extension as one primitive element of an allowed tag.
bool readPrimitive(const ASN1_Extension *extension, std::initializer_list<std::uint8_t> tags,
                   const std::uint8_t *&content, std::uint64_t &length)
{
    std::uint8_t tag = 0;
    if (extension == nullptr ||
        !splitElement(extension->extnValue.data, extension->extnValue.length, tag, content, length))
        return false;
    for (std::uint8_t t : tags)
        if (t == tag)
            return true;
    return false;
}

int32_t *newNumber(QELPKIContext *context, int32_t value)
{
    auto *p = make<int32_t>(context);
    if (p != nullptr)
        *p = value;
    return p;
}

int32_t encodeTime(ASN1_Extensions *extensions, std::int64_t seconds, const std::uint8_t *oid, int32_t critical,
                   QELPKIContext *context)
{
    ASN1_OctetString *text = nullptr;
    int32_t status = qelPKIGeneralizedTimeFromSeconds(&text, seconds, context);
    if (status != 0)
        return status;
    try {
        status = appendBytes(extensions, oid, 3, critical, element(24, text->data, text->length), context);
    } catch (const std::bad_alloc &) {
        status = QELPKIError_OutOfMemory;
    }
    asn1Free_OctetString(context->codec, text);
    return status;
}

} // namespace

namespace qel::pki {

int32_t setNamedBits(ASN1Context *codec, ASN1_BitString *record, std::uint32_t word)
{
    std::uint8_t octets[4] = {};
    int highest = -1;
    for (int i = 0; i < 32; ++i) {
        if ((word >> i) & 1u) {
            octets[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
            highest = i;
        }
    }
    const int n = highest / 8 + 1;
    return asn1SetBitString(codec, record, highest < 0 ? nullptr : octets, static_cast<std::uint64_t>(highest < 0 ? 0 : n),
                            highest < 0 ? 0 : 8 * n - highest - 1);
}

std::uint32_t namedBits(const ASN1_BitString &record)
{
    std::uint32_t word = 0;
    const std::uint64_t bits = record.length * 8 - static_cast<std::uint64_t>(record.unusedBits);
    for (std::uint64_t i = 0; i < bits && i < 32; ++i)
        if (record.data[i / 8] & (0x80u >> (i % 8)))
            word |= 1u << i;
    return word;
}

} // namespace qel::pki

extern "C" {

const QELX509ExtensionCodec qelX509ExtensionCodecs[22] = {
    {qelPKIEncodeKeyUsage, qelPKIDecodeKeyUsage, kKeyUsage, 3},
    {qelPKIEncodeBasicConstraints, qelPKIDecodeBasicConstraints, kBasicConstraints, 3},
    {qelPKIEncodeSubjectAltName, qelPKIDecodeAltName, kSubjectAltName, 3},
    {qelPKIEncodeIssuerAltName, qelPKIDecodeAltName, kIssuerAltName, 3},
    {qelPKIEncodeCRLNumber, qelPKIDecodeCRLNumber, kCRLNumber, 3},
    {qelPKIEncodeDeltaCRLIndicator, qelPKIDecodeDeltaCRLIndicator, kDeltaCRLIndicator, 3},
    {qelPKIEncodeAuthorityKeyIdentifier, qelPKIDecodeAuthorityKeyIdentifier, kAuthorityKeyIdentifier, 3},
    {qelPKIEncodeSubjectKeyIdentifier, qelPKIDecodeSubjectKeyIdentifier, kSubjectKeyIdentifier, 3},
    {qelPKIEncodePrivateKeyUsagePeriod, qelPKIDecodePrivateKeyUsagePeriod, kPrivateKeyUsagePeriod, 3},
    {qelPKIEncodeCertificatePolicies, qelPKIDecodeCertificatePolicies, kCertificatePolicies, 3},
    {qelPKIEncodePolicyMappings, qelPKIDecodePolicyMappings, kPolicyMappings, 3},
    {qelPKIEncodeSubjectDirectoryAttributes, qelPKIDecodeSubjectDirectoryAttributes, kSubjectDirectoryAttributes, 3},
    {qelPKIEncodeNameConstraints, qelPKIDecodeNameConstraints, kNameConstraints, 3},
    {qelPKIEncodePolicyConstraints, qelPKIDecodePolicyConstraints, kPolicyConstraints, 3},
    {qelPKIEncodeExtKeyUsage, qelPKIDecodeExtKeyUsage, kExtKeyUsage, 3},
    {qelPKIEncodeCRLDistributionPoints, qelPKIDecodeCRLDistributionPoints, kCRLDistributionPoints, 3},
    {qelPKIEncodeAuthorityInfoAccess, qelPKIDecodeAuthorityInfoAccess, kAuthorityInfoAccess, 8},
    {qelPKIEncodeIssuingDistributionPoint, qelPKIDecodeIssuingDistributionPoint, kIssuingDistributionPoint, 3},
    {qelPKIEncodeCRLReasonCode, qelPKIDecodeCRLReasonCode, kCRLReasonCode, 3},
    {qelPKIEncodeHoldInstructionCode, qelPKIDecodeHoldInstructionCode, kHoldInstructionCode, 3},
    {qelPKIEncodeInvalidityDate, qelPKIDecodeInvalidityDate, kInvalidityDate, 3},
    {nullptr, nullptr, nullptr, 0},
};

// ---- entry points by OID ------------------------------------------------------

int32_t qelPKIExtensionEncode(ASN1_Extensions *extensions, const uint8_t *oid, uint64_t oidLength, int32_t critical,
                              const void *value, QELPKIContext *context)
{
    if (extensions == nullptr || oid == nullptr || oidLength == 0 || value == nullptr || context == nullptr ||
        critical < -1 || critical > 1)
        return QELPKIError_InvalidArguments;
    for (const QELX509ExtensionCodec *row = qelX509ExtensionCodecs; row->oid != nullptr; ++row)
        if (row->encode != nullptr && sameBytes(row->oid, row->oidLength, oid, oidLength))
            return row->encode(extensions, value, critical, context);
    return QELPKIError_ExtensionNotSupported;
}

int32_t qelPKIExtensionDecode(void **result, int32_t *critical, const uint8_t *oid, uint64_t oidLength,
                              ASN1_Extensions *extensions, QELPKIContext *context)
{
    if (result == nullptr || critical == nullptr || oid == nullptr || oidLength == 0 || extensions == nullptr ||
        context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    *critical = 0;
    const QELX509ExtensionCodec *row = qelX509ExtensionCodecs;
    while (row->oid != nullptr && !(row->decode != nullptr && sameBytes(row->oid, row->oidLength, oid, oidLength)))
        ++row;
    if (row->oid == nullptr)
        return QELPKIError_ExtensionNotSupported;
    ASN1_Extension *extension = nullptr;
    const int32_t status = qelPKIExtensionFind(&extension, extensions, oid, oidLength);
    if (status != 0)
        return status;
    *critical = extension->critical != nullptr && extension->critical->value != 0 ? 1 : 0;
    return row->decode(result, extension, context);
}

int32_t qelPKIExtensionFind(ASN1_Extension **extension, ASN1_Extensions *extensions, const uint8_t *oid,
                            uint64_t oidLength)
{
    if (extension == nullptr || extensions == nullptr || oid == nullptr)
        return QELPKIError_InvalidArguments;
    *extension = nullptr;
    for (std::int64_t i = 0; i < extensions->count; ++i) {
        ASN1_Extension *e = extensions->elements[i];
        if (e != nullptr && sameBytes(e->extnID.data, e->extnID.length, oid, oidLength)) {
            *extension = e;
            return 0;
        }
    }
    return QELPKIError_NotFound;
}

// ---- list operations --------------------------------------------------------

int32_t qelPKIExtensionAppend(ASN1_Extensions *extensions, const uint8_t *oid, uint64_t oidLength, int32_t critical,
                              const uint8_t *der, uint64_t derLength, QELPKIContext *context)
{
    if (extensions == nullptr || oid == nullptr || oidLength == 0 || der == nullptr || derLength == 0 ||
        context == nullptr)
        return QELPKIError_InvalidArguments;
    ExtensionHeld e(context->codec, asn1New_Extension(context->codec));
    if (e.get() == nullptr || asn1SetOctetString(context->codec, &e->extnID, oid, oidLength) != 0)
        return QELPKIError_OutOfMemory;
    if (critical != 0) {
        e->critical = asn1New_Boolean(context->codec);
        if (e->critical == nullptr || asn1SetBoolean(context->codec, e->critical, 1) != 0)
            return QELPKIError_OutOfMemory;
    }
    if (asn1SetOctetString(context->codec, &e->extnValue, der, derLength) != 0 ||
        asn1AppendElement(context->codec, e.get(), extensions) != 0)
        return QELPKIError_OutOfMemory;
    e.release();
    return 0;
}

int32_t qelPKIExtensionsNew(ASN1_Extensions **extensions, QELPKIContext *context)
{
    if (extensions == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *extensions = asn1New_Extensions(context->codec);
    return *extensions != nullptr ? 0 : QELPKIError_OutOfMemory;
}

void qelPKIExtensionsFree(ASN1_Extensions *extensions, QELPKIContext *context)
{
    if (extensions != nullptr && context != nullptr)
        asn1Free_Extensions(context->codec, extensions);
}

int32_t qelPKIExtensionsCopy(ASN1_Extensions **copy, const ASN1_Extensions *source, QELPKIContext *context)
{
    if (copy == nullptr || context == nullptr)
        return 0;
    *copy = nullptr;
    if (source == nullptr)
        return 0;
    Held<ASN1_Extensions, asn1Free_Extensions> list(context->codec, asn1New_Extensions(context->codec));
    if (list.get() == nullptr)
        return QELPKIError_OutOfMemory;
    for (std::int64_t i = 0; i < source->count; ++i) {
        const ASN1_Extension *from = source->elements[i];
        if (from == nullptr)
            continue;
        ExtensionHeld e(context->codec, asn1New_Extension(context->codec));
        if (e.get() == nullptr ||
            asn1SetOctetString(context->codec, &e->extnID, from->extnID.data, from->extnID.length) != 0 ||
            asn1SetOctetString(context->codec, &e->extnValue, from->extnValue.data, from->extnValue.length) != 0)
            return QELPKIError_OutOfMemory;
        if (from->critical != nullptr) {
            e->critical = asn1New_Boolean(context->codec);
            if (e->critical == nullptr || asn1SetBoolean(context->codec, e->critical, from->critical->value) != 0)
                return QELPKIError_OutOfMemory;
        }
        if (asn1AppendElement(context->codec, e.get(), list.get()) != 0)
            return QELPKIError_OutOfMemory;
        e.release();
    }
    *copy = list.release();
    return 0;
}

// ---- understood extensions --------------------------------------------------

int32_t qelPKIExtensionRegister(const uint8_t *oid, uint64_t oidLength, QELPKIExtensionHandlerFn handler,
                                QELPKIContext *context)
{
    if (oid == nullptr || oidLength == 0 || context == nullptr)
        return QELPKIError_InvalidArguments;
    for (QELPKIExtensionNode *n = context->understoodExtensions; n != nullptr; n = n->next) {
        if (sameBytes(n->entry->oid, n->entry->oidLength, oid, oidLength)) {
            n->entry->handler = handler;
            return 0;
        }
    }
    auto *node = make<QELPKIExtensionNode>(context);
    auto *entry = make<QELPKIExtensionHandler>(context);
    std::uint8_t *copy = copyBytes(context, oid, oidLength);
    if (node == nullptr || entry == nullptr || copy == nullptr) {
        release(context, node);
        release(context, entry);
        release(context, copy);
        return QELPKIError_OutOfMemory;
    }
    entry->oid = copy;
    entry->oidLength = oidLength;
    entry->handler = handler;
    node->entry = entry;
    node->next = context->understoodExtensions;
    context->understoodExtensions = node;
    return 0;
}

int32_t qelPKIExtensionsCheck(ASN1_Extensions *extensions, void *subject, QELPKIContext *context)
{
    if (extensions == nullptr || extensions->count == 0)
        return 0;
    if (context == nullptr)
        return QELPKIError_InvalidArguments;
    for (std::int64_t i = 0; i < extensions->count; ++i) {
        ASN1_Extension *e = extensions->elements[i];
        if (e == nullptr)
            continue;
        const QELPKIExtensionNode *n = context->understoodExtensions;
        while (n != nullptr && !sameBytes(n->entry->oid, n->entry->oidLength, e->extnID.data, e->extnID.length))
            n = n->next;
        if (n != nullptr) {
            if (n->entry->handler != nullptr && n->entry->handler(e, subject, context) != 0)
                return QELPKIError_Extension;
        } else if (e->critical != nullptr && e->critical->value != 0) {
            return QELPKIError_UnhandledCritical;
        }
    }
    return 0;
}

void qelPKIExtensionRegistryFree(QELPKIExtensionNode **head, ASN1Allocator *allocator)
{
    if (head == nullptr || allocator == nullptr)
        return;
    while (QELPKIExtensionNode *n = *head) {
        *head = n->next;
        if (n->entry != nullptr) {
            if (n->entry->oid != nullptr)
                allocator->free(allocator, n->entry->oid);
            allocator->free(allocator, n->entry);
        }
        allocator->free(allocator, n);
    }
}

// ---- keyUsage -------------------------------------------------------------

int32_t qelPKIEncodeKeyUsage(ASN1_Extensions *extensions, const void *value, int32_t critical, QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    Held<ASN1_BitString, asn1Free_BitString> bits(context->codec, asn1New_BitString(context->codec));
    if (bits.get() == nullptr)
        return QELPKIError_OutOfMemory;
    const int32_t status = setNamedBits(context->codec, bits.get(), static_cast<const QELPKIKeyUsage *>(value)->bits);
    if (status != 0)
        return status == ASN1Error_General ? QELPKIError_OutOfMemory : QELPKIError_InvalidArguments;
    return packAndAppend(extensions, kKeyUsage, 3, criticalOr(critical, 1), bits.get(), asn1Sizeof_BitString,
                         asn1Pack_BitString, context, QELPKIError_Extension);
}

int32_t qelPKIDecodeKeyUsage(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_BitString, asn1Free_BitString> bits(context->codec);
    std::int32_t err = 0;
    if (asn1Unpack_BitString(context->codec, bits.out(), extension->extnValue.data, extension->extnValue.length,
                             &err) != extension->extnValue.length ||
        err != 0 || bits.get() == nullptr)
        return QELPKIError_Extension;
    auto *usage = make<QELPKIKeyUsage>(context);
    if (usage == nullptr)
        return QELPKIError_OutOfMemory;
    usage->bits = namedBits(*bits.get());
    *result = usage;
    return 0;
}

// ---- basicConstraints ---------------------------------------------------------

int32_t qelPKIEncodeBasicConstraints(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                     QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *bc = static_cast<const QELPKIBasicConstraints *>(value);
    if (bc->cA != 0 && bc->cA != 1)
        return QELPKIError_InvalidArguments;
    Held<ASN1_BasicConstraints, asn1Free_BasicConstraints> r(context->codec, asn1New_BasicConstraints(context->codec));
    if (r.get() == nullptr)
        return QELPKIError_OutOfMemory;
    if (bc->cA == 1) {
        r->cA = asn1New_Boolean(context->codec);
        if (r->cA == nullptr || asn1SetBoolean(context->codec, r->cA, 1) != 0)
            return QELPKIError_OutOfMemory;
        if (bc->pathLenConstraint >= 0) {
            r->pathLenConstraint = asn1New_OctetString(context->codec);
            if (r->pathLenConstraint == nullptr)
                return QELPKIError_OutOfMemory;
            if (asn1SetIntegerValue(context->codec, r->pathLenConstraint, bc->pathLenConstraint) != 0)
                return QELPKIError_InvalidArguments;
        }
    }
    return packAndAppend(extensions, kBasicConstraints, 3, criticalOr(critical, 1), r.get(),
                         asn1Sizeof_BasicConstraints, asn1Pack_BasicConstraints, context, QELPKIError_Extension);
}

int32_t qelPKIDecodeBasicConstraints(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_BasicConstraints, asn1Free_BasicConstraints> r(context->codec);
    std::int32_t err = 0;
    if (asn1Unpack_BasicConstraints(context->codec, r.out(), extension->extnValue.data, extension->extnValue.length,
                                    &err) != extension->extnValue.length ||
        err != 0 || r.get() == nullptr)
        return QELPKIError_Extension;
    std::uint32_t pathLen = 0;
    if (r->pathLenConstraint != nullptr &&
        !smallUnsigned(r->pathLenConstraint->data, r->pathLenConstraint->length, pathLen))
        return QELPKIError_Extension;
    auto *bc = make<QELPKIBasicConstraints>(context);
    if (bc == nullptr)
        return QELPKIError_OutOfMemory;
    bc->cA = r->cA != nullptr && r->cA->value != 0 ? 1 : 0;
    bc->pathLenConstraint = r->pathLenConstraint != nullptr ? static_cast<int32_t>(pathLen) : -1;
    *result = bc;
    return 0;
}

// ---- extKeyUsage ------------------------------------------------------------------

int32_t qelPKIEncodeExtKeyUsage(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *eku = static_cast<const QELPKIExtKeyUsage *>(value);
    if (eku->count < 0 || (eku->count > 0 && eku->purposes == nullptr))
        return QELPKIError_InvalidArguments;
    Held<ASN1_ExtKeyUsageSyntax, asn1Free_ExtKeyUsageSyntax> r(context->codec, asn1New_ExtKeyUsageSyntax(context->codec));
    if (r.get() == nullptr)
        return QELPKIError_OutOfMemory;
    for (int32_t i = 0; i < eku->count; ++i) {
        const CodeOID *row = nullptr;
        for (const CodeOID &k : kKeyPurposes)
            if (k.code == eku->purposes[i])
                row = &k;
        if (row == nullptr)
            return QELPKIError_Unknown;
        Held<ASN1_ObjectIdentifier, asn1Free_OctetString> oid(context->codec, asn1New_OctetString(context->codec));
        if (oid.get() == nullptr || asn1SetOctetString(context->codec, oid.get(), row->oid, row->oidLength) != 0 ||
            asn1AppendElement(context->codec, oid.get(), r.get()) != 0)
            return QELPKIError_OutOfMemory;
        oid.release();
    }
    return packAndAppend(extensions, kExtKeyUsage, 3, critical != 0, r.get(), asn1Sizeof_ExtKeyUsageSyntax,
                         asn1Pack_ExtKeyUsageSyntax, context);
}

int32_t qelPKIDecodeExtKeyUsage(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_ExtKeyUsageSyntax, asn1Free_ExtKeyUsageSyntax> r(context->codec);
    std::int32_t err = 0;
    if (asn1Unpack_ExtKeyUsageSyntax(context->codec, r.out(), extension->extnValue.data, extension->extnValue.length,
                                     &err) != extension->extnValue.length ||
        err != 0 || r.get() == nullptr)
        return qelPKIErrorFromASN1(err != 0 ? err : ASN1Error_Unparsed);
    if (r->count > INT32_MAX)
        return QELPKIError_ASN1Parse;
    auto *eku = make<QELPKIExtKeyUsage>(context);
    if (eku == nullptr)
        return QELPKIError_OutOfMemory;
    eku->count = static_cast<int32_t>(r->count);
    if (r->count > 0) {
        eku->purposes = static_cast<int32_t *>(alloc(context, sizeof(int32_t) * static_cast<std::uint64_t>(r->count)));
        if (eku->purposes == nullptr) {
            release(context, eku);
            return QELPKIError_OutOfMemory;
        }
    }
    for (std::int64_t i = 0; i < r->count; ++i)
        for (const CodeOID &k : kKeyPurposes)
            if (sameBytes(k.oid, k.oidLength, r->elements[i]->data, r->elements[i]->length))
                eku->purposes[i] = k.code;
    *result = eku;
    return 0;
}

// ---- subjectKeyIdentifier -----------------------------------------------------------

int32_t qelPKIEncodeSubjectKeyIdentifier(ASN1_Extensions *extensions, const void *value, int32_t,
                                         QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    auto *id = const_cast<ASN1_OctetString *>(static_cast<const ASN1_OctetString *>(value));
    return packAndAppend(extensions, kSubjectKeyIdentifier, 3, 0, id, asn1Sizeof_OctetString, asn1Pack_OctetString,
                         context);
}

int32_t qelPKIDecodeSubjectKeyIdentifier(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    ASN1_OctetString *id = nullptr;
    std::int32_t err = 0;
    const std::uint64_t used =
        asn1Unpack_OctetString(context->codec, &id, extension->extnValue.data, extension->extnValue.length, &err);
    if (used != extension->extnValue.length || err != 0 || id == nullptr) {
        asn1Free_OctetString(context->codec, id);
        return qelPKIErrorFromASN1(err != 0 ? err : ASN1Error_Unparsed);
    }
    *result = id;
    return 0;
}

// ---- privateKeyUsagePeriod ------------------------------------------------------

int32_t qelPKIEncodePrivateKeyUsagePeriod(ASN1_Extensions *extensions, const void *value, int32_t,
                                          QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *period = static_cast<const QELPKIPrivateKeyUsagePeriod *>(value);
    if (period->notBefore == 0 && period->notAfter == 0)
        return QELPKIError_UsagePeriodEmpty;
    Held<ASN1_PrivateKeyUsagePeriod, asn1Free_PrivateKeyUsagePeriod> r(context->codec,
                                                                       asn1New_PrivateKeyUsagePeriod(context->codec));
    if (r.get() == nullptr)
        return QELPKIError_OutOfMemory;
    if (period->notBefore != 0) {
        const int32_t status = qelPKIGeneralizedTimeFromSeconds(&r->notBefore, period->notBefore, context);
        if (status != 0)
            return status;
    }
    if (period->notAfter != 0) {
        const int32_t status = qelPKIGeneralizedTimeFromSeconds(&r->notAfter, period->notAfter, context);
        if (status != 0)
            return status;
    }
    return packAndAppend(extensions, kPrivateKeyUsagePeriod, 3, 0, r.get(), asn1Sizeof_PrivateKeyUsagePeriod,
                         asn1Pack_PrivateKeyUsagePeriod, context);
}

int32_t qelPKIDecodePrivateKeyUsagePeriod(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_PrivateKeyUsagePeriod, asn1Free_PrivateKeyUsagePeriod> r(context->codec);
    std::int32_t err = 0;
    if (asn1Unpack_PrivateKeyUsagePeriod(context->codec, r.out(), extension->extnValue.data,
                                         extension->extnValue.length, &err) != extension->extnValue.length ||
        err != 0 || r.get() == nullptr)
        return qelPKIErrorFromASN1(err != 0 ? err : ASN1Error_Unparsed);
    auto *period = make<QELPKIPrivateKeyUsagePeriod>(context);
    if (period == nullptr)
        return QELPKIError_OutOfMemory;
    if (r->notBefore != nullptr)
        period->notBefore = qelPKIGeneralizedTimeToSeconds(r->notBefore);
    if (r->notAfter != nullptr)
        period->notAfter = qelPKIGeneralizedTimeToSeconds(r->notAfter);
    *result = period;
    return 0;
}

// ---- policyConstraints ----------------------------------------------------------

int32_t qelPKIEncodePolicyConstraints(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                      QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *pc = static_cast<const QELPKIPolicyConstraints *>(value);
    if (pc->requireExplicitPolicy < 0 && pc->inhibitPolicyMapping < 0)
        return QELPKIError_Unknown;
    Held<ASN1_PolicyConstraints, asn1Free_PolicyConstraints> r(context->codec, asn1New_PolicyConstraints(context->codec));
    if (r.get() == nullptr)
        return QELPKIError_OutOfMemory;
    const int32_t fields[2] = {pc->requireExplicitPolicy, pc->inhibitPolicyMapping};
    ASN1_Integer **slots[2] = {&r->requireExplicitPolicy, &r->inhibitPolicyMapping};
    for (int i = 0; i < 2; ++i) {
        if (fields[i] < 0)
            continue;
        *slots[i] = asn1New_OctetString(context->codec);
        if (*slots[i] == nullptr || asn1SetIntegerValue(context->codec, *slots[i], fields[i]) != 0)
            return QELPKIError_OutOfMemory;
    }
    return packAndAppend(extensions, kPolicyConstraints, 3, critical != 0, r.get(), asn1Sizeof_PolicyConstraints,
                         asn1Pack_PolicyConstraints, context);
}

int32_t qelPKIDecodePolicyConstraints(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_PolicyConstraints, asn1Free_PolicyConstraints> r(context->codec);
    std::int32_t err = 0;
    if (asn1Unpack_PolicyConstraints(context->codec, r.out(), extension->extnValue.data, extension->extnValue.length,
                                     &err) != extension->extnValue.length ||
        err != 0 || r.get() == nullptr)
        return qelPKIErrorFromASN1(err != 0 ? err : ASN1Error_Unparsed);
    std::uint32_t values[2] = {};
    const ASN1_Integer *fields[2] = {r->requireExplicitPolicy, r->inhibitPolicyMapping};
    for (int i = 0; i < 2; ++i)
        if (fields[i] != nullptr && !smallUnsigned(fields[i]->data, fields[i]->length, values[i]))
            return QELPKIError_InvalidArguments;
    auto *pc = make<QELPKIPolicyConstraints>(context);
    if (pc == nullptr)
        return QELPKIError_OutOfMemory;
    pc->requireExplicitPolicy = fields[0] != nullptr ? static_cast<int32_t>(values[0]) : -1;
    pc->inhibitPolicyMapping = fields[1] != nullptr ? static_cast<int32_t>(values[1]) : -1;
    *result = pc;
    return 0;
}

// ---- cRLNumber, deltaCRLIndicator, cRLReasonCode ----------------------------------

int32_t qelPKIEncodeIntegerExtension(ASN1_Extensions *extensions, const int32_t *value, int32_t critical,
                                     QELPKIContext *context, const uint8_t *oid)
{
    if (extensions == nullptr || value == nullptr || context == nullptr || oid == nullptr)
        return QELPKIError_InvalidArguments;
    // The reason code is an ENUMERATED (RFC 5280 5.3.1); the CRL numbers are
    // INTEGERs.
    const bool reason = sameBytes(oid, 3, kCRLReasonCode, 3);
    try {
        const std::vector<std::uint8_t> content = integerContent(*value);
        return appendBytes(extensions, oid, 3, criticalOr(critical, 0),
                           element(reason ? 0x0A : 0x02, content.data(), content.size()), context);
    } catch (const std::bad_alloc &) {
        return QELPKIError_OutOfMemory;
    }
}

int32_t qelPKIDecodeIntegerExtension(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    const std::uint8_t *content = nullptr;
    std::uint64_t length = 0;
    const bool reason = sameBytes(extension->extnID.data, extension->extnID.length, kCRLReasonCode, 3);
    if (!readPrimitive(extension, {0x02, static_cast<std::uint8_t>(reason ? 0x0A : 0x02)}, content, length) ||
        length == 0)
        return QELPKIError_Extension;
    std::uint32_t value = 0;
    if (!smallUnsigned(content, length, value) || value > INT32_MAX)
        return QELPKIError_InvalidArguments;
    int32_t *number = newNumber(context, static_cast<int32_t>(value));
    if (number == nullptr)
        return QELPKIError_OutOfMemory;
    *result = number;
    return 0;
}

int32_t qelPKIEncodeCRLNumber(ASN1_Extensions *extensions, const void *value, int32_t critical,
                              QELPKIContext *context)
{
    return qelPKIEncodeIntegerExtension(extensions, static_cast<const int32_t *>(value), critical, context, kCRLNumber);
}

int32_t qelPKIEncodeDeltaCRLIndicator(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                      QELPKIContext *context)
{
    return qelPKIEncodeIntegerExtension(extensions, static_cast<const int32_t *>(value), critical, context,
                                        kDeltaCRLIndicator);
}

int32_t qelPKIEncodeCRLReasonCode(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                  QELPKIContext *context)
{
    const auto reason = static_cast<int32_t>(reinterpret_cast<std::intptr_t>(value));
    return qelPKIEncodeIntegerExtension(extensions, &reason, critical, context, kCRLReasonCode);
}

int32_t qelPKIDecodeCRLNumber(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    return qelPKIDecodeIntegerExtension(result, extension, context);
}

int32_t qelPKIDecodeDeltaCRLIndicator(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    return qelPKIDecodeIntegerExtension(result, extension, context);
}

int32_t qelPKIDecodeCRLReasonCode(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    return qelPKIDecodeIntegerExtension(result, extension, context);
}

// ---- holdInstructionCode --------------------------------------------------------

int32_t qelPKIEncodeHoldInstructionCode(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                        QELPKIContext *context)
{
    if (extensions == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto code = static_cast<int32_t>(reinterpret_cast<std::intptr_t>(value));
    for (const CodeOID &row : kHoldInstructions) {
        if (row.code != code)
            continue;
        try {
            return appendBytes(extensions, kHoldInstructionCode, 3, criticalOr(critical, 0),
                               element(0x06, row.oid, row.oidLength), context);
        } catch (const std::bad_alloc &) {
            return QELPKIError_OutOfMemory;
        }
    }
    return QELPKIError_Unknown;
}

int32_t qelPKIDecodeHoldInstructionCode(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    const std::uint8_t *content = nullptr;
    std::uint64_t length = 0;
    if (!readPrimitive(extension, {0x06}, content, length))
        return QELPKIError_ASN1Parse;
    for (const CodeOID &row : kHoldInstructions) {
        if (length != row.oidLength || std::memcmp(content + 1, row.oid + 1, length - 1) != 0)
            continue;
        if (content[0] == row.oid[0] || content[0] == kHoldArcAlternative) {
            *result = reinterpret_cast<void *>(static_cast<std::intptr_t>(row.code));
            return 0;
        }
    }
    return 0;
}

// ---- invalidityDate -------------------------------------------------------------

int32_t qelPKIEncodeInvalidityDate(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                   QELPKIContext *context)
{
    if (extensions == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    return encodeTime(extensions, static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(value)), kInvalidityDate,
                      criticalOr(critical, 0), context);
}

int32_t qelPKIDecodeInvalidityDate(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_OctetString, asn1Free_OctetString> time(context->codec);
    std::int32_t err = 0;
    if (asn1Unpack_GeneralizedTime(context->codec, time.out(), extension->extnValue.data, extension->extnValue.length,
                                   &err) != extension->extnValue.length ||
        err != 0 || time.get() == nullptr)
        return qelPKIErrorFromASN1(err != 0 ? err : ASN1Error_Unparsed);
    *result = reinterpret_cast<void *>(static_cast<std::intptr_t>(qelPKIGeneralizedTimeToSeconds(time.get())));
    return 0;
}

} // extern "C"
