// Multiple-precision unsigned integers and the process-wide operation table
// through which every user of big numbers reaches their arithmetic.
#pragma once

#include <cstdint>

struct QELMemoryMgr;

// An unsigned integer of 32-bit words, least significant first. Begin it with
// qelBigNumBegin before any operation touches it; release it with the table's
// qelBigNumFree.
struct QELBigNum {
    std::uint32_t *words;      // null while nothing is allocated
    std::uint32_t used;        // words holding the value; 0 is the value 0
    std::uint32_t allocated;   // words allocated; always even
    QELMemoryMgr *memoryMgr;   // every allocation of this number goes here
    std::uint8_t secure;       // 1: words come from the secure allocator
};

// The operations, in table order (the 31 of the classic table, then the
// secret-exponent form of entry 23). Results shown as 0/1/-1 are statuses:
// -1 is a memory failure (or a bad modulus or divisor), never an SDK code.
//
// A secure number holds a secret, and its word count (`used`) is public: the
// length it was read or made with, leading zero words included. These
// entries keep to that count and branch on none of its words: Copy (the copy
// has the same count), BitLength (found by masks; the caller hands over what
// its output shows of it), SubtractWord (the count stays; only the sign it
// returns is handed over as public), Mod (when any operand is secure: the
// constant-time reduction, the result at the divisor's count, untrimmed),
// ToBytesBE/LE and FromBytesBE/LE, and entry 32. Every other entry finds
// significant lengths by looking at the top words, and Trim is the step
// that makes a length public: neither is for a secret.
struct QELBigNumOpsTable {
    void (*qelBigNumFree)(QELBigNum *n);
    std::int32_t (*qelBigNumReserveBits)(QELBigNum *n, std::uint32_t bits);
    std::int32_t (*qelBigNumCopy)(QELBigNum *dst, const QELBigNum *src);
    std::uint32_t (*qelBigNumTrim)(QELBigNum *n);
    void (*qelBigNumToBytesBE)(const QELBigNum *n, std::uint8_t *buf, std::uint32_t lowestByte,
                               std::uint32_t count);
    std::int32_t (*qelBigNumFromBytesBE)(QELBigNum *n, const std::uint8_t *buf,
                                         std::uint32_t lowestByte, std::uint32_t count);
    void (*qelBigNumToBytesLE)(const QELBigNum *n, std::uint8_t *buf, std::uint32_t lowestByte,
                               std::uint32_t count);
    std::int32_t (*qelBigNumFromBytesLE)(QELBigNum *n, const std::uint8_t *buf,
                                         std::uint32_t lowestByte, std::uint32_t count);
    std::uint32_t (*qelBigNumLowWord)(const QELBigNum *n);
    std::uint32_t (*qelBigNumBitLength)(const QELBigNum *n);
    std::int32_t (*qelBigNumAdd)(QELBigNum *dst, const QELBigNum *addend);
    std::int32_t (*qelBigNumSubtract)(QELBigNum *dst, const QELBigNum *subtrahend);
    std::int32_t (*qelBigNumCompareWord)(const QELBigNum *n, std::uint32_t w);
    std::int32_t (*qelBigNumSetWord)(QELBigNum *n, std::uint32_t w);
    std::int32_t (*qelBigNumAddWord)(QELBigNum *n, std::uint32_t w);
    std::int32_t (*qelBigNumSubtractWord)(QELBigNum *n, std::uint32_t w);
    std::int32_t (*qelBigNumCompare)(const QELBigNum *a, const QELBigNum *b);
    std::int32_t (*qelBigNumSquare)(QELBigNum *dst, const QELBigNum *src);
    std::int32_t (*qelBigNumMultiply)(QELBigNum *dst, const QELBigNum *a, const QELBigNum *b);
    std::int32_t (*qelBigNumMultiplyWord)(QELBigNum *dst, const QELBigNum *src, std::uint32_t w);
    std::int32_t (*qelBigNumDivide)(QELBigNum *quotient, QELBigNum *remainder,
                                    const QELBigNum *dividend, const QELBigNum *divisor);
    std::int32_t (*qelBigNumMod)(QELBigNum *result, const QELBigNum *dividend,
                                 const QELBigNum *divisor);
    std::uint32_t (*qelBigNumModWord)(const QELBigNum *n, std::uint32_t d);
    std::int32_t (*qelBigNumExpMod)(QELBigNum *result, const QELBigNum *base,
                                    const QELBigNum *exponent, const QELBigNum *modulus);
    std::int32_t (*qelBigNumDoubleExpMod)(QELBigNum *result, const QELBigNum *base1,
                                          const QELBigNum *exponent1, const QELBigNum *base2,
                                          const QELBigNum *exponent2, const QELBigNum *modulus);
    std::int32_t (*qelBigNumPowerOfTwoMod)(QELBigNum *result, const QELBigNum *exponent,
                                           const QELBigNum *modulus);
    std::int32_t (*qelBigNumGCD)(QELBigNum *dst, const QELBigNum *a, const QELBigNum *b);
    std::int32_t (*qelBigNumInverseMod)(QELBigNum *dst, const QELBigNum *a, const QELBigNum *modulus);
    std::int32_t (*qelBigNumShiftLeft)(QELBigNum *n, std::uint32_t bits);
    std::uint32_t (*qelBigNumShiftRight)(QELBigNum *n, std::uint32_t bits);
    std::uint32_t (*qelBigNumStripZeroBits)(QELBigNum *n);
    // Entry 23 for a secret exponent, the flag being the public bound
    // exponentBits (> 0) on its size: fixed windows, every table entry read,
    // no branch on the base, the exponent or a secure modulus (whose
    // Montgomery set-up is then made without division); the loop count
    // follows exponentBits alone. Entry 23 (sliding window, base-2 shortcut)
    // is for public exponents only. The result keeps the modulus's word
    // count, untrimmed; it may be the base. 0 or -1 as entry 23.
    std::int32_t (*qelBigNumExpModSecret)(QELBigNum *result, const QELBigNum *base, const QELBigNum *exponent,
                                          const QELBigNum *modulus, std::uint32_t exponentBits);
};

