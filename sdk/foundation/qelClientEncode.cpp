// Option constructors: checks, the API entry guard, and one-item option lists
// for every option kind an application can make; the value handlers of the
// kinds that own records or hold references to SDK objects.
#include "qelClientEncodeInternal.h"

#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelFileSpecInternal.h"
#include "qelLayerSeamsInternal.h"

#include <cstdarg>
#include <cstring>

namespace {

constexpr const char *kGate = "qelClientEncode";

using u64 = std::uint64_t;

QELOptionList *badParams() { return qelOptionSentinel(QELOptionSentinel_BadParams); }
QELOptionList *noMemory() { return qelOptionSentinel(QELOptionSentinel_NoMemory); }
QELOptionList *refused() { return qelOptionSentinel(QELOptionSentinel_Refused); }

bool guardRefuses() { return qelAPIGate(kGate, __LINE__) != QELError_NoErr; }

u64 fromPointer(const void *p) { return static_cast<u64>(reinterpret_cast<std::uintptr_t>(p)); }
void *asPointer(u64 v) { return reinterpret_cast<void *>(static_cast<std::uintptr_t>(v)); }

// Flags and integers: the low 32 bits of the value, size 4.
QELOptionList *integerOption(QELContext *context, std::int32_t kind, std::int32_t value)
{
    if (!qelContextIsValid(context))
        return badParams();
    if (guardRefuses())
        return refused();
    u64 v = static_cast<std::uint32_t>(value);
    return qelOptionNewValue(context, kind, &v, 4, nullptr);
}

QELOptionList *flagOption(QELContext *context, std::int32_t kind, std::int32_t flag)
{
    return integerOption(context, kind, flag & 0xFF);
}

// Records live in the context's memory; the handler frees or copies them.
QELOptionList *recordOption(QELContext *context, std::int32_t kind, const void *record,
                            std::size_t size)
{
    if (guardRefuses())
        return refused();
    void *copy = qelContextMemAllocCopy(context, size, 0, record);
    if (copy == nullptr)
        return noMemory();
    u64 v = fromPointer(copy);
    return qelOptionNewValue(context, kind, &v, size, qelOptionRecordHandler);
}

// Records in their fixed layouts: 32-bit integers, pointers at 8-byte places.
struct OutputRecord {
    void *first;
    u64 size;
    void *third;
};
static_assert(sizeof(OutputRecord) == 24);
struct MimeRecord {
    std::int32_t flag;
    std::uint32_t pad;
    u64 *headerLength;
    char *boundary;
};
static_assert(sizeof(MimeRecord) == 24);
struct EventRecord {
    QELOptionEventProc callback;
    void *userValue;
};
static_assert(sizeof(EventRecord) == 16);
struct KeyGenRecord {
    std::int32_t algorithm;
    std::uint32_t bits;
    std::int32_t third;
};
static_assert(sizeof(KeyGenRecord) == 12);
struct KeySetRecord {
    QELKeySet *set;
    std::int32_t keyClass;
    std::uint32_t pad;
};
static_assert(sizeof(KeySetRecord) == 16);
struct PairRecord {
    std::int32_t first;
    std::int32_t second;
};
static_assert(sizeof(PairRecord) == 8);

bool holdsKeySet(std::int32_t kind) { return kind == QELOption_Subpacket10Keys || kind == QELOption_RevocationKeys; }

// Key objects, sets and databases belong to the key layer; before it is in
// (no SDK start-up yet) none is valid.
template <typename Check, typename T> bool keyLayerAccepts(Check QELKeysSeams::*check, const T *p)
{
    const Check is = qelKeysSeams().*check;
    return is != nullptr && is(p);
}
bool isKeyObject(const QELKeyObject *o) { return keyLayerAccepts(&QELKeysSeams::isKeyObject, o); }
bool isKey(const QELKeyObject *o) { return keyLayerAccepts(&QELKeysSeams::isKey, o); }
bool isKeySet(const void *set) { return keyLayerAccepts(&QELKeysSeams::isKeySet, set); }
bool isKeyDB(const void *db) { return keyLayerAccepts(&QELKeysSeams::isKeyDB, db); }
// Only called on what the checks above accepted, so the key layer is in.
void retainKeySet(QELKeySet *set) { qelKeysSeams().retainKeySet(set); }
void releaseKeySet(QELKeySet *set) { qelKeysSeams().releaseKeySet(set); }

QELOptionList *keySetRecord(QELContext *context, std::int32_t kind, QELKeySet *set,
                            std::int32_t keyClass)
{
    if (!qelContextIsValid(context) || !isKeySet(set))
        return badParams();
    KeySetRecord r{set, keyClass, 0};
    QELOptionList *list = recordOption(context, kind, &r, sizeof r);
    if (qelOptionListIsReal(list))
        retainKeySet(set);
    return list;
}

QELOptionList *callerMemory(QELContext *context, std::int32_t kind, const void *p, u64 size,
                            bool required)
{
    if (!qelContextIsValid(context) || (required && p == nullptr))
        return badParams();
    if (guardRefuses())
        return refused();
    u64 v = fromPointer(p);
    return qelOptionNewValue(context, kind, &v, size, nullptr);
}

QELOptionList *copiedBytes(QELContext *context, std::int32_t kind, const void *bytes, u64 length)
{
    if (guardRefuses())
        return refused();
    return qelOptionNewBytes(context, kind, bytes, length);
}

QELOptionList *stringOption(QELContext *context, std::int32_t kind, const char *text)
{
    if (!qelContextIsValid(context) || text == nullptr)
        return badParams();
    return copiedBytes(context, kind, text, std::strlen(text) + 1);
}

QELOptionList *algorithmArray(QELContext *context, std::int32_t kind, const std::uint32_t *ids,
                              std::uint32_t count)
{
    if (!qelContextIsValid(context) || ids == nullptr || count == 0)
        return badParams();
    return copiedBytes(context, kind, ids, u64(count) * 4);
}

QELOptionList *secret(QELContext *context, std::int32_t kind, const void *bytes, u64 length)
{
    if (!qelContextIsValid(context) || bytes == nullptr)
        return badParams();
    if (guardRefuses())
        return refused();
    return qelOptionNewSecureBytes(context, kind, bytes, length);
}

QELOptionList *fileOption(QELContext *context, std::int32_t kind, const QELFileSpec *spec)
{
    if (!qelContextIsValid(context) || !qelFileSpecIsValid(spec))
        return badParams();
    if (guardRefuses())
        return refused();
    return qelOptionNewFileSpec(context, kind, spec);
}

QELOptionList *objectOption(QELContext *context, std::int32_t kind, void *object)
{
    if (guardRefuses())
        return refused();
    u64 v = fromPointer(object);
    return qelOptionNewValue(context, kind, &v, 8, qelOptionObjectHandler);
}

QELOptionList *keyObjectOption(QELContext *context, std::int32_t kind, QELKeyObject *key,
                               bool mustBeKey)
{
    if (!qelContextIsValid(context) || !(mustBeKey ? isKey(key) : isKeyObject(key)))
        return badParams();
    return objectOption(context, kind, key);
}

QELOptionList *setObjectOption(QELContext *context, std::int32_t kind, QELKeySet *set)
{
    if (!qelContextIsValid(context) || !isKeySet(set))
        return badParams();
    QELOptionList *list = objectOption(context, kind, set);
    if (qelOptionListIsReal(list))
        retainKeySet(set);
    return list;
}

QELOptionList *dbObjectOption(QELContext *context, std::int32_t kind, QELKeyDB *db)
{
    if (!qelContextIsValid(context) || !isKeyDB(db))
        return badParams();
    QELOptionList *list = objectOption(context, kind, db);
    if (qelOptionListIsReal(list))
        qelKeysSeams().retainKeyDB(db);
    return list;
}

// Options carrying a nested list built from the caller's argument sequence.
QELOptionList *nestedOption(QELContext *context, std::int32_t kind, QELKeyObject *key, bool withKey,
                            QELOptionList *first, std::va_list args)
{
    if (guardRefuses())
        return refused(); // the lists stay with the caller
    if (!qelContextIsValid(context) || (withKey && !isKey(key))) {
        static_cast<void>(qelOptionListFreeV(first, args)); // consumed as promised
        return badParams();
    }
    QELOptionList *nested = qelOptionListBuildV(context, false, first, args);
    if (!qelOptionListIsReal(nested))
        return nested;
    u64 v = withKey ? fromPointer(key) : 0;
    return qelOptionNewSingle(context, kind, QELOptionFlag_Constructed, withKey ? &v : nullptr,
                              withKey ? 8 : 0, nested, withKey ? qelOptionObjectHandler : nullptr);
}

} // namespace

