// Packet headers, signature subpackets and user attributes; the readers of
// key, signature and CRL packets. Everything that reads bytes from a ring
// goes through a bounded cursor, and every length is carried in 64 bits.
#include "qelKeyPacketInternal.h"

#include "qelFileObjectInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelMD5Internal.h"
#include "qelPkAlgInternal.h"
#include "qelSHA1Internal.h"
#include "qelSeams.h"
#include "qelSigSpecInternal.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using qel::ByteCursor;
using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

bool isOldFormat(u8 first) { return (first & 0xC0) == 0x80; }

// Octets of the public numbers at the start of key material; 0 for an
// unknown algorithm or malformed numbers.
std::size_t publicMaterialLength(u8 algorithm, const u8 *material, std::size_t length)
{
    std::int32_t r = qelPkAlgPublicDataLength(algorithm, material, length);
    return r > 0 ? std::size_t(r) : 0;
}

// Reads one MPI's bit count and checks its top octet against it.
// 0 ok; 1 top octet wrong; 2 value past the end; 3 count missing.
int readMPI(ByteCursor &c, u32 *outBits, std::span<const u8> *outValue)
{
    std::uint16_t bits = 0;
    if (!c.be16(bits))
        return 3;
    if (outBits)
        *outBits = bits;
    std::size_t n = (std::size_t(bits) + 7) / 8;
    if (bits != 0 && !c.empty()) {
        u8 top = *c.current();
        u32 topBits = ((bits - 1) % 8) + 1; // bits used in the top octet
        if ((top >> (topBits - 1)) != 1)
            return 1;
    }
    std::span<const u8> v;
    if (!c.bytes(n, v))
        return 2;
    if (outValue)
        *outValue = v;
    return 0;
}

using Subpacket = QELSubpacket;

bool nextSubpacket(ByteCursor &area, Subpacket &out) { return qelSubpacketNext(area, out); }

std::span<const u8> bodyOf(const u8 *packet, std::size_t length) { return qelPacketBody(packet, length); }

// The two areas of a version-4 signature body; false when they do not fit.
bool sigAreas(std::span<const u8> body, ByteCursor &hashed, ByteCursor &unhashed)
{
    QELSigView view;
    if (!qelSigViewOfBody(body, &view) || view.version < 4)
        return false;
    hashed = ByteCursor(view.hashedArea);
    unhashed = ByteCursor(view.unhashedArea);
    return true;
}

} // namespace

bool qelSubpacketNext(ByteCursor &area, QELSubpacket &out)
{
    u8 first = 0;
    if (area.remaining() < 2 || !area.u8(first))
        return false;
    u64 len = 0;
    if (first < 192) {
        len = first;
    } else if (first < 255) {
        u8 second = 0;
        if (!area.u8(second))
            return false;
        len = (u64(first - 192) << 8) + second + 192;
    } else {
        u32 v = 0;
        if (area.remaining() < 4 || !area.be32(v))
            return false;
        len = v;
    }
    if (len == 0 || area.empty() || len > area.remaining())
        return false;
    u8 type = 0;
    static_cast<void>(area.u8(type)); // present: len >= 1 and remaining checked
    std::span<const u8> data;
    if (!area.bytes(std::size_t(len - 1), data))
        return false;
    out.type = type & 0x7F;
    out.critical = (type & 0x80) != 0;
    out.data = data;
    return true;
}

bool qelSigViewOfBody(std::span<const u8> body, QELSigView *out)
{
    *out = QELSigView{};
    ByteCursor c(body);
    u8 version = 0;
    if (!c.u8(version))
        return false;
    out->version = version;
    out->body = body;
    if (version >= 4) {
        std::uint16_t hlen = 0, ulen = 0;
        ByteCursor hashed, unhashed;
        if (!c.skip(3) || !c.be16(hlen) || !c.sub(hlen, hashed) || !c.be16(ulen) || !c.sub(ulen, unhashed))
            return false;
        out->hashedArea = hashed.rest();
        out->unhashedArea = unhashed.rest();
        out->hashedPart = body.first(std::size_t(hlen) + 6);
        out->trailer = c.rest();
        return true;
    }
    // Versions 2 and 3: the hashed block follows its length octet.
    u8 h = 0;
    std::span<const u8> block;
    if (!c.u8(h) || !c.bytes(h, block))
        return false;
    out->hashedPart = block;
    out->trailer = c.rest();
    return true;
}

bool qelSigViewOf(const u8 *packet, std::size_t length, QELSigView *out)
{
    return qelSigViewOfBody(qelPacketBody(packet, length), out);
}

