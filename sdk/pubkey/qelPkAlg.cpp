// The public-key algorithm table and the dispatch by algorithm id.
#include "qelPkAlgInternal.h"

#include "qelAlgorithms.h"
#include "qelCFBInternal.h"
#include "qelConstantTimeInternal.h"
#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelKeyProtectionInternal.h"
#include "qelMemoryInternal.h"
#include "qelPkEncodeInternal.h"
#include "qelRandomContextInternal.h"
#include "qelStringToKeyInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTokenInternal.h"
#include "qelWipe.h"

#include <array>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace {

using u32 = std::uint32_t;

// Searched in this order; 19 and 18 are known ids without an implementation.
constexpr std::array<QELPkAlgEntry, 7> kAlgorithms{{
    {QELPublicKeyAlgorithm_RSA, QELPkUsage_Sign | QELPkUsage_Encrypt},
    {QELPublicKeyAlgorithm_RSASignOnly, QELPkUsage_Sign},
    {QELPublicKeyAlgorithm_RSAEncryptOnly, QELPkUsage_Encrypt},
    {QELPublicKeyAlgorithm_ElGamal, QELPkUsage_Encrypt},
    {QELPublicKeyAlgorithm_DSA, QELPkUsage_Sign},
    {19, 0},
    {18, 0},
}};

bool isRSA(std::uint8_t id)
{
    return id == QELPublicKeyAlgorithm_RSA || id == QELPublicKeyAlgorithm_RSAEncryptOnly ||
           id == QELPublicKeyAlgorithm_RSASignOnly;
}

// Public MPIs at the start of the key material of an implemented algorithm.
u32 publicValueCount(std::uint8_t id)
{
    if (isRSA(id))
        return 2;
    if (id == QELPublicKeyAlgorithm_ElGamal)
        return 3;
    if (id == QELPublicKeyAlgorithm_DSA)
        return 4;
    return 0;
}

} // namespace

const QELPkAlgEntry *qelPkAlgFind(std::uint8_t algorithm)
{
    for (const QELPkAlgEntry &row : kAlgorithms)
        if (row.algorithm == algorithm)
            return &row;
    return nullptr;
}

std::uint32_t qelPkAlgGetUsage(const QELPkAlgEntry *entry) { return entry ? entry->usage : 0; }

std::uint32_t qelPkAlgKeyGenEntropyNeeded(const QELPkAlgEntry *entry, u32 bits, std::uint8_t fastGeneration,
                                          std::uint8_t oldFormatRSA, QELTokenDevice *token)
{
    if (token != nullptr || entry == nullptr)
        return 0;
    const std::uint8_t id = entry->algorithm;
    if (isRSA(id)) {
        if (oldFormatRSA && fastGeneration) {
            const u32 s = qelSubgroupBits(bits);
            return s > 384 ? s : 384;
        }
        return bits + 128;
    }
    if (id == QELPublicKeyAlgorithm_ElGamal)
        return qelSubgroupBits(bits) * 3 / 2 + 192;
    if (id == QELPublicKeyAlgorithm_DSA) {
        const u32 m = (bits + 63) & ~u32{63};
        if (m <= 1024)
            return 672;
        const u32 s = qelSubgroupBits(m);
        return 2 * s + ((s + 7) & ~u32{7}) + 192;
    }
    if (id == 18 || id == 19)
        return 2 * bits;
    return 0;
}

std::int32_t qelPkAlgPublicDataLength(std::uint8_t algorithm, const std::uint8_t *material, std::size_t length)
{
    const u32 count = publicValueCount(algorithm);
    if (count == 0)
        return 0;
    // Key material beyond 4 GiB is no key packet; the MPIs are at its start.
    const u32 len = length > 0xFFFFFFFFu ? 0xFFFFFFFFu : (u32)length;
    u32 *const none = nullptr; // offsets not wanted
    switch (count) {
    case 2: return qelMPIParseList(material, len, 2, none, none);
    case 3: return qelMPIParseList(material, len, 3, none, none, none);
    default: return qelMPIParseList(material, len, 4, none, none, none, none);
    }
}

// ---- the shared object frame --------------------------------------------------

