// Key management internals: the in-process forms of the token operations.
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