int qelPacketTag(u8 first)
{
    if ((first & 0x80) == 0)
        return -1;
    return isOldFormat(first) ? (first >> 2) & 0x0F : first & 0x3F;
}

// ---- headers --------------------------------------------------------------------

std::size_t qelPacketHeaderSize(const u8 *packet, std::size_t length)
{
    if (packet == nullptr || length == 0)
        return 0;
    u8 first = packet[0];
    if (isOldFormat(first)) {
        static constexpr std::size_t kSizes[4] = {2, 3, 5, 1};
        return kSizes[first & 3];
    }
    if (length < 2)
        return 2;
    u8 second = packet[1];
    return second < 192 ? 2 : second == 255 ? 6 : 3;
}

std::span<const u8> qelPacketBody(const u8 *packet, std::size_t length)
{
    if (packet == nullptr || length == 0)
        return {};
    std::size_t h = qelPacketHeaderSize(packet, length);
    if (h > length)
        return {};
    return {packet + h, length - h};
}

namespace {
// The old-format length type a body of n octets needs, never narrowed.
u8 oldLengthType(u8 first, u64 n)
{
    u8 type = first & 3;
    if (type == 3)
        return 3;
    if (n >= 65536)
        return 2;
    if (n >= 256 && type == 0)
        return 1;
    return type;
}
} // namespace

std::size_t qelPacketHeaderSizeFor(u8 first, u64 n)
{
    if (!isOldFormat(first))
        return n < 192 ? 2 : n < 8384 ? 3 : 6;
    static constexpr std::size_t kSizes[4] = {2, 3, 5, 0};
    return kSizes[oldLengthType(first, n)];
}

std::size_t qelPacketWriteHeader(u8 *out, u8 first, u64 n)
{
    if (!isOldFormat(first)) {
        out[0] = first;
        if (n > 8383) {
            out[1] = 255;
            out[2] = u8(n >> 24);
            out[3] = u8(n >> 16);
            out[4] = u8(n >> 8);
            out[5] = u8(n);
            return 6;
        }
        if (n >= 192) {
            out[1] = u8(((n - 192) >> 8) + 192);
            out[2] = u8((n - 192) & 0xFF);
            return 3;
        }
        out[1] = u8(n);
        return 2;
    }
    u8 type = oldLengthType(first, n);
    out[0] = u8((first & ~3u) | type);
    switch (type) {
    case 0: out[1] = u8(n); return 2;
    case 1: out[1] = u8(n >> 8); out[2] = u8(n); return 3;
    case 2:
        out[1] = u8(n >> 24); out[2] = u8(n >> 16); out[3] = u8(n >> 8); out[4] = u8(n);
        return 5;
    default: return 1;
    }
}

namespace {
// Reads count octets; 0, or the status of a short read: the end of the
// input (QELError_EOF) or a failure of the file (QELError_ReadFailed).
QELStatus readOctets(QELFileObject *file, u8 *out, std::size_t count)
{
    if (file->read(out, count, file) == count)
        return QELError_NoErr;
    bool atEnd = file->atEnd(file);
    if (file->lastError(file) != nullptr)
        file->clearError(file);
    return atEnd ? QELError_EOF : QELError_ReadFailed;
}

// Octets left after the current position, or UINT64_MAX when unknown.
u64 remainingInput(QELFileObject *file, std::int64_t inputEnd)
{
    std::int64_t pos = file->tell(file);
    if (inputEnd < 0 || pos < 0)
        return UINT64_MAX;
    return pos >= inputEnd ? 0 : u64(inputEnd - pos);
}
} // namespace

QELStatus qelPacketReadNewLength(QELFileObject *file, u64 *outLength, bool *outPartial)
{
    *outLength = 0;
    *outPartial = false;
    u8 o = 0;
    if (QELStatus s = readOctets(file, &o, 1); s != QELError_NoErr)
        return s;
    if (o < 192) {
        *outLength = o;
    } else if (o < 224) {
        u8 second = 0;
        if (QELStatus s = readOctets(file, &second, 1); s != QELError_NoErr)
            return s;
        *outLength = (u64(o - 192) << 8) + second + 192;
    } else if (o == 255) {
        u8 b[4] = {};
        if (QELStatus s = readOctets(file, b, 4); s != QELError_NoErr)
            return s;
        *outLength = (u64(b[0]) << 24) | (u64(b[1]) << 16) | (u64(b[2]) << 8) | b[3];
    } else {
        *outLength = u64(1) << (o & 0x1F);
        *outPartial = true;
    }
    return QELError_NoErr;
}

