// Word-array arithmetic under the big-number objects: arrays of unsigned
// 32-bit words, least significant word first. Lengths are in words. Nothing
// here allocates except the exponentiations, the gcd wrapper and the inverse,
// which take wiped scratch buffers (qel::WipedBuffer) from the given manager.
#pragma once

#include <cstddef>
#include <cstdint>

struct QELMemoryMgr;

// ---- memory glue (defined with the big-number objects) --------------------
// The word arrays of numbers come from the given manager, secure when asked;
// they are overwritten with zeros before they are released.
void *qelBigNumScratchAlloc(QELMemoryMgr *mgr, std::size_t bytes, bool secure);
void qelBigNumScratchFree(void *block, std::size_t bytes);

// ---- primitive routines ----------------------------------------------------
void qelWordsZero(std::uint32_t *a, std::uint32_t n);
void qelWordsCopy(std::uint32_t *d, const std::uint32_t *s, std::uint32_t n);
void qelWordsNegate(std::uint32_t *a, std::uint32_t n);
std::uint32_t qelWordsAddWord(std::uint32_t *a, std::uint32_t n, std::uint32_t w);
std::uint32_t qelWordsSubtractWord(std::uint32_t *a, std::uint32_t n, std::uint32_t w);
std::uint32_t qelWordsAdd(std::uint32_t *a, const std::uint32_t *b, std::uint32_t n);
std::uint32_t qelWordsSubtract(std::uint32_t *a, const std::uint32_t *b, std::uint32_t n);
int qelWordsCompare(const std::uint32_t *a, const std::uint32_t *b, std::uint32_t n);
void qelWordsMultiplyWord(std::uint32_t *d, const std::uint32_t *s, std::uint32_t n, std::uint32_t w);
std::uint32_t qelWordsMultiplyAccumulate(std::uint32_t *d, const std::uint32_t *s, std::uint32_t n,
                                         std::uint32_t w);
std::uint32_t qelWordsMultiplySubtract(std::uint32_t *d, const std::uint32_t *s, std::uint32_t n,
                                       std::uint32_t w);
std::uint32_t qelWordsShiftLeft(std::uint32_t *a, std::uint32_t n, unsigned bits);
std::uint32_t qelWordsShiftLeftOne(std::uint32_t *a, std::uint32_t n);
std::uint32_t qelWordsShiftRight(std::uint32_t *a, std::uint32_t n, unsigned bits);
std::uint32_t qelWordsSignificantLength(const std::uint32_t *a, std::uint32_t n);
std::uint32_t qelWordsBitLength(const std::uint32_t *a, std::uint32_t n);

// ---- composite routines ----------------------------------------------------
// d[0..n+m-1] = a * b; d must not overlap a or b.
void qelWordsMultiply(std::uint32_t *d, const std::uint32_t *a, std::uint32_t n,
                      const std::uint32_t *b, std::uint32_t m);
// d[0..2n-1] = a^2; d must not overlap a.
void qelWordsSquare(std::uint32_t *d, const std::uint32_t *a, std::uint32_t n);
// Divides the n-word number r by the k-word divisor v (top word non-zero,
// n >= k >= 1). The quotient's lower n-k words go to q (q may be r + k), its
// top word is returned; the remainder is left in r[0..k-1]. v is normalised
// in place and restored before the return.
std::uint32_t qelWordsDivide(std::uint32_t *q, std::uint32_t *r, std::uint32_t n, std::uint32_t *v,
                             std::uint32_t k);
// Exact remainder of a by any non-zero d.
std::uint32_t qelWordsModWord(const std::uint32_t *a, std::uint32_t n, std::uint32_t d);
// -m^-1 mod 2^32 for an odd low modulus word.
std::uint32_t qelWordsMontgomeryConstant(std::uint32_t m0);
// t has 2n words; afterwards t[n..2n-1] = t * 2^(-32n) mod m, fully reduced.
// Requires t < m * 2^(32n).
void qelWordsMontgomeryReduce(std::uint32_t *t, const std::uint32_t *m, std::uint32_t n,
                              std::uint32_t mPrime);

// Window parameter for an exponent of the given bit count.
unsigned qelWordsWindowBits(std::uint32_t bits);

// Exponentiations. The modulus (n significant words) must be odd; bases of any
// length are reduced. The result has n words. Return 0, or -1 when memory
// fails. mgr/secure choose where scratch space comes from.
int qelWordsExpMod(std::uint32_t *result, const std::uint32_t *base, std::uint32_t baseLen,
                   const std::uint32_t *exp, std::uint32_t expLen, const std::uint32_t *mod,
                   std::uint32_t n, QELMemoryMgr *mgr, bool secure);
// R^2 mod m (n32 words) for the Montgomery domain the exponentiations use
// with an odd modulus of n32 significant words: 0, or -1 when memory fails.
int qelWordsMontgomeryR2(std::uint32_t *r2, const std::uint32_t *mod, std::uint32_t n32, QELMemoryMgr *mgr,
                         bool secure);
