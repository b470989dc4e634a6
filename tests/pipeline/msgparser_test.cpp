// The message parser and the Simple Annotation Reader over messages GnuPG
// wrote (tests/pipeline/data/msgparser/make_fixtures.sh, with the session
// key gpg used for each), hostile streams, and the reader's bounds.
#include "qelAnnotationReaderInternal.h"
#include "qelArmorCodecInternal.h"
#include "qelArmorParserInternal.h"
#include "qelCFB.h"
#include "qelCFBInternal.h"
#include "qelContextInternal.h"
#include "qelHash.h"
#include "qelHashInternal.h"
#include "qelMessageParserInternal.h"
#include "qelPipeTestModule.h"
#include "qelSettingsInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelSigItemInternal.h"
#include "qelSigVerifyInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kData = std::string(QEL_SOURCE_DIR) + "/tests/pipeline/data/msgparser/";

Bytes readBytes(const std::string &name)
{
    const std::string s = qeltest::readFile(kData + name);
    return Bytes(s.begin(), s.end());
}

// ---- the job's side ----------------------------------------------------------
struct Output {
    std::int32_t type = 0;
    std::string name;
    pipetest::Record record;
};

struct Job {
    QELContext *context = nullptr;
    std::string sessionKey; // "ALG:HEX" as gpg shows it
    std::vector<std::unique_ptr<Output>> outputs;
    std::vector<std::string> verdicts; // "good" / "bad" / "unchecked"
    std::vector<std::int32_t> events;
    std::int32_t decrypts = 0;
    Bytes detached;
    std::map<std::int32_t, std::int32_t> replies; // scope -> reply
};

void jobReport(void *data, QELStatus, std::int32_t event, std::int32_t, const void *)
{
    static_cast<Job *>(data)->events.push_back(event);
}
std::int32_t jobReply(void *data, std::int32_t scope, std::int32_t)
{
    auto *job = static_cast<Job *>(data);
    auto it = job->replies.find(scope);
    if (it != job->replies.end())
        return it->second;
    return scope == QELAnnotation_BeginLiteral ? QELAnnotation_ReplyProcess : QELAnnotation_ReplyRecurse;
}
QELStatus jobOpen(void *data, QELPipeModule **slot, std::int32_t type, const char *name)
{
    auto *job = static_cast<Job *>(data);
    qelPipeDestroy(*slot);
    auto out = std::make_unique<Output>();
    out->type = type;
    out->name = name != nullptr ? name : "";
    *slot = pipetest::makeRecorder(job->context, &out->record);
    job->outputs.push_back(std::move(out));
    return 0;
}
QELStatus jobDetached(void *data, QELPipeModule *chain)
{
    auto *job = static_cast<Job *>(data);
    if (job->detached.empty())
        return QELError_BadParams;
    QELStatus s = qelPipeWriteAll(chain, job->detached.data(), job->detached.size());
    return s != 0 ? s : qelPipeExpectBytes(chain, 0);
}
QELStatus jobSignature(void *data, const QELSigItem *signature, const std::uint8_t *digest)
{
    auto *job = static_cast<Job *>(data);
    if (digest == nullptr) {
        job->verdicts.push_back("failed");
        return 0;
    }
    // The two digest octets every signature states are an independent
    // check that the parser hashed exactly what GnuPG signed.
    QELSigBodyLayout layout{};
    EXPECT_EQ(qelSigPacketLayout(qelSigItemBytes(signature), signature->length, &layout), 0);
    const std::uint8_t *prefix = qelSigItemBytes(signature) + layout.prefixOffset;
    job->verdicts.push_back(prefix[0] == digest[0] && prefix[1] == digest[1] ? "good" : "bad");
    return 0;
}
QELStatus jobDecrypt(void *data, QELSigItem *, QELStatus (*send)(void *, const std::uint8_t *, std::uint64_t),
                     void *sendContext)
{
    auto *job = static_cast<Job *>(data);
    ++job->decrypts;
    const auto colon = job->sessionKey.find(':');
    if (colon == std::string::npos)
        return QELAnnotation_ReplyDiscard;
    Bytes key{static_cast<std::uint8_t>(std::stoi(job->sessionKey.substr(0, colon)))};
    for (std::size_t i = colon + 1; i + 1 < job->sessionKey.size(); i += 2)
        key.push_back(static_cast<std::uint8_t>(std::stoi(job->sessionKey.substr(i, 2), nullptr, 16)));
    return send(sendContext, key.data(), key.size());
}

