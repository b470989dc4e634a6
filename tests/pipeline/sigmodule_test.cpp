// The signing side of messages: one-pass signed data and detached signatures
// made by the Signature and Hash Modules, checked packet by packet and by
// GnuPG (RSA and DSA, version 3 and 4, SHA-1/256/512, bodies on both sides
// of every length form); nesting of several signers; end of input inside a
// scope; a signature output that fails and is resumed; and construction
// failures that leave nothing behind.
#include "../keys/keys_fixture.h"

#include "qelAddHeaderModuleInternal.h"
#include "qelByteFifoInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelHash.h"
#include "qelHashInternal.h"
#include "qelHashModuleInternal.h"
#include "qelMemory.h"
#include "qelPipeTestModule.h"
#include "qelSigBuildInternal.h"
#include "qelSigSpecInternal.h"
#include "qelSignatureModuleInternal.h"
#include "qelTestMemory.h"
#include "qelVarMemoryModuleInternal.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <map>

namespace {

using namespace keystest;
using Bytes = std::string;

constexpr std::uint32_t kSignedAt = 1700006000; // after the keys were made
constexpr std::uint32_t kLiteralDate = 1700006100;
constexpr std::uint8_t kSHA1 = 2, kSHA256 = 8, kSHA512 = 10;

const std::uint8_t *u8(const Bytes &b) { return reinterpret_cast<const std::uint8_t *>(b.data()); }

Bytes pattern(std::size_t n)
{
    Bytes s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = char((i * 7 + i / 251) & 0xFF);
    return s;
}

// One packet of a message: tag, where its body starts, the body (partial
// lengths joined) and the header's first octet.
struct Packet {
    int tag;
    std::uint8_t first;
    Bytes body;
};

// RFC 4880 packets, every header form; empty on malformed input.
std::vector<Packet> packets(const Bytes &m)
{
    std::vector<Packet> out;
    std::size_t i = 0;
    auto octet = [&](std::size_t at) { return std::uint32_t(std::uint8_t(m.at(at))); };
    try {
        while (i < m.size()) {
            const std::uint8_t first = std::uint8_t(m[i++]);
            if (!(first & 0x80))
                return {};
            Packet p{0, first, {}};
            if (first & 0x40) {
                p.tag = first & 0x3F;
                for (;;) {
                    const std::uint32_t b = octet(i++);
                    std::size_t n = 0;
                    bool partial = false;
                    if (b < 192) {
                        n = b;
                    } else if (b < 224) {
                        n = ((b - 192) << 8) + octet(i++) + 192;
                    } else if (b == 255) {
                        n = (octet(i) << 24) | (octet(i + 1) << 16) | (octet(i + 2) << 8) | octet(i + 3);
                        i += 4;
                    } else {
                        n = std::size_t{1} << (b & 0x1F);
                        partial = true;
                    }
                    if (i + n > m.size())
                        return {};
                    p.body += m.substr(i, n);
                    i += n;
                    if (!partial)
                        break;
                }
            } else {
                p.tag = (first >> 2) & 0x0F;
                const int type = first & 3;
                std::size_t n = 0;
                if (type == 0) {
                    n = octet(i++);
                } else if (type == 1) {
                    n = (octet(i) << 8) | octet(i + 1);
                    i += 2;
                } else if (type == 2) {
                    n = (octet(i) << 24) | (octet(i + 1) << 16) | (octet(i + 2) << 8) | octet(i + 3);
                    i += 4;
                } else {
                    n = m.size() - i;
                }
                if (i + n > m.size())
                    return {};
                p.body = m.substr(i, n);
                i += n;
            }
            out.push_back(p);
        }
    } catch (const std::out_of_range &) {
        return {};
    }
    return out;
}

std::vector<int> tags(const std::vector<Packet> &ps)
{
    std::vector<int> t;
    for (const Packet &p : ps)
        t.push_back(p.tag);
    return t;
}

// The header a body of this length gets, for the packets checked below.
Bytes headerOf(std::int32_t packetVersion, std::size_t length)
{
    std::uint8_t h[QELSignaturePacketMaxHeader] = {};
    const std::size_t n = qelSignaturePacketHeader(h, packetVersion, length);
    return Bytes(reinterpret_cast<const char *>(h), n);
}

// A GnuPG home that knows the public halves of the signing keys.
class GnuPGHome {
public:
    explicit GnuPGHome(const std::vector<std::uint8_t> &publicRing) : home_("qelsiggpg")
    {
        chmod(home_.path().c_str(), 0700);
        qeltest::writeFile(home_ / "ring.gpg", std::string(publicRing.begin(), publicRing.end()));
        // The fixture's RSA key is 1024 bits; SHA-1 is still verified by 2.2.
        qeltest::writeFile(home_ / "gpg.conf", "allow-weak-key-signatures\nallow-weak-digest-algos\n");
        static_cast<void>(std::system((gpg() + " --import " + home_ / "ring.gpg" + " >/dev/null 2>&1").c_str()));
    }
    ~GnuPGHome()
    {
        static_cast<void>(std::system(("gpgconf --homedir " + home_.path() + " --kill all >/dev/null 2>&1").c_str()));
    }
    static bool available() { return std::system("gpg --version >/dev/null 2>&1") == 0; }
    // The status lines of gpg --verify over the files given (written here).
    std::string verify(const Bytes &first, const Bytes *data = nullptr)
    {
        qeltest::writeFile(home_ / "first.bin", first);
        std::string args = home_ / "first.bin";
        if (data != nullptr) {
            qeltest::writeFile(home_ / "data.bin", *data);
            args += " " + home_ / "data.bin";
        }
        std::remove((home_ / "status.txt").c_str());
        static_cast<void>(std::system((gpg() + " --status-file " + home_ / "status.txt" + " --verify " + args +
                                       " >/dev/null 2>&1")
                                          .c_str())); // judged by its status lines
        return qeltest::readFile(home_ / "status.txt");
    }

private:
    std::string gpg() const
    {
        return "gpg --homedir " + home_.path() + " --batch --pinentry-mode loopback --no-tty";
    }
    qeltest::TempDir home_;
};

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Every signature good, `signatures` of them, none bad.
void expectGood(const std::string &status, int signatures)
{
    EXPECT_EQ(count(status, "[GNUPG:] GOODSIG "), signatures) << status;
    EXPECT_EQ(count(status, "[GNUPG:] VALIDSIG "), signatures) << status;
    EXPECT_EQ(count(status, "BADSIG"), 0) << status;
    EXPECT_EQ(count(status, "ERRSIG"), 0) << status;
}

// A notation data subpacket (type 20, human-readable) of `total` data octets
// including its type octet.
Bytes notation(std::size_t total, char fill)
{
    const std::string name = "pad@qel.example";
    const std::size_t value = total - 9 - name.size();
    Bytes n;
    n += char(20);
    n += Bytes{char(0x80), 0, 0, 0};
    n += char(name.size() >> 8);
    n += char(name.size() & 0xFF);
    n += char(value >> 8);
    n += char(value & 0xFF);
    n += name;
    n += Bytes(value, fill);
    return n;
}

struct Specs {
    QELSigSpec *head = nullptr;
    ~Specs() { qelSigSpecFreeList(head); }
};

class SignatureModuleTest : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        std::ifstream in(dataPath("sigmake.txt"));
        for (std::string line; std::getline(in, line);) {
            const auto space = line.find(' ');
            if (space != std::string::npos)
                facts_[line.substr(0, space)] = line.substr(space + 1);
        }
        secret_ = openOwned(readFile(dataPath("sigmake-secret.gpg")));
        ASSERT_NE(secret_, nullptr);
        rsa_ = keyOrSubKeyByID(secret_, facts_["alice"]);
        dsa_ = keyOrSubKeyByID(secret_, facts_["dave"]);
        ASSERT_NE(rsa_, nullptr);
        ASSERT_NE(dsa_, nullptr);
    }

    GnuPGHome &gpg()
    {
        static std::unique_ptr<GnuPGHome> home;
        if (!home)
            home = std::make_unique<GnuPGHome>(ringBytes(secret_, true));
        return *home;
    }

    // A binary-document specification by `signer`, pushed at the head of
    // `chain` (so the chain lists specifications in reverse order of calls).
    QELSigSpec *spec(Specs &chain, QELKeyObject *signer, std::uint32_t version, std::uint8_t hash,
                     const std::string *pass = nullptr)
    {
        QELSigSpec *s = qelSigSpecNew(qelContextGetSettings(ctx), signer, 0x00);
        EXPECT_NE(s, nullptr);
        if (s == nullptr)
            return nullptr;
        const std::string &p = pass != nullptr ? *pass : facts_["pass"];
        EXPECT_EQ(qelSigSpecSetPassphrase(s, p.data(), p.size(), 0), QELError_NoErr);
        EXPECT_EQ(qelSigSpecSetCreation(s, kSignedAt), QELError_NoErr);
        EXPECT_EQ(qelSigSpecSetHashAlgorithm(s, hash), QELError_NoErr);
        EXPECT_EQ(qelSigSpecSetVersion(s, version), QELError_NoErr);
        EXPECT_EQ(qelSigSpecPush(&chain.head, s), QELError_NoErr);
        return s;
    }

    // The chain of the one-pass form: Signature -> Literal -> Join appendage,
    // the Join into `sink` (a memory sink when null). Returns the head.
    QELPipeModule *onePassChain(QELSigSpec *specs, std::int32_t packetVersion, QELPipeModule *sink = nullptr)
    {
        QELPipeModule *head = nullptr;
        QELPipeModule **data = qelSignatureModuleCreate(ctx, &head, packetVersion, qelByteFifoDescriptor());
        EXPECT_NE(data, nullptr);
        QELPipeModule **joined = qelSignatureModuleAddSigners(head, specs, 0);
        EXPECT_NE(joined, nullptr);
        const std::string name = "signed.bin";
        QELPipeModule **literalEnd = qelLiteralModuleCreate(ctx, data, packetVersion, qelByteFifoDescriptor(), 'b',
                                                            name.data(), name.size(), kLiteralDate);
        EXPECT_NE(literalEnd, nullptr);
        EXPECT_EQ(qelSignatureModuleJoinData(head, literalEnd), joined);
        if (sink != nullptr)
            *joined = sink;
        else
            EXPECT_NE(qelVarMemoryModuleCreatePlain(ctx, joined, QELVarMemoryNoLimit), nullptr);
        return head;
    }

    Bytes take(QELPipeModule *head)
    {
        std::uint64_t total = 0;
        void *buffer = nullptr;
        EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_QueryTotal, &total, 8), 0);
        EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer), 0);
        Bytes out(static_cast<const char *>(buffer), total);
        EXPECT_EQ(qelMemFree(buffer), 0);
        return out;
    }

    // The one-pass signed message of `data`.
    Bytes signOnePass(QELSigSpec *specs, std::int32_t packetVersion, const Bytes &data)
    {
        QELPipeModule *head = onePassChain(specs, packetVersion);
        EXPECT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
        Bytes out = take(head);
        qelPipeDestroy(head);
        return out;
    }

    // The literal packet's data in a message.
    static Bytes literalData(const std::vector<Packet> &ps)
    {
        for (const Packet &p : ps)
            if (p.tag == 11 && p.body.size() >= 6) {
                const std::size_t nameLength = std::uint8_t(p.body[1]);
                return p.body.substr(2 + nameLength + 4);
            }
        return "(no literal)";
    }

    std::string keyID(QELKeyObject *k) { return keyIDHex(k); }

    std::map<std::string, std::string> facts_;
    QELKeyDB *secret_ = nullptr;
    QELKeyObject *rsa_ = nullptr;
    QELKeyObject *dsa_ = nullptr;
};

