// The encode job's PKI message branch (option 67 of 10000 or more): the
// message itself is the PKI toolkit's, which fills this table when the SDK
// starts; until then such a request answers QELError_FeatureNotAvailable.
#pragma once

#include "qelErrors.h"

#include <cstdint>

struct QELContext;
struct QELKeyObject;
struct QELOptionList;

struct QELEncodeJobSeams {
    // The message of `kind` over the content: enveloped for the recipient
    // (may be null), signed by the signer (may be null) with the secret of
    // `secret` (consumed on every path), carrying the transaction ID (may
    // be empty). The output is a new block of the context's memory manager
    // (qelMemFree), null and 0 after a failure.
    QELStatus (*buildPKIMessage)(QELContext *context, const std::uint8_t *content, std::uint64_t length,
                                 const std::uint8_t *transactionID, std::uint64_t transactionIDLength,
                                 QELKeyObject *recipient, QELKeyObject *signer, QELOptionList *secret,
                                 std::int32_t kind, std::uint8_t **out, std::uint64_t *outLength);
};
QELEncodeJobSeams &qelEncodeJobSeams();
