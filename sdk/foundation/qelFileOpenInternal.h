// Opening file specifications as platform streams (with optional record
// locks), stdio I/O objects, file objects and the file-read pipeline source;
// exclusive creation under a per-class permission mask, file sizes and
// temporary files.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct QELContext;
struct QELMemoryMgr;
struct QELFileSpec;
struct QELFileObject;
struct QELIO;

// Open flags.
constexpr std::uint16_t QELOpen_Read = 0x01;
constexpr std::uint16_t QELOpen_Write = 0x02;
constexpr std::uint16_t QELOpen_Append = 0x04;
constexpr std::uint16_t QELOpen_Truncate = 0x08;
constexpr std::uint16_t QELOpen_Create = 0x10;
constexpr std::uint16_t QELOpen_Text = 0x20;
constexpr std::uint16_t QELOpen_Lock = 0x400;

// File classes select the permission bits of created files: class 0 the
// platform default (0666 less the process umask), classes 1 to 12 owner
// read/write only.
constexpr int QELFileClass_Default = 0;
constexpr int QELFileClass_PublicRing = 2;
constexpr int QELFileClass_SecretRing = 3;
constexpr int QELFileClass_RandomSeed = 5;
constexpr int QELFileClass_EncodeOutput = 6;
constexpr int QELFileClassCount = 13;

[[nodiscard]] QELStatus qelFileSpecOpenFile(const QELFileSpec *spec, std::uint16_t flags, int fileClass,
                              std::FILE **outStream);
[[nodiscard]] QELStatus qelFileSpecFOpen(const QELFileSpec *spec, const char *mode, std::FILE **outStream);
[[nodiscard]] QELStatus qelFileClose(std::FILE *stream);
// Non-blocking whole-file record lock; bit 0 of the flags asks for a write lock.
[[nodiscard]] QELStatus qelFileLock(std::FILE *stream, std::uint32_t flags);
// Flags: bit 0 read/write ("r+b", else "rb"), bit 1 lock.
[[nodiscard]] QELStatus qelFileSpecOpenIO(const QELFileSpec *spec, std::uint32_t flags, QELIO **outIO);
QELFileObject *qelFileSpecOpenFileObj(QELContext *context, const QELFileSpec *spec,
                                      std::uint16_t flags, int fileClass, QELStatus *outStatus);
[[nodiscard]] QELStatus qelFileSpecCreateExclusive(const QELFileSpec *spec, int fileClass);
[[nodiscard]] QELStatus qelFileSpecGetSize(const QELFileSpec *spec, std::int64_t *outSize);
// A new, open (read/write) temporary file and the spec naming it; the caller
// removes the file when done.
std::FILE *qelFileSpecCreateTemp(QELContext *context, QELFileSpec **outSpec,
                                 QELStatus *outStatus);
// A spec naming a new, empty temporary file (mode 0600) that reserves a
// unique name; the caller removes it when done.
[[nodiscard]] QELStatus qelFileSpecNewTempName(QELMemoryMgr *mgr, const QELFileSpec *spec,
                                 QELFileSpec **outSpec);

// The pipeline's file source (the File Read Module), defined with the
// pipeline's modules; the file openers make one over a file they open.
constexpr std::uint32_t QELFileReadModuleMagic = 0x46524D44; // "FRMD"
constexpr std::size_t QELFileReadModuleBufferSize = std::size_t{1} << 20; // few, large reads: at most this much

using QELFileReadProgress = QELStatus (*)(void *userValue, std::uint64_t done, std::uint64_t total);

struct QELFileReadModule {
    std::uint32_t magic;
    QELMemoryMgr *memoryMgr;     // the context's, which made the record
    const char *name;            // "File Read Module"
    QELFileObject *file;
    std::uint8_t *buffer;        // `capacity` bytes, aligned to a cache line
    void *bufferBlock;           // the allocation holding it
    std::size_t capacity;        // up to QELFileReadModuleBufferSize, less for a smaller file
    std::size_t touched;         // the leading bytes of buffer that reads have written
    std::uint8_t *current;       // next byte of buffer to write downstream
    std::uint64_t total;         // file size, 0 when unknown
    std::int64_t remaining;      // bytes still to come; below 0 when the size is unknown
    std::uint64_t pending;       // bytes in buffer not yet taken downstream
    QELFileReadProgress progress;
    void *progressUser;
    std::int32_t beginState;     // 0 before BeginInput, 1 after, 2 after EndInput
    std::int32_t announceState;  // -1 size unknown, 0 before the announcement, 1 after
    std::int32_t close;          // close the file when the source is destroyed
    QELStatus readError;         // a read failure met while peeking
    struct QELFileReadAhead *ahead; // the pipeline's read-ahead, once the file proved large
};

// A source over the file object (its size decides the announcements); null
// when memory fails, the file object then still belonging to the caller.
QELFileReadModule *qelFileReadModuleCreate(QELContext *context, QELFileObject *file, std::int32_t close);
// Closes the file when the close flag is set (its status is the result),
// then frees the source.
[[nodiscard]] QELStatus qelFileReadDestroy(QELFileReadModule *source);

QELFileReadModule *qelFileSpecOpenReadModule(QELContext *context, const QELFileSpec *spec,
                                             std::uint16_t flags, QELStatus *outStatus,
                                             std::int32_t *outWord);