namespace {

using BN = QELBigNum;
const QELBigNumOpsTable &ops() { return QELBigNumOps; }

QELMemoryMgr *managerOf(QELContext *context) { return qelContextGetMemoryMgr(context); }

u32 mpiSize(const BN *n) { return 2 + qelPkOctets(qelMPIBitLength(n)); }

// ---- public object slots

QELStatus publicDestroy(QELPublicKeyObject *self)
{
    if (self == nullptr)
        return QELError_BadParams;
    QELContext *context = self->context;
    if (QELPkPublicRecord *rec = qelPkPublicRecord(self)) {
        for (BN &n : rec->value)
            ops().qelBigNumFree(&n);
        static_cast<void>(qelContextMemFree(context, rec));   // our own block
    }
    self->context = nullptr;
    return qelContextMemFree(context, self);
}

std::size_t publicExportedSize(QELPublicKeyObject *self)
{
    QELPkPublicRecord *rec = qelPkPublicRecord(self);
    std::size_t total = 0;
    for (u32 i = 0; i < rec->count; ++i)
        total += mpiSize(&rec->value[i]);
    return total;
}

void writeMPIs(const BN *values, u32 count, std::uint8_t *out)
{
    for (u32 i = 0; i < count; ++i)
        out += qelMPIWrite(&values[i], out);
}

void publicExport(QELPublicKeyObject *self, std::uint8_t *out)
{
    QELPkPublicRecord *rec = qelPkPublicRecord(self);
    writeMPIs(rec->value, rec->count, out);
}

QELStatus copyValues(const BN *values, u32 count, BN *const *out)
{
    if (out == nullptr)
        return QELError_BadParams;
    for (u32 i = 0; i < count; ++i)
        if (out[i] == nullptr || ops().qelBigNumCopy(out[i], &values[i]) != 0)
            return out[i] == nullptr ? QELError_BadParams : QELError_OutOfMemory;
    return QELError_NoErr;
}

QELStatus publicGetParameters(QELPublicKeyObject *self, BN *const *values)
{
    QELPkPublicRecord *rec = qelPkPublicRecord(self);
    return copyValues(rec->value, rec->count, values);
}

void publicSetKeyID(QELPublicKeyObject *self, const std::uint8_t keyID[8]) { std::memcpy(self->keyID, keyID, 8); }

// ---- secret object slots

// Stored material may hold the secret values in the clear (unprotected
// keys, fresh ones): it lives in the secure heap and is wiped before it goes.
std::uint8_t *allocMaterial(QELContext *context, std::size_t length)
{
    return static_cast<std::uint8_t *>(qelMemAllocSecure(managerOf(context), length, QELMemFlag_Clear));
}

void freeMaterial(QELPkSecretRecord *rec)
{
    if (rec->material == nullptr)
        return;
    qelSecureWipe(rec->material, rec->capacity);
    static_cast<void>(qelMemFree(rec->material));   // our own block
    rec->material = nullptr;
}

QELStatus secretDestroy(QELSecretKeyObject *self)
{
    if (self == nullptr)
        return QELError_BadParams;
    QELContext *context = self->context;
    if (QELPkSecretRecord *rec = qelPkSecretRecord(self)) {
        for (BN &n : rec->value)
            ops().qelBigNumFree(&n);
        for (BN &n : rec->derived)
            ops().qelBigNumFree(&n);
        qelPkDropBlinding(rec);
        freeMaterial(rec);
        qelSecureWipe(rec, sizeof *rec);
        static_cast<void>(qelMemFree(rec));
    }
    self->context = nullptr;
    return qelContextMemFree(context, self);
}

QELPublicKeyObject *secretPublicObject(QELSecretKeyObject *self)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    QELStatus status = 0;
    QELPublicKeyObject *pub = qelPkPublicObjectNew(self->context, self->algorithm, *rec->ops, rec->value, &status);
    if (pub != nullptr)
        std::memcpy(pub->keyID, self->keyID, 8);
    return pub;
}

std::uint32_t secretIsLocked(QELSecretKeyObject *self) { return qelPkSecretRecord(self)->locked; }

// Where the protection header of the stored material starts, or a status.
std::int32_t protectionOffset(QELSecretKeyObject *self)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    const std::int32_t n = qelPkAlgPublicDataLength(self->algorithm, rec->material, rec->length);
    if (n < 0)
        return n;
    if ((std::size_t)n >= rec->length)
        return QELError_BadAlgorithmData;
    return n;
}

// The cipher id named by the protection header at offset, or a status.
std::int32_t protectionCipherId(const QELPkSecretRecord *rec, std::int32_t offset)
{
    const std::uint8_t usage = rec->material[offset];
    if (usage != 254 && usage != 255)
        return usage;
    if ((std::size_t)offset + 1 >= rec->length)
        return QELError_BadAlgorithmData;
    return rec->material[offset + 1];
}

QELStatus secretProtectionCipher(QELSecretKeyObject *self, std::uint32_t *outCipher, std::uint64_t *outKeySize)
{
    qel::clearOut(outCipher);
    qel::clearOut(outKeySize);
    const std::int32_t offset = protectionOffset(self);
    if (offset < 0)
        return offset;
    const std::int32_t id = protectionCipherId(qelPkSecretRecord(self), offset);
    if (id < 0)
        return id;
    const QELCipherDescriptor *cipher = qelCipherDescriptorFind(id);
    if (cipher == nullptr)
        return QELError_UnknownCipherAlgorithm;
    if (outCipher)
        *outCipher = (u32)id;
    if (outKeySize)
        *outKeySize = cipher->keySize;
    return QELError_NoErr;
}

QELStatus secretProtectionS2KType(QELSecretKeyObject *self, std::uint32_t *outType)
{
    qel::clearOut(outType);
    const std::int32_t offset = protectionOffset(self);
    if (offset < 0)
        return offset;
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    const std::uint8_t usage = rec->material[offset];
    if (usage == 254 || usage == 255) {
        if ((std::size_t)offset + 2 >= rec->length)
            return QELError_BadAlgorithmData;
        if (outType)
            *outType = rec->material[offset + 2];
    }
    return QELError_NoErr;
}

void destroyS2K(QELStringToKey *s2k)
{
    if (s2k != nullptr && s2k->destroy != nullptr)
        s2k->destroy(s2k);
}

