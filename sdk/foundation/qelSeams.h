// Stand-ins for operations whose modules have not landed yet (defined in
// qelSeams.cpp). Each block names the module that will fill it; that module
// moves the declarations to its own internal header and deletes the block
// here and in qelSeams.cpp.
#pragma once

#include "qelErrors.h"

#include <cstddef>

struct QELContext;

// Service RPC (qelPassCacheDispatch): the passphrase cache's service calls
// answer QELError_FeatureNotAvailable until the service client lands.
[[nodiscard]] QELStatus qelPassCacheGetCountsDispatch(QELContext *context, int32_t *outOwn, int32_t *outNamed,
                                        int32_t *outOthers);
[[nodiscard]] QELStatus qelPassCachePurgeDispatch(QELContext *context);

// Service RPC (qelTokenDispatch): the token operations' service calls
// answer QELError_FeatureNotAvailable until the service client lands; the
// configuration string has no token layer to configure in process.
[[nodiscard]] QELStatus qelTokenCountDispatch(QELContext *context, int32_t *outCount);
[[nodiscard]] QELStatus qelTokenGetInfoDispatch(QELContext *context, int32_t tokenIndex, uint8_t *outInfo);
[[nodiscard]] QELStatus qelTokenSubmitSecretDispatch(QELContext *context, int32_t tokenIndex, const void *secret,
                                       size_t length);
[[nodiscard]] QELStatus qelTokenSetSecretDispatch(QELContext *context, int32_t tokenIndex, const void *secret,
                                    size_t length);
[[nodiscard]] QELStatus qelTokenReplaceSecretDispatch(QELContext *context, int32_t tokenIndex, const void *oldSecret,
                                        size_t oldLength, const void *newSecret, size_t newLength);
[[nodiscard]] QELStatus qelTokenSetConfigStringDispatch(const char *config);

// Key databases (qelKeyDB): nothing to close or deliver yet.
void qelKeyDBCloseExpired(QELContext *context);
void qelKeyDBNoteRemoteChange();
void qelKeyDBApplyRemoteChanges();
