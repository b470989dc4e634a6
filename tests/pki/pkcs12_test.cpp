// PKCS #12 both ways against OpenSSL and Python's cryptography: files that
// `openssl pkcs12 -export` writes (OpenSSL 3's PBES2/AES/SHA-256 default,
// -legacy, and other MAC and cipher choices) import here with the right key
// and certificates; files written here open in both peers. Also the hostile
// cases: a huge iteration count, a wrong password with and without a MAC,
// padding whose inner octets are wrong, and the local key ID.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../keys/keys_fixture.h"
#include "asn1PKCS12.h"
#include "pki_test_util.h"
#include "qelAlgorithms.h"
#include "qelPKCS12Internal.h"
#include "qelRandomPoolInternal.h"
#include "qelX509KeysInternal.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using pkitest::run;

bool haveOpenSSL()
{
    static const bool found = [] {
        int status = 0;
        run("openssl version >/dev/null 2>&1", &status);
        return status == 0;
    }();
    return found;
}

// One private directory per test binary, with an RSA key, its certificate
// from a small CA, and the DER forms the checks compare with.
class Files : public pkitest::Workdir {
public:
    Files()
    {
        ok_ = sh("openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -out ca.pem -days 30 -subj /CN=CA && "
                 "openssl req -newkey rsa:1024 -nodes -keyout k.pem -out k.csr -subj /CN=Leaf && "
                 "openssl x509 -req -in k.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 5 -out c.pem && "
                 "openssl pkcs8 -topk8 -nocrypt -in k.pem -outform DER -out k.p8 && "
                 "openssl x509 -in c.pem -outform DER -out c.der && "
                 "openssl x509 -in ca.pem -outform DER -out ca.der && "
                 "openssl rsa -in k.pem -RSAPublicKey_out -outform DER -out k.rsapub") == 0;
    }
    bool ok() const { return ok_; }
    Bytes bytes(const std::string &name) const { return read(name); }

private:
    bool ok_ = false;
};

Files &files()
{
    static Files f;
    return f;
}

