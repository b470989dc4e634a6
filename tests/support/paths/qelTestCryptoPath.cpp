// Linked into every test program: CTest runs each test a second time with
// QEL_TEST_PORTABLE_CRYPTO=1 (the ".portable" copies), which sends the whole
// program down the portable hash, cipher and big-number code, and the hash
// suites a third time with QEL_TEST_SHA512_AVX2=1 (the ".avx2" copies), which
// keeps SHA-384/512 on their AVX2 code where the processor has AVX-512. The
// variables are read by the tests only; the SDK itself has no such setting.
#include <cstdlib>

#include "qelCryptoCPU.h"
#include "qelTestHooks.h"

namespace {

bool envSet(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr && value[0] == '1';
}

const bool kPortableRun = [] {
    const bool portable = envSet("QEL_TEST_PORTABLE_CRYPTO");
    if (portable)
        qelTestForcePortableCrypto(true);
    return portable;
}();

const bool kSHA512AVX2Run = [] {
    const bool avx2 = envSet("QEL_TEST_SHA512_AVX2");
    if (avx2)
        qelTestForceSHA512AVX2(true);
    return avx2;
}();

} // namespace
