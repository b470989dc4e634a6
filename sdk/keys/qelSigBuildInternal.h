// Building signature packet bodies (version 3 and version 4 layouts, and the
// 13-octet one-pass body) from a signature specification and a running hash
// of the signed data.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

struct QELSigSpec;
struct QELHashContext;
struct QELKeyObject;

// Who signs: the algorithm and key ID written into the body, and the
// operation that turns a digest into the signature MPIs.
struct QELSigSigner {
    std::uint8_t algorithm = 0;
    std::uint8_t keyID[8] = {};
    std::function<QELStatus(const QELSigSpec *spec, std::uint8_t hashAlgorithm, const std::uint8_t *digest,
                            std::size_t digestLength, std::vector<std::uint8_t> &outMaterial)>
        sign;
};

// Upper bound of the body without the signature material.
std::size_t qelSigSpecPacketSize(const QELSigSpec *spec);

// The body length, or a negative status: QELError_PacketTooLarge when an item
// does not fit its one-octet length or an area passes 65535 octets,
// QELError_OutOfMemory, or the signing status. The body is a block of the
// specification's context that the caller frees; the caller's hash stays
// usable.
[[nodiscard]] std::int64_t qelSigSpecMakePacketWith(const QELSigSpec *spec, const QELHashContext *hash,
                                      const QELSigSigner &signer, std::uint8_t **outBody);

// Fills 13 octets and returns 13.
std::int32_t qelSigSpecMakeOnePassWith(std::uint8_t *out, const QELSigSpec *spec, const QELSigSigner &signer,
                                       std::uint8_t nested);

// The signer record of a key object: its algorithm and key ID, signing
// through the key's secret part, unlocked with the specification's
// passphrase copy or from the passphrase cache.
QELSigSigner qelSigSignerForKey(QELKeyObject *key);

// As the With forms, signed by the specification's signer key.
[[nodiscard]] std::int64_t qelSigSpecMakePacket(const QELSigSpec *spec, const QELHashContext *hash,
                                                std::uint8_t **outBody);
std::int32_t qelSigSpecMakeOnePass(std::uint8_t *out, const QELSigSpec *spec, std::uint8_t nested);
