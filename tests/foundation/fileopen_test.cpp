#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelFileOpenInternal.h"
#include "qelFileSpecInternal.h"
#include "qelIOInternal.h"
#include "qelMemoryInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string g_dir; // per-test temporary directory, also used by forked children

class FileOpenTest : public qeltest::SDKHomeTest {
protected:
    FileOpenTest() : SDKHomeTest("qelfileopen_test") {}
    void SetUp() override
    {
        SDKHomeTest::SetUp();
        g_dir = dir();
        mgr_ = qelContextGetMemoryMgr(context_);
        oldMask_ = ::umask(022);
    }
    void TearDown() override
    {
        ::umask(oldMask_);
        for (QELFileSpec *s : specs_)
            static_cast<void>(qelFileSpecFree(s));
        SDKHomeTest::TearDown();
    }
    QELFileSpec *spec(const std::string &path)
    {
        QELFileSpec *s = nullptr;
        EXPECT_EQ(qelFileSpecNewFromPath(mgr_, path.c_str(), &s), 0);
        specs_.push_back(s);
        return s;
    }
    static std::string read(const std::string &path) { return qeltest::readFile(path); }
    static fs::perms perms(const std::string &path)
    {
        return fs::status(path).permissions() & fs::perms::all;
    }

    QELMemoryMgr *mgr_ = nullptr;
    std::vector<QELFileSpec *> specs_;
    mode_t oldMask_ = 0;
};

// Each valid flag combination against an existing 5-byte file and a missing one.
TEST_F(FileOpenTest, OpenFlagsTable)
{
    struct Case {
        std::uint16_t flags;
        int accessMode;
        bool append;
        bool truncates;
        bool creates;
    };
    const Case cases[] = {
        {1, O_RDONLY, false, false, false},      {1 | 0x20, O_RDONLY, false, false, false},
        {3, O_RDWR, false, false, false},        {22, O_WRONLY, true, false, true},
        {23, O_RDWR, true, false, true},         {26, O_WRONLY, false, true, true},
        {27, O_RDWR, false, true, true},         {26 | 0x1C0, O_WRONLY, false, true, true},
    };
    for (const Case &c : cases) {
        std::string existing = g_dir + "/existing";
        std::ofstream(existing) << "01234";
        std::FILE *f = nullptr;
        ASSERT_EQ(qelFileSpecOpenFile(spec(existing), c.flags, 0, &f), 0) << c.flags;
        int fl = ::fcntl(::fileno(f), F_GETFL);
        EXPECT_EQ(fl & O_ACCMODE, c.accessMode) << c.flags;
        EXPECT_EQ((fl & O_APPEND) != 0, c.append) << c.flags;
        EXPECT_EQ(qelFileClose(f), 0);
        EXPECT_EQ(fs::file_size(existing), c.truncates ? 0u : 5u) << c.flags;

        std::string missing = g_dir + "/missing";
        fs::remove(missing);
        QELStatus status = qelFileSpecOpenFile(spec(missing), c.flags, 0, &f);
        EXPECT_EQ(status, c.creates ? 0 : QELError_FileNotFound) << c.flags;
        EXPECT_EQ(fs::exists(missing), c.creates) << c.flags;
        if (f != nullptr)
            static_cast<void>(qelFileClose(f));
    }
    for (std::uint16_t bad : {0, 2, 4, 16, 18, 24, 1 | 0x800, 26 | 0x8000}) {
        std::FILE *f = reinterpret_cast<std::FILE *>(1);
        EXPECT_EQ(qelFileSpecOpenFile(spec(g_dir + "/existing"), bad, 0, &f), QELError_BadParams)
            << bad;
        EXPECT_EQ(f, nullptr);
    }
    std::FILE *f = nullptr;
    EXPECT_EQ(qelFileSpecOpenFile(spec(g_dir + "/x"), 26, 13, &f), QELError_BadParams);
    EXPECT_EQ(qelFileSpecOpenFile(spec(g_dir + "/x"), 26, -1, &f), QELError_BadParams);
    EXPECT_EQ(qelFileSpecOpenFile(nullptr, 1, 0, &f), QELError_BadParams);
}

