// The raw-deflate decoder against zlib: zlib compresses at every level and
// strategy, the decoder must give back the input byte for byte however the
// stream is cut into pieces and however the output is taken; on damaged
// streams it must accept or refuse exactly when zlib does; hand-made hostile
// streams give the expected error.
#include "qelInflaterInternal.h"

#include "qelContext.h"
#include "qelErrors.h"
#include "qelTestDeflate.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using qeltest::oursInflateRaw;
using qeltest::zlibDeflateRaw;
using qeltest::zlibInflateRaw;

const auto *const gEnv = qeltest::addHomeEnvironment("qelinflate", qeltest::HomeEnvironment::SDK::Up);

using qeltest::mixedBytes;
using qeltest::randomBytes;
using qeltest::structuredBytes;
using qeltest::textBytes;

class InflateTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override { EXPECT_EQ(qelContextFree(context_), QELError_NoErr); }

    qeltest::InflateOutcome ours(const Bytes &stream, std::size_t piece = SIZE_MAX, std::size_t take = SIZE_MAX)
    {
        return oursInflateRaw(context_, stream.data(), stream.size(), piece, take);
    }

    QELContext *context_ = nullptr;
};

// ---- zlib streams decode to their input ------------------------------------

TEST_F(InflateTest, EveryLevelStrategyAndWindowRoundTrips)
{
    struct Input {
        const char *name;
        Bytes data;
    };
    const Input inputs[] = {{"text", textBytes(70000, 1)},
                            {"random", randomBytes(40000, 2)},
                            {"structured", structuredBytes(50000, 3)},
                            {"mixed", mixedBytes(50000, 4)},
                            {"tiny", textBytes(5, 5)},
                            {"empty", {}}};
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const Input &in : inputs) {
        for (int windowBits : {-15, -13}) {
            for (int level = 0; level <= 9; ++level) {
                for (int strategy : strategies) {
                    SCOPED_TRACE(testing::Message() << in.name << " window " << windowBits << " level " << level
                                                    << " strategy " << strategy);
                    const Bytes stream = zlibDeflateRaw(in.data, level, windowBits, strategy);
                    ASSERT_FALSE(stream.empty());
                    const auto whole = ours(stream);
                    ASSERT_EQ(whole.status, 0);
                    ASSERT_TRUE(whole.output == in.data);
                    // An odd piece size and an odd consumer, so pieces and
                    // window passes fall everywhere.
                    const auto cut = ours(stream, 1 + (level * 7 + strategy * 3) % 29, 1000 + level * 37);
                    ASSERT_EQ(cut.status, 0);
                    ASSERT_TRUE(cut.output == in.data);
                }
            }
        }
    }
}

TEST_F(InflateTest, EveryPieceSizeGivesTheSameOutput)
{
    const Bytes data = mixedBytes(120000, 11);
    for (int windowBits : {-15, -13}) {
        const Bytes stream = zlibDeflateRaw(data, 6, windowBits);
        std::vector<std::size_t> pieces;
        for (std::size_t p = 1; p <= 64; ++p)
            pieces.push_back(p);
        for (std::size_t p : {65, 100, 127, 128, 255, 256, 511, 1000, 4095, 4096, 8191, 20000})
            pieces.push_back(p);
        pieces.push_back(stream.size());
        for (std::size_t piece : pieces) {
            SCOPED_TRACE(testing::Message() << "window " << windowBits << " piece " << piece);
            const auto r = ours(stream, piece);
            ASSERT_EQ(r.status, 0);
            ASSERT_TRUE(r.output == data);
        }
    }
}

TEST_F(InflateTest, ConsumerTakingLittleAtATimeGetsEverything)
{
    const Bytes data = structuredBytes(100000, 21);
    const Bytes stream = zlibDeflateRaw(data, 9, -15);
    for (std::size_t take : {1, 7, 255, 4096, 32767, 32768}) {
        SCOPED_TRACE(take);
        const auto r = ours(stream, 3000, take);
        ASSERT_EQ(r.status, 0);
        ASSERT_TRUE(r.output == data);
    }
}

