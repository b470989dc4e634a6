// CA enrolment requests: web-form bodies against the field tables (values,
// rules and character sets), and requests of database keys that OpenSSL
// verifies, with their subject, extensions, challenge and form wrapper.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "asn1Enrol.h"
#include "pki_ring_fixture.h"
#include "pki_test_util.h"
#include "qelPKIEnrolRequestInternal.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

QELFormField field(const char *name, const char *value)
{
    return {name, std::strlen(value), reinterpret_cast<const std::uint8_t *>(value)};
}
QELCertAttribute attr(std::int32_t id, const char *value)
{
    return {id, std::strlen(value), reinterpret_cast<const std::uint8_t *>(value), 0};
}

class FormTest : public ::testing::Test {
protected:
    // The body, or "status N".
    std::string body(int type, std::vector<QELFormField> fields)
    {
        fields.push_back({nullptr, 0, nullptr});
        char *out = nullptr;
        const int32_t status = qelFormEncodeFields(&codec, type, fields.data(), &out);
        if (status != 0) {
            EXPECT_EQ(out, nullptr);
            return "status " + std::to_string(status);
        }
        std::string text = out;
        alloc.base.free(&alloc.base, out);
        return text;
    }
    ~FormTest() override { EXPECT_TRUE(alloc.live.empty()); }
    asn1test::TestAllocator alloc;
    ASN1Context codec{0, &alloc.base};
};

