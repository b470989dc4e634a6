// CA enrolment requests and the web-form body. Every form value is tested
// octet by octet against its field's character set before it is encoded,
// so a value never adds a field of its own to the body.
#include "qelPKIEnrolRequestInternal.h"

#include <cstring>
#include <string>
#include <vector>

#include "asn1Enrol.h"
#include "qelHelpers.h"
#include "qelOptionList.h"
#include "qelPKICertificateInternal.h"
#include "qelPKIEnrolNameInternal.h"
#include "qelPKIKeyInfoInternal.h"
#include "qelPKINameInternal.h"
#include "qelPKIRequestInternal.h"
#include "qelPKISDKInternal.h"

using qel::pki::CodecBlock;
using qel::pki::Held;
using qel::pki::packRecord;

namespace {

using u8 = std::uint8_t;

constexpr u8 kExtensionRequestOID[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x0E};
constexpr u8 kChallengePasswordOID[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x07};
constexpr std::uint64_t kChallengeMaximum = 32;
constexpr std::int32_t kRequestVersion = 0;

enum class Rule { None, CertType, YesNo, AtMost32, YesNoPending };

struct Row {
    const char *name;
    bool required;
    Rule rule;
    bool mail; // the e-mail character set instead of the default one
};

constexpr Row kEndUser[] = {
    {"corp_company", true, Rule::None, false},   {"org_unit", true, Rule::None, false},
    {"cert_type", true, Rule::CertType, false},  {"common_name", false, Rule::None, false},
    {"mail_firstName", false, Rule::None, false}, {"mail_middleName", false, Rule::None, false},
    {"mail_lastName", false, Rule::None, false}, {"embed_email", false, Rule::YesNo, false},
    {"mail_email", true, Rule::None, true},      {"jobTitle", false, Rule::None, false},
    {"employeeID", false, Rule::None, false},    {"mailStop", false, Rule::None, false},
    {"additional_field4", false, Rule::None, false}, {"additional_field5", false, Rule::None, false},
    {"additional_field6", false, Rule::None, false}, {"challenge", true, Rule::AtMost32, false},
    {"authenticate", false, Rule::YesNoPending, false}, {"onsite_token", false, Rule::None, false},
};
constexpr Row kIPsec[] = {
    {"corp_company", true, Rule::None, false},   {"org_unit", true, Rule::None, false},
    {"cert_type", true, Rule::CertType, false},  {"common_name", false, Rule::None, false},
    {"embed_email", false, Rule::None, false},   {"mail_email", true, Rule::None, true},
    {"challenge", true, Rule::AtMost32, false},  {"authenticate", false, Rule::YesNoPending, false},
    {"onsite_token", false, Rule::None, false},
};
constexpr Row kServer[] = {
    {"corp_company", true, Rule::None, false},  {"org_unit", true, Rule::None, false},
    {"cert_type", true, Rule::CertType, false}, {"challenge", true, Rule::AtMost32, false},
    {"authenticate", false, Rule::YesNoPending, false}, {"onsite_token", false, Rule::None, false},
};

struct Table {
    const Row *rows;
    std::size_t count;
    const char *word;
};
constexpr Table kTables[] = {
    {kEndUser, std::size(kEndUser), "end-user"},
    {kIPsec, std::size(kIPsec), "ipsec"},
    {kServer, std::size(kServer), "server"},
};

// Field names by attribute id; 1001 (the embed flag) is handled apart.
struct FieldName {
    std::int32_t id;
    const char *name;
};
constexpr FieldName kFieldNames[] = {
    {QELCertAttr_CommonName, "common_name"},      {QELCertAttr_Email, "mail_email"},
    {QELCertAttr_Organization, "corp_company"},   {QELCertAttr_OrganizationalUnit, "org_unit"},
    {QELCertAttr_Title, "jobTitle"},              {QELCertAttr_OnsiteToken, "onsite_token"},
    {QELCertAttr_Challenge, "challenge"},         {QELCertAttr_CertType, "cert_type"},
    {QELCertAttr_MailFirstName, "mail_firstName"}, {QELCertAttr_MailMiddleName, "mail_middleName"},
    {QELCertAttr_MailLastName, "mail_lastName"},  {QELCertAttr_EmployeeID, "employeeID"},
    {QELCertAttr_MailStop, "mailStop"},           {QELCertAttr_AdditionalField4, "additional_field4"},
    {QELCertAttr_AdditionalField5, "additional_field5"}, {QELCertAttr_AdditionalField6, "additional_field6"},
    {QELCertAttr_Authenticate, "authenticate"},   {QELCertAttr_EmbedEmail, "embed_email"},
};

// A value matches a word when it is a beginning of the word with its
// terminating zero counted: the word itself, any prefix, the empty value.
bool matchesWord(const u8 *value, std::uint64_t length, const char *word)
{
    const std::size_t n = std::strlen(word) + 1;
    return length <= n && (length == 0 || std::memcmp(value, word, length) == 0);
}

int32_t checkRule(const Row &row, const Table &table, const QELFormField &field)
{
    switch (row.rule) {
    case Rule::CertType:
        return matchesWord(field.value, field.length, table.word) ? 0 : QELFormStatus_WrongCertType;
    case Rule::YesNo:
        return matchesWord(field.value, field.length, "yes") || matchesWord(field.value, field.length, "no")
                   ? 0
                   : QELFormStatus_NotYesNo;
    case Rule::AtMost32:
        return field.length <= kChallengeMaximum ? 0 : QELFormStatus_TooLong;
    case Rule::YesNoPending:
        return matchesWord(field.value, field.length, "yes") || matchesWord(field.value, field.length, "no") ||
                       matchesWord(field.value, field.length, "pending")
                   ? 0
                   : QELFormStatus_NotYesNoPending;
    case Rule::None:
        break;
    }
    return 0;
}

void freeBlock(ASN1Context *codec, void *block)
{
    if (block != nullptr)
        static_cast<void>(codec->allocator->free(codec->allocator, block));
}

// The URL-encoded value: "&+=%" as %XX, a space as '+', zero-terminated.
u8 *encodeValue(ASN1Context *codec, const QELFormField &field)
{
    std::uint64_t count = 0, capacity = field.length + 1;
    auto *buffer = static_cast<u8 *>(codec->allocator->alloc(codec->allocator, capacity));
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::uint64_t i = 0; buffer != nullptr && i < field.length; ++i) {
        const u8 c = field.value[i];
        if (c == '&' || c == '+' || c == '=' || c == '%') {
            buffer = qelFormAppendByte(codec, '%', buffer, &count, &capacity);
            if (buffer != nullptr)
                buffer = qelFormAppendByte(codec, static_cast<u8>(kHex[c >> 4]), buffer, &count, &capacity);
            if (buffer != nullptr)
                buffer = qelFormAppendByte(codec, static_cast<u8>(kHex[c & 0x0F]), buffer, &count, &capacity);
        } else {
            buffer = qelFormAppendByte(codec, c == ' ' ? static_cast<u8>('+') : c, buffer, &count, &capacity);
        }
    }
    if (buffer != nullptr)
        buffer = qelFormAppendByte(codec, 0, buffer, &count, &capacity);
    return buffer;
}

