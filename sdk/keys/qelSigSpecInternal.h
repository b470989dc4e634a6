// Signature specifications: everything about a signature before it exists
// (signer, passphrase, version, hash, type, creation time and the subpackets
// with their area and critical flags). Specifications chain, one per signer.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELSettings;
struct QELKeyObject;
struct QELSigItem;
struct QELHashDescriptor;

// Subpacket item tag flags.
inline constexpr std::uint32_t QELSigSpecFlag_Unhashed = 0x200;
inline constexpr std::uint32_t QELSigSpecFlag_Critical = 0x400;
inline constexpr std::uint32_t QELSigSpecTag_Raw = 0xFF;
// Getters answer this bit (with the item's flag bits) when the item exists.
inline constexpr std::uint32_t QELSigSpecPresent = 0x100;

// Subpacket types the specification knows by name.
enum QELSubpacketType : std::uint8_t {
    QELSubpacket_Creation = 2,
    QELSubpacket_SigExpiration = 3,
    QELSubpacket_Exportable = 4,
    QELSubpacket_Trust = 5,
    QELSubpacket_RegExp = 6,
    QELSubpacket_Revocable = 7,
    QELSubpacket_KeyExpiration = 9,
    QELSubpacket_AdditionalKey = 10,
    QELSubpacket_PrefSymmetric = 11,
    QELSubpacket_RevocationKey = 12,
    QELSubpacket_Issuer = 16,
    QELSubpacket_PrefCompression = 22,
    QELSubpacket_KeyServerPrefs = 23,
    QELSubpacket_PrefKeyServer = 24,
    QELSubpacket_PrimaryUserID = 25,
    QELSubpacket_KeyFlags = 27,
    QELSubpacket_EmbeddedSignature = 32,
};

struct QELSigSpec {
    QELContext *context;
    QELSigSpec *next;
    QELKeyObject *signer;
    std::uint8_t *passphrase;        // secure block or null
    std::uint64_t passphraseLength;
    std::uint8_t isPasskey;
    std::uint32_t version;
    std::uint8_t hashAlgorithm;
    std::uint8_t type;
    std::uint8_t creation[4];        // big-endian; with `type` the hashed v3 block
    QELSigItem *items;               // newest first
    std::uint8_t changed;
};

// The hash a new specification starts with: the configured one for an old
// (version 2/3) key, by size for a version 4 DSA key above 1024 bits, else
// SHA-256 (SHA-1 when the caller asks for the legacy forms).
std::uint8_t qelSigSpecDefaultHash(std::int32_t configured, bool oldKey, std::uint8_t algorithm,
                                   std::uint32_t bits, bool legacy);
// MD5, SHA-1 and RIPEMD-160: hashes peers no longer accept on keys.
bool qelSigSpecWeakOnKeys(std::uint8_t hash);
// For a version 4 signer (and no legacy forms asked for), a specification
// copied from an older signature is made anew as version 4 over the default
// hash when its own hash is weak.
[[nodiscard]] QELStatus qelSigSpecUpgrade(QELSigSpec *spec);
// qelSigSpecNew with the signer's facts given (the signer itself may be null).
QELSigSpec *qelSigSpecNewFor(QELSettings *settings, QELKeyObject *signer, std::uint8_t type, bool oldKey,
                             std::uint8_t algorithm, std::uint32_t bits);
// A new specification by a key object: the hash by the key's version,
// algorithm and size, creation now (plus the configured offset), the
// configured packet version. Null for a missing settings record or signer.
QELSigSpec *qelSigSpecNew(QELSettings *settings, QELKeyObject *signer, std::uint8_t type);
// A specification that makes the signature again: its signer, type, hash,
// version, creation time and (version 4) every subpacket. Null with the
// status on failure.
QELSigSpec *qelSigSpecFromSig(QELKeyObject *sig, QELStatus *outStatus);
QELSigSpec *qelSigSpecCopy(const QELSigSpec *spec);
void qelSigSpecFreeList(QELSigSpec *spec);
[[nodiscard]] QELStatus qelSigSpecPush(QELSigSpec **head, QELSigSpec *spec);
QELSigSpec *qelSigSpecNext(const QELSigSpec *spec);

