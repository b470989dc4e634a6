// Word-array arithmetic: schoolbook multiplication and squaring, Knuth's
// division, Montgomery reduction, sliding-window exponentiation (single,
// simultaneous and power-of-two), Euclid's gcd and the modular inverse.
//
// Numbers are stored as 32-bit words, but the Montgomery engine behind the
// exponentiations works on 64-bit limbs with 128-bit products: the words are
// packed into limbs on entry and unpacked on exit, which quarters the number
// of multiplications in the inner loops. The Montgomery radix is therefore
// 2^(64 * limbs); since only the exponentiation result leaves the engine, the
// choice of radix is invisible to callers.
#include "qelBigNumWordInternal.h"

#include "qelCryptoCPU.h"
#include "qelHelpers.h"
#include "qelWipe.h"

#include <cstring>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <x86intrin.h>
#define QEL_LIMB_CARRY_INTRINSICS 1
#endif


namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;
using u128 = unsigned __int128;

// ---------------------------------------------------------------------------
// 64-bit limb kernels
// ---------------------------------------------------------------------------

#if defined(__x86_64__) && defined(__GNUC__)
// Processors with MULX, ADCX and ADOX run the row with two independent carry
// chains (one for the product words, one for the accumulator), which roughly
// doubles the throughput of the inner loop. Each exponentiation asks once
// (qelCryptoUseMULX), so the test build can send it down the portable row.
#define QEL_BIGNUM_ADX 1

// One limb of the row: r8 = low(s[off] * w) + carryIn + d[off] into d[off],
// the high half of the product into highOut (the next limb's carryIn).
#define QEL_ADX_LIMB(off, carryIn, highOut)                                      \
    "mulxq " #off "(%[s]), %%r8, " highOut "\n\t"                               \
    "adcxq " carryIn ", %%r8\n\t"                                               \
    "adoxq " #off "(%[d]), %%r8\n\t"                                            \
    "movq %%r8, " #off "(%[d])\n\t"

// d[0..limbs*blocks-1] += s * w + carry, blocks >= 1, limbs per block as the
// body handles them (bytes apart = 8 * limbs); leaves the carry limb in carry.
#define QEL_ADX_ROW(body, bytes)                                                 \
    const u64 zero = 0;                                                          \
    __asm__ volatile("xorl %%r8d, %%r8d\n\t" /* clears CF and OF */              \
                     "1:\n\t" body                                               \
                     /* Fold both carries into the top word; clears CF, OF. */   \
                     "adcxq %[z], %[c]\n\t"                                      \
                     "adoxq %[z], %[c]\n\t"                                      \
                     "leaq " #bytes "(%[s]), %[s]\n\t"                          \
                     "leaq " #bytes "(%[d]), %[d]\n\t"                          \
                     "decq %[n]\n\t"                                             \
                     "jnz 1b\n\t"                                                \
                     : [c] "+&r"(carry), [s] "+r"(s), [d] "+r"(d), [n] "+r"(blocks) \
                     : "d"(w), [z] "r"(zero)                                     \
                     : "r8", "r9", "r10", "cc", "memory")

// d[0..8*blocks-1] += s * w + carry, blocks >= 1; returns the carry limb.
inline u64 limbsMulAddAdx8(u64 *d, const u64 *s, std::size_t blocks, u64 w, u64 carry)
{
    QEL_ADX_ROW(QEL_ADX_LIMB(0, "%[c]", "%%r9") QEL_ADX_LIMB(8, "%%r9", "%%r10")
                QEL_ADX_LIMB(16, "%%r10", "%%r9") QEL_ADX_LIMB(24, "%%r9", "%%r10")
                QEL_ADX_LIMB(32, "%%r10", "%%r9") QEL_ADX_LIMB(40, "%%r9", "%%r10")
                QEL_ADX_LIMB(48, "%%r10", "%%r9") QEL_ADX_LIMB(56, "%%r9", "%[c]"),
                64);
    return carry;
}

// d[0..4*blocks-1] += s * w + carry, blocks >= 1; returns the carry limb.
inline u64 limbsMulAddAdx4(u64 *d, const u64 *s, std::size_t blocks, u64 w, u64 carry)
{
    QEL_ADX_ROW(QEL_ADX_LIMB(0, "%[c]", "%%r9") QEL_ADX_LIMB(8, "%%r9", "%%r10")
                QEL_ADX_LIMB(16, "%%r10", "%%r9") QEL_ADX_LIMB(24, "%%r9", "%[c]"),
                32);
    return carry;
}

#undef QEL_ADX_ROW
#undef QEL_ADX_LIMB
#endif

// d[0..n-1] += s * w; returns the carry limb.
inline u64 limbsMulAdd(u64 *__restrict d, const u64 *__restrict s, std::size_t n, u64 w, bool adx)
{
    u64 c = 0;
    std::size_t i = 0;
#if defined(QEL_BIGNUM_ADX)
    if (adx) {
        if (n >= 8) {
            c = limbsMulAddAdx8(d, s, n / 8, w, 0);
            i = n & ~std::size_t(7);
        }
        if (n - i >= 4) {
            c = limbsMulAddAdx4(d + i, s + i, 1, w, c);
            i += 4;
        }
    }
#endif
    for (; i < n; ++i) {
        u128 p = (u128)s[i] * w + d[i] + c;
        d[i] = (u64)p;
        c = (u64)(p >> 64);
    }
    return c;
}

// d[0..n-1] = s * w; returns the carry limb.
inline u64 limbsMulSet(u64 *__restrict d, const u64 *__restrict s, std::size_t n, u64 w)
{
    u64 c = 0;
    for (std::size_t i = 0; i < n; ++i) {
        u128 p = (u128)s[i] * w + c;
        d[i] = (u64)p;
        c = (u64)(p >> 64);
    }
    return c;
}

// r = a - b (Subtract) or a + b over n limbs; returns the borrow or the
// carry. No branch on the values. On x86-64 the carry intrinsics make one
// SBB or ADC chain of it (the 128-bit form leaves the compiler moving the
// carry through a register).
template <bool Subtract>
inline u64 limbsCarryRun(u64 *r, const u64 *a, const u64 *b, std::size_t n)
{
#if defined(QEL_LIMB_CARRY_INTRINSICS)
    unsigned char carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned long long v;
        carry = Subtract ? _subborrow_u64(carry, a[i], b[i], &v) : _addcarry_u64(carry, a[i], b[i], &v);
        r[i] = v;
    }
    return carry;
#else
    u64 carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const u128 v = Subtract ? (u128)a[i] - b[i] - carry : (u128)a[i] + b[i] + carry;
        r[i] = (u64)v;
        carry = (u64)(v >> 64) & 1;
    }
    return carry;
#endif
}

inline u64 limbsSub(u64 *r, const u64 *a, const u64 *b, std::size_t n) { return limbsCarryRun<true>(r, a, b, n); }
inline u64 limbsAdd(u64 *r, const u64 *a, const u64 *b, std::size_t n) { return limbsCarryRun<false>(r, a, b, n); }

// r = mask ? a : b for a mask of all ones or zero (r may be a or b).
inline void limbsSelect(u64 *r, const u64 *a, const u64 *b, std::size_t n, u64 mask)
{
    for (std::size_t i = 0; i < n; ++i)
        r[i] = (a[i] & mask) | (b[i] & ~mask);
}

// Compares two numbers of n words (or limbs) each: -1, 0 or 1.
template <typename Word, typename Size>
inline int compareWords(const Word *a, const Word *b, Size n)
{
    for (Size i = n; i-- > 0;) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

// t[0..2n-1] = a * b.
void limbsMul(u64 *__restrict t, const u64 *a, const u64 *b, std::size_t n, bool adx)
{
    t[n] = limbsMulSet(t, a, n, b[0]);
    for (std::size_t j = 1; j < n; ++j)
        t[j + n] = limbsMulAdd(t + j, a, n, b[j], adx);
}

// t[0..2n-1] = a^2: cross products once, doubled, plus the diagonal.
void limbsSqr(u64 *__restrict t, const u64 *a, std::size_t n, bool adx)
{
    t[0] = 0;
    t[2 * n - 1] = 0;
    if (n > 1) {
        t[n] = limbsMulSet(t + 1, a + 1, n - 1, a[0]);
        for (std::size_t i = 1; i + 1 < n; ++i)
            t[n + i] = limbsMulAdd(t + 2 * i + 1, a + i + 1, n - 1 - i, a[i], adx);
    }
    u64 top = 0;
    u64 c = 0;
    for (std::size_t i = 0; i < n; ++i) {
        u64 lo = t[2 * i], hi = t[2 * i + 1];
        u64 lo2 = (lo << 1) | top;
        u64 hi2 = (hi << 1) | (lo >> 63);
        top = hi >> 63;
        u128 p = (u128)a[i] * a[i];
        u128 s = (u128)lo2 + (u64)p + c;
        t[2 * i] = (u64)s;
        s = (u128)hi2 + (u64)(p >> 64) + (u64)(s >> 64);
        t[2 * i + 1] = (u64)s;
        c = (u64)(s >> 64);
    }
}

// r = t * 2^(-64n) mod m for t < m * 2^(64n); t (2n limbs) is destroyed.
// With constantTime the final subtraction is chosen by a mask, never by a
// branch (the value may be secret: a secret base, or a secret modulus);
// without it, only for values that are all public, it is skipped when not
// needed.
void limbsRedc(u64 *r, u64 *t, const u64 *m, std::size_t n, u64 mPrime, bool adx, bool constantTime)
{
    u64 hi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        u64 u = t[i] * mPrime;
        u64 c = limbsMulAdd(t + i, m, n, u, adx);
        u128 s = (u128)t[i + n] + c + hi;
        t[i + n] = (u64)s;
        hi = (u64)(s >> 64);
    }
    if (!constantTime) {
        if (hi || compareWords(t + n, m, n) >= 0)
            limbsSub(r, t + n, m, n);
        else if (r != t + n)
            std::memcpy(r, t + n, n * sizeof(u64));
        return;
    }
    const u64 borrow = limbsSub(t, t + n, m, n); // the low half is spent
    const u64 keepDifference = 0 - (hi | (borrow ^ 1));
    limbsSelect(r, t, t + n, n, keepDifference);
}

// ---------------------------------------------------------------------------
// Montgomery products by columns (product scanning), the reduction in the
// same pass
// ---------------------------------------------------------------------------
//
// Column k of a b + u m gathers every product whose indices add up to k.
// The low and the high halves of the products go to two separate 128-bit
// sums, so no product waits for the carry of the one before it (a row-wise
// multiply-add is one long carry chain); the compiler keeps both sums in
// registers. The reduction factor u[k] is made once column k's other
// products are in; columns n .. 2n-1 are the result, written over r in
// place, which is safe even when r is a or b: column k reads a and b from
// index k-n+1 up and writes index k-n.

// The column sum: three words (c0 the low one). x86-64 adds each product
// with one carry chain (ADD, ADC, ADC) that the compiler will not produce
// from C; elsewhere the low and the high halves go to two 128-bit sums,
// which also leaves no product waiting for the previous one's carry.
#if defined(__x86_64__) && defined(__GNUC__)
// With Mulx (processors that have it) the product goes to any two
// registers, which saves the moves through RAX and RDX.
template <bool Mulx = false> struct ColumnSum {
    u64 c0 = 0, c1 = 0, c2 = 0;
    inline void mac(u64 x, u64 y)
    {
        u64 lo, hi;
        if constexpr (Mulx) {
            __asm__("mulxq %[x], %[lo], %[hi]\n\t"
                    "addq %[lo], %[c0]\n\t"
                    "adcq %[hi], %[c1]\n\t"
                    "adcq $0, %[c2]"
                    : [c0] "+r"(c0), [c1] "+r"(c1), [c2] "+r"(c2), [lo] "=&r"(lo), [hi] "=&r"(hi)
                    : [x] "rm"(x), "d"(y)
                    : "cc");
            return;
        }
        __asm__("mulq %[y]\n\t"
                "addq %%rax, %[c0]\n\t"
                "adcq %%rdx, %[c1]\n\t"
                "adcq $0, %[c2]"
                : [c0] "+r"(c0), [c1] "+r"(c1), [c2] "+r"(c2), "=a"(lo), "=d"(hi)
                : "3"(x), [y] "rm"(y)
                : "cc");
    }
    inline void add(const ColumnSum<Mulx> &o)
    {
        __asm__("addq %[o0], %[c0]\n\t"
                "adcq %[o1], %[c1]\n\t"
                "adcq %[o2], %[c2]"
                : [c0] "+r"(c0), [c1] "+r"(c1), [c2] "+r"(c2)
                : [o0] "rm"(o.c0), [o1] "rm"(o.c1), [o2] "rm"(o.c2)
                : "cc");
    }
    u64 low() const { return c0; }
    // Drops the low word (the column is done).
    inline void shift()
    {
        c0 = c1;
        c1 = c2;
        c2 = 0;
    }
    inline void twice()
    {
        c2 = (c2 << 1) | (c1 >> 63);
        c1 = (c1 << 1) | (c0 >> 63);
        c0 <<= 1;
    }
};
#else
template <bool Mulx = false> struct ColumnSum {
    u128 lo = 0, hi = 0; // the sum is lo + hi 2^64
    inline void mac(u64 x, u64 y)
    {
        const u128 p = (u128)x * y;
        lo += (u64)p;
        hi += (u64)(p >> 64);
    }
    inline void add(const ColumnSum<Mulx> &o)
    {
        lo += o.lo;
        hi += o.hi;
    }
    u64 low() const { return (u64)lo; }
    inline void shift()
    {
        lo = (lo >> 64) + hi;
        hi = 0;
    }
    inline void twice()
    {
        lo <<= 1;
        hi <<= 1;
    }
};
#endif

