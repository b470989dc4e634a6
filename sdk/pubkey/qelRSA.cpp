// RSA (algorithm ids 1, 2 and 3): key objects, CRT private operation with
// blinding, encryption, signatures and key generation.
#include "qelPkAlgInternal.h"

#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelPkEncodeInternal.h"
#include "qelPrimeInternal.h"
#include "qelRandomContextInternal.h"
#include "qelWipe.h"
#include "qelBigNumWordInternal.h"
#include "qelConstantTimeInternal.h"
#include "qelHelpers.h"
#include "qelTestHooks.h"

#include <atomic>

#include <cstring>
#include <initializer_list>

namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;
using BN = QELBigNum;
const QELBigNumOpsTable &ops() { return QELBigNumOps; }

enum { N, E, D, P, Q, U };
// A public object keeps R^2 mod n (the Montgomery set-up of n) in the slot
// after e, made once with the object and freed with it.
constexpr int kPublicR2 = 2;
// And, where the processor has AVX-512 IFMA, R^2 mod n for that kernel's
// radix in the slot after it (empty elsewhere).
constexpr int kPublicR2Wide = 3;

constexpr u32 kMaxObjectBits = 4096;
constexpr u32 kMaxEncryptBits = 65535;
constexpr u32 kPublicExponent = 65537;
constexpr u32 kMinGenerateBits = 32;

QELMemoryMgr *managerOf(QELContext *context) { return qelContextGetMemoryMgr(context); }

std::int32_t baseFormat(std::int32_t format)
{
    return format > QELPkFormat_Blinded && format <= QELPkFormat_Blinded + QELPkFormat_OAEP
               ? format - QELPkFormat_Blinded
               : format;
}

u32 octetsOf(const BN *n) { return qelPkOctets(ops().qelBigNumBitLength(n)); }
// The word count of a number: public, whatever its value.
u32 wordsOf(const BN *n) { return n->words ? n->used : 0; }

// ---- key material

// Bit count agrees with the top octet of an MPI of at least one octet.
bool topOctetMatches(const std::uint8_t *mpi)
{
    const u32 bits = (u32(mpi[0]) << 8) | mpi[1];
    return bits != 0 && (mpi[2] >> ((bits - 1) % 8)) == 1;
}

QELStatus parsePublic(const std::uint8_t *m, std::size_t length, BN *values)
{
    if (m == nullptr || length < 4)
        return QELError_BadAlgorithmData;
    const u32 nBits = (u32(m[0]) << 8) | m[1];
    const std::size_t nOctets = qelPkOctets(nBits);
    if (nBits == 0 || length < 3 || !topOctetMatches(m))
        return QELError_BadMPIBitCount;
    if (length < nOctets + 4)
        return QELError_BadAlgorithmData;
    if ((m[1 + nOctets] & 1) == 0)
        return QELError_BadMPIOddness;
    const std::uint8_t *e = m + 2 + nOctets;
    const u32 eBits = (u32(e[0]) << 8) | e[1];
    if (eBits == 0 || length < nOctets + 5 || !topOctetMatches(e))
        return QELError_BadMPIBitCount2;
    if (length < nOctets + 4 + qelPkOctets(eBits))
        return QELError_BadAlgorithmData;
    if (nBits > kMaxObjectBits)
        return QELError_KeyCheckFailed;
    const u32 len = (u32)(length > 0xFFFFFFFFu ? 0xFFFFFFFFu : length);
    if (qelMPIRead(&values[N], m, len) <= 0 || qelMPIRead(&values[E], e, len - 2 - (u32)nOctets) <= 0)
        return QELError_OutOfMemory;
    return QELError_NoErr;
}

std::int32_t readStoredPublic(const std::uint8_t *m, std::size_t length, BN *values)
{
    const u32 len = (u32)(length > 0xFFFFFFFFu ? 0xFFFFFFFFu : length);
    const std::int32_t a = qelMPIRead(&values[N], m, len);
    if (a < 0)
        return a;
    if (a == 0)
        return QELError_BadAlgorithmData;
    const std::int32_t b = qelMPIRead(&values[E], m + a, len - (u32)a);
    if (b < 0)
        return b;
    if (b == 0)
        return QELError_BadAlgorithmData;
    return a + b;
}

QELStatus checkPublic(const BN *) { return QELError_NoErr; }

// The consistency of the secret values with each other and with n and e,
// in constant time: each verdict is public, how it was reached is not.
std::int32_t checkSecret(QELSecretKeyObject *self, const BN *pub, const BN *sec, bool)
{
    const BN *n = &pub[N], *e = &pub[E];
    const BN *d = &sec[0], *p = &sec[1], *q = &sec[2], *u = &sec[3];
    const u32 nw = qelWordsSignificantLength(n->words, n->used), pw = p->used, qw = q->used;
    const u32 dw = d->used, ew = qelWordsSignificantLength(e->words, e->used), uw = u->used;
    if (!qelPkCTInRange(d, n) || !qelPkCTInRange(p, n) || !qelPkCTInRange(q, n) || !qelPkCTInRange(u, q) ||
        pw == 0 || qw == 0 || pw + qw < nw)
        return 0;
    if (qelCTDeclassifyValue(p->words[0] & q->words[0] & 1u) == 0)
        return 0;
    QELMemoryMgr *mgr = managerOf(self->context);
    const std::size_t words = 2 * std::size_t(pw + qw) + 2 * (std::size_t(dw) + ew) + 3 * std::size_t(pw + qw) + 4;
    qel::WipedBuffer<u32> block;
    if (!block.reset(mgr, words * sizeof(u32), true))
        return QELError_OutOfMemory;
    qelWordsZero(block.get(), (u32)words);
    u32 *pq = block.get(), *nn = pq + pw + qw, *de = nn + pw + qw, *rem = de + dw + ew;
    u32 *pm1 = rem + pw + qw, *r2q = pm1 + pw + qw, *one = r2q + pw + qw;
    // p q = n.
    qelWordsMultiply(pq, p->words, pw, q->words, qw);
    qelWordsCopy(nn, n->words, nw);
    if (qelCTDeclassifyValue(qelWordsCTEqualMask(pq, nn, pw + qw)) == 0)
        return 0;
    // d e mod (p - 1) = 1 and d e mod (q - 1) = 1 (the primes are odd).
    qelWordsMultiply(de, d->words, dw, e->words, ew);
    for (const BN *f : {p, q}) {
        const u32 fw = f->used;
        qelWordsZero(one, pw + qw);
        one[0] = 1;
        qelWordsCopy(pm1, f->words, fw);
        pm1[0] -= 1;
        if (qelWordsCTMod(rem, de, dw + ew, pm1, fw, mgr, true) != 0)
            return QELError_OutOfMemory;
        if (qelCTDeclassifyValue(qelWordsCTEqualMask(rem, one, fw)) == 0)
            return 0;
    }
    // p u mod q = 1.
    if (qelWordsCTMontgomeryR2(r2q, q->words, qw, mgr, true) != 0 ||
        qelWordsCTModMul(rem, p->words, pw, u->words, uw, q->words, qw, r2q, mgr, true) != 0)
        return QELError_OutOfMemory;
    return qelCTDeclassifyValue(qelWordsCTEqualMask(rem, one, qw)) != 0 ? 1 : 0;
}

