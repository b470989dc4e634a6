// The encode job behind qelEncode.
#include "qelEncode.h"

#include "qelContextInternal.h"
#include "qelEncodeChainInternal.h"
#include "qelFileOpenInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySelfSigInternal.h"
#include "qelHelpers.h"
#include "qelJobIOInternal.h"
#include "qelOptionListInternal.h"
#include "qelSettingsInternal.h"
#include "qelSigSpecInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelWipe.h"

#include "qelKeyProperty.h"
#include "qelMemory.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <span>
#include <vector>
#include <cstring>

namespace {

constexpr std::int32_t kAccepted[] = {
    QELOption_InputFile, QELOption_InputBuffer,  QELOption_OutputFile,         QELOption_OutputBuffer,
    QELOption_OutputAllocatedBuffer, QELOption_AppendOutput, QELOption_DiscardOutput,
    QELOption_OmitLiteralPacket, QELOption_ConventionalEncrypt, QELOption_CipherAlgorithm,
    QELOption_ArmorOutput, QELOption_TextMode, QELOption_Compress, QELOption_LiteralName,
    QELOption_EncryptToKey, QELOption_PreferredCiphers, QELOption_SignWithKey,
};

constexpr std::int32_t kCipherIds = 11; // symmetric ids 1 to 11 take part in the vote

// How many recipients (and the caller) list each cipher id, and where.
struct CipherTally {
    std::int32_t voters = 0;
    std::int32_t count[kCipherIds + 1] = {};
    std::int64_t positionSum[kCipherIds + 1] = {};

    void vote(std::span<const std::uint8_t> ids)
    {
        ++voters;
        for (std::size_t p = 0; p < ids.size(); ++p)
            if (ids[p] >= 1 && ids[p] <= kCipherIds) {
                ++count[ids[p]];
                positionSum[ids[p]] += static_cast<std::int64_t>(p);
            }
    }
};

// The cipher every voter can read, preferring the caller's order, else the
// smallest position sum; with no common cipher, the caller's first usable
// one, else the one most voters list. Ties keep the lower id.
std::int32_t resolveCipher(const CipherTally &tally, std::span<const std::uint8_t> caller)
{
    auto rank = [&](std::int32_t id) -> std::int64_t {
        if (caller.empty())
            return tally.positionSum[id];
        const auto at = std::find(caller.begin(), caller.end(), static_cast<std::uint8_t>(id));
        return at == caller.end() ? INT64_MAX : at - caller.begin();
    };
    std::int32_t best = 0;
    for (std::int32_t id = 1; id <= kCipherIds; ++id)
        if (tally.count[id] == tally.voters && qelCipherDescriptorFind(id) != nullptr &&
            (best == 0 || rank(id) < rank(best)))
            best = id;
    if (best != 0)
        return best;
    for (std::uint8_t id : caller)
        if (qelCipherDescriptorFind(id) != nullptr)
            return id;
    for (std::int32_t id = 1; id <= kCipherIds; ++id)
        if (tally.count[id] > 0 && qelCipherDescriptorFind(id) != nullptr && (best == 0 || tally.count[id] > tally.count[best]))
            best = id;
    return best;
}

struct EncodeJob {
    QELContext *context = nullptr;
    QELOptionList *options = nullptr;
    QELSettings *settings = nullptr;
    QELPipeModule *head = nullptr;
    std::uint8_t *sessionKey = nullptr;
    QELJobInput input;
    QELJobOutput output;
    QELSigSpec *signers = nullptr;

