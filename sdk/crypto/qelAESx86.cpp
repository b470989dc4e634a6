// AES with AES-NI, over the same round-key words as the table code.
//
// The schedule keeps each round key as four words read big-endian, so a key
// is byte-swapped per word on its way into a register. Decryption runs the
// equivalent inverse cipher, whose middle round keys have been through
// InvMixColumns: exactly the form aesdec expects. The several-block paths
// interleave eight independent blocks so the AES unit's latency is hidden.
#include "qelCryptoCPU.h"

#if defined(QEL_CRYPTO_X86)

#include <immintrin.h>

#include "qelSHA1NI.h"
#include "qelWipe.h"

#define QEL_AES_TARGET __attribute__((target("aes,sse4.1,ssse3")))

namespace {

constexpr int kWide = 8;

QEL_AES_TARGET inline __m128i wordSwap()
{
    return _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
}

QEL_AES_TARGET inline __m128i loadKey(const std::uint32_t *words)
{
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(words)), wordSwap());
}

QEL_AES_TARGET inline __m128i load(const std::uint8_t *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

QEL_AES_TARGET inline void store(std::uint8_t *p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}

// Round keys in the order a pass uses them: encryption from key 0 up,
// decryption from key Nr down.
struct Keys {
    __m128i k[15];
    int nr;

    QEL_AES_TARGET Keys(const std::uint32_t *rk, int rounds, bool decrypt) : nr(rounds)
    {
        for (int r = 0; r <= nr; ++r)
            k[r] = loadKey(rk + 4 * (decrypt ? nr - r : r));
    }
    ~Keys() { qelSecureWipe(k, sizeof k); }
    Keys(const Keys &) = delete;
    Keys &operator=(const Keys &) = delete;
};

template <bool kDecrypt>
QEL_AES_TARGET inline __m128i aesRound(__m128i x, __m128i k)
{
    return kDecrypt ? _mm_aesdec_si128(x, k) : _mm_aesenc_si128(x, k);
}

template <bool kDecrypt>
QEL_AES_TARGET inline __m128i aesLastRound(__m128i x, __m128i k)
{
    return kDecrypt ? _mm_aesdeclast_si128(x, k) : _mm_aesenclast_si128(x, k);
}

template <bool kDecrypt>
QEL_AES_TARGET inline __m128i cryptOne(const Keys &keys, __m128i x)
{
    x = _mm_xor_si128(x, keys.k[0]);
    for (int r = 1; r < keys.nr; ++r)
        x = aesRound<kDecrypt>(x, keys.k[r]);
    return aesLastRound<kDecrypt>(x, keys.k[keys.nr]);
}

// Applies STEP(j) to the eight blocks with constant indices, so that the
// blocks stay in registers.
#define QEL_AES_EACH(STEP) STEP(0) STEP(1) STEP(2) STEP(3) STEP(4) STEP(5) STEP(6) STEP(7)

// kWide blocks side by side, round by round.
template <bool kDecrypt>
QEL_AES_TARGET inline void cryptWide(const Keys &keys, __m128i (&x)[kWide])
{
    static_assert(kWide == 8);
    const __m128i first = keys.k[0];
#define QEL_AES_FIRST(j) x[j] = _mm_xor_si128(x[j], first);
    QEL_AES_EACH(QEL_AES_FIRST)
#undef QEL_AES_FIRST
    for (int r = 1; r < keys.nr; ++r) {
        const __m128i k = keys.k[r];
#define QEL_AES_MIDDLE(j) x[j] = aesRound<kDecrypt>(x[j], k);
        QEL_AES_EACH(QEL_AES_MIDDLE)
#undef QEL_AES_MIDDLE
    }
    const __m128i last = keys.k[keys.nr];
#define QEL_AES_LAST(j) x[j] = aesLastRound<kDecrypt>(x[j], last);
    QEL_AES_EACH(QEL_AES_LAST)
#undef QEL_AES_LAST
}

} // namespace

QEL_AES_TARGET std::uint32_t qelAESSubWordNI(std::uint32_t word)
{
    // aeskeygenassist substitutes the bytes of lane 1 into lane 0; the word's
    // first byte is its most significant one.
    const __m128i x = _mm_set_epi32(0, 0, static_cast<int>(__builtin_bswap32(word)), 0);
    return __builtin_bswap32(static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_aeskeygenassist_si128(x, 0))));
}

QEL_AES_TARGET void qelAESInvMixKeysNI(std::uint32_t *words, std::size_t keys)
{
    for (std::size_t i = 0; i < keys; ++i, words += 4) {
        const __m128i k = _mm_aesimc_si128(loadKey(words));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(words), _mm_shuffle_epi8(k, wordSwap()));
    }
}

