// Key sizes, number encodings, PKCS #1 v1.5 and OAEP, cross-checked against
// Python's cryptography package in both directions.
#include "qelBigNumInternal.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelMemoryInternal.h"
#include "qelPkAlg.h"
#include "qelPkEncodeInternal.h"
#include "qelRandomContextInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHex.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

using u32 = std::uint32_t;
using qeltest::Bytes;

// Hex digits to bytes, an odd count read with a leading zero.
Bytes unhex(const std::string &hex)
{
    return qeltest::fromHex(hex.size() % 2 ? "0" + hex : hex);
}

using qeltest::toHex;

// A deterministic random source for the tests.
struct TestRandom {
    static inline std::mt19937 rng{2024};
    static inline u32 claimed = 0;
    static void add(void *, const void *, u32) {}
    static QELStatus get(void *, void *buf, u32 len, u32 bits)
    {
        claimed += bits;
        auto *b = static_cast<std::uint8_t *>(buf);
        for (u32 i = 0; i < len; ++i)
            b[i] = (std::uint8_t)rng();
        return QELError_NoErr;
    }
    static void stir(void *) {}
    static inline const QELRandomDescriptor descriptor{"test", add, get, stir};
    static QELRandomContext *context()
    {
        static QELRandomContext ctx{nullptr, &descriptor, nullptr, nullptr};
        return &ctx;
    }
};

class PkEncode : public qeltest::SDKSuite {
protected:
    static void SetUpTestSuite()
    {
        SDKSuite::SetUpTestSuite();
        mgr_ = qelContextGetMemoryMgr(context);
    }
    struct BN {
        QELBigNum n;
        BN() { qelBigNumBegin(&n, mgr_, 0); }
        explicit BN(const std::string &hex) : BN() { set(unhex(hex)); }
        BN(const BN &) = delete;
        ~BN() { QELBigNumOps.qelBigNumFree(&n); }
        QELBigNum *operator&() { return &n; }
        void set(const Bytes &b)
        {
            QELBigNumOps.qelBigNumSetWord(&n, 0);
            QELBigNumOps.qelBigNumFromBytesBE(&n, b.data(), 0, (u32)b.size());
        }
        Bytes bytes(u32 k) const
        {
            Bytes b(k);
            QELBigNumOps.qelBigNumToBytesBE(&n, b.data(), 0, k);
            return b;
        }
    };
    static inline QELMemoryMgr *mgr_ = nullptr;
};

TEST_F(PkEncode, SubgroupBits)
{
    const std::map<u32, u32> want = {{0, 102},    {512, 137},  {768, 153},  {1024, 169},
                                     {1536, 198}, {2048, 225}, {3072, 270}, {3840, 297},
                                     {3841, 297}, {4096, 305}, {8192, 433}};
    for (auto [b, w] : want)
        EXPECT_EQ(qelSubgroupBits(b), w) << b;
    EXPECT_EQ(qelSubgroupBitsRounded(1024), 176u);
    EXPECT_EQ(qelSubgroupBitsRounded(2048), 232u);
    u32 out = 1;
    EXPECT_EQ(qelPublicKeySubgroupBits(2048, &out), 0);
    EXPECT_EQ(out, 225u);
    EXPECT_EQ(qelPublicKeySubgroupBits(2048, nullptr), QELError_BadParams);
}