QELStatus secretDeriveProtectionKey(QELSecretKeyObject *self, QELSettings *, const void *passphrase,
                                    std::size_t length, std::uint8_t *key)
{
    if (key == nullptr)
        return QELError_BadParams;
    const std::int32_t offset = protectionOffset(self);
    if (offset < 0)
        return offset;
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    const std::uint8_t usage = rec->material[offset];
    if (usage == 0)
        return QELError_BadParams;
    const std::int32_t id = protectionCipherId(rec, offset);
    if (id < 0)
        return id;
    const QELCipherDescriptor *cipher = qelCipherDescriptorFind(id);
    if (cipher == nullptr)
        return QELError_UnknownCipherAlgorithm;
    QELStringToKey *s2k = nullptr;
    if (usage == 254 || usage == 255) {
        const QELStatus n = qelS2KParse(&s2k, self->context, rec->material + offset + 2, rec->length - offset - 2);
        if (n < 0)
            return n == QELError_BadParams ? QELError_BadAlgorithmData : n;
    } else {
        s2k = qelS2KNewSimpleMD5(self->context);
    }
    if (s2k == nullptr)
        return QELError_OutOfMemory;
    const QELStatus status = s2k->deriveKey(s2k, passphrase, length, key, cipher->keySize);
    destroyS2K(s2k);
    return status;
}

// 1 when two 16-bit values are equal, else 0, without a branch.
u32 equalMask16(u32 a, u32 b) { return ((a ^ b) - 1u) >> 31; }

// One attempt at decoding the secret values with the given protection
// (alternative Twofish schedule or not). 1 success (values in secret),
// 0 failed, QELError_BadKeyParameters when the values contradict the public
// ones, another negative status for malformed material or memory.
std::int32_t unlockAttempt(QELSecretKeyObject *self, std::size_t offset, std::uint8_t usage, const void *passphrase,
                           std::size_t length, std::uint8_t passkey, bool twofishAlternative, BN *secret)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    const QELPkKeyOps &alg = *rec->ops;
    QELCFBContext *cfbRaw = nullptr;
    const std::int32_t opened = qelKeyProtectionOpen(rec->material + offset, rec->length - offset, passphrase,
                                                     length, passkey, twofishAlternative ? 1 : 0, self->context,
                                                     &cfbRaw);
    if (opened == QELError_BadPassphrase)
        return 0;
    if (opened < 0)
        return opened;
    qel::Owned<QELCFBContext, qelCFBFree> cfb(cfbRaw);
    const bool hashed = usage == 254;
    QELHashContext *hashRaw = nullptr;
    if (hashed && qelHashCreate(managerOf(self->context), QELHashAlgorithm_SHA1, &hashRaw) != 0)
        return QELError_OutOfMemory;
    qel::Owned<QELHashContext, qelHashFree> hash(hashRaw);

    const std::uint8_t v3 = rec->oldFormat;
    std::size_t pos = offset + (std::size_t)opened;
    std::uint32_t checksum = 0;
    for (u32 i = 0; i < alg.secretCount; ++i) {
        const std::int32_t n =
            qelKeyMPIRead(&secret[i], rec->material + pos, rec->length - pos, cfb.get(), &checksum, hash.get(), v3);
        if (n < 0)
            return n;
        if (n == 0)
            return 0;
        pos += (std::size_t)n;
    }
    const std::size_t left = rec->length - pos;
    const std::uint8_t *tail = rec->material + pos;
    if (hashed) {
        if (left != 20)
            return 0;
        std::uint8_t stored[20];
        static_cast<void>(qelCFBDecryptInternal(cfb.get(), tail, 20, stored));   // keyed above
        qelCTClassify(stored, sizeof stored);
        const std::uint8_t *digest = qelHashFinalPointer(hash.get());
        u32 diff = 0;
        for (int i = 0; i < 20; ++i)
            diff |= (u32)(stored[i] ^ digest[i]);
        qelSecureWipe(stored, sizeof stored);
        if (qelCTDeclassifyValue(diff) != 0)
            return 0;
    } else {
        if (left != 2)
            return 0;
        // Both readings are compared whatever the first gives: only the
        // verdict is public.
        const u32 want = checksum & 0xFFFFu;
        const u32 clear = (u32(tail[0]) << 8) | tail[1];
        u32 ok = 0;
        if (cfb == nullptr || v3 || alg.clearChecksumToo)
            ok |= equalMask16(clear, want);
        if (cfb != nullptr && !v3)
            ok |= equalMask16(qelKeyChecksumRead(tail, cfb.get(), v3), want);
        if (qelCTDeclassifyValue(ok) == 0)
            return 0;
    }
    return alg.checkSecret(self, rec->value, secret, hashed);
}

void wipeSecretValues(QELPkSecretRecord *rec);

// The algorithm's derived values of freshly loaded secret values; on a
// failure the object is locked again.
QELStatus prepareSecret(QELPkSecretRecord *rec)
{
    for (BN &n : rec->derived)
        ops().qelBigNumFree(&n);
    if (rec->ops->prepareSecret == nullptr)
        return QELError_NoErr;
    const QELStatus s = rec->ops->prepareSecret(rec);
    if (s != QELError_NoErr) {
        rec->locked = 1;
        wipeSecretValues(rec);
    }
    return s;
}

