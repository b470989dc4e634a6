// Key filters: construction, reference counting, combination and the four
// query writers (key-server LDAP schema, plain directory schema, HTTP key
// server, hex digests).
#include "qelKeyFilterInternal.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelKeyIDInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyProperty.h"
#include "qelMemoryInternal.h"
#include "qelTimeDateInternal.h"
#include "qelUtilitiesInternal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr int kData = 0, kNumber = 1, kTime = 2, kBool = 3;

bool isDataKind(std::int32_t kind)
{
    return kind == QELKeyFilterType_KeyData || kind == QELKeyFilterType_UserIDData ||
           kind == QELKeyFilterType_SigData || kind == QELKeyFilterType_SubKeyData;
}

void destroy(QELKeyFilter *filter)
{
    QELContext *context = filter->context;
    switch (filter->kind) {
    case QELKeyFilterType_Not:
        static_cast<void>(qelKeyFilterRelease(filter->first.operand)); // a filter we own
        break;
    case QELKeyFilterType_And:
    case QELKeyFilterType_Or:
        static_cast<void>(qelKeyFilterRelease(filter->first.operand));  // filters we own
        static_cast<void>(qelKeyFilterRelease(filter->second.operand));
        break;
    default:
        if (isDataKind(filter->kind) && filter->second.data != nullptr)
            static_cast<void>(qelContextMemFree(context, filter->second.data)); // our copy
        break;
    }
    std::memset(filter, 0, sizeof *filter);
    static_cast<void>(qelContextMemFree(context, filter)); // our record
}

QELStatus newProperty(QELContext *context, std::int32_t property, int valueKind, std::int32_t criterion,
                      QELKeyFilter **outFilter)
{
    QEL_ENTER(outFilter);
    if (outFilter == nullptr || !qelContextIsValid(context))
        return QELError_BadParams;
    QELKeyFilter *f = nullptr;
    if (QELStatus s = qelKeyFilterNew(context, qelKeyFilterKindFor(property, valueKind), criterion, &f);
        s != QELError_NoErr)
        return s;
    f->first.property = property;
    *outFilter = f;
    return QELError_NoErr;
}

// NOT, AND, OR: the operands' references pass to the new filter, and are
// given up on every failure after the entry check.
QELStatus combine(std::int32_t kind, QELKeyFilter *a, QELKeyFilter *b, QELKeyFilter **outFilter)
{
    QEL_ENTER(outFilter);
    const bool binary = kind != QELKeyFilterType_Not;
    auto giveUp = [&](QELStatus s) {
        if (qelKeyFilterIsValid(a))
            static_cast<void>(qelKeyFilterRelease(a)); // the caller's reference, now ours
        if (binary && qelKeyFilterIsValid(b))
            static_cast<void>(qelKeyFilterRelease(b));
        return s;
    };
    if (outFilter == nullptr || !qelKeyFilterIsValid(a) || (binary && !qelKeyFilterIsValid(b)))
        return giveUp(QELError_BadParams);
    QELKeyFilter *f = nullptr;
    if (QELStatus s = qelKeyFilterNew(a->context, kind, QELMatchCriterion_Equal, &f); s != QELError_NoErr)
        return giveUp(s);
    f->first.operand = a;
    if (binary)
        f->second.operand = b;
    *outFilter = f;
    return QELError_NoErr;
}

// The filter's data as a key ID; false unless it holds a whole, valid one.
bool dataAsKeyID(const QELKeyFilter *f, QELKeyID &out)
{
    if (f->second.data == nullptr || f->dataLength < sizeof(QELKeyID))
        return false;
    std::memcpy(&out, f->second.data, sizeof out);
    return qelKeyIDIsValid(&out);
}

std::string hexUpper(const std::uint8_t *bytes, std::size_t length)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(2 * length);
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 15]);
    }
    return out;
}

