// Big-number objects: growth and release of the word arrays, the memory glue
// for scratch space, and the 31 operations of the process-wide table.
#include "qelBigNumInternal.h"

#include "qelBigNumWordInternal.h"
#include "qelConstantTimeInternal.h"
#include "qelHelpers.h"
#include "qelMemoryInternal.h"
#include "qelWipe.h"

#include <atomic>
#include <mutex>
#include <cstring>
#include <utility>

QELBigNumOpsTable QELBigNumOps;

namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

// No number grows beyond this many words (256 MiB); larger requests fail like
// an exhausted allocator instead of overflowing size arithmetic.
constexpr u64 kMaxWords = u64{1} << 26;

std::atomic<bool> gTableReady{false};

u32 sig(const QELBigNum *n) { return n->words ? qelWordsSignificantLength(n->words, n->used) : 0; }

// The word count an operation may follow. A secure number holds a secret:
// its own count is public (the length it was read or made with), while its
// significant length could only be found by looking at its top words. A
// public number is taken at its significant length.
u32 countOf(const QELBigNum *n)
{
    if (n->secure)
        return n->words ? n->used : 0;
    return sig(n);
}

// All ones when x is not zero; no branch.
u32 nonZeroMask(u32 x) { return 0u - ((x | (0u - x)) >> 31); }

// The bit length of the words a[0 .. words - 1] without a branch on them:
// every word is looked at, the highest non-zero one chosen by masks and its
// length found by halving.
u32 ctBitLength(const u32 *a, u32 words)
{
    u32 bits = 0;
    for (u32 i = 0; i < words; ++i) {
        u32 w = a[i];
        u32 length = 0;
        for (u32 half = 16; half != 0; half >>= 1) {
            const u32 step = half & nonZeroMask(w >> half);
            length += step;
            w >>= step;
        }
        length += w & 1u;
        const u32 take = nonZeroMask(a[i]);
        bits = ((32 * i + length) & take) | (bits & ~take);
    }
    return bits;
}

bool anySecure(const QELBigNum *a, const QELBigNum *b = nullptr, const QELBigNum *c = nullptr)
{
    return (a && a->secure) || (b && b->secure) || (c && c->secure);
}

// Ensures room for `words` words; the value and old words are kept.
int grow(QELBigNum *n, u64 words)
{
    if (words <= n->allocated)
        return 0;
    if (words > kMaxWords)
        return -1;
    u32 count = (u32)((words + 1) & ~u64{1});
    std::size_t bytes = std::size_t(count) * sizeof(u32);
    auto *fresh = static_cast<u32 *>(qelBigNumScratchAlloc(n->memoryMgr, bytes, n->secure != 0));
    if (fresh == nullptr)
        return -1;
    if (n->words != nullptr) {
        std::memcpy(fresh, n->words, std::size_t(n->allocated) * sizeof(u32));
        qelBigNumScratchFree(n->words, std::size_t(n->allocated) * sizeof(u32));
    }
    std::memset(fresh + n->allocated, 0, std::size_t(count - n->allocated) * sizeof(u32));
    n->words = fresh;
    n->allocated = count;
    return 0;
}

// Zeroes words [from, to).
void extendZero(QELBigNum *n, u32 from, u32 to)
{
    if (to > from)
        qelWordsZero(n->words + from, to - from);
}

u32 trimTo(QELBigNum *n, u32 len)
{
    n->used = n->words ? qelWordsSignificantLength(n->words, len) : 0;
    return n->used;
}

// A temporary word array: wiped and released when it goes.
using TempWords = qel::WipedBuffer<u32>;

// ---- the 31 operations ------------------------------------------------------

void bnFree(QELBigNum *n)
{
    qelBigNumScratchFree(n->words, std::size_t(n->allocated) * sizeof(u32));
    n->words = nullptr;
    n->used = 0;
    n->allocated = 0;
}

std::int32_t bnReserveBits(QELBigNum *n, u32 bits) { return grow(n, (u64(bits) + 31) / 32); }

std::int32_t bnCopy(QELBigNum *dst, const QELBigNum *src)
{
    if (dst == src)
        return 0;
    // A secret keeps its public word count, leading zero words and all.
    u32 len = countOf(src);
    if (grow(dst, len) != 0)
        return -1;
    if (len)
        qelWordsCopy(dst->words, src->words, len);
    dst->used = len;
    return 0;
}

