// General names and the extensions built on them: subjectAltName,
// issuerAltName, authorityKeyIdentifier, cRLDistributionPoints,
// issuingDistributionPoint, authorityInfoAccess and nameConstraints.
// Reason flags are written as DER named-bit BIT STRINGs (no trailing zero
// bits).
#include "qelPKIGeneralNameInternal.h"

#include "asn1PKIXInternal.h"
#include "qelPKIAccessInternal.h"
#include "qelPKIExtensionInternal.h"
#include "qelPKINameInternal.h"

namespace {

using namespace qel::pki;

constexpr std::uint8_t kSubjectAltName[] = {0x55, 0x1D, 0x11};
constexpr std::uint8_t kIssuerAltName[] = {0x55, 0x1D, 0x12};
constexpr std::uint8_t kAuthorityKeyIdentifier[] = {0x55, 0x1D, 0x23};
constexpr std::uint8_t kNameConstraints[] = {0x55, 0x1D, 0x1E};
constexpr std::uint8_t kCRLDistributionPoints[] = {0x55, 0x1D, 0x1F};
constexpr std::uint8_t kAuthorityInfoAccess[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x01, 0x01};
constexpr std::uint8_t kIssuingDistributionPoint[] = {0x55, 0x1D, 0x1C};

// Toolkit type <-> identifier octet of the PKIX record.
constexpr std::uint8_t kIdentifiers[7] = {0, 0x81, 0x82, 0xA4, 0x86, 0x87, 0x88};

using GeneralNamesHeld = Held<ASN1_GeneralNames, asn1Free_GeneralNames>;
using GeneralNameHeld = Held<ASN1_GeneralName, asn1Free_GeneralName>;

// The reason flags of the record as the BIT STRING's first octet and back.
std::uint32_t reasonWord(int32_t reasons)
{
    const auto octet = static_cast<std::uint32_t>(reasons << 1) & 0xFF;
    std::uint32_t word = 0;
    for (int k = 0; k < 8; ++k)
        if (octet & (0x80u >> k))
            word |= 1u << k;
    return word;
}

int32_t reasonFlags(const ASN1_BitString &bits)
{
    const std::uint32_t word = namedBits(bits);
    std::uint32_t octet = 0;
    for (int k = 0; k < 8; ++k)
        if (word & (1u << k))
            octet |= 0x80u >> k;
    return static_cast<int32_t>(octet >> 1);
}

int32_t setReasons(QELPKIContext *context, ASN1_BitString **slot, int32_t reasons)
{
    *slot = asn1New_BitString(context->codec);
    if (*slot == nullptr || setNamedBits(context->codec, *slot, reasonWord(reasons)) != 0)
        return QELPKIError_OutOfMemory;
    return 0;
}

int32_t setTrue(QELPKIContext *context, ASN1_Boolean **slot)
{
    *slot = asn1New_Boolean(context->codec);
    return *slot != nullptr && asn1SetBoolean(context->codec, *slot, 1) == 0 ? 0 : QELPKIError_OutOfMemory;
}

bool usableItem(const QELPKIGeneralName *item)
{
    return item != nullptr && item->data != nullptr && item->type >= 1 && item->type <= 6 &&
           (item->type == 3 || item->length != 0);
}

int32_t encodeAltName(ASN1_Extensions *extensions, const void *value, int32_t critical, QELPKIContext *context,
                      const std::uint8_t *oid)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *names = static_cast<const QELPKIGeneralNames *>(value);
    if (names->count < 1 || names->items == nullptr)
        return QELPKIError_InvalidArguments;
    for (int32_t i = 0; i < names->count; ++i)
        if (!usableItem(names->items[i]))
            return QELPKIError_InvalidArguments;
    std::uint8_t *der = nullptr;
    std::uint64_t derLength = 0;
    int32_t status = qelPKIGeneralNamesEncode(&der, &derLength, names, context);
    if (status != 0)
        return status;
    status = qelPKIExtensionAppend(extensions, oid, 3, critical == -1 ? 0 : critical != 0, der, derLength, context);
    release(context, der);
    return status;
}

template <typename T>
T **newArray(QELPKIContext *context, std::int64_t count)
{
    return static_cast<T **>(alloc(context, sizeof(T *) * static_cast<std::uint64_t>(count > 0 ? count : 1)));
}

} // namespace

