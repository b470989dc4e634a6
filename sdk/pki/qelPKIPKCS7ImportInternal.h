// Certificates and revocation lists out of X.509 and PKCS #7 input (bare
// certificates and CRLs, and ContentInfo with signed and enveloped layers),
// for key import and the decode job.
#pragma once

#include <cstdint>

#include "asn1PKCS7.h"
#include "qelContext.h"
#include "qelErrors.h"

struct QELKeyDB;
struct QELKeyObject;
struct QELOptionList;

extern "C" {

enum QELPKIContentClass {
    QELPKIContent_Data = 0,
    QELPKIContent_SignedData = 1,
    QELPKIContent_EnvelopedData = 2,
    QELPKIContent_EncryptedData = 3,
};

// The class of a PKCS #7 content type (exactly its 9 content octets), or -1.
int32_t qelPKIContentTypeClass(const ASN1_ObjectIdentifier *oid);
int32_t qelPKIContentInfoClass(const ASN1_ContentInfo *info);
// New records of exactly the given octets, or null (the status dropped).
ASN1_ContentInfo *qelPKIDecodeContentInfo(const uint8_t *der, uint64_t length, ASN1Context *codec);
ASN1_SignedData *qelPKIDecodeSignedData(const uint8_t *der, uint64_t length, ASN1Context *codec);
ASN1_EnvelopedData *qelPKIDecodeEnvelopedData(const uint8_t *der, uint64_t length, ASN1Context *codec);

} // extern "C"

struct QELPKCS7ImportResult {
    QELKeyObject *decryptionKey;   // the key enveloped layers were opened with
    QELKeyObject *signerKey;       // the key whose certificate names the first signer
    std::uint8_t isSigned;         // a signed layer had a signer
    std::uint8_t signerFound;      // the signer key's certificate could be produced
    std::uint8_t signatureValid;   // and the first signer's signature holds under it
    std::uint8_t *certificates;    // DER SET OF certificates, or null
    std::uint64_t certificatesLength;
    std::uint8_t *crls;            // DER SET OF CertificateList, or null
    std::uint64_t crlsLength;
};

// The option list (handed to the content decryption) is freed in every
// case. Blocks of the context's memory manager, freed with qelMemFree; on
// failure the result is all clear. QELError_PKIDecodeFailed for input of
// none of the forms or an undecodable layer or innermost content,
// QELError_PKIEnvelopeNotOpened, QELError_ASN1Error.
[[nodiscard]] QELStatus qelCertImportPKCS7(QELContext *context, const std::uint8_t *der, std::uint64_t length,
                                           QELKeyDB *db, QELOptionList *options, QELPKCS7ImportResult *result);
