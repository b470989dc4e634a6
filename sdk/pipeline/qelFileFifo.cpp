// The File Fifo. Writing and reading keep one CFB object each, identical at
// creation: the writer encrypts everything appended at `total`, the reader
// decrypts the same bytes in the same order, so the two stay in step as long
// as every byte written is read exactly once. When everything has been read
// the file is reused from offset 0.
//
// The file is read and written by offset on its descriptor: the FIFO knows
// where every byte lives, so a stream's buffer would only add a copy and a
// seek whenever writing and reading alternate.
//
// A failure of the file (a short write or read) leaves the file and the two
// ciphers out of step, so it is latched: every later operation reports it and
// moves nothing.
#include "qelFileFifoInternal.h"

#include "qelAlgorithms.h"
#include "qelCFBInternal.h"
#include "qelContextInternal.h"
#include "qelFileOpenInternal.h"
#include "qelFileSpecInternal.h"
#include "qelHelpers.h"
#include "qelRandomContextInternal.h"
#include "qelSymmetricCipherInternal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

struct FileFifo {
    QELContext *context;
    std::FILE *stream;
    int fd;             // the stream's descriptor, used by offset
    QELFileSpec *spec;  // kept only while the file could not be unlinked yet
    QELCFBContext *reader;
    QELCFBContext *writer;
    std::uint64_t total;       // bytes written, to the file or the tail
    std::uint64_t readOffset;  // bytes consumed
    std::uint64_t bufferedEnd; // window holds readOffset .. bufferedEnd, decrypted
    std::uint64_t tailAt;      // offset of the tail: total - tailAt bytes not yet in the file
    std::uint64_t aheadAt;     // ahead holds the file's bytes aheadAt .. aheadEnd
    std::uint64_t aheadEnd;
    QELStatus failed;          // latched file failure
    std::uint8_t window[QELFileFifoBlock];
    // Ciphertext on its way to and from the file, so that the file sees
    // few large operations however small the FIFO's own writes and reads.
    std::uint8_t tail[QELFileFifoTransfer];
    std::uint8_t ahead[QELFileFifoTransfer];
};

FileFifo *self(QELFifo *fifo) { return reinterpret_cast<FileFifo *>(fifo); }

// A whole transfer at an offset with pread or pwrite: a partial one goes on
// from where it stopped; an error, or a transfer that moves nothing, is a
// failure.
template <typename Byte, typename Transfer>
bool wholeAt(Transfer transfer, int fd, Byte *bytes, std::size_t n, std::uint64_t offset)
{
    while (n != 0) {
        ssize_t k = transfer(fd, bytes, n, static_cast<off_t>(offset));
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        bytes += k;
        n -= static_cast<std::size_t>(k);
        offset += static_cast<std::uint64_t>(k);
    }
    return true;
}

bool writeAt(int fd, const std::uint8_t *bytes, std::size_t n, std::uint64_t offset)
{
    return wholeAt(::pwrite, fd, bytes, n, offset);
}

bool readAt(int fd, std::uint8_t *out, std::size_t n, std::uint64_t offset)
{
    return wholeAt(::pread, fd, out, n, offset);
}

void setStatus(QELStatus *status, QELStatus value)
{
    if (status != nullptr && value != 0)
        *status = value;
}

void unlinkFile(FileFifo *f)
{
    if (f->spec != nullptr && qelFileSpecDelete(f->spec) == 0) {
        static_cast<void>(qelFileSpecFree(f->spec));
        f->spec = nullptr;
    }
}

void release(FileFifo *f)
{
    if (f->stream != nullptr)
        std::fclose(f->stream);
    unlinkFile(f);
    if (f->spec != nullptr) // could not be removed: nothing left to try
        static_cast<void>(qelFileSpecFree(f->spec));
    if (f->reader != nullptr)
        static_cast<void>(qelCFBFree(f->reader));
    if (f->writer != nullptr)
        static_cast<void>(qelCFBFree(f->writer));
    QELContext *context = f->context;
    qelSecureWipe(f, sizeof *f);
    static_cast<void>(qelContextMemFree(context, f));
}

// Puts the reader back in step with the writer (both have then processed
// the same bytes).
void syncReader(FileFifo *f)
{
    QELCFBStream *r = qelCFBStreams(f->reader);
    const QELCFBStream *w = qelCFBStreams(f->writer);
    std::memcpy(r->previous, w->previous, sizeof r->previous);
    std::memcpy(r->reg, w->reg, sizeof r->reg);
    r->pending = w->pending;
}

