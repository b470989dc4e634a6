// The interpreter behind every generated type: one decoder, one sizer, one
// encoder and one release routine that walk a type's descriptor. Records
// are the real C structs of the schema headers; descriptors give each
// member's offset, type, tag code and presence.
#include <algorithm>
#include <cstring>

#include "asn1EngineInternal.h"
#include "asn1RuntimeDetail.h"
#include "asn1RuntimeInternal.h"

namespace qel::asn1 {

using namespace detail;

#define ASN1_PRIM_DESC(NAME, PRIM, CODE, SEG, CHECK, EXACT, RECORD)                                       \
    const TypeDesc desc##NAME = {#NAME, Kind::Primitive, Prim::PRIM, CODE, SEG, Check::CHECK, EXACT, false, \
                                 sizeof(RECORD), nullptr, 0, nullptr, 0};
ASN1_PRIM_DESC(OctetString, OctetLike, 4, 0x04, None, false, ASN1_OctetString)
ASN1_PRIM_DESC(UTF8String, OctetLike, 12, 0x04, None, false, ASN1_OctetString)
ASN1_PRIM_DESC(UniversalString, OctetLike, 28, 0x04, None, false, ASN1_OctetString)
ASN1_PRIM_DESC(BMPString, OctetLike, 30, 0x04, None, false, ASN1_OctetString)
ASN1_PRIM_DESC(VisibleString, OctetLike, 26, 0x1A, None, false, ASN1_OctetString)
ASN1_PRIM_DESC(T61String, OctetLike, 20, 0x14, None, false, ASN1_OctetString)
ASN1_PRIM_DESC(IA5String, OctetLike, 22, 0x16, None, false, ASN1_OctetString)
ASN1_PRIM_DESC(NumericString, OctetLike, 18, 0x12, Numeric, false, ASN1_OctetString)
ASN1_PRIM_DESC(PrintableString, OctetLike, 19, 0x13, Printable, false, ASN1_OctetString)
ASN1_PRIM_DESC(UTCTime, OctetLike, 23, 0x17, None, false, ASN1_OctetString)
ASN1_PRIM_DESC(GeneralizedTime, OctetLike, 24, 0x18, None, false, ASN1_OctetString)
ASN1_PRIM_DESC(Integer, Integer, 2, 0x02, None, true, ASN1_Integer)
ASN1_PRIM_DESC(ObjectIdentifier, ObjectIdentifier, 6, 0x06, None, true, ASN1_ObjectIdentifier)
ASN1_PRIM_DESC(BitString, BitString, 3, 0x03, None, false, ASN1_BitString)
ASN1_PRIM_DESC(Boolean, Boolean, 1, 0x01, None, true, ASN1_Boolean)
ASN1_PRIM_DESC(Null, Null, 5, 0x05, None, true, ASN1_Null)
ASN1_PRIM_DESC(Any, Any, ASN1_TAG_ANY, 0, None, false, ASN1_Any)
#undef ASN1_PRIM_DESC