TEST_F(PkEncode, MPIAndFormats)
{
    BN n("8123456789abcdef0123456789abcdef01234567"); // 160 bits, top bit set
    std::uint8_t out[64];
    ASSERT_EQ(qelPkNumberWrite(&n, out, 20, QELPkFormat_DER), 23);
    EXPECT_EQ(toHex(out, 3), "021500");
    BN back;
    EXPECT_EQ(qelPkNumberRead(&back, out, 23, 20, QELPkFormat_DER), 23);
    EXPECT_EQ(QELBigNumOps.qelBigNumCompare(&back, &n), 0);
    // A 152-bit number is written minimally: 19 content bytes.
    BN small("23456789abcdef0123456789abcdef01234567");
    ASSERT_EQ(qelPkNumberWrite(&small, out, 20, QELPkFormat_DER), 21);
    EXPECT_EQ(toHex(out, 3), "021323");
    // Zero, long-form lengths, and a number too wide for the size.
    BN zero;
    ASSERT_EQ(qelPkNumberWrite(&zero, out, 20, QELPkFormat_DER), 3);
    EXPECT_EQ(toHex(out, 3), "020100");
    EXPECT_EQ(qelPkNumberWrite(&n, out, 19, QELPkFormat_DER), 0);
    EXPECT_EQ(qelPkNumberWrite(&n, out, 19, QELPkFormat_Raw), 0);
    std::vector<std::uint8_t> big(300);
    BN wide;
    wide.set(Bytes(200, 0xAB));
    ASSERT_EQ(qelPkNumberWrite(&wide, big.data(), 200, QELPkFormat_DER), 204);
    EXPECT_EQ(toHex(big.data(), 4), "0281c900");
    EXPECT_EQ(qelPkNumberRead(&back, big.data(), 204, 200, QELPkFormat_DER), 204);
    EXPECT_EQ(QELBigNumOps.qelBigNumCompare(&back, &wide), 0);

    // Hostile DER: wrong tag (also constructed/application forms), content
    // beyond the data, truncated headers, indefinite length.
    const std::vector<Bytes> bad = {unhex("0301ff"), unhex("2201ff"), unhex("4201ff"),
                                    unhex("0205ffff"), unhex("02"), unhex("0282ff"),
                                    unhex("0280ff00"), unhex("0285ffffffffff01")};
    for (const auto &b : bad)
        EXPECT_EQ(qelPkNumberRead(&back, b.data(), (u32)b.size(), 20, QELPkFormat_DER), QELError_BadKeyEncoding)
            << toHex(b.data(), b.size());

    // Raw: exactly size bytes, 0 when short.
    Bytes raw = unhex("00000102");
    EXPECT_EQ(qelPkNumberRead(&back, raw.data(), 4, 4, QELPkFormat_Raw), 4);
    EXPECT_EQ(QELBigNumOps.qelBigNumLowWord(&back), 0x102u);
    EXPECT_EQ(qelPkNumberRead(&back, raw.data(), 3, 4, QELPkFormat_Raw), 0);
    ASSERT_EQ(qelPkNumberWrite(&back, out, 6, QELPkFormat_OAEP), 6);
    EXPECT_EQ(toHex(out, 6), "000000000102");

    // MPIs.
    Bytes mpi = unhex("000901ff");
    EXPECT_EQ(qelMPIRead(&back, mpi.data(), 4), 4);
    EXPECT_EQ(QELBigNumOps.qelBigNumLowWord(&back), 0x1FFu);
    EXPECT_EQ(qelMPIRead(&back, mpi.data(), 3), 0);
    EXPECT_EQ(qelMPIWrite(&back, out), 4);
    EXPECT_EQ(toHex(out, 4), "000901ff");
    u32 o1 = 99, o2 = 99;
    Bytes list = unhex("000901ff000101");
    EXPECT_EQ(qelMPIParseList(list.data(), (u32)list.size(), 2u, &o1, &o2), 7);
    EXPECT_EQ(o1, 0u);
    EXPECT_EQ(o2, 4u);
    EXPECT_EQ(qelMPIParseList(list.data(), 6, 2u, &o1, &o2), QELError_BadAlgorithmData);
    EXPECT_EQ(qelMPIParseList(list.data(), 3, 2u, nullptr, nullptr), QELError_BadAlgorithmData);
    Bytes wrongTop = unhex("000a01ff000101");
    EXPECT_EQ(qelMPIParseList(wrongTop.data(), 7, 2u, nullptr, nullptr), QELError_BadKeyEncoding);
    Bytes zeroBits = unhex("0000000101");
    EXPECT_EQ(qelMPIParseList(zeroBits.data(), 5, 2u, nullptr, nullptr), QELError_BadKeyEncoding);
    // The last MPI's magnitude is missing: too short, never read past the end.
    Bytes cut = unhex("000901ff0008");
    EXPECT_EQ(qelMPIParseList(cut.data(), 6, 2u, nullptr, nullptr), QELError_BadAlgorithmData);
}

