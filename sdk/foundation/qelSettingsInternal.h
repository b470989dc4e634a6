// Settings: the preferences of a context or a job. Integer (1000-1041) and
// string (2000-2018) settings carry a priority; a store below the held
// priority fails with QELError_SettingPriority. Pointer settings (3000-3006)
// are not owned.
#pragma once

#include "qelErrors.h"

#include <cstdint>

struct QELContext;
struct QELSettings;

enum QELSettingId : std::int32_t {
    QELSetting_IntFirst = 1000,
    QELSetting_ArmorOutput = 1000,
    QELSetting_ArmorLinesPerPart = 1001,
    QELSetting_CertDepth = 1002,
    QELSetting_CipherAlgorithm = 1003,
    QELSetting_ClearSign = 1004,
    QELSetting_CompletesNeeded = 1005,
    QELSetting_Compress = 1006,
    QELSetting_CompressAlgorithm = 1007,
    QELSetting_CompressLevel = 1008,
    QELSetting_HashAlgorithm = 1010,
    QELSetting_MarginalsNeeded = 1011,
    QELSetting_TextMode = 1013,
    QELSetting_TrustThreshold = 1014,
    QELSetting_TimeOffsetHours = 1015,
    QELSetting_PacketVersion = 1017,
    QELSetting_MimeOutput = 1022,
    QELSetting_KeyGenDefaultFlag = 1029,
    QELSetting_ArmorParserFlag = 1037,
    QELSetting_MimeVersionHeader = 1041,
    QELSetting_IntLast = 1041,

    QELSetting_StringFirst = 2000,
    QELSetting_Charset = 2001,
    QELSetting_CommentString = 2002,
    QELSetting_VersionString = 2018,
    QELSetting_StringLast = 2018,

    QELSetting_PointerFirst = 3000,
    QELSetting_CharsetEncodeTable = 3000,
    QELSetting_CharsetDecodeTable = 3001,
    QELSetting_CipherCallback = 3004, // a QELCipherCallback the cipher modules call per chunk
    QELSetting_PointerLast = 3006,
};

// Priorities used by the SDK: defaults and job options.
constexpr std::int32_t QELSettingPriority_Default = 0;
constexpr std::int32_t QELSettingPriority_Job = 25;

[[nodiscard]] QELStatus qelSettingsCreate(QELContext *context, QELSettings **outSettings);
void qelSettingsFree(QELSettings *settings);
[[nodiscard]] QELStatus qelSettingsCopy(const QELSettings *settings, QELSettings **outCopy);
QELContext *qelSettingsGetContext(const QELSettings *settings);

[[nodiscard]] QELStatus qelSettingsSetInt(QELSettings *settings, std::int32_t id, std::int32_t value,
                            std::int32_t priority);
// The value (0 on failure); outStatus gets 0 or QELError_BadParams, and
// outPriority is written only on success. Both may be null.
std::int32_t qelSettingsGetInt(const QELSettings *settings, std::int32_t id,
                               std::int32_t *outPriority, QELStatus *outStatus);
// A null string unsets the slot. Storing QELSetting_Charset also installs
// that character set's tables as 3000 and 3001.
[[nodiscard]] QELStatus qelSettingsSetString(QELSettings *settings, std::int32_t id, const char *value,
                               std::int32_t priority);
// The stored string (owned by the record), or null for an unset slot or an
// unknown id.
const char *qelSettingsGetString(const QELSettings *settings, std::int32_t id,
                                 std::int32_t *outPriority);
// Ids 3002-3006 only; 3000 and 3001 follow QELSetting_Charset.
[[nodiscard]] QELStatus qelSettingsSetPointer(QELSettings *settings, std::int32_t id, const void *pointer,
                                std::uint64_t size);
// The pointer (null for an unknown id) and, when outSize is given, its size.
const void *qelSettingsGetPointer(const QELSettings *settings, std::int32_t id,
                                  std::uint64_t *outSize);
