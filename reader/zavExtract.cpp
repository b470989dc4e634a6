// Extraction: block reader, inflater, entry parser and entry actions.
//
// Everything runs in constant memory, whatever the size of the archive: a
// small ring of decrypted block batches, one inflater input chunk, one
// output chunk and one entry header at a time. The first failure is latched
// in the state; from then on nothing more is read or written and the run
// ends with it.
#include "zavExtract.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "qelWipe.h"
#include "zavReader.h"
#include "zavTerminal.h"

namespace {

// The inflater's input block and output group.
constexpr std::size_t kInflateChunk = 512;
// The block reader raises a progress event at every tenth block.
constexpr std::uint32_t kBlocksPerProgressEvent = 10;
// A stream that still cannot finish in an output buffer this large is refused.
constexpr std::size_t kInflateGrowthLimit = 8 * 1024 * 1024;
constexpr std::size_t kArchiveStreamBuffer = 64 * 1024;
// Content arrives in 512-byte groups; a larger stream buffer keeps the
// number of writes down.
constexpr std::size_t kOutputStreamBuffer = 64 * 1024;

void latch(ExtractionState *state, QELStatus status)
{
    if (state->latchedError == QELError_NoErr)
        state->latchedError = status;
}

QELStatus raiseEvent(ExtractionState *state, ExtractionEvent &event)
{
    if (state->callback == nullptr)
        return QELError_NoErr;
    return state->callback(nullptr, &event, state->userData);
}

// Asks the callback for the name to create a file under; false (with the
// answer latched) when the callback refuses.
bool askCreateName(ExtractionState *state, const std::string &path, char (&createName)[kCreateNameBufferSize])
{
    ExtractionEvent event{};
    event.kind = ExtractionEvent_CreateFile;
    event.a.path = path.c_str();
    event.b.buffer = createName;
    if (QELStatus answer = raiseEvent(state, event); answer != QELError_NoErr) {
        latch(state, answer);
        return false;
    }
    createName[kCreateNameBufferSize - 1] = '\0';
    return true;
}

void raiseEntryFailed(ExtractionState *state, const char *name, QELStatus status)
{
    ExtractionEvent event{};
    event.kind = ExtractionEvent_EntryFailed;
    event.a.path = name;
    event.b.status = status;
    raiseEvent(state, event);
}

// Splits a relative path at "/" into its non-empty components.
std::vector<std::string_view> splitPath(std::string_view path)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// Directories are held as paths only: creating beneath a directory needs
// write and search permission on it, never read permission.
constexpr int kDirectoryHandleFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

int openDirectoryBeneath(int parent, const std::string &component)
{
    return ::openat(parent, component.c_str(), kDirectoryHandleFlags | O_NOFOLLOW);
}

// True when following the name beneath the output directory could lead
// anywhere else: an existing component is a symbolic link, or the entry
// itself already exists as something other than a file or a directory (a
// pipe would block the run, a device is nothing an archive may write to).
bool nameIsUnsafe(int outputDirectoryFd, const char *name)
{
    if (outputDirectoryFd < 0)
        return false;
    const std::vector<std::string_view> parts = splitPath(name);
    std::string partial;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (!partial.empty())
            partial += '/';
        partial.append(parts[i]);
        struct stat info {};
        if (::fstatat(outputDirectoryFd, partial.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return false;  // the rest does not exist yet
        if (S_ISLNK(info.st_mode))
            return true;
        if (i + 1 == parts.size())
            return !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
        if (!S_ISDIR(info.st_mode))
            return false;  // creation beneath a file fails by itself
    }
    return false;
}

// Creates (truncating) the file named by the relative name beneath the
// output directory without following a symbolic link anywhere on the way.
std::FILE *createFileBeneath(int outputDirectoryFd, const char *name)
{
    if (outputDirectoryFd < 0) {
        errno = ENOTDIR;
        return nullptr;
    }
    std::vector<std::string_view> parts = splitPath(name);
    if (parts.empty()) {
        errno = EISDIR;
        return nullptr;
    }
    Descriptor directory(::dup(outputDirectoryFd));
    if (directory.get() < 0)
        return nullptr;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        int next = openDirectoryBeneath(directory.get(), std::string(parts[i]));
        if (next < 0)
            return nullptr;
        directory.reset(next);
    }
    Descriptor file(::openat(directory.get(), std::string(parts.back()).c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (file.get() < 0)
        return nullptr;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return nullptr;
    }
    ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
    std::FILE *stream = ::fdopen(file.get(), "wb");
    if (stream != nullptr)
        file.release();
    return stream;
}

// The file named by the callback's answer. The archive's own path is
// created beneath the output directory; a name the user typed at the
// rename prompt is taken as typed, relative to the working directory.
std::FILE *createOutputFile(ExtractionState *state, const char *createName, const std::string &archivePath,
                            const char *relativeName)
{
    if (archivePath == createName)
        return createFileBeneath(state->outputDirectoryFd, relativeName);
    return std::fopen(createName, "wb");
}

bool closeOutputFile(std::FILE *file)
{
    bool ok = std::ferror(file) == 0;
    if (std::fclose(file) != 0)
        ok = false;
    return ok;
}

// Only regular files are ours to remove again: a name typed at the rename
// prompt may be a device or a pipe that existed long before this run.
bool isRegularFile(std::FILE *file)
{
    struct stat info {};
    return ::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode);
}

void recordOrLatch(ExtractionState *state, const char *path, bool isDirectory)
{
    if (recordCreatedPath(&state->createdPaths, path) != QELError_NoErr) {
        latch(state, QELError_OutOfMemory);
        return;
    }
    state->createdPaths->isDirectory = isDirectory ? 1 : 0;
}

// The path of the file that createOutputFile made for the answer: the
// entry's components beneath the output directory when the answer was the
// path offered (so "a//b/" is listed as the "a/b" it made, and a rollback
// finds it), else the typed name as it stands.
std::string createdFilePath(const ExtractionState *state, const char *createName, const std::string &offeredPath,
                            const char *name)
{
    if (offeredPath != createName)
        return createName;
    std::string path = state->outputDirectory;
    const char *separator = "";
    for (std::string_view part : splitPath(name)) {
        path += separator;
        path += part;
        separator = "/";
    }
    return path;
}

// The actions for a complete entry header.
void runEntryActions(ExtractionState *state)
{
    const char *name = state->name;
    const std::size_t directoryLength = std::strlen(state->outputDirectory);
    const std::size_t nameLength = std::strlen(name);
    if (directoryLength + nameLength > kMaxEntryPath) {
        latch(state, QELError_BufferTooSmall);
        raiseEntryFailed(state, name, QELError_BufferTooSmall);
        return;
    }
    // Nothing may be made outside the output directory: no climbing out,
    // and no following a link that already sits in the tree.
    if (entryNameClimbs(name) || nameIsUnsafe(state->outputDirectoryFd, name)) {
        latch(state, QELError_FilePermissions);
        raiseEntryFailed(state, name, QELError_FilePermissions);
        return;
    }

    const std::string fullPath = std::string(state->outputDirectory) + name;
    ExtractionEvent event{};
    event.kind = ExtractionEvent_EntryFound;
    event.a.path = fullPath.c_str();
    if (QELStatus answer = raiseEvent(state, event); answer != QELError_NoErr) {
        latch(state, answer);
        return;
    }

    if (state->entrySize == kDirectoryEntrySize) {
        // Only the directories made here go on the list: a name that
        // resolves to a directory that was there before (the output
        // directory itself included) is never the rollback's to remove.
        if (makeDirectories(state->outputDirectory, name, &state->createdPaths) < 0) {
            latch(state, QELError_FileOpFailed);
            raiseEntryFailed(state, name, QELError_FileOpFailed);
        }
        state->headerBytesSeen = 0;
        return;
    }

    char createName[kCreateNameBufferSize] = {};
    if (!askCreateName(state, fullPath, createName))
        return;

    if (state->entrySize == 0) {
        std::FILE *file = createOutputFile(state, createName, fullPath, name);
        if (file == nullptr) {
            latch(state, QELError_FileOpFailed);
            raiseEntryFailed(state, createName, QELError_FileOpFailed);
            return;
        }
        const bool recordable = isRegularFile(file);
        const std::string made = createdFilePath(state, createName, fullPath, name);
        if (recordable)
            recordOrLatch(state, made.c_str(), false);
        if (!closeOutputFile(file))
            latch(state, QELError_WriteFailed);
        if (recordable && state->latchedError == QELError_OutOfMemory)
            ::unlink(made.c_str());  // not on the list, so the rollback would not find it
        state->headerBytesSeen = 0;
        return;
    }

    state->headerMode = 0;
    std::string offeredPath = fullPath;
    std::FILE *file = createOutputFile(state, createName, fullPath, name);
    if (file == nullptr) {
        // Typically a missing parent directory: make the name's directory
        // part and ask again under the rebuilt path.
        std::string directoryPart = name[0] == '/' ? std::string(name) : "/" + std::string(name);
        directoryPart.erase(directoryPart.rfind('/'));
        // A failure shows in the retry below, which is reported.
        (void)makeDirectories(state->outputDirectory, directoryPart.c_str(), &state->createdPaths);
        std::string retryPath = state->outputDirectory;
        if (retryPath.empty() || retryPath.back() != '/')
            retryPath += '/';
        retryPath += (name[0] == '/') ? name + 1 : name;
        std::memset(createName, 0, sizeof createName);
        if (!askCreateName(state, retryPath, createName))
            return;
        offeredPath = retryPath;
        file = createOutputFile(state, createName, retryPath, name);
        if (file == nullptr) {
            latch(state, QELError_FileOpFailed);
            raiseEntryFailed(state, createName, QELError_FileOpFailed);
            return;
        }
    }
    if (isRegularFile(file)) {
        const std::string made = createdFilePath(state, createName, offeredPath, name);
        recordOrLatch(state, made.c_str(), false);
        if (state->latchedError != QELError_NoErr) {
            // Not on the list, so the rollback would not find it.
            std::fclose(file);
            ::unlink(made.c_str());
            return;
        }
    }
    std::setvbuf(file, nullptr, _IOFBF, kOutputStreamBuffer);
    state->outputFile = file;
    state->contentBytesWritten = 0;
    state->headerBytesSeen = 0;
}

}  // namespace

