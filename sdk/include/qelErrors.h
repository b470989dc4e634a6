// Status codes shared by every SDK subsystem and the archive reader.
// 0 is success; every failure is a negative QELError_ code.
#ifndef QEL_ERRORS_H
#define QEL_ERRORS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t QELStatus;

/* Marks a function whose status result must not be dropped. */
#if defined(__cplusplus)
#define QEL_MUST_CHECK [[nodiscard]]
#elif defined(__GNUC__)
#define QEL_MUST_CHECK __attribute__((warn_unused_result))
#else
#define QEL_MUST_CHECK
#endif

/* Marks a function the installed library offers to applications; the
 * library is built with every other symbol hidden. Written after
 * QEL_MUST_CHECK where both stand. */
#if defined(__GNUC__)
#define QEL_API __attribute__((visibility("default")))
#else
#define QEL_API
#endif

enum QELErrorCode {
    QELError_NoErr = 0,
    QELError_BadParams = -12000,
    QELError_OutOfMemory = -11999,
    QELError_BufferTooSmall = -11998,
    QELError_FileNotFound = -11997,
    QELError_CantOpenFile = -11996,
    QELError_FilePermissions = -11995,
    QELError_FileLocked = -11994,
    QELError_IllegalFileOp = -11992,
    QELError_FileOpFailed = -11991,
    QELError_ReadFailed = -11990,
    QELError_WriteFailed = -11989,
    QELError_EOF = -11988,
    QELError_UserAbort = -11987,
    QELError_UnknownRequest = -11986,
    QELError_PKIOperationFailed = -11985,
    QELError_ItemNotFound = -11984,
    QELError_ItemAlreadyExists = -11983,
    QELError_Unavailable = -11980,
    QELError_EndOfIteration = -11978,
    QELError_NotInitialized = -11977,
    QELError_CorruptData = -11976,
    QELError_FeatureNotAvailable = -11975,
    QELError_MemoryIOFull = -11960,
    QELError_ServiceHandshakeFailed = -11939,
    QELError_ServiceReplyTruncated = -11935,
    QELError_ServiceReplyFieldTruncated = -11934,
    QELError_ServiceReplyDataTruncated = -11933,
    QELError_NoKeyDB = -11931,
    QELError_BadPassphrase = -11500,
    QELError_OptionNotFound = -11499,
    QELError_RedundantOptions = -11498,
    QELError_KeyRevoked = -11497,
    QELError_KeyExpired = -11496,
    QELError_KeyDisabled = -11495,
    QELError_KeyTooSmall = -11494,
    QELError_KeyUnusableForEncryption = -11493,
    QELError_KeyUnusableForSignature = -11492,
    QELError_OutputBufferTooSmall = -11491,
    QELError_NoConventionalPassphrase = -11489,
    QELError_KeyObjectInvalid = -11479,
    QELError_NoDetachedData = -11478,
    QELError_SessionKeyRejected = -11476,
    QELError_JobEventStop = -11475,
    QELError_StopAfterHeader = -11474,
    QELError_BadSDKVersion = -11460,
    QELError_MacBinaryCRCError = -11450,
    QELError_MacBinaryHeaderError = -11449,
    QELError_BadSignature = -11448,
    QELError_SelfTestFailed = -11446,
    QELError_SelfTestsNotExecuted = -11445,
    QELError_MDCMismatch = -11444,
    QELError_DecompressionFailed = -11443,
    QELError_LastSelfCertification = -11442,
    QELError_FilterNotSupportedBySchema = -11439,
    QELError_FilterNotSupportedByHTTP = -11438,
    QELError_BadFilterType = -11437,
    QELError_BadFilterCriterion = -11436,
    QELError_FilterNotExpressible = -11435,
    QELError_UnknownHashAlgorithm = -11419,
    QELError_UnknownCipherAlgorithm = -11418,
    QELError_SessionKeyUnusable = -11417,
    QELError_TruncatedInput = -11416,
    QELError_KeyLocked = -11412,
    QELError_SessionKeyDecryptFailed = -11411,
    QELError_UnknownS2KType = -11410,
    QELError_MalformedESK = -11409,
    QELError_UnknownPacketVersion = -11408,
    QELError_UnknownESKAlgorithm = -11407,
    QELError_BadSignatureType = -11406,
    QELError_TruncatedPacket = -11405,
    QELError_BadSignatureMPI = -11404,
    QELError_MalformedSubpacket = -11403,
    QELError_NoSecretKey = -11402,
    QELError_DecodeEventStop = -11400,
    QELError_ClearSignedHashMissing = -11399,
    QELError_DecodeEventRefused = -11398,
    QELError_UnexpectedPacket = -11397,
    QELError_ArmorParseError = -11396,
    QELError_SettingPriority = -11394,
    QELError_UnknownCharset = -11393,
    QELError_IncompleteArmor = -11392,
    QELError_BadPacketFormat = -11391,
    QELError_PacketTooLarge = -11381,
    QELError_KeyPacketTrailingData = -11350,
    QELError_BadAlgorithmData = -11349,
    QELError_UnknownKeyPacketVersion = -11348,
    QELError_UnknownSignatureVersion = -11348,
    QELError_UnsupportedAlgorithm = -11347,
    QELError_BadMPIBitCount = -11346,
    QELError_BadMPIBitCount2 = -11345,
    QELError_BadMPIOddness = -11344,
    QELError_BadMPIOddness2 = -11343,
    QELError_BadKeyEncoding = -11342,
    QELError_KeyCheckFailed = -11341,
    QELError_DataTooLarge = -11340,
    QELError_KeySizeTooLarge = -11339,
    QELError_AlgorithmCannotDoThis = -11338,
    QELError_EmptyPacketBody = -11337,
    QELError_BadKeyParameters = -11336,
    QELError_SigPacketLengthMismatch = -11330,
    QELError_SigPacketTooShort = -11329,
    QELError_SigPacketBadMPI = -11328,
    QELError_SigPacketBadHashedLength = -11326,
    QELError_UnknownSigPacketVersion = -11325,
    QELError_OutOfEntropy = -11320,
    QELError_KeyDBNotWritable = -11319,
    QELError_UnknownProperty = -11318,
    QELError_DuplicateSignature = -11316,
    QELError_DuplicateUserID = -11315,
    QELError_DeadKeyObject = -11313,
    QELError_KeyDBMismatch = -11312,
    QELError_CertificateNotFound = -11240,
    QELError_CertificateMismatch = -11239,
    QELError_BadCertificateSignature = -11238,
    QELError_BadDER = -11237,
    QELError_UnknownDNAttribute = -10999,
    QELError_PKIDecodeFailed = -10998,
    QELError_PKIContextFailed = -10997,
    QELError_PKIEncodeFailed = -10996,
    QELError_CertRequestFailed = -10995,
    QELError_SignedDataFailed = -10993,
    QELError_ASN1Error = -10992,
    QELError_UnknownPKIMessageKind = -10990,
    QELError_PKIRequestFailed = -10989,
    QELError_PublicKeyNotFound = -10988,
    QELError_EnrollmentStatus3 = -10979,
    QELError_EnrollmentStatus1 = -10978,
    QELError_EnrollmentStatus4 = -10977,
    QELError_EnrollmentFieldMissing = -10976,
    QELError_EnrollmentStatus7 = -10975,
    QELError_EnrollmentStatus8 = -10974,
    QELError_PKIDecryptFailed = -10973,
    QELError_PKIEnvelopeFailed = -10972,
    QELError_PKIEnvelopeNotOpened = -10971,
    QELError_TokenNotAvailable = -10848,
    QELError_CodecFailed = -40,
    /* A decode run that could open nothing it was given, with no event
       handler to ask for a key or passphrase. */
    QELError_NothingDecrypted = -11473,
    /* Decompressed output passed the decode job's limit. */
    QELError_DecompressionLimit = -11472,
};

/* True when a status reports a failure. */
static inline int qelIsError(QELStatus s) { return s < 0; }

#ifdef __cplusplus
}
#endif

#endif
