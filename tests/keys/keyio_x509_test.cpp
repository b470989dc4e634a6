// X.509 keys in the key database, against OpenSSL and GnuPG (certificates
// are signed with SHA-1, the digest the certificate conversion knows): a PKCS #8 key
// imported through the key import and exported again as PKCS #8 is what
// OpenSSL wrote; GnuPG reads the key ring a certificate became; a large
// certificate rides in a 5-octet subpacket as received; a certificate valid
// for one instant expires, not never; and certificates are found by subject.
#include "keyio_fixture.h"

#include "../pki/pki_test_util.h"
#include "qelClientKeyDB.h"
#include "qelKeyIOExportInternal.h"
#include "qelKeyOpsInternal.h"
#include "qelKeySet.h"
#include "qelMemory.h"
#include "qelPkAlgInternal.h"
#include "qelX509KeysInternal.h"

#include <filesystem>

namespace {

using namespace keystest;
using namespace keyiotest;

class Workdir {
public:
    Workdir() : dir_("qelkeyiox509") {}
    std::string operator/(const std::string &name) const { return dir_ / name; }
    int sh(const std::string &command) const
    {
        int status = 0;
        pkitest::run("cd " + dir_.path() + " && (" + command + ") >/dev/null 2>&1", &status);
        return status;
    }
    Bytes read(const std::string &name) const { return pkitest::fileBytes(dir_ / name); }

private:
    qeltest::TempDir dir_;
};

class KeyIOX509 : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        if (!pkitest::havePeers())
            GTEST_SKIP() << "no OpenSSL or Python cryptography";
    }
    // The key database a DER certificate becomes.
    QELKeyDB *certificateDB(const Bytes &der)
    {
        QELKeyDB *db = nullptr;
        EXPECT_EQ(qelX509ImportCertificate(der.data(), der.size(), ctx, nullptr, &db), QELError_NoErr);
        if (db != nullptr)
            dbs_.push_back(db);
        return db;
    }
    void TearDown() override
    {
        for (QELKeyDB *db : dbs_)
            EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
        ContextTest::TearDown();
    }
    // The signature object carrying the database's certificate.
    static QELKeyObject *certificateSig(QELKeyDB *db)
    {
        for (QELKeyObject *k : liveKeys(db))
            for (QELKeyObject *c = k->firstChild; c; c = c->next)
                for (QELKeyObject *g = c->firstChild; g; g = g->next)
                    if (qelKeyObjIsLiveSignature(g) && qelKeyObjSigIsX509(g))
                        return g;
        return nullptr;
    }
    std::vector<QELKeyDB *> dbs_;
};

