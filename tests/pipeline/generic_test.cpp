// Join, split, the sinks and the file source: chains as tables (every source
// into every sink through copy, join and split), the split at every piece
// size, the edge cases of each module, and the failures a source or a sink
// must never report as success.
#include "qelContextInternal.h"
#include "qelCopyModuleInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelFileObjectInternal.h"
#include "qelFileReadModuleInternal.h"
#include "qelFlexFifoInternal.h"
#include "qelIOWorkerInternal.h"
#include "qelJoinModuleInternal.h"
#include "qelMemory.h"
#include "qelPipeTestModule.h"
#include "qelSplitModuleInternal.h"
#include "qelTestEnv.h"
#include "qelTextFilterModuleInternal.h"
#include "qelVarMemoryModuleInternal.h"
#include "qelWriteFileModuleInternal.h"
#include "qelWriteMemoryModuleInternal.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

const auto *const gEnv = qeltest::addHomeEnvironment("qelpipegeneric", qeltest::HomeEnvironment::SDK::Up);

using Ops = std::vector<std::string>;
using Bytes = std::string;

Bytes pattern(std::size_t n, unsigned seed = 1)
{
    Bytes s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = char((i * 131 + seed * 17 + (i >> 9)) & 0xFF);
    return s;
}

const std::uint8_t *u8(const Bytes &b) { return reinterpret_cast<const std::uint8_t *>(b.data()); }

class GenericTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override { EXPECT_EQ(qelContextFree(context_), QELError_NoErr); }

    // Everything a variable-sized sink at the end of a chain kept.
    Bytes takeAll(QELPipeModule *head)
    {
        std::uint64_t total = 0;
        EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_QueryTotal, &total, sizeof total), 0);
        void *buffer = nullptr;
        EXPECT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer), 0);
        if (buffer == nullptr)
            return {};
        Bytes out(static_cast<const char *>(buffer), total);
        EXPECT_EQ(static_cast<const char *>(buffer)[total], '\0');
        EXPECT_EQ(qelMemFree(buffer), 0);
        return out;
    }

    std::string tempPath(const std::string &name) { return gEnv->dir() + "/" + name; }

    QELContext *context_ = nullptr;
};

// ---- chains as tables ------------------------------------------------------

// Builds the modules between the head slot and the sink; returns the slot the
// sink goes into.
using Middle = std::function<QELPipeModule **(QELContext *, QELPipeModule **)>;

struct MiddleCase {
    const char *name;
    Middle build;
    Ops framing; // what a recorder sink sees of a buffer pump of N bytes ("N" stands for the size)
};

const std::uint8_t *identityMap()
{
    static const auto map = [] {
        std::array<std::uint8_t, 256> m{};
        for (int i = 0; i < 256; ++i)
            m[i] = std::uint8_t(i);
        return m;
    }();
    return map.data();
}

std::vector<MiddleCase> middles()
{
    return {
        {"copy", [](QELContext *c, QELPipeModule **s) { return qelCopyModuleCreate(c, s); },
         {"EN", "A1500", "EN", "E0", "A1501", "E0"}},
        {"copy-copy",
         [](QELContext *c, QELPipeModule **s) { return qelCopyModuleCreate(c, qelCopyModuleCreate(c, s)); },
         {"EN", "A1500", "EN", "E0", "A1501", "E0"}},
        {"split", [](QELContext *c, QELPipeModule **s) { return qelSplitModuleCreate(c, s); },
         {"EN", "A1500", "EN", "E0", "A1501", "E0"}},
        {"text filter",
         [](QELContext *c, QELPipeModule **s) { return qelTextFilterModuleCreate(c, s, identityMap(), false, 0); },
         {"EN", "A1500", "EN", "E0", "A1501", "E0"}},
        {"split-text filter-copy",
         [](QELContext *c, QELPipeModule **s) {
             return qelCopyModuleCreate(c, qelTextFilterModuleCreate(c, qelSplitModuleCreate(c, s), identityMap(),
                                                                     false, 0));
         },
         {"EN", "A1500", "EN", "E0", "A1501", "E0"}},
        {"join", [](QELContext *c, QELPipeModule **s) { return qelJoinModuleInsert(c, s, qelByteFifoDescriptor()); },
         {"EN", "EN", "E0", "E0"}},
        {"copy-split-join",
         [](QELContext *c, QELPipeModule **s) {
             return qelJoinModuleInsert(c, qelSplitModuleCreate(c, qelCopyModuleCreate(c, s)),
                                        qelFlexFifoDescriptor());
         },
         {"EN", "EN", "E0", "E0"}},
    };
}

