// The encode job, read back by GnuPG: every cipher both have, compression
// none/zip/zlib, RSA and ElGamal recipients (one, two, a key set), RSA and
// DSA signers (attached, detached, clear-signed, encrypted and armored); the
// events of a run in their order; the key checks; and the output rules (a
// failed run leaves an output file it did not create whole, an overflowing
// new buffer is not handed over, the MIME boundary stays in its 81 bytes).
#include "../keys/keys_fixture.h"

#include "qelAlgorithms.h"
#include "qelCipherTestUtil.h"
#include "qelClientEncode.h"
#include "qelContextInternal.h"
#include "qelEncode.h"
#include "qelEnumeratedSet.h"
#include "qelEvent.h"
#include "qelFileSpecInternal.h"
#include "qelJobIOInternal.h"
#include "qelOptionListInternal.h"
#include "qelKeyDB.h"
#include "qelKeySet.h"
#include "qelMemory.h"
#include "qelRandomPoolInternal.h"
#include "qelSettingsInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

namespace {

using namespace ciphertest;

const auto *const gEnv = qeltest::addHomeEnvironment("qelencode", qeltest::HomeEnvironment::SDK::Up);

constexpr char kPass[] = "sig make pass phrase"; // every secret key of sigmake-secret.gpg
constexpr char kAlice[] = "9496DA9D226A5F3B";     // RSA, with an RSA encryption subkey
constexpr char kDave[] = "A4E0E5000D79BC89";      // DSA, with an ElGamal encryption subkey

// GnuPG's own armor labels in place of ours.
Bytes pgpLabels(Bytes text)
{
    for (const char *what : {"-----BEGIN QEL ", "-----END QEL "}) {
        const std::string from(what);
        std::string to = from;
        to.replace(to.find("QEL"), 3, "PGP");
        for (std::size_t at = text.find(from); at != Bytes::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    }
    return text;
}

class EncodeTest : public keystest::ContextTest {
protected:
    // One GnuPG home per test program, holding Alice's and Dave's secret keys.
    static void SetUpTestSuite()
    {
        gpg_ = std::make_unique<Gpg>();
        ASSERT_EQ(gpg_->run("--passphrase '' --import " + keystest::dataPath("sigmake-secret.gpg")), 0)
            << gpg_->errors();
    }
    static void TearDownTestSuite() { gpg_.reset(); }

    void SetUp() override
    {
        keystest::ContextTest::SetUp();
        qelRandomPoolSetSeeded();
        ASSERT_EQ(qelSettingsSetInt(qelContextGetSettings(ctx), QELSetting_PacketVersion, 4, QELSettingPriority_Job),
                  0);
        makers_ = openOwned(keystest::readFile(keystest::dataPath("sigmake-secret.gpg")));
        ASSERT_NE(makers_, nullptr);
        alice_ = keystest::keyOrSubKeyByID(makers_, kAlice);
        dave_ = keystest::keyOrSubKeyByID(makers_, kDave);
        ASSERT_NE(alice_, nullptr);
        ASSERT_NE(dave_, nullptr);
    }

    QELFileSpec *spec(const std::string &path)
    {
        QELFileSpec *s = nullptr;
        EXPECT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(ctx), path.c_str(), &s), 0);
        return s;
    }

    // Runs the job on `data` into a new buffer; the status, and the message in `out`.
    template <typename... Lists>
    QELStatus encode(const Bytes &data, Bytes &out, Lists... lists)
    {
        void *buffer = nullptr;
        std::uint64_t size = 0;
        const QELStatus s = qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()), lists...,
                                      qelOptionOutputAllocatedBuffer(ctx, &buffer, 1 << 22, &size),
                                      qelOptionLastOption(ctx));
        out.assign(static_cast<const char *>(buffer), buffer != nullptr ? size : 0);
        if (buffer != nullptr) {
            EXPECT_EQ(qelMemFree(buffer), 0);
        }
        return s;
    }

    QELOptionList *signWith(QELKeyObject *key, const char *pass = kPass)
    {
        return qelOptionSignWithKey(ctx, key, qelOptionPassphrase(ctx, pass), qelOptionLastOption(ctx));
    }

    // gpg --decrypt of the message: its output, and GOODSIG by `signer`
    // when one is given.
    void expectGnuPGReads(const Bytes &message, const Bytes &plain, const char *signer, const char *pass = kPass)
    {
        gpg_->put("msg", message);
        std::remove(gpg_->file("out").c_str());
        EXPECT_EQ(gpg_->run("--status-fd 1 --passphrase '" + std::string(pass) + "' -o " + gpg_->file("out") +
                            " --decrypt " + gpg_->file("msg")),
                  0)
            << gpg_->errors();
        EXPECT_TRUE(gpg_->get("out") == plain);
        if (signer != nullptr) {
            EXPECT_NE(gpg_->get("gpg.out").find(std::string("[GNUPG:] GOODSIG ") + signer), Bytes::npos)
                << gpg_->get("gpg.out") << gpg_->errors();
        }
    }

    // gpg --verify of a detached signature over `data`, or of a clear-signed
    // message (no data).
    void expectGnuPGVerifies(const Bytes &signature, const char *signer, const Bytes *data = nullptr)
    {
        gpg_->put("sig", signature);
        std::string args = "--status-fd 1 --verify " + gpg_->file("sig");
        if (data != nullptr) {
            gpg_->put("data", *data);
            args += " " + gpg_->file("data");
        }
        EXPECT_EQ(gpg_->run(args), 0) << gpg_->errors();
        EXPECT_NE(gpg_->get("gpg.out").find(std::string("[GNUPG:] GOODSIG ") + signer), Bytes::npos)
            << gpg_->get("gpg.out") << gpg_->errors();
    }

    static std::unique_ptr<Gpg> gpg_;
    QELKeyDB *makers_ = nullptr;
    QELKeyObject *alice_ = nullptr;
    QELKeyObject *dave_ = nullptr;
};

