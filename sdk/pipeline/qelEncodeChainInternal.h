// The encode chain: the modules that turn a job's input into an RFC 4880
// message, made from the head down so that their order is the message's
// layout (marker, session-key packets, encrypted data around compressed data
// around the literal packet).
#pragma once

#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

#include <cstdint>
#include <span>

struct QELSettings;
struct QELRandomContext;
struct QELKeyObject;
struct QELSigSpec;

// One passphrase for conventional encryption; the job owns the bytes.
struct QELEncodeConventional {
    const std::uint8_t *passphrase;
    std::size_t length;
};

struct QELEncodeLiteralInfo {
    const char *fileName; // null: no name
    std::uint32_t date;
};

inline constexpr std::size_t QELEncodeSessionKeyRecordSize = 33;

// Called after each recipient is added (index, index + 1); a non-zero
// result stops the build with that status.
using QELEncodeRecipientCallback = QELStatus (*)(void *user, std::size_t index, std::size_t done);

// Returns the slot where the caller puts the output sink, or null with the
// status set and the chain built so far destroyed (*head null). `literal`
// null writes the input without a literal packet; `signers` (a chain of
// specifications, or null) stays the caller's and must outlive the chain.
// `sessionKey` receives the algorithm byte and the key when encrypting;
// *outKeyLength its length.
QELPipeModule **qelEncodeChainBuild(QELContext *context, QELPipeModule **head, QELSettings *settings,
                                    const QELFifoDescriptor *fifoKind, QELRandomContext *random,
                                    const QELEncodeConventional *conventional,
                                    std::span<QELKeyObject *const> recipients, QELSigSpec *signers,
                                    const QELEncodeLiteralInfo *literal, bool detached, std::uint8_t *sessionKey,
                                    bool largeInput, QELEncodeRecipientCallback callback, void *user,
                                    std::uint32_t *outKeyLength, QELStatus *outStatus);