std::vector<std::string> withSize(const Ops &ops, std::size_t n)
{
    Ops out;
    for (const auto &op : ops)
        out.push_back(op == "EN" ? "E" + std::to_string(n) : op);
    return out;
}

enum class Source { Buffer, File };
enum class Sink { Recorder, VarMemory, WriteMemory, WriteFile, DevNull };

TEST_F(GenericTest, EverySourceThroughEveryChainIntoEverySink)
{
    const Bytes data = pattern(30000);
    const std::string inPath = tempPath("chain-in");
    qeltest::writeFile(inPath, data);
    for (const MiddleCase &mc : middles())
        for (Source source : {Source::Buffer, Source::File})
            for (Sink sink : {Sink::Recorder, Sink::VarMemory, Sink::WriteMemory, Sink::WriteFile, Sink::DevNull}) {
                SCOPED_TRACE(std::string(mc.name) + " source " + std::to_string(int(source)) + " sink " +
                             std::to_string(int(sink)));
                QELPipeModule *head = nullptr;
                QELPipeModule **slot = mc.build(context_, &head);
                ASSERT_NE(slot, nullptr);
                pipetest::Record rec;
                Bytes fixed(data.size() + 1, 'x');
                const std::string outPath = tempPath("chain-out");
                QELPipeModule *out = nullptr;
                switch (sink) {
                case Sink::Recorder:
                    *slot = pipetest::makeRecorder(context_, &rec);
                    break;
                case Sink::VarMemory:
                    qelVarMemoryModuleCreatePlain(context_, slot, QELVarMemoryNoLimit);
                    break;
                case Sink::WriteMemory:
                    qelWriteMemoryModuleCreate(context_, slot, fixed.data(), fixed.size());
                    break;
                case Sink::WriteFile:
                    qelWriteFileModuleCreate(context_, slot, qelFileObjOpenWrite(context_, std::fopen(outPath.c_str(), "wb")),
                                             true);
                    break;
                case Sink::DevNull:
                    qelDevNullModuleCreate(context_, slot);
                    break;
                }
                out = *slot;
                ASSERT_NE(out, nullptr);
                if (source == Source::Buffer) {
                    ASSERT_EQ(qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr), 0);
                } else {
                    QELFileReadModule *reader =
                        qelFileReadModuleCreateFromStream(context_, std::fopen(inPath.c_str(), "rb"), true);
                    ASSERT_NE(reader, nullptr);
                    ASSERT_EQ(qelFileReadPump(reader, head), 0);
                    ASSERT_EQ(qelPipeExpectBytes(head, 0), 0); // the job's last end of input
                    ASSERT_EQ(qelFileReadDestroy(reader), 0);
                }
                std::uint64_t position = 0;
                switch (sink) {
                case Sink::Recorder: {
                    EXPECT_EQ(rec.bytes, data);
                    // The file pump leaves its last end of input to the job,
                    // which sends it above: the same framing either way.
                    EXPECT_EQ(pipetest::framing(rec.ops), withSize(mc.framing, data.size()));
                    break;
                }
                case Sink::VarMemory:
                    EXPECT_EQ(takeAll(head), data);
                    break;
                case Sink::WriteMemory:
                    ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_QueryPosition, &position, 8), 0);
                    EXPECT_EQ(position, data.size());
                    EXPECT_EQ(fixed.substr(0, data.size()), data);
                    EXPECT_EQ(fixed.back(), '\0');
                    break;
                case Sink::WriteFile:
                    EXPECT_EQ(qeltest::readFile(outPath), data);
                    break;
                case Sink::DevNull:
                    break;
                }
                qelPipeDestroy(head);
            }
}

