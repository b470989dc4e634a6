// The SDK's own raw-deflate (RFC 1951) decoder. It is resumable: fed
// compressed bytes in pieces of any size, it decodes as far as its input and
// its output window allow and keeps every partial state between calls. Its
// output goes into a 32 KiB circular window that also holds the history
// matches copy from; the consumer reads the window in place.
#pragma once

#include <cstddef>
#include <cstdint>

struct QELContext;

// One entry of a decoding table. A table is one block of 2^k + 1 entries:
// entry 0 is the header (bits holds k, link the next block built for the same
// code, so a whole code's tables are freed as one chain); entries 1 to 2^k are
// indexed by the next k input bits.
struct QELHuffEntry {
    // QELHuffOp_Literal, QELHuffOp_EndOfBlock, 0..13 (a length or distance
    // base in value with that many extra bits), -n (continue in the sub-table
    // at link, indexed by the next n bits) or QELHuffOp_Invalid.
    std::int8_t op;
    std::uint8_t bits;     // input bits the code takes at this level
    std::uint16_t value;   // literal byte or base
    // For the fast loop, first-level literal entries carry how many literals
    // the entry's bits decode at once (1 or 2), their bits together, and the
    // literals as the two bytes to store (the second 0 when there is one);
    // 0 everywhere else.
    std::uint8_t literalCount;
    std::uint8_t literalBits;
    std::uint16_t literals;
    QELHuffEntry *link;    // sub-table (op -n), or the next block (header)
};
static_assert(sizeof(QELHuffEntry) == 16);

constexpr std::int8_t QELHuffOp_Literal = 16;
constexpr std::int8_t QELHuffOp_EndOfBlock = 32;
constexpr std::int8_t QELHuffOp_Invalid = -128;

// Results of qelHuffmanBuild.
constexpr std::int32_t QELHuffman_Complete = 0;
constexpr std::int32_t QELHuffman_Incomplete = 1;
constexpr std::int32_t QELHuffman_Failed = 2;   // over-subscribed, or out of memory

// The decoder's own errors (the Inflation Module reports each as
// QELError_DecompressionFailed).
constexpr std::int32_t QELInflate_NoMemory = -1;     // the fixed tables could not be built
constexpr std::int32_t QELInflate_BadData = -2;      // the stream breaks RFC 1951
constexpr std::int32_t QELInflate_NotFinished = -3;  // from qelInflaterFinish: the final block has not ended
constexpr std::int32_t QELInflate_TrailingData = -4; // input after the end of the final block

constexpr std::uint32_t QELInflaterWindowSize = 32768;

struct QELInflater {
    QELContext *context;       // all memory of the decoder comes from it
    std::int32_t mode;         // 0 to 8, see qelInflater.cpp
    std::int32_t subMode;      // resume point within modes 4 to 6; the error in mode 8
    std::int32_t lastBlock;    // 1 once the header of the final block was read
    QELHuffEntry *fixedLiteralTable;
    QELHuffEntry *fixedDistanceTable;
    std::int32_t fixedLiteralBits;   // 7
    std::int32_t fixedDistanceBits;  // 5
    std::uint8_t *windowStart;
    std::uint8_t *windowEnd;         // windowStart + windowSize
    std::uint32_t windowSize;        // 32768
    std::uint32_t windowMask;        // 32767
    std::uint8_t *writePos;          // where the next decoded byte goes
    std::uint8_t *readPos;           // first decoded byte the consumer has not taken
    const std::uint8_t *input;       // the current call's remaining input
    std::int32_t inputLeft;
    // Input bits not yet used, least significant first. 64 bits wide so the
    // fast loop refills with one load per code.
    std::uint64_t bitBuffer;
    std::uint32_t bitCount;
    QELHuffEntry *literalTable;      // current literal/length table (or the code-length table)
    std::int32_t literalBits;
    QELHuffEntry *distanceTable;
    std::int32_t distanceBits;
    std::uint8_t codeLengths[320];   // literal/length then distance lengths of a dynamic block
    std::int32_t codeLengthCount;    // HCLEN + 4
    std::int32_t literalCount;       // HLIT + 257
    std::int32_t distanceCount;      // HDIST + 1
    std::uint32_t pendingLength;     // stored-block bytes left; match bytes left to copy
    std::uint32_t pendingDistance;   // distance of the match being copied
    std::uint32_t previousLength;    // in mode 5, the last code length (for code 16)
    std::uint32_t nextLengthIndex;   // in mode 5
    // 1 once the window has been filled and emptied at least once: from then
    // on it holds 32768 bytes of history, before that only what lies between
    // its start and the write position.
    std::int32_t windowFilled;
    // 1 while the current block codes nearly every literal in 8 bits (data
    // that did not compress), which the fast loop decodes its own way.
    std::int32_t eightBitLiterals;
};

// A decoder with its zero-filled window, or null when memory failed.
QELInflater *qelInflaterNew(QELContext *context);
// Decodes from bytes (at most 2^31 - 1 per call) and returns how many were
// taken. Status 0 with fewer taken than offered: the window is full, take
// output and call again with the rest. A negative status is the decoder's
// error, stored: every later call takes nothing and returns it again.
std::size_t qelInflaterWrite(QELInflater *decoder, const std::uint8_t *bytes, std::size_t length,
                             std::int32_t *outStatus);
// The decoded bytes the consumer has not taken (one contiguous run), or null
// with length 0.
const std::uint8_t *qelInflaterPeek(const QELInflater *decoder, std::size_t *outLength);
// Marks n bytes of output as taken. When the window is emptied to its end the
// decoder starts over at its start and decodes what it was holding back; an
// error of that run is kept and reported by the next call.
void qelInflaterConsume(QELInflater *decoder, std::size_t n);
// 0 once the final block has ended, the stored error, or QELInflate_NotFinished.
std::int32_t qelInflaterFinish(const QELInflater *decoder);
void qelInflaterFree(QELInflater *decoder);

// Builds the decoding table of a canonical Huffman code from its code lengths.
// Symbols below simpleCount are literals (symbol 256 ends the block when
// simpleCount is 257); the others take their base and number of extra bits
// from base and extra (QELHuffExtra_Invalid marks a symbol that must not
// occur). *inOutLookupBits is the first-level width asked for; it comes back
// lowered to the longest code and raised to the shortest. No lengths at all
// give no table, lookup bits 0 and QELHuffman_Complete. An incomplete code
// still gets its table (entries no code reaches are invalid); a code whose
// only length is 1 counts as complete.
constexpr std::uint8_t QELHuffExtra_Invalid = 0xFF;
std::int32_t qelHuffmanBuild(QELContext *context, const std::uint8_t *lengths, std::uint32_t count,
                             std::uint32_t simpleCount, const std::uint16_t *base, const std::uint8_t *extra,
                             QELHuffEntry **outTable, std::int32_t *inOutLookupBits);
// Frees a table chain built by qelHuffmanBuild, zeroing every block.
void qelHuffmanFree(QELContext *context, QELHuffEntry *table);
// Builds the fixed codes once per decoder: 0, or -1 when memory failed.
std::int32_t qelHuffmanFixedTables(QELInflater *decoder);
