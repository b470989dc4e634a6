#include "qelMemoryInternal.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A counting heap that also keeps what the last secure block held, past its
// header, at the moment it was returned.
struct Tally : qeltest::TestHeap {
    std::vector<unsigned char> lastSecureBytes;
    Tally()
    {
        onFree = [this](const std::uint8_t *b, std::size_t n, bool secure) {
            if (secure)
                lastSecureBytes.assign(b, b + n);
        };
    }
    Tally(const Tally &) = delete;
};

struct MemoryTest : ::testing::Test {
    Tally tally;
    QELMemoryMgr *mgr = nullptr;
    void SetUp() override
    {
        const QELMemoryMgrCallbacks cb = tally.callbacks();
        ASSERT_EQ(qelMemMgrNew(&cb, &mgr), 0);
    }
    void TearDown() override
    {
        if (mgr != nullptr) {
            EXPECT_EQ(qelMemMgrFree(mgr), 0);
        }
    }
};

} // namespace

TEST(MemoryMgr, NewRejectsMalformedCallbackBlocks)
{
    Tally t;
    struct Case {
        const char *what;
        void (*spoil)(QELMemoryMgrCallbacks &);
    };
    const Case cases[] = {
        {"block size 127", [](QELMemoryMgrCallbacks &c) { c.blockSize = 127; }},
        {"reserved pointer set", [](QELMemoryMgrCallbacks &c) { c.reserved = &c; }},
        {"reserved byte set", [](QELMemoryMgrCallbacks &c) { c.reserved2[63] = 1; }},
        {"no alloc", [](QELMemoryMgrCallbacks &c) { c.alloc = nullptr; }},
        {"no realloc", [](QELMemoryMgrCallbacks &c) { c.realloc = nullptr; }},
        {"no free", [](QELMemoryMgrCallbacks &c) { c.free = nullptr; }},
        {"no secure alloc", [](QELMemoryMgrCallbacks &c) { c.secureAlloc = nullptr; }},
        {"no secure free", [](QELMemoryMgrCallbacks &c) { c.secureFree = nullptr; }},
    };
    for (const Case &c : cases) {
        QELMemoryMgrCallbacks cb = t.callbacks();
        c.spoil(cb);
        QELMemoryMgr *m = reinterpret_cast<QELMemoryMgr *>(0x1);
        EXPECT_EQ(qelMemMgrNew(&cb, &m), QELError_BadParams) << c.what;
        EXPECT_EQ(m, nullptr) << c.what;
    }
    EXPECT_EQ(t.allocs, 0);
    QELMemoryMgr *m = nullptr;
    EXPECT_EQ(qelMemMgrNew(nullptr, &m), QELError_BadParams);
    const QELMemoryMgrCallbacks cb = t.callbacks();
    EXPECT_EQ(qelMemMgrNew(&cb, nullptr), QELError_BadParams);
    t.refuse = true;
    EXPECT_EQ(qelMemMgrNew(&cb, &m), QELError_OutOfMemory);
}

TEST(MemoryMgr, UserValueAndDefaultFlag)
{
    QELMemoryMgr *def = nullptr;
    EXPECT_EQ(qelMemMgrNewDefault(1, &def), QELError_BadParams);
    ASSERT_EQ(qelMemMgrNewDefault(0, &def), 0);
    EXPECT_TRUE(qelMemMgrIsDefault(def));
    void *v = &v;
    EXPECT_EQ(qelMemMgrGetUserValue(def, &v), QELError_BadParams);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(qelMemMgrSetUserValue(def, &v), QELError_BadParams);

    QELMemoryMgr *heap = nullptr;
    ASSERT_EQ(qelMemMgrNewHeap(&heap), 0);
    EXPECT_FALSE(qelMemMgrIsDefault(heap));
    int marker = 0;
    EXPECT_EQ(qelMemMgrSetUserValue(heap, &marker), 0);
    EXPECT_EQ(qelMemMgrGetUserValue(heap, &v), 0);
    EXPECT_EQ(v, &marker);

    QELMemoryMgr foreign{};
    EXPECT_EQ(qelMemMgrIsValid(&foreign), QELError_BadParams);
    EXPECT_EQ(qelMemMgrIsValid(nullptr), QELError_BadParams);
    EXPECT_EQ(qelMemMgrFree(&foreign), QELError_BadParams);
    EXPECT_EQ(qelMemMgrFree(def), 0);
    EXPECT_EQ(qelMemMgrFree(heap), 0);
}

