#include "qelAVLTreeInternal.h"

#include "qelMemoryInternal.h"

#include <utility>

namespace {

constexpr std::int32_t leftHigh = 0;
constexpr std::int32_t even = 1;
constexpr std::int32_t rightHigh = 2;

// Double rotation through m, which becomes the subtree's root; a and b are
// the two nodes it lands between (a on m's left, b on m's right).
void settleDouble(QELAVLNode *m, QELAVLNode *a, QELAVLNode *b)
{
    switch (m->balance) {
    case leftHigh:
        a->balance = even;
        b->balance = rightHigh;
        break;
    case rightHigh:
        a->balance = leftHigh;
        b->balance = even;
        break;
    default:
        a->balance = even;
        b->balance = even;
        break;
    }
    m->balance = even;
}

// p's left child l is two levels higher than its right: l has balance
// leftHigh (or even, on removal) for a single rotation, rightHigh for a double.
QELAVLNode *rotateRight(QELAVLNode *p)
{
    QELAVLNode *l = p->left;
    p->left = l->right;
    l->right = p;
    return l;
}

QELAVLNode *rotateLeft(QELAVLNode *p)
{
    QELAVLNode *r = p->right;
    p->right = r->left;
    r->left = p;
    return r;
}

QELAVLNode *doubleRight(QELAVLNode *p)
{
    QELAVLNode *l = p->left;
    QELAVLNode *m = l->right;
    l->right = m->left;
    p->left = m->right;
    m->left = l;
    m->right = p;
    settleDouble(m, l, p);
    return m;
}

QELAVLNode *doubleLeft(QELAVLNode *p)
{
    QELAVLNode *r = p->right;
    QELAVLNode *m = r->left;
    r->left = m->right;
    p->right = m->left;
    m->left = p;
    m->right = r;
    settleDouble(m, p, r);
    return m;
}

QELStatus insert(QELMemoryMgr *mgr, QELAVLNode *&p, std::int64_t key, void *value, bool &grew)
{
    if (p == nullptr) {
        auto *n = static_cast<QELAVLNode *>(qelMemAlloc(mgr, sizeof(QELAVLNode), 0));
        if (n == nullptr) {
            grew = false;
            return QELError_OutOfMemory;
        }
        *n = QELAVLNode{key, value, nullptr, nullptr, even};
        p = n;
        grew = true;
        return QELError_NoErr;
    }
    if (key == p->key) {
        grew = false;
        return QELError_ItemAlreadyExists;
    }
    if (key < p->key) {
        const QELStatus status = insert(mgr, p->left, key, value, grew);
        if (status != QELError_NoErr || !grew)
            return status;
        switch (p->balance) {
        case even:
            p->balance = leftHigh;
            break;
        case rightHigh:
            p->balance = even;
            grew = false;
            break;
        default:
            if (p->left->balance == leftHigh) {
                p->left->balance = even;
                p->balance = even;
                p = rotateRight(p);
            } else {
                p = doubleRight(p);
            }
            grew = false;
            break;
        }
        return QELError_NoErr;
    }
    const QELStatus status = insert(mgr, p->right, key, value, grew);
    if (status != QELError_NoErr || !grew)
        return status;
    switch (p->balance) {
    case even:
        p->balance = rightHigh;
        break;
    case leftHigh:
        p->balance = even;
        grew = false;
        break;
    default:
        if (p->right->balance == rightHigh) {
            p->right->balance = even;
            p->balance = even;
            p = rotateLeft(p);
        } else {
            p = doubleLeft(p);
        }
        grew = false;
        break;
    }
    return QELError_NoErr;
}

// The left subtree of p lost a level; shrank says whether p's did.
void leftShrank(QELAVLNode *&p, bool &shrank)
{
    switch (p->balance) {
    case even:
        p->balance = rightHigh;
        shrank = false;
        return;
    case leftHigh:
        p->balance = even;
        shrank = true;
        return;
    default: {
        QELAVLNode *r = p->right;
        if (r->balance == even) {
            p->balance = rightHigh;
            r->balance = leftHigh;
            p = rotateLeft(p);
            shrank = false;
        } else if (r->balance == rightHigh) {
            p->balance = even;
            r->balance = even;
            p = rotateLeft(p);
            shrank = true;
        } else {
            p = doubleLeft(p);
            shrank = true;
        }
        return;
    }
    }
}

void rightShrank(QELAVLNode *&p, bool &shrank)
{
    switch (p->balance) {
    case even:
        p->balance = leftHigh;
        shrank = false;
        return;
    case rightHigh:
        p->balance = even;
        shrank = true;
        return;
    default: {
        QELAVLNode *l = p->left;
        if (l->balance == even) {
            p->balance = leftHigh;
            l->balance = rightHigh;
            p = rotateRight(p);
            shrank = false;
        } else if (l->balance == leftHigh) {
            p->balance = even;
            l->balance = even;
            p = rotateRight(p);
            shrank = true;
        } else {
            p = doubleRight(p);
            shrank = true;
        }
        return;
    }
    }
}

void remove(QELAVLNode *&p, std::int64_t key, void *&value, bool &shrank)
{
    if (p == nullptr) {
        shrank = false;
        return;
    }
    if (key < p->key) {
        remove(p->left, key, value, shrank);
        if (shrank)
            leftShrank(p, shrank);
        return;
    }
    if (key > p->key) {
        remove(p->right, key, value, shrank);
        if (shrank)
            rightShrank(p, shrank);
        return;
    }
    if (p->left != nullptr && p->right != nullptr) {
        // Trade places with the successor, then remove the key from the
        // right subtree, where it now sits in a node without a left child.
        QELAVLNode *s = p->right;
        while (s->left != nullptr)
            s = s->left;
        std::swap(p->key, s->key);
        std::swap(p->value, s->value);
        remove(p->right, key, value, shrank);
        if (shrank)
            rightShrank(p, shrank);
        return;
    }
    QELAVLNode *gone = p;
    value = gone->value;
    p = gone->left != nullptr ? gone->left : gone->right;
    static_cast<void>(qelMemFree(gone));
    shrank = true;
}

std::int32_t walk(const QELAVLNode *p, QELAVLWalkProc callback, void *userData)
{
    while (p != nullptr) {
        if (const std::int32_t r = walk(p->left, callback, userData); r != 0)
            return r;
        if (const std::int32_t r = callback(userData, p->key, p->value); r != 0)
            return r;
        p = p->right;
    }
    return 0;
}

void freeNodes(QELAVLNode *p)
{
    if (p == nullptr)
        return;
    freeNodes(p->left);
    freeNodes(p->right);
    static_cast<void>(qelMemFree(p));
}

QELAVLNode *findNode(QELAVLTree *tree, std::int64_t key)
{
    QELAVLNode *p = tree->root;
    while (p != nullptr) {
        if (key == p->key)
            return p;
        p = key >= p->key ? p->right : p->left;
    }
    return nullptr;
}

} // namespace