    ~EncodeJob()
    {
        if (head != nullptr)
            qelPipeDestroy(head);
        if (signers != nullptr)
            qelSigSpecFreeList(signers);
        if (sessionKey != nullptr)
            (void)qelMemFree(sessionKey);
        if (settings != nullptr)
            qelSettingsFree(settings);
    }
};

QELStatus setFromOption(EncodeJob &job, std::int32_t kind, std::int32_t id, std::int32_t absent)
{
    std::int32_t value = 0;
    QELStatus s = qelJobIntOption(job.options, kind, absent, &value);
    if (s == 0)
        (void)qelSettingsSetInt(job.settings, id, value, QELSettingPriority_Job); // a higher priority wins
    return s;
}

// Every recipient given, as the key or subkey named (a user ID stands for
// its key), each able to encrypt; the cipher is resolved from their
// preferences unless the caller named one.
QELStatus readRecipients(EncodeJob &job, bool cipherGiven, std::vector<QELKeyObject *> &recipients)
{
    CipherTally tally;
    std::uint32_t total = 0;
    QELOptionItem item{};
    QELStatus s = qelOptionListFindNth(job.options, QELOption_EncryptToKey, 0, false, &item, &total);
    if (s != 0 && total != 0)
        return s;
    for (std::uint32_t n = 0; n < total; ++n) {
        if ((s = qelOptionListFindNth(job.options, QELOption_EncryptToKey, n, true, &item, nullptr)) != 0)
            return s;
        void *pointer = nullptr;
        if ((s = qelOptionGetPointer(&item, &pointer)) != 0)
            return s;
        auto *key = static_cast<QELKeyObject *>(pointer);
        if (!qelKeyObjIsValid(key))
            return QELError_BadParams;
        if (!qelKeyObjIsKeyOrSubKey(key))
            key = qelKeyObjTopKey(key);
        if (key == nullptr)
            return QELError_BadParams;
        QELKeyObject *top = qelKeyObjTopKey(key);
        std::uint32_t length = 0;
        const std::uint8_t *prefs =
            qelKeyObjFindSelfSigSubpacket(top, 11, 0, &length, nullptr, nullptr, nullptr, nullptr, nullptr);
        static constexpr std::uint8_t kDefaultPrefs[] = {3, 1, 2};
        tally.vote(prefs != nullptr ? std::span<const std::uint8_t>(prefs, length)
                                    : std::span<const std::uint8_t>(kDefaultPrefs));
        std::uint8_t canEncrypt = 0;
        if (qelKeyObjBoolPropertyLocal(top, QELProperty_CanEncrypt, &canEncrypt) != 0 || canEncrypt == 0)
            return QELError_KeyUnusableForEncryption;
        recipients.push_back(key);
    }
    if (recipients.empty() || cipherGiven)
        return 0;
    void *callerIds = nullptr;
    std::uint64_t callerBytes = 0;
    if ((s = qelOptionListGetValues(job.options, QELOption_PreferredCiphers, false, "%p%l", &callerIds,
                                    &callerBytes)) != 0)
        return s;
    std::vector<std::uint8_t> caller;
    for (std::uint64_t i = 0; i + 4 <= callerBytes; i += 4) {
        std::uint32_t id = 0;
        std::memcpy(&id, static_cast<const std::uint8_t *>(callerIds) + i, 4);
        caller.push_back(id <= 255 ? static_cast<std::uint8_t>(id) : 0);
    }
    if (!caller.empty())
        tally.vote(caller);
    const std::int32_t cipher = resolveCipher(tally, caller);
    if (cipher == 0)
        return QELError_FeatureNotAvailable;
    (void)qelSettingsSetInt(job.settings, QELSetting_CipherAlgorithm, cipher, QELSettingPriority_Job);
    return 0;
}

// The signer of option 16, able to sign, with the passphrase or passkey of
// its nested list handed to its signature specification.
QELStatus readSigner(EncodeJob &job)
{
    QELOptionItem item{};
    QELStatus s = qelOptionListFindOneOptional(job.options, QELOption_SignWithKey, 0, &item);
    if (s != 0 || item.kind == 0)
        return s;
    void *pointer = nullptr;
    if ((s = qelOptionGetPointer(&item, &pointer)) != 0)
        return s;
    auto *key = static_cast<QELKeyObject *>(pointer);
    if (!qelKeyObjIsKeyOrSubKey(key))
        return QELError_BadParams;
    std::uint8_t canSign = 0;
    if (qelKeyObjBoolPropertyLocal(qelKeyObjTopKey(key), QELProperty_CanSign, &canSign) != 0 || canSign == 0)
        return QELError_KeyUnusableForSignature;
    const std::uint8_t type = qelSettingsGetInt(job.settings, QELSetting_TextMode, nullptr, nullptr) != 0 ? 1 : 0;
    job.signers = qelSigSpecNew(job.settings, key, type);
    if (job.signers == nullptr)
        return QELError_OutOfMemory;
    void *secret = nullptr;
    std::uint64_t length = 0;
    std::uint8_t isPasskey = 0;
    if (item.nested != nullptr) {
        if ((s = qelOptionListGetValues(item.nested, QELOption_Passphrase, false, "%p%l", &secret, &length)) != 0)
            return s;
        if (secret == nullptr) {
            isPasskey = 1;
            if ((s = qelOptionListGetValues(item.nested, QELOption_Passkey, false, "%p%l", &secret, &length)) != 0)
                return s;
        }
    }
    if (secret != nullptr)
        return qelSigSpecSetPassphrase(job.signers, secret, length, isPasskey);
    return 0;
}

QELStatus runJob(EncodeJob &job)
{
    QELStatus s = qelOptionListCheckTypes(job.options, kAccepted, std::size(kAccepted));
    if (s != 0)
        return s;
    if ((s = qelSettingsCopy(qelContextGetSettings(job.context), &job.settings)) != 0)
        return s;
    if ((s = setFromOption(job, QELOption_ArmorOutput, QELSetting_ArmorOutput, 0)) != 0 ||
        (s = setFromOption(job, QELOption_TextMode, QELSetting_TextMode, 0)) != 0 ||
        (s = setFromOption(job, QELOption_Compress, QELSetting_Compress, 1)) != 0)
        return s;
    std::int32_t cipher = -1;
    if ((s = qelJobIntOption(job.options, QELOption_CipherAlgorithm, -1, &cipher)) != 0)
        return s;
    if (cipher != -1) {
        if (qelCipherDescriptorFind(cipher) == nullptr)
            return QELError_FeatureNotAvailable;
        (void)qelSettingsSetInt(job.settings, QELSetting_CipherAlgorithm, cipher, QELSettingPriority_Job);
    }

    QELEncodeConventional conventional{};
    QELOptionItem item{};
    if ((s = qelOptionListFindOneOptional(job.options, QELOption_ConventionalEncrypt, 0, &item)) != 0)
        return s;
    const bool withPassphrase = item.kind != 0;
    if (withPassphrase) {
        void *phrase = nullptr;
        std::uint64_t length = 0;
        if (item.nested == nullptr ||
            qelOptionListGetValues(item.nested, QELOption_Passphrase, false, "%p%l", &phrase, &length) != 0 ||
            phrase == nullptr)
            return QELError_NoConventionalPassphrase;
        if (length == 0)
            return QELError_BadParams;
        conventional = {static_cast<const std::uint8_t *>(phrase), static_cast<std::size_t>(length)};
    }

    std::vector<QELKeyObject *> recipients;
    if ((s = readRecipients(job, cipher != -1, recipients)) != 0)
        return s;
    const bool encrypting = withPassphrase || !recipients.empty();
    if ((s = readSigner(job)) != 0)
        return s;

    if ((s = qelJobOpenInput(job.context, job.options, false, false, job.input)) != 0)
        return s;

    const char *name = nullptr;
    if ((s = qelOptionListGetValues(job.options, QELOption_LiteralName, false, "%p", &name)) != 0)
        return s;
    std::int32_t noLiteral = 0;
    if ((s = qelJobIntOption(job.options, QELOption_OmitLiteralPacket, 0, &noLiteral)) != 0)
        return s;
    const QELEncodeLiteralInfo literal{name, 0};

    if (encrypting) {
        job.sessionKey = static_cast<std::uint8_t *>(
            qelMemAllocSecure(qelContextMemoryMgr(job.context), QELEncodeSessionKeyRecordSize, 0));
        if (job.sessionKey == nullptr)
            return QELError_OutOfMemory;
    }
    std::uint32_t keyLength = 0;
    QELPipeModule **slot = qelEncodeChainBuild(job.context, &job.head, job.settings, nullptr,
                                               qelContextGetRandomContext(job.context),
                                               withPassphrase ? &conventional : nullptr, recipients, job.signers,
                                               noLiteral != 0 ? nullptr : &literal, false, job.sessionKey, false, nullptr, nullptr,
                                               &keyLength, &s);
    if (slot == nullptr)
        return s;
    // Nothing needs the session key once the chain holds it.
    if (job.sessionKey != nullptr) {
        (void)qelMemFree(job.sessionKey);
        job.sessionKey = nullptr;
    }
    std::int32_t append = 0;
    if ((s = qelJobIntOption(job.options, QELOption_AppendOutput, 0, &append)) != 0)
        return s;
    if ((s = qelJobOpenOutput(job.context, job.options, slot, append != 0, QELFileClass_EncodeOutput, false,
                              job.output)) != 0)
        return s;
    if ((s = qelJobPumpInput(job.input, job.head, nullptr, nullptr)) != 0)
        return s;
    return qelJobFinishMemoryOutput(job.head, job.output);
}

} // namespace

QELStatus qelEncode(QELContext *context, QELOptionList *first, ...)
{
    QEL_ENTER();
    std::va_list args;
    va_start(args, first);
    QELOptionList *options = qelOptionListBuildV(context, false, first, args);
    va_end(args);
    if (options == nullptr)
        return QELError_OutOfMemory;
    struct ListGuard {
        QELOptionList *list;
        ~ListGuard() { qelOptionListFree(list); }
    } guard{options};
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    if (options->firstError != QELError_NoErr)
        return options->firstError;
    return qel::noThrow([&]() -> QELStatus {
        EncodeJob job;
        job.context = context;
        job.options = options;
        QELStatus status = runJob(job);
        if (job.head != nullptr) {
            qelPipeDestroy(job.head); // closes the output file
            job.head = nullptr;
        }
        return qelJobCommitOutput(job.output, status);
    });
}