namespace {

constexpr std::size_t kMaxDecryptHelpers = 8;
std::atomic<std::size_t> gDecryptHelpersForTesting{0};

// One helper with the several-block cipher decrypts a little faster than
// the inflater takes its input, even on stored (incompressible) data; a
// second one absorbs the scheduling hiccups of a busy machine, and the
// inflater decrypts a batch itself when no helper has taken it. More only
// compete with the inflater for cores (measured with bench/zavreader_bench:
// 3, 4 and 8 helpers were no faster than 2 on 8 cores), and on a single
// spare core one helper is all there is room for.
std::size_t decryptHelperCount()
{
    if (const std::size_t forced = gDecryptHelpersForTesting.load(); forced != 0)
        return std::min(forced, kMaxDecryptHelpers);
    // The cores this process may run on, not those the machine has.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    const int cores = ::sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : 1;
    return cores > 2 ? 2 : 1;
}

}  // namespace

void zavTestSetDecryptHelpers(std::size_t count)
{
    gDecryptHelpersForTesting.store(count);
}

// Reads and decrypts the data region a few batches ahead of the inflater on
// helper threads. Blocks decrypt independently of each other, so this only
// overlaps the cipher work with inflation and file output; every event,
// prompt and file operation stays on the caller's thread, in the same order.
class DecryptAhead {
public:
    static constexpr std::size_t kBlocksPerBatch = 64;
    // The ring's slots: 1 MiB of plaintext, some milliseconds of inflation,
    // so that a helper the scheduler sets aside for a time slice on a busy
    // machine does not stall the inflater while the others carry on.
    static constexpr std::size_t kBatches = 32;
    static constexpr std::size_t kWakeEvery = kBatches / 4;
    static constexpr char kThreadName[] = "zavdecrypt";