std::int32_t secretUnlock(QELSecretKeyObject *self, const void *passphrase, std::size_t length, std::uint8_t passkey)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    const QELPkKeyOps &alg = *rec->ops;
    const bool noPassphrase = passphrase == nullptr || length == 0;
    if (qelFIPSModeEnabled() && noPassphrase)
        return 0;

    // The public values, and the checks they must pass whatever follows.
    QELPkNumbers<4> pub(managerOf(self->context), false);
    const std::int32_t publicLength = alg.readStoredPublic(rec->material, rec->length, pub.data());
    if (publicLength < 0)
        return publicLength;
    if ((std::size_t)publicLength >= rec->length)
        return QELError_BadAlgorithmData;
    for (u32 i = 0; i < alg.publicCount; ++i)
        qelBigNumSwap(&rec->value[i], pub[i]);
    if (const QELStatus bad = alg.checkPublic(rec->value); bad != 0)
        return bad;

    const std::size_t offset = (std::size_t)publicLength;
    const std::uint8_t usage = rec->material[offset];
    std::int32_t cipherId = usage;
    if (usage == 254 || usage == 255) {
        if (offset + 1 >= rec->length)
            return QELError_BadAlgorithmData;
        cipherId = rec->material[offset + 1];
    }
    if (noPassphrase != (cipherId == 0))
        return 0;

    QELPkNumbers<4> secret(managerOf(self->context), true);
    std::int32_t result = unlockAttempt(self, offset, usage, passphrase, length, passkey, false, secret.data());
    if ((result == 0 || result == QELError_BadKeyParameters) && cipherId == QELCipherAlgorithm_Twofish)
        result = unlockAttempt(self, offset, usage, passphrase, length, passkey, true, secret.data());
    if (result != 1)
        return result;
    // The values they replace (a second unlock) go with `secret`, wiped.
    for (u32 i = 0; i < alg.secretCount; ++i)
        qelBigNumSwap(&rec->value[alg.publicCount + i], secret[i]);
    rec->locked = 0;
    if (const QELStatus derived = prepareSecret(rec); derived != QELError_NoErr)
        return derived;
    return 1;
}

void wipeSecretValues(QELPkSecretRecord *rec)
{
    qelPkDropBlinding(rec);
    for (u32 i = 0; i < rec->secretCount; ++i)
        ops().qelBigNumFree(&rec->value[rec->publicCount + i]);
    for (BN &n : rec->derived)
        ops().qelBigNumFree(&n);
}

QELStatus secretLock(QELSecretKeyObject *self)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    rec->locked = 1;
    wipeSecretValues(rec);
    return QELError_NoErr;
}

QELStatus secretChangeProtection(QELSecretKeyObject *self, QELSettings *settings, QELRandomContext *random,
                                 const void *oldPassphrase, std::size_t oldLength, std::uint8_t oldPasskey,
                                 const void *newPassphrase, std::size_t newLength, std::uint32_t s2kType)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    if (rec->locked) {
        const std::int32_t r = self->unlock(self, oldPassphrase, oldLength, oldPasskey);
        if (r < 0)
            return r;
        if (r == 0)
            return QELError_KeyLocked;
    }
    const bool protect = newPassphrase != nullptr && newLength != 0;
    if (protect && random == nullptr)
        return QELError_BadParams;
    const u32 count = rec->publicCount + rec->secretCount;
    std::size_t total = 3;
    for (u32 i = 0; i < count; ++i)
        total += mpiSize(&rec->value[i]);

    // The specifier and cipher of the new protection.
    std::unique_ptr<QELStringToKey, decltype(&destroyS2K)> s2k(nullptr, destroyS2K);
    const QELCipherDescriptor *cipher = nullptr;
    bool legacy = false;
    if (protect) {
        if (qelPkAlgFind(self->algorithm) != nullptr && isRSA(self->algorithm) && s2kType == 0) {
            s2k.reset(qelS2KNewSimpleMD5(self->context));
            cipher = qelPreferredCipherDescriptorOrIDEA(settings);
            legacy = true;
        } else {
            s2k.reset(qelS2KNew(self->context, random, (std::uint8_t)s2kType));
            cipher = qelPreferredCipherDescriptorOrCAST5(settings);
        }
        if (s2k == nullptr || cipher == nullptr)
            return QELError_OutOfMemory;
        total += cipher->blockSize + (legacy ? 0 : 1 + s2k->specifierLength);
    }

    // The new material is written aside, so a failure leaves the old one.
    QELContext *context = self->context;
    std::uint8_t *out = allocMaterial(context, total);
    if (out == nullptr)
        return QELError_OutOfMemory;
    std::size_t pos = 0;
    for (u32 i = 0; i < rec->publicCount; ++i)
        pos += qelMPIWrite(&rec->value[i], out + pos);
    QELCFBContext *cfb = nullptr;
    if (!protect) {
        out[pos++] = 0;
    } else {
        if (legacy) {
            out[pos++] = (std::uint8_t)cipher->algorithm;
        } else {
            out[pos++] = 255;
            out[pos++] = (std::uint8_t)cipher->algorithm;
            std::memcpy(out + pos, s2k->specifier, s2k->specifierLength);
            pos += s2k->specifierLength;
        }
        std::uint8_t *iv = out + pos;
        QELStatus status = qelRandomGetBytes(random, iv, (u32)cipher->blockSize);
        pos += cipher->blockSize;
        std::uint8_t key[32] = {};
        if (status == QELError_NoErr)
            status = s2k->deriveKey(s2k.get(), newPassphrase, newLength, key, cipher->keySize);
        if (status == QELError_NoErr) {
            cfb = qelCFBCreateForDescriptor(managerOf(context), cipher);
            status = cfb == nullptr ? QELError_OutOfMemory : qelCFBInit(cfb, key, iv);
        }
        qelSecureWipe(key, sizeof key);
        if (status != QELError_NoErr) {
            if (cfb != nullptr)
                static_cast<void>(qelCFBFree(cfb));   // reporting the first failure
            qelSecureWipe(out, total);
            static_cast<void>(qelMemFree(out));
            return status;
        }
    }
    std::uint32_t checksum = 0;
    for (u32 i = rec->publicCount; i < count; ++i)
        pos += qelKeyMPIWrite(&rec->value[i], out + pos, cfb, &checksum, rec->oldFormat);
    qelKeyChecksumWrite((std::uint16_t)checksum, out + pos, cfb, rec->oldFormat);
    pos += 2;
    if (cfb != nullptr)
        static_cast<void>(qelCFBFree(cfb));   // a stream we made; nothing to report

    // The material it replaces goes at once, wiped.
    freeMaterial(rec);
    rec->material = out;
    rec->capacity = total;
    rec->length = pos;
    return QELError_NoErr;
}

