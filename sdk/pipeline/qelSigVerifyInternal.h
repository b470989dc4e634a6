// Signature verification for signatures whose data is not inside the signed
// message: detached signatures (the job supplies the data) and the checks
// they share with clear-signed text.
#pragma once

#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

#include <cstdint>

struct QELDecodeCallbacks;
struct QELHashList;
struct QELSettings;
struct QELSigItem;

// Makes the hash list for the ids and inserts a Text Filter Module (when a
// character table is given) and one Hash Module per hash in front of what
// the slot holds. No usable hash: 0 and nothing built.
[[nodiscard]] QELStatus qelHashChainBuild(QELContext *context, QELPipeModule **slot, QELHashList **outList,
                                          const std::uint8_t *ids, std::int32_t count, const std::uint8_t *charTable);
// A Dev Null sink in the slot and the hash chain for the signature list in
// front of it (text-filtered when the first signature is not binary).
[[nodiscard]] QELStatus qelSigVerifyBuildHashes(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                                QELHashList **outList, const QELSigItem *signatures,
                                                const QELDecodeCallbacks *callbacks, void *callbackData);
// Finishes a copy of the matching hash for each signature and hands the
// digest to the job.
[[nodiscard]] QELStatus qelSigVerifyCheckAll(const QELSigItem *signatures, QELHashList *list,
                                             const QELDecodeCallbacks *callbacks, void *callbackData);
// Asks the job for the signed data, hashes it and checks every signature.
[[nodiscard]] QELStatus qelSigVerifyDetached(const QELSigItem *signatures, QELSettings *settings,
                                             const QELDecodeCallbacks *callbacks, void *callbackData,
                                             QELContext *context);

// The clear-signed text verifier: one block with two heads. The text head
// receives the signed text, the signature head what a message parser makes
// of the signature block. Text arriving before the hash algorithms are known
// waits in a FIFO of the given class. Each signature is checked once both
// heads have ended; a text signature whose digest does not match under the
// line-end rule alone is checked once more with the trailing spaces and tabs
// of every line removed (RFC 4880 section 7.1), which is what clear-signing
// peers hash.
struct QELSigVerifier;
QELSigVerifier *qelSigVerifyReaderCreate(QELContext *context, QELPipeModule **textSlot, QELPipeModule **signatureSlot,
                                         QELSettings *settings, const QELFifoDescriptor *fifoKind,
                                         const std::uint8_t *hashIds, std::int32_t hashCount, bool text,
                                         const QELDecodeCallbacks *callbacks, void *callbackData);
