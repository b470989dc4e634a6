// Key generation: the key pair, the generation back end that writes it into
// a key database, and the option-list front ends.
#include "qelKeyGenInternal.h"

#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelEventInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyGenParamsInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelPassCachInternal.h"
#include "qelSeams.h"
#include "qelSigSpecInternal.h"
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
std::uint32_t firstKnownCipher(const QELKeyGenRequest &r, bool oldFormat)
{
    if (!r.primaryKey)
        return r.masterPreferredCiphers != nullptr
                   ? qelFirstKnownCipher(r.masterPreferredCiphers, r.masterPreferredCiphersLength)
                   : 0;
    for (std::size_t i = 0; r.preferredCiphers != nullptr && i < r.preferredCiphersBytes / 4; ++i)
        if (qelCipherDescriptorFind(static_cast<std::int32_t>(r.preferredCiphers[i])) != nullptr)
            return r.preferredCiphers[i];
    // A version 4 key without a list of its own states the default one,
    // CAST5 first; a version 3 key states none.
    return !oldFormat && (r.preferredCiphers == nullptr || r.preferredCiphersBytes == 0) ? QELCipherAlgorithm_CAST5
                                                                                       : 0;
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

bool qelKeyWantsLegacyForms(const QELSettings *settings)
{
    std::int32_t priority = QELSettingPriority_Default;
    const std::int32_t version = qelSettingsGetInt(settings, QELSetting_PacketVersion, &priority, nullptr);
    return priority > QELSettingPriority_Default && version != 0 && version <= 3;
}

QELStatus qelKeyProtect(QELContext *context, QELSecretKeyObject *key, QELRandomContext *random,
                        std::uint32_t cipher, const void *oldPassphrase, std::size_t oldLength,
                        const void *newPassphrase, std::size_t newLength, std::uint8_t newIsPasskey,
                        bool version3Key)
{
    if (!qelContextIsValid(context) || key == nullptr)
        return QELError_BadParams;
    // The unsalted MD5 form is cheap to search: a version 3 RSA key knows no
    // other, and a version 4 one gets it only when the caller asks for it.
    const bool legacyRSA = key->algorithm == QELPublicKeyAlgorithm_RSA &&
                           (version3Key || qelKeyWantsLegacyForms(qelContextGetSettings(context)));
    const std::uint32_t s2kType = newIsPasskey ? 5 : (legacyRSA ? 0 : 3);
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
        status = qelKeyProtect(r.context, key.get(), random, firstKnownCipher(r, oldFormat), nullptr, 0, r.passphrase,
                               r.passphraseLength, r.isPasskey, oldFormat);
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

// ---- progress ------------------------------------------------------------------------

std::int32_t qelKeyGenProgress(void *progressContext, std::int32_t value)
{
    const auto *p = static_cast<const QELKeyGenProgressContext *>(progressContext);
    if (p == nullptr || p->handler == nullptr)
        return 0;
    QELOptionList *reply = nullptr;
    std::int32_t status = qelEventSendKeyGen(p->context, &reply, p->handler, p->userValue, value);
    qelOptionListFreeAndClear(&reply); // generation takes no answer
    return status;
}

// ---- generation ----------------------------------------------------------------------

namespace {

using ContextBlock = qel::Owned<std::uint8_t, +[](std::uint8_t *p) { return qelMemFree(p); }>;

// The master's preferred symmetric algorithms (hashed self-signature
// subpacket 11) for the protection of its new subkey.
void masterPreferences(QELKeyObject *master, QELKeyGenRequest &r)
{
    std::uint32_t length = 0;
    std::uint8_t critical = 0, found = 0;
    QELStatus status = QELError_NoErr;
    const std::uint8_t *data = qelKeyObjFindSelfSigSubpacket(master, QELSubpacket_PrefSymmetric, 0, &length,
                                                             &critical, &found, nullptr, nullptr, &status);
    if (data != nullptr && found && status == QELError_NoErr) {
        r.masterPreferredCiphers = data;
        r.masterPreferredCiphersLength = length;
    }
}

// A locked master key opens only with its passphrase: none, or one it
// refuses, is QELError_BadPassphrase; any other failure of the key object is
// its own.
QELStatus openMaster(QELKeyObject *master, const QELPassArgs &pass)
{
    SecretKey ops(qelKeyObjSecretOps(master, QELKeyRole_Sign));
    if (ops == nullptr)
        return qelKeyObjSecretOpsError(master);
    return qelSecretOpsOpen(ops.get(), pass.passphrase, pass.length, pass.isPasskey);
}

// A service-client database: the new key goes to the service, which writes
// it and hands back the installed object.
QELStatus addThroughService(QELContext *context, const QELKeyGenJob &job, QELSecretKeyObject *key,
                            const QELKeyGenParams *params, QELKeyObject **outObject)
{
    std::uint8_t *flatRaw = nullptr;
    std::uint64_t flatLength = 0;
    QELStatus s = qelKeyGenParamsFlatten(params, &flatRaw, &flatLength);
    ContextBlock flat(flatRaw);
    if (s != QELError_NoErr)
        return s;
    qel::WipedBuffer<std::uint8_t> secret(qelContextMemoryMgr(context), key->secretDataLength(key));
    if (!secret)
        return QELError_OutOfMemory;
    key->exportSecretData(key, secret.get());
    if (job.master == nullptr)
        return qelKeysService().keyDBAddGeneratedKey(job.db, secret.get(), secret.size(), flat.get(),
                                                     std::size_t(flatLength), job.userID, job.userIDLength,
                                                     job.additional, job.additionalClass, job.revokers,
                                                     job.revokerClass, job.pass, outObject);
    // The master's passphrase only unlocks it: it is not cached.
    const QELPassArgs masterPass{job.masterPass.passphrase, job.masterPass.length, job.masterPass.isPasskey};
    return qelKeysService().keyDBAddGeneratedSubKey(job.master, secret.get(), secret.size(), flat.get(),
                                                    std::size_t(flatLength), masterPass, outObject);
}

} // namespace

QELStatus qelKeyGenerateLocal(const QELKeyGenJob &job, QELKeyObject **outObject)
{
    qel::clearOut(outObject);
    const bool primary = job.master == nullptr;
    QELKeyDB *db = primary ? job.db : qelKeyObjKeyDB(job.master);
    if (outObject == nullptr || !qelKeyDBIsValid(db) || (!primary && !qelKeyObjIsKey(job.master)) ||
        (primary && job.userID == nullptr && job.userIDLength != 0))
        return QELError_BadParams;
    // No token is ever found here: the software generator makes every key,
    // whatever token number was given.

    QELKeyGenRequest r = job.request;
    r.context = db->context;
    r.primaryKey = primary;
    r.passphrase = job.pass.passphrase;
    r.passphraseLength = job.pass.passphrase != nullptr ? job.pass.length : 0;
    r.isPasskey = job.pass.isPasskey;
    QELKeyGenProgressContext progress{db->context, job.handler, job.userValue};
    r.progress = qelKeyGenProgress;
    r.progressData = &progress;
    if (!primary)
        masterPreferences(job.master, r);

    QELSecretKeyObject *keyRaw = nullptr;
    QELKeyGenParams *paramsRaw = nullptr;
    QELStatus s = qelKeyGenMakeKeyPair(r, &keyRaw, &paramsRaw);
    SecretKey key(keyRaw);
    Params params(paramsRaw);
    if (s != QELError_NoErr)
        return s;
    if (qelKeyDBIsRemote(db))
        return addThroughService(r.context, job, key.get(), params.get(), outObject);

    QELKeyObject *made = nullptr;
    if (primary) {
        made = qelKeyDBAddGeneratedKey(db, key.get(), params.get(), job.userID, job.userIDLength, job.additional,
                                       job.additionalClass, job.revokers, job.revokerClass, job.pass, &s);
    } else {
        s = openMaster(job.master, job.masterPass);
        if (s == QELError_NoErr)
            made = qelKeyDBAddGeneratedSubKey(job.master, key.get(), params.get(), job.masterPass, &s);
    }
    if (made == nullptr)
        return s != QELError_NoErr ? s : QELError_OutOfMemory;
    if (job.pass.cacheTime != 0 && r.passphraseLength != 0)
        static_cast<void>(qelPassCacheAddForKey(key.get(), r.passphrase, r.passphraseLength, r.isPasskey,
                                                job.pass.cacheTime, job.pass.cacheForAll)); // the key stands uncached
    *outObject = made;
    return QELError_NoErr;
}

// ---- option-list front ends ------------------------------------------------------------

namespace {

// The options both front ends read beyond their mandatory ones.
QELStatus readCommonOptions(QELContext *context, QELOptionList *options, QELKeyGenJob &job)
{
    QELKeyGenRequest &r = job.request;
    std::int32_t algorithm = 0, third = 0, days = 0, noCheck = 0, keyFlags = 0, tokenNumber = 0;
    std::uint32_t bits = 0, creation = 0;
    std::uint8_t keyFlagsPresent = 0, tokenPresent = 0;
    void *handler = nullptr;
    QELStatus s = qelOptionListGetValues(options, QELOption_KeyGenParams, true, "%d%d%d", &algorithm, &bits, &third);
    if (s == QELError_NoErr)
        s = qelOptionListReadPassArgs(options, job.pass);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_ValidityDays, false, "%d", &days);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_CreationTime, false, "%T", &creation);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_EventHandler, false, "%p%p", &handler, &job.userValue);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_KeyFlags, false, "%b%d", &keyFlagsPresent, &keyFlags);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_NoEntropyCheck, false, "%d", &noCheck);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_TokenNumber, false, "%b%d", &tokenPresent, &tokenNumber);
    if (s != QELError_NoErr)
        return s;
    r.fastGeneration = generatorFlag(context, options, s);
    if (s != QELError_NoErr)
        return s;
    // An id that does not fit the octet of a key packet names no algorithm.
    r.algorithm = algorithm >= 0 && algorithm <= 0xFF ? std::uint8_t(algorithm) : 0;
    r.bits = bits;
    r.subgroupBits = std::uint32_t(third);
    r.validityDays = std::uint16_t(std::clamp(days, 0, 0xFFFF));
    r.creationGiven = creation != 0;
    r.creation = creation;
    r.keyFlagsPresent = keyFlagsPresent != 0;
    r.keyFlags = std::uint32_t(keyFlags);
    r.entropyCheck = noCheck == 0;
    job.handler = reinterpret_cast<QELEventHandler>(handler);
    job.tokenPresent = tokenPresent != 0;
    job.tokenNumber = std::uint32_t(tokenNumber);
    return QELError_NoErr;
}