// "%4d%02d%02d%02d%02d%02dZ" of a time in UTC.
std::string timeText(QELTime time)
{
    std::time_t t = std::time_t(qelTimeDateToPlatform(time));
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr)
        return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%4d%02d%02d%02d%02d%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string format(const char *fmt, const std::string &a)
{
    // Every format here holds one, two or three %s of the same value.
    std::string out;
    for (const char *p = fmt; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += a;
            ++p;
        } else {
            out.push_back(*p);
        }
    }
    return out;
}

enum class Schema { KeyServer, Directory };

struct LDAPWriter {
    Schema schema;
    std::string text;
    bool disabledTested = false;

    QELStatus term(const QELKeyFilter *f)
    {
        switch (f->kind) {
        case QELKeyFilterType_Not:
            text += "(!";
            if (QELStatus s = term(f->first.operand); s != QELError_NoErr)
                return s;
            text += ")";
            return QELError_NoErr;
        case QELKeyFilterType_And:
        case QELKeyFilterType_Or:
            text += f->kind == QELKeyFilterType_And ? "(&" : "(|";
            if (QELStatus s = term(f->first.operand); s != QELError_NoErr)
                return s;
            if (QELStatus s = term(f->second.operand); s != QELError_NoErr)
                return s;
            text += ")";
            return QELError_NoErr;
        default:
            return schema == Schema::KeyServer ? keyServerTerm(f) : directoryTerm(f);
        }
    }

    // A user-ID value with the wildcard the criterion asks for.
    std::string userIDValue(const QELKeyFilter *f) const
    {
        return qelLDAPEscape(f->second.data, std::size_t(f->dataLength));
    }
    bool isBareWildcard(const QELKeyFilter *f) const
    {
        return f->dataLength == 0 || (f->dataLength == 1 && f->second.data[0] == '*');
    }

    QELStatus keyIDTerm(const QELKeyFilter *f, const char *fmt4, const char *fmt8)
    {
        QELKeyID id;
        if (!dataAsKeyID(f, id))
            return QELError_BadParams;
        std::string hex = hexUpper(qelKeyIDAtBytes(&id), qelKeyIDLength(&id));
        text += format(qelKeyIDLength(&id) == 4 ? fmt4 : fmt8, hex);
        return QELError_NoErr;
    }

    QELStatus rangeTerm(std::int32_t criterion, const char *eq, const char *ge, const char *le, const std::string &v)
    {
        switch (criterion) {
        case QELMatchCriterion_Equal:
            text += format(eq, v);
            return QELError_NoErr;
        case QELMatchCriterion_GreaterOrEqual:
            text += format(ge, v);
            return QELError_NoErr;
        case QELMatchCriterion_LessOrEqual:
            text += format(le, v);
            return QELError_NoErr;
        default:
            return QELError_BadFilterCriterion;
        }
    }

