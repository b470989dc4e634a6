// ElGamal (algorithm id 16, encryption only): key objects, encryption,
// decryption and key generation.
#include "qelPkAlgInternal.h"

#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelPkEncodeInternal.h"
#include "qelPrimeInternal.h"
#include "qelRandomContextInternal.h"
#include "qelWipe.h"
#include "qelBigNumWordInternal.h"
#include "qelConstantTimeInternal.h"
#include "qelHelpers.h"

#include <cstring>
#include <initializer_list>
#include <memory>

namespace {

using u32 = std::uint32_t;
using BN = QELBigNum;
const QELBigNumOpsTable &ops() { return QELBigNumOps; }

enum { P, G, Y, X };

constexpr u32 kMaxEncryptBits = 65535;

QELMemoryMgr *managerOf(QELContext *context) { return qelContextGetMemoryMgr(context); }
u32 octetsOf(const BN *n) { return qelPkOctets(ops().qelBigNumBitLength(n)); }


// ---- key material

QELStatus parsePublic(const std::uint8_t *m, std::size_t length, BN *values)
{
    const std::int32_t n = qelPkReadMPIs(m, length, 3, values);
    if (n < 0)
        return n == QELError_OutOfMemory ? QELError_Unavailable : n;
    if ((ops().qelBigNumLowWord(&values[P]) & 1) == 0)
        return QELError_BadKeyEncoding;
    // The generator and the public value lie in 2 .. p - 1.
    if (!qelPkInGroupRange(&values[G], &values[P]) || !qelPkInGroupRange(&values[Y], &values[P]))
        return QELError_BadKeyParameters;
    return QELError_NoErr;
}

std::int32_t readStoredPublic(const std::uint8_t *m, std::size_t length, BN *values)
{
    return qelPkReadMPIs(m, length, 3, values);
}

QELStatus checkPublic(const BN *v)
{
    if (!qelPkInGroupRange(&v[G], &v[P]) || !qelPkInGroupRange(&v[Y], &v[P]) ||
        ops().qelBigNumBitLength(&v[P]) < 512 || ops().qelBigNumBitLength(&v[Y]) < 100)
        return QELError_BadKeyParameters;
    return QELError_NoErr;
}

u32 wordsOf(const BN *n) { return n->words ? n->used : 0; }

// Whatever the integrity form (the SHA-1 hash covers x alone, not the
// public values beside it): 0 < x < p and g^x = y, in constant time.
std::int32_t checkSecret(QELSecretKeyObject *self, const BN *pub, const BN *sec, bool)
{
    const auto &o = ops();
    const BN *x = &sec[0];
    if (!qelPkCTInRange(x, &pub[P]))
        return 0;
    QELPkNumbers<1> t(managerOf(self->context), true);
    if (o.qelBigNumExpModSecret(t[0], &pub[G], x, &pub[P], 32 * wordsOf(x)) != 0)
        return QELError_OutOfMemory;
    return qelPkCTEqual(t[0], &pub[Y]) ? 1 : QELError_BadKeyParameters;
}

// ---- sizes

// Only formats 1 to 4 are offered; every other answers 0.
bool offered(std::int32_t format) { return format >= QELPkFormat_RFC4880 && format <= QELPkFormat_RawNoDigestInfo; }

std::int32_t encryptedSize(u32 k, std::int32_t format) { return offered(format) ? qelPkPairMaxSize(k, format) : 0; }
std::int32_t plaintextSize(u32 k) { return k < 3 ? 0 : (std::int32_t)(k - 3); }

std::int32_t pubMaxEncrypted(QELPublicKeyObject *self, std::int32_t format)
{
    return encryptedSize(octetsOf(&qelPkPublicRecord(self)->value[P]), format);
}
std::int32_t pubMaxPlaintext(QELPublicKeyObject *self) { return plaintextSize(octetsOf(&qelPkPublicRecord(self)->value[P])); }
std::int32_t secMaxEncrypted(QELSecretKeyObject *self, std::int32_t format)
{
    return encryptedSize(octetsOf(&qelPkSecretRecord(self)->value[P]), format);
}
std::int32_t secMaxPlaintext(QELSecretKeyObject *self) { return plaintextSize(octetsOf(&qelPkSecretRecord(self)->value[P])); }
std::int32_t cannotFormat(QELPublicKeyObject *, std::int32_t) { return QELError_AlgorithmCannotDoThis; }
std::int32_t secretCannotFormat(QELSecretKeyObject *, std::int32_t) { return QELError_AlgorithmCannotDoThis; }

std::int32_t noVerify(QELPublicKeyObject *, const std::uint8_t *, std::size_t, const QELHashDescriptor *,
                      const std::uint8_t *, std::size_t, std::int32_t)
{
    return QELError_AlgorithmCannotDoThis;
}
QELStatus noSign(QELSecretKeyObject *, const QELHashDescriptor *, const std::uint8_t *, std::size_t, std::uint8_t *,
                 std::size_t *outLength, QELRandomContext *, std::int32_t)
{
    if (outLength)
        *outLength = 0;
    return QELError_AlgorithmCannotDoThis;
}

// ---- encryption

QELStatus elgEncrypt(QELPublicKeyObject *self, const std::uint8_t *in, std::size_t length, std::uint8_t *out,
                     std::size_t *outLength, QELRandomContext *random, std::int32_t format)
{
    if (outLength)
        *outLength = 0;
    if (out == nullptr || outLength == nullptr || (in == nullptr && length != 0) || random == nullptr)
        return QELError_BadParams;
    if (!offered(format))
        return QELError_BadParams;
    QELPkPublicRecord *rec = qelPkPublicRecord(self);
    const BN *p = &rec->value[P], *g = &rec->value[G], *y = &rec->value[Y];
    const auto &o = ops();
    const u32 pBits = o.qelBigNumBitLength(p);
    if (pBits > kMaxEncryptBits)
        return QELError_KeySizeTooLarge;
    const u32 k = octetsOf(p);
    // The message and its padding must fit before anything is copied.
    const std::size_t message = format == QELPkFormat_RFC4880 ? length + 2 : length;
    if (format == QELPkFormat_RFC4880 && length == 0)
        return QELError_BadParams;
    if (message + 11 > k)
        return QELError_DataTooLarge;
    QELPkNumbers<4> t(managerOf(self->context), true);
    BN *r = t[0], *a = t[1], *b = t[2], *m = t[3];
    QELStatus status;
    if (format == QELPkFormat_RFC4880) {
        std::memcpy(out, in, length);
        const std::uint16_t sum = qelPkSessionKeyChecksum(in, length);
        out[length] = (std::uint8_t)(sum >> 8);
        out[length + 1] = (std::uint8_t)sum;
        status = qelPKCS1Pad(m, out, (u32)message, 2, k, random);
        qelSecureWipe(out, message);
    } else {
        status = qelPKCS1Pad(m, in, (u32)length, 2, k, random);
    }
    if (status != QELError_NoErr)
        return status;
    const u32 rBits = qelSubgroupBits(pBits) * 3 / 2;
    // The ephemeral exponent is secret (it unmasks the message): the
    // constant-time path, bounded by its public size; b m mod p likewise.
    if (const QELStatus rs = qelBigNumRandom(r, random, rBits, 0, 0, rBits); rs != 0)
        return rs;
    if (o.qelBigNumExpModSecret(a, g, r, p, rBits) != 0 ||
        o.qelBigNumExpModSecret(b, y, r, p, rBits) != 0)
        return QELError_OutOfMemory;
    {
        const u32 pw = o.qelBigNumTrim(const_cast<BN *>(p));
        qel::WipedBuffer<u32> r2;
        if (!r2.reset(managerOf(self->context), std::size_t(pw) * sizeof(u32), true) ||
            qelWordsMontgomeryR2(r2.get(), p->words, pw, managerOf(self->context), false) != 0 ||
            qelWordsCTModMul(b->words, b->words, wordsOf(b), m->words, wordsOf(m), p->words, pw, r2.get(),
                             managerOf(self->context), true) != 0)
            return QELError_OutOfMemory;
        b->used = pw;
    }
    // The ciphertext is public.
    qelCTDeclassify(a->words, std::size_t(a->used) * sizeof(u32));
    qelCTDeclassify(b->words, std::size_t(b->used) * sizeof(u32));
    o.qelBigNumTrim(a);
    o.qelBigNumTrim(b);
    const std::int32_t written = qelPkWritePair(a, b, out, k, format);
    if (written <= 0)
        return QELError_DataTooLarge;
    *outLength = (std::size_t)written;
    return QELError_NoErr;
}

QELStatus elgDecrypt(QELSecretKeyObject *self, const std::uint8_t *in, std::size_t length, std::uint8_t *out,
                     std::size_t *outLength, const void *passphrase, std::size_t passphraseLength, std::int32_t format)
{
    if (outLength)
        *outLength = 0;
    if (out == nullptr || outLength == nullptr || (in == nullptr && length != 0))
        return QELError_BadParams;
    if (const QELStatus s = qelPkUnlockForUse(self, passphrase, passphraseLength); s != 0)
        return s;
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    const BN *p = &rec->value[P], *x = &rec->value[X];
    const auto &o = ops();
    const u32 k = octetsOf(p);
    QELPkNumbers<3> t(managerOf(self->context), true);
    BN *a = t[0], *b = t[1], *s = t[2];
    const std::int32_t read = qelPkReadPair(a, b, in, length, k, format, QELError_MalformedESK);
    if (read < 0)
        return read;
    // a and b are elements of the group: 1 .. p - 1.
    for (const BN *c : {a, b})
        if (o.qelBigNumCompareWord(c, 0) == 0 || o.qelBigNumCompare(c, p) >= 0)
            return QELError_MalformedESK;
    // m = b (a^x)^-1 mod p, in constant time, the base blinded: with a
    // random r, s = (a r)^x and w = r^x give a^-x = w s^-1; s is inverted
    // as s t for a second random t, a value that owes nothing to s.
    QELMemoryMgr *mgr = managerOf(self->context);
    QELRandomContext *random = qelContextGetRandomContext(self->context);
    if (random == nullptr)
        return QELError_OutOfEntropy;
    const u32 pw = o.qelBigNumTrim(const_cast<BN *>(p));
    const u32 xBits = 32 * wordsOf(x);
    qel::WipedBuffer<u32> block;
    if (!block.reset(mgr, 6 * std::size_t(pw) * sizeof(u32), true))
        return QELError_OutOfMemory;
    qelWordsZero(block.get(), 6 * pw);
    u32 *r2 = block.get(), *ar = r2 + pw, *sw = ar + pw, *w = sw + pw, *u = w + pw, *mw = u + pw;
    if (qelWordsMontgomeryR2(r2, p->words, pw, mgr, false) != 0)
        return QELError_OutOfMemory;
    QELPkNumbers<2> blind(mgr, true);
    BN *r = blind[0], *tb = blind[1];
    for (BN *v : {r, tb})
        do {
            if (const QELStatus rs = qelBigNumRandom(v, random, o.qelBigNumBitLength(p), 0, 0, 0); rs != 0)
                return rs;
            if (o.qelBigNumMod(v, v, p) != 0)
                return QELError_OutOfMemory;
        } while (o.qelBigNumCompareWord(v, 1) <= 0);
    if (qelWordsCTModMul(ar, a->words, wordsOf(a), r->words, wordsOf(r), p->words, pw, r2, mgr, true) != 0 ||
        qelWordsExpModSecret(sw, ar, pw, x->words, wordsOf(x), xBits, p->words, pw, r2, mgr, true) != 0 ||
        qelWordsExpModSecret(w, r->words, wordsOf(r), x->words, wordsOf(x), xBits, p->words, pw, r2, mgr, true) != 0 ||
        qelWordsCTModMul(u, sw, pw, tb->words, wordsOf(tb), p->words, pw, r2, mgr, true) != 0)
        return QELError_OutOfMemory;
    qelCTDeclassify(u, pw * sizeof(u32));
    if (o.qelBigNumReserveBits(s, 32 * pw) != 0)
        return QELError_OutOfMemory;
    qelWordsCopy(s->words, u, pw);
    s->used = pw;
    o.qelBigNumTrim(s);
    const std::int32_t inv = o.qelBigNumInverseMod(s, s, p);
    if (inv < 0)
        return QELError_OutOfMemory;
    if (inv != 0)
        return QELError_MalformedESK;
    // m = b w (s t)^-1 t mod p.
    if (qelWordsCTModMul(mw, s->words, wordsOf(s), tb->words, wordsOf(tb), p->words, pw, r2, mgr, true) != 0 ||
        qelWordsCTModMul(mw, mw, pw, w, pw, p->words, pw, r2, mgr, true) != 0 ||
        qelWordsCTModMul(mw, mw, pw, b->words, wordsOf(b), p->words, pw, r2, mgr, true) != 0 ||
        o.qelBigNumReserveBits(s, 32 * pw) != 0)
        return QELError_OutOfMemory;
    qelWordsCopy(s->words, mw, pw);
    s->used = pw;
    const u32 capacity = k < 3 ? 0 : k - 3;
    std::int32_t m = qelPKCS1Unpad(out, capacity, s, 2, k);
    if (m < 0)
        return m;
    if ((u32)m > capacity || (format == QELPkFormat_RFC4880 && m < 3)) {
        // What was copied of a result that does not fit goes at once.
        qelSecureWipe(out, capacity);
        return QELError_CorruptData;
    }
    if (format == QELPkFormat_RFC4880) {
        if (!qelPkCheckSessionKeyChecksum(out, (std::size_t)m))
            return QELError_CorruptData;
        m -= 2;
    }
    *outLength = (std::size_t)m;
    return QELError_NoErr;
}


// A fresh group: p = 2 q m + 1 for a prime q, generator 2.
QELStatus freshGroup(QELContext *context, u32 bits, QELRandomContext *random, QELPkProgress &report, BN *p, BN *g)
{
    const auto &o = ops();
    std::unique_ptr<QELRandomContext, decltype(&qelPkDestroyRandom)> generator(qelRandomX917CreateZeroSeed(context),
                                                                          qelPkDestroyRandom);
    if (generator == nullptr)
        return QELError_OutOfMemory;
    std::uint8_t seed[8];
    if (const QELStatus status = qelRandomGetBytes(random, seed, sizeof seed); status != 0)
        return status;
    generator->descriptor->add(generator->state, seed, sizeof seed);
    u32 L = 0;
    for (u32 b = bits; b != 0; b >>= 1)
        ++L;
    const u32 qb = bits - L - (L + 1) / 2;
    QELPkNumbers<4> t(managerOf(context), false);
    BN *q = t[0], *step = t[1], *tmp = t[2], *e = t[3];
    std::int32_t r;
    if (const QELStatus rs = qelBigNumRandom(q, generator.get(), qb, 0x80, 1, qb - 2); rs != 0)
        return rs;
    if ((r = qelPrimeSearchConstrained(q, nullptr, qelPkProgressForward, &report, 0u)) <= 0)
        return qelPkSearchFailure(r);
    if ((r = report(' ')) < 0)
        return r;
    if (const QELStatus rs = qelBigNumRandom(p, generator.get(), bits, 0xC0, 1, bits - 3 - qb); rs != 0)
        return rs;
    if (o.qelBigNumCopy(step, q) != 0 ||
        o.qelBigNumShiftLeft(step, 1) != 0 || o.qelBigNumMod(tmp, p, step) != 0 || o.qelBigNumSubtract(p, tmp) != 0 ||
        o.qelBigNumAddWord(p, 1) != 0 || o.qelBigNumSetWord(g, 2) != 0)
        return QELError_OutOfMemory;
    for (;;) {
        if ((r = qelPrimeSearch(p, step, qelPkProgressForward, &report)) <= 0)
            return qelPkSearchFailure(r);
        if ((r = report(' ')) < 0)
            return r;
        // t = 2 (p div q); 2 is taken when 2^t mod p is not 1.
        if (o.qelBigNumDivide(e, tmp, p, q) != 0 || o.qelBigNumShiftLeft(e, 1) != 0 ||
            o.qelBigNumPowerOfTwoMod(tmp, e, p) != 0)
            return QELError_OutOfMemory;
        if (o.qelBigNumCompareWord(tmp, 1) != 0)
            return QELError_NoErr;
        if ((r = report(' ')) < 0)
            return r;
        // Past the rejected prime before searching again.
        if (o.qelBigNumAdd(p, step) != 0)
            return QELError_OutOfMemory;
    }
}

} // namespace

