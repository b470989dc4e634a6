/* A C11 application of the SDK: it includes every public header and runs
 * start-up, a context, a hash, an HMAC, a cipher with its modes, a key ring
 * (opened from its file and from memory, its keys listed and their
 * signatures checked against GnuPG's verdicts) and clean-up through the
 * public operations alone. The same file is the program of the
 * installed-package test (tests/consumer). QEL_TEST_KEYS_DIR names the
 * directory of the key-ring fixtures. Exit status 0 when every check
 * passes. */
#include "asn1.h"
#include "asn1Enrol.h"
#include "asn1Key.h"
#include "asn1PKCS12.h"
#include "asn1PKCS7.h"
#include "asn1PKCS8.h"
#include "asn1PKIX.h"
#include "qelAlgorithms.h"
#include "qelCBC.h"
#include "qelCFB.h"
#include "qelClientEncode.h"
#include "qelClientKeyDB.h"
#include "qelContext.h"
#include "qelEncode.h"
#include "qelEnumeratedSet.h"
#include "qelErrors.h"
#include "qelEvent.h"
#include "qelFIPS.h"
#include "qelFeatures.h"
#include "qelFileSpec.h"
#include "qelHMAC.h"
#include "qelHash.h"
#include "qelKeyDB.h"
#include "qelKeyDBChange.h"
#include "qelKeyFilter.h"
#include "qelKeyID.h"
#include "qelKeyIter.h"
#include "qelKeyList.h"
#include "qelKeyMan.h"
#include "qelKeyObj.h"
#include "qelKeyProperty.h"
#include "qelKeySet.h"
#include "qelKeySig.h"
#include "qelMemory.h"
#include "qelOptionList.h"
#include "qelPassCach.h"
#include "qelPkAlg.h"
#include "qelPkEncode.h"
#include "qelPublicKey.h"
#include "qelRandomPool.h"
#include "qelRandomSources.h"
#include "qelSDK.h"
#include "qelSymmetricCipher.h"
#include "qelTimeDate.h"
#include "qelTrustProp.h"
#include "qelX509.h"
#include "qelDecode.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int g_passed;
static int g_failed;

static void check(int ok, const char *what)
{
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        fprintf(stderr, "FAILED: %s\n", what);
    }
}

static void checkStatus(QELStatus status, const char *what)
{
    if (status != QELError_NoErr)
        fprintf(stderr, "%s: status %d\n", what, (int)status);
    check(status == QELError_NoErr, what);
}

/* SHA-1 of "abc" (FIPS 180-1, appendix A). */
static void hashes(QELContext *context)
{
    static const uint8_t expected[20] = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                                         0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
    QELHashContext *hash = NULL;
    uint64_t size = 0;
    uint8_t digest[20] = {0};
    checkStatus(qelHashNew(context, QELHashAlgorithm_SHA1, &hash), "qelHashNew");
    if (hash == NULL)
        return;
    checkStatus(qelHashGetSize(hash, &size), "qelHashGetSize");
    check(size == sizeof digest, "SHA-1 digest size");
    checkStatus(qelHashUpdate(hash, "abc", 3), "qelHashUpdate");
    checkStatus(qelHashFinal(hash, digest), "qelHashFinal");
    check(memcmp(digest, expected, sizeof digest) == 0, "SHA-1 of \"abc\"");
    checkStatus(qelHashFree(hash), "qelHashFree");
    check(qelHashUpdate(NULL, "abc", 3) == QELError_BadParams, "a null hash is refused");
}

/* HMAC-SHA-1, RFC 2202 test case 1. */
static void hmac(QELContext *context)
{
    static const uint8_t expected[20] = {0xb6, 0x17, 0x31, 0x86, 0x55, 0x05, 0x72, 0x64, 0xe2, 0x8b,
                                         0xc0, 0xb6, 0xfb, 0x37, 0x8c, 0x8e, 0xf1, 0x46, 0xbe, 0x00};
    uint8_t key[20];
    uint8_t mac[20] = {0};
    QELHMACContext *h = NULL;
    memset(key, 0x0b, sizeof key);
    checkStatus(qelHMACNew(context, QELHashAlgorithm_SHA1, key, sizeof key, &h), "qelHMACNew");
    if (h == NULL)
        return;
    checkStatus(qelHMACUpdate(h, "Hi There", 8), "qelHMACUpdate");
    checkStatus(qelHMACFinal(h, mac), "qelHMACFinal");
    check(memcmp(mac, expected, sizeof mac) == 0, "HMAC-SHA-1 of \"Hi There\"");
    checkStatus(qelHMACFree(h), "qelHMACFree");
}

