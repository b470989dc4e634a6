// PKCS #7 signed and enveloped data against OpenSSL: what `openssl smime`
// and `openssl cms -stream` sign verifies here, what we sign verifies in
// `openssl smime -verify`, and what OpenSSL envelops opens here. The
// callbacks digest, sign, verify and decrypt with libcrypto.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "pki_test_util.h"
#include "qelPKICertificateInternal.h"
#include "qelPKIPKCS7Internal.h"
#include "qelPKIRequestInternal.h"
#include "qelTestEnv.h"

namespace {

using pkitest::Bytes;
using pkitest::run;

constexpr char kData[] = "1.2.840.113549.1.7.1";
constexpr char kSha256[] = "2.16.840.1.101.3.4.2.1";
constexpr char kRSA[] = "1.2.840.113549.1.1.1";

struct Peer {
    qeltest::TempDir dir{"pkcs7"};
    std::string cert, key;
    EVP_PKEY *pkey = nullptr;
    Bytes certDER;
    bool ok = false;
    Peer()
    {
        cert = dir / "cert.pem";
        key = dir / "key.pem";
        int rc = 0;
        run("openssl req -x509 -newkey rsa:2048 -nodes -subj '/CN=PKCS7 Signer/O=Qel Test' -days 30 -keyout " + key +
                " -out " + cert + " >/dev/null 2>&1 && openssl x509 -in " + cert + " -outform DER -out " + cert +
                ".der",
            &rc);
        FILE *f = std::fopen(key.c_str(), "r");
        if (rc != 0 || f == nullptr)
            return;
        pkey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
        std::fclose(f);
        certDER = pkitest::fileBytes(cert + ".der");
        ok = pkey != nullptr && !certDER.empty();
    }
    ~Peer() { EVP_PKEY_free(pkey); }
};

Peer &peer()
{
    static Peer p;
    return p;
}

const EVP_MD *mdOf(const char *oid)
{
    ASN1_OBJECT *o = OBJ_txt2obj(oid, 1);
    const EVP_MD *md = o != nullptr ? EVP_get_digestbyobj(o) : nullptr;
    ASN1_OBJECT_free(o);
    return md;
}

int digest(ASN1_OctetString *out, const char *oid, const std::uint8_t *data, std::uint64_t n, void *,
           ASN1Context *codec)
{
    const EVP_MD *md = mdOf(oid);
    unsigned char buf[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (md == nullptr || EVP_Digest(data, n, buf, &len, md, nullptr) != 1)
        return -100;
    return asn1SetOctetString(codec, out, buf, len) == 0 ? 0 : -3;
}

int signer(ASN1_OctetString *out, const char *digestOID, const char *, ASN1_Certificate *, const std::uint8_t *data,
           std::uint64_t n, void *signData, ASN1Context *codec)
{
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    std::size_t len = 0;
    std::vector<std::uint8_t> sig;
    int ok = EVP_DigestSignInit(md, nullptr, mdOf(digestOID), nullptr, static_cast<EVP_PKEY *>(signData)) == 1 &&
             EVP_DigestSign(md, nullptr, &len, data, n) == 1;
    if (ok) {
        sig.resize(len);
        ok = EVP_DigestSign(md, sig.data(), &len, data, n) == 1;
    }
    EVP_MD_CTX_free(md);
    if (!ok)
        return -101;
    return asn1SetOctetString(codec, out, sig.data(), len) == 0 ? 0 : -3;
}

EVP_PKEY *keyOf(ASN1_Certificate *cert, ASN1Context *codec)
{
    const std::uint64_t n = asn1Sizeof_Certificate(codec, cert, 1);
    Bytes der(n);
    std::int32_t err = 0;
    asn1Pack_Certificate(codec, der.data(), n, cert, &err);
    const unsigned char *p = der.data();
    X509 *x = d2i_X509(nullptr, &p, static_cast<long>(n));
    EVP_PKEY *k = x != nullptr ? X509_get_pubkey(x) : nullptr;
    X509_free(x);
    return k;
}

int verifier(const std::uint8_t *data, std::uint64_t n, const char *digestOID, const char *, ASN1_OctetString *sig,
             ASN1_Certificate *cert, void *, ASN1Context *codec)
{
    EVP_PKEY *k = keyOf(cert, codec);
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    const int ok = k != nullptr && EVP_DigestVerifyInit(md, nullptr, mdOf(digestOID), nullptr, k) == 1 &&
                   EVP_DigestVerify(md, sig->data, sig->length, data, n) == 1;
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(k);
    return ok ? 0 : -102;
}

// RSA key transport, then DES-EDE3-CBC with the IV of the parameters.
int decrypter(std::uint8_t **out, std::uint64_t *outLength, const char *contentOID, ASN1_Any *params,
              ASN1_OctetString *encrypted, const char *, ASN1_OctetString *encryptedKey, ASN1_Certificate *,
              void *data, ASN1Context *codec)
{
    if (std::string(contentOID) != "1.2.840.113549.3.7" || params == nullptr || params->length != 10 ||
        encrypted == nullptr)
        return -103;
    EVP_PKEY_CTX *pc = EVP_PKEY_CTX_new(static_cast<EVP_PKEY *>(data), nullptr);
    unsigned char cek[512];
    std::size_t cekLen = sizeof cek;
    const bool keyOk = EVP_PKEY_decrypt_init(pc) == 1 &&
                       EVP_PKEY_decrypt(pc, cek, &cekLen, encryptedKey->data, encryptedKey->length) == 1;
    EVP_PKEY_CTX_free(pc);
    if (!keyOk || cekLen != 24)
        return -104;
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    Bytes plain(encrypted->length + 16);
    int a = 0, b = 0;
    const bool ok = EVP_DecryptInit_ex(c, EVP_des_ede3_cbc(), nullptr, cek, params->data + 2) == 1 &&
                    EVP_DecryptUpdate(c, plain.data(), &a, encrypted->data, static_cast<int>(encrypted->length)) == 1 &&
                    EVP_DecryptFinal_ex(c, plain.data() + a, &b) == 1;
    EVP_CIPHER_CTX_free(c);
    if (!ok)
        return -105;
    *out = static_cast<std::uint8_t *>(codec->allocator->alloc(codec->allocator, a + b + 1));
    std::memcpy(*out, plain.data(), a + b);
    *outLength = a + b;
    return 0;
}

class PKCS7Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!pkitest::havePeers() || !peer().ok)
            GTEST_SKIP() << "openssl missing";
        std::int32_t err = 0;
        asn1Unpack_Certificate(ctx.codec(), &cert, peer().certDER.data(), peer().certDER.size(), &err);
        ASSERT_NE(cert, nullptr);
    }
    void TearDown() override { asn1Free_Certificate(ctx.codec(), cert); }

    // The SignedData inside a ContentInfo.
    ASN1_SignedData *unwrap(const Bytes &der)
    {
        ASN1_ContentInfo *ci = nullptr;
        std::int32_t err = 0;
        asn1Unpack_ContentInfo(ctx.codec(), &ci, der.data(), der.size(), &err);
        EXPECT_EQ(err, 0);
        if (ci == nullptr || ci->content == nullptr)
            return nullptr;
        ASN1_SignedData *sd = nullptr;
        asn1Unpack_SignedData(ctx.codec(), &sd, ci->content->data, ci->content->length, &err);
        EXPECT_EQ(err, 0);
        asn1Free_ContentInfo(ctx.codec(), ci);
        return sd;
    }

    int check(ASN1_SignedData *sd, ASN1_Certificate *signerCert, Bytes &content)
    {
        std::uint8_t *out = nullptr;
        std::uint64_t n = 0;
        const int rc =
            qelPKISignedDataVerify(&out, &n, sd, signerCert, digest, nullptr, verifier, nullptr, ctx.codec());
        content.assign(out, out + n);
        if (out != nullptr)
            ctx.codec()->allocator->free(ctx.codec()->allocator, out);
        return rc;
    }

    pkitest::Context ctx;
    ASN1_Certificate *cert = nullptr;
};

