// OID, time and UTF-16 text helpers of the certificate toolkit.
//
// OID arcs are whole 64-bit numbers read from decimal digits only, and the
// text and octet forms are built in growing buffers, so no arc is truncated
// and no text can overrun a fixed area. Time texts are checked digit by digit
// and every field against its range before a date is computed; dates before
// 1970 give negative seconds.
#include "qelPKIConvertInternal.h"

#include <cstdio>
#include <ctime>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace qel::pki;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Dotted text to content octets; false for anything but decimal arcs.
bool oidTextToBytes(std::string_view text, std::vector<std::uint8_t> &out)
{
    out.clear();
    std::vector<std::uint64_t> arcs;
    std::size_t pos = 0;
    while (true) {
        const std::size_t dot = text.find('.', pos);
        const std::string_view arc = text.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        if (arc.empty())
            return false;
        std::uint64_t v = 0;
        for (char c : arc) {
            if (!isDigit(c))
                return false;
            const auto d = static_cast<std::uint64_t>(c - '0');
            if (v > (kMax - d) / 10)
                return false;
            v = v * 10 + d;
        }
        arcs.push_back(v);
        if (dot == std::string_view::npos)
            break;
        pos = dot + 1;
    }
    if (arcs.size() == 1)
        return arcs[0] <= 2; // a lone arc has no sub-identifier
    if (arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) || arcs[1] > kMax - arcs[0] * 40)
        return false;
    putSubidentifier(out, arcs[0] * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i)
        putSubidentifier(out, arcs[i]);
    return true;
}

// ---- times ----------------------------------------------------------------

bool isLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int daysInMonth(std::int64_t year, int month) { return kMonthDays[month] + (month == 1 && isLeap(year) ? 1 : 0); }

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, int m, int d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool fieldsValid(const QELPKITimeFields &f)
{
    const std::int64_t year = std::int64_t{f.year} + 1900;
    return year >= 0 && year <= 9999 && f.month >= 0 && f.month <= 11 && f.day >= 1 &&
           f.day <= daysInMonth(year, f.month) && f.hour >= 0 && f.hour <= 23 && f.minute >= 0 && f.minute <= 59 &&
           f.second >= 0 && f.second <= 59;
}

std::int64_t secondsOf(const QELPKITimeFields &f)
{
    return daysFromCivil(std::int64_t{f.year} + 1900, f.month + 1, f.day) * 86400 + f.hour * 3600 + f.minute * 60 +
           f.second;
}

