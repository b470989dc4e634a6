// The hand-written half of the ASN.1 codec: identifier and length octets,
// the primitive types with their decoders (BER in), encoders (DER out), sizes
// and releases, the setters and getters, and the default allocator.
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "asn1RuntimeInternal.h"
#include "asn1RuntimeDetail.h"
#include "qelHelpers.h"

using namespace qel::asn1::detail;
using qel::asn1::Check;

namespace qel::asn1::detail {

void fail(std::int32_t *err, std::int32_t code)
{
    *err = code;
    asn1ErrorHook(code);
}

std::int32_t readHeader(const std::uint8_t *p, std::uint64_t avail, Header &h, bool checkFit)
{
    qel::ByteCursor cur(p, avail);
    std::uint8_t first = 0;
    if (!cur.u8(h.id))
        return ASN1Error_Truncated;
    // The high-tag-number form is not supported: refuse it rather than
    // taking its next octet for a length.
    if ((h.id & 0x1F) == 0x1F)
        return ASN1Error_BadTag;
    if (!cur.u8(first))
        return ASN1Error_Truncated;
    h.indefinite = false;
    h.length = 0;
    if (first < 0x80) {
        h.length = first;
    } else if (first == 0x80) {
        h.indefinite = true;
    } else {
        const std::size_t k = first & 0x7F;
        if (k > 8)
            return ASN1Error_BadLength;
        if (!cur.beN(h.length, k))
            return ASN1Error_Truncated;
    }
    h.size = cur.offset();
    // Compared with what remains after the header, so that no sum can wrap.
    if (checkFit && !h.indefinite && h.length > cur.remaining())
        return ASN1Error_Truncated;
    return 0;
}

void *allocBlock(ASN1Context *ctx, std::uint64_t n)
{
    return ctx->allocator->alloc(ctx->allocator, n == 0 ? 1 : n);
}

void releaseBlock(ASN1Context *ctx, void *block)
{
    static_cast<void>(ctx->allocator->free(ctx->allocator, block)); // its result means nothing
}

void wipe(void *p, std::size_t n)
{
    if (p != nullptr && n != 0)
        explicit_bzero(p, n);
}

void releaseBytes(ASN1Context *ctx, ASN1_OctetString *r, bool sensitive)
{
    if (r->data != nullptr) {
        if (sensitive)
            wipe(r->data, r->length);
        releaseBlock(ctx, r->data);
    }
    r->data = nullptr;
    r->length = 0;
}

bool isNumeric(std::uint8_t c)
{
    return (c >= '0' && c <= '9') || c == ' ';
}

bool isPrintable(std::uint8_t c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    static constexpr char kPunct[] = "'\"()+,-./:=? ";
    return c != 0 && std::memchr(kPunct, c, sizeof(kPunct) - 1) != nullptr;
}

std::int32_t checkCharacters(Check check, const ASN1_OctetString *r)
{
    if (check == Check::None || r->data == nullptr)
        return 0;
    for (std::uint64_t i = 0; i < r->length; ++i) {
        if (check == Check::Numeric && !isNumeric(r->data[i]))
            return ASN1Error_BadNumericString;
        if (check == Check::Printable && !isPrintable(r->data[i]))
            return ASN1Error_BadPrintableString;
    }
    return 0;
}

namespace {

bool acceptedSegment(std::uint8_t id, const std::uint8_t *accepted, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (id == accepted[i])
            return true;
    return false;
}

// Walks the segments of a constructed string: the first pass validates and
// counts, so the data block is allocated once, the second copies. Returns the
// octets consumed from the contents, end-of-contents included.
std::uint64_t joinSegments(ASN1Context *ctx, bool indefinite, const std::uint8_t *accepted, std::size_t acceptedCount,
                           bool bitString, const std::uint8_t *contents, std::uint64_t avail, std::uint8_t **data,
                           std::uint64_t *dataLen, std::int32_t *unusedBits, std::int32_t *err)
{
    std::uint64_t total = 0;
    std::uint64_t pos = 0;
    std::int32_t unused = 0;
    for (int pass = 0; pass < 2; ++pass) {
        pos = 0;
        std::uint64_t filled = 0;
        for (;;) {
            if (!indefinite && pos == avail)
                break;
            if (indefinite) {
                if (avail - pos < 2) {
                    fail(err, ASN1Error_Truncated);
                    return 0;
                }
                if (contents[pos] == 0 && contents[pos + 1] == 0) {
                    pos += 2;
                    break;
                }
            }
            Header sh;
            if (!acceptedSegment(contents[pos], accepted, acceptedCount)) {
                fail(err, ASN1Error_BadTag);
                return 0;
            }
            if (std::int32_t rc = readHeader(contents + pos, avail - pos, sh, true); rc != 0) {
                fail(err, rc);
                return 0;
            }
            if (sh.indefinite) {
                fail(err, ASN1Error_BadTag);
                return 0;
            }
            const std::uint8_t *seg = contents + pos + sh.size;
            std::uint64_t segLen = sh.length;
            if (bitString && segLen > 0) {
                if (pass == 0) {
                    if (seg[0] > 7) {
                        fail(err, ASN1Error_BadBitString);
                        return 0;
                    }
                    // Only the last segment may leave bits unused.
                    if (unused != 0) {
                        fail(err, ASN1Error_BadTag);
                        return 0;
                    }
                    unused = seg[0];
                }
                ++seg;
                --segLen;
            }
            if (pass == 0) {
                total += segLen;
            } else if (segLen > 0) {
                std::memcpy(*data + filled, seg, segLen);
                filled += segLen;
            }
            pos += sh.size + sh.length;
        }
        if (pass == 0) {
            if (bitString && total == 0 && unused != 0) {
                fail(err, ASN1Error_BadBitString);
                return 0;
            }
            *data = static_cast<std::uint8_t *>(allocBlock(ctx, total));
            if (*data == nullptr) {
                fail(err, ASN1Error_OutOfMemory);
                return 0;
            }
            *dataLen = total;
        }
    }
    if (unusedBits != nullptr)
        *unusedBits = unused;
    return pos;
}

constexpr bool masked(std::uint8_t a, std::uint8_t b)
{
    return ((a ^ b) & 0xDF) == 0;
}

} // namespace

bool entryChecks(ASN1Context *ctx, const void *record, const std::uint8_t *in, std::int32_t *err, bool needCtx)
{
    if (needCtx && ctx == nullptr) {
        fail(err, ASN1Error_NoContext);
        return false;
    }
    if (record == nullptr) {
        fail(err, ASN1Error_NullOutput);
        return false;
    }
    if (in == nullptr) {
        fail(err, ASN1Error_NullInput);
        return false;
    }
    return true;
}

std::uint64_t unpackBytes(ASN1Context *ctx, std::uint8_t tag, std::uint8_t segmentTag, Check check,
                          ASN1_OctetString *record, const std::uint8_t *in, std::uint64_t inLen, std::int32_t *err)
{
    if (err == nullptr)
        return 0;
    if (!entryChecks(ctx, record, in, err, true))
        return 0;
    if (inLen == 0 || !masked(in[0], tag))
        return 0;
    Header h;
    if (std::int32_t rc = readHeader(in, inLen, h, true); rc != 0) {
        fail(err, rc);
        return 0;
    }
    const bool constructed = (in[0] & 0x20) != 0;
    if (!constructed && h.indefinite) {
        fail(err, ASN1Error_BadTag);
        return 0;
    }
    releaseBytes(ctx, record, false);
    std::uint64_t consumed = 0;
    if (constructed) {
        // Segments carry the OCTET STRING identifier (X.690), the element's
        // own identifier in primitive form, or the type's universal one.
        const std::uint8_t accepted[3] = {0x04, static_cast<std::uint8_t>(in[0] & ~0x20), segmentTag};
        const std::uint64_t avail = h.indefinite ? inLen - h.size : h.length;
        std::uint64_t n = joinSegments(ctx, h.indefinite, accepted, 3, false, in + h.size, avail, &record->data,
                                       &record->length, nullptr, err);
        if (*err != 0)
            return 0;
        consumed = h.size + n;
    } else {
        record->data = static_cast<std::uint8_t *>(allocBlock(ctx, h.length));
        if (record->data == nullptr) {
            fail(err, ASN1Error_OutOfMemory);
            return 0;
        }
        qel::ByteCursor cur(in + h.size, h.length);
        static_cast<void>(cur.copy({record->data, static_cast<std::size_t>(h.length)})); // fits: checked above
        record->length = h.length;
        consumed = h.size + h.length;
    }
    if (std::int32_t rc = checkCharacters(check, record); rc != 0) {
        fail(err, rc);
        return 0;
    }
    return consumed;
}

std::uint64_t unpackBits(ASN1Context *ctx, ASN1_BitString *record, const std::uint8_t *in, std::uint64_t inLen,
                         std::uint8_t tag, std::int32_t *err)
{
    if (err == nullptr)
        return 0;
    *err = 0;
    if (!entryChecks(ctx, record, in, err, true))
        return 0;
    if (inLen == 0 || !masked(in[0], tag))
        return 0;
    Header h;
    if (std::int32_t rc = readHeader(in, inLen, h, true); rc != 0) {
        fail(err, rc);
        return 0;
    }
    const bool constructed = (in[0] & 0x20) != 0;
    if (!constructed && h.indefinite) {
        fail(err, ASN1Error_BadTag);
        return 0;
    }
    ASN1_OctetString bytes{record->length, record->data};
    releaseBytes(ctx, &bytes, false);
    record->data = nullptr;
    record->length = 0;
    record->unusedBits = 0;
    if (constructed) {
        const std::uint8_t accepted[2] = {0x03, static_cast<std::uint8_t>(in[0] & ~0x20)};
        const std::uint64_t avail = h.indefinite ? inLen - h.size : h.length;
        std::uint64_t n = joinSegments(ctx, h.indefinite, accepted, 2, true, in + h.size, avail, &record->data,
                                       &record->length, &record->unusedBits, err);
        return *err != 0 ? 0 : h.size + n;
    }
    qel::ByteCursor cur(in + h.size, h.length);
    std::uint8_t unused = 0;
    if (!cur.u8(unused)) {
        fail(err, ASN1Error_BadBitString); // no unused-bits octet at all
        return 0;
    }
    if (unused > 7 || (unused != 0 && cur.remaining() == 0)) {
        fail(err, ASN1Error_BadBitString);
        return 0;
    }
    record->data = static_cast<std::uint8_t *>(allocBlock(ctx, cur.remaining()));
    if (record->data == nullptr) {
        fail(err, ASN1Error_OutOfMemory);
        return 0;
    }
    record->length = cur.remaining();
    static_cast<void>(cur.copy({record->data, static_cast<std::size_t>(record->length)})); // exactly what remains
    record->unusedBits = unused;
    return h.size + h.length;
}

std::uint64_t unpackBoolean(ASN1Context *ctx, ASN1_Boolean *record, const std::uint8_t *in, std::uint64_t inLen,
                            std::uint8_t tag, std::int32_t *err)
{
    if (err == nullptr)
        return 0;
    if (!entryChecks(ctx, record, in, err, false))
        return 0;
    if (inLen == 0 || in[0] != tag)
        return 0;
    Header h;
    if (std::int32_t rc = readHeader(in, inLen, h, false); rc != 0) {
        fail(err, rc);
        return 0;
    }
    if (h.indefinite || h.length != 1) {
        fail(err, ASN1Error_BadBoolean);
        return 0;
    }
    qel::ByteCursor cur(in + h.size, inLen - h.size);
    std::uint8_t v = 0;
    if (!cur.u8(v)) {
        fail(err, ASN1Error_Truncated);
        return 0;
    }
    record->value = v != 0 ? 1 : 0;
    return h.size + 1;
}

std::uint64_t unpackNull(ASN1Context *ctx, ASN1_Null *record, const std::uint8_t *in, std::uint64_t inLen,
                         std::uint8_t tag, std::int32_t *err)
{
    if (err == nullptr)
        return 0;
    if (!entryChecks(ctx, record, in, err, false))
        return 0;
    if (inLen == 0 || in[0] != tag)
        return 0;
    Header h;
    if (std::int32_t rc = readHeader(in, inLen, h, false); rc != 0) {
        fail(err, rc);
        return 0;
    }
    if (h.indefinite || h.length != 0) {
        fail(err, ASN1Error_BadNull);
        return 0;
    }
    record->reserved = 0;
    return h.size;
}

std::uint64_t measureElement(const std::uint8_t *p, std::uint64_t len, std::int32_t *err, int depth)
{
    if (depth > ASN1_MAX_NESTING) {
        fail(err, ASN1Error_NestingTooDeep);
        return 0;
    }
    Header h;
    if (std::int32_t rc = readHeader(p, len, h, true); rc != 0) {
        fail(err, rc);
        return 0;
    }
    if (!h.indefinite)
        return h.size + h.length;
    std::uint64_t pos = h.size;
    for (;;) {
        if (len - pos < 2) {
            fail(err, ASN1Error_Truncated);
            return 0;
        }
        if (p[pos] == 0 && p[pos + 1] == 0)
            return pos + 2;
        const std::uint64_t n = measureElement(p + pos, len - pos, err, depth + 1);
        if (*err != 0)
            return 0;
        pos += n;
    }
}

std::uint64_t unpackAny(ASN1Context *ctx, ASN1_Any *record, const std::uint8_t *in, std::uint64_t inLen,
                        std::int32_t *err)
{
    if (err == nullptr)
        return 0;
    *err = 0;
    if (!entryChecks(ctx, record, in, err, true))
        return 0;
    if (inLen == 0)
        return 0;
    const std::uint64_t size = measureElement(in, inLen, err, 0);
    if (*err != 0)
        return 0;
    releaseBytes(ctx, record, false);
    record->data = static_cast<std::uint8_t *>(allocBlock(ctx, size));
    if (record->data == nullptr) {
        fail(err, ASN1Error_OutOfMemory);
        return 0;
    }
    std::memcpy(record->data, in, size); // size <= inLen: measured within it
    record->length = size;
    return size;
}

} // namespace qel::asn1::detail

