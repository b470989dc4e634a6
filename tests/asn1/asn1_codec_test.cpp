// The codec's runtime and interpreter on hand-made encodings: length and
// identifier octets, primitive types, BER forms, the SEQUENCE, list and
// CHOICE rules, and hostile input refused with its status.
#include "asn1_test_util.h"

#include "asn1Key.h"
#include "asn1PKCS7.h"
#include "asn1PKCS8.h"
#include "asn1PKIXInternal.h"
#include "asn1RuntimeInternal.h"

using namespace asn1test;

namespace {

ASN1Context gCtx = defaultContext();

struct Decoded {
    std::uint64_t consumed = 0;
    std::int32_t err = 0;
    Bytes reencoded; // empty unless the decode succeeded
};

// Decodes with a public Unpack, re-encodes what decoded, releases it.
template <typename R>
Decoded decode(std::uint64_t (*unpack)(ASN1Context *, R **, const std::uint8_t *, std::uint64_t, std::int32_t *),
               std::uint64_t (*packFn)(ASN1Context *, std::uint8_t *, std::uint64_t, R *, std::int32_t *),
               std::uint64_t (*sizeFn)(ASN1Context *, R *, std::int32_t), void (*release)(ASN1Context *, R *),
               const Bytes &in)
{
    Decoded d;
    R *record = nullptr;
    d.consumed = unpack(&gCtx, &record, in.data(), in.size(), &d.err);
    if (record != nullptr) {
        d.reencoded.resize(sizeFn(&gCtx, record, 1));
        std::int32_t err = 0;
        EXPECT_EQ(packFn(&gCtx, d.reencoded.data(), d.reencoded.size(), record, &err), d.reencoded.size());
        EXPECT_EQ(err, 0);
        release(&gCtx, record);
    }
    return d;
}

#define DECODE(P, T, in) decode(P##Unpack_##T, P##Pack_##T, P##Sizeof_##T, P##Free_##T, in)

Decoded decodeOctets(std::uint64_t (*unpack)(ASN1Context *, ASN1_OctetString **, const std::uint8_t *, std::uint64_t,
                                             std::int32_t *),
                     std::uint64_t (*packFn)(ASN1Context *, std::uint8_t *, std::uint64_t, ASN1_OctetString *,
                                             std::int32_t *),
                     const Bytes &in)
{
    return decode(unpack, packFn, asn1Sizeof_OctetString, asn1Free_OctetString, in);
}

} // namespace

TEST(Asn1Runtime, LengthOctets)
{
    struct Case {
        std::uint64_t n;
        const char *field;
        std::uint64_t lol;
    };
    for (const Case &c : {Case{127, "7F", 1}, Case{128, "8180", 2}, Case{255, "81FF", 2}, Case{256, "820100", 3},
                          Case{65535, "82FFFF", 3}, Case{65536, "83010000", 4}, Case{16777216, "8401000000", 5}}) {
        std::uint8_t out[8] = {};
        EXPECT_EQ(asn1LengthOfLength(c.n), c.lol);
        ASSERT_EQ(asn1EncodeLength(out, c.n), c.lol);
        EXPECT_EQ(Bytes(out, out + c.lol), hex(c.field)) << c.n;
        std::uint64_t back = 0;
        EXPECT_EQ(asn1DecodeLength(out, c.lol, &back), c.lol);
        EXPECT_EQ(back, c.n);
    }
    std::uint64_t n = 0;
    const Bytes nonMinimal = hex("820005"), indefinite = hex("80"), nine = hex("89010000000000000000");
    EXPECT_EQ(asn1DecodeLength(nonMinimal.data(), nonMinimal.size(), &n), 3u);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(asn1DecodeLength(indefinite.data(), 1, &n), 1u);
    EXPECT_EQ(n, UINT64_MAX);
    EXPECT_EQ(asn1DecodeLength(nine.data(), nine.size(), &n), 0u); // more than eight length octets
    EXPECT_EQ(asn1DecodeLength(nonMinimal.data(), 2, &n), 0u);     // length octets past the input
    EXPECT_EQ(asn1TLVSize(0, 0), 0u);
    EXPECT_EQ(asn1TLVSize(0, 1), 2u);
}