TEST(SignaturePacketHeader, EveryLengthForm)
{
    struct Row {
        std::int32_t packetVersion;
        std::size_t length;
        std::vector<int> header;
    } rows[] = {
        {4, 0, {0xC2, 0x00}},
        {4, 191, {0xC2, 0xBF}},
        {4, 192, {0xC2, 0xC0, 0x00}},
        {4, 1000, {0xC2, 0xC3, 0x28}},
        {4, 8383, {0xC2, 0xDF, 0xFF}},
        {4, 8384, {0xC2, 0xFF, 0x00, 0x00, 0x20, 0xC0}},
        {4, 100000, {0xC2, 0xFF, 0x00, 0x01, 0x86, 0xA0}},
        {3, 150, {0x89, 0x00, 0x96}},
        {3, 65535, {0x89, 0xFF, 0xFF}},
        {3, 65536, {0x8A, 0x00, 0x01, 0x00, 0x00}},
    };
    for (const Row &r : rows) {
        std::uint8_t h[QELSignaturePacketMaxHeader] = {};
        const std::size_t n = qelSignaturePacketHeader(h, r.packetVersion, r.length);
        EXPECT_EQ(std::vector<int>(h, h + n), r.header) << "version " << r.packetVersion << " length " << r.length;
    }
}

