// I/O objects: the base class and the memory, file-like, stdio, proxy and
// line-end converter classes.
#include "qelIOInternal.h"

#include "qelMemoryInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <cstring>

#include <sys/stat.h>
#include <sys/types.h>

namespace {

// --- base class ------------------------------------------------------------

QELStatus baseInit(QELIO *io, const void *)
{
    if (!qelIOIsValid(io))
        return QELError_BadParams;
    io->pos = 0;
    return 0;
}

QELStatus baseDestroy(QELIO *io)
{
    return qelIOIsValid(io) ? 0 : QELError_BadParams;
}

QELStatus baseRead(QELIO *, std::uint32_t, void *, std::uint32_t *outRead)
{
    if (outRead != nullptr)
        *outRead = 0;
    return QELError_IllegalFileOp;
}

QELStatus baseWrite(QELIO *, std::uint32_t, const void *)
{
    return QELError_IllegalFileOp;
}

QELStatus baseTell(QELIO *io, std::int64_t *outPos)
{
    *outPos = io->pos;
    return 0;
}

QELStatus baseSeek(QELIO *io, std::int64_t)
{
    return qelIOIsValid(io) ? 0 : QELError_BadParams;
}

QELStatus baseGetSize(QELIO *, std::int64_t *)
{
    return QELError_IllegalFileOp;
}

QELStatus baseFlush(QELIO *)
{
    return 0;
}

// --- memory class ----------------------------------------------------------

QELMemoryIO *asMemory(QELIO *io)
{
    if (!qelIOIsValid(io) || io->cls != qelMemoryIOClass())
        return nullptr;
    auto *mem = reinterpret_cast<QELMemoryIO *>(io);
    return mem->tag == QELIOTag_Proxy ? mem : nullptr;
}

QELStatus memoryResize(QELIO *io, void **inOutBuffer, std::uint32_t newSize)
{
    if (!qelIOIsValid(io) || inOutBuffer == nullptr)
        return QELError_BadParams;
    return qelMemRealloc(io->memMgr, inOutBuffer, newSize, 0);
}

QELStatus memoryInit(QELIO *io, const void *params)
{
    auto *p = static_cast<const QELMemoryIOParams *>(params);
    if (p == nullptr)
        return QELError_BadParams;
    QELStatus status = baseInit(io, nullptr);
    if (status != 0)
        return status;
    auto *mem = reinterpret_cast<QELMemoryIO *>(io);
    mem->tag = QELIOTag_Proxy;
    mem->capacity = 512;
    mem->ownsBuffer = 1;
    mem->contentSize = 0;
    if (p->mode == 0) {
        mem->growable = 1;
        void *buffer = nullptr;
        status = io->cls->resize(io, &buffer, 512);
        if (status != 0)
            return status;
        mem->buffer = static_cast<std::uint8_t *>(buffer);
        return 0;
    }
    if (p->mode == 1 && p->buffer != nullptr) {
        mem->buffer = static_cast<std::uint8_t *>(p->buffer);
        mem->ownsBuffer = 0;
        mem->growable = 0;
        mem->capacity = p->size;
        mem->contentSize = p->size;
        return 0;
    }
    mem->ownsBuffer = 0;
    return QELError_BadParams;
}

QELStatus memoryDestroy(QELIO *io)
{
    if (!qelIOIsValid(io))
        return QELError_BadParams;
    auto *mem = reinterpret_cast<QELMemoryIO *>(io);
    if (mem->ownsBuffer && mem->buffer != nullptr) {
        qelSecureWipe(mem->buffer, mem->capacity);
        static_cast<void>(qelMemFree(mem->buffer));
    }
    mem->buffer = nullptr;
    mem->tag = ~mem->tag;
    return baseDestroy(io);
}

QELStatus memoryRead(QELIO *io, std::uint32_t count, void *buffer, std::uint32_t *outRead)
{
    *outRead = 0;
    QELMemoryIO *mem = asMemory(io);
    if (mem == nullptr)
        return QELError_BadParams;
    std::int64_t available = io->pos < mem->contentSize ? mem->contentSize - io->pos : 0;
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::int64_t>(available, count));
    if (n != 0)
        std::memcpy(buffer, mem->buffer + io->pos, n);
    *outRead = n;
    return n < count ? QELError_EOF : 0;
}

