// The decode job behind qelDecode: the decode chain (armor parser, then the
// Simple Annotation Reader) and the job's answers to the reader.
#pragma once

#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

#include <cstdint>

struct QELDecodeCallbacks;
struct QELKeyDB;
struct QELKeyObject;
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

// ---- the certificate toolkit, filled by the PKI layer at start-up ------------
// X.509 and PKCS #7 input is handed to the certificate import; until the
// toolkit fills these, such input answers QELError_FeatureNotAvailable.

// What one element of certificate input carried. The blocks come from the
// context's memory manager (qelMemFree); the keys belong to their databases.
struct QELCertImportResult {
    std::uint8_t *certificates = nullptr; // DER SET OF Certificate, or null
    std::uint64_t certificatesLength = 0;
    std::uint8_t *crls = nullptr;         // DER SET OF CertificateList, or null
    std::uint64_t crlsLength = 0;
    QELKeyObject *signerKey = nullptr;    // the key whose certificate signed it
    std::uint8_t isSigned = 0;            // a signed layer had a signer
    std::uint8_t checked = 0;             // the signer was found and checked
    std::uint8_t verified = 0;            // ... and the signature is good
    QELKeyObject *locked = nullptr;       // on QELError_BadPassphrase: the key that wants one
};

struct QELDecodeJobSeams {
    // Imports one DER element. `passphrase` (may be null) is consumed. An
    // enveloped layer whose key wants a passphrase that was not given, or
    // was wrong, is QELError_BadPassphrase with `locked` set.
    QELStatus (*certImport)(QELContext *context, const std::uint8_t *der, std::uint64_t length, std::int32_t format,
                            QELKeyDB *searchDB, QELOptionList *passphrase, QELCertImportResult *out);
    // A DER SET OF certificates as key rings of a new in-memory database.
    QELStatus (*importCertificates)(QELContext *context, const std::uint8_t *der, std::uint64_t length,
                                    QELKeyDB *keyDB, QELKeyDB **outDB);
    // The CRLs of a DER SET OF whose issuer is found in keyDB and whose
    // signature it accepts, in a new database (null when none was taken).
    QELStatus (*importCRLs)(QELContext *context, const std::uint8_t *der, std::uint64_t length, QELKeyDB *keyDB,
                            QELKeyDB **outDB);
};
QELDecodeJobSeams &qelDecodeJobSeams();

// The length of the DER element at the front of `bytes` (header included),
// or 0 when it is not a complete definite-length element.
std::uint64_t qelDecodeDerElementLength(const std::uint8_t *bytes, std::uint64_t length);
