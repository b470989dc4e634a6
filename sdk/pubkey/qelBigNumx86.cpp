// Two modular exponentiations in lockstep on AVX-512 IFMA (52-bit
// multiply-add), for the two halves of an RSA private operation.
//
// Numbers are held as 52-bit limbs in 64-bit lanes, eight to a vector.
// Multiplication is almost-Montgomery (a result below 2m for inputs below
// 2m, with R = 2^(52L) > 4m), one limb of the multiplier per step: the low
// and high halves of the products are added before the accumulator moves
// down one lane (the high halves through copies of the operands moved up
// one lane), and the lane that leaves is followed in a scalar register,
// which also chooses the step's reduction factor. One step of each of the
// two numbers is interleaved with the other, so that the latency of one
// chain hides behind the work of the other.
//
// The exponents are read in fixed windows of five bits, so both run the
// same sequence of squarings and multiplications whatever their values, and
// the table entry is gathered by reading every entry under a mask.
#include "qelBigNumWordInternal.h"

#include "qelCryptoCPU.h"
#include "qelHelpers.h"
#include "qelWipe.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12's vector headers fill unused operands with deliberately undefined
// values, which its own flow analysis then reports.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#define QEL_IFMA_TARGET __attribute__((target("avx512f,avx512ifma")))

namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;
using u128 = unsigned __int128;

constexpr u64 kMask52 = (u64{1} << 52) - 1;
constexpr unsigned kWindow = 5;
constexpr unsigned kEntries = 1u << kWindow;
constexpr int kMaxVectors = 6;

// Both numbers' state of one multiplication.
template <int V> struct Pair {
    const u64 *a[2];
    const u64 *b[2];
    const u64 *m[2];
    const u64 *mUp[2];
    u64 k0[2];
    u64 *out[2];
};

#if defined(__clang__)
#define QEL_UNROLL _Pragma("unroll")
#else
#define QEL_UNROLL _Pragma("GCC unroll 8")
#endif

// One number's operands and accumulator inside a multiplication. The
// operands are read from memory (two numbers' operands would not fit the
// 32 vector registers beside their accumulators, and the spills cost more
// than the loads).
template <int V> struct Lanes {
    __m512i acc[V];
    const u64 *a, *aUp, *m, *mUp, *b; // aUp: a moved up one lane (lane j holds a[j-1])
    u64 low, k0;
};

template <int V> QEL_IFMA_TARGET __attribute__((always_inline)) inline void load(Lanes<V> &l, u64 *aUp, const u64 *a, const u64 *b,
                                                                                 const u64 *m, const u64 *mUp, u64 k0)
{
    const __m512i zero = _mm512_setzero_si512();
    __m512i prev = zero;
    QEL_UNROLL
    for (int v = 0; v < V; ++v) {
        l.acc[v] = zero;
        const __m512i cur = _mm512_load_si512(a + 8 * v);
        _mm512_store_si512(aUp + 8 * v, _mm512_alignr_epi64(cur, prev, 7));
        prev = cur;
    }
    l.a = a;
    l.aUp = aUp;
    l.m = m;
    l.mUp = mUp;
    l.b = b;
    l.low = 0;
    l.k0 = k0;
}