// qelWordsExpMod with that value (r2Len words, below the modulus) at hand, or
// null: a base below the modulus then needs no division.
int qelWordsExpModR2(std::uint32_t *result, const std::uint32_t *base, std::uint32_t baseLen,
                     const std::uint32_t *exp, std::uint32_t expLen, const std::uint32_t *mod, std::uint32_t n,
                     const std::uint32_t *r2, std::uint32_t r2Len, QELMemoryMgr *mgr, bool secure);
int qelWordsDoubleExpMod(std::uint32_t *result, const std::uint32_t *base1, std::uint32_t base1Len,
                         const std::uint32_t *exp1, std::uint32_t exp1Len,
                         const std::uint32_t *base2, std::uint32_t base2Len,
                         const std::uint32_t *exp2, std::uint32_t exp2Len,
                         const std::uint32_t *mod, std::uint32_t n, QELMemoryMgr *mgr, bool secure);
// Two exponentiations, result_i = base_i ^ exp_i mod mod_i, for two odd
// moduli of n1 and n2 significant words (the halves of an RSA private
// operation). Bases of any length are reduced. Where the processor allows,
// both run at once, each with the same sequence of operations whatever its
// exponent; otherwise one after the other. 0, or -1 when memory fails.
int qelWordsExpModPair(std::uint32_t *result1, const std::uint32_t *base1, std::uint32_t base1Len,
                       const std::uint32_t *exp1, std::uint32_t exp1Len, const std::uint32_t *mod1,
                       std::uint32_t n1, std::uint32_t *result2, const std::uint32_t *base2,
                       std::uint32_t base2Len, const std::uint32_t *exp2, std::uint32_t exp2Len,
                       const std::uint32_t *mod2, std::uint32_t n2, QELMemoryMgr *mgr, bool secure);
// The processor kernel behind it (AVX-512 IFMA): whether it takes moduli of
// modBits bits, and the pair for moduli of n32 words each, bases reduced,
// exponents below 2^modBits. It runs in constant time: fixed windows over
// modBits bits, every table entry read. r2First and r2Second are R^2 mod
// each modulus for the kernel's radix (qelWordsPairedExpModRadixBits), or
// null to have them made by division (public moduli only). A caller that
// runs it often may give it a workspace of
// qelWordsPairedExpModWorkspaceLimbs limbs (secure), which it wipes before
// it returns, in place of an allocation of its own.
bool qelWordsPairedExpModFits(std::uint32_t modBits);
std::uint32_t qelWordsPairedExpModRadixBits(std::uint32_t modBits);
std::size_t qelWordsPairedExpModWorkspaceLimbs(std::uint32_t modBits, std::uint32_t n32);
int qelWordsPairedExpModIFMA(std::uint32_t *result1, const std::uint32_t *base1, const std::uint32_t *exp1,
                             std::uint32_t exp1Len, std::uint32_t *result2, const std::uint32_t *base2,
                             const std::uint32_t *exp2, std::uint32_t exp2Len, const std::uint32_t *mod1,
                             const std::uint32_t *mod2, std::uint32_t n32, std::uint32_t modBits,
                             const std::uint32_t *r2First, const std::uint32_t *r2Second, QELMemoryMgr *mgr,
                             bool secure, std::uint64_t *workspace = nullptr);
// One exponentiation with a public exponent on the same kernel (RSA's
// public operation and its check of private results): whether it takes a
// modulus of modBits bits, and result = base^exp mod m for a base below m
// (baseWords <= n32), every product the same whatever the base. r2 is R^2
// mod m for the kernel's radix (qelWordsPairedExpModRadixBits of m's bit
// length), n32 words. 0, or -1 when the kernel does not take the modulus.
bool qelWordsPublicExpModIFMAFits(std::uint32_t modBits);
int qelWordsPublicExpModIFMA(std::uint32_t *result, const std::uint32_t *base, std::uint32_t baseWords,
                             const std::uint32_t *exp, std::uint32_t expWords, const std::uint32_t *mod,
                             std::uint32_t n32, const std::uint32_t *r2);
#ifdef QEL_TEST_HOOKS
// Test builds: turns the IFMA kernels off (Fits answers false), so that the
// MULX/ADX rows can be measured and tested on a processor that has both.
void qelTestBigNumPairKernelOff(bool off);
#endif
int qelWordsPowerOfTwoMod(std::uint32_t *result, const std::uint32_t *exp, std::uint32_t expLen,
                          const std::uint32_t *mod, std::uint32_t n, QELMemoryMgr *mgr, bool secure);

// Euclid in place on a (na words) and b (nb words), a >= b. Returns 0 when
// the gcd is left in a, 1 when in b; *outLen receives its significant length.
int qelWordsGCD(std::uint32_t *a, std::uint32_t na, std::uint32_t *b, std::uint32_t nb,
                std::uint32_t *outLen);
// a (n words, reduced below m, n = significant length of m) is replaced by
// its inverse modulo m. 0 done, 1 no inverse, -1 memory.
int qelWordsInverse(std::uint32_t *a, const std::uint32_t *m, std::uint32_t n, QELMemoryMgr *mgr,
                    bool secure);