TEST_F(MemoryTest, ZeroByteBlockIsGuarded)
{
    void *p = qelMemAlloc(mgr, 0, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(qelMemBlockInfo(p), 1);
    EXPECT_EQ(qelMemFree(p), 0);
    EXPECT_EQ(tally.frees, 1);
}

TEST_F(MemoryTest, ClearFlagZeroesAndHeaderDescribesBlock)
{
    auto *p = static_cast<unsigned char *>(qelMemAlloc(mgr, 100, QELMemFlag_Clear));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(100, '\0'), std::string(reinterpret_cast<char *>(p), 100));
    const auto *h = reinterpret_cast<const QELMemBlockHeader *>(p - 32);
    EXPECT_EQ(h->owner, mgr);
    EXPECT_EQ(h->sizeWord, 100u << 2);
    EXPECT_EQ(h->magic, QELMemBlockMagic);
    EXPECT_EQ(qelMemFree(p), 0);
}

TEST_F(MemoryTest, SecureBlockIsWipedBeforeRelease)
{
    auto *p = static_cast<unsigned char *>(qelMemAllocSecure(mgr, 48, 0));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(qelMemBlockInfo(p), 3);
    std::memset(p, 0xA5, 48);
    EXPECT_EQ(qelMemFree(p), 0);
    EXPECT_EQ(tally.secureFrees, 1);
    EXPECT_EQ(tally.lastSecureBytes, std::vector<unsigned char>(48, 0));
}

TEST(MemoryHeap, SecureBlocksReportLocking)
{
    QELMemoryMgr *heap = nullptr;
    ASSERT_EQ(qelMemMgrNewHeap(&heap), 0);
    void *p = qelMemAllocSecure(heap, 64, QELMemFlag_Clear);
    ASSERT_NE(p, nullptr);
    const int info = qelMemBlockInfo(p);
    EXPECT_TRUE(info == 3 || info == 7) << info;
    EXPECT_EQ(qelMemRealloc(heap, &p, 4096, QELMemFlag_Clear), 0);
    EXPECT_EQ(qelMemBlockInfo(p) & 3, 3);
    EXPECT_EQ(qelMemFree(p), 0);
    EXPECT_EQ(qelMemMgrFree(heap), 0);
}

TEST_F(MemoryTest, ForeignOrDamagedBlocksAreRefused)
{
    auto *p = static_cast<unsigned char *>(qelMemAlloc(mgr, 16, 0));
    ASSERT_NE(p, nullptr);
    auto *h = reinterpret_cast<QELMemBlockHeader *>(p - 32);
    h->magic = 0x12345678;
    EXPECT_EQ(qelMemFree(p), QELError_BadParams);
    EXPECT_EQ(qelMemBlockInfo(p), 0);
    void *q = p;
    EXPECT_EQ(qelMemRealloc(mgr, &q, 64, 0), QELError_BadParams);
    EXPECT_EQ(q, p);
    EXPECT_EQ(tally.frees, 0);
    EXPECT_EQ(tally.reallocs, 0);
    h->magic = QELMemBlockMagic;

    // A block may only be resized through the manager that owns it.
    QELMemoryMgr *other = nullptr;
    ASSERT_EQ(qelMemMgrNewHeap(&other), 0);
    EXPECT_EQ(qelMemRealloc(other, &q, 64, 0), QELError_BadParams);
    EXPECT_EQ(qelMemMgrFree(other), 0);

    EXPECT_EQ(qelMemFree(p), 0);
    EXPECT_EQ(qelMemFree(nullptr), QELError_BadParams);
    EXPECT_EQ(qelMemBlockInfo(nullptr), 0);
}