// ---- sizes

std::int32_t encryptedSize(u32 k, std::int32_t format)
{
    switch (format) {
    case QELPkFormat_RFC4880: return (std::int32_t)(k + 2);
    case QELPkFormat_DER: return (std::int32_t)(1 + qelDERLengthSize(k + 1) + k + 1);
    case QELPkFormat_Raw:
    case QELPkFormat_RawNoDigestInfo:
    case QELPkFormat_OAEP: return (std::int32_t)k;
    default: return 0;
    }
}

std::int32_t signatureSize(u32 k, std::int32_t format)
{
    if (format == QELPkFormat_RFC4880)
        return (std::int32_t)(k + 2);
    if (format >= QELPkFormat_Raw && format <= QELPkFormat_OAEP)
        return (std::int32_t)k;
    return 0;
}

u32 publicK(QELPublicKeyObject *self) { return octetsOf(&qelPkPublicRecord(self)->value[N]); }
u32 secretK(QELSecretKeyObject *self) { return octetsOf(&qelPkSecretRecord(self)->value[N]); }

std::int32_t pubMaxEncrypted(QELPublicKeyObject *self, std::int32_t f) { return encryptedSize(publicK(self), baseFormat(f)); }
std::int32_t pubMaxSignature(QELPublicKeyObject *self, std::int32_t f) { return signatureSize(publicK(self), baseFormat(f)); }
// Never below zero: a modulus too small for any message answers 0.
std::int32_t pubMaxPlaintext(QELPublicKeyObject *self)
{
    const u32 k = publicK(self);
    return k < 3 ? 0 : (std::int32_t)(k - 3);
}
std::int32_t secMaxEncrypted(QELSecretKeyObject *self, std::int32_t f) { return encryptedSize(secretK(self), baseFormat(f)); }
std::int32_t secMaxSignature(QELSecretKeyObject *self, std::int32_t f) { return signatureSize(secretK(self), baseFormat(f)); }
std::int32_t secMaxPlaintext(QELSecretKeyObject *self)
{
    const u32 k = secretK(self);
    return k < 3 ? 0 : (std::int32_t)(k - 3);
}

// ---- encryption

struct OAEPHeader {
    std::int32_t labelHash = 0;
    std::int32_t maskHash = 0;
    const std::uint8_t *label = nullptr;
    u32 labelLength = 0;
    std::size_t headerLength = 0;
};

// The parameter header in front of OAEP input: hash ids, label length, label.
bool readOAEPHeader(const std::uint8_t *in, std::size_t length, OAEPHeader &h)
{
    if (in == nullptr || length < 6)
        return false;
    const u32 L = (u32(in[2]) << 24) | (u32(in[3]) << 16) | (u32(in[4]) << 8) | in[5];
    if (L > length - 6)
        return false;
    h.labelHash = in[0];
    h.maskHash = in[1];
    h.label = in + 6;
    h.labelLength = L;
    h.headerLength = 6 + (std::size_t)L;
    return true;
}

QELStatus rsaEncrypt(QELPublicKeyObject *self, const std::uint8_t *in, std::size_t length, std::uint8_t *out,
                     std::size_t *outLength, QELRandomContext *random, std::int32_t format)
{
    if (outLength)
        *outLength = 0;
    if (out == nullptr || outLength == nullptr || (in == nullptr && length != 0) || random == nullptr)
        return QELError_BadParams;
    QELPkPublicRecord *rec = qelPkPublicRecord(self);
    const BN *n = &rec->value[N];
    if (ops().qelBigNumBitLength(n) > kMaxEncryptBits)
        return QELError_KeySizeTooLarge;
    const u32 k = octetsOf(n);
    QELPkNumbers<2> t(managerOf(self->context), true);
    BN *m = t[0];
    QELStatus status = QELError_NoErr;
    if (format == QELPkFormat_OAEP) {
        OAEPHeader h;
        if (!readOAEPHeader(in, length, h))
            return QELError_MalformedESK;
        const std::size_t d = length - h.headerLength;
        if (d > k)
            return QELError_DataTooLarge;
        status = qelOAEPEncode(m, in + h.headerLength, (u32)d, k, h.labelHash, h.maskHash, h.label, h.labelLength,
                               self->context, random);
    } else if (format == QELPkFormat_RFC4880) {
        // The message is the session key and its checksum: it must leave the
        // eight padding octets before anything is copied.
        if (length == 0)
            return QELError_BadParams;
        if (length + 2 + 11 > k)
            return QELError_DataTooLarge;
        std::memcpy(out, in, length);
        const std::uint16_t sum = qelPkSessionKeyChecksum(in, length);
        out[length] = (std::uint8_t)(sum >> 8);
        out[length + 1] = (std::uint8_t)sum;
        status = qelPKCS1Pad(m, out, (u32)length + 2, 2, k, random);
        qelSecureWipe(out, length + 2);
    } else {
        if (length + 11 > k)
            return QELError_DataTooLarge;
        status = qelPKCS1Pad(m, in, (u32)length, 2, k, random);
    }
    if (status != QELError_NoErr)
        return status;
    // The padded message is secret: square and multiply with constant-time
    // products along the public exponent.
    const u32 nw = qelWordsSignificantLength(n->words, wordsOf(n));
    const BN *r2 = &rec->value[kPublicR2];
    if (wordsOf(r2) == 0 || wordsOf(r2) > nw || ops().qelBigNumReserveBits(t[1], 32 * nw) != 0)
        return QELError_OutOfMemory;
    {
        qel::WipedBuffer<u32> r2w;
        if (!r2w.reset(managerOf(self->context), std::size_t(nw) * sizeof(u32), false))
            return QELError_OutOfMemory;
        qelWordsZero(r2w.get(), nw);
        qelWordsCopy(r2w.get(), r2->words, wordsOf(r2));
        if (qelWordsExpModPublicExponent(t[1]->words, m->words, wordsOf(m), rec->value[E].words, wordsOf(&rec->value[E]),
                                         n->words, nw, r2w.get(), managerOf(self->context), true) != 0)
            return QELError_OutOfMemory;
    }
    t[1]->used = nw;
    qelCTDeclassify(t[1]->words, std::size_t(nw) * sizeof(u32));   // the ciphertext is public
    ops().qelBigNumTrim(t[1]);
    std::int32_t written;
    if (format == QELPkFormat_RFC4880 || format == QELPkFormat_DER)
        written = qelPkNumberWrite(t[1], out, k, format);
    else
        written = qelPkNumberWrite(t[1], out, k, QELPkFormat_Raw);
    if (written <= 0)
        return QELError_DataTooLarge;
    *outLength = (std::size_t)written;
    return QELError_NoErr;
}

