// Key-generation parameters and their flat form.
#include "qelKeyGenParamsInternal.h"

#include "qelContextInternal.h"
#include "qelHelpers.h"
#include "qelSettingsInternal.h"

#include <bit>
#include <cstring>

namespace {

struct StringField {
    std::uint8_t *QELKeyGenParams::*bytes;
    std::uint64_t QELKeyGenParams::*length;
};

// The three strings in the order of the flat form.
constexpr StringField kStrings[] = {
    {&QELKeyGenParams::keyServer, &QELKeyGenParams::keyServerLength},
    {&QELKeyGenParams::prefSymmetric, &QELKeyGenParams::prefSymmetricLength},
    {&QELKeyGenParams::prefCompression, &QELKeyGenParams::prefCompressionLength},
};

void freeString(QELKeyGenParams *params, const StringField &field)
{
    if (params->*field.bytes != nullptr)
        static_cast<void>(qelContextMemFree(params->context, params->*field.bytes)); // our block
    params->*field.bytes = nullptr;
    params->*field.length = 0;
}

// Replaces a string with a copy of the bytes; on failure the field is empty.
QELStatus storeString(QELKeyGenParams *params, const StringField &field,
                      const std::uint8_t *bytes, std::uint64_t length)
{
    freeString(params, field);
    if (length > SIZE_MAX)
        return QELError_OutOfMemory;
    void *copy = qelContextMemAllocCopy(params->context, static_cast<std::size_t>(length), 0, bytes);
    if (copy == nullptr)
        return QELError_OutOfMemory;
    params->*field.bytes = static_cast<std::uint8_t *>(copy);
    params->*field.length = length;
    return QELError_NoErr;
}

QELStatus setString(QELKeyGenParams *params, const StringField &field, const std::uint8_t *bytes,
                    std::uint64_t length)
{
    if (params == nullptr)
        return QELError_BadParams;
    if (bytes == nullptr || length == 0)
        return QELError_NoErr;
    return storeString(params, field, bytes, length);
}

QELKeyGenParams *newRecord(QELContext *context)
{
    return static_cast<QELKeyGenParams *>(
        qelContextMemAlloc(context, sizeof(QELKeyGenParams), QELMemFlag_Clear));
}

// The flat form's words are in host byte order.
void putWord(std::uint8_t *out, std::uint32_t value) { std::memcpy(out, &value, 4); }

bool takeWord(qel::ByteCursor &cursor, std::uint32_t &out)
{
    if constexpr (std::endian::native == std::endian::little)
        return cursor.le32(out);
    else
        return cursor.be32(out);
}

} // namespace

QELKeyGenParams *qelKeyGenParamsNew(QELSettings *settings)
{
    QELContext *context = qelSettingsGetContext(settings);
    if (context == nullptr)
        return nullptr;
    QELKeyGenParams *params = newRecord(context);
    if (params == nullptr)
        return nullptr;
    params->context = context;
    params->version = 3;
    params->creation =
        qelTimeDateNowPlusHours(qelSettingsGetInt(settings, QELSetting_TimeOffsetHours, nullptr, nullptr));
    return params;
}

QELKeyGenParams *qelKeyGenParamsCopy(const QELKeyGenParams *params)
{
    if (params == nullptr)
        return nullptr;
    QELKeyGenParams *copy = newRecord(params->context);
    if (copy == nullptr)
        return nullptr;
    *copy = *params;
    for (const StringField &field : kStrings) {
        copy->*field.bytes = nullptr;
        copy->*field.length = 0;
    }
    for (const StringField &field : kStrings) {
        if (params->*field.length == 0)
            continue;
        if (storeString(copy, field, params->*field.bytes, params->*field.length) != QELError_NoErr) {
            qelKeyGenParamsFree(copy);
            return nullptr;
        }
    }
    return copy;
}

void qelKeyGenParamsFree(QELKeyGenParams *params)
{
    if (params == nullptr)
        return;
    for (const StringField &field : kStrings)
        freeString(params, field);
    static_cast<void>(qelContextMemFree(params->context, params)); // our block
}

std::int32_t qelKeyGenParamsVersion(const QELKeyGenParams *params) { return params ? params->version : 0; }
QELTime qelKeyGenParamsCreation(const QELKeyGenParams *params) { return params ? params->creation : 0; }
std::uint16_t qelKeyGenParamsValidityDays(const QELKeyGenParams *params)
{
    return params ? params->validityDays : 0;
}
std::uint8_t qelKeyGenParamsAlgorithm(const QELKeyGenParams *params) { return params ? params->algorithm : 0; }

