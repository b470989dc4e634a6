// The compression modules: packets they write decompress with Python's zlib
// (raw deflate with 8 and 32 KiB windows, zlib streams) and with our own
// decompression modules; streams Python's zlib writes decompress here;
// damaged, truncated and overlong streams fail; the deflate stream ends once,
// at the end of input outside every scope.
#include "qelAddHeaderModuleInternal.h"
#include "qelCompressSelectInternal.h"
#include "qelContextInternal.h"
#include "qelDeflateModuleBlocksInternal.h"
#include "qelDeflateModuleInternal.h"
#include "qelInflateModuleInternal.h"
#include "qelMemory.h"
#include "qelPipeTestModule.h"
#include "qelTestDeflate.h"
#include "qelTestEnv.h"
#include "qelTestMemory.h"
#include "qelVarMemoryModuleInternal.h"
#include "qelZlibDeflateModuleInternal.h"
#include "qelZlibInflateModuleInternal.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const auto *const gEnv = qeltest::addHomeEnvironment("qelcompress", qeltest::HomeEnvironment::SDK::Up);

using Bytes = std::vector<std::uint8_t>;

// Python's zlib over a file: "compress LEVEL WBITS" or "decompress WBITS".
Bytes python(const std::string &dir, const Bytes &input, const std::string &args)
{
    const std::string path = dir + "/python-in.bin";
    qeltest::writeFile(path, std::string(input.begin(), input.end()));
    const std::string command =
        "/usr/bin/python3 -c \"import sys, zlib\n"
        "d = open(sys.argv[1], 'rb').read()\n"
        "if sys.argv[2] == 'compress':\n"
        "    c = zlib.compressobj(int(sys.argv[3]), zlib.DEFLATED, int(sys.argv[4]))\n"
        "    sys.stdout.buffer.write(c.compress(d) + c.flush())\n"
        "else:\n"
        "    sys.stdout.buffer.write(zlib.decompress(d, int(sys.argv[3])))\n\" " +
        path + " " + args;
    Bytes out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    std::uint8_t buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;)
        out.insert(out.end(), buffer, buffer + n);
    EXPECT_EQ(pclose(p), 0) << args;
    return out;
}

