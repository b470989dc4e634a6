// The encode job: messages made here are read by GnuPG (passphrase with
// AES-128 and CAST5, compression none, zip and zlib), version 4 messages are
// integrity protected (tag 18), and a failed run leaves an output file it
// did not create whole.
#include "../keys/keys_fixture.h"

#include "qelAlgorithms.h"
#include "qelCipherTestUtil.h"
#include "qelClientEncode.h"
#include "qelContextInternal.h"
#include "qelEncode.h"
#include "qelFileSpecInternal.h"
#include "qelMemory.h"
#include "qelSettingsInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace ciphertest;

const auto *const gEnv = qeltest::addHomeEnvironment("qelencode", qeltest::HomeEnvironment::SDK::Up);

class EncodeTest : public keystest::ContextTest {
protected:

    QELFileSpec *spec(const std::string &path)
    {
        QELFileSpec *s = nullptr;
        EXPECT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(ctx), path.c_str(), &s), 0);
        return s;
    }
};

TEST_F(EncodeTest, GnuPGDecryptsPassphraseMessages)
{
    struct Case {
        std::int32_t cipher;
        std::int32_t compress; // 0 none, else the algorithm id
    };
    const Case cases[] = {
        {QELCipherAlgorithm_AES128, 0}, {QELCipherAlgorithm_AES128, 1}, {QELCipherAlgorithm_AES128, 2},
        {QELCipherAlgorithm_CAST5, 0},  {QELCipherAlgorithm_CAST5, 1},  {QELCipherAlgorithm_CAST5, 2},
    };
    Gpg gpg;
    const Bytes data = pattern(20000, 3) + std::string(30000, 'a');
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.cipher) + "/" + std::to_string(c.compress));
        if (c.compress != 0) {
            ASSERT_EQ(qelSettingsSetInt(qelContextGetSettings(ctx), QELSetting_CompressAlgorithm, c.compress,
                                        QELSettingPriority_Job),
                      0);
        }
        void *out = nullptr;
        std::uint64_t size = 0;
        ASSERT_EQ(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()),
                            qelOptionConventionalEncrypt(ctx, qelOptionPassphrase(ctx, "open sesame"),
                                                         qelOptionLastOption(ctx)),
                            qelOptionCipherAlgorithm(ctx, c.cipher), qelOptionCompress(ctx, c.compress != 0),
                            qelOptionLiteralName(ctx, "note.txt"),
                            qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 20, &size), qelOptionLastOption(ctx)),
                  0);
        ASSERT_NE(out, nullptr);
        const Bytes message(static_cast<const char *>(out), size);
        EXPECT_EQ(qelMemFree(out), 0);
        // Marker, the passphrase packet, then integrity-protected data.
        const auto packets = cutPackets(message);
        ASSERT_EQ(packets.size(), 3u);
        EXPECT_EQ(packets[0].tag, 10);
        EXPECT_EQ(packets[1].tag, 3);
        EXPECT_EQ(std::uint8_t(packets[1].body[1]), c.cipher);
        EXPECT_EQ(packets[2].tag, 18);
        gpg.put("msg", message);
        std::remove(gpg.file("out").c_str());
        EXPECT_EQ(gpg.run("--passphrase 'open sesame' -o " + gpg.file("out") + " --decrypt " + gpg.file("msg")), 0)
            << gpg.errors();
        EXPECT_TRUE(gpg.get("out") == data);
    }
}

TEST_F(EncodeTest, GnuPGDecryptsForRSARecipient)
{
    // The RSA key's own preferences choose the cipher; GnuPG opens the
    // message with the secret key alone.
    QELKeyDB *db = openOwned(keystest::readFile(keystest::dataPath("secret.gpg")));
    ASSERT_NE(db, nullptr);
    QELKeyObject *rsa = keystest::keyWithUserID(db, "plain@example.org");
    ASSERT_NE(rsa, nullptr);
    Gpg gpg;
    ASSERT_EQ(gpg.run("--import " + keystest::dataPath("secret.gpg")), 0) << gpg.errors();
    const Bytes data = pattern(9000, 12);
    void *out = nullptr;
    std::uint64_t size = 0;
    ASSERT_EQ(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()), qelOptionEncryptToKey(ctx, rsa),
                        qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 20, &size), qelOptionLastOption(ctx)),
              0);
    const Bytes message(static_cast<const char *>(out), size);
    EXPECT_EQ(qelMemFree(out), 0);
    const auto packets = cutPackets(message);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[1].tag, 1);
    EXPECT_EQ(packets[2].tag, 18);
    gpg.put("msg", message);
    EXPECT_EQ(gpg.run("-o " + gpg.file("out") + " --decrypt " + gpg.file("msg")), 0) << gpg.errors();
    EXPECT_TRUE(gpg.get("out") == data);
}