// ---- value handlers ---------------------------------------------------------------------

QELStatus qelOptionRecordHandler(QELContext *context, std::int32_t event, std::int32_t kind,
                                 u64 value, u64 size, u64 *outValue, u64 *outSize)
{
    void *record = asPointer(value);
    if (event == QELOptionEvent_Free) {
        if (holdsKeySet(kind) && record != nullptr)
            releaseKeySet(static_cast<KeySetRecord *>(record)->set);
        if (record != nullptr)
            static_cast<void>(qelContextMemFree(context, record)); // the record we made
        return QELError_NoErr;
    }
    if (event != QELOptionEvent_Copy)
        return QELError_UnknownRequest;
    void *copy = qelContextMemAllocCopy(context, std::size_t(size), 0, record);
    if (copy == nullptr)
        return QELError_OutOfMemory;
    if (holdsKeySet(kind))
        retainKeySet(static_cast<KeySetRecord *>(copy)->set);
    *outValue = fromPointer(copy);
    *outSize = size;
    return QELError_NoErr;
}

QELStatus qelOptionObjectHandler(QELContext *, std::int32_t event, std::int32_t kind, u64 value,
                                 u64 size, u64 *outValue, u64 *outSize)
{
    void *object = asPointer(value);
    bool set = kind == QELOption_EncryptToKeySet || kind == QELOption_ExportKeySet;
    bool db = kind == QELOption_KeyDB || kind == QELOption_TargetKeyDB;
    if (event == QELOptionEvent_Free) {
        if (set && isKeySet(object))
            releaseKeySet(static_cast<QELKeySet *>(object));
        if (db && isKeyDB(object))
            qelKeysSeams().releaseKeyDB(static_cast<QELKeyDB *>(object));
        return QELError_NoErr;
    }
    if (event != QELOptionEvent_Copy)
        return QELError_UnknownRequest;
    if (set && isKeySet(object))
        retainKeySet(static_cast<QELKeySet *>(object));
    if (db && isKeyDB(object))
        qelKeysSeams().retainKeyDB(static_cast<QELKeyDB *>(object));
    *outValue = value;
    *outSize = size;
    return QELError_NoErr;
}