// The body of one compressed-data packet (old format with indeterminate
// length, or new format with partial lengths); empty when it is not one.
Bytes packetBody(const Bytes &packet)
{
    Bytes body;
    if (packet.empty())
        return body;
    if (packet[0] == 0xA3)
        return Bytes(packet.begin() + 1, packet.end());
    if (packet[0] != 0xC8)
        return body;
    std::size_t at = 1;
    for (;;) {
        if (at >= packet.size())
            return {};
        const std::uint8_t b = packet[at++];
        std::size_t length = 0;
        bool partial = false;
        if (b < 192) {
            length = b;
        } else if (b < 224) {
            if (at >= packet.size())
                return {};
            length = ((b - 192u) << 8) + packet[at++] + 192;
        } else if (b < 255) {
            length = std::size_t{1} << (b & 0x1F);
            partial = true;
        } else {
            if (at + 4 > packet.size())
                return {};
            length = (std::size_t{packet[at]} << 24) | (packet[at + 1] << 16) | (packet[at + 2] << 8) | packet[at + 3];
            at += 4;
        }
        if (at + length > packet.size())
            return {};
        body.insert(body.end(), packet.begin() + static_cast<std::ptrdiff_t>(at),
                    packet.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
        if (!partial)
            return at == packet.size() ? body : Bytes{};
    }
}

// zlib's reading of a compressed body of either algorithm (empty on error).
Bytes zlibDecode(const Bytes &stream, std::int32_t algorithm)
{
    if (algorithm == 1) {
        const auto r = qeltest::zlibInflateRaw(stream.data(), stream.size());
        return r.accepted ? r.output : Bytes{};
    }
    Bytes out(1 << 20);
    uLongf n = out.size();
    if (uncompress(out.data(), &n, stream.data(), stream.size()) != Z_OK)
        return {};
    out.resize(n);
    return out;
}

// Runs attempt(context) on a context over a heap of its own, once with each
// of its first 40 allocations failing in turn. No attempt may leave
// anything allocated; more than three must fail, and more than
// `succeededAtLeast` - 1 succeed.
template <typename Attempt>
void eachAllocationFailing(int succeededAtLeast, Attempt attempt)
{
    qeltest::TestHeap heap;
    QELMemoryMgr *mgr = heap.make();
    ASSERT_NE(mgr, nullptr);
    QELContextParams params{QELSDKVersion, mgr};
    QELContext *context = nullptr;
    ASSERT_EQ(qelContextNewCustom(&params, &context), QELError_NoErr);
    int failed = 0;
    int succeeded = 0;
    for (long n = 1; n <= 40; ++n) {
        SCOPED_TRACE(testing::Message() << "allocation " << n);
        const long live = heap.live;
        heap.countdown = n;
        const QELStatus status = attempt(context);
        (status == 0 ? succeeded : failed) += 1;
        heap.countdown = 0;
        EXPECT_EQ(heap.live, live);
    }
    EXPECT_GT(failed, 3);
    EXPECT_GE(succeeded, succeededAtLeast);
    EXPECT_EQ(qelContextFree(context), QELError_NoErr);
}

class CompressionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr);
        chmod(temp_.path().c_str(), 0700);   // also GnuPG's home
        dir_ = temp_.path();
    }
    void TearDown() override { EXPECT_EQ(qelContextFree(context_), QELError_NoErr); }

    Bytes take(QELPipeModule *sink)
    {
        std::uint64_t total = 0;
        void *buffer = nullptr;
        EXPECT_EQ(qelPipeAnnotate(sink, nullptr, QELAnnotation_QueryTotal, &total, 8), 0);
        EXPECT_EQ(qelPipeAnnotate(sink, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer), 0);
        Bytes out(static_cast<const std::uint8_t *>(buffer), static_cast<const std::uint8_t *>(buffer) + total);
        EXPECT_EQ(qelMemFree(buffer), 0);
        return out;
    }

    // A whole OpenPGP message: a binary literal packet of the data under the
    // name and time, compressed at level 6.
    void compressedLiteral(const Bytes &data, std::int32_t version, std::int32_t algorithm, const std::string &name,
                           std::uint32_t time, Bytes &message)
    {
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = qelLiteralModuleCreate(context_, &head, version, qelByteFifoDescriptor(), 'b',
                                                      name.c_str(), name.size(), time);
        ASSERT_NE(slot, nullptr);
        slot = qelCompressModuleCreate(context_, slot, version, qelByteFifoDescriptor(), algorithm, 6);
        ASSERT_NE(slot, nullptr);
        QELPipeModule *sink = qelVarMemoryModuleCreatePlain(context_, slot, QELVarMemoryNoLimit);
        ASSERT_NE(sink, nullptr);
        ASSERT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
        message = take(sink);
        qelPipeDestroy(head);
    }

    // A compressed-data packet made by the encode side for the data.
    Bytes compress(const Bytes &data, std::int32_t algorithm, std::int32_t level, std::int32_t version = 3)
    {
        QELPipeModule *head = nullptr;
        QELPipeModule **slot =
            qelCompressModuleCreate(context_, &head, version, qelByteFifoDescriptor(), algorithm, level);
        EXPECT_NE(slot, nullptr);
        if (slot == nullptr)
            return {};
        QELPipeModule *sink = qelVarMemoryModuleCreatePlain(context_, slot, QELVarMemoryNoLimit);
        EXPECT_NE(sink, nullptr);
        EXPECT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
        Bytes out = take(sink);
        qelPipeDestroy(head);
        return out;
    }

    struct Decoded {
        QELStatus status = 0;
        Bytes output;
    };

    // The decode side over a compressed body, fed in pieces; the status is
    // the first failure of a write or of the end of input.
    Decoded decompress(const Bytes &compressed, std::int32_t algorithm, std::size_t piece = 4096)
    {
        Decoded d;
        QELPipeModule *head = nullptr;
        QELStatus status = 0;
        QELPipeModule **slot = qelDecompressModuleCreate(context_, &head, algorithm, &status);
        if (slot == nullptr) {
            d.status = status;
            return d;
        }
        QELPipeModule *sink = qelVarMemoryModuleCreatePlain(context_, slot, QELVarMemoryNoLimit);
        EXPECT_NE(sink, nullptr);
        for (std::size_t at = 0; at < compressed.size() && d.status == 0; at += piece)
            d.status = qelPipeWriteAll(head, compressed.data() + at, std::min(piece, compressed.size() - at));
        if (d.status == 0)
            d.status = qelPipeExpectBytes(head, 0);
        d.output = take(sink);
        qelPipeDestroy(head);
        return d;
    }

    QELContext *context_ = nullptr;
    qeltest::TempDir temp_{"qelcompress"};
    std::string dir_;
};

