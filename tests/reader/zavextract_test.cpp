// Extraction in process: entries, the directory retry, the end-of-data
// checks, hostile names and the rollback that follows every failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <random>
#include <string>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "zavArchive.h"
#include "zavArchiveWriter.h"
#include "zavExtract.h"
#include "zavReader.h"
#include "qelTestEnv.h"

using namespace zavtest;
namespace fs = std::filesystem;

namespace {

std::string randomText(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string out(n, '\0');
    for (char &c : out)
        c = static_cast<char>(rng());
    return out;
}

// Every path beneath a root with its kind and, for files, its content.
std::map<std::string, std::string> snapshot(const fs::path &root)
{
    std::map<std::string, std::string> tree;
    if (!fs::exists(fs::symlink_status(root)))
        return tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), root).string();
        if (it->is_fifo())
            tree[rel] = "fifo";
        else if (it->is_symlink())
            tree[rel] = "link:" + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            tree[rel] = "dir";
        else
            tree[rel] = "file:" + readFileBytes(it->path().string());
    }
    return tree;
}

// The number of decrypt-ahead helpers for one scope.
struct DecryptHelpers {
    explicit DecryptHelpers(std::size_t count) { zavTestSetDecryptHelpers(count); }
    ~DecryptHelpers() { zavTestSetDecryptHelpers(0); }
    DecryptHelpers(const DecryptHelpers &) = delete;
    DecryptHelpers &operator=(const DecryptHelpers &) = delete;
};

class Extraction : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = tmp_.path();
        out_ = root_ + "/out";
        outside_ = root_ + "/outside";
        fs::create_directory(out_);
        fs::create_directory(outside_);
        writeFileBytes(outside_ + "/secret", "untouched");
        writeFileBytes(out_ + "/keep.txt", "already here");
    }

    // What a run may touch: the output tree and its neighbour.
    std::map<std::string, std::string> view()
    {
        std::map<std::string, std::string> all;
        for (auto &[k, v] : snapshot(out_))
            all["out/" + k] = v;
        for (auto &[k, v] : snapshot(outside_))
            all["outside/" + k] = v;
        all["out exists"] = fs::exists(out_) ? "yes" : "no";
        return all;
    }

    static QELStatus callback(void *reserved, ExtractionEvent *event, void *user)
    {
        auto *self = static_cast<Extraction *>(user);
        switch (event->kind) {
        case ExtractionEvent_EntryFound:
            self->found_.push_back(event->a.path);
            break;
        case ExtractionEvent_EntryFailed:
            self->failed_.push_back(std::string(event->a.path) + "|" + std::to_string(event->b.status));
            return QELError_NoErr;
        default:
            break;
        }
        ReaderSettings settings;
        settings.overwrite = 1;
        return onExtractionEvent(reserved, event, &settings);
    }

    // Runs one extraction the way the program does: the output directory is
    // recorded first, and a failure rolls everything back.
    QELStatus run(const std::string &archive, std::string archivePath = "", ExtractionCallback handler = callback,
                  void *user = nullptr)
    {
        if (user == nullptr)
            user = this;
        if (archivePath.empty()) {
            archivePath = root_ + "/a.zav";
            EXPECT_TRUE(writeFileBytes(archivePath, archive));
        }
        ArchiveTrailer trailer;
        std::FILE *f = std::fopen(archivePath.c_str(), "rb");
        if (f != nullptr) {
            readArchiveTrailer(f, &trailer);
            std::fclose(f);
        } else {
            std::memset(&trailer, 0, sizeof trailer);
        }
        void *key = nullptr;
        if (f != nullptr) {
            EXPECT_TRUE(checkPassphrase(ArchiveOptions{}.passphrase.c_str(), &key, trailer));
        }
        const std::string directory = out_ + "/";
        CreatedPath *created = nullptr;
        EXPECT_EQ(recordCreatedPath(&created, directory.c_str()), QELError_NoErr);
        created->isDirectory = kPreexistingDirectory;
        QELStatus status =
            extractArchive(trailer, key, &created, archivePath.c_str(), directory.c_str(), handler, user);
        if (status != QELError_NoErr) {
            rollbackCreatedPaths(created);
        } else {
            while (created != nullptr) {
                CreatedPath *next = created->next;
                std::free(created->path);
                std::free(created);
                created = next;
            }
        }
        freeKeyContext(key);
        return status;
    }

    qeltest::TempDir tmp_{"zavextract"};
    std::string root_, out_, outside_;
    std::vector<std::string> found_, failed_;
};

