// The encode job behind qelEncode: checks the options and keys, builds the
// encode chain, pumps the input through it into the output and reports
// through events, ending every run that has read its handler with the final
// event.
#include "qelEncode.h"

#include "qelContextInternal.h"
#include "qelEncodeChainInternal.h"
#include "qelEncodePKIMessageInternal.h"
#include "qelEventInternal.h"
#include "qelFileReadModuleInternal.h"
#include "qelFileOpenInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeyIterInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyOpsInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeySelfSigInternal.h"
#include "qelHelpers.h"
#include "qelJobIOInternal.h"
#include "qelJobReadInputInternal.h"
#include "qelOptionListInternal.h"
#include "qelRandomContextInternal.h"
#include "qelSettingsInternal.h"
#include "qelSigSpecInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTextFilterModuleInternal.h"
#include "qelWipe.h"

#include "qelAlgorithms.h"
#include "qelEnumeratedSet.h"
#include "qelFIPS.h"
#include "qelKeyIter.h"
#include "qelKeyProperty.h"
#include "qelKeySet.h"
#include "qelRandomPool.h"
#include "qelMemory.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <span>
#include <vector>
#include <cstring>

namespace {

constexpr std::int32_t kAccepted[] = {
    QELOption_InputFile,         QELOption_InputBuffer,        QELOption_OutputFile,
    QELOption_OutputBuffer,      QELOption_OutputAllocatedBuffer, QELOption_AppendOutput,
    QELOption_DiscardOutput,     QELOption_LineEndFlags,       QELOption_OmitLiteralPacket,
    QELOption_EncryptToKey,      QELOption_EncryptToKeySet,    QELOption_SignWithKey,
    QELOption_ConventionalEncrypt, QELOption_DetachedSignature, QELOption_CipherAlgorithm,
    QELOption_HashAlgorithm,     QELOption_MinKeySize,         QELOption_WarnKeySize,
    QELOption_MimeEncoding,      QELOption_OutputLineEnd,      QELOption_EventHandler,
    QELOption_SendProgress,      QELOption_AskEntropy,         QELOption_ArmorOutput,
    QELOption_TextMode,          QELOption_ClearSign,          QELOption_ForYourEyesOnly,
    QELOption_PreferredCiphers,  QELOption_CommentString,      QELOption_Compress,
    QELOption_VersionString,     QELOption_OmitMimeVersion,    QELOption_LiteralName,
    QELOption_OutputFormat,      QELOption_CachePassphrase,    QELOption_PreferredCompression,
    QELOption_ExportPrivateKeys, QELOption_Kind55, QELOption_ExportFormat,
    QELOption_ExportKeySet,      QELOption_ExportKey,
};

constexpr std::int32_t kCipherIds = 11;     // symmetric ids 1 to 11 take part in the vote
constexpr std::int32_t kCompressionIds = 3; // none, zip, zlib

// How many recipients (and the caller) list each cipher id, and where; and
// how many list each compression id.
struct CipherTally {
    std::int32_t voters = 0;
    std::int32_t count[kCipherIds + 1] = {};
    std::int64_t positionSum[kCipherIds + 1] = {};
    std::int32_t compressionVoters = 0;
    std::int32_t compression[kCompressionIds] = {};

