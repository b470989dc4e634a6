// The decode job on what GnuPG writes (made at test time from the committed
// keys of tests/keys/data/make_rings.sh, in one GnuPG home for the whole
// binary): plaintext, file name and signature verdicts agree with GnuPG's
// own reading; the events of a run come in order; and the job's bounds
// (nothing opened without a handler, a decompression bomb, outputs a failed
// run must not delete) hold.
#include "../keys/keys_fixture.h"

#include "qelCipherTestUtil.h"
#include "qelClientEncode.h"
#include "qelDecode.h"
#include "qelDecodeJobInternal.h"
#include "qelEvent.h"
#include "qelFileSpecInternal.h"
#include "qelKeyDB.h"
#include "qelMemory.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>

namespace {

using namespace ciphertest;

const auto *const gEnv = qeltest::addHomeEnvironment("qeldecode", qeltest::HomeEnvironment::SDK::Up);

// What a run reported, in order.
struct Record {
    QELStatus status = 0;
    std::vector<std::int32_t> events;
    struct Output {
        std::int32_t type = 0;
        std::string name;
        bool forYourEyesOnly = false;
        void *buffer = nullptr;
        std::uint64_t size = 0;
        Bytes bytes() const { return buffer != nullptr ? Bytes(static_cast<char *>(buffer), size) : Bytes(); }
    };
    std::deque<Output> outputs;
    std::vector<std::string> signatures; // "good KEYID", "bad KEYID", "unknown KEYID"
    std::deque<std::string> passphrases; // answers to Passphrase events, in order
    std::int32_t stopAtAnalyze = -1;
    QELKeyDB *offerDB = nullptr;
    std::int32_t recipients = -1; // public-key count of the Recipients event
    QELFileSpec *detachedFile = nullptr; // the answer to a DetachedSignature event
    ~Record()
    {
        for (auto &o : outputs)
            if (o.buffer != nullptr)
                (void)qelMemFree(o.buffer);
    }
};

// No public maker exists for this option kind yet.
QELOptionList *stopAfterFirstSection(QELContext *ctx)
{
    std::uint64_t one = 1;
    return qelOptionNewValue(ctx, QELOption_StopAfterHeader, &one, 4, nullptr);
}

std::string keyIDHex(const std::uint8_t id[36])
{
    return keystest::hex(id + 4, 8);
}

std::int32_t handler(QELContext *ctx, QELEvent *event, void *user)
{
    auto &run = *static_cast<Record *>(user);
    run.events.push_back(event->kind);
    switch (event->kind) {
    case QELEvent_Output: {
        Record::Output &o = run.outputs.emplace_back();
        o.type = event->data.output.type;
        o.name = event->data.output.name != nullptr ? event->data.output.name : "";
        o.forYourEyesOnly = event->data.output.forYourEyesOnly != 0;
        event->reply->options = qelOptionOutputAllocatedBuffer(ctx, &o.buffer, 1 << 26, &o.size);
        return 0;
    }
    case QELEvent_Passphrase:
        if (!run.passphrases.empty()) {
            event->reply->options = qelOptionPassphrase(ctx, run.passphrases.front().c_str());
            run.passphrases.pop_front();
        }
        return 0;
    case QELEvent_Recipients:
        run.recipients = event->data.recipients.publicKeyCount;
        return 0;
    case QELEvent_DetachedSignature:
        if (run.detachedFile != nullptr)
            event->reply->options = qelOptionDetachedSignature(ctx, qelOptionInputFile(ctx, run.detachedFile),
                                                               qelOptionLastOption(ctx));
        return 0;
    case QELEvent_Analyze:
        return run.stopAtAnalyze == event->data.number.value ? QELError_JobEventStop : 0;
    case QELEvent_Signature: {
        const QELEventSignature &s = event->data.signature;
        const std::string id = keyIDHex(s.signerKeyID);
        if (s.key == nullptr) {
            run.signatures.push_back("unknown " + id);
            if (run.offerDB != nullptr) {
                event->reply->options = qelOptionTargetKeyDB(ctx, run.offerDB);
                run.offerDB = nullptr;
            }
        } else {
            run.signatures.push_back(std::string(s.checked && s.verified ? "good " : "bad ") + id);
        }
        return 0;
    }
    default:
        return 0;
    }
}

class DecodeTest : public keystest::ContextTest {
protected:
    static void SetUpTestSuite()
    {
        gpg_ = new Gpg;
        ASSERT_EQ(gpg_->run("--import " + keystest::dataPath("secret.gpg")), 0) << gpg_->errors();
        plain_ = new Bytes(pattern(70000, 7));
        text_ = new Bytes("Line one\nLine two with trailing spaces   \nTabs\t\t\n- dash line\nlast line\n");
        gpg_->put("plain.bin", *plain_);
        gpg_->put("plain.txt", *text_);
    }
    static void TearDownTestSuite()
    {
        delete gpg_;
        delete plain_;
        delete text_;
    }
    void SetUp() override
    {
        keystest::ContextTest::SetUp();
        secret_ = openOwned(keystest::readFile(keystest::dataPath("secret.gpg")));
        ASSERT_NE(secret_, nullptr);
    }