// r = x - m when x (n limbs, and the bit top above them) is not below m,
// else x, chosen by a mask. d takes x - m on the way: n limbs apart from x
// and m (it may be r); r may be x.
inline void limbsFinalSubtract(u64 *r, const u64 *x, const u64 *m, std::size_t n, u64 top, u64 *d)
{
    const u64 borrow = limbsSub(d, x, m, n);
    limbsSelect(r, d, x, n, 0 - (top | (borrow ^ 1)));
}

#if defined(QEL_BIGNUM_ADX)
// Montgomery reduction and products on MULX/ADX for the unrolled sizes:
// rows that are straight runs of MULX with two independent carry chains
// (ADCX joins the product halves, ADOX adds them to the sum). No branch and
// no address depends on the values.
// One product of a row: t[off] += low(s[off] w) + the previous high half,
// the high half into hn.
#define QEL_MONT_P1(off, hp, hn)                                                 \
    "mulxq " #off "(%[a]), %%r8, %%" hn "\n\t"                                  \
    "adcxq %%" hp ", %%r8\n\t"                                                   \
    "adoxq " #off "(%[t]), %%r8\n\t"                                             \
    "movq %%r8, " #off "(%[t])\n\t"
#define QEL_MONT_G8(P, B)                                                        \
    P(B+0, "r10", "r9") P(B+8, "r9", "r10") P(B+16, "r10", "r9") P(B+24, "r9", "r10") \
    P(B+32, "r10", "r9") P(B+40, "r9", "r10") P(B+48, "r10", "r9") P(B+56, "r9", "r10")

template <std::size_t N> void limbsMulAdxWindow(u64 *t, const u64 *a, const u64 *b);
template <std::size_t N> void limbsRedcAdxWindow(u64 *r, u64 *t, const u64 *m, u64 mPrime);

// r = a b / 2^(64N) mod m; scratch holds 2N limbs: the product and then the
// reduction, each with its running window in registers.
template <std::size_t N>
void limbsMontMulAdx(u64 *r, const u64 *a, const u64 *b, const u64 *m, u64 mPrime, u64 *scratch)
{
    limbsMulAdxWindow<N>(scratch, a, b);
    limbsRedcAdxWindow<N>(r, scratch, m, mPrime);
}

// r = t / 2^(64N) mod m for t (2N limbs, destroyed) below m 2^(64N): N
// rows of t += m u 2^(64i), each a straight MULX run with both carry chains,
// the row's carry limb added above it with the carry that runs along the
// top. The whole loop is one block: the next row's factor is made from the
// row's second limb while it is still in a register (not reloaded after
// its store), and the row's first limb, which becomes zero, is not stored.
// (For 32 limbs; 16 go by the window below.)
#define QEL_MONT_G2(P, B) P(B, "r10", "r9") P(B+8, "r9", "r10")
#define QEL_MONT_TAIL32(P)                                                       \
    QEL_MONT_G2(P, 16) QEL_MONT_G2(P, 32) QEL_MONT_G2(P, 48) QEL_MONT_G8(P, 64)  \
    QEL_MONT_G8(P, 128) QEL_MONT_G8(P, 192)
template <std::size_t N>
void limbsRedcAdx(u64 *r, u64 *t, const u64 *m, u64 mPrime)
{
    static_assert(N == 32);
    const u64 zero = 0;
    u64 hi = 0, u = t[0] * mPrime, rows = N;
    u64 *tp = t;
#define QEL_REDC_LOOP(TAIL, top)                                                 \
    __asm__ volatile("1:\n\t"                                                    \
                     "movq %[u], %%rdx\n\t"                                      \
                     "xorl %%r10d, %%r10d\n\t"                                   \
                     "mulxq (%[a]), %%r8, %%r9\n\t"                              \
                     "adoxq (%[t]), %%r8\n\t"                                    \
                     "mulxq 8(%[a]), %%r8, %%r10\n\t"                            \
                     "adcxq %%r9, %%r8\n\t"                                      \
                     "adoxq 8(%[t]), %%r8\n\t"                                   \
                     "movq %%r8, 8(%[t])\n\t"                                    \
                     "movq %%r8, %[u]\n\t" TAIL(QEL_MONT_P1)                      \
                     "adcxq %[z], %%r10\n\t"                                     \
                     "adoxq %[z], %%r10\n\t"                                     \
                     /* t[i+N] += carry limb + hi; the new hi is 0 or 1 */     \
                     "movq " #top "(%[t]), %%r9\n\t"                             \
                     "addq %%r10, %%r9\n\t"                                      \
                     "movl $0, %%r10d\n\t"                                       \
                     "adcq $0, %%r10\n\t"                                        \
                     "addq %[hi], %%r9\n\t"                                      \
                     "adcq $0, %%r10\n\t"                                        \
                     "movq %%r9, " #top "(%[t])\n\t"                             \
                     "movq %%r10, %[hi]\n\t"                                     \
                     "imulq %[mp], %[u]\n\t"                                     \
                     "leaq 8(%[t]), %[t]\n\t"                                    \
                     "decq %[n]\n\t"                                             \
                     "jnz 1b\n\t"                                                \
                     : [t] "+&r"(tp), [u] "+&r"(u), [hi] "+&r"(hi), [n] "+&r"(rows) \
                     : [a] "r"(m), [mp] "r"(mPrime), [z] "r"(zero)              \
                     : "rdx", "r8", "r9", "r10", "cc", "memory")
    QEL_REDC_LOOP(QEL_MONT_TAIL32, 256);
#undef QEL_REDC_LOOP
    limbsFinalSubtract(r, t + N, m, N, hi, t);
}

// The same for 16 limbs with the running window in registers: the rows
// of each group of eight factors u go over the modulus in two halves; the
// window of eight limbs (r8..r15, renamed by one limb per row) takes each
// row's products, its lowest limb leaving when the row is done (zero in the
// first half, stored in the second) and its new top limb taking the row's
// carries, which cannot overflow it. Between the halves and after the second
// the next eight limbs of t come in by one ADC chain; the carry out of the
// group's top goes into the next group's top limbs. The factors are kept
// over the limbs of t they were made from (spent by then). No branch and no
// address depends on the values.
#define QEL_RW_P(mo, wl, wh)                                                     \
    "mulxq " #mo "(%[m]), %%rax, %%rbx\n\t"                                     \
    "adcxq %%rax, %%" wl "\n\t"                                                  \
    "adoxq %%rbx, %%" wh "\n\t"
#define QEL_RW_REST(mo, w0, w1, w2, w3, w4, w5, w6, w7)                          \
    QEL_RW_P(mo+8, w1, w2) QEL_RW_P(mo+16, w2, w3) QEL_RW_P(mo+24, w3, w4)      \
    QEL_RW_P(mo+32, w4, w5) QEL_RW_P(mo+40, w5, w6) QEL_RW_P(mo+48, w6, w7)     \
    QEL_RW_P(mo+56, w7, w0)                                                     \
    "movl $0, %%eax\n\t"                                                        \
    "adcxq %%rax, %%" w0 "\n\t"
// First half: u = w0 mp, kept at t[j]; w0 becomes zero and the new top.
#define QEL_RW_ROW_LOW(j, w0, w1, w2, w3, w4, w5, w6, w7)                        \
    "movq %%" w0 ", %%rdx\n\t"                                                   \
    "movq %[mp], %%rax\n\t"                                                      \
    "imulq %%rax, %%rdx\n\t"                                                     \
    "movq %%rdx, " #j "(%[t])\n\t"                                               \
    "xorl %%eax, %%eax\n\t" QEL_RW_P(0, w0, w1)                                  \
    QEL_RW_REST(0, w0, w1, w2, w3, w4, w5, w6, w7)
// A row with a kept factor (at byte j from src, "t" or "b") over the half
// of the operand at byte mo: w0 is final, stored at byte mo + j of t, then
// it is the new top.
#define QEL_RW_ROW_STORE(src, mo, j, w0, w1, w2, w3, w4, w5, w6, w7)            \
    "movq " #j "(%[" src "]), %%rdx\n\t"                                          \
    "xorl %%eax, %%eax\n\t" QEL_RW_P(mo, w0, w1)                                 \
    "movq %%" w0 ", " #mo "+" #j "(%[t])\n\t"                                     \
    "movl $0, %%" w0 "d\n\t" QEL_RW_REST(mo, w0, w1, w2, w3, w4, w5, w6, w7)
#define QEL_RW_REDC_HIGH64(j, ...) QEL_RW_ROW_STORE("t", 64, j, __VA_ARGS__)
#define QEL_RW_REDC_HIGH128(j, ...) QEL_RW_ROW_STORE("t", 128, j, __VA_ARGS__)
#define QEL_RW_REDC_HIGH192(j, ...) QEL_RW_ROW_STORE("t", 192, j, __VA_ARGS__)
#define QEL_RW_PROD_LOW(j, ...) QEL_RW_ROW_STORE("b", 0, j, __VA_ARGS__)
#define QEL_RW_PROD_HIGH64(j, ...) QEL_RW_ROW_STORE("b", 64, j, __VA_ARGS__)
#define QEL_RW_PROD_HIGH128(j, ...) QEL_RW_ROW_STORE("b", 128, j, __VA_ARGS__)
#define QEL_RW_PROD_HIGH192(j, ...) QEL_RW_ROW_STORE("b", 192, j, __VA_ARGS__)
#define QEL_RW_HALF(ROW) ROW(0, "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15") ROW(8, "r9", "r10", "r11", "r12", "r13", "r14", "r15", "r8") ROW(16, "r10", "r11", "r12", "r13", "r14", "r15", "r8", "r9") ROW(24, "r11", "r12", "r13", "r14", "r15", "r8", "r9", "r10") ROW(32, "r12", "r13", "r14", "r15", "r8", "r9", "r10", "r11") ROW(40, "r13", "r14", "r15", "r8", "r9", "r10", "r11", "r12") ROW(48, "r14", "r15", "r8", "r9", "r10", "r11", "r12", "r13") ROW(56, "r15", "r8", "r9", "r10", "r11", "r12", "r13", "r14")
// The window plus t at byte offset off (eight limbs), carry in CF.
#define QEL_RW_ADD(op, off)                                                      \
    op " " #off "(%[t]), %%r8\n\t"                                               \
    "adcq " #off "+8(%[t]), %%r9\n\t"                                            \
    "adcq " #off "+16(%[t]), %%r10\n\t"                                          \
    "adcq " #off "+24(%[t]), %%r11\n\t"                                          \
    "adcq " #off "+32(%[t]), %%r12\n\t"                                          \
    "adcq " #off "+40(%[t]), %%r13\n\t"                                          \
    "adcq " #off "+48(%[t]), %%r14\n\t"                                          \
    "adcq " #off "+56(%[t]), %%r15\n\t"
// The pieces of the loop over the groups of eight rows: the window loaded,
// the limbs of t after the first quarter or half (no carry in), after the
// others (the carry kept in c), and the close: the carry of the previous
// group added at the top, the window stored, t (and the factors, when
// next moves b) one group on.
#define QEL_RW_LOAD                                                                 \
    "movq 0(%[t]), %%r8\n\t"                                                        \
    "movq 8(%[t]), %%r9\n\t"                                                        \
    "movq 16(%[t]), %%r10\n\t"                                                      \
    "movq 24(%[t]), %%r11\n\t"                                                      \
    "movq 32(%[t]), %%r12\n\t"                                                      \
    "movq 40(%[t]), %%r13\n\t"                                                      \
    "movq 48(%[t]), %%r14\n\t"                                                      \
    "movq 56(%[t]), %%r15\n\t"
