// The toolkit's digest, signature, verification and content-encryption
// callbacks done with the SDK's hashes, ciphers and database keys.
#include "qelPKISDKInternal.h"

#include <algorithm>
#include <cstring>

#include "qelAlgorithms.h"
#include "qelCBC.h"
#include "qelHash.h"
#include "qelHelpers.h"
#include "qelKeyMan.h"
#include "qelKeyObjInternal.h"
#include "qelKeyProperty.h"
#include "qelOptionList.h"
#include "qelPKICertificateInternal.h"
#include "qelPKIConvertInternal.h"
#include "qelPublicKey.h"
#include "qelSymmetricCipher.h"
#include "qelWipe.h"

namespace {

using u8 = std::uint8_t;

constexpr u8 kMD5WithRSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04};
constexpr u8 kSHA1WithRSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};
constexpr u8 kDSAWithSHA1[] = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x03};

constexpr char kDES3CBC[] = "1.2.840.113549.3.7";
constexpr char kDESCBC[] = "1.3.14.3.2.7";
constexpr std::size_t kDESKey = 8;

constexpr int kUnknownDigest = -2, kHashFailed = -3, kSignerFailed = -4, kContentFailed = -5;

std::int32_t digestId(const char *oid)
{
    if (oid == nullptr)
        return 0;
    if (std::strcmp(oid, "1.2.840.113549.2.5") == 0)
        return QELHashAlgorithm_MD5;
    if (std::strcmp(oid, "1.3.14.3.2.26") == 0)
        return QELHashAlgorithm_SHA1;
    return 0;
}

const QELPKICallbackData *dataOf(void *callbackData) { return static_cast<const QELPKICallbackData *>(callbackData); }

// A hash handed to SignHash or VerifyHash is theirs once they accepted
// their arguments, the key and its use; a refusal before that leaves it
// with the caller, who must free it.
class HashHandle {
public:
    ~HashHandle()
    {
        if (hash_ != nullptr)
            static_cast<void>(qelHashFree(hash_));
    }
    QELStatus start(QELContext *context, std::int32_t id, const void *data, std::uint64_t length)
    {
        QELStatus s = qelHashNew(context, id, &hash_);
        if (s == 0 && length != 0)
            s = qelHashUpdate(hash_, data, length);
        return s;
    }
    QELHashContext *get() const { return hash_; }
    void handedOver(QELStatus s)
    {
        if (s != QELError_BadParams && s != QELError_FeatureNotAvailable && s != QELError_NoKeyDB)
            hash_ = nullptr;
    }

private:
    QELHashContext *hash_ = nullptr;
};

using PrivateContext = qel::Owned<QELPrivateKeyContext, qelPrivateKeyContextFree>;
using PublicContext = qel::Owned<QELPublicKeyContext, qelPublicKeyContextFree>;
using OptionsHeld = qel::Owned<QELOptionList, qelOptionListFreePublic>;

// A private-key context over the key, unlocked with a copy of the options.
QELStatus openPrivate(const QELPKICallbackData *data, std::uint32_t format, PrivateContext &out)
{
    QELOptionList *copy = nullptr;
    if (data->options != nullptr) {
        const QELStatus s = qelOptionListCopyPublic(data->options, &copy);
        if (s != 0)
            return s;
    }
    OptionsHeld held(copy);
    QELPrivateKeyContext *raw = nullptr;
    const QELStatus s = qelPrivateKeyContextNew(data->key, format, &raw,
                                                copy != nullptr ? held.release() : qelOptionNull(data->context),
                                                qelOptionLastOption(data->context));
    out.reset(raw);
    return s;
}

// An RSA signature is an octet string as long as the modulus (RFC 8017
// 8.2.1); the key operation gives it without its leading zero octets,
// which X.509 readers refuse, so they are put back.
void fullLengthRSA(QELKeyObject *key, u8 *signature, std::uint64_t &length, std::uint64_t modulusLength)
{
    std::int32_t algorithm = 0;
    if (qelKeyObjGetNumberProperty(key, QELProperty_Algorithm, &algorithm) != 0 ||
        (algorithm != 1 && algorithm != 2 && algorithm != 3) || length >= modulusLength)
        return;
    const std::uint64_t shift = modulusLength - length;
    std::memmove(signature + shift, signature, length);
    std::memset(signature, 0, shift);
    length = modulusLength;
}

