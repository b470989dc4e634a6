// Subjects of requests and issued certificates from attribute lists. Values
// are escaped as RFC 4514 asks, so a comma, plus or quote in a user's name
// stays inside its value and never adds an attribute or an RDN.
#include "qelPKIEnrolNameInternal.h"

#include <cstring>
#include <string>

#include "qelHelpers.h"
#include "qelPKICertificateInternal.h"
#include "qelPKINameInternal.h"
#include "qelPKISDKInternal.h"

using qel::pki::CodecBlock;
using qel::pki::Held;
using qel::pki::packRecord;

namespace {

constexpr std::int32_t kClassGrouped = 11003;   // CN, SerialNumber, description as one final RDN
constexpr std::int32_t kClassNoDescription = 11004;

// DN keywords of ids 0 to 26 (the e-mail's, id 1, only when allowed).
constexpr const char *kKeywords[] = {
    "CN",          "emailAddress", "O",          "OU",       "SN",
    "SerialNumber", "C",           "L",          "ST",       "STREET",
    "title",       "description",  "postalCode", "POBOX",    "physicalDeliveryOfficeName",
    "TN",          "x121Address",  "ISDN",       "destinationIndicator", "name",
    "givenName",   "initials",     "houseIdentifier", "dmdName", "DC",
    "unstructuredName", "unstructuredAddress",
};
static_assert(std::size(kKeywords) == 27);

bool emailAllowed(const QELCertAttribute *attributes, std::uint32_t count)
{
    for (std::uint32_t i = 0; i < count; ++i)
        if (attributes[i].id == QELCertAttr_EmbedEmail)
            return (reinterpret_cast<std::uintptr_t>(attributes[i].value) & 0xFF) != 0;
    return true;
}

bool noDNRole(std::int32_t id)
{
    return (id >= QELCertAttr_RFC822Name && id <= QELCertAttr_Authenticate) || id == QELCertAttr_EmbedEmail;
}

} // namespace

QELStatus qelDNAppendAttribute(QELMemoryMgr *mgr, const char *separator, const char *keyword, const std::uint8_t *value,
                               std::uint64_t length, char **inOutText, std::size_t *inOutSize)
{
    return qel::noThrow([&]() -> QELStatus {
        std::string entry = keyword;
        entry += '=';
        qel::pki::escapeDNValue(entry, value, length);
        entry += separator;
        const std::size_t used = *inOutText != nullptr ? std::strlen(*inOutText) : 0;
        const std::size_t size = used + entry.size() + 1;
        void *block = *inOutText;
        const QELStatus s = block == nullptr ? ((block = qelMemAlloc(mgr, size, 0)) != nullptr ? 0 : QELError_OutOfMemory)
                                             : qelMemRealloc(mgr, &block, size, 0);
        if (s != 0)
            return s;
        char *text = static_cast<char *>(block);
        std::memcpy(text + used, entry.data(), entry.size());
        text[size - 1] = 0;
        *inOutText = text;
        *inOutSize = size;
        return 0;
    });
}

