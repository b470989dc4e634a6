// The cipher modules against GnuPG both ways, for every cipher both sides
// know, tag 9 and tag 18; the MDC check on tampered bodies; and the module's
// own edges: prefix sizes, hold-back across the ring's wrap, slow and failing
// downstream modules, scopes and the per-chunk callback.
#include "qelAlgorithms.h"
#include "qelCipherTestUtil.h"
#include "qelContextInternal.h"
#include "qelFlexFifoInternal.h"
#include "qelHashInternal.h"
#include "qelAddHeaderModuleInternal.h"
#include "qelPipeTestModule.h"
#include "qelSessionKeyItemInternal.h"
#include "qelSettingsInternal.h"
#include "qelStringToKeyInternal.h"
#include "qelSymKeyESKInternal.h"

#include <gtest/gtest.h>

#include <random>

#ifdef QEL_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

using namespace ciphertest;

const auto *const gEnv = qeltest::addHomeEnvironment("qelcipher", qeltest::HomeEnvironment::SDK::Up);

struct CipherName {
    std::uint8_t id;
    const char *gpg;
};
constexpr CipherName kCiphers[] = {
    {QELCipherAlgorithm_IDEA, "IDEA"},       {QELCipherAlgorithm_3DES, "3DES"},
    {QELCipherAlgorithm_CAST5, "CAST5"},     {QELCipherAlgorithm_Blowfish, "BLOWFISH"},
    {QELCipherAlgorithm_AES128, "AES"},      {QELCipherAlgorithm_AES192, "AES192"},
    {QELCipherAlgorithm_AES256, "AES256"},   {QELCipherAlgorithm_Twofish, "TWOFISH"},
};

class CipherModuleTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override { EXPECT_EQ(qelContextFree(context_), QELError_NoErr); }

    // Keys, salts and prefixes for the tests: any bytes will do, so they
    // need not drain the random pool.
    Bytes random(std::size_t n) { return pattern(n, ++draws_); }

    QELCFBContext *keyedCFB(const Bytes &keyBlock)
    {
        const QELCipherDescriptor *d = qelCipherDescriptorFind(std::uint8_t(keyBlock[0]));
        QELCFBContext *cfb = qelCFBCreateForDescriptor(qelContextGetMemoryMgr(context_), d);
        EXPECT_NE(cfb, nullptr);
        EXPECT_EQ(qelCFBInit(cfb, keyBlock.data() + 1, nullptr), 0);
        return cfb;
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

    // A message as the encode chain writes it: literal, cipher, symmetric-key
    // session-key packet. With `sealed` the packet carries a random session
    // key encrypted under the passphrase's key; otherwise the passphrase's
    // key is the session key.
    Bytes encryptHere(std::uint8_t cipher, bool mdc, std::int32_t version, bool sealed, const Bytes &passphrase,
                      const Bytes &data)
    {
        const QELCipherDescriptor *d = qelCipherDescriptorFind(cipher);
        const Bytes salt = random(8);
        QELStringToKey *s2k = qelS2KNewIterated(context_, qelHashDescriptorFind(QELHashAlgorithm_SHA256),
                                                u8(salt), 2048);
        EXPECT_NE(s2k, nullptr);
        Bytes keyBlock(1 + d->keySize, '\0');
        keyBlock[0] = char(cipher);
        if (sealed) {
            keyBlock.replace(1, d->keySize, random(d->keySize));
        } else {
            EXPECT_EQ(s2k->deriveKey(s2k, passphrase.data(), passphrase.size(), keyBlock.data() + 1, d->keySize),
                      0);
        }
        QELSymKeyPassphrase entry{nullptr, nullptr, u8(passphrase), passphrase.size()};
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = qelLiteralModuleCreate(context_, &head, 4, qelFlexFifoDescriptor(), 'b', "f.bin", 5,
                                                      0x5F000000);
        QELCFBContext *cfb = keyedCFB(keyBlock);
        const Bytes prefix = random(d->blockSize);
        slot = qelCipherEncryptModuleCreate(context_, slot, version, qelFlexFifoDescriptor(), cfb, u8(prefix),
                                            nullptr, mdc ? 1 : 0);
        EXPECT_NE(slot, nullptr);
        slot = qelSymKeyESKCreate(context_, slot, 4, qelFlexFifoDescriptor(), s2k, &entry, cipher,
                                  sealed ? u8(keyBlock) : nullptr);
        EXPECT_NE(slot, nullptr);
        EXPECT_NE(qelVarMemoryModuleCreatePlain(context_, slot, QELVarMemoryNoLimit), nullptr);
        EXPECT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
        Bytes out = take(head);
        qelPipeDestroy(head);
        s2k->destroy(s2k);
        return out;
    }

    QELContext *context_ = nullptr;
    unsigned draws_ = 100;
};