// A full window stops the decoder taking input; it goes on once the
// consumer has emptied the window.
TEST_F(InflateTest, FullWindowHoldsInputBack)
{
    const Bytes data(200000, 'a');
    const Bytes stream = zlibDeflateRaw(data, 9, -15);
    QELInflater *d = qelInflaterNew(context_);
    ASSERT_NE(d, nullptr);
    std::int32_t status = 0;
    const std::size_t taken = qelInflaterWrite(d, stream.data(), stream.size(), &status);
    EXPECT_EQ(status, 0);
    EXPECT_LT(taken, stream.size());
    std::size_t n = 0;
    ASSERT_NE(qelInflaterPeek(d, &n), nullptr);
    EXPECT_EQ(n, QELInflaterWindowSize);
    // Nothing more is taken while the window is full.
    EXPECT_EQ(qelInflaterWrite(d, stream.data() + taken, stream.size() - taken, &status), 0u);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(qelInflaterFinish(d), QELInflate_NotFinished);
    Bytes out;
    qeltest::drainInflater(d, out, SIZE_MAX);
    std::size_t off = taken;
    while (off < stream.size()) {
        off += qelInflaterWrite(d, stream.data() + off, stream.size() - off, &status);
        ASSERT_EQ(status, 0);
        qeltest::drainInflater(d, out, SIZE_MAX);
    }
    EXPECT_EQ(qelInflaterFinish(d), 0);
    EXPECT_TRUE(out == data);
    qelInflaterFree(d);
}

// ---- damaged streams: the same verdict as zlib -----------------------------

TEST_F(InflateTest, DamagedStreamsGetZlibsVerdict)
{
    std::mt19937 rng(77);
    const Bytes sources[] = {textBytes(3000, 31), structuredBytes(40000, 32), randomBytes(300, 33),
                             mixedBytes(9000, 34)};
    std::vector<Bytes> streams;
    for (const Bytes &s : sources)
        for (int level : {0, 1, 6, 9})
            for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY})
                streams.push_back(zlibDeflateRaw(s, level, level == 1 ? -13 : -15, strategy));
    int accepted = 0;
    int refused = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        Bytes s = streams[rng() % streams.size()];
        switch (rng() % 5) {
        case 0:
        case 1: // flipped bits
            for (unsigned k = 0, flips = 1 + rng() % 3; k < flips; ++k)
                s[rng() % s.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
            break;
        case 2: // cut short
            s.resize(rng() % s.size());
            break;
        case 3: // followed by more bytes
            for (unsigned k = 0, more = 1 + rng() % 3; k < more; ++k)
                s.push_back(static_cast<std::uint8_t>(rng()));
            break;
        default: // a stretch overwritten
            for (std::size_t i = rng() % s.size(), end = std::min(s.size(), i + 1 + rng() % 8); i < end; ++i)
                s[i] = static_cast<std::uint8_t>(rng());
        }
        const auto theirs = zlibInflateRaw(s.data(), s.size());
        const auto mine = ours(s, 1 + rng() % 700);
        ASSERT_EQ(mine.accepted, theirs.accepted) << "trial " << trial << " status " << mine.status;
        const std::size_t common = std::min(mine.output.size(), theirs.output.size());
        ASSERT_TRUE(std::equal(mine.output.begin(), mine.output.begin() + static_cast<std::ptrdiff_t>(common),
                               theirs.output.begin()))
            << "trial " << trial;
        if (theirs.accepted) {
            ASSERT_TRUE(mine.output == theirs.output) << "trial " << trial;
        }
        (theirs.accepted ? accepted : refused) += 1;
    }
    // Both verdicts must have been exercised.
    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 1000);
}

// ---- hostile streams by hand -----------------------------------------------

// Writes a raw-deflate stream bit by bit, least significant bit first.
class BitWriter {
public:
    BitWriter &bits(std::uint32_t value, unsigned n)
    {
        for (unsigned i = 0; i < n; ++i) {
            if (count_ == 0)
                out_.push_back(0);
            out_.back() |= static_cast<std::uint8_t>(((value >> i) & 1) << count_);
            count_ = (count_ + 1) & 7;
        }
        return *this;
    }
    // A Huffman code, most significant bit first.
    BitWriter &code(std::uint32_t code, unsigned length)
    {
        for (unsigned i = length; i-- > 0;)
            bits((code >> i) & 1, 1);
        return *this;
    }
    // Fills the rest of the current byte with ones.
    BitWriter &padOnes()
    {
        while (count_ != 0)
            bits(1, 1);
        return *this;
    }
    BitWriter &align()
    {
        count_ = 0;
        return *this;
    }
    BitWriter &byte(std::uint8_t b)
    {
        align();
        out_.push_back(b);
        return *this;
    }
    Bytes take() const { return out_; }

private:
    Bytes out_;
    unsigned count_ = 0;
};