u32 bnTrim(QELBigNum *n) { return trimTo(n, n->used); }

template <void (*Export)(const u32 *, u32, std::uint8_t *, u32, u32)>
void bnToBytes(const QELBigNum *n, std::uint8_t *buf, u32 p, u32 count)
{
    Export(n->words, n->words ? n->used : 0, buf, p, count);
}

template <void (*Import)(u32 *, const std::uint8_t *, u32, u32)>
std::int32_t bnFromBytes(QELBigNum *n, const std::uint8_t *buf, u32 p, u32 count)
{
    u64 need = (u64(p) + count + 3) / 4;
    if (grow(n, need) != 0)
        return -1;
    u32 used = n->words ? n->used : 0;
    if (need > used) {
        extendZero(n, used, (u32)need);
        used = (u32)need;
    }
    if (count)
        Import(n->words, buf, p, count);
    // A secure number holds a secret: it keeps the word count of the bytes
    // it was read from (public, as their length is), since finding its
    // significant length would branch on its top word.
    if (n->secure)
        n->used = used;
    else
        trimTo(n, used);
    return 0;
}

u32 bnLowWord(const QELBigNum *n) { return sig(n) ? n->words[0] : 0; }

u32 bnBitLength(const QELBigNum *n)
{
    if (n->secure)
        return n->words ? ctBitLength(n->words, n->used) : 0;
    return n->words ? qelWordsBitLength(n->words, n->used) : 0;
}

std::int32_t bnAdd(QELBigNum *dst, const QELBigNum *addend)
{
    u32 la = sig(dst), lb = sig(addend);
    u32 len = la > lb ? la : lb;
    if (grow(dst, u64(len) + 1) != 0)
        return -1;
    extendZero(dst, la, len);
    u32 carry = qelWordsAdd(dst->words, addend->words, lb);
    carry = qelWordsAddWord(dst->words + lb, len - lb, carry);
    dst->words[len] = carry;
    trimTo(dst, len + 1);
    return 0;
}

std::int32_t bnSubtract(QELBigNum *dst, const QELBigNum *sub)
{
    u32 la = sig(dst), lb = sig(sub);
    u32 len = la > lb ? la : lb;
    if (grow(dst, len) != 0)
        return -1;
    extendZero(dst, la, len);
    u32 borrow = qelWordsSubtract(dst->words, sub->words, lb);
    borrow = qelWordsSubtractWord(dst->words + lb, len - lb, borrow);
    if (borrow)
        qelWordsNegate(dst->words, len);
    trimTo(dst, len);
    return borrow ? 1 : 0;
}

std::int32_t bnCompareWord(const QELBigNum *n, u32 w)
{
    u32 l = sig(n);
    if (l > 1)
        return 1;
    u32 v = l ? n->words[0] : 0;
    return v < w ? -1 : (v > w ? 1 : 0);
}

std::int32_t bnSetWord(QELBigNum *n, u32 w)
{
    if (w == 0) {
        n->used = 0;
        return 0;
    }
    if (grow(n, 1) != 0)
        return -1;
    n->words[0] = w;
    n->used = 1;
    return 0;
}

std::int32_t bnAddWord(QELBigNum *n, u32 w)
{
    u32 l = sig(n);
    if (l == 0)
        return bnSetWord(n, w);
    if (grow(n, u64(l) + 1) != 0)
        return -1;
    n->words[l] = qelWordsAddWord(n->words, l, w);
    trimTo(n, l + 1);
    return 0;
}

// n - w for a secret n: the borrow runs through every word of its public
// count and a negative result is negated under a mask; the count stays.
// Only the sign, which every caller acts on, is handed over as public.
std::int32_t subtractWordSecret(QELBigNum *n, u32 l, u32 w)
{
    u32 *a = n->words;
    u64 borrow = w;
    for (u32 i = 0; i < l; ++i) {
        const u64 d = (u64)a[i] - borrow;
        a[i] = (u32)d;
        borrow = d >> 63;
    }
    const u32 negative = 0u - (u32)borrow;
    u64 carry = negative & 1u;
    for (u32 i = 0; i < l; ++i) {
        const u64 v = (u64)(a[i] ^ negative) + carry;
        a[i] = (u32)v;
        carry = v >> 32;
    }
    n->used = l;
    return qelCTDeclassifyValue((std::int32_t)borrow);
}