QEL_AES_TARGET void qelAESEncryptBlockNI(const std::uint32_t *rk, int nr, const std::uint8_t *in, std::uint8_t *out)
{
    __m128i x = _mm_xor_si128(load(in), loadKey(rk));
    for (int r = 1; r < nr; ++r)
        x = _mm_aesenc_si128(x, loadKey(rk + 4 * r));
    store(out, _mm_aesenclast_si128(x, loadKey(rk + 4 * nr)));
}

QEL_AES_TARGET void qelAESDecryptBlockNI(const std::uint32_t *rk, int nr, const std::uint8_t *in, std::uint8_t *out)
{
    __m128i x = _mm_xor_si128(load(in), loadKey(rk + 4 * nr));
    for (int r = nr - 1; r > 0; --r)
        x = _mm_aesdec_si128(x, loadKey(rk + 4 * r));
    store(out, _mm_aesdeclast_si128(x, loadKey(rk)));
}

QEL_AES_TARGET void qelAESCFBEncryptNI(const std::uint32_t *rk, int nr, const std::uint8_t *iv, const std::uint8_t *in,
                                       std::uint8_t *out, std::size_t blocks)
{
    const Keys keys(rk, nr, false);
    __m128i reg = load(iv);
    for (std::size_t i = 0; i < blocks; ++i) {
        reg = _mm_xor_si128(cryptOne<false>(keys, reg), load(in + 16 * i));
        store(out + 16 * i, reg);
    }
}

QEL_AES_TARGET void qelAESCFBDecryptNI(const std::uint32_t *rk, int nr, const std::uint8_t *iv, const std::uint8_t *in,
                                       std::uint8_t *out, std::size_t blocks)
{
    const Keys keys(rk, nr, false);
    __m128i reg = load(iv);
    std::size_t i = 0;
    for (; i + kWide <= blocks; i += kWide) {
        // Every keystream block comes from ciphertext already at hand.
        __m128i c[kWide], x[kWide];
#define QEL_AES_LOAD(j) c[j] = load(in + 16 * (i + j));
        QEL_AES_EACH(QEL_AES_LOAD)
        x[0] = reg;
#define QEL_AES_FEEDBACK(j) if (j > 0) x[j] = c[j > 0 ? j - 1 : 0];
        QEL_AES_EACH(QEL_AES_FEEDBACK)
#undef QEL_AES_FEEDBACK
        cryptWide<false>(keys, x);
#define QEL_AES_STORE(j) store(out + 16 * (i + j), _mm_xor_si128(x[j], c[j]));
        QEL_AES_EACH(QEL_AES_STORE)
#undef QEL_AES_STORE
        reg = c[kWide - 1];
    }
    for (; i < blocks; ++i) {
        const __m128i c = load(in + 16 * i);
        store(out + 16 * i, _mm_xor_si128(cryptOne<false>(keys, reg), c));
        reg = c;
    }
}

QEL_AES_TARGET void qelAESCBCDecryptNI(const std::uint32_t *rk, int nr, const std::uint8_t *iv, const std::uint8_t *in,
                                       std::uint8_t *out, std::size_t blocks)
{
    const Keys keys(rk, nr, true);
    __m128i chain = load(iv);
    std::size_t i = 0;
    for (; i + kWide <= blocks; i += kWide) {
        __m128i c[kWide], x[kWide];
        QEL_AES_EACH(QEL_AES_LOAD)
#define QEL_AES_COPY(j) x[j] = c[j];
        QEL_AES_EACH(QEL_AES_COPY)
#undef QEL_AES_COPY
        cryptWide<true>(keys, x);
        store(out + 16 * i, _mm_xor_si128(x[0], chain));
#define QEL_AES_STORE(j) if (j > 0) store(out + 16 * (i + j), _mm_xor_si128(x[j], c[j > 0 ? j - 1 : 0]));
        QEL_AES_EACH(QEL_AES_STORE)
#undef QEL_AES_STORE
        chain = c[kWide - 1];
    }
    for (; i < blocks; ++i) {
        const __m128i c = load(in + 16 * i);
        store(out + 16 * i, _mm_xor_si128(cryptOne<true>(keys, c), chain));
        chain = c;
    }
}

#undef QEL_AES_LOAD
#undef QEL_AES_EACH

// The five SHA-1 chaining words to and from the registers the SHA
// instructions work on.
[[gnu::always_inline]] QEL_SHA1NI_TARGET static inline void sha1Load(const std::uint32_t *h, __m128i &abcd, __m128i &e)
{
    abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(h)), 0x1B);
    e = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
}