std::int64_t qelPacketInputEnd(QELFileObject *file)
{
    std::int64_t pos = file->tell(file);
    if (pos < 0 || file->seek(file, 0, QELFileSeek_End) != 0) {
        file->clearError(file);
        return -1;
    }
    std::int64_t end = file->tell(file);
    if (file->seek(file, pos, QELFileSeek_Start) != 0)
        return -1;
    return end;
}

int qelPacketReadHeader(QELFileObject *file, u64 *outTotal, u64 *outFirst, std::int64_t *outPos,
                        u64 maxBody, std::int64_t inputEnd)
{
    *outTotal = 0;
    *outFirst = 0;
    if (outPos != nullptr) {
        *outPos = file->tell(file);
        if (*outPos == -1)
            return QELError_FileOpFailed;
    }
    u8 first = 0;
    QELStatus r = readOctets(file, &first, 1);
    if (r != 0)
        return r == QELError_EOF ? 0 : r;
    if ((first & 0x80) == 0)
        return QELError_BadPacketFormat;
    if (isOldFormat(first)) {
        u8 type = first & 3;
        if (type == 3)
            return QELError_BadPacketFormat;
        u8 len[4] = {};
        std::size_t n = type == 0 ? 1 : type == 1 ? 2 : 4;
        QELStatus s = readOctets(file, len, n);
        if (s != 0)
            return s;
        u64 total = 0;
        for (std::size_t i = 0; i < n; ++i)
            total = (total << 8) | len[i];
        if (total > maxBody || total > remainingInput(file, inputEnd))
            return total > maxBody ? QELError_PacketTooLarge : QELError_BadPacketFormat;
        *outTotal = *outFirst = total;
        return first;
    }
    // New format: definite lengths end the header; partial chunks are summed
    // by seeking over them, then the file goes back to the first body octet.
    u64 total = 0, firstChunk = 0;
    bool partial = false;
    std::int64_t bodyStart = -1;
    for (;;) {
        u64 len = 0;
        bool partialChunk = false;
        QELStatus s = qelPacketReadNewLength(file, &len, &partialChunk);
        const bool last = !partialChunk;
        if (s != 0) {
            if (partial && bodyStart >= 0)
                static_cast<void>(file->seek(file, bodyStart, QELFileSeek_Start)); // best effort
            return s;
        }
        total += len; // at most a few 2^32 steps before the caps below stop it
        bool tooLarge = total > maxBody;
        bool pastEnd = len > remainingInput(file, inputEnd);
        if (tooLarge || pastEnd) {
            if (partial && bodyStart >= 0)
                static_cast<void>(file->seek(file, bodyStart, QELFileSeek_Start)); // best effort
            return tooLarge ? QELError_PacketTooLarge : QELError_BadPacketFormat;
        }
        if (last)
            break;
        if (!partial) {
            partial = true;
            bodyStart = file->tell(file);
            firstChunk = len;
            if (bodyStart < 0)
                return QELError_FileOpFailed;
        }
        s = file->seek(file, std::int64_t(len), QELFileSeek_Current);
        if (s != 0) {
            static_cast<void>(file->seek(file, bodyStart, QELFileSeek_Start)); // best effort
            return s;
        }
    }
    if (partial) {
        QELStatus s = file->seek(file, bodyStart, QELFileSeek_Start);
        if (s != 0)
            return s;
        *outFirst = firstChunk;
    } else {
        *outFirst = total;
    }
    *outTotal = total;
    return first;
}

u64 qelPacketReadBody(u8 *buffer, u64 total, u64 first, QELFileObject *file)
{
    if (total == first)
        return file->read(buffer, std::size_t(total), file);
    u64 done = 0;
    u64 chunk = first;
    bool last = false;
    for (;;) {
        if (chunk > total - done)
            return done;
        std::size_t got = file->read(buffer + done, std::size_t(chunk), file);
        done += got;
        if (got != chunk || last)
            return done;
        bool partial = false;
        if (qelPacketReadNewLength(file, &chunk, &partial) != QELError_NoErr)
            return done;
        last = !partial;
    }
}

// ---- subpackets ----------------------------------------------------------------------

