// The packet writers: exact headers and lengths in both modes, the literal
// body prefix, the marker packet, a refused 4 GiB definite body, and the
// packets as GnuPG lists and decrypts them.
#include "qelAddHeaderModuleInternal.h"
#include "qelContextInternal.h"
#include "qelFileHeaderModuleInternal.h"
#include "qelFlexFifoInternal.h"
#include "qelMemory.h"
#include "qelPipeTestModule.h"
#include "qelTestEnv.h"
#include "qelVarMemoryModuleInternal.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

const auto *const gEnv = qeltest::addHomeEnvironment("qelpacket", qeltest::HomeEnvironment::SDK::Up);

using Bytes = std::string;

Bytes pattern(std::size_t n)
{
    Bytes s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = char('a' + i % 26);
    return s;
}

const std::uint8_t *u8(const Bytes &b) { return reinterpret_cast<const std::uint8_t *>(b.data()); }

Bytes bytes(std::initializer_list<int> list)
{
    Bytes out;
    for (int b : list)
        out.push_back(char(b));
    return out;
}

enum class Announce { Before, AtEnd };

class PacketTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override { EXPECT_EQ(qelContextFree(context_), QELError_NoErr); }

    // Runs body through the module made by `make` into a memory sink.
    Bytes run(const std::function<QELPipeModule **(QELPipeModule **)> &make, const Bytes &body, Announce announce)
    {
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = make(&head);
        EXPECT_NE(slot, nullptr);
        if (slot == nullptr)
            return {};
        EXPECT_NE(qelVarMemoryModuleCreatePlain(context_, slot, QELVarMemoryNoLimit), nullptr);
        if (announce == Announce::Before) {
            EXPECT_EQ(qelPipePumpBuffer(head, body.data(), body.size(), nullptr, nullptr), 0);
        } else {
            EXPECT_EQ(qelPipeWriteAll(head, u8(body), body.size()), 0);
            EXPECT_EQ(qelPipeExpectBytes(head, 0), 0);
        }
        Bytes out = take(head);
        qelPipeDestroy(head);
        return out;
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

    std::function<QELPipeModule **(QELPipeModule **)> addHeader(std::int32_t version, std::uint8_t tag,
                                                                 std::int32_t type, Bytes prefix = {})
    {
        return [=, this](QELPipeModule **slot) {
            return qelAddHeaderModuleCreate(context_, slot, version, qelFlexFifoDescriptor(), tag, type,
                                            prefix.data(), prefix.size());
        };
    }
    std::function<QELPipeModule **(QELPipeModule **)> literal(std::int32_t version, char format, Bytes name,
                                                               std::uint32_t date)
    {
        return [=, this](QELPipeModule **slot) {
            return qelLiteralModuleCreate(context_, slot, version, qelFlexFifoDescriptor(), std::uint8_t(format),
                                          name.data(), name.size(), date);
        };
    }

    QELContext *context_ = nullptr;
};

