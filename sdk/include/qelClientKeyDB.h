/* Key operations that take option lists: editing, certifying and revoking
 * keys, generating keys, importing and exporting keys, and issuing X.509
 * certificates and CRLs.
 *
 * Each takes its fixed arguments followed by any number of option lists
 * closed by qelOptionLastOption. Once the API entry guard has let the call
 * through, every non-persistent list given is consumed on every path, the
 * refusal of a bad fixed argument included; persistent lists stay with the
 * caller. When the guard refuses, its status is returned and every list
 * stays with the caller. An error carried by any list given (such as an
 * option constructor that ran out of memory) is returned without running the
 * operation. */
#ifndef QEL_CLIENT_KEYDB_H
#define QEL_CLIENT_KEYDB_H

#include <stdint.h>

#include "qelContext.h"
#include "qelErrors.h"
#include "qelOptionList.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeyDB QELKeyDB;
typedef struct QELKeyObject QELKeyObject;
typedef struct QELKeySet QELKeySet;

/* ---- editing keys (options: QELOption_Passphrase or QELOption_Passkey,
 * QELOption_CachePassphrase, and those named) ---- */
QEL_MUST_CHECK QEL_API QELStatus qelUserIDSetPrimary(QELKeyObject *userID, QELOptionList *first, ...);
/* Also QELOption_CreationTime, QELOption_ValidityDays, QELOption_Exportable
 * (without it the certification is local-only), QELOption_TrustSignature,
 * QELOption_RegularExpression. */
QEL_MUST_CHECK QEL_API QELStatus qelUserIDCertify(QELKeyObject *userID, QELKeyObject *signerKey,
                                                  QELOptionList *first, ...);
QEL_MUST_CHECK QEL_API QELStatus qelSigRevoke(QELKeyObject *sig, QELOptionList *first, ...);
/* A key or a subkey. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyRevoke(QELKeyObject *keyOrSubKey, QELOptionList *first, ...);
/* At most 254 characters. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyAddUserID(QELKeyObject *key, const char *userID,
                                                 QELOptionList *first, ...);
/* A user attribute of one subpacket of the type (0 to 255). */
QEL_MUST_CHECK QEL_API QELStatus qelKeyAddUserAttribute(QELKeyObject *key, int32_t type, const void *data,
                                                        uint64_t length, QELOptionList *first, ...);
/* The first passphrase-or-passkey option is the old secret, the second the
 * new one (a passkey option makes the new secret a passkey). A key or a
 * subkey. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyChangePassphrase(QELKeyObject *keyOrSubKey, QELOptionList *first,
                                                        ...);
/* 1 when the key accepts the passphrase; 0 when it does not and on every
 * failure. */
QEL_MUST_CHECK QEL_API uint8_t qelKeyPassphraseIsValid(QELKeyObject *key, QELOptionList *first, ...);
/* set non-zero makes the key axiomatic, 0 makes it an ordinary key. */
QEL_MUST_CHECK QEL_API QELStatus qelKeySetAxiomatic(QELKeyObject *key, int32_t set, QELOptionList *first,
                                                    ...);
/* QELOption_Passphrase is required; the passkey goes to the buffer, which
 * holds a key of the protection cipher (32 bytes always suffice). A key or a
 * subkey. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyPassphraseToPasskey(QELKeyObject *keyOrSubKey, uint8_t *outPasskey,
                                                           QELOptionList *first, ...);
/* QELOption_RevocationKeys is required. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyAddRevokers(QELKeyObject *key, QELOptionList *first, ...);
/* Reserved: always QELError_FeatureNotAvailable for a key. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyReservedOperation(QELKeyObject *key, QELOptionList *first, ...);
/* QELOption_PreferredCiphers, QELOption_PreferredKeyServer,
 * QELOption_KeyFlags, QELOption_KeyServerPrefs; nothing changes without any
 * of them. */
QEL_MUST_CHECK QEL_API QELStatus qelKeySetPreferences(QELKeyObject *key, QELOptionList *first, ...);

/* ---- generating keys ---- */
/* Bits of randomness a generation with these options draws; -1 for a bad
 * context or an option list carrying an error. */
QEL_MUST_CHECK QEL_API int32_t qelKeyGenEntropyNeeded(QELContext *context, QELOptionList *first, ...);
QEL_MUST_CHECK QEL_API QELStatus qelKeyGenerate(QELContext *context, QELKeyObject **outKey,
                                                QELOptionList *first, ...);
QEL_MUST_CHECK QEL_API QELStatus qelSubKeyGenerate(QELContext *context, QELKeyObject **outSubKey,
                                                   QELOptionList *first, ...);

/* ---- import and export ---- */
/* Writes keys (QELOption_ExportKeySet or QELOption_ExportKey) to the job's
 * output. */
QEL_MUST_CHECK QEL_API QELStatus qelExportKeys(QELContext *context, QELOptionList *first, ...);
/* Reads keys from the job's input into a new in-memory key database, which
 * the caller releases with qelKeyDBRelease. */
QEL_MUST_CHECK QEL_API QELStatus qelImportKeys(QELContext *context, QELKeyDB **outDB, QELOptionList *first,
                                               ...);

/* ---- X.509 ---- */
QEL_MUST_CHECK QEL_API QELStatus qelCreateSelfSignedX509Certificate(QELKeyObject *key, QELKeyObject **outSig,
                                                                    QELOptionList *first, ...);
/* issuerSig: the signature object holding the issuer's certificate. */
QEL_MUST_CHECK QEL_API QELStatus qelCreateX509Certificate(QELKeyObject *issuerSig, QELKeyObject *subjectKey,
                                                          QELKeyObject **outSig, QELOptionList *first, ...);
/* The subject comes from a certificate request given as the job's input. */
QEL_MUST_CHECK QEL_API QELStatus qelCreateX509CertificateFromRequest(QELKeyObject *issuerSig,
                                                                     QELKeyObject **outSig,
                                                                     QELOptionList *first, ...);
/* A CRL over the revoked certificates of the set. */
QEL_MUST_CHECK QEL_API QELStatus qelCreateX509CRL(QELKeyObject *issuerSig, QELKeySet *revoked,
                                                  QELOptionList *first, ...);

#ifdef __cplusplus
}
#endif

#endif