std::uint32_t qelKeyGenParamsKeyFlags(const QELKeyGenParams *params, std::uint8_t *outPresent)
{
    if (outPresent != nullptr)
        *outPresent = params ? params->keyFlagsPresent : 0;
    return params ? params->keyFlags : 0;
}

std::uint32_t qelKeyGenParamsKeyServerPrefs(const QELKeyGenParams *params, std::uint8_t *outPresent)
{
    if (outPresent != nullptr)
        *outPresent = params ? params->keyServerPrefsPresent : 0;
    return params ? params->keyServerPrefs : 0;
}

namespace {
const std::uint8_t *getString(const QELKeyGenParams *params, const StringField &field,
                              std::uint64_t *outLength)
{
    if (outLength != nullptr)
        *outLength = params ? params->*field.length : 0;
    return params ? params->*field.bytes : nullptr;
}
} // namespace

const std::uint8_t *qelKeyGenParamsKeyServer(const QELKeyGenParams *params, std::uint64_t *outLength)
{
    return getString(params, kStrings[0], outLength);
}
const std::uint8_t *qelKeyGenParamsPrefSymmetric(const QELKeyGenParams *params, std::uint64_t *outLength)
{
    return getString(params, kStrings[1], outLength);
}
const std::uint8_t *qelKeyGenParamsPrefCompression(const QELKeyGenParams *params, std::uint64_t *outLength)
{
    return getString(params, kStrings[2], outLength);
}

QELStatus qelKeyGenParamsSetVersion(QELKeyGenParams *params, std::int32_t version)
{
    if (params == nullptr)
        return QELError_BadParams;
    if (version < 2 || version > 4)
        return QELError_UnknownSignatureVersion;
    params->version = version;
    return QELError_NoErr;
}

QELStatus qelKeyGenParamsSetCreation(QELKeyGenParams *params, QELTime creation)
{
    if (params == nullptr)
        return QELError_BadParams;
    params->creation = creation;
    return QELError_NoErr;
}

QELStatus qelKeyGenParamsSetValidityDays(QELKeyGenParams *params, std::uint16_t days)
{
    if (params == nullptr)
        return QELError_BadParams;
    params->validityDays = days;
    return QELError_NoErr;
}

QELStatus qelKeyGenParamsSetAlgorithm(QELKeyGenParams *params, std::uint8_t algorithm)
{
    if (params == nullptr)
        return QELError_BadParams;
    params->algorithm = algorithm;
    return QELError_NoErr;
}

QELStatus qelKeyGenParamsSetKeyFlags(QELKeyGenParams *params, std::uint32_t flags)
{
    if (params == nullptr)
        return QELError_BadParams;
    params->keyFlags = flags;
    params->keyFlagsPresent = 1;
    return QELError_NoErr;
}

QELStatus qelKeyGenParamsSetKeyServerPrefs(QELKeyGenParams *params, std::uint32_t prefs)
{
    if (params == nullptr)
        return QELError_BadParams;
    params->keyServerPrefs = prefs;
    params->keyServerPrefsPresent = 1;
    return QELError_NoErr;
}

QELStatus qelKeyGenParamsSetKeyServer(QELKeyGenParams *params, const std::uint8_t *bytes,
                                      std::uint64_t length)
{
    return setString(params, kStrings[0], bytes, length);
}
QELStatus qelKeyGenParamsSetPrefSymmetric(QELKeyGenParams *params, const std::uint8_t *bytes,
                                          std::uint64_t length)
{
    return setString(params, kStrings[1], bytes, length);
}
QELStatus qelKeyGenParamsSetPrefCompression(QELKeyGenParams *params, const std::uint8_t *bytes,
                                            std::uint64_t length)
{
    return setString(params, kStrings[2], bytes, length);
}

QELStatus qelKeyGenParamsFlatten(const QELKeyGenParams *params, std::uint8_t **outBuffer,
                                 std::uint64_t *outLength)
{
    if (outBuffer != nullptr)
        *outBuffer = nullptr;
    if (outLength != nullptr)
        *outLength = 0;
    if (params == nullptr || outBuffer == nullptr || outLength == nullptr)
        return QELError_BadParams;
    // Each length travels in one 32-bit word.
    std::uint64_t total = QELKeyGenParamsFlatHeaderSize;
    for (const StringField &field : kStrings) {
        if (params->*field.length > UINT32_MAX)
            return QELError_BadParams;
        total += params->*field.length;
    }
    auto *flat = static_cast<std::uint8_t *>(
        qelContextMemAlloc(params->context, static_cast<std::size_t>(total), 0));
    if (flat == nullptr)
        return QELError_OutOfMemory;
    const std::uint32_t words[11] = {
        static_cast<std::uint32_t>(params->version),
        params->creation,
        params->validityDays,
        params->algorithm,
        params->keyFlags,
        params->keyFlagsPresent ? 1u : 0u,
        params->keyServerPrefs,
        params->keyServerPrefsPresent ? 1u : 0u,
        static_cast<std::uint32_t>(params->keyServerLength),
        static_cast<std::uint32_t>(params->prefSymmetricLength),
        static_cast<std::uint32_t>(params->prefCompressionLength),
    };
    for (std::size_t i = 0; i < 11; ++i)
        putWord(flat + 4 * i, words[i]);
    std::uint8_t *p = flat + QELKeyGenParamsFlatHeaderSize;
    for (const StringField &field : kStrings) {
        if (params->*field.length != 0)
            std::memcpy(p, params->*field.bytes, static_cast<std::size_t>(params->*field.length));
        p += params->*field.length;
    }
    *outBuffer = flat;
    *outLength = total;
    return QELError_NoErr;
}

