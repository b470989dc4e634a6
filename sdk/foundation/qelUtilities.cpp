#include "qelUtilitiesInternal.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// The character-class tables are only defined for unsigned char values (and
// EOF); bytes above 0x7F must not reach them as negative indices.
int uc(char c) { return static_cast<unsigned char>(c); }

int sc(char c) { return static_cast<signed char>(c); }

char lower(char c) { return static_cast<char>(std::tolower(uc(c))); }

bool isDecimal(char c) { return c >= '0' && c <= '9'; }

} // namespace

// ---- lengths and stepping ----

std::uint32_t qelStrLen(const char *s)
{
    return s == nullptr ? 0 : static_cast<std::uint32_t>(std::strlen(s));
}

std::uint32_t qelStrLength(const char *s) { return qelStrLen(s); }

std::uint32_t qelStrSize(const char *s) { return s == nullptr ? 0 : qelStrLen(s) + 1; }

bool qelCharIsLeadByte(char) { return false; }
bool qelCharIsDoubleByte(char) { return false; }
int qelCharsetIsMultiByte() { return 0; }

char *qelStrNextChar(const char *position)
{
    if (*position == '\0')
        return const_cast<char *>(position);
    if (qelCharIsLeadByte(*position) && position[1] != '\0')
        return const_cast<char *>(position + 2);
    return const_cast<char *>(position + 1);
}

char *qelStrAdvanceChars(const char *position, std::uint32_t count)
{
    char *p = const_cast<char *>(position);
    while (count-- > 0)
        p = qelStrNextChar(p);
    return p;
}

char *qelStrPrevChar(const char *start, const char *position)
{
    if (position <= start)
        return const_cast<char *>(position);
    if (position - start >= 2 && qelCharIsLeadByte(position[-2]))
        return const_cast<char *>(position - 2);
    return const_cast<char *>(position - 1);
}

// ---- bounded copy and comparison ----

char *qelStrCopyN(const char *source, char *destination, std::int32_t n)
{
    char *d = destination;
    while (n > 0) {
        *d = *source;
        if (*source == '\0')
            break;
        ++d;
        ++source;
        --n;
    }
    return destination;
}

char *qelStrAppendN(const char *source, char *destination, std::int32_t n)
{
    qelStrCopyN(source, destination + std::strlen(destination), n);
    return destination;
}

int qelStrCompareN(const char *a, const char *b, std::int32_t n)
{
    if (n == 0)
        return 0;
    // A negative bound compares the first bytes only.
    std::int64_t left = n < 0 ? 1 : n;
    for (; left > 0; --left, ++a, ++b) {
        if (*a != *b)
            return sc(*a) - sc(*b);
        if (*a == '\0')
            break;
    }
    return 0;
}

int qelStrCompareNoCaseN(const char *a, const char *b, std::int32_t n)
{
    for (; n > 0; --n, ++a, ++b) {
        const char la = lower(*a);
        const char lb = lower(*b);
        if (la != lb)
            return sc(la) - sc(lb);
        if (la == '\0')
            break;
    }
    return 0;
}

int qelStrCompareNoCaseNBytes(const char *a, const char *b, std::int32_t n)
{
    return qelStrCompareNoCaseN(a, b, n);
}

int qelStrCompareNoCase(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        const char la = lower(*a);
        const char lb = lower(*b);
        if (la != lb)
            return sc(la) - sc(lb);
        if (la == '\0')
            return 0;
    }
}

char *qelStrFindNoCase(const char *s, const char *pattern)
{
    if (s == nullptr || pattern == nullptr || *s == '\0' || *pattern == '\0')
        return nullptr;
    const std::size_t m = std::strlen(pattern);
    for (const char *p = s; *p != '\0'; ++p) {
        std::size_t i = 0;
        while (i < m && p[i] != '\0' && lower(p[i]) == lower(pattern[i]))
            ++i;
        if (i == m)
            return const_cast<char *>(p);
        if (p[i] == '\0')
            break; // the rest of the string is shorter than the pattern
    }
    return nullptr;
}

// ---- case and classes ----

char qelCharToLower(char c) { return lower(c); }
char qelCharToUpper(char c) { return static_cast<char>(std::toupper(uc(c))); }

char *qelStrToLower(char *s)
{
    for (; *s != '\0'; ++s)
        *s = qelCharToLower(*s);
    return s;
}

char *qelStrToUpper(char *s)
{
    for (; *s != '\0'; ++s)
        *s = qelCharToUpper(*s);
    return s;
}

int qelCharIsUpper(char c) { return std::isupper(uc(c)) ? 1 : 0; }
int qelCharIsLower(char c) { return std::islower(uc(c)) ? 1 : 0; }
int qelCharIsAlpha(char c) { return std::isalpha(uc(c)) ? 1 : 0; }
int qelCharIsDigit(char c) { return std::isdigit(uc(c)) ? 1 : 0; }
int qelCharIsSpace(char c) { return std::isspace(uc(c)) ? 1 : 0; }
int qelCharIsBlank(char c) { return std::isblank(uc(c)) ? 1 : 0; }
int qelCharIsPrint(char c) { return std::isprint(uc(c)) ? 1 : 0; }
int qelCharIsPunct(char c) { return std::ispunct(uc(c)) ? 1 : 0; }
int qelCharIsASCII(char c) { return uc(c) < 0x80 ? 1 : 0; }

// ---- file names ----