QELFifo *fileCreate(QELContext *context)
{
    auto *f = static_cast<FileFifo *>(qelContextMemAlloc(context, sizeof(FileFifo), QELMemFlag_Clear));
    if (f == nullptr)
        return nullptr;
    f->context = context;
    QELMemoryMgr *mgr = qelContextMemoryMgr(context);
    // The file is private to this FIFO and its key never leaves memory, so no
    // reader elsewhere constrains the cipher: AES-128 is approved in FIPS
    // mode too, and with the processor's instructions it keeps spilling near
    // disk speed where CAST5 or triple DES would bound it.
    const QELCipherDescriptor *cipher = qelCipherDescriptorFind(QELCipherAlgorithm_AES128);
    QELRandomContext *random = qelContextGetRandomContext(context);
    if (cipher == nullptr || random == nullptr || (f->writer = qelCFBCreateForDescriptor(mgr, cipher)) == nullptr) {
        release(f);
        return nullptr;
    }
    {
        qel::WipedBuffer<std::uint8_t> key(mgr, cipher->keySize);
        qel::WipedBuffer<std::uint8_t> iv(mgr, 20);
        if (!key || !iv) {
            release(f);
            return nullptr;
        }
        qelRandomGetBytes(random, key.get(), static_cast<std::uint32_t>(key.size()));
        qelRandomGetBytes(random, iv.get(), static_cast<std::uint32_t>(iv.size()));
        if (qelCFBInit(f->writer, key.get(), iv.get()) != 0 || qelCFBCopy(f->writer, &f->reader) != 0) {
            release(f);
            return nullptr;
        }
    }
    QELStatus status = 0;
    f->stream = qelFileSpecCreateTemp(context, &f->spec, &status);
    if (f->stream == nullptr) {
        release(f);
        return nullptr;
    }
    unlinkFile(f); // the open stream keeps the bytes; no name is left behind
    f->fd = ::fileno(f->stream);
    return reinterpret_cast<QELFifo *>(f);
}

// Everything read: start the file again from offset 0.
void restart(FileFifo *f)
{
    f->total = f->readOffset = f->bufferedEnd = f->tailAt = f->aheadAt = f->aheadEnd = 0;
}

void rewindIfDrained(FileFifo *f)
{
    if (f->readOffset == f->total)
        restart(f);
}

// Writes the tail out. On failure the tail's bytes are lost, and so is
// everything after them: the failure is latched.
bool flushTail(FileFifo *f)
{
    const std::size_t held = static_cast<std::size_t>(f->total - f->tailAt);
    if (held != 0 && !writeAt(f->fd, f->tail, held, f->tailAt)) {
        f->failed = QELError_WriteFailed;
        return false;
    }
    f->tailAt = f->total;
    return true;
}

std::uint64_t fileWrite(QELFifo *fifo, const void *bytes, std::uint64_t n, QELStatus *status)
{
    FileFifo *f = self(fifo);
    if (f->failed != 0) {
        setStatus(status, f->failed);
        return 0;
    }
    const auto *src = static_cast<const std::uint8_t *>(bytes);
    std::uint64_t done = 0;
    while (done < n) {
        std::size_t held = static_cast<std::size_t>(f->total - f->tailAt);
        if (held == sizeof f->tail) {
            if (!flushTail(f)) {
                setStatus(status, f->failed);
                return done - std::min<std::uint64_t>(done, held); // what was lost was not taken
            }
            held = 0;
        }
        std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof f->tail - held, n - done));
        if (qelCFBEncryptInternal(f->writer, src + done, k, f->tail + held) != 0) {
            setStatus(status, f->failed = QELError_FileOpFailed);
            break;
        }
        f->total += k;
        done += k;
    }
    return done;
}