// The split at every piece size from 1 to 9000, with an output 0 that takes
// only part of what it is offered: both outputs get every byte once, in order.
TEST_F(GenericTest, SplitAtEveryPieceSize)
{
    const Bytes data = pattern(2 * QELSplitPiece + 333);
    for (std::size_t piece = 1; piece <= 9000; ++piece) {
        QELPipeModule *head = nullptr;
        pipetest::Record rec;
        rec.takeAtMost = (piece * 7) % 5000 + 1;
        QELPipeModule **slot0 = qelSplitModuleCreate(context_, &head);
        ASSERT_NE(slot0, nullptr);
        *slot0 = pipetest::makeRecorder(context_, &rec);
        QELPipeModule **slot1 = qelSplitAddOutput(head);
        ASSERT_NE(slot1, nullptr);
        ASSERT_NE(qelVarMemoryModuleCreatePlain(context_, slot1, QELVarMemoryNoLimit), nullptr);
        // Only 1 of every 97 sizes writes the whole input, the rest a prefix
        // long enough to cross the split's own piece.
        std::size_t length = piece % 97 == 0 ? data.size() : std::min(data.size(), QELSplitPiece + piece + 1);
        for (std::size_t at = 0; at < length; at += piece)
            ASSERT_EQ(qelPipeWriteAll(head, u8(data) + at, std::min(piece, length - at)), 0) << piece;
        ASSERT_EQ(rec.bytes, data.substr(0, length)) << piece;
        std::uint64_t stored = 0;
        void *buffer = nullptr;
        QELPipeModule *out1 = *slot1;
        ASSERT_EQ(qelPipeAnnotate(out1, nullptr, QELAnnotation_QueryTotal, &stored, 8), 0);
        ASSERT_EQ(qelPipeAnnotate(out1, nullptr, QELAnnotation_TakeBuffer, &buffer, sizeof buffer), 0);
        ASSERT_EQ(Bytes(static_cast<char *>(buffer), stored), data.substr(0, length)) << piece;
        ASSERT_EQ(qelMemFree(buffer), 0);
        qelPipeDestroy(head);
    }
}

// ---- join ------------------------------------------------------------------

TEST_F(GenericTest, JoinKeepsInputOrderAndSumsAnnouncements)
{
    QELPipeModule *first = nullptr;
    QELPipeModule **slot = qelJoinModuleInsert(context_, &first, qelByteFifoDescriptor());
    ASSERT_NE(slot, nullptr);
    EXPECT_STREQ(first->name, "Join Module");
    pipetest::Record rec;
    *slot = pipetest::makeRecorder(context_, &rec);
    QELPipeModule *second = qelJoinAppendageCreate(first);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second->name, "Join Module Appendage");
    EXPECT_EQ(qelJoinAppendageCreate(nullptr), nullptr);

    const Bytes a = pattern(100, 1), b = pattern(50, 2);
    ASSERT_EQ(qelPipeExpectBytes(first, 100), 0);
    ASSERT_EQ(qelPipeExpectBytes(second, 50), 0);
    EXPECT_EQ(rec.ops, (Ops{"E150"}));
    ASSERT_EQ(qelPipeWriteAll(second, u8(b), b.size()), 0); // held: the first input has not ended
    EXPECT_EQ(rec.bytes, "");
    ASSERT_EQ(qelPipeWriteAll(first, u8(a), a.size()), 0);
    EXPECT_EQ(rec.bytes, a);
    ASSERT_EQ(qelPipeExpectBytes(first, 0), 0);
    EXPECT_EQ(rec.bytes, a + b);
    ASSERT_EQ(qelPipeExpectBytes(second, 0), 0);
    EXPECT_EQ(pipetest::framing(rec.ops).back(), "E0");
    // Scope markers of the inputs are dropped, others pass at once.
    ASSERT_EQ(qelPipeAnnotate(second, nullptr, QELAnnotation_BeginInput, nullptr, 0), 0);
    ASSERT_EQ(qelPipeAnnotate(second, nullptr, QELAnnotation_LiteralFormat, nullptr, 0), 0);
    EXPECT_EQ(rec.annotations, (std::vector<std::int32_t>{QELAnnotation_LiteralFormat}));
    qelPipeDestroy(first);
    EXPECT_NE(rec.ops.back(), "D"); // the downstream goes with the last input only
    qelPipeDestroy(second);
    EXPECT_EQ(rec.ops.back(), "D");
}

TEST_F(GenericTest, JoinRefusesAContradictingAnnouncement)
{
    QELPipeModule *first = nullptr;
    QELPipeModule **slot = qelJoinModuleInsert(context_, &first, qelByteFifoDescriptor());
    ASSERT_NE(qelDevNullModuleCreate(context_, slot), nullptr);
    QELPipeModule *second = qelJoinAppendageCreate(first);
    const Bytes b = pattern(30);
    ASSERT_EQ(qelPipeExpectBytes(second, 100), 0);
    ASSERT_EQ(qelPipeWriteAll(second, u8(b), b.size()), 0);
    EXPECT_EQ(qelPipeExpectBytes(second, 60), QELError_TruncatedInput);
    EXPECT_EQ(qelPipeExpectBytes(second, 70), 0);
    qelPipeDestroy(second);
    qelPipeDestroy(first);
}

