// The symmetric-key session-key writer: one RFC 4880 symmetric-key encrypted
// session-key packet (tag 3) per passphrase, placed by a Join Module ahead of
// the encrypted data that reaches the Join through the chain.
#pragma once

#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

#include <cstddef>
#include <cstdint>

struct QELStringToKey;

inline constexpr std::uint8_t QELPacketTag_SymmetricKeyESK = 3;
inline constexpr std::size_t QELSymKeyESKMaxBody = 8192;

// One passphrase of the list; `s2k` null takes the call's default specifier.
struct QELSymKeyPassphrase {
    QELSymKeyPassphrase *next;
    QELStringToKey *s2k;
    const std::uint8_t *passphrase;
    std::size_t length;
};

// Version 3 or lower writes no packet. `sessionKey` (algorithm octet and the
// key) may be null: the passphrase's key is then the session key itself.
// Returns the Join's downstream slot, or null with the slot unchanged.
QELPipeModule **qelSymKeyESKCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                   const QELFifoDescriptor *fifoKind, QELStringToKey *defaultS2K,
                                   const QELSymKeyPassphrase *passphrases, std::uint8_t algorithm,
                                   const std::uint8_t *sessionKey);