TEST_F(PkEncode, LengthsOf2To31OrMoreAreRefused)
{
    // Each would report a length that reads as a negative status; the
    // buffers are small, so a reader or writer that went ahead would run
    // far past them.
    const u32 huge = 0x80000000u;
    BN n("0102030405060708");
    std::uint8_t der[] = {0x02, 0x84, 0x80, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(qelPkNumberRead(&n, der, huge + 16, 0, QELPkFormat_DER), QELError_BadKeyEncoding);
    EXPECT_EQ(qelPkNumberRead(&n, der, huge, huge, QELPkFormat_Raw), QELError_BadParams);
    const std::uint8_t mpi[] = {0x00, 0x01, 0x01};
    EXPECT_EQ(qelMPIParseList(mpi, huge, 1, nullptr), QELError_BadAlgorithmData);
    std::uint8_t out[16];
    std::memset(out, 0xA5, sizeof out);
    for (std::int32_t format : {(std::int32_t)QELPkFormat_Raw, (std::int32_t)QELPkFormat_DER}) {
        EXPECT_EQ(qelPkNumberWrite(&n, out, huge, format), QELError_BadParams) << format;
        EXPECT_EQ(qelPkNumberWrite(&n, out, 0xFFFFFFFFu, format), QELError_BadParams) << format;
    }
    EXPECT_EQ(out[0], 0xA5);
    // Smaller sizes still work.
    EXPECT_EQ(qelPkNumberWrite(&n, out, 8, QELPkFormat_Raw), 8);
    // An MPI's two-byte bit count ends at 65535 bits.
    BN wide;
    ASSERT_EQ(QELBigNumOps.qelBigNumSetWord(&wide, 1), 0);
    ASSERT_EQ(QELBigNumOps.qelBigNumShiftLeft(&wide, 65535), 0);
    std::vector<std::uint8_t> buffer(2 + 8193, 0);
    EXPECT_EQ(qelMPIWrite(&wide, buffer.data()), QELError_DataTooLarge);
    static_cast<void>(QELBigNumOps.qelBigNumShiftRight(&wide, 1)); // answers the new word count
    ASSERT_EQ(QELBigNumOps.qelBigNumBitLength(&wide), 65535u);
    EXPECT_EQ(qelMPIWrite(&wide, buffer.data()), 2 + 8192);
}

TEST_F(PkEncode, RandomNumbers)
{
    BN r;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(qelBigNumRandom(&r, TestRandom::context(), 12, 0xC0, 1, 0), 0);
        u32 v = QELBigNumOps.qelBigNumLowWord(&r);
        EXPECT_GE(v, 0xC01u);
        EXPECT_LE(v, 0xFFFu);
        EXPECT_EQ(v & 1u, 1u);
    }
    TestRandom::claimed = 0;
    ASSERT_EQ(qelBigNumRandom(&r, TestRandom::context(), 1030, 0x80, 0, 600), 0);
    EXPECT_EQ(QELBigNumOps.qelBigNumBitLength(&r), 1030u);
    EXPECT_EQ(TestRandom::claimed, 600u);
    ASSERT_EQ(qelBigNumRandom(&r, TestRandom::context(), 1030, 0xC0, 0, 5000), 0);
    EXPECT_EQ(TestRandom::claimed, 600u + 8 * 129);
    EXPECT_EQ(qelRandomAddBigNum(TestRandom::context(), &r), 0);
}

// A source that yields only zeros cannot give the non-zero padding octets:
// the padding reports it instead of drawing forever.
TEST_F(PkEncode, PKCS1PaddingGivesUpOnASourceOfZeros)
{
    struct Zeros {
        static void add(void *, const void *, std::uint32_t) {}
        static QELStatus get(void *, void *buffer, std::uint32_t length, std::uint32_t)
        {
            std::memset(buffer, 0, length);
            return QELError_NoErr;
        }
    };
    const QELRandomDescriptor descriptor{"zeros", Zeros::add, Zeros::get, nullptr};
    QELRandomContext zeros{nullptr, &descriptor, nullptr, nullptr};
    const Bytes data(16, 0x5A);
    BN block;
    EXPECT_EQ(qelPKCS1Pad(&block, data.data(), (u32)data.size(), 2, 64, &zeros), QELError_OutOfEntropy);
    // Signature padding needs no randomness.
    EXPECT_EQ(qelPKCS1Pad(&block, data.data(), (u32)data.size(), 1, 64, &zeros), 0);
}