    QELStatus keyServerTerm(const QELKeyFilter *f)
    {
        const std::int32_t p = f->first.property;
        switch (f->kind) {
        case QELKeyFilterType_KeyData:
            if (p == QELProperty_KeyID)
                return keyIDTerm(f, "(qelKeyID=%s)", "(qelCertID=%s)");
            return QELError_NoErr;
        case QELKeyFilterType_KeyNumber:
        case QELKeyFilterType_SubKeyNumber:
            if ((f->kind == QELKeyFilterType_KeyNumber && p == QELProperty_Algorithm) ||
                (f->kind == QELKeyFilterType_SubKeyNumber && p == QELProperty_SubKeyAlgorithm)) {
                const std::int32_t v = f->value.number;
                if (v >= 1 && v <= 3)
                    text += "(qelKeyType=RSA)";
                else if (v == 16 || v == 17)
                    text += "(qelKeyType=DSS/DH)";
                else
                    return QELError_BadFilterCriterion;
                return QELError_NoErr;
            }
            if (f->kind == QELKeyFilterType_KeyNumber && p == QELProperty_Bits) {
                char v[16];
                std::snprintf(v, sizeof v, "%05d", f->value.number);
                return rangeTerm(f->criterion, "(qelKeySize=%s)", "(|(qelKeySize>=%s)(qelKeySize=%s))",
                                 "(|(qelKeySize<=%s)(qelKeySize=%s))", v);
            }
            return QELError_NoErr;
        case QELKeyFilterType_KeyTime:
            if (f->value.time == 0 || (p != QELProperty_Creation && p != QELProperty_Expiration))
                return QELError_NoErr;
            if (p == QELProperty_Creation)
                return rangeTerm(f->criterion, "(qelKeyCreateTime=%s)",
                                 "(|(qelKeyCreateTime>=%s)(qelKeyCreateTime=%s))",
                                 "(|(qelKeyCreateTime<=%s)(qelKeyCreateTime=%s))", timeText(f->value.time));
            return rangeTerm(f->criterion, "(qelKeyExpireTime=%s)", "(|(qelKeyExpireTime>=%s)(qelKeyExpireTime=%s))",
                             "(|(qelKeyExpireTime<=%s)(qelKeyExpireTime=%s))", timeText(f->value.time));
        case QELKeyFilterType_KeyBool: {
            const std::string v = std::to_string(int(f->value.truth));
            if (p == QELProperty_IsRevoked) {
                text += "(qelRevoked=" + v + ")";
            } else if (p == QELProperty_IsDisabled) {
                text += "(qelDisabled=" + v + ")";
                disabledTested = true;
            }
            return QELError_NoErr;
        }
        case QELKeyFilterType_UserIDData:
            if (p == QELProperty_UserIDName) {
                if (f->criterion == QELMatchCriterion_Contains)
                    text += isBareWildcard(f) ? std::string("(qelUserID=*)") : "(qelUserID=*" + userIDValue(f) + "*)";
                else
                    text += "(qelUserID=" + userIDValue(f) + ")";
            } else if (p == QELProperty_UserIDEmail) {
                if (f->criterion == QELMatchCriterion_Contains)
                    text += "(qelUserID=*<*" + userIDValue(f) + "*>*)";
                else
                    text += "(qelUserID=*<" + userIDValue(f) + ">*)";
            }
            return QELError_NoErr;
        case QELKeyFilterType_SigData:
            if (p == QELProperty_SigSignerKeyID)
                return keyIDTerm(f, "(qelSignerID=%s)", "(qelSignerID=%s)");
            return QELError_NoErr;
        case QELKeyFilterType_SubKeyData:
            if (p == QELProperty_SubKeyID)
                return keyIDTerm(f, "(qelSubKeyID=%s)", "(qelSubKeyID=%s)");
            return QELError_NoErr;
        default:
            return QELError_BadFilterType;
        }
    }

    QELStatus directoryTerm(const QELKeyFilter *f)
    {
        if (f->kind >= QELKeyFilterType_KeyData && f->kind <= QELKeyFilterType_KeyBool)
            return QELError_FilterNotSupportedBySchema;
        if (f->kind != QELKeyFilterType_UserIDData)
            return QELError_BadFilterType;
        if (f->first.property != QELProperty_UserIDName)
            return QELError_NoErr;
        if (f->criterion == QELMatchCriterion_Contains)
            text += isBareWildcard(f) ? std::string("(cn=*)") : "(cn=*" + userIDValue(f) + "*)";
        else
            text += "(cn=" + userIDValue(f) + ")";
        return QELError_NoErr;
    }
};

// Copies a text into a block of the filter's context's memory manager.
QELStatus hand(const QELKeyFilter *f, const std::string &text, char **outText)
{
    auto *out = static_cast<char *>(qelMemAlloc(qelContextGetMemoryMgr(f->context), text.size() + 1, 0));
    if (out == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(out, text.c_str(), text.size() + 1);
    *outText = out;
    return QELError_NoErr;
}

QELStatus writeLDAP(QELKeyFilter *filter, char **outText, Schema schema)
{
    QEL_ENTER(outText);
    if (outText == nullptr || !qelKeyFilterIsValid(filter))
        return QELError_BadParams;
    try {
        LDAPWriter w{schema, {}};
        if (QELStatus s = w.term(filter); s != QELError_NoErr)
            return s;
        if (schema == Schema::KeyServer && !w.disabledTested)
            w.text = "(&" + w.text + "(qelDisabled=0))";
        return hand(filter, w.text, outText);
    } catch (...) {
        return QELError_OutOfMemory;
    }
}

} // namespace

