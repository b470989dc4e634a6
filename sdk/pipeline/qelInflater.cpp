// Raw-deflate decoder. A slow path decodes one whole item at a time (a
// header, a code-length code, a literal, or a length with its distance) and
// only once every bit of it is in the bit buffer, so running out of input
// never leaves half a code to resume: the bits wait in the buffer. While
// plenty of input and window space remain, a fast loop takes over: one
// 8-byte load refills the buffer for a whole match, first-level entries decode
// up to two literals at once, and no step checks input or space.
//
// Where RFC 1951 leaves room, the decoder is strict: a distance reaching
// before the first decoded byte, a code outside an incomplete or empty table,
// a stored length that is not the complement of its check, and a repeat code
// with no length before it are errors.
#include "qelInflaterInternal.h"

#include "qelContextInternal.h"
#include "qelMemoryInternal.h"
#include "qelWipe.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>

namespace {

static_assert(std::endian::native == std::endian::little, "the bit buffer loads little-endian words");

enum : std::int32_t {
    ModeHeader = 0,
    ModeStoredHeader = 1,
    ModeStoredCopy = 2,
    ModeDynamicHeader = 3,
    ModeCodeLengthCode = 4,
    ModeCodeLengths = 5,
    ModeCodes = 6,
    ModeEnd = 7,
    ModeError = 8,
};

// Sub-modes of ModeCodes: decoding the next item, or copying a match.
enum : std::int32_t { CodesDecode = 0, CodesCopy = 6 };

constexpr std::array<std::uint16_t, 31> kLengthBase{3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,
                                                    17, 19, 23, 27, 31, 35, 43, 51,  59,  67,  83,
                                                    99, 115, 131, 163, 195, 227, 258, 0, 0};
constexpr std::array<std::uint8_t, 31> kLengthExtra{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                                    3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0,
                                                    QELHuffExtra_Invalid, QELHuffExtra_Invalid};
constexpr std::array<std::uint16_t, 30> kDistanceBase{1,    2,    3,    4,    5,    7,     9,     13,
                                                      17,   25,   33,   49,   65,   97,    129,   193,
                                                      257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                                      4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<std::uint8_t, 30> kDistanceExtra{0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<std::uint8_t, 19> kCodeLengthOrder{16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                        11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr std::int32_t kLiteralLookupBits = 9;
constexpr std::int32_t kDistanceLookupBits = 6;
constexpr std::int32_t kCodeLengthLookupBits = 7;
constexpr std::int32_t kFixedLiteralLookupBits = 7;
constexpr std::int32_t kFixedDistanceLookupBits = 5;
constexpr unsigned kMaxCodeBits = 15;

// The fast loop refills at most twice per round, each time moving at most 7
// bytes on and loading 8. A round writes at most six literals, or four and
// then one more literal or a match; a match longer than the room left is cut
// at the window end and finished by the slow path.
constexpr std::size_t kFastInputMargin = 32;
constexpr std::size_t kFastOutputMargin = 8;

std::size_t tableEntries(unsigned bits) { return (std::size_t{1} << bits) + 1; }

QELHuffEntry *allocTable(QELContext *context, unsigned bits)
{
    auto *t = static_cast<QELHuffEntry *>(qelContextMemAlloc(context, tableEntries(bits) * sizeof(QELHuffEntry), 0));
    if (t == nullptr)
        return nullptr;
    t[0] = QELHuffEntry{};
    t[0].bits = static_cast<std::uint8_t>(bits);
    return t;
}

QELHuffEntry invalidEntry(unsigned bits)
{
    QELHuffEntry e{};
    e.op = QELHuffOp_Invalid;
    e.bits = static_cast<std::uint8_t>(bits);
    return e;
}

std::uint32_t reverseBits(std::uint32_t code, unsigned length)
{
    std::uint32_t r = 0;
    for (unsigned i = 0; i < length; ++i) {
        r = (r << 1) | (code & 1);
        code >>= 1;
    }
    return r;
}

std::uint64_t load64(const std::uint8_t *p)
{
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <std::size_t N>
void copyWord(std::uint8_t *dst, const std::uint8_t *src)
{
    std::uint8_t w[N];
    std::memcpy(w, src, N);
    std::memcpy(dst, w, N);
}

// Copies a match whose source (out - distance) lies inside the window. Every
// store stays within [out, out + length): the bytes beyond the write
// position are the oldest history, which a later match of distance up to
// 32768 may still read.
[[gnu::always_inline]] inline void copyMatch(std::uint8_t *out, std::uint32_t distance, std::uint32_t length)
{
    const std::uint8_t *src = out - distance;
    if (distance >= 8) {
        if (length >= 8) {
            std::uint32_t i = 0;
            for (; i + 8 <= length; i += 8)
                copyWord<8>(out + i, src + i);
            if (i != length)
                copyWord<8>(out + length - 8, src + length - 8);
        } else if (length >= 4) {
            copyWord<4>(out, src);
            copyWord<4>(out + length - 4, src + length - 4);
        } else {
            for (std::uint32_t i = 0; i < length; ++i)
                out[i] = src[i];
        }
    } else if (distance == 1) {
        const std::uint64_t run = 0x0101010101010101ull * src[0];
        if (length >= 8) {
            std::uint32_t i = 0;
            for (; i + 8 <= length; i += 8)
                std::memcpy(out + i, &run, 8);
            if (i != length)
                std::memcpy(out + length - 8, &run, 8);
        } else {
            std::memset(out, src[0], length);
        }
    } else {
        // A short period: the first bytes one at a time, then words from a
        // multiple of the period at least 8 back, which holds the same bytes.
        static constexpr std::uint8_t kStep[8] = {0, 0, 8, 9, 8, 10, 12, 14};
        const std::uint32_t step = kStep[distance];
        std::uint32_t i = 0;
        for (; i < length && i < step; ++i)
            out[i] = src[i];
        for (; i + 8 <= length; i += 8)
            copyWord<8>(out + i, out + i - step);
        for (; i < length; ++i)
            out[i] = out[i - step];
    }
}

// Copies a match of a distance the history has been checked to hold; the
// source may start in the previous pass over the window, at its end.
inline void copyFromHistory(std::uint8_t *window, std::uint8_t *out, std::uint32_t distance, std::uint32_t length)
{
    const std::size_t behind = static_cast<std::size_t>(out - window);
    if (distance <= behind) {
        copyMatch(out, distance, length);
        return;
    }
    // The source starts at or ahead of out, so a forward move is exact.
    std::uint8_t *src = out + (QELInflaterWindowSize - distance);
    const std::uint32_t first = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(distance - behind));
    std::memmove(out, src, first);
    if (first < length)
        copyMatch(out + first, distance, length - first);
}

void freeBlockTables(QELInflater *d)
{
    if (d->literalTable != nullptr && d->literalTable != d->fixedLiteralTable)
        qelHuffmanFree(d->context, d->literalTable);
    if (d->distanceTable != nullptr && d->distanceTable != d->fixedDistanceTable)
        qelHuffmanFree(d->context, d->distanceTable);
    d->literalTable = nullptr;
    d->distanceTable = nullptr;
    d->literalBits = 0;
    d->distanceBits = 0;
    d->eightBitLiterals = 0;
}

// The registers of one decoding run, written back to the record at its end.
struct Run {
    const std::uint8_t *in;
    const std::uint8_t *inEnd;
    std::uint64_t bits;
    unsigned count;
    std::uint8_t *out;

    void pull()
    {
        while (count <= 56 && in != inEnd) {
            bits |= std::uint64_t{*in++} << count;
            count += 8;
        }
    }
    void drop(unsigned n)
    {
        bits >>= n;
        count -= n;
    }
    std::uint32_t peek(unsigned n) const { return static_cast<std::uint32_t>(bits & ((std::uint64_t{1} << n) - 1)); }
};

// What stopped the slow path.
enum class Stop { Input, Window, Done, Error };

// Looks the next code up in table (at bit offset `at` of the buffer): the
// final entry and, in *need, the bits up to and including the code. An
// absent table yields the invalid entry, certain with no bits.
const QELHuffEntry *lookup(const QELHuffEntry *table, std::int32_t lookupBits, const Run &r, unsigned at,
                           unsigned *need)
{
    static constexpr QELHuffEntry kNoCode{QELHuffOp_Invalid, 0, 0, 0, 0, 0, nullptr};
    if (table == nullptr) {
        *need = at;
        return &kNoCode;
    }
    const std::uint64_t b = r.bits >> at;
    const QELHuffEntry *e = &table[1 + (b & ((std::uint64_t{1} << lookupBits) - 1))];
    if (e->op < 0 && e->op != QELHuffOp_Invalid) {
        const unsigned root = e->bits;
        const unsigned subBits = static_cast<unsigned>(-e->op);
        e = &e->link[1 + ((b >> root) & ((std::uint64_t{1} << subBits) - 1))];
        *need = at + root + e->bits;
        return e;
    }
    *need = at + e->bits;
    return e;
}

// The fast loop: returns 0 when its margins ran out, 1 at the end of the
// block, 2 when a match filled the window (the rest is pending), or the error.
// EightBitLiterals is for blocks of data that did not compress, where nearly
// every literal has an 8-bit code: taking that for granted (and checking it
// on the side) shifts the buffer by a constant, so the next code's lookup
// need not wait for the current entry to load.
template <bool EightBitLiterals>
[[gnu::noinline]] std::int32_t decodeFastWith(QELInflater *d, Run &r)
{
    if (static_cast<std::size_t>(r.inEnd - r.in) < kFastInputMargin ||
        static_cast<std::size_t>(d->windowEnd - r.out) < kFastOutputMargin || d->literalTable == nullptr ||
        d->distanceTable == nullptr)
        return 0;
    const QELHuffEntry *const lt = d->literalTable + 1;
    const QELHuffEntry *const dt = d->distanceTable + 1;
    // Entries are 16 bytes, a scale no address mode has: the index is taken
    // as a byte offset straight from the buffer shifted by 4, which keeps a
    // step off the chain from one code to the next.
    const std::uint64_t lmask = ((std::uint64_t{1} << d->literalBits) - 1) << 4;
    const std::uint64_t dmask = ((std::uint64_t{1} << d->distanceBits) - 1) << 4;
    const auto entryAt = [](const QELHuffEntry *table, std::uint64_t offset) {
        return reinterpret_cast<const QELHuffEntry *>(reinterpret_cast<const char *>(table) + offset);
    };
    const std::uint8_t *in = r.in;
    const std::uint8_t *const inLimit = r.inEnd - kFastInputMargin;
    std::uint8_t *out = r.out;
    std::uint8_t *const window = d->windowStart;
    std::uint8_t *const outLimit = d->windowEnd - kFastOutputMargin;
    const bool filled = d->windowFilled != 0;
    std::uint64_t bb = r.bits;
    std::uint64_t bc = r.count;
    std::int32_t result = 0;
    std::uint8_t held = *out;

    // Tops the buffer up to 56..63 bits. The bytes loaded past the counted
    // ones sit above bc and are loaded again, identically, by the next refill.
#define QEL_REFILL()                                                                                        \
    do {                                                                                                    \
        bb |= load64(in) << bc;                                                                             \
        in += (63 - bc) >> 3;                                                                               \
        bc |= 56;                                                                                           \
    } while (0)
    // Literals are stored two bytes at a time whether the entry has one or
    // two, which may spoil the byte after them: the oldest byte of history,
    // which only a match of distance 32768 reads. `held` keeps that byte as
    // the window held it, and is put back before any match and on leaving.
#define QEL_TAKE_LITERALS(e)                                                                                \
    do {                                                                                                    \
        const std::uint8_t next = out[(e)->literalCount];                                                   \
        std::memcpy(out, &(e)->literals, 2);                                                                \
        out += (e)->literalCount;                                                                           \
        held = next;                                                                                        \
        if (EightBitLiterals && (e)->literalBits == 8) {                                                    \
            bb >>= 8;                                                                                       \
            bc -= 8;                                                                                        \
        } else {                                                                                            \
            bb >>= (e)->literalBits;                                                                        \
            bc -= (e)->literalBits;                                                                         \
        }                                                                                                   \
    } while (0)

    while (in < inLimit && out < outLimit) {
        QEL_REFILL();
        const QELHuffEntry *e = entryAt(lt, (bb << 4) & lmask);
        if (e->literalCount != 0) {
            // Up to three first-level entries (at most 27 bits) before the
            // buffer must be refilled for a match.
            QEL_TAKE_LITERALS(e);
            e = entryAt(lt, (bb << 4) & lmask);
            if (e->literalCount != 0) {
                QEL_TAKE_LITERALS(e);
                e = entryAt(lt, (bb << 4) & lmask);
                if (e->literalCount != 0) {
                    QEL_TAKE_LITERALS(e);
                    continue;
                }
            }
            QEL_REFILL();
        }
        // From here at most 15 + 5 + 15 + 13 bits: a refill covers them.
        if (e->op < 0) {
            if (e->op == QELHuffOp_Invalid) {
                result = QELInflate_BadData;
                break;
            }
            const unsigned root = e->bits;
            e = &e->link[1 + ((bb >> root) & ((std::uint64_t{1} << -e->op) - 1))];
            bb >>= root;
            bc -= root;
            if (e->op == QELHuffOp_Literal) {
                *out++ = static_cast<std::uint8_t>(e->value);
                held = *out;
                bb >>= e->bits;
                bc -= e->bits;
                continue;
            }
        }
        const std::int32_t op = e->op;
        if (op < 0 || op > 13) {
            if (op == QELHuffOp_EndOfBlock) {
                bb >>= e->bits;
                bc -= e->bits;
                result = 1;
            } else {
                result = QELInflate_BadData;
            }
            break;
        }
        const std::uint32_t length =
            e->value + static_cast<std::uint32_t>((bb >> e->bits) & ((std::uint64_t{1} << op) - 1));
        bb >>= e->bits + op;
        bc -= e->bits + op;

        const QELHuffEntry *de = entryAt(dt, (bb << 4) & dmask);
        if (de->op < 0 && de->op != QELHuffOp_Invalid) {
            const unsigned root = de->bits;
            de = &de->link[1 + ((bb >> root) & ((std::uint64_t{1} << -de->op) - 1))];
            bb >>= root;
            bc -= root;
        }
        if (de->op < 0) {
            result = QELInflate_BadData;
            break;
        }
        const std::uint32_t distance =
            de->value + static_cast<std::uint32_t>((bb >> de->bits) & ((std::uint64_t{1} << de->op) - 1));
        bb >>= de->bits + de->op;
        bc -= de->bits + de->op;
        // A match longer than the room left is cut at the window end; the
        // slow path copies the rest once the consumer has emptied it.
        const std::uint32_t room = static_cast<std::uint32_t>(d->windowEnd - out);
        const std::uint32_t n = length < room ? length : room;
        *out = held;
        if (distance > static_cast<std::size_t>(out - window)) {
            if (!filled) {
                result = QELInflate_BadData;
                break;
            }
            copyFromHistory(window, out, distance, n);
        } else {
            copyMatch(out, distance, n);
        }
        out += n;
        if (n != length || out == d->windowEnd) {
            if (n != length) {
                d->pendingLength = length - n;
                d->pendingDistance = distance;
                d->subMode = CodesCopy;
            }
            result = 2;
            break;
        }
        held = *out;
    }
#undef QEL_REFILL
#undef QEL_TAKE_LITERALS

    if (out != d->windowEnd)
        *out = held;
    r.in = in;
    r.out = out;
    r.bits = bb & ((std::uint64_t{1} << bc) - 1);   // drop the bytes loaded ahead
    r.count = static_cast<unsigned>(bc);
    return result;
}

std::int32_t decodeFast(QELInflater *d, Run &r)
{
    return d->eightBitLiterals != 0 ? decodeFastWith<true>(d, r) : decodeFastWith<false>(d, r);
}

// The mode machine. Stops when input or window runs out, at the end of the
// stream or at an error (stored in the record).
std::int32_t runDecoder(QELInflater *d)
{
    Run r{d->input, d->input + d->inputLeft, d->bitBuffer, d->bitCount, d->writePos};
    std::int32_t error = 0;
    Stop stop = Stop::Input;

    auto fail = [&](std::int32_t code) {
        error = code;
        stop = Stop::Error;
    };

    while (stop == Stop::Input && error == 0) {
        switch (d->mode) {
        case ModeHeader: {
            if (d->lastBlock != 0) {
                d->mode = ModeEnd;
                break;
            }
            r.pull();
            if (r.count < 3)
                goto out;
            d->lastBlock = static_cast<std::int32_t>(r.peek(1));
            const std::uint32_t type = (r.peek(3) >> 1) & 3;
            r.drop(3);
            if (type == 0) {
                d->mode = ModeStoredHeader;
            } else if (type == 1) {
                if (qelHuffmanFixedTables(d) != 0) {
                    fail(QELInflate_NoMemory);
                    break;
                }
                d->literalTable = d->fixedLiteralTable;
                d->literalBits = d->fixedLiteralBits;
                d->distanceTable = d->fixedDistanceTable;
                d->distanceBits = d->fixedDistanceBits;
                d->mode = ModeCodes;
                d->subMode = CodesDecode;
            } else if (type == 2) {
                d->mode = ModeDynamicHeader;
            } else {
                fail(QELInflate_BadData);
            }
            break;
        }
        case ModeStoredHeader: {
            // The rest of the current byte is skipped (RFC 1951 gives those
            // bits no meaning); the buffer always ends on a byte boundary.
            r.drop(r.count & 7);
            r.pull();
            if (r.count < 32)
                goto out;
            const std::uint32_t len = r.peek(16);
            const std::uint32_t nlen = (r.peek(32) >> 16);
            if (len != (~nlen & 0xFFFF)) {
                fail(QELInflate_BadData);
                break;
            }
            r.drop(32);
            d->pendingLength = len;
            d->mode = ModeStoredCopy;
            break;
        }
        case ModeStoredCopy: {
            // Whole bytes already in the bit buffer come first.
            while (d->pendingLength != 0 && r.count >= 8 && r.out != d->windowEnd) {
                *r.out++ = static_cast<std::uint8_t>(r.bits);
                r.drop(8);
                --d->pendingLength;
            }
            if (r.count < 8) {
                const std::size_t n = std::min({static_cast<std::size_t>(d->pendingLength),
                                                static_cast<std::size_t>(r.inEnd - r.in),
                                                static_cast<std::size_t>(d->windowEnd - r.out)});
                if (n != 0) {
                    std::memcpy(r.out, r.in, n);
                    r.out += n;
                    r.in += n;
                    d->pendingLength -= static_cast<std::uint32_t>(n);
                }
            }
            if (d->pendingLength == 0) {
                d->mode = ModeHeader;
                break;
            }
            stop = r.out == d->windowEnd ? Stop::Window : Stop::Input;
            goto out;
        }
        case ModeDynamicHeader: {
            r.pull();
            if (r.count < 14)
                goto out;
            d->literalCount = static_cast<std::int32_t>(r.peek(5)) + 257;
            d->distanceCount = static_cast<std::int32_t>((r.peek(10) >> 5)) + 1;
            d->codeLengthCount = static_cast<std::int32_t>((r.peek(14) >> 10)) + 4;
            r.drop(14);
            if (d->literalCount > 286 || d->distanceCount > 30) {
                fail(QELInflate_BadData);
                break;
            }
            d->mode = ModeCodeLengthCode;
            d->subMode = 0;
            break;
        }
        case ModeCodeLengthCode: {
            while (d->subMode < d->codeLengthCount) {
                r.pull();
                if (r.count < 3)
                    goto out;
                d->codeLengths[kCodeLengthOrder[static_cast<std::size_t>(d->subMode)]] =
                    static_cast<std::uint8_t>(r.peek(3));
                r.drop(3);
                ++d->subMode;
            }
            for (std::size_t i = static_cast<std::size_t>(d->codeLengthCount); i < kCodeLengthOrder.size(); ++i)
                d->codeLengths[kCodeLengthOrder[i]] = 0;
            std::int32_t bits = kCodeLengthLookupBits;
            QELHuffEntry *table = nullptr;
            const std::int32_t built =
                qelHuffmanBuild(d->context, d->codeLengths, 19, 19, nullptr, nullptr, &table, &bits);
            if (built != QELHuffman_Complete) {
                qelHuffmanFree(d->context, table);
                fail(QELInflate_BadData);
                break;
            }
            // The code-length code is the current table while the lengths
            // are read; it is never one of the fixed tables.
            d->literalTable = table;
            d->literalBits = bits;
            d->nextLengthIndex = 0;
            d->previousLength = 0;
            d->mode = ModeCodeLengths;
            d->subMode = 1;
            break;
        }
        case ModeCodeLengths: {
            const std::uint32_t total = static_cast<std::uint32_t>(d->literalCount + d->distanceCount);
            while (d->nextLengthIndex < total) {
                r.pull();
                unsigned need = 0;
                const QELHuffEntry *e = lookup(d->literalTable, d->literalBits, r, 0, &need);
                if (need > r.count)
                    goto out;
                if (e->op != QELHuffOp_Literal) {
                    fail(QELInflate_BadData);
                    break;
                }
                const std::uint32_t symbol = e->value;
                if (symbol < 16) {
                    r.drop(need);
                    d->codeLengths[d->nextLengthIndex++] = static_cast<std::uint8_t>(symbol);
                    d->previousLength = symbol;
                    continue;
                }
                const unsigned extra = symbol == 16 ? 2 : (symbol == 17 ? 3 : 7);
                if (need + extra > r.count)
                    goto out;
                const std::uint32_t repeat =
                    (symbol == 16 ? 3 : (symbol == 17 ? 3 : 11)) + ((r.bits >> need) & ((1u << extra) - 1));
                r.drop(need + extra);
                // A repeat with no length before it repeats nothing.
                if ((symbol == 16 && d->nextLengthIndex == 0) || d->nextLengthIndex + repeat > total) {
                    fail(QELInflate_BadData);
                    break;
                }
                const std::uint32_t value = symbol == 16 ? d->previousLength : 0;
                std::memset(d->codeLengths + d->nextLengthIndex, static_cast<int>(value), repeat);
                d->nextLengthIndex += repeat;
                d->previousLength = value;
            }
            if (error != 0)
                break;
            qelHuffmanFree(d->context, d->literalTable);
            d->literalTable = nullptr;
            d->literalBits = 0;
            std::int32_t literalBits = kLiteralLookupBits;
            std::int32_t distanceBits = kDistanceLookupBits;
            QELHuffEntry *literals = nullptr;
            QELHuffEntry *distances = nullptr;
            const std::int32_t lit =
                qelHuffmanBuild(d->context, d->codeLengths, static_cast<std::uint32_t>(d->literalCount), 257,
                                kLengthBase.data(), kLengthExtra.data(), &literals, &literalBits);
            const std::int32_t dist =
                lit != QELHuffman_Complete
                    ? QELHuffman_Failed
                    : qelHuffmanBuild(d->context, d->codeLengths + d->literalCount,
                                      static_cast<std::uint32_t>(d->distanceCount), 0, kDistanceBase.data(),
                                      kDistanceExtra.data(), &distances, &distanceBits);
            if (lit != QELHuffman_Complete || dist != QELHuffman_Complete) {
                qelHuffmanFree(d->context, literals);
                qelHuffmanFree(d->context, distances);
                fail(QELInflate_BadData);
                break;
            }
            d->literalTable = literals;
            d->literalBits = literalBits;
            d->distanceTable = distances;
            d->distanceBits = distanceBits;
            d->eightBitLiterals = std::count(d->codeLengths, d->codeLengths + 256, 8) >= 240 ? 1 : 0;
            d->mode = ModeCodes;
            d->subMode = CodesDecode;
            break;
        }
        case ModeCodes: {
            if (d->subMode == CodesCopy) {
                const std::uint32_t n =
                    std::min(d->pendingLength, static_cast<std::uint32_t>(d->windowEnd - r.out));
                copyFromHistory(d->windowStart, r.out, d->pendingDistance, n);
                r.out += n;
                d->pendingLength -= n;
                if (d->pendingLength != 0) {
                    stop = Stop::Window;
                    goto out;
                }
                d->subMode = CodesDecode;
            }
            const std::int32_t fast = decodeFast(d, r);
            if (fast < 0) {
                fail(fast);
                break;
            }
            if (fast == 1) {
                freeBlockTables(d);
                d->mode = ModeHeader;
                break;
            }
            if (fast == 2) {
                stop = Stop::Window;
                goto out;
            }
            // One item the slow way, then back to the fast loop.
            r.pull();
            unsigned need = 0;
            const QELHuffEntry *e = lookup(d->literalTable, d->literalBits, r, 0, &need);
            if (need > r.count)
                goto out;
            if (e->op == QELHuffOp_Literal) {
                if (r.out == d->windowEnd) {
                    stop = Stop::Window;
                    goto out;
                }
                *r.out++ = static_cast<std::uint8_t>(e->value);
                r.drop(need);
                break;
            }
            if (e->op == QELHuffOp_EndOfBlock) {
                r.drop(need);
                freeBlockTables(d);
                d->mode = ModeHeader;
                break;
            }
            if (e->op < 0 || e->op > 13) {
                fail(QELInflate_BadData);
                break;
            }
            const unsigned lengthEnd = need + static_cast<unsigned>(e->op);
            if (lengthEnd > r.count)
                goto out;
            const std::uint32_t length = e->value + static_cast<std::uint32_t>((r.bits >> need) & ((1u << e->op) - 1));
            unsigned dneed = 0;
            const QELHuffEntry *de = lookup(d->distanceTable, d->distanceBits, r, lengthEnd, &dneed);
            if (dneed > r.count)
                goto out;
            if (de->op < 0 || de->op > 13) {
                fail(QELInflate_BadData);
                break;
            }
            const unsigned distanceEnd = dneed + static_cast<unsigned>(de->op);
            if (distanceEnd > r.count)
                goto out;
            const std::uint32_t distance =
                de->value + static_cast<std::uint32_t>((r.bits >> dneed) & ((1u << de->op) - 1));
            r.drop(distanceEnd);
            const std::size_t history =
                d->windowFilled != 0 ? QELInflaterWindowSize : static_cast<std::size_t>(r.out - d->windowStart);
            if (distance > history) {
                fail(QELInflate_BadData);
                break;
            }
            d->pendingLength = length;
            d->pendingDistance = distance;
            d->subMode = CodesCopy;
            break;
        }
        case ModeEnd:
            // Padding bits of the last byte are not looked at (RFC 1951
            // gives them no meaning); whole bytes are input after the end.
            if (r.in != r.inEnd || r.count >= 8)
                fail(QELInflate_TrailingData);
            else
                stop = Stop::Done;
            break;
        default:
            fail(d->subMode);
            break;
        }
    }
out:
    d->input = r.in;
    d->inputLeft = static_cast<std::int32_t>(r.inEnd - r.in);
    d->bitBuffer = r.bits;
    d->bitCount = r.count;
    d->writePos = r.out;
    if (error != 0) {
        d->mode = ModeError;
        d->subMode = error;
    }
    return error;
}

} // namespace

std::int32_t qelHuffmanBuild(QELContext *context, const std::uint8_t *lengths, std::uint32_t count,
                             std::uint32_t simpleCount, const std::uint16_t *base, const std::uint8_t *extra,
                             QELHuffEntry **outTable, std::int32_t *inOutLookupBits)
{
    *outTable = nullptr;
    if (count > 320)
        return QELHuffman_Failed;
    std::array<std::uint32_t, kMaxCodeBits + 1> perLength{};
    for (std::uint32_t i = 0; i < count; ++i) {
        if (lengths[i] > kMaxCodeBits)
            return QELHuffman_Failed;
        ++perLength[lengths[i]];
    }
    unsigned shortest = 0;
    unsigned longest = 0;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        if (perLength[len] != 0) {
            if (shortest == 0)
                shortest = len;
            longest = len;
        }
    }
    if (longest == 0) {
        *inOutLookupBits = 0;
        return QELHuffman_Complete;
    }
    std::int64_t left = 1;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        left = left * 2 - perLength[len];
        if (left < 0)
            return QELHuffman_Failed;
    }
    const std::int32_t result = (left > 0 && longest != 1) ? QELHuffman_Incomplete : QELHuffman_Complete;

    const unsigned k = static_cast<unsigned>(
        std::clamp<std::int32_t>(*inOutLookupBits, static_cast<std::int32_t>(shortest), static_cast<std::int32_t>(longest)));
    const std::uint32_t rootSize = std::uint32_t{1} << k;

    // Canonical codes, bit-reversed since the stream sends them first bit
    // first into the low end of the buffer.
    std::array<std::uint32_t, kMaxCodeBits + 2> next{};
    std::uint32_t code = 0;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
        code = (code + perLength[len - 1] * (len > 1 ? 1u : 0u)) << 1;
        next[len] = code;
    }
    std::array<std::uint16_t, 320> reversed;
    for (std::uint32_t s = 0; s < count; ++s)
        reversed[s] = lengths[s] != 0 ? static_cast<std::uint16_t>(reverseBits(next[lengths[s]]++, lengths[s])) : 0;