// acc = (acc + a b[i] + m y) / 2^52 for the step's reduction factor y.
//
// Lane 0 lives in a scalar (low), whole: the vector's lane 0 is never read.
// The next step's lane 0 (this step's lane 1 after the products) is made
// in the scalar too, from lane 1 as it stood before the step, so the chain
// from one reduction factor to the next stays in scalar registers; the
// vector work runs beside it and is only needed one step later.
template <int V> QEL_IFMA_TARGET __attribute__((always_inline)) inline void step(Lanes<V> &l, u32 i)
{
    const u64 *a = l.a, *aUp = l.aUp, *m = l.m, *mUp = l.mUp;
    const u64 bi = l.b[i];
    const __m512i B = _mm512_set1_epi64((long long)bi);
    const u64 lane1 = (u64)_mm_extract_epi64(_mm512_castsi512_si128(l.acc[0]), 1);
    const u128 a0b = (u128)a[0] * bi;
    u64 t = l.low + ((u64)a0b & kMask52);
    const u64 y = (t * l.k0) & kMask52;
    const u128 m0y = (u128)m[0] * y;
    t += (u64)m0y & kMask52;
    l.low = lane1 + (t >> 52) + (u64)(a0b >> 52) + (u64)(m0y >> 52) + ((a[1] * bi) & kMask52) +
            ((m[1] * y) & kMask52);
    QEL_UNROLL
    for (int v = 0; v < V; ++v) {
        l.acc[v] = _mm512_madd52lo_epu64(l.acc[v], _mm512_load_si512(a + 8 * v), B);
        l.acc[v] = _mm512_madd52hi_epu64(l.acc[v], _mm512_load_si512(aUp + 8 * v), B);
    }
    // The reduction's products start from zero, beside the accumulator's
    // chain, and join it by one addition.
    const __m512i Y = _mm512_set1_epi64((long long)y);
    QEL_UNROLL
    for (int v = 0; v < V; ++v) {
        const __m512i my = _mm512_madd52lo_epu64(_mm512_setzero_si512(), _mm512_load_si512(m + 8 * v), Y);
        l.acc[v] = _mm512_add_epi64(l.acc[v], _mm512_madd52hi_epu64(my, _mm512_load_si512(mUp + 8 * v), Y));
    }
    // Down one lane: lane 0 (a multiple of 2^52 now) leaves.
    const __m512i zero = _mm512_setzero_si512();
    QEL_UNROLL
    for (int v = 0; v < V - 1; ++v)
        l.acc[v] = _mm512_alignr_epi64(l.acc[v + 1], l.acc[v], 1);
    l.acc[V - 1] = _mm512_alignr_epi64(zero, l.acc[V - 1], 1);
}

// The accumulator back in 52-bit limbs.
template <int V> QEL_IFMA_TARGET __attribute__((always_inline)) inline void store(const Lanes<V> &l, u64 *out, u32 limbs)
{
    alignas(64) u64 t[8 * V];
    QEL_UNROLL
    for (int v = 0; v < V; ++v)
        _mm512_store_si512(t + 8 * v, l.acc[v]);
    t[0] = l.low;
    u64 c = 0;
    for (u32 j = 0; j < limbs; ++j) {
        const u64 x = t[j] + c;
        t[j] = x & kMask52;
        c = x >> 52;
    }
    std::memcpy(out, t, sizeof t);
}

// out_i = a_i * b_i / R mod m_i (almost) for both numbers.
template <int V> QEL_IFMA_TARGET void amm2(const Pair<V> &p, u32 limbs)
{
    Lanes<V> x, y;
    alignas(64) u64 up[2][8 * V];
    load<V>(x, up[0], p.a[0], p.b[0], p.m[0], p.mUp[0], p.k0[0]);
    load<V>(y, up[1], p.a[1], p.b[1], p.m[1], p.mUp[1], p.k0[1]);
    for (u32 i = 0; i < limbs; ++i) {
        step<V>(x, i);
        step<V>(y, i);
    }
    store<V>(x, p.out[0], limbs);
    store<V>(y, p.out[1], limbs);
}

// out = a b / R mod m (almost) for one number.
template <int V>
QEL_IFMA_TARGET void amm1(u64 *out, const u64 *a, const u64 *b, const u64 *m, const u64 *mUp, u64 k0, u32 limbs)
{
    Lanes<V> x;
    alignas(64) u64 up[8 * V];
    load<V>(x, up, a, b, m, mUp, k0);
    for (u32 i = 0; i < limbs; ++i)
        step<V>(x, i);
    store<V>(x, out, limbs);
}