namespace {

constexpr bool masked(std::uint8_t a, std::uint8_t b)
{
    return ((a ^ b) & 0xDF) == 0;
}

bool atEndOfContents(const std::uint8_t *in, std::uint64_t c, std::uint64_t end)
{
    return end - c >= 2 && in[c] == 0 && in[c + 1] == 0;
}

// The alternative whose listed octets hold id exactly (decoding, sizing,
// releasing), or whose octets match id up to the constructed bit (encoding).
const AltDesc *findAlt(const TypeDesc &t, std::uint8_t id, bool formFree)
{
    for (std::uint32_t i = 0; i < t.altCount; ++i) {
        const AltDesc &a = t.alts[i];
        for (std::uint8_t s = 0; s < a.selectCount; ++s)
            if (formFree ? masked(a.select[s], id) : a.select[s] == id)
                return &a;
    }
    return nullptr;
}

void freeTree(const TypeDesc &t, ASN1Context *ctx, void *record, bool sensitive);

void freeRecordTree(const TypeDesc &t, ASN1Context *ctx, void *record, bool sensitive)
{
    if (record == nullptr)
        return;
    sensitive = sensitive || t.sensitive;
    freeTree(t, ctx, record, sensitive);
    if (sensitive)
        wipe(record, t.size);
    releaseBlock(ctx, record);
}

void freeTree(const TypeDesc &t, ASN1Context *ctx, void *record, bool sensitive)
{
    sensitive = sensitive || t.sensitive;
    auto *base = static_cast<std::uint8_t *>(record);
    switch (t.kind) {
    case Kind::Primitive:
        switch (t.prim) {
        case Prim::BitString: {
            auto *b = static_cast<ASN1_BitString *>(record);
            ASN1_OctetString bytes{b->length, b->data};
            releaseBytes(ctx, &bytes, sensitive);
            b->data = nullptr;
            b->length = 0;
            b->unusedBits = 0;
            break;
        }
        case Prim::Boolean:
        case Prim::Null:
        case Prim::None:
            break;
        default:
            releaseBytes(ctx, static_cast<ASN1_OctetString *>(record), sensitive);
            break;
        }
        break;
    case Kind::Sequence:
        for (std::uint32_t i = 0; i < t.memberCount; ++i) {
            const MemberDesc &m = t.members[i];
            void *field = base + m.offset;
            if (m.flags & kOptional) {
                auto **slot = static_cast<void **>(field);
                freeRecordTree(*m.type, ctx, *slot, sensitive);
                *slot = nullptr;
            } else {
                freeTree(*m.type, ctx, field, sensitive);
            }
        }
        break;
    case Kind::SequenceOf:
    case Kind::SetOf: {
        auto *list = static_cast<ASN1_SequenceOf *>(record);
        for (std::int64_t i = 0; i < list->count; ++i)
            freeRecordTree(*t.members[0].type, ctx, list->elements[i], sensitive);
        releaseBlock(ctx, list->elements);
        list->elements = nullptr;
        list->count = 0;
        break;
    }
    case Kind::Choice: {
        auto *choice = static_cast<ASN1_Choice *>(record);
        if (const AltDesc *alt = findAlt(t, choice->identifier, false); alt != nullptr) {
            freeRecordTree(*alt->type, ctx, choice->alternative, sensitive);
            choice->alternative = nullptr;
            choice->identifier = 0;
        }
        break;
    }
    }
}

// ---- decoding ---------------------------------------------------------------------

std::uint64_t unpackPrimitive(const TypeDesc &t, ASN1Context *ctx, void *record, const std::uint8_t *in,
                              std::uint64_t len, std::uint8_t tag, std::int32_t *err)
{
    switch (t.prim) {
    case Prim::BitString:
        return unpackBits(ctx, static_cast<ASN1_BitString *>(record), in, len, tag, err);
    case Prim::Boolean:
        return unpackBoolean(ctx, static_cast<ASN1_Boolean *>(record), in, len, tag, err);
    case Prim::Null:
        return unpackNull(ctx, static_cast<ASN1_Null *>(record), in, len, tag, err);
    case Prim::Any:
        return unpackAny(ctx, static_cast<ASN1_Any *>(record), in, len, err);
    default:
        return unpackBytes(ctx, tag, t.segmentTag, t.check, static_cast<ASN1_OctetString *>(record), in, len, err);
    }
}

// Common head of the constructed decoders: argument checks, identifier and
// length. Returns false when the caller is to return (absent or failed).
bool constructedHead(ASN1Context *ctx, void *record, const std::uint8_t *in, std::uint64_t len, std::uint8_t tag,
                     std::int32_t *err, Header &h, std::uint64_t &end)
{
    if (!entryChecks(ctx, record, in, err, true))
        return false;
    if (len == 0 || !masked(in[0], tag))
        return false;
    if ((in[0] & 0x20) == 0) {
        fail(err, ASN1Error_BadTag);
        return false;
    }
    if (std::int32_t rc = readHeader(in, len, h, true); rc != 0) {
        fail(err, rc);
        return false;
    }
    end = h.indefinite ? len : h.size + h.length;
    return true;
}

// The end of a constructed value: end-of-contents or nothing left over.
std::uint64_t constructedTail(const Header &h, const std::uint8_t *in, std::uint64_t c, std::uint64_t end,
                              std::int32_t *err)
{
    if (h.indefinite) {
        if (end - c < 2) {
            fail(err, ASN1Error_Truncated);
            return c;
        }
        if (in[c] != 0 || in[c + 1] != 0) {
            fail(err, ASN1Error_BadTag);
            return c;
        }
        return c + 2;
    }
    if (c < end)
        fail(err, ASN1Error_Unparsed);
    return c;
}

std::uint64_t decodeInner(const MemberDesc &m, ASN1Context *ctx, void *field, const std::uint8_t *p,
                          std::uint64_t avail, std::int32_t *err, bool &present)
{
    std::uint64_t n = 0;
    void *value = field;
    if (m.flags & kOptional) {
        auto **slot = static_cast<void **>(field);
        freeRecordTree(*m.type, ctx, *slot, false);
        *slot = nullptr;
        n = unpackAlloc(*m.type, ctx, slot, p, avail, m.code, err);
        value = *slot;
        present = value != nullptr;
    } else {
        n = unpackContents(*m.type, ctx, field, p, avail, m.code, err);
        present = n != 0;
    }
    if (*err == 0 && present && (m.flags & kCount)) {
        const auto *v = static_cast<const ASN1_Integer *>(value);
        if (v->length != 0 && (v->data[0] & 0x80) != 0)
            fail(err, ASN1Error_NegativeCount);
    }
    return n;
}

std::uint64_t decodeMember(const MemberDesc &m, ASN1Context *ctx, void *field, const std::uint8_t *p,
                           std::uint64_t avail, std::int32_t *err, bool &present)
{
    present = false;
    if (m.wrapper == 0)
        return decodeInner(m, ctx, field, p, avail, err, present);
    if (avail == 0 || p[0] != m.wrapper)
        return 0;
    Header w;
    if (std::int32_t rc = readHeader(p, avail, w, true); rc != 0) {
        fail(err, rc);
        return 0;
    }
    std::uint64_t pos = w.size;
    if (!w.indefinite && w.length == 0)
        return pos;
    const std::uint64_t inner = w.indefinite ? avail - pos : w.length;
    const std::uint64_t n = decodeInner(m, ctx, field, p + pos, inner, err, present);
    pos += n;
    // The inner value's own failure stands (running out of memory is not
    // malformed input); the wrapper's checks judge a value that decoded.
    if (*err != 0)
        return pos;
    if (w.indefinite) {
        if (avail - pos < 2)
            fail(err, ASN1Error_Truncated);
        else if (p[pos] != 0 || p[pos + 1] != 0)
            fail(err, ASN1Error_BadTag);
        else
            pos += 2;
    } else if (n != w.length) {
        fail(err, ASN1Error_LengthMismatch);
    }
    return pos;
}

std::uint64_t unpackSequence(const TypeDesc &t, ASN1Context *ctx, void *record, const std::uint8_t *in,
                             std::uint64_t len, std::uint8_t tag, std::int32_t *err)
{
    *err = 0;
    Header h;
    std::uint64_t end = 0;
    if (!constructedHead(ctx, record, in, len, tag, err, h, end))
        return 0;
    auto *base = static_cast<std::uint8_t *>(record);
    std::uint64_t c = h.size;
    for (std::uint32_t i = 0; i < t.memberCount; ++i) {
        const MemberDesc &m = t.members[i];
        const bool atEnd = h.indefinite ? atEndOfContents(in, c, end) : c == end;
        if ((m.flags & kTrailing) && atEnd)
            return h.indefinite ? c + 2 : c;
        bool present = false;
        if (!atEnd) {
            c += decodeMember(m, ctx, base + m.offset, in + c, end - c, err, present);
            if (c > end && *err == 0)
                fail(err, ASN1Error_Truncated);
            if (*err != 0)
                return c;
        }
        // A mandatory member that is not there fails the value, so that no
        // reader finds an empty record where the type promises one.
        if (!present && (m.flags & (kOptional | kMayBeAbsent)) == 0) {
            fail(err, ASN1Error_Unparsed);
            return c;
        }
    }
    return constructedTail(h, in, c, end, err);
}

std::uint64_t unpackList(const TypeDesc &t, ASN1Context *ctx, void *record, const std::uint8_t *in,
                         std::uint64_t len, std::uint8_t tag, std::int32_t *err)
{
    *err = 0;
    Header h;
    std::uint64_t end = 0;
    if (!constructedHead(ctx, record, in, len, tag, err, h, end))
        return 0;
    const MemberDesc &element = t.members[0];
    auto *list = static_cast<ASN1_SequenceOf *>(record);
    std::uint64_t c = h.size;
    std::uint64_t capacity = 0;
    bool closed = false;
    while (c < end) {
        if (h.indefinite && atEndOfContents(in, c, end)) {
            c += 2;
            closed = true;
            break;
        }
        // The array grows geometrically, so long lists cost linear time.
        if (static_cast<std::uint64_t>(list->count) == capacity) {
            const std::uint64_t grown = capacity == 0 ? 4 : capacity * 2;
            void *array = list->elements;
            if (ctx->allocator->realloc(ctx->allocator, &array, grown * sizeof(void *)) != 0 || array == nullptr) {
                fail(err, ASN1Error_OutOfMemory);
                return c;
            }
            list->elements = static_cast<void **>(array);
            capacity = grown;
        }
        void *item = newRecord(*element.type, ctx);
        if (item == nullptr) {
            fail(err, ASN1Error_OutOfMemory);
            return c;
        }
        list->elements[list->count++] = item;
        const std::uint64_t n = unpackContents(*element.type, ctx, item, in + c, end - c, element.code, err);
        c += n;
        if (*err != 0)
            return c;
        if (n == 0)
            break;
    }
    if (closed) {
        if (c > end)
            fail(err, ASN1Error_Truncated);
        return c;
    }
    if (c > end) {
        fail(err, ASN1Error_Truncated);
        return c;
    }
    return constructedTail(h, in, c, end, err);
}

std::uint64_t unpackChoice(const TypeDesc &t, ASN1Context *ctx, void *record, const std::uint8_t *in,
                           std::uint64_t len, std::int32_t *err)
{
    if (!entryChecks(ctx, record, in, err, true) || len == 0)
        return 0;
    auto *choice = static_cast<ASN1_Choice *>(record);
    const AltDesc *alt = findAlt(t, in[0], false);
    if (alt == nullptr) {
        fail(err, ASN1Error_NoChoice);
        return 0;
    }
    if (choice->alternative != nullptr) {
        if (const AltDesc *old = findAlt(t, choice->identifier, false); old != nullptr)
            freeRecordTree(*old->type, ctx, choice->alternative, false);
        choice->alternative = nullptr;
    }
    choice->identifier = in[0];
    if (alt->explicitWrapper != 0) {
        Header w;
        if (std::int32_t rc = readHeader(in, len, w, true); rc != 0) {
            fail(err, rc);
            return 0;
        }
        const std::uint64_t inner = w.indefinite ? len - w.size : w.length;
        const std::uint64_t n =
            unpackAlloc(*alt->type, ctx, &choice->alternative, in + w.size, inner, alt->code, err);
        if (*err != 0)
            return 0;
        // A wrapper that holds no value of the alternative's type is refused
        // rather than leaving a chosen alternative without a record.
        if (choice->alternative == nullptr) {
            fail(err, w.indefinite ? ASN1Error_BadTag : ASN1Error_LengthMismatch);
            return 0;
        }
        std::uint64_t pos = w.size + n;
        if (w.indefinite) {
            if (len - pos < 2) {
                fail(err, ASN1Error_Truncated);
                return 0;
            }
            if (in[pos] != 0 || in[pos + 1] != 0) {
                fail(err, ASN1Error_BadTag);
                return 0;
            }
            pos += 2;
        } else if (n != w.length) {
            fail(err, ASN1Error_LengthMismatch);
            return 0;
        }
        return pos;
    }
    void *value = newRecord(*alt->type, ctx);
    if (value == nullptr) {
        fail(err, ASN1Error_OutOfMemory);
        return 0;
    }
    choice->alternative = value;
    const std::uint64_t n = unpackContents(*alt->type, ctx, value, in, len, alt->code, err);
    if (*err == 0 && n == 0)
        fail(err, ASN1Error_BadTag);
    return n;
}

// ---- encoding (back to front, so every header follows its contents) -----------

struct Writer {
    std::uint8_t *base;
    std::uint8_t *pos;
    ASN1Context *ctx;
    std::int32_t *err;
    bool overflow = false;