using OptionsHeld = qel::Owned<QELOptionList, qelOptionListFreePublic>;

QELStatus fromPKI(std::int32_t status, QELStatus otherwise)
{
    return status == QELPKIError_OutOfMemory ? QELError_OutOfMemory : otherwise;
}

// The challengePassword value: the first non-empty onsite token.
QELStatus addChallenge(const QELCertAttribute *attributes, std::uint32_t count, ASN1_Attributes *set,
                       QELPKIContext *toolkit)
{
    for (std::uint32_t i = 0; i < count; ++i) {
        const QELCertAttribute &a = attributes[i];
        if (a.id != QELCertAttr_OnsiteToken || a.length == 0)
            continue;
        ASN1_OctetString value{a.length, const_cast<u8 *>(a.value)};
        CodecBlock der(toolkit->codec);
        const std::int32_t packed = packRecord(&der.data, &der.length, &value, toolkit->codec, asn1Sizeof_OctetString,
                                               asn1Pack_PrintableString);
        if (packed != 0)
            return fromPKI(packed, QELError_ASN1Error);
        return qelPKIAttributesAdd(set, kChallengePasswordOID, sizeof kChallengePasswordOID, der.data, der.length,
                                   toolkit) == 0
                   ? 0
                   : QELError_PKIOperationFailed;
    }
    return 0;
}