TEST_F(MemoryTest, SizesTheHeaderCannotHoldAreRefused)
{
    const int allocsBefore = tally.allocs;
    for (std::size_t size : {QELMemMaxBlockSize + 1, std::size_t{1} << 32, SIZE_MAX - 31, SIZE_MAX}) {
        EXPECT_EQ(qelMemAlloc(mgr, size, 0), nullptr) << size;
        EXPECT_EQ(qelMemAllocSecure(mgr, size, 0), nullptr) << size;
        void *p = nullptr;
        EXPECT_EQ(qelMemRealloc(mgr, &p, size, 0), QELError_OutOfMemory) << size;
    }
    EXPECT_EQ(tally.allocs + tally.secureAllocs, allocsBefore);
    void *p = qelMemAlloc(mgr, 8, 0);
    void *q = p;
    EXPECT_EQ(qelMemRealloc(mgr, &q, QELMemMaxBlockSize + 1, 0), QELError_OutOfMemory);
    EXPECT_EQ(q, p);
    EXPECT_EQ(qelMemFree(p), 0);
}

TEST_F(MemoryTest, ReallocCases)
{
    void *p = nullptr;
    EXPECT_EQ(qelMemRealloc(mgr, nullptr, 8, 0), QELError_BadParams);
    EXPECT_EQ(qelMemRealloc(nullptr, &p, 8, 0), QELError_BadParams);
    // Null pointer: allocates.
    ASSERT_EQ(qelMemRealloc(mgr, &p, 10, QELMemFlag_Clear), 0);
    ASSERT_NE(p, nullptr);
    std::memset(p, 'x', 10);
    // Growing with the clear flag zeroes the new tail and keeps the old bytes.
    ASSERT_EQ(qelMemRealloc(mgr, &p, 1000, QELMemFlag_Clear), 0);
    auto *b = static_cast<unsigned char *>(p);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b), 10), std::string(10, 'x'));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b + 10), 990), std::string(990, '\0'));
    EXPECT_EQ(qelMemBlockInfo(p), 1);
    ASSERT_EQ(qelMemRealloc(mgr, &p, 4, 0), 0);
    EXPECT_EQ(reinterpret_cast<QELMemBlockHeader *>(static_cast<char *>(p) - 32)->sizeWord, 4u << 2);
    EXPECT_EQ(qelMemFree(p), 0);

    // Secure blocks move to a new secure block and the old one is wiped.
    void *s = qelMemAllocSecure(mgr, 32, 0);
    ASSERT_NE(s, nullptr);
    std::memset(s, 0x5A, 32);
    ASSERT_EQ(qelMemRealloc(mgr, &s, 64, QELMemFlag_Clear), 0);
    EXPECT_EQ(tally.secureFrees, 1);
    EXPECT_EQ(tally.lastSecureBytes, std::vector<unsigned char>(32, 0));
    EXPECT_EQ(qelMemBlockInfo(s), 3);
    auto *sb = static_cast<unsigned char *>(s);
    EXPECT_EQ(std::vector<unsigned char>(sb, sb + 32), std::vector<unsigned char>(32, 0x5A));
    EXPECT_EQ(std::vector<unsigned char>(sb + 32, sb + 64), std::vector<unsigned char>(32, 0));
    // A failed secure move leaves the block as it was.
    tally.refuse = true;
    void *before = s;
    EXPECT_EQ(qelMemRealloc(mgr, &s, 128, 0), QELError_OutOfMemory);
    EXPECT_EQ(s, before);
    tally.refuse = false;
    EXPECT_EQ(qelMemFree(s), 0);
}