#define QEL_RW_FIRST_NEXT                                                           \
    QEL_RW_ADD("addq", 64)                                                          \
    "movl $0, %%eax\n\t"                                                            \
    "adcq $0, %%rax\n\t"                                                            \
    "movq %%rax, %[c]\n\t"
#define QEL_RW_NEXT(off)                                                            \
    "movq %[c], %%rax\n\t"                                                          \
    "addq $-1, %%rax\n\t"                                                           \
    QEL_RW_ADD("adcq", off)                                                         \
    "movl $0, %%eax\n\t"                                                            \
    "adcq $0, %%rax\n\t"                                                            \
    "movq %%rax, %[c]\n\t"
#define QEL_RW_CLOSE(off, next)                                                     \
    "movq %[top], %%rbx\n\t" /* rax still holds c */                                \
    "addq %%rbx, %%r8\n\t"                                                          \
    "adcq $0, %%r9\n\t"                                                             \
    "adcq $0, %%r10\n\t"                                                            \
    "adcq $0, %%r11\n\t"                                                            \
    "adcq $0, %%r12\n\t"                                                            \
    "adcq $0, %%r13\n\t"                                                            \
    "adcq $0, %%r14\n\t"                                                            \
    "adcq $0, %%r15\n\t"                                                            \
    "adcq $0, %%rax\n\t"                                                            \
    "movq %%rax, %[top]\n\t"                                                        \
    "movq %%r8, " #off "+0(%[t])\n\t"                                               \
    "movq %%r9, " #off "+8(%[t])\n\t"                                               \
    "movq %%r10, " #off "+16(%[t])\n\t"                                             \
    "movq %%r11, " #off "+24(%[t])\n\t"                                             \
    "movq %%r12, " #off "+32(%[t])\n\t"                                             \
    "movq %%r13, " #off "+40(%[t])\n\t"                                             \
    "movq %%r14, " #off "+48(%[t])\n\t"                                             \
    "movq %%r15, " #off "+56(%[t])\n\t"                                             \
    "leaq 64(%[t]), %[t]\n\t" next                                                  \
    "movq %[g], %%rax\n\t"                                                          \
    "decq %%rax\n\t"                                                                \
    "movq %%rax, %[g]\n\t"                                                          \
    "jnz 1b\n\t"