TEST_F(CipherModuleTest, GnuPGDecryptsWhatWeEncrypt)
{
    Gpg gpg;
    const Bytes passphrase = "open sesame";
    const Bytes data = pattern(20000, 7);
    int n = 0;
    for (const CipherName &c : kCiphers)
        for (bool mdc : {false, true}) {
            ++n;
            const bool sealed = n % 2 == 0;
            const std::int32_t version = (!mdc && n % 3 == 0) ? 3 : 4; // old-format tag 9 too
            SCOPED_TRACE(std::string(c.gpg) + (mdc ? " tag 18" : " tag 9") + (sealed ? " sealed" : "") +
                         " v" + std::to_string(version));
            const Bytes message = encryptHere(c.id, mdc, version, sealed, passphrase, data);
            const auto packets = cutPackets(message);
            ASSERT_EQ(packets.size(), 2u);
            EXPECT_EQ(packets[0].tag, 3);
            EXPECT_EQ(packets[1].tag, mdc ? 18 : 9);
            gpg.put("in.gpg", message);
            std::remove(gpg.file("out").c_str());
            EXPECT_EQ(gpg.run("--passphrase '" + passphrase + "' " + (mdc ? "" : "--ignore-mdc-error ") +
                              "-o " + gpg.file("out") + " --decrypt " + gpg.file("in.gpg")),
                      0)
                << gpg.errors();
            EXPECT_TRUE(gpg.get("out") == data);
        }
}

TEST_F(CipherModuleTest, WeDecryptWhatGnuPGEncrypts)
{
    Gpg gpg;
    const Bytes data = pattern(30000, 3);
    gpg.put("plain", data);
    const char *s2k[] = {"--s2k-mode 3 --s2k-digest-algo SHA1 --s2k-count 1024",
                         "--s2k-mode 1 --s2k-digest-algo SHA256", "--s2k-mode 3 --s2k-digest-algo SHA512 --s2k-count 65536",
                         "--s2k-mode 0 --s2k-digest-algo MD5"};
    const std::size_t pieces[] = {1, 7, 4096, 8191, 9000};
    int n = 0;
    for (const CipherName &c : kCiphers)
        for (const char *mode : {"--force-mdc", "--rfc2440"}) {
            ++n;
            SCOPED_TRACE(std::string(c.gpg) + " " + mode + " " + s2k[n % 4]);
            const Bytes passphrase = "pass " + std::to_string(n);
            ASSERT_EQ(gpg.run(std::string(mode) + " --compress-algo none --cipher-algo " + c.gpg + " " + s2k[n % 4] +
                              " --passphrase '" + passphrase + "' -o " + gpg.file("msg") + " --symmetric " +
                              gpg.file("plain")),
                      0)
                << gpg.errors();
            const auto packets = cutPackets(gpg.get("msg"));
            const Packet *esk = findPacket(packets, 3);
            const bool mdc = std::string(mode) == "--force-mdc";
            const Packet *enc = findPacket(packets, mdc ? 18 : 9);
            ASSERT_NE(esk, nullptr);
            ASSERT_NE(enc, nullptr);
            QELSessionKeyItem *list = nullptr;
            ASSERT_EQ(qelSessionKeyItemAdd(context_, &list, QELAnnotation_SymmetricKeyESK, esk->body.data(),
                                           esk->body.size()),
                      0);
            Bytes keyBlock(qelSessionKeyItemKeyLength(list), '\0');
            std::int32_t got = qelSessionKeyFromPassphrase(list, nullptr, passphrase.data(), passphrase.size(),
                                                           reinterpret_cast<std::uint8_t *>(keyBlock.data()));
            qelSessionKeyListFree(list);
            ASSERT_EQ(got, std::int32_t(1 + qelCipherDescriptorFind(c.id)->keySize));
            EXPECT_EQ(std::uint8_t(keyBlock[0]), c.id);
            Opened o = openEncrypted(context_, enc->tag, enc->body, u8(keyBlock), pieces[n % 5]);
            EXPECT_EQ(o.status, 0);
            EXPECT_TRUE(o.quickCheck);
            EXPECT_EQ(o.mdcMatches, mdc);
            EXPECT_EQ(o.mdcSize, mdc ? 20u : 0u);
            if (!mdc) {
                EXPECT_EQ(o.trailer, Bytes(22, '\0')); // no MDC: zeroed answers
            }
            EXPECT_TRUE(literalData(o.plain) == data);
        }
}