TEST(MemoryFill, PatternCases)
{
    struct Case {
        std::string pattern;
        std::size_t length;
        std::string expected;
    };
    const Case cases[] = {
        {"ab", 5, "ababa"},
        {"abcdef", 3, "abc"},
        {"x", 7, "xxxxxxx"},
        {"abc", 10, "abcabcabca"},
        {"abc", 0, ""},
    };
    for (const Case &c : cases) {
        std::string out(c.length + 2, '#');
        qelMemFillPattern(c.pattern.data(), c.pattern.size(), out.data(), c.length);
        EXPECT_EQ(out, c.expected + "##") << c.pattern << " " << c.length;
    }
    std::string out(4, '#');
    qelMemFillPattern("", 0, out.data(), out.size());
    EXPECT_EQ(out, "####");
}

TEST(MemoryCopy, OverlappingAreas)
{
    char buf[] = "abcdefgh";
    qelMemCopy(buf, buf + 2, 5);
    EXPECT_STREQ(buf, "ababcdeh");
    qelMemCopy(buf + 2, buf, 5);
    EXPECT_STREQ(buf, "abcdedeh");
}

TEST(MemoryPlain, AllocResizeFree)
{
    EXPECT_EQ(qelMemPlainAllocNonEmpty(0), nullptr);
    void *p = qelMemPlainResize(nullptr, 5);
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "hello", 5);
    std::uint64_t stored;
    std::memcpy(&stored, static_cast<char *>(p) - 8, 8);
    EXPECT_EQ(stored, 5u);
    ASSERT_EQ(qelMemPlainRealloc(&p, 4000), 0);
    EXPECT_EQ(std::memcmp(p, "hello", 5), 0);
    std::memcpy(&stored, static_cast<char *>(p) - 8, 8);
    EXPECT_EQ(stored, 4000u);
    p = qelMemPlainResize(p, 3);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::memcmp(p, "hel", 3), 0);
    EXPECT_EQ(qelMemPlainRealloc(&p, 3), 0);
    EXPECT_EQ(qelMemPlainRealloc(nullptr, 3), QELError_BadParams);
    EXPECT_EQ(qelMemPlainRealloc(&p, SIZE_MAX), QELError_OutOfMemory);
    EXPECT_EQ(qelMemPlainResize(p, 0), nullptr);
    qelMemPlainFree(nullptr);
}

TEST(MemoryList, RegisterFreeAndDefaults)
{
    EXPECT_EQ(qelMemMgrGetGlobal(), nullptr);
    EXPECT_EQ(qelMemMgrRegister(nullptr), QELError_BadParams);

    Tally appTally;
    const QELMemoryMgrCallbacks cb = appTally.callbacks();
    QELMemoryMgr *app = nullptr;
    ASSERT_EQ(qelMemMgrNew(&cb, &app), 0);
    ASSERT_EQ(qelMemMgrRegister(app), 0);
    ASSERT_EQ(qelMemMgrRegister(app), 0);
    EXPECT_EQ(appTally.allocs, 2); // the record and one node
    EXPECT_EQ(qelMemMgrGetGlobal(), app);

    // A failed node allocation leaves the global manager unchanged.
    Tally failTally;
    const QELMemoryMgrCallbacks fcb = failTally.callbacks();
    QELMemoryMgr *failing = nullptr;
    ASSERT_EQ(qelMemMgrNew(&fcb, &failing), 0);
    failTally.refuse = true;
    EXPECT_EQ(qelMemMgrRegister(failing), QELError_OutOfMemory);
    EXPECT_EQ(qelMemMgrGetGlobal(), app);
    EXPECT_EQ(qelMemMgrFree(failing), 0);

    QELMemoryMgr *def = nullptr;
    ASSERT_EQ(qelMemMgrNewDefault(0, &def), 0);
    ASSERT_EQ(qelMemMgrRegister(def), 0);
    EXPECT_EQ(qelMemMgrGetGlobal(), def);

    // Freeing the defaults leaves the application's manager registered.
    qelMemMgrFreeDefaults();
    EXPECT_EQ(qelMemMgrGetGlobal(), app);
    EXPECT_EQ(appTally.frees, 0);

    qelMemMgrFreeAll();
    EXPECT_EQ(qelMemMgrGetGlobal(), nullptr);
    EXPECT_EQ(appTally.frees, 2); // the node and the record

    // The list can be built again after it was emptied.
    QELMemoryMgr *again = nullptr;
    ASSERT_EQ(qelMemMgrNewDefault(0, &again), 0);
    ASSERT_EQ(qelMemMgrRegister(again), 0);
    EXPECT_EQ(qelMemMgrGetGlobal(), again);
    qelMemMgrFreeDefaults();
    EXPECT_EQ(qelMemMgrGetGlobal(), nullptr);
    qelMemMgrFreeAll(); // empty: nothing to do
}

