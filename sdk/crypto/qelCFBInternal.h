// CFB internals: the object and stream records, the unchecked workers, the
// per-stream workers and the sizes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qelCFB.h"

struct QELCipherDescriptor;
struct QELSHA1State;

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

// A one-stream object over a new unkeyed cipher; null on any failure.
QELCFBContext *qelCFBCreateForDescriptor(QELMemoryMgr *mgr, const QELCipherDescriptor *descriptor);
[[nodiscard]] QELStatus qelCFBEncryptInternal(QELCFBContext *cfb, const void *in, std::size_t length, void *out);
[[nodiscard]] QELStatus qelCFBDecryptInternal(QELCFBContext *cfb, const void *in, std::size_t length, void *out);
void qelCFBWipe(QELCFBContext *cfb);
// Forgets the process-wide last output block of the X9.17 step's continuous
// test (the next block is compared with zeros, as at process start).
void qelCFBClearLastOutput();
std::size_t qelCFBGetBlockSize(const QELCFBContext *cfb);
std::size_t qelCFBGetKeySize(const QELCFBContext *cfb);

// Per-stream workers.
[[nodiscard]] QELStatus qelCFBStreamEncrypt(QELCFBStream *stream, const std::uint8_t *in, std::size_t length, std::uint8_t *out);
[[nodiscard]] QELStatus qelCFBStreamDecrypt(QELCFBStream *stream, const std::uint8_t *in, std::size_t length, std::uint8_t *out);
[[nodiscard]] QELStatus qelCFBInterleaved(bool encrypt, QELCFBContext *cfb, const std::uint8_t *in, std::size_t length,
                            std::uint8_t *out);

// CFB decryption of `units` 64-byte units of a one-stream object at a block
// boundary, together with SHA-1 over the plaintext of the first `hashUnits`
// of them (the SHA-1 state at a block boundary), where the processor has a
// path that runs the two side by side; false, with nothing done, elsewhere.
bool qelCFBDecryptWithSHA1(QELCFBContext *cfb, const std::uint8_t *in, std::size_t units, std::uint8_t *out,
                           QELSHA1State *sha1, std::size_t hashUnits);

// CFB encryption of `units` 64-byte units of a one-stream object at a block
// boundary, together with SHA-1 over all of their plaintext (the SHA-1 state
// at a block boundary), where the processor has a path that runs the two
// side by side; false, with nothing done, elsewhere.
bool qelCFBEncryptWithSHA1(QELCFBContext *cfb, const std::uint8_t *in, std::size_t units, std::uint8_t *out,
                           QELSHA1State *sha1);