TEST_F(PkEncode, PKCS1Blocks)
{
    const u32 k = 64;
    Bytes data(k - 11, 0x5A);
    BN block;
    EXPECT_EQ(qelPKCS1Pad(&block, data.data(), k - 10, 1, k, nullptr), QELError_DataTooLarge);
    EXPECT_EQ(qelPKCS1Pad(&block, data.data(), 0xFFFFFFF8u, 2, k, TestRandom::context()),
              QELError_DataTooLarge);
    for (u32 type : {1u, 2u}) {
        ASSERT_EQ(qelPKCS1Pad(&block, data.data(), k - 11, type, k, TestRandom::context()), 0);
        Bytes b = block.bytes(k);
        EXPECT_EQ(b[0], 0);
        EXPECT_EQ(b[1], type);
        for (u32 i = 2; i < 10; ++i)
            EXPECT_NE(b[i], 0);
        EXPECT_EQ(b[10], 0);
        std::uint8_t out[k];
        EXPECT_EQ(qelPKCS1Unpad(out, k, &block, type, k), (int)(k - 11));
        EXPECT_EQ(0, std::memcmp(out, data.data(), k - 11));
        // A short buffer gets the first bytes and the full length is reported.
        std::uint8_t small[4] = {};
        EXPECT_EQ(qelPKCS1Unpad(small, 4, &block, type, k), (int)(k - 11));
        EXPECT_EQ(0, std::memcmp(small, data.data(), 4));
        // The length query: no output buffer at all (UBSan flags a copy).
        EXPECT_EQ(qelPKCS1Unpad(nullptr, 0, &block, type, k), (int)(k - 11));
        EXPECT_EQ(qelPKCS1Unpad(out, k, &block, type == 1 ? 2 : 1, k), QELError_CorruptData);
    }
    std::uint8_t out[k];
    // 00 02 00 ...: k - 3 data bytes; 00 02 without a separator fails.
    Bytes b(k, 0x11);
    b[0] = 0;
    b[1] = 2;
    b[2] = 0;
    block.set(b);
    EXPECT_EQ(qelPKCS1Unpad(out, k, &block, 2, k), (int)(k - 3));
    b[2] = 0x11;
    block.set(b);
    EXPECT_EQ(qelPKCS1Unpad(out, k, &block, 2, k), QELError_CorruptData);
    // Top byte not zero, or the value wider than the block.
    b[0] = 1;
    block.set(b);
    EXPECT_EQ(qelPKCS1Unpad(out, k, &block, 2, k), QELError_CorruptData);
    EXPECT_EQ(qelPKCS1Unpad(out, k - 1, &block, 2, k - 1), QELError_CorruptData);
    // Type 1 with a byte that is neither FF nor the separator.
    Bytes s(k, 0xFF);
    s[0] = 0;
    s[1] = 1;
    s[20] = 0xFE;
    block.set(s);
    EXPECT_EQ(qelPKCS1Unpad(out, k, &block, 1, k), QELError_CorruptData);

    // Legacy signature layout: MD5 digest up front, 00, FF.., 01 at the end.
    Bytes legacy(k, 0xFF);
    legacy[0] = 0;
    legacy[1] = 1;
    for (int i = 0; i < 16; ++i)
        legacy[2 + i] = (std::uint8_t)(0xA0 + i);
    legacy[18] = 0;
    legacy[k - 1] = 1;
    block.set(legacy);
    std::uint8_t info[40] = {};
    EXPECT_EQ(qelPKCS1Unpad(info, 40, &block, 1, k), 34);
    EXPECT_EQ(toHex(info, 34), "3020300c06082a864886f70d020505000410a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
    // Legacy encryption layout: 00 01 <19 bytes> 00 <non-zero> 02.
    Bytes le(k, 0x33);
    le[0] = 0;
    le[1] = 1;
    le[20] = 0;
    le[k - 1] = 2;
    block.set(le);
    EXPECT_EQ(qelPKCS1Unpad(out, k, &block, 2, k), 19);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 0x33);
    le[30] = 0;
    block.set(le);
    EXPECT_EQ(qelPKCS1Unpad(out, k, &block, 2, k), QELError_CorruptData);
}

