// Key databases over ring files: opening, reuse, keep-alive, commit, the
// GnuPG round trip, and crash safety of commit.
#include "keys_fixture.h"

#include "qelFileSpecInternal.h"
#include "qelKeyIOInternal.h"
#include "qelMemoryInternal.h"
#include "qelTestHooks.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace keystest;
namespace fs = std::filesystem;

namespace {

class KeyDBFileTest : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        char tmpl[] = "/tmp/qelkeydbXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::copy_file(dataPath("public.gpg"), dir + "/pubring.pkr");
        fs::copy_file(dataPath("secret.gpg"), dir + "/secring.skr");
        ASSERT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(ctx), (dir + "/pubring.pkr").c_str(), &pubSpec), 0);
        ASSERT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(ctx), (dir + "/secring.skr").c_str(), &secSpec), 0);
    }
    void TearDown() override
    {
        // The specs live in the context's memory manager: free them first.
        static_cast<void>(qelKeyDBCloseUnreferencedLocal(ctx));
        static_cast<void>(qelFileSpecFree(pubSpec));
        static_cast<void>(qelFileSpecFree(secSpec));
        ContextTest::TearDown();
        ::chmod(dir.c_str(), 0700);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    QELKeyDB *open(std::uint32_t flags, QELStatus *status = nullptr)
    {
        QELStatus s = 0;
        QELKeyDB *db = qelKeyDBOpenRingFiles(ctx, pubSpec, secSpec, flags, &s);
        if (status) *status = s;
        return db;
    }
    std::vector<std::uint8_t> pub() { return readFile(dir + "/pubring.pkr"); }
    std::vector<std::uint8_t> sec() { return readFile(dir + "/secring.skr"); }
    std::size_t filesInDir()
    {
        return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
    }

    std::string dir;
    QELFileSpec *pubSpec = nullptr;
    QELFileSpec *secSpec = nullptr;
};

TEST_F(KeyDBFileTest, OpeningTheSameRingsTwiceSharesOneDatabase)
{
    QELKeyDB *a = open(QELKeyDBOpen_Writable);
    ASSERT_NE(a, nullptr);
    QELKeyDB *b = open(0);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->refCount, 2);
    EXPECT_EQ(liveKeys(a).size(), 4u);
    for (QELKeyObject *k : liveKeys(a))
        EXPECT_TRUE(qelKeyObjIsSecret(k));
    EXPECT_EQ(qelKeyDBRelease(a), 0);
    EXPECT_EQ(qelKeyDBRelease(b), 0);
    EXPECT_EQ(qelContextGetKeyDBList(ctx), nullptr);
}

TEST_F(KeyDBFileTest, MissingRingsFailOrAreCreated)
{
    QELFileSpec *missing = nullptr;
    ASSERT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(ctx), (dir + "/new.pkr").c_str(), &missing), 0);
    QELStatus s = 0;
    EXPECT_EQ(qelKeyDBOpenRingFiles(ctx, missing, nullptr, 0, &s), nullptr);
    EXPECT_EQ(s, QELError_FileNotFound);
    QELKeyDB *db = qelKeyDBOpenRingFiles(ctx, missing, nullptr, QELKeyDBOpen_Create | QELKeyDBOpen_Writable, &s);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(s, 0);
    EXPECT_TRUE(fs::exists(dir + "/new.pkr"));
    EXPECT_EQ(qelKeyDBRelease(db), 0);
    static_cast<void>(qelFileSpecFree(missing));
}

TEST_F(KeyDBFileTest, KeepAliveKeepsAReleasedDatabaseUntilClosed)
{
    QELKeyDB *db = open(0);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(qelKeyDBSetKeepAlive(db, 30), 0);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
    EXPECT_EQ(qelContextGetKeyDBList(ctx), db); // kept, count 0
    qelKeyDBCloseExpired(ctx);
    EXPECT_EQ(qelContextGetKeyDBList(ctx), db); // deadline ahead
    QELKeyDB *again = open(0);
    EXPECT_EQ(again, db);
    EXPECT_EQ(db->refCount, 1);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
    EXPECT_EQ(qelKeyDBCloseUnreferenced(ctx), 0);
    EXPECT_EQ(qelContextGetKeyDBList(ctx), nullptr);

    db = open(0);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(qelKeyDBSetKeepAliveLocal(db, 0), 0); // deadline is now
    EXPECT_EQ(qelKeyDBRelease(db), 0);
    qelKeyDBCloseExpired(ctx);
    EXPECT_EQ(qelContextGetKeyDBList(ctx), nullptr);
}