bool contains(const Bytes &hay, const Bytes &needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

class PKCS12Test : public keystest::ContextTest {
protected:
    void SetUp() override
    {
        keystest::ContextTest::SetUp();
        qelRandomPoolSetSeeded(); // salts come from the pool
        if (!haveOpenSSL() || !files().ok())
            GTEST_SKIP() << "no OpenSSL";
    }

    struct Imported {
        QELStatus status = 0;
        Bytes key, certificates;
    };
    Imported importBytes(const Bytes &pfx, const std::string &password)
    {
        Imported r;
        std::uint8_t *key = nullptr, *certs = nullptr;
        std::uint64_t keyLength = 0, certsLength = 0;
        r.status = qelPKCS12Import(ctx, pfx.data(), pfx.size(), password.data(), password.size(), &key, &keyLength,
                                   &certs, &certsLength);
        if (key != nullptr)
            r.key.assign(key, key + keyLength);
        if (certs != nullptr)
            r.certificates.assign(certs, certs + certsLength);
        if (r.status != 0) {
            EXPECT_EQ(key, nullptr);
            EXPECT_EQ(certs, nullptr);
        }
        if (key != nullptr) {
            EXPECT_EQ(qelMemFree(key), QELError_NoErr);
        }
        if (certs != nullptr) {
            EXPECT_EQ(qelMemFree(certs), QELError_NoErr);
        }
        return r;
    }
    Bytes exportOurs(const std::string &password, std::int32_t macIterations, std::int32_t keyIterations,
                     const std::string &name = "Leaf key", QELStatus expect = QELError_NoErr)
    {
        const Bytes key = files().bytes("k.p8");
        // The DER SET OF the leaf and the CA certificate.
        Bytes body = files().bytes("c.der");
        const Bytes ca = files().bytes("ca.der");
        body.insert(body.end(), ca.begin(), ca.end());
        Bytes set = {0x31, 0x82, static_cast<std::uint8_t>(body.size() >> 8), static_cast<std::uint8_t>(body.size())};
        set.insert(set.end(), body.begin(), body.end());
        std::uint8_t *out = nullptr;
        std::uint64_t outLength = 0;
        EXPECT_EQ(qelPKCS12Export(ctx, key.data(), key.size(), password.data(), password.size(), set.data(), set.size(),
                                  name.data(), name.size(), macIterations, keyIterations, 0, &out, &outLength),
                  expect);
        Bytes pfx;
        if (out != nullptr)
            pfx.assign(out, out + outLength);
        if (out != nullptr) {
            EXPECT_EQ(qelMemFree(out), QELError_NoErr);
        }
        return pfx;
    }
    void expectLeafAndCA(const Imported &r)
    {
        EXPECT_EQ(r.key, files().bytes("k.p8"));
        ASSERT_GT(r.certificates.size(), 4u);
        EXPECT_EQ(r.certificates[0], 0x31);
        const Bytes leaf = files().bytes("c.der"), ca = files().bytes("ca.der");
        EXPECT_TRUE(contains(r.certificates, leaf));
        EXPECT_TRUE(contains(r.certificates, ca));
        EXPECT_EQ(r.certificates.size(), 4 + leaf.size() + ca.size());
    }
};

// ---- OpenSSL's files import here ------------------------------------------------------------
struct OpenSSLForm {
    const char *name;
    const char *options;
};

constexpr OpenSSLForm kForms[] = {
    {"default (PBES2 AES-256, SHA-256 MAC)", ""},
    {"legacy (RC2-40 certificates, 3DES key, SHA-1 MAC)", "-legacy"},
    {"3DES everywhere, SHA-1 MAC", "-keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1"},
    {"AES-128 key, plain certificates, SHA-512 MAC", "-keypbe AES-128-CBC -certpbe NONE -macalg sha512"},
    {"PBES2 with an HMAC-SHA-1 PRF", "-keypbe AES-192-CBC -certpbe AES-128-CBC -macalg sha384 -iter 3"},
    {"no MAC", "-nomac"},
};

TEST_F(PKCS12Test, OpenSSLFilesImportWithTheRightKeyAndCertificates)
{
    for (const OpenSSLForm &form : kForms) {
        SCOPED_TRACE(form.name);
        ASSERT_EQ(files().sh(std::string("openssl pkcs12 -export ") + form.options +
                             " -inkey k.pem -in c.pem -certfile ca.pem -passout pass:s3cret -out in.p12"),
                  0);
        const Imported r = importBytes(files().bytes("in.p12"), "s3cret");
        ASSERT_EQ(r.status, QELError_NoErr);
        expectLeafAndCA(r);
    }
}

TEST_F(PKCS12Test, EmptyPasswordFilesImport)
{
    for (const char *options : {"", "-legacy"}) {
        SCOPED_TRACE(options);
        ASSERT_EQ(files().sh(std::string("openssl pkcs12 -export ") + options +
                             " -inkey k.pem -in c.pem -certfile ca.pem -passout pass: -out empty.p12"),
                  0);
        const Imported r = importBytes(files().bytes("empty.p12"), "");
        ASSERT_EQ(r.status, QELError_NoErr);
        expectLeafAndCA(r);
    }
}

TEST_F(PKCS12Test, WrongPasswordIsRefusedAndNeverYieldsSuccessWithoutAKey)
{
    ASSERT_EQ(files().sh("openssl pkcs12 -export -inkey k.pem -in c.pem -passout pass:right -out mac.p12 && "
                         "openssl pkcs12 -export -nomac -certpbe NONE -inkey k.pem -in c.pem -passout pass:right "
                         "-out nomac.p12"),
              0);
    EXPECT_EQ(importBytes(files().bytes("mac.p12"), "wrong").status, QELError_BadPassphrase);
    // Without a MAC the wrong password shows when the key is decrypted: the
    // import fails rather than succeed with the certificate alone.
    EXPECT_NE(importBytes(files().bytes("nomac.p12"), "wrong").status, QELError_NoErr);
    EXPECT_EQ(importBytes(files().bytes("nomac.p12"), "right").status, QELError_NoErr);
}

TEST_F(PKCS12Test, UnknownMACAlgorithmAndHugeIterationCountsAreRefused)
{
    // A MAC iteration count of 65536 (02 03 01 00 00), then patched to
    // 8388607, above the cap: refused at once rather than run.
    Bytes pfx = exportOurs("pw", 65536, 2);
    const Bytes count = {0x02, 0x03, 0x01, 0x00, 0x00};
    auto at = std::search(pfx.begin(), pfx.end(), count.begin(), count.end());
    ASSERT_NE(at, pfx.end());
    EXPECT_EQ(importBytes(pfx, "pw").status, QELError_NoErr);
    at[2] = 0x7F, at[3] = 0xFF, at[4] = 0xFF;
    EXPECT_EQ(importBytes(pfx, "pw").status, QELError_PKIOperationFailed);
    // The MAC's digest algorithm SHA-1 (2B 0E 03 02 1A) made MD5-like (an
    // OID no MAC uses): refused as unknown, not checked with SHA-1.
    Bytes other = exportOurs("pw", 1, 2);
    const Bytes sha1 = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A};
    auto oid = std::search(other.begin(), other.end(), sha1.begin(), sha1.end());
    ASSERT_NE(oid, other.end());
    oid[6] = 0x1B;
    EXPECT_EQ(importBytes(other, "pw").status, QELError_UnknownHashAlgorithm);
    // Export refuses counts out of range.
    exportOurs("pw", 0, 2, "n", QELError_BadParams);
    exportOurs("pw", 1, static_cast<std::int32_t>(kQELPKCS12MaxIterations + 1), "n", QELError_BadParams);
}

