// The "PKE Module": one RFC 4880 public-key encrypted session-key packet
// (tag 1, body version 3) per recipient, placed by a Join Module ahead of
// everything written through the module afterwards.
#pragma once

#include "qelPipeModuleInternal.h"

#include <cstddef>
#include <cstdint>

struct QELKeyObject;

inline constexpr std::uint8_t QELPacketTag_PublicKeyESK = 1;

// `sessionKey` is the algorithm octet and the key (blockLength bytes), kept
// until the first data byte is written. Returns the Join's downstream slot.
QELPipeModule **qelPKEModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t version,
                                   const std::uint8_t *sessionKey, std::size_t blockLength);
// Adds one recipient's packet; every recipient is added before any data.
[[nodiscard]] QELStatus qelPKEModuleAddRecipient(QELPipeModule *module, QELKeyObject *key);
// The body of a public-key session-key packet for the key's encryption part:
// 3, its key ID, its algorithm and the encrypted session key. The body comes
// from the context and belongs to the caller.
[[nodiscard]] QELStatus qelPKESKBodyBuild(QELContext *context, QELKeyObject *key, const std::uint8_t *sessionKey,
                                          std::size_t blockLength, std::uint8_t **outBody,
                                          std::size_t *outLength);