// The process-wide table; filled by qelBigNumInit / the first qelBigNumBegin.
extern QELBigNumOpsTable QELBigNumOps;

// Stores the 31 entries into QELBigNumOps (idempotent).
void qelBigNumSetup();
// Installs the table; SDK start-up and the key-object constructors call it.
void qelBigNumInit();
// Makes an empty number bound to a manager and secure flag; installs the
// table on first use.
void qelBigNumBegin(QELBigNum *n, QELMemoryMgr *mgr, std::uint8_t secure);
// Two exponentiations at once, result_i = base_i ^ exponent_i mod modulus_i
// (the halves of an RSA private operation): 0, or -1 for a memory failure,
// an even or zero modulus, or a result that is also another operand (each
// result may be its own base).
std::int32_t qelBigNumExpModPair(QELBigNum *result1, const QELBigNum *base1, const QELBigNum *exponent1,
                                 const QELBigNum *modulus1, QELBigNum *result2, const QELBigNum *base2,
                                 const QELBigNum *exponent2, const QELBigNum *modulus2);
// R^2 mod modulus for the Montgomery domain of the exponentiations (an odd
// modulus): 0, or -1 for a memory failure or an unusable modulus.
std::int32_t qelBigNumMontgomeryR2(QELBigNum *r2, const QELBigNum *modulus);
// The table's exponentiation, with r2 from qelBigNumMontgomeryR2 for the same
// modulus saving the division that brings the base into the domain; an
// empty r2 takes the plain way.
std::int32_t qelBigNumExpModR2(QELBigNum *result, const QELBigNum *base, const QELBigNum *exponent,
                               const QELBigNum *modulus, const QELBigNum *r2);
// Exchanges the word arrays (words, used, allocated) of two numbers.
void qelBigNumSwap(QELBigNum *a, QELBigNum *b);
