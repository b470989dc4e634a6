// A height-balanced binary search tree from signed 64-bit keys to pointers.
// The tree never owns the values it stores.
#pragma once

#include "qelErrors.h"

#include <cstdint>

struct QELMemoryMgr;

struct QELAVLNode {
    std::int64_t key;
    void *value;
    QELAVLNode *left;
    QELAVLNode *right;
    // 0: left subtree one level higher; 1: even; 2: right subtree higher.
    std::int32_t balance;
};

struct QELAVLTree {
    QELMemoryMgr *memoryMgr;
    QELAVLNode *root;
};

using QELAVLWalkProc = std::int32_t (*)(void *userData, std::int64_t key, void *value);

// Each returns QELError_BadParams for a null tree (or a bad manager).
[[nodiscard]] QELStatus qelAVLCreate(QELMemoryMgr *memoryMgr, QELAVLTree **outTree);
// QELError_ItemAlreadyExists when the key is present (tree unchanged).
[[nodiscard]] QELStatus qelAVLInsert(QELAVLTree *tree, std::int64_t key, void *value);
// outValue may be null to test presence only; QELError_ItemNotFound when absent.
[[nodiscard]] QELStatus qelAVLFind(QELAVLTree *tree, std::int64_t key, void **outValue);
[[nodiscard]] QELStatus qelAVLReplace(QELAVLTree *tree, std::int64_t key, void *newValue, void **outOldValue);
// Hands back the removed entry's value; QELError_ItemNotFound whenever that
// value is null (also when the entry existed with a null value).
[[nodiscard]] QELStatus qelAVLRemove(QELAVLTree *tree, std::int64_t key, void **outValue);
// Ascending key order; stops at and returns the first non-zero callback result.
[[nodiscard]] QELStatus qelAVLWalk(QELAVLTree *tree, QELAVLWalkProc callback, void *userData);
[[nodiscard]] QELStatus qelAVLFree(QELAVLTree *tree);