// ---- the private operation
//
// Everything that touches d, p, q, u or what derives from them runs in
// constant time on word arrays whose lengths are the numbers' word counts
// (public, as the key packet's length shows them): the halves through the
// fixed-window exponentiation, the recombination through Montgomery
// products without a branch on m2 < m1, and the result is checked against
// the public key before it leaves.

enum Derived { DP, DQ, R2P, R2Q, R2P_PAIR, R2Q_PAIR, R2N };

#ifdef QEL_TEST_HOOKS
std::atomic<bool> gFaultCRT{false};
#endif

// Room for `words` words, the value kept.
bool reserveWords(BN *n, u32 words) { return ops().qelBigNumReserveBits(n, 32 * words) == 0; }

// out = (prime - 1) as the exponent's modulus and x mod it, in constant
// time (the prime is odd, so only its low word changes).
QELStatus reduceExponent(BN *out, const BN *d, const BN *prime, QELMemoryMgr *mgr)
{
    const u32 n32 = wordsOf(prime);
    qel::WipedBuffer<u32> pm1;
    if (!pm1.reset(mgr, std::size_t(n32) * sizeof(u32), true) || !reserveWords(out, n32))
        return QELError_OutOfMemory;
    qelWordsCopy(pm1.get(), prime->words, n32);
    pm1.get()[0] -= 1;
    if (qelWordsCTMod(out->words, d->words, wordsOf(d), pm1.get(), n32, mgr, true) != 0)
        return QELError_OutOfMemory;
    out->used = n32;
    return QELError_NoErr;
}

QELStatus montgomeryR2(BN *out, const BN *prime, QELMemoryMgr *mgr)
{
    const u32 n32 = wordsOf(prime);
    if (!reserveWords(out, n32) || qelWordsCTMontgomeryR2(out->words, prime->words, n32, mgr, true) != 0)
        return QELError_OutOfMemory;
    out->used = n32;
    return QELError_NoErr;
}

// R^2 mod prime for the radix of the IFMA pair kernel: 2^E through the
// constant-time exponentiation.
QELStatus pairR2(BN *out, const BN *prime, const BN *r2, u32 modBits, QELMemoryMgr *mgr)
{
    const u32 n32 = wordsOf(prime);
    const u32 two = 2, e = qelWordsPairedExpModRadixBits(modBits);
    if (!reserveWords(out, n32) ||
        qelWordsExpModSecret(out->words, &two, 1, &e, 1, 32, prime->words, n32, r2->words, mgr, true) != 0)
        return QELError_OutOfMemory;
    out->used = n32;
    return QELError_NoErr;
}

bool pairFits(const BN *p, const BN *q)
{
    return wordsOf(p) == wordsOf(q) && qelWordsPairedExpModFits(32 * wordsOf(p));
}

QELStatus prepareSecret(QELPkSecretRecord *rec)
{
    QELMemoryMgr *mgr = managerOf(rec->context);
    const BN *d = &rec->value[D], *p = &rec->value[P], *q = &rec->value[Q];
    BN *x = rec->derived;
    QELStatus s = QELError_NoErr;
    if ((s = reduceExponent(&x[DP], d, p, mgr)) != 0 || (s = reduceExponent(&x[DQ], d, q, mgr)) != 0 ||
        (s = montgomeryR2(&x[R2P], p, mgr)) != 0 || (s = montgomeryR2(&x[R2Q], q, mgr)) != 0)
        return s;
    if (pairFits(p, q) && ((s = pairR2(&x[R2P_PAIR], p, &x[R2P], 32 * wordsOf(p), mgr)) != 0 ||
                           (s = pairR2(&x[R2Q_PAIR], q, &x[R2Q], 32 * wordsOf(q), mgr)) != 0))
        return s;
    // n is public: its set-up by division.
    const BN *n = &rec->value[N];
    const u32 nw = qelWordsSignificantLength(n->words, wordsOf(n));
    if (!reserveWords(&x[R2N], nw) || qelWordsMontgomeryR2(x[R2N].words, n->words, nw, mgr, false) != 0)
        return QELError_OutOfMemory;
    x[R2N].used = nw;
    return QELError_NoErr;
}

// A blinding pair is refreshed from fresh randomness after this many uses;
// in between, each use squares both values.
constexpr u32 kBlindingUses = 32;

// The private operation's block, kept in the record between operations so
// that none allocates (secure blocks are locked into memory, which costs a
// system call each way): [uses, nw, A = r^e R mod n, B = r^-1 R mod n] (the
// pair in the Montgomery form of n, so that each use and each squaring is
// one product), W (R^2 mod n for the IFMA kernel's radix, public, zero when
// the block was made without that kernel), then the operation's scratch.
// The scratch is wiped at the end of every operation: while kept, the block
// holds only the pair and W, as qelPkDropBlinding expects.
std::size_t pairWords(u32 nw) { return 2 * std::size_t(nw) + 2; }
std::size_t headerWords(u32 nw) { return pairWords(nw) + nw + (nw & 1); }

struct OperationLayout {
    std::size_t wsLimbs;    // the constant-time routines' workspace
    std::size_t pairLimbs;  // the IFMA pair kernel's, or none
    std::size_t words;      // y, m1, m2, h, the product, the check, x
    std::size_t scratchLimbs() const { return wsLimbs + pairLimbs + (words + 1) / 2; }
    std::size_t blockBytes(u32 nw) const { return headerWords(nw) * sizeof(u32) + scratchLimbs() * sizeof(u64); }
};

OperationLayout layoutFor(u32 nw, u32 pw, u32 qw, bool pair)
{
    return {qelWordsCTWorkspaceLimbs(nw), pair ? qelWordsPairedExpModWorkspaceLimbs(32 * pw, pw) : 0,
            4 * std::size_t(nw) + 2 * pw + 2 * qw + 4};
}

void dropBlock(u32 *block, std::size_t bytes)
{
    qelSecureWipe(block, bytes);
    static_cast<void>(qelMemFree(block));   // our own block; a failure has nothing to report
}