std::unique_ptr<Gpg> EncodeTest::gpg_;

TEST_F(EncodeTest, GnuPGDecryptsPassphraseMessagesWithEveryCipher)
{
    const std::int32_t ciphers[] = {QELCipherAlgorithm_IDEA,   QELCipherAlgorithm_3DES,   QELCipherAlgorithm_CAST5,
                                    QELCipherAlgorithm_Blowfish, QELCipherAlgorithm_AES128, QELCipherAlgorithm_AES192,
                                    QELCipherAlgorithm_AES256, QELCipherAlgorithm_Twofish};
    const Bytes data = pattern(20000, 3) + std::string(30000, 'a');
    for (std::int32_t cipher : ciphers)
        for (std::int32_t compress : {0, 1, 2}) { // none, zip, zlib
            SCOPED_TRACE(std::to_string(cipher) + "/" + std::to_string(compress));
            if (compress != 0) {
                ASSERT_EQ(qelSettingsSetInt(qelContextGetSettings(ctx), QELSetting_CompressAlgorithm, compress,
                                            QELSettingPriority_Job),
                          0);
            }
            Bytes message;
            ASSERT_EQ(encode(data, message,
                             qelOptionConventionalEncrypt(ctx, qelOptionPassphrase(ctx, "open sesame"),
                                                          qelOptionLastOption(ctx)),
                             qelOptionCipherAlgorithm(ctx, cipher), qelOptionCompress(ctx, compress != 0),
                             qelOptionLiteralName(ctx, "note.txt")),
                      0);
            // Marker, the passphrase packet, then integrity-protected data.
            const auto packets = cutPackets(message);
            ASSERT_EQ(packets.size(), 3u);
            EXPECT_EQ(packets[0].tag, 10);
            EXPECT_EQ(packets[1].tag, 3);
            EXPECT_EQ(std::uint8_t(packets[1].body[1]), cipher);
            EXPECT_EQ(packets[2].tag, 18);
            expectGnuPGReads(message, data, nullptr, "open sesame");
        }
}

TEST_F(EncodeTest, Version3PassphraseWithIDEAKeepsTheOldLayout)
{
    // No session-key packet (the key is the simple MD5 string-to-key of the
    // passphrase, as RFC 4880 5.7 has it), old-format packets, tag 9. GnuPG
    // opens it given that key (its own guess hashes with SHA-1).
    ASSERT_EQ(qelSettingsSetInt(qelContextGetSettings(ctx), QELSetting_PacketVersion, 3, QELSettingPriority_Job), 0);
    const Bytes data = pattern(3000, 8);
    Bytes message;
    ASSERT_EQ(encode(data, message,
                     qelOptionConventionalEncrypt(ctx, qelOptionPassphrase(ctx, "idea"), qelOptionLastOption(ctx)),
                     qelOptionCipherAlgorithm(ctx, QELCipherAlgorithm_IDEA)),
              0);
    const auto packets = cutPackets(message);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].tag, 9);
    EXPECT_EQ(std::uint8_t(message[0]) & 0x40, 0); // old format
    gpg_->put("msg", message);
    std::remove(gpg_->file("out").c_str());
    EXPECT_EQ(gpg_->run("--ignore-mdc-error --override-session-key 1:$(printf idea | md5sum | cut -c1-32) -o " + gpg_->file("out") + " --decrypt " +
                        gpg_->file("msg")),
              0)
        << gpg_->errors();
    EXPECT_TRUE(gpg_->get("out") == data);
}

TEST_F(EncodeTest, GnuPGDecryptsForRecipients)
{
    // RSA alone, ElGamal alone, both as two options, and both in one key set:
    // one public-key packet per recipient, and GnuPG opens each message.
    QELKeySet *both = nullptr;
    ASSERT_EQ(qelEnumeratedSetFromObject(alice_, &both), 0);
    ASSERT_EQ(qelKeySetAddObject(dave_, both), 0);
    struct Case {
        const char *what;
        std::function<QELOptionList *()> recipients;
        std::size_t packets;
    };
    const Case cases[] = {
        {"RSA", [&] { return qelOptionEncryptToKey(ctx, alice_); }, 1},
        {"ElGamal", [&] { return qelOptionEncryptToKey(ctx, dave_); }, 1},
        {"two keys",
         [&] {
             return qelOptionListBuild(ctx, false, qelOptionEncryptToKey(ctx, alice_), qelOptionEncryptToKey(ctx, dave_),
                                       qelOptionLastOption(ctx));
         },
         2},
        {"key set", [&] { return qelOptionEncryptToKeySet(ctx, both); }, 2},
    };
    const Bytes data = pattern(9000, 12);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes message;
        ASSERT_EQ(encode(data, message, c.recipients()), 0);
        const auto packets = cutPackets(message);
        ASSERT_EQ(packets.size(), c.packets + 2);
        for (std::size_t i = 1; i <= c.packets; ++i)
            EXPECT_EQ(packets[i].tag, 1);
        EXPECT_EQ(packets.back().tag, 18);
        expectGnuPGReads(message, data, nullptr);
    }
    EXPECT_EQ(qelKeySetRelease(both), 0);
}

