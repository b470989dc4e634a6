/* Option lists: the typed optional arguments of SDK calls. A caller makes
 * one-item lists with the option constructors and hands them to an operation
 * as a variable argument sequence closed by qelOptionLastOption; persistent
 * lists made here survive being passed and are freed with
 * qelOptionListFreePublic. */
#ifndef QEL_OPTION_LIST_H
#define QEL_OPTION_LIST_H

#include <stdint.h>

#include "qelContext.h"
#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELOptionList QELOptionList;

/* Option kinds. 3, 7, 10, 15, 28, 29, 72 and 73 are not used. */
enum QELOptionKind {
    QELOption_InputFile = 1,
    QELOption_InputBuffer = 2,
    QELOption_OutputFile = 4,
    QELOption_OutputBuffer = 5,
    QELOption_OutputAllocatedBuffer = 6,
    QELOption_AppendOutput = 8,
    QELOption_DiscardOutput = 9,
    QELOption_LineEndFlags = 11,
    QELOption_OmitLiteralPacket = 12,
    QELOption_EncryptToKey = 13,
    QELOption_EncryptToKeySet = 14,
    QELOption_SignWithKey = 16,
    QELOption_ConventionalEncrypt = 17,
    QELOption_Passphrase = 18,
    QELOption_Passkey = 19,
    QELOption_DetachedSignature = 20,
    QELOption_SessionKey = 21,
    QELOption_CipherAlgorithm = 22,
    QELOption_HashAlgorithm = 23,
    QELOption_MinKeySize = 24,
    QELOption_WarnKeySize = 25,
    QELOption_Kind26 = 26,
    QELOption_MimeEncoding = 27,
    QELOption_OutputLineEnd = 30,
    QELOption_EventHandler = 31,
    QELOption_SendProgress = 32,
    QELOption_KeyDB = 33,
    QELOption_SendKeysFound = 34,
    QELOption_AskEntropy = 35,
    QELOption_ArmorOutput = 36,
    QELOption_TextMode = 37,
    QELOption_ClearSign = 38,
    QELOption_ForYourEyesOnly = 39,
    QELOption_StopAfterHeader = 40,
    QELOption_Kind41 = 41,
    QELOption_Kind42 = 42,
    QELOption_TargetKeyDB = 43,
    QELOption_NoEntropyCheck = 44,
    QELOption_KeyGenParams = 45,
    QELOption_UserID = 46,
    QELOption_ValidityDays = 47,
    QELOption_Subpacket10Keys = 48,
    QELOption_MasterKey = 49,
    QELOption_KeyGenFlag = 50,
    QELOption_RevocationKeys = 51,
    QELOption_PreferredCiphers = 52,
    QELOption_CommentString = 53,
    QELOption_ExportPrivateKeys = 54,
    QELOption_Kind55 = 55,
    QELOption_Exportable = 56,
    QELOption_TrustSignature = 57,
    QELOption_Compress = 58,
    QELOption_VersionString = 59,
    QELOption_OmitMimeVersion = 60,
    QELOption_RegularExpression = 61,
    QELOption_Kind62 = 62,
    QELOption_Kind63 = 63,
    QELOption_CreationTime = 64,
    QELOption_LiteralName = 65,
    QELOption_ExportFormat = 66,
    QELOption_OutputFormat = 67,
    QELOption_InputFormat = 68,
    QELOption_Kind69 = 69,
    QELOption_ExportKeySet = 70,
    QELOption_ExportKey = 71,
    QELOption_CachePassphrase = 74,
    QELOption_PreferredKeyServer = 75,
    QELOption_KeyServerPrefs = 76,
    QELOption_KeyFlags = 77,
    QELOption_TokenNumber = 78,
    QELOption_Kind79 = 79,
    QELOption_Kind80 = 80,
    QELOption_Kind81 = 81,
    QELOption_PreferredCompression = 82,
};

/* The builder's target: the context to build with, then the slot to fill. */
typedef struct QELOptionListHolder {
    QELContext *context;
    QELOptionList *list;
} QELOptionListHolder;

/* Each passes the API entry guard. Argument sequences end with
 * qelOptionLastOption. */
QEL_MUST_CHECK QEL_API QELStatus qelOptionListNewPublic(QELContext *context, QELOptionList **outList);
QEL_MUST_CHECK QEL_API QELStatus qelOptionListBuildPublic(QELContext *context, QELOptionList **outList,
                                                          QELOptionList *first, ...);
QEL_MUST_CHECK QEL_API QELStatus qelOptionListAppendPublic(QELOptionList *target, QELOptionList *first,
                                                           ...);
QEL_MUST_CHECK QEL_API QELStatus qelOptionListBuildIntoPublic(QELOptionListHolder *holder,
                                                              QELOptionList *first, ...);
QEL_MUST_CHECK QEL_API QELStatus qelOptionListCopyPublic(const QELOptionList *list,
                                                         QELOptionList **outCopy);
QEL_MUST_CHECK QEL_API QELStatus qelOptionListFreePublic(QELOptionList *list);
/* An empty option, and the end of an argument sequence. */
QEL_API QELOptionList *qelOptionNull(QELContext *context);
QEL_API QELOptionList *qelOptionLastOption(QELContext *context);

#ifdef __cplusplus
}
#endif

#endif
