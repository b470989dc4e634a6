// RSA key objects against OpenSSL in both directions: PKCS #1 v1.5
// signatures with and without a DigestInfo, type 2 and OAEP encryption in
// the raw, DER and RFC 4880 layouts; strict signature checks; key
// generation; refusals of hostile input.
#include "pktest_util.h"

#include "qelAlgorithms.h"
#include "qelPkEncodeInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#ifdef QEL_HAVE_OPENSSL
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#endif

namespace {

using namespace pktest;
using qeltest::fromHex;

#ifdef QEL_HAVE_OPENSSL

struct OsslKey {
    EVP_PKEY *pkey = nullptr;
    Bytes n, e, d, p, q, u;
    ~OsslKey() { EVP_PKEY_free(pkey); }
};

Bytes param(EVP_PKEY *k, const char *name)
{
    BIGNUM *bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(k, name, &bn), 1) << name;
    Bytes out = bnBytes(bn);
    BN_free(bn);
    return out;
}

// An OpenSSL key of the given size and exponent, and its values with
// p < q and u = p^-1 mod q as RFC 4880 stores them.
std::unique_ptr<OsslKey> generate(unsigned bits, unsigned e)
{
    auto key = std::make_unique<OsslKey>();
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    BIGNUM *exp = BN_new();
    BN_set_word(exp, e);
    EXPECT_EQ(EVP_PKEY_keygen_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, int(bits)), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, exp), 1);
    EXPECT_EQ(EVP_PKEY_keygen(ctx, &key->pkey), 1);
    BN_free(exp);
    EVP_PKEY_CTX_free(ctx);
    key->n = param(key->pkey, OSSL_PKEY_PARAM_RSA_N);
    key->e = param(key->pkey, OSSL_PKEY_PARAM_RSA_E);
    key->d = param(key->pkey, OSSL_PKEY_PARAM_RSA_D);
    Bytes p = param(key->pkey, OSSL_PKEY_PARAM_RSA_FACTOR1);
    Bytes q = param(key->pkey, OSSL_PKEY_PARAM_RSA_FACTOR2);
    BIGNUM *bp = bnFrom(p), *bq = bnFrom(q);
    if (BN_cmp(bp, bq) > 0) {
        std::swap(p, q);
        std::swap(bp, bq);
    }
    BN_CTX *bctx = BN_CTX_new();
    BIGNUM *u = BN_mod_inverse(nullptr, bp, bq, bctx);
    key->p = p;
    key->q = q;
    key->u = bnBytes(u);
    BN_free(u);
    BN_free(bp);
    BN_free(bq);
    BN_CTX_free(bctx);
    return key;
}

struct HashCase {
    int id;
    const char *name;
};
const HashCase kHashes[] = {{QELHashAlgorithm_MD5, "MD5"},       {QELHashAlgorithm_SHA1, "SHA1"},
                            {QELHashAlgorithm_RIPEMD160, "RIPEMD160"}, {QELHashAlgorithm_SHA224, "SHA224"},
                            {QELHashAlgorithm_SHA256, "SHA256"}, {QELHashAlgorithm_SHA384, "SHA384"},
                            {QELHashAlgorithm_SHA512, "SHA512"}};

Bytes digestOf(int id, const std::string &text)
{
    const QELHashDescriptor *d = qelHashDescriptorFind(id);
    Bytes state(d->stateSize);
    d->init(state.data());
    d->update(state.data(), text.data(), text.size());
    const std::uint8_t *out = d->final(state.data());
    return Bytes(out, out + d->digestSize);
}