TEST_F(CipherModuleTest, FlippedByteFailsTheMdcCheck)
{
    Gpg gpg;
    const Bytes data = pattern(5000, 11);
    gpg.put("plain", data);
    ASSERT_EQ(gpg.run("--force-mdc --compress-algo none --cipher-algo AES --s2k-count 1024 --passphrase pw -o " +
                      gpg.file("msg") + " --symmetric " + gpg.file("plain")),
              0);
    const auto packets = cutPackets(gpg.get("msg"));
    const Packet *esk = findPacket(packets, 3);
    const Packet *enc = findPacket(packets, 18);
    ASSERT_TRUE(esk != nullptr && enc != nullptr);
    QELSessionKeyItem *list = nullptr;
    ASSERT_EQ(qelSessionKeyItemAdd(context_, &list, QELAnnotation_SymmetricKeyESK, esk->body.data(), esk->body.size()),
              0);
    std::uint8_t keyBlock[33];
    ASSERT_EQ(qelSessionKeyFromPassphrase(list, nullptr, "pw", 2, keyBlock), 17);
    qelSessionKeyListFree(list);

    EXPECT_TRUE(openEncrypted(context_, 18, enc->body, keyBlock).mdcMatches);
    const std::size_t places[] = {enc->body.size() / 2, 40, enc->body.size() - 25, enc->body.size() - 1};
    for (std::size_t at : places) {
        SCOPED_TRACE(at);
        Bytes bad = enc->body;
        bad[at] = char(bad[at] ^ 0x04);
        Opened o = openEncrypted(context_, 18, bad, keyBlock, 1000);
        EXPECT_TRUE(o.quickCheck);
        EXPECT_FALSE(o.mdcMatches);
    }
}

TEST_F(CipherModuleTest, BodyPrefixSizes)
{
    // 8-byte blocks: 10 (tag 9) and 11 (tag 18) bytes in front of the data;
    // 16-byte blocks: 18 and 19. Tag 18 ends with the 22-byte MDC packet.
    struct Case {
        std::uint8_t cipher;
        bool mdc;
        std::size_t overhead;
    } cases[] = {{QELCipherAlgorithm_CAST5, false, 10},
                 {QELCipherAlgorithm_CAST5, true, 11 + 22},
                 {QELCipherAlgorithm_AES128, false, 18},
                 {QELCipherAlgorithm_AES256, true, 19 + 22}};
    const Bytes data = pattern(100);
    for (const Case &c : cases) {
        const QELCipherDescriptor *d = qelCipherDescriptorFind(c.cipher);
        Bytes keyBlock = char(c.cipher) + random(d->keySize);
        const Bytes prefix = random(d->blockSize);
        QELPipeModule *head = nullptr;
        QELCFBContext *cfb = keyedCFB(keyBlock);
        QELPipeModule **slot = qelCipherEncryptModuleCreate(context_, &head, 3, qelFlexFifoDescriptor(), cfb,
                                                            u8(prefix), nullptr, c.mdc ? 1 : 0);
        ASSERT_NE(slot, nullptr);
        ASSERT_NE(qelVarMemoryModuleCreatePlain(context_, slot, QELVarMemoryNoLimit), nullptr);
        ASSERT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
        const auto packets = cutPackets(take(head));
        qelPipeDestroy(head);
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(packets[0].tag, c.mdc ? 18 : 9);
        EXPECT_EQ(packets[0].body.size(), data.size() + c.overhead);
        Opened o = openEncrypted(context_, packets[0].tag, packets[0].body, u8(keyBlock), 33);
        EXPECT_TRUE(o.quickCheck);
        EXPECT_TRUE(o.plain == data);
        EXPECT_EQ(o.mdcMatches, c.mdc);
    }
}