// Positions and sizes are 32-bit in this class: a write whose end would not
// fit is refused instead of wrapping round onto the start of the buffer.
QELStatus memoryWrite(QELIO *io, std::uint32_t count, const void *bytes)
{
    QELMemoryIO *mem = asMemory(io);
    if (mem == nullptr)
        return QELError_BadParams;
    std::uint64_t start = static_cast<std::uint64_t>(io->pos);
    std::uint64_t end = start + count;
    if (end > UINT32_MAX)
        return QELError_MemoryIOFull;
    if (end > mem->capacity) {
        if (!mem->growable)
            return QELError_MemoryIOFull;
        std::uint64_t wanted = std::max<std::uint64_t>(
            std::uint64_t{mem->capacity} + mem->capacity / 2, end);
        wanted = std::min<std::uint64_t>(wanted, UINT32_MAX);
        void *buffer = mem->buffer;
        QELStatus status = io->cls->resize(io, &buffer, static_cast<std::uint32_t>(wanted));
        if (status != 0) {
            wanted = end;
            status = io->cls->resize(io, &buffer, static_cast<std::uint32_t>(wanted));
            if (status != 0)
                return status;
        }
        mem->buffer = static_cast<std::uint8_t *>(buffer);
        mem->capacity = static_cast<std::uint32_t>(wanted);
    }
    // A write after a seek past the content must not expose whatever the
    // gap's bytes held before (a grown buffer is not cleared).
    if (start > mem->contentSize)
        std::memset(mem->buffer + mem->contentSize, 0, start - mem->contentSize);
    std::memcpy(mem->buffer + start, bytes, count);
    if (end > mem->contentSize)
        mem->contentSize = static_cast<std::uint32_t>(end);
    return 0;
}

QELStatus memoryGetSize(QELIO *io, std::int64_t *outSize)
{
    QELMemoryIO *mem = asMemory(io);
    if (mem == nullptr)
        return QELError_BadParams;
    *outSize = mem->contentSize;
    return 0;
}

// --- file-like and stdio classes ------------------------------------------

QELStatus fileLikeInit(QELIO *io, const void *)
{
    QELStatus status = baseInit(io, nullptr);
    if (status != 0)
        return status;
    auto *f = reinterpret_cast<QELFileLikeIO *>(io);
    f->tag = QELIOTag_FileLike;
    f->flag = 1;
    return 0;
}

QELStatus fileLikeDestroy(QELIO *io)
{
    if (!qelIOIsValid(io))
        return QELError_BadParams;
    reinterpret_cast<QELFileLikeIO *>(io)->tag = 0;
    return baseDestroy(io);
}

QELStdioIO *asStdio(QELIO *io)
{
    if (!qelIOIsValid(io) || io->cls != qelStdioIOClass())
        return nullptr;
    auto *s = reinterpret_cast<QELStdioIO *>(io);
    if (s->fileLike.tag != QELIOTag_FileLike || s->tag != QELIOTag_Stdio || s->stream == nullptr)
        return nullptr;
    return s;
}

enum : std::uint8_t { kLastNone = 0, kLastRead = 1, kLastWrite = 2 };

// The platform stream may not go from writing to reading (or back) without
// a positioning call in between.
bool stdioSwitch(QELStdioIO *s, std::uint8_t next)
{
    if (s->lastOp != kLastNone && s->lastOp != next) {
        if (::fseeko(s->stream, static_cast<off_t>(s->ownPos), SEEK_SET) != 0)
            return false;
    }
    s->lastOp = next;
    return true;
}

QELStatus stdioInit(QELIO *io, const void *params)
{
    auto *p = static_cast<const QELStdioIOParams *>(params);
    if (p == nullptr || p->stream == nullptr)
        return QELError_BadParams;
    QELStatus status = fileLikeInit(io, nullptr);
    if (status != 0)
        return status;
    auto *s = reinterpret_cast<QELStdioIO *>(io);
    s->tag = QELIOTag_Stdio;
    s->stream = p->stream;
    s->ownsStream = p->ownsStream;
    s->ownPos = 0;
    struct stat st {};
    s->size = ::fstat(::fileno(p->stream), &st) == 0 ? st.st_size : 0;
    return 0;
}

