// Raw-deflate helpers shared by the decoder's tests, fuzz target and
// benchmark: zlib as the compressor and as the reference decoder, and a
// driver that runs the SDK's decoder the way the Inflation Module does.
#pragma once

#include "qelInflaterInternal.h"

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qeltest {

// ---- inputs: text, random, structured binary and a mix --------------------

inline std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> out(n);
    for (auto &b : out)
        b = static_cast<std::uint8_t>(rng());
    return out;
}

inline std::vector<std::uint8_t> textBytes(std::size_t n, std::uint32_t seed)
{
    static const char *const words[] = {"the ",     "decoder ", "window ", "of ",     "stream ", "and ",
                                        "bits\n",   "literal ", "match ",  "Huffman ", "table, ", "block. ",
                                        "distance ", "a ",      "length ", "code "};
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> out;
    while (out.size() < n) {
        const char *w = words[rng() % 16];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
    }
    out.resize(n);
    return out;
}

// Long runs, short periodic patterns and long-distance repeats.
inline std::vector<std::uint8_t> structuredBytes(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> out;
    while (out.size() < n) {
        switch (rng() % 4) {
        case 0:
            out.insert(out.end(), 1 + rng() % 600, static_cast<std::uint8_t>(rng()));
            break;
        case 1: {
            const std::size_t period = 2 + rng() % 7;
            const std::size_t start = out.size();
            for (std::size_t i = 0; i < period; ++i)
                out.push_back(static_cast<std::uint8_t>(rng()));
            for (std::size_t i = 0; i < 40 + rng() % 300; ++i)
                out.push_back(out[start + i % period]);
            break;
        }
        case 2:
            // Little-endian counters, as binary tables hold them.
            for (std::uint32_t i = 0, v = rng(); i < 64; ++i, v += 3)
                for (int k = 0; k < 4; ++k)
                    out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
            break;
        default:
            if (out.size() > 33000) {
                // A copy from near the far end of a 32 KiB window.
                const std::size_t from = out.size() - 32768 + rng() % 64;
                for (std::size_t i = 0; i < 300; ++i)
                    out.push_back(out[from + i]);
            } else {
                for (int i = 0; i < 100; ++i)
                    out.push_back(static_cast<std::uint8_t>(rng()));
            }
        }
    }
    out.resize(n);
    return out;
}

inline std::vector<std::uint8_t> mixedBytes(std::size_t n, std::uint32_t seed)
{
    std::vector<std::uint8_t> out = textBytes(n / 3, seed);
    const std::vector<std::uint8_t> r = randomBytes(n / 6, seed + 1);
    const std::vector<std::uint8_t> s = structuredBytes(n - out.size() - r.size(), seed + 2);
    out.insert(out.end(), r.begin(), r.end());
    out.insert(out.end(), s.begin(), s.end());
    return out;
}


// zlib's raw deflate (windowBits -8..-15) of data.
inline std::vector<std::uint8_t> zlibDeflateRaw(const std::vector<std::uint8_t> &data, int level, int windowBits,
                                                int strategy = Z_DEFAULT_STRATEGY, int memLevel = 8)
{
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, windowBits, memLevel, strategy) != Z_OK)
        return {};
    std::vector<std::uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())) + 64);
    z.next_in = const_cast<Bytef *>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : std::vector<std::uint8_t>{};
}

struct InflateOutcome {
    bool accepted = false;           // the whole input is one complete stream
    std::int32_t status = 0;         // ours: the decoder's error, or the finish result
    std::vector<std::uint8_t> output;
};

// zlib's verdict on a raw-deflate stream (or, with windowBits 8 to 15, a
// zlib stream): accepted when inflate reaches the end of the stream with no
// input left over.
inline InflateOutcome zlibInflateRaw(const std::uint8_t *data, std::size_t size, int windowBits = -15)
{
    InflateOutcome result;
    z_stream z{};
    if (inflateInit2(&z, windowBits) != Z_OK)
        return result;
    z.next_in = const_cast<Bytef *>(data);
    z.avail_in = static_cast<uInt>(size);
    std::uint8_t buffer[16384];
    int rc = Z_OK;
    do {
        z.next_out = buffer;
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        result.output.insert(result.output.end(), buffer, buffer + (sizeof buffer - z.avail_out));
    } while (rc == Z_OK && (z.avail_out == 0 || z.avail_in != 0));
    result.accepted = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return result;
}

// Drains the decoder the way the Inflation Module does: peek, take, consume
// (taking at most `take` bytes at a time).
inline void drainInflater(QELInflater *d, std::vector<std::uint8_t> &out, std::size_t take)
{
    for (;;) {
        std::size_t n = 0;
        const std::uint8_t *p = qelInflaterPeek(d, &n);
        if (p == nullptr)
            return;
        n = std::min(n, take);
        out.insert(out.end(), p, p + n);
        qelInflaterConsume(d, n);
    }
}

// Runs the SDK's decoder over data fed in pieces of `piece` bytes, the
// consumer taking at most `take` bytes at a time.
inline InflateOutcome oursInflateRaw(QELContext *context, const std::uint8_t *data, std::size_t size,
                                     std::size_t piece = SIZE_MAX, std::size_t take = SIZE_MAX)
{
    InflateOutcome result;
    QELInflater *d = qelInflaterNew(context);
    if (d == nullptr) {
        result.status = QELInflate_NoMemory;
        return result;
    }
    std::int32_t status = 0;
    for (std::size_t off = 0; off < size && status == 0;) {
        const std::size_t n = std::min(piece, size - off);
        std::size_t done = 0;
        while (done < n && status == 0) {
            const std::size_t taken = qelInflaterWrite(d, data + off + done, n - done, &status);
            done += taken;
            const std::size_t before = result.output.size();
            drainInflater(d, result.output, take);
            if (status == 0 && taken == 0 && result.output.size() == before) {
                status = 1;   // no progress: a fault of the decoder, never a verdict
                break;
            }
        }
        off += n;
    }
    if (status == 0)
        drainInflater(d, result.output, take);
    result.status = status != 0 ? status : qelInflaterFinish(d);
    result.accepted = result.status == 0;
    qelInflaterFree(d);
    return result;
}

} // namespace qeltest