    auto entryFor = [&](std::uint32_t symbol, unsigned bits) {
        QELHuffEntry e{};
        e.bits = static_cast<std::uint8_t>(bits);
        if (symbol < simpleCount) {
            e.op = (simpleCount == 257 && symbol == 256) ? QELHuffOp_EndOfBlock : QELHuffOp_Literal;
            e.value = static_cast<std::uint16_t>(symbol);
        } else if (extra[symbol - simpleCount] == QELHuffExtra_Invalid) {
            e.op = QELHuffOp_Invalid;
        } else {
            e.op = static_cast<std::int8_t>(extra[symbol - simpleCount]);
            e.value = base[symbol - simpleCount];
        }
        return e;
    };

    QELHuffEntry *root = allocTable(context, k);
    if (root == nullptr)
        return QELHuffman_Failed;
    QELHuffEntry *const rootEntries = root + 1;
    std::fill(rootEntries, rootEntries + rootSize, invalidEntry(k));

    // First level, and the width of each sub-table the longer codes need.
    std::array<std::uint8_t, std::size_t{1} << kMaxCodeBits> subBits;
    std::fill_n(subBits.begin(), rootSize, std::uint8_t{0});
    for (std::uint32_t s = 0; s < count; ++s) {
        const unsigned len = lengths[s];
        if (len == 0)
            continue;
        if (len <= k) {
            const QELHuffEntry e = entryFor(s, len);
            for (std::uint32_t i = reversed[s]; i < rootSize; i += std::uint32_t{1} << len)
                rootEntries[i] = e;
        } else {
            std::uint8_t &w = subBits[reversed[s] & (rootSize - 1)];
            w = static_cast<std::uint8_t>(std::max<unsigned>(w, len - k));
        }
    }
    QELHuffEntry *last = root;
    for (std::uint32_t prefix = 0; prefix < rootSize; ++prefix) {
        const unsigned n = subBits[prefix];
        if (n == 0)
            continue;
        QELHuffEntry *sub = allocTable(context, n);
        if (sub == nullptr) {
            qelHuffmanFree(context, root);
            return QELHuffman_Failed;
        }
        std::fill(sub + 1, sub + 1 + (std::size_t{1} << n), invalidEntry(n));
        last->link = sub;
        last = sub;
        QELHuffEntry link{};
        link.op = static_cast<std::int8_t>(-static_cast<int>(n));
        link.bits = static_cast<std::uint8_t>(k);
        link.link = sub;
        rootEntries[prefix] = link;
    }
    for (std::uint32_t s = 0; s < count; ++s) {
        const unsigned len = lengths[s];
        if (len <= k)
            continue;
        QELHuffEntry *sub = rootEntries[reversed[s] & (rootSize - 1)].link;
        const std::uint32_t size = std::uint32_t{1} << sub[0].bits;
        const QELHuffEntry e = entryFor(s, len - k);
        for (std::uint32_t i = reversed[s] >> k; i < size; i += std::uint32_t{1} << (len - k))
            sub[1 + i] = e;
    }
    // Pairs of short literals that the first-level index holds whole.
    for (std::uint32_t i = 0; i < rootSize; ++i) {
        QELHuffEntry &e = rootEntries[i];
        if (e.op != QELHuffOp_Literal)
            continue;
        e.literalCount = 1;
        e.literalBits = e.bits;
        e.literals = e.value;
        if (simpleCount != 257 || e.bits >= k)
            continue;
        const QELHuffEntry &second = rootEntries[i >> e.bits];
        if (second.op == QELHuffOp_Literal && second.bits <= k - e.bits) {
            e.literalCount = 2;
            e.literals = static_cast<std::uint16_t>(e.value | (second.value << 8));
            e.literalBits = static_cast<std::uint8_t>(e.bits + second.bits);
        }
    }
    *outTable = root;
    *inOutLookupBits = static_cast<std::int32_t>(k);
    return result;
}