TEST(Asn1Runtime, IndefiniteLengthMeasureAndMatchTag)
{
    struct Case {
        const char *in;
        std::uint64_t size;
        std::int32_t err;
    };
    for (const Case &c : {Case{"3080020105 0000", 7, 0}, Case{"3080 3080 0000 0000", 8, 0},
                          Case{"3080020105", 0, ASN1Error_Truncated}, Case{"3080", 0, ASN1Error_Truncated},
                          Case{"308000", 0, ASN1Error_Truncated}, Case{"3F020100", 0, ASN1Error_BadTag}}) {
        const Bytes in = hex(c.in);
        std::int32_t err = 0;
        EXPECT_EQ(asn1IndefiniteLength(in.data(), in.size(), &err), c.size) << c.in;
        EXPECT_EQ(err, c.err) << c.in;
    }
    const Bytes wrapped = hex("A003020105");
    std::uint64_t len = 7;
    EXPECT_EQ(asn1MatchTag(wrapped.data(), wrapped.size(), 0xA0, &len), 2u);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(asn1MatchTag(wrapped.data(), wrapped.size(), 0xA1, &len), 0u);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(asn1MatchTag(nullptr, 0, 0xA0, &len), 0u);
}

TEST(Asn1Runtime, StringsInPrimitiveAndConstructedForms)
{
    struct Case {
        const char *in;
        std::uint64_t consumed;
        std::int32_t err;
        const char *value;
    };
    const Case octetCases[] = {
        {"0403616263", 5, 0, "616263"},
        {"2480 0401 61 0402 6263 0000", 11, 0, "616263"},
        {"2407 0401 61 0402 6263", 9, 0, "616263"},
        {"2406 0401 61 0501 62", 0, ASN1Error_BadTag, ""},      // a segment of another type
        {"2480 0480 61 0000 0000", 0, ASN1Error_BadTag, ""},    // a segment of indefinite length
        {"0480 61 0000", 0, ASN1Error_BadTag, ""},              // primitive with indefinite length
        {"040561 62", 0, ASN1Error_Truncated, ""},
        {"04", 0, ASN1Error_Truncated, ""},
        {"0482 01", 0, ASN1Error_Truncated, ""},
        {"0400", 2, 0, ""},
    };
    for (const Case &c : octetCases) {
        const Decoded d = decodeOctets(asn1Unpack_OctetString, asn1Pack_OctetString, hex(c.in));
        EXPECT_EQ(d.consumed, c.consumed) << c.in;
        EXPECT_EQ(d.err, c.err) << c.in;
        if (c.err == 0) {
            Bytes expected = {0x04, static_cast<std::uint8_t>(hex(c.value).size())};
            const Bytes value = hex(c.value);
            expected.insert(expected.end(), value.begin(), value.end());
            EXPECT_EQ(d.reencoded, expected) << c.in;
        }
    }
    // Constructed strings: segments carry the OCTET STRING identifier or the
    // string's own, in both length forms, and are written back primitive.
    const Case utf8[] = {
        {"2C80 0401 61 0C01 62 0000", 10, 0, "0C026162"},
        {"2C06 0C01 61 0401 62", 8, 0, "0C026162"},
    };
    for (const Case &c : utf8) {
        const Decoded d = decodeOctets(asn1Unpack_UTF8String, asn1Pack_UTF8String, hex(c.in));
        EXPECT_EQ(d.consumed, c.consumed) << c.in;
        EXPECT_EQ(d.reencoded, hex(c.value)) << c.in;
    }
    const Decoded visible = decodeOctets(asn1Unpack_VisibleString, asn1Pack_VisibleString, hex("3A80 1A01 61 0000"));
    EXPECT_EQ(visible.reencoded, hex("1A0161"));

    // Character sets.
    struct CharCase {
        const char *in;
        std::int32_t err;
    };
    for (const CharCase &c : {CharCase{"13024142", 0}, CharCase{"130140", ASN1Error_BadPrintableString},
                              CharCase{"130122", 0}, CharCase{"130100", ASN1Error_BadPrintableString}}) {
        EXPECT_EQ(decodeOctets(asn1Unpack_PrintableString, asn1Pack_PrintableString, hex(c.in)).err, c.err) << c.in;
    }
    for (const CharCase &c : {CharCase{"1205313220333 4", 0}, CharCase{"12053132 2D3334", ASN1Error_BadNumericString}}) {
        EXPECT_EQ(decodeOctets(asn1Unpack_NumericString, asn1Pack_NumericString, hex(c.in)).err, c.err) << c.in;
    }
}

