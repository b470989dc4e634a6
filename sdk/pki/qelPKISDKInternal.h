// The toolkit bound to the SDK: a toolkit context over an SDK context's
// memory manager, and the callbacks that digest, sign, verify and encrypt
// with the SDK's hashes, ciphers and keys of the key database.
#pragma once

#include <cstddef>
#include <cstdint>

#include "asn1PKCS7.h"
#include "asn1PKIX.h"
#include "qelContext.h"
#include "qelErrors.h"
#include "qelPKIContextInternal.h"
#include "qelPKIPKCS7Internal.h"
#include "qelX509KeysInternal.h"

struct QELKeyObject;
struct QELOptionList;

// A toolkit context for one call over the context's memory manager, with
// its own allocator record (no process-wide record that concurrent callers
// would overwrite). get() is null when it could not be made.
class QELPKISDKToolkit {
public:
    explicit QELPKISDKToolkit(QELContext *context, QELPKISignCallback sign = nullptr, void *signData = nullptr)
    {
        qelPKISDKAllocatorInit(&allocator_, qelContextGetMemoryMgr(context));
        if (qelPKIContextNew(&toolkit_, &allocator_, sign, signData, nullptr, nullptr) != 0)
            toolkit_ = nullptr;
    }
    QELPKISDKToolkit(const QELPKISDKToolkit &) = delete;
    QELPKISDKToolkit &operator=(const QELPKISDKToolkit &) = delete;
    ~QELPKISDKToolkit()
    {
        if (toolkit_ != nullptr)
            static_cast<void>(qelPKIContextFree(toolkit_));
    }
    QELPKIContext *get() const { return toolkit_; }
    ASN1Context *codec() const { return toolkit_->codec; }

private:
    ASN1Allocator allocator_{};
    QELPKIContext *toolkit_ = nullptr;
};

extern "C" {

// What every SDK-bound callback receives: the options that unlock the key
// (copied for each private-key operation), the SDK context and the key.
typedef struct QELPKICallbackData {
    QELOptionList *options;
    QELContext *context;
    QELKeyObject *key;
} QELPKICallbackData;

// One recipient of an enveloped message; the encrypt callback fills the
// outputs from the codec allocator.
typedef struct QELPKIRecipient {
    ASN1_Certificate *certificate;
    QELKeyObject *key;
    char *keyEncryptionAlgorithm;
    uint8_t *encryptedKey;
    uint64_t encryptedKeyLength;
} QELPKIRecipient;

typedef struct QELPKIRecipientNode {
    QELPKIRecipient *recipient;
    struct QELPKIRecipientNode *next;
} QELPKIRecipientNode;

// 1 (MD5) or 2 (SHA-1) for md5WithRSAEncryption, dsa-with-sha1 and
// sha1WithRSAEncryption given as their whole content octets; 0 otherwise.
int32_t qelPKISDKHashFromSigOID(const uint8_t *oid, uint64_t length);

int qelPKISDKDigest(ASN1_OctetString *digest, const char *digestOID, const uint8_t *data, uint64_t length,
                    void *callbackData, ASN1Context *codec);
int qelPKISDKSignData(ASN1_OctetString *encryptedDigest, const char *digestOID, const char *signatureOID,
                      ASN1_Certificate *signer, const uint8_t *data, uint64_t length, void *callbackData,
                      ASN1Context *codec);
int qelPKISDKVerifyData(const uint8_t *data, uint64_t length, const char *digestOID, const char *encryptionOID,
                        ASN1_OctetString *encryptedDigest, ASN1_Certificate *signer, void *callbackData,
                        ASN1Context *codec);
int qelPKISDKSign(uint8_t **signature, uint64_t *signatureLength, const uint8_t *toBeSigned, uint64_t length,
                  const uint8_t *algorithmOID, uint64_t algorithmOIDLength, void *callbackData,
                  QELPKIContext *context);
// Checks the IV and key lengths and every padding octet; an empty or
// ragged content is refused. -5 for every failure, with the outputs clear.
int qelPKISDKDecryptContent(uint8_t **out, uint64_t *outLength, const char *contentEncryptionOID,
                            ASN1_Any *parameters, ASN1_OctetString *encryptedContent, const char *keyEncryptionOID,
                            ASN1_OctetString *encryptedKey, ASN1_Certificate *recipient, void *callbackData,
                            ASN1Context *codec);
int qelPKISDKEncryptContent(ASN1_OctetString *encryptedContent, ASN1_Any *parameters,
                            const char *contentEncryptionOID, const uint8_t *content, uint64_t length,
                            QELPKIRecipientNode *recipients, void *callbackData, ASN1Context *codec);

// Move the certificates (resp. CRLs) of a decoded SignedData to the end of
// a SET OF list; the member is emptied.
int32_t qelPKIMoveSignedDataCertificates(ASN1Context *codec, ASN1_SignedData *signedData, void *list);
int32_t qelPKIMoveSignedDataCRLs(ASN1Context *codec, ASN1_SignedData *signedData, void *list);

} // extern "C"
