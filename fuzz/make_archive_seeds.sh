#!/usr/bin/env bash
# Remakes the seed corpora of the archive targets with the tests' archive
# writer (OpenSSL's CAST5 and SHA-1, zlib): a few small archives with the
# passphrase "test passphrase" for archiveraw, and their entry streams for
# archive.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/seeds.cpp" <<'CPP'
#include "zavArchiveWriter.h"
#include <string>
using namespace zavtest;
int main(int, char **argv)
{
    const std::string raw = std::string(argv[1]) + "/", entries = std::string(argv[2]) + "/";
    const std::vector<std::pair<std::string, std::vector<ArchiveEntry>>> sets = {
        {"files", {{"docs/", true, ""}, {"docs/readme.txt", false, "hello\n"}, {"empty", false, ""},
                   {"deep/er/data.bin", false, std::string(700, 'q')}}},
        {"names", {{"", true, ""}, {"/", true, ""}, {"/rooted.txt", false, "r"}, {"win\\style.txt", false, "w"},
                   {"a/./b", false, "b"}}},
        {"hostile", {{"sub/", true, ""}, {"ok.txt", false, "fine"}, {"../escape", false, "bad"}}},
        {"short", {{"claims/more", false, "abc", 4000}}},
    };
    for (const auto &[name, list] : sets) {
        writeFileBytes(raw + name, buildArchive(list));
        // Control byte 0 (compress the rest), level 6.
        writeFileBytes(entries + name, std::string("\0\6", 2) + buildEntryStream(list));
    }
    ArchiveOptions longer;
    longer.dataLengthOverride = ~std::uint64_t{0} - 100;
    writeFileBytes(raw + "huge_length", buildArchive({{"f", false, "x"}}, longer));
    return 0;
}
CPP
mkdir -p fuzz/corpus/archiveraw fuzz/corpus/archive
g++ -std=c++20 -O1 -Itests/support "$work/seeds.cpp" tests/support/zavArchiveWriter.cpp -lcrypto -lz -o "$work/seeds"
"$work/seeds" fuzz/corpus/archiveraw fuzz/corpus/archive