const u8 *qelSigSubpacketFind(const u8 *packet, std::size_t length, u32 type, u32 index,
                              u32 *outLength, u8 *outCritical, u8 *outFound, u32 *outCreation,
                              u32 *outCount)
{
    ByteCursor areas[2];
    if (!sigAreas(bodyOf(packet, length), areas[0], areas[1]))
        return nullptr;
    const u8 *result = nullptr;
    u32 matches = 0;
    for (int a = 0; a < 2; ++a) {
        ByteCursor &area = areas[a];
        while (!area.empty()) {
            Subpacket sp;
            if (!nextSubpacket(area, sp))
                return nullptr;
            if (sp.type == 2 && sp.data.size() >= 4 && outCreation != nullptr)
                *outCreation = (u32(sp.data[0]) << 24) | (u32(sp.data[1]) << 16) |
                               (u32(sp.data[2]) << 8) | sp.data[3];
            if (a == 0 && type < 256 && sp.type == (type & 0x7F)) {
                if (matches == index) {
                    result = sp.data.data();
                    if (outLength) *outLength = u32(sp.data.size());
                    if (outCritical) *outCritical = sp.critical ? 0x80 : 0;
                    if (outFound) *outFound = 1;
                }
                ++matches;
            }
        }
    }
    if (outCount)
        *outCount = matches;
    return result;
}

const u8 *qelSigPrivateSubpacketFind(const u8 *packet, std::size_t length, u8 value, u32 index,
                                     u32 *outLength, u8 *outCritical, u8 *outFound,
                                     u32 *outCreation, u32 *outCount)
{
    u32 seen = 0;
    for (u32 i = 0;; ++i) {
        u32 len = 0;
        const u8 *data =
            qelSigSubpacketFind(packet, length, 100, i, &len, outCritical, outFound, outCreation,
                                outCount);
        if (data == nullptr)
            return nullptr;
        if (len == 0 || data[0] != value)
            continue;
        if (seen++ == index) {
            if (outLength) *outLength = len;
            return data;
        }
    }
}

namespace {

u32 be32Of(std::span<const u8> d)
{
    return (u32(d[0]) << 24) | (u32(d[1]) << 16) | (u32(d[2]) << 8) | d[3];
}

// Hands one subpacket to the specification's setter for its type.
QELStatus setFromSubpacket(QELSigSpec *spec, const Subpacket &sp, u32 flags)
{
    const std::span<const u8> d = sp.data;
    switch (sp.type) {
    case 2: return qelSigSpecSetCreation(spec, be32Of(d));
    case 3: return qelSigSpecSetSigExpiration(spec, flags, be32Of(d));
    case 4: return qelSigSpecSetExportable(spec, flags, d[0] != 0 ? 1 : 0);
    case 5: return qelSigSpecSetTrust(spec, flags, d[0], d[1]);
    case 6: {
        // The stored text ends at its NUL (one is added when missing).
        const auto end = std::find(d.begin(), d.end(), u8(0));
        const std::string text(d.begin(), end);
        return qelSigSpecSetRegExp(spec, flags, text.c_str());
    }
    case 7: return qelSigSpecSetRevocable(spec, flags, d[0]);
    case 9: return qelSigSpecSetKeyExpiration(spec, flags, be32Of(d));
    case 10: return qelSigSpecAddAdditionalKey(spec, flags, d.data(), d.size());
    case 11: return qelSigSpecSetPrefSymmetric(spec, flags, d.data(), d.size());
    case 12: return qelSigSpecAddRevocationKey(spec, flags, d.data(), d.size());
    case 16: return QELError_NoErr; // the builder writes the signer's own
    case 22: return qelSigSpecSetPrefCompression(spec, flags, d.data(), d.size());
    case 23: return qelSigSpecSetKeyServerPrefs(spec, flags, d.data(), d.size());
    case 24: return qelSigSpecSetPrefKeyServer(spec, flags, d.data(), d.size());
    case 25: return qelSigSpecSetPrimaryUserID(spec, flags, !d.empty() && d[0] != 0 ? 1 : 0);
    case 27: return qelSigSpecSetKeyFlags(spec, flags, d.data(), d.size());
    default: {
        std::vector<u8> raw(d.size() + 1);
        raw[0] = sp.type;
        std::copy(d.begin(), d.end(), raw.begin() + 1);
        return qelSigSpecAddRawSubpacket(spec, flags, raw.data(), raw.size());
    }
    }
}

} // namespace

