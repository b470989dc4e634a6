// The "Flex Byte/File Fifo": memory chunks while it holds at most 0xC000
// bytes; a write that would take it past that moves everything into a File
// Fifo (encrypted on disk) and keeps using the file until the FIFO is cleared.
#pragma once

#include "qelByteFifoInternal.h"

inline constexpr std::uint64_t QELFlexFifoThreshold = 0xC000;

const QELFifoDescriptor *qelFlexFifoDescriptor(); // "Flex Byte/File Fifo"
