#include "qelAVLTreeInternal.h"

#include "qelMemoryInternal.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

namespace {

// Height of the subtree, checking order and balance fields on the way.
int checkedHeight(const QELAVLNode *n, std::int64_t lo, std::int64_t hi, bool haveLo, bool haveHi)
{
    if (n == nullptr)
        return 0;
    EXPECT_TRUE(!haveLo || n->key > lo);
    EXPECT_TRUE(!haveHi || n->key < hi);
    const int l = checkedHeight(n->left, lo, n->key, haveLo, true);
    const int r = checkedHeight(n->right, n->key, hi, true, haveHi);
    EXPECT_LE(std::abs(l - r), 1) << "at key " << n->key;
    EXPECT_EQ(n->balance, l > r ? 0 : (l == r ? 1 : 2)) << "at key " << n->key;
    return 1 + std::max(l, r);
}

void expectValid(const QELAVLTree *t) { checkedHeight(t->root, 0, 0, false, false); }

std::int32_t collect(void *ud, std::int64_t key, void *)
{
    static_cast<std::vector<std::int64_t> *>(ud)->push_back(key);
    return 0;
}

std::vector<std::int64_t> keys(QELAVLTree *t)
{
    std::vector<std::int64_t> out;
    EXPECT_EQ(qelAVLWalk(t, collect, &out), 0);
    return out;
}

void *val(std::intptr_t v) { return reinterpret_cast<void *>(v); }

class AVLTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(qelMemMgrNewHeap(&mgr), 0);
        ASSERT_EQ(qelAVLCreate(mgr, &tree), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(qelAVLFree(tree), 0);
        EXPECT_EQ(qelMemMgrFree(mgr), 0);
    }
    QELMemoryMgr *mgr = nullptr;
    QELAVLTree *tree = nullptr;
};

} // namespace

TEST_F(AVLTest, AscendingInsertStaysBalanced)
{
    for (std::int64_t k = 1; k <= 1000; ++k)
        ASSERT_EQ(qelAVLInsert(tree, k, val(k)), 0);
    expectValid(tree);
    std::vector<std::int64_t> expected(1000);
    for (int i = 0; i < 1000; ++i)
        expected[i] = i + 1;
    EXPECT_EQ(keys(tree), expected);
    // Height of a perfectly filled 1000-node tree is 10; AVL allows at most 1.44 log2 n.
    EXPECT_LE(checkedHeight(tree->root, 0, 0, false, false), 14);
}

TEST_F(AVLTest, NegativeKeysSortFirst)
{
    for (std::int64_t k : {5, -3, 0})
        ASSERT_EQ(qelAVLInsert(tree, k, nullptr), 0);
    EXPECT_EQ(keys(tree), (std::vector<std::int64_t>{-3, 0, 5}));
    ASSERT_EQ(qelAVLInsert(tree, INT64_MIN, nullptr), 0);
    ASSERT_EQ(qelAVLInsert(tree, INT64_MAX, nullptr), 0);
    EXPECT_EQ(keys(tree), (std::vector<std::int64_t>{INT64_MIN, -3, 0, 5, INT64_MAX}));
}

TEST_F(AVLTest, FindReplaceAndDuplicates)
{
    ASSERT_EQ(qelAVLInsert(tree, 10, val(100)), 0);
    EXPECT_EQ(qelAVLInsert(tree, 10, val(200)), QELError_ItemAlreadyExists);
    void *v = nullptr;
    EXPECT_EQ(qelAVLFind(tree, 10, &v), 0);
    EXPECT_EQ(v, val(100));
    EXPECT_EQ(qelAVLFind(tree, 10, nullptr), 0);
    EXPECT_EQ(qelAVLFind(tree, 11, nullptr), QELError_ItemNotFound);
    void *old = nullptr;
    EXPECT_EQ(qelAVLReplace(tree, 10, val(300), &old), 0);
    EXPECT_EQ(old, val(100));
    EXPECT_EQ(qelAVLFind(tree, 10, &v), 0);
    EXPECT_EQ(v, val(300));
    EXPECT_EQ(qelAVLReplace(tree, 12, val(1), &old), QELError_ItemNotFound);
}

TEST_F(AVLTest, RemoveCases)
{
    for (std::int64_t k : {2, 1, 3})
        ASSERT_EQ(qelAVLInsert(tree, k, val(k * 10)), 0);
    void *v = nullptr;
    EXPECT_EQ(qelAVLRemove(tree, 2, &v), 0); // the root
    EXPECT_EQ(v, val(20));
    expectValid(tree);
    EXPECT_EQ(keys(tree), (std::vector<std::int64_t>{1, 3}));
    // Absent key: null value, not found.
    EXPECT_EQ(qelAVLRemove(tree, 9, &v), QELError_ItemNotFound);
    EXPECT_EQ(v, nullptr);
    // An entry stored with a null value is removed but reported as not found.
    ASSERT_EQ(qelAVLInsert(tree, 7, nullptr), 0);
    EXPECT_EQ(qelAVLRemove(tree, 7, &v), QELError_ItemNotFound);
    EXPECT_EQ(qelAVLFind(tree, 7, nullptr), QELError_ItemNotFound);
    EXPECT_EQ(keys(tree), (std::vector<std::int64_t>{1, 3}));
}

