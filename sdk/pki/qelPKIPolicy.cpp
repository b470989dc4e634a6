// Policy and attribute extensions: certificatePolicies, policyMappings and
// subjectDirectoryAttributes. A user notice's texts are read from any of the
// DisplayText choices, IA5String included.
#include "qelPKIPolicyInternal.h"

#include <vector>

#include "asn1PKIXInternal.h"
#include "qelPKIExtensionInternal.h"

namespace {

using namespace qel::pki;

constexpr std::uint8_t kCertificatePolicies[] = {0x55, 0x1D, 0x20};
constexpr std::uint8_t kPolicyMappings[] = {0x55, 0x1D, 0x21};
constexpr std::uint8_t kSubjectDirectoryAttributes[] = {0x55, 0x1D, 0x09};
constexpr std::uint8_t kCPS[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x02, 0x01};
constexpr std::uint8_t kUserNotice[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x02, 0x02};

template <typename T>
T **newArray(QELPKIContext *context, std::int64_t count)
{
    return static_cast<T **>(alloc(context, sizeof(T *) * static_cast<std::uint64_t>(count > 0 ? count : 1)));
}

// A text of the octets up to the first zero octet, in a block of n + 1.
char *textUpToZero(QELPKIContext *context, const std::uint8_t *p, std::uint64_t n)
{
    auto *t = static_cast<char *>(alloc(context, n + 1));
    for (std::uint64_t i = 0; t != nullptr && i < n && p[i] != 0; ++i)
        t[i] = static_cast<char>(p[i]);
    return t;
}

// A DisplayText of the VisibleString choice holding text.
int32_t setVisibleText(ASN1Context *codec, ASN1_DisplayText *display, const char *text)
{
    auto *s = asn1New_OctetString(codec);
    if (s == nullptr || asn1SetOctetStringFromCString(codec, s, text) != 0) {
        asn1Free_OctetString(codec, s);
        return QELPKIError_OutOfMemory;
    }
    display->identifier = 0x1A;
    display->alternative = s;
    return 0;
}

// The UserNotice of a qualifier, DER in a new vector.
int32_t packUserNotice(const QELPKIUserNotice *notice, std::vector<std::uint8_t> &der, QELPKIContext *context)
{
    if (notice == nullptr)
        return QELPKIError_InvalidArguments;
    ASN1Context *codec = context->codec;
    Held<ASN1_UserNotice, asn1Free_UserNotice> un(codec, asn1New_UserNotice(codec));
    if (un.get() == nullptr)
        return QELPKIError_OutOfMemory;
    if (const QELPKINoticeReference *ref = notice->noticeRef) {
        un->noticeRef = asn1New_NoticeReference(codec);
        if (un->noticeRef == nullptr || ref->organization == nullptr)
            return un->noticeRef == nullptr ? QELPKIError_OutOfMemory : QELPKIError_InvalidArguments;
        int32_t status = setVisibleText(codec, &un->noticeRef->organization, ref->organization);
        if (status != 0)
            return status;
        for (int32_t i = 0; i < ref->numberCount; ++i) {
            Held<ASN1_Integer, asn1Free_OctetString> n(codec, asn1New_OctetString(codec));
            if (ref->noticeNumbers == nullptr || ref->noticeNumbers[i] == nullptr)
                return QELPKIError_InvalidArguments;
            if (n.get() == nullptr || asn1SetIntegerValue(codec, n.get(), *ref->noticeNumbers[i]) != 0 ||
                asn1AppendElement(codec, n.get(), &un->noticeRef->noticeNumbers) != 0)
                return QELPKIError_OutOfMemory;
            n.release();
        }
    }
    if (notice->explicitText != nullptr) {
        un->explicitText = asn1New_DisplayText(codec);
        if (un->explicitText == nullptr)
            return QELPKIError_OutOfMemory;
        const int32_t status = setVisibleText(codec, un->explicitText, notice->explicitText);
        if (status != 0)
            return status;
    }
    der.resize(asn1Sizeof_UserNotice(codec, un.get(), 1));
    std::int32_t err = 0;
    if (der.empty() || asn1Pack_UserNotice(codec, der.data(), der.size(), un.get(), &err) != der.size() || err != 0)
        return qelPKIErrorFromASN1(err != 0 ? err : ASN1Error_General);
    return 0;
}

int32_t addQualifier(ASN1_PolicyInformation *info, const QELPKIPolicyQualifier *q, QELPKIContext *context)
{
    if (q == nullptr)
        return QELPKIError_InvalidArguments;
    std::vector<std::uint8_t> value;
    const std::uint8_t *id = nullptr;
    if (q->kind == 0) {
        const char *text = static_cast<const char *>(q->value);
        if (text == nullptr)
            return QELPKIError_InvalidArguments;
        const std::uint64_t n = std::strlen(text);
        value.resize(1 + asn1LengthOfLength(n) + n);
        value[0] = 22;
        const std::uint64_t h = 1 + asn1EncodeLength(value.data() + 1, n);
        std::memcpy(value.data() + h, text, n);
        id = kCPS;
    } else if (q->kind == 1) {
        const int32_t status = packUserNotice(static_cast<const QELPKIUserNotice *>(q->value), value, context);
        if (status != 0)
            return status;
        id = kUserNotice;
    } else {
        return QELPKIError_Unknown;
    }
    ASN1Context *codec = context->codec;
    Held<ASN1_PolicyQualifierInfo, asn1Free_PolicyQualifierInfo> qi(codec, asn1New_PolicyQualifierInfo(codec));
    if (qi.get() == nullptr || asn1SetOctetString(codec, &qi->policyQualifierId, id, sizeof kCPS) != 0 ||
        asn1SetOctetString(codec, &qi->qualifier, value.data(), value.size()) != 0 ||
        asn1AppendElement(codec, qi.get(), info->policyQualifiers) != 0)
        return QELPKIError_OutOfMemory;
    qi.release();
    return 0;
}

void userNoticeFree(QELPKIUserNotice *notice, QELPKIContext *context)
{
    if (notice == nullptr)
        return;
    if (QELPKINoticeReference *ref = notice->noticeRef) {
        release(context, ref->organization);
        for (int32_t i = 0; ref->noticeNumbers != nullptr && i < ref->numberCount; ++i)
            release(context, ref->noticeNumbers[i]);
        release(context, ref->noticeNumbers);
        release(context, ref);
    }
    release(context, notice->explicitText);
    release(context, notice);
}

int32_t readUserNotice(const ASN1_Any &value, QELPKIUserNotice *&out, QELPKIContext *context)
{
    Held<ASN1_UserNotice, asn1Free_UserNotice> un(context->codec);
    std::int32_t err = 0;
    if (asn1Unpack_UserNotice(context->codec, un.out(), value.data, value.length, &err) != value.length || err != 0 ||
        un.get() == nullptr)
        return qelPKIErrorFromASN1(err != 0 ? err : ASN1Error_Unparsed);
    out = make<QELPKIUserNotice>(context);
    if (out == nullptr)
        return QELPKIError_OutOfMemory;
    if (const ASN1_NoticeReference *ref = un->noticeRef) {
        auto *r = out->noticeRef = make<QELPKINoticeReference>(context);
        if (r == nullptr)
            return QELPKIError_OutOfMemory;
        const auto *org = static_cast<const ASN1_OctetString *>(ref->organization.alternative);
        r->organization = org != nullptr ? textUpToZero(context, org->data, org->length) : textUpToZero(context, nullptr, 0);
        if (r->organization == nullptr)
            return QELPKIError_OutOfMemory;
        if (ref->noticeNumbers.count > INT32_MAX)
            return QELPKIError_ASN1Parse;
        r->noticeNumbers = newArray<int32_t>(context, ref->noticeNumbers.count);
        if (r->noticeNumbers == nullptr)
            return QELPKIError_OutOfMemory;
        for (std::int64_t i = 0; i < ref->noticeNumbers.count; ++i) {
            const ASN1_Integer *n = ref->noticeNumbers.elements[i];
            if (n->length == 0 || n->length > 4)
                return QELPKIError_ASN1Parse;
            std::uint32_t v = 0;
            for (std::uint64_t k = 0; k < n->length; ++k)
                v = (v << 8) | n->data[k];
            auto *slot = make<int32_t>(context);
            if (slot == nullptr)
                return QELPKIError_OutOfMemory;
            *slot = static_cast<int32_t>(v);
            r->noticeNumbers[r->numberCount++] = slot;
        }
    }
    if (un->explicitText != nullptr) {
        const auto *t = static_cast<const ASN1_OctetString *>(un->explicitText->alternative);
        const std::uint64_t n = t != nullptr ? t->length : 0;
        out->explicitText = static_cast<char *>(alloc(context, n + 1));
        if (out->explicitText == nullptr)
            return QELPKIError_OutOfMemory;
        if (n != 0)
            std::memcpy(out->explicitText, t->data, n);
    }
    return 0;
}

void policyInformationFree(QELPKIPolicyInformation *p, QELPKIContext *context)
{
    if (p == nullptr)
        return;
    for (int32_t i = 0; p->qualifiers != nullptr && i < p->qualifierCount; ++i) {
        QELPKIPolicyQualifier *q = p->qualifiers[i];
        if (q == nullptr)
            continue;
        if (q->kind == 1)
            userNoticeFree(static_cast<QELPKIUserNotice *>(q->value), context);
        else
            release(context, q->value);
        release(context, q);
    }
    release(context, p->qualifiers);
    release(context, p->policyIdentifier);
    release(context, p);
}

int32_t readPolicy(const ASN1_PolicyInformation &info, QELPKIPolicyInformation *p, QELPKIContext *context)
{
    p->policyIdentifier = copyBytes(context, info.policyIdentifier.data, info.policyIdentifier.length);
    p->policyIdentifierLength = info.policyIdentifier.length;
    if (p->policyIdentifier == nullptr)
        return QELPKIError_OutOfMemory;
    const ASN1_PolicyQualifiers *qs = info.policyQualifiers;
    if (qs == nullptr)
        return 0;
    if (qs->count > INT32_MAX)
        return QELPKIError_ASN1Parse;
    p->qualifiers = newArray<QELPKIPolicyQualifier>(context, qs->count);
    if (p->qualifiers == nullptr)
        return QELPKIError_OutOfMemory;
    for (std::int64_t i = 0; i < qs->count; ++i) {
        const ASN1_PolicyQualifierInfo *qi = qs->elements[i];
        auto *q = make<QELPKIPolicyQualifier>(context);
        if (q == nullptr)
            return QELPKIError_OutOfMemory;
        p->qualifiers[p->qualifierCount++] = q;
        if (sameBytes(qi->policyQualifierId.data, qi->policyQualifierId.length, kCPS, sizeof kCPS)) {
            q->kind = 0;
            Held<ASN1_OctetString, asn1Free_OctetString> uri(context->codec);
            std::int32_t err = 0;
            if (asn1Unpack_IA5String(context->codec, uri.out(), qi->qualifier.data, qi->qualifier.length, &err) !=
                    qi->qualifier.length ||
                err != 0 || uri.get() == nullptr)
                return qelPKIErrorFromASN1(err != 0 ? err : ASN1Error_Unparsed);
            q->value = textUpToZero(context, uri->data, uri->length);
            if (q->value == nullptr)
                return QELPKIError_OutOfMemory;
        } else if (sameBytes(qi->policyQualifierId.data, qi->policyQualifierId.length, kUserNotice,
                             sizeof kUserNotice)) {
            q->kind = 1;
            QELPKIUserNotice *notice = nullptr;
            const int32_t status = readUserNotice(qi->qualifier, notice, context);
            q->value = notice;
            if (status != 0)
                return status;
        } else {
            return QELPKIError_Unknown;
        }
    }
    return 0;
}

} // namespace

