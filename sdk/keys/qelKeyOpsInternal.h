// Usage, the choice of a key part for a role, operation objects and the
// key operations.
#pragma once

#include "qelKeyObjInternal.h"

#include <cstddef>
#include <cstdint>

// ---- usage and operation objects ---------------------------------------------------------------
enum QELKeyRole : int {
    QELKeyRole_Own = 0,
    QELKeyRole_Sign = 1,
    QELKeyRole_Encrypt = 2,
    QELKeyRole_Refused = 3,
};
// A subkey is usable only with a binding signature by its own key that has
// been checked and found valid; an unchecked binding is checked first.
bool qelKeyObjIsUsableSubKey(QELKeyObject *subKey, bool checkTime, bool allowRevoked);
QELKeyObject *qelKeyObjNewestUsableSubKey(QELKeyObject *key, QELKeySet *set);
std::uint32_t qelKeyObjUsage(QELKeyObject *key, bool checkTime, bool allowRevoked);
// Null with the reason in the database's last error. Released through their
// destroy operation.
QELSecretKeyObject *qelKeyObjSecretOps(QELKeyObject *object, int role);
QELPublicKeyObject *qelKeyObjPublicOps(QELKeyObject *object, int role);

// ---- the key operations (front end and in-process end) ---------------------------------------
// Output blocks come from the context (qelContextMemAlloc) and are freed
// with qelContextMemFree.
[[nodiscard]] QELStatus qelKeyObjLockingInfo(QELKeyObject *key, std::uint8_t *outNeedsPassphrase,
                                             std::uint8_t *outTokenProtected,
                                             std::uint32_t *outCipher, std::uint32_t *outKeyBits);
[[nodiscard]] QELStatus qelKeyObjLockingInfoLocal(QELKeyObject *key, std::uint8_t *outNeedsPassphrase,
                                                  std::uint8_t *outTokenProtected,
                                                  std::uint32_t *outCipher,
                                                  std::uint32_t *outKeyBits);
bool qelKeyObjUnlock(QELKeyObject *key, const void *passphrase, std::size_t length,
                     std::uint8_t isPasskey, std::uint32_t cachePeriod, std::uint8_t selector);
bool qelKeyObjUnlockLocal(QELKeyObject *key, const void *passphrase, std::size_t length,
                          std::uint8_t isPasskey, std::uint32_t cachePeriod, std::uint8_t selector);
[[nodiscard]] QELStatus qelKeyObjDecrypt(QELKeyObject *key, const void *passphrase, std::size_t length,
                                         std::uint8_t isPasskey, std::uint32_t cachePeriod,
                                         std::uint8_t selector, const std::uint8_t *in,
                                         std::size_t inLength, std::int32_t format,
                                         std::uint8_t **outBuffer, std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjDecryptLocal(QELKeyObject *key, const void *passphrase,
                                              std::size_t length, std::uint8_t isPasskey,
                                              std::uint32_t cachePeriod, std::uint8_t selector,
                                              const std::uint8_t *in, std::size_t inLength,
                                              std::int32_t format, std::uint8_t **outBuffer,
                                              std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjSign(QELKeyObject *key, const void *passphrase, std::size_t length,
                                      std::uint8_t isPasskey, std::uint32_t cachePeriod,
                                      std::uint8_t selector, std::int32_t hashAlgorithm,
                                      const std::uint8_t *hash, std::size_t hashLength,
                                      std::int32_t format, std::uint8_t **outBuffer,
                                      std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjSignLocal(QELKeyObject *key, const void *passphrase, std::size_t length,
                                           std::uint8_t isPasskey, std::uint32_t cachePeriod,
                                           std::uint8_t selector, std::int32_t hashAlgorithm,
                                           const std::uint8_t *hash, std::size_t hashLength,
                                           std::int32_t format, std::uint8_t **outBuffer,
                                           std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjOpSizes(QELKeyObject *key, std::int32_t *outEncrypted,
                                         std::int32_t *outPlaintext, std::int32_t *outSignature,
                                         std::int32_t format);
[[nodiscard]] QELStatus qelKeyObjOpSizesLocal(QELKeyObject *key, std::int32_t *outEncrypted,
                                              std::int32_t *outPlaintext,
                                              std::int32_t *outSignature, std::int32_t format);
// 1 valid, 0 not valid, or a negative status.
[[nodiscard]] QELStatus qelKeyObjVerify(QELKeyObject *key, const std::uint8_t *signature,
                                        std::size_t signatureLength, std::int32_t hashAlgorithm,
                                        const std::uint8_t *hash, std::size_t hashLength,
                                        std::int32_t format);
[[nodiscard]] QELStatus qelKeyObjVerifyLocal(QELKeyObject *key, const std::uint8_t *signature,
                                             std::size_t signatureLength, std::int32_t hashAlgorithm,
                                             const std::uint8_t *hash, std::size_t hashLength,
                                             std::int32_t format);
[[nodiscard]] QELStatus qelKeyObjEncrypt(QELKeyObject *key, const std::uint8_t *in, std::size_t length,
                                         std::int32_t format, std::uint8_t **outBuffer,
                                         std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjEncryptLocal(QELKeyObject *key, const std::uint8_t *in,
                                              std::size_t length, std::int32_t format,
                                              std::uint8_t **outBuffer, std::size_t *outLength);

// ---- subkeys by role ----------------------------------------------------------------------------
// The newest usable subkey whose algorithm serves the role and whose
// binding's key flags, when it has them, allow it.
QELKeyObject *qelKeyObjNewestUsableSubKeyFor(QELKeyObject *key, QELKeySet *set, int role);