// Created files keep the process umask: class 0 is never world-writable
// under the usual umask, and classes 1-12 are owner-only whatever it is.
TEST_F(FileOpenTest, PermissionClasses)
{
    struct Case {
        mode_t umask;
        int fileClass;
        fs::perms expected;
    };
    using P = fs::perms;
    const Case cases[] = {
        {022, 0, P::owner_read | P::owner_write | P::group_read | P::others_read},
        {022, 5, P::owner_read | P::owner_write},
        {0, 5, P::owner_read | P::owner_write},
        {0, 2, P::owner_read | P::owner_write},
        {077, 0, P::owner_read | P::owner_write},
    };
    int n = 0;
    for (const Case &c : cases) {
        ::umask(c.umask);
        std::string path = g_dir + "/perm" + std::to_string(n++);
        std::FILE *f = nullptr;
        ASSERT_EQ(qelFileSpecOpenFile(spec(path), 26, c.fileClass, &f), 0);
        static_cast<void>(qelFileClose(f));
        EXPECT_EQ(perms(path), c.expected) << path;
        std::string excl = path + ".x";
        ASSERT_EQ(qelFileSpecCreateExclusive(spec(excl), c.fileClass), 0);
        EXPECT_EQ(perms(excl), c.expected) << excl;
        EXPECT_EQ(qelFileSpecCreateExclusive(spec(excl), c.fileClass), QELError_CantOpenFile);
    }
    ::umask(022);
}

int openLockedInChild()
{
    QELMemoryMgr *mgr = nullptr;
    static_cast<void>(qelMemMgrNewHeap(&mgr));
    QELFileSpec *s = nullptr;
    static_cast<void>(qelFileSpecNewFromPath(mgr, (g_dir + "/ring").c_str(), &s));
    std::FILE *f = nullptr;
    QELStatus status = qelFileSpecOpenFile(s, 1 | 0x400, 2, &f);
    if (f != nullptr)
        static_cast<void>(qelFileClose(f));
    static_cast<void>(qelFileSpecFree(s));
    static_cast<void>(qelMemMgrFree(mgr));
    return status == 0 ? 0 : status == QELError_FileLocked ? 1 : 2;
}

TEST_F(FileOpenTest, RecordLocksAcrossProcesses)
{
    std::FILE *held = nullptr;
    // 0x41A: "wb" with a write lock.
    ASSERT_EQ(qelFileSpecOpenFile(spec(g_dir + "/ring"), 0x41A, 2, &held), 0);
    EXPECT_EQ(qeltest::runInChild(openLockedInChild, false), 1);
    EXPECT_EQ(qelFileClose(held), 0);
    EXPECT_EQ(qeltest::runInChild(openLockedInChild, false), 0);

    // Read locks are shared.
    ASSERT_EQ(qelFileSpecOpenFile(spec(g_dir + "/ring"), 0x401, 2, &held), 0);
    EXPECT_EQ(qeltest::runInChild(openLockedInChild, false), 0);
    EXPECT_EQ(qelFileClose(held), 0);
    EXPECT_EQ(qelFileLock(nullptr, 1), QELError_BadParams);

    // The I/O-object opener locks through bit 1 of its flags.
    QELIO *io = nullptr;
    ASSERT_EQ(qelFileSpecOpenIO(spec(g_dir + "/ring"), 3, &io), 0);
    EXPECT_EQ(qeltest::runInChild(openLockedInChild, false), 1);
    EXPECT_EQ(qelIOFree(io), 0);
}