TEST_F(PkEncode, OAEPChecks)
{
    const u32 k = 128;
    Bytes msg = unhex("48656c6c6f");
    Bytes label = unhex("6c6162656c");
    BN block;
    ASSERT_EQ(qelOAEPEncode(&block, msg.data(), (u32)msg.size(), k, 8, 2, label.data(), 5, context,
                            TestRandom::context()),
              0);
    std::uint8_t out[80];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(qelOAEPDecode(out, sizeof out, &block, k, 8, 2, label.data(), 5, context), 5);
    EXPECT_EQ(0, std::memcmp(out, msg.data(), 5));
    for (std::size_t i = 5; i < sizeof out; ++i)
        ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(qelOAEPDecode(out, sizeof out, &block, k, 8, 2, label.data(), 4, context), QELError_CorruptData);
    EXPECT_EQ(qelOAEPDecode(out, sizeof out, &block, k, 8, 8, label.data(), 5, context), QELError_CorruptData);
    EXPECT_EQ(qelOAEPDecode(out, sizeof out, &block, k, 7, 2, label.data(), 5, context),
              QELError_UnknownHashAlgorithm);
    EXPECT_EQ(qelOAEPEncode(&block, msg.data(), 5, k, 8, 4, nullptr, 0, context, TestRandom::context()),
              QELError_UnknownHashAlgorithm);
    // Longest message k - 2h - 2, one more refused; blocks too short for the hash.
    Bytes longMsg(k - 2 * 32 - 2, 0x42);
    ASSERT_EQ(qelOAEPEncode(&block, longMsg.data(), (u32)longMsg.size(), k, 8, 8, nullptr, 0, context,
                            TestRandom::context()),
              0);
    EXPECT_EQ(qelOAEPDecode(out, sizeof out, &block, k, 8, 8, nullptr, 0, context), (int)longMsg.size());
    longMsg.push_back(0x42);
    EXPECT_EQ(qelOAEPEncode(&block, longMsg.data(), (u32)longMsg.size(), k, 8, 8, nullptr, 0, context,
                            TestRandom::context()),
              QELError_DataTooLarge);
    BN tiny("01");
    for (u32 kk : {0u, 1u, 20u, 65u})
        EXPECT_EQ(qelOAEPDecode(out, sizeof out, &tiny, kk, 8, 8, nullptr, 0, context), QELError_CorruptData) << kk;
    // A value reaching into the leading zero byte.
    BN wide;
    wide.set(Bytes(k, 0x80));
    EXPECT_EQ(qelOAEPDecode(out, sizeof out, &wide, k, 8, 8, nullptr, 0, context), QELError_CorruptData);
}

// ---- against Python's cryptography -------------------------------------------

const char *kPythonScript = R"PY(
import sys
from cryptography.hazmat.primitives.asymmetric import rsa, padding
from cryptography.hazmat.primitives import hashes
mode, path = sys.argv[1], sys.argv[2]
if mode == "gen":
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    pub = key.public_key()
    pn = key.private_numbers()
    out = {"n": "%x" % pn.public_numbers.n, "d": "%x" % pn.d}
    out["oaep256"] = pub.encrypt(b"message for oaep", padding.OAEP(
        mgf=padding.MGF1(hashes.SHA256()), algorithm=hashes.SHA256(), label=b"a label")).hex()
    out["oaepmix"] = pub.encrypt(b"mixed hashes", padding.OAEP(
        mgf=padding.MGF1(hashes.SHA1()), algorithm=hashes.SHA512(), label=None)).hex()
    out["pkcs1enc"] = pub.encrypt(b"pkcs1 v1.5 message", padding.PKCS1v15()).hex()
    out["pkcs1sig"] = key.sign(b"signed message", padding.PKCS1v15(), hashes.SHA256()).hex()
    from cryptography.hazmat.primitives import serialization
    open(path + ".pem", "wb").write(key.private_bytes(serialization.Encoding.PEM,
        serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    with open(path, "w") as f:
        for k, v in out.items():
            f.write("%s %s\n" % (k, v))
else:
    from cryptography.hazmat.primitives import serialization
    key = serialization.load_pem_private_key(open(path + ".pem", "rb").read(), None)
    vals = dict(l.split() for l in open(path))
    ok = []
    ok.append(key.decrypt(bytes.fromhex(vals["oaep256"]), padding.OAEP(
        mgf=padding.MGF1(hashes.SHA256()), algorithm=hashes.SHA256(), label=b"a label")) == b"our oaep")
    ok.append(key.decrypt(bytes.fromhex(vals["oaepmix"]), padding.OAEP(
        mgf=padding.MGF1(hashes.SHA1()), algorithm=hashes.SHA512(), label=None)) == b"our mix")
    ok.append(key.decrypt(bytes.fromhex(vals["pkcs1enc"]), padding.PKCS1v15()) == b"our pkcs1")
    key.public_key().verify(bytes.fromhex(vals["pkcs1sig"]), b"our signed", padding.PKCS1v15(),
                            hashes.SHA256())
    ok.append(True)
    print("RESULT", " ".join(str(x) for x in ok))
)PY";

std::string runPython(const std::string &dir, const std::string &mode)
{
    std::string script = dir + "/peer.py";
    std::ofstream(script) << kPythonScript;
    std::string cmd = "/usr/bin/python3 '" + script + "' " + mode + " '" + dir + "/vals' 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return "popen failed";
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, p))
        out += buf;
    int rc = pclose(p);
    return rc == 0 ? out : "python failed: " + out;
}