#define QEL_RW_LOOP16(LOW, HIGH, next)                                          \
    "1:\n\t" QEL_RW_LOAD QEL_RW_HALF(LOW) QEL_RW_FIRST_NEXT QEL_RW_HALF(HIGH##64) QEL_RW_NEXT(128) \
    QEL_RW_CLOSE(128, next)
#define QEL_RW_LOOP32(LOW, HIGH, next)                                          \
    "1:\n\t" QEL_RW_LOAD QEL_RW_HALF(LOW) QEL_RW_FIRST_NEXT QEL_RW_HALF(HIGH##64) QEL_RW_NEXT(128) \
    QEL_RW_HALF(HIGH##128) QEL_RW_NEXT(192) QEL_RW_HALF(HIGH##192) QEL_RW_NEXT(256) QEL_RW_CLOSE(256, next)
// The loop over the groups: with Reduce, the factors are made from t and x
// is the modulus (b unused); else they are the limbs of b, x the other
// factor. Returns the carry out of the top. The loop's counter, carries and
// mp live in vector registers: the general ones are all taken, and a
// sanitizer build has none left to address memory operands with.
template <std::size_t N, bool Reduce>
u64 limbsWindowRows(u64 *t, const u64 *x, const u64 *b, u64 mPrime)
{
    static_assert(N == 16 || N == 32);
    u64 *tp = t;
    u64 groups = N / 8, carry = 0, top = 0;
#define QEL_RW_ASM(LOOP, LOW, HIGH, next)                                        \
    __asm__ volatile(LOOP(LOW, HIGH, next)                                      \
                     : [t] "+&r"(tp), [b] "+&r"(b), [g] "+x"(groups), [c] "+x"(carry), [top] "+x"(top) \
                     : [m] "r"(x), [mp] "x"(mPrime)                              \
                     : "rax", "rbx", "rdx", "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15", "cc", "memory")
#define QEL_RW_B_NEXT "leaq 64(%[b]), %[b]\n\t"
    if constexpr (Reduce && N == 16)
        QEL_RW_ASM(QEL_RW_LOOP16, QEL_RW_ROW_LOW, QEL_RW_REDC_HIGH, "");
    else if constexpr (Reduce)
        QEL_RW_ASM(QEL_RW_LOOP32, QEL_RW_ROW_LOW, QEL_RW_REDC_HIGH, "");
    else if constexpr (N == 16)
        QEL_RW_ASM(QEL_RW_LOOP16, QEL_RW_PROD_LOW, QEL_RW_PROD_HIGH, QEL_RW_B_NEXT);
    else
        QEL_RW_ASM(QEL_RW_LOOP32, QEL_RW_PROD_LOW, QEL_RW_PROD_HIGH, QEL_RW_B_NEXT);
#undef QEL_RW_B_NEXT
#undef QEL_RW_ASM
    return top;
}

template <std::size_t N>
void limbsRedcAdxWindow(u64 *r, u64 *t, const u64 *m, u64 mPrime)
{
    const u64 top = limbsWindowRows<N, true>(t, m, nullptr, mPrime);
    limbsFinalSubtract(r, t + N, m, N, top, t);
}

// t[0..2N-1] = a b, by the same rows with the limbs of b as the factors (t
// is cleared first; the product leaves no carry above it).
template <std::size_t N>
void limbsMulAdxWindow(u64 *t, const u64 *a, const u64 *b)
{
    std::memset(t, 0, 2 * N * sizeof(u64));
    limbsWindowRows<N, false>(t, a, b, 0);
}
#undef QEL_RW_LOOP32
#undef QEL_RW_LOOP16
#undef QEL_RW_CLOSE
#undef QEL_RW_NEXT
#undef QEL_RW_FIRST_NEXT
#undef QEL_RW_LOAD
#undef QEL_RW_ADD
#undef QEL_RW_HALF
#undef QEL_RW_PROD_HIGH192
#undef QEL_RW_PROD_HIGH128
#undef QEL_RW_PROD_HIGH64
#undef QEL_RW_PROD_LOW
#undef QEL_RW_REDC_HIGH192
#undef QEL_RW_REDC_HIGH128
#undef QEL_RW_REDC_HIGH64
#undef QEL_RW_ROW_STORE
#undef QEL_RW_ROW_LOW
#undef QEL_RW_REST
#undef QEL_RW_P

#undef QEL_MONT_TAIL32
#undef QEL_MONT_G2
#undef QEL_MONT_G8
#undef QEL_MONT_P1
#endif

// The reduction's share of column k: u[i] m[k-i] for i in [from, to).
inline void columnReduce(ColumnSum<> &c, const u64 *u, const u64 *m, std::size_t from, std::size_t to,
                         std::size_t k)
{
    for (std::size_t i = from; i < to; ++i)
        c.mac(u[i], m[k - i]);
}

// r = a b / 2^(64n) mod m for a b < m 2^(64n); u is n limbs of scratch.
void limbsMontMulAny(u64 *r, const u64 *a, const u64 *b, const u64 *m, std::size_t n, u64 mPrime, u64 *u)
{
    ColumnSum<> c;
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t i = 0; i <= k; ++i)
            c.mac(a[i], b[k - i]);
        columnReduce(c, u, m, 0, k, k);
        const u64 uk = c.low() * mPrime;
        u[k] = uk;
        c.mac(uk, m[0]);   // the column's low word is now zero
        c.shift();
    }
    for (std::size_t k = n; k < 2 * n - 1; ++k) {
        for (std::size_t i = k - n + 1; i < n; ++i)
            c.mac(a[i], b[k - i]);
        columnReduce(c, u, m, k - n + 1, n, k);
        r[k - n] = c.low();
        c.shift();
    }
    r[n - 1] = c.low();
    c.shift();
    limbsFinalSubtract(r, r, m, n, c.low(), u);
}

// r = a^2 / 2^(64n) mod m for a < m: each cross product once, doubled.
void limbsMontSqrAny(u64 *r, const u64 *a, const u64 *m, std::size_t n, u64 mPrime, u64 *u)
{
    ColumnSum<> c;
    for (std::size_t k = 0; k < 2 * n - 1; ++k) {
        const std::size_t from = k < n ? 0 : k - n + 1;
        // a[i] a[k-i] for i < k-i, doubled; then the diagonal.
        ColumnSum<> x;
        for (std::size_t i = from; 2 * i < k; ++i)
            x.mac(a[i], a[k - i]);
        x.twice();
        c.add(x);
        if ((k & 1) == 0)   // public: the column's index
            c.mac(a[k / 2], a[k / 2]);
        if (k < n) {
            columnReduce(c, u, m, 0, k, k);
            const u64 uk = c.low() * mPrime;
            u[k] = uk;
            c.mac(uk, m[0]);
        } else {
            columnReduce(c, u, m, from, n, k);
            r[k - n] = c.low();
        }
        c.shift();
    }
    r[n - 1] = c.low();
    c.shift();
    limbsFinalSubtract(r, r, m, n, c.low(), u);
}

// The same for the common sizes, N limbs known when compiled: the loops are
// unrolled whole, so every index is a constant and nothing but the products
// and their sums is left.
#if defined(__clang__)
#define QEL_UNROLL_ALL _Pragma("unroll")
#else
#define QEL_UNROLL_ALL _Pragma("GCC unroll 64")
#endif

template <std::size_t N, bool Mulx>
void limbsMontMulFixed(u64 *r, const u64 *a, const u64 *b, const u64 *m, u64 mPrime, u64 *u)
{
    ColumnSum<Mulx> c;
    QEL_UNROLL_ALL
    for (std::size_t k = 0; k < N; ++k) {
        QEL_UNROLL_ALL
        for (std::size_t i = 0; i <= k; ++i)
            c.mac(a[i], b[k - i]);
        QEL_UNROLL_ALL
        for (std::size_t i = 0; i < k; ++i)
            c.mac(u[i], m[k - i]);
        const u64 uk = c.low() * mPrime;
        u[k] = uk;
        c.mac(uk, m[0]);
        c.shift();
    }
    QEL_UNROLL_ALL
    for (std::size_t k = N; k < 2 * N - 1; ++k) {
        QEL_UNROLL_ALL
        for (std::size_t i = k - N + 1; i < N; ++i)
            c.mac(a[i], b[k - i]);
        QEL_UNROLL_ALL
        for (std::size_t i = k - N + 1; i < N; ++i)
            c.mac(u[i], m[k - i]);
        r[k - N] = c.low();
        c.shift();
    }
    r[N - 1] = c.low();
    c.shift();
    limbsFinalSubtract(r, r, m, N, c.low(), u);
}

// Column k of a^2 into c: the cross products a[i] a[k-i] (i < k-i) once,
// doubled, then the diagonal.
template <std::size_t N, bool Mulx>
__attribute__((always_inline)) inline void squareColumn(ColumnSum<Mulx> &c, const u64 *a, std::size_t k)
{
    const std::size_t from = k < N ? 0 : k - N + 1;
    ColumnSum<Mulx> x;
    QEL_UNROLL_ALL
    for (std::size_t i = from; 2 * i < k; ++i)
        x.mac(a[i], a[k - i]);
    x.twice();
    c.add(x);
    if ((k & 1) == 0)
        c.mac(a[k / 2], a[k / 2]);
}

template <std::size_t N, bool Mulx>
void limbsMontSqrFixed(u64 *r, const u64 *a, const u64 *m, u64 mPrime, u64 *u)
{
    ColumnSum<Mulx> c;
    QEL_UNROLL_ALL
    for (std::size_t k = 0; k < 2 * N - 1; ++k) {
        const std::size_t from = k < N ? 0 : k - N + 1;
        squareColumn<N>(c, a, k);
        QEL_UNROLL_ALL
        for (std::size_t i = from; i < (k < N ? k : N); ++i)
            c.mac(u[i], m[k - i]);
        if (k < N) {
            const u64 uk = c.low() * mPrime;
            u[k] = uk;
            c.mac(uk, m[0]);
        } else {
            r[k - N] = c.low();
        }
        c.shift();
    }
    r[N - 1] = c.low();
    c.shift();
    limbsFinalSubtract(r, r, m, N, c.low(), u);
}

#if defined(QEL_BIGNUM_ADX)
// r = a^2 / 2^(64N) mod m on MULX/ADX: the square by columns (each cross
// product once, doubled), then the reduction by rows, which run faster
// than the reduction's share of the columns.
template <std::size_t N>
void limbsMontSqrAdx(u64 *r, const u64 *a, const u64 *m, u64 mPrime, u64 *t)
{
    ColumnSum<true> c;
    QEL_UNROLL_ALL
    for (std::size_t k = 0; k < 2 * N - 1; ++k) {
        squareColumn<N>(c, a, k);
        t[k] = c.low();
        c.shift();
    }
    t[2 * N - 1] = c.low();
    // 32 limbs keep the plain rows here: after the column square they
    // measured faster than the windowed reduction (which wins in the
    // product).
    if constexpr (N == 16)
        limbsRedcAdxWindow<N>(r, t, m, mPrime);
    else
        limbsRedcAdx<N>(r, t, m, mPrime);
}
#endif

#undef QEL_UNROLL_ALL

// The sizes with unrolled columns (elsewhere MULX/ADX rows do better).
constexpr bool columnsUnrolled(std::size_t n) { return n == 4 || n == 16 || n == 32; }

void limbsMontMul(u64 *r, const u64 *a, const u64 *b, const u64 *m, std::size_t n, u64 mPrime, u64 *u, bool mulx)
{
    switch (n * 2 + mulx) {
    case 8: return limbsMontMulFixed<4, false>(r, a, b, m, mPrime, u);
    case 9: return limbsMontMulFixed<4, true>(r, a, b, m, mPrime, u);
    case 32: return limbsMontMulFixed<16, false>(r, a, b, m, mPrime, u);
#if defined(QEL_BIGNUM_ADX)
    case 33: return limbsMontMulAdx<16>(r, a, b, m, mPrime, u);
    case 65: return limbsMontMulAdx<32>(r, a, b, m, mPrime, u);
#else
    case 33: return limbsMontMulFixed<16, true>(r, a, b, m, mPrime, u);
#endif
    case 64: return limbsMontMulFixed<32, false>(r, a, b, m, mPrime, u);
#if !defined(QEL_BIGNUM_ADX)
    case 65: return limbsMontMulFixed<32, true>(r, a, b, m, mPrime, u);
#endif
    default: return limbsMontMulAny(r, a, b, m, n, mPrime, u);
    }
}

void limbsMontSqr(u64 *r, const u64 *a, const u64 *m, std::size_t n, u64 mPrime, u64 *u, bool mulx)
{
    switch (n * 2 + mulx) {
    case 8: return limbsMontSqrFixed<4, false>(r, a, m, mPrime, u);
    case 9: return limbsMontSqrFixed<4, true>(r, a, m, mPrime, u);
    case 32: return limbsMontSqrFixed<16, false>(r, a, m, mPrime, u);
    case 64: return limbsMontSqrFixed<32, false>(r, a, m, mPrime, u);
#if defined(QEL_BIGNUM_ADX)
    case 33: return limbsMontSqrAdx<16>(r, a, m, mPrime, u);
    case 65: return limbsMontSqrAdx<32>(r, a, m, mPrime, u);
#else
    case 33: return limbsMontSqrFixed<16, true>(r, a, m, mPrime, u);
    case 65: return limbsMontSqrFixed<32, true>(r, a, m, mPrime, u);
#endif
    default: return limbsMontSqrAny(r, a, m, n, mPrime, u);
    }
}

// -m0^-1 mod 2^64 by Newton's iteration: m0 is its own inverse to three
// bits, and each of the five steps doubles them; a fixed count, so a secret
// modulus shows nothing.
u64 limbMontgomeryConstant(u64 m0)
{
    u64 y = m0;
    for (int i = 0; i < 5; ++i)
        y *= 2 - m0 * y;
    return 0 - y;
}

void packLimbs(u64 *d, std::size_t limbs, const u32 *s, u32 n)
{
    for (std::size_t i = 0; i < limbs; ++i) {
        u64 lo = 2 * i < n ? s[2 * i] : 0;
        u64 hi = 2 * i + 1 < n ? s[2 * i + 1] : 0;
        d[i] = lo | (hi << 32);
    }
}

void unpackLimbs(u32 *d, u32 n, const u64 *s)
{
    for (u32 i = 0; i < n; ++i)
        d[i] = (u32)(s[i / 2] >> (32 * (i & 1)));
}

inline unsigned bitAt(const u32 *e, u32 i) { return (e[i >> 5] >> (i & 31)) & 1u; }

// ---------------------------------------------------------------------------
// Scratch bookkeeping: every block is wiped and released on every exit.
// ---------------------------------------------------------------------------

class Scratch {
public:
    Scratch(QELMemoryMgr *mgr, bool secure) : mgr_(mgr), secure_(secure) {}
    template <typename T> T *get(std::size_t elements)
    {
        if (count_ == kMax || !blocks_[count_].reset(mgr_, (elements ? elements : 1) * sizeof(T), secure_))
            return nullptr;
        return reinterpret_cast<T *>(blocks_[count_++].get());
    }
    // Releases the most recent blocks down to the given count.
    void releaseTo(std::size_t keep)
    {
        while (count_ > keep)
            blocks_[--count_].release();
    }
    std::size_t count() const { return count_; }

private:
    static constexpr std::size_t kMax = 160;
    QELMemoryMgr *mgr_;
    bool secure_;
    std::size_t count_ = 0;
    qel::WipedBuffer<std::uint8_t> blocks_[kMax];
};

// Montgomery domain for one odd modulus.
struct MontDomain {
    u32 n32;     // significant words of the modulus
    std::size_t n; // limbs
    u64 *m;      // modulus limbs
    u64 mPrime;
    u64 *t;      // 2n-limb product scratch
    u32 *mCopy;  // modulus words, normalised by divisions
    u32 *div;    // division scratch
    u32 divWords;
    bool adx;
    bool constantTime; // the constant-time routines' domains

    void mul(u64 *r, const u64 *a, const u64 *b)
    {
        if (!adx || columnsUnrolled(n)) {
            limbsMontMul(r, a, b, m, n, mPrime, t, adx);
            return;
        }
        limbsMul(t, a, b, n, adx);
        limbsRedc(r, t, m, n, mPrime, adx, constantTime);
    }
    void sqr(u64 *r, const u64 *a)
    {
        if (!adx || columnsUnrolled(n)) {
            limbsMontSqr(r, a, m, n, mPrime, t, adx);
            return;
        }
        limbsSqr(t, a, n, adx);
        limbsRedc(r, t, m, n, mPrime, adx, constantTime);
    }
    // r = x * R mod m, for any x of xLen words (xLen + 2n <= divWords).
    void toMont(u64 *r, const u32 *x, u32 xLen)
    {
        xLen = qelWordsSignificantLength(x, xLen);
        u32 shift = (u32)(2 * n);
        u32 total = xLen + shift;
        qelWordsZero(div, shift);
        qelWordsCopy(div + shift, x, xLen);
        reduceDiv(total);
        packLimbs(r, n, div, n32);
    }
    // r = 2^p * R mod m.
    void powerOfTwoToMont(u64 *r, u32 p)
    {
        u32 bit = p + (u32)(64 * n);
        u32 total = bit / 32 + 1;
        qelWordsZero(div, total);
        div[bit / 32] = 1u << (bit % 32);
        reduceDiv(total);
        packLimbs(r, n, div, n32);
    }
    // div[0..total-1] mod modulus, remainder left in div[0..n32-1].
    void reduceDiv(u32 total)
    {
        if (total < n32) {
            qelWordsZero(div + total, n32 - total);
            return;
        }
        qelWordsDivide(div + n32, div, total, mCopy, n32);
    }
    void fromMont(u32 *result, const u64 *a)
    {
        std::memcpy(t, a, n * sizeof(u64));
        std::memset(t + n, 0, n * sizeof(u64));
        u64 *r = t + n; // reuse: limbsRedc reads t fully before writing r
        limbsRedc(r, t, m, n, mPrime, adx, constantTime);
        unpackLimbs(result, n32, r);
    }
};

// Allocates the domain's buffers; divisions need room for a dividend of
// maxInput + 2n words (+2 for the power-of-two entry).
bool setUpDomain(MontDomain &d, Scratch &s, const u32 *mod, u32 n32, u32 maxInput)
{
    d.n32 = n32;
    d.n = (n32 + 1) / 2;
    d.m = s.get<u64>(d.n);
    d.t = s.get<u64>(2 * d.n + 1);
    d.mCopy = s.get<u32>(n32);
    d.divWords = maxInput + (u32)(4 * d.n) + 2;
    d.div = s.get<u32>(d.divWords);
    if (!d.m || !d.t || !d.mCopy || !d.div)
        return false;
    packLimbs(d.m, d.n, mod, n32);
    qelWordsCopy(d.mCopy, mod, n32);
    d.mPrime = limbMontgomeryConstant(d.m[0]);
    d.adx = qelCryptoUseMULX();
    return true;
}

// Sliding-window state of one exponent scanned from the top.
struct WindowScan {
    const u32 *e;
    u32 bits;
    unsigned w;
    long end = -1;   // bit position where the open window ends, -1 none
    u32 index = 0;   // table index of the open window
    // Opens a window at pos when none is open and the bit is set.
    void open(long pos)
    {
        if (end >= 0 || pos >= (long)bits || !bitAt(e, (u32)pos))
            return;
        long low = pos - (long)w;
        if (low < 0)
            low = 0;
        while (!bitAt(e, (u32)low))
            ++low;
        u32 value = 0;
        for (long i = pos; i >= low; --i)
            value = (value << 1) | bitAt(e, (u32)i);
        end = low;
        index = value >> 1;
    }
};

// Allocates table entries 1 .. 2^w - 1 of n limbs each (entry 0 is given);
// on failure the window shrinks to what was obtained.
unsigned buildTableStorage(Scratch &s, u64 **table, unsigned w, std::size_t n)
{
    std::size_t want = std::size_t(1) << w;
    std::size_t keep = s.count();
    std::size_t have = 1;
    for (; have < want; ++have) {
        table[have] = s.get<u64>(n);
        if (table[have] == nullptr)
            break;
    }
    while (have < (std::size_t(1) << w))
        --w;
    // Release the surplus entries beyond 2^w (the most recent blocks).
    std::size_t used = std::size_t(1) << w;
    s.releaseTo(keep + (used - 1));
    return w;
}

// The largest table index any window of the exponent uses.
u32 largestWindowIndex(const u32 *e, u32 bits, unsigned w)
{
    WindowScan scan{e, bits, w};
    u32 largest = 0;
    for (long pos = (long)bits - 1; pos >= 0; --pos) {
        scan.open(pos);
        if (scan.end == pos) {
            largest = scan.index > largest ? scan.index : largest;
            scan.end = -1;
        }
    }
    return largest;
}

// table[j] = g^(2j+1) in Montgomery form for the entries the exponent uses
// (a short exponent such as 65537 needs only g); table[0] already holds g.
void fillTable(MontDomain &d, u64 **table, unsigned w, u64 *g2, const u32 *e, u32 bits)
{
    std::size_t entries = std::size_t(largestWindowIndex(e, bits, w)) + 1;
    if (entries > (std::size_t(1) << w))
        entries = std::size_t(1) << w;
    if (entries > 1)
        d.sqr(g2, table[0]);
    for (std::size_t j = 1; j < entries; ++j)
        d.mul(table[j], table[j - 1], g2);
}

bool isOne(const u32 *m, u32 n) { return n == 1 && m[0] == 1; }

} // namespace

// ---------------------------------------------------------------------------
// Primitive routines
// ---------------------------------------------------------------------------

void qelWordsZero(u32 *a, u32 n)
{
    if (n)
        std::memset(a, 0, n * sizeof(u32));
}

void qelWordsCopy(u32 *d, const u32 *s, u32 n)
{
    if (n && d != s)
        std::memmove(d, s, n * sizeof(u32));
}

void qelWordsNegate(u32 *a, u32 n)
{
    u32 carry = 1;
    for (u32 i = 0; i < n; ++i) {
        u64 v = (u64)(u32)~a[i] + carry;
        a[i] = (u32)v;
        carry = (u32)(v >> 32);
    }
}

u32 qelWordsAddWord(u32 *a, u32 n, u32 w)
{
    u64 c = w;
    for (u32 i = 0; i < n && c; ++i) {
        c += a[i];
        a[i] = (u32)c;
        c >>= 32;
    }
    return (u32)c;
}