TEST_F(Extraction, WritesEveryEntryByteForByte)
{
    const std::string big = randomText(300000, 1);
    const std::string text(200000, 'z');
    const std::vector<ArchiveEntry> entries = {
        {"docs/", true, ""},
        {"docs/readme.txt", false, "hello\n"},
        {"empty", false, ""},
        {"deep/er/big.bin", false, big},
        {"win\\style.txt", false, text},
        {"/rooted.txt", false, "under the output directory"},
        {"docs", true, ""},
    };
    ASSERT_EQ(run(buildArchive(entries)), QELError_NoErr);
    const auto tree = snapshot(out_);
    const std::map<std::string, std::string> expected = {
        {"keep.txt", "file:already here"},
        {"docs", "dir"},
        {"docs/readme.txt", "file:hello\n"},
        {"empty", "file:"},
        {"deep", "dir"},
        {"deep/er", "dir"},
        {"deep/er/big.bin", "file:" + big},
        {"win", "dir"},
        {"win/style.txt", "file:" + text},
        {"rooted.txt", "file:under the output directory"},
    };
    EXPECT_EQ(tree, expected);
    EXPECT_EQ(fs::status(out_ + "/docs").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(out_ + "/deep/er").permissions() & fs::perms::all, fs::perms::owner_all);
    ASSERT_EQ(found_.size(), entries.size());
    EXPECT_EQ(found_[0], out_ + "/docs/");
    EXPECT_EQ(found_[4], out_ + "/win/style.txt");
    EXPECT_TRUE(failed_.empty());
    EXPECT_EQ(snapshot(outside_).size(), 1u);
}

TEST_F(Extraction, AnyCompressionLevelAndChunking)
{
    std::vector<ArchiveEntry> entries;
    for (int i = 0; i < 40; ++i)
        entries.push_back({"f" + std::to_string(i), false, randomText(i * 997, i) + std::string(i * 3000, 'a')});
    for (int level : {0, 1, 9}) {
        SCOPED_TRACE(level);
        ASSERT_EQ(run(buildArchive(zlibCompress(buildEntryStream(entries), level))), QELError_NoErr);
        for (const ArchiveEntry &e : entries)
            ASSERT_EQ(readFileBytes(out_ + "/" + e.name), e.content) << e.name;
    }
}

TEST_F(Extraction, StreamEndingInAHighlyCompressedBlock)
{
    // The last input block inflates to far more than one output group:
    // the output room grows until the stream can end.
    const std::string zeros(3 << 20, '\0');
    const std::string payload = zlibCompress(buildEntryStream({{"zeros", false, zeros}}), 9);
    ASSERT_LT(payload.size(), 8u * 512);
    ASSERT_EQ(run(buildArchive(payload)), QELError_NoErr);
    EXPECT_TRUE(readFileBytes(out_ + "/zeros") == zeros);
}

struct HostileCase {
    HostileCase(const char *l, QELStatus s, std::vector<ArchiveEntry> e, std::string raw = "", int kind = 0)
        : label(l), status(s), entries(std::move(e)), rawStream(std::move(raw)), payloadKind(kind)
    {
    }
    const char *label;
    QELStatus status;
    std::vector<ArchiveEntry> entries;      // appended after a good directory and file
    std::string rawStream;                  // entry stream used instead, when set
    int payloadKind = 0;                    // 1 random bytes, 2 truncated zlib, 3 empty region
};