TEST_F(EncodeTest, GnuPGVerifiesWhatWeSign)
{
    // Each layout with an RSA and a DSA signer.
    const Bytes data = pattern(6000, 21);
    const Bytes text = "first line\n- a dashed line\nFrom the start\nlast line\n";
    enum Check { Decrypt, Verify, Detached };
    struct Case {
        const char *what;
        std::int32_t version;
        std::function<QELOptionList *()> extra;
        Check check;
        bool armored;
        bool textInput;
    };
    const Case cases[] = {
        {"signed v3", 3, [&] { return qelOptionNull(ctx); }, Decrypt, false, false},
        {"signed v4", 4, [&] { return qelOptionNull(ctx); }, Decrypt, false, false},
        {"signed, armored", 4, [&] { return qelOptionArmorOutput(ctx, 1); }, Decrypt, true, false},
        {"signed and encrypted (passphrase)", 4,
         [&] {
             return qelOptionListBuild(ctx, false,
                                       qelOptionConventionalEncrypt(ctx, qelOptionPassphrase(ctx, kPass),
                                                                    qelOptionLastOption(ctx)),
                                       qelOptionCipherAlgorithm(ctx, QELCipherAlgorithm_AES128),
                                       qelOptionLastOption(ctx));
         },
         Decrypt, false, false},
        {"signed and encrypted to a key, armored", 4,
         [&] {
             return qelOptionListBuild(ctx, false, qelOptionEncryptToKey(ctx, alice_), qelOptionArmorOutput(ctx, 1),
                                       qelOptionLastOption(ctx));
         },
         Decrypt, true, false},
        {"detached v4", 4, [&] { return qelOptionDetachedSignature(ctx, qelOptionLastOption(ctx)); }, Detached,
         false, false},
        {"detached v3", 3, [&] { return qelOptionDetachedSignature(ctx, qelOptionLastOption(ctx)); }, Detached,
         false, false},
        {"detached, armored", 4,
         [&] {
             return qelOptionListBuild(ctx, false, qelOptionDetachedSignature(ctx, qelOptionLastOption(ctx)),
                                       qelOptionArmorOutput(ctx, 1), qelOptionLastOption(ctx));
         },
         Detached, true, false},
        {"text mode", 4, [&] { return qelOptionTextMode(ctx, 1); }, Decrypt, false, true},
        {"clear-signed", 4, [&] { return qelOptionClearSign(ctx, 1); }, Verify, true, true},
        {"clear-signed v3", 3, [&] { return qelOptionClearSign(ctx, 1); }, Verify, true, true},
        {"clear-signed and encrypted", 4,
         [&] {
             return qelOptionListBuild(ctx, false, qelOptionClearSign(ctx, 1), qelOptionEncryptToKey(ctx, dave_),
                                       qelOptionLastOption(ctx));
         },
         Decrypt, true, true},
    };
    for (QELKeyObject *signer : {alice_, dave_}) {
        const char *id = signer == alice_ ? kAlice : kDave;
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.what) + " by " + id);
            ASSERT_EQ(qelSettingsSetInt(qelContextGetSettings(ctx), QELSetting_PacketVersion, c.version,
                                        QELSettingPriority_Job),
                      0);
            const Bytes &input = c.textInput ? text : data;
            Bytes message;
            ASSERT_EQ(encode(input, message, signWith(signer), c.extra()), 0);
            if (c.armored) {
                EXPECT_NE(message.find("-----BEGIN QEL "), Bytes::npos) << message.substr(0, 40);
            }
            const Bytes forGnuPG = c.armored ? pgpLabels(message) : message;
            if (c.check == Detached) {
                EXPECT_EQ(message.find(c.armored ? "first line" : data.substr(0, 32)), Bytes::npos);
                expectGnuPGVerifies(forGnuPG, id, &input);
            } else if (c.check == Verify) {
                EXPECT_NE(message.find("\n- - a dashed line\n"), Bytes::npos) << message;
                expectGnuPGVerifies(forGnuPG, id);
            } else if (c.textInput && c.armored) {
                // Encrypted clear-signed text: the literal data is the
                // clear-signed message itself.
                gpg_->put("msg", forGnuPG);
                std::remove(gpg_->file("out").c_str());
                ASSERT_EQ(gpg_->run("--passphrase '" + std::string(kPass) + "' -o " + gpg_->file("out") +
                                    " --decrypt " + gpg_->file("msg")),
                          0)
                    << gpg_->errors();
                expectGnuPGVerifies(pgpLabels(gpg_->get("out")), id);
            } else {
                expectGnuPGReads(forGnuPG, input, id);
            }
        }
    }
}

TEST_F(EncodeTest, FileInputNamesTheLiteral)
{
    qeltest::TempDir dir("qelencin");
    const Bytes data = pattern(70000, 5);
    qeltest::writeFile(dir / "report.bin", data);
    QELFileSpec *in = spec(dir / "report.bin");
    QELFileSpec *out = spec(dir / "report.gpg");
    ASSERT_EQ(qelEncode(ctx, qelOptionInputFile(ctx, in), qelOptionEncryptToKey(ctx, dave_), signWith(alice_),
                        qelOptionOutputFile(ctx, out), qelOptionLastOption(ctx)),
              0);
    EXPECT_EQ(qelFileSpecFree(in), 0);
    EXPECT_EQ(qelFileSpecFree(out), 0);
    expectGnuPGReads(qeltest::readFile(dir / "report.gpg"), data, kAlice);
    EXPECT_NE(gpg_->get("gpg.out").find("[GNUPG:] PLAINTEXT 62 0 report.bin"), Bytes::npos) << gpg_->get("gpg.out");
}

