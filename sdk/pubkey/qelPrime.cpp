// Probable-prime test (a base-2 Euler test followed by strong tests to the
// bases 2..17), sieves over arithmetic progressions, the two prime searches
// and the fixed prime-group lookup.
#include "qelPrimeInternal.h"

#include "qelBigNumInternal.h"
#include "qelPrimeGroupsInternal.h"
#include "qelWipe.h"

#include <cstdarg>
#include <cstring>
#include <iterator>

namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

constexpr u32 kSieveBits = QELSieveBytes * 8;
constexpr u32 kBases[] = {2, 3, 5, 7, 11, 13, 17};

// A number begun on the stack and released on every exit.
struct LocalNum {
    QELBigNum n;
    LocalNum(QELMemoryMgr *mgr, std::uint8_t secure) { qelBigNumBegin(&n, mgr, secure); }
    LocalNum(const LocalNum &) = delete;
    ~LocalNum() { QELBigNumOps.qelBigNumFree(&n); }
};

std::int32_t report(QELPrimeProgressProc progress, void *user, char ch)
{
    if (progress == nullptr)
        return 0;
    std::int32_t rc = progress(user, ch);
    return rc < 0 ? rc : 0;
}

// Inverse of r modulo the prime f (0 < r < f) by the extended Euclidean
// algorithm on words.
u32 inverseModWord(u32 r, u32 f)
{
    long long t0 = 0, t1 = 1;
    long long a = f, b = r;
    while (b != 0) {
        long long q = a / b;
        long long tmp = a - q * b;
        a = b;
        b = tmp;
        tmp = t0 - q * t1;
        t0 = t1;
        t1 = tmp;
    }
    if (t0 < 0)
        t0 += f;
    return (u32)t0;
}

// Shared sieve body; stepModF(f) gives the step's residue.
template <typename StepMod>
void buildSieve(std::uint8_t *sieve, u32 bytes, const QELBigNum *start, bool stepOdd, StepMod stepModF,
                u32 chainCount)
{
    const auto &ops = QELBigNumOps;
    std::uint8_t fill = 0xFF;
    if (stepOdd)
        fill = (ops.qelBigNumLowWord(start) & 1u) ? 0x55 : 0xAA;
    std::memset(sieve, fill, bytes);

    std::uint8_t table[4096];
    qelSmallPrimeTable(table);
    for (u32 i = 1; i < 32768; ++i) {
        if (!(table[i >> 3] & (1u << (i & 7))))
            continue;
        const u32 f = 2 * i + 1;
        const u32 r = stepModF(f);
        if (r == 0)
            continue;
        const u32 u = inverseModWord(r, f);
        const u32 s = ops.qelBigNumModWord(start, f);
        u32 idx = (u32)(((u64)(f - u) * s) % f);
        qelSieveClearMultiples(sieve, bytes, idx, f);
        u32 uh = f - u;
        for (u32 c = 0; c < chainCount; ++c) {
            uh = (uh & 1u) ? (uh + f) / 2 : uh / 2;
            idx = (idx + uh) % f;
            qelSieveClearMultiples(sieve, bytes, idx, f);
        }
    }
}

bool bitSet(const std::uint8_t *sieve, u32 i) { return (sieve[i >> 3] >> (i & 7)) & 1u; }

// p += delta (or -= when negative) in steps the word operations take.
std::int32_t moveBy(QELBigNum *p, long long delta)
{
    const auto &ops = QELBigNumOps;
    const bool up = delta > 0;
    u64 left = up ? (u64)delta : 0 - (u64)delta;
    while (left != 0) {
        const u32 chunk = left > 65535 ? 65535 : (u32)left;
        std::int32_t rc = up ? ops.qelBigNumAddWord(p, chunk) : ops.qelBigNumSubtractWord(p, chunk);
        if (rc < 0)
            return -1;
        left -= chunk;
    }
    return 0;
}

// Tests the candidate in p. The search ends with a prime (result: the work
// done, the test's share included), a failure, or a cancel from the
// progress callback: then true, with the search's result in *outResult.
bool candidateEndsSearch(const QELBigNum *p, LocalNum &s1, LocalNum &s2,
                         QELPrimeProgressProc progress, void *userData, std::int32_t &work,
                         std::int32_t *outResult)
{
    std::int32_t rc = qelPrimeTest(p, &s1.n, &s2.n, progress, userData);
    if (rc <= 0) {
        *outResult = rc == 0 ? work + 7 : rc;
        return true;
    }
    work += rc;
    rc = report(progress, userData, '.');
    if (rc < 0) {
        *outResult = rc;
        return true;
    }
    return false;
}

