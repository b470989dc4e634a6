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

#endif