TEST_F(Extraction, HostileArchivesChangeNothingAndFailClearly)
{
    const std::string longName(4096, 'n');
    const std::vector<HostileCase> cases = {
        {"dot-dot", QELError_FilePermissions, {{"../escape.txt", false, "x"}}},
        {"inner dot-dot", QELError_FilePermissions, {{"first/../../escape", false, "x"}}},
        {"backslash dot-dot", QELError_FilePermissions, {{"..\\escape", false, "x"}}},
        {"dot-dot directory", QELError_FilePermissions, {{"../outside/newdir", true, ""}}},
        {"symlinked directory", QELError_FilePermissions, {{"link/pwn.txt", false, "x"}}},
        {"symlinked file", QELError_FilePermissions, {{"victim", false, "overwritten"}}},
        {"link below a directory", QELError_FilePermissions, {{"first/../link/x", false, "x"}}},
        {"named pipe", QELError_FilePermissions, {{"pipe", false, "would block"}}},
        {"over-long path", QELError_BufferTooSmall, {{longName, false, "x"}}},
        {"name without end", QELError_BufferTooSmall, {},
         buildEntryStream({{"first/", true, ""}}) + std::string(8, '\1') + std::string(5000, 'n')},
        {"content cut short", QELError_CorruptData, {{"short.bin", false, "abc", 10}}},
        // Made as "slashed" and "first/deeper" however the name spells them.
        {"file name with slashes to spare", QELError_CorruptData, {{"slashed/", false, "abc", 10}}},
        {"file in a new directory, cut short", QELError_CorruptData, {{"first//deeper//f", false, "abc", 10}}},
        {"ends inside a header", QELError_CorruptData, {},
         buildEntryStream({{"first/", true, ""}, {"first/f.txt", false, "data"}}) + "\x05\0\0"},
        {"ends inside a name", QELError_CorruptData, {},
         buildEntryStream({{"first/", true, ""}}) + std::string("\x01\0\0\0\0\0\0\0nam", 11)},
        {"empty file without directory", QELError_FileOpFailed, {{"nodir/empty", false, ""}}},
        {"random region", QELError_CorruptData, {}, "", 1},
        {"truncated zlib stream", QELError_CorruptData, {}, "", 2},
        {"empty region", QELError_CorruptData, {}, "", 3},
    };
    fs::create_directory_symlink(outside_, out_ + "/link");
    fs::create_symlink(outside_ + "/secret", out_ + "/victim");
    ASSERT_EQ(::mkfifo((out_ + "/pipe").c_str(), 0600), 0);
    const auto before = view();
    for (const HostileCase &c : cases) {
        SCOPED_TRACE(c.label);
        failed_.clear();
        std::vector<ArchiveEntry> entries = {{"first/", true, ""}, {"first/f.txt", false, "made first"}};
        entries.insert(entries.end(), c.entries.begin(), c.entries.end());
        std::string stream = c.rawStream.empty() ? buildEntryStream(entries) : c.rawStream;
        std::string payload = zlibCompress(stream);
        ArchiveOptions options;
        if (c.payloadKind == 1)
            payload = randomText(3000, 9);
        if (c.payloadKind == 2)
            options.dataLengthOverride = payload.size() - 5;
        if (c.payloadKind == 3)
            options.dataLengthOverride = 0;
        EXPECT_EQ(run(buildArchive(payload, options)), c.status);
        EXPECT_EQ(view(), before);
        if (c.status == QELError_FilePermissions || c.status == QELError_BufferTooSmall) {
            ASSERT_EQ(failed_.size(), 1u);
            EXPECT_EQ(failed_[0].substr(failed_[0].rfind('|') + 1), std::to_string(c.status));
        }
    }
    EXPECT_EQ(readFileBytes(outside_ + "/secret"), "untouched");
}

