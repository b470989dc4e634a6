// The File Fifo. Writing and reading keep one CFB object each, identical at
// creation: the writer encrypts everything appended at `total`, the reader
// decrypts the same bytes in the same order, so the two stay in step as long
// as every byte written is read exactly once. When everything has been read
// the file is reused from offset 0.
//
// A failure of the file (a seek, a short write or read) leaves the file and
// the two ciphers out of step, so it is latched: every later operation
// reports it and moves nothing.
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
#include <cstdio>
#include <cstring>

namespace {

struct FileFifo {
    QELContext *context;
    std::FILE *stream;
    QELFileSpec *spec;  // kept only while the file could not be unlinked yet
    QELCFBContext *reader;
    QELCFBContext *writer;
    std::uint64_t total;       // bytes in the file
    std::uint64_t readOffset;  // bytes consumed
    std::uint64_t bufferedEnd; // window holds readOffset .. bufferedEnd, decrypted
    QELStatus failed;          // latched file failure
    // Where the stream stands and which way it last moved. A seek flushes
    // or drops the stream's buffer, so one is made only to move elsewhere
    // or to turn between writing and reading (which the stream requires).
    std::uint64_t position;
    bool positionKnown;
    bool lastWasWrite;
    std::uint8_t window[QELFileFifoBlock];
    std::uint8_t staging[QELFileFifoBlock];
};

FileFifo *self(QELFifo *fifo) { return reinterpret_cast<FileFifo *>(fifo); }

bool seekFor(FileFifo *f, std::uint64_t offset, bool writing)
{
    if (f->positionKnown && f->position == offset && f->lastWasWrite == writing)
        return true;
    f->positionKnown = false;
    if (::fseeko(f->stream, static_cast<off_t>(offset), SEEK_SET) != 0)
        return false;
    f->position = offset;
    f->lastWasWrite = writing;
    f->positionKnown = true;
    return true;
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
        if (qelRandomGetBytes(random, key.get(), static_cast<std::uint32_t>(key.size())) != 0 ||
            qelRandomGetBytes(random, iv.get(), static_cast<std::uint32_t>(iv.size())) != 0 ||
            qelCFBInit(f->writer, key.get(), iv.get()) != 0 || qelCFBCopy(f->writer, &f->reader) != 0) {
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
    return reinterpret_cast<QELFifo *>(f);
}

// Everything read: start the file again from offset 0.
void rewindIfDrained(FileFifo *f)
{
    if (f->readOffset == f->total)
        f->total = f->readOffset = f->bufferedEnd = 0;
}

std::uint64_t fileWrite(QELFifo *fifo, const void *bytes, std::uint64_t n, QELStatus *status)
{
    FileFifo *f = self(fifo);
    if (f->failed != 0) {
        setStatus(status, f->failed);
        return 0;
    }
    if (n == 0)
        return 0;
    if (!seekFor(f, f->total, true)) {
        setStatus(status, f->failed = QELError_FileOpFailed);
        return 0;
    }
    const auto *src = static_cast<const std::uint8_t *>(bytes);
    std::uint64_t done = 0;
    while (done < n) {
        std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(QELFileFifoBlock, n - done));
        if (qelCFBEncryptInternal(f->writer, src + done, k, f->staging) != 0) {
            setStatus(status, f->failed = QELError_FileOpFailed);
            break;
        }
        if (std::fwrite(f->staging, 1, k, f->stream) != k) {
            setStatus(status, f->failed = QELError_WriteFailed);
            break;
        }
        f->position += k;
        f->total += k;
        done += k;
    }
    qelSecureWipe(f->staging, sizeof f->staging);
    return done;
}

// Reads and decrypts n bytes at the read offset into out.
bool readAt(FileFifo *f, std::uint64_t offset, std::uint8_t *out, std::size_t n)
{
    if (!seekFor(f, offset, false)) {
        f->failed = QELError_FileOpFailed;
        return false;
    }
    if (std::fread(out, 1, n, f->stream) != n) {
        f->failed = QELError_ReadFailed;
        return false;
    }
    f->position += n;
    if (qelCFBDecryptInternal(f->reader, out, n, out) != 0) {
        f->failed = QELError_ReadFailed;
        return false;
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
        if (!readAt(f, f->readOffset, f->window, k)) {
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
        if (!readAt(f, f->readOffset, dst + done, static_cast<std::size_t>(direct))) {
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
    f->total = f->readOffset = f->bufferedEnd = 0;
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