    DecryptAhead(int archiveFd, const ArchiveTrailer &trailer, void *keyContext)
        : archiveFd_(archiveFd), trailer_(trailer), keyContext_(keyContext), workerCount_(decryptHelperCount()),
          batchCount_(kBatches), batches_(batchCount_), workers_(workerCount_)
    {
        // Only blocks that hold data are worth reading ahead; the reader
        // never delivers a byte of a block past the data length.
        // (Rounded up without wrapping: a length near 2^64 is no small count.)
        const std::uint64_t blocks =
            trailer.dataLength / kArchiveBlockSize + (trailer.dataLength % kArchiveBlockSize != 0 ? 1 : 0);
        blockLimit_ = std::min<std::uint64_t>(blocks, 0xFFFFFFFFu);
    }
    DecryptAhead(const DecryptAhead &) = delete;
    DecryptAhead &operator=(const DecryptAhead &) = delete;
    ~DecryptAhead()
    {
        stopAll();
        for (Batch &batch : batches_)
            qelSecureWipe(batch.plaintext, sizeof batch.plaintext);
    }

    // False when the helpers cannot be had; the caller then decrypts in line.
    bool start()
    {
        // Signals (an interrupt at a prompt, a stop from the terminal) stay
        // with the main thread: the helpers start with every signal blocked
        // but those a fault raises in the faulting thread itself, which must
        // still reach the fatal-signal handler (a blocked fault signal kills
        // the process outright).
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGTRAP, SIGFPE})
            sigdelset(&all, fault);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        bool started = true;
        for (std::size_t w = 0; w < workerCount_ && started; ++w) {
            try {
                workers_[w] = std::thread([this] { run(); });
            } catch (...) {
                started = false;
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (!started) {
            stopAll();
            return false;
        }
        // The run goes on once every helper is up with its own signal mask
        // and name: the inflater does not wait for helpers otherwise.
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return running_ == workerCount_; });
        return true;
    }

    // The plaintext of block n (asked for in increasing order), or null for
    // a block past the data.
    const std::uint8_t *block(std::uint32_t n)
    {
        if (n >= blockLimit_)
            return nullptr;
        const std::uint64_t wanted = n / kBlocksPerBatch;
        Batch &batch = batches_[wanted % batchCount_];
        const std::size_t offset = std::size_t{n - wanted * kBlocksPerBatch} * kArchiveBlockSize;
        // A batch held stays full until the consumer hands it back.
        if (holding_ && held_ == wanted)
            return batch.plaintext + offset;
        std::unique_lock<std::mutex> lock(mutex_);
        if (holding_ && held_ != wanted) {
            // The batch before is used up: its slot may be filled again.
            // Helpers are woken once a quarter of the ring is free rather
            // than for each slot: each wake-up tends to land a helper on the
            // inflater's core, and a few long turns cost it less than many
            // short ones.
            batches_[held_ % batchCount_].full = false;
            consumed_ = held_ + 1;
            holding_ = false;
            if (consumed_ % kWakeEvery == 0)
                changed_.notify_all();
        }
        if (next_ == wanted && !batch.full) {
            // No helper has taken it yet (each may be held back by the
            // scheduler): decrypting it here is quicker than waiting.
            next_ = wanted + 1;
            lock.unlock();
            fill(wanted, ciphertext_.data());
            lock.lock();
        }
        changed_.wait(lock, [&] { return batch.full && batch.number == wanted; });
        held_ = wanted;
        holding_ = true;
        return batch.plaintext + offset;
    }

