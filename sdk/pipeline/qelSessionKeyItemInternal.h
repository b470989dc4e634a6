// Session-key items: one encrypted-session-key packet of a message being
// decoded (or the absence of any), kept as a QELSigItem whose tag word says
// what it is: 0 encrypted data without a session-key packet, 1 a version 4
// symmetric-key packet, 256 + the public-key algorithm a public-key packet.
// A session key taken from an item is one algorithm octet and the key.
#pragma once

#include "qelSigItemInternal.h"

#include <cstddef>
#include <cstdint>

struct QELKeyID;
struct QELKeyObject;
struct QELSettings;
struct QELStringToKey;

using QELSessionKeyItem = QELSigItem;

inline constexpr std::int32_t QELSessionKeyTag_NoPacket = 0;
inline constexpr std::int32_t QELSessionKeyTag_Passphrase = 1;
inline constexpr std::int32_t QELSessionKeyTag_PublicKey = 256;

// Checks a packet body (annotation QELAnnotation_SymmetricKeyESK or
// QELAnnotation_PublicKeyESK) and appends an item; a refused body adds none.
[[nodiscard]] QELStatus qelSessionKeyItemAdd(QELContext *context, QELSessionKeyItem **list, std::int32_t code,
                                             const void *body, std::size_t length);
QELSessionKeyItem *qelSessionKeyItemNext(const QELSessionKeyItem *item);
// 0 passphrase item, 1 public-key item.
std::int32_t qelSessionKeyItemKind(const QELSessionKeyItem *item);
std::int32_t qelSessionKeyItemTag(const QELSessionKeyItem *item);
// Size of the block that receives the item's session key.
std::size_t qelSessionKeyItemKeyLength(const QELSessionKeyItem *item);
// The key ID of a public-key item, with algorithm 255 (any).
[[nodiscard]] QELStatus qelSessionKeyItemKeyID(const QELSessionKeyItem *item, QELKeyID *outID);
// Fills keyBlock (qelSessionKeyItemKeyLength bytes) and returns its length,
// or a negative status.
std::int32_t qelSessionKeyFromPassphrase(const QELSessionKeyItem *item, QELSettings *settings,
                                         const void *passphrase, std::size_t length, std::uint8_t *keyBlock);
// The key block is made by the key's decrypt operation (from the key's
// context); returns its length or a negative status.
std::int32_t qelSessionKeyFromSecretKey(const QELSessionKeyItem *item, QELKeyObject *key, const void *passphrase,
                                        std::size_t length, std::uint32_t cacheTime, std::uint8_t cacheFlag,
                                        std::uint8_t **outKeyBlock);
void qelSessionKeyListFree(QELSessionKeyItem *list);

// Derives keyLength key bytes from a passphrase through a specifier. A
// literal specifier takes the passphrase as the key, so one of another
// length than the key is refused (QELError_BadPassphrase) rather than
// padded or cut.
[[nodiscard]] QELStatus qelSessionKeyDerive(QELStringToKey *s2k, const void *passphrase, std::size_t length,
                                            std::uint8_t *key, std::size_t keyLength);