TEST_F(CipherModuleTest, HoldBackAcrossTheRingWrap)
{
    // Lengths around the ring size, written in pieces that leave the 22
    // held-back bytes wrapped around the ring's end, in pieces around one
    // 64-byte hash block with and without the held-back bytes after it, and
    // in GnuPG's 8 KiB partial bodies and more, which the module takes in
    // one chunk each from the ring's start; its downstream takes all of each
    // write, or a few bytes at a time, leaving more than the held-back bytes
    // in the ring (which then wraps).
    const Bytes keyBlock = char(QELCipherAlgorithm_AES128) + random(16);
    for (std::size_t length : {std::size_t{0}, std::size_t{21}, std::size_t{8170}, std::size_t{8192},
                               std::size_t{8200}, std::size_t{3 * 8192 + 5}})
        for (std::size_t piece : {std::size_t{1}, std::size_t{8191}, std::size_t{5000}, std::size_t{85},
                                  std::size_t{86}, std::size_t{150}, std::size_t{64 * 3 + 21}, QELCipherChunkSize,
                                  QELCipherRingSize + 1})
            for (std::uint64_t taking : {~std::uint64_t{0}, std::uint64_t{4097}, std::uint64_t{61}}) {
                SCOPED_TRACE(std::to_string(length) + "/" + std::to_string(piece) + "/" + std::to_string(taking));
                const Bytes data = pattern(length, unsigned(length));
                QELPipeModule *head = nullptr;
                QELCFBContext *cfb = keyedCFB(keyBlock);
                const Bytes prefix = random(16);
                QELPipeModule **slot = qelCipherEncryptModuleCreate(context_, &head, 4, qelFlexFifoDescriptor(), cfb,
                                                                    u8(prefix), nullptr, 1);
                ASSERT_NE(qelVarMemoryModuleCreatePlain(context_, slot, QELVarMemoryNoLimit), nullptr);
                ASSERT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
                const auto packets = cutPackets(take(head));
                qelPipeDestroy(head);
                ASSERT_EQ(packets.size(), 1u);
                Opened o = openEncrypted(context_, 18, packets[0].body, u8(keyBlock), piece, taking);
                EXPECT_TRUE(o.plain == data);
                EXPECT_TRUE(o.mdcMatches);
            }
}

#ifdef QEL_HAVE_OPENSSL
// Tag 18 bodies made with OpenSSL (AES-CFB with a zero IV over the prefix,
// the data and the detection packet, whose digest is OpenSSL's SHA-1 of all
// before it), random lengths and all three key sizes, opened with a first
// write that puts the second one at every offset within a 64-byte hash
// block, and later writes of several sizes: the module gives the data back
// and its digest matches the one in the packet, on whichever path the
// processor offers (and on the portable one in the portable run).
TEST_F(CipherModuleTest, OpensWhatOpenSSLEncryptsAtEveryHashBlockOffset)
{
    struct Aes {
        std::uint8_t id;
        const EVP_CIPHER *(*cipher)();
    } kAes[] = {{QELCipherAlgorithm_AES128, EVP_aes_128_cfb128},
                {QELCipherAlgorithm_AES192, EVP_aes_192_cfb128},
                {QELCipherAlgorithm_AES256, EVP_aes_256_cfb128}};
    const std::size_t kLater[] = {QELCipherChunkSize, 4096 + 37, 1000, 64 * 5 + 21, 150};
    std::mt19937 rng(25);
    for (const Aes &aes : kAes)
        for (std::size_t first = 1; first <= 64; ++first) {
            const std::size_t later = kLater[first % std::size(kLater)];
            const std::size_t length = first % 4 == 0 ? rng() % 200 : rng() % (3 * QELCipherChunkSize + 100);
            SCOPED_TRACE(std::to_string(aes.id) + " " + std::to_string(length) + ": " + std::to_string(first) +
                         " then " + std::to_string(later));
            const std::size_t keySize = qelCipherDescriptorFind(aes.id)->keySize;
            Bytes keyBlock(1 + keySize, char(aes.id)), plain(18 + length + 22, '\0');
            for (std::size_t i = 1; i < keyBlock.size(); ++i)
                keyBlock[i] = char(rng());
            for (std::size_t i = 0; i < 18 + length; ++i)
                plain[i] = char(rng());
            plain[16] = plain[14];
            plain[17] = plain[15];
            plain[18 + length] = char(0xD3);
            plain[18 + length + 1] = char(0x14);
            unsigned digestSize = 0;
            ASSERT_EQ(EVP_Digest(plain.data(), 18 + length + 2, reinterpret_cast<unsigned char *>(&plain[18 + length + 2]),
                                 &digestSize, EVP_sha1(), nullptr),
                      1);
            ASSERT_EQ(digestSize, 20u);
            Bytes body(1 + plain.size(), '\1');
            EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
            const unsigned char iv[16] = {};
            int n = 0;
            const bool encrypted =
                EVP_EncryptInit_ex(ctx, aes.cipher(), nullptr, u8(keyBlock) + 1, iv) == 1 &&
                EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(&body[1]), &n, u8(plain),
                                  int(plain.size())) == 1 &&
                n == int(plain.size());
            EVP_CIPHER_CTX_free(ctx);
            ASSERT_TRUE(encrypted);
            Opened o = openEncrypted(context_, 18, body, u8(keyBlock), later, ~std::uint64_t{0}, first);
            EXPECT_EQ(o.status, 0);
            EXPECT_TRUE(o.quickCheck);
            EXPECT_TRUE(o.mdcMatches);
            EXPECT_TRUE(o.plain == plain.substr(18, length));
        }
}
#endif