std::int32_t qelKeyFilterKindFor(std::int32_t property, int valueKind)
{
    std::int32_t base = QELKeyFilterType_KeyData;
    if (property >= 1300)
        base = QELKeyFilterType_SigData;
    else if (property >= 900)
        base = QELKeyFilterType_UserIDData;
    else if (property >= 500)
        base = QELKeyFilterType_SubKeyData;
    return base + valueKind;
}

QELStatus qelKeyFilterNew(QELContext *context, std::int32_t kind, std::int32_t criterion, QELKeyFilter **outFilter)
{
    if (outFilter == nullptr)
        return QELError_BadParams;
    *outFilter = nullptr;
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    auto *f = static_cast<QELKeyFilter *>(qelContextMemAlloc(context, sizeof(QELKeyFilter), QELMemFlag_Clear));
    if (f == nullptr)
        return QELError_OutOfMemory;
    f->magic = QELKeyFilterMagic;
    f->context = context;
    f->refCount = 1;
    f->kind = kind;
    f->criterion = criterion;
    *outFilter = f;
    return QELError_NoErr;
}

bool qelKeyFilterIsValid(const QELKeyFilter *filter)
{
    return filter != nullptr && filter->magic == QELKeyFilterMagic;
}

void qelKeyFilterClearCache(QELKeyFilter *filter)
{
    if (!qelKeyFilterIsValid(filter))
        return;
    filter->cachedKey = nullptr;
    filter->cachedResult = 0;
    if (filter->kind == QELKeyFilterType_Not) {
        qelKeyFilterClearCache(filter->first.operand);
    } else if (filter->kind == QELKeyFilterType_And || filter->kind == QELKeyFilterType_Or) {
        qelKeyFilterClearCache(filter->first.operand);
        qelKeyFilterClearCache(filter->second.operand);
    }
}

std::string qelLDAPEscape(const std::uint8_t *value, std::size_t length)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t c = value[i];
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == 0) {
            out.push_back('\\');
            out.push_back(kDigits[c >> 4]);
            out.push_back(kDigits[c & 15]);
        } else {
            out.push_back(char(c));
        }
    }
    return out;
}

std::string qelURLEscape(const std::uint8_t *value, std::size_t length)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < length && value[i] != 0; ++i) {
        const std::uint8_t c = value[i];
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') {
            out.push_back(char(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            out.push_back('%');
            out.push_back(kDigits[c >> 4]);
            out.push_back(kDigits[c & 15]);
        }
    }
    return out;
}

QELStatus qelKeyFilterNewBoolProperty(QELContext *context, std::int32_t property, std::uint8_t value,
                                      QELKeyFilter **outFilter)
{
    QELStatus s = newProperty(context, property, kBool, QELMatchCriterion_Equal, outFilter);
    if (s == QELError_NoErr)
        (*outFilter)->value.truth = value;
    return s;
}

QELStatus qelKeyFilterNewNumberProperty(QELContext *context, std::int32_t property, std::int32_t value,
                                        std::int32_t criterion, QELKeyFilter **outFilter)
{
    QELStatus s = newProperty(context, property, kNumber, criterion, outFilter);
    if (s == QELError_NoErr)
        (*outFilter)->value.number = value;
    return s;
}

QELStatus qelKeyFilterNewTimeProperty(QELContext *context, std::int32_t property, QELTime time, std::int32_t criterion,
                                      QELKeyFilter **outFilter)
{
    QELStatus s = newProperty(context, property, kTime, criterion, outFilter);
    if (s == QELError_NoErr)
        (*outFilter)->value.time = time;
    return s;
}