QELStatus jobObserve(void *, const void *origin, std::int32_t code, const void *, std::uint64_t length)
{
    if (std::getenv("MSGPARSER_TRACE") != nullptr)
        std::fprintf(stderr, "  %p %#x %llu\n", origin, code, static_cast<unsigned long long>(length));
    return 0;
}

const QELDecodeCallbacks kCallbacks{jobReport, jobReply, jobOpen, jobDetached, jobSignature, jobDecrypt, jobObserve};

class MessageParserTest : public qeltest::SDKSuite {
protected:
    void SetUp() override
    {
        ASSERT_EQ(qelSettingsCreate(context, &settings_), 0);
        job_.context = context;
    }
    void TearDown() override { qelSettingsFree(settings_); }

    // Runs bytes through parser -> reader in pieces of `piece` bytes.
    QELStatus decode(const Bytes &message, std::size_t piece = 4096)
    {
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = qelAnnotationReaderCreate(context, &head, settings_, &kCallbacks, &job_);
        EXPECT_NE(slot, nullptr);
        if (armored_)
            EXPECT_NE(qelArmorParserCreate(context, &head, settings_, qelByteFifoDescriptor(), &kCallbacks, &job_),
                      nullptr);
        else
            EXPECT_NE(qelMessageParserCreate(context, &head, settings_, &kCallbacks, &job_), nullptr);
        QELStatus status = qelPipeExpectBytes(head, message.size());
        for (std::size_t at = 0; status == 0 && at < message.size();) {
            const std::size_t n = std::min(piece, message.size() - at);
            std::uint64_t taken = 0;
            status = qelPipeWriteAll(head, message.data() + at, n, &taken);
            at += taken;
        }
        if (status == 0)
            status = qelPipeExpectBytes(head, 0);
        qelPipeDestroy(head);
        return status;
    }
    std::string plainText(std::size_t i = 0) const
    {
        return i < job_.outputs.size() ? job_.outputs[i]->record.bytes : std::string("<no output>");
    }
    bool outputClosed(std::size_t i = 0) const
    {
        if (i >= job_.outputs.size())
            return false;
        for (const auto &op : job_.outputs[i]->record.ops)
            if (op == "E0")
                return true;
        return false;
    }

    struct SignedTextCase {
        const char *name;
        std::string message;
        std::string verdict;
        std::string text; // a piece of what the job must receive, "" for no check
    };
    // Each case through the armor parser, in single bytes and in large
    // pieces: its verdict, and the text the job received.
    void checkSignedText(const std::vector<SignedTextCase> &cases)
    {
        armored_ = true;
        for (const SignedTextCase &c : cases) {
            for (std::size_t piece : {std::size_t{1}, std::size_t{4096}}) {
                SCOPED_TRACE(std::string(c.name) + " piece " + std::to_string(piece));
                job_ = Job{};
                job_.context = context;
                EXPECT_EQ(decode(Bytes(c.message.begin(), c.message.end()), piece), 0);
                EXPECT_EQ(job_.verdicts, std::vector<std::string>{c.verdict});
                std::string text;
                for (const auto &out : job_.outputs)
                    text += out->record.bytes;
                EXPECT_NE(text.find(c.text), std::string::npos) << text;
            }
        }
    }

    QELSettings *settings_ = nullptr;
    Job job_;
    bool armored_ = false; // an armor parser reads the input first
};

const std::string &plainTxt()
{
    static const std::string s = qeltest::readFile(kData + "plain.txt");
    return s;
}
// What gpg --textmode puts into the literal: line ends as CR LF.
std::string crlf(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}
const std::string &plainBin()
{
    static const std::string s = qeltest::readFile(kData + "plain.bin");
    return s;
}

std::string keyOf(const std::string &name)
{
    std::string k = qeltest::readFile(kData + name + ".key");
    while (!k.empty() && (k.back() == '\n' || k.back() == '\r'))
        k.pop_back();
    return k;
}

// ---- GnuPG messages ------------------------------------------------------------
struct Fixture {
    const char *name;
    bool binary; // plain.bin rather than plain.txt
    QELStatus status;
};