TEST_F(CompressionTest, PacketsDecompressWithPythonAndHere)
{
    const Bytes data = qeltest::mixedBytes(70000, 7);
    for (std::int32_t algorithm : {1, 2}) {
        for (std::int32_t version : {3, 4}) {
            for (std::int32_t level : {0, 5, 9}) {
                if (version == 4 && level != 5)
                    continue;   // the framing does not depend on the level
                SCOPED_TRACE(testing::Message() << "algorithm " << algorithm << " version " << version << " level "
                                                << level);
                const Bytes body = packetBody(compress(data, algorithm, level, version));
                ASSERT_GE(body.size(), 2u);
                EXPECT_EQ(body[0], algorithm);
                const Bytes stream(body.begin() + 1, body.end());
                if (algorithm == 1) {
                    EXPECT_TRUE(python(dir_, stream, "decompress -13") == data);
                    EXPECT_TRUE(python(dir_, stream, "decompress -15") == data);
                } else {
                    EXPECT_TRUE(python(dir_, stream, "decompress 15") == data);
                }
                const Decoded here = decompress(stream, algorithm, 1000 + static_cast<std::size_t>(level));
                EXPECT_EQ(here.status, 0);
                EXPECT_TRUE(here.output == data);
            }
        }
    }
}

TEST_F(CompressionTest, PythonStreamsDecompressHere)
{
    const Bytes data = qeltest::textBytes(70000, 8);
    struct Case {
        std::int32_t algorithm;
        const char *args;
    };
    for (const Case &c : {Case{1, "compress 6 -13"}, Case{1, "compress 9 -15"}, Case{1, "compress 0 -15"},
                          Case{2, "compress 6 15"}, Case{2, "compress 1 9"}}) {
        SCOPED_TRACE(c.args);
        const Bytes stream = python(dir_, data, c.args);
        for (std::size_t piece : {std::size_t{1}, std::size_t{333}, std::size_t{65536}}) {
            const Decoded d = decompress(stream, c.algorithm, piece);
            EXPECT_EQ(d.status, 0) << piece;
            EXPECT_TRUE(d.output == data) << piece;
        }
    }
}

TEST_F(CompressionTest, EmptyInput)
{
    const Bytes raw = packetBody(compress({}, 1, 5));
    Bytes expected{1};
    const Bytes rawNothing = qeltest::zlibDeflateRaw({}, 5, -13);
    expected.insert(expected.end(), rawNothing.begin(), rawNothing.end());
    EXPECT_TRUE(raw == expected);

    const Bytes zlibBody = packetBody(compress({}, 2, 5));
    ASSERT_GE(zlibBody.size(), 2u);
    EXPECT_EQ(zlibBody[0], 2);
    EXPECT_TRUE(python(dir_, Bytes(zlibBody.begin() + 1, zlibBody.end()), "decompress 15").empty());
    for (std::int32_t algorithm : {1, 2}) {
        const Bytes body = packetBody(compress({}, algorithm, 5));
        const Decoded d = decompress(Bytes(body.begin() + 1, body.end()), algorithm);
        EXPECT_EQ(d.status, 0);
        EXPECT_TRUE(d.output.empty());
    }
}

TEST_F(CompressionTest, LevelZeroRawDeflateIsStored)
{
    const Bytes body = packetBody(compress(qeltest::textBytes(1000, 3), 1, 0));
    ASSERT_GE(body.size(), 2u);
    EXPECT_EQ((body[1] >> 1) & 3, 0);   // block type 0
    // zlib's level 0 with algorithm 2 means its default level, which does compress.
    const Bytes text = qeltest::textBytes(20000, 3);
    EXPECT_LT(packetBody(compress(text, 2, 0)).size(), text.size() / 2);
}