void qelHuffmanFree(QELContext *context, QELHuffEntry *table)
{
    while (table != nullptr) {
        QELHuffEntry *next = table[0].link;
        qelSecureWipe(table, tableEntries(table[0].bits) * sizeof(QELHuffEntry));
        static_cast<void>(qelContextMemFree(context, table));   // a block we allocated ourselves
        table = next;
    }
}

std::int32_t qelHuffmanFixedTables(QELInflater *d)
{
    if (d->fixedLiteralTable != nullptr)
        return 0;
    std::array<std::uint8_t, 288> lengths{};
    std::fill(lengths.begin(), lengths.begin() + 144, 8);
    std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
    std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
    std::fill(lengths.begin() + 280, lengths.end(), 8);
    std::int32_t literalBits = kFixedLiteralLookupBits;
    QELHuffEntry *literals = nullptr;
    if (qelHuffmanBuild(d->context, lengths.data(), 288, 257, kLengthBase.data(), kLengthExtra.data(), &literals,
                        &literalBits) != QELHuffman_Complete) {
        qelHuffmanFree(d->context, literals);
        return -1;
    }
    std::fill(lengths.begin(), lengths.begin() + 30, 5);
    std::int32_t distanceBits = kFixedDistanceLookupBits;
    QELHuffEntry *distances = nullptr;
    // Thirty codes of five bits leave two unused: incomplete, and fine.
    if (qelHuffmanBuild(d->context, lengths.data(), 30, 0, kDistanceBase.data(), kDistanceExtra.data(), &distances,
                        &distanceBits) != QELHuffman_Incomplete) {
        qelHuffmanFree(d->context, literals);
        qelHuffmanFree(d->context, distances);
        return -1;
    }
    d->fixedLiteralTable = literals;
    d->fixedLiteralBits = literalBits;
    d->fixedDistanceTable = distances;
    d->fixedDistanceBits = distanceBits;
    return 0;
}