// r = table[index] for both numbers, every entry read.
template <int V>
QEL_IFMA_TARGET void gather2(u64 *const out[2], const u64 *const table[2], const u32 index[2])
{
    for (int s = 0; s < 2; ++s) {
        const __m512i want = _mm512_set1_epi64(index[s]);
        __m512i r[V];
        QEL_UNROLL
        for (int v = 0; v < V; ++v)
            r[v] = _mm512_setzero_si512();
        for (u32 k = 0; k < kEntries; ++k) {
            const __mmask8 hit = _mm512_cmpeq_epi64_mask(_mm512_set1_epi64(k), want);
            const u64 *entry = table[s] + std::size_t(k) * 8 * V;
            QEL_UNROLL
            for (int v = 0; v < V; ++v)
                r[v] = _mm512_mask_mov_epi64(r[v], hit, _mm512_load_si512(entry + 8 * v));
        }
        QEL_UNROLL
        for (int v = 0; v < V; ++v)
            _mm512_store_si512(out[s] + 8 * v, r[v]);
    }
}

// 52-bit limbs from words (at most lanes of them: the words past them are
// zeros), and back.
void toLimbs(u64 *d, std::size_t lanes, const u32 *w, u32 n)
{
    std::memset(d, 0, lanes * sizeof(u64));
    for (u32 bit = 0, j = 0; bit < 32 * n && j < lanes; bit += 52, ++j) {
        u64 x = 0;
        for (u32 k = 0; k < 52 && bit + k < 32 * n; k += 32 - ((bit + k) % 32)) {
            const u32 pos = bit + k;
            x |= (u64)(w[pos / 32] >> (pos % 32)) << k;
        }
        d[j] = x & kMask52;
    }
}

void fromLimbs(u32 *w, u32 n, const u64 *d)
{
    for (u32 i = 0; i < n; ++i) {
        const u32 bit = 32 * i;
        const u32 j = bit / 52, off = bit % 52;
        u64 x = d[j] >> off;
        if (off > 20)
            x |= d[j + 1] << (52 - off);
        w[i] = (u32)x;
    }
}

// Bits pos .. pos+kWindow-1 of an exponent (past its end: zeros).
u32 windowAt(const u32 *e, u32 eLen, u32 pos)
{
    u32 r = 0;
    for (unsigned k = 0; k < kWindow; ++k) {
        const u32 bit = pos + k;
        if (bit / 32 < eLen)
            r |= ((e[bit / 32] >> (bit % 32)) & 1u) << k;
    }
    return r;
}

// A fixed count of Newton steps (3 bits, doubled five times), so that a
// secret modulus shows nothing.
u64 inverse52(u64 m0)
{
    u64 y = m0;
    for (int i = 0; i < 5; ++i)
        y *= 2 - m0 * y;
    return (0 - y) & kMask52;
}

// Bytes of scratch dualExp takes for `vectors` vectors a number.
std::size_t dualExpBytes(std::size_t vectors, u32 limbs, u32 n32)
{
    // Per number: m, m moved up, R^2, one (plain), base, accumulator, square
    // scratch, table; and the division scratch for R^2 mod m; 64 for the
    // alignment.
    const std::size_t perNumber = 8 * vectors * (7 + kEntries);
    const u32 divWords = (104 * limbs) / 32 + 2;
    return 64 + 2 * perNumber * sizeof(u64) + (divWords + n32) * sizeof(u32);
}