// ---- flags ---------------------------------------------------------------------------------

#define QEL_FLAG_OPTION(name, kind)                                                          \
    QELOptionList *name(QELContext *context, std::int32_t flag) { return flagOption(context, kind, flag); }
QEL_FLAG_OPTION(qelOptionAppendOutput, QELOption_AppendOutput)
QEL_FLAG_OPTION(qelOptionDiscardOutput, QELOption_DiscardOutput)
QEL_FLAG_OPTION(qelOptionOmitLiteralPacket, QELOption_OmitLiteralPacket)
QEL_FLAG_OPTION(qelOptionKind26, QELOption_Kind26)
QEL_FLAG_OPTION(qelOptionSendKeysFound, QELOption_SendKeysFound)
QEL_FLAG_OPTION(qelOptionAskEntropy, QELOption_AskEntropy)
QEL_FLAG_OPTION(qelOptionArmorOutput, QELOption_ArmorOutput)
QEL_FLAG_OPTION(qelOptionTextMode, QELOption_TextMode)
QEL_FLAG_OPTION(qelOptionClearSign, QELOption_ClearSign)
QEL_FLAG_OPTION(qelOptionForYourEyesOnly, QELOption_ForYourEyesOnly)
QEL_FLAG_OPTION(qelOptionKind41, QELOption_Kind41)
QEL_FLAG_OPTION(qelOptionKind42, QELOption_Kind42)
QEL_FLAG_OPTION(qelOptionNoEntropyCheck, QELOption_NoEntropyCheck)
QEL_FLAG_OPTION(qelOptionKeyGenFlag, QELOption_KeyGenFlag)
QEL_FLAG_OPTION(qelOptionExportPrivateKeys, QELOption_ExportPrivateKeys)
QEL_FLAG_OPTION(qelOptionKind55, QELOption_Kind55)
QEL_FLAG_OPTION(qelOptionExportable, QELOption_Exportable)
QEL_FLAG_OPTION(qelOptionCompress, QELOption_Compress)
QEL_FLAG_OPTION(qelOptionOmitMimeVersion, QELOption_OmitMimeVersion)
QEL_FLAG_OPTION(qelOptionKind62, QELOption_Kind62)
QEL_FLAG_OPTION(qelOptionKind63, QELOption_Kind63)
#undef QEL_FLAG_OPTION