QELStatus stdioDestroy(QELIO *io)
{
    if (!qelIOIsValid(io))
        return QELError_BadParams;
    auto *s = reinterpret_cast<QELStdioIO *>(io);
    if (s->stream == nullptr)
        return QELError_BadParams;
    int rc = std::fclose(s->stream);
    s->stream = nullptr;
    s->tag = 0;
    QELStatus status = fileLikeDestroy(io);
    return rc != 0 ? QELError_FileOpFailed : status;
}

QELStatus stdioRead(QELIO *io, std::uint32_t count, void *buffer, std::uint32_t *outRead)
{
    *outRead = 0;
    QELStdioIO *s = asStdio(io);
    if (s == nullptr)
        return QELError_BadParams;
    if (!stdioSwitch(s, kLastRead))
        return QELError_FileOpFailed;
    std::size_t n = std::fread(buffer, 1, count, s->stream);
    s->ownPos += static_cast<std::int64_t>(n);
    *outRead = static_cast<std::uint32_t>(n);
    return n < count ? QELError_EOF : 0;
}

QELStatus stdioWrite(QELIO *io, std::uint32_t count, const void *buffer)
{
    QELStdioIO *s = asStdio(io);
    if (s == nullptr)
        return QELError_BadParams;
    if (!stdioSwitch(s, kLastWrite))
        return QELError_FileOpFailed;
    std::size_t n = std::fwrite(buffer, 1, count, s->stream);
    s->ownPos += static_cast<std::int64_t>(n);
    s->size = std::max(s->size, s->ownPos);
    return n < count ? QELError_WriteFailed : 0;
}

QELStatus stdioSeek(QELIO *io, std::int64_t pos)
{
    QELStdioIO *s = asStdio(io);
    if (s == nullptr)
        return QELError_BadParams;
    if (pos < 0 || pos > s->size)
        return QELError_FileOpFailed;
    if (::fseeko(s->stream, static_cast<off_t>(pos), SEEK_SET) != 0)
        return QELError_FileOpFailed;
    s->ownPos = pos;
    s->lastOp = kLastNone;
    return 0;
}

QELStatus stdioGetSize(QELIO *io, std::int64_t *outSize)
{
    QELStdioIO *s = asStdio(io);
    if (s == nullptr)
        return QELError_BadParams;
    *outSize = s->size;
    return 0;
}

QELStatus stdioFlush(QELIO *io)
{
    QELStdioIO *s = asStdio(io);
    if (s == nullptr)
        return QELError_BadParams;
    return std::fflush(s->stream) == 0 ? 0 : QELError_FileOpFailed;
}

QELStatus stdioTell(QELIO *io, std::int64_t *outPos)
{
    if (asStdio(io) == nullptr)
        return QELError_BadParams;
    return baseTell(io, outPos);
}

// --- proxy class -----------------------------------------------------------

QELProxyIO *asProxy(QELIO *io)
{
    if (!qelIOIsValid(io) || (io->cls != qelProxyIOClass() && io->cls != qelLineEndIOClass()))
        return nullptr;
    auto *p = reinterpret_cast<QELProxyIO *>(io);
    return p->tag == QELIOTag_Proxy && qelIOIsValid(p->inner) ? p : nullptr;
}

QELStatus proxyInit(QELIO *io, const void *params)
{
    auto *p = static_cast<const QELProxyIOParams *>(params);
    if (p == nullptr || !qelIOIsValid(p->inner))
        return QELError_BadParams;
    QELStatus status = baseInit(io, nullptr);
    if (status != 0)
        return status;
    auto *proxy = reinterpret_cast<QELProxyIO *>(io);
    proxy->tag = QELIOTag_Proxy;
    proxy->ownsInner = p->ownsInner;
    proxy->inner = p->inner;
    return 0;
}

QELStatus proxyDestroy(QELIO *io)
{
    if (!qelIOIsValid(io))
        return QELError_BadParams;
    auto *proxy = reinterpret_cast<QELProxyIO *>(io);
    if (proxy->ownsInner && proxy->inner != nullptr)
        static_cast<void>(qelIOFree(proxy->inner));
    proxy->inner = nullptr;
    proxy->tag = 0;
    return baseDestroy(io);
}

QELStatus proxyRead(QELIO *io, std::uint32_t count, void *buffer, std::uint32_t *outRead)
{
    *outRead = 0;
    QELProxyIO *p = asProxy(io);
    return p == nullptr ? QELError_BadParams : qelIORead(p->inner, count, buffer, outRead);
}