template <int V>
int dualExp(u32 *result[2], const u32 *base[2], const u32 *exp[2], const u32 expLen[2], const u32 *mod[2], u32 n32,
            u32 limbs, u32 modBits, const u32 *const r2Given[2], QELMemoryMgr *mgr, bool secure, u64 *workspace)
{
    // Vectors of eight lanes; the top lane stays free for the operands moved up.
    const std::size_t lanes = std::size_t(8) * V;
    const std::size_t perNumber = lanes * (7 + kEntries);
    const u32 divWords = (104 * limbs) / 32 + 2;
    qel::WipedBuffer<std::uint8_t> block;
    const std::size_t bytes = dualExpBytes(V, limbs, n32);
    std::uint8_t *space = reinterpret_cast<std::uint8_t *>(workspace);
    if (space == nullptr) {
        if (!block.reset(mgr, bytes, secure))
            return -1;
        space = block.get();
    }
    auto *aligned = reinterpret_cast<u64 *>((reinterpret_cast<std::uintptr_t>(space) + 63) & ~std::uintptr_t(63));
    u32 *div = reinterpret_cast<u32 *>(aligned + 2 * perNumber);
    u32 *mCopy = div + divWords;

    Pair<V> p{};
    u64 *m[2], *mUp[2], *r2[2], *one[2], *x[2], *acc[2], *tmp[2], *table[2];
    for (int s = 0; s < 2; ++s) {
        u64 *base64 = aligned + s * perNumber;
        m[s] = base64;
        mUp[s] = base64 + lanes;
        r2[s] = base64 + 2 * lanes;
        one[s] = base64 + 3 * lanes;
        x[s] = base64 + 4 * lanes;
        acc[s] = base64 + 5 * lanes;
        tmp[s] = base64 + 6 * lanes;
        table[s] = base64 + 7 * lanes;
        toLimbs(m[s], lanes, mod[s], n32);
        mUp[s][0] = 0;
        std::memcpy(mUp[s] + 1, m[s], (lanes - 1) * sizeof(u64));
        std::memset(one[s], 0, lanes * sizeof(u64));
        one[s][0] = 1;
        toLimbs(x[s], lanes, base[s], n32);
        if (r2Given[s] != nullptr) {
            toLimbs(r2[s], lanes, r2Given[s], n32);
        } else {
            // R^2 mod m by division (a public modulus).
            const u32 bit = 104 * limbs;
            const u32 total = bit / 32 + 1;
            qelWordsZero(div, total);
            div[bit / 32] = 1u << (bit % 32);
            qelWordsCopy(mCopy, mod[s], n32);
            qelWordsDivide(div + n32, div, total, mCopy, n32);
            toLimbs(r2[s], lanes, div, n32);
        }
        p.m[s] = m[s];
        p.mUp[s] = mUp[s];
        p.k0[s] = inverse52(m[s][0]);
    }
    auto mul = [&](u64 *const out[2], u64 *const a[2], u64 *const b[2]) {
        for (int s = 0; s < 2; ++s) {
            p.a[s] = a[s];
            p.b[s] = b[s];
            p.out[s] = out[s];
        }
        amm2<V>(p, limbs);
    };
    u64 *entry[2];
    auto at = [&](u32 k) {
        for (int s = 0; s < 2; ++s)
            entry[s] = table[s] + std::size_t(k) * lanes;
    };
    // table[0] = R mod m, table[1] = x R mod m, table[k] = table[k-1] table[1].
    at(0);
    mul(entry, r2, one);
    u64 *first[2] = {table[0] + lanes, table[1] + lanes};
    mul(first, x, r2);
    for (u32 k = 2; k < kEntries; ++k) {
        u64 *prev[2] = {table[0] + (k - 1) * lanes, table[1] + (k - 1) * lanes};
        at(k);
        mul(entry, prev, first);
    }

    // The exponents are below their moduli: the window count follows the
    // moduli's size, never the exponents' values.
    const u32 bits = modBits;
    const u32 windows = bits == 0 ? 1 : (bits + kWindow - 1) / kWindow;
    const u64 *const tables[2] = {table[0], table[1]};
    u32 index[2];
    for (int s = 0; s < 2; ++s)
        index[s] = windowAt(exp[s], expLen[s], (windows - 1) * kWindow);
    gather2<V>(acc, tables, index);
    for (u32 w = windows - 1; w-- > 0;) {
        for (unsigned k = 0; k < kWindow; ++k)
            mul(acc, acc, acc);
        for (int s = 0; s < 2; ++s)
            index[s] = windowAt(exp[s], expLen[s], w * kWindow);
        gather2<V>(tmp, tables, index);
        mul(acc, acc, tmp);
    }
    // Out of the Montgomery form: at most m, and m only for 0.
    mul(acc, acc, one);
    for (int s = 0; s < 2; ++s) {
        fromLimbs(result[s], n32, acc[s]);
        // result - m when not below m, chosen without a branch.
        u32 *diff = div;
        qelWordsCopy(diff, result[s], n32);
        const u32 borrow = qelWordsSubtract(diff, mod[s], n32);
        const u32 keep = 0u - borrow; // all ones: result < m
        for (u32 i = 0; i < n32; ++i)
            result[s][i] = (result[s][i] & keep) | (diff[i] & ~keep);
    }
    if (workspace != nullptr)
        qelSecureWipe(space, bytes);   // the caller's block is kept for later calls
    return 0;
}

