// RFC 4880 packet headers, signature subpackets, user attributes and the
// readers of key, signature and CRL packets that the key database keeps.
// Every reader here is pure: it changes nothing but its outputs.
#pragma once

#include "qelErrors.h"
#include "qelHelpers.h"

#include <cstddef>
#include <cstdint>
#include <span>

struct QELContext;
struct QELFileObject;
struct QELSigSpec;

// Largest body the ring reader takes; larger packets are refused before
// anything is allocated for them.
inline constexpr std::uint64_t QELPacketMaxBody = 150000;
// Largest packet the key code writes, header included.
inline constexpr std::uint64_t QELPacketMaxWritten = 149999;

// Tag number of a header's first octet (old or new format); -1 when the
// octet is no packet tag.
int qelPacketTag(std::uint8_t first);

// ---- headers ----------------------------------------------------------------
std::size_t qelPacketHeaderSize(const std::uint8_t *packet, std::size_t length);
// The body of a packet in memory (after its header); empty when there is none.
std::span<const std::uint8_t> qelPacketBody(const std::uint8_t *packet, std::size_t length);
std::size_t qelPacketHeaderSizeFor(std::uint8_t first, std::uint64_t bodyLength);
// out holds at least 6 octets; returns the octets written.
std::size_t qelPacketWriteHeader(std::uint8_t *out, std::uint8_t first, std::uint64_t bodyLength);
// The tag octet (positive), 0 at a clean end of input, or a negative status.
// Lengths are summed in 64 bits; a body that runs past inputEnd (the offset
// where the input ends, -1 when unknown) or whose partial chunks add up past
// maxBody is refused before anything is read.
int qelPacketReadHeader(QELFileObject *file, std::uint64_t *outTotal, std::uint64_t *outFirst,
                        std::int64_t *outPosition, std::uint64_t maxBody = UINT64_MAX,
                        std::int64_t inputEnd = -1);
// One new-format length: a definite one-, two- or five-octet length, or a
// partial chunk (outPartial set) after which another length follows. 0, or
// QELError_EOF / QELError_ReadFailed for a short read.
QELStatus qelPacketReadNewLength(QELFileObject *file, std::uint64_t *outLength, bool *outPartial);
// The offset where the file's input ends, -1 when it cannot be found; the
// position is left where it was.
std::int64_t qelPacketInputEnd(QELFileObject *file);
// Octets read into buffer (which holds total octets).
std::uint64_t qelPacketReadBody(std::uint8_t *buffer, std::uint64_t total, std::uint64_t first,
                                QELFileObject *file);

// ---- signature structure and subpackets -------------------------------------------
// A signature body taken apart once through a bounded cursor: for version 4
// its two subpacket areas, for versions 2 and 3 the hashed block; hashedPart
// is what the signature hashes, trailer what follows (hash prefix and MPIs).
struct QELSigView {
    std::uint8_t version = 0;
    std::span<const std::uint8_t> body;
    std::span<const std::uint8_t> hashedArea;
    std::span<const std::uint8_t> unhashedArea;
    std::span<const std::uint8_t> hashedPart;
    std::span<const std::uint8_t> trailer;
};
// false when the body is empty or its areas (version 4 and up) or hashed
// block (below 4) do not fit.
bool qelSigViewOfBody(std::span<const std::uint8_t> body, QELSigView *out);
bool qelSigViewOf(const std::uint8_t *packet, std::size_t length, QELSigView *out);

// One subpacket (signature area or user attribute): the type without its
// critical bit, the critical bit, and the data after the type octet.
struct QELSubpacket {
    std::uint8_t type = 0;
    bool critical = false;
    std::span<const std::uint8_t> data;
};
// The next subpacket of an area; false when the area is malformed there.
bool qelSubpacketNext(qel::ByteCursor &area, QELSubpacket &out);

const std::uint8_t *qelSigSubpacketFind(const std::uint8_t *packet, std::size_t length,
                                        std::uint32_t type, std::uint32_t index,
                                        std::uint32_t *outLength, std::uint8_t *outCritical,
                                        std::uint8_t *outFound, std::uint32_t *outCreation,
                                        std::uint32_t *outCount);
const std::uint8_t *qelSigPrivateSubpacketFind(const std::uint8_t *packet, std::size_t length,
                                               std::uint8_t value, std::uint32_t index,
                                               std::uint32_t *outLength,
                                               std::uint8_t *outCritical, std::uint8_t *outFound,
                                               std::uint32_t *outCreation,
                                               std::uint32_t *outCount);