// One signer at a time, every algorithm pair GnuPG accepts: the packets come
// in message order with the right header forms, the literal holds the data,
// and gpg --verify finds the signature good.
TEST_F(SignatureModuleTest, OnePassSignedDataVerifiesWithGnuPG)
{
    if (!GnuPGHome::available())
        GTEST_SKIP() << "gpg not installed";
    struct Case {
        const char *what;
        bool dsa;
        std::int32_t packetVersion;
        std::uint32_t sigVersion;
        std::uint8_t hash;
        std::size_t dataSize;
    } cases[] = {
        {"RSA v4 SHA-1", false, 4, 4, kSHA1, 10000},
        {"RSA v4 SHA-256", false, 4, 4, kSHA256, 1},
        {"RSA v4 SHA-512", false, 4, 4, kSHA512, 70000},
        {"DSA v4 SHA-256", true, 4, 4, kSHA256, 4096},
        {"DSA v4 SHA-512", true, 4, 4, kSHA512, 12345},
        {"RSA v3 signature in the one-pass form", false, 4, 3, kSHA256, 5000},
        {"RSA version 3 packets, SHA-1", false, 3, 3, kSHA1, 9000},
        {"RSA version 3 packets, SHA-512", false, 3, 3, kSHA512, 300},
        {"DSA version 3 packets, SHA-256", true, 3, 3, kSHA256, 9000},
        {"DSA v4 signature in version 3 packets", true, 3, 4, kSHA512, 777},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QELKeyObject *signer = c.dsa ? dsa_ : rsa_;
        Specs chain;
        spec(chain, signer, c.sigVersion, c.hash);
        const Bytes data = pattern(c.dataSize);
        const Bytes message = signOnePass(chain.head, c.packetVersion, data);
        const std::vector<Packet> ps = packets(message);
        if (c.packetVersion >= 4) {
            ASSERT_EQ(tags(ps), (std::vector<int>{4, 11, 2}));
            EXPECT_EQ(ps[0].first, 0xC4);
            ASSERT_EQ(ps[0].body.size(), 13u);
            EXPECT_EQ(message.substr(0, 2), "\xC4\x0D");
            EXPECT_EQ(ps[0].body[0], 3);
            EXPECT_EQ(std::uint8_t(ps[0].body[2]), c.hash);
            EXPECT_EQ(hex(u8(ps[0].body) + 4, 8), keyID(signer));
            EXPECT_EQ(ps[0].body[12], 1); // the only, so the last
        } else {
            ASSERT_EQ(tags(ps), (std::vector<int>{2, 11}));
            EXPECT_EQ(message[0], char(0x89));
            EXPECT_EQ(std::uint8_t(ps[1].first) & 0xC0, 0x80); // old-format literal
        }
        const Packet &sig = c.packetVersion >= 4 ? ps[2] : ps[0];
        EXPECT_EQ(std::uint32_t(sig.body[0]), c.sigVersion);
        EXPECT_EQ(std::uint8_t(sig.body[c.sigVersion == 3 ? 16 : 3]), c.hash);
        const std::size_t sigAt = message.size() - (c.packetVersion >= 4 ? sig.body.size() : message.size());
        if (c.packetVersion >= 4) {
            EXPECT_EQ(message.substr(sigAt - headerOf(4, sig.body.size()).size()),
                      headerOf(4, sig.body.size()) + sig.body);
        }
        EXPECT_EQ(literalData(ps), data);
        expectGood(gpg().verify(message), 1);
        EXPECT_NE(gpg().verify(message).find("GOODSIG " + keyID(signer)), std::string::npos);
    }
}