std::int32_t bnSubtractWord(QELBigNum *n, u32 w)
{
    u32 l = countOf(n);
    if (l != 0 && n->secure)
        return subtractWordSecret(n, l, w);
    if (l == 0) {
        if (bnSetWord(n, w) != 0)
            return -1;
        return w ? 1 : 0;
    }
    if (qelWordsSubtractWord(n->words, l, w)) {
        // Only a single word below w can borrow out of the top.
        n->words[0] = 0u - n->words[0];
        n->used = 1;
        return 1;
    }
    trimTo(n, l);
    return 0;
}

std::int32_t bnCompare(const QELBigNum *a, const QELBigNum *b)
{
    u32 la = sig(a), lb = sig(b);
    if (la != lb)
        return la < lb ? -1 : 1;
    return la ? qelWordsCompare(a->words, b->words, la) : 0;
}

std::int32_t bnSquare(QELBigNum *dst, const QELBigNum *src)
{
    u32 l = sig(src);
    if (l == 0) {
        dst->used = 0;
        return 0;
    }
    const u32 *s = src->words;
    TempWords tmp(dst->memoryMgr, dst == src ? l : 0, dst->secure != 0);
    if (dst == src) {
        if (tmp.get() == nullptr)
            return -1;
        qelWordsCopy(tmp.get(), src->words, l);
        s = tmp.get();
    }
    if (grow(dst, u64(2) * l) != 0)
        return -1;
    qelWordsSquare(dst->words, s, l);
    trimTo(dst, 2 * l);
    return 0;
}

std::int32_t bnMultiply(QELBigNum *dst, const QELBigNum *a, const QELBigNum *b)
{
    if (a == b)
        return bnSquare(dst, a);
    u32 la = sig(a), lb = sig(b);
    if (la == 0 || lb == 0) {
        dst->used = 0;
        return 0;
    }
    const QELBigNum *aliased = dst == a ? a : (dst == b ? b : nullptr);
    u32 tl = aliased ? sig(aliased) : 0;
    TempWords tmp(dst->memoryMgr, tl, anySecure(dst, a, b));
    if (aliased) {
        if (tmp.get() == nullptr)
            return -1;
        qelWordsCopy(tmp.get(), aliased->words, tl);
    }
    if (grow(dst, u64(la) + lb) != 0)
        return -1;
    // Read the operand pointers only now: growing may move dst's words.
    const u32 *pa = aliased == a ? tmp.get() : a->words;
    const u32 *pb = aliased == b ? tmp.get() : b->words;
    qelWordsMultiply(dst->words, pa, la, pb, lb);
    trimTo(dst, la + lb);
    return 0;
}

std::int32_t bnMultiplyWord(QELBigNum *dst, const QELBigNum *src, u32 w)
{
    u32 l = sig(src);
    if (l == 0 || w == 0) {
        dst->used = 0;
        return 0;
    }
    if (w == 1)
        return bnCopy(dst, src);
    if (grow(dst, u64(l) + 1) != 0)
        return -1;
    qelWordsMultiplyWord(dst->words, src->words, l, w);
    trimTo(dst, l + 1);
    return 0;
}

std::int32_t bnDivide(QELBigNum *quotient, QELBigNum *remainder, const QELBigNum *dividend,
                      const QELBigNum *divisor)
{
    u32 ld = sig(dividend), lv = sig(divisor);
    if (lv == 0)
        return -1;
    if (ld < lv) {
        if (bnCopy(remainder, dividend) != 0)
            return -1;
        quotient->used = 0;
        return 0;
    }
    TempWords v(remainder->memoryMgr, lv, anySecure(remainder, dividend, divisor));
    if (v.get() == nullptr || grow(remainder, ld) != 0 || grow(quotient, u64(ld - lv) + 1) != 0)
        return -1;
    qelWordsCopy(v.get(), divisor->words, lv);
    if (remainder != dividend)
        qelWordsCopy(remainder->words, dividend->words, ld);
    u32 top = qelWordsDivide(quotient->words, remainder->words, ld, v.get(), lv);
    quotient->words[ld - lv] = top;
    trimTo(quotient, ld - lv + 1);
    trimTo(remainder, lv);
    return 0;
}

