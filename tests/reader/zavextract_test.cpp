// Extraction in process: entries, the directory retry, the end-of-data
// checks, hostile names and the rollback that follows every failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "zavArchive.h"
#include "zavArchiveWriter.h"
#include "zavExtract.h"
#include "zavReader.h"

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

class Extraction : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zavextract-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        out_ = root_ + "/out";
        outside_ = root_ + "/outside";
        fs::create_directory(out_);
        fs::create_directory(outside_);
        writeFileBytes(outside_ + "/secret", "untouched");
        writeFileBytes(out_ + "/keep.txt", "already here");
    }
    void TearDown() override { fs::remove_all(root_); }

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
    QELStatus run(const std::string &archive, std::string archivePath = "")
    {
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
        created->isDirectory = 1;
        QELStatus status =
            extractArchive(trailer, key, &created, archivePath.c_str(), directory.c_str(), callback, this);
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

TEST_F(Extraction, RollbackRemovesAnEmptiedOutputDirectory)
{
    fs::remove(out_ + "/keep.txt");
    EXPECT_EQ(run(buildArchive({{"a/", true, ""}, {"a/b", false, "x"}, {"../x", false, "y"}})),
              QELError_FilePermissions);
    EXPECT_FALSE(fs::exists(out_));
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
    char pattern[] = "/tmp/zavrollback-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string root = pattern;
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
    rollbackCreatedPaths(list);
    EXPECT_FALSE(fs::exists(root + "/d"));
    EXPECT_EQ(recordCreatedPath(nullptr, "x"), QELError_BadParams);
    fs::remove_all(root);
}

}  // namespace