// A changed byte of the signed data is caught by GnuPG: the check above is
// not vacuous.
TEST_F(SignatureModuleTest, GnuPGRefusesAChangedMessage)
{
    if (!GnuPGHome::available())
        GTEST_SKIP() << "gpg not installed";
    Specs chain;
    spec(chain, rsa_, 4, kSHA256);
    Bytes message = signOnePass(chain.head, 4, pattern(3000));
    message[100] ^= 1; // inside the literal data
    const std::string status = gpg().verify(message);
    EXPECT_EQ(count(status, "GOODSIG"), 0) << status;
    EXPECT_EQ(count(status, "BADSIG"), 1) << status;
}

// Three version 4 signers: one-pass packets in signer order with nested
// flags 0, 0, 1, then the data, then the signatures in reverse order; each
// good. Two of them share SHA-256.
TEST_F(SignatureModuleTest, SeveralSignersNest)
{
    if (!GnuPGHome::available())
        GTEST_SKIP() << "gpg not installed";
    Specs chain;
    // Pushed in reverse: the chain is rsa/SHA-1, dsa/SHA-256, rsa/SHA-256.
    spec(chain, rsa_, 4, kSHA256);
    spec(chain, dsa_, 4, kSHA256);
    spec(chain, rsa_, 4, kSHA1);
    const Bytes data = pattern(20000);
    const Bytes message = signOnePass(chain.head, 4, data);
    const std::vector<Packet> ps = packets(message);
    ASSERT_EQ(tags(ps), (std::vector<int>{4, 4, 4, 11, 2, 2, 2}));
    struct Want {
        QELKeyObject *key;
        std::uint8_t hash;
    } order[] = {{rsa_, kSHA1}, {dsa_, kSHA256}, {rsa_, kSHA256}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(hex(u8(ps[i].body) + 4, 8), keyID(order[i].key));
        EXPECT_EQ(std::uint8_t(ps[i].body[2]), order[i].hash);
        EXPECT_EQ(ps[i].body[12], i == 2 ? 1 : 0);
        const Packet &sig = ps[6 - i]; // reverse order
        EXPECT_EQ(std::uint8_t(sig.body[3]), order[i].hash);
        EXPECT_EQ(std::uint8_t(sig.body[2]), qelKeyObjKeyInfo(order[i].key)->algorithm);
    }
    EXPECT_EQ(literalData(ps), data);
    expectGood(gpg().verify(message), 3);
}

// Version 3 packets take only the first specification of a chain and put
// its signature in front of the data.
TEST_F(SignatureModuleTest, Version3PacketsSignWithTheFirstSpecificationOnly)
{
    if (!GnuPGHome::available())
        GTEST_SKIP() << "gpg not installed";
    Specs chain;
    spec(chain, dsa_, 3, kSHA256);
    spec(chain, rsa_, 3, kSHA1); // first in the chain
    const Bytes data = pattern(6000);
    const Bytes message = signOnePass(chain.head, 3, data);
    const std::vector<Packet> ps = packets(message);
    ASSERT_EQ(tags(ps), (std::vector<int>{2, 11}));
    EXPECT_EQ(hex(u8(ps[0].body) + 7, 8), keyID(rsa_));
    EXPECT_EQ(literalData(ps), data);
    expectGood(gpg().verify(message), 1);
}

