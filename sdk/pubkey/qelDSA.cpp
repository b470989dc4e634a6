// DSA (algorithm id 17): key objects, signing, verification and key
// generation.
#include "qelPkAlgInternal.h"

#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelHashInternal.h"
#include "qelPkEncodeInternal.h"
#include "qelPrimeInternal.h"
#include "qelRandomContextInternal.h"
#include "qelBigNumWordInternal.h"
#include "qelConstantTimeInternal.h"
#include "qelHelpers.h"
#include "qelWipe.h"

#include <cstring>

#include <memory>
#include <initializer_list>

namespace {

using u32 = std::uint32_t;
using BN = QELBigNum;
const QELBigNumOpsTable &ops() { return QELBigNumOps; }

enum { P, Q, G, Y, X };

constexpr u32 kMaxBits = 3072;
// Random bits drawn beyond q's size for the nonce and the private value, so
// that their reduction mod q is uniform.
constexpr u32 kNonceExtraBits = 64;

QELMemoryMgr *managerOf(QELContext *context) { return qelContextGetMemoryMgr(context); }
u32 octetsOf(const BN *n) { return qelPkOctets(ops().qelBigNumBitLength(n)); }

using OwnedRandom = std::unique_ptr<QELRandomContext, decltype(&qelPkDestroyRandom)>;

// ---- key material

QELStatus parsePublic(const std::uint8_t *m, std::size_t length, BN *values)
{
    const std::int32_t n = qelPkReadMPIs(m, length, 4, values);
    if (n < 0)
        return n;
    if ((ops().qelBigNumLowWord(&values[P]) & 1) == 0 || (ops().qelBigNumLowWord(&values[Q]) & 1) == 0)
        return QELError_BadKeyEncoding;
    if (ops().qelBigNumBitLength(&values[P]) > kMaxBits)
        return QELError_KeyCheckFailed;
    // The generator and the public value lie in 2 .. p - 1.
    if (!qelPkInGroupRange(&values[G], &values[P]) || !qelPkInGroupRange(&values[Y], &values[P]))
        return QELError_BadKeyParameters;
    return QELError_NoErr;
}

std::int32_t readStoredPublic(const std::uint8_t *m, std::size_t length, BN *values)
{
    return qelPkReadMPIs(m, length, 4, values);
}

QELStatus checkPublic(const BN *v)
{
    const auto &o = ops();
    if (!qelPkInGroupRange(&v[G], &v[P]) || !qelPkInGroupRange(&v[Y], &v[P]))
        return QELError_BadKeyParameters;
    if (o.qelBigNumBitLength(&v[Q]) < 160 || o.qelBigNumBitLength(&v[P]) < 512 ||
        o.qelBigNumBitLength(&v[G]) < 100 || o.qelBigNumBitLength(&v[Y]) < 100 ||
        (o.qelBigNumLowWord(&v[Q]) & 1) == 0)
        return QELError_BadKeyParameters;
    QELPkNumbers<2> t(v[P].memoryMgr, false);
    if (o.qelBigNumCopy(t[0], &v[P]) != 0 || o.qelBigNumSubtractWord(t[0], 1) != 0 ||
        o.qelBigNumMod(t[1], t[0], &v[Q]) != 0)
        return QELError_OutOfMemory;
    return o.qelBigNumCompareWord(t[1], 0) == 0 ? QELError_NoErr : QELError_BadKeyParameters;
}

// Whatever the integrity form (the SHA-1 hash covers the secret value
// alone, not the public values beside it), x must be in 1 .. q - 1 and
// produce y; g must lie in the subgroup of order q. Run in constant time.
std::int32_t checkSecret(QELSecretKeyObject *self, const BN *pub, const BN *sec, bool)
{
    const auto &o = ops();
    const BN *x = &sec[0];
    if (!qelPkCTInRange(x, &pub[Q]))
        return 0;
    QELPkNumbers<1> t(managerOf(self->context), true);
    if (o.qelBigNumExpModSecret(t[0], &pub[G], x, &pub[P], o.qelBigNumBitLength(&pub[Q])) != 0)
        return QELError_OutOfMemory;
    if (!qelPkCTEqual(t[0], &pub[Y]))
        return QELError_BadKeyParameters;
    if (o.qelBigNumExpMod(t[0], &pub[G], &pub[Q], &pub[P]) != 0)
        return QELError_OutOfMemory;
    return o.qelBigNumCompareWord(t[0], 1) == 0 ? 1 : QELError_BadKeyParameters;
}

// ---- sizes

std::int32_t cannot(QELPublicKeyObject *) { return QELError_AlgorithmCannotDoThis; }
std::int32_t cannotFormat(QELPublicKeyObject *, std::int32_t) { return QELError_AlgorithmCannotDoThis; }
std::int32_t secretCannot(QELSecretKeyObject *) { return QELError_AlgorithmCannotDoThis; }
std::int32_t secretCannotFormat(QELSecretKeyObject *, std::int32_t) { return QELError_AlgorithmCannotDoThis; }

std::int32_t signatureSize(u32 m, std::int32_t format) { return qelPkPairMaxSize(m, format); }
std::int32_t pubMaxSignature(QELPublicKeyObject *self, std::int32_t format)
{
    return signatureSize(octetsOf(&qelPkPublicRecord(self)->value[Q]), format);
}
std::int32_t secMaxSignature(QELSecretKeyObject *self, std::int32_t format)
{
    return signatureSize(octetsOf(&qelPkSecretRecord(self)->value[Q]), format);
}

QELStatus noEncrypt(QELPublicKeyObject *, const std::uint8_t *, std::size_t, std::uint8_t *, std::size_t *outLength,
                    QELRandomContext *, std::int32_t)
{
    if (outLength)
        *outLength = 0;
    return QELError_AlgorithmCannotDoThis;
}
QELStatus noDecrypt(QELSecretKeyObject *, const std::uint8_t *, std::size_t, std::uint8_t *, std::size_t *outLength,
                    const void *, std::size_t, std::int32_t)
{
    if (outLength)
        *outLength = 0;
    return QELError_AlgorithmCannotDoThis;
}

// ---- signatures

// HMAC-SHA-256 over the concatenated parts, keyed with a 32-octet key.
class HMACSHA256 {
public:
    explicit HMACSHA256(QELMemoryMgr *mgr)
    {
        if (qelHashCreate(mgr, QELHashAlgorithm_SHA256, &hash_) != 0)
            hash_ = nullptr;
    }
    ~HMACSHA256()
    {
        if (hash_ != nullptr)
            static_cast<void>(qelHashFree(hash_));   // wipes its state
    }
    HMACSHA256(const HMACSHA256 &) = delete;
    HMACSHA256 &operator=(const HMACSHA256 &) = delete;
    bool ready() const { return hash_ != nullptr; }
    struct Part {
        const std::uint8_t *data;
        std::size_t length;
    };
    void mac(const std::uint8_t key[32], std::initializer_list<Part> parts, std::uint8_t out[32])
    {
        const QELHashDescriptor *d = hash_->descriptor;
        std::uint8_t pad[64];
        for (int i = 0; i < 64; ++i)
            pad[i] = (std::uint8_t)((i < 32 ? key[i] : 0) ^ 0x36);
        d->init(hash_->state);
        d->update(hash_->state, pad, sizeof pad);
        for (const Part &part : parts)
            d->update(hash_->state, part.data, part.length);
        std::uint8_t inner[32];
        std::memcpy(inner, d->final(hash_->state), 32);
        for (int i = 0; i < 64; ++i)
            pad[i] ^= 0x36 ^ 0x5C;
        d->init(hash_->state);
        d->update(hash_->state, pad, sizeof pad);
        d->update(hash_->state, inner, sizeof inner);
        std::memcpy(out, d->final(hash_->state), 32);
        qelSecureWipe(pad, sizeof pad);
        qelSecureWipe(inner, sizeof inner);
    }

private:
    QELHashContext *hash_ = nullptr;
};

// The nonce generator of RFC 6979 (section 3.2) in its hedged form: the
// HMAC-SHA-256 DRBG is seeded with the private key, the digest reduced mod
// q and fresh random octets, so a broken random source still gives a
// nonce no one can guess, and a good one hides any weakness of the
// construction. No table lookup or branch depends on the key.
class NonceDRBG {
public:
    NonceDRBG(HMACSHA256 &hmac, const std::uint8_t *x, const std::uint8_t *h, std::size_t m,
              const std::uint8_t *fresh, std::size_t freshLength)
        : hmac_(hmac)
    {
        std::memset(v_, 0x01, sizeof v_);
        std::memset(k_, 0x00, sizeof k_);
        for (std::uint8_t round : {0x00, 0x01}) {
            hmac_.mac(k_, {{v_, 32}, {&round, 1}, {x, m}, {h, m}, {fresh, freshLength}}, k_);
            hmac_.mac(k_, {{v_, 32}}, v_);
        }
    }
    ~NonceDRBG()
    {
        qelSecureWipe(k_, sizeof k_);
        qelSecureWipe(v_, sizeof v_);
    }
    NonceDRBG(const NonceDRBG &) = delete;
    NonceDRBG &operator=(const NonceDRBG &) = delete;
    void generate(std::uint8_t *out, std::size_t length)
    {
        for (std::size_t pos = 0; pos < length; pos += 32) {
            hmac_.mac(k_, {{v_, 32}}, v_);
            std::memcpy(out + pos, v_, length - pos < 32 ? length - pos : 32);
        }
    }
    // After a candidate is refused.
    void reseed()
    {
        const std::uint8_t zero = 0;
        hmac_.mac(k_, {{v_, 32}, {&zero, 1}}, k_);
        hmac_.mac(k_, {{v_, 32}}, v_);
    }

private:
    HMACSHA256 &hmac_;
    std::uint8_t k_[32];
    std::uint8_t v_[32];
};

u32 wordsOf(const BN *n) { return n->words ? n->used : 0; }

QELStatus dsaSign(QELSecretKeyObject *self, const QELHashDescriptor *, const std::uint8_t *digest,
                  std::size_t digestLength, std::uint8_t *out, std::size_t *outLength, QELRandomContext *random,
                  std::int32_t format)
{
    if (outLength)
        *outLength = 0;
    if (out == nullptr || outLength == nullptr || digest == nullptr || random == nullptr)
        return QELError_BadParams;
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    if (rec->locked)
        return QELError_KeyLocked;
    const BN *p = &rec->value[P], *q = &rec->value[Q], *g = &rec->value[G], *x = &rec->value[X];
    const u32 m = octetsOf(q);
    // The digest is read through q's octet length; a shorter one is refused.
    if (digestLength < m)
        return QELError_BadParams;
    const auto &o = ops();
    QELMemoryMgr *mgr = managerOf(self->context);
    random->descriptor->add(random->state, digest, m);

    // Public values: h = digest mod q, and the Montgomery set-ups of p and q.
    const u32 pw = o.qelBigNumTrim(const_cast<BN *>(p)), qw = o.qelBigNumTrim(const_cast<BN *>(q));
    const u32 qBits = o.qelBigNumBitLength(q);
    QELPkNumbers<4> pub(mgr, false);
    BN *h = pub[0], *r = pub[1], *s = pub[2], *negH = pub[3];
    if (o.qelBigNumFromBytesBE(h, digest, 0, m) != 0 || o.qelBigNumMod(h, h, q) != 0 ||
        o.qelBigNumCopy(negH, q) != 0 || o.qelBigNumSubtract(negH, h) < 0 || o.qelBigNumReserveBits(negH, 32 * qw) != 0 ||
        o.qelBigNumReserveBits(r, 32 * pw) != 0 || o.qelBigNumReserveBits(s, 32 * qw) != 0)
        return QELError_OutOfMemory;
    for (u32 i = wordsOf(negH); i < qw; ++i)
        negH->words[i] = 0;

    // Secret scratch in one wiped block.
    const u32 candidateBytes = (qBits + kNonceExtraBits + 7) / 8;
    const u32 cw = (candidateBytes + 3) / 4;
    const std::size_t words = 2 * std::size_t(pw) + 6 * std::size_t(qw) + cw + 2;
    qel::WipedBuffer<u32> block;
    qel::WipedBuffer<std::uint8_t> octets;
    if (!block.reset(mgr, words * sizeof(u32), true) || !octets.reset(mgr, 2 * std::size_t(m) + candidateBytes + 32, true))
        return QELError_OutOfMemory;
    qelWordsZero(block.get(), (u32)words);
    u32 *r2p = block.get(), *big = r2p + pw, *r2q = big + pw, *k = r2q + qw, *kinv = k + qw, *t = kinv + qw;
    u32 *qm2 = t + qw, *sw = qm2 + qw, *cand = sw + qw;
    if (qelWordsMontgomeryR2(r2p, p->words, pw, mgr, false) != 0 || qelWordsMontgomeryR2(r2q, q->words, qw, mgr, false) != 0)
        return QELError_OutOfMemory;
    qelWordsCopy(qm2, q->words, qw);
    qelWordsSubtractWord(qm2, qw, 2);

    std::uint8_t *xo = octets.get(), *ho = xo + m, *co = ho + m, *fresh = co + candidateBytes;
    qelWordsToBytesBE(x->words, wordsOf(x), xo, 0, m);
    o.qelBigNumToBytesBE(h, ho, 0, m);
    if (const QELStatus status = qelRandomGetBytes(random, fresh, 32); status != 0)
        return status;
    HMACSHA256 hmac(mgr);
    if (!hmac.ready())
        return QELError_OutOfMemory;
    NonceDRBG drbg(hmac, xo, ho, m, fresh, 32);

    for (int attempt = 0;; ++attempt) {
        if (attempt > 0)
            drbg.reseed();
        if (attempt == 64)
            return QELError_BadKeyParameters;   // q is no prime of the size it claims
        // k = candidate mod q, from 64 octets more than q needs, so uniform.
        drbg.generate(co, candidateBytes);
        qelWordsZero(cand, cw);
        qelWordsFromBytesBE(cand, co, 0, candidateBytes);
        if (qelWordsCTReduce(k, cand, cw, q->words, qw, r2q, mgr, true) != 0)
            return QELError_OutOfMemory;
        u32 any = 0;
        for (u32 i = 0; i < qw; ++i)
            any |= k[i];
        if (qelCTDeclassifyValue(any) == 0)
            continue;
        // r = (g^k mod p) mod q; g^k mod p is public once the signature is
        // (the verifier computes it).
        if (qelWordsExpModSecret(big, g->words, wordsOf(g), k, qw, qBits, p->words, pw, r2p, mgr, true) != 0)
            return QELError_OutOfMemory;
        qelCTDeclassify(big, pw * sizeof(u32));
        qelWordsCopy(r->words, big, pw);
        r->used = pw;
        o.qelBigNumTrim(r);
        if (o.qelBigNumMod(r, r, q) != 0 || o.qelBigNumReserveBits(r, 32 * qw) != 0)
            return QELError_OutOfMemory;
        if (o.qelBigNumCompareWord(r, 0) == 0)
            continue;
        for (u32 i = wordsOf(r); i < qw; ++i)
            r->words[i] = 0;
        // k^-1 = k^(q-2) mod q (q prime), then s = k^-1 (h + x r) mod q.
        if (qelWordsExpModSecret(kinv, k, qw, qm2, qw, qBits, q->words, qw, r2q, mgr, true) != 0 ||
            qelWordsCTModMul(t, x->words, wordsOf(x), r->words, qw, q->words, qw, r2q, mgr, true) != 0)
            return QELError_OutOfMemory;
        qelWordsCTModSub(t, t, negH->words, q->words, qw);
        if (qelWordsCTModMul(sw, kinv, qw, t, qw, q->words, qw, r2q, mgr, true) != 0)
            return QELError_OutOfMemory;
        qelCTDeclassify(sw, qw * sizeof(u32));
        qelWordsCopy(s->words, sw, qw);
        s->used = qw;
        o.qelBigNumTrim(s);
        if (o.qelBigNumCompareWord(s, 0) != 0)
            break;
    }
    const std::int32_t written = qelPkWritePair(r, s, out, m, format);
    if (written <= 0)
        return QELError_DataTooLarge;
    *outLength = (std::size_t)written;
    return QELError_NoErr;
}

std::int32_t dsaVerify(QELPublicKeyObject *self, const std::uint8_t *signature, std::size_t length,
                       const QELHashDescriptor *, const std::uint8_t *digest, std::size_t digestLength,
                       std::int32_t format)
{
    if (signature == nullptr || digest == nullptr)
        return QELError_BadParams;
    QELPkPublicRecord *rec = qelPkPublicRecord(self);
    const BN *p = &rec->value[P], *q = &rec->value[Q], *g = &rec->value[G], *y = &rec->value[Y];
    const auto &o = ops();
    const u32 qBits = o.qelBigNumBitLength(q);
    if ((std::uint64_t)digestLength * 8 < qBits)
        return 0;
    const u32 m = octetsOf(q);
    QELPkNumbers<6> t(managerOf(self->context), false);
    BN *r = t[0], *s = t[1], *w = t[2], *u1 = t[3], *u2 = t[4], *v = t[5];
    const std::int32_t read = qelPkReadPair(r, s, signature, length, m, format, QELError_TruncatedPacket);
    if (read < 0)
        return read;
    // Only 0 < r < q and 0 < s < q can be a signature.
    for (const BN *c : {r, s})
        if (o.qelBigNumCompareWord(c, 0) == 0 || o.qelBigNumCompare(c, q) >= 0)
            return 0;
    const std::int32_t inv = o.qelBigNumInverseMod(w, s, q);
    if (inv < 0)
        return QELError_OutOfMemory;
    if (inv != 0)
        return 0;
    if (o.qelBigNumFromBytesBE(v, digest, 0, m) != 0 || o.qelBigNumMod(v, v, q) != 0 ||
        o.qelBigNumMultiply(u1, v, w) != 0 || o.qelBigNumMod(u1, u1, q) != 0 || o.qelBigNumMultiply(u2, r, w) != 0 ||
        o.qelBigNumMod(u2, u2, q) != 0 || o.qelBigNumDoubleExpMod(v, g, u1, y, u2, p) != 0 ||
        o.qelBigNumMod(v, v, q) != 0)
        return QELError_OutOfMemory;
    return o.qelBigNumCompare(v, r) == 0 ? 1 : 0;
}

// ---- generation


} // namespace