// The remainder when a secret is involved: no division (its quotient digit
// estimates branch on the values), and the result keeps the divisor's
// public word count, untrimmed. A public odd divisor takes the Montgomery
// reduction with R^2 made from it; any other (a secret one, an even one)
// the reduction by shift and subtract. Only "the divisor is zero", the
// operation's refusal, is handed over as public.
std::int32_t modSecret(QELBigNum *result, const QELBigNum *dividend, const QELBigNum *divisor)
{
    const u32 ld = countOf(dividend), lv = countOf(divisor);
    if (lv == 0)
        return -1;
    u32 any = 0;
    for (u32 i = 0; i < lv; ++i)
        any |= divisor->words[i];
    if (qelCTDeclassifyValue(nonZeroMask(any)) == 0)
        return -1;
    const bool secure = anySecure(result, dividend, divisor);
    // The dividend is read whole before the result is written, so they may
    // be one number; growing the result may move its words.
    if (grow(result, lv) != 0)
        return -1;
    const u32 *x = dividend->words;
    if (ld == 0) {
        qelWordsZero(result->words, lv);
    } else if (!divisor->secure && (divisor->words[0] & 1u) != 0) {
        TempWords r2(result->memoryMgr, lv, secure);
        if (r2.get() == nullptr ||
            qelWordsMontgomeryR2(r2.get(), divisor->words, lv, result->memoryMgr, secure) != 0 ||
            qelWordsCTReduce(result->words, x, ld, divisor->words, lv, r2.get(), result->memoryMgr, secure) != 0)
            return -1;
    } else if (qelWordsCTMod(result->words, x, ld, divisor->words, lv, result->memoryMgr, secure) != 0) {
        return -1;
    }
    result->used = lv;
    return 0;
}

std::int32_t bnMod(QELBigNum *result, const QELBigNum *dividend, const QELBigNum *divisor)
{
    if (result == divisor)
        return -1;
    if (anySecure(result, dividend, divisor))
        return modSecret(result, dividend, divisor);
    u32 ld = sig(dividend), lv = sig(divisor);
    if (lv == 0 || result == divisor)
        return -1;
    if (bnCopy(result, dividend) != 0)
        return -1;
    if (ld < lv)
        return 0;
    TempWords v(result->memoryMgr, lv, anySecure(result, dividend, divisor));
    if (v.get() == nullptr)
        return -1;
    qelWordsCopy(v.get(), divisor->words, lv);
    qelWordsDivide(result->words + lv, result->words, ld, v.get(), lv);
    extendZero(result, lv, ld);
    trimTo(result, lv);
    return 0;
}

u32 bnModWord(const QELBigNum *n, u32 d)
{
    u32 l = sig(n);
    if (l == 0 || d == 0)
        return 0;
    if ((d & (d - 1)) == 0)
        return n->words[0] & (d - 1);
    return qelWordsModWord(n->words, l, d);
}

// Common checks of the exponentiations: a non-zero odd modulus.
bool modulusUsable(const QELBigNum *m, u32 &lm)
{
    lm = sig(m);
    return lm != 0 && (m->words[0] & 1u) != 0;
}

std::int32_t bnExpMod(QELBigNum *result, const QELBigNum *base, const QELBigNum *exponent,
                      const QELBigNum *modulus)
{
    u32 lm;
    if (!modulusUsable(modulus, lm) || result == exponent || result == modulus)
        return -1;
    if (grow(result, lm) != 0)
        return -1;
    bool secure = anySecure(result, base, exponent) || modulus->secure;
    u32 lb = sig(base);
    int rc;
    if (lb == 1 && base->words[0] == 2)
        rc = qelWordsPowerOfTwoMod(result->words, exponent->words, sig(exponent), modulus->words, lm,
                                   result->memoryMgr, secure);
    else
        rc = qelWordsExpMod(result->words, base->words, lb, exponent->words, sig(exponent),
                            modulus->words, lm, result->memoryMgr, secure);
    if (rc != 0)
        return -1;
    trimTo(result, lm);
    return 0;
}