QELSecretKeyObject *qelElGamalGenerateKey(QELContext *context, u32 bits, std::uint8_t fastGeneration,
                                          QELRandomContext *random, QELPkProgressProc progress, void *progressData,
                                          QELStatus *outStatus)
{
    auto fail = [&](QELStatus s) -> QELSecretKeyObject * {
        if (outStatus)
            *outStatus = s;
        return nullptr;
    };
    if (bits < 512 || bits > kMaxEncryptBits || random == nullptr)
        return fail(QELError_BadParams);
    qelBigNumInit();
    const auto &o = ops();
    QELPkProgress report{progress, progressData};
    QELPkNumbers<4> v(managerOf(context), true);
    BN *p = v[P], *g = v[G], *y = v[Y], *x = v[X];
    const std::uint8_t *fp = nullptr, *fg = nullptr;
    std::uint64_t pLength = 0;
    u32 gLength = 0;
    std::int32_t r;
    if (fastGeneration && qelFixedElGamalPrime(bits, &fp, &pLength, &fg, &gLength)) {
        if ((r = report(' ')) < 0)
            return fail(r);
        if (o.qelBigNumFromBytesBE(p, fp, 0, (u32)pLength) != 0 || o.qelBigNumFromBytesBE(g, fg, 0, gLength) != 0)
            return fail(QELError_OutOfMemory);
        if ((r = report(' ')) < 0)
            return fail(r);
    } else if (const QELStatus s = freshGroup(context, bits, random, report, p, g); s != 0) {
        return fail(s);
    }
    const u32 xBits = qelSubgroupBits(bits) * 3 / 2;
    // x above 1; only that verdict is looked at.
    for (u32 above = 0; qelCTDeclassifyValue(above) == 0;) {
        if (const QELStatus rs = qelBigNumRandom(x, random, xBits, 0, 0, xBits); rs != 0)
            return fail(rs);
        above = x->words[0] & ~1u;
        for (u32 i = 1; i < wordsOf(x); ++i)
            above |= x->words[i];
    }
    if (o.qelBigNumExpModSecret(y, g, x, p, 32 * x->used) != 0)
        return fail(QELError_OutOfMemory);
    o.qelBigNumTrim(y);
    return qelPkSecretObjectFromValues(context, QELPublicKeyAlgorithm_ElGamal, qelElGamalKeyOps, v.data(), 0, random,
                                       outStatus);
}

const QELPkKeyOps qelElGamalKeyOps = {
    3,
    1,
    QELError_Unavailable,
    parsePublic,
    readStoredPublic,
    checkPublic,
    checkSecret,
    false,
    0,
    pubMaxEncrypted,
    pubMaxPlaintext,
    cannotFormat,
    elgEncrypt,
    noVerify,
    secMaxEncrypted,
    secMaxPlaintext,
    secretCannotFormat,
    elgDecrypt,
    noSign,
    nullptr,
    nullptr,
};