// Byte export/import over byte positions p .. p+count-1 of an n-word array.
void qelWordsToBytesBE(const std::uint32_t *a, std::uint32_t n, std::uint8_t *buf, std::uint32_t p,
                       std::uint32_t count);
void qelWordsToBytesLE(const std::uint32_t *a, std::uint32_t n, std::uint8_t *buf, std::uint32_t p,
                       std::uint32_t count);
void qelWordsFromBytesBE(std::uint32_t *a, const std::uint8_t *buf, std::uint32_t p, std::uint32_t count);
void qelWordsFromBytesLE(std::uint32_t *a, const std::uint8_t *buf, std::uint32_t p, std::uint32_t count);

// ---- constant time, for secret values --------------------------------------
// A caller making several calls for moduli of up to n32 words may give each
// a workspace of qelWordsCTWorkspaceLimbs(n32) limbs (secure, wiped by the
// caller) in place of their own allocations.
std::size_t qelWordsCTWorkspaceLimbs(std::uint32_t n32);
// None of these branches on the values of its operands or reads memory at
// places they decide: loop counts follow the word counts and bit bounds
// given, which must be public. Moduli are odd unless said otherwise; r2 is
// R^2 mod m as qelWordsMontgomeryR2 (or the constant-time form below) makes
// it for the same n32. Results have n32 words, untrimmed. 0, or -1 when
// memory fails.

// R^2 mod m for a secret modulus: by doubling, without division.
int qelWordsCTMontgomeryR2(std::uint32_t *r2, const std::uint32_t *mod, std::uint32_t n32, QELMemoryMgr *mgr,
                           bool secure);
// x mod m by shift and subtract, for any non-zero modulus (even ones too).
int qelWordsCTMod(std::uint32_t *out, const std::uint32_t *x, std::uint32_t xWords, const std::uint32_t *mod,
                  std::uint32_t n32, QELMemoryMgr *mgr, bool secure);
// x mod m for x of any length, through the Montgomery domain.
int qelWordsCTReduce(std::uint32_t *out, const std::uint32_t *x, std::uint32_t xWords, const std::uint32_t *mod,
                     std::uint32_t n32, const std::uint32_t *r2, QELMemoryMgr *mgr, bool secure,
                     std::uint64_t *workspace = nullptr);
// a b mod m, a and b of any length.
int qelWordsCTModMul(std::uint32_t *out, const std::uint32_t *a, std::uint32_t aWords, const std::uint32_t *b,
                     std::uint32_t bWords, const std::uint32_t *mod, std::uint32_t n32, const std::uint32_t *r2,
                     QELMemoryMgr *mgr, bool secure, std::uint64_t *workspace = nullptr);
// a b / R mod m for a and b below m (of aWords and bWords <= n32 words),
// R = 2^(64 ceil(n32 / 2)) as for r2: one product where a value is kept in
// the Montgomery form (x R mod m) from one use to the next.
int qelWordsCTMontMul(std::uint32_t *out, const std::uint32_t *a, std::uint32_t aWords, const std::uint32_t *b,
                      std::uint32_t bWords, const std::uint32_t *mod, std::uint32_t n32, const std::uint32_t *r2,
                      QELMemoryMgr *mgr, bool secure, std::uint64_t *workspace = nullptr);
// a - b mod m for a, b below m (n32 words each).
void qelWordsCTModSub(std::uint32_t *out, const std::uint32_t *a, const std::uint32_t *b, const std::uint32_t *mod,
                      std::uint32_t n32);
// a += b (b of bWords <= aWords words); the carry out of a's top.
std::uint32_t qelWordsCTAddInto(std::uint32_t *a, std::uint32_t aWords, const std::uint32_t *b, std::uint32_t bWords);
// All ones when the n-word arrays are equal, else zero.
std::uint32_t qelWordsCTEqualMask(const std::uint32_t *a, const std::uint32_t *b, std::uint32_t n);
// base^exp mod m with fixed windows: the exponent is read through expBits
// bits (expWords words; the bits past them read as zero), whatever its
// value; the base may have any length. The same squarings and products,
// and a read of every table entry, whatever the exponent and base.
int qelWordsExpModSecret(std::uint32_t *result, const std::uint32_t *base, std::uint32_t baseWords,
                         const std::uint32_t *exp, std::uint32_t expWords, std::uint32_t expBits,
                         const std::uint32_t *mod, std::uint32_t n32, const std::uint32_t *r2, QELMemoryMgr *mgr,
                         bool secure, std::uint64_t *workspace = nullptr);
// base^exp mod m for a secret base and a public exponent: square and
// multiply along the exponent's bits, every product in constant time.
int qelWordsExpModPublicExponent(std::uint32_t *result, const std::uint32_t *base, std::uint32_t baseWords,
                                 const std::uint32_t *exp, std::uint32_t expWords, const std::uint32_t *mod,
                                 std::uint32_t n32, const std::uint32_t *r2, QELMemoryMgr *mgr, bool secure,
                                 std::uint64_t *workspace = nullptr);