QELContext *qelSigSpecContext(const QELSigSpec *spec);
QELKeyObject *qelSigSpecSignerKey(const QELSigSpec *spec);
std::uint32_t qelSigSpecVersion(const QELSigSpec *spec);
std::uint8_t qelSigSpecHashAlgorithm(const QELSigSpec *spec);
std::uint8_t qelSigSpecType(const QELSigSpec *spec);
const QELHashDescriptor *qelSigSpecHashDescriptor(const QELSigSpec *spec);
const std::uint8_t *qelSigSpecPassphrase(const QELSigSpec *spec, std::uint64_t *outLength,
                                         std::uint8_t *outIsPasskey);
const std::uint8_t *qelSigSpecHashedBlock(const QELSigSpec *spec, std::uint32_t *outLength);
std::uint32_t qelSigSpecCreationTime(const QELSigSpec *spec);

[[nodiscard]] QELStatus qelSigSpecSetSignerKey(QELSigSpec *spec, QELKeyObject *signer);
[[nodiscard]] QELStatus qelSigSpecSetType(QELSigSpec *spec, std::uint8_t type);
[[nodiscard]] QELStatus qelSigSpecSetCreation(QELSigSpec *spec, std::uint32_t time);
[[nodiscard]] QELStatus qelSigSpecSetCreationTime(QELSigSpec *spec, std::uint32_t time);
[[nodiscard]] QELStatus qelSigSpecSetHashAlgorithm(QELSigSpec *spec, std::int32_t algorithm);
[[nodiscard]] QELStatus qelSigSpecSetVersion(QELSigSpec *spec, std::uint32_t version);
[[nodiscard]] QELStatus qelSigSpecSetPassphrase(QELSigSpec *spec, const void *passphrase, std::uint64_t length,
                                  std::uint8_t isPasskey);

// Single-valued setters: each replaces every earlier item of its subpacket
// type, whatever its flags.
[[nodiscard]] QELStatus qelSigSpecSetSigExpiration(QELSigSpec *spec, std::uint32_t flags, std::uint32_t seconds);
[[nodiscard]] QELStatus qelSigSpecSetExportable(QELSigSpec *spec, std::uint32_t flags, std::uint8_t value);
[[nodiscard]] QELStatus qelSigSpecSetTrust(QELSigSpec *spec, std::uint32_t flags, std::uint8_t depth, std::uint8_t amount);
[[nodiscard]] QELStatus qelSigSpecSetRegExp(QELSigSpec *spec, std::uint32_t flags, const char *text);
[[nodiscard]] QELStatus qelSigSpecSetRevocable(QELSigSpec *spec, std::uint32_t flags, std::uint8_t value);
[[nodiscard]] QELStatus qelSigSpecSetKeyExpiration(QELSigSpec *spec, std::uint32_t flags, std::uint32_t seconds);
[[nodiscard]] QELStatus qelSigSpecSetPrefSymmetric(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length);
[[nodiscard]] QELStatus qelSigSpecSetPrefCompression(QELSigSpec *spec, std::uint32_t flags, const void *data,
                                       std::size_t length);
[[nodiscard]] QELStatus qelSigSpecSetKeyServerPrefs(QELSigSpec *spec, std::uint32_t flags, const void *data,
                                      std::size_t length);
[[nodiscard]] QELStatus qelSigSpecSetPrefKeyServer(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length);
[[nodiscard]] QELStatus qelSigSpecSetPrimaryUserID(QELSigSpec *spec, std::uint32_t flags, std::uint8_t value);
[[nodiscard]] QELStatus qelSigSpecSetKeyFlags(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length);
// Multi-valued adders.
[[nodiscard]] QELStatus qelSigSpecAddAdditionalKey(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length);
[[nodiscard]] QELStatus qelSigSpecAddRevocationKey(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length);
// data: the subpacket type octet, then its body.
[[nodiscard]] QELStatus qelSigSpecAddRawSubpacket(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length);

