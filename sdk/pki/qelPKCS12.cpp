// PKCS #12 import and export. Every secret (the password in both forms,
// derived keys and IVs, MAC keys, hash states, decrypted contents and keys)
// lives in secure blocks that are wiped when released; the MAC is compared
// in constant time.
#include "qelPKCS12Internal.h"

#include <algorithm>
#include <cstring>

#include "asn1PKCS12.h"
#include "asn1PKCS7.h"
#include "asn1PKCS8.h"
#include "qelAlgorithms.h"
#include "qelCBC.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelPKICertificateInternal.h"
#include "qelPKIContextInternal.h"
#include "qelPKIConvertInternal.h"
#include "qelSymmetricCipher.h"
#include "qelWipe.h"
#include "qelX509KeysInternal.h"

using qel::ByteCursor;
using qel::WipedBuffer;
using qel::pki::CodecBlock;
using qel::pki::Held;
using qel::pki::packRecord;
using qel::pki::sameBytes;

namespace {

using u8 = std::uint8_t;

// ---- object identifiers (content octets) -------------------------------------------------
constexpr u8 kData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
constexpr u8 kEncryptedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x06};
constexpr u8 kPbePrefix[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x01};
constexpr u8 kBagPrefix[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x0A, 0x01};
constexpr u8 kBagKey = 1, kBagShrouded = 2, kBagCert = 3;
constexpr u8 kPbe3DES = 3, kPbeRC2_128 = 5, kPbeRC2_40 = 6;
constexpr u8 kPbeWith3DES[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x01, kPbe3DES};
constexpr u8 kX509Certificate[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x16, 0x01};
constexpr u8 kFriendlyName[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x14};
constexpr u8 kLocalKeyId[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x15};
constexpr u8 kPBES2[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05, 0x0D};
constexpr u8 kPBKDF2[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05, 0x0C};
constexpr u8 kRSAEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
constexpr u8 kSHA1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};

struct OIDToId {
    const u8 *oid;
    std::size_t length;
    std::int32_t id;
};

