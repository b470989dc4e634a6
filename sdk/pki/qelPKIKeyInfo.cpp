// Public-key pieces of a database key for requests, built from the same
// SubjectPublicKeyInfo the X.509 key code writes for the key.
#include "qelPKIKeyInfoInternal.h"

#include <cstring>

#include "asn1Key.h"
#include "qelContext.h"
#include "qelKeyMan.h"
#include "qelKeyObjInternal.h"
#include "qelKeyProperty.h"
#include "qelMemory.h"
#include "qelX509KeysInternal.h"

namespace {

constexpr std::uint8_t kRSAEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
constexpr std::uint8_t kMD5WithRSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04};
constexpr std::uint8_t kIdDSA[] = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x01};
constexpr std::uint8_t kDSAWithSHA1[] = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x03};
constexpr std::uint8_t kNull[] = {0x05, 0x00};

std::uint8_t *copyBlock(QELMemoryMgr *mgr, const std::uint8_t *data, std::uint64_t length)
{
    auto *p = static_cast<std::uint8_t *>(qelMemAlloc(mgr, length != 0 ? length : 1, 0));
    if (p != nullptr && length != 0)
        std::memcpy(p, data, length);
    return p;
}

} // namespace

QELStatus qelKeyPublicKeyInfo(QELKeyObject *key, ASN1Context *codec, QELPublicKeyInfo *info)
{
    if (info == nullptr)
        return QELError_BadParams;
    *info = QELPublicKeyInfo{};
    if (key == nullptr || codec == nullptr)
        return QELError_BadParams;
    std::int32_t algorithm = 0;
    QELStatus s = qelKeyObjGetNumberProperty(key, QELProperty_Algorithm, &algorithm);
    if (s != 0)
        return s;
    const bool rsa = algorithm == 1 || algorithm == 2 || algorithm == 3;
    if (!rsa && algorithm != 17)
        return QELError_UnsupportedAlgorithm;
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(qelKeyObjContext(key));
    info->algorithm = rsa ? kRSAEncryption : kIdDSA;
    info->algorithmLength = rsa ? sizeof kRSAEncryption : sizeof kIdDSA;
    info->signatureAlgorithm = rsa ? kMD5WithRSA : kDSAWithSHA1;
    info->signatureAlgorithmLength = rsa ? sizeof kMD5WithRSA : sizeof kDSAWithSHA1;
    if (rsa) {
        info->signatureParameters = copyBlock(mgr, kNull, sizeof kNull);
        if (info->signatureParameters == nullptr)
            return QELError_OutOfMemory;
        info->signatureParametersLength = sizeof kNull;
    }
    ASN1Key_SubjectPublicKeyInfo *spki = asn1KeyNew_SubjectPublicKeyInfo(codec);
    if (spki == nullptr)
        return QELError_OutOfMemory;
    s = qelX509BuildSubjectPublicKeyInfo(codec, mgr, key, spki);
    if (s == 0) {
        const ASN1_Any *parameters = spki->algorithm.parameters;
        info->publicKey = copyBlock(mgr, spki->subjectPublicKey.data, spki->subjectPublicKey.length);
        info->publicKeyLength = spki->subjectPublicKey.length;
        if (parameters != nullptr) {
            info->parameters = copyBlock(mgr, parameters->data, parameters->length);
            info->parametersLength = parameters->length;
        }
        if (info->publicKey == nullptr || (parameters != nullptr && info->parameters == nullptr))
            s = QELError_OutOfMemory;
    }
    asn1KeyFree_SubjectPublicKeyInfo(codec, spki);
    return s;
}

void qelPublicKeyInfoFree(QELPublicKeyInfo *info)
{
    if (info == nullptr)
        return;
    for (std::uint8_t *block : {info->publicKey, info->parameters, info->signatureParameters})
        if (block != nullptr)
            static_cast<void>(qelMemFree(block));
    info->publicKey = info->parameters = info->signatureParameters = nullptr;
    info->publicKeyLength = info->parametersLength = info->signatureParametersLength = 0;
}