QELStatus qelSigSpecFromSubpackets(QELSigSpec *spec, const u8 *packet, std::size_t length)
{
    if (spec == nullptr)
        return QELError_BadParams;
    ByteCursor areas[2];
    if (!sigAreas(bodyOf(packet, length), areas[0], areas[1]))
        return QELError_MalformedSubpacket;
    static constexpr struct { u8 type; u32 required; } kRequired[] = {
        {2, 5}, {3, 5}, {4, 2}, {5, 3}, {7, 2}, {9, 5}, {16, 9}};
    try {
        for (int a = 0; a < 2; ++a) {
            while (!areas[a].empty()) {
                Subpacket sp;
                if (!nextSubpacket(areas[a], sp) || (a == 1 && sp.critical))
                    return QELError_MalformedSubpacket;
                for (const auto &r : kRequired)
                    if (sp.type == r.type && sp.data.size() + 1 != r.required)
                        return QELError_MalformedSubpacket;
                const u32 flags = (a == 1 ? QELSigSpecFlag_Unhashed : 0) | (sp.critical ? QELSigSpecFlag_Critical : 0);
                if (QELStatus s = setFromSubpacket(spec, sp, flags); s != QELError_NoErr)
                    return s;
            }
        }
    } catch (...) {
        return QELError_OutOfMemory;
    }
    return QELError_NoErr;
}

namespace {
// Walks user attribute subpackets; returns the count, 0 when malformed, and
// the index-th subpacket through out when asked.
u32 walkAttributes(const u8 *packet, std::size_t length, u32 want, Subpacket *out)
{
    std::span<const u8> body = bodyOf(packet, length);
    if (body.size() < 2)
        return 0;
    ByteCursor c(body);
    u32 count = 0;
    while (!c.empty()) {
        Subpacket sp;
        if (!nextSubpacket(c, sp))
            return 0;
        if (out != nullptr && count == want) {
            *out = sp;
            out->type = sp.type | (sp.critical ? 0x80 : 0);
        }
        ++count;
    }
    return count;
}
} // namespace

u32 qelUserAttributeCount(const u8 *packet, std::size_t length)
{
    return walkAttributes(packet, length, 0, nullptr);
}

const u8 *qelUserAttributeGet(const u8 *packet, std::size_t length, u32 index, u8 *outType,
                              u32 *outLength)
{
    Subpacket sp{};
    u32 count = walkAttributes(packet, length, index, &sp);
    if (index >= count)
        return nullptr;
    if (outType) *outType = sp.type;
    if (outLength) *outLength = u32(sp.data.size());
    return sp.data.data();
}

// ---- signature packets ------------------------------------------------------------------

