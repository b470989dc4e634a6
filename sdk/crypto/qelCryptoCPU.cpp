// Processor feature detection for the crypto code, decided once.
#include "qelCryptoCPU.h"
#include "qelTestHooks.h"

#include <atomic>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

struct Features {
    bool sha = false;
    bool aes = false;
    bool avx2 = false;
    bool avx512 = false;
    bool mulx = false;
    bool ifma = false;
};

#if defined(__x86_64__)
// The ymm state must be enabled by the operating system (XCR0 bits 1 and 2)
// before AVX2 may be used.
bool osSavesYmm()
{
    std::uint32_t eax = 0, edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (eax & 6u) == 6u;
}

// The zmm state and the mask registers too (XCR0 bits 5 to 7).
bool osSavesZmm()
{
    std::uint32_t eax = 0, edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (eax & 0xE6u) == 0xE6u;
}

Features detect()
{
    Features f;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return f;
    const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
    const bool aesni = (c & (1u << 25)) != 0, osxsave = (c & (1u << 27)) != 0;
    const bool avx = (c & (1u << 28)) != 0;
    f.aes = aesni && ssse3 && sse41;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return f;
    f.sha = (b & (1u << 29)) != 0 && ssse3 && sse41;
    f.avx2 = (b & (1u << 5)) != 0 && avx && osxsave && osSavesYmm();
    f.mulx = (b & (1u << 8)) != 0 && (b & (1u << 19)) != 0; // BMI2, ADX
    const bool bmi = (b & (1u << 3)) != 0 && (b & (1u << 8)) != 0; // BMI1, BMI2
    f.avx512 = (b & (1u << 16)) != 0 && (b & (1u << 30)) != 0 && bmi && avx && osxsave && osSavesZmm(); // AVX512F, BW
    f.ifma = (b & (1u << 16)) != 0 && (b & (1u << 21)) != 0 && avx && osxsave && osSavesZmm(); // AVX512F, IFMA
    return f;
}
#else
Features detect()
{
    return {};
}
#endif

const Features &features()
{
    static const Features f = detect();
    return f;
}

#ifdef QEL_TEST_HOOKS
std::atomic<bool> gPortable{false};
std::atomic<bool> gSHA512AVX2{false};

inline bool allowed()
{
    return !gPortable.load(std::memory_order_relaxed);
}

inline bool wideAllowed()
{
    return !gSHA512AVX2.load(std::memory_order_relaxed);
}
#else
constexpr bool allowed()
{
    return true;
}

constexpr bool wideAllowed()
{
    return true;
}
#endif

} // namespace

bool qelCryptoUseSHA()
{
    return allowed() && features().sha;
}

bool qelCryptoUseAES()
{
    return allowed() && features().aes;
}

bool qelCryptoUseAVX2()
{
    return allowed() && features().avx2;
}

bool qelCryptoUseAVX512()
{
    return allowed() && wideAllowed() && features().avx512;
}

bool qelCryptoUseMULX()
{
    return allowed() && features().mulx;
}

bool qelCryptoUseIFMA()
{
    return allowed() && features().ifma;
}

#ifdef QEL_TEST_HOOKS
void qelTestForcePortableCrypto(bool portable)
{
    gPortable.store(portable, std::memory_order_relaxed);
}

bool qelTestPortableCryptoForced()
{
    return !allowed();
}

void qelTestForceSHA512AVX2(bool avx2)
{
    gSHA512AVX2.store(avx2, std::memory_order_relaxed);
}

bool qelTestSHA512AVX2Forced()
{
    return !wideAllowed();
}
#endif