// The signature or ciphertext as the k-octet big-endian value OpenSSL takes.
Bytes asRaw(const Bytes &v, std::int32_t format, std::size_t k)
{
    Bytes value = v;
    if (format == QELPkFormat_RFC4880)
        value.erase(value.begin(), value.begin() + 2);
    if (format == QELPkFormat_DER) {
        // 02 len [00] value: the content octets.
        std::size_t hdr = 2;
        if (value[1] & 0x80)
            hdr += value[1] & 0x7F;
        value.erase(value.begin(), value.begin() + hdr);
    }
    while (value.size() > k && value[0] == 0)
        value.erase(value.begin());
    Bytes out(k - value.size(), 0);
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

class RSATest : public qeltest::SDKSuite {
protected:
    static void SetUpTestSuite()
    {
        SDKSuite::SetUpTestSuite();
        key = generate(1024, 65537).release();
        keyE3 = generate(1024, 3).release();
    }
    static void TearDownTestSuite()
    {
        delete key;
        delete keyE3;
        SDKSuite::TearDownTestSuite();
    }
    static Bytes secretMaterial(const OsslKey &k)
    {
        return material({k.n, k.e}, {k.d, k.p, k.q, k.u});
    }
    static Bytes publicMaterial(const OsslKey &k) { return cat({mpi(k.n), mpi(k.e)}); }

    static OsslKey *key;
    static OsslKey *keyE3;
    TestRandom random;
};
OsslKey *RSATest::key = nullptr;
OsslKey *RSATest::keyE3 = nullptr;

TEST_F(RSATest, ImportsPeerKeysAndReportsSizes)
{
    QELStatus status = -1;
    SecretKey sec = secretFrom(context, 1, secretMaterial(*key), &status);
    ASSERT_NE(sec, nullptr);
    EXPECT_EQ(status, QELError_NoErr);
    EXPECT_EQ(sec->isLocked(sec.get()), 0u);
    PublicKey pub(sec->publicObject(sec.get()), destroyPublic);
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(exportPublic(pub.get()), publicMaterial(*key));
    EXPECT_EQ(exportSecret(sec.get()), secretMaterial(*key));
    for (std::int32_t f : {1, 101}) {
        EXPECT_EQ(pub->maxEncryptedSize(pub.get(), f), 130);
    }
    EXPECT_EQ(pub->maxEncryptedSize(pub.get(), QELPkFormat_DER), 1 + 2 + 129);
    EXPECT_EQ(pub->maxEncryptedSize(pub.get(), 6), 0);
    EXPECT_EQ(pub->maxPlaintextSize(pub.get()), 125);
    EXPECT_EQ(sec->maxSignatureSize(sec.get(), QELPkFormat_Raw), 128);

    qeltest::BigNum d, p, q, u;
    QELBigNum *values[] = {&d, &p, &q, &u};
    ASSERT_EQ(sec->getSecretParameters(sec.get(), values), QELError_NoErr);
    EXPECT_EQ(d.hex(), qeltest::toHex(key->d));
    EXPECT_EQ(u.hex(), qeltest::toHex(key->u));
    // Locked: no secret values, and no signature.
    ASSERT_EQ(sec->lock(sec.get()), QELError_NoErr);
    EXPECT_EQ(sec->getSecretParameters(sec.get(), values), QELError_KeyLocked);
    std::uint8_t sig[128];
    std::size_t len = 99;
    const Bytes digest = digestOf(QELHashAlgorithm_SHA1, "x");
    EXPECT_EQ(sec->sign(sec.get(), qelHashDescriptorFind(2), digest.data(), digest.size(), sig, &len, &random, 2),
              QELError_KeyLocked);
    EXPECT_EQ(len, 0u);
}

TEST_F(RSATest, OurSignaturesVerifyWithOpenSSLAndTheirsHere)
{
    SecretKey sec = secretFrom(context, 1, secretMaterial(*key));
    PublicKey pub = publicFrom(context, 1, publicMaterial(*key));
    ASSERT_NE(sec, nullptr);
    ASSERT_NE(pub, nullptr);
    for (const HashCase &h : kHashes) {
        const QELHashDescriptor *desc = qelHashDescriptorFind(h.id);
        const Bytes digest = digestOf(h.id, std::string("message for ") + h.name);
        const EVP_MD *md = EVP_get_digestbyname(h.name);
        for (std::int32_t format : {1, 2, 3, 4, 101, 102, 103, 104}) {
            SCOPED_TRACE(std::string(h.name) + " format " + std::to_string(format));
            const std::int32_t base = format % 100;
            std::uint8_t sig[200];
            std::size_t len = 0;
            ASSERT_EQ(sec->sign(sec.get(), desc, digest.data(), digest.size(), sig, &len, &random, format),
                      QELError_NoErr);
            const Bytes ours(sig, sig + len);
            // OpenSSL checks the same block.
            const Bytes raw = asRaw(ours, base == 3 ? QELPkFormat_Raw : base, 128);
            EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key->pkey, nullptr);
            ASSERT_EQ(EVP_PKEY_verify_init(ctx), 1);
            ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
            if (base != 4) {
                ASSERT_EQ(EVP_PKEY_CTX_set_signature_md(ctx, md), 1);
            }
            EXPECT_EQ(EVP_PKEY_verify(ctx, raw.data(), raw.size(), digest.data(), digest.size()), 1);
            EVP_PKEY_CTX_free(ctx);
            // Ours verifies ours; the verify slot reads the base format.
            if (format < 100) {
                EXPECT_EQ(pub->verify(pub.get(), sig, len, desc, digest.data(), digest.size(), format), 1);
            }
        }
        // OpenSSL's signature verifies here; another digest does not.
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key->pkey, nullptr);
        ASSERT_EQ(EVP_PKEY_sign_init(ctx), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
        ASSERT_EQ(EVP_PKEY_CTX_set_signature_md(ctx, md), 1);
        Bytes theirs(128);
        std::size_t tl = theirs.size();
        ASSERT_EQ(EVP_PKEY_sign(ctx, theirs.data(), &tl, digest.data(), digest.size()), 1);
        EVP_PKEY_CTX_free(ctx);
        EXPECT_EQ(pub->verify(pub.get(), theirs.data(), tl, desc, digest.data(), digest.size(), 2), 1) << h.name;
        const Bytes mpiSig = mpi(theirs);
        EXPECT_EQ(pub->verify(pub.get(), mpiSig.data(), mpiSig.size(), desc, digest.data(), digest.size(), 1), 1);
        Bytes other = digest;
        other[0] ^= 1;
        EXPECT_EQ(pub->verify(pub.get(), theirs.data(), tl, desc, other.data(), other.size(), 2), 0) << h.name;
    }
    // A signature MPI cut short cannot be read.
    const Bytes digest = digestOf(2, "m");
    std::uint8_t sig[200];
    std::size_t len = 0;
    ASSERT_EQ(sec->sign(sec.get(), qelHashDescriptorFind(2), digest.data(), 20, sig, &len, &random, 1), 0);
    EXPECT_EQ(pub->verify(pub.get(), sig, len - 1, qelHashDescriptorFind(2), digest.data(), 20, 1),
              QELError_TruncatedPacket);
}

