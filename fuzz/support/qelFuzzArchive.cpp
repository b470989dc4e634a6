#include "qelFuzzArchive.h"

#include "qelFuzzSupport.h"
#include "zavArchive.h"
#include "zavExtract.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace qelfuzz {

namespace {

// Answers every event without a terminal: existing files are replaced.
QELStatus answer(void *, ExtractionEvent *event, void *)
{
    if (event != nullptr && event->kind == ExtractionEvent_CreateFile) {
        std::strncpy(event->b.buffer, event->a.path, kCreateNameBufferSize - 1);
        event->b.buffer[kCreateNameBufferSize - 1] = '\0';
    }
    return QELError_NoErr;
}

void freeList(CreatedPath *list)
{
    while (list != nullptr) {
        CreatedPath *next = list->next;
        std::free(list->path);
        std::free(list);
        list = next;
    }
}

} // namespace

void extractInScratch(const std::string &archiveBytes, const char *passphrase)
{
    startOnce(false);
    ScratchDir scratch;
    const std::string base = scratch.path() + "/a";
    const std::string archivePath = base + "/archive";
    const std::string out = base + "/out/";
    std::filesystem::create_directories(out);
    check(writeFile(archivePath, reinterpret_cast<const std::uint8_t *>(archiveBytes.data()), archiveBytes.size()),
          "cannot write the archive");
    const std::set<std::string> before = listTree(scratch.path());

    ArchiveTrailer trailer{};
    std::FILE *file = std::fopen(archivePath.c_str(), "rb");
    check(file != nullptr, "cannot open the archive");
    readArchiveTrailer(file, &trailer);
    std::fclose(file);
    if (!trailerHasMagic(trailer))
        return;
    void *key = nullptr;
    if (!checkPassphrase(passphrase, &key, trailer))
        return;

    CreatedPath *created = nullptr;
    check(recordCreatedPath(&created, out.c_str()) == QELError_NoErr, "cannot list the output directory");
    created->isDirectory = kPreexistingDirectory;
    const QELStatus status = extractArchive(trailer, key, &created, archivePath.c_str(), out.c_str(), answer, nullptr);
    if (status != QELError_NoErr)
        rollbackCreatedPaths(created);
    else
        freeList(created);
    freeKeyContext(key);

    const std::set<std::string> after = listTree(scratch.path());
    for (const std::string &path : after)
        check(before.count(path) == 1 || path.rfind("a/out/", 0) == 0, "something was made outside the output directory");
    if (status != QELError_NoErr && after != before) {
        for (const std::string &path : before)
            if (after.count(path) == 0)
                std::fprintf(stderr, "removed: %s\n", path.c_str());
        for (const std::string &path : after)
            if (before.count(path) == 0)
                std::fprintf(stderr, "left: %s\n", path.c_str());
    }
    if (status != QELError_NoErr)
        check(after == before, "a failed run left something behind or took something away");
    else
        check(after.count("a/out/") == 1 && after.count("a/archive") == 1, "a run removed what it found");
}

} // namespace qelfuzz
