// Certificate and CRL issuing with keys of the key database. Everything is
// built on the key-side codec in one codec context per call, signed with
// the SDK's private-key operations and imported into the database through
// the same key-ring conversion that reads certificates from outside, so an
// issued certificate is checked and stored exactly like a received one.
#include "qelPKIIssueInternal.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "qelAlgorithms.h"
#include "qelClientEncode.h"
#include "qelContext.h"
#include "qelContextInternal.h"
#include "qelHash.h"
#include "qelHelpers.h"
#include "qelKeyDB.h"
#include "qelKeyDBChange.h"
#include "qelKeyDBInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyIter.h"
#include "qelKeyIterInternal.h"
#include "qelKeyMan.h"
#include "qelKeyObjInternal.h"
#include "qelKeyOpsInternal.h"
#include "qelKeySet.h"
#include "qelKeySetInternal.h"
#include "qelOptionList.h"
#include "qelPKIEnrolNameInternal.h"
#include "qelPKISDKInternal.h"
#include "qelPublicKey.h"
#include "qelTimeDate.h"
#include "qelX509KeysInternal.h"

namespace {

using u8 = std::uint8_t;
using Bytes = std::vector<u8>;
using qel::x509::encodeRecord;
using qel::x509::Record;

constexpr u8 kMD5WithRSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04};
constexpr u8 kDSAWithSHA1[] = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x03};
constexpr u8 kNull[] = {0x05, 0x00};

constexpr std::int64_t kDefaultValidity = 31536000; // 365 days
constexpr std::size_t kSerialLength = 16;

using CertRecord = Record<ASN1Key_Certificate, asn1KeyFree_Certificate>;
using CRLsRecord = Record<ASN1Key_CertificateRevocationLists, asn1KeyFree_CertificateRevocationLists>;
using RequestRecord = Record<ASN1Key_CertificationRequest, asn1KeyFree_CertificationRequest>;
using NameRecord = Record<ASN1Key_Name, asn1KeyFree_Name>;
using ExtensionsRecord = Record<ASN1Key_Extensions, asn1KeyFree_Extensions>;

QELMemoryMgr *mgrOf(QELContext *context) { return qelContextGetMemoryMgr(context); }

// Decodes exactly the given octets as one T.
template <typename T>
QELStatus decodeWhole(ASN1Context *codec, std::uint64_t (*fn)(ASN1Context *, T **, const u8 *, std::uint64_t, std::int32_t *),
                      void (*freeFn)(ASN1Context *, T *), T **out, const u8 *in, std::size_t length)
{
    *out = nullptr;
    std::int32_t err = 0;
    const std::uint64_t used = fn(codec, out, in, length, &err);
    if (err == 0 && (used != length || *out == nullptr))
        err = -1;
    if (err != 0 && *out != nullptr) {
        freeFn(codec, *out);
        *out = nullptr;
    }
    return qelX509MapCodecStatus(err);
}

// A block of the SDK memory manager, freed with qelMemFree.
struct SDKBlock {
    u8 *p = nullptr;
    std::uint64_t n = 0;
    ~SDKBlock()
    {
        if (p != nullptr)
            static_cast<void>(qelMemFree(p));
    }
};

// Moves a decoded Name's contents into an embedded member; the empty
// holder is released.
void moveName(ASN1Context *codec, ASN1Key_Name *from, ASN1Key_Name &to)
{
    std::swap(*from, to);
    asn1KeyFree_Name(codec, from);
}

// A copy of a Name by encoding and decoding it.
QELStatus copyName(ASN1Context *codec, ASN1Key_Name *from, ASN1Key_Name &to)
{
    Bytes der;
    if (QELStatus s = encodeRecord(codec, asn1KeySizeof_Name, asn1KeyPack_Name, from, der); s != QELError_NoErr)
        return s;
    ASN1Key_Name *copy = nullptr;
    if (QELStatus s = decodeWhole(codec, asn1KeyUnpack_Name, asn1KeyFree_Name, &copy, der.data(), der.size());
        s != QELError_NoErr)
        return s;
    moveName(codec, copy, to);
    return QELError_NoErr;
}