TEST(Asn1Runtime, BooleanNullIntegerAndAny)
{
    struct Case {
        const char *in;
        std::uint64_t consumed;
        std::int32_t err;
        const char *out;
    };
    for (const Case &c : {Case{"010105", 3, 0, "0101FF"}, Case{"010100", 3, 0, "010100"},
                          Case{"01020000", 0, ASN1Error_BadBoolean, ""}, Case{"2101FF", 0, 0, ""}}) {
        // The runtime's own Unpack reports nothing for an absent element.
        const Decoded d = DECODE(asn1, Boolean, hex(c.in));
        EXPECT_EQ(d.consumed, c.consumed) << c.in;
        EXPECT_EQ(d.err, c.err) << c.in;
        EXPECT_EQ(d.reencoded, hex(c.out)) << c.in;
    }
    EXPECT_EQ(DECODE(asn1, Null, hex("0500")).consumed, 2u);
    EXPECT_EQ(DECODE(asn1, Null, hex("050100")).err, ASN1Error_BadNull);

    for (const Case &c : {Case{"020300 0080", 5, 0, "02020080"}, Case{"0203FFFF80", 5, 0, "020180"},
                          Case{"0202FF7F", 4, 0, "0202FF7F"}}) {
        const Decoded d = decode(asn1Unpack_Integer, asn1Pack_Integer, asn1Sizeof_Integer, asn1Free_OctetString, hex(c.in));
        EXPECT_EQ(d.reencoded, hex(c.out)) << c.in;
    }
    // The allocating INTEGER decoder wants the exact identifier; the
    // contents decoder ignores the constructed bit.
    ASN1_Integer *i = nullptr;
    std::int32_t err = 0;
    const Bytes constructed = hex("220105");
    EXPECT_EQ(asn1UnpackAlloc_Integer(&gCtx, &i, constructed.data(), constructed.size(), 2, &err), 0u);
    EXPECT_EQ(err, 0);

    ASN1_Integer value{};
    for (auto [v, out] : {std::pair{-1, "0201FF"}, std::pair{0, "020100"}, std::pair{128, "02020080"},
                          std::pair{4660, "02021234"}}) {
        ASSERT_EQ(asn1SetIntegerValue(&gCtx, &value, v), 0);
        Bytes buf(asn1Sizeof_Integer(&gCtx, &value, 1));
        err = 0;
        asn1Pack_Integer(&gCtx, buf.data(), buf.size(), &value, &err);
        EXPECT_EQ(buf, hex(out)) << v;
    }
    const std::uint8_t magnitude[] = {0x80, 0x01};
    ASSERT_EQ(asn1SetUnsignedInteger(&gCtx, &value, magnitude, 2), 0);
    EXPECT_EQ(Bytes(value.data, value.data + value.length), hex("008001"));
    err = 0;
    EXPECT_EQ(asn1GetIntegerValue(&gCtx, &value, &err), 0x8001u);
    EXPECT_EQ(err, 0);
    // A negative number is no count.
    ASSERT_EQ(asn1SetIntegerValue(&gCtx, &value, -1), 0);
    EXPECT_EQ(asn1GetIntegerValue(&gCtx, &value, &err), 0u);
    EXPECT_EQ(err, ASN1Error_General);
    asn1FreeContents_OctetString(&gCtx, &value);
    EXPECT_EQ(value.data, nullptr);
    EXPECT_EQ(value.length, 0u);

    // ANY keeps an indefinite element as read; another tag replaces the
    // first octet only.
    const Bytes indefinite = hex("3080020105 0000");
    ASN1_Any *any = nullptr;
    err = 0;
    ASSERT_EQ(asn1Unpack_Any(&gCtx, &any, indefinite.data(), indefinite.size(), &err), 7u);
    Bytes out(7);
    EXPECT_EQ(asn1PackContents_Any(&gCtx, out.data(), out.size(), any, 0xA0, &err), 7u);
    EXPECT_EQ(out, hex("A080020105 0000"));
    asn1Free_OctetString(&gCtx, any);
}

