// Cipher block chaining over whole blocks; callers handle any padding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qelErrors.h"

struct QELMemoryMgr;
struct QELSymmetricCipher;

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

// Takes ownership of the cipher once its arguments are accepted.
QELStatus qelCBCCreate(QELSymmetricCipher *cipher, QELCBCContext **outCBC);
QELStatus qelCBCInit(QELCBCContext *cbc, const void *key, const void *iv);
QELStatus qelCBCEncrypt(QELCBCContext *cbc, const void *in, std::size_t length, void *out);
QELStatus qelCBCDecrypt(QELCBCContext *cbc, const void *in, std::size_t length, void *out);
QELStatus qelCBCEncryptInternal(QELCBCContext *cbc, const void *in, std::size_t length, void *out);
QELStatus qelCBCDecryptInternal(QELCBCContext *cbc, const void *in, std::size_t length, void *out);
QELStatus qelCBCFree(QELCBCContext *cbc);
QELStatus qelCBCCopy(const QELCBCContext *cbc, QELCBCContext **outCopy);
QELStatus qelCBCGetSymmetricCipher(QELCBCContext *cbc, QELSymmetricCipher **outCipher);
std::size_t qelCBCGetBlockSize(const QELCBCContext *cbc);
std::size_t qelCBCGetKeySize(const QELCBCContext *cbc);