// A service-client database with a token number hands the whole generation
// to the service; otherwise it runs here.
QELStatus generate(QELKeyDB *db, const QELKeyGenJob &job, QELOptionList *, QELKeyObject **outObject)
{
    if (qelKeyDBIsRemote(db) && job.tokenPresent)
        return qelKeysService().keyGenerate(job, outObject);
    return qelKeyGenerateLocal(job, outObject);
}

} // namespace

QELStatus qelKeyGenerateWithOptions(QELKeyObject **outKey, QELOptionList *options)
{
    static constexpr std::int32_t kAccepted[] = {
        QELOption_TargetKeyDB,     QELOption_KeyGenParams,   QELOption_UserID,
        QELOption_Passphrase,      QELOption_Passkey,        QELOption_CachePassphrase,
        QELOption_ValidityDays,    QELOption_CreationTime,   QELOption_EventHandler,
        QELOption_PreferredCiphers, QELOption_PreferredCompression, QELOption_PreferredKeyServer,
        QELOption_KeyServerPrefs,  QELOption_KeyFlags,       QELOption_Subpacket10Keys,
        QELOption_RevocationKeys,  QELOption_KeyGenFlag,     QELOption_NoEntropyCheck,
        QELOption_TokenNumber};
    qel::clearOut(outKey);
    if (qelOptionListCheckTypes(options, kAccepted, static_cast<std::uint32_t>(std::size(kAccepted))) !=
            QELError_NoErr ||
        outKey == nullptr)
        return QELError_BadParams;
    QELKeyGenJob job{};
    void *db = nullptr, *userID = nullptr, *ciphers = nullptr, *compression = nullptr, *server = nullptr;
    void *additional = nullptr, *revokers = nullptr;
    std::uint64_t userIDLength = 0, cipherBytes = 0, compressionBytes = 0, serverLength = 0;
    std::int32_t additionalClass = 0, revokerClass = 0, serverPrefs = 0;
    std::uint8_t serverPrefsPresent = 0;
    QELStatus s = qelOptionListGetValues(options, QELOption_TargetKeyDB, true, "%p", &db);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_UserID, true, "%p%l", &userID, &userIDLength);
    if (s == QELError_NoErr && !qelKeyDBIsValid(db))
        s = QELError_BadParams;
    if (s == QELError_NoErr)
        s = readCommonOptions(static_cast<QELKeyDB *>(db)->context, options, job);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_PreferredCiphers, false, "%p%l", &ciphers, &cipherBytes);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_PreferredCompression, false, "%p%l", &compression,
                                   &compressionBytes);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_PreferredKeyServer, false, "%p%l", &server, &serverLength);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_KeyServerPrefs, false, "%b%d", &serverPrefsPresent,
                                   &serverPrefs);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_Subpacket10Keys, false, "%p%d", &additional,
                                   &additionalClass);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_RevocationKeys, false, "%p%d", &revokers, &revokerClass);
    if (s != QELError_NoErr)
        return s;
    job.db = static_cast<QELKeyDB *>(db);
    job.userID = userID;
    job.userIDLength = userID != nullptr ? std::size_t(userIDLength) : 0;
    QELKeyGenRequest &r = job.request;
    r.preferredCiphers = static_cast<const std::uint32_t *>(ciphers);
    r.preferredCiphersBytes = ciphers != nullptr ? std::size_t(cipherBytes) : 0;
    r.preferredCompression = static_cast<const std::uint32_t *>(compression);
    r.preferredCompressionBytes = compression != nullptr ? std::size_t(compressionBytes) : 0;
    r.keyServer = static_cast<const std::uint8_t *>(server);
    r.keyServerLength = server != nullptr ? std::size_t(serverLength) : 0;
    r.keyServerPrefsPresent = serverPrefsPresent != 0;
    r.keyServerPrefs = std::uint32_t(serverPrefs);
    job.additional = static_cast<QELKeySet *>(additional);
    job.additionalClass = std::uint8_t(additionalClass);
    job.revokers = static_cast<QELKeySet *>(revokers);
    job.revokerClass = std::uint8_t(revokerClass);
    return generate(job.db, job, options, outKey);
}