// The form of the web-form class around the signed request.
QELStatus webForm(ASN1Context *codec, const QELCertAttribute *attributes, std::uint32_t count, CodecBlock &request)
{
    const QELCertAttribute *certType = nullptr;
    for (std::uint32_t i = 0; certType == nullptr && i < count; ++i)
        if (attributes[i].id == QELCertAttr_CertType)
            certType = &attributes[i];
    int type = -1;
    for (int t = 0; certType != nullptr && type < 0 && t < 3; ++t)
        if (matchesWord(certType->value, certType->length, kTables[t].word))
            type = t;
    if (type < 0)
        return QELError_EnrollmentFieldMissing;
    static constexpr u8 kYes[] = {'y', 'e', 's'}, kNo[] = {'n', 'o'};
    std::vector<QELFormField> fields;
    for (std::uint32_t i = 0; i < count; ++i) {
        const QELCertAttribute &a = attributes[i];
        for (const FieldName &f : kFieldNames) {
            if (f.id != a.id)
                continue;
            if (a.id == QELCertAttr_EmbedEmail) {
                const bool yes = (reinterpret_cast<std::uintptr_t>(a.value) & 0xFF) != 0;
                fields.push_back({f.name, yes ? sizeof kYes : sizeof kNo, yes ? kYes : kNo});
            } else {
                fields.push_back({f.name, a.length, a.value});
            }
        }
    }
    fields.push_back({nullptr, 0, nullptr});
    char *body = nullptr;
    const std::int32_t status = qelFormEncodeFields(codec, type, fields.data(), &body);
    if (status != 0)
        return qelFormStatusToError(status);
    CodecBlock wrapped(codec);
    const std::int32_t s = qelFormWrapRequest(codec, request.data, request.length, body, &wrapped.data, &wrapped.length);
    freeBlock(codec, body);
    if (s != 0)
        return QELError_PKIOperationFailed;
    request.reset();
    request.length = wrapped.length;
    request.data = wrapped.release();
    return 0;
}

QELStatus createRequest(QELContext *context, QELKeyObject *key, std::int32_t requestClass,
                        const QELCertAttribute *attributes, std::uint32_t count, OptionsHeld &options,
                        CodecBlock &out, QELPKISDKToolkit &toolkit)
{
    QELPKIContext *pki = toolkit.get();
    ASN1Context *codec = toolkit.codec();
    char *text = nullptr;
    QELStatus s = qelDNTextFromAttributes(qelContextGetMemoryMgr(context), requestClass, attributes, count, &text);
    if (s != 0)
        return s;
    qel::Owned<char, qelMemFree> textHeld(text);
    ASN1_Name *rawName = nullptr;
    if (qelPKINameNew(&rawName, pki) != 0)
        return QELError_PKIOperationFailed;
    Held<ASN1_Name, asn1Free_Name> name(codec, rawName);
    if (qelPKINameFromText(name.get(), text, pki) != 0)
        return QELError_PKIEncodeFailed;
    textHeld.reset();
    QELPublicKeyInfo info{};
    struct InfoHeld {
        QELPublicKeyInfo &info;
        ~InfoHeld() { qelPublicKeyInfoFree(&info); }
    } infoHeld{info};
    if ((s = qelKeyPublicKeyInfo(key, codec, &info)) != 0)
        return s;
    ASN1_Attributes *rawSet = nullptr;
    if (qelPKIAttributesNew(&rawSet, pki) != 0)
        return QELError_OutOfMemory;
    Held<ASN1_Attributes, asn1Free_Attributes> set(codec, rawSet);
    if (qelPKIAttributesAddSigningTime(set.get(), pki) != 0)
        return QELError_PKIOperationFailed;
    Held<ASN1_Extensions, asn1Free_Extensions> extensions(codec, asn1New_Extensions(codec));
    if (extensions.get() == nullptr)
        return QELError_OutOfMemory;
    if ((s = qelBuildAttributeExtensions(attributes, count, pki, extensions.get())) != 0)
        return s;
    if (extensions->count > 0) {
        CodecBlock der(codec);
        const std::int32_t packed =
            packRecord(&der.data, &der.length, extensions.get(), codec, asn1Sizeof_Extensions, asn1Pack_Extensions);
        if (packed != 0)
            return fromPKI(packed, QELError_ASN1Error);
        if (qelPKIAttributesAdd(set.get(), kExtensionRequestOID, sizeof kExtensionRequestOID, der.data, der.length,
                                pki) != 0)
            return QELError_PKIOperationFailed;
    }
    if (requestClass != kQELEnrolClassWebForm && (s = addChallenge(attributes, count, set.get(), pki)) != 0)
        return s;
    ASN1_CertificationRequest *rawRequest = nullptr;
    const std::int32_t created = qelPKIRequestCreate(
        &rawRequest, kRequestVersion, info.signatureAlgorithm, info.signatureAlgorithmLength, info.signatureParameters,
        info.signatureParametersLength, name.get(), info.algorithm, info.algorithmLength, info.publicKey,
        info.publicKeyLength, info.parameters, info.parametersLength, set.get(), pki);
    Held<ASN1_CertificationRequest, asn1Free_CertificationRequest> request(codec, rawRequest);
    if (created != 0 || qelPKIRequestEncode(&out.data, &out.length, request.get(), pki) != 0)
        return QELError_CertRequestFailed;
    options.reset();
    if (requestClass == kQELEnrolClassWebForm)
        return webForm(codec, attributes, count, out);
    return 0;
}

} // namespace