// A Time choice holding the time's text: UTCTime up to 2049, then
// GeneralizedTime. Times that no four-digit year holds are refused.
QELStatus setTime(ASN1Context *codec, ASN1Key_Time &time, std::int64_t seconds)
{
    char text[16];
    const int n = qelX509FormatTime(seconds, text);
    if (n == 0)
        return QELError_BadParams;
    auto *record = asn1New_OctetString(codec);
    if (record == nullptr)
        return QELError_OutOfMemory;
    if (asn1SetOctetString(codec, record, reinterpret_cast<const u8 *>(text), static_cast<std::uint64_t>(n)) != 0) {
        asn1Free_OctetString(codec, record);
        return QELError_OutOfMemory;
    }
    if (time.alternative != nullptr)
        asn1Free_OctetString(codec, static_cast<ASN1_OctetString *>(time.alternative));
    time.identifier = n == 15 ? 0x18 : 0x17;
    time.alternative = record;
    return QELError_NoErr;
}

// The signing algorithm of a key: md5WithRSAEncryption for RSA,
// dsa-with-sha1 for DSA; the hash that goes with it.
struct Signer {
    QELKeyObject *key = nullptr;
    std::int32_t hash = 0;
    const u8 *oid = nullptr;
    std::size_t oidLength = 0;
    bool rsa = false;
};

QELStatus signerOf(QELKeyObject *key, Signer &out)
{
    u8 algorithm = 0;
    qelKeyObjGetKeyID(key, &algorithm, nullptr);
    out.key = key;
    if (algorithm == 1) {
        out = {key, QELHashAlgorithm_MD5, kMD5WithRSA, sizeof kMD5WithRSA, true};
        return QELError_NoErr;
    }
    if (algorithm == 17) {
        out = {key, QELHashAlgorithm_SHA1, kDSAWithSHA1, sizeof kDSAWithSHA1, false};
        return QELError_NoErr;
    }
    return QELError_BadParams;
}

// RFC 3279 gives RSA signature algorithms NULL parameters and DSA none.
QELStatus setAlgorithm(ASN1Context *codec, const Signer &signer, ASN1Key_AlgorithmIdentifier &algorithm)
{
    if (asn1SetOctetString(codec, &algorithm.algorithm, signer.oid, signer.oidLength) != 0)
        return QELError_OutOfMemory;
    if (!signer.rsa)
        return QELError_NoErr;
    if (algorithm.parameters == nullptr && (algorithm.parameters = asn1New_OctetString(codec)) == nullptr)
        return QELError_OutOfMemory;
    return asn1SetOctetString(codec, algorithm.parameters, kNull, sizeof kNull) == 0 ? QELError_NoErr
                                                                                      : QELError_OutOfMemory;
}

// A hash handed to SignHash is theirs once they took their arguments; a
// refusal before that leaves it with us.
struct HashOwner {
    QELHashContext *hash = nullptr;
    ~HashOwner()
    {
        if (hash != nullptr)
            static_cast<void>(qelHashFree(hash));
    }
    void handedOver(QELStatus s)
    {
        if (s != QELError_BadParams && s != QELError_FeatureNotAvailable && s != QELError_NoKeyDB)
            hash = nullptr;
    }
};