extern "C" {

void qelPKICertificatePoliciesFree(QELPKICertificatePolicies *policies, QELPKIContext *context)
{
    if (policies == nullptr || context == nullptr)
        return;
    for (int32_t i = 0; i < policies->count; ++i)
        policyInformationFree(policies->items[i], context);
    release(context, policies->items);
    release(context, policies);
}

void qelPKIPolicyMappingsFree(QELPKIPolicyMappings *mappings, QELPKIContext *context)
{
    if (mappings == nullptr || context == nullptr)
        return;
    for (int32_t i = 0; i < mappings->count; ++i) {
        if (mappings->items[i] == nullptr)
            continue;
        release(context, mappings->items[i]->issuerDomainPolicy);
        release(context, mappings->items[i]->subjectDomainPolicy);
        release(context, mappings->items[i]);
    }
    release(context, mappings->items);
    release(context, mappings);
}

void qelPKISubjectDirectoryAttributesFree(QELPKISubjectDirectoryAttributes *attributes, QELPKIContext *context)
{
    if (attributes == nullptr || context == nullptr)
        return;
    for (int32_t i = 0; i < attributes->count; ++i) {
        QELPKIAttribute *a = attributes->items[i];
        if (a == nullptr)
            continue;
        for (int32_t k = 0; a->values != nullptr && k < a->valueCount; ++k)
            release(context, a->values[k]);
        release(context, a->values);
        release(context, a->valueLengths);
        release(context, a->attributeType);
        release(context, a);
    }
    release(context, attributes->items);
    release(context, attributes);
}

int32_t qelPKIEncodeCertificatePolicies(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                        QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *policies = static_cast<const QELPKICertificatePolicies *>(value);
    ASN1Context *codec = context->codec;
    Held<ASN1_CertificatePolicies, asn1Free_CertificatePolicies> list(codec, asn1New_CertificatePolicies(codec));
    if (list.get() == nullptr)
        return QELPKIError_OutOfMemory;
    try {
        for (int32_t i = 0; i < policies->count; ++i) {
            const QELPKIPolicyInformation *p = policies->items[i];
            if (p == nullptr)
                return QELPKIError_InvalidArguments;
            Held<ASN1_PolicyInformation, asn1Free_PolicyInformation> info(codec, asn1New_PolicyInformation(codec));
            if (info.get() == nullptr ||
                asn1SetOctetString(codec, &info->policyIdentifier, p->policyIdentifier, p->policyIdentifierLength) != 0)
                return QELPKIError_OutOfMemory;
            if (p->qualifierCount != 0) {
                info->policyQualifiers = asn1New_PolicyQualifiers(codec);
                if (info->policyQualifiers == nullptr)
                    return QELPKIError_OutOfMemory;
                for (int32_t k = 0; k < p->qualifierCount; ++k) {
                    const int32_t status =
                        addQualifier(info.get(), p->qualifiers != nullptr ? p->qualifiers[k] : nullptr, context);
                    if (status != 0)
                        return status;
                }
            }
            if (asn1AppendElement(codec, info.get(), list.get()) != 0)
                return QELPKIError_OutOfMemory;
            info.release();
        }
    } catch (const std::bad_alloc &) {
        return QELPKIError_OutOfMemory;
    }
    return packAndAppend(extensions, kCertificatePolicies, 3, critical != 0, list.get(),
                         asn1Sizeof_CertificatePolicies, asn1Pack_CertificatePolicies, context);
}

int32_t qelPKIDecodeCertificatePolicies(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_CertificatePolicies, asn1Free_CertificatePolicies> list(context->codec);
    int32_t status = unpackValue(list, extension, asn1Unpack_CertificatePolicies, context);
    if (status != 0)
        return status;
    if (list->count > INT32_MAX)
        return QELPKIError_ASN1Parse;
    auto *policies = make<QELPKICertificatePolicies>(context);
    if (policies == nullptr || (policies->items = newArray<QELPKIPolicyInformation>(context, list->count)) == nullptr) {
        release(context, policies);
        return QELPKIError_OutOfMemory;
    }
    for (std::int64_t i = 0; i < list->count && status == 0; ++i) {
        auto *p = make<QELPKIPolicyInformation>(context);
        if (p == nullptr) {
            status = QELPKIError_OutOfMemory;
            break;
        }
        policies->items[policies->count++] = p;
        try {
            status = readPolicy(*list->elements[i], p, context);
        } catch (const std::bad_alloc &) {
            status = QELPKIError_OutOfMemory;
        }
    }
    if (status != 0) {
        qelPKICertificatePoliciesFree(policies, context);
        return status;
    }
    *result = policies;
    return 0;
}

int32_t qelPKIEncodePolicyMappings(ASN1_Extensions *extensions, const void *value, int32_t, QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *mappings = static_cast<const QELPKIPolicyMappings *>(value);
    ASN1Context *codec = context->codec;
    Held<ASN1_PolicyMappings, asn1Free_PolicyMappings> list(codec, asn1New_PolicyMappings(codec));
    if (list.get() == nullptr)
        return QELPKIError_OutOfMemory;
    for (int32_t i = 0; i < mappings->count; ++i) {
        const QELPKIPolicyMapping *m = mappings->items[i];
        if (m == nullptr)
            return QELPKIError_InvalidArguments;
        Held<ASN1_PolicyMapping, asn1Free_PolicyMapping> pm(codec, asn1New_PolicyMapping(codec));
        if (pm.get() == nullptr ||
            asn1SetOctetString(codec, &pm->issuerDomainPolicy, m->issuerDomainPolicy, m->issuerDomainPolicyLength) !=
                0 ||
            asn1SetOctetString(codec, &pm->subjectDomainPolicy, m->subjectDomainPolicy,
                               m->subjectDomainPolicyLength) != 0 ||
            asn1AppendElement(codec, pm.get(), list.get()) != 0)
            return QELPKIError_OutOfMemory;
        pm.release();
    }
    return packAndAppend(extensions, kPolicyMappings, 3, 0, list.get(), asn1Sizeof_PolicyMappings,
                         asn1Pack_PolicyMappings, context);
}

int32_t qelPKIDecodePolicyMappings(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_PolicyMappings, asn1Free_PolicyMappings> list(context->codec);
    const int32_t status = unpackValue(list, extension, asn1Unpack_PolicyMappings, context);
    if (status != 0)
        return status;
    if (list->count > INT32_MAX)
        return QELPKIError_ASN1Parse;
    auto *mappings = make<QELPKIPolicyMappings>(context);
    if (mappings == nullptr || (mappings->items = newArray<QELPKIPolicyMapping>(context, list->count)) == nullptr) {
        release(context, mappings);
        return QELPKIError_OutOfMemory;
    }
    for (std::int64_t i = 0; i < list->count; ++i) {
        const ASN1_PolicyMapping *pm = list->elements[i];
        auto *m = make<QELPKIPolicyMapping>(context);
        if (m != nullptr) {
            mappings->items[mappings->count++] = m;
            m->issuerDomainPolicy = copyBytes(context, pm->issuerDomainPolicy.data, pm->issuerDomainPolicy.length);
            m->issuerDomainPolicyLength = pm->issuerDomainPolicy.length;
            m->subjectDomainPolicy = copyBytes(context, pm->subjectDomainPolicy.data, pm->subjectDomainPolicy.length);
            m->subjectDomainPolicyLength = pm->subjectDomainPolicy.length;
        }
        if (m == nullptr || m->issuerDomainPolicy == nullptr || m->subjectDomainPolicy == nullptr) {
            qelPKIPolicyMappingsFree(mappings, context);
            return QELPKIError_OutOfMemory;
        }
    }
    *result = mappings;
    return 0;
}

int32_t qelPKIEncodeSubjectDirectoryAttributes(ASN1_Extensions *extensions, const void *value, int32_t,
                                               QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *attributes = static_cast<const QELPKISubjectDirectoryAttributes *>(value);
    ASN1Context *codec = context->codec;
    Held<ASN1_SubjectDirectoryAttributes, asn1Free_SubjectDirectoryAttributes> list(
        codec, asn1New_SubjectDirectoryAttributes(codec));
    if (list.get() == nullptr)
        return QELPKIError_OutOfMemory;
    for (int32_t i = 0; i < attributes->count; ++i) {
        const QELPKIAttribute *a = attributes->items[i];
        if (a == nullptr || (a->valueCount > 0 && (a->values == nullptr || a->valueLengths == nullptr)))
            return QELPKIError_InvalidArguments;
        Held<ASN1_Attribute, asn1Free_Attribute> attr(codec, asn1New_Attribute(codec));
        if (attr.get() == nullptr ||
            asn1SetOctetString(codec, &attr->type, a->attributeType, a->attributeTypeLength) != 0)
            return QELPKIError_OutOfMemory;
        for (int32_t k = 0; k < a->valueCount; ++k) {
            Held<ASN1_Any, asn1Free_OctetString> v(codec, asn1New_OctetString(codec));
            if (v.get() == nullptr || asn1SetOctetString(codec, v.get(), a->values[k], a->valueLengths[k]) != 0 ||
                asn1AppendElement(codec, v.get(), &attr->values) != 0)
                return QELPKIError_OutOfMemory;
            v.release();
        }
        if (asn1AppendElement(codec, attr.get(), list.get()) != 0)
            return QELPKIError_OutOfMemory;
        attr.release();
    }
    return packAndAppend(extensions, kSubjectDirectoryAttributes, 3, 0, list.get(),
                         asn1Sizeof_SubjectDirectoryAttributes, asn1Pack_SubjectDirectoryAttributes, context);
}

int32_t qelPKIDecodeSubjectDirectoryAttributes(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_SubjectDirectoryAttributes, asn1Free_SubjectDirectoryAttributes> list(context->codec);
    const int32_t status = unpackValue(list, extension, asn1Unpack_SubjectDirectoryAttributes, context);
    if (status != 0)
        return status;
    if (list->count > INT32_MAX)
        return QELPKIError_ASN1Parse;
    auto *attributes = make<QELPKISubjectDirectoryAttributes>(context);
    if (attributes == nullptr || (attributes->items = newArray<QELPKIAttribute>(context, list->count)) == nullptr) {
        release(context, attributes);
        return QELPKIError_OutOfMemory;
    }
    bool ok = true;
    for (std::int64_t i = 0; i < list->count && ok; ++i) {
        const ASN1_Attribute *attr = list->elements[i];
        auto *a = make<QELPKIAttribute>(context);
        if (a == nullptr || attr->values.count > INT32_MAX) {
            ok = false;
            break;
        }
        attributes->items[attributes->count++] = a;
        a->attributeType = copyBytes(context, attr->type.data, attr->type.length);
        a->attributeTypeLength = attr->type.length;
        a->values = newArray<std::uint8_t>(context, attr->values.count);
        a->valueLengths = static_cast<std::uint64_t *>(
            alloc(context, sizeof(std::uint64_t) * static_cast<std::uint64_t>(attr->values.count > 0 ? attr->values.count : 1)));
        ok = a->attributeType != nullptr && a->values != nullptr && a->valueLengths != nullptr;
        for (std::int64_t k = 0; ok && k < attr->values.count; ++k) {
            const ASN1_Any *v = attr->values.elements[k];
            a->values[k] = copyBytes(context, v->data, v->length);
            a->valueLengths[k] = v->length;
            ok = a->values[k] != nullptr;
            if (ok)
                a->valueCount++;
        }
    }
    if (!ok) {
        qelPKISubjectDirectoryAttributesFree(attributes, context);
        return QELPKIError_OutOfMemory;
    }
    *result = attributes;
    return 0;
}

} // extern "C"