std::int32_t bnExpModSecret(QELBigNum *result, const QELBigNum *base, const QELBigNum *exponent,
                            const QELBigNum *modulus, u32 exponentBits)
{
    // The word counts are public; the words of a secure modulus are not
    // examined (its oddness is the caller's promise).
    const u32 lm = modulus->words ? modulus->used : 0;
    if (lm == 0 || exponentBits == 0 || result == exponent || result == modulus)
        return -1;
    if (!modulus->secure && (modulus->words[0] & 1u) == 0)
        return -1;
    const bool secure = anySecure(result, base, exponent) || modulus->secure;
    TempWords r2(result->memoryMgr, lm, secure);
    if (r2.get() == nullptr || grow(result, lm) != 0)
        return -1;
    const int made = modulus->secure
                         ? qelWordsCTMontgomeryR2(r2.get(), modulus->words, lm, result->memoryMgr, secure)
                         : qelWordsMontgomeryR2(r2.get(), modulus->words, lm, result->memoryMgr, secure);
    if (made != 0)
        return -1;
    const u32 baseWords = base->words ? base->used : 0;
    const u32 expWords = exponent->words ? exponent->used : 0;
    if (qelWordsExpModSecret(result->words, base->words, baseWords, exponent->words, expWords, exponentBits,
                             modulus->words, lm, r2.get(), result->memoryMgr, secure) != 0)
        return -1;
    result->used = lm;
    return 0;
}

} // namespace

std::int32_t qelBigNumMontgomeryR2(QELBigNum *r2, const QELBigNum *modulus)
{
    u32 lm;
    if (r2 == nullptr || r2 == modulus || !modulusUsable(modulus, lm) || grow(r2, lm) != 0)
        return -1;
    if (qelWordsMontgomeryR2(r2->words, modulus->words, lm, r2->memoryMgr, anySecure(r2) || modulus->secure) != 0)
        return -1;
    trimTo(r2, lm);
    return 0;
}

std::int32_t qelBigNumExpModR2(QELBigNum *result, const QELBigNum *base, const QELBigNum *exponent,
                               const QELBigNum *modulus, const QELBigNum *r2)
{
    u32 lm;
    // Without a usable value (or for the power-of-two base) the plain way.
    if (r2 == nullptr || sig(r2) == 0 || !modulusUsable(modulus, lm) || sig(r2) > lm ||
        (sig(base) == 1 && base->words[0] == 2))
        return QELBigNumOps.qelBigNumExpMod(result, base, exponent, modulus);
    if (result == exponent || result == modulus || result == r2 || grow(result, lm) != 0)
        return -1;
    const bool secure = anySecure(result, base, exponent) || modulus->secure;
    if (qelWordsExpModR2(result->words, base->words, sig(base), exponent->words, sig(exponent), modulus->words, lm,
                         r2->words, sig(r2), result->memoryMgr, secure) != 0)
        return -1;
    trimTo(result, lm);
    return 0;
}

std::int32_t qelBigNumExpModPair(QELBigNum *result1, const QELBigNum *base1, const QELBigNum *exponent1,
                                 const QELBigNum *modulus1, QELBigNum *result2, const QELBigNum *base2,
                                 const QELBigNum *exponent2, const QELBigNum *modulus2)
{
    u32 l1, l2;
    if (!modulusUsable(modulus1, l1) || !modulusUsable(modulus2, l2) || result1 == result2)
        return -1;
    for (const QELBigNum *in : {exponent1, modulus1, base2, exponent2, modulus2})
        if (in == result1)
            return -1;
    for (const QELBigNum *in : {exponent2, modulus2, base1, exponent1, modulus1})
        if (in == result2)
            return -1;
    if (grow(result1, l1) != 0 || grow(result2, l2) != 0)
        return -1;
    const bool secure = anySecure(result1, base1, exponent1) || anySecure(result2, base2, exponent2) ||
                        anySecure(modulus1, modulus2);
    if (qelWordsExpModPair(result1->words, base1->words, sig(base1), exponent1->words, sig(exponent1),
                           modulus1->words, l1, result2->words, base2->words, sig(base2), exponent2->words,
                           sig(exponent2), modulus2->words, l2, result1->memoryMgr, secure) != 0)
        return -1;
    trimTo(result1, l1);
    trimTo(result2, l2);
    return 0;
}

