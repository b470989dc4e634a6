// Distinguished names as RFC 4514 text and back, over the context's list of
// attribute keywords, OIDs and default string types.
#pragma once

#include <string>

#include <cstdint>

#include "asn1PKIX.h"
#include "qelPKIContextInternal.h"

extern "C" {

// One row of the built-in attribute table.
typedef struct QELDNAttributeInfo {
    const char *keyword;
    uint8_t oid[12];
    uint32_t oidLength;
    uint32_t defaultTag;
} QELDNAttributeInfo;

// The 30 built-in attributes, ended by a row with a null keyword.
extern const QELDNAttributeInfo qelDNAttributeTable[31];

QEL_MUST_CHECK int32_t qelPKIDNAttributesLoad(QELDNAttribute **list, ASN1Allocator *allocator);
void qelPKIDNAttributesFree(QELDNAttribute *list, ASN1Allocator *allocator);
QEL_MUST_CHECK int32_t qelPKIDNAttributeAdd(const uint8_t *oid, uint64_t oidLength, const char *keyword,
                                            int32_t defaultTag, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIDNAttributeSetType(const uint8_t *oid, uint64_t oidLength, int32_t tag,
                                                QELPKIContext *context);

char *qelPKIAttributeValueToText(const ASN1_AttributeTypeAndValue *ava, QELPKIContext *context);
char *qelPKIRDNToText(const ASN1_RelativeDistinguishedName *rdn, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKINameToText(char **text, const ASN1_Name *name, QELPKIContext *context);
// which: 0 subject, 1 issuer of a QELPKICertificate; 3 subject of an
// ASN1_CertificationRequest.
QEL_MUST_CHECK int32_t qelPKIGetNameText(char **text, const void *object, int32_t which, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIRDNFromText(ASN1_RelativeDistinguishedName *rdn, const char *text,
                                         QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKINameFromText(ASN1_Name *name, const char *text, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKINameNew(ASN1_Name **name, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKINameFree(ASN1_Name *name, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKINameCopy(ASN1_Name **out, const ASN1_Name *source, QELPKIContext *context);
// which: 0 subject, 1 issuer of a QELPKICertificate; 2 issuer of an
// ASN1_CertificateList; 3 subject of an ASN1_CertificationRequest.
QEL_MUST_CHECK int32_t qelPKIGetNameCopy(ASN1_Name **out, const void *object, int32_t which, QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKINameAddAttribute(ASN1_Name *name, const uint8_t *oid, uint64_t oidLength,
                                              const uint8_t *value, uint64_t valueLength, QELPKIContext *context);
// The text (from the platform's malloc) of the first relative name whose
// first pair has the keyword and a Numeric, Printable or IA5 string value.
QEL_MUST_CHECK int32_t qelPKINameGetAttributeText(char **text, const ASN1_Name *name, const char *keyword,
                                                  QELPKIContext *context);
int32_t qelPKIIsValidUTF8(const uint8_t *text, uint64_t limit);
// Cuts white space from the end of text, stopping at one that a backslash
// escapes.
void qelPKITrimTrailingSpace(char *text);

QEL_MUST_CHECK int32_t qelPKIAttributeValueSet(ASN1_AttributeTypeAndValue *ava, const uint8_t *oid,
                                               uint64_t oidLength, const uint8_t *value, uint64_t valueLength,
                                               QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIAttributeValueSetContent(ASN1_AttributeTypeAndValue *ava, const uint8_t *oid,
                                                      uint64_t oidLength, uint8_t tag, const uint8_t *content,
                                                      uint64_t contentLength, QELPKIContext *context);
// Splits one whole stored element into identifier, content and length; -1
// when the record is not exactly one element with a definite length.
QEL_MUST_CHECK int32_t qelPKIElementHeader(uint8_t *identifier, const uint8_t **content, uint64_t *contentLength,
                                           const ASN1_OctetString *element);

} // extern "C"

namespace qel::pki {

// True when bytes hold exactly one element: a low-tag-number identifier, a
// minimal definite length, and that many content octets.
bool splitElement(const std::uint8_t *p, std::uint64_t n, std::uint8_t &tag, const std::uint8_t *&content,
                  std::uint64_t &contentLength);

// Appends a value as DN text, escaped as RFC 4514 asks (the specials, a
// leading space or '#', a trailing space, control octets as hex pairs), so
// that the parser reads it back as one value.
void escapeDNValue(std::string &out, const std::uint8_t *value, std::uint64_t length);

} // namespace qel::pki
