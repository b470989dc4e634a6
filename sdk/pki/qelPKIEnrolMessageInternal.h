// Enrolment messages for a SCEP-style certification authority (RFC 8894
// PKIMessage): the content optionally enveloped for the CA's key, then
// signed by the requester under a temporary self-signed certificate with
// the messageType, senderNonce and transactionID attributes. The builder's
// pieces (a key's certificate, PKCS #7 enveloped data, one attribute) are
// used by the PKCS #7 import and export too.
#pragma once

#include <cstdint>

#include "asn1PKCS7.h"
#include "asn1PKIX.h"
#include "qelContext.h"
#include "qelErrors.h"
#include "qelPKISDKInternal.h"

struct QELKeyObject;
struct QELOptionList;

// Message kinds: the tens digit the SCEP message type (PKCSReq,
// GetCertInitial, GetCRL), the units digit how the attributes are written.
inline constexpr std::int32_t kQELEnrolKindPassThrough = 10001;

// The message for kind, in a new block of the context's memory manager
// (freed with qelMemFree); null and 0 after a failure. Without a signer
// the output is the envelope alone, or nothing when there is no recipient
// either. The option list unlocks the signer key and is released on every
// path. Transaction ID null or empty: the MD5 digest of the signer's
// SubjectPublicKeyInfo.
[[nodiscard]] QELStatus qelPKIBuildEnrolMessage(QELContext *context, const std::uint8_t *content,
                                                std::uint64_t contentLength, const std::uint8_t *transactionID,
                                                std::uint64_t transactionIDLength, QELKeyObject *recipient,
                                                QELKeyObject *signer, QELOptionList *options, std::int32_t kind,
                                                std::uint8_t **out, std::uint64_t *outLength);

// The key's certificate as the key export writes it (format 10000),
// decoded over the codec; the caller frees it with asn1Free_Certificate.
// The export's status, or QELError_PKIDecryptFailed when it does not decode.
[[nodiscard]] QELStatus qelPKIGetKeyCertificate(QELContext *context, QELKeyObject *key, ASN1Context *codec,
                                                ASN1_Certificate **out);

extern "C" {

// Encrypt callback: fills the encrypted content, the content-encryption
// parameters (one DER element, or nothing) and each recipient's
// key-encryption algorithm text and encrypted key from the codec allocator.
typedef int (*QELPKIEncryptCallback)(ASN1_OctetString *encryptedContent, ASN1_Any *parameters,
                                     const char *contentEncryptionOID, const uint8_t *content, uint64_t length,
                                     QELPKIRecipientNode *recipients, void *callbackData, ASN1Context *codec);

// PKCS #7 EnvelopedData of the content for every recipient: bare non-zero
// gives the EnvelopedData's DER, 0 a ContentInfo of type envelopedData
// around it; from the codec allocator. The callback's result, or a toolkit
// code when the records cannot be made. The recipients' encrypted keys and
// algorithm texts are freed and cleared.
QEL_MUST_CHECK int32_t qelPKIBuildEnvelopedData(uint8_t **out, uint64_t *outLength, const uint8_t *content,
                                                uint64_t contentLength, int32_t bare, const char *contentType,
                                                const char *contentEncryptionOID, QELPKIRecipientNode *recipients,
                                                QELPKIEncryptCallback encrypt, void *callbackData,
                                                ASN1Context *codec);

// Appends {type: the ten OID octets, one value: a copy of the DER element}.
QEL_MUST_CHECK int32_t qelPKIAddAttribute(ASN1Context *codec, const uint8_t *oid, const uint8_t *value,
                                          uint64_t valueLength, ASN1_Attributes *set);

} // extern "C"