    // A message gpg makes with the arguments from the named input.
    static Bytes make(const std::string &args, const std::string &input = "plain.bin")
    {
        const std::string out = gpg_->file("msg");
        std::remove(out.c_str());
        EXPECT_EQ(gpg_->run("--trust-model always --passphrase pw -o " + out + " " + args + " " +
                            gpg_->file(input)),
                  0)
            << args << ": " << gpg_->errors();
        Bytes text = gpg_->get("msg");
        // This system's armor says QEL where GnuPG's says PGP.
        if (args.find("--armor") != std::string::npos || args.find("--clearsign") != std::string::npos)
            for (const std::string line : {"-----BEGIN PGP ", "-----END PGP "})
                for (std::size_t at = 0; (at = text.find(line, at)) != std::string::npos; at += line.size())
                    text.replace(at + line.size() - 4, 3, "QEL");
        return text;
    }

    // Decodes with the event handler recording into run.
    template <typename... Extra>
    void decode(Record &run, const Bytes &message, Extra... extra)
    {
        run.status = qelDecode(ctx, qelOptionInputBuffer(ctx, message.data(), message.size()),
                               qelOptionEventHandler(ctx, handler, &run), extra..., qelOptionLastOption(ctx));
    }

    static Gpg *gpg_;
    static Bytes *plain_;
    static Bytes *text_;
    QELKeyDB *secret_ = nullptr;
};

Gpg *DecodeTest::gpg_ = nullptr;
Bytes *DecodeTest::plain_ = nullptr;
Bytes *DecodeTest::text_ = nullptr;

// RSA signing key; RSA and ElGamal encryption subkeys.
const std::string kRSA = "A515292A9E13E7CB";
const std::string kDSA = "3F510BEF7903B077";

TEST_F(DecodeTest, SymmetricMessagesOfEveryCipherModeAndCompression)
{
    struct Case {
        std::string args;
    };
    std::vector<std::string> cases;
    for (const char *cipher : {"AES", "AES192", "AES256", "CAST5", "3DES", "BLOWFISH", "TWOFISH"})
        for (const char *mode : {"0", "1", "3"})
            cases.push_back(std::string("--symmetric -z 0 --cipher-algo ") + cipher + " --s2k-mode " + mode);
    for (const char *z : {"zip", "zlib"})
        cases.push_back(std::string("--symmetric --cipher-algo AES --compress-algo ") + z);
    cases.push_back("--symmetric --armor --cipher-algo AES256");
    for (const std::string &args : cases) {
        SCOPED_TRACE(args);
        const Bytes message = make(args);
        if (message.empty())
            continue; // a cipher this gpg was built without
        Record run;
        decode(run, message, qelOptionPassphrase(ctx, "pw"));
        ASSERT_EQ(run.status, 0);
        ASSERT_EQ(run.outputs.size(), 1u);
        EXPECT_TRUE(run.outputs[0].bytes() == *plain_);
        EXPECT_EQ(run.outputs[0].name, "plain.bin");
        EXPECT_EQ(run.outputs[0].type, 'b');
    }
}

TEST_F(DecodeTest, PublicKeyMessagesAndSignaturesAgreeWithGnuPG)
{
    struct Case {
        std::string args;
        std::string input;
        std::vector<std::string> signatures;
        bool armored = false;
    };
    const Case cases[] = {
        {"--encrypt -r plain@example.org", "plain.bin", {}},
        {"--encrypt -r main@example.org", "plain.bin", {}},
        {"--encrypt -r plain@example.org -r main@example.org", "plain.bin", {}},
        {"--encrypt --throw-keyids -r main@example.org", "plain.bin", {}},
        {"-c -e -r plain@example.org --passphrase other", "plain.bin", {}},
        {"--sign -u plain@example.org", "plain.bin", {"good " + kRSA}},
        {"--sign -u main@example.org -z 0", "plain.bin", {"good " + kDSA}},
        {"--sign -u plain@example.org -u main@example.org", "plain.bin", {"good " + kRSA, "good " + kDSA}},
        {"--sign -u plain@example.org -e -r main@example.org", "plain.bin", {"good " + kRSA}},
        {"--armor --sign -e -u main@example.org -r plain@example.org", "plain.bin", {"good " + kDSA}, true},
        {"--sign --textmode -u plain@example.org", "plain.txt", {"good " + kRSA}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        const Bytes message = make(c.args, c.input);
        ASSERT_FALSE(message.empty());
        Record run;
        decode(run, message, qelOptionTargetKeyDB(ctx, secret_));
        ASSERT_EQ(run.status, 0);
        ASSERT_EQ(run.outputs.size(), 1u);
        EXPECT_TRUE(run.outputs[0].bytes() == (c.input == "plain.bin" ? *plain_ : *text_));
        EXPECT_EQ(run.outputs[0].name, c.input);
        // gpg's own reading of the same message.
        EXPECT_EQ(gpg_->run("--status-fd 1 -o /dev/null --decrypt " + gpg_->file("msg")), 0) << gpg_->errors();
        const Bytes status = gpg_->get("gpg.out");
        std::vector<std::string> expected;
        for (std::size_t at = 0; (at = status.find("[GNUPG:] GOODSIG ", at)) != Bytes::npos; at += 10)
            expected.push_back("good " + status.substr(at + 17, 16));
        std::vector<std::string> got = run.signatures;
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(got, expected);
        std::sort(expected.begin(), expected.end());
        std::vector<std::string> want = c.signatures;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want);
    }
}

// Signed data long enough for the signature hashes to run on worker threads
// reads as short data does: every signer good, with and without compression,
// and bad after a flipped byte deep in the literal.
TEST_F(DecodeTest, LongSignedMessagesVerify)
{
    const Bytes big = pattern(3u << 20, 11);
    gpg_->put("big.bin", big);
    Bytes uncompressed;
    for (const char *args : {"--sign -u plain@example.org -u main@example.org -z 0",
                             "--sign -u plain@example.org --compress-algo zlib"}) {
        SCOPED_TRACE(args);
        const Bytes message = make(args, "big.bin");
        ASSERT_FALSE(message.empty());
        if (uncompressed.empty())
            uncompressed = message;
        Record run;
        decode(run, message, qelOptionTargetKeyDB(ctx, secret_));
        ASSERT_EQ(run.status, 0);
        ASSERT_EQ(run.outputs.size(), 1u);
        EXPECT_TRUE(run.outputs[0].bytes() == big);
        std::vector<std::string> got = run.signatures;
        std::sort(got.begin(), got.end());
        const std::vector<std::string> both{"good " + kDSA, "good " + kRSA};
        EXPECT_EQ(got, uncompressed.size() == message.size() ? both : std::vector<std::string>{"good " + kRSA});
    }
    uncompressed[uncompressed.size() / 2] ^= 0x10;
    Record run;
    decode(run, uncompressed, qelOptionTargetKeyDB(ctx, secret_));
    std::vector<std::string> got = run.signatures;
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"bad " + kDSA, "bad " + kRSA}));
}