// Where zlib, fed the first `blocks` 512-byte blocks of the payload, has
// got to: the number of bytes it can inflate from them.
std::size_t inflatedFromPrefix(const std::string &payload, std::size_t blocks)
{
    z_stream z{};
    EXPECT_EQ(inflateInit(&z), Z_OK);
    std::string sink(1 << 20, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(payload.data()));
    z.avail_in = static_cast<uInt>(std::min(payload.size(), blocks * 512));
    int r;
    do {
        z.next_out = reinterpret_cast<Bytef *>(sink.data());
        z.avail_out = static_cast<uInt>(sink.size());
        r = inflate(&z, Z_NO_FLUSH);
    } while (r == Z_OK && z.avail_in != 0);
    const std::size_t total = z.total_out;
    inflateEnd(&z);
    return total;
}

struct EventLog {
    std::vector<std::string> events;
    static QELStatus record(void *, ExtractionEvent *event, void *user)
    {
        auto *log = static_cast<EventLog *>(user);
        if (event->kind == ExtractionEvent_Progress)
            log->events.push_back("progress " + std::to_string(event->a.count));
        if (event->kind == ExtractionEvent_EntryFound)
            log->events.push_back(fs::path(event->a.path).filename().string());
        if (event->kind == ExtractionEvent_CreateFile)
            std::strcpy(event->b.buffer, event->a.path);
        return QELError_NoErr;
    }
};

TEST_F(Extraction, ProgressEventsFallWhereTheInputHasGot)
{
    // The entry parser is handed the inflated bytes in whole 512-byte groups
    // as they fill, and the progress event before block 10k comes once
    // blocks 0 .. 10k-1 have been inflated: an entry is reported before it
    // exactly when its header ends inside the groups filled by then.
    std::vector<ArchiveEntry> entries;
    std::mt19937 rng(5);
    for (int i = 0; i < 300; ++i)
        entries.push_back({"e" + std::to_string(i), false, randomText(100 + rng() % 700, i)});
    std::string payload = zlibCompress(buildEntryStream(entries));
    ASSERT_NE(payload.size() % 512, 0u);
    ASSERT_GT(payload.size(), 100u * 512);

    std::vector<std::string> expected = {"progress 0"};
    std::size_t nameEnd = 0;  // offset of the entry's NUL in the inflated stream
    std::size_t block = 10;
    std::size_t handedOver = inflatedFromPrefix(payload, block) / 512 * 512;
    for (const ArchiveEntry &e : entries) {
        nameEnd += 8 + e.name.size();
        while (block * 512 < payload.size() && nameEnd >= handedOver) {
            expected.push_back("progress " + std::to_string(block * 512));
            block += 10;
            handedOver = inflatedFromPrefix(payload, block) / 512 * 512;
        }
        expected.push_back(e.name);
        nameEnd += 1 + e.content.size();
    }
    for (; block * 512 < payload.size(); block += 10)
        expected.push_back("progress " + std::to_string(block * 512));
    expected.push_back("progress " + std::to_string(payload.size()));

    // The same events in the same order, however many helpers decrypt ahead.
    const std::string archive = buildArchive(payload);
    for (std::size_t helpers : {1, 2, 8}) {
        SCOPED_TRACE(helpers);
        const DecryptHelpers use(helpers);
        EventLog log;
        ASSERT_EQ(run(archive, "", EventLog::record, &log), QELError_NoErr);
        EXPECT_EQ(log.events, expected);
        fs::remove_all(out_);
        fs::create_directory(out_);
    }
}

TEST_F(Extraction, DamagedStreamActsOnlyOnFilledGroups)
{
    // A wrong checksum is found after the last byte has been inflated; what
    // lies past the last full 512-byte group by then is never acted on.
    struct Case {
        std::size_t firstSize;
        bool secondReported;
    };
    for (const Case &c : {Case{1000, true}, Case{1100, false}}) {
        SCOPED_TRACE(c.firstSize);
        // Header of "b" ends at 10 + size + 9 bytes: below 1024, or not.
        std::string payload = zlibCompress(
            buildEntryStream({{"a", false, randomText(c.firstSize, 3)}, {"b", false, "fifth"}}));
        payload.back() = static_cast<char>(payload.back() ^ 1);
        EventLog log;
        EXPECT_EQ(run(buildArchive(payload), "", EventLog::record, &log), QELError_CorruptData);
        std::vector<std::string> entriesSeen;
        for (const std::string &e : log.events)
            if (!e.starts_with("progress"))
                entriesSeen.push_back(e);
        const std::vector<std::string> expected =
            c.secondReported ? std::vector<std::string>{"a", "b"} : std::vector<std::string>{"a"};
        EXPECT_EQ(entriesSeen, expected);
        EXPECT_FALSE(fs::exists(out_ + "/a"));
    }
}