// ---- split -----------------------------------------------------------------

TEST_F(GenericTest, SplitSendsAnnotationsToOutputZeroAndAnnouncesOutsideScopes)
{
    QELPipeModule *head = nullptr;
    pipetest::Record r0, r1;
    QELPipeModule **slot0 = qelSplitModuleCreate(context_, &head);
    EXPECT_STREQ(head->name, "Split module");
    *slot0 = pipetest::makeRecorder(context_, &r0);
    QELPipeModule **slot1 = qelSplitAddOutput(head);
    ASSERT_NE(slot1, nullptr);
    EXPECT_EQ(qelSplitAddOutput(head), nullptr);
    *slot1 = pipetest::makeRecorder(context_, &r1);
    ASSERT_EQ(qelPipeExpectBytes(head, 5), 0);
    ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_BeginInput, nullptr, 0), 0);
    ASSERT_EQ(qelPipeExpectBytes(head, 5), 0);
    ASSERT_EQ(qelPipeWriteAll(head, u8(Bytes("hello")), 5), 0);
    ASSERT_EQ(qelPipeAnnotate(head, nullptr, QELAnnotation_EndInput, nullptr, 0), 0);
    ASSERT_EQ(qelPipeExpectBytes(head, 0), 0);
    EXPECT_EQ(r0.ops, (Ops{"E5", "A1500", "E5", "W5", "A1501", "E0"}));
    EXPECT_EQ(r1.ops, (Ops{"E5", "W5", "E0"}));
    qelPipeDestroy(head);
}

// A failing output keeps what it is owed: resumed, every output gets every
// byte exactly once.
TEST_F(GenericTest, SplitKeepsBytesOwedToAFailedOutput)
{
    QELPipeModule *head = nullptr;
    pipetest::Record r0, r1;
    *qelSplitModuleCreate(context_, &head) = pipetest::makeRecorder(context_, &r0);
    *qelSplitAddOutput(head) = pipetest::makeRecorder(context_, &r1);
    r1.failWrite = QELError_UserAbort;
    r1.failAfterBytes = 100;
    const Bytes data = pattern(1000);
    QELStatus status = 0;
    std::uint64_t taken = qelPipeWrite(head, u8(data), data.size(), &status);
    EXPECT_EQ(status, QELError_UserAbort);
    EXPECT_EQ(taken, data.size()); // the whole piece went to output 0
    EXPECT_EQ(qelSplitAddOutput(head), nullptr); // bytes still owed
    r1.failWrite = 0;
    ASSERT_EQ(qelPipeFlush(head), 0);
    EXPECT_EQ(r0.bytes, data);
    EXPECT_EQ(r1.bytes, data);
    qelPipeDestroy(head);
}

// ---- memory sinks ----------------------------------------------------------

TEST_F(GenericTest, WriteMemoryKeepsWhatFitsAndCountsTheRest)
{
    struct Case {
        std::size_t size, given;
        Bytes expect;
    } cases[] = {{10, 16, Bytes("0123456789")}, {10, 4, Bytes("0123\0xxxxx", 10)}};
    for (const Case &c : cases) {
        Bytes buffer(c.size, 'x');
        QELPipeModule *sink = nullptr;
        ASSERT_NE(qelWriteMemoryModuleCreate(context_, &sink, buffer.data(), buffer.size()), nullptr);
        EXPECT_STREQ(sink->name, "Write memory");
        Bytes in = Bytes("0123456789abcdef").substr(0, c.given);
        ASSERT_EQ(qelPipeWriteAll(sink, u8(in), in.size()), 0);
        EXPECT_EQ(buffer, c.expect);
        std::uint64_t position = 0, total = 0;
        EXPECT_EQ(qelPipeAnnotate(sink, nullptr, QELAnnotation_QueryPosition, &position, 8), 0);
        EXPECT_EQ(qelPipeAnnotate(sink, nullptr, QELAnnotation_QueryTotal, &total, 8), 0);
        EXPECT_EQ(position, c.given);
        EXPECT_EQ(total, c.size);
        int other = 0;
        EXPECT_EQ(qelPipeAnnotate(sink, nullptr, QELAnnotation_AppendBytes, &other, 1), QELError_BadParams);
        qelPipeDestroy(sink);
    }
}

