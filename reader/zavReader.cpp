// Error output and fatal-signal handling of the archive reader.
#include "zavReader.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// One write(2) for the whole text unless the descriptor takes less; the
// stream is flushed first so that nothing it buffered comes after the text.
void writeInOnePiece(std::FILE *stream, int descriptor, const std::string &text)
{
    std::fflush(stream);
    const char *bytes = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(descriptor, bytes, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        bytes += written;
        left -= static_cast<std::size_t>(written);
    }
    std::fflush(stream);
}

}  // namespace

void printError(ReaderSettings *, const std::string &message)
{
    writeInOnePiece(stderr, STDERR_FILENO, message);
}

void printOutput(const std::string &text)
{
    writeInOnePiece(stdout, STDOUT_FILENO, text);
}

void printErrorLine(ReaderSettings *settings, const std::string &message)
{
    printError(settings, message + "\n");
}

bool pathExists(const char *path)
{
    return path != nullptr && ::access(path, F_OK) == 0;
}

void exitFailure()
{
    std::exit(1);
}

void onFatalSignal(int)
{
    std::signal(SIGTRAP, SIG_IGN);
    std::signal(SIGSEGV, SIG_IGN);
    std::signal(SIGILL, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    std::exit(1);
}

void installSignalHandlers()
{
    // A signal the parent set to be ignored (a background job's SIGINT)
    // stays ignored.
    for (int signalNumber : {SIGINT, SIGHUP, SIGQUIT})
        if (std::signal(signalNumber, SIG_IGN) != SIG_IGN)
            std::signal(signalNumber, onFatalSignal);
    for (int signalNumber : {SIGPIPE, SIGTERM, SIGTRAP, SIGSEGV, SIGILL, SIGBUS})
        std::signal(signalNumber, onFatalSignal);
}
