// Key databases that never lose a key: one lock per ring across contexts
// and processes, commits that refuse a ring someone else wrote, recovery of
// a commit cut short between its renames, commits without hard links,
// releases that keep unsaved edits, handles that outlive their database,
// and the housekeeping pass under one lock with the callers.
#include "keys_fixture.h"

#include "qelEnumeratedSet.h"
#include "qelFileSpecInternal.h"
#include "qelKeyIter.h"
#include "qelKeyList.h"
#include "qelKeySet.h"
#include "qelPkAlg.h"
#include "qelPublicKey.h"
#include "qelTestHooks.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace keystest;
namespace fs = std::filesystem;

namespace {
// Makes hard links fail as on a file system that has none (FAT, some
// network and FUSE file systems).
std::atomic<bool> g_noHardLinks{false};
} // namespace

// Every link(2) of this program comes here.
extern "C" int link(const char *from, const char *to)
{
    if (g_noHardLinks.load()) {
        errno = EPERM;
        return -1;
    }
    return int(::syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
}

namespace {

class KeyDBSafety : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        char tmpl[] = "/tmp/qelkeysafeXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::copy_file(dataPath("public.gpg"), dir + "/pubring.pkr");
        fs::copy_file(dataPath("secret.gpg"), dir + "/secring.skr");
        pubSpec = spec(dir + "/pubring.pkr");
        secSpec = spec(dir + "/secring.skr");
    }
    void TearDown() override
    {
        qelKeyDBFailRingRenameForTesting(0);
        g_noHardLinks = false;
        static_cast<void>(qelKeyDBCloseUnreferencedLocal(ctx));
        for (QELFileSpec *s : specs_)
            static_cast<void>(qelFileSpecFree(s));
        ContextTest::TearDown();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    QELFileSpec *spec(const std::string &path, QELContext *c = nullptr)
    {
        QELFileSpec *s = nullptr;
        EXPECT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(c ? c : ctx), path.c_str(), &s), 0);
        if (c == nullptr)
            specs_.push_back(s);
        return s;
    }
    QELKeyDB *open(std::uint32_t flags, QELStatus *status = nullptr, QELContext *c = nullptr,
                   QELFileSpec *p = nullptr, QELFileSpec *s = nullptr)
    {
        QELStatus st = 0;
        QELKeyDB *db = qelKeyDBOpenRingFiles(c ? c : ctx, p ? p : pubSpec, s ? s : secSpec, flags, &st);
        if (status) *status = st;
        return db;
    }
    // Removes the first key and marks the database changed.
    static void removeAKey(QELKeyDB *db)
    {
        ASSERT_EQ(qelKeyObjMarkDeleted(liveKeys(db).at(0)), 0);
        qelKeyDBMarkChanged(db, true);
    }
    std::vector<std::uint8_t> pub() { return readFile(dir + "/pubring.pkr"); }
    std::vector<std::uint8_t> sec() { return readFile(dir + "/secring.skr"); }
    // The key IDs a ring file holds.
    std::set<std::string> keyIDs(const std::string &path)
    {
        std::set<std::string> ids;
        QELKeyDB *db = openBuffer(readFile(path));
        EXPECT_NE(db, nullptr) << path;
        if (db == nullptr)
            return ids;
        for (QELKeyObject *k : liveKeys(db))
            ids.insert(keyIDHex(k));
        EXPECT_EQ(qelKeyDBRelease(db), 0);
        return ids;
    }
    std::set<std::string> entries()
    {
        std::set<std::string> names;
        for (const auto &e : fs::directory_iterator(dir))
            names.insert(e.path().filename().string());
        return names;
    }
    const std::set<std::string> kRingsOnly{"pubring.pkr", "secring.skr"};

    std::string dir;
    QELFileSpec *pubSpec = nullptr;
    QELFileSpec *secSpec = nullptr;

private:
    std::vector<QELFileSpec *> specs_;
};