namespace {

QELStatus parseV4(std::span<const u8> body, u32 want, QELSigPacketInfo *o)
{
    o->version = 4;
    if (body.size() < 8)
        return QELError_SigPacketTooShort;
    o->type = body[1];
    o->algorithm = body[2];
    o->hashAlgorithm = body[3];
    o->hashedLength = (u64(body[4]) << 8) | body[5];
    QELSigView view;
    if (!qelSigViewOfBody(body, &view))
        return QELError_SigPacketTooShort;
    ByteCursor hashed(view.hashedArea), unhashed(view.unhashedArea), c(view.trailer);
    if (!c.skip(2))
        return QELError_SigPacketTooShort;
    u32 bits = 0;
    // A bit count that does not fit the top octet is reported only after the
    // rest of the packet has been read, so that a reader can keep the packet.
    bool badMPI = false;
    switch (readMPI(c, &bits, nullptr)) {
    case 1:
        badMPI = true;
        if (!c.skip((std::size_t(bits) + 7) / 8))
            return QELError_SigPacketTooShort;
        break;
    case 2: case 3: return QELError_SigPacketTooShort;
    default: break;
    }
    if (o->algorithm >= 1 && o->algorithm <= 3 && !c.empty())
        return QELError_SigPacketLengthMismatch;

    bool issuer = false, exportableHashed = false;
    for (int a = 0; a < 2; ++a) {
        ByteCursor &area = a == 0 ? hashed : unhashed;
        bool isHashed = a == 0;
        while (!area.empty()) {
            Subpacket sp;
            if (!nextSubpacket(area, sp) || (!isHashed && sp.critical))
                return QELError_MalformedSubpacket;
            const auto &d = sp.data;
            auto be32 = [&d] {
                return (u32(d[0]) << 24) | (u32(d[1]) << 16) | (u32(d[2]) << 8) | d[3];
            };
            switch (sp.type) {
            case 2:
                if (d.size() != 4 || !isHashed || (sp.critical && !(want & QELSigWant_Creation)))
                    return QELError_MalformedSubpacket;
                o->creation = be32();
                break;
            case 3:
                if (d.size() != 4 || !isHashed ||
                    (sp.critical && !(want & QELSigWant_Expiration)))
                    return QELError_MalformedSubpacket;
                if (o->creation != 0)
                    o->expiration = be32();
                break;
            case 4:
                if (d.size() != 1 || (!isHashed && exportableHashed))
                    return QELError_MalformedSubpacket;
                o->exportable = d[0] != 0;
                exportableHashed = exportableHashed || isHashed;
                break;
            case 5:
                if (d.size() < 2 || !isHashed)
                    return QELError_MalformedSubpacket;
                o->trustLevel = d[0];
                o->trustAmount = d[1];
                break;
            case 6:
                if (!isHashed)
                    return QELError_MalformedSubpacket;
                o->hasRegExp = 1;
                break;
            case 7:
                if (d.size() != 1 || !isHashed)
                    return QELError_MalformedSubpacket;
                o->revocable = d[0];
                break;
            case 9: case 10: case 11: case 12: case 22: case 27:
                if (!isHashed)
                    return QELError_MalformedSubpacket;
                break;
            case 16:
                if (d.size() < 8 || (sp.critical && (d.size() != 8 || !(want & QELSigWant_KeyID))))
                    return QELError_MalformedSubpacket;
                std::memcpy(o->keyID, d.data() + d.size() - 8, 8);
                issuer = true;
                break;
            case 25:
                if (!isHashed)
                    return QELError_MalformedSubpacket;
                o->primaryUserID = !d.empty() && d[0] != 0;
                break;
            case 100:
                if (!isHashed)
                    return QELError_MalformedSubpacket;
                if ((want & QELSigWant_X509) && !d.empty() && d[0] == 1)
                    o->isX509 = 1;
                break;
            default:
                if (sp.critical)
                    return QELError_MalformedSubpacket;
                break;
            }
        }
    }
    if ((want & QELSigWant_KeyID) && !issuer && !o->isX509)
        return QELError_MalformedSubpacket;
    return badMPI ? QELError_SigPacketBadMPI : QELError_NoErr;
}

QELStatus parseV3(std::span<const u8> body, u32 want, QELSigPacketInfo *o)
{
    ByteCursor c(body);
    if (body.size() < 2)
        return QELError_SigPacketTooShort;
    u8 h = body[1];
    o->hashedLength = h;
    if (h != 0) {
        if (body.size() == 2)
            return QELError_SigPacketTooShort;
        o->type = body[2];
        if (h > 4 && (want & QELSigWant_Creation)) {
            if (body.size() < 7)
                return QELError_SigPacketTooShort;
            o->creation = (u32(body[3]) << 24) | (u32(body[4]) << 16) | (u32(body[5]) << 8) | body[6];
        }
    }
    if (h != 5 && !(want & QELSigWant_HashedLength))
        return QELError_SigPacketBadHashedLength;
    std::size_t n = body.size();
    // The key ID sits at octets 7 to 14 whatever h says; a short hashed
    // part must not let the copy run past the body.
    if (n < std::size_t(h) + 10 || n < 15)
        return QELError_SigPacketTooShort;
    std::memcpy(o->keyID, body.data() + 7, 8);
    if (n < std::size_t(h) + 11)
        return QELError_SigPacketTooShort;
    o->algorithm = body[h + 10];
    if (n < std::size_t(h) + 12)
        return QELError_SigPacketTooShort;
    o->hashAlgorithm = body[h + 11];
    if (n < std::size_t(h) + 16)
        return QELError_SigPacketTooShort;
    if (!c.skip(std::size_t(h) + 14))
        return QELError_SigPacketTooShort;
    u32 bits = 0;
    int r = readMPI(c, &bits, nullptr);
    // As for version 4: the rest is read before a bad bit count is reported.
    const bool badMPI = r == 1;
    if (badMPI)
        r = c.skip((std::size_t(bits) + 7) / 8) ? 0 : 2;
    const QELStatus mpiStatus = badMPI ? QELError_SigPacketBadMPI : QELError_NoErr;
    if (o->algorithm < 1 || o->algorithm > 3)
        return mpiStatus;
    if (r != 0)
        return QELError_SigPacketTooShort;
    return c.empty() ? mpiStatus : QELError_SigPacketLengthMismatch;
}

} // namespace

QELStatus qelSigPacketParse(const u8 *packet, std::size_t length, bool noHeader, u32 want,
                            QELSigPacketInfo *out)
{
    QELSigPacketInfo local;
    QELSigPacketInfo *o = out != nullptr ? out : &local;
    *o = QELSigPacketInfo{};
    std::span<const u8> body = noHeader ? std::span<const u8>(packet, packet ? length : 0)
                                        : bodyOf(packet, length);
    if (body.empty())
        return QELError_SigPacketTooShort;
    u8 version = body[0];
    if (version == 4)
        return parseV4(body, want, o);
    o->version = version;
    if (version != 2 && version != 3)
        return QELError_UnknownSigPacketVersion;
    return parseV3(body, want, o);
}

