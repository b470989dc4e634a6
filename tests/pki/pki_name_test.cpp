// Distinguished names as text, both ways, against Python's cryptography
// (Name.rfc4514_string, Name.from_rfc4514_string) and OpenSSL's RFC 2253
// printer (the one behind `openssl x509 -nameopt RFC2253`): every built-in
// attribute, multi-valued RDNs, escapes, #hex, BMPString and UTF8String.
// Then the parser's refusals, the name comparison and the accessors.
#include "pki_test_util.h"

#include <algorithm>
#include <sstream>

#include "qelPKIAccessInternal.h"
#include "qelPKIConvertInternal.h"
#include "qelPKINameInternal.h"

#if QEL_HAVE_OPENSSL
#include <openssl/bio.h>
#include <openssl/x509.h>
#endif

using namespace pkitest;

namespace {

std::string peerScript() { return std::string(QEL_SOURCE_DIR) + "/tests/pki/data/name_peer.py"; }

std::vector<std::string> lines(const std::string &s)
{
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Feeds lines to the Python peer through a file in a private directory.
std::vector<std::string> askPython(const std::string &mode, const std::vector<std::string> &input)
{
    qeltest::TempDir dir("pkiname");
    std::string all;
    for (const std::string &l : input)
        all += l + "\n";
    qeltest::writeFile(dir / "in", all);
    return lines(run("python3 " + peerScript() + " " + mode + " < " + dir / "in"));
}

std::string oidText(const std::uint8_t *oid, std::uint64_t n, QELPKIContext *ctx)
{
    ASN1_ObjectIdentifier o{n, const_cast<std::uint8_t *>(oid)};
    char *t = qelPKIOIDToText(&o, ctx->codec);
    std::string s = t ? t : "";
    ctx->allocator->free(ctx->allocator, t);
    return s;
}

std::string hexOf(const std::string &s) { return toHex(reinterpret_cast<const std::uint8_t *>(s.data()), s.size()); }

struct NameHolder {
    ASN1_Name *name = nullptr;
    QELPKIContext *ctx;
    explicit NameHolder(QELPKIContext *c) : ctx(c) {}
    ~NameHolder()
    {
        if (name != nullptr) {
            EXPECT_EQ(qelPKINameFree(name, ctx), 0);
        }
    }
};

std::string render(const ASN1_Name *name, QELPKIContext *ctx, int32_t *status = nullptr)
{
    char *text = nullptr;
    const int32_t s = qelPKINameToText(&text, name, ctx);
    if (status != nullptr)
        *status = s;
    std::string out = text != nullptr ? text : "<null>";
    ctx->allocator->free(ctx->allocator, text);
    return out;
}

// The same type OIDs with the same content octets, pair by pair, whatever
// string types hold them.
bool sameContents(const ASN1_Name *a, const ASN1_Name *b)
{
    const auto *x = static_cast<const ASN1_RDNSequence *>(a->alternative);
    const auto *y = static_cast<const ASN1_RDNSequence *>(b->alternative);
    if (x->count != y->count)
        return false;
    for (std::int64_t r = 0; r < x->count; ++r) {
        if (x->elements[r]->count != y->elements[r]->count)
            return false;
        for (std::int64_t k = 0; k < x->elements[r]->count; ++k) {
            const ASN1_AttributeTypeAndValue *p = x->elements[r]->elements[k], *q = y->elements[r]->elements[k];
            std::uint8_t tp = 0, tq = 0;
            const std::uint8_t *cp = nullptr, *cq = nullptr;
            std::uint64_t np = 0, nq = 0;
            if (qelPKIElementHeader(&tp, &cp, &np, &p->value) != 0 || qelPKIElementHeader(&tq, &cq, &nq, &q->value) != 0 ||
                toHex(p->type.data, p->type.length) != toHex(q->type.data, q->type.length) ||
                toHex(cp, np) != toHex(cq, nq))
                return false;
        }
    }
    return true;
}

// Pairs of each relative name in sorted order, hexadecimal in lower case:
// OpenSSL lists the pairs of a relative name last first and writes upper
// case hexadecimal.
std::string canonical(const std::string &text, bool lowerHex)
{
    std::string out, rdn;
    std::vector<std::string> pairs;
    std::string cur;
    auto flushPair = [&] { pairs.push_back(cur); cur.clear(); };
    auto flushRDN = [&] {
        flushPair();
        std::sort(pairs.begin(), pairs.end());
        for (std::size_t i = 0; i < pairs.size(); ++i)
            out += (i ? "+" : "") + pairs[i];
        pairs.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            cur += c;
            cur += text[++i];
        } else if (c == '+') {
            flushPair();
        } else if (c == ',') {
            flushRDN();
            out += ',';
        } else {
            cur += lowerHex ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : c;
        }
    }
    flushRDN();
    return out;
}

#if QEL_HAVE_OPENSSL
std::string opensslText(const Bytes &der, unsigned long flags)
{
    const unsigned char *p = der.data();
    X509_NAME *name = d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size()));
    if (name == nullptr)
        return "<undecodable>";
    BIO *bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, name, 0, flags);
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string s(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    X509_NAME_free(name);
    // OpenSSL's short names where this toolkit's keywords differ.
    const std::pair<const char *, const char *> keywords[] = {
        {"serialNumber=", "SerialNumber="}, {"street=", "STREET="}, {"postOfficeBox=", "POBOX="},
        {"telephoneNumber=", "TN="}, {"internationaliSDNNumber=", "ISDN="}, {"GN=", "givenName="}};
    for (const auto &[from, to] : keywords) {
        for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos;) {
            if (at == 0 || s[at - 1] == ',' || s[at - 1] == '+') {
                s.replace(at, std::strlen(from), to);
                at += std::strlen(to);
            } else {
                at += 1;
            }
        }
    }
    return s;
}
#endif

} // namespace