// Encrypts with OpenSSL: PKCS #1 v1.5 or OAEP.
Bytes opensslEncrypt(EVP_PKEY *k, const Bytes &m, bool oaep, const char *labelHash = "SHA256",
                     const char *maskHash = "SHA1", const std::string &label = "")
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k, nullptr);
    EXPECT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
    if (oaep) {
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING), 1);
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_get_digestbyname(labelHash)), 1);
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_get_digestbyname(maskHash)), 1);
        if (!label.empty()) {
            void *l = OPENSSL_memdup(label.data(), label.size());
            EXPECT_EQ(EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, l, int(label.size())), 1);
        }
    } else {
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
    }
    Bytes out(512);
    std::size_t len = out.size();
    EXPECT_EQ(EVP_PKEY_encrypt(ctx, out.data(), &len, m.data(), m.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    out.resize(len);
    return out;
}

Bytes opensslDecrypt(EVP_PKEY *k, const Bytes &c, bool oaep, const char *labelHash = "SHA256",
                     const char *maskHash = "SHA1", const std::string &label = "")
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k, nullptr);
    EXPECT_EQ(EVP_PKEY_decrypt_init(ctx), 1);
    if (oaep) {
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING), 1);
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_get_digestbyname(labelHash)), 1);
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_get_digestbyname(maskHash)), 1);
        if (!label.empty()) {
            void *l = OPENSSL_memdup(label.data(), label.size());
            EXPECT_EQ(EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, l, int(label.size())), 1);
        }
    } else {
        EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
    }
    Bytes out(512);
    std::size_t len = out.size();
    EXPECT_EQ(EVP_PKEY_decrypt(ctx, out.data(), &len, c.data(), c.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    out.resize(len);
    return out;
}

// The OAEP parameter header: label hash, mask hash, label length, label.
Bytes oaepInput(int labelHash, int maskHash, const std::string &label, const Bytes &message)
{
    const std::uint32_t L = std::uint32_t(label.size());
    Bytes in(6 + L + message.size());
    in[0] = std::uint8_t(labelHash);
    in[1] = std::uint8_t(maskHash);
    for (int i = 0; i < 4; ++i)
        in[2 + i] = std::uint8_t(L >> (24 - 8 * i));
    std::copy(label.begin(), label.end(), in.begin() + 6);
    std::copy(message.begin(), message.end(), in.begin() + 6 + L);
    return in;
}

// A fault in one half of the CRT (planted by the test hook) is caught by
// the check against the public key: an error, and nothing of the faulty
// result in the output, for signing and decryption, blinded or not.
TEST_F(RSATest, AFaultInOneCRTHalfIsCaughtAndLeavesNothing)
{
    SecretKey sec = secretFrom(context, 1, secretMaterial(*key));
    PublicKey pub = publicFrom(context, 1, publicMaterial(*key));
    ASSERT_NE(sec, nullptr);
    ASSERT_NE(pub, nullptr);
    const QELHashDescriptor *desc = qelHashDescriptorFind(QELHashAlgorithm_SHA256);
    const Bytes digest = digestOf(QELHashAlgorithm_SHA256, "faulty");
    const Bytes sessionKey = {9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::uint8_t ct[200];
    std::size_t ctLength = 0;
    ASSERT_EQ(pub->encrypt(pub.get(), sessionKey.data(), sessionKey.size(), ct, &ctLength, &random.context, 1), 0);
    struct Reset {
        ~Reset() { qelRSAFaultCRTForTesting(false); }
    } reset;
    for (std::int32_t format : {1, 101}) {
        SCOPED_TRACE(format);
        qelRSAFaultCRTForTesting(true);
        std::uint8_t out[200];
        std::memset(out, 0xAA, sizeof out);
        std::size_t len = 123;
        EXPECT_EQ(sec->sign(sec.get(), desc, digest.data(), digest.size(), out, &len, &random.context, format),
                  QELError_BadKeyParameters);
        EXPECT_EQ(len, 0u);
        // Only the wiped block and the untouched rest: no octet of a result.
        EXPECT_TRUE(std::all_of(out, out + sizeof out, [](std::uint8_t b) { return b == 0 || b == 0xAA; }));
        std::memset(out, 0xAA, sizeof out);
        len = 123;
        EXPECT_EQ(sec->decrypt(sec.get(), ct, ctLength, out, &len, nullptr, 0, format), QELError_BadKeyParameters);
        EXPECT_EQ(len, 0u);
        EXPECT_TRUE(std::all_of(out, out + sizeof out, [](std::uint8_t b) { return b == 0xAA; }));

        qelRSAFaultCRTForTesting(false);
        ASSERT_EQ(sec->sign(sec.get(), desc, digest.data(), digest.size(), out, &len, &random.context, format), 0);
        EXPECT_EQ(pub->verify(pub.get(), out, len, desc, digest.data(), digest.size(), format % 100), 1);
        ASSERT_EQ(sec->decrypt(sec.get(), ct, ctLength, out, &len, nullptr, 0, format), 0);
        EXPECT_EQ(Bytes(out, out + len), sessionKey);
    }
}

// A random source that cannot deliver stops encryption and key generation
// with its status, and nothing is written.
TEST_F(RSATest, ASourceThatCannotDeliverStopsTheOperation)
{
    PublicKey pub = publicFrom(context, 1, publicMaterial(*key));
    ASSERT_NE(pub, nullptr);
    const Bytes sessionKey = {9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (std::int32_t format : {1, 101}) {
        SCOPED_TRACE(format);
        random.budget = 0;
        std::uint8_t out[600];
        std::memset(out, 0xAA, sizeof out);
        std::size_t len = 123;
        EXPECT_EQ(pub->encrypt(pub.get(), sessionKey.data(), sessionKey.size(), out, &len, &random.context, format),
                  QELError_OutOfEntropy);
        EXPECT_EQ(len, 0u);
        // Only the wiped scratch and the untouched rest: no octet of a result.
        EXPECT_TRUE(std::all_of(out, out + sizeof out, [](std::uint8_t b) { return b == 0 || b == 0xAA; }));
    }
    // Dry at once, and dry after the first prime's candidate.
    for (std::uint64_t budget : {std::uint64_t{0}, std::uint64_t{100}}) {
        SCOPED_TRACE(budget);
        random.budget = budget;
        QELStatus status = 0;
        EXPECT_EQ(qelPkAlgGenerateKey(context, qelPkAlgFind(1), 1024, 0, 0, 0, &random.context, nullptr, nullptr,
                                      nullptr, nullptr, 0, 1, &status),
                  nullptr);
        EXPECT_EQ(status, QELError_OutOfEntropy);
    }
}

// A decrypted message too short to be a session key with its checksum is
// refused, and what had been copied of it is wiped.
TEST_F(RSATest, ARefusedDecryptionLeavesNothingBehind)
{
    SecretKey sec = secretFrom(context, 1, secretMaterial(*key));
    PublicKey pub = publicFrom(context, 1, publicMaterial(*key));
    ASSERT_NE(sec, nullptr);
    ASSERT_NE(pub, nullptr);
    const Bytes tiny = {0x42, 0x43};
    std::uint8_t ct[200];
    std::size_t ctLength = 0;
    ASSERT_EQ(pub->encrypt(pub.get(), tiny.data(), tiny.size(), ct, &ctLength, &random.context, 2), 0);
    std::uint8_t out[200];
    std::memset(out, 0xAA, sizeof out);
    std::size_t len = 7;
    EXPECT_EQ(sec->decrypt(sec.get(), ct, ctLength, out, &len, nullptr, 0, 2), QELError_CorruptData);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0);
}

TEST_F(RSATest, EncryptionBothWaysInEveryLayout)
{
    SecretKey sec = secretFrom(context, 1, secretMaterial(*key));
    PublicKey pub = publicFrom(context, 1, publicMaterial(*key));
    ASSERT_NE(sec, nullptr);
    const Bytes sessionKey = fromHex("03" "00112233445566778899aabbccddeeff");
    const std::string label = "a label";
    for (std::int32_t format : {1, 2, 3, 4, 5}) {
        SCOPED_TRACE("format " + std::to_string(format));
        const Bytes in = format == 5 ? oaepInput(QELHashAlgorithm_SHA256, QELHashAlgorithm_SHA1, label, sessionKey)
                                     : sessionKey;
        std::uint8_t c[200];
        std::size_t clen = 0;
        ASSERT_EQ(pub->encrypt(pub.get(), in.data(), in.size(), c, &clen, &random, format), QELError_NoErr);
        ASSERT_LE(clen, (std::size_t)pub->maxEncryptedSize(pub.get(), format));
        if (format == 2 || format == 4 || format == 5) {
            EXPECT_EQ(clen, 128u);
        }
        // OpenSSL decrypts ours.
        const Bytes raw = asRaw(Bytes(c, c + clen), format, 128);
        const Bytes plain = opensslDecrypt(key->pkey, raw, format == 5, "SHA256", "SHA1", label);
        if (format == 1) {
            // The algorithm octet, the key and its checksum.
            ASSERT_EQ(plain.size(), sessionKey.size() + 2);
            EXPECT_EQ(Bytes(plain.begin(), plain.end() - 2), sessionKey);
        } else {
            EXPECT_EQ(plain, sessionKey);
        }
        // And we decrypt ours, blinded or not by name.
        for (std::int32_t f : {format, format + 100}) {
            std::uint8_t out[130] = {};
            std::size_t olen = 0;
            Bytes input(c, c + clen);
            if (format == 5)
                input = cat({Bytes(in.begin(), in.begin() + 6 + label.size()), input});
            ASSERT_EQ(sec->decrypt(sec.get(), input.data(), input.size(), out, &olen, nullptr, 0, f), QELError_NoErr);
            EXPECT_EQ(Bytes(out, out + olen), sessionKey);
            if (format == 1) {
                EXPECT_EQ(out[olen] | out[olen + 1], 0);
            }
        }
    }
    // OpenSSL's ciphertexts decrypt here.
    const Bytes m = fromHex("deadbeef0102030405");
    const Bytes pk1 = opensslEncrypt(key->pkey, m, false);
    std::uint8_t out[130];
    std::size_t olen = 0;
    ASSERT_EQ(sec->decrypt(sec.get(), pk1.data(), pk1.size(), out, &olen, nullptr, 0, 2), QELError_NoErr);
    EXPECT_EQ(Bytes(out, out + olen), m);
    const Bytes oaep = opensslEncrypt(key->pkey, m, true, "SHA256", "SHA256", label);
    const Bytes in5 = cat({oaepInput(8, 8, label, {}), oaep});
    ASSERT_EQ(sec->decrypt(sec.get(), in5.data(), in5.size(), out, &olen, nullptr, 0, 105), QELError_NoErr);
    EXPECT_EQ(Bytes(out, out + olen), m);
}

TEST_F(RSATest, RefusesWhatIsTooLargeOrMalformed)
{
    SecretKey sec = secretFrom(context, 1, secretMaterial(*key));
    PublicKey pub = publicFrom(context, 1, publicMaterial(*key));
    std::uint8_t c[200];
    std::size_t clen = 7;
    // The largest messages that keep eight padding octets, and one more.
    const Bytes fits(128 - 11, 0x41), tooLong(128 - 10, 0x41);
    EXPECT_EQ(pub->encrypt(pub.get(), fits.data(), fits.size(), c, &clen, &random, 2), QELError_NoErr);
    std::memset(c, 0xEE, sizeof c);
    EXPECT_EQ(pub->encrypt(pub.get(), tooLong.data(), tooLong.size(), c, &clen, &random, 2), QELError_DataTooLarge);
    EXPECT_EQ(clen, 0u);
    // Format 1 counts the algorithm octet and the checksum; nothing is copied first.
    EXPECT_EQ(pub->encrypt(pub.get(), fits.data(), fits.size() - 1, c, &clen, &random, 1), QELError_DataTooLarge);
    EXPECT_EQ(c[0], 0xEE);
    const Bytes oaepMax = oaepInput(8, 2, "", Bytes(128 - 2 * 32 - 2, 1));
    const Bytes oaepOver = oaepInput(8, 2, "", Bytes(128 - 2 * 32 - 1, 1));
    EXPECT_EQ(pub->encrypt(pub.get(), oaepMax.data(), oaepMax.size(), c, &clen, &random, 5), QELError_NoErr);
    EXPECT_EQ(pub->encrypt(pub.get(), oaepOver.data(), oaepOver.size(), c, &clen, &random, 5), QELError_DataTooLarge);
    const Bytes badHeader = {8, 2, 0, 0, 0, 9, 1};
    EXPECT_EQ(pub->encrypt(pub.get(), badHeader.data(), badHeader.size(), c, &clen, &random, 5), QELError_MalformedESK);

    // A ciphertext or signature not below n.
    const Bytes n = key->n;
    std::uint8_t out[130];
    std::size_t olen = 0;
    EXPECT_EQ(sec->decrypt(sec.get(), n.data(), n.size(), out, &olen, nullptr, 0, 2), QELError_MalformedESK);
    const Bytes digest = digestOf(2, "z");
    EXPECT_EQ(pub->verify(pub.get(), n.data(), n.size(), qelHashDescriptorFind(2), digest.data(), 20, 2), 0);
    EXPECT_EQ(sec->decrypt(sec.get(), n.data(), 1, out, &olen, nullptr, 0, 2), QELError_MalformedESK);
    // A modulus too small for any message: the size query answers 0.
    PublicKey tiny = publicFrom(context, 1, cat({mpi({0x0F}), mpi({0x03})}));
    ASSERT_NE(tiny, nullptr);
    EXPECT_EQ(tiny->maxPlaintextSize(tiny.get()), 0);
    EXPECT_EQ(tiny->encrypt(tiny.get(), fits.data(), 0, c, &clen, &random, 2), QELError_DataTooLarge);
    // A decryption of garbage is a padding failure, not another error.
    Bytes garbage(128, 0x33);
    EXPECT_EQ(sec->decrypt(sec.get(), garbage.data(), garbage.size(), out, &olen, nullptr, 0, 2), QELError_CorruptData);
}

// Raw private-key operation with OpenSSL on a block of our choosing.
Bytes rawSign(EVP_PKEY *k, const Bytes &block)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k, nullptr);
    EXPECT_EQ(EVP_PKEY_sign_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING), 1);
    Bytes out(block.size());
    std::size_t len = out.size();
    EXPECT_EQ(EVP_PKEY_sign(ctx, out.data(), &len, block.data(), block.size()), 1);
    EVP_PKEY_CTX_free(ctx);
    return out;
}