QELStatus qelAVLCreate(QELMemoryMgr *memoryMgr, QELAVLTree **outTree)
{
    if (outTree == nullptr)
        return QELError_BadParams;
    *outTree = nullptr;
    if (qelMemMgrIsValid(memoryMgr) != QELError_NoErr)
        return QELError_BadParams;
    auto *tree = static_cast<QELAVLTree *>(qelMemAlloc(memoryMgr, sizeof(QELAVLTree), 0));
    if (tree == nullptr)
        return QELError_OutOfMemory;
    tree->memoryMgr = memoryMgr;
    tree->root = nullptr;
    *outTree = tree;
    return QELError_NoErr;
}

QELStatus qelAVLInsert(QELAVLTree *tree, std::int64_t key, void *value)
{
    if (tree == nullptr)
        return QELError_BadParams;
    bool grew = false;
    return insert(tree->memoryMgr, tree->root, key, value, grew);
}

QELStatus qelAVLFind(QELAVLTree *tree, std::int64_t key, void **outValue)
{
    if (tree == nullptr)
        return QELError_BadParams;
    const QELAVLNode *n = findNode(tree, key);
    if (n == nullptr)
        return QELError_ItemNotFound;
    if (outValue != nullptr)
        *outValue = n->value;
    return QELError_NoErr;
}

QELStatus qelAVLReplace(QELAVLTree *tree, std::int64_t key, void *newValue, void **outOldValue)
{
    if (tree == nullptr)
        return QELError_BadParams;
    QELAVLNode *n = findNode(tree, key);
    if (n == nullptr)
        return QELError_ItemNotFound;
    if (outOldValue != nullptr)
        *outOldValue = n->value;
    n->value = newValue;
    return QELError_NoErr;
}

QELStatus qelAVLRemove(QELAVLTree *tree, std::int64_t key, void **outValue)
{
    if (outValue != nullptr)
        *outValue = nullptr;
    if (tree == nullptr)
        return QELError_BadParams;
    void *value = nullptr;
    bool shrank = false;
    remove(tree->root, key, value, shrank);
    if (outValue != nullptr)
        *outValue = value;
    return value == nullptr ? QELError_ItemNotFound : QELError_NoErr;
}

QELStatus qelAVLWalk(QELAVLTree *tree, QELAVLWalkProc callback, void *userData)
{
    if (tree == nullptr || callback == nullptr)
        return QELError_BadParams;
    return walk(tree->root, callback, userData);
}

QELStatus qelAVLFree(QELAVLTree *tree)
{
    if (tree == nullptr)
        return QELError_BadParams;
    freeNodes(tree->root);
    tree->root = nullptr;
    static_cast<void>(qelMemFree(tree));
    return QELError_NoErr;
}