TEST_F(KeyIOX509, PKCS8ImportedAndExportedIsWhatOpenSSLWrote)
{
    Workdir dir;
    ASSERT_EQ(dir.sh("openssl req -x509 -newkey rsa:1024 -nodes -keyout k.pem -out c.pem -days 30 -sha1 -subj /CN=Export && "
                     "openssl pkcs8 -topk8 -nocrypt -in k.pem -outform DER -out k.p8 && "
                     "openssl x509 -in c.pem -outform DER -out c.der && openssl rsa -in k.pem -outform DER -out k.rsa"),
              0);
    QELKeyDB *certs = certificateDB(dir.read("c.der"));
    ASSERT_NE(certs, nullptr);
    const Bytes p8 = dir.read("k.p8");
    QELKeyDB *db = nullptr;
    ASSERT_EQ(qelImportKeys(ctx, &db, qelOptionInputBuffer(ctx, p8.data(), p8.size()), qelOptionInputFormat(ctx, 10012),
                            qelOptionTargetKeyDB(ctx, certs), qelOptionLastOption(ctx)),
              QELError_NoErr);
    ASSERT_NE(db, nullptr);
    dbs_.push_back(db);
    ASSERT_EQ(liveKeys(db).size(), 1u);
    QELKeyObject *key = liveKeys(db).front();
    ASSERT_TRUE(qelKeyObjIsSecret(key));
    QELSecretKeyObject *secret = qelKeyObjSecretOps(key, QELKeyRole_Sign);
    ASSERT_NE(secret, nullptr);
    if (secret->isLocked(secret)) {
        ASSERT_EQ(secret->unlock(secret, "", 0, 0), 1);
    }
    std::uint8_t *der = nullptr;
    std::size_t length = 0;
    ASSERT_EQ(qelX509ExportRSAPrivateKey(secret, &der, &length), QELError_NoErr);
    const Bytes ours(der, der + length);
    EXPECT_EQ(qelMemFree(der), 0);
    EXPECT_EQ(secret->destroy(secret), QELError_NoErr);
    // Byte for byte what OpenSSL writes, and a key OpenSSL checks good.
    EXPECT_EQ(qeltest::toHex(ours.data(), ours.size()), qeltest::toHex(p8.data(), p8.size()));
    qeltest::writeFile(dir / "ours.p8", text(ours));
    EXPECT_EQ(dir.sh("openssl pkey -inform DER -in ours.p8 -check -noout"), 0);
    EXPECT_EQ(dir.sh("openssl rsa -inform DER -in ours.p8 -outform DER -out ours.rsa"), 0);
    EXPECT_EQ(dir.read("ours.rsa"), dir.read("k.rsa"));

    // Not RSA: refused.
    QELKeyDB *gnupg = openOwned(readFile(dataPath("secret.gpg")));
    ASSERT_NE(gnupg, nullptr);
    QELKeyObject *dsa = keyWithUserID(gnupg, "main@example.org");
    ASSERT_NE(dsa, nullptr);
    QELSecretKeyObject *dsaSecret = qelKeyObjSecretOps(dsa, QELKeyRole_Sign);
    ASSERT_NE(dsaSecret, nullptr);
    der = reinterpret_cast<std::uint8_t *>(&length);
    EXPECT_EQ(qelX509ExportRSAPrivateKey(dsaSecret, &der, &length), QELError_AlgorithmCannotDoThis);
    EXPECT_EQ(der, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(dsaSecret->destroy(dsaSecret), QELError_NoErr);
}

TEST_F(KeyIOX509, GnuPGReadsTheKeyRingOfACertificate)
{
    GnuPG gpg;
    if (!gpg.available())
        GTEST_SKIP() << "gpg not available";
    Workdir dir;
    ASSERT_EQ(dir.sh("openssl req -x509 -newkey rsa:1024 -nodes -keyout k.pem -out c.pem -days 30 -sha1 "
                     "-subj '/CN=Cert Holder/emailAddress=holder@example.org/OU=QELKeyCreation=0x5F5E1000' && "
                     "openssl x509 -in c.pem -outform DER -out c.der"),
              0);
    const Bytes cert = dir.read("c.der");
    QELKeyDB *db = certificateDB(cert);
    ASSERT_NE(db, nullptr);
    QELKeyObject *key = liveKeys(db).front();
    QELKeyObject *sig = certificateSig(db);
    ASSERT_NE(sig, nullptr);
    std::size_t carried = 0;
    const std::uint8_t *inside = qelKeyObjSigX509Data(sig, &carried);
    ASSERT_NE(inside, nullptr);
    EXPECT_EQ(Bytes(inside, inside + carried), cert) << "the certificate as received";

    void *out = nullptr;
    std::uint64_t size = 0;
    ASSERT_EQ(qelExportKeys(ctx, qelOptionKeyObject71(ctx, key), qelOptionArmorOutput(ctx, 0),
                            qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 20, &size), qelOptionLastOption(ctx)),
              QELError_NoErr);
    const Bytes ring(static_cast<std::uint8_t *>(out), static_cast<std::uint8_t *>(out) + size);
    EXPECT_EQ(qelMemFree(out), 0);
    std::string packets;
    ASSERT_EQ(gpg.gpg("--list-packets " + gpg.put("cert.gpg", ring), &packets), 0) << gpg.errors();
    // GnuPG walks the whole ring: the key (version 3, which GnuPG lists as
    // obsolete), the user ID the certificate names, and the signature with
    // the certificate's validity and the certificate itself, as received,
    // in its subpacket (three octets in front of it).
    EXPECT_NE(packets.find(":key packet:"), std::string::npos) << packets;
    EXPECT_NE(packets.find(":user ID packet: \"Cert Holder <holder@example.org>\""), std::string::npos) << packets;
    EXPECT_NE(packets.find("(sig expires after 30d0h0m)"), std::string::npos) << packets;
    EXPECT_NE(packets.find("hashed subpkt 100 len " + std::to_string(cert.size() + 3) + " "), std::string::npos)
        << packets;
}