TEST_F(CompressionTest, UnknownAlgorithms)
{
    QELPipeModule *head = nullptr;
    QELStatus status = 0;
    EXPECT_EQ(qelDecompressModuleCreate(context_, &head, 3, &status), nullptr);
    EXPECT_EQ(status, QELError_BadPacketFormat);
    EXPECT_EQ(head, nullptr);
    status = 0;
    EXPECT_EQ(qelDecompressModuleCreate(context_, nullptr, 1, &status), nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(qelCompressModuleCreate(context_, &head, 3, qelByteFifoDescriptor(), 3, 5), nullptr);
    EXPECT_EQ(qelCompressModuleCreate(context_, nullptr, 3, qelByteFifoDescriptor(), 1, 5), nullptr);
    // A level zlib refuses makes the raw-deflate compressor fail.
    EXPECT_EQ(qelCompressModuleCreate(context_, &head, 3, qelByteFifoDescriptor(), 1, 12), nullptr);
    EXPECT_EQ(head, nullptr);
}

TEST_F(CompressionTest, HostileStreamsFail)
{
    const Bytes data = qeltest::textBytes(30000, 9);
    const Bytes raw = qeltest::zlibDeflateRaw(data, 6, -13);
    const Bytes zlibStream = python(dir_, data, "compress 6 15");
    struct Case {
        const char *name;
        std::int32_t algorithm;
        Bytes stream;
    };
    std::vector<Case> cases;
    cases.push_back({"raw cut short", 1, Bytes(raw.begin(), raw.end() - 3)});
    cases.push_back({"zlib cut short", 2, Bytes(zlibStream.begin(), zlibStream.end() - 3)});
    Bytes rawMore = raw;
    rawMore.push_back(0);
    cases.push_back({"raw with a byte after its end", 1, rawMore});
    Bytes zlibMore = zlibStream;
    zlibMore.push_back(0);
    cases.push_back({"zlib with a byte after its end", 2, zlibMore});
    Bytes zlibBadSum = zlibStream;
    zlibBadSum.back() ^= 1;
    cases.push_back({"zlib with a wrong checksum", 2, zlibBadSum});
    Bytes zlibBadHeader = zlibStream;
    zlibBadHeader[1] ^= 1;
    cases.push_back({"zlib with a bad header", 2, zlibBadHeader});
    // A fixed block copying from before the first byte.
    cases.push_back({"raw distance before the start", 1, Bytes{0x03, 0x02, 0x00, 0x00}});
    cases.push_back({"raw block type 3", 1, Bytes{0x07, 0x00}});
    for (const Case &c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{4096}}) {
            const Decoded d = decompress(c.stream, c.algorithm, piece);
            EXPECT_EQ(d.status, QELError_DecompressionFailed) << c.name << " piece " << piece;
        }
    }
}

// The source protocol also ends the input inside its own scope: the raw
// deflate stream is finished (and that end passed on) only at depth 0; the
// zlib module passes the inner end on and also finishes only at depth 0.
TEST_F(CompressionTest, StreamEndsOnceAtDepthZero)
{
    const Bytes data = qeltest::textBytes(5000, 10);
    for (std::int32_t algorithm : {1, 2}) {
        SCOPED_TRACE(algorithm);
        pipetest::Record record;
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = algorithm == 1 ? qelDeflateModuleCreate(context_, &head, 6)
                                              : qelZlibDeflateModuleCreate(context_, &head, 6);
        ASSERT_NE(slot, nullptr);
        *slot = pipetest::makeRecorder(context_, &record);
        ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_BeginInput, nullptr, 0), 0);
        ASSERT_EQ(qelPipeWriteAll(head, data.data(), 2000), 0);
        ASSERT_EQ(qelPipeExpectBytes(head, 0), 0);
        const std::size_t before = record.bytes.size();
        ASSERT_EQ(qelPipeWriteAll(head, data.data() + 2000, data.size() - 2000), 0);
        ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_EndInput, nullptr, 0), 0);
        ASSERT_EQ(qelPipeExpectBytes(head, 0), 0);
        ASSERT_EQ(qelPipeExpectBytes(head, 0), 0);   // a repeat only passes on
        const std::vector<std::string> expected =
            algorithm == 1 ? std::vector<std::string>{"A1500", "A1501", "E0", "E0"}
                           : std::vector<std::string>{"A1500", "E0", "A1501", "E0", "E0"};
        EXPECT_EQ(pipetest::framing(record.ops), expected);
        EXPECT_LT(before, 100u);   // nothing was finished inside the scope
        const Bytes stream(record.bytes.begin(), record.bytes.end());
        EXPECT_TRUE(python(dir_, stream, algorithm == 1 ? "decompress -13" : "decompress 15") == data);
        qelPipeDestroy(head);
    }
}