void *codecAlloc(ASN1Context *codec, std::uint64_t n)
{
    return codec->allocator->alloc(codec->allocator, n != 0 ? n : 1);
}
void codecFree(ASN1Context *codec, void *block)
{
    if (block != nullptr)
        static_cast<void>(codec->allocator->free(codec->allocator, block));
}

// Triple DES in CBC for the content: DES-CBC keys it with K, K, K.
struct ContentCipher {
    qel::Owned<QELCBCContext, qelCBCFree> cbc;
    std::size_t keySize = 0, blockSize = 0;
    QELStatus open(QELContext *context)
    {
        QELSymmetricCipher *cipher = nullptr;
        QELStatus s = qelSymmetricCipherNew(context, QELCipherAlgorithm_3DES, &cipher);
        if (s != 0)
            return s;
        s = qelSymmetricCipherGetSizes(cipher, &keySize, &blockSize);
        QELCBCContext *raw = nullptr;
        if (s == 0)
            s = qelCBCCreate(cipher, &raw);
        if (s != 0) {
            static_cast<void>(qelSymmetricCipherFree(cipher));
            return s;
        }
        cbc.reset(raw);
        return 0;
    }
};

} // namespace

int32_t qelPKISDKHashFromSigOID(const uint8_t *oid, uint64_t length)
{
    using qel::pki::sameBytes;
    if (oid == nullptr)
        return 0;
    if (sameBytes(oid, length, kMD5WithRSA, sizeof kMD5WithRSA))
        return QELHashAlgorithm_MD5;
    if (sameBytes(oid, length, kSHA1WithRSA, sizeof kSHA1WithRSA) ||
        sameBytes(oid, length, kDSAWithSHA1, sizeof kDSAWithSHA1))
        return QELHashAlgorithm_SHA1;
    return 0;
}

int qelPKISDKDigest(ASN1_OctetString *digest, const char *digestOID, const uint8_t *data, uint64_t length,
                    void *callbackData, ASN1Context *codec)
{
    const std::int32_t id = digestId(digestOID);
    if (id == 0)
        return kUnknownDigest;
    const QELPKICallbackData *cb = dataOf(callbackData);
    if (cb == nullptr || digest == nullptr || codec == nullptr)
        return kHashFailed;
    HashHandle hash;
    std::uint64_t size = 0;
    if (hash.start(cb->context, id, data, length) != 0 || qelHashGetSize(hash.get(), &size) != 0)
        return kHashFailed;
    auto *block = static_cast<u8 *>(codecAlloc(codec, size));
    if (block == nullptr || qelHashFinal(hash.get(), block) != 0) {
        codecFree(codec, block);
        *digest = ASN1_OctetString{};
        return kHashFailed;
    }
    digest->length = size;
    digest->data = block;
    return 0;
}

int qelPKISDKSignData(ASN1_OctetString *encryptedDigest, const char *digestOID, const char *, ASN1_Certificate *,
                      const uint8_t *data, uint64_t length, void *callbackData, ASN1Context *codec)
{
    const std::int32_t id = digestId(digestOID);
    if (id == 0)
        return kUnknownDigest;
    const QELPKICallbackData *cb = dataOf(callbackData);
    if (cb == nullptr || encryptedDigest == nullptr || codec == nullptr)
        return kSignerFailed;
    HashHandle hash;
    if (hash.start(cb->context, id, data, length) != 0)
        return kSignerFailed;
    PrivateContext key;
    std::uint64_t plain = 0, cipher = 0, maxSignature = 0;
    if (openPrivate(cb, 3, key) != 0 ||
        qelPrivateKeyContextGetSizes(key.get(), &plain, &cipher, &maxSignature) != 0 || maxSignature == 0)
        return kSignerFailed;
    auto *block = static_cast<u8 *>(codecAlloc(codec, maxSignature));
    if (block == nullptr)
        return kHashFailed;
    std::uint64_t produced = 0;
    const QELStatus s = qelPrivateKeySignHash(key.get(), hash.get(), block, &produced);
    hash.handedOver(s);
    if (s != 0) {
        codecFree(codec, block);
        *encryptedDigest = ASN1_OctetString{};
        return kHashFailed;
    }
    fullLengthRSA(cb->key, block, produced, maxSignature);
    encryptedDigest->length = produced;
    encryptedDigest->data = block;
    return 0;
}

