// PKCS #7 (RFC 2315) signed data with one signer and the opening of
// enveloped data, through callbacks that digest, sign, verify and decrypt.
// These work on a codec context; all their memory is its allocator's.
#pragma once

#include <cstdint>

#include "asn1PKCS7.h"
#include "asn1PKIX.h"
#include "qelPKIContextInternal.h"

extern "C" {

typedef int (*QELPKIDigestCallback)(ASN1_OctetString *digest, const char *digestOID, const uint8_t *data,
                                    uint64_t length, void *digestData, ASN1Context *codec);
typedef int (*QELPKISignerCallback)(ASN1_OctetString *encryptedDigest, const char *digestOID,
                                    const char *signatureOID, ASN1_Certificate *signer, const uint8_t *data,
                                    uint64_t length, void *signData, ASN1Context *codec);
typedef int (*QELPKIDataVerifyCallback)(const uint8_t *data, uint64_t length, const char *digestOID,
                                        const char *encryptionOID, ASN1_OctetString *encryptedDigest,
                                        ASN1_Certificate *signer, void *verifyData, ASN1Context *codec);
typedef int (*QELPKIDecryptCallback)(uint8_t **out, uint64_t *outLength, const char *contentEncryptionOID,
                                     ASN1_Any *parameters, ASN1_OctetString *encryptedContent,
                                     const char *keyEncryptionOID, ASN1_OctetString *encryptedKey,
                                     ASN1_Certificate *recipient, void *callbackData, ASN1Context *codec);

// One node of a certificate list handed to the builder.
typedef struct QELPKICertificateListNode {
    ASN1_Certificate *certificate;
    struct QELPKICertificateListNode *next;
} QELPKICertificateListNode;

QEL_MUST_CHECK int32_t qelPKISignedDataCreate(
    uint8_t **out, uint64_t *outLength, const uint8_t *content, uint64_t contentLength, int32_t bare,
    const char *contentType, const char *digestOID, const uint8_t *digestParameters, uint64_t digestParametersLength,
    const char *signatureOID, const uint8_t *signatureParameters, uint64_t signatureParametersLength,
    ASN1_Certificate *signer, const ASN1_Attributes *extraAttributes, const QELPKICertificateListNode *certificates,
    QELPKIDigestCallback digest, void *digestData, QELPKISignerCallback sign, void *signData, ASN1Context *codec);
// Status: 0 verified; -11 when no signer certificate is given or no
// SignerInfo names it (the content is still handed back); -12 no
// messageDigest attribute; -13 digest mismatch; -2 a messageDigest that is
// no OCTET STRING or content that does not decode; -1 bad arguments; or a
// callback's result.
QEL_MUST_CHECK int32_t qelPKISignedDataVerify(uint8_t **content, uint64_t *contentLength, ASN1_SignedData *signedData,
                                              ASN1_Certificate *signer, QELPKIDigestCallback digest, void *digestData,
                                              QELPKIDataVerifyCallback verify, void *verifyData, ASN1Context *codec);
QEL_MUST_CHECK int32_t qelPKIEnvelopedDataDecrypt(uint8_t **out, uint64_t *outLength, ASN1_EnvelopedData *enveloped,
                                                  ASN1_Certificate *recipient, QELPKIDecryptCallback decrypt,
                                                  void *callbackData, ASN1Context *codec);
QEL_MUST_CHECK int32_t qelPKIIssuerAndSerialFromCertificate(ASN1_IssuerAndSerialNumber *target,
                                                            const ASN1_Certificate *certificate,
                                                            ASN1Context *codec);
QEL_MUST_CHECK int32_t qelPKINameCopyDER(ASN1_Name *out, const ASN1_Name *source, ASN1Context *codec);
int32_t qelPKIIssuerAndSerialEqual(ASN1_IssuerAndSerialNumber *a, ASN1_IssuerAndSerialNumber *b,
                                   ASN1Context *codec);
QEL_MUST_CHECK int32_t qelPKIAttributesAddValue(ASN1_Attributes *set, const ASN1_ObjectIdentifier *oid,
                                                const ASN1_Any *value, ASN1Context *codec);

} // extern "C"
