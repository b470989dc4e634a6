// I/O objects driven by an operation sequence. Mode 0: a memory object
// (growable, or over a fixed buffer) against a plain byte-vector model:
// writes, reads, seeks, sizes and positions must agree after every step.
// Mode 1: the line-end converter over a memory object, fed in chunks; its
// output must be the input with every CR, LF and CR LF made the chosen end.
#include "qelFuzzSupport.h"

#include "qelIOInternal.h"
#include "qelMemoryInternal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

std::vector<std::uint8_t> contents(QELIO *io)
{
    std::int64_t size = 0;
    qelfuzz::check(qelIOGetSize(io, &size) == QELError_NoErr, "GetSize failed");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    qelfuzz::check(qelIOSetPos(io, 0) == QELError_NoErr, "SetPos 0 failed");
    std::uint32_t got = 0;
    if (size > 0)
        qelfuzz::check(qelIORead(io, static_cast<std::uint32_t>(size), bytes.data(), &got) == QELError_NoErr &&
                           got == size,
                       "reading the whole content failed");
    return bytes;
}

void memoryOps(qelfuzz::Input &in)
{
    const bool fixed = in.u8() & 1;
    std::vector<std::uint8_t> storage(fixed ? 1 + in.u8() * 4 : 0);
    QELIO *io = nullptr;
    const QELStatus made = fixed ? qelMemoryIONewOverBuffer(qelfuzz::heapMgr(), storage.data(),
                                                           static_cast<std::uint32_t>(storage.size()), &io)
                                 : qelMemoryIONew(qelfuzz::heapMgr(), &io);
    qelfuzz::check(made == QELError_NoErr, "memory object not made");
    // A caller's buffer is the object's content from the start.
    for (std::size_t i = 0; i < storage.size(); ++i)
        storage[i] = static_cast<std::uint8_t>(i * 7);
    std::vector<std::uint8_t> model = storage;
    std::int64_t pos = 0;
    for (int step = 0; step < 200 && in.remaining() > 0; ++step) {
        const std::uint8_t op = in.u8();
        switch (op % 5) {
        case 0: { // write
            std::vector<std::uint8_t> bytes = in.bytes(in.u8());
            if (bytes.empty())
                break;
            const QELStatus s = qelIOWrite(io, static_cast<std::uint32_t>(bytes.size()), bytes.data());
            const std::size_t end = static_cast<std::size_t>(pos) + bytes.size();
            if ((fixed && end > storage.size()) || end > UINT32_MAX) {
                qelfuzz::check(s != QELError_NoErr, "a write past the buffer's reach was taken");
                break;
            }
            qelfuzz::check(s == QELError_NoErr, "a write failed");
            if (model.size() < end)
                model.resize(end, 0);
            std::copy(bytes.begin(), bytes.end(), model.begin() + pos);
            pos = static_cast<std::int64_t>(end);
            break;
        }
        case 1: { // read
            const std::uint32_t count = in.u8();
            std::vector<std::uint8_t> buffer(count + 1, 0xEE);
            std::uint32_t got = 12345;
            const QELStatus s = qelIORead(io, count, buffer.data(), &got);
            const std::size_t available =
                static_cast<std::size_t>(pos) < model.size() ? model.size() - static_cast<std::size_t>(pos) : 0;
            const std::uint32_t expected = static_cast<std::uint32_t>(std::min<std::size_t>(available, count));
            qelfuzz::check(got == expected, "read count differs");
            qelfuzz::check(got == 0 || std::equal(buffer.begin(), buffer.begin() + got, model.begin() + pos),
                           "read bytes differ");
            qelfuzz::check(buffer[count] == 0xEE, "read past its count");
            if (count == 0 || expected == count) {
                qelfuzz::check(s == QELError_NoErr, "a full read failed");
                pos += got;
            } else {
                qelfuzz::check(s == QELError_EOF, "a short read is not EOF");
            }
            break;
        }
        case 2: { // seek, mostly near the content, sometimes far
            std::int64_t to = (op & 0x80) ? static_cast<std::int64_t>(in.u32()) << (op & 0x40 ? 4 : 0)
                                          : static_cast<std::int64_t>(in.u8()) * 3;
            if (op & 0x20)
                to = -to - 1;
            if (!fixed && to > (1 << 20) && to <= UINT32_MAX)
                to += UINT32_MAX; // far seeks of a growable buffer go past its 32-bit reach
            const QELStatus s = qelIOSetPos(io, to);
            if (to < 0) {
                qelfuzz::check(s != QELError_NoErr, "a negative position was taken");
            } else if (s == QELError_NoErr) {
                pos = to;
            }
            break;
        }
        case 3: {
            std::int64_t p = -1, size = -1;
            qelfuzz::check(qelIOGetPos(io, &p) == QELError_NoErr && p == pos, "position differs");
            qelfuzz::check(qelIOGetSize(io, &size) == QELError_NoErr && size == static_cast<std::int64_t>(model.size()),
                           "size differs");
            qelfuzz::check(qelIOAtEnd(io) == (pos >= static_cast<std::int64_t>(model.size())), "AtEnd differs");
            break;
        }
        default:
            qelfuzz::check(qelIOFlush(io) == QELError_NoErr, "flush failed");
            break;
        }
    }
    qelfuzz::check(contents(io) == model, "content differs");
    qelfuzz::check(qelIOFree(io) == QELError_NoErr, "free failed");
}

void lineEnds(qelfuzz::Input &in)
{
    const std::uint32_t mode = in.u8() % 3;
    QELIO *sink = nullptr;
    qelfuzz::check(qelMemoryIONew(qelfuzz::heapMgr(), &sink) == QELError_NoErr, "memory object not made");
    QELIO *converter = nullptr;
    qelfuzz::check(qelLineEndIONew(sink, 0, mode, &converter) == QELError_NoErr, "converter not made");
    std::vector<std::uint8_t> expected;
    bool lastWasCR = false;
    const char *const ends[] = {"\r", "\n", "\r\n"};
    while (in.remaining() > 0) {
        // Chunk lengths from the input, large ones now and then so that the
        // converter's own buffer fills and drains.
        const std::uint8_t len = in.u8();
        std::vector<std::uint8_t> chunk = in.bytes(len & 0x80 ? (len & 0x7F) * 97u : len);
        for (std::uint8_t b : chunk) {
            if (b == '\r' || (b == '\n' && !lastWasCR))
                expected.insert(expected.end(), ends[mode], ends[mode] + std::strlen(ends[mode]));
            else if (b != '\n')
                expected.push_back(b);
            lastWasCR = b == '\r';
        }
        if (!chunk.empty())
            qelfuzz::check(qelIOWrite(converter, static_cast<std::uint32_t>(chunk.size()), chunk.data()) ==
                               QELError_NoErr,
                           "converter write failed");
        if (len == 0x80)
            qelfuzz::check(qelIOFlush(converter) == QELError_NoErr, "converter flush failed");
    }
    std::uint8_t probe = 0;
    std::uint32_t got = 1;
    qelfuzz::check(qelIORead(converter, 1, &probe, &got) != QELError_NoErr && got == 0,
                   "the write-only converter read");
    qelfuzz::check(qelIOFree(converter) == QELError_NoErr, "converter free failed");
    qelfuzz::check(contents(sink) == expected, "converted output differs");
    qelfuzz::check(qelIOFree(sink) == QELError_NoErr, "free failed");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::Input in(data, size);
    if (in.u8() & 1)
        lineEnds(in);
    else
        memoryOps(in);
    return 0;
}