constexpr u8 kSHA256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
constexpr u8 kSHA384[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
constexpr u8 kSHA512[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};
constexpr u8 kSHA224[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04};
// The MAC's digest algorithm.
constexpr OIDToId kDigests[] = {
    {kSHA1, sizeof kSHA1, QELHashAlgorithm_SHA1},       {kSHA256, sizeof kSHA256, QELHashAlgorithm_SHA256},
    {kSHA384, sizeof kSHA384, QELHashAlgorithm_SHA384}, {kSHA512, sizeof kSHA512, QELHashAlgorithm_SHA512},
    {kSHA224, sizeof kSHA224, QELHashAlgorithm_SHA224},
};

constexpr u8 kHmacSHA1[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x07};
constexpr u8 kHmacSHA224[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x08};
constexpr u8 kHmacSHA256[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x09};
constexpr u8 kHmacSHA384[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x0A};
constexpr u8 kHmacSHA512[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x0B};
// PBKDF2's pseudo-random function.
constexpr OIDToId kPRFs[] = {
    {kHmacSHA1, sizeof kHmacSHA1, QELHashAlgorithm_SHA1},       {kHmacSHA224, sizeof kHmacSHA224, QELHashAlgorithm_SHA224},
    {kHmacSHA256, sizeof kHmacSHA256, QELHashAlgorithm_SHA256}, {kHmacSHA384, sizeof kHmacSHA384, QELHashAlgorithm_SHA384},
    {kHmacSHA512, sizeof kHmacSHA512, QELHashAlgorithm_SHA512},
};

constexpr u8 kAES128CBC[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x02};
constexpr u8 kAES192CBC[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x16};
constexpr u8 kAES256CBC[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2A};
constexpr u8 kDESEDE3CBC[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07};
// PBES2's encryption scheme (all CBC with the IV as an OCTET STRING).
constexpr OIDToId kSchemes[] = {
    {kAES128CBC, sizeof kAES128CBC, QELCipherAlgorithm_AES128},
    {kAES192CBC, sizeof kAES192CBC, QELCipherAlgorithm_AES192},
    {kAES256CBC, sizeof kAES256CBC, QELCipherAlgorithm_AES256},
    {kDESEDE3CBC, sizeof kDESEDE3CBC, QELCipherAlgorithm_3DES},
};

std::int32_t lookup(const OIDToId *table, std::size_t count, const u8 *oid, std::uint64_t length)
{
    for (std::size_t i = 0; i < count; ++i)
        if (sameBytes(table[i].oid, table[i].length, oid, length))
            return table[i].id;
    return 0;
}
template <std::size_t N>
std::int32_t lookup(const OIDToId (&table)[N], const ASN1_ObjectIdentifier &oid)
{
    return lookup(table, N, oid.data, oid.length);
}
template <std::size_t N>
bool isOID(const ASN1_ObjectIdentifier &oid, const u8 (&expected)[N])
{
    return sameBytes(oid.data, oid.length, expected, N);
}

// ---- memory -------------------------------------------------------------------------------
QELMemoryMgr *mgrOf(ASN1Context *codec) { return static_cast<QELMemoryMgr *>(codec->allocator->userData); }

u8 *takeSecureCopy(QELMemoryMgr *mgr, const u8 *data, std::size_t length)
{
    auto *block = static_cast<u8 *>(qelMemAllocSecure(mgr, length != 0 ? length : 1, 0));
    if (block != nullptr && length != 0)
        std::memcpy(block, data, length);
    return block;
}

void freeWiped(u8 *block, std::size_t length)
{
    if (block != nullptr) {
        qelSecureWipe(block, length);
        static_cast<void>(qelMemFree(block)); // a block this module allocated
    }
}

// A secure block handed out by a helper, wiped and freed on every exit.
struct SecureBlock {
    u8 *data = nullptr;
    std::size_t length = 0;
    SecureBlock() = default;
    SecureBlock(const SecureBlock &) = delete;
    SecureBlock &operator=(const SecureBlock &) = delete;
    ~SecureBlock() { reset(); }
    void reset()
    {
        freeWiped(data, length);
        data = nullptr;
        length = 0;
    }
    u8 *release()
    {
        u8 *d = data;
        data = nullptr;
        length = 0;
        return d;
    }
};

bool equalConstantTime(const u8 *a, const u8 *b, std::size_t n)
{
    u8 diff = 0;
    for (std::size_t i = 0; i < n; ++i)
        diff = static_cast<u8>(diff | (a[i] ^ b[i]));
    return diff == 0;
}

// A raw codec status, and a status of packRecord (toolkit codes).
QELStatus fromCodec(std::int32_t err, QELStatus otherwise)
{
    return err == ASN1Error_OutOfMemory ? QELError_OutOfMemory : otherwise;
}
QELStatus fromPack(std::int32_t status)
{
    return status == QELPKIError_OutOfMemory ? QELError_OutOfMemory : QELError_ASN1Error;
}

// ---- hashing over a descriptor, state in secure memory ---------------------------------------
class Digest {
public:
    Digest(QELMemoryMgr *mgr, std::int32_t hashId) : d_(qelHashDescriptorFind(hashId))
    {
        if (d_ != nullptr && !state_.reset(mgr, d_->stateSize))
            d_ = nullptr;
    }
    bool ok() const { return d_ != nullptr; }
    const QELHashDescriptor *descriptor() const { return d_; }
    void *state() const { return state_.get(); }
    void init() { d_->init(state_.get()); }
    void update(const void *data, std::size_t n)
    {
        if (n != 0)
            d_->update(state_.get(), data, n);
    }
    const u8 *final() { return d_->final(state_.get()); }

private:
    const QELHashDescriptor *d_;
    WipedBuffer<u8> state_;
};

// HMAC with the two padded key blocks absorbed once; each MAC then starts
// from copies of those states.
class Hmac {
public:
    Hmac(QELMemoryMgr *mgr, std::int32_t hashId, const u8 *key, std::size_t keyLength)
        : inner_(mgr, hashId), outer_(mgr, hashId), work_(mgr, hashId)
    {
        if (!inner_.ok() || !outer_.ok() || !work_.ok())
            return;
        const QELHashDescriptor *d = inner_.descriptor();
        WipedBuffer<u8> block(mgr, d->blockSize);
        if (!block)
            return;
        if (keyLength > d->blockSize) {
            work_.init();
            work_.update(key, keyLength);
            std::memcpy(block.get(), work_.final(), d->digestSize);
        } else if (keyLength != 0) {
            std::memcpy(block.get(), key, keyLength);
        }
        for (std::size_t i = 0; i < d->blockSize; ++i)
            block[i] ^= 0x36;
        inner_.init();
        inner_.update(block.get(), d->blockSize);
        for (std::size_t i = 0; i < d->blockSize; ++i)
            block[i] ^= 0x36 ^ 0x5C;
        outer_.init();
        outer_.update(block.get(), d->blockSize);
        ready_ = true;
    }
    bool ok() const { return ready_; }
    std::size_t size() const { return inner_.descriptor()->digestSize; }
    // MAC of (a || b) into out (size() octets).
    void mac(const u8 *a, std::size_t aLength, const u8 *b, std::size_t bLength, u8 *out)
    {
        const QELHashDescriptor *d = inner_.descriptor();
        std::memcpy(work_.state(), inner_.state(), d->stateSize);
        work_.update(a, aLength);
        work_.update(b, bLength);
        std::memcpy(out, work_.final(), d->digestSize);
        std::memcpy(work_.state(), outer_.state(), d->stateSize);
        work_.update(out, d->digestSize);
        std::memcpy(out, work_.final(), d->digestSize);
    }

private:
    Digest inner_, outer_, work_;
    bool ready_ = false;
};

bool iterationsAllowed(std::int64_t iterations) { return iterations >= 1 && iterations <= kQELPKCS12MaxIterations; }

// ---- CBC with the PKCS #5 padding -------------------------------------------------------------
class Cbc {
public:
    ~Cbc()
    {
        if (cbc_ != nullptr)
            static_cast<void>(qelCBCFree(cbc_));
        else if (cipher_ != nullptr)
            static_cast<void>(qelSymmetricCipherFree(cipher_));
    }
    QELStatus open(QELContext *context, std::int32_t algorithm)
    {
        QELStatus s = qelSymmetricCipherNew(context, algorithm, &cipher_);
        if (s != 0)
            return s;
        s = qelSymmetricCipherGetSizes(cipher_, &keySize, &blockSize);
        if (s != 0)
            return s;
        s = qelCBCCreate(cipher_, &cbc_);
        if (s != 0)
            return s;
        return 0;
    }
    QELStatus init(const u8 *key, const u8 *iv) { return qelCBCInit(cbc_, key, iv); }
    QELCBCContext *get() const { return cbc_; }
    std::size_t keySize = 0;
    std::size_t blockSize = 0;

private:
    QELSymmetricCipher *cipher_ = nullptr;
    QELCBCContext *cbc_ = nullptr;
};

// Decrypts whole blocks and checks every padding octet; an empty or ragged
// input, or a padding octet out of 1..block, is refused without telling
// which check failed.
QELStatus cbcDecryptPadded(Cbc &cbc, QELMemoryMgr *mgr, const u8 *in, std::uint64_t length, u8 **out,
                           std::uint64_t *outLength)
{
    const std::size_t bs = cbc.blockSize;
    if (length == 0 || bs == 0 || length % bs != 0 || length > (std::uint64_t{1} << 30))
        return QELError_PKIOperationFailed;
    SecureBlock plain;
    plain.data = static_cast<u8 *>(qelMemAllocSecure(mgr, static_cast<std::size_t>(length), 0));
    if (plain.data == nullptr)
        return QELError_OutOfMemory;
    plain.length = static_cast<std::size_t>(length);
    QELStatus s = qelCBCDecrypt(cbc.get(), in, plain.length, plain.data);
    if (s != 0)
        return s;
    const u8 pad = plain.data[plain.length - 1];
    u8 bad = static_cast<u8>((pad == 0) | (pad > bs));
    for (std::size_t i = 1; i <= bs; ++i) {
        // Every octet inside the claimed padding must equal it.
        const u8 inside = static_cast<u8>(i <= pad);
        bad = static_cast<u8>(bad | (inside & (plain.data[plain.length - i] != pad)));
    }
    if (bad != 0)
        return QELError_PKIOperationFailed;
    *outLength = plain.length - pad;
    *out = plain.release();
    return 0;
}

// Encrypts with a padding of 1..block octets; the result is a block of the
// codec's allocator.
QELStatus cbcEncryptPadded(Cbc &cbc, ASN1Context *codec, const u8 *in, std::size_t length, ASN1_OctetString *out)
{
    const std::size_t bs = cbc.blockSize;
    const std::size_t full = length - length % bs;
    const std::size_t total = full + bs;
    WipedBuffer<u8> last(mgrOf(codec), bs);
    auto *block = static_cast<u8 *>(codec->allocator->alloc(codec->allocator, total));
    if (!last || block == nullptr) {
        if (block != nullptr)
            static_cast<void>(codec->allocator->free(codec->allocator, block));
        return QELError_OutOfMemory;
    }
    const std::size_t r = length - full;
    if (r != 0)
        std::memcpy(last.get(), in + full, r);
    std::memset(last.get() + r, static_cast<int>(bs - r), bs - r);
    QELStatus s = full != 0 ? qelCBCEncrypt(cbc.get(), in, full, block) : 0;
    if (s == 0)
        s = qelCBCEncrypt(cbc.get(), last.get(), bs, block + full);
    if (s != 0) {
        static_cast<void>(codec->allocator->free(codec->allocator, block));
        return s;
    }
    static_cast<void>(codec->allocator->free(codec->allocator, out->data));
    out->data = block;
    out->length = total;
    return 0;
}

// ---- a few DER reads for the PBES2 parameters -----------------------------------------------------
// One definite-length element of the expected identifier; its contents.
bool readElement(ByteCursor &in, u8 identifier, ByteCursor &contents)
{
    u8 tag = 0, first = 0;
    if (!in.u8(tag) || tag != identifier || !in.u8(first))
        return false;
    std::uint64_t length = first;
    if (first & 0x80) {
        const std::size_t octets = first & 0x7F;
        if (octets == 0 || octets > 4 || !in.beN(length, octets))
            return false;
    }
    return in.sub(static_cast<std::size_t>(length), contents);
}

// An INTEGER that is positive and fits 63 bits.
bool readCount(ByteCursor &in, std::int64_t &out)
{
    ByteCursor value;
    if (!readElement(in, 0x02, value) || value.empty() || value.remaining() > 8)
        return false;
    std::uint8_t top = 0;
    if (!value.peekU8(top) || (top & 0x80) != 0)
        return false;
    std::uint64_t v = 0;
    if (!value.beN(v, value.remaining()) || v > static_cast<std::uint64_t>(INT64_MAX))
        return false;
    out = static_cast<std::int64_t>(v);
    return true;
}

// An AlgorithmIdentifier: its OID contents and its parameters (empty when
// absent).
bool readAlgorithm(ByteCursor &in, std::span<const u8> &oid, ByteCursor &parameters)
{
    ByteCursor seq, oidCursor;
    if (!readElement(in, 0x30, seq) || !readElement(seq, 0x06, oidCursor))
        return false;
    oid = oidCursor.rest();
    parameters = ByteCursor(seq.rest());
    return true;
}

struct PBES2Params {
    std::span<const u8> salt;
    std::int64_t iterations = 0;
    std::int64_t keyLength = -1;
    std::int32_t prf = QELHashAlgorithm_SHA1;
    std::int32_t cipher = 0;
    std::span<const u8> iv;
};

// RFC 8018 PBES2-params with PBKDF2. QELError_UnknownHashAlgorithm for a
// derivation, PRF or scheme this SDK does not have; -11985 for anything
// malformed.
QELStatus readPBES2(const u8 *der, std::uint64_t length, PBES2Params &out)
{
    ByteCursor in(der, static_cast<std::size_t>(length)), params, kdfParams, schemeParams, pbkdf2, salt, iv;
    std::span<const u8> kdfOID, schemeOID;
    if (!readElement(in, 0x30, params) || !in.empty() || !readAlgorithm(params, kdfOID, kdfParams) ||
        !readAlgorithm(params, schemeOID, schemeParams) || !params.empty())
        return QELError_PKIOperationFailed;
    if (!sameBytes(kdfOID.data(), kdfOID.size(), kPBKDF2, sizeof kPBKDF2))
        return QELError_UnknownHashAlgorithm;
    if (!readElement(kdfParams, 0x30, pbkdf2) || !kdfParams.empty() || !readElement(pbkdf2, 0x04, salt) ||
        !readCount(pbkdf2, out.iterations))
        return QELError_PKIOperationFailed;
    out.salt = salt.rest();
    std::uint8_t next = 0;
    if (pbkdf2.peekU8(next) && next == 0x02 && !readCount(pbkdf2, out.keyLength))
        return QELError_PKIOperationFailed;
    if (!pbkdf2.empty()) {
        std::span<const u8> prfOID;
        ByteCursor prfParams;
        if (!readAlgorithm(pbkdf2, prfOID, prfParams) || !pbkdf2.empty())
            return QELError_PKIOperationFailed;
        out.prf = lookup(kPRFs, std::size(kPRFs), prfOID.data(), prfOID.size());
        if (out.prf == 0)
            return QELError_UnknownHashAlgorithm;
    }
    out.cipher = lookup(kSchemes, std::size(kSchemes), schemeOID.data(), schemeOID.size());
    if (out.cipher == 0)
        return QELError_UnknownHashAlgorithm;
    if (!readElement(schemeParams, 0x04, iv) || !schemeParams.empty())
        return QELError_PKIOperationFailed;
    out.iv = iv.rest();
    return 0;
}

// ---- records ------------------------------------------------------------------------------------------
using OctetsHeld = Held<ASN1_OctetString, asn1Free_OctetString>;

// Decodes exactly the given octets into a record.
template <typename R, void (*Free)(ASN1Context *, R *)>
QELStatus unpackAll(ASN1Context *codec, Held<R, Free> &out, const u8 *in, std::uint64_t length,
                    std::uint64_t (*unpack)(ASN1Context *, R **, const u8 *, std::uint64_t, std::int32_t *))
{
    std::int32_t err = 0;
    const std::uint64_t used = unpack(codec, out.out(), in, length, &err);
    if (err != 0 || used != length || out.get() == nullptr)
        return fromCodec(err, QELError_PKIOperationFailed);
    return 0;
}

// The octets of an OCTET STRING element (any length form).
QELStatus octetStringContents(ASN1Context *codec, const ASN1_Any *element, OctetsHeld &out)
{
    if (element == nullptr)
        return QELError_PKIOperationFailed;
    return unpackAll(codec, out, element->data, element->length, asn1Unpack_OctetString);
}

QELStatus setBytes(ASN1Context *codec, ASN1_OctetString &target, const u8 *data, std::size_t length)
{
    return asn1SetOctetString(codec, &target, data, length) == 0 ? 0 : QELError_OutOfMemory;
}

// A new ANY holding a whole element.
QELStatus newAny(ASN1Context *codec, ASN1_Any *&target, const u8 *data, std::size_t length)
{
    target = asn1New_OctetString(codec);
    if (target == nullptr)
        return QELError_OutOfMemory;
    return setBytes(codec, *target, data, length);
}

// A new ANY holding the DER of a record.
template <typename R>
QELStatus packIntoAny(ASN1Context *codec, ASN1_Any &target, R *record,
                      std::uint64_t (*size)(ASN1Context *, R *, std::int32_t),
                      std::uint64_t (*pack)(ASN1Context *, u8 *, std::uint64_t, R *, std::int32_t *))
{
    CodecBlock der(codec);
    const std::int32_t status = packRecord(&der.data, &der.length, record, codec, size, pack);
    if (status != 0)
        return fromPack(status);
    static_cast<void>(codec->allocator->free(codec->allocator, target.data));
    target.length = der.length;
    target.data = der.release();
    return 0;
}

// The DER of an OCTET STRING holding the octets, as a new ANY.
QELStatus wrapOctets(ASN1Context *codec, ASN1_Any &target, const u8 *data, std::size_t length)
{
    OctetsHeld octets(codec, asn1New_OctetString(codec));
    if (octets.get() == nullptr || setBytes(codec, *octets.get(), data, length) != 0)
        return QELError_OutOfMemory;
    return packIntoAny(codec, target, octets.get(), asn1Sizeof_OctetString, asn1Pack_OctetString);
}

// ---- password forms ------------------------------------------------------------------------------------
struct Password {
    SecureBlock text, bmp;
    QELPKCS12Password view{};
    QELStatus make(QELMemoryMgr *mgr, const char *password, std::uint64_t length)
    {
        if (password == nullptr && length != 0)
            return QELError_BadParams;
        if (length > (1u << 20))
            return QELError_BadParams;
        text.data = takeSecureCopy(mgr, reinterpret_cast<const u8 *>(password), static_cast<std::size_t>(length));
        if (text.data == nullptr)
            return QELError_OutOfMemory;
        text.length = static_cast<std::size_t>(length);
        const QELStatus s = qelPKCS12PasswordToBMP(mgr, text.data, text.length, &bmp.data, &bmp.length);
        view = {text.data, text.length, bmp.data, bmp.length};
        return s;
    }
};

// ---- the local key ID ---------------------------------------------------------------------------------------
// SHA-1 over the public part of the key: for RSA the modulus and exponent
// elements, which the certificate carries as well; for any other
// algorithm the PrivateKeyInfo's algorithm identifier and key octets
// hashed together (a one-way value).
QELStatus localKeyIdFor(QELMemoryMgr *mgr, const u8 *key, std::size_t keyLength, u8 out[20])
{
    Digest sha1(mgr, QELHashAlgorithm_SHA1);
    if (!sha1.ok())
        return QELError_OutOfMemory;
    sha1.init();
    ByteCursor in(key, keyLength), info, version, algorithm, oid, privateKey, rsa, rsaVersion;
    const u8 *publicStart = nullptr;
    std::size_t publicLength = 0;
    if (readElement(in, 0x30, info) && readElement(info, 0x02, version) && readElement(info, 0x30, algorithm) &&
        readElement(algorithm, 0x06, oid) && sameBytes(oid.current(), oid.remaining(), kRSAEncryption,
                                                       sizeof kRSAEncryption) &&
        readElement(info, 0x04, privateKey) && readElement(privateKey, 0x30, rsa) &&
        readElement(rsa, 0x02, rsaVersion)) {
        publicStart = rsa.current();
        ByteCursor n, e;
        if (readElement(rsa, 0x02, n) && readElement(rsa, 0x02, e))
            publicLength = static_cast<std::size_t>(rsa.current() - publicStart);
    }
    if (publicLength != 0)
        sha1.update(publicStart, publicLength);
    else
        sha1.update(key, keyLength);
    std::memcpy(out, sha1.final(), 20);
    return 0;
}

QELStatus addAttribute(ASN1Context *codec, ASN1_Attributes *set, const u8 *oid, std::size_t oidLength,
                       const u8 *value, std::size_t valueLength)
{
    Held<ASN1_Attribute, asn1Free_Attribute> attribute(codec, asn1New_Attribute(codec));
    if (attribute.get() == nullptr || setBytes(codec, attribute->type, oid, oidLength) != 0)
        return QELError_OutOfMemory;
    OctetsHeld any(codec);
    if (newAny(codec, *any.out(), value, valueLength) != 0 ||
        asn1AppendElement(codec, any.get(), &attribute->values) != 0)
        return QELError_OutOfMemory;
    any.release();
    if (asn1AppendElement(codec, attribute.get(), set) != 0)
        return QELError_OutOfMemory;
    attribute.release();
    return 0;
}

// A PKCS #12 PBE algorithm: the SDK cipher and key length, or 0.
std::int32_t pbeCipher(const ASN1_ObjectIdentifier &oid, std::size_t &keyLength)
{
    if (oid.length != sizeof kPbePrefix + 1 || std::memcmp(oid.data, kPbePrefix, sizeof kPbePrefix) != 0)
        return 0;
    switch (oid.data[sizeof kPbePrefix]) {
    case kPbe3DES:
        keyLength = 24;
        return QELCipherAlgorithm_3DES;
    case kPbeRC2_128:
        keyLength = 16;
        return QELCipherAlgorithm_RC2_128;
    case kPbeRC2_40:
        keyLength = 5;
        return QELCipherAlgorithm_RC2_40;
    default:
        return 0;
    }
}

} // namespace

