// Line editor for every answer the reader needs from the user: archive
// path, passphrase, overwrite answer, new file name. It works on the
// controlling terminal in non-canonical mode without the terminal's echo,
// echoes typed characters itself when given an echo stream, and restores
// the terminal on every way out.
#pragma once

#include <cstdint>
#include <cstdio>

// Number of characters stored (the buffer then holds them and a NUL), or -1
// when input ended, failed or was cancelled with Ctrl-D.
int readTerminalLine(char *buffer, std::size_t bufferSize, std::FILE *echo);

// Prompts "Enter pass phrase (type ^D to cancel): " on the stream and reads
// a line without echo.
int readPassphraseWithPrompt(std::FILE *stream, char *buffer, std::size_t bufferSize);

int openTerminal(int openFlags, int useStandardInput);
int closeTerminal(int descriptor);
void enterRawMode(int useStandardInput);
void leaveRawMode();
int readTerminalByte();
void discardTerminalInput(int sleepFirst);
void onTerminalStopSignal(int signalNumber);
void onTerminalContinue(int signalNumber);