/* AES-128, FIPS 197 appendix C.1, as a block, in CBC and in CFB. */
static void ciphers(QELContext *context)
{
    static const uint8_t key[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                    0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    static const uint8_t plain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                      0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    static const uint8_t expected[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                         0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
    static const uint8_t zeroIV[16] = {0};
    uint8_t out[16] = {0};
    uint8_t back[16] = {0};
    size_t keySize = 0, blockSize = 0;
    QELSymmetricCipher *cipher = NULL;
    QELCBCContext *cbc = NULL;
    QELCFBContext *cfb = NULL;

    checkStatus(qelSymmetricCipherNew(context, QELCipherAlgorithm_AES128, &cipher),
                "qelSymmetricCipherNew");
    if (cipher == NULL)
        return;
    checkStatus(qelSymmetricCipherGetSizes(cipher, &keySize, &blockSize),
                "qelSymmetricCipherGetSizes");
    check(keySize == 16 && blockSize == 16, "AES-128 sizes");
    checkStatus(qelSymmetricCipherSetKey(cipher, key), "qelSymmetricCipherSetKey");
    checkStatus(qelSymmetricCipherEncryptBlock(cipher, plain, out), "EncryptBlock");
    check(memcmp(out, expected, sizeof out) == 0, "AES-128 block");
    checkStatus(qelSymmetricCipherDecryptBlock(cipher, out, back), "DecryptBlock");
    check(memcmp(back, plain, sizeof back) == 0, "AES-128 block decrypts");

    /* CBC over one block with a zero IV is the block cipher itself. */
    checkStatus(qelCBCCreate(cipher, &cbc), "qelCBCCreate");
    if (cbc == NULL) {
        checkStatus(qelSymmetricCipherFree(cipher), "qelSymmetricCipherFree");
        return;
    }
    checkStatus(qelCBCInit(cbc, key, zeroIV), "qelCBCInit");
    checkStatus(qelCBCEncrypt(cbc, plain, sizeof plain, out), "qelCBCEncrypt");
    check(memcmp(out, expected, sizeof out) == 0, "AES-128 CBC");
    checkStatus(qelCBCFree(cbc), "qelCBCFree");

    /* CFB: the first block of keystream is E(IV); decrypting restores. */
    cipher = NULL;
    checkStatus(qelSymmetricCipherNew(context, QELCipherAlgorithm_AES128, &cipher),
                "qelSymmetricCipherNew for CFB");
    if (cipher == NULL)
        return;
    checkStatus(qelCFBCreate(cipher, 1, &cfb), "qelCFBCreate");
    if (cfb == NULL) {
        checkStatus(qelSymmetricCipherFree(cipher), "qelSymmetricCipherFree");
        return;
    }
    checkStatus(qelCFBInit(cfb, key, plain), "qelCFBInit");
    checkStatus(qelCFBEncrypt(cfb, zeroIV, sizeof zeroIV, out), "qelCFBEncrypt");
    check(memcmp(out, expected, sizeof out) == 0, "AES-128 CFB keystream");
    checkStatus(qelCFBInit(cfb, key, plain), "qelCFBInit again");
    checkStatus(qelCFBDecrypt(cfb, out, sizeof out, back), "qelCFBDecrypt");
    check(memcmp(back, zeroIV, sizeof back) == 0, "AES-128 CFB decrypts");
    checkStatus(qelCFBFree(cfb), "qelCFBFree");
}

/* keysig.gpg (tests/keys/data, made by GnuPG): Carol (DSA), Bob (RSA) and
 * Alice (RSA) with 22 signatures (one a user-ID revocation), of which
 * GnuPG's --check-sigs finds 18 good and 2 bad; of the other two one was
 * made by a key the ring lacks and one uses a digest GnuPG does not know. */
#define RING_KEYS 3
#define RING_SIGS 22
#define RING_GOOD 18
#define RING_BAD 2

static const char *const ringNames[RING_KEYS] = {"Carol Dsa <carol@example.org>", "Bob Rsa <bob@example.org>",
                                                 "Alice Rsa"};

static char *ringPath(void)
{
    static const char name[] = "/keysig.gpg";
    size_t dirLength = strlen(QEL_TEST_KEYS_DIR);
    char *path = malloc(dirLength + sizeof name);
    if (path != NULL) {
        memcpy(path, QEL_TEST_KEYS_DIR, dirLength);
        memcpy(path + dirLength, name, sizeof name);
    }
    return path;
}

static uint8_t *readWhole(const char *path, size_t *outLength)
{
    FILE *f = fopen(path, "rb");
    uint8_t *bytes = NULL;
    long size;
    *outLength = 0;
    if (f == NULL)
        return NULL;
    if (fseek(f, 0, SEEK_END) == 0 && (size = ftell(f)) > 0 && fseek(f, 0, SEEK_SET) == 0) {
        bytes = malloc((size_t)size);
        if (bytes != NULL && fread(bytes, 1, (size_t)size, f) == (size_t)size) {
            *outLength = (size_t)size;
        } else {
            free(bytes);
            bytes = NULL;
        }
    }
    fclose(f);
    return bytes;
}

/* Lists the keys in database order with their primary user IDs. */
static void listKeys(QELKeyDB *db)
{
    QELKeyIter *iter = NULL;
    QELKeyObject *key = NULL;
    int index = 0;
    checkStatus(qelKeyIterNewOnDB(db, &iter), "qelKeyIterNewOnDB");
    if (iter == NULL)
        return;
    while (qelKeyIterNext(iter, 1, &key) == QELError_NoErr && key != NULL) {
        char name[256];
        size_t length = 0;
        checkStatus(qelKeyGetPrimaryUserIDName(key, name, sizeof name, &length), "qelKeyGetPrimaryUserIDName");
        if (index < RING_KEYS) {
            size_t want = strlen(ringNames[index]);
            check(length >= want && strncmp(name, ringNames[index], want) == 0, "a key's primary user ID");
        }
        printf("key %d: %.*s\n", index, (int)(length < sizeof name ? length : sizeof name), name);
        ++index;
    }
    check(index == RING_KEYS, "every key is listed");
    checkStatus(qelKeyIterFree(iter), "qelKeyIterFree");
}

/* Checks every signature and compares the verdicts with GnuPG's. */
static void checkSignatures(QELKeyDB *db)
{
    QELKeyIter *iter = NULL;
    QELKeyObject *object = NULL;
    int sigs = 0, good = 0, bad = 0;
    checkStatus(qelKeySigCheckKeySet(qelKeyDBGetRootSet(db), NULL, 1, NULL, NULL), "qelKeySigCheckKeySet");
    checkStatus(qelKeyIterNewOnDB(db, &iter), "qelKeyIterNewOnDB for signatures");
    if (iter == NULL)
        return;
    while (qelKeyIterNext(iter, -1, &object) == QELError_NoErr && object != NULL) {
        uint8_t checked = 0, valid = 0;
        /* Only signatures have this property. */
        if (qelKeyObjGetBoolProperty(object, QELProperty_SigIsChecked, &checked) != QELError_NoErr)
            continue;
        ++sigs;
        if (!checked)
            continue;
        checkStatus(qelKeyObjGetBoolProperty(object, QELProperty_SigIsValid, &valid), "QELProperty_SigIsValid");
        if (valid)
            ++good;
        else
            ++bad;
    }
    checkStatus(qelKeyIterFree(iter), "qelKeyIterFree");
    printf("%d signatures: %d good, %d bad\n", sigs, good, bad);
    check(sigs == RING_SIGS, "every signature is seen");
    check(good == RING_GOOD, "the good signatures are GnuPG's good ones");
    check(bad == RING_BAD, "the bad signatures are GnuPG's bad ones");
}

/* The option-list entry points called from C: merged lists are freed on
 * every path (the sanitizer build reports any leak). */
/* The ring's keys exported (armored, into a buffer the SDK allocates) and
 * imported again: the same number of keys comes back. */
static void exportAndImport(QELContext *ctx, QELKeyDB *db)
{
    void *armored = NULL;
    uint64_t size = 0;
    QELKeyDB *imported = NULL;
    uint32_t count = 0;
    checkStatus(qelExportKeys(ctx, qelOptionExportKeySet(ctx, qelKeyDBGetRootSet(db)),
                              qelOptionOutputAllocatedBuffer(ctx, &armored, 1u << 20, &size), qelOptionLastOption(ctx)),
                "qelExportKeys");
    if (armored == NULL)
        return;
    check(size > 36 && memcmp(armored, "-----BEGIN QEL PUBLIC KEY BLOCK-----", 36) == 0, "an armored key block");
    checkStatus(qelImportKeys(ctx, &imported, qelOptionInputBuffer(ctx, armored, size), qelOptionLastOption(ctx)),
                "qelImportKeys");
    checkStatus(qelMemFree(armored), "qelMemFree of the export");
    if (imported == NULL)
        return;
    checkStatus(qelKeyDBCountKeys(imported, &count), "qelKeyDBCountKeys of the import");
    check(count == RING_KEYS, "the imported keys");
    checkStatus(qelKeyDBRelease(imported), "qelKeyDBRelease of the import");
}

static void optionEntryPoints(QELContext *ctx, QELKeyDB *db)
{
    QELKeyIter *iter = NULL;
    QELKeyObject *key = NULL;
    QELKeyDB *imported = NULL;
    checkStatus(qelKeyIterNewOnDB(db, &iter), "qelKeyIterNewOnDB for options");
    if (iter == NULL)
        return;
    checkStatus(qelKeyIterNext(iter, 1, &key), "the first key");
    checkStatus(qelKeyIterFree(iter), "qelKeyIterFree");
    if (key == NULL)
        return;
    check(qelKeyReservedOperation(key, qelOptionPassphrase(ctx, "secret"), qelOptionLastOption(ctx)) ==
              QELError_FeatureNotAvailable,
          "qelKeyReservedOperation");
    check(qelKeyPassphraseIsValid(key, qelOptionPassphrase(ctx, "secret"), qelOptionLastOption(ctx)) == 0,
          "a public key takes no passphrase");
    check(qelKeyAddUserID(NULL, "Nobody", qelOptionPassphrase(ctx, "secret"), qelOptionLastOption(ctx)) ==
              QELError_BadParams,
          "qelKeyAddUserID without a key");
    check(qelKeySetPreferences(key, qelOptionLastOption(ctx)) == QELError_NoErr,
          "no preferences change nothing");
    check(qelImportKeys(ctx, &imported, qelOptionArmorOutput(ctx, 1), qelOptionLastOption(ctx)) ==
                  QELError_BadParams &&
              imported == NULL,
          "qelImportKeys refuses an option it does not take");
    exportAndImport(ctx, db);
}

static void keyRing(QELContext *ctx)
{
    char *path = ringPath();
    QELFileSpec *spec = NULL;
    QELKeyDB *db = NULL;
    QELKeyDB *fromBuffer = NULL;
    uint32_t count = 0;
    uint8_t *bytes;
    size_t length = 0;

    if (path == NULL) {
        check(0, "room for the ring's path");
        return;
    }
    checkStatus(qelNewFileSpecFromFullPath(ctx, path, &spec), "qelNewFileSpecFromFullPath");
    if (spec != NULL) {
        checkStatus(qelKeyDBOpenFiles(ctx, QELKeyDBOpen_ReadOnly, spec, NULL, &db), "qelKeyDBOpenFiles");
        checkStatus(qelFreeFileSpec(spec), "qelFreeFileSpec");
    }
    if (db != NULL) {
        check(!qelKeyDBIsWritable(db), "a ring opened read-only is not writable");
        checkStatus(qelKeyDBCountKeys(db, &count), "qelKeyDBCountKeys");
        check(count == RING_KEYS, "the ring's keys");
        listKeys(db);
        checkSignatures(db);
        optionEntryPoints(ctx, db);
        checkStatus(qelKeyDBRelease(db), "qelKeyDBRelease");
    }

    bytes = readWhole(path, &length);
    check(bytes != NULL, "the ring file can be read");
    if (bytes != NULL) {
        /* A ring cut short in its last packet is refused whole. */
        check(qelKeyDBOpenFromBuffer(ctx, bytes, length - 1, &fromBuffer) != QELError_NoErr &&
                  fromBuffer == NULL,
              "a truncated ring is refused");
        checkStatus(qelKeyDBOpenFromBuffer(ctx, bytes, length, &fromBuffer), "qelKeyDBOpenFromBuffer");
        free(bytes); /* the database keeps its own copy */
        if (fromBuffer != NULL) {
            count = 0;
            checkStatus(qelKeyDBCountKeys(fromBuffer, &count), "qelKeyDBCountKeys from a buffer");
            check(count == RING_KEYS, "the buffer's keys");
            listKeys(fromBuffer);
            checkSignatures(fromBuffer);
            checkStatus(qelKeyDBRelease(fromBuffer), "qelKeyDBRelease from a buffer");
        }
    }
    free(path);
}

static void context(void)
{
    QELContext *ctx = NULL;
    QELOptionList *options = NULL;
    void *value = NULL;
    int marker = 0;
    uint32_t bits = 0;

    checkStatus(qelContextNew(QELSDKVersion, &ctx), "qelContextNew");
    if (ctx == NULL)
        return;
    check(qelContextGetMemoryMgr(ctx) != NULL, "the context has a memory manager");
    checkStatus(qelContextSetUserValue(ctx, &marker), "qelContextSetUserValue");
    checkStatus(qelContextGetUserValue(ctx, &value), "qelContextGetUserValue");
    check(value == &marker, "the user value comes back");
    checkStatus(qelOptionListNewPublic(ctx, &options), "qelOptionListNewPublic");
    checkStatus(qelOptionListFreePublic(options), "qelOptionListFreePublic");
    checkStatus(qelPublicKeySubgroupBits(2048, &bits), "qelPublicKeySubgroupBits");
    check(bits > 0, "a subgroup size");
    check(qelRandomPoolGetSize() == 10240, "the random pool's size");
    check(qelTimeDateFromDate(1970, 1, 2) == 86400, "SDK time of 1970-01-02");
    {
        int32_t own = -1, named = -1, others = -1;
        checkStatus(qelPassCacheGetCounts(ctx, &own, &named, &others), "qelPassCacheGetCounts");
        check(own == 0 && named == 0 && others == 0, "an empty passphrase cache");
        checkStatus(qelPassCachePurge(ctx), "qelPassCachePurge");
    }
    {
        int32_t tokens = -1;
        checkStatus(qelCountTokens(ctx, &tokens), "qelCountTokens");
        check(tokens == 0, "no hardware token");
    }
    check(qelKeySetPropagateTrust(NULL, NULL) == QELError_BadParams, "propagation over no set is refused");

    hashes(ctx);
    hmac(ctx);
    ciphers(ctx);
    keyRing(ctx);
    checkStatus(qelContextFree(ctx), "qelContextFree");
}

int main(void)
{
    checkStatus(qelSDKInit(QELSDKInit_NoService | QELSDKInit_NoHousekeeping), "qelSDKInit");
    check(qelSDKIsInitialized(), "the SDK is started");
    check(qelFIPSGetError() == QELError_NoErr, "no self-test failure is latched");
    context();
    checkStatus(qelSDKCleanup(), "qelSDKCleanup");
    check(!qelSDKIsInitialized(), "the SDK is down again");
    check(qelSDKCleanup() == QELError_BadParams, "a second clean-up is refused");
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