// Every event a run sends, in order; the handler's answer per kind.
struct Recorder {
    std::vector<std::int32_t> kinds;
    std::vector<QELStatus> errors;
    std::int32_t stopAt = -1; // kind whose event answers `stopWith`
    QELStatus stopWith = 0;
    int seedAfter = -1;       // entropy events before the pool is seeded
    std::size_t keyLength = 0;
    int letThrough = 0;       // events of kind `stopAt` answered 0 first

    // Answers `with` to every progress event after the first `through`.
    static Recorder stoppingProgress(QELStatus with, int through = 0)
    {
        Recorder r;
        r.stopAt = QELEvent_Progress;
        r.stopWith = with;
        r.letThrough = through;
        return r;
    }

    static QELStatus handle(QELContext *, QELEvent *event, void *user)
    {
        auto &r = *static_cast<Recorder *>(user);
        r.kinds.push_back(event->kind);
        if (event->kind == QELEvent_Error || event->kind == QELEvent_Warning)
            r.errors.push_back(event->data.error.status);
        if (event->kind == QELEvent_Encryption)
            r.keyLength = event->data.sessionKey.length;
        if (event->kind == QELEvent_Entropy && r.seedAfter > 0 && --r.seedAfter == 0)
            qelRandomPoolSetSeeded();
        if (event->kind != r.stopAt)
            return 0;
        return r.letThrough-- > 0 ? 0 : r.stopWith;
    }
};

TEST_F(EncodeTest, EventsComeInOrder)
{
    constexpr std::int32_t I = QELEvent_Initial, F = QELEvent_Final, E = QELEvent_Error, W = QELEvent_Warning,
                           P = QELEvent_Progress, N = QELEvent_Entropy, K = QELEvent_Encryption;
    const Bytes data = pattern(10000, 4); // three pieces of the pump
    struct Case {
        const char *what;
        std::function<QELOptionList *()> options;
        Recorder recorder;
        bool drain; // start with a pool below its minimum entropy
        QELStatus status;
        std::vector<std::int32_t> kinds;
    };
    const auto pass = [&] {
        return qelOptionConventionalEncrypt(ctx, qelOptionPassphrase(ctx, "pw"), qelOptionLastOption(ctx));
    };
    std::vector<Case> cases = {
        {"plain, no progress", [&] { return qelOptionNull(ctx); }, {}, false, 0, {I, F}},
        {"passphrase with progress", [&] { return qelOptionListBuild(ctx, false, pass(), qelOptionSendProgress(ctx, 1), qelOptionLastOption(ctx)); },
         {}, false, 0, {I, K, P, P, P, F}},
        {"recipient below the warning validity, with progress",
         [&] { return qelOptionListBuild(ctx, false, qelOptionEncryptToKey(ctx, alice_), qelOptionWarnKeySize(ctx, 1000), qelOptionSendProgress(ctx, 1), qelOptionLastOption(ctx)); },
         {}, false, 0, {I, W, P, K, P, P, P, F}},
        {"handler stops at the session key", pass, {{}, {}, K, -5}, false, -5, {I, K, E, F}},
        {"handler stops the pump", [&] { return qelOptionListBuild(ctx, false, pass(), qelOptionSendProgress(ctx, 1), qelOptionLastOption(ctx)); },
         {{}, {}, P, -6}, false, -6, {I, K, P, E, F}},
        {"entropy asked for until the pool holds enough",
         [&] { return qelOptionListBuild(ctx, false, pass(), qelOptionAskEntropy(ctx, 1), qelOptionLastOption(ctx)); },
         {{}, {}, -1, 0, 3}, true, 0, {I, N, N, N, K, F}},
        {"no entropy and not asked for", pass, {}, true, QELError_OutOfEntropy, {I, E, F}},
        {"bad passphrase of the signer", [&] { return signWith(alice_, "wrong"); }, {}, false, QELError_BadPassphrase, {I, E, F}},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.drain)
            qelRandomPoolClearAllForTesting();
        Bytes message;
        EXPECT_EQ(encode(data, message, c.options(), qelOptionEventHandler(ctx, Recorder::handle, &c.recorder)),
                  c.status);
        qelRandomPoolSetSeeded();
        EXPECT_EQ(c.recorder.kinds, c.kinds);
        if (c.status != 0) {
            ASSERT_FALSE(c.recorder.errors.empty());
            EXPECT_EQ(c.recorder.errors.back(), c.status);
        }
    }
    EXPECT_EQ(cases[1].recorder.keyLength, 17u); // CAST5: algorithm byte and 16 key bytes
    EXPECT_EQ(cases[2].recorder.errors, std::vector<QELStatus>{QELError_KeyTooSmall});
    // An option the job does not take fails before any event.
    Recorder none;
    Bytes message;
    EXPECT_EQ(encode(data, message, qelOptionKeyDB(ctx, makers_), qelOptionEventHandler(ctx, Recorder::handle, &none)),
              QELError_BadParams);
    EXPECT_TRUE(none.kinds.empty());
}

