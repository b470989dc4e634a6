// The X.509 key code: certificates, revocation lists and PKCS #8 keys moved
// in and out of the key database over the key-side ASN.1 module. Every
// operation that runs the codec makes its codec context on its own stack over
// one memory manager, so no allocator record is ever shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "asn1Key.h"
#include "qelHelpers.h"
#include "qelErrors.h"
#include "qelMemory.h"
#include "qelSeams.h"
#include "qelKeyIOExportInternal.h"
#include "qelKeyIOImportInternal.h"

struct QELPublicKeyObject;
struct QELSecretKeyObject;
struct QELKeyDB;
struct QELKeyObject;

// ---- the codec over an SDK memory manager, for one call ----------------------
void *qelX509AsnAlloc(ASN1Allocator *self, std::uint64_t size);
std::int32_t qelX509AsnRealloc(ASN1Allocator *self, void **block, std::uint64_t newSize);
std::int32_t qelX509AsnFree(ASN1Allocator *self, void *block);

// The codec context of one call (or of one toolkit context): it lives where
// it is declared and points at its own allocator, so it is neither copied nor
// moved.
class QELX509Codec {
public:
    explicit QELX509Codec(QELMemoryMgr *mgr)
        : allocator_{mgr, qelX509AsnAlloc, qelX509AsnRealloc, qelX509AsnFree}, context_{0, &allocator_}
    {
    }
    QELX509Codec(const QELX509Codec &) = delete;
    QELX509Codec &operator=(const QELX509Codec &) = delete;
    ASN1Context *get() { return &context_; }

private:
    ASN1Allocator allocator_;
    ASN1Context context_;
};

// The SDK-bound allocator for the toolkit's SDK-facing operations: filled per
// call or per toolkit context over the caller's memory manager (never one
// process-wide record that concurrent callers would overwrite).
void qelPKISDKAllocatorInit(ASN1Allocator *allocator, QELMemoryMgr *mgr);
void *qelPKISDKAlloc(ASN1Allocator *self, std::uint64_t size);
std::int32_t qelPKISDKRealloc(ASN1Allocator *self, void **block, std::uint64_t newSize);
std::int32_t qelPKISDKFree(ASN1Allocator *self, void *block);

// A codec status as an SDK status: 0, QELError_OutOfMemory, or
// QELError_CodecFailed for every other failure.
QELStatus qelX509MapCodecStatus(std::int32_t codecStatus);

// ---- raw DER walkers (no codec, no allocation) --------------------------------
// Each reads only within [cursor, end): a length field or a content length
// that runs past end fails (tag -1), and no length wraps.
// Reads one header; the low five bits of the identifier octet, or -1.
int qelX509ReadTagLength(const std::uint8_t **cursor, const std::uint8_t *end, std::uint64_t *outLength);
QELStatus qelX509SplitSigned(const std::uint8_t *der, std::size_t length, const std::uint8_t **tbs,
                             std::size_t *tbsLength, const std::uint8_t **algorithm, std::size_t *algorithmLength,
                             const std::uint8_t **signature, std::size_t *signatureLength);
QELStatus qelX509BitStringContents(const std::uint8_t *der, std::size_t length, const std::uint8_t **bits,
                                   std::size_t *bitsLength);
// serialNumber, signature, issuer, validity, subject, subjectPublicKeyInfo.
struct QELX509TBSParts {
    const std::uint8_t *part[6];
    std::size_t length[6];
};
QELStatus qelX509SplitTBSCertificate(const std::uint8_t *der, std::size_t length, QELX509TBSParts *out);
// The size of the SEQUENCE at the start of der; available for an indefinite
// length; 0 when it is no SEQUENCE or its length runs past available.
std::size_t qelX509DERSequenceLength(const std::uint8_t *der, std::size_t available);
bool qelX509FindEncodedElement(const std::uint8_t *element, std::size_t elementLength, const std::uint8_t *data,
                               std::size_t dataLength);

// ---- algorithms and times ----------------------------------------------------------
QELStatus qelX509SigAlgorithmToIds(const ASN1_ObjectIdentifier *oid, std::int32_t *outPublicKeyAlgorithm,
                                   std::int32_t *outHashAlgorithm);
QELStatus qelX509TimeTextToSeconds(const std::uint8_t *text, std::size_t length, bool generalized,
                                   std::uint32_t *outSeconds);