private:
    struct Batch {
        Batch() {}  // the plaintext is always written before it is read: no zeroing
        std::uint8_t plaintext[kBlocksPerBatch * kArchiveBlockSize];
        std::uint64_t number = 0;
        bool full = false;
    };

    void stopAll()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread &worker : workers_)
            if (worker.joinable())
                worker.join();
    }

    // Reads count consecutive blocks in one go. A short read leaves zeros:
    // they decrypt to noise that the inflater refuses.
    void readCiphertext(std::uint64_t firstBlock, std::size_t count, std::uint8_t *ciphertext) const
    {
        const std::size_t length = count * kArchiveBlockSize;
        off_t offset = static_cast<off_t>(trailer_.dataOffset + firstBlock * kArchiveBlockSize);
        std::size_t done = 0;
        while (done < length) {
            ssize_t got = ::pread(archiveFd_, ciphertext + done, length - done, offset + static_cast<off_t>(done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        std::memset(ciphertext + done, 0, length - done);
    }

    // Reads and decrypts the batch taken into its slot and marks it full.
    void fill(std::uint64_t number, std::uint8_t *ciphertext)
    {
        Batch &batch = batches_[number % batchCount_];
        const std::uint64_t first = number * kBlocksPerBatch;
        const std::uint64_t count = std::min<std::uint64_t>(kBlocksPerBatch, blockLimit_ - first);
        readCiphertext(first, static_cast<std::size_t>(count), ciphertext);
        for (std::uint64_t i = 0; i < count; ++i)
            decryptArchiveBlock(trailer_, keyContext_, static_cast<std::uint32_t>(first + i),
                                ciphertext + i * kArchiveBlockSize, batch.plaintext + i * kArchiveBlockSize);
        std::lock_guard<std::mutex> lock(mutex_);
        batch.number = number;
        batch.full = true;
    }

    // Each helper takes the next batch whose slot is free, so that one the
    // scheduler holds back delays only the batch in its hands.
    void run()
    {
        ::pthread_setname_np(::pthread_self(), kThreadName);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++running_;
        }
        changed_.notify_all();
        // Ciphertext is never secret: no wiping needed.
        std::uint8_t ciphertext[kBlocksPerBatch * kArchiveBlockSize];
        for (;;) {
            std::uint64_t number = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                // With every batch taken a helper waits for the run to end.
                changed_.wait(lock, [&] {
                    return stop_ || (next_ * kBlocksPerBatch < blockLimit_ && next_ < consumed_ + batchCount_ &&
                                     !batches_[next_ % batchCount_].full);
                });
                if (stop_)
                    return;
                number = next_++;
            }
            fill(number, ciphertext);
            changed_.notify_all();
        }
    }

    const int archiveFd_;
    const ArchiveTrailer trailer_;
    void *const keyContext_;
    std::uint64_t blockLimit_ = 0;
    const std::size_t workerCount_;
    const std::size_t batchCount_;
    std::vector<Batch> batches_;
    std::uint64_t consumed_ = 0;   // batches handed back by the consumer
    std::uint64_t next_ = 0;       // the next batch a helper (or the consumer) takes
    std::array<std::uint8_t, kBlocksPerBatch * kArchiveBlockSize> ciphertext_;  // the consumer's
    std::uint64_t held_ = 0;       // batch the consumer reads from
    bool holding_ = false;
    bool stop_ = false;
    std::size_t running_ = 0;      // helpers up
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> workers_;
};

bool entryNameClimbs(const char *name)
{
    for (std::string_view part : splitPath(name))
        if (part == "..")
            return true;
    return false;
}

std::size_t readPlainBytes(ExtractionState *state, std::uint8_t *out, std::size_t count)
{
    std::size_t delivered = 0;
    while (delivered < count) {
        if (state->latchedError != QELError_NoErr)
            break;
        if (state->position == kArchiveBlockSize || state->blocksRead == 0) {
            if (state->blocksRead % kBlocksPerProgressEvent == 0) {
                ExtractionEvent event{};
                event.kind = ExtractionEvent_Progress;
                event.a.count = std::uint64_t{state->blocksRead} * kArchiveBlockSize;
                event.b.count = state->dataLength;
                if (QELStatus answer = raiseEvent(state, event); answer != QELError_NoErr) {
                    latch(state, answer);
                    break;
                }
            }
            // A whole block wanted by the caller goes straight into its
            // buffer; the block buffer is then never read again, since
            // either the block is used up or the data ends inside it.
            const bool direct = count - delivered >= kArchiveBlockSize;
            std::uint8_t *target = direct ? out + delivered : state->plaintextBlock;
            if (state->decryptAhead != nullptr) {
                const std::uint8_t *ready = state->decryptAhead->block(state->blocksRead);
                if (ready != nullptr)
                    std::memcpy(target, ready, kArchiveBlockSize);
                else
                    std::memset(target, 0, kArchiveBlockSize);
            } else {
                // A short read leaves zeros: they decrypt to noise that the
                // inflater refuses.
                std::memset(state->ciphertextBlock, 0, kArchiveBlockSize);
                std::size_t got = std::fread(state->ciphertextBlock, 1, kArchiveBlockSize, state->archive);
                (void)got;
                decryptArchiveBlock(state->trailer, state->keyContext, state->blocksRead, state->ciphertextBlock,
                                    target);
            }
            state->position = 0;
            ++state->blocksRead;
            if (direct) {
                const std::uint64_t start = std::uint64_t{state->blocksRead - 1} * kArchiveBlockSize;
                if (start >= state->dataLength)
                    break;
                const std::size_t take = std::min<std::uint64_t>(kArchiveBlockSize, state->dataLength - start);
                state->position = static_cast<std::uint32_t>(take);
                delivered += take;
                continue;
            }
        }
        const std::uint64_t consumed =
            std::uint64_t{state->blocksRead} * kArchiveBlockSize - kArchiveBlockSize + state->position;
        if (consumed >= state->dataLength)
            break;
        std::size_t take = std::min<std::uint64_t>(
            {kArchiveBlockSize - state->position, count - delivered, state->dataLength - consumed});
        std::memcpy(out + delivered, state->plaintextBlock + state->position, take);
        state->position += static_cast<std::uint32_t>(take);
        delivered += take;
    }
    return delivered;
}

