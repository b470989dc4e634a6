// Cipher feedback mode with full-block feedback (RFC 4880), over one or
// several interleaved streams, plus the ANSI X9.17 generator step that the
// random generators run on the same object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qelErrors.h"

struct QELMemoryMgr;
struct QELSymmetricCipher;
struct QELCipherDescriptor;

inline constexpr std::uint32_t kQELCFBMagic = 0xBAABBAABu;
inline constexpr std::uint16_t kQELCFBMaxStreams = 56;

struct QELCFBStream {
    QELSymmetricCipher *cipher;        // owned by the CFB object
    std::uint8_t previous[20];         // CFB: last full ciphertext block; X9.17: output block
    std::uint8_t reg[20];              // CFB: feedback register; X9.17: the seed
    std::size_t pending;               // keystream (X9.17: output) bytes not yet used
};

// One block holds this header followed by `count` QELCFBStream records.
struct QELCFBContext {
    std::uint32_t magic;
    QELMemoryMgr *memoryMgr;
    std::uint16_t count;               // interleaved streams, 1 .. 56
    std::uint16_t current;             // stream that takes the next byte (count > 1)
    std::size_t blockBytes;            // bytes of the current stream's block done (count > 1)
    std::uint8_t initialised;
};

QELCFBStream *qelCFBStreams(QELCFBContext *cfb);

// Takes ownership of the cipher, except when it answers QELError_BadParams
// for its arguments or the API entry guard refuses.
QELStatus qelCFBCreate(QELSymmetricCipher *cipher, std::uint16_t count, QELCFBContext **outCFB);
// A one-stream object over a new unkeyed cipher; null on any failure.
QELCFBContext *qelCFBCreateForDescriptor(QELMemoryMgr *mgr, const QELCipherDescriptor *descriptor);
// key: the cipher's key size; iv: count x block size bytes. Not both null.
QELStatus qelCFBInit(QELCFBContext *cfb, const void *key, const void *iv);
QELStatus qelCFBEncrypt(QELCFBContext *cfb, const void *in, std::size_t length, void *out);
QELStatus qelCFBDecrypt(QELCFBContext *cfb, const void *in, std::size_t length, void *out);
QELStatus qelCFBEncryptInternal(QELCFBContext *cfb, const void *in, std::size_t length, void *out);
QELStatus qelCFBDecryptInternal(QELCFBContext *cfb, const void *in, std::size_t length, void *out);
// RFC 4880 resynchronisation of the current stream.
QELStatus qelCFBSync(QELCFBContext *cfb);
void qelCFBWipe(QELCFBContext *cfb);
QELStatus qelCFBFree(QELCFBContext *cfb);
QELStatus qelCFBCopy(const QELCFBContext *cfb, QELCFBContext **outCopy);
std::size_t qelCFBGetBlockSize(const QELCFBContext *cfb);
std::size_t qelCFBGetKeySize(const QELCFBContext *cfb);
QELStatus qelCFBGetSymmetricCipher(QELCFBContext *cfb, QELSymmetricCipher **outCipher);

// X9.17 support (one stream only).
QELStatus qelCFBWash(QELCFBContext *cfb, const void *data, std::size_t length);
// One generator step with the caller's block T; QELError_SelfTestFailed when
// the FIPS continuous test sees the same output twice in a row.
QELStatus qelCFBRandomCycle(QELCFBContext *cfb, const void *block);
QELStatus qelCFBRandomTake(QELCFBContext *cfb, std::size_t count, void *out, std::size_t *outTaken);

// Per-stream workers.
QELStatus qelCFBStreamEncrypt(QELCFBStream *stream, const std::uint8_t *in, std::size_t length, std::uint8_t *out);
QELStatus qelCFBStreamDecrypt(QELCFBStream *stream, const std::uint8_t *in, std::size_t length, std::uint8_t *out);
QELStatus qelCFBInterleaved(bool encrypt, QELCFBContext *cfb, const std::uint8_t *in, std::size_t length,
                            std::uint8_t *out);