// Runs fn in a child process and returns its exit status.
template <typename Fn>
int inChild(Fn fn)
{
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(fn());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(KeyDBSafety, OneRingIsOneDatabaseInAProcess)
{
    QELKeyDB *db = open(QELKeyDBOpen_Writable);
    ASSERT_NE(db, nullptr);
    // Another context is refused instead of locking the ring a second time.
    QELContext *other = nullptr;
    ASSERT_EQ(qelContextNew(QELSDKVersion, &other), 0);
    QELFileSpec *otherPub = spec(dir + "/pubring.pkr", other), *otherSec = spec(dir + "/secring.skr", other);
    QELStatus s = 0;
    EXPECT_EQ(open(QELKeyDBOpen_Writable, &s, other, otherPub, otherSec), nullptr);
    EXPECT_EQ(s, QELError_FileLocked);
    EXPECT_EQ(open(0, &s, other, otherPub, nullptr), nullptr);
    EXPECT_EQ(s, QELError_FileLocked);
    // So is the public ring paired with another secret ring.
    fs::copy_file(dataPath("secret.gpg"), dir + "/other.skr");
    EXPECT_EQ(open(0, &s, nullptr, nullptr, spec(dir + "/other.skr")), nullptr);
    EXPECT_EQ(s, QELError_FileLocked);
    // The same files under other names are the same database.
    fs::create_symlink(dir + "/pubring.pkr", dir + "/link.pkr");
    EXPECT_EQ(open(0, &s, nullptr, spec(dir + "/link.pkr")), db);
    EXPECT_EQ(db->refCount, 2);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
    // Once it is closed, the other context may have it.
    QELKeyDB *theirs = open(QELKeyDBOpen_Writable, &s, other, otherPub, otherSec);
    EXPECT_NE(theirs, nullptr);
    EXPECT_EQ(qelKeyDBRelease(theirs), 0);
    static_cast<void>(qelFileSpecFree(otherPub));
    static_cast<void>(qelFileSpecFree(otherSec));
    EXPECT_EQ(qelContextFree(other), 0);
}

TEST_F(KeyDBSafety, AnotherProcessStaysLockedOutAcrossCommits)
{
    QELKeyDB *db = open(QELKeyDBOpen_Writable);
    ASSERT_NE(db, nullptr);
    // Whatever else of this process opens and closes the ring (here a plain
    // read) must not drop the lock.
    ASSERT_FALSE(pub().empty());
    ASSERT_FALSE(sec().empty());
    auto otherOpens = [&] {
        return inChild([&] {
            // The child forgets what it inherited and opens as a process of
            // its own would.
            qelKeyDBContextGone(ctx);
            QELStatus s = 0;
            QELKeyDB *theirs = open(QELKeyDBOpen_Writable, &s);
            return theirs == nullptr && s == QELError_FileLocked ? 0 : 1;
        });
    };
    EXPECT_EQ(otherOpens(), 0);
    // The rings a commit writes are locked before they take the rings' names.
    removeAKey(db);
    ASSERT_EQ(qelKeyDBCommit(db), 0);
    EXPECT_EQ(otherOpens(), 0);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
    EXPECT_EQ(inChild([&] {
                  qelKeyDBContextGone(ctx);
                  QELKeyDB *theirs = open(QELKeyDBOpen_Writable);
                  return theirs != nullptr && liveKeys(theirs).size() == 3 ? 0 : 1;
              }),
              0);
}

TEST_F(KeyDBSafety, CommitRefusesARingSomeoneElseWrote)
{
    struct Case {
        const char *what;
        void (*change)(const std::string &ring);
    };
    const Case cases[] = {
        {"replaced", [](const std::string &ring) {
             std::ofstream(ring + ".theirs", std::ios::binary) << std::ifstream(dataPath("keyuse.gpg"), std::ios::binary).rdbuf();
             fs::rename(ring + ".theirs", ring);
         }},
        {"appended", [](const std::string &ring) {
             std::ofstream(ring, std::ios::binary | std::ios::app) << std::ifstream(dataPath("keyuse.gpg"), std::ios::binary).rdbuf();
         }},
    };
    for (const Case &c : cases) {
        for (const char *ring : {"/pubring.pkr", "/secring.skr"}) {
            fs::copy_file(dataPath("public.gpg"), dir + "/pubring.pkr", fs::copy_options::overwrite_existing);
            fs::copy_file(dataPath("secret.gpg"), dir + "/secring.skr", fs::copy_options::overwrite_existing);
            QELKeyDB *db = open(QELKeyDBOpen_Writable);
            ASSERT_NE(db, nullptr);
            removeAKey(db);
            c.change(dir + ring);
            const auto pubTheirs = pub(), secTheirs = sec();
            EXPECT_EQ(qelKeyDBCommit(db), QELError_FileLocked) << c.what << ring;
            EXPECT_EQ(pub(), pubTheirs) << c.what << ring;
            EXPECT_EQ(sec(), secTheirs) << c.what << ring;
            EXPECT_EQ(entries(), kRingsOnly) << c.what << ring;
            // The release says so too, and the one after lets the database go.
            EXPECT_EQ(qelKeyDBRelease(db), QELError_FileLocked);
            EXPECT_EQ(qelKeyDBRelease(db), QELError_FileLocked);
            EXPECT_EQ(qelContextGetKeyDBList(ctx), nullptr);
            EXPECT_EQ(pub(), pubTheirs) << c.what << ring;
        }
    }
}

TEST_F(KeyDBSafety, ACommitCutShortBetweenItsRenamesLeavesAConsistentPair)
{
    const auto before = keyIDs(dir + "/pubring.pkr");
    ASSERT_EQ(before.size(), 4u);
    struct Case {
        bool hardLinks;
        int crashAfter; // rename after which the process ends
        std::size_t keysAfter;
    };
    for (const Case c : {Case{true, 1, 4}, Case{true, 2, 3}, Case{false, 1, 4}, Case{false, 2, 3}}) {
        SCOPED_TRACE(testing::Message() << "hard links " << c.hardLinks << ", crash after rename " << c.crashAfter);
        fs::copy_file(dataPath("public.gpg"), dir + "/pubring.pkr", fs::copy_options::overwrite_existing);
        fs::copy_file(dataPath("secret.gpg"), dir + "/secring.skr", fs::copy_options::overwrite_existing);
        g_noHardLinks = !c.hardLinks;
        EXPECT_EQ(inChild([&] {
                      QELKeyDB *db = open(QELKeyDBOpen_Writable);
                      if (db == nullptr)
                          return 1;
                      removeAKey(db);
                      qelKeyDBCrashAfterRingRenameForTesting(c.crashAfter);
                      static_cast<void>(qelKeyDBCommit(db));
                      return 2; // the crash never came
                  }),
                  86);
        EXPECT_TRUE(fs::exists(dir + "/secring.skr.qelold"));
        QELKeyDB *db = open(QELKeyDBOpen_Writable);
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(liveKeys(db).size(), c.keysAfter);
        EXPECT_EQ(qelKeyDBRelease(db), 0);
        EXPECT_EQ(entries(), kRingsOnly);
        const auto pubIDs = keyIDs(dir + "/pubring.pkr");
        EXPECT_EQ(pubIDs.size(), c.keysAfter);
        EXPECT_EQ(keyIDs(dir + "/secring.skr"), pubIDs);
    }
}

TEST_F(KeyDBSafety, CommitWorksWithoutHardLinks)
{
    g_noHardLinks = true;
    ::chmod((dir + "/secring.skr").c_str(), 0640);
    QELKeyDB *db = open(QELKeyDBOpen_Writable);
    ASSERT_NE(db, nullptr);
    removeAKey(db);
    ASSERT_EQ(qelKeyDBCommit(db), 0);
    EXPECT_EQ(entries(), kRingsOnly);
    // A failed public rename puts the old secret ring back.
    removeAKey(db);
    const auto pubBefore = pub(), secBefore = sec();
    qelKeyDBFailRingRenameForTesting(2);
    EXPECT_EQ(qelKeyDBCommit(db), QELError_FileOpFailed);
    EXPECT_EQ(pub(), pubBefore);
    EXPECT_EQ(sec(), secBefore);
    EXPECT_EQ(entries(), kRingsOnly);
    ASSERT_EQ(qelKeyDBCommit(db), 0);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
    EXPECT_EQ(keyIDs(dir + "/pubring.pkr").size(), 2u);
    EXPECT_EQ(keyIDs(dir + "/secring.skr").size(), 2u);
    struct stat st {};
    ASSERT_EQ(::stat((dir + "/secring.skr").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(KeyDBSafety, AReleaseWhoseCommitFailsKeepsTheEditsForARetry)
{
    const auto pubBefore = pub();
    QELKeyDB *db = open(QELKeyDBOpen_Writable);
    ASSERT_NE(db, nullptr);
    removeAKey(db);
    qelKeyDBFailRingRenameForTesting(-1);
    EXPECT_EQ(qelKeyDBRelease(db), QELError_FileOpFailed);
    EXPECT_EQ(pub(), pubBefore);
    // Still open, with the edit.
    std::uint32_t n = 0;
    ASSERT_EQ(qelKeyDBCountKeys(db, &n), 0);
    EXPECT_EQ(n, 3u);
    qelKeyDBFailRingRenameForTesting(0);
    EXPECT_EQ(qelKeyDBCommit(db), 0);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
    EXPECT_EQ(qelContextGetKeyDBList(ctx), nullptr);
    EXPECT_EQ(keyIDs(dir + "/pubring.pkr").size(), 3u);
}

TEST_F(KeyDBSafety, TheHousekeepingPassRetriesAClosingCommitThatFailed)
{
    QELKeyDB *db = open(QELKeyDBOpen_Writable);
    ASSERT_NE(db, nullptr);
    removeAKey(db);
    ASSERT_EQ(qelKeyDBSetKeepAlive(db, 30), 0);
    qelKeyDBFailRingRenameForTesting(-1);
    // Kept alive: the release drops the count and reports the failure.
    EXPECT_EQ(qelKeyDBRelease(db), QELError_FileOpFailed);
    ASSERT_EQ(qelKeyDBSetKeepAliveLocal(db, 0), 0); // the deadline is now
    for (int pass = 0; pass < 2; ++pass) {
        qelKeyDBCloseExpired(ctx);
        ASSERT_EQ(qelContextGetKeyDBList(ctx), db) << pass;
        EXPECT_EQ(qelKeyDBGetLastError(db), QELError_FileOpFailed);
    }
    EXPECT_EQ(qelKeyDBCloseUnreferencedLocal(ctx), QELError_FileOpFailed);
    ASSERT_EQ(qelContextGetKeyDBList(ctx), db);
    qelKeyDBFailRingRenameForTesting(0);
    qelKeyDBCloseExpired(ctx);
    EXPECT_EQ(qelContextGetKeyDBList(ctx), nullptr);
    EXPECT_EQ(keyIDs(dir + "/pubring.pkr").size(), 3u);
    EXPECT_EQ(keyIDs(dir + "/secring.skr").size(), 3u);
}

TEST_F(KeyDBSafety, HandlesAnswerAfterTheirDatabaseIsReleased)
{
    QELKeyDB *db = openBuffer(readFile(dataPath("keyuse_secret.gpg")));
    ASSERT_NE(db, nullptr);
    QELKeyObject *signer = keyOrSubKeyByID(db, "A339E8FA7AA93E51");
    ASSERT_NE(signer, nullptr);
    QELKeySet *set = nullptr, *one = nullptr;
    ASSERT_EQ(qelKeyDBNewKeySet(db, &set), 0);
    ASSERT_EQ(qelEnumeratedSetFromObject(signer, &one), 0);
    QELKeyList *list = nullptr;
    ASSERT_EQ(qelKeyListNew(qelKeyDBGetRootSet(db), 2, 0, &list), 0);
    QELKeyIter *overList = nullptr, *overSet = nullptr;
    ASSERT_EQ(qelKeyIterNewOnList(list, &overList), 0);
    ASSERT_EQ(qelKeyIterNewOnSet(one, &overSet), 0);
    QELKeyObject *o = nullptr;
    ASSERT_EQ(qelKeyIterNext(overList, QELKeyIterLevel_Key, &o), 0);
    ASSERT_EQ(qelKeyIterNext(overSet, QELKeyIterLevel_UserID, &o), 0);
    QELPublicKeyContext *pubCtx = nullptr;
    ASSERT_EQ(qelPublicKeyContextNew(signer, QELPkFormat_Raw, &pubCtx), 0);
    QELPrivateKeyContext *privCtx = nullptr;
    ASSERT_EQ(qelPrivateKeyContextNew(signer, QELPkFormat_Raw, &privCtx, qelOptionLastOption(ctx)), 0);

    EXPECT_EQ(qelKeyDBRelease(db), 0);
    EXPECT_EQ(qelContextGetKeyDBList(ctx), nullptr); // closed, not kept

    std::uint32_t n = 7;
    EXPECT_EQ(qelKeySetCount(set, &n), QELError_NoKeyDB);
    EXPECT_EQ(qelKeySetCount(one, &n), QELError_NoKeyDB);
    EXPECT_EQ(qelKeySetAddSet(one, set), QELError_NoKeyDB);
    EXPECT_EQ(qelKeySetRemoveFromDB(one), QELError_NoKeyDB);
    QELKeyList *another = nullptr;
    EXPECT_EQ(qelKeyListNew(set, 3, 0, &another), QELError_NoKeyDB);
    QELKeyIter *it = nullptr;
    EXPECT_EQ(qelKeyIterNewOnSet(set, &it), QELError_NoKeyDB);
    EXPECT_EQ(qelKeyIterNewOnList(list, &it), QELError_NoKeyDB);
    EXPECT_EQ(qelKeyIterCopy(overList, &it), QELError_NoKeyDB);
    for (QELKeyIter *iter : {overList, overSet}) {
        EXPECT_EQ(qelKeyIterNext(iter, QELKeyIterLevel_Key, &o), QELError_NoKeyDB);
        EXPECT_EQ(qelKeyIterNext(iter, QELKeyIterLevel_Signature, &o), QELError_NoKeyDB);
        EXPECT_EQ(qelKeyIterPrev(iter, QELKeyIterLevel_UserID, &o), QELError_NoKeyDB);
        EXPECT_EQ(qelKeyIterCurrent(iter, QELKeyIterLevel_Key, &o), QELError_NoKeyDB);
        EXPECT_EQ(qelKeyIterMove(iter, 1, &o), QELError_NoKeyDB);
        EXPECT_EQ(qelKeyIterRewind(iter, QELKeyIterLevel_Key), QELError_NoKeyDB);
        EXPECT_EQ(o, nullptr);
    }
    std::uint8_t digest[32] = {1}, sig[1024];
    std::uint64_t length = 0, a = 0, b = 0, c = 0;
    EXPECT_EQ(qelPublicKeyVerify(pubCtx, digest, sizeof digest, sig, 64), QELError_NoKeyDB);
    EXPECT_EQ(qelPublicKeyEncrypt(pubCtx, digest, sizeof digest, sig, &length), QELError_NoKeyDB);
    EXPECT_EQ(qelPublicKeyContextGetSizes(pubCtx, &a, &b, &c), QELError_NoKeyDB);
    EXPECT_EQ(qelPrivateKeySign(privCtx, digest, sizeof digest, sig, &length), QELError_NoKeyDB);
    EXPECT_EQ(qelPrivateKeyDecrypt(privCtx, digest, sizeof digest, sig, &length), QELError_NoKeyDB);
    EXPECT_EQ(qelPrivateKeyContextGetSizes(privCtx, &a, &b, &c), QELError_NoKeyDB);

    // Each handle goes when its holder lets it go; the last one takes the
    // database's record with it.
    EXPECT_EQ(qelKeyIterFree(overList), 0);
    EXPECT_EQ(qelKeyIterFree(overSet), 0);
    EXPECT_EQ(qelKeyListRelease(list), 0);
    EXPECT_EQ(qelKeySetRelease(set), 0);
    EXPECT_EQ(qelKeySetRelease(one), 0);
    EXPECT_EQ(qelPublicKeyContextFree(pubCtx), 0);
    EXPECT_EQ(qelPrivateKeyContextFree(privCtx), 0);
}

TEST_F(KeyDBSafety, HousekeepingAndCallersShareOneLock)
{
    // A second thread runs the housekeeping pass over and over while this
    // one opens, keeps alive, releases and reopens the same rings.
    std::atomic<bool> stop{false};
    std::thread housekeeper([&] {
        while (!stop.load()) {
            qelKeyDBCloseExpired(ctx);
            std::this_thread::yield();
        }
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    int rounds = 0;
    while (std::chrono::steady_clock::now() < end || rounds < 20) {
        QELKeyDB *db = open(QELKeyDBOpen_Writable);
        ASSERT_NE(db, nullptr);
        QELKeySet *set = nullptr;
        ASSERT_EQ(qelKeyDBNewKeySet(db, &set), 0);
        std::uint32_t n = 0;
        EXPECT_EQ(qelKeySetCount(set, &n), 0);
        EXPECT_EQ(n, 4u);
        EXPECT_EQ(qelKeySetRelease(set), 0);
        ASSERT_EQ(qelKeyDBSetKeepAlive(db, rounds % 2), 0);
        EXPECT_EQ(qelKeyDBRelease(db), 0);
        ++rounds;
    }
    stop = true;
    housekeeper.join();
    static_cast<void>(qelKeyDBCloseUnreferencedLocal(ctx));
    EXPECT_EQ(qelContextGetKeyDBList(ctx), nullptr);
}

} // namespace