// ---- password, repetition, derivation -----------------------------------------------------------------------
QELStatus qelPKCS12PasswordToBMP(QELMemoryMgr *mgr, const u8 *text, std::size_t textLength, u8 **out,
                                 std::size_t *outLength)
{
    *out = nullptr;
    *outLength = 0;
    std::uint64_t units = 0, read = 0;
    // Text that is not whole UTF-8 (or holds a zero) takes one unit per
    // octet, as other readers of such files do.
    const bool utf8 = text == nullptr || (qelUTF8ToUTF16Checked(text, textLength, nullptr, 0, &units, &read) == 0 &&
                                          read == textLength);
    if (!utf8)
        units = textLength;
    const std::size_t n = static_cast<std::size_t>(units + 1) * 2;
    WipedBuffer<std::uint16_t> wide(mgr, static_cast<std::size_t>(units + 1));
    auto *block = static_cast<u8 *>(qelMemAllocSecure(mgr, n, 0));
    if (!wide || block == nullptr) {
        freeWiped(block, n);
        return QELError_OutOfMemory;
    }
    if (utf8 && units != 0) {
        std::uint64_t written = 0;
        if (const std::int32_t s = qelUTF8ToUTF16Checked(text, textLength, wide.get(), units + 1, &written, nullptr);
            s != 0 || written != units) {
            freeWiped(block, n);
            return s != 0 ? s : QELError_BadParams;
        }
    }
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint16_t unit = utf8 ? wide[i] : text[i];
        block[2 * i] = static_cast<u8>(unit >> 8);
        block[2 * i + 1] = static_cast<u8>(unit);
    }
    block[n - 2] = 0;
    block[n - 1] = 0;
    *out = block;
    *outLength = n;
    return 0;
}