// ---- core operations ---------------------------------------------------------

extern "C" {

void asn1ErrorHook(int32_t code)
{
    static_cast<void>(code); // a place to set a breakpoint on every codec failure
}

uint64_t asn1LengthOfLength(uint64_t n)
{
    if (n < 0x80)
        return 1;
    if (n < 0x100)
        return 2;
    if (n < 0x10000)
        return 3;
    if (n < 0x1000000)
        return 4;
    return 5;
}

uint64_t asn1TLVSize(uint64_t n, int32_t force)
{
    if (n == 0 && force != 1)
        return 0;
    return 1 + asn1LengthOfLength(n) + n;
}

uint64_t asn1PutByte(uint8_t *out, uint8_t octet)
{
    *out = octet;
    return 1;
}

uint64_t asn1CopyByte(const uint8_t *src, uint8_t *dst)
{
    *dst = *src;
    return 1;
}

uint64_t asn1EncodeLength(uint8_t *out, uint64_t n)
{
    const uint64_t size = asn1LengthOfLength(n);
    if (size == 1) {
        out[0] = static_cast<uint8_t>(n);
        return 1;
    }
    out[0] = static_cast<uint8_t>(0x80 | (size - 1));
    for (uint64_t i = 1; i < size; ++i)
        out[i] = static_cast<uint8_t>(n >> (8 * (size - 1 - i)));
    return size;
}

uint64_t asn1EncodeHeader(uint8_t *out, uint8_t tag, uint64_t n)
{
    out[0] = tag;
    return 1 + asn1EncodeLength(out + 1, n);
}

uint64_t asn1DecodeLength(const uint8_t *p, uint64_t avail, uint64_t *n)
{
    if (p == nullptr || n == nullptr)
        return 0;
    qel::ByteCursor cur(p, avail);
    uint8_t first = 0;
    if (!cur.u8(first))
        return 0;
    if (first == 0x80) {
        *n = UINT64_MAX;
        return 1;
    }
    if (first < 0x80) {
        *n = first;
        return 1;
    }
    const std::size_t k = first & 0x7F;
    if (k > 8 || !cur.beN(*n, k))
        return 0;
    return 1 + k;
}

uint64_t asn1MatchTag(const uint8_t *p, uint64_t avail, uint8_t tag, uint64_t *n)
{
    *n = 0;
    if (p == nullptr || avail == 0 || p[0] != tag)
        return 0;
    Header h;
    if (readHeader(p, avail, h, false) != 0)
        return 0;
    *n = h.indefinite ? UINT64_MAX : h.length;
    return h.size;
}

uint64_t asn1IndefiniteLength(const uint8_t *p, uint64_t len, int32_t *err)
{
    if (err == nullptr)
        return 0;
    if (p == nullptr) {
        fail(err, ASN1Error_NullInput);
        return 0;
    }
    if (len == 0)
        return 0;
    return measureElement(p, len, err, 0);
}

// Entries {length, pointer}; the shorter encoding compares as if padded with
// zero octets at its end (X.690 11.6), reading neither beyond its length.
int asn1CompareEncodings(const void *a, const void *b)
{
    const auto *x = static_cast<const ASN1_OctetString *>(a);
    const auto *y = static_cast<const ASN1_OctetString *>(b);
    const uint64_t common = x->length < y->length ? x->length : y->length;
    if (common != 0) {
        const int c = std::memcmp(x->data, y->data, common);
        if (c != 0)
            return c;
    }
    const ASN1_OctetString *longer = x->length > y->length ? x : y;
    for (uint64_t i = common; i < longer->length; ++i)
        if (longer->data[i] != 0)
            return longer == x ? 1 : -1;
    return 0;
}

void *asn1DefaultAlloc(ASN1Allocator *, uint64_t size)
{
    return std::malloc(size);
}

int32_t asn1DefaultRealloc(ASN1Allocator *, void **block, uint64_t newSize)
{
    void *p = std::realloc(*block, newSize);
    if (p == nullptr)
        return ASN1Error_OutOfMemory;
    *block = p;
    return 0;
}

int32_t asn1DefaultFree(ASN1Allocator *, void *block)
{
    std::free(block);
    return 0;
}

ASN1Allocator asn1DefaultAllocator = {nullptr, asn1DefaultAlloc, asn1DefaultRealloc, asn1DefaultFree};

void asn1NormalizeInteger(ASN1_Integer *r)
{
    if (r->data == nullptr) {
        r->length = 0;
        return;
    }
    uint64_t skip = 0;
    while (r->length - skip >= 2 && ((r->data[skip] == 0x00 && (r->data[skip + 1] & 0x80) == 0) ||
                                     (r->data[skip] == 0xFF && (r->data[skip + 1] & 0x80) != 0)))
        ++skip;
    if (skip != 0) {
        std::memmove(r->data, r->data + skip, r->length - skip);
        r->length -= skip;
    }
}

// ---- primitive decoders ---------------------------------------------------------

uint64_t asn1UnpackPrimitive(ASN1Context *ctx, uint8_t tag, uint8_t segmentTag, ASN1_OctetString *record,
                             const uint8_t *in, uint64_t inLen, int32_t *err)
{
    return unpackBytes(ctx, tag, segmentTag, Check::None, record, in, inLen, err);
}

#define ASN1_BYTES_DECODER(T, SEG, CHECK)                                                                 \
    uint64_t asn1UnpackContents_##T(ASN1Context *ctx, ASN1_OctetString *record, const uint8_t *in,       \
                                    uint64_t inLen, uint8_t tag, int32_t *err)                           \
    {                                                                                                     \
        return unpackBytes(ctx, tag, SEG, CHECK, record, in, inLen, err);                                \
    }