TEST_F(CipherModuleTest, TrailerQueriesNeverReadMoreThanIsHeld)
{
    // A stream shorter than the detection packet: the trailer answer holds
    // only the bytes there are, whatever the size of the buffer asked with.
    const Bytes keyBlock = char(QELCipherAlgorithm_AES128) + random(16);
    std::uint8_t prefix[18] = {};
    QELPipeModule *head = nullptr;
    QELPipeModule **slot = qelCipherDecryptModuleCreate(context_, &head, keyedCFB(keyBlock), nullptr, 1, prefix);
    pipetest::Record sink;
    *slot = pipetest::makeRecorder(context_, &sink);
    const Bytes cipherText = pattern(5, 2);
    ASSERT_EQ(qelPipeWriteAll(head, u8(cipherText), cipherText.size()), 0);
    ASSERT_EQ(qelPipeExpectBytes(head, 0), 0);
    EXPECT_TRUE(sink.bytes.empty());
    QELCFBContext *bare = keyedCFB(keyBlock);
    Bytes plain(5, '\0');
    ASSERT_EQ(qelCFBDecryptInternal(bare, cipherText.data(), 5, plain.data()), 0);
    ASSERT_EQ(qelCFBFree(bare), 0);
    for (std::size_t size : {std::size_t{2}, std::size_t{22}, std::size_t{100}}) {
        Bytes trailer(size, '\x77');
        ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_MdcTrailer, trailer.data(), size), 0);
        std::size_t n = std::min<std::size_t>(size, 5);
        EXPECT_TRUE(trailer == plain.substr(0, n) + Bytes(size - n, '\0'));
    }
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_MdcTrailer, nullptr, 0), 0);
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_MdcHash, nullptr, 0), 0);
    std::uint64_t size = 0;
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_MdcSize, &size, 8), 0);
    EXPECT_EQ(size, 20u);
    qelPipeDestroy(head);
}

