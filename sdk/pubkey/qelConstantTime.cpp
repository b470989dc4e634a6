// The hand-over of computed values from secret to public (see the header);
// the test build forwards it to a checker (QEL_TEST_HOOKS).
#include "qelConstantTimeInternal.h"

#include "qelTestHooks.h"

#include <atomic>

#ifdef QEL_TEST_HOOKS
namespace {
std::atomic<QELDeclassifyProc> gDeclassify{nullptr};
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
#else
void qelCTDeclassify(const void *, std::size_t) {}
#endif
