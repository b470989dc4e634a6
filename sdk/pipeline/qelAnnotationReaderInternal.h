// The Simple Annotation Reader: the last module of a decode chain. It keeps
// the scopes of the parsers upstream, answers each packet with the reply the
// job chooses, gathers session-key and signature packets and hands them to
// the job, and opens one output through the job for each piece of content.
#pragma once

#include "qelPipeModuleInternal.h"

#include <cstdint>

struct QELSettings;
struct QELSigItem;

// The job's side of decoding; every entry gets the callback data first.
struct QELDecodeCallbacks {
    void (*report)(void *data, QELStatus status, std::int32_t event, std::int32_t count, const void *pointer);
    std::int32_t (*reply)(void *data, std::int32_t scope, std::int32_t depth);
    QELStatus (*openOutput)(void *data, QELPipeModule **slot, std::int32_t outputType, const char *name);
    QELStatus (*detachedData)(void *data, QELPipeModule *chain);
    QELStatus (*signatureResult)(void *data, const QELSigItem *signature, const std::uint8_t *digest);
    // 0 when a session key was sent; 0x102 or 0x103 for Discard or PassThrough.
    QELStatus (*decrypt)(void *data, QELSigItem *sessionKeys,
                         QELStatus (*send)(void *sendContext, const std::uint8_t *key, std::uint64_t length),
                         void *sendContext);
    QELStatus (*observe)(void *data, const void *origin, std::int32_t code, const void *pointer,
                         std::uint64_t length); // may be null
};

// Fixed bounds of the reader's scope stack and signature lists; deeper input
// is refused with QELError_BadPacketFormat.
inline constexpr std::int32_t QELAnnotationReaderMaxScopes = 50;

// Event codes given to `report`.
inline constexpr std::int32_t QELDecodeEvent_HashForSignatureFailed = 1051;
inline constexpr std::int32_t QELDecodeEvent_SignatureReplyFailed = 1052;
inline constexpr std::int32_t QELDecodeEvent_SignatureRefused = 1053;
inline constexpr std::int32_t QELDecodeEvent_DetachedNoHash = 1054;
inline constexpr std::int32_t QELDecodeEvent_DetachedHashMissing = 1055;
inline constexpr std::int32_t QELDecodeEvent_DetachedNoList = 1056;
inline constexpr std::int32_t QELDecodeEvent_ScopeMismatch = 1150;
inline constexpr std::int32_t QELDecodeEvent_NotAReply = 1250;
inline constexpr std::int32_t QELDecodeEvent_DecryptFailed = 1300;
inline constexpr std::int32_t QELDecodeEvent_SessionKeyRefused = 1301;
inline constexpr std::int32_t QELDecodeEvent_DetachedFailed = 1350;
inline constexpr std::int32_t QELDecodeEvent_DetachedBegins = 1351;
inline constexpr std::int32_t QELDecodeEvent_ReplyFailed = 1400;
inline constexpr std::int32_t QELDecodeEvent_NoSink = 1550;

// Returns the reader's downstream slot (where `openOutput` puts the output
// module), or null (null slot or settings, no memory).
QELPipeModule **qelAnnotationReaderCreate(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                          const QELDecodeCallbacks *callbacks, void *callbackData);