    bool stopped() const { return overflow || *err != 0; }
    std::uint64_t since(const std::uint8_t *mark) const { return static_cast<std::uint64_t>(mark - pos); }
    bool room(std::uint64_t n)
    {
        if (static_cast<std::uint64_t>(pos - base) < n) {
            overflow = true;
            return false;
        }
        return true;
    }
    void put(const std::uint8_t *p, std::uint64_t n)
    {
        if (n == 0 || !room(n))
            return;
        pos -= n;
        std::memcpy(pos, p, n);
    }
    void header(std::uint8_t id, std::uint64_t length)
    {
        if (length > 0xFFFFFFFFu) {
            fail(err, ASN1Error_BadLength);
            return;
        }
        std::uint8_t h[6];
        put(h, asn1EncodeHeader(h, id, length));
    }
};

void writeNode(const TypeDesc &t, void *record, std::uint8_t tag, Writer &w);

void writePrimitive(const TypeDesc &t, void *record, std::uint8_t tag, Writer &w)
{
    switch (t.prim) {
    case Prim::Boolean: {
        const std::uint8_t b[3] = {tag, 1, static_cast<std::uint8_t>(
                                               static_cast<ASN1_Boolean *>(record)->value != 0 ? 0xFF : 0x00)};
        w.put(b, 3);
        return;
    }
    case Prim::Null: {
        const std::uint8_t b[2] = {tag, 0};
        w.put(b, 2);
        return;
    }
    case Prim::Any: {
        auto *a = static_cast<ASN1_Any *>(record);
        if (a->length == 0 || a->data == nullptr)
            return;
        w.put(a->data, a->length);
        if (!w.overflow && tag != ASN1_TAG_ANY)
            w.pos[0] = tag;
        return;
    }
    case Prim::BitString: {
        auto *b = static_cast<ASN1_BitString *>(record);
        if (b->unusedBits < 0 || b->unusedBits > 7) {
            fail(w.err, ASN1Error_BadBitString);
            return;
        }
        const std::uint64_t n = b->data != nullptr ? b->length : 0;
        w.put(b->data, n);
        if (w.overflow)
            return;
        if (n != 0 && b->unusedBits != 0)
            w.pos[n - 1] &= static_cast<std::uint8_t>(0xFF << b->unusedBits);
        const std::uint8_t unused = n == 0 ? 0 : static_cast<std::uint8_t>(b->unusedBits);
        w.put(&unused, 1);
        w.header(tag, n + 1);
        return;
    }
    default: {
        auto *s = static_cast<ASN1_OctetString *>(record);
        if (t.prim == Prim::Integer)
            asn1NormalizeInteger(s);
        if (std::int32_t rc = checkCharacters(t.check, s); rc != 0) {
            fail(w.err, rc);
            return;
        }
        const std::uint64_t n = s->data != nullptr ? s->length : 0;
        w.put(s->data, n);
        w.header(tag, n);
        return;
    }
    }
}

void writeElements(const TypeDesc &t, ASN1_SequenceOf *list, Writer &w)
{
    const MemberDesc &element = t.members[0];
    for (std::int64_t i = list->count - 1; i >= 0 && !w.stopped(); --i)
        if (list->elements[i] != nullptr)
            writeNode(*element.type, list->elements[i], element.code, w);
}

// SET OF in DER order: the elements are written in place, then put in the
// order of their encodings (the shorter one compared as if padded with zero
// octets). Equal elements are kept: X.690 allows them.
void writeSet(const TypeDesc &t, ASN1_SequenceOf *list, Writer &w)
{
    const MemberDesc &element = t.members[0];
    const auto count = static_cast<std::uint64_t>(list->count);
    auto *table = static_cast<ASN1_OctetString *>(allocBlock(w.ctx, count * sizeof(ASN1_OctetString)));
    if (table == nullptr) {
        fail(w.err, ASN1Error_OutOfMemory);
        return;
    }
    std::uint64_t used = 0;
    for (std::int64_t i = list->count - 1; i >= 0 && !w.stopped(); --i) {
        if (list->elements[i] == nullptr)
            continue;
        std::uint8_t *mark = w.pos;
        writeNode(*element.type, list->elements[i], element.code, w);
        table[used++] = ASN1_OctetString{w.since(mark), w.pos};
    }
    if (!w.stopped() && used > 1) {
        std::sort(table, table + used, [](const ASN1_OctetString &a, const ASN1_OctetString &b) {
            return asn1CompareEncodings(&a, &b) < 0;
        });
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; i < used; ++i)
            total += table[i].length;
        auto *scratch = static_cast<std::uint8_t *>(allocBlock(w.ctx, total));
        if (scratch == nullptr) {
            fail(w.err, ASN1Error_OutOfMemory);
        } else {
            std::uint64_t at = 0;
            for (std::uint64_t i = 0; i < used; ++i) {
                std::memcpy(scratch + at, table[i].data, table[i].length);
                at += table[i].length;
            }
            std::memcpy(w.pos, scratch, total);
            releaseBlock(w.ctx, scratch);
        }
    }
    releaseBlock(w.ctx, table);
}