// Any time from 1950 on, in 64 bits.
QELStatus qelX509TimeTextToSeconds64(const std::uint8_t *text, std::size_t length, bool generalized,
                                     std::int64_t *outSeconds);
// The time text of seconds since 1970: UTCTime (13 characters) up to 2049,
// GeneralizedTime (15) from 2050 to 9999; out needs 16 octets. 0 for a
// time outside 1950 to 9999.
int qelX509FormatTime(std::int64_t seconds, char *out);
// Leaves *outSeconds as it was on any failure.
void qelX509TimeToSeconds(const ASN1Key_Time *time, std::uint32_t *outSeconds);

// ---- decode and free entries ----------------------------------------------------------
QELStatus qelX509DecodeCertificate(QELContext *context, const std::uint8_t *der, std::size_t length,
                                   ASN1Key_Certificate **outCertificate);
QELStatus qelX509FreeCertificate(QELContext *context, ASN1Key_Certificate *certificate);
QELStatus qelX509DecodeCRL(QELContext *context, const std::uint8_t *der, std::size_t length,
                           ASN1Key_CertificateList **outCRL);
QELStatus qelX509FreeCRL(QELContext *context, ASN1Key_CertificateList *crl);
QELStatus qelX509DecodeTBS(QELContext *context, const std::uint8_t *der, std::size_t length,
                           ASN1Key_RawTBSCertificate **outRawTBS);
QELStatus qelX509FreeTBS(QELContext *context, ASN1Key_RawTBSCertificate *rawTBS);

// ---- keys ---------------------------------------------------------------------------
QELStatus qelX509MPIFromUnsigned(const std::uint8_t *octets, std::size_t length, std::uint8_t *out,
                                 std::size_t *outSize);
QELStatus qelX509BuildSubjectPublicKeyInfo(ASN1Context *codec, QELMemoryMgr *mgr, QELKeyObject *key,
                                           ASN1Key_SubjectPublicKeyInfo *spki);

// The body of a key packet (public, from a certificate) or of a secret-key
// packet (from a PKCS #8 RSA key, when privateKeyInfo is given): a key that
// keyDB (or, when null, any open database of the context) holds for the same
// numbers lends its version, creation time and validity. Null out: only the
// size.
QELStatus qelX509MakeKeyPacketBody(QELContext *context, QELKeyDB *keyDB, ASN1Context *codec,
                                   ASN1Key_Certificate *certificate, ASN1Key_PrivateKeyInfo *privateKeyInfo,
                                   std::uint8_t *out, std::size_t *inOutSize);

// ---- the signature packet and user ID that carry a certificate ------------------------------
QELStatus qelX509ValiditySubpackets(ASN1Key_Certificate *certificate, std::uint8_t *out, std::size_t *outSize);
QELStatus qelX509TrustSubpacket(QELContext *context, ASN1Context *codec, ASN1Key_Certificate *certificate,
                                std::uint8_t *out, std::size_t *outSize);
QELStatus qelX509KeyFlagsSubpacket(ASN1Context *codec, ASN1Key_Certificate *certificate, std::uint8_t *out,
                                   std::size_t *outSize);
// der: the certificate's octets as received (carried unchanged).
QELStatus qelX509MakeSigPacketBody(QELContext *context, ASN1Context *codec, ASN1Key_Certificate *certificate,
                                   const std::uint8_t *der, std::size_t derLength, std::uint8_t valueOctet,
                                   std::uint8_t *out, std::size_t *outSize);
QELStatus qelX509UserIDText(ASN1Context *codec, ASN1Key_Certificate *certificate, std::uint8_t *buffer,
                            std::size_t *inOutSize);

// ---- import ----------------------------------------------------------------------------------
QELStatus qelX509CertToKeyRing(QELContext *context, ASN1Context *codec, ASN1Key_Certificate *certificate,
                               const std::uint8_t *der, std::size_t derLength, QELKeyDB *keyDB,
                               QELKeyDB **outDB);
QELStatus qelX509ImportCertificate(const std::uint8_t *der, std::size_t length, QELContext *context,
                                   QELKeyDB *keyDB, QELKeyDB **outDB);
QELStatus qelX509ImportCertificateSet(const std::uint8_t *der, std::size_t length, QELContext *context,
                                      QELKeyDB *keyDB, QELKeyDB **outDB);