TEST_F(CompressionTest, DownstreamFailuresComeBack)
{
    const Bytes data = qeltest::randomBytes(20000, 11);
    constexpr QELStatus kFailure = -12345;
    for (std::int32_t algorithm : {1, 2}) {
        SCOPED_TRACE(algorithm);
        pipetest::Record record;
        record.failWrite = kFailure;
        record.failAfterBytes = 100;
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = algorithm == 1 ? qelDeflateModuleCreate(context_, &head, 6)
                                              : qelZlibDeflateModuleCreate(context_, &head, 6);
        ASSERT_NE(slot, nullptr);
        *slot = pipetest::makeRecorder(context_, &record);
        QELStatus status = 0;
        std::uint64_t taken = qelPipeWrite(head, data.data(), data.size(), &status);
        if (status == 0)
            status = qelPipeExpectBytes(head, 0);
        EXPECT_EQ(status, kFailure);
        EXPECT_GT(taken, 0u);
        qelPipeDestroy(head);

        // The same on the decode side.
        const Bytes stream = algorithm == 1 ? qeltest::zlibDeflateRaw(data, 6, -13) : python(dir_, data, "compress 6 15");
        pipetest::Record sinkRecord;
        sinkRecord.failWrite = kFailure;
        sinkRecord.failAfterBytes = 5000;
        head = nullptr;
        status = 0;
        slot = qelDecompressModuleCreate(context_, &head, algorithm, &status);
        ASSERT_NE(slot, nullptr);
        *slot = pipetest::makeRecorder(context_, &sinkRecord);
        EXPECT_EQ(qelPipeWriteAll(head, stream.data(), stream.size()), kFailure);
        EXPECT_EQ(sinkRecord.bytes.size(), 5000u);
        EXPECT_TRUE(Bytes(sinkRecord.bytes.begin(), sinkRecord.bytes.end()) == Bytes(data.begin(), data.begin() + 5000));
        qelPipeDestroy(head);
    }
}

// A consumer that takes a few bytes at a time still gets everything.
TEST_F(CompressionTest, SlowConsumerGetsEverything)
{
    const Bytes data = qeltest::structuredBytes(80000, 12);
    for (std::int32_t algorithm : {1, 2}) {
        SCOPED_TRACE(algorithm);
        const Bytes stream = algorithm == 1 ? qeltest::zlibDeflateRaw(data, 9, -15) : python(dir_, data, "compress 9 15");
        pipetest::Record record;
        record.takeAtMost = 777;
        QELPipeModule *head = nullptr;
        QELStatus status = 0;
        QELPipeModule **slot = qelDecompressModuleCreate(context_, &head, algorithm, &status);
        ASSERT_NE(slot, nullptr);
        *slot = pipetest::makeRecorder(context_, &record);
        ASSERT_EQ(qelPipeWriteAll(head, stream.data(), stream.size()), 0);
        ASSERT_EQ(qelPipeExpectBytes(head, 0), 0);
        EXPECT_TRUE(Bytes(record.bytes.begin(), record.bytes.end()) == data);
        qelPipeDestroy(head);
    }
}

// Memory that runs out at any one allocation, while a chain is made or while
// it runs, gives a clean failure (or, where nothing needed it, the right
// output) and leaves nothing allocated.
TEST_F(CompressionTest, MemoryFailuresLeaveNothingBehind)
{
    const Bytes data = qeltest::structuredBytes(40000, 14);
    const Bytes raw = qeltest::zlibDeflateRaw(data, 6, -15);
    const Bytes zlibStream = python(dir_, data, "compress 6 15");
    for (int mode = 0; mode < 4; ++mode) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        const std::int32_t algorithm = 1 + (mode & 1);
        const bool decode = mode >= 2;
        const Bytes &input = !decode ? data : (algorithm == 1 ? raw : zlibStream);
        eachAllocationFailing(1, [&](QELContext *context) {
            QELPipeModule *head = nullptr;
            QELStatus status = 0;
            QELPipeModule **slot =
                decode ? qelDecompressModuleCreate(context, &head, algorithm, &status)
                       : qelCompressModuleCreate(context, &head, 4, qelByteFifoDescriptor(), algorithm, 6);
            QELPipeModule *sink = slot != nullptr ? qelVarMemoryModuleCreatePlain(context, slot, QELVarMemoryNoLimit)
                                                  : nullptr;
            if (slot != nullptr && sink == nullptr)
                status = QELError_OutOfMemory;
            if (sink != nullptr) {
                status = qelPipePumpBuffer(head, input.data(), input.size(), nullptr, nullptr);
                std::uint64_t total = 0;
                void *buffer = nullptr;
                if (status == 0 && qelPipeAnnotate(sink, nullptr, QELAnnotation_QueryTotal, &total, 8) == 0 &&
                    qelPipeAnnotate(sink, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer) == 0 &&
                    buffer != nullptr) {
                    const Bytes out(static_cast<std::uint8_t *>(buffer), static_cast<std::uint8_t *>(buffer) + total);
                    static_cast<void>(qelMemFree(buffer));
                    if (decode) {
                        EXPECT_TRUE(out == data);
                    } else {
                        const Bytes body = packetBody(out);
                        EXPECT_GE(body.size(), 1u);
                        if (!body.empty()) {
                            EXPECT_TRUE(zlibDecode(Bytes(body.begin() + 1, body.end()), algorithm) == data);
                        }
                    }
                }
            }
            if (slot == nullptr && decode) {
                EXPECT_EQ(status, QELError_OutOfMemory);
            }
            qelPipeDestroy(head);
            return status;
        });
    }
}

