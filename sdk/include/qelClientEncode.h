/* Option constructors: each wraps one value in a one-item option list under a
   fixed kind, or returns a sentinel (-2 out of memory, -3 bad parameters,
   -5 refused by the API entry guard) that the operation receiving the list
   reports as its error. */
#ifndef QEL_CLIENT_ENCODE_H
#define QEL_CLIENT_ENCODE_H

#include <stddef.h>
#include <stdint.h>

#include "qelContext.h"
#include "qelErrors.h"
#include "qelOptionList.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELFileSpec QELFileSpec;
typedef struct QELKeyObject QELKeyObject;
typedef struct QELKeySet QELKeySet;
typedef struct QELKeyDB QELKeyDB;

/* Flags: the low byte of the argument is kept. */
QEL_API QELOptionList *qelOptionAppendOutput(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionDiscardOutput(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionOmitLiteralPacket(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionKind26(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionSendKeysFound(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionAskEntropy(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionArmorOutput(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionTextMode(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionClearSign(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionForYourEyesOnly(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionKind41(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionKind42(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionNoEntropyCheck(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionKeyGenFlag(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionExportPrivateKeys(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionKind55(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionExportable(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionCompress(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionOmitMimeVersion(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionKind62(QELContext *context, int32_t flag);
QEL_API QELOptionList *qelOptionKind63(QELContext *context, int32_t flag);

/* Integers. */
QEL_API QELOptionList *qelOptionLineEndFlags(QELContext *context, int32_t flags);
QEL_API QELOptionList *qelOptionCipherAlgorithm(QELContext *context, int32_t algorithm);
QEL_API QELOptionList *qelOptionHashAlgorithm(QELContext *context, int32_t algorithm);
QEL_API QELOptionList *qelOptionMinKeySize(QELContext *context, int32_t bits);
QEL_API QELOptionList *qelOptionWarnKeySize(QELContext *context, int32_t bits);
QEL_API QELOptionList *qelOptionOutputLineEnd(QELContext *context, int32_t lineEnd);
QEL_API QELOptionList *qelOptionSendProgress(QELContext *context, int32_t value);
QEL_API QELOptionList *qelOptionValidityDays(QELContext *context, int32_t days);
QEL_API QELOptionList *qelOptionCreationTime(QELContext *context, uint32_t time);
QEL_API QELOptionList *qelOptionInt66(QELContext *context, int32_t format);
QEL_API QELOptionList *qelOptionOutputFormat(QELContext *context, int32_t format);
QEL_API QELOptionList *qelOptionInputFormat(QELContext *context, int32_t format);
QEL_API QELOptionList *qelOptionKeyServerPrefs(QELContext *context, int32_t prefs);
QEL_API QELOptionList *qelOptionKeyFlags(QELContext *context, int32_t flags);
QEL_API QELOptionList *qelOptionTokenNumber(QELContext *context, int32_t token);
QEL_API QELOptionList *qelOptionKind79(QELContext *context, int32_t value);

/* Records. */
QEL_API QELOptionList *qelOptionOutputBuffer(QELContext *context, void *buffer, uint64_t size,
                                             uint64_t *outUsed);
QEL_API QELOptionList *qelOptionOutputAllocatedBuffer(QELContext *context, void **outBuffer,
                                                      uint64_t maximum, uint64_t *outSize);
QEL_API QELOptionList *qelOptionKind80(QELContext *context, void **outBuffer, uint64_t maximum,
                                       uint64_t *outSize);
QEL_API QELOptionList *qelOptionMimeEncoding(QELContext *context, int32_t flag, uint64_t *outHeaderLength,
                                             char *outBoundary);
/* The handler an operation calls with its events: the same type it is
   called through, so nothing is called through a mismatched pointer. */
typedef QELEventHandler QELOptionEventProc;
QEL_API QELOptionList *qelOptionEventHandler(QELContext *context, QELOptionEventProc callback,
                                             void *userValue);
QEL_API QELOptionList *qelOptionKeyGenParams(QELContext *context, int32_t algorithm, uint32_t bits,
                                             int32_t third);
QEL_API QELOptionList *qelOptionSubpacket10Keys(QELContext *context, QELKeySet *set, int32_t keyClass);
QEL_API QELOptionList *qelOptionRevocationKeys(QELContext *context, QELKeySet *set);
QEL_API QELOptionList *qelOptionTrustSignature(QELContext *context, int32_t depth, int32_t level);
QEL_API QELOptionList *qelOptionCachePassphrase(QELContext *context, int32_t seconds, int32_t flag);

/* The caller's memory, not copied: it must stay valid until the operation
   returns. */
QEL_API QELOptionList *qelOptionInputBuffer(QELContext *context, const void *buffer, uint64_t size);
QEL_API QELOptionList *qelOptionKind69(QELContext *context, const void *records, uint32_t count);
QEL_API QELOptionList *qelOptionKind81(QELContext *context, const void *buffer, uint64_t size);

/* Copied bytes. */
QEL_API QELOptionList *qelOptionUserID(QELContext *context, const void *bytes, uint32_t length);
QEL_API QELOptionList *qelOptionPreferredCiphers(QELContext *context, const uint32_t *algorithms,
                                                 uint32_t count);
QEL_API QELOptionList *qelOptionPreferredCompression(QELContext *context, const uint32_t *algorithms,
                                                     uint32_t count);
QEL_API QELOptionList *qelOptionCommentString(QELContext *context, const char *text);
QEL_API QELOptionList *qelOptionVersionString(QELContext *context, const char *text);
QEL_API QELOptionList *qelOptionRegularExpression(QELContext *context, const char *text);
QEL_API QELOptionList *qelOptionLiteralName(QELContext *context, const char *text);
QEL_API QELOptionList *qelOptionPreferredKeyServer(QELContext *context, const char *text);

/* Secrets, copied into secure memory. */
QEL_API QELOptionList *qelOptionPassphraseBuffer(QELContext *context, const void *bytes, uint64_t length);
QEL_API QELOptionList *qelOptionPassphrase(QELContext *context, const char *passphrase);
QEL_API QELOptionList *qelOptionPasskeyBuffer(QELContext *context, const void *bytes, uint64_t length);
QEL_API QELOptionList *qelOptionSessionKey(QELContext *context, const void *bytes, uint64_t length);

/* File specifications (the option owns a duplicate). */
QEL_API QELOptionList *qelOptionInputFile(QELContext *context, const QELFileSpec *spec);
QEL_API QELOptionList *qelOptionOutputFile(QELContext *context, const QELFileSpec *spec);

/* SDK objects. */
QEL_API QELOptionList *qelOptionEncryptToKey(QELContext *context, QELKeyObject *key);
QEL_API QELOptionList *qelOptionKeyObject71(QELContext *context, QELKeyObject *key);
QEL_API QELOptionList *qelOptionMasterKey(QELContext *context, QELKeyObject *key);
QEL_API QELOptionList *qelOptionEncryptToKeySet(QELContext *context, QELKeySet *set);
QEL_API QELOptionList *qelOptionExportKeySet(QELContext *context, QELKeySet *set);
QEL_API QELOptionList *qelOptionKeyDB(QELContext *context, QELKeyDB *db);
QEL_API QELOptionList *qelOptionTargetKeyDB(QELContext *context, QELKeyDB *db);

/* Options with a nested list; the sequence ends with qelOptionLastOption. */
QEL_API QELOptionList *qelOptionSignWithKey(QELContext *context, QELKeyObject *key, QELOptionList *first,
                                            ...);
QEL_API QELOptionList *qelOptionConventionalEncrypt(QELContext *context, QELOptionList *first, ...);
QEL_API QELOptionList *qelOptionDetachedSignature(QELContext *context, QELOptionList *first, ...);

#ifdef __cplusplus
}
#endif

#endif