// After a sieve's candidates p moves on to the next sieve (moved tells
// whether that worked). True when the search ends, with *outResult.
bool sieveEndsSearch(bool moved, QELPrimeProgressProc progress, void *userData,
                     std::int32_t *outResult)
{
    if (!moved) {
        *outResult = -1;
        return true;
    }
    std::int32_t rc = report(progress, userData, '/');
    if (rc < 0) {
        *outResult = rc;
        return true;
    }
    return false;
}

} // namespace

void qelSmallPrimeTable(std::uint8_t table[4096])
{
    std::memset(table, 0xFF, 4096);
    table[0] &= (std::uint8_t)~1u; // the number 1
    for (u32 i = 1; i < 128; ++i) {
        if (!(table[i >> 3] & (1u << (i & 7))))
            continue;
        const u32 b = 2 * i + 1;
        for (u32 j = (b * b - 1) / 2; j < 32768; j += b)
            table[j >> 3] &= (std::uint8_t)~(1u << (j & 7));
    }
}

std::int32_t qelPrimeTest(const QELBigNum *n, QELBigNum *s1, QELBigNum *s2, QELPrimeProgressProc progress,
                          void *userData)
{
    const auto &ops = QELBigNumOps;
    if ((ops.qelBigNumLowWord(n) & 1u) == 0)
        return -1;
    LocalNum x(n->memoryMgr, n->secure);
    LocalNum base(n->memoryMgr, 0);

    // s1 = n - 1, s2 = exponent of the preliminary test.
    if (ops.qelBigNumCopy(s1, n) != 0 || ops.qelBigNumSubtractWord(s1, 1) < 0)
        return -1;
    const u32 mod8 = ops.qelBigNumLowWord(n) & 7u;
    if (ops.qelBigNumCopy(s2, s1) != 0)
        return -1;
    ops.qelBigNumShiftRight(s2, mod8 == 1 ? 2 : 1);
    if (ops.qelBigNumPowerOfTwoMod(&x.n, s2, n) != 0)
        return -1;

    u32 firstBase = 1; // index into kBases: base 3
    switch (mod8) {
    case 7:
        if (ops.qelBigNumCompareWord(&x.n, 1) != 0)
            return 1;
        break;
    case 3:
    case 5:
        if (ops.qelBigNumCompare(&x.n, s1) != 0)
            return 1;
        break;
    default: // 1
        if (ops.qelBigNumCompareWord(&x.n, 1) == 0)
            firstBase = 0;
        else if (ops.qelBigNumCompare(&x.n, s1) != 0)
            return 1;
        break;
    }

    // Exponent e and squaring count k of the strong tests.
    u32 k = 1;
    if (mod8 == 5) {
        ops.qelBigNumShiftRight(s2, 1); // (n - 1) / 4
        k = 2;
    } else if (mod8 == 1) {
        k = 2 + ops.qelBigNumStripZeroBits(s2);
    }

    std::int32_t ordinal = 1;
    for (u32 b = firstBase; b < std::size(kBases); ++b) {
        ++ordinal;
        std::int32_t rc = report(progress, userData, '*');
        if (rc < 0)
            return rc;
        if (ops.qelBigNumSetWord(&base.n, kBases[b]) != 0 || ops.qelBigNumExpMod(&x.n, &base.n, s2, n) != 0)
            return -1;
        if (ops.qelBigNumCompareWord(&x.n, 1) == 0)
            continue;
        bool passed = false;
        for (u32 i = 0; i < k; ++i) {
            if (ops.qelBigNumCompare(&x.n, s1) == 0) {
                passed = true;
                break;
            }
            if (i + 1 == k)
                break;
            if (ops.qelBigNumSquare(&x.n, &x.n) != 0 || ops.qelBigNumMod(&x.n, &x.n, n) != 0)
                return -1;
            if (ops.qelBigNumCompareWord(&x.n, 1) == 0)
                break;
        }
        if (!passed)
            return ordinal;
    }
    std::int32_t rc = report(progress, userData, '*');
    return rc < 0 ? rc : 0;
}