// The block for one operation, with its blinding pair ready for this use:
// the record's (squared for this use) when one is kept, else a fresh one
// from `random`, the source the caller gave the operation (a source that
// cannot deliver stops it: no other source stands in). Null when memory
// fails; *status tells a bad key or the source's failure.
std::uint32_t *takeBlock(QELSecretKeyObject *self, u32 nw, const OperationLayout &layout, const u32 *r2n,
                         QELRandomContext *random, QELStatus *status)
{
    const auto &o = ops();
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    const BN *n = &rec->value[N], *e = &rec->value[E];
    QELMemoryMgr *mgr = managerOf(self->context);
    *status = QELError_OutOfMemory;
    const std::size_t bytes = layout.blockBytes(nw);
    u32 *block = std::atomic_ref<u32 *>(rec->blinding).exchange(nullptr);
    if (block != nullptr && (block[1] != nw || block[0] >= kBlindingUses)) {
        dropBlock(block, pairWords(block[1]) * sizeof(u32));   // spent; its scratch is zeros
        block = nullptr;
    }
    const bool fresh = block == nullptr;
    if (fresh) {
        if (random == nullptr) {
            *status = QELError_OutOfEntropy;
            return nullptr;
        }
        block = static_cast<u32 *>(qelMemAllocSecure(mgr, bytes, QELMemFlag_Clear));
        if (block == nullptr)
            return nullptr;
        block[0] = 0;
        block[1] = nw;
    }
    u32 *a = block + 2, *b = a + nw, *wide = b + nw;
    u64 *ws = reinterpret_cast<u64 *>(block + headerWords(nw));
    auto drop = [&]() {
        dropBlock(block, bytes);
        return nullptr;
    };
    if (!fresh) {
        if (qelWordsCTMontMul(a, a, nw, a, nw, n->words, nw, r2n, mgr, true, ws) != 0 ||
            qelWordsCTMontMul(b, b, nw, b, nw, n->words, nw, r2n, mgr, true, ws) != 0)
            return drop();
        ++block[0];
        return block;
    }
    // r random (it owes nothing to the key), r^-1 mod n. The inversion is a
    // variable-time gcd, so it is handed r s R^-1 for a second random s, a
    // value that tells nothing of r; multiplying its inverse by s again
    // gives r^-1.
    QELPkNumbers<4> t(mgr, true);
    BN *r = t[0], *v = t[1], *s = t[2], *masked = t[3];
    if (o.qelBigNumReserveBits(masked, 32 * nw) != 0)
        return drop();
    auto draw = [&](BN *x) {
        if (const QELStatus rs = qelBigNumRandom(x, random, o.qelBigNumBitLength(n), 0, 0, 0); rs != 0) {
            *status = rs;
            return false;
        }
        return o.qelBigNumMod(x, x, n) == 0;
    };
    std::int32_t inv = 1;
    for (int tries = 0; tries < 16 && inv != 0; ++tries) {
        if (!draw(r) || !draw(s))
            return drop();
        // r or s zero leaves nothing to invert, and the loop draws again.
        if (qelWordsCTMontMul(masked->words, r->words, wordsOf(r), s->words, wordsOf(s), n->words, nw, r2n, mgr,
                              true, ws) != 0)
            return drop();
        masked->used = nw;
        qelCTDeclassify(masked->words, nw * sizeof(u32));
        inv = o.qelBigNumInverseMod(v, masked, n);
        if (inv < 0)
            return drop();
    }
    if (inv != 0) {
        *status = QELError_BadKeyParameters;
        return drop();
    }
    // (r s R^-1)^-1 s R^-1 = r^-1.
    if (o.qelBigNumReserveBits(v, 32 * nw) != 0 ||
        qelWordsCTMontMul(v->words, v->words, wordsOf(v) < nw ? wordsOf(v) : nw, s->words, wordsOf(s), n->words, nw,
                          r2n, mgr, true, ws) != 0)
        return drop();
    v->used = nw;
    const u32 bits = qelWordsBitLength(n->words, nw), radix = qelWordsPairedExpModRadixBits(bits);
    if (qelWordsPublicExpModIFMAFits(bits) && qelWordsPowerOfTwoMod(wide, &radix, 1, n->words, nw, mgr, false) != 0)
        return drop();
    // Both into the Montgomery form: x R = (x R^2) / R.
    if (qelWordsExpModPublicExponent(a, r->words, wordsOf(r), e->words, wordsOf(e), n->words, nw, r2n, mgr, true,
                                     ws) != 0 ||
        qelWordsCTMontMul(a, a, nw, r2n, nw, n->words, nw, r2n, mgr, true, ws) != 0 ||
        qelWordsCTMontMul(b, v->words, wordsOf(v) < nw ? wordsOf(v) : nw, r2n, nw, n->words, nw, r2n, mgr, true,
                          ws) != 0)
        return drop();
    return block;
}

// Keeps the block for the next operation, its scratch wiped (or frees it
// when another operation kept one).
void keepBlock(QELPkSecretRecord *rec, u32 *block, std::size_t bytes)
{
    const std::size_t pairBytes = pairWords(block[1]) * sizeof(u32), header = headerWords(block[1]) * sizeof(u32);
    qelSecureWipe(reinterpret_cast<std::uint8_t *>(block) + header, bytes - header);
    u32 *expected = nullptr;
    if (!std::atomic_ref<u32 *>(rec->blinding).compare_exchange_strong(expected, block))
        dropBlock(block, pairBytes);
}