TEST(Asn1Runtime, BitStrings)
{
    struct Case {
        const char *in;
        std::int32_t err;
        const char *out;
    };
    for (const Case &c : {Case{"03020780", 0, "03020780"},
                          Case{"2380 0301 00 030204F0 0000", 0, "030204F0"},
                          Case{"2380 030204F0 030100 0000", ASN1Error_BadTag, ""}, // bits unused mid-string
                          Case{"03020800", ASN1Error_BadBitString, ""},            // more than 7 unused bits
                          Case{"030105", ASN1Error_BadBitString, ""},              // unused bits, no data
                          Case{"0300", ASN1Error_BadBitString, ""},                // no unused-bits octet
                          Case{"030100", 0, "030100"}}) {
        const Decoded d = DECODE(asn1, BitString, hex(c.in));
        EXPECT_EQ(d.err, c.err) << c.in;
        EXPECT_EQ(d.reencoded, hex(c.out)) << c.in;
    }
    // Unused bits go out as zeros; an empty BIT STRING is 03 01 00.
    const std::uint8_t ff = 0xFF;
    for (auto [data, n, unused, out] : {std::tuple{&ff, 1, 3, "030203F8"}, std::tuple{&ff, 0, 5, "030100"}}) {
        ASN1_BitString bits{};
        ASSERT_EQ(asn1SetBitString(&gCtx, &bits, data, n, unused), 0);
        Bytes buf(asn1Sizeof_BitString(&gCtx, &bits, 1));
        std::int32_t err = 0;
        asn1Pack_BitString(&gCtx, buf.data(), buf.size(), &bits, &err);
        EXPECT_EQ(buf, hex(out));
        asn1FreeContents_BitString(&gCtx, &bits);
    }
}

TEST(Asn1Engine, SequenceMembersPresenceAndWrappers)
{
    struct Case {
        const char *in;
        std::int32_t err;
    };
    // Certificate-level and smaller values: missing mandatory members fail,
    // optional ones may go, wrappers must match their contents.
    for (const Case &c : {
             Case{"3000", ASN1Error_Unparsed},                             // every member missing
             Case{"30050603 2A0304", 0},                                   // AlgorithmIdentifier, no parameters
             Case{"30070603 2A0304 0500", 0},                              // with NULL parameters
             Case{"30080603 2A0304 0500 00", ASN1Error_Unparsed},          // one octet too many
             Case{"30800603 2A0304 0000", 0},                              // indefinite, parameters absent
             Case{"30800603 2A0304 0001", ASN1Error_Truncated},            // 00 01 taken for parameters
             Case{"1005 0603 2A0304", ASN1Error_BadTag},                   // SEQUENCE in primitive form
             Case{"3006 0603 2A0304", ASN1Error_Truncated},
         }) {
        EXPECT_EQ(DECODE(asn1, AlgorithmIdentifier, hex(c.in)).err, c.err) << c.in;
    }
    for (const Case &c : {
             Case{"3000", 0},                                 // both members DEFAULT/OPTIONAL
             Case{"3003 0101 00", 0},                         // cA FALSE kept
             Case{"3006 0101FF 020103", 0},
             Case{"3006 0101FF 0201FF", ASN1Error_NegativeCount}, // negative path length
             Case{"3003 800103", ASN1Error_Unparsed},         // context tag instead of INTEGER
         }) {
        const Decoded d = DECODE(asn1, BasicConstraints, hex(c.in));
        EXPECT_EQ(d.err, c.err) << c.in;
        if (c.err == 0) {
            EXPECT_EQ(d.reencoded, hex(c.in)) << c.in;
        }
    }
    EXPECT_EQ(DECODE(asn1, RSAPublicKey, hex("3080 020105 020103 0001")).err, ASN1Error_BadTag);
    EXPECT_EQ(DECODE(asn1, RSAPublicKey, hex("3080 020105 020103 0000")).reencoded, hex("3006 020105 020103"));
    EXPECT_EQ(DECODE(asn1, RSAPublicKey, hex("3080 020105 0000")).err, ASN1Error_Unparsed);
    EXPECT_EQ(DECODE(asn1Key, BasicConstraints, hex("3003 0201FE")).err, ASN1Error_NegativeCount);
    EXPECT_EQ(DECODE(asn1, PolicyConstraints, hex("3003 8001FF")).err, ASN1Error_NegativeCount);

    // OtherName's [0] EXPLICIT value: the wrapper must hold exactly one element.
    for (const Case &c : {Case{"300A 0603 2A0304 A003 020105", 0}, Case{"300B 0603 2A0304 A004 020105 00", ASN1Error_LengthMismatch},
                          Case{"3007 0603 2A0304 A000", ASN1Error_Unparsed},
                          Case{"300C 0603 2A0304 A080 020105 0000", 0},
                          Case{"300C 0603 2A0304 A080 020105 0001", ASN1Error_BadTag}}) {
        EXPECT_EQ(DECODE(asn1, OtherName, hex(c.in)).err, c.err) << c.in;
    }
    // A request whose attributes are missing still decodes: they are the one
    // mandatory member allowed to be absent; written back with A0 00.
    const Decoded cri = DECODE(asn1, CertificationRequestInfo, hex("3011 020100 3000 300A 3005 06032A0304 030100"));
    EXPECT_EQ(cri.err, 0);
    EXPECT_EQ(cri.reencoded, hex("3013 020100 3000 300A 3005 06032A0304 030100 A000"));
}