TEST_F(GenericTest, VarMemoryLimitAndTakeBuffer)
{
    for (bool secure : {false, true}) {
        QELPipeModule *sink = nullptr;
        ASSERT_NE(qelVarMemoryModuleCreate(context_, &sink, 5, secure), nullptr);
        EXPECT_STREQ(sink->name, secure ? "Securely write variable-sized memory" : "Write variable-sized memory");
        ASSERT_EQ(qelPipeWriteAll(sink, u8(Bytes("abcdefgh")), 8), 0);
        std::uint64_t position = 0, limit = 0;
        EXPECT_EQ(qelPipeAnnotate(sink, nullptr, QELAnnotation_QueryPosition, &position, 8), 0);
        EXPECT_EQ(qelPipeAnnotate(sink, nullptr, QELAnnotation_QueryLimit, &limit, 8), 0);
        EXPECT_EQ(position, 8u);
        EXPECT_EQ(limit, 5u);
        EXPECT_EQ(takeAll(sink), "abcde");
        std::uint8_t off = 0;
        EXPECT_EQ(qelPipeAnnotate(sink, nullptr, QELAnnotation_EnableOutput, &off, 1), 0);
        ASSERT_EQ(qelPipeWriteAll(sink, u8(Bytes("zz")), 2), 0);
        EXPECT_EQ(qelPipeAnnotate(sink, nullptr, QELAnnotation_QueryPosition, &position, 8), 0);
        EXPECT_EQ(position, 8u);
        qelPipeDestroy(sink);
    }
}

// ---- write file ------------------------------------------------------------

TEST_F(GenericTest, WriteFileClosesAtTheOutermostEndOfInputOnly)
{
    const std::string path = tempPath("closing");
    QELPipeModule *sink = nullptr;
    ASSERT_NE(qelWriteFileModuleCreate(context_, &sink, qelFileObjOpenWrite(context_, std::fopen(path.c_str(), "wb")),
                                       true),
              nullptr);
    EXPECT_STREQ(sink->name, "Write file");
    ASSERT_EQ(qelPipeAnnotate(sink, nullptr, QELAnnotation_BeginInput, nullptr, 0), 0);
    ASSERT_EQ(qelPipeWriteAll(sink, u8(Bytes("abc")), 3), 0);
    ASSERT_EQ(qelPipeExpectBytes(sink, 0), 0); // inside the scope: nothing happens
    ASSERT_EQ(qelPipeWriteAll(sink, u8(Bytes("def")), 3), 0);
    ASSERT_EQ(qelPipeAnnotate(sink, nullptr, QELAnnotation_EndInput, nullptr, 0), 0);
    ASSERT_EQ(qelPipeExpectBytes(sink, 0), 0);
    EXPECT_EQ(qeltest::readFile(path), "abcdef");
    ASSERT_EQ(qelPipeExpectBytes(sink, 0), 0); // repeated: a no-op
    QELStatus status = 0;
    EXPECT_EQ(qelPipeWrite(sink, u8(Bytes("x")), 1, &status), 0u);
    EXPECT_EQ(status, QELError_CantOpenFile);
    qelPipeDestroy(sink);
}

// A full disk: a write that could not go out or a flush at the end of input
// that fails is returned, never success.
TEST_F(GenericTest, WriteFileReportsAFullDisk)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct Case {
        std::size_t bytes; // fewer than the stream buffers: the failure comes at the end of input
    } cases[] = {{1000}, {200000}};
    for (const Case &c : cases) {
        const std::string path = tempPath("full");
        QELPipeModule *head = nullptr;
        QELPipeModule **slot = qelCopyModuleCreate(context_, &head);
        ASSERT_NE(qelWriteFileModuleCreate(context_, slot, qelFileObjOpenWrite(context_, std::fopen(path.c_str(), "wb")),
                                           true),
                  nullptr);
        rlimit small = saved;
        small.rlim_cur = 100;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const Bytes data = pattern(c.bytes);
        QELStatus status = qelPipePumpBuffer(head, data.data(), data.size(), nullptr, nullptr);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
        EXPECT_TRUE(status == QELError_FileOpFailed || status == QELError_WriteFailed) << status;
        qelPipeDestroy(head);
    }
}