// Signature bodies made exactly 191, 192, 8383 and 8384 octets long with
// notation subpackets (RSA signatures of a fixed message and time are
// deterministic, so the padding can be fitted), and larger ones by DSA and
// RSA: the header takes the one-, two- and five-octet forms and GnuPG
// verifies each.
TEST_F(SignatureModuleTest, LargeSignatureBodiesGetTheLengthTheyNeed)
{
    if (!GnuPGHome::available())
        GTEST_SKIP() << "gpg not installed";
    const Bytes data = pattern(3333);
    // Builds with notations of `sizes` octets in the hashed area and, past
    // 9000 octets, the rest in the unhashed area (GnuPG reads at most 10000
    // octets per area). Returns the signature packet and its message.
    auto build = [&](QELKeyObject *signer, std::int32_t packetVersion, const std::vector<std::size_t> &sizes,
                     Bytes &message) {
        Specs chain;
        QELSigSpec *s = spec(chain, signer, 4, kSHA256);
        std::size_t hashed = 0;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const bool unhashed = hashed + sizes[i] > 9000;
            if (!unhashed)
                hashed += sizes[i] + 3;
            const Bytes n = notation(sizes[i], char('a' + i % 26));
            EXPECT_EQ(qelSigSpecAddRawSubpacket(s, unhashed ? QELSigSpecFlag_Unhashed : 0, n.data(), n.size()),
                      QELError_NoErr);
        }
        message = signOnePass(chain.head, packetVersion, data);
        std::vector<Packet> ps = packets(message);
        EXPECT_FALSE(ps.empty());
        return ps.empty() ? Packet{} : (packetVersion >= 4 ? ps.back() : ps.front());
    };
    // Fits the padding until the body has `target` octets.
    auto fitted = [&](std::size_t target, Bytes &message) {
        std::vector<std::size_t> sizes;
        std::size_t rest = target > 400 ? target - 300 : 40;
        while (rest > 1000) {
            sizes.push_back(1000);
            rest -= 1003;
        }
        sizes.push_back(rest);
        for (int tries = 0; tries < 6; ++tries) {
            const Packet sig = build(rsa_, 4, sizes, message);
            if (sig.body.size() == target)
                return sig;
            sizes.back() += target - sig.body.size(); // unsigned wrap-around adds as well
        }
        return Packet{};
    };
    for (std::size_t target : {191u, 192u, 8383u, 8384u}) {
        SCOPED_TRACE(target);
        Bytes message;
        const Packet sig = fitted(target, message);
        ASSERT_EQ(sig.body.size(), target);
        const Bytes header = headerOf(4, target);
        EXPECT_EQ(header.size(), target <= 191 ? 2u : target <= 8383 ? 3u : 6u);
        EXPECT_EQ(message.substr(message.size() - target - header.size()), header + sig.body);
        expectGood(gpg().verify(message), 1);
    }
    struct Large {
        const char *what;
        QELKeyObject *signer;
        std::int32_t packetVersion;
        std::vector<std::size_t> sizes;
        std::size_t atLeast, atMost;
    } large[] = {
        {"DSA just below 8383", dsa_, 4, {1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 170}, 8250, 8383},
        {"DSA past 8383", dsa_, 4, {1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 300}, 8384, 8450},
        {"RSA with both areas full", rsa_, 4, std::vector<std::size_t>(17, 1000), 17000, 18000},
        {"RSA in a version 3 packet", rsa_, 3, std::vector<std::size_t>(9, 1000), 9000, 10000},
    };
    for (const Large &l : large) {
        SCOPED_TRACE(l.what);
        Bytes message;
        const Packet sig = build(l.signer, l.packetVersion, l.sizes, message);
        EXPECT_GE(sig.body.size(), l.atLeast);
        EXPECT_LE(sig.body.size(), l.atMost);
        const Bytes header = headerOf(l.packetVersion, sig.body.size());
        const std::size_t at = l.packetVersion >= 4 ? message.size() - sig.body.size() - header.size() : 0;
        EXPECT_EQ(message.substr(at, header.size() + sig.body.size()), header + sig.body);
        expectGood(gpg().verify(message), 1);
    }
}

// An input without a byte still gets its signatures behind the (empty)
// literal packet.
TEST_F(SignatureModuleTest, EmptyInputIsSignedInMessageOrder)
{
    if (!GnuPGHome::available())
        GTEST_SKIP() << "gpg not installed";
    Specs chain;
    spec(chain, dsa_, 4, kSHA256);
    spec(chain, rsa_, 4, kSHA1);
    const Bytes message = signOnePass(chain.head, 4, Bytes());
    const std::vector<Packet> ps = packets(message);
    ASSERT_EQ(tags(ps), (std::vector<int>{4, 4, 11, 2, 2}));
    EXPECT_EQ(literalData(ps), "");
    expectGood(gpg().verify(message), 2);
}

// The detached flag: one-pass packets suppressed, the signatures alone reach
// the signature output; the data output ends in Dev Null. Version 4 without
// the flag gives one-pass packets followed directly by the signatures.
TEST_F(SignatureModuleTest, DetachedSignaturesVerifyAgainstTheData)
{
    if (!GnuPGHome::available())
        GTEST_SKIP() << "gpg not installed";
    const Bytes data = pattern(9999);
    for (std::uint8_t detached : {1, 0}) {
        SCOPED_TRACE(int(detached));
        Specs chain;
        spec(chain, dsa_, 4, kSHA512);
        spec(chain, rsa_, 4, kSHA256);
        QELPipeModule *head = nullptr;
        QELPipeModule **dataSlot = qelSignatureModuleCreate(ctx, &head, 4, qelByteFifoDescriptor());
        ASSERT_NE(dataSlot, nullptr);
        QELPipeModule **out = qelSignatureModuleAddSigners(head, chain.head, detached);
        ASSERT_NE(out, nullptr);
        ASSERT_NE(qelDevNullModuleCreate(ctx, dataSlot), nullptr);
        QELPipeModule *sink = qelVarMemoryModuleCreatePlain(ctx, out, QELVarMemoryNoLimit);
        ASSERT_NE(sink, nullptr);
        ASSERT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
        const Bytes message = take(sink); // annotations at the head go down the data path
        qelPipeDestroy(head);
        const std::vector<Packet> ps = packets(message);
        const std::vector<int> want = detached ? std::vector<int>{2, 2} : std::vector<int>{4, 4, 2, 2};
        ASSERT_EQ(tags(ps), want);
        // Each signature alone, as a detached signature file.
        for (std::size_t i = detached ? 0 : 2; i < ps.size(); ++i) {
            const Bytes file = headerOf(4, ps[i].body.size()) + ps[i].body;
            expectGood(gpg().verify(file, &data), 1);
        }
    }
}