TEST_F(FormTest, BodiesAndStatuses)
{
    const std::vector<QELFormField> endUser = {field("cert_type", "end-user"), field("corp_company", "AB Ltd"),
                                               field("org_unit", "R+D"), field("mail_email", "ann"),
                                               field("challenge", "c 1")};
    EXPECT_EQ(body(0, endUser), "cert_type=end-user&corp_company=AB+Ltd&org_unit=R%2BD&mail_email=ann&challenge=c+1");
    auto with = [&](std::vector<QELFormField> base, const QELFormField &extra) {
        base.push_back(extra);
        return base;
    };
    auto replaced = [&](std::vector<QELFormField> base, std::size_t i, const QELFormField &f) {
        base[i] = f;
        return base;
    };
    const std::string c32(32, 'c'), c33(33, 'c');
    struct Row {
        const char *name;
        int type;
        std::vector<QELFormField> fields;
        std::string expect;
    } rows[] = {
        {"& in no set", 0, replaced(endUser, 1, field("corp_company", "A&B Ltd")), "status -1"},
        {"= and + encoded", 0, replaced(endUser, 4, field("challenge", "a=b+c")),
         "cert_type=end-user&corp_company=AB+Ltd&org_unit=R%2BD&mail_email=ann&challenge=a%3Db%2Bc"},
        {"% in no set", 0, replaced(endUser, 4, field("challenge", "100%")), "status -1"},
        {"mail set", 0, replaced(endUser, 3, field("mail_email", "\"a b\"@[x]")), "status -1"},
        {"mail characters", 0, replaced(endUser, 3, field("mail_email", "\"a_b+c\"@[x:y].z")),
         "cert_type=end-user&corp_company=AB+Ltd&org_unit=R%2BD&mail_email=\"a_b%2Bc\"@[x:y].z&challenge=c+1"},
        {"no challenge", 0, {endUser.begin(), endUser.end() - 1}, "status -3"},
        {"server refuses common_name", 2,
         {field("cert_type", "server"), field("corp_company", "A"), field("org_unit", "U"), field("challenge", "c"),
          field("common_name", "x")},
         "status -4"},
        {"type word", 0, replaced(endUser, 0, field("cert_type", "server")), "status -5"},
        {"word and a further octet", 0, replaced(endUser, 0, field("cert_type", "end-users")), "status -5"},
        {"empty word", 0, replaced(endUser, 0, field("cert_type", "")),
         "cert_type=&corp_company=AB+Ltd&org_unit=R%2BD&mail_email=ann&challenge=c+1"},
        {"embed yes/no", 0, with(endUser, field("embed_email", "maybe")), "status -6"},
        {"embed prefix", 0, with(endUser, field("embed_email", "ye")),
         "cert_type=end-user&corp_company=AB+Ltd&org_unit=R%2BD&mail_email=ann&challenge=c+1&embed_email=ye"},
        {"ipsec embed any", 1,
         {field("cert_type", "ipsec"), field("corp_company", "A"), field("org_unit", "U"), field("mail_email", "m"),
          field("challenge", "c"), field("embed_email", "maybe")},
         "cert_type=ipsec&corp_company=A&org_unit=U&mail_email=m&challenge=c&embed_email=maybe"},
        {"challenge 33", 0, replaced(endUser, 4, field("challenge", c33.c_str())), "status -7"},
        {"challenge 32", 0, replaced(endUser, 4, field("challenge", c32.c_str())),
         "cert_type=end-user&corp_company=AB+Ltd&org_unit=R%2BD&mail_email=ann&challenge=" + c32},
        {"pending", 0, with(endUser, field("authenticate", "pending")),
         "cert_type=end-user&corp_company=AB+Ltd&org_unit=R%2BD&mail_email=ann&challenge=c+1&authenticate=pending"},
        {"not pending", 0, with(endUser, field("authenticate", "later")), "status -8"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(body(row.type, row.fields), row.expect) << row.name;
    // Statuses to codes.
    EXPECT_EQ(qelFormStatusToError(-1), QELError_EnrollmentStatus1);
    EXPECT_EQ(qelFormStatusToError(-3), QELError_EnrollmentStatus3);
    EXPECT_EQ(qelFormStatusToError(-4), QELError_EnrollmentStatus4);
    EXPECT_EQ(qelFormStatusToError(-5), QELError_EnrollmentFieldMissing);
    EXPECT_EQ(qelFormStatusToError(-6), QELError_PKIOperationFailed);
    EXPECT_EQ(qelFormStatusToError(-7), QELError_EnrollmentStatus7);
    EXPECT_EQ(qelFormStatusToError(-8), QELError_EnrollmentStatus8);
    EXPECT_EQ(qelFormStatusToError(-2), QELError_PKIOperationFailed);
    EXPECT_EQ(qelFormStatusToError(-9), QELError_PKIOperationFailed);
    EXPECT_EQ(qelFormStatusToError(3), QELError_PKIOperationFailed);
}

TEST_F(FormTest, AppendGrowsFourAtATime)
{
    std::uint64_t count = 0, capacity = 1;
    auto *buffer = static_cast<std::uint8_t *>(alloc.base.alloc(&alloc.base, 1));
    for (int i = 0; i < 6; ++i)
        buffer = qelFormAppendByte(&codec, static_cast<std::uint8_t>('a' + i), buffer, &count, &capacity);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(capacity, 9u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 6), "abcdef");
    alloc.base.free(&alloc.base, buffer);
}

class EnrolRequestTest : public pkitest::RingTest {
protected:
    void SetUp() override
    {
        pkitest::RingTest::SetUp();
        if (!pkitest::havePeers())
            GTEST_SKIP() << "no OpenSSL";
    }
    QELStatus request(QELKeyObject *key, const char *pass, std::int32_t requestClass,
                      const std::vector<QELCertAttribute> &attributes, Bytes &out)
    {
        QELOptionList *options = nullptr;
        EXPECT_EQ(qelOptionListBuildPublic(ctx, &options, qelOptionPassphrase(ctx, pass), qelOptionLastOption(ctx)),
                  QELError_NoErr);
        std::uint8_t *data = nullptr;
        std::uint64_t length = 0;
        const QELStatus s = qelCACreateEnrolmentRequest(ctx, key, requestClass, attributes.data(),
                                                        static_cast<std::uint32_t>(attributes.size()), options, &data,
                                                        &length);
        out.assign(data, data + length);
        if (data != nullptr) {
            EXPECT_EQ(qelMemFree(data), QELError_NoErr);
        }
        return s;
    }
    // OpenSSL's text of a request it verified; empty when it does not verify.
    std::string verified(const Bytes &der)
    {
        dir.write("req.der", der);
        if (dir.sh("openssl req -verify -noout -inform DER -in req.der") != 0)
            return "";
        return pkitest::run("openssl req -text -noout -nameopt RFC2253 -inform DER -in " + (dir / "req.der") +
                            " 2>/dev/null");
    }
    pkitest::Workdir dir;
};

TEST_F(EnrolRequestTest, RequestsOpenSSLVerifies)
{
    const std::vector<QELCertAttribute> attributes = {
        attr(QELCertAttr_Organization, "Acme"), attr(QELCertAttr_CommonName, "Doe, John+OU=Admins"),
        attr(QELCertAttr_DNSName, "h.example"), attr(QELCertAttr_OnsiteToken, ""),
        attr(QELCertAttr_OnsiteToken, "tok1"), attr(QELCertAttr_OnsiteToken, "tok2")};
    Bytes der;
    for (auto [key, pass] : {std::pair{keys[0], "alice-pass"}, std::pair{keys[1], "bob-pass"}}) {
        ASSERT_EQ(request(key, pass, 11000, attributes, der), QELError_NoErr);
        const std::string text = verified(der);
        ASSERT_FALSE(text.empty());
        // The user's comma and plus stay inside the one common name.
        EXPECT_NE(text.find("Subject: O=Acme,CN=Doe\\, John\\+OU=Admins"), std::string::npos) << text;
        EXPECT_NE(text.find("DNS:h.example"), std::string::npos) << text;
        EXPECT_NE(text.find("challengePassword        :tok1"), std::string::npos) << text;
        EXPECT_EQ(text.find("tok2"), std::string::npos);
        EXPECT_NE(text.find("signingTime"), std::string::npos) << text;
    }
    EXPECT_NE(verified(der).find("dsaWithSHA1"), std::string::npos);
    // A wrong passphrase: the request cannot be signed.
    EXPECT_EQ(request(keys[0], "wrong", 11000, attributes, der), QELError_CertRequestFailed);
    EXPECT_TRUE(der.empty());
    // A challenge outside the PrintableString set does not encode.
    EXPECT_EQ(request(keys[0], "alice-pass", 11000, {attr(QELCertAttr_OnsiteToken, "a@b")}, der), QELError_ASN1Error);
    EXPECT_EQ(request(keys[0], "alice-pass", 11000, {attr(44, "x")}, der), QELError_UnknownDNAttribute);
    // The grouping class ends the subject in one multi-valued RDN.
    ASSERT_EQ(request(keys[0], "alice-pass", 11003,
                      {attr(QELCertAttr_CommonName, "Ann"), attr(QELCertAttr_Organization, "Acme"),
                       attr(QELCertAttr_SerialNumber, "7")},
                      der),
              QELError_NoErr);
    EXPECT_NE(verified(der).find("Subject: O=Acme,CN=Ann+serialNumber=7"), std::string::npos) << verified(der);
}

TEST_F(EnrolRequestTest, WebFormRequest)
{
    const std::vector<QELCertAttribute> ipsec = {
        attr(QELCertAttr_CertType, "ipsec"),      attr(QELCertAttr_CommonName, "gw one"),
        attr(QELCertAttr_Email, "gw@x.example"), attr(QELCertAttr_Organization, "Acme"),
        attr(QELCertAttr_OrganizationalUnit, "Net"), attr(QELCertAttr_Challenge, "s3cret"),
        attr(QELCertAttr_OnsiteToken, "tok")};
    Bytes der;
    ASSERT_EQ(request(keys[0], "alice-pass", 11002, ipsec, der), QELError_NoErr);
    asn1test::TestAllocator alloc;
    ASN1Context codec{0, &alloc.base};
    ASN1_EnrolFormRequest *wrapper = nullptr;
    std::int32_t err = 0;
    ASSERT_EQ(asn1Unpack_EnrolFormRequest(&codec, &wrapper, der.data(), der.size(), &err), der.size());
    ASSERT_NE(wrapper->formFields, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(wrapper->formFields->data), wrapper->formFields->length),
              "cert_type=ipsec&common_name=gw+one&mail_email=gw@x.example&corp_company=Acme&org_unit=Net&"
              "challenge=s3cret&onsite_token=tok");
    const Bytes inner(wrapper->request.data, wrapper->request.data + wrapper->request.length);
    asn1Free_EnrolFormRequest(&codec, wrapper);
    const std::string text = verified(inner);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find("challengePassword"), std::string::npos);
    // 30 L (request) (04 L body)
    EXPECT_EQ(der[0], 0x30);

    auto without = [&](std::int32_t id) {
        std::vector<QELCertAttribute> v;
        for (const QELCertAttribute &a : ipsec)
            if (a.id != id)
                v.push_back(a);
        return v;
    };
    auto server = without(QELCertAttr_Email);
    server[0] = attr(QELCertAttr_CertType, "server");
    EXPECT_EQ(request(keys[0], "alice-pass", 11002, server, der), QELError_EnrollmentStatus4);
    EXPECT_TRUE(der.empty());
    EXPECT_EQ(request(keys[0], "alice-pass", 11002, without(QELCertAttr_Challenge), der), QELError_EnrollmentStatus3);
    EXPECT_EQ(request(keys[0], "alice-pass", 11002, without(QELCertAttr_CertType), der),
              QELError_EnrollmentFieldMissing);
    auto other = ipsec;
    other[0] = attr(QELCertAttr_CertType, "router");
    EXPECT_EQ(request(keys[0], "alice-pass", 11002, other, der), QELError_EnrollmentFieldMissing);
    // The embed flag becomes "yes" or "no"; the end-user table takes it.
    const std::vector<QELCertAttribute> endUser = {
        attr(QELCertAttr_CertType, "end-user"), attr(QELCertAttr_Organization, "Acme"),
        attr(QELCertAttr_OrganizationalUnit, "Net"), attr(QELCertAttr_Email, "a@x.example"),
        attr(QELCertAttr_Challenge, "c"),
        {QELCertAttr_EmbedEmail, 0, reinterpret_cast<const std::uint8_t *>(std::uintptr_t{0}), 0}};
    ASSERT_EQ(request(keys[0], "alice-pass", 11002, endUser, der), QELError_NoErr);
    const std::string hex = pkitest::toHex(der.data(), der.size());
    EXPECT_NE(hex.find(pkitest::toHex(reinterpret_cast<const std::uint8_t *>("&embed_email=no"), 15)),
              std::string::npos);
}

} // namespace