extern "C" {

// ---- conversions ----------------------------------------------------------------

int32_t qelPKIGeneralNameFromASN1(QELPKIGeneralName *name, const ASN1_GeneralName *asn1Name, QELPKIContext *context)
{
    if (name == nullptr || asn1Name == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    if (asn1Name->identifier == 0xA4) {
        ASN1_Name *copy = nullptr;
        if (asn1Name->alternative == nullptr ||
            qelPKINameCopy(&copy, static_cast<const ASN1_Name *>(asn1Name->alternative), context) != 0 ||
            copy == nullptr)
            return QELPKIError_OutOfMemory;
        name->type = 3;
        name->length = 0;
        name->data = copy;
        return 0;
    }
    int32_t type = 0;
    switch (asn1Name->identifier & 0xDF) {
    case 0x81: type = 1; break;
    case 0x82: type = 2; break;
    case 0x86: type = 4; break;
    case 0x87: type = 5; break;
    case 0x88: type = 6; break;
    default: return QELPKIError_Unknown;
    }
    const auto *value = static_cast<const ASN1_OctetString *>(asn1Name->alternative);
    if (value == nullptr)
        return QELPKIError_InvalidArguments;
    name->data = copyBytes(context, value->data, value->length);
    if (name->data == nullptr)
        return QELPKIError_OutOfMemory;
    name->length = value->length;
    name->type = type;
    return 0;
}

int32_t qelPKIGeneralNamesFromASN1(QELPKIGeneralNames **names, const ASN1_GeneralNames *asn1Names,
                                   QELPKIContext *context)
{
    if (names == nullptr || asn1Names == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *names = nullptr;
    if (asn1Names->count > INT32_MAX)
        return QELPKIError_ASN1Parse;
    auto *list = make<QELPKIGeneralNames>(context);
    if (list == nullptr)
        return QELPKIError_OutOfMemory;
    list->items = newArray<QELPKIGeneralName>(context, asn1Names->count);
    if (list->items == nullptr) {
        release(context, list);
        return QELPKIError_OutOfMemory;
    }
    *names = list;
    for (std::int64_t i = 0; i < asn1Names->count; ++i) {
        auto *item = make<QELPKIGeneralName>(context);
        if (item == nullptr)
            return QELPKIError_OutOfMemory;
        const int32_t status = qelPKIGeneralNameFromASN1(item, asn1Names->elements[i], context);
        if (status != 0) {
            release(context, item);
            return status;
        }
        list->items[list->count++] = item;
    }
    return 0;
}

int32_t qelPKIGeneralNameToASN1(ASN1_GeneralName *asn1Name, const QELPKIGeneralName *name, QELPKIContext *context)
{
    if (asn1Name == nullptr || name == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    if (name->type < 1 || name->type > 6)
        return QELPKIError_Unknown;
    if (name->type == 3) {
        ASN1_Name *copy = nullptr;
        if (name->data == nullptr || qelPKINameCopy(&copy, static_cast<const ASN1_Name *>(name->data), context) != 0 ||
            copy == nullptr)
            return QELPKIError_OutOfMemory;
        asn1Name->identifier = 0xA4;
        asn1Name->alternative = copy;
        return 0;
    }
    ASN1_OctetString *value = asn1New_OctetString(context->codec);
    if (value == nullptr ||
        asn1SetOctetString(context->codec, value, static_cast<const std::uint8_t *>(name->data), name->length) != 0) {
        asn1Free_OctetString(context->codec, value);
        return QELPKIError_OutOfMemory;
    }
    asn1Name->identifier = kIdentifiers[name->type];
    asn1Name->alternative = value;
    return 0;
}

int32_t qelPKIGeneralNamesToASN1(ASN1_GeneralNames *asn1Names, const QELPKIGeneralNames *names, QELPKIContext *context)
{
    if (asn1Names == nullptr || names == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    for (int32_t i = 0; i < names->count; ++i) {
        GeneralNameHeld g(context->codec, asn1New_GeneralName(context->codec));
        if (g.get() == nullptr)
            return QELPKIError_OutOfMemory;
        const int32_t status = qelPKIGeneralNameToASN1(g.get(), names->items[i], context);
        if (status != 0)
            return status;
        if (asn1AppendElement(context->codec, g.get(), asn1Names) != 0)
            return QELPKIError_OutOfMemory;
        g.release();
    }
    return 0;
}

int32_t qelPKIGeneralNamesEncode(uint8_t **der, uint64_t *derLength, const QELPKIGeneralNames *names,
                                 QELPKIContext *context)
{
    if (der == nullptr || derLength == nullptr || names == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *der = nullptr;
    *derLength = 0;
    GeneralNamesHeld list(context->codec, asn1New_GeneralNames(context->codec));
    if (list.get() == nullptr)
        return QELPKIError_OutOfMemory;
    const int32_t status = qelPKIGeneralNamesToASN1(list.get(), names, context);
    if (status != 0)
        return status;
    const std::uint64_t n = asn1Sizeof_GeneralNames(context->codec, list.get(), 1);
    if (n == 0)
        return QELPKIError_Unknown;
    auto *block = static_cast<std::uint8_t *>(alloc(context, n));
    if (block == nullptr)
        return QELPKIError_OutOfMemory;
    std::int32_t err = 0;
    if (asn1Pack_GeneralNames(context->codec, block, n, list.get(), &err) != n || err != 0) {
        release(context, block);
        return QELPKIError_Unknown;
    }
    *der = block;
    *derLength = n;
    return 0;
}

int32_t qelPKIDistributionPointNameFromASN1(QELPKIDistributionPointName **dpn,
                                            const ASN1_DistributionPointName *asn1Dpn, QELPKIContext *context)
{
    if (dpn == nullptr || asn1Dpn == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *dpn = nullptr;
    auto *record = make<QELPKIDistributionPointName>(context);
    if (record == nullptr)
        return QELPKIError_OutOfMemory;
    int32_t status = 0;
    switch (asn1Dpn->identifier & 0xDF) {
    case 0x80: {
        QELPKIGeneralNames *names = nullptr;
        record->kind = 0;
        status = asn1Dpn->alternative == nullptr
                     ? QELPKIError_InvalidArguments
                     : qelPKIGeneralNamesFromASN1(&names, static_cast<const ASN1_GeneralNames *>(asn1Dpn->alternative),
                                                  context);
        record->value = names;
        break;
    }
    case 0x81:
        record->kind = 1;
        record->value =
            qelPKIRDNToText(static_cast<const ASN1_RelativeDistinguishedName *>(asn1Dpn->alternative), context);
        break;
    default:
        status = QELPKIError_Unknown;
    }
    if (status != 0) {
        qelPKIDistributionPointNameFree(record, context);
        return status;
    }
    *dpn = record;
    return 0;
}

int32_t qelPKIDistributionPointNameToASN1(ASN1_DistributionPointName **asn1Dpn, const QELPKIDistributionPointName *dpn,
                                          QELPKIContext *context)
{
    if (asn1Dpn == nullptr || dpn == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *asn1Dpn = nullptr;
    Held<ASN1_DistributionPointName, asn1Free_DistributionPointName> record(
        context->codec, asn1New_DistributionPointName(context->codec));
    if (record.get() == nullptr)
        return QELPKIError_OutOfMemory;
    if (dpn->kind == 0) {
        record->identifier = 0xA0;
        record->alternative = asn1New_GeneralNames(context->codec);
        if (record->alternative == nullptr)
            return QELPKIError_OutOfMemory;
        const int32_t status = qelPKIGeneralNamesToASN1(static_cast<ASN1_GeneralNames *>(record->alternative),
                                                        static_cast<const QELPKIGeneralNames *>(dpn->value), context);
        if (status != 0)
            return status;
    } else if (dpn->kind == 1) {
        record->identifier = 0xA1;
        record->alternative = asn1New_RelativeDistinguishedName(context->codec);
        if (record->alternative == nullptr)
            return QELPKIError_OutOfMemory;
        const int32_t status =
            qelPKIRDNFromText(static_cast<ASN1_RelativeDistinguishedName *>(record->alternative),
                              static_cast<const char *>(dpn->value), context);
        if (status != 0)
            return status;
    } else {
        return QELPKIError_Unknown;
    }
    *asn1Dpn = record.release();
    return 0;
}

int32_t qelPKIGeneralSubtreesFromASN1(QELPKIGeneralSubtrees **subtrees, const ASN1_GeneralSubtrees *asn1Subtrees,
                                      QELPKIContext *context)
{
    if (subtrees == nullptr || asn1Subtrees == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *subtrees = nullptr;
    if (asn1Subtrees->count > INT32_MAX)
        return QELPKIError_ASN1Parse;
    auto *record = make<QELPKIGeneralSubtrees>(context);
    const std::uint64_t n = static_cast<std::uint64_t>(asn1Subtrees->count > 0 ? asn1Subtrees->count : 1);
    if (record != nullptr) {
        record->bases = newArray<QELPKIGeneralName>(context, asn1Subtrees->count);
        record->minimums = static_cast<int32_t *>(alloc(context, n * sizeof(int32_t)));
        record->maximums = static_cast<int32_t *>(alloc(context, n * sizeof(int32_t)));
    }
    if (record == nullptr || record->bases == nullptr || record->minimums == nullptr || record->maximums == nullptr) {
        qelPKIGeneralSubtreesFree(context, record);
        return QELPKIError_OutOfMemory;
    }
    int32_t status = 0;
    for (std::int64_t i = 0; i < asn1Subtrees->count && status == 0; ++i) {
        const ASN1_GeneralSubtree *s = asn1Subtrees->elements[i];
        auto *base = make<QELPKIGeneralName>(context);
        if (base == nullptr) {
            status = QELPKIError_OutOfMemory;
            break;
        }
        status = qelPKIGeneralNameFromASN1(base, &s->base, context);
        if (status != 0) {
            release(context, base);
            break;
        }
        record->bases[record->count++] = base;
        const ASN1_Integer *bounds[2] = {s->minimum, s->maximum};
        int32_t *slots[2] = {&record->minimums[i], &record->maximums[i]};
        for (int k = 0; k < 2; ++k) {
            if (bounds[k] == nullptr)
                continue;
            std::int32_t err = 0;
            const std::uint64_t v = asn1GetIntegerValue(context->codec, const_cast<ASN1_Integer *>(bounds[k]), &err);
            if (err != 0 || v > INT32_MAX)
                status = QELPKIError_InvalidArguments;
            else
                *slots[k] = static_cast<int32_t>(v);
        }
    }
    if (status != 0) {
        qelPKIGeneralSubtreesFree(context, record);
        return status;
    }
    *subtrees = record;
    return 0;
}

int32_t qelPKIGeneralSubtreesToASN1(ASN1_GeneralSubtrees **asn1Subtrees, const QELPKIGeneralSubtrees *subtrees,
                                    QELPKIContext *context)
{
    if (asn1Subtrees == nullptr || subtrees == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *asn1Subtrees = nullptr;
    Held<ASN1_GeneralSubtrees, asn1Free_GeneralSubtrees> list(context->codec, asn1New_GeneralSubtrees(context->codec));
    if (list.get() == nullptr)
        return QELPKIError_OutOfMemory;
    for (int32_t i = 0; i < subtrees->count; ++i) {
        Held<ASN1_GeneralSubtree, asn1Free_GeneralSubtree> s(context->codec, asn1New_GeneralSubtree(context->codec));
        if (s.get() == nullptr)
            return QELPKIError_OutOfMemory;
        const int32_t status = qelPKIGeneralNameToASN1(&s->base, subtrees->bases[i], context);
        if (status != 0)
            return status;
        if (asn1AppendElement(context->codec, s.get(), list.get()) != 0)
            return QELPKIError_OutOfMemory;
        s.release();
    }
    *asn1Subtrees = list.release();
    return 0;
}

int32_t qelPKIGeneralNameCompare(const ASN1_GeneralName *a, const ASN1_GeneralName *b, QELPKIContext *context)
{
    if (a == nullptr || b == nullptr)
        return -1;
    if (a->identifier != b->identifier)
        return 0;
    const int tag = a->identifier & 0x1F;
    if (tag > 8 || tag == 3 || tag == 5)
        return QELPKIError_GeneralNameCompare;
    if (a->alternative == nullptr || b->alternative == nullptr)
        return -1;
    if (tag == 4)
        return qelPKINameCompare(static_cast<const ASN1_Name *>(a->alternative),
                                 static_cast<const ASN1_Name *>(b->alternative), context);
    if (tag == 0) {
        const auto *x = static_cast<const ASN1_OtherName *>(a->alternative);
        const auto *y = static_cast<const ASN1_OtherName *>(b->alternative);
        const int32_t types = qelPKIByteStringEqual(&x->typeId, &y->typeId);
        return types == 1 ? qelPKIByteStringEqual(&x->value, &y->value) : types;
    }
    return qelPKIByteStringEqual(static_cast<const ASN1_OctetString *>(a->alternative),
                                 static_cast<const ASN1_OctetString *>(b->alternative));
}

// ---- release ----------------------------------------------------------------------

void qelPKIGeneralNameFree(QELPKIGeneralName *name, QELPKIContext *context)
{
    if (name == nullptr || context == nullptr)
        return;
    if (name->type == 3)
        asn1Free_Name(context->codec, static_cast<ASN1_Name *>(name->data));
    else
        release(context, name->data);
    release(context, name);
}

void qelPKIGeneralNamesFree(QELPKIGeneralNames *names, QELPKIContext *context)
{
    if (names == nullptr || context == nullptr)
        return;
    for (int32_t i = 0; i < names->count; ++i)
        qelPKIGeneralNameFree(names->items[i], context);
    release(context, names->items);
    release(context, names);
}

void qelPKIDistributionPointNameFree(QELPKIDistributionPointName *dpn, QELPKIContext *context)
{
    if (dpn == nullptr || context == nullptr)
        return;
    if (dpn->kind == 1)
        release(context, dpn->value);
    else
        qelPKIGeneralNamesFree(static_cast<QELPKIGeneralNames *>(dpn->value), context);
    release(context, dpn);
}

void qelPKICRLDistributionPointsFree(QELPKICRLDistributionPoints *points, QELPKIContext *context)
{
    if (points == nullptr || context == nullptr)
        return;
    for (int32_t i = 0; i < points->count; ++i) {
        if (points->items[i] == nullptr)
            continue;
        qelPKIDistributionPointNameFree(points->items[i]->distributionPoint, context);
        qelPKIGeneralNamesFree(points->items[i]->cRLIssuer, context);
        release(context, points->items[i]);
    }
    release(context, points->items);
    release(context, points);
}

void qelPKIAccessLocationFree(QELPKIGeneralName *name, QELPKIContext *context) { qelPKIGeneralNameFree(name, context); }

void qelPKIAuthorityInfoAccessFree(QELPKIContext *context, QELPKIAuthorityInfoAccess *access)
{
    if (access == nullptr || context == nullptr)
        return;
    for (int32_t i = 0; i < access->count; ++i) {
        if (access->items[i] == nullptr)
            continue;
        release(context, access->items[i]->accessMethod);
        qelPKIAccessLocationFree(access->items[i]->accessLocation, context);
        release(context, access->items[i]);
    }
    release(context, access->items);
    release(context, access);
}

void qelPKIGeneralSubtreesFree(QELPKIContext *context, QELPKIGeneralSubtrees *subtrees)
{
    if (subtrees == nullptr || context == nullptr)
        return;
    for (int32_t i = 0; i < subtrees->count; ++i)
        qelPKIGeneralNameFree(subtrees->bases[i], context);
    release(context, subtrees->bases);
    release(context, subtrees->minimums);
    release(context, subtrees->maximums);
    release(context, subtrees);
}

void qelPKINameConstraintsFree(QELPKIContext *context, QELPKINameConstraints *constraints)
{
    if (constraints == nullptr || context == nullptr)
        return;
    qelPKIGeneralSubtreesFree(context, constraints->permittedSubtrees);
    qelPKIGeneralSubtreesFree(context, constraints->excludedSubtrees);
    release(context, constraints);
}

void qelPKIIssuingDistributionPointFree(QELPKIIssuingDistributionPoint *idp, QELPKIContext *context)
{
    if (idp == nullptr || context == nullptr)
        return;
    qelPKIDistributionPointNameFree(idp->distributionPoint, context);
    release(context, idp);
}

void qelPKIAuthorityKeyIdentifierFree(QELPKIAuthorityKeyIdentifier *aki, QELPKIContext *context)
{
    if (aki == nullptr || context == nullptr)
        return;
    release(context, aki->keyIdentifier);
    qelPKIGeneralNamesFree(aki->authorityCertIssuer, context);
    release(context, aki->authorityCertSerialNumber);
    release(context, aki);
}

// ---- subjectAltName, issuerAltName ------------------------------------------------

int32_t qelPKIEncodeSubjectAltName(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                   QELPKIContext *context)
{
    return encodeAltName(extensions, value, critical, context, kSubjectAltName);
}

int32_t qelPKIEncodeIssuerAltName(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                  QELPKIContext *context)
{
    return encodeAltName(extensions, value, critical, context, kIssuerAltName);
}

int32_t qelPKIDecodeAltName(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    GeneralNamesHeld list(context->codec);
    if (unpackValue(list, extension, asn1Unpack_GeneralNames, context) != 0)
        return QELPKIError_Extension;
    QELPKIGeneralNames *names = nullptr;
    const int32_t status = qelPKIGeneralNamesFromASN1(&names, list.get(), context);
    if (status != 0) {
        qelPKIGeneralNamesFree(names, context);
        return status;
    }
    *result = names;
    return 0;
}

// ---- authorityKeyIdentifier ---------------------------------------------------------

int32_t qelPKIEncodeAuthorityKeyIdentifier(ASN1_Extensions *extensions, const void *value, int32_t,
                                           QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *aki = static_cast<const QELPKIAuthorityKeyIdentifier *>(value);
    Held<ASN1_AuthorityKeyIdentifier, asn1Free_AuthorityKeyIdentifier> r(context->codec,
                                                                         asn1New_AuthorityKeyIdentifier(context->codec));
    if (r.get() == nullptr)
        return QELPKIError_OutOfMemory;
    if (aki->keyIdentifierLength != 0) {
        r->keyIdentifier = asn1New_OctetString(context->codec);
        if (r->keyIdentifier == nullptr ||
            asn1SetOctetString(context->codec, r->keyIdentifier, aki->keyIdentifier, aki->keyIdentifierLength) != 0)
            return QELPKIError_OutOfMemory;
    }
    if (aki->authorityCertIssuer != nullptr) {
        r->authorityCertIssuer = asn1New_GeneralNames(context->codec);
        if (r->authorityCertIssuer == nullptr)
            return QELPKIError_OutOfMemory;
        const int32_t status = qelPKIGeneralNamesToASN1(r->authorityCertIssuer, aki->authorityCertIssuer, context);
        if (status != 0)
            return status;
    }
    if (aki->serialNumberLength != 0) {
        r->authorityCertSerialNumber = asn1New_OctetString(context->codec);
        if (r->authorityCertSerialNumber == nullptr ||
            asn1SetOctetString(context->codec, r->authorityCertSerialNumber, aki->authorityCertSerialNumber,
                               aki->serialNumberLength) != 0)
            return QELPKIError_OutOfMemory;
    }
    return packAndAppend(extensions, kAuthorityKeyIdentifier, 3, 0, r.get(), asn1Sizeof_AuthorityKeyIdentifier,
                         asn1Pack_AuthorityKeyIdentifier, context);
}

int32_t qelPKIDecodeAuthorityKeyIdentifier(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_AuthorityKeyIdentifier, asn1Free_AuthorityKeyIdentifier> r(context->codec);
    int32_t status = unpackValue(r, extension, asn1Unpack_AuthorityKeyIdentifier, context);
    if (status != 0)
        return status;
    auto *aki = make<QELPKIAuthorityKeyIdentifier>(context);
    if (aki == nullptr)
        return QELPKIError_OutOfMemory;
    if (r->keyIdentifier != nullptr) {
        aki->keyIdentifier = copyBytes(context, r->keyIdentifier->data, r->keyIdentifier->length);
        aki->keyIdentifierLength = r->keyIdentifier->length;
        if (aki->keyIdentifier == nullptr)
            status = QELPKIError_OutOfMemory;
    }
    if (status == 0 && r->authorityCertIssuer != nullptr)
        status = qelPKIGeneralNamesFromASN1(&aki->authorityCertIssuer, r->authorityCertIssuer, context);
    if (status == 0 && r->authorityCertSerialNumber != nullptr) {
        aki->authorityCertSerialNumber =
            copyBytes(context, r->authorityCertSerialNumber->data, r->authorityCertSerialNumber->length);
        aki->serialNumberLength = r->authorityCertSerialNumber->length;
        if (aki->authorityCertSerialNumber == nullptr)
            status = QELPKIError_OutOfMemory;
    }
    if (status != 0) {
        qelPKIAuthorityKeyIdentifierFree(aki, context);
        return status;
    }
    *result = aki;
    return 0;
}

// ---- cRLDistributionPoints ----------------------------------------------------------

int32_t qelPKIEncodeCRLDistributionPoints(ASN1_Extensions *extensions, const void *value, int32_t critical,
                                          QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *points = static_cast<const QELPKICRLDistributionPoints *>(value);
    Held<ASN1_CRLDistributionPoints, asn1Free_CRLDistributionPoints> list(context->codec,
                                                                          asn1New_CRLDistributionPoints(context->codec));
    if (list.get() == nullptr)
        return QELPKIError_OutOfMemory;
    for (int32_t i = 0; i < points->count; ++i) {
        const QELPKIDistributionPoint *p = points->items[i];
        ASN1_DistributionPoint *dp = asn1New_DistributionPoint(context->codec);
        if (dp == nullptr)
            return QELPKIError_OutOfMemory;
        if (asn1AppendElement(context->codec, dp, list.get()) != 0) {
            asn1Free_DistributionPoint(context->codec, dp);
            return QELPKIError_OutOfMemory;
        }
        if (p == nullptr)
            return QELPKIError_InvalidArguments;
        int32_t status = 0;
        if (p->distributionPoint != nullptr)
            status = qelPKIDistributionPointNameToASN1(&dp->distributionPoint, p->distributionPoint, context);
        if (status == 0 && p->reasons != 0)
            status = setReasons(context, &dp->reasons, p->reasons);
        if (status == 0 && p->cRLIssuer != nullptr) {
            dp->cRLIssuer = asn1New_GeneralNames(context->codec);
            status = dp->cRLIssuer == nullptr ? QELPKIError_OutOfMemory
                                              : qelPKIGeneralNamesToASN1(dp->cRLIssuer, p->cRLIssuer, context);
        }
        if (status != 0)
            return status;
    }
    return packAndAppend(extensions, kCRLDistributionPoints, 3, critical != 0, list.get(),
                         asn1Sizeof_CRLDistributionPoints, asn1Pack_CRLDistributionPoints, context);
}

int32_t qelPKIDecodeCRLDistributionPoints(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_CRLDistributionPoints, asn1Free_CRLDistributionPoints> list(context->codec);
    int32_t status = unpackValue(list, extension, asn1Unpack_CRLDistributionPoints, context);
    if (status != 0)
        return status;
    if (list->count > INT32_MAX)
        return QELPKIError_ASN1Parse;
    auto *points = make<QELPKICRLDistributionPoints>(context);
    if (points == nullptr || (points->items = newArray<QELPKIDistributionPoint>(context, list->count)) == nullptr) {
        release(context, points);
        return QELPKIError_OutOfMemory;
    }
    for (std::int64_t i = 0; i < list->count && status == 0; ++i) {
        const ASN1_DistributionPoint *dp = list->elements[i];
        auto *p = make<QELPKIDistributionPoint>(context);
        if (p == nullptr) {
            status = QELPKIError_OutOfMemory;
            break;
        }
        points->items[points->count++] = p;
        if (dp->distributionPoint != nullptr)
            status = qelPKIDistributionPointNameFromASN1(&p->distributionPoint, dp->distributionPoint, context);
        if (dp->reasons != nullptr)
            p->reasons = reasonFlags(*dp->reasons);
        if (status == 0 && dp->cRLIssuer != nullptr)
            status = qelPKIGeneralNamesFromASN1(&p->cRLIssuer, dp->cRLIssuer, context);
    }
    if (status != 0) {
        qelPKICRLDistributionPointsFree(points, context);
        return status;
    }
    *result = points;
    return 0;
}

// ---- issuingDistributionPoint -------------------------------------------------------

int32_t qelPKIEncodeIssuingDistributionPoint(ASN1_Extensions *extensions, const void *value, int32_t,
                                             QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *idp = static_cast<const QELPKIIssuingDistributionPoint *>(value);
    Held<ASN1_IssuingDistributionPoint, asn1Free_IssuingDistributionPoint> r(
        context->codec, asn1New_IssuingDistributionPoint(context->codec));
    if (r.get() == nullptr)
        return QELPKIError_OutOfMemory;
    int32_t status = 0;
    if (idp->distributionPoint != nullptr)
        status = qelPKIDistributionPointNameToASN1(&r->distributionPoint, idp->distributionPoint, context);
    if (status == 0 && idp->onlyContainsUserCerts != 0)
        status = setTrue(context, &r->onlyContainsUserCerts);
    if (status == 0 && idp->onlyContainsCACerts != 0)
        status = setTrue(context, &r->onlyContainsCACerts);
    if (status == 0 && idp->onlySomeReasons != 0)
        status = setReasons(context, &r->onlySomeReasons, idp->onlySomeReasons);
    if (status == 0 && idp->indirectCRL != 0)
        status = setTrue(context, &r->indirectCRL);
    if (status != 0)
        return status;
    return packAndAppend(extensions, kIssuingDistributionPoint, 3, 1, r.get(), asn1Sizeof_IssuingDistributionPoint,
                         asn1Pack_IssuingDistributionPoint, context);
}

int32_t qelPKIDecodeIssuingDistributionPoint(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_IssuingDistributionPoint, asn1Free_IssuingDistributionPoint> r(context->codec);
    int32_t status = unpackValue(r, extension, asn1Unpack_IssuingDistributionPoint, context);
    if (status != 0)
        return status;
    auto *idp = make<QELPKIIssuingDistributionPoint>(context);
    if (idp == nullptr)
        return QELPKIError_OutOfMemory;
    if (r->distributionPoint != nullptr)
        status = qelPKIDistributionPointNameFromASN1(&idp->distributionPoint, r->distributionPoint, context);
    idp->onlyContainsUserCerts = r->onlyContainsUserCerts != nullptr && r->onlyContainsUserCerts->value != 0;
    idp->onlyContainsCACerts = r->onlyContainsCACerts != nullptr && r->onlyContainsCACerts->value != 0;
    idp->indirectCRL = r->indirectCRL != nullptr && r->indirectCRL->value != 0;
    if (r->onlySomeReasons != nullptr)
        idp->onlySomeReasons = reasonFlags(*r->onlySomeReasons);
    if (status != 0) {
        qelPKIIssuingDistributionPointFree(idp, context);
        return status;
    }
    *result = idp;
    return 0;
}

// ---- authorityInfoAccess ------------------------------------------------------------

int32_t qelPKIEncodeAuthorityInfoAccess(ASN1_Extensions *extensions, const void *value, int32_t,
                                        QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *aia = static_cast<const QELPKIAuthorityInfoAccess *>(value);
    Held<ASN1_AuthorityInfoAccessSyntax, asn1Free_AuthorityInfoAccessSyntax> list(
        context->codec, asn1New_AuthorityInfoAccessSyntax(context->codec));
    if (list.get() == nullptr)
        return QELPKIError_OutOfMemory;
    for (int32_t i = 0; i < aia->count; ++i) {
        const QELPKIAccessDescription *d = aia->items[i];
        if (d == nullptr)
            return QELPKIError_InvalidArguments;
        Held<ASN1_AccessDescription, asn1Free_AccessDescription> ad(context->codec,
                                                                    asn1New_AccessDescription(context->codec));
        if (ad.get() == nullptr ||
            asn1SetOctetString(context->codec, &ad->accessMethod, d->accessMethod, d->accessMethodLength) != 0)
            return QELPKIError_OutOfMemory;
        const int32_t status = qelPKIGeneralNameToASN1(&ad->accessLocation, d->accessLocation, context);
        if (status != 0)
            return status;
        if (asn1AppendElement(context->codec, ad.get(), list.get()) != 0)
            return QELPKIError_OutOfMemory;
        ad.release();
    }
    return packAndAppend(extensions, kAuthorityInfoAccess, 8, 0, list.get(), asn1Sizeof_AuthorityInfoAccessSyntax,
                         asn1Pack_AuthorityInfoAccessSyntax, context);
}

int32_t qelPKIDecodeAuthorityInfoAccess(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_AuthorityInfoAccessSyntax, asn1Free_AuthorityInfoAccessSyntax> list(context->codec);
    int32_t status = unpackValue(list, extension, asn1Unpack_AuthorityInfoAccessSyntax, context);
    if (status != 0)
        return status;
    if (list->count > INT32_MAX)
        return QELPKIError_ASN1Parse;
    auto *aia = make<QELPKIAuthorityInfoAccess>(context);
    if (aia == nullptr || (aia->items = newArray<QELPKIAccessDescription>(context, list->count)) == nullptr) {
        release(context, aia);
        return QELPKIError_OutOfMemory;
    }
    for (std::int64_t i = 0; i < list->count && status == 0; ++i) {
        const ASN1_AccessDescription *ad = list->elements[i];
        auto *d = make<QELPKIAccessDescription>(context);
        if (d == nullptr) {
            status = QELPKIError_OutOfMemory;
            break;
        }
        aia->items[aia->count++] = d;
        d->accessMethod = copyBytes(context, ad->accessMethod.data, ad->accessMethod.length);
        d->accessMethodLength = ad->accessMethod.length;
        d->accessLocation = make<QELPKIGeneralName>(context);
        if (d->accessMethod == nullptr || d->accessLocation == nullptr) {
            status = QELPKIError_OutOfMemory;
            break;
        }
        status = qelPKIGeneralNameFromASN1(d->accessLocation, &ad->accessLocation, context);
    }
    if (status != 0) {
        qelPKIAuthorityInfoAccessFree(context, aia);
        return status;
    }
    *result = aia;
    return 0;
}

// ---- nameConstraints ----------------------------------------------------------------

int32_t qelPKIEncodeNameConstraints(ASN1_Extensions *extensions, const void *value, int32_t,
                                    QELPKIContext *context)
{
    if (extensions == nullptr || value == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    const auto *nc = static_cast<const QELPKINameConstraints *>(value);
    Held<ASN1_NameConstraints, asn1Free_NameConstraints> r(context->codec, asn1New_NameConstraints(context->codec));
    if (r.get() == nullptr)
        return QELPKIError_OutOfMemory;
    int32_t status = 0;
    if (nc->permittedSubtrees != nullptr)
        status = qelPKIGeneralSubtreesToASN1(&r->permittedSubtrees, nc->permittedSubtrees, context);
    if (status == 0 && nc->excludedSubtrees != nullptr)
        status = qelPKIGeneralSubtreesToASN1(&r->excludedSubtrees, nc->excludedSubtrees, context);
    if (status != 0)
        return status;
    return packAndAppend(extensions, kNameConstraints, 3, 1, r.get(), asn1Sizeof_NameConstraints,
                         asn1Pack_NameConstraints, context);
}

int32_t qelPKIDecodeNameConstraints(void **result, ASN1_Extension *extension, QELPKIContext *context)
{
    if (result == nullptr || extension == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *result = nullptr;
    Held<ASN1_NameConstraints, asn1Free_NameConstraints> r(context->codec);
    int32_t status = unpackValue(r, extension, asn1Unpack_NameConstraints, context);
    if (status != 0)
        return status;
    auto *nc = make<QELPKINameConstraints>(context);
    if (nc == nullptr)
        return QELPKIError_OutOfMemory;
    if (r->permittedSubtrees != nullptr)
        status = qelPKIGeneralSubtreesFromASN1(&nc->permittedSubtrees, r->permittedSubtrees, context);
    if (status == 0 && r->excludedSubtrees != nullptr)
        status = qelPKIGeneralSubtreesFromASN1(&nc->excludedSubtrees, r->excludedSubtrees, context);
    if (status != 0) {
        qelPKINameConstraintsFree(context, nc);
        return status;
    }
    *result = nc;
    return 0;
}

} // extern "C"