TEST_F(RSATest, ComparesTheWholeSignatureBlock)
{
    PublicKey pub = publicFrom(context, 1, publicMaterial(*keyE3));
    ASSERT_NE(pub, nullptr);
    const QELHashDescriptor *sha1 = qelHashDescriptorFind(QELHashAlgorithm_SHA1);
    const Bytes digest = digestOf(QELHashAlgorithm_SHA1, "forge me");
    const Bytes info(sha1->digestInfoPrefix, sha1->digestInfoPrefix + sha1->prefixLength);
    const Bytes infoNoNull = fromHex("301f300706052b0e03021a0414");
    auto block = [&](std::size_t padding, const Bytes &di, const Bytes &tail, std::uint8_t type = 1,
                     std::uint8_t pad = 0xFF) {
        Bytes b{0, type};
        b.insert(b.end(), padding, pad);
        b.push_back(0);
        b.insert(b.end(), di.begin(), di.end());
        b.insert(b.end(), digest.begin(), digest.end());
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    const std::size_t full = 128 - 3 - info.size() - digest.size();
    struct Case {
        const char *what;
        Bytes block;
        int expected;
    };
    const Case cases[] = {
        {"correct", block(full, info, {}), 1},
        {"DigestInfo without NULL", block(full + 2, infoNoNull, {}), 1},
        {"short padding, trailing garbage", block(8, info, Bytes(full - 8, 0x5A)), 0},
        {"no padding, trailing garbage", block(0, info, Bytes(full, 0)), 0},
        {"padding not 0xFF", block(full, info, {}, 1, 0xFE), 0},
        {"block type 2", block(full, info, {}, 2), 0},
        {"digest alone", block(full + info.size(), {}, {}), 0},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(c.block.size(), 128u) << c.what;
        const Bytes sig = rawSign(keyE3->pkey, c.block);
        EXPECT_EQ(pub->verify(pub.get(), sig.data(), sig.size(), sha1, digest.data(), digest.size(), 2), c.expected)
            << c.what;
    }
}

TEST_F(RSATest, GeneratedKeyIsSoundAndAcceptedByOpenSSL)
{
    QELStatus status = -1;
    std::string progress;
    auto cb = [](void *data, std::int32_t ch) -> std::int32_t {
        *static_cast<std::string *>(data) += char(ch);
        return 0;
    };
    SecretKey sec(qelPkAlgGenerateKey(context, qelPkAlgFind(1), 1024, 0, 0, 0, &random, cb, &progress, nullptr,
                                      nullptr, 0, 1, &status),
                  destroySecret);
    ASSERT_NE(sec, nullptr);
    EXPECT_EQ(status, QELError_NoErr);
    EXPECT_NE(progress.find(' '), std::string::npos);
    qeltest::BigNum n, e, d, p, q, u;
    QELBigNum *pubValues[] = {&n, &e};
    QELBigNum *secValues[] = {&d, &p, &q, &u};
    PublicKey pub(sec->publicObject(sec.get()), destroyPublic);
    ASSERT_EQ(pub->getParameters(pub.get(), pubValues), QELError_NoErr);
    ASSERT_EQ(sec->getSecretParameters(sec.get(), secValues), QELError_NoErr);
    EXPECT_EQ(e.hex(), "010001");
    EXPECT_EQ(QELBigNumOps.qelBigNumBitLength(&n), 1024u);
    EXPECT_LT(QELBigNumOps.qelBigNumCompare(&p, &q), 0);

    // OpenSSL checks the key as a whole.
    BIGNUM *bn[6];
    qeltest::BigNum *vals[] = {std::addressof(n), std::addressof(e), std::addressof(d), std::addressof(p), std::addressof(q), std::addressof(u)};
    for (int i = 0; i < 6; ++i)
        bn[i] = bnFrom(fromHex(vals[i]->hex().size() % 2 ? "0" + vals[i]->hex() : vals[i]->hex()));
    BN_CTX *bctx = BN_CTX_new();
    BIGNUM *dp = BN_new(), *dq = BN_new(), *t = BN_new();
    BN_sub(t, bn[3], BN_value_one());
    BN_mod(dp, bn[2], t, bctx);
    BN_sub(t, bn[4], BN_value_one());
    BN_mod(dq, bn[2], t, bctx);
    BIGNUM *qinv = BN_mod_inverse(nullptr, bn[4], bn[3], bctx);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn[0]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, bn[1]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, bn[2]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, bn[3]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, bn[4]);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, dp);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, dq);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv);
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *pkey = nullptr;
    ASSERT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
    ASSERT_EQ(EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEYPAIR, params), 1);
    EVP_PKEY_CTX *check = EVP_PKEY_CTX_new(pkey, nullptr);
    EXPECT_EQ(EVP_PKEY_check(check), 1);
    // A signature of the new key verifies there.
    const Bytes digest = digestOf(8, "generated");
    std::uint8_t sig[128];
    std::size_t len = 0;
    ASSERT_EQ(sec->sign(sec.get(), qelHashDescriptorFind(8), digest.data(), 32, sig, &len, &random, 2), 0);
    EVP_PKEY_CTX *vctx = EVP_PKEY_CTX_new(pkey, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(vctx), 1);
    EVP_PKEY_CTX_set_rsa_padding(vctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(vctx, EVP_sha256());
    EXPECT_EQ(EVP_PKEY_verify(vctx, sig, len, digest.data(), digest.size()), 1);
    EVP_PKEY_CTX_free(vctx);
    EVP_PKEY_CTX_free(check);
    EVP_PKEY_free(pkey);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    for (BIGNUM *b : bn)
        BN_free(b);
    BN_free(dp);
    BN_free(dq);
    BN_free(t);
    BN_free(qinv);
    BN_CTX_free(bctx);

    // Unprotected material of the new key gives an unlocked object again.
    SecretKey again = secretFrom(context, 1, exportSecret(sec.get()));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->isLocked(again.get()), 0u);
}

