// I/O objects: positioned byte streams behind a class table of operations.
// Classes: the base, a memory buffer (growable or over a caller's buffer), a
// stdio class over a platform stream (derived from a file-like class), a
// proxy forwarding to another object and a write-only line-end converter
// derived from the proxy.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct QELMemoryMgr;
struct QELIO;

struct QELIOOps {
    QELStatus (*init)(QELIO *io, const void *params);
    QELStatus (*destroy)(QELIO *io);
    QELStatus (*read)(QELIO *io, std::uint32_t count, void *buffer, std::uint32_t *outRead);
    QELStatus (*write)(QELIO *io, std::uint32_t count, const void *buffer);
    QELStatus (*tell)(QELIO *io, std::int64_t *outPos);
    QELStatus (*seek)(QELIO *io, std::int64_t pos);
    QELStatus (*getSize)(QELIO *io, std::int64_t *outSize);
    QELStatus (*flush)(QELIO *io);
    // Memory class only (null elsewhere).
    QELStatus (*resize)(QELIO *io, void **inOutBuffer, std::uint32_t newSize);
};

constexpr std::uint32_t QELIOMagic = 0x514C494F;       // "QLIO"
constexpr std::uint32_t QELIOTag_Proxy = 0x50524F58;   // "PROX" (memory and proxy)
constexpr std::uint32_t QELIOTag_FileLike = 0x464C494F; // "FLIO"
constexpr std::uint32_t QELIOTag_Stdio = 0x5354494F;   // "STIO"

struct QELIO {
    std::uint32_t magic;
    const QELIOOps *cls;
    QELMemoryMgr *memMgr;
    std::int64_t pos;
};

struct QELMemoryIO {
    QELIO base;
    std::uint32_t tag;
    std::uint8_t *buffer;
    std::uint8_t ownsBuffer;
    std::uint8_t growable;
    std::uint32_t capacity;
    std::uint32_t contentSize; // highest position written
};

struct QELFileLikeIO {
    QELIO base;
    std::uint32_t tag;
    std::uint8_t flag;
};

struct QELStdioIO {
    QELFileLikeIO fileLike;
    std::uint32_t tag;
    std::int64_t size;
    std::int64_t ownPos;
    std::FILE *stream;
    std::uint8_t ownsStream;
    std::uint8_t lastOp;   // last transfer (read or write): switching must reposition
};

struct QELProxyIO {
    QELIO base;
    std::uint32_t tag;
    std::uint8_t ownsInner;
    QELIO *inner;
};

constexpr std::uint32_t QELLineEndBufferSize = 4096;

enum QELLineEndMode : std::uint32_t {
    QELLineEnd_CR = 0,
    QELLineEnd_LF = 1,
    QELLineEnd_CRLF = 2,
};

struct QELLineEndIO {
    QELProxyIO proxy;
    std::uint32_t tag;
    std::uint32_t mode;
    std::uint8_t storage[QELLineEndBufferSize];
    std::uint8_t *buffer;
    std::uint32_t bufferSize;
    std::uint32_t held;
    std::uint8_t lastWasCR;
};

// Class parameters handed to init.
struct QELMemoryIOParams {
    std::uint32_t mode; // 0 growable, 1 over the caller's buffer
    void *buffer;
    std::uint32_t size;
};
struct QELStdioIOParams {
    std::uint8_t ownsStream;
    std::FILE *stream;
};
struct QELProxyIOParams {
    std::uint8_t ownsInner;
    QELIO *inner;
};
struct QELLineEndIOParams {
    std::uint8_t ownsInner;
    QELIO *inner;
    std::uint32_t mode;
};

// Public operations on any object.
bool qelIOIsValid(const QELIO *io);
[[nodiscard]] QELStatus qelIONew(QELMemoryMgr *mgr, const QELIOOps *cls, std::size_t recordSize,
                   const void *params, QELIO **outIO);
[[nodiscard]] QELStatus qelIOFree(QELIO *io);
[[nodiscard]] QELStatus qelIORead(QELIO *io, std::uint32_t count, void *buffer, std::uint32_t *outRead);
[[nodiscard]] QELStatus qelIOWrite(QELIO *io, std::uint32_t count, const void *buffer);
[[nodiscard]] QELStatus qelIOSetPos(QELIO *io, std::int64_t pos);
[[nodiscard]] QELStatus qelIOGetPos(QELIO *io, std::int64_t *outPos);
[[nodiscard]] QELStatus qelIOGetSize(QELIO *io, std::int64_t *outSize);
[[nodiscard]] QELStatus qelIOFlush(QELIO *io);
bool qelIOAtEnd(QELIO *io);
QELMemoryMgr *qelIOGetMemoryMgr(const QELIO *io);
const QELIOOps *qelIOBaseClass();
const QELIOOps *qelMemoryIOClass();
const QELIOOps *qelFileLikeIOClass();
const QELIOOps *qelStdioIOClass();
const QELIOOps *qelProxyIOClass();
const QELIOOps *qelLineEndIOClass();

// Calls of one slot of a given class table (a derived class chains to its
// base through these).
[[nodiscard]] QELStatus qelIOClassCallInit(const QELIOOps *cls, QELIO *io, const void *params);
[[nodiscard]] QELStatus qelIOClassCallDestroy(const QELIOOps *cls, QELIO *io);
[[nodiscard]] QELStatus qelIOClassCallRead(const QELIOOps *cls, QELIO *io, std::uint32_t count, void *buffer,
                             std::uint32_t *outRead);
[[nodiscard]] QELStatus qelIOClassCallWrite(const QELIOOps *cls, QELIO *io, std::uint32_t count,
                              const void *buffer);
[[nodiscard]] QELStatus qelIOClassCallSeek(const QELIOOps *cls, QELIO *io, std::int64_t pos);
[[nodiscard]] QELStatus qelIOClassCallGetSize(const QELIOOps *cls, QELIO *io, std::int64_t *outSize);
[[nodiscard]] QELStatus qelIOClassCallFlush(const QELIOOps *cls, QELIO *io);

[[nodiscard]] QELStatus qelIOCopy(QELIO *source, std::uint64_t count, QELIO *destination);
[[nodiscard]] QELStatus qelIOCopyChunks(QELIO *source, std::uint64_t count, QELIO *destination, void *buffer,
                          std::uint32_t bufferSize);

// Constructors.
[[nodiscard]] QELStatus qelMemoryIONew(QELMemoryMgr *mgr, QELIO **outIO);
[[nodiscard]] QELStatus qelMemoryIONewOverBuffer(QELMemoryMgr *mgr, void *buffer, std::uint32_t size,
                                   QELIO **outIO);
[[nodiscard]] QELStatus qelStdioIONew(QELMemoryMgr *mgr, std::FILE *stream, std::uint8_t ownsStream,
                        QELIO **outIO);
[[nodiscard]] QELStatus qelProxyIONew(QELIO *inner, std::uint8_t ownsInner, QELIO **outIO);
[[nodiscard]] QELStatus qelLineEndIONew(QELIO *inner, std::uint8_t ownsInner, std::uint32_t mode,
                          QELIO **outIO);
