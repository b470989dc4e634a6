// Distinguished names as text in the style of RFC 4514: keyword=value pairs,
// "+" inside a relative name, "," between relative names, the most
// significant relative name last. Text string values are escaped as RFC
// 4514 says; every other value, and every value of an unlisted type, is
// written as "#" and the hexadecimal of its whole DER element, which the
// parser reads back only when it is exactly one complete element.
#include "qelPKINameInternal.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "asn1PKIXInternal.h"
#include "qelHelpers.h"
#include "qelPKIConvertInternal.h"

extern "C" const QELDNAttributeInfo qelDNAttributeTable[31] = {
    {"CN", {0x55, 0x04, 0x03}, 3, 19},
    {"SN", {0x55, 0x04, 0x04}, 3, 19},
    {"SerialNumber", {0x55, 0x04, 0x05}, 3, 19},
    {"C", {0x55, 0x04, 0x06}, 3, 19},
    {"L", {0x55, 0x04, 0x07}, 3, 19},
    {"ST", {0x55, 0x04, 0x08}, 3, 19},
    {"STREET", {0x55, 0x04, 0x09}, 3, 19},
    {"O", {0x55, 0x04, 0x0A}, 3, 19},
    {"OU", {0x55, 0x04, 0x0B}, 3, 19},
    {"title", {0x55, 0x04, 0x0C}, 3, 19},
    {"description", {0x55, 0x04, 0x0D}, 3, 19},
    {"businessCategory", {0x55, 0x04, 0x0F}, 3, 19},
    {"postalCode", {0x55, 0x04, 0x11}, 3, 19},
    {"POBOX", {0x55, 0x04, 0x12}, 3, 19},
    {"physicalDeliveryOfficeName", {0x55, 0x04, 0x13}, 3, 19},
    {"TN", {0x55, 0x04, 0x14}, 3, 19},
    {"x121Address", {0x55, 0x04, 0x18}, 3, 18},
    {"ISDN", {0x55, 0x04, 0x19}, 3, 18},
    {"destinationIndicator", {0x55, 0x04, 0x1B}, 3, 19},
    {"name", {0x55, 0x04, 0x29}, 3, 19},
    {"givenName", {0x55, 0x04, 0x2A}, 3, 19},
    {"initials", {0x55, 0x04, 0x2B}, 3, 19},
    {"generationQualifier", {0x55, 0x04, 0x2C}, 3, 19},
    {"dnQualifier", {0x55, 0x04, 0x2E}, 3, 19},
    {"houseIdentifier", {0x55, 0x04, 0x33}, 3, 19},
    {"dmdName", {0x55, 0x04, 0x36}, 3, 19},
    {"DC", {0x09, 0x92, 0x26, 0x89, 0x93, 0xF2, 0x2C, 0x64, 0x01, 0x19}, 10, 22},
    {"emailAddress", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01}, 9, 22},
    {"unstructuredName", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x02}, 9, 22},
    {"unstructuredAddress", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x08}, 9, 19},
    {nullptr, {}, 0, 0},
};

namespace qel::pki {

bool splitElement(const std::uint8_t *p, std::uint64_t n, std::uint8_t &tag, const std::uint8_t *&content,
                  std::uint64_t &contentLength)
{
    ByteCursor cur(p, n);
    std::uint8_t first = 0;
    if (!cur.u8(tag) || (tag & 0x1F) == 0x1F || !cur.u8(first) || first == 0x80 || first == 0xFF)
        return false;
    std::uint64_t len = first;
    if (first > 0x80) {
        const std::size_t k = first & 0x7F;
        std::uint8_t lead = 0;
        if (k > 8 || !cur.peekU8(lead) || lead == 0 || !cur.beN(len, k) || len < 0x80)
            return false; // not the minimal length form
    }
    if (cur.remaining() != len)
        return false;
    content = cur.current();
    contentLength = len;
    return true;
}

} // namespace qel::pki