// The Hash Module: a chain of one module per hash of a list hashes exactly
// what passed; signatures made from those running hashes are good detached
// signatures of the data.
TEST_F(SignatureModuleTest, HashModuleChainGivesDetachedSignatures)
{
    if (!GnuPGHome::available())
        GTEST_SKIP() << "gpg not installed";
    const std::uint8_t ids[] = {kSHA1, kSHA256, kSHA512};
    QELHashList *list = nullptr;
    ASSERT_EQ(qelHashListCreate(qelContextGetMemoryMgr(ctx), ids, &list, 3), QELError_NoErr);
    pipetest::Record rec;
    rec.takeAtMost = 1000; // the pump offers the rest again
    QELPipeModule *head = nullptr;
    QELPipeModule **end = qelHashModuleChainCreate(ctx, &head, list, 3);
    ASSERT_NE(end, nullptr);
    *end = pipetest::makeRecorder(ctx, &rec);
    const Bytes data = pattern(50000);
    ASSERT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
    EXPECT_EQ(rec.bytes, data);
    EXPECT_EQ(head->magic, QELPipeMagic_Hash);
    EXPECT_STREQ(head->name, "Hash Module");
    struct Signer {
        QELKeyObject *key;
        std::int32_t index;
    } signers[] = {{rsa_, 0}, {rsa_, 1}, {rsa_, 2}, {dsa_, 1}, {dsa_, 2}};
    for (const Signer &sg : signers) {
        QELHashContext *hash = qelHashListGet(list, sg.index);
        SCOPED_TRACE(hash->descriptor->name);
        for (std::uint32_t version : {3u, 4u}) {
            Specs chain;
            QELSigSpec *s = spec(chain, sg.key, version, ids[sg.index]);
            std::uint8_t *body = nullptr;
            const std::int64_t n = qelSigSpecMakePacket(s, hash, &body);
            ASSERT_GT(n, 0);
            const Bytes file = headerOf(4, std::size_t(n)) + Bytes(reinterpret_cast<char *>(body), std::size_t(n));
            EXPECT_EQ(qelContextMemFree(ctx, body), QELError_NoErr);
            expectGood(gpg().verify(file, &data), 1);
        }
    }
    qelPipeDestroy(head);
    qelHashListFree(list);
}

