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
QELOptionList *qelOptionAppendOutput(QELContext *context, int32_t flag);
QELOptionList *qelOptionDiscardOutput(QELContext *context, int32_t flag);
QELOptionList *qelOptionOmitLiteralPacket(QELContext *context, int32_t flag);
QELOptionList *qelOptionKind26(QELContext *context, int32_t flag);
QELOptionList *qelOptionSendKeysFound(QELContext *context, int32_t flag);
QELOptionList *qelOptionAskEntropy(QELContext *context, int32_t flag);
QELOptionList *qelOptionArmorOutput(QELContext *context, int32_t flag);
QELOptionList *qelOptionTextMode(QELContext *context, int32_t flag);
QELOptionList *qelOptionClearSign(QELContext *context, int32_t flag);
QELOptionList *qelOptionForYourEyesOnly(QELContext *context, int32_t flag);
QELOptionList *qelOptionKind41(QELContext *context, int32_t flag);
QELOptionList *qelOptionKind42(QELContext *context, int32_t flag);
QELOptionList *qelOptionNoEntropyCheck(QELContext *context, int32_t flag);
QELOptionList *qelOptionKeyGenFlag(QELContext *context, int32_t flag);
QELOptionList *qelOptionExportPrivateKeys(QELContext *context, int32_t flag);
QELOptionList *qelOptionKind55(QELContext *context, int32_t flag);
QELOptionList *qelOptionExportable(QELContext *context, int32_t flag);
QELOptionList *qelOptionCompress(QELContext *context, int32_t flag);
QELOptionList *qelOptionOmitMimeVersion(QELContext *context, int32_t flag);
QELOptionList *qelOptionKind62(QELContext *context, int32_t flag);
QELOptionList *qelOptionKind63(QELContext *context, int32_t flag);

/* Integers. */
QELOptionList *qelOptionLineEndFlags(QELContext *context, int32_t flags);
QELOptionList *qelOptionCipherAlgorithm(QELContext *context, int32_t algorithm);
QELOptionList *qelOptionHashAlgorithm(QELContext *context, int32_t algorithm);
QELOptionList *qelOptionMinKeySize(QELContext *context, int32_t bits);
QELOptionList *qelOptionWarnKeySize(QELContext *context, int32_t bits);
QELOptionList *qelOptionOutputLineEnd(QELContext *context, int32_t lineEnd);
QELOptionList *qelOptionSendProgress(QELContext *context, int32_t value);
QELOptionList *qelOptionValidityDays(QELContext *context, int32_t days);
QELOptionList *qelOptionCreationTime(QELContext *context, uint32_t time);
QELOptionList *qelOptionInt66(QELContext *context, int32_t format);
QELOptionList *qelOptionOutputFormat(QELContext *context, int32_t format);
QELOptionList *qelOptionInputFormat(QELContext *context, int32_t format);
QELOptionList *qelOptionKeyServerPrefs(QELContext *context, int32_t prefs);
QELOptionList *qelOptionKeyFlags(QELContext *context, int32_t flags);
QELOptionList *qelOptionTokenNumber(QELContext *context, int32_t token);
QELOptionList *qelOptionKind79(QELContext *context, int32_t value);

/* Records. */
QELOptionList *qelOptionOutputBuffer(QELContext *context, void *buffer, uint64_t size,
                                     uint64_t *outUsed);
QELOptionList *qelOptionOutputAllocatedBuffer(QELContext *context, void **outBuffer,
                                              uint64_t maximum, uint64_t *outSize);
QELOptionList *qelOptionKind80(QELContext *context, void **outBuffer, uint64_t maximum,
                               uint64_t *outSize);
QELOptionList *qelOptionMimeEncoding(QELContext *context, int32_t flag, uint64_t *outHeaderLength,
                                     char *outBoundary);
/* The handler an operation calls with its events: the same type it is
   called through, so nothing is called through a mismatched pointer. */
typedef QELEventHandler QELOptionEventProc;
QELOptionList *qelOptionEventHandler(QELContext *context, QELOptionEventProc callback,
                                     void *userValue);
QELOptionList *qelOptionKeyGenParams(QELContext *context, int32_t algorithm, uint32_t bits,
                                     int32_t third);
QELOptionList *qelOptionSubpacket10Keys(QELContext *context, QELKeySet *set, int32_t keyClass);
QELOptionList *qelOptionRevocationKeys(QELContext *context, QELKeySet *set);
QELOptionList *qelOptionTrustSignature(QELContext *context, int32_t depth, int32_t level);
QELOptionList *qelOptionCachePassphrase(QELContext *context, int32_t seconds, int32_t flag);

/* The caller's memory, not copied: it must stay valid until the operation
   returns. */
QELOptionList *qelOptionInputBuffer(QELContext *context, const void *buffer, uint64_t size);
QELOptionList *qelOptionKind69(QELContext *context, const void *records, uint32_t count);
QELOptionList *qelOptionKind81(QELContext *context, const void *buffer, uint64_t size);

/* Copied bytes. */
QELOptionList *qelOptionUserID(QELContext *context, const void *bytes, uint32_t length);
QELOptionList *qelOptionPreferredCiphers(QELContext *context, const uint32_t *algorithms,
                                         uint32_t count);
QELOptionList *qelOptionPreferredCompression(QELContext *context, const uint32_t *algorithms,
                                             uint32_t count);
QELOptionList *qelOptionCommentString(QELContext *context, const char *text);
QELOptionList *qelOptionVersionString(QELContext *context, const char *text);
QELOptionList *qelOptionRegularExpression(QELContext *context, const char *text);
QELOptionList *qelOptionLiteralName(QELContext *context, const char *text);
QELOptionList *qelOptionPreferredKeyServer(QELContext *context, const char *text);

/* Secrets, copied into secure memory. */
QELOptionList *qelOptionPassphraseBuffer(QELContext *context, const void *bytes, uint64_t length);
QELOptionList *qelOptionPassphrase(QELContext *context, const char *passphrase);
QELOptionList *qelOptionPasskeyBuffer(QELContext *context, const void *bytes, uint64_t length);
QELOptionList *qelOptionSessionKey(QELContext *context, const void *bytes, uint64_t length);

/* File specifications (the option owns a duplicate). */
QELOptionList *qelOptionInputFile(QELContext *context, const QELFileSpec *spec);
QELOptionList *qelOptionOutputFile(QELContext *context, const QELFileSpec *spec);

/* SDK objects. */
QELOptionList *qelOptionEncryptToKey(QELContext *context, QELKeyObject *key);
QELOptionList *qelOptionKeyObject71(QELContext *context, QELKeyObject *key);
QELOptionList *qelOptionMasterKey(QELContext *context, QELKeyObject *key);
QELOptionList *qelOptionEncryptToKeySet(QELContext *context, QELKeySet *set);
QELOptionList *qelOptionExportKeySet(QELContext *context, QELKeySet *set);
QELOptionList *qelOptionKeyDB(QELContext *context, QELKeyDB *db);
QELOptionList *qelOptionTargetKeyDB(QELContext *context, QELKeyDB *db);

/* Options with a nested list; the sequence ends with qelOptionLastOption. */
QELOptionList *qelOptionSignWithKey(QELContext *context, QELKeyObject *key, QELOptionList *first,
                                    ...);
QELOptionList *qelOptionConventionalEncrypt(QELContext *context, QELOptionList *first, ...);
QELOptionList *qelOptionDetachedSignature(QELContext *context, QELOptionList *first, ...);

#ifdef __cplusplus
}
#endif

#endif