int deniedAsNobody()
{
    char tmpl[] = "/tmp/qelfileopen_nobody_XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        return 10;
    std::string dir = tmpl;
    std::string file = dir + "/secret";
    std::ofstream(file) << "s";
    ::chmod(file.c_str(), 0);
    std::string ro = dir + "/ro";
    ::mkdir(ro.c_str(), 0500);
    QELMemoryMgr *mgr = nullptr;
    static_cast<void>(qelMemMgrNewHeap(&mgr));
    QELFileSpec *s = nullptr;
    QELFileSpec *inRo = nullptr;
    static_cast<void>(qelFileSpecNewFromPath(mgr, file.c_str(), &s));
    static_cast<void>(qelFileSpecNewFromPath(mgr, (ro + "/new").c_str(), &inRo));
    int rc = 0;
    std::FILE *f = nullptr;
    QELIO *io = nullptr;
    if (qelFileSpecOpenFile(s, 1, 0, &f) != QELError_FilePermissions)
        rc = 11;
    else if (qelFileSpecFOpen(s, "rb", &f) != QELError_FilePermissions)
        rc = 12;
    else if (qelFileSpecOpenIO(s, 0, &io) != QELError_FilePermissions)
        rc = 13;
    else if (qelFileSpecCreateExclusive(inRo, 0) != QELError_CantOpenFile)
        rc = 14;
    else if (qelFileSpecOpenFile(inRo, 26, 0, &f) != QELError_FilePermissions)
        rc = 15;
    static_cast<void>(qelFileSpecFree(s));
    static_cast<void>(qelFileSpecFree(inRo));
    static_cast<void>(qelMemMgrFree(mgr));
    fs::remove_all(dir);
    return rc;
}

TEST_F(FileOpenTest, PermissionDeniedWhenUnprivileged)
{
    EXPECT_EQ(qeltest::runInChild(deniedAsNobody, true), 0);
}

TEST_F(FileOpenTest, FOpenAndOpenIO)
{
    std::string path = g_dir + "/data";
    std::ofstream(path) << "abcdef";
    std::FILE *f = nullptr;
    EXPECT_EQ(qelFileSpecFOpen(spec(g_dir + "/none"), "rb", &f), QELError_FileNotFound);
    EXPECT_EQ(qelFileSpecFOpen(spec(path), nullptr, &f), QELError_BadParams);
    EXPECT_EQ(qelFileSpecFOpen(spec(g_dir), "wb", &f), QELError_FileOpFailed);

    QELIO *io = nullptr;
    EXPECT_EQ(qelFileSpecOpenIO(spec(path), 4, &io), QELError_BadParams);
    EXPECT_EQ(qelFileSpecOpenIO(spec(g_dir + "/none"), 1, &io), QELError_FileNotFound);
    ASSERT_EQ(qelFileSpecOpenIO(spec(path), 0, &io), 0);
    EXPECT_EQ(qelIOWrite(io, 1, "x"), QELError_WriteFailed);
    EXPECT_EQ(qelIOFree(io), 0);
    ASSERT_EQ(qelFileSpecOpenIO(spec(path), 1, &io), 0);
    ASSERT_EQ(qelIOSetPos(io, 2), 0);
    EXPECT_EQ(qelIOWrite(io, 2, "XY"), 0);
    EXPECT_EQ(qelIOFree(io), 0);
    EXPECT_EQ(read(path), "abXYef");
}

TEST_F(FileOpenTest, FileObjectsFromSpecs)
{
    std::string path = g_dir + "/obj";
    std::ofstream(path) << "keep me";
    QELStatus status = 1;
    // Read-write objects do not exist; the file is not touched.
    for (std::uint16_t flags : {3, 23, 27}) {
        EXPECT_EQ(qelFileSpecOpenFileObj(context_, spec(path), flags, 0, &status), nullptr);
        EXPECT_EQ(status, QELError_BadParams) << flags;
    }
    EXPECT_EQ(read(path), "keep me");

    QELFileObject *r = qelFileSpecOpenFileObj(context_, spec(path), 1, 0, &status);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(status, 0);
    char buf[8] = {};
    EXPECT_EQ(r->read(buf, 7, r), 7u);
    EXPECT_EQ(r->close(r), 0);

    QELFileObject *w = qelFileSpecOpenFileObj(context_, spec(path), 26, 6, &status);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->write("new", 3, w), 3u);
    EXPECT_EQ(w->close(w), 0);
    EXPECT_EQ(read(path), "new");

    EXPECT_EQ(qelFileSpecOpenFileObj(context_, spec(g_dir + "/none"), 1, 0, &status), nullptr);
    EXPECT_EQ(status, QELError_FileNotFound);

    std::int32_t word = 5;
    QELFileReadModule *m = qelFileSpecOpenReadModule(context_, spec(path), 1, &status, &word);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(word, 0);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(m->name, "File Read Module");
    EXPECT_EQ(m->total, 3u);
    EXPECT_EQ(m->close, 1);
    EXPECT_EQ(qelFileReadDestroy(m), 0);
    EXPECT_EQ(qelFileSpecOpenReadModule(context_, spec(g_dir + "/none"), 1, &status, &word), nullptr);
    EXPECT_EQ(status, QELError_FileNotFound);
}

