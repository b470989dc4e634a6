// Public-key and private-key contexts over the key operations of the key
// database: the key layer picks the key or subkey and runs the algorithm;
// these records add the data format, the capability checks and, for the
// private side, the passphrase kept for every operation. Each context holds
// its key's database: used after the database is closed it answers
// QELError_NoKeyDB.
#include "qelPublicKey.h"

#include "qelContextInternal.h"
#include "qelHash.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyProperty.h"
#include "qelMemoryInternal.h"
#include "qelOptionListInternal.h"
#include "qelWipe.h"

#include <cstdarg>
#include <cstring>

namespace {

using u8 = std::uint8_t;
using u64 = std::uint64_t;

constexpr std::uint32_t kPublicMagic = 0x58210770;
constexpr std::uint32_t kPrivateMagic = 0x58249779;
constexpr u64 kMaxDigest = 100;

} // namespace

// What both contexts share; each record begins with it.
struct QELKeyContextHead {
    std::uint32_t magic;
    QELContext *context;
    QELKeyDB *db; // held
    QELKeyObject *key;
    std::uint32_t format;
    u8 isSubKey;
};

struct QELPublicKeyContext {
    QELKeyContextHead head;
    u8 canVerify;
    u8 canEncrypt;
};

struct QELPrivateKeyContext {
    QELKeyContextHead head;
    u8 canSign;
    u8 canDecrypt;
    u8 *passphrase;
    u64 passphraseLength;
    u8 isPasskey;
};

