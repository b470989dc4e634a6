// Memory FIFOs: a singly linked list of 8192-byte chunks from the context's
// memory manager (secure chunks for the secure class). A chunk is wiped and
// freed as soon as its last byte has been read.
#include "qelByteFifoInternal.h"

#include "qelContextInternal.h"
#include "qelMemory.h"
#include "qelWipe.h"

#include <algorithm>
#include <cstring>

namespace {

struct Chunk {
    Chunk *next;
    std::uint8_t data[QELByteFifoChunkData];
};
static_assert(sizeof(Chunk) == QELByteFifoChunkSize);

struct ByteFifo {
    QELMemoryMgr *mgr;
    Chunk *first;
    Chunk *last;
    std::uint8_t *writePos; // in last
    std::uint8_t *readPos;  // in first
    std::int64_t chunkCount;
    std::uint8_t secure;
};

ByteFifo *self(QELFifo *fifo) { return reinterpret_cast<ByteFifo *>(fifo); }
std::uint8_t *chunkEnd(Chunk *c) { return c->data + QELByteFifoChunkData; }

void freeChunk(Chunk *c)
{
    qelSecureWipe(c, sizeof *c);
    static_cast<void>(qelMemFree(c)); // a chunk we allocated
}

QELFifo *createWith(QELContext *context, bool secure)
{
    QELMemoryMgr *mgr = qelContextMemoryMgr(context);
    if (mgr == nullptr)
        return nullptr;
    auto *f = static_cast<ByteFifo *>(qelMemAlloc(mgr, sizeof(ByteFifo), QELMemFlag_Clear));
    if (f == nullptr)
        return nullptr;
    f->mgr = mgr;
    f->secure = secure ? 1 : 0;
    return reinterpret_cast<QELFifo *>(f);
}

QELFifo *createPlain(QELContext *context) { return createWith(context, false); }
QELFifo *createSecure(QELContext *context) { return createWith(context, true); }

std::uint64_t fifoWrite(QELFifo *fifo, const void *bytes, std::uint64_t n, QELStatus *)
{
    ByteFifo *f = self(fifo);
    const auto *src = static_cast<const std::uint8_t *>(bytes);
    std::uint64_t done = 0;
    while (done < n) {
        if (f->last == nullptr || f->writePos == chunkEnd(f->last)) {
            void *block = f->secure ? qelMemAllocSecure(f->mgr, sizeof(Chunk), 0)
                                    : qelMemAlloc(f->mgr, sizeof(Chunk), 0);
            if (block == nullptr)
                break; // memory exhausted: the bytes taken so far
            auto *c = static_cast<Chunk *>(block);
            c->next = nullptr;
            if (f->last == nullptr) {
                f->first = c;
                f->readPos = c->data;
            } else {
                f->last->next = c;
            }
            f->last = c;
            f->writePos = c->data;
            ++f->chunkCount;
        }
        std::uint64_t room = std::uint64_t(chunkEnd(f->last) - f->writePos);
        std::uint64_t k = std::min(room, n - done);
        std::memcpy(f->writePos, src + done, k);
        f->writePos += k;
        done += k;
    }
    return done;
}

const std::uint8_t *fifoPeek(QELFifo *fifo, std::uint64_t *available, QELStatus *)
{
    ByteFifo *f = self(fifo);
    std::uint64_t n = 0;
    if (f->first != nullptr)
        n = f->first == f->last ? std::uint64_t(f->writePos - f->readPos)
                                : std::uint64_t(chunkEnd(f->first) - f->readPos);
    if (available != nullptr)
        *available = n;
    return n != 0 ? f->readPos : nullptr;
}

void fifoSkip(QELFifo *fifo, std::uint64_t n)
{
    ByteFifo *f = self(fifo);
    while (n != 0 && f->first != nullptr) {
        Chunk *c = f->first;
        std::uint8_t *end = c == f->last ? f->writePos : chunkEnd(c);
        std::uint64_t here = std::uint64_t(end - f->readPos);
        if (n < here) {
            f->readPos += n;
            return;
        }
        n -= here;
        if (c == f->last) {
            freeChunk(c);
            f->first = f->last = nullptr;
            f->readPos = f->writePos = nullptr;
            f->chunkCount = 0;
            return;
        }
        f->first = c->next;
        f->readPos = f->first->data;
        --f->chunkCount;
        freeChunk(c);
    }
}

std::uint64_t fifoRead(QELFifo *fifo, void *buffer, std::uint64_t n, QELStatus *)
{
    auto *dst = static_cast<std::uint8_t *>(buffer);
    std::uint64_t done = 0;
    while (done < n) {
        std::uint64_t available = 0;
        const std::uint8_t *p = fifoPeek(fifo, &available, nullptr);
        if (p == nullptr)
            break;
        std::uint64_t k = std::min(available, n - done);
        std::memcpy(dst + done, p, k);
        fifoSkip(fifo, k);
        done += k;
    }
    return done;
}

void fifoClear(QELFifo *fifo)
{
    ByteFifo *f = self(fifo);
    for (Chunk *c = f->first; c != nullptr;) {
        Chunk *next = c->next;
        freeChunk(c);
        c = next;
    }
    f->first = f->last = nullptr;
    f->readPos = f->writePos = nullptr;
    f->chunkCount = 0;
}

void fifoDestroy(QELFifo *fifo)
{
    if (fifo == nullptr)
        return;
    fifoClear(fifo);
    ByteFifo *f = self(fifo);
    qelSecureWipe(f, sizeof *f);
    static_cast<void>(qelMemFree(f));
}

std::uint64_t fifoSize(QELFifo *fifo)
{
    ByteFifo *f = self(fifo);
    if (f->first == nullptr)
        return 0;
    return std::uint64_t(f->chunkCount - 1) * QELByteFifoChunkData + std::uint64_t(f->writePos - f->last->data) -
           std::uint64_t(f->readPos - f->first->data);
}

constexpr QELFifoDescriptor kByteFifo{"Byte Fifo", createPlain, fifoRead,  fifoWrite, fifoPeek,
                                      fifoSkip,    fifoClear,   fifoDestroy, fifoSize};
constexpr QELFifoDescriptor kSecureByteFifo{"Secure Byte Fifo", createSecure, fifoRead,  fifoWrite, fifoPeek,
                                            fifoSkip,           fifoClear,    fifoDestroy, fifoSize};

} // namespace

const QELFifoDescriptor *qelByteFifoDescriptor() { return &kByteFifo; }
const QELFifoDescriptor *qelSecureByteFifoDescriptor() { return &kSecureByteFifo; }