QELStatus qelPKCS12Replicate(QELMemoryMgr *mgr, const u8 *data, std::size_t length, std::size_t block, u8 **out,
                             std::size_t *outLength)
{
    *out = nullptr;
    *outLength = 0;
    if (length == 0 || block == 0)
        return 0;
    if (length > (std::size_t{1} << 24))
        return QELError_BadParams;
    const std::size_t n = (length + block - 1) / block * block;
    auto *p = static_cast<u8 *>(qelMemAllocSecure(mgr, n, 0));
    if (p == nullptr)
        return QELError_OutOfMemory;
    for (std::size_t i = 0; i < n; ++i)
        p[i] = data[i % length];
    *out = p;
    *outLength = n;
    return 0;
}

QELStatus qelPKCS12DeriveKey(QELMemoryMgr *mgr, std::int32_t hashId, u8 id, std::int64_t iterations,
                             const u8 *salt, std::size_t saltLength, const u8 *password, std::size_t passwordLength,
                             std::size_t n, u8 **out, std::size_t *outLength)
{
    *out = nullptr;
    *outLength = 0;
    if (!iterationsAllowed(iterations) || n == 0 || n > 4096)
        return QELError_BadParams;
    Digest hash(mgr, hashId);
    if (qelHashDescriptorFind(hashId) == nullptr || hashId == QELHashAlgorithm_MD2 ||
        hashId == QELHashAlgorithm_RIPEMD160)
        return QELError_UnknownHashAlgorithm;
    if (!hash.ok())
        return QELError_OutOfMemory;
    const std::size_t u = hash.descriptor()->digestSize;
    const std::size_t v = hash.descriptor()->blockSize;
    SecureBlock S, P;
    QELStatus s = qelPKCS12Replicate(mgr, salt, saltLength, v, &S.data, &S.length);
    if (s == 0)
        s = qelPKCS12Replicate(mgr, password, passwordLength, v, &P.data, &P.length);
    if (s != 0)
        return s;
    const std::size_t iLength = S.length + P.length;
    WipedBuffer<u8> I(mgr, iLength), D(mgr, v), A(mgr, u), B(mgr, v);
    const std::size_t c = (n + u - 1) / u;
    SecureBlock result;
    result.data = static_cast<u8 *>(qelMemAllocSecure(mgr, c * u, 0));
    if (!I || !D || !A || !B || result.data == nullptr)
        return QELError_OutOfMemory;
    result.length = c * u;
    if (S.length != 0)
        std::memcpy(I.get(), S.data, S.length);
    if (P.length != 0)
        std::memcpy(I.get() + S.length, P.data, P.length);
    S.reset();
    P.reset();
    std::memset(D.get(), id, v);
    for (std::size_t i = 0; i < c; ++i) {
        hash.init();
        hash.update(D.get(), v);
        hash.update(I.get(), iLength);
        std::memcpy(A.get(), hash.final(), u);
        for (std::int64_t j = 1; j < iterations; ++j) {
            hash.init();
            hash.update(A.get(), u);
            std::memcpy(A.get(), hash.final(), u);
        }
        std::memcpy(result.data + i * u, A.get(), u);
        if (i + 1 == c)
            break;
        for (std::size_t k = 0; k < v; ++k)
            B[k] = A[k % u];
        // Each v-octet block of I becomes (Ij + B + 1) mod 2^(8v).
        for (std::size_t j = 0; j < iLength; j += v) {
            unsigned carry = 1;
            for (std::size_t k = v; k-- > 0;) {
                carry += unsigned(I[j + k]) + B[k];
                I[j + k] = static_cast<u8>(carry);
                carry >>= 8;
            }
        }
    }
    *outLength = result.length;
    *out = result.release();
    return 0;
}

