// The PEM block decoder: one "-----BEGIN ..." block held in memory to the
// bytes it carries (label ignored, no checksum).
#pragma once
#include "qelErrors.h"
#include <cstdint>

struct QELContext;

// Both out-parameters are cleared first. On success *output is a guarded
// block of the context's memory manager (freed with qelMemFree), present even
// when *outputLength is 0. A line broken inside a group of four is
// QELError_BadParams; a run that is not base64 is QELError_BadPacketFormat.
[[nodiscard]] QELStatus qelArmorDecodePem(QELContext *context, const char *text, std::uint64_t length,
                                          std::uint8_t **output, std::uint64_t *outputLength);
