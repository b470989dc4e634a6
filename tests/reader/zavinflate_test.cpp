// The inflater hands the entry parser exactly the groups, in exactly the
// order relative to its input reads, that the plain one-chunk-in,
// one-group-out loop below does, whatever the archive: compressible or not,
// tiny entries, directories, damaged streams, runs stopped by the callback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "zavArchive.h"
#include "zavArchiveWriter.h"
#include "zavExtract.h"
#include "qelTestEnv.h"

using namespace zavtest;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunk = 512;

// The straightforward driver: 512 input bytes per refill, a 512-byte output
// buffer handed over whenever it is full, and a buffer doubling up to 8 MiB
// while zlib reports no progress.
void referenceInflate(ExtractionState *state, const InflateSink &sink)
{
    z_stream stream{};
    stream.zalloc = zlibAlloc;
    stream.zfree = zlibFree;
    if (inflateInit(&stream) != Z_OK) {
        state->latchedError = QELError_CorruptData;
        return;
    }
    std::uint8_t input[kChunk];
    std::uint8_t output[kChunk];
    stream.next_out = output;
    stream.avail_out = kChunk;
    bool last = false;
    bool ended = false;
    auto produced = [&](const std::uint8_t *b) { return static_cast<std::size_t>(stream.next_out - b); };
    while (state->latchedError == QELError_NoErr) {
        int result;
        if (last) {
            result = inflate(&stream, Z_FINISH);
        } else {
            if (stream.avail_in == 0) {
                const std::size_t got = sink.refill(sink.context, state, input, kChunk);
                last = got < kChunk;
                stream.next_in = input;
                stream.avail_in = static_cast<uInt>(got);
            }
            result = inflate(&stream, Z_NO_FLUSH);
        }
        if (result == Z_OK && stream.avail_out == 0) {
            sink.handOver(sink.context, state, output, kChunk);
            stream.next_out = output;
            stream.avail_out = kChunk;
        }
        if (result == Z_BUF_ERROR) {
            std::vector<std::uint8_t> grown;
            std::uint8_t *current = output;
            std::size_t size = kChunk;
            bool handed = false;
            while (result == Z_BUF_ERROR && size < 8 * 1024 * 1024) {
                sink.handOver(sink.context, state, current, produced(current));
                handed = true;
                size *= 2;
                grown.assign(size, 0);
                current = grown.data();
                stream.next_out = current;
                stream.avail_out = static_cast<uInt>(size);
                handed = false;
                result = inflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            }
            if (!grown.empty()) {
                if (!handed)
                    sink.handOver(sink.context, state, current, produced(current));
                stream.next_out = output;
                stream.avail_out = kChunk;
            }
            if (result == Z_BUF_ERROR)
                break;
        }
        if (result == Z_OK)
            continue;
        if (result == Z_STREAM_END) {
            sink.handOver(sink.context, state, output, produced(output));
            ended = true;
        }
        break;
    }
    inflateEnd(&stream);
    if (!ended && state->latchedError == QELError_NoErr)
        state->latchedError = QELError_CorruptData;
}

// Everything the run did, in order: refills, hand-overs (size and CRC),
// progress and entry events, the result and the tree it left.
struct Recorder {
    std::string base;            // output directory, stripped from paths
    std::size_t stopAtEntry = 0; // answer the n-th entry event with a refusal
    std::size_t entries = 0;
    std::vector<std::string> log;

