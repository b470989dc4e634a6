// Signature checks on keys: hashing key material in RFC 4880 order and
// checking the signatures a key database holds on its keys, subkeys and user
// IDs.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELHashContext;

// What a packet body is when it is hashed for a signature.
enum class QELHashedObject : std::uint8_t {
    Key,           // key or subkey, public form: 0x99 and a 2-octet length
    UserID,        // version 4: 0xB4 and a 4-octet length
    UserAttribute, // version 4: 0xD1 and a 4-octet length
};

// Feeds one object's packet body with its prefix. User IDs get no prefix for
// version 2 and 3 signatures. A key body longer than 65535 octets cannot be
// described by the prefix: QELError_BadPacketFormat.
[[nodiscard]] QELStatus qelKeySigHashPacketBody(QELHashContext *hash, QELHashedObject kind, const std::uint8_t *body,
                                  std::size_t length, bool version4);
