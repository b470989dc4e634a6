// Key rings in and out: reading a ring into a database, the packets the key
// code wraps around bodies, and the public form of a key packet.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELFileObject;
struct QELKeyGenParams;
struct QELKeyDB;
struct QELKeyObject;
struct QELKeySet;
struct QELPassArgs;
struct QELPublicKeyObject;
struct QELSecretKeyObject;
struct QELSigSpec;

// Reads a key ring into the database; with trusted set, trust packets after
// an object restore its computed state. Every read error (broken framing,
// the first header included, a short body, a body over the packet cap) is
// refused with its status: a database is never opened from part of a ring.
// A packet the builders cannot use is kept as an opaque node in its place
// (qelKeyDBAddOpaquePacket), marked as coming from the secret ring when
// `file` is the database's secret ring file, and written back as read.
QELStatus qelKeyRingRead(QELKeyDB *db, QELFileObject *file, bool trusted);
void qelKeyRingFinishKey(QELKeyObject *key);
QELKeyObject *qelKeyDBAddPacketBody(QELKeyDB *db, QELKeyObject *parent, std::uint8_t first,
                                    const std::uint8_t *body, std::size_t length);
QELKeyObject *qelKeyDBAddSignatureBody(QELKeyDB *db, QELKeyObject *parent,
                                       const std::uint8_t *body, std::size_t length);
QELKeyObject *qelKeyDBAddUserIDBody(QELKeyDB *db, QELKeyObject *parent,
                                    const std::uint8_t *body, std::size_t length);
QELKeyObject *qelKeyDBAddCRLBody(QELKeyDB *db, QELKeyObject *parent, const std::uint8_t *body,
                                 std::size_t length);
QELKeyObject *qelKeyDBAddUserAttribute(QELKeyDB *db, QELKeyObject *parent, std::uint8_t type,
                                       const std::uint8_t *data, std::size_t length);
// A user ID (tag 13) or a user attribute holding one attribute subpacket
// (tag 17) under a key; null with the database's last error.
QELKeyObject *qelKeyAddUserIDPacket(QELKeyObject *key, const std::uint8_t *text, std::size_t length);
QELKeyObject *qelKeyAddUserAttributePacket(QELKeyObject *key, std::uint8_t type, const std::uint8_t *data,
                                           std::size_t length);
// The version a key-material signature is made with: a version 3
// specification becomes 4 unless signer and holder are RSA (id 1) and the
// hash is MD5, SHA-1 or RIPEMD-160; a key revocation on a key keeps its
// version.
std::uint32_t qelSigVersionFor(std::uint32_t version, std::uint8_t type, bool onKey, std::uint8_t signerAlgorithm,
                               std::uint8_t hashAlgorithm, std::uint8_t holderAlgorithm);
// Signs the object's key material with the specification (raising its
// version as above) and adds the signature under it, checked and valid.
[[nodiscard]] QELStatus qelKeyObjAddSignature(QELKeyObject *node, QELSigSpec *spec);
// A new context block with the key's packet in public form; the caller frees
// it with qelContextMemFree.
std::uint8_t *qelKeyObjPublicPacket(QELKeyObject *key, std::size_t *outLength);
// A freshly generated key (no parent) or subkey as a key packet: the
// parameters give the fields before the key material, the secret-key object
// (secret set) or the public-key object writes the material. Null with the
// database's last error: QELError_PacketTooLarge over the packet cap,
// QELError_OutOfMemory, QELError_BadParams for a missing object.
QELKeyObject *qelKeyDBAddGeneratedKeyPacket(QELKeyDB *db, QELKeyObject *parent, bool secret,
                                            QELPublicKeyObject *publicKey, QELSecretKeyObject *secretKey,
                                            const QELKeyGenParams *params, std::uint8_t algorithm);
// Writes the secret-key object's current material behind the public fields of
// the key's stored secret packet and stores the result in its place. A key
// held on a token is left alone. QELError_BadParams for a node that holds no
// readable secret key packet, QELError_PacketTooLarge over the packet cap,
// QELError_OutOfMemory.
[[nodiscard]] QELStatus qelKeyObjRebuildSecretPacket(QELKeyObject *key, QELSecretKeyObject *secretKey);

// A generated key with its user ID (tag 13) and, when its algorithm signs,
// its self-certification made with the passphrase arguments: a plain one
// below key version 4; otherwise with the parameters' preferences (CAST5,
// IDEA, triple DES and ZIP, ZLIB when none are given), key server, key
// flags and key-server preferences, primary user ID 1, the key expiration
// and one additional-key entry per key of that set, then one direct-key
// signature naming every revoker of the revoker set. The new key is
// axiomatic and the database marked changed. Null with the status: a key the
// writer could not finish is taken back whole.
QELKeyObject *qelKeyDBAddGeneratedKey(QELKeyDB *db, QELSecretKeyObject *secretKey, const QELKeyGenParams *params,
                                      const void *userID, std::size_t userIDLength, QELKeySet *additional,
                                      std::uint8_t additionalClass, QELKeySet *revokers, std::uint8_t revokerClass,
                                      const QELPassArgs &pass, QELStatus *outStatus);
// A generated subkey (version 4) under the key with its binding signature
// by the key, unlocked with the passphrase arguments: key expiration when the
// parameters have validity days, key flags when present. As above for the
// result.
QELKeyObject *qelKeyDBAddGeneratedSubKey(QELKeyObject *key, QELSecretKeyObject *secretKey, QELKeyGenParams *params,
                                         const QELPassArgs &pass, QELStatus *outStatus);