TEST_F(PKCS7Test, OpenSSLSignedDataVerifiesHere)
{
    const std::string msg = peer().dir / "msg.txt";
    const std::string text = "Signed by OpenSSL, checked by the toolkit.\n";
    qeltest::writeFile(msg, text);
    struct Row {
        const char *label, *command;
        bool attributes;
    } rows[] = {
        {"smime", "openssl smime -sign -binary -nodetach -md sha256", true},
        {"smime -noattr", "openssl smime -sign -binary -nodetach -noattr -md sha256", false},
        {"cms -stream (indefinite lengths)", "openssl cms -sign -binary -nodetach -stream -md sha256", true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.label);
        const std::string out = peer().dir / "signed.der";
        int rc = 0;
        run(std::string(r.command) + " -in " + msg + " -signer " + peer().cert + " -inkey " + peer().key +
                " -outform DER -out " + out + " 2>&1",
            &rc);
        ASSERT_EQ(rc, 0);
        Bytes der = pkitest::fileBytes(out);
        if (std::string(r.label).find("stream") != std::string::npos) {
            EXPECT_EQ(der[1], 0x80); // indefinite length: no fixed offsets to lean on
        }
        ASN1_SignedData *sd = unwrap(der);
        ASSERT_NE(sd, nullptr);
        EXPECT_EQ(sd->signerInfos.elements[0]->authenticatedAttributes != nullptr, r.attributes);
        Bytes content;
        EXPECT_EQ(check(sd, cert, content), 0);
        EXPECT_EQ(std::string(content.begin(), content.end()), text);
        // No certificate to check against: content back, but a distinct status.
        EXPECT_EQ(check(sd, nullptr, content), QELPKIError_NotFound);
        EXPECT_EQ(std::string(content.begin(), content.end()), text);
        asn1Free_SignedData(ctx.codec(), sd);
        // One altered content octet: digest mismatch (-13) or, without
        // attributes, the verify callback's refusal.
        const auto at = std::search(der.begin(), der.end(), text.begin(), text.begin() + 6);
        ASSERT_NE(at, der.end());
        *at ^= 1;
        sd = unwrap(der);
        ASSERT_NE(sd, nullptr);
        EXPECT_EQ(check(sd, cert, content), r.attributes ? QELPKIError_AltIssuerNotCritical : -102);
        asn1Free_SignedData(ctx.codec(), sd);
    }
}