TEST_F(DecodeTest, DetachedAndClearSignedVerdicts)
{
    // Detached: the data comes from the option; altered data is a bad
    // signature, as gpg says.
    const Bytes signature = make("--detach-sign -u plain@example.org");
    for (bool altered : {false, true}) {
        Bytes data = *plain_;
        if (altered)
            data[100] ^= 1;
        Record run;
        decode(run, signature, qelOptionTargetKeyDB(ctx, secret_), qelOptionDiscardOutput(ctx, 1),
               qelOptionDetachedSignature(ctx, qelOptionInputBuffer(ctx, data.data(), data.size()),
                                          qelOptionLastOption(ctx)));
        EXPECT_EQ(run.status, 0);
        gpg_->put("data", data);
        const int rc = gpg_->run("--verify " + gpg_->file("msg") + " " + gpg_->file("data"));
        ASSERT_EQ(run.signatures.size(), 1u);
        EXPECT_EQ(run.signatures[0], (altered ? "bad " : "good ") + kRSA);
        EXPECT_EQ(rc == 0, !altered);
    }
    // Data in a file, asked for through the DetachedSignature event: it is
    // pumped with progress events of its own.
    {
        QELFileSpec *data = nullptr;
        ASSERT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(ctx), gpg_->file("plain.bin").c_str(), &data), 0);
        Record run;
        run.detachedFile = data;
        decode(run, signature, qelOptionTargetKeyDB(ctx, secret_), qelOptionDiscardOutput(ctx, 1),
               qelOptionSendProgress(ctx, 1));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.signatures, std::vector<std::string>{"good " + kRSA});
        const auto asked = std::find(run.events.begin(), run.events.end(), QELEvent_DetachedSignature);
        ASSERT_NE(asked, run.events.end());
        EXPECT_GE(std::count(asked, run.events.end(), QELEvent_Progress), 1); // 70000 bytes fit one read
        EXPECT_EQ(qelFileSpecFree(data), 0);
    }
    // Clear-signed text.
    const Bytes clear = make("--clearsign -u main@example.org", "plain.txt");
    Record run;
    decode(run, clear, qelOptionTargetKeyDB(ctx, secret_));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.signatures, std::vector<std::string>{"good " + kDSA});
}