void qelSieveClearMultiples(std::uint8_t *sieve, u32 bytes, u32 first, u32 step)
{
    const u64 limit = u64(bytes) * 8;
    if (step == 0) {
        if (first < limit)
            sieve[first >> 3] &= (std::uint8_t)~(1u << (first & 7));
        return;
    }
    for (u32 j = 0; j < 8; ++j) {
        u64 start = u64(first) + u64(j) * step;
        if (start >= limit)
            break;
        const std::uint8_t mask = (std::uint8_t)~(1u << (start & 7));
        for (u64 byte = start >> 3; byte < bytes; byte += step)
            sieve[byte] &= mask;
    }
}

u32 qelSieveNextBit(const std::uint8_t *sieve, u32 bytes, u32 pos)
{
    if (pos == 0xFFFFFFFFu)
        return 0;
    u64 i = u64(pos) + 1;
    const u64 limit = u64(bytes) * 8;
    while (i < limit && (i & 7)) {
        if (bitSet(sieve, (u32)i))
            return (u32)i;
        ++i;
    }
    for (u64 byte = i >> 3; byte < bytes; ++byte) {
        if (sieve[byte])
            return (u32)(byte * 8 + (u32)__builtin_ctz(sieve[byte]));
    }
    return 0;
}

std::int32_t qelSieveBuild(std::uint8_t *sieve, u32 bytes, const QELBigNum *start, u32 step, u32 chainCount)
{
    buildSieve(sieve, bytes, start, (step & 1u) != 0, [step](u32 f) { return step % f; }, chainCount);
    return 0;
}

std::int32_t qelSieveBuildBigStep(std::uint8_t *sieve, u32 bytes, const QELBigNum *start, const QELBigNum *step,
                                  u32 chainCount)
{
    const auto &ops = QELBigNumOps;
    buildSieve(sieve, bytes, start, (ops.qelBigNumLowWord(step) & 1u) != 0,
               [step](u32 f) { return QELBigNumOps.qelBigNumModWord(step, f); }, chainCount);
    return 0;
}

std::int32_t qelPrimeSearch(QELBigNum *p, const QELBigNum *step, QELPrimeProgressProc progress, void *userData)
{
    const auto &ops = QELBigNumOps;
    LocalNum s1(p->memoryMgr, p->secure), s2(p->memoryMgr, p->secure);
    std::uint8_t sieve[QELSieveBytes];
    std::int32_t work = 0;

    // Every candidate is divisible by gcd(p, step): a progression with a
    // common factor holds no prime, and searching it would never end.
    if (ops.qelBigNumGCD(&s1.n, p, step) != 0)
        return -1;
    if (ops.qelBigNumCompareWord(&s1.n, 1) != 0)
        return -1;

    auto advance = [&](u32 count) -> bool {
        if (count == 0)
            return true;
        return ops.qelBigNumMultiplyWord(&s1.n, step, count) == 0 && ops.qelBigNumAdd(p, &s1.n) == 0;
    };

    auto search = [&]() -> std::int32_t {
        std::int32_t result = 0;
        for (;;) {
            qelSieveBuildBigStep(sieve, QELSieveBytes, p, step, 0);
            u32 prev = 0;
            u32 idx = bitSet(sieve, 0) ? 0 : qelSieveNextBit(sieve, QELSieveBytes, 0);
            bool any = bitSet(sieve, 0) || idx != 0;
            while (any) {
                if (!advance(idx - prev))
                    return -1;
                prev = idx;
                if (candidateEndsSearch(p, s1, s2, progress, userData, work, &result))
                    return result;
                idx = qelSieveNextBit(sieve, QELSieveBytes, idx);
                any = idx != 0;
            }
            if (sieveEndsSearch(advance(kSieveBits - prev), progress, userData, &result))
                return result;
        }
    };
    std::int32_t result = search();
    qelSecureWipe(sieve, sizeof sieve);
    return result;
}

