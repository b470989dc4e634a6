// File specifications: a file named by kind (kind 14, a Unix full path) with
// a table of operations for that kind, flattened to bytes for the service
// protocol, compared, renamed, and used to derive related specs.
#pragma once

#include "qelErrors.h"
#include "qelFileSpec.h"

#include <cstddef>
#include <cstdint>

struct QELMemoryMgr;
struct QELContext;
struct QELFileSpecOps;

constexpr std::uint32_t QELFileSpecMagic = 0x251DEA9B;
constexpr std::int32_t QELFileSpecKind_UnixPath = 14;
// Room for one file name with its NUL.
constexpr std::size_t QELFileSpecNameBufferSize = 256;
// How many numbered variants qelFileSpecMakeUnique tries before giving up.
constexpr std::uint32_t QELFileSpecMaxUniqueTries = 100000;

struct QELFileSpec {
    std::uint32_t magic;
    QELMemoryMgr *memMgr;       // holds the record and its data
    std::int32_t kind;
    std::uint32_t dataSize;     // bytes of the kind data
    const QELFileSpecOps *ops;  // null for a kind without a table
    void *data;                 // kind 14: the NUL-terminated path
};

struct QELFileSpecOps {
    QELStatus (*exportData)(const QELFileSpec *spec, std::uint8_t **outBytes,
                            std::uint32_t *outLength);
    QELStatus (*importData)(QELFileSpec *spec, const std::uint8_t *bytes, std::uint32_t length);
    bool (*equal)(const QELFileSpec *spec, const QELFileSpec *other);
    QELStatus (*getName)(const QELFileSpec *spec, char outName[QELFileSpecNameBufferSize]);
    QELStatus (*setName)(QELFileSpec *spec, const char *name);
    QELStatus (*setMetadata)(QELFileSpec *spec, std::uint32_t v1, std::uint32_t v2,
                             std::uint32_t v3, std::uint32_t v4, std::uint32_t v5);
    QELStatus (*exists)(const QELFileSpec *spec, std::uint8_t *outExists);
    QELStatus (*create)(const QELFileSpec *spec);
    QELStatus (*deleteFile)(const QELFileSpec *spec);
    QELStatus (*rename)(QELFileSpec *spec, const char *newName);
    QELStatus (*maxNameLength)(const QELFileSpec *spec, std::uint32_t *outLength);
    QELStatus (*parent)(const QELFileSpec *spec, QELFileSpec **outParent);
    QELStatus (*child)(const QELFileSpec *spec, const char *name, QELFileSpec **outChild);
};

// Type flags of QELFileInfo.
constexpr std::uint32_t QELFileInfo_Directory = 1;
constexpr std::uint32_t QELFileInfo_Regular = 2;

struct QELFileInfo {
    std::uint32_t typeFlags;
    std::int64_t size;          // only for regular files, else 0
    std::int64_t modTime;       // platform seconds
};

struct QELDirIter;

// Records.
bool qelFileSpecIsValid(const void *spec);
[[nodiscard]] QELStatus qelFileSpecNew(QELMemoryMgr *mgr, std::int32_t kind, std::uint32_t dataSize,
                         QELFileSpec **outSpec);
const QELFileSpecOps *qelFileSpecOpsForKind(std::int32_t kind);
[[nodiscard]] QELStatus qelFileSpecNewFromPath(QELMemoryMgr *mgr, const char *path, QELFileSpec **outSpec);
[[nodiscard]] QELStatus qelFileSpecCopy(const QELFileSpec *spec, QELFileSpec **outCopy);
[[nodiscard]] QELStatus qelFileSpecFree(QELFileSpec *spec);
QELMemoryMgr *qelFileSpecGetMemoryMgr(const QELFileSpec *spec);

// Flattening: a kind byte followed by the kind's own form. The exported
// buffer is a guarded block of the spec's manager, freed with qelMemFree.
[[nodiscard]] QELStatus qelFileSpecExport(const QELFileSpec *spec, std::uint8_t **outBytes,
                            std::uint32_t *outLength);
[[nodiscard]] QELStatus qelFileSpecImport(QELMemoryMgr *mgr, const std::uint8_t *bytes, std::uint32_t length,
                            QELFileSpec **outSpec);
[[nodiscard]] QELStatus qelFileSpecImportCtx(QELContext *context, const std::uint8_t *bytes,
                               std::uint32_t length, QELFileSpec **outSpec);
std::uint8_t *qelFileSpecExportBuffer(const QELFileSpec *spec, std::uint32_t *outLength);

// Operations through the kind's table.
bool qelFileSpecEqual(const QELFileSpec *spec, const QELFileSpec *other);
[[nodiscard]] QELStatus qelFileSpecGetName(const QELFileSpec *spec, std::size_t bufferSize, char *buffer);
[[nodiscard]] QELStatus qelFileSpecGetNameCopy(const QELFileSpec *spec, char **outName);
char *qelFileSpecGetNameAlloc(const QELFileSpec *spec);
[[nodiscard]] QELStatus qelFileSpecSetName(QELFileSpec *spec, const char *name);
[[nodiscard]] QELStatus qelFileSpecSetMetadata(QELFileSpec *spec, std::uint32_t v1, std::uint32_t v2,
                                 std::uint32_t v3, std::uint32_t v4, std::uint32_t v5);
[[nodiscard]] QELStatus qelFileSpecExists(const QELFileSpec *spec, std::uint8_t *outExists);
[[nodiscard]] QELStatus qelFileSpecCreate(const QELFileSpec *spec);
[[nodiscard]] QELStatus qelFileSpecDelete(const QELFileSpec *spec);
[[nodiscard]] QELStatus qelFileSpecRename(QELFileSpec *spec, const char *newName);
[[nodiscard]] QELStatus qelFileSpecGetMaxNameLength(const QELFileSpec *spec, std::uint32_t *outLength);
[[nodiscard]] QELStatus qelFileSpecGetParent(const QELFileSpec *spec, QELFileSpec **outParent);
[[nodiscard]] QELStatus qelFileSpecChild(const QELFileSpec *spec, const char *name, QELFileSpec **outChild);

// Kind 14 only.
[[nodiscard]] QELStatus qelFileSpecGetPath(const QELFileSpec *spec, char **outPath);
[[nodiscard]] QELStatus qelFileSpecGetInfo(const QELFileSpec *spec, QELFileInfo *outInfo);
[[nodiscard]] QELStatus qelFileSpecTruncate(const QELFileSpec *spec, std::int64_t length);
[[nodiscard]] QELStatus qelFileSpecMakeUnique(const QELFileSpec *spec, QELFileSpec **outSpec);
[[nodiscard]] QELStatus qelFileSpecAppendToName(QELFileSpec *spec, const char *suffix);
[[nodiscard]] QELStatus qelFileSpecRenameTo(const QELFileSpec *spec, const QELFileSpec *other);
const char *qelPathNamePart(const char *path);

// Directory iteration, in the directory stream's order ("." and ".." included).
[[nodiscard]] QELStatus qelDirIterNew(const QELFileSpec *dirSpec, QELDirIter **outIter);
[[nodiscard]] QELStatus qelDirIterNext(QELDirIter *iter, QELFileSpec **outSpec);
[[nodiscard]] QELStatus qelDirIterFree(QELDirIter *iter);
