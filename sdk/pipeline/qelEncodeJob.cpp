// The encode job behind qelEncode. An output file is deleted on failure only
// when this run created it: a file opened for appending keeps every byte it
// held, and one that existed before is replaced only by a finished message.
#include "qelEncode.h"

#include "qelContextInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelEncodeChainInternal.h"
#include "qelFileObjectInternal.h"
#include "qelFileOpenInternal.h"
#include "qelFileSpecInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySelfSigInternal.h"
#include "qelHelpers.h"
#include "qelOptionListInternal.h"
#include "qelSettingsInternal.h"
#include "qelSigSpecInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelVarMemoryModuleInternal.h"
#include "qelWipe.h"
#include "qelWriteFileModuleInternal.h"
#include "qelWriteMemoryModuleInternal.h"

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
    QELOption_InputBuffer,  QELOption_OutputFile,         QELOption_OutputBuffer,
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
    const QELFileSpec *outputSpec = nullptr; // set only for a file this run created
    // Replacing an existing file: the message goes to a new file beside it,
    // renamed over it only once the run succeeded.
    QELFileSpec *staging = nullptr;
    const QELFileSpec *replaced = nullptr;
    QELPipeModule *memorySink = nullptr;
    void **allocatedOut = nullptr;
    std::uint64_t *sizeOut = nullptr;
    std::uint64_t limit = 0;
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
        if (staging != nullptr)
            (void)qelFileSpecFree(staging);
    }
};

// An int option's value, or `absent` when the list has none.
QELStatus intOption(QELOptionList *list, std::int32_t kind, std::int32_t absent, std::int32_t *out)
{
    QELOptionItem item{};
    QELStatus s = qelOptionListFindOneOptional(list, kind, 0, &item);
    if (s != 0)
        return s;
    if (item.kind == 0) {
        *out = absent;
        return 0;
    }
    return qelOptionGetInt(&item, out);
}

QELStatus setFromOption(EncodeJob &job, std::int32_t kind, std::int32_t id, std::int32_t absent)
{
    std::int32_t value = 0;
    QELStatus s = intOption(job.options, kind, absent, &value);
    if (s == 0)
        (void)qelSettingsSetInt(job.settings, id, value, QELSettingPriority_Job); // a higher priority wins
    return s;
}

// Puts the output sink at `slot`; remembers a file this run created so that
// a failure can remove it.
QELStatus openOutput(EncodeJob &job, QELPipeModule **slot, bool append)
{
    QELOptionItem file{}, fixed{}, allocated{}, discard{};
    QELStatus s = qelOptionListFindOneOptional(job.options, QELOption_OutputFile, 0, &file);
    if (s == 0)
        s = qelOptionListFindOneOptional(job.options, QELOption_OutputBuffer, 0, &fixed);
    if (s == 0)
        s = qelOptionListFindOneOptional(job.options, QELOption_OutputAllocatedBuffer, 0, &allocated);
    if (s == 0)
        s = qelOptionListFindOneOptional(job.options, QELOption_DiscardOutput, 0, &discard);
    if (s != 0)
        return s;
    const int outputs = (file.kind != 0) + (fixed.kind != 0) + (allocated.kind != 0) + (discard.kind != 0);
    if (outputs > 1)
        return QELError_BadParams;
    if (file.kind != 0) {
        void *pointer = nullptr;
        if ((s = qelOptionGetPointer(&file, &pointer)) != 0)
            return s;
        const auto *spec = static_cast<const QELFileSpec *>(pointer);
        std::uint8_t existed = 0;
        if ((s = qelFileSpecExists(spec, &existed)) != 0)
            return s;
        const std::uint16_t flags = append ? (QELOpen_Create | QELOpen_Append | QELOpen_Write)
                                           : (QELOpen_Create | QELOpen_Truncate | QELOpen_Write);
        const QELFileSpec *target = spec;
        if (existed && !append) {
            if ((s = qelFileSpecMakeUnique(spec, &job.staging)) != 0)
                return s;
            target = job.staging;
            job.replaced = spec;
        }
        QELFileObject *object = qelFileSpecOpenFileObj(job.context, target, flags, QELFileClass_EncodeOutput, &s);
        if (object == nullptr)
            return s != 0 ? s : QELError_OutOfMemory;
        if (qelWriteFileModuleCreate(job.context, slot, object, true) == nullptr) {
            (void)object->close(object);
            return QELError_OutOfMemory;
        }
        if (!append)
            job.outputSpec = target;
        return 0;
    }
    if (fixed.kind != 0 || allocated.kind != 0) {
        void *buffer = nullptr, *second = nullptr, *third = nullptr;
        if ((s = qelOptionGetRecord3(fixed.kind != 0 ? &fixed : &allocated, &buffer, &second, &third)) != 0)
            return s;
        const auto size = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(second));
        job.sizeOut = static_cast<std::uint64_t *>(third);
        job.limit = size;
        if (fixed.kind != 0) {
            job.memorySink = qelWriteMemoryModuleCreate(job.context, slot, buffer, size);
        } else {
            job.allocatedOut = static_cast<void **>(buffer);
            job.memorySink = qelVarMemoryModuleCreatePlain(job.context, slot, size);
        }
        return job.memorySink != nullptr ? 0 : QELError_OutOfMemory;
    }
    return qelDevNullModuleCreate(job.context, slot) != nullptr ? 0 : QELError_OutOfMemory;
}

