// Session-key items: checking the session-key packet bodies of a message
// being decoded, and taking the session key out of them with a passphrase or
// a secret key.
//
// A public-key body is walked whole before it is kept: for RSA one MPI and
// for ElGamal the pair of MPIs must end exactly at the end of the body, each
// length read against what remains, so that nothing later reads past it.
#include "qelSessionKeyItemInternal.h"

#include "qelAlgorithms.h"
#include "qelCFBInternal.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelKeyID.h"
#include "qelKeyIDInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyOpsInternal.h"
#include "qelPipeModuleInternal.h"
#include "qelStringToKeyInternal.h"
#include "qelSymmetricCipherInternal.h"

#include <cstring>

namespace {

using qel::ByteCursor;
using OwnedCFB = qel::Owned<QELCFBContext, qelCFBFree>;

constexpr std::size_t kPublicKeyHeader = 10; // version, key ID, algorithm
constexpr std::size_t kDefaultKeyBlock = 33;

struct S2KRelease {
    void operator()(QELStringToKey *s2k) const
    {
        if (s2k != nullptr)
            s2k->destroy(s2k);
    }
};
using OwnedS2K = std::unique_ptr<QELStringToKey, S2KRelease>;

// Skips one RFC 4880 MPI: a two-octet bit count and the octets it needs.
bool skipMPI(ByteCursor &c)
{
    std::uint16_t bits = 0;
    return c.be16(bits) && c.skip((std::size_t{bits} + 7) / 8);
}

// The number of MPIs that hold an encrypted session key of the algorithm;
// 0 for an algorithm whose layout is not known here.
int sessionKeyMPIs(std::uint8_t algorithm)
{
    switch (algorithm) {
    case QELPublicKeyAlgorithm_RSA:
    case QELPublicKeyAlgorithm_RSAEncryptOnly:
    case QELPublicKeyAlgorithm_RSASignOnly:
        return 1;
    case QELPublicKeyAlgorithm_ElGamal:
        return 2;
    default:
        return 0;
    }
}

QELStatus checkSymmetric(const std::uint8_t *body, std::size_t length, std::int32_t *outTag)
{
    if (length == 0) {
        *outTag = QELSessionKeyTag_NoPacket;
        return 0;
    }
    ByteCursor c(body, length);
    std::uint8_t version = 0, cipher = 0;
    if (length < 3 || !c.u8(version) || !c.u8(cipher))
        return QELError_MalformedESK;
    if (version != 4)
        return QELError_UnknownPacketVersion;
    if (qelCipherDescriptorFind(cipher) == nullptr)
        return QELError_UnknownESKAlgorithm;
    QELStatus parsed = qelS2KParse(nullptr, nullptr, c.current(), c.remaining());
    if (parsed < 0)
        return parsed;
    if (parsed == 0)
        return QELError_UnknownESKAlgorithm;
    *outTag = QELSessionKeyTag_Passphrase;
    return 0;
}

QELStatus checkPublicKey(const std::uint8_t *body, std::size_t length, std::int32_t *outTag)
{
    if (length == 0)
        return QELError_MalformedESK;
    ByteCursor c(body, length);
    std::uint8_t version = 0, algorithm = 0;
    if (!c.u8(version))
        return QELError_MalformedESK;
    if (version < 2 || version > 4)
        return QELError_UnknownPacketVersion;
    if (!c.skip(8) || !c.u8(algorithm))
        return QELError_MalformedESK;
    const int mpis = sessionKeyMPIs(algorithm);
    for (int i = 0; i < mpis; ++i)
        if (!skipMPI(c))
            return QELError_MalformedESK;
    if (mpis != 0 && !c.empty())
        return QELError_MalformedESK;
    *outTag = QELSessionKeyTag_PublicKey + algorithm;
    return 0;
}

bool isLiteral(const QELStringToKey *s2k)
{
    return s2k->specifierLength >= 1 &&
           (s2k->specifier[0] == QELS2KType_LiteralA || s2k->specifier[0] == QELS2KType_LiteralB);
}

} // namespace