QELStatus qelPKCS12PBKDF2(QELMemoryMgr *mgr, std::int32_t hashId, const u8 *password, std::size_t passwordLength,
                          const u8 *salt, std::size_t saltLength, std::int64_t iterations, u8 *out, std::size_t n)
{
    if (!iterationsAllowed(iterations) || n == 0 || n > 4096)
        return QELError_BadParams;
    Hmac prf(mgr, hashId, password, passwordLength);
    if (!prf.ok())
        return qelHashDescriptorFind(hashId) == nullptr ? QELError_UnknownHashAlgorithm : QELError_OutOfMemory;
    const std::size_t h = prf.size();
    WipedBuffer<u8> U(mgr, h), T(mgr, h);
    if (!U || !T)
        return QELError_OutOfMemory;
    for (std::uint32_t block = 1; n != 0; ++block) {
        const u8 index[4] = {static_cast<u8>(block >> 24), static_cast<u8>(block >> 16), static_cast<u8>(block >> 8),
                             static_cast<u8>(block)};
        prf.mac(salt, saltLength, index, sizeof index, U.get());
        std::memcpy(T.get(), U.get(), h);
        for (std::int64_t j = 1; j < iterations; ++j) {
            prf.mac(U.get(), h, nullptr, 0, U.get());
            for (std::size_t k = 0; k < h; ++k)
                T[k] ^= U[k];
        }
        const std::size_t take = std::min(n, h);
        std::memcpy(out, T.get(), take);
        out += take;
        n -= take;
    }
    return 0;
}

QELStatus qelPKCS12SetBagAttributes(ASN1Context *codec, ASN1_SafeBag *bag, const u8 *name, std::size_t nameLength,
                                    const u8 *localKeyId, std::size_t localKeyIdLength)
{
    Held<ASN1_Attributes, asn1Free_Attributes> set(codec, asn1New_Attributes(codec));
    if (set.get() == nullptr)
        return QELError_OutOfMemory;
    // friendlyName: a BMPString of the name without the terminating unit.
    SecureBlock bmp;
    QELStatus s = qelPKCS12PasswordToBMP(mgrOf(codec), name, nameLength, &bmp.data, &bmp.length);
    if (s != 0)
        return s;
    OctetsHeld text(codec, asn1New_OctetString(codec));
    if (text.get() == nullptr || setBytes(codec, *text.get(), bmp.data, bmp.length - 2) != 0)
        return QELError_OutOfMemory;
    CodecBlock der(codec);
    const std::int32_t packed = packRecord(&der.data, &der.length, text.get(), codec, asn1Sizeof_OctetString,
                                           asn1Pack_BMPString);
    if (packed != 0)
        return fromPack(packed);
    s = addAttribute(codec, set.get(), kFriendlyName, sizeof kFriendlyName, der.data, der.length);
    if (s != 0)
        return s;
    // localKeyId: an OCTET STRING.
    OctetsHeld id(codec, asn1New_OctetString(codec));
    if (id.get() == nullptr || setBytes(codec, *id.get(), localKeyId, localKeyIdLength) != 0)
        return QELError_OutOfMemory;
    CodecBlock idDER(codec);
    const std::int32_t idPacked =
        packRecord(&idDER.data, &idDER.length, id.get(), codec, asn1Sizeof_OctetString, asn1Pack_OctetString);
    if (idPacked != 0)
        return fromPack(idPacked);
    s = addAttribute(codec, set.get(), kLocalKeyId, sizeof kLocalKeyId, idDER.data, idDER.length);
    if (s != 0)
        return s;
    if (bag->bagAttributes != nullptr)
        asn1Free_Attributes(codec, bag->bagAttributes);
    bag->bagAttributes = set.release();
    return 0;
}

// ---- one encrypted blob ---------------------------------------------------------------------------------------
QELStatus qelPKCS12Decrypt(QELContext *context, const QELPKCS12Password *password, const u8 *ciphertext,
                           std::uint64_t ciphertextLength, const ASN1_AlgorithmIdentifier *algorithm,
                           ASN1Context *codec, u8 **plaintext, std::uint64_t *plaintextLength)
{
    *plaintext = nullptr;
    *plaintextLength = 0;
    if (algorithm == nullptr || password == nullptr)
        return QELError_BadParams;
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
    Cbc cbc;
    WipedBuffer<u8> key, iv;
    if (isOID(algorithm->algorithm, kPBES2)) {
        if (algorithm->parameters == nullptr)
            return QELError_PKIOperationFailed;
        PBES2Params params;
        QELStatus s = readPBES2(algorithm->parameters->data, algorithm->parameters->length, params);
        if (s != 0)
            return s;
        if (!iterationsAllowed(params.iterations))
            return QELError_PKIOperationFailed;
        s = cbc.open(context, params.cipher);
        if (s != 0)
            return s;
        if (params.iv.size() != cbc.blockSize ||
            (params.keyLength != -1 && params.keyLength != static_cast<std::int64_t>(cbc.keySize)))
            return QELError_PKIOperationFailed;
        if (!key.reset(mgr, cbc.keySize) || !iv.reset(mgr, cbc.blockSize))
            return QELError_OutOfMemory;
        std::memcpy(iv.get(), params.iv.data(), cbc.blockSize);
        s = qelPKCS12PBKDF2(mgr, params.prf, password->text, password->textLength, params.salt.data(),
                            params.salt.size(), params.iterations, key.get(), cbc.keySize);
        if (s != 0)
            return s;
    } else {
        std::size_t keyLength = 0;
        const std::int32_t cipher = pbeCipher(algorithm->algorithm, keyLength);
        if (cipher == 0)
            return QELError_UnknownHashAlgorithm;
        if (algorithm->parameters == nullptr)
            return QELError_PKIOperationFailed;
        Held<ASN1_PKCS12PbeParams, asn1Free_PKCS12PbeParams> params(codec);
        QELStatus s = unpackAll(codec, params, algorithm->parameters->data, algorithm->parameters->length,
                                asn1Unpack_PKCS12PbeParams);
        if (s != 0)
            return s;
        std::int32_t err = 0;
        const std::uint64_t iterations = asn1GetIntegerValue(codec, &params->iterations, &err);
        if (err != 0 || !iterationsAllowed(static_cast<std::int64_t>(iterations)))
            return QELError_PKIOperationFailed;
        s = cbc.open(context, cipher);
        if (s != 0)
            return s;
        if (cbc.keySize < keyLength)
            return QELError_UnknownHashAlgorithm;
        SecureBlock derivedKey, derivedIV;
        s = qelPKCS12DeriveKey(mgr, QELHashAlgorithm_SHA1, 1, static_cast<std::int64_t>(iterations),
                               params->salt.data, params->salt.length, password->bmp, password->bmpLength,
                               keyLength, &derivedKey.data, &derivedKey.length);
        if (s == 0)
            s = qelPKCS12DeriveKey(mgr, QELHashAlgorithm_SHA1, 2, static_cast<std::int64_t>(iterations),
                                   params->salt.data, params->salt.length, password->bmp, password->bmpLength,
                                   cbc.blockSize, &derivedIV.data, &derivedIV.length);
        if (s != 0)
            return s;
        if (!key.reset(mgr, cbc.keySize) || !iv.reset(mgr, cbc.blockSize))
            return QELError_OutOfMemory;
        std::memcpy(key.get(), derivedKey.data, keyLength);
        std::memcpy(iv.get(), derivedIV.data, cbc.blockSize);
    }
    const QELStatus s = cbc.init(key.get(), iv.get());
    if (s != 0)
        return s;
    return cbcDecryptPadded(cbc, mgr, ciphertext, ciphertextLength, plaintext, plaintextLength);
}