TEST_F(MessageParserTest, ReadsWhatGnuPGEncrypts)
{
    const Fixture table[] = {
        {"sym-AES-s2k0", false, 0},       {"sym-AES-s2k1", false, 0},         {"sym-AES-s2k3", false, 0},
        {"sym-AES192-s2k3", false, 0},    {"sym-AES256-s2k0", false, 0},      {"sym-AES256-s2k3", false, 0},
        {"sym-CAST5-s2k1", false, 0},     {"sym-3DES-s2k3", false, 0},        {"sym-BLOWFISH-s2k3", false, 0},
        {"sym-TWOFISH-s2k3", false, 0},   {"sym-CAMELLIA128-s2k3", false, 0}, {"sym-CAMELLIA256-s2k1", false, 0},
        {"sym-IDEA-s2k3", false, 0},      {"sym-AES-zip", true, 0},           {"sym-AES-zlib", true, 0},
        {"sym-AES-bzip2", true, QELError_BadPacketFormat},
        {"sym-mdc", false, 0},            {"sym-nomdc", false, 0},            {"pk-rsa", false, 0},
        {"pk-elg", false, 0},             {"pk-throw", false, 0},             {"pk-sym", false, 0},
    };
    for (const Fixture &f : table) {
        SCOPED_TRACE(f.name);
        const std::string file = kData + f.name + ".gpg";
        if (qeltest::readFile(file).empty())
            continue; // a cipher this gpg does not offer
        const std::string key = keyOf(f.name);
        const QELCipherDescriptor *known = qelCipherDescriptorFind(std::stoi(key.substr(0, key.find(':'))));
        if (known == nullptr)
            continue; // a cipher this SDK does not build
        job_ = Job{};
        job_.context = context;
        job_.sessionKey = key;
        EXPECT_EQ(decode(readBytes(std::string(f.name) + ".gpg"), 1000), f.status);
        EXPECT_EQ(job_.decrypts, 1);
        if (f.status == 0) {
            ASSERT_EQ(job_.outputs.size(), 1u);
            EXPECT_TRUE(plainText() == (f.binary ? plainBin() : plainTxt()));
            EXPECT_EQ(job_.outputs[0]->name, f.binary ? "plain.bin" : "plain.txt");
            EXPECT_TRUE(outputClosed());
        }
    }
}

TEST_F(MessageParserTest, WrongSessionKeyFailsTheQuickCheck)
{
    std::string key = keyOf("sym-AES-s2k3");
    key.back() = key.back() == '0' ? '1' : '0';
    key[2] = key[2] == '0' ? '1' : '0';
    job_.sessionKey = key;
    EXPECT_EQ(decode(readBytes("sym-AES-s2k3.gpg")), QELError_SessionKeyDecryptFailed);
    EXPECT_TRUE(job_.outputs.empty());
}

TEST_F(MessageParserTest, ReadsWhatGnuPGSigns)
{
    struct Signed {
        const char *name;
        bool binary;
        bool text;
        std::vector<std::string> verdicts;
    };
    const Signed table[] = {
        {"sign-bin.gpg", true, false, {"good"}},       // one-pass inside a compressed packet
        {"sign-bin-z0.gpg", true, false, {"good"}},    // one-pass, literal, signature
        {"sign-text.gpg", false, true, {"good"}},     // --textmode
        {"sign-two.gpg", false, false, {"good", "good"}},
    };
    for (const Signed &s : table) {
        SCOPED_TRACE(s.name);
        job_ = Job{};
        job_.context = context;
        EXPECT_EQ(decode(readBytes(s.name), 777), 0);
        ASSERT_EQ(job_.outputs.size(), 1u);
        EXPECT_TRUE(plainText() == (s.binary ? plainBin() : s.text ? crlf(plainTxt()) : plainTxt()));
        EXPECT_EQ(job_.verdicts, s.verdicts);
    }
}

TEST_F(MessageParserTest, FlippedSignedByteIsBad)
{
    Bytes message = readBytes("sign-bin-z0.gpg");
    message[message.size() / 2] ^= 0x01; // inside the literal body
    EXPECT_EQ(decode(message), 0);
    EXPECT_EQ(job_.verdicts, std::vector<std::string>{"bad"});
}