    void vote(std::span<const std::uint8_t> ids)
    {
        ++voters;
        for (std::size_t p = 0; p < ids.size(); ++p)
            if (ids[p] >= 1 && ids[p] <= kCipherIds) {
                ++count[ids[p]];
                positionSum[ids[p]] += static_cast<std::int64_t>(p);
            }
    }
    void voteCompression(std::span<const std::uint8_t> ids)
    {
        ++compressionVoters;
        for (std::uint8_t id : ids)
            if (id < kCompressionIds)
                ++compression[id];
    }
};

// An option holding an array of 32-bit ids, as their low bytes (ids above
// 255 count as none).
QELStatus idArrayOption(QELOptionList *list, std::int32_t kind, std::vector<std::uint8_t> &out)
{
    void *ids = nullptr;
    std::uint64_t bytes = 0;
    if (QELStatus s = qelOptionListGetValues(list, kind, false, "%p%l", &ids, &bytes); s != 0)
        return s;
    for (std::uint64_t i = 0; ids != nullptr && i + 4 <= bytes; i += 4) {
        std::uint32_t id = 0;
        std::memcpy(&id, static_cast<const std::uint8_t *>(ids) + i, 4);
        out.push_back(id <= 255 ? static_cast<std::uint8_t>(id) : 0);
    }
    return 0;
}

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
    QELJobOutput output;
    QELSigSpec *signers = nullptr;
    QELEventHandler handler = nullptr;
    void *userValue = nullptr;
    bool progress = false;
    bool eventsRead = false; // from here on every run ends with the final event

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

// Revoked, disabled, expired or below the minimum validity refuse the key;
// below the warning validity adds it to `low` when given.
QELStatus checkKey(QELKeyObject *key, std::int32_t minimum, std::int32_t warning, QELKeySet *low)
{
    QELKeyObject *top = qelKeyObjTopKey(key);
    std::int32_t validity = 0;
    QELStatus s = qelKeyObjNumberPropertyLocal(top, QELProperty_Validity, &validity);
    if (s != 0)
        return s;
    struct Refusal {
        std::uint32_t property;
        QELStatus status;
    };
    static constexpr Refusal kRefusals[] = {{QELProperty_IsRevoked, QELError_KeyRevoked},
                                            {QELProperty_IsDisabled, QELError_KeyDisabled},
                                            {QELProperty_IsExpired, QELError_KeyExpired}};
    for (const Refusal &r : kRefusals) {
        std::uint8_t holds = 0;
        if ((s = qelKeyObjBoolPropertyLocal(top, r.property, &holds)) != 0)
            return s;
        if (holds != 0)
            return r.status;
    }
    if (validity < minimum)
        return QELError_KeyTooSmall;
    if (low != nullptr && validity < warning)
        return qelKeySetAddObject(top, low);
    return 0;
}

struct Recipients {
    std::vector<QELKeyObject *> keys;
    CipherTally tally;
    QELKeySet *low = nullptr; // keys below the warning validity
    std::int32_t minimum = 0;
    std::int32_t warning = 2;