int qelPKISDKVerifyData(const uint8_t *data, uint64_t length, const char *digestOID, const char *,
                        ASN1_OctetString *encryptedDigest, ASN1_Certificate *, void *callbackData, ASN1Context *)
{
    const std::int32_t id = digestId(digestOID);
    if (id == 0)
        return kUnknownDigest;
    const QELPKICallbackData *cb = dataOf(callbackData);
    if (cb == nullptr || encryptedDigest == nullptr || encryptedDigest->length == 0)
        return kHashFailed;
    HashHandle hash;
    if (hash.start(cb->context, id, data, length) != 0)
        return kHashFailed;
    QELPublicKeyContext *raw = nullptr;
    if (qelPublicKeyContextNew(cb->key, 3, &raw) != 0)
        return kHashFailed;
    PublicContext key(raw);
    const QELStatus s = qelPublicKeyVerifyHash(key.get(), hash.get(), encryptedDigest->data, encryptedDigest->length);
    hash.handedOver(s);
    return s == 0 ? 0 : kHashFailed;
}

int qelPKISDKSign(uint8_t **signature, uint64_t *signatureLength, const uint8_t *toBeSigned, uint64_t length,
                  const uint8_t *algorithmOID, uint64_t algorithmOIDLength, void *callbackData, QELPKIContext *context)
{
    const QELPKICallbackData *cb = dataOf(callbackData);
    if (cb == nullptr || cb->context == nullptr || signature == nullptr ||
        signatureLength == nullptr || context == nullptr)
        return QELPKIError_InvalidArguments;
    *signature = nullptr;
    *signatureLength = 0;
    const std::int32_t id = qelPKISDKHashFromSigOID(algorithmOID, algorithmOIDLength);
    HashHandle hash;
    if (id == 0 || hash.start(cb->context, id, toBeSigned, length) != 0)
        return QELPKIError_InvalidArguments;
    PrivateContext key;
    std::uint64_t plain = 0, cipher = 0, maxSignature = 0;
    if (openPrivate(cb, 3, key) != 0 ||
        qelPrivateKeyContextGetSizes(key.get(), &plain, &cipher, &maxSignature) != 0 || maxSignature == 0)
        return QELPKIError_InvalidArguments;
    auto *block = static_cast<u8 *>(qel::pki::alloc(context, maxSignature));
    if (block == nullptr)
        return QELPKIError_InvalidArguments;
    std::uint64_t produced = 0;
    const QELStatus s = qelPrivateKeySignHash(key.get(), hash.get(), block, &produced);
    hash.handedOver(s);
    if (s != 0) {
        qel::pki::release(context, block);
        return QELPKIError_InvalidArguments;
    }
    fullLengthRSA(cb->key, block, produced, maxSignature);
    *signature = block;
    *signatureLength = produced;
    return 0;
}

