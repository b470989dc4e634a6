// Cipher internals: block cipher descriptors and the cipher object record.
//
// Every block cipher is reached through one static, read-only
// QELCipherDescriptor found by its algorithm id. A QELSymmetricCipher is a
// keyed instance of a descriptor, owned by a memory manager; the CFB and CBC
// modes take ownership of the cipher they are made with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qelSymmetricCipher.h"

struct QELSettings;

// Builds the key-schedule context from exactly keySize key bytes.
using QELCipherKeyScheduleProc = void (*)(void *context, const std::uint8_t *key);
// One block; in and out may be the same buffer. The context is not const
// because several ciphers switch their schedule's direction lazily.
using QELCipherBlockProc = void (*)(void *context, const std::uint8_t *in, std::uint8_t *out);
// Derives a new key from the current one and the data and installs it.
using QELCipherWashProc = void (*)(void *context, const std::uint8_t *data, std::size_t length);

struct QELCipherDescriptor {
    const char *name;
    std::int32_t algorithm;            // QELCipherAlgorithm
    std::size_t blockSize;             // 8 or 16
    std::size_t keySize;               // bytes the key schedule reads
    std::size_t contextSize;           // bytes of key-schedule context
    std::size_t contextAlignment;      // informational only
    QELCipherKeyScheduleProc keySchedule;
    QELCipherBlockProc encrypt;        // null when the cipher cannot encrypt
    QELCipherBlockProc decrypt;
    QELCipherWashProc wash;            // null when the cipher has no wash
    const void *reserved[2];
};

inline constexpr std::uint32_t kQELSymmetricCipherMagic = 0xABBADABAu;

struct QELSymmetricCipher {
    std::uint32_t magic;
    QELMemoryMgr *memoryMgr;
    const QELCipherDescriptor *descriptor;
    void *context;                     // descriptor->contextSize bytes
    std::uint8_t keyed;
};

// Descriptor list (no API entry guard).
const QELCipherDescriptor *qelCipherDescriptorFind(std::int32_t algorithm);
std::size_t qelCipherDescriptorCount();
const QELCipherDescriptor *qelPreferredCipherDescriptorOrIDEA(QELSettings *settings);
const QELCipherDescriptor *qelPreferredCipherDescriptorOrCAST5(QELSettings *settings);

// Cipher object.
bool qelSymmetricCipherIsValid(const void *cipher);
[[nodiscard]] QELStatus qelSymmetricCipherCreate(QELMemoryMgr *mgr, std::int32_t algorithm,
                                   QELSymmetricCipher **outCipher);
// Used by the modes for every block; no magic check. QELError_NotInitialized
// when unkeyed, QELError_FeatureNotAvailable when the direction is missing.
[[nodiscard]] QELStatus qelSymmetricCipherEncryptBlockInternal(QELSymmetricCipher *cipher, const void *in, void *out);
[[nodiscard]] QELStatus qelSymmetricCipherDecryptBlockInternal(QELSymmetricCipher *cipher, const void *in, void *out);
QELMemoryMgr *qelSymmetricCipherGetMemoryMgr(const QELSymmetricCipher *cipher);