namespace {

using namespace qel::pki;

using NameHeld = Held<ASN1_Name, asn1Free_Name>;
using RDNHeld = Held<ASN1_RelativeDistinguishedName, asn1Free_RelativeDistinguishedName>;
using AVAHeld = Held<ASN1_AttributeTypeAndValue, asn1Free_AttributeTypeAndValue>;

bool validTag(int32_t tag) { return (tag >= 1 && tag <= 6) || (tag >= 16 && tag <= 27) || tag == 252; }

char *dupAllocator(ASN1Allocator *a, const char *s)
{
    const std::size_t n = std::strlen(s) + 1;
    auto *p = static_cast<char *>(a->alloc(a, n));
    if (p != nullptr)
        std::memcpy(p, s, n);
    return p;
}

std::uint8_t *dupBytes(ASN1Allocator *a, const std::uint8_t *b, std::uint64_t n)
{
    auto *p = static_cast<std::uint8_t *>(a->alloc(a, n ? n : 1));
    if (p != nullptr && n != 0)
        std::memcpy(p, b, n);
    return p;
}

const QELDNAttribute *byOID(const QELPKIContext *ctx, const std::uint8_t *oid, std::uint64_t n)
{
    for (const QELDNAttribute *a = ctx->dnAttributes; a != nullptr; a = a->next)
        if (sameBytes(a->oid, a->oidLength, oid, n))
            return a;
    return nullptr;
}

const QELDNAttribute *byKeyword(const QELPKIContext *ctx, std::string_view keyword, bool ignoreCase)
{
    for (const QELDNAttribute *a = ctx->dnAttributes; a != nullptr; a = a->next) {
        const std::string_view k(a->keyword);
        if (k.size() != keyword.size())
            continue;
        bool same = true;
        for (std::size_t i = 0; i < k.size() && same; ++i)
            same = ignoreCase ? std::tolower(static_cast<unsigned char>(k[i])) ==
                                    std::tolower(static_cast<unsigned char>(keyword[i]))
                              : k[i] == keyword[i];
        if (same)
            return a;
    }
    return nullptr;
}

bool isTextTag(std::uint8_t tag) { return tag == 18 || tag == 19 || tag == 22; }

constexpr char kHex[] = "0123456789abcdef";

// RFC 4514 section 2.4: the specials everywhere, a leading space or number
// sign, a trailing space; control octets and NUL as a hexadecimal pair.
void escapeValue(std::string &out, const std::uint8_t *p, std::uint64_t n)
{
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint8_t c = p[i];
        if (c < 0x20 || c == 0x7F) {
            out += '\\';
            out += static_cast<char>(std::toupper(kHex[c >> 4]));
            out += static_cast<char>(std::toupper(kHex[c & 15]));
            continue;
        }
        const bool special = c == '"' || c == '+' || c == ',' || c == ';' || c == '<' || c == '>' || c == '\\';
        const bool edge = (i == 0 && (c == ' ' || c == '#')) || (i + 1 == n && c == ' ');
        if (special || edge)
            out += '\\';
        out += static_cast<char>(c);
    }
}

bool renderPair(std::string &out, const ASN1_AttributeTypeAndValue &ava, const QELPKIContext *ctx)
{
    const QELDNAttribute *entry = byOID(ctx, ava.type.data, ava.type.length);
    if (entry != nullptr) {
        out += entry->keyword;
    } else {
        std::string dotted;
        if (!oidBytesToText(ava.type.data, ava.type.length, dotted))
            return false;
        out += dotted;
    }
    out += '=';
    std::uint8_t tag = 0;
    const std::uint8_t *content = nullptr;
    std::uint64_t length = 0;
    if (!splitElement(ava.value.data, ava.value.length, tag, content, length))
        return false;
    if (entry != nullptr && isTextTag(tag)) {
        escapeValue(out, content, length);
    } else {
        out += '#';
        for (std::uint64_t i = 0; i < ava.value.length; ++i) {
            out += kHex[ava.value.data[i] >> 4];
            out += kHex[ava.value.data[i] & 15];
        }
    }
    return true;
}

bool renderRDN(std::string &out, const ASN1_RelativeDistinguishedName &rdn, const QELPKIContext *ctx)
{
    for (std::int64_t i = 0; i < rdn.count; ++i) {
        if (i != 0)
            out += '+';
        if (rdn.elements[i] == nullptr || !renderPair(out, *rdn.elements[i], ctx))
            return false;
    }
    return true;
}

char *handOut(QELPKIContext *ctx, const std::string &s) { return copyText(ctx, s.data(), s.size()); }

// ---- parsing ----------------------------------------------------------------

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Trailing white space off, up to one that a backslash escapes.
std::string_view trimEnd(std::string_view s)
{
    std::size_t end = s.size();
    while (end > 0 && isSpace(s[end - 1])) {
        std::size_t backslashes = 0;
        for (std::size_t j = end - 1; j > 0 && s[j - 1] == '\\'; --j)
            ++backslashes;
        if (backslashes % 2 == 1)
            break; // an escaped space belongs to the value
        --end;
    }
    return s.substr(0, end);
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    return trimEnd(s);
}

