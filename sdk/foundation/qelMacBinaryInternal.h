// MacBinary II decoding and the Macintosh creator/type table. A MacBinary
// file is replaced by its data fork (text files with LF line ends), named
// with an extension chosen from the built-in table; the resource fork is not
// kept.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELFileSpec;

constexpr std::size_t QELMacBinaryHeaderSize = 128;
// The wildcard code "****".
constexpr std::uint32_t QELMacBinaryWildcard = 0x2A2A2A2A;
constexpr std::uint32_t QELMacBinaryTypeText = 0x54455854; // "TEXT"

struct QELMacBinaryTypeEntry {
    std::uint32_t creator;
    std::uint32_t type;
    char extension[4]; // 1 to 3 characters, NUL-terminated
};

// Builds the process's type table from the built-in text (SDK start-up);
// a table loaded before is replaced.
[[nodiscard]] QELStatus qelMacBinaryTableLoad();
// The same from a table text of the built-in form.
[[nodiscard]] QELStatus qelMacBinaryTableLoadText(const char *text, std::size_t length);
// Frees the table (SDK clean-up).
void qelMacBinaryTableFree();

// Parses one four-character or "0xHHHHHHHH" code at text, never reading at
// or past end nor past the line end; returns the position after the code
// (text itself for a code too short to read).
const char *qelMacBinaryParseCode(const char *text, const char *end, std::uint32_t *outCode,
                                  bool *outValid);
// The extension of the first entry matching the codes (wildcards allowed);
// "bin" and QELError_MacBinaryHeaderError when none matches,
// QELError_BadParams without a table. outExtension holds at least 4 bytes.
[[nodiscard]] QELStatus qelMacBinaryExtensionForCodes(std::uint32_t creator, std::uint32_t type,
                                        char *outExtension);
// True for type "TEXT" with one of the text extensions (any case).
bool qelMacBinaryIsTextName(std::uint32_t creator, std::uint32_t type, const char *extension);

// Replaces the MacBinary file by its data fork in the same directory and
// returns the new file's spec in outSpec (a new spec of the input's memory
// manager). The header's creator and type go to the outs that are given.
[[nodiscard]] QELStatus qelMacBinaryDecode(const QELFileSpec *spec, QELFileSpec **outSpec,
                             std::uint32_t *outCreator, std::uint32_t *outType);