QELStatus qelDNTextFromAttributes(QELMemoryMgr *mgr, std::int32_t requestClass, const QELCertAttribute *attributes,
                                  std::uint32_t count, char **outText)
{
    if (outText == nullptr || (attributes == nullptr && count != 0))
        return QELError_BadParams;
    *outText = nullptr;
    char *text = nullptr;
    std::size_t size = 1;
    const QELCertAttribute *grouped[3] = {}; // CN, SerialNumber, description under the grouping class
    QELStatus s = 0;
    auto render = [&](const char *keyword, const QELCertAttribute &a, const char *separator) {
        if (a.length != 0 && s == 0)
            s = qelDNAppendAttribute(mgr, separator, keyword, static_cast<const std::uint8_t *>(a.value), a.length,
                                     &text, &size);
    };
    for (std::uint32_t i = 0; i < count && s == 0; ++i) {
        const QELCertAttribute &a = attributes[i];
        if (requestClass == kClassGrouped && (a.id == QELCertAttr_CommonName || a.id == QELCertAttr_SerialNumber ||
                                              a.id == QELCertAttr_Description)) {
            grouped[a.id == QELCertAttr_CommonName ? 0 : a.id == QELCertAttr_SerialNumber ? 1 : 2] = &a;
        } else if (requestClass == kClassNoDescription && a.id == QELCertAttr_Description) {
        } else if (a.id == QELCertAttr_Email) {
            if (emailAllowed(attributes, count))
                render("emailAddress", a, ",");
        } else if (a.id >= 0 && a.id <= QELCertAttr_UnstructuredAddress) {
            render(kKeywords[a.id], a, ",");
        } else if (!noDNRole(a.id)) {
            s = QELError_UnknownDNAttribute;
        }
    }
    if (requestClass == kClassGrouped) {
        constexpr const char *groupKeywords[] = {"CN", "SerialNumber", "description"};
        for (int k = 0; k < 3; ++k)
            if (grouped[k] != nullptr)
                render(groupKeywords[k], *grouped[k], "+");
    }
    if (s == 0 && text == nullptr) {
        text = static_cast<char *>(qelMemAlloc(mgr, 1, 0));
        if (text == nullptr)
            s = QELError_OutOfMemory;
        else
            text[0] = 0;
    }
    if (s != 0) {
        if (text != nullptr)
            static_cast<void>(qelMemFree(text));
        return s;
    }
    // The last entry's separator goes.
    const std::size_t used = std::strlen(text);
    if (used != 0)
        text[used - 1] = 0;
    *outText = text;
    return 0;
}

namespace {

// A block of the codec's allocator handed to the caller as the context's
// memory (the toolkit over the SDK allocator allocates from it).
QELStatus handOut(CodecBlock &block, std::uint8_t **outDER, std::uint64_t *outLength)
{
    *outLength = block.length;
    *outDER = block.release();
    return 0;
}

} // namespace

QELStatus qelDNTextToDER(QELContext *context, const char *text, std::uint8_t **outDER, std::uint64_t *outLength)
{
    if (outDER == nullptr || outLength == nullptr || text == nullptr)
        return QELError_BadParams;
    *outDER = nullptr;
    *outLength = 0;
    QELPKISDKToolkit toolkit(context);
    if (toolkit.get() == nullptr)
        return QELError_PKIContextFailed;
    ASN1_Name *raw = nullptr;
    if (qelPKINameNew(&raw, toolkit.get()) != 0)
        return QELError_PKIOperationFailed;
    Held<ASN1_Name, asn1Free_Name> name(toolkit.codec(), raw);
    if (qelPKINameFromText(name.get(), text, toolkit.get()) != 0)
        return QELError_PKIEncodeFailed;
    CodecBlock der(toolkit.codec());
    const std::int32_t packed = packRecord(&der.data, &der.length, name.get(), toolkit.codec(), asn1Sizeof_Name,
                                           asn1Pack_Name);
    if (packed != 0)
        return packed == QELPKIError_OutOfMemory ? QELError_OutOfMemory : QELError_PKIEncodeFailed;
    return handOut(der, outDER, outLength);
}

QELStatus qelDNFromAttributes(QELContext *context, const QELCertAttribute *attributes, std::uint32_t count,
                              std::uint8_t **outDER, std::uint64_t *outLength)
{
    if (outDER == nullptr || outLength == nullptr)
        return QELError_BadParams;
    *outDER = nullptr;
    *outLength = 0;
    char *text = nullptr;
    QELStatus s = qelDNTextFromAttributes(qelContextGetMemoryMgr(context), kQELCertClassIssue, attributes, count,
                                          &text);
    if (s != 0)
        return s;
    s = qelDNTextToDER(context, text, outDER, outLength);
    static_cast<void>(qelMemFree(text));
    return s;
}

QELStatus qelAddGeneralName(ASN1Context *codec, std::int32_t alternative, const std::uint8_t *value,
                            std::uint64_t length, ASN1_GeneralNames *names)
{
    Held<ASN1_GeneralName, asn1Free_GeneralName> name(codec, asn1New_GeneralName(codec));
    if (name.get() == nullptr)
        return QELError_OutOfMemory;
    name->identifier = static_cast<std::uint8_t>(0xA0 + alternative);
    auto *octets = asn1New_OctetString(codec);
    name->alternative = octets;
    if (octets == nullptr || asn1SetOctetString(codec, octets, value, length) != 0 ||
        asn1AppendElement(codec, name.get(), names) != 0)
        return QELError_OutOfMemory;
    name.release();
    return 0;
}