// The signature over the DER to-be-signed octets, with the key unlocked by
// the issuer's secret: RSA as long as the modulus (the key operation drops
// leading zero octets, which X.509 readers refuse), DSA as the DER SEQUENCE
// of r and s. A wrong secret gives the key operation's status.
QELStatus sign(QELContext *context, const Signer &signer, const QELX509IssueArgs *args, const Bytes &tbs,
               Bytes &signature)
{
    QELOptionList *secret =
        args->secret == nullptr ? qelOptionNull(context)
        : args->secretIsPasskey ? qelOptionPasskeyBuffer(context, args->secret, args->secretLength)
                                : qelOptionPassphraseBuffer(context, args->secret, args->secretLength);
    QELPrivateKeyContext *raw = nullptr;
    QELStatus s = qelPrivateKeyContextNew(signer.key, 3, &raw, secret, qelOptionLastOption(context));
    if (s != QELError_NoErr)
        return s;
    const qel::Owned<QELPrivateKeyContext, qelPrivateKeyContextFree> key(raw);
    HashOwner hash;
    if ((s = qelHashNew(context, signer.hash, &hash.hash)) != QELError_NoErr ||
        (s = qelHashUpdate(hash.hash, tbs.data(), tbs.size())) != QELError_NoErr)
        return s;
    std::uint64_t plain = 0, cipher = 0, maximum = 0;
    if ((s = qelPrivateKeyContextGetSizes(key.get(), &plain, &cipher, &maximum)) != QELError_NoErr)
        return s;
    if (maximum == 0)
        return QELError_KeyUnusableForSignature;
    signature.assign(static_cast<std::size_t>(maximum), 0);
    std::uint64_t produced = 0;
    s = qelPrivateKeySignHash(key.get(), hash.hash, signature.data(), &produced);
    hash.handedOver(s);
    if (s != QELError_NoErr)
        return s;
    if (produced > maximum)
        return QELError_BufferTooSmall;
    signature.resize(static_cast<std::size_t>(produced));
    if (signer.rsa && produced < maximum)
        signature.insert(signature.begin(), static_cast<std::size_t>(maximum - produced), 0);
    return QELError_NoErr;
}

// The issuer Name of what caObject signs: a key signs for itself, a
// signature object carries the CA's own certificate.
QELStatus issuerName(QELContext *context, ASN1Context *codec, QELKeyObject *caObject, ASN1Key_Name *subject,
                     ASN1Key_Name &issuer)
{
    if (qelKeyObjIsKey(caObject) || qelKeyObjIsSubKey(caObject))
        return copyName(codec, subject, issuer);
    std::size_t length = 0;
    const u8 *der = qelKeyObjSigX509Data(caObject, &length);
    if (der == nullptr)
        return QELError_BadParams;
    CertRecord ca(codec);
    QELStatus s = decodeWhole(codec, asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, ca.out(), der, length);
    if (s != QELError_NoErr)
        return s;
    static_cast<void>(context);
    std::swap(ca->tbsCertificate.subject, issuer);
    return QELError_NoErr;
}

QELStatus signingKey(QELKeyObject *caObject, Signer &signer)
{
    QELKeyObject *key = (qelKeyObjIsKey(caObject) || qelKeyObjIsSubKey(caObject)) ? caObject
                                                                                  : qelKeyObjTopKey(caObject);
    return key != nullptr ? signerOf(key, signer) : QELError_BadParams;
}

// notBefore (0: now) and notAfter, 64-bit: a start in 2106 plus a century
// is written as it is.
QELStatus validity(std::int64_t start, std::int32_t days, std::int64_t &from, std::int64_t &to)
{
    if (days < 0)
        return QELError_BadParams;
    from = start != 0 ? start : static_cast<std::int64_t>(qelTimeDateNow());
    to = from + (days != 0 ? static_cast<std::int64_t>(days) * 86400 : kDefaultValidity);
    return QELError_NoErr;
}