// ---- integers -------------------------------------------------------------------------------

#define QEL_INT_OPTION(name, kind)                                                           \
    QELOptionList *name(QELContext *context, std::int32_t value) { return integerOption(context, kind, value); }
QEL_INT_OPTION(qelOptionCipherAlgorithm, QELOption_CipherAlgorithm)
QEL_INT_OPTION(qelOptionMinKeySize, QELOption_MinKeySize)
QEL_INT_OPTION(qelOptionWarnKeySize, QELOption_WarnKeySize)
QEL_INT_OPTION(qelOptionSendProgress, QELOption_SendProgress)
QEL_INT_OPTION(qelOptionValidityDays, QELOption_ValidityDays)
QEL_INT_OPTION(qelOptionInt66, QELOption_ExportFormat)
QEL_INT_OPTION(qelOptionOutputFormat, QELOption_OutputFormat)
QEL_INT_OPTION(qelOptionInputFormat, QELOption_InputFormat)
QEL_INT_OPTION(qelOptionKeyServerPrefs, QELOption_KeyServerPrefs)
QEL_INT_OPTION(qelOptionKeyFlags, QELOption_KeyFlags)
QEL_INT_OPTION(qelOptionTokenNumber, QELOption_TokenNumber)
QEL_INT_OPTION(qelOptionKind79, QELOption_Kind79)
#undef QEL_INT_OPTION

QELOptionList *qelOptionCreationTime(QELContext *context, std::uint32_t time)
{
    return integerOption(context, QELOption_CreationTime, std::int32_t(time));
}

QELOptionList *qelOptionLineEndFlags(QELContext *context, std::int32_t flags)
{
    if ((flags & 3) == 3)
        return badParams();
    return integerOption(context, QELOption_LineEndFlags, flags);
}

QELOptionList *qelOptionHashAlgorithm(QELContext *context, std::int32_t algorithm)
{
    if (algorithm < 1 || algorithm > 3)
        return badParams();
    return integerOption(context, QELOption_HashAlgorithm, algorithm);
}

QELOptionList *qelOptionOutputLineEnd(QELContext *context, std::int32_t lineEnd)
{
    if (lineEnd < 1 || lineEnd > 3)
        return badParams();
    return integerOption(context, QELOption_OutputLineEnd, lineEnd);
}

// ---- records ---------------------------------------------------------------------------------

QELOptionList *qelOptionOutputBuffer(QELContext *context, void *buffer, u64 size, u64 *outUsed)
{
    if (outUsed != nullptr)
        *outUsed = 0;
    if (!qelContextIsValid(context) || outUsed == nullptr || buffer == nullptr || size == 0)
        return badParams();
    OutputRecord r{buffer, size, outUsed};
    return recordOption(context, QELOption_OutputBuffer, &r, sizeof r);
}

QELOptionList *qelOptionOutputRecord(QELContext *context, void **outBuffer, u64 maximum,
                                     u64 *outSize, std::int32_t kind)
{
    if (outBuffer != nullptr)
        *outBuffer = nullptr;
    if (outSize != nullptr)
        *outSize = 0;
    if (!qelContextIsValid(context) || outBuffer == nullptr || outSize == nullptr || maximum == 0)
        return badParams();
    OutputRecord r{outBuffer, maximum, outSize};
    return recordOption(context, kind, &r, sizeof r);
}

QELOptionList *qelOptionOutputAllocatedBuffer(QELContext *context, void **outBuffer, u64 maximum,
                                              u64 *outSize)
{
    return qelOptionOutputRecord(context, outBuffer, maximum, outSize, QELOption_OutputAllocatedBuffer);
}

