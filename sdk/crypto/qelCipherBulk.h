// Several whole blocks per call, for the modes whose blocks do not wait on
// each other (CFB and CBC decryption) and for CFB encryption with the key
// kept in registers.
//
// A descriptor's cipher may offer these on top of its one-block functions;
// the results are those of the one-block loop, byte for byte. Each function
// takes the keyed context, the 16- or 8-byte register (CFB) or chaining
// value (CBC) to start from, and allows in == out. Callers keep the mode's
// own state; the functions change only the output (and, like the one-block
// functions, the direction a schedule is kept in).
#pragma once

#include <cstddef>
#include <cstdint>

struct QELCipherDescriptor;

using QELCipherBulkProc = void (*)(void *context, const std::uint8_t *iv, const std::uint8_t *in, std::uint8_t *out,
                                   std::size_t blocks);

struct QELCipherBulk {
    QELCipherBulkProc cfbEncrypt;      // null when not offered
    QELCipherBulkProc cfbDecrypt;
    QELCipherBulkProc cbcDecrypt;
};

// The several-block functions of a descriptor's cipher on this processor
// (and under the test switch), or null.
const QELCipherBulk *qelCipherBulkFind(const QELCipherDescriptor *descriptor);

// CFB decryption of `units` 64-byte units (whole blocks from a block
// boundary, in == out allowed) together with SHA-1 of the plaintext of the
// first `hashUnits` of them, on the five chaining words of a SHA-1 state at a
// block boundary: the results of the decryption and of the hash done apart.
// Offered where the cipher and the hash both have a hardware path.
using QELCipherBulkSHA1Proc = void (*)(void *context, const std::uint8_t *iv, const std::uint8_t *in,
                                       std::uint8_t *out, std::size_t units, std::uint32_t *sha1Chaining,
                                       std::size_t hashUnits);

// The descriptor's CFB-decryption-with-SHA-1 function on this processor (and
// under the test switch), or null.
QELCipherBulkSHA1Proc qelCipherBulkFindCFBDecryptSHA1(const QELCipherDescriptor *descriptor);

// CFB encryption of `units` 64-byte units (whole blocks from a block
// boundary, in == out allowed) together with SHA-1 of all of their
// plaintext, on the chaining words of a SHA-1 state at a block boundary.
using QELCipherBulkEncryptSHA1Proc = void (*)(void *context, const std::uint8_t *iv, const std::uint8_t *in,
                                              std::uint8_t *out, std::size_t units, std::uint32_t *sha1Chaining);

// The descriptor's CFB-encryption-with-SHA-1 function here, or null.
QELCipherBulkEncryptSHA1Proc qelCipherBulkFindCFBEncryptSHA1(const QELCipherDescriptor *descriptor);

// The rows behind qelCipherBulkFind.
extern const QELCipherBulk qelAESBulk;
extern const QELCipherBulk qelCAST5Bulk;
#if defined(__x86_64__)
void qelAESCFBDecryptSHA1Units(void *context, const std::uint8_t *iv, const std::uint8_t *in, std::uint8_t *out,
                               std::size_t units, std::uint32_t *sha1Chaining, std::size_t hashUnits);
void qelAESCFBEncryptSHA1Units(void *context, const std::uint8_t *iv, const std::uint8_t *in, std::uint8_t *out,
                               std::size_t units, std::uint32_t *sha1Chaining);
#endif

// CAST5 encryption of `blocks` independent 8-byte blocks (in == out
// allowed), several at once; the reader's CFB masks come from it.
void qelCAST5EncryptBlocks(void *context, const std::uint8_t *in, std::uint8_t *out, std::size_t blocks);
