// Key generation internals: the option-list front ends of generation.
#pragma once

#include "qelErrors.h"
#include "qelKeyEditInternal.h"
#include "qelKeySig.h"
#include "qelTimeDate.h"

#include <cstddef>
#include <cstdint>

struct QELSettings;

struct QELContext;
struct QELKeyDB;
struct QELKeyGenParams;
struct QELKeyObject;
struct QELKeySet;
struct QELOptionList;
struct QELRandomContext;
struct QELSecretKeyObject;

// Progress of a generation, one character at a time; a non-zero answer
// stops the generation and becomes its status.
using QELKeyGenProgressProc = std::int32_t (*)(void *userData, std::int32_t ch);

// What a new key pair is made from.
struct QELKeyGenRequest {
    QELContext *context;
    std::uint8_t algorithm;
    std::uint32_t bits;
    std::uint32_t subgroupBits;
    bool primaryKey;                      // else a subkey
    bool creationGiven;
    QELTime creation;                     // the settings' time offset is added
    std::uint16_t validityDays;
    const void *passphrase;               // null: the secret part stays unprotected
    std::size_t passphraseLength;
    std::uint8_t isPasskey;
    std::uint8_t fastGeneration;
    bool entropyCheck;
    bool keyFlagsPresent;
    std::uint32_t keyFlags;
    bool keyServerPrefsPresent;
    std::uint32_t keyServerPrefs;
    const std::uint8_t *keyServer;
    std::size_t keyServerLength;
    const std::uint32_t *preferredCiphers;     // primary key: ids, 32 bits each
    std::size_t preferredCiphersBytes;
    const std::uint32_t *preferredCompression; // primary key
    std::size_t preferredCompressionBytes;
    const std::uint8_t *masterPreferredCiphers; // subkey: the master's preference bytes
    std::size_t masterPreferredCiphersLength;
    QELKeyGenProgressProc progress;
    void *progressData;
};

// Makes the key pair, protects its secret part and fills the parameters
// the database writers take: QELError_BadParams for an algorithm that is
// unknown or cannot serve the role, QELError_OutOfEntropy when the
// generator holds too little, the generator's status (a progress abort
// unchanged), or QELError_OutOfMemory. Nothing is handed out on failure.
[[nodiscard]] QELStatus qelKeyGenMakeKeyPair(const QELKeyGenRequest &request, QELSecretKeyObject **outKey,
                                             QELKeyGenParams **outParams);

// ---- protection of secret material ------------------------------------------

// The first of these one-octet cipher ids that this build has, or 0.
std::uint32_t qelFirstKnownCipher(const std::uint8_t *ids, std::size_t count);

// Protects a secret-key object anew under a passphrase or passkey (none
// leaves it unprotected). The string-to-key type is 5 for a passkey, else 0
// (unsalted MD5) for a version 3 RSA key or, when the caller asks for the
// legacy forms, a version 4 one, else 3 (iterated and salted); a cipher id other than 0
// replaces the context's own choice, on a copy of its settings. A locked
// object is opened with the old passphrase first. On failure the object
// keeps the material it had.
[[nodiscard]] QELStatus qelKeyProtect(QELContext *context, QELSecretKeyObject *key, QELRandomContext *random,
                                      std::uint32_t cipher, const void *oldPassphrase, std::size_t oldLength,
                                      const void *newPassphrase, std::size_t newLength,
                                      std::uint8_t newIsPasskey, bool version3Key);
// True when the caller asked, by setting QELSetting_PacketVersion to 3 above
// the default priority, for the forms older peers read: the unsalted MD5
// protection of version 4 RSA keys and signatures on keys as the settings
// give them (version and hash) instead of version 4 over SHA-256.
bool qelKeyWantsLegacyForms(const QELSettings *settings);

// Bits of entropy a generation with these options draws: 0 when the options
// turn the entropy check off, QELError_BadParams for an option kind it does
// not take, -1 for any other failure (an unknown algorithm, unreadable
// options).
std::int32_t qelKeyGenEntropyNeededWithOptions(QELContext *context, QELOptionList *options);

// What the generator's progress reports go to: a key-generation event to
// the handler, whose non-zero answer stops the generation.
struct QELKeyGenProgressContext {
    QELContext *context;
    QELEventHandler handler;
    void *userValue;
};
// The handler's answer (0 without a handler); an option list it hands back
// is freed.
std::int32_t qelKeyGenProgress(void *progressContext, std::int32_t value);

// One generation: a key into db with its user ID, or (master given) a subkey
// under the master. The request's context, role, passphrase and progress
// fields are filled from the rest.
struct QELKeyGenJob {
    QELKeyDB *db;                 // a key's database
    QELKeyObject *master;         // a subkey's key, else null
    QELKeyGenRequest request;
    const void *userID;
    std::size_t userIDLength;
    QELPassArgs pass;             // the new key's; cached after success when a cache time is given
    QELPassArgs masterPass;       // opens a locked master
    QELEventHandler handler;
    void *userValue;
    bool tokenPresent;
    std::uint32_t tokenNumber;
    QELKeySet *additional;        // subpacket-10 keys of a new key's self-signature
    std::uint8_t additionalClass;
    QELKeySet *revokers;          // named in a new key's direct-key signature
    std::uint8_t revokerClass;
};

// Makes the key pair (qelKeyGenMakeKeyPair) and only then writes the key or
// subkey with its signatures into the database, or through the service for
// a service-client database. A subkey needs the master's signing secret:
// QELError_BadPassphrase when it is locked and no passphrase, or a wrong
// one, is given. The new object in *outObject.
[[nodiscard]] QELStatus qelKeyGenerateLocal(const QELKeyGenJob &job, QELKeyObject **outObject);

// The option-list front ends: QELError_BadParams for an option kind they do
// not take or a null out-parameter, QELError_OptionNotFound without a
// mandatory option (the target database, parameters and user ID of a key;
// the master key and parameters of a subkey). A subkey needs a usable master
// (QELError_KeyRevoked, QELError_KeyExpired) and is protected with the
// master's passphrase, which it is given. A service-client database with a
// token number generates in the service.
[[nodiscard]] QELStatus qelKeyGenerateWithOptions(QELKeyObject **outKey, QELOptionList *options);
[[nodiscard]] QELStatus qelSubKeyGenerateWithOptions(QELKeyObject **outSubKey, QELOptionList *options);