QELOptionList *qelOptionKind80(QELContext *context, void **outBuffer, u64 maximum, u64 *outSize)
{
    return qelOptionOutputRecord(context, outBuffer, maximum, outSize, QELOption_Kind80);
}

QELOptionList *qelOptionMimeEncoding(QELContext *context, std::int32_t flag, u64 *outHeaderLength,
                                     char *outBoundary)
{
    MimeRecord r{flag, 0, nullptr, nullptr};
    if (flag != 0) {
        if (outHeaderLength != nullptr)
            *outHeaderLength = 0;
        if (outBoundary != nullptr)
            outBoundary[0] = 0;
        if (outHeaderLength == nullptr || outBoundary == nullptr)
            return badParams();
        r.headerLength = outHeaderLength;
        r.boundary = outBoundary;
    }
    if (!qelContextIsValid(context))
        return badParams();
    return recordOption(context, QELOption_MimeEncoding, &r, sizeof r);
}

QELOptionList *qelOptionEventHandler(QELContext *context, QELOptionEventProc callback,
                                     void *userValue)
{
    if (!qelContextIsValid(context) || callback == nullptr)
        return badParams();
    EventRecord r{callback, userValue};
    return recordOption(context, QELOption_EventHandler, &r, sizeof r);
}

QELOptionList *qelOptionKeyGenParams(QELContext *context, std::int32_t algorithm, std::uint32_t bits,
                                     std::int32_t third)
{
    std::uint32_t minimum = (algorithm == 18 || algorithm == 19) ? 162 : 511;
    if (!qelContextIsValid(context) || bits <= minimum)
        return badParams();
    KeyGenRecord r{algorithm, bits, third};
    return recordOption(context, QELOption_KeyGenParams, &r, sizeof r);
}

QELOptionList *qelOptionSubpacket10Keys(QELContext *context, QELKeySet *set, std::int32_t keyClass)
{
    return keySetRecord(context, QELOption_Subpacket10Keys, set, keyClass);
}

QELOptionList *qelOptionRevocationKeys(QELContext *context, QELKeySet *set)
{
    return keySetRecord(context, QELOption_RevocationKeys, set, 128);
}

QELOptionList *qelOptionTrustSignature(QELContext *context, std::int32_t depth, std::int32_t level)
{
    if (!qelContextIsValid(context) || level < 1 || level > 7)
        return badParams();
    PairRecord r{depth, level};
    return recordOption(context, QELOption_TrustSignature, &r, sizeof r);
}

QELOptionList *qelOptionCachePassphrase(QELContext *context, std::int32_t seconds, std::int32_t flag)
{
    if (!qelContextIsValid(context))
        return badParams();
    PairRecord r{seconds, flag & 0xFF};
    return recordOption(context, QELOption_CachePassphrase, &r, sizeof r);
}

// ---- caller memory, copies and secrets ----------------------------------------------------------

QELOptionList *qelOptionInputBuffer(QELContext *context, const void *buffer, u64 size)
{
    return callerMemory(context, QELOption_InputBuffer, buffer, size, true);
}

QELOptionList *qelOptionKind69(QELContext *context, const void *records, std::uint32_t count)
{
    return callerMemory(context, QELOption_Kind69, records, u64(count) * 32, false);
}

QELOptionList *qelOptionKind81(QELContext *context, const void *buffer, u64 size)
{
    return callerMemory(context, QELOption_Kind81, buffer, size, false);
}

QELOptionList *qelOptionUserID(QELContext *context, const void *bytes, std::uint32_t length)
{
    if (!qelContextIsValid(context) || bytes == nullptr || length < 1 || length > 255)
        return badParams();
    return copiedBytes(context, QELOption_UserID, bytes, length);
}

QELOptionList *qelOptionPreferredCiphers(QELContext *context, const std::uint32_t *ids, std::uint32_t count)
{
    return algorithmArray(context, QELOption_PreferredCiphers, ids, count);
}

QELOptionList *qelOptionPreferredCompression(QELContext *context, const std::uint32_t *ids,
                                             std::uint32_t count)
{
    return algorithmArray(context, QELOption_PreferredCompression, ids, count);
}

