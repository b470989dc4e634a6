// Trailer, passphrase check, block decryption and the block reader, checked
// against an archive writer built on OpenSSL's CAST5 and SHA-1.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <openssl/cast.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "zavArchive.h"
#include "zavArchiveWriter.h"
#include "zavExtract.h"
#include "qelTestEnv.h"

using namespace zavtest;

namespace {

std::vector<std::uint8_t> randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> out(n);
    for (auto &b : out)
        b = static_cast<std::uint8_t>(rng());
    return out;
}

ArchiveTrailer trailerFor(const ArchiveOptions &options, std::uint64_t dataLength)
{
    ArchiveTrailer trailer{};
    std::memcpy(trailer.magic, "QELSDA", 6);
    trailer.dataOffset = static_cast<std::uint32_t>(options.prefix.size());
    trailer.dataLength = dataLength;
    std::memcpy(trailer.salt, options.salt.data(), 8);
    trailer.hashCount = options.hashCount;
    std::uint8_t key[16];
    deriveArchiveKey(options.passphrase, options.salt, options.hashCount, key, trailer.checkValue);
    return trailer;
}

struct KeyHolder {
    void *key = nullptr;
    ~KeyHolder() { freeKeyContext(key); }
};

TEST(ArchiveTrailer, ReadsFieldsLittleEndian)
{
    const qeltest::TempDir tmp("zavarchive");
    const std::string &dir = tmp.path();
    ArchiveOptions options;
    options.reserved = 0x1122334455667788ull;
    options.hashCount = 0x0102;
    const std::string archive = buildArchive(std::string(1000, 'x'), options);
    ASSERT_TRUE(writeFileBytes(dir + "/a.zav", archive));
    std::FILE *f = std::fopen((dir + "/a.zav").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ArchiveTrailer trailer;
    readArchiveTrailer(f, &trailer);
    std::fclose(f);
    EXPECT_TRUE(trailerHasMagic(trailer));
    EXPECT_EQ(trailer.dataOffset, options.prefix.size());
    EXPECT_EQ(trailer.dataLength, 1000u);
    EXPECT_EQ(trailer.reserved, options.reserved);
    EXPECT_EQ(std::memcmp(trailer.salt, options.salt.data(), 8), 0);
    EXPECT_EQ(trailerSaltLow(trailer), 0x76543210u);
    EXPECT_EQ(trailerSaltHigh(trailer), 0xFEDCBA98u);
    EXPECT_EQ(trailer.hashCount, 0x0102);
    EXPECT_EQ(std::memcmp(trailer.checkValue, archive.data() + archive.size() - 8, 8), 0);

    // Shorter than a trailer: the fields come from the start of the file and
    // the magic check refuses it, even when the file begins with the magic.
    ASSERT_TRUE(writeFileBytes(dir + "/short", "QELSDA\x05"));
    f = std::fopen((dir + "/short").c_str(), "rb");
    readArchiveTrailer(f, &trailer);
    std::fclose(f);
    EXPECT_TRUE(trailerHasMagic(trailer));
    EXPECT_EQ(trailer.dataOffset, 5u);
    EXPECT_EQ(trailer.dataLength, 0u);
    ASSERT_TRUE(writeFileBytes(dir + "/empty", ""));
    f = std::fopen((dir + "/empty").c_str(), "rb");
    readArchiveTrailer(f, &trailer);
    std::fclose(f);
    EXPECT_FALSE(trailerHasMagic(trailer));
}

TEST(PassphraseCheck, AcceptsOnlyTheRightPassphrase)
{
    struct Case {
        std::string passphrase;
        std::uint16_t count;
    };
    for (const Case &c : {Case{"test passphrase", 7}, Case{"", 1}, Case{"x", 300}, Case{std::string(4095, 'p'), 2}}) {
        SCOPED_TRACE(c.count);
        ArchiveOptions options;
        options.passphrase = c.passphrase;
        options.hashCount = c.count;
        const ArchiveTrailer trailer = trailerFor(options, 0);
        KeyHolder accepted;
        EXPECT_TRUE(checkPassphrase(c.passphrase.c_str(), &accepted.key, trailer));
        EXPECT_NE(accepted.key, nullptr);
        KeyHolder rejected;
        rejected.key = reinterpret_cast<void *>(1);
        EXPECT_FALSE(checkPassphrase((c.passphrase + "!").c_str(), &rejected.key, trailer));
        EXPECT_EQ(rejected.key, nullptr);
    }
}

TEST(PassphraseCheck, CountZeroHashesTheSaltAlone)
{
    ArchiveOptions options;
    options.hashCount = 0;
    const ArchiveTrailer trailer = trailerFor(options, 0);
    for (const char *p : {"", "anything", "test passphrase"}) {
        KeyHolder key;
        EXPECT_TRUE(checkPassphrase(p, &key.key, trailer)) << p;
    }
    ArchiveTrailer wrong = trailer;
    wrong.checkValue[0] ^= 1;
    KeyHolder key;
    EXPECT_FALSE(checkPassphrase("", &key.key, wrong));
}

TEST(PassphraseCheck, CommandLinePassphraseNeedsNoTerminal)
{
    ArchiveOptions options;
    const ArchiveTrailer trailer = trailerFor(options, 0);
    KeyHolder key;
    EXPECT_EQ(promptForPassphrase(trailer, &key.key, "test passphrase", nullptr), QELError_NoErr);
    EXPECT_NE(key.key, nullptr);
    KeyHolder none;
    EXPECT_EQ(promptForPassphrase(trailer, &none.key, "nope", nullptr), QELError_BadPassphrase);
    EXPECT_EQ(none.key, nullptr);
}

class BlockDecryption : public ::testing::Test {
protected:
    void SetUp() override
    {
        trailer_ = trailerFor(options_, 0);
        ASSERT_TRUE(checkPassphrase(options_.passphrase.c_str(), &key_.key, trailer_));
        deriveArchiveKey(options_.passphrase, options_.salt, options_.hashCount, rawKey_, check_);
    }
    ArchiveOptions options_;
    ArchiveTrailer trailer_{};
    KeyHolder key_;
    std::uint8_t rawKey_[16];
    std::uint8_t check_[8];
};

TEST_F(BlockDecryption, InterleavedStreamsMatchOpenSSLCFB64)
{
    const auto cipher = randomBytes(256, 1);
    std::uint8_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t b[8] = {9, 10, 11, 12, 13, 14, 15, 16};
    std::uint8_t ivA[8];
    std::uint8_t ivB[8];
    std::memcpy(ivA, a, 8);
    std::memcpy(ivB, b, 8);
    std::uint8_t plain[256];
    cfbDecryptInterleaved(key_.key, a, b, cipher.data(), plain, 16);

    CAST_KEY schedule;
    CAST_set_key(&schedule, 16, rawKey_);
    std::uint8_t streamA[128], streamB[128], outA[128], outB[128];
    for (int c = 0; c < 16; ++c) {
        std::memcpy(streamA + 8 * c, cipher.data() + 16 * c, 8);
        std::memcpy(streamB + 8 * c, cipher.data() + 16 * c + 8, 8);
    }
    int num = 0;
    CAST_cfb64_encrypt(streamA, outA, 128, &schedule, ivA, &num, CAST_DECRYPT);
    num = 0;
    CAST_cfb64_encrypt(streamB, outB, 128, &schedule, ivB, &num, CAST_DECRYPT);
    for (int c = 0; c < 16; ++c) {
        EXPECT_EQ(std::memcmp(plain + 16 * c, outA + 8 * c, 8), 0) << c;
        EXPECT_EQ(std::memcmp(plain + 16 * c + 8, outB + 8 * c, 8), 0) << c;
    }
    // The registers end on the last ciphertext of each stream.
    EXPECT_EQ(std::memcmp(a, cipher.data() + 240, 8), 0);
    EXPECT_EQ(std::memcmp(b, cipher.data() + 248, 8), 0);
}

TEST_F(BlockDecryption, InvertsTheWriterForAnyBlockNumber)
{
    for (std::uint32_t n : {0u, 1u, 9u, 1000u, 0xFFFFFFFFu}) {
        const auto plain = randomBytes(512, n + 7);
        std::uint8_t cipher[512];
        encryptArchiveBlock(rawKey_, options_.salt, n, plain.data(), cipher);
        std::uint8_t out[512];
        decryptArchiveBlock(trailer_, key_.key, n, cipher, out);
        EXPECT_EQ(std::memcmp(out, plain.data(), 512), 0) << n;
    }
}

TEST_F(BlockDecryption, SaltAndBlockNumberTouchOnlyTheLastTwoWords)
{
    const auto cipher = randomBytes(512, 3);
    std::uint8_t base[512];
    decryptArchiveBlock(trailer_, key_.key, 5, cipher.data(), base);
    ArchiveTrailer salted = trailer_;
    salted.salt[0] ^= 0x80;
    salted.salt[7] ^= 0x01;
    std::uint8_t other[512];
    for (int variant = 0; variant < 2; ++variant) {
        if (variant == 0)
            decryptArchiveBlock(salted, key_.key, 5, cipher.data(), other);
        else
            decryptArchiveBlock(trailer_, key_.key, 6, cipher.data(), other);
        EXPECT_EQ(std::memcmp(base, other, 504), 0);
        EXPECT_NE(std::memcmp(base + 504, other + 504, 4), 0);
        EXPECT_NE(std::memcmp(base + 508, other + 508, 4), 0);
    }
}

// The block reader over an archive on disk, with its progress events.
class BlockReader : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (state_.archive != nullptr)
            std::fclose(state_.archive);
        freeKeyContext(state_.keyContext);
    }
    static QELStatus record(void *, ExtractionEvent *event, void *user)
    {
        auto *self = static_cast<BlockReader *>(user);
        if (event->kind == ExtractionEvent_Progress)
            self->progress_.push_back(event->a.count);
        return self->answer_;
    }
    void open(const std::string &payload, std::uint64_t dataLength)
    {
        ArchiveOptions options;
        options.dataLengthOverride = dataLength;
        ASSERT_TRUE(writeFileBytes(dir_ + "/a.zav", buildArchive(payload, options)));
        std::memset(&state_, 0, sizeof state_);
        state_.trailer = trailerFor(options, dataLength);
        ASSERT_TRUE(checkPassphrase(options.passphrase.c_str(), &state_.keyContext, state_.trailer));
        state_.archive = std::fopen((dir_ + "/a.zav").c_str(), "rb");
        ASSERT_NE(state_.archive, nullptr);
        std::fseek(state_.archive, static_cast<long>(options.prefix.size()), SEEK_SET);
        state_.dataLength = dataLength;
        state_.headerMode = 1;
        state_.callback = record;
        state_.userData = this;
    }
    std::string drain()
    {
        std::string out;
        for (int b; (b = readPlainByte(&state_)) != -1;)
            out.push_back(static_cast<char>(b));
        EXPECT_EQ(readPlainByte(&state_), -1);
        return out;
    }
    qeltest::TempDir tmp_{"zavarchive"};
    const std::string dir_ = tmp_.path();
    ExtractionState state_{};
    std::vector<std::uint64_t> progress_;
    QELStatus answer_ = QELError_NoErr;
};