TEST(PKIName, RenderingAgainstCryptographyAndOpenSSL)
{
    if (!havePeers())
        GTEST_SKIP() << "no OpenSSL or Python cryptography";
    Context ctx;
    // Every built-in attribute, with a value its default type holds and
    // that needs escaping where the type allows it.
    std::vector<std::string> rows;
    std::vector<bool> textOnly;
    for (const QELDNAttributeInfo *a = qelDNAttributeTable; a->keyword != nullptr; ++a) {
        const std::string oid = oidText(a->oid, a->oidLength, ctx);
        std::string value = a->defaultTag == 18 ? "12 34" : a->defaultTag == 22 ? "#a\"b<c>;d@x.example " : " a,b+c ";
        if (std::string(a->keyword) == "C")
            value = "XX";
        rows.push_back(oid + ":" + std::to_string(a->defaultTag) + ":" + hexOf(value) + "|2.5.4.10:19:" + hexOf("Org"));
        textOnly.push_back(true);
    }
    const char *more[] = {
        // multi-valued RDNs (rendered in DER order), most significant first
        "2.5.4.6:19:5858|2.5.4.10:19:4f7267|2.5.4.3:19:616161;2.5.4.11:19:626262",
        "2.5.4.3:19:78;2.5.4.3:19:79;2.5.4.5:19:3132",
        // escapes: specials, leading and trailing blanks, number sign
        "2.5.4.3:22:2c2b223c3e3b5c",
        "2.5.4.3:22:2320",
        "2.5.4.3:19:20",
        "2.5.4.3:19:202020",
        // UTF8String, BMPString, T61String, an unlisted type
        "2.5.4.3:12:636166c3a9",
        "2.5.4.3:30:00630061006600e9",
        "2.5.4.3:12:f09f9880|2.5.4.10:30:00e9",
        "2.5.4.3:20:616263",
        "1.2.3.4:19:616263",
        "1.2.3.4.5.6.7.8.9.4294967296:12:78",
    };
    for (const char *m : more) {
        rows.push_back(m);
        const std::string s(m);
        textOnly.push_back(s.find(":12:") == std::string::npos && s.find(":30:") == std::string::npos &&
                           s.find(":20:") == std::string::npos && s.find("1.2.3.4") == std::string::npos);
    }
    const std::vector<std::string> peer = askPython("build", rows);
    ASSERT_EQ(peer.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i]);
        const std::size_t space = peer[i].find(' ');
        const Bytes der = hex(peer[i].substr(0, space));
        const std::string expected = space == std::string::npos ? "" : peer[i].substr(space + 1);
        ASN1_Name *name = nullptr;
        std::int32_t err = 0;
        ASSERT_EQ(asn1Unpack_Name(ctx.codec(), &name, der.data(), der.size(), &err), der.size());
        const std::string ours = render(name, ctx);
        EXPECT_EQ(ours, expected);