// ---- export ---------------------------------------------------------------------------------------------------------
namespace {

// A new SafeBag of the kind with the bag attributes.
QELStatus newBag(ASN1Context *codec, Held<ASN1_SafeBag, asn1Free_SafeBag> &bag, u8 kind, const u8 *name,
                 std::size_t nameLength, const u8 (&keyId)[20])
{
    bag.reset(asn1New_SafeBag(codec));
    u8 bagId[sizeof kBagPrefix + 1];
    std::memcpy(bagId, kBagPrefix, sizeof kBagPrefix);
    bagId[sizeof kBagPrefix] = kind;
    if (bag.get() == nullptr || setBytes(codec, bag->bagId, bagId, sizeof bagId) != 0)
        return QELError_OutOfMemory;
    return qelPKCS12SetBagAttributes(codec, bag.get(), name, nameLength, keyId, sizeof keyId);
}

QELStatus exportBody(QELContext *context, ASN1Context *codec, const u8 *key, std::uint64_t keyLength,
                     const Password &password, const u8 *certificates, std::uint64_t certificatesLength,
                     const u8 *name, std::size_t nameLength, std::int32_t macIterations, std::int32_t keyIterations,
                     u8 **out, std::uint64_t *outLength)
{
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
    u8 keyId[20];
    QELStatus s = localKeyIdFor(mgr, key, static_cast<std::size_t>(keyLength), keyId);
    if (s != 0)
        return s;
    Held<ASN1_SafeContents, asn1Free_SafeContents> contents(codec, asn1New_SafeContents(codec));
    if (contents.get() == nullptr)
        return QELError_OutOfMemory;

    // The shrouded key bag.
    {
        Held<ASN1_SafeBag, asn1Free_SafeBag> bag(codec);
        s = newBag(codec, bag, kBagShrouded, name, nameLength, keyId);
        if (s != 0)
            return s;
        u8 salt[24];
        s = qelContextGetRandomBytes(context, salt, sizeof salt);
        if (s != 0)
            return s;
        Held<ASN1_PKCS12PbeParams, asn1Free_PKCS12PbeParams> params(codec, asn1New_PKCS12PbeParams(codec));
        if (params.get() == nullptr || setBytes(codec, params->salt, salt, sizeof salt) != 0 ||
            asn1SetIntegerValue(codec, &params->iterations, keyIterations) != 0)
            return QELError_OutOfMemory;
        Held<ASN1_EncryptedPrivateKeyInfo, asn1Free_EncryptedPrivateKeyInfo> epki(
            codec, asn1New_EncryptedPrivateKeyInfo(codec));
        if (epki.get() == nullptr ||
            setBytes(codec, epki->encryptionAlgorithm.algorithm, kPbeWith3DES, sizeof kPbeWith3DES) != 0 ||
            newAny(codec, epki->encryptionAlgorithm.parameters, nullptr, 0) != 0)
            return QELError_OutOfMemory;
        s = packIntoAny(codec, *epki->encryptionAlgorithm.parameters, params.get(), asn1Sizeof_PKCS12PbeParams,
                        asn1Pack_PKCS12PbeParams);
        if (s != 0)
            return s;
        SecureBlock derivedKey, derivedIV;
        s = qelPKCS12DeriveKey(mgr, QELHashAlgorithm_SHA1, 1, keyIterations, salt, sizeof salt, password.bmp.data,
                               password.bmp.length, 24, &derivedKey.data, &derivedKey.length);
        if (s == 0)
            s = qelPKCS12DeriveKey(mgr, QELHashAlgorithm_SHA1, 2, keyIterations, salt, sizeof salt,
                                   password.bmp.data, password.bmp.length, 8, &derivedIV.data, &derivedIV.length);
        if (s != 0)
            return s;
        Cbc cbc;
        s = cbc.open(context, QELCipherAlgorithm_3DES);
        if (s == 0)
            s = cbc.init(derivedKey.data, derivedIV.data);
        if (s == 0)
            s = cbcEncryptPadded(cbc, codec, key, static_cast<std::size_t>(keyLength), &epki->encryptedData);
        if (s == 0)
            s = packIntoAny(codec, bag->bagValue, epki.get(), asn1Sizeof_EncryptedPrivateKeyInfo,
                            asn1Pack_EncryptedPrivateKeyInfo);
        if (s != 0)
            return s;
        if (asn1AppendElement(codec, bag.get(), contents.get()) != 0)
            return QELError_OutOfMemory;
        bag.release();
    }

    // One certificate bag per certificate, in the order of the set.
    if (certificates != nullptr && certificatesLength != 0) {
        Held<ASN1_AttributeValues, asn1Free_AttributeValues> set(codec);
        std::int32_t err = 0;
        const std::uint64_t used = asn1Unpack_AttributeValues(codec, set.out(), certificates, certificatesLength, &err);
        if (err != 0 || used != certificatesLength || set.get() == nullptr)
            return fromCodec(err, QELError_PKIDecryptFailed);
        for (std::int64_t i = 0; i < set->count; ++i) {
            const ASN1_Any *certificate = set->elements[i];
            Held<ASN1_CertBag, asn1Free_CertBag> certBag(codec, asn1New_CertBag(codec));
            if (certBag.get() == nullptr ||
                setBytes(codec, certBag->certId, kX509Certificate, sizeof kX509Certificate) != 0)
                return QELError_OutOfMemory;
            s = wrapOctets(codec, certBag->certValue, certificate->data, certificate->length);
            if (s != 0)
                return s;
            Held<ASN1_SafeBag, asn1Free_SafeBag> bag(codec);
            s = newBag(codec, bag, kBagCert, name, nameLength, keyId);
            if (s == 0)
                s = packIntoAny(codec, bag->bagValue, certBag.get(), asn1Sizeof_CertBag, asn1Pack_CertBag);
            if (s != 0)
                return s;
            if (asn1AppendElement(codec, bag.get(), contents.get()) != 0)
                return QELError_OutOfMemory;
            bag.release();
        }
    }

    // AuthenticatedSafe: one data ContentInfo over the SafeContents.
    Held<ASN1_ContentInfo, asn1Free_ContentInfo> info(codec, asn1New_ContentInfo(codec));
    if (info.get() == nullptr || setBytes(codec, info->contentType, kData, sizeof kData) != 0 ||
        newAny(codec, info->content, nullptr, 0) != 0)
        return QELError_OutOfMemory;
    {
        CodecBlock der(codec);
        const std::int32_t packed = packRecord(&der.data, &der.length, contents.get(), codec,
                                               asn1Sizeof_SafeContents, asn1Pack_SafeContents);
        if (packed != 0)
            return fromPack(packed);
        s = wrapOctets(codec, *info->content, der.data, der.length);
        qelSecureWipe(der.data, der.length);
        if (s != 0)
            return s;
    }
    Held<ASN1_AuthenticatedSafe, asn1Free_AuthenticatedSafe> safe(codec, asn1New_AuthenticatedSafe(codec));
    if (safe.get() == nullptr || asn1AppendElement(codec, info.get(), safe.get()) != 0)
        return QELError_OutOfMemory;
    info.release();
    CodecBlock safeDER(codec);
    std::int32_t packed = packRecord(&safeDER.data, &safeDER.length, safe.get(), codec,
                                     asn1Sizeof_AuthenticatedSafe, asn1Pack_AuthenticatedSafe);
    if (packed != 0)
        return fromPack(packed);

    // PFX with an HMAC-SHA-1 MAC over the AuthenticatedSafe's DER.
    Held<ASN1_PFX, asn1Free_PFX> pfx(codec, asn1New_PFX(codec));
    if (pfx.get() == nullptr || asn1SetIntegerValue(codec, &pfx->version, 3) != 0 ||
        setBytes(codec, pfx->authSafe.contentType, kData, sizeof kData) != 0 ||
        newAny(codec, pfx->authSafe.content, nullptr, 0) != 0)
        return QELError_OutOfMemory;
    s = wrapOctets(codec, *pfx->authSafe.content, safeDER.data, safeDER.length);
    if (s != 0)
        return s;
    pfx->macData = asn1New_MacData(codec);
    if (pfx->macData == nullptr ||
        setBytes(codec, pfx->macData->mac.digestAlgorithm.algorithm, kSHA1, sizeof kSHA1) != 0)
        return QELError_OutOfMemory;
    u8 macSalt[20];
    s = qelContextGetRandomBytes(context, macSalt, sizeof macSalt);
    if (s != 0)
        return s;
    if (setBytes(codec, pfx->macData->macSalt, macSalt, sizeof macSalt) != 0)
        return QELError_OutOfMemory;
    if (macIterations != 1) {
        pfx->macData->iterations = asn1New_OctetString(codec);
        if (pfx->macData->iterations == nullptr ||
            asn1SetIntegerValue(codec, pfx->macData->iterations, macIterations) != 0)
            return QELError_OutOfMemory;
    }
    SecureBlock macKey;
    s = qelPKCS12DeriveKey(mgr, QELHashAlgorithm_SHA1, 3, macIterations, macSalt, sizeof macSalt, password.bmp.data,
                           password.bmp.length, 20, &macKey.data, &macKey.length);
    if (s != 0)
        return s;
    Hmac hmac(mgr, QELHashAlgorithm_SHA1, macKey.data, 20);
    if (!hmac.ok())
        return QELError_OutOfMemory;
    u8 mac[20];
    hmac.mac(safeDER.data, safeDER.length, nullptr, 0, mac);
    if (setBytes(codec, pfx->macData->mac.digest, mac, sizeof mac) != 0)
        return QELError_OutOfMemory;
    CodecBlock result(codec);
    packed = packRecord(&result.data, &result.length, pfx.get(), codec, asn1Sizeof_PFX, asn1Pack_PFX);
    if (packed != 0)
        return fromPack(packed);
    *outLength = result.length;
    *out = result.release();
    return 0;
}

} // namespace

