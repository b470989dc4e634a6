// Enrolment pieces: subjects rendered from attribute lists (escaping that
// keeps a user's comma or plus inside its value, read back by OpenSSL),
// extensions from attributes, and the public-key pieces of database keys
// compared with the SubjectPublicKeyInfo the X.509 key code writes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../keys/keys_fixture.h"
#include "pki_test_util.h"
#include "qelKeyIter.h"
#include "qelKeyMan.h"
#include "qelKeyProperty.h"
#include "qelKeyObjInternal.h"
#include "qelPKIEnrolNameInternal.h"
#include "qelPKIKeyInfoInternal.h"
#include "qelSeams.h"
#include "qelX509.h"
#include "qelX509KeysInternal.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

QELCertAttribute attr(std::int32_t id, const char *value)
{
    return {id, std::strlen(value), reinterpret_cast<const std::uint8_t *>(value), 0};
}
QELCertAttribute flag(std::int32_t id, bool on)
{
    return {id, 0, reinterpret_cast<const std::uint8_t *>(static_cast<std::uintptr_t>(on ? 1 : 0)), 0};
}

class EnrolTest : public keystest::ContextTest {
protected:
    std::string render(std::int32_t requestClass, const std::vector<QELCertAttribute> &attributes,
                       QELStatus expect = QELError_NoErr)
    {
        char *text = nullptr;
        EXPECT_EQ(qelDNTextFromAttributes(qelContextGetMemoryMgr(ctx), requestClass, attributes.data(),
                                          static_cast<std::uint32_t>(attributes.size()), &text),
                  expect);
        std::string out = text != nullptr ? text : "<null>";
        if (text != nullptr) {
            EXPECT_EQ(qelMemFree(text), QELError_NoErr);
        }
        return out;
    }
    Bytes subjectDER(const std::vector<QELCertAttribute> &attributes)
    {
        std::uint8_t *der = nullptr;
        std::uint64_t n = 0;
        EXPECT_EQ(qelDNFromAttributes(ctx, attributes.data(), static_cast<std::uint32_t>(attributes.size()), &der, &n),
                  QELError_NoErr);
        Bytes out(der, der + n);
        if (der != nullptr) {
            EXPECT_EQ(qelMemFree(der), QELError_NoErr);
        }
        return out;
    }
};

TEST_F(EnrolTest, SubjectTextByClass)
{
    const std::vector<QELCertAttribute> base = {attr(QELCertAttr_Organization, "Acme"),
                                                attr(QELCertAttr_CommonName, "Ann")};
    EXPECT_EQ(render(10000, base), "O=Acme,CN=Ann");
    auto grouped = base;
    grouped.push_back(attr(QELCertAttr_SerialNumber, "42"));
    grouped.push_back(attr(QELCertAttr_Description, "d"));
    EXPECT_EQ(render(11003, grouped), "O=Acme,CN=Ann+SerialNumber=42+description=d");
    EXPECT_EQ(render(11004, grouped), "O=Acme,CN=Ann,SerialNumber=42");
    // Under the grouping class a later CommonName replaces the earlier one.
    auto twice = grouped;
    twice.push_back(attr(QELCertAttr_CommonName, "Bea"));
    EXPECT_EQ(render(11003, twice), "O=Acme,CN=Bea+SerialNumber=42+description=d");
    // The e-mail address goes in unless the embed flag says no, wherever it is.
    const auto mail = attr(QELCertAttr_Email, "a@b.example");
    EXPECT_EQ(render(10000, {mail}), "emailAddress=a@b.example");
    EXPECT_EQ(render(10000, {mail, flag(QELCertAttr_EmbedEmail, false)}), "");
    EXPECT_EQ(render(10000, {flag(QELCertAttr_EmbedEmail, false), mail}), "");
    EXPECT_EQ(render(10000, {flag(QELCertAttr_EmbedEmail, true), mail}), "emailAddress=a@b.example");
    // Ids without a DN role are accepted; others are refused; empty values add nothing.
    EXPECT_EQ(render(10000, {attr(29, "x"), attr(QELCertAttr_DNSName, "h"), attr(QELCertAttr_Locality, "")}), "");
    EXPECT_EQ(render(10000, {attr(44, "x")}, QELError_UnknownDNAttribute), "<null>");
    EXPECT_EQ(render(10000, {attr(1000, "x")}, QELError_UnknownDNAttribute), "<null>");
}