QELStatus proxyWrite(QELIO *io, std::uint32_t count, const void *buffer)
{
    QELProxyIO *p = asProxy(io);
    return p == nullptr ? QELError_BadParams : qelIOWrite(p->inner, count, buffer);
}

QELStatus proxySeek(QELIO *io, std::int64_t pos)
{
    QELProxyIO *p = asProxy(io);
    return p == nullptr ? QELError_BadParams : qelIOSetPos(p->inner, pos);
}

QELStatus proxyGetSize(QELIO *io, std::int64_t *outSize)
{
    QELProxyIO *p = asProxy(io);
    return p == nullptr ? QELError_BadParams : qelIOGetSize(p->inner, outSize);
}

QELStatus proxyFlush(QELIO *io)
{
    QELProxyIO *p = asProxy(io);
    return p == nullptr ? QELError_BadParams : qelIOFlush(p->inner);
}

// --- line-end converter ----------------------------------------------------

QELLineEndIO *asLineEnd(QELIO *io)
{
    if (!qelIOIsValid(io) || io->cls != qelLineEndIOClass() || asProxy(io) == nullptr)
        return nullptr;
    auto *l = reinterpret_cast<QELLineEndIO *>(io);
    return l->tag == QELIOTag_FileLike ? l : nullptr;
}

QELStatus lineEndWriteHeld(QELLineEndIO *l)
{
    if (l->held == 0)
        return 0;
    QELStatus status = qelIOWrite(l->proxy.inner, l->held, l->buffer);
    if (status == 0)
        l->held = 0;
    return status;
}

QELStatus lineEndInit(QELIO *io, const void *params)
{
    auto *p = static_cast<const QELLineEndIOParams *>(params);
    if (p == nullptr || p->mode > QELLineEnd_CRLF)
        return QELError_BadParams;
    QELProxyIOParams proxyParams{p->ownsInner, p->inner};
    QELStatus status = proxyInit(io, &proxyParams);
    if (status != 0)
        return status;
    auto *l = reinterpret_cast<QELLineEndIO *>(io);
    l->tag = QELIOTag_FileLike;
    l->buffer = l->storage;
    l->bufferSize = QELLineEndBufferSize;
    l->held = 0;
    l->lastWasCR = 0;
    l->mode = p->mode;
    return 0;
}

QELStatus lineEndDestroy(QELIO *io)
{
    if (!qelIOIsValid(io))
        return QELError_BadParams;
    auto *l = reinterpret_cast<QELLineEndIO *>(io);
    QELStatus flushStatus = 0;
    if (qelIOIsValid(l->proxy.inner)) {
        QELStatus writeStatus = lineEndWriteHeld(l);
        l->held = 0;
        if (writeStatus != 0) {
            l->tag = ~l->tag;
            proxyDestroy(io);
            return writeStatus;
        }
        flushStatus = qelIOFlush(l->proxy.inner);
    }
    l->tag = ~l->tag;
    QELStatus status = proxyDestroy(io);
    return flushStatus != 0 ? flushStatus : status;
}

QELStatus lineEndRead(QELIO *, std::uint32_t count, void *buffer, std::uint32_t *outRead)
{
    std::memset(buffer, 0, count);
    *outRead = 0;
    return QELError_IllegalFileOp;
}

QELStatus lineEndWrite(QELIO *io, std::uint32_t count, const void *bytes)
{
    QELLineEndIO *l = asLineEnd(io);
    if (l == nullptr)
        return QELError_BadParams;
    auto *in = static_cast<const std::uint8_t *>(bytes);
    std::uint64_t produced = 0;
    auto emit = [&](std::uint8_t b) -> QELStatus {
        if (l->held == l->bufferSize) {
            QELStatus status = lineEndWriteHeld(l);
            if (status != 0)
                return status;
        }
        l->buffer[l->held++] = b;
        ++produced;
        return 0;
    };
    auto emitLineEnd = [&]() -> QELStatus {
        QELStatus status = 0;
        if (l->mode == QELLineEnd_CR || l->mode == QELLineEnd_CRLF)
            status = emit('\r');
        if (status == 0 && (l->mode == QELLineEnd_LF || l->mode == QELLineEnd_CRLF))
            status = emit('\n');
        return status;
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t b = in[i];
        QELStatus status = 0;
        if (b == '\r') {
            status = emitLineEnd();
        } else if (b == '\n') {
            if (!l->lastWasCR)
                status = emitLineEnd();
        } else {
            status = emit(b);
        }
        l->lastWasCR = b == '\r';
        if (status != 0)
            return status;
    }
    io->pos += static_cast<std::int64_t>(produced) - static_cast<std::int64_t>(count);
    return 0;
}