// x^d mod n through the CRT, blinded: (x r^e)^d r^-1 with r from `random`,
// and checked: the result raised to e must give x back. result gets n's
// word count; x must be below n.
QELStatus privateOperation(QELSecretKeyObject *self, BN *result, const BN *x, QELRandomContext *random)
{
    const auto &o = ops();
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    const BN *n = &rec->value[N], *e = &rec->value[E];
    const BN *p = &rec->value[P], *q = &rec->value[Q], *u = &rec->value[U];
    BN *derived = rec->derived;
    QELMemoryMgr *mgr = managerOf(self->context);
    if (wordsOf(&derived[DP]) == 0)
        return QELError_KeyLocked;
    const u32 nw = qelWordsSignificantLength(n->words, wordsOf(n)); // public
    const u32 pw = wordsOf(p), qw = wordsOf(q);
    const bool pairKernel = pairFits(p, q) && wordsOf(&derived[R2P_PAIR]) != 0;
    const u32 *r2n = derived[R2N].words;
    if (wordsOf(&derived[R2N]) != nw)
        return QELError_KeyLocked;

    const OperationLayout layout = layoutFor(nw, pw, qw, pairKernel);
    QELStatus status = QELError_NoErr;
    u32 *block = takeBlock(self, nw, layout, r2n, random, &status);
    if (block == nullptr)
        return status;
    struct Keep {
        QELPkSecretRecord *rec;
        u32 *block;
        std::size_t bytes;
        ~Keep() { keepBlock(rec, block, bytes); }
    } keep{rec, block, layout.blockBytes(nw)};
    const u32 *blind = block + 2, *unblind = blind + nw, *wide = unblind + nw;
    u64 *ws = reinterpret_cast<u64 *>(block + headerWords(nw));
    u64 *pairWs = ws + layout.wsLimbs;
    u32 *y = reinterpret_cast<u32 *>(pairWs + layout.pairLimbs);
    u32 *m1 = y + nw, *m2 = m1 + pw, *h = m2 + qw, *prod = h + qw, *check = prod + pw + qw + 2;
    u32 *xw = check + nw;

    // y = x r^e mod n: one product with r^e R.
    if (qelWordsCTMontMul(y, x->words, wordsOf(x) < nw ? wordsOf(x) : nw, blind, nw, n->words, nw, r2n, mgr, true,
                          ws) != 0)
        return QELError_OutOfMemory;

    // m1 = y^(d mod p-1) mod p, m2 = y^(d mod q-1) mod q.
    const BN *dp = &derived[DP], *dq = &derived[DQ];
    if (pairKernel) {
        if (qelWordsCTReduce(m1, y, nw, p->words, pw, derived[R2P].words, mgr, true, ws) != 0 ||
            qelWordsCTReduce(m2, y, nw, q->words, qw, derived[R2Q].words, mgr, true, ws) != 0 ||
            qelWordsPairedExpModIFMA(m1, m1, dp->words, wordsOf(dp), m2, m2, dq->words, wordsOf(dq), p->words,
                                     q->words, pw, 32 * pw, derived[R2P_PAIR].words, derived[R2Q_PAIR].words, mgr,
                                     true, pairWs) != 0)
            return QELError_OutOfMemory;
    } else if (qelWordsExpModSecret(m1, y, nw, dp->words, wordsOf(dp), 32 * pw, p->words, pw, derived[R2P].words,
                                    mgr, true, ws) != 0 ||
               qelWordsExpModSecret(m2, y, nw, dq->words, wordsOf(dq), 32 * qw, q->words, qw, derived[R2Q].words,
                                    mgr, true, ws) != 0) {
        return QELError_OutOfMemory;
    }
#ifdef QEL_TEST_HOOKS
    if (gFaultCRT.load(std::memory_order_relaxed))
        m1[0] ^= 0x10;
#endif
    // h = (m2 - m1 mod q) u mod q, without a branch on which is larger;
    // result = m1 + h p, which is below n.
    if (qelWordsCTReduce(h, m1, pw, q->words, qw, derived[R2Q].words, mgr, true, ws) != 0)
        return QELError_OutOfMemory;
    qelWordsCTModSub(h, m2, h, q->words, qw);
    if (qelWordsCTModMul(h, h, qw, u->words, wordsOf(u), q->words, qw, derived[R2Q].words, mgr, true, ws) != 0)
        return QELError_OutOfMemory;
    qelWordsMultiply(prod, h, qw, p->words, pw);
    qelWordsCTAddInto(prod, pw + qw, m1, pw);
    // Unblind: s = (m1 + h p) r^-1 mod n, one product with r^-1 R (the
    // product is below n, so its words past n's are zeros).
    if (qelWordsCTMontMul(y, prod, pw + qw < nw ? pw + qw : nw, unblind, nw, n->words, nw, r2n, mgr, true, ws) != 0)
        return QELError_OutOfMemory;
    // The fault check: s^e mod n must be x (on the IFMA kernel when the
    // block has its set-up).
    const bool wideReady = qelWordsSignificantLength(wide, nw) != 0 &&
                           qelWordsPublicExpModIFMAFits(qelWordsBitLength(n->words, nw));
    if ((!wideReady ||
         qelWordsPublicExpModIFMA(check, y, nw, e->words, wordsOf(e), n->words, nw, wide) != 0) &&
        qelWordsExpModPublicExponent(check, y, nw, e->words, wordsOf(e), n->words, nw, r2n, mgr, true, ws) != 0)
        return QELError_OutOfMemory;
    qelWordsCopy(xw, x->words, wordsOf(x) < nw ? wordsOf(x) : nw);
    const u32 good = qelCTDeclassifyValue(qelWordsCTEqualMask(check, xw, nw));
    if (good == 0)
        return QELError_BadKeyParameters;   // y goes with the scratch
    if (o.qelBigNumReserveBits(result, 32 * nw) != 0)
        return QELError_OutOfMemory;
    qelWordsCopy(result->words, y, nw);
    result->used = nw;
    return QELError_NoErr;
}

// ---- decryption

