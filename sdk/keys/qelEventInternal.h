// The builders of job events, one per kind. Each clears *reply, sends
// nothing and answers 0 when the handler is null, otherwise fills a
// zero-filled record with the kind and its payload, calls the handler, hands
// back the option list it left in the reply (the caller frees it with
// qelOptionListFreeAndClear once read, used or not) and returns the
// handler's status.
#pragma once

#include "qelEvent.h"

#include <cstdint>

struct QELOptionList;
struct QELKeySet;
struct QELKeyObject;
struct QELKeyID;

using QELEventReplyOut = QELOptionList **;

[[nodiscard]] std::int32_t qelEventSendProgress(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                                void *userValue, std::uint64_t done, std::uint64_t total);
[[nodiscard]] std::int32_t qelEventSendInitial(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                               void *userValue);
[[nodiscard]] std::int32_t qelEventSendFinal(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                             void *userValue);
[[nodiscard]] std::int32_t qelEventSendError(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                             void *userValue, QELStatus status, void *object);
[[nodiscard]] std::int32_t qelEventSendWarning(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                               void *userValue, QELStatus code, void *object);
[[nodiscard]] std::int32_t qelEventSendEntropy(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                               void *userValue, std::int32_t bitsNeeded);
[[nodiscard]] std::int32_t qelEventSendPassphrase(QELContext *context, QELEventReplyOut reply,
                                                  QELEventHandler handler, void *userValue, bool conventional,
                                                  QELKeySet *keys);
[[nodiscard]] std::int32_t qelEventSendAnalyze(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                               void *userValue, std::int32_t kind);
[[nodiscard]] std::int32_t qelEventSendRecipients(QELContext *context, QELEventReplyOut reply,
                                                  QELEventHandler handler, void *userValue, QELKeySet *keys,
                                                  std::int32_t conventionalCount, std::int32_t publicKeyCount,
                                                  const QELKeyID *keyIDs);
[[nodiscard]] std::int32_t qelEventSendKeysFound(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                                 void *userValue, QELKeySet *keys);
// The name is sent as a copy with every character that is unsafe in a file
// name (control characters, " * / : > ? \ |) replaced by '_'; null when no
// name is given or the copy cannot be made.
[[nodiscard]] std::int32_t qelEventSendOutput(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                              void *userValue, std::int32_t type, const char *name,
                                              bool forYourEyesOnly);
[[nodiscard]] std::int32_t qelEventSendSignature(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                                 void *userValue, const QELEventSignature &signature);
[[nodiscard]] std::int32_t qelEventSendBeginSection(QELContext *context, QELEventReplyOut reply,
                                                    QELEventHandler handler, void *userValue, std::int32_t section,
                                                    std::uint64_t value);
[[nodiscard]] std::int32_t qelEventSendEndSection(QELContext *context, QELEventReplyOut reply,
                                                  QELEventHandler handler, void *userValue, std::int32_t section);
[[nodiscard]] std::int32_t qelEventSendDetachedSignature(QELContext *context, QELEventReplyOut reply,
                                                         QELEventHandler handler, void *userValue);
[[nodiscard]] std::int32_t qelEventSendKeyGen(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                              void *userValue, std::int32_t value);
[[nodiscard]] std::int32_t qelEventSendDecryption(QELContext *context, QELEventReplyOut reply,
                                                  QELEventHandler handler, void *userValue, std::int32_t algorithm,
                                                  const std::uint8_t *sessionKey, std::uint64_t length);
[[nodiscard]] std::int32_t qelEventSendEncryption(QELContext *context, QELEventReplyOut reply,
                                                  QELEventHandler handler, void *userValue, std::int32_t algorithm,
                                                  const std::uint8_t *sessionKey, std::uint64_t length);
[[nodiscard]] std::int32_t qelEventSendKind18(QELContext *context, QELEventHandler handler, void *userValue,
                                              std::uint64_t value, std::int32_t number);
[[nodiscard]] std::int32_t qelEventSendKind19(QELContext *context, QELEventReplyOut reply, QELEventHandler handler,
                                              void *userValue, std::uint64_t value);
[[nodiscard]] std::int32_t qelEventSendKind20(QELContext *context, QELEventHandler handler, void *userValue,
                                              std::uint64_t value, std::int32_t number, std::uint64_t value2);