TEST_F(AVLTest, RandomOperationsMatchAMap)
{
    std::mt19937_64 rng(1210);
    std::uniform_int_distribution<int> keyDist(-300, 300);
    std::map<std::int64_t, std::intptr_t> model;
    for (int i = 0; i < 6000; ++i) {
        const std::int64_t k = keyDist(rng);
        if (rng() % 3 != 0) {
            const QELStatus s = qelAVLInsert(tree, k, val(k + 1000));
            EXPECT_EQ(s, model.count(k) ? QELError_ItemAlreadyExists : 0);
            model.emplace(k, k + 1000);
        } else {
            void *v = nullptr;
            const QELStatus s = qelAVLRemove(tree, k, &v);
            EXPECT_EQ(s, model.count(k) ? 0 : QELError_ItemNotFound);
            EXPECT_EQ(v, model.count(k) ? val(k + 1000) : nullptr);
            model.erase(k);
        }
        if (i % 500 == 0)
            expectValid(tree);
    }
    expectValid(tree);
    std::vector<std::int64_t> expected;
    for (const auto &[k, v] : model)
        expected.push_back(k);
    EXPECT_EQ(keys(tree), expected);
    for (const auto &[k, v] : model) {
        void *found = nullptr;
        ASSERT_EQ(qelAVLFind(tree, k, &found), 0);
        EXPECT_EQ(found, val(v));
    }
}

TEST_F(AVLTest, WalkStopsAtFirstNonZero)
{
    for (std::int64_t k = 1; k <= 5; ++k)
        ASSERT_EQ(qelAVLInsert(tree, k, nullptr), 0);
    int calls = 0;
    const auto stopAtThird = [](void *ud, std::int64_t, void *) -> std::int32_t {
        return ++*static_cast<int *>(ud) == 3 ? 7 : 0;
    };
    EXPECT_EQ(qelAVLWalk(tree, stopAtThird, &calls), 7);
    EXPECT_EQ(calls, 3);
}

TEST(AVLTree, BadParamsAndEmptyTree)
{
    EXPECT_EQ(qelAVLInsert(nullptr, 1, nullptr), QELError_BadParams);
    EXPECT_EQ(qelAVLFind(nullptr, 1, nullptr), QELError_BadParams);
    EXPECT_EQ(qelAVLReplace(nullptr, 1, nullptr, nullptr), QELError_BadParams);
    void *v = val(1);
    EXPECT_EQ(qelAVLRemove(nullptr, 1, &v), QELError_BadParams);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(qelAVLWalk(nullptr, collect, nullptr), QELError_BadParams);
    EXPECT_EQ(qelAVLFree(nullptr), QELError_BadParams);
    QELAVLTree *t = reinterpret_cast<QELAVLTree *>(0x1);
    EXPECT_EQ(qelAVLCreate(nullptr, &t), QELError_BadParams);
    EXPECT_EQ(t, nullptr);
    QELMemoryMgr *mgr = nullptr;
    ASSERT_EQ(qelMemMgrNewHeap(&mgr), 0);
    ASSERT_EQ(qelAVLCreate(mgr, &t), 0);
    EXPECT_EQ(keys(t), std::vector<std::int64_t>{});
    EXPECT_EQ(qelAVLFree(t), 0);
    EXPECT_EQ(qelMemMgrFree(mgr), 0);
}

TEST(AVLTree, FailedNodeAllocationLeavesTreeUnchanged)
{
    qeltest::TestHeap heap;
    heap.allowed = 5; // the manager, the tree and three nodes
    QELMemoryMgr *mgr = heap.make();
    ASSERT_NE(mgr, nullptr);
    QELAVLTree *t = nullptr;
    ASSERT_EQ(qelAVLCreate(mgr, &t), 0);
    for (std::int64_t k : {1, 2, 3})
        ASSERT_EQ(qelAVLInsert(t, k, nullptr), 0);
    EXPECT_EQ(qelAVLInsert(t, 4, nullptr), QELError_OutOfMemory);
    expectValid(t);
    EXPECT_EQ(keys(t), (std::vector<std::int64_t>{1, 2, 3}));
    QELAVLTree *t2 = t;
    EXPECT_EQ(qelAVLCreate(mgr, &t2), QELError_OutOfMemory);
    EXPECT_EQ(t2, nullptr);
    EXPECT_EQ(qelAVLFree(t), 0);
    EXPECT_EQ(qelMemMgrFree(mgr), 0);
}