TEST_F(PacketTest, HeadersAndLengths)
{
    struct Case {
        const char *what;
        std::int32_t version;
        std::uint8_t tag;
        std::int32_t type;
        std::size_t body;
        Announce announce;
        Bytes header;
    } cases[] = {
        {"v3 one-byte length", 3, 11, 0, 100, Announce::Before, bytes({0xAC, 100})},
        {"v3 held to its end", 3, 11, 0, 300, Announce::AtEnd, bytes({0xAD, 0x01, 0x2C})},
        {"v3 four-byte length", 3, 11, 0, 70000, Announce::Before, bytes({0xAE, 0x00, 0x01, 0x11, 0x70})},
        {"v3 longer type kept", 3, 11, 2, 5, Announce::AtEnd, bytes({0xAE, 0, 0, 0, 5})},
        {"v3 indeterminate", 3, 8, 3, 50, Announce::Before, bytes({0xA3})},
        {"v3 tag 18 new format", 3, 18, 0, 100, Announce::Before, bytes({0xD2, 100})},
        {"v3 tag 18 two-octet length", 3, 18, 0, 1000, Announce::AtEnd, bytes({0xD2, 0xC3, 0x28})},
        {"v4 exactly one piece", 4, 11, 0, 4096, Announce::Before, bytes({0xCB, 0xCF, 0x40})},
        {"v4 short", 4, 11, 0, 150, Announce::Before, bytes({0xCB, 0x96})},
        {"v4 empty", 4, 11, 0, 0, Announce::Before, Bytes()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes body = pattern(c.body);
        EXPECT_EQ(run(addHeader(c.version, c.tag, c.type), body, c.announce), c.header + body);
    }
}

TEST_F(PacketTest, PartialLengthsOf4096)
{
    for (Announce announce : {Announce::Before, Announce::AtEnd}) {
        Bytes body = pattern(5000);
        EXPECT_EQ(run(addHeader(4, 11, 0), body, announce),
                  bytes({0xCB, 0xEC}) + body.substr(0, 4096) + bytes({0xC2, 0xC8}) + body.substr(4096));
        // Two full pieces and nothing after them: the second carries the
        // regular length.
        body = pattern(8192);
        EXPECT_EQ(run(addHeader(4, 11, 0), body, announce),
                  bytes({0xCB, 0xEC}) + body.substr(0, 4096) + bytes({0xCF, 0x40}) + body.substr(4096));
    }
}

TEST_F(PacketTest, LiteralPrefix)
{
    Bytes body = "hello";
    EXPECT_EQ(run(literal(3, 't', "a.txt", 258), body, Announce::Before),
              bytes({0xAC, 16, 't', 5}) + "a.txt" + bytes({0, 0, 1, 2}) + body);
    Bytes longName(300, 'n');
    QELPipeModule *head = nullptr;
    ASSERT_NE(literal(3, 'b', longName, 0)(&head), nullptr);
    EXPECT_STREQ(head->name, "Literal Module");
    qelPipeDestroy(head);
    Bytes out = run(literal(3, 'b', longName.substr(0, 255), 0), "", Announce::AtEnd);
    EXPECT_EQ(out.substr(0, 4), bytes({0xAD, 0x01, 0x05, 'b'})); // a 261-byte prefix
    EXPECT_EQ(out, run(literal(3, 'b', longName, 0), "", Announce::AtEnd)); // names are cut to 255 bytes
}

TEST_F(PacketTest, DefiniteModeRefusesContradictionsAndFourGiB)
{
    QELPipeModule *head = nullptr;
    QELPipeModule **slot = addHeader(3, 11, 0)(&head);
    pipetest::Record rec;
    *slot = pipetest::makeRecorder(context_, &rec);
    EXPECT_EQ(qelPipeFlush(head), QELError_BadParams); // length not fixed yet
    // 4 GiB cannot be said in a 32-bit length: refused, nothing written.
    EXPECT_EQ(qelPipeExpectBytes(head, std::uint64_t{1} << 32), QELError_PacketTooLarge);
    EXPECT_TRUE(rec.ops.empty());
    ASSERT_EQ(qelPipeExpectBytes(head, 0xFFFFFFFFu), 0);
    EXPECT_EQ(rec.bytes, bytes({0xAE, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(qelPipeExpectBytes(head, 5), QELError_TruncatedInput);
    qelPipeDestroy(head);

    head = nullptr;
    slot = addHeader(3, 11, 0)(&head);
    *slot = pipetest::makeRecorder(context_, &rec);
    ASSERT_EQ(qelPipeExpectBytes(head, 3), 0);
    QELStatus status = 0;
    EXPECT_EQ(qelPipeWrite(head, u8(Bytes("abcd")), 4, &status), 0u);
    EXPECT_EQ(status, QELError_TruncatedInput);
    qelPipeDestroy(head);
}

// A downstream that fails in the middle: resumed, the packet comes out whole
// and no byte is repeated.
TEST_F(PacketTest, ResumesAfterADownstreamFailure)
{
    for (std::int32_t version : {3, 4}) {
        for (std::uint64_t failAt : {1u, 3u, 4000u, 4097u, 4099u, 9000u}) {
            Bytes body = pattern(10000);
            Bytes expected = run(addHeader(version, 11, 0), body, Announce::AtEnd);
            QELPipeModule *head = nullptr;
            QELPipeModule **slot = addHeader(version, 11, 0)(&head);
            pipetest::Record rec;
            rec.failWrite = QELError_UserAbort;
            rec.failAfterBytes = failAt;
            *slot = pipetest::makeRecorder(context_, &rec);
            std::size_t at = 0;
            QELStatus last = 0;
            for (int tries = 0; tries < 100 && at < body.size(); ++tries) {
                QELStatus status = 0;
                at += qelPipeWrite(head, u8(body) + at, body.size() - at, &status);
                if (status != 0)
                    rec.failWrite = 0; // the sink recovers; the same stream goes on
            }
            for (int tries = 0; tries < 3; ++tries) {
                last = qelPipeExpectBytes(head, 0);
                if (last == 0)
                    break;
                rec.failWrite = 0;
            }
            EXPECT_EQ(last, 0);
            EXPECT_EQ(rec.bytes, expected) << version << " " << failAt;
            qelPipeDestroy(head);
        }
    }
}

TEST_F(PacketTest, MarkerPacketInFrontOfNewFormatMessages)
{
    struct Case {
        int first;
        bool marker;
    } cases[] = {{0xC3, true}, {0xCB, true}, {0xD2, true}, {0xFC, true}, {0x8C, false}, {0xCA, false}, {0xCD, false}};
    for (const Case &c : cases) {
        Bytes body = bytes({c.first, 1, 2, 3});
        Bytes out = run([&](QELPipeModule **slot) { return qelFileHeaderModuleCreate(context_, slot); }, body,
                        Announce::Before);
        EXPECT_EQ(out, (c.marker ? bytes({0xA8, 0x03, 'P', 'G', 'P'}) : Bytes()) + body) << c.first;
    }
    QELPipeModule *head = nullptr;
    ASSERT_NE(qelFileHeaderModuleCreate(context_, &head), nullptr);
    EXPECT_STREQ(head->name, "File Header Module");
    qelPipeDestroy(head);
}

// ---- GnuPG -----------------------------------------------------------------

class GnuPG {
public:
    GnuPG() : home_("qelgpg") { chmod(home_.path().c_str(), 0700); }
    bool available() const { return std::system("gpg --version > /dev/null 2>&1") == 0; }
    // Runs gpg with args on the bytes; stdout and stderr together.
    std::string run(const std::string &args, const Bytes &input)
    {
        std::string in = home_ / "in.gpg";
        qeltest::writeFile(in, input);
        std::string cmd = "cd " + home_.path() + " && gpg --homedir " + home_.path() +
                          " --batch --pinentry-mode loopback " + args + " " + in + " 2>&1";
        std::string out;
        if (FILE *p = popen(cmd.c_str(), "r")) {
            char buf[4096];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
                out.append(buf, n);
            pclose(p);
        }
        return out;
    }
    std::string dir() const { return home_.path(); }

private:
    qeltest::TempDir home_;
};

TEST_F(PacketTest, GnuPGListsAndDecryptsWhatWeWrite)
{
    GnuPG gpg;
    if (!gpg.available())
        GTEST_SKIP() << "gpg not installed";
    struct Case {
        std::int32_t version;
        std::size_t body;
        const char *lengthNote; // how gpg describes the body length
    } cases[] = {{4, 10000, "partial"}, {4, 100, "raw data: 100 bytes"}, {3, 10000, "raw data: 10000 bytes"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.version);
        Bytes body = pattern(c.body);
        Bytes packet = run(
            [&](QELPipeModule **slot) {
                return qelFileHeaderModuleCreate(context_,
                                                 qelLiteralModuleCreate(context_, slot, c.version,
                                                                        qelFlexFifoDescriptor(), 'b', "notes.txt",
                                                                        9, 1234567890));
            },
            body, Announce::AtEnd);
        std::string listing = gpg.run("--list-packets", packet);
        EXPECT_NE(listing.find(":literal data packet:"), std::string::npos) << listing;
        EXPECT_NE(listing.find("name=\"notes.txt\""), std::string::npos) << listing;
        EXPECT_NE(listing.find("created 1234567890"), std::string::npos) << listing;
        EXPECT_NE(listing.find(c.lengthNote), std::string::npos) << listing;
        EXPECT_EQ(listing.find("marker packet") != std::string::npos, c.version > 3) << listing;
        EXPECT_EQ(listing.find("invalid"), std::string::npos) << listing;
        // A literal-only message decrypts to its data under its own name.
        std::remove((gpg.dir() + "/notes.txt").c_str());
        gpg.run("--use-embedded-filename --decrypt", packet);
        EXPECT_EQ(qeltest::readFile(gpg.dir() + "/notes.txt"), body);
    }
    // The marker packet alone.
    std::string marker = gpg.run("--list-packets", bytes({0xA8, 0x03, 'P', 'G', 'P'}));
    EXPECT_NE(marker.find("marker packet"), std::string::npos) << marker;
}

} // namespace
