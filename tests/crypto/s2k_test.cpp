// String-to-key specifiers: derivation against GnuPG (the session key of a
// symmetric-only message is the key derived from its specifier), against an
// independent RFC 4880 computation over OpenSSL digests, the count coding,
// parsing and the literal types.
#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelRandomContextInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHex.h"
#include "qelStringToKeyInternal.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#if defined(QEL_HAVE_OPENSSL)
#include <openssl/evp.h>
#endif

namespace {

using qeltest::Bytes;
using qeltest::fromHex;
using qeltest::toHex;

std::string run(const std::string &command, int *status = nullptr)
{
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    std::array<char, 512> buffer;
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        output.append(buffer.data(), n);
    const int rc = pclose(pipe);
    if (status != nullptr)
        *status = rc;
    return output;
}

std::uint32_t decodedCount(std::uint8_t c)
{
    return (16u + (c & 15u)) << ((c >> 4) + 6u);
}

// A random source that hands out scripted bytes and records every request.
struct ScriptedSource {
    Bytes bytes;
    std::size_t position = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> requests; // length, bits

    static void add(void *, const void *, std::uint32_t) {}
    static void stir(void *) {}
    static QELStatus get(void *state, void *buffer, std::uint32_t length, std::uint32_t bits)
    {
        auto *self = static_cast<ScriptedSource *>(state);
        self->requests.emplace_back(length, bits);
        for (std::uint32_t i = 0; i < length; ++i)
            static_cast<std::uint8_t *>(buffer)[i] =
                self->position < self->bytes.size() ? self->bytes[self->position++] : 0;
        return QELError_NoErr;
    }
    static constexpr QELRandomDescriptor descriptor = {"scripted", add, get, stir};

    QELRandomContext random{nullptr, &descriptor, this, nullptr};
};

#if defined(QEL_HAVE_OPENSSL)
// RFC 4880 section 3.7, written out plainly: the hashed string is built
// whole, and context i is preloaded with i zero octets.
Bytes referenceS2K(const char *digest, std::uint8_t type, const Bytes &salt, std::uint32_t count,
                   const std::string &passphrase, std::size_t keyLength)
{
    Bytes unit = salt;
    unit.insert(unit.end(), passphrase.begin(), passphrase.end());
    Bytes hashed;
    if (type == 0)
        hashed.assign(passphrase.begin(), passphrase.end());
    else if (type == 1)
        hashed = unit;
    else {
        const std::size_t total = std::max<std::size_t>(count, unit.size());
        while (hashed.size() < total)
            hashed.insert(hashed.end(), unit.begin(), unit.end());
        hashed.resize(total);
    }
    Bytes key;
    for (std::size_t i = 0; key.size() < keyLength; ++i) {
        const Bytes part = qeltest::peerDigest(digest, hashed.data(), hashed.size(), i);
        if (part.empty())
            break;
        key.insert(key.end(), part.begin(), part.end());
    }
    key.resize(keyLength);
    return key;
}
#endif

class S2KTest : public qeltest::SDKSuite {
protected:
    static Bytes derive(QELStringToKey *s2k, const std::string &passphrase, std::size_t keyLength,
                        QELStatus expected = 0)
    {
        Bytes key(keyLength, 0xEE);
        EXPECT_EQ(s2k->deriveKey(s2k, passphrase.data(), passphrase.size(), key.data(), keyLength),
                  expected);
        return key;
    }

    static Bytes specifierOf(const QELStringToKey *s2k)
    {
        return Bytes(s2k->specifier, s2k->specifier + s2k->specifierLength);
    }

};

struct GpgCase {
    int mode;
    std::int32_t hashId;
    const char *gpgDigest;    // GnuPG's name
    const char *pythonDigest; // hashlib's name, for the fallback
    const char *cipher;
    std::size_t keyLength;
    const char *passphrase;
    std::uint32_t count;      // mode 3 only
};

// What GnuPG wrote and derived for one message: the specifier bytes from the
// symmetric-key packet and the session key.
struct GpgResult {
    Bytes specifier;
    Bytes key;
};

class GnuPG {
public:
    GnuPG()
    {
        char pattern[] = "/tmp/qels2kgpgXXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        home_ = pattern;
        int status = -1;
        run("gpg --version >/dev/null 2>&1", &status);
        usable_ = status == 0;
    }
    ~GnuPG()
    {
        if (home_.empty())
            return;
        run("GNUPGHOME='" + home_ + "' gpgconf --kill all >/dev/null 2>&1");
        std::system(("rm -rf '" + home_ + "'").c_str());
    }
    bool usable() const { return usable_; }

