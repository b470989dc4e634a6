// AES (FIPS 197) with 32-bit lookup tables computed at compile time, and
// AES-NI over the same schedule where the processor has it.
#include "qelAESInternal.h"

#include <array>
#include <cstring>

#include "qelAlgorithms.h"
#include "qelBitOps.h"
#include "qelCipherBulk.h"
#include "qelCryptoCPU.h"
#include "qelSymmetricCipherInternal.h"
#include "qelWipe.h"

namespace {

constexpr std::uint8_t kMarkerEncrypt = 17;
constexpr std::uint8_t kMarkerDecrypt = 34;

constexpr std::uint8_t xtime(std::uint8_t x)
{
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t gmul(std::uint8_t a, std::uint8_t b)
{
    std::uint8_t r = 0;
    while (b != 0) {
        if (b & 1)
            r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

// Powers of the generator 3 and their logarithms in GF(2^8), so that the
// inverses below take one lookup each (a search per byte exceeds the
// constant-evaluation step limit of some compilers).
struct GfLogTables {
    std::array<std::uint8_t, 256> exp{};
    std::array<std::uint8_t, 256> log{};
};

constexpr GfLogTables kGfLog = [] {
    GfLogTables t{};
    std::uint8_t p = 1;
    for (int i = 0; i < 255; ++i) {
        t.exp[i] = p;
        t.log[p] = static_cast<std::uint8_t>(i);
        p = static_cast<std::uint8_t>(p ^ xtime(p));
    }
    t.exp[255] = t.exp[0];
    return t;
}();

// The S-box: multiplicative inverse in GF(2^8) followed by the affine map.
constexpr auto kSBox = [] {
    std::array<std::uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t inv = x == 0 ? 0 : kGfLog.exp[(255 - kGfLog.log[x]) % 255];
        std::uint8_t b = inv, r = inv;
        for (int i = 0; i < 4; ++i) {
            b = static_cast<std::uint8_t>((b << 1) | (b >> 7));
            r ^= b;
        }
        s[x] = static_cast<std::uint8_t>(r ^ 0x63);
    }
    return s;
}();

constexpr auto kInvSBox = [] {
    std::array<std::uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x)
        s[kSBox[x]] = static_cast<std::uint8_t>(x);
    return s;
}();

constexpr std::uint32_t word(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return (std::uint32_t(a) << 24) | (std::uint32_t(b) << 16) | (std::uint32_t(c) << 8) | d;
}

constexpr std::uint32_t rotr8(std::uint32_t x, int n)
{
    return n == 0 ? x : (x >> (8 * n)) | (x << (32 - 8 * n));
}

using Table = std::array<std::array<std::uint32_t, 256>, 4>;

// The column (c0*s, c1*s, c2*s, c3*s) for every byte x, where s is x after
// the given S-box (or x itself), in its four byte rotations.
constexpr Table columnTable(const std::array<std::uint8_t, 256> *box,
                            const std::array<std::uint8_t, 4> &c)
{
    Table t{};
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t s = box != nullptr ? (*box)[x] : static_cast<std::uint8_t>(x);
        const std::uint32_t w = word(gmul(s, c[0]), gmul(s, c[1]), gmul(s, c[2]), gmul(s, c[3]));
        for (int n = 0; n < 4; ++n)
            t[n][x] = rotr8(w, n);
    }
    return t;
}

constexpr std::array<std::uint8_t, 4> kMixColumn = {2, 1, 1, 3};
constexpr std::array<std::uint8_t, 4> kInvMixColumn = {14, 9, 13, 11};

// Round tables: SubBytes and MixColumns (resp. their inverses) for one byte.
constexpr Table kTe = columnTable(&kSBox, kMixColumn);
constexpr Table kTd = columnTable(&kInvSBox, kInvMixColumn);
// Plain (Inv)MixColumns of one word, for the schedule conversions.
constexpr Table kMix = columnTable(nullptr, kMixColumn);
constexpr Table kInvMix = columnTable(nullptr, kInvMixColumn);

inline std::uint32_t applyColumn(const Table &t, std::uint32_t w)
{
    return t[0][w >> 24] ^ t[1][(w >> 16) & 0xFF] ^ t[2][(w >> 8) & 0xFF] ^ t[3][w & 0xFF];
}

// Views into the packed context.
inline std::int32_t rounds(const std::uint8_t *ctx)
{
    std::int32_t nr;
    std::memcpy(&nr, ctx, sizeof nr);
    return nr;
}

inline std::uint32_t *roundKeys(std::uint8_t *ctx)
{
    return reinterpret_cast<std::uint32_t *>(ctx + 4);
}

inline std::uint8_t &marker(std::uint8_t *ctx, std::int32_t nr)
{
    return ctx[4 + 16 * (nr + 1)];
}

std::uint32_t subWord(std::uint32_t t, bool hardware)
{
#if defined(QEL_CRYPTO_X86)
    if (hardware)
        return qelAESSubWordNI(t);  // no table lookups indexed by key bytes
#endif
    (void)hardware;
    return word(kSBox[t >> 24], kSBox[(t >> 16) & 0xFF], kSBox[(t >> 8) & 0xFF], kSBox[t & 0xFF]);
}

void expand(void *context, const std::uint8_t *key, int nk)
{
    const bool hardware = qelCryptoUseAES();
    auto *ctx = static_cast<std::uint8_t *>(context);
    const std::int32_t nr = nk + 6;
    std::memcpy(ctx, &nr, sizeof nr);
    std::uint32_t *w = roundKeys(ctx);
    const int total = 4 * (nr + 1);
    for (int i = 0; i < nk; ++i)
        w[i] = qelLoadBE32(key + 4 * i);
    std::uint8_t rcon = 1;
    for (int i = nk; i < total; ++i) {
        std::uint32_t t = w[i - 1];
        if (i % nk == 0) {
            t = subWord((t << 8) | (t >> 24), hardware) ^ (std::uint32_t(rcon) << 24);
            rcon = xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            t = subWord(t, hardware);
        }
        w[i] = w[i - nk] ^ t;
    }
    marker(ctx, nr) = kMarkerEncrypt;
}

// Round keys 1 .. Nr-1 through InvMixColumns (to the decryption form) or
// MixColumns (back); keys 0 and Nr are shared by both forms.
void convert(std::uint8_t *ctx, const Table &t, std::uint8_t newMarker)
{
    const std::int32_t nr = rounds(ctx);
    std::uint32_t *w = roundKeys(ctx);
    for (int i = 4; i < 4 * nr; ++i)
        w[i] = applyColumn(t, w[i]);
    marker(ctx, nr) = newMarker;
}

// The schedule in the form a direction needs, converted if it is in the
// other one.
std::uint32_t *encryptionKeys(std::uint8_t *ctx, std::int32_t nr)
{
    if (marker(ctx, nr) == kMarkerDecrypt)
        convert(ctx, kMix, kMarkerEncrypt);
    return roundKeys(ctx);
}

std::uint32_t *decryptionKeys(std::uint8_t *ctx, std::int32_t nr)
{
    if (marker(ctx, nr) == kMarkerDecrypt)
        return roundKeys(ctx);
#if defined(QEL_CRYPTO_X86)
    if (qelCryptoUseAES()) {
        qelAESInvMixKeysNI(roundKeys(ctx) + 4, static_cast<std::size_t>(nr - 1));
        marker(ctx, nr) = kMarkerDecrypt;
        return roundKeys(ctx);
    }
#endif
    convert(ctx, kInvMix, kMarkerDecrypt);
    return roundKeys(ctx);
}

} // namespace