TEST_F(PKCS7Test, OurSignedDataVerifiesInOpenSSL)
{
    const std::string text = "Signed by the toolkit.";
    ASN1_Attributes *extra = nullptr;
    ASSERT_EQ(qelPKIAttributesNew(&extra, ctx), 0);
    ASSERT_EQ(qelPKIAttributesAddSigningTime(extra, ctx), 0);
    for (const ASN1_Attributes *attrs : {static_cast<const ASN1_Attributes *>(nullptr),
                                         static_cast<const ASN1_Attributes *>(extra)}) {
        SCOPED_TRACE(attrs != nullptr ? "with attributes" : "raw content signed");
        QELPKICertificateListNode node{cert, nullptr};
        std::uint8_t *out = nullptr;
        std::uint64_t n = 0;
        ASSERT_EQ(qelPKISignedDataCreate(&out, &n, reinterpret_cast<const std::uint8_t *>(text.data()), text.size(),
                                         0, kData, kSha256, nullptr, 0, kRSA, nullptr, 0, cert, attrs, &node, digest,
                                         nullptr, signer, peer().pkey, ctx.codec()),
                  0);
        const Bytes der(out, out + n);
        ctx.codec()->allocator->free(ctx.codec()->allocator, out);
        ASN1_SignedData *sd = unwrap(der);
        ASSERT_NE(sd, nullptr);
        int32_t err = 0;
        EXPECT_EQ(asn1GetIntegerValue(ctx.codec(), &sd->version, &err), 1u);
        EXPECT_EQ(sd->signerInfos.elements[0]->authenticatedAttributes != nullptr, attrs != nullptr);
        Bytes content;
        EXPECT_EQ(check(sd, cert, content), 0);
        EXPECT_EQ(std::string(content.begin(), content.end()), text);
        asn1Free_SignedData(ctx.codec(), sd);
        const std::string path = peer().dir / "ours.der";
        qeltest::writeFile(path, std::string(der.begin(), der.end()));
        int rc = 0;
        const std::string said = run("openssl smime -verify -binary -inform DER -in " + path + " -CAfile " +
                                         peer().cert + " 2>/dev/null",
                                     &rc);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(said, text);
    }
    qelPKIAttributesFree(extra, ctx);
}