    Recipients() = default;
    Recipients(const Recipients &) = delete;
    Recipients &operator=(const Recipients &) = delete;
    ~Recipients()
    {
        if (low != nullptr)
            qelKeySetReleaseInternal(low, false);
    }
};

// One recipient: checked, its preferences counted, and able to encrypt.
QELStatus addRecipient(Recipients &r, QELKeyObject *key)
{
    QELStatus s = 0;
    if (r.low == nullptr && (s = qelEnumeratedSetNewEmpty(qelKeyObjKeyDB(key), &r.low)) != 0)
        return s;
    if ((s = checkKey(key, r.minimum, r.warning, r.low)) != 0)
        return s;
    QELKeyObject *top = qelKeyObjTopKey(key);
    static constexpr std::uint8_t kFIPSPrefs[] = {QELCipherAlgorithm_3DES};
    static constexpr std::uint8_t kOldRSAPrefs[] = {QELCipherAlgorithm_IDEA};
    static constexpr std::uint8_t kDefaultPrefs[] = {QELCipherAlgorithm_CAST5, QELCipherAlgorithm_IDEA,
                                                     QELCipherAlgorithm_3DES};
    static constexpr std::uint8_t kDefaultCompression[] = {1};
    std::uint32_t length = 0;
    if (qelFIPSModeEnabled() != 0) {
        r.tally.vote(kFIPSPrefs);
    } else if (const std::uint8_t *prefs = qelKeyObjFindSelfSigSubpacket(top, 11, 0, &length, nullptr, nullptr,
                                                                         nullptr, nullptr, nullptr);
               prefs != nullptr) {
        r.tally.vote(std::span<const std::uint8_t>(prefs, length));
    } else {
        std::int32_t algorithm = 0;
        const bool oldRSA = qelKeyObjKeyVersion(top) <= 3 &&
                            qelKeyObjNumberPropertyLocal(top, QELProperty_Algorithm, &algorithm) == 0 &&
                            algorithm >= 1 && algorithm <= 3;
        r.tally.vote(oldRSA ? std::span<const std::uint8_t>(kOldRSAPrefs) : std::span<const std::uint8_t>(kDefaultPrefs));
    }
    const std::uint8_t *zips =
        qelKeyObjFindSelfSigSubpacket(top, 22, 0, &length, nullptr, nullptr, nullptr, nullptr, nullptr);
    r.tally.voteCompression(zips != nullptr ? std::span<const std::uint8_t>(zips, length)
                                            : std::span<const std::uint8_t>(kDefaultCompression));
    std::uint8_t canEncrypt = 0;
    if (qelKeyObjBoolPropertyLocal(top, QELProperty_CanEncrypt, &canEncrypt) != 0 || canEncrypt == 0)
        return QELError_KeyUnusableForEncryption;
    r.keys.push_back(key);
    return 0;
}

// Every key of a recipient key set, in the set's order.
QELStatus addRecipientSet(Recipients &r, QELKeySet *set)
{
    if (!qelKeySetIsValid(set) || qelKeySetIsEmpty(set))
        return QELError_BadParams;
    QELKeyIter *iter = nullptr;
    QELStatus s = qelKeyIterNewOnSet(set, &iter);
    while (s == 0) {
        QELKeyObject *key = nullptr;
        if ((s = qelKeyIterNext(iter, 1, &key)) != 0 || key == nullptr)
            break;
        s = addRecipient(r, key);
    }
    if (iter != nullptr)
        (void)qelKeyIterFree(iter);
    return s == QELError_EndOfIteration ? 0 : s;
}

// Every recipient given (option 13: a key, subkey or user ID standing for
// its key; option 14: a key set), then one warning for those below the
// warning validity, then the cipher and compression every recipient reads.
QELStatus readRecipients(EncodeJob &job, Recipients &r)
{
    QELStatus s = qelJobIntOption(job.options, QELOption_MinKeySize, 0, &r.minimum);
    if (s == 0)
        s = qelJobIntOption(job.options, QELOption_WarnKeySize, 2, &r.warning);
    if (s != 0)
        return s;
    for (std::int32_t kind : {QELOption_EncryptToKey, QELOption_EncryptToKeySet}) {
        std::uint32_t total = 0;
        QELOptionItem item{};
        s = qelOptionListFindNth(job.options, kind, 0, false, &item, &total);
        if (s != 0 && total != 0)
            return s;
        for (std::uint32_t n = 0; n < total; ++n) {
            void *pointer = nullptr;
            if ((s = qelOptionListFindNth(job.options, kind, n, true, &item, nullptr)) != 0 ||
                (s = qelOptionGetPointer(&item, &pointer)) != 0)
                return s;
            if (kind == QELOption_EncryptToKeySet) {
                if ((s = addRecipientSet(r, static_cast<QELKeySet *>(pointer))) != 0)
                    return s;
                continue;
            }
            auto *key = static_cast<QELKeyObject *>(pointer);
            if (!qelKeyObjIsValid(key))
                return QELError_BadParams;
            if (!qelKeyObjIsKeyOrSubKey(key))
                key = qelKeyObjTopKey(key);
            if (key == nullptr)
                return QELError_BadParams;
            if ((s = addRecipient(r, key)) != 0)
                return s;
        }
    }
    if (r.low != nullptr && !qelKeySetIsEmpty(r.low)) {
        s = qelEventSendWarning(job.context, nullptr, job.handler, job.userValue, QELError_KeyTooSmall, r.low);
        if (s != 0)
            return s;
    }
    if (r.keys.empty())
        return 0;
    std::vector<std::uint8_t> caller;
    if ((s = idArrayOption(job.options, QELOption_PreferredCiphers, caller)) != 0)
        return s;
    if (!caller.empty())
        r.tally.vote(caller);
    const std::int32_t cipher = resolveCipher(r.tally, caller);
    if (cipher == 0)
        return QELError_FeatureNotAvailable;
    (void)qelSettingsSetInt(job.settings, QELSetting_CipherAlgorithm, cipher, QELSettingPriority_Job);
    std::vector<std::uint8_t> zips;
    if ((s = idArrayOption(job.options, QELOption_PreferredCompression, zips)) != 0)
        return s;
    if (!zips.empty())
        r.tally.voteCompression(zips);
    const std::int32_t zip = r.tally.compression[2] == r.tally.compressionVoters ? 2 : 1;
    (void)qelSettingsSetInt(job.settings, QELSetting_CompressAlgorithm, zip, QELSettingPriority_Job);
    return 0;
}

// The signer of option 16: a key that can sign, passes the key checks and
// opens with the passphrase or passkey of its nested list; its signature
// specification carries that secret. A detached signature needs a signer
// and no encryption.
QELStatus readSigner(EncodeJob &job, bool encrypting, bool detached)
{
    QELOptionItem item{};
    QELStatus s = qelOptionListFindOneOptional(job.options, QELOption_SignWithKey, 0, &item);
    if (s != 0)
        return s;
    if (item.kind != 0) {
        void *pointer = nullptr;
        if ((s = qelOptionGetPointer(&item, &pointer)) != 0)
            return s;
        auto *key = static_cast<QELKeyObject *>(pointer);
        if (!qelKeyObjIsKeyOrSubKey(key))
            return QELError_BadParams;
        std::uint8_t canSign = 0;
        if (qelKeyObjBoolPropertyLocal(qelKeyObjTopKey(key), QELProperty_CanSign, &canSign) != 0 || canSign == 0)
            return QELError_KeyUnusableForSignature;
        std::int32_t minimum = 0, warning = 2;
        if ((s = qelJobIntOption(job.options, QELOption_MinKeySize, 0, &minimum)) != 0 ||
            (s = qelJobIntOption(job.options, QELOption_WarnKeySize, 2, &warning)) != 0 ||
            (s = checkKey(key, minimum, warning, nullptr)) != 0)
            return s;
        std::uint8_t needsPassphrase = 0;
        if ((s = qelKeyObjBoolPropertyLocal(key, qelKeyObjType(key) == QELObjectType_SubKey
                                                     ? QELProperty_SubKeyNeedsPassphrase
                                                     : QELProperty_NeedsPassphrase,
                                            &needsPassphrase)) != 0)
            return s;
        QELJobPassphrase secret;
        if (needsPassphrase != 0) {
            if (item.nested != nullptr && (s = qelJobGetPassphrase(job.context, item.nested, secret)) != 0)
                return s;
            if (qelKeyObjUnlock(key, secret.bytes, secret.length, secret.passkey ? 1 : 0,
                                static_cast<std::uint32_t>(secret.cacheTime), secret.cache ? 1 : 0) != 0)
                return QELError_BadPassphrase;
        }
        const std::uint8_t type = qelSettingsGetInt(job.settings, QELSetting_TextMode, nullptr, nullptr) != 0 ? 1 : 0;
        job.signers = qelSigSpecNew(job.settings, key, type);
        if (job.signers == nullptr)
            return QELError_OutOfMemory;
        if (secret.bytes != nullptr &&
            (s = qelSigSpecSetPassphrase(job.signers, secret.bytes, secret.length, secret.passkey ? 1 : 0)) != 0)
            return s;
    }
    if (detached && (job.signers == nullptr || encrypting))
        return QELError_BadParams;
    return 0;
}

// The recipient progress of the chain build: 0 done of 1 per key.
QELStatus recipientProgress(void *user, std::size_t, std::size_t)
{
    auto &job = *static_cast<EncodeJob *>(user);
    return qelEventSendProgress(job.context, nullptr, job.handler, job.userValue, 0, 1);
}

QELStatus pumpProgress(void *user, std::uint64_t done, std::uint64_t total)
{
    auto &job = *static_cast<EncodeJob *>(user);
    return qelEventSendProgress(job.context, nullptr, job.handler, job.userValue, done, total);
}

// Key material is drawn only from a pool holding its minimum entropy. With
// option 35 the caller is asked for more through entropy events; a caller
// that adds nothing for kEntropyPatience events in a row, or no caller at
// all, ends the wait with QELError_OutOfEntropy rather than looping forever.
constexpr int kEntropyPatience = 100;

constexpr std::uint64_t kBufferStir = 1024; // input bytes that stir the random context
constexpr std::uint64_t kFileStir = 8192;

QELStatus gatherEntropy(EncodeJob &job)
{
    if (qelRandomPoolHasMinimumEntropy())
        return 0;
    std::int32_t ask = 0;
    if (QELStatus s = qelJobIntOption(job.options, QELOption_AskEntropy, 0, &ask); s != 0)
        return s;
    if (ask == 0 || job.handler == nullptr)
        return QELError_OutOfEntropy;
    const auto minimum = static_cast<std::int32_t>(qelRandomPoolGetMinimumEntropy());
    std::int32_t best = qelRandomPoolGetEntropy();
    for (int idle = 0; !qelRandomPoolHasMinimumEntropy(); ++idle) {
        if (idle == kEntropyPatience)
            return QELError_OutOfEntropy;
        const QELStatus s = qelEventSendEntropy(job.context, nullptr, job.handler, job.userValue,
                                                minimum - qelRandomPoolGetEntropy());
        if (s != 0)
            return s;
        if (const std::int32_t now = qelRandomPoolGetEntropy(); now > best) {
            best = now;
            idle = -1;
        }
    }
    return 0;
}

// Option 27's out fields: the MIME header's length (plus one per line for
// CR LF line ends) and its boundary, at most QEL_MIME_BOUNDARY_SIZE bytes
// with the NUL.
QELStatus reportMimeInfo(EncodeJob &job, std::int32_t lineEnd)
{
    QELOptionItem item{};
    QELStatus s = qelOptionListFindOneOptional(job.options, QELOption_MimeEncoding, 0, &item);
    if (s != 0 || item.kind == 0)
        return s;
    void *flag = nullptr, *lengthOut = nullptr, *boundaryOut = nullptr;
    if ((s = qelOptionGetRecord3(&item, &flag, &lengthOut, &boundaryOut)) != 0)
        return s;
    if (lengthOut != nullptr) {
        std::uint64_t length = 0, lines = 0;
        if ((s = qelPipeAnnotate(job.head, nullptr, QELAnnotation_QueryMimeHeaderLength, &length, sizeof length)) != 0)
            return s;
        if (lineEnd == QELLineEnd_CRLF &&
            (s = qelPipeAnnotate(job.head, nullptr, QELAnnotation_QueryMimeHeaderLines, &lines, sizeof lines)) != 0)
            return s;
        *static_cast<std::uint64_t *>(lengthOut) = length + lines;
    }
    if (boundaryOut != nullptr) {
        char boundary[QEL_MIME_BOUNDARY_SIZE] = {};
        if ((s = qelPipeAnnotate(job.head, nullptr, QELAnnotation_QueryMimeBoundary, boundary, sizeof boundary)) != 0)
            return s;
        boundary[sizeof boundary - 1] = 0;
        std::memcpy(boundaryOut, boundary, std::strlen(boundary) + 1);
    }
    return 0;
}

QELStatus setFromString(EncodeJob &job, std::int32_t kind, std::int32_t id)
{
    const char *text = nullptr;
    QELStatus s = qelOptionListGetValues(job.options, kind, false, "%p", &text);
    if (s == 0 && text != nullptr)
        (void)qelSettingsSetString(job.settings, id, text, QELSettingPriority_Job); // a higher priority wins
    return s;
}

// Options to settings of the job's own copy.
QELStatus readSettings(EncodeJob &job)
{
    QELStatus s = 0;
    if ((s = setFromOption(job, QELOption_ArmorOutput, QELSetting_ArmorOutput, 0)) != 0 ||
        (s = setFromOption(job, QELOption_TextMode, QELSetting_TextMode, 0)) != 0 ||
        (s = setFromOption(job, QELOption_Compress, QELSetting_Compress, 1)) != 0)
        return s;
    std::int32_t value = 0;
    if ((s = qelJobIntOption(job.options, QELOption_ClearSign, 0, &value)) != 0)
        return s;
    (void)qelSettingsSetInt(job.settings, QELSetting_ClearSign, value != 0, QELSettingPriority_Job);
    if (value != 0) {
        (void)qelSettingsSetInt(job.settings, QELSetting_TextMode, 1, QELSettingPriority_Job);
        (void)qelSettingsSetInt(job.settings, QELSetting_ArmorOutput, 1, QELSettingPriority_Job);
    }
    if ((s = qelJobIntOption(job.options, QELOption_MimeEncoding, -1, &value)) != 0)
        return s;
    if (value != -1) {
        (void)qelSettingsSetInt(job.settings, QELSetting_MimeOutput, value, QELSettingPriority_Job);
        (void)qelSettingsSetInt(job.settings, QELSetting_ArmorOutput, 1, QELSettingPriority_Job);
    }
    if ((s = qelJobIntOption(job.options, QELOption_OmitMimeVersion, 0, &value)) != 0)
        return s;
    (void)qelSettingsSetInt(job.settings, QELSetting_MimeVersionHeader, value == 0, QELSettingPriority_Job);
    if ((s = qelJobIntOption(job.options, QELOption_HashAlgorithm, -1, &value)) != 0)
        return s;
    if (value != -1)
        (void)qelSettingsSetInt(job.settings, QELSetting_HashAlgorithm, value, QELSettingPriority_Job);
    if ((s = qelJobIntOption(job.options, QELOption_CipherAlgorithm, -1, &value)) != 0)
        return s;
    if (value != -1) {
        if (qelCipherDescriptorFind(value) == nullptr)
            return QELError_FeatureNotAvailable;
        (void)qelSettingsSetInt(job.settings, QELSetting_CipherAlgorithm, value, QELSettingPriority_Job);
    }
    if ((s = setFromString(job, QELOption_CommentString, QELSetting_CommentString)) != 0)
        return s;
    return setFromString(job, QELOption_VersionString, QELSetting_VersionString);
}

// Option 17: the passphrase of conventional encryption.
QELStatus readConventional(EncodeJob &job, QELEncodeConventional &conventional, bool &present)
{
    QELOptionItem item{};
    QELStatus s = qelOptionListFindOneOptional(job.options, QELOption_ConventionalEncrypt, 0, &item);
    present = item.kind != 0;
    if (s != 0 || !present)
        return s;
    void *phrase = nullptr;
    std::uint64_t length = 0;
    if (item.nested == nullptr ||
        qelOptionListGetValues(item.nested, QELOption_Passphrase, false, "%p%l", &phrase, &length) != 0 ||
        phrase == nullptr)
        return QELError_NoConventionalPassphrase;
    if (length == 0)
        return QELError_BadParams;
    conventional = {static_cast<const std::uint8_t *>(phrase), static_cast<std::size_t>(length)};
    return 0;
}

// ---- the PKI message branch -------------------------------------------------------

// The newest creation time of the X.509 signatures below a key.
std::uint32_t newestCertificateTime(QELKeyObject *node)
{
    std::uint32_t newest = 0;
    for (QELKeyObject *child = node->firstChild; child != nullptr; child = child->next) {
        std::uint32_t time = 0;
        if (qelKeyObjIsLiveSignature(child) && qelKeyObjSigIsX509(child) &&
            qelKeyObjTimePropertyLocal(child, QELProperty_SigCreation, &time) == 0)
            newest = std::max(newest, time);
        newest = std::max(newest, newestCertificateTime(child));
    }
    return newest;
}

// A signer's transaction ID: the digest of its public key with the newest
// certificate time folded into the first four octets (least significant
// first), so that each certificate of the key makes its own transaction.
QELStatus transactionID(QELKeyObject *signer, std::vector<std::uint8_t> &out)
{
    std::uint8_t digest[64] = {};
    std::size_t length = 0;
    const QELStatus s = qelKeyObjDataPropertyLocal(signer, QELProperty_PublicKeyInfoDigest, digest, sizeof digest,
                                                   &length);
    if (s != 0)
        return s;
    out.assign(digest, digest + std::min(length, sizeof digest));
    const std::uint32_t time = newestCertificateTime(qelKeyObjTopKey(signer));
    for (std::size_t i = 0; i < 4 && i < out.size(); ++i)
        out[i] ^= static_cast<std::uint8_t>(time >> (8 * i));
    return 0;
}

// Option 67 of 10000 or more: the whole input becomes one PKI message of
// the toolkit (signed by option 16's key, enveloped for the one recipient),
// written to the output as it is.
QELStatus encodePKIMessage(EncodeJob &job, std::int32_t kind, const Recipients &recipients, bool withPassphrase,
                           bool detached)
{
    const auto build = qelEncodeJobSeams().buildPKIMessage;
    if (build == nullptr)
        return QELError_FeatureNotAvailable;
    std::uint32_t signers = 0;
    QELOptionItem item{};
    QELStatus s = qelOptionListFindNth(job.options, QELOption_SignWithKey, 0, false, &item, &signers);
    if (s != 0 && signers != 0)
        return s;
    if ((s = readSigner(job, withPassphrase || !recipients.keys.empty(), detached)) != 0)
        return s;
    if (withPassphrase || recipients.keys.size() > 1 || signers > 1 || detached)
        return QELError_BadParams;
    QELKeyObject *signer = nullptr;
    qel::OwnedOptionList secret;
    if (signers == 1) {
        void *pointer = nullptr;
        if ((s = qelOptionListFindOneOptional(job.options, QELOption_SignWithKey, 0, &item)) != 0 ||
            (s = qelOptionGetPointer(&item, &pointer)) != 0)
            return s;
        signer = static_cast<QELKeyObject *>(pointer);
        QELJobPassphrase phrase;
        if (item.nested != nullptr && (s = qelJobGetPassphrase(job.context, item.nested, phrase)) != 0)
            return s;
        if (phrase.bytes != nullptr) {
            secret.reset(qelJobPassphraseOption(job.context, phrase));
            if (secret == nullptr)
                return QELError_OutOfMemory;
        }
    }
    QELKeyObject *recipient = recipients.keys.empty() ? nullptr : recipients.keys.front();
    if ((signer != nullptr || recipient != nullptr) && (s = gatherEntropy(job)) != 0)
        return s;
    QELJobInput input;
    const std::uint8_t *content = nullptr;
    std::uint64_t contentLength = 0;
    std::uint8_t *owned = nullptr;
    if ((s = qelJobOpenInput(job.context, job.options, false, false, false, input)) != 0 ||
        (s = qelJobReadInput(job.context, input, &content, &contentLength, &owned)) != 0)
        return s;
    std::vector<std::uint8_t> id;
    if (signer != nullptr && (s = transactionID(signer, id)) != 0) {
        qelJobFreeInput(owned, contentLength);
        return s;
    }
    std::uint8_t *message = nullptr;
    std::uint64_t messageLength = 0;
    // The toolkit consumes the secret's list.
    s = build(job.context, content, contentLength, id.empty() ? nullptr : id.data(), id.size(), recipient, signer,
              secret.release(), kind, &message, &messageLength);
    qelJobFreeInput(owned, contentLength);
    if (s != 0)
        return s;
    const qel::Owned<std::uint8_t, qelMemFree> messageGuard(message);
    std::int32_t append = 0;
    if ((s = qelJobIntOption(job.options, QELOption_AppendOutput, 0, &append)) != 0 ||
        (s = qelJobOpenOutput(job.context, job.options, &job.head, append != 0, QELFileClass_EncodeOutput, false,
                              job.output)) != 0 ||
        (s = qelPipePumpBuffer(job.head, message, messageLength, nullptr, nullptr)) != 0)
        return s;
    return qelJobFinishMemoryOutput(job.output.memorySink != nullptr ? job.output.memorySink : job.head, job.output);
}

QELStatus runJob(EncodeJob &job)
{
    QELStatus s = 0;
    if ((s = qelSettingsCopy(qelContextGetSettings(job.context), &job.settings)) != 0 || (s = readSettings(job)) != 0)
        return s;
    if ((s = qelJobGetEventHandler(job.options, &job.handler, &job.userValue, &job.progress)) != 0)
        return s;
    job.eventsRead = true;
    // The encoder reads no event's answer: without a reply slot it is freed
    // as soon as the handler returns.
    s = qelEventSendInitial(job.context, nullptr, job.handler, job.userValue);
    if (s != 0)
        return s;

    QELEncodeConventional conventional{};
    bool withPassphrase = false;
    if ((s = readConventional(job, conventional, withPassphrase)) != 0)
        return s;
    Recipients recipients;
    if ((s = readRecipients(job, recipients)) != 0)
        return s;
    QELOptionItem item{};
    if ((s = qelOptionListFindOneOptional(job.options, QELOption_DetachedSignature, 0, &item)) != 0)
        return s;
    const bool detached = item.kind != 0;
    std::int32_t pkiKind = 0;
    if ((s = qelJobIntOption(job.options, QELOption_OutputFormat, 0, &pkiKind)) != 0)
        return s;
    if (pkiKind >= 10000)
        return encodePKIMessage(job, pkiKind, recipients, withPassphrase, detached);

    QELRandomContext *random = qelContextGetRandomContext(job.context);
    QELJobInput input;
    if ((s = qelJobOpenInput(job.context, job.options, true, detached, true, input)) != 0)
        return s;
    // The front of the input stirs the random context.
    if (random != nullptr && random->descriptor != nullptr) {
        std::uint64_t seen = 0;
        const void *front = input.buffer;
        if (input.reader != nullptr)
            front = qelFileReadPeek(input.reader, &seen);
        else
            seen = std::min<std::uint64_t>(input.length, kBufferStir);
        if (front != nullptr && seen > 0)
            random->descriptor->add(random->state, front, static_cast<std::uint32_t>(std::min<std::uint64_t>(seen, kFileStir)));
    }
    const bool encrypting = withPassphrase || !recipients.keys.empty();
    if ((s = readSigner(job, encrypting, detached)) != 0)
        return s;
    std::int32_t noLiteral = 0;
    if ((s = qelJobIntOption(job.options, QELOption_OmitLiteralPacket, 0, &noLiteral)) != 0)
        return s;
    const QELEncodeLiteralInfo literal{input.name.c_str(), 0};

    // Before any key, salt or prefix is drawn.
    if ((encrypting || job.signers != nullptr) && (s = gatherEntropy(job)) != 0)
        return s;
    if (encrypting) {
        job.sessionKey = static_cast<std::uint8_t *>(
            qelMemAllocSecure(qelContextMemoryMgr(job.context), QELEncodeSessionKeyRecordSize, 0));
        if (job.sessionKey == nullptr)
            return QELError_OutOfMemory;
    }
    // A text input file's line ends are converted before anything reads
    // them, so what is signed is what is sent.
    QELPipeModule **chainHead = &job.head;
    if ((s = qelJobConvertInput(job.context, input, &chainHead)) != 0)
        return s;
    std::uint32_t keyLength = 0;
    QELPipeModule **slot =
        qelEncodeChainBuild(job.context, chainHead, job.settings, nullptr, random,
                            withPassphrase ? &conventional : nullptr, recipients.keys, job.signers,
                            noLiteral != 0 ? nullptr : &literal, detached, job.sessionKey, input.large,
                            job.progress ? recipientProgress : nullptr, &job, &keyLength, &s);
    if (slot == nullptr)
        return s;
    if (job.sessionKey != nullptr) {
        s = qelEventSendEncryption(job.context, nullptr, job.handler, job.userValue, job.sessionKey[0],
                                   job.sessionKey, keyLength);
        // Nothing needs the session key once the chain holds it.
        (void)qelMemFree(job.sessionKey);
        job.sessionKey = nullptr;
        if (s != 0)
            return s;
    }
    std::int32_t lineEnd = QELLineEnd_LF;
    if ((s = qelJobIntOption(job.options, QELOption_OutputLineEnd, QELLineEnd_LF, &lineEnd)) != 0)
        return s;
    if (qelSettingsGetInt(job.settings, QELSetting_ArmorOutput, nullptr, nullptr) != 0) {
        const auto *table = static_cast<const std::uint8_t *>(
            qelSettingsGetPointer(job.settings, QELSetting_CharsetEncodeTable, nullptr));
        slot = qelTextFilterModuleCreate(job.context, slot, table, false, lineEnd);
        if (slot == nullptr)
            return QELError_OutOfMemory;
    }
    std::int32_t append = 0;
    if ((s = qelJobIntOption(job.options, QELOption_AppendOutput, 0, &append)) != 0)
        return s;
    if ((s = qelJobOpenOutput(job.context, job.options, slot, append != 0, QELFileClass_EncodeOutput, false,
                              job.output)) != 0)
        return s;
    if ((s = qelJobPumpInput(input, job.head, job.progress ? pumpProgress : nullptr, &job)) != 0)
        return s;
    // The File Read Module announces the end inside its input scope, where
    // the modules ignore it; the chain ends once that scope is closed.
    if (input.reader != nullptr && (s = qelPipeExpectBytes(job.head, 0)) != 0)
        return s;
    // The sink is asked directly: behind a detached signature the chain's
    // head leads to the dropped data, not to the output.
    if ((s = qelJobFinishMemoryOutput(job.output.memorySink != nullptr ? job.output.memorySink : job.head,
                                      job.output)) != 0)
        return s;
    return reportMimeInfo(job, lineEnd);
}

} // namespace

QELEncodeJobSeams &qelEncodeJobSeams()
{
    static QELEncodeJobSeams seams{};
    return seams;
}

QELStatus qelEncode(QELContext *context, QELOptionList *first, ...)
{
    QEL_ENTER();
    QEL_MERGE_OPTIONS(merged, context, first);
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    if (merged.error != QELError_NoErr)
        return merged.error;
    QELOptionList *options = merged.list.get();
    if (QELStatus s = qelOptionListCheckTypes(options, kAccepted, std::size(kAccepted)); s != 0)
        return s; // before any event
    return qel::noThrow([&]() -> QELStatus {
        EncodeJob job;
        job.context = context;
        job.options = options;
        QELStatus status = runJob(job);
        if (job.head != nullptr) {
            qelPipeDestroy(job.head); // closes the output file
            job.head = nullptr;
        }
        status = qelJobCommitOutput(job.output, status);
        if (job.eventsRead) {
            if (status != 0)
                (void)qelEventSendError(context, nullptr, job.handler, job.userValue, status, nullptr);
            (void)qelEventSendFinal(context, nullptr, job.handler, job.userValue);
        }
        return status;
    });
}