void qelAES128KeySchedule(void *context, const std::uint8_t *key)
{
    expand(context, key, 4);
}

void qelAES192KeySchedule(void *context, const std::uint8_t *key)
{
    expand(context, key, 6);
}

void qelAES256KeySchedule(void *context, const std::uint8_t *key)
{
    expand(context, key, 8);
}

void qelAESEncrypt(void *context, const std::uint8_t *in, std::uint8_t *out)
{
    auto *ctx = static_cast<std::uint8_t *>(context);
    const std::int32_t nr = rounds(ctx);
    const std::uint32_t *rk = encryptionKeys(ctx, nr);
#if defined(QEL_CRYPTO_X86)
    if (qelCryptoUseAES()) {
        qelAESEncryptBlockNI(rk, nr, in, out);
        return;
    }
#endif
    const auto &T = kTe;

    std::uint32_t s0 = qelLoadBE32(in) ^ rk[0], s1 = qelLoadBE32(in + 4) ^ rk[1];
    std::uint32_t s2 = qelLoadBE32(in + 8) ^ rk[2], s3 = qelLoadBE32(in + 12) ^ rk[3];
    for (std::int32_t r = 1; r < nr; ++r) {
        rk += 4;
        const std::uint32_t t0 = T[0][s0 >> 24] ^ T[1][(s1 >> 16) & 0xFF] ^ T[2][(s2 >> 8) & 0xFF] ^ T[3][s3 & 0xFF] ^ rk[0];
        const std::uint32_t t1 = T[0][s1 >> 24] ^ T[1][(s2 >> 16) & 0xFF] ^ T[2][(s3 >> 8) & 0xFF] ^ T[3][s0 & 0xFF] ^ rk[1];
        const std::uint32_t t2 = T[0][s2 >> 24] ^ T[1][(s3 >> 16) & 0xFF] ^ T[2][(s0 >> 8) & 0xFF] ^ T[3][s1 & 0xFF] ^ rk[2];
        const std::uint32_t t3 = T[0][s3 >> 24] ^ T[1][(s0 >> 16) & 0xFF] ^ T[2][(s1 >> 8) & 0xFF] ^ T[3][s2 & 0xFF] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    const auto &S = kSBox;
    qelStoreBE32(out, word(S[s0 >> 24], S[(s1 >> 16) & 0xFF], S[(s2 >> 8) & 0xFF], S[s3 & 0xFF]) ^ rk[0]);
    qelStoreBE32(out + 4, word(S[s1 >> 24], S[(s2 >> 16) & 0xFF], S[(s3 >> 8) & 0xFF], S[s0 & 0xFF]) ^ rk[1]);
    qelStoreBE32(out + 8, word(S[s2 >> 24], S[(s3 >> 16) & 0xFF], S[(s0 >> 8) & 0xFF], S[s1 & 0xFF]) ^ rk[2]);
    qelStoreBE32(out + 12, word(S[s3 >> 24], S[(s0 >> 16) & 0xFF], S[(s1 >> 8) & 0xFF], S[s2 & 0xFF]) ^ rk[3]);
}

void qelAESDecrypt(void *context, const std::uint8_t *in, std::uint8_t *out)
{
    auto *ctx = static_cast<std::uint8_t *>(context);
    const std::int32_t nr = rounds(ctx);
    const std::uint32_t *rk = decryptionKeys(ctx, nr);
#if defined(QEL_CRYPTO_X86)
    if (qelCryptoUseAES()) {
        qelAESDecryptBlockNI(rk, nr, in, out);
        return;
    }
#endif
    rk += 4 * nr;
    const auto &T = kTd;

    std::uint32_t s0 = qelLoadBE32(in) ^ rk[0], s1 = qelLoadBE32(in + 4) ^ rk[1];
    std::uint32_t s2 = qelLoadBE32(in + 8) ^ rk[2], s3 = qelLoadBE32(in + 12) ^ rk[3];
    for (std::int32_t r = 1; r < nr; ++r) {
        rk -= 4;
        const std::uint32_t t0 = T[0][s0 >> 24] ^ T[1][(s3 >> 16) & 0xFF] ^ T[2][(s2 >> 8) & 0xFF] ^ T[3][s1 & 0xFF] ^ rk[0];
        const std::uint32_t t1 = T[0][s1 >> 24] ^ T[1][(s0 >> 16) & 0xFF] ^ T[2][(s3 >> 8) & 0xFF] ^ T[3][s2 & 0xFF] ^ rk[1];
        const std::uint32_t t2 = T[0][s2 >> 24] ^ T[1][(s1 >> 16) & 0xFF] ^ T[2][(s0 >> 8) & 0xFF] ^ T[3][s3 & 0xFF] ^ rk[2];
        const std::uint32_t t3 = T[0][s3 >> 24] ^ T[1][(s2 >> 16) & 0xFF] ^ T[2][(s1 >> 8) & 0xFF] ^ T[3][s0 & 0xFF] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk -= 4;
    const auto &S = kInvSBox;
    qelStoreBE32(out, word(S[s0 >> 24], S[(s3 >> 16) & 0xFF], S[(s2 >> 8) & 0xFF], S[s1 & 0xFF]) ^ rk[0]);
    qelStoreBE32(out + 4, word(S[s1 >> 24], S[(s0 >> 16) & 0xFF], S[(s3 >> 8) & 0xFF], S[s2 & 0xFF]) ^ rk[1]);
    qelStoreBE32(out + 8, word(S[s2 >> 24], S[(s1 >> 16) & 0xFF], S[(s0 >> 8) & 0xFF], S[s3 & 0xFF]) ^ rk[2]);
    qelStoreBE32(out + 12, word(S[s3 >> 24], S[(s2 >> 16) & 0xFF], S[(s1 >> 8) & 0xFF], S[s0 & 0xFF]) ^ rk[3]);
}

#if defined(QEL_CRYPTO_X86)
namespace {

void cfbEncryptBlocks(void *context, const std::uint8_t *iv, const std::uint8_t *in, std::uint8_t *out,
                      std::size_t blocks)
{
    auto *ctx = static_cast<std::uint8_t *>(context);
    const std::int32_t nr = rounds(ctx);
    qelAESCFBEncryptNI(encryptionKeys(ctx, nr), nr, iv, in, out, blocks);
}

void cfbDecryptBlocks(void *context, const std::uint8_t *iv, const std::uint8_t *in, std::uint8_t *out,
                      std::size_t blocks)
{
    auto *ctx = static_cast<std::uint8_t *>(context);
    const std::int32_t nr = rounds(ctx);
    qelAESCFBDecryptNI(encryptionKeys(ctx, nr), nr, iv, in, out, blocks);
}

void cbcDecryptBlocks(void *context, const std::uint8_t *iv, const std::uint8_t *in, std::uint8_t *out,
                      std::size_t blocks)
{
    auto *ctx = static_cast<std::uint8_t *>(context);
    const std::int32_t nr = rounds(ctx);
    qelAESCBCDecryptNI(decryptionKeys(ctx, nr), nr, iv, in, out, blocks);
}

} // namespace

const QELCipherBulk qelAESBulk = {cfbEncryptBlocks, cfbDecryptBlocks, cbcDecryptBlocks};

void qelAESCFBDecryptSHA1Units(void *context, const std::uint8_t *iv, const std::uint8_t *in, std::uint8_t *out,
                               std::size_t units, std::uint32_t *sha1Chaining, std::size_t hashUnits)
{
    auto *ctx = static_cast<std::uint8_t *>(context);
    const std::int32_t nr = rounds(ctx);
    qelAESCFBDecryptSHA1NI(encryptionKeys(ctx, nr), nr, iv, in, out, units, sha1Chaining, hashUnits);
}

void qelAESCFBEncryptSHA1Units(void *context, const std::uint8_t *iv, const std::uint8_t *in, std::uint8_t *out,
                               std::size_t units, std::uint32_t *sha1Chaining)
{
    auto *ctx = static_cast<std::uint8_t *>(context);
    const std::int32_t nr = rounds(ctx);
    qelAESCFBEncryptSHA1NI(encryptionKeys(ctx, nr), nr, iv, in, out, units, sha1Chaining);
}
#else
const QELCipherBulk qelAESBulk = {nullptr, nullptr, nullptr};
#endif

const QELCipherDescriptor qelAES128Descriptor = {
    "AES128", QELCipherAlgorithm_AES128, 16, 16, qelAESContextSize(10), 4,
    qelAES128KeySchedule, qelAESEncrypt, qelAESDecrypt, nullptr, {nullptr, nullptr},
};

const QELCipherDescriptor qelAES192Descriptor = {
    "AES192", QELCipherAlgorithm_AES192, 16, 24, qelAESContextSize(12), 4,
    qelAES192KeySchedule, qelAESEncrypt, qelAESDecrypt, nullptr, {nullptr, nullptr},
};

const QELCipherDescriptor qelAES256Descriptor = {
    "AES256", QELCipherAlgorithm_AES256, 16, 32, qelAESContextSize(14), 4,
    qelAES256KeySchedule, qelAESEncrypt, qelAESDecrypt, nullptr, {nullptr, nullptr},
};