// The first live signature object of the set carrying exactly these
// certificate octets.
QELStatus findIssued(QELKeySet *set, const Bytes &der, QELKeyObject **out)
{
    QELKeyIter *iter = nullptr;
    QELStatus s = qelKeyIterNewOnSet(set, &iter);
    if (s != QELError_NoErr)
        return s;
    const qel::Owned<QELKeyIter, qelKeyIterFree> owned(iter);
    for (;;) {
        QELKeyObject *object = nullptr;
        if ((s = qelKeyIterNextObject(iter, &object)) != QELError_NoErr)
            return s;
        if (!qelKeyObjIsLiveSignature(object) || !qelKeyObjSigIsX509(object))
            continue;
        std::size_t length = 0;
        const u8 *carried = qelKeyObjSigX509Data(object, &length);
        if (carried != nullptr && length == der.size() && std::memcmp(carried, der.data(), length) == 0) {
            *out = object;
            return QELError_NoErr;
        }
    }
}

// The key of a SubjectPublicKeyInfo, as the one key of a new database: the
// same key packet a certificate with that key would give.
QELStatus keyOfSPKI(QELContext *context, ASN1Context *codec, ASN1Key_SubjectPublicKeyInfo *spki, QELKeyDB **outDB,
                    QELKeyObject **outKey)
{
    *outDB = nullptr;
    *outKey = nullptr;
    CertRecord holder(codec);
    *holder.out() = asn1KeyNew_Certificate(codec);
    if (!holder)
        return QELError_OutOfMemory;
    std::swap(holder->tbsCertificate.subjectPublicKeyInfo, *spki);
    std::size_t size = 0;
    QELStatus s = qelX509MakeKeyPacketBody(context, nullptr, codec, holder.get(), nullptr, nullptr, &size);
    Bytes ring;
    if (s == QELError_NoErr && size > 0xFFFF)
        s = QELError_PacketTooLarge;
    if (s == QELError_NoErr) {
        ring.assign(size + 3, 0);
        ring[0] = 0x99;
        ring[1] = static_cast<u8>(size >> 8);
        ring[2] = static_cast<u8>(size);
        s = qelX509MakeKeyPacketBody(context, nullptr, codec, holder.get(), nullptr, ring.data() + 3, &size);
    }
    std::swap(holder->tbsCertificate.subjectPublicKeyInfo, *spki);
    if (s != QELError_NoErr)
        return s;
    QELKeyDB *db = nullptr;
    if ((s = qelKeyDBOpenFromBuffer(context, ring.data(), ring.size(), &db)) != QELError_NoErr)
        return s;
    for (QELKeyObject *o = db->firstKey; o != nullptr; o = o->next)
        if (qelKeyObjIsLive(o) && qelKeyObjType(o) == QELObjectType_Key) {
            *outKey = o;
            break;
        }
    if (*outKey == nullptr) {
        static_cast<void>(qelKeyDBRelease(db));
        return QELError_CertificateNotFound;
    }
    *outDB = db;
    return QELError_NoErr;
}

QELStatus releaseDB(QELKeyDB *db) { return qelKeyDBRelease(db); }
using OwnedDB = qel::Owned<QELKeyDB, releaseDB>;

} // namespace

QELStatus qelX509VerifyRequest(QELContext *context, const std::uint8_t *der, std::size_t length)
{
    if (der == nullptr || length == 0)
        return QELError_BadParams;
    return qel::noThrow([&]() -> QELStatus {
        QELX509Codec codec(mgrOf(context));
        RequestRecord request(codec.get());
        QELStatus s = decodeWhole(codec.get(), asn1KeyUnpack_CertificationRequest, asn1KeyFree_CertificationRequest,
                                  request.out(), der, length);
        if (s != QELError_NoErr)
            return s;
        QELKeyDB *db = nullptr;
        QELKeyObject *key = nullptr;
        if ((s = keyOfSPKI(context, codec.get(), &request->certificationRequestInfo.subjectPKInfo, &db, &key)) !=
            QELError_NoErr)
            return s;
        const OwnedDB owned(db);
        // A request has the shape of any signed X.509 object: the signed
        // info, the algorithm and the signature.
        return qelX509VerifyWithKey(key, der, length);
    });
}

