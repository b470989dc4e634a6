/* ASN.1 codec runtime: the codec context and its allocator, status codes,
 * the records of the primitive types and their public operations.
 *
 * Every decoder takes a pointer to a signed 32-bit status that the caller
 * sets to 0 and returns the number of octets consumed; 0 octets with status 0
 * means that the element is absent. Encoding is two-pass: size the record
 * with asn1Sizeof_T(ctx, record, 1), provide that many octets, clear the
 * status and call asn1Pack_T. */
#ifndef ASN1_H
#define ASN1_H

#include <stddef.h>
#include <stdint.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Codec status codes. */
enum ASN1ErrorCode {
    ASN1Error_General = -1,
    ASN1Error_Overflow = -2,
    ASN1Error_BadBitString = -3,   /* unused-bit count above 7, or unused bits without data */
    ASN1Error_NestingTooDeep = -4, /* nested indefinite lengths deeper than ASN1_MAX_NESTING */
    ASN1Error_NoOutputBuffer = -5,
    ASN1Error_NullOutput = -6,
    ASN1Error_NullInput = -7,
    ASN1Error_BadLength = -8,      /* a length field that cannot be represented */
    ASN1Error_Truncated = -9,
    ASN1Error_Unparsed = -10,
    ASN1Error_BadBoolean = -11,
    ASN1Error_LengthMismatch = -12,
    ASN1Error_NegativeCount = -13, /* a negative INTEGER where a count is expected */
    ASN1Error_BadNull = -14,
    ASN1Error_DuplicateSetElement = -16,
    ASN1Error_OutOfMemory = -17,
    ASN1Error_BufferTooSmall = -18,
    ASN1Error_BadTag = -19,
    ASN1Error_NoContext = -20,
    ASN1Error_NoChoice = -50,
    ASN1Error_BadNumericString = -60,
    ASN1Error_BadPrintableString = -61
};

/* Indefinite lengths and nested elements are followed at most this deep. */
#define ASN1_MAX_NESTING 64

/* Tag codes that the coders pass to one another. */
#define ASN1_TAG_SEQUENCE 16
#define ASN1_TAG_SET 17
#define ASN1_TAG_CHOICE 252
#define ASN1_TAG_ANY 254

typedef struct ASN1Allocator ASN1Allocator;

/* The codec's memory interface; every slot receives the allocator first. */
struct ASN1Allocator {
    void *userData;
    void *(*alloc)(ASN1Allocator *self, uint64_t size);
    /* Grows the block whose address is stored at *block (which may be null);
     * 0 and the new address stored there, or ASN1Error_OutOfMemory with the
     * stored address unchanged. */
    int32_t (*realloc)(ASN1Allocator *self, void **block, uint64_t newSize);
    int32_t (*free)(ASN1Allocator *self, void *block);
};

typedef struct ASN1Context {
    uint64_t reserved;
    ASN1Allocator *allocator;
} ASN1Context;

/* The allocator over the platform's malloc, realloc and free. */
extern QEL_API ASN1Allocator asn1DefaultAllocator;

/* Primitive records. OCTET STRING, every character-string and time type,
 * INTEGER (big-endian two's complement), OBJECT IDENTIFIER (content octets)
 * and ANY (one whole element as read) share one layout. */
typedef struct ASN1_OctetString {
    uint64_t length;
    uint8_t *data;
} ASN1_OctetString;
typedef ASN1_OctetString ASN1_Integer;
typedef ASN1_OctetString ASN1_ObjectIdentifier;
typedef ASN1_OctetString ASN1_Any;

typedef struct ASN1_BitString {
    uint64_t length; /* data octets, without the unused-bits octet */
    uint8_t *data;
    int32_t unusedBits;
} ASN1_BitString;

typedef struct ASN1_Boolean {
    uint64_t length;
    int32_t value;
} ASN1_Boolean;

typedef struct ASN1_Null {
    uint64_t reserved;
} ASN1_Null;

/* Layout of every SEQUENCE OF and SET OF record. */
typedef struct ASN1_SequenceOf {
    int64_t count;
    void **elements;
} ASN1_SequenceOf;

/* Layout of every CHOICE record: the identifier octet of the chosen
 * alternative as read, and the alternative's record. */
typedef struct ASN1_Choice {
    uint8_t identifier;
    void *alternative;
} ASN1_Choice;

/* Public operations of the primitive types. */
#define ASN1_PRIMITIVE_PUBLIC(T, R)                                                          \
    QEL_API uint64_t asn1Unpack_##T(ASN1Context *ctx, R **out, const uint8_t *in,          \
                                    uint64_t inLen, int32_t *err);                           \
    QEL_API uint64_t asn1Pack_##T(ASN1Context *ctx, uint8_t *out, uint64_t outLen, R *record, \
                                  int32_t *err);

