// Big numbers against GMP: an operation sequence over six registers, each
// operation done by the table and by GMP, the results compared after every
// step. Operand sizes stay small enough for thousands of runs a second.
#include "qelFuzzSupport.h"

#include "qelBigNumInternal.h"
#include "qelMemoryInternal.h"

#include <gmp.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kRegisters = 6;
constexpr std::uint32_t kMaxBits = 4096;      // operands above this are not multiplied further
constexpr std::uint32_t kMaxExpModBits = 768; // modulus and exponent of the exponentiations

const QELBigNumOpsTable &ops()
{
    return QELBigNumOps;
}

void toGmp(mpz_t out, const QELBigNum &n)
{
    const std::uint32_t bytes = (ops().qelBigNumBitLength(&n) + 7) / 8;
    std::vector<std::uint8_t> buf(bytes + 1);
    ops().qelBigNumToBytesBE(&n, buf.data(), 0, bytes);
    mpz_import(out, bytes, 1, 1, 1, 0, buf.data());
}

struct Registers {
    QELBigNum n[kRegisters];
    mpz_t g[kRegisters];
    mpz_t t;
    Registers()
    {
        for (int i = 0; i < kRegisters; ++i) {
            qelBigNumBegin(&n[i], qelfuzz::heapMgr(), 0);
            mpz_init(g[i]);
        }
        mpz_init(t);
    }
    ~Registers()
    {
        for (int i = 0; i < kRegisters; ++i) {
            ops().qelBigNumFree(&n[i]);
            mpz_clear(g[i]);
        }
        mpz_clear(t);
    }
    void agree(int i, const char *what)
    {
        toGmp(t, n[i]);
        qelfuzz::check(mpz_cmp(t, g[i]) == 0, what);
        qelfuzz::check(ops().qelBigNumBitLength(&n[i]) == (mpz_sgn(g[i]) == 0 ? 0 : mpz_sizeinbase(g[i], 2)),
                       "bit length differs");
    }
    std::uint32_t bits(int i) const { return ops().qelBigNumBitLength(&n[i]); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelBigNumInit();
    qelfuzz::Input in(data, size);
    Registers r;
    static const bool trace = std::getenv("QEL_FUZZ_TRACE") != nullptr;
    for (int step = 0; step < 64 && in.remaining() > 0; ++step) {
        const std::uint8_t op = in.u8();
        const std::uint8_t sel = in.u8();
        const int d = sel % kRegisters, a = (sel / kRegisters) % kRegisters;
        const int b = (a + 1 + in.u8() % (kRegisters - 1)) % kRegisters; // b != a
        int rc = 0;
        if (trace)
            std::fprintf(stderr, "step %d: op %d d %d a %d b %d\n", step, op % 18, d, a, b);
        switch (op % 18) {
        case 0: { // load bytes, big- or little-endian
            std::vector<std::uint8_t> bytes = in.bytes(in.u8() % 97);
            const bool little = op & 0x80;
            r.n[d].used = 0;
            rc = little ? ops().qelBigNumFromBytesLE(&r.n[d], bytes.data(), 0, std::uint32_t(bytes.size()))
                        : ops().qelBigNumFromBytesBE(&r.n[d], bytes.data(), 0, std::uint32_t(bytes.size()));
            qelfuzz::check(rc == 0, "load failed");
            mpz_import(r.g[d], bytes.size(), little ? -1 : 1, 1, 1, 0, bytes.data());
            break;
        }
        case 1:
            qelfuzz::check(ops().qelBigNumAdd(&r.n[d], &r.n[a]) == 0, "Add failed");
            mpz_add(r.g[d], r.g[d], r.g[a]);
            break;
        case 2:
            rc = ops().qelBigNumSubtract(&r.n[d], &r.n[a]);
            qelfuzz::check(rc == (mpz_cmp(r.g[d], r.g[a]) < 0 ? 1 : 0), "Subtract borrow differs");
            mpz_sub(r.g[d], r.g[d], r.g[a]);
            mpz_abs(r.g[d], r.g[d]);
            break;
        case 3:
            if (r.bits(a) > kMaxBits)
                continue;
            qelfuzz::check(ops().qelBigNumSquare(&r.n[d], &r.n[a]) == 0, "Square failed");
            mpz_mul(r.g[d], r.g[a], r.g[a]);
            break;
        case 4:
            if (r.bits(a) > kMaxBits || r.bits(b) > kMaxBits)
                continue;
            qelfuzz::check(ops().qelBigNumMultiply(&r.n[d], &r.n[a], &r.n[b]) == 0, "Multiply failed");
            mpz_mul(r.g[d], r.g[a], r.g[b]);
            break;
        case 5: {
            const std::uint32_t w = in.u32();
            if (r.bits(a) > kMaxBits)
                continue;
            qelfuzz::check(ops().qelBigNumMultiplyWord(&r.n[d], &r.n[a], w) == 0, "MultiplyWord failed");
            mpz_mul_ui(r.g[d], r.g[a], w);
            break;
        }
        case 6: { // quotient d, remainder q, dividend a, divisor b: all distinct
            const int q = (d == a || d == b) ? -1 : d;
            int rem = -1;
            for (int i = 0; i < kRegisters; ++i)
                if (i != a && i != b && i != q) {
                    rem = i;
                    break;
                }
            if (q < 0)
                continue;
            rc = ops().qelBigNumDivide(&r.n[q], &r.n[rem], &r.n[a], &r.n[b]);
            if (mpz_sgn(r.g[b]) == 0) {
                qelfuzz::check(rc == -1, "division by zero not refused");
                continue;
            }
            qelfuzz::check(rc == 0, "Divide failed");
            mpz_tdiv_qr(r.g[q], r.g[rem], r.g[a], r.g[b]);
            r.agree(rem, "remainder differs");
            r.agree(q, "quotient differs");
            continue;
        }
        case 7:
            if (d == b)
                continue;
            rc = ops().qelBigNumMod(&r.n[d], &r.n[a], &r.n[b]);
            if (mpz_sgn(r.g[b]) == 0) {
                qelfuzz::check(rc == -1, "Mod by zero not refused");
                continue;
            }
            qelfuzz::check(rc == 0, "Mod failed");
            mpz_mod(r.g[d], r.g[a], r.g[b]);
            break;
        case 8: {
            const std::uint32_t w = in.u32();
            const std::uint32_t m = ops().qelBigNumModWord(&r.n[a], w);
            qelfuzz::check(m == (w == 0 ? 0 : mpz_fdiv_ui(r.g[a], w)), "ModWord differs");
            continue;
        }
        case 9:
        case 10:
        case 11: { // ExpMod, PowerOfTwoMod, DoubleExpMod; modulus b, exponent and base elsewhere
            const int e = (b + 1 + in.u8() % (kRegisters - 1)) % kRegisters; // e != b
            if (d == b || d == e || r.bits(b) > kMaxExpModBits || r.bits(e) > kMaxExpModBits)
                continue;
            const bool usable = mpz_sgn(r.g[b]) != 0 && mpz_odd_p(r.g[b]);
            if (op % 18 == 9) {
                if (r.bits(a) > kMaxExpModBits)
                    continue;
                if ((op & 0x80) && d != a) {
                    // Through the pair: the same exponentiation twice, the
                    // second into a scratch number.
                    QELBigNum x;
                    qelBigNumBegin(&x, qelfuzz::heapMgr(), 0);
                    rc = qelBigNumExpModPair(&r.n[d], &r.n[a], &r.n[e], &r.n[b], &x, &r.n[a], &r.n[e], &r.n[b]);
                    if (rc == 0)
                        qelfuzz::check(ops().qelBigNumCompare(&x, &r.n[d]) == 0, "pair halves differ");
                    ops().qelBigNumFree(&x);
                } else {
                    rc = ops().qelBigNumExpMod(&r.n[d], &r.n[a], &r.n[e], &r.n[b]);
                }
                if (usable)
                    mpz_powm(r.g[d], r.g[a], r.g[e], r.g[b]);
            } else if (op % 18 == 10) {
                rc = ops().qelBigNumPowerOfTwoMod(&r.n[d], &r.n[e], &r.n[b]);
                if (usable) {
                    mpz_set_ui(r.t, 2);
                    mpz_powm(r.g[d], r.t, r.g[e], r.g[b]);
                }
            } else {
                // base1 a, exponent1 e, base2 and exponent2 the registers after them
                const int b2 = (e + 1) % kRegisters, e2 = (e + 2) % kRegisters;
                if (d == e2 || b2 == b || e2 == b || r.bits(a) > kMaxExpModBits ||
                    r.bits(b2) > kMaxExpModBits || r.bits(e2) > kMaxExpModBits)
                    continue;
                rc = ops().qelBigNumDoubleExpMod(&r.n[d], &r.n[a], &r.n[e], &r.n[b2], &r.n[e2], &r.n[b]);
                if (usable) {
                    mpz_t x;
                    mpz_init(x);
                    mpz_powm(x, r.g[a], r.g[e], r.g[b]);
                    mpz_powm(r.t, r.g[b2], r.g[e2], r.g[b]);
                    mpz_mul(x, x, r.t);
                    mpz_mod(r.g[d], x, r.g[b]);
                    mpz_clear(x);
                }
            }
            if (!usable) {
                qelfuzz::check(rc == -1, "even or zero modulus not refused");
                continue;
            }
            qelfuzz::check(rc == 0, "exponentiation failed");
            break;
        }
        case 12:
            qelfuzz::check(ops().qelBigNumGCD(&r.n[d], &r.n[a], &r.n[b]) == 0, "GCD failed");
            mpz_gcd(r.g[d], r.g[a], r.g[b]);
            break;
        case 13: {
            if (d == b || r.bits(b) > kMaxExpModBits || mpz_cmp_ui(r.g[b], 1) <= 0)
                continue;
            rc = ops().qelBigNumInverseMod(&r.n[d], &r.n[a], &r.n[b]);
            const bool exists = mpz_invert(r.t, r.g[a], r.g[b]) != 0;
            qelfuzz::check(rc == (exists ? 0 : 1), "InverseMod existence differs");
            if (!exists) {
                toGmp(r.g[d], r.n[d]); // the destination's value is not defined then
                continue;
            }
            mpz_set(r.g[d], r.t);
            break;
        }
        case 14: {
            const std::uint32_t bits = in.u8() * 4u + (op & 0x80 ? 0 : in.u8() % 4);
            if (op & 0x40) {
                if (r.bits(d) + bits > kMaxBits * 2)
                    continue;
                qelfuzz::check(ops().qelBigNumShiftLeft(&r.n[d], bits) == 0, "ShiftLeft failed");
                mpz_mul_2exp(r.g[d], r.g[d], bits);
            } else {
                (void)ops().qelBigNumShiftRight(&r.n[d], bits); // returns the new word count
                mpz_fdiv_q_2exp(r.g[d], r.g[d], bits);
            }
            break;
        }
        case 15: {
            const std::uint32_t w = in.u32();
            switch (op & 3) {
            case 0:
                qelfuzz::check(ops().qelBigNumSetWord(&r.n[d], w) == 0, "SetWord failed");
                mpz_set_ui(r.g[d], w);
                break;
            case 1:
                qelfuzz::check(ops().qelBigNumAddWord(&r.n[d], w) == 0, "AddWord failed");
                mpz_add_ui(r.g[d], r.g[d], w);
                break;
            case 2:
                rc = ops().qelBigNumSubtractWord(&r.n[d], w);
                qelfuzz::check(rc == (mpz_cmp_ui(r.g[d], w) < 0 ? 1 : 0), "SubtractWord borrow differs");
                mpz_sub_ui(r.g[d], r.g[d], w);
                mpz_abs(r.g[d], r.g[d]);
                break;
            default: {
                const int c = ops().qelBigNumCompareWord(&r.n[d], w);
                const int g = mpz_cmp_ui(r.g[d], w);
                qelfuzz::check(c == (g > 0) - (g < 0), "CompareWord differs");
                continue;
            }
            }
            break;
        }
        case 16: {
            const int c = ops().qelBigNumCompare(&r.n[d], &r.n[a]);
            const int g = mpz_cmp(r.g[d], r.g[a]);
            qelfuzz::check(c == (g > 0) - (g < 0), "Compare differs");
            const std::uint32_t stripped = ops().qelBigNumStripZeroBits(&r.n[d]);
            const std::uint32_t expected = mpz_sgn(r.g[d]) == 0 ? 0 : mpz_scan1(r.g[d], 0);
            qelfuzz::check(stripped == expected, "StripZeroBits differs");
            mpz_fdiv_q_2exp(r.g[d], r.g[d], expected);
            break;
        }
        default: { // bytes out: a window of either byte order, and a copy
            const std::uint32_t lowest = in.u8() % 8, count = in.u8() % 80;
            std::vector<std::uint8_t> be(count), le(count);
            ops().qelBigNumToBytesBE(&r.n[a], be.data(), lowest, count);
            ops().qelBigNumToBytesLE(&r.n[a], le.data(), lowest, count);
            for (std::uint32_t i = 0; i < count; ++i) {
                mpz_fdiv_q_2exp(r.t, r.g[a], 8 * (lowest + i));
                const std::uint8_t expected = static_cast<std::uint8_t>(mpz_fdiv_ui(r.t, 256));
                qelfuzz::check(le[i] == expected && be[count - 1 - i] == expected, "byte window differs");
            }
            qelfuzz::check(ops().qelBigNumCopy(&r.n[d], &r.n[a]) == 0, "Copy failed");
            mpz_set(r.g[d], r.g[a]);
            break;
        }
        }
        r.agree(d, "result differs from GMP");
        for (int i = 0; i < kRegisters; ++i)
            if (i != d)
                r.agree(i, "an operand changed");
    }
    return 0;
}
