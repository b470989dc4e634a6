#include "qelLocksInternal.h"
#include "qelTestHooks.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A thread that runs the steps it is given one after another, so a test can
// make several threads take and release a lock in a chosen order.
class Actor {
public:
    Actor() : thread_([this] { loop(); }) {}
    ~Actor()
    {
        {
            std::lock_guard<std::mutex> g(m_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void post(std::function<void()> step)
    {
        {
            std::lock_guard<std::mutex> g(m_);
            steps_.push_back(std::move(step));
            ++posted_;
        }
        cv_.notify_all();
    }
    // Runs a step and waits until it has finished.
    void run(std::function<void()> step)
    {
        post(std::move(step));
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [this] { return completed_ == posted_; });
    }
    bool idle()
    {
        std::lock_guard<std::mutex> g(m_);
        return completed_ == posted_;
    }
    void waitIdle()
    {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [this] { return completed_ == posted_; });
    }

private:
    void loop()
    {
        std::unique_lock<std::mutex> l(m_);
        for (;;) {
            cv_.wait(l, [this] { return stop_ || !steps_.empty(); });
            if (steps_.empty())
                return;
            auto step = std::move(steps_.front());
            steps_.pop_front();
            l.unlock();
            step();
            l.lock();
            ++completed_;
            cv_.notify_all();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> steps_;
    int posted_ = 0;
    int completed_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

struct Counters {
    int activeReaders, waitingReaders, writerActive, waitingWriters;
};

class RWLockTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        qelRWLockForceStandIn(GetParam());
        ASSERT_EQ(qelRWLockInit(&lock), 0);
        qelRWLockForceStandIn(false);
        ASSERT_EQ(lock.usesStandIn != 0, GetParam());
    }
    void TearDown() override { qelRWLockDestroy(&lock); }

    Counters counters()
    {
        pthread_mutex_lock(&lock.mutex);
        const Counters c{lock.activeReaders, lock.waitingReaders, lock.writerActive,
                         lock.waitingWriters};
        pthread_mutex_unlock(&lock.mutex);
        return c;
    }
    // Waits (bounded) until the lock's counters satisfy pred.
    template <typename Pred> bool waitUntil(Pred pred)
    {
        for (int i = 0; i < 5000; ++i) {
            if (pred(counters()))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    void note(const std::string &s)
    {
        std::lock_guard<std::mutex> g(logMutex);
        log.push_back(s);
    }
    std::function<void()> readLock(const std::string &who)
    {
        return [this, who] {
            EXPECT_EQ(qelRWLockReadLock(&lock), 0);
            note(who);
        };
    }
    std::function<void()> writeLock(const std::string &who)
    {
        return [this, who] {
            EXPECT_EQ(qelRWLockWriteLock(&lock), 0);
            note(who);
        };
    }
    std::function<void()> readUnlock()
    {
        return [this] { EXPECT_EQ(qelRWLockReadUnlock(&lock), 0); };
    }
    std::function<void()> writeUnlock()
    {
        return [this] { EXPECT_EQ(qelRWLockWriteUnlock(&lock), 0); };
    }

    QELRWLock lock;
    std::mutex logMutex;
    std::vector<std::string> log;
};

} // namespace

TEST(ThreadSpecific, UnsetKeyYieldsNull)
{
    QELThreadKey key;
    ASSERT_EQ(qelThreadKeyCreate(&key, nullptr), 0);
    void *v = &v;
    EXPECT_EQ(qelThreadGetSpecific(key, &v), -1);
    EXPECT_EQ(v, nullptr);
    int x = 0;
    EXPECT_EQ(qelThreadSetSpecific(key, &x), 0);
    EXPECT_EQ(qelThreadGetSpecific(key, &v), 0);
    EXPECT_EQ(v, &x);
    EXPECT_EQ(qelThreadKeyDelete(key), 0);
}

TEST(Semaphore, PostWaitAndTryWait)
{
    const QELSemaphoreParams params{1, 0};
    int id = -1;
    ASSERT_EQ(qelSemaphoreCreate(&id, &params), 0);
    EXPECT_EQ(qelSemaphoreTryWait(id), -1); // starts at 0
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(qelSemaphorePost(id), 0);
    EXPECT_EQ(qelSemaphoreTryWait(id), 0);
    EXPECT_EQ(qelSemaphorePost(id), 0);
    EXPECT_EQ(qelSemaphoreWait(id), 0);
    EXPECT_EQ(qelSemaphoreRemove(id), 0);
    EXPECT_EQ(qelSemaphorePost(id), -1); // gone
}

TEST(MutexAndThreads, WrappersPassThrough)
{
    QELMutex m;
    ASSERT_EQ(qelMutexInit(&m, nullptr), 0);
    EXPECT_EQ(qelMutexLock(&m), 0);
    EXPECT_EQ(qelMutexUnlock(&m), 0);
    EXPECT_EQ(qelMutexTryLock(&m), 0);
    EXPECT_EQ(qelMutexUnlock(&m), 0);
    EXPECT_EQ(qelMutexDestroy(&m), 0);

    QELThreadAttr attr;
    ASSERT_EQ(qelThreadAttrInit(&attr), 0);
    int state = -1;
    EXPECT_EQ(qelThreadAttrSetDetachState(&attr, PTHREAD_CREATE_JOINABLE), 0);
    EXPECT_EQ(qelThreadAttrGetDetachState(&attr, &state), 0);
    EXPECT_EQ(state, PTHREAD_CREATE_JOINABLE);
    QELThread t;
    int ran = 0;
    ASSERT_EQ(qelThreadCreate(&t, &attr, [](void *arg) -> void * {
        *static_cast<int *>(arg) = 1;
        qelThreadNoOp();
        qelThreadExit();
    }, &ran), 0);
    EXPECT_EQ(qelThreadJoin(t, nullptr), 0);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(qelThreadAttrDestroy(&attr), 0);
}

TEST_P(RWLockTest, OneThreadRecursionAndUpgrade)
{
    EXPECT_EQ(qelRWLockReadLock(&lock), 0);
    EXPECT_EQ(qelRWLockReadLock(&lock), 0);
    EXPECT_TRUE(qelRWLockHoldsRead(&lock));
    // Asking to write gives the read lock up completely.
    EXPECT_EQ(qelRWLockWriteLock(&lock), 0);
    EXPECT_TRUE(qelRWLockHoldsWrite(&lock));
    EXPECT_FALSE(qelRWLockHoldsRead(&lock));
    EXPECT_EQ(qelRWLockWriteLock(&lock), 0);
    EXPECT_EQ(qelRWLockWriteUnlock(&lock), 0);
    EXPECT_TRUE(qelRWLockHoldsWrite(&lock));
    EXPECT_EQ(qelRWLockWriteUnlock(&lock), 0);
    EXPECT_FALSE(qelRWLockHoldsWrite(&lock));
    // Releases of a lock not held are ignored.
    EXPECT_EQ(qelRWLockReadUnlock(&lock), 0);
    EXPECT_EQ(qelRWLockWriteUnlock(&lock), 0);
    const Counters c = counters();
    EXPECT_EQ(c.activeReaders, 0);
    EXPECT_EQ(c.writerActive, 0);
    // The lock is free again for another thread's writer.
    Actor other;
    other.run(writeLock("W"));
    other.run(writeUnlock());
    EXPECT_EQ(qelRWLockReadLock(nullptr), QELError_BadParams);
}

TEST_P(RWLockTest, LastReaderHandsOverToWaitingWriter)
{
    Actor r1, r2, r3, w;
    r1.run(readLock("R1"));
    r2.run(readLock("R2"));
    w.post(writeLock("W"));
    ASSERT_TRUE(waitUntil([](Counters c) { return c.waitingWriters == 1; }));
    // A new reader queues behind the waiting writer.
    r3.post(readLock("R3"));
    ASSERT_TRUE(waitUntil([](Counters c) { return c.waitingReaders == 1; }));
    r1.run(readUnlock());
    EXPECT_FALSE(w.idle());
    r2.run(readUnlock());
    w.waitIdle();
    EXPECT_FALSE(r3.idle());
    w.run(writeUnlock());
    r3.waitIdle();
    r3.run(readUnlock());
    EXPECT_EQ(log, (std::vector<std::string>{"R1", "R2", "W", "R3"}));
    const Counters c = counters();
    EXPECT_EQ(c.activeReaders + c.waitingReaders + c.writerActive + c.waitingWriters, 0);
}

TEST_P(RWLockTest, DepartingWriterPrefersWaitingReaders)
{
    Actor w1, r1, r2, w2;
    w1.run(writeLock("W1"));
    r1.post(readLock("R1"));
    ASSERT_TRUE(waitUntil([](Counters c) { return c.waitingReaders == 1; }));
    w2.post(writeLock("W2"));
    ASSERT_TRUE(waitUntil([](Counters c) { return c.waitingWriters == 1; }));
    r2.post(readLock("R2"));
    ASSERT_TRUE(waitUntil([](Counters c) { return c.waitingReaders == 2; }));
    w1.run(writeUnlock());
    // All waiting readers are admitted together.
    r1.waitIdle();
    r2.waitIdle();
    EXPECT_FALSE(w2.idle());
    r1.run(readUnlock());
    EXPECT_FALSE(w2.idle());
    r2.run(readUnlock());
    w2.waitIdle();
    w2.run(writeUnlock());
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "W1");
    EXPECT_EQ(log[3], "W2");
}

TEST_P(RWLockTest, ExcludesWritersUnderContention)
{
    long shared = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, &shared, t] {
            for (int i = 0; i < 200; ++i) {
                if ((i + t) % 3 == 0) {
                    static_cast<void>(qelRWLockWriteLock(&lock));
                    static_cast<void>(qelRWLockWriteLock(&lock)); // recursion
                    const long before = shared;
                    shared = before + 1;
                    static_cast<void>(qelRWLockWriteUnlock(&lock));
                    static_cast<void>(qelRWLockWriteUnlock(&lock));
                } else {
                    static_cast<void>(qelRWLockReadLock(&lock));
                    static_cast<void>(qelRWLockReadLock(&lock));
                    [[maybe_unused]] volatile long seen = shared;
                    static_cast<void>(qelRWLockReadUnlock(&lock));
                    static_cast<void>(qelRWLockReadUnlock(&lock));
                }
            }
        });
    }
    for (auto &th : threads)
        th.join();
    long expected = 0;
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 200; ++i)
            expected += (i + t) % 3 == 0;
    EXPECT_EQ(shared, expected);
    const Counters c = counters();
    EXPECT_EQ(c.activeReaders + c.waitingReaders + c.writerActive + c.waitingWriters, 0);
}

