// RFC 4880 MPIs and unprotected secret-key material built from raw values,
// for the tests and the benchmarks that load keys made by a peer.
#pragma once

#include "qelTestHex.h"

#include <cstdint>
#include <initializer_list>

namespace qeltest {

// An RFC 4880 MPI of a big-endian magnitude (leading zeros dropped).
inline Bytes mpi(const Bytes &value)
{
    std::size_t i = 0;
    while (i < value.size() && value[i] == 0)
        ++i;
    unsigned bits = 0;
    if (i < value.size()) {
        bits = unsigned(value.size() - i - 1) * 8;
        for (unsigned v = value[i]; v; v >>= 1)
            ++bits;
    }
    Bytes out{std::uint8_t(bits >> 8), std::uint8_t(bits)};
    out.insert(out.end(), value.begin() + i, value.end());
    return out;
}

// Unprotected stored material: public MPIs, usage 0, secret MPIs, checksum.
inline Bytes material(std::initializer_list<Bytes> publicValues, std::initializer_list<Bytes> secretValues)
{
    Bytes out;
    for (const Bytes &v : publicValues) {
        const Bytes m = mpi(v);
        out.insert(out.end(), m.begin(), m.end());
    }
    out.push_back(0);
    unsigned sum = 0;
    for (const Bytes &v : secretValues) {
        const Bytes m = mpi(v);
        for (std::uint8_t b : m)
            sum += b;
        out.insert(out.end(), m.begin(), m.end());
    }
    out.push_back(std::uint8_t(sum >> 8));
    out.push_back(std::uint8_t(sum));
    return out;
}

} // namespace qeltest