namespace {

std::int32_t bnDoubleExpMod(QELBigNum *result, const QELBigNum *base1, const QELBigNum *exponent1,
                            const QELBigNum *base2, const QELBigNum *exponent2, const QELBigNum *modulus)
{
    u32 lm;
    if (!modulusUsable(modulus, lm) || result == exponent1 || result == exponent2 || result == modulus)
        return -1;
    if (grow(result, lm) != 0)
        return -1;
    bool secure = anySecure(result, base1, exponent1) || anySecure(base2, exponent2, modulus);
    int rc = qelWordsDoubleExpMod(result->words, base1->words, sig(base1), exponent1->words,
                                  sig(exponent1), base2->words, sig(base2), exponent2->words,
                                  sig(exponent2), modulus->words, lm, result->memoryMgr, secure);
    if (rc != 0)
        return -1;
    trimTo(result, lm);
    return 0;
}

std::int32_t bnPowerOfTwoMod(QELBigNum *result, const QELBigNum *exponent, const QELBigNum *modulus)
{
    u32 lm;
    if (!modulusUsable(modulus, lm) || result == exponent || result == modulus)
        return -1;
    if (grow(result, lm) != 0)
        return -1;
    bool secure = anySecure(result, exponent, modulus);
    if (qelWordsPowerOfTwoMod(result->words, exponent->words, sig(exponent), modulus->words, lm,
                              result->memoryMgr, secure) != 0)
        return -1;
    trimTo(result, lm);
    return 0;
}

std::int32_t bnGCD(QELBigNum *dst, const QELBigNum *a, const QELBigNum *b)
{
    if (a == b)
        return bnCopy(dst, a);
    if (dst != a) {
        const QELBigNum *t = a;
        a = b;
        b = t;
    }
    // a is now the destination or neither operand is.
    u32 la = sig(a), lb = sig(b);
    TempWords tb(dst->memoryMgr, lb + 1, anySecure(dst, a, b));
    // The gcd may end in the second operand's words (gcd(0, b) = b), so the
    // destination must hold either operand.
    if (tb.get() == nullptr || grow(dst, u64(la > lb ? la : lb) + 1) != 0)
        return -1;
    qelWordsCopy(tb.get(), b->words, lb);
    if (dst != a)
        qelWordsCopy(dst->words, a->words, la);
    u32 outLen = 0;
    int where = qelWordsGCD(dst->words, la, tb.get(), lb, &outLen);
    if (where == 1)
        qelWordsCopy(dst->words, tb.get(), outLen);
    dst->used = outLen;
    return 0;
}

std::int32_t bnInverseMod(QELBigNum *dst, const QELBigNum *a, const QELBigNum *modulus)
{
    u32 lm = sig(modulus);
    if (lm == 0 || dst == modulus)
        return -1;
    u32 la = sig(a);
    if (la > lm || (la == lm && bnCompare(a, modulus) != 0)) {
        if (bnMod(dst, a, modulus) != 0)
            return -1;
    } else if (bnCopy(dst, a) != 0) {
        return -1;
    }
    if (grow(dst, u64(lm) + 1) != 0)
        return -1;
    u32 l = sig(dst);
    extendZero(dst, l, lm + 1);
    int rc = qelWordsInverse(dst->words, modulus->words, lm, dst->memoryMgr,
                             anySecure(dst, a, modulus));
    if (rc < 0)
        return -1;
    trimTo(dst, lm);
    return rc; // 1: no inverse
}

std::int32_t bnShiftLeft(QELBigNum *n, u32 bits)
{
    u32 l = sig(n);
    if (l == 0 || bits == 0)
        return 0;
    u32 ws = bits / 32, b = bits % 32;
    u64 need = u64(l) + ws + 1;
    if (grow(n, need) != 0)
        return -1;
    n->words[l] = qelWordsShiftLeft(n->words, l, b);
    if (ws) {
        std::memmove(n->words + ws, n->words, std::size_t(l + 1) * sizeof(u32));
        qelWordsZero(n->words, ws);
    }
    trimTo(n, (u32)need);
    return 0;
}

u32 bnShiftRight(QELBigNum *n, u32 bits)
{
    u32 l = sig(n);
    u32 ws = bits / 32, b = bits % 32;
    if (ws >= l) {
        n->used = 0;
        return 0;
    }
    if (ws) {
        std::memmove(n->words, n->words + ws, std::size_t(l - ws) * sizeof(u32));
        l -= ws;
    }
    qelWordsShiftRight(n->words, l, b);
    return trimTo(n, l);
}

u32 bnStripZeroBits(QELBigNum *n)
{
    u32 l = sig(n);
    if (l == 0)
        return 0;
    u32 z = 0;
    while (n->words[z] == 0)
        ++z;
    u32 total = 32 * z + (u32)__builtin_ctz(n->words[z]);
    bnShiftRight(n, total);
    return total;
}

} // namespace

