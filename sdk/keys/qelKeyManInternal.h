// Key management internals: the in-process forms of the token operations
// and the copy helpers of the property getters.
#pragma once

#include "qelKeyMan.h"

#include <cstddef>
#include <cstdint>

struct QELKeyID;

[[nodiscard]] QELStatus qelTokenCountLocal(QELContext *context, std::int32_t *outCount);
[[nodiscard]] QELStatus qelTokenGetInfoLocal(QELContext *context, std::int32_t tokenIndex,
                                             QELTokenInfo *outInfo);
[[nodiscard]] QELStatus qelTokenSubmitSecretLocal(QELContext *context, std::int32_t tokenIndex,
                                                  const void *secret, std::size_t length);
[[nodiscard]] QELStatus qelTokenSetSecretLocal(QELContext *context, std::int32_t tokenIndex,
                                               const void *secret, std::size_t length);
// Takes the old secret only: the token asks for the new one itself.
[[nodiscard]] QELStatus qelTokenReplaceSecretLocal(QELContext *context, std::int32_t tokenIndex,
                                                   const void *oldSecret, std::size_t oldLength);
// Keeps the token layer's configuration string: the text up to its first
// NUL within length bytes, at most 255 characters (else QELError_BadParams).
// A changed or emptied string releases every token's state.
[[nodiscard]] QELStatus qelTokenSetConfigStringLocal(const char *text, std::size_t length);
// Data and certificates stored on the token that holds a key: without a
// token there is no secret key to store them with (QELError_NoSecretKey);
// a certificate is accepted and not stored.
[[nodiscard]] QELStatus qelTokenPutDataLocal(QELContext *context, const QELKeyID *keyID,
                                             const void *name, std::size_t nameLength,
                                             const void *data, std::size_t dataLength);
[[nodiscard]] QELStatus qelTokenGetDataLocal(QELContext *context, const QELKeyID *keyID,
                                             const void *name, std::size_t nameLength,
                                             void **outData, std::size_t *outLength);
[[nodiscard]] QELStatus qelTokenPutCertificateLocal(QELContext *context, const QELKeyID *keyID,
                                                    const void *name, std::size_t nameLength,
                                                    const void *certificate,
                                                    std::size_t certificateLength,
                                                    const void *secret, std::size_t secretLength);

// A property's bytes in a new block of the context with two NUL bytes
// behind them; QELError_UnknownProperty for length 0.
[[nodiscard]] QELStatus qelPropertyDataAlloc(QELContext *context, const void *bytes, std::size_t length,
                                             void **outPointer);
// Copies a property's bytes into the caller's buffer, a NUL behind them when
// room is left; QELError_BufferTooSmall (with the first size bytes copied)
// when they do not fit.
[[nodiscard]] QELStatus qelPropertyDataCopy(const void *bytes, void *buffer, std::size_t length,
                                            std::size_t bufferSize);

// ---- numbered properties -----------------------------------------------------------
struct QELKeyObject;

// The getters behind the public ones, without the API entry guard: routing
// by number range, the range's object checks, then the property. Outs are
// cleared first.
[[nodiscard]] QELStatus qelKeyObjBoolPropertyLocal(QELKeyObject *object, std::uint32_t property,
                                                   std::uint8_t *outValue);
[[nodiscard]] QELStatus qelKeyObjNumberPropertyLocal(QELKeyObject *object, std::uint32_t property,
                                                     std::int32_t *outValue);
[[nodiscard]] QELStatus qelKeyObjTimePropertyLocal(QELKeyObject *object, std::uint32_t property,
                                                   std::uint32_t *outValue);
[[nodiscard]] QELStatus qelKeyObjDataPropertyLocal(QELKeyObject *object, std::uint32_t property,
                                                   void *buffer, std::size_t size,
                                                   std::size_t *outLength);
[[nodiscard]] QELStatus qelKeyObjDataPropertyAllocLocal(QELKeyObject *object, std::uint32_t property,
                                                        void **outBuffer, std::size_t *outLength);
// QELError_KeyRevoked when property 102 holds, else QELError_KeyExpired
// when 105 holds, else 0.
[[nodiscard]] QELStatus qelKeyCheckUsable(QELKeyObject *key);

// ---- key management front ends -------------------------------------------------------
#include "qelKeyEditInternal.h"

struct QELKeyDB;
struct QELKeySet;
struct QELOptionList;