QELStatus qelKeyFilterNewDataProperty(QELContext *context, std::int32_t property, const void *data, std::size_t length,
                                      std::int32_t criterion, QELKeyFilter **outFilter)
{
    if (data == nullptr && length != 0) {
        if (outFilter != nullptr)
            *outFilter = nullptr;
        return QELError_BadParams;
    }
    QELStatus s = newProperty(context, property, kData, criterion, outFilter);
    if (s != QELError_NoErr)
        return s;
    QELKeyFilter *f = *outFilter;
    // The copy is exactly as long as the caller's data; readers never go past it.
    f->second.data = static_cast<std::uint8_t *>(qelContextMemAlloc(context, length != 0 ? length : 1, 0));
    if (f->second.data == nullptr) {
        destroy(f);
        *outFilter = nullptr;
        return QELError_OutOfMemory;
    }
    if (length != 0)
        std::memcpy(f->second.data, data, length);
    f->dataLength = length;
    return QELError_NoErr;
}

QELStatus qelKeyFilterNot(QELKeyFilter *filter, QELKeyFilter **outFilter)
{
    return combine(QELKeyFilterType_Not, filter, nullptr, outFilter);
}

QELStatus qelKeyFilterAnd(QELKeyFilter *a, QELKeyFilter *b, QELKeyFilter **outFilter)
{
    return combine(QELKeyFilterType_And, a, b, outFilter);
}

QELStatus qelKeyFilterOr(QELKeyFilter *a, QELKeyFilter *b, QELKeyFilter **outFilter)
{
    return combine(QELKeyFilterType_Or, a, b, outFilter);
}

QELStatus qelKeyFilterAddRef(QELKeyFilter *filter)
{
    if (!qelKeyFilterIsValid(filter))
        return QELError_BadParams;
    QEL_ENTER();
    ++filter->refCount;
    return QELError_NoErr;
}

QELStatus qelKeyFilterRelease(QELKeyFilter *filter)
{
    if (!qelKeyFilterIsValid(filter))
        return QELError_BadParams;
    QEL_ENTER();
    if (--filter->refCount <= 0)
        destroy(filter);
    return QELError_NoErr;
}

QELStatus qelKeyFilterSetOwnLevel(QELKeyFilter *filter, std::uint8_t ownLevel)
{
    if (!qelKeyFilterIsValid(filter))
        return QELError_BadParams;
    QEL_ENTER();
    filter->ownLevel = ownLevel;
    return QELError_NoErr;
}

QELStatus qelKeyFilterToLDAPQuery(QELKeyFilter *filter, char **outText)
{
    return writeLDAP(filter, outText, Schema::KeyServer);
}

QELStatus qelKeyFilterToDirectoryQuery(QELKeyFilter *filter, char **outText)
{
    return writeLDAP(filter, outText, Schema::Directory);
}

QELStatus qelKeyFilterToHTTPQuery(QELKeyFilter *filter, char **outText)
{
    QEL_ENTER(outText);
    if (outText == nullptr || !qelKeyFilterIsValid(filter))
        return QELError_BadParams;
    try {
        std::string text = "exact=off&search=";
        switch (filter->kind) {
        case QELKeyFilterType_KeyData: {
            QELKeyID id;
            if (!dataAsKeyID(filter, id))
                return QELError_BadParams;
            const std::uint8_t length = qelKeyIDLength(&id);
            const std::uint8_t *bytes = qelKeyIDAtBytes(&id);
            text += "0x" + hexUpper(bytes + (length == 8 ? 4 : 0), 4);
            break;
        }
        case QELKeyFilterType_UserIDData:
            if (filter->criterion != QELMatchCriterion_Contains)
                return QELError_FilterNotSupportedByHTTP;
            text += qelURLEscape(filter->second.data, std::size_t(filter->dataLength));
            break;
        case QELKeyFilterType_KeyNumber:
        case QELKeyFilterType_KeyBool:
        case QELKeyFilterType_Not:
        case QELKeyFilterType_And:
        case QELKeyFilterType_Or:
            return QELError_FilterNotSupportedByHTTP;
        default:
            return QELError_BadFilterType;
        }
        return hand(filter, text, outText);
    } catch (...) {
        return QELError_OutOfMemory;
    }
}