std::size_t secretDataLength(QELSecretKeyObject *self) { return qelPkSecretRecord(self)->length; }

void secretExport(QELSecretKeyObject *self, std::uint8_t *out)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    if (rec->length)
        std::memcpy(out, rec->material, rec->length);
}

QELStatus secretGetSecretParameters(QELSecretKeyObject *self, BN *const *values)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    // A locked key has no secret values to give.
    if (rec->locked)
        return QELError_KeyLocked;
    return copyValues(rec->value + rec->publicCount, rec->secretCount, values);
}

void secretSetKeyID(QELSecretKeyObject *self, const std::uint8_t keyID[8]) { std::memcpy(self->keyID, keyID, 8); }

// An empty locked secret object with its slots; null when memory fails.
QELSecretKeyObject *newSecretObject(QELContext *context, std::uint8_t algorithm, const QELPkKeyOps &alg,
                                    std::uint8_t oldFormat)
{
    qelBigNumInit();
    auto *self = static_cast<QELSecretKeyObject *>(qelContextMemAlloc(context, sizeof(QELSecretKeyObject), QELMemFlag_Clear));
    if (self == nullptr)
        return nullptr;
    auto *rec = static_cast<QELPkSecretRecord *>(qelMemAllocSecure(managerOf(context), sizeof(QELPkSecretRecord), QELMemFlag_Clear));
    if (rec == nullptr) {
        static_cast<void>(qelContextMemFree(context, self));
        return nullptr;
    }
    std::memset(rec, 0, sizeof *rec);
    rec->context = context;
    rec->ops = &alg;
    rec->publicCount = alg.publicCount;
    rec->secretCount = alg.secretCount;
    rec->locked = 1;
    rec->oldFormat = oldFormat;
    for (u32 i = 0; i < 6; ++i)
        qelBigNumBegin(&rec->value[i], managerOf(context), i >= alg.publicCount ? 1 : 0);
    for (BN &n : rec->derived)
        qelBigNumBegin(&n, managerOf(context), 1);

    self->context = context;
    self->algorithm = algorithm;
    self->secretData = rec;
    self->destroy = secretDestroy;
    self->publicObject = secretPublicObject;
    self->isLocked = secretIsLocked;
    self->protectionCipher = secretProtectionCipher;
    self->protectionS2KType = secretProtectionS2KType;
    self->deriveProtectionKey = secretDeriveProtectionKey;
    self->unlock = secretUnlock;
    self->lock = secretLock;
    self->maxEncryptedSize = alg.secretMaxEncryptedSize;
    self->maxPlaintextSize = alg.secretMaxPlaintextSize;
    self->maxSignatureSize = alg.secretMaxSignatureSize;
    self->decrypt = alg.decrypt;
    self->sign = alg.sign;
    self->changeProtection = secretChangeProtection;
    self->secretDataLength = secretDataLength;
    self->exportSecretData = secretExport;
    self->getSecretParameters = secretGetSecretParameters;
    self->setKeyID = secretSetKeyID;
    return self;
}

const QELPkKeyOps *keyOpsOf(std::uint8_t id)
{
    if (isRSA(id))
        return &qelRSAKeyOps;
    if (id == QELPublicKeyAlgorithm_ElGamal)
        return &qelElGamalKeyOps;
    if (id == QELPublicKeyAlgorithm_DSA)
        return &qelDSAKeyOps;
    return nullptr;
}

template <typename T>
T *fail(QELStatus *outStatus, QELStatus status)
{
    if (outStatus)
        *outStatus = status;
    return nullptr;
}

} // namespace