TEST_F(CipherModuleTest, SlowFailingAndScopedDownstream)
{
    const Bytes keyBlock = char(QELCipherAlgorithm_CAST5) + random(16);
    const Bytes cipherText = pattern(10000, 5);
    std::uint8_t prefix[10] = {};
    // What bare CFB gives for the same bytes.
    QELCFBContext *bare = keyedCFB(keyBlock);
    Bytes expected(cipherText.size(), '\0');
    ASSERT_EQ(qelCFBDecryptInternal(bare, cipherText.data(), cipherText.size(), expected.data()), 0);
    ASSERT_EQ(qelCFBFree(bare), 0);

    pipetest::Record slow;
    slow.takeAtMost = 5;
    QELPipeModule *head = nullptr;
    QELPipeModule **slot = qelCipherDecryptModuleCreate(context_, &head, keyedCFB(keyBlock), nullptr, 0, prefix);
    ASSERT_NE(slot, nullptr);
    *slot = pipetest::makeRecorder(context_, &slow);
    EXPECT_EQ(qelPipeWriteAll(head, u8(cipherText), cipherText.size()), 0);
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_BeginLiteral, nullptr, 0), 0);
    EXPECT_EQ(qelPipeExpectBytes(head, 0), 0); // inside a scope: not passed on
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_EndLiteral, nullptr, 0), 0);
    EXPECT_EQ(qelPipeExpectBytes(head, 0), 0);
    qelPipeDestroy(head);
    EXPECT_TRUE(slow.bytes == expected);
    std::vector<std::string> framing = pipetest::framing(slow.ops);
    EXPECT_EQ(framing, (std::vector<std::string>{"A300", "A301", "E0", "D"}));

    // A failing downstream ends the write with its status.
    pipetest::Record failing;
    failing.failWrite = QELError_WriteFailed;
    failing.failAfterBytes = 100;
    head = nullptr;
    slot = qelCipherDecryptModuleCreate(context_, &head, keyedCFB(keyBlock), nullptr, 0, prefix);
    *slot = pipetest::makeRecorder(context_, &failing);
    QELStatus status = 0;
    std::uint64_t taken = qelPipeWrite(head, u8(cipherText), cipherText.size(), &status);
    if (status == 0)
        status = qelPipeWriteAll(head, u8(cipherText) + taken, cipherText.size() - taken);
    EXPECT_EQ(status, QELError_WriteFailed);
    EXPECT_TRUE(failing.bytes == expected.substr(0, 100));
    qelPipeDestroy(head);
}

TEST_F(CipherModuleTest, CallbackSeesEveryChunkAndCanStop)
{
    struct Seen {
        std::uint64_t total = 0;
        std::uint64_t stopAfter = ~std::uint64_t{0};
    } seen;
    QELCipherCallback callback{[](std::uint64_t count, void *user) -> std::int32_t {
                                   auto *s = static_cast<Seen *>(user);
                                   s->total += count;
                                   return s->total > s->stopAfter ? -1 : 0;
                               },
                               &seen};
    QELSettings *settings = nullptr;
    ASSERT_EQ(qelSettingsCreate(context_, &settings), 0);
    ASSERT_EQ(qelSettingsSetPointer(settings, QELSetting_CipherCallback, &callback, sizeof callback), 0);
    const Bytes keyBlock = char(QELCipherAlgorithm_AES128) + random(16);
    const Bytes data = pattern(50000);
    std::uint8_t prefix[18] = {};
    for (std::uint64_t stopAfter : {~std::uint64_t{0}, std::uint64_t{20000}}) {
        seen = Seen{};
        seen.stopAfter = stopAfter;
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = qelCipherDecryptModuleCreate(context_, &head, keyedCFB(keyBlock), settings, 1, prefix);
        ASSERT_NE(qelVarMemoryModuleCreatePlain(context_, slot, QELVarMemoryNoLimit), nullptr);
        QELStatus status = qelPipeWriteAll(head, u8(data), data.size());
        qelPipeDestroy(head);
        if (stopAfter == ~std::uint64_t{0}) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(seen.total, data.size());
        } else {
            EXPECT_EQ(status, QELError_UserAbort);
            EXPECT_LE(seen.total, stopAfter + 8192);
        }
    }
    qelSettingsFree(settings);
}

TEST_F(CipherModuleTest, RefusedArgumentsLeaveTheSlotAlone)
{
    const Bytes keyBlock = char(QELCipherAlgorithm_AES128) + random(16);
    const Bytes prefix = random(16);
    QELPipeModule *head = nullptr;
    QELCFBContext *cfb = keyedCFB(keyBlock);
    EXPECT_EQ(qelCipherEncryptModuleCreate(context_, nullptr, 4, qelFlexFifoDescriptor(), cfb, u8(prefix), nullptr, 1),
              nullptr);
    EXPECT_EQ(qelCipherEncryptModuleCreate(context_, &head, 4, qelFlexFifoDescriptor(), cfb, nullptr, nullptr, 1),
              nullptr);
    EXPECT_EQ(head, nullptr);
    ASSERT_EQ(qelCFBFree(cfb), 0); // still the caller's
    // The decryption module owns its CFB object even when it refuses.
    EXPECT_EQ(qelCipherDecryptModuleCreate(context_, nullptr, keyedCFB(keyBlock), nullptr, 1, u8(prefix)), nullptr);
    EXPECT_EQ(qelCipherDecryptModuleCreate(context_, &head, keyedCFB(keyBlock), nullptr, 1, nullptr), nullptr);
    EXPECT_EQ(head, nullptr);
}

} // namespace