TEST_F(EncodeTest, EntropyWaitEnds)
{
    // A handler that never adds entropy is not asked for ever.
    qelRandomPoolClearAllForTesting();
    Recorder r;
    Bytes message;
    EXPECT_EQ(encode("x", message,
                     qelOptionConventionalEncrypt(ctx, qelOptionPassphrase(ctx, "pw"), qelOptionLastOption(ctx)),
                     qelOptionAskEntropy(ctx, 1), qelOptionEventHandler(ctx, Recorder::handle, &r)),
              QELError_OutOfEntropy);
    qelRandomPoolSetSeeded();
    EXPECT_GT(std::count(r.kinds.begin(), r.kinds.end(), QELEvent_Entropy), 1);
    EXPECT_LE(std::count(r.kinds.begin(), r.kinds.end(), QELEvent_Entropy), 1000);
    EXPECT_TRUE(message.empty());
}

TEST_F(EncodeTest, KeysAreChecked)
{
    // Opened from its files, so that the key's own revocation is checked.
    QELFileSpec *pub = spec(keystest::dataPath("public.gpg"));
    QELFileSpec *sec = spec(keystest::dataPath("secret.gpg"));
    QELKeyDB *ring = nullptr;
    ASSERT_EQ(qelKeyDBOpenFiles(ctx, QELKeyDBOpen_ReadOnly, pub, sec, &ring), 0);
    EXPECT_EQ(qelFileSpecFree(pub), 0);
    EXPECT_EQ(qelFileSpecFree(sec), 0);
    struct Release {
        QELKeyDB *db;
        ~Release() { EXPECT_EQ(qelKeyDBRelease(db), 0); }
    } release{ring};
    QELKeyObject *revoked = keystest::keyWithUserID(ring, "revoked@example.org");
    QELKeyObject *expiredSub = keystest::keyOrSubKeyByID(ring, "8156222128C354FB");
    QELKeyDB *others = openOwned(keystest::readFile(keystest::dataPath("sigmake-public.gpg")));
    ASSERT_NE(others, nullptr);
    QELKeyObject *signOnly = keystest::keyWithUserID(others, "bob@other.example");
    ASSERT_NE(revoked, nullptr);
    ASSERT_NE(signOnly, nullptr);
    QELKeySet *empty = nullptr;
    ASSERT_EQ(qelEnumeratedSetNewEmpty(makers_, &empty), 0);
    const Bytes data = "checked";
    struct Case {
        const char *what;
        std::function<QELOptionList *()> options;
        QELStatus status;
    };
    const Case cases[] = {
        {"revoked recipient", [&] { return qelOptionEncryptToKey(ctx, revoked); }, QELError_KeyRevoked},
        {"revoked signer", [&] { return qelOptionSignWithKey(ctx, revoked, qelOptionLastOption(ctx)); },
         QELError_KeyUnusableForSignature},
        {"recipient that cannot encrypt", [&] { return qelOptionEncryptToKey(ctx, signOnly); },
         QELError_KeyUnusableForEncryption},
        {"recipient below the minimum validity",
         [&] {
             return qelOptionListBuild(ctx, false, qelOptionEncryptToKey(ctx, alice_), qelOptionMinKeySize(ctx, 1000),
                                       qelOptionLastOption(ctx));
         },
         QELError_KeyTooSmall},
        {"empty recipient set", [&] { return qelOptionEncryptToKeySet(ctx, empty); }, QELError_BadParams},
        {"detached and encrypted",
         [&] {
             return qelOptionListBuild(ctx, false, signWith(alice_), qelOptionEncryptToKey(ctx, dave_),
                                       qelOptionDetachedSignature(ctx, qelOptionLastOption(ctx)),
                                       qelOptionLastOption(ctx));
         },
         QELError_BadParams},
        {"detached without a signer", [&] { return qelOptionDetachedSignature(ctx, qelOptionLastOption(ctx)); },
         QELError_BadParams},
        {"conventional without a passphrase",
         [&] { return qelOptionConventionalEncrypt(ctx, qelOptionLastOption(ctx)); },
         QELError_NoConventionalPassphrase},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes message;
        EXPECT_EQ(encode(data, message, c.options()), c.status);
        EXPECT_TRUE(message.empty());
    }
    if (expiredSub != nullptr) {
        Bytes message;
        EXPECT_NE(encode(data, message, qelOptionSignWithKey(ctx, expiredSub, qelOptionLastOption(ctx))), 0);
    }
    EXPECT_EQ(qelKeySetRelease(empty), 0);
}

TEST_F(EncodeTest, MimeSignedReportsItsHeader)
{
    const Bytes text = "MIME text\nsecond line\n";
    std::uint64_t headerLength = 0;
    char boundary[QEL_MIME_BOUNDARY_SIZE + 16];
    std::memset(boundary, 'Z', sizeof boundary);
    Bytes message;
    ASSERT_EQ(encode(text, message, signWith(alice_), qelOptionClearSign(ctx, 1),
                     qelOptionMimeEncoding(ctx, 1, &headerLength, boundary)),
              0);
    const std::size_t length = std::strlen(boundary);
    ASSERT_LT(length, std::size_t{QEL_MIME_BOUNDARY_SIZE});
    for (std::size_t i = QEL_MIME_BOUNDARY_SIZE; i < sizeof boundary; ++i)
        EXPECT_EQ(boundary[i], 'Z');
    ASSERT_GT(length, 0u);
    EXPECT_NE(message.find(std::string("boundary=\"") + boundary + "\""), Bytes::npos) << message;
    EXPECT_EQ(message.substr(headerLength, 2 + length), std::string("--") + boundary);
    // The signed part is the text with CR LF line ends; the signature part
    // is an armored detached signature over it that GnuPG verifies.
    const std::string open = std::string("--") + boundary + "\n";
    const std::size_t partStart = message.find(open) + open.size();
    const std::size_t partEnd = message.find(std::string("\n--") + boundary, partStart);
    ASSERT_NE(partEnd, Bytes::npos);
    Bytes part = message.substr(partStart, partEnd - partStart);
    Bytes signed_;
    for (char ch : part) {
        if (ch == '\n')
            signed_ += '\r';
        signed_ += ch;
    }
    const std::size_t sigStart = message.find("-----BEGIN QEL ");
    ASSERT_NE(sigStart, Bytes::npos);
    expectGnuPGVerifies(pgpLabels(message.substr(sigStart)), kAlice, &signed_);
}