TEST_F(MessageParserTest, SignatureWithoutDigestIsAFailedCheck)
{
    // the job discards the signature scope: no hashes ran, so the closing
    // signature cannot be checked, and the job hears of it as a failure
    job_.replies[QELAnnotation_BeginSignature] = QELAnnotation_ReplyDiscard;
    EXPECT_EQ(decode(readBytes("sign-bin-z0.gpg")), 0);
    EXPECT_EQ(job_.verdicts, std::vector<std::string>{"failed"});
    ASSERT_FALSE(job_.events.empty());
    EXPECT_EQ(job_.events.back(), QELDecodeEvent_HashForSignatureFailed);
}

TEST_F(MessageParserTest, SignedAndEncrypted)
{
    job_.sessionKey = keyOf("sign-enc");
    EXPECT_EQ(decode(readBytes("sign-enc.gpg"), 333), 0);
    EXPECT_EQ(plainText(), plainTxt());
    EXPECT_EQ(job_.verdicts, std::vector<std::string>{"good"});
}

TEST_F(MessageParserTest, DetachedSignatures)
{
    job_.detached.assign(plainBin().begin(), plainBin().end());
    EXPECT_EQ(decode(readBytes("detached-bin.sig")), 0);
    EXPECT_EQ(job_.verdicts, std::vector<std::string>{"good"});
    job_.verdicts.clear();
    job_.detached[10] ^= 1;
    EXPECT_EQ(decode(readBytes("detached-bin.sig")), 0);
    EXPECT_EQ(job_.verdicts, std::vector<std::string>{"bad"});
    // no data from the job: its failure, and no verdict
    job_.verdicts.clear();
    job_.detached.clear();
    EXPECT_EQ(decode(readBytes("detached-bin.sig")), QELError_BadParams);
    EXPECT_TRUE(job_.verdicts.empty());
}

TEST_F(MessageParserTest, DetachedTextSignature)
{
    job_.detached.assign(plainTxt().begin(), plainTxt().end());
    EXPECT_EQ(decode(readBytes("detached-text.sig")), 0);
    EXPECT_EQ(job_.verdicts, std::vector<std::string>{"good"});
}

// Clear-signed text: the text head gets the text as the armor parser would
// deliver it (dash escapes removed), the signature head what a message
// parser makes of the signature block. GnuPG hashes the lines without their
// trailing spaces and tabs (RFC 4880 section 7.1).
TEST_F(MessageParserTest, ClearSignedText)
{
    struct Case {
        std::string text;
        std::string verdict;
        bool hashHeader; // the armor's "Hash:" header names the algorithm
        std::size_t piece;
    };
    std::string flipped = plainTxt();
    flipped[3] ^= 1;
    const Case cases[] = {
        {plainTxt(), "good", false, 5},
        {plainTxt(), "good", true, 4096},
        {crlf(plainTxt()), "good", false, 1},
        {flipped, "bad", false, 4096},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.verdict + (c.hashHeader ? " with Hash:" : ""));
        job_.verdicts.clear();
        QELPipeModule *text = nullptr;
        QELPipeModule *signature = nullptr;
        const std::uint8_t sha512 = QELHashAlgorithm_SHA512;
        ASSERT_NE(qelSigVerifyReaderCreate(context, &text, &signature, settings_, qelByteFifoDescriptor(),
                                           c.hashHeader ? &sha512 : nullptr, c.hashHeader ? 1 : 0, true,
                                           &kCallbacks, &job_),
                  nullptr);
        QELPipeModule *parser = signature;
        ASSERT_NE(qelMessageParserCreate(context, &parser, settings_, &kCallbacks, &job_), nullptr);
        for (std::size_t at = 0; at < c.text.size(); at += c.piece) {
            const std::size_t n = std::min(c.piece, c.text.size() - at);
            ASSERT_EQ(qelPipeWriteAll(text, reinterpret_cast<const std::uint8_t *>(c.text.data()) + at, n), 0);
        }
        EXPECT_EQ(qelPipeExpectBytes(text, 0), 0);
        const Bytes sig = readBytes("clearsigned.sig");
        EXPECT_EQ(qelPipeWriteAll(parser, sig.data(), sig.size()), 0);
        EXPECT_EQ(qelPipeExpectBytes(parser, 0), 0);
        EXPECT_EQ(job_.verdicts, std::vector<std::string>{c.verdict});
        qelPipeDestroy(parser); // destroys the signature head behind it
        qelPipeDestroy(text);
    }
}