TEST_F(PKCS7Test, NonDataContentGetsAttributesAndVersion3)
{
    // A complete element as content, of another content type.
    const Bytes inner{0x30, 0x03, 0x02, 0x01, 0x05};
    std::uint8_t *out = nullptr;
    std::uint64_t n = 0;
    ASSERT_EQ(qelPKISignedDataCreate(&out, &n, inner.data(), inner.size(), 1, "1.2.840.113549.1.7.3", kSha256,
                                     nullptr, 0, kRSA, nullptr, 0, cert, nullptr, nullptr, digest, nullptr, signer,
                                     peer().pkey, ctx.codec()),
              0);
    ASN1_SignedData *sd = nullptr;
    std::int32_t err = 0;
    asn1Unpack_SignedData(ctx.codec(), &sd, out, n, &err);
    ctx.codec()->allocator->free(ctx.codec()->allocator, out);
    ASSERT_NE(sd, nullptr);
    EXPECT_EQ(asn1GetIntegerValue(ctx.codec(), &sd->version, &err), 3u);
    EXPECT_EQ(sd->signerInfos.elements[0]->authenticatedAttributes->count, 2);
    Bytes content;
    EXPECT_EQ(check(sd, cert, content), 0);
    EXPECT_EQ(content, inner);
    asn1Free_SignedData(ctx.codec(), sd);
}

TEST_F(PKCS7Test, OpenSSLEnvelopedDataOpensHere)
{
    const std::string msg = peer().dir / "plain.txt", out = peer().dir / "env.der";
    const std::string text = "Enveloped by OpenSSL with triple DES.\n";
    qeltest::writeFile(msg, text);
    int rc = 0;
    run("openssl smime -encrypt -des3 -binary -outform DER -in " + msg + " -out " + out + " " + peer().cert +
            " 2>&1",
        &rc);
    ASSERT_EQ(rc, 0);
    const Bytes der = pkitest::fileBytes(out);
    ASN1_ContentInfo *ci = nullptr;
    std::int32_t err = 0;
    asn1Unpack_ContentInfo(ctx.codec(), &ci, der.data(), der.size(), &err);
    ASSERT_NE(ci, nullptr);
    ASN1_EnvelopedData *env = nullptr;
    asn1Unpack_EnvelopedData(ctx.codec(), &env, ci->content->data, ci->content->length, &err);
    asn1Free_ContentInfo(ctx.codec(), ci);
    ASSERT_NE(env, nullptr);
    for (ASN1_Certificate *who : {cert, static_cast<ASN1_Certificate *>(nullptr)}) {
        std::uint8_t *plain = nullptr;
        std::uint64_t n = 0;
        ASSERT_EQ(qelPKIEnvelopedDataDecrypt(&plain, &n, env, who, decrypter, peer().pkey, ctx.codec()), 0);
        EXPECT_EQ(std::string(plain, plain + n), text);
        ctx.codec()->allocator->free(ctx.codec()->allocator, plain);
    }
    // The same file opens in OpenSSL too.
    const std::string said = run("openssl smime -decrypt -binary -inform DER -in " + out + " -recip " + peer().cert +
                                 " -inkey " + peer().key + " 2>/dev/null");
    EXPECT_EQ(said, text);
    ASN1_RecipientInfos saved = env->recipientInfos;
    env->recipientInfos.count = 0;
    std::uint8_t *plain = nullptr;
    std::uint64_t n = 0;
    EXPECT_EQ(qelPKIEnvelopedDataDecrypt(&plain, &n, env, nullptr, decrypter, peer().pkey, ctx.codec()),
              QELPKIError_InvalidArguments);
    env->recipientInfos = saved;
    asn1Free_EnvelopedData(ctx.codec(), env);
}

} // namespace