TEST_F(EncodeTest, MimeEncryptedWrapsTheArmoredMessage)
{
    const Bytes data = "to be wrapped\n";
    std::uint64_t headerLength = 0;
    char boundary[QEL_MIME_BOUNDARY_SIZE];
    Bytes message;
    ASSERT_EQ(encode(data, message, qelOptionEncryptToKey(ctx, alice_),
                     qelOptionMimeEncoding(ctx, 1, &headerLength, boundary)),
              0);
    EXPECT_NE(message.find("multipart/encrypted"), Bytes::npos) << message;
    EXPECT_NE(message.find(std::string("boundary=\"") + boundary + "\""), Bytes::npos) << message;
    EXPECT_GT(headerLength, 0u);
    const std::size_t begin = message.find("-----BEGIN QEL MESSAGE-----");
    const std::string end = "-----END QEL MESSAGE-----\n";
    const std::size_t stop = message.find(end);
    ASSERT_NE(begin, Bytes::npos);
    ASSERT_NE(stop, Bytes::npos);
    expectGnuPGReads(pgpLabels(message.substr(begin, stop + end.size() - begin)), data, nullptr);
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
    // A handler that stops the run once the output is open: neither the file
    // appended to nor the one to be replaced may change.
    Recorder stop = Recorder::stoppingProgress(-7);
    for (int append : {1, 0}) {
        QELFileSpec *out = spec(path);
        EXPECT_EQ(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()),
                            qelOptionEventHandler(ctx, Recorder::handle, &stop), qelOptionSendProgress(ctx, 1),
                            qelOptionOutputFile(ctx, out), qelOptionAppendOutput(ctx, append),
                            qelOptionLastOption(ctx)),
                  -7);
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
    // A failing run into a new file leaves no file behind, and says so
    // through an error event before the final one.
    const std::string fresh = dir / "fresh.gpg";
    QELFileSpec *freshSpec = spec(fresh);
    Recorder again = Recorder::stoppingProgress(-7);
    EXPECT_EQ(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()), qelOptionArmorOutput(ctx, 1),
                        qelOptionEventHandler(ctx, Recorder::handle, &again), qelOptionSendProgress(ctx, 1),
                        qelOptionOutputFile(ctx, freshSpec), qelOptionLastOption(ctx)),
              -7);
    EXPECT_EQ(qelFileSpecFree(freshSpec), 0);
    EXPECT_FALSE(std::filesystem::exists(fresh));
    EXPECT_EQ(again.kinds, (std::vector<std::int32_t>{QELEvent_Initial, QELEvent_Progress, QELEvent_Error,
                                                      QELEvent_Final}));
}

TEST_F(EncodeTest, FailedRunLeavesAnAppendFileAsItWas)
{
    qeltest::TempDir dir("qelencapp");
    const Bytes kept = "earlier output, kept whole\n";
    const std::string path = dir / "log.gpg";
    qeltest::writeFile(path, kept);
    // Far more than the file's stream buffer, and the run stops half way:
    // much of the new message has reached the file by then.
    const Bytes data = pattern(400000, 8);
    for (int armor : {0, 1}) {
        SCOPED_TRACE(armor);
        Recorder stop = Recorder::stoppingProgress(-9, 50);
        QELFileSpec *out = spec(path);
        EXPECT_EQ(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()), qelOptionCompress(ctx, 0),
                            qelOptionArmorOutput(ctx, armor), qelOptionEventHandler(ctx, Recorder::handle, &stop),
                            qelOptionSendProgress(ctx, 1), qelOptionOutputFile(ctx, out),
                            qelOptionAppendOutput(ctx, 1), qelOptionLastOption(ctx)),
                  -9);
        EXPECT_EQ(qelFileSpecFree(out), 0);
        EXPECT_TRUE(qeltest::readFile(path) == kept) << qeltest::readFile(path).size();
    }
    // Appending to a file that is not there makes it: a failed run leaves
    // nothing behind.
    const std::string fresh = dir / "new.gpg";
    Recorder stop = Recorder::stoppingProgress(-9, 50);
    QELFileSpec *out = spec(fresh);
    EXPECT_EQ(qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()), qelOptionCompress(ctx, 0),
                        qelOptionEventHandler(ctx, Recorder::handle, &stop), qelOptionSendProgress(ctx, 1),
                        qelOptionOutputFile(ctx, out), qelOptionAppendOutput(ctx, 1), qelOptionLastOption(ctx)),
              -9);
    EXPECT_EQ(qelFileSpecFree(out), 0);
    EXPECT_FALSE(std::filesystem::exists(fresh));
}

