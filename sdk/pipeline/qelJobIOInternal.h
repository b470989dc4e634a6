// Job input, output and options: what the encode and decode jobs share to
// read their common options and set up the two ends of a chain. An output
// file is deleted on failure only when this run created it: a file opened
// for appending is cut back to the length it had, so it keeps every byte it
// held and none of a failed run's; one that existed before is replaced only
// by a finished output, written beside it and renamed over it. A buffer
// appended to stays the caller's until the longer one is handed over.
#pragma once

#include "qelEvent.h"
#include "qelPipeModuleInternal.h"

#include <cstdint>
#include <string>

struct QELContext;
struct QELOptionItem;
struct QELOptionList;
struct QELFileSpec;
struct QELFileReadModule;

// An int option's value, or `absent` when the list has none.
[[nodiscard]] QELStatus qelJobIntOption(QELOptionList *list, std::int32_t kind, std::int32_t absent,
                                        std::int32_t *out);

// ---- input -----------------------------------------------------------------

// A job's input: a file through a File Read Module, or a caller's buffer.
struct QELJobInput {
    QELFileReadModule *reader = nullptr;
    const void *buffer = nullptr;
    std::uint64_t length = 0;
    std::uint16_t openFlags = 0; // the file's open flags, line-end conversion bits included
    bool large = false;     // a file over 2^31 - 1 bytes
    bool named = false;     // `name` holds the literal name asked for
    std::string name;       // option 65, else the input file's name, else empty

    QELJobInput() = default;
    QELJobInput(const QELJobInput &) = delete;
    QELJobInput &operator=(const QELJobInput &) = delete;
    ~QELJobInput();
};

// Looks up option 1 (file spec) and option 2 (pointer and size): exactly
// one must be given; the item of the other stays empty.
[[nodiscard]] QELStatus qelJobFindInput(QELOptionList *options, QELOptionItem &file, QELOptionItem &buffer);
// The pointer and size an item carries; a null pointer with a size is
// refused.
[[nodiscard]] QELStatus qelJobItemBytes(const QELOptionItem &item, void **outBytes, std::uint64_t *outLength);

// Reads option 1 (file spec) or option 2 (pointer and size); exactly one
// must be given. With `wantName` the literal name is worked out too
// ("_CONSOLE" under option 39). `detached` opens the file for a detached
// signature's data. With `convert` a file's line ends are converted as
// option 11 asks (qelJobConvertInput puts the conversion in place).
[[nodiscard]] QELStatus qelJobOpenInput(QELContext *context, QELOptionList *options, bool wantName,
                                        bool detached, bool convert, QELJobInput &input);
// Option 11 on a text input file: every line end (CR LF, CR or LF) becomes
// LF, or CR LF with bit 2; bit 1 converts any file, bit 0 only one whose
// first bytes hold no NUL byte (text). When the input is to be converted, a
// Text Filter Module is put at `*slot` and `*slot` moves behind it, so the
// chain built there sees the converted bytes.
[[nodiscard]] QELStatus qelJobConvertInput(QELContext *context, QELJobInput &input, QELPipeModule ***slot);
// Pumps the whole input into the chain at head, ending it with expectBytes(0).
[[nodiscard]] QELStatus qelJobPumpInput(QELJobInput &input, QELPipeModule *head, QELPipeProgressProc progress,
                                        void *userValue);

// ---- output ----------------------------------------------------------------

// One output of a job: the sink put at a chain's end, and what finishing it
// needs to know.
struct QELJobOutput {
    QELContext *context = nullptr;
    QELPipeModule *memorySink = nullptr;
    void **allocatedOut = nullptr;
    std::uint64_t *sizeOut = nullptr;
    std::uint64_t limit = 0;
    QELFileSpec *created = nullptr;  // a file this run made; deleted on failure
    QELFileSpec *staging = nullptr;  // written beside `replaced` ...
    QELFileSpec *replaced = nullptr; // ... and renamed over it on success
    QELFileSpec *appended = nullptr; // an existing file appended to ...
    std::int64_t appendedLength = 0; // ... cut back to this on failure
    void *previous = nullptr;        // the caller's buffer appended to; freed once the new one is handed over
    std::uint64_t previousLength = 0;
    std::uint16_t extraOpenFlags = 0; // the caller's line-end bits, passed to the file open
    bool open = false;