// A literal packet compressed here is a whole OpenPGP message: GnuPG
// unpacks it to the literal's file.
TEST_F(CompressionTest, GnuPGDecompressesWhatWeCompress)
{
    if (std::system("gpg --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "gpg not installed";
    const Bytes data = qeltest::textBytes(50000, 13);
    for (std::int32_t algorithm : {1, 2}) {
        for (std::int32_t version : {3, 4}) {
            SCOPED_TRACE(testing::Message() << "algorithm " << algorithm << " version " << version);
            Bytes message;
            ASSERT_NO_FATAL_FAILURE(compressedLiteral(data, version, algorithm, "notes.txt", 1234567890, message));
            const std::string in = dir_ + "/message.gpg";
            const std::string out = dir_ + "/notes.txt";
            std::remove(out.c_str());
            qeltest::writeFile(in, std::string(message.begin(), message.end()));
            const std::string command = "cd " + dir_ + " && gpg --homedir " + dir_ +
                                        " --batch --pinentry-mode loopback --use-embedded-filename --decrypt " + in +
                                        " > /dev/null 2>&1";
            EXPECT_EQ(std::system(command.c_str()), 0);
            const std::string got = qeltest::readFile(out);
            EXPECT_TRUE(Bytes(got.begin(), got.end()) == data);
        }
    }
}

// ---- deflating in parallel blocks --------------------------------------------

constexpr std::size_t kBlock = QELDeflateBlockSize;

// The stream a deflation module (algorithm 1 or 2, level 6) writes for the
// data offered in pieces, with at most `workers` threads; a flush after the
// bytes listed in `flushAt`, whose stream so far goes to `atFlush`.
Bytes deflateWith(QELContext *context, std::int32_t algorithm, std::int32_t workers, const Bytes &data,
                  std::size_t piece, const std::vector<std::size_t> &flushAt = {},
                  std::vector<Bytes> *atFlush = nullptr)
{
    pipetest::Record record;
    QELPipeModule *head = nullptr;
    QELPipeModule **slot = algorithm == 1 ? qelDeflateModuleCreate(context, &head, 6, workers)
                                          : qelZlibDeflateModuleCreate(context, &head, 6, workers);
    EXPECT_NE(slot, nullptr);
    if (slot == nullptr)
        return {};
    *slot = pipetest::makeRecorder(context, &record);
    std::size_t at = 0;
    for (std::size_t flush : flushAt) {
        for (; at < flush; at += std::min(piece, flush - at))
            EXPECT_EQ(qelPipeWriteAll(head, data.data() + at, std::min(piece, flush - at)), 0);
        EXPECT_EQ(qelPipeFlush(head), 0);
        if (atFlush != nullptr)
            atFlush->emplace_back(record.bytes.begin(), record.bytes.end());
    }
    for (; at < data.size(); at += std::min(piece, data.size() - at))
        EXPECT_EQ(qelPipeWriteAll(head, data.data() + at, std::min(piece, data.size() - at)), 0);
    EXPECT_EQ(qelPipeExpectBytes(head, 0), 0);
    qelPipeDestroy(head);
    return Bytes(record.bytes.begin(), record.bytes.end());
}

// zlib's reading of either algorithm; the raw stream with the module's own
// 8 KiB window, so that a block reaching further back than it fails.
qeltest::InflateOutcome inflateEither(const Bytes &stream, std::int32_t algorithm)
{
    return qeltest::zlibInflateRaw(stream.data(), stream.size(), algorithm == 1 ? -13 : 15);
}

// Inputs of every size around the block and the ring, compressible and not,
// with threads and without: one stream that zlib reads back whole. Without
// threads, and at one block or less, it is the single stream zlib itself
// writes.
TEST_F(CompressionTest, ParallelBlocksMakeOneStream)
{
    struct Input {
        const char *name;
        Bytes data;
    };
    const std::vector<Input> inputs = {
        {"text", qeltest::textBytes(8 * kBlock + 333, 21)},   // beyond the ring of a lone worker
        {"random", qeltest::randomBytes(3 * kBlock + 7, 22)},
        {"zeros", Bytes(4 * kBlock, 0)},
    };
    const std::size_t sizes[] = {0, 1, kBlock, kBlock + 1, 2 * kBlock, ~std::size_t{0}};
    for (std::int32_t algorithm : {1, 2}) {
        for (const Input &input : inputs) {
            for (std::size_t size : sizes) {
                const Bytes data(input.data.begin(),
                                 input.data.begin() + static_cast<std::ptrdiff_t>(std::min(size, input.data.size())));
                const Bytes single = qeltest::zlibDeflateRaw(data, 6, algorithm == 1 ? -13 : 15);
                for (std::int32_t workers : {0, 1, 3}) {
                    SCOPED_TRACE(testing::Message() << "algorithm " << algorithm << " " << input.name << " size "
                                                    << data.size() << " workers " << workers);
                    const Bytes stream = deflateWith(context_, algorithm, workers, data, 50000);
                    const auto back = inflateEither(stream, algorithm);
                    EXPECT_TRUE(back.accepted);
                    EXPECT_TRUE(back.output == data);
                    if (workers == 0 || data.size() <= kBlock) {
                        EXPECT_TRUE(stream == single);
                    }
                    if (workers > 0 && data.size() > kBlock) {
                        EXPECT_FALSE(stream == single);   // the blocks did run
                    }
                }
            }
        }
    }
}

// A flush puts out everything so far on a byte boundary, before the first
// block is full (the module's own stream then takes the rest) and between
// blocks; the whole is still one stream.
TEST_F(CompressionTest, ParallelBlocksFlush)
{
    const Bytes data = qeltest::mixedBytes(5 * kBlock + 1000, 24);
    const std::vector<std::vector<std::size_t>> plans = {
        {1000}, {kBlock + 5}, {2 * kBlock, 2 * kBlock, 3 * kBlock + 17}, {kBlock + 1, data.size()}};
    for (std::int32_t algorithm : {1, 2}) {
        for (const auto &plan : plans) {
            SCOPED_TRACE(testing::Message() << "algorithm " << algorithm << " first flush " << plan.front());
            std::vector<Bytes> atFlush;
            const Bytes stream = deflateWith(context_, algorithm, 2, data, 70000, plan, &atFlush);
            const auto whole = inflateEither(stream, algorithm);
            EXPECT_TRUE(whole.accepted);
            EXPECT_TRUE(whole.output == data);
            ASSERT_EQ(atFlush.size(), plan.size());
            for (std::size_t i = 0; i < plan.size(); ++i) {
                const auto part = inflateEither(atFlush[i], algorithm);
                EXPECT_TRUE(part.output == Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(plan[i])))
                    << "flush " << i;
            }
        }
    }
}

// The engine itself: with workers, input beyond a block never reaches the
// module's own stream; without, all of it does and nothing is emitted.
TEST_F(CompressionTest, ParallelBlocksUseWorkersOnlyBeyondABlock)
{
    struct Seen {
        std::size_t serialBytes = 0;
        int serialCalls = 0;
        Bytes emitted;
    };
    const QELDeflateBlocksHooks hooks{
        [](void *user, const std::uint8_t *, std::size_t length, int) -> QELStatus {
            auto *seen = static_cast<Seen *>(user);
            seen->serialBytes += length;
            ++seen->serialCalls;
            return 0;
        },
        [](void *user, const std::uint8_t *bytes, std::size_t length) -> QELStatus {
            static_cast<Seen *>(user)->emitted.insert(static_cast<Seen *>(user)->emitted.end(), bytes, bytes + length);
            return 0;
        },
        nullptr};
    const Bytes data = qeltest::textBytes(4 * kBlock + 10, 25);
    struct Case {
        std::int32_t workers;
        std::size_t size;
        bool parallel;
    };
    for (const Case &c : {Case{2, 4 * kBlock + 10, true}, Case{0, 4 * kBlock + 10, false}, Case{2, kBlock, false}}) {
        SCOPED_TRACE(testing::Message() << "workers " << c.workers << " size " << c.size);
        Seen seen;
        QELDeflateBlocksHooks mine = hooks;
        mine.user = &seen;
        QELDeflateBlocks *blocks = qelDeflateBlocksNew(context_, 6, 15, true, c.workers, mine);
        ASSERT_NE(blocks, nullptr);
        EXPECT_EQ(qelDeflateBlocksWrite(blocks, data.data(), c.size), 0);
        EXPECT_EQ(qelDeflateBlocksFinish(blocks), 0);
        EXPECT_EQ(qelDeflateBlocksFinish(blocks), 0);   // a second end does nothing
        EXPECT_EQ(qelDeflateBlocksWorkers(blocks), c.parallel ? 2 : 0);
        EXPECT_EQ(seen.serialBytes, c.parallel ? 0 : c.size);
        EXPECT_EQ(seen.emitted.empty(), !c.parallel);
        if (c.parallel) {
            const auto back = inflateEither(seen.emitted, 2);
            EXPECT_TRUE(back.accepted);
            EXPECT_TRUE(back.output == Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(c.size)));
        }
        qelDeflateBlocksFree(blocks);
    }
}

