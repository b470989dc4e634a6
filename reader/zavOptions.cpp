// Command-line parser over a private copy of the argument vector.
//
// The caller alternates: it asks for the next plain argument and, when the
// parser answers that an option comes first, asks for that option. An
// option's value is simply the next plain argument the caller asks for.
#include "zavOptions.h"

#include <cstring>

#include "qelWipe.h"

namespace {

constexpr std::uint32_t kZeroFill = QELMemFlag_Clear;

void *parserAlloc(QELMemoryMgr *memoryMgr, std::uint64_t size)
{
    return qelMemAlloc(memoryMgr, size, kZeroFill);
}

void parserFree(void *block)
{
    if (block != nullptr)
        static_cast<void>(qelMemFree(block));
}

// Null-tolerant length: 0 for null or empty.
std::uint64_t stringLength(const char *s)
{
    return s == nullptr ? 0 : std::strlen(s);
}

// An option argument begins with "-" and is longer than one character; a
// lone "-" is a plain argument (conventionally standard input or a file
// named "-").
bool isOptionArgument(const char *s)
{
    return s != nullptr && s[0] == '-' && s[1] != '\0';
}

// The character at an index that may lie past the end of the argument
// (after an unknown long option the scan resumes at index 1 of the next
// argument, which may be empty or one character long).
char characterAt(const OptionParser *parser, std::uint32_t argument, std::uint32_t index)
{
    const char *s = parser->arguments[argument];
    if (index >= stringLength(s))
        return '\0';
    return s[index];
}

char *copyString(QELMemoryMgr *memoryMgr, const char *s)
{
    std::uint64_t length = stringLength(s);
    auto *copy = static_cast<char *>(parserAlloc(memoryMgr, length + 1));
    if (copy != nullptr && length != 0)
        std::memcpy(copy, s, length);
    return copy;
}

}  // namespace

QELStatus createOptionParser(QELMemoryMgr *memoryMgr, std::uint32_t argumentCount,
                             const char *const *arguments, const LongOption *longOptions,
                             std::uint64_t longOptionCount, OptionParser **outParser)
{
    if (memoryMgr == nullptr || outParser == nullptr || (argumentCount != 0 && arguments == nullptr))
        return QELError_BadParams;
    for (std::uint32_t i = 0; i < argumentCount; ++i)
        if (arguments[i] == nullptr)
            return QELError_BadParams;
    const bool haveTable = longOptions != nullptr && longOptionCount != 0;
    if (haveTable)
        for (std::uint64_t i = 0; i < longOptionCount; ++i)
            if (longOptions[i].name == nullptr)
                return QELError_BadParams;

    auto *parser = static_cast<OptionParser *>(parserAlloc(memoryMgr, sizeof(OptionParser)));
    if (parser == nullptr)
        return QELError_OutOfMemory;
    parser->memoryMgr = memoryMgr;
    parser->argumentCount = argumentCount;

    QELStatus status = QELError_OutOfMemory;
    do {
        parser->arguments =
            static_cast<char **>(parserAlloc(memoryMgr, sizeof(char *) * (argumentCount ? argumentCount : 1)));
        if (parser->arguments == nullptr)
            break;
        bool copied = true;
        for (std::uint32_t i = 0; i < argumentCount && copied; ++i)
            copied = (parser->arguments[i] = copyString(memoryMgr, arguments[i])) != nullptr;
        if (!copied)
            break;
        if (haveTable) {
            parser->longOptions =
                static_cast<LongOption *>(parserAlloc(memoryMgr, sizeof(LongOption) * longOptionCount));
            if (parser->longOptions == nullptr)
                break;
            parser->longOptionCount = longOptionCount;
            for (std::uint64_t i = 0; i < longOptionCount && copied; ++i) {
                parser->longOptions[i].id = longOptions[i].id;
                copied = (parser->longOptions[i].name = copyString(memoryMgr, longOptions[i].name)) != nullptr;
            }
            if (!copied)
                break;
        }
        parser->usedFlags = static_cast<std::uint8_t *>(parserAlloc(memoryMgr, argumentCount ? argumentCount : 1));
        if (parser->usedFlags == nullptr)
            break;
        parser->cursorArgument = 1;
        parser->cursorCharacter = 0;
        status = QELError_NoErr;
    } while (false);

    if (status != QELError_NoErr) {
        freeOptionParser(parser);
        return status;
    }
    *outParser = parser;
    return QELError_NoErr;
}

QELStatus freeOptionParser(OptionParser *parser)
{
    if (parser == nullptr)
        return QELError_BadParams;
    if (parser->arguments != nullptr) {
        // The copies include any passphrase given on the command line.
        for (std::uint32_t i = 0; i < parser->argumentCount; ++i) {
            if (parser->arguments[i] != nullptr)
                qelSecureWipe(parser->arguments[i], stringLength(parser->arguments[i]));
            parserFree(parser->arguments[i]);
        }
        parserFree(parser->arguments);
    }
    if (parser->longOptions != nullptr) {
        for (std::uint64_t i = 0; i < parser->longOptionCount; ++i)
            parserFree(const_cast<char *>(parser->longOptions[i].name));
        parserFree(parser->longOptions);
    }
    parserFree(parser->usedFlags);
    parserFree(parser);
    return QELError_NoErr;
}

