// Option lists: the typed optional arguments of SDK calls. A caller makes
// one-item lists with the option constructors and hands them to an operation
// as a variable argument sequence closed by the end sentinel; the operation
// merges them into one list, checks the kinds it accepts, reads the values it
// needs with small format strings and frees the list when it is done.
#pragma once

#include "qelErrors.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELFileSpec;
struct QELOptionList;

constexpr std::uint32_t QELOptionListMagic = 0x4F4C7374; // "OLst"

// Option kinds. 3, 7, 10, 15, 28, 29, 72 and 73 are not used.
enum QELOptionKind : std::int32_t {
    QELOption_InputFile = 1,
    QELOption_InputBuffer = 2,
    QELOption_OutputFile = 4,
    QELOption_OutputBuffer = 5,
    QELOption_OutputAllocatedBuffer = 6,
    QELOption_AppendOutput = 8,
    QELOption_DiscardOutput = 9,
    QELOption_LineEndFlags = 11,
    QELOption_OmitLiteralPacket = 12,
    QELOption_EncryptToKey = 13,
    QELOption_EncryptToKeySet = 14,
    QELOption_SignWithKey = 16,
    QELOption_ConventionalEncrypt = 17,
    QELOption_Passphrase = 18,
    QELOption_Passkey = 19,
    QELOption_DetachedSignature = 20,
    QELOption_SessionKey = 21,
    QELOption_CipherAlgorithm = 22,
    QELOption_HashAlgorithm = 23,
    QELOption_MinKeySize = 24,
    QELOption_WarnKeySize = 25,
    QELOption_Kind26 = 26,
    QELOption_MimeEncoding = 27,
    QELOption_OutputLineEnd = 30,
    QELOption_EventHandler = 31,
    QELOption_SendProgress = 32,
    QELOption_KeyDB = 33,
    QELOption_SendKeysFound = 34,
    QELOption_AskEntropy = 35,
    QELOption_ArmorOutput = 36,
    QELOption_TextMode = 37,
    QELOption_ClearSign = 38,
    QELOption_ForYourEyesOnly = 39,
    QELOption_StopAfterHeader = 40,
    QELOption_Kind41 = 41,
    QELOption_Kind42 = 42,
    QELOption_TargetKeyDB = 43,
    QELOption_NoEntropyCheck = 44,
    QELOption_KeyGenParams = 45,
    QELOption_UserID = 46,
    QELOption_ValidityDays = 47,
    QELOption_Subpacket10Keys = 48,
    QELOption_MasterKey = 49,
    QELOption_KeyGenFlag = 50,
    QELOption_RevocationKeys = 51,
    QELOption_PreferredCiphers = 52,
    QELOption_CommentString = 53,
    QELOption_ExportPrivateKeys = 54,
    QELOption_Kind55 = 55,
    QELOption_Exportable = 56,
    QELOption_TrustSignature = 57,
    QELOption_Compress = 58,
    QELOption_VersionString = 59,
    QELOption_OmitMimeVersion = 60,
    QELOption_RegularExpression = 61,
    QELOption_Kind62 = 62,
    QELOption_Kind63 = 63,
    QELOption_CreationTime = 64,
    QELOption_LiteralName = 65,
    QELOption_ExportFormat = 66,
    QELOption_OutputFormat = 67,
    QELOption_InputFormat = 68,
    QELOption_Kind69 = 69,
    QELOption_ExportKeySet = 70,
    QELOption_ExportKey = 71,
    QELOption_CachePassphrase = 74,
    QELOption_PreferredKeyServer = 75,
    QELOption_KeyServerPrefs = 76,
    QELOption_KeyFlags = 77,
    QELOption_TokenNumber = 78,
    QELOption_Kind79 = 79,
    QELOption_Kind80 = 80,
    QELOption_Kind81 = 81,
    QELOption_PreferredCompression = 82,
};

// Item flags.
constexpr std::int32_t QELOptionFlag_Constructed = 1; // set by every constructor
constexpr std::int32_t QELOptionFlag_Taken = 2;       // a lookup took it with marking
constexpr std::int32_t QELOptionFlag_Reserved = 4;    // cleared on append

// List flags.
constexpr std::uint32_t QELOptionListFlag_Persistent = 1;