QELOptionList *qelOptionCommentString(QELContext *c, const char *t) { return stringOption(c, QELOption_CommentString, t); }
QELOptionList *qelOptionVersionString(QELContext *c, const char *t) { return stringOption(c, QELOption_VersionString, t); }
QELOptionList *qelOptionRegularExpression(QELContext *c, const char *t) { return stringOption(c, QELOption_RegularExpression, t); }
QELOptionList *qelOptionLiteralName(QELContext *c, const char *t) { return stringOption(c, QELOption_LiteralName, t); }
QELOptionList *qelOptionPreferredKeyServer(QELContext *c, const char *t) { return stringOption(c, QELOption_PreferredKeyServer, t); }

QELOptionList *qelOptionPassphraseBuffer(QELContext *context, const void *bytes, u64 length)
{
    if (!qelContextIsValid(context) || bytes == nullptr)
        return badParams();
    if (guardRefuses())
        return refused();
    if (qelFIPSModeEnabled() && length == 0)
        return badParams();
    return qelOptionNewSecureBytes(context, QELOption_Passphrase, bytes, length);
}

QELOptionList *qelOptionPassphrase(QELContext *context, const char *passphrase)
{
    if (!qelContextIsValid(context) || passphrase == nullptr ||
        (qelFIPSModeEnabled() && passphrase[0] == 0))
        return badParams();
    return secret(context, QELOption_Passphrase, passphrase, std::strlen(passphrase));
}

QELOptionList *qelOptionPasskeyBuffer(QELContext *context, const void *bytes, u64 length)
{
    return secret(context, QELOption_Passkey, bytes, length);
}

QELOptionList *qelOptionSessionKey(QELContext *context, const void *bytes, u64 length)
{
    return secret(context, QELOption_SessionKey, bytes, length);
}

// ---- files and objects -------------------------------------------------------------------------

QELOptionList *qelOptionInputFile(QELContext *c, const QELFileSpec *s) { return fileOption(c, QELOption_InputFile, s); }
QELOptionList *qelOptionOutputFile(QELContext *c, const QELFileSpec *s) { return fileOption(c, QELOption_OutputFile, s); }
QELOptionList *qelOptionEncryptToKey(QELContext *c, QELKeyObject *k) { return keyObjectOption(c, QELOption_EncryptToKey, k, false); }
QELOptionList *qelOptionKeyObject71(QELContext *c, QELKeyObject *k) { return keyObjectOption(c, QELOption_ExportKey, k, false); }
QELOptionList *qelOptionMasterKey(QELContext *c, QELKeyObject *k) { return keyObjectOption(c, QELOption_MasterKey, k, true); }
QELOptionList *qelOptionEncryptToKeySet(QELContext *c, QELKeySet *s) { return setObjectOption(c, QELOption_EncryptToKeySet, s); }
QELOptionList *qelOptionExportKeySet(QELContext *c, QELKeySet *s) { return setObjectOption(c, QELOption_ExportKeySet, s); }
QELOptionList *qelOptionKeyDB(QELContext *c, QELKeyDB *d) { return dbObjectOption(c, QELOption_KeyDB, d); }
QELOptionList *qelOptionTargetKeyDB(QELContext *c, QELKeyDB *d) { return dbObjectOption(c, QELOption_TargetKeyDB, d); }

// ---- nested lists ------------------------------------------------------------------------------

QELOptionList *qelOptionSignWithKey(QELContext *context, QELKeyObject *key, QELOptionList *first, ...)
{
    std::va_list args;
    va_start(args, first);
    QELOptionList *list = nestedOption(context, QELOption_SignWithKey, key, true, first, args);
    va_end(args);
    return list;
}

QELOptionList *qelOptionConventionalEncrypt(QELContext *context, QELOptionList *first, ...)
{
    std::va_list args;
    va_start(args, first);
    QELOptionList *list = nestedOption(context, QELOption_ConventionalEncrypt, nullptr, false, first, args);
    va_end(args);
    return list;
}

QELOptionList *qelOptionDetachedSignature(QELContext *context, QELOptionList *first, ...)
{
    std::va_list args;
    va_start(args, first);
    QELOptionList *list = nestedOption(context, QELOption_DetachedSignature, nullptr, false, first, args);
    va_end(args);
    return list;
}