// Against the bare hash: a downstream that takes a few bytes at a time gets
// every byte hashed once; a count of 0 inserts nothing.
TEST_F(SignatureModuleTest, HashModuleHashesOnlyWhatWasTaken)
{
    QELHashContext *bare = nullptr;
    QELHashContext *running = nullptr;
    ASSERT_EQ(qelHashNew(ctx, kSHA256, &bare), QELError_NoErr);
    ASSERT_EQ(qelHashNew(ctx, kSHA256, &running), QELError_NoErr);
    const Bytes data = pattern(10007);
    ASSERT_EQ(qelHashUpdate(bare, data.data(), data.size()), QELError_NoErr);
    for (std::uint64_t takeAtMost : {1u, 7u, 4096u}) {
        SCOPED_TRACE(takeAtMost);
        ASSERT_EQ(qelHashReset(running), QELError_NoErr);
        pipetest::Record rec;
        rec.takeAtMost = takeAtMost;
        QELPipeModule *head = nullptr;
        QELPipeModule **end = qelHashModuleCreate(ctx, &head, running);
        ASSERT_NE(end, nullptr);
        *end = pipetest::makeRecorder(ctx, &rec);
        ASSERT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
        qelPipeDestroy(head);
        EXPECT_EQ(rec.ops.back(), "D");
        std::uint8_t a[32], b[32];
        QELHashContext *copy = nullptr;
        ASSERT_EQ(qelHashCopy(bare, &copy), QELError_NoErr);
        ASSERT_EQ(qelHashFinal(copy, a), QELError_NoErr);
        ASSERT_EQ(qelHashFree(copy), QELError_NoErr);
        ASSERT_EQ(qelHashFinal(running, b), QELError_NoErr); // the module does not own the hash
        EXPECT_EQ(hex(a, 32), hex(b, 32));
    }
    // A downstream that fails after some bytes: only those are hashed.
    {
        ASSERT_EQ(qelHashReset(running), QELError_NoErr);
        pipetest::Record rec;
        rec.failWrite = QELError_WriteFailed;
        rec.failAfterBytes = 5000;
        QELPipeModule *head = nullptr;
        *qelHashModuleCreate(ctx, &head, running) = pipetest::makeRecorder(ctx, &rec);
        EXPECT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), QELError_WriteFailed);
        qelPipeDestroy(head);
        QELHashContext *part = nullptr;
        ASSERT_EQ(qelHashNew(ctx, kSHA256, &part), QELError_NoErr);
        ASSERT_EQ(qelHashUpdate(part, data.data(), 5000), QELError_NoErr);
        std::uint8_t a[32], b[32];
        ASSERT_EQ(qelHashFinal(part, a), QELError_NoErr);
        ASSERT_EQ(qelHashFinal(running, b), QELError_NoErr);
        EXPECT_EQ(hex(a, 32), hex(b, 32));
        ASSERT_EQ(qelHashFree(part), QELError_NoErr);
    }
    pipetest::Record formerRecord;
    QELPipeModule *former = pipetest::makeRecorder(ctx, &formerRecord);
    QELPipeModule *slot = former;
    EXPECT_EQ(qelHashModuleChainCreate(ctx, &slot, nullptr, 0), &slot);
    EXPECT_EQ(slot, former);
    EXPECT_EQ(qelHashModuleChainCreate(ctx, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(qelHashModuleCreate(ctx, nullptr, running), nullptr);
    EXPECT_EQ(qelHashModuleCreate(ctx, &slot, nullptr), nullptr);
    EXPECT_EQ(slot, former);
    qelPipeDestroy(former);
    EXPECT_EQ(qelHashFree(bare), QELError_NoErr);
    EXPECT_EQ(qelHashFree(running), QELError_NoErr);
}

// Threaded Hash Modules against the bare hashes, on data long enough for
// their workers: every byte the downstream took is hashed once and in order
// (a downstream taking odd amounts), settling makes the hashes readable with
// the chain still in place, a failing downstream leaves only the bytes it
// took hashed, and a chain destroyed in the middle of the data (no end of
// input) stops cleanly with what it took hashed.
TEST_F(SignatureModuleTest, ThreadedHashChainHashesWhatWasTakenInOrder)
{
    const std::uint8_t ids[] = {kSHA1, kSHA512};
    const Bytes data = pattern(1500007);
    auto digestsOf = [&](std::size_t n) {
        std::string out;
        for (std::uint8_t id : ids) {
            QELHashContext *h = nullptr;
            EXPECT_EQ(qelHashNew(ctx, id, &h), QELError_NoErr);
            EXPECT_EQ(qelHashUpdate(h, data.data(), n), QELError_NoErr);
            std::uint8_t d[64] = {};
            EXPECT_EQ(qelHashFinal(h, d), QELError_NoErr);
            out += hex(d, h->descriptor->digestSize);
            EXPECT_EQ(qelHashFree(h), QELError_NoErr);
        }
        return out;
    };
    auto digestsIn = [&](QELHashList *list) {
        std::string out;
        for (std::int32_t i = 0; i < 2; ++i) {
            QELHashContext *copy = nullptr;
            EXPECT_EQ(qelHashCopy(qelHashListGet(list, i), &copy), QELError_NoErr);
            std::uint8_t d[64] = {};
            EXPECT_EQ(qelHashFinal(copy, d), QELError_NoErr);
            out += hex(d, copy->descriptor->digestSize);
            EXPECT_EQ(qelHashFree(copy), QELError_NoErr);
        }
        return out;
    };
    struct Case {
        const char *what;
        std::uint64_t takeAtMost;
        std::uint64_t failAfter; // ~0: never fails
        std::size_t offered;     // bytes written before the chain is destroyed
        bool pump;               // the buffer pump (4096-byte writes, end of input), or one write
        QELStatus status;
    } cases[] = {
        {"odd pieces", 1021, ~std::uint64_t{0}, data.size(), true, 0},
        {"one write", ~std::uint64_t{0}, ~std::uint64_t{0}, data.size(), false, 0},
        {"failing downstream", 65537, 700001, data.size(), false, QELError_WriteFailed},
        {"destroyed mid-stream", 100003, ~std::uint64_t{0}, 900000, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QELHashList *list = nullptr;
        ASSERT_EQ(qelHashListCreate(qelContextGetMemoryMgr(ctx), ids, &list, 2), QELError_NoErr);
        pipetest::Record rec;
        rec.takeAtMost = c.takeAtMost;
        if (c.failAfter != ~std::uint64_t{0}) {
            rec.failWrite = QELError_WriteFailed;
            rec.failAfterBytes = c.failAfter;
        }
        QELPipeModule *head = nullptr;
        QELPipeModule **end = qelHashModuleChainCreateThreaded(ctx, &head, list, 2);
        ASSERT_NE(end, nullptr);
        *end = pipetest::makeRecorder(ctx, &rec);
        EXPECT_EQ(c.pump ? qelPipePumpBuffer(head, data.data(), c.offered, nullptr, nullptr)
                         : qelPipeWriteAll(head, reinterpret_cast<const std::uint8_t *>(data.data()), c.offered),
                  c.status);
        const std::size_t taken = rec.bytes.size();
        EXPECT_EQ(rec.bytes, data.substr(0, taken));
        EXPECT_EQ(taken, std::min<std::size_t>(c.offered, c.failAfter));
        if (c.status == 0 && c.offered == data.size()) {
            qelHashModuleChainSettle(head);
            EXPECT_EQ(digestsIn(list), digestsOf(taken));
        }
        qelPipeDestroy(head);
        EXPECT_EQ(rec.ops.back(), "D");
        EXPECT_EQ(digestsIn(list), digestsOf(taken));
        qelHashListFree(list);
    }
}

// End of input inside an open scope writes no signature; the end outside
// every scope does, once.
TEST_F(SignatureModuleTest, EndOfInputInsideAScopeSignsNothing)
{
    Specs chain;
    spec(chain, rsa_, 4, kSHA256);
    pipetest::Record rec;
    QELPipeModule *head = onePassChain(chain.head, 4, pipetest::makeRecorder(ctx, &rec));
    const Bytes data = pattern(100);
    ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_BeginLiteral, nullptr, 0), 0);
    ASSERT_EQ(qelPipeWriteAll(head, u8(data), data.size()), 0);
    ASSERT_EQ(qelPipeExpectBytes(head, 0), 0);
    const Bytes inside = rec.bytes;
    ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_EndLiteral, nullptr, 0), 0);
    ASSERT_EQ(qelPipeExpectBytes(head, 0), 0);
    const Bytes once = rec.bytes;
    const std::vector<Packet> ps = packets(once);
    ASSERT_EQ(tags(ps), (std::vector<int>{4, 11, 2}));
    // What came out inside the scope ends before the signature packet.
    const std::size_t signatureAt = once.size() - ps[2].body.size() - headerOf(4, ps[2].body.size()).size();
    EXPECT_LE(inside.size(), signatureAt);
    EXPECT_EQ(once.substr(0, inside.size()), inside);
    ASSERT_EQ(qelPipeExpectBytes(head, 0), 0); // a repeat writes nothing more
    EXPECT_EQ(rec.bytes, once);
    qelPipeDestroy(head);
}