// Value handler events.
constexpr std::int32_t QELOptionEvent_Free = 1;
constexpr std::int32_t QELOptionEvent_Copy = 2;

// Frees (event 1, out pointers null) or copies (event 2) a value; any other
// event gives QELError_UnknownRequest.
using QELOptionHandler = QELStatus (*)(QELContext *context, std::int32_t event, std::int32_t kind,
                                       std::uint64_t value, std::uint64_t size,
                                       std::uint64_t *outValue, std::uint64_t *outSize);

struct QELOptionItem {
    std::int32_t kind;        // 0 in a consumer's copy: absent
    std::int32_t flags;
    std::uint64_t value;      // integer (low 32 bits), pointer or object
    std::uint64_t size;
    QELOptionList *nested;    // owned by the item
    QELOptionHandler handler; // null: the value is not owned
};

struct QELOptionList {
    std::uint32_t magic;
    std::uint16_t word1;
    std::uint16_t word2;
    QELContext *context;
    QELStatus firstError;     // sticky once non-zero
    std::uint32_t flags;
    std::uint16_t capacity;
    std::uint16_t count;
    QELOptionItem *items;
};

// Sentinel values that stand where a list is accepted; never dereferenced.
enum QELOptionSentinel : std::intptr_t {
    QELOptionSentinel_End = -1,
    QELOptionSentinel_NoMemory = -2,
    QELOptionSentinel_BadParams = -3,
    QELOptionSentinel_Null = -4,
    // A constructor refused by the API entry guard; a list built with it
    // carries the guard's refusal.
    QELOptionSentinel_Refused = -5,
};
inline QELOptionList *qelOptionSentinel(QELOptionSentinel value)
{
    return reinterpret_cast<QELOptionList *>(static_cast<std::intptr_t>(value));
}

// The builder's target: the context to build with, then the slot to fill.
struct QELOptionListHolder {
    QELContext *context;
    QELOptionList *list;
};

// Validity and errors.
bool qelOptionListIsReal(const QELOptionList *list);
bool qelOptionListIsValid(const QELOptionList *list);
QELStatus qelOptionListGetError(const QELOptionList *list);
QELStatus qelOptionSentinelError(const QELOptionList *list);
void qelOptionListSetError(QELOptionList *list, QELStatus status);

// Making and filling. A list can hold at most 65535 items; appending past
// that is refused with QELError_OutOfMemory.
QELOptionList *qelOptionListNew(QELContext *context, bool persistent);
QELStatus qelOptionListAppendItem(QELOptionList *list, const QELOptionItem *item);
QELOptionList *qelOptionListNewWithItem(QELContext *context, const QELOptionItem *item);
// The value (and the nested list) pass to the new list; when no list can be
// made they are released. A sentinel as the nested argument contributes its
// error but is never stored.
QELOptionList *qelOptionNewSingle(QELContext *context, std::int32_t kind, std::int32_t flags,
                                  const void *value, std::uint64_t size, QELOptionList *nested,
                                  QELOptionHandler handler);
QELOptionList *qelOptionNewValue(QELContext *context, std::int32_t kind, const void *value,
                                 std::uint64_t size, QELOptionHandler handler);
QELOptionList *qelOptionNewBytes(QELContext *context, std::int32_t kind, const void *bytes,
                                 std::uint64_t length);
QELOptionList *qelOptionNewSecureBytes(QELContext *context, std::int32_t kind, const void *bytes,
                                       std::uint64_t length);
QELOptionList *qelOptionNewFileSpec(QELContext *context, std::int32_t kind,
                                    const QELFileSpec *spec);

// Generic value handlers.
QELStatus qelOptionCopyBytesHandler(QELContext *context, std::int32_t event, std::int32_t kind,
                                    std::uint64_t value, std::uint64_t size,
                                    std::uint64_t *outValue, std::uint64_t *outSize);
QELStatus qelOptionCopySecureHandler(QELContext *context, std::int32_t event, std::int32_t kind,
                                     std::uint64_t value, std::uint64_t size,
                                     std::uint64_t *outValue, std::uint64_t *outSize);
QELStatus qelOptionCopyFileSpecHandler(QELContext *context, std::int32_t event,
                                       std::int32_t kind, std::uint64_t value,
                                       std::uint64_t size, std::uint64_t *outValue,
                                       std::uint64_t *outSize);

