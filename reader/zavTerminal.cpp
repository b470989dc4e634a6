// Terminal line editor.
//
// The terminal is put in non-canonical mode without echo for exactly one
// line; the editor does its own echo, erase and line kill. Signal handlers
// installed for the duration of a line put the terminal back before the
// process is interrupted or stopped, so the user never lands in a shell
// with echo switched off.
#include "zavTerminal.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "qelRandomSourcesInternal.h"

namespace {

using SignalHandler = void (*)(int);

struct TerminalState {
    int descriptor = -1;
    volatile sig_atomic_t rawModeActive = 0;
    volatile sig_atomic_t savedSettingsValid = 0;
    struct termios savedSettings {};
    struct termios rawSettings {};
    SignalHandler previousInterruptHandler = SIG_DFL;
};

TerminalState terminalState;

void deriveRawSettings()
{
    terminalState.rawSettings = terminalState.savedSettings;
    terminalState.rawSettings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    terminalState.rawSettings.c_cc[VMIN] = 1;
    terminalState.rawSettings.c_cc[VTIME] = 0;
}

void writeBytes(std::FILE *stream, const char *bytes, std::size_t length)
{
    std::fwrite(bytes, 1, length, stream);
}

void ringBell(std::FILE *echo)
{
    std::FILE *stream = echo != nullptr ? echo : stderr;
    std::fputc(7, stream);
    std::fflush(stream);
}

}  // namespace

int openTerminal(int openFlags, int useStandardInput)
{
    if (useStandardInput != 0)
        return 0;
    int descriptor = ::open("/dev/tty", openFlags | O_CLOEXEC);
    return descriptor < 0 ? 0 : descriptor;
}

int closeTerminal(int descriptor)
{
    if (descriptor == 0)
        return 0;
    return ::close(descriptor);
}

void enterRawMode(int useStandardInput)
{
    if (terminalState.descriptor == -1)
        terminalState.descriptor = openTerminal(O_RDWR, useStandardInput);
    if (useStandardInput != 0)
        return;
    terminalState.previousInterruptHandler = std::signal(SIGINT, onTerminalStopSignal);
    std::signal(SIGCONT, onTerminalContinue);
    std::signal(SIGTSTP, onTerminalStopSignal);
    terminalState.rawModeActive = 1;
    if (terminalState.savedSettingsValid == 0) {
        if (tcgetattr(terminalState.descriptor, &terminalState.savedSettings) != 0)
            return;
        deriveRawSettings();
        terminalState.savedSettingsValid = 1;
    }
    tcsetattr(terminalState.descriptor, TCSAFLUSH, &terminalState.rawSettings);
}

void leaveRawMode()
{
    if (terminalState.savedSettingsValid != 0)
        tcsetattr(terminalState.descriptor, TCSAFLUSH, &terminalState.savedSettings);
    terminalState.rawModeActive = 0;
    std::signal(SIGINT, terminalState.previousInterruptHandler);
    std::signal(SIGCONT, SIG_DFL);
    std::signal(SIGTSTP, SIG_DFL);
}

int readTerminalByte()
{
    unsigned char byte = 0;
    ssize_t got;
    do {
        got = ::read(terminalState.descriptor, &byte, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1)
        return -1;
    qelRandomPoolAddKeystroke(static_cast<std::int32_t>(static_cast<std::int8_t>(byte)));
    return byte;
}

void discardTerminalInput(int sleepFirst)
{
    if (sleepFirst != 0)
        ::sleep(1);
    tcflush(terminalState.descriptor, TCIFLUSH);
}

void onTerminalStopSignal(int signalNumber)
{
    if (terminalState.rawModeActive != 0 && terminalState.savedSettingsValid != 0)
        tcsetattr(terminalState.descriptor, TCSAFLUSH, &terminalState.savedSettings);
    if (signalNumber == SIGINT)
        std::signal(SIGINT, terminalState.previousInterruptHandler);
    else
        std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

void onTerminalContinue(int)
{
    if (terminalState.rawModeActive == 0)
        return;
    if (terminalState.savedSettingsValid == 0) {
        if (tcgetattr(terminalState.descriptor, &terminalState.savedSettings) != 0)
            return;
        deriveRawSettings();
        terminalState.savedSettingsValid = 1;
    }
    tcsetattr(terminalState.descriptor, TCSAFLUSH, &terminalState.rawSettings);
}

int readTerminalLine(char *buffer, std::size_t bufferSize, std::FILE *echo)
{
    enterRawMode(0);
    std::size_t count = 0;
    for (;;) {
        if (echo != nullptr)
            std::fflush(echo);
        int byte = readTerminalByte();
        switch (byte) {
        case -1:
            leaveRawMode();
            return -1;
        case '\n':
        case '\r':
            if (echo != nullptr) {
                writeBytes(echo, "\n", 1);
                std::fflush(echo);
            }
            buffer[count] = '\0';
            leaveRawMode();
            return static_cast<int>(count);
        case 7:
        case 8:
        case 127:
            if (count > 0) {
                --count;
                if (echo != nullptr)
                    writeBytes(echo, "\b \b", 3);
            } else {
                ringBell(echo);
            }
            break;
        case 4:
            if (echo != nullptr) {
                writeBytes(echo, "\n", 1);
                std::fflush(echo);
            }
            leaveRawMode();
            return -1;
        case 21:
            // Line kill: the cursor goes back to the start of the line, even
            // when nothing was echoed.
            writeBytes(stdout, "\r", 1);
            std::fflush(stdout);
            count = 0;
            break;
        default:
            if ((byte >= 32 && byte <= 126) || byte >= 128) {
                if (count + 1 < bufferSize) {
                    if (echo != nullptr)
                        std::fputc(byte, echo);
                    buffer[count++] = static_cast<char>(byte);
                } else {
                    ringBell(echo);
                    discardTerminalInput(0);
                }
            } else {
                ringBell(echo);
            }
            break;
        }
    }
}

int readPassphraseWithPrompt(std::FILE *stream, char *buffer, std::size_t bufferSize)
{
    static constexpr char kPrompt[] = "Enter pass phrase (type ^D to cancel): ";
    writeBytes(stream, kPrompt, sizeof kPrompt - 1);
    std::fflush(stream);
    int result = readTerminalLine(buffer, bufferSize, nullptr);
    writeBytes(stream, "\n", 1);
    std::fflush(stream);
    return result;
}