// ---- our files open in OpenSSL and cryptography ------------------------------------------------
TEST_F(PKCS12Test, OurFilesOpenInOpenSSLAndCryptography)
{
    const Bytes pfx = exportOurs("pa\xC3\xA9ss", 2048, 1000);
    ASSERT_FALSE(pfx.empty());
    files().write("ours.p12", pfx);
    // OpenSSL: the MAC verifies, the key and both certificates come out.
    ASSERT_EQ(files().sh("openssl pkcs12 -in ours.p12 -info -nodes -passin pass:pa\xC3\xA9ss -out info.txt 2>info.err && "
                         "openssl pkcs12 -in ours.p12 -nocerts -nodes -passin pass:pa\xC3\xA9ss | "
                         "openssl pkcs8 -topk8 -nocrypt -outform DER -out back.p8 && "
                         "openssl pkcs12 -in ours.p12 -nokeys -passin pass:pa\xC3\xA9ss -out back.pem"),
              0);
    EXPECT_EQ(files().bytes("back.p8"), files().bytes("k.p8"));
    const std::string info = qeltest::readFile(files() / "info.err") + qeltest::readFile(files() / "info.txt");
    EXPECT_NE(info.find("MAC: sha1, Iteration 2048"), std::string::npos) << info;
    EXPECT_NE(info.find("pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 1000"), std::string::npos) << info;
    EXPECT_NE(info.find("friendlyName: Leaf key"), std::string::npos) << info;
    const std::string pems = qeltest::readFile(files() / "back.pem");
    EXPECT_NE(pems.find("subject=CN = Leaf"), std::string::npos);
    EXPECT_NE(pems.find("subject=CN = CA"), std::string::npos);

    // The local key ID is SHA-1 over the key's modulus and exponent elements.
    const Bytes rsapub = files().bytes("k.rsapub");
    ASSERT_GT(rsapub.size(), 4u);
    const std::size_t header = (rsapub[1] & 0x80) ? 2 + (rsapub[1] & 0x7F) : 2;
    files().write("ne.bin", Bytes(rsapub.begin() + static_cast<long>(header), rsapub.end()));
    std::string id = run("openssl dgst -sha1 -r " + (files() / "ne.bin") + " | cut -c1-40");
    std::string spaced;
    for (std::size_t i = 0; i + 1 < 40 && i + 1 < id.size(); i += 2)
        spaced += (spaced.empty() ? "" : " ") + id.substr(i, 2);
    std::transform(spaced.begin(), spaced.end(), spaced.begin(), ::toupper);
    EXPECT_NE(info.find("localKeyID: " + spaced), std::string::npos) << spaced << "\n" << info;

    if (!pkitest::havePeers())
        GTEST_SKIP() << "no Python cryptography";
    const std::string py = run(
        "python3 -c \"import sys\nfrom cryptography.hazmat.primitives.serialization import pkcs12, Encoding, "
        "PrivateFormat, NoEncryption\nk, c, more = pkcs12.load_key_and_certificates(open('" +
        (files() / "ours.p12") +
        "','rb').read(), 'pa\xC3\xA9ss'.encode())\nsys.stdout.write(k.private_bytes(Encoding.DER, "
        "PrivateFormat.PKCS8, NoEncryption()).hex() + ' ' + c.public_bytes(Encoding.DER).hex() + ' ' + "
        "str(len(more)))\" 2>&1");
    EXPECT_EQ(py, pkitest::toHex(files().bytes("k.p8").data(), files().bytes("k.p8").size()) + " " +
                      pkitest::toHex(files().bytes("c.der").data(), files().bytes("c.der").size()) + " 1");
}