// ---- packet streams built here ------------------------------------------------
Bytes newPacket(std::uint8_t tag, const Bytes &body)
{
    Bytes out{static_cast<std::uint8_t>(0xC0 | tag)};
    if (body.size() < 192) {
        out.push_back(static_cast<std::uint8_t>(body.size()));
    } else {
        out.push_back(0xFF);
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(static_cast<std::uint8_t>(body.size() >> s));
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes literalBody(const std::string &text, char format = 'b')
{
    const std::string fields = std::string{format, '\x01', 'f'} + std::string(4, '\0') + text;
    return Bytes(fields.begin(), fields.end());
}

Bytes deflateRaw(const Bytes &in, int windowBits)
{
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, in.size()) + 16);
    z.next_in = const_cast<std::uint8_t *>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes compressedPacket(const Bytes &inner, bool indeterminate = false)
{
    Bytes body{1};
    const Bytes packed = deflateRaw(inner, -15);
    body.insert(body.end(), packed.begin(), packed.end());
    if (indeterminate) {
        Bytes out{0xA3};
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
    return newPacket(8, body);
}

TEST_F(MessageParserTest, LengthFormsAndPieceSizes)
{
    const std::string text(5000, 'x');
    // partial body lengths: 4096 + 512 + rest
    Bytes body = literalBody(text);
    Bytes partial{0xCB, 0xEC}; // 4096
    partial.insert(partial.end(), body.begin(), body.begin() + 4096);
    partial.push_back(0xE9); // 512
    partial.insert(partial.end(), body.begin() + 4096, body.begin() + 4608);
    const std::size_t rest = body.size() - 4608;
    partial.push_back(static_cast<std::uint8_t>(192 + ((rest - 192) >> 8)));
    partial.push_back(static_cast<std::uint8_t>((rest - 192) & 0xFF));
    partial.insert(partial.end(), body.begin() + 4608, body.end());
    Bytes oldTwo{0xAD, static_cast<std::uint8_t>(body.size() >> 8), static_cast<std::uint8_t>(body.size())};
    oldTwo.insert(oldTwo.end(), body.begin(), body.end());
    Bytes indeterminate{0xAF};
    indeterminate.insert(indeterminate.end(), body.begin(), body.end());
    for (const Bytes &message : {partial, oldTwo, indeterminate, newPacket(11, body)}) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
            job_ = Job{};
            job_.context = context;
            EXPECT_EQ(decode(message, piece), 0) << piece;
            EXPECT_EQ(plainText(), text) << piece;
            EXPECT_TRUE(outputClosed());
        }
    }
}

TEST_F(MessageParserTest, TwoLiteralsOpenTwoOutputs)
{
    Bytes message = newPacket(11, literalBody("first"));
    const Bytes second = newPacket(11, literalBody("", 't'));
    message.insert(message.end(), second.begin(), second.end());
    EXPECT_EQ(decode(message, 3), 0);
    ASSERT_EQ(job_.outputs.size(), 2u);
    EXPECT_EQ(plainText(0), "first");
    EXPECT_EQ(plainText(1), "");
    EXPECT_EQ(job_.outputs[1]->type, 't');
    EXPECT_TRUE(outputClosed(0));
    EXPECT_TRUE(outputClosed(1));
}

TEST_F(MessageParserTest, IndeterminateLiteralAloneInCompressedPacketReads)
{
    Bytes literal{0xAF};
    const Bytes body = literalBody("inside");
    literal.insert(literal.end(), body.begin(), body.end());
    for (bool outerIndeterminate : {false, true}) {
        job_ = Job{};
        job_.context = context;
        EXPECT_EQ(decode(compressedPacket(literal, outerIndeterminate), 5), 0);
        EXPECT_EQ(plainText(), "inside");
    }
}

// Signed data that is not a literal packet runs through the hashes raw up to
// the closing signature, which GnuPG writes with an old-format header (0x89):
// the parser must see it in either header format.
TEST_F(MessageParserTest, OnePassOverOtherDataEndsAtOldFormatSignature)
{
    const Bytes signedMessage = readBytes("sign-bin-z0.gpg");
    const Bytes onePass(signedMessage.begin(), signedMessage.begin() + 15);
    const Bytes literal(signedMessage.begin() + 15, signedMessage.begin() + 70035);
    const Bytes signature(signedMessage.begin() + 70035, signedMessage.end());
    ASSERT_EQ(signature[0], 0x89);
    Bytes message = onePass;
    const Bytes compressed = compressedPacket(literal);
    message.insert(message.end(), compressed.begin(), compressed.end());
    message.insert(message.end(), signature.begin(), signature.end());
    for (std::size_t piece : {std::size_t{1}, std::size_t{4096}}) {
        job_ = Job{};
        job_.context = context;
        EXPECT_EQ(decode(message, piece), 0);
        EXPECT_TRUE(plainText() == plainBin());
        // the hashes covered the compressed packet, not the literal's body
        EXPECT_EQ(job_.verdicts, std::vector<std::string>{"bad"});
    }
}

