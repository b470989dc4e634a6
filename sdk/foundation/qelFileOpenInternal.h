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

// The pipeline's file source: reads a file object through an inline buffer.
constexpr std::uint32_t QELFileReadModuleMagic = 0x46524D44; // "FRMD"
constexpr std::size_t QELFileReadModuleBufferSize = 8192;

struct QELFileReadModule {
    std::uint32_t magic;
    const char *name;            // "File Read Module"
    QELContext *context;
    QELFileObject *file;         // owned once the module exists
    std::int64_t totalSize;      // negative: unknown
    std::int32_t flag;
    std::uint32_t buffered;
    std::uint8_t buffer[QELFileReadModuleBufferSize];
};

// Null when the allocation fails; the file object then still belongs to the
// caller.
QELFileReadModule *qelFileReadModuleCreate(QELContext *context, QELFileObject *file,
                                           std::int32_t flag);
// Closes the module's file object and frees the module.
[[nodiscard]] QELStatus qelFileReadModuleFree(QELFileReadModule *module);

QELFileReadModule *qelFileSpecOpenReadModule(QELContext *context, const QELFileSpec *spec,
                                             std::uint16_t flags, QELStatus *outStatus,
                                             std::int32_t *outWord);