TEST_F(FileOpenTest, GetSize)
{
    std::string path = g_dir + "/sized";
    std::ofstream(path) << "123456789";
    std::int64_t size = -1;
    EXPECT_EQ(qelFileSpecGetSize(spec(path), &size), 0);
    EXPECT_EQ(size, 9);
    EXPECT_EQ(qelFileSpecGetSize(spec(g_dir), &size), 0);
    EXPECT_EQ(size, 0);
    size = -1;
    EXPECT_EQ(qelFileSpecGetSize(spec(g_dir + "/none"), &size), QELError_CantOpenFile);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(qelFileSpecGetSize(spec(path), nullptr), QELError_BadParams);
}

TEST_F(FileOpenTest, TemporaryFiles)
{
    struct Case {
        bool set;
        std::string tmp;
        std::string expectedDir;
    };
    fs::create_directory(g_dir + "/sub");
    const Case cases[] = {
        {true, g_dir, g_dir + "/"},
        {true, g_dir + "/sub/", g_dir + "/sub/"},
        {false, "", "/tmp/"},
        {true, "", "/tmp/"},
    };
    std::vector<std::string> made;
    for (const Case &c : cases) {
        if (c.set)
            ::setenv("TMP", c.tmp.c_str(), 1);
        else
            ::unsetenv("TMP");
        QELFileSpec *s = nullptr;
        QELStatus status = 1;
        std::FILE *f = qelFileSpecCreateTemp(context_, &s, &status);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(status, 0);
        ASSERT_NE(s, nullptr);
        specs_.push_back(s);
        std::string path = static_cast<const char *>(s->data);
        made.push_back(path);
        EXPECT_EQ(path.substr(0, c.expectedDir.size() + 4), c.expectedDir + "ptmp");
        EXPECT_EQ(path.size(), c.expectedDir.size() + 10);
        EXPECT_EQ(perms(path), fs::perms::owner_read | fs::perms::owner_write);
        // Readable and writable.
        EXPECT_GE(std::fputs("temp", f), 0);
        std::rewind(f);
        char buf[5] = {};
        EXPECT_EQ(std::fread(buf, 1, 4, f), 4u);
        EXPECT_STREQ(buf, "temp");
        std::fclose(f);

        QELFileSpec *named = nullptr;
        ASSERT_EQ(qelFileSpecNewTempName(mgr_, nullptr, &named), 0);
        specs_.push_back(named);
        std::string namedPath = static_cast<const char *>(named->data);
        made.push_back(namedPath);
        EXPECT_EQ(namedPath.substr(0, c.expectedDir.size() + 4), c.expectedDir + "ptmp");
        EXPECT_NE(namedPath, path);
        EXPECT_EQ(perms(namedPath), fs::perms::owner_read | fs::perms::owner_write);
    }
    for (const std::string &p : made)
        fs::remove(p);

    ::setenv("TMP", (g_dir + "/no/such/dir").c_str(), 1);
    QELFileSpec *s = reinterpret_cast<QELFileSpec *>(1);
    QELStatus status = 0;
    EXPECT_EQ(qelFileSpecCreateTemp(context_, &s, &status), nullptr);
    EXPECT_EQ(status, QELError_CantOpenFile);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(qelFileSpecNewTempName(mgr_, nullptr, &s), QELError_FileOpFailed);
    QELFileSpec fake{};
    EXPECT_EQ(qelFileSpecNewTempName(mgr_, &fake, &s), QELError_BadParams);
    ::setenv("TMP", g_dir.c_str(), 1);
}

} // namespace