TEST_F(EnrolTest, UserNamesWithSpecialsStayOneValue)
{
    // A name that, written as it is, would add an attribute and an RDN.
    const char *hostile = "Doe, John+OU=Admins";
    EXPECT_EQ(render(10000, {attr(QELCertAttr_CommonName, hostile)}), "CN=Doe\\, John\\+OU=Admins");
    const Bytes der = subjectDER({attr(QELCertAttr_Organization, "Acme"), attr(QELCertAttr_CommonName, hostile),
                                  attr(QELCertAttr_OrganizationalUnit, " #lead;<q>\"\\ ")});
    ASSERT_FALSE(der.empty());
    if (!pkitest::havePeers())
        GTEST_SKIP() << "no OpenSSL";
    // OpenSSL's reading of the DER Name: three RDNs, each value whole.
    pkitest::Workdir dir;
    dir.write("name.der", der);
    const std::string parse = "openssl asn1parse -inform DER -in " + (dir / "name.der");
    const std::string sets = pkitest::run(parse + " | grep -c ' SET '");
    EXPECT_EQ(sets, "3\n");
    const std::string values = pkitest::run(parse + " | grep -o ':[^:]*$'");
    EXPECT_NE(values.find(":Doe, John+OU=Admins\n"), std::string::npos) << values;
    EXPECT_NE(values.find(": #lead;<q>\"\\ \n"), std::string::npos) << values;
}

// Quoted values name the same DER as the same values escaped: a quoted
// comma, plus or equals sign never starts an attribute, and an escape inside
// quotes is kept once.
TEST_F(EnrolTest, QuotedNameTextIsTheEscapedName)
{
    struct Row {
        const char *quoted, *escaped;
    };
    const Row rows[] = {
        {"CN=\"Doe, John\",O=Acme", "CN=Doe\\, John,O=Acme"},
        {"CN=\"a+OU=b\"", "CN=a\\+OU\\=b"},
        {"CN=\"x\\,y\"", "CN=x\\,y"},
        {"CN=\"say \\\"hi\\\"\"", "CN=say\\ \\\"hi\\\""},
        {"CN=\"back\\\\slash\"", "CN=back\\\\slash"},
        {"O=Plain,CN=\"#1 <a;b>\"", "O=Plain,CN=\\#1\\ \\<a\\;b\\>"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.quoted);
        std::uint8_t *a = nullptr, *b = nullptr;
        std::uint64_t na = 0, nb = 0;
        ASSERT_EQ(qelX509NameTextToDER(ctx, row.quoted, &a, &na), QELError_NoErr);
        ASSERT_EQ(qelDNTextToDER(ctx, row.escaped, &b, &nb), QELError_NoErr);
        EXPECT_EQ(Bytes(a, a + na), Bytes(b, b + nb));
        EXPECT_EQ(qelMemFree(a), QELError_NoErr);
        EXPECT_EQ(qelMemFree(b), QELError_NoErr);
    }
    std::uint8_t *der = reinterpret_cast<std::uint8_t *>(1);
    std::uint64_t n = 7;
    EXPECT_EQ(qelX509NameTextToDER(ctx, "CN=x", &der, nullptr), QELError_BadParams);
    EXPECT_EQ(qelX509NameTextToDER(ctx, "CN=x", nullptr, &n), QELError_BadParams);
    EXPECT_EQ(qelX509NameTextToDER(ctx, nullptr, &der, &n), QELError_BadParams);
    EXPECT_EQ(der, nullptr);
    EXPECT_EQ(n, 0u);
}