TEST_F(RSATest, GenerationRefusalsKeepTheirCause)
{
    QELStatus status = 0;
    EXPECT_EQ(qelPkAlgGenerateKey(context, qelPkAlgFind(1), 4097, 0, 0, 0, &random, nullptr, nullptr, nullptr,
                                  nullptr, 0, 1, &status),
              nullptr);
    EXPECT_EQ(status, QELError_KeyCheckFailed);
    // The caller's abort from the progress callback comes back as it was.
    auto abort = [](void *, std::int32_t) -> std::int32_t { return -4242; };
    EXPECT_EQ(qelPkAlgGenerateKey(context, qelPkAlgFind(1), 1024, 0, 0, 0, &random, abort, nullptr, nullptr, nullptr,
                                  0, 1, &status),
              nullptr);
    EXPECT_EQ(status, -4242);
    for (std::uint8_t id : {18, 19, 99}) {
        EXPECT_EQ(qelPkAlgGenerateKey(context, qelPkAlgFind(id), 1024, 0, 0, 0, &random, nullptr, nullptr, nullptr,
                                      nullptr, 0, 1, &status),
                  nullptr);
        EXPECT_EQ(status, QELError_UnsupportedAlgorithm);
        const Bytes m = secretMaterial(*key);
        EXPECT_EQ(secretFrom(context, id, m, &status), nullptr);
        EXPECT_EQ(status, QELError_UnsupportedAlgorithm);
    }
}

