// OID, time and UTF-16 helpers as tables with their edges: arcs at 2^31,
// 2^32, 2^63 and 2^64-1, non-digit and overflowing arcs; UTCTime around its
// 49/50 pivot, GeneralizedTime from 2050, leap days, out-of-range fields;
// surrogates, overlong and four-octet UTF-8. OIDs are cross-checked against
// OpenSSL's encoder and times against Python's calendar arithmetic.
#include "pki_test_util.h"

#include <cstdlib>

#include "qelPKIConvertInternal.h"

using namespace pkitest;

namespace {

std::string textOf(ASN1_OctetString *r) { return std::string(reinterpret_cast<char *>(r->data), r->length); }

ASN1_OctetString octets(const std::string &s)
{
    return ASN1_OctetString{s.size(), reinterpret_cast<std::uint8_t *>(const_cast<char *>(s.data()))};
}

} // namespace

TEST(PKIOid, TextAndOctetsBothWaysAgainstOpenSSL)
{
    Context ctx;
    struct Row {
        const char *text;
        bool valid;
    };
    const Row rows[] = {
        {"1.2.840.113549.1.9.5", true},
        {"2.100.3", true},
        {"1.2.127.128.16383.16384.2097152", true},
        {"1.2.2147483647.2147483648", true},
        {"1.2.4294967295.4294967296", true},
        {"1.2.9223372036854775807.9223372036854775808", true},
        {"1.2.18446744073709551615", true},
        {"2.18446744073709551535", true},
        {"2.18446744073709551536", false}, // first sub-identifier over 2^64-1
        {"1.2.18446744073709551616", false},
        {"1.2.3x", false},
        {"1.-2.3", false},
        {"1..5", false},
        {"1.2.", false},
        {".1.2", false},
        {"1.40", false},
        {"3.1", false},
        {"", false},
        {"1.2.+3", false},
        {"1.2. 3", false},
    };
    const bool peers = havePeers();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        uint8_t *der = nullptr;
        uint64_t length = 0;
        const int32_t status = qelPKIOIDTextToDER(&der, &length, row.text, ctx);
        ASN1_ObjectIdentifier *oid = qelPKIOIDFromText(row.text, ctx.codec());
        if (!row.valid) {
            EXPECT_EQ(status, -1);
            EXPECT_EQ(der, nullptr);
            EXPECT_EQ(oid, nullptr);
            continue;
        }
        ASSERT_EQ(status, 0);
        ASSERT_NE(oid, nullptr);
        EXPECT_EQ(toHex(der, length), toHex(oid->data, oid->length));
        if (peers) { // OpenSSL is the reference encoder: 06, one length octet, content
            const std::string peer = run(std::string("openssl asn1parse -genstr OBJECT:") + row.text +
                                         " -noout -out /dev/stdout 2>/dev/null | od -An -v -tx1 | tr -d ' \\n'");
            ASSERT_GT(peer.size(), 4u);
            EXPECT_EQ(peer.substr(4), toHex(der, length));
        }
        char *back = qelPKIOIDToText(oid, ctx.codec());
        ASSERT_NE(back, nullptr);
        EXPECT_STREQ(back, row.text);
        ctx.codec()->allocator->free(ctx.codec()->allocator, back);
        asn1Free_OctetString(ctx.codec(), oid);
        ctx.get()->allocator->free(ctx.get()->allocator, der);
    }
}