void writeNode(const TypeDesc &t, void *record, std::uint8_t tag, Writer &w)
{
    if (w.stopped())
        return;
    std::uint8_t *start = w.pos;
    switch (t.kind) {
    case Kind::Primitive:
        writePrimitive(t, record, tag, w);
        return;
    case Kind::Sequence: {
        auto *base = static_cast<std::uint8_t *>(record);
        for (std::uint32_t i = t.memberCount; i-- > 0 && !w.stopped();) {
            const MemberDesc &m = t.members[i];
            void *value = base + m.offset;
            if (m.flags & kOptional) {
                value = *static_cast<void **>(value);
                if (value == nullptr)
                    continue;
            }
            std::uint8_t *mark = w.pos;
            writeNode(*m.type, value, m.code, w);
            if (m.wrapper != 0 && !w.stopped())
                w.header(m.wrapper, w.since(mark));
        }
        break;
    }
    case Kind::SequenceOf:
        writeElements(t, static_cast<ASN1_SequenceOf *>(record), w);
        break;
    case Kind::SetOf: {
        auto *list = static_cast<ASN1_SequenceOf *>(record);
        if (list->count <= 1)
            writeElements(t, list, w);
        else
            writeSet(t, list, w);
        break;
    }
    case Kind::Choice: {
        auto *choice = static_cast<ASN1_Choice *>(record);
        const AltDesc *alt = findAlt(t, static_cast<std::uint8_t>(choice->identifier & 0xDF), true);
        if (alt == nullptr || choice->alternative == nullptr) {
            fail(w.err, ASN1Error_NoChoice);
            return;
        }
        writeNode(*alt->type, choice->alternative, alt->code, w);
        if (alt->explicitWrapper != 0 && !w.stopped())
            w.header(alt->explicitWrapper, w.since(start));
        return;
    }
    }
    if (!w.stopped())
        w.header(static_cast<std::uint8_t>(tag | 0x20), w.since(start));
}