char *qelStrFileExtension(const char *name)
{
    if (name == nullptr)
        return nullptr;
    const char *dot = std::strrchr(name, '.');
    if (dot == nullptr || dot == name || std::strlen(dot + 1) > 3)
        return nullptr;
    return const_cast<char *>(dot + 1);
}

char *qelStrExtensionStart(const char *name)
{
    char *ext = qelStrFileExtension(name);
    if (ext != nullptr)
        return ext - 1;
    return const_cast<char *>(name + std::strlen(name));
}

QELStatus qelStrMakeNumberedName(const char *name, const char *separator, std::uint32_t number,
                                 std::uint32_t size, char *out)
{
    if (name == nullptr || out == nullptr || out == name || size < 13)
        return QELError_BadParams;
    if (separator == nullptr)
        separator = "";
    char digits[11];
    std::uint32_t d = 0;
    {
        char rev[10];
        std::uint32_t n = number;
        do {
            rev[d++] = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n != 0);
        for (std::uint32_t i = 0; i < d; ++i)
            digits[i] = rev[d - 1 - i];
    }
    const char *ext = qelStrFileExtension(name);
    std::size_t e = ext != nullptr ? std::strlen(ext) : 0;
    std::size_t s = std::strlen(name) - e - (e > 0 ? 1 : 0);
    std::size_t p = std::strlen(separator);
    const auto need = [&] { return s + p + d + (e > 0 ? e + 1 : 0) + 1; };
    while (need() > size) {
        if (s > 0)
            --s;
        else if (p > 0)
            --p;
        else
            --e; // terminates: digits and the NUL alone take at most 11 < 13 bytes
    }
    char *o = out;
    std::memcpy(o, name, s);
    o += s;
    std::memcpy(o, separator, p);
    o += p;
    std::memcpy(o, digits, d);
    o += d;
    if (e > 0) {
        *o++ = '.';
        std::memcpy(o, ext, e);
        o += e;
    }
    *o = '\0';
    return QELError_NoErr;
}

QELStatus qelStrParseNumberedName(const char *base, const char *separator, const char *candidate,
                                  std::uint32_t size, std::uint8_t *outIsNumbered,
                                  std::int32_t *outNumber)
{
    std::uint8_t isNumbered = 0;
    std::int32_t number = -1;
    const auto finish = [&] {
        if (outIsNumbered != nullptr)
            *outIsNumbered = isNumbered;
        if (outNumber != nullptr)
            *outNumber = number;
        return QELError_NoErr;
    };
    if (base == nullptr || candidate == nullptr)
        return finish();
    if (separator == nullptr)
        separator = "";

    const char *be = qelStrExtensionStart(base);
    const char *ce = qelStrExtensionStart(candidate);
    const std::size_t lb = std::strlen(be);
    const std::size_t lc = std::strlen(ce);
    if (lc == 1 || std::strncmp(be, ce, lc) != 0)
        return finish();

    const char *d = ce;
    while (d > candidate && isDecimal(d[-1]))
        --d;
    if (!isDecimal(*d))
        return finish();
    std::int32_t value = 0;
    for (const char *q = d; q < ce; ++q) {
        const int digit = *q - '0';
        if (value > (INT32_MAX - digit) / 10)
            break;
        value = value * 10 + digit;
    }
    if (d != candidate && lb != lc)
        return finish();

    const std::size_t p = std::strlen(separator);
    const char *q = static_cast<std::size_t>(d - candidate) >= p ? d - p : candidate;
    if (q - candidate != be - base && size > std::strlen(candidate) + 1)
        return finish();
    const std::size_t prefix = static_cast<std::size_t>(q - candidate);
    if (std::strncmp(candidate, base, prefix) != 0 || std::strlen(base) < prefix)
        return finish();
    if (std::strncmp(q, separator, static_cast<std::size_t>(d - q)) != 0)
        return finish();
    isNumbered = 1;
    number = value;
    return finish();
}

// ---- hexadecimal ----

int qelIsHexDigit(char c) { return std::isxdigit(uc(c)) ? 1 : 0; }

int qelHexDigitValue(char c)
{
    if (isDecimal(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return uc(c) - 55;
}

std::uint32_t qelHexToBytes(const char *text, std::uint32_t maxBytes, std::uint8_t *out)
{
    if (text == nullptr || out == nullptr)
        return 0;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    std::uint32_t written = 0;
    while (written < maxBytes) {
        if (!qelIsHexDigit(text[0]))
            break;
        if (qelIsHexDigit(text[1])) {
            out[written++] =
                static_cast<std::uint8_t>(qelHexDigitValue(text[0]) * 16 + qelHexDigitValue(text[1]));
            text += 2;
        } else {
            out[written++] = static_cast<std::uint8_t>(qelHexDigitValue(text[0]));
            break;
        }
    }
    return written;
}

std::uint32_t qelHexToUInt32(const char *text)
{
    std::uint8_t bytes[4];
    const std::uint32_t n = qelHexToBytes(text, 4, bytes);
    std::uint32_t value = 0;
    for (std::uint32_t i = 0; i < n; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

void qelBytesToHex(const std::uint8_t *bytes, std::uint32_t length, int prefix, char *out)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    if (out == nullptr)
        return;
    if (prefix) {
        *out++ = '0';
        *out++ = 'x';
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        *out++ = digits[bytes[i] >> 4];
        *out++ = digits[bytes[i] & 0x0F];
    }
    *out = '\0';
}

void qelUInt32ToHex(std::uint32_t value, int prefix, char *out)
{
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24),
                                   static_cast<std::uint8_t>(value >> 16),
                                   static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(value)};
    qelBytesToHex(bytes, 4, prefix, out);
}