TEST(PKIOid, ArcSizesAndMalformedOctets)
{
    Context ctx;
    struct Row {
        const char *content;
        const char *text; // null: refused
    };
    const Row rows[] = {
        {"2a7f", "1.2.127"},
        {"2a8100", "1.2.128"},
        {"2aff7f", "1.2.16383"},
        {"2a818000", "1.2.16384"},
        {"2a81808000", "1.2.2097152"},
        {"2a8880808000", "1.2.2147483648"},
        {"2a9080808000", "1.2.4294967296"},
        {"2a81808080808080808000", "1.2.9223372036854775808"},
        {"2a81ffffffffffffffff7f", "1.2.18446744073709551615"},
        {"2a82808080808080808000", nullptr}, // 2^64
        {"27", "0.39"},
        {"28", "1.0"},
        {"4f", "1.39"},
        {"50", "2.0"},
        {"", nullptr},
        {"2a80", nullptr},   // ends inside a sub-identifier
        {"2a8001", nullptr}, // leading 0x80: not the shortest form
        {"8001", nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.content);
        Bytes b = hex(row.content);
        ASN1_ObjectIdentifier oid{b.size(), b.data()};
        char *text = qelPKIOIDToText(&oid, ctx.codec());
        if (row.text == nullptr) {
            EXPECT_EQ(text, nullptr);
            continue;
        }
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, row.text);
        uint8_t *der = nullptr;
        uint64_t length = 0;
        ASSERT_EQ(qelPKIOIDTextToDER(&der, &length, text, ctx), 0);
        EXPECT_EQ(toHex(der, length), row.content);
        ctx.get()->allocator->free(ctx.get()->allocator, der);
        ctx.codec()->allocator->free(ctx.codec()->allocator, text);
    }
    // A text arc that needs more than 32 bits goes through unchanged.
    ASN1_ObjectIdentifier *oid = qelPKIOIDFromText("1.2.4294967296", ctx.codec());
    ASSERT_NE(oid, nullptr);
    EXPECT_EQ(toHex(oid->data, oid->length), "2a9080808000");
    asn1Free_OctetString(ctx.codec(), oid);
    // A lone arc has no content.
    oid = qelPKIOIDFromText("1", ctx.codec());
    ASSERT_NE(oid, nullptr);
    EXPECT_EQ(oid->length, 0u);
    asn1Free_OctetString(ctx.codec(), oid);
}

TEST(PKITime, ParsedTextsAgainstCalendarArithmetic)
{
    struct Row {
        bool utc;
        const char *text;
        const char *iso; // null: does not parse (0)
    };
    const Row rows[] = {
        {true, "491231235959Z", "2049-12-31T23:59:59"},
        {true, "500101000000Z", "1950-01-01T00:00:00"},
        {true, "700101000000Z", "1970-01-01T00:00:00"},
        {true, "0001010000Z", "2000-01-01T00:00:00"},
        {true, "000229120000Z", "2000-02-29T12:00:00"},
        {true, "010229120000Z", nullptr},
        {true, "991301000000Z", nullptr},
        {true, "990001000000Z", nullptr},
        {true, "990100000000Z", nullptr},
        {true, "990431000000Z", nullptr},
        {true, "990101240000Z", nullptr},
        {true, "990101006000Z", nullptr},
        {true, "990101000060Z", nullptr},
        {true, "99010100000Z", nullptr},
        {true, "9901010000", nullptr},
        {true, "99a101000000Z", nullptr},
        {true, "990101000000", nullptr},
        {true, "990101000000Zjunk", nullptr},
        {true, "990101000000+0100", "1998-12-31T23:00:00"},
        {true, "990101000000-0130", "1999-01-01T01:30:00"},
        {true, "990101000000+2400", nullptr},
        {false, "20500101000000Z", "2050-01-01T00:00:00"},
        {false, "20991231235959Z", "2099-12-31T23:59:59"},
        {false, "21000229000000Z", nullptr},
        {false, "20000229120000.123Z", "2000-02-29T12:00:00"},
        {false, "20240229000000Z", "2024-02-29T00:00:00"},
        {false, "200001010000+0100", "1999-12-31T23:00:00"},
        {false, "200001010000Z", "2000-01-01T00:00:00"},
        {false, "19691231235959Z", "1969-12-31T23:59:59"},
        {false, "99991231235959Z", "9999-12-31T23:59:59"},
        {false, "2000010100", nullptr},
        {false, "2O000101000000Z", nullptr},
        {false, "20000101000000.Z", nullptr},
        {false, "20001301000000Z", nullptr},
        {false, "20000132000000Z", nullptr},
        {false, "2000:101000000Z", nullptr},
    };
    std::string expected;
    if (havePeers()) {
        std::string script = "import calendar,datetime\nfor s in [";
        for (const Row &r : rows)
            if (r.iso != nullptr)
                script += std::string("'") + r.iso + "',";
        script += "]: print(calendar.timegm(datetime.datetime.fromisoformat(s).timetuple()))\n";
        expected = run("python3 -c \"" + script + "\"");
    }
    std::size_t pos = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        const std::string text(row.text);
        ASN1_OctetString r = octets(text);
        const int64_t seconds = row.utc ? qelPKIUTCTimeToSeconds(&r) : qelPKIGeneralizedTimeToSeconds(&r);
        if (row.iso == nullptr) {
            EXPECT_EQ(seconds, 0);
            continue;
        }
        if (!expected.empty()) {
            const std::size_t nl = expected.find('\n', pos);
            EXPECT_EQ(seconds, std::stoll(expected.substr(pos, nl - pos)));
            pos = nl + 1;
        }
        ASN1_Time t{static_cast<std::uint8_t>(row.utc ? 23 : 24), &r};
        EXPECT_EQ(qelPKITimeToSeconds(&t), seconds);
    }
    ASN1_Time bad{0x13, nullptr};
    EXPECT_EQ(qelPKITimeToSeconds(&bad), -1);
    EXPECT_EQ(qelPKITimeToSeconds(nullptr), -1);
}

