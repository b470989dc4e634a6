// The cipher modules: the Cipher Encryption Module writes an RFC 4880
// encrypted data packet (tag 9, CFB resynchronised after the prefix) or an
// integrity-protected one (tag 18 version 1, with its modification detection
// code) around everything written into it; the Cipher Decryption Module
// decrypts the rest of such a body once the parser has checked its prefix,
// holds back the trailing 22-byte modification detection packet and answers
// the parser's three questions about it.
#pragma once

#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

#include <cstddef>
#include <cstdint>

struct QELCFBContext;
struct QELSettings;

inline constexpr std::uint8_t QELPacketTag_Encrypted = 9;
inline constexpr std::uint8_t QELPacketTag_EncryptedMdc = 18;
// The modification detection packet: 0xD3, 0x14 and a SHA-1 digest.
inline constexpr std::size_t QELMdcDigestSize = 20;
inline constexpr std::size_t QELMdcPacketSize = QELMdcDigestSize + 2;
// The most a module transforms at once (and reports to the cipher callback),
// and its ring: room for such a chunk beside the held-back bytes twice (those
// still in the ring and those the chunk will hold back).
inline constexpr std::size_t QELCipherChunkSize = 8192;
inline constexpr std::size_t QELCipherRingSize = QELCipherChunkSize + 64;
static_assert(QELCipherRingSize >= QELCipherChunkSize + 2 * QELMdcPacketSize);

// What pointer setting QELSetting_CipherCallback points at: called with the
// byte count of every chunk before it is transformed; a negative answer
// stops the stream with QELError_UserAbort.
struct QELCipherCallback {
    std::int32_t (*proc)(std::uint64_t count, void *userValue);
    void *userValue;
};

// `cfb` is keyed with the session key and has a zero IV; `random` holds at
// least the cipher's block size of random bytes. Inserts the module and an
// Add Header Module behind it (tag 18 with `mdc`, else tag 9) and returns
// the Add Header Module's downstream slot, or null (the CFB object then
// stays with the caller).
QELPipeModule **qelCipherEncryptModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                             const QELFifoDescriptor *fifoKind, QELCFBContext *cfb,
                                             const std::uint8_t *random, QELSettings *settings, std::uint8_t mdc);

// `cfb` has already decrypted the block size + 2 prefix bytes (`prefix`) and,
// for tag 9, been resynchronised. The module owns the CFB object from here
// on, also when it fails (null).
QELPipeModule **qelCipherDecryptModuleCreate(QELContext *context, QELPipeModule **slot, QELCFBContext *cfb,
                                             QELSettings *settings, std::uint8_t mdc, const std::uint8_t *prefix);