QELStatus lineEndTell(QELIO *io, std::int64_t *outPos)
{
    QELLineEndIO *l = asLineEnd(io);
    return l == nullptr ? QELError_BadParams : qelIOGetPos(l->proxy.inner, outPos);
}

// Buffered output belongs before the new position, so it goes out first.
QELStatus lineEndSeek(QELIO *io, std::int64_t pos)
{
    QELLineEndIO *l = asLineEnd(io);
    if (l == nullptr || pos < 0)
        return QELError_BadParams;
    QELStatus status = lineEndWriteHeld(l);
    if (status != 0)
        return status;
    l->lastWasCR = 0;
    status = qelIOSetPos(l->proxy.inner, pos);
    if (status == 0)
        io->pos = pos;
    return status;
}

QELStatus lineEndFlush(QELIO *io)
{
    QELLineEndIO *l = asLineEnd(io);
    if (l == nullptr)
        return QELError_BadParams;
    QELStatus status = lineEndWriteHeld(l);
    if (status != 0)
        return status;
    return qelIOFlush(l->proxy.inner);
}

QELStatus lineEndGetSize(QELIO *io, std::int64_t *outSize)
{
    QELLineEndIO *l = asLineEnd(io);
    return l == nullptr ? QELError_BadParams : qelIOGetSize(l->proxy.inner, outSize);
}

// --- class tables ------------------------------------------------------------
// An operation a class does not override is the base class's.
//                                init          destroy          read         write         tell         seek         getSize          flush         resize
constexpr QELIOOps kBaseOps     = {baseInit,     baseDestroy,     baseRead,    baseWrite,    baseTell,    baseSeek,    baseGetSize,     baseFlush,    nullptr};
constexpr QELIOOps kMemoryOps   = {memoryInit,   memoryDestroy,   memoryRead,  memoryWrite,  baseTell,    baseSeek,    memoryGetSize,   baseFlush,    memoryResize};
constexpr QELIOOps kFileLikeOps = {fileLikeInit, fileLikeDestroy, baseRead,    baseWrite,    baseTell,    baseSeek,    baseGetSize,     baseFlush,    nullptr};
constexpr QELIOOps kStdioOps    = {stdioInit,    stdioDestroy,    stdioRead,   stdioWrite,   stdioTell,   stdioSeek,   stdioGetSize,    stdioFlush,   nullptr};
constexpr QELIOOps kProxyOps    = {proxyInit,    proxyDestroy,    proxyRead,   proxyWrite,   baseTell,    proxySeek,   proxyGetSize,    proxyFlush,   nullptr};
constexpr QELIOOps kLineEndOps  = {lineEndInit,  lineEndDestroy,  lineEndRead, lineEndWrite, lineEndTell, lineEndSeek, lineEndGetSize,  lineEndFlush, nullptr};

// The proxy and line-end constructors: the new object lives with the inner
// one's memory manager.
QELStatus newOverInner(QELIO *inner, const QELIOOps *cls, std::size_t recordSize,
                       const void *params, QELIO **outIO)
{
    if (outIO == nullptr)
        return QELError_BadParams;
    *outIO = nullptr;
    if (!qelIOIsValid(inner))
        return QELError_BadParams;
    return qelIONew(inner->memMgr, cls, recordSize, params, outIO);
}

} // namespace

const QELIOOps *qelIOBaseClass()
{
    return &kBaseOps;
}

const QELIOOps *qelMemoryIOClass()
{
    return &kMemoryOps;
}

const QELIOOps *qelFileLikeIOClass()
{
    return &kFileLikeOps;
}

const QELIOOps *qelStdioIOClass()
{
    return &kStdioOps;
}

const QELIOOps *qelProxyIOClass()
{
    return &kProxyOps;
}

const QELIOOps *qelLineEndIOClass()
{
    return &kLineEndOps;
}

// --- public operations -------------------------------------------------------

bool qelIOIsValid(const QELIO *io)
{
    return io != nullptr && io->magic == QELIOMagic && io->cls != nullptr;
}

