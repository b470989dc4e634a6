// A certificate subject as a caller describes it: a flat array of numbered
// attributes. The key layer reads the array from the options and adds the
// key-creation attribute; the PKI layer renders it into names and
// extensions.
#pragma once

#include <cstdint>

struct QELCertAttribute {
    std::int32_t id;
    std::uint64_t length; // 0: given but empty
    // Not zero-terminated. For QELCertAttr_EmbedEmail the pointer's low
    // octet is the flag itself: non-zero means yes.
    const std::uint8_t *value;
    std::uint64_t reserved; // not read; callers set 0
};
static_assert(sizeof(QELCertAttribute) == 32);

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
