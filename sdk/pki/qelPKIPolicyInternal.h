// Codecs of certificatePolicies (with CPS-pointer and user-notice
// qualifiers), policyMappings and subjectDirectoryAttributes.
#pragma once

#include <cstdint>

#include "asn1PKIX.h"
#include "qelPKIContextInternal.h"

extern "C" {

typedef struct QELPKINoticeReference {
    char *organization;
    int32_t numberCount;
    int32_t **noticeNumbers;
} QELPKINoticeReference;

typedef struct QELPKIUserNotice {
    QELPKINoticeReference *noticeRef;
    char *explicitText;
} QELPKIUserNotice;

// kind 0: value is the CPS URI text; kind 1: a QELPKIUserNotice.
typedef struct QELPKIPolicyQualifier {
    int32_t kind;
    void *value;
} QELPKIPolicyQualifier;

typedef struct QELPKIPolicyInformation {
    uint8_t *policyIdentifier;
    uint64_t policyIdentifierLength;
    int32_t qualifierCount;
    QELPKIPolicyQualifier **qualifiers;
} QELPKIPolicyInformation;

typedef struct QELPKICertificatePolicies {
    int32_t count;
    QELPKIPolicyInformation **items;
} QELPKICertificatePolicies;

typedef struct QELPKIPolicyMapping {
    uint8_t *issuerDomainPolicy;
    uint64_t issuerDomainPolicyLength;
    uint8_t *subjectDomainPolicy;
    uint64_t subjectDomainPolicyLength;
} QELPKIPolicyMapping;

typedef struct QELPKIPolicyMappings {
    int32_t count;
    QELPKIPolicyMapping **items;
} QELPKIPolicyMappings;

typedef struct QELPKIAttribute {
    uint8_t *attributeType;
    uint64_t attributeTypeLength;
    int32_t valueCount;
    uint8_t **values;
    uint64_t *valueLengths;
} QELPKIAttribute;

typedef struct QELPKISubjectDirectoryAttributes {
    int32_t count;
    QELPKIAttribute **items;
} QELPKISubjectDirectoryAttributes;

void qelPKICertificatePoliciesFree(QELPKICertificatePolicies *policies, QELPKIContext *context);
void qelPKIPolicyMappingsFree(QELPKIPolicyMappings *mappings, QELPKIContext *context);
void qelPKISubjectDirectoryAttributesFree(QELPKISubjectDirectoryAttributes *attributes, QELPKIContext *context);

} // extern "C"
