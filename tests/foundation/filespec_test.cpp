#include "qelFileSpecInternal.h"
#include "qelMemoryInternal.h"
#include "qelTestEnv.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class FileSpecTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(qelMemMgrNewHeap(&mgr_), 0);
        dir_ = tmp_.path();
    }
    void TearDown() override
    {
        for (QELFileSpec *s : specs_)
            EXPECT_EQ(qelFileSpecFree(s), 0);
        static_cast<void>(qelMemMgrFree(mgr_));
    }
    QELFileSpec *spec(const std::string &path)
    {
        QELFileSpec *s = nullptr;
        EXPECT_EQ(qelFileSpecNewFromPath(mgr_, path.c_str(), &s), 0);
        specs_.push_back(s);
        return s;
    }
    QELFileSpec *own(QELFileSpec *s)
    {
        if (s != nullptr)
            specs_.push_back(s);
        return s;
    }
    static std::string path(const QELFileSpec *s)
    {
        return std::string(static_cast<const char *>(s->data));
    }
    void touch(const std::string &p, const std::string &content = "x")
    {
        std::ofstream(p) << content;
    }

    QELMemoryMgr *mgr_ = nullptr;
    qeltest::TempDir tmp_{"qelfilespec_test"};
    std::string dir_;
    std::vector<QELFileSpec *> specs_;
};

TEST_F(FileSpecTest, ExportImportRoundTrip)
{
    QELFileSpec *s = spec("/tmp/x");
    std::uint8_t *bytes = nullptr;
    std::uint32_t length = 0;
    ASSERT_EQ(qelFileSpecExport(s, &bytes, &length), 0);
    const std::uint8_t expected[] = {0x0E, '/', 't', 'm', 'p', '/', 'x', 0};
    ASSERT_EQ(length, sizeof(expected));
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof(expected)), 0);

    QELFileSpec *back = nullptr;
    ASSERT_EQ(qelFileSpecImport(mgr_, bytes, length, &back), 0);
    own(back);
    EXPECT_TRUE(qelFileSpecEqual(s, back));
    EXPECT_EQ(back->dataSize, 7u);

    std::uint32_t bufferLength = 0;
    std::uint8_t *buffer = qelFileSpecExportBuffer(s, &bufferLength);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(bufferLength, length);
    EXPECT_EQ(std::memcmp(buffer, expected, sizeof(expected)), 0);
    static_cast<void>(qelMemFree(buffer));
    EXPECT_EQ(qelFileSpecGetMemoryMgr(back), mgr_);

    bytes[0] = 15;
    QELFileSpec *bad = reinterpret_cast<QELFileSpec *>(1);
    EXPECT_EQ(qelFileSpecImport(mgr_, bytes, length, &bad), QELError_BadParams);
    EXPECT_EQ(bad, nullptr);
    static_cast<void>(qelMemFree(bytes));
}

TEST_F(FileSpecTest, ImportRefusesMalformedInput)
{
    const std::uint8_t kindOnly[] = {0x0E};
    const std::uint8_t noNul[] = {0x0E, '/', 'a'};
    const std::uint8_t emptyPath[] = {0x0E, 0};
    // Cut at the first NUL the name would be "/etc/passwd", not what the
    // bytes spell.
    const std::uint8_t embeddedNul[] = {0x0E, '/', 'e', 't', 'c', '/', 'p', 'a', 's', 's', 'w', 'd', 0, '.', 'b', 'a', 'k', 0};
    const std::uint8_t leadingNul[] = {0x0E, 0, 'a', 0};
    QELFileSpec *out = nullptr;
    EXPECT_EQ(qelFileSpecImport(mgr_, embeddedNul, sizeof(embeddedNul), &out), QELError_BadParams);
    EXPECT_EQ(qelFileSpecImport(mgr_, leadingNul, sizeof(leadingNul), &out), QELError_BadParams);
    EXPECT_EQ(qelFileSpecImport(mgr_, kindOnly, 1, &out), QELError_BadParams);
    EXPECT_EQ(qelFileSpecImport(mgr_, kindOnly, 0, &out), QELError_BadParams);
    EXPECT_EQ(qelFileSpecImport(mgr_, noNul, sizeof(noNul), &out), QELError_BadParams);
    EXPECT_EQ(qelFileSpecImport(mgr_, nullptr, 2, &out), QELError_BadParams);
    EXPECT_EQ(qelFileSpecImport(nullptr, emptyPath, 2, &out), QELError_BadParams);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(qelFileSpecImport(mgr_, emptyPath, 2, &out), 0);
    own(out);
    EXPECT_EQ(path(out), "");
}

