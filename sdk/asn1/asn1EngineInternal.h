// Type descriptors and the one interpreter that decodes, encodes, sizes and
// frees every record of every schema module from them. The per-type
// functions of the schema modules are thin wrappers over these entry points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "asn1.h"
#include "asn1RuntimeInternal.h"

namespace qel::asn1 {

enum class Kind : std::uint8_t {
    Sequence,   // named members
    SequenceOf, // one element type, record order kept on output
    SetOf,      // one element type, DER order on output
    Choice,     // alternatives selected by the identifier octet
    Primitive,  // a runtime type
};

enum class Prim : std::uint8_t {
    None,
    OctetLike, // OCTET STRING and every string and time type
    Integer,
    ObjectIdentifier,
    BitString,
    Boolean,
    Null,
    Any,
};

enum class Check : std::uint8_t { None, Numeric, Printable };

struct TypeDesc;

// Member flags.
enum : std::uint8_t {
    kOptional = 1,    // held by pointer, null when absent (OPTIONAL or DEFAULT)
    kTrailing = 2,    // optional with no mandatory member after it: end test first
    kMayBeAbsent = 4, // mandatory, but a missing element leaves it empty
    kCount = 8,       // INTEGER that counts something: negative values refused
};

struct MemberDesc {
    const char *name;
    const TypeDesc *type;
    std::uint32_t offset;
    std::uint8_t code;    // tag code given to the member's coders
    std::uint8_t wrapper; // 0, or 0xA0 + n for [n] EXPLICIT
    std::uint8_t flags;
};

struct AltDesc {
    const char *name;
    const TypeDesc *type;
    std::uint8_t select[2]; // identifier octets that select it on input
    std::uint8_t selectCount;
    std::uint8_t code;     // tag code given to the alternative's coders
    std::uint8_t explicitWrapper; // 0, or 0xA0 + n
};

struct TypeDesc {
    const char *name;
    Kind kind;
    Prim prim;
    std::uint8_t ownCode;    // own tag code (primitives: universal number)
    std::uint8_t segmentTag; // primitives: segment identifier of an indefinite constructed form
    Check check;
    bool exactAlloc;         // primitives: UnpackAlloc demands the exact identifier
    bool sensitive;          // wipe everything below before release
    std::uint32_t size;      // record size
    const MemberDesc *members; // Sequence: the members; lists: members[0] is the element
    std::uint32_t memberCount;
    const AltDesc *alts;
    std::uint32_t altCount;
};

// Descriptors of the primitive types (runtime).
extern const TypeDesc descOctetString, descUTF8String, descUniversalString, descBMPString,
    descVisibleString, descT61String, descIA5String, descNumericString, descPrintableString,
    descUTCTime, descGeneralizedTime, descInteger, descObjectIdentifier, descBitString, descBoolean,
    descNull, descAny;

// The interpreter.
void *newRecord(const TypeDesc &t, ASN1Context *ctx);
void freeRecord(const TypeDesc &t, ASN1Context *ctx, void *record);
void freeContents(const TypeDesc &t, ASN1Context *ctx, void *record);
std::uint64_t unpackContents(const TypeDesc &t, ASN1Context *ctx, void *record, const std::uint8_t *in,
                             std::uint64_t len, std::uint8_t tag, std::int32_t *err);
std::uint64_t unpackAlloc(const TypeDesc &t, ASN1Context *ctx, void **out, const std::uint8_t *in,
                          std::uint64_t len, std::uint8_t tag, std::int32_t *err);
std::uint64_t unpack(const TypeDesc &t, ASN1Context *ctx, void **out, const std::uint8_t *in,
                     std::uint64_t len, std::int32_t *err);
std::uint64_t packContents(const TypeDesc &t, ASN1Context *ctx, std::uint8_t *out, std::uint64_t outLen,
                           void *record, std::uint8_t tag, std::int32_t *err);
std::uint64_t sizeContents(const TypeDesc &t, void *record, std::int32_t withTag, std::int32_t withWrapper);

// Layout checks of the generated records: the descriptor's members follow
// the record's fields in order, without overlap, inside the record.
constexpr bool membersFitRecord(const MemberDesc *m, std::uint32_t count, std::size_t recordSize,
                                const std::size_t *fieldSizes)
{
    std::size_t next = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (m[i].offset < next)
            return false;
        next = m[i].offset + fieldSizes[i];
    }
    return next <= recordSize;
}

} // namespace qel::asn1