int readPlainByte(ExtractionState *state)
{
    std::uint8_t byte = 0;
    return readPlainBytes(state, &byte, 1) == 1 ? byte : -1;
}

void *zlibAlloc(void *, unsigned items, unsigned size)
{
    return std::calloc(items, size);
}

void zlibFree(void *, void *block)
{
    std::free(block);
}

void consumePayloadByte(std::uint8_t byte, ExtractionState *state)
{
    consumePayload(&byte, 1, state);
}

void consumePayload(const std::uint8_t *bytes, std::size_t count, ExtractionState *state)
{
    while (count > 0 && state->latchedError == QELError_NoErr) {
        if (state->headerMode == 0) {
            if (state->outputFile == nullptr) {
                latch(state, QELError_FileOpFailed);
                return;
            }
            const std::size_t take =
                std::min<std::uint64_t>(count, state->entrySize - state->contentBytesWritten);
            if (std::fwrite(bytes, 1, take, state->outputFile) != take) {
                latch(state, QELError_WriteFailed);
                return;
            }
            state->contentBytesWritten += take;
            bytes += take;
            count -= take;
            if (state->contentBytesWritten == state->entrySize) {
                std::FILE *file = state->outputFile;
                state->outputFile = nullptr;
                state->headerMode = 1;
                if (!closeOutputFile(file)) {
                    latch(state, QELError_WriteFailed);
                    return;
                }
            }
            continue;
        }

        const std::uint8_t byte = *bytes++;
        --count;
        if (state->headerBytesSeen < 8) {
            if (state->headerBytesSeen == 0)
                state->entrySize = 0;
            state->entrySize |= std::uint64_t{byte} << (8 * state->headerBytesSeen);
            ++state->headerBytesSeen;
            continue;
        }
        const std::uint64_t index = state->headerBytesSeen - 8;
        if (byte != 0 && index + 1 >= kEntryNameArea) {
            // No NUL within the name area: longer than any path allowed.
            state->name[kEntryNameArea - 1] = '\0';
            latch(state, QELError_BufferTooSmall);
            raiseEntryFailed(state, state->name, QELError_BufferTooSmall);
            return;
        }
        state->name[index] = static_cast<char>(byte == '\\' ? '/' : byte);
        ++state->headerBytesSeen;
        if (byte == 0)
            runEntryActions(state);
    }
}

namespace {

std::size_t refillFromBlockReader(void *, ExtractionState *state, std::uint8_t *input, std::size_t count)
{
    return readPlainBytes(state, input, count);
}

void handOverToEntryParser(void *, ExtractionState *state, const std::uint8_t *bytes, std::size_t count)
{
    consumePayload(bytes, count, state);
}

// Room for many output groups: zlib decodes far faster into a large buffer
// than into one group at a time. A multiple of the group size, so that the
// groups never straddle its end.
constexpr std::size_t kInflateWindow = 256 * kInflateChunk;
// The most input one refill takes: the blocks between two progress events.
constexpr std::size_t kInflateInput = kBlocksPerProgressEvent * kInflateChunk;
// Input the fast path leaves to the one-group calls at the end of a block.
constexpr uInt kHeldBack = 16;

// The entry parser sees the inflated bytes in 512-byte groups, handed over
// as each group fills, and input is read one 512-byte block at a time: this
// fixes where progress events fall between entry events and what has been
// acted on when damaged data stops the run.
//
// The main loop is the plain way to get that order: each call of inflate
// has the room of one group, so it stops when the group is full (having
// decoded what needs no more output) or when it needs input; the full group
// is handed over, and the next block is read once the input is used up.
//
// zlib decodes several times faster into a large buffer, so a whole block
// read by the main loop first goes through the fast path: long calls into
// the window with the block's last few bytes held back. While input is held
// back the input cannot run out, so a long call passes through exactly the
// states the one-group calls would have stopped in, with no read between
// them. The held-back bytes then go through the main loop's one-group
// calls, which find the group at which the input runs out just as the plain
// loop does.
//
// For the extraction's own sink a refill takes all the blocks up to the
// next progress event at once, and whole groups are handed over together:
// reading a block that raises no event changes nothing anyone sees, so only
// the order of groups against events matters, and that is kept.
class Inflater {
public:
    Inflater(ExtractionState *state, const InflateSink &sink) : state_(state), sink_(sink)
    {
        stream_.zalloc = zlibAlloc;
        stream_.zfree = zlibFree;
        stream_.opaque = nullptr;
        window_ = static_cast<std::uint8_t *>(std::malloc(kInflateWindow));
        windowStart_ = window_ != nullptr ? window_ : output_;
        windowEnd_ = windowStart_ + (window_ != nullptr ? kInflateWindow : kInflateChunk);
        group_ = windowStart_;
    }
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;
    ~Inflater()
    {
        qelSecureWipe(input_, sizeof input_);
        qelSecureWipe(output_, sizeof output_);
        if (window_ != nullptr) {
            qelSecureWipe(window_, kInflateWindow);
            std::free(window_);
        }
    }