QELStatus rsaDecrypt(QELSecretKeyObject *self, const std::uint8_t *in, std::size_t length, std::uint8_t *out,
                     std::size_t *outLength, const void *passphrase, std::size_t passphraseLength, std::int32_t format)
{
    if (outLength)
        *outLength = 0;
    if (out == nullptr || outLength == nullptr || (in == nullptr && length != 0))
        return QELError_BadParams;
    if (const QELStatus s = qelPkUnlockForUse(self, passphrase, passphraseLength); s != 0)
        return s;
    if (length < 2)
        return QELError_MalformedESK;
    format = baseFormat(format);
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    const BN *n = &rec->value[N];
    const u32 k = octetsOf(n);
    OAEPHeader h;
    if (format == QELPkFormat_OAEP) {
        if (!readOAEPHeader(in, length, h) || length - h.headerLength < 2)
            return QELError_MalformedESK;
        in += h.headerLength;
        length -= h.headerLength;
    }
    QELPkNumbers<2> t(managerOf(self->context), true);
    const u32 len = (u32)(length > 0xFFFFFFFFu ? 0xFFFFFFFFu : length);
    const std::int32_t read = qelPkNumberRead(t[0], in, len, k,
                                              format == QELPkFormat_RFC4880 || format == QELPkFormat_DER
                                                  ? format
                                                  : QELPkFormat_Raw);
    if (read < 0)
        return read;
    if (read == 0)
        return QELError_MalformedESK;
    // A ciphertext not below the modulus is no ciphertext of this key.
    if (ops().qelBigNumCompare(t[0], n) >= 0)
        return QELError_MalformedESK;
    // Decryption is given no source: the context's blinds it.
    if (const QELStatus s = privateOperation(self, t[1], t[0], qelContextGetRandomContext(self->context)); s != 0)
        return s;
    const u32 capacity = k < 3 ? 0 : k - 3;
    std::int32_t m;
    if (format == QELPkFormat_OAEP)
        m = qelOAEPDecode(out, capacity, t[1], k, h.labelHash, h.maskHash, h.label, h.labelLength, self->context);
    else
        m = qelPKCS1Unpad(out, capacity, t[1], 2, k);
    if (m < 0)
        return m;
    if ((u32)m > capacity || m < 3) {
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

// ---- signatures

// The DigestInfo of a hash without its NULL parameters: 05 00 dropped and
// the two enclosing SEQUENCE lengths shortened by two. Empty when the prefix
// has no such form.
u32 digestInfoWithoutNull(const QELHashDescriptor *hash, std::uint8_t *out, u32 size)
{
    const std::uint8_t *p = hash->digestInfoPrefix;
    const u32 n = (u32)hash->prefixLength;
    if (p == nullptr || n < 8 || n > size || p[0] != 0x30 || p[2] != 0x30 || p[4] != 0x06)
        return 0;
    const u32 oidEnd = 6 + p[5];
    if (oidEnd + 4 != n || p[oidEnd] != 0x05 || p[oidEnd + 1] != 0x00 || p[oidEnd + 2] != 0x04)
        return 0;
    std::memcpy(out, p, oidEnd);
    out[1] = (std::uint8_t)(p[1] - 2);
    out[3] = (std::uint8_t)(p[3] - 2);
    out[oidEnd] = p[oidEnd + 2];
    out[oidEnd + 1] = p[oidEnd + 3];
    return oidEnd + 2;
}

QELStatus rsaSign(QELSecretKeyObject *self, const QELHashDescriptor *hash, const std::uint8_t *digest,
                  std::size_t digestLength, std::uint8_t *out, std::size_t *outLength, QELRandomContext *,
                  std::int32_t format)
{
    if (outLength)
        *outLength = 0;
    if (out == nullptr || outLength == nullptr || digest == nullptr)
        return QELError_BadParams;
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    if (rec->locked)
        return QELError_KeyLocked;
    format = baseFormat(format);
    const u32 k = octetsOf(&rec->value[N]);
    const u32 prefix = (format == QELPkFormat_RawNoDigestInfo || hash == nullptr) ? 0 : (u32)hash->prefixLength;
    const std::size_t block = prefix + digestLength;
    if (block > (std::size_t)signatureSize(k, format))
        return QELError_DataTooLarge;
    if (prefix)
        std::memcpy(out, hash->digestInfoPrefix, prefix);
    std::memcpy(out + prefix, digest, digestLength);
    // The padded digest and the signature are what any verifier sees (the
    // signature is released only once checked): ordinary memory for them,
    // every secret of the operation stays in its secure block.
    QELPkNumbers<2> t(managerOf(self->context), false);
    const QELStatus padded = qelPKCS1Pad(t[0], out, (u32)block, 1, k, nullptr);
    qelSecureWipe(out, block);
    if (padded != 0)
        return padded;
    // Blinding draws from the context's source, as every private operation
    // does; the caller's source is not used for signing.
    if (const QELStatus s = privateOperation(self, t[1], t[0], qelContextGetRandomContext(self->context)); s != 0)
        return s;
    // The signature is public from here on.
    qelCTDeclassify(t[1]->words, std::size_t(t[1]->used) * sizeof(u32));
    std::int32_t written;
    if (format == QELPkFormat_DER) {
        const u32 octets = octetsOf(t[1]);
        ops().qelBigNumToBytesBE(t[1], out, 0, octets);
        written = (std::int32_t)octets;
    } else {
        written = qelPkNumberWrite(t[1], out, k, format == QELPkFormat_RFC4880 ? format : QELPkFormat_Raw);
    }
    *outLength = (std::size_t)written;
    return QELError_NoErr;
}

// Compares the recovered block with one expected encoding over all k octets.
bool blockIs(const std::uint8_t *block, u32 k, const std::uint8_t *info, u32 infoLength, const std::uint8_t *digest,
             std::size_t digestLength)
{
    const std::size_t t = infoLength + digestLength;
    if (t + 11 > k)
        return false;
    std::uint8_t diff = (std::uint8_t)(block[0] | (block[1] ^ 1));
    const std::size_t sep = k - t - 1;
    for (std::size_t i = 2; i < sep; ++i)
        diff |= (std::uint8_t)(block[i] ^ 0xFF);
    diff |= block[sep];
    for (u32 i = 0; i < infoLength; ++i)
        diff |= (std::uint8_t)(block[sep + 1 + i] ^ info[i]);
    for (std::size_t i = 0; i < digestLength; ++i)
        diff |= (std::uint8_t)(block[sep + 1 + infoLength + i] ^ digest[i]);
    return diff == 0;
}

// The old layout of MD5 signatures: 00 01 digest 00 FF .. FF 01.
bool legacyMD5BlockIs(const std::uint8_t *block, u32 k, const std::uint8_t *digest, std::size_t digestLength)
{
    if (digestLength != 16 || k < 21)
        return false;
    std::uint8_t diff = (std::uint8_t)(block[0] | (block[1] ^ 1) | block[18] | (block[k - 1] ^ 1));
    for (u32 i = 0; i < 16; ++i)
        diff |= (std::uint8_t)(block[2 + i] ^ digest[i]);
    for (u32 i = 19; i + 1 < k; ++i)
        diff |= (std::uint8_t)(block[i] ^ 0xFF);
    return diff == 0;
}

// out = x^e mod n for x below n, on the IFMA kernel where the object has
// its set-up and the processor allows, else by the sliding window. False
// when memory fails.
bool publicPower(const QELPkPublicRecord *rec, BN *out, const BN *x)
{
    const BN *n = &rec->value[N], *e = &rec->value[E], *wide = &rec->value[kPublicR2Wide];
    const u32 nw = qelWordsSignificantLength(n->words, wordsOf(n));
    if (wordsOf(wide) == nw && wordsOf(x) <= nw && qelWordsPublicExpModIFMAFits(qelWordsBitLength(n->words, nw))) {
        if (ops().qelBigNumReserveBits(out, 32 * nw) != 0)
            return false;
        if (qelWordsPublicExpModIFMA(out->words, x->words, wordsOf(x), e->words, wordsOf(e), n->words, nw,
                                     wide->words) == 0) {
            out->used = nw;
            ops().qelBigNumTrim(out);
            return true;
        }
    }
    return qelBigNumExpModR2(out, x, e, n, &rec->value[kPublicR2]) == 0;
}

std::int32_t rsaVerify(QELPublicKeyObject *self, const std::uint8_t *signature, std::size_t length,
                       const QELHashDescriptor *hash, const std::uint8_t *digest, std::size_t digestLength,
                       std::int32_t format)
{
    if (signature == nullptr || digest == nullptr)
        return QELError_BadParams;
    QELPkPublicRecord *rec = qelPkPublicRecord(self);
    const BN *n = &rec->value[N];
    const u32 k = octetsOf(n);
    QELPkNumbers<2> t(managerOf(self->context), false);
    const u32 len = (u32)(length > 0xFFFFFFFFu ? 0xFFFFFFFFu : length);
    std::int32_t read;
    if (format == QELPkFormat_DER) {
        read = length > k ? 0 : (ops().qelBigNumFromBytesBE(t[0], signature, 0, len) == 0 ? (std::int32_t)len : -1);
        if (read < 0)
            return QELError_OutOfMemory;
        if (read == 0)
            return 0;   // longer than the modulus: not a signature of this key
        format = QELPkFormat_Raw;
    } else {
        read = qelPkNumberRead(t[0], signature, len, k, format == QELPkFormat_RFC4880 ? format : QELPkFormat_Raw);
        if (read < 0)
            return read;
        if (read == 0)
            return QELError_TruncatedPacket;
    }
    if (ops().qelBigNumCompare(t[0], n) >= 0)
        return 0;
    if (hash != nullptr && digestLength != hash->digestSize)
        return 0;
    if (!publicPower(rec, t[1], t[0]))
        return QELError_OutOfMemory;
    std::uint8_t blockStack[512];
    if (k > sizeof blockStack)
        return 0;
    ops().qelBigNumToBytesBE(t[1], blockStack, 0, k);
    bool ok = false;
    if (format == QELPkFormat_RawNoDigestInfo || hash == nullptr) {
        ok = blockIs(blockStack, k, nullptr, 0, digest, digestLength);
    } else {
        ok = blockIs(blockStack, k, hash->digestInfoPrefix, (u32)hash->prefixLength, digest, digestLength);
        std::uint8_t shortInfo[32];
        const u32 shortLength = digestInfoWithoutNull(hash, shortInfo, sizeof shortInfo);
        if (!ok && shortLength)
            ok = blockIs(blockStack, k, shortInfo, shortLength, digest, digestLength);
        if (!ok && hash->algorithm == QELHashAlgorithm_MD5)
            ok = legacyMD5BlockIs(blockStack, k, digest, digestLength);
    }
    return ok ? 1 : 0;
}

// ---- generation

// What the prime searches of one generation carry: its random context and
// the caller's progress callback.
struct Search {
    QELRandomContext *random;
    QELPkProgressProc progress;
    void *progressData;
    QELStatus failure = QELError_NoErr; // the first draw the source could not make
};

std::int32_t searchProgress(void *data, std::int32_t ch)
{
    auto *s = static_cast<Search *>(data);
    if (s->failure != 0)
        return s->failure;
    return s->progress ? s->progress(s->progressData, ch) : 0;
}

// A failed draw stops the search at its next progress report.
u32 searchPick(void *data, u32 count)
{
    auto *s = static_cast<Search *>(data);
    u32 value = 0;
    if (const QELStatus status = qelRandomRange(s->random, count, 0, &value); status != 0 && s->failure == 0)
        s->failure = status;
    return value;
}

// d = e^-1 mod phi for phi = (p-1)(q-1) and the prime e = kPublicExponent,
// without a gcd whose steps follow the secret phi: with j = -phi^-1 mod e
// (Fermat, in single words), 1 + j phi is a multiple of e, and d is that
// multiple's exact quotient, found from the low word up by multiplications
// with e^-1 mod 2^32. The loop counts follow phi's word count alone.
// phi has n words; d gets n words. 0, or -1 when memory fails.
int secretExponent(u32 *d, const u32 *phi, u32 n, QELMemoryMgr *mgr)
{
    constexpr u64 e = kPublicExponent;
    u32 t = 0;
    if (qelWordsCTMod(&t, phi, n, &kPublicExponent, 1, mgr, true) != 0)
        return -1;
    // inverse = t^(e-2) mod e, over the public bits of e - 2.
    u64 inverse = 1, power = t;
    for (u64 k = e - 2; k != 0; k >>= 1) {
        const u64 take = 0 - (k & 1);
        inverse = ((inverse * power) % e & take) | (inverse & ~take);
        power = power * power % e;
    }
    const u32 j = (u32)((e - inverse) % e);
    qel::WipedBuffer<u32> x;
    if (!x.reset(mgr, (std::size_t(n) + 1) * sizeof(u32), true))
        return -1;
    // x = 1 + j phi.
    x.get()[n] = 0;
    qelWordsMultiplyWord(x.get(), phi, n, j);
    // + 1, the carry taken through every word (no carry out: j phi + 1 <
    // 2^(32(n+1))).
    u64 carry = 1;
    for (u32 i = 0; i <= n; ++i) {
        carry += x.get()[i];
        x.get()[i] = (u32)carry;
        carry >>= 32;
    }
    // e^-1 mod 2^32 by Newton's iteration (e odd and public).
    u32 eInverse = (u32)e;
    for (int i = 0; i < 5; ++i)
        eInverse *= 2u - (u32)e * eInverse;
    u32 *w = x.get();
    for (u32 i = 0; i < n; ++i) {
        const u32 q = w[i] * eInverse;
        d[i] = q;
        // w -= q e at word i: its word i becomes zero, the rest takes the borrow.
        const u64 product = (u64)q * e;
        u64 borrow = 0;
        for (u32 k = i; k <= n; ++k) {
            const u64 sub = (k == i ? (u32)product : k == i + 1 ? (u32)(product >> 32) : 0u) + borrow;
            const u64 diff = (u64)w[k] - sub;
            w[k] = (u32)diff;
            borrow = (diff >> 63) & 1;
        }
    }
    qelSecureWipe(&t, sizeof t);
    return 0;
}

// A prime of `bits` bits, top two bits set, p - 1 not divisible by 65537.
std::int32_t findPrime(BN *p, u32 bits, u32 entropy, Search &s)
{
    if (const QELStatus status = qelBigNumRandom(p, s.random, bits, 0xC0, 1, entropy); status != 0)
        return status;
    const std::int32_t r = qelPrimeSearchConstrained(p, searchPick, searchProgress, &s, kPublicExponent, 0u);
    return s.failure != 0 ? s.failure : r;
}


} // namespace

#ifdef QEL_TEST_HOOKS
void qelRSAFaultCRTForTesting(bool fault)
{
    gFaultCRT.store(fault, std::memory_order_relaxed);
}
#endif

QELSecretKeyObject *qelRSAGenerateKey(QELContext *context, u32 bits, std::uint8_t oldFormat, QELRandomContext *random,
                                      QELPkProgressProc progress, void *progressData, QELStatus *outStatus)
{
    auto fail = [&](QELStatus s) -> QELSecretKeyObject * {
        if (outStatus)
            *outStatus = s;
        return nullptr;
    };
    // The sizes an RSA object refuses to load are not made either.
    if (bits > kMaxObjectBits)
        return fail(QELError_KeyCheckFailed);
    if (bits < kMinGenerateBits || random == nullptr)
        return fail(QELError_BadParams);
    qelBigNumInit();
    const auto &o = ops();
    QELPkNumbers<6> v(managerOf(context), true);
    QELPkNumbers<2> t(managerOf(context), true);
    BN *n = v[N], *e = v[E], *d = v[D], *p = v[P], *q = v[Q], *u = v[U];
    Search s{random, progress, progressData};
    if (o.qelBigNumSetWord(e, kPublicExponent) != 0)
        return fail(QELError_OutOfMemory);
    std::int32_t r = findPrime(p, bits / 2, bits / 2 - 3, s);
    if (r < -1)
        return fail(r);
    if (r <= 0)
        return fail(qelPkSearchFailure(r));
    // q: far enough from p that |p - q| has at least bits/2 - 5 bits.
    for (bool first = true;; first = false) {
        if (progress) {
            const std::int32_t a = progress(progressData, ' ');
            if (a < 0)
                return fail(a);
        }
        if (const QELStatus rs = qelBigNumRandom(q, random, (bits + 1) / 2, 0xC0, 1, first ? (bits + 1) / 2 - 3 : 0);
            rs != 0)
            return fail(rs);
        if (o.qelBigNumCopy(t[0], q) != 0 || o.qelBigNumSubtract(t[0], p) < 0)
            return fail(QELError_OutOfMemory);
        if (o.qelBigNumBitLength(t[0]) >= bits / 2 - 5)
            break;
    }
    r = qelPrimeSearchConstrained(q, searchPick, searchProgress, &s, kPublicExponent, 0u);
    if (s.failure != 0)
        return fail(s.failure);
    if (r <= 0)
        return fail(qelPkSearchFailure(r));
    if (random->descriptor->stir)
        random->descriptor->stir(random->state);
    if (o.qelBigNumCompare(p, q) > 0)
        qelBigNumSwap(p, q);
    // The primes are secret from here on (their search is variable-time by
    // design and done): d = e^-1 mod (p - 1)(q - 1), u = p^-1 mod q (Fermat:
    // q is prime) and n = p q run on word arrays of their public word
    // counts, none by a gcd or a trim whose steps would follow the values.
    const u32 pw = wordsOf(p), qw = wordsOf(q), nw = pw + qw;
    qelCTClassify(p->words, std::size_t(pw) * sizeof(u32));
    qelCTClassify(q->words, std::size_t(qw) * sizeof(u32));
    BN *phi = t[0], *g = t[1];
    if (!reserveWords(phi, nw) || !reserveWords(g, qw) || !reserveWords(n, nw) || !reserveWords(d, nw))
        return fail(QELError_OutOfMemory);
    {
        qel::WipedBuffer<u32> less;
        if (!less.reset(managerOf(context), std::size_t(nw) * sizeof(u32), true))
            return fail(QELError_OutOfMemory);
        u32 *p1 = less.get(), *q1 = p1 + pw;
        qelWordsCopy(p1, p->words, pw);
        qelWordsCopy(q1, q->words, qw);
        p1[0] -= 1;   // both odd: no borrow
        q1[0] -= 1;
        qelWordsMultiply(phi->words, p1, pw, q1, qw);
    }
    if (secretExponent(d->words, phi->words, nw, managerOf(context)) != 0)
        return fail(QELError_OutOfMemory);
    d->used = nw;
    // g = q - 2, the borrow carried through every word.
    u32 borrow = 2;
    for (u32 i = 0; i < qw; ++i) {
        const u64 diff = (u64)q->words[i] - borrow;
        g->words[i] = (u32)diff;
        borrow = (u32)(diff >> 63);
    }
    g->used = qw;
    const u32 halfBits = (bits + 1) / 2; // public bound on p and q
    if (o.qelBigNumExpModSecret(u, p, g, q, halfBits) != 0)
        return fail(QELError_OutOfMemory);
    // n is the public key.
    qelWordsMultiply(n->words, p->words, pw, q->words, qw);
    qelCTDeclassify(n->words, std::size_t(nw) * sizeof(u32));
    n->used = nw;
    o.qelBigNumTrim(n);
    return qelPkSecretObjectFromValues(context, QELPublicKeyAlgorithm_RSA, qelRSAKeyOps, v.data(), oldFormat, random,
                                       outStatus);
}

// Public objects verify and encrypt many times with one modulus: its
// Montgomery set-up is made once. An even or empty modulus gets none (its
// operations fail their own way).
QELStatus preparePublic(QELBigNum *values)
{
    const BN *n = &values[N];
    if (ops().qelBigNumBitLength(n) < 2 || (ops().qelBigNumLowWord(n) & 1u) == 0)
        return QELError_NoErr;
    if (qelBigNumMontgomeryR2(&values[kPublicR2], n) != 0)
        return QELError_OutOfMemory;
    const u32 nw = qelWordsSignificantLength(n->words, wordsOf(n));
    const u32 bits = qelWordsBitLength(n->words, nw);
    if (!qelWordsPublicExpModIFMAFits(bits))
        return QELError_NoErr;
    BN *wide = &values[kPublicR2Wide];
    const u32 radix = qelWordsPairedExpModRadixBits(bits);
    if (ops().qelBigNumReserveBits(wide, 32 * nw) != 0 ||
        qelWordsPowerOfTwoMod(wide->words, &radix, 1, n->words, nw, n->memoryMgr, false) != 0)
        return QELError_OutOfMemory;
    wide->used = nw;
    return QELError_NoErr;
}

const QELPkKeyOps qelRSAKeyOps = {
    2,
    4,
    QELError_OutOfMemory,
    parsePublic,
    readStoredPublic,
    checkPublic,
    checkSecret,
    true,
    kMaxObjectBits,
    pubMaxEncrypted,
    pubMaxPlaintext,
    pubMaxSignature,
    rsaEncrypt,
    rsaVerify,
    secMaxEncrypted,
    secMaxPlaintext,
    secMaxSignature,
    rsaDecrypt,
    rsaSign,
    preparePublic,
    prepareSecret,
};