// A signature output that fails in the middle of a signature packet: the
// failure is returned, and the next end of input resumes where it stopped.
// A signing failure (a wrong pass phrase) is returned as it is.
TEST_F(SignatureModuleTest, AFailedSignatureWriteIsResumed)
{
    if (!GnuPGHome::available())
        GTEST_SKIP() << "gpg not installed";
    Specs chain;
    spec(chain, dsa_, 4, kSHA256);
    spec(chain, rsa_, 4, kSHA256);
    pipetest::Record rec;
    QELPipeModule *head = onePassChain(chain.head, 4, pipetest::makeRecorder(ctx, &rec));
    const Bytes data = pattern(2000);
    rec.failWrite = QELError_WriteFailed;
    rec.failAfterBytes = 2 * 15 + 2000 + 40; // inside the first signature packet
    ASSERT_EQ(qelPipeWriteAll(head, u8(data), data.size()), 0);
    EXPECT_EQ(qelPipeExpectBytes(head, 0), QELError_WriteFailed);
    rec.failWrite = 0;
    ASSERT_EQ(qelPipeExpectBytes(head, 0), 0);
    qelPipeDestroy(head);
    EXPECT_EQ(tags(packets(rec.bytes)), (std::vector<int>{4, 4, 11, 2, 2}));
    expectGood(gpg().verify(rec.bytes), 2);

    const std::string wrong = "not the pass phrase";
    Specs bad;
    spec(bad, rsa_, 4, kSHA256, &wrong);
    QELPipeModule *failing = onePassChain(bad.head, 4);
    EXPECT_EQ(qelPipePumpBuffer(failing, data.data(), data.size(), nullptr, nullptr), QELError_BadPassphrase);
    qelPipeDestroy(failing);
}

// Every allocation of building and running the module refused in turn: the
// step fails cleanly, and once the chain is destroyed nothing is left.
TEST_F(SignatureModuleTest, RefusedMemoryLeavesNothingBehind)
{
    Specs chain;
    spec(chain, dsa_, 4, kSHA256);
    spec(chain, rsa_, 4, kSHA1);
    const Bytes data = pattern(5000);
    qeltest::TestHeap heap;
    QELContextParams cp{QELSDKVersion, heap.make()};
    QELContext *context = nullptr;
    ASSERT_EQ(qelContextNewCustom(&cp, &context), QELError_NoErr);
    const long baseline = heap.live;
    bool completed = false;
    for (long nth = 1; nth < 200 && !completed; ++nth) {
        SCOPED_TRACE(nth);
        heap.countdown = nth;
        QELPipeModule *head = nullptr;
        QELPipeModule **dataSlot = qelSignatureModuleCreate(context, &head, 4, qelByteFifoDescriptor());
        QELPipeModule **joined = dataSlot != nullptr ? qelSignatureModuleAddSigners(head, chain.head, 0) : nullptr;
        QELPipeModule **literalEnd = joined != nullptr ? qelLiteralModuleCreate(context, dataSlot, 4,
                                                                                qelByteFifoDescriptor(), 'b', "x", 1, 0)
                                                       : nullptr;
        QELPipeModule **out = literalEnd != nullptr ? qelSignatureModuleJoinData(head, literalEnd) : nullptr;
        if (out != nullptr && qelVarMemoryModuleCreatePlain(context, out, QELVarMemoryNoLimit) != nullptr)
            completed = qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr) == 0 && heap.countdown > 0;
        if (dataSlot == nullptr) {
            EXPECT_EQ(head, nullptr);
        }
        qelPipeDestroy(head);
        heap.countdown = 0;
        EXPECT_EQ(heap.live, baseline);
    }
    EXPECT_TRUE(completed);
    EXPECT_EQ(qelContextFree(context), QELError_NoErr);
}

} // namespace
