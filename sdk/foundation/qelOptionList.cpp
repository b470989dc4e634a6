// Option lists: records and items, lookups and format readers, merging of
// argument sequences, copies and freeing.
#include "qelOptionListInternal.h"

#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelFileSpecInternal.h"
#include "qelMemoryInternal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The public option operations report themselves under this name.
constexpr const char *kGateFile = "qelClientEncode";

constexpr std::uint16_t kMaxItems = 0xFFFF;
constexpr std::uint16_t kGrowBy = 5;

std::intptr_t rawValue(const QELOptionList *list)
{
    return reinterpret_cast<std::intptr_t>(list);
}

bool isSentinel(const QELOptionList *list)
{
    std::intptr_t v = rawValue(list);
    return v <= QELOptionSentinel_End && v >= QELOptionSentinel_Refused;
}

// A list record we may read through.
bool isRealList(const QELOptionList *list)
{
    return list != nullptr && !isSentinel(list) && list->magic == QELOptionListMagic;
}

// What a list built with a refused constructor carries: the guard's refusal.
QELStatus refusedError()
{
    QELStatus latched = qelFIPSGetError();
    return latched != QELError_NoErr ? latched : QELError_SelfTestsNotExecuted;
}

void *asPointer(std::uint64_t value)
{
    return reinterpret_cast<void *>(static_cast<std::uintptr_t>(value));
}

std::uint64_t fromPointer(const void *p)
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
}

void releaseValue(QELContext *context, QELOptionItem &item)
{
    if (item.handler != nullptr)
        item.handler(context, QELOptionEvent_Free, item.kind, item.value, item.size, nullptr,
                     nullptr);
    if (item.nested != nullptr)
        qelOptionListDispose(item.nested, true);
    item = QELOptionItem{};
}