    std::optional<GpgResult> derive(const GpgCase &c)
    {
        if (!usable_)
            return std::nullopt;
        const std::string env = "GNUPGHOME='" + home_ + "' ";
        const std::string plain = home_ + "/m.txt";
        const std::string sealed = home_ + "/m.gpg";
        std::ofstream(plain) << "message\n";
        std::remove(sealed.c_str());
        std::string encrypt = env + "gpg --batch --yes --no-symkey-cache --pinentry-mode loopback"
                              " --compress-algo none --passphrase '" + c.passphrase + "'" +
                              " --symmetric --s2k-mode " + std::to_string(c.mode) +
                              " --s2k-digest-algo " + c.gpgDigest + " --cipher-algo " + c.cipher;
        if (c.mode == 3)
            encrypt += " --s2k-count " + std::to_string(c.count);
        encrypt += " -o '" + sealed + "' '" + plain + "' 2>/dev/null";
        int status = -1;
        run(encrypt, &status);
        if (status != 0)
            return std::nullopt;

        std::ifstream in(sealed, std::ios::binary);
        const Bytes packet((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Symmetric-key encrypted session key packet (tag 3), old or new
        // header with a one-octet length: version 4, cipher, specifier.
        if (packet.size() < 4)
            return std::nullopt;
        const bool newFormat = (packet[0] & 0x40) != 0;
        const int tag = newFormat ? (packet[0] & 0x3F) : ((packet[0] >> 2) & 0x0F);
        const std::size_t bodyLength = packet[1];
        if (tag != 3 || packet.size() < 2 + bodyLength || bodyLength < 3 || packet[2] != 4)
            return std::nullopt;
        GpgResult result;
        result.specifier.assign(packet.begin() + 4, packet.begin() + 2 + static_cast<std::ptrdiff_t>(bodyLength));

        const std::string decrypt = env + "gpg --batch --no-symkey-cache --pinentry-mode loopback"
                                    " --passphrase '" + c.passphrase + "'" +
                                    " --status-fd 1 --show-session-key -o /dev/null -d '" + sealed +
                                    "' 2>/dev/null";
        const std::string status_lines = run(decrypt);
        const std::string marker = "SESSION_KEY ";
        const auto at = status_lines.find(marker);
        if (at == std::string::npos)
            return std::nullopt;
        const auto colon = status_lines.find(':', at);
        const auto end = status_lines.find_first_of("\r\n", colon);
        result.key = fromHex(status_lines.substr(colon + 1, end - colon - 1));
        return result;
    }

private:
    std::string home_;
    bool usable_ = false;
};

// The fallback oracle when GnuPG cannot be run: RFC 4880 section 3.7 in
// Python's hashlib.
Bytes pythonS2K(const GpgCase &c, const Bytes &specifier)
{
    std::string script =
        "import hashlib,sys\n"
        "mode,name,spec,pw,n=int(sys.argv[1]),sys.argv[2],bytes.fromhex(sys.argv[3]),sys.argv[4].encode(),int(sys.argv[5])\n"
        "salt=spec[2:10]\n"
        "if mode==0: data=pw\n"
        "elif mode==1: data=salt+pw\n"
        "else:\n"
        "  c=spec[10]; cnt=max((16+(c&15))<<((c>>4)+6),len(salt+pw))\n"
        "  data=((salt+pw)*(cnt//len(salt+pw)+1))[:cnt]\n"
        "out=b''\n"
        "i=0\n"
        "while len(out)<n:\n"
        "  out+=hashlib.new(name,b'\\0'*i+data).digest(); i+=1\n"
        "print(out[:n].hex())\n";
    const std::string path = "/tmp/qels2k_oracle.py";
    std::ofstream(path) << script;
    const std::string out = run("/usr/bin/python3 " + path + " " + std::to_string(c.mode) + " " +
                                c.pythonDigest + " " + toHex(specifier) + " '" + c.passphrase + "' " +
                                std::to_string(c.keyLength));
    std::remove(path.c_str());
    return fromHex(out.substr(0, out.find('\n')));
}

} // namespace

TEST_F(S2KTest, MatchesGnuPGSessionKeys)
{
    const GpgCase cases[] = {
        {0, QELHashAlgorithm_SHA1, "SHA1", "sha1", "AES256", 32, "simple one", 0},
        {0, QELHashAlgorithm_MD5, "MD5", "md5", "CAST5", 16, "md5 please", 0},
        {1, QELHashAlgorithm_SHA256, "SHA256", "sha256", "AES128", 16, "salted", 0},
        {1, QELHashAlgorithm_RIPEMD160, "RIPEMD160", "ripemd160", "AES256", 32, "salt and pepper", 0},
        {3, QELHashAlgorithm_SHA1, "SHA1", "sha1", "AES256", 32, "iterated passphrase", 65536},
        {3, QELHashAlgorithm_SHA1, "SHA1", "sha1", "CAST5", 16, "pw", 1024},
        {3, QELHashAlgorithm_SHA224, "SHA224", "sha224", "AES192", 24, "twenty-four", 100000},
        {3, QELHashAlgorithm_SHA384, "SHA384", "sha384", "3DES", 24, "triple", 3000000},
        {3, QELHashAlgorithm_SHA512, "SHA512", "sha512", "AES256", 32,
         "a much longer passphrase with spaces in it and more", 2048},
    };
    GnuPG gpg;
    int fallbacks = 0;
    for (const GpgCase &c : cases) {
        SCOPED_TRACE(std::string("mode ") + std::to_string(c.mode) + " " + c.gpgDigest + " " + c.cipher);
        if (qelHashDescriptorFind(c.hashId) == nullptr)
            continue;
        Bytes specifier;
        Bytes expected;
        if (auto result = gpg.derive(c)) {
            specifier = result->specifier;
            expected = result->key;
        } else {
            // GnuPG unusable here: a specifier of our own, checked by Python.
            ++fallbacks;
            specifier = {static_cast<std::uint8_t>(c.mode), static_cast<std::uint8_t>(c.hashId)};
            if (c.mode != 0)
                specifier.insert(specifier.end(), {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
            if (c.mode == 3)
                specifier.push_back(0x60);
            expected = pythonS2K(c, specifier);
        }
        ASSERT_EQ(expected.size(), c.keyLength);

        QELStringToKey *s2k = nullptr;
        ASSERT_EQ(qelS2KParse(&s2k, context, specifier.data(), specifier.size()),
                  static_cast<QELStatus>(specifier.size()));
        ASSERT_NE(s2k, nullptr);
        EXPECT_EQ(specifierOf(s2k), specifier);
        EXPECT_EQ(derive(s2k, c.passphrase, c.keyLength), expected);
        s2k->destroy(s2k);
    }
    if (fallbacks > 0)
        std::printf("GnuPG unusable for %d cases; checked against Python instead\n", fallbacks);
}

TEST_F(S2KTest, CountCoding)
{
    const std::uint8_t salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const QELHashDescriptor *sha1 = qelHashDescriptorFind(QELHashAlgorithm_SHA1);
    ASSERT_NE(sha1, nullptr);
    const struct {
        std::uint32_t octets;
        std::uint8_t coded;
    } table[] = {
        {0, 0},         {1000, 0},      {1024, 0},       {2048, 0x10},       {32768, 0x50},
        {65536, 0x60},  {0x3DFFFFF, 255}, {0x3E00000, 255}, {0xFFFFFFFF, 255},
    };
    for (const auto &row : table) {
        QELStringToKey *s2k = qelS2KNewIterated(context, sha1, salt, row.octets);
        ASSERT_NE(s2k, nullptr);
        ASSERT_EQ(s2k->specifierLength, 11u);
        EXPECT_EQ(s2k->specifier[10], row.coded) << row.octets;
        s2k->destroy(s2k);
    }
    // Every count on the grid codes back to its own byte.
    for (unsigned c = 0; c < 256; ++c) {
        QELStringToKey *s2k = qelS2KNewIterated(context, sha1, salt, decodedCount(static_cast<std::uint8_t>(c)));
        ASSERT_NE(s2k, nullptr);
        EXPECT_EQ(s2k->specifier[10], c);
        s2k->destroy(s2k);
    }
}

TEST_F(S2KTest, ParseResults)
{
    const struct {
        Bytes bytes;
        QELStatus expected;
    } table[] = {
        {{}, QELError_BadParams},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9}, QELError_BadParams},  // salted needs 10
        {{1}, QELError_BadParams},
        {{0}, QELError_BadParams},
        {{3, 2, 1, 2, 3, 4, 5, 6, 7, 8}, QELError_BadParams}, // iterated needs 11
        {{0, 2, 7}, 2},
        {{1, 2, 1, 2, 3, 4, 5, 6, 7, 8}, 10},
        {{3, 2, 1, 2, 3, 4, 5, 6, 7, 8, 0x60, 0xFF}, 11},
        {{4, 9, 9}, 1},
        {{5}, 1},
        {{2}, QELError_UnknownS2KType},
        {{6, 2}, QELError_UnknownS2KType},
        {{0xFF, 2}, QELError_UnknownS2KType},
        {{0, 4}, QELError_UnknownHashAlgorithm},
        {{1, 7, 1, 2, 3, 4, 5, 6, 7, 8}, QELError_UnknownHashAlgorithm},
    };
    for (const auto &row : table) {
        EXPECT_EQ(qelS2KParse(nullptr, context, row.bytes.data(), row.bytes.size()), row.expected)
            << toHex(row.bytes);
        QELStringToKey *s2k = reinterpret_cast<QELStringToKey *>(0x1);
        EXPECT_EQ(qelS2KParse(&s2k, context, row.bytes.data(), row.bytes.size()), row.expected);
        if (row.expected > 0) {
            ASSERT_NE(s2k, nullptr);
            EXPECT_EQ(s2k->specifierLength, static_cast<std::uint32_t>(row.expected));
            EXPECT_EQ(specifierOf(s2k), Bytes(row.bytes.begin(), row.bytes.begin() + row.expected));
            s2k->destroy(s2k);
        } else {
            EXPECT_EQ(s2k, nullptr);
        }
    }
}

#if defined(QEL_HAVE_OPENSSL)
TEST_F(S2KTest, DerivationEdgeCasesMatchReference)
{
    const Bytes salt = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18};
    const std::string longPass(5000, 'p'); // longer than any internal piece
    const struct {
        const char *name;
        std::int32_t id;
        std::uint8_t type;
        std::uint8_t coded;
        std::string passphrase;
        std::size_t keyLength;
    } table[] = {
        {"SHA1", QELHashAlgorithm_SHA1, 0, 0, "passphrase", 32},      // digest(P) | digest(0, P)
        {"SHA1", QELHashAlgorithm_SHA1, 0, 0, "passphrase", 20},
        {"SHA1", QELHashAlgorithm_SHA1, 0, 0, "", 7},
        {"SHA1", QELHashAlgorithm_SHA1, 1, 0, "", 16},                // salt only
        {"MD5", QELHashAlgorithm_MD5, 1, 0, "x", 64},                 // four states
        {"SHA1", QELHashAlgorithm_SHA1, 3, 0, "0123456789", 16},      // 56 rounds of 18, then 16
        {"SHA1", QELHashAlgorithm_SHA1, 3, 0, std::string(2000, 'q'), 16}, // count below L + 8
        {"SHA1", QELHashAlgorithm_SHA1, 3, 0x60, longPass, 24},
        {"SHA256", QELHashAlgorithm_SHA256, 3, 0x60, "", 32},         // salt repeated
        {"SHA256", QELHashAlgorithm_SHA256, 3, 0xC0, std::string(4089, 'z'), 33},
        {"SHA512", QELHashAlgorithm_SHA512, 3, 0x21, "seven77", 100},
        {"RIPEMD160", QELHashAlgorithm_RIPEMD160, 3, 0x13, "ab", 21},
    };
    for (const auto &row : table) {
        const QELHashDescriptor *d = qelHashDescriptorFind(row.id);
        if (d == nullptr || EVP_get_digestbyname(row.name) == nullptr)
            continue;
        QELStringToKey *s2k = row.type == 0   ? qelS2KNewSimple(context, d)
                              : row.type == 1 ? qelS2KNewSalted(context, d, salt.data())
                                              : qelS2KNewIteratedCoded(context, d, salt.data(), row.coded);
        ASSERT_NE(s2k, nullptr);
        EXPECT_EQ(s2k->specifier[1], row.id);
        EXPECT_EQ(derive(s2k, row.passphrase, row.keyLength),
                  referenceS2K(row.name, row.type, salt, decodedCount(row.coded), row.passphrase,
                               row.keyLength))
            << row.name << " type " << int(row.type) << " L " << row.passphrase.size();
        Bytes untouched(4, 0x5A);
        EXPECT_EQ(s2k->deriveKey(s2k, "pw", 2, untouched.data(), 0), 0);
        EXPECT_EQ(untouched, Bytes(4, 0x5A));
        s2k->destroy(s2k);
    }
}

TEST_F(S2KTest, NewDrawsSaltAndDefaultsToIteratedSHA1)
{
    ScriptedSource source;
    source.bytes = {9, 8, 7, 6, 5, 4, 3, 2};
    QELStringToKey *s2k = qelS2KNew(context, &source.random, QELS2KType_IteratedSalted);
    ASSERT_NE(s2k, nullptr);
    EXPECT_EQ(specifierOf(s2k), (Bytes{3, 2, 9, 8, 7, 6, 5, 4, 3, 2, 0x50}));
    ASSERT_EQ(source.requests.size(), 1u);
    EXPECT_EQ(source.requests[0], std::make_pair(8u, 64u));
    EXPECT_EQ(derive(s2k, "secret", 16),
              referenceS2K("SHA1", 3, {9, 8, 7, 6, 5, 4, 3, 2}, 32768, "secret", 16));
    s2k->destroy(s2k);

    source.position = 0;
    s2k = qelS2KNewIteratedSHA1(context, &source.random);
    ASSERT_NE(s2k, nullptr);
    EXPECT_EQ(specifierOf(s2k), (Bytes{3, 2, 9, 8, 7, 6, 5, 4, 3, 2, 0x50}));
    s2k->destroy(s2k);

    source.position = 0;
    s2k = qelS2KNew(context, &source.random, QELS2KType_Salted);
    ASSERT_NE(s2k, nullptr);
    EXPECT_EQ(specifierOf(s2k), (Bytes{1, 2, 9, 8, 7, 6, 5, 4, 3, 2}));
    s2k->destroy(s2k);

    const std::size_t before = source.requests.size();
    s2k = qelS2KNew(context, &source.random, QELS2KType_Simple);
    ASSERT_NE(s2k, nullptr);
    EXPECT_EQ(specifierOf(s2k), (Bytes{0, 2}));
    EXPECT_FALSE(qelS2KIsSimpleMD5(s2k));
    s2k->destroy(s2k);
    EXPECT_EQ(source.requests.size(), before); // no salt for the simple type

    EXPECT_EQ(qelS2KNew(context, &source.random, 2), nullptr);
    EXPECT_EQ(qelS2KNew(context, &source.random, 6), nullptr);

    s2k = qelS2KNewSimpleMD5(context);
    ASSERT_NE(s2k, nullptr);
    EXPECT_TRUE(qelS2KIsSimpleMD5(s2k));
    s2k->destroy(s2k);
}
#endif

TEST_F(S2KTest, LiteralTypesCopyThePassphrase)
{
    for (QELStringToKey *s2k : {qelS2KNewLiteralA(context), qelS2KNewLiteralB(context)}) {
        ASSERT_NE(s2k, nullptr);
        ASSERT_EQ(s2k->specifierLength, 1u);
        const std::string passphrase = "0123456789abcdefghijklmn"; // 24 bytes
        const Bytes key = derive(s2k, passphrase, 24);
        EXPECT_EQ(key, Bytes(passphrase.begin(), passphrase.end()));
        Bytes shortKey(23, 0xEE);
        EXPECT_EQ(s2k->deriveKey(s2k, passphrase.data(), 23, shortKey.data(), 24), QELError_BadParams);
        EXPECT_EQ(s2k->deriveKey(s2k, passphrase.data(), 24, shortKey.data(), 0), 0);
        EXPECT_EQ(shortKey, Bytes(23, 0xEE));
        s2k->destroy(s2k);
    }
    QELStringToKey *a = qelS2KNew(context, nullptr, QELS2KType_LiteralA);
    QELStringToKey *b = qelS2KNew(context, nullptr, QELS2KType_LiteralB);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->specifier[0], 4);
    EXPECT_EQ(b->specifier[0], 5);
    a->destroy(a);
    b->destroy(b);
}