// A PKCS #8 private key as a key of a new in-memory database; its
// certificate is looked for in keyDB (or every open database when null).
QELStatus qelX509ImportPrivateKeyInfo(const std::uint8_t *der, std::size_t length, QELContext *context,
                                      QELKeyDB *keyDB, QELKeyDB **outDB);
// The DER contents octets of the eight INTEGERs after the version of the
// PKCS #1 RSAPrivateKey of an unlocked RSA secret-key object, in its order
// (modulus, public and private exponents, the two primes, the exponents
// reduced modulo each prime less one, the coefficient). The arithmetic on
// the secret numbers branches on none of them; each content's length, which
// the encoding shows, is the only thing handed over as public.
struct QELX509RSAIntegers {
    qel::WipedBuffer<std::uint8_t> contents[8];
};
QELStatus qelX509RSAPrivateKeyIntegers(QELSecretKeyObject *key, QELX509RSAIntegers *out);
// The DER PKCS #8 PrivateKeyInfo of an unlocked RSA secret-key object, in a
// new secure block of the key's context (freed by the caller with
// qelMemFree); QELError_AlgorithmCannotDoThis for another algorithm.
QELStatus qelX509ExportRSAPrivateKey(QELSecretKeyObject *key, std::uint8_t **outBlock, std::size_t *outLength);
// The live signature object (two levels below a live key of the database)
// carrying a certificate whose subject Name encodes to exactly the given
// octets; null when none does.
QELKeyObject *qelKeyDBFindCertBySubject(QELKeyDB *keyDB, const std::uint8_t *nameDER, std::size_t length);
// Every CRL of a DER SET OF CRLs whose issuer's certificate is found (in
// keyDB, or in every open database when null) and whose signature that
// issuer's key accepts, as key rings merged into one new database (null when
// none was taken); *outNotTaken (may be null) counts the CRLs left out.
QELStatus qelX509ImportCRLs(const std::uint8_t *der, std::size_t length, QELContext *context, QELKeyDB *keyDB,
                            QELKeyDB **outDB, std::uint32_t *outNotTaken);
// The DER SET OF the certificates from an X.509 signature object up through
// its issuers (each as received), in a new block of the context's memory
// manager; the walk ends at a self-issued certificate or at one met before.
QELStatus qelX509EncodeCertChain(QELContext *context, QELKeyObject *sig, std::uint8_t **outBlock,
                                 std::size_t *outLength);

// ---- signatures -----------------------------------------------------------------------
// Checks the signature of a signed X.509 object (certificate or CRL) with a
// public-key operation object: 0, QELError_BadCertificateSignature or
// QELError_UnknownHashAlgorithm.
QELStatus qelX509VerifySignature(QELContext *context, QELPublicKeyObject *ops, const std::uint8_t *der,
                                 std::size_t length);
// The name text of a decoded Name (the key database's form); null buffer:
// only the size.
QELStatus qelX509NameText(ASN1Context *codec, ASN1Key_Name *name, std::uint8_t *buffer, std::size_t *inOutSize);

// ---- certificate lists ---------------------------------------------------------------------
bool qelX509NameEqual(const ASN1Key_Name *name, const ASN1Key_Name *other);

namespace qel::x509 {

// A record of one codec context, freed with it.
template <typename T, void (*Free)(ASN1Context *, T *)>
class Record {
public:
    explicit Record(ASN1Context *codec) : codec_(codec) {}
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
    ~Record() { reset(); }
    void reset()
    {
        if (p_ != nullptr)
            Free(codec_, p_);
        p_ = nullptr;
    }
    T **out() { return &p_; }
    T *get() const { return p_; }
    T *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    ASN1Context *codec_;
    T *p_ = nullptr;
};

// The DER of one record, by the codec's two passes. Throws std::bad_alloc.
template <typename T>
QELStatus encodeRecord(ASN1Context *codec, std::uint64_t (*sizeFn)(ASN1Context *, T *, std::int32_t),
                       std::uint64_t (*packFn)(ASN1Context *, std::uint8_t *, std::uint64_t, T *, std::int32_t *),
                       T *record, std::vector<std::uint8_t> &out)
{
    const std::uint64_t size = sizeFn(codec, record, 1);
    if (size == 0)
        return QELError_CodecFailed;
    out.resize(static_cast<std::size_t>(size));
    std::int32_t err = 0;
    if (packFn(codec, out.data(), size, record, &err) != size || err != 0)
        return qelX509MapCodecStatus(err != 0 ? err : -1);
    return QELError_NoErr;
}

} // namespace qel::x509
