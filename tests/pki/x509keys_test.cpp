// The X.509 key code against OpenSSL: DER walkers on hostile lengths,
// certificate times, SubjectPublicKeyInfo of RSA and DSA keys, the
// certificate readers of the key properties and the X.509 signature check.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <map>
#include <sstream>

#include "pki_peer_fixture.h"
#include "qelKeyDB.h"
#include "qelKeyDBChange.h"
#include "qelKeyIter.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySig.h"
#include "qelX509.h"
#include "qelKeyOpsInternal.h"
#include "qelPkAlgInternal.h"
#include "qelX509KeysInternal.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using pkitest::firstKey;
using pkitest::run;

Bytes unhex(const std::string &h)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

// A private directory where OpenSSL makes keys and certificates.
class Workdir {
public:
    Workdir()
    {
        char tmpl[] = "/tmp/x509keysXXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~Workdir() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    int sh(const std::string &cmd) const
    {
        int status = 0;
        run("cd " + path_ + " && (" + cmd + ") >/dev/null 2>&1", &status);
        return status;
    }

private:
    std::string path_;
};

// The INTEGERs of a DER SubjectPublicKeyInfo in order (descending into
// constructed elements and the BIT STRING's content): n, e for RSA and
// p, q, g, y for DSA; as hex.
void collectIntegers(const std::uint8_t *p, std::size_t n, std::vector<std::string> &out)
{
    std::size_t i = 0;
    while (i + 2 <= n) {
        const std::uint8_t tag = p[i];
        std::size_t len = p[i + 1], head = 2;
        if (len & 0x80) {
            const std::size_t k = len & 0x7F;
            len = 0;
            for (std::size_t j = 0; j < k; ++j)
                len = (len << 8) | p[i + 2 + j];
            head += k;
        }
        const std::uint8_t *c = p + i + head;
        if (tag == 0x02)
            out.push_back(qeltest::toHex(c, len));
        else if (tag == 0x30)
            collectIntegers(c, len, out);
        else if (tag == 0x03 && len > 1)
            collectIntegers(c + 1, len - 1, out);
        else if (tag == 0x04)
            collectIntegers(c, len, out);
        i += head + len;
    }
}

// The numbers of a key by OpenSSL's SubjectPublicKeyInfo: name -> hex.
std::map<std::string, std::string> keyNumbers(const Bytes &spki)
{
    std::vector<std::string> ints;
    collectIntegers(spki.data(), spki.size(), ints);
    std::map<std::string, std::string> m;
    if (ints.size() == 2) {
        m["n"] = ints[0];
        m["e"] = ints[1];
    } else if (ints.size() == 4) {
        m["p"] = ints[0];
        m["q"] = ints[1];
        m["g"] = ints[2];
        m["y"] = ints[3];
    }
    return m;
}

Bytes spkiByOpenSSL(const Workdir &dir, const std::string &input, const std::string &command = "pkey")
{
    const std::string out = input + ".spki";
    const std::string extract = command == "pkey" ? "openssl pkey -in " + input
                                                  : "openssl x509 -in " + input + " -noout -pubkey | openssl pkey -pubin";
    EXPECT_EQ(dir.sh(extract + " -pubout -outform DER -out " + out), 0);
    return pkitest::fileBytes(dir / out);
}

void putMPI(Bytes &out, const std::string &hex)
{
    Bytes n = unhex(hex);
    std::size_t i = 0;
    while (i < n.size() && n[i] == 0)
        ++i;
    n.erase(n.begin(), n.begin() + static_cast<std::ptrdiff_t>(i));
    int lead = 0;
    for (std::uint8_t t = n[0]; !(t & 0x80); t = static_cast<std::uint8_t>(t << 1))
        ++lead;
    const std::size_t bits = n.size() * 8 - static_cast<std::size_t>(lead);
    out.push_back(static_cast<std::uint8_t>(bits >> 8));
    out.push_back(static_cast<std::uint8_t>(bits));
    out.insert(out.end(), n.begin(), n.end());
}

// A v4 public-key packet (old format, two-octet length) of the numbers.
Bytes keyPacket(const std::map<std::string, std::string> &numbers, std::uint32_t created = 0x5F000000)
{
    Bytes body = {4, std::uint8_t(created >> 24), std::uint8_t(created >> 16), std::uint8_t(created >> 8),
                  std::uint8_t(created)};
    if (numbers.count("n")) {
        body.push_back(1);
        putMPI(body, numbers.at("n"));
        putMPI(body, numbers.at("e"));
    } else {
        body.push_back(17);
        for (const char *k : {"p", "q", "g", "y"})
            putMPI(body, numbers.at(k));
    }
    Bytes packet = {0x99, std::uint8_t(body.size() >> 8), std::uint8_t(body.size())};
    packet.insert(packet.end(), body.begin(), body.end());
    return packet;
}

Bytes pemToDER(const Workdir &dir, const std::string &pemName, const std::string &kind)
{
    EXPECT_EQ(dir.sh("openssl " + kind + " -in " + pemName + " -outform DER -out " + pemName + ".der"), 0);
    return pkitest::fileBytes(dir / (pemName + ".der"));
}

class X509KeysTest : public keystest::ContextTest {
protected:
    Bytes spkiOf(QELKeyObject *key)
    {
        std::size_t n = 0;
        EXPECT_EQ(qelX509KeyToSubjectPublicKeyInfo(ctx, key, nullptr, &n), QELError_NoErr);
        Bytes out(n);
        EXPECT_EQ(qelX509KeyToSubjectPublicKeyInfo(ctx, key, out.data(), &n), QELError_NoErr);
        out.resize(n);
        return out;
    }
};

// ---- DER walkers ----------------------------------------------------------------------------

TEST(X509DER, SequenceLengthsStayWithinTheInput)
{
    Bytes big = {0x30, 0x82, 0x01, 0x00};
    big.resize(260, 0);
    EXPECT_EQ(qelX509DERSequenceLength(big.data(), big.size()), 260u);
    // The same header over fewer octets than it claims is no element.
    EXPECT_EQ(qelX509DERSequenceLength(big.data(), 10), 0u);
    const Bytes indefinite = {0x30, 0x80, 0x02, 0x01, 0x05, 0x00, 0x00};
    EXPECT_EQ(qelX509DERSequenceLength(indefinite.data(), indefinite.size()), indefinite.size());
    const Bytes integer = {0x02, 0x01, 0x05};
    EXPECT_EQ(qelX509DERSequenceLength(integer.data(), integer.size()), 0u);
    // Lengths near 2^64 neither wrap nor pass.
    const Bytes huge = {0x30, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0x00};
    EXPECT_EQ(qelX509DERSequenceLength(huge.data(), huge.size()), 0u);
    const Bytes tooLong = {0x30, 0x89, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(qelX509DERSequenceLength(tooLong.data(), tooLong.size()), 0u);
    const std::uint8_t *cursor = huge.data();
    std::uint64_t length = 7;
    EXPECT_EQ(qelX509ReadTagLength(&cursor, huge.data() + huge.size(), &length), -1);
    EXPECT_EQ(cursor, huge.data());
}

TEST(X509DER, SplitsAndFindElement)
{
    // SEQUENCE { SEQUENCE{}, SEQUENCE{}, BIT STRING 00 AB }
    const Bytes signedObject = {0x30, 0x08, 0x30, 0x00, 0x30, 0x00, 0x03, 0x02, 0x00, 0xAB};
    const std::uint8_t *tbs = nullptr, *alg = nullptr, *sig = nullptr;
    std::size_t tl = 0, al = 0, sl = 0;
    ASSERT_EQ(qelX509SplitSigned(signedObject.data(), signedObject.size(), &tbs, &tl, &alg, &al, &sig, &sl), 0);
    EXPECT_EQ(tbs, signedObject.data() + 2);
    EXPECT_EQ(sl, 4u);
    const std::uint8_t *bits = nullptr;
    std::size_t bl = 0;
    ASSERT_EQ(qelX509BitStringContents(sig, sl, &bits, &bl), 0);
    EXPECT_EQ(bl, 1u);
    EXPECT_EQ(bits[0], 0xAB);
    // A signature element that claims more than is there.
    Bytes cut = signedObject;
    cut[7] = 0x7F;
    EXPECT_EQ(qelX509SplitSigned(cut.data(), cut.size(), &tbs, &tl, nullptr, nullptr, nullptr, nullptr),
              QELError_BadDER);
    EXPECT_EQ(tbs, nullptr);
    EXPECT_EQ(qelX509SplitSigned(nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              QELError_BadParams);

    const Bytes data = {0x04, 0x01, 0xAA, 0x04, 0x01, 0xBB, 0x04, 0x02, 0xCC, 0xDD};
    const Bytes second = {0x04, 0x01, 0xBB};
    const Bytes prefix = {0x04, 0x02, 0xCC};
    EXPECT_TRUE(qelX509FindEncodedElement(second.data(), second.size(), data.data(), data.size()));
    EXPECT_FALSE(qelX509FindEncodedElement(prefix.data(), prefix.size(), data.data(), data.size()));
}

TEST(X509DER, TimesAndAlgorithms)
{
    struct Row {
        const char *text;
        bool generalized;
        QELStatus status;
        std::uint32_t seconds;
    } rows[] = {
        {"491231235959Z", false, 0, 2524607999u},
        {"991231235959Z", false, 0, 946684799u},
        {"700101000000Z", false, 0, 0u},
        {"0001010000Z", false, 0, 946684800u},
        {"20380119031408Z", true, 0, 2147483648u},
        {"000101000000+0100", false, QELError_BadDER, 0},
        {"00010100Z", false, QELError_BadDER, 0},
        {"0a0101000000Z", false, QELError_BadDER, 0},
        {"20Z", true, QELError_BadDER, 0},
    };
    for (const Row &r : rows) {
        std::uint32_t s = 99;
        EXPECT_EQ(qelX509TimeTextToSeconds(reinterpret_cast<const std::uint8_t *>(r.text), std::strlen(r.text),
                                           r.generalized, &s),
                  r.status)
            << r.text;
        EXPECT_EQ(s, r.seconds) << r.text;
    }
    const std::uint8_t rsa[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const std::uint8_t sha1rsa[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};
    const std::uint8_t eight[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};
    std::int32_t pk = -1, hash = -1;
    ASN1_ObjectIdentifier oid{sizeof rsa, const_cast<std::uint8_t *>(rsa)};
    EXPECT_EQ(qelX509SigAlgorithmToIds(&oid, &pk, &hash), 0);
    EXPECT_EQ(pk, 1);
    EXPECT_EQ(hash, 0);
    oid = {sizeof sha1rsa, const_cast<std::uint8_t *>(sha1rsa)};
    EXPECT_EQ(qelX509SigAlgorithmToIds(&oid, &pk, &hash), 0);
    EXPECT_EQ(hash, 2);
    oid = {sizeof eight, const_cast<std::uint8_t *>(eight)};
    EXPECT_EQ(qelX509SigAlgorithmToIds(&oid, &pk, &hash), QELError_BadDER);
}

// ---- keys against OpenSSL ----------------------------------------------------------------------

TEST_F(X509KeysTest, SubjectPublicKeyInfoEqualsOpenSSL)
{
    if (!pkitest::havePeers())
        GTEST_SKIP() << "no OpenSSL or Python cryptography";
    Workdir dir;
    ASSERT_EQ(dir.sh("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out rsa.pem"), 0);
    ASSERT_EQ(dir.sh("openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out dsap.pem && "
                     "openssl genpkey -paramfile dsap.pem -out dsa.pem"),
              0);
    for (const char *name : {"rsa.pem", "dsa.pem"}) {
        const Bytes expected = spkiByOpenSSL(dir, name);
        QELKeyDB *db = openOwned(keyPacket(keyNumbers(expected)));
        ASSERT_NE(db, nullptr);
        QELKeyObject *key = firstKey(db);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(spkiOf(key), expected) << name;
    }
}

TEST_F(X509KeysTest, CertificateReadersAndSignatureCheck)
{
    if (!pkitest::havePeers())
        GTEST_SKIP() << "no OpenSSL or Python cryptography";
    Workdir dir;
    ASSERT_EQ(dir.sh("openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -out ca.pem -days 30 -sha1 "
                     "-subj '/C=US/O=Org/OU=Unit/CN=Name' "
                     "-addext 'subjectAltName=DNS:host.example,IP:10.1.2.3' "
                     "-addext 'crlDistributionPoints=URI:http://crl.example/a.crl'"),
              0);
    ASSERT_EQ(dir.sh("openssl req -newkey rsa:1024 -nodes -keyout ee.key -out ee.csr -subj '/CN=leaf' && "
                     "openssl x509 -req -in ee.csr -CA ca.pem -CAkey ca.key -set_serial 4660 -days 5 -sha1 "
                     "-out ee.pem && openssl x509 -req -in ee.csr -CA ca.pem -CAkey ca.key -set_serial 1 -days 5 "
                     "-sha256 -out ee256.pem"),
              0);
    const Bytes ca = pemToDER(dir, "ca.pem", "x509");
    const Bytes ee = pemToDER(dir, "ee.pem", "x509");

    // Readers of the key properties.
    std::size_t n = 0;
    ASSERT_EQ(qelX509GetNameText(ca.data(), ca.size(), false, nullptr, &n), 0);
    std::string text(n, '\0');
    ASSERT_EQ(qelX509GetNameText(ca.data(), ca.size(), false, reinterpret_cast<std::uint8_t *>(text.data()), &n),
              0);
    EXPECT_EQ(text, "CN=Name, OU=Unit, O=Org, C=US");
    n = 0;
    ASSERT_EQ(qelX509GetSubjectAltName(ca.data(), ca.size(), 0, nullptr, &n), 0);
    Bytes alt(n);
    ASSERT_EQ(qelX509GetSubjectAltName(ca.data(), ca.size(), 0, alt.data(), &n), 0);
    EXPECT_EQ(std::string(alt.begin(), alt.end()), "host.example");
    n = 0;
    ASSERT_EQ(qelX509GetSubjectAltName(ca.data(), ca.size(), 1, nullptr, &n), 0);
    EXPECT_EQ(n, 4u);
    n = 0;
    ASSERT_EQ(qelX509GetSubjectAltName(ee.data(), ee.size(), 1, nullptr, &n), 0);
    EXPECT_EQ(n, 0u);

    // Issuer and serial, and the names, against Python's reading.
    const std::string py = run(
        "python3 -c \"import sys;from cryptography import x509;"
        "c=x509.load_pem_x509_certificate(open(sys.argv[1],'rb').read());"
        "print(c.issuer.public_bytes().hex());print(c.subject.public_bytes().hex());print(c.serial_number)\" " +
        (dir / "ee.pem"));
    std::istringstream lines(py);
    std::string issuerHex, subjectHex, serial;
    lines >> issuerHex >> subjectHex >> serial;
    EXPECT_EQ(serial, "4660");
    QELX509CertNames names{};
    ASSERT_EQ(qelX509DecodeCertNames(ctx, ee.data(), ee.size(), &names), 0);
    EXPECT_EQ(Bytes(names.issuer, names.issuer + names.issuerLength), unhex(issuerHex));
    EXPECT_EQ(Bytes(names.subject, names.subject + names.subjectLength), unhex(subjectHex));
    EXPECT_EQ(names.hasDistPoint, 0);
    ASSERT_EQ(qelX509DecodeCertNames(ctx, ca.data(), ca.size(), &names), 0);
    EXPECT_EQ(names.hasDistPoint, 1);
    n = 0;
    ASSERT_EQ(qelX509GetIssuerAndSerial(ee.data(), ee.size(), nullptr, &n), 0);
    Bytes ias(n);
    ASSERT_EQ(qelX509GetIssuerAndSerial(ee.data(), ee.size(), ias.data(), &n), 0);
    Bytes expected = unhex(issuerHex);
    expected.insert(expected.end(), {0x02, 0x02, 0x12, 0x34});
    expected.insert(expected.begin(), {0x30, std::uint8_t(expected.size())});
    EXPECT_EQ(ias, expected);
    n = 0;
    ASSERT_EQ(qelX509GetNameDER(ee.data(), ee.size(), true, nullptr, &n), 0);
    Bytes issuerDER(n);
    ASSERT_EQ(qelX509GetNameDER(ee.data(), ee.size(), true, issuerDER.data(), &n), 0);
    EXPECT_EQ(issuerDER, unhex(issuerHex));
    n = 0;
    ASSERT_EQ(qelX509GetCRLDistributionPoint(ctx, ca.data(), ca.size(), nullptr, &n), 0);
    Bytes point(n);
    ASSERT_EQ(qelX509GetCRLDistributionPoint(ctx, ca.data(), ca.size(), point.data(), &n), 0);
    const std::string uri = "http://crl.example/a.crl";
    Bytes want = {0x30, std::uint8_t(uri.size() + 2), 0x86, std::uint8_t(uri.size())};
    want.insert(want.end(), uri.begin(), uri.end());
    EXPECT_EQ(point, want);

    // Signatures with the CA's key; a tampered certificate, a key that did
    // not sign and a digest outside the table are refused.
    QELKeyDB *db = openOwned(keyPacket(keyNumbers(spkiByOpenSSL(dir, "ca.pem", "x509"))));
    ASSERT_NE(db, nullptr);
    QELPublicKeyObject *ops = qelKeyObjPublicOps(firstKey(db), QELKeyRole_Sign);
    ASSERT_NE(ops, nullptr);
    EXPECT_EQ(qelX509VerifySignature(ctx, ops, ca.data(), ca.size()), QELError_NoErr);
    EXPECT_EQ(qelX509VerifySignature(ctx, ops, ee.data(), ee.size()), QELError_NoErr);
    Bytes tampered = ee;
    tampered[tampered.size() / 3] ^= 0x01;
    const QELStatus t = qelX509VerifySignature(ctx, ops, tampered.data(), tampered.size());
    EXPECT_TRUE(t == QELError_BadCertificateSignature || t == QELError_CodecFailed) << t;
    const Bytes ee256 = pemToDER(dir, "ee256.pem", "x509");
    EXPECT_EQ(qelX509VerifySignature(ctx, ops, ee256.data(), ee256.size()), QELError_UnknownHashAlgorithm);
    EXPECT_EQ(ops->destroy(ops), QELError_NoErr);
    QELKeyDB *other = openOwned(keyPacket(keyNumbers(spkiByOpenSSL(dir, "ee.key"))));
    QELPublicKeyObject *wrong = qelKeyObjPublicOps(firstKey(other), QELKeyRole_Sign);
    ASSERT_NE(wrong, nullptr);
    EXPECT_EQ(qelX509VerifySignature(ctx, wrong, ca.data(), ca.size()), QELError_BadCertificateSignature);
    EXPECT_EQ(wrong->destroy(wrong), QELError_NoErr);
}

TEST_F(X509KeysTest, CRLTimes)
{
    if (!pkitest::havePeers())
        GTEST_SKIP() << "no OpenSSL or Python cryptography";
    Workdir dir;
    ASSERT_EQ(dir.sh("openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -out ca.pem -days 30 -subj /CN=CA && "
                     "mkdir -p db && touch db/index && echo 01 > db/crlnumber && "
                     "printf '[ca]\\ndefault_ca=c\\n[c]\\ndatabase=db/index\\ncrlnumber=db/crlnumber\\n"
                     "default_md=sha256\\ndefault_crl_days=7\\n' > ca.cnf && "
                     "openssl ca -config ca.cnf -gencrl -keyfile ca.key -cert ca.pem -out crl.pem"),
              0);
    ASSERT_EQ(dir.sh("openssl crl -in crl.pem -outform DER -out crl.der"), 0);
    const Bytes crl = pkitest::fileBytes(dir / "crl.der");
    QELX509CRLTimes times{};
    ASSERT_EQ(qelX509DecodeCRLTimes(ctx, crl.data(), crl.size(), &times), 0);
    EXPECT_EQ(times.nextUpdate - times.thisUpdate, 7u * 86400u);
    const std::time_t now = std::time(nullptr);
    EXPECT_LE(std::llabs(static_cast<long long>(times.thisUpdate) - static_cast<long long>(now)), 3600);
    Bytes broken(crl.begin(), crl.begin() + static_cast<std::ptrdiff_t>(crl.size() / 2));
    EXPECT_EQ(qelX509DecodeCRLTimes(ctx, broken.data(), broken.size(), &times), QELError_CodecFailed);
}

// ---- certificates and PKCS #8 keys into key rings -------------------------------------------------

QELKeyObject *child(QELKeyObject *parent, int type)
{
    for (QELKeyObject *c = parent != nullptr ? parent->firstChild : nullptr; c != nullptr; c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == type)
            return c;
    return nullptr;
}

Bytes rawBody(QELKeyObject *o)
{
    std::size_t n = 0;
    const std::uint8_t *p = qelKeyObjRawPacket(o, &n);
    if (p == nullptr)
        return {};
    const std::size_t h = qelPacketHeaderSize(p, n);
    return Bytes(p + h, p + n);
}

std::uint32_t notBefore(const Workdir &dir, const std::string &pem)
{
    return static_cast<std::uint32_t>(std::stoul(
        run("date -u -d \"$(openssl x509 -in " + (dir / pem) + " -noout -startdate | cut -d= -f2)\" +%s")));
}

TEST_F(X509KeysTest, CertificatesBecomeKeyRingsWhoseSignaturesCheck)
{
    if (!pkitest::havePeers())
        GTEST_SKIP() << "no OpenSSL or Python cryptography";
    Workdir dir;
    ASSERT_EQ(dir.sh("openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -out ca.pem -days 30 -sha1 "
                     "-subj '/O=Org/CN=Root CA/emailAddress=ca@example.org' "
                     "-addext 'basicConstraints=critical,CA:TRUE,pathlen:0' -addext 'keyUsage=keyCertSign,cRLSign'"),
              0);
    ASSERT_EQ(dir.sh("openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out dsap.pem && "
                     "openssl genpkey -paramfile dsap.pem -out ee.key && "
                     "openssl req -new -key ee.key -out ee.csr -subj '/CN=Leaf/OU=QELKeyCreation=0x5F5E1000' && "
                     "openssl x509 -req -in ee.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 5 -sha1 -out ee.pem"),
              0);
    const Bytes ca = pemToDER(dir, "ca.pem", "x509");
    const Bytes ee = pemToDER(dir, "ee.pem", "x509");

    // The CA alone: an RSA key no database holds becomes a version 3 key
    // created at notBefore.
    QELKeyDB *caDB = nullptr;
    ASSERT_EQ(qelX509ImportCertificate(ca.data(), ca.size(), ctx, nullptr, &caDB), QELError_NoErr);
    ASSERT_NE(caDB, nullptr);
    QELKeyObject *caKey = firstKey(caDB);
    ASSERT_NE(caKey, nullptr);
    const auto caNumbers = keyNumbers(spkiByOpenSSL(dir, "ca.pem", "x509"));
    const std::uint32_t created = notBefore(dir, "ca.pem");
    Bytes want = {3, std::uint8_t(created >> 24), std::uint8_t(created >> 16), std::uint8_t(created >> 8),
                  std::uint8_t(created), 0, 0, 1};
    putMPI(want, caNumbers.at("n"));
    putMPI(want, caNumbers.at("e"));
    EXPECT_EQ(rawBody(caKey), want);
    // Its v3 fingerprint is MD5 over the magnitudes of n and e.
    std::uint8_t fp[16];
    ASSERT_EQ(qelKeyObjFingerprintV3(caKey, fp), 16);
    {
        std::ofstream f(dir / "ne.bin", std::ios::binary);
        Bytes n = unhex(caNumbers.at("n")), e = unhex(caNumbers.at("e"));
        for (Bytes *b : {&n, &e})
            while (!b->empty() && b->front() == 0)
                b->erase(b->begin());
        f.write(reinterpret_cast<const char *>(n.data()), static_cast<std::streamsize>(n.size()));
        f.write(reinterpret_cast<const char *>(e.data()), static_cast<std::streamsize>(e.size()));
    }
    const std::string md5 = run("openssl dgst -md5 -r " + (dir / "ne.bin") + " | cut -c1-32");
    EXPECT_EQ(qeltest::toHex(fp, 16), md5.substr(0, 32));
    QELKeyObject *caUser = child(caKey, QELObjectType_UserID);
    ASSERT_NE(caUser, nullptr);
    const Bytes uid = rawBody(caUser);
    EXPECT_EQ(std::string(uid.begin(), uid.end()), "Root CA <ca@example.org>");
    QELKeyObject *caSig = child(caUser, QELObjectType_Signature);
    ASSERT_NE(caSig, nullptr);
    const Bytes sigBody = rawBody(caSig);
    ASSERT_GT(sigBody.size(), 30u);
    // v4 certification by algorithm 100 with SHA-1; creation notBefore,
    // 30 days; trust depth 1; key flags "certify".
    EXPECT_EQ(Bytes(sigBody.begin(), sigBody.begin() + 4), (Bytes{4, 0x10, 100, 2}));
    const Bytes validity = {5, 2, std::uint8_t(created >> 24), std::uint8_t(created >> 16),
                            std::uint8_t(created >> 8), std::uint8_t(created), 5, 3, 0x00, 0x27, 0x8D, 0x00};
    EXPECT_EQ(Bytes(sigBody.begin() + 6, sigBody.begin() + 18), validity);
    EXPECT_EQ(sigBody[18], 3);
    EXPECT_EQ(sigBody[19], 5);
    EXPECT_EQ(sigBody[20], 1);
    EXPECT_EQ(Bytes(sigBody.begin() + 22, sigBody.begin() + 25), (Bytes{2, 0x1B, 0x01}));
    // The certificate is carried as received.
    std::size_t carriedLength = 0;
    const std::uint8_t *carried = qelKeyObjSigX509Data(caSig, &carriedLength);
    ASSERT_NE(carried, nullptr);
    EXPECT_EQ(Bytes(carried, carried + carriedLength), ca);

    // A self-signed certificate checks good.
    ASSERT_EQ(qelKeySigCheckKeySet(qelKeyDBRootSet(caDB), nullptr, 1, nullptr, nullptr), QELError_NoErr);
    EXPECT_EQ(qelKeyObjSigInfo(caSig)->state & (QELSigState_Checked | QELSigState_Valid),
              QELSigState_Checked | QELSigState_Valid);

    // The leaf: DSA, version 4, its creation time from the name attribute;
    // in one database with the CA its signature checks good too.
    QELKeyDB *eeDB = nullptr;
    ASSERT_EQ(qelX509ImportCertificate(ee.data(), ee.size(), ctx, nullptr, &eeDB), QELError_NoErr);
    QELKeyObject *eeKey = firstKey(eeDB);
    const auto eeNumbers = keyNumbers(spkiByOpenSSL(dir, "ee.pem", "x509"));
    Bytes eeWant = {4, 0x5F, 0x5E, 0x10, 0x00, 17};
    for (const char *k : {"p", "q", "g", "y"})
        putMPI(eeWant, eeNumbers.at(k));
    EXPECT_EQ(rawBody(eeKey), eeWant);
    std::uint8_t fp20[20];
    ASSERT_EQ(qelKeyObjFingerprint(eeKey, fp20), 20);
    Bytes packet = {0x99, std::uint8_t(eeWant.size() >> 8), std::uint8_t(eeWant.size())};
    packet.insert(packet.end(), eeWant.begin(), eeWant.end());
    {
        std::ofstream f(dir / "ee.pkt", std::ios::binary);
        f.write(reinterpret_cast<const char *>(packet.data()), static_cast<std::streamsize>(packet.size()));
    }
    EXPECT_EQ(qeltest::toHex(fp20, 20), run("openssl dgst -sha1 -r " + (dir / "ee.pkt") + " | cut -c1-40").substr(0, 40));
    EXPECT_EQ(qelKeyDBAddKeySet(qelKeyDBRootSet(caDB), eeDB, nullptr), QELError_NoErr);
    eeKey = firstKey(eeDB);
    for (QELKeyObject *k = eeKey; k != nullptr; k = k->next)
        if (child(k, QELObjectType_UserID) != nullptr &&
            rawBody(child(k, QELObjectType_UserID)) == Bytes{'L', 'e', 'a', 'f'})
            eeKey = k;
    QELKeyObject *eeSig = child(child(eeKey, QELObjectType_UserID), QELObjectType_Signature);
    ASSERT_NE(eeSig, nullptr);
    ASSERT_EQ(qelKeySigCheckKeySet(qelKeyDBRootSet(eeDB), nullptr, 1, nullptr, nullptr), QELError_NoErr);
    EXPECT_EQ(qelKeyObjSigInfo(eeSig)->state & (QELSigState_Checked | QELSigState_Valid),
              QELSigState_Checked | QELSigState_Valid);

    // A certificate whose signature was tampered with checks bad.
    Bytes tampered = ca;
    tampered[tampered.size() - 5] ^= 0x40;
    QELKeyDB *badDB = nullptr;
    ASSERT_EQ(qelX509ImportCertificate(tampered.data(), tampered.size(), ctx, nullptr, &badDB), QELError_NoErr);
    QELKeyObject *badSig = child(child(firstKey(badDB), QELObjectType_UserID), QELObjectType_Signature);
    ASSERT_NE(badSig, nullptr);
    ASSERT_EQ(qelKeySigCheckKeySet(qelKeyDBRootSet(badDB), nullptr, 1, nullptr, nullptr), QELError_NoErr);
    EXPECT_EQ(qelKeyObjSigInfo(badSig)->state & (QELSigState_Checked | QELSigState_Valid), QELSigState_Checked);

    for (QELKeyDB *db : {caDB, eeDB, badDB})
        EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
}

TEST_F(X509KeysTest, PKCS8KeyBecomesSecretKeyOfTheCertificateKey)
{
    if (!pkitest::havePeers())
        GTEST_SKIP() << "no OpenSSL or Python cryptography";
    Workdir dir;
    ASSERT_EQ(dir.sh("openssl req -x509 -newkey rsa:1024 -nodes -keyout k.pem -out c.pem -days 3 -sha1 -subj /CN=K && "
                     "openssl pkcs8 -topk8 -nocrypt -in k.pem -outform DER -out k.p8 && "
                     "openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out dp.pem && "
                     "openssl genpkey -paramfile dp.pem -out d.pem && "
                     "openssl pkcs8 -topk8 -nocrypt -in d.pem -outform DER -out d.p8"),
              0);
    const Bytes cert = pemToDER(dir, "c.pem", "x509");
    const Bytes p8 = pkitest::fileBytes(dir / "k.p8");
    QELKeyDB *certDB = nullptr;
    ASSERT_EQ(qelX509ImportCertificate(cert.data(), cert.size(), ctx, nullptr, &certDB), QELError_NoErr);
    QELKeyDB *keyDB = nullptr;
    // Without the certificate's database there is no public key to join.
    QELKeyDB *none = nullptr;
    QELKeyDB *empty = nullptr;
    ASSERT_EQ(qelKeyDBNewInMemory(ctx, &empty), QELError_NoErr);
    EXPECT_EQ(qelX509ImportPrivateKeyInfo(p8.data(), p8.size(), ctx, empty, &none), QELError_PublicKeyNotFound);
    EXPECT_EQ(none, nullptr);
    ASSERT_EQ(qelX509ImportPrivateKeyInfo(p8.data(), p8.size(), ctx, certDB, &keyDB), QELError_NoErr);
    QELKeyObject *key = firstKey(keyDB);
    ASSERT_NE(key, nullptr);
    std::size_t n = 0;
    const std::uint8_t *packet = qelKeyObjRawPacket(key, &n);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet[0], 0x95);
    std::vector<std::string> ints;
    collectIntegers(p8.data(), p8.size(), ints);
    ASSERT_EQ(ints.size(), 10u); // outer version, then version n e d p1 p2 dp dq qinv
    const Bytes pub = rawBody(firstKey(certDB));
    Bytes want = pub;
    want.push_back(0);
    Bytes secret;
    for (int i : {4, 6, 5, 9}) // d, p = prime2, q = prime1, u = coefficient
        putMPI(secret, ints[static_cast<std::size_t>(i)]);
    std::uint32_t sum = 0;
    for (std::uint8_t b : secret)
        sum += b;
    want.insert(want.end(), secret.begin(), secret.end());
    want.push_back(std::uint8_t(sum >> 8));
    want.push_back(std::uint8_t(sum));
    EXPECT_EQ(rawBody(key), want);
    // A DSA PKCS #8 key is not taken.
    const Bytes dsa = pkitest::fileBytes(dir / "d.p8");
    EXPECT_EQ(qelX509ImportPrivateKeyInfo(dsa.data(), dsa.size(), ctx, certDB, &none), QELError_PublicKeyNotFound);
    for (QELKeyDB *db : {certDB, keyDB, empty})
        EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
}

// ---- certificate lists against openssl verify -------------------------------------------------

Bytes certList(const std::vector<Bytes> &certs)
{
    Bytes entries;
    for (const Bytes &c : certs) {
        entries.insert(entries.end(), {std::uint8_t(c.size() >> 16), std::uint8_t(c.size() >> 8), std::uint8_t(c.size())});
        entries.insert(entries.end(), c.begin(), c.end());
    }
    Bytes list = {std::uint8_t(entries.size() >> 16), std::uint8_t(entries.size() >> 8), std::uint8_t(entries.size())};
    list.insert(list.end(), entries.begin(), entries.end());
    return list;
}

TEST_F(X509KeysTest, CertificateListsAgreeWithOpenSSLVerify)
{
    if (!pkitest::havePeers())
        GTEST_SKIP() << "no OpenSSL or Python cryptography";
    Workdir dir;
    const std::string ca = "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign,cRLSign";
    const std::string ext = "printf 'basicConstraints=critical,CA:TRUE\\nkeyUsage=keyCertSign,cRLSign\\n' > ca.ext";
    ASSERT_EQ(dir.sh(ext + " && openssl req -x509 -newkey rsa:1024 -nodes -keyout root.key -out root.pem -days 9 -sha1 "
                     "-subj /CN=Root " + ca +
                     " && openssl req -newkey rsa:1024 -nodes -keyout int.key -out int.csr -subj /CN=Int"
                     " && openssl x509 -req -in int.csr -CA root.pem -CAkey root.key -set_serial 2 -days 9 -sha1"
                     " -extfile ca.ext -out int.pem"
                     " && openssl req -newkey rsa:1024 -nodes -keyout ee.key -out ee.csr -subj /CN=Leaf"
                     " && openssl x509 -req -in ee.csr -CA int.pem -CAkey int.key -set_serial 3 -days 9 -sha1 -out ee.pem"
                     // A leaf whose issuer name is Int's but whose signer is another key.
                     " && openssl req -x509 -newkey rsa:1024 -nodes -keyout fake.key -out fake.pem -days 9 -sha1"
                     " -subj /CN=Int " + ca +
                     " && openssl x509 -req -in ee.csr -CA fake.pem -CAkey fake.key -set_serial 4 -days 9 -sha1"
                     " -out forged.pem"
                     // Two authorities that issue each other.
                     " && openssl req -x509 -newkey rsa:1024 -nodes -keyout a.key -out a0.pem -days 9 -subj /CN=A " + ca +
                     " && openssl req -x509 -newkey rsa:1024 -nodes -keyout b.key -out b0.pem -days 9 -subj /CN=B " + ca +
                     " && openssl req -new -key a.key -out a.csr -subj /CN=A && openssl req -new -key b.key -out b.csr -subj /CN=B"
                     " && openssl x509 -req -in a.csr -CA b0.pem -CAkey b.key -set_serial 5 -days 9 -sha1 -extfile ca.ext -out a.pem"
                     " && openssl x509 -req -in b.csr -CA a.pem -CAkey a.key -set_serial 6 -days 9 -sha1 -extfile ca.ext -out b.pem"),
              0);
    std::map<std::string, Bytes> der;
    for (const char *n : {"root", "int", "ee", "forged", "a", "b"})
        der[n] = pemToDER(dir, std::string(n) + ".pem", "x509");
    auto opensslVerify = [&](const std::string &args) { return dir.sh("openssl verify " + args); };
    struct Case {
        const char *what;
        std::vector<std::string> peer, trusted;
        std::string openssl;
        QELStatus want;
    } cases[] = {
        {"good chain", {"ee", "int", "root"}, {"root"}, "-CAfile root.pem -untrusted int.pem ee.pem", QELError_NoErr},
        {"issuer trusted", {"ee"}, {"int"}, "-partial_chain -CAfile int.pem ee.pem", QELError_NoErr},
        {"forged link", {"forged", "int", "root"}, {"root"}, "-CAfile root.pem -untrusted int.pem forged.pem",
         QELError_BadCertificateSignature},
        {"no issuer", {"ee"}, {"root"}, "-CAfile root.pem ee.pem", QELError_CertificateNotFound},
        {"nothing trusted", {"ee", "int", "root"}, {}, "-no-CAfile -no-CApath -untrusted int.pem -untrusted root.pem ee.pem",
         QELError_CertificateMismatch},
        {"cycle", {"a", "b"}, {}, "-no-CAfile -no-CApath -untrusted b.pem a.pem", QELError_CertificateNotFound},
    };
    for (const Case &c : cases) {
        std::vector<Bytes> peer, trusted;
        for (const std::string &n : c.peer)
            peer.push_back(der[n]);
        for (const std::string &n : c.trusted)
            trusted.push_back(der[n]);
        const Bytes p = certList(peer), t = certList(trusted);
        EXPECT_EQ(qelX509VerifyCertificateList(ctx, p.data(), t.data()), c.want) << c.what;
        EXPECT_EQ(opensslVerify(c.openssl) == 0, c.want == QELError_NoErr) << c.what;
    }
    // Chains out of a key ring: a SET OF the certificates up to the root;
    // issuers that issue each other end the walk.
    auto setOf = [](std::vector<Bytes> certs) {
        std::sort(certs.begin(), certs.end());
        Bytes content;
        for (const Bytes &c : certs)
            content.insert(content.end(), c.begin(), c.end());
        Bytes out = {0x31, 0x82, std::uint8_t(content.size() >> 8), std::uint8_t(content.size())};
        out.insert(out.end(), content.begin(), content.end());
        return out;
    };
    for (const auto &[chain, from] : {std::pair{std::vector<std::string>{"ee", "int", "root"}, std::string("ee")},
                                      std::pair{std::vector<std::string>{"a", "b"}, std::string("a")}}) {
        std::vector<Bytes> certs;
        for (const std::string &n : chain)
            certs.push_back(der[n]);
        const Bytes set = setOf(certs);
        QELKeyDB *db = nullptr;
        ASSERT_EQ(qelX509ImportCertificateSet(set.data(), set.size(), ctx, nullptr, &db), QELError_NoErr);
        QELKeyObject *start = nullptr;
        for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next)
            for (QELKeyObject *u = k->firstChild; u != nullptr; u = u->next)
                for (QELKeyObject *g = u->firstChild; g != nullptr; g = g->next) {
                    std::size_t n = 0;
                    const std::uint8_t *d = qelKeyObjSigX509Data(g, &n);
                    if (d != nullptr && Bytes(d, d + n) == der[from])
                        start = g;
                }
        ASSERT_NE(start, nullptr) << from;
        std::uint8_t *block = nullptr;
        std::size_t length = 0;
        ASSERT_EQ(qelX509EncodeCertChain(ctx, start, &block, &length), QELError_NoErr) << from;
        EXPECT_EQ(Bytes(block, block + length), set) << from;
        EXPECT_EQ(qelMemFree(block), QELError_NoErr);
        EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
    }

    // An entry that claims more than its list holds.
    Bytes broken = certList({der["ee"]});
    broken[5] = static_cast<std::uint8_t>(broken[5] + 1);
    const Bytes t = certList({der["int"]});
    EXPECT_EQ(qelX509VerifyCertificateList(ctx, broken.data(), t.data()), QELError_BadDER);
}

// ---- revocation lists ------------------------------------------------------------------------------

TEST_F(X509KeysTest, EveryCRLOfASetIsTakenOrCounted)
{
    if (!pkitest::havePeers())
        GTEST_SKIP() << "no OpenSSL or Python cryptography";
    Workdir dir;
    const std::string cnf = "printf '[ca]\\ndefault_ca=c\\n[c]\\ndatabase=db/index\\ncrlnumber=db/crlnumber\\n"
                            "default_md=sha1\\ndefault_crl_days=7\\n' > ca.cnf";
    ASSERT_EQ(dir.sh("mkdir -p db && touch db/index && echo 01 > db/crlnumber && " + cnf +
                     " && openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -out ca.pem -days 30 -sha1 -subj /CN=CA"
                     " && openssl req -newkey rsa:1024 -nodes -keyout ee.key -out ee.csr -subj /CN=Leaf"
                     " && openssl x509 -req -in ee.csr -CA ca.pem -CAkey ca.key -set_serial 4660 -days 5 -sha1 -out ee.pem"
                     " && openssl ca -config ca.cnf -revoke ee.pem -keyfile ca.key -cert ca.pem"
                     " && openssl ca -config ca.cnf -gencrl -keyfile ca.key -cert ca.pem -out crl.pem"
                     " && openssl req -x509 -newkey rsa:1024 -nodes -keyout x.key -out x.pem -days 30 -sha1 -subj /CN=X"
                     " && openssl ca -config ca.cnf -gencrl -keyfile x.key -cert x.pem -out xcrl.pem"),
              0);
    const Bytes ca = pemToDER(dir, "ca.pem", "x509");
    const Bytes crl = pemToDER(dir, "crl.pem", "crl");
    const Bytes stranger = pemToDER(dir, "xcrl.pem", "crl");
    // SET OF CRLs: the stranger's first, then the CA's.
    Bytes set = {0x31, 0x82, std::uint8_t((crl.size() + stranger.size()) >> 8), std::uint8_t(crl.size() + stranger.size())};
    set.insert(set.end(), stranger.begin(), stranger.end());
    set.insert(set.end(), crl.begin(), crl.end());
    QELKeyDB *caDB = nullptr;
    ASSERT_EQ(qelX509ImportCertificate(ca.data(), ca.size(), ctx, nullptr, &caDB), QELError_NoErr);
    QELKeyDB *crlDB = nullptr;
    std::uint32_t notTaken = 9;
    ASSERT_EQ(qelX509ImportCRLs(set.data(), set.size(), ctx, caDB, &crlDB, &notTaken), QELError_NoErr);
    EXPECT_EQ(notTaken, 1u);
    ASSERT_NE(crlDB, nullptr);
    QELKeyObject *key = firstKey(crlDB);
    QELKeyObject *crlObject = child(key, QELObjectType_CRL);
    ASSERT_NE(crlObject, nullptr);
    const Bytes body = rawBody(crlObject);
    ASSERT_GT(body.size(), 2u);
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 2), (Bytes{4, 1}));
    EXPECT_EQ(Bytes(body.begin() + 2, body.end()), crl);
    EXPECT_EQ(qelKeyObjCRLInfo(crlObject)->nextUpdate - qelKeyObjCRLInfo(crlObject)->thisUpdate, 7u * 86400u);