// Decrypts n bytes at the read offset into out. The ciphertext comes from
// the tail when it has not reached the file yet, else from the read-ahead,
// which is filled from the file in large reads.
bool readDecrypted(FileFifo *f, std::uint64_t offset, std::uint8_t *out, std::size_t n)
{
    for (std::size_t done = 0; done < n;) {
        const std::uint64_t at = offset + done;
        const std::uint8_t *from = nullptr;
        std::uint64_t available = 0;
        if (at >= f->tailAt) {
            from = f->tail + (at - f->tailAt);
            available = f->total - at;
        } else {
            if (at < f->aheadAt || at >= f->aheadEnd) {
                const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof f->ahead, f->tailAt - at));
                f->aheadAt = f->aheadEnd = 0;
                if (!readAt(f->fd, f->ahead, k, at)) {
                    f->failed = QELError_ReadFailed;
                    return false;
                }
                f->aheadAt = at;
                f->aheadEnd = at + k;
            }
            from = f->ahead + (at - f->aheadAt);
            available = f->aheadEnd - at;
        }
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(available, n - done));
        if (qelCFBDecryptInternal(f->reader, from, k, out + done) != 0) {
            f->failed = QELError_ReadFailed;
            return false;
        }
        done += k;
    }
    return true;
}

const std::uint8_t *filePeek(QELFifo *fifo, std::uint64_t *available, QELStatus *status)
{
    FileFifo *f = self(fifo);
    if (available != nullptr)
        *available = 0;
    if (f->failed != 0) {
        setStatus(status, f->failed);
        return nullptr;
    }
    if (f->readOffset == f->total)
        return nullptr;
    if (f->readOffset == f->bufferedEnd) {
        std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(QELFileFifoBlock, f->total - f->readOffset));
        if (!readDecrypted(f, f->readOffset, f->window, k)) {
            setStatus(status, f->failed);
            return nullptr;
        }
        f->bufferedEnd = f->readOffset + k;
    }
    if (available != nullptr)
        *available = f->bufferedEnd - f->readOffset;
    return f->window;
}

// Drops n bytes of the decrypted window.
void consumeWindow(FileFifo *f, std::uint64_t n)
{
    std::uint64_t held = f->bufferedEnd - f->readOffset;
    std::memmove(f->window, f->window + n, static_cast<std::size_t>(held - n));
    qelSecureWipe(f->window + (held - n), static_cast<std::size_t>(n));
    f->readOffset += n;
}

std::uint64_t fileRead(QELFifo *fifo, void *buffer, std::uint64_t n, QELStatus *status)
{
    FileFifo *f = self(fifo);
    if (f->failed != 0) {
        setStatus(status, f->failed);
        return 0;
    }
    auto *dst = static_cast<std::uint8_t *>(buffer);
    std::uint64_t fromWindow = std::min(n, f->bufferedEnd - f->readOffset);
    if (fromWindow != 0) // an empty read may come with no buffer at all
        std::memcpy(dst, f->window, static_cast<std::size_t>(fromWindow));
    consumeWindow(f, fromWindow);
    std::uint64_t done = fromWindow;
    std::uint64_t direct = std::min(n - done, f->total - f->readOffset);
    if (direct != 0) {
        if (!readDecrypted(f, f->readOffset, dst + done, static_cast<std::size_t>(direct))) {
            qelSecureWipe(dst + done, static_cast<std::size_t>(direct));
            setStatus(status, f->failed);
            return done;
        }
        f->readOffset += direct;
        f->bufferedEnd = f->readOffset;
        done += direct;
    }
    rewindIfDrained(f);
    return done;
}

void fileSkip(QELFifo *fifo, std::uint64_t n)
{
    FileFifo *f = self(fifo);
    while (n != 0 && f->failed == 0 && f->readOffset < f->total) {
        if (f->bufferedEnd == f->readOffset) {
            std::uint64_t available = 0;
            if (filePeek(fifo, &available, nullptr) == nullptr)
                break;
        }
        std::uint64_t k = std::min(n, f->bufferedEnd - f->readOffset);
        consumeWindow(f, k);
        n -= k;
    }
    rewindIfDrained(f);
}

void fileClear(QELFifo *fifo)
{
    FileFifo *f = self(fifo);
    restart(f);
    qelSecureWipe(f->window, sizeof f->window);
    syncReader(f);
}

void fileDestroy(QELFifo *fifo)
{
    if (fifo != nullptr)
        release(self(fifo));
}

std::uint64_t fileSize(QELFifo *fifo)
{
    FileFifo *f = self(fifo);
    return f->total - f->readOffset;
}

constexpr QELFifoDescriptor kFileFifo{"File Fifo", fileCreate, fileRead,    fileWrite, filePeek,
                                      fileSkip,    fileClear,  fileDestroy, fileSize};

} // namespace

const QELFifoDescriptor *qelFileFifoDescriptor() { return &kFileFifo; }
