// The certificate toolkit's readers of outside input. The first octet picks
// one: distinguished-name text (parsed, rendered, parsed again: the second
// rendering must equal the first), a DER Name (rendered, and parsed back
// where the text parser takes it), or the value of one of the 21 known extensions
// (decoded, and what decodes is encoded and decoded again). OID and time
// texts go through their converters on the way.
#include "qelFuzzSupport.h"

#include <cstring>
#include <string>

#include "qelPKIConvertInternal.h"
#include "qelPKIExtensionInternal.h"
#include "qelPKIGeneralNameInternal.h"
#include "qelPKINameInternal.h"
#include "qelPKIPolicyInternal.h"

namespace {

QELPKIContext *context()
{
    static QELPKIContext *ctx = [] {
        QELPKIContext *c = nullptr;
        qelfuzz::check(qelPKIContextNew(&c, nullptr, nullptr, nullptr, nullptr, nullptr) == 0, "no context");
        return c;
    }();
    return ctx;
}

std::string render(const ASN1_Name *name, QELPKIContext *ctx, bool &ok)
{
    char *text = nullptr;
    ok = qelPKINameToText(&text, name, ctx) == 0;
    std::string s = text != nullptr ? text : "";
    ctx->allocator->free(ctx->allocator, text);
    return s;
}

void nameText(const std::string &text, QELPKIContext *ctx)
{
    ASN1_Name *name = nullptr;
    qelfuzz::check(qelPKINameNew(&name, ctx) == 0, "no name");
    if (qelPKINameFromText(name, text.c_str(), ctx) == 0) {
        bool ok = false;
        const std::string first = render(name, ctx, ok);
        qelfuzz::check(ok, "a parsed name does not render");
        ASN1_Name *again = nullptr;
        qelfuzz::check(qelPKINameNew(&again, ctx) == 0, "no name");
        qelfuzz::check(qelPKINameFromText(again, first.c_str(), ctx) == 0, "a rendering does not parse");
        qelfuzz::check(render(again, ctx, ok) == first, "rendering is not stable");
        static_cast<void>(qelPKINameFree(again, ctx));
    }
    static_cast<void>(qelPKINameFree(name, ctx));
    // The same text as an OID and as times.
    std::uint8_t *der = nullptr;
    std::uint64_t length = 0;
    if (qelPKIOIDTextToDER(&der, &length, text.c_str(), ctx) == 0) {
        // Octets to text and back give the same octets (the text itself may
        // have carried leading zeros).
        ASN1_ObjectIdentifier oid{length, der};
        char *back = qelPKIOIDToText(&oid, ctx->codec);
        qelfuzz::check(back != nullptr, "encoded OID octets do not render");
        std::uint8_t *again = nullptr;
        std::uint64_t againLength = 0;
        qelfuzz::check(qelPKIOIDTextToDER(&again, &againLength, back, ctx) == 0 && againLength == length &&
                           std::memcmp(again, der, length) == 0,
                       "an OID does not survive its text");
        ctx->allocator->free(ctx->allocator, again);
        ctx->allocator->free(ctx->allocator, back);
        ctx->allocator->free(ctx->allocator, der);
    }
    ASN1_OctetString t{text.size(), reinterpret_cast<std::uint8_t *>(const_cast<char *>(text.data()))};
    static_cast<void>(qelPKIUTCTimeToSeconds(&t));
    static_cast<void>(qelPKIGeneralizedTimeToSeconds(&t));
}

void nameDER(const std::uint8_t *data, std::size_t size, QELPKIContext *ctx)
{
    ASN1_Name *name = nullptr;
    std::int32_t err = 0;
    asn1Unpack_Name(ctx->codec, &name, data, size, &err);
    if (name == nullptr)
        return;
    // A value of a type the attribute does not default to may not parse
    // back (a PrintableString under a numeric attribute); whatever does
    // parse must render.
    bool ok = false;
    const std::string text = render(name, ctx, ok);
    if (ok) {
        ASN1_Name *back = nullptr;
        qelfuzz::check(qelPKINameNew(&back, ctx) == 0, "no name");
        if (qelPKINameFromText(back, text.c_str(), ctx) == 0) {
            render(back, ctx, ok);
            qelfuzz::check(ok, "a parsed name does not render");
        }
        static_cast<void>(qelPKINameFree(back, ctx));
    }
    ASN1_OctetString oid{size, const_cast<std::uint8_t *>(data)};
    char *dotted = qelPKIOIDToText(&oid, ctx->codec);
    ctx->allocator->free(ctx->allocator, dotted);
    asn1Free_Name(ctx->codec, name);
}

void releaseRecord(std::size_t row, void *record, QELPKIContext *ctx)
{
    switch (row) {
    case 2: case 3: qelPKIGeneralNamesFree(static_cast<QELPKIGeneralNames *>(record), ctx); break;
    case 6: qelPKIAuthorityKeyIdentifierFree(static_cast<QELPKIAuthorityKeyIdentifier *>(record), ctx); break;
    case 7: asn1Free_OctetString(ctx->codec, static_cast<ASN1_OctetString *>(record)); break;
    case 9: qelPKICertificatePoliciesFree(static_cast<QELPKICertificatePolicies *>(record), ctx); break;
    case 10: qelPKIPolicyMappingsFree(static_cast<QELPKIPolicyMappings *>(record), ctx); break;
    case 11: qelPKISubjectDirectoryAttributesFree(static_cast<QELPKISubjectDirectoryAttributes *>(record), ctx); break;
    case 12: qelPKINameConstraintsFree(ctx, static_cast<QELPKINameConstraints *>(record)); break;
    case 14:
        ctx->allocator->free(ctx->allocator, static_cast<QELPKIExtKeyUsage *>(record)->purposes);
        ctx->allocator->free(ctx->allocator, record);
        break;
    case 15: qelPKICRLDistributionPointsFree(static_cast<QELPKICRLDistributionPoints *>(record), ctx); break;
    case 16: qelPKIAuthorityInfoAccessFree(ctx, static_cast<QELPKIAuthorityInfoAccess *>(record)); break;
    case 17: qelPKIIssuingDistributionPointFree(static_cast<QELPKIIssuingDistributionPoint *>(record), ctx); break;
    case 19: case 20: break; // numbers
    default: ctx->allocator->free(ctx->allocator, record); break;
    }
}

void extension(std::size_t row, const std::uint8_t *data, std::size_t size, QELPKIContext *ctx)
{
    const QELX509ExtensionCodec &codec = qelX509ExtensionCodecs[row];
    ASN1_Extension *e = asn1New_Extension(ctx->codec);
    if (asn1SetOctetString(ctx->codec, &e->extnID, codec.oid, codec.oidLength) != 0 ||
        asn1SetOctetString(ctx->codec, &e->extnValue, data, size) != 0) {
        asn1Free_Extension(ctx->codec, e);
        return;
    }
    void *record = nullptr;
    if (codec.decode(&record, e, ctx) == 0 && (record != nullptr || row >= 19)) {
        ASN1_Extensions *list = nullptr;
        qelfuzz::check(qelPKIExtensionsNew(&list, ctx) == 0, "no list");
        const void *value = record;
        if (row == 18)
            value = reinterpret_cast<const void *>(static_cast<std::intptr_t>(*static_cast<int32_t *>(record)));
        if (codec.encode(list, value, 0, ctx) == 0 && list->count == 1) {
            void *again = nullptr;
            if (codec.decode(&again, list->elements[0], ctx) == 0)
                releaseRecord(row, again, ctx);
        }
        qelPKIExtensionsFree(list, ctx);
        releaseRecord(row, record, ctx);
    }
    asn1Free_Extension(ctx->codec, e);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    QELPKIContext *ctx = context();
    const std::uint8_t mode = data[0];
    ++data, --size;
    if (mode == 0)
        nameText(std::string(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size)),
                 ctx);
    else if (mode == 1)
        nameDER(data, size, ctx);
    else
        extension(static_cast<std::size_t>(mode - 2) % 21, data, size, ctx);
    return 0;
}