// A downstream failure while blocks are in flight comes back, and the chain
// is torn down with the workers still holding jobs.
TEST_F(CompressionTest, ParallelBlocksDownstreamFailure)
{
    const Bytes data = qeltest::randomBytes(8 * kBlock, 26);
    constexpr QELStatus kFailure = -12345;
    for (std::int32_t algorithm : {1, 2}) {
        SCOPED_TRACE(algorithm);
        pipetest::Record record;
        record.failWrite = kFailure;
        record.failAfterBytes = kBlock;
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = algorithm == 1 ? qelDeflateModuleCreate(context_, &head, 6, 3)
                                              : qelZlibDeflateModuleCreate(context_, &head, 6, 3);
        ASSERT_NE(slot, nullptr);
        *slot = pipetest::makeRecorder(context_, &record);
        QELStatus status = 0;
        for (std::size_t at = 0; at < data.size() && status == 0; at += 10000)
            status = qelPipeWriteAll(head, data.data() + at, std::min<std::size_t>(10000, data.size() - at));
        if (status == 0)
            status = qelPipeExpectBytes(head, 0);
        EXPECT_EQ(status, kFailure);
        qelPipeDestroy(head);
    }
}

// Memory that runs out at any one allocation while blocks run gives a clean
// failure or the right stream (the module's own stream taking over when the
// ring cannot be had), and leaves nothing allocated.
TEST_F(CompressionTest, ParallelBlocksMemoryFailures)
{
    const Bytes data = qeltest::structuredBytes(3 * kBlock + 100, 27);
    for (std::int32_t algorithm : {1, 2}) {
        SCOPED_TRACE(testing::Message() << "algorithm " << algorithm);
        eachAllocationFailing(4, [&](QELContext *context) {
            pipetest::Record record;
            QELPipeModule *head = nullptr;
            QELPipeModule **slot = algorithm == 1 ? qelDeflateModuleCreate(context, &head, 6, 2)
                                                  : qelZlibDeflateModuleCreate(context, &head, 6, 2);
            QELStatus status = QELError_OutOfMemory;
            if (slot != nullptr && (*slot = pipetest::makeRecorder(context, &record)) != nullptr) {
                status = qelPipeWriteAll(head, data.data(), data.size());
                if (status == 0)
                    status = qelPipeExpectBytes(head, 0);
                if (status == 0) {
                    const auto back = inflateEither(Bytes(record.bytes.begin(), record.bytes.end()), algorithm);
                    EXPECT_TRUE(back.accepted);
                    EXPECT_TRUE(back.output == data);
                }
            }
            qelPipeDestroy(head);
            return status;
        });
    }
}

