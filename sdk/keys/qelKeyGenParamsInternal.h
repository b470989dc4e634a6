// Key-generation parameters: what a new key packet and its self-signature
// need, in one record, with the flat form that carries it to the local SDK
// service. Internal: key generation and the packet writers use it.
#pragma once

#include "qelErrors.h"
#include "qelTimeDate.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELSettings;

struct QELKeyGenParams {
    QELContext *context;          // holds the record and its strings
    std::int32_t version;         // key packet version: 2, 3 or 4
    QELTime creation;
    std::uint16_t validityDays;   // 0: no expiration
    std::uint8_t algorithm;       // public-key algorithm id
    std::uint32_t keyFlags;
    std::uint8_t keyFlagsPresent;
    std::uint32_t keyServerPrefs;
    std::uint8_t keyServerPrefsPresent;
    std::uint8_t *keyServer;
    std::uint64_t keyServerLength;
    std::uint8_t *prefSymmetric;
    std::uint64_t prefSymmetricLength;
    std::uint8_t *prefCompression;
    std::uint64_t prefCompressionLength;
};

// Size of the fixed header of the flat form: eleven 32-bit words.
constexpr std::size_t QELKeyGenParamsFlatHeaderSize = 44;

// Version 3, created now plus the settings' time offset, no expiration;
// null when memory runs out.
QELKeyGenParams *qelKeyGenParamsNew(QELSettings *settings);
QELKeyGenParams *qelKeyGenParamsCopy(const QELKeyGenParams *params);
void qelKeyGenParamsFree(QELKeyGenParams *params);

std::int32_t qelKeyGenParamsVersion(const QELKeyGenParams *params);
QELTime qelKeyGenParamsCreation(const QELKeyGenParams *params);
std::uint16_t qelKeyGenParamsValidityDays(const QELKeyGenParams *params);
std::uint8_t qelKeyGenParamsAlgorithm(const QELKeyGenParams *params);
std::uint32_t qelKeyGenParamsKeyFlags(const QELKeyGenParams *params, std::uint8_t *outPresent);
std::uint32_t qelKeyGenParamsKeyServerPrefs(const QELKeyGenParams *params,
                                            std::uint8_t *outPresent);
const std::uint8_t *qelKeyGenParamsKeyServer(const QELKeyGenParams *params,
                                             std::uint64_t *outLength);
const std::uint8_t *qelKeyGenParamsPrefSymmetric(const QELKeyGenParams *params,
                                                 std::uint64_t *outLength);
const std::uint8_t *qelKeyGenParamsPrefCompression(const QELKeyGenParams *params,
                                                   std::uint64_t *outLength);

// QELError_UnknownSignatureVersion outside 2 to 4 (the field is unchanged).
[[nodiscard]] QELStatus qelKeyGenParamsSetVersion(QELKeyGenParams *params, std::int32_t version);
[[nodiscard]] QELStatus qelKeyGenParamsSetCreation(QELKeyGenParams *params, QELTime creation);
[[nodiscard]] QELStatus qelKeyGenParamsSetValidityDays(QELKeyGenParams *params,
                                                       std::uint16_t days);
[[nodiscard]] QELStatus qelKeyGenParamsSetAlgorithm(QELKeyGenParams *params,
                                                    std::uint8_t algorithm);
[[nodiscard]] QELStatus qelKeyGenParamsSetKeyFlags(QELKeyGenParams *params, std::uint32_t flags);
[[nodiscard]] QELStatus qelKeyGenParamsSetKeyServerPrefs(QELKeyGenParams *params,
                                                         std::uint32_t prefs);
// Null bytes or length 0 keep the earlier value.
[[nodiscard]] QELStatus qelKeyGenParamsSetKeyServer(QELKeyGenParams *params,
                                                    const std::uint8_t *bytes,
                                                    std::uint64_t length);
[[nodiscard]] QELStatus qelKeyGenParamsSetPrefSymmetric(QELKeyGenParams *params,
                                                        const std::uint8_t *bytes,
                                                        std::uint64_t length);
[[nodiscard]] QELStatus qelKeyGenParamsSetPrefCompression(QELKeyGenParams *params,
                                                          const std::uint8_t *bytes,
                                                          std::uint64_t length);

// A new block of the record's context; the caller frees it.
[[nodiscard]] QELStatus qelKeyGenParamsFlatten(const QELKeyGenParams *params,
                                               std::uint8_t **outBuffer,
                                               std::uint64_t *outLength);
// Rebuilds a record from a flat form that came from elsewhere. The header,
// the version and every length are checked against the buffer before any
// string is read; a short or inconsistent buffer gives
// QELError_TruncatedPacket, a version outside 2 to 4
// QELError_UnknownSignatureVersion, a field out of range
// QELError_BadPacketFormat. Null with *outStatus set on failure.
QELKeyGenParams *qelKeyGenParamsUnflatten(QELContext *context, const std::uint8_t *flat,
                                          std::uint64_t flatLength, QELStatus *outStatus);

// Octets of a new key packet's body before its key material: 6 for
// version 4, 8 for the older versions (which carry the validity period).
std::size_t qelKeyGenParamsMaterialOffset(const QELKeyGenParams *params);
// Writes those octets: version, creation time, for versions below 4 the
// validity period, then the algorithm id. out holds
// qelKeyGenParamsMaterialOffset(params) octets.
void qelKeyGenParamsWritePrefix(std::uint8_t *out, const QELKeyGenParams *params, std::uint8_t algorithm);