TEST_F(EncodeTest, GnuPGVerifiesRSASignature)
{
    // Signed only (packet version 3 as configured, and 4), and signed and
    // encrypted under a passphrase: gpg reports a good signature each time.
    QELKeyDB *db = openOwned(keystest::readFile(keystest::dataPath("sigmake-secret.gpg")));
    ASSERT_NE(db, nullptr);
    QELKeyObject *alice = keystest::keyOrSubKeyByID(db, "9496DA9D226A5F3B");
    ASSERT_NE(alice, nullptr);
    Gpg gpg;
    ASSERT_EQ(gpg.run("--import " + keystest::dataPath("sigmake-secret.gpg")), 0) << gpg.errors();
    const Bytes data = pattern(6000, 21);
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(qelSettingsSetInt(qelContextGetSettings(ctx), QELSetting_PacketVersion, run == 0 ? 3 : 4,
                                    QELSettingPriority_Job),
                  0);
        void *out = nullptr;
        std::uint64_t size = 0;
        QELOptionList *encrypt = run == 2 ? qelOptionConventionalEncrypt(ctx, qelOptionPassphrase(ctx, "pw"),
                                                                         qelOptionLastOption(ctx))
                                          : qelOptionNull(ctx);
        ASSERT_EQ(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()),
                            qelOptionSignWithKey(ctx, alice, qelOptionPassphrase(ctx, "sig make pass phrase"),
                                                 qelOptionLastOption(ctx)),
                            encrypt, qelOptionCipherAlgorithm(ctx, QELCipherAlgorithm_AES128),
                            qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 20, &size), qelOptionLastOption(ctx)),
                  0);
        const Bytes message(static_cast<const char *>(out), size);
        EXPECT_EQ(qelMemFree(out), 0);
        gpg.put("msg", message);
        std::remove(gpg.file("out").c_str());
        EXPECT_EQ(gpg.run("--status-fd 1 --passphrase pw -o " + gpg.file("out") + " --decrypt " + gpg.file("msg")),
                  0)
            << gpg.errors();
        EXPECT_NE(gpg.get("gpg.out").find("[GNUPG:] GOODSIG 9496DA9D226A5F3B"), Bytes::npos) << gpg.get("gpg.out");
        EXPECT_TRUE(gpg.get("out") == data);
    }
}

TEST_F(EncodeTest, SmallAllocatedBufferIsNotHandedOver)
{
    const Bytes data = pattern(5000, 9);
    void *out = nullptr;
    std::uint64_t size = 0;
    EXPECT_EQ(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()), qelOptionCompress(ctx, 0),
                        qelOptionOutputAllocatedBuffer(ctx, &out, 100, &size), qelOptionLastOption(ctx)),
              QELError_OutputBufferTooSmall);
    EXPECT_EQ(out, nullptr);
}

TEST_F(EncodeTest, FailedRunKeepsExistingOutput)
{
    qeltest::TempDir dir("qelencout");
    const Bytes kept = "earlier output";
    const std::string path = dir / "out.gpg";
    qeltest::writeFile(path, kept);
    const Bytes data = "hello";
    // Armor is not available yet, and an empty passphrase is refused: both
    // runs fail, and neither may touch the file they were told to append to
    // or to replace.
    for (int append : {1, 0}) {
        QELFileSpec *out = spec(path);
        EXPECT_NE(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()),
                            qelOptionConventionalEncrypt(ctx, qelOptionPassphrase(ctx, ""), qelOptionLastOption(ctx)),
                            qelOptionOutputFile(ctx, out), qelOptionAppendOutput(ctx, append),
                            qelOptionLastOption(ctx)),
                  0);
        EXPECT_EQ(qelFileSpecFree(out), 0);
        EXPECT_TRUE(qeltest::readFile(path) == kept);
    }
    // A successful append run writes behind what was there.
    QELFileSpec *out = spec(path);
    ASSERT_EQ(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()), qelOptionCompress(ctx, 0),
                        qelOptionOutputFile(ctx, out), qelOptionAppendOutput(ctx, 1), qelOptionLastOption(ctx)),
              0);
    EXPECT_EQ(qelFileSpecFree(out), 0);
    const Bytes now = qeltest::readFile(path);
    ASSERT_GT(now.size(), kept.size());
    EXPECT_TRUE(now.substr(0, kept.size()) == kept);
    EXPECT_NE(now.find("hello"), Bytes::npos);
    // A successful run replacing the file leaves only the new message.
    const Bytes appended = now;
    out = spec(path);
    ASSERT_EQ(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()), qelOptionCompress(ctx, 0),
                        qelOptionOutputFile(ctx, out), qelOptionLastOption(ctx)),
              0);
    EXPECT_EQ(qelFileSpecFree(out), 0);
    EXPECT_TRUE(qeltest::readFile(path) == appended.substr(kept.size()));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
    // A failing run into a new file leaves no file behind.
    const std::string fresh = dir / "fresh.gpg";
    QELFileSpec *freshSpec = spec(fresh);
    EXPECT_EQ(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()), qelOptionArmorOutput(ctx, 1),
                        qelOptionOutputFile(ctx, freshSpec), qelOptionLastOption(ctx)),
              QELError_FeatureNotAvailable);
    EXPECT_EQ(qelFileSpecFree(freshSpec), 0);
    EXPECT_FALSE(std::filesystem::exists(fresh));
}

} // namespace