// GnuPG unpacks what the blocks make: empty, small, exactly one block (the
// single stream), and beyond it, compressible and not.
TEST_F(CompressionTest, GnuPGDecompressesParallelBlocks)
{
    if (std::system("gpg --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "gpg not installed";
    const Bytes text = qeltest::textBytes(3 * kBlock + 5, 28);
    const Bytes random = qeltest::randomBytes(3 * kBlock + 5, 29);
    for (std::int32_t algorithm : {1, 2}) {
        for (const Bytes *source : {&text, &random}) {
            for (std::size_t size : {std::size_t{0}, std::size_t{1000}, kBlock, 2 * kBlock, source->size()}) {
                SCOPED_TRACE(testing::Message() << "algorithm " << algorithm << (source == &text ? " text " : " random ")
                                                << size);
                const Bytes data(source->begin(), source->begin() + static_cast<std::ptrdiff_t>(size));
                Bytes message;
                ASSERT_NO_FATAL_FAILURE(compressedLiteral(data, 4, algorithm, "", 0, message));
                const std::string in = dir_ + "/blocks.gpg";
                const std::string out = dir_ + "/blocks.out";
                std::remove(out.c_str());
                qeltest::writeFile(in, std::string(message.begin(), message.end()));
                const std::string command = "gpg --homedir " + dir_ + " --batch --pinentry-mode loopback -o " + out +
                                            " --decrypt " + in + " > /dev/null 2>&1";
                EXPECT_EQ(std::system(command.c_str()), 0);
                const std::string got = qeltest::readFile(out);
                EXPECT_TRUE(Bytes(got.begin(), got.end()) == data);
            }
        }
    }
}

} // namespace