TEST_F(EnrolTest, ExtensionsFromAttributes)
{
    // A basicConstraints extension passed through comes first, then the
    // subjectAltName with the names in attribute order.
    static const std::uint8_t basic[] = {0x30, 0x0C, 0x06, 0x03, 0x55, 0x1D, 0x13, 0x01,
                                         0x01, 0xFF, 0x04, 0x02, 0x30, 0x00};
    static const std::uint8_t ip[] = {10, 0, 0, 1};
    const std::vector<QELCertAttribute> attributes = {
        attr(QELCertAttr_DNSName, "h.example"), {QELCertAttr_Extension, sizeof basic, basic, 0},
        attr(QELCertAttr_RFC822Name, "a@b.example"), {QELCertAttr_IPAddress, sizeof ip, ip, 0},
        attr(QELCertAttr_CommonName, "ignored")};
    std::uint8_t *der = nullptr;
    std::uint64_t n = 0;
    ASSERT_EQ(qelExtensionsFromAttributes(ctx, attributes.data(), static_cast<std::uint32_t>(attributes.size()), &der,
                                          &n),
              QELError_NoErr);
    const Bytes got(der, der + n);
    EXPECT_EQ(qelMemFree(der), QELError_NoErr);
    const std::string expected = "3037" + pkitest::toHex(basic, sizeof basic) +
                                 "3027" "0603551d11" "0420" "301e" "8209682e6578616d706c65" "810b6140622e6578616d706c65"
                                 "87040a000001";
    EXPECT_EQ(pkitest::toHex(got.data(), got.size()), expected);
    // Nothing to make: no output. A broken extension: refused.
    const std::vector<QELCertAttribute> none = {attr(QELCertAttr_CommonName, "x"), attr(QELCertAttr_DNSName, "")};
    ASSERT_EQ(qelExtensionsFromAttributes(ctx, none.data(), 2, &der, &n), QELError_NoErr);
    EXPECT_EQ(der, nullptr);
    EXPECT_EQ(n, 0u);
    const QELCertAttribute broken = {QELCertAttr_Extension, 3, basic, 0};
    EXPECT_EQ(qelExtensionsFromAttributes(ctx, &broken, 1, &der, &n), QELError_PKIRequestFailed);
}

TEST_F(EnrolTest, PublicKeyInfoOfDatabaseKeys)
{
    QELKeyDB *db = openOwned(keystest::readFile(keystest::dataPath("keyedit_secret.gpg")));
    ASSERT_NE(db, nullptr);
    QELKeyIter *iter = nullptr;
    ASSERT_EQ(qelKeyIterNewOnDB(db, &iter), QELError_NoErr);
    int seen[3] = {}; // RSA, DSA, ElGamal
    QELKeyObject *object = nullptr;
    while (qelKeyIterNext(iter, -1, &object) == QELError_NoErr) {
        if (qelKeyObjType(object) != QELObjectType_Key && qelKeyObjType(object) != QELObjectType_SubKey)
            continue;
        std::int32_t algorithm = 0;
        ASSERT_EQ(qelKeyObjGetNumberProperty(object, QELProperty_Algorithm, &algorithm), QELError_NoErr);
        QELX509Codec codec(qelContextGetMemoryMgr(ctx));
        QELPublicKeyInfo info{};
        const QELStatus s = qelKeyPublicKeyInfo(object, codec.get(), &info);
        if (algorithm == 16) {
            EXPECT_EQ(s, QELError_UnsupportedAlgorithm);
            EXPECT_EQ(info.algorithm, nullptr);
            ++seen[2];
            continue;
        }
        ASSERT_EQ(s, QELError_NoErr);
        // The pieces make the SubjectPublicKeyInfo the key code writes
        // (itself checked against OpenSSL).
        std::size_t n = 0;
        ASSERT_EQ(qelX509KeyToSubjectPublicKeyInfo(ctx, object, nullptr, &n), QELError_NoErr);
        Bytes spki(n);
        ASSERT_EQ(qelX509KeyToSubjectPublicKeyInfo(ctx, object, spki.data(), &n), QELError_NoErr);
        const std::string hex = pkitest::toHex(spki.data(), spki.size());
        EXPECT_NE(hex.find("06" + pkitest::toHex(reinterpret_cast<const std::uint8_t *>(&info.algorithmLength), 1) +
                           pkitest::toHex(info.algorithm, info.algorithmLength) +
                           pkitest::toHex(info.parameters, info.parametersLength)),
                  std::string::npos);
        EXPECT_NE(hex.find("00" + pkitest::toHex(info.publicKey, info.publicKeyLength)), std::string::npos);
        if (algorithm == 17) {
            EXPECT_EQ(pkitest::toHex(info.signatureAlgorithm, info.signatureAlgorithmLength), "2a8648ce380403");
            EXPECT_EQ(info.signatureParameters, nullptr);
            EXPECT_EQ(info.parameters[0], 0x30);
            EXPECT_EQ(info.publicKey[0], 0x02);
            ++seen[1];
        } else {
            EXPECT_EQ(pkitest::toHex(info.signatureAlgorithm, info.signatureAlgorithmLength), "2a864886f70d010104");
            EXPECT_EQ(pkitest::toHex(info.signatureParameters, info.signatureParametersLength), "0500");
            EXPECT_EQ(pkitest::toHex(info.parameters, info.parametersLength), "0500");
            ++seen[0];
        }
        qelPublicKeyInfoFree(&info);
    }
    EXPECT_EQ(qelKeyIterFree(iter), QELError_NoErr);
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);
    EXPECT_GT(seen[2], 0);
}

} // namespace