QELPublicKeyObject *qelPkPublicObjectNew(QELContext *context, std::uint8_t algorithm, const QELPkKeyOps &alg,
                                         const BN *values, QELStatus *outStatus)
{
    qelBigNumInit();
    auto *self = static_cast<QELPublicKeyObject *>(qelContextMemAlloc(context, sizeof(QELPublicKeyObject), QELMemFlag_Clear));
    auto *rec = static_cast<QELPkPublicRecord *>(qelContextMemAlloc(context, sizeof(QELPkPublicRecord), QELMemFlag_Clear));
    if (self == nullptr || rec == nullptr) {
        static_cast<void>(qelContextMemFree(context, self));   // whichever was had
        static_cast<void>(qelContextMemFree(context, rec));
        return fail<QELPublicKeyObject>(outStatus, QELError_OutOfMemory);
    }
    std::memset(self, 0, sizeof *self);
    std::memset(rec, 0, sizeof *rec);
    rec->ops = &alg;
    rec->count = alg.publicCount;
    for (BN &n : rec->value)
        qelBigNumBegin(&n, managerOf(context), 0);
    self->context = context;
    self->algorithm = algorithm;
    self->publicData = rec;
    self->destroy = publicDestroy;
    self->maxEncryptedSize = alg.publicMaxEncryptedSize;
    self->maxPlaintextSize = alg.publicMaxPlaintextSize;
    self->maxSignatureSize = alg.publicMaxSignatureSize;
    self->encrypt = alg.encrypt;
    self->verify = alg.verify;
    self->exportedSize = publicExportedSize;
    self->exportPublic = publicExport;
    self->getParameters = publicGetParameters;
    self->setKeyID = publicSetKeyID;
    for (u32 i = 0; i < rec->count; ++i)
        if (ops().qelBigNumCopy(&rec->value[i], &values[i]) != 0) {
            static_cast<void>(publicDestroy(self));   // reporting the memory failure
            return fail<QELPublicKeyObject>(outStatus, alg.constructorFailure == QELError_Unavailable
                                                           ? QELError_Unavailable
                                                           : QELError_OutOfMemory);
        }
    if (alg.preparePublic != nullptr) {
        if (QELStatus s = alg.preparePublic(rec->value); s != QELError_NoErr) {
            static_cast<void>(publicDestroy(self)); // reporting the preparation's failure
            return fail<QELPublicKeyObject>(outStatus, s);
        }
    }
    if (outStatus)
        *outStatus = QELError_NoErr;
    return self;
}

QELSecretKeyObject *qelPkSecretObjectFromMaterial(QELContext *context, std::uint8_t algorithm, const QELPkKeyOps &alg,
                                                  const std::uint8_t *material, std::size_t length,
                                                  std::uint8_t oldFormat, QELStatus *outStatus)
{
    if (material == nullptr || length == 0)
        return fail<QELSecretKeyObject>(outStatus, QELError_BadAlgorithmData);
    QELSecretKeyObject *self = newSecretObject(context, algorithm, alg, oldFormat);
    if (self == nullptr)
        return fail<QELSecretKeyObject>(outStatus, QELError_OutOfMemory);
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    rec->material = allocMaterial(context, length);
    if (rec->material != nullptr)
        std::memcpy(rec->material, material, length);
    if (rec->material == nullptr) {
        static_cast<void>(secretDestroy(self));   // reporting the memory failure
        return fail<QELSecretKeyObject>(outStatus, QELError_OutOfMemory);
    }
    rec->capacity = rec->length = length;
    const std::int32_t first = secretUnlock(self, nullptr, 0, 0);
    QELStatus status = QELError_NoErr;
    if (first < 0)
        // Malformed material keeps its own cause; only a failure without
        // one becomes the constructor's general status.
        status = first == QELError_OutOfMemory ? alg.constructorFailure : first;
    else if (alg.maxModulusBits != 0 && ops().qelBigNumBitLength(&rec->value[0]) > alg.maxModulusBits)
        status = QELError_KeyCheckFailed;
    if (status != QELError_NoErr) {
        static_cast<void>(secretDestroy(self));   // wipes the copy; the cause is reported
        return fail<QELSecretKeyObject>(outStatus, status);
    }
    if (outStatus)
        *outStatus = QELError_NoErr;
    return self;
}

QELSecretKeyObject *qelPkSecretObjectFromValues(QELContext *context, std::uint8_t algorithm, const QELPkKeyOps &alg,
                                                BN *values, std::uint8_t oldFormat, QELRandomContext *random,
                                                QELStatus *outStatus)
{
    QELSecretKeyObject *self = newSecretObject(context, algorithm, alg, oldFormat);
    if (self == nullptr)
        return fail<QELSecretKeyObject>(outStatus, QELError_OutOfMemory);
    QELPkSecretRecord *rec = qelPkSecretRecord(self);
    for (u32 i = 0; i < (u32)alg.publicCount + alg.secretCount; ++i)
        qelBigNumSwap(&rec->value[i], &values[i]);
    rec->locked = 0;
    QELStatus status = prepareSecret(rec);
    if (status == QELError_NoErr)
        status = secretChangeProtection(self, nullptr, random, nullptr, 0, 0, nullptr, 0, 0);
    if (status != QELError_NoErr) {
        static_cast<void>(secretDestroy(self));   // the write failure is reported
        return fail<QELSecretKeyObject>(outStatus, status);
    }
    if (outStatus)
        *outStatus = QELError_NoErr;
    return self;
}

QELStatus qelPkUnlockForUse(QELSecretKeyObject *self, const void *passphrase, std::size_t length)
{
    if (!self->isLocked(self))
        return QELError_NoErr;
    const std::int32_t r = self->unlock(self, passphrase, length, 0);
    if (r < 0)
        return r;
    return r == 1 ? QELError_NoErr : QELError_KeyLocked;
}