QELKeyGenParams *qelKeyGenParamsUnflatten(QELContext *context, const std::uint8_t *flat,
                                          std::uint64_t flatLength, QELStatus *outStatus)
{
    QELStatus scratch = QELError_NoErr;
    QELStatus &status = outStatus != nullptr ? *outStatus : scratch;
    status = QELError_NoErr;
    if (!qelContextIsValid(context) || (flat == nullptr && flatLength != 0)) {
        status = QELError_BadParams;
        return nullptr;
    }
    qel::ByteCursor cursor(flat, static_cast<std::size_t>(flatLength > SIZE_MAX ? SIZE_MAX : flatLength));
    std::uint32_t w[11];
    for (std::uint32_t &word : w) {
        if (!takeWord(cursor, word)) {
            status = QELError_TruncatedPacket;
            return nullptr;
        }
    }
    const std::int32_t version = static_cast<std::int32_t>(w[0]);
    if (version < 2 || version > 4) {
        status = QELError_UnknownSignatureVersion;
        return nullptr;
    }
    if (w[2] > UINT16_MAX || w[3] > UINT8_MAX || w[5] > 1 || w[7] > 1) {
        status = QELError_BadPacketFormat;
        return nullptr;
    }
    // The three lengths must account for exactly the bytes behind the
    // header; summed in 64 bits, so no length can wrap the check.
    const std::uint64_t strings = std::uint64_t{w[8]} + w[9] + w[10];
    if (strings != cursor.remaining()) {
        status = QELError_TruncatedPacket;
        return nullptr;
    }

    QELKeyGenParams *params = newRecord(context);
    if (params == nullptr) {
        status = QELError_OutOfMemory;
        return nullptr;
    }
    params->context = context;
    params->version = version;
    params->creation = w[1];
    params->validityDays = static_cast<std::uint16_t>(w[2]);
    params->algorithm = static_cast<std::uint8_t>(w[3]);
    params->keyFlags = w[4];
    params->keyFlagsPresent = static_cast<std::uint8_t>(w[5]);
    params->keyServerPrefs = w[6];
    params->keyServerPrefsPresent = static_cast<std::uint8_t>(w[7]);
    for (std::size_t i = 0; i < 3; ++i) {
        std::span<const std::uint8_t> bytes;
        if (!cursor.bytes(w[8 + i], bytes)) { // cannot fail after the check above
            qelKeyGenParamsFree(params);
            status = QELError_TruncatedPacket;
            return nullptr;
        }
        if (bytes.empty())
            continue;
        if (storeString(params, kStrings[i], bytes.data(), bytes.size()) != QELError_NoErr) {
            qelKeyGenParamsFree(params);
            status = QELError_OutOfMemory;
            return nullptr;
        }
    }
    return params;
}

// ---- key packet prefix -------------------------------------------------------------------------

std::size_t qelKeyGenParamsMaterialOffset(const QELKeyGenParams *params)
{
    return params->version == 4 ? 6 : 8;
}

void qelKeyGenParamsWritePrefix(std::uint8_t *out, const QELKeyGenParams *params, std::uint8_t algorithm)
{
    const QELTime t = params->creation;
    out[0] = static_cast<std::uint8_t>(params->version);
    out[1] = static_cast<std::uint8_t>(t >> 24);
    out[2] = static_cast<std::uint8_t>(t >> 16);
    out[3] = static_cast<std::uint8_t>(t >> 8);
    out[4] = static_cast<std::uint8_t>(t);
    if (params->version == 4) {
        out[5] = algorithm;
        return;
    }
    out[5] = static_cast<std::uint8_t>(params->validityDays >> 8);
    out[6] = static_cast<std::uint8_t>(params->validityDays);
    out[7] = algorithm;
}
