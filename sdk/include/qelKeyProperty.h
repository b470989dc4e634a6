/* Numbered properties of key-database objects: the numbers that the property
   getters and the key filters take. The range of a number tells the object
   kind it belongs to: below 100 any object, 100-499 keys, 500-899 subkeys,
   900-1299 user IDs, 1300 and above signatures. */
#ifndef QEL_KEYPROPERTY_H
#define QEL_KEYPROPERTY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum QELPropertyNumber {
    QELProperty_ObjectType = 20,
    QELProperty_IsSecret = 100, QELProperty_IsAxiomatic = 101, QELProperty_IsRevoked = 102,
    QELProperty_IsDisabled = 103, QELProperty_AlwaysTrue = 104, QELProperty_IsExpired = 105,
    QELProperty_NeedsPassphrase = 106, QELProperty_HasRevocationSig = 107, QELProperty_CanEncrypt = 108,
    QELProperty_CanDecrypt = 109, QELProperty_CanSign = 110, QELProperty_CanVerify = 111,
    QELProperty_HasEncryptionPart = 112, QELProperty_HasSigningPart = 113, QELProperty_IsTokenProtected = 114,
    QELProperty_CanRevoke = 115, QELProperty_IsRevokedByRevoker = 116, QELProperty_HasValidCRL = 117,
    QELProperty_IsOnToken = 118,
    QELProperty_Algorithm = 200, QELProperty_Bits = 201, QELProperty_OwnerTrust = 202, QELProperty_Validity = 203,
    QELProperty_LockingAlgorithm = 204, QELProperty_LockingBits = 205, QELProperty_KeyFlags = 206,
    QELProperty_SigHashAlgorithm = 207, QELProperty_KeyVersion = 208, QELProperty_KeyServerPrefs = 209,
    QELProperty_TokenSlot = 210,
    QELProperty_Creation = 300, QELProperty_Expiration = 301, QELProperty_CRLThisUpdate = 302,
    QELProperty_CRLNextUpdate = 303,
    QELProperty_Fingerprint = 401, QELProperty_KeyID = 402, QELProperty_PreferredCiphers = 403,
    QELProperty_RevokerShortID = 404, QELProperty_KeyMaterial = 405, QELProperty_SPKIHash = 406,
    QELProperty_PublicKeyInfoDigest = 406, QELProperty_PreferredKeyServer = 407,
    QELProperty_SubKeyIsRevoked = 501, QELProperty_SubKeyAlwaysTrue = 502, QELProperty_SubKeyIsExpired = 503,
    QELProperty_SubKeyNeedsPassphrase = 504, QELProperty_SubKeyHasRevocationSig = 505,
    QELProperty_SubKeyCanRevoke = 506, QELProperty_SubKeyIsRevokedByRevoker = 507, QELProperty_SubKeyIsOnToken = 508,
    QELProperty_SubKeyAlgorithm = 600, QELProperty_SubKeyBits = 601, QELProperty_SubKeyLockingAlgorithm = 602,
    QELProperty_SubKeyLockingBits = 603, QELProperty_SubKeyVersion = 604, QELProperty_SubKeyFlags = 605,
    QELProperty_SubKeyCreation = 700, QELProperty_SubKeyExpiration = 701,
    QELProperty_SubKeyMaterial = 800, QELProperty_SubKeyID = 801,
    QELProperty_IsAttribute = 900,
    QELProperty_UserIDValidity = 1000, QELProperty_UserIDOwnerTrust = 1001, QELProperty_AttributeType = 1002,
    QELProperty_UserIDName = 1200, QELProperty_AttributeData = 1201, QELProperty_UserIDNamePart = 1202,
    QELProperty_UserIDEmail = 1203,
    QELProperty_SigIsRevokedChecked = 1300, QELProperty_SigAlwaysTrue = 1301, QELProperty_SigIsChecked = 1302,
    QELProperty_SigIsValid = 1303, QELProperty_SigIsMine = 1304, QELProperty_SigIsExportable = 1305,
    QELProperty_SigIsRevoked = 1306, QELProperty_SigIsExpired = 1307, QELProperty_SigIsX509 = 1308,
    QELProperty_SigAlgorithm = 1400, QELProperty_SigTrustDepth = 1401, QELProperty_SigTrustAmount = 1402,
    QELProperty_SigCreation = 1500, QELProperty_SigExpiration = 1501,
    QELProperty_SigSignerKeyID = 1600, QELProperty_X509Certificate = 1601, QELProperty_X509IssuerSerial = 1602,
    QELProperty_X509SubjectText = 1603, QELProperty_X509IssuerText = 1604, QELProperty_X509DNSName = 1605,
    QELProperty_X509IPAddress = 1606, QELProperty_X509SubjectDER = 1607, QELProperty_SigRegex = 1608
};

#ifdef __cplusplus
}
#endif

#endif
