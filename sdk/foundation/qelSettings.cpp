// Settings records: integer and string preferences with priorities, and
// pointer preferences, owned by one context.
#include "qelSettingsInternal.h"

#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelMemoryInternal.h"
#include "qelWipe.h"

#include "qelFileObjectInternal.h"

#include <cstring>

// Setting 2013 holds a path fixed when the SDK is built; nothing reads it.
#ifndef QEL_SETTINGS_BUILD_PATH
#define QEL_SETTINGS_BUILD_PATH "/usr/local/share/qel"
#endif

namespace {

constexpr int kIntCount = QELSetting_IntLast - QELSetting_IntFirst + 1;
constexpr int kStringCount = QELSetting_StringLast - QELSetting_StringFirst + 1;
constexpr int kPointerCount = QELSetting_PointerLast - QELSetting_PointerFirst + 1;
constexpr std::uint64_t kCharsetTableSize = 256;

} // namespace

struct QELSettings {
    struct IntSlot {
        std::int32_t value;
        std::int32_t priority;
    };
    struct StringSlot {
        char *value;
        std::int32_t priority;
    };
    IntSlot ints[kIntCount];
    StringSlot strings[kStringCount];
    const void *pointers[kPointerCount];
    std::uint64_t pointerSizes[kPointerCount];
    QELContext *context;
};

