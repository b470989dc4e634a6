// The raw-deflate decoder against zlib on outside bytes: the first byte picks
// the piece size the stream is fed in and how much output the consumer
// takes at a time, the rest is the stream. Both decoders must accept or
// refuse it alike; an accepted stream must decode to zlib's output, and a
// refused one must agree with zlib's output as far as both got.
#include "qelFuzzSupport.h"

#include "qelTestDeflate.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    qelfuzz::startOnce(true);
    QELContext *context = qelfuzz::sharedContext();
    const std::uint8_t options = data[0];
    static const std::size_t kPieces[] = {1, 2, 3, 7, 64, 500, 4096, SIZE_MAX};
    static const std::size_t kTakes[] = {1, 100, 32767, SIZE_MAX};
    const std::size_t piece = kPieces[options & 7];
    const std::size_t take = kTakes[(options >> 3) & 3];
    const std::uint8_t *stream = data + 1;
    const std::size_t length = size - 1;

    const auto theirs = qeltest::zlibInflateRaw(stream, length);
    const auto ours = qeltest::oursInflateRaw(context, stream, length, piece, take);
    qelfuzz::check(ours.status <= 0, "the decoder stopped making progress");
    qelfuzz::check(ours.accepted == theirs.accepted, "verdict differs from zlib");
    const std::size_t common = std::min(ours.output.size(), theirs.output.size());
    qelfuzz::check(std::equal(ours.output.begin(), ours.output.begin() + static_cast<std::ptrdiff_t>(common),
                              theirs.output.begin()),
                   "output differs from zlib");
    if (theirs.accepted)
        qelfuzz::check(ours.output.size() == theirs.output.size(), "output length differs from zlib");
    return 0;
}
