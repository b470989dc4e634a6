// Process-level pieces of the archive reader: its settings record, error
// output, signal handling.
#pragma once

#include <cstdint>
#include <string>

struct ReaderSettings {
    std::uint8_t overwrite = 0;     // existing files are replaced without asking
    std::int32_t versionMajor = 0;  // stored when the banner is printed
    std::int32_t versionMinor = 0;
    std::int32_t versionPatch = 0;
};

// Writes the message to standard error in one write and flushes it.
void printError(ReaderSettings *settings, const std::string &message);
// The message followed by a newline, in one piece.
void printErrorLine(ReaderSettings *settings, const std::string &message);
// A prompt or the banner: written to standard output in one write, after
// whatever the stream still holds.
void printOutput(const std::string &text);
bool pathExists(const char *path);
[[noreturn]] void exitFailure();

void installSignalHandlers();
void onFatalSignal(int signalNumber);