    static std::size_t refill(void *context, ExtractionState *state, std::uint8_t *input, std::size_t count)
    {
        const std::size_t got = readPlainBytes(state, input, count);
        static_cast<Recorder *>(context)->log.push_back("in " + std::to_string(got));
        return got;
    }
    static void handOver(void *context, ExtractionState *state, const std::uint8_t *bytes, std::size_t count)
    {
        const uLong crc = crc32(0, bytes, static_cast<uInt>(count));
        static_cast<Recorder *>(context)->log.push_back("out " + std::to_string(count) + " " +
                                                        std::to_string(crc));
        consumePayload(bytes, count, state);
    }
    static QELStatus event(void *, ExtractionEvent *event, void *user)
    {
        auto *self = static_cast<Recorder *>(user);
        switch (event->kind) {
        case ExtractionEvent_Progress:
            self->log.push_back("progress " + std::to_string(event->a.count));
            break;
        case ExtractionEvent_EntryFound:
            self->log.push_back("entry " + std::string(event->a.path).substr(self->base.size()));
            if (++self->entries == self->stopAtEntry)
                return QELError_UserAbort;
            break;
        case ExtractionEvent_CreateFile:
            std::strcpy(event->b.buffer, event->a.path);
            break;
        case ExtractionEvent_EntryFailed:
            self->log.push_back("failed " + std::to_string(event->b.status));
            break;
        default:
            break;
        }
        return QELError_NoErr;
    }
};

std::map<std::string, std::string> tree(const std::string &root)
{
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), root).string();
        out[rel] = it->is_directory() ? "dir" : "file:" + readFileBytes(it->path().string());
    }
    return out;
}

using Driver = void (*)(ExtractionState *, const InflateSink &);

// Runs one driver over the archive the way an extraction sets up its state,
// without the helper threads (blocks are decrypted in line).
std::vector<std::string> runDriver(const std::string &archivePath, const std::string &directory, Driver driver,
                                   std::size_t stopAtEntry)
{
    fs::create_directories(directory);
    const std::string base = directory + "/";
    ArchiveTrailer trailer;
    std::FILE *archive = std::fopen(archivePath.c_str(), "rb");
    EXPECT_NE(archive, nullptr);
    readArchiveTrailer(archive, &trailer);
    void *key = nullptr;
    EXPECT_TRUE(checkPassphrase(ArchiveOptions{}.passphrase.c_str(), &key, trailer));
    fseeko(archive, static_cast<off_t>(trailer.dataOffset), SEEK_SET);

    auto state = std::make_unique<ExtractionState>();
    std::memset(state.get(), 0, sizeof(ExtractionState));
    Recorder recorder;
    recorder.base = base;
    recorder.stopAtEntry = stopAtEntry;
    state->archive = archive;
    state->trailer = trailer;
    state->keyContext = key;
    state->dataLength = trailer.dataLength;
    state->headerMode = 1;
    state->outputDirectory = base.c_str();
    state->outputDirectoryFd = ::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    state->callback = Recorder::event;
    state->userData = &recorder;

    driver(state.get(), InflateSink{&recorder, Recorder::refill, Recorder::handOver});

    if (state->outputFile != nullptr)
        std::fclose(state->outputFile);
    ::close(state->outputDirectoryFd);
    std::fclose(archive);
    freeKeyContext(key);
    while (state->createdPaths != nullptr) {
        CreatedPath *next = state->createdPaths->next;
        std::free(state->createdPaths->path);
        std::free(state->createdPaths);
        state->createdPaths = next;
    }
    recorder.log.push_back("status " + std::to_string(state->latchedError));
    for (const auto &[path, content] : tree(directory))
        recorder.log.push_back("tree " + path + " " + std::to_string(crc32(0, reinterpret_cast<const Bytef *>(
                                                                                   content.data()),
                                                                               static_cast<uInt>(content.size()))));
    return recorder.log;
}

std::string randomBytes(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string out(n, '\0');
    for (char &c : out)
        c = static_cast<char>(rng());
    return out;
}

std::string text(std::size_t n, std::uint32_t seed)
{
    static const char *const words[] = {"entry ", "block ", "group ", "stream ", "window\n", "salt "};
    std::mt19937 rng(seed);
    std::string out;
    while (out.size() < n)
        out += words[rng() % 6];
    out.resize(n);
    return out;
}

struct Case {
    std::string label;
    std::string payload;
    std::size_t stopAtEntry = 0;
};