// Canonical codes of a set of lengths.
std::vector<std::uint32_t> canonical(const std::vector<std::uint8_t> &lengths)
{
    unsigned count[16] = {};
    for (auto l : lengths)
        ++count[l];
    count[0] = 0;
    std::uint32_t next[16] = {};
    std::uint32_t code = 0;
    for (unsigned len = 1; len < 16; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    std::vector<std::uint32_t> codes(lengths.size());
    for (std::size_t s = 0; s < lengths.size(); ++s)
        if (lengths[s] != 0)
            codes[s] = next[lengths[s]]++;
    return codes;
}

// Fixed-Huffman literal/length and distance symbols.
void fixedSymbol(BitWriter &w, unsigned symbol)
{
    if (symbol < 144)
        w.code(0x30 + symbol, 8);
    else if (symbol < 256)
        w.code(0x190 + symbol - 144, 9);
    else if (symbol < 280)
        w.code(symbol - 256, 7);
    else
        w.code(0xC0 + symbol - 280, 8);
}
void fixedDistance(BitWriter &w, unsigned symbol) { w.code(symbol, 5); }

// The code-length code used by the dynamic blocks below: symbols 0 to 13 in
// four bits, 14, 16, 17 and 18 in five.
const std::vector<std::uint8_t> kClLengths = [] {
    std::vector<std::uint8_t> l(19, 0);
    for (int s = 0; s <= 13; ++s)
        l[static_cast<std::size_t>(s)] = 4;
    for (int s : {14, 16, 17, 18})
        l[static_cast<std::size_t>(s)] = 5;
    return l;
}();

// A dynamic block header with HLIT, HDIST and the code-length sequence given
// as (symbol, extra value) pairs.
void dynamicHeader(BitWriter &w, bool final, unsigned hlit, unsigned hdist,
                   const std::vector<std::pair<unsigned, unsigned>> &lengthSymbols)
{
    static const unsigned order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w.bits(final ? 1 : 0, 1).bits(2, 2).bits(hlit - 257, 5).bits(hdist - 1, 5).bits(19 - 4, 4);
    for (unsigned s : order)
        w.bits(kClLengths[s], 3);
    const auto codes = canonical(kClLengths);
    for (auto [symbol, extra] : lengthSymbols) {
        w.code(codes[symbol], kClLengths[symbol]);
        if (symbol == 16)
            w.bits(extra, 2);
        else if (symbol == 17)
            w.bits(extra, 3);
        else if (symbol == 18)
            w.bits(extra, 7);
    }
}

// Code lengths listed one symbol each.
std::vector<std::pair<unsigned, unsigned>> plainLengths(const std::vector<std::uint8_t> &lengths)
{
    std::vector<std::pair<unsigned, unsigned>> out;
    for (auto l : lengths)
        out.emplace_back(l, 0);
    return out;
}

// Literal/length lengths for 257 symbols: 'a' and 'b' and end of block in two
// bits, and length code 257 in two bits (complete: four codes of two bits).
std::vector<std::uint8_t> smallLiteralLengths()
{
    std::vector<std::uint8_t> l(258, 0);
    l['a'] = 2;
    l['b'] = 2;
    l[256] = 2;
    l[257] = 2;
    return l;
}

struct Hostile {
    const char *name;
    Bytes stream;
    std::int32_t expected;   // our status at the end
    Bytes output;            // what must have come out when accepted
};

std::vector<Hostile> hostileStreams()
{
    std::vector<Hostile> cases;
    {
        BitWriter w;
        w.bits(1, 1).bits(3, 2);
        cases.push_back({"block type 3", w.take(), QELInflate_BadData, {}});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(0, 2).align().byte(5).byte(0).byte(0xFA).byte(0xFE);
        cases.push_back({"stored length not the complement of its check", w.take(), QELInflate_BadData, {}});
    }
    {
        BitWriter w;
        w.bits(0, 1).bits(0, 2).align().byte(0).byte(0).byte(0xFF).byte(0xFF);
        w.bits(1, 1).bits(1, 2);
        fixedSymbol(w, 256);
        cases.push_back({"empty stored block then an empty fixed block", w.take(), 0, {}});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(0, 2).align().byte(3).byte(0).byte(0xFC).byte(0xFF).byte('x').byte('y').byte('z');
        cases.push_back({"stored block", w.take(), 0, {'x', 'y', 'z'}});
    }
    {
        // Padding bits before a stored length carry no meaning.
        BitWriter w;
        w.bits(1, 1).bits(0, 2).bits(0x1F, 5).byte(1).byte(0).byte(0xFE).byte(0xFF).byte('q');
        cases.push_back({"stored block after set padding bits", w.take(), 0, {'q'}});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(1, 2);
        fixedSymbol(w, 257);   // length 3
        fixedDistance(w, 0);   // distance 1, with nothing decoded yet
        fixedSymbol(w, 256);
        cases.push_back({"distance before the first byte", w.take(), QELInflate_BadData, {}});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(1, 2);
        fixedSymbol(w, 'k');
        fixedSymbol(w, 257);
        fixedDistance(w, 1);   // distance 2 after one byte
        fixedSymbol(w, 256);
        cases.push_back({"distance one past the first byte", w.take(), QELInflate_BadData, {}});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(1, 2);
        fixedSymbol(w, 'k');
        fixedSymbol(w, 257);
        fixedDistance(w, 0);
        fixedSymbol(w, 256);
        cases.push_back({"distance reaching the first byte", w.take(), 0, {'k', 'k', 'k', 'k'}});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(1, 2);
        fixedSymbol(w, 'k');
        fixedSymbol(w, 286);
        cases.push_back({"literal/length code 286", w.take(), QELInflate_BadData, {}});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(1, 2);
        fixedSymbol(w, 'k');
        fixedSymbol(w, 257);
        fixedDistance(w, 30);
        cases.push_back({"distance code 30", w.take(), QELInflate_BadData, {}});
    }
    // Dynamic headers refused before any code is read: the HLIT, HDIST and
    // HCLEN fields and the code-length code lengths (in transmission order).
    struct Header {
        const char *name;
        unsigned hlit, hdist, hclen;
        std::vector<unsigned> codeLengthLengths;
    };
    for (const Header &h : {Header{"287 literal/length codes", 30, 0, 15, {}},
                            Header{"31 distance codes", 0, 30, 15, {}},
                            Header{"over-subscribed code-length code", 0, 0, 0, {1, 1, 1, 0}},
                            Header{"incomplete code-length code", 0, 0, 0, {2, 2, 0, 0}}}) {
        BitWriter w;
        w.bits(1, 1).bits(2, 2).bits(h.hlit, 5).bits(h.hdist, 5).bits(h.hclen, 4);
        for (unsigned l : h.codeLengthLengths)
            w.bits(l, 3);
        for (int i = 0; i < 40; ++i)
            w.bits(0, 8);
        cases.push_back({h.name, w.take(), QELInflate_BadData, {}});
    }
    {
        // 'a', 'b', end of block: three codes of two bits.
        std::vector<std::uint8_t> lit(257, 0);
        lit['a'] = 2;
        lit['b'] = 2;
        lit[256] = 2;
        BitWriter w;
        dynamicHeader(w, true, 257, 1, plainLengths([&] {
                          auto l = lit;
                          l.push_back(1);
                          return l;
                      }()));
        const auto codes = canonical(lit);
        w.code(codes['a'], 2).code(codes[256], 2);
        cases.push_back({"incomplete literal/length code", w.take(), QELInflate_BadData, {}});
    }
    {
        auto lit = smallLiteralLengths();
        lit['a'] = 1;
        BitWriter w;
        auto lengths = lit;
        lengths.push_back(1);
        dynamicHeader(w, true, 258, 1, plainLengths(lengths));
        cases.push_back({"over-subscribed literal/length code", w.take(), QELInflate_BadData, {}});
    }
    {
        auto lengths = smallLiteralLengths();
        lengths.push_back(1);
        lengths.push_back(1);
        lengths.push_back(1);
        BitWriter w;
        dynamicHeader(w, true, 258, 3, plainLengths(lengths));
        cases.push_back({"over-subscribed distance code", w.take(), QELInflate_BadData, {}});
    }
    {
        // One distance code of one bit is allowed, its unused twin is not.
        auto lit = smallLiteralLengths();
        auto lengths = lit;
        lengths.push_back(1);
        BitWriter w;
        dynamicHeader(w, true, 258, 1, plainLengths(lengths));
        const auto codes = canonical(lit);
        w.code(codes['a'], 2).code(codes[257], 2).bits(0, 1).code(codes[256], 2);
        cases.push_back({"single one-bit distance code", w.take(), 0, {'a', 'a', 'a', 'a'}});
        BitWriter v;
        dynamicHeader(v, true, 258, 1, plainLengths(lengths));
        v.code(codes['a'], 2).code(codes[257], 2).bits(1, 1).code(codes[256], 2);
        cases.push_back({"code outside an incomplete distance code", v.take(), QELInflate_BadData, {}});
    }
    {
        // No distance code at all: literals decode, a match cannot.
        auto lit = smallLiteralLengths();
        auto lengths = lit;
        lengths.push_back(0);
        const auto codes = canonical(lit);
        BitWriter w;
        dynamicHeader(w, true, 258, 1, plainLengths(lengths));
        w.code(codes['b'], 2).code(codes['a'], 2).code(codes[256], 2);
        cases.push_back({"empty distance code, literals only", w.take(), 0, {'b', 'a'}});
        BitWriter v;
        dynamicHeader(v, true, 258, 1, plainLengths(lengths));
        v.code(codes['b'], 2).code(codes[257], 2).bits(0, 8).code(codes[256], 2);
        cases.push_back({"match with an empty distance code", v.take(), QELInflate_BadData, {}});
    }
    {
        // A repeat with no length before it.
        auto lengths = smallLiteralLengths();
        lengths.push_back(1);
        auto symbols = plainLengths(lengths);
        symbols.erase(symbols.begin(), symbols.begin() + 3);
        symbols.insert(symbols.begin(), {16, 0});   // three times "the previous length"
        BitWriter w;
        dynamicHeader(w, true, 258, 1, symbols);
        cases.push_back({"repeat code first in the list", w.take(), QELInflate_BadData, {}});
    }
    {
        auto lengths = smallLiteralLengths();
        lengths.push_back(1);
        auto symbols = plainLengths(lengths);
        symbols.pop_back();
        symbols.emplace_back(18, 0);   // 11 zeros where one length is left
        BitWriter w;
        dynamicHeader(w, true, 258, 1, symbols);
        cases.push_back({"repeat past the end of the lengths", w.take(), QELInflate_BadData, {}});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(1, 2);
        fixedSymbol(w, 'z');
        fixedSymbol(w, 256);
        Bytes s = w.take();
        s.push_back(0);
        cases.push_back({"a byte after the final block", s, QELInflate_TrailingData, {}});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(1, 2);
        fixedSymbol(w, 'z');
        fixedSymbol(w, 256);
        w.padOnes();   // padding bits carry no meaning
        cases.push_back({"set padding after the final block", w.take(), 0, {'z'}});
    }
    {
        BitWriter w;
        w.bits(0, 1).bits(1, 2);
        fixedSymbol(w, 'z');
        fixedSymbol(w, 256);
        cases.push_back({"no final block", w.take(), QELInflate_NotFinished, {}});
    }
    {
        BitWriter w;
        w.bits(1, 1).bits(1, 2);
        fixedSymbol(w, 'z');
        cases.push_back({"cut inside a block", w.take(), QELInflate_NotFinished, {}});
    }
    cases.push_back({"nothing at all", {}, QELInflate_NotFinished, {}});
    return cases;
}

TEST_F(InflateTest, HostileStreams)
{
    for (const Hostile &h : hostileStreams()) {
        SCOPED_TRACE(h.name);
        const auto theirs = zlibInflateRaw(h.stream.data(), h.stream.size());
        EXPECT_EQ(theirs.accepted, h.expected == 0);
        for (std::size_t piece : {std::size_t{1}, std::size_t{2}, SIZE_MAX}) {
            const auto r = ours(h.stream, piece);
            EXPECT_EQ(r.status, h.expected) << "piece " << piece;
            if (h.expected == 0) {
                EXPECT_TRUE(r.output == h.output);
            }
        }
    }
}

// After an error every call takes nothing and gives the error again; bytes
// arriving in a later call after the end are an error too.
TEST_F(InflateTest, ErrorsStick)
{
    const Bytes stream = zlibDeflateRaw(textBytes(1000, 9), 6, -15);
    QELInflater *d = qelInflaterNew(context_);
    ASSERT_NE(d, nullptr);
    std::int32_t status = 1;
    EXPECT_EQ(qelInflaterWrite(d, stream.data(), stream.size(), &status), stream.size());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(qelInflaterFinish(d), 0);
    EXPECT_EQ(qelInflaterWrite(d, nullptr, 0, &status), 0u);
    EXPECT_EQ(status, 0);
    const std::uint8_t more[2] = {0, 0};
    qelInflaterWrite(d, more, 2, &status);
    EXPECT_EQ(status, QELInflate_TrailingData);
    EXPECT_EQ(qelInflaterWrite(d, more, 2, &status), 0u);
    EXPECT_EQ(status, QELInflate_TrailingData);
    EXPECT_EQ(qelInflaterFinish(d), QELInflate_TrailingData);
    qelInflaterFree(d);
}

// Matches of distance 32768 read the very byte they overwrite in the
// circular window: the decoder must never have written ahead of itself.
// (zlib never emits such distances, so the stream is made by hand: 32768
// stored bytes, then copies of them from 32768 back.)
TEST_F(InflateTest, FarthestDistanceAcrossPasses)
{
    const Bytes history = randomBytes(32768, 41);
    BitWriter w;
    w.bits(0, 1).bits(0, 2).align().byte(0x00).byte(0x80).byte(0xFF).byte(0x7F);
    for (std::uint8_t b : history)
        w.byte(b);
    w.bits(1, 1).bits(1, 2);
    Bytes expected = history;
    std::mt19937 rng(42);
    while (expected.size() < 5 * 32768) {
        if (rng() % 3 == 0) {
            const std::uint8_t literal = expected[expected.size() - 32768];
            fixedSymbol(w, literal);
            expected.push_back(literal);
            continue;
        }
        fixedSymbol(w, 285);   // length 258
        fixedDistance(w, 29);
        w.bits(8191, 13);      // distance 32768
        for (int i = 0; i < 258; ++i)
            expected.push_back(expected[expected.size() - 32768]);
    }
    fixedSymbol(w, 256);
    const Bytes stream = w.take();
    ASSERT_TRUE(zlibInflateRaw(stream.data(), stream.size()).output == expected);
    for (std::size_t piece : {std::size_t{5}, SIZE_MAX}) {
        for (std::size_t take : {std::size_t{777}, SIZE_MAX}) {
            const auto r = ours(stream, piece, take);
            ASSERT_EQ(r.status, 0);
            ASSERT_TRUE(r.output == expected);
        }
    }
}

TEST_F(InflateTest, HuffmanBuildResults)
{
    QELHuffEntry *t = nullptr;
    std::int32_t bits = 9;
    const std::uint8_t none[4] = {0, 0, 0, 0};
    EXPECT_EQ(qelHuffmanBuild(context_, none, 4, 4, nullptr, nullptr, &t, &bits), QELHuffman_Complete);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(bits, 0);
    const std::uint8_t one[2] = {1, 0};
    bits = 9;
    EXPECT_EQ(qelHuffmanBuild(context_, one, 2, 2, nullptr, nullptr, &t, &bits), QELHuffman_Complete);
    EXPECT_EQ(bits, 1);
    qelHuffmanFree(context_, t);
    const std::uint8_t over[3] = {1, 1, 1};
    bits = 9;
    EXPECT_EQ(qelHuffmanBuild(context_, over, 3, 3, nullptr, nullptr, &t, &bits), QELHuffman_Failed);
    EXPECT_EQ(t, nullptr);
    const std::uint8_t gap[3] = {2, 2, 2};
    bits = 1;
    EXPECT_EQ(qelHuffmanBuild(context_, gap, 3, 3, nullptr, nullptr, &t, &bits), QELHuffman_Incomplete);
    EXPECT_EQ(bits, 2);   // raised to the shortest code
    qelHuffmanFree(context_, t);
}

} // namespace