int qelPKISDKDecryptContent(uint8_t **out, uint64_t *outLength, const char *contentEncryptionOID,
                            ASN1_Any *parameters, ASN1_OctetString *encryptedContent, const char *,
                            ASN1_OctetString *encryptedKey, ASN1_Certificate *, void *callbackData, ASN1Context *codec)
{
    if (out == nullptr || outLength == nullptr)
        return kContentFailed;
    *out = nullptr;
    *outLength = 0;
    const bool single = contentEncryptionOID != nullptr && std::strcmp(contentEncryptionOID, kDESCBC) == 0;
    if (!single && (contentEncryptionOID == nullptr || std::strcmp(contentEncryptionOID, kDES3CBC) != 0))
        return kContentFailed;
    const QELPKICallbackData *cb = dataOf(callbackData);
    if (cb == nullptr || codec == nullptr || parameters == nullptr || encryptedContent == nullptr ||
        encryptedKey == nullptr || encryptedContent->length == 0)
        return kContentFailed;
    return qel::noThrow([&]() -> QELStatus {
        ContentCipher cipher;
        if (cipher.open(cb->context) != 0 || encryptedContent->length % cipher.blockSize != 0)
            return kContentFailed;
        // The content key, unwrapped into secure memory; its length must be
        // the cipher's (or one DES key).
        QELMemoryMgr *mgr = qelContextGetMemoryMgr(cb->context);
        PrivateContext key;
        std::uint64_t maxPlain = 0, maxCipher = 0, maxSignature = 0;
        if (openPrivate(cb, 2, key) != 0 || qelPrivateKeyContextGetSizes(key.get(), &maxPlain, &maxCipher,
                                                                          &maxSignature) != 0)
            return kContentFailed;
        qel::WipedBuffer<u8> unwrapped(mgr, static_cast<std::size_t>(std::max<std::uint64_t>(maxPlain, 1)));
        std::uint64_t keyLength = 0;
        if (!unwrapped || qelPrivateKeyDecrypt(key.get(), encryptedKey->data, encryptedKey->length,
                                               unwrapped.get(), &keyLength) != 0)
            return kContentFailed;
        key.reset();
        if (keyLength != (single ? kDESKey : cipher.keySize))
            return kContentFailed;
        qel::WipedBuffer<u8> contentKey(mgr, cipher.keySize);
        if (!contentKey)
            return kContentFailed;
        for (std::size_t i = 0; i < cipher.keySize; ++i)
            contentKey[i] = unwrapped[single ? i % kDESKey : i];
        // The IV: an OCTET STRING of one block.
        ASN1_OctetString *iv = nullptr;
        std::int32_t err = 0;
        const std::uint64_t used = asn1Unpack_OctetString(codec, &iv, parameters->data, parameters->length, &err);
        qel::pki::Held<ASN1_OctetString, asn1Free_OctetString> ivHeld(codec, iv);
        if (err != 0 || used != parameters->length || iv == nullptr || iv->length != cipher.blockSize)
            return kContentFailed;
        if (qelCBCInit(cipher.cbc.get(), contentKey.get(), iv->data) != 0)
            return kContentFailed;
        auto *block = static_cast<u8 *>(codecAlloc(codec, encryptedContent->length));
        if (block == nullptr ||
            qelCBCDecrypt(cipher.cbc.get(), encryptedContent->data, encryptedContent->length, block) != 0) {
            codecFree(codec, block);
            return kContentFailed;
        }
        // Every padding octet is checked, not only the last.
        const std::uint64_t n = encryptedContent->length;
        const u8 pad = block[n - 1];
        u8 bad = static_cast<u8>((pad == 0) | (pad > cipher.blockSize));
        for (std::size_t i = 1; i <= cipher.blockSize; ++i)
            bad = static_cast<u8>(bad | ((i <= pad) & (block[n - i] != pad)));
        if (bad != 0) {
            qelSecureWipe(block, n);
            codecFree(codec, block);
            return kContentFailed;
        }
        *out = block;
        *outLength = n - pad;
        return 0;
    }) == 0
               ? 0
               : kContentFailed;
}