    // True when the stream ended; false when it is damaged, cut short or a
    // failure was latched.
    bool run()
    {
        if (inflateInit(&stream_) != Z_OK)
            return false;
        startGroup();
        const bool ended = mainLoop();
        inflateEnd(&stream_);
        return ended;
    }

private:
    enum class Outcome { GoOn, Ended, Stopped };

    bool latched() const { return state_->latchedError != QELError_NoErr; }
    std::size_t produced() const { return static_cast<std::size_t>(stream_.next_out - group_); }
    void handOver(const std::uint8_t *bytes, std::size_t count) { sink_.handOver(sink_.context, state_, bytes, count); }

    // The output room of the current group, from what it already holds.
    void startGroup()
    {
        if (group_ == windowEnd_)
            group_ = windowStart_;
        stream_.next_out = group_;
        stream_.avail_out = static_cast<uInt>(kInflateChunk);
    }
    void handOverGroup()
    {
        handOver(group_, kInflateChunk);
        group_ += kInflateChunk;
    }

    void refill()
    {
        const std::size_t wanted = blocksToRead() * kInflateChunk;
        const std::size_t got = sink_.refill(sink_.context, state_, input_, wanted);
        inputEnded_ = got < wanted;
        stream_.next_in = input_;
        stream_.avail_in = static_cast<uInt>(got);
    }

    // One block; for a quiet sink, the blocks before the next one that
    // raises a progress event, as long as they are whole blocks of data: a
    // block where the data ends is read on its own, so that the end is found
    // just as block by block.
    std::size_t blocksToRead() const
    {
        if (!sink_.quietBetweenEvents)
            return 1;
        const std::uint64_t next = state_->blocksRead;
        const std::uint64_t wholeBlocks = state_->dataLength / kInflateChunk;
        const std::uint64_t beforeEnd = wholeBlocks > next ? wholeBlocks - next : 0;
        const std::uint64_t beforeEvent = kBlocksPerProgressEvent - next % kBlocksPerProgressEvent;
        return static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min(beforeEnd, beforeEvent)));
    }

    bool mainLoop()
    {
        // Once a failure is latched every further byte would be ignored: stop.
        while (!latched()) {
            int result;
            if (inputEnded_) {
                result = inflate(&stream_, Z_FINISH);
            } else {
                if (stream_.avail_in == 0) {
                    refill();
                    if (!inputEnded_ && window_ != nullptr) {
                        const Outcome outcome = fastPath();
                        if (outcome == Outcome::GoOn)
                            continue;
                        return outcome == Outcome::Ended;
                    }
                }
                result = inflate(&stream_, Z_NO_FLUSH);
            }
            if (result == Z_OK && stream_.avail_out == 0) {
                handOverGroup();
                startGroup();
            }
            if (result == Z_BUF_ERROR && (result = growUntilProgress()) == Z_BUF_ERROR)
                return false;
            if (result == Z_OK)
                continue;
            if (result != Z_STREAM_END)
                return false;  // damaged data: what it made since the last full group is not acted on
            handOver(group_, produced());
            return true;
        }
        return false;
    }

    // The fast path over a whole block just read: long calls into the
    // window, each with the held-back bytes kept from it, handing over the
    // groups the one-group calls would have handed over by then. Bounded by
    // the block: it returns to the main loop when only the held-back bytes
    // are left.
    Outcome fastPath()
    {
        while (stream_.avail_in > kHeldBack && !latched()) {
            const std::size_t before = produced();  // a partial group, never a full one
            stream_.avail_in -= kHeldBack;
            stream_.avail_out = static_cast<uInt>(windowEnd_ - stream_.next_out);
            const int result = inflate(&stream_, Z_NO_FLUSH);
            stream_.avail_in += kHeldBack;
            if (result == Z_BUF_ERROR)
                break;  // no progress at all: the main loop takes over
            const std::size_t total = produced();
            // A group filled right where the call stopped: the one-group call
            // that filled it would have gone on with the steps that need no
            // room, and ended where this call ended or after it.
            const bool filledAtStop = total % kInflateChunk == 0 && total > before;
            const std::size_t groups = total / kInflateChunk;
            if (result == Z_STREAM_END) {
                // That call found the end and handed its group over whole.
                handOverGroups(groups);
                if (latched())
                    return Outcome::Stopped;
                if (!filledAtStop)
                    handOver(group_, produced());
                return Outcome::Ended;
            }
            // Damaged data: neither a group the failing call filled nor the
            // partial one is acted on.
            handOverGroups(filledAtStop ? groups - 1 : groups);
            if (result != Z_OK || latched())
                return Outcome::Stopped;
            if (filledAtStop) {
                const Outcome rest = finishHeldGroup();
                if (rest != Outcome::GoOn)
                    return rest;
            }
        }
        // The main loop's one-group calls continue in the group in progress.
        stream_.avail_out = static_cast<uInt>(group_ + kInflateChunk - stream_.next_out);
        return latched() ? Outcome::Stopped : Outcome::GoOn;
    }

    // Hands over full groups, each only while nothing has been latched (as
    // each would be after a call of its own).
    void handOverGroups(std::size_t count)
    {
        if (sink_.quietBetweenEvents && count > 1 && !latched()) {
            handOver(group_, count * kInflateChunk);
            group_ += count * kInflateChunk;
            return;
        }
        for (std::size_t i = 0; i < count && !latched(); ++i)
            handOverGroup();
    }

    // The rest of the one-group call that filled the group at a long call's
    // stop: a call without room does what needs none with the input
    // restored, and decides whether that group is acted on.
    Outcome finishHeldGroup()
    {
        stream_.avail_out = 0;
        int result = inflate(&stream_, Z_NO_FLUSH);
        if (result == Z_BUF_ERROR)
            result = Z_OK;  // nothing left to do without room
        if (result != Z_OK && result != Z_STREAM_END)
            return Outcome::Stopped;
        handOverGroup();
        startGroup();
        if (result == Z_STREAM_END)
            return latched() ? Outcome::Stopped : Outcome::Ended;
        return Outcome::GoOn;
    }

    // No progress in the group at hand (at the end of the input the rest of
    // the stream may need more room): hand over what it holds and try again
    // in a buffer twice the size, up to the limit.
    int growUntilProgress()
    {
        std::uint8_t *current = group_;
        std::uint8_t *grown = nullptr;
        std::size_t size = kInflateChunk;
        bool handedOver = false;
        int result = Z_BUF_ERROR;
        while (result == Z_BUF_ERROR && size < kInflateGrowthLimit) {
            handOver(current, static_cast<std::size_t>(stream_.next_out - current));
            handedOver = true;
            // A fresh block rather than a reallocation, so that no copy of
            // inflated data is left behind unwiped.
            auto *larger = static_cast<std::uint8_t *>(std::malloc(size * 2));
            if (larger == nullptr)
                break;  // the stream cannot be finished: not ended, so refused
            if (grown != nullptr) {
                qelSecureWipe(grown, size);
                std::free(grown);
            }
            size *= 2;
            grown = current = larger;
            stream_.next_out = grown;
            stream_.avail_out = static_cast<uInt>(size);
            handedOver = false;
            result = inflate(&stream_, inputEnded_ ? Z_FINISH : Z_NO_FLUSH);
        }
        if (grown != nullptr) {
            if (!handedOver)
                handOver(grown, static_cast<std::size_t>(stream_.next_out - grown));
            qelSecureWipe(grown, size);
            std::free(grown);
            startGroup();
        }
        return result;
    }

    ExtractionState *const state_;
    const InflateSink sink_;
    z_stream stream_{};
    std::uint8_t input_[kInflateInput];
    std::uint8_t output_[kInflateChunk];   // the one group when no window can be had
    std::uint8_t *window_ = nullptr;
    std::uint8_t *windowStart_ = nullptr;
    std::uint8_t *windowEnd_ = nullptr;
    std::uint8_t *group_ = nullptr;        // start of the group being filled
    bool inputEnded_ = false;              // the block reader has reported the end
};

}  // namespace