QELStatus qelPKCS12Export(QELContext *context, const u8 *key, std::uint64_t keyLength, const char *password,
                          std::uint64_t passwordLength, const u8 *certificates, std::uint64_t certificatesLength,
                          const char *friendlyName, std::uint64_t friendlyNameLength, std::int32_t macIterations,
                          std::int32_t keyIterations, std::int32_t, u8 **out, std::uint64_t *outLength)
{
    if (out == nullptr || outLength == nullptr)
        return QELError_BadParams;
    *out = nullptr;
    *outLength = 0;
    if (context == nullptr || key == nullptr || keyLength == 0 || keyLength > (1u << 24) ||
        (friendlyName == nullptr && friendlyNameLength != 0) || !iterationsAllowed(macIterations) ||
        !iterationsAllowed(keyIterations))
        return QELError_BadParams;
    return qel::noThrow([&]() -> QELStatus {
        QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
        QELX509Codec codec(mgr);
        Password pw;
        QELStatus s = pw.make(mgr, password, passwordLength);
        if (s != 0)
            return s;
        return exportBody(context, codec.get(), key, keyLength, pw, certificates, certificatesLength,
                          reinterpret_cast<const u8 *>(friendlyName), static_cast<std::size_t>(friendlyNameLength),
                          macIterations, keyIterations, out, outLength);
    });
}