QELStatus qelX509SignNewCertificate(QELContext *context, ASN1Context *codec, QELKeyObject *caObject,
                                    std::int64_t startTime, std::int32_t days, const QELX509IssueArgs *args,
                                    ASN1Key_Certificate *certificate)
{
    if (codec == nullptr || caObject == nullptr || args == nullptr || certificate == nullptr)
        return QELError_BadParams;
    Signer signer;
    QELStatus s = signingKey(caObject, signer);
    if (s != QELError_NoErr)
        return s;
    ASN1Key_TBSCertificate &tbs = certificate->tbsCertificate;
    // A positive serial number of 16 random octets, its first octet never
    // zero, so that the INTEGER is minimal and keeps all 16.
    u8 serial[kSerialLength];
    if ((s = qelContextGetRandomBytes(context, serial, sizeof serial)) != QELError_NoErr)
        return s;
    serial[0] &= 0x7F;
    if (serial[0] == 0)
        serial[0] = 1;
    if (tbs.version == nullptr && (tbs.version = asn1New_OctetString(codec)) == nullptr)
        return QELError_OutOfMemory;
    if (asn1SetIntegerValue(codec, tbs.version, 2) != 0 ||
        asn1SetUnsignedInteger(codec, &tbs.serialNumber, serial, sizeof serial) != 0)
        return QELError_OutOfMemory;
    if ((s = setAlgorithm(codec, signer, tbs.signature)) != QELError_NoErr ||
        (s = issuerName(context, codec, caObject, &tbs.subject, tbs.issuer)) != QELError_NoErr)
        return s;
    std::int64_t from = 0, to = 0;
    if ((s = validity(startTime, days, from, to)) != QELError_NoErr ||
        (s = setTime(codec, tbs.validity.notBefore, from)) != QELError_NoErr ||
        (s = setTime(codec, tbs.validity.notAfter, to)) != QELError_NoErr)
        return s;
    SDKBlock extensions;
    if ((s = qelExtensionsFromAttributes(context, args->attributes, static_cast<std::uint32_t>(args->attributeCount),
                                         &extensions.p, &extensions.n)) != QELError_NoErr)
        return s;
    if (extensions.n != 0) {
        ExtensionsRecord decoded(codec);
        if ((s = decodeWhole(codec, asn1KeyUnpack_Extensions, asn1KeyFree_Extensions, decoded.out(), extensions.p,
                             static_cast<std::size_t>(extensions.n))) != QELError_NoErr)
            return s;
        if (tbs.extensions != nullptr)
            asn1KeyFree_Extensions(codec, tbs.extensions);
        tbs.extensions = decoded.get();
        *decoded.out() = nullptr;
    }
    Bytes tbsDER, signature;
    if ((s = encodeRecord(codec, asn1KeySizeof_TBSCertificate, asn1KeyPack_TBSCertificate, &tbs, tbsDER)) !=
            QELError_NoErr ||
        (s = sign(context, signer, args, tbsDER, signature)) != QELError_NoErr)
        return s;
    if ((s = setAlgorithm(codec, signer, certificate->signatureAlgorithm)) != QELError_NoErr)
        return s;
    return asn1SetBitString(codec, &certificate->signatureValue, signature.data(), signature.size(), 0) == 0
               ? QELError_NoErr
               : QELError_OutOfMemory;
}