void inflatePayload(ExtractionState *state)
{
    inflatePayloadTo(state, InflateSink{nullptr, refillFromBlockReader, handOverToEntryParser, true});
}

void inflatePayloadTo(ExtractionState *state, const InflateSink &sink)
{
    Inflater inflater(state, sink);
    if (!inflater.run())
        latch(state, QELError_CorruptData);
}

void runExtraction(ExtractionState *state)
{
    inflatePayload(state);
    // The stream must end between entries: inside a header or inside a
    // file's content, data is missing.
    if (state->headerMode == 1 ? state->headerBytesSeen != 0
                               : state->contentBytesWritten != state->entrySize)
        latch(state, QELError_CorruptData);
}

QELStatus extractArchive(const ArchiveTrailer &trailer, void *keyContext, CreatedPath **createdPaths,
                         const char *archivePath, const char *outputDirectory,
                         ExtractionCallback callback, void *userData)
{
    auto state = std::make_unique<ExtractionState>();
    std::memset(state.get(), 0, sizeof(ExtractionState));
    state->outputDirectoryFd = -1;
    state->createdPaths = createdPaths != nullptr ? *createdPaths : nullptr;
    state->callback = callback;
    state->userData = userData;

    std::FILE *archive = std::fopen(archivePath, "rb");
    if (archive == nullptr)
        return QELError_CantOpenFile;
    std::setvbuf(archive, nullptr, _IOFBF, kArchiveStreamBuffer);
    fseeko(archive, static_cast<off_t>(trailer.dataOffset), SEEK_SET);

    std::string directory = outputDirectory != nullptr ? outputDirectory : "";
    std::replace(directory.begin(), directory.end(), '\\', '/');

    state->archive = archive;
    state->trailer = trailer;
    state->keyContext = keyContext;
    state->dataLength = trailer.dataLength;
    state->latchedError = QELError_NoErr;
    state->headerMode = 1;
    state->outputDirectory = directory.c_str();
    state->outputDirectoryFd = ::open(directory.empty() ? "/" : directory.c_str(), kDirectoryHandleFlags);

    {
        // Cipher work overlaps inflation and output when helper threads can
        // be had; without them the same blocks are decrypted in line.
        auto ahead = std::make_unique<DecryptAhead>(::fileno(archive), trailer, keyContext);
        if (ahead->start())
            state->decryptAhead = ahead.get();
        runExtraction(state.get());
        state->decryptAhead = nullptr;
    }

    if (state->outputFile != nullptr) {
        if (!closeOutputFile(state->outputFile))
            latch(state.get(), QELError_WriteFailed);
        state->outputFile = nullptr;
    }
    qelSecureWipe(state->plaintextBlock, kArchiveBlockSize);
    qelSecureWipe(state->ciphertextBlock, kArchiveBlockSize);

    ExtractionEvent event{};
    event.kind = ExtractionEvent_Progress;
    event.a.count = state->dataLength;
    event.b.count = state->dataLength;
    raiseEvent(state.get(), event);

    if (state->outputDirectoryFd >= 0)
        ::close(state->outputDirectoryFd);
    std::fclose(archive);
    if (createdPaths != nullptr)
        *createdPaths = state->createdPaths;
    return state->latchedError;
}