TEST_F(FileSpecTest, NamesParentsAndChildren)
{
    struct NameCase {
        const char *path;
        const char *name;
    };
    for (const NameCase &c : {NameCase{"/a/b/c.txt", "c.txt"}, NameCase{"plain", "plain"},
                              NameCase{"/a/b/", ""}}) {
        char buf[256];
        EXPECT_EQ(qelFileSpecGetName(spec(c.path), sizeof(buf), buf), 0) << c.path;
        EXPECT_STREQ(buf, c.name) << c.path;
    }
    char small[5];
    EXPECT_EQ(qelFileSpecGetName(spec("/a/b/c.txt"), sizeof(small), small),
              QELError_BufferTooSmall);

    char buf[256];
    std::string longName(255, 'n');
    EXPECT_EQ(qelFileSpecGetName(spec("/d/" + longName), sizeof(buf), buf), 0);
    EXPECT_EQ(qelFileSpecGetName(spec("/d/" + longName + "n"), sizeof(buf), buf),
              QELError_BadParams);

    QELFileSpec *parent = nullptr;
    ASSERT_EQ(qelFileSpecGetParent(spec("/a/b"), &parent), 0);
    EXPECT_EQ(path(own(parent)), "/a");
    EXPECT_EQ(qelFileSpecGetParent(spec("/a"), &parent), QELError_FileNotFound);
    EXPECT_EQ(qelFileSpecGetParent(spec("a"), &parent), QELError_FileNotFound);
    EXPECT_EQ(parent, nullptr);

    for (const char *base : {"/a/b", "/a/b/"}) {
        QELFileSpec *child = nullptr;
        ASSERT_EQ(qelFileSpecChild(spec(base), "c", &child), 0);
        EXPECT_EQ(path(own(child)), "/a/b/c");
    }
    EXPECT_EQ(qelFileSpecChild(spec("/a"), nullptr, &parent), QELError_BadParams);

    QELFileSpec *s = spec("/a/b.txt");
    ASSERT_EQ(qelFileSpecSetName(s, "c.dat"), 0);
    EXPECT_EQ(path(s), "/a/c.dat");
    EXPECT_EQ(s->dataSize, 9u);

    EXPECT_STREQ(qelPathNamePart("/x/y"), "y");
    EXPECT_STREQ(qelPathNamePart("y"), "y");
}

TEST_F(FileSpecTest, InvalidHandlesAreRefused)
{
    QELFileSpec fake{};
    std::uint8_t flag = 7;
    QELFileSpec *out = nullptr;
    EXPECT_FALSE(qelFileSpecIsValid(nullptr));
    EXPECT_FALSE(qelFileSpecIsValid(&fake));
    EXPECT_EQ(qelFileSpecFree(&fake), QELError_BadParams);
    EXPECT_EQ(qelFileSpecExists(&fake, &flag), QELError_BadParams);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(qelFileSpecCopy(&fake, &out), QELError_BadParams);
    EXPECT_EQ(qelFileSpecNew(mgr_, 14, 0, nullptr), QELError_BadParams);
    EXPECT_TRUE(qelFileSpecEqual(nullptr, nullptr));
    EXPECT_FALSE(qelFileSpecEqual(spec("/a"), nullptr));
    EXPECT_EQ(qelFileSpecRename(spec("/a"), nullptr), QELError_BadParams);
    EXPECT_EQ(qelFileSpecTruncate(spec("/a"), -1), QELError_BadParams);
}

TEST_F(FileSpecTest, EqualComparesTheFileNotTheStatusRecord)
{
    std::string file = dir_ + "/f";
    touch(file);
    fs::create_symlink(file, dir_ + "/link");
    EXPECT_TRUE(qelFileSpecEqual(spec(file), spec(dir_ + "/link")));
    EXPECT_TRUE(qelFileSpecEqual(spec(file), spec(dir_ + "/./f")));
    touch(dir_ + "/g");
    EXPECT_FALSE(qelFileSpecEqual(spec(file), spec(dir_ + "/g")));
    EXPECT_FALSE(qelFileSpecEqual(spec(file), spec(dir_ + "/missing")));
    EXPECT_FALSE(qelFileSpecEqual(spec(dir_ + "/missing"), spec(dir_ + "/./missing")));
}