QELStatus qelBuildAttributeExtensions(const QELCertAttribute *attributes, std::uint32_t count, QELPKIContext *context,
                                      ASN1_Extensions *extensions)
{
    ASN1Context *codec = context->codec;
    Held<ASN1_GeneralNames, asn1Free_GeneralNames> names(codec, asn1New_GeneralNames(codec));
    if (names.get() == nullptr)
        return QELError_OutOfMemory;
    for (std::uint32_t i = 0; i < count; ++i) {
        const QELCertAttribute &a = attributes[i];
        if (a.length == 0)
            continue;
        const auto *value = static_cast<const std::uint8_t *>(a.value);
        QELStatus s = 0;
        if (a.id == QELCertAttr_RFC822Name)
            s = qelAddGeneralName(codec, 1, value, a.length, names.get());
        else if (a.id == QELCertAttr_DNSName)
            s = qelAddGeneralName(codec, 2, value, a.length, names.get());
        else if (a.id == QELCertAttr_IPAddress)
            s = qelAddGeneralName(codec, 7, value, a.length, names.get());
        else if (a.id == QELCertAttr_Extension) {
            Held<ASN1_Extension, asn1Free_Extension> extension(codec);
            std::int32_t err = 0;
            const std::uint64_t used = asn1Unpack_Extension(codec, extension.out(), value, a.length, &err);
            if (err == ASN1Error_OutOfMemory)
                return QELError_OutOfMemory;
            if (err != 0 || used != a.length || extension.get() == nullptr)
                return QELError_PKIRequestFailed;
            if (asn1AppendElement(codec, extension.get(), extensions) != 0)
                return QELError_OutOfMemory;
            extension.release();
        }
        if (s != 0)
            return s;
    }
    if (names->count == 0)
        return 0;
    CodecBlock der(codec);
    const std::int32_t packed =
        packRecord(&der.data, &der.length, names.get(), codec, asn1Sizeof_GeneralNames, asn1Pack_GeneralNames);
    if (packed != 0)
        return packed == QELPKIError_OutOfMemory ? QELError_OutOfMemory : QELError_ASN1Error;
    Held<ASN1_Extension, asn1Free_Extension> altName(codec, asn1New_Extension(codec));
    static constexpr std::uint8_t kSubjectAltName[] = {0x55, 0x1D, 0x11};
    if (altName.get() == nullptr ||
        asn1SetOctetString(codec, &altName->extnID, kSubjectAltName, sizeof kSubjectAltName) != 0)
        return QELError_OutOfMemory;
    altName->extnValue.length = der.length;
    altName->extnValue.data = der.release();
    if (asn1AppendElement(codec, altName.get(), extensions) != 0)
        return QELError_OutOfMemory;
    altName.release();
    return 0;
}

QELStatus qelExtensionsFromAttributes(QELContext *context, const QELCertAttribute *attributes, std::uint32_t count,
                                      std::uint8_t **outDER, std::uint64_t *outLength)
{
    if (outDER == nullptr || outLength == nullptr || (attributes == nullptr && count != 0))
        return QELError_BadParams;
    *outDER = nullptr;
    *outLength = 0;
    QELPKISDKToolkit toolkit(context);
    if (toolkit.get() == nullptr)
        return QELError_PKIContextFailed;
    Held<ASN1_Extensions, asn1Free_Extensions> extensions(toolkit.codec(), asn1New_Extensions(toolkit.codec()));
    if (extensions.get() == nullptr)
        return QELError_OutOfMemory;
    const QELStatus s = qelBuildAttributeExtensions(attributes, count, toolkit.get(), extensions.get());
    if (s != 0 || extensions->count == 0)
        return s;
    CodecBlock der(toolkit.codec());
    const std::int32_t packed = packRecord(&der.data, &der.length, extensions.get(), toolkit.codec(),
                                           asn1Sizeof_Extensions, asn1Pack_Extensions);
    if (packed != 0)
        return packed == QELPKIError_OutOfMemory ? QELError_OutOfMemory : QELError_ASN1Error;
    return handOut(der, outDER, outLength);
}