int makeDirectories(const char *base, const char *relative, CreatedPath **created)
{
    if (base == nullptr || relative == nullptr)
        return -1;
    std::string_view baseView(base);
    std::string prefix(baseView);
    if (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    Descriptor directory(::open(prefix.empty() ? "/" : prefix.c_str(), kDirectoryHandleFlags));
    if (directory.get() < 0)
        return errno == EACCES ? 1 : -1;
    for (std::string_view part : splitPath(relative)) {
        if (part == "..")
            return -1;
        const std::string component(part);
        prefix += '/';
        prefix += component;
        if (::mkdirat(directory.get(), component.c_str(), 0700) == 0) {
            // Made by this call, so a rollback may take it again; one that
            // was there before is never listed.
            if (created != nullptr) {
                if (recordCreatedPath(created, prefix.c_str()) != QELError_NoErr)
                    return -1;
                (*created)->isDirectory = 1;
            }
        } else if (errno != EEXIST && errno != EACCES) {
            return -1;
        }
        // Descend without following links, so that a link planted in the
        // tree cannot carry the directories somewhere else.
        int next = openDirectoryBeneath(directory.get(), component);
        if (next < 0)
            return errno == EACCES ? 1 : -1;
        directory.reset(next);
    }
    return 1;
}

QELStatus recordCreatedPath(CreatedPath **head, const char *path)
{
    if (head == nullptr || path == nullptr)
        return QELError_BadParams;
    auto *node = static_cast<CreatedPath *>(std::calloc(1, sizeof(CreatedPath)));
    if (node == nullptr)
        return QELError_OutOfMemory;
    const std::size_t length = std::strlen(path);
    node->path = static_cast<char *>(std::calloc(length + 1, 1));
    if (node->path == nullptr) {
        std::free(node);
        return QELError_OutOfMemory;
    }
    std::memcpy(node->path, path, length);
    node->next = *head;
    *head = node;
    return QELError_NoErr;
}

void rollbackCreatedPaths(CreatedPath *head)
{
    while (head != nullptr) {
        CreatedPath *next = head->next;
        if (head->isDirectory == kPreexistingDirectory) {
            // Not this run's to remove.
        } else if (head->isDirectory) {
            ::rmdir(head->path);
        } else {
            ::unlink(head->path);
        }
        qelSecureWipe(head->path, std::strlen(head->path) + 1);
        std::free(head->path);
        std::free(head);
        head = next;
    }
}

QELStatus onExtractionEvent(void *, ExtractionEvent *event, void *userData)
{
    auto *settings = static_cast<ReaderSettings *>(userData);
    if (event == nullptr)
        return QELError_NoErr;
    switch (event->kind) {
    case ExtractionEvent_CreateFile: {
        const char *path = event->a.path;
        char *buffer = event->b.buffer;
        auto copyPath = [&] {
            std::strncpy(buffer, path, kCreateNameBufferSize - 1);
            buffer[kCreateNameBufferSize - 1] = '\0';
        };
        if (!pathExists(path) || (settings != nullptr && settings->overwrite)) {
            copyPath();
            return QELError_NoErr;
        }
        printOutput(std::string("File '") + path + "' already exists, do you want to overwrite it (y/N)? ");
        char answer[2] = {};
        if (readTerminalLine(answer, sizeof answer, stdout) == -1) {
            printErrorLine(settings, "Error reading keyboard input.");
            return QELError_ReadFailed;
        }
        if (answer[0] == 'Y' || answer[0] == 'y') {
            copyPath();
            return QELError_NoErr;
        }
        printOutput("\nEnter new file name : ");
        if (readTerminalLine(buffer, kCreateNameBufferSize, stdout) == -1) {
            printErrorLine(settings, "Error reading keyboard input.");
            return QELError_ReadFailed;
        }
        return QELError_NoErr;
    }
    case ExtractionEvent_EntryFailed:
        printErrorLine(settings, std::string("Error decoding file ") + event->a.path);
        return QELError_NoErr;
    default:
        return QELError_NoErr;
    }
}