// The ten operations of one generated type, each a thin wrapper over the
// interpreter with the type's descriptor.
#define ASN1_TYPE_OPERATIONS(P, T, R, D)                                                                       \
    R *P##New_##T(ASN1Context *ctx) { return static_cast<R *>(::qel::asn1::newRecord(D, ctx)); }              \
    uint64_t P##Unpack_##T(ASN1Context *ctx, R **out, const uint8_t *in, uint64_t inLen, int32_t *err)        \
    {                                                                                                          \
        return ::qel::asn1::unpack(D, ctx, reinterpret_cast<void **>(out), in, inLen, err);                    \
    }                                                                                                          \
    uint64_t P##Pack_##T(ASN1Context *ctx, uint8_t *out, uint64_t outLen, R *record, int32_t *err)            \
    {                                                                                                          \
        return ::qel::asn1::packContents(D, ctx, out, outLen, record, D.ownCode, err);                         \
    }                                                                                                          \
    uint64_t P##Sizeof_##T(ASN1Context *, R *record, int32_t withTag)                                         \
    {                                                                                                          \
        return ::qel::asn1::sizeContents(D, record, withTag, 0);                                               \
    }                                                                                                          \
    void P##Free_##T(ASN1Context *ctx, R *record) { ::qel::asn1::freeRecord(D, ctx, record); }                \
    uint64_t P##UnpackAlloc_##T(ASN1Context *ctx, R **out, const uint8_t *in, uint64_t inLen, uint8_t tag,    \
                                int32_t *err)                                                                  \
    {                                                                                                          \
        return ::qel::asn1::unpackAlloc(D, ctx, reinterpret_cast<void **>(out), in, inLen, tag, err);          \
    }                                                                                                          \
    uint64_t P##UnpackContents_##T(ASN1Context *ctx, R *record, const uint8_t *in, uint64_t inLen,            \
                                   uint8_t tag, int32_t *err)                                                  \
    {                                                                                                          \
        return ::qel::asn1::unpackContents(D, ctx, record, in, inLen, tag, err);                               \
    }                                                                                                          \
    uint64_t P##PackContents_##T(ASN1Context *ctx, uint8_t *out, uint64_t outLen, R *record, uint8_t tag,     \
                                 int32_t *err)                                                                 \
    {                                                                                                          \
        return ::qel::asn1::packContents(D, ctx, out, outLen, record, tag, err);                               \
    }                                                                                                          \
    uint64_t P##SizeContents_##T(R *record, int32_t withTag, int32_t withWrapper)                             \
    {                                                                                                          \
        return ::qel::asn1::sizeContents(D, record, withTag, withWrapper);                                     \
    }                                                                                                          \
    void P##FreeContents_##T(ASN1Context *ctx, R *record) { ::qel::asn1::freeContents(D, ctx, record); }

// Unpack and Pack of a string type declared by a schema module.
#define ASN1_STRING_OPERATIONS(P, S, D, CODE)                                                                  \
    uint64_t P##Unpack_##S(ASN1Context *ctx, ASN1_OctetString **out, const uint8_t *in, uint64_t inLen,       \
                           int32_t *err)                                                                       \
    {                                                                                                          \
        return ::qel::asn1::unpack(D, ctx, reinterpret_cast<void **>(out), in, inLen, err);                    \
    }                                                                                                          \
    uint64_t P##Pack_##S(ASN1Context *ctx, uint8_t *out, uint64_t outLen, ASN1_OctetString *record,           \
                         int32_t *err)                                                                         \
    {                                                                                                          \
        return asn1PackContents_OctetString(ctx, out, outLen, record, CODE, err);                              \
    }