std::uint64_t finishHeader(std::uint64_t total, std::int32_t withTag, std::int32_t withWrapper)
{
    if (withTag == 1)
        total = 1 + asn1LengthOfLength(total) + total;
    if (withWrapper == 1)
        total = 1 + asn1LengthOfLength(total) + total;
    return total;
}

} // namespace

// ---- entry points -------------------------------------------------------------------

void *newRecord(const TypeDesc &t, ASN1Context *ctx)
{
    if (ctx == nullptr)
        return nullptr;
    void *record = ctx->allocator->alloc(ctx->allocator, t.size);
    if (record != nullptr)
        std::memset(record, 0, t.size);
    return record;
}

void freeRecord(const TypeDesc &t, ASN1Context *ctx, void *record)
{
    if (ctx == nullptr)
        return;
    freeRecordTree(t, ctx, record, false);
}

void freeContents(const TypeDesc &t, ASN1Context *ctx, void *record)
{
    if (ctx == nullptr || record == nullptr)
        return;
    freeTree(t, ctx, record, false);
}

std::uint64_t unpackContents(const TypeDesc &t, ASN1Context *ctx, void *record, const std::uint8_t *in,
                             std::uint64_t len, std::uint8_t tag, std::int32_t *err)
{
    if (err == nullptr)
        return 0;
    switch (t.kind) {
    case Kind::Primitive:
        return unpackPrimitive(t, ctx, record, in, len, tag, err);
    case Kind::Sequence:
        return unpackSequence(t, ctx, record, in, len, tag, err);
    case Kind::SequenceOf:
    case Kind::SetOf:
        return unpackList(t, ctx, record, in, len, tag, err);
    case Kind::Choice:
        return unpackChoice(t, ctx, record, in, len, err);
    }
    return 0;
}