TEST(Asn1Engine, ListsChoicesAndSetOrder)
{
    // SET OF in DER order, shorter encodings padded with zeros; equal
    // elements are allowed (X.690 does).
    struct Case {
        const char *in, *out;
    };
    for (const Case &c : {Case{"3107 130241420C0141", "3107 0C0141 13024142"},
                          Case{"3106 0401FF 040100", "3106 040100 0401FF"},
                          Case{"3107 04020000 040100", "3107 040100 04020000"},
                          Case{"3106 040100 040100", "3106 040100 040100"},
                          Case{"3100", "3100"}}) {
        const Decoded d = DECODE(asn1, AttributeValues, hex(c.in));
        EXPECT_EQ(d.err, 0) << c.in;
        EXPECT_EQ(d.reencoded, hex(c.out)) << c.in;
    }
    // Lists end at a foreign element: -10 (definite) or -19 (indefinite).
    EXPECT_EQ(DECODE(asn1, ExtKeyUsageSyntax, hex("3005 06012A 0400")).err, ASN1Error_Unparsed);
    EXPECT_EQ(DECODE(asn1, ExtKeyUsageSyntax, hex("3080 06012A 0400 0000")).err, ASN1Error_BadTag);
    EXPECT_EQ(DECODE(asn1, ExtKeyUsageSyntax, hex("3080 06012A 06012B 0000")).reencoded, hex("3006 06012A 06012B"));

    // CHOICE: constructed forms stored as read and written primitive; no
    // alternative means -50 in place and absence through Unpack.
    const Decoded time = DECODE(asn1, Validity, hex("300C 3706 1704 3939 3132 1702 3939"));
    EXPECT_EQ(time.reencoded, hex("300A 1704 39393132 17023939"));
    EXPECT_EQ(DECODE(asn1, Validity, hex("3004 1902 3939")).err, ASN1Error_NoChoice);
    EXPECT_EQ(DECODE(asn1, Time, hex("1902 3939")).err, ASN1Error_Unparsed);
    EXPECT_EQ(DECODE(asn1Key, GeneralNames, hex("3004 A3020500")).err, ASN1Error_NoChoice);
    EXPECT_EQ(DECODE(asn1Key, GeneralNames, hex("3004 A5020500")).err, ASN1Error_NoChoice);
    EXPECT_EQ(DECODE(asn1, GeneralNames, hex("3004 84020500")).err, ASN1Error_NoChoice);
    EXPECT_EQ(DECODE(asn1, GeneralNames, hex("3005 A103 040161")).reencoded, hex("3003 810161"));
    EXPECT_EQ(DECODE(asn1, GeneralNames, hex("3005 A1038101 61")).reencoded, hex("3003 810161"));
    // A directoryName wrapper holding no Name is refused, not left empty.
    EXPECT_EQ(DECODE(asn1, GeneralNames, hex("3006 A404 0402 4142")).err, ASN1Error_LengthMismatch);
    EXPECT_EQ(DECODE(asn1, GeneralNames, hex("3006 A404 3002 3100")).reencoded, hex("3006 A404 3002 3100"));
    EXPECT_EQ(DECODE(asn1, GeneralNames, hex("3008 A480 3002 3100 0000")).reencoded, hex("3006 A404 3002 3100"));
    // An IssuingDistributionPoint carrying [5] leaves octets unread.
    EXPECT_EQ(DECODE(asn1, IssuingDistributionPoint, hex("3003 8501FF")).err, ASN1Error_Unparsed);
    EXPECT_EQ(DECODE(asn1, IssuingDistributionPoint, hex("3003 8401FF")).reencoded, hex("3003 8401FF"));
    // A notice text may be an IA5String, as RFC 5280 allows; a
    // PrintableString is none of the DisplayText choices.
    EXPECT_EQ(DECODE(asn1, UserNotice, hex("3004 1602 4142")).reencoded, hex("3004 1602 4142"));
    EXPECT_EQ(DECODE(asn1, UserNotice, hex("3004 1302 4142")).err, ASN1Error_Unparsed);
    EXPECT_EQ(DECODE(asn1, DisplayText, hex("3A04 1A02 4142")).reencoded, hex("1A024142"));
    // PKCS#7 certificate sets: an element of no alternative fails the set.
    EXPECT_EQ(DECODE(asn1, ExtendedCertificatesAndCertificates, hex("3102 3100")).err, ASN1Error_NoChoice);
    // encryptedContent in either form; constructed with 04 segments.
    const Decoded eci = DECODE(asn1, EncryptedContentInfo, hex("3012 0603 2A0304 3003 06012A A080 04026162 0000"));
    EXPECT_EQ(eci.reencoded, hex("300E 0603 2A0304 3003 06012A 80026162"));
    const Decoded eci2 = DECODE(asn1, EncryptedContentInfo, hex("3010 0603 2A0304 3003 06012A A004 04026162"));
    EXPECT_EQ(eci2.reencoded, hex("300E 0603 2A0304 3003 06012A 80026162"));
}