TEST_F(KeyDBFileTest, CommitRewritesOnlyChangedDatabasesAndReadOnlyOnesRefuse)
{
    auto pubBefore = pub(), secBefore = sec();
    QELKeyDB *db = open(QELKeyDBOpen_Writable);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(qelKeyDBCommit(db), 0);
    EXPECT_EQ(pub(), pubBefore);
    EXPECT_EQ(sec(), secBefore);
    EXPECT_EQ(qelKeyDBRelease(db), 0);

    QELKeyDB *mem = nullptr;
    ASSERT_EQ(qelKeyDBNewInMemory(ctx, &mem), 0);
    qelKeyDBMarkChanged(mem, false);
    EXPECT_EQ(qelKeyDBCommit(mem), QELError_KeyDBNotWritable);
    EXPECT_EQ(qelKeyDBRelease(mem), 0);
}

TEST_F(KeyDBFileTest, CommittedRingsReadBackTheSameAndCommitIsStable)
{
    QELKeyDB *db = open(QELKeyDBOpen_Writable);
    ASSERT_NE(db, nullptr);
    qelKeyDBMarkChanged(db, false);
    ASSERT_EQ(qelKeyDBCommit(db), 0);
    auto pub1 = pub(), sec1 = sec();
    qelKeyDBMarkChanged(db, false);
    ASSERT_EQ(qelKeyDBCommit(db), 0);
    EXPECT_EQ(pub(), pub1);
    EXPECT_EQ(sec(), sec1);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
    // The secret ring holds secret keys, the public ring their public form.
    QELKeyDB *pubOnly = openBuffer(pub1);
    ASSERT_NE(pubOnly, nullptr);
    EXPECT_EQ(liveKeys(pubOnly).size(), 4u);
    for (QELKeyObject *k : liveKeys(pubOnly))
        EXPECT_FALSE(qelKeyObjIsSecret(k));
    EXPECT_EQ(qelKeyDBRelease(pubOnly), 0);
    // Reopened, a committed database needs no further write.
    db = open(QELKeyDBOpen_Writable);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(liveKeys(db).size(), 4u);
    qelKeyDBMarkChanged(db, false);
    ASSERT_EQ(qelKeyDBCommit(db), 0);
    EXPECT_EQ(pub(), pub1);
    EXPECT_EQ(sec(), sec1);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

std::string run(const std::string &command)
{
    std::string out;
    FILE *p = ::popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

TEST_F(KeyDBFileTest, RemovingAKeyKeepsTheRestValidForGnuPG)
{
    if (std::system("gpg --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "gpg is not installed";
    QELKeyDB *db = open(QELKeyDBOpen_Writable);
    ASSERT_NE(db, nullptr);
    std::vector<QELKeyObject *> keys = liveKeys(db);
    ASSERT_EQ(keys.size(), 4u);
    std::string removed = keyIDHex(keys[0]);
    ASSERT_EQ(qelKeyObjMarkDeleted(keys[0]), 0);
    qelKeyDBMarkChanged(db, true);
    ASSERT_EQ(qelKeyDBCommit(db), 0);
    EXPECT_EQ(qelKeyDBRelease(db), 0);

    std::string home = dir + "/gnupg";
    fs::create_directory(home);
    ::chmod(home.c_str(), 0700);
    std::string g = "gpg --homedir " + home + " --batch --pinentry-mode loopback ";
    run(g + "--import " + dir + "/pubring.pkr 2>&1");
    std::string listing = run(g + "--with-colons --check-sigs 2>/dev/null");
    // The agent removes its sockets when it goes; stop it before the
    // directory is removed under it.
    run("gpgconf --homedir " + home + " --kill all >/dev/null 2>&1");
    std::size_t good = 0, bad = 0, keysListed = 0;
    std::stringstream ss(listing);
    for (std::string line; std::getline(ss, line);) {
        keysListed += line.rfind("pub:", 0) == 0;
        if (line.rfind("sig:", 0) == 0 || line.rfind("rev:", 0) == 0) {
            good += line.compare(4, 1, "!") == 0;
            bad += line.compare(4, 1, "-") == 0;
        }
        EXPECT_EQ(line.find(removed), std::string::npos) << line;
    }
    EXPECT_EQ(keysListed, 3u);
    EXPECT_GT(good, 6u);
    EXPECT_EQ(bad, 0u);
}

// Runs fn in a child process (as user nobody when we are root) and returns
// its exit status; fn returns the child's exit code.
template <typename Fn>
int inChild(bool unprivileged, Fn fn)
{
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(90);
        ::_exit(fn());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(KeyDBFileTest, CommitOnAFullDiskLeavesBothRingsWhole)
{
    auto pubBefore = pub(), secBefore = sec();
    std::size_t files = filesInDir();
    int code = inChild(false, [&] {
        QELKeyDB *db = open(QELKeyDBOpen_Writable);
        if (db == nullptr)
            return 1;
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1024, 1024};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
        qelKeyDBMarkChanged(db, false);
        if (qelKeyDBCommit(db) != QELError_WriteFailed)
            return 3;
        std::uint32_t n = 0;
        if (qelKeyDBCountKeys(db, &n) != 0 || n != 4)
            return 4; // still usable
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(pub(), pubBefore);
    EXPECT_EQ(sec(), secBefore);
    EXPECT_EQ(filesInDir(), files); // no new file left behind
}

TEST_F(KeyDBFileTest, CommitInAReadOnlyDirectoryLeavesBothRingsWhole)
{
    auto pubBefore = pub(), secBefore = sec();
    ::chmod((dir + "/pubring.pkr").c_str(), 0666);
    ::chmod((dir + "/secring.skr").c_str(), 0666);
    ::chmod(dir.c_str(), 0555);
    int code = inChild(true, [&] {
        QELKeyDB *db = open(QELKeyDBOpen_Writable);
        if (db == nullptr)
            return 1;
        qelKeyDBMarkChanged(db, false);
        if (qelKeyDBCommit(db) != QELError_FilePermissions)
            return 3;
        // Still usable, and still changed: a later commit tries again.
        std::uint32_t n = 0;
        if (qelKeyDBCountKeys(db, &n) != 0 || n != 4 || !qelKeyDBIsChanged(db))
            return 4;
        return 0;
    });
    ::chmod(dir.c_str(), 0700);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(pub(), pubBefore);
    EXPECT_EQ(sec(), secBefore);
    EXPECT_EQ(filesInDir(), 2u);
}

TEST_F(KeyDBFileTest, FailedRenamesLeaveBothRingsWholeAndKeepModes)
{
    ::chmod((dir + "/pubring.pkr").c_str(), 0640);
    auto pubBefore = pub(), secBefore = sec();
    QELKeyDB *db = open(QELKeyDBOpen_Writable);
    ASSERT_NE(db, nullptr);
    for (int failing : {1, 2}) {
        qelKeyDBFailRingRenameForTesting(failing);
        qelKeyDBMarkChanged(db, false);
        EXPECT_EQ(qelKeyDBCommit(db), QELError_FileOpFailed);
        qelKeyDBFailRingRenameForTesting(0);
        EXPECT_EQ(pub(), pubBefore) << failing;
        EXPECT_EQ(sec(), secBefore) << failing;
        EXPECT_EQ(filesInDir(), 2u) << failing;
    }
    // A release of the changed database reports its failed commit and keeps
    // the database; the release after that closes it.
    qelKeyDBFailRingRenameForTesting(1);
    EXPECT_EQ(qelKeyDBRelease(db), QELError_FileOpFailed);
    EXPECT_EQ(qelContextGetKeyDBList(ctx), db);
    qelKeyDBFailRingRenameForTesting(1);
    EXPECT_EQ(qelKeyDBRelease(db), QELError_FileOpFailed);
    qelKeyDBFailRingRenameForTesting(0);
    EXPECT_EQ(qelContextGetKeyDBList(ctx), nullptr);
    EXPECT_EQ(pub(), pubBefore);

    db = open(QELKeyDBOpen_Writable);
    ASSERT_NE(db, nullptr);
    qelKeyDBMarkChanged(db, false);
    EXPECT_EQ(qelKeyDBCommit(db), 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir + "/pubring.pkr").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

} // namespace