QELInflater *qelInflaterNew(QELContext *context)
{
    auto *window = static_cast<std::uint8_t *>(qelContextMemAlloc(context, QELInflaterWindowSize, QELMemFlag_Clear));
    if (window == nullptr)
        return nullptr;
    auto *d = static_cast<QELInflater *>(qelContextMemAlloc(context, sizeof(QELInflater), QELMemFlag_Clear));
    if (d == nullptr) {
        static_cast<void>(qelContextMemFree(context, window));
        return nullptr;
    }
    d->context = context;
    d->mode = ModeHeader;
    d->windowStart = window;
    d->windowEnd = window + QELInflaterWindowSize;
    d->windowSize = QELInflaterWindowSize;
    d->windowMask = QELInflaterWindowSize - 1;
    d->writePos = window;
    d->readPos = window;
    return d;
}

std::size_t qelInflaterWrite(QELInflater *d, const std::uint8_t *bytes, std::size_t length, std::int32_t *outStatus)
{
    std::int32_t status = 0;
    std::size_t taken = 0;
    if (d->mode == ModeError) {
        status = d->subMode;
    } else if (d->writePos != d->windowEnd) {
        const std::size_t offered = bytes != nullptr ? std::min<std::size_t>(length, INT32_MAX) : 0;
        d->input = bytes;
        d->inputLeft = static_cast<std::int32_t>(offered);
        status = runDecoder(d);
        taken = offered - static_cast<std::size_t>(d->inputLeft);
        d->input = nullptr;
        d->inputLeft = 0;
    }
    if (outStatus != nullptr)
        *outStatus = status;
    return taken;
}

