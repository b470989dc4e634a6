// Probable-prime test, sieves over arithmetic progressions, prime searches
// and the fixed prime groups of the fast key-generation modes.
#pragma once

#include <cstdint>

struct QELBigNum;

// Progress: called with '*' per test trial, '.' per rejected candidate and
// '/' per new sieve window; a negative result aborts and is returned.
using QELPrimeProgressProc = std::int32_t (*)(void *userData, std::int32_t ch);
// Returns an index in 0 .. count-1 (count >= 1). It gets the search's user
// data, so each search carries its own source of randomness.
using QELPrimeRandomIndexProc = std::uint32_t (*)(void *userData, std::uint32_t count);

constexpr std::uint32_t QELSieveBytes = 2048;

// 0: probable prime; k > 0: composite, proved by the k-th exponentiation;
// -1: memory failure or even n; a negative callback result unchanged.
// n must be odd and above 17; the scratch numbers are begun by the caller.
std::int32_t qelPrimeTest(const QELBigNum *n, QELBigNum *scratch1, QELBigNum *scratch2,
                          QELPrimeProgressProc progress, void *userData);

// Searches p, p + step, p + 2 step, ... (p odd); p receives the prime.
// Positive on success (7 plus the work spent), -1 memory, or the callback's
// negative value.
std::int32_t qelPrimeSearch(QELBigNum *p, const QELBigNum *step, QELPrimeProgressProc progress,
                            void *userData);

// Searches odd candidates from p for a prime p' such that none of the listed
// odd numbers divides p' - 1. The list of unsigned 32-bit values ends with 0.
std::int32_t qelPrimeSearchConstrained(QELBigNum *p, QELPrimeRandomIndexProc randomIndex,
                                       QELPrimeProgressProc progress, void *userData, ...);
// The same with the list passed as an array.
std::int32_t qelPrimeSearchConstrainedList(QELBigNum *p, QELPrimeRandomIndexProc randomIndex,
                                           QELPrimeProgressProc progress, void *userData,
                                           const std::uint32_t *list, std::uint32_t count);

// Sieve bit i (bit i%8 of byte i/8) stands for start + i * step; a set bit is
// a candidate without a prime factor below 65536 (chain count 0).
std::int32_t qelSieveBuild(std::uint8_t *sieve, std::uint32_t bytes, const QELBigNum *start,
                           std::uint32_t step, std::uint32_t chainCount);
std::int32_t qelSieveBuildBigStep(std::uint8_t *sieve, std::uint32_t bytes, const QELBigNum *start,
                                  const QELBigNum *step, std::uint32_t chainCount);
void qelSieveClearMultiples(std::uint8_t *sieve, std::uint32_t bytes, std::uint32_t first,
                            std::uint32_t step);
// First set bit after pos, 0 when none.
std::uint32_t qelSieveNextBit(const std::uint8_t *sieve, std::uint32_t bytes, std::uint32_t pos);
// Fills the 4096-byte table whose bit i stands for 2i + 1 with the odd
// primes below 65536.
void qelSmallPrimeTable(std::uint8_t table[4096]);

// Fixed groups: 1 and the outputs (each may be null) for a listed size, else 0.
int qelFixedDSAPrime(std::uint32_t bits, const std::uint8_t **p, std::uint64_t *pLength,
                     const std::uint8_t **q, std::uint32_t *qLength);
int qelFixedElGamalPrime(std::uint32_t bits, const std::uint8_t **p, std::uint64_t *pLength,
                         const std::uint8_t **g, std::uint32_t *gLength);