#if QEL_HAVE_OPENSSL
        const bool allHex = rows[i].find(":19:") == std::string::npos && rows[i].find(":22:") == std::string::npos &&
                            rows[i].find(":18:") == std::string::npos;
        if (textOnly[i]) {
            EXPECT_EQ(canonical(ours, false), canonical(opensslText(der, XN_FLAG_RFC2253), false));
        } else if (allHex) {
            EXPECT_EQ(canonical(ours, true),
                      canonical(opensslText(der, XN_FLAG_RFC2253 | ASN1_STRFLGS_DUMP_ALL), true));
        }
#endif
        // And back: the text parses to a name that renders the same and
        // whose values are the same octets.
        NameHolder back(ctx);
        ASSERT_EQ(qelPKINameNew(&back.name, ctx), 0);
        ASSERT_EQ(qelPKINameFromText(back.name, ours.c_str(), ctx), 0) << ours;
        EXPECT_TRUE(sameContents(back.name, name));
        asn1Free_Name(ctx.codec(), name);
    }
}

TEST(PKIName, ParsingAgainstCryptography)
{
    if (!havePeers())
        GTEST_SKIP() << "no Python cryptography";
    Context ctx;
    const char *texts[] = {
        "CN=host1,O=org,C=XX",
        "CN=a+OU=b,O=x",
        "CN=a\\,b\\;c",
        "CN=\\ x\\ ",
        "CN=caf\\C3\\A9",
        "CN=caf\\c3\\a9,L=Z\\C3\\BCrich",
        "emailAddress=a@b.example,DC=example,DC=com",
        "CN=\\#x",
        "x121Address=12 34",
        "CN=\\\"q\\\"",
        "CN=a\\+b\\=c\\<d\\>",
        "CN=back\\\\slash",
        "SerialNumber=42,givenName=Ann,SN=Lee,title=Dr",
        "STREET=1 Main St+POBOX=7,ST=Somewhere,L=Town",
        "CN=x@y",
    };
    std::vector<std::string> hexTexts;
    for (const char *t : texts)
        hexTexts.push_back(hexOf(t));
    const std::vector<std::string> peer = askPython("parse", hexTexts);
    ASSERT_EQ(peer.size(), std::size(texts));
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        SCOPED_TRACE(texts[i]);
        NameHolder n(ctx);
        ASSERT_EQ(qelPKINameNew(&n.name, ctx), 0);
        ASSERT_EQ(qelPKINameFromText(n.name, texts[i], ctx), 0);
        const auto *seq = static_cast<const ASN1_RDNSequence *>(n.name->alternative);
        std::string ours;
        for (std::int64_t r = 0; r < seq->count; ++r) {
            std::vector<std::string> pairs;
            for (std::int64_t k = 0; k < seq->elements[r]->count; ++k) {
                const ASN1_AttributeTypeAndValue *a = seq->elements[r]->elements[k];
                std::uint8_t tag = 0;
                const std::uint8_t *content = nullptr;
                std::uint64_t length = 0;
                ASSERT_EQ(qelPKIElementHeader(&tag, &content, &length, &a->value), 0);
                EXPECT_TRUE(tag == 12 || tag == 18 || tag == 19 || tag == 22) << int(tag);
                pairs.push_back(oidText(a->type.data, a->type.length, ctx) + "=" + toHex(content, length));
            }
            std::sort(pairs.begin(), pairs.end());
            std::string joined;
            for (const std::string &p : pairs)
                joined += (joined.empty() ? "" : "+") + p;
            ours += (r ? "|" : "") + joined;
        }
        EXPECT_EQ(ours, peer[i]);
    }
}