std::int32_t qelPrimeSearchConstrainedList(QELBigNum *p, QELPrimeRandomIndexProc randomIndex,
                                           QELPrimeProgressProc progress, void *userData, const u32 *list,
                                           u32 count)
{
    const auto &ops = QELBigNumOps;
    LocalNum s1(p->memoryMgr, 1), s2(p->memoryMgr, 1);
    std::uint8_t sieve[QELSieveBytes];
    std::uint16_t survivors[256];
    std::int32_t work = 0;

    if ((ops.qelBigNumLowWord(p) & 1u) == 0 && ops.qelBigNumAddWord(p, 1) != 0)
        return -1;

    auto search = [&]() -> std::int32_t {
        std::int32_t result = 0;
        for (;;) {
            qelSieveBuild(sieve, QELSieveBytes, p, 2, 0);
            for (u32 i = 0; i < count; ++i) {
                const u32 d = list[i];
                if (d < 3 || (d & 1u) == 0)
                    continue;
                const u32 r = ops.qelBigNumModWord(p, d);
                u64 first;
                if (r == 0)
                    first = (u64(d) + 1) / 2;
                else if (r == 1)
                    first = 0;
                else if (((u64(d) - r + 1) & 1u) == 0)
                    first = (u64(d) - r + 1) / 2;
                else
                    first = (2 * u64(d) - r + 1) / 2;
                if (first < kSieveBits)
                    qelSieveClearMultiples(sieve, QELSieveBytes, (u32)first, d);
            }

            u32 n = 0;
            u32 next;
            if (bitSet(sieve, 0)) {
                survivors[n++] = 0;
                next = qelSieveNextBit(sieve, QELSieveBytes, 0);
            } else if ((next = qelSieveNextBit(sieve, QELSieveBytes, 0)) != 0) {
                survivors[n++] = (std::uint16_t)next;
                next = qelSieveNextBit(sieve, QELSieveBytes, next);
            }
            if (n == 0) {
                if (sieveEndsSearch(moveBy(p, 2 * (long long)kSieveBits) == 0, progress, userData,
                                    &result))
                    return result;
                continue;
            }
            if (randomIndex != nullptr) {
                while (n < 256 && next != 0) {
                    survivors[n++] = (std::uint16_t)next;
                    next = qelSieveNextBit(sieve, QELSieveBytes, next);
                }
            }

            u32 current = 0;
            while (n > 0) {
                u32 pick = randomIndex ? randomIndex(userData, n) : 0;
                if (pick >= n)
                    pick = 0;
                const u32 candidate = survivors[pick];
                if (next != 0) {
                    survivors[pick] = (std::uint16_t)next;
                    next = qelSieveNextBit(sieve, QELSieveBytes, next);
                } else {
                    survivors[pick] = survivors[n - 1];
                    --n;
                }
                if (moveBy(p, 2 * ((long long)candidate - (long long)current)) != 0)
                    return -1;
                current = candidate;
                if (candidateEndsSearch(p, s1, s2, progress, userData, work, &result))
                    return result;
            }
            if (sieveEndsSearch(moveBy(p, 2 * ((long long)kSieveBits - (long long)current)) == 0,
                                progress, userData, &result))
                return result;
        }
    };
    std::int32_t result = search();
    qelSecureWipe(survivors, sizeof survivors);
    qelSecureWipe(sieve, sizeof sieve);
    return result;
}

std::int32_t qelPrimeSearchConstrained(QELBigNum *p, QELPrimeRandomIndexProc randomIndex,
                                       QELPrimeProgressProc progress, void *userData, ...)
{
    u32 list[64];
    u32 count = 0;
    va_list ap;
    va_start(ap, userData);
    for (;;) {
        u32 d = va_arg(ap, u32);
        if (d == 0)
            break;
        if (count < std::size(list))
            list[count++] = d;
    }
    va_end(ap);
    return qelPrimeSearchConstrainedList(p, randomIndex, progress, userData, list, count);
}

namespace {
int lookupGroup(const QELPrimeGroupRow *rows, u32 bits, const std::uint8_t **p, std::uint64_t *pLength,
                const std::uint8_t **second, u32 *secondLength)
{
    for (u32 i = 0; i < 4; ++i) {
        if (rows[i].bits > bits)
            return 0;
        if (rows[i].bits == bits) {
            if (p)
                *p = rows[i].p;
            if (pLength)
                *pLength = rows[i].pLength;
            if (second)
                *second = rows[i].second;
            if (secondLength)
                *secondLength = rows[i].secondLength;
            return 1;
        }
    }
    return 0;
}
} // namespace

int qelFixedDSAPrime(u32 bits, const std::uint8_t **p, std::uint64_t *pLength, const std::uint8_t **q,
                     u32 *qLength)
{
    return lookupGroup(qelDSAGroups, bits, p, pLength, q, qLength);
}

int qelFixedElGamalPrime(u32 bits, const std::uint8_t **p, std::uint64_t *pLength, const std::uint8_t **g,
                         u32 *gLength)
{
    return lookupGroup(qelElGamalGroups, bits, p, pLength, g, gLength);
}
