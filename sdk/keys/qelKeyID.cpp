// Key IDs: construction from bytes, text and keys, comparison and text form.
#include "qelKeyIDInternal.h"

#include "qelHelpers.h"
#include "qelKeyObjInternal.h"
#include "qelUtilitiesInternal.h"

#include <cstring>

namespace {
constexpr const char *kGate = "qelKeyID";

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
} // namespace

QELStatus qelKeyIDFromBytes(const std::uint8_t *bytes, std::uint32_t algorithm,
                            std::uint32_t length, QELKeyID *out)
{
    if (out == nullptr || bytes == nullptr || (length != 4 && length != 8))
        return QELError_BadParams;
    out->valid = 1;
    out->length = std::uint8_t(length);
    out->algorithm = std::uint8_t(algorithm);
    std::memcpy(out->bytes, bytes, length);
    return QELError_NoErr;
}

bool qelKeyIDIsValid(const QELKeyID *id)
{
    return id != nullptr && id->valid == 1 && (id->length == 4 || id->length == 8);
}

const std::uint8_t *qelKeyIDAtBytes(const QELKeyID *id) { return id->bytes; }
std::uint8_t qelKeyIDLength(const QELKeyID *id) { return id->length; }

int qelKeyIDCompareInternal(const QELKeyID &a, const QELKeyID &b)
{
    if (!qelKeyIDIsValid(&a) || !qelKeyIDIsValid(&b))
        return 0;
    if (a.length == b.length) {
        int r = std::memcmp(a.bytes, b.bytes, a.length);
        if (r != 0)
            return r < 0 ? -1 : 1;
    } else {
        const std::uint8_t *shortBytes = a.length == 4 ? a.bytes : b.bytes;
        const std::uint8_t *longTail = (a.length == 8 ? a.bytes : b.bytes) + 4;
        if (std::memcmp(shortBytes, longTail, 4) != 0)
            return a.length == 8 ? 1 : -1;
    }
    if (a.algorithm == 255 || b.algorithm == 255 || a.algorithm == b.algorithm)
        return 0;
    return a.algorithm > b.algorithm ? 1 : -1;
}

bool qelKeyIDEqual(const QELKeyID &a, const QELKeyID &b) { return qelKeyIDCompareInternal(a, b) == 0; }

void qelKeyObjGetKeyID(QELKeyObject *key, std::uint8_t *outAlgorithm, QELKeyID *outID)
{
    QELKeyInfo *info = qelKeyObjKeyInfo(key);
    std::uint8_t alg = qelKeyIDNormaliseAlgorithm(info->algorithm);
    if (outAlgorithm)
        *outAlgorithm = alg;
    if (outID) {
        *outID = QELKeyID{};
        static_cast<void>(qelKeyIDFromBytes(info->keyID, alg, 8, outID)); // length 8 is valid
    }
}

void qelKeyObjGetShortKeyID(QELKeyObject *key, std::uint8_t *outAlgorithm, QELKeyID *outID)
{
    QELKeyInfo *info = qelKeyObjKeyInfo(key);
    std::uint8_t alg = qelKeyIDNormaliseAlgorithm(info->algorithm);
    if (outAlgorithm)
        *outAlgorithm = alg;
    if (outID) {
        *outID = QELKeyID{};
        static_cast<void>(qelKeyIDFromBytes(info->keyID + 4, alg, 4, outID)); // length 4 is valid
    }
}

void qelSigGetSignerKeyID(QELKeyObject *sig, std::uint8_t *outAlgorithm, QELKeyID *outID)
{
    QELKeyObject *signer = qelKeyObjSigInfo(sig)->signer;
    if (signer == nullptr) {
        if (outAlgorithm) *outAlgorithm = 0;
        if (outID) *outID = QELKeyID{};
        return;
    }
    qelKeyObjGetKeyID(signer, outAlgorithm, outID);
}

// ---- public operations ----------------------------------------------------------

QELStatus qelKeyIDFromData(const void *bytes, std::uint32_t length, std::uint32_t algorithm,
                           QELKeyID *outID)
{
    if (outID != nullptr)
        *outID = QELKeyID{};
    QELStatus s = qelAPIGate(kGate, __LINE__);
    if (s != 0)
        return s;
    return qelKeyIDFromBytes(static_cast<const std::uint8_t *>(bytes), algorithm, length, outID);
}

QELStatus qelKeyIDFromText(const char *text, std::uint32_t algorithm, QELKeyID *outID)
{
    if (outID != nullptr)
        *outID = QELKeyID{};
    QELStatus s = qelAPIGate(kGate, __LINE__);
    if (s != 0)
        return s;
    if (text == nullptr || outID == nullptr)
        return QELError_BadParams;
    std::size_t n = std::strlen(text);
    if (n >= 2 && text[0] == '0' && text[1] == 'x') {
        text += 2;
        n -= 2;
    }
    if (n != 16 && n != 8)
        return QELError_BadParams;
    std::uint8_t bytes[8];
    for (std::size_t i = 0; i < n / 2; ++i) {
        int hi = hexValue(text[2 * i]), lo = hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return QELError_BadParams;
        bytes[i] = std::uint8_t(hi << 4 | lo);
    }
    return qelKeyIDFromBytes(bytes, algorithm, std::uint32_t(n / 2), outID);
}

QELStatus qelKeyIDFromKey(const QELKeyObject *key, QELKeyID *outID)
{
    if (outID != nullptr)
        *outID = QELKeyID{};
    QELStatus s = qelAPIGate(kGate, __LINE__);
    if (s != 0)
        return s;
    auto *k = const_cast<QELKeyObject *>(key);
    if (outID == nullptr || !qelKeyObjIsValid(k) ||
        (qelKeyObjType(k) != QELObjectType_Key && qelKeyObjType(k) != QELObjectType_SubKey))
        return QELError_BadParams;
    qelKeyObjGetKeyID(k, nullptr, outID);
    return QELError_NoErr;
}

QELStatus qelKeyIDGetAlgorithm(QELKeyID id, std::uint32_t *outAlgorithm)
{
    QELStatus s = qelAPIGate(kGate, __LINE__);
    if (s != 0)
        return s;
    if (outAlgorithm == nullptr || !qelKeyIDIsValid(&id))
        return QELError_BadParams;
    *outAlgorithm = id.algorithm;
    return QELError_NoErr;
}

std::int32_t qelKeyIDCompare(QELKeyID a, QELKeyID b)
{
    if (qelAPIGate(kGate, __LINE__) != 0)
        return 0;
    return qelKeyIDCompareInternal(a, b);
}

QELStatus qelKeyIDFormat(QELKeyID id, std::int32_t format, char *outText)
{
    if (outText != nullptr)
        std::memset(outText, 0, QELKeyIDTextSize);
    QELStatus s = qelAPIGate(kGate, __LINE__);
    if (s != 0)
        return s;
    if (outText == nullptr || !qelKeyIDIsValid(&id) ||
        (format != QELKeyIDFormat_Short && format != QELKeyIDFormat_Full))
        return QELError_BadParams;
    const std::uint8_t *bytes = id.bytes;
    std::uint32_t n = id.length;
    if (format == QELKeyIDFormat_Short && n == 8) {
        bytes += 4;
        n = 4;
    }
    qelBytesToHex(bytes, n, 1, outText);
    return QELError_NoErr;
}