TEST(PKIName, ParserEdgesAndRefusals)
{
    Context ctx;
    struct Row {
        const char *text;
        int32_t status;
        const char *rendered; // null: as the text
    };
    const Row rows[] = {
        {"CN=host1,O=org,C=XX", 0, nullptr},
        {"", 0, nullptr},
        {"  CN = spaced  ,  O = org  ", 0, "CN=spaced,O=org"},
        {"CN=x\\ ", 0, nullptr},
        {"cn=x", 0, "CN=x"},
        {"CN=caf\\C3\\A9", 0, "CN=#0c05636166c3a9"},
        {"CN=x@y", 0, "CN=#0c03784079"},
        {"1.2.3.4=#0403616263", 0, nullptr},
        {"CN=#0c03616263", 0, nullptr},
        {"CN=#13026869", 0, "CN=hi"},
        {"x121Address=12 34", 0, nullptr},
        {"x121Address=12a", -24, nullptr},
        {"1.2.3.4=abc", -10, nullptr},
        {"FOO=bar", -10, nullptr},
        {"CN=x\\", -10, nullptr},
        {"CN", -10, nullptr},
        {"CN=a,,O=b", -10, nullptr},
        {"CN=a,", -10, nullptr},
        {"CN=\\zz", -10, nullptr},
        // #hex must be exactly one whole DER element of hexadecimal pairs
        {"1.2.3.4=#", -10, nullptr},
        {"1.2.3.4=#04036162", -10, nullptr},
        {"1.2.3.4=#040361626364", -10, nullptr},
        {"1.2.3.4=#403616263", -10, nullptr},
        {"1.2.3.4=#0403616g63", -10, nullptr},
        {"1.2.3.4=#04 03616263", -10, nullptr},
        {"1.2.3.4=#0481036162", -10, nullptr},
        {"1.2.3.4=#1f030161", -10, nullptr},
        {"1.2.3.4=#0480616200", -10, nullptr},
        {"1.2.x.4=#0401ff", -10, nullptr},
        {"CN=#zz", -10, nullptr},
        // UTF-8 with surrogates, overlong forms or four octets is refused
        {"CN=\\ED\\A0\\80", -25, nullptr},
        {"CN=\\C0\\A9", -25, nullptr},
        {"CN=\\E0\\80\\AF", -25, nullptr},
        {"CN=\\F0\\9F\\98\\80", -25, nullptr},
        {"emailAddress=caf\\C3\\A9", -26, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        NameHolder n(ctx);
        ASSERT_EQ(qelPKINameNew(&n.name, ctx), 0);
        EXPECT_EQ(qelPKINameFromText(n.name, row.text, ctx), row.status);
        const auto *seq = static_cast<const ASN1_RDNSequence *>(n.name->alternative);
        if (row.status != 0) {
            EXPECT_EQ(seq->count, 0);
            continue;
        }
        EXPECT_EQ(render(n.name, ctx), row.rendered ? row.rendered : row.text);
    }
    // The first relative name of the text is the last of the name.
    NameHolder n(ctx);
    ASSERT_EQ(qelPKINameNew(&n.name, ctx), 0);
    ASSERT_EQ(qelPKINameFromText(n.name, "CN=host1,O=org,C=XX", ctx), 0);
    const auto *seq = static_cast<const ASN1_RDNSequence *>(n.name->alternative);
    ASSERT_EQ(seq->count, 3);
    EXPECT_EQ(toHex(seq->elements[0]->elements[0]->value.data, seq->elements[0]->elements[0]->value.length),
              "13025858");
    char *text = nullptr;
    ASSERT_EQ(qelPKINameGetAttributeText(&text, n.name, "O", ctx), 0);
    EXPECT_STREQ(text, "org");
    std::free(text);
    ASSERT_EQ(qelPKINameGetAttributeText(&text, n.name, "o", ctx), 0);
    EXPECT_EQ(text, nullptr);
}

TEST(PKIName, UnlistedTypesOfAnyLengthAndControlOctets)
{
    Context ctx;
    // An OID whose dotted text is far longer than any fixed area.
    std::string oid = "1.2";
    for (int i = 0; i < 150; ++i)
        oid += ".18446744073709551615";
    const std::string text = oid + "=#0c0178";
    NameHolder n(ctx);
    ASSERT_EQ(qelPKINameNew(&n.name, ctx), 0);
    ASSERT_EQ(qelPKINameFromText(n.name, text.c_str(), ctx), 0);
    EXPECT_EQ(render(n.name, ctx), text);
    EXPECT_GT(text.size(), 3000u);
    // Control octets in a text value come out as hexadecimal pairs.
    NameHolder m(ctx);
    ASSERT_EQ(qelPKINameNew(&m.name, ctx), 0);
    const Bytes value = hex("16 04 61 0a 00 62");
    const std::uint8_t email[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01};
    ASSERT_EQ(qelPKINameAddAttribute(m.name, email, sizeof email, value.data(), value.size(), ctx), 0);
    EXPECT_EQ(render(m.name, ctx), "emailAddress=a\\0A\\00b");
    // A stored value that is not one whole element is not rendered.
    const Bytes broken = hex("16 05 61");
    EXPECT_EQ(qelPKINameAddAttribute(m.name, email, sizeof email, broken.data(), broken.size(), ctx), -1);
    ASN1_AttributeTypeAndValue *ava = asn1New_AttributeTypeAndValue(ctx.codec());
    ASSERT_EQ(qelPKIAttributeValueSet(ava, email, sizeof email, broken.data(), broken.size(), ctx), 0);
    EXPECT_EQ(qelPKIAttributeValueToText(ava, ctx), nullptr);
    asn1Free_AttributeTypeAndValue(ctx.codec(), ava);
}

TEST(PKIName, ComparisonCopiesAndAttributeTable)
{
    Context ctx;
    auto nameOf = [&](std::initializer_list<std::pair<const char *, const char *>> avas) {
        ASN1_Name *name = nullptr;
        EXPECT_EQ(qelPKINameNew(&name, ctx), 0);
        for (const auto &[oid, value] : avas) {
            const Bytes o = hex(oid), v = hex(value);
            EXPECT_EQ(qelPKINameAddAttribute(name, o.data(), o.size(), v.data(), v.size(), ctx), 0);
        }
        return name;
    };
    struct Row {
        ASN1_Name *a, *b;
        int32_t equal;
    };
    const Row rows[] = {
        {nameOf({{"550403", "13054142202043"}}), nameOf({{"550403", "13056162206320"}}), 1},
        {nameOf({{"550403", "0c054142202043"}}), nameOf({{"550403", "0c056162206320"}}), 0},
        {nameOf({{"550403", "130140"}}), nameOf({{"550403", "130140"}}), 0},
        {nameOf({{"550403", "130161"}, {"55040a", "130162"}}), nameOf({{"55040a", "130162"}, {"550403", "130161"}}), 0},
        {nameOf({}), nameOf({}), 1},
        {nameOf({{"550403", "130161"}}), nameOf({}), 0},
        {nameOf({{"550403", "0c0161"}}), nameOf({{"550403", "130161"}}), 0},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(qelPKINameCompare(row.a, row.b, ctx), row.equal);
        ASN1_Name *copy = nullptr;
        ASSERT_EQ(qelPKINameCopy(&copy, row.a, ctx), 0);
        EXPECT_EQ(render(copy, ctx), render(row.a, ctx));
        EXPECT_EQ(qelPKINameFree(row.a, ctx), 0);
        EXPECT_EQ(qelPKINameCompare(copy, row.b, ctx), row.equal); // independent of its source
        EXPECT_EQ(qelPKINameFree(copy, ctx), 0);
        EXPECT_EQ(qelPKINameFree(row.b, ctx), 0);
    }
    // One relative name with two pairs matches the same two in any order.
    NameHolder x(ctx), y(ctx);
    ASSERT_EQ(qelPKINameNew(&x.name, ctx), 0);
    ASSERT_EQ(qelPKINameNew(&y.name, ctx), 0);
    ASSERT_EQ(qelPKINameFromText(x.name, "CN=a+OU=b", ctx), 0);
    ASSERT_EQ(qelPKINameFromText(y.name, "OU=B+CN=A", ctx), 0);
    EXPECT_EQ(qelPKINameCompare(x.name, y.name, ctx), 1);
    EXPECT_EQ(qelPKINameCompare(x.name, nullptr, ctx), -1);

    // An added attribute shadows a built-in one and takes its own type.
    const std::uint8_t cn[] = {0x55, 0x04, 0x03};
    EXPECT_EQ(qelPKIDNAttributeAdd(cn, 3, "commonName", 7, ctx), -1);
    ASSERT_EQ(qelPKIDNAttributeAdd(cn, 3, "commonName", 22, ctx), 0);
    NameHolder z(ctx);
    ASSERT_EQ(qelPKINameNew(&z.name, ctx), 0);
    ASSERT_EQ(qelPKINameFromText(z.name, "CN=p,commonName=q", ctx), 0);
    EXPECT_EQ(render(z.name, ctx), "commonName=p,commonName=q");
    const auto *zs = static_cast<const ASN1_RDNSequence *>(z.name->alternative);
    EXPECT_EQ(zs->elements[0]->elements[0]->value.data[0], 22); // q, as IA5String
    EXPECT_EQ(zs->elements[1]->elements[0]->value.data[0], 19); // p, as PrintableString
    ASSERT_EQ(qelPKIDNAttributeSetType(cn, 3, 20, ctx), 0);
    EXPECT_EQ(qelPKIDNAttributeSetType(cn, 3, 99, ctx), -1);
    const std::uint8_t none[] = {0x2A, 0x03};
    EXPECT_EQ(qelPKIDNAttributeSetType(none, 2, 19, ctx), -1);

    char buf[] = "a \t b  \\  ";
    qelPKITrimTrailingSpace(buf);
    EXPECT_STREQ(buf, "a \t b  \\ ");
    qelPKICollapseWhitespace(buf);
    EXPECT_STREQ(buf, "a b \\ ");
    EXPECT_EQ(qelPKIIsValidUTF8(reinterpret_cast<const std::uint8_t *>("\xC3\xA9"), 2), 1);
    for (const char *bad : {"\xC0\xA9", "\xE0\x80\x80", "\xF0\x9F\x98\x80", "\xED\xA0\x80", "\xA9", ""})
        EXPECT_EQ(qelPKIIsValidUTF8(reinterpret_cast<const std::uint8_t *>(bad), std::strlen(bad)), 0);
}

TEST(PKIName, CertificateNamesAndAccessors)
{
    Context ctx;
    const Bytes der = asn1test::fixture("cert_rsa_v3_ca.der");
    QELPKICertificate *cert = nullptr;
    ASSERT_EQ(qelPKICertificateDecode(&cert, der.data(), der.size(), ctx), 0);
    char *subject = nullptr;
    ASSERT_EQ(qelPKIGetNameText(&subject, cert, 0, ctx), 0);
#if QEL_HAVE_OPENSSL
    {
        const unsigned char *p = der.data();
        X509 *x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        ASSERT_NE(x, nullptr);
        // The text holds the UTF8String values as #hex, the others as
        // OpenSSL writes them; parsed back it is the same name, octet for
        // octet.
        unsigned char *nameDer = nullptr;
        const int n = i2d_X509_NAME(X509_get_subject_name(x), &nameDer);
        EXPECT_NE(std::string(subject).find(",C=US"), std::string::npos);
        EXPECT_NE(opensslText(Bytes(nameDer, nameDer + n), XN_FLAG_RFC2253).find(",C=US"), std::string::npos);
        NameHolder back(ctx);
        ASSERT_EQ(qelPKINameNew(&back.name, ctx), 0);
        ASSERT_EQ(qelPKINameFromText(back.name, subject, ctx), 0);
        Bytes packed(asn1Sizeof_Name(ctx.codec(), back.name, 1));
        std::int32_t err = 0;
        asn1Pack_Name(ctx.codec(), packed.data(), packed.size(), back.name, &err);
        EXPECT_EQ(toHex(packed), toHex(nameDer, static_cast<std::uint64_t>(n)));
        OPENSSL_free(nameDer);
        // Accessors against OpenSSL's view of the same certificate.
        std::uint8_t *data = nullptr;
        std::uint64_t length = 0;
        std::int32_t unused = -1;
        ASSERT_EQ(qelPKICertificateGetSerialNumber(&data, &length, cert, ctx), 0);
        const ASN1_INTEGER *serial = X509_get0_serialNumber(x);
        EXPECT_EQ(toHex(data, length).substr(length > static_cast<std::uint64_t>(serial->length) ? 2 : 0),
                  toHex(serial->data, static_cast<std::uint64_t>(serial->length)));
        ctx.get()->allocator->free(ctx.get()->allocator, data);
        ASSERT_EQ(qelPKICertificateGetSignature(&data, &length, &unused, cert, ctx), 0);
        const ASN1_BIT_STRING *sig = nullptr;
        X509_get0_signature(&sig, nullptr, x);
        EXPECT_EQ(toHex(data, length), toHex(sig->data, static_cast<std::uint64_t>(sig->length)));
        EXPECT_EQ(unused, 0);
        ctx.get()->allocator->free(ctx.get()->allocator, data);
        ASSERT_EQ(qelPKICertificateGetPublicKey(&data, &length, &unused, cert, ctx), 0);
        const ASN1_BIT_STRING *key = X509_get0_pubkey_bitstr(x);
        EXPECT_EQ(toHex(data, length), toHex(key->data, static_cast<std::uint64_t>(key->length)));
        ctx.get()->allocator->free(ctx.get()->allocator, data);
        ASSERT_EQ(qelPKICertificateGetKeyParameters(&data, &length, cert, ctx), 0);
        EXPECT_EQ(toHex(data, length), "0500"); // RSA: parameters NULL
        ctx.get()->allocator->free(ctx.get()->allocator, data);
        ASSERT_EQ(qelPKICertificateGetSignatureAlgorithm(&data, &length, cert, ctx), 0);
        EXPECT_EQ(toHex(data, length).substr(0, 14), "2a864886f70d01");
        ctx.get()->allocator->free(ctx.get()->allocator, data);
        int32_t version = -1;
        ASSERT_EQ(qelPKICertificateGetVersion(&version, cert, ctx), 0);
        EXPECT_EQ(version, X509_get_version(x));
        X509_free(x);
    }
#endif
    ASN1_Name *issuer = nullptr;
    ASSERT_EQ(qelPKIGetNameCopy(&issuer, cert, 1, ctx), 0);
    EXPECT_EQ(qelPKINameCompare(issuer, &cert->certificate->tbsCertificate.issuer, ctx), 1);
    EXPECT_EQ(qelPKINameFree(issuer, ctx), 0);
    EXPECT_EQ(qelPKIGetNameCopy(&issuer, cert, 7, ctx) == -1 && issuer == nullptr, true);
    char *bad = reinterpret_cast<char *>(1);
    EXPECT_EQ(qelPKIGetNameText(&bad, cert, 2, ctx), -1);
    EXPECT_EQ(bad, nullptr);
    ctx.get()->allocator->free(ctx.get()->allocator, subject);
    qelPKICertificateFree(cert, ctx);

    const Bytes v1der = asn1test::fixture("cert_rsa_v1.der");
    ASSERT_EQ(qelPKICertificateDecode(&cert, v1der.data(), v1der.size(), ctx), 0);
    int32_t version = -1;
    ASSERT_EQ(qelPKICertificateGetVersion(&version, cert, ctx), 0);
    EXPECT_EQ(version, 0);
    qelPKICertificateFree(cert, ctx);

    // The issuer of a revocation list and the subject of a request.
    const Bytes crlDer = asn1test::fixture("crl_empty.der"), csrDer = asn1test::fixture("csr_attributes.der");
    ASN1_CertificateList *crl = nullptr;
    ASN1_CertificationRequest *csr = nullptr;
    std::int32_t err = 0;
    ASSERT_EQ(asn1Unpack_CertificateList(ctx.codec(), &crl, crlDer.data(), crlDer.size(), &err), crlDer.size());
    ASSERT_EQ(asn1Unpack_CertificationRequest(ctx.codec(), &csr, csrDer.data(), csrDer.size(), &err), csrDer.size());
    ASN1_Name *copy = nullptr;
    ASSERT_EQ(qelPKIGetNameCopy(&copy, crl, 2, ctx), 0);
    EXPECT_EQ(qelPKINameCompare(copy, &crl->tbsCertList.issuer, ctx), 1);
    EXPECT_EQ(qelPKINameFree(copy, ctx), 0);
    ASSERT_EQ(qelPKIGetNameCopy(&copy, csr, 3, ctx), 0);
    EXPECT_EQ(qelPKINameCompare(copy, &csr->certificationRequestInfo.subject, ctx), 1);
    EXPECT_EQ(qelPKINameFree(copy, ctx), 0);
    char *csrText = nullptr;
    ASSERT_EQ(qelPKIGetNameText(&csrText, csr, 3, ctx), 0);
    EXPECT_GT(std::strlen(csrText), 0u);
    ctx.get()->allocator->free(ctx.get()->allocator, csrText);
    asn1Free_CertificateList(ctx.codec(), crl);
    asn1Free_CertificationRequest(ctx.codec(), csr);

    ASN1_OctetString a{1, const_cast<std::uint8_t *>(reinterpret_cast<const std::uint8_t *>("\x05"))};
    ASN1_OctetString b{2, const_cast<std::uint8_t *>(reinterpret_cast<const std::uint8_t *>("\x00\x05"))};
    EXPECT_EQ(qelPKISerialNumberEqual(&a, &b), 0);
    EXPECT_EQ(qelPKIByteStringEqual(&a, &a), 1);
    EXPECT_EQ(qelPKIByteStringEqual(&a, nullptr), -1);
    ASN1_OctetString t1{13, const_cast<std::uint8_t *>(reinterpret_cast<const std::uint8_t *>("491231235959Z"))};
    ASN1_OctetString t2{15, const_cast<std::uint8_t *>(reinterpret_cast<const std::uint8_t *>("20500101000000Z"))};
    ASN1_Time x{23, &t1}, y{24, &t2};
    EXPECT_EQ(qelPKITimeCompare(&x, &y, ctx), -1);
    EXPECT_EQ(qelPKITimeCompare(&y, &x, ctx), 1);
    EXPECT_EQ(qelPKITimeCompare(&x, &x, ctx), 0);
}