TEST_F(DecodeTest, EventsComeInOrder)
{
    const Bytes symmetric = make("--symmetric -z 0 --cipher-algo AES");
    struct Case {
        const char *what;
        std::deque<std::string> answers;
        std::vector<std::int32_t> events;
        std::size_t outputs;
    };
    const Case cases[] = {
        {"right passphrase at the second try",
         {"wrong", "pw"},
         {QELEvent_Initial, QELEvent_BeginSection, QELEvent_Analyze, QELEvent_Recipients, QELEvent_Passphrase,
          QELEvent_Passphrase, QELEvent_Decryption, QELEvent_Output, QELEvent_EndSection, QELEvent_Final},
         1},
        {"no passphrase given: skipped",
         {},
         {QELEvent_Initial, QELEvent_BeginSection, QELEvent_Analyze, QELEvent_Recipients, QELEvent_Passphrase,
          QELEvent_EndSection, QELEvent_Final},
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Record run;
        run.passphrases = c.answers;
        decode(run, symmetric);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.events, c.events);
        ASSERT_EQ(run.outputs.size(), c.outputs);
        if (c.outputs != 0) {
            EXPECT_TRUE(run.outputs[0].bytes() == *plain_);
        }
    }

    // Progress while the input is pumped, only when asked for.
    {
        Record run;
        decode(run, symmetric, qelOptionPassphrase(ctx, "pw"), qelOptionSendProgress(ctx, 1));
        EXPECT_EQ(run.status, 0);
        EXPECT_GT(std::count(run.events.begin(), run.events.end(), QELEvent_Progress), 1);
        EXPECT_EQ(run.events.front(), QELEvent_Initial);
        EXPECT_EQ(run.events.back(), QELEvent_Final);
    }

    // An unknown signer: a Signature event without a key; the database
    // offered in the answer is searched next.
    const Bytes signed_ = make("--sign -u plain@example.org -z 0");
    {
        Record run;
        decode(run, signed_);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.signatures, std::vector<std::string>{"unknown " + kRSA});
        const std::vector<std::int32_t> want{QELEvent_Initial,   QELEvent_BeginSection, QELEvent_Analyze,
                                             QELEvent_Output,    QELEvent_Signature,    QELEvent_EndSection,
                                             QELEvent_Final};
        EXPECT_EQ(run.events, want);
    }
    {
        Record run;
        run.offerDB = secret_;
        decode(run, signed_);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.signatures, (std::vector<std::string>{"unknown " + kRSA, "good " + kRSA}));
    }

    // Two messages one after the other: two sections, two outputs; with
    // StopAfterHeader only the first.
    const Bytes two = make("--armor --symmetric -z 0") + make("--armor --symmetric -z 0", "plain.txt");
    {
        Record run;
        decode(run, two, qelOptionPassphrase(ctx, "pw"));
        EXPECT_EQ(run.status, 0);
        ASSERT_EQ(run.outputs.size(), 2u);
        EXPECT_TRUE(run.outputs[0].bytes() == *plain_);
        EXPECT_EQ(run.outputs[1].name, "plain.txt");
        EXPECT_EQ(std::count(run.events.begin(), run.events.end(), QELEvent_BeginSection), 2);
        EXPECT_EQ(std::count(run.events.begin(), run.events.end(), QELEvent_EndSection), 2);
    }
    {
        Record run;
        decode(run, two, qelOptionPassphrase(ctx, "pw"), stopAfterFirstSection(ctx));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.outputs.size(), 1u);
        EXPECT_EQ(std::count(run.events.begin(), run.events.end(), QELEvent_EndSection), 1);
    }
    // With an output option both go to that one output.
    {
        void *out = nullptr;
        std::uint64_t size = 0;
        ASSERT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, two.data(), two.size()), qelOptionPassphrase(ctx, "pw"),
                            qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 20, &size), qelOptionLastOption(ctx)),
                  0);
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(Bytes(static_cast<char *>(out), size) == *plain_ + *text_);
        EXPECT_EQ(qelMemFree(out), 0);
    }
}

