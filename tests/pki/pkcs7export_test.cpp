// PKCS #7 going out: degenerate SignedData that equals what OpenSSL's
// crl2pkcs7 writes for the same certificates and CRLs and reads back
// through the import, and GetCRL requests read by OpenSSL's asn1parse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pki_peer_fixture.h"
#include "qelPKIPKCS7ExportInternal.h"
#include "qelPKIPKCS7ImportInternal.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

pkitest::Workdir &dir()
{
    static pkitest::Workdir d;
    static const bool made = [] {
        return pkitest::makeCAFiles(d, "/O=Acme/CN=EE") &&
               d.sh("openssl crl2pkcs7 -in crl.pem -certfile ca.pem -certfile ee.pem -outform DER -out both.der && "
                    // OpenSSL keeps the certificates in the order given; DER sorts the SET OF, and
                    // the shorter end-entity certificate comes first.
                    "openssl crl2pkcs7 -in crl.pem -certfile ee.pem -certfile ca.pem -outform DER -out sorted.der && "
                    "openssl crl2pkcs7 -nocrl -certfile ee.pem -outform DER -out certs.der && "
                    "openssl crl2pkcs7 -in crl.pem -outform DER -out crls.der && "
                    "openssl crl2pkcs7 -nocrl -outform DER -out none.der") == 0;
    }();
    EXPECT_TRUE(made);
    return d;
}

class PKCS7ExportTest : public pkitest::PeerContextTest {
protected:
    // The import's two sets of a file, written out again.
    QELStatus roundTrip(const Bytes &in, Bytes &out)
    {
        QELPKCS7ImportResult r{};
        const QELStatus imported = qelCertImportPKCS7(ctx, in.data(), in.size(), nullptr, nullptr, &r);
        EXPECT_EQ(imported, QELError_NoErr);
        std::uint8_t *data = nullptr;
        std::uint64_t length = 0;
        const QELStatus s =
            qelCertExportPKCS7(ctx, r.certificates, r.certificatesLength, r.crls, r.crlsLength, &data, &length);
        out.assign(data, data + length);
        for (std::uint8_t *block : {r.certificates, r.crls, data})
            if (block != nullptr) {
                EXPECT_EQ(qelMemFree(block), QELError_NoErr);
            }
        return s;
    }
};

TEST_F(PKCS7ExportTest, DegenerateSignedDataAsOpenSSLWritesIt)
{
    struct Row {
        const char *in, *expect;
    } rows[] = {{"both.der", "sorted.der"}, {"sorted.der", "sorted.der"}, {"certs.der", "certs.der"},
                {"crls.der", "crls.der"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.in);
        Bytes out;
        ASSERT_EQ(roundTrip(dir().read(row.in), out), QELError_NoErr);
        const Bytes expected = dir().read(row.expect);
        EXPECT_EQ(pkitest::toHex(out.data(), out.size()), pkitest::toHex(expected.data(), expected.size()));
    }
    // OpenSSL lists what it reads back.
    const Bytes both = dir().read("both.der");
    Bytes out;
    ASSERT_EQ(roundTrip(both, out), QELError_NoErr);
    dir().write("out.der", out);
    const std::string listed = pkitest::run("openssl pkcs7 -inform DER -in " + (dir() / "out.der") +
                                            " -print_certs -noout 2>&1");
    EXPECT_NE(listed.find("subject=CN = CA"), std::string::npos) << listed;
    EXPECT_NE(listed.find("subject=O = Acme, CN = EE"), std::string::npos) << listed;
    EXPECT_NE(listed.find("Certificate Revocation List"), std::string::npos) << listed;
    // Nothing at all: an empty degenerate SignedData, as OpenSSL writes one.
    std::uint8_t *data = nullptr;
    std::uint64_t length = 0;
    ASSERT_EQ(qelCertExportPKCS7(ctx, nullptr, 0, nullptr, 0, &data, &length), QELError_NoErr);
    const Bytes none = dir().read("none.der");
    EXPECT_EQ(Bytes(data, data + length), none);
    EXPECT_EQ(qelMemFree(data), QELError_NoErr);
    // A set that does not decode whole is refused.
    const Bytes ee = dir().read("ee.der");
    EXPECT_EQ(qelCertExportPKCS7(ctx, ee.data(), ee.size(), nullptr, 0, &data, &length), QELError_PKIDecodeFailed);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0u);
}

TEST_F(PKCS7ExportTest, GetCRLRequests)
{
    const Bytes ee = dir().read("ee.der");
    asn1test::TestAllocator alloc;
    ASN1Context codec{0, &alloc.base};
    ASN1_Certificate *certificate = nullptr;
    std::int32_t err = 0;
    ASSERT_EQ(asn1Unpack_Certificate(&codec, &certificate, ee.data(), ee.size(), &err), ee.size());
    auto parse = [&](std::int32_t format, const Bytes &extra, std::int64_t seconds, QELStatus expect) {
        std::uint8_t *out = nullptr;
        std::uint64_t length = 0;
        EXPECT_EQ(qelPKIGetCRLForCertificate(&codec, certificate, extra.data(), extra.size(), format, seconds, &out,
                                             &length),
                  expect);
        if (out == nullptr)
            return std::string();
        dir().write("getcrl.der", out, length);
        alloc.base.free(&alloc.base, out);
        return pkitest::run("openssl asn1parse -inform DER -in " + (dir() / "getcrl.der") + " 2>&1");
    };
    // 2026-12-11 11:00:00 UTC.
    const std::string plain = parse(11020, {}, 1796986800, QELError_NoErr);
    EXPECT_NE(plain.find(":Acme"), std::string::npos) << plain;
    EXPECT_NE(plain.find(":EE"), std::string::npos) << plain;
    EXPECT_NE(plain.find("GENERALIZEDTIME   :20261211110000Z"), std::string::npos) << plain;
    EXPECT_EQ(plain.find("cont ["), std::string::npos) << plain;
    // Two general names: the last becomes the cRLName.
    const std::string a = "a.example", b = "http://b.example/crl";
    Bytes names = {0x30, static_cast<std::uint8_t>(4 + a.size() + b.size()), 0x82, static_cast<std::uint8_t>(a.size())};
    names.insert(names.end(), a.begin(), a.end());
    names.push_back(0x86);
    names.push_back(static_cast<std::uint8_t>(b.size()));
    names.insert(names.end(), b.begin(), b.end());
    const std::string named = parse(11023, names, 1796986800, QELError_NoErr);
    EXPECT_NE(named.find("cont [ 6 ]"), std::string::npos) << named;
    EXPECT_EQ(named.find("cont [ 2 ]"), std::string::npos) << named;
    // Other formats leave the extra octets alone.
    EXPECT_EQ(parse(11020, names, 1796986800, QELError_NoErr).find("cont ["), std::string::npos);
    // Extra octets that are no general names, none at all, and a year past 9999.
    Bytes broken = names;
    broken[1] = static_cast<std::uint8_t>(broken[1] + 1);
    EXPECT_EQ(parse(11023, broken, 1796986800, QELError_PKIOperationFailed), "");
    EXPECT_EQ(parse(11023, {}, 1796986800, QELError_PKIOperationFailed), "");
    EXPECT_EQ(parse(11020, {}, 253402300800, QELError_PKIOperationFailed), "");
    asn1Free_Certificate(&codec, certificate);
    EXPECT_TRUE(alloc.live.empty());
}

} // namespace
