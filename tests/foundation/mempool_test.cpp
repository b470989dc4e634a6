#include "qelMemPoolInternal.h"

#include "qelContextInternal.h"
#include "qelMemoryInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const auto *const environment = qeltest::addHomeEnvironment("mempool_test", qeltest::HomeEnvironment::SDK::Up);

class MemPoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Records the large blocks (the pool's chunks) as they come back.
        heap.onFree = [this](const std::uint8_t *b, std::size_t length, bool) {
            if (length + QELMemBlockHeaderSize < 0x10000)
                return;
            chunkFrees.push_back(length);
            chunksWiped = chunksWiped && std::all_of(b, b + length, [](std::uint8_t c) { return c == 0; });
        };
        QELMemoryMgr *mgr = heap.make();
        ASSERT_NE(mgr, nullptr);
        const QELContextParams params{QELSDKVersion, mgr};
        ASSERT_EQ(qelContextCreate(&params, &context), 0);
        qelMemPoolInit(context, &pool);
        chunkFrees.clear();
    }
    void TearDown() override
    {
        qelMemPoolFreeAll(&pool);
        EXPECT_TRUE(chunksWiped);
        EXPECT_EQ(qelContextFree(context), 0);
    }
    unsigned char *newest() { return static_cast<unsigned char *>(pool.chunks); }

    qeltest::TestHeap heap;
    std::vector<std::size_t> chunkFrees; // sizes of the large blocks freed
    bool chunksWiped = true;
    QELContext *context = nullptr;
    QELMemPool pool;
};

} // namespace

TEST_F(MemPoolTest, FirstChunkAndAlignment)
{
    EXPECT_EQ(pool.chunkSize, 0x40000u);
    auto *a = static_cast<unsigned char *>(qelMemPoolAlloc(&pool, 8, 8));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, newest() + 16);
    EXPECT_EQ(pool.total, 0x40000u);
    EXPECT_EQ(pool.bytesLeft, 0x40000u - 24);
    auto *b = static_cast<unsigned char *>(qelMemPoolAlloc(&pool, 32, 32));
    EXPECT_EQ((b - newest()) % 32, 0);
    EXPECT_EQ(b, newest() + 32);
    auto *c = static_cast<unsigned char *>(qelMemPoolAlloc(&pool, 1, 1));
    EXPECT_EQ(c, newest() + 64);
    EXPECT_EQ(qelMemPoolAlloc(&pool, 8, 3), nullptr); // not a power of two
    // A first block with a large alignment starts at the alignment.
    QELMemPool other;
    qelMemPoolInit(context, &other);
    auto *d = static_cast<unsigned char *>(qelMemPoolAlloc(&other, 8, 64));
    EXPECT_EQ(d - static_cast<unsigned char *>(other.chunks), 64);
    qelMemPoolFreeAll(&other);
}

TEST_F(MemPoolTest, LargeRequestDoublesTheChunk)
{
    ASSERT_NE(qelMemPoolAlloc(&pool, 0x50000, 8), nullptr);
    void *big = pool.chunks;
    EXPECT_EQ(pool.total, 0x80000u);
    EXPECT_EQ(pool.bytesLeft, 0x80000u - 0x50000 - 16);
    ASSERT_NE(qelMemPoolAlloc(&pool, 100, 8), nullptr);
    EXPECT_EQ(pool.chunks, big);
    EXPECT_EQ(pool.chunkSize, 0x40000u);
}

TEST_F(MemPoolTest, ReleaseToMarkFreesExactlyTheNewChunks)
{
    ASSERT_NE(qelMemPoolAlloc(&pool, 100, 8), nullptr);
    const QELMemPool mark = pool;
    ASSERT_NE(qelMemPoolAlloc(&pool, 0x3FFF0, 8), nullptr); // second chunk
    ASSERT_NE(qelMemPoolAlloc(&pool, 0x3FFF0, 8), nullptr); // third chunk
    std::memset(pool.cursor - 0x3FFF0, 0xEE, 0x3FFF0);
    EXPECT_EQ(pool.total, 3 * 0x40000u);
    qelMemPoolRelease(&pool, &mark);
    EXPECT_EQ(chunkFrees, (std::vector<std::size_t>{0x40000, 0x40000}));
    EXPECT_EQ(pool.chunks, mark.chunks);
    EXPECT_EQ(pool.cursor, mark.cursor);
    EXPECT_EQ(pool.bytesLeft, mark.bytesLeft);
    EXPECT_EQ(pool.total, 0x40000u);
    // Allocation carries on in the marked chunk.
    EXPECT_EQ(qelMemPoolAlloc(&pool, 4, 1), mark.cursor);
}