namespace {

bool formatAllowed(std::uint32_t f) { return (f >= 1 && f <= 5) || (f >= 101 && f <= 105); }
// Raw signatures need a format that carries a digest as it is.
bool signFormat(std::uint32_t f) { return (f >= 2 && f <= 5) || (f >= 102 && f <= 105); }

bool keyAccepted(QELKeyObject *key, std::uint32_t format)
{
    return qelKeyObjIsValid(key) &&
           (qelKeyObjType(key) == QELObjectType_Key || qelKeyObjType(key) == QELObjectType_SubKey) &&
           formatAllowed(format);
}

u8 topBool(QELKeyObject *key, std::uint32_t property)
{
    u8 value = 0;
    QELKeyObject *top = qelKeyObjTopKey(key);
    if (qelKeyObjBoolPropertyLocal(top ? top : key, property, &value) != QELError_NoErr)
        return 0;
    return value;
}

// Copies a result block of the key layer into the caller's buffer and frees it.
QELStatus deliver(QELContext *context, u8 *result, std::size_t length, void *output, u64 *outLength)
{
    std::memcpy(output, result, length);
    *outLength = length;
    qelSecureWipe(result, length);
    return qelContextMemFree(context, result);
}

QELStatus sizes(QELKeyObject *key, std::uint32_t format, u64 *outPlain, u64 *outCipher, u64 *outSig)
{
    std::int32_t cipher = 0, plain = 0, sig = 0;
    QELStatus s = qelKeyObjOpSizes(key, &cipher, &plain, &sig, std::int32_t(format));
    if (outPlain) *outPlain = u64(plain);
    if (outCipher) *outCipher = u64(cipher);
    if (outSig) *outSig = u64(sig);
    return s;
}

// Finishes a caller's hash (at most kMaxDigest octets), frees it and hands
// the digest and algorithm to `use`. An oversized hash is freed and refused.
template <typename Use>
QELStatus withFinishedHash(QELHashContext *hash, Use use)
{
    u64 size = 0;
    if (qelHashGetSize(hash, &size) != QELError_NoErr)
        return QELError_BadParams;
    if (size > kMaxDigest) {
        static_cast<void>(qelHashFree(hash)); // refused: it is still ours to free
        return QELError_BadParams;
    }
    u8 digest[kMaxDigest];
    std::int32_t algorithm = hash->descriptor->algorithm;
    QELStatus s = qelHashFinal(hash, digest);
    static_cast<void>(qelHashFree(hash)); // consumed whatever the result
    if (s != QELError_NoErr)
        return s;
    s = use(algorithm, digest, std::size_t(size));
    qelSecureWipe(digest, sizeof digest);
    return s;
}

bool validPublic(const QELPublicKeyContext *c) { return c != nullptr && c->head.magic == kPublicMagic; }
bool validPrivate(const QELPrivateKeyContext *c) { return c != nullptr && c->head.magic == kPrivateMagic; }

// Every operation first asks whether the key is still there (the key of a
// context whose database has been closed is gone) and whether it can do
// what is asked.
QELStatus ready(const QELKeyContextHead &head, u8 capable)
{
    if (!qelKeyDBIsOpen(head.db))
        return QELError_NoKeyDB;
    return capable ? QELError_NoErr : QELError_FeatureNotAvailable;
}

// A zeroed record of either kind with its head filled; the database is held
// only once the record is kept (`keep`).
template <typename C>
C *allocContext(QELKeyObject *key, std::uint32_t format, std::uint32_t magic)
{
    QELContext *context = qelKeyObjContext(key);
    auto *c = static_cast<C *>(qelContextMemAlloc(context, sizeof(C), 0));
    if (c == nullptr)
        return nullptr;
    std::memset(c, 0, sizeof *c);
    c->head = {magic, context, qelKeyObjKeyDB(key), key, format, u8(qelKeyObjType(key) == QELObjectType_SubKey)};
    return c;
}

template <typename C>
QELStatus discardContext(C *c, QELStatus status)
{
    QELContext *context = c->head.context;
    qelSecureWipe(c, sizeof *c);
    static_cast<void>(qelContextMemFree(context, c)); // our own block
    return status;
}

template <typename C>
QELStatus keep(C *c, C **out)
{
    qelKeyDBHold(c->head.db);
    *out = c;
    return QELError_NoErr;
}

template <typename C>
QELStatus releaseContext(C *c)
{
    QELContext *context = c->head.context;
    QELKeyDB *db = c->head.db;
    qelSecureWipe(c, sizeof *c);
    const QELStatus s = qelContextMemFree(context, c);
    qelKeyDBUnhold(db); // may free a closed database's record
    return s;
}

QELStatus verifyWith(QELKeyObject *key, std::uint32_t format, std::int32_t algorithm, const u8 *digest,
                     std::size_t digestLength, const void *signature, u64 signatureLength)
{
    QELStatus r = qelKeyObjVerify(key, static_cast<const u8 *>(signature), std::size_t(signatureLength),
                                  algorithm, digest, digestLength, std::int32_t(format));
    return r == 1 ? QELError_NoErr : QELError_BadSignature;
}

QELStatus signWith(QELPrivateKeyContext *c, std::int32_t algorithm, const u8 *digest, std::size_t digestLength,
                   void *signature, u64 *outLength)
{
    u8 *result = nullptr;
    std::size_t length = 0;
    QELStatus s = qelKeyObjSign(c->head.key, c->passphrase, std::size_t(c->passphraseLength), c->isPasskey, 0, 0,
                                algorithm, digest, digestLength, std::int32_t(c->head.format), &result, &length);
    if (s != QELError_NoErr)
        return s;
    return deliver(c->head.context, result, length, signature, outLength);
}

} // namespace

QELStatus qelPublicKeyContextNew(QELKeyObject *key, std::uint32_t format, QELPublicKeyContext **outContext)
{
    if (outContext == nullptr)
        return QELError_BadParams;
    *outContext = nullptr;
    if (!keyAccepted(key, format))
        return QELError_BadParams;
    QEL_ENTER();
    auto *c = allocContext<QELPublicKeyContext>(key, format, kPublicMagic);
    if (c == nullptr)
        return QELError_OutOfMemory;
    c->canEncrypt = topBool(key, QELProperty_CanEncrypt);
    c->canVerify = topBool(key, QELProperty_CanVerify);
    if (!c->canEncrypt && !c->canVerify)
        return discardContext(c, QELError_BadParams);
    return keep(c, outContext);
}

QELStatus qelPublicKeyContextFree(QELPublicKeyContext *c)
{
    if (!validPublic(c))
        return QELError_BadParams;
    QEL_ENTER();
    return releaseContext(c);
}

