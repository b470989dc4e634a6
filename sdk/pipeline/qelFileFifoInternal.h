// The "File Fifo": bytes held in a temporary file, encrypted in CFB mode
// under a fresh random key that exists only in the FIFO's memory and is wiped
// with it. The file is unlinked as soon as it is open, so it disappears on
// every path (a failed creation, a failed write, a crash) and not only when
// the FIFO is destroyed.
#pragma once

#include "qelByteFifoInternal.h"

// The size of the File Fifo's window of decrypted bytes.
inline constexpr std::size_t QELFileFifoBlock = 8192;
// Bytes the File Fifo moves per file operation: its writes collect in a tail
// of this size, and its reads fill a read-ahead of this size.
inline constexpr std::size_t QELFileFifoTransfer = 65536;

const QELFifoDescriptor *qelFileFifoDescriptor(); // "File Fifo"