// The primary user ID of a kind as the key chooses it; QELError_ItemNotFound
// when there is none or it is not live.
[[nodiscard]] QELStatus qelKeyFindPrimaryUserIDOfKind(QELKeyObject *key, std::int32_t kind,
                                                      QELKeyObject **outUserID);

// The passphrase (or, only without one, the passkey) of an option list and
// the cache settings; absent options read as none.
[[nodiscard]] QELStatus qelOptionListReadPassArgs(QELOptionList *options, QELPassArgs &pass);

// The option-list front ends of the editing operations: each refuses an
// option of a kind it does not take (QELError_BadParams) before anything
// changes, then runs the back end (or the service's form for a database
// mirrored from the service) and, where the edit can change validity,
// propagates trust after success.
[[nodiscard]] QELStatus qelKeyPassphraseToPasskeyWithOptions(QELKeyObject *key, std::uint8_t *outPasskey,
                                                             QELOptionList *options);
[[nodiscard]] QELStatus qelSubKeyPassphraseToPasskeyWithOptions(QELKeyObject *subKey, std::uint8_t *outPasskey,
                                                                QELOptionList *options);
[[nodiscard]] QELStatus qelKeySetAxiomaticWithOptions(QELKeyObject *key, bool set, QELOptionList *options);
[[nodiscard]] QELStatus qelSigRevokeWithOptions(QELKeyObject *sig, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyRevokeWithOptions(QELKeyObject *key, QELOptionList *options);
[[nodiscard]] QELStatus qelSubKeyRevokeWithOptions(QELKeyObject *subKey, QELOptionList *options);
// The values of a certification's options, each left at 0 (null) when
// absent; read by the front end and by the service branch alike.
struct QELCertifyOptions {
    std::uint32_t creation = 0;
    std::int32_t days = 0, exportable = 0, depth = 0, level = 0;
    void *regex = nullptr;
};
[[nodiscard]] QELStatus qelCertifyOptionsRead(QELOptionList *options, QELCertifyOptions &out);
// Without QELOption_Exportable the certification is local-only.
[[nodiscard]] QELStatus qelUserIDCertifyWithOptions(QELKeyObject *userID, QELKeyObject *signer,
                                                    QELOptionList *options);
[[nodiscard]] QELStatus qelUserIDSetPrimaryWithOptions(QELKeyObject *userID, QELOptionList *options);
// The text goes in without its terminating NUL.
[[nodiscard]] QELStatus qelKeyAddUserIDWithOptions(QELKeyObject *key, const char *text, QELOptionList *options);
[[nodiscard]] QELStatus qelKeyAddUserAttributeWithOptions(QELKeyObject *key, std::uint8_t type, const void *bytes,
                                                          std::size_t length, QELOptionList *options);
// Nothing changes when none of the preference kinds is given.
[[nodiscard]] QELStatus qelKeySetPreferencesWithOptions(QELKeyObject *key, QELOptionList *options);
// QELOption_RevocationKeys is mandatory.
[[nodiscard]] QELStatus qelKeyAddRevokersWithOptions(QELKeyObject *key, QELOptionList *options);
// The list's first passphrase-or-passkey item is the old secret, the second
// the new one; the key form takes exactly these two (QELError_OptionNotFound
// with fewer).
[[nodiscard]] QELStatus qelKeyChangePassphraseWithOptions(QELKeyObject *key, QELOptionList *options);
[[nodiscard]] QELStatus qelSubKeyChangePassphraseWithOptions(QELKeyObject *subKey, QELOptionList *options);
// 1 when the key takes the passphrase, else 0 (any error reads as 0).
int qelKeyPassphraseIsValidWithOptions(QELKeyObject *key, QELOptionList *options);

// ---- token operations on keys -------------------------------------------------------------
// No token can take a key here: QELError_KeyObjectInvalid for a database
// without a service reference, QELError_KeyTooSmall (-11494) for a key ID
// that names no key, else QELError_TokenNotAvailable.
[[nodiscard]] QELStatus qelTokenCopyKeyLocal(QELContext *context, QELKeyDB *db, const QELKeyID *keyID,
                                             std::int32_t tokenIndex, const void *secret, std::size_t length);
[[nodiscard]] QELStatus qelTokenKeyCommandLocal(QELKeyObject *key, std::int32_t tokenIndex, bool flag,
                                                const void *secret, std::size_t length, std::uint8_t isPasskey,
                                                const void *data, std::size_t dataLength);
[[nodiscard]] QELStatus qelTokenKeyCommandWithOptions(QELKeySet *set, QELOptionList *options);