bool digits(std::string_view s, std::size_t at, std::size_t count, int &value)
{
    if (at + count > s.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!isDigit(s[i]))
            return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

// The part after the minutes: optional seconds, optional fraction (only
// GeneralizedTime), then 'Z' or a differential +HHMM / -HHMM, and the end.
std::int64_t finishTime(std::string_view s, std::size_t pos, QELPKITimeFields f, bool fraction)
{
    if (pos < s.size() && isDigit(s[pos])) {
        if (!digits(s, pos, 2, f.second))
            return 0;
        pos += 2;
        if (fraction && pos < s.size() && s[pos] == '.') {
            ++pos;
            const std::size_t start = pos;
            while (pos < s.size() && isDigit(s[pos]))
                ++pos;
            if (pos == start)
                return 0;
        }
    }
    if (!fieldsValid(f) || pos >= s.size())
        return 0;
    std::int64_t differential = 0;
    if (s[pos] == 'Z') {
        ++pos;
    } else if (s[pos] == '+' || s[pos] == '-') {
        int hh = 0, mm = 0;
        if (!digits(s, pos + 1, 2, hh) || !digits(s, pos + 3, 2, mm) || hh > 23 || mm > 59)
            return 0;
        differential = (hh * 3600 + mm * 60) * (s[pos] == '-' ? -1 : 1);
        pos += 5;
    } else {
        return 0;
    }
    if (pos != s.size())
        return 0;
    return secondsOf(f) - differential;
}

std::string_view textOf(const ASN1_OctetString *r)
{
    if (r == nullptr || r->data == nullptr)
        return {};
    return {reinterpret_cast<const char *>(r->data), static_cast<std::size_t>(r->length)};
}

int32_t timeFromSeconds(ASN1_OctetString **out, std::int64_t seconds, QELPKIContext *context, bool utc)
{
    if (out == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *out = nullptr;
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (static_cast<std::int64_t>(t) != seconds || gmtime_r(&t, &tm) == nullptr)
        return QELPKIError_InvalidArguments;
    const std::int64_t year = std::int64_t{tm.tm_year} + 1900;
    // UTCTime holds 1950-2049 only; a GeneralizedTime four year digits.
    if (utc ? (year < 1950 || year > 2049) : (year < 0 || year > 9999))
        return QELPKIError_InvalidArguments;
    char buf[16];
    const std::size_t n = std::strftime(buf, sizeof buf, utc ? "%y%m%d%H%M%SZ" : "%Y%m%d%H%M%SZ", &tm);
    if (n != (utc ? 13u : 15u))
        return QELPKIError_InvalidArguments;
    ASN1_OctetString *r = asn1New_OctetString(context->codec);
    if (r == nullptr)
        return QELPKIError_OutOfMemory;
    if (asn1SetOctetString(context->codec, r, reinterpret_cast<const std::uint8_t *>(buf), n) != 0) {
        asn1Free_OctetString(context->codec, r);
        return QELPKIError_OutOfMemory;
    }
    *out = r;
    return 0;
}

// ---- UTF-8 and UTF-16 -----------------------------------------------------

// One UTF-8 sequence at p (at most avail octets): its length and value, or
// 0 when it is not the shortest form of a scalar value (surrogates and
// values above 0x10FFFF included).
int decodeUTF8(const std::uint8_t *p, std::uint64_t avail, bool allowFour, std::uint32_t &value)
{
    const std::uint8_t c = p[0];
    int len;
    std::uint32_t min;
    if (c < 0x80) {
        value = c;
        return 1;
    } else if (c >= 0xC0 && c <= 0xDF) {
        len = 2, min = 0x80, value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, min = 0x800, value = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4 && allowFour) {
        len = 4, min = 0x10000, value = c & 0x07;
    } else {
        return 0;
    }
    if (avail < static_cast<std::uint64_t>(len))
        return 0;
    for (int i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (p[i] & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return len;
}

uint64_t utf8ToUnits(const uint8_t *text, uint64_t limit, uint16_t *out, uint64_t room, uint64_t *count,
                     bool allowFour)
{
    std::uint64_t i = 0, units = 0;
    bool full = false, invalid = false;
    if (text != nullptr) {
        while (i < limit) {
            if (out != nullptr && units >= room) {
                full = true;
                break;
            }
            if (text[i] == 0)
                break;
            std::uint32_t v = 0;
            const int len = decodeUTF8(text + i, limit - i, allowFour, v);
            if (len == 0) {
                invalid = true;
                break;
            }
            if (v <= 0xFFFF) {
                if (out != nullptr)
                    out[units] = static_cast<std::uint16_t>(v);
                units += 1;
            } else {
                if (out != nullptr && units + 2 <= room) {
                    v -= 0x10000;
                    out[units] = static_cast<std::uint16_t>(0xD800 | (v >> 10));
                    out[units + 1] = static_cast<std::uint16_t>(0xDC00 | (v & 0x3FF));
                }
                units += 2;
            }
            i += static_cast<std::uint64_t>(len);
        }
    }
    if (invalid)
        units = 0;
    if (out != nullptr && !full && units < room)
        out[units] = 0;
    if (count != nullptr)
        *count = units;
    return i;
}

uint64_t unitsToUTF8(const uint16_t *units, uint64_t limit, uint8_t *out, uint64_t room, uint64_t *count, bool pair)
{
    std::uint64_t i = 0, n = 0;
    if (units == nullptr) {
        if (count != nullptr)
            *count = 0;
        return 0;
    }
    if (out == nullptr) {
        for (; i < limit && units[i] != 0; ++i) {
            const std::uint16_t u = units[i];
            const bool surrogate = u >= 0xD800 && u <= 0xDFFF;
            n += u < 0x80 ? 1 : (u >= 0x800 && (!pair || !surrogate)) ? 3 : 2;
        }
        if (count != nullptr)
            *count = n;
        return i;
    }
    while (i < limit && units[i] != 0 && n < room) {
        std::uint32_t cp = units[i];
        std::uint64_t used = 1;
        if (pair && cp >= 0xD800 && cp <= 0xDFFF) {
            if (cp > 0xDBFF || i + 1 >= limit || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) {
                out[n] = 0; // a lone surrogate ends the text
                if (count != nullptr)
                    *count = n;
                return i;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            used = 2;
        }
        std::uint8_t b[4];
        int len;
        if (cp < 0x80) {
            b[0] = static_cast<std::uint8_t>(cp), len = 1;
        } else if (cp < 0x800) {
            b[0] = static_cast<std::uint8_t>(0xC0 | (cp >> 6)), b[1] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F)),
            len = 2;
        } else if (cp < 0x10000) {
            b[0] = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
            b[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            b[2] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
            len = 3;
        } else {
            b[0] = static_cast<std::uint8_t>(0xF0 | (cp >> 18));
            b[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
            b[2] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            b[3] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
            len = 4;
        }
        if (n + static_cast<std::uint64_t>(len) <= room) {
            std::memcpy(out + n, b, static_cast<std::size_t>(len));
            n += static_cast<std::uint64_t>(len);
        }
        i += used;
    }
    if (n < room)
        out[n] = 0;
    if (count != nullptr)
        *count = n;
    return i;
}

} // namespace

namespace qel::pki {

bool oidBytesToText(const std::uint8_t *p, std::uint64_t n, std::string &out)
{
    out.clear();
    if (p == nullptr || n == 0)
        return false;
    std::uint64_t i = 0;
    bool first = true;
    while (i < n) {
        if (p[i] == 0x80)
            return false; // a sub-identifier padded with a leading zero
        std::uint64_t v = 0;
        while (true) {
            if (i >= n)
                return false; // ends inside a sub-identifier
            if (v > (kMax >> 7))
                return false;
            v = (v << 7) | (p[i] & 0x7F);
            if ((p[i++] & 0x80) == 0)
                break;
        }
        char buf[48];
        if (first) {
            const std::uint64_t a = v < 40 ? 0 : v < 80 ? 1 : 2;
            std::snprintf(buf, sizeof buf, "%llu.%llu", static_cast<unsigned long long>(a),
                          static_cast<unsigned long long>(v - a * 40));
            first = false;
        } else {
            std::snprintf(buf, sizeof buf, ".%llu", static_cast<unsigned long long>(v));
        }
        out += buf;
    }
    return true;
}

} // namespace qel::pki

extern "C" {

ASN1_ObjectIdentifier *qelPKIOIDFromText(const char *text, ASN1Context *codec)
{
    if (text == nullptr || codec == nullptr)
        return nullptr;
    try {
        std::vector<std::uint8_t> octets;
        if (!oidTextToBytes(text, octets))
            return nullptr;
        ASN1_ObjectIdentifier *r = asn1New_OctetString(codec);
        if (r != nullptr && !octets.empty() && asn1SetOctetString(codec, r, octets.data(), octets.size()) != 0) {
            asn1Free_OctetString(codec, r);
            return nullptr;
        }
        return r;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int32_t qelPKIOIDTextToDER(uint8_t **octets, uint64_t *length, const char *text, QELPKIContext *context)
{
    if (octets == nullptr || length == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *octets = nullptr;
    *length = 0;
    if (text == nullptr)
        return QELPKIError_InvalidArguments;
    try {
        std::vector<std::uint8_t> bytes;
        if (!oidTextToBytes(text, bytes) || bytes.empty())
            return QELPKIError_InvalidArguments;
        std::uint8_t *p = copyBytes(context, bytes.data(), bytes.size());
        if (p == nullptr)
            return QELPKIError_OutOfMemory;
        *octets = p;
        *length = bytes.size();
        return 0;
    } catch (const std::bad_alloc &) {
        return QELPKIError_OutOfMemory;
    }
}

char *qelPKIOIDToText(const ASN1_ObjectIdentifier *oid, ASN1Context *codec)
{
    if (oid == nullptr || codec == nullptr || codec->allocator == nullptr)
        return nullptr;
    try {
        std::string text;
        if (!oidBytesToText(oid->data, oid->length, text))
            return nullptr;
        auto *p = static_cast<char *>(codec->allocator->alloc(codec->allocator, text.size() + 1));
        if (p != nullptr)
            std::memcpy(p, text.c_str(), text.size() + 1);
        return p;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int32_t qelPKIUTCTimeFromSeconds(ASN1_OctetString **out, int64_t seconds, QELPKIContext *context)
{
    return timeFromSeconds(out, seconds, context, true);
}

int32_t qelPKIGeneralizedTimeFromSeconds(ASN1_OctetString **out, int64_t seconds, QELPKIContext *context)
{
    return timeFromSeconds(out, seconds, context, false);
}

int64_t qelPKIUTCTimeToSeconds(const ASN1_OctetString *record)
{
    const std::string_view s = textOf(record);
    QELPKITimeFields f{};
    int yy = 0, mon = 0;
    if (s.size() <= 10 || !digits(s, 0, 2, yy) || !digits(s, 2, 2, mon) || !digits(s, 4, 2, f.day) ||
        !digits(s, 6, 2, f.hour) || !digits(s, 8, 2, f.minute))
        return 0;
    f.year = yy <= 49 ? yy + 100 : yy;
    f.month = mon - 1;
    return finishTime(s, 10, f, false);
}

int64_t qelPKIGeneralizedTimeToSeconds(const ASN1_OctetString *record)
{
    const std::string_view s = textOf(record);
    QELPKITimeFields f{};
    int year = 0, mon = 0;
    if (s.size() < 12 || !digits(s, 0, 4, year) || !digits(s, 4, 2, mon) || !digits(s, 6, 2, f.day) ||
        !digits(s, 8, 2, f.hour) || !digits(s, 10, 2, f.minute))
        return 0;
    f.year = year - 1900;
    f.month = mon - 1;
    return finishTime(s, 12, f, true);
}

int64_t qelPKITimeToSeconds(const ASN1_Time *time)
{
    if (time == nullptr)
        return -1;
    const auto *value = static_cast<const ASN1_OctetString *>(time->alternative);
    switch (time->identifier & 0xDF) {
    case 23:
        return qelPKIUTCTimeToSeconds(value);
    case 24:
        return qelPKIGeneralizedTimeToSeconds(value);
    default:
        return -1;
    }
}

int64_t qelPKITimeFromFields(const QELPKITimeFields *fields)
{
    if (fields == nullptr || !fieldsValid(*fields))
        return -1;
    return secondsOf(*fields);
}

uint64_t qelUTF8ToUTF16(const uint8_t *text, uint64_t limit, uint16_t *out, uint64_t room, uint64_t *count)
{
    return utf8ToUnits(text, limit, out, room, count, true);
}

int32_t qelUTF8ToUTF16Checked(const uint8_t *text, uint64_t limit, uint16_t *out, uint64_t room,
                              uint64_t *outUnits, uint64_t *outConsumed)
{
    if (outUnits == nullptr || (text == nullptr && limit != 0))
        return QELError_BadParams;
    *outUnits = 0;
    if (outConsumed != nullptr)
        *outConsumed = 0;
    std::uint64_t units = 0;
    const std::uint64_t used = utf8ToUnits(text, limit, nullptr, 0, &units, true);
    // The text ends at the limit or at a zero octet; anything else stopped
    // the walk at a sequence that is not UTF-8.
    if (used != limit && text[used] != 0)
        return QELError_BadParams;
    if (out != nullptr) {
        if (units >= room)
            return QELError_BufferTooSmall;
        static_cast<void>(utf8ToUnits(text, limit, out, room, nullptr, true));
    }
    *outUnits = units;
    if (outConsumed != nullptr)
        *outConsumed = used;
    return QELError_NoErr;
}

uint64_t qelUTF8ToUCS2(const uint8_t *text, uint64_t limit, uint16_t *out, uint64_t room, uint64_t *count)
{
    return utf8ToUnits(text, limit, out, room, count, false);
}

uint64_t qelUTF16ToUTF8(const uint16_t *units, uint64_t limit, uint8_t *out, uint64_t room, uint64_t *count)
{
    return unitsToUTF8(units, limit, out, room, count, true);
}

uint64_t qelUCS2ToUTF8(const uint16_t *units, uint64_t limit, uint8_t *out, uint64_t room, uint64_t *count)
{
    return unitsToUTF8(units, limit, out, room, count, false);
}

int32_t qelHasNonASCII(const uint8_t *text, uint64_t limit)
{
    for (std::uint64_t i = 0; text != nullptr && i < limit && text[i] != 0; ++i)
        if (text[i] > 0x7F)
            return 1;
    return 0;
}

int32_t qelUTF8IsInvalid(const uint8_t *text, uint64_t limit)
{
    std::uint64_t units = 0;
    qelUTF8ToUCS2(text, limit, nullptr, 0, &units);
    return units == 0 ? 1 : 0;
}

} // extern "C"
