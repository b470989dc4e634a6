// Regular expressions of trust signatures: a small backtracking matcher over a
// compiled byte program. The syntax is deliberately tiny: alternatives, groups,
// ".", "^", "$", sets, escapes and the quantifiers "*", "+" and "?".
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELContext;

// The compiled form, one block from the context (freed with
// qelContextMemFree); the program follows the record.
struct QELRegex {
    const char *matchStart[10];    // whole match (0) and groups 1 to 9
    const char *matchEnd[10];
    std::uint8_t firstChar;        // 0, or the character every match begins with
    std::uint8_t anchored;         // 1 when the only alternative starts with ^
    const char *required;          // null, or a literal every match contains
    std::int32_t requiredLength;
    // program bytes follow: magic 0x9C, then the nodes
};

inline constexpr std::uint8_t QELRegexMagic = 0x9C;
inline constexpr std::size_t QELRegexMaxProgram = 32766;

// Matching gives up (no match) after this many node steps; a pathological
// expression thus costs bounded time whatever the text.
inline constexpr std::uint32_t QELRegexStepBudget = 2000000;

// 0 and the new form; QELError_OutOfMemory for a syntax error or a failed
// allocation; QELError_BadParams for bad arguments or an oversized program.
[[nodiscard]] QELStatus qelRegexCompile(QELContext *context, const char *text, QELRegex **outRegex);

// 1 when the expression matches somewhere in the NUL-terminated text, 0 when
// not (or when the step budget runs out), QELError_BadParams for a null
// argument or a block that is no compiled expression.
int qelRegexMatch(QELRegex *regex, const char *text);

// Matches text of a given length (a user ID) on a NUL-terminated copy; text
// holding a NUL never matches.
int qelRegexMatchBytes(QELRegex *regex, const std::uint8_t *text, std::size_t length);
