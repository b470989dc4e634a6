/* Job events: the record a job hands to the caller's event handler
 * (QELEventHandler, qelContext.h) for the duration of one call, its kinds and
 * their payloads. The record and everything it points to belong to the job
 * and are valid only during the call. The handler may answer with an option
 * list of its own making, stored in event->reply->options, which the job then
 * owns. */
#ifndef QEL_EVENT_H
#define QEL_EVENT_H

#include <stdint.h>

#include "qelContext.h"

#ifdef __cplusplus
extern "C" {
#endif

struct QELKeySet;
struct QELKeyObject;
struct QELKeyID;
struct QELOptionList;

enum QELEventKind {
    QELEvent_Progress = 0,
    QELEvent_Initial = 1,
    QELEvent_Final = 2,
    QELEvent_Error = 3,
    QELEvent_Warning = 4,
    QELEvent_Entropy = 5,
    QELEvent_Passphrase = 6,
    QELEvent_Analyze = 8,
    QELEvent_Recipients = 9,
    QELEvent_KeysFound = 10,
    QELEvent_Output = 11,
    QELEvent_Signature = 12,
    QELEvent_BeginSection = 13,
    QELEvent_EndSection = 14,
    QELEvent_DetachedSignature = 16,
    QELEvent_KeyGen = 17,
    QELEvent_Kind18 = 18,
    QELEvent_Kind19 = 19,
    QELEvent_Kind20 = 20,
    QELEvent_Decryption = 23,
    QELEvent_Encryption = 24
};

/* Where the handler may leave its answer. */
typedef struct QELEventReply {
    QELContext *context;             /* the job's context */
    struct QELOptionList *options;   /* null when the event is sent */
} QELEventReply;

typedef struct QELEventProgress {
    uint64_t done;
    uint64_t total;
} QELEventProgress;

typedef struct QELEventError {
    int32_t status;   /* the status code, or the warning code */
    void *object;     /* the object concerned, or null */
} QELEventError;

typedef struct QELEventNumber {
    int32_t value;    /* entropy bits needed, analyze kind, key-generation value, section number */
} QELEventNumber;

typedef struct QELEventPassphrase {
    uint8_t conventional;          /* the message holds passphrase-encrypted session keys */
    struct QELKeySet *keys;        /* secret keys that could decrypt it, or null */
} QELEventPassphrase;

typedef struct QELEventRecipients {
    struct QELKeySet *keys;
    int32_t conventionalCount;
    int32_t publicKeyCount;
    const struct QELKeyID *keyIDs; /* publicKeyCount key IDs */
} QELEventRecipients;

typedef struct QELEventKeys {
    struct QELKeySet *keys;
} QELEventKeys;

typedef struct QELEventOutput {
    int32_t type;             /* 'b', 't', or the scope code of the data */
    const char *name;         /* rewritten to be safe as a file name, or null */
    uint8_t forYourEyesOnly;  /* the name was "_CONSOLE" */
} QELEventOutput;

typedef struct QELEventSignature {
    uint8_t signerKeyID[36];
    struct QELKeyObject *key; /* the signer's key, or null */
    uint8_t checked;
    uint8_t verified;
    uint8_t keyRevoked;
    uint8_t keyDisabled;
    uint8_t keyExpired;
    uint8_t keyValidEnough;
    int32_t validity;
    uint32_t creationTime;
} QELEventSignature;

typedef struct QELEventSection {
    int32_t section;
    uint64_t value;
} QELEventSection;

typedef struct QELEventSessionKey {
    int32_t algorithm;
    const uint8_t *sessionKey; /* the algorithm byte, then the key bytes */
    uint64_t length;
} QELEventSessionKey;

typedef struct QELEventValues {
    uint64_t value;
    int32_t number;
    uint64_t value2;
} QELEventValues;

struct QELEvent {
    uint64_t reserved[2];     /* always 0 */
    QELEventReply *reply;
    int32_t kind;             /* enum QELEventKind */
    union {
        uint8_t bytes[64];
        QELEventProgress progress;
        QELEventError error;          /* QELEvent_Error and QELEvent_Warning */
        QELEventNumber number;        /* Entropy, Analyze, EndSection, KeyGen */
        QELEventPassphrase passphrase;
        QELEventRecipients recipients;
        QELEventKeys keysFound;
        QELEventOutput output;
        QELEventSignature signature;
        QELEventSection section;      /* BeginSection */
        QELEventSessionKey sessionKey; /* Decryption, Encryption */
        QELEventValues values;        /* kinds 18, 19, 20 */
    } data;
};

#ifdef __cplusplus
}
#endif

#endif