TEST_F(KeyIOX509, LargeCertificateRidesInAFiveOctetSubpacketAsReceived)
{
    Workdir dir;
    // Some 9,000 octets of comment make the certificate pass 8,379 octets.
    ASSERT_EQ(dir.sh("openssl req -x509 -newkey rsa:1024 -nodes -keyout k.pem -out c.pem -days 30 -sha1 -subj /CN=Large "
                     "-addext \"nsComment=$(head -c 9000 /dev/zero | tr '\\0' x)\" && "
                     "openssl x509 -in c.pem -outform DER -out c.der"),
              0);
    const Bytes cert = dir.read("c.der");
    ASSERT_GT(cert.size(), 8379u);
    QELKeyDB *db = certificateDB(cert);
    ASSERT_NE(db, nullptr);
    QELKeyObject *sig = certificateSig(db);
    ASSERT_NE(sig, nullptr);
    std::size_t carried = 0;
    const std::uint8_t *inside = qelKeyObjSigX509Data(sig, &carried);
    ASSERT_NE(inside, nullptr);
    EXPECT_EQ(Bytes(inside, inside + carried), cert);
    // In the packet: 0xFF, the four-octet length, the type, three octets,
    // then the certificate.
    const auto body = qelKeyObjPacketBody(sig);
    const Bytes packet(body.begin(), body.end());
    const auto at = std::search(packet.begin(), packet.end(), cert.begin(), cert.end());
    ASSERT_NE(at, packet.end());
    const std::size_t pos = static_cast<std::size_t>(at - packet.begin());
    ASSERT_GE(pos, 9u);
    EXPECT_EQ(packet[pos - 9], 0xFF);
    const std::uint32_t length = (std::uint32_t(packet[pos - 8]) << 24) | (std::uint32_t(packet[pos - 7]) << 16) |
                                 (std::uint32_t(packet[pos - 6]) << 8) | packet[pos - 5];
    EXPECT_EQ(length, cert.size() + 4);
    EXPECT_EQ(packet[pos - 4], 100);
    // GnuPG reads the signature whole.
    GnuPG gpg;
    if (!gpg.available())
        return;
    std::size_t n = 0;
    const std::uint8_t *raw = qelKeyObjRawPacket(sig, &n);
    std::string packets;
    EXPECT_EQ(gpg.gpg("--list-packets " + gpg.put("sig.gpg", Bytes(raw, raw + n)), &packets), 0) << gpg.errors();
    EXPECT_NE(packets.find("hashed subpkt 100 len " + std::to_string(cert.size() + 3) + " "), std::string::npos)
        << packets;
}

TEST_F(KeyIOX509, CertificateOfOneInstantExpiresAndIsFoundBySubject)
{
    Workdir dir;
    // The toolkit refuses to sign with SHA-1: the certificate is built
    // with SHA-256, given the SHA-1 algorithm and signed again by hand.
    const std::string script =
        "import datetime\n"
        "from cryptography import x509\n"
        "from cryptography.x509.oid import NameOID\n"
        "from cryptography.hazmat.primitives import hashes\n"
        "from cryptography.hazmat.primitives.asymmetric import rsa, padding\n"
        "k = rsa.generate_private_key(public_exponent=65537, key_size=1024)\n"
        "name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, 'Instant')])\n"
        "t = datetime.datetime(2030, 1, 2, 3, 4, 5)\n"
        "c = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(k.public_key())\n"
        "     .serial_number(7).not_valid_before(t).not_valid_after(t).sign(k, hashes.SHA256()))\n"
        "sha256 = bytes.fromhex('300d06092a864886f70d01010b0500')\n"
        "sha1 = bytes.fromhex('300d06092a864886f70d0101050500')\n"
        "tbs = c.tbs_certificate_bytes.replace(sha256, sha1)\n"
        "def der(tag, body):\n"
        "    n = len(body)\n"
        "    if n < 128: return bytes([tag, n]) + body\n"
        "    b = n.to_bytes((n.bit_length() + 7) // 8, 'big')\n"
        "    return bytes([tag, 0x80 | len(b)]) + b + body\n"
        "sig = k.sign(tbs, padding.PKCS1v15(), hashes.SHA1())\n"
        "open('c.der', 'wb').write(der(0x30, tbs + sha1 + der(0x03, b'\\0' + sig)))\n"
        "open('n.der', 'wb').write(name.public_bytes())\n";
    qeltest::writeFile(dir / "make.py", script);
    ASSERT_EQ(dir.sh("python3 make.py"), 0);
    QELKeyDB *db = certificateDB(dir.read("c.der"));
    ASSERT_NE(db, nullptr);
    QELKeyObject *sig = certificateSig(db);
    ASSERT_NE(sig, nullptr);
    // Valid for one instant: it expires a second later; 0 would be never.
    EXPECT_NE(qelSigExpiration(sig), 0u);
    EXPECT_EQ(qelSigExpiration(sig) - qelSigCreation(sig), 1u);

    // Found by its subject's exact encoding, and by nothing else.
    const Bytes name = dir.read("n.der");
    EXPECT_EQ(qelKeyDBFindCertBySubject(db, name.data(), name.size()), sig);
    Bytes shorter(name.begin(), name.end() - 1);
    EXPECT_EQ(qelKeyDBFindCertBySubject(db, shorter.data(), shorter.size()), nullptr);
    Bytes other = name;
    other.back() ^= 1;
    EXPECT_EQ(qelKeyDBFindCertBySubject(db, other.data(), other.size()), nullptr);
    EXPECT_EQ(qelKeyDBFindCertBySubject(nullptr, name.data(), name.size()), nullptr);
}

} // namespace