// result = base^exp mod m for one number and a public exponent, left to
// right along its bits; every product is the same whatever the values (the
// base may be secret), and the result leaves through a masked subtraction.
template <int V>
void publicExp(u32 *result, const u32 *base, u32 baseWords, const u32 *exp, u32 expBits, const u32 *mod, u32 n32,
               u32 limbs, const u32 *r2Words)
{
    constexpr std::size_t lanes = std::size_t(8) * V;
    alignas(64) u64 block[6 * lanes];
    u64 *m = block, *mUp = m + lanes, *r2 = mUp + lanes, *one = r2 + lanes, *x = one + lanes, *acc = x + lanes;
    toLimbs(m, lanes, mod, n32);
    mUp[0] = 0;
    std::memcpy(mUp + 1, m, (lanes - 1) * sizeof(u64));
    toLimbs(r2, lanes, r2Words, n32);
    std::memset(one, 0, lanes * sizeof(u64));
    one[0] = 1;
    toLimbs(x, lanes, base, baseWords);
    const u64 k0 = inverse52(m[0]);
    amm1<V>(x, x, r2, m, mUp, k0, limbs);   // into the Montgomery form
    std::memcpy(acc, x, lanes * sizeof(u64));
    for (u32 i = expBits - 1; i-- > 0;) {
        amm1<V>(acc, acc, acc, m, mUp, k0, limbs);
        if ((exp[i / 32] >> (i % 32)) & 1u)   // a public exponent's bit
            amm1<V>(acc, acc, x, m, mUp, k0, limbs);
    }
    amm1<V>(acc, acc, one, m, mUp, k0, limbs);
    fromLimbs(result, n32, acc);
    // result - m when not below m, chosen without a branch (the buffer of
    // x serves as the difference).
    u32 *diff = reinterpret_cast<u32 *>(x);
    qelWordsCopy(diff, result, n32);
    const u32 keep = 0u - qelWordsSubtract(diff, mod, n32); // all ones: result < m
    for (u32 i = 0; i < n32; ++i)
        result[i] = (result[i] & keep) | (diff[i] & ~keep);
    qelSecureWipe(block, sizeof block);
}

u32 limbsFor(u32 modBits) { return (modBits + 2 + 51) / 52; }

} // namespace

#ifdef QEL_TEST_HOOKS
namespace {
std::atomic<bool> gPairKernelOff{false};
}

void qelTestBigNumPairKernelOff(bool off)
{
    gPairKernelOff.store(off, std::memory_order_relaxed);
}
#endif

bool qelWordsPairedExpModFits(u32 modBits)
{
    if (!qelCryptoUseIFMA() || modBits < 256)
        return false;
#ifdef QEL_TEST_HOOKS
    if (gPairKernelOff.load(std::memory_order_relaxed))
        return false;
#endif
    const u32 limbs = (modBits + 2 + 51) / 52;
    return limbs + 1 <= 8u * kMaxVectors;
}

std::size_t qelWordsPairedExpModWorkspaceLimbs(u32 modBits, u32 n32)
{
    const u32 limbs = (modBits + 2 + 51) / 52;
    return (dualExpBytes((limbs + 1 + 7) / 8, limbs, n32) + 7) / 8;
}

bool qelWordsPublicExpModIFMAFits(u32 modBits)
{
    // The pair's test switch turns this kernel off too: both stand for the
    // processor's IFMA.
    return qelWordsPairedExpModFits(modBits);
}

