// Memory managers for tests: one over malloc that counts what it is asked
// for and refuses what a test tells it to, and the callback block for any
// other set of plain procedures.
#pragma once

#include "qelMemoryInternal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>

namespace qeltest {

// Callbacks over plain alloc/realloc/free procedures; the secure entry
// points forward to them and report the pages as not locked.
template <QELMemAllocProc Alloc, QELMemReallocProc Realloc, QELMemFreeProc Free>
QELMemoryMgrCallbacks plainCallbacks(void *userValue)
{
    QELMemoryMgrCallbacks cb{};
    cb.blockSize = sizeof cb;
    cb.alloc = Alloc;
    cb.realloc = Realloc;
    cb.free = Free;
    cb.secureAlloc = [](QELMemoryMgr *m, void *user, std::size_t size, std::uint32_t flags,
                        std::uint8_t *locked) -> void * {
        *locked = 0;
        return Alloc(m, user, size, flags);
    };
    cb.secureFree = [](QELMemoryMgr *m, void *user, void *p, std::size_t size, std::uint8_t) {
        return Free(m, user, p, size);
    };
    cb.userValue = userValue;
    return cb;
}

// A heap manager over malloc. Plain and secure requests are counted apart
// (secure blocks are never locked); every refusal rule below applies to
// both kinds, and the budget and the switch to resizes as well.
struct TestHeap {
    // What it was asked for.
    long allocations = 0;  // allocations asked for, granted or refused
    long allocs = 0;       // plain allocations granted
    long secureAllocs = 0; // secure allocations granted
    long reallocs = 0;     // resizes asked for
    long frees = 0;        // plain blocks returned
    long secureFrees = 0;  // secure blocks returned
    long live = 0;         // blocks granted and not yet returned

    // What it refuses.
    bool refuse = false;     // every allocation and resize while set
    long failAt = 0;         // the allocation that makes `allocations` reach this, and all after (0: none)
    long countdown = 0;      // only the countdown-th allocation from now (0: none)
    long allowed = -1;       // allocations and resizes still granted (-1: no limit)
    std::size_t failSize = 0; // allocations of exactly this size, header included (0: none)
    std::size_t sizeLimit = SIZE_MAX; // allocations larger than this

    // Sees each block as it is returned, past its header, before it is freed.
    std::function<void(const std::uint8_t *payload, std::size_t length, bool secure)> onFree;

    QELMemoryMgrCallbacks callbacks()
    {
        QELMemoryMgrCallbacks cb = plainCallbacks<alloc, realloc, release>(this);
        cb.secureAlloc = secureAlloc;
        cb.secureFree = secureFree;
        return cb;
    }

    // A manager over this heap (the manager record is its first block).
    QELMemoryMgr *make()
    {
        const QELMemoryMgrCallbacks cb = callbacks();
        QELMemoryMgr *mgr = nullptr;
        EXPECT_EQ(qelMemMgrNew(&cb, &mgr), QELError_NoErr);
        return mgr;
    }

private:
    bool admit(std::size_t size)
    {
        ++allocations;
        const bool countedOut = countdown > 0 && --countdown == 0;
        if (refuse || countedOut || (failAt != 0 && allocations >= failAt) || allowed == 0 ||
            (failSize != 0 && size == failSize) || size > sizeLimit)
            return false;
        if (allowed > 0)
            --allowed;
        return true;
    }
    void *grant(std::size_t size, long &counter)
    {
        if (!admit(size))
            return nullptr;
        void *p = std::malloc(size);
        if (p != nullptr) {
            ++counter;
            ++live;
        }
        return p;
    }
    void returned(void *p, std::size_t size, bool secure)
    {
        --live;
        ++(secure ? secureFrees : frees);
        if (onFree && size >= QELMemBlockHeaderSize)
            onFree(static_cast<const std::uint8_t *>(p) + QELMemBlockHeaderSize,
                   size - QELMemBlockHeaderSize, secure);
        std::free(p);
    }

    static TestHeap *self(void *user) { return static_cast<TestHeap *>(user); }
    static void *alloc(QELMemoryMgr *, void *user, std::size_t size, std::uint32_t)
    {
        return self(user)->grant(size, self(user)->allocs);
    }
    static QELStatus realloc(QELMemoryMgr *, void *user, void **p, std::size_t size, std::uint32_t,
                             std::size_t)
    {
        TestHeap *h = self(user);
        ++h->reallocs;
        if (h->refuse || h->allowed == 0)
            return QELError_OutOfMemory;
        void *q = std::realloc(*p, size);
        if (q == nullptr)
            return QELError_OutOfMemory;
        if (h->allowed > 0)
            --h->allowed;
        *p = q;
        return QELError_NoErr;
    }
    static QELStatus release(QELMemoryMgr *, void *user, void *p, std::size_t size)
    {
        self(user)->returned(p, size, false);
        return QELError_NoErr;
    }
    static void *secureAlloc(QELMemoryMgr *, void *user, std::size_t size, std::uint32_t,
                             std::uint8_t *locked)
    {
        *locked = 0;
        return self(user)->grant(size, self(user)->secureAllocs);
    }
    static QELStatus secureFree(QELMemoryMgr *, void *user, void *p, std::size_t size, std::uint8_t)
    {
        self(user)->returned(p, size, true);
        return QELError_NoErr;
    }
};

} // namespace qeltest