// ---- hostile streams --------------------------------------------------------------
Bytes nestedCompressed(int depth)
{
    Bytes message = newPacket(11, literalBody("deep"));
    for (int i = 0; i < depth; ++i)
        message = compressedPacket(message);
    return message;
}

Bytes withMdcTampered(const Bytes &message, int how)
{
    Bytes out = message;
    if (how == 0)
        out.back() ^= 0x01; // wrong MDC digest
    return out;
}

TEST_F(MessageParserTest, HostileStreams)
{
    const Bytes mdcMessage = readBytes("sym-mdc.gpg");
    Bytes truncatedMdc = mdcMessage;
    truncatedMdc.resize(truncatedMdc.size() - 10);
    Bytes literalPastEnd = newPacket(11, literalBody("0123456789"));
    literalPastEnd.resize(literalPastEnd.size() - 4);
    Bytes badSessionKey = {0x8C, 0x40, 0x04, 0x07}; // tag 3 claiming 64 body bytes, 2 there
    // one-pass, indeterminate literal that swallows its closing signature
    Bytes swallowed;
    {
        const Bytes signedMessage = readBytes("sign-bin-z0.gpg");
        // one-pass packet first (old format 0x90, 13 bytes)
        swallowed.assign(signedMessage.begin(), signedMessage.begin() + 15);
        swallowed.push_back(0xAF);
        const Bytes body = literalBody("swallowing");
        swallowed.insert(swallowed.end(), body.begin(), body.end());
        const Bytes sig = newPacket(2, Bytes(40, 0x04));
        swallowed.insert(swallowed.end(), sig.begin(), sig.end());
    }
    // session-key packets in front of the encrypted data: a run within the
    // bound, one too many, and one too large in bytes
    const auto sessionKeys = [&](std::size_t count, std::size_t bodyLength, bool withMessage) {
        Bytes out;
        Bytes body(bodyLength, 0x11);
        body[0] = 4; // symmetric-key packet: version 4, AES, simple S2K, SHA-1
        body[1] = 7;
        body[2] = 0;
        body[3] = 2;
        for (std::size_t i = 0; i < count; ++i) {
            const Bytes packet = newPacket(3, body);
            out.insert(out.end(), packet.begin(), packet.end());
        }
        if (withMessage)
            out.insert(out.end(), mdcMessage.begin(), mdcMessage.end());
        return out;
    };
    struct Hostile {
        const char *name;
        Bytes message;
        QELStatus status;
        bool needsKey;
    };
    const Hostile table[] = {
        {"nesting 100 deep", nestedCompressed(100), QELError_BadPacketFormat, false},
        {"nesting 30 deep reads", nestedCompressed(30), 0, false},
        {"wrong MDC", withMdcTampered(mdcMessage, 0), QELError_MDCMismatch, true},
        {"truncated MDC", truncatedMdc, QELError_TruncatedInput, true},
        {"literal past the end", literalPastEnd, QELError_TruncatedInput, false},
        {"bad session-key packet length", badSessionKey, QELError_TruncatedInput, false},
        {"indeterminate literal swallows its signature", swallowed, QELError_TruncatedInput, false},
        {"200 session-key packets read", sessionKeys(200, 4, true), 0, true},
        {"too many session-key packets", sessionKeys(QELMessageParserMaxSessionKeys + 1, 4, true),
         QELError_BadPacketFormat, true},
        {"session-key packets too large together", sessionKeys(250, 1090, false), QELError_BadPacketFormat, false},
    };
    for (const Hostile &h : table) {
        SCOPED_TRACE(h.name);
        job_ = Job{};
        job_.context = context;
        if (h.needsKey)
            job_.sessionKey = keyOf("sym-mdc");
        for (std::size_t piece : {std::size_t{1}, std::size_t{4096}}) {
            job_.outputs.clear();
            job_.verdicts.clear();
            EXPECT_EQ(decode(h.message, piece), h.status);
            if (h.status != 0) {
                // content of a failed message is never closed as complete
                for (std::size_t i = 0; i < job_.outputs.size(); ++i)
                    EXPECT_FALSE(outputClosed(i));
                EXPECT_TRUE(job_.verdicts.empty() || job_.verdicts == std::vector<std::string>{"failed"});
            }
        }
    }
}

