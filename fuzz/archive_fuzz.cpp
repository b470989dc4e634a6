// The entry stream inside a valid archive: the input (after two control
// bytes) is the decompressed payload, which is compressed and encrypted
// into an archive with the right passphrase, so that every run gets past
// the trailer and the key check into the entry parser. Control bit 0 sends
// the bytes in as the compressed stream itself; bit 1 makes the trailer
// claim a data length of its own.
#include "qelFuzzArchive.h"
#include "qelFuzzSupport.h"
#include "zavArchiveWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::Input in(data, size);
    const std::uint8_t control = in.u8();
    const std::uint8_t level = in.u8() % 10;
    zavtest::ArchiveOptions options;
    if (control & 2)
        options.dataLengthOverride = std::uint64_t{in.u32()} << (control >> 4);
    const std::vector<std::uint8_t> rest = in.rest();
    const std::string bytes(rest.begin(), rest.end());
    const std::string payload = (control & 1) ? bytes : zavtest::zlibCompress(bytes, level);
    qelfuzz::extractInScratch(zavtest::buildArchive(payload, options), options.passphrase.c_str());
    return 0;
}