TEST_F(Extraction, OutputDirectoryNeedsNoReadPermission)
{
    // Write and search permission are all that creating entries takes. The
    // run happens in a child without root's permission override.
    const std::string archive =
        buildArchive({{"sub/", true, ""}, {"sub/f.txt", false, "in sub"}, {"deep/er/g.txt", false, "deep"}});
    writeFileBytes(root_ + "/a.zav", archive);
    ::chmod(root_.c_str(), 0755);
    ::chmod((root_ + "/a.zav").c_str(), 0644);
    const uid_t nobody = 65534;
    if (::getuid() == 0) {
        ASSERT_EQ(::chown(out_.c_str(), nobody, nobody), 0);
    }
    ASSERT_EQ(::chmod(out_.c_str(), 0300), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::getuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0))
            ::_exit(100);
        int code = run("", root_ + "/a.zav") == QELError_NoErr ? 0 : 101;
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::chmod(out_.c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFileBytes(out_ + "/sub/f.txt"), "in sub");
    EXPECT_EQ(readFileBytes(out_ + "/deep/er/g.txt"), "deep");
}

// Signal masks of the decryption helpers, found by their thread name.
std::vector<unsigned long long> helperThreadMasks()
{
    std::vector<unsigned long long> masks;
    DIR *tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr)
        return masks;
    while (const dirent *entry = ::readdir(tasks)) {
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::string name;
        std::getline(std::ifstream(task + "/comm"), name);
        if (name != "zavdecrypt")
            continue;
        std::ifstream status(task + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("SigBlk:"))
                masks.push_back(std::stoull(line.substr(7), nullptr, 16));
    }
    ::closedir(tasks);
    return masks;
}

TEST_F(Extraction, HelperThreadsLeaveSignalsToTheMainThread)
{
    // An interrupt or a terminal stop reaches the main thread, whose
    // handlers restore the terminal; a fault in a helper still reaches the
    // fatal-signal handler instead of killing the process outright.
    struct Seen {
        std::vector<unsigned long long> masks;
        static QELStatus record(void *, ExtractionEvent *event, void *user)
        {
            auto *seen = static_cast<Seen *>(user);
            // Once several batches have been handed over, both helpers are
            // well under way (and named); before the end, both still run.
            if (event->kind == ExtractionEvent_Progress && seen->masks.empty() &&
                event->a.count >= 4 * 64 * 512 && event->a.count < event->b.count)
                seen->masks = helperThreadMasks();
            if (event->kind == ExtractionEvent_CreateFile)
                std::strcpy(event->b.buffer, event->a.path);
            return QELError_NoErr;
        }
    } seen;
    const DecryptHelpers two(2);
    // Large enough that both helpers still have batches ahead of them when
    // the entry is found.
    ASSERT_EQ(run(buildArchive({{"big", false, randomText(1000000, 2)}}), "", Seen::record, &seen), QELError_NoErr);
    auto bit = [](int signalNumber) { return 1ull << (signalNumber - 1); };
    EXPECT_EQ(seen.masks.size(), 2u);
    for (unsigned long long mask : seen.masks) {
        for (int blocked : {SIGINT, SIGTSTP, SIGCONT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            EXPECT_NE(mask & bit(blocked), 0u) << blocked;
        for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGTRAP, SIGFPE})
            EXPECT_EQ(mask & bit(fault), 0u) << fault;
    }
}