QELStatus qelSessionKeyDerive(QELStringToKey *s2k, const void *passphrase, std::size_t length, std::uint8_t *key,
                              std::size_t keyLength)
{
    if (s2k == nullptr || s2k->deriveKey == nullptr || key == nullptr || (passphrase == nullptr && length != 0))
        return QELError_BadParams;
    if (isLiteral(s2k) && length != keyLength)
        return QELError_BadPassphrase; // a passkey is the key: never padded, never cut
    static constexpr std::uint8_t kEmpty = 0;
    return s2k->deriveKey(s2k, passphrase != nullptr ? passphrase : &kEmpty, length, key, keyLength);
}

QELStatus qelSessionKeyItemAdd(QELContext *context, QELSessionKeyItem **list, std::int32_t code, const void *body,
                               std::size_t length)
{
    if (list == nullptr || (body == nullptr && length != 0))
        return QELError_BadParams;
    const auto *bytes = static_cast<const std::uint8_t *>(body);
    std::int32_t tag = 0;
    QELStatus status = QELError_BadParams;
    if (code == QELAnnotation_SymmetricKeyESK)
        status = checkSymmetric(bytes, length, &tag);
    else if (code == QELAnnotation_PublicKeyESK)
        status = checkPublicKey(bytes, length, &tag);
    if (status != 0)
        return status;
    QELSigItem *item = qelSigItemNew(context, tag, bytes, length);
    if (item == nullptr)
        return QELError_OutOfMemory;
    QELSessionKeyItem **end = list;
    while (*end != nullptr)
        end = &(*end)->next;
    *end = item;
    return 0;
}

QELSessionKeyItem *qelSessionKeyItemNext(const QELSessionKeyItem *item)
{
    return item != nullptr ? item->next : nullptr;
}

std::int32_t qelSessionKeyItemKind(const QELSessionKeyItem *item) { return item != nullptr ? item->tag >> 8 : 0; }

std::int32_t qelSessionKeyItemTag(const QELSessionKeyItem *item) { return item != nullptr ? item->tag : 0; }

std::size_t qelSessionKeyItemKeyLength(const QELSessionKeyItem *item)
{
    if (item == nullptr)
        return 0;
    switch (qelSessionKeyItemKind(item)) {
    case 0:
        return item->length < 36 ? kDefaultKeyBlock : static_cast<std::size_t>(item->length - 3);
    case 1:
        return item->length >= kPublicKeyHeader && item->length <= 42 ? kDefaultKeyBlock
               : item->length > 42 ? static_cast<std::size_t>(item->length - kPublicKeyHeader)
                                    : 0;
    default:
        return 0;
    }
}

QELStatus qelSessionKeyItemKeyID(const QELSessionKeyItem *item, QELKeyID *outID)
{
    if (outID != nullptr)
        std::memset(outID, 0, sizeof *outID);
    if (item == nullptr || outID == nullptr || qelSessionKeyItemKind(item) != 1 ||
        item->length < kPublicKeyHeader)
        return QELError_BadParams;
    return qelKeyIDFromBytes(qelSigItemBytes(item) + 1, 255, 8, outID);
}

