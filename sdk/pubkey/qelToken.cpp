// Keys held on hardware tokens: the secret-key object that forwards to a
// device function table, the pass-phrase envelope, and the token operations
// (no token is ever present in this system, so they find none).
#include "qelTokenInternal.h"

#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelLayerSeamsInternal.h"
#include "qelMemoryInternal.h"
#include "qelPkAlgInternal.h"
#include "qelPkEncodeInternal.h"
#include "qelSeams.h"
#include "qelWipe.h"

#include <cstring>

namespace {

using u32 = std::uint32_t;
using BN = QELBigNum;

struct TokenState {
    QELContext *context;
    QELTokenDevice *device;
    std::uint32_t locked;
    BN modulus;
    std::uint8_t *material;
    std::size_t length;
};

TokenState *stateOf(QELSecretKeyObject *self) { return static_cast<TokenState *>(self->secretData); }

u32 modulusOctets(QELSecretKeyObject *self) { return qelPkOctets(QELBigNumOps.qelBigNumBitLength(&stateOf(self)->modulus)); }

std::uint8_t envelopeMask(std::size_t i) { return (std::uint8_t)(157u * (u32)(i + 1)); }

// Unwraps an envelope into pin (at least 75 octets): its length, or -1 when
// the bytes are no envelope or its length octet claims more than was given.
std::int32_t unwrapEnvelope(const void *bytes, std::size_t length, std::uint8_t *pin)
{
    qel::ByteCursor in(bytes, length);
    std::uint32_t magic = 0;
    std::uint8_t n = 0;
    if (!in.le32(magic) || magic != QELTokenEnvelopeMagic || !in.u8(n) || n > QELTokenEnvelopeMaxPhrase)
        return -1;
    std::span<const std::uint8_t> masked;
    if (!in.bytes(n, masked))
        return -1;
    for (std::size_t i = 0; i < n; ++i)
        pin[i] = (std::uint8_t)(masked[i] ^ envelopeMask(i));
    return n;
}

// A device status that says the token has gone refreshes the token keys.
QELStatus deviceFailure(QELSecretKeyObject *self, QELStatus status)
{
    if (status == QELError_TokenNotAvailable)
        static_cast<void>(qelTokenSyncKeys(self->context, nullptr, 1));   // nothing to refresh here
    return status;
}

QELStatus tokenDestroy(QELSecretKeyObject *self)
{
    if (self == nullptr)
        return QELError_BadParams;
    QELContext *context = self->context;
    if (TokenState *s = stateOf(self)) {
        if (s->device && s->device->logOut)
            static_cast<void>(s->device->logOut(s->device));   // the object goes either way
        QELBigNumOps.qelBigNumFree(&s->modulus);
        if (s->material) {
            qelSecureWipe(s->material, s->length);
            static_cast<void>(qelContextMemFree(context, s->material));
        }
        qelSecureWipe(s, sizeof *s);
        static_cast<void>(qelMemFree(s));
    }
    self->context = nullptr;
    return qelContextMemFree(context, self);
}

QELPublicKeyObject *tokenPublicObject(QELSecretKeyObject *self)
{
    TokenState *s = stateOf(self);
    QELStatus error = 0;
    return qelPublicKeyObjectFromData(self->context, self->algorithm, s->material, s->length, &error);
}

std::uint32_t tokenIsLocked(QELSecretKeyObject *self) { return stateOf(self)->locked; }

QELStatus tokenProtectionCipher(QELSecretKeyObject *, std::uint32_t *outCipher, std::uint64_t *outKeySize)
{
    qel::clearOut(outCipher);
    if (outKeySize)
        *outKeySize = QELTokenEnvelopeSize;
    return QELError_NoErr;
}

QELStatus tokenProtectionS2KType(QELSecretKeyObject *, std::uint32_t *outType)
{
    qel::clearOut(outType);
    return QELError_AlgorithmCannotDoThis;
}

QELStatus tokenDeriveProtectionKey(QELSecretKeyObject *, QELSettings *, const void *passphrase, std::size_t length,
                                   std::uint8_t *key)
{
    if (key == nullptr || (passphrase == nullptr && length != 0))
        return QELError_BadParams;
    const std::size_t n = length < QELTokenEnvelopeMaxPhrase ? length : QELTokenEnvelopeMaxPhrase;
    std::memset(key, 0, QELTokenEnvelopeSize);
    key[0] = (std::uint8_t)QELTokenEnvelopeMagic;
    key[1] = (std::uint8_t)(QELTokenEnvelopeMagic >> 8);
    key[2] = (std::uint8_t)(QELTokenEnvelopeMagic >> 16);
    key[3] = (std::uint8_t)(QELTokenEnvelopeMagic >> 24);
    key[4] = (std::uint8_t)n;
    const auto *p = static_cast<const std::uint8_t *>(passphrase);
    for (std::size_t i = 0; i < n; ++i)
        key[5 + i] = (std::uint8_t)(p[i] ^ envelopeMask(i));
    return QELError_NoErr;
}

std::int32_t tokenUnlock(QELSecretKeyObject *self, const void *passphrase, std::size_t length, std::uint8_t passkey)
{
    TokenState *s = stateOf(self);
    if (qelFIPSModeEnabled() && (passphrase == nullptr || length == 0))
        return 0;
    std::uint8_t pin[QELTokenEnvelopeMaxPhrase];
    const void *bytes = passphrase;
    std::size_t n = length;
    if (passkey) {
        const std::int32_t m = unwrapEnvelope(passphrase, length, pin);
        if (m < 0)
            return 0;
        bytes = pin;
        n = (std::size_t)m;
    }
    const QELStatus status = s->device->logIn(s->device, bytes, n, passkey);
    qelSecureWipe(pin, sizeof pin);
    if (status != 0)
        return 0;
    s->locked = 0;
    return 1;
}

QELStatus tokenLock(QELSecretKeyObject *self)
{
    TokenState *s = stateOf(self);
    const QELStatus status = s->device->logOut(s->device);
    s->locked = 1;
    return status;
}

std::int32_t tokenMaxEncryptedSize(QELSecretKeyObject *self, std::int32_t format)
{
    const u32 k = modulusOctets(self);
    if (format == QELPkFormat_RFC4880)
        return (std::int32_t)(k + 2);
    if (format >= QELPkFormat_Raw && format <= QELPkFormat_RawNoDigestInfo)
        return (std::int32_t)k;
    return 0;
}

std::int32_t tokenMaxPlaintextSize(QELSecretKeyObject *self) { return (std::int32_t)modulusOctets(self); }

QELStatus tokenDecrypt(QELSecretKeyObject *self, const std::uint8_t *in, std::size_t length, std::uint8_t *out,
                       std::size_t *outLength, const void *passphrase, std::size_t passphraseLength,
                       std::int32_t format)
{
    if (outLength)
        *outLength = 0;
    if (out == nullptr || outLength == nullptr || (in == nullptr && length != 0))
        return QELError_BadParams;
    TokenState *s = stateOf(self);
    if (s->locked && tokenUnlock(self, passphrase, passphraseLength, 0) != 1)
        return QELError_KeyLocked;
    if (length <= 1)
        return QELError_MalformedESK;
    const u32 k = modulusOctets(self);
    QELPkNumbers<1> c(qelContextGetMemoryMgr(self->context), true);
    const u32 len = (u32)(length > 0xFFFFFFFFu ? 0xFFFFFFFFu : length);
    const std::int32_t read = qelPkNumberRead(c[0], in, len, k, format);
    if (read < 0)
        return read;
    if (read == 0 || QELBigNumOps.qelBigNumCompare(c[0], &s->modulus) >= 0)
        return QELError_MalformedESK;
    QELBigNumOps.qelBigNumToBytesBE(c[0], out, 0, k);
    const std::int32_t r = s->device->decrypt(s->device, self->keyID, out, k, out, k);
    if (r < 0)
        return deviceFailure(self, r);
    if ((u32)r > k || r < 3)
        return QELError_CorruptData;
    std::size_t result = (std::size_t)r;
    if (format == QELPkFormat_RFC4880) {
        const std::uint16_t want = qelPkSessionKeyChecksum(out, result - 2);
        const std::uint16_t got = (std::uint16_t)((out[r - 2] << 8) | out[r - 1]);
        if (want != got)
            return QELError_CorruptData;
        out[r - 2] = out[r - 1] = 0;
        result -= 2;
    }
    *outLength = result;
    return QELError_NoErr;
}

QELStatus tokenSign(QELSecretKeyObject *self, const QELHashDescriptor *hash, const std::uint8_t *digest,
                    std::size_t digestLength, std::uint8_t *out, std::size_t *outLength, QELRandomContext *,
                    std::int32_t format)
{
    if (outLength)
        *outLength = 0;
    if (out == nullptr || outLength == nullptr || digest == nullptr)
        return QELError_BadParams;
    TokenState *s = stateOf(self);
    if (s->locked)
        return QELError_KeyLocked;
    const u32 k = modulusOctets(self);
    const std::size_t prefix = (format == QELPkFormat_RawNoDigestInfo || hash == nullptr) ? 0 : hash->prefixLength;
    const std::size_t block = prefix + digestLength;
    if (block > k)
        return QELError_DataTooLarge;
    qel::WipedBuffer<std::uint8_t> input(qelContextGetMemoryMgr(self->context), block, true);
    if (!input)
        return QELError_OutOfMemory;
    if (prefix)
        std::memcpy(input.get(), hash->digestInfoPrefix, prefix);
    std::memcpy(input.get() + prefix, digest, digestLength);
    const QELStatus status = s->device->sign(s->device, self->keyID, input.get(), block, out, k);
    if (status < 0)
        return deviceFailure(self, status);
    QELPkNumbers<1> sig(qelContextGetMemoryMgr(self->context), true);
    if (QELBigNumOps.qelBigNumFromBytesBE(sig[0], out, 0, k) != 0)
        return QELError_OutOfMemory;
    std::int32_t written;
    if (format == QELPkFormat_DER)
        written = qelPkNumberWrite(sig[0], out, qelPkOctets(QELBigNumOps.qelBigNumBitLength(sig[0])), QELPkFormat_Raw);
    else
        written = qelPkNumberWrite(sig[0], out, k, format == QELPkFormat_RFC4880 ? format : QELPkFormat_Raw);
    *outLength = (std::size_t)written;
    return QELError_NoErr;
}

QELStatus tokenChangeProtection(QELSecretKeyObject *self, QELSettings *, QELRandomContext *, const void *oldPassphrase,
                                std::size_t oldLength, std::uint8_t oldPasskey, const void *newPassphrase,
                                std::size_t newLength, std::uint32_t)
{
    TokenState *s = stateOf(self);
    std::uint8_t pin[QELTokenEnvelopeMaxPhrase];
    const void *old = oldPassphrase;
    std::size_t n = oldLength;
    if (oldPasskey) {
        const std::int32_t m = unwrapEnvelope(oldPassphrase, oldLength, pin);
        if (m < 0)
            return QELError_BadPassphrase;
        old = pin;
        n = (std::size_t)m;
    }
    const QELStatus status = s->device->changePIN(s->device, old, n, newPassphrase, newLength, oldPasskey);
    qelSecureWipe(pin, sizeof pin);
    if (const auto purge = qelKeysSeams().passCachePurge)
        static_cast<void>(purge(self->context));   // the device status is the result
    return status;
}

std::size_t tokenSecretDataLength(QELSecretKeyObject *) { return 0; }
void tokenExportSecretData(QELSecretKeyObject *, std::uint8_t *) {}
QELStatus tokenGetSecretParameters(QELSecretKeyObject *, BN *const *) { return QELError_AlgorithmCannotDoThis; }
void tokenSetKeyID(QELSecretKeyObject *self, const std::uint8_t keyID[8]) { std::memcpy(self->keyID, keyID, 8); }

} // namespace