const u8 *qelSigPacketHashedPart(const u8 *packet, std::size_t length, std::size_t *outLength)
{
    *outLength = 0;
    QELSigView view;
    if (!qelSigViewOf(packet, length, &view) || view.version > 4)
        return nullptr;
    *outLength = view.hashedPart.size();
    return view.hashedPart.data();
}

// ---- key packets ---------------------------------------------------------------------------

void qelKeyFingerprintV4(const u8 *bytes, std::size_t length, u8 out[20])
{
    QELSHA1State s;
    qelSHA1Init(&s);
    u8 prefix[3] = {0x99, u8(length >> 8), u8(length)};
    qelSHA1Update(&s, prefix, 3);
    qelSHA1Update(&s, bytes, length);
    std::memcpy(out, qelSHA1Final(&s), 20);
}

std::size_t qelKeyPacketPublicLength(const u8 *packet, std::size_t length)
{
    std::span<const u8> body = bodyOf(packet, length);
    if (body.empty())
        return 0;
    std::size_t fixed = body[0] == 4 ? 6 : (body[0] == 2 || body[0] == 3) ? 8 : 0;
    if (fixed == 0 || body.size() < fixed)
        return 0;
    std::size_t m = publicMaterialLength(body[fixed - 1], body.data() + fixed, body.size() - fixed);
    if (m == 0)
        return 0;
    return std::size_t(body.data() - packet) + fixed + m;
}

const u8 *qelKeyPacketMaterial(const u8 *packet, std::size_t length, std::size_t *outLength)
{
    *outLength = 0;
    std::span<const u8> body = bodyOf(packet, length);
    if (body.empty())
        return nullptr;
    std::size_t fixed = body[0] == 4 ? 6 : (body[0] == 2 || body[0] == 3) ? 8 : 0;
    if (fixed == 0 || body.size() < fixed)
        return nullptr;
    *outLength = body.size() - fixed;
    return body.data() + fixed;
}

QELStatus qelKeyPacketParse(QELContext *, const u8 *packet, std::size_t length,
                            QELKeyPacketInfo *out, bool secret)
{
    QELKeyPacketInfo local;
    QELKeyPacketInfo *o = out != nullptr ? out : &local;
    *o = QELKeyPacketInfo{};
    std::span<const u8> body = bodyOf(packet, length);
    if (body.empty())
        return QELError_BadAlgorithmData;
    u8 version = body[0];
    o->version = version;
    if (version < 2 || version > 4)
        return QELError_UnknownKeyPacketVersion;
    bool old = version != 4;
    o->oldFormat = old;
    ByteCursor c(body);
    static_cast<void>(c.skip(1));
    u32 creation = 0;
    if (!c.be32(creation))
        return QELError_BadAlgorithmData;
    o->creation = creation;
    if (old) {
        std::uint16_t days = 0;
        if (!c.be16(days))
            return QELError_BadAlgorithmData;
        o->validityDays = days;
    }
    u8 alg = 0;
    if (!c.u8(alg))
        return QELError_BadAlgorithmData;
    o->algorithm = alg;
    std::span<const u8> material = c.rest();
    u32 bits = 0;
    std::span<const u8> n;
    int r = readMPI(c, &bits, &n);
    o->bits = std::uint16_t(bits);
    if (r == 1)
        return QELError_BadMPIBitCount;
    if (r != 0)
        return QELError_BadAlgorithmData;
    bool rsa = alg >= 1 && alg <= 3;
    if (rsa) {
        std::span<const u8> e;
        int r2 = readMPI(c, nullptr, &e);
        if (r2 == 1)
            return QELError_BadMPIBitCount2;
        if (r2 != 0)
            return QELError_BadAlgorithmData;
        if (n.empty() || (n.back() & 1) == 0)
            return QELError_BadMPIOddness;
        if (e.empty() || (e.back() & 1) == 0)
            return QELError_BadMPIOddness2;
        if (!secret && !c.empty())
            return QELError_KeyPacketTrailingData;
    } else if (c.remaining() < 2) {
        return QELError_BadAlgorithmData;
    }
    // The public part: all of a public packet; for a secret packet up to the
    // end of the algorithm's public numbers.
    std::size_t publicBody = body.size();
    std::size_t publicMaterial = material.size();
    if (secret || !rsa) {
        std::size_t m = publicMaterialLength(alg, material.data(), material.size());
        if (m == 0) {
            if (secret)
                return QELError_UnsupportedAlgorithm;
        } else {
            publicMaterial = m;
            if (secret)
                publicBody = std::size_t(material.data() - body.data()) + m;
        }
    }
    if (old) {
        std::size_t take = n.size() < 8 ? n.size() : 8;
        std::memcpy(o->keyID + 8 - take, n.data() + n.size() - take, take);
    } else {
        u8 fpr[20];
        qelKeyFingerprintV4(body.data(), publicBody, fpr);
        std::memcpy(o->keyID, fpr + 12, 8);
    }
    qelKeyFingerprintV4(material.data(), publicMaterial, o->materialDigest);
    return QELError_NoErr;
}