std::int32_t qelSessionKeyFromPassphrase(const QELSessionKeyItem *item, QELSettings *settings,
                                         const void *passphrase, std::size_t length, std::uint8_t *keyBlock)
{
    static_cast<void>(settings); // the packet says everything the derivation needs
    if (item == nullptr || keyBlock == nullptr || (passphrase == nullptr && length != 0))
        return QELError_BadParams;
    QELContext *context = item->context;
    if (item->tag == QELSessionKeyTag_NoPacket) {
        // RFC 4880 5.7: no session-key packet means IDEA keyed with the MD5
        // of the passphrase.
        const QELHashDescriptor *md5 = qelHashDescriptorFind(QELHashAlgorithm_MD5);
        if (md5 == nullptr)
            return QELError_UnknownHashAlgorithm;
        const QELCipherDescriptor *idea = qelCipherDescriptorFind(QELCipherAlgorithm_IDEA);
        if (idea == nullptr)
            return QELError_UnknownCipherAlgorithm;
        OwnedS2K s2k(qelS2KNewSimple(context, md5));
        if (!s2k)
            return QELError_OutOfMemory;
        if (QELStatus s = qelSessionKeyDerive(s2k.get(), passphrase, length, keyBlock + 1, idea->keySize); s != 0) {
            qelSecureWipe(keyBlock, idea->keySize + 1);
            return s;
        }
        keyBlock[0] = QELCipherAlgorithm_IDEA;
        return static_cast<std::int32_t>(idea->keySize + 1);
    }
    if (item->tag != QELSessionKeyTag_Passphrase)
        return QELError_BadParams;

    const std::uint8_t *body = qelSigItemBytes(item);
    const std::size_t bodyLength = static_cast<std::size_t>(item->length);
    const QELCipherDescriptor *cipher = bodyLength >= 2 ? qelCipherDescriptorFind(body[1]) : nullptr;
    if (cipher == nullptr)
        return QELError_UnknownCipherAlgorithm;
    QELStringToKey *parsed = nullptr;
    QELStatus specifierLength = qelS2KParse(&parsed, context, body + 2, bodyLength - 2);
    OwnedS2K s2k(parsed);
    if (specifierLength < 0)
        return specifierLength;
    if (!s2k)
        return QELError_OutOfMemory;
    const std::size_t sealedAt = 2 + static_cast<std::size_t>(specifierLength);
    const std::size_t keySize = cipher->keySize;

    if (sealedAt >= bodyLength) {
        // No encrypted session key: the passphrase's key is the session key.
        if (QELStatus s = qelSessionKeyDerive(s2k.get(), passphrase, length, keyBlock + 1, keySize); s != 0) {
            qelSecureWipe(keyBlock, keySize + 1);
            return s;
        }
        keyBlock[0] = body[1];
        return static_cast<std::int32_t>(keySize + 1);
    }

    // The passphrase's key opens the encrypted session key behind the
    // specifier (CFB with a zero IV).
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
    const std::size_t sealed = bodyLength - sealedAt;
    if (sealed > qelSessionKeyItemKeyLength(item))
        return QELError_MalformedESK;
    qel::WipedBuffer<std::uint8_t> kek(mgr, keySize);
    OwnedCFB cfb(qelCFBCreateForDescriptor(mgr, cipher));
    if (!kek || !cfb)
        return QELError_OutOfMemory;
    if (QELStatus s = qelSessionKeyDerive(s2k.get(), passphrase, length, kek.data(), keySize); s != 0)
        return s;
    QELStatus s = qelCFBInit(cfb.get(), kek.data(), nullptr);
    kek.release();
    if (s == 0)
        s = qelCFBDecryptInternal(cfb.get(), body + sealedAt, sealed, keyBlock);
    qelCFBWipe(cfb.get());
    if (s != 0) {
        qelSecureWipe(keyBlock, sealed);
        return s;
    }
    return static_cast<std::int32_t>(sealed);
}

std::int32_t qelSessionKeyFromSecretKey(const QELSessionKeyItem *item, QELKeyObject *key, const void *passphrase,
                                        std::size_t length, std::uint32_t cacheTime, std::uint8_t cacheFlag,
                                        std::uint8_t **outKeyBlock)
{
    if (outKeyBlock != nullptr)
        *outKeyBlock = nullptr;
    if (item == nullptr || key == nullptr || outKeyBlock == nullptr || qelSessionKeyItemKind(item) != 1 ||
        item->length < kPublicKeyHeader)
        return QELError_BadParams;
    const std::uint8_t *body = qelSigItemBytes(item);
    std::uint8_t *block = nullptr;
    std::size_t blockLength = 0;
    QELStatus s = qelKeyObjDecrypt(key, passphrase, length, 0, cacheTime, cacheFlag, body + kPublicKeyHeader,
                                   static_cast<std::size_t>(item->length) - kPublicKeyHeader, 1, &block,
                                   &blockLength);
    if (s < 0)
        return s;
    *outKeyBlock = block;
    return static_cast<std::int32_t>(blockLength);
}

void qelSessionKeyListFree(QELSessionKeyItem *list) { qelSigItemFreeList(list); }
