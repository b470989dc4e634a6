// CBC internals: the object record, the unchecked workers and the sizes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qelCBC.h"

inline constexpr std::uint32_t kQELCBCMagic = 0xBAAB0957u;

struct QELCBCContext {
    std::uint32_t magic;
    QELMemoryMgr *memoryMgr;
    std::uint8_t initialised;
    QELSymmetricCipher *cipher;        // owned by the object
    std::uint8_t ivA[20];              // chaining value
    std::uint8_t ivB[20];              // second buffer, taken in turn while decrypting
    std::uint8_t *currentIV;           // ivA or ivB of this object
};

[[nodiscard]] QELStatus qelCBCEncryptInternal(QELCBCContext *cbc, const void *in, std::size_t length, void *out);
[[nodiscard]] QELStatus qelCBCDecryptInternal(QELCBCContext *cbc, const void *in, std::size_t length, void *out);
std::size_t qelCBCGetBlockSize(const QELCBCContext *cbc);
std::size_t qelCBCGetKeySize(const QELCBCContext *cbc);
