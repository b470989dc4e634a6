// The Text Filter Module: translates every byte through a 256-byte map, can
// drop the spaces at the end of each line, and can rewrite every line end
// (LF, CR or CR LF) into one form.
#pragma once

#include "qelPipeModuleInternal.h"

inline constexpr std::size_t QELTextFilterBuffer = 8192;

// Line-end modes.
inline constexpr std::int32_t QELLineEnd_Keep = 0; // translated like any other byte
inline constexpr std::int32_t QELLineEnd_LF = 1;
inline constexpr std::int32_t QELLineEnd_CR = 2;
inline constexpr std::int32_t QELLineEnd_CRLF = 3;

// The map is not copied and must outlive the module. Returns the downstream
// slot, or null.
QELPipeModule **qelTextFilterModuleCreate(QELContext *context, QELPipeModule **slot, const std::uint8_t *charMap,
                                          bool stripTrailingSpaces, std::int32_t lineEndMode);

// The map that leaves every byte as it is.
const std::uint8_t *qelTextFilterIdentityMap();