int qelPKISDKEncryptContent(ASN1_OctetString *encryptedContent, ASN1_Any *parameters,
                            const char *contentEncryptionOID, const uint8_t *content, uint64_t length,
                            QELPKIRecipientNode *recipients, void *callbackData, ASN1Context *codec)
{
    const bool single = contentEncryptionOID != nullptr && std::strcmp(contentEncryptionOID, kDESCBC) == 0;
    if (!single && (contentEncryptionOID == nullptr || std::strcmp(contentEncryptionOID, kDES3CBC) != 0))
        return kContentFailed;
    const QELPKICallbackData *cb = dataOf(callbackData);
    if (cb == nullptr || codec == nullptr || encryptedContent == nullptr || parameters == nullptr ||
        (content == nullptr && length != 0))
        return kContentFailed;
    const QELStatus status = qel::noThrow([&]() -> QELStatus {
        ContentCipher cipher;
        if (cipher.open(cb->context) != 0)
            return kContentFailed;
        QELMemoryMgr *mgr = qelContextGetMemoryMgr(cb->context);
        qel::WipedBuffer<u8> key(mgr, cipher.keySize);
        qel::WipedBuffer<u8> iv(mgr, cipher.blockSize, false);
        if (!key || !iv || qelContextGetRandomBytes(cb->context, key.get(), static_cast<std::uint32_t>(cipher.keySize)) != 0 ||
            qelContextGetRandomBytes(cb->context, iv.get(), static_cast<std::uint32_t>(cipher.blockSize)) != 0)
            return kContentFailed;
        if (single)
            for (std::size_t i = kDESKey; i < cipher.keySize; ++i)
                key[i] = key[i % kDESKey];
        if (qelCBCInit(cipher.cbc.get(), key.get(), iv.get()) != 0)
            return kContentFailed;
        // Always 1..block octets of padding.
        const std::size_t bs = cipher.blockSize;
        const std::size_t full = static_cast<std::size_t>(length - length % bs);
        const std::size_t total = full + bs;
        qel::pki::CodecBlock encrypted(codec);
        encrypted.data = static_cast<u8 *>(codecAlloc(codec, total));
        qel::WipedBuffer<u8> last(mgr, bs);
        if (encrypted.data == nullptr || !last)
            return kContentFailed;
        encrypted.length = total;
        const std::size_t r = static_cast<std::size_t>(length) - full;
        if (r != 0)
            std::memcpy(last.get(), content + full, r);
        std::memset(last.get() + r, static_cast<int>(bs - r), bs - r);
        if ((full != 0 && qelCBCEncrypt(cipher.cbc.get(), content, full, encrypted.data) != 0) ||
            qelCBCEncrypt(cipher.cbc.get(), last.get(), bs, encrypted.data + full) != 0)
            return kContentFailed;
        // Parameters: the IV as a DER OCTET STRING.
        qel::pki::Held<ASN1_OctetString, asn1Free_OctetString> ivRecord(codec, asn1New_OctetString(codec));
        qel::pki::CodecBlock ivDER(codec);
        if (ivRecord.get() == nullptr || asn1SetOctetString(codec, ivRecord.get(), iv.get(), bs) != 0 ||
            qel::pki::packRecord(&ivDER.data, &ivDER.length, ivRecord.get(), codec, asn1Sizeof_OctetString,
                                 asn1Pack_OctetString) != 0)
            return kContentFailed;
        // Each recipient gets the content key wrapped with its own key.
        const std::size_t wrappedLength = single ? kDESKey : cipher.keySize;
        for (QELPKIRecipientNode *node = recipients; node != nullptr; node = node->next) {
            QELPKIRecipient *recipient = node->recipient;
            if (recipient == nullptr || recipient->certificate == nullptr)
                return kContentFailed;
            QELPublicKeyContext *raw = nullptr;
            if (qelPublicKeyContextNew(recipient->key, 2, &raw) != 0)
                return kContentFailed;
            PublicContext publicKey(raw);
            std::uint64_t maxPlain = 0, maxCipher = 0, maxSignature = 0;
            if (qelPublicKeyContextGetSizes(publicKey.get(), &maxPlain, &maxCipher, &maxSignature) != 0 ||
                maxCipher == 0)
                return kContentFailed;
            qel::pki::CodecBlock wrapped(codec);
            wrapped.data = static_cast<u8 *>(codecAlloc(codec, maxCipher));
            wrapped.length = maxCipher;
            if (wrapped.data == nullptr ||
                qelPublicKeyEncrypt(publicKey.get(), key.get(), wrappedLength, wrapped.data, &wrapped.length) != 0)
                return kContentFailed;
            char *algorithm = qelPKIOIDToText(
                &recipient->certificate->tbsCertificate.subjectPublicKeyInfo.algorithm.algorithm, codec);
            if (algorithm == nullptr)
                return kContentFailed;
            codecFree(codec, recipient->keyEncryptionAlgorithm);
            codecFree(codec, recipient->encryptedKey);
            recipient->keyEncryptionAlgorithm = algorithm;
            recipient->encryptedKeyLength = wrapped.length;
            recipient->encryptedKey = wrapped.release();
        }
        codecFree(codec, encryptedContent->data);
        encryptedContent->length = encrypted.length;
        encryptedContent->data = encrypted.release();
        codecFree(codec, parameters->data);
        parameters->length = ivDER.length;
        parameters->data = ivDER.release();
        return 0;
    });
    return status == 0 ? 0 : kContentFailed;
}

namespace {

template <typename Member>
int32_t moveElements(ASN1Context *codec, Member *&member, void *list)
{
    if (member == nullptr)
        return 0;
    for (std::int64_t i = 0; i < member->count; ++i) {
        if (member->elements[i] == nullptr)
            continue;
        if (asn1AppendElement(codec, member->elements[i], list) != 0)
            return QELPKIError_OutOfMemory; // what stays in the member is released with the record
        member->elements[i] = nullptr;
    }
    codecFree(codec, member->elements);
    codecFree(codec, member);
    member = nullptr;
    return 0;
}

} // namespace

int32_t qelPKIMoveSignedDataCertificates(ASN1Context *codec, ASN1_SignedData *signedData, void *list)
{
    if (codec == nullptr || signedData == nullptr || list == nullptr)
        return QELPKIError_InvalidArguments;
    return moveElements(codec, signedData->certificates, list);
}

int32_t qelPKIMoveSignedDataCRLs(ASN1Context *codec, ASN1_SignedData *signedData, void *list)
{
    if (codec == nullptr || signedData == nullptr || list == nullptr)
        return QELPKIError_InvalidArguments;
    return moveElements(codec, signedData->crls, list);
}
