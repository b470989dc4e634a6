// zavreader: extracts a passphrase-protected self-decrypting archive into an
// output directory. The process exit status is the low eight bits of the
// status code of the step that stopped the run.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <unistd.h>

#include "qelErrors.h"
#include "qelHelpers.h"
#include "qelMemoryInternal.h"
#include "qelSDKInternal.h"
#include "qelWipe.h"
#include "zavArchive.h"
#include "zavExtract.h"
#include "zavOptions.h"
#include "zavReader.h"
#include "zavTerminal.h"

namespace {

constexpr std::int32_t kOptionVersion = 1;
constexpr std::int32_t kOptionOverwrite = 2;
constexpr std::int32_t kOptionPassphrase = 3;
constexpr std::int32_t kOptionNoGui = 4;

constexpr LongOption kLongOptions[] = {
    {"version", kOptionVersion},
    {"overwrite", kOptionOverwrite},
    {"pass", kOptionPassphrase},
    {"passphrase", kOptionPassphrase},
    {"no-gui", kOptionNoGui},
};

constexpr char kUsage[] =
    "Usage: zavreader [--version] [--overwrite] [--passphrase \"passphrase\"]\n"
    " [--no-gui] [<archive_file> [output_dir]]\n";

constexpr char kBannerFormat[] =
    "Quv Orlenta Server Archive Reader(TM)\n"
    "Copyright (C) Quv Orlenta. All rights reserved.\n"
    "Extracts archives protected with a passphrase.\n"
    "Version : %d.%d.%d\n";

constexpr std::size_t kLineBufferSize = 4096;

}  // namespace

