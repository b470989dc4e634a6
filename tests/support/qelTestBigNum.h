// Big numbers in tests: an owning holder set from hex, and conversions to
// and from GMP, the peer the arithmetic is checked against.
#pragma once

#include "qelBigNumInternal.h"
#include "qelMemoryInternal.h"
#include "qelTestHex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#ifdef QEL_HAVE_GMP
#include <gmp.h>
#endif

namespace qeltest {

// One heap manager for the whole test binary.
inline QELMemoryMgr *heapMgr()
{
    static QELMemoryMgr *mgr = [] {
        QELMemoryMgr *m = nullptr;
        static_cast<void>(qelMemMgrNewHeap(&m));
        return m;
    }();
    return mgr;
}

// A begun number, freed when the holder goes.
struct BigNum {
    QELBigNum n;
    explicit BigNum(QELMemoryMgr *mgr = heapMgr(), bool secure = false) { qelBigNumBegin(&n, mgr, secure); }
    explicit BigNum(const std::string &hex) : BigNum() { setHex(hex); }
    BigNum(const BigNum &) = delete;
    BigNum &operator=(const BigNum &) = delete;
    ~BigNum() { QELBigNumOps.qelBigNumFree(&n); }
    QELBigNum *operator&() { return &n; }
    QELBigNum *p() { return &n; }

    // Big-endian hex digits, an odd count read with a leading zero.
    void setHex(const std::string &hex)
    {
        const Bytes bytes = fromHex(hex.size() % 2 ? "0" + hex : hex);
        setBytes(bytes.data(), bytes.size());
    }
    void setBytes(const std::uint8_t *p, std::size_t length)
    {
        n.used = 0;
        ASSERT_EQ(QELBigNumOps.qelBigNumFromBytesBE(&n, p, 0, static_cast<std::uint32_t>(length)), 0);
    }
    // Lower-case hex without leading zeros ("0" for zero).
    std::string hex() const
    {
        const std::uint32_t bytes = (QELBigNumOps.qelBigNumBitLength(&n) + 7) / 8;
        Bytes buf(bytes);
        QELBigNumOps.qelBigNumToBytesBE(&n, buf.data(), 0, bytes);
        const std::string s = toHex(buf);
        return s.empty() ? "0" : s;
    }
};

#ifdef QEL_HAVE_GMP
struct Mpz {
    mpz_t z;
    Mpz() { mpz_init(z); }
    ~Mpz() { mpz_clear(z); }
    Mpz(const Mpz &) = delete;
    Mpz &operator=(const Mpz &) = delete;
    operator mpz_ptr() { return z; }
};

inline void toBN(QELBigNum *n, mpz_srcptr z)
{
    std::size_t count = 0;
    std::vector<std::uint8_t> buf((mpz_sizeinbase(z, 2) + 7) / 8 + 1);
    mpz_export(buf.data(), &count, -1, 1, 0, 0, z);
    n->used = 0;
    ASSERT_EQ(QELBigNumOps.qelBigNumFromBytesLE(n, buf.data(), 0, static_cast<std::uint32_t>(count)), 0);
}

inline void fromBN(mpz_ptr z, const QELBigNum *n)
{
    const std::uint32_t bytes = 4 * n->used;
    std::vector<std::uint8_t> buf(bytes + 1);
    QELBigNumOps.qelBigNumToBytesLE(n, buf.data(), 0, bytes);
    mpz_import(z, bytes, -1, 1, 0, 0, buf.data());
}
#endif

} // namespace qeltest