TEST_F(RSATest, HostileMaterialGetsItsStatus)
{
    const OsslKey &k = *key;
    Bytes nTop = mpi(k.n);
    nTop[2] = 0x40;   // bit count 1024, top octet 0x40
    Bytes even = mpi(k.n);
    even.back() &= 0xFE;
    const Bytes one{1};
    const Bytes whole = material({k.n, k.e}, {k.d, k.p, k.q, k.u});
    struct Case {
        const char *what;
        Bytes material;
        bool secret;
        QELStatus status;   // of the constructor
        std::uint32_t locked;   // when made
    };
    const Case cases[] = {
        {"3 octets", {0x04, 0x00, 0xC1}, false, QELError_BadAlgorithmData, 0},
        {"n top octet disagrees", cat({nTop, mpi(k.e)}), false, QELError_BadMPIBitCount, 0},
        {"n even", cat({even, mpi(k.e)}), false, QELError_BadMPIOddness, 0},
        {"e missing", mpi(k.n), false, QELError_BadAlgorithmData, 0},
        {"e bit count 0", cat({mpi(k.n), Bytes{0, 0, 1}}), false, QELError_BadMPIBitCount2, 0},
        {"n over 4096 bits", cat({mpi(Bytes(513, 0xC3)), mpi(k.e)}), false, QELError_KeyCheckFailed, 0},
        {"secret MPI cut short", Bytes(whole.begin(), whole.end() - 40), true, QELError_NoErr, 1},
        {"p = 1", material({k.n, k.e}, {k.d, one, k.q, k.u}), true, QELError_NoErr, 1},
        {"q = n", material({k.n, k.e}, {k.d, k.p, k.n, k.u}), true, QELError_NoErr, 1},
        {"d >= n", material({k.n, k.e}, {k.n, k.p, k.q, k.u}), true, QELError_NoErr, 1},
        {"p and q swapped with the same u", material({k.n, k.e}, {k.d, k.q, k.p, k.u}), true, QELError_NoErr, 1},
        {"no usage octet", cat({mpi(k.n), mpi(k.e)}), true, QELError_BadAlgorithmData, 0},
    };
    for (const Case &c : cases) {
        QELStatus status = 1;
        if (c.secret) {
            SecretKey key = secretFrom(context, 1, c.material, &status);
            EXPECT_EQ(status, c.status) << c.what;
            if (key) {
                EXPECT_EQ(key->isLocked(key.get()), c.locked) << c.what;
            }
        } else {
            PublicKey key = publicFrom(context, 1, c.material, &status);
            EXPECT_EQ(status, c.status) << c.what;
            EXPECT_EQ(key == nullptr, c.status != 0) << c.what;
        }
    }
}

#endif // QEL_HAVE_OPENSSL

} // namespace