TEST(Asn1Engine, EncoderRoomAndSizes)
{
    const Bytes rsa = hex("3009 020200C1 0203010001");
    ASN1_RSAPublicKey *key = nullptr;
    std::int32_t err = 0;
    ASSERT_EQ(asn1Unpack_RSAPublicKey(&gCtx, &key, rsa.data(), rsa.size(), &err), rsa.size());
    EXPECT_EQ(asn1SizeContents_RSAPublicKey(key, 0, 0), 9u);
    EXPECT_EQ(asn1SizeContents_RSAPublicKey(key, 1, 0), 11u);
    EXPECT_EQ(asn1SizeContents_RSAPublicKey(key, 1, 1), 13u);
    Bytes out(10, 0xEE);
    EXPECT_EQ(asn1Pack_RSAPublicKey(&gCtx, out.data(), out.size(), key, &err), 0u);
    EXPECT_EQ(err, ASN1Error_BufferTooSmall);
    EXPECT_EQ(out, Bytes(10, 0xEE)); // nothing written
    err = 0;
    out.resize(11);
    EXPECT_EQ(asn1Pack_RSAPublicKey(&gCtx, out.data(), out.size(), key, &err), 11u);
    EXPECT_EQ(out, hex("3009 020200C1 0203010001"));
    err = 0;
    EXPECT_EQ(asn1Pack_RSAPublicKey(&gCtx, out.data(), out.size(), nullptr, &err), 0u);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(asn1Pack_RSAPublicKey(nullptr, out.data(), out.size(), key, &err), 0u);
    EXPECT_EQ(err, ASN1Error_NoContext);
    asn1Free_RSAPublicKey(&gCtx, key);

    // An OtherName whose value is empty cannot be written as sized.
    ASN1_OtherName *other = asn1New_OtherName(&gCtx);
    ASSERT_EQ(asn1SetOctetString(&gCtx, &other->typeId, hex("2A03").data(), 2), 0);
    out.assign(asn1Sizeof_OtherName(&gCtx, other, 1), 0);
    err = 0;
    asn1Pack_OtherName(&gCtx, out.data(), out.size(), other, &err);
    EXPECT_EQ(err, ASN1Error_Overflow);
    asn1Free_OtherName(&gCtx, other);

    // An empty Name cannot be written.
    ASN1_Name *name = asn1New_Name(&gCtx);
    out.assign(8, 0);
    err = 0;
    asn1Pack_Name(&gCtx, out.data(), out.size(), name, &err);
    EXPECT_EQ(err, ASN1Error_NoChoice);
    asn1Free_Name(&gCtx, name);
}