int main(int argc, char **argv)
{
    installSignalHandlers();
    // The result is not looked at: the reader asks for no service, and what it uses works
    // without a started SDK.
    static_cast<void>(qelSDKInit(QELSDKInit_NoService));

    ReaderSettings settings;
    QELStatus status = QELError_NoErr;
    QELMemoryMgr *memoryMgr = nullptr;
    OptionParser *parser = nullptr;
    // A passphrase given on the command line, wiped before it is released.
    qel::WipedBuffer<char> passphrase;
    void *keyContext = nullptr;
    std::string archivePath;
    std::string outputDirectory;
    std::uint16_t plainArguments = 0;
    bool haveArchivePath = false;
    bool haveOutputDirectory = false;

    auto usage = [&] {
        printError(&settings, kUsage);
        status = QELError_BadParams;
    };

    do {
        if (qelMemMgrNewDefault(0, &memoryMgr) != QELError_NoErr) {
            memoryMgr = nullptr;
            printError(&settings, "Error: Out of memory.");
            status = QELError_OutOfMemory;
            break;
        }
        if (createOptionParser(memoryMgr, static_cast<std::uint32_t>(argc), argv, kLongOptions,
                               sizeof kLongOptions / sizeof kLongOptions[0], &parser) != QELError_NoErr) {
            parser = nullptr;
            usage();
            break;
        }

        bool stop = false;
        bool versionShown = false;
        while (!stop) {
            char buffer[kLineBufferSize + 1] = {};
            std::uint64_t length = 0;
            QELStatus result = getNextArgument(parser, buffer, kLineBufferSize, &length);
            if (result == QELError_NoErr) {
                if (plainArguments == 0) {
                    archivePath = buffer;
                    haveArchivePath = true;
                } else if (plainArguments == 1) {
                    if (!pathExists(buffer)) {
                        printErrorLine(&settings, "Error: Specified output directory does not exist.");
                        status = QELError_BadParams;
                        stop = true;
                        break;
                    }
                    outputDirectory = buffer;
                    haveOutputDirectory = true;
                } else {
                    usage();
                    stop = true;
                    break;
                }
                ++plainArguments;
            } else if (result == QELError_ItemNotFound) {
                std::int32_t id = 0;
                if (getNextOption(parser, &id) != QELError_NoErr) {
                    usage();
                    break;
                }
                switch (id) {
                case kOptionVersion: {
                    settings.versionMajor = 9;
                    settings.versionMinor = 0;
                    settings.versionPatch = 0;
                    char banner[kLineBufferSize + 1] = {};
                    std::snprintf(banner, kLineBufferSize, kBannerFormat, settings.versionMajor,
                                  settings.versionMinor, settings.versionPatch);
                    // The banner and the empty line after it leave in one piece.
                    printOutput(std::string(banner) + "\n");
                    status = QELError_NoErr;
                    versionShown = true;
                    stop = true;
                    break;
                }
                case kOptionOverwrite:
                    settings.overwrite = 1;
                    break;
                case kOptionPassphrase: {
                    const bool got = getNextArgument(parser, buffer, kLineBufferSize, &length) == QELError_NoErr;
                    const bool kept = got && passphrase.reset(memoryMgr, length + 1);
                    if (kept)
                        std::memcpy(passphrase.get(), buffer, length);
                    qelSecureWipe(buffer, sizeof buffer);
                    if (!got) {
                        usage();
                        stop = true;
                    } else if (!kept) {
                        printError(&settings, "Error: Out of memory.");
                        status = QELError_OutOfMemory;
                        stop = true;
                    }
                    break;
                }
                case kOptionNoGui:
                    break;
                default:
                    usage();
                    stop = true;
                    break;
                }
            } else if (result == QELError_EndOfIteration) {
                break;
            } else {
                usage();
                break;
            }
        }
        if (status != QELError_NoErr || versionShown)
            break;

        if (!haveArchivePath) {
            static constexpr char kPrompt[] = "Enter name of encrypted archive : ";
            printOutput(kPrompt);
            char buffer[kLineBufferSize + 1] = {};
            if (readTerminalLine(buffer, kLineBufferSize, stdout) == -1) {
                printErrorLine(&settings, "Error reading keyboard input.");
                status = QELError_ReadFailed;
                break;
            }
            archivePath = buffer;
        }

        ArchiveTrailer trailer;
        std::memset(&trailer, 0, sizeof trailer);
        {
            std::FILE *archive = std::fopen(archivePath.c_str(), "rb");
            if (archive == nullptr) {
                printErrorLine(&settings, "Unable to open file " + archivePath);
                status = QELError_CantOpenFile;
                break;
            }
            readArchiveTrailer(archive, &trailer);
            std::fclose(archive);
        }
        if (!trailerHasMagic(trailer)) {
            std::ostringstream message;
            message << "File " << archivePath << " is not a valid SDA or EA file\n";
            printError(&settings, message.str());
            status = QELError_BadParams;
            break;
        }

        if (!haveOutputDirectory) {
            char cwd[kLineBufferSize] = {};
            if (::getcwd(cwd, sizeof cwd) == nullptr)
                cwd[0] = '\0';
            outputDirectory = cwd;
        }
        if (outputDirectory.empty() || outputDirectory.back() != '/')
            outputDirectory += '/';

        status = promptForPassphrase(trailer, &keyContext, passphrase.get(), &settings);
        if (status == QELError_BadPassphrase) {
            printErrorLine(&settings, "Error: Bad passphrase.");
            break;
        }
        if (status != QELError_NoErr)
            break;

        CreatedPath *createdPaths = nullptr;
        status = recordCreatedPath(&createdPaths, outputDirectory.c_str());
        if (status == QELError_NoErr) {
            // Listed first, but it was there before the run: never removed.
            createdPaths->isDirectory = kPreexistingDirectory;
            status = extractArchive(trailer, keyContext, &createdPaths, archivePath.c_str(),
                                    outputDirectory.c_str(), onExtractionEvent, &settings);
        }
        if (status == QELError_CantOpenFile)
            printErrorLine(&settings, "Unable to open file " + archivePath);
        if (status != QELError_NoErr) {
            rollbackCreatedPaths(createdPaths);
            createdPaths = nullptr;
            printErrorLine(&settings, "Error decrypting file(s)");
        }
        // On success the created paths stay; only the list goes.
        while (createdPaths != nullptr) {
            CreatedPath *next = createdPaths->next;
            std::free(createdPaths->path);
            std::free(createdPaths);
            createdPaths = next;
        }
    } while (false);

    if (parser != nullptr)
        freeOptionParser(parser);
    passphrase.release();  // before its memory manager goes
    freeKeyContext(keyContext);
    if (memoryMgr != nullptr)
        static_cast<void>(qelMemMgrFree(memoryMgr));
    // Started once above; nothing is left to report at exit.
    static_cast<void>(qelSDKCleanup());
    return status;
}