TEST_F(DecodeTest, NothingOpenedWithoutHandlerIsAnError)
{
    const Bytes message = make("--encrypt -r plain@example.org -z 0");
    void *out = nullptr;
    std::uint64_t size = 0;
    // No key database and no passphrase, and nobody to ask.
    EXPECT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, message.data(), message.size()),
                        qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 20, &size), qelOptionLastOption(ctx)),
              QELError_NothingDecrypted);
    EXPECT_EQ(out, nullptr);
    // No output and no handler: refused before any input is read.
    EXPECT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, message.data(), message.size()), qelOptionLastOption(ctx)),
              QELError_BadParams);
    // With the key it opens.
    ASSERT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, message.data(), message.size()),
                        qelOptionTargetKeyDB(ctx, secret_), qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 20, &size),
                        qelOptionLastOption(ctx)),
              0);
    EXPECT_TRUE(Bytes(static_cast<char *>(out), size) == *plain_);
    EXPECT_EQ(qelMemFree(out), 0);
}

// A compressed packet holding a compressed packet holding `zeros` zero
// bytes as a literal: a bomb of a few KiB.
Bytes bomb(std::uint64_t zeros)
{
    auto packet = [](int tag, const Bytes &body) {
        Bytes p(1, static_cast<char>(0x80 | (tag << 2) | 3)); // old format, indeterminate length
        return p + body;
    };
    // Raw deflate of prefix then total bytes of chunk repeated. After a
    // full flush the compressor starts afresh, so every flushed chunk
    // compresses to the same bytes: one is made and repeated, and 10 GiB
    // costs no more than 1 MiB.
    auto compress = [](std::uint64_t total, const Bytes &prefix, const Bytes &chunkBytes) {
        z_stream z{};
        EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
        Bytes buffer(1 << 16, 0);
        auto run = [&](const Bytes &in, int flush) {
            Bytes out;
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
            z.avail_in = static_cast<uInt>(in.size());
            do {
                z.next_out = reinterpret_cast<Bytef *>(buffer.data());
                z.avail_out = static_cast<uInt>(buffer.size());
                deflate(&z, flush);
                out.append(buffer.data(), buffer.size() - z.avail_out);
            } while (z.avail_out == 0);
            return out;
        };
        Bytes out = run(prefix, Z_FULL_FLUSH);
        if (total != 0) {
            const Bytes one = run(chunkBytes, Z_FULL_FLUSH);
            for (std::uint64_t done = 0; done < total; done += chunkBytes.size())
                out += one;
        }
        out += run(Bytes(), Z_FINISH);
        deflateEnd(&z);
        return out;
    };
    const Bytes literalHeader = Bytes(1, static_cast<char>(0x80 | (11 << 2) | 3)) + "b" + Bytes(1, 0) +
                                Bytes(4, 0);
    const Bytes inner = compress(zeros, literalHeader, Bytes(1 << 20, 0));
    const Bytes middle = packet(8, Bytes(1, 1) + inner);
    const Bytes outer = compress(0, middle, Bytes());
    return packet(8, Bytes(1, 1) + outer);
}