QEL_API ASN1_OctetString *asn1New_OctetString(ASN1Context *ctx);
QEL_API void asn1Free_OctetString(ASN1Context *ctx, ASN1_OctetString *record);
QEL_API uint64_t asn1Sizeof_OctetString(ASN1Context *ctx, ASN1_OctetString *record, int32_t withTag);
QEL_API ASN1_BitString *asn1New_BitString(ASN1Context *ctx);
QEL_API void asn1Free_BitString(ASN1Context *ctx, ASN1_BitString *record);
QEL_API uint64_t asn1Sizeof_BitString(ASN1Context *ctx, ASN1_BitString *record, int32_t withTag);
QEL_API ASN1_Boolean *asn1New_Boolean(ASN1Context *ctx);
QEL_API void asn1Free_Boolean(ASN1Context *ctx, ASN1_Boolean *record);
QEL_API uint64_t asn1Sizeof_Boolean(ASN1Context *ctx, ASN1_Boolean *record, int32_t withTag);
QEL_API ASN1_Null *asn1New_Null(ASN1Context *ctx);
QEL_API void asn1Free_Null(ASN1Context *ctx, ASN1_Null *record);
QEL_API uint64_t asn1Sizeof_Null(ASN1Context *ctx, ASN1_Null *record, int32_t withTag);
QEL_API uint64_t asn1Sizeof_Integer(ASN1Context *ctx, ASN1_Integer *record, int32_t withTag);
QEL_API uint64_t asn1Sizeof_Any(ASN1Context *ctx, ASN1_Any *record, int32_t withTag);

ASN1_PRIMITIVE_PUBLIC(OctetString, ASN1_OctetString)
ASN1_PRIMITIVE_PUBLIC(BitString, ASN1_BitString)
ASN1_PRIMITIVE_PUBLIC(Boolean, ASN1_Boolean)
ASN1_PRIMITIVE_PUBLIC(Null, ASN1_Null)
ASN1_PRIMITIVE_PUBLIC(Integer, ASN1_Integer)
ASN1_PRIMITIVE_PUBLIC(ObjectIdentifier, ASN1_ObjectIdentifier)
ASN1_PRIMITIVE_PUBLIC(Any, ASN1_Any)
ASN1_PRIMITIVE_PUBLIC(NumericString, ASN1_OctetString)
ASN1_PRIMITIVE_PUBLIC(PrintableString, ASN1_OctetString)
ASN1_PRIMITIVE_PUBLIC(T61String, ASN1_OctetString)
ASN1_PRIMITIVE_PUBLIC(IA5String, ASN1_OctetString)
ASN1_PRIMITIVE_PUBLIC(VisibleString, ASN1_OctetString)
ASN1_PRIMITIVE_PUBLIC(UTCTime, ASN1_OctetString)
ASN1_PRIMITIVE_PUBLIC(GeneralizedTime, ASN1_OctetString)
#undef ASN1_PRIMITIVE_PUBLIC

/* Setters and getters: the toolkit's way to fill and read records. Each
 * setter releases the record's old data first and returns 0,
 * ASN1Error_NoContext or ASN1Error_General. */
QEL_API int32_t asn1SetOctetString(ASN1Context *ctx, ASN1_OctetString *record, const uint8_t *bytes, uint64_t n);
QEL_API int32_t asn1SetOctetStringFromCString(ASN1Context *ctx, ASN1_OctetString *record, const char *text);
QEL_API char *asn1OctetStringToCString(ASN1Context *ctx, ASN1_OctetString *record);
QEL_API int32_t asn1SetBitString(ASN1Context *ctx, ASN1_BitString *record, const uint8_t *bytes, uint64_t n,
                                 int32_t unusedBits);
QEL_API int32_t asn1SetUnsignedInteger(ASN1Context *ctx, ASN1_Integer *record, const uint8_t *bytes, uint64_t n);
QEL_API int32_t asn1SetIntegerValue(ASN1Context *ctx, ASN1_Integer *record, int32_t value);
/* The value of a non-negative INTEGER of at most four content octets; a
 * negative value, more octets, no data or no record give status -1. */
QEL_API uint64_t asn1GetIntegerValue(ASN1Context *ctx, ASN1_Integer *record, int32_t *err);
QEL_API int32_t asn1SetBoolean(ASN1Context *ctx, ASN1_Boolean *record, int32_t value);
QEL_API int32_t asn1GetBoolean(ASN1Context *ctx, ASN1_Boolean *record);
/* Appends an element record to any SEQUENCE OF or SET OF record. */
QEL_API int32_t asn1AppendElement(ASN1Context *ctx, void *element, void *list);

#ifdef __cplusplus
}
#endif

#endif /* ASN1_H */