// A file object that writes nothing without saying why.
struct FakeFile {
    Bytes data;
    std::size_t failAt = ~std::size_t{0}; // reads fail from here on, with an error
    bool silentZeroWrite = false;
    std::size_t pos = 0;
    std::int64_t size = -1;
    QELFileError error{};
    bool failed = false;
};

QELFileObject fakeFile(FakeFile *f)
{
    QELFileObject o{};
    o.state = f;
    o.read = [](void *buf, std::size_t n, QELFileObject *file) -> std::size_t {
        auto *s = static_cast<FakeFile *>(file->state);
        if (s->pos >= s->failAt) {
            s->failed = true;
            return 0;
        }
        std::size_t k = std::min({n, s->data.size() - s->pos, s->failAt - s->pos});
        std::memcpy(buf, s->data.data() + s->pos, k);
        s->pos += k;
        return k;
    };
    o.write = [](const void *, std::size_t n, QELFileObject *file) -> std::size_t {
        return static_cast<FakeFile *>(file->state)->silentZeroWrite ? 0 : n;
    };
    o.flush = [](QELFileObject *) -> QELStatus { return 0; };
    o.close = [](QELFileObject *) -> QELStatus { return 0; };
    o.atEnd = [](QELFileObject *file) {
        auto *s = static_cast<FakeFile *>(file->state);
        return s->pos >= s->data.size();
    };
    o.getSize = [](QELFileObject *file) { return static_cast<FakeFile *>(file->state)->size; };
    o.lastError = [](QELFileObject *file) -> QELFileError * {
        auto *s = static_cast<FakeFile *>(file->state);
        return s->failed ? &s->error : nullptr;
    };
    o.clearError = [](QELFileObject *file) { static_cast<FakeFile *>(file->state)->failed = false; };
    return o;
}

// A write that writes nothing is never a success: for a large write at once,
// for a small one (gathered like a stream buffer would) at the end of input,
// and every write after it fails too.
TEST_F(GenericTest, WriteFileNeverTakesASilentZeroWriteForSuccess)
{
    for (std::size_t size : {std::size_t{3}, std::size_t{1} << 20}) {
        SCOPED_TRACE(size);
        FakeFile f;
        f.silentZeroWrite = true;
        QELFileObject file = fakeFile(&f);
        QELPipeModule *sink = nullptr;
        ASSERT_NE(qelWriteFileModuleCreate(context_, &sink, &file, false), nullptr);
        const Bytes data = pattern(size);
        QELStatus status = 0;
        const std::uint64_t taken = qelPipeWrite(sink, u8(data), size, &status);
        if (size > 3) {
            EXPECT_EQ(taken, 0u);
            EXPECT_EQ(status, QELError_WriteFailed);
        } else {
            EXPECT_EQ(taken, size);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(qelPipeExpectBytes(sink, 0), QELError_WriteFailed);
        }
        status = 0;
        EXPECT_EQ(qelPipeWrite(sink, u8(data), 1, &status), 0u);
        EXPECT_EQ(status, QELError_WriteFailed);
        qelPipeDestroy(sink);
    }
}

// Many small writes reach the file whole and in order, in few large writes.
TEST_F(GenericTest, WriteFileGathersSmallWrites)
{
    struct Counted {
        Bytes data;
        int writes = 0;
    } counted;
    QELFileObject file{};
    file.state = &counted;
    file.write = [](const void *bytes, std::size_t n, QELFileObject *f) -> std::size_t {
        auto *c = static_cast<Counted *>(f->state);
        c->data.append(static_cast<const char *>(bytes), n);
        ++c->writes;
        return n;
    };
    file.flush = [](QELFileObject *) -> QELStatus { return 0; };
    file.lastError = [](QELFileObject *) -> QELFileError * { return nullptr; };
    QELPipeModule *sink = nullptr;
    ASSERT_NE(qelWriteFileModuleCreate(context_, &sink, &file, false), nullptr);
    const Bytes data = pattern(3000000);
    std::size_t at = 0;
    for (std::size_t piece = 1; at < data.size(); piece = piece * 7 % 9001 + 1) {
        const std::size_t n = std::min(piece, data.size() - at);
        ASSERT_EQ(qelPipeWriteAll(sink, u8(data) + at, n), 0);
        at += n;
    }
    ASSERT_EQ(qelPipeFlush(sink), 0);
    EXPECT_TRUE(counted.data == data);
    EXPECT_LT(counted.writes, 20);
    qelPipeDestroy(sink);
}