QELStatus qelX509CreateCertificate(QELKeyObject *issuer, QELKeyObject *subject, const std::uint8_t *request,
                                   std::size_t requestLength, const QELX509IssueArgs *args, QELKeyObject **outSig)
{
    if (outSig == nullptr || args == nullptr || !qelKeyObjIsValid(issuer))
        return QELError_BadParams;
    *outSig = nullptr;
    const bool issuerIsKey = qelKeyObjIsKey(issuer) || qelKeyObjIsSubKey(issuer);
    if (subject == nullptr) {
        if (request == nullptr || requestLength == 0 || !qelKeyObjIsSignature(issuer))
            return QELError_BadParams;
    } else if (!qelKeyObjIsSignature(issuer) && !(issuerIsKey && issuer == subject)) {
        return QELError_BadParams;
    }
    std::size_t carried = 0;
    if (qelKeyObjIsSignature(issuer) && qelKeyObjSigX509Data(issuer, &carried) == nullptr)
        return QELError_BadParams;
    QELContext *context = qelKeyObjContext(issuer);
    return qel::noThrow([&]() -> QELStatus {
        QELX509Codec codec(mgrOf(context));
        CertRecord certificate(codec.get());
        *certificate.out() = asn1KeyNew_Certificate(codec.get());
        if (!certificate)
            return QELError_OutOfMemory;
        ASN1Key_TBSCertificate &tbs = certificate->tbsCertificate;
        QELKeyDB *target = nullptr;
        QELStatus s = QELError_NoErr;
        if (subject == nullptr) {
            // A request is issued only when its own signature verifies: its
            // subject proves it holds the key it asks a certificate for.
            if ((s = qelX509VerifyRequest(context, request, requestLength)) != QELError_NoErr)
                return s;
            RequestRecord decoded(codec.get());
            if ((s = decodeWhole(codec.get(), asn1KeyUnpack_CertificationRequest, asn1KeyFree_CertificationRequest,
                                 decoded.out(), request, requestLength)) != QELError_NoErr)
                return s;
            std::swap(decoded->certificationRequestInfo.subject, tbs.subject);
            std::swap(decoded->certificationRequestInfo.subjectPKInfo, tbs.subjectPublicKeyInfo);
            target = qelKeyObjKeyDB(issuer);
        } else {
            SDKBlock name;
            if ((s = qelDNFromAttributes(context, args->attributes, static_cast<std::uint32_t>(args->attributeCount),
                                         &name.p, &name.n)) != QELError_NoErr)
                return s;
            ASN1Key_Name *decoded = nullptr;
            if ((s = decodeWhole(codec.get(), asn1KeyUnpack_Name, asn1KeyFree_Name, &decoded, name.p,
                                 static_cast<std::size_t>(name.n))) != QELError_NoErr)
                return s;
            moveName(codec.get(), decoded, tbs.subject);
            if ((s = qelX509BuildSubjectPublicKeyInfo(codec.get(), mgrOf(context), subject,
                                                      &tbs.subjectPublicKeyInfo)) != QELError_NoErr)
                return s;
            target = qelKeyObjKeyDB(subject);
        }
        if ((s = qelX509SignNewCertificate(context, codec.get(), issuer, args->creation, args->validityDays, args,
                                           certificate.get())) != QELError_NoErr)
            return s;
        Bytes der;
        if ((s = encodeRecord(codec.get(), asn1KeySizeof_Certificate, asn1KeyPack_Certificate, certificate.get(),
                              der)) != QELError_NoErr)
            return s;
        QELKeyDB *ring = nullptr;
        if ((s = qelX509CertToKeyRing(context, codec.get(), certificate.get(), der.data(), der.size(), target,
                                      &ring)) != QELError_NoErr)
            return s;
        const OwnedDB ringOwned(ring);
        QELKeySet *added = nullptr;
        if ((s = qelKeyDBAddKeySet(qelKeyDBRootSet(ring), target, &added)) != QELError_NoErr)
            return s;
        const qel::Owned<QELKeySet, qelKeySetRelease> addedOwned(added);
        QELKeyObject *found = nullptr;
        if ((s = findIssued(added, der, &found)) != QELError_NoErr)
            return s;
        *outSig = found;
        return QELError_NoErr;
    });
}