std::uint64_t unpackAlloc(const TypeDesc &t, ASN1Context *ctx, void **out, const std::uint8_t *in,
                          std::uint64_t len, std::uint8_t tag, std::int32_t *err)
{
    if (err == nullptr)
        return 0;
    *err = 0;
    if (ctx == nullptr) {
        fail(err, ASN1Error_NoContext);
        return 0;
    }
    if (out == nullptr) {
        fail(err, ASN1Error_NullOutput);
        return 0;
    }
    *out = nullptr;
    if (len == 0)
        return 0;
    if (in == nullptr) {
        fail(err, ASN1Error_NullInput);
        return 0;
    }
    if (t.kind != Kind::Choice && !(t.kind == Kind::Primitive && t.prim == Prim::Any)) {
        const bool exact = t.kind == Kind::Primitive && t.exactAlloc;
        if (exact ? in[0] != tag : !masked(in[0], tag))
            return 0;
    }
    void *record = newRecord(t, ctx);
    const std::uint64_t n = unpackContents(t, ctx, record, in, len, tag, err);
    if (*err == 0 && n != 0) {
        *out = record;
        return n;
    }
    if (t.kind == Kind::Choice && *err == ASN1Error_NoChoice)
        *err = 0;
    freeRecord(t, ctx, record);
    return 0;
}