QELStatus qelKeyFingerprintV3(QELContext *context, const u8 *packet, std::size_t length,
                              u8 out[16])
{
    std::span<const u8> body = bodyOf(packet, length);
    if (!body.empty() && body[0] >= 2 && body[0] <= 4) {
        ByteCursor c(body);
        static_cast<void>(c.skip(body[0] == 4 ? 5 : 7));
        u8 alg = 0;
        std::span<const u8> n, e;
        if (c.u8(alg) && alg >= 1 && alg <= 3 && readMPI(c, nullptr, &n) == 0 &&
            readMPI(c, nullptr, &e) == 0) {
            QELMD5State s;
            qelMD5Init(&s);
            qelMD5Update(&s, n.data(), n.size());
            qelMD5Update(&s, e.data(), e.size());
            std::memcpy(out, qelMD5Final(&s), 16);
            qelSecureWipe(&s, sizeof s);
            return 16;
        }
    }
    std::memset(out, 0, 16);
    return qelKeyPacketParse(context, packet, length, nullptr, false);
}

// ---- CRL packets ---------------------------------------------------------------------------

const u8 *qelCRLPacketDER(const u8 *packet, std::size_t length, std::size_t *outLength)
{
    *outLength = 0;
    std::span<const u8> body = bodyOf(packet, length);
    if (body.size() < 2 || body[0] != 4)
        return nullptr;
    if (body[1] == 1) {
        *outLength = body.size() - 2;
        return body.data() + 2;
    }
    std::size_t dlen = 0;
    const u8 *dp = qelCRLPacketDistPoint(packet, length, &dlen);
    if (dp == nullptr)
        return nullptr;
    *outLength = body.size() - 6 - dlen;
    return body.data() + 6 + dlen;
}

const u8 *qelCRLPacketDistPoint(const u8 *packet, std::size_t length, std::size_t *outLength)
{
    *outLength = 0;
    std::span<const u8> body = bodyOf(packet, length);
    ByteCursor c(body);
    u8 version = 0, type = 0;
    u32 l = 0;
    std::span<const u8> dp;
    if (!c.u8(version) || version != 4 || !c.u8(type) || type != 2 || !c.be32(l) ||
        !c.bytes(l, dp))
        return nullptr;
    *outLength = dp.size();
    return dp.data();
}

QELStatus qelCRLPacketParse(QELContext *context, const u8 *packet, std::size_t length,
                            u8 *outVersion, u8 *outType, u32 *outThisUpdate, u32 *outNextUpdate,
                            const u8 **outDistPoint, std::size_t *outDistLength)
{
    qel::clearOut(outVersion);
    qel::clearOut(outType);
    qel::clearOut(outThisUpdate);
    qel::clearOut(outNextUpdate);
    qel::clearOut(outDistPoint);
    qel::clearOut(outDistLength);
    std::span<const u8> body = bodyOf(packet, length);
    if (body.size() < 2)
        return QELError_EmptyPacketBody;
    if (outVersion) *outVersion = body[0];
    if (outType) *outType = body[1];
    if (body[0] != 4)
        return QELError_NoErr;
    if (body[1] == 2) {
        std::size_t dlen = 0;
        const u8 *dp = qelCRLPacketDistPoint(packet, length, &dlen);
        // The inner length must fit the body: a packet claiming more is refused.
        if (dp == nullptr)
            return QELError_BadPacketFormat;
        if (outDistPoint) *outDistPoint = dp;
        if (outDistLength) *outDistLength = dlen;
    }
    std::size_t derLength = 0;
    const u8 *der = qelCRLPacketDER(packet, length, &derLength);
    if (der == nullptr)
        return QELError_BadPacketFormat;
    QELX509CRLTimes times{};
    QELStatus s = qelX509DecodeCRLTimes(context, der, derLength, &times);
    if (s != 0)
        return s;
    if (outThisUpdate) *outThisUpdate = times.thisUpdate;
    if (outNextUpdate) *outNextUpdate = times.nextUpdate;
    return QELError_NoErr;
}
