// Job input, output and options: what the encode and decode jobs share to
// read their common options and set up the two ends of a chain. An output
// file is deleted on failure only when this run created it: a file opened
// for appending keeps every byte it held, and one that existed before is
// replaced only by a finished output, written beside it and renamed over it.
#pragma once

#include "qelEvent.h"
#include "qelPipeModuleInternal.h"

#include <cstdint>
#include <string>

struct QELContext;
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
    bool large = false;     // a file over 2^31 - 1 bytes
    bool named = false;     // `name` holds the literal name asked for
    std::string name;       // option 65, else the input file's name, else empty

    QELJobInput() = default;
    QELJobInput(const QELJobInput &) = delete;
    QELJobInput &operator=(const QELJobInput &) = delete;
    ~QELJobInput();
};

// Reads option 1 (file spec) or option 2 (pointer and size); exactly one
// must be given. With `wantName` the literal name is worked out too
// ("_CONSOLE" under option 39). `detached` opens the file for a detached
// signature's data.
[[nodiscard]] QELStatus qelJobOpenInput(QELContext *context, QELOptionList *options, bool wantName,
                                        bool detached, QELJobInput &input);
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
    bool open = false;

    QELJobOutput() = default;
    QELJobOutput(const QELJobOutput &) = delete;
    QELJobOutput &operator=(const QELJobOutput &) = delete;
    ~QELJobOutput();
};

// Which output the options choose; more than one is QELError_BadParams.
enum class QELJobOutputKind { None, File, Buffer, AllocatedBuffer, Discard };
[[nodiscard]] QELStatus qelJobOutputChoice(QELOptionList *options, QELJobOutputKind *outKind);

// Puts the sink the options choose at `slot` (a Dev Null sink when they
// choose none): a file (options 4, with `append` never truncated), a fixed
// caller buffer (5), a new buffer (6, in secure memory with `secure`), or
// nothing (9). `fileClass` selects a created file's permissions.
[[nodiscard]] QELStatus qelJobOpenOutput(QELContext *context, QELOptionList *options, QELPipeModule **slot,
                                         bool append, int fileClass, bool secure, QELJobOutput &output);
// After the pump: checks a fixed buffer's size or hands the new buffer over,
// asking the chain at head. A new buffer that overflowed its limit is freed
// here rather than handed over with an error the caller would not free it on.
[[nodiscard]] QELStatus qelJobFinishMemoryOutput(QELPipeModule *head, QELJobOutput &output);
// Once the sink is destroyed: a replaced file is renamed over on success; a
// file this run made is deleted on failure. Returns the job's status.
[[nodiscard]] QELStatus qelJobCommitOutput(QELJobOutput &output, QELStatus status);

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
