// The hand-over of computed values from secret to public (see the header);
// the test build forwards it to a checker (QEL_TEST_HOOKS).
#include "qelConstantTimeInternal.h"

#include "qelTestHooks.h"

#include <atomic>

#ifdef QEL_TEST_HOOKS
namespace {
std::atomic<QELDeclassifyProc> gDeclassify{nullptr};
std::atomic<QELDeclassifyProc> gClassify{nullptr};
}

void qelCTSetDeclassifyForTesting(QELDeclassifyProc proc)
{
    gDeclassify.store(proc, std::memory_order_relaxed);
}

void qelCTDeclassify(const void *data, std::size_t length)
{
    if (QELDeclassifyProc proc = gDeclassify.load(std::memory_order_relaxed))
        proc(data, length);
}

void qelCTSetClassifyForTesting(QELDeclassifyProc proc) { gClassify.store(proc, std::memory_order_relaxed); }

void qelCTClassify(const void *data, std::size_t length)
{
    if (QELDeclassifyProc proc = gClassify.load(std::memory_order_relaxed))
        proc(data, length);
}
#else
void qelCTDeclassify(const void *, std::size_t) {}
void qelCTClassify(const void *, std::size_t) {}
#endif