TEST_F(PKCS12Test, OurFilesComeBackWhole)
{
    for (const std::string password : {"", "x", "long password with \xE2\x82\xAC"}) {
        const Bytes pfx = exportOurs(password, 1, 3);
        const Imported r = importBytes(pfx, password);
        ASSERT_EQ(r.status, QELError_NoErr);
        expectLeafAndCA(r);
    }
    // Every bag of our file carries the friendly name; an empty one is 1E 00.
    const Bytes unnamed = exportOurs("p", 1, 1, "");
    const Bytes emptyName = {0x31, 0x02, 0x1E, 0x00};
    EXPECT_TRUE(contains(unnamed, emptyName));
}

// ---- the pieces --------------------------------------------------------------------------------
TEST_F(PKCS12Test, BMPPasswordForms)
{
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(ctx);
    struct Row {
        const char *text;
        Bytes bmp;
    } rows[] = {
        {"", {0x00, 0x00}},
        {"a", {0x00, 0x61, 0x00, 0x00}},
        {"\xC3\xA9", {0x00, 0xE9, 0x00, 0x00}},
        {"\xF0\x9F\x98\x80", {0xD8, 0x3D, 0xDE, 0x00, 0x00, 0x00}},
        {"\xE9", {0x00, 0xE9, 0x00, 0x00}}, // not UTF-8: one unit per octet
    };
    for (const Row &row : rows) {
        std::uint8_t *out = nullptr;
        std::size_t n = 0;
        ASSERT_EQ(qelPKCS12PasswordToBMP(mgr, reinterpret_cast<const std::uint8_t *>(row.text), std::strlen(row.text),
                                         &out, &n),
                  QELError_NoErr);
        EXPECT_EQ(Bytes(out, out + n), row.bmp) << row.text;
        EXPECT_EQ(qelMemFree(out), QELError_NoErr);
    }
}

