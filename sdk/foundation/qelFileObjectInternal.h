// File objects: a stdio-like handle of twelve operations over a buffered
// platform stream or a growable memory I/O object, and the built-in
// character-set translation tables.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct QELContext;
struct QELCFBContext;
struct QELFileObject;

struct QELFileError {
    QELFileObject *owner;
    std::int64_t pos;        // position at the error
    QELStatus status;
    std::int32_t platformError; // errno; 0 for memory objects
};

enum QELFileSeekOrigin : int {
    QELFileSeek_Start = 0,
    QELFileSeek_Current = 1,
    QELFileSeek_End = 2,
};

struct QELFileObject {
    QELContext *context;
    std::int32_t word;       // 0 at creation, not otherwise used
    void *state;
    std::size_t (*read)(void *buffer, std::size_t count, QELFileObject *file);
    std::size_t (*write)(const void *buffer, std::size_t count, QELFileObject *file);
    QELStatus (*flush)(QELFileObject *file);
    QELStatus (*close)(QELFileObject *file); // frees the object
    std::int64_t (*tell)(QELFileObject *file);
    QELStatus (*seek)(QELFileObject *file, std::int64_t offset, int origin);
    bool (*atEnd)(QELFileObject *file);
    std::int64_t (*getSize)(QELFileObject *file); // -1 when unknown
    QELFileError *(*lastError)(QELFileObject *file);
    void (*clearError)(QELFileObject *file);
    QELStatus (*switchToRead)(QELFileObject *file);
    QELCFBContext *(*copyCipher)(QELFileObject *file);
};

// Mode bits of a stream file object.
constexpr std::int32_t QELFileMode_Read = 1;
constexpr std::int32_t QELFileMode_Write = 2;
constexpr std::int32_t QELFileMode_CloseStream = 4;
constexpr std::int32_t QELFileMode_CloseProc = 8;
constexpr std::int32_t QELFileMode_KeepOpen = 16;

// Called instead of closing the stream of a mode-10 object; non-zero fails.
using QELFileCloseProc = QELStatus (*)(std::FILE *stream, void *userValue);

// Stream file objects.
QELFileObject *qelFileObjNew(QELContext *context, std::FILE *stream, std::int32_t mode);
QELFileObject *qelFileObjOpenRead(QELContext *context, std::FILE *stream);
QELFileObject *qelFileObjOpenWrite(QELContext *context, std::FILE *stream);
QELFileObject *qelFileObjOpenWriteKeep(QELContext *context, std::FILE *stream);
QELFileObject *qelFileObjOpenWithCloseProc(QELContext *context, std::FILE *stream,
                                           QELFileCloseProc closeProc, void *userValue);
void qelFileObjSetError(QELFileObject *file, QELStatus status);

// Memory file objects.
QELFileObject *qelFileObjOpenMemory(QELContext *context, const void *bytes, std::size_t length);
void qelMemFileObjSetError(QELFileObject *file, QELStatus status);

// Character sets.
struct QELCharsetInfo {
    const char *name;
    const std::uint8_t *encodeTable; // local character set to message bytes
    const std::uint8_t *decodeTable; // message bytes to the local set
};

// The built-in table, ended by an entry with a null name.
const QELCharsetInfo *qelCharsetTable();
[[nodiscard]] QELStatus qelCharsetLookup(const char *name, std::size_t length, const std::uint8_t **outDecode,
                           const std::uint8_t **outEncode);
void qelCharsetTranslate(const void *source, std::size_t count, void *destination,
                         const std::uint8_t *table);
