// Internal half of the ASN.1 runtime: the identifier and length coders and
// the internal per-type operations of the primitive types, which the type
// descriptors' interpreter and the certificate toolkit call.
#pragma once

#include <cstdint>

#include "asn1.h"

extern "C" {

void asn1ErrorHook(int32_t code);

uint64_t asn1LengthOfLength(uint64_t n);
uint64_t asn1TLVSize(uint64_t n, int32_t force);
uint64_t asn1PutByte(uint8_t *out, uint8_t octet);
uint64_t asn1CopyByte(const uint8_t *src, uint8_t *dst);
uint64_t asn1EncodeLength(uint8_t *out, uint64_t n);
uint64_t asn1EncodeHeader(uint8_t *out, uint8_t tag, uint64_t n);
// Reads the length field at p, at most avail octets; returns its size, or 0
// when it does not fit in avail or needs more than eight length octets.
uint64_t asn1DecodeLength(const uint8_t *p, uint64_t avail, uint64_t *n);
uint64_t asn1MatchTag(const uint8_t *p, uint64_t avail, uint8_t tag, uint64_t *n);
uint64_t asn1IndefiniteLength(const uint8_t *p, uint64_t len, int32_t *err);
int asn1CompareEncodings(const void *a, const void *b);

void *asn1DefaultAlloc(ASN1Allocator *self, uint64_t size);
int32_t asn1DefaultRealloc(ASN1Allocator *self, void **block, uint64_t newSize);
int32_t asn1DefaultFree(ASN1Allocator *self, void *block);

void asn1NormalizeInteger(ASN1_Integer *record);

uint64_t asn1UnpackPrimitive(ASN1Context *ctx, uint8_t tag, uint8_t segmentTag, ASN1_OctetString *record,
                             const uint8_t *in, uint64_t inLen, int32_t *err);
uint64_t asn1PackPrimitive(ASN1Context *ctx, uint8_t tag, int32_t hasUnusedBits, int32_t unusedBits,
                           uint8_t *out, uint64_t outLen, ASN1_OctetString *record, int32_t *err);

#define ASN1_PRIMITIVE_INTERNAL(T, R)                                                                \
    uint64_t asn1UnpackAlloc_##T(ASN1Context *ctx, R **out, const uint8_t *in, uint64_t inLen,      \
                                 uint8_t tag, int32_t *err);                                        \
    uint64_t asn1UnpackContents_##T(ASN1Context *ctx, R *record, const uint8_t *in, uint64_t inLen, \
                                    uint8_t tag, int32_t *err);                                     \
    uint64_t asn1PackContents_##T(ASN1Context *ctx, uint8_t *out, uint64_t outLen, R *record,       \
                                  uint8_t tag, int32_t *err);

ASN1_PRIMITIVE_INTERNAL(OctetString, ASN1_OctetString)
ASN1_PRIMITIVE_INTERNAL(BitString, ASN1_BitString)
ASN1_PRIMITIVE_INTERNAL(Boolean, ASN1_Boolean)
ASN1_PRIMITIVE_INTERNAL(Null, ASN1_Null)
ASN1_PRIMITIVE_INTERNAL(Integer, ASN1_Integer)
ASN1_PRIMITIVE_INTERNAL(ObjectIdentifier, ASN1_ObjectIdentifier)
ASN1_PRIMITIVE_INTERNAL(Any, ASN1_Any)
ASN1_PRIMITIVE_INTERNAL(NumericString, ASN1_OctetString)
ASN1_PRIMITIVE_INTERNAL(PrintableString, ASN1_OctetString)
ASN1_PRIMITIVE_INTERNAL(T61String, ASN1_OctetString)
ASN1_PRIMITIVE_INTERNAL(IA5String, ASN1_OctetString)
ASN1_PRIMITIVE_INTERNAL(VisibleString, ASN1_OctetString)
ASN1_PRIMITIVE_INTERNAL(UTCTime, ASN1_OctetString)
ASN1_PRIMITIVE_INTERNAL(GeneralizedTime, ASN1_OctetString)
#undef ASN1_PRIMITIVE_INTERNAL

uint64_t asn1SizeContents_OctetString(ASN1_OctetString *record, int32_t withTag, int32_t withWrapper);
uint64_t asn1SizeContents_Integer(ASN1_Integer *record, int32_t withTag, int32_t withWrapper);
uint64_t asn1SizeContents_BitString(ASN1_BitString *record, int32_t withTag, int32_t withWrapper);
uint64_t asn1SizeContents_Boolean(ASN1_Boolean *record, int32_t withTag, int32_t withWrapper);
uint64_t asn1SizeContents_Null(ASN1_Null *record, int32_t withTag, int32_t withWrapper);
uint64_t asn1SizeContents_Any(ASN1_Any *record, int32_t withTag, int32_t withWrapper);
void asn1FreeContents_OctetString(ASN1Context *ctx, ASN1_OctetString *record);
void asn1FreeContents_BitString(ASN1Context *ctx, ASN1_BitString *record);
void asn1FreeContents_Boolean(ASN1Context *ctx, ASN1_Boolean *record);
void asn1FreeContents_Null(ASN1Context *ctx, ASN1_Null *record);

} // extern "C"