// Lookups (real lists only; FindOne and FindOneOptional also take null).
QELStatus qelOptionListFindNth(QELOptionList *list, std::int32_t kind, std::uint32_t n,
                               bool mark, QELOptionItem *outItem, std::uint32_t *outCount);
QELStatus qelOptionListGetItem(QELOptionList *list, std::uint32_t index, bool mark,
                               QELOptionItem *outItem);
QELStatus qelOptionListFindOne(QELOptionList *list, std::int32_t kind, QELOptionItem *outItem);
QELStatus qelOptionListFindOneOptional(QELOptionList *list, std::int32_t kind, std::uint32_t n,
                                       QELOptionItem *outItem);
QELStatus qelOptionListCheckTypes(const QELOptionList *list, const std::int32_t *kinds,
                                  std::uint32_t count);
QELStatus qelOptionGetInt(const QELOptionItem *item, std::int32_t *outValue);
QELStatus qelOptionGetPointer(const QELOptionItem *item, void **outPointer);
QELStatus qelOptionGetPointerSize(const QELOptionItem *item, void **outPointer,
                                  std::uint64_t *outSize);
// The three pointer-sized fields of the record the item's value points to.
QELStatus qelOptionGetRecord3(const QELOptionItem *item, void **outFirst, void **outSecond,
                              void **outThird);
// Number of passphrases and passkeys found (0 to 2).
int qelOptionListGetPassphrases(QELOptionList *list, const void **outValue1,
                                std::uint64_t *outSize1, std::uint8_t *outIsPasskey1,
                                const void **outValue2, std::uint64_t *outSize2,
                                std::uint8_t *outIsPasskey2);
// Reads the single item of a kind through a format of "%x" pairs: "d", "t",
// "T" 32-bit, "b" byte, "p", "f", "l" 64-bit outputs.
QELStatus qelOptionListGetValues(QELOptionList *list, std::int32_t kind, bool required,
                                 const char *format, ...);
QELStatus qelOptionListGetValuesV(QELOptionList *list, std::int32_t kind, bool required,
                                  const char *format, std::va_list args);

// Copying, merging and freeing. Argument sequences end with the end sentinel.
QELStatus qelOptionItemCopy(QELContext *context, const QELOptionItem *item,
                            QELOptionItem *outItem);
QELOptionList *qelOptionListCopy(const QELOptionList *list);
QELStatus qelOptionListAppendVarArgs(QELOptionList *target, QELOptionList *first, ...);
QELStatus qelOptionListAppendV(QELOptionList *target, QELOptionList *first, std::va_list args);
QELOptionList *qelOptionListBuild(QELContext *context, bool persistent, QELOptionList *first,
                                  ...);
QELOptionList *qelOptionListBuildV(QELContext *context, bool persistent, QELOptionList *first,
                                   std::va_list args);
QELStatus qelOptionListBuildInto(QELOptionListHolder *holder, QELOptionList *first, ...);
QELStatus qelOptionListBuildIntoV(QELOptionListHolder *holder, QELOptionList *first,
                                  std::va_list args);
void qelOptionListDispose(QELOptionList *list, bool force);
void qelOptionListFree(QELOptionList *list);
void qelOptionListFreeAndClear(QELOptionList **list);
QELStatus qelOptionListFreeVarArgs(QELOptionList *first, ...);
QELStatus qelOptionListFreeV(QELOptionList *first, std::va_list args);
char *qelContextStrDup(QELContext *context, const char *string);

// Public operations (each passes the API entry guard).
QELStatus qelOptionListNewPublic(QELContext *context, QELOptionList **outList);
QELStatus qelOptionListBuildPublic(QELContext *context, QELOptionList **outList,
                                   QELOptionList *first, ...);
QELStatus qelOptionListAppendPublic(QELOptionList *target, QELOptionList *first, ...);
QELStatus qelOptionListBuildIntoPublic(QELOptionListHolder *holder, QELOptionList *first, ...);
QELStatus qelOptionListCopyPublic(const QELOptionList *list, QELOptionList **outCopy);
QELStatus qelOptionListFreePublic(QELOptionList *list);
QELOptionList *qelOptionNull(QELContext *context);
QELOptionList *qelOptionLastOption(QELContext *context);