    QELJobOutput() = default;
    QELJobOutput(const QELJobOutput &) = delete;
    QELJobOutput &operator=(const QELJobOutput &) = delete;
    ~QELJobOutput();
};

// Which output the options choose; more than one is QELError_BadParams.
enum class QELJobOutputKind { None, File, Buffer, AllocatedBuffer, Discard };
[[nodiscard]] QELStatus qelJobOutputChoice(QELOptionList *options, QELJobOutputKind *outKind);

// The file-open bits of option 11's line-end flags: 0x40 for bit 1, else
// 0x80 for bit 0; 0x200 for bit 2.
constexpr std::uint16_t QELJobOpen_ConvertAlways = 0x40;
constexpr std::uint16_t QELJobOpen_ConvertText = 0x80;
constexpr std::uint16_t QELJobOpen_ConvertCRLF = 0x200;
std::uint16_t qelJobLineEndOpenFlags(std::int32_t flags);

// Puts the sink the options choose at `slot` (a Dev Null sink when they
// choose none): a file (options 4, with `append` never truncated), a fixed
// caller buffer (5), a new buffer (6, in secure memory with `secure`), or
// nothing (9). `fileClass` selects a created file's permissions. With
// `append` a fixed buffer is written behind the used size in its size
// field, and a new buffer starts with a copy of the caller's present one.
[[nodiscard]] QELStatus qelJobOpenOutput(QELContext *context, QELOptionList *options, QELPipeModule **slot,
                                         bool append, int fileClass, bool secure, QELJobOutput &output);
// After the pump: checks a fixed buffer's size or hands the new buffer over,
// asking the chain at head. A new buffer that overflowed its limit is freed
// here rather than handed over with an error the caller would not free it on.
[[nodiscard]] QELStatus qelJobFinishMemoryOutput(QELPipeModule *head, QELJobOutput &output);
// Once the sink is destroyed: a replaced file is renamed over on success; a
// file this run made is deleted on failure, and one appended to is cut back
// to its old length. Returns the job's status.
[[nodiscard]] QELStatus qelJobCommitOutput(QELJobOutput &output, QELStatus status);

// Writes a whole buffer to the output the options choose (option 8 to
// append), as key material: created files and new buffers are private.
// With a PEM label code (QELAnnotation_PemCertificate, ...RequestCertificate
// or ...PrivateKey) and option 36 the bytes go out as a PEM block, with
// option 30's line ends. Key export and certificate output use it.
[[nodiscard]] QELStatus qelJobOutputBuffer(QELContext *context, const void *bytes, std::uint64_t length,
                                           QELOptionList *options, std::int32_t pemLabel);

// ---- options ---------------------------------------------------------------

// Option 31's handler and user value; option 32 sets the progress flag and is
// QELError_BadParams without a handler.
[[nodiscard]] QELStatus qelJobGetEventHandler(QELOptionList *options, QELEventHandler *outHandler,
                                              void **outUserValue, bool *outProgress);

// A passphrase or passkey held in secure memory, wiped when released.
struct QELJobPassphrase {
    QELContext *context = nullptr;
    std::uint8_t *bytes = nullptr;
    std::uint64_t length = 0;
    bool passkey = false;
    bool other = false;           // option 21's secret
    std::int32_t cacheTime = 0;
    bool cache = false;

    QELJobPassphrase() = default;
    QELJobPassphrase(const QELJobPassphrase &) = delete;
    QELJobPassphrase &operator=(const QELJobPassphrase &) = delete;
    ~QELJobPassphrase() { wipe(); }
    void wipe();
};

// Option 18; else 19 (passkey); option 74 the cache time; else 21. None of
// them leaves no copy and answers 0.
[[nodiscard]] QELStatus qelJobGetPassphrase(QELContext *context, QELOptionList *options,
                                            QELJobPassphrase &passphrase);
// The passphrase as a list of its own (option 18, or 19 for a passkey) in
// secure memory, for an operation that takes its secret that way; null when
// memory fails.
QELOptionList *qelJobPassphraseOption(QELContext *context, const QELJobPassphrase &passphrase);