// ---- memory glue for the word routines --------------------------------------

void *qelBigNumScratchAlloc(QELMemoryMgr *mgr, std::size_t bytes, bool secure)
{
    return secure ? qelMemAllocSecure(mgr, bytes, 0) : qelMemAlloc(mgr, bytes, 0);
}

void qelBigNumScratchFree(void *block, std::size_t bytes)
{
    if (block == nullptr)
        return;
    qelSecureWipe(block, bytes);
    static_cast<void>(qelMemFree(block));
}

// ---- table set-up -------------------------------------------------------------

void qelBigNumSetup()
{
    QELBigNumOps.qelBigNumFree = bnFree;
    QELBigNumOps.qelBigNumReserveBits = bnReserveBits;
    QELBigNumOps.qelBigNumCopy = bnCopy;
    QELBigNumOps.qelBigNumTrim = bnTrim;
    QELBigNumOps.qelBigNumToBytesBE = bnToBytes<qelWordsToBytesBE>;
    QELBigNumOps.qelBigNumFromBytesBE = bnFromBytes<qelWordsFromBytesBE>;
    QELBigNumOps.qelBigNumToBytesLE = bnToBytes<qelWordsToBytesLE>;
    QELBigNumOps.qelBigNumFromBytesLE = bnFromBytes<qelWordsFromBytesLE>;
    QELBigNumOps.qelBigNumLowWord = bnLowWord;
    QELBigNumOps.qelBigNumBitLength = bnBitLength;
    QELBigNumOps.qelBigNumAdd = bnAdd;
    QELBigNumOps.qelBigNumSubtract = bnSubtract;
    QELBigNumOps.qelBigNumCompareWord = bnCompareWord;
    QELBigNumOps.qelBigNumSetWord = bnSetWord;
    QELBigNumOps.qelBigNumAddWord = bnAddWord;
    QELBigNumOps.qelBigNumSubtractWord = bnSubtractWord;
    QELBigNumOps.qelBigNumCompare = bnCompare;
    QELBigNumOps.qelBigNumSquare = bnSquare;
    QELBigNumOps.qelBigNumMultiply = bnMultiply;
    QELBigNumOps.qelBigNumMultiplyWord = bnMultiplyWord;
    QELBigNumOps.qelBigNumDivide = bnDivide;
    QELBigNumOps.qelBigNumMod = bnMod;
    QELBigNumOps.qelBigNumModWord = bnModWord;
    QELBigNumOps.qelBigNumExpMod = bnExpMod;
    QELBigNumOps.qelBigNumDoubleExpMod = bnDoubleExpMod;
    QELBigNumOps.qelBigNumPowerOfTwoMod = bnPowerOfTwoMod;
    QELBigNumOps.qelBigNumGCD = bnGCD;
    QELBigNumOps.qelBigNumInverseMod = bnInverseMod;
    QELBigNumOps.qelBigNumShiftLeft = bnShiftLeft;
    QELBigNumOps.qelBigNumShiftRight = bnShiftRight;
    QELBigNumOps.qelBigNumStripZeroBits = bnStripZeroBits;
    QELBigNumOps.qelBigNumExpModSecret = bnExpModSecret;
}

void qelBigNumInit()
{
    // Every call would store the same pointers; storing them once keeps
    // concurrent first uses free of racing writes.
    static std::once_flag once;
    std::call_once(once, qelBigNumSetup);
}

void qelBigNumBegin(QELBigNum *n, QELMemoryMgr *mgr, std::uint8_t secure)
{
    if (!gTableReady.load(std::memory_order_acquire)) {
        qelBigNumInit();
        gTableReady.store(true, std::memory_order_release);
    }
    n->words = nullptr;
    n->used = 0;
    n->allocated = 0;
    n->memoryMgr = mgr;
    n->secure = secure ? 1 : 0;
}

void qelBigNumSwap(QELBigNum *a, QELBigNum *b)
{
    std::swap(a->words, b->words);
    std::swap(a->used, b->used);
    std::swap(a->allocated, b->allocated);
}