namespace {

bool isIntId(std::int32_t id)
{
    return id >= QELSetting_IntFirst && id <= QELSetting_IntLast;
}

bool isStringId(std::int32_t id)
{
    return id >= QELSetting_StringFirst && id <= QELSetting_StringLast;
}

bool isPointerId(std::int32_t id)
{
    return id >= QELSetting_PointerFirst && id <= QELSetting_PointerLast;
}

void storePointer(QELSettings *settings, std::int32_t id, const void *pointer, std::uint64_t size)
{
    settings->pointers[id - QELSetting_PointerFirst] = pointer;
    settings->pointerSizes[id - QELSetting_PointerFirst] = size;
}

void freeString(char *&value)
{
    if (value == nullptr)
        return;
    qelSecureWipe(value, std::strlen(value));
    static_cast<void>(qelMemFree(value));
    value = nullptr;
}

// Stores a copy of value (or unsets the slot for null) and the priority.
// The priority has been checked by the caller. On failure the slot is
// unchanged.
QELStatus storeString(QELSettings *settings, QELSettings::StringSlot &slot, const char *value,
                      std::int32_t priority)
{
    if (value == nullptr) {
        freeString(slot.value);
        slot.priority = priority;
        return QELError_NoErr;
    }
    // A new block rather than a resize, so that storing a slot's own string
    // back into it reads intact bytes.
    const std::size_t length = std::strlen(value);
    auto *copy = static_cast<char *>(qelContextMemAlloc(settings->context, length + 1, 0));
    if (copy == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(copy, value, length + 1);
    freeString(slot.value);
    slot.value = copy;
    slot.priority = priority;
    return QELError_NoErr;
}

} // namespace

QELStatus qelSettingsCreate(QELContext *context, QELSettings **outSettings)
{
    if (outSettings == nullptr)
        return QELError_BadParams;
    *outSettings = nullptr;
    if (!qelContextIsValid(context))
        return QELError_BadParams;
    auto *settings = static_cast<QELSettings *>(
        qelContextMemAlloc(context, sizeof(QELSettings), QELMemFlag_Clear));
    if (settings == nullptr)
        return QELError_OutOfMemory;
    settings->context = context;

    const struct {
        std::int32_t id;
        std::int32_t value;
    } intDefaults[] = {
        {QELSetting_CipherAlgorithm, qelFIPSModeEnabled() ? 2 : 1},
        {QELSetting_HashAlgorithm, 1},
        {QELSetting_Compress, 1},
        {QELSetting_CompressAlgorithm, 1},
        {QELSetting_CompressLevel, 5},
        {QELSetting_ArmorLinesPerPart, 0},
        {QELSetting_CertDepth, 4},
        {QELSetting_CompletesNeeded, 1},
        {QELSetting_MarginalsNeeded, 2},
        {QELSetting_TrustThreshold, 120},
        {QELSetting_ClearSign, 1},
        {QELSetting_PacketVersion, 3},
    };
    for (const auto &d : intDefaults)
        // A default that cannot be stored stays unset.
        static_cast<void>(qelSettingsSetInt(settings, d.id, d.value, QELSettingPriority_Default));
    // A default string that cannot be stored stays unset.
    static_cast<void>(qelSettingsSetString(settings, 2007, "", QELSettingPriority_Default));
    static_cast<void>(qelSettingsSetString(settings, 2013, QEL_SETTINGS_BUILD_PATH, QELSettingPriority_Default));
    static_cast<void>(qelSettingsSetString(settings, QELSetting_Charset, "noconv", QELSettingPriority_Default));

    *outSettings = settings;
    return QELError_NoErr;
}

void qelSettingsFree(QELSettings *settings)
{
    if (settings == nullptr)
        return;
    for (auto &slot : settings->strings)
        freeString(slot.value);
    qelSecureWipe(settings, sizeof *settings);
    static_cast<void>(qelMemFree(settings));
}

QELStatus qelSettingsCopy(const QELSettings *settings, QELSettings **outCopy)
{
    if (outCopy == nullptr)
        return QELError_BadParams;
    *outCopy = nullptr;
    if (settings == nullptr)
        return QELError_BadParams;
    auto *copy = static_cast<QELSettings *>(
        qelContextMemAlloc(settings->context, sizeof(QELSettings), QELMemFlag_Clear));
    if (copy == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(copy->ints, settings->ints, sizeof copy->ints);
    std::memcpy(copy->pointers, settings->pointers, sizeof copy->pointers);
    std::memcpy(copy->pointerSizes, settings->pointerSizes, sizeof copy->pointerSizes);
    copy->context = settings->context;
    for (int i = 0; i < kStringCount; ++i) {
        if (storeString(copy, copy->strings[i], settings->strings[i].value,
                        settings->strings[i].priority) != QELError_NoErr) {
            qelSettingsFree(copy);
            return QELError_OutOfMemory;
        }
    }
    *outCopy = copy;
    return QELError_NoErr;
}

QELContext *qelSettingsGetContext(const QELSettings *settings)
{
    return settings != nullptr ? settings->context : nullptr;
}

QELStatus qelSettingsSetInt(QELSettings *settings, std::int32_t id, std::int32_t value,
                            std::int32_t priority)
{
    if (settings == nullptr || !isIntId(id))
        return QELError_BadParams;
    auto &slot = settings->ints[id - QELSetting_IntFirst];
    if (priority < slot.priority)
        return QELError_SettingPriority;
    slot.value = value;
    slot.priority = priority;
    return QELError_NoErr;
}

std::int32_t qelSettingsGetInt(const QELSettings *settings, std::int32_t id,
                               std::int32_t *outPriority, QELStatus *outStatus)
{
    if (settings == nullptr || !isIntId(id)) {
        if (outStatus != nullptr)
            *outStatus = QELError_BadParams;
        return 0;
    }
    const auto &slot = settings->ints[id - QELSetting_IntFirst];
    if (outPriority != nullptr)
        *outPriority = slot.priority;
    if (outStatus != nullptr)
        *outStatus = QELError_NoErr;
    return slot.value;
}

QELStatus qelSettingsSetString(QELSettings *settings, std::int32_t id, const char *value,
                               std::int32_t priority)
{
    if (settings == nullptr || !isStringId(id))
        return QELError_BadParams;
    auto &slot = settings->strings[id - QELSetting_StringFirst];
    if (priority < slot.priority)
        return QELError_SettingPriority;
    if (id != QELSetting_Charset)
        return storeString(settings, slot, value, priority);

    const std::uint8_t *decodeTable = nullptr;
    const std::uint8_t *encodeTable = nullptr;
    QELStatus status = qelCharsetLookup(
        value, value != nullptr ? std::strlen(value) : 0,
        &decodeTable, &encodeTable);
    if (status != QELError_NoErr)
        return status;
    status = storeString(settings, slot, value, priority);
    if (status != QELError_NoErr)
        return status;
    storePointer(settings, QELSetting_CharsetEncodeTable, encodeTable, kCharsetTableSize);
    storePointer(settings, QELSetting_CharsetDecodeTable, decodeTable, kCharsetTableSize);
    return QELError_NoErr;
}

const char *qelSettingsGetString(const QELSettings *settings, std::int32_t id,
                                 std::int32_t *outPriority)
{
    if (settings == nullptr || !isStringId(id))
        return nullptr;
    const auto &slot = settings->strings[id - QELSetting_StringFirst];
    if (outPriority != nullptr)
        *outPriority = slot.priority;
    return slot.value;
}

QELStatus qelSettingsSetPointer(QELSettings *settings, std::int32_t id, const void *pointer,
                                std::uint64_t size)
{
    // 3000 and 3001 follow the character-set setting.
    if (settings == nullptr || id < QELSetting_CharsetDecodeTable + 1 || !isPointerId(id))
        return QELError_BadParams;
    storePointer(settings, id, pointer, size);
    return QELError_NoErr;
}

const void *qelSettingsGetPointer(const QELSettings *settings, std::int32_t id,
                                  std::uint64_t *outSize)
{
    if (outSize != nullptr)
        *outSize = 0;
    if (settings == nullptr || !isPointerId(id))
        return nullptr;
    if (outSize != nullptr)
        *outSize = settings->pointerSizes[id - QELSetting_PointerFirst];
    return settings->pointers[id - QELSetting_PointerFirst];
}
