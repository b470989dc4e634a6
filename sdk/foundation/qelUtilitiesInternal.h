// Text utilities: null-tolerant lengths, bounded copy and comparison, case
// and character classes ("C" locale), file-name extensions and numbered file
// names, and hexadecimal conversion. Strings are NUL-terminated bytes; the
// SDK runs with single-byte characters, so every operation works byte by byte.
#pragma once

#include "qelErrors.h"

#include <cstdint>

// Lengths and stepping.
std::uint32_t qelStrLen(const char *s);
std::uint32_t qelStrLength(const char *s);
std::uint32_t qelStrSize(const char *s);
bool qelCharIsLeadByte(char c);
bool qelCharIsDoubleByte(char c);
int qelCharsetIsMultiByte();
char *qelStrNextChar(const char *position);
char *qelStrAdvanceChars(const char *position, std::uint32_t count);
char *qelStrPrevChar(const char *start, const char *position);

// Bounded copy and comparison; bounds count characters (bytes here).
char *qelStrCopyN(const char *source, char *destination, std::int32_t n);
char *qelStrAppendN(const char *source, char *destination, std::int32_t n);
int qelStrCompareN(const char *a, const char *b, std::int32_t n);
int qelStrCompareNoCaseN(const char *a, const char *b, std::int32_t n);
int qelStrCompareNoCaseNBytes(const char *a, const char *b, std::int32_t n);
int qelStrCompareNoCase(const char *a, const char *b);
char *qelStrFindNoCase(const char *s, const char *pattern);

// Case and character classes.
char qelCharToLower(char c);
char qelCharToUpper(char c);
char *qelStrToLower(char *s);
char *qelStrToUpper(char *s);
int qelCharIsUpper(char c);
int qelCharIsLower(char c);
int qelCharIsAlpha(char c);
int qelCharIsDigit(char c);
int qelCharIsSpace(char c);
int qelCharIsBlank(char c);
int qelCharIsPrint(char c);
int qelCharIsPunct(char c);
int qelCharIsASCII(char c);

// File names.
char *qelStrFileExtension(const char *name);
char *qelStrExtensionStart(const char *name);
[[nodiscard]] QELStatus qelStrMakeNumberedName(const char *name, const char *separator, std::uint32_t number,
                                 std::uint32_t size, char *out);
[[nodiscard]] QELStatus qelStrParseNumberedName(const char *base, const char *separator, const char *candidate,
                                  std::uint32_t size, std::uint8_t *outIsNumbered,
                                  std::int32_t *outNumber);

// Hexadecimal.
int qelIsHexDigit(char c);
int qelHexDigitValue(char c);
std::uint32_t qelHexToBytes(const char *text, std::uint32_t maxBytes, std::uint8_t *out);
std::uint32_t qelHexToUInt32(const char *text);
// out needs 2 * length + 1 bytes, 2 more with the prefix.
void qelBytesToHex(const std::uint8_t *bytes, std::uint32_t length, int prefix, char *out);
// out needs 9 bytes, 11 with the prefix.
void qelUInt32ToHex(std::uint32_t value, int prefix, char *out);
