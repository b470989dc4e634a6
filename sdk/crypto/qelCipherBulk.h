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

// The rows behind qelCipherBulkFind.
extern const QELCipherBulk qelAESBulk;
extern const QELCipherBulk qelCAST5Bulk;

// CAST5 encryption of `blocks` independent 8-byte blocks (in == out
// allowed), several at once; the reader's CFB masks come from it.
void qelCAST5EncryptBlocks(void *context, const std::uint8_t *in, std::uint8_t *out, std::size_t blocks);