TEST_F(FileSpecTest, ExistsCreateDeleteRename)
{
    QELFileSpec *s = spec(dir_ + "/new.txt");
    std::uint8_t exists = 9;
    ASSERT_EQ(qelFileSpecExists(s, &exists), 0);
    EXPECT_EQ(exists, 0);
    ASSERT_EQ(qelFileSpecCreate(s), 0);
    EXPECT_EQ(fs::status(path(s)).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(qelFileSpecCreate(s), QELError_FileOpFailed);
    ASSERT_EQ(qelFileSpecExists(s, &exists), 0);
    EXPECT_EQ(exists, 1);

    ASSERT_EQ(qelFileSpecRename(s, "moved.txt"), 0);
    EXPECT_EQ(path(s), dir_ + "/moved.txt");
    EXPECT_TRUE(fs::exists(dir_ + "/moved.txt"));
    EXPECT_FALSE(fs::exists(dir_ + "/new.txt"));

    // A failing rename leaves the spec as it was.
    EXPECT_EQ(qelFileSpecRename(s, "no/such/dir"), QELError_FileOpFailed);
    EXPECT_EQ(path(s), dir_ + "/moved.txt");

    QELFileSpec *target = spec(dir_ + "/other/renamed.txt");
    EXPECT_EQ(qelFileSpecRenameTo(s, target), 0);
    EXPECT_EQ(path(s), dir_ + "/moved.txt");
    EXPECT_TRUE(fs::exists(dir_ + "/renamed.txt"));

    QELFileSpec *renamed = spec(dir_ + "/renamed.txt");
    EXPECT_EQ(qelFileSpecDelete(renamed), 0);
    EXPECT_EQ(qelFileSpecDelete(renamed), QELError_FileOpFailed);
}

// Whatever the memory manager refuses, a rename leaves the spec naming the
// file: a failed rename changes neither, a successful one moves both.
TEST_F(FileSpecTest, RenameKeepsSpecAndFileTogetherWhenMemoryFails)
{
    qeltest::TestHeap heap;
    QELMemoryMgr *mgr = heap.make();
    ASSERT_NE(mgr, nullptr);
    int round = 0;
    for (long allowed : {0L, 1L, 2L, 3L, -1L}) {
        for (bool moveFails : {true, false}) {
            SCOPED_TRACE("allowed " + std::to_string(allowed) + (moveFails ? ", move fails" : ""));
            const std::string from = dir_ + "/r" + std::to_string(++round);
            touch(from);
            QELFileSpec *s = nullptr;
            ASSERT_EQ(qelFileSpecNewFromPath(mgr, from.c_str(), &s), 0);
            // A longer name: the spec's path has to grow.
            const std::string name = moveFails ? "no/such/directory/at/all" : "renamed-" + std::to_string(round);
            heap.allowed = allowed;
            const QELStatus status = qelFileSpecRename(s, name.c_str());
            heap.allowed = -1;
            if (status == 0) {
                EXPECT_FALSE(moveFails);
                EXPECT_EQ(path(s), dir_ + "/" + name);
                EXPECT_FALSE(fs::exists(from));
            } else {
                EXPECT_EQ(status, moveFails && allowed != 0 ? QELError_FileOpFailed : QELError_OutOfMemory);
                EXPECT_EQ(path(s), from);
            }
            EXPECT_TRUE(fs::exists(path(s)));
            EXPECT_EQ(qelFileSpecFree(s), 0);
        }
    }
    static_cast<void>(qelMemMgrFree(mgr));
    EXPECT_EQ(heap.live, 0);
}

TEST_F(FileSpecTest, InfoSizeAndTruncate)
{
    std::string file = dir_ + "/data";
    touch(file, "0123456789");
    QELFileInfo info{};
    ASSERT_EQ(qelFileSpecGetInfo(spec(file), &info), 0);
    EXPECT_EQ(info.typeFlags, QELFileInfo_Regular);
    EXPECT_EQ(info.size, 10);
    ASSERT_EQ(qelFileSpecGetInfo(spec(dir_), &info), 0);
    EXPECT_EQ(info.typeFlags, QELFileInfo_Directory);
    EXPECT_EQ(info.size, 0);
    EXPECT_EQ(qelFileSpecGetInfo(spec(dir_ + "/none"), &info), QELError_FileOpFailed);

    ASSERT_EQ(qelFileSpecTruncate(spec(file), 4), 0);
    EXPECT_EQ(fs::file_size(file), 4u);
    EXPECT_EQ(qelFileSpecTruncate(spec(dir_ + "/none"), 0), QELError_FileOpFailed);
}

TEST_F(FileSpecTest, MakeUniqueAndAppendToName)
{
    QELFileSpec *out = nullptr;
    ASSERT_EQ(qelFileSpecMakeUnique(spec(dir_ + "/x.txt"), &out), 0);
    EXPECT_EQ(path(own(out)), dir_ + "/x.txt");

    touch(dir_ + "/x.txt");
    ASSERT_EQ(qelFileSpecMakeUnique(spec(dir_ + "/x.txt"), &out), 0);
    EXPECT_EQ(path(own(out)), dir_ + "/x1.txt");
    touch(dir_ + "/x1.txt");
    ASSERT_EQ(qelFileSpecMakeUnique(spec(dir_ + "/x.txt"), &out), 0);
    EXPECT_EQ(path(own(out)), dir_ + "/x2.txt");

    QELFileSpec *s = spec(dir_ + "/ring.pkr");
    ASSERT_EQ(qelFileSpecAppendToName(s, ".bak"), 0);
    EXPECT_EQ(path(s), dir_ + "/ring.pkr.bak");

    // The name is cut so that name and suffix fit the maximum length.
    QELFileSpec *longName = spec("/d/" + std::string(252, 'a'));
    ASSERT_EQ(qelFileSpecAppendToName(longName, ".bak"), 0);
    EXPECT_EQ(path(longName), "/d/" + std::string(250, 'a') + ".bak");
    EXPECT_EQ(qelFileSpecAppendToName(longName, std::string(255, 's').c_str()), QELError_BadParams);
}

// Where a directory cannot be searched, every name in it "exists"; the search
// for a free variant must still end.
int makeUniqueInUnsearchableDir()
{
    char tmpl[] = "/tmp/qelfilespec_nobody_XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        return 10;
    std::string locked = std::string(tmpl) + "/locked";
    if (::mkdir(locked.c_str(), 0600) != 0)
        return 11;
    QELMemoryMgr *mgr = nullptr;
    static_cast<void>(qelMemMgrNewHeap(&mgr));
    QELFileSpec *s = nullptr;
    QELFileSpec *out = nullptr;
    static_cast<void>(qelFileSpecNewFromPath(mgr, (locked + "/f.txt").c_str(), &s));
    std::uint8_t exists = 0;
    int rc = 0;
    if (qelFileSpecExists(s, &exists) != 0 || exists != 1)
        rc = 12;
    else if (qelFileSpecMakeUnique(s, &out) != QELError_ItemAlreadyExists || out != nullptr)
        rc = 13;
    static_cast<void>(qelFileSpecFree(s));
    static_cast<void>(qelMemMgrFree(mgr));
    ::rmdir(locked.c_str());
    ::rmdir(tmpl);
    return rc;
}

TEST_F(FileSpecTest, MakeUniqueGivesUpWhereEveryNameExists)
{
    EXPECT_EQ(qeltest::runInChild(makeUniqueInUnsearchableDir, true), 0);
}

TEST_F(FileSpecTest, DirectoryIteration)
{
    touch(dir_ + "/a");
    touch(dir_ + "/b");
    QELDirIter *iter = nullptr;
    ASSERT_EQ(qelDirIterNew(spec(dir_ + "/"), &iter), 0);
    std::set<std::string> seen;
    QELFileSpec *entry = nullptr;
    QELStatus status;
    while ((status = qelDirIterNext(iter, &entry)) == 0)
        seen.insert(path(own(entry)));
    EXPECT_EQ(status, QELError_EndOfIteration);
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(seen, (std::set<std::string>{dir_ + "/.", dir_ + "/..", dir_ + "/a", dir_ + "/b"}));
    EXPECT_EQ(qelDirIterFree(iter), 0);

    EXPECT_EQ(qelDirIterNew(spec(dir_ + "/none"), &iter), QELError_FileOpFailed);
    EXPECT_EQ(iter, nullptr);
    EXPECT_EQ(qelDirIterFree(nullptr), QELError_BadParams);
}

} // namespace