INSTANTIATE_TEST_SUITE_P(Waits, RWLockTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "StandIn" : "Semaphores"; });

namespace {
bool semaphoreExists(int id)
{
    semid_ds ds{};
    return semctl(id, 0, IPC_STAT, &ds) == 0;
}
} // namespace

TEST(Semaphore, SetsLeftAtExitAreRemovedOnlyByTheirProcess)
{
    // The parent's lock survives a child that exits.
    QELRWLock parentLock;
    ASSERT_EQ(qelRWLockInit(&parentLock), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A lock the child never destroys.
        QELRWLock lock;
        int ids[2] = {-1, -1};
        if (qelRWLockInit(&lock) == 0 && !lock.usesStandIn) {
            ids[0] = lock.readerSemaphore;
            ids[1] = lock.writerSemaphore;
        }
        (void)!write(fds[1], ids, sizeof ids);
        std::exit(0);
    }
    close(fds[1]);
    int ids[2] = {-1, -1};
    ASSERT_EQ(read(fds[0], ids, sizeof ids), static_cast<ssize_t>(sizeof ids));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_GE(ids[0], 0);
    EXPECT_FALSE(semaphoreExists(ids[0]));
    EXPECT_FALSE(semaphoreExists(ids[1]));
    EXPECT_TRUE(semaphoreExists(parentLock.readerSemaphore));
    EXPECT_TRUE(semaphoreExists(parentLock.writerSemaphore));
    qelRWLockDestroy(&parentLock);
}