[[gnu::always_inline]] QEL_SHA1NI_TARGET static inline void sha1Store(std::uint32_t *h, __m128i abcd, __m128i e)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(h), _mm_shuffle_epi32(abcd, 0x1B));
    h[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e, 3));
}

// CFB decryption and SHA-1 of the plaintext in one loop: SHA-1 is a single
// chain of dependent rounds that leaves most of the vector units idle, and
// the four blocks of decryption per 64-byte unit do not depend on it, so the
// processor runs the two side by side. The plaintext goes to the hash from
// registers.
__attribute__((target("aes,sha,sse4.1,ssse3"))) void
qelAESCFBDecryptSHA1NI(const std::uint32_t *rk, int nr, const std::uint8_t *iv, const std::uint8_t *in,
                       std::uint8_t *out, std::size_t units, std::uint32_t *h, std::size_t hashUnits)
{
    const Keys keys(rk, nr, false);
    const __m128i reverse = qelSHA1NIReverse();
    __m128i abcd, e;
    sha1Load(h, abcd, e);
    __m128i reg = load(iv);
    for (std::size_t u = 0; u < units; ++u, in += 64, out += 64) {
        const __m128i c0 = load(in), c1 = load(in + 16), c2 = load(in + 32), c3 = load(in + 48);
        __m128i x0 = _mm_xor_si128(reg, keys.k[0]), x1 = _mm_xor_si128(c0, keys.k[0]);
        __m128i x2 = _mm_xor_si128(c1, keys.k[0]), x3 = _mm_xor_si128(c2, keys.k[0]);
        for (int r = 1; r < keys.nr; ++r) {
            const __m128i k = keys.k[r];
            x0 = _mm_aesenc_si128(x0, k);
            x1 = _mm_aesenc_si128(x1, k);
            x2 = _mm_aesenc_si128(x2, k);
            x3 = _mm_aesenc_si128(x3, k);
        }
        const __m128i last = keys.k[keys.nr];
        const __m128i p0 = _mm_xor_si128(_mm_aesenclast_si128(x0, last), c0);
        const __m128i p1 = _mm_xor_si128(_mm_aesenclast_si128(x1, last), c1);
        const __m128i p2 = _mm_xor_si128(_mm_aesenclast_si128(x2, last), c2);
        const __m128i p3 = _mm_xor_si128(_mm_aesenclast_si128(x3, last), c3);
        store(out, p0);
        store(out + 16, p1);
        store(out + 32, p2);
        store(out + 48, p3);
        reg = c3;
        if (u < hashUnits)
            qelSHA1BlockNI(abcd, e, _mm_shuffle_epi8(p0, reverse), _mm_shuffle_epi8(p1, reverse),
                           _mm_shuffle_epi8(p2, reverse), _mm_shuffle_epi8(p3, reverse));
    }
    sha1Store(h, abcd, e);
}

// CFB encryption and SHA-1 of the plaintext in one loop: each ciphertext
// block waits on the one before it, a chain of dependent AES rounds, and the
// hash of the same unit does not depend on it, so the two chains share the
// processor instead of running one after the other.
__attribute__((target("aes,sha,sse4.1,ssse3"))) void
qelAESCFBEncryptSHA1NI(const std::uint32_t *rk, int nr, const std::uint8_t *iv, const std::uint8_t *in,
                       std::uint8_t *out, std::size_t units, std::uint32_t *h)
{
    const Keys keys(rk, nr, false);
    const __m128i reverse = qelSHA1NIReverse();
    __m128i abcd, e;
    sha1Load(h, abcd, e);
    __m128i reg = load(iv);
    for (std::size_t u = 0; u < units; ++u, in += 64, out += 64) {
        const __m128i p0 = load(in), p1 = load(in + 16), p2 = load(in + 32), p3 = load(in + 48);
        reg = _mm_xor_si128(cryptOne<false>(keys, reg), p0);
        store(out, reg);
        reg = _mm_xor_si128(cryptOne<false>(keys, reg), p1);
        store(out + 16, reg);
        reg = _mm_xor_si128(cryptOne<false>(keys, reg), p2);
        store(out + 32, reg);
        reg = _mm_xor_si128(cryptOne<false>(keys, reg), p3);
        store(out + 48, reg);
        qelSHA1BlockNI(abcd, e, _mm_shuffle_epi8(p0, reverse), _mm_shuffle_epi8(p1, reverse),
                       _mm_shuffle_epi8(p2, reverse), _mm_shuffle_epi8(p3, reverse));
    }
    sha1Store(h, abcd, e);
}

#endif
