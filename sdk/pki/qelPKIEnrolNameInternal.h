// A certificate subject given as a flat list of numbered attributes, turned
// into distinguished-name text, a DER Name and DER Extensions
// (subjectAltName and extensions passed through) for requests and issued
// certificates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "asn1PKIX.h"
#include "qelContext.h"
#include "qelErrors.h"
#include "qelMemory.h"
#include "qelKeyIOExportInternal.h"
#include "qelPKIContextInternal.h"

// QELCertAttribute (one attribute as a caller gives it: its id in `kind`,
// its value in `data`; for QELCertAttr_EmbedEmail `data` holds the flag
// itself, a non-zero low octet meaning yes) is the key layer's, which
// reads it from the options.
enum QELCertAttr {
    QELCertAttr_CommonName = 0,
    QELCertAttr_Email = 1,
    QELCertAttr_Organization = 2,
    QELCertAttr_OrganizationalUnit = 3,
    QELCertAttr_Surname = 4,
    QELCertAttr_SerialNumber = 5,
    QELCertAttr_Country = 6,
    QELCertAttr_Locality = 7,
    QELCertAttr_StateOrProvince = 8,
    QELCertAttr_Street = 9,
    QELCertAttr_Title = 10,
    QELCertAttr_Description = 11,
    QELCertAttr_PostalCode = 12,
    QELCertAttr_PostOfficeBox = 13,
    QELCertAttr_PhysicalDeliveryOfficeName = 14,
    QELCertAttr_TelephoneNumber = 15,
    QELCertAttr_X121Address = 16,
    QELCertAttr_ISDN = 17,
    QELCertAttr_DestinationIndicator = 18,
    QELCertAttr_Name = 19,
    QELCertAttr_GivenName = 20,
    QELCertAttr_Initials = 21,
    QELCertAttr_HouseIdentifier = 22,
    QELCertAttr_DmdName = 23,
    QELCertAttr_DomainComponent = 24,
    QELCertAttr_UnstructuredName = 25,
    QELCertAttr_UnstructuredAddress = 26,
    QELCertAttr_RFC822Name = 27,
    QELCertAttr_DNSName = 28,
    QELCertAttr_IPAddress = 30,
    QELCertAttr_Extension = 31,
    QELCertAttr_OnsiteToken = 32,
    QELCertAttr_Challenge = 33,
    QELCertAttr_CertType = 34,
    QELCertAttr_MailFirstName = 35,
    QELCertAttr_MailMiddleName = 36,
    QELCertAttr_MailLastName = 37,
    QELCertAttr_EmployeeID = 38,
    QELCertAttr_MailStop = 39,
    QELCertAttr_AdditionalField4 = 40,
    QELCertAttr_AdditionalField5 = 41,
    QELCertAttr_AdditionalField6 = 42,
    QELCertAttr_Authenticate = 43,
    QELCertAttr_EmbedEmail = 1001,
};

// The request class that issuing a certificate renders with; CA requests
// use 11000 and above, and 11003 and 11004 change the rendering.
inline constexpr std::int32_t kQELCertClassIssue = 10000;

// The subject text in a new zero-terminated block of the memory manager
// (freed with qelMemFree); every value is escaped so that it reads back as
// one attribute value. An attribute list that renders nothing gives "".
[[nodiscard]] QELStatus qelDNTextFromAttributes(QELMemoryMgr *mgr, std::int32_t requestClass,
                                                const QELCertAttribute *attributes, std::uint32_t count,
                                                char **outText);
// Appends keyword=escaped value and the separator to the growing text.
[[nodiscard]] QELStatus qelDNAppendAttribute(QELMemoryMgr *mgr, const char *separator, const char *keyword,
                                             const std::uint8_t *value, std::uint64_t length, char **inOutText,
                                             std::size_t *inOutSize);
// DER Name of DN text, in a new block of the context's memory manager.
[[nodiscard]] QELStatus qelDNTextToDER(QELContext *context, const char *text, std::uint8_t **outDER,
                                       std::uint64_t *outLength);
[[nodiscard]] QELStatus qelDNFromAttributes(QELContext *context, const QELCertAttribute *attributes,
                                            std::uint32_t count, std::uint8_t **outDER, std::uint64_t *outLength);
// DER Extensions of the attributes (null and 0 when they yield none).
[[nodiscard]] QELStatus qelExtensionsFromAttributes(QELContext *context, const QELCertAttribute *attributes,
                                                    std::uint32_t count, std::uint8_t **outDER,
                                                    std::uint64_t *outLength);
// Appends the passed-through extensions, then one subjectAltName of the
// alternative names, to the record.
[[nodiscard]] QELStatus qelBuildAttributeExtensions(const QELCertAttribute *attributes, std::uint32_t count,
                                                    QELPKIContext *context, ASN1_Extensions *extensions);
[[nodiscard]] QELStatus qelAddGeneralName(ASN1Context *codec, std::int32_t alternative, const std::uint8_t *value,
                                          std::uint64_t length, ASN1_GeneralNames *names);
