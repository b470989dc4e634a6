// Linked into every test program: CTest runs each test a second time with
// QEL_TEST_PORTABLE_CRYPTO=1 (the ".portable" copies), which sends the whole
// program down the portable hash, cipher and big-number code. The variable
// is read by the tests only; the SDK itself has no such setting.
#include <cstdlib>

#include "qelCryptoCPU.h"
#include "qelTestHooks.h"

namespace {

const bool kPortableRun = [] {
    const char *value = std::getenv("QEL_TEST_PORTABLE_CRYPTO");
    const bool portable = value != nullptr && value[0] == '1';
    if (portable)
        qelTestForcePortableCrypto(true);
    return portable;
}();

} // namespace
