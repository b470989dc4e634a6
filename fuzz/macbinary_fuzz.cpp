// MacBinary headers and forks: the input (after a mode byte) is the file
// that is decoded in a fresh directory. A failed decode leaves the file
// alone and nothing beside it; a decode that succeeds leaves exactly one
// file, the data fork. Mode bit 0 repairs the header CRC so that the
// fuzzer gets past it; bit 1 feeds the bytes to the type-table reader.
#include "qelFuzzSupport.h"

#include "qelFileSpecInternal.h"
#include "qelMacBinaryInternal.h"
#include "qelMemoryInternal.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

std::uint16_t crc16Xmodem(const std::uint8_t *bytes, std::size_t length)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

const char *const kNames[] = {"in.bin", "notes.txt", "noext", ".hidden", "a.b.c"};

void fuzzTable(const std::vector<std::uint8_t> &text)
{
    const char *begin = reinterpret_cast<const char *>(text.data());
    const char *end = begin + text.size();
    for (const char *p = begin; p < end;) {
        std::uint32_t code = 0;
        bool valid = false;
        const char *next = qelMacBinaryParseCode(p, end, &code, &valid);
        qelfuzz::check(next >= p && next <= end, "code parser left its line");
        p = next > p ? next : p + 1;
    }
    if (qelMacBinaryTableLoadText(begin, text.size()) == QELError_NoErr) {
        char extension[4];
        (void)qelMacBinaryExtensionForCodes(0x54455854, 0x74747874, extension); // any answer
        qelfuzz::check(std::strlen(extension) < 4, "extension not terminated");
    }
    qelfuzz::check(qelMacBinaryTableLoad() == QELError_NoErr, "built-in table no longer loads");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    qelfuzz::Input in(data, size);
    const std::uint8_t mode = in.u8();
    const char *name = kNames[in.u8() % (sizeof kNames / sizeof kNames[0])];
    std::vector<std::uint8_t> file = in.rest();
    if (mode & 2) {
        fuzzTable(file);
        return 0;
    }
    if ((mode & 1) && file.size() >= QELMacBinaryHeaderSize) {
        const std::uint16_t crc = crc16Xmodem(file.data(), 124);
        file[124] = static_cast<std::uint8_t>(crc >> 8);
        file[125] = static_cast<std::uint8_t>(crc);
    }

    qelfuzz::ScratchDir dir;
    const std::string path = dir.path() + "/" + name;
    qelfuzz::check(qelfuzz::writeFile(path, file.data(), file.size()), "cannot write the input");
    QELFileSpec *spec = nullptr;
    qelfuzz::check(qelFileSpecNewFromPath(qelMemMgrGetGlobal(), path.c_str(), &spec) == QELError_NoErr,
                   "cannot name the input");
    QELFileSpec *decoded = nullptr;
    std::uint32_t creator = 0, type = 0;
    const QELStatus status = qelMacBinaryDecode(spec, &decoded, &creator, &type);
    const std::set<std::string> after = qelfuzz::listTree(dir.path());
    if (status != QELError_NoErr) {
        qelfuzz::check(decoded == nullptr, "a failed decode handed out a spec");
        qelfuzz::check(after == std::set<std::string>{name}, "a failed decode changed the directory");
        qelfuzz::check(qelfuzz::readFile(path) ==
                           std::string(reinterpret_cast<const char *>(file.data()), file.size()),
                       "a failed decode changed the input");
    } else {
        qelfuzz::check(decoded != nullptr, "a decode handed out no spec");
        qelfuzz::check(after.size() == 1, "a decode left other than one file");
        char decodedName[QELFileSpecNameBufferSize];
        qelfuzz::check(qelFileSpecGetName(decoded, sizeof decodedName, decodedName) == QELError_NoErr &&
                           after.count(decodedName) == 1,
                       "the decoded spec does not name the file left");
        (void)qelFileSpecFree(decoded); // a spec of the global manager: freeing cannot fail here
    }
    (void)qelFileSpecFree(spec); // as above
    return 0;
}