QELSecretKeyObject *qelSecretKeyObjectFromData(QELContext *context, std::uint8_t algorithm,
                                               const std::uint8_t *material, std::size_t length,
                                               std::uint8_t oldFormat, QELTokenDevice *token, QELStatus *outStatus)
{
    if (outStatus)
        *outStatus = QELError_NoErr;
    if (token != nullptr) {
        QELStatus error = 0;
        if (QELSecretKeyObject *t = qelTokenSecretKeyObjectNew(context, material, length, 0, token, &error)) {
            t->algorithm = algorithm;
            return t;
        }
        if (error != 0)
            return fail<QELSecretKeyObject>(outStatus, error);
    }
    const QELPkKeyOps *alg = keyOpsOf(algorithm);
    if (alg == nullptr)
        return fail<QELSecretKeyObject>(outStatus, QELError_UnsupportedAlgorithm);
    return qelPkSecretObjectFromMaterial(context, algorithm, *alg, material, length,
                                         isRSA(algorithm) ? oldFormat : 0, outStatus);
}

QELPublicKeyObject *qelPublicKeyObjectFromData(QELContext *context, std::uint8_t algorithm,
                                               const std::uint8_t *material, std::size_t length, QELStatus *outStatus)
{
    if (outStatus)
        *outStatus = QELError_NoErr;
    const QELPkKeyOps *alg = keyOpsOf(algorithm);
    if (alg == nullptr)
        return fail<QELPublicKeyObject>(outStatus, QELError_UnsupportedAlgorithm);
    qelBigNumInit();
    QELPkNumbers<4> values(managerOf(context), false);
    if (const QELStatus status = alg->parsePublic(material, length, values.data()); status != 0)
        return fail<QELPublicKeyObject>(outStatus, status);
    return qelPkPublicObjectNew(context, algorithm, *alg, values.data(), outStatus);
}

QELSecretKeyObject *qelPkAlgGenerateKey(QELContext *context, const QELPkAlgEntry *entry, u32 bits, u32,
                                        std::uint8_t fastGeneration, std::uint8_t oldFormatRSA,
                                        QELRandomContext *random, QELPkProgressProc progress, void *progressData,
                                        QELTokenDevice *token, const void *passphrase, std::size_t passphraseLength,
                                        std::uint8_t primaryKey, QELStatus *outStatus)
{
    if (token != nullptr) {
        QELSecretKeyObject *t = qelTokenGenerateKey(context, entry ? entry->algorithm : 0, bits, fastGeneration,
                                                    oldFormatRSA, progress, progressData, token, passphrase,
                                                    passphraseLength, primaryKey);
        if (t != nullptr && entry != nullptr)
            t->algorithm = entry->algorithm;
        return t;
    }
    const std::uint8_t id = entry ? entry->algorithm : 0;
    QELSecretKeyObject *key = nullptr;
    if (outStatus)
        *outStatus = QELError_NoErr;
    if (isRSA(id))
        key = qelRSAGenerateKey(context, bits, oldFormatRSA, random, progress, progressData, outStatus);
    else if (id == QELPublicKeyAlgorithm_ElGamal)
        key = qelElGamalGenerateKey(context, bits, fastGeneration, random, progress, progressData, outStatus);
    else if (id == QELPublicKeyAlgorithm_DSA)
        key = qelDSAGenerateKey(context, bits, random, progress, progressData, outStatus);
    else
        return fail<QELSecretKeyObject>(outStatus, QELError_UnsupportedAlgorithm);
    if (key != nullptr)
        key->algorithm = id;
    return key;
}

// ---- helpers the algorithms share ----------------------------------------------

std::int32_t qelPkReadMPIs(const std::uint8_t *material, std::size_t length, u32 count, BN *values)
{
    const u32 len = length > 0xFFFFFFFFu ? 0xFFFFFFFFu : (u32)length;
    u32 offset[4] = {};
    std::int32_t total;
    switch (count) {
    case 3: total = qelMPIParseList(material, len, 3, &offset[0], &offset[1], &offset[2]); break;
    case 4: total = qelMPIParseList(material, len, 4, &offset[0], &offset[1], &offset[2], &offset[3]); break;
    default: return QELError_BadParams;
    }
    if (total < 0)
        return total;
    for (u32 i = 0; i < count; ++i)
        if (qelMPIRead(&values[i], material + offset[i], len - offset[i]) <= 0)
            return QELError_OutOfMemory;
    return total;
}

bool qelPkInGroupRange(const BN *v, const BN *p)
{
    return ops().qelBigNumCompareWord(v, 1) > 0 && ops().qelBigNumCompare(v, p) < 0;
}

namespace {

// Word i of a number, zero past its word count (a public bound).
u32 wordAt(const BN *n, u32 i) { return n->words != nullptr && i < n->used ? n->words[i] : 0u; }

} // namespace

void qelPkDropBlinding(QELPkSecretRecord *rec)
{
    if (std::uint32_t *pair = std::atomic_ref<std::uint32_t *>(rec->blinding).exchange(nullptr)) {
        // The block knows its size: a use count, then two values of n's words.
        qelSecureWipe(pair, (2 * std::size_t(pair[1]) + 2) * sizeof(u32));
        static_cast<void>(qelMemFree(pair));   // our own block
    }
}

