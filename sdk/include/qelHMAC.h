// HMAC (RFC 2104) over any hash algorithm of the hash descriptor list.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qelErrors.h"

struct QELContext;
struct QELHMACContext;

// Makes a started HMAC keyed with the key (a key longer than the hash's
// block is hashed first). The out-parameter is null after any failure.
QELStatus qelHMACNew(QELContext *context, std::int32_t hashAlgorithm, const void *key,
                     std::size_t keyLength, QELHMACContext **outHMAC);

// Feeds message bytes; length 0 does nothing.
QELStatus qelHMACUpdate(QELHMACContext *hmac, const void *data, std::size_t length);

// Writes the HMAC value (the hash's digest size) to out. The object must be
// reset before it authenticates another message.
QELStatus qelHMACFinal(QELHMACContext *hmac, void *out);

// Starts a new message with the same key.
QELStatus qelHMACReset(QELHMACContext *hmac);

// Wipes the key, frees the hash and the object.
QELStatus qelHMACFree(QELHMACContext *hmac);
