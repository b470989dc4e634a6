// The algorithm feature tables, the SDK's version numbers and banner, and
// the DSA power-up self-test.
#include "qelFeatures.h"
#include "qelFeaturesInternal.h"

#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelPkAlgInternal.h"
#include "qelRandomContextInternal.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>

static_assert(sizeof(QELSymmetricCipherInfo) == 360);
static_assert(sizeof(QELPkAlgInfo) == 368);
static_assert(offsetof(QELPkAlgInfo, canEncrypt) == 328);

namespace {

using u32 = std::uint32_t;

constexpr u32 kSDKAPIVersion = 0x01000000;
constexpr u32 kSDKVersion = 0x02050000;
constexpr char kBanner[QEL_FEATURES_BANNER_SIZE] = "QELsdk 2.5 - OpenPGP message and key toolkit";

struct CipherRow {
    const char *name;
    u32 algorithm;
};
constexpr std::array<CipherRow, 8> kCiphers{{
    {"IDEA", QELCipherAlgorithm_IDEA},
    {"3DES", QELCipherAlgorithm_3DES},
    {"CAST5", QELCipherAlgorithm_CAST5},
    {"Twofish", QELCipherAlgorithm_Twofish},
    {"AES128", QELCipherAlgorithm_AES128},
    {"AES192", QELCipherAlgorithm_AES192},
    {"AES256", QELCipherAlgorithm_AES256},
    {"Blowfish", QELCipherAlgorithm_Blowfish},
}};

struct PkRow {
    const char *shortName;
    const char *longName;
    u32 algorithm;
    std::uint8_t flags[5];
};
// The RSA row's four capabilities follow the algorithm table on every query.
constexpr std::array<PkRow, 3> kPkAlgorithms{{
    {"RSA", "RSA (QEL)", QELPublicKeyAlgorithm_RSA, {1, 1, 1, 1, 1}},
    {"ElGamal", "ElGamal", QELPublicKeyAlgorithm_ElGamal, {1, 1, 0, 0, 1}},
    {"DSA", "Digital Signature Standard", QELPublicKeyAlgorithm_DSA, {0, 0, 1, 1, 1}},
}};

constexpr std::array<u32, 2> kFeatureFlags{0xF, 0};

u32 rsaUsage() { return qelPkAlgGetUsage(qelPkAlgFind(QELPublicKeyAlgorithm_RSA)); }

void copyName(char *out, std::size_t size, const char *name)
{
    std::strncpy(out, name, size - 1);
}

} // namespace

std::uint32_t qelGetSDKAPIVersion() { return kSDKAPIVersion; }
std::uint32_t qelGetSDKVersion() { return kSDKVersion; }

QELStatus qelFeatureFlags(u32 selector, u32 *outFlags)
{
    if (outFlags == nullptr)
        return QELError_BadParams;
    QEL_ENTER(outFlags);
    if (selector < 1 || selector > kFeatureFlags.size())
        return QELError_ItemNotFound;
    *outFlags = kFeatureFlags[selector - 1];
    return QELError_NoErr;
}

QELStatus qelFeaturesBanner(char *buffer)
{
    if (buffer == nullptr)
        return QELError_BadParams;
    QEL_ENTER();
    std::memcpy(buffer, kBanner, sizeof kBanner);
    return QELError_NoErr;
}

QELStatus qelPkAlgCount(u32 *outCount)
{
    if (outCount == nullptr)
        return QELError_BadParams;
    QEL_ENTER(outCount);
    *outCount = rsaUsage() == 0 ? 2 : 3;
    return QELError_NoErr;
}

QELStatus qelPkAlgGetInfo(u32 index, QELPkAlgInfo *outInfo)
{
    if (outInfo == nullptr)
        return QELError_BadParams;
    QEL_ENTER(outInfo);
    const u32 usage = rsaUsage();
    if (usage == 0)
        ++index;   // RSA is not offered: the rows after it move up
    if (index >= kPkAlgorithms.size())
        return QELError_BadParams;
    const PkRow &row = kPkAlgorithms[index];
    copyName(outInfo->shortName, sizeof outInfo->shortName, row.shortName);
    copyName(outInfo->longName, sizeof outInfo->longName, row.longName);
    outInfo->algorithm = row.algorithm;
    outInfo->canEncrypt = row.flags[0];
    outInfo->canDecrypt = row.flags[1];
    outInfo->canSign = row.flags[2];
    outInfo->canVerify = row.flags[3];
    outInfo->available = row.flags[4];
    if (index == 0) {
        outInfo->canSign = outInfo->canVerify = (usage & QELPkUsage_Sign) ? 1 : 0;
        outInfo->canEncrypt = outInfo->canDecrypt = (usage & QELPkUsage_Encrypt) ? 1 : 0;
    }
    return QELError_NoErr;
}

