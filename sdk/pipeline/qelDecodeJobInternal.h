// The decode job behind qelDecode: the decode chain (armor parser, then the
// Simple Annotation Reader) and the job's answers to the reader.
#pragma once

#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

#include <cstdint>

struct QELDecodeCallbacks;
struct QELKeyDB;
struct QELOptionList;
struct QELSettings;

// Analysis kinds, the value of the Analyze event.
inline constexpr std::int32_t QELDecodeKind_Encrypted = 0;
inline constexpr std::int32_t QELDecodeKind_Signed = 1;
inline constexpr std::int32_t QELDecodeKind_Detached = 2;
inline constexpr std::int32_t QELDecodeKind_KeyMaterial = 3;
inline constexpr std::int32_t QELDecodeKind_PlainText = 4;
inline constexpr std::int32_t QELDecodeKind_Certificate = 5;

// Without a caller's limit a run stops once its content passes this many
// bytes and this many times the input read so far: a decompression bomb.
inline constexpr std::uint64_t QELDecodeDefaultOutputFloor = std::uint64_t{1} << 30;
inline constexpr std::uint64_t QELDecodeDefaultOutputRatio = 1000;
// Key material waits in memory for its import; more than this is refused.
inline constexpr std::uint64_t QELDecodeKeyMaterialLimit = std::uint64_t{64} << 20;

// Returns the reader's downstream slot, or null (null head slot, a module
// that could not be made).
QELPipeModule **qelDecodeChainBuild(QELContext *context, QELPipeModule **head, QELSettings *settings,
                                    const QELFifoDescriptor *fifoKind, const QELDecodeCallbacks *callbacks,
                                    void *callbackData);

// ---- stand-in for the certificate toolkit ----------------------------------
// X.509 and PKCS #7 input is handed to the certificate import; until the
// toolkit fills this seam, such input answers QELError_FeatureNotAvailable.
struct QELDecodeJobSeams {
    // Imports the element at the front of `bytes` (format as given by the
    // caller) into `target`; *outUsed gets the element's length.
    QELStatus (*certImport)(QELContext *context, const std::uint8_t *bytes, std::uint64_t length,
                            std::int32_t format, QELOptionList *passphrase, QELKeyDB *searchDB, QELKeyDB *target,
                            std::uint64_t *outUsed);
};
QELDecodeJobSeams &qelDecodeJobSeams();

// The length of the DER element at the front of `bytes` (header included),
// or 0 when it is not a complete definite-length element.
std::uint64_t qelDecodeDerElementLength(const std::uint8_t *bytes, std::uint64_t length);