// Splits at every separator that no backslash escapes.
std::vector<std::string_view> splitUnescaped(std::string_view s, char separator)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (s[i] == separator) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(s.substr(start));
    return parts;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "#" and hexadecimal pairs that make exactly one DER element.
bool parseHexElement(std::string_view s, std::vector<std::uint8_t> &out)
{
    if (s.size() < 5 || s[0] != '#' || (s.size() - 1) % 2 != 0)
        return false;
    out.clear();
    for (std::size_t i = 1; i < s.size(); i += 2) {
        const int hi = hexDigit(s[i]), lo = hexDigit(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    std::uint8_t tag = 0;
    const std::uint8_t *content = nullptr;
    std::uint64_t length = 0;
    return splitElement(out.data(), out.size(), tag, content, length);
}

bool unescape(std::string_view s, std::string &out)
{
    out.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i >= s.size())
            return false;
        const char c = s[i];
        if (std::string_view(" \"#+,;<=>\\").find(c) != std::string_view::npos) {
            out += c;
        } else if (i + 1 < s.size() && hexDigit(c) >= 0 && hexDigit(s[i + 1]) >= 0) {
            out += static_cast<char>(hexDigit(c) * 16 + hexDigit(s[i + 1]));
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

bool printableChar(std::uint8_t c)
{
    return std::isalnum(c) || std::string_view(" '()+,-./:=?").find(static_cast<char>(c)) != std::string_view::npos;
}

// The value's content as the attribute's default string type, or a toolkit
// code for a value that type cannot hold.
int32_t chooseType(int32_t defaultTag, const std::string &v, std::uint8_t &tag)
{
    const auto *p = reinterpret_cast<const std::uint8_t *>(v.data());
    tag = static_cast<std::uint8_t>(defaultTag);
    switch (defaultTag) {
    case 18:
        for (std::uint8_t c : v)
            if (!(c == ' ' || (c >= '0' && c <= '9')))
                return QELPKIError_NumericString;
        return 0;
    case 19:
        for (std::uint8_t c : v) {
            if (!printableChar(c)) {
                if (!v.empty() && qelPKIIsValidUTF8(p, v.size())) {
                    tag = 12;
                    return 0;
                }
                return QELPKIError_PrintableString;
            }
        }
        return 0;
    case 22:
    case 26:
        for (std::uint8_t c : v)
            if (c > 0x7F || (defaultTag == 26 && (c < 0x20 || c == 0x7F)))
                return QELPKIError_StringType;
        return 0;
    case 12:
        return v.empty() || qelPKIIsValidUTF8(p, v.size()) ? 0 : QELPKIError_NameParse;
    case 20:
        return 0;
    default:
        return QELPKIError_StringType;
    }
}

int32_t parsePair(ASN1_RelativeDistinguishedName *rdn, std::string_view piece, QELPKIContext *ctx)
{
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos)
        return QELPKIError_NameParse;
    const std::string_view type = trim(piece.substr(0, eq));
    const std::string_view value = trim(piece.substr(eq + 1));
    AVAHeld ava(ctx->codec, asn1New_AttributeTypeAndValue(ctx->codec));
    if (ava.get() == nullptr)
        return QELPKIError_OutOfMemory;
    int32_t status = 0;
    std::vector<std::uint8_t> element;
    if (type.find('.') != std::string_view::npos) {
        std::uint8_t *oid = nullptr;
        std::uint64_t oidLength = 0;
        const std::string typeText(type);
        status = qelPKIOIDTextToDER(&oid, &oidLength, typeText.c_str(), ctx);
        if (status == QELPKIError_OutOfMemory)
            return status;
        if (status != 0 || !parseHexElement(value, element)) {
            release(ctx, oid);
            return QELPKIError_NameParse;
        }
        status = qelPKIAttributeValueSet(ava.get(), oid, oidLength, element.data(), element.size(), ctx);
        release(ctx, oid);
    } else {
        const QELDNAttribute *entry = byKeyword(ctx, type, true);
        if (entry == nullptr || type.empty())
            return QELPKIError_NameParse;
        if (!value.empty() && value[0] == '#') {
            if (!parseHexElement(value, element))
                return QELPKIError_NameParse;
            status = qelPKIAttributeValueSet(ava.get(), entry->oid, entry->oidLength, element.data(), element.size(),
                                             ctx);
        } else {
            std::string text;
            if (!unescape(value, text))
                return QELPKIError_NameParse;
            std::uint8_t tag = 0;
            status = chooseType(entry->defaultTag, text, tag);
            if (status == 0)
                status = qelPKIAttributeValueSetContent(ava.get(), entry->oid, entry->oidLength, tag,
                                                        reinterpret_cast<const std::uint8_t *>(text.data()),
                                                        text.size(), ctx);
        }
    }
    if (status != 0)
        return status;
    if (asn1AppendElement(ctx->codec, ava.get(), rdn) != 0)
        return QELPKIError_OutOfMemory;
    ava.release();
    return 0;
}

int32_t copyRDNSequence(ASN1_Name *out, const ASN1_Name &src, QELPKIContext *ctx)
{
    const auto *seq = static_cast<const ASN1_RDNSequence *>(src.alternative);
    for (std::int64_t i = 0; seq != nullptr && i < seq->count; ++i) {
        RDNHeld rdn(ctx->codec, asn1New_RelativeDistinguishedName(ctx->codec));
        if (rdn.get() == nullptr)
            return QELPKIError_OutOfMemory;
        const ASN1_RelativeDistinguishedName *from = seq->elements[i];
        for (std::int64_t j = 0; from != nullptr && j < from->count; ++j) {
            const ASN1_AttributeTypeAndValue *a = from->elements[j];
            AVAHeld ava(ctx->codec, asn1New_AttributeTypeAndValue(ctx->codec));
            if (ava.get() == nullptr ||
                qelPKIAttributeValueSet(ava.get(), a->type.data, a->type.length, a->value.data, a->value.length,
                                        ctx) != 0 ||
                asn1AppendElement(ctx->codec, ava.get(), rdn.get()) != 0)
                return QELPKIError_OutOfMemory;
            ava.release();
        }
        if (asn1AppendElement(ctx->codec, rdn.get(), out->alternative) != 0)
            return QELPKIError_OutOfMemory;
        rdn.release();
    }
    return 0;
}

const ASN1_Name *nameOf(const void *object, int32_t which)
{
    switch (which) {
    case 0:
        return &static_cast<const QELPKICertificate *>(object)->certificate->tbsCertificate.subject;
    case 1:
        return &static_cast<const QELPKICertificate *>(object)->certificate->tbsCertificate.issuer;
    case 2:
        return &static_cast<const ASN1_CertificateList *>(object)->tbsCertList.issuer;
    case 3:
        return &static_cast<const ASN1_CertificationRequest *>(object)->certificationRequestInfo.subject;
    default:
        return nullptr;
    }
}

} // namespace

void qel::pki::escapeDNValue(std::string &out, const std::uint8_t *value, std::uint64_t length)
{
    escapeValue(out, value, length);
}

extern "C" {

int32_t qelPKIDNAttributesLoad(QELDNAttribute **list, ASN1Allocator *allocator)
{
    if (list == nullptr || allocator == nullptr)
        return QELPKIError_InvalidArguments;
    *list = nullptr;
    for (const QELDNAttributeInfo *row = qelDNAttributeTable; row->keyword != nullptr; ++row) {
        auto *node = static_cast<QELDNAttribute *>(allocator->alloc(allocator, sizeof(QELDNAttribute)));
        if (node == nullptr) {
            qelPKIDNAttributesFree(*list, allocator);
            *list = nullptr;
            return QELPKIError_OutOfMemory;
        }
        std::memset(node, 0, sizeof *node);
        node->next = *list;
        *list = node;
        node->keyword = dupAllocator(allocator, row->keyword);
        node->oid = dupBytes(allocator, row->oid, row->oidLength);
        node->oidLength = row->oidLength;
        node->defaultTag = static_cast<int32_t>(row->defaultTag);
        if (node->keyword == nullptr || node->oid == nullptr) {
            qelPKIDNAttributesFree(*list, allocator);
            *list = nullptr;
            return QELPKIError_OutOfMemory;
        }
    }
    return 0;
}

void qelPKIDNAttributesFree(QELDNAttribute *list, ASN1Allocator *allocator)
{
    while (list != nullptr) {
        QELDNAttribute *next = list->next;
        if (list->keyword != nullptr)
            allocator->free(allocator, list->keyword);
        if (list->oid != nullptr)
            allocator->free(allocator, list->oid);
        allocator->free(allocator, list);
        list = next;
    }
}

int32_t qelPKIDNAttributeAdd(const uint8_t *oid, uint64_t oidLength, const char *keyword, int32_t defaultTag,
                             QELPKIContext *context)
{
    if (context == nullptr || oid == nullptr || keyword == nullptr || oidLength == 0 || !validTag(defaultTag))
        return QELPKIError_InvalidArguments;
    auto *node = make<QELDNAttribute>(context);
    if (node == nullptr)
        return QELPKIError_OutOfMemory;
    node->keyword = copyText(context, keyword, std::strlen(keyword));
    node->oid = copyBytes(context, oid, oidLength);
    if (node->keyword == nullptr || node->oid == nullptr) {
        release(context, node->keyword);
        release(context, node->oid);
        release(context, node);
        return QELPKIError_OutOfMemory;
    }
    node->oidLength = oidLength;
    node->defaultTag = defaultTag;
    node->next = context->dnAttributes;
    context->dnAttributes = node;
    return 0;
}

int32_t qelPKIDNAttributeSetType(const uint8_t *oid, uint64_t oidLength, int32_t tag, QELPKIContext *context)
{
    if (context == nullptr || oid == nullptr || !validTag(tag))
        return QELPKIError_InvalidArguments;
    for (QELDNAttribute *a = context->dnAttributes; a != nullptr; a = a->next) {
        if (sameBytes(a->oid, a->oidLength, oid, oidLength)) {
            a->defaultTag = tag;
            return 0;
        }
    }
    return QELPKIError_InvalidArguments;
}

char *qelPKIAttributeValueToText(const ASN1_AttributeTypeAndValue *ava, QELPKIContext *context)
{
    if (ava == nullptr || context == nullptr)
        return nullptr;
    try {
        std::string s;
        return renderPair(s, *ava, context) ? handOut(context, s) : nullptr;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

char *qelPKIRDNToText(const ASN1_RelativeDistinguishedName *rdn, QELPKIContext *context)
{
    if (rdn == nullptr || context == nullptr)
        return nullptr;
    try {
        std::string s;
        return renderRDN(s, *rdn, context) ? handOut(context, s) : nullptr;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int32_t qelPKINameToText(char **text, const ASN1_Name *name, QELPKIContext *context)
{
    if (text == nullptr || name == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *text = nullptr;
    try {
        std::string s;
        const auto *seq = static_cast<const ASN1_RDNSequence *>(name->alternative);
        for (std::int64_t i = seq != nullptr ? seq->count - 1 : -1; i >= 0; --i) {
            if (i != seq->count - 1)
                s += ',';
            if (seq->elements[i] == nullptr || !renderRDN(s, *seq->elements[i], context))
                return QELPKIError_NameParse;
        }
        *text = handOut(context, s);
        return *text != nullptr ? 0 : QELPKIError_OutOfMemory;
    } catch (const std::bad_alloc &) {
        return QELPKIError_OutOfMemory;
    }
}

int32_t qelPKIGetNameText(char **text, const void *object, int32_t which, QELPKIContext *context)
{
    if (text == nullptr)
        return QELPKIError_InvalidArguments;
    *text = nullptr;
    if (object == nullptr || which == 2 || nameOf(object, which) == nullptr)
        return QELPKIError_InvalidArguments;
    return qelPKINameToText(text, nameOf(object, which), context);
}

int32_t qelPKIRDNFromText(ASN1_RelativeDistinguishedName *rdn, const char *text, QELPKIContext *context)
{
    if (rdn == nullptr || text == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    try {
        for (std::string_view piece : splitUnescaped(trim(text), '+')) {
            const int32_t status = parsePair(rdn, trim(piece), context);
            if (status != 0)
                return status;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return QELPKIError_OutOfMemory;
    }
}

int32_t qelPKINameFromText(ASN1_Name *name, const char *text, QELPKIContext *context)
{
    if (name == nullptr || text == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    if (name->alternative == nullptr) {
        name->alternative = asn1New_RDNSequence(context->codec);
        if (name->alternative == nullptr)
            return QELPKIError_OutOfMemory;
        name->identifier = 16;
    }
    auto *seq = static_cast<ASN1_RDNSequence *>(name->alternative);
    const std::string_view all = trim(text);
    if (all.empty())
        return 0;
    int32_t status = 0;
    try {
        for (std::string_view piece : splitUnescaped(all, ',')) {
            RDNHeld rdn(context->codec, asn1New_RelativeDistinguishedName(context->codec));
            if (rdn.get() == nullptr) {
                status = QELPKIError_OutOfMemory;
                break;
            }
            const std::string one(trim(piece));
            status = qelPKIRDNFromText(rdn.get(), one.c_str(), context);
            if (status == 0 && asn1AppendElement(context->codec, rdn.get(), seq) != 0)
                status = QELPKIError_OutOfMemory;
            if (status != 0)
                break;
            rdn.release();
        }
    } catch (const std::bad_alloc &) {
        status = QELPKIError_OutOfMemory;
    }
    if (status != 0) {
        asn1FreeContents_RDNSequence(context->codec, seq);
        seq->count = 0;
        seq->elements = nullptr;
        return status;
    }
    std::reverse(seq->elements, seq->elements + seq->count);
    return 0;
}

int32_t qelPKINameNew(ASN1_Name **name, QELPKIContext *context)
{
    if (name == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *name = nullptr;
    NameHeld n(context->codec, asn1New_Name(context->codec));
    if (n.get() == nullptr)
        return QELPKIError_OutOfMemory;
    n->alternative = asn1New_RDNSequence(context->codec);
    if (n->alternative == nullptr)
        return QELPKIError_OutOfMemory;
    n->identifier = 16;
    *name = n.release();
    return 0;
}

int32_t qelPKINameFree(ASN1_Name *name, QELPKIContext *context)
{
    if (name == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    asn1Free_Name(context->codec, name);
    return 0;
}

int32_t qelPKINameCopy(ASN1_Name **out, const ASN1_Name *source, QELPKIContext *context)
{
    if (out == nullptr || source == nullptr || context == nullptr)
        return 0;
    *out = nullptr;
    ASN1_Name *raw = nullptr;
    const int32_t status = qelPKINameNew(&raw, context);
    if (status != 0)
        return status;
    NameHeld copy(context->codec, raw);
    copy->identifier = source->identifier;
    if (copyRDNSequence(copy.get(), *source, context) != 0)
        return QELPKIError_OutOfMemory;
    *out = copy.release();
    return 0;
}

int32_t qelPKIGetNameCopy(ASN1_Name **out, const void *object, int32_t which, QELPKIContext *context)
{
    if (out == nullptr || object == nullptr)
        return QELPKIError_InvalidArguments;
    *out = nullptr;
    const ASN1_Name *name = nameOf(object, which);
    if (name == nullptr)
        return QELPKIError_InvalidArguments;
    return qelPKINameCopy(out, name, context);
}

int32_t qelPKINameAddAttribute(ASN1_Name *name, const uint8_t *oid, uint64_t oidLength, const uint8_t *value,
                               uint64_t valueLength, QELPKIContext *context)
{
    std::uint8_t tag = 0;
    const std::uint8_t *content = nullptr;
    std::uint64_t contentLength = 0;
    if (name == nullptr || oid == nullptr || oidLength == 0 || value == nullptr || valueLength == 0 ||
        context == nullptr || name->alternative == nullptr ||
        !splitElement(value, valueLength, tag, content, contentLength))
        return QELPKIError_InvalidArguments;
    RDNHeld rdn(context->codec, asn1New_RelativeDistinguishedName(context->codec));
    AVAHeld ava(context->codec, asn1New_AttributeTypeAndValue(context->codec));
    if (rdn.get() == nullptr || ava.get() == nullptr ||
        qelPKIAttributeValueSet(ava.get(), oid, oidLength, value, valueLength, context) != 0 ||
        asn1AppendElement(context->codec, ava.get(), rdn.get()) != 0)
        return QELPKIError_OutOfMemory;
    ava.release();
    if (asn1AppendElement(context->codec, rdn.get(), name->alternative) != 0)
        return QELPKIError_OutOfMemory;
    rdn.release();
    return 0;
}

int32_t qelPKINameGetAttributeText(char **text, const ASN1_Name *name, const char *keyword, QELPKIContext *context)
{
    if (text == nullptr || name == nullptr || keyword == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *text = nullptr;
    const auto *seq = static_cast<const ASN1_RDNSequence *>(name->alternative);
    for (std::int64_t i = 0; seq != nullptr && i < seq->count; ++i) {
        const ASN1_RelativeDistinguishedName *rdn = seq->elements[i];
        if (rdn == nullptr || rdn->count == 0)
            continue;
        const ASN1_AttributeTypeAndValue *ava = rdn->elements[0];
        const QELDNAttribute *entry = byOID(context, ava->type.data, ava->type.length);
        std::uint8_t tag = 0;
        const std::uint8_t *content = nullptr;
        std::uint64_t length = 0;
        if (entry == nullptr || std::strcmp(entry->keyword, keyword) != 0 ||
            !splitElement(ava->value.data, ava->value.length, tag, content, length) || !isTextTag(tag))
            continue;
        auto *p = static_cast<char *>(std::malloc(length + 1));
        if (p == nullptr)
            return QELPKIError_OutOfMemory;
        if (length != 0)
            std::memcpy(p, content, length);
        p[length] = 0;
        *text = p;
        return 0;
    }
    return 0;
}

int32_t qelPKIIsValidUTF8(const uint8_t *text, uint64_t limit)
{
    if (text == nullptr || limit == 0 || text[0] == 0)
        return 0;
    for (std::uint64_t i = 0; i < limit && text[i] != 0;) {
        const std::uint8_t c = text[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int len;
        std::uint32_t v;
        if (c >= 0xC2 && c <= 0xDF)
            len = 2, v = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF)
            len = 3, v = c & 0x0F;
        else
            return 0; // continuation octets, C0/C1 (always overlong) and four-octet forms
        if (i + static_cast<std::uint64_t>(len) > limit)
            return 0;
        for (int k = 1; k < len; ++k) {
            if ((text[i + k] & 0xC0) != 0x80)
                return 0;
            v = (v << 6) | (text[i + k] & 0x3F);
        }
        if ((len == 3 && v < 0x800) || (v >= 0xD800 && v <= 0xDFFF))
            return 0; // overlong, or a UTF-16 surrogate
        i += static_cast<std::uint64_t>(len);
    }
    return 1;
}

void qelPKITrimTrailingSpace(char *text)
{
    if (text != nullptr)
        text[trimEnd(text).size()] = 0;
}

int32_t qelPKIAttributeValueSet(ASN1_AttributeTypeAndValue *ava, const uint8_t *oid, uint64_t oidLength,
                                const uint8_t *value, uint64_t valueLength, QELPKIContext *context)
{
    if (ava == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    if (asn1SetOctetString(context->codec, &ava->type, oid, oidLength) != 0 ||
        asn1SetOctetString(context->codec, &ava->value, value, valueLength) != 0)
        return QELPKIError_OutOfMemory;
    return 0;
}

int32_t qelPKIAttributeValueSetContent(ASN1_AttributeTypeAndValue *ava, const uint8_t *oid, uint64_t oidLength,
                                       uint8_t tag, const uint8_t *content, uint64_t contentLength,
                                       QELPKIContext *context)
{
    if (ava == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    if (asn1SetOctetString(context->codec, &ava->type, oid, oidLength) != 0)
        return QELPKIError_OutOfMemory;
    const std::uint64_t size = 1 + asn1LengthOfLength(contentLength) + contentLength;
    auto *block = static_cast<std::uint8_t *>(alloc(context, size));
    if (block == nullptr) {
        asn1FreeContents_OctetString(context->codec, &ava->type);
        return QELPKIError_OutOfMemory;
    }
    block[0] = tag;
    const std::uint64_t h = 1 + asn1EncodeLength(block + 1, contentLength);
    if (contentLength != 0)
        std::memcpy(block + h, content, contentLength);
    const int32_t status = asn1SetOctetString(context->codec, &ava->value, block, size);
    release(context, block);
    if (status != 0) {
        asn1FreeContents_OctetString(context->codec, &ava->type);
        return QELPKIError_OutOfMemory;
    }
    return 0;
}

int32_t qelPKIElementHeader(uint8_t *identifier, const uint8_t **content, uint64_t *contentLength,
                            const ASN1_OctetString *element)
{
    if (identifier == nullptr || content == nullptr || contentLength == nullptr || element == nullptr)
        return QELPKIError_InvalidArguments;
    if (!splitElement(element->data, element->length, *identifier, *content, *contentLength))
        return QELPKIError_InvalidArguments;
    return 0;
}

} // extern "C"