TEST_F(PkEncode, AgainstPythonCryptography)
{
    if (access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/python3";
    std::string gen = runPython(dir(), "gen");
    ASSERT_EQ(gen, "");
    std::map<std::string, std::string> v;
    {
        std::ifstream in(dir() + "/vals");
        std::string key, val;
        while (in >> key >> val)
            v[key] = val;
    }
    const auto &ops = QELBigNumOps;
    BN n(v["n"]), d(v["d"]), e, c, m;
    ops.qelBigNumSetWord(&e, 65537);
    const u32 k = 256;
    std::uint8_t out[256];

    auto privateOp = [&](const std::string &hex) {
        c.set(unhex(hex));
        EXPECT_EQ(ops.qelBigNumExpMod(&m, &c, &d, &n), 0);
    };
    privateOp(v["oaep256"]);
    int len = qelOAEPDecode(out, sizeof out, &m, k, 8, 8, (const std::uint8_t *)"a label", 7, context);
    ASSERT_EQ(len, 16);
    EXPECT_EQ(std::string((char *)out, 16), "message for oaep");
    privateOp(v["oaepmix"]);
    len = qelOAEPDecode(out, sizeof out, &m, k, 10, 2, nullptr, 0, context);
    ASSERT_EQ(len, 12);
    EXPECT_EQ(std::string((char *)out, 12), "mixed hashes");
    privateOp(v["pkcs1enc"]);
    len = qelPKCS1Unpad(out, sizeof out, &m, 2, k);
    ASSERT_EQ(len, 18);
    EXPECT_EQ(std::string((char *)out, 18), "pkcs1 v1.5 message");

    // Signature: s^e mod n unpads to DigestInfo(SHA-256) || SHA-256(message).
    const QELHashDescriptor *sha256 = qelHashDescriptorFind(8);
    ASSERT_NE(sha256, nullptr);
    auto digestInfo = [&](const std::string &msg) {
        Bytes st(sha256->stateSize);
        sha256->init(st.data());
        sha256->update(st.data(), msg.data(), msg.size());
        const std::uint8_t *dg = sha256->final(st.data());
        Bytes di(sha256->digestInfoPrefix, sha256->digestInfoPrefix + sha256->prefixLength);
        di.insert(di.end(), dg, dg + 32);
        return di;
    };
    c.set(unhex(v["pkcs1sig"]));
    ASSERT_EQ(ops.qelBigNumExpMod(&m, &c, &e, &n), 0);
    len = qelPKCS1Unpad(out, sizeof out, &m, 1, k);
    Bytes want = digestInfo("signed message");
    ASSERT_EQ(len, (int)want.size());
    EXPECT_EQ(0, std::memcmp(out, want.data(), want.size()));

    // The other direction: our encodings, Python decrypts and verifies.
    std::ostringstream vals;
    auto publicOp = [&](const char *name) {
        ASSERT_EQ(ops.qelBigNumExpMod(&c, &m, &e, &n), 0);
        vals << name << " " << toHex(c.bytes(k).data(), k) << "\n";
    };
    ASSERT_EQ(qelOAEPEncode(&m, (const std::uint8_t *)"our oaep", 8, k, 8, 8,
                            (const std::uint8_t *)"a label", 7, context, TestRandom::context()),
              0);
    publicOp("oaep256");
    ASSERT_EQ(qelOAEPEncode(&m, (const std::uint8_t *)"our mix", 7, k, 10, 2, nullptr, 0, context,
                            TestRandom::context()),
              0);
    publicOp("oaepmix");
    ASSERT_EQ(qelPKCS1Pad(&m, (const std::uint8_t *)"our pkcs1", 9, 2, k, TestRandom::context()), 0);
    publicOp("pkcs1enc");
    Bytes di = digestInfo("our signed");
    ASSERT_EQ(qelPKCS1Pad(&m, di.data(), (u32)di.size(), 1, k, nullptr), 0);
    ASSERT_EQ(ops.qelBigNumExpMod(&c, &m, &d, &n), 0);
    vals << "pkcs1sig " << toHex(c.bytes(k).data(), k) << "\n";
    std::ofstream(dir() + "/vals") << vals.str();
    EXPECT_EQ(runPython(dir(), "check"), "RESULT True True True True\n");
}

} // namespace