TEST_F(BlockReader, DeliversExactlyTheDataLength)
{
    struct Case {
        std::size_t payload;
        std::uint64_t length;
        std::uint32_t blocksRead;
        std::vector<std::uint64_t> progress;
    };
    const Case cases[] = {
        {0, 0, 1, {0}},
        {512, 512, 2, {0}},
        {5000, 5000, 10, {0}},
        {5120, 5120, 11, {0, 5120}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        progress_.clear();
        const auto bytes = randomBytes(c.payload, 11);
        const std::string payload(bytes.begin(), bytes.end());
        open(payload, c.length);
        EXPECT_EQ(drain(), payload.substr(0, c.length));
        EXPECT_EQ(state_.blocksRead, c.blocksRead);
        EXPECT_EQ(progress_, c.progress);
        std::fclose(state_.archive);
        state_.archive = nullptr;
        freeKeyContext(state_.keyContext);
        state_.keyContext = nullptr;
    }
}

TEST_F(BlockReader, BulkReadsMatchByteReads)
{
    const auto bytes = randomBytes(20000, 5);
    const std::string payload(bytes.begin(), bytes.end());
    open(payload, payload.size());
    std::string out(payload.size() + 100, '\0');
    std::size_t got = 0;
    for (std::size_t step : {1u, 511u, 513u, 4096u, 100000u})
        got += readPlainBytes(&state_, reinterpret_cast<std::uint8_t *>(out.data()) + got,
                              std::min(step, out.size() - got));
    EXPECT_EQ(got, payload.size());
    out.resize(got);
    EXPECT_EQ(out, payload);
    EXPECT_EQ(progress_, (std::vector<std::uint64_t>{0, 5120, 10240, 15360}));
}

TEST_F(BlockReader, CallbackRefusalStopsTheReader)
{
    open(std::string(6000, 'q'), 6000);
    answer_ = QELError_UserAbort;
    EXPECT_EQ(readPlainByte(&state_), -1);
    EXPECT_EQ(state_.latchedError, QELError_UserAbort);
    EXPECT_EQ(state_.blocksRead, 0u);
}

}  // namespace