TEST_F(MessageParserTest, MdcQuestionsOnlyWithADecryptionModule)
{
    // the job passes the encrypted data through: nobody downstream can
    // answer the integrity questions, and the parser must not ask them
    job_.replies[QELAnnotation_BeginEncrypted] = QELAnnotation_ReplyPassThrough;
    job_.sessionKey = "";
    const Bytes message = readBytes("sym-mdc.gpg");
    for (std::size_t piece : {std::size_t{1}, std::size_t{4096}}) {
        job_.outputs.clear();
        EXPECT_EQ(decode(message, piece), 0);
        // what is passed through opens elsewhere only with the session-key
        // packets in front of the encrypted data
        ASSERT_EQ(job_.outputs.size(), 1u);
        EXPECT_TRUE(plainText() == std::string(message.begin(), message.end())) << piece;
    }
}

TEST_F(MessageParserTest, ReaderRefusesScopesDeeperThanItsStack)
{
    QELPipeModule *head = nullptr;
    ASSERT_NE(qelAnnotationReaderCreate(context, &head, settings_, &kCallbacks, &job_), nullptr);
    QELStatus status = 0;
    int i = 0;
    for (; i < 60 && status == 0; ++i)
        status = qelPipeAnnotate(head, nullptr, QELAnnotation_BeginCompressed, nullptr, 0);
    EXPECT_EQ(status, QELError_BadPacketFormat);
    EXPECT_EQ(i, QELAnnotationReaderMaxScopes + 1);
    // an unmatched end is reported and leaves the stack as it was
    EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_EndLiteral, nullptr, 0), 0);
    ASSERT_FALSE(job_.events.empty());
    EXPECT_EQ(job_.events.back(), QELDecodeEvent_ScopeMismatch);
    qelPipeDestroy(head);
}

// ---- armored input ---------------------------------------------------------------
// GnuPG writes "PGP" where this system writes "QEL" on the BEGIN and END
// lines; the CRC covers only the decoded body, so swapping that one word is
// the whole translation.
Bytes asQel(const std::string &name)
{
    std::string text = qeltest::readFile(kData + name);
    for (const std::string line : {"-----BEGIN PGP ", "-----END PGP "})
        for (std::size_t at = 0; (at = text.find(line, at)) != std::string::npos; at += line.size())
            text.replace(at + line.size() - 4, 3, "QEL");
    return Bytes(text.begin(), text.end());
}

std::string armorBlock(const Bytes &data)
{
    std::string out = "-----BEGIN QEL MESSAGE-----\n\n";
    for (std::size_t at = 0; at < data.size(); at += 48) {
        char line[65];
        const std::size_t n = std::min<std::size_t>(48, data.size() - at);
        out.append(line, qelBase64Encode(data.data() + at, n, line));
        out += '\n';
    }
    const std::uint32_t crc = qelArmorCrc24(QELArmorCrc24Init, data.data(), data.size());
    const std::uint8_t crcBytes[3] = {static_cast<std::uint8_t>(crc >> 16), static_cast<std::uint8_t>(crc >> 8),
                                      static_cast<std::uint8_t>(crc)};
    char crcText[4];
    qelBase64Encode(crcBytes, 3, crcText);
    return out + "=" + std::string(crcText, 4) + "\n-----END QEL MESSAGE-----\n";
}