QELStatus qelKeyFilterToHexQuery(QELKeyFilter *filter, char **outText)
{
    QEL_ENTER(outText);
    if (outText == nullptr || !qelKeyFilterIsValid(filter))
        return QELError_BadParams;
    if (filter->kind != QELKeyFilterType_KeyData ||
        (filter->first.property != QELProperty_Fingerprint && filter->first.property != QELProperty_PublicKeyInfoDigest))
        return QELError_FilterNotExpressible;
    try {
        std::string text = filter->first.property == QELProperty_Fingerprint ? "md5=" : "cnk=";
        text += hexUpper(filter->second.data, std::size_t(filter->dataLength));
        return hand(filter, text, outText);
    } catch (...) {
        return QELError_OutOfMemory;
    }
}

// ---- evaluation ------------------------------------------------------------------------

namespace {

bool compareNumber(std::int32_t criterion, std::int32_t p, std::int32_t v)
{
    switch (criterion) {
    case QELMatchCriterion_Equal: return p == v;
    case QELMatchCriterion_GreaterOrEqual: return p >= v;
    case QELMatchCriterion_LessOrEqual: return p <= v;
    default: return false;
    }
}

bool compareTime(std::int32_t criterion, std::int32_t property, QELTime p, QELTime v)
{
    if (p == v)
        return true;
    if (criterion == QELMatchCriterion_Equal)
        return false;
    bool before = p <= v;
    if (property == QELProperty_Expiration || property == QELProperty_SubKeyExpiration) {
        // 0 is "never": nothing lies after it, and it lies after every time.
        if (v == 0)
            before = true;
        else if (p == 0)
            before = false;
    }
    return criterion == QELMatchCriterion_GreaterOrEqual ? !before : before;
}

// Case-insensitive search of the filter's bytes in the property's; a NUL in
// either ends the text that can match.
bool containsNoCase(const std::uint8_t *text, std::size_t n, const std::uint8_t *part, std::size_t l)
{
    if (l > n)
        return false;
    l = std::size_t(std::find(part, part + l, 0) - part);
    n = std::size_t(std::find(text, text + n, 0) - text);
    if (l == 0)
        return true;
    auto lower = [](std::uint8_t c) { return std::uint8_t(qelCharToLower(char(c))); };
    for (std::size_t i = 0; i + l <= n; ++i) {
        std::size_t j = 0;
        while (j < l && lower(text[i + j]) == lower(part[j]))
            ++j;
        if (j == l)
            return true;
    }
    return false;
}

bool compareData(const QELKeyFilter *f, const std::uint8_t *p, std::size_t n)
{
    const std::int32_t property = f->first.property;
    if (property == QELProperty_KeyID || property == QELProperty_SubKeyID ||
        property == QELProperty_SigSignerKeyID) {
        // Only whole IDs on both sides are read.
        if (f->dataLength != sizeof(QELKeyID) || n != sizeof(QELKeyID))
            return false;
        QELKeyID a{}, b{};
        std::memcpy(&a, f->second.data, sizeof a);
        std::memcpy(&b, p, sizeof b);
        return qelKeyIDEqual(a, b);
    }
    if (f->criterion == QELMatchCriterion_Equal)
        return n == f->dataLength && (n == 0 || std::memcmp(p, f->second.data, n) == 0);
    return containsNoCase(p, n, f->second.data, std::size_t(f->dataLength));
}

// The filter's property on one object; a property that cannot be read does
// not match.
bool propertyMatches(const QELKeyFilter *f, QELKeyObject *object, int valueKind)
{
    const std::uint32_t property = std::uint32_t(f->first.property);
    switch (valueKind) {
    case 3: {
        std::uint8_t v = 0;
        return qelKeyObjBoolPropertyLocal(object, property, &v) == QELError_NoErr && (v != 0) == (f->value.truth != 0);
    }
    case 1: {
        std::int32_t v = 0;
        return qelKeyObjNumberPropertyLocal(object, property, &v) == QELError_NoErr &&
               compareNumber(f->criterion, v, f->value.number);
    }
    case 2: {
        std::uint32_t v = 0;
        return qelKeyObjTimePropertyLocal(object, property, &v) == QELError_NoErr &&
               compareTime(f->criterion, f->first.property, v, f->value.time);
    }
    default: {
        void *bytes = nullptr;
        std::size_t n = 0;
        if (qelKeyObjDataPropertyAllocLocal(object, property, &bytes, &n) != QELError_NoErr)
            return false;
        const bool r = compareData(f, static_cast<const std::uint8_t *>(bytes), n);
        static_cast<void>(qelContextMemFree(qelKeyObjContext(object), bytes)); // the getter's copy
        return r;
    }
    }
}

// Kinds 50..65 in groups of four: key, user ID, signature, subkey; within a
// group data, number, time, boolean.
bool evaluate(QELKeyFilter *f, QELKeyObject *object, QELKeyObject *key)
{
    switch (f->kind) {
    case QELKeyFilterType_Not: return !qelKeyFilterMatch(f->first.operand, object);
    case QELKeyFilterType_And:
        return qelKeyFilterMatch(f->first.operand, object) && qelKeyFilterMatch(f->second.operand, object);
    case QELKeyFilterType_Or:
        return qelKeyFilterMatch(f->first.operand, object) || qelKeyFilterMatch(f->second.operand, object);
    default: break;
    }
    if (f->kind < QELKeyFilterType_KeyData || f->kind > QELKeyFilterType_SubKeyBool)
        return false;
    const int group = (f->kind - QELKeyFilterType_KeyData) / 4;
    const int valueKind = (f->kind - QELKeyFilterType_KeyData) % 4;
    if (group == 0)
        return propertyMatches(f, key, valueKind);
    if (f->kind == QELKeyFilterType_UserIDTime)
        return false; // user IDs have no times
    const int wanted = group == 1 ? QELObjectType_UserID : group == 3 ? QELObjectType_SubKey : QELObjectType_Signature;
    if (f->ownLevel) {
        for (QELKeyObject *o = object; o != nullptr && o != key; o = static_cast<QELKeyObject *>(qelKeyObjParent(o)))
            if (qelKeyObjType(o) == wanted)
                return propertyMatches(f, o, valueKind);
    }
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLive(c))
            continue;
        if (wanted != QELObjectType_Signature) {
            if (qelKeyObjType(c) == wanted && propertyMatches(f, c, valueKind))
                return true;
            continue;
        }
        for (QELKeyObject *s = c->firstChild; s != nullptr; s = s->next)
            if (qelKeyObjIsLive(s) && qelKeyObjType(s) == QELObjectType_Signature && propertyMatches(f, s, valueKind))
                return true;
    }
    return false;
}

} // namespace

bool qelKeyFilterMatch(QELKeyFilter *filter, QELKeyObject *object)
{
    if (!qelKeyFilterIsValid(filter) || !qelKeyObjIsValid(object))
        return false;
    QELKeyObject *key = qelKeyObjTopKey(object);
    if (key == nullptr)
        return false;
    const bool isKey = object == key;
    if (!isKey && filter->cachedKey == key) {
        if (!filter->ownLevel)
            return filter->cachedResult != 0;
        if (!filter->cachedResult)
            return false;
    }
    const bool result = evaluate(filter, object, key);
    if (isKey) {
        filter->cachedKey = key;
        filter->cachedResult = result ? 1 : 0;
    }
    return result;
}