TEST(PKITime, WrittenTextsAndFields)
{
    Context ctx;
    struct Row {
        int64_t seconds;
        const char *utc; // null: outside 1950-2049
        const char *general;
    };
    const Row rows[] = {
        {0, "700101000000Z", "19700101000000Z"},
        {951825600, "000229120000Z", "20000229120000Z"},
        {2524607999, "491231235959Z", "20491231235959Z"},
        {2524608000, nullptr, "20500101000000Z"},
        {-631152000, "500101000000Z", "19500101000000Z"},
        {-631152001, nullptr, "19491231235959Z"},
        {253402300799, nullptr, "99991231235959Z"},
        {253402300800, nullptr, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.seconds);
        ASN1_OctetString *r = reinterpret_cast<ASN1_OctetString *>(1);
        EXPECT_EQ(qelPKIUTCTimeFromSeconds(&r, row.seconds, ctx), row.utc ? 0 : -1);
        if (row.utc != nullptr) {
            EXPECT_EQ(textOf(r), row.utc);
            EXPECT_EQ(qelPKIUTCTimeToSeconds(r), row.seconds);
        } else {
            EXPECT_EQ(r, nullptr);
        }
        asn1Free_OctetString(ctx.codec(), r);
        r = nullptr;
        EXPECT_EQ(qelPKIGeneralizedTimeFromSeconds(&r, row.seconds, ctx), row.general ? 0 : -1);
        if (row.general != nullptr) {
            EXPECT_EQ(textOf(r), row.general);
            EXPECT_EQ(qelPKIGeneralizedTimeToSeconds(r), row.seconds);
        }
        asn1Free_OctetString(ctx.codec(), r);
    }
    const QELPKITimeFields leap{0, 0, 12, 29, 1, 100};
    EXPECT_EQ(qelPKITimeFromFields(&leap), 951825600);
    for (QELPKITimeFields f : {QELPKITimeFields{0, 0, 0, 29, 1, 101}, QELPKITimeFields{0, 0, 0, 1, 12, 100},
                               QELPKITimeFields{0, 0, 0, 1, -1, 100}, QELPKITimeFields{0, 0, 0, 0, 0, 100},
                               QELPKITimeFields{0, 0, 24, 1, 0, 100}, QELPKITimeFields{0, 60, 0, 1, 0, 100},
                               QELPKITimeFields{60, 0, 0, 1, 0, 100}, QELPKITimeFields{0, 0, 0, 32, 0, 100}})
        EXPECT_EQ(qelPKITimeFromFields(&f), -1) << f.month << " " << f.day;
}