std::uint32_t qelUserAttributeCount(const std::uint8_t *packet, std::size_t length);
const std::uint8_t *qelUserAttributeGet(const std::uint8_t *packet, std::size_t length,
                                        std::uint32_t index, std::uint8_t *outType,
                                        std::uint32_t *outLength);

// ---- signature packets -----------------------------------------------------------
struct QELSigPacketInfo {
    std::uint8_t algorithm = 0;
    std::uint8_t keyID[8] = {};
    std::uint32_t creation = 0;
    std::uint32_t expiration = 0;
    std::uint8_t type = 255;
    std::uint8_t hashAlgorithm = 255;
    std::uint64_t hashedLength = 0;
    std::uint8_t version = 0;
    std::uint8_t exportable = 1;
    std::uint8_t revocable = 1;
    std::uint8_t trustLevel = 0;
    std::uint8_t trustAmount = 0;
    std::uint8_t hasRegExp = 0;
    std::uint8_t isX509 = 0;
    std::uint8_t primaryUserID = 0;
};

// Which facts the caller takes (the parser refuses some critical subpackets
// unless the caller takes their value, and an issuerless signature only when
// the caller asks for the key ID).
inline constexpr std::uint32_t QELSigWant_KeyID = 1;
inline constexpr std::uint32_t QELSigWant_Creation = 2;
inline constexpr std::uint32_t QELSigWant_Expiration = 4;
inline constexpr std::uint32_t QELSigWant_HashedLength = 8;
inline constexpr std::uint32_t QELSigWant_X509 = 16;
inline constexpr std::uint32_t QELSigWant_All = 31;

QELStatus qelSigPacketParse(const std::uint8_t *packet, std::size_t length, bool noHeader,
                            std::uint32_t want, QELSigPacketInfo *out);
const std::uint8_t *qelSigPacketHashedPart(const std::uint8_t *packet, std::size_t length,
                                           std::size_t *outLength);
// Copies every subpacket of a version 4 signature packet into the
// specification through its setters (area and critical bit as flags; the
// creation time into the field, the issuer not at all, unknown types as raw
// items). QELError_MalformedSubpacket for an area that does not parse, a
// critical unhashed subpacket or a wrong length of a fixed-size type.
QELStatus qelSigSpecFromSubpackets(QELSigSpec *spec, const std::uint8_t *packet,
                                   std::size_t length);

// ---- key packets -------------------------------------------------------------------
struct QELKeyPacketInfo {
    std::uint8_t algorithm = 0;
    std::uint8_t keyID[8] = {};
    std::uint8_t materialDigest[20] = {};
    std::uint16_t bits = 0;
    std::uint32_t creation = 0;
    std::uint16_t validityDays = 0;
    std::uint8_t oldFormat = 0;
    std::uint8_t version = 0;
};

QELStatus qelKeyPacketParse(QELContext *context, const std::uint8_t *packet, std::size_t length,
                            QELKeyPacketInfo *out, bool secret);
// Octets from the first packet octet to the end of the public material, 0
// when it cannot be measured.
std::size_t qelKeyPacketPublicLength(const std::uint8_t *packet, std::size_t length);
// Where the algorithm octet sits in a key packet body: after the version and
// creation time, and the validity days of versions 2 and 3.
inline std::size_t qelKeyPacketAlgorithmOffset(std::uint8_t version) { return version == 4 ? 5 : 7; }
const std::uint8_t *qelKeyPacketMaterial(const std::uint8_t *packet, std::size_t length,
                                         std::size_t *outLength);
QELStatus qelKeyFingerprintV3(QELContext *context, const std::uint8_t *packet,
                              std::size_t length, std::uint8_t out[16]);
// SHA-1 over 0x99, the two-octet length and the bytes.
void qelKeyFingerprintV4(const std::uint8_t *bytes, std::size_t length, std::uint8_t out[20]);

// ---- CRL packets (tag 60) -------------------------------------------------------------
const std::uint8_t *qelCRLPacketDER(const std::uint8_t *packet, std::size_t length,
                                    std::size_t *outLength);
const std::uint8_t *qelCRLPacketDistPoint(const std::uint8_t *packet, std::size_t length,
                                          std::size_t *outLength);
QELStatus qelCRLPacketParse(QELContext *context, const std::uint8_t *packet, std::size_t length,
                            std::uint8_t *outVersion, std::uint8_t *outType,
                            std::uint32_t *outThisUpdate, std::uint32_t *outNextUpdate,
                            const std::uint8_t **outDistPoint, std::size_t *outDistLength);