u32 qelWordsSubtractWord(u32 *a, u32 n, u32 w)
{
    u32 borrow = w;
    for (u32 i = 0; i < n && borrow; ++i) {
        u32 ai = a[i];
        a[i] = ai - borrow;
        borrow = ai < borrow ? 1 : 0;
    }
    return borrow ? 1 : 0;
}

u32 qelWordsAdd(u32 *a, const u32 *b, u32 n)
{
    u64 c = 0;
    for (u32 i = 0; i < n; ++i) {
        c += (u64)a[i] + b[i];
        a[i] = (u32)c;
        c >>= 32;
    }
    return (u32)c;
}

u32 qelWordsSubtract(u32 *a, const u32 *b, u32 n)
{
    u64 borrow = 0;
    for (u32 i = 0; i < n; ++i) {
        u64 d = (u64)a[i] - b[i] - borrow;
        a[i] = (u32)d;
        borrow = (d >> 32) & 1;
    }
    return (u32)borrow;
}

int qelWordsCompare(const u32 *a, const u32 *b, u32 n)
{
    return compareWords(a, b, n);
}

void qelWordsMultiplyWord(u32 *d, const u32 *s, u32 n, u32 w)
{
    u64 c = 0;
    for (u32 i = 0; i < n; ++i) {
        c += (u64)s[i] * w;
        d[i] = (u32)c;
        c >>= 32;
    }
    d[n] = (u32)c;
}

u32 qelWordsMultiplyAccumulate(u32 *d, const u32 *s, u32 n, u32 w)
{
    u64 c = 0;
    for (u32 i = 0; i < n; ++i) {
        c += (u64)s[i] * w + d[i];
        d[i] = (u32)c;
        c >>= 32;
    }
    return (u32)c;
}

u32 qelWordsMultiplySubtract(u32 *d, const u32 *s, u32 n, u32 w)
{
    u64 borrow = 0;
    for (u32 i = 0; i < n; ++i) {
        u64 p = (u64)s[i] * w + borrow;
        u32 lo = (u32)p;
        borrow = p >> 32;
        if (d[i] < lo)
            ++borrow;
        d[i] -= lo;
    }
    return (u32)borrow;
}

u32 qelWordsShiftLeft(u32 *a, u32 n, unsigned bits)
{
    if (bits == 0 || n == 0)
        return 0;
    u32 out = a[n - 1] >> (32 - bits);
    for (u32 i = n - 1; i > 0; --i)
        a[i] = (a[i] << bits) | (a[i - 1] >> (32 - bits));
    a[0] <<= bits;
    return out;
}

u32 qelWordsShiftLeftOne(u32 *a, u32 n) { return qelWordsShiftLeft(a, n, 1); }

u32 qelWordsShiftRight(u32 *a, u32 n, unsigned bits)
{
    if (bits == 0 || n == 0)
        return 0;
    u32 out = a[0] & ((1u << bits) - 1);
    for (u32 i = 0; i + 1 < n; ++i)
        a[i] = (a[i] >> bits) | (a[i + 1] << (32 - bits));
    a[n - 1] >>= bits;
    return out;
}

u32 qelWordsSignificantLength(const u32 *a, u32 n)
{
    while (n > 0 && a[n - 1] == 0)
        --n;
    return n;
}

u32 qelWordsBitLength(const u32 *a, u32 n)
{
    n = qelWordsSignificantLength(a, n);
    if (n == 0)
        return 0;
    return 32 * (n - 1) + (32 - (u32)__builtin_clz(a[n - 1]));
}

// ---------------------------------------------------------------------------
// Composite routines
// ---------------------------------------------------------------------------

void qelWordsMultiply(u32 *d, const u32 *a, u32 n, const u32 *b, u32 m)
{
    if (n == 0 || m == 0) {
        qelWordsZero(d, n + m);
        return;
    }
    qelWordsMultiplyWord(d, a, n, b[0]);
    for (u32 j = 1; j < m; ++j)
        d[j + n] = qelWordsMultiplyAccumulate(d + j, a, n, b[j]);
}

void qelWordsSquare(u32 *d, const u32 *a, u32 n)
{
    if (n == 0)
        return;
    qelWordsZero(d, 2 * n);
    // Cross products a[i] * a[j], i < j.
    for (u32 i = 0; i + 1 < n; ++i)
        d[n + i] = qelWordsMultiplyAccumulate(d + 2 * i + 1, a + i + 1, n - 1 - i, a[i]);
    qelWordsShiftLeftOne(d, 2 * n);
    u64 c = 0;
    for (u32 i = 0; i < n; ++i) {
        u64 p = (u64)a[i] * a[i];
        c += (u64)d[2 * i] + (u32)p;
        d[2 * i] = (u32)c;
        c >>= 32;
        c += (u64)d[2 * i + 1] + (u32)(p >> 32);
        d[2 * i + 1] = (u32)c;
        c >>= 32;
    }
}

u32 qelWordsDivide(u32 *q, u32 *r, u32 n, u32 *v, u32 k)
{
    if (k == 1) {
        const u64 d = v[0];
        u64 rem = 0;
        u32 top = 0;
        for (u32 j = n; j-- > 0;) {
            u64 cur = (rem << 32) | r[j];
            u32 qw = (u32)(cur / d);
            rem = cur % d;
            if (j == n - 1)
                top = qw;
            else
                q[j] = qw; // overwrites r[j + 1] when q = r + 1: already consumed
        }
        r[0] = (u32)rem;
        return top;
    }

    const unsigned s = (unsigned)__builtin_clz(v[k - 1]);
    qelWordsShiftLeft(v, k, s);
    u32 h = qelWordsShiftLeft(r, n, s);
    const u32 v1 = v[k - 1];
    const u32 v2 = v[k - 2];

    // One quotient word for the remainder window r[j..j+k-1] under top.
    auto step = [&](u32 j, u32 &top) -> u32 {
        u32 u1 = r[j + k - 1];
        u32 u2 = r[j + k - 2];
        u64 qhat, rhat;
        if (top == v1) {
            qhat = 0xFFFFFFFFu;
            rhat = (u64)u1 + v1;
        } else {
            u64 num = ((u64)top << 32) | u1;
            qhat = num / v1;
            rhat = num % v1;
        }
        for (int tries = 0; tries < 2 && rhat <= 0xFFFFFFFFu; ++tries) {
            if (qhat * v2 <= ((rhat << 32) | u2))
                break;
            --qhat;
            rhat += v1;
        }
        u32 borrow = qelWordsMultiplySubtract(r + j, v, k, (u32)qhat);
        if (borrow > top) {
            --qhat;
            qelWordsAdd(r + j, v, k);
        }
        top = 0;
        return (u32)qhat;
    };

    u32 topQuotient = step(n - k, h);
    for (u32 j = n - k; j-- > 0;) {
        u32 qw = step(j, r[j + k]);
        q[j] = qw; // r[j + k] is consumed, so q may be r + k
    }
    qelWordsShiftRight(r, k, s);
    qelWordsShiftRight(v, k, s);
    return topQuotient;
}

u32 qelWordsModWord(const u32 *a, u32 n, u32 d)
{
    if (d == 0)
        return 0;
    u64 rem = 0;
    for (u32 j = n; j-- > 0;)
        rem = ((rem << 32) | a[j]) % d;
    return (u32)rem;
}

u32 qelWordsMontgomeryConstant(u32 m0)
{
    u32 y = m0;
    for (int i = 0; i < 4; ++i)
        y *= 2u - m0 * y;
    return 0u - y;
}

void qelWordsMontgomeryReduce(u32 *t, const u32 *m, u32 n, u32 mPrime)
{
    u32 carries = 0;
    for (u32 i = 0; i < n; ++i) {
        u32 ti = t[i] * mPrime;
        u32 c = qelWordsMultiplyAccumulate(t + i, m, n, ti);
        carries += qelWordsAddWord(t + i + n, n - i, c);
    }
    while (carries) {
        carries -= qelWordsSubtract(t + n, m, n);
    }
    while (qelWordsCompare(t + n, m, n) >= 0)
        qelWordsSubtract(t + n, m, n);
}

unsigned qelWordsWindowBits(u32 bits)
{
    static constexpr u32 thresholds[] = {5, 23, 80, 240, 672, 1792};
    unsigned w = 0;
    for (u32 t : thresholds)
        if (t < bits)
            ++w;
    return w;
}

// Shared body of the single and simultaneous exponentiations.
// r2 (r2Len words, R^2 mod m) or null: with it a base below the modulus enters
// the Montgomery domain through one product instead of a long division.
static int expModCore(u32 *result, const u32 *b1, u32 b1Len, const u32 *e1, u32 e1Bits,
                      const u32 *b2, u32 b2Len, const u32 *e2, u32 e2Bits, const u32 *mod, u32 n32,
                      QELMemoryMgr *mgr, bool secure, const u32 *r2 = nullptr, u32 r2Len = 0)
{
    Scratch s(mgr, secure);
    MontDomain d{};
    u32 maxInput = b1Len > b2Len ? b1Len : b2Len;
    if (!setUpDomain(d, s, mod, n32, maxInput))
        return -1;
    const std::size_t n = d.n;
    u64 *acc = s.get<u64>(n);
    u64 *g2 = s.get<u64>(n);
    u64 *first1 = s.get<u64>(n);
    u64 *first2 = e2Bits ? s.get<u64>(n) : first1;
    u64 *r2Limbs = r2 != nullptr ? s.get<u64>(n) : nullptr;
    if (!acc || !g2 || !first1 || !first2 || (r2 != nullptr && r2Limbs == nullptr))
        return -1;
    if (r2Limbs != nullptr)
        packLimbs(r2Limbs, n, r2, r2Len);
    // g2 doubles as the packed base before the tables are filled.
    auto enter = [&](u64 *out, const u32 *b, u32 bLen) {
        bLen = qelWordsSignificantLength(b, bLen);
        if (r2Limbs != nullptr && (bLen < n32 || (bLen == n32 && qelWordsCompare(b, mod, n32) < 0))) {
            packLimbs(g2, n, b, bLen);
            d.mul(out, g2, r2Limbs);
        } else {
            d.toMont(out, b, bLen);
        }
    };

    u64 *table1[64] = {};
    u64 *table2[64] = {};
    table1[0] = first1;
    table2[0] = first2;
    unsigned w1 = qelWordsWindowBits(e1Bits);
    unsigned w2 = e2Bits ? qelWordsWindowBits(e2Bits) : 0;
    w1 = buildTableStorage(s, table1, w1, n);
    if (e2Bits) {
        if (w2 > w1)
            w2 = w1;
        w2 = buildTableStorage(s, table2, w2, n);
    }

    enter(table1[0], b1, b1Len);
    fillTable(d, table1, w1, g2, e1, e1Bits);
    if (e2Bits) {
        enter(table2[0], b2, b2Len);
        fillTable(d, table2, w2, g2, e2, e2Bits);
    }

    WindowScan s1{e1, e1Bits, w1};
    WindowScan s2{e2, e2Bits, w2};
    bool started = false;
    // Multiplies in the table entry of a window that closes here.
    auto closeWindow = [&](WindowScan &scan, u64 *const *table) {
        if (started)
            d.mul(acc, acc, table[scan.index]);
        else
            std::memcpy(acc, table[scan.index], n * sizeof(u64));
        started = true;
        scan.end = -1;
    };
    for (long pos = (long)e1Bits - 1; pos >= 0; --pos) {
        if (started)
            d.sqr(acc, acc);
        s1.open(pos);
        if (e2Bits)
            s2.open(pos);
        if (s1.end == pos)
            closeWindow(s1, table1);
        if (e2Bits && s2.end == pos)
            closeWindow(s2, table2);
    }
    d.fromMont(result, acc);
    std::memset(g2, 0, n * sizeof(u64));
    return 0;
}

// result = x mod m through a scratch copy (x of any length).
static int reduceInto(u32 *result, const u32 *x, u32 xLen, const u32 *mod, u32 n32, QELMemoryMgr *mgr,
                      bool secure)
{
    xLen = qelWordsSignificantLength(x, xLen);
    if (xLen < n32 || (xLen == n32 && qelWordsCompare(x, mod, n32) < 0)) {
        qelWordsCopy(result, x, xLen);
        qelWordsZero(result + xLen, n32 - xLen);
        return 0;
    }
    Scratch s(mgr, secure);
    u32 *r = s.get<u32>(xLen);
    u32 *v = s.get<u32>(n32);
    if (!r || !v)
        return -1;
    qelWordsCopy(r, x, xLen);
    qelWordsCopy(v, mod, n32);
    qelWordsDivide(r + n32, r, xLen, v, n32);
    qelWordsCopy(result, r, n32);
    return 0;
}