// Collects a sequence of lists up to (not including) the end sentinel.
bool collectArgs(QELOptionList *first, std::va_list args, std::vector<QELOptionList *> &out)
{
    try {
        QELOptionList *arg = first;
        while (rawValue(arg) != QELOptionSentinel_End) {
            out.push_back(arg);
            arg = va_arg(args, QELOptionList *);
        }
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

// --- validity and errors ----------------------------------------------------

bool qelOptionListIsReal(const QELOptionList *list)
{
    return !isSentinel(list);
}

bool qelOptionListIsValid(const QELOptionList *list)
{
    return isSentinel(list) || isRealList(list);
}

QELStatus qelOptionListGetError(const QELOptionList *list)
{
    if (!qelOptionListIsValid(list))
        return QELError_BadParams;
    switch (rawValue(list)) {
    case QELOptionSentinel_End:
    case QELOptionSentinel_Null:
        return QELError_NoErr;
    case QELOptionSentinel_NoMemory:
        return QELError_OutOfMemory;
    case QELOptionSentinel_BadParams:
        return QELError_BadParams;
    case QELOptionSentinel_Refused:
        return refusedError();
    default:
        return list->firstError;
    }
}

QELStatus qelOptionSentinelError(const QELOptionList *list)
{
    switch (rawValue(list)) {
    case QELOptionSentinel_End:
    case QELOptionSentinel_BadParams:
    case QELOptionSentinel_Null:
        return QELError_BadParams;
    case QELOptionSentinel_NoMemory:
        return QELError_OutOfMemory;
    case QELOptionSentinel_Refused:
        return refusedError();
    default:
        return QELError_NoErr;
    }
}

void qelOptionListSetError(QELOptionList *list, QELStatus status)
{
    if (isRealList(list) && list->firstError == QELError_NoErr)
        list->firstError = status;
}

// --- making and filling -----------------------------------------------------

QELOptionList *qelOptionListNew(QELContext *context, bool persistent)
{
    if (!qelContextIsValid(context))
        return qelOptionSentinel(QELOptionSentinel_BadParams);
    auto *list = static_cast<QELOptionList *>(
        qelContextMemAlloc(context, sizeof(QELOptionList), QELMemFlag_Clear));
    if (list == nullptr)
        return qelOptionSentinel(QELOptionSentinel_NoMemory);
    auto *items = static_cast<QELOptionItem *>(
        qelContextMemAlloc(context, sizeof(QELOptionItem), QELMemFlag_Clear));
    if (items == nullptr) {
        static_cast<void>(qelContextMemFree(context, list));
        return qelOptionSentinel(QELOptionSentinel_NoMemory);
    }
    list->magic = QELOptionListMagic;
    list->word1 = 1;
    list->word2 = 1;
    list->context = context;
    list->firstError = QELError_NoErr;
    list->flags = persistent ? QELOptionListFlag_Persistent : 0;
    list->capacity = 1;
    list->count = 0;
    list->items = items;
    return list;
}

QELStatus qelOptionListAppendItem(QELOptionList *list, const QELOptionItem *item)
{
    if (!isRealList(list) || item == nullptr)
        return QELError_BadParams;
    if (list->firstError != QELError_NoErr)
        return list->firstError;
    if (list->count == list->capacity) {
        // The count is 16 bits wide: a full list refuses more items rather
        // than wrapping and overwriting the first ones.
        if (list->capacity == kMaxItems) {
            list->firstError = QELError_OutOfMemory;
            return QELError_OutOfMemory;
        }
        std::uint16_t newCapacity = static_cast<std::uint16_t>(
            std::min<std::uint32_t>(std::uint32_t{list->capacity} + kGrowBy, kMaxItems));
        void *block = list->items;
        QELStatus status = qelContextMemRealloc(list->context, &block,
                                                std::size_t{newCapacity} * sizeof(QELOptionItem),
                                                0);
        if (status != QELError_NoErr) {
            list->firstError = status;
            return status;
        }
        list->items = static_cast<QELOptionItem *>(block);
        std::memset(list->items + list->capacity, 0,
                    std::size_t(newCapacity - list->capacity) * sizeof(QELOptionItem));
        list->capacity = newCapacity;
    }
    QELOptionItem &slot = list->items[list->count];
    slot = *item;
    slot.flags &= ~(QELOptionFlag_Taken | QELOptionFlag_Reserved);
    ++list->count;
    return QELError_NoErr;
}

QELOptionList *qelOptionListNewWithItem(QELContext *context, const QELOptionItem *item)
{
    QELOptionList *list = qelOptionListNew(context, false);
    // A failed append is kept in the list as its sticky error.
    if (qelOptionListGetError(list) == QELError_NoErr)
        static_cast<void>(qelOptionListAppendItem(list, item));
    return list;
}

QELOptionList *qelOptionNewSingle(QELContext *context, std::int32_t kind, std::int32_t flags,
                                  const void *value, std::uint64_t size, QELOptionList *nested,
                                  QELOptionHandler handler)
{
    // Only a real list is kept as the nested list; a sentinel or a foreign
    // pointer contributes its error instead.
    QELOptionList *keptNested = isRealList(nested) ? nested : nullptr;
    if (!qelContextIsValid(context)) {
        if (keptNested != nullptr)
            qelOptionListDispose(keptNested, true);
        return qelOptionSentinel(QELOptionSentinel_BadParams);
    }
    QELOptionItem item{};
    item.kind = kind;
    item.flags = flags;
    if (value != nullptr)
        std::memcpy(&item.value, value, sizeof(item.value));
    item.size = size;
    item.nested = keptNested;
    item.handler = handler;

    QELOptionList *list = qelOptionListNew(context, false);
    if (!isRealList(list)) {
        releaseValue(context, item);
        return list;
    }
    if (qelOptionListAppendItem(list, &item) != QELError_NoErr) {
        releaseValue(context, item);
        qelOptionListDispose(list, true);
        return qelOptionSentinel(QELOptionSentinel_NoMemory);
    }
    if (nested != nullptr) {
        QELStatus nestedError = qelOptionListGetError(nested);
        if (nestedError != QELError_NoErr)
            qelOptionListSetError(list, nestedError);
    }
    return list;
}

QELOptionList *qelOptionNewValue(QELContext *context, std::int32_t kind, const void *value,
                                 std::uint64_t size, QELOptionHandler handler)
{
    return qelOptionNewSingle(context, kind, QELOptionFlag_Constructed, value, size, nullptr,
                              handler);
}

namespace {

// A copy of size bytes in a block of the context's manager (secure or
// plain); null when memory fails.
void *copyBlock(QELContext *context, const void *source, std::uint64_t size, bool secure)
{
    void *block = secure ? qelMemAllocSecure(qelContextGetMemoryMgr(context), size, 0)
                         : qelContextMemAlloc(context, size, 0);
    if (block != nullptr && size != 0)
        std::memcpy(block, source, size);
    return block;
}

QELOptionList *newCopiedBytes(QELContext *context, std::int32_t kind, const void *bytes,
                              std::uint64_t length, bool secure)
{
    if (!qelContextIsValid(context) || bytes == nullptr || length > QELMemMaxBlockSize)
        return qelOptionSentinel(QELOptionSentinel_BadParams);
    void *block = copyBlock(context, bytes, length, secure);
    if (block == nullptr)
        return qelOptionSentinel(QELOptionSentinel_NoMemory);
    std::uint64_t value = fromPointer(block);
    return qelOptionNewValue(context, kind, &value, length,
                             secure ? qelOptionCopySecureHandler : qelOptionCopyBytesHandler);
}

} // namespace

QELOptionList *qelOptionNewBytes(QELContext *context, std::int32_t kind, const void *bytes,
                                 std::uint64_t length)
{
    return newCopiedBytes(context, kind, bytes, length, false);
}

QELOptionList *qelOptionNewSecureBytes(QELContext *context, std::int32_t kind, const void *bytes,
                                       std::uint64_t length)
{
    return newCopiedBytes(context, kind, bytes, length, true);
}

QELOptionList *qelOptionNewFileSpec(QELContext *context, std::int32_t kind,
                                    const QELFileSpec *spec)
{
    if (!qelContextIsValid(context) || !qelFileSpecIsValid(spec))
        return qelOptionSentinel(QELOptionSentinel_BadParams);
    QELFileSpec *copy = nullptr;
    if (qelFileSpecCopy(spec, &copy) != QELError_NoErr || copy == nullptr)
        return qelOptionSentinel(QELOptionSentinel_NoMemory);
    std::uint64_t value = fromPointer(copy);
    return qelOptionNewValue(context, kind, &value, sizeof(value), qelOptionCopyFileSpecHandler);
}

// --- generic value handlers ---------------------------------------------------

namespace {

QELStatus copyOrFreeBlock(QELContext *context, std::int32_t event, std::uint64_t value,
                          std::uint64_t size, std::uint64_t *outValue, std::uint64_t *outSize,
                          bool secure)
{
    if (event == QELOptionEvent_Free) {
        void *block = asPointer(value);
        if (block != nullptr)
            static_cast<void>(qelMemFree(block));
        return QELError_NoErr;
    }
    if (event != QELOptionEvent_Copy)
        return QELError_UnknownRequest;
    if (outValue == nullptr || outSize == nullptr || size > QELMemMaxBlockSize)
        return QELError_BadParams;
    void *block = copyBlock(context, asPointer(value), size, secure);
    if (block == nullptr)
        return QELError_OutOfMemory;
    *outValue = fromPointer(block);
    *outSize = size;
    return QELError_NoErr;
}

} // namespace

QELStatus qelOptionCopyBytesHandler(QELContext *context, std::int32_t event, std::int32_t,
                                    std::uint64_t value, std::uint64_t size,
                                    std::uint64_t *outValue, std::uint64_t *outSize)
{
    return copyOrFreeBlock(context, event, value, size, outValue, outSize, false);
}

QELStatus qelOptionCopySecureHandler(QELContext *context, std::int32_t event, std::int32_t,
                                     std::uint64_t value, std::uint64_t size,
                                     std::uint64_t *outValue, std::uint64_t *outSize)
{
    return copyOrFreeBlock(context, event, value, size, outValue, outSize, true);
}

QELStatus qelOptionCopyFileSpecHandler(QELContext *, std::int32_t event, std::int32_t,
                                       std::uint64_t value, std::uint64_t size,
                                       std::uint64_t *outValue, std::uint64_t *outSize)
{
    auto *spec = static_cast<QELFileSpec *>(asPointer(value));
    if (event == QELOptionEvent_Free)
        return qelFileSpecFree(spec);
    if (event != QELOptionEvent_Copy)
        return QELError_UnknownRequest;
    if (outValue == nullptr || outSize == nullptr)
        return QELError_BadParams;
    QELFileSpec *copy = nullptr;
    QELStatus status = qelFileSpecCopy(spec, &copy);
    if (status == QELError_NoErr) {
        *outValue = fromPointer(copy);
        *outSize = size;
    }
    return status;
}

// --- lookups ----------------------------------------------------------------

QELStatus qelOptionListFindNth(QELOptionList *list, std::int32_t kind, std::uint32_t n,
                               bool mark, QELOptionItem *outItem, std::uint32_t *outCount)
{
    if (outCount != nullptr)
        *outCount = 0;
    if (outItem != nullptr)
        *outItem = QELOptionItem{};
    if (!isRealList(list))
        return QELError_BadParams;
    std::uint32_t seen = 0;
    bool found = false;
    for (std::uint32_t i = 0; i < list->count; ++i) {
        QELOptionItem &item = list->items[i];
        if (item.kind != kind)
            continue;
        if (seen == n) {
            found = true;
            if (mark)
                item.flags |= QELOptionFlag_Taken;
            if (outItem != nullptr)
                *outItem = item;
        }
        ++seen;
    }
    if (outCount != nullptr)
        *outCount = seen;
    return found ? QELError_NoErr : QELError_OptionNotFound;
}

QELStatus qelOptionListGetItem(QELOptionList *list, std::uint32_t index, bool mark,
                               QELOptionItem *outItem)
{
    if (outItem != nullptr)
        *outItem = QELOptionItem{};
    if (!isRealList(list))
        return QELError_BadParams;
    if (index >= list->count)
        return QELError_OptionNotFound;
    QELOptionItem &item = list->items[index];
    if (mark)
        item.flags |= QELOptionFlag_Taken;
    if (outItem != nullptr)
        *outItem = item;
    return QELError_NoErr;
}

QELStatus qelOptionListFindOne(QELOptionList *list, std::int32_t kind, QELOptionItem *outItem)
{
    if (outItem != nullptr)
        *outItem = QELOptionItem{};
    if (list == nullptr)
        return QELError_NoErr;
    QELOptionItem item{};
    std::uint32_t count = 0;
    QELStatus status = qelOptionListFindNth(list, kind, 0, true, &item, &count);
    if (status != QELError_NoErr && status != QELError_OptionNotFound)
        return status;
    if (count > 1)
        return QELError_RedundantOptions;
    if (count == 1 && outItem != nullptr)
        *outItem = item;
    return QELError_NoErr;
}

QELStatus qelOptionListFindOneOptional(QELOptionList *list, std::int32_t kind, std::uint32_t n,
                                       QELOptionItem *outItem)
{
    if (outItem != nullptr)
        *outItem = QELOptionItem{};
    if (list == nullptr)
        return QELError_NoErr;
    QELStatus status = qelOptionListFindNth(list, kind, n, true, outItem, nullptr);
    return status == QELError_OptionNotFound ? QELError_NoErr : status;
}

QELStatus qelOptionListCheckTypes(const QELOptionList *list, const std::int32_t *kinds,
                                  std::uint32_t count)
{
    if (!isRealList(list))
        return QELError_BadParams;
    if (list->count == 0)
        return QELError_NoErr;
    if (count == 0 || kinds == nullptr)
        return QELError_BadParams;
    for (std::uint32_t i = 0; i < list->count; ++i) {
        const std::int32_t kind = list->items[i].kind;
        if (std::find(kinds, kinds + count, kind) == kinds + count)
            return QELError_BadParams;
    }
    return QELError_NoErr;
}

QELStatus qelOptionGetInt(const QELOptionItem *item, std::int32_t *outValue)
{
    if (outValue != nullptr)
        *outValue = 0;
    if (item == nullptr || outValue == nullptr)
        return QELError_BadParams;
    *outValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(item->value));
    return QELError_NoErr;
}

QELStatus qelOptionGetPointer(const QELOptionItem *item, void **outPointer)
{
    if (outPointer != nullptr)
        *outPointer = nullptr;
    if (item == nullptr || outPointer == nullptr)
        return QELError_BadParams;
    *outPointer = asPointer(item->value);
    return QELError_NoErr;
}

QELStatus qelOptionGetPointerSize(const QELOptionItem *item, void **outPointer,
                                  std::uint64_t *outSize)
{
    if (outPointer != nullptr)
        *outPointer = nullptr;
    if (outSize != nullptr)
        *outSize = 0;
    if (item == nullptr || outPointer == nullptr || outSize == nullptr)
        return QELError_BadParams;
    *outPointer = asPointer(item->value);
    *outSize = item->size;
    return QELError_NoErr;
}

QELStatus qelOptionGetRecord3(const QELOptionItem *item, void **outFirst, void **outSecond,
                              void **outThird)
{
    void **outs[3] = {outFirst, outSecond, outThird};
    for (void **o : outs)
        if (o != nullptr)
            *o = nullptr;
    if (item == nullptr || item->value == 0 || item->size < 3 * sizeof(void *))
        return QELError_BadParams;
    const auto *record = static_cast<const std::uint8_t *>(asPointer(item->value));
    for (int i = 0; i < 3; ++i)
        if (outs[i] != nullptr)
            std::memcpy(outs[i], record + i * sizeof(void *), sizeof(void *));
    return QELError_NoErr;
}

int qelOptionListGetPassphrases(QELOptionList *list, const void **outValue1,
                                std::uint64_t *outSize1, std::uint8_t *outIsPasskey1,
                                const void **outValue2, std::uint64_t *outSize2,
                                std::uint8_t *outIsPasskey2)
{
    const void **values[2] = {outValue1, outValue2};
    std::uint64_t *sizes[2] = {outSize1, outSize2};
    std::uint8_t *passkeys[2] = {outIsPasskey1, outIsPasskey2};
    for (int i = 0; i < 2; ++i) {
        if (values[i] != nullptr)
            *values[i] = nullptr;
        if (sizes[i] != nullptr)
            *sizes[i] = 0;
        if (passkeys[i] != nullptr)
            *passkeys[i] = 0;
    }
    if (!isRealList(list))
        return 0;
    int found = 0;
    QELOptionItem item{};
    for (std::uint32_t i = 0; found < 2 && qelOptionListGetItem(list, i, true, &item) == 0; ++i) {
        if (item.kind != QELOption_Passphrase && item.kind != QELOption_Passkey)
            continue;
        if (values[found] != nullptr)
            *values[found] = asPointer(item.value);
        if (sizes[found] != nullptr)
            *sizes[found] = item.size;
        if (passkeys[found] != nullptr)
            *passkeys[found] = item.kind == QELOption_Passkey ? 1 : 0;
        ++found;
    }
    return found;
}

QELStatus qelOptionListGetValuesV(QELOptionList *list, std::int32_t kind, bool required,
                                  const char *format, std::va_list args)
{
    if (format == nullptr)
        return QELError_BadParams;
    QELOptionItem item{};
    QELStatus status = qelOptionListFindOne(list, kind, &item);
    if (status != QELError_NoErr)
        return status;
    // Stores a value through the next argument, a pointer of the value's type.
    auto store = [&](auto value) -> QELStatus {
        auto *out = va_arg(args, decltype(value) *);
        if (out == nullptr)
            return QELError_BadParams;
        *out = value;
        return QELError_NoErr;
    };
    const bool present = item.kind != 0;
    const char *f = format;
    if (f[0] == '%' && f[1] == 'b') {
        if (store(std::uint8_t{present}) != QELError_NoErr)
            return QELError_BadParams;
        f += 2;
    }

    if (!present) {
        for (; f[0] == '%'; f += 2) {
            QELStatus status = QELError_BadParams;
            switch (f[1]) {
            case 'd':
            case 't':
            case 'T':
                status = store(std::uint32_t{0});
                break;
            case 'b':
                status = store(std::uint8_t{0});
                break;
            case 'p':
            case 'f':
            case 'l':
                status = store(std::uint64_t{0});
                break;
            }
            if (status != QELError_NoErr)
                return status;
        }
        return required ? QELError_OptionNotFound : QELError_NoErr;
    }

    const std::size_t rest = std::strlen(f);
    if (rest == 2) {
        if (f[0] != '%')
            return QELError_BadParams;
        switch (f[1]) {
        case 'd':
        case 't':
        case 'T':
            return store(static_cast<std::uint32_t>(item.value));
        case 'p':
        case 'f':
            return store(std::uint64_t{item.value});
        default:
            return QELError_BadParams;
        }
    }
    if (std::strcmp(f, "%p%l") == 0) {
        auto *outPointer = va_arg(args, std::uint64_t *);
        auto *outSize = va_arg(args, std::uint64_t *);
        if (outPointer == nullptr || outSize == nullptr)
            return QELError_BadParams;
        *outPointer = item.value;
        *outSize = item.size;
        return QELError_NoErr;
    }

    // A record: the fields are read in order from the record's start, never
    // past the size the option gave for it.
    const auto *record = static_cast<const std::uint8_t *>(asPointer(item.value));
    std::uint64_t offset = 0;
    for (; f[0] == '%'; f += 2) {
        switch (f[1]) {
        case 'd':
        case 't':
        case 'T':
        case 'b': {
            if (record == nullptr || offset + 4 > item.size)
                return QELError_BadParams;
            std::uint32_t field = 0;
            std::memcpy(&field, record + offset, sizeof(field));
            offset += 4;
            QELStatus status = f[1] == 'b' ? store(static_cast<std::uint8_t>(field)) : store(field);
            if (status != QELError_NoErr)
                return status;
            break;
        }
        case 'p':
        case 'f': {
            offset = (offset + 7) & ~std::uint64_t{7};
            if (record == nullptr || offset + 8 > item.size)
                return QELError_BadParams;
            std::uint64_t field = 0;
            std::memcpy(&field, record + offset, sizeof(field));
            offset += 8;
            if (store(field) != QELError_NoErr)
                return QELError_BadParams;
            break;
        }
        default:
            return QELError_BadParams;
        }
    }
    return QELError_NoErr;
}

QELStatus qelOptionListGetValues(QELOptionList *list, std::int32_t kind, bool required,
                                 const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    QELStatus status = qelOptionListGetValuesV(list, kind, required, format, args);
    va_end(args);
    return status;
}

// --- copying, merging and freeing --------------------------------------------

QELStatus qelOptionItemCopy(QELContext *context, const QELOptionItem *item,
                            QELOptionItem *outItem)
{
    if (outItem != nullptr)
        *outItem = QELOptionItem{};
    if (item == nullptr || outItem == nullptr)
        return QELError_BadParams;
    QELOptionItem copy{};
    copy.kind = item->kind;
    copy.flags = item->flags;
    copy.value = item->value;
    copy.size = item->size;
    if (item->handler != nullptr) {
        QELStatus status = item->handler(context, QELOptionEvent_Copy, item->kind, item->value,
                                         item->size, &copy.value, &copy.size);
        if (status != QELError_NoErr)
            return status;
        copy.handler = item->handler;
    }
    if (isRealList(item->nested)) {
        QELOptionList *nested = qelOptionListCopy(item->nested);
        QELStatus status = qelOptionListGetError(nested);
        if (status != QELError_NoErr) {
            // A half-made copy is released here, since no list will own it.
            qelOptionListDispose(nested, true);
            releaseValue(context, copy);
            return status;
        }
        copy.nested = nested;
    }
    *outItem = copy;
    return QELError_NoErr;
}

QELOptionList *qelOptionListCopy(const QELOptionList *list)
{
    if (!isRealList(list))
        return qelOptionSentinel(QELOptionSentinel_BadParams);
    QELOptionList *copy = qelOptionListNew(list->context, false);
    if (!isRealList(copy))
        return copy;
    if (list->firstError != QELError_NoErr) {
        qelOptionListSetError(copy, list->firstError);
        return copy;
    }
    for (std::uint32_t i = 0; i < list->count; ++i) {
        QELOptionItem item{};
        QELStatus status = qelOptionItemCopy(list->context, &list->items[i], &item);
        if (status == QELError_NoErr) {
            status = qelOptionListAppendItem(copy, &item);
            if (status != QELError_NoErr)
                releaseValue(list->context, item);
        }
        if (status != QELError_NoErr) {
            qelOptionListSetError(copy, status);
            break;
        }
    }
    return copy;
}

QELStatus qelOptionListAppendV(QELOptionList *target, QELOptionList *first, std::va_list args)
{
    QELStatus status = qelOptionListGetError(target);
    // Only a real list can receive items.
    if (status == QELError_NoErr && !isRealList(target))
        status = QELError_BadParams;

    std::vector<QELOptionList *> arguments;
    if (!collectArgs(first, args, arguments)) {
        // Without room to look at the arguments they cannot be told apart
        // safely; they stay with the caller.
        qelOptionListSetError(target, QELError_OutOfMemory);
        return QELError_OutOfMemory;
    }

    for (std::size_t a = 0; a < arguments.size(); ++a) {
        QELOptionList *arg = arguments[a];
        if (rawValue(arg) == QELOptionSentinel_Null)
            continue;
        // The target among its own arguments, or a list named twice, would be
        // moved into itself or freed twice: it counts as a bad argument.
        // Compared by address only: an earlier occurrence may be freed by now.
        const bool repeated =
            !isSentinel(arg) &&
            (arg == target ||
             std::find(arguments.begin(), arguments.begin() + static_cast<std::ptrdiff_t>(a),
                       arg) != arguments.begin() + static_cast<std::ptrdiff_t>(a));
        if (repeated || !qelOptionListIsValid(arg)) {
            if (status == QELError_NoErr)
                status = QELError_BadParams;
            continue;
        }
        // After a failure the remaining lists are only released.
        if (status == QELError_NoErr)
            status = qelOptionListGetError(arg);
        if (status != QELError_NoErr) {
            qelOptionListDispose(arg, false);
            continue;
        }
        status = qelOptionListGetError(target);
        if (status != QELError_NoErr) {
            qelOptionListDispose(arg, false);
            qelOptionListSetError(target, status);
            continue;
        }
        if (!isRealList(arg))
            continue; // the end or null-option sentinel: nothing to move
        QELOptionList *source = arg;
        if (arg->flags & QELOptionListFlag_Persistent) {
            source = qelOptionListCopy(arg);
            status = qelOptionListGetError(source);
            if (status != QELError_NoErr) {
                qelOptionListDispose(source, false);
                continue;
            }
        }
        for (std::uint32_t i = 0; i < source->count; ++i) {
            status = qelOptionListAppendItem(target, &source->items[i]);
            if (status != QELError_NoErr)
                break;
            source->items[i] = QELOptionItem{};
        }
        qelOptionListDispose(source, false);
        qelOptionListSetError(target, status);
    }
    qelOptionListSetError(target, status);
    return status;
}

QELStatus qelOptionListAppendVarArgs(QELOptionList *target, QELOptionList *first, ...)
{
    std::va_list args;
    va_start(args, first);
    QELStatus status = qelOptionListAppendV(target, first, args);
    va_end(args);
    return status;
}

QELOptionList *qelOptionListBuildV(QELContext *context, bool persistent, QELOptionList *first,
                                   std::va_list args)
{
    QELOptionList *list = qelOptionListNew(context, persistent);
    // A failed append is kept in the list as its sticky error.
    static_cast<void>(qelOptionListAppendV(list, first, args));
    return list;
}

qel::MergedOptions qel::mergeOptions(QELContext *context, QELOptionList *first, std::va_list args)
{
    QELOptionList *list = qelOptionListBuildV(context, false, first, args);
    const QELStatus error = qelOptionListGetError(list);
    return {OwnedOptionList(list), error};
}

QELOptionList *qelOptionListBuild(QELContext *context, bool persistent, QELOptionList *first,
                                  ...)
{
    std::va_list args;
    va_start(args, first);
    QELOptionList *list = qelOptionListBuildV(context, persistent, first, args);
    va_end(args);
    return list;
}

QELStatus qelOptionListBuildIntoV(QELOptionListHolder *holder, QELOptionList *first,
                                  std::va_list args)
{
    if (holder == nullptr) {
        static_cast<void>(qelOptionListFreeV(first, args));
        return QELError_BadParams;
    }
    QELOptionList *list = qelOptionListBuildV(holder->context, false, first, args);
    QELStatus status = qelOptionListGetError(list);
    if (status == QELError_NoErr && isRealList(list)) {
        holder->list = list;
        return QELError_NoErr;
    }
    qelOptionListDispose(list, true);
    return status != QELError_NoErr ? status : QELError_BadParams;
}

QELStatus qelOptionListBuildInto(QELOptionListHolder *holder, QELOptionList *first, ...)
{
    std::va_list args;
    va_start(args, first);
    QELStatus status = qelOptionListBuildIntoV(holder, first, args);
    va_end(args);
    return status;
}

void qelOptionListDispose(QELOptionList *list, bool force)
{
    if (!isRealList(list))
        return;
    if ((list->flags & QELOptionListFlag_Persistent) && !force)
        return;
    QELContext *context = list->context;
    for (std::uint32_t i = 0; i < list->count; ++i)
        releaseValue(context, list->items[i]);
    static_cast<void>(qelContextMemFree(context, list->items));
    list->magic = 0;
    list->items = nullptr;
    static_cast<void>(qelContextMemFree(context, list));
}

void qelOptionListFree(QELOptionList *list)
{
    qelOptionListDispose(list, true);
}

void qelOptionListFreeAndClear(QELOptionList **list)
{
    if (list == nullptr || *list == nullptr)
        return;
    qelOptionListFree(*list);
    *list = nullptr;
}

QELStatus qelOptionListFreeV(QELOptionList *first, std::va_list args)
{
    QELStatus status = QELError_NoErr;
    std::vector<QELOptionList *> seen;
    for (QELOptionList *arg = first; rawValue(arg) != QELOptionSentinel_End;
         arg = va_arg(args, QELOptionList *)) {
        if (isSentinel(arg))
            continue; // nothing to free
        // A list named twice is freed once; compared by address only, since
        // the earlier occurrence is gone by now.
        if (std::find(seen.begin(), seen.end(), arg) != seen.end())
            continue;
        if (!isRealList(arg)) {
            if (status == QELError_NoErr)
                status = QELError_BadParams;
            continue;
        }
        try {
            seen.push_back(arg);
        } catch (...) {
        }
        qelOptionListDispose(arg, false);
    }
    return status;
}

QELStatus qelOptionListFreeVarArgs(QELOptionList *first, ...)
{
    std::va_list args;
    va_start(args, first);
    QELStatus status = qelOptionListFreeV(first, args);
    va_end(args);
    return status;
}

char *qelContextStrDup(QELContext *context, const char *string)
{
    if (string == nullptr)
        return nullptr;
    std::size_t length = std::strlen(string) + 1;
    return static_cast<char *>(qelContextMemAllocCopy(context, length, 0, string));
}

// --- public operations ------------------------------------------------------

namespace {

// Hands a made list to the caller; a sentinel in its place becomes a status.
QELStatus deliverList(QELOptionList *list, QELOptionList **outList)
{
    if (!isRealList(list))
        return qelOptionSentinelError(list);
    *outList = list;
    return QELError_NoErr;
}

} // namespace

QELStatus qelOptionListNewPublic(QELContext *context, QELOptionList **outList)
{
    if (outList == nullptr)
        return QELError_BadParams;
    *outList = nullptr;
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    QELStatus status = qelAPIGate(kGateFile, __LINE__);
    if (status != QELError_NoErr)
        return status;
    return deliverList(qelOptionListNew(context, true), outList);
}

QELStatus qelOptionListBuildPublic(QELContext *context, QELOptionList **outList,
                                   QELOptionList *first, ...)
{
    std::va_list args;
    va_start(args, first);
    QELStatus status = QELError_NoErr;
    if (outList != nullptr)
        *outList = nullptr;
    if (outList == nullptr || !qelContextIsValid(context)) {
        static_cast<void>(qelOptionListFreeV(first, args));
        status = QELError_BadParams;
    } else if ((status = qelAPIGate(kGateFile, __LINE__)) == QELError_NoErr) {
        status = deliverList(qelOptionListBuildV(context, true, first, args), outList);
    }
    va_end(args);
    return status;
}

QELStatus qelOptionListAppendPublic(QELOptionList *target, QELOptionList *first, ...)
{
    QELStatus status = qelAPIGate(kGateFile, __LINE__);
    if (status != QELError_NoErr)
        return status;
    std::va_list args;
    va_start(args, first);
    status = qelOptionListAppendV(target, first, args);
    va_end(args);
    return status;
}

QELStatus qelOptionListBuildIntoPublic(QELOptionListHolder *holder, QELOptionList *first, ...)
{
    std::va_list args;
    va_start(args, first);
    QELStatus status = QELError_NoErr;
    if (holder == nullptr) {
        static_cast<void>(qelOptionListFreeV(first, args));
        status = QELError_BadParams;
    } else if ((status = qelAPIGate(kGateFile, __LINE__)) == QELError_NoErr) {
        status = qelOptionListBuildIntoV(holder, first, args);
    }
    va_end(args);
    return status;
}

QELStatus qelOptionListCopyPublic(const QELOptionList *list, QELOptionList **outCopy)
{
    if (outCopy == nullptr)
        return QELError_BadParams;
    *outCopy = nullptr;
    if (!isRealList(list))
        return QELError_BadParams;
    QELStatus status = qelAPIGate(kGateFile, __LINE__);
    if (status != QELError_NoErr)
        return status;
    return deliverList(qelOptionListCopy(list), outCopy);
}

QELStatus qelOptionListFreePublic(QELOptionList *list)
{
    if (!qelOptionListIsValid(list))
        return QELError_BadParams;
    QELStatus status = qelAPIGate(kGateFile, __LINE__);
    if (status != QELError_NoErr)
        return status;
    qelOptionListFree(list);
    return QELError_NoErr;
}

QELOptionList *qelOptionNull(QELContext *context)
{
    if (!qelContextIsValid(context))
        return qelOptionSentinel(QELOptionSentinel_BadParams);
    if (qelAPIGate(kGateFile, __LINE__) != QELError_NoErr)
        return qelOptionSentinel(QELOptionSentinel_Refused);
    return qelOptionSentinel(QELOptionSentinel_Null);
}

// The end sentinel closes every argument sequence, so it is returned even
// for an invalid context or a refused call: anything else would leave the
// sequence open and send the reader past the caller's arguments. The
// operation that receives the sequence checks the context and the guard
// itself.
QELOptionList *qelOptionLastOption(QELContext *)
{
    return qelOptionSentinel(QELOptionSentinel_End);
}