// ---- import ---------------------------------------------------------------------------------------------------------
namespace {

struct ImportState {
    QELContext *context;
    ASN1Context *codec;
    const QELPKCS12Password *password;
    Held<ASN1_ExtendedCertificatesAndCertificates, asn1Free_ExtendedCertificatesAndCertificates> *certificates;
    SecureBlock key;
};

// A PrivateKeyInfo (checked to decode whole) becomes the key output,
// replacing an earlier one.
QELStatus takeKey(ImportState &state, const u8 *der, std::uint64_t length)
{
    Held<ASN1_PrivateKeyInfo, asn1Free_PrivateKeyInfo> info(state.codec);
    const QELStatus s = unpackAll(state.codec, info, der, length, asn1Unpack_PrivateKeyInfo);
    if (s != 0)
        return s;
    state.key.reset();
    state.key.data = takeSecureCopy(qelContextGetMemoryMgr(state.context), der, static_cast<std::size_t>(length));
    if (state.key.data == nullptr)
        return QELError_OutOfMemory;
    state.key.length = static_cast<std::size_t>(length);
    return 0;
}

QELStatus readShroudedKey(ImportState &state, const ASN1_Any &value)
{
    Held<ASN1_EncryptedPrivateKeyInfo, asn1Free_EncryptedPrivateKeyInfo> epki(state.codec);
    QELStatus s = unpackAll(state.codec, epki, value.data, value.length, asn1Unpack_EncryptedPrivateKeyInfo);
    if (s != 0)
        return s;
    SecureBlock plain;
    std::uint64_t plainLength = 0;
    s = qelPKCS12Decrypt(state.context, state.password, epki->encryptedData.data, epki->encryptedData.length,
                         &epki->encryptionAlgorithm, state.codec, &plain.data, &plainLength);
    plain.length = static_cast<std::size_t>(plainLength);
    if (s != 0)
        return s;
    return takeKey(state, plain.data, plainLength);
}

// A certificate bag of another type, or one that does not decode, is
// passed over.
QELStatus readCertificate(ImportState &state, const ASN1_Any &value)
{
    ASN1Context *codec = state.codec;
    Held<ASN1_CertBag, asn1Free_CertBag> bag(codec);
    if (unpackAll(codec, bag, value.data, value.length, asn1Unpack_CertBag) != 0 ||
        !isOID(bag->certId, kX509Certificate))
        return 0;
    OctetsHeld der(codec);
    if (octetStringContents(codec, &bag->certValue, der) != 0)
        return 0;
    Held<ASN1_ExtendedCertificateOrCertificate, asn1Free_ExtendedCertificateOrCertificate> element(codec);
    std::int32_t err = 0;
    const std::uint64_t used =
        asn1Unpack_ExtendedCertificateOrCertificate(codec, element.out(), der->data, der->length, &err);
    if (err == ASN1Error_OutOfMemory)
        return QELError_OutOfMemory;
    if (err != 0 || used != der->length || element.get() == nullptr || (element->identifier & 0x1F) != 0x10)
        return 0;
    element->identifier = 0x10;
    if (asn1AppendElement(codec, element.get(), state.certificates->get()) != 0)
        return QELError_OutOfMemory;
    element.release();
    return 0;
}

QELStatus readSafeContents(ImportState &state, const u8 *der, std::uint64_t length)
{
    Held<ASN1_SafeContents, asn1Free_SafeContents> contents(state.codec);
    QELStatus s = unpackAll(state.codec, contents, der, length, asn1Unpack_SafeContents);
    if (s != 0)
        return s;
    for (std::int64_t i = 0; i < contents->count; ++i) {
        const ASN1_SafeBag *bag = contents->elements[i];
        const ASN1_ObjectIdentifier &id = bag->bagId;
        if (id.length != sizeof kBagPrefix + 1 || std::memcmp(id.data, kBagPrefix, sizeof kBagPrefix) != 0)
            continue;
        switch (id.data[sizeof kBagPrefix]) {
        case kBagKey:
            s = takeKey(state, bag->bagValue.data, bag->bagValue.length);
            break;
        case kBagShrouded:
            s = readShroudedKey(state, bag->bagValue);
            break;
        case kBagCert:
            s = readCertificate(state, bag->bagValue);
            break;
        default:
            s = 0;
            break;
        }
        if (s != 0)
            return s;
    }
    return 0;
}

QELStatus readContentInfo(ImportState &state, const ASN1_ContentInfo &info)
{
    ASN1Context *codec = state.codec;
    if (isOID(info.contentType, kData)) {
        OctetsHeld octets(codec);
        const QELStatus s = octetStringContents(codec, info.content, octets);
        return s != 0 ? s : readSafeContents(state, octets->data, octets->length);
    }
    if (!isOID(info.contentType, kEncryptedData))
        return QELError_PKIDecodeFailed;
    if (info.content == nullptr)
        return QELError_PKIOperationFailed;
    Held<ASN1_EncryptedData, asn1Free_EncryptedData> encrypted(codec);
    QELStatus s = unpackAll(codec, encrypted, info.content->data, info.content->length, asn1Unpack_EncryptedData);
    if (s != 0)
        return s;
    const ASN1_EncryptedContentInfo &eci = encrypted->encryptedContentInfo;
    if (eci.encryptedContent == nullptr)
        return QELError_PKIOperationFailed;
    SecureBlock plain;
    std::uint64_t plainLength = 0;
    s = qelPKCS12Decrypt(state.context, state.password, eci.encryptedContent->data, eci.encryptedContent->length,
                         &eci.contentEncryptionAlgorithm, codec, &plain.data, &plainLength);
    plain.length = static_cast<std::size_t>(plainLength);
    if (s != 0)
        return s == QELError_UnknownHashAlgorithm || s == QELError_OutOfMemory ? s : QELError_PKIOperationFailed;
    return readSafeContents(state, plain.data, plainLength);
}

QELStatus checkMac(ImportState &state, const ASN1_MacData &macData, const ASN1_OctetString &content)
{
    const std::int32_t hashId = lookup(kDigests, macData.mac.digestAlgorithm.algorithm);
    if (hashId == 0)
        return QELError_UnknownHashAlgorithm;
    std::int64_t iterations = 1;
    if (macData.iterations != nullptr) {
        std::int32_t err = 0;
        iterations = static_cast<std::int64_t>(asn1GetIntegerValue(state.codec, macData.iterations, &err));
        if (err != 0)
            return QELError_PKIOperationFailed;
    }
    if (!iterationsAllowed(iterations))
        return QELError_PKIOperationFailed;
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(state.context);
    const QELHashDescriptor *d = qelHashDescriptorFind(hashId);
    SecureBlock macKey;
    QELStatus s = qelPKCS12DeriveKey(mgr, hashId, 3, iterations, macData.macSalt.data, macData.macSalt.length,
                                     state.password->bmp, state.password->bmpLength, d->digestSize, &macKey.data, &macKey.length);
    if (s != 0)
        return s;
    Hmac hmac(mgr, hashId, macKey.data, d->digestSize);
    if (!hmac.ok())
        return QELError_OutOfMemory;
    u8 mac[64];
    hmac.mac(content.data, content.length, nullptr, 0, mac);
    if (macData.mac.digest.length != d->digestSize || !equalConstantTime(mac, macData.mac.digest.data, d->digestSize))
        return QELError_BadPassphrase;
    return 0;
}

QELStatus importBody(ImportState &state, const u8 *pfxDER, std::uint64_t pfxLength, u8 **key,
                     std::uint64_t *keyLength, u8 **certificates, std::uint64_t *certificatesLength)
{
    ASN1Context *codec = state.codec;
    Held<ASN1_PFX, asn1Free_PFX> pfx(codec);
    QELStatus s = unpackAll(codec, pfx, pfxDER, pfxLength, asn1Unpack_PFX);
    if (s != 0)
        return s;
    if (!isOID(pfx->authSafe.contentType, kData))
        return QELError_PKIDecodeFailed;
    OctetsHeld content(codec);
    s = octetStringContents(codec, pfx->authSafe.content, content);
    if (s != 0)
        return s;
    if (pfx->macData != nullptr) {
        s = checkMac(state, *pfx->macData, *content.get());
        if (s != 0)
            return s;
    }
    Held<ASN1_AuthenticatedSafe, asn1Free_AuthenticatedSafe> safe(codec);
    s = unpackAll(codec, safe, content->data, content->length, asn1Unpack_AuthenticatedSafe);
    if (s != 0)
        return s;
    for (std::int64_t i = 0; i < safe->count; ++i) {
        s = readContentInfo(state, *safe->elements[i]);
        if (s != 0)
            return s;
    }
    if ((*state.certificates)->count != 0) {
        CodecBlock der(codec);
        const std::int32_t packed =
            packRecord(&der.data, &der.length, state.certificates->get(), codec,
                       asn1Sizeof_ExtendedCertificatesAndCertificates, asn1Pack_ExtendedCertificatesAndCertificates);
        if (packed != 0)
            return fromPack(packed);
        *certificatesLength = der.length;
        *certificates = der.release();
    }
    *keyLength = state.key.length;
    *key = state.key.release();
    return 0;
}

} // namespace

QELStatus qelPKCS12Import(QELContext *context, const u8 *pfx, std::uint64_t pfxLength, const char *password,
                          std::uint64_t passwordLength, u8 **key, std::uint64_t *keyLength, u8 **certificates,
                          std::uint64_t *certificatesLength)
{
    if (key == nullptr || keyLength == nullptr || certificates == nullptr || certificatesLength == nullptr)
        return QELError_BadParams;
    *key = nullptr;
    *keyLength = 0;
    *certificates = nullptr;
    *certificatesLength = 0;
    if (context == nullptr || pfx == nullptr || pfxLength == 0)
        return QELError_BadParams;
    const QELStatus s = qel::noThrow([&]() -> QELStatus {
        QELMemoryMgr *mgr = qelContextGetMemoryMgr(context);
        QELX509Codec codec(mgr);
        Password pw;
        QELStatus st = pw.make(mgr, password, passwordLength);
        if (st != 0)
            return st;
        Held<ASN1_ExtendedCertificatesAndCertificates, asn1Free_ExtendedCertificatesAndCertificates> set(
            codec.get(), asn1New_ExtendedCertificatesAndCertificates(codec.get()));
        if (set.get() == nullptr)
            return QELError_OutOfMemory;
        ImportState state{context, codec.get(), &pw.view, &set, {}};
        return importBody(state, pfx, pfxLength, key, keyLength, certificates, certificatesLength);
    });
    if (s != 0) {
        freeWiped(*key, static_cast<std::size_t>(*keyLength));
        if (*certificates != nullptr)
            static_cast<void>(qelMemFree(*certificates));
        *key = nullptr;
        *keyLength = 0;
        *certificates = nullptr;
        *certificatesLength = 0;
    }
    return s;
}