// Secure blocks of every size class and above it, resized across classes
// and used from several threads at once, keep their bytes and report their
// pages; released memory is reused.
TEST(MemoryHeap, SecureBlocksOfEverySizeKeepTheirBytes)
{
    QELMemoryMgr *heap = nullptr;
    ASSERT_EQ(qelMemMgrNewHeap(&heap), 0);
    auto work = [heap](unsigned seed) {
        std::vector<std::pair<unsigned char *, std::size_t>> blocks;
        for (std::size_t size : {0, 1, 31, 32, 33, 100, 480, 1000, 2016, 4000, 8160, 8161, 20000}) {
            auto *p = static_cast<unsigned char *>(qelMemAllocSecure(heap, size, 0));
            if (p == nullptr)
                return false;
            if ((qelMemBlockInfo(p) & 3) != 3)
                return false;
            std::memset(p, int(seed + size), size);
            blocks.emplace_back(p, size);
        }
        for (auto &[p, size] : blocks) {
            void *q = p;
            const std::size_t grown = size * 3 + 50;
            if (qelMemRealloc(heap, &q, grown, QELMemFlag_Clear) != 0)
                return false;
            p = static_cast<unsigned char *>(q);
            for (std::size_t i = 0; i < grown; ++i)
                if (p[i] != (i < size ? (unsigned char)(seed + size) : 0))
                    return false;
            size = grown;
        }
        for (auto &[p, size] : blocks)
            if (qelMemFree(p) != 0)
                return false;
        return true;
    };
    for (int round = 0; round < 3; ++round)
        EXPECT_TRUE(work(round));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (unsigned t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                if (!work(t * 7 + i))
                    ++failures;
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(qelMemMgrFree(heap), 0);
}

// Blocks across the size from which the heap manager maps them directly:
// grown and shrunk across it, they keep their bytes.
TEST(MemoryHeap, LargeBlocksKeepTheirBytesAcrossResizes)
{
    QELMemoryMgr *heap = nullptr;
    ASSERT_EQ(qelMemMgrNewHeap(&heap), 0);
    const std::size_t big = QELMemMappedMin + 12345;
    auto *p = static_cast<unsigned char *>(qelMemAlloc(heap, 1000, 0));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, 1000);
    void *q = p;
    ASSERT_EQ(qelMemRealloc(heap, &q, big, QELMemFlag_Clear), 0);
    p = static_cast<unsigned char *>(q);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p), 1000), std::string(1000, '\x5A'));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p) + 1000, big - 1000), std::string(big - 1000, '\0'));
    p[big - 1] = 7;
    ASSERT_EQ(qelMemRealloc(heap, &q, 2 * big, 0), 0);
    p = static_cast<unsigned char *>(q);
    EXPECT_EQ(p[999], 0x5A);
    EXPECT_EQ(p[big - 1], 7);
    ASSERT_EQ(qelMemRealloc(heap, &q, 500, 0), 0);
    p = static_cast<unsigned char *>(q);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p), 500), std::string(500, '\x5A'));
    EXPECT_EQ(qelMemFree(q), 0);
    void *r = qelMemAlloc(heap, QELMemMappedMin, QELMemFlag_Clear);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(qelMemBlockInfo(r), 1);
    EXPECT_EQ(qelMemFree(r), 0);
    EXPECT_EQ(qelMemMgrFree(heap), 0);
}
