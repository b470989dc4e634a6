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

#include <memory>
#include <initializer_list>

namespace {

using u32 = std::uint32_t;
using BN = QELBigNum;
const QELBigNumOpsTable &ops() { return QELBigNumOps; }

enum { P, Q, G, Y, X };

constexpr u32 kMaxBits = 3072;
// Random bits drawn beyond q's size for the nonce, so k mod q is uniform.
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

std::int32_t checkSecret(QELSecretKeyObject *self, const BN *pub, const BN *sec, bool hashIntegrity)
{
    const auto &o = ops();
    const BN *x = &sec[0];
    if (o.qelBigNumCompareWord(x, 0) == 0 || o.qelBigNumCompare(x, &pub[Q]) >= 0)
        return 0;
    if (hashIntegrity)
        return 1;
    QELPkNumbers<1> t(managerOf(self->context), true);
    if (o.qelBigNumExpMod(t[0], &pub[G], x, &pub[P]) != 0)
        return QELError_OutOfMemory;
    if (o.qelBigNumCompare(t[0], &pub[Y]) != 0)
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

    random->descriptor->add(random->state, digest, m);
    const std::int32_t cipher = qelFIPSModeEnabled() ? QELCipherAlgorithm_3DES : QELCipherAlgorithm_CAST5;
    OwnedRandom generator(qelRandomX917Create(self->context, cipher, random), qelPkDestroyRandom);
    if (generator == nullptr)
        return QELError_OutOfMemory;
    static_cast<void>(qelRandomAddBigNum(generator.get(), x));   // an add cannot fail

    QELPkNumbers<6> t(managerOf(self->context), true);
    BN *k = t[0], *r = t[1], *s = t[2], *kinv = t[3], *h = t[4], *tmp = t[5];
    if (o.qelBigNumFromBytesBE(h, digest, 0, m) != 0 || o.qelBigNumMod(h, h, q) != 0)
        return QELError_OutOfMemory;
    const u32 qBits = o.qelBigNumBitLength(q);
    for (;;) {
        // k uniform in 1 .. q - 1; a zero k, r or s starts again.
        if (qelBigNumRandom(k, generator.get(), qBits + kNonceExtraBits, 0, 0, qBits) != 0 ||
            o.qelBigNumMod(k, k, q) != 0)
            return QELError_OutOfMemory;
        if (o.qelBigNumCompareWord(k, 0) == 0)
            continue;
        if (o.qelBigNumExpMod(tmp, g, k, p) != 0 || o.qelBigNumMod(r, tmp, q) != 0)
            return QELError_OutOfMemory;
        if (o.qelBigNumCompareWord(r, 0) == 0)
            continue;
        const std::int32_t inv = o.qelBigNumInverseMod(kinv, k, q);
        if (inv < 0)
            return QELError_OutOfMemory;
        if (inv != 0)
            return QELError_BadKeyParameters;   // q is not prime
        // s = k^-1 (h + x r) mod q
        if (o.qelBigNumMultiply(tmp, x, r) != 0 || o.qelBigNumAdd(tmp, h) != 0 || o.qelBigNumMod(tmp, tmp, q) != 0 ||
            o.qelBigNumMultiply(s, tmp, kinv) != 0 || o.qelBigNumMod(s, s, q) != 0)
            return QELError_OutOfMemory;
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
    qelRandomGetBytes(random, seed, sizeof seed);
    generator->descriptor->add(generator->state, seed, sizeof seed);

    QELPkNumbers<5> v(managerOf(context), true);
    QELPkNumbers<3> t(managerOf(context), false);
    BN *p = v[P], *q = v[Q], *g = v[G], *y = v[Y], *x = v[X];
    BN *step = t[0], *e = t[1], *h = t[2];
    std::int32_t r;
    if (qelBigNumRandom(q, generator.get(), qBits, 0xFF, 1, qBits - 9) != 0)
        return fail(QELError_OutOfMemory);
    if ((r = qelPrimeSearchConstrained(q, nullptr, qelPkProgressForward, &report, 0u)) <= 0)
        return fail(qelPkSearchFailure(r));
    if ((r = report(' ')) < 0)
        return fail(r);
    if (qelBigNumRandom(p, generator.get(), P64, 0xC0, 1, P64 - qBits) != 0 || o.qelBigNumCopy(step, q) != 0 ||
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
    do {
        if (qelBigNumRandom(x, random, qBits + 8, 0, 0, qBits) != 0 || o.qelBigNumMod(x, x, q) != 0)
            return fail(QELError_OutOfMemory);
    } while (o.qelBigNumCompareWord(x, 0) == 0);
    if (o.qelBigNumExpMod(y, g, x, p) != 0)
        return fail(QELError_OutOfMemory);
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
