// The variable-sized memory sink ("Write variable-sized memory", or
// "Securely write variable-sized memory" on secure memory): keeps up to
// `limit` bytes in a FIFO and hands them over in one new buffer on
// QELAnnotation_TakeBuffer.
#pragma once

#include "qelPipeModuleInternal.h"

inline constexpr std::uint64_t QELVarMemoryNoLimit = ~std::uint64_t{0};

QELPipeModule *qelVarMemoryModuleCreate(QELContext *context, QELPipeModule **out, std::uint64_t limit, bool secure);
QELPipeModule *qelVarMemoryModuleCreateSecure(QELContext *context, QELPipeModule **out, std::uint64_t limit);
QELPipeModule *qelVarMemoryModuleCreatePlain(QELContext *context, QELPipeModule **out, std::uint64_t limit);
