// Rows of the fixed prime-group tables, in ascending size.
#pragma once

#include <cstdint>

struct QELPrimeGroupRow {
    std::uint32_t bits;
    const std::uint8_t *p;       // big-endian
    std::uint64_t pLength;       // bytes
    const std::uint8_t *second;  // q (DSA) or the generator (ElGamal), big-endian
    std::uint32_t secondLength;  // bytes
};

extern const QELPrimeGroupRow qelDSAGroups[4];
extern const QELPrimeGroupRow qelElGamalGroups[4];