TEST(PKIText, UTF8AndUTF16)
{
    struct Row {
        const char *utf8;
        const char *units; // hex of host-order units as numbers, space separated; null: invalid
        bool ucs2;         // also accepted by the UCS-2 reader
    };
    const Row rows[] = {
        {"616263", "0061 0062 0063", true},
        {"c3a9", "00e9", true},
        {"e282ac", "20ac", true},
        {"f09f9880", "d83d de00", false},
        {"f48fbfbf", "dbff dfff", false},
        {"c080", nullptr, false},       // overlong NUL
        {"e08080", nullptr, false},     // overlong
        {"f0808080", nullptr, false},   // overlong
        {"eda080", nullptr, false},     // a surrogate written as UTF-8
        {"f4908080", nullptr, false},   // above 0x10FFFF
        {"f09f98", nullptr, false},     // truncated
        {"f09f9841", nullptr, false},   // fourth octet no continuation
        {"80", nullptr, false},
        {"ff", nullptr, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.utf8);
        const Bytes in = hex(row.utf8);
        std::uint16_t out[8] = {};
        std::uint64_t count = 99;
        const std::uint64_t used = qelUTF8ToUTF16(in.data(), in.size(), out, 8, &count);
        if (row.units == nullptr) {
            EXPECT_EQ(count, 0u);
            EXPECT_EQ(out[0], 0);
        } else {
            EXPECT_EQ(used, in.size());
            std::string got;
            for (std::uint64_t i = 0; i < count; ++i) {
                char b[8];
                std::snprintf(b, sizeof b, "%s%04x", i ? " " : "", out[i]);
                got += b;
            }
            EXPECT_EQ(got, row.units);
            EXPECT_EQ(out[count], 0);
            std::uint8_t back[16] = {};
            std::uint64_t octetCount = 0;
            EXPECT_EQ(qelUTF16ToUTF8(out, count, back, sizeof back, &octetCount), count);
            EXPECT_EQ(toHex(back, octetCount), row.utf8);
            std::uint64_t sized = 0;
            qelUTF16ToUTF8(out, count, nullptr, 0, &sized);
            EXPECT_EQ(sized, in.size());
        }
        std::uint64_t ucs2 = 99;
        qelUTF8ToUCS2(in.data(), in.size(), nullptr, 0, &ucs2);
        EXPECT_EQ(ucs2 != 0, row.ucs2);
        EXPECT_EQ(qelUTF8IsInvalid(in.data(), in.size()), row.ucs2 ? 0 : 1);
    }
    // A lone surrogate ends the UTF-8 text; the UCS-2 writer keeps it.
    const std::uint16_t lone[] = {0x61, 0xD800, 0x62, 0};
    std::uint8_t out[16] = {1, 1, 1, 1, 1, 1};
    std::uint64_t n = 0;
    EXPECT_EQ(qelUTF16ToUTF8(lone, 3, out, sizeof out, &n), 1u);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(qelUCS2ToUTF8(lone, 3, out, sizeof out, &n), 3u);
    EXPECT_EQ(toHex(out, n), "61eda08062");
    // Characters that do not fit are left out, the walk goes on.
    const std::uint16_t mixed[] = {0x20AC, 0x61, 0};
    EXPECT_EQ(qelUTF16ToUTF8(mixed, 2, out, 2, &n), 2u);
    EXPECT_EQ(toHex(out, n), "61");
    EXPECT_EQ(qelHasNonASCII(reinterpret_cast<const std::uint8_t *>("abc"), 3), 0);
    EXPECT_EQ(qelHasNonASCII(reinterpret_cast<const std::uint8_t *>("ab\xe9"), 3), 1);
    EXPECT_EQ(qelHasNonASCII(reinterpret_cast<const std::uint8_t *>("ab\0\xe9"), 4), 0);
    EXPECT_EQ(qelUTF8IsInvalid(reinterpret_cast<const std::uint8_t *>(""), 0), 1);
}