// A stream that starts with many empty stored blocks: whole input blocks
// that inflate to nothing.
std::string emptyBlocksFirst(const std::string &data, int emptyBlocks)
{
    std::string out = "\x78\x01";
    for (int i = 0; i < emptyBlocks; ++i)
        out.append("\x00\x00\x00\xff\xff", 5);  // not final, stored, length 0
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string raw(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(raw.data());
    z.avail_out = static_cast<uInt>(raw.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    raw.resize(z.total_out);
    deflateEnd(&z);
    out += raw;
    const uLong check = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef *>(data.data()),
                                static_cast<uInt>(data.size()));
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((check >> shift) & 0xFF);
    return out;
}

std::vector<Case> cases()
{
    std::vector<Case> all;
    const std::vector<ArchiveEntry> mixed = {
        {"d/", true, ""},       {"d/e/", true, ""},
        {"d/empty", false, ""}, {"d/e/tiny", false, "x"},
        {"t.txt", false, text(300000, 1)},
        {"r.bin", false, randomBytes(200000, 2)},
        {"z", false, std::string(2 << 20, '\0')},
        {"back\\slash", false, text(777, 3)},
        {"last", false, randomBytes(513, 4)},
    };
    const std::string stream = buildEntryStream(mixed);
    for (int level : {0, 1, 6, 9})
        all.push_back({"mixed level " + std::to_string(level), zlibCompress(stream, level)});

    std::vector<ArchiveEntry> tiny;
    for (int i = 0; i < 400; ++i)
        tiny.push_back(i % 7 == 0 ? ArchiveEntry{"dir" + std::to_string(i) + "/", true, ""}
                                  : ArchiveEntry{"f" + std::to_string(i), false, text(i % 50, i)});
    all.push_back({"tiny entries", zlibCompress(buildEntryStream(tiny), 6)});
    all.push_back({"ends in a highly compressed block",
                   zlibCompress(buildEntryStream({{"a", false, text(5000, 5)},
                                                  {"zeros", false, std::string(3 << 20, '\0')}}),
                                9)});
    all.push_back({"empty blocks first", emptyBlocksFirst(stream, 400)});
    all.push_back({"stopped at an entry", zlibCompress(stream, 6), 6});
    all.push_back({"stopped at a tiny entry", zlibCompress(buildEntryStream(tiny), 6), 250});

    // Data ending exactly at a block boundary.
    for (std::size_t n = 1000;; ++n) {
        std::string payload = zlibCompress(buildEntryStream({{"r", false, randomBytes(n, 6)}}), 0);
        if (payload.size() % kChunk == 0) {
            all.push_back({"data ends at a block boundary", payload});
            break;
        }
    }

    // Damage: a wrong checksum, a cut-short stream, and bytes changed at
    // many places (some land right after a group fills).
    std::string payload = zlibCompress(stream, 6);
    std::string bad = payload;
    bad.back() = static_cast<char>(bad.back() ^ 1);
    all.push_back({"wrong checksum", bad});
    all.push_back({"cut short", payload.substr(0, payload.size() / 2)});
    std::mt19937 rng(7);
    for (int i = 0; i < 24; ++i) {
        std::string damaged = payload;
        const std::size_t at = 2 + rng() % (damaged.size() - 2);
        damaged[at] = static_cast<char>(damaged[at] ^ (1 + rng() % 255));
        all.push_back({"damaged at " + std::to_string(at), damaged});
    }
    // Inflated streams ending right at a group's end: a wrong checksum is
    // found by the call that filled the last group.
    for (std::size_t total : {1024u, 4096u, 70144u})
        for (int level : {0, 6}) {
            const std::string good = zlibCompress(buildEntryStream({{"f", false, text(total - 10, 12)}}), level);
            std::string bad = good;
            bad.back() = static_cast<char>(bad.back() ^ 0x80);
            const std::string label = std::to_string(total) + " at level " + std::to_string(level);
            all.push_back({"checksum after " + label, bad});
            // Bytes after the stream put its end inside a whole block.
            const std::string padding(1000, '\x5a');
            all.push_back({"padded stream of " + label, good + padding});
            all.push_back({"padded checksum after " + label, bad + padding});
        }
    // Smaller streams, damaged densely: compressible and not.
    const std::string small = buildEntryStream(
        {{"s/", true, ""}, {"s/t", false, text(40000, 9)}, {"s/r", false, randomBytes(3000, 10)},
         {"s/z", false, std::string(60000, 'z')}, {"s/u", false, text(9000, 11)}});
    for (int level : {1, 9}) {
        const std::string good = zlibCompress(small, level);
        for (int i = 0; i < 60; ++i) {
            std::string damaged = good;
            const std::size_t at = 2 + rng() % (damaged.size() - 2);
            damaged[at] = static_cast<char>(damaged[at] ^ (1 << (rng() % 8)));
            all.push_back({"level " + std::to_string(level) + " bit flip at " + std::to_string(at), damaged});
        }
    }
    all.push_back({"not zlib at all", randomBytes(5000, 8)});
    all.push_back({"empty region", ""});
    return all;
}

TEST(InflateOrder, SameGroupsAndEventsAsTheOneGroupLoop)
{
    const qeltest::TempDir tmp("zavinflate");
    int n = 0;
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.label);
        const std::string archivePath = tmp / ("a" + std::to_string(n) + ".zav");
        ASSERT_TRUE(writeFileBytes(archivePath, buildArchive(c.payload)));
        const auto fast = runDriver(archivePath, tmp / ("fast" + std::to_string(n)), inflatePayloadTo, c.stopAtEntry);
        const auto reference =
            runDriver(archivePath, tmp / ("ref" + std::to_string(n)), referenceInflate, c.stopAtEntry);
        std::size_t same = 0;
        while (same < fast.size() && same < reference.size() && fast[same] == reference[same])
            ++same;
        auto around = [&](const std::vector<std::string> &log) {
            std::string out;
            for (std::size_t i = same >= 3 ? same - 3 : 0; i < std::min(log.size(), same + 4); ++i)
                out += "[" + log[i] + "] ";
            return out;
        };
        EXPECT_TRUE(fast == reference) << "first difference at record " << same << "\n fast:      " << around(fast)
                                       << "\n reference: " << around(reference);
        EXPECT_GT(fast.size(), 2u);
        ++n;
    }
}