    // One ring with the CA, the leaf and the CRL: the CRL checks good and
    // marks the leaf's certificate revoked, not the CA's own.
    const Bytes ee = pemToDER(dir, "ee.pem", "x509");
    QELKeyDB *eeDB = nullptr;
    ASSERT_EQ(qelX509ImportCertificate(ee.data(), ee.size(), ctx, nullptr, &eeDB), QELError_NoErr);
    QELKeyDB *ring = nullptr;
    ASSERT_EQ(qelKeyDBNewInMemory(ctx, &ring), QELError_NoErr);
    for (QELKeyDB *db : {caDB, eeDB, crlDB})
        ASSERT_EQ(qelKeyDBAddKeySet(qelKeyDBRootSet(db), ring, nullptr), QELError_NoErr);
    ASSERT_EQ(qelKeySigCheckKeySet(qelKeyDBRootSet(ring), nullptr, 1, nullptr, nullptr), QELError_NoErr);
    QELKeyObject *leafSig = nullptr, *caSig = nullptr, *ringCRL = nullptr;
    for (QELKeyObject *k = ring->firstKey; k != nullptr; k = k->next) {
        QELKeyObject *uid = child(k, QELObjectType_UserID);
        if (uid == nullptr)
            continue;
        (rawBody(uid) == Bytes{'C', 'N', '=', 'C', 'A'} ? caSig : leafSig) = child(uid, QELObjectType_Signature);
        if (child(k, QELObjectType_CRL) != nullptr)
            ringCRL = child(k, QELObjectType_CRL);
    }
    ASSERT_NE(leafSig, nullptr);
    ASSERT_NE(caSig, nullptr);
    ASSERT_NE(ringCRL, nullptr);
    EXPECT_EQ(qelKeyObjCRLInfo(ringCRL)->state, QELSigState_Checked | QELSigState_Valid);
    EXPECT_TRUE(qelKeyObjSigInfo(leafSig)->state & QELSigState_RevokedByCRL);
    EXPECT_FALSE(qelKeyObjSigInfo(caSig)->state & QELSigState_RevokedByCRL);
    EXPECT_TRUE(qelSigIsRevoked(leafSig));
    EXPECT_EQ(qelKeyDBRelease(eeDB), QELError_NoErr);
    EXPECT_EQ(qelKeyDBRelease(ring), QELError_NoErr);
    // With no issuer anywhere nothing is taken.
    QELKeyDB *none = nullptr;
    QELKeyDB *empty = nullptr;
    ASSERT_EQ(qelKeyDBNewInMemory(ctx, &empty), QELError_NoErr);
    ASSERT_EQ(qelX509ImportCRLs(set.data(), set.size(), ctx, empty, &none, &notTaken), QELError_NoErr);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(notTaken, 2u);
    for (QELKeyDB *db : {caDB, crlDB, empty})
        EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
}

} // namespace