// Getters: 0 with cleared outputs when absent; else QELSigSpecPresent with
// the item's area and critical bits. The current item is the newest.
std::uint32_t qelSigSpecSigExpiration(const QELSigSpec *spec, std::uint32_t *outSeconds);
std::uint32_t qelSigSpecExportable(const QELSigSpec *spec, std::uint8_t *outValue);
std::uint32_t qelSigSpecTrust(const QELSigSpec *spec, std::uint8_t *outDepth, std::uint8_t *outAmount);
std::uint32_t qelSigSpecRegExp(const QELSigSpec *spec, const char **outText);
std::uint32_t qelSigSpecRevocable(const QELSigSpec *spec, std::uint8_t *outValue);
std::uint32_t qelSigSpecKeyExpiration(const QELSigSpec *spec, std::uint32_t *outSeconds);
std::uint32_t qelSigSpecPrefSymmetric(const QELSigSpec *spec, const std::uint8_t **outData, std::size_t *outLength);
std::uint32_t qelSigSpecPrefCompression(const QELSigSpec *spec, const std::uint8_t **outData,
                                        std::size_t *outLength);
std::uint32_t qelSigSpecKeyServerPrefs(const QELSigSpec *spec, const std::uint8_t **outData,
                                       std::size_t *outLength);
std::uint32_t qelSigSpecPrefKeyServer(const QELSigSpec *spec, const std::uint8_t **outData,
                                      std::size_t *outLength);
std::uint32_t qelSigSpecPrimaryUserID(const QELSigSpec *spec, std::uint8_t *outValue);
std::uint32_t qelSigSpecKeyFlags(const QELSigSpec *spec, const std::uint8_t **outData, std::size_t *outLength);
std::uint32_t qelSigSpecAdditionalKey(const QELSigSpec *spec, std::uint32_t index, const std::uint8_t **outData,
                                      std::size_t *outLength);
std::uint32_t qelSigSpecRevocationKey(const QELSigSpec *spec, std::uint32_t index, const std::uint8_t **outData,
                                      std::size_t *outLength);
std::uint32_t qelSigSpecRawSubpacket(const QELSigSpec *spec, std::uint32_t index, const std::uint8_t **outData,
                                     std::size_t *outLength);

// Removes every item whose whole tag word equals `tag`.
void qelSigSpecRemoveItems(QELSigSpec *spec, std::uint32_t tag);
std::uint32_t qelSigSpecRemove(QELSigSpec *spec, std::uint32_t tag);

inline constexpr std::int32_t qelSigSpecOnePassLength(const QELSigSpec *) { return 13; }

// The names key editing uses for the same setters.
inline QELStatus qelSigSpecSetPreferredCiphers(QELSigSpec *spec, std::uint32_t flags, const void *data,
                                               std::size_t length)
{
    return qelSigSpecSetPrefSymmetric(spec, flags, data, length);
}
inline QELStatus qelSigSpecSetPreferredCompression(QELSigSpec *spec, std::uint32_t flags, const void *data,
                                                   std::size_t length)
{
    return qelSigSpecSetPrefCompression(spec, flags, data, length);
}
inline QELStatus qelSigSpecSetPreferredKeyServer(QELSigSpec *spec, std::uint32_t flags, const void *data,
                                                 std::size_t length)
{
    return qelSigSpecSetPrefKeyServer(spec, flags, data, length);
}
inline QELStatus qelSigSpecAddType10(QELSigSpec *spec, std::uint32_t flags, const void *data, std::size_t length)
{
    return qelSigSpecAddAdditionalKey(spec, flags, data, length);
}