// ---- the file source -------------------------------------------------------

// A file whose length differs from the size it announced is read whole, and
// fails without ending the input; one far longer than a small announced size
// (a buffer made for the small size) still arrives whole and in order.
TEST_F(GenericTest, FileOfAnotherSizeThanAnnouncedFailsWithoutEndingTheInput)
{
    for (const std::size_t length : {std::size_t{60}, std::size_t{3 * 4096 + 77}, 2 * QELFileReadModuleBufferSize + 5}) {
        SCOPED_TRACE(length);
        FakeFile f;
        f.data = pattern(length, 5);
        f.size = 100;
        QELFileObject file = fakeFile(&f);
        QELFileReadModule *reader = qelFileReadModuleCreate(context_, &file, 0);
        ASSERT_NE(reader, nullptr);
        pipetest::Record rec;
        QELPipeModule *head = pipetest::makeRecorder(context_, &rec);
        EXPECT_EQ(qelFileReadPump(reader, head), QELError_TruncatedInput);
        EXPECT_TRUE(rec.bytes == f.data);
        EXPECT_EQ(pipetest::framing(rec.ops), (Ops{"E100", "A1500", "E100"}));
        EXPECT_EQ(qelFileReadDestroy(reader), 0);
        qelPipeDestroy(head);
    }
}

// A read error in the middle of a file of unknown size is an error, not the
// end of the input.
TEST_F(GenericTest, ReadErrorMidFileIsAnError)
{
    FakeFile f;
    f.data = pattern(50000);
    f.failAt = 20000;
    QELFileObject file = fakeFile(&f);
    QELFileReadModule *reader = qelFileReadModuleCreate(context_, &file, 0);
    pipetest::Record rec;
    QELPipeModule *head = pipetest::makeRecorder(context_, &rec);
    EXPECT_EQ(qelFileReadPump(reader, head), QELError_ReadFailed);
    EXPECT_EQ(rec.bytes, f.data.substr(0, 20000));
    EXPECT_EQ(pipetest::framing(rec.ops), (Ops{"A1500"})); // no end of input
    EXPECT_EQ(qelFileReadDestroy(reader), 0);
    qelPipeDestroy(head);
}

TEST_F(GenericTest, FileSourceNeverSpinsOnAStalledChain)
{
    FakeFile f;
    f.data = pattern(500);
    f.size = 500;
    QELFileObject file = fakeFile(&f);
    QELFileReadModule *reader = qelFileReadModuleCreate(context_, &file, 0);
    pipetest::Record rec;
    rec.stall = true;
    QELPipeModule *head = pipetest::makeRecorder(context_, &rec);
    EXPECT_EQ(qelFileReadPump(reader, head), QELError_WriteFailed);
    EXPECT_EQ(qelFileReadDestroy(reader), 0);
    qelPipeDestroy(head);
}

QELStatus countProgress(void *user, std::uint64_t done, std::uint64_t total)
{
    static_cast<std::vector<std::pair<std::uint64_t, std::uint64_t>> *>(user)->emplace_back(done, total);
    return 0;
}

TEST_F(GenericTest, FileSourcePeekProgressAndResume)
{
    FakeFile f;
    f.data = pattern(20000);
    f.size = 20000;
    QELFileObject file = fakeFile(&f);
    QELFileReadModule *reader = qelFileReadModuleCreate(context_, &file, 0);
    std::uint64_t length = 0;
    const std::uint8_t *p = qelFileReadPeek(reader, &length);
    ASSERT_EQ(length, std::min<std::uint64_t>(f.data.size(), QELFileReadModuleBufferSize));
    EXPECT_EQ(Bytes(reinterpret_cast<const char *>(p), 16), f.data.substr(0, 16));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    qelFileReadSetProgress(reader, countProgress, &calls);
    pipetest::Record rec;
    rec.failWrite = QELError_UserAbort;
    rec.failAfterBytes = 10000;
    QELPipeModule *head = pipetest::makeRecorder(context_, &rec);
    EXPECT_EQ(qelFileReadPump(reader, head), QELError_UserAbort);
    rec.failWrite = 0;
    EXPECT_EQ(qelFileReadPump(reader, head), 0);
    EXPECT_EQ(rec.bytes, f.data);
    EXPECT_EQ(pipetest::framing(rec.ops), (Ops{"E20000", "A1500", "E20000", "E0", "A1501"}));
    EXPECT_EQ(calls.back(), (std::pair<std::uint64_t, std::uint64_t>{20000, 20000}));
    EXPECT_EQ(qelFileReadDestroy(reader), 0);
    qelPipeDestroy(head);
}

