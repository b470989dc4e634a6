// Key management front ends: the public operations of key management and
// their in-process forms. A process in service mode hands each operation
// with a service form to the service.
#include "qelKeyManInternal.h"

#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBChangeInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeyProperty.h"
#include "qelKeySetInternal.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelOptionListInternal.h"
#include "qelMD5Internal.h"
#include "qelPkAlgInternal.h"
#include "qelRegexInternal.h"
#include "qelSeams.h"
#include "qelSettingsInternal.h"
#include "qelTestHooks.h"
#include "qelTimeDate.h"
#include "qelTokenInternal.h"
#include "qelTrustPropInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

namespace {


static_assert(sizeof(QELTokenInfo) == QELTokenInfoSize);

// The token layer reads secrets as NUL-terminated text: a wiped copy.
class SecretText {
public:
    SecretText(QELContext *context, const void *secret, std::size_t length)
    {
        if (secret == nullptr)
            length = 0;
        if (!text_.reset(qelContextMemoryMgr(context), length + 1))
            return;
        if (length != 0)
            std::memcpy(text_.get(), secret, length);
    }
    const char *get() const { return text_.get(); }

private:
    qel::WipedBuffer<char> text_;
};

using SecretProc = QELStatus (*)(QELContext *, std::uint32_t, const char *);

QELStatus presentSecret(SecretProc proc, QELContext *context, std::int32_t tokenIndex,
                        const void *secret, std::size_t length)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    SecretText text(context, secret, length);
    if (text.get() == nullptr)
        return QELError_OutOfMemory;
    return proc(context, static_cast<std::uint32_t>(tokenIndex), text.get());
}

} // namespace

// ---- in-process forms ------------------------------------------------------

QELStatus qelTokenCountLocal(QELContext *context, std::int32_t *outCount)
{
    qel::clearOut(outCount);
    if (!qelContextIsValid(context) || outCount == nullptr)
        return QELError_BadParams;
    const auto count = static_cast<std::int32_t>(qelTokenCount());
    if (count < 0)
        return count;
    *outCount = count;
    return QELError_NoErr;
}

QELStatus qelTokenGetInfoLocal(QELContext *context, std::int32_t tokenIndex, QELTokenInfo *outInfo)
{
    qel::clearOut(outInfo);
    if (!qelContextIsValid(context) || outInfo == nullptr)
        return QELError_BadParams;
    return qelTokenGetInfo(static_cast<std::uint32_t>(tokenIndex), outInfo->data);
}

QELStatus qelTokenSubmitSecretLocal(QELContext *context, std::int32_t tokenIndex, const void *secret,
                                    std::size_t length)
{
    return presentSecret(qelTokenSubmitSecret, context, tokenIndex, secret, length);
}

QELStatus qelTokenSetSecretLocal(QELContext *context, std::int32_t tokenIndex, const void *secret,
                                 std::size_t length)
{
    return presentSecret(qelTokenSetSecret, context, tokenIndex, secret, length);
}

QELStatus qelTokenReplaceSecretLocal(QELContext *context, std::int32_t tokenIndex, const void *oldSecret,
                                     std::size_t oldLength)
{
    return presentSecret(qelTokenReplaceSecret, context, tokenIndex, oldSecret, oldLength);
}

namespace {
// The token layer's configuration string.
std::mutex g_tokenConfigLock;
char g_tokenConfig[256];
} // namespace

QELStatus qelTokenSetConfigStringLocal(const char *text, std::size_t length)
{
    length = text != nullptr ? strnlen(text, length) : 0;
    if (length > sizeof g_tokenConfig - 1)
        return QELError_BadParams; // does not fit the stored string
    std::lock_guard lock(g_tokenConfigLock);
    if (length == 0) {
        static_cast<void>(qelTokenReleaseAll());
        g_tokenConfig[0] = 0;
        return QELError_NoErr;
    }
    if (g_tokenConfig[0] != 0 && std::strlen(g_tokenConfig) == length && std::memcmp(g_tokenConfig, text, length) == 0)
        return QELError_NoErr;
    if (g_tokenConfig[0] != 0)
        static_cast<void>(qelTokenReleaseAll());
    std::memcpy(g_tokenConfig, text, length);
    g_tokenConfig[length] = 0;
    return QELError_NoErr;
}

QELStatus qelTokenPutDataLocal(QELContext *, const QELKeyID *, const void *, std::size_t, const void *,
                               std::size_t)
{
    return QELError_NoSecretKey;
}

QELStatus qelTokenGetDataLocal(QELContext *, const QELKeyID *, const void *, std::size_t, void **outData,
                               std::size_t *outLength)
{
    qel::clearOut(outData);
    qel::clearOut(outLength);
    return QELError_NoSecretKey;
}

QELStatus qelTokenPutCertificateLocal(QELContext *, const QELKeyID *, const void *, std::size_t, const void *,
                                      std::size_t, const void *, std::size_t)
{
    return QELError_NoErr;
}

// ---- property copies -------------------------------------------------------