QELStatus qelIONew(QELMemoryMgr *mgr, const QELIOOps *cls, std::size_t recordSize,
                   const void *params, QELIO **outIO)
{
    if (outIO == nullptr)
        return QELError_BadParams;
    *outIO = nullptr;
    if (cls == nullptr || recordSize < sizeof(QELIO))
        return QELError_BadParams;
    auto *io = static_cast<QELIO *>(qelMemAlloc(mgr, recordSize, QELMemFlag_Clear));
    if (io == nullptr)
        return QELError_OutOfMemory;
    io->magic = QELIOMagic;
    io->cls = cls;
    io->memMgr = mgr;
    QELStatus status = cls->init(io, params);
    if (status != 0) {
        cls->destroy(io);
        io->magic = 0;
        static_cast<void>(qelMemFree(io));
        return status;
    }
    *outIO = io;
    return 0;
}

QELStatus qelIOFree(QELIO *io)
{
    if (!qelIOIsValid(io))
        return QELError_BadParams;
    QELStatus status = io->cls->destroy(io);
    io->magic = 0;
    static_cast<void>(qelMemFree(io));
    return status;
}

QELStatus qelIORead(QELIO *io, std::uint32_t count, void *buffer, std::uint32_t *outRead)
{
    if (outRead != nullptr)
        *outRead = 0;
    if (!qelIOIsValid(io) || buffer == nullptr)
        return QELError_BadParams;
    if (count == 0)
        return 0;
    std::uint32_t got = 0;
    QELStatus status = io->cls->read(io, count, buffer, &got);
    if (status == 0)
        io->pos += got;
    if (outRead != nullptr)
        *outRead = got;
    return status;
}

QELStatus qelIOWrite(QELIO *io, std::uint32_t count, const void *buffer)
{
    if (!qelIOIsValid(io) || buffer == nullptr)
        return QELError_BadParams;
    if (count == 0)
        return 0;
    QELStatus status = io->cls->write(io, count, buffer);
    if (status == 0)
        io->pos += count;
    return status;
}

// A refused seek leaves the object where it was, so that later reads and
// writes do not disagree with the position the object reports.
QELStatus qelIOSetPos(QELIO *io, std::int64_t pos)
{
    if (!qelIOIsValid(io) || pos < 0)
        return QELError_BadParams;
    std::int64_t old = io->pos;
    io->pos = pos;
    QELStatus status = io->cls->seek(io, pos);
    if (status != 0)
        io->pos = old;
    return status;
}

QELStatus qelIOGetPos(QELIO *io, std::int64_t *outPos)
{
    if (outPos == nullptr)
        return QELError_BadParams;
    *outPos = 0;
    if (!qelIOIsValid(io))
        return QELError_BadParams;
    return io->cls->tell(io, outPos);
}

QELStatus qelIOGetSize(QELIO *io, std::int64_t *outSize)
{
    if (outSize == nullptr)
        return QELError_BadParams;
    *outSize = 0;
    if (!qelIOIsValid(io))
        return QELError_BadParams;
    return io->cls->getSize(io, outSize);
}

QELStatus qelIOFlush(QELIO *io)
{
    if (!qelIOIsValid(io))
        return QELError_BadParams;
    return io->cls->flush(io);
}

bool qelIOAtEnd(QELIO *io)
{
    std::int64_t size = 0;
    std::int64_t pos = 0;
    // Failures leave size and pos at 0: an object that cannot tell is at its end.
    static_cast<void>(qelIOGetSize(io, &size));
    static_cast<void>(qelIOGetPos(io, &pos));
    return pos >= size;
}

QELMemoryMgr *qelIOGetMemoryMgr(const QELIO *io)
{
    return qelIOIsValid(io) ? io->memMgr : nullptr;
}

QELStatus qelIOClassCallInit(const QELIOOps *cls, QELIO *io, const void *params)
{
    return cls == nullptr || !qelIOIsValid(io) ? QELError_BadParams : cls->init(io, params);
}

QELStatus qelIOClassCallDestroy(const QELIOOps *cls, QELIO *io)
{
    return cls == nullptr || !qelIOIsValid(io) ? QELError_BadParams : cls->destroy(io);
}