// Pins the calling thread to the first processor it may run on, for as long
// as it lives.
class OneProcessor {
public:
    OneProcessor()
    {
        CPU_ZERO(&saved_);
        pinned_ = sched_getaffinity(0, sizeof saved_, &saved_) == 0;
        cpu_set_t one;
        CPU_ZERO(&one);
        int first = 0;
        while (pinned_ && first < CPU_SETSIZE && !CPU_ISSET(first, &saved_))
            ++first;
        CPU_SET(first, &one);
        pinned_ = pinned_ && first < CPU_SETSIZE && sched_setaffinity(0, sizeof one, &one) == 0;
    }
    ~OneProcessor()
    {
        if (pinned_)
            static_cast<void>(sched_setaffinity(0, sizeof saved_, &saved_));
    }
    OneProcessor(const OneProcessor &) = delete;
    OneProcessor &operator=(const OneProcessor &) = delete;
    bool pinned() const { return pinned_; }
    // Whether the thread could run on more than one before.
    bool hadMore() const { return pinned_ && CPU_COUNT(&saved_) > 1; }

private:
    cpu_set_t saved_;
    bool pinned_ = false;
};

// Large files are read ahead on a worker, and read in place by a thread
// that may run on one processor only (there a worker would only add thread
// switches): either way every byte arrives once and in order, with the size
// known or not, across a downstream failure and a resumed pump, and a read
// error met ahead is the pump's result after the bytes before it.
TEST_F(GenericTest, FileSourceReadsAhead)
{
    const std::size_t size = 5 * QELFileReadModuleBufferSize + 12345;
    struct Case {
        bool sized;
        std::size_t failAt;        // the file's reads fail from here
        std::size_t downstreamFail; // the chain fails once after this many bytes
    };
    for (const bool oneProcessor : {false, true}) {
        std::optional<OneProcessor> pin;
        if (oneProcessor) {
            pin.emplace();
            ASSERT_TRUE(pin->pinned());
            EXPECT_EQ(qelIOWorkerNew(qelContextMemoryMgr(context_)), nullptr);
        }
        for (const Case &c : {Case{true, ~std::size_t{0}, ~std::size_t{0}}, Case{false, ~std::size_t{0}, 3 * QELFileReadModuleBufferSize / 2},
                              Case{true, 2 * QELFileReadModuleBufferSize + 17, ~std::size_t{0}}}) {
            SCOPED_TRACE(testing::Message() << "one processor " << oneProcessor << " sized " << c.sized << " failAt " << c.failAt);
            FakeFile f;
            f.data = pattern(size, 3);
            f.size = c.sized ? static_cast<std::int64_t>(size) : -1;
            f.failAt = c.failAt;
            QELFileObject file = fakeFile(&f);
            QELFileReadModule *reader = qelFileReadModuleCreate(context_, &file, 0);
            ASSERT_NE(reader, nullptr);
            pipetest::Record rec;
            if (c.downstreamFail != ~std::size_t{0}) {
                rec.failWrite = QELError_UserAbort;
                rec.failAfterBytes = c.downstreamFail;
            }
            QELPipeModule *head = pipetest::makeRecorder(context_, &rec);
            QELStatus status = qelFileReadPump(reader, head);
            if (c.downstreamFail != ~std::size_t{0}) {
                EXPECT_EQ(status, QELError_UserAbort);
                rec.failWrite = 0;
                status = qelFileReadPump(reader, head);
            }
            if (c.failAt < size) {
                EXPECT_EQ(status, QELError_ReadFailed);
                EXPECT_TRUE(rec.bytes == f.data.substr(0, c.failAt));
            } else {
                EXPECT_EQ(status, 0);
                EXPECT_TRUE(rec.bytes == f.data);
            }
            EXPECT_EQ(qelFileReadDestroy(reader), 0);
            qelPipeDestroy(head);
        }
        if (pin.has_value() && pin->hadMore()) {
            pin.reset();
            QELIOWorker *worker = qelIOWorkerNew(qelContextMemoryMgr(context_));
            EXPECT_NE(worker, nullptr); // several processors again: a thread is worth its switches
            qelIOWorkerFree(worker);
        }
    }
}

} // namespace