TEST_F(DecodeTest, DecompressionBombStopsWithItsOwnStatus)
{
    // The caller's limit, on a small bomb, and the default rule on 10 GiB
    // of zeros stored in a few KiB.
    const Bytes small = bomb(std::uint64_t{8} << 20);
    {
        Record run;
        decode(run, small);
        EXPECT_EQ(run.status, 0);
        ASSERT_EQ(run.outputs.size(), 1u);
        EXPECT_EQ(run.outputs[0].size, std::uint64_t{8} << 20);
    }
    EXPECT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, small.data(), small.size()), qelOptionDiscardOutput(ctx, 1),
                        qelOptionDecompressionLimit(ctx, 1 << 20), qelOptionLastOption(ctx)),
              QELError_DecompressionLimit);
    EXPECT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, small.data(), small.size()), qelOptionDiscardOutput(ctx, 1),
                        qelOptionLastOption(ctx)),
              0);
    const Bytes big = bomb(std::uint64_t{10} << 30);
    EXPECT_LT(big.size(), 64u * 1024);
    EXPECT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, big.data(), big.size()), qelOptionDiscardOutput(ctx, 1),
                        qelOptionLastOption(ctx)),
              QELError_DecompressionLimit);
}

TEST_F(DecodeTest, FailedRunKeepsFilesItDidNotCreate)
{
    qeltest::TempDir dir("qeldecode");
    const std::string appendPath = dir.path() + "/append.out";
    const std::string existingPath = dir.path() + "/existing.out";
    const std::string newPath = dir.path() + "/new.out";
    qeltest::writeFile(appendPath, "kept\n");
    qeltest::writeFile(existingPath, "old contents\n");
    // A message whose integrity check fails: the last byte of the
    // encrypted data is flipped.
    Bytes message = make("--symmetric -z 0 --cipher-algo AES");
    message.back() ^= 1;
    auto spec = [&](const std::string &path) {
        QELFileSpec *s = nullptr;
        EXPECT_EQ(qelFileSpecNewFromPath(qelContextGetMemoryMgr(ctx), path.c_str(), &s), 0);
        return s;
    };
    struct Case {
        std::string path;
        bool append;
        bool existsAfter;
        std::string contents;
    };
    const Case cases[] = {
        {appendPath, true, true, "kept\n"},
        {existingPath, false, true, "old contents\n"},
        {newPath, false, false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        QELFileSpec *s = spec(c.path);
        EXPECT_NE(qelDecode(ctx, qelOptionInputBuffer(ctx, message.data(), message.size()),
                            qelOptionPassphrase(ctx, "pw"), qelOptionOutputFile(ctx, s),
                            qelOptionAppendOutput(ctx, c.append), qelOptionLastOption(ctx)),
                  0);
        EXPECT_EQ(std::filesystem::exists(c.path), c.existsAfter);
        // A failed run may have appended some of the content, but what the
        // file held stays whole.
        if (c.existsAfter) {
            EXPECT_EQ(qeltest::readFile(c.path).substr(0, c.contents.size()), c.contents);
        }
        EXPECT_EQ(qelFileSpecFree(s), 0);
    }
    // The whole message, appended, then written over an existing file.
    message.back() ^= 1;
    QELFileSpec *s = spec(appendPath);
    ASSERT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, message.data(), message.size()), qelOptionPassphrase(ctx, "pw"),
                        qelOptionOutputFile(ctx, s), qelOptionAppendOutput(ctx, 1), qelOptionLastOption(ctx)),
              0);
    const Bytes appended = qeltest::readFile(appendPath);
    EXPECT_TRUE(appended.size() >= plain_->size() && appended.substr(appended.size() - plain_->size()) == *plain_);
    EXPECT_EQ(appended.substr(0, 5), "kept\n");
    EXPECT_EQ(qelFileSpecFree(s), 0);
    s = spec(existingPath);
    ASSERT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, message.data(), message.size()), qelOptionPassphrase(ctx, "pw"),
                        qelOptionOutputFile(ctx, s), qelOptionLastOption(ctx)),
              0);
    EXPECT_TRUE(qeltest::readFile(existingPath) == *plain_);
    EXPECT_EQ(qelFileSpecFree(s), 0);
    // File input.
    qeltest::writeFile(dir.path() + "/msg.gpg", message);
    s = spec(dir.path() + "/msg.gpg");
    void *out = nullptr;
    std::uint64_t size = 0;
    ASSERT_EQ(qelDecode(ctx, qelOptionInputFile(ctx, s), qelOptionPassphrase(ctx, "pw"),
                        qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 20, &size), qelOptionLastOption(ctx)),
              0);
    EXPECT_TRUE(Bytes(static_cast<char *>(out), size) == *plain_);
    EXPECT_EQ(qelMemFree(out), 0);
    EXPECT_EQ(qelFileSpecFree(s), 0);
}