QELStatus qelSymmetricCipherCount(u32 *outCount)
{
    if (outCount == nullptr)
        return QELError_BadParams;
    QEL_ENTER(outCount);
    *outCount = (u32)kCiphers.size();
    return QELError_NoErr;
}

QELStatus qelSymmetricCipherGetInfo(u32 index, QELSymmetricCipherInfo *outInfo)
{
    if (outInfo == nullptr)
        return QELError_BadParams;
    std::memset(outInfo, 0, sizeof *outInfo);
    if (index >= kCiphers.size())
        return QELError_BadParams;
    QEL_ENTER();
    copyName(outInfo->shortName, sizeof outInfo->shortName, kCiphers[index].name);
    copyName(outInfo->longName, sizeof outInfo->longName, kCiphers[index].name);
    outInfo->algorithm = kCiphers[index].algorithm;
    return QELError_NoErr;
}

// ---- the DSA power-up self-test ----------------------------------------------

#include "qelDSASelfTestKey.inc"

namespace {

void freeContext(QELContext *context) { static_cast<void>(qelContextFree(context)); }
void destroySecret(QELSecretKeyObject *key) { static_cast<void>(key->destroy(key)); }
void destroyPublic(QELPublicKeyObject *key) { static_cast<void>(key->destroy(key)); }

// 0x00..0x0F, 0xF0..0xFF, four times 55 AA, four times AA 55.
constexpr std::array<std::uint8_t, 48> selfTestMessage()
{
    std::array<std::uint8_t, 48> m{};
    for (int i = 0; i < 16; ++i) {
        m[i] = (std::uint8_t)i;
        m[16 + i] = (std::uint8_t)(0xF0 + i);
    }
    for (int i = 0; i < 4; ++i) {
        m[32 + 2 * i] = 0x55;
        m[33 + 2 * i] = 0xAA;
        m[40 + 2 * i] = 0xAA;
        m[41 + 2 * i] = 0x55;
    }
    return m;
}

bool runDSASelfTest()
{
    // A context of its own, over a manager of its own: freeing it must not
    // take the process-wide manager with it.
    QELContext *raw = nullptr;
    if (qelContextNew(kSDKAPIVersion, &raw) != QELError_NoErr)
        return false;
    std::unique_ptr<QELContext, decltype(&freeContext)> context(raw, freeContext);
    // Zero-seeded: the signature is the same on every run.
    std::unique_ptr<QELRandomContext, decltype(&qelPkDestroyRandom)> random(qelRandomX917CreateZeroSeed(raw), qelPkDestroyRandom);
    if (random == nullptr)
        return false;
    QELStatus status = 0;
    std::unique_ptr<QELSecretKeyObject, decltype(&destroySecret)> secret(
        qelSecretKeyObjectFromData(raw, QELPublicKeyAlgorithm_DSA, kSelfTestSecretKey, sizeof kSelfTestSecretKey, 0,
                                   nullptr, &status),
        destroySecret);
    std::unique_ptr<QELPublicKeyObject, decltype(&destroyPublic)> pub(
        qelPublicKeyObjectFromData(raw, QELPublicKeyAlgorithm_DSA, kSelfTestPublicKey, sizeof kSelfTestPublicKey,
                                   &status),
        destroyPublic);
    if (secret == nullptr || pub == nullptr)
        return false;
    if (secret->unlock(secret.get(), kSelfTestPassphrase, sizeof kSelfTestPassphrase - 1, 0) != 1)
        return false;
    QELHashContext *hashRaw = nullptr;
    if (qelHashNew(raw, QELHashAlgorithm_SHA1, &hashRaw) != QELError_NoErr)
        return false;
    qel::Owned<QELHashContext, qelHashFree> hash(hashRaw);
    static constexpr auto message = selfTestMessage();
    std::uint8_t digest[20];
    if (qelHashUpdate(hash.get(), message.data(), message.size()) != 0 || qelHashFinal(hash.get(), digest) != 0)
        return false;
    const QELHashDescriptor *descriptor = qelHashGetDescriptor(hash.get());
    const std::int32_t maxSize = secret->maxSignatureSize(secret.get(), QELPkFormat_RFC4880);
    std::uint8_t signature[64];
    if (maxSize < 0 || maxSize > (std::int32_t)sizeof signature)
        return false;
    std::size_t length = 0;
    if (secret->sign(secret.get(), descriptor, digest, sizeof digest, signature, &length, random.get(),
                     QELPkFormat_RFC4880) != QELError_NoErr)
        return false;
    return pub->verify(pub.get(), signature, length, descriptor, digest, sizeof digest, QELPkFormat_RFC4880) == 1;
}

} // namespace

QELStatus qelDSASelfTest() { return runDSASelfTest() ? QELError_NoErr : QELError_SelfTestFailed; }