QELSecretKeyObject *qelTokenSecretKeyObjectNew(QELContext *context, const std::uint8_t *material, std::size_t length,
                                               std::uint32_t, QELTokenDevice *device, QELStatus *outError)
{
    auto fail = [&](QELStatus status) -> QELSecretKeyObject * {
        if (outError)
            *outError = status;
        return nullptr;
    };
    if (outError)
        *outError = QELError_NoErr;
    if (device == nullptr)
        return fail(QELError_BadParams);
    // The first MPI (the modulus) and at least three more octets.
    qel::ByteCursor in(material, length);
    std::uint16_t bits = 0;
    std::span<const std::uint8_t> n;
    if (length <= 4 || !in.be16(bits) || !in.bytes(qelPkOctets(bits), n) || in.remaining() < 3)
        return fail(QELError_BadAlgorithmData);

    qelBigNumInit();
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
    auto *self = static_cast<QELSecretKeyObject *>(qelContextMemAlloc(context, sizeof(QELSecretKeyObject), QELMemFlag_Clear));
    auto *s = static_cast<TokenState *>(qelMemAllocSecure(mgr, sizeof(TokenState), QELMemFlag_Clear));
    auto *copy = static_cast<std::uint8_t *>(qelContextMemAllocCopy(context, length, 0, material));
    if (self == nullptr || s == nullptr || copy == nullptr) {
        static_cast<void>(qelContextMemFree(context, self));   // whichever were had
        static_cast<void>(qelContextMemFree(context, copy));
        if (s)
            static_cast<void>(qelMemFree(s));
        return fail(QELError_OutOfMemory);
    }
    std::memset(self, 0, sizeof *self);
    std::memset(s, 0, sizeof *s);
    s->context = context;
    s->device = device;
    s->locked = 1;
    s->material = copy;
    s->length = length;
    qelBigNumBegin(&s->modulus, mgr, 0);
    self->context = context;
    self->secretData = s;
    self->token = 1;
    self->destroy = tokenDestroy;
    if (QELBigNumOps.qelBigNumFromBytesBE(&s->modulus, n.data(), 0, (u32)n.size()) != 0) {
        s->device = nullptr;   // nothing was logged in
        static_cast<void>(tokenDestroy(self));
        return fail(QELError_OutOfMemory);
    }
    self->publicObject = tokenPublicObject;
    self->isLocked = tokenIsLocked;
    self->protectionCipher = tokenProtectionCipher;
    self->protectionS2KType = tokenProtectionS2KType;
    self->deriveProtectionKey = tokenDeriveProtectionKey;
    self->unlock = tokenUnlock;
    self->lock = tokenLock;
    self->maxEncryptedSize = tokenMaxEncryptedSize;
    self->maxPlaintextSize = tokenMaxPlaintextSize;
    self->maxSignatureSize = tokenMaxEncryptedSize;
    self->decrypt = tokenDecrypt;
    self->sign = tokenSign;
    self->changeProtection = tokenChangeProtection;
    self->secretDataLength = tokenSecretDataLength;
    self->exportSecretData = tokenExportSecretData;
    self->getSecretParameters = tokenGetSecretParameters;
    self->setKeyID = tokenSetKeyID;
    return self;
}