std::uint64_t unpack(const TypeDesc &t, ASN1Context *ctx, void **out, const std::uint8_t *in, std::uint64_t len,
                     std::int32_t *err)
{
    if (err == nullptr)
        return 0;
    const std::uint64_t n = unpackAlloc(t, ctx, out, in, len, t.ownCode, err);
    if (n == 0 && *err == 0)
        fail(err, ASN1Error_Unparsed);
    return n;
}

std::uint64_t sizeContents(const TypeDesc &t, void *record, std::int32_t withTag, std::int32_t withWrapper)
{
    if (record == nullptr)
        return 0;
    std::uint64_t total = 0;
    switch (t.kind) {
    case Kind::Primitive:
        switch (t.prim) {
        case Prim::Integer:
            return asn1SizeContents_Integer(static_cast<ASN1_Integer *>(record), withTag, withWrapper);
        case Prim::BitString:
            return asn1SizeContents_BitString(static_cast<ASN1_BitString *>(record), withTag, withWrapper);
        case Prim::Boolean:
            return asn1SizeContents_Boolean(static_cast<ASN1_Boolean *>(record), withTag, withWrapper);
        case Prim::Null:
            return asn1SizeContents_Null(static_cast<ASN1_Null *>(record), withTag, withWrapper);
        case Prim::Any:
            return asn1SizeContents_Any(static_cast<ASN1_Any *>(record), withTag, withWrapper);
        default:
            return asn1SizeContents_OctetString(static_cast<ASN1_OctetString *>(record), withTag, withWrapper);
        }
    case Kind::Sequence: {
        auto *base = static_cast<std::uint8_t *>(record);
        for (std::uint32_t i = 0; i < t.memberCount; ++i) {
            const MemberDesc &m = t.members[i];
            void *value = base + m.offset;
            if (m.flags & kOptional)
                value = *static_cast<void **>(value);
            total += sizeContents(*m.type, value, 1, m.wrapper != 0 ? 1 : 0);
        }
        break;
    }
    case Kind::SequenceOf:
    case Kind::SetOf: {
        auto *list = static_cast<ASN1_SequenceOf *>(record);
        for (std::int64_t i = 0; i < list->count; ++i)
            total += sizeContents(*t.members[0].type, list->elements[i], 1, 0);
        break;
    }
    case Kind::Choice: {
        auto *choice = static_cast<ASN1_Choice *>(record);
        const AltDesc *alt = findAlt(t, choice->identifier, false);
        if (alt == nullptr)
            return 0;
        if (alt->explicitWrapper != 0)
            return sizeContents(*alt->type, choice->alternative, 1, 1);
        return sizeContents(*alt->type, choice->alternative, withTag, withWrapper);
    }
    }
    return finishHeader(total, withTag, withWrapper);
}

std::uint64_t packContents(const TypeDesc &t, ASN1Context *ctx, std::uint8_t *out, std::uint64_t outLen,
                           void *record, std::uint8_t tag, std::int32_t *err)
{
    if (err == nullptr)
        return 0;
    if (ctx == nullptr) {
        fail(err, ASN1Error_NoContext);
        return 0;
    }
    if (record == nullptr)
        return 0;
    const std::uint64_t total = sizeContents(t, record, 1, 0);
    if (outLen < total) {
        fail(err, ASN1Error_BufferTooSmall);
        return 0;
    }
    if (out == nullptr) {
        fail(err, ASN1Error_NoOutputBuffer);
        return 0;
    }
    Writer w{out, out + total, ctx, err};
    writeNode(t, record, tag, w);
    if (*err != 0)
        return 0;
    if (w.overflow) {
        fail(err, ASN1Error_Overflow);
        return total;
    }
    const std::uint64_t written = w.since(out + total);
    if (written < total)
        fail(err, ASN1Error_General);
    return written;
}

} // namespace qel::asn1
