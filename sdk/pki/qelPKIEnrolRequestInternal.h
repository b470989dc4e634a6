// CA enrolment requests: a PKCS #10 request for a database key, signed by
// the key itself, and for the web-form CA the request's details as a
// URL-encoded form body, checked against the fields each certificate type
// accepts, wrapped together with the request.
#pragma once

#include <cstdint>

#include "asn1.h"
#include "qelCertAttributeInternal.h"
#include "qelContext.h"
#include "qelErrors.h"

struct QELKeyObject;
struct QELOptionList;

// Request classes that change what is built.
inline constexpr std::int32_t kQELEnrolClassWebForm = 11002;

// The DER request (the DER form request for the web-form class) in a new
// block of the context's memory manager, freed with qelMemFree; null and 0
// after a failure. The option list unlocks the key and is released on
// every path.
[[nodiscard]] QELStatus qelCACreateEnrolmentRequest(QELContext *context, QELKeyObject *key, std::int32_t requestClass,
                                                    const QELCertAttribute *attributes, std::uint32_t count,
                                                    QELOptionList *options, std::uint8_t **out,
                                                    std::uint64_t *outLength);

extern "C" {

// One form field; a list ends with a null name.
typedef struct QELFormField {
    const char *name;
    uint64_t length;
    const uint8_t *value; // not zero-terminated
} QELFormField;

enum QELFormStatus {
    QELFormStatus_BadCharacter = -1,
    QELFormStatus_MissingField = -3,
    QELFormStatus_UnknownField = -4,
    QELFormStatus_WrongCertType = -5,
    QELFormStatus_NotYesNo = -6,
    QELFormStatus_TooLong = -7,
    QELFormStatus_NotYesNoPending = -8,
};

// The body for certificate type 0 (end-user), 1 (ipsec) or 2 (server), a
// zero-terminated block of the codec allocator; a form status and no body
// when a field breaks the type's table.
int32_t qelFormEncodeFields(ASN1Context *codec, int32_t certType, const QELFormField *fields, char **outBody);
// Appends one octet, growing the buffer 4 octets at a time; null when it
// cannot grow (the old buffer is then freed).
uint8_t *qelFormAppendByte(ASN1Context *codec, uint8_t octet, uint8_t *buffer, uint64_t *count, uint64_t *capacity);
int qelFormCharIsPrintable(uint8_t octet);
int qelFormCharIsMail(uint8_t octet);
// DER EnrolFormRequest {request, body} in a new block of the codec
// allocator: 0, or -9 with no output.
int32_t qelFormWrapRequest(ASN1Context *codec, const uint8_t *request, uint64_t requestLength, const char *body,
                           uint8_t **out, uint64_t *outLength);
// The code a form status stands for.
QELStatus qelFormStatusToError(int32_t status);

} // extern "C"