TEST_F(EncodeTest, MemoryOutputsAppend)
{
    const Bytes data = "appended message";
    Bytes alone;
    ASSERT_EQ(encode(data, alone, qelOptionCompress(ctx, 0)), 0);
    ASSERT_FALSE(alone.empty());
    const Bytes used = "used part|";
    // The output options clear their out fields when they are made; what the
    // buffer already holds is stated in them afterwards.
    const auto run = [&](QELOptionList *output, const std::function<void()> &state) {
        state();
        return qelEncode(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()), qelOptionCompress(ctx, 0),
                         qelOptionAppendOutput(ctx, 1), output, qelOptionLastOption(ctx));
    };
    const auto block = [&] {
        void *b = qelMemAlloc(qelContextGetMemoryMgr(ctx), used.size(), 0);
        EXPECT_NE(b, nullptr);
        std::memcpy(b, used.data(), used.size());
        return b;
    };
    // A fixed buffer: written behind its used bytes, the size field counting both.
    {
        Bytes buffer(200, '#');
        buffer.replace(0, used.size(), used);
        std::uint64_t size = 0;
        ASSERT_EQ(run(qelOptionOutputBuffer(ctx, buffer.data(), buffer.size(), &size), [&] { size = used.size(); }),
                  0);
        ASSERT_EQ(size, used.size() + alone.size());
        EXPECT_TRUE(buffer.substr(0, size) == used + alone);
    }
    // Too small: the used bytes stay, what fitted follows them.
    {
        Bytes buffer(used.size() + 5, '#');
        buffer.replace(0, used.size(), used);
        std::uint64_t size = 0;
        EXPECT_EQ(run(qelOptionOutputBuffer(ctx, buffer.data(), buffer.size(), &size), [&] { size = used.size(); }),
                  QELError_OutputBufferTooSmall);
        EXPECT_EQ(size, buffer.size());
        EXPECT_TRUE(buffer == used + alone.substr(0, 5));
    }
    // A new buffer: the caller's present one comes first, and is given up
    // only for the longer one.
    {
        void *const present = block();
        void *out = nullptr;
        std::uint64_t size = 0;
        ASSERT_EQ(run(qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 16, &size),
                      [&] {
                          out = present;
                          size = used.size();
                      }),
                  0);
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(size, used.size() + alone.size());
        EXPECT_TRUE(Bytes(static_cast<const char *>(out), size) == used + alone);
        EXPECT_EQ(qelMemFree(out), 0);
    }
    // Over the limit: nothing is handed over and the caller's buffer is
    // still there, whole.
    {
        void *const present = block();
        void *out = nullptr;
        std::uint64_t size = 0;
        EXPECT_EQ(run(qelOptionOutputAllocatedBuffer(ctx, &out, used.size() + alone.size() - 1, &size),
                      [&] {
                          out = present;
                          size = used.size();
                      }),
                  QELError_OutputBufferTooSmall);
        EXPECT_EQ(out, present);
        EXPECT_EQ(size, used.size());
        EXPECT_TRUE(Bytes(static_cast<const char *>(out), used.size()) == used);
        EXPECT_EQ(qelMemFree(out), 0);
    }
    // No buffer yet: a plain new one.
    {
        void *out = nullptr;
        std::uint64_t size = 0;
        ASSERT_EQ(run(qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 16, &size), [] {}), 0);
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(Bytes(static_cast<const char *>(out), size) == alone);
        EXPECT_EQ(qelMemFree(out), 0);
    }
}

TEST_F(EncodeTest, MemoryOutputsWipeWhatTheyFree)
{
    // Key export sends secret key packets through the job into memory: no
    // block the job frees may still hold them.
    qeltest::TestHeap heap;
    QELContextParams params{QELSDKVersion, heap.make()};
    QELContext *context = nullptr;
    ASSERT_EQ(qelContextNewCustom(&params, &context), QELError_NoErr);
    const Bytes secret = "<<secret key packet bytes, 40 of them>>";
    Bytes data;
    for (int i = 0; i < 600; ++i)
        data += secret; // several FIFO chunks' worth
    long found = 0;
    heap.onFree = [&](const std::uint8_t *payload, std::size_t length, bool) {
        const std::string_view block(reinterpret_cast<const char *>(payload), length);
        found += block.find(secret.substr(0, 16)) != std::string_view::npos;
    };
    const auto run = [&](QELOptionList *output) {
        return qelEncode(context, qelOptionInputBuffer(context, data.data(), data.size()),
                         qelOptionCompress(context, 0), qelOptionOmitLiteralPacket(context, 1), output,
                         qelOptionLastOption(context));
    };
    void *block = nullptr;
    std::uint64_t size = 0;
    EXPECT_EQ(run(qelOptionOutputAllocatedBuffer(context, &block, 1 << 20, &size)), 0);
    EXPECT_EQ(found, 0);
    ASSERT_NE(block, nullptr);
    // Appending to it (the outs are stated once the option is made): the old
    // block is given up once the new one is handed over.
    const auto appendTo = [&](std::uint64_t limit) {
        void *const present = block;
        const std::uint64_t length = size;
        QELOptionList *output = qelOptionOutputAllocatedBuffer(context, &block, limit, &size);
        block = present;
        size = length;
        return run(qelOptionListBuild(context, false, output, qelOptionAppendOutput(context, 1),
                                      qelOptionLastOption(context)));
    };
    EXPECT_EQ(appendTo(1 << 20), 0);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(size, 2 * data.size());
    // Over the limit: the new block is dropped, the old one kept.
    EXPECT_EQ(appendTo(size + 100), QELError_OutputBufferTooSmall);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(size, 2 * data.size());
    heap.onFree = nullptr;
    EXPECT_EQ(qelMemFree(block), 0);
    EXPECT_EQ(qelContextFree(context), QELError_NoErr);
}