int qelWordsExpMod(u32 *result, const u32 *base, u32 baseLen, const u32 *exp, u32 expLen, const u32 *mod,
                   u32 n, QELMemoryMgr *mgr, bool secure)
{
    return qelWordsExpModR2(result, base, baseLen, exp, expLen, mod, n, nullptr, 0, mgr, secure);
}

int qelWordsMontgomeryR2(u32 *r2, const u32 *mod, u32 n32, QELMemoryMgr *mgr, bool secure)
{
    Scratch s(mgr, secure);
    MontDomain d{};
    if (!setUpDomain(d, s, mod, n32, 0))
        return -1;
    u64 *r = s.get<u64>(d.n);
    if (r == nullptr)
        return -1;
    d.powerOfTwoToMont(r, (u32)(64 * d.n)); // 2^(64n) * R = R^2 mod m
    unpackLimbs(r2, n32, r);
    return 0;
}

int qelWordsExpModR2(u32 *result, const u32 *base, u32 baseLen, const u32 *exp, u32 expLen, const u32 *mod,
                     u32 n, const u32 *r2, u32 r2Len, QELMemoryMgr *mgr, bool secure)
{
    u32 bits = qelWordsBitLength(exp, expLen);
    if (isOne(mod, n)) {
        result[0] = 0;
        return 0;
    }
    if (bits == 0) {
        qelWordsZero(result, n);
        result[0] = 1;
        return 0;
    }
    if (bits == 1)
        return reduceInto(result, base, baseLen, mod, n, mgr, secure);
    return expModCore(result, base, baseLen, exp, bits, nullptr, 0, nullptr, 0, mod, n, mgr, secure, r2, r2Len);
}

int qelWordsDoubleExpMod(u32 *result, const u32 *base1, u32 base1Len, const u32 *exp1, u32 exp1Len,
                         const u32 *base2, u32 base2Len, const u32 *exp2, u32 exp2Len, const u32 *mod,
                         u32 n, QELMemoryMgr *mgr, bool secure)
{
    u32 bits1 = qelWordsBitLength(exp1, exp1Len);
    u32 bits2 = qelWordsBitLength(exp2, exp2Len);
    if (bits1 < bits2) {
        std::swap(base1, base2);
        std::swap(base1Len, base2Len);
        std::swap(exp1, exp2);
        std::swap(bits1, bits2);
    }
    if (bits2 == 0)
        return qelWordsExpMod(result, base1, base1Len, exp1, bits1 ? (bits1 + 31) / 32 : 0, mod, n, mgr,
                              secure);
    if (isOne(mod, n)) {
        result[0] = 0;
        return 0;
    }
    if (bits1 == 1) {
        // Both exponents are 1: one product reduced by plain division.
        Scratch s(mgr, secure);
        u32 l1 = qelWordsSignificantLength(base1, base1Len);
        u32 l2 = qelWordsSignificantLength(base2, base2Len);
        u32 *prod = s.get<u32>(l1 + l2 + 1);
        if (!prod)
            return -1;
        qelWordsMultiply(prod, base1, l1, base2, l2);
        return reduceInto(result, prod, l1 + l2, mod, n, mgr, secure);
    }
    return expModCore(result, base1, base1Len, exp1, bits1, base2, base2Len, exp2, bits2, mod, n, mgr,
                      secure);
}

int qelWordsExpModPair(u32 *result1, const u32 *base1, u32 base1Len, const u32 *exp1, u32 exp1Len,
                       const u32 *mod1, u32 n1, u32 *result2, const u32 *base2, u32 base2Len, const u32 *exp2,
                       u32 exp2Len, const u32 *mod2, u32 n2, QELMemoryMgr *mgr, bool secure)
{
    const u32 bits1 = qelWordsBitLength(mod1, n1), bits2 = qelWordsBitLength(mod2, n2);
    const u32 span = bits1 > bits2 ? bits1 : bits2;
    // The kernel's windows span the moduli's size: longer exponents (this
    // entry takes any) go the other way.
    if (n1 == n2 && bits1 > 1 && bits2 > 1 && qelWordsPairedExpModFits(span) &&
        qelWordsBitLength(exp1, exp1Len) <= span && qelWordsBitLength(exp2, exp2Len) <= span) {
        // The kernel wants the bases below their moduli.
        if (reduceInto(result1, base1, base1Len, mod1, n1, mgr, secure) != 0 ||
            reduceInto(result2, base2, base2Len, mod2, n2, mgr, secure) != 0)
            return -1;
        return qelWordsPairedExpModIFMA(result1, result1, exp1, exp1Len, result2, result2, exp2, exp2Len, mod1, mod2,
                                        n1, span, nullptr, nullptr, mgr, secure);
    }
    if (qelWordsExpMod(result1, base1, base1Len, exp1, exp1Len, mod1, n1, mgr, secure) != 0)
        return -1;
    return qelWordsExpMod(result2, base2, base2Len, exp2, exp2Len, mod2, n2, mgr, secure);
}

int qelWordsPowerOfTwoMod(u32 *result, const u32 *exp, u32 expLen, const u32 *mod, u32 n32,
                          QELMemoryMgr *mgr, bool secure)
{
    u32 ebits = qelWordsBitLength(exp, expLen);
    if (isOne(mod, n32)) {
        result[0] = 0;
        return 0;
    }
    qelWordsZero(result, n32);
    if (ebits < 2) {
        result[0] = ebits ? 2u : 1u;
        return 0;
    }
    const u32 k = qelWordsBitLength(mod, n32);
    // Read the exponent's top bits while the prefix stays below k.
    u32 p = 0;
    long pos = (long)ebits - 1;
    while (pos >= 0) {
        u64 next = ((u64)p << 1) | bitAt(exp, (u32)pos);
        if (next >= k)
            break;
        p = (u32)next;
        --pos;
    }
    if (pos < 0) {
        result[p / 32] = 1u << (p % 32);
        return 0;
    }
    // The prefix that reaches k (still below 2k).
    p = (p << 1) | bitAt(exp, (u32)pos);
    --pos;

    Scratch s(mgr, secure);
    MontDomain d{};
    if (!setUpDomain(d, s, mod, n32, 2 * n32 + 2))
        return -1;
    const std::size_t n = d.n;
    u64 *acc = s.get<u64>(n);
    if (!acc)
        return -1;
    d.powerOfTwoToMont(acc, p);
    for (; pos >= 0; --pos) {
        d.sqr(acc, acc);
        if (bitAt(exp, (u32)pos)) {
            u64 top = acc[n - 1] >> 63;
            for (std::size_t i = n - 1; i > 0; --i)
                acc[i] = (acc[i] << 1) | (acc[i - 1] >> 63);
            acc[0] <<= 1;
            if (top || compareWords(acc, d.m, n) >= 0)
                limbsSub(acc, acc, d.m, n);
        }
    }
    d.fromMont(result, acc);
    return 0;
}

int qelWordsGCD(u32 *a, u32 na, u32 *b, u32 nb, u32 *outLen)
{
    na = qelWordsSignificantLength(a, na);
    nb = qelWordsSignificantLength(b, nb);
    for (;;) {
        if (nb == 0) {
            *outLen = na;
            return 0;
        }
        // a = a mod b; the quotient goes over a's consumed top words.
        if (na >= nb) {
            qelWordsDivide(a + nb, a, na, b, nb);
            qelWordsZero(a + nb, na - nb);
            na = qelWordsSignificantLength(a, nb);
        }
        if (na == 0) {
            *outLen = nb;
            return 1;
        }
        if (nb >= na) {
            qelWordsDivide(b + na, b, nb, a, na);
            qelWordsZero(b + na, nb - na);
            nb = qelWordsSignificantLength(b, na);
        }
    }
}

namespace {

using i64 = std::int64_t;
using i128 = __int128;

u32 limbsBitLength(const u64 *a, std::size_t n)
{
    for (std::size_t i = n; i-- > 0;)
        if (a[i])
            return (u32)(64 * i + 64 - (u32)__builtin_clzll(a[i]));
    return 0;
}

// 64 bits of a starting at bit pos (bits past the top are zeros).
u64 limbsBitsAt(const u64 *a, std::size_t n, u32 pos)
{
    const std::size_t i = pos / 64;
    const unsigned sh = pos % 64;
    u64 lo = i < n ? a[i] >> sh : 0;
    if (sh && i + 1 < n)
        lo |= a[i + 1] << (64 - sh);
    return lo;
}

// r = (a f + b g) / 2^31 over n limbs, the sum being a multiple of 2^31;
// returns true when it came out negative (r then holds its magnitude).
bool limbsCombine(u64 *r, const u64 *a, const u64 *b, std::size_t n, i64 f, i64 g)
{
    i128 carry = 0;
    u64 prev = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const i128 t = (i128)a[i] * f + (i128)b[i] * g + carry;
        const u64 lo = (u64)t;
        carry = t >> 64;
        if (i > 0)
            r[i - 1] = (prev >> 31) | (lo << 33);
        prev = lo;
    }
    // The top limb: prev and the signed carry above it.
    r[n - 1] = (prev >> 31) | ((u64)carry << 33);
    if (carry >= 0)
        return false;
    // Negate the n-limb two's complement value.
    u64 c = 1;
    for (std::size_t i = 0; i < n; ++i) {
        const u64 x = ~r[i] + c;
        c = (x == 0 && c) ? 1 : 0;
        r[i] = x;
    }
    return true;
}

// r = (u f + v g) / 2^31 mod m for u, v < m; m odd, mInv31 = -m^-1 mod 2^31;
// t has n + 1 limbs of room.
void limbsCombineMod(u64 *r, const u64 *u, const u64 *v, const u64 *m, std::size_t n, i64 f, i64 g, u64 mInv31,
                     u64 *t)
{
    // t = u f + v g, signed, n + 1 limbs.
    i128 carry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const i128 x = (i128)u[i] * f + (i128)v[i] * g + carry;
        t[i] = (u64)x;
        carry = x >> 64;
    }
    t[n] = (u64)carry;
    // t += k m with t + k m = 0 mod 2^31, then an exact division by 2^31.
    const u64 k = (t[0] * mInv31) & 0x7FFFFFFFu;
    u64 c = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const u128 x = (u128)m[i] * k + t[i] + c;
        t[i] = (u64)x;
        c = (u64)(x >> 64);
    }
    t[n] += c;
    const bool negative = (i64)t[n] < 0;
    for (std::size_t i = 0; i < n; ++i)
        r[i] = (t[i] >> 31) | (t[i + 1] << 33);
    i64 top = (i64)t[n] >> 31; // the limb above r, signed
    // The value lies in (-2m, 2m): bring it into [0, m).
    if (negative) {
        while (top < 0) {
            u64 cc = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const u128 x = (u128)r[i] + m[i] + cc;
                r[i] = (u64)x;
                cc = (u64)(x >> 64);
            }
            top += (i64)cc;
        }
    }
    while (top > 0 || compareWords(r, m, n) >= 0)
        top -= (i64)limbsSub(r, r, m, n);
}