// Checks a fixed buffer or hands the allocated one over. A buffer that
// overflowed its limit is freed here rather than handed over with an error
// the caller would not free it on.
QELStatus finishMemoryOutput(EncodeJob &job)
{
    std::uint64_t position = 0;
    QELStatus s = qelPipeAnnotate(job.head, nullptr, QELAnnotation_QueryPosition, &position, sizeof position);
    if (s != 0)
        return s;
    if (job.allocatedOut == nullptr) {
        if (job.sizeOut != nullptr)
            *job.sizeOut = position < job.limit ? position : job.limit;
        return position > job.limit ? QELError_OutputBufferTooSmall : 0;
    }
    void *buffer = nullptr;
    if ((s = qelPipeAnnotate(job.head, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer)) != 0)
        return s;
    if (position > job.limit) {
        (void)qelMemFree(buffer);
        return QELError_OutputBufferTooSmall;
    }
    *job.allocatedOut = buffer;
    if (job.sizeOut != nullptr)
        *job.sizeOut = position;
    return 0;
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
    if ((s = intOption(job.options, QELOption_CipherAlgorithm, -1, &cipher)) != 0)
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

    void *input = nullptr;
    std::uint64_t inputLength = 0;
    if ((s = qelOptionListGetValues(job.options, QELOption_InputBuffer, false, "%p%l", &input, &inputLength)) != 0)
        return s;
    if (input == nullptr && inputLength != 0)
        return QELError_BadParams;
    QELOptionItem inputItem{};
    if ((s = qelOptionListFindOneOptional(job.options, QELOption_InputBuffer, 0, &inputItem)) != 0)
        return s;
    if (inputItem.kind == 0)
        return QELError_BadParams;

    const char *name = nullptr;
    if ((s = qelOptionListGetValues(job.options, QELOption_LiteralName, false, "%p", &name)) != 0)
        return s;
    std::int32_t noLiteral = 0;
    if ((s = intOption(job.options, QELOption_OmitLiteralPacket, 0, &noLiteral)) != 0)
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
    if ((s = intOption(job.options, QELOption_AppendOutput, 0, &append)) != 0)
        return s;
    if ((s = openOutput(job, slot, append != 0)) != 0)
        return s;
    if ((s = qelPipePumpBuffer(job.head, input, inputLength, nullptr, nullptr)) != 0)
        return s;
    if (job.memorySink != nullptr && (s = finishMemoryOutput(job)) != 0)
        return s;
    return 0;
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
        const QELFileSpec *created = job.outputSpec;
        if (job.head != nullptr) {
            qelPipeDestroy(job.head); // closes the output file
            job.head = nullptr;
        }
        if (status == 0 && job.replaced != nullptr)
            status = qelFileSpecRenameTo(job.staging, job.replaced);
        if (status != 0 && created != nullptr)
            (void)qelFileSpecDelete(created);
        return status;
    });
}
