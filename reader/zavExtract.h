// Extraction of an archive's data region: the block reader, the inflater,
// the entry parser, the entry actions with their events, and the list of
// created paths that a failed run removes again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "qelErrors.h"
#include "zavArchive.h"

struct ReaderSettings;

inline constexpr std::size_t kEntryNameArea = 4103;
inline constexpr std::size_t kMaxEntryPath = 4095;
inline constexpr std::size_t kCreateNameBufferSize = 4096;
inline constexpr std::uint64_t kDirectoryEntrySize = ~std::uint64_t{0};

enum ExtractionEventKind : std::int32_t {
    ExtractionEvent_Progress = 0,     // a: bytes done, b: total bytes
    ExtractionEvent_EntryFound = 1,   // a: full path
    ExtractionEvent_CreateFile = 4,   // a: full path, b: buffer for the name to create
    ExtractionEvent_EntryFailed = 5,  // a: entry or file name, b: status
};

struct ExtractionEvent {
    std::int32_t kind;
    union {
        std::uint64_t count;
        const char *path;
    } a;
    union {
        std::uint64_t count;
        char *buffer;               // kCreateNameBufferSize bytes
        std::int32_t status;
    } b;
};

// Answers 0 to go on; any other value stops the run with that status.
using ExtractionCallback = QELStatus (*)(void *reserved, ExtractionEvent *event, void *userData);

// One created path; the list's head is the newest.
struct CreatedPath {
    char *path;
    std::uint8_t isDirectory;       // 0 a file, 1 a directory, or kPreexistingDirectory
    CreatedPath *next;
};

// Marks a listed directory that existed before the run (the output
// directory): a rollback passes over it, never removing it even when empty.
inline constexpr std::uint8_t kPreexistingDirectory = 2;

class DecryptAhead;

struct ExtractionState {
    std::FILE *archive;
    std::FILE *outputFile;          // file receiving content, or null
    ArchiveTrailer trailer;
    void *keyContext;
    std::uint32_t blocksRead;       // also the number of the next block
    std::uint32_t position;         // next byte in the plaintext block
    std::uint64_t dataLength;
    std::uint8_t plaintextBlock[kArchiveBlockSize];
    std::uint8_t ciphertextBlock[kArchiveBlockSize];
    QELStatus latchedError;         // first failure of the run
    std::uint8_t headerMode;        // 1 while a header is read, 0 for content
    char name[kEntryNameArea];
    std::uint64_t entrySize;
    std::uint64_t contentBytesWritten;
    std::uint64_t headerBytesSeen;
    const char *outputDirectory;    // ends in "/"
    int outputDirectoryFd;          // entries are created beneath it
    CreatedPath *createdPaths;
    ExtractionCallback callback;
    void *userData;
    DecryptAhead *decryptAhead;     // helper decrypting ahead, or null
};

// Block reader: the next plaintext byte, or -1 at the end of the data or
// after a latched error.
int readPlainByte(ExtractionState *state);
// The same for up to count bytes at once; fewer only at the end or after a
// latched error.
std::size_t readPlainBytes(ExtractionState *state, std::uint8_t *out, std::size_t count);

void runExtraction(ExtractionState *state);
void inflatePayload(ExtractionState *state);

// Where the inflater takes its input chunks from and hands its output groups
// to. The extraction uses the block reader and the entry parser; a caller
// may interpose to watch the exact order of chunks and groups.
struct InflateSink {
    void *context;
    std::size_t (*refill)(void *context, ExtractionState *state, std::uint8_t *input, std::size_t count);
    void (*handOver)(void *context, ExtractionState *state, const std::uint8_t *bytes, std::size_t count);
    // True when nothing the sink does is seen between the blocks that raise
    // no event, nor between whole groups (the entry parser stops at a
    // latched failure by itself): a refill may then take the blocks up to
    // the next one that raises an event, and a hand-over several whole
    // groups. A sink that watches every block and group leaves it false.
    bool quietBetweenEvents = false;
};
// The same as inflatePayload, through the given sink.
void inflatePayloadTo(ExtractionState *state, const InflateSink &sink);
void consumePayloadByte(std::uint8_t byte, ExtractionState *state);
void consumePayload(const std::uint8_t *bytes, std::size_t count, ExtractionState *state);
void *zlibAlloc(void *opaque, unsigned items, unsigned size);
void zlibFree(void *opaque, void *block);

QELStatus extractArchive(const ArchiveTrailer &trailer, void *keyContext, CreatedPath **createdPaths,
                         const char *archivePath, const char *outputDirectory,
                         ExtractionCallback callback, void *userData);
// 1, or -1 on a failure other than an existing or inaccessible directory.
// Each directory the call makes (never one that existed) is added to
// *created when that is given.
int makeDirectories(const char *base, const char *relative, CreatedPath **created = nullptr);
// QELError_OutOfMemory when the node or the path copy cannot be allocated.
QELStatus recordCreatedPath(CreatedPath **head, const char *path);
void rollbackCreatedPaths(CreatedPath *head);

// True when a relative entry name has a ".." component.
bool entryNameClimbs(const char *name);

QELStatus onExtractionEvent(void *reserved, ExtractionEvent *event, void *userData);

// Test switch: the number of decrypt-ahead helpers (1 .. 8) instead of the
// machine's choice; 0 restores that choice.
void zavTestSetDecryptHelpers(std::size_t count);
