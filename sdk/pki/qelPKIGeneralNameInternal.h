// General names (RFC 5280 GeneralName) as toolkit records, their conversions
// to and from the PKIX records, their comparison, and the codecs of the
// extensions built on them.
#pragma once

#include <cstdint>

#include "asn1PKIX.h"
#include "qelPKIContextInternal.h"

extern "C" {

// type: 1 rfc822Name, 2 dNSName, 3 directoryName (data is an owned
// ASN1_Name, length 0), 4 uniformResourceIdentifier, 5 iPAddress, 6
// registeredID (OID content octets).
typedef struct QELPKIGeneralName {
    void *data;
    uint64_t length;
    int32_t type;
} QELPKIGeneralName;

typedef struct QELPKIGeneralNames {
    QELPKIGeneralName **items;
    int32_t count;
} QELPKIGeneralNames;

// kind 0: value is a QELPKIGeneralNames; kind 1: a relative name as text.
typedef struct QELPKIDistributionPointName {
    int32_t kind;
    void *value;
} QELPKIDistributionPointName;

// Reason flags: 0x40 unused, 0x20 keyCompromise, 0x10 cACompromise, 0x08
// affiliationChanged, 0x04 superseded, 0x02 cessationOfOperation, 0x01
// certificateHold.
typedef struct QELPKIDistributionPoint {
    QELPKIDistributionPointName *distributionPoint;
    int32_t reasons;
    QELPKIGeneralNames *cRLIssuer;
} QELPKIDistributionPoint;

typedef struct QELPKICRLDistributionPoints {
    int32_t count;
    QELPKIDistributionPoint **items;
} QELPKICRLDistributionPoints;

typedef struct QELPKIIssuingDistributionPoint {
    QELPKIDistributionPointName *distributionPoint;
    int32_t onlyContainsUserCerts;
    int32_t onlyContainsCACerts;
    int32_t onlySomeReasons;
    int32_t indirectCRL;
} QELPKIIssuingDistributionPoint;

typedef struct QELPKIAccessDescription {
    uint8_t *accessMethod;
    uint64_t accessMethodLength;
    QELPKIGeneralName *accessLocation;
} QELPKIAccessDescription;

typedef struct QELPKIAuthorityInfoAccess {
    int32_t count;
    QELPKIAccessDescription **items;
} QELPKIAuthorityInfoAccess;

typedef struct QELPKIGeneralSubtrees {
    int32_t count;
    QELPKIGeneralName **bases;
    int32_t *minimums;
    int32_t *maximums;
} QELPKIGeneralSubtrees;

typedef struct QELPKINameConstraints {
    QELPKIGeneralSubtrees *permittedSubtrees;
    QELPKIGeneralSubtrees *excludedSubtrees;
} QELPKINameConstraints;

typedef struct QELPKIAuthorityKeyIdentifier {
    uint8_t *keyIdentifier;
    uint64_t keyIdentifierLength;
    QELPKIGeneralNames *authorityCertIssuer;
    uint8_t *authorityCertSerialNumber;
    uint64_t serialNumberLength;
} QELPKIAuthorityKeyIdentifier;

QEL_MUST_CHECK int32_t qelPKIGeneralNameFromASN1(QELPKIGeneralName *name, const ASN1_GeneralName *asn1Name,
                                                 QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIGeneralNamesFromASN1(QELPKIGeneralNames **names, const ASN1_GeneralNames *asn1Names,
                                                  QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIGeneralNameToASN1(ASN1_GeneralName *asn1Name, const QELPKIGeneralName *name,
                                               QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIGeneralNamesToASN1(ASN1_GeneralNames *asn1Names, const QELPKIGeneralNames *names,
                                                QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIGeneralNamesEncode(uint8_t **der, uint64_t *derLength, const QELPKIGeneralNames *names,
                                                QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIDistributionPointNameFromASN1(QELPKIDistributionPointName **dpn,
                                                           const ASN1_DistributionPointName *asn1Dpn,
                                                           QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIDistributionPointNameToASN1(ASN1_DistributionPointName **asn1Dpn,
                                                         const QELPKIDistributionPointName *dpn,
                                                         QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIGeneralSubtreesFromASN1(QELPKIGeneralSubtrees **subtrees,
                                                     const ASN1_GeneralSubtrees *asn1Subtrees,
                                                     QELPKIContext *context);
QEL_MUST_CHECK int32_t qelPKIGeneralSubtreesToASN1(ASN1_GeneralSubtrees **asn1Subtrees,
                                                   const QELPKIGeneralSubtrees *subtrees, QELPKIContext *context);
// 1 equal, 0 different, -1 a missing alternative, -29 an unsupported type.
int32_t qelPKIGeneralNameCompare(const ASN1_GeneralName *a, const ASN1_GeneralName *b, QELPKIContext *context);

void qelPKIGeneralNameFree(QELPKIGeneralName *name, QELPKIContext *context);
void qelPKIGeneralNamesFree(QELPKIGeneralNames *names, QELPKIContext *context);
void qelPKIDistributionPointNameFree(QELPKIDistributionPointName *dpn, QELPKIContext *context);
void qelPKICRLDistributionPointsFree(QELPKICRLDistributionPoints *points, QELPKIContext *context);
void qelPKIAuthorityInfoAccessFree(QELPKIContext *context, QELPKIAuthorityInfoAccess *access);
void qelPKIAccessLocationFree(QELPKIGeneralName *name, QELPKIContext *context);
void qelPKIGeneralSubtreesFree(QELPKIContext *context, QELPKIGeneralSubtrees *subtrees);
void qelPKINameConstraintsFree(QELPKIContext *context, QELPKINameConstraints *constraints);
void qelPKIIssuingDistributionPointFree(QELPKIIssuingDistributionPoint *idp, QELPKIContext *context);
void qelPKIAuthorityKeyIdentifierFree(QELPKIAuthorityKeyIdentifier *aki, QELPKIContext *context);

} // extern "C"