TEST_F(MemPoolTest, OutOfMemoryHalvesDownToTheNeed)
{
    heap.sizeLimit = 0x30000 + QELMemBlockHeaderSize;
    ASSERT_NE(qelMemPoolAlloc(&pool, 0x10000, 8), nullptr);
    EXPECT_EQ(pool.total, 0x20000u);

    // Nothing can be had: null, and the pool is unchanged.
    heap.sizeLimit = 0;
    const QELMemPool before = pool;
    EXPECT_EQ(qelMemPoolAlloc(&pool, 0x20000, 8), nullptr);
    EXPECT_EQ(std::memcmp(&before, &pool, sizeof pool), 0);

    // The callback may make room and ask for another try.
    struct Relief {
        qeltest::TestHeap *heap;
        int calls = 0;
    } relief{&heap};
    qelMemPoolSetOutOfMemoryCallback(&pool, [](void *uv) -> QELStatus {
        auto *r = static_cast<Relief *>(uv);
        ++r->calls;
        r->heap->sizeLimit = SIZE_MAX;
        return 1;
    }, &relief);
    EXPECT_NE(qelMemPoolAlloc(&pool, 0x20000, 8), nullptr);
    EXPECT_EQ(relief.calls, 1);
}

TEST_F(MemPoolTest, HostileSizesAndStaleCursors)
{
    // Sizes whose chunk would not fit 32 bits are refused without a call.
    for (std::uint32_t size : {0xFFFFFFFFu, 0xFFFFFFF0u, 0x80000000u + 1}) {
        const QELMemPool before = pool;
        EXPECT_EQ(qelMemPoolAlloc(&pool, size, 32), nullptr) << size;
        EXPECT_EQ(std::memcmp(&before, &pool, sizeof pool), 0);
    }
    // A zero-byte request on a fresh pool gets a real chunk.
    void *z = qelMemPoolAlloc(&pool, 0, 8);
    ASSERT_NE(pool.chunks, nullptr);
    EXPECT_EQ(z, newest() + 16);
    // Releasing to a mark whose chunks are gone empties the pool instead of
    // restoring a cursor into freed memory.
    const QELMemPool mark = pool;
    qelMemPoolFreeAll(&pool);
    EXPECT_EQ(pool.total, 0u);
    EXPECT_EQ(pool.bytesLeft, 0u);
    ASSERT_NE(qelMemPoolAlloc(&pool, 0x50000, 8), nullptr);
    qelMemPoolRelease(&pool, &mark);
    EXPECT_EQ(pool.chunks, nullptr);
    EXPECT_EQ(pool.total, 0u);
    // A zero-byte request after everything was freed gets a real chunk too.
    qelMemPoolFreeAll(&pool);
    void *z2 = qelMemPoolAlloc(&pool, 0, 8);
    ASSERT_NE(pool.chunks, nullptr);
    EXPECT_EQ(z2, newest() + 16);
    EXPECT_NE(qelMemPoolAlloc(&pool, 64, 8), nullptr);
}

TEST_F(MemPoolTest, PoolManager)
{
    QELMemoryMgr *mgr = qelMemPoolMemoryMgr(&pool);
    ASSERT_NE(mgr, nullptr);
    EXPECT_EQ(qelMemMgrIsValid(mgr), 0);
    auto *p = static_cast<char *>(qelMemAlloc(mgr, 40, QELMemFlag_Clear));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(qelMemBlockInfo(p), 1);
    std::memcpy(p, "pooled", 7);
    void *q = p;
    EXPECT_EQ(qelMemRealloc(mgr, &q, 10, 0), 0);
    EXPECT_EQ(q, p); // shrinking keeps the block
    EXPECT_EQ(qelMemRealloc(mgr, &q, 400, QELMemFlag_Clear), 0);
    EXPECT_NE(q, p);
    EXPECT_STREQ(static_cast<char *>(q), "pooled");
    EXPECT_EQ(static_cast<char *>(q)[399], 0);
    void *s = qelMemAllocSecure(mgr, 16, 0);
    EXPECT_EQ(qelMemBlockInfo(s), 3);
    std::memset(s, 0x77, 16);
    EXPECT_EQ(qelMemFree(s), 0);
    EXPECT_EQ(static_cast<unsigned char *>(s)[0], 0); // wiped, still pool memory
    EXPECT_EQ(qelMemFree(q), 0);
    EXPECT_EQ(qelMemMgrFree(mgr), 0);
    EXPECT_EQ(qelMemMgrIsValid(mgr), QELError_BadParams);
    EXPECT_EQ(pool.total, 0x40000u);
}