ASN1_BYTES_DECODER(OctetString, 0x04, Check::None)
ASN1_BYTES_DECODER(VisibleString, 0x1A, Check::None)
ASN1_BYTES_DECODER(T61String, 0x14, Check::None)
ASN1_BYTES_DECODER(IA5String, 0x16, Check::None)
ASN1_BYTES_DECODER(NumericString, 0x12, Check::Numeric)
ASN1_BYTES_DECODER(PrintableString, 0x13, Check::Printable)
ASN1_BYTES_DECODER(UTCTime, 0x17, Check::None)
ASN1_BYTES_DECODER(GeneralizedTime, 0x18, Check::None)
ASN1_BYTES_DECODER(Integer, 0x02, Check::None)
ASN1_BYTES_DECODER(ObjectIdentifier, 0x06, Check::None)
#undef ASN1_BYTES_DECODER

uint64_t asn1UnpackContents_BitString(ASN1Context *ctx, ASN1_BitString *record, const uint8_t *in, uint64_t inLen,
                                      uint8_t tag, int32_t *err)
{
    return unpackBits(ctx, record, in, inLen, tag, err);
}

uint64_t asn1UnpackContents_Boolean(ASN1Context *ctx, ASN1_Boolean *record, const uint8_t *in, uint64_t inLen,
                                    uint8_t tag, int32_t *err)
{
    return unpackBoolean(ctx, record, in, inLen, tag, err);
}

