// Key generation: the option-list front ends.
#include "qelKeyGenInternal.h"

#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelKeyGenParamsInternal.h"
#include "qelRandomContextInternal.h"
#include "qelRandomSourcesInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelOptionListInternal.h"
#include "qelPkAlgInternal.h"
#include "qelSettingsInternal.h"
#include "qelTokenInternal.h"

#include <algorithm>
#include <iterator>

namespace {

// The generator flag: the option when given, else the settings' default.
std::uint8_t generatorFlag(QELContext *context, QELOptionList *options, QELStatus &status)
{
    std::uint8_t present = 0;
    std::uint32_t flag = 0;
    status = qelOptionListGetValues(options, QELOption_KeyGenFlag, false, "%b%d", &present, &flag);
    if (present)
        return flag != 0;
    return qelSettingsGetInt(qelContextGetSettings(context), QELSetting_KeyGenDefaultFlag, nullptr,
                             nullptr) != 0;
}

using SecretKey = qel::Owned<QELSecretKeyObject, +[](QELSecretKeyObject *k) { return k->destroy(k); }>;
using Params = qel::Owned<QELKeyGenParams, +[](QELKeyGenParams *p) {
    qelKeyGenParamsFree(p);
    return QELError_NoErr;
}>;
using Settings = qel::Owned<QELSettings, +[](QELSettings *s) {
    qelSettingsFree(s);
    return QELError_NoErr;
}>;

void stir(QELRandomContext *random)
{
    if (random != nullptr && random->descriptor != nullptr && random->descriptor->stir != nullptr)
        random->descriptor->stir(random->state);
}

// The first id that names a cipher this build has, or 0.
std::uint32_t firstKnownCipher(const QELKeyGenRequest &r)
{
    if (!r.primaryKey)
        return r.masterPreferredCiphers != nullptr
                   ? qelFirstKnownCipher(r.masterPreferredCiphers, r.masterPreferredCiphersLength)
                   : 0;
    for (std::size_t i = 0; r.preferredCiphers != nullptr && i < r.preferredCiphersBytes / 4; ++i)
        if (qelCipherDescriptorFind(static_cast<std::int32_t>(r.preferredCiphers[i])) != nullptr)
            return r.preferredCiphers[i];
    return 0;
}

// One byte per 32-bit id.
QELStatus setIdBytes(QELKeyGenParams *params, const std::uint32_t *ids, std::size_t bytes,
                     QELStatus (*setter)(QELKeyGenParams *, const std::uint8_t *, std::uint64_t))
{
    const std::size_t n = ids != nullptr ? bytes / 4 : 0;
    if (n == 0)
        return QELError_NoErr;
    qel::WipedBuffer<std::uint8_t> low(qelContextMemoryMgr(params->context), n, false);
    if (!low)
        return QELError_OutOfMemory;
    for (std::size_t i = 0; i < n; ++i)
        low[i] = static_cast<std::uint8_t>(ids[i]);
    return setter(params, low.get(), n);
}

QELStatus fillParams(const QELKeyGenRequest &r, bool oldFormat, QELKeyGenParams *params)
{
    QELSettings *settings = qelContextGetSettings(r.context);
    if (r.creationGiven) {
        const std::int64_t offset =
            std::int64_t{qelSettingsGetInt(settings, QELSetting_TimeOffsetHours, nullptr, nullptr)} * 3600;
        const std::int64_t t = std::clamp<std::int64_t>(std::int64_t{r.creation} + offset, 0, UINT32_MAX);
        params->creation = static_cast<QELTime>(t);
    }
    params->validityDays = r.validityDays;
    params->version = oldFormat ? 3 : 4;
    params->algorithm = r.algorithm;
    QELStatus status = qelKeyGenParamsSetKeyServer(params, r.keyServer, r.keyServerLength);
    if (status == QELError_NoErr && r.keyFlagsPresent)
        status = qelKeyGenParamsSetKeyFlags(params, r.keyFlags);
    if (status == QELError_NoErr && r.keyServerPrefsPresent)
        status = qelKeyGenParamsSetKeyServerPrefs(params, r.keyServerPrefs);
    if (status == QELError_NoErr && r.primaryKey)
        status = setIdBytes(params, r.preferredCiphers, r.preferredCiphersBytes, qelKeyGenParamsSetPrefSymmetric);
    if (status == QELError_NoErr && r.primaryKey)
        status = setIdBytes(params, r.preferredCompression, r.preferredCompressionBytes,
                            qelKeyGenParamsSetPrefCompression);
    return status;
}

} // namespace

std::uint32_t qelFirstKnownCipher(const std::uint8_t *ids, std::size_t count)
{
    for (std::size_t i = 0; ids != nullptr && i < count; ++i)
        if (qelCipherDescriptorFind(ids[i]) != nullptr)
            return ids[i];
    return 0;
}

QELStatus qelKeyProtect(QELContext *context, QELSecretKeyObject *key, QELRandomContext *random,
                        std::uint32_t cipher, const void *oldPassphrase, std::size_t oldLength,
                        const void *newPassphrase, std::size_t newLength, std::uint8_t newIsPasskey)
{
    if (!qelContextIsValid(context) || key == nullptr)
        return QELError_BadParams;
    const std::uint32_t s2kType = newIsPasskey ? 5 : (key->algorithm < 2 ? 0 : 3);
    QELSettings *copyRaw = nullptr;
    if (qelSettingsCopy(qelContextGetSettings(context), &copyRaw) != QELError_NoErr)
        return QELError_OutOfMemory;
    Settings copy(copyRaw);
    if (cipher != 0) {
        const QELStatus set = qelSettingsSetInt(copy.get(), QELSetting_CipherAlgorithm,
                                                static_cast<std::int32_t>(cipher), QELSettingPriority_Job);
        if (set != QELError_NoErr)
            return set;
    }
    return key->changeProtection(key, copy.get(), random, oldPassphrase, oldLength, 0, newPassphrase, newLength,
                                 s2kType);
}