TEST_F(MessageParserTest, ArmoredGnuPGMessagesReadEndToEnd)
{
    armored_ = true;
    for (std::size_t piece : {std::size_t{1}, std::size_t{100}, std::size_t{4096}}) {
        SCOPED_TRACE(piece);
        job_ = Job{};
        job_.context = context;
        EXPECT_EQ(decode(asQel("armored-sign.asc"), piece), 0);
        ASSERT_EQ(job_.outputs.size(), 1u);
        EXPECT_EQ(plainText(), plainTxt());
        EXPECT_EQ(job_.verdicts, std::vector<std::string>{"good"});

        job_ = Job{};
        job_.context = context;
        job_.sessionKey = keyOf("armored-sym");
        EXPECT_EQ(decode(asQel("armored-sym.asc"), piece), 0);
        EXPECT_EQ(job_.decrypts, 1);
        ASSERT_EQ(job_.outputs.size(), 1u);
        EXPECT_EQ(plainText(), plainTxt());
        EXPECT_TRUE(outputClosed());
    }
    // text around the armor passes as text, in order
    job_ = Job{};
    job_.context = context;
    Bytes mail = {'H', 'i', '\n'};
    const Bytes block = asQel("armored-sign.asc");
    mail.insert(mail.end(), block.begin(), block.end());
    EXPECT_EQ(decode(mail), 0);
    EXPECT_EQ(job_.verdicts, std::vector<std::string>{"good"});
}

// Armor inside a literal inside armor: every level is one armor parser and
// one message parser more, and the depth stays bounded.
TEST_F(MessageParserTest, ArmorInsideLiteralsIsBounded)
{
    armored_ = true;
    const auto nested = [](int depth) {
        Bytes message = newPacket(11, literalBody("deep"));
        for (int i = 0; i < depth; ++i)
            message = newPacket(11, literalBody(armorBlock(message), 't'));
        const std::string text = armorBlock(message);
        return Bytes(text.begin(), text.end());
    };
    job_.replies[QELAnnotation_BeginLiteral] = QELAnnotation_ReplyRecurse;
    EXPECT_EQ(decode(nested(5), 999), 0);
    ASSERT_FALSE(job_.outputs.empty());
    EXPECT_EQ(job_.outputs.back()->record.bytes, "deep");
    job_.outputs.clear();
    EXPECT_EQ(decode(nested(QELMessageParserMaxNesting + 2), 4096), QELError_BadPacketFormat);
    for (const auto &out : job_.outputs)
        EXPECT_NE(out->record.bytes, "deep");
    // the refusal is the armor parser's own, not only the reader's stack
    for (std::int32_t depth : {QELMessageParserMaxNesting, QELMessageParserMaxNesting + 1}) {
        QELPipeModule *head = nullptr;
        QELStatus status = 0;
        QELPipeModule **slot = qelArmorParserCreateNested(context, &head, settings_, qelByteFifoDescriptor(),
                                                          &kCallbacks, &job_, depth, &status);
        EXPECT_EQ(slot != nullptr, depth <= QELMessageParserMaxNesting);
        EXPECT_EQ(status, depth <= QELMessageParserMaxNesting ? 0 : QELError_BadPacketFormat);
        qelPipeDestroy(head);
    }
}

std::string flipCase(std::string text, const std::string &at)
{
    text[text.find(at) + 1] ^= 0x20;
    return text;
}

// Clear-signed text from GnuPG: the text comes out without its dash escapes,
// and the signature is checked over the text with the trailing white space
// GnuPG leaves out of the hash.
TEST_F(MessageParserTest, ArmoredClearSignedTextVerifies)
{
    const std::string signedText =
        "- leading dash\n-----five dashes\nFrom the start\ntrailing spaces   \ntabs\t\t\nlast line";
    const Bytes raw = asQel("armored-clear.asc");
    const std::string good(raw.begin(), raw.end());
    checkSignedText({{"good", good, "good", signedText},
                     {"tampered", flipCase(good, "From the"), "bad", ""},
                     {"CR LF", crlf(good), "good", crlf(signedText)}});
}

// RFC 3156 multipart/signed: the signed part (its MIME headers, a blank line
// and the body, with CR LF line ends and without the line end before the
// boundary) is checked against the detached signature GnuPG made over it;
// the mail around it passes as text.
TEST_F(MessageParserTest, MimeMultipartSignedVerifies)
{
    const Bytes raw = asQel("armored-mime.eml");
    const std::string good(raw.begin(), raw.end());
    const std::string part = "Content-Type: text/plain\n\nMIME body line\n- dashed line\nlast line";
    checkSignedText({{"good", good, "good", part},
                     {"headers pass", good, "good", "Content-Type: multipart/signed"},
                     {"body tampered", flipCase(good, "MIME body"), "bad", ""},
                     {"part header tampered", flipCase(good, "text/plain"), "bad", ""},
                     {"CR LF", crlf(good), "good", crlf(part)}});
}

} // namespace