// Binary extended gcd for an odd modulus, 31 steps at a time on 64-bit
// approximations of the two values (their top 33 and low 31 bits), whose
// update factors are then applied to the full values (T. Pornin, "Optimized
// Binary GCD for Modular Inversion", 2020). a (n32 words, below m) becomes
// its inverse: 0, 1 when there is none, -1 when memory fails, 2 when the
// steps did not finish (the caller then takes the slow way).
int inverseOdd(u32 *a32, const u32 *m32, u32 n32, QELMemoryMgr *mgr, bool secure)
{
    const std::size_t n = (n32 + 1) / 2;
    qel::WipedBuffer<u64> buf;
    if (!buf.reset(mgr, 7 * (n + 1) * sizeof(u64), secure))
        return -1;
    u64 *a = buf.get(), *b = a + (n + 1), *u = b + (n + 1), *v = u + (n + 1), *m = v + (n + 1);
    u64 *t = m + (n + 1), *tmp = t + (n + 1);
    packLimbs(a, n, a32, n32);
    packLimbs(m, n, m32, n32);
    std::memcpy(b, m, n * sizeof(u64));
    std::memset(u, 0, n * sizeof(u64));
    std::memset(v, 0, n * sizeof(u64));
    u[0] = 1;
    const u64 mInv31 = (u64)limbMontgomeryConstant(m[0]) & 0x7FFFFFFFu;

    const u32 bits = limbsBitLength(m, n);
    // Each round takes 31 of the at most 2 bits - 1 steps; the margin is
    // only for safety.
    const u32 rounds = (2 * bits + 30) / 31 + 4;
    u32 round = 0;
    for (; round < rounds && limbsBitLength(a, n) != 0; ++round) {
        u32 len = limbsBitLength(a, n);
        const u32 lb = limbsBitLength(b, n);
        len = len > lb ? len : lb;
        len = len > 64 ? len : 64;
        u64 ab = (a[0] & 0x7FFFFFFFu) | (limbsBitsAt(a, n, len - 33) << 31);
        u64 bb = (b[0] & 0x7FFFFFFFu) | (limbsBitsAt(b, n, len - 33) << 31);
        i64 f0 = 1, g0 = 0, f1 = 0, g1 = 1;
        for (int j = 0; j < 31; ++j) {
            if (ab & 1) {
                if (ab < bb) {
                    std::swap(ab, bb);
                    std::swap(f0, f1);
                    std::swap(g0, g1);
                }
                ab -= bb;
                f0 -= f1;
                g0 -= g1;
            }
            ab >>= 1;
            f1 <<= 1;
            g1 <<= 1;
        }
        const bool aNeg = limbsCombine(t, a, b, n, f0, g0);
        const bool bNeg = limbsCombine(tmp, a, b, n, f1, g1);
        std::memcpy(a, t, n * sizeof(u64));
        std::memcpy(b, tmp, n * sizeof(u64));
        if (aNeg) {
            f0 = -f0;
            g0 = -g0;
        }
        if (bNeg) {
            f1 = -f1;
            g1 = -g1;
        }
        limbsCombineMod(tmp, u, v, m, n, f0, g0, mInv31, t);
        limbsCombineMod(v, u, v, m, n, f1, g1, mInv31, t);
        std::memcpy(u, tmp, n * sizeof(u64));
    }
    if (limbsBitLength(a, n) != 0)
        return 2;
    // b holds the gcd.
    if (limbsBitLength(b, n) != 1)
        return 1;
    unpackLimbs(a32, n32, v);
    return 0;
}

} // namespace

int qelWordsInverse(u32 *a, const u32 *m, u32 n, QELMemoryMgr *mgr, bool secure)
{
    if (n >= 2 && (m[0] & 1) != 0 && qelWordsSignificantLength(a, n) != 0) {
        const int rc = inverseOdd(a, m, n, mgr, secure);
        if (rc != 2)
            return rc;
    }
    u32 la = qelWordsSignificantLength(a, n);
    if (la == 0)
        return 1;
    if (la == 1 && a[0] == 1) {
        qelWordsZero(a, n);
        a[0] = 1;
        return (n == 1 && m[0] == 1) ? 1 : 0;
    }
    Scratch s(mgr, secure);
    u32 *q = s.get<u32>(n + 1);
    u32 *r = s.get<u32>(n + 1);
    u32 *u = s.get<u32>(n + 1);
    u32 *v = s.get<u32>(n + 1);
    u32 *t = s.get<u32>(n + 1);
    u32 *prod = s.get<u32>(2 * n + 2);
    if (!q || !r || !u || !v || !t || !prod)
        return -1;
    qelWordsZero(u, n + 1);
    qelWordsZero(v, n + 1);
    qelWordsZero(t, n + 1);
    u[0] = 1;

    // x = x mod y with quotient into quot; returns the remainder's length.
    auto divmod = [&](u32 *x, u32 nx, u32 *y, u32 ny, u32 *quot) -> u32 {
        qelWordsZero(quot, n + 1);
        nx = qelWordsSignificantLength(x, nx);
        ny = qelWordsSignificantLength(y, ny);
        if (nx < ny)
            return nx;
        qelWordsCopy(r, x, nx);
        u32 top = qelWordsDivide(quot, r, nx, y, ny);
        quot[nx - ny] = top;
        qelWordsCopy(x, r, ny);
        qelWordsZero(x + ny, nx - ny);
        return qelWordsSignificantLength(x, ny);
    };
    // acc += quot * other (values stay below m).
    auto mulAdd = [&](u32 *acc, const u32 *quot, const u32 *other) {
        u32 lq = qelWordsSignificantLength(quot, n + 1);
        u32 lo = qelWordsSignificantLength(other, n + 1);
        if (lq == 0 || lo == 0)
            return;
        qelWordsMultiply(prod, quot, lq, other, lo);
        u32 lp = qelWordsSignificantLength(prod, lq + lo);
        if (lp > n + 1)
            lp = n + 1;
        u32 c = qelWordsAdd(acc, prod, lp);
        if (lp < n + 1)
            qelWordsAddWord(acc + lp, n + 1 - lp, c);
    };

    // q = m mod a, v = m div a.
    qelWordsCopy(q, m, n);
    q[n] = 0;
    u32 lq = divmod(q, n, a, la, v);
    u32 *aa = a;
    for (;;) {
        if (lq == 1 && q[0] == 1) {
            // inverse = m - v
            qelWordsCopy(t, m, n);
            qelWordsSubtract(t, v, n);
            qelWordsCopy(a, t, n);
            return 0;
        }
        if (lq == 0)
            return 1;
        la = divmod(aa, la, q, lq, t);
        if (la == 0)
            return 1;
        mulAdd(u, t, v);
        if (la == 1 && aa[0] == 1) {
            qelWordsCopy(a, u, n);
            return 0;
        }
        lq = divmod(q, lq, aa, la, t);
        if (lq == 0)
            return 1;
        mulAdd(v, t, u);
    }
}

// Where byte i of a run of count bytes at byte position p of the words
// lies, the run being in either byte order.
static inline u64 bytePosition(u32 p, u32 count, u32 i, bool bigEndian)
{
    return bigEndian ? (u64)p + count - 1 - i : (u64)p + i;
}

static void wordsToBytes(const u32 *a, u32 n, std::uint8_t *buf, u32 p, u32 count, bool bigEndian)
{
    for (u32 i = 0; i < count; ++i) {
        u64 pos = bytePosition(p, count, i, bigEndian);
        u64 w = pos / 4;
        buf[i] = w < n ? (std::uint8_t)(a[w] >> (8 * (pos % 4))) : 0;
    }
}

static void wordsFromBytes(u32 *a, const std::uint8_t *buf, u32 p, u32 count, bool bigEndian)
{
    for (u32 i = 0; i < count; ++i) {
        u64 pos = bytePosition(p, count, i, bigEndian);
        u32 shift = 8 * (u32)(pos % 4);
        a[pos / 4] = (a[pos / 4] & ~(0xFFu << shift)) | ((u32)buf[i] << shift);
    }
}

void qelWordsToBytesBE(const u32 *a, u32 n, std::uint8_t *buf, u32 p, u32 count)
{
    wordsToBytes(a, n, buf, p, count, true);
}

void qelWordsToBytesLE(const u32 *a, u32 n, std::uint8_t *buf, u32 p, u32 count)
{
    wordsToBytes(a, n, buf, p, count, false);
}

void qelWordsFromBytesBE(u32 *a, const std::uint8_t *buf, u32 p, u32 count)
{
    wordsFromBytes(a, buf, p, count, true);
}

void qelWordsFromBytesLE(u32 *a, const std::uint8_t *buf, u32 p, u32 count)
{
    wordsFromBytes(a, buf, p, count, false);
}

// ---------------------------------------------------------------------------
// Constant-time arithmetic for secret values
// ---------------------------------------------------------------------------
//
// Everything below runs the same instructions and touches the same memory
// whatever the values of its operands: loop counts come from word counts and
// bit bounds the caller gives (public by contract), selections are masks,
// and a table entry is read by reading every entry.

namespace {

// All ones when x is zero, else zero.
inline u64 maskIfZero64(u64 x) { return 0 - (u64)(((x | (0 - x)) >> 63) ^ 1); }

// Bits pos .. pos + w - 1 of an exponent of expWords words (zeros past it).
inline u32 ctWindowAt(const u32 *e, u32 expWords, u32 pos, unsigned w)
{
    u32 r = 0;
    for (unsigned k = 0; k < w; ++k) {
        const u32 bit = pos + k;
        if (bit / 32 < expWords)   // a public bound
            r |= ((e[bit / 32] >> (bit % 32)) & 1u) << k;
    }
    return r;
}

#if defined(QEL_LIMB_CARRY_INTRINSICS)
// The gather below with 256-bit vectors, for n a multiple of four: sixteen
// limbs at a time in four registers across all the entries, each entry's
// mask made by a vector compare of its number with the index.
__attribute__((target("avx2"))) void ctGatherAVX2(u64 *__restrict out, u64 *const *table, std::size_t entries,
                                                  u32 index, std::size_t n)
{
    const __m256i want = _mm256_set1_epi64x((long long)index);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m256i acc[4] = {};
        for (std::size_t k = 0; k < entries; ++k) {
            const __m256i mask = _mm256_cmpeq_epi64(_mm256_set1_epi64x((long long)k), want);
            const u64 *e = table[k] + i;
            for (int j = 0; j < 4; ++j)
                acc[j] = _mm256_or_si256(acc[j],
                                         _mm256_and_si256(mask, _mm256_loadu_si256((const __m256i *)(e + 4 * j))));
        }
        for (int j = 0; j < 4; ++j)
            _mm256_storeu_si256((__m256i *)(out + i + 4 * j), acc[j]);
    }
    for (; i < n; i += 4) {
        __m256i acc = _mm256_setzero_si256();
        for (std::size_t k = 0; k < entries; ++k) {
            const __m256i mask = _mm256_cmpeq_epi64(_mm256_set1_epi64x((long long)k), want);
            acc = _mm256_or_si256(acc, _mm256_and_si256(mask, _mm256_loadu_si256((const __m256i *)(table[k] + i))));
        }
        _mm256_storeu_si256((__m256i *)(out + i), acc);
    }
}
#endif

// out = table[index], every one of the entries read under a mask. Eight
// limbs at a time are gathered in registers across all the entries (the
// compiler makes vector code of it), rather than out being read and
// written back once per entry.
void ctGather(u64 *__restrict out, u64 *const *table, std::size_t entries, u32 index, std::size_t n)
{
#if defined(QEL_LIMB_CARRY_INTRINSICS)
    if (n % 4 == 0 && qelCryptoUseAVX2()) {
        ctGatherAVX2(out, table, entries, index, n);
        return;
    }
#endif
    u64 mask[64];
    for (std::size_t k = 0; k < entries; ++k)
        mask[k] = maskIfZero64((u64)k ^ index);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        u64 acc[8] = {};
        for (std::size_t k = 0; k < entries; ++k) {
            const u64 *__restrict e = table[k] + i;
            for (int j = 0; j < 8; ++j)
                acc[j] |= e[j] & mask[k];
        }
        for (int j = 0; j < 8; ++j)
            out[i + j] = acc[j];
    }
    for (; i < n; ++i) {
        u64 acc = 0;
        for (std::size_t k = 0; k < entries; ++k)
            acc |= table[k][i] & mask[k];
        out[i] = acc;
    }
    qelSecureWipe(mask, entries * sizeof(u64));
}

// r = a + b mod m for a, b < m.
void ctModAddLimbs(u64 *r, const u64 *a, const u64 *b, const u64 *m, std::size_t n, u64 *tmp)
{
    const u64 carry = limbsAdd(r, a, b, n);
    const u64 borrow = limbsSub(tmp, r, m, n);
    limbsSelect(r, tmp, r, n, 0 - (carry | (borrow ^ 1)));
}

// One wiped block for everything a constant-time routine needs (a single
// secure allocation per call: secure blocks are locked into memory, which
// costs more than the arithmetic when done block by block).
class CTArena {
public:
    // Over the caller's workspace (qelWordsCTWorkspaceLimbs) when given.
    explicit CTArena(u64 *workspace) : base_(workspace) {}
    bool reset(QELMemoryMgr *mgr, std::size_t limbs, bool secure)
    {
        used_ = 0;
        if (base_ != nullptr)
            return true;
        if (!buf_.reset(mgr, limbs * sizeof(u64), secure))
            return false;
        base_ = buf_.get();
        return true;
    }
    // Callers size the block for everything they take.
    u64 *get(std::size_t limbs)
    {
        u64 *p = base_ + used_;
        used_ += limbs;
        return p;
    }

private:
    u64 *base_;
    qel::WipedBuffer<u64> buf_;
    std::size_t used_ = 0;
};