QELStatus qelPublicKeyEncrypt(QELPublicKeyContext *c, const void *data, u64 length, void *output, u64 *outLength)
{
    if (outLength != nullptr)
        *outLength = 0;
    if (!validPublic(c) || data == nullptr || length == 0 || output == nullptr || outLength == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    if (QELStatus r = ready(c->head, c->canEncrypt); r != QELError_NoErr)
        return r;
    u8 *result = nullptr;
    std::size_t produced = 0;
    QELStatus s = qelKeyObjEncrypt(c->head.key, static_cast<const u8 *>(data), std::size_t(length),
                                   std::int32_t(c->head.format), &result, &produced);
    if (s != QELError_NoErr)
        return s;
    return deliver(c->head.context, result, produced, output, outLength);
}

QELStatus qelPublicKeyVerifyHash(QELPublicKeyContext *c, QELHashContext *hash, const void *signature,
                                 u64 signatureLength)
{
    if (!validPublic(c) || hash == nullptr || signature == nullptr || signatureLength == 0)
        return QELError_BadParams;
    QEL_ENTER();
    if (QELStatus r = ready(c->head, c->canVerify); r != QELError_NoErr)
        return r;
    return withFinishedHash(hash, [&](std::int32_t algorithm, const u8 *digest, std::size_t n) {
        return verifyWith(c->head.key, c->head.format, algorithm, digest, n, signature, signatureLength);
    });
}

QELStatus qelPublicKeyVerify(QELPublicKeyContext *c, const void *digest, u64 digestLength, const void *signature,
                             u64 signatureLength)
{
    if (!validPublic(c) || digest == nullptr || digestLength == 0 || digestLength > kMaxDigest ||
        signature == nullptr || signatureLength == 0 || !signFormat(c->head.format))
        return QELError_BadParams;
    QEL_ENTER();
    if (QELStatus r = ready(c->head, c->canVerify); r != QELError_NoErr)
        return r;
    return verifyWith(c->head.key, c->head.format, 0, static_cast<const u8 *>(digest), std::size_t(digestLength),
                      signature, signatureLength);
}

QELStatus qelPublicKeyContextGetSizes(QELPublicKeyContext *c, u64 *outMaxPlaintext, u64 *outMaxCiphertext,
                                      u64 *outMaxSignature)
{
    QEL_ENTER(outMaxPlaintext, outMaxCiphertext, outMaxSignature);
    if (!validPublic(c))
        return QELError_BadParams;
    if (QELStatus r = ready(c->head, 1); r != QELError_NoErr)
        return r;
    return sizes(c->head.key, c->head.format, outMaxPlaintext, outMaxCiphertext, outMaxSignature);
}

QELStatus qelPrivateKeyContextNew(QELKeyObject *key, std::uint32_t format, QELPrivateKeyContext **outContext,
                                  QELOptionList *first, ...)
{
    if (outContext == nullptr)
        return QELError_BadParams;
    *outContext = nullptr;
    if (!keyAccepted(key, format))
        return QELError_BadParams;
    QEL_ENTER();
    QELContext *context = qelKeyObjContext(key);
    QEL_MERGE_OPTIONS(merged, context, first);
    if (merged.error != QELError_NoErr)
        return merged.error;
    QELOptionList *options = merged.list.get();
    static constexpr std::int32_t kAllowed[] = {QELOption_Passphrase, QELOption_Passkey,
                                                QELOption_CachePassphrase};
    QELStatus s = qelOptionListCheckTypes(options, kAllowed, 3);
    if (s != QELError_NoErr)
        return s;
    void *secret = nullptr;
    u64 secretLength = 0;
    u8 isPasskey = 0;
    s = qelOptionListGetValues(options, QELOption_Passphrase, false, "%p%l", &secret, &secretLength);
    if (s == QELError_NoErr && secret == nullptr) {
        isPasskey = 1;
        secretLength = 0;
        s = qelOptionListGetValues(options, QELOption_Passkey, false, "%p%l", &secret, &secretLength);
    }
    std::int32_t cacheTime = 0;
    u8 cacheFlag = 0;
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_CachePassphrase, false, "%d%b", &cacheTime, &cacheFlag);
    if (s != QELError_NoErr)
        return s;
    if (secret == nullptr)
        secretLength = 0;
    auto *c = allocContext<QELPrivateKeyContext>(key, format, kPrivateMagic);
    if (c == nullptr)
        return QELError_OutOfMemory;
    auto discard = [c](QELStatus status) { return discardContext(c, status); };
    c->canSign = topBool(key, QELProperty_CanSign);
    c->canDecrypt = topBool(key, QELProperty_CanDecrypt);
    if (!c->canSign && !c->canDecrypt)
        return discard(QELError_BadParams);
    if (const QELStatus u =
            qelKeyObjUnlock(key, secret, std::size_t(secretLength), isPasskey, std::uint32_t(cacheTime), cacheFlag);
        u != QELError_NoErr)
        return discard(u);
    if (secretLength != 0) {
        // The copy is secret: in the secure heap, wiped when freed.
        c->passphrase = static_cast<u8 *>(
            qelMemAllocSecure(qelContextGetMemoryMgr(context), std::size_t(secretLength), 0));
        if (c->passphrase == nullptr)
            return discard(QELError_OutOfMemory);
        std::memcpy(c->passphrase, secret, std::size_t(secretLength));
        c->passphraseLength = secretLength;
    }
    c->isPasskey = isPasskey;
    return keep(c, outContext);
}