TEST_F(DecodeTest, KeyMaterialIsImportedOrAnnounced)
{
    // A public key gpg exports, armored and binary: imported into the
    // database of the KeyDB option, or announced with KeysFound.
    for (const char *args : {"--export plain@example.org", "--armor --export plain@example.org"}) {
        SCOPED_TRACE(args);
        const std::string out = gpg_->file("msg");
        ASSERT_EQ(gpg_->run(std::string("-o ") + out + " " + args), 0) << gpg_->errors();
        Bytes keys = gpg_->get("msg");
        for (const std::string line : {"-----BEGIN PGP ", "-----END PGP "})
            for (std::size_t at = 0; (at = keys.find(line, at)) != std::string::npos; at += line.size())
                keys.replace(at + line.size() - 4, 3, "QEL");
        QELKeyDB *target = nullptr;
        ASSERT_EQ(qelKeyDBNewInMemory(ctx, &target), 0);
        Record run;
        decode(run, keys, qelOptionKeyDB(ctx, target), qelOptionDiscardOutput(ctx, 1));
        EXPECT_EQ(run.status, 0);
        std::uint32_t count = 0;
        EXPECT_EQ(qelKeyDBCountKeys(target, &count), 0);
        EXPECT_EQ(count, 1u);
        EXPECT_NE(std::find(run.events.begin(), run.events.end(), QELEvent_Analyze), run.events.end());
        EXPECT_EQ(qelKeyDBRelease(target), 0);

        Record announced;
        decode(announced, keys, qelOptionSendKeysFound(ctx, 1), qelOptionDiscardOutput(ctx, 1));
        EXPECT_EQ(announced.status, 0);
        EXPECT_EQ(std::count(announced.events.begin(), announced.events.end(), QELEvent_KeysFound), 1);
    }
}

// Certificate input: one DER element after another; an element that is not
// whole ends the loop with an error rather than spinning on it.
QELStatus countingImport(QELContext *, const std::uint8_t *, std::uint64_t, std::int32_t, QELKeyDB *,
                         QELOptionList *passphrase, QELCertImportResult *)
{
    qelOptionListFree(passphrase);
    return 0;
}

TEST_F(DecodeTest, CertificateLoopEnds)
{
    EXPECT_EQ(qelDecodeDerElementLength(reinterpret_cast<const std::uint8_t *>("\x30\x00"), 2), 2u);
    EXPECT_EQ(qelDecodeDerElementLength(reinterpret_cast<const std::uint8_t *>("\x30\x80\x00\x00"), 4), 0u);
    EXPECT_EQ(qelDecodeDerElementLength(reinterpret_cast<const std::uint8_t *>("\x30\x05\x00"), 3), 0u);
    const QELDecodeJobSeams installed = qelDecodeJobSeams();
    qelDecodeJobSeams().certImport = countingImport;
    const Bytes two("\x30\x01\x05\x30\x00", 5);
    EXPECT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, two.data(), two.size()), qelOptionKeyDB(ctx, secret_),
                        qelOptionInputFormat(ctx, 10000), qelOptionDiscardOutput(ctx, 1), qelOptionLastOption(ctx)),
              0);
    const Bytes cut("\x30\x01\x05\x30\x05\x00", 6);
    EXPECT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, cut.data(), cut.size()), qelOptionKeyDB(ctx, secret_),
                        qelOptionInputFormat(ctx, 10000), qelOptionDiscardOutput(ctx, 1), qelOptionLastOption(ctx)),
              QELError_BadPacketFormat);
    qelDecodeJobSeams() = installed;
}