QELStatus qelX509CreateCRL(QELKeyObject *issuer, QELKeySet *revoked, const QELX509IssueArgs *args)
{
    if (args == nullptr || !qelKeyObjIsSignature(issuer) || !qelKeySetIsValid(revoked))
        return QELError_BadParams;
    std::size_t caLength = 0;
    const u8 *caDER = qelKeyObjSigX509Data(issuer, &caLength);
    if (caDER == nullptr)
        return QELError_BadParams;
    QELContext *context = qelKeyObjContext(issuer);
    QELKeyDB *caDB = qelKeyObjKeyDB(issuer);
    return qel::noThrow([&]() -> QELStatus {
        Signer signer;
        QELStatus s = signingKey(issuer, signer);
        if (s != QELError_NoErr)
            return s;
        QELX509Codec codec(mgrOf(context));
        ASN1Context *c = codec.get();
        CRLsRecord lists(c);
        *lists.out() = asn1KeyNew_CertificateRevocationLists(c);
        ASN1Key_CertificateList *crl = asn1KeyNew_CertificateList(c);
        if (!lists || crl == nullptr || asn1AppendElement(c, crl, lists.get()) != 0) {
            if (crl != nullptr)
                asn1KeyFree_CertificateList(c, crl);
            return QELError_OutOfMemory;
        }
        ASN1Key_TBSCertList &tbs = crl->tbsCertList;
        if ((tbs.version = asn1New_OctetString(c)) == nullptr || asn1SetIntegerValue(c, tbs.version, 1) != 0)
            return QELError_OutOfMemory;
        std::int64_t thisUpdate = 0, nextUpdate = 0;
        if ((s = setAlgorithm(c, signer, tbs.signature)) != QELError_NoErr ||
            (s = issuerName(context, c, issuer, nullptr, tbs.issuer)) != QELError_NoErr ||
            (s = validity(args->creation, args->validityDays, thisUpdate, nextUpdate)) != QELError_NoErr ||
            (s = setTime(c, tbs.thisUpdate, thisUpdate)) != QELError_NoErr)
            return s;
        if ((tbs.nextUpdate = asn1KeyNew_Time(c)) == nullptr)
            return QELError_OutOfMemory;
        if ((s = setTime(c, *tbs.nextUpdate, nextUpdate)) != QELError_NoErr)
            return s;
        // Every certificate of the set this CA issued; the others are
        // passed over.
        QELKeyIter *iter = nullptr;
        if ((s = qelKeyIterNewOnSet(revoked, &iter)) != QELError_NoErr)
            return s;
        const qel::Owned<QELKeyIter, qelKeyIterFree> iterOwned(iter);
        QELKeyObject *object = nullptr;
        while (qelKeyIterNext(iter, QELKeyIterLevel_Any, &object) == QELError_NoErr && object != nullptr) {
            if (!qelKeyObjIsLiveSignature(object) || !qelKeyObjSigIsX509(object))
                continue;
            QELKeyObject *found = nullptr;
            if (qelKeyFindIssuerCertificate(object, caDB, &found) != QELError_NoErr || found != issuer)
                continue;
            std::size_t length = 0;
            const u8 *der = qelKeyObjSigX509Data(object, &length);
            CertRecord revokedCert(c);
            if ((s = decodeWhole(c, asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, revokedCert.out(), der,
                                 length)) != QELError_NoErr)
                return s;
            if (tbs.revokedCertificates == nullptr &&
                (tbs.revokedCertificates = asn1KeyNew_RevokedCertificates(c)) == nullptr)
                return QELError_OutOfMemory;
            ASN1Key_RevokedCertificate *entry = asn1KeyNew_RevokedCertificate(c);
            if (entry == nullptr)
                return QELError_OutOfMemory;
            std::swap(entry->userCertificate, revokedCert->tbsCertificate.serialNumber);
            if ((s = setTime(c, entry->revocationDate, thisUpdate)) != QELError_NoErr ||
                asn1AppendElement(c, entry, tbs.revokedCertificates) != 0) {
                asn1KeyFree_RevokedCertificate(c, entry);
                return s != QELError_NoErr ? s : QELError_OutOfMemory;
            }
        }
        Bytes tbsDER, signature, der;
        if ((s = encodeRecord(c, asn1KeySizeof_TBSCertList, asn1KeyPack_TBSCertList, &tbs, tbsDER)) !=
                QELError_NoErr ||
            (s = sign(context, signer, args, tbsDER, signature)) != QELError_NoErr ||
            (s = setAlgorithm(c, signer, crl->signatureAlgorithm)) != QELError_NoErr)
            return s;
        if (asn1SetBitString(c, &crl->signatureValue, signature.data(), signature.size(), 0) != 0)
            return QELError_OutOfMemory;
        if ((s = encodeRecord(c, asn1KeySizeof_CertificateRevocationLists, asn1KeyPack_CertificateRevocationLists,
                              lists.get(), der)) != QELError_NoErr)
            return s;
        QELKeyDB *crlDB = nullptr;
        if ((s = qelX509ImportCRLs(der.data(), der.size(), context, caDB, &crlDB, nullptr)) != QELError_NoErr)
            return s;
        if (crlDB == nullptr)
            return QELError_NoErr;
        const OwnedDB crlOwned(crlDB);
        return qelKeyDBAddKeySet(qelKeyDBRootSet(crlDB), caDB, nullptr);
    });
}