// Limbs the domain takes from an arena for a modulus of n32 words.
std::size_t ctDomainLimbs(u32 n32) { return 7 * (std::size_t(n32 + 1) / 2) + 1; }
std::size_t ctLimbs(u32 n32) { return (n32 + 1) / 2; }

// The Montgomery domain of a modulus with R^2 mod m at hand, for the
// constant-time routines: its scratch comes with it.
struct CTDomain {
    MontDomain d{};
    u64 *r2 = nullptr;   // R^2 mod m
    u64 *one = nullptr;  // the plain value 1
    u64 *t1 = nullptr;   // scratch of n limbs
    u64 *t2 = nullptr;

    void setUp(CTArena &a, const u32 *mod, u32 n32, const u32 *r2Words)
    {
        d.n32 = n32;
        d.n = ctLimbs(n32);
        d.m = a.get(d.n);
        d.t = a.get(2 * d.n + 1);
        r2 = a.get(d.n);
        one = a.get(d.n);
        t1 = a.get(d.n);
        t2 = a.get(d.n);
        packLimbs(d.m, d.n, mod, n32);
        d.mPrime = limbMontgomeryConstant(d.m[0]);
        d.adx = qelCryptoUseMULX();
        d.constantTime = true;
        packLimbs(r2, d.n, r2Words, n32);
        std::memset(one, 0, d.n * sizeof(u64));
        one[0] = 1;
    }
    // out = x R mod m, x of xWords words of any size: Horner's rule over
    // chunks of the limb count, each brought in by a product with R^2.
    void toMont(u64 *out, const u32 *x, u32 xWords)
    {
        const u32 chunkWords = (u32)(2 * d.n);
        const u32 chunks = xWords == 0 ? 1 : (xWords + chunkWords - 1) / chunkWords;
        std::memset(out, 0, d.n * sizeof(u64));
        for (u32 c = chunks; c-- > 0;) {
            const u32 from = c * chunkWords;
            const u32 words = xWords > from ? (xWords - from < chunkWords ? xWords - from : chunkWords) : 0;
            packLimbs(t1, d.n, x + from, words);
            d.mul(t1, t1, r2);          // the chunk, in the domain
            if (c + 1 < chunks)
                d.mul(out, out, r2);    // what came before, times R
            ctModAddLimbs(out, out, t1, d.m, d.n, t2);
        }
    }
    void fromMont(u32 *out, const u64 *a)
    {
        d.mul(t1, a, one);
        unpackLimbs(out, d.n32, t1);
    }
};

unsigned ctWindowBits(u32 expBits)
{
    return expBits > 512 ? 5 : expBits > 128 ? 4 : expBits > 24 ? 3 : 1;
}

} // namespace

int qelWordsCTMod(u32 *out, const u32 *x, u32 xWords, const u32 *mod, u32 n32, QELMemoryMgr *mgr, bool secure)
{
    // Shift and subtract, one bit of x at a time: r stays below m, so 2r + 1
    // needs one conditional subtraction.
    qel::WipedBuffer<u32> buf;
    if (!buf.reset(mgr, 2 * (std::size_t(n32) + 1) * sizeof(u32), secure))
        return -1;
    u32 *r = buf.get(), *t = r + n32 + 1;
    qelWordsZero(r, n32 + 1);
    for (u32 bit = 32 * xWords; bit-- > 0;) {
        u32 in = (x[bit / 32] >> (bit % 32)) & 1u;
        for (u32 i = 0; i <= n32; ++i) {
            const u32 next = r[i] >> 31;
            r[i] = (r[i] << 1) | in;
            in = next;
        }
        // t = r - m over n32 + 1 words; keep t when it did not borrow.
        u64 borrow = 0;
        for (u32 i = 0; i <= n32; ++i) {
            const u64 d = (u64)r[i] - (i < n32 ? mod[i] : 0u) - borrow;
            t[i] = (u32)d;
            borrow = (d >> 32) & 1;
        }
        const u32 keep = (u32)borrow - 1u; // all ones: no borrow
        for (u32 i = 0; i <= n32; ++i)
            r[i] = (t[i] & keep) | (r[i] & ~keep);
    }
    qelWordsCopy(out, r, n32);
    return 0;
}

int qelWordsCTMontgomeryR2(u32 *r2, const u32 *mod, u32 n32, QELMemoryMgr *mgr, bool secure)
{
    // 2^(2 * 64 * limbs) mod m, by doubling 1 that many times.
    const u32 limbs = (n32 + 1) / 2;
    const u32 doublings = 128 * limbs;
    qel::WipedBuffer<u32> buf;
    if (!buf.reset(mgr, 2 * (std::size_t(n32) + 1) * sizeof(u32), secure))
        return -1;
    u32 *r = buf.get(), *t = r + n32 + 1;
    qelWordsZero(r, n32 + 1);
    r[0] = 1;
    for (u32 step = 0; step < doublings; ++step) {
        u32 in = 0;
        for (u32 i = 0; i <= n32; ++i) {
            const u32 next = r[i] >> 31;
            r[i] = (r[i] << 1) | in;
            in = next;
        }
        u64 borrow = 0;
        for (u32 i = 0; i <= n32; ++i) {
            const u64 d = (u64)r[i] - (i < n32 ? mod[i] : 0u) - borrow;
            t[i] = (u32)d;
            borrow = (d >> 32) & 1;
        }
        const u32 keep = (u32)borrow - 1u;
        for (u32 i = 0; i <= n32; ++i)
            r[i] = (t[i] & keep) | (r[i] & ~keep);
    }
    qelWordsCopy(r2, r, n32);
    return 0;
}

int qelWordsCTReduce(u32 *out, const u32 *x, u32 xWords, const u32 *mod, u32 n32, const u32 *r2,
                     QELMemoryMgr *mgr, bool secure, u64 *workspace)
{
    CTArena a(workspace);
    if (!a.reset(mgr, ctDomainLimbs(n32) + ctLimbs(n32), secure))
        return -1;
    CTDomain c;
    c.setUp(a, mod, n32, r2);
    u64 *acc = a.get(c.d.n);
    c.toMont(acc, x, xWords);
    c.fromMont(out, acc);
    return 0;
}

namespace {

// a b mod m (montgomery: a b / R mod m, for a and b of at most n32 words).
int ctProduct(u32 *out, const u32 *a, u32 aWords, const u32 *b, u32 bWords, const u32 *mod, u32 n32, const u32 *r2,
              QELMemoryMgr *mgr, bool secure, u64 *workspace, bool montgomery)
{
    CTArena arena(workspace);
    if (!arena.reset(mgr, ctDomainLimbs(n32) + 2 * ctLimbs(n32), secure))
        return -1;
    CTDomain c;
    c.setUp(arena, mod, n32, r2);
    u64 *x = arena.get(c.d.n), *y = arena.get(c.d.n);
    const u32 limbWords = (u32)(2 * c.d.n);
    if (montgomery || (aWords <= limbWords && bWords <= limbWords)) {
        // Both below R: b R mod m (reduced), then a (b R) / R = a b mod m;
        // the Montgomery product skips the first step.
        packLimbs(x, c.d.n, a, aWords);
        packLimbs(y, c.d.n, b, bWords);
        if (!montgomery)
            c.d.mul(y, y, c.r2);
        c.d.mul(x, x, y);
        unpackLimbs(out, n32, x);
        return 0;
    }
    c.toMont(x, a, aWords);
    c.toMont(y, b, bWords);
    c.d.mul(x, x, y);
    c.fromMont(out, x);
    return 0;
}

} // namespace

int qelWordsCTModMul(u32 *out, const u32 *a, u32 aWords, const u32 *b, u32 bWords, const u32 *mod, u32 n32,
                     const u32 *r2, QELMemoryMgr *mgr, bool secure, u64 *workspace)
{
    return ctProduct(out, a, aWords, b, bWords, mod, n32, r2, mgr, secure, workspace, false);
}

int qelWordsCTMontMul(u32 *out, const u32 *a, u32 aWords, const u32 *b, u32 bWords, const u32 *mod, u32 n32,
                      const u32 *r2, QELMemoryMgr *mgr, bool secure, u64 *workspace)
{
    return ctProduct(out, a, aWords, b, bWords, mod, n32, r2, mgr, secure, workspace, true);
}

void qelWordsCTModSub(u32 *out, const u32 *a, const u32 *b, const u32 *mod, u32 n32)
{
    u64 borrow = 0;
    for (u32 i = 0; i < n32; ++i) {
        const u64 d = (u64)a[i] - b[i] - borrow;
        out[i] = (u32)d;
        borrow = (d >> 32) & 1;
    }
    const u32 addBack = 0u - (u32)borrow;
    u64 carry = 0;
    for (u32 i = 0; i < n32; ++i) {
        const u64 v = (u64)out[i] + (mod[i] & addBack) + carry;
        out[i] = (u32)v;
        carry = v >> 32;
    }
}

u32 qelWordsCTAddInto(u32 *a, u32 aWords, const u32 *b, u32 bWords)
{
    u64 carry = 0;
    for (u32 i = 0; i < aWords; ++i) {
        const u64 v = (u64)a[i] + (i < bWords ? b[i] : 0u) + carry;
        a[i] = (u32)v;
        carry = v >> 32;
    }
    return (u32)carry;
}

u32 qelWordsCTEqualMask(const u32 *a, const u32 *b, u32 n)
{
    u32 diff = 0;
    for (u32 i = 0; i < n; ++i)
        diff |= a[i] ^ b[i];
    return (u32)maskIfZero64(diff);
}

int qelWordsExpModPublicExponent(u32 *result, const u32 *base, u32 baseWords, const u32 *exp, u32 expWords,
                                 const u32 *mod, u32 n32, const u32 *r2, QELMemoryMgr *mgr, bool secure,
                                 u64 *workspace)
{
    CTArena a(workspace);
    if (!a.reset(mgr, ctDomainLimbs(n32) + 2 * ctLimbs(n32), secure))
        return -1;
    CTDomain c;
    c.setUp(a, mod, n32, r2);
    const std::size_t n = c.d.n;
    u64 *g = a.get(n), *acc = a.get(n);
    c.toMont(g, base, baseWords);
    const u32 bits = qelWordsBitLength(exp, expWords);
    if (bits == 0) {
        c.d.mul(acc, c.r2, c.one);
    } else {
        std::memcpy(acc, g, n * sizeof(u64));
        // Left to right over the exponent's bits, which are public.
        for (u32 i = bits - 1; i-- > 0;) {
            c.d.sqr(acc, acc);
            if ((exp[i / 32] >> (i % 32)) & 1u)
                c.d.mul(acc, acc, g);
        }
    }
    c.fromMont(result, acc);
    std::memset(g, 0, n * sizeof(u64));
    return 0;
}

std::size_t qelWordsCTWorkspaceLimbs(u32 n32)
{
    return ctDomainLimbs(n32) + 34 * ctLimbs(n32);
}

int qelWordsExpModSecret(u32 *result, const u32 *base, u32 baseWords, const u32 *exp, u32 expWords, u32 expBits,
                         const u32 *mod, u32 n32, const u32 *r2, QELMemoryMgr *mgr, bool secure, u64 *workspace)
{
    const unsigned w = ctWindowBits(expBits);
    const std::size_t entries = std::size_t(1) << w;
    CTArena a(workspace);
    if (!a.reset(mgr, ctDomainLimbs(n32) + (entries + 2) * ctLimbs(n32), secure))
        return -1;
    CTDomain c;
    c.setUp(a, mod, n32, r2);
    const std::size_t n = c.d.n;
    u64 *table[32] = {};
    for (std::size_t k = 0; k < entries; ++k)
        table[k] = a.get(n);
    u64 *acc = a.get(n), *entry = a.get(n);
    // table[k] = base^k in the domain; table[0] = R mod m.
    c.d.mul(table[0], c.r2, c.one);
    c.toMont(table[1], base, baseWords);
    for (std::size_t k = 2; k < entries; ++k)
        c.d.mul(table[k], table[k - 1], table[1]);

    const u32 windows = expBits == 0 ? 1 : (expBits + w - 1) / w;
    ctGather(acc, table, entries, ctWindowAt(exp, expWords, (windows - 1) * w, w), n);
    for (u32 win = windows - 1; win-- > 0;) {
        for (unsigned k = 0; k < w; ++k)
            c.d.sqr(acc, acc);
        ctGather(entry, table, entries, ctWindowAt(exp, expWords, win * w, w), n);
        c.d.mul(acc, acc, entry);
    }
    c.fromMont(result, acc);
    std::memset(entry, 0, n * sizeof(u64));
    return 0;
}