QELStatus qelSubKeyGenerateWithOptions(QELKeyObject **outSubKey, QELOptionList *options)
{
    static constexpr std::int32_t kAccepted[] = {
        QELOption_MasterKey,    QELOption_KeyGenParams, QELOption_Passphrase,   QELOption_Passkey,
        QELOption_CachePassphrase, QELOption_ValidityDays, QELOption_CreationTime, QELOption_EventHandler,
        QELOption_KeyFlags,     QELOption_KeyGenFlag,   QELOption_NoEntropyCheck, QELOption_TokenNumber};
    qel::clearOut(outSubKey);
    if (qelOptionListCheckTypes(options, kAccepted, static_cast<std::uint32_t>(std::size(kAccepted))) !=
            QELError_NoErr ||
        outSubKey == nullptr)
        return QELError_BadParams;
    QELKeyGenJob job{};
    void *master = nullptr;
    QELStatus s = qelOptionListGetValues(options, QELOption_MasterKey, true, "%p", &master);
    job.master = static_cast<QELKeyObject *>(master);
    if (s == QELError_NoErr && !qelKeyObjIsKey(job.master))
        s = QELError_BadParams;
    if (s == QELError_NoErr)
        s = readCommonOptions(qelKeyObjContext(job.master), options, job);
    if (s == QELError_NoErr)
        s = qelKeyCheckUsable(job.master);
    if (s != QELError_NoErr)
        return s;
    // A subkey is protected with its master's passphrase: the one given
    // serves both.
    job.masterPass = job.pass;
    return generate(qelKeyObjKeyDB(job.master), job, options, outSubKey);
}