QELStatus qelPrivateKeyContextFree(QELPrivateKeyContext *c)
{
    if (!validPrivate(c))
        return QELError_BadParams;
    QEL_ENTER();
    if (c->passphrase != nullptr) {
        qelSecureWipe(c->passphrase, std::size_t(c->passphraseLength));
        static_cast<void>(qelMemFree(c->passphrase)); // our own block
    }
    return releaseContext(c);
}

QELStatus qelPrivateKeyDecrypt(QELPrivateKeyContext *c, const void *data, u64 length, void *output,
                               u64 *outLength)
{
    if (outLength != nullptr)
        *outLength = 0;
    if (!validPrivate(c) || data == nullptr || length == 0 || output == nullptr || outLength == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    if (QELStatus r = ready(c->head, c->canDecrypt); r != QELError_NoErr)
        return r;
    u8 *result = nullptr;
    std::size_t produced = 0;
    QELStatus s = qelKeyObjDecrypt(c->head.key, c->passphrase, std::size_t(c->passphraseLength), c->isPasskey, 0, 0,
                                   static_cast<const u8 *>(data), std::size_t(length), std::int32_t(c->head.format),
                                   &result, &produced);
    if (s != QELError_NoErr)
        return s;
    return deliver(c->head.context, result, produced, output, outLength);
}

QELStatus qelPrivateKeySignHash(QELPrivateKeyContext *c, QELHashContext *hash, void *signature, u64 *outLength)
{
    if (outLength != nullptr)
        *outLength = 0;
    if (!validPrivate(c) || hash == nullptr || signature == nullptr || outLength == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    if (QELStatus r = ready(c->head, c->canSign); r != QELError_NoErr)
        return r;
    return withFinishedHash(hash, [&](std::int32_t algorithm, const u8 *digest, std::size_t n) {
        return signWith(c, algorithm, digest, n, signature, outLength);
    });
}

QELStatus qelPrivateKeySign(QELPrivateKeyContext *c, const void *digest, u64 digestLength, void *signature,
                            u64 *outLength)
{
    if (outLength != nullptr)
        *outLength = 0;
    if (!validPrivate(c) || digest == nullptr || digestLength == 0 || digestLength > kMaxDigest ||
        signature == nullptr || outLength == nullptr || !signFormat(c->head.format))
        return QELError_BadParams;
    QEL_ENTER();
    if (QELStatus r = ready(c->head, c->canSign); r != QELError_NoErr)
        return r;
    return signWith(c, 0, static_cast<const u8 *>(digest), std::size_t(digestLength), signature, outLength);
}

QELStatus qelPrivateKeyContextGetSizes(QELPrivateKeyContext *c, u64 *outMaxPlaintext, u64 *outMaxCiphertext,
                                       u64 *outMaxSignature)
{
    QEL_ENTER(outMaxPlaintext, outMaxCiphertext, outMaxSignature);
    if (!validPrivate(c))
        return QELError_BadParams;
    if (QELStatus r = ready(c->head, 1); r != QELError_NoErr)
        return r;
    return sizes(c->head.key, c->head.format, outMaxPlaintext, outMaxCiphertext, outMaxSignature);
}