// Options 41, 62 and 63 keep the armor's own lines: the output gets the
// clear-signed message or the key block as it came, while the signature is
// still checked and the keys still imported; 41 also opens armored literal
// text ('r').
TEST_F(DecodeTest, TextLineOptionsKeepTheArmorsOwnLines)
{
    const Bytes clear = make("--clearsign -u " + kRSA, "plain.txt");
    const auto joined = [](const Record &run) {
        Bytes all;
        for (const auto &o : run.outputs)
            all += o.bytes();
        return all;
    };
    for (bool asText : {false, true}) {
        SCOPED_TRACE(asText);
        Record run;
        decode(run, clear, qelOptionTargetKeyDB(ctx, secret_),
               asText ? qelOptionKind62(ctx, 1) : qelOptionNull(ctx));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.signatures, std::vector<std::string>{"good " + kRSA});
        // The line end before the signature is not part of the signed text.
        EXPECT_TRUE(joined(run) == (asText ? clear : text_->substr(0, text_->size() - 1))) << joined(run);
    }
    const std::string out = gpg_->file("msg");
    ASSERT_EQ(gpg_->run("--armor -o " + out + " --export " + kRSA), 0) << gpg_->errors();
    Bytes keys = gpg_->get("msg");
    for (const std::string line : {"-----BEGIN PGP ", "-----END PGP "})
        for (std::size_t at = 0; (at = keys.find(line, at)) != std::string::npos; at += line.size())
            keys.replace(at + line.size() - 4, 3, "QEL");
    const Bytes around = "before the block\n" + keys + "after the block\n";
    for (bool asText : {false, true}) {
        SCOPED_TRACE(asText);
        QELKeyDB *target = nullptr;
        ASSERT_EQ(qelKeyDBNewInMemory(ctx, &target), 0);
        Record run;
        decode(run, around, qelOptionKeyDB(ctx, target), asText ? qelOptionKind63(ctx, 1) : qelOptionNull(ctx));
        EXPECT_EQ(run.status, 0);
        std::uint32_t count = 0;
        EXPECT_EQ(qelKeyDBCountKeys(target, &count), 0);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(qelKeyDBRelease(target), 0);
        // The text around the block is plain text, dropped without option 42.
        EXPECT_TRUE(joined(run) == (asText ? keys : Bytes())) << joined(run);
    }
    // A literal of armored text ('r'): its armor is opened only under 41.
    const Bytes inner = make("--armor --store", "plain.txt");
    const Bytes literal = Bytes("r\0\0\0\0\0", 6) + inner;
    ASSERT_LT(literal.size(), 192u); // a one-octet length
    const Bytes message = Bytes{'\xCB', static_cast<char>(literal.size())} + literal;
    for (bool open : {false, true}) {
        SCOPED_TRACE(open);
        Record run;
        decode(run, message, open ? qelOptionKind41(ctx, 1) : qelOptionNull(ctx));
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(joined(run) == (open ? *text_ : inner)) << joined(run);
    }
}

// Option 21 gives the session key itself (algorithm byte and key, as GnuPG
// shows it): the message opens without a passphrase or a key.
TEST_F(DecodeTest, SessionKeyOptionOpensTheMessage)
{
    const Bytes message = make("--cipher-algo AES256 --symmetric");
    gpg_->put("sk.msg", message);
    ASSERT_EQ(gpg_->run("--status-fd 1 --passphrase pw --show-session-key -o /dev/null --decrypt " +
                        gpg_->file("sk.msg")),
              0)
        << gpg_->errors();
    const Bytes status = gpg_->get("gpg.out");
    const std::string tag = "[GNUPG:] SESSION_KEY ";
    const std::size_t at = status.find(tag);
    ASSERT_NE(at, Bytes::npos) << status;
    const std::string shown = status.substr(at + tag.size(), status.find('\n', at) - at - tag.size());
    const std::size_t colon = shown.find(':');
    ASSERT_NE(colon, std::string::npos) << shown;
    Bytes key(1, static_cast<char>(std::stoi(shown.substr(0, colon))));
    for (std::size_t i = colon + 1; i + 1 < shown.size(); i += 2)
        key += static_cast<char>(std::stoi(shown.substr(i, 2), nullptr, 16));
    ASSERT_EQ(key.size(), 33u) << shown;
    Record run;
    decode(run, message, qelOptionSessionKey(ctx, key.data(), key.size()));
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.outputs.size(), 1u);
    EXPECT_TRUE(run.outputs[0].bytes() == *plain_);
    EXPECT_EQ(std::count(run.events.begin(), run.events.end(), QELEvent_Passphrase), 0);
    // A wrong key opens nothing; the handler is asked for another.
    key[5] ^= 1;
    Record wrong;
    decode(wrong, message, qelOptionSessionKey(ctx, key.data(), key.size()));
    EXPECT_EQ(wrong.status, 0);
    EXPECT_TRUE(wrong.outputs.empty() || wrong.outputs[0].bytes().empty());
    EXPECT_EQ(std::count(wrong.events.begin(), wrong.events.end(), QELEvent_Passphrase), 1);
}

} // namespace