int qelWordsPublicExpModIFMA(u32 *result, const u32 *base, u32 baseWords, const u32 *exp, u32 expWords,
                             const u32 *mod, u32 n32, const u32 *r2)
{
    const u32 modBits = qelWordsBitLength(mod, n32);
    const u32 bits = qelWordsBitLength(exp, expWords);
    if (!qelWordsPublicExpModIFMAFits(modBits) || bits == 0 || baseWords > n32)
        return -1;
    const u32 limbs = limbsFor(modBits);
    switch ((limbs + 1 + 7) / 8) {
    case 1: publicExp<1>(result, base, baseWords, exp, bits, mod, n32, limbs, r2); return 0;
    case 2: publicExp<2>(result, base, baseWords, exp, bits, mod, n32, limbs, r2); return 0;
    case 3: publicExp<3>(result, base, baseWords, exp, bits, mod, n32, limbs, r2); return 0;
    case 4: publicExp<4>(result, base, baseWords, exp, bits, mod, n32, limbs, r2); return 0;
    case 5: publicExp<5>(result, base, baseWords, exp, bits, mod, n32, limbs, r2); return 0;
    case 6: publicExp<6>(result, base, baseWords, exp, bits, mod, n32, limbs, r2); return 0;
    default: return -1;
    }
}

u32 qelWordsPairedExpModRadixBits(u32 modBits)
{
    // R^2 for R = 2^(52 limbs).
    return 104 * ((modBits + 2 + 51) / 52);
}

int qelWordsPairedExpModIFMA(u32 *result1, const u32 *base1, const u32 *exp1, u32 exp1Len, u32 *result2,
                             const u32 *base2, const u32 *exp2, u32 exp2Len, const u32 *mod1, const u32 *mod2,
                             u32 n32, u32 modBits, const u32 *r2First, const u32 *r2Second, QELMemoryMgr *mgr,
                             bool secure, u64 *workspace)
{
    const u32 limbs = (modBits + 2 + 51) / 52;
    const int vectors = (int)((limbs + 1 + 7) / 8);
    u32 *result[2] = {result1, result2};
    const u32 *base[2] = {base1, base2};
    const u32 *exp[2] = {exp1, exp2};
    const u32 expLen[2] = {exp1Len, exp2Len};
    const u32 *mod[2] = {mod1, mod2};
    const u32 *const r2[2] = {r2First, r2Second};
    switch (vectors) {
    case 1:
        return dualExp<1>(result, base, exp, expLen, mod, n32, limbs, modBits, r2, mgr, secure, workspace);
    case 2:
        return dualExp<2>(result, base, exp, expLen, mod, n32, limbs, modBits, r2, mgr, secure, workspace);
    case 3:
        return dualExp<3>(result, base, exp, expLen, mod, n32, limbs, modBits, r2, mgr, secure, workspace);
    case 4:
        return dualExp<4>(result, base, exp, expLen, mod, n32, limbs, modBits, r2, mgr, secure, workspace);
    case 5:
        return dualExp<5>(result, base, exp, expLen, mod, n32, limbs, modBits, r2, mgr, secure, workspace);
    case 6:
        return dualExp<6>(result, base, exp, expLen, mod, n32, limbs, modBits, r2, mgr, secure, workspace);
    default:
        return -1;
    }
}

#else

#ifdef QEL_TEST_HOOKS
void qelTestBigNumPairKernelOff(bool) {}
#endif

bool qelWordsPairedExpModFits(std::uint32_t)
{
    return false;
}

std::uint32_t qelWordsPairedExpModRadixBits(std::uint32_t)
{
    return 0;
}

int qelWordsPairedExpModIFMA(std::uint32_t *, const std::uint32_t *, const std::uint32_t *, std::uint32_t,
                             std::uint32_t *, const std::uint32_t *, const std::uint32_t *, std::uint32_t,
                             const std::uint32_t *, const std::uint32_t *, std::uint32_t, std::uint32_t,
                             const std::uint32_t *, const std::uint32_t *, QELMemoryMgr *, bool, std::uint64_t *)
{
    return -1;
}

std::size_t qelWordsPairedExpModWorkspaceLimbs(std::uint32_t, std::uint32_t)
{
    return 0;
}

bool qelWordsPublicExpModIFMAFits(std::uint32_t)
{
    return false;
}

int qelWordsPublicExpModIFMA(std::uint32_t *, const std::uint32_t *, std::uint32_t, const std::uint32_t *,
                             std::uint32_t, const std::uint32_t *, std::uint32_t, const std::uint32_t *)
{
    return -1;
}

#endif
