// Object identifiers between dotted text and DER content octets, times
// between seconds since 1970 and the two ASN.1 time types, and text between
// UTF-8 and 16-bit units.
#pragma once

#include <cstdint>
#include <string>

#include "asn1PKIX.h"
#include "qelPKIContextInternal.h"

extern "C" {

// A broken-down UTC time: month 0-11, year minus 1900.
typedef struct QELPKITimeFields {
    int32_t second;
    int32_t minute;
    int32_t hour;
    int32_t day;
    int32_t month;
    int32_t year;
} QELPKITimeFields;

// Dotted text to a new OID record from the codec's allocator; null for text
// that is not two or more decimal arcs (each at most 2^64-1) or for no memory.
ASN1_ObjectIdentifier *qelPKIOIDFromText(const char *text, ASN1Context *codec);
// Dotted text to content octets from the toolkit's allocator: 0, -1 (null
// outputs or text that is no OID) or -3.
QEL_MUST_CHECK int32_t qelPKIOIDTextToDER(uint8_t **octets, uint64_t *length, const char *text,
                                          QELPKIContext *context);
// Content octets to dotted text from the codec's allocator; null for
// malformed octets, an arc above 2^64-1 or no memory.
char *qelPKIOIDToText(const ASN1_ObjectIdentifier *oid, ASN1Context *codec);

QEL_MUST_CHECK int32_t qelPKIUTCTimeFromSeconds(ASN1_OctetString **out, int64_t seconds, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIGeneralizedTimeFromSeconds(ASN1_OctetString **out, int64_t seconds,
                                                        QELPKIContext *context);
// Seconds of a time text; 0 for text that does not parse.
int64_t qelPKIUTCTimeToSeconds(const ASN1_OctetString *record);
int64_t qelPKIGeneralizedTimeToSeconds(const ASN1_OctetString *record);
// Seconds of a Time choice; -1 for null or an unknown choice.
int64_t qelPKITimeToSeconds(const ASN1_Time *time);
// Seconds of broken-down fields; -1 when a field is out of its range.
int64_t qelPKITimeFromFields(const QELPKITimeFields *fields);

uint64_t qelUTF8ToUTF16(const uint8_t *text, uint64_t limit, uint16_t *out, uint64_t room, uint64_t *count);
// The UTF-8 conversion above reports invalid text as 0 units, which an
// empty text gives too; this form tells them apart: 0 with the units (and
// the octets read up to the limit or a zero octet), QELError_BadParams for
// text that is not UTF-8, QELError_BufferTooSmall when out (given) has no
// room for the units and a terminating zero.
QEL_MUST_CHECK int32_t qelUTF8ToUTF16Checked(const uint8_t *text, uint64_t limit, uint16_t *out, uint64_t room,
                                             uint64_t *outUnits, uint64_t *outConsumed);
uint64_t qelUTF8ToUCS2(const uint8_t *text, uint64_t limit, uint16_t *out, uint64_t room, uint64_t *count);
uint64_t qelUTF16ToUTF8(const uint16_t *units, uint64_t limit, uint8_t *out, uint64_t room, uint64_t *count);
uint64_t qelUCS2ToUTF8(const uint16_t *units, uint64_t limit, uint8_t *out, uint64_t room, uint64_t *count);
int32_t qelHasNonASCII(const uint8_t *text, uint64_t limit);
int32_t qelUTF8IsInvalid(const uint8_t *text, uint64_t limit);

} // extern "C"

namespace qel::pki {

// Content octets to dotted text; false for malformed octets or an arc above
// 2^64-1. Throws std::bad_alloc.
bool oidBytesToText(const std::uint8_t *p, std::uint64_t n, std::string &out);

// Appends the base-128 form of one sub-identifier.
template <typename Out>
void putSubidentifier(Out &out, std::uint64_t v)
{
    std::uint8_t tmp[10];
    int n = 0;
    do {
        tmp[n++] = static_cast<std::uint8_t>(v & 0x7F);
        v >>= 7;
    } while (v != 0);
    while (n > 1)
        out.push_back(static_cast<std::uint8_t>(tmp[--n] | 0x80));
    out.push_back(tmp[0]);
}

} // namespace qel::pki