QELStatus qelPropertyDataAlloc(QELContext *context, const void *bytes, std::size_t length, void **outPointer)
{
    qel::clearOut(outPointer);
    if (outPointer == nullptr || (bytes == nullptr && length != 0))
        return QELError_BadParams;
    if (length == 0)
        return QELError_UnknownProperty;
    if (length > SIZE_MAX - 2)
        return QELError_OutOfMemory;
    auto *block = static_cast<std::uint8_t *>(qelContextMemAlloc(context, length + 2, 0));
    if (block == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(block, bytes, length);
    block[length] = 0;
    block[length + 1] = 0;
    *outPointer = block;
    return QELError_NoErr;
}

QELStatus qelPropertyDataCopy(const void *bytes, void *buffer, std::size_t length, std::size_t bufferSize)
{
    if ((bytes == nullptr && length != 0) || (buffer == nullptr && bufferSize != 0))
        return QELError_BadParams;
    const std::size_t n = length > bufferSize ? bufferSize : length;
    if (n != 0)
        std::memcpy(buffer, bytes, n);
    if (n < bufferSize)
        static_cast<std::uint8_t *>(buffer)[n] = 0;
    return length > bufferSize ? QELError_BufferTooSmall : QELError_NoErr;
}

// ---- public operations -----------------------------------------------------

QELStatus qelCountTokens(QELContext *context, std::int32_t *outCount)
{
    qel::clearOut(outCount);
    if (!qelContextIsValid(context) || outCount == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    if (qelServiceConnected())
        return qelKeysService().tokenCount(context, outCount);
    return qelTokenCountLocal(context, outCount);
}

QELStatus qelGetTokenInfo(QELContext *context, std::int32_t tokenIndex, QELTokenInfo *outInfo)
{
    qel::clearOut(outInfo);
    if (!qelContextIsValid(context) || outInfo == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    if (qelServiceConnected())
        return qelKeysService().tokenGetInfo(context, tokenIndex, outInfo->data);
    return qelTokenGetInfoLocal(context, tokenIndex, outInfo);
}

QELStatus qelSubmitTokenSecret(QELContext *context, std::int32_t tokenIndex, const void *secret,
                               std::size_t length)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QEL_ENTER();
    if (qelServiceConnected())
        return qelKeysService().tokenSubmitSecret(context, tokenIndex, secret, length);
    return qelTokenSubmitSecretLocal(context, tokenIndex, secret, length);
}

QELStatus qelSetTokenSecret(QELContext *context, std::int32_t tokenIndex, const void *secret,
                            std::size_t length)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QEL_ENTER();
    if (qelServiceConnected())
        return qelKeysService().tokenSetSecret(context, tokenIndex, secret, length);
    return qelTokenSetSecretLocal(context, tokenIndex, secret, length);
}

QELStatus qelReplaceTokenSecret(QELContext *context, std::int32_t tokenIndex, const void *oldSecret,
                                std::size_t oldLength, const void *newSecret, std::size_t newLength)
{
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QEL_ENTER();
    if (qelServiceConnected())
        return qelKeysService().tokenReplaceSecret(context, tokenIndex, oldSecret, oldLength, newSecret,
                                                   newLength);
    return qelTokenReplaceSecretLocal(context, tokenIndex, oldSecret, oldLength);
}

QELStatus qelTokenSetConfigString(const char *config)
{
    QEL_ENTER();
    if (qelServiceConnected())
        return qelKeysService().tokenSetConfigString(config);
    return qelTokenSetConfigStringLocal(config, config != nullptr ? std::strlen(config) + 1 : 0);
}

// ---- numbered properties -----------------------------------------------------------

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using Bytes = std::vector<u8>;

#ifdef QEL_TEST_HOOKS
QELX509ItemProc g_x509ForTesting = nullptr;
#endif

bool isKeyOrSubKey(QELKeyObject *o)
{
    return qelKeyObjIsValid(o) &&
           (qelKeyObjType(o) == QELObjectType_Key || qelKeyObjType(o) == QELObjectType_SubKey);
}

u32 now() { return qelTimeDateNow(); }

// RSA keys above 4096 bits are beyond what this system uses.
bool sizeAcceptable(QELKeyObject *k)
{
    QELKeyInfo *i = qelKeyObjKeyInfo(k);
    return !(i->algorithm <= 3 && i->bits > 4096);
}

struct Locking {
    bool secret = false;
    u8 needsPassphrase = 0, tokenProtected = 0;
    u32 cipher = 0, bits = 0;
};

Locking lockingOf(QELKeyObject *k)
{
    Locking l;
    if (!qelKeyObjIsSecret(k))
        return l;
    QELKeyDB *db = qelKeyObjKeyDB(k);
    QELStatus saved = db ? qelKeyDBGetLastError(db) : QELError_NoErr;
    l.secret = qelKeyObjLockingInfoLocal(k, &l.needsPassphrase, &l.tokenProtected, &l.cipher, &l.bits) ==
               QELError_NoErr;
    if (db)
        qelKeyDBSetLastError(db, saved);
    return l;
}

bool hasDirectSigOfType(QELKeyObject *k, u8 type)
{
    for (QELKeyObject *c = k->firstChild; c != nullptr; c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_Signature && qelSigType(c) == type)
            return true;
    return false;
}

// A designated revoker of the key whose secret is in the database.
bool hasSecretRevoker(QELKeyObject *key)
{
    u32 count = 1;
    for (u32 i = 0; i < count; ++i) {
        u8 cls = 0;
        QELStatus status = QELError_NoErr;
        QELKeyObject *r = qelKeyObjNthRevoker(key, i, nullptr, nullptr, &cls, &count, &status);
        if (status != QELError_NoErr)
            return false;
        if ((cls & 0x80) && r != nullptr && qelKeyObjIsSecret(r))
            return true;
    }
    return false;
}

QELStatus keyBool(QELKeyObject *k, u32 n, bool *out)
{
    QELKeyObject *top = qelKeyObjTopKey(k);
    bool isSub = qelKeyObjType(k) == QELObjectType_SubKey;
    auto revoked = [&] { return qelKeyObjIsRevoked(k) || (isSub && top && qelKeyObjIsRevoked(top)); };
    auto expired = [&] { return qelKeyObjHasExpired(k, now()); };
    auto disabled = [&] { return qelKeyObjIsDisabled(k); };
    auto secret = [&] { return qelKeyObjIsSecret(k); };
    auto encryptionPart = [&] { return (qelKeyObjUsage(k, false, true) & QELPkUsage_Encrypt) != 0; };
    auto signingPart = [&] { return (qelKeyObjUsage(k, false, false) & QELPkUsage_Sign) != 0; };
    switch (n) {
    case 100: *out = secret(); break;
    case 101: *out = qelKeyObjIsAxiomatic(k); break;
    case 102: *out = revoked(); break;
    case 103: *out = disabled(); break;
    case 104: *out = true; break;
    case 105: *out = expired(); break;
    case 106: *out = lockingOf(k).needsPassphrase != 0; break;
    // A subkey is revoked by a subkey revocation (0x28), a key by 0x20.
    case 107: *out = hasDirectSigOfType(k, isSub ? 0x28 : 0x20); break;
    case 108:
        *out = !revoked() && !expired() && !disabled() && sizeAcceptable(k) &&
               qelKeyObjCanServe(k, QELKeyRole_Encrypt);
        break;
    case 109: *out = secret() && sizeAcceptable(k) && encryptionPart(); break;
    case 110: *out = secret() && !revoked() && !expired() && !disabled() && sizeAcceptable(k) && signingPart(); break;
    case 111: *out = sizeAcceptable(k) && signingPart(); break;
    case 112: *out = encryptionPart(); break;
    case 113: *out = signingPart(); break;
    case 114: *out = lockingOf(k).tokenProtected != 0; break;
    case 115: *out = secret() || (top != nullptr && hasSecretRevoker(top)); break;
    case 116: *out = qelKeyObjRevokedByRevoker(k, nullptr, nullptr, nullptr, nullptr); break;
    case 117: *out = qelKeyObjHasValidCRL(k); break;
    case 118: *out = qelKeyObjIsOnToken(k); break;
    default: return QELError_UnknownProperty;
    }
    return QELError_NoErr;
}

// Up to four octets of a self-signature subpacket, the first one lowest.
QELStatus subpacketFlags(QELKeyObject *k, u32 type, std::int32_t *out)
{
    u32 length = 0;
    const u8 *d = qelKeyObjFindSelfSigSubpacket(k, type, 0, &length, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (d == nullptr)
        return QELError_UnknownProperty;
    u32 v = 0;
    for (u32 b = 0; b < length && b < 4; ++b)
        v |= u32(d[b]) << (8 * b);
    *out = std::int32_t(v);
    return QELError_NoErr;
}

QELStatus userIDValidity(QELKeyObject *u, std::int32_t *out)
{
    QELKeyObject *key = qelKeyObjTopKey(u);
    if (key != nullptr && qelKeyObjIsRevoked(key))
        *out = 1;
    else if (key != nullptr && qelKeyObjIsAxiomatic(key))
        *out = 3;
    else
        *out = qelKeyObjUserIDInfo(u)->nameTrust & 3;
    return QELError_NoErr;
}

std::uint16_t keyTrustValue(QELKeyObject *key)
{
    std::vector<u8> bytes;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_UserID)
            bytes.push_back(qelKeyObjUserIDInfo(c)->ownerTrust);
    double p = qelTrustOwnerProbability(bytes.data(), bytes.size(), qelKeyObjKeyInfo(key)->trustSigTrust);
    return p >= 1.0 ? 0xFFFF : qelTrustValueFromRatio(1.0 / (1.0 - p));
}

QELStatus keyNumber(QELKeyObject *k, u32 n, std::int32_t *out)
{
    QELKeyInfo *i = qelKeyObjKeyInfo(k);
    switch (n) {
    case 200: *out = qelKeyIDNormaliseAlgorithm(i->algorithm); return QELError_NoErr;
    case 201: *out = i->bits; return QELError_NoErr;
    case 202: return qel::noThrow([&] {
        QELKeyObject *top = qelKeyObjTopKey(k);
        QELSettings *settings = qelContextGetSettings(qelKeyObjContext(k));
        *out = std::int32_t(qelTrustByteToLevel(settings, qelTrustValueToByte(keyTrustValue(top ? top : k))));
        return QELError_NoErr;
    });
    case 203: {
        QELKeyObject *primary = qelKeyObjPrimaryUserID(qelKeyObjTopKey(k), 0);
        return primary ? userIDValidity(primary, out) : QELError_NoErr;
    }
    case 204: case 205: {
        Locking l = lockingOf(k);
        if (!l.secret)
            return QELError_UnknownProperty;
        *out = std::int32_t(n == 204 ? l.cipher : l.bits);
        return QELError_NoErr;
    }
    case 206: return subpacketFlags(k, 27, out);
    case 207:
        *out = qelKeyObjKeyVersion(k) < 4
                   ? qelSettingsGetInt(qelContextGetSettings(qelKeyObjContext(k)), QELSetting_HashAlgorithm,
                                       nullptr, nullptr)
                   : 2;
        return QELError_NoErr;
    case 208: *out = qelKeyObjKeyVersion(k); return QELError_NoErr;
    case 209: return subpacketFlags(k, 23, out);
    case 210: *out = (i->infoFlags & QELKeyInfo_OnToken) ? i->tokenSlot : -1; return QELError_NoErr;
    default: return QELError_UnknownProperty;
    }
}

QELStatus keyTime(QELKeyObject *k, u32 n, u32 *out)
{
    switch (n) {
    case 300: *out = qelKeyObjCreation(k); return QELError_NoErr;
    case 301: *out = qelKeyObjExpiration(k); return QELError_NoErr;
    case 302: case 303: {
        QELKeyObject *crl = qelKeyObjEarliestCRL(k, n == 303);
        if (crl == nullptr)
            return QELError_UnknownProperty;
        *out = n == 302 ? qelKeyObjCRLInfo(crl)->thisUpdate : qelKeyObjCRLInfo(crl)->nextUpdate;
        return QELError_NoErr;
    }
    default: return QELError_UnknownProperty;
    }
}

// A data property: its bytes and how the certificate items differ.
struct DataValue {
    Bytes bytes;
    bool lengthQueryIsAnswer = false; // 406 and the certificate items
    int allocTail = 2;                // zero octets behind an allocated copy
};

void assign(DataValue &v, const void *p, std::size_t n)
{
    const u8 *b = static_cast<const u8 *>(p);
    v.bytes.assign(b, b + n);
}

// A certificate item through the toolkit (or the test's stand-in).
QELStatus x509Item(u32 property, const u8 *der, std::size_t length, u8 *buffer, std::size_t *inOutLength)
{
#ifdef QEL_TEST_HOOKS
    if (g_x509ForTesting != nullptr)
        return g_x509ForTesting(property, der, length, buffer, inOutLength);
#endif
    switch (property) {
    case 1602: return qelX509GetIssuerAndSerial(der, length, buffer, inOutLength);
    case 1603: return qelX509GetNameText(der, length, false, buffer, inOutLength);
    case 1604: return qelX509GetNameText(der, length, true, buffer, inOutLength);
    case 1605: return qelX509GetSubjectAltName(der, length, 0, buffer, inOutLength);
    case 1606: return qelX509GetSubjectAltName(der, length, 1, buffer, inOutLength);
    default: return qelX509GetNameDER(der, length, false, buffer, inOutLength);
    }
}

QELStatus measuredItem(DataValue &v, u32 property, const u8 *der, std::size_t length)
{
    std::size_t n = 0;
    QELStatus s = x509Item(property, der, length, nullptr, &n);
    if (s < 0)
        return s;
    v.bytes.resize(n);
    if (n != 0) {
        s = x509Item(property, der, length, v.bytes.data(), &n);
        if (s < 0)
            return s;
        v.bytes.resize(n);
    }
    return QELError_NoErr;
}

// The public material of a key or subkey (secret parts left out).
QELStatus publicMaterial(QELKeyObject *k, DataValue &v)
{
    std::size_t length = 0;
    const u8 *material = qelKeyObjKeyMaterial(k, &length);
    if (material == nullptr)
        return QELError_UnknownProperty;
    std::size_t packetLength = 0;
    const u8 *packet = qelKeyObjRawPacket(k, &packetLength);
    std::size_t publicEnd = qelKeyPacketPublicLength(packet, packetLength);
    std::size_t start = std::size_t(material - packet);
    if (publicEnd > start && publicEnd - start < length)
        length = publicEnd - start;
    assign(v, material, length);
    return QELError_NoErr;
}

QELStatus keyData(QELKeyObject *k, u32 n, bool lengthOnly, DataValue &v)
{
    switch (n) {
    case 401: {
        u8 fpr[20];
        bool v3 = qelKeyObjKeyVersion(k) < 4;
        QELStatus s = v3 ? qelKeyObjFingerprintV3(k, fpr) : qelKeyObjFingerprint(k, fpr);
        if (s < 0)
            return s;
        assign(v, fpr, v3 ? 16 : 20);
        return QELError_NoErr;
    }
    case 402: {
        QELKeyID id{};
        qelKeyObjGetKeyID(k, nullptr, &id);
        assign(v, &id, sizeof id);
        return QELError_NoErr;
    }
    case 403: {
        u32 length = 0;
        const u8 *d = qelKeyObjFindSelfSigSubpacket(k, 11, 0, &length, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (d == nullptr)
            return QELError_UnknownProperty;
        for (u32 b = 0; b < length; ++b) {
            std::int32_t wide = d[b];
            const u8 *w = reinterpret_cast<const u8 *>(&wide);
            v.bytes.insert(v.bytes.end(), w, w + 4);
        }
        return QELError_NoErr;
    }
    case 404: {
        QELKeyID id{};
        if (!qelKeyObjRevokedByRevoker(k, nullptr, nullptr, &id, nullptr))
            return QELError_BadParams;
        assign(v, qelKeyIDAtBytes(&id) + 4, 4);
        return QELError_NoErr;
    }
    case 405: return publicMaterial(k, v);
    case 406: {
        v.lengthQueryIsAnswer = true;
        if (lengthOnly) {
            v.bytes.resize(16);
            return QELError_NoErr;
        }
        QELContext *context = qelKeyObjContext(k);
        DataValue spki;
        std::size_t length = 0;
        QELStatus s;
#ifdef QEL_TEST_HOOKS
        if (g_x509ForTesting != nullptr) {
            s = g_x509ForTesting(406, nullptr, 0, nullptr, &length);
            spki.bytes.resize(length);
            if (s >= 0)
                s = g_x509ForTesting(406, nullptr, 0, spki.bytes.data(), &length);
        } else
#endif
        {
            s = qelX509KeyToSubjectPublicKeyInfo(context, k, nullptr, &length);
            spki.bytes.resize(length);
            if (s >= 0)
                s = qelX509KeyToSubjectPublicKeyInfo(context, k, spki.bytes.data(), &length);
        }
        if (s < 0)
            return s;
        QELMD5State md5;
        qelMD5Init(&md5);
        qelMD5Update(&md5, spki.bytes.data(), length);
        assign(v, qelMD5Final(&md5), 16);
        return QELError_NoErr;
    }
    case 407: {
        u32 length = 0;
        const u8 *d = qelKeyObjFindSelfSigSubpacket(k, 24, 0, &length, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (d == nullptr)
            return QELError_UnknownProperty;
        assign(v, d, length);
        return QELError_NoErr;
    }
    default: return QELError_UnknownProperty;
    }
}

// ---- user IDs

std::string_view userIDText(QELKeyObject *u)
{
    std::size_t n = 0;
    const u8 *t = qelUserIDText(u, &n);
    return t ? std::string_view(reinterpret_cast<const char *>(t), n) : std::string_view();
}

QELStatus userIDNumber(QELKeyObject *u, u32 n, std::int32_t *out)
{
    switch (n) {
    case 1000: return userIDValidity(u, out);
    case 1001: *out = qelTrustByteToValue(qelKeyObjUserIDInfo(u)->ownerTrust); return QELError_NoErr;
    case 1002: {
        u8 type = 0;
        if (qelUserIDIsAttribute(u) && qelUserIDAttribute(u, 0, &type, nullptr, nullptr) != nullptr)
            *out = type;
        return QELError_NoErr;
    }
    default: return QELError_UnknownProperty;
    }
}

QELStatus userIDData(QELKeyObject *u, u32 n, DataValue &v)
{
    bool attribute = qelUserIDIsAttribute(u);
    if (n == 1201) {
        u32 length = 0;
        const u8 *d = attribute ? qelUserIDAttribute(u, 0, nullptr, &length, nullptr) : nullptr;
        if (d == nullptr)
            return QELError_UnknownProperty;
        assign(v, d, length);
        return QELError_NoErr;
    }
    if (n < 1200 || n > 1203 || attribute)
        return QELError_UnknownProperty;
    std::string_view text = userIDText(u);
    std::size_t open = text.find('<');
    if (n == 1202) {
        std::string_view name = text.substr(0, open);
        if (open != std::string_view::npos)
            while (!name.empty() && name.back() == ' ')
                name.remove_suffix(1);
        text = name;
    } else if (n == 1203) {
        if (open == std::string_view::npos)
            return QELError_UnknownProperty;
        std::string_view rest = text.substr(open + 1);
        text = rest.substr(0, rest.find('>'));
    }
    assign(v, text.data(), text.size());
    return QELError_NoErr;
}

// ---- signatures

QELStatus sigBool(QELKeyObject *s, u32 n, bool *out)
{
    QELSigInfo *i = qelKeyObjSigInfo(s);
    switch (n) {
    case 1300: *out = qelSigIsRevoked(s); break;
    case 1301: *out = true; break;
    case 1302: *out = qelSigIsChecked(s); break;
    case 1303: *out = qelSigIsValid(s); break;
    case 1304: {
        QELKeyObject *signer = qelSigSigner(s);
        *out = qelKeyObjIsLive(signer) && isKeyOrSubKey(signer) && qelKeyObjIsSecret(signer);
        break;
    }
    case 1305: *out = qelSigIsExportable(s); break;
    case 1306: {
        *out = qelSigIsRevoked(s);
        auto *parent = static_cast<QELKeyObject *>(s->parent);
        QELKeyID mine{};
        qelSigGetSignerKeyID(s, nullptr, &mine);
        for (QELKeyObject *c = qelKeyObjIsValid(parent) ? parent->firstChild : nullptr; c && !*out; c = c->next) {
            if (c == s || !qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_Signature ||
                qelSigType(c) != 0x30 || qelSigCreation(c) < i->creation)
                continue;
            QELKeyID other{};
            qelSigGetSignerKeyID(c, nullptr, &other);
            *out = qelKeyIDEqual(mine, other);
        }
        break;
    }
    case 1307: {
        u32 e = qelSigExpiration(s);
        *out = e != 0 && e < now();
        break;
    }
    case 1308: *out = qelKeyObjSigIsX509(s); break;
    default: return QELError_UnknownProperty;
    }
    return QELError_NoErr;
}

QELStatus sigNumber(QELKeyObject *s, u32 n, std::int32_t *out)
{
    switch (n) {
    case 1400: {
        u8 algorithm = 0;
        QELKeyID id{};
        qelSigGetSignerKeyID(s, &algorithm, &id);
        *out = qelKeyIDNormaliseAlgorithm(algorithm);
        return QELError_NoErr;
    }
    case 1401: *out = qelSigTrustDepth(s); return QELError_NoErr;
    case 1402: *out = qelSigTrustAmount(s); return QELError_NoErr;
    default: return QELError_UnknownProperty;
    }
}

QELStatus sigData(QELKeyObject *s, u32 n, DataValue &v)
{
    if (n == 1600) {
        if (qelKeyObjIsX509NameEntry(qelSigSigner(s)))
            return QELError_UnknownProperty;
        QELKeyID id{};
        qelSigGetSignerKeyID(s, nullptr, &id);
        assign(v, &id, sizeof id);
        return QELError_NoErr;
    }
    if (n == 1608) {
        if (!qelSigHasRegExp(s))
            return QELError_UnknownProperty;
        std::size_t length = 0;
        const u8 *packet = qelKeyObjRawPacket(s, &length);
        u32 dataLength = 0;
        const u8 *d = packet ? qelSigSubpacketFind(packet, length, 6, 0, &dataLength, nullptr, nullptr,
                                                   nullptr, nullptr)
                             : nullptr;
        if (d == nullptr)
            return QELError_UnknownProperty;
        if (dataLength != 0 && d[dataLength - 1] == 0)
            --dataLength;
        assign(v, d, dataLength);
        return QELError_NoErr;
    }
    if (n < 1601 || n > 1607)
        return QELError_UnknownProperty;
    std::size_t derLength = 0;
    const u8 *der = qelKeyObjSigX509Data(s, &derLength);
    if (der == nullptr)
        return QELError_UnknownProperty;
    if (n == 1601) {
        assign(v, der, derLength);
        return QELError_NoErr;
    }
    v.lengthQueryIsAnswer = true;
    v.allocTail = (n >= 1603 && n <= 1606) ? 1 : 0;
    QELStatus st = measuredItem(v, n, der, derLength);
    if (st < 0)
        return st;
    if ((n == 1605 || n == 1606) && v.bytes.empty())
        return QELError_BadParams;
    return QELError_NoErr;
}

// ---- routing

enum class Kind { Bool, Number, Time, Data };

// The key property a subkey number stands for; 0 when none.
u32 subKeyMapping(Kind kind, u32 n)
{
    static constexpr u32 bools[] = {102, 104, 105, 106, 107, 115, 116, 118};
    static constexpr u32 numbers[] = {200, 201, 204, 205, 208, 206};
    static constexpr u32 times[] = {300, 301};
    static constexpr u32 data[] = {405, 402};
    auto pick = [n](const auto &table, u32 base) -> u32 {
        return n >= base && n - base < std::size(table) ? table[n - base] : 0;
    };
    switch (kind) {
    case Kind::Bool: return pick(bools, 501);
    case Kind::Number: return pick(numbers, 600);
    case Kind::Time: return pick(times, 700);
    case Kind::Data: return pick(data, 800);
    }
    return 0;
}

enum class Range { Generic, Key, SubKey, UserID, Signature };

Range rangeOf(Kind kind, u32 n)
{
    if (n < 100)
        return kind == Kind::Number ? Range::Generic : Range::Key;
    if (n < 500)
        return Range::Key;
    if (n < 900)
        return Range::SubKey;
    if (n >= 1300)
        return Range::Signature;
    return Range::UserID;
}

// The range's checks; on success the property number to read on the object.
QELStatus checkRange(QELKeyObject *o, Kind kind, Range range, u32 *n)
{
    if (!qelKeyObjIsValid(o))
        return QELError_BadParams;
    int type = qelKeyObjType(o);
    switch (range) {
    case Range::Generic: return QELError_NoErr;
    case Range::Key:
        return isKeyOrSubKey(o) ? QELError_NoErr : QELError_BadParams;
    case Range::SubKey:
        if (type != QELObjectType_SubKey)
            return QELError_BadParams;
        if (kind == Kind::Data && qelKeyObjIsDeleted(o))
            return QELError_DeadKeyObject;
        *n = subKeyMapping(kind, *n);
        return *n != 0 ? QELError_NoErr : QELError_UnknownProperty;
    case Range::UserID:
        if (type != QELObjectType_UserID)
            return QELError_BadParams;
        return qelKeyObjIsDeleted(o) ? QELError_DeadKeyObject : QELError_NoErr;
    case Range::Signature:
        if (type != QELObjectType_Signature)
            return QELError_BadParams;
        return qelKeyObjIsDeleted(o) ? QELError_DeadKeyObject : QELError_NoErr;
    }
    return QELError_BadParams;
}

// Fills v with a data property; lengthOnly lets 406 answer without hashing.
QELStatus dataProperty(QELKeyObject *o, u32 n, bool lengthOnly, DataValue &v, Range *outRange)
{
    Range range = rangeOf(Kind::Data, n);
    *outRange = range;
    QELStatus s = checkRange(o, Kind::Data, range, &n);
    if (s != QELError_NoErr)
        return s;
    try {
        switch (range) {
        case Range::Key: case Range::SubKey: return keyData(o, n, lengthOnly, v);
        case Range::UserID: return userIDData(o, n, v);
        case Range::Signature: return sigData(o, n, v);
        default: return QELError_UnknownProperty;
        }
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    }
}

} // namespace

QELStatus qelKeyObjBoolPropertyLocal(QELKeyObject *object, u32 property, u8 *outValue)
{
    qel::clearOut(outValue);
    if (outValue == nullptr)
        return QELError_BadParams;
    Range range = rangeOf(Kind::Bool, property);
    QELStatus s = checkRange(object, Kind::Bool, range, &property);
    if (s != QELError_NoErr)
        return s;
    bool value = false;
    switch (range) {
    case Range::Key: case Range::SubKey: s = keyBool(object, property, &value); break;
    case Range::UserID:
        s = property == 900 ? QELError_NoErr : QELError_UnknownProperty;
        value = property == 900 && qelUserIDIsAttribute(object);
        break;
    case Range::Signature: s = sigBool(object, property, &value); break;
    default: s = QELError_UnknownProperty; break;
    }
    if (s == QELError_NoErr)
        *outValue = value ? 1 : 0;
    return s;
}

QELStatus qelKeyObjNumberPropertyLocal(QELKeyObject *object, u32 property, std::int32_t *outValue)
{
    qel::clearOut(outValue);
    if (outValue == nullptr)
        return QELError_BadParams;
    Range range = rangeOf(Kind::Number, property);
    QELStatus s = checkRange(object, Kind::Number, range, &property);
    if (s != QELError_NoErr)
        return s;
    std::int32_t value = 0;
    switch (range) {
    case Range::Generic: {
        if (property != 20)
            return QELError_UnknownProperty;
        static constexpr std::int32_t bits[] = {0, 1, 2, 4, 8, 0, 0};
        int type = qelKeyObjType(object);
        value = type >= 0 && type < int(std::size(bits)) ? bits[type] : 0;
        break;
    }
    case Range::Key: case Range::SubKey: s = keyNumber(object, property, &value); break;
    case Range::UserID: s = userIDNumber(object, property, &value); break;
    case Range::Signature: s = sigNumber(object, property, &value); break;
    }
    if (s == QELError_NoErr)
        *outValue = value;
    return s;
}

QELStatus qelKeyObjTimePropertyLocal(QELKeyObject *object, u32 property, u32 *outValue)
{
    qel::clearOut(outValue);
    if (outValue == nullptr)
        return QELError_BadParams;
    Range range = rangeOf(Kind::Time, property);
    if (range == Range::UserID)
        return QELError_BadParams;
    QELStatus s = checkRange(object, Kind::Time, range, &property);
    if (s != QELError_NoErr)
        return s;
    u32 value = 0;
    if (range == Range::Signature) {
        if (property == 1500)
            value = qelSigCreation(object);
        else if (property == 1501)
            value = qelSigExpiration(object);
        else
            s = QELError_UnknownProperty;
    } else {
        s = keyTime(object, property, &value);
    }
    if (s == QELError_NoErr)
        *outValue = value;
    return s;
}

QELStatus qelKeyObjDataPropertyLocal(QELKeyObject *object, u32 property, void *buffer, std::size_t size,
                                     std::size_t *outLength)
{
    qel::clearOut(outLength);
    if (outLength == nullptr || (buffer == nullptr && size != 0))
        return QELError_BadParams;
    DataValue v;
    Range range = Range::Key;
    QELStatus s = dataProperty(object, property, buffer == nullptr, v, &range);
    if (buffer != nullptr && range != Range::UserID)
        std::memset(buffer, 0, size);
    if (s != QELError_NoErr)
        return s;
    *outLength = v.bytes.size();
    if (buffer == nullptr)
        return v.bytes.empty() || v.lengthQueryIsAnswer ? QELError_NoErr : QELError_BufferTooSmall;
    // Certificate items too answer a buffer that is too small as such,
    // never with a silently cut value.
    return qelPropertyDataCopy(v.bytes.data(), buffer, v.bytes.size(), size);
}

QELStatus qelKeyObjDataPropertyAllocLocal(QELKeyObject *object, u32 property, void **outBuffer,
                                          std::size_t *outLength)
{
    qel::clearOut(outBuffer);
    qel::clearOut(outLength);
    if (outBuffer == nullptr || outLength == nullptr)
        return QELError_BadParams;
    DataValue v;
    Range range = Range::Key;
    QELStatus s = dataProperty(object, property, false, v, &range);
    if (s != QELError_NoErr)
        return s;
    QELContext *context = qelKeyObjContext(object);
    if (v.allocTail == 2) {
        s = qelPropertyDataAlloc(context, v.bytes.data(), v.bytes.size(), outBuffer);
    } else {
        if (v.bytes.empty())
            return QELError_UnknownProperty;
        auto *block = static_cast<u8 *>(qelContextMemAlloc(context, v.bytes.size() + std::size_t(v.allocTail), 0));
        if (block == nullptr)
            return QELError_OutOfMemory;
        std::memcpy(block, v.bytes.data(), v.bytes.size());
        if (v.allocTail == 1)
            block[v.bytes.size()] = 0;
        *outBuffer = block;
    }
    if (s == QELError_NoErr)
        *outLength = v.bytes.size();
    return s;
}

QELStatus qelKeyCheckUsable(QELKeyObject *key)
{
    u8 value = 0;
    if (qelKeyObjBoolPropertyLocal(key, 102, &value) == QELError_NoErr && value)
        return QELError_KeyRevoked;
    if (qelKeyObjBoolPropertyLocal(key, 105, &value) == QELError_NoErr && value)
        return QELError_KeyExpired;
    return QELError_NoErr;
}

QELStatus qelKeyObjGetBoolProperty(QELKeyObject *object, u32 property, u8 *outValue)
{
    QEL_ENTER(outValue);
    return qelKeyObjBoolPropertyLocal(object, property, outValue);
}

QELStatus qelKeyObjGetNumberProperty(QELKeyObject *object, u32 property, std::int32_t *outValue)
{
    QEL_ENTER(outValue);
    return qelKeyObjNumberPropertyLocal(object, property, outValue);
}

QELStatus qelKeyObjGetTimeProperty(QELKeyObject *object, u32 property, u32 *outValue)
{
    QEL_ENTER(outValue);
    return qelKeyObjTimePropertyLocal(object, property, outValue);
}

QELStatus qelKeyObjGetDataProperty(QELKeyObject *object, u32 property, void *buffer, std::size_t size,
                                   std::size_t *outLength)
{
    QEL_ENTER(outLength);
    return qelKeyObjDataPropertyLocal(object, property, buffer, size, outLength);
}

QELStatus qelKeyObjGetDataPropertyAlloc(QELKeyObject *object, u32 property, void **outBuffer,
                                        std::size_t *outLength)
{
    QEL_ENTER(outBuffer, outLength);
    return qelKeyObjDataPropertyAllocLocal(object, property, outBuffer, outLength);
}

QELStatus qelKeyGetPrimaryUserIDName(QELKeyObject *key, void *buffer, std::size_t size, std::size_t *outLength)
{
    QEL_ENTER(outLength);
    if (!qelKeyObjIsKey(key) || outLength == nullptr)
        return QELError_BadParams;
    QELKeyObject *primary = qelKeyObjPrimaryUserID(key, 0);
    if (primary == nullptr)
        return QELError_ItemNotFound;
    return qelKeyObjDataPropertyLocal(primary, 1200, buffer, size, outLength);
}

QELStatus qelKeyGetValidity(QELKeyObject *key, std::int32_t *outValidity)
{
    QEL_ENTER(outValidity);
    if (!qelKeyObjIsKey(key) || outValidity == nullptr)
        return QELError_BadParams;
    QELKeyObject *primary = qelKeyObjPrimaryUserID(key, 0);
    if (primary == nullptr)
        return QELError_ItemNotFound;
    return qelKeyObjNumberPropertyLocal(primary, 1000, outValidity);
}

#ifdef QEL_TEST_HOOKS
void qelKeyPropertySetX509ForTesting(QELX509ItemProc proc) { g_x509ForTesting = proc; }
#endif

// ---- key management operations -------------------------------------------------------

namespace {

bool isRemote(QELKeyObject *object)
{
    QELKeyDB *db = qelKeyObjKeyDB(object);
    return db != nullptr && qelKeyDBIsRemote(db);
}

// Propagation over the root set of the object's database; QELError_NoKeyDB
// without one.
QELStatus propagateOver(QELKeyObject *object)
{
    QELKeyDB *db = qelKeyObjKeyDB(object);
    if (db == nullptr)
        return QELError_NoKeyDB;
    if (qelKeyDBIsRemote(db))
        return qelKeysService().trustPropagate(qelKeyDBRootSet(db), nullptr, qelTrustNow());
    return qelTrustPropagateLocal(qelKeyDBRootSet(db), nullptr, qelTrustNow(), nullptr);
}

// After a service call that returned no key tree: the object is fetched
// again on its next use.
void refetchLater(QELKeyObject *object)
{
    qelKeyObjMarkNotLoaded(object, false);
    if (QELKeyDB *db = qelKeyObjKeyDB(object))
        qelKeyDBMarkChanged(db, false);
}

// An edit runs where the key's database lives: through the service for a
// mirrored one (the key is then fetched again on its next use), else here.
// Trust is propagated once the edit has succeeded.
template <class Remote, class Local>
QELStatus editThenPropagate(QELKeyObject *key, Remote remote, Local local)
{
    if (isRemote(key)) {
        const QELStatus s = remote();
        if (s != QELError_NoErr)
            return s;
        refetchLater(key);
    } else if (const QELStatus s = qel::noThrow(local); s != QELError_NoErr) {
        return s;
    }
    return propagateOver(key);
}

u32 algorithmUsage(QELKeyObject *key)
{
    return qelPkAlgGetUsage(qelPkAlgFind(qelKeyObjKeyInfo(key)->algorithm));
}

} // namespace

QELStatus qelKeyFindPrimaryUserIDOfKind(QELKeyObject *key, std::int32_t kind, QELKeyObject **outUserID)
{
    qel::clearOut(outUserID);
    if (!qelKeyObjIsKey(key) || outUserID == nullptr || kind < 0)
        return QELError_BadParams;
    QELKeyObject *primary = qelKeyObjPrimaryUserID(key, kind);
    if (primary == nullptr || !qelKeyObjIsLive(primary))
        return QELError_ItemNotFound;
    *outUserID = primary;
    return QELError_NoErr;
}

QELStatus qelKeyObjGetUserValue(QELKeyObject *object, void **outValue)
{
    qel::clearOut(outValue);
    if (!qelKeyObjIsValid(object) || outValue == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    *outValue = object->userValue;
    return QELError_NoErr;
}

QELStatus qelKeyObjSetUserValue(QELKeyObject *object, void *value)
{
    if (!qelKeyObjIsValid(object))
        return QELError_BadParams;
    QEL_ENTER();
    object->userValue = value;
    return QELError_NoErr;
}

QELStatus qelKeyGetPrimaryUserIDOfKind(QELKeyObject *key, std::int32_t kind, QELKeyObject **outUserID)
{
    qel::clearOut(outUserID);
    if (!qelKeyObjIsKey(key) || outUserID == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    return qelKeyFindPrimaryUserIDOfKind(key, kind, outUserID);
}

QELStatus qelKeyGetPrimaryUserID(QELKeyObject *key, QELKeyObject **outUserID)
{
    qel::clearOut(outUserID);
    if (!qelKeyObjIsKey(key) || outUserID == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    return qelKeyFindPrimaryUserIDOfKind(key, 0, outUserID);
}

QELStatus qelKeyPickForUsage(QELKeyObject *key, u32 usage, QELKeyObject **outObject)
{
    qel::clearOut(outObject);
    if (!qelKeyObjIsKey(key) || outObject == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    const bool sign = (usage & 0x3) != 0;
    const bool encrypt = (usage & 0xC) != 0;
    if (!sign && !encrypt)
        return QELError_BadParams;
    QELKeyObject *subKey = qelKeyObjNewestUsableSubKey(key, nullptr);
    QELKeyObject *chosen = key;
    u32 needed = 0;
    if (sign && encrypt) {
        if (subKey != nullptr)
            return QELError_AlgorithmCannotDoThis;
        needed = QELPkUsage_Sign | QELPkUsage_Encrypt;
    } else if (encrypt) {
        if (subKey != nullptr)
            chosen = subKey;
        needed = QELPkUsage_Encrypt;
    } else {
        needed = QELPkUsage_Sign;
    }
    if ((algorithmUsage(chosen) & needed) != needed)
        return QELError_AlgorithmCannotDoThis;
    *outObject = chosen;
    return QELError_NoErr;
}

QELStatus qelKeyObjRemove(QELKeyObject *object)
{
    if (!qelKeyObjIsValid(object))
        return QELError_BadParams;
    QEL_ENTER();
    if (qelKeyObjIsDeleted(object))
        return QELError_DeadKeyObject;
    QELKeyDB *db = qelKeyObjKeyDB(object);
    if (db == nullptr)
        return QELError_NoKeyDB;
    QELStatus s = qelKeyDBRemoveObject(db, object);
    if (s != QELError_NoErr)
        return s;
    qelKeyDBMarkChanged(db, true);
    // The removal stands; a failed propagation leaves validities stale until
    // the next one (a commit propagates again), and the caller hears of it.
    if (!qelKeyDBIsRemote(db))
        return qelTrustPropagateLocal(qelKeyDBRootSet(db), nullptr, qelTrustNow(), nullptr);
    return QELError_NoErr;
}

QELStatus qelKeySetOwnerTrust(QELKeyObject *key, std::int32_t level)
{
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    QEL_ENTER();
    if (level < 1 || level > 6 || qelKeyObjIsAxiomatic(key))
        return QELError_BadParams;
    QELStatus s = qelKeyCheckUsable(key);
    if (s != QELError_NoErr)
        return s;
    if (qelKeyObjKeyDB(key) == nullptr)
        return QELError_NoKeyDB;
    return editThenPropagate(
        key, [&] { return qelKeysService().keySetOwnerTrust(key, level); },
        [&] { return qelKeySetOwnerTrustLocal(key, u32(level)); });
}

QELStatus qelKeySetEnabled(QELKeyObject *key, std::int32_t enable)
{
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    QEL_ENTER();
    QELStatus s = qelKeyCheckUsable(key);
    if (s != QELError_NoErr)
        return s;
    if (qelKeyObjKeyDB(key) == nullptr)
        return QELError_BadParams;
    return editThenPropagate(
        key, [&] { return qelKeysService().keySetEnabled(key, enable); },
        [&] { return enable != 0 ? qelKeyEnableLocal(key) : qelKeyDisableLocal(key); });
}

QELStatus qelKeyGetCRLDistributionPoints(QELKeyObject *key, u32 *outCount, u8 **outBuffer,
                                         std::uint64_t **outLengths)
{
    qel::clearOut(outCount);
    qel::clearOut(outBuffer);
    qel::clearOut(outLengths);
    if (!qelKeyObjIsKey(key) || outCount == nullptr || outBuffer == nullptr || outLengths == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    return qelKeyCollectCRLDistributionPoints(qelContextMemoryMgr(qelKeyObjContext(key)), key, outCount,
                                              outBuffer, outLengths);
}

QELStatus qelKeyGetSubpacket10Key(QELKeyObject *key, u32 index, QELKeyObject **outKey, QELKeyID *outID,
                                  u8 *outClass)
{
    qel::clearOut(outKey);
    qel::clearOut(outID);
    qel::clearOut(outClass);
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    QEL_ENTER();
    u8 algorithm = 0;
    QELKeyID id{};
    u8 cls = 0;
    QELStatus s = QELError_NoErr;
    QELKeyObject *found = qelKeyObjNthSubpacket10Key(key, index, &algorithm, &id, &cls, nullptr, &s);
    if (s != QELError_NoErr)
        return s;
    if (outKey != nullptr)
        *outKey = found;
    if (outID != nullptr)
        *outID = id;
    if (outClass != nullptr)
        *outClass = cls;
    return QELError_NoErr;
}

QELStatus qelKeyCountSubpacket10Keys(QELKeyObject *key, u32 *outCount)
{
    qel::clearOut(outCount);
    if (!qelKeyObjIsKey(key) || outCount == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    u32 count = 0;
    QELStatus s = QELError_NoErr;
    static_cast<void>(qelKeyObjNthSubpacket10Key(key, 0, nullptr, nullptr, nullptr, &count, &s));
    if (s != QELError_NoErr && s != QELError_ItemNotFound)
        return s;
    *outCount = count;
    return QELError_NoErr;
}

QELStatus qelKeyFindIssuerCertificate(QELKeyObject *sig, QELKeyDB *second, QELKeyObject **outSig)
{
    qel::clearOut(outSig);
    if (!qelKeyObjIsSignature(sig) || outSig == nullptr || (second != nullptr && !qelKeyDBIsValid(second)))
        return QELError_BadParams;
    QEL_ENTER();
    if (qelKeyObjIsDeleted(sig))
        return QELError_DeadKeyObject;
    u8 isX509 = 0;
    QELStatus s = qelKeyObjBoolPropertyLocal(sig, QELProperty_SigIsX509, &isX509);
    if (s != QELError_NoErr)
        return s;
    if (!isX509)
        return QELError_BadParams;
    QELKeyObject *signer = nullptr;
    s = qelSigFindSigner(sig, second, &signer);
    if (s != QELError_NoErr)
        return s;
    QELContext *context = qelKeyObjContext(sig);
    auto freeBlock = [context](void *p) {
        if (p != nullptr)
            static_cast<void>(qelContextMemFree(context, p)); // our own block
    };
    void *issuer = nullptr;
    std::size_t issuerLength = 0;
    s = qelKeyObjDataPropertyAllocLocal(sig, QELProperty_X509IssuerText, &issuer, &issuerLength);
    if (s != QELError_NoErr)
        return s;
    for (QELKeyObject *u = signer->firstChild; u != nullptr && s == QELError_NoErr; u = u->next) {
        if (!qelKeyObjIsLive(u) || qelKeyObjType(u) != QELObjectType_UserID)
            continue;
        for (QELKeyObject *c = u->firstChild; c != nullptr; c = c->next) {
            if (!qelKeyObjIsLive(c) || qelKeyObjType(c) != QELObjectType_Signature)
                continue;
            u8 x509 = 0;
            if (qelKeyObjBoolPropertyLocal(c, QELProperty_SigIsX509, &x509) != QELError_NoErr || !x509)
                continue;
            void *subject = nullptr;
            std::size_t subjectLength = 0;
            s = qelKeyObjDataPropertyAllocLocal(c, QELProperty_X509SubjectText, &subject, &subjectLength);
            if (s != QELError_NoErr)
                break;
            const bool same = subjectLength == issuerLength &&
                              std::memcmp(subject, issuer, issuerLength) == 0;
            freeBlock(subject);
            if (same) {
                *outSig = c;
                freeBlock(issuer);
                return QELError_NoErr;
            }
        }
    }
    freeBlock(issuer);
    return s != QELError_NoErr ? s : QELError_ItemNotFound;
}

// ---- option-list front ends ----------------------------------------------------------

namespace {

template <std::size_t N>
QELStatus checkKinds(QELOptionList *options, const std::int32_t (&kinds)[N])
{
    return qelOptionListCheckTypes(options, kinds, u32(N));
}

constexpr std::int32_t kPassKinds[] = {QELOption_Passphrase, QELOption_Passkey, QELOption_CachePassphrase};

QELStatus passphraseToPasskey(QELKeyObject *object, QELOptionList *options, u8 *outPasskey)
{
    void *secret = nullptr;
    std::uint64_t length = 0;
    QELStatus s = qelOptionListGetValues(options, QELOption_Passphrase, true, "%p%l", &secret, &length);
    if (s != QELError_NoErr)
        return s;
    if (isRemote(object))
        return qelKeysService().keyPassphraseToPasskey(object, secret, std::size_t(length), outPasskey);
    return qelKeyPassphraseToPasskeyLocal(object, secret, std::size_t(length), outPasskey);
}

} // namespace

QELStatus qelOptionListReadPassArgs(QELOptionList *options, QELPassArgs &pass)
{
    pass = QELPassArgs{};
    void *secret = nullptr;
    std::uint64_t length = 0;
    QELStatus s = qelOptionListGetValues(options, QELOption_Passphrase, false, "%p%l", &secret, &length);
    if (s == QELError_NoErr && secret == nullptr) {
        length = 0;
        s = qelOptionListGetValues(options, QELOption_Passkey, false, "%p%l", &secret, &length);
        pass.isPasskey = secret != nullptr ? 1 : 0;
    }
    if (s != QELError_NoErr)
        return s;
    std::int32_t cacheTime = 0;
    u8 cacheForAll = 0;
    s = qelOptionListGetValues(options, QELOption_CachePassphrase, false, "%d%b", &cacheTime, &cacheForAll);
    if (s != QELError_NoErr)
        return s;
    pass.passphrase = secret;
    pass.length = secret != nullptr ? std::size_t(length) : 0;
    pass.cacheTime = u32(cacheTime);
    pass.cacheForAll = cacheForAll;
    return QELError_NoErr;
}

QELStatus qelKeyPassphraseToPasskeyWithOptions(QELKeyObject *key, u8 *outPasskey, QELOptionList *options)
{
    if (!qelKeyObjIsKey(key) || outPasskey == nullptr)
        return QELError_BadParams;
    return passphraseToPasskey(key, options, outPasskey);
}

QELStatus qelSubKeyPassphraseToPasskeyWithOptions(QELKeyObject *subKey, u8 *outPasskey, QELOptionList *options)
{
    if (!qelKeyObjIsSubKey(subKey) || outPasskey == nullptr)
        return QELError_BadParams;
    return passphraseToPasskey(subKey, options, outPasskey);
}

QELStatus qelKeySetAxiomaticWithOptions(QELKeyObject *key, bool set, QELOptionList *options)
{
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    QELStatus s = checkKinds(options, kPassKinds);
    QELPassArgs pass;
    if (s == QELError_NoErr)
        s = qelOptionListReadPassArgs(options, pass);
    if (s != QELError_NoErr)
        return s;
    return editThenPropagate(
        key, [&] { return qelKeysService().keySetAxiomatic(key, set, pass.passphrase, pass.length, pass.isPasskey); },
        [&] { return qelKeySetAxiomaticLocal(key, set, true, pass); });
}

namespace {

// The secrets of a passphrase change are the list's first two passphrase or
// passkey items in order: the old one, then the new one (a passkey item
// there makes the new protection a passkey's). The key form needs both.
QELStatus changePassphrase(QELKeyObject *object, QELKeyObject *key, QELOptionList *options, bool keyForm)
{
    QELStatus s = checkKinds(options, kPassKinds);
    if (s != QELError_NoErr)
        return s;
    const void *oldSecret = nullptr, *newSecret = nullptr;
    std::uint64_t oldLength = 0, newLength = 0;
    u8 newIsPasskey = 0;
    const int found = qelOptionListGetPassphrases(options, &oldSecret, &oldLength, nullptr, &newSecret, &newLength,
                                                  &newIsPasskey);
    if (keyForm) {
        if (found < 2)
            return QELError_OptionNotFound;
        u32 passphrases = 0, passkeys = 0;
        static_cast<void>(qelOptionListFindNth(options, QELOption_Passphrase, 0, false, nullptr, &passphrases));
        static_cast<void>(qelOptionListFindNth(options, QELOption_Passkey, 0, false, nullptr, &passkeys));
        if (passphrases + passkeys != 2)
            return QELError_BadParams; // a third secret would be silently dropped
    }
    std::int32_t cacheTime = 0;
    u8 cacheForAll = 0;
    s = qelOptionListGetValues(options, QELOption_CachePassphrase, false, "%d%b", &cacheTime, &cacheForAll);
    if (s != QELError_NoErr)
        return s;
    if (isRemote(object)) {
        s = qelKeysService().keyChangePassphrase(object, options);
        if (s == QELError_NoErr)
            refetchLater(object);
        return s;
    }
    return qel::noThrow([&] { return qelKeyChangePassphraseLocal(qelKeyObjKeyDB(object), object, key, oldSecret,
                                       oldSecret != nullptr ? std::size_t(oldLength) : 0, newSecret,
                                       newSecret != nullptr ? std::size_t(newLength) : 0, newIsPasskey,
                                       u32(cacheTime), cacheForAll); });
}

} // namespace

QELStatus qelKeyChangePassphraseWithOptions(QELKeyObject *key, QELOptionList *options)
{
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    return changePassphrase(key, nullptr, options, true);
}

QELStatus qelSubKeyChangePassphraseWithOptions(QELKeyObject *subKey, QELOptionList *options)
{
    QELKeyObject *key = qelKeyObjIsSubKey(subKey) ? qelKeyObjTopKey(subKey) : nullptr;
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    return changePassphrase(subKey, key, options, false);
}

int qelKeyPassphraseIsValidWithOptions(QELKeyObject *key, QELOptionList *options)
{
    if (!qelKeyObjIsKey(key) || checkKinds(options, kPassKinds) != QELError_NoErr)
        return 0;
    QELPassArgs pass;
    if (qelOptionListReadPassArgs(options, pass) != QELError_NoErr)
        return 0;
    bool valid = false;
    const QELStatus s =
        isRemote(key) ? qelKeysService().keyPassphraseIsValid(key, pass.passphrase, pass.length, pass.isPasskey, &valid)
                      : qelKeyPassphraseIsValidLocal(key, pass, &valid);
    return s == QELError_NoErr && valid ? 1 : 0;
}

// ---- token operations on keys ---------------------------------------------------------

QELStatus qelTokenCopyKeyLocal(QELContext *context, QELKeyDB *db, const QELKeyID *keyID, std::int32_t tokenIndex,
                               const void *secret, std::size_t length)
{
    static_cast<void>(secret);
    static_cast<void>(length);
    if (!qelContextIsValid(context) || !qelKeyDBIsValid(db))
        return QELError_KeyObjectInvalid;
    QELKeyObject *key = nullptr;
    if (keyID == nullptr || qelKeyDBFindKeyByIDLocal(db, keyID, false, false, &key) != QELError_NoErr ||
        key == nullptr)
        return QELError_KeyTooSmall; // the code that names an unknown key here
    const void *token = tokenIndex == -1 ? qelTokenFindByKeyID(keyID->bytes)
                                         : qelTokenGetByIndex(u32(tokenIndex));
    if (token == nullptr)
        return QELError_TokenNotAvailable;
    return QELError_TokenNotAvailable; // no token layer can take a key in this system
}

QELStatus qelKeyCopyToToken(QELKeyObject *object, std::int32_t tokenIndex, const void *secret, std::size_t length)
{
    if (!qelKeyObjIsKey(object) && !qelKeyObjIsSubKey(object))
        return QELError_BadParams;
    QELContext *context = qelKeyObjContext(object);
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    u8 algorithm = 0;
    QELKeyID id{};
    qelKeyObjGetKeyID(object, &algorithm, &id);
    QEL_ENTER();
    if (qelServiceConnected())
        return qelKeysService().tokenCopyKey(context, object, tokenIndex, secret, length);
    // A database held in this process has no service reference to name it by.
    const QELStatus s = qelTokenCopyKeyLocal(context, nullptr, &id, tokenIndex, secret, length);
    if (isRemote(object))
        qelKeyObjMarkNotLoaded(object, false);
    return s;
}

QELStatus qelTokenKeyCommandLocal(QELKeyObject *key, std::int32_t tokenIndex, bool flag, const void *secret,
                                  std::size_t length, u8 isPasskey, const void *data, std::size_t dataLength)
{
    static_cast<void>(secret);
    static_cast<void>(length);
    static_cast<void>(isPasskey);
    static_cast<void>(data);
    static_cast<void>(dataLength);
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    QELContext *context = qelKeyObjContext(key);
    QELStatus s = qelTokenKeyCommand(context, key, flag ? 1u : 0u);
    if (s != QELError_NoErr || !flag)
        return s;
    s = qelTokenCopyKey(context, key, u32(tokenIndex));
    if (s != QELError_NoErr) {
        const u8 *keyID = qelKeyObjKeyInfo(key)->keyID;
        static_cast<void>(qelTokenDeleteKeyByID(context, keyID, u32(tokenIndex))); // undoing; the copy's failure is reported
    }
    return s;
}

QELStatus qelTokenKeyCommandWithOptions(QELKeySet *set, QELOptionList *options)
{
    static constexpr std::int32_t kKinds[] = {QELOption_Passphrase,    QELOption_Passkey,  QELOption_CachePassphrase,
                                              QELOption_ExportKey,     QELOption_ExportKeySet, QELOption_Kind79,
                                              QELOption_Kind55};
    QELStatus s = checkKinds(options, kKinds);
    if (s != QELError_NoErr)
        return s;
    QELKeyObject *key = qelKeySetIsValid(set) ? qelKeySetFirstKey(set) : nullptr;
    if (key == nullptr)
        return QELError_BadParams;
    u8 present = 0;
    std::int32_t tokenIndex = 0;
    s = qelOptionListGetValues(options, QELOption_Kind79, false, "%b%d", &present, &tokenIndex);
    if (s != QELError_NoErr)
        return s;
    const void *secret = nullptr;
    const void *data = nullptr;
    std::uint64_t secretLength = 0;
    std::uint64_t dataLength = 0;
    u8 secretIsPasskey = 0;
    u8 dataIsPasskey = 0;
    static_cast<void>(qelOptionListGetPassphrases(options, &secret, &secretLength, &secretIsPasskey, &data,
                                                  &dataLength, &dataIsPasskey)); // absent items read as none
    if (dataIsPasskey)
        return QELError_BadParams;
    std::int32_t cacheTime = 0;
    u8 cacheForAll = 0;
    s = qelOptionListGetValues(options, QELOption_CachePassphrase, false, "%d%b", &cacheTime, &cacheForAll);
    u8 flag = 0;
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_Kind55, false, "%b", &flag);
    if (s != QELError_NoErr)
        return s;
    if (isRemote(key)) {
        s = qelKeysService().tokenKeyCommand(key, tokenIndex, flag == 0, secret, std::size_t(secretLength));
        qelKeyObjMarkNotLoaded(key, false);
        return s;
    }
    return qelTokenKeyCommandLocal(key, tokenIndex, flag == 0, secret, std::size_t(secretLength), secretIsPasskey,
                                   data, std::size_t(dataLength));
}

// ---- option-list front ends of the edits that make signatures -----------------------------

namespace {

constexpr std::int32_t kPreferenceKinds[] = {QELOption_Passphrase,      QELOption_Passkey,
                                             QELOption_CachePassphrase, QELOption_RevocationKeys,
                                             QELOption_PreferredCiphers, QELOption_PreferredKeyServer,
                                             QELOption_KeyServerPrefs,  QELOption_KeyFlags};

// Kinds checked, passphrase arguments read.
template <std::size_t N>
QELStatus openOptions(QELOptionList *options, const std::int32_t (&kinds)[N], QELPassArgs &pass)
{
    const QELStatus s = checkKinds(options, kinds);
    return s != QELError_NoErr ? s : qelOptionListReadPassArgs(options, pass);
}

// The preference and revoker edits: a usable key, their option kinds.
QELStatus openUsableKey(QELKeyObject *key, QELOptionList *options, QELPassArgs &pass)
{
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    const QELStatus s = openOptions(options, kPreferenceKinds, pass);
    return s != QELError_NoErr ? s : qelKeyCheckUsable(key);
}

// A back end's or dispatcher's failure ends the call; after success the
// propagation runs, and its failure is the call's: the edit stands, but
// the validities it should have changed are stale until trust is propagated
// again (a commit does).
QELStatus propagateAfter(QELKeyObject *object, QELStatus status)
{
    return status == QELError_NoErr ? propagateOver(object) : status;
}

} // namespace

QELStatus qelSigRevokeWithOptions(QELKeyObject *sig, QELOptionList *options)
{
    if (!qelKeyObjIsSignature(sig))
        return QELError_BadParams;
    QELPassArgs pass;
    QELStatus s = openOptions(options, kPassKinds, pass);
    if (s != QELError_NoErr)
        return s;
    if (isRemote(sig))
        return qelKeysService().sigRevoke(sig, options);
    return propagateAfter(sig, qel::noThrow([&] { return qelSigRevokeLocal(qelKeyObjContext(sig), sig, pass); }));
}

namespace {

// A key or subkey revocation: the dispatcher and the back end both take
// either kind of object.
QELStatus revokeWithOptions(QELKeyObject *object, QELOptionList *options)
{
    QELPassArgs pass;
    QELStatus s = openOptions(options, kPassKinds, pass);
    if (s != QELError_NoErr)
        return s;
    if (isRemote(object))
        return qelKeysService().keyRevoke(object, options);
    return propagateAfter(object, qel::noThrow([&] { return qelKeyRevokeLocal(object, pass); }));
}

} // namespace

QELStatus qelKeyRevokeWithOptions(QELKeyObject *key, QELOptionList *options)
{
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    return revokeWithOptions(key, options);
}

QELStatus qelSubKeyRevokeWithOptions(QELKeyObject *subKey, QELOptionList *options)
{
    if (!qelKeyObjIsSubKey(subKey))
        return QELError_BadParams;
    return revokeWithOptions(subKey, options);
}

QELStatus qelCertifyOptionsRead(QELOptionList *options, QELCertifyOptions &out)
{
    out = QELCertifyOptions{};
    QELStatus s = qelOptionListGetValues(options, QELOption_CreationTime, false, "%T", &out.creation);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_ValidityDays, false, "%d", &out.days);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_Exportable, false, "%d", &out.exportable);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_TrustSignature, false, "%d%d", &out.depth, &out.level);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_RegularExpression, false, "%p", &out.regex);
    return s;
}

QELStatus qelUserIDCertifyWithOptions(QELKeyObject *userID, QELKeyObject *signer, QELOptionList *options)
{
    if (!qelKeyObjIsUserID(userID) || !qelKeyObjIsKey(signer))
        return QELError_BadParams;
    static constexpr std::int32_t kKinds[] = {QELOption_Passphrase,   QELOption_Passkey,    QELOption_CachePassphrase,
                                              QELOption_ValidityDays, QELOption_CreationTime, QELOption_Exportable,
                                              QELOption_TrustSignature, QELOption_RegularExpression};
    QELPassArgs pass;
    QELStatus s = openOptions(options, kKinds, pass);
    QELCertifyOptions o;
    if (s == QELError_NoErr)
        s = qelCertifyOptionsRead(options, o);
    if (s != QELError_NoErr)
        return s;
    const u32 creation = o.creation;
    const std::int32_t days = o.days, exportable = o.exportable, depth = o.depth, level = o.level;
    void *const regex = o.regex;
    // The depth is an octet in the signature: a larger one must not wrap
    // into an ordinary certification. (The level was checked when the
    // option was made.)
    if (depth < 0 || depth > 255)
        return QELError_BadParams;
    if (regex != nullptr) {
        // Compiled once to test it.
        QELRegex *compiled = nullptr;
        if (qelRegexCompile(qelKeyObjContext(userID), static_cast<const char *>(regex), &compiled) !=
            QELError_NoErr)
            return QELError_BadParams;
        static_cast<void>(qelContextMemFree(qelKeyObjContext(userID), compiled)); // our own block
    }
    if (isRemote(userID))
        return qelKeysService().userIDCertify(userID, signer, options);
    const u32 expiration = days > 0 ? qelDaysToSeconds(u32(days)) : 0;
    return propagateAfter(userID, qel::noThrow([&] { return qelUserIDCertifyLocal(userID, signer, pass, exportable != 0, creation, expiration,
                                                        u8(depth), u8(level), static_cast<const char *>(regex)); }));
}

QELStatus qelUserIDSetPrimaryWithOptions(QELKeyObject *userID, QELOptionList *options)
{
    if (!qelKeyObjIsUserID(userID))
        return QELError_BadParams;
    QELPassArgs pass;
    QELStatus s = openOptions(options, kPassKinds, pass);
    if (s != QELError_NoErr)
        return s;
    if (isRemote(userID))
        return qelKeysService().userIDSetPrimary(userID, options);
    return qel::noThrow([&] { return qelUserIDSetPrimaryLocal(userID, pass); });
}

QELStatus qelKeyAddUserIDWithOptions(QELKeyObject *key, const char *text, QELOptionList *options)
{
    if (!qelKeyObjIsKey(key) || text == nullptr)
        return QELError_BadParams;
    QELPassArgs pass;
    QELStatus s = openOptions(options, kPassKinds, pass);
    if (s != QELError_NoErr)
        return s;
    if (isRemote(key))
        return qelKeysService().keyAddUserID(key, false, 0, text, std::strlen(text), options);
    return qel::noThrow([&] { return qelKeyAddUserIDLocal(key, false, 0, text, std::strlen(text), pass); });
}

QELStatus qelKeyAddUserAttributeWithOptions(QELKeyObject *key, u8 type, const void *bytes, std::size_t length,
                                            QELOptionList *options)
{
    if (!qelKeyObjIsKey(key) || (bytes == nullptr && length != 0))
        return QELError_BadParams;
    QELPassArgs pass;
    QELStatus s = openOptions(options, kPassKinds, pass);
    if (s != QELError_NoErr)
        return s;
    if (isRemote(key))
        return qelKeysService().keyAddUserID(key, true, type, bytes, length, options);
    return qel::noThrow([&] { return qelKeyAddUserIDLocal(key, true, type, bytes, length, pass); });
}

QELStatus qelKeySetPreferencesWithOptions(QELKeyObject *key, QELOptionList *options)
{
    QELPassArgs pass;
    QELStatus s = openUsableKey(key, options, pass);
    if (s != QELError_NoErr)
        return s;
    void *ciphers = nullptr, *server = nullptr;
    std::uint64_t cipherBytes = 0, serverLength = 0;
    u8 flagsPresent = 0, prefsPresent = 0;
    std::int32_t flags = 0, prefs = 0;
    s = qelOptionListGetValues(options, QELOption_PreferredCiphers, false, "%p%l", &ciphers, &cipherBytes);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_PreferredKeyServer, false, "%p%l", &server, &serverLength);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_KeyFlags, false, "%b%d", &flagsPresent, &flags);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_KeyServerPrefs, false, "%b%d", &prefsPresent, &prefs);
    if (s != QELError_NoErr)
        return s;
    if (ciphers == nullptr && server == nullptr && !flagsPresent && !prefsPresent)
        return QELError_NoErr;
    if (isRemote(key))
        return qelKeysService().keySetPreferences(key, options);
    return propagateAfter(key, qel::noThrow([&] { return qelKeySetPreferencesLocal(key, pass, static_cast<const u32 *>(ciphers),
                                                         ciphers != nullptr ? std::size_t(cipherBytes) : 0, server,
                                                         server != nullptr ? std::size_t(serverLength) : 0, u32(flags),
                                                         flagsPresent != 0, u32(prefs), prefsPresent != 0); }));
}

QELStatus qelKeyAddRevokersWithOptions(QELKeyObject *key, QELOptionList *options)
{
    QELPassArgs pass;
    QELStatus s = openUsableKey(key, options, pass);
    if (s != QELError_NoErr)
        return s;
    void *set = nullptr;
    std::int32_t keyClass = 0;
    s = qelOptionListGetValues(options, QELOption_RevocationKeys, true, "%p%d", &set, &keyClass);
    if (s != QELError_NoErr)
        return s;
    if (isRemote(key))
        return qelKeysService().keyAddRevokers(key, options);
    return propagateAfter(key, qel::noThrow([&] { return qelKeyAddRevokersLocal(key, pass, static_cast<QELKeySet *>(set), u8(keyClass)); }));
}