QELSecretKeyObject *qelDSAGenerateKey(QELContext *context, u32 bits, QELRandomContext *random,
                                      QELPkProgressProc progress, void *progressData, QELStatus *outStatus)
{
    auto fail = [&](QELStatus s) -> QELSecretKeyObject * {
        if (outStatus)
            *outStatus = s;
        return nullptr;
    };
    const u32 P64 = (bits + 63) & ~u32{63};
    if (bits > kMaxBits || P64 > kMaxBits)
        return fail(QELError_KeySizeTooLarge);
    if (P64 < 512 || random == nullptr)
        return fail(QELError_BadParams);
    qelBigNumInit();
    const auto &o = ops();
    const u32 qBits = P64 <= 1024 ? 160 : P64 <= 2048 ? 224 : 256;
    QELPkProgress report{progress, progressData};
    OwnedRandom generator(qelRandomX917CreateZeroSeed(context), qelPkDestroyRandom);
    if (generator == nullptr)
        return fail(QELError_OutOfMemory);
    std::uint8_t seed[8];
    if (const QELStatus status = qelRandomGetBytes(random, seed, sizeof seed); status != 0)
        return fail(status);
    generator->descriptor->add(generator->state, seed, sizeof seed);

    QELPkNumbers<5> v(managerOf(context), true);
    QELPkNumbers<3> t(managerOf(context), false);
    BN *p = v[P], *q = v[Q], *g = v[G], *y = v[Y], *x = v[X];
    BN *step = t[0], *e = t[1], *h = t[2];
    std::int32_t r;
    if (const QELStatus rs = qelBigNumRandom(q, generator.get(), qBits, 0xFF, 1, qBits - 9); rs != 0)
        return fail(rs);
    if ((r = qelPrimeSearchConstrained(q, nullptr, qelPkProgressForward, &report, 0u)) <= 0)
        return fail(qelPkSearchFailure(r));
    if ((r = report(' ')) < 0)
        return fail(r);
    if (const QELStatus rs = qelBigNumRandom(p, generator.get(), P64, 0xC0, 1, P64 - qBits); rs != 0)
        return fail(rs);
    if (o.qelBigNumCopy(step, q) != 0 ||
        o.qelBigNumShiftLeft(step, 1) != 0 || o.qelBigNumMod(h, p, step) != 0 || o.qelBigNumSubtract(p, h) != 0 ||
        o.qelBigNumAddWord(p, 1) != 0)
        return fail(QELError_OutOfMemory);
    if ((r = qelPrimeSearch(p, step, qelPkProgressForward, &report)) <= 0)
        return fail(qelPkSearchFailure(r));
    if ((r = report(' ')) < 0 || (r = report('.')) < 0)
        return fail(r);
    // g = h^((p - 1) / q) mod p for h = 2, 3, ... until g is not 1.
    if (o.qelBigNumDivide(e, h, p, q) != 0 || o.qelBigNumSetWord(h, 2) != 0 || o.qelBigNumExpMod(g, h, e, p) != 0)
        return fail(QELError_OutOfMemory);
    while (o.qelBigNumBitLength(g) < 2) {
        if ((r = report('.')) < 0)
            return fail(r);
        if (o.qelBigNumAddWord(h, 1) != 0 || o.qelBigNumExpMod(g, h, e, p) != 0)
            return fail(QELError_OutOfMemory);
    }
    if ((r = report(' ')) < 0)
        return fail(r);
    // x uniform in 1 .. q - 1: 64 bits beyond q's size before the reduction,
    // which runs in constant time (only "x is zero" is looked at).
    const u32 qw = o.qelBigNumTrim(q);
    QELPkNumbers<1> wide(managerOf(context), true);
    if (o.qelBigNumReserveBits(x, 32 * qw) != 0)
        return fail(QELError_OutOfMemory);
    for (u32 any = 0; qelCTDeclassifyValue(any) == 0;) {
        if (const QELStatus rs = qelBigNumRandom(wide[0], random, qBits + kNonceExtraBits, 0, 0, qBits); rs != 0)
            return fail(rs);
        if (qelWordsCTMod(x->words, wide[0]->words, wordsOf(wide[0]), q->words, qw, managerOf(context), true) != 0)
            return fail(QELError_OutOfMemory);
        x->used = qw;
        for (u32 i = 0; i < qw; ++i)
            any |= x->words[i];
    }
    if (o.qelBigNumExpModSecret(y, g, x, p, qBits) != 0)
        return fail(QELError_OutOfMemory);
    o.qelBigNumTrim(y);
    return qelPkSecretObjectFromValues(context, QELPublicKeyAlgorithm_DSA, qelDSAKeyOps, v.data(), 0, random, outStatus);
}

const QELPkKeyOps qelDSAKeyOps = {
    4,
    1,
    QELError_OutOfMemory,
    parsePublic,
    readStoredPublic,
    checkPublic,
    checkSecret,
    false,
    kMaxBits,
    cannotFormat,
    cannot,
    pubMaxSignature,
    noEncrypt,
    dsaVerify,
    secretCannotFormat,
    secretCannot,
    secMaxSignature,
    noDecrypt,
    dsaSign,
    nullptr,
    nullptr,
};
