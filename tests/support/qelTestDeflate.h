// Raw-deflate helpers shared by the decoder's tests, fuzz target and
// benchmark: zlib as the compressor and as the reference decoder, and a
// driver that runs the SDK's decoder the way the Inflation Module does.
#pragma once

#include "qelInflaterInternal.h"

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qeltest {

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

// zlib's verdict on a raw-deflate stream: accepted when inflate reaches the
// end of the stream with no input left over.
inline InflateOutcome zlibInflateRaw(const std::uint8_t *data, std::size_t size)
{
    InflateOutcome result;
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
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
