// Command-line parser of the archive reader: plain arguments and options in
// any order, long options looked up in a caller's table, short options
// returned one character at a time. All memory comes from one SDK memory
// manager.
#pragma once

#include <cstdint>

#include "qelErrors.h"
#include "qelMemoryInternal.h"

struct LongOption {
    const char *name;   // without the leading "--"
    std::int32_t id;    // 0: matched but not reported
};

struct OptionParser {
    QELMemoryMgr *memoryMgr;
    std::uint32_t argumentCount;     // the program name included
    char **arguments;                // private copies
    LongOption *longOptions;         // private copies, or null
    std::uint64_t longOptionCount;
    std::uint32_t cursorArgument;    // starts at 1
    std::uint32_t cursorCharacter;   // starts at 0
    std::uint8_t *usedFlags;         // one per argument
};

QELStatus createOptionParser(QELMemoryMgr *memoryMgr, std::uint32_t argumentCount,
                             const char *const *arguments, const LongOption *longOptions,
                             std::uint64_t longOptionCount, OptionParser **outParser);
QELStatus freeOptionParser(OptionParser *parser);

// The next plain argument (copied with its NUL), or QELError_ItemNotFound
// when an option comes first, QELError_EndOfIteration when nothing is left.
// A null buffer only reports the length.
QELStatus getNextArgument(OptionParser *parser, char *buffer, std::uint64_t bufferSize,
                          std::uint64_t *outLength);
QELStatus getNextOption(OptionParser *parser, std::int32_t *outId);
QELStatus getOptionRemainder(OptionParser *parser, char *buffer, std::uint64_t bufferSize,
                             std::uint64_t *outLength);
