// Option-list internals: the list and item records, sentinels, and the
// operations that merge argument sequences, check the kinds an operation
// accepts, read values with small format strings and free lists.
#pragma once

#include "qelHelpers.h"
#include "qelOptionList.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

struct QELFileSpec;

constexpr std::uint32_t QELOptionListMagic = 0x4F4C7374; // "OLst"

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


// Validity and errors.
bool qelOptionListIsReal(const QELOptionList *list);
bool qelOptionListIsValid(const QELOptionList *list);
[[nodiscard]] QELStatus qelOptionListGetError(const QELOptionList *list);
[[nodiscard]] QELStatus qelOptionSentinelError(const QELOptionList *list);
void qelOptionListSetError(QELOptionList *list, QELStatus status);

// Making and filling. A list can hold at most 65535 items; appending past
// that is refused with QELError_OutOfMemory.
QELOptionList *qelOptionListNew(QELContext *context, bool persistent);
[[nodiscard]] QELStatus qelOptionListAppendItem(QELOptionList *list, const QELOptionItem *item);
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
[[nodiscard]] QELStatus qelOptionCopyBytesHandler(QELContext *context, std::int32_t event, std::int32_t kind,
                                    std::uint64_t value, std::uint64_t size,
                                    std::uint64_t *outValue, std::uint64_t *outSize);
[[nodiscard]] QELStatus qelOptionCopySecureHandler(QELContext *context, std::int32_t event, std::int32_t kind,
                                     std::uint64_t value, std::uint64_t size,
                                     std::uint64_t *outValue, std::uint64_t *outSize);
[[nodiscard]] QELStatus qelOptionCopyFileSpecHandler(QELContext *context, std::int32_t event,
                                       std::int32_t kind, std::uint64_t value,
                                       std::uint64_t size, std::uint64_t *outValue,
                                       std::uint64_t *outSize);

// Lookups (real lists only; FindOne and FindOneOptional also take null).
[[nodiscard]] QELStatus qelOptionListFindNth(QELOptionList *list, std::int32_t kind, std::uint32_t n,
                               bool mark, QELOptionItem *outItem, std::uint32_t *outCount);
[[nodiscard]] QELStatus qelOptionListGetItem(QELOptionList *list, std::uint32_t index, bool mark,
                               QELOptionItem *outItem);
[[nodiscard]] QELStatus qelOptionListFindOne(QELOptionList *list, std::int32_t kind, QELOptionItem *outItem);
[[nodiscard]] QELStatus qelOptionListFindOneOptional(QELOptionList *list, std::int32_t kind, std::uint32_t n,
                                       QELOptionItem *outItem);
[[nodiscard]] QELStatus qelOptionListCheckTypes(const QELOptionList *list, const std::int32_t *kinds,
                                  std::uint32_t count);
[[nodiscard]] QELStatus qelOptionGetInt(const QELOptionItem *item, std::int32_t *outValue);
[[nodiscard]] QELStatus qelOptionGetPointer(const QELOptionItem *item, void **outPointer);
[[nodiscard]] QELStatus qelOptionGetPointerSize(const QELOptionItem *item, void **outPointer,
                                  std::uint64_t *outSize);
// The three pointer-sized fields of the record the item's value points to.
[[nodiscard]] QELStatus qelOptionGetRecord3(const QELOptionItem *item, void **outFirst, void **outSecond,
                              void **outThird);
// Number of passphrases and passkeys found (0 to 2).
int qelOptionListGetPassphrases(QELOptionList *list, const void **outValue1,
                                std::uint64_t *outSize1, std::uint8_t *outIsPasskey1,
                                const void **outValue2, std::uint64_t *outSize2,
                                std::uint8_t *outIsPasskey2);
// Reads the single item of a kind through a format of "%x" pairs: "d", "t",
// "T" 32-bit, "b" byte, "p", "f", "l" 64-bit outputs.
[[nodiscard]] QELStatus qelOptionListGetValues(QELOptionList *list, std::int32_t kind, bool required,
                                 const char *format, ...);
[[nodiscard]] QELStatus qelOptionListGetValuesV(QELOptionList *list, std::int32_t kind, bool required,
                                  const char *format, std::va_list args);

// Copying, merging and freeing. Argument sequences end with the end sentinel.
[[nodiscard]] QELStatus qelOptionItemCopy(QELContext *context, const QELOptionItem *item,
                            QELOptionItem *outItem);
QELOptionList *qelOptionListCopy(const QELOptionList *list);
[[nodiscard]] QELStatus qelOptionListAppendVarArgs(QELOptionList *target, QELOptionList *first, ...);
[[nodiscard]] QELStatus qelOptionListAppendV(QELOptionList *target, QELOptionList *first, std::va_list args);
QELOptionList *qelOptionListBuild(QELContext *context, bool persistent, QELOptionList *first,
                                  ...);
QELOptionList *qelOptionListBuildV(QELContext *context, bool persistent, QELOptionList *first,
                                   std::va_list args);
[[nodiscard]] QELStatus qelOptionListBuildInto(QELOptionListHolder *holder, QELOptionList *first, ...);
[[nodiscard]] QELStatus qelOptionListBuildIntoV(QELOptionListHolder *holder, QELOptionList *first,
                                  std::va_list args);
void qelOptionListDispose(QELOptionList *list, bool force);
void qelOptionListFree(QELOptionList *list);
void qelOptionListFreeAndClear(QELOptionList **list);
[[nodiscard]] QELStatus qelOptionListFreeVarArgs(QELOptionList *first, ...);
[[nodiscard]] QELStatus qelOptionListFreeV(QELOptionList *first, std::va_list args);
char *qelContextStrDup(QELContext *context, const char *string);


namespace qel {

// An option list owned by the code that built it and freed on every exit.
using OwnedOptionList = Owned<QELOptionList, qelOptionListFree>;

// The option lists of one call merged into a single working list of its
// context. error is the first error any of them carried or the merge met
// (an invalid context gives QELError_BadParams, a list that could not be
// made QELError_OutOfMemory); list is usable only when error is clear. The
// lists given are consumed either way.
struct MergedOptions {
    OwnedOptionList list;
    QELStatus error = QELError_NoErr;
};
[[nodiscard]] MergedOptions mergeOptions(QELContext *context, QELOptionList *first, std::va_list args);

} // namespace qel

// Declares `merged`, the qel::MergedOptions of the calling function's own
// variadic lists, first being its last named parameter; va_start and va_end
// stay in that function.
#define QEL_MERGE_OPTIONS(merged, context, first)                               \
    ::qel::MergedOptions merged;                                                \
    do {                                                                        \
        std::va_list qelMergeArgs_;                                             \
        va_start(qelMergeArgs_, first);                                         \
        merged = ::qel::mergeOptions(context, first, qelMergeArgs_);            \
        va_end(qelMergeArgs_);                                                  \
    } while (0)