TEST_F(Extraction, ProgressRefusalStopsTheRun)
{
    const std::string archive = buildArchive({{"big", false, randomText(400000, 8)}, {"after", false, "x"}});
    writeFileBytes(root_ + "/a.zav", archive);
    ArchiveTrailer trailer;
    std::FILE *f = std::fopen((root_ + "/a.zav").c_str(), "rb");
    readArchiveTrailer(f, &trailer);
    std::fclose(f);
    void *key = nullptr;
    ASSERT_TRUE(checkPassphrase(ArchiveOptions{}.passphrase.c_str(), &key, trailer));
    struct Seen {
        std::vector<std::uint64_t> progress;
        bool createdAfter = false;
    } seen;
    auto callback = [](void *, ExtractionEvent *event, void *user) -> QELStatus {
        auto *s = static_cast<Seen *>(user);
        if (event->kind == ExtractionEvent_Progress) {
            s->progress.push_back(event->a.count);
            return event->a.count >= 51200 ? QELError_UserAbort : QELError_NoErr;
        }
        if (event->kind == ExtractionEvent_CreateFile) {
            s->createdAfter = std::string(event->a.path).ends_with("after");
            std::strcpy(event->b.buffer, event->a.path);
        }
        return QELError_NoErr;
    };
    CreatedPath *created = nullptr;
    const std::string directory = out_ + "/";
    EXPECT_EQ(extractArchive(trailer, key, &created, (root_ + "/a.zav").c_str(), directory.c_str(), callback, &seen),
              QELError_UserAbort);
    // Every tenth block, then the closing event with the data length.
    EXPECT_EQ(seen.progress, (std::vector<std::uint64_t>{0, 5120, 10240, 15360, 20480, 25600, 30720, 35840,
                                                         40960, 46080, 51200, trailer.dataLength}));
    EXPECT_FALSE(seen.createdAfter);
    rollbackCreatedPaths(created);
    EXPECT_FALSE(fs::exists(out_ + "/big"));
    freeKeyContext(key);
}

TEST_F(Extraction, MissingArchiveCannotBeOpened)
{
    EXPECT_EQ(run("", root_ + "/missing.zav"), QELError_CantOpenFile);
    EXPECT_TRUE(fs::exists(out_ + "/keep.txt"));
}

TEST_F(Extraction, WriteFailureIsReportedAndRolledBack)
{
    // A file-size limit stands in for a full disk.
    const std::string archive = buildArchive({{"first/", true, ""}, {"big", false, randomText(400000, 4)}});
    writeFileBytes(root_ + "/a.zav", archive);
    const auto before = view();
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 100000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const QELStatus status = run("", root_ + "/a.zav");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(status, QELError_WriteFailed);
    EXPECT_EQ(view(), before);
}

TEST_F(Extraction, RollbackEmptiesButKeepsThePreexistingOutputDirectory)
{
    fs::remove(out_ + "/keep.txt");
    EXPECT_EQ(run(buildArchive({{"a/", true, ""}, {"a/b", false, "x"}, {"../x", false, "y"}})),
              QELError_FilePermissions);
    EXPECT_TRUE(fs::is_directory(out_));
    EXPECT_TRUE(fs::is_empty(out_));
}

TEST_F(Extraction, RollbackNeverRemovesADirectoryThatWasThereBefore)
{
    // Entry names that resolve to the output directory itself or to
    // directories that existed, empty or not, beside ones the run makes;
    // the last entry fails the run.
    const std::vector<ArchiveEntry> entries = {
        {"", true, ""},          {"/", true, ""},           {"empty/", true, ""},
        {"full", true, ""},      {"empty/new/", true, ""},  {"made/deeper/", true, ""},
        {"made/deeper/f", false, "x"}, {"implicit/dirs/g", false, "y"}, {"../escape", false, "z"},
    };
    for (bool outputEmpty : {true, false}) {
        SCOPED_TRACE(outputEmpty ? "empty output directory" : "output directory with a file");
        fs::remove_all(out_);
        fs::create_directories(out_ + "/empty");
        fs::create_directories(out_ + "/full");
        writeFileBytes(out_ + "/full/kept", "kept");
        fs::remove(out_ + "/empty/new");
        if (!outputEmpty)
            writeFileBytes(out_ + "/keep.txt", "already here");
        const auto before = view();
        EXPECT_EQ(run(buildArchive(entries)), QELError_FilePermissions);
        EXPECT_EQ(view(), before);
    }
}