QELStatus qelIOClassCallRead(const QELIOOps *cls, QELIO *io, std::uint32_t count, void *buffer,
                             std::uint32_t *outRead)
{
    if (outRead != nullptr)
        *outRead = 0;
    if (cls == nullptr || !qelIOIsValid(io) || buffer == nullptr || outRead == nullptr)
        return QELError_BadParams;
    return cls->read(io, count, buffer, outRead);
}

QELStatus qelIOClassCallWrite(const QELIOOps *cls, QELIO *io, std::uint32_t count,
                              const void *buffer)
{
    if (cls == nullptr || !qelIOIsValid(io) || buffer == nullptr)
        return QELError_BadParams;
    return cls->write(io, count, buffer);
}

QELStatus qelIOClassCallSeek(const QELIOOps *cls, QELIO *io, std::int64_t pos)
{
    return cls == nullptr || !qelIOIsValid(io) ? QELError_BadParams : cls->seek(io, pos);
}

QELStatus qelIOClassCallGetSize(const QELIOOps *cls, QELIO *io, std::int64_t *outSize)
{
    if (outSize == nullptr)
        return QELError_BadParams;
    *outSize = 0;
    return cls == nullptr || !qelIOIsValid(io) ? QELError_BadParams : cls->getSize(io, outSize);
}

QELStatus qelIOClassCallFlush(const QELIOOps *cls, QELIO *io)
{
    return cls == nullptr || !qelIOIsValid(io) ? QELError_BadParams : cls->flush(io);
}

QELStatus qelIOCopy(QELIO *source, std::uint64_t count, QELIO *destination)
{
    if (!qelIOIsValid(source) || !qelIOIsValid(destination))
        return QELError_BadParams;
    if (count == 0)
        return 0;
    auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, 32768));
    void *buffer = qelMemAlloc(source->memMgr, size, 0);
    if (buffer == nullptr)
        return QELError_OutOfMemory;
    QELStatus status = qelIOCopyChunks(source, count, destination, buffer, size);
    qelSecureWipe(buffer, size);
    static_cast<void>(qelMemFree(buffer));
    return status;
}

QELStatus qelIOCopyChunks(QELIO *source, std::uint64_t count, QELIO *destination, void *buffer,
                          std::uint32_t bufferSize)
{
    if (count == 0)
        return 0;
    if (buffer == nullptr || bufferSize == 0)
        return QELError_BadParams;
    while (count != 0) {
        auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, bufferSize));
        QELStatus status = qelIORead(source, n, buffer, nullptr);
        if (status != 0)
            return status;
        status = qelIOWrite(destination, n, buffer);
        if (status != 0)
            return status;
        count -= n;
    }
    return 0;
}

// --- constructors --------------------------------------------------------------

QELStatus qelMemoryIONew(QELMemoryMgr *mgr, QELIO **outIO)
{
    QELMemoryIOParams params{0, nullptr, 0};
    return qelIONew(mgr, qelMemoryIOClass(), sizeof(QELMemoryIO), &params, outIO);
}

QELStatus qelMemoryIONewOverBuffer(QELMemoryMgr *mgr, void *buffer, std::uint32_t size,
                                   QELIO **outIO)
{
    if (outIO == nullptr)
        return QELError_BadParams;
    *outIO = nullptr;
    if (buffer == nullptr)
        return QELError_BadParams;
    QELMemoryIOParams params{1, buffer, size};
    return qelIONew(mgr, qelMemoryIOClass(), sizeof(QELMemoryIO), &params, outIO);
}

QELStatus qelStdioIONew(QELMemoryMgr *mgr, std::FILE *stream, std::uint8_t ownsStream,
                        QELIO **outIO)
{
    QELStdioIOParams params{ownsStream, stream};
    return qelIONew(mgr, qelStdioIOClass(), sizeof(QELStdioIO), &params, outIO);
}

QELStatus qelProxyIONew(QELIO *inner, std::uint8_t ownsInner, QELIO **outIO)
{
    QELProxyIOParams params{ownsInner, inner};
    return newOverInner(inner, &kProxyOps, sizeof(QELProxyIO), &params, outIO);
}

QELStatus qelLineEndIONew(QELIO *inner, std::uint8_t ownsInner, std::uint32_t mode,
                          QELIO **outIO)
{
    QELLineEndIOParams params{ownsInner, inner, mode};
    return newOverInner(inner, &kLineEndOps, sizeof(QELLineEndIO), &params, outIO);
}