// The extraction's own sink reads the blocks between progress events
// together and hands whole groups over together: everything anyone sees
// (events, status, the tree left behind) is still what the one-group loop
// gives.
void quietInflate(ExtractionState *state, const InflateSink &sink)
{
    InflateSink quiet = sink;
    quiet.quietBetweenEvents = true;
    inflatePayloadTo(state, quiet);
}

std::vector<std::string> withoutChunks(const std::vector<std::string> &log)
{
    std::vector<std::string> seen;
    for (const std::string &record : log)
        if (record.rfind("in ", 0) != 0 && record.rfind("out ", 0) != 0)
            seen.push_back(record);
    return seen;
}

TEST(InflateOrder, BlocksReadTogetherKeepEverythingSeen)
{
    const qeltest::TempDir tmp("zavinflate");
    int n = 0;
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.label);
        const std::string archivePath = tmp / ("a" + std::to_string(n) + ".zav");
        ASSERT_TRUE(writeFileBytes(archivePath, buildArchive(c.payload)));
        const auto quiet =
            withoutChunks(runDriver(archivePath, tmp / ("quiet" + std::to_string(n)), quietInflate, c.stopAtEntry));
        const auto reference = withoutChunks(
            runDriver(archivePath, tmp / ("ref" + std::to_string(n)), referenceInflate, c.stopAtEntry));
        EXPECT_EQ(quiet, reference);
        EXPECT_GT(quiet.size(), 1u);
        ++n;
    }
}

}  // namespace