bool qelPkCTInRange(const BN *v, const BN *bound)
{
    const u32 words = v->used > bound->used ? v->used : bound->used;
    std::uint64_t borrow = 0;
    u32 any = 0;
    for (u32 i = 0; i < words; ++i) {
        const std::uint64_t d = (std::uint64_t)wordAt(v, i) - wordAt(bound, i) - borrow;
        borrow = (d >> 32) & 1;
        any |= wordAt(v, i);
    }
    const u32 ok = (u32)borrow & (u32)((std::uint64_t(any) + 0xFFFFFFFFu) >> 32);
    return qelCTDeclassifyValue(ok) != 0;
}

bool qelPkCTEqual(const BN *a, const BN *b)
{
    const u32 words = a->used > b->used ? a->used : b->used;
    u32 diff = 0;
    for (u32 i = 0; i < words; ++i)
        diff |= wordAt(a, i) ^ wordAt(b, i);
    return qelCTDeclassifyValue(diff) == 0;
}

std::uint16_t qelPkSessionKeyChecksum(const std::uint8_t *key, std::size_t length)
{
    u32 s = 0;
    for (std::size_t i = 1; i < length; ++i)
        s += key[i];
    return (std::uint16_t)s;
}

bool qelPkCheckSessionKeyChecksum(std::uint8_t *key, std::size_t length)
{
    const std::uint16_t want = qelPkSessionKeyChecksum(key, length - 2);
    const std::uint16_t got = (std::uint16_t)((key[length - 2] << 8) | key[length - 1]);
    key[length - 2] = key[length - 1] = 0;
    if (qelCTDeclassifyValue((u32)(want ^ got)) != 0) {
        qelSecureWipe(key, length);
        return false;
    }
    return true;
}

std::int32_t qelPkPairMaxSize(u32 size, std::int32_t format)
{
    switch (format) {
    case QELPkFormat_RFC4880: return (std::int32_t)(2 * size + 4);
    case QELPkFormat_DER: {
        const u32 f = size + qelDERLengthSize(size + 1) + 2;
        return (std::int32_t)(2 * f + qelDERLengthSize(2 * f) + 1);
    }
    default: return (std::int32_t)(2 * size);
    }
}

std::int32_t qelPkWritePair(const BN *a, const BN *b, std::uint8_t *out, u32 size, std::int32_t format)
{
    if (format != QELPkFormat_DER) {
        const std::int32_t fixed = format == QELPkFormat_RFC4880 ? format : QELPkFormat_Raw;
        const std::int32_t n = qelPkNumberWrite(a, out, size, fixed);
        const std::int32_t m = n > 0 ? qelPkNumberWrite(b, out + n, size, fixed) : 0;
        return m > 0 ? n + m : 0;
    }
    // The two INTEGERs go after the widest header the SEQUENCE can need and
    // are moved down once their length is known.
    const u32 maxHeader = 1 + qelDERLengthSize((u32)qelPkPairMaxSize(size, QELPkFormat_DER));
    const std::int32_t n = qelPkNumberWrite(a, out + maxHeader, size, QELPkFormat_DER);
    const std::int32_t m = n > 0 ? qelPkNumberWrite(b, out + maxHeader + n, size, QELPkFormat_DER) : 0;
    if (m <= 0)
        return 0;
    const u32 content = (u32)(n + m);
    const u32 lengthSize = qelDERLengthSize(content);
    out[0] = 0x30;
    if (content < 128) {
        out[1] = (std::uint8_t)content;
    } else {
        out[1] = (std::uint8_t)(0x80 | (lengthSize - 1));
        for (u32 i = 0; i + 1 < lengthSize; ++i)
            out[2 + i] = (std::uint8_t)(content >> (8 * (lengthSize - 2 - i)));
    }
    std::memmove(out + 1 + lengthSize, out + maxHeader, content);
    return (std::int32_t)(1 + lengthSize + content);
}

std::int32_t qelPkReadPair(BN *a, BN *b, const std::uint8_t *in, std::size_t length, u32 size, std::int32_t format,
                           QELStatus shortStatus)
{
    if (in == nullptr || length > 0x7FFFFFFF)
        return shortStatus;
    const std::uint8_t *p = in;
    const std::uint8_t *end = in + length;
    std::int32_t fixed = format == QELPkFormat_RFC4880 ? format : QELPkFormat_Raw;
    if (format == QELPkFormat_DER) {
        u32 content = 0;
        std::uint8_t tag = 0;
        if (qelDERReadTagLength(&p, end, &content, &tag) != 16 || tag != 0x30 || content != (u32)(end - p))
            return QELError_BadKeyEncoding;
        fixed = QELPkFormat_DER;
    }
    for (BN *v : {a, b}) {
        const std::int32_t n = qelPkNumberRead(v, p, (u32)(end - p), size, fixed);
        if (n < 0)
            return n;
        if (n == 0)
            return shortStatus;
        p += n;
    }
    if (p != end)
        return shortStatus;
    return (std::int32_t)length;
}

void qelPkDestroyRandom(QELRandomContext *random)
{
    if (random == nullptr)
        return;
    if (random->destroy)
        random->destroy(random);
    else
        static_cast<void>(qelContextMemFree(random->context, random));   // nothing to report
}

std::int32_t qelPkProgressForward(void *progress, std::int32_t ch) { return (*static_cast<QELPkProgress *>(progress))(ch); }