TEST_F(Extraction, DataLengthNearTheTopActsLikeTheTrueLength)
{
    // A length whose rounding up to whole blocks would wrap to zero: the
    // helpers decrypting ahead must still hand over the blocks the in-line
    // reader would read, so the run ends as the one with the true length.
    const std::vector<ArchiveEntry> entries = {{"d/", true, ""}, {"d/f.txt", false, randomText(5000, 3)}};
    const std::string payload = zlibCompress(buildEntryStream(entries));
    ASSERT_EQ(run(buildArchive(payload)), QELError_NoErr);
    const auto expected = view();
    for (std::uint64_t length : {~std::uint64_t{0}, ~std::uint64_t{0} - 100, ~std::uint64_t{0} - 511}) {
        SCOPED_TRACE(length);
        fs::remove_all(out_ + "/d");
        ArchiveOptions options;
        options.dataLengthOverride = length;
        EXPECT_EQ(run(buildArchive(payload, options)), QELError_NoErr);
        EXPECT_EQ(view(), expected);
    }
}

TEST_F(Extraction, DirectoryThatCannotBeMadeFailsTheRun)
{
    // keep.txt is a file: no directory can be made beneath it.
    const auto before = view();
    failed_.clear();
    EXPECT_EQ(run(buildArchive({{"fresh/", true, ""}, {"keep.txt/sub/", true, ""}, {"later", false, "x"}})),
              QELError_FileOpFailed);
    EXPECT_EQ(view(), before);
    ASSERT_FALSE(failed_.empty());
    EXPECT_EQ(failed_[0], "keep.txt/sub/|" + std::to_string(QELError_FileOpFailed));
}

TEST(EntryNames, ClimbingComponents)
{
    for (const char *name : {"..", "../a", "a/..", "a/../b", "/..", "a//..//b"})
        EXPECT_TRUE(entryNameClimbs(name)) << name;
    for (const char *name : {"a", "..a", "a..", "a/...", ".", "./a", "/a/b", ""})
        EXPECT_FALSE(entryNameClimbs(name)) << name;
}

TEST(CreatedPaths, RollbackIsNewestFirst)
{
    const qeltest::TempDir tmp("zavrollback");
    const std::string root = tmp.path();
    CreatedPath *list = nullptr;
    ASSERT_EQ(recordCreatedPath(&list, (root + "/d").c_str()), QELError_NoErr);
    list->isDirectory = 1;
    fs::create_directory(root + "/d");
    writeFileBytes(root + "/d/f", "x");
    ASSERT_EQ(recordCreatedPath(&list, (root + "/d/f").c_str()), QELError_NoErr);
    EXPECT_EQ(makeDirectories((root + "/").c_str(), "d/e//g"), 1);
    EXPECT_TRUE(fs::is_directory(root + "/d/e/g"));
    EXPECT_EQ(makeDirectories(root.c_str(), "d/f/x"), -1);
    EXPECT_EQ(makeDirectories(root.c_str(), "../escape"), -1);
    fs::remove_all(root + "/d/e");
    // Listed first but there before: passed over even when empty.
    ASSERT_EQ(recordCreatedPath(&list, (root + "/d/kept").c_str()), QELError_NoErr);
    list->isDirectory = kPreexistingDirectory;
    fs::create_directory(root + "/d/kept");
    fs::create_directory(root + "/d/kept2");
    ASSERT_EQ(recordCreatedPath(&list, (root + "/d/kept2").c_str()), QELError_NoErr);
    list->isDirectory = 1;
    rollbackCreatedPaths(list);
    EXPECT_TRUE(fs::is_directory(root + "/d/kept"));
    EXPECT_FALSE(fs::exists(root + "/d/kept2"));
    EXPECT_FALSE(fs::exists(root + "/d/f"));
    EXPECT_EQ(recordCreatedPath(nullptr, "x"), QELError_BadParams);
}

}  // namespace
