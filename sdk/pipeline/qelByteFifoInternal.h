// Byte FIFOs: the class record every FIFO kind fills, and the two memory
// classes ("Byte Fifo", "Secure Byte Fifo"). Modules that hold bytes back get
// a class pointer and call its operations; they never see a FIFO's record.
//
// Counts and statuses are kept apart: read and write return the bytes moved
// and report a failure through *status (when given, set to 0 by the caller),
// so a negative status can never be mistaken for a count.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELFifo; // the record of one FIFO, private to its class

struct QELFifoDescriptor {
    const char *name;
    // A new, empty FIFO; null when it cannot be made.
    QELFifo *(*create)(QELContext *context);
    // Copies up to n bytes out; returns the count.
    std::uint64_t (*read)(QELFifo *fifo, void *buffer, std::uint64_t n, QELStatus *status);
    // Takes up to n bytes; returns the count (memory classes take fewer when
    // memory runs out, without a status).
    std::uint64_t (*write)(QELFifo *fifo, const void *bytes, std::uint64_t n, QELStatus *status);
    // The first readable bytes in place, *available of them; null and 0 when
    // none (or when they cannot be read, with the reason in *status).
    const std::uint8_t *(*peek)(QELFifo *fifo, std::uint64_t *available, QELStatus *status);
    // Drops n bytes from the front; callers skip at most what peek returned.
    void (*skip)(QELFifo *fifo, std::uint64_t n);
    // Empties the FIFO.
    void (*clear)(QELFifo *fifo);
    // Empties the FIFO and frees it (wiping what it held); null is a no-op.
    void (*destroy)(QELFifo *fifo);
    // Bytes held.
    std::uint64_t (*size)(QELFifo *fifo);
};

// Memory chunks: an 8-byte link followed by 8184 data bytes.
inline constexpr std::size_t QELByteFifoChunkSize = 8192;
inline constexpr std::size_t QELByteFifoChunkData = QELByteFifoChunkSize - 8;

const QELFifoDescriptor *qelByteFifoDescriptor();       // "Byte Fifo"
const QELFifoDescriptor *qelSecureByteFifoDescriptor(); // "Secure Byte Fifo"

// Helpers over any class.
inline void qelFifoDestroy(const QELFifoDescriptor *kind, QELFifo *fifo)
{
    if (fifo != nullptr)
        kind->destroy(fifo);
}