const std::uint8_t *qelInflaterPeek(const QELInflater *d, std::size_t *outLength)
{
    const std::size_t n = static_cast<std::size_t>(d->writePos - d->readPos);
    *outLength = n;
    return n != 0 ? d->readPos : nullptr;
}

void qelInflaterConsume(QELInflater *d, std::size_t n)
{
    d->readPos += std::min(n, static_cast<std::size_t>(d->writePos - d->readPos));
    if (d->readPos != d->windowEnd)
        return;
    d->readPos = d->windowStart;
    d->writePos = d->windowStart;
    d->windowFilled = 1;
    if (d->mode != ModeError) {
        d->input = nullptr;
        d->inputLeft = 0;
        static_cast<void>(runDecoder(d));   // an error stays in the record for the next call
    }
}

std::int32_t qelInflaterFinish(const QELInflater *d)
{
    if (d->mode == ModeEnd)
        return 0;
    if (d->mode == ModeError)
        return d->subMode;
    return QELInflate_NotFinished;
}

void qelInflaterFree(QELInflater *d)
{
    if (d == nullptr)
        return;
    QELContext *context = d->context;
    freeBlockTables(d);
    qelHuffmanFree(context, d->fixedLiteralTable);
    qelHuffmanFree(context, d->fixedDistanceTable);
    std::uint8_t *window = d->windowStart;
    qelSecureWipe(window, QELInflaterWindowSize);
    qelSecureWipe(d, sizeof *d);
    static_cast<void>(qelContextMemFree(context, window));
    static_cast<void>(qelContextMemFree(context, d));
}