QELStatus qelKeyGenMakeKeyPair(const QELKeyGenRequest &r, QELSecretKeyObject **outKey, QELKeyGenParams **outParams)
{
    qel::clearOut(outKey);
    qel::clearOut(outParams);
    if (!qelContextIsValid(r.context) || outKey == nullptr || outParams == nullptr ||
        (r.passphrase == nullptr && r.passphraseLength != 0))
        return QELError_BadParams;
    const QELPkAlgEntry *entry = qelPkAlgFind(r.algorithm);
    const std::uint32_t role = r.primaryKey ? QELPkUsage_Sign : QELPkUsage_Encrypt;
    if (entry == nullptr || (qelPkAlgGetUsage(entry) & role) == 0)
        return QELError_BadParams;
    const bool oldFormat = r.algorithm == QELPublicKeyAlgorithm_RSA && !r.keyFlagsPresent;

    // System entropy goes into the pool once, credited to nothing.
    if (QELRandomContext *pool = qelContextGetPoolRandomContext(r.context))
        static_cast<void>(qelRandomGatherSystemEntropy(pool, 0)); // a source that fails adds nothing
    if (r.entropyCheck) {
        const std::uint32_t needed =
            qelPkAlgKeyGenEntropyNeeded(entry, r.bits, r.fastGeneration, oldFormat ? 1 : 0, nullptr);
        const std::int64_t available = qelContextReserveRandomBytes(r.context, 0);
        if (available < 0 || std::uint64_t(available) * 8 < needed)
            return QELError_OutOfEntropy;
    }

    QELRandomContext *random = qelContextGetRandomContext(r.context);
    if (random == nullptr)
        return QELError_OutOfEntropy;
    QELStatus status = QELError_NoErr;
    SecretKey key(qelPkAlgGenerateKey(r.context, entry, r.bits, r.subgroupBits, r.fastGeneration,
                                      oldFormat ? 1 : 0, random, r.progress, r.progressData, nullptr,
                                      r.passphrase, r.passphraseLength, r.primaryKey ? 1 : 0, &status));
    if (key == nullptr)
        return status != QELError_NoErr ? status : QELError_OutOfMemory;
    stir(random);
    if (r.passphrase != nullptr && r.passphraseLength != 0) {
        status = qelKeyProtect(r.context, key.get(), random, firstKnownCipher(r), nullptr, 0, r.passphrase,
                               r.passphraseLength, r.isPasskey);
        if (status != QELError_NoErr)
            return status;
    }
    Params params(qelKeyGenParamsNew(qelContextGetSettings(r.context)));
    if (params == nullptr)
        return QELError_OutOfMemory;
    status = fillParams(r, oldFormat, params.get());
    if (status != QELError_NoErr)
        return status;
    stir(random);
    *outKey = key.release();
    *outParams = params.release();
    return QELError_NoErr;
}

std::int32_t qelKeyGenEntropyNeededWithOptions(QELContext *context, QELOptionList *options)
{
    static constexpr std::int32_t kAccepted[] = {QELOption_KeyGenParams, QELOption_KeyGenFlag,
                                                 QELOption_KeyFlags, QELOption_NoEntropyCheck,
                                                 QELOption_TokenNumber};
    if (!qelContextIsValid(context))
        return -1;
    if (qelOptionListCheckTypes(options, kAccepted, static_cast<std::uint32_t>(std::size(kAccepted))) != QELError_NoErr)
        return QELError_BadParams;
    std::uint32_t noCheck = 0;
    if (qelOptionListGetValues(options, QELOption_NoEntropyCheck, false, "%d", &noCheck) != QELError_NoErr)
        return -1;
    if (noCheck != 0)
        return 0;

    std::uint32_t algorithm = 0, bits = 0, third = 0;
    std::uint8_t keyFlagsPresent = 0, tokenPresent = 0;
    std::uint32_t keyFlags = 0, tokenNumber = 0;
    QELStatus flagStatus = QELError_NoErr;
    if (qelOptionListGetValues(options, QELOption_KeyGenParams, true, "%d%d%d", &algorithm, &bits, &third) !=
            QELError_NoErr ||
        qelOptionListGetValues(options, QELOption_KeyFlags, false, "%b%d", &keyFlagsPresent, &keyFlags) !=
            QELError_NoErr ||
        qelOptionListGetValues(options, QELOption_TokenNumber, false, "%b%d", &tokenPresent, &tokenNumber) !=
            QELError_NoErr)
        return -1;
    const std::uint8_t fast = generatorFlag(context, options, flagStatus);
    if (flagStatus != QELError_NoErr || algorithm > 0xFF)
        return -1;
    const QELPkAlgEntry *entry = qelPkAlgFind(static_cast<std::uint8_t>(algorithm));
    if (entry == nullptr)
        return -1;
    // No token is ever found, so the estimate is always the software one.
    if (tokenPresent && qelTokenGetByIndex(tokenNumber) != nullptr)
        return -1;
    const std::uint8_t oldFormat = algorithm == QELPublicKeyAlgorithm_RSA && !keyFlagsPresent;
    const std::uint32_t needed = qelPkAlgKeyGenEntropyNeeded(entry, bits, fast, oldFormat, nullptr);
    return needed > INT32_MAX ? -1 : static_cast<std::int32_t>(needed);
}