uint64_t asn1UnpackContents_Null(ASN1Context *ctx, ASN1_Null *record, const uint8_t *in, uint64_t inLen, uint8_t tag,
                                 int32_t *err)
{
    return unpackNull(ctx, record, in, inLen, tag, err);
}

uint64_t asn1UnpackContents_Any(ASN1Context *ctx, ASN1_Any *record, const uint8_t *in, uint64_t inLen, uint8_t,
                                int32_t *err)
{
    return unpackAny(ctx, record, in, inLen, err);
}

// ---- records ------------------------------------------------------------------

#define ASN1_RECORD_OPS(T, R)                                                                             \
    R *asn1New_##T(ASN1Context *ctx)                                                                     \
    {                                                                                                     \
        return static_cast<R *>(qel::asn1::newRecord(qel::asn1::desc##T, ctx));                           \
    }                                                                                                     \
    void asn1Free_##T(ASN1Context *ctx, R *record)                                                       \
    {                                                                                                     \
        qel::asn1::freeRecord(qel::asn1::desc##T, ctx, record);                                           \
    }                                                                                                     \
    void asn1FreeContents_##T(ASN1Context *ctx, R *record)                                               \
    {                                                                                                     \
        if (ctx != nullptr && record != nullptr)                                                          \
            qel::asn1::freeContents(qel::asn1::desc##T, ctx, record);                                     \
    }
ASN1_RECORD_OPS(OctetString, ASN1_OctetString)
ASN1_RECORD_OPS(BitString, ASN1_BitString)
ASN1_RECORD_OPS(Boolean, ASN1_Boolean)
ASN1_RECORD_OPS(Null, ASN1_Null)
#undef ASN1_RECORD_OPS

// ---- allocating and public decoders ----------------------------------------------

#define ASN1_PRIMITIVE_DECODERS(T, R, UNIVERSAL)                                                          \
    uint64_t asn1UnpackAlloc_##T(ASN1Context *ctx, R **out, const uint8_t *in, uint64_t inLen, uint8_t tag, \
                                 int32_t *err)                                                           \
    {                                                                                                     \
        return qel::asn1::unpackAlloc(qel::asn1::desc##T, ctx, reinterpret_cast<void **>(out), in, inLen, \
                                      tag, err);                                                          \
    }                                                                                                     \
    uint64_t asn1Unpack_##T(ASN1Context *ctx, R **out, const uint8_t *in, uint64_t inLen, int32_t *err)  \
    {                                                                                                     \
        return asn1UnpackAlloc_##T(ctx, out, in, inLen, UNIVERSAL, err);                                  \
    }
ASN1_PRIMITIVE_DECODERS(OctetString, ASN1_OctetString, 4)
ASN1_PRIMITIVE_DECODERS(BitString, ASN1_BitString, 3)
ASN1_PRIMITIVE_DECODERS(Boolean, ASN1_Boolean, 1)
ASN1_PRIMITIVE_DECODERS(Null, ASN1_Null, 5)
ASN1_PRIMITIVE_DECODERS(Integer, ASN1_Integer, 2)
ASN1_PRIMITIVE_DECODERS(ObjectIdentifier, ASN1_ObjectIdentifier, 6)
ASN1_PRIMITIVE_DECODERS(Any, ASN1_Any, ASN1_TAG_ANY)
ASN1_PRIMITIVE_DECODERS(NumericString, ASN1_OctetString, 18)
ASN1_PRIMITIVE_DECODERS(PrintableString, ASN1_OctetString, 19)
ASN1_PRIMITIVE_DECODERS(T61String, ASN1_OctetString, 20)
ASN1_PRIMITIVE_DECODERS(IA5String, ASN1_OctetString, 22)
ASN1_PRIMITIVE_DECODERS(VisibleString, ASN1_OctetString, 26)
ASN1_PRIMITIVE_DECODERS(UTCTime, ASN1_OctetString, 23)
ASN1_PRIMITIVE_DECODERS(GeneralizedTime, ASN1_OctetString, 24)
#undef ASN1_PRIMITIVE_DECODERS

// ---- sizes --------------------------------------------------------------------

static uint64_t wrapSize(uint64_t size, int32_t withWrapper)
{
    return withWrapper == 1 ? asn1TLVSize(size, 0) : size;
}

uint64_t asn1SizeContents_OctetString(ASN1_OctetString *r, int32_t withTag, int32_t withWrapper)
{
    if (r == nullptr)
        return 0;
    const uint64_t c = r->length;
    return wrapSize(withTag == 1 ? 1 + asn1LengthOfLength(c) + c : c, withWrapper);
}

uint64_t asn1SizeContents_Integer(ASN1_Integer *r, int32_t withTag, int32_t withWrapper)
{
    if (r == nullptr)
        return 0;
    asn1NormalizeInteger(r);
    return asn1SizeContents_OctetString(r, withTag, withWrapper);
}

uint64_t asn1SizeContents_BitString(ASN1_BitString *r, int32_t withTag, int32_t withWrapper)
{
    if (r == nullptr)
        return 0;
    const uint64_t c = r->length + 1;
    return wrapSize(withTag == 1 ? asn1TLVSize(c, 0) : c, withWrapper);
}

uint64_t asn1SizeContents_Boolean(ASN1_Boolean *r, int32_t withTag, int32_t withWrapper)
{
    if (r == nullptr)
        return 0;
    return wrapSize(withTag == 1 ? 3 : 1, withWrapper);
}

uint64_t asn1SizeContents_Null(ASN1_Null *r, int32_t withTag, int32_t withWrapper)
{
    if (r == nullptr)
        return 0;
    return wrapSize(withTag == 1 ? 2 : 0, withWrapper);
}

uint64_t asn1SizeContents_Any(ASN1_Any *r, int32_t, int32_t withWrapper)
{
    if (r == nullptr)
        return 0;
    return wrapSize(r->length, withWrapper);
}

uint64_t asn1Sizeof_OctetString(ASN1Context *, ASN1_OctetString *r, int32_t withTag)
{
    return asn1SizeContents_OctetString(r, withTag, 0);
}
uint64_t asn1Sizeof_Integer(ASN1Context *, ASN1_Integer *r, int32_t withTag)
{
    return asn1SizeContents_Integer(r, withTag, 0);
}
uint64_t asn1Sizeof_BitString(ASN1Context *, ASN1_BitString *r, int32_t withTag)
{
    return asn1SizeContents_BitString(r, withTag, 0);
}
uint64_t asn1Sizeof_Boolean(ASN1Context *, ASN1_Boolean *r, int32_t withTag)
{
    return asn1SizeContents_Boolean(r, withTag, 0);
}
uint64_t asn1Sizeof_Null(ASN1Context *, ASN1_Null *r, int32_t withTag)
{
    return asn1SizeContents_Null(r, withTag, 0);
}
uint64_t asn1Sizeof_Any(ASN1Context *, ASN1_Any *r, int32_t withTag)
{
    return asn1SizeContents_Any(r, withTag, 0);
}

// ---- primitive encoders (forward, into the caller's buffer) --------------------------

uint64_t asn1PackPrimitive(ASN1Context *, uint8_t tag, int32_t hasUnusedBits, int32_t unusedBits, uint8_t *out,
                           uint64_t outLen, ASN1_OctetString *record, int32_t *err)
{
    if (err == nullptr || record == nullptr)
        return 0;
    if (out == nullptr) {
        fail(err, ASN1Error_NoOutputBuffer);
        return 0;
    }
    if (hasUnusedBits && (unusedBits < 0 || unusedBits > 7)) {
        fail(err, ASN1Error_BadBitString);
        return 0;
    }
    const uint64_t dataLen = record->data != nullptr ? record->length : 0;
    const uint64_t c = dataLen + (hasUnusedBits ? 1 : 0);
    if (c > UINT32_MAX) {
        fail(err, ASN1Error_BadLength);
        return 0;
    }
    const uint64_t header = 1 + asn1LengthOfLength(c);
    if (header > outLen || c > outLen - header) {
        fail(err, ASN1Error_Overflow);
        return 0;
    }
    uint64_t pos = asn1EncodeHeader(out, tag, c);
    if (hasUnusedBits)
        out[pos++] = dataLen == 0 ? 0 : static_cast<uint8_t>(unusedBits);
    if (dataLen != 0) {
        std::memcpy(out + pos, record->data, dataLen);
        pos += dataLen;
        if (hasUnusedBits && unusedBits != 0)
            out[pos - 1] &= static_cast<uint8_t>(0xFF << unusedBits);
    }
    return pos;
}

static uint64_t packChecked(ASN1Context *ctx, Check check, uint8_t tag, uint8_t *out, uint64_t outLen,
                            ASN1_OctetString *record, int32_t *err)
{
    if (err == nullptr || record == nullptr)
        return 0;
    if (int32_t rc = checkCharacters(check, record); rc != 0) {
        fail(err, rc);
        return 0;
    }
    return asn1PackPrimitive(ctx, tag, 0, 0, out, outLen, record, err);
}

#define ASN1_BYTES_ENCODER(T, UNIVERSAL, CHECK)                                                           \
    uint64_t asn1PackContents_##T(ASN1Context *ctx, uint8_t *out, uint64_t outLen, ASN1_OctetString *record, \
                                  uint8_t tag, int32_t *err)                                             \
    {                                                                                                     \
        return packChecked(ctx, CHECK, tag, out, outLen, record, err);                                    \
    }                                                                                                     \
    uint64_t asn1Pack_##T(ASN1Context *ctx, uint8_t *out, uint64_t outLen, ASN1_OctetString *record,     \
                          int32_t *err)                                                                  \
    {                                                                                                     \
        return asn1PackContents_##T(ctx, out, outLen, record, UNIVERSAL, err);                            \
    }
ASN1_BYTES_ENCODER(OctetString, 4, Check::None)
ASN1_BYTES_ENCODER(VisibleString, 26, Check::None)
ASN1_BYTES_ENCODER(T61String, 20, Check::None)
ASN1_BYTES_ENCODER(IA5String, 22, Check::None)
ASN1_BYTES_ENCODER(NumericString, 18, Check::Numeric)
ASN1_BYTES_ENCODER(PrintableString, 19, Check::Printable)
ASN1_BYTES_ENCODER(UTCTime, 23, Check::None)
ASN1_BYTES_ENCODER(GeneralizedTime, 24, Check::None)
ASN1_BYTES_ENCODER(ObjectIdentifier, 6, Check::None)
#undef ASN1_BYTES_ENCODER

uint64_t asn1PackContents_Integer(ASN1Context *ctx, uint8_t *out, uint64_t outLen, ASN1_Integer *record, uint8_t tag,
                                  int32_t *err)
{
    if (err == nullptr || record == nullptr)
        return 0;
    asn1NormalizeInteger(record);
    return asn1PackPrimitive(ctx, tag, 0, 0, out, outLen, record, err);
}

uint64_t asn1Pack_Integer(ASN1Context *ctx, uint8_t *out, uint64_t outLen, ASN1_Integer *record, int32_t *err)
{
    return asn1PackContents_Integer(ctx, out, outLen, record, 2, err);
}

uint64_t asn1PackContents_BitString(ASN1Context *ctx, uint8_t *out, uint64_t outLen, ASN1_BitString *record,
                                    uint8_t tag, int32_t *err)
{
    if (err == nullptr || record == nullptr)
        return 0;
    ASN1_OctetString bytes{record->length, record->data};
    return asn1PackPrimitive(ctx, tag, 1, record->unusedBits, out, outLen, &bytes, err);
}

uint64_t asn1Pack_BitString(ASN1Context *ctx, uint8_t *out, uint64_t outLen, ASN1_BitString *record, int32_t *err)
{
    return asn1PackContents_BitString(ctx, out, outLen, record, 3, err);
}

// BOOLEAN and NULL: a few fixed octets, refused as a whole when they do not fit.
static uint64_t packFixed(uint8_t *out, uint64_t outLen, const uint8_t *bytes, uint64_t n, int32_t *err)
{
    if (out == nullptr) {
        fail(err, ASN1Error_NoOutputBuffer);
        return 0;
    }
    if (outLen < n) {
        fail(err, ASN1Error_Overflow);
        return 0;
    }
    std::memcpy(out, bytes, n);
    return n;
}

uint64_t asn1PackContents_Boolean(ASN1Context *, uint8_t *out, uint64_t outLen, ASN1_Boolean *record, uint8_t tag,
                                  int32_t *err)
{
    if (err == nullptr || record == nullptr)
        return 0;
    const uint8_t bytes[3] = {tag, 1, static_cast<uint8_t>(record->value != 0 ? 0xFF : 0x00)};
    return packFixed(out, outLen, bytes, 3, err);
}

uint64_t asn1Pack_Boolean(ASN1Context *ctx, uint8_t *out, uint64_t outLen, ASN1_Boolean *record, int32_t *err)
{
    return asn1PackContents_Boolean(ctx, out, outLen, record, 1, err);
}

uint64_t asn1PackContents_Null(ASN1Context *, uint8_t *out, uint64_t outLen, ASN1_Null *record, uint8_t tag,
                               int32_t *err)
{
    if (err == nullptr || record == nullptr)
        return 0;
    const uint8_t bytes[2] = {tag, 0};
    return packFixed(out, outLen, bytes, 2, err);
}

uint64_t asn1Pack_Null(ASN1Context *ctx, uint8_t *out, uint64_t outLen, ASN1_Null *record, int32_t *err)
{
    return asn1PackContents_Null(ctx, out, outLen, record, 5, err);
}

uint64_t asn1PackContents_Any(ASN1Context *, uint8_t *out, uint64_t outLen, ASN1_Any *record, uint8_t tag,
                              int32_t *err)
{
    if (err == nullptr || record == nullptr || out == nullptr || record->length == 0 || record->data == nullptr)
        return 0;
    if (record->length > outLen) {
        fail(err, ASN1Error_Overflow);
        return 0;
    }
    std::memcpy(out, record->data, record->length);
    if (tag != ASN1_TAG_ANY)
        out[0] = tag;
    return record->length;
}

uint64_t asn1Pack_Any(ASN1Context *ctx, uint8_t *out, uint64_t outLen, ASN1_Any *record, int32_t *err)
{
    return asn1PackContents_Any(ctx, out, outLen, record, ASN1_TAG_ANY, err);
}

// ---- setters and getters ------------------------------------------------------

int32_t asn1SetOctetString(ASN1Context *ctx, ASN1_OctetString *record, const uint8_t *bytes, uint64_t n)
{
    if (ctx == nullptr)
        return ASN1Error_NoContext;
    if (record == nullptr || (bytes == nullptr && n != 0))
        return ASN1Error_General;
    releaseBytes(ctx, record, false);
    record->data = static_cast<uint8_t *>(allocBlock(ctx, n));
    if (record->data == nullptr)
        return ASN1Error_General;
    if (n != 0)
        std::memcpy(record->data, bytes, n);
    record->length = n;
    return 0;
}

int32_t asn1SetOctetStringFromCString(ASN1Context *ctx, ASN1_OctetString *record, const char *text)
{
    if (ctx == nullptr)
        return ASN1Error_NoContext;
    if (text == nullptr)
        return ASN1Error_General;
    return asn1SetOctetString(ctx, record, reinterpret_cast<const uint8_t *>(text), std::strlen(text));
}

char *asn1OctetStringToCString(ASN1Context *ctx, ASN1_OctetString *record)
{
    if (ctx == nullptr || record == nullptr || record->data == nullptr || record->length == 0 ||
        record->length == UINT64_MAX)
        return nullptr;
    char *text = static_cast<char *>(allocBlock(ctx, record->length + 1));
    if (text == nullptr)
        return nullptr;
    std::memcpy(text, record->data, record->length);
    text[record->length] = '\0';
    return text;
}

int32_t asn1SetBitString(ASN1Context *ctx, ASN1_BitString *record, const uint8_t *bytes, uint64_t n,
                         int32_t unusedBits)
{
    if (ctx == nullptr)
        return ASN1Error_NoContext;
    if (record == nullptr)
        return ASN1Error_General;
    ASN1_OctetString tmp{record->length, record->data};
    const int32_t rc = asn1SetOctetString(ctx, &tmp, bytes, n);
    record->length = tmp.length;
    record->data = tmp.data;
    record->unusedBits = rc == 0 ? unusedBits : 0;
    return rc;
}

int32_t asn1SetUnsignedInteger(ASN1Context *ctx, ASN1_Integer *record, const uint8_t *bytes, uint64_t n)
{
    if (ctx == nullptr)
        return ASN1Error_NoContext;
    if (record == nullptr || (bytes == nullptr && n != 0))
        return ASN1Error_General;
    const bool pad = n != 0 && (bytes[0] & 0x80) != 0;
    releaseBytes(ctx, record, false);
    record->data = static_cast<uint8_t *>(allocBlock(ctx, n + (pad ? 1 : 0)));
    if (record->data == nullptr)
        return ASN1Error_General;
    if (pad)
        record->data[0] = 0;
    if (n != 0)
        std::memcpy(record->data + (pad ? 1 : 0), bytes, n);
    record->length = n + (pad ? 1 : 0);
    return 0;
}

int32_t asn1SetIntegerValue(ASN1Context *ctx, ASN1_Integer *record, int32_t value)
{
    const uint32_t v = static_cast<uint32_t>(value);
    const uint8_t bytes[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    const int32_t rc = asn1SetOctetString(ctx, record, bytes, 4);
    if (rc == 0)
        asn1NormalizeInteger(record);
    return rc;
}

uint64_t asn1GetIntegerValue(ASN1Context *, ASN1_Integer *record, int32_t *err)
{
    if (err == nullptr)
        return 0;
    // A negative value is no count: refusing it keeps a caller from reading
    // FF as 255 where a path length or an iteration count is expected.
    if (record == nullptr || record->data == nullptr || record->length > 4 ||
        (record->length != 0 && (record->data[0] & 0x80) != 0)) {
        *err = ASN1Error_General;
        return 0;
    }
    uint64_t v = 0;
    for (uint64_t i = 0; i < record->length; ++i)
        v = (v << 8) | record->data[i];
    return v;
}

int32_t asn1SetBoolean(ASN1Context *, ASN1_Boolean *record, int32_t value)
{
    if (record == nullptr)
        return ASN1Error_General;
    record->length = 1;
    record->value = value != 0 ? 1 : 0;
    return 0;
}

int32_t asn1GetBoolean(ASN1Context *, ASN1_Boolean *record)
{
    if (record == nullptr)
        return ASN1Error_General;
    return record->value != 0 ? 1 : 0;
}

int32_t asn1AppendElement(ASN1Context *ctx, void *element, void *list)
{
    if (ctx == nullptr)
        return ASN1Error_NoContext;
    auto *l = static_cast<ASN1_SequenceOf *>(list);
    if (l == nullptr || l->count < 0)
        return ASN1Error_General;
    void *array = l->elements;
    const uint64_t bytes = (static_cast<uint64_t>(l->count) + 1) * sizeof(void *);
    if (array == nullptr) {
        array = allocBlock(ctx, bytes);
        if (array == nullptr)
            return ASN1Error_General;
    } else if (ctx->allocator->realloc(ctx->allocator, &array, bytes) != 0 || array == nullptr) {
        return ASN1Error_General;
    }
    l->elements = static_cast<void **>(array);
    l->elements[l->count++] = element;
    return 0;
}

} // extern "C"
