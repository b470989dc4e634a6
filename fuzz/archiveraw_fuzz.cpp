// A whole archive file as raw bytes: trailer, key check and everything the
// reader does after them, with the seed archives' passphrase.
#include "qelFuzzArchive.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::extractInScratch(std::string(reinterpret_cast<const char *>(data), size), "test passphrase");
    return 0;
}
