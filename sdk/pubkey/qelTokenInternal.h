// Keys held on hardware tokens: the secret-key object whose operations
// forward to a device function table, the pass-phrase envelope through which
// it receives its PIN, and the token operations, which find no token here.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELContext;
struct QELKeyObject;
struct QELSecretKeyObject;
using QELPkProgressProc = std::int32_t (*)(void *userData, std::int32_t ch);

// The device function table a token driver supplies. Each entry is called
// with the table itself first; the slots the key layer does not use are
// kept so that entries sit at their fixed positions.
struct QELTokenDevice {
    void *unused0[2];
    QELStatus (*logOut)(QELTokenDevice *device);
    // 0 when the PIN is accepted.
    QELStatus (*logIn)(QELTokenDevice *device, const void *pin, std::size_t length, std::uint8_t passkey);
    // Decrypts k octets in place-compatible buffers: output length or a
    // negative status.
    std::int32_t (*decrypt)(QELTokenDevice *device, const std::uint8_t keyID[8], const std::uint8_t *in,
                            std::size_t length, std::uint8_t *out, std::size_t outSize);
    // Signs the block into out (k octets): a negative status on failure.
    QELStatus (*sign)(QELTokenDevice *device, const std::uint8_t keyID[8], const std::uint8_t *in,
                      std::size_t length, std::uint8_t *out, std::size_t outSize);
    void *unused6[10];
    QELStatus (*changePIN)(QELTokenDevice *device, const void *oldPIN, std::size_t oldLength,
                           const void *newPIN, std::size_t newLength, std::uint8_t oldPasskey);
};

// The pass-phrase envelope: 4-octet magic, length, masked pass phrase.
constexpr std::size_t QELTokenEnvelopeSize = 80;
constexpr std::size_t QELTokenEnvelopeMaxPhrase = 75;
constexpr std::uint32_t QELTokenEnvelopeMagic = 0x44201312;

// A secret-key object for a token-held key over its public key material;
// null with *outError set.
QELSecretKeyObject *qelTokenSecretKeyObjectNew(QELContext *context, const std::uint8_t *material,
                                               std::size_t length, std::uint32_t flags,
                                               QELTokenDevice *device, QELStatus *outError);

// Token operations. No token is ever present in this system.
QELSecretKeyObject *qelTokenGenerateKey(QELContext *context, std::uint8_t algorithm, std::uint32_t bits,
                                        std::uint8_t fastGeneration, std::uint8_t oldFormatRSA,
                                        QELPkProgressProc progress, void *progressData,
                                        QELTokenDevice *token, const void *passphrase,
                                        std::size_t passphraseLength, std::uint8_t primaryKey);
QELSecretKeyObject *qelTokenGenerateKeyEx(QELContext *context, std::uint8_t algorithm, std::uint32_t bits,
                                          QELStatus *outError);
[[nodiscard]] QELStatus qelTokenCopyKey(QELContext *context, QELKeyObject *key, std::uint32_t tokenIndex);
[[nodiscard]] QELStatus qelTokenDeleteKeyByID(QELContext *context, const std::uint8_t *keyID, std::uint32_t tokenIndex);
void *qelTokenFindByKeyID(const std::uint8_t *keyID);
void *qelTokenGetByIndex(std::uint32_t index);
std::uint32_t qelTokenCount();
[[nodiscard]] QELStatus qelTokenSubmitSecret(QELContext *context, std::uint32_t index, const char *secret);
[[nodiscard]] QELStatus qelTokenSetSecret(QELContext *context, std::uint32_t index, const char *secret);
[[nodiscard]] QELStatus qelTokenReplaceSecret(QELContext *context, std::uint32_t index, const char *secret);
[[nodiscard]] QELStatus qelTokenNotifyKeyChange();
[[nodiscard]] QELStatus qelTokenSyncKeys(QELContext *context, QELKeyObject *key, std::uint32_t flag);
[[nodiscard]] QELStatus qelTokenIdle();
[[nodiscard]] QELStatus qelTokenReleaseAll();
[[nodiscard]] QELStatus qelTokenFreeData(void *block);
// Token information: a record of QELTokenInfoSize octets.
constexpr std::size_t QELTokenInfoSize = 96;
[[nodiscard]] QELStatus qelTokenGetInfo(std::uint32_t index, void *record);
[[nodiscard]] QELStatus qelTokenKeyCommand(QELContext *context, QELKeyObject *key, std::uint32_t flag);