// ---- token operations: no token is present ---------------------------------

QELSecretKeyObject *qelTokenGenerateKey(QELContext *, std::uint8_t, std::uint32_t, std::uint8_t, std::uint8_t,
                                        QELPkProgressProc, void *, QELTokenDevice *, const void *, std::size_t,
                                        std::uint8_t)
{
    return nullptr;
}

QELSecretKeyObject *qelTokenGenerateKeyEx(QELContext *, std::uint8_t, std::uint32_t, QELStatus *outError)
{
    if (outError)
        *outError = QELError_AlgorithmCannotDoThis;
    return nullptr;
}

QELStatus qelTokenCopyKey(QELContext *, QELKeyObject *, std::uint32_t) { return QELError_AlgorithmCannotDoThis; }
QELStatus qelTokenDeleteKeyByID(QELContext *, const std::uint8_t *, std::uint32_t) { return QELError_AlgorithmCannotDoThis; }
void *qelTokenFindByKeyID(const std::uint8_t *) { return nullptr; }
void *qelTokenGetByIndex(std::uint32_t) { return nullptr; }
std::uint32_t qelTokenCount() { return 0; }
QELStatus qelTokenSubmitSecret(QELContext *, std::uint32_t, const char *) { return QELError_NoErr; }
QELStatus qelTokenSetSecret(QELContext *, std::uint32_t, const char *) { return QELError_NoErr; }
QELStatus qelTokenReplaceSecret(QELContext *, std::uint32_t, const char *) { return QELError_NoErr; }
QELStatus qelTokenNotifyKeyChange() { return QELError_NoErr; }
QELStatus qelTokenSyncKeys(QELContext *, QELKeyObject *, std::uint32_t) { return QELError_NoErr; }
QELStatus qelTokenIdle() { return QELError_NoErr; }
QELStatus qelTokenReleaseAll() { return QELError_NoErr; }
QELStatus qelTokenFreeData(void *) { return QELError_NoErr; }

QELStatus qelTokenGetInfo(std::uint32_t, void *record)
{
    if (record != nullptr)
        std::memset(record, 0, QELTokenInfoSize);
    return QELError_NoErr;
}

QELStatus qelTokenKeyCommand(QELContext *, QELKeyObject *, std::uint32_t) { return QELError_AlgorithmCannotDoThis; }