TEST(Asn1Engine, ReleaseClearsWhatItReleased)
{
    const Bytes gn = hex("820161");
    ASN1_GeneralName *name = nullptr;
    std::int32_t err = 0;
    ASSERT_EQ(asn1Unpack_GeneralName(&gCtx, &name, gn.data(), gn.size(), &err), 3u);
    asn1FreeContents_GeneralName(&gCtx, name);
    EXPECT_EQ(name->identifier, 0);
    EXPECT_EQ(name->alternative, nullptr);
    asn1Free_GeneralName(&gCtx, name);
    asn1Free_GeneralName(nullptr, nullptr);
    EXPECT_EQ(asn1New_GeneralName(nullptr), nullptr);

    // A list appended by hand is released whole.
    ASN1_ExtKeyUsageSyntax *eku = asn1New_ExtKeyUsageSyntax(&gCtx);
    for (int i = 0; i < 5; ++i) {
        ASN1_ObjectIdentifier *oid = asn1New_OctetString(&gCtx);
        ASSERT_EQ(asn1SetOctetString(&gCtx, oid, hex("2A03").data(), 2), 0);
        ASSERT_EQ(asn1AppendElement(&gCtx, oid, eku), 0);
    }
    Bytes out(asn1Sizeof_ExtKeyUsageSyntax(&gCtx, eku, 1));
    EXPECT_EQ(asn1Pack_ExtKeyUsageSyntax(&gCtx, out.data(), out.size(), eku, &err), 22u);
    asn1Free_ExtKeyUsageSyntax(&gCtx, eku);
}

// Hostile encodings: each refused with its status, nothing returned.
TEST(Asn1Hostile, RefusedWithTheirStatus)
{
    struct Case {
        const char *what, *in;
        std::int32_t err;
    };
    std::string deep = "3080 0603 2A0304";
    for (int i = 0; i < 100; ++i)
        deep += "3080";
    for (int i = 0; i < 101; ++i)
        deep += "0000";
    std::string shallow = "3080 0603 2A0304";
    for (int i = 0; i < 20; ++i)
        shallow += "3080";
    for (int i = 0; i < 21; ++i)
        shallow += "0000";
    const Case cases[] = {
        {"length wrapping 64 bits", "3088 FFFFFFFFFFFFFFF0 0603 2A0304", ASN1Error_Truncated},
        {"nine length octets", "3089 010000000000000005 0603 2A0304", ASN1Error_BadLength},
        {"4 GiB length", "3084 FFFFFFFF 0603 2A0304", ASN1Error_Truncated},
        {"length beyond the input", "3010 0603 2A0304", ASN1Error_Truncated},
        {"member beyond its sequence", "3004 0603 2A0304", ASN1Error_Truncated},
        {"nested indefinite ANY too deep", deep.c_str(), ASN1Error_NestingTooDeep},
        {"long-form tag as parameters", "300A 0603 2A0304 1F8101 0100", ASN1Error_BadTag},
        {"long-form tag in place of the OID", "3006 1F06 03 2A0304", ASN1Error_Unparsed},
        {"missing end-of-contents", "3080 0603 2A0304", ASN1Error_Truncated},
    };
    for (const Case &c : cases) {
        const Decoded d = DECODE(asn1, AlgorithmIdentifier, hex(c.in));
        EXPECT_EQ(d.err, c.err) << c.what;
        EXPECT_EQ(d.consumed, 0u) << c.what;
    }
    EXPECT_EQ(DECODE(asn1, AlgorithmIdentifier, hex(shallow)).err, 0);

    // Certificate-sized inputs.
    const Case certCases[] = {
        {"empty certificate", "3000", ASN1Error_Unparsed},
        {"bad BIT STRING signature", "300B 3000 3003 06012A 0302 0800", ASN1Error_Unparsed},
        {"SET where SEQUENCE is due", "3100", ASN1Error_Unparsed},
        {"long-form tag", "3F00", ASN1Error_Unparsed},
        {"deep indefinite nesting", "308030803080308030803080", ASN1Error_BadTag},
    };
    for (const Case &c : certCases) {
        const Decoded d = DECODE(asn1, Certificate, hex(c.in));
        EXPECT_NE(d.err, 0) << c.what;
        EXPECT_EQ(d.consumed, 0u) << c.what;
    }
    EXPECT_EQ(DECODE(asn1, SubjectPublicKeyInfo, hex("3009 3003 06012A 0302 0800")).err, ASN1Error_BadBitString);
    EXPECT_EQ(decode(asn1Unpack_Any, asn1Pack_Any, asn1Sizeof_Any, asn1Free_OctetString, hex("1F020100")).err,
              ASN1Error_BadTag);
}