extern "C" {

int qelFormCharIsPrintable(uint8_t octet)
{
    if ((octet >= 'a' && octet <= 'z') || (octet >= 'A' && octet <= 'Z') || (octet >= '0' && octet <= '9') ||
        octet == ' ')
        return 1;
    return octet != 0 && std::strchr("'()+,-./:=?", octet) != nullptr ? 1 : 0;
}

int qelFormCharIsMail(uint8_t octet)
{
    if ((octet >= 'a' && octet <= 'z') || (octet >= 'A' && octet <= 'Z') || (octet >= '0' && octet <= '9'))
        return 1;
    return octet != 0 && std::strchr("@:_+-[]\".", octet) != nullptr ? 1 : 0;
}

uint8_t *qelFormAppendByte(ASN1Context *codec, uint8_t octet, uint8_t *buffer, uint64_t *count, uint64_t *capacity)
{
    if (codec == nullptr || count == nullptr || capacity == nullptr)
        return nullptr;
    if (*count >= *capacity) {
        void *block = buffer;
        if (codec->allocator->realloc(codec->allocator, &block, *capacity + 4) != 0) {
            freeBlock(codec, buffer);
            return nullptr;
        }
        buffer = static_cast<uint8_t *>(block);
        *capacity += 4;
    }
    if (buffer == nullptr)
        return nullptr;
    buffer[(*count)++] = octet;
    return buffer;
}

int32_t qelFormEncodeFields(ASN1Context *codec, int32_t certType, const QELFormField *fields, char **outBody)
{
    if (outBody == nullptr)
        return QELPKIError_InvalidArguments;
    *outBody = nullptr;
    if (codec == nullptr || fields == nullptr || certType < 0 || certType > 2)
        return QELPKIError_InvalidArguments;
    const Table &table = kTables[certType];
    for (std::size_t r = 0; r < table.count; ++r) {
        if (!table.rows[r].required)
            continue;
        bool present = false;
        for (const QELFormField *f = fields; !present && f->name != nullptr; ++f)
            present = std::strcmp(f->name, table.rows[r].name) == 0;
        if (!present)
            return QELFormStatus_MissingField;
    }
    char *body = nullptr;
    std::uint64_t used = 0;
    for (const QELFormField *f = fields; f->name != nullptr; ++f) {
        const Row *row = nullptr;
        for (std::size_t r = 0; row == nullptr && r < table.count; ++r)
            if (std::strcmp(f->name, table.rows[r].name) == 0)
                row = &table.rows[r];
        int32_t status = row == nullptr ? QELFormStatus_UnknownField : checkRule(*row, table, *f);
        for (std::uint64_t i = 0; status == 0 && i < f->length; ++i)
            if ((row->mail ? qelFormCharIsMail(f->value[i]) : qelFormCharIsPrintable(f->value[i])) == 0)
                status = QELFormStatus_BadCharacter;
        u8 *encoded = status == 0 ? encodeValue(codec, *f) : nullptr;
        if (status == 0 && encoded == nullptr)
            status = QELPKIError_OutOfMemory;
        if (status == 0) {
            const std::size_t nameLength = std::strlen(f->name);
            const std::size_t valueLength = std::strlen(reinterpret_cast<char *>(encoded));
            const std::uint64_t grown = used + (used != 0 ? 1 : 0) + nameLength + 1 + valueLength;
            void *block = body;
            if (codec->allocator->realloc(codec->allocator, &block, grown + 1) != 0 || block == nullptr) {
                status = QELPKIError_OutOfMemory;
            } else {
                body = static_cast<char *>(block);
                if (used != 0)
                    body[used++] = '&';
                std::memcpy(body + used, f->name, nameLength);
                used += nameLength;
                body[used++] = '=';
                std::memcpy(body + used, encoded, valueLength);
                used += valueLength;
                body[used] = 0;
            }
        }
        freeBlock(codec, encoded);
        if (status != 0) {
            freeBlock(codec, body);
            return status;
        }
    }
    if (body == nullptr) {
        body = static_cast<char *>(codec->allocator->alloc(codec->allocator, 1));
        if (body == nullptr)
            return QELPKIError_OutOfMemory;
        body[0] = 0;
    }
    *outBody = body;
    return 0;
}

int32_t qelFormWrapRequest(ASN1Context *codec, const uint8_t *request, uint64_t requestLength, const char *body,
                           uint8_t **out, uint64_t *outLength)
{
    if (out == nullptr || outLength == nullptr)
        return QELPKIError_InvalidArguments;
    *out = nullptr;
    *outLength = 0;
    if (codec == nullptr || request == nullptr || requestLength == 0)
        return QELPKIError_InvalidArguments;
    ASN1_EnrolFormRequest wrapper{};
    wrapper.request = ASN1_Any{requestLength, const_cast<uint8_t *>(request)};
    ASN1_OctetString fields{body != nullptr ? std::strlen(body) : 0,
                            reinterpret_cast<uint8_t *>(const_cast<char *>(body))};
    if (body != nullptr)
        wrapper.formFields = &fields;
    return packRecord(out, outLength, &wrapper, codec, asn1Sizeof_EnrolFormRequest, asn1Pack_EnrolFormRequest) == 0
               ? 0
               : QELPKIError_UnhandledCritical;
}

QELStatus qelFormStatusToError(int32_t status)
{
    static constexpr QELStatus kCodes[] = {
        QELError_EnrollmentStatus8,       QELError_EnrollmentStatus7, QELError_PKIOperationFailed,
        QELError_EnrollmentFieldMissing, QELError_EnrollmentStatus4, QELError_EnrollmentStatus3,
        QELError_PKIOperationFailed,      QELError_EnrollmentStatus1,
    };
    if (status < -8 || status > -1)
        return QELError_PKIOperationFailed;
    return kCodes[status + 8];
}

} // extern "C"

QELStatus qelCACreateEnrolmentRequest(QELContext *context, QELKeyObject *key, std::int32_t requestClass,
                                      const QELCertAttribute *attributes, std::uint32_t count, QELOptionList *options,
                                      std::uint8_t **out, std::uint64_t *outLength)
{
    OptionsHeld optionsHeld(options);
    if (out == nullptr || outLength == nullptr)
        return QELError_BadParams;
    *out = nullptr;
    *outLength = 0;
    if (context == nullptr || key == nullptr || (attributes == nullptr && count != 0))
        return QELError_BadParams;
    return qel::noThrow([&]() -> QELStatus {
        QELPKICallbackData signData{options, context, key};
        QELPKISDKToolkit toolkit(context, qelPKISDKSign, &signData);
        if (toolkit.get() == nullptr)
            return QELError_PKIContextFailed;
        CodecBlock request(toolkit.codec());
        const QELStatus s = createRequest(context, key, requestClass, attributes, count, optionsHeld, request, toolkit);
        if (s != 0)
            return s;
        *outLength = request.length;
        *out = request.release();
        return 0;
    });
}