int qelPKISDKVerifyWithCertificate(const uint8_t *signedData, uint64_t signedLength, const uint8_t *algorithmOID,
                                   uint64_t algorithmOIDLength, const uint8_t *, uint64_t, const uint8_t *signature,
                                   uint64_t signatureLength, const uint8_t *, uint64_t, QELPKICertificate *issuer,
                                   void *userData, QELPKIContext *context)
{
    const auto *cb = static_cast<const QELPKICallbackData *>(userData);
    if (issuer == nullptr || cb == nullptr || cb->context == nullptr || context == nullptr || signature == nullptr ||
        (signedData == nullptr && signedLength != 0))
        return QELPKIError_InvalidArguments;
    const std::int32_t hashId = qelPKISDKHashFromSigOID(algorithmOID, algorithmOIDLength);
    if (hashId == 0)
        return QELPKIError_InvalidArguments;
    std::uint8_t *der = nullptr;
    std::uint64_t length = 0;
    if (qelPKICertificateEncode(&der, &length, issuer, context) != 0)
        return QELPKIError_InvalidArguments;
    QELKeyDB *db = nullptr;
    const QELStatus imported = qelX509ImportCertificate(der, static_cast<std::size_t>(length), cb->context, nullptr, &db);
    qel::pki::release(context, der);
    if (imported != QELError_NoErr)
        return QELPKIError_InvalidArguments;
    const OwnedDB owned(db);
    QELKeyObject *key = nullptr;
    for (QELKeyObject *o = db->firstKey; o != nullptr && key == nullptr; o = o->next)
        if (qelKeyObjIsLive(o) && qelKeyObjType(o) == QELObjectType_Key)
            key = o;
    QELPublicKeyContext *raw = nullptr;
    if (key == nullptr || qelPublicKeyContextNew(key, 3, &raw) != QELError_NoErr)
        return QELPKIError_InvalidArguments;
    const qel::Owned<QELPublicKeyContext, qelPublicKeyContextFree> publicKey(raw);
    HashOwner hash;
    if (qelHashNew(cb->context, hashId, &hash.hash) != QELError_NoErr ||
        (signedLength != 0 && qelHashUpdate(hash.hash, signedData, signedLength) != QELError_NoErr))
        return QELPKIError_InvalidArguments;
    const QELStatus s = qelPublicKeyVerifyHash(publicKey.get(), hash.hash, signature, signatureLength);
    hash.handedOver(s);
    return s == QELError_NoErr ? 0 : QELPKIError_InvalidArguments;
}