TEST_F(PKCS12Test, DecryptionChecksEveryPaddingOctet)
{
    // Key and IV of pbeWithSHAAnd3-KeyTripleDES-CBC for a known salt and
    // password, then OpenSSL encrypts chosen final blocks without padding.
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(ctx);
    const std::string text = "pw";
    std::uint8_t *bmp = nullptr;
    std::size_t bmpLength = 0;
    ASSERT_EQ(qelPKCS12PasswordToBMP(mgr, reinterpret_cast<const std::uint8_t *>(text.data()), text.size(), &bmp,
                                     &bmpLength),
              QELError_NoErr);
    const std::uint8_t salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t *key = nullptr, *iv = nullptr;
    std::size_t keyLength = 0, ivLength = 0;
    ASSERT_EQ(qelPKCS12DeriveKey(mgr, QELHashAlgorithm_SHA1, 1, 5, salt, sizeof salt, bmp, bmpLength, 24, &key,
                                 &keyLength),
              QELError_NoErr);
    ASSERT_EQ(qelPKCS12DeriveKey(mgr, QELHashAlgorithm_SHA1, 2, 5, salt, sizeof salt, bmp, bmpLength, 8, &iv,
                                 &ivLength),
              QELError_NoErr);
    EXPECT_EQ(keyLength, 40u);
    EXPECT_EQ(ivLength, 20u);
    const std::string keyHex = pkitest::toHex(key, 24), ivHex = pkitest::toHex(iv, 8);
    EXPECT_EQ(qelMemFree(key), QELError_NoErr);
    EXPECT_EQ(qelMemFree(iv), QELError_NoErr);
    const QELPKCS12Password password{reinterpret_cast<const std::uint8_t *>(text.data()), text.size(), bmp, bmpLength};

    // AlgorithmIdentifier parameters: PKCS12PbeParams {salt, 5}.
    const Bytes params = {0x30, 0x0D, 0x04, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x02, 0x01, 0x05};
    static const std::uint8_t oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x0C, 0x01, 0x03};
    ASN1_OctetString any{params.size(), const_cast<std::uint8_t *>(params.data())};
    ASN1_AlgorithmIdentifier algorithm{{sizeof oid, const_cast<std::uint8_t *>(oid)}, &any};
    QELX509Codec codec(mgr);

    struct Row {
        Bytes plain;
        QELStatus status;
        std::size_t length;
    } rows[] = {
        {{'A', 'B', 'C', 'D', 'E', 3, 3, 3}, QELError_NoErr, 5},
        {{'A', 'B', 'C', 'D', 'E', 3, 2, 3}, QELError_PKIOperationFailed, 0}, // an inner octet differs
        {{'A', 'B', 'C', 'D', 'E', 7, 3, 3}, QELError_PKIOperationFailed, 0},
        {{8, 8, 8, 8, 8, 8, 8, 8}, QELError_NoErr, 0},
        {{1, 2, 3, 4, 5, 6, 7, 0}, QELError_PKIOperationFailed, 0},
        {{1, 2, 3, 4, 5, 6, 7, 9}, QELError_PKIOperationFailed, 0},
        {{}, QELError_PKIOperationFailed, 0}, // empty content
    };
    for (const Row &row : rows) {
        files().write("plain.bin", row.plain);
        ASSERT_EQ(files().sh("openssl enc -des-ede3-cbc -nopad -K " + keyHex + " -iv " + ivHex +
                             " -in plain.bin -out cipher.bin"),
                  0);
        const Bytes cipher = files().bytes("cipher.bin");
        std::uint8_t *out = nullptr;
        std::uint64_t outLength = 0;
        EXPECT_EQ(qelPKCS12Decrypt(ctx, &password, cipher.data(), cipher.size(), &algorithm, codec.get(), &out,
                                   &outLength),
                  row.status);
        EXPECT_EQ(outLength, row.length);
        if (row.status == 0) {
            EXPECT_EQ(Bytes(out, out + outLength), Bytes(row.plain.begin(), row.plain.begin() + row.length));
        } else {
            EXPECT_EQ(out, nullptr);
        }
        if (out != nullptr) {
            EXPECT_EQ(qelMemFree(out), QELError_NoErr);
        }
    }
    EXPECT_EQ(qelMemFree(bmp), QELError_NoErr);
}

TEST_F(PKCS12Test, DerivationAgreesWithPBKDF2Vectors)
{
    // RFC 6070: PBKDF2-HMAC-SHA1("password", "salt", 2, 20).
    QELMemoryMgr *mgr = qelContextGetMemoryMgr(ctx);
    std::uint8_t out[25];
    ASSERT_EQ(qelPKCS12PBKDF2(mgr, QELHashAlgorithm_SHA1, reinterpret_cast<const std::uint8_t *>("password"), 8,
                              reinterpret_cast<const std::uint8_t *>("salt"), 4, 2, out, 20),
              QELError_NoErr);
    EXPECT_EQ(pkitest::toHex(out, 20), "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
    // RFC 6070: "passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25.
    ASSERT_EQ(qelPKCS12PBKDF2(mgr, QELHashAlgorithm_SHA1,
                              reinterpret_cast<const std::uint8_t *>("passwordPASSWORDpassword"), 24,
                              reinterpret_cast<const std::uint8_t *>("saltSALTsaltSALTsaltSALTsaltSALTsalt"), 36, 4096,
                              out, 25),
              QELError_NoErr);
    EXPECT_EQ(pkitest::toHex(out, 25), "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
    EXPECT_EQ(qelPKCS12PBKDF2(mgr, QELHashAlgorithm_SHA1, nullptr, 0, nullptr, 0, 0, out, 20), QELError_BadParams);
}

} // namespace