QELStatus getNextArgument(OptionParser *parser, char *buffer, std::uint64_t bufferSize,
                          std::uint64_t *outLength)
{
    if (parser == nullptr)
        return QELError_BadParams;
    if (outLength != nullptr)
        *outLength = 0;
    if (parser->cursorArgument >= parser->argumentCount)
        return QELError_EndOfIteration;
    if (parser->cursorCharacter >= stringLength(parser->arguments[parser->cursorArgument])) {
        ++parser->cursorArgument;
        parser->cursorCharacter = 0;
        if (parser->cursorArgument >= parser->argumentCount)
            return QELError_EndOfIteration;
    }
    // Arguments already handed out are passed over without moving the
    // cursor: the option scan still has to walk across them.
    std::uint32_t index = parser->cursorArgument;
    while (index < parser->argumentCount && parser->usedFlags[index] != 0)
        ++index;
    if (index >= parser->argumentCount)
        return QELError_EndOfIteration;
    const char *argument = parser->arguments[index];
    if (isOptionArgument(argument))
        return QELError_ItemNotFound;
    std::uint64_t length = stringLength(argument);
    if (outLength != nullptr)
        *outLength = length;
    if (length + 1 > bufferSize)
        return QELError_BufferTooSmall;
    if (buffer == nullptr)
        return QELError_NoErr;
    std::memcpy(buffer, argument, length + 1);
    parser->usedFlags[index] = 1;
    return QELError_NoErr;
}

QELStatus getNextOption(OptionParser *parser, std::int32_t *outId)
{
    if (parser == nullptr || outId == nullptr)
        return QELError_BadParams;
    if (parser->cursorArgument >= parser->argumentCount)
        return QELError_EndOfIteration;
    for (;;) {
        if (parser->cursorCharacter >= stringLength(parser->arguments[parser->cursorArgument])) {
            ++parser->cursorArgument;
            parser->cursorCharacter = 0;
            if (parser->cursorArgument >= parser->argumentCount)
                return QELError_EndOfIteration;
        }
        while (parser->cursorArgument < parser->argumentCount &&
               !isOptionArgument(parser->arguments[parser->cursorArgument]))
            ++parser->cursorArgument;
        if (parser->cursorArgument >= parser->argumentCount)
            return QELError_EndOfIteration;
        if (parser->cursorCharacter >= stringLength(parser->arguments[parser->cursorArgument]))
            return QELError_NoErr;

        while (characterAt(parser, parser->cursorArgument, parser->cursorCharacter) == '-') {
            const char *argument = parser->arguments[parser->cursorArgument];
            if (argument[0] == '-' && argument[1] == '-') {
                const char *name = argument + 2;
                for (std::uint64_t i = 0; i < parser->longOptionCount; ++i) {
                    if (std::strcmp(parser->longOptions[i].name, name) != 0)
                        continue;
                    if (parser->longOptions[i].id != 0) {
                        ++parser->cursorArgument;
                        parser->cursorCharacter = 0;
                        *outId = parser->longOptions[i].id;
                        return QELError_NoErr;
                    }
                    break;
                }
                // Unknown (or unreported) name: resume at the second
                // character of the following argument.
                ++parser->cursorArgument;
                parser->cursorCharacter = 1;
            } else {
                ++parser->cursorCharacter;
            }
            if (parser->cursorArgument >= parser->argumentCount)
                break;
        }
        if (parser->cursorArgument >= parser->argumentCount)
            return QELError_EndOfIteration;
        char c = characterAt(parser, parser->cursorArgument, parser->cursorCharacter);
        if (c != '\0') {
            ++parser->cursorCharacter;
            *outId = static_cast<std::int32_t>(static_cast<std::int8_t>(c));
            return QELError_NoErr;
        }
    }
}

QELStatus getOptionRemainder(OptionParser *parser, char *buffer, std::uint64_t bufferSize,
                             std::uint64_t *outLength)
{
    if (parser == nullptr)
        return QELError_BadParams;
    if (outLength != nullptr)
        *outLength = 0;
    if (parser->cursorArgument >= parser->argumentCount)
        return QELError_EndOfIteration;
    const char *argument = parser->arguments[parser->cursorArgument];
    std::uint64_t total = stringLength(argument);
    std::uint64_t start = parser->cursorCharacter < total ? parser->cursorCharacter : total;
    std::uint64_t length = total - start;
    if (outLength != nullptr)
        *outLength = length;
    if (length + 1 > bufferSize)
        return QELError_BufferTooSmall;
    if (buffer == nullptr)
        return QELError_NoErr;
    std::memcpy(buffer, argument + start, length);
    buffer[length] = '\0';
    ++parser->cursorArgument;
    parser->cursorCharacter = 0;
    return QELError_NoErr;
}