TEST_F(EncodeTest, LineEndFlagsConvertATextInputFile)
{
    qeltest::TempDir dir("qelenclines");
    const Bytes mixed = "dos line\r\nmac line\runix line\nlast";
    const Bytes lf = "dos line\nmac line\nunix line\nlast";
    const Bytes crlf = "dos line\r\nmac line\r\nunix line\r\nlast";
    const Bytes binary = Bytes("bin\r\n\0", 7) + mixed; // a NUL: not text
    struct Case {
        const char *what;
        const Bytes &input;
        std::int32_t flags; // -1: no option
        bool fromFile;
        const Bytes &expected;
    };
    const Case cases[] = {
        {"always, to LF", mixed, 2, true, lf},
        {"always, to CR LF", mixed, 2 | 4, true, crlf},
        {"text only, a text file", mixed, 1, true, lf},
        {"text only, a binary file", binary, 1, true, binary},
        {"always, a binary file", binary, 2 | 4, true, Bytes("bin\r\n\0", 7) + crlf},
        {"no option", mixed, -1, true, mixed},
        {"a buffer is no text file", mixed, 2, false, mixed},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qeltest::writeFile(dir / "in.txt", c.input);
        QELFileSpec *in = spec(dir / "in.txt");
        void *buffer = nullptr;
        std::uint64_t size = 0;
        // Signed in binary mode: the signature covers the converted bytes.
        ASSERT_EQ(qelEncode(ctx,
                            c.fromFile ? qelOptionInputFile(ctx, in)
                                       : qelOptionInputBuffer(ctx, c.input.data(), c.input.size()),
                            c.flags >= 0 ? qelOptionLineEndFlags(ctx, c.flags) : qelOptionNull(ctx), signWith(alice_),
                            qelOptionOutputAllocatedBuffer(ctx, &buffer, 1 << 20, &size), qelOptionLastOption(ctx)),
                  0);
        EXPECT_EQ(qelFileSpecFree(in), 0);
        const Bytes message(static_cast<const char *>(buffer), size);
        EXPECT_EQ(qelMemFree(buffer), 0);
        expectGnuPGReads(message, c.expected, kAlice);
    }
    // A text-mode detached signature over the converted file: GnuPG checks
    // it against the file as converted (a lone CR is a line end only here).
    qeltest::writeFile(dir / "in.txt", mixed);
    QELFileSpec *in = spec(dir / "in.txt");
    void *buffer = nullptr;
    std::uint64_t size = 0;
    ASSERT_EQ(qelEncode(ctx, qelOptionInputFile(ctx, in), qelOptionLineEndFlags(ctx, 2), qelOptionTextMode(ctx, 1),
                        qelOptionDetachedSignature(ctx, qelOptionLastOption(ctx)), signWith(alice_),
                        qelOptionOutputAllocatedBuffer(ctx, &buffer, 1 << 20, &size), qelOptionLastOption(ctx)),
              0);
    EXPECT_EQ(qelFileSpecFree(in), 0);
    const Bytes signature(static_cast<const char *>(buffer), size);
    EXPECT_EQ(qelMemFree(buffer), 0);
    expectGnuPGVerifies(signature, kAlice, &lf);
}

// The job output helper behind key export and certificate output: a DER
// certificate goes out as a PEM block OpenSSL reads back to the same bytes,
// or as it is without armor; an append file keeps what it held.
TEST_F(EncodeTest, JobOutputBufferWritesPEM)
{
    qeltest::TempDir dir("qelencpem");
    const std::string der = dir / "cert.der";
    ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:1024 -nodes -keyout " + (dir / "key.pem") + " -out " + der +
                           " -outform DER -subj /CN=qel -days 2 2>/dev/null")
                              .c_str()),
              0);
    const Bytes cert = qeltest::readFile(der);
    ASSERT_FALSE(cert.empty());
    const std::string pem = dir / "cert.pem";
    qeltest::writeFile(pem, "kept\n");
    QELFileSpec *out = spec(pem);
    QELOptionList *options = qelOptionListBuild(ctx, false, qelOptionArmorOutput(ctx, 1), qelOptionOutputFile(ctx, out),
                                                qelOptionAppendOutput(ctx, 1), qelOptionLastOption(ctx));
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(qelJobOutputBuffer(ctx, cert.data(), cert.size(), options, QELAnnotation_PemCertificate), 0);
    qelOptionListFree(options);
    EXPECT_EQ(qelFileSpecFree(out), 0);
    const Bytes written = qeltest::readFile(pem);
    ASSERT_EQ(written.substr(0, 5), "kept\n");
    EXPECT_EQ(written.substr(5, 28), "-----BEGIN CERTIFICATE-----\n") << written;
    qeltest::writeFile(pem, written.substr(5));
    ASSERT_EQ(std::system(("openssl x509 -in " + pem + " -outform DER -out " + (dir / "back.der") + " 2>/dev/null")
                              .c_str()),
              0)
        << written;
    EXPECT_TRUE(qeltest::readFile(dir / "back.der") == cert);
    // Without armor the bytes go out as they are, here into a new buffer.
    void *buffer = nullptr;
    std::uint64_t size = 0;
    options = qelOptionListBuild(ctx, false, qelOptionOutputAllocatedBuffer(ctx, &buffer, 1 << 16, &size),
                                 qelOptionLastOption(ctx));
    EXPECT_EQ(qelJobOutputBuffer(ctx, cert.data(), cert.size(), options, QELAnnotation_PemCertificate), 0);
    qelOptionListFree(options);
    ASSERT_NE(buffer, nullptr);
    EXPECT_TRUE(Bytes(static_cast<const char *>(buffer), size) == cert);
    EXPECT_EQ(qelMemFree(buffer), 0);
}

} // namespace
